// Argument binding for METH_FASTCALL | METH_KEYWORDS callables and for tp_new,
// with the package's fixed binding messages. Header-only.
#pragma once

#include "convert.hpp"

#include <array>
#include <type_traits>

namespace tarvish {

// One parameter: its name and, for an optional one, its default as the text
// signature shows it ("0", "1.0", "True").
struct Param {
    const char* name;
    const char* shown_default = nullptr;
    // Whether it is optional: tested instead of the text's address, which a
    // sanitizing build cannot compare with null at compile time.
    bool optional = false;
    Py_ssize_t length;  // of the name, in bytes (ASCII)
    constexpr Param(const char* n) noexcept : name(n), length(text_length(n)) {}
    constexpr Param(const char* n, const char* shown) noexcept
        : name(n), shown_default(shown), optional(true), length(text_length(n)) {}

private:
    static constexpr Py_ssize_t text_length(const char* t) noexcept {
        Py_ssize_t n = 0;
        while (t[n]) ++n;
        return n;
    }
};

// An optional parameter, with its default as the text signature shows it
// (for a default that is no number: "None").
[[nodiscard]] constexpr Param opt(const char* name, const char* shown_default) noexcept {
    return {name, shown_default};
}

namespace detail {
// The decimal text of the integer V.
template <auto V>
struct IntText {
    static constexpr auto text = [] {
        std::array<char, 24> t{};
        using U = unsigned long long;
        bool negative = false;
        if constexpr (std::is_signed_v<decltype(V)>) negative = V < 0;
        U u = negative ? U(0) - static_cast<U>(V) : static_cast<U>(V);
        char digits[24];
        std::size_t n = 0, i = 0;
        do digits[n++] = static_cast<char>('0' + u % 10);
        while (u /= 10);
        if (negative) t[i++] = '-';
        while (n) t[i++] = digits[--n];
        return t;
    }();
};
}  // namespace detail

// An optional parameter whose default is the integer V, or the flag V
// ("True", "False"): the text signature shows the text made from V.
template <auto V>
[[nodiscard]] constexpr Param opt(const char* name) noexcept {
    static_assert(std::is_integral_v<decltype(V)>);
    if constexpr (std::is_same_v<decltype(V), bool>) return {name, V ? "True" : "False"};
    else return {name, detail::IntText<V>::text.data()};
}

// A float default: the text a signature shows and the double it denotes,
// made together from the text by decimal().
struct Decimal {
    double value;
    const char* shown;
};

// The double nearest the decimal `text` ("0.1", "-1.0"), with the text: the
// digits as an exact integer divided once by an exact power of ten, so the
// quotient is rounded once, as the interpreter reads the literal.
[[nodiscard]] consteval Decimal decimal(const char* text) {
    const char* p = text;
    bool negative = *p == '-';
    if (negative) ++p;
    unsigned long long digits = 0;
    int scale = -1;
    for (; *p; ++p) {
        if (*p == '.') {
            scale = 0;
            continue;
        }
        if (*p < '0' || *p > '9' || digits >= (1ULL << 53) / 10) throw "not a short decimal";
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
        if (scale >= 0) ++scale;
    }
    if (scale < 1 || scale > 22) throw "a decimal needs one to 22 places";
    double power = 1.0;
    for (int i = 0; i < scale; ++i) power *= 10.0;
    double v = static_cast<double>(digits) / power;
    return {negative ? -v : v, text};
}

static_assert(decimal("0.1").value == 0.1 && decimal("1.1").value == 1.1 && decimal("-1.0").value == -1.0 &&
              decimal("0.3").value == 0.3 && decimal("2.0").value == 2.0);

// An optional parameter with a float default.
[[nodiscard]] constexpr Param opt(const char* name, const Decimal& d) noexcept { return {name, d.shown}; }

namespace detail {
// How many leading parameters have no default.
template <std::size_t N>
[[nodiscard]] constexpr Py_ssize_t leading_required(const std::array<Param, N>& params) noexcept {
    std::size_t i = 0;
    while (i < N && !params[i].optional) ++i;
    return static_cast<Py_ssize_t>(i);
}
}  // namespace detail

// What a callable takes: its name as the messages give it, its parameters in
// order, and how many of them (the leading ones) are required: by default those
// before the first one with a default. The one description of a callable: the
// binder reads it, and the method table builds the text signature from it.
// Declared constexpr beside the function and never changed: a keyword is
// matched by its text, so no thread writes anything here.
template <std::size_t N>
struct Signature {
    const char* name;
    std::array<Param, N> params;
    Py_ssize_t required = detail::leading_required(params);
};

// Who the first, implicit parameter of a text signature is: "$module" for a
// module's function, "$self" for a method, "$type" for a class method, nobody
// for a static method or a class's own signature.
enum class Receiver { module, self, type, none };

namespace detail {
// Writes "name($module, a, b=0)\n--\n\n<doc>" into `out` when it is not null;
// returns the text's length either way.
template <std::size_t N>
constexpr std::size_t write_text_signature(const Signature<N>& sig, const char* name, Receiver receiver,
                                           const char* doc, char* out) noexcept {
    std::size_t n = 0;
    auto put = [&](const char* s) {
        for (; *s; ++s, ++n)
            if (out) out[n] = *s;
    };
    put(name);
    put("(");
    bool first = true;
    if (receiver != Receiver::none) {
        put(receiver == Receiver::module ? "$module" : receiver == Receiver::self ? "$self" : "$type");
        first = false;
    }
    for (const Param& p : sig.params) {
        if (!first) put(", ");
        first = false;
        put(p.name);
        if (p.optional) {
            put("=");
            put(p.shown_default);
        }
    }
    put(")\n--\n\n");
    put(doc);
    return n;
}

// The defaults shown are exactly those of the optional parameters.
template <std::size_t N>
[[nodiscard]] constexpr bool defaults_match(const Signature<N>& sig) noexcept {
    for (std::size_t i = 0; i < N; ++i)
        if (sig.params[i].optional != (static_cast<Py_ssize_t>(i) >= sig.required)) return false;
    return true;
}
}  // namespace detail

// A callable's docstring with its text signature in front, built at compile
// time from its Signature and its documentation; `Called` names it in the text
// when that is not the Signature's name (a class's own signature).
template <const auto& Sig, Receiver R, Name Doc, Name Called = "">
struct TextSignature {
    static_assert(detail::defaults_match(Sig), "a default is shown for exactly each optional parameter");
    static constexpr const char* name = Called.text[0] ? Called.text : Sig.name;
    static constexpr std::size_t size = detail::write_text_signature(Sig, name, R, Doc.text, nullptr);
    static constexpr std::array<char, size + 1> text = [] {
        std::array<char, size + 1> t{};
        detail::write_text_signature(Sig, name, R, Doc.text, t.data());
        return t;
    }();
};

// The wrong-count TypeError: "f() takes exactly 2 positional arguments (1 given)".
[[gnu::cold, gnu::noinline]] inline bool raise_arg_count(const char* name, Py_ssize_t min, Py_ssize_t max,
                                                         Py_ssize_t given) noexcept {
    Py_ssize_t expected = given < min ? min : max;
    const char* how = min == max ? "exactly" : given < min ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, how, expected,
                 expected == 1 ? "" : "s", given);
    return false;
}

