// tarvish.plugins.analyzer.ferrowind: the scoring arithmetic of the workload
// analyser. Text scoring of function sources (framework patterns, framework
// keywords, indicator keywords) and the numeric decisions built on those scores
// (GPU suitability and speedup, parallelisation potential, workload pattern,
// adaptive thresholds). Every function is a pure computation over its arguments.
//
// Floating point: the build compiles in ISO mode, where the compiler contracts no
// a * b + c on its own; the fused steps are written with std::fma (one rounding)
// and every other step rounds after each operation.
#include "tarvish/tarvish.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

// The SSE2 paths, on x86-64; a build that defines TARVISH_GENERIC takes the
// generic C++ paths everywhere (the ones every other processor runs).
#if defined(__SSE2__) && !defined(TARVISH_GENERIC)
#define FERROWIND_SSE2 1
#include <emmintrin.h>
#else
#define FERROWIND_SSE2 0
#endif

namespace {

using tarvish::Ref;
using tarvish::Signature;

// ---------------------------------------------------------------------------
// Fixed tables.

// The framework patterns. Each is compiled by the host's re with IGNORECASE when
// the module executes (the compiled pattern refuses a code of None with the
// host's error) and read into a native matcher of the same rules.
struct Framework {
    const char* name;
    const char* pattern;
};

constexpr Framework kFrameworks[] = {
    {"numpy", "\\b(numpy|np\\.|ndarray|array|vectorize|matmul|linalg)\\b"},
    {"pandas", "\\b(pandas|pd\\.|DataFrame|Series|groupby|merge|pivot)\\b"},
    {"sklearn", "\\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\\b"},
};

constexpr const char* kNumpyWords[] = {
    "numpy",  "np.",    "ndarray", "array",     "matrix",      "vectorize", "broadcast", "ufunc", "dot",
    "matmul", "linalg", "fft",     "sum",       "mean",        "std",       "var",       "min",   "max",
    "argmax", "argmin", "reshape", "transpose", "concatenate", "stack",     "split",
};
constexpr const char* kPandasWords[] = {
    "pandas", "pd.",    "dataframe", "series", "groupby", "apply", "agg",     "transform", "merge",
    "join",   "concat", "pivot",     "melt",   "query",   "eval",  "rolling", "resample",  "sort_values",
};
constexpr const char* kSklearnWords[] = {
    "sklearn",    "fit",          "predict",          "transform",
    "score",      "cross_val",    "gridsearchcv",     "randomizedsearchcv",
    "pipeline",   "featureunion", "train_test_split", "classification",
    "regression", "clustering",   "preprocessing",    "model_selection",
    "metrics",    "ensemble",
};

constexpr const char* kCpuWords[] = {
    "for",       "while", "range", "numpy", "scipy",  "math", "calculation", "compute",
    "algorithm", "sum",   "prod",  "dot",   "matmul", "fft",  "linalg",
};
constexpr const char* kMemoryWords[] = {
    "array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend",
};
constexpr const char* kParallelWords[] = {
    "multiprocessing", "threading",           "concurrent",         "async", "parallel", "pool", "worker", "chunk",
    "batch",           "processpoolexecutor", "threadpoolexecutor",
};
constexpr const char* kGpuOpWords[] = {
    "matmul", "dot",      "tensordot", "@",      "fft",   "ifft", "rfft", "convolve", "correlate", "sum",
    "mean",   "std",      "var",       "sin",    "cos",   "exp",  "log",  "sqrt",     "power",     "**",
    "add",    "subtract", "multiply",  "divide", "/",     "*",    "+",    "-",        "linalg",    "linear_algebra",
    "array",  "asarray",  "zeros",     "ones",   "empty", "full",
};
constexpr const char* kLargeDataWords[] = {
    "reshape", "resize", "huge", "large", "gigabyte", "gb", "million",
    "billion", "1e6",    "1e9",  "1024",  "megabyte", "mb",
};
constexpr const char* kEmbarrassingWords[] = {
    "workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast",
};
constexpr const char* kSequentialWords[] = {
    "global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies",
};

static_assert(std::size(kNumpyWords) == 25 && std::size(kPandasWords) == 18 && std::size(kSklearnWords) == 18);
static_assert(std::size(kCpuWords) == 15 && std::size(kMemoryWords) == 10 && std::size(kParallelWords) == 11 &&
              std::size(kGpuOpWords) == 36 && std::size(kLargeDataWords) == 13 && std::size(kEmbarrassingWords) == 8 &&
              std::size(kSequentialWords) == 8);

// ---------------------------------------------------------------------------
// Keyword scanning.
//
// Every keyword is ASCII. The host's lower-casing turns exactly two non-ASCII
// code points into text that contains ASCII: U+0130 lowers to "i" U+0307 and the
// Kelvin sign U+212A to "k"; every other non-ASCII code point lowers to non-ASCII
// only. No keyword ends in "i" (asserted below) and U+0307 matches nothing, so
// the "i" of U+0130 ends no keyword and begins or continues none either. So
// "keyword k occurs in text.lower()" is decided on the text as stored, folding
// A-Z to a-z, U+212A to "k", and every other non-ASCII code unit (U+0130 among
// them) to one that matches nothing. One Aho-Corasick automaton per group of
// lists finds every keyword of the group in one pass; the automata are built
// once, when the module executes.
//
// To add a keyword, append it to its list and raise the list's size in the
// static_assert after the lists (and the factor of normalize_scores or of the
// framework score with it). To add a list, give it a constant above, add it to
// kAlphabet's lists and to the automaton of its group, and count it at its
// result position.

using Mask = uint64_t;

// The keyword alphabet: class 0 matches nothing; each character that occurs in a
// keyword has its own class, shared by its upper-case form. `of` is the class of
// every byte, 0 for those at or above 128.
struct Alphabet {
    std::array<uint8_t, 256> of{};
    unsigned size = 1;
    bool valid = true;       // every keyword is non-empty, lower-case printable ASCII
    bool ends_in_i = false;  // some keyword ends in "i"
};

template <const auto&... Lists>
constexpr Alphabet make_alphabet() {
    Alphabet a;
    auto add = [&a](const auto& words) {
        for (const char* w : words) {
            if (!*w) a.valid = false;
            for (; *w; ++w) {
                auto c = static_cast<unsigned char>(*w);
                if (c <= ' ' || c >= 127 || (c >= 'A' && c <= 'Z')) a.valid = false;
                if (c == 'i' && !w[1]) a.ends_in_i = true;
                if (a.of[c]) continue;
                a.of[c] = static_cast<uint8_t>(a.size++);
                if (c >= 'a' && c <= 'z') a.of[c - 'a' + 'A'] = a.of[c];
            }
        }
    };
    (add(Lists), ...);
    return a;
}

constexpr Alphabet kAlphabet =
    make_alphabet<kNumpyWords, kPandasWords, kSklearnWords, kCpuWords, kMemoryWords, kParallelWords, kGpuOpWords,
                  kLargeDataWords, kEmbarrassingWords, kSequentialWords>();
static_assert(kAlphabet.valid, "a keyword is empty, or holds a character outside lower-case printable ASCII");
static_assert(!kAlphabet.ends_in_i,
              "a keyword that ends in \"i\" occurs in the lower-case form of U+0130 (\"i\" U+0307), which the walk "
              "reads as a code unit that matches nothing: give U+0130 a column of its own first");
constexpr unsigned kClasses = kAlphabet.size;

// A row of an automaton has one column per class, and a code unit finds its
// column through the alphabet. Rows over the 40 classes rather than the 128
// ASCII code units keep the tables and the marks within the first-level cache:
// measured in one run with five walks, the walk over them takes 10 % less time,
// though it looks each unit's class up on the way.
constexpr std::size_t kWidth = kClasses;

// The class of each byte as a word, which the step adds to the state's offset
// straight from memory (one instruction in place of a load and an add).
constexpr auto kClassOf = [] {
    std::array<std::size_t, 256> c{};
    for (unsigned u = 0; u < 256; ++u) c[u] = kAlphabet.of[u];
    return c;
}();

// The offset of the state entered from the state at offset s on the byte u.
[[nodiscard, gnu::always_inline]] inline std::size_t enter(std::size_t s, uint8_t u) noexcept {
    return s + kClassOf[u];
}

// A deterministic automaton that recognises the distinct keywords of several
// lists. A state is named by its row's offset in `next`, s * kWidth, and the row
// holds the offsets of the states it leads to. States are numbered so that those
// where a keyword ends (the states with output) come first: [0, outputs).
template <std::size_t Words, std::size_t Lists, std::size_t States, std::size_t Longest>
struct Automaton {
    static constexpr std::size_t kMaskWords = (Words + 63) / 64, kStates = States;
    // A keyword that begins before a segment of the text and ends in it is found
    // by a walk that begins this many code units before the segment.
    static constexpr std::size_t kOverlap = Longest - 1;
    static_assert(States * kWidth <= 65536, "the states' row offsets outgrow the rows' 16-bit entries");
    using Set = std::array<Mask, kMaskWords>;
    std::array<uint16_t, States * kWidth> next{};
    std::array<Set, States> out{};   // the keywords found on entering each state
    std::array<Set, Lists> list{};   // the keywords of each list
    unsigned outputs = 0, root = 0;  // root: its row's offset
};

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

template <const auto&... Lists>
constexpr std::size_t distinct_words() {
    const char* all[(std::size(Lists) + ...)]{};
    std::size_t n = 0;
    auto add = [&](const auto& words) {
        for (const char* w : words) {
            bool seen = false;
            for (std::size_t i = 0; i < n; ++i) seen = seen || same_text(all[i], w);
            if (!seen) all[n++] = w;
        }
    };
    (add(Lists), ...);
    return n;
}

template <const auto&... Lists>
constexpr std::size_t longest_word() {
    std::size_t longest = 0;
    auto add = [&](const auto& words) {
        for (const char* w : words) longest = std::max(longest, std::char_traits<char>::length(w));
    };
    (add(Lists), ...);
    return longest;
}

// The states of the keywords' trie: the root, and one per distinct prefix of the
// keywords (a keyword adds the prefixes longer than the longest it shares with
// an earlier one).
template <const auto&... Lists>
constexpr std::size_t trie_states() {
    const char* all[(std::size(Lists) + ...)]{};
    std::size_t n = 0, states = 1;
    auto add = [&](const auto& words) {
        for (const char* w : words) {
            std::size_t shared = 0, len = 0;
            for (std::size_t i = 0; i < n; ++i) {
                std::size_t k = 0;
                while (w[k] && w[k] == all[i][k]) ++k;
                shared = std::max(shared, k);
            }
            while (w[len]) ++len;
            states += len - shared;
            all[n++] = w;
        }
    };
    (add(Lists), ...);
    return states;
}

template <const auto&... Lists>
using AutomatonOf =
    Automaton<distinct_words<Lists...>(), sizeof...(Lists), trie_states<Lists...>(), longest_word<Lists...>()>;

// Builds the automaton of the lists in place (once, when the module executes):
// over the alphabet's classes first, class k in column k of each row, then each
// row given its final columns, as offsets.
template <const auto&... Lists>
void build_automaton(AutomatonOf<Lists...>& a) noexcept {
    using A = AutomatonOf<Lists...>;
    constexpr std::size_t kWords = distinct_words<Lists...>(), kStates = A::kStates;
    auto at = [&a](unsigned s, unsigned k) -> uint16_t& { return a.next[s * kWidth + k]; };
    // The trie first, in `next` (0 means no child; state 0 is the root), each
    // state's own keyword in `out`.
    std::array<const char*, kWords> words{};
    unsigned n = 1, nwords = 0;
    std::size_t which = 0;
    auto add = [&](const auto& list) {
        for (const char* w : list) {
            unsigned id = 0;
            while (id < nwords && !same_text(words[id], w)) ++id;
            if (id == nwords) words[nwords++] = w;
            a.list[which][id / 64] |= Mask{1} << (id % 64);
            unsigned s = 0;
            for (const char* c = w; *c; ++c) {
                uint8_t k = kAlphabet.of[static_cast<unsigned char>(*c)];
                if (!at(s, k)) at(s, k) = static_cast<uint16_t>(n++);
                s = at(s, k);
            }
            a.out[s][id / 64] |= Mask{1} << (id % 64);
        }
        ++which;
    };
    (add(Lists), ...);
    assert(n == kStates && nwords == kWords);
    // Then breadth-first, shallower states first: each state's failure is the
    // longest proper suffix of its text that is a trie state, a missing
    // transition becomes its failure's, and a state finds what its failure finds.
    std::array<uint16_t, kStates> fail{}, queue{};
    unsigned head = 0, tail = 0;
    for (unsigned k = 0; k < kClasses; ++k)
        if (uint16_t v = at(0, k)) queue[tail++] = v;
    while (head < tail) {
        uint16_t u = queue[head++];
        for (unsigned k = 0; k < kClasses; ++k) {
            uint16_t v = at(u, k);
            if (!v) {
                at(u, k) = at(fail[u], k);
                continue;
            }
            fail[v] = at(fail[u], k);
            for (std::size_t i = 0; i < A::kMaskWords; ++i) a.out[v][i] |= a.out[fail[v]][i];
            queue[tail++] = v;
        }
    }
    // Renumbered, the states with output first.
    auto has_output = [&a](unsigned s) {
        for (Mask m : a.out[s])
            if (m) return true;
        return false;
    };
    std::array<uint16_t, kStates> id{};
    unsigned next_id = 0;
    for (unsigned s = 0; s < n; ++s)
        if (has_output(s)) id[s] = static_cast<uint16_t>(next_id++);
    a.outputs = next_id;
    for (unsigned s = 0; s < n; ++s)
        if (!has_output(s)) id[s] = static_cast<uint16_t>(next_id++);
    std::array<bool, kStates> moved{};
    for (unsigned start = 0; start < n; ++start) {  // each cycle of the permutation
        std::array<uint16_t, kClasses> row;
        std::copy_n(&at(start, 0), kClasses, row.begin());
        auto out = a.out[start];
        for (unsigned s = start; !moved[s]; s = id[s]) {
            moved[s] = true;
            std::swap_ranges(row.begin(), row.end(), &at(id[s], 0));
            std::swap(out, a.out[id[s]]);
        }
    }
    // Then the states in each row named by their offsets.
    for (unsigned s = 0; s < n; ++s)
        for (unsigned k = 0; k < kClasses; ++k) at(s, k) = static_cast<uint16_t>(id[at(s, k)] * kWidth);
    a.root = static_cast<unsigned>(id[0] * kWidth);
}

// Marks of the states that text leads an automaton through, one byte per row
// offset: only the bytes of the states with output, at offsets below
// outputs * kWidth, are cleared and read; the others take the stores of the
// walk and are never read. The buffer is each thread's own (its size asks
// much of a thread's stack, and one buffer for every thread would make threads
// that score at once take turns, or take the slower walk that collects on the way).
template <std::size_t Size>
struct Marks {
    alignas(64) std::array<uint8_t, Size> at{};
};

// A walk reads one byte per code unit. Text stored one byte per unit is read as
// it is stored (the alphabet gives the bytes from 128 up class 0); wider text is
// narrowed into a buffer first: a unit below 128 to itself, U+212A to "k" and
// any other to 0, which matches nothing.
template <class Char>
[[nodiscard]] inline uint8_t narrow(Char c) noexcept {
    return c < 128 ? static_cast<uint8_t>(c) : c == 0x212A ? uint8_t{'k'} : uint8_t{0};
}

constexpr std::size_t kBlock = 256;  // code units narrowed at a time

template <class Char>
inline void narrow_block(const Char* p, std::size_t n, uint8_t* out) noexcept {
    std::size_t i = 0;
#if FERROWIND_SSE2
    if constexpr (sizeof(Char) == 2) {
        // Packed with unsigned saturation, a unit from 128 up becomes a byte from
        // 128 up, then 0; the Kelvin sign then becomes "k".
        const __m128i kelvin = _mm_set1_epi16(0x212A);
        for (; i + 16 <= n; i += 16) {
            __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 8));
            __m128i v = _mm_packus_epi16(lo, hi);
            v = _mm_andnot_si128(_mm_cmplt_epi8(v, _mm_setzero_si128()), v);
            __m128i k = _mm_packs_epi16(_mm_cmpeq_epi16(lo, kelvin), _mm_cmpeq_epi16(hi, kelvin));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                             _mm_or_si128(v, _mm_and_si128(k, _mm_set1_epi8('k'))));
        }
    }
