// Native classes: attribute descriptors, the pickling refusal, deallocation and
// type creation. Header-only.
#pragma once

#include "args.hpp"

#include <atomic>
#include <memory>
#include <new>

namespace tarvish {

namespace detail {
template <class M>
struct member_traits;
template <class O, class T>
struct member_traits<T O::*> {
    using object = O;
    using type = T;
};
// Whether X is exactly the object head followed by its state `st`.
template <class X>
[[nodiscard]] consteval bool head_and_state() noexcept {
    using State = decltype(X::st);
    constexpr std::size_t a = alignof(State), head = (sizeof(PyObject) + a - 1) / a * a;
    constexpr std::size_t x = alignof(X), size = (head + sizeof(State) + x - 1) / x * x;
    return sizeof(X) == size;
}
}  // namespace detail

// The native object X (`struct X { PyObject_HEAD; XState st; };`) that `self`
// is, for the native method tables that take X*; the one cast from an object
// to a native class.
template <class X>
[[nodiscard]] inline X* native(PyObject* self) noexcept {
    static_assert(detail::head_and_state<X>(), "X is PyObject_HEAD and its state st, nothing else");
    return reinterpret_cast<X*>(self);
}

// The state `st` of the native object X that `self` is.
template <class X>
[[nodiscard]] inline auto& state_of(PyObject* self) noexcept {
    return native<X>(self)->st;
}

// The object that the native object `self` is.
template <class X>
[[nodiscard]] inline PyObject* object_of(X* self) noexcept {
    return reinterpret_cast<PyObject*>(self);
}

// The first visit of a heap type instance's tp_traverse: its type, which is never null.
[[nodiscard]] inline int visit_type(PyObject* self, visitproc visit, void* arg) noexcept {
    return visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg);
}

// Deleting a public native attribute raises NotImplementedError "__del__".
[[gnu::cold, gnu::noinline]] inline int refuse_delete() noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
}