namespace detail {

[[gnu::cold, gnu::noinline]] inline bool raise_keyword(const char* name, PyObject* key, bool duplicate) noexcept {
    if (!PyUnicode_Check(key)) PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
    else if (duplicate) PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
    else PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
    return false;
}

// Puts one keyword argument into its slot, matched by its text (the names are
// ASCII: a key of another kind matches none).
template <std::size_t N>
[[nodiscard]] inline bool put_keyword(const Signature<N>& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                                      PyObject** slots) noexcept {
    if (!PyUnicode_Check(key)) return raise_keyword(sig.name, key, false);
    std::size_t i = 0;
    if (PyUnicode_IS_ASCII(key)) {
        const char* text = static_cast<const char*>(PyUnicode_DATA(key));
        Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        for (; i < N; ++i)
            if (sig.params[i].length == length &&
                std::memcmp(sig.params[i].name, text, static_cast<std::size_t>(length)) == 0)
                break;
    } else {
        i = N;
    }
    if (i == N) return raise_keyword(sig.name, key, false);
    if (static_cast<Py_ssize_t>(i) < nargs || slots[i]) return raise_keyword(sig.name, key, true);
    slots[i] = value;
    return true;
}

template <std::size_t N>
[[nodiscard]] inline bool check_required(const Signature<N>& sig, Py_ssize_t nargs, PyObject** slots) noexcept {
    for (Py_ssize_t i = nargs; i < sig.required; ++i)
        if (!slots[i]) return raise_arg_count(sig.name, sig.required, static_cast<Py_ssize_t>(N), i);
    return true;
}

}  // namespace detail

// Binds a vectorcall's arguments to the signature's slots (borrowed; null where
// an optional argument is absent). Keyword errors come before a missing argument.
template <std::size_t N>
[[nodiscard]] bool bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject** slots) noexcept {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs > static_cast<Py_ssize_t>(N)) [[unlikely]]
        return raise_arg_count(sig.name, sig.required, static_cast<Py_ssize_t>(N), nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    for (std::size_t i = static_cast<std::size_t>(nargs); i < N; ++i) slots[i] = nullptr;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) [[unlikely]] {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!detail::put_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, slots)) return false;
    }
    if (nargs < sig.required) [[unlikely]]
        return detail::check_required(sig, nargs, slots);
    return true;
}

// The same for a tuple and an optional dict of keywords (tp_new, tp_init).
template <std::size_t N>
[[nodiscard]] bool bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs, PyObject** slots) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > static_cast<Py_ssize_t>(N)) [[unlikely]]
        return raise_arg_count(sig.name, sig.required, static_cast<Py_ssize_t>(N), nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    for (std::size_t i = static_cast<std::size_t>(nargs); i < N; ++i) slots[i] = nullptr;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!detail::put_keyword(sig, key, value, nargs, slots)) return false;
    }
    if (nargs < sig.required) [[unlikely]]
        return detail::check_required(sig, nargs, slots);
    return true;
}