#endif
    for (; i < n; ++i) out[i] = narrow(p[i]);
}

// Calls f(units, n) over the text's code units as a walk reads them, in order.
template <class Char, class F>
[[gnu::always_inline]] inline void for_each_block(const Char* p, std::size_t n, F f) noexcept {
    if constexpr (sizeof(Char) == 1) {
        f(p, n);
    } else {
        alignas(16) uint8_t buf[kBlock];
        for (std::size_t off = 0; off < n; off += kBlock) {
            std::size_t len = std::min(kBlock, n - off);
            narrow_block(p + off, len, buf);
            f(static_cast<const uint8_t*>(buf), len);
        }
    }
}

// Steps K walks at once, walk j from the state at offset s[j] over q[j][0, n),
// marking every state entered. Each step waits on the load of the step before
// it; K walks interleaved keep K of those loads in flight.
template <std::size_t K>
[[gnu::always_inline]] inline void steps(const uint16_t* __restrict next, uint8_t* __restrict at,
                                         std::array<std::size_t, K>& s, const std::array<const uint8_t*, K>& q,
                                         std::size_t n) noexcept {
    std::array<std::size_t, K> t = s;
    std::array<const uint8_t*, K> r = q;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
#pragma GCC unroll 8
        for (std::size_t u = 0; u < 8; ++u) {
#pragma GCC unroll 8
            for (std::size_t j = 0; j < K; ++j) {
                t[j] = next[enter(t[j], r[j][i + u])];
                at[t[j]] = 1;
            }
        }
    }
    for (; i < n; ++i) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < K; ++j) {
            t[j] = next[enter(t[j], r[j][i])];
            at[t[j]] = 1;
        }
    }
    s = t;
}

