// tarvish.memory.corvane: the concurrency primitives of the memory layer.
#include "tarvish.hpp"

#include <atomic>
#include <cstdint>

namespace {

using tarvish::Ref;
using tarvish::Signature;

tarvish::ModuleGuard corvane_guard{"corvane"};

PyTypeObject* AtomicCounter_type = nullptr;

// ---------------------------------------------------------------------------
// AtomicCounter: a signed 64-bit word changed only by single atomic
// instructions. Arithmetic wraps modulo 2^64, which unsigned fetch-and-add on
// the same bits gives without signed overflow.

struct AtomicCounter;

// The class's native interface for native callers, in this order. None of the
// entries touches the interpreter; they may run without the interpreter lock.
struct AtomicCounterOps {
    int64_t (*_c_load)(AtomicCounter*) noexcept;
    void (*_c_store)(AtomicCounter*, int64_t) noexcept;
    int64_t (*_c_increment)(AtomicCounter*, const int64_t* delta) noexcept;  // null delta means 1
    int64_t (*_c_decrement)(AtomicCounter*, const int64_t* delta) noexcept;  // null delta means 1
    bool (*_c_compare_and_swap)(AtomicCounter*, int64_t expected, int64_t new_value) noexcept;
    int64_t (*_c_fetch_and_add)(AtomicCounter*, int64_t delta) noexcept;
};

struct AtomicCounter {
    PyObject_HEAD
    const AtomicCounterOps* ops;
    std::atomic<uint64_t> value;
};

int64_t wrap(uint64_t v) noexcept { return static_cast<int64_t>(v); }

int64_t counter_load(AtomicCounter* c) noexcept { return wrap(c->value.load(std::memory_order_seq_cst)); }
void counter_store(AtomicCounter* c, int64_t v) noexcept {
    c->value.store(static_cast<uint64_t>(v), std::memory_order_seq_cst);
}
int64_t counter_fetch_and_add(AtomicCounter* c, int64_t delta) noexcept {
    return wrap(c->value.fetch_add(static_cast<uint64_t>(delta), std::memory_order_acq_rel));
}
int64_t counter_increment(AtomicCounter* c, const int64_t* delta) noexcept {
    uint64_t d = static_cast<uint64_t>(delta ? *delta : 1);
    return wrap(c->value.fetch_add(d, std::memory_order_acq_rel) + d);
}
int64_t counter_decrement(AtomicCounter* c, const int64_t* delta) noexcept {
    // Two's-complement negation of the delta: -INT64_MIN adds INT64_MIN.
    uint64_t d = 0 - static_cast<uint64_t>(delta ? *delta : 1);
    return wrap(c->value.fetch_add(d, std::memory_order_acq_rel) + d);
}
bool counter_compare_and_swap(AtomicCounter* c, int64_t expected, int64_t new_value) noexcept {
    uint64_t e = static_cast<uint64_t>(expected);
    return c->value.compare_exchange_strong(e, static_cast<uint64_t>(new_value), std::memory_order_acq_rel,
                                            std::memory_order_acquire);
}

const AtomicCounterOps atomic_counter_ops{counter_load,      counter_store,           counter_increment,
                                          counter_decrement, counter_compare_and_swap, counter_fetch_and_add};

AtomicCounter* as_counter(PyObject* self) noexcept { return reinterpret_cast<AtomicCounter*>(self); }

// Runs one atomic instruction with the interpreter lock released.
template <class F>
auto without_gil(F f) noexcept {
    PyThreadState* ts = PyEval_SaveThread();
    auto r = f();
    PyEval_RestoreThread(ts);
    return r;
}

PyObject* AtomicCounter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static Signature<1> sig{"__cinit__", {"initial_value"}, 0};
    int64_t initial = 0;
    if (!tarvish::parse(sig, args, kwargs, tarvish::I64{initial})) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    AtomicCounter* c = as_counter(self.get());
    c->ops = &atomic_counter_ops;
    new (&c->value) std::atomic<uint64_t>(static_cast<uint64_t>(initial));
    return self.release();
}

PyObject* AtomicCounter_load(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::no_args("load", nargs, kwnames)) return nullptr;
    AtomicCounter* c = as_counter(self);
    return PyLong_FromLongLong(without_gil([c] { return counter_load(c); }));
}

PyObject* AtomicCounter_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<1> sig{"store", {"value"}};
    int64_t value;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::I64{value})) return nullptr;
    AtomicCounter* c = as_counter(self);
    without_gil([c, value] {
        counter_store(c, value);
        return 0;
    });
    Py_RETURN_NONE;
}

