// Conversions between Python objects and native values, with the package's
// fixed error messages. Header-only.
#pragma once

#include "ref.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace tarvish {

// A string usable as a template argument: the C type's name as the messages write it.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&s)[N]) noexcept { std::copy_n(s, N, text); }
};

// The object's integer conversion (its __int__), for a non-int; a null Ref means an error is set.
[[nodiscard]] inline Ref int_of(PyObject* o) noexcept {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) return raise(PyExc_TypeError, "an integer is required"), Ref();
    Ref r = Ref::steal(nb->nb_int(o));
    if (r && !PyLong_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
        return Ref();
    }
    return r;
}

// Converts to the native integer T. An int is taken as it is; anything else goes
// through its integer conversion (a float truncates). A value outside T raises
// OverflowError naming T as `TypeName`; beyond 64 bits the interpreter's own error stands.
template <class T, Name TypeName>
[[nodiscard]] bool to_int(PyObject* o, T& out) noexcept {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    Ref owned;
    if (!PyLong_Check(o)) [[unlikely]] {
        owned = int_of(o);
        if (!owned) return false;
        o = owned.get();
    }
    auto* lo = reinterpret_cast<PyLongObject*>(o);
    if constexpr (std::is_signed_v<T>) {
        long long v;
        if (PyUnstable_Long_IsCompact(lo)) [[likely]] {
            v = PyUnstable_Long_CompactValue(lo);
        } else {
            v = PyLong_AsLongLong(o);
            if (v == -1 && PyErr_Occurred()) return false;
        }
        if constexpr (sizeof(T) < sizeof(long long)) {
            if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) [[unlikely]] {
                raise(PyExc_OverflowError, "value too large to convert to %s", TypeName.text);
                return false;
            }
        }
        out = static_cast<T>(v);
    } else {
        unsigned long long v;
        if (PyUnstable_Long_IsCompact(lo)) [[likely]] {
            Py_ssize_t s = PyUnstable_Long_CompactValue(lo);
            if (s < 0) [[unlikely]] {
                raise(PyExc_OverflowError, "can't convert negative value to %s", TypeName.text);
                return false;
            }
            v = static_cast<unsigned long long>(s);
        } else {
            if (PyLong_IsNegative(o)) {
                raise(PyExc_OverflowError, "can't convert negative value to %s", TypeName.text);
                return false;
            }
            v = PyLong_AsUnsignedLongLong(o);
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        }
        if constexpr (sizeof(T) < sizeof(unsigned long long)) {
            if (v > std::numeric_limits<T>::max()) [[unlikely]] {
                raise(PyExc_OverflowError, "value too large to convert to %s", TypeName.text);
                return false;
            }
        }
        out = static_cast<T>(v);
    }
    return true;
}

// Converts any object with a float conversion to a double.
[[nodiscard]] inline bool to_double(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) [[likely]] {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Takes a flag by its truth value.
[[nodiscard]] inline bool to_flag(PyObject* o, bool& out) noexcept {
    if (o == Py_True || o == Py_False) [[likely]] {
        out = o == Py_True;
        return true;
    }
    int t = PyObject_IsTrue(o);
    if (t < 0) return false;
    out = t != 0;
    return true;
}

// The truth value of a call's result: 1, 0, or -1 with an error set (a null
// Ref, a failed call, passes its error on).
[[nodiscard]] inline int truth(const Ref& o) noexcept { return o ? PyObject_IsTrue(o.get()) : -1; }

// The host language's `a <op> b` taken by its truth value, with no identity
// shortcut; both operands stay alive across the comparison, which may run code
// that drops them elsewhere. -1 with an error set on failure.
[[nodiscard]] inline int compare(PyObject* a, PyObject* b, int op) noexcept {
    Ref left = Ref::borrow(a), right = Ref::borrow(b);
    return truth(Ref::steal(PyObject_RichCompare(left.get(), right.get(), op)));
}

// Dispatches on the native type: integers, double and bool.
template <class T, Name TypeName = "">
[[nodiscard]] bool to_native(PyObject* o, T& out) noexcept {
    if constexpr (std::is_same_v<T, bool>) return to_flag(o, out);
    else if constexpr (std::is_floating_point_v<T>) {
        double d;
        if (!to_double(o, d)) return false;
        out = static_cast<T>(d);
        return true;
    } else return to_int<T, TypeName>(o, out);
}

// Native values to new Python objects (null with an error set when memory runs out).
[[nodiscard]] inline Ref box(long long v) noexcept { return Ref::steal(PyLong_FromLongLong(v)); }
[[nodiscard]] inline Ref box(long v) noexcept { return Ref::steal(PyLong_FromLong(v)); }
[[nodiscard]] inline Ref box(int v) noexcept { return Ref::steal(PyLong_FromLong(v)); }
[[nodiscard]] inline Ref box(short v) noexcept { return Ref::steal(PyLong_FromLong(v)); }
[[nodiscard]] inline Ref box(signed char v) noexcept { return Ref::steal(PyLong_FromLong(v)); }
[[nodiscard]] inline Ref box(unsigned long long v) noexcept { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
[[nodiscard]] inline Ref box(unsigned long v) noexcept { return Ref::steal(PyLong_FromUnsignedLong(v)); }
[[nodiscard]] inline Ref box(unsigned int v) noexcept { return Ref::steal(PyLong_FromUnsignedLong(v)); }
[[nodiscard]] inline Ref box(unsigned short v) noexcept { return Ref::steal(PyLong_FromUnsignedLong(v)); }
[[nodiscard]] inline Ref box(unsigned char v) noexcept { return Ref::steal(PyLong_FromUnsignedLong(v)); }
[[nodiscard]] inline Ref box(double v) noexcept { return Ref::steal(PyFloat_FromDouble(v)); }
[[nodiscard]] inline Ref box(bool v) noexcept { return Ref::borrow(v ? Py_True : Py_False); }

// The interpreter's own 0 and 1, borrowed: immortal, never made anew, never null.
[[nodiscard]] inline PyObject* zero() noexcept { return Py_GetConstantBorrowed(Py_CONSTANT_ZERO); }
[[nodiscard]] inline PyObject* one() noexcept { return Py_GetConstantBorrowed(Py_CONSTANT_ONE); }

// A new tuple of the given native values, boxed in order; null with an error set.
template <class... V>
[[nodiscard]] Ref tuple_of(V... values) noexcept {
    Ref items[] = {box(values)...};
    for (const Ref& r : items)
        if (!r) return Ref();
    Ref t = Ref::steal(PyTuple_New(sizeof...(V)));
    if (!t) return t;
    Py_ssize_t i = 0;
    for (Ref& r : items) PyTuple_SET_ITEM(t.get(), i++, r.release());
    return t;
}

namespace detail {
// The unbound str.lower, looked up when the module executes.
inline Str str_lower{"lower", [](const char* name) noexcept {
                         return PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), name);
                     }};
}  // namespace detail