// How many walks a text is split between. Measured on the scoring rows (2 KB and
// 1 MB): 2 walks take twice the time of 5 (1 MB: 1.04 against 0.48 ms), 4 walks
// 1.2 times, 6 as long as 5, 8 longer (their states and pointers no longer fit
// the registers). A text too short for them all is walked whole, which is also
// what is faster below about 96 units.
constexpr std::size_t kWalks = 5;

// Walks the text's n code units through the automaton, marking every state
// entered: in K segments, walk j from the root at j * q over q + overlap units,
// the last on to the end. Each keyword then lies whole in the units of the walk
// that begins at or before its start, and a walk that begins at the root finds
// every keyword that begins where it does or later.
template <std::size_t K, class A, class Char>
void walk_marked(const A& a, const Char* p, std::size_t n, uint8_t* at) noexcept {
    const std::size_t q = K == 1 ? 0 : (n - A::kOverlap) / K, m = K == 1 ? n : q + A::kOverlap;
    const std::size_t rest = n - (K - 1) * q - m;  // the last walk's units after the first m
    std::array<std::size_t, K> s;
    s.fill(a.root);
    std::array<std::size_t, 1> last;
    const uint16_t* next = a.next.data();
    std::array<const uint8_t*, K> from;
    if constexpr (sizeof(Char) == 1) {
        for (std::size_t j = 0; j < K; ++j) from[j] = p + j * q;
        steps<K>(next, at, s, from, m);
    } else {
        alignas(16) uint8_t buf[K][kBlock];
        for (std::size_t j = 0; j < K; ++j) from[j] = buf[j];
        for (std::size_t off = 0; off < m; off += kBlock) {
            std::size_t len = std::min(kBlock, m - off);
            for (std::size_t j = 0; j < K; ++j) narrow_block(p + j * q + off, len, buf[j]);
            steps<K>(next, at, s, from, len);
        }
    }
    last[0] = s[K - 1];
    for_each_block(p + (K - 1) * q + m, rest,
                   [&](const uint8_t* u, std::size_t len) { steps<1>(next, at, last, {u}, len); });
}