// Parameter converters: each writes a C++ value when its argument is present and
// leaves the default otherwise. They run in the order of the signature.

// A native integer, named as `TypeName` in the OverflowError.
template <class T, Name TypeName>
struct Int {
    T& out;
    bool operator()(PyObject* o, const char*) const noexcept { return to_int<T, TypeName>(o, out); }
};
using I64 = Int<int64_t, "int64_t">;
using U64 = Int<uint64_t, "uint64_t">;
using I32 = Int<int32_t, "int32_t">;
using CInt = Int<int, "int">;
using U32 = Int<uint32_t, "uint32_t">;
using U16 = Int<uint16_t, "uint16_t">;
using U8 = Int<uint8_t, "uint8_t">;

struct Double {
    double& out;
    bool operator()(PyObject* o, const char*) const noexcept { return to_double(o, out); }
};

struct Flag {
    bool& out;
    bool operator()(PyObject* o, const char*) const noexcept { return to_flag(o, out); }
};

// Any object, borrowed.
struct Object {
    PyObject*& out;
    bool operator()(PyObject* o, const char*) const noexcept {
        out = o;
        return true;
    }
};

// Exactly the builtin type (no subclass) or None, borrowed.
template <PyTypeObject* Type, Name TypeName>
struct Exact {
    PyObject*& out;
    bool operator()(PyObject* o, const char* param) const noexcept {
        if (Py_IS_TYPE(o, Type) || o == Py_None) [[likely]] {
            out = o;
            return true;
        }
        return raise_arg_type(param, TypeName.text, o);
    }
};
using ExactStr = Exact<&PyUnicode_Type, "str">;
using ExactTuple = Exact<&PyTuple_Type, "tuple">;
using ExactList = Exact<&PyList_Type, "list">;
using ExactDict = Exact<&PyDict_Type, "dict">;
using ExactBytes = Exact<&PyBytes_Type, "bytes">;

// A parameter annotated int (see annotated_int); owns the converted object.
struct AnnotatedInt {
    Ref& out;
    bool operator()(PyObject* o, const char* param) const noexcept { return bool(out = annotated_int(o, param)); }
};

// A callable without parameters: refuses any positional argument and names the
// first keyword (as parse() with a Signature<0> does).
[[nodiscard]] inline bool no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    nargs = PyVectorcall_NARGS(nargs);
    if (nargs) [[unlikely]]
        return raise_arg_count(name, 0, 0, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames)) [[unlikely]]
        return detail::raise_keyword(name, PyTuple_GET_ITEM(kwnames, 0), false);
    return true;
}

// The tuple/dict counterpart of no_args, for a tp_new or tp_init without
// parameters: refuses any positional argument and names the first keyword.
[[nodiscard]] inline bool no_new_args(const char* name, PyObject* args, PyObject* kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs) [[unlikely]]
        return raise_arg_count(name, 0, 0, nargs);
    if (kwargs && PyDict_GET_SIZE(kwargs)) [[unlikely]] {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwargs, &pos, &key, &value);
        return detail::raise_keyword(name, key, false);
    }
    return true;
}

namespace detail {
template <std::size_t N, class... C>
[[nodiscard]] inline bool convert_all(const Signature<N>& sig, PyObject** slots, const C&... conv) noexcept {
    std::size_t i = 0;
    bool ok = true;
    ((ok = ok && (!slots[i] || conv(slots[i], sig.params[i].name)), ++i), ...);
    return ok;
}
}  // namespace detail

// Binds and converts a vectorcall's arguments, one converter per parameter (none
// for a callable without parameters).
template <std::size_t N, class... C>
[[nodiscard]] bool parse(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const C&... conv) noexcept {
    static_assert(sizeof...(C) == N, "one converter per parameter");
    bool ok;
    if constexpr (N == 0) {
        ok = no_args(sig.name, nargs, kwnames);
    } else {
        PyObject* slots[N];
        ok = bind(sig, args, nargs, kwnames, slots) && detail::convert_all(sig, slots, conv...);
    }
    assert(follows_convention(ok));
    return ok;
}

// Binds and converts a tuple and a keyword dict, one converter per parameter.
template <std::size_t N, class... C>
[[nodiscard]] bool parse(const Signature<N>& sig, PyObject* args, PyObject* kwargs, const C&... conv) noexcept {
    static_assert(sizeof...(C) == N, "one converter per parameter");
    bool ok;
    if constexpr (N == 0) {
        ok = no_new_args(sig.name, args, kwargs);
    } else {
        PyObject* slots[N];
        ok = bind(sig, args, kwargs, slots) && detail::convert_all(sig, slots, conv...);
    }
    assert(follows_convention(ok));
    return ok;
}

}  // namespace tarvish