// str.lower(text), called unbound: the host's Unicode lower-casing, and the
// host's own TypeError for anything that is not a str.
[[nodiscard]] inline Ref lower(PyObject* text) noexcept { return call(detail::str_lower.get(), text); }

// A per cent value x rounded to tenths as f"{x:.1f}" rounds it (the exact
// binary value, an exact tie to even), for x in [0, 1e14]; false elsewhere.
[[nodiscard]] inline bool percent_tenths(double x, uint64_t& tenths) noexcept {
    if (!(x >= 0.0 && x <= 1e14) || std::signbit(x)) return false;
    // y is within half an ulp of the exact 10x and below 2^50, so t and y - t
    // are exact, and the exact 10x lies on the same side of t + 0.5 as y does
    // unless y is t + 0.5 itself: then the product's rounding error (exact
    // through fma) decides, and zero error is a tie.
    double y = x * 10.0;
    auto t = static_cast<uint64_t>(y);
    double frac = y - static_cast<double>(t);
    if (frac > 0.5) {
        ++t;
    } else if (frac == 0.5) {
        double err = std::fma(10.0, x, -y);
        if (err > 0.0 || (err == 0.0 && (t & 1))) ++t;
    }
    tenths = t;
    return true;
}

// f(units, length) over an exact str's code units in their own storage width
// (const Py_UCS1*, const Py_UCS2* or const Py_UCS4*): a scan reads the text
// where it lies, without a copy.
template <class F>
decltype(auto) with_code_units(PyObject* text, F&& f) noexcept {
    auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: return f(static_cast<const Py_UCS1*>(data), n);
    case PyUnicode_2BYTE_KIND: return f(static_cast<const Py_UCS2*>(data), n);
    default: return f(static_cast<const Py_UCS4*>(data), n);
    }
}

// "12.3%" for 123 tenths of a per cent.
[[nodiscard]] inline Ref tenths_text(uint64_t tenths) noexcept {
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = end;
    *--p = '%';
    *--p = static_cast<char>('0' + tenths % 10);
    *--p = '.';
    tenths /= 10;
    do {
        *--p = static_cast<char>('0' + tenths % 10);
        tenths /= 10;
    } while (tenths);
    Ref text = Ref::steal(PyUnicode_New(end - p, 127));
    if (text) std::memcpy(PyUnicode_DATA(text.get()), p, static_cast<std::size_t>(end - p));
    return text;
}

// The text of f"{x:.1f}%" for a double, as the host formats it.
[[nodiscard]] inline Ref percent_text(double x) noexcept {
    uint64_t tenths;
    if (percent_tenths(x, tenths)) [[likely]]
        return tenths_text(tenths);
    char* digits = PyOS_double_to_string(x, 'f', 1, 0, nullptr);  // sets MemoryError on failure
    if (!digits) return Ref();
    std::size_t n = std::strlen(digits);  // ASCII: digits, sign, point, "inf", "nan"
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n + 1), 127));
    if (text) {
        std::memcpy(PyUnicode_DATA(text.get()), digits, n);
        static_cast<char*>(PyUnicode_DATA(text.get()))[n] = '%';
    }
    PyMem_Free(digits);
    return text;
}

// The TypeError for an argument of the wrong type.
[[gnu::cold, gnu::noinline]] inline bool raise_arg_type(const char* param, const char* expected,
                                                        PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
                 Py_TYPE(got)->tp_name);
    return false;
}

// The TypeError for an item of the wrong type taken from a container.
[[gnu::cold, gnu::noinline]] inline bool raise_item_type(const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return false;
}

// A parameter annotated int: an exact int passes, another number goes through
// int(), anything else is refused with the argument-type TypeError.
[[nodiscard]] inline Ref annotated_int(PyObject* o, const char* param) noexcept {
    if (PyLong_CheckExact(o)) [[likely]]
        return Ref::borrow(o);
    if (PyNumber_Check(o)) return Ref::steal(PyNumber_Long(o));
    raise_arg_type(param, "int", o);
    return Ref();
}

// A result declared int: an int or None passes, another number goes through
// int(), anything else raises TypeError "Expected int, got ...". Consumes `r`.
[[nodiscard]] inline Ref int_result(Ref r) noexcept {
    if (!r) return r;
    PyObject* o = r.get();
    if (PyLong_CheckExact(o) || o == Py_None) [[likely]]
        return r;
    if (PyNumber_Check(o)) return Ref::steal(PyNumber_Long(o));
    raise_item_type("int", o);
    return Ref();
}

}  // namespace tarvish
