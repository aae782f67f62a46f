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
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace {

using tarvish::Ref;
using tarvish::Signature;

// ---------------------------------------------------------------------------
// Fixed tables.

// The framework patterns, compiled by the host's re with IGNORECASE so that word
// boundaries, case folding and leftmost-first alternation are the host's own.
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
    "numpy", "np.",  "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc",   "dot",
    "matmul", "linalg", "fft",  "sum",   "mean",   "std",       "var",       "min",     "max",
    "argmax", "argmin", "reshape", "transpose", "concatenate", "stack", "split",
};
constexpr const char* kPandasWords[] = {
    "pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg",   "transform", "merge",
    "join",   "concat", "pivot", "melt",   "query",   "eval",  "rolling", "resample", "sort_values",
};
constexpr const char* kSklearnWords[] = {
    "sklearn",        "fit",        "predict",    "transform",       "score",        "cross_val",
    "gridsearchcv",   "randomizedsearchcv", "pipeline", "featureunion", "train_test_split",
    "classification", "regression", "clustering", "preprocessing",   "model_selection", "metrics",
    "ensemble",
};

constexpr const char* kCpuWords[] = {
    "for", "while", "range", "numpy", "scipy", "math", "calculation", "compute",
    "algorithm", "sum", "prod", "dot", "matmul", "fft", "linalg",
};
constexpr const char* kMemoryWords[] = {
    "array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend",
};
constexpr const char* kParallelWords[] = {
    "multiprocessing", "threading", "concurrent", "async", "parallel", "pool",
    "worker", "chunk", "batch", "processpoolexecutor", "threadpoolexecutor",
};
constexpr const char* kGpuOpWords[] = {
    "matmul", "dot",    "tensordot", "@",        "fft",    "ifft",   "rfft",   "convolve", "correlate",
    "sum",    "mean",   "std",       "var",      "sin",    "cos",    "exp",    "log",      "sqrt",
    "power",  "**",     "add",       "subtract", "multiply", "divide", "/",    "*",        "+",
    "-",      "linalg", "linear_algebra", "array", "asarray", "zeros", "ones", "empty",    "full",
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
              std::size(kGpuOpWords) == 36 && std::size(kLargeDataWords) == 13 &&
              std::size(kEmbarrassingWords) == 8 && std::size(kSequentialWords) == 8);

// One of the lists above, its keywords interned once, matched as plain substrings.
template <const auto& Words>
struct KeywordList {
    static constexpr std::size_t N = std::size(Words);
    std::array<PyObject*, N> strs{};

    [[nodiscard]] bool build() noexcept {
        for (std::size_t i = 0; i < N; ++i)
            if (!strs[i] && !(strs[i] = PyUnicode_InternFromString(Words[i]))) return false;
        return true;
    }

    // How many keywords occur in `text_lower`, or in `name_lower` when that is
    // non-null; a keyword counts once. -1 with an error set on failure.
    [[nodiscard]] Py_ssize_t count(PyObject* text_lower, PyObject* name_lower = nullptr) const noexcept {
        Py_ssize_t n = 0;
        for (std::size_t i = 0; i < N; ++i) {
            int r = contains(text_lower, i);
            if (r == 0 && name_lower) r = contains(name_lower, i);
            if (r < 0) return -1;
            n += r;
        }
        return n;
    }

private:
    // The keywords are ASCII, so in text stored one byte per code point they can
    // match only as the same bytes; other text takes the interpreter's search.
    [[nodiscard]] int contains(PyObject* hay, std::size_t i) const noexcept {
        if (PyUnicode_KIND(hay) == PyUnicode_1BYTE_KIND) {
            const char* kw = Words[i];
            return memmem(PyUnicode_1BYTE_DATA(hay), static_cast<std::size_t>(PyUnicode_GET_LENGTH(hay)), kw,
                          std::strlen(kw)) != nullptr;
        }
        return PyUnicode_Contains(hay, strs[i]);
    }
};

// ---------------------------------------------------------------------------
// The module's process-wide state: the tables built once when the module
// executes and kept for the life of the process.

struct ferrowind_state {
    tarvish::ModuleGuard guard{"ferrowind"};
    tarvish::Str s_findall{"findall"};
    std::array<PyObject*, std::size(kFrameworks)> findall{};  // each pattern's bound findall
    KeywordList<kNumpyWords> numpy_kw;
    KeywordList<kPandasWords> pandas_kw;
    KeywordList<kSklearnWords> sklearn_kw;
    KeywordList<kCpuWords> cpu_kw;
    KeywordList<kMemoryWords> memory_kw;
    KeywordList<kParallelWords> parallel_kw;
    KeywordList<kGpuOpWords> gpu_op_kw;
    KeywordList<kLargeDataWords> large_data_kw;
    KeywordList<kEmbarrassingWords> embarrassing_kw;
    KeywordList<kSequentialWords> sequential_kw;
};

ferrowind_state& state() noexcept {
    static constinit ferrowind_state s;
    return s;
}

// ---------------------------------------------------------------------------
// Helpers.

// Clamps to [lo, hi] as min-then-max: a NaN passes through unchanged.
[[nodiscard]] inline double clamp(double v, double lo, double hi) noexcept { return std::max(std::min(v, hi), lo); }

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
        Ref matches = tarvish::call(state().findall[i], code);
        if (!matches) return nullptr;
        Py_ssize_t n = PyObject_Length(matches.get());
        if (n < 0) return nullptr;
        return PyFloat_FromDouble(std::min(static_cast<double>(n) * 0.1, 1.0));
    }
    return PyFloat_FromDouble(0.0);
}