// The keywords of a text, collected on the way: for a short text (a function name).
template <class A>
[[nodiscard]] typename A::Set keywords_collected(const A& a, PyObject* text) noexcept {
    typename A::Set set{};
    std::size_t s = a.root;
    const std::size_t outputs = a.outputs * kWidth;
    tarvish::with_code_units(text, [&](auto p, std::size_t n) {
        for_each_block(p, n, [&](const uint8_t* u, std::size_t len) {
            for (std::size_t i = 0; i < len; ++i) {
                s = a.next[enter(s, u[i])];
                if (s >= outputs) continue;
                for (std::size_t w = 0; w < A::kMaskWords; ++w) set[w] |= a.out[s / kWidth][w];
            }
        });
    });
    return set;
}

// The keywords of a text: the marks of the states it enters, collected after the walk.
template <class A, std::size_t Size>
[[nodiscard]] typename A::Set keywords_in(const A& a, PyObject* text, Marks<Size>& marks) noexcept {
    static_assert(A::kStates * kWidth <= Size);
    uint8_t* at = marks.at.data();
#pragma GCC unroll 4
    for (unsigned s = 0; s < a.outputs; ++s) at[s * kWidth] = 0;
    tarvish::with_code_units(text, [&](auto p, std::size_t n) {
        // Each of the walks at least one unit beside its overlap.
        if (n >= kWalks * (A::kOverlap + 1)) walk_marked<kWalks>(a, p, n, at);
        else walk_marked<1>(a, p, n, at);
    });
    typename A::Set set{};
#pragma GCC unroll 4
    for (unsigned s = 0; s < a.outputs; ++s)
        if (at[s * kWidth])
            for (std::size_t i = 0; i < A::kMaskWords; ++i) set[i] |= a.out[s][i];
    return set;
}

// How many keywords of list `l` a set holds.
template <class A>
[[nodiscard]] unsigned count_of(const A& a, const typename A::Set& set, std::size_t l) noexcept {
    unsigned n = 0;
    for (std::size_t i = 0; i < A::kMaskWords; ++i) n += static_cast<unsigned>(std::popcount(set[i] & a.list[l][i]));
    return n;
}

using FrameworkKeywords = AutomatonOf<kNumpyWords, kPandasWords, kSklearnWords>;
using IndicatorKeywords = AutomatonOf<kCpuWords, kMemoryWords, kParallelWords, kGpuOpWords, kLargeDataWords,
                                      kEmbarrassingWords, kSequentialWords>;
using KeywordMarks = Marks<std::max(FrameworkKeywords::kStates, IndicatorKeywords::kStates) * kWidth>;

// This thread's marks (zero-initialised storage of its own, made at its first use).
KeywordMarks& thread_marks() noexcept {
    static thread_local KeywordMarks marks;
    return marks;
}

// ---------------------------------------------------------------------------
// Pattern matching.
//
// Each framework pattern is "\b(alt|...|alt)\b" under IGNORECASE, where each
// alternative is ASCII letters followed by a few non-word ASCII literals ("np\.").
// Under the host's rules the pattern letters also match four non-ASCII code
// points, U+0130 and U+0131 ("i"), U+017F ("s") and U+212A ("k"); a word
// character is one that Py_UNICODE_ISALNUM accepts, or "_". The host's findall
// tries the alternatives in order at each position and resumes after a match at
// its end. As every alternative begins with a letter, a match can only begin
// where a run of word characters begins, and its letters must fill that run: a
// letter alternative is followed by the boundary, one with literals by its first
// literal, a non-word character.

constexpr std::size_t kMaxAlternatives = 8, kMaxLetters = 24, kMaxTail = 4, kTooLong = 31;

struct Alternative {
    std::array<uint8_t, kMaxLetters> letters{};  // 1..26 for a..z
    std::array<char, kMaxTail> tail{};
    unsigned nletters = 0, ntail = 0;
};

struct Matcher {
    std::array<Alternative, kMaxAlternatives> alt{};
    std::array<uint32_t, 27> by_first{};   // the alternatives that begin with each letter
    std::array<uint32_t, 32> by_length{};  // the alternatives with that many letters (none at kTooLong)
    uint32_t first_letters = 0;            // bit L: some alternative begins with letter L
    bool valid = true;
};

constexpr bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool is_ascii_word(char c) { return is_letter(c) || (c >= '0' && c <= '9') || c == '_'; }
constexpr uint8_t letter_index(char c) { return static_cast<uint8_t>((c | 0x20) - 'a' + 1); }

constexpr Matcher make_matcher(const char* pattern) {
    Matcher m;
    constexpr char kHead[] = "\\b(", kEnd[] = ")\\b";
    for (const char* h = kHead; *h; ++h, ++pattern)
        if (*pattern != *h) m.valid = false;
    if (!m.valid) return m;
    unsigned n = 0;
    while (m.valid && !same_text(pattern, kEnd)) {
        if (n == kMaxAlternatives) {
            m.valid = false;
            break;
        }
        Alternative& a = m.alt[n];
        for (; *pattern && *pattern != '|' && *pattern != ')'; ++pattern) {
            char c = *pattern;
            if (c == '\\') c = *++pattern;
            if (is_letter(c) && a.ntail == 0 && a.nletters < kMaxLetters) {
                a.letters[a.nletters++] = letter_index(c);
            } else if (c > ' ' && c < 127 && !is_ascii_word(c) && a.nletters > 0 && a.ntail < kMaxTail) {
                a.tail[a.ntail++] = c;
            } else {
                m.valid = false;
            }
        }
        if (a.nletters == 0 || a.nletters >= kTooLong) m.valid = false;
        if (!m.valid) break;
        m.by_first[a.letters[0]] |= uint32_t{1} << n;
        m.first_letters |= uint32_t{1} << a.letters[0];
        m.by_length[a.nletters] |= uint32_t{1} << n;
        ++n;
        if (*pattern == '|') ++pattern;
        else if (!same_text(pattern, kEnd)) m.valid = false;
    }
    if (n == 0) m.valid = false;
    return m;
}

constexpr std::array<Matcher, std::size(kFrameworks)> kMatchers = [] {
    std::array<Matcher, std::size(kFrameworks)> m{};
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = make_matcher(kFrameworks[i].pattern);
    return m;
}();
static_assert(std::ranges::all_of(kMatchers, [](const Matcher& m) { return m.valid; }));

// What the matcher knows of a code unit: whether it is a word character, and
// the letter it matches (0 for none).
constexpr uint8_t kWord = 1;
constexpr unsigned kLetterShift = 1;

// The code units below 256, filled when the module executes (from the host's
// Unicode database, like the rest of the word test).
struct CodeUnitTable {
    std::array<uint8_t, 256> of{};
};

[[nodiscard]] inline uint8_t wide_unit(Py_UCS4 c) noexcept {
    if (!(Py_UNICODE_ISALNUM(c))) return 0;
    unsigned letter = c == 0x130 || c == 0x131 ? letter_index('i')
                      : c == 0x17F             ? letter_index('s')
                      : c == 0x212A            ? letter_index('k')
                                               : 0;
    return static_cast<uint8_t>(kWord | (letter << kLetterShift));
}

