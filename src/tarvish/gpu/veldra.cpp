// tarvish.gpu.veldra: the arithmetic of GPU memory planning. Allocation-size
// estimates, safe limits under a headroom, the choice between direct GPU work,
// chunked GPU work and CPU fallback, chunk shapes and counts, memory pressure,
// headroom advice and the classification of out-of-memory errors. Every
// function is a pure computation over its arguments and two fixed name sets.
#include "tarvish/tarvish.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using tarvish::Ref;
using tarvish::Signature;
using tarvish::opt;

// 32-bit arguments and dimensions are the platform int, so their OverflowError names "int".
static_assert(sizeof(int) == sizeof(int32_t));

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kEstimateCap = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());  // 2^63 - 1
constexpr double kTwo64 = 18446744073709551616.0;                                              // 2^64

// Strategy codes, the first element of a decision.
enum Strategy : int { kGpuDirect = 0, kGpuChunked = 1, kCpuFallback = 2 };

// The module's process-wide state: the name sets and decisions built once at
// import and kept for the life of the process, and the interned substrings of
// the out-of-memory test.
struct veldra_state {
    tarvish::ModuleGuard guard{"veldra"};
    PyObject* chunkable_ops = nullptr;      // set of str, never changed
    PyObject* non_chunkable_ops = nullptr;  // set of str, never changed
    PyObject* decision_no_memory = nullptr;
    PyObject* decision_fits = nullptr;
    PyObject* decision_not_chunkable = nullptr;
    tarvish::Str v_out_of_memory{"out of memory"};
    tarvish::Str v_outofmemoryerror{"outofmemoryerror"};
    tarvish::Str v_cuda{"cuda"};
    tarvish::Str v_memory{"memory"};
    tarvish::Str v_allocat{"allocat"};
    tarvish::Str v_failed{"failed"};
    tarvish::Str v_insufficient{"insufficient"};
    tarvish::Str v_gpu{"gpu"};
};

veldra_state module_state;  // built when the library loads
veldra_state& state() noexcept { return module_state; }

// A non-negative double truncated toward zero to unsigned 64-bit. Values of
// 2^64 and above saturate at 2^64 - 1 (a double conversion there would be
// undefined); NaN and negatives give 0.
uint64_t saturating_u64(double x) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= kTwo64) return kU64Max;
    return static_cast<uint64_t>(x);
}

// The safe-limit rule: A - h*A with the ratio clamped to [0, 0.99] (NaN counts
// as 0), computed as one fused multiply-subtract, truncated toward zero, and
// never above A. That last clamp only ever lowers a limit that would exceed A:
// a size above 2^53 can round up when it becomes a double (one within 1024 of
// 2^64 to 2^64 itself), and with a ratio near 0 the rounding would show.
uint64_t safe_limit(uint64_t available, double headroom) noexcept {
    double h = headroom;
    if (h < 0.0 || std::isnan(h)) h = 0.0;
    else if (h > 0.99) h = 0.99;
    double a = static_cast<double>(available);
    uint64_t limit = saturating_u64(std::fma(-h, a, a));
    return limit < available ? limit : available;
}

// ⌈x / y⌉ in double, for x >= 0 and y > 0.
double ceil_ratio(uint64_t x, uint64_t y) noexcept {
    return std::ceil(static_cast<double>(x) / static_cast<double>(y));
}

Ref box_u64(uint64_t v) noexcept { return tarvish::box(static_cast<unsigned long long>(v)); }

// ---------------------------------------------------------------------------

constexpr tarvish::Decimal kOverheadFactor = tarvish::decimal("1.0");
constexpr Signature<3> estimate_allocation_bytes_sig{
    "estimate_allocation_bytes", {"shape", "element_size", opt("overhead_factor", kOverheadFactor)}};