PyObject* AtomicCounter_increment(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    static Signature<1> sig{"increment", {"delta"}, 0};
    int64_t delta = 1;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::I64{delta})) return nullptr;
    AtomicCounter* c = as_counter(self);
    return PyLong_FromLongLong(without_gil([c, &delta] { return counter_increment(c, &delta); }));
}

PyObject* AtomicCounter_decrement(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    static Signature<1> sig{"decrement", {"delta"}, 0};
    int64_t delta = 1;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::I64{delta})) return nullptr;
    AtomicCounter* c = as_counter(self);
    return PyLong_FromLongLong(without_gil([c, &delta] { return counter_decrement(c, &delta); }));
}

PyObject* AtomicCounter_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    static Signature<2> sig{"compare_and_swap", {"expected", "new_value"}};
    int64_t expected, new_value;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::I64{expected}, tarvish::I64{new_value})) return nullptr;
    AtomicCounter* c = as_counter(self);
    return PyBool_FromLong(without_gil([=] { return counter_compare_and_swap(c, expected, new_value); }));
}

PyObject* AtomicCounter_fetch_and_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    static Signature<1> sig{"fetch_and_add", {"delta"}};
    int64_t delta;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::I64{delta})) return nullptr;
    AtomicCounter* c = as_counter(self);
    return PyLong_FromLongLong(without_gil([=] { return counter_fetch_and_add(c, delta); }));
}

PyMethodDef AtomicCounter_methods[] = {
    tarvish::method("load", AtomicCounter_load, "load($self)\n--\n\nAtomically load value."),
    tarvish::method("store", AtomicCounter_store, "store($self, value)\n--\n\nAtomically store value."),
    tarvish::method("increment", AtomicCounter_increment,
                    "increment($self, delta=1)\n--\n\nAtomically increment and return new value."),
    tarvish::method("decrement", AtomicCounter_decrement,
                    "decrement($self, delta=1)\n--\n\nAtomically decrement and return new value."),
    tarvish::method("compare_and_swap", AtomicCounter_compare_and_swap,
                    "compare_and_swap($self, expected, new_value)\n--\n\nAtomically compare and swap."),
    tarvish::method("fetch_and_add", AtomicCounter_fetch_and_add,
                    "fetch_and_add($self, delta)\n--\n\nAtomically fetch and add."),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot AtomicCounter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(AtomicCounter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::dealloc<AtomicCounter>)},
    {Py_tp_methods, AtomicCounter_methods},
    {Py_tp_doc, const_cast<char*>("AtomicCounter(initial_value=0)\n--\n\n"
                                  "Lock-free signed 64-bit counter; every operation is one atomic instruction.")},
    {0, nullptr},
};

PyType_Spec AtomicCounter_spec{"tarvish.memory.corvane.AtomicCounter", sizeof(AtomicCounter), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, AtomicCounter_slots};

// The py_* aliases are the very function objects of the unprefixed methods.
bool add_py_aliases(PyTypeObject* type) noexcept {
    static const char* const names[] = {"load", "store", "increment", "decrement", "compare_and_swap",
                                        "fetch_and_add"};
    for (const char* name : names) {
        Ref method = tarvish::getattr(reinterpret_cast<PyObject*>(type), name);
        Ref alias = Ref::steal(PyUnicode_FromFormat("py_%s", name));
        if (!method || !alias || PyObject_SetAttr(reinterpret_cast<PyObject*>(type), alias.get(), method.get()) < 0)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// AtomicCounterWrapper: a plain Python class forwarding to `self._counter`.

tarvish::Str s_counter{"_counter"};
tarvish::Str s_py_load{"py_load"};
tarvish::Str s_py_store{"py_store"};
tarvish::Str s_py_increment{"py_increment"};
tarvish::Str s_py_decrement{"py_decrement"};
tarvish::Str s_py_compare_and_swap{"py_compare_and_swap"};
tarvish::Str s_py_fetch_and_add{"py_fetch_and_add"};

// Calls `self._counter.<name>(args...)`.
template <class... A>
Ref forward(PyObject* self, tarvish::Str& name, A... args) noexcept {
    PyObject* attr = s_counter.get();
    PyObject* method = name.get();
    if (!attr || !method) return Ref();
    Ref counter = Ref::steal(PyObject_GetAttr(self, attr));
    if (!counter) return Ref();
    return tarvish::call_method(counter.get(), method, args...);
}

PyObject* Wrapper_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<1> sig{"__init__", {"initial_value"}, 0};
    Ref initial;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{initial})) return nullptr;
    if (!initial) initial = Ref::steal(PyLong_FromLong(0));
    if (!initial) return nullptr;
    Ref counter = tarvish::call(reinterpret_cast<PyObject*>(AtomicCounter_type), initial.get());
    if (!counter || PyObject_SetAttr(self, s_counter.get(), counter.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* Wrapper_load(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::no_args("load", nargs, kwnames)) return nullptr;
    return tarvish::int_result(forward(self, s_py_load)).release();
}

PyObject* Wrapper_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<1> sig{"store", {"value"}};
    Ref value;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{value})) return nullptr;
    if (!forward(self, s_py_store, value.get())) return nullptr;
    Py_RETURN_NONE;
}