template <class Char>
[[nodiscard]] inline uint8_t unit(const CodeUnitTable& t, Char c) noexcept {
    if (sizeof(Char) == 1 || c < 256) return t.of[c];
    return wide_unit(c);
}

#if FERROWIND_SSE2
// Sixteen code units as bytes, and whether all of them are ASCII.
[[nodiscard]] inline bool ascii16(const Py_UCS1* s, __m128i& v) noexcept {
    v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    return _mm_movemask_epi8(v) == 0;
}

[[nodiscard]] inline bool ascii16(const Py_UCS2* s, __m128i& v) noexcept {
    __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
    __m128i high_bits = _mm_and_si128(_mm_or_si128(lo, hi), _mm_set1_epi16(static_cast<short>(0xFF80)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(high_bits, _mm_setzero_si128())) != 0xFFFF) return false;
    v = _mm_packus_epi16(lo, hi);
    return true;
}

// Bit i: whether byte i, all of them ASCII, is a word character.
[[nodiscard]] inline unsigned ascii_word_bits(__m128i v) noexcept {
    // Each range test moves its range to the bottom of the signed bytes.
    __m128i letter = _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(0x80 - 'a')),
                                    _mm_set1_epi8(static_cast<char>(-128 + 26)));
    __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(0x80 - '0'))),
                                   _mm_set1_epi8(static_cast<char>(-128 + 10)));
    __m128i under = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), under)));
}

// Bytes 0xFF where byte i, ASCII, is one of the letters (bit L for letter L) in
// either case: a letter or its upper-case form, and nothing else, is that letter
// with bit 5 set.
template <uint32_t Letters>
[[nodiscard]] inline __m128i ascii_letters(__m128i v) noexcept {
    __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    return [folded]<std::size_t... K>(std::index_sequence<K...>) {
        __m128i any = _mm_setzero_si128();
        ((Letters >> (K + 1) & 1 ? (void)(any = _mm_or_si128(any, _mm_cmpeq_epi8(folded, _mm_set1_epi8('a' + K))))
                                 : (void)0),
         ...);
        return any;
    }(std::make_index_sequence<26>{});
}
#else
// The same eight code units at a time in a 64-bit word, unit k in byte k: the
// generic path every other processor takes.
constexpr uint64_t kBytes = 0x0101010101010101;