PyObject* estimate_allocation_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* shape = nullptr;
    int element_size = 0;
    double overhead_factor = kOverheadFactor.value;
    if (!tarvish::parse(estimate_allocation_bytes_sig, args, nargs, kwnames, tarvish::ExactTuple{shape},
                        tarvish::CInt{element_size}, tarvish::Double{overhead_factor}))
        return nullptr;
    // A negative element size has no meaning, and its product with the element
    // count would overflow signed arithmetic or come back as a huge unsigned
    // size: it is refused before anything else is looked at.
    if (element_size < 0) return tarvish::raise(PyExc_ValueError, "element_size must not be negative");
    if (shape == Py_None) return tarvish::raise_no_len(shape);
    uint64_t elements = 1;
    Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        int d;
        if (!tarvish::to_int<int, "int">(PyTuple_GET_ITEM(shape, i), d)) return nullptr;
        if (d < 1) return box_u64(0).release();
        // Beyond 2^63 - 1 elements the estimate is capped there.
        if (elements > kEstimateCap / static_cast<uint64_t>(d)) return box_u64(kEstimateCap).release();
        elements *= static_cast<uint64_t>(d);
    }
    uint64_t size = static_cast<uint64_t>(element_size);
    if (size >= 1 && elements > kEstimateCap / size) return box_u64(kEstimateCap).release();
    uint64_t bytes = elements * size;  // at most 2^63 - 1; an empty shape is one element
    // A factor above 1.0 scales in double and saturates at 2^64 - 1 (0 bytes
    // stay 0, even under an infinite factor); 1.0 or less, or NaN, never shrinks.
    if (overhead_factor > 1.0) bytes = saturating_u64(static_cast<double>(bytes) * overhead_factor);
    return box_u64(bytes).release();
}

constexpr Signature<2> calculate_safe_limit_sig{"calculate_safe_limit", {"available_bytes", "headroom_ratio"}};
PyObject* calculate_safe_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    uint64_t available = 0;
    double headroom = 0.0;
    if (!tarvish::parse(calculate_safe_limit_sig, args, nargs, kwnames, tarvish::U64{available},
                        tarvish::Double{headroom}))
        return nullptr;
    return box_u64(safe_limit(available, headroom)).release();
}

constexpr Signature<4> decide_allocation_strategy_sig{
    "decide_allocation_strategy", {"requested_bytes", "available_bytes", "headroom_ratio", "is_chunkable"}};
PyObject* decide_allocation_strategy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    uint64_t requested = 0, available = 0;
    double headroom = 0.0;
    bool chunkable = false;
    if (!tarvish::parse(decide_allocation_strategy_sig, args, nargs, kwnames, tarvish::U64{requested},
                        tarvish::U64{available}, tarvish::Double{headroom}, tarvish::Flag{chunkable}))
        return nullptr;
    uint64_t limit = safe_limit(available, headroom);
    veldra_state& st = state();
    if (limit == 0) return Py_NewRef(st.decision_no_memory);
    if (requested <= limit) return Py_NewRef(st.decision_fits);
    if (!chunkable) return Py_NewRef(st.decision_not_chunkable);
    // The pass count saturates at 2^64 - 1 (a limit of 1 byte against a request
    // near 2^64 rounds up to 2^64 passes in double).
    uint64_t count = saturating_u64(ceil_ratio(requested, limit));
    Ref code = tarvish::box(static_cast<int>(kGpuChunked));
    Ref size = box_u64(limit), passes = box_u64(count);
    Ref message =
        Ref::steal(PyUnicode_FromFormat("Chunking into %llu GPU passes", static_cast<unsigned long long>(count)));
    if (!code || !size || !passes || !message) return nullptr;
    return PyTuple_Pack(4, code.get(), size.get(), passes.get(), message.get());
}

