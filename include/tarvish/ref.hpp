// Owned references. Header-only; every extension module of the package uses it.
#pragma once

#include "check.hpp"

#include <cstdarg>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace tarvish {

// A move-only owner of one strong reference (or of nothing). Made only by
// steal() or borrow(); get() lends the pointer, release() hands the reference on.
class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    // The new pointer is stored before the old one is released: the release can
    // run arbitrary code that may look at this Ref again.
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new strong reference to the same object, for handing on while keeping this one.
    [[nodiscard]] PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { *this = Ref(); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A cold, out-of-line error builder: sets `exc` with a formatted message, returns null.
[[gnu::cold, gnu::noinline]] inline std::nullptr_t raise(PyObject* exc, const char* fmt, ...) noexcept {
    va_list va;
    va_start(va, fmt);
    PyErr_FormatV(exc, fmt, va);
    va_end(va);
    return nullptr;
}

// The TypeError of len() on an object without a length ("object of type
// 'NoneType' has no len()"); returns null.
[[gnu::cold, gnu::noinline]] inline std::nullptr_t raise_no_len(PyObject* o) noexcept {
    return raise(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(o)->tp_name);
}

// Attribute lookup by C name; a null Ref means the error is set.
[[nodiscard]] inline Ref getattr(PyObject* o, const char* name) noexcept {
    return Ref::steal(PyObject_GetAttrString(o, name));
}

// Calls `callable` with the given (borrowed) arguments.
template <class... A>
[[nodiscard]] inline Ref call(PyObject* callable, A... args) noexcept {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls the method `name` (an interned str) of `self` with the given (borrowed) arguments.
template <class... A>
[[nodiscard]] inline Ref call_method(PyObject* self, PyObject* name, A... args) noexcept {
    PyObject* argv[] = {self, args...};
    return Ref::steal(
        PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

struct Str;
namespace detail {
// The names of this library (each module's library has its own, its symbols
// being hidden), linked as they are constructed: at library load for those at
// namespace scope, with the module's state for its members.
inline Str* names = nullptr;
}  // namespace detail

// An interned str (or, given a maker, another object made from the text), made
// when the module executes (intern_names()) and kept for the life of the
// process: the modules load into one interpreter only. Written once, before
// the module is published, and read only afterwards, so the reads need no
// ordering of their own; get() is never null once the module has executed.
struct Str {
    using Maker = PyObject* (*)(const char*) noexcept;
    const char* text;
    Maker make;
    PyObject* obj = nullptr;
    Str* next;

    // NOLINTNEXTLINE(google-explicit-constructor): names are written as {"text"}.
    Str(const char* t, Maker m = intern) noexcept : text(t), make(m), next(detail::names) { detail::names = this; }
    Str(const Str&) = delete;
    Str& operator=(const Str&) = delete;

    [[nodiscard]] PyObject* get() const noexcept {
        assert(obj && "a name is made when its module executes");
        return obj;
    }

private:
    static PyObject* intern(const char* t) noexcept { return PyUnicode_InternFromString(t); }
};

// Makes every name of this library not made yet; false with an error set (a
// module whose execution failed makes the rest when it executes again).
[[nodiscard]] inline bool intern_names() noexcept {
    for (Str* s = detail::names; s; s = s->next)
        if (!s->obj && !(s->obj = s->make(s->text))) return false;
    return true;
}

// Attribute lookup by interned name; a null Ref means the error is set.
[[nodiscard]] inline Ref getattr(PyObject* o, const Str& name) noexcept {
    return Ref::steal(PyObject_GetAttr(o, name.get()));
}

// Calls the method `name` of `self` with the given (borrowed) arguments; null with an error set.
template <class... A>
[[nodiscard]] inline Ref call_method(PyObject* self, const Str& name, A... args) noexcept {
    return call_method(self, name.get(), args...);
}

// dict[key] = value; a null value passes on the error already set. False with an error set.
[[nodiscard]] inline bool set_item(PyObject* dict, const Str& key, PyObject* value) noexcept {
    return value && PyDict_SetItem(dict, key.get(), value) == 0;
}
[[nodiscard]] inline bool set_item(PyObject* dict, const Str& key, const Ref& value) noexcept {
    return set_item(dict, key, value.get());
}

// o.<name> = value by interned name; a null value passes on the error already set. False with an error set.
[[nodiscard]] inline bool set_attr(PyObject* o, const Str& name, PyObject* value) noexcept {
    return value && PyObject_SetAttr(o, name.get(), value) == 0;
}
[[nodiscard]] inline bool set_attr(PyObject* o, const Str& name, const Ref& value) noexcept {
    return set_attr(o, name, value.get());
}

// A new tuple of interned names; null with an error set.
template <class S, std::size_t N>
    requires std::is_same_v<std::remove_const_t<S>, Str>
[[nodiscard]] inline Ref name_tuple(S* const (&names)[N]) noexcept {
    Ref t = Ref::steal(PyTuple_New(N));
    if (!t) return t;
    for (std::size_t i = 0; i < N; ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]->get()));
    return t;
}

}  // namespace tarvish