// Eight code units as the bytes of a word, and whether all of them are ASCII.
[[nodiscard]] inline bool ascii8(const Py_UCS1* s, uint64_t& v) noexcept {
    std::memcpy(&v, s, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return (v & kBytes * 0x80) == 0;
}

[[nodiscard]] inline bool ascii8(const Py_UCS2* s, uint64_t& v) noexcept {
    uint32_t all = 0;
    v = 0;
    for (unsigned k = 0; k < 8; ++k) {
        all |= s[k];
        v |= uint64_t{s[k]} << (8 * k);
    }
    return all < 128;
}

// The top bit of each byte of v, all of them ASCII, set where the byte lies in
// [lo, hi]: adding 128 - lo sets it from lo up, adding 127 - hi from above hi,
// and neither sum carries out of its byte.
[[nodiscard]] constexpr uint64_t in_range(uint64_t v, unsigned lo, unsigned hi) noexcept {
    return (v + kBytes * (128 - lo)) & ~(v + kBytes * (127 - hi)) & kBytes * 0x80;
}

// Bit k: the top bit of byte k (each multiple of the top bits lands in its own
// place of the top byte, and none carries).
[[nodiscard]] constexpr unsigned top_bits(uint64_t m) noexcept {
    return static_cast<unsigned>(((m >> 7) * 0x0102040810204080) >> 56);
}

[[nodiscard]] inline unsigned ascii_word_bits(uint64_t v) noexcept {
    return top_bits(in_range(v | kBytes * 0x20, 'a', 'z') | in_range(v, '0', '9') | in_range(v, '_', '_'));
}

template <uint32_t Letters>
[[nodiscard]] inline unsigned ascii_letters(uint64_t v) noexcept {
    uint64_t folded = v | kBytes * 0x20;
    return top_bits([folded]<std::size_t... K>(std::index_sequence<K...>) {
        return ((Letters >> (K + 1) & 1 ? in_range(folded, 'a' + K, 'a' + K) : 0) | ...);
    }(std::make_index_sequence<26>{}));
}
#endif

// Bit i: whether s[i] is a word character, and whether it matches the first
// letter of an alternative, for i < n <= 64.
struct BlockBits {
    uint64_t word = 0, first = 0;
};

template <std::size_t P, class Char>
[[nodiscard]] inline BlockBits block_bits(const CodeUnitTable& t, const Char* s, std::size_t n) noexcept {
    constexpr const Matcher& m = kMatchers[P];
    BlockBits b;
    std::size_t i = 0;
    auto one = [&](std::size_t j) {
        uint8_t u = unit(t, s[j]);
        b.word |= static_cast<uint64_t>(u & kWord) << j;
        b.first |= static_cast<uint64_t>(m.first_letters >> (u >> kLetterShift) & 1) << j;
    };
#if FERROWIND_SSE2
    if constexpr (sizeof(Char) <= 2) {
        for (; i + 16 <= n; i += 16) {
            __m128i v;
            if (!ascii16(s + i, v)) {
                for (std::size_t j = i; j < i + 16; ++j) one(j);
                continue;
            }
            b.word |= uint64_t{ascii_word_bits(v)} << i;
            b.first |= uint64_t{static_cast<unsigned>(_mm_movemask_epi8(ascii_letters<m.first_letters>(v)))} << i;
        }
    }
#else
    if constexpr (sizeof(Char) <= 2) {
        for (; i + 8 <= n; i += 8) {
            uint64_t v;
            if (!ascii8(s + i, v)) {
                for (std::size_t j = i; j < i + 8; ++j) one(j);
                continue;
            }
            b.word |= uint64_t{ascii_word_bits(v)} << i;
            b.first |= uint64_t{ascii_letters<m.first_letters>(v)} << i;
        }
    }
#endif
    for (; i < n; ++i) one(i);
    return b;
}

// Whether one of the alternatives matches at the start of the run of word
// characters s[r, q), followed by s[q, n).
template <std::size_t P, class Char>
[[nodiscard]] inline bool matches_run(const CodeUnitTable& t, const Char* s, std::size_t r, std::size_t q,
                                      std::size_t n) noexcept {
    constexpr const Matcher& m = kMatchers[P];
    uint32_t candidates =
        m.by_first[unit(t, s[r]) >> kLetterShift] & m.by_length[std::min<std::size_t>(q - r, kTooLong)];
    while (candidates) {  // in the pattern's order
        const Alternative& a = m.alt[static_cast<unsigned>(std::countr_zero(candidates))];
        candidates &= candidates - 1;
        bool same = true;
        for (unsigned j = 1; j < a.nletters && same; ++j) same = (unit(t, s[r + j]) >> kLetterShift) == a.letters[j];
        if (!same) continue;
        if (a.ntail == 0) return true;
        // The literals, then the boundary after them: a word character.
        if (n - q <= a.ntail) continue;
        for (unsigned j = 0; j < a.ntail && same; ++j) same = s[q + j] == static_cast<unsigned char>(a.tail[j]);
        if (same && (unit(t, s[q + a.ntail]) & kWord)) return true;
    }
    return false;
}

// The number of matches findall finds in s[0, n). A match covers one run of
// word characters and at most the non-word literals after it, so the runs are
// matched one by one, each at most once, and the count is the number of runs at
// which an alternative matches. The runs that begin with a first letter are
// found 64 code units at a time.
template <std::size_t P, class Char>
[[gnu::hot]] Py_ssize_t count_matches(const CodeUnitTable& t, const Char* s, std::size_t n) noexcept {
    Py_ssize_t count = 0;
    std::size_t run = 0;  // where a run that goes on past its block began
    bool open = false;
    uint64_t in_run = 0;  // whether the unit before the block is a word character
    for (std::size_t base = 0; base < n; base += 64) {
        std::size_t len = std::min<std::size_t>(64, n - base);
        BlockBits b = block_bits<P>(t, s + base, len);
        uint64_t non_word = ~b.word & (~uint64_t{0} >> (64 - len));
        if (open) {
            if (!non_word) continue;
            count += matches_run<P>(t, s, run, base + static_cast<std::size_t>(std::countr_zero(non_word)), n);
            open = false;
        }
        uint64_t starts = b.word & ~((b.word << 1) | in_run) & b.first;
        in_run = b.word >> 63;
        while (starts) {
            unsigned i = static_cast<unsigned>(std::countr_zero(starts));
            starts &= starts - 1;
            if (uint64_t after = non_word >> i) {
                count +=
                    matches_run<P>(t, s, base + i, base + i + static_cast<std::size_t>(std::countr_zero(after)), n);
            } else {
                run = base + i;
                open = true;
            }
        }
    }
    if (open) count += matches_run<P>(t, s, run, n, n);
    return count;
}

template <std::size_t P>
[[nodiscard]] Py_ssize_t count_matches(const CodeUnitTable& t, PyObject* text) noexcept {
    return tarvish::with_code_units(text, [&t](auto p, std::size_t n) { return count_matches<P>(t, p, n); });
}

// The counter of each framework's pattern, in table order.
constexpr auto kCounters = []<std::size_t... P>(std::index_sequence<P...>) {
    return std::array<Py_ssize_t (*)(const CodeUnitTable&, PyObject*) noexcept, sizeof...(P)>{&count_matches<P>...};
}(std::make_index_sequence<std::size(kFrameworks)>{});

// ---------------------------------------------------------------------------
// The module's process-wide state: the tables built once when the module
// executes and kept for the life of the process.

struct ferrowind_state {
    tarvish::ModuleGuard guard{"ferrowind"};
    tarvish::Str s_findall{"findall"};
    std::array<PyObject*, std::size(kFrameworks)> findall{};  // each compiled pattern's bound findall
    CodeUnitTable units;
    FrameworkKeywords framework_keywords;
    IndicatorKeywords indicator_keywords;
};

ferrowind_state module_state;  // built when the library loads
ferrowind_state& state() noexcept { return module_state; }

// ---------------------------------------------------------------------------
// Helpers.

// Clamps to [lo, hi] as min-then-max: a NaN passes through unchanged.
[[nodiscard]] inline double clamp(double v, double lo, double hi) noexcept { return std::max(std::min(v, hi), lo); }

// The score of n keywords of a list: n / size, within [0, 1].
template <const auto& Words>
[[nodiscard]] inline double share(unsigned n) noexcept {
    return clamp(static_cast<double>(n) * (1.0 / static_cast<double>(std::size(Words))), 0.0, 1.0);
}

// ---------------------------------------------------------------------------
// Text scoring.

constexpr Signature<2> quick_framework_score_sig{"quick_framework_score", {"code", "framework"}};
PyObject* quick_framework_score(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject *code = nullptr, *framework = nullptr;
    if (!tarvish::parse(quick_framework_score_sig, args, nargs, kwnames, tarvish::ExactStr{code},
                        tarvish::ExactStr{framework}))
        return nullptr;
    if (framework == Py_None) return PyFloat_FromDouble(0.0);
    for (std::size_t i = 0; i < std::size(kFrameworks); ++i) {
        if (!PyUnicode_EqualToUTF8(framework, kFrameworks[i].name)) continue;
        // None goes to the compiled pattern, whose refusal is the error.
        if (code == Py_None) return tarvish::call(state().findall[i], code).release();
        Py_ssize_t n = kCounters[i](state().units, code);
        return PyFloat_FromDouble(std::min(static_cast<double>(n) * 0.1, 1.0));
    }
    return PyFloat_FromDouble(0.0);
}

constexpr Signature<1> score_framework_patterns_sig{"score_framework_patterns", {"code"}};
PyObject* score_framework_patterns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* code = nullptr;
    if (!tarvish::parse(score_framework_patterns_sig, args, nargs, kwnames, tarvish::ExactStr{code})) return nullptr;
    if (code == Py_None) return tarvish::lower(code).release();  // the host's TypeError
    const FrameworkKeywords& a = state().framework_keywords;
    auto found = keywords_in(a, code, thread_marks());
    return tarvish::tuple_of(share<kNumpyWords>(count_of(a, found, 0)), share<kPandasWords>(count_of(a, found, 1)),
                             share<kSklearnWords>(count_of(a, found, 2)))
        .release();
}

constexpr Signature<2> score_indicators_sig{"score_indicators", {"code", "function_name"}};
PyObject* score_indicators(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject *code = nullptr, *function_name = nullptr;
    if (!tarvish::parse(score_indicators_sig, args, nargs, kwnames, tarvish::ExactStr{code},
                        tarvish::ExactStr{function_name}))
        return nullptr;
    if (code == Py_None) return tarvish::lower(code).release();  // the host's TypeError
    const IndicatorKeywords& a = state().indicator_keywords;
    auto in_code = keywords_in(a, code, thread_marks());
    // The GPU operation and embarrassingly parallel keywords count in the name too.
    auto in_either = in_code;
    if (function_name != Py_None && PyUnicode_GET_LENGTH(function_name) > 0) {
        auto in_name = keywords_collected(a, function_name);
        for (std::size_t i = 0; i < in_either.size(); ++i) in_either[i] |= in_name[i];
    }
    return tarvish::tuple_of(count_of(a, in_code, 0), count_of(a, in_code, 1), count_of(a, in_code, 2),
                             count_of(a, in_either, 3), count_of(a, in_code, 4), count_of(a, in_either, 5),
                             count_of(a, in_code, 6))
        .release();
}