constexpr Signature<3> compute_chunk_shapes_sig{"compute_chunk_shapes", {"shape", "element_size", "max_chunk_bytes"}};
PyObject* compute_chunk_shapes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* shape = nullptr;
    int element_size = 0;
    uint64_t max_chunk_bytes = 0;
    if (!tarvish::parse(compute_chunk_shapes_sig, args, nargs, kwnames, tarvish::ExactTuple{shape},
                        tarvish::CInt{element_size}, tarvish::U64{max_chunk_bytes}))
        return nullptr;
    if (element_size < 1) return tarvish::raise(PyExc_ValueError, "element_size must be positive");
    if (max_chunk_bytes == 0) return tarvish::raise(PyExc_ValueError, "max_chunk_bytes must be positive");
    if (shape == Py_None) return tarvish::raise_no_len(shape);
    Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
    if (ndim == 0) {
        Ref list = Ref::steal(PyList_New(1));
        if (!list) return nullptr;
        PyList_SET_ITEM(list.get(), 0, Py_NewRef(shape));
        return list.release();
    }
    // The bytes of one row. The product saturates at 2^64 - 1 instead of
    // wrapping: a row of 2^64 bytes or more is larger than any budget and makes
    // one-row chunks, where a wrapped size would pretend it is small (or zero).
    uint64_t row_bytes = static_cast<uint64_t>(element_size);
    for (Py_ssize_t i = 1; i < ndim; ++i) {
        uint64_t d;
        if (!tarvish::to_int<uint64_t, "uint64_t">(PyTuple_GET_ITEM(shape, i), d)) return nullptr;
        if (row_bytes != 0 && d > kU64Max / row_bytes) row_bytes = kU64Max;
        else row_bytes *= d;
    }
    // A zero row size (a later dimension is 0) takes no memory at all: every row
    // fits in one chunk, so the rows form a single chunk.
    uint64_t rows_per_chunk = row_bytes == 0 ? kU64Max : row_bytes <= max_chunk_bytes ? max_chunk_bytes / row_bytes : 1;
    int rows;
    if (!tarvish::to_int<int, "int">(PyTuple_GET_ITEM(shape, 0), rows)) return nullptr;
    if (rows <= 0) return PyList_New(0);
    uint64_t total = static_cast<uint64_t>(rows);
    uint64_t full = total / rows_per_chunk, rest = total % rows_per_chunk;  // rows_per_chunk >= 1
    Py_ssize_t nchunks = static_cast<Py_ssize_t>(full + (rest != 0));       // at most 2^31 - 1
    Ref list = Ref::steal(PyList_New(nchunks));
    if (!list) return nullptr;
    // Each chunk is (take,) followed by the very dimension objects of `shape`.
    auto make_chunk = [&](uint64_t take) noexcept -> PyObject* {
        Ref first = box_u64(take);
        if (!first) return nullptr;
        PyObject* t = PyTuple_New(ndim);
        if (!t) return nullptr;
        PyTuple_SET_ITEM(t, 0, first.release());
        for (Py_ssize_t i = 1; i < ndim; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
        return t;
    };
    for (Py_ssize_t k = 0; k < nchunks; ++k) {
        uint64_t take = static_cast<uint64_t>(k) < full ? rows_per_chunk : rest;
        PyObject* chunk = make_chunk(take);
        if (!chunk) return nullptr;
        PyList_SET_ITEM(list.get(), k, chunk);
    }
    return list.release();
}

constexpr int kMinChunks = 1, kMaxChunks = 1000;
constexpr Signature<5> calculate_optimal_chunks_sig{
    "calculate_optimal_chunks",
    {"total_bytes", "available_bytes", "headroom_ratio", opt<kMinChunks>("min_chunks"), opt<kMaxChunks>("max_chunks")}};
PyObject* calculate_optimal_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    uint64_t total = 0, available = 0;
    double headroom = 0.0;
    int min_chunks = kMinChunks, max_chunks = kMaxChunks;
    if (!tarvish::parse(calculate_optimal_chunks_sig, args, nargs, kwnames, tarvish::U64{total},
                        tarvish::U64{available}, tarvish::Double{headroom}, tarvish::CInt{min_chunks},
                        tarvish::CInt{max_chunks}))
        return nullptr;
    uint64_t limit = safe_limit(available, headroom);
    if (limit == 0) return tarvish::box(max_chunks).release();
    // ⌈total / S⌉ is non-negative and finite; as a 32-bit count it saturates.
    double ratio = ceil_ratio(total, limit);
    int n = ratio >= 2147483647.0 ? std::numeric_limits<int>::max() : static_cast<int>(ratio);
    if (n < min_chunks) return tarvish::box(min_chunks).release();
    return tarvish::box(n < max_chunks ? n : max_chunks).release();
}

// 1, 0, or -1 with an error set.
int contains(PyObject* text, tarvish::Str& part) noexcept {
    PyObject* p = part.get();
    return p ? PyUnicode_Contains(text, p) : -1;
}