// increment and decrement: one optional annotated-int delta, default 1.
template <tarvish::Str& Method, Signature<1>& Sig>
PyObject* Wrapper_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref delta;
    if (!tarvish::parse(Sig, args, nargs, kwnames, tarvish::AnnotatedInt{delta})) return nullptr;
    if (!delta) delta = Ref::steal(PyLong_FromLong(1));
    if (!delta) return nullptr;
    return tarvish::int_result(forward(self, Method, delta.get())).release();
}
Signature<1> wrapper_increment_sig{"increment", {"delta"}, 0};
Signature<1> wrapper_decrement_sig{"decrement", {"delta"}, 0};

PyObject* Wrapper_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    static Signature<2> sig{"compare_and_swap", {"expected", "new_value"}};
    Ref expected, new_value;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{expected}, tarvish::AnnotatedInt{new_value}))
        return nullptr;
    return forward(self, s_py_compare_and_swap, expected.get(), new_value.get()).release();
}

PyObject* Wrapper_fetch_and_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    static Signature<1> sig{"fetch_and_add", {"delta"}};
    Ref delta;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{delta})) return nullptr;
    return tarvish::int_result(forward(self, s_py_fetch_and_add, delta.get())).release();
}

PyMethodDef Wrapper_methods[] = {
    tarvish::method("__init__", Wrapper_init, "__init__($self, initial_value=0)\n--\n\n"),
    tarvish::method("load", Wrapper_load, "load($self)\n--\n\n"),
    tarvish::method("store", Wrapper_store, "store($self, value)\n--\n\n"),
    tarvish::method("increment", Wrapper_step<s_py_increment, wrapper_increment_sig>,
                    "increment($self, delta=1)\n--\n\n"),
    tarvish::method("decrement", Wrapper_step<s_py_decrement, wrapper_decrement_sig>,
                    "decrement($self, delta=1)\n--\n\n"),
    tarvish::method("compare_and_swap", Wrapper_compare_and_swap,
                    "compare_and_swap($self, expected, new_value)\n--\n\n"),
    tarvish::method("fetch_and_add", Wrapper_fetch_and_add, "fetch_and_add($self, delta)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module body, in order.

bool corvane_exec(PyObject* module) noexcept {
    if (!tarvish::add_type(module, &AtomicCounter_spec, AtomicCounter_type)) return false;
    if (!add_py_aliases(AtomicCounter_type)) return false;
    if (!tarvish::import_as(module, "threading", "threading") || !tarvish::import_as(module, "time", "time") ||
        !tarvish::import_from(module, "typing", {"Optional", "TypeVar", "Generic"}))
        return false;
    if (!tarvish::add_python_class(module, "AtomicCounterWrapper",
                                   "Python wrapper for Cython AtomicCounter (backward compatibility).",
                                   Wrapper_methods))
        return false;
    if (!tarvish::bind_logger(module)) return false;
    if (!tarvish::log_line(module, "info", "Tarvish Cython Corvane loaded - C11 atomics active (10-20\u00d7 speedup)"))
        return false;
    return PyModule_AddObjectRef(module, "CYTHON_ATOMICS_AVAILABLE", Py_True) == 0;
}

PyModuleDef corvane_def{
    PyModuleDef_HEAD_INIT,
    "corvane",
    "Concurrency primitives of the memory layer.\n"
    "\n"
    "AtomicCounter is lock-free: each operation is one of the processor's atomic\n"
    "read-modify-write instructions on a signed 64-bit word (targets: increment\n"
    "under 30 ns, load under 10 ns, compare-and-swap under 50 ns, against about\n"
    "500 ns, 100 ns and 500 ns under a Python lock).\n"
    "\n"
    "AtomicPointer and LockFreeStack take a threading.Lock for their structural\n"
    "changes: a lock-free pointer or linked structure would need hazard pointers\n"
    "to be safe under reference counting. The stack keeps its size in a lock-free\n"
    "atomic counter, so reading the size takes no lock.\n"
    "\n"
    "LockFreeStatistics counts with AtomicCounter objects and takes a lock only\n"
    "for reset.",
    0,
    nullptr,
    tarvish::ModuleSlots<corvane_guard, corvane_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_corvane() { return PyModuleDef_Init(&corvane_def); }