constexpr Signature<5> normalize_scores_sig{
    "normalize_scores", {"cpu_score", "memory_score", "parallel_score", "gpu_op_score", "large_data_score"}};
PyObject* normalize_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    int cpu = 0, memory = 0, parallel = 0, gpu_op = 0, large_data = 0;
    if (!tarvish::parse(normalize_scores_sig, args, nargs, kwnames, tarvish::CInt{cpu}, tarvish::CInt{memory},
                        tarvish::CInt{parallel}, tarvish::CInt{gpu_op}, tarvish::CInt{large_data}))
        return nullptr;
    auto scaled = [](int n, std::size_t size) {
        return clamp(static_cast<double>(n) * (1.0 / static_cast<double>(size)), 0.0, 1.0);
    };
    return tarvish::tuple_of(scaled(cpu, std::size(kCpuWords)), scaled(memory, std::size(kMemoryWords)),
                             scaled(parallel, std::size(kParallelWords)), scaled(gpu_op, std::size(kGpuOpWords)),
                             scaled(large_data, std::size(kLargeDataWords)))
        .release();
}

// ---------------------------------------------------------------------------
// GPU, parallelism and workload decisions.

// The multiplier for a compute capability "major.minor": the text before the
// first "." is read as int() reads text (surrounding blanks, sign, underscores,
// any Unicode decimal digits). Text int() refuses leaves 1.0; a major outside
// the C int range raises OverflowError. -1.0 means an error is set.
[[nodiscard]] double capability_multiplier(PyObject* capability) noexcept {
    Py_ssize_t len = PyUnicode_GET_LENGTH(capability);
    Py_ssize_t dot = PyUnicode_FindChar(capability, '.', 0, len, 1);
    if (dot == -2) return -1.0;
    Ref first = Ref::steal(PyUnicode_Substring(capability, 0, dot < 0 ? len : dot));
    if (!first) return -1.0;
    Ref major_obj = Ref::steal(PyLong_FromUnicodeObject(first.get(), 10));
    if (!major_obj) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
            PyErr_Clear();
            return 1.0;
        }
        return -1.0;
    }
    int major = 0;
    if (!tarvish::to_int<int, "int">(major_obj.get(), major)) return -1.0;
    if (major > 7) return 1.2;
    if (major == 7) return 1.1;
    if (major == 6) return 1.0;
    return 0.8;
}

constexpr Signature<5> calculate_gpu_suitability_sig{
    "calculate_gpu_suitability",
    {"gpu_operation_score", "gpu_data_size_score", "cpu_intensity", "gpu_available", "compute_capability"}};
PyObject* calculate_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double op_score = 0.0, data_score = 0.0, cpu_intensity = 0.0;
    bool gpu_available = false;
    PyObject* capability = nullptr;
    if (!tarvish::parse(calculate_gpu_suitability_sig, args, nargs, kwnames, tarvish::Double{op_score},
                        tarvish::Double{data_score}, tarvish::Double{cpu_intensity}, tarvish::Flag{gpu_available},
                        tarvish::ExactStr{capability}))
        return nullptr;
    if (!gpu_available) return PyFloat_FromDouble(0.0);
    double multiplier = 1.0;
    if (capability != Py_None && PyUnicode_GET_LENGTH(capability) > 0) {
        multiplier = capability_multiplier(capability);
        if (multiplier < 0.0) return nullptr;
    }
    double base = std::fma(data_score, 0.4, op_score * 0.6);
    double cpu_part = clamp(cpu_intensity * 0.3, 0.0, 0.3);
    return PyFloat_FromDouble(clamp(multiplier * (base + cpu_part), 0.0, 1.0));
}

constexpr Signature<3> estimate_gpu_speedup_sig{"estimate_gpu_speedup",
                                                {"gpu_operation_score", "gpu_data_size_score", "gpu_available"}};
PyObject* estimate_gpu_speedup(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double s = 0.0, data_score = 0.0;
    bool gpu_available = false;
    if (!tarvish::parse(estimate_gpu_speedup_sig, args, nargs, kwnames, tarvish::Double{s}, tarvish::Double{data_score},
                        tarvish::Flag{gpu_available}))
        return nullptr;
    if (!gpu_available || s == 0.0) return PyFloat_FromDouble(1.0);
    double base = s > 0.8 ? 15.0 : s > 0.6 ? 8.0 : s > 0.3 ? 4.0 : 2.0;
    return PyFloat_FromDouble(std::fma(0.5 * data_score, base, base));
}

constexpr Signature<4> calculate_parallelization_potential_sig{
    "calculate_parallelization_potential",
    {"base_parallel_score", "embarrassing_bonus", "sequential_penalty", "loop_chunking_potential"}};
PyObject* calculate_parallelization_potential(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    double base = 0.0, embarrassing = 0.0, sequential = 0.0, chunking = 0.0;
    if (!tarvish::parse(calculate_parallelization_potential_sig, args, nargs, kwnames, tarvish::Double{base},
                        tarvish::Double{embarrassing}, tarvish::Double{sequential}, tarvish::Double{chunking}))
        return nullptr;
    double bonus = clamp(embarrassing * 0.3, 0.0, 0.7);
    double penalty = clamp(sequential * 0.2, 0.0, 0.5);
    double sum = (bonus + base) - penalty;
    return PyFloat_FromDouble(clamp(std::fma(chunking, 0.4, sum), 0.0, 1.0));
}

// Workload pattern codes returned by determine_workload_pattern.
enum Pattern : int {
    kMixed = 0,
    kCpuIntensive = 1,
    kMemoryIntensive = 2,
    kParallelFriendly = 3,
    kSequential = 4,
    kGpuSuitable = 5,
    kGpuComputeIntensive = 6,
    kGpuMemoryBound = 7,
    kNumpyVectorized = 8,
    kPandasDataframe = 10,
    kSklearnTraining = 12,
};

constexpr Signature<17> determine_workload_pattern_sig{
    "determine_workload_pattern",
    {"cpu_intensity", "memory_intensity", "parallelization_potential", "gpu_suitability", "gpu_operation_score",
     "numpy_score", "pandas_score", "sklearn_score", "sequential_count", "embarrassing_count", "cpu_threshold",
     "memory_threshold", "gpu_threshold", "numpy_threshold", "pandas_threshold", "sklearn_threshold", "gpu_available"}};