constexpr Signature<2> is_oom_error_sig{"is_oom_error", {"error_message", "error_type"}};
PyObject* is_oom_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject *message = nullptr, *type = nullptr;
    if (!tarvish::parse(is_oom_error_sig, args, nargs, kwnames, tarvish::ExactStr{message}, tarvish::ExactStr{type}))
        return nullptr;
    Ref m = tarvish::lower(message);
    if (!m) return nullptr;
    Ref t = tarvish::lower(type);
    if (!t) return nullptr;
    // Each test is a pair of substrings of m (the second test looks at t); a
    // pair with one null member is a single substring.
    struct Test {
        PyObject* text;
        tarvish::Str* a;
        tarvish::Str* b;
    };
    veldra_state& st = state();
    const Test tests[] = {
        {m.get(), &st.v_out_of_memory, nullptr},     {t.get(), &st.v_outofmemoryerror, nullptr},
        {m.get(), &st.v_cuda, &st.v_memory},         {m.get(), &st.v_allocat, &st.v_failed},
        {m.get(), &st.v_memory, &st.v_insufficient}, {m.get(), &st.v_gpu, &st.v_memory},
    };
    for (const Test& test : tests) {
        int r = contains(test.text, *test.a);
        if (r > 0 && test.b) r = contains(test.text, *test.b);
        if (r < 0) return nullptr;
        if (r) Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
}

// 1 when `name` (a str or None) is in `set`, 0 when not, -1 with an error set.
int in_set(PyObject* set, PyObject* name) noexcept { return name == Py_None ? 0 : PySet_Contains(set, name); }

constexpr Signature<1> is_chunkable_operation_sig{"is_chunkable_operation", {"operation"}};
PyObject* is_chunkable_operation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* operation = nullptr;
    if (!tarvish::parse(is_chunkable_operation_sig, args, nargs, kwnames, tarvish::ExactStr{operation})) return nullptr;
    int r = in_set(state().chunkable_ops, operation);
    if (r < 0) return nullptr;
    return PyBool_FromLong(r);
}

constexpr Signature<4> score_gpu_suitability_sig{
    "score_gpu_suitability", {"data_size_bytes", "operation_type", "available_gpu_memory", "headroom_ratio"}};
PyObject* score_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    uint64_t data = 0, available = 0;
    PyObject* operation = nullptr;
    double headroom = 0.0;
    if (!tarvish::parse(score_gpu_suitability_sig, args, nargs, kwnames, tarvish::U64{data},
                        tarvish::ExactStr{operation}, tarvish::U64{available}, tarvish::Double{headroom}))
        return nullptr;
    uint64_t limit = safe_limit(available, headroom);
    double fit = 0.0;
    if (limit != 0) {
        double s = static_cast<double>(limit), d = static_cast<double>(data);
        if (data > limit) fit = s / d;  // the share that fits
        else {
            fit = d / (s * 0.8);
            if (fit > 1.0) fit = 1.0;
        }
    }
    double weight = 0.5;
    int r = in_set(state().chunkable_ops, operation);
    if (r < 0) return nullptr;
    if (r) weight = 0.9;
    else {
        r = in_set(state().non_chunkable_ops, operation);
        if (r < 0) return nullptr;
        if (r) weight = 0.7;
    }
    return PyFloat_FromDouble(weight * fit);
}

constexpr Signature<2> calculate_memory_pressure_sig{"calculate_memory_pressure", {"used_bytes", "total_bytes"}};
PyObject* calculate_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    uint64_t used = 0, total = 0;
    if (!tarvish::parse(calculate_memory_pressure_sig, args, nargs, kwnames, tarvish::U64{used}, tarvish::U64{total}))
        return nullptr;
    if (total == 0) return PyFloat_FromDouble(1.0);
    double p = static_cast<double>(used) / static_cast<double>(total);
    return PyFloat_FromDouble(p > 1.0 ? 1.0 : p);
}

constexpr tarvish::Decimal kBaseHeadroom = tarvish::decimal("0.5");
constexpr Signature<2> recommend_headroom_sig{"recommend_headroom",
                                              {"current_pressure", opt("base_headroom", kBaseHeadroom)}};
PyObject* recommend_headroom(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double p = 0.0, b = kBaseHeadroom.value;
    if (!tarvish::parse(recommend_headroom_sig, args, nargs, kwnames, tarvish::Double{p}, tarvish::Double{b}))
        return nullptr;
    double h;
    if (p > 0.8) h = 0.8;
    else if (p > 0.6) h = (p * 0.5 - 0.25) + b;  // half the pressure above 0.5, on top of the base
    else if (p > 0.3) h = b;
    else {
        // Low pressure, and also a NaN pressure (it compares above nothing).
        h = b - 0.1;
        if (h < 0.3) h = 0.3;
    }
    // The result stays within [0.3, 0.8]. A NaN base headroom would give NaN;
    // the headroom is then the largest, 0.8, the safe answer for an unknown base.
    if (std::isnan(h)) h = 0.8;
    if (h > 0.8) h = 0.8;
    if (h < 0.3) h = 0.3;
    return PyFloat_FromDouble(h);
}

