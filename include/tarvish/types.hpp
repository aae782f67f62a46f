// Native classes: attribute descriptors, the pickling refusal, deallocation and
// type creation. Header-only.
#pragma once

#include "args.hpp"

namespace tarvish {

namespace detail {
template <class M>
struct member_traits;
template <class O, class T>
struct member_traits<T O::*> {
    using object = O;
    using type = T;
};
}  // namespace detail

// Deleting a public native attribute raises NotImplementedError "__del__".
[[gnu::cold, gnu::noinline]] inline int refuse_delete() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// A public native attribute backed by the member `M` (an integer, double, bool
// or Ref). Reads box the value; writes convert (integers name `TypeName` in
// their OverflowError) without validating; deletion is refused.
template <auto M, Name TypeName = "">
struct Field {
    using O = typename detail::member_traits<decltype(M)>::object;
    using T = typename detail::member_traits<decltype(M)>::type;

    static PyObject* get(PyObject* self, void*) noexcept {
        if constexpr (std::is_same_v<T, Ref>) return (reinterpret_cast<O*>(self)->*M).new_ref();
        else return box(reinterpret_cast<O*>(self)->*M).release();
    }
    static int set(PyObject* self, PyObject* value, void*) noexcept {
        if (!value) return refuse_delete();
        if constexpr (std::is_same_v<T, Ref>) {
            reinterpret_cast<O*>(self)->*M = Ref::borrow(value);
        } else {
            T v;
            if (!to_native<T, TypeName>(value, v)) return -1;
            reinterpret_cast<O*>(self)->*M = v;
        }
        return 0;
    }
    static constexpr PyGetSetDef rw(const char* name, const char* doc = nullptr) noexcept {
        return {name, get, set, doc, nullptr};
    }
    static constexpr PyGetSetDef ro(const char* name, const char* doc = nullptr) noexcept {
        return {name, get, nullptr, doc, nullptr};
    }
};

// Instances cannot be pickled: __reduce__ and __setstate__ raise TypeError.
namespace detail {
[[gnu::cold]] inline PyObject* refuse_pickle() noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}
inline PyObject* reduce_refusal(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_args("__reduce_cython__", nargs, kwnames)) return nullptr;
    return refuse_pickle();
}
inline PyObject* setstate_refusal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<1> sig{"__setstate_cython__", {"__pyx_state"}, 1};
    PyObject* state;
    if (!parse(sig, args, nargs, kwnames, Object{state})) return nullptr;
    return refuse_pickle();
}
}  // namespace detail

// A method-table entry for a METH_FASTCALL | METH_KEYWORDS function of the exact type.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
inline PyMethodDef method(const char* name, FastMethod f, const char* doc, int extra_flags = 0) noexcept {
    // PyMethodDef stores every kind of function as PyCFunction; the flags tell
    // the interpreter the real signature.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
            METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// The two method-table entries that refuse pickling.
inline PyMethodDef reduce_method() noexcept { return method("__reduce__", detail::reduce_refusal, nullptr); }
inline PyMethodDef setstate_method() noexcept { return method("__setstate__", detail::setstate_refusal, nullptr); }

// tp_dealloc for a heap type whose instances hold no Python references: runs the
// C++ destructor of O, frees the memory and drops the instance's type reference.
template <class O>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<O*>(self)->~O();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// tp_dealloc for a garbage-collected heap type: untracks first.
template <class O>
void gc_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    dealloc<O>(self);
}

// Creates a heap type from `type_spec` (with an optional base) and binds it in the
// module under its short name; `out` keeps a strong reference for the process.
[[nodiscard]] inline bool add_type(PyObject* module, PyType_Spec* type_spec, PyTypeObject*& out,
                                   PyObject* base = nullptr) noexcept {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, type_spec, base));
    if (!type) return false;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return false;
    Py_XSETREF(out, reinterpret_cast<PyTypeObject*>(type.release()));
    return true;
}

// Creates an ordinary Python class `name` (with an instance dict) in the module,
// whose methods are the given native functions, and binds it under `name`.
[[nodiscard]] inline bool add_python_class(PyObject* module, const char* name, const char* doc,
                                           PyMethodDef* methods) noexcept {
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!modname) return false;
    Ref ns = Ref::steal(Py_BuildValue("{sOss}", "__module__", modname.get(), "__doc__", doc));
    if (!ns) return false;
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name,
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    if (!cls) return false;
    for (PyMethodDef* m = methods; m->ml_name; ++m) {
        Ref descr = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), m));
        if (!descr || PyObject_SetAttrString(cls.get(), m->ml_name, descr.get()) < 0) return false;
    }
    return PyModule_AddObjectRef(module, name, cls.get()) == 0;
}

}  // namespace tarvish