// A native field as it is now, read while other threads may write it (as the
// attribute setters below do, under no lock). Relaxed is enough: each field is
// a value of its own (no other memory is published through it), and a reader
// sees, whole, one that some thread wrote.
template <class T>
[[nodiscard]] T load_relaxed(T& field) noexcept {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

// Whether an object's attribute lookup would find what its type held when the
// type was noted: the object is of exactly that type (whose instances have no
// dictionary of their own) and the type's version tag, which every change to
// the type's or its bases' attributes resets, is the one noted. A method then
// runs natively without the lookup, which would take a reference to the one
// method object every thread shares (on the free-threaded build, an atomic add
// on a cache line that every core writes).
class TypeVersion {
public:
    void note(PyTypeObject* type) noexcept {
        type_ = type;
        tag_ = PyUnstable_Type_AssignVersionTag(type) ? load_relaxed(type->tp_version_tag) : 0;
    }
    [[nodiscard]] bool unchanged(PyObject* obj) const noexcept {
        return tag_ && Py_IS_TYPE(obj, type_) && load_relaxed(type_->tp_version_tag) == tag_;
    }

private:
    PyTypeObject* type_ = nullptr;
    unsigned tag_ = 0;  // 0: none could be assigned, so every call looks up
};

// A public native attribute backed by the member `M` (an integer, double, bool
// or Ref) of the object or, given the object's type X, of X's state `st`.
// Reads box the value; writes convert (integers name `TypeName` in their
// OverflowError) without validating; deletion is refused. Other threads may
// read and write the attribute at once: a scalar is read and written as one
// relaxed atomic (a reader sees the old value or the new, whole), a Ref under
// the object's critical section (the old object is dropped after the section).
template <auto M, Name TypeName = "", class X = void>
struct Field {
    using O = typename detail::member_traits<decltype(M)>::object;
    using T = typename detail::member_traits<decltype(M)>::type;

    static T& member(PyObject* self) noexcept {
        if constexpr (std::is_void_v<X>) return reinterpret_cast<O*>(self)->*M;
        else return state_of<X>(self).*M;
    }
    // The member's value now, for native readers outside any lock.
    static T load(PyObject* self) noexcept
        requires(!std::is_same_v<T, Ref>)
    {
        return load_relaxed(member(self));
    }
    static PyObject* get(PyObject* self, void*) noexcept {
        PyObject* r;
        if constexpr (std::is_same_v<T, Ref>) {
            Py_BEGIN_CRITICAL_SECTION(self);
            r = member(self).new_ref();
            Py_END_CRITICAL_SECTION();
        } else {
            r = box(load(self)).release();
        }
        assert(follows_convention(r));
        return r;
    }
    static int set(PyObject* self, PyObject* value, void*) noexcept {
        if (!value) return refuse_delete();
        if constexpr (std::is_same_v<T, Ref>) {
            Ref old = Ref::borrow(value);
            Py_BEGIN_CRITICAL_SECTION(self);
            std::swap(member(self), old);
            Py_END_CRITICAL_SECTION();
        } else {
            T v;
            bool ok = to_native<T, TypeName>(value, v);
            assert(follows_convention(ok));
            if (!ok) return -1;
            std::atomic_ref<T>(member(self)).store(v, std::memory_order_relaxed);
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

namespace detail {
// F with the error convention checked around the call: entered without an
// error pending, left with a null result exactly when an error is set.
template <FastMethod F>
PyObject* checked_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    assert(!PyErr_Occurred());
    PyObject* result = F(self, args, nargs, kwnames);
    assert(follows_convention(result));
    return result;
}

// The function the interpreter calls for F: F itself, or F checked in a build that checks.
template <FastMethod F>
[[nodiscard]] consteval FastMethod entry() noexcept {
    if constexpr (kChecks) return checked_call<F>;
    else return F;
}

template <FastMethod F, const auto& Sig, Receiver R, Name Doc, int Flags>
[[nodiscard]] inline PyMethodDef described(const char* name) noexcept {
    return method(name, entry<F>(), TextSignature<Sig, R, Doc>::text.data(), Flags);
}
}  // namespace detail

// The function that a table entry made by function<F, …>() or method<F, …>()
// holds, to recognise an inherited native method by its function pointer.
template <FastMethod F>
[[nodiscard]] consteval FastMethod table_entry() noexcept {
    return detail::entry<F>();
}

// The method-table entry of a module's function F, named and described by its
// Signature: its docstring is "name($module, a, b=0)\n--\n\n" and Doc.
template <FastMethod F, const auto& Sig, Name Doc>
[[nodiscard]] inline PyMethodDef function() noexcept {
    return detail::described<F, Sig, Receiver::module, Doc, 0>(Sig.name);
}

// The method-table entry of a native class's method F, named and described by
// its Signature ("$self", "$type" under METH_CLASS, no receiver under METH_STATIC).
template <FastMethod F, const auto& Sig, Name Doc, int Flags = 0>
[[nodiscard]] inline PyMethodDef method() noexcept {
    constexpr Receiver r = Flags & METH_STATIC ? Receiver::none : Flags & METH_CLASS ? Receiver::type : Receiver::self;
    return detail::described<F, Sig, r, Doc, Flags>(Sig.name);
}

// The Py_tp_doc of a native class: "Called(a, b=0)\n--\n\n" and Doc, from the
// Signature its tp_new binds (`Called` names the class when the Signature's
// name is another).
template <const auto& Sig, Name Doc, Name Called = "">
[[nodiscard]] inline void* type_doc() noexcept {
    return const_cast<char*>(TextSignature<Sig, Receiver::none, Doc, Called>::text.data());
}

// The two method-table entries that refuse pickling.
inline PyMethodDef reduce_method() noexcept {
    return method("__reduce__", detail::entry<detail::reduce_refusal>(), nullptr);
}
inline PyMethodDef setstate_method() noexcept {
    return method("__setstate__", detail::entry<detail::setstate_refusal>(), nullptr);
}

// A native object is `struct X { PyObject_HEAD; XState st; };`, and tp_new
// calls construct<X>(self) right after tp_alloc, before anything can fail, so
// that dealloc<X> is safe whatever tp_new fails on. Returns the state, value-initialised.
template <class X>
[[nodiscard]] auto& construct(PyObject* self) noexcept {
    using State = decltype(X::st);
    static_assert(detail::head_and_state<X>(), "X is PyObject_HEAD and its state st, nothing else");
    static_assert(std::is_nothrow_default_constructible_v<State>);
    return *::new (static_cast<void*>(&state_of<X>(self))) State();
}

// tp_dealloc for a heap type that is not garbage-collected: destroys the
// object's C++ state (for an X built by construct<X>, its `st`; otherwise the
// members of O, by O's destructor), releasing the references it owns; then frees
// the memory and drops the instance's type reference. A type whose instances can
// take part in a reference cycle is garbage-collected and uses gc_dealloc.
template <class O>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    if constexpr (requires { &O::st; }) {
        static_assert(detail::head_and_state<O>(), "O is PyObject_HEAD and its state st, nothing else");
        std::destroy_at(&state_of<O>(self));
    } else {
        reinterpret_cast<O*>(self)->~O();
    }
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