// ---------------------------------------------------------------------------
// The module body, in order.

PyMethodDef veldra_first_functions[] = {
    tarvish::function<estimate_allocation_bytes, estimate_allocation_bytes_sig,
                      "Estimate the bytes an array allocation needs, capped at 2**63 - 1.">(),
    tarvish::function<calculate_safe_limit, calculate_safe_limit_sig,
                      "Bytes that may safely be used, keeping the headroom ratio free.">(),
    tarvish::function<decide_allocation_strategy, decide_allocation_strategy_sig,
                      "Decide between direct GPU work, chunked GPU work and CPU fallback.\n"
                      "Returns (strategy_code, chunk_size, chunk_count, message).">(),
    tarvish::function<compute_chunk_shapes, compute_chunk_shapes_sig,
                      "Split a shape along its first axis into chunks of at most max_chunk_bytes.">(),
    tarvish::function<calculate_optimal_chunks, calculate_optimal_chunks_sig,
                      "Number of chunks a large operation needs under the safe limit.">(),
    tarvish::function<is_oom_error, is_oom_error_sig, "Whether an error is an out-of-memory error.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef veldra_second_functions[] = {
    tarvish::function<is_chunkable_operation, is_chunkable_operation_sig,
                      "Whether an operation may be split into chunks.">(),
    tarvish::function<score_gpu_suitability, score_gpu_suitability_sig,
                      "Score how well a workload suits the GPU, from 0.0 to 0.9.">(),
    tarvish::function<calculate_memory_pressure, calculate_memory_pressure_sig,
                      "Used share of the total memory, from 0.0 to 1.0.">(),
    tarvish::function<recommend_headroom, recommend_headroom_sig,
                      "Headroom ratio to keep under the current pressure, from 0.3 to 0.8.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* make_name_set(std::initializer_list<const char*> names) noexcept {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) return nullptr;
    for (const char* n : names) {
        Ref s = Ref::steal(PyUnicode_InternFromString(n));
        if (!s || PySet_Add(set.get(), s.get()) < 0) return nullptr;
    }
    return set.release();
}

PyObject* make_decision(Strategy code, const char* message) noexcept {
    return Py_BuildValue("(iiis)", static_cast<int>(code), 0, 1, message);
}

bool veldra_exec(PyObject* module) noexcept {
    if (PyModule_AddFunctions(module, veldra_first_functions) < 0) return false;
    veldra_state& st = state();
    if (!st.chunkable_ops) {
        st.chunkable_ops =
            make_name_set({"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                           "random.standard_normal", "random.uniform", "arange", "linspace"});
        if (!st.chunkable_ops) return false;
    }
    if (!st.non_chunkable_ops) {
        st.non_chunkable_ops = make_name_set({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals",
                                              "solve", "inv", "sort", "argsort"});
        if (!st.non_chunkable_ops) return false;
    }
    if (!st.decision_no_memory && !(st.decision_no_memory = make_decision(kCpuFallback, "No GPU memory available")))
        return false;
    if (!st.decision_fits && !(st.decision_fits = make_decision(kGpuDirect, "Allocation fits in GPU memory")))
        return false;
    if (!st.decision_not_chunkable &&
        !(st.decision_not_chunkable = make_decision(kCpuFallback, "Operation not chunkable, falling back to CPU")))
        return false;
    if (PyModule_AddFunctions(module, veldra_second_functions) < 0) return false;
    if (!tarvish::bind_logger(module)) return false;
    return tarvish::log_line(module, "info", "Tarvish Veldra Cython module loaded - IP protected");
}

PyModuleDef veldra_def{
    PyModuleDef_HEAD_INIT,
    "veldra",
    "Arithmetic of GPU memory planning.\n"
    "\n"
    "Allocation-size estimates, safe limits under a headroom ratio, the choice\n"
    "between direct GPU work (0), chunked GPU work (1) and CPU fallback (2),\n"
    "chunk shapes and counts, memory pressure, headroom advice and the\n"
    "classification of out-of-memory errors. No device is queried: every\n"
    "quantity is an argument.",
    0,
    nullptr,
    tarvish::ModuleSlots<state, veldra_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_veldra() { return PyModuleDef_Init(&veldra_def); }