PyObject* determine_workload_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double cpu = 0.0, memory = 0.0, parallel = 0.0, gpu_suit = 0.0, gpu_op = 0.0, numpy_s = 0.0, pandas_s = 0.0,
           sklearn_s = 0.0;
    int sequential_count = 0, embarrassing_count = 0;
    double cpu_t = 0.0, memory_t = 0.0, gpu_t = 0.0, numpy_t = 0.0, pandas_t = 0.0, sklearn_t = 0.0;
    bool gpu_available = false;
    using tarvish::Double;
    // Every argument is converted, in order, before any rule is looked at.
    if (!tarvish::parse(determine_workload_pattern_sig, args, nargs, kwnames, Double{cpu}, Double{memory},
                        Double{parallel}, Double{gpu_suit}, Double{gpu_op}, Double{numpy_s}, Double{pandas_s},
                        Double{sklearn_s}, tarvish::CInt{sequential_count}, tarvish::CInt{embarrassing_count},
                        Double{cpu_t}, Double{memory_t}, Double{gpu_t}, Double{numpy_t}, Double{pandas_t},
                        Double{sklearn_t}, tarvish::Flag{gpu_available}))
        return nullptr;
    Pattern p = kMixed;
    if (sklearn_s > sklearn_t) p = kSklearnTraining;
    else if (pandas_s > pandas_t) p = kPandasDataframe;
    else if (numpy_s > numpy_t) p = kNumpyVectorized;
    else if (gpu_available && gpu_suit > gpu_t)
        p = gpu_op > 0.7 && cpu > 0.6 ? kGpuComputeIntensive : memory > 0.5 ? kGpuMemoryBound : kGpuSuitable;
    else if (embarrassing_count > 0 || parallel > 0.6) p = kParallelFriendly;
    else if (cpu > cpu_t) p = kCpuIntensive;
    else if (memory > memory_t) p = kMemoryIntensive;
    else if (sequential_count >= 3) p = kSequential;
    return PyLong_FromLong(p);
}

constexpr Signature<5> update_adaptive_threshold_sig{
    "update_adaptive_threshold",
    {"current_threshold", "success_rate", "learning_rate", "min_threshold", "max_threshold"}};
PyObject* update_adaptive_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double t = 0.0, rate = 0.0, step = 0.0, lo = 0.0, hi = 0.0;
    using tarvish::Double;
    if (!tarvish::parse(update_adaptive_threshold_sig, args, nargs, kwnames, Double{t}, Double{rate}, Double{step},
                        Double{lo}, Double{hi}))
        return nullptr;
    if (rate > 0.8) t = step + t;
    else if (!(rate >= 0.4)) t = t - step;  // a NaN rate counts as low
    if (t < lo) return PyFloat_FromDouble(lo);
    return PyFloat_FromDouble(std::min(t, hi));
}

// The module's functions, in the order the module binds them.
PyMethodDef ferrowind_functions[] = {
    tarvish::function<quick_framework_score, quick_framework_score_sig,
                      "Score how strongly code uses one framework (\"numpy\", \"pandas\" or \"sklearn\"):\n"
                      "0.1 per pattern match, at most 1.0; 0.0 for any other framework.">(),
    tarvish::function<calculate_gpu_suitability, calculate_gpu_suitability_sig,
                      "GPU suitability in 0.0 to 1.0, weighted by the device's compute capability.">(),
    tarvish::function<estimate_gpu_speedup, estimate_gpu_speedup_sig,
                      "Expected speedup of running the workload on the GPU (1.0 for none).">(),
    tarvish::function<calculate_parallelization_potential, calculate_parallelization_potential_sig,
                      "Parallelisation potential in 0.0 to 1.0.">(),
    tarvish::function<score_indicators, score_indicators_sig,
                      "Raw keyword counts: (cpu, memory, parallel, gpu_op, large_data, embarrassing, sequential).">(),
    tarvish::function<normalize_scores, normalize_scores_sig,
                      "Scale five indicator counts by their list sizes into 0.0 to 1.0.">(),
    tarvish::function<score_framework_patterns, score_framework_patterns_sig,
                      "Keyword scores (numpy, pandas, sklearn), each in 0.0 to 1.0.">(),
    tarvish::function<determine_workload_pattern, determine_workload_pattern_sig,
                      "The workload pattern code chosen by the first rule that holds.">(),
    tarvish::function<update_adaptive_threshold, update_adaptive_threshold_sig,
                      "Move a detection threshold by the learning rate after feedback, kept within its bounds.">(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module body, in order.

[[nodiscard]] bool build_pattern_table(PyObject* module) noexcept {
    Ref re = tarvish::getattr(module, "re");
    if (!re) return false;
    Ref compile = tarvish::getattr(re.get(), "compile");
    Ref ignorecase = tarvish::getattr(re.get(), "IGNORECASE");
    ferrowind_state& st = state();
    if (!compile || !ignorecase) return false;
    for (std::size_t i = 0; i < std::size(kFrameworks); ++i) {
        Ref text = Ref::steal(PyUnicode_FromString(kFrameworks[i].pattern));
        if (!text) return false;
        Ref compiled = tarvish::call(compile.get(), text.get(), ignorecase.get());
        if (!compiled) return false;
        Ref findall = tarvish::getattr(compiled.get(), st.s_findall);
        if (!findall) return false;
        Py_XSETREF(st.findall[i], findall.release());
    }
    return true;
}

// The matcher's view of the code units below 256, from the host's word test.
void build_code_unit_table() noexcept {
    CodeUnitTable& t = state().units;
    for (unsigned c = 0; c < 256; ++c) {
        bool word = c == '_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c));
        unsigned letter = c < 128 && is_letter(static_cast<char>(c)) ? letter_index(static_cast<char>(c)) : 0;
        t.of[c] = static_cast<uint8_t>((word ? kWord : 0) | (letter << kLetterShift));
    }
}

bool ferrowind_exec(PyObject* module) noexcept {
    if (!tarvish::import_as(module, "re", "re")) return false;
    if (!build_pattern_table(module)) return false;
    build_code_unit_table();
    // The automata are built in place, once: an import retried after one that
    // failed later in this body finds them built.
    if (!state().framework_keywords.outputs)
        build_automaton<kNumpyWords, kPandasWords, kSklearnWords>(state().framework_keywords);
    if (!state().indicator_keywords.outputs)
        build_automaton<kCpuWords, kMemoryWords, kParallelWords, kGpuOpWords, kLargeDataWords, kEmbarrassingWords,
                        kSequentialWords>(state().indicator_keywords);
    if (PyModule_AddFunctions(module, ferrowind_functions) < 0) return false;
    if (!tarvish::bind_logger(module)) return false;
    return tarvish::log_line(module, "info", "Tarvish Ferrowind Cython module loaded - IP protected");
}

PyModuleDef ferrowind_def{
    PyModuleDef_HEAD_INIT,
    "ferrowind",
    "Scoring arithmetic of the workload analyser.\n"
    "\n"
    "Text scoring of a function's source: regular-expression framework scores,\n"
    "keyword scores for numpy, pandas and sklearn, and raw keyword counts in seven\n"
    "indicator categories with their normalisation. Decisions built on those\n"
    "scores: GPU suitability and speedup, parallelisation potential, the workload\n"
    "pattern code and adaptive detection thresholds. All functions are stateless.",
    0,
    nullptr,
    tarvish::ModuleSlots<state, ferrowind_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_ferrowind() { return PyModuleDef_Init(&ferrowind_def); }