constexpr Signature<1> score_framework_patterns_sig{"score_framework_patterns", {"code"}};
PyObject* score_framework_patterns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* code = nullptr;
    if (!tarvish::parse(score_framework_patterns_sig, args, nargs, kwnames, tarvish::ExactStr{code})) return nullptr;
    Ref code_lower = tarvish::lower(code);
    if (!code_lower) return nullptr;
    ferrowind_state& st = state();
    Py_ssize_t np_n = st.numpy_kw.count(code_lower.get());
    if (np_n < 0) return nullptr;
    Py_ssize_t pd_n = st.pandas_kw.count(code_lower.get());
    if (pd_n < 0) return nullptr;
    Py_ssize_t sk_n = st.sklearn_kw.count(code_lower.get());
    if (sk_n < 0) return nullptr;
    return tarvish::tuple_of(clamp(static_cast<double>(np_n) * 0.04, 0.0, 1.0),
                             clamp(static_cast<double>(pd_n) * 0.05555555555555555, 0.0, 1.0),
                             clamp(static_cast<double>(sk_n) * 0.05555555555555555, 0.0, 1.0))
        .release();
}

constexpr Signature<2> score_indicators_sig{"score_indicators", {"code", "function_name"}};
PyObject* score_indicators(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject *code = nullptr, *function_name = nullptr;
    if (!tarvish::parse(score_indicators_sig, args, nargs, kwnames, tarvish::ExactStr{code},
                        tarvish::ExactStr{function_name}))
        return nullptr;
    Ref code_lower = tarvish::lower(code);
    if (!code_lower) return nullptr;
    // An absent or empty name contributes nothing, so its searches are skipped.
    Ref name_lower;
    if (function_name != Py_None && PyUnicode_GET_LENGTH(function_name) > 0) {
        name_lower = tarvish::lower(function_name);
        if (!name_lower) return nullptr;
    }
    PyObject* text = code_lower.get();
    PyObject* name = name_lower.get();
    // A search fails only on memory exhaustion; the lists after a failed one are
    // not searched, so no search runs with an error pending.
    ferrowind_state& st = state();
    Py_ssize_t counts[7];
    if ((counts[0] = st.cpu_kw.count(text)) < 0 || (counts[1] = st.memory_kw.count(text)) < 0 ||
        (counts[2] = st.parallel_kw.count(text)) < 0 || (counts[3] = st.gpu_op_kw.count(text, name)) < 0 ||
        (counts[4] = st.large_data_kw.count(text)) < 0 || (counts[5] = st.embarrassing_kw.count(text, name)) < 0 ||
        (counts[6] = st.sequential_kw.count(text)) < 0)
        return nullptr;
    return tarvish::tuple_of(counts[0], counts[1], counts[2], counts[3], counts[4], counts[5], counts[6]).release();
}

constexpr Signature<5> normalize_scores_sig{"normalize_scores",
    {"cpu_score", "memory_score", "parallel_score", "gpu_op_score", "large_data_score"}};
PyObject* normalize_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    int cpu = 0, memory = 0, parallel = 0, gpu_op = 0, large_data = 0;
    if (!tarvish::parse(normalize_scores_sig, args, nargs, kwnames, tarvish::CInt{cpu}, tarvish::CInt{memory},
                        tarvish::CInt{parallel}, tarvish::CInt{gpu_op}, tarvish::CInt{large_data}))
        return nullptr;
    return tarvish::tuple_of(clamp(static_cast<double>(cpu) * 0.06666666666666667, 0.0, 1.0),
                             clamp(static_cast<double>(memory) * 0.1, 0.0, 1.0),
                             clamp(static_cast<double>(parallel) * 0.09090909090909091, 0.0, 1.0),
                             clamp(static_cast<double>(gpu_op) * 0.027777777777777776, 0.0, 1.0),
                             clamp(static_cast<double>(large_data) * 0.07692307692307693, 0.0, 1.0))
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

constexpr Signature<5> calculate_gpu_suitability_sig{"calculate_gpu_suitability",
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

constexpr Signature<4> calculate_parallelization_potential_sig{"calculate_parallelization_potential",
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

constexpr Signature<5> update_adaptive_threshold_sig{"update_adaptive_threshold",
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
    PyObject* findall_name = st.s_findall.get();
    if (!compile || !ignorecase || !findall_name) return false;
    for (std::size_t i = 0; i < std::size(kFrameworks); ++i) {
        Ref text = Ref::steal(PyUnicode_FromString(kFrameworks[i].pattern));
        if (!text) return false;
        Ref compiled = tarvish::call(compile.get(), text.get(), ignorecase.get());
        if (!compiled) return false;
        Ref findall = Ref::steal(PyObject_GetAttr(compiled.get(), findall_name));
        if (!findall) return false;
        Py_XSETREF(st.findall[i], findall.release());
    }
    return true;
}

[[nodiscard]] bool build_keyword_tables() noexcept {
    ferrowind_state& st = state();
    return st.numpy_kw.build() && st.pandas_kw.build() && st.sklearn_kw.build() && st.cpu_kw.build() &&
           st.memory_kw.build() && st.parallel_kw.build() && st.gpu_op_kw.build() && st.large_data_kw.build() &&
           st.embarrassing_kw.build() && st.sequential_kw.build();
}

bool ferrowind_exec(PyObject* module) noexcept {
    if (!tarvish::import_as(module, "re", "re")) return false;
    if (!build_pattern_table(module) || !build_keyword_tables()) return false;
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
