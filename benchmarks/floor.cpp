// Floors for the benchmarks: bare C calls through the same CPython call
// boundary as the package's methods, doing the least work (or the same single
// atomic instruction with the same interpreter-lock release). Built only for
// benchmarking, as tarvish._bench_floor.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tarvish/gil.hpp"

#include <atomic>
#include <cstdint>

// The instruction-counting mode runs the interpreter under callgrind with
// --dump-before=tarvish_bench_mark and --zero-before=tarvish_bench_zero: every
// call of mark() closes one counted window (one dump file), every call of
// zero() drops what was counted since the last window without writing it.
// Exported under C names, and kept out of line, so that callgrind finds them by
// those names in a stripped build.
extern "C" __attribute__((visibility("default"), noinline)) void tarvish_bench_mark() noexcept {
    asm volatile("" ::: "memory");
}

extern "C" __attribute__((visibility("default"), noinline)) void tarvish_bench_zero() noexcept {
    asm volatile("" ::: "memory");
}

namespace {

std::atomic<uint64_t> word{0};

// Returns None whatever it is given: the cost of a fast call with N arguments.
PyObject* call(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { Py_RETURN_NONE; }

// Returns its first argument as a new int: the cost of a call that boxes an int result.
PyObject* int_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) noexcept {
    long long v = 0;
    if (PyVectorcall_NARGS(nargs) > 0) {
        v = PyLong_AsLongLong(args[0]);
        if (v == -1 && PyErr_Occurred()) return nullptr;
    }
    return PyLong_FromLongLong(v);
}

// Converts its first argument to double and returns a new float.
PyObject* float_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) noexcept {
    double v = 0.0;
    if (PyVectorcall_NARGS(nargs) > 0) {
        v = PyFloat_AsDouble(args[0]);
        if (v == -1.0 && PyErr_Occurred()) return nullptr;
    }
    return PyFloat_FromDouble(v);
}

PyObject* atomic_load(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    uint64_t v = tarvish::without_gil([] { return word.load(std::memory_order_seq_cst); });
    return PyLong_FromLongLong(static_cast<long long>(v));
}

PyObject* atomic_add(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) noexcept {
    long long d = 1;
    if (PyVectorcall_NARGS(nargs) > 0) {
        d = PyLong_AsLongLong(args[0]);
        if (d == -1 && PyErr_Occurred()) return nullptr;
    }
    uint64_t v = tarvish::without_gil(
        [d] { return word.fetch_add(static_cast<uint64_t>(d), std::memory_order_acq_rel) + static_cast<uint64_t>(d); });
    return PyLong_FromLongLong(static_cast<long long>(v));
}

PyObject* atomic_cas(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) noexcept {
    if (PyVectorcall_NARGS(nargs) < 2) return PyErr_Format(PyExc_TypeError, "two arguments needed");
    long long e = PyLong_AsLongLong(args[0]), n = PyLong_AsLongLong(args[1]);
    if (PyErr_Occurred()) return nullptr;
    bool ok = tarvish::without_gil([e, n] {
        uint64_t ev = static_cast<uint64_t>(e);
        return word.compare_exchange_strong(ev, static_cast<uint64_t>(n), std::memory_order_acq_rel);
    });
    return PyBool_FromLong(ok);
}

PyObject* mark(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    tarvish_bench_mark();
    Py_RETURN_NONE;
}

PyObject* zero(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
    tarvish_bench_zero();
    Py_RETURN_NONE;
}

template <auto F>
PyCFunction fast() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef methods[] = {
    {"call", fast<call>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"int_call", fast<int_call>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"float_call", fast<float_call>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"atomic_load", fast<atomic_load>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"atomic_add", fast<atomic_add>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"atomic_cas", fast<atomic_cas>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"mark", fast<mark>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"zero", fast<zero>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},  // its one shared word is atomic
#else
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef def{
    PyModuleDef_HEAD_INIT, "_bench_floor", "Benchmark floors.", 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__bench_floor() { return PyModuleDef_Init(&def); }
