// tarvish.jit.tessaly: the adaptive compilation policy of the just-in-time compiler.
//
// PolicyConfig holds the policy's tuning knobs, FunctionMetrics is a native
// record of one function's call and compilation figures, and Tessaly learns a
// call-count threshold per function from the speedups its compilations gave.
// One process-wide Tessaly lives behind get_tessaly().
#include "tarvish/tarvish.hpp"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <utility>

namespace {

using tarvish::Ref;
using tarvish::Signature;
using tarvish::opt;

// The module's `_policy_lock` is entered as a with-statement whose methods are
// read as the lock's attributes, a suppressing __exit__ counting; the policies'
// own locks are prepared ones.
using Section = tarvish::Section<tarvish::LockPolicy{tarvish::Lookup::attribute, tarvish::Suppress::honour}>;

// The process-wide policy, get_tessaly's. The slot lives as long as the process,
// like the module itself, and is not torn down at exit (when the interpreter may be gone).
struct PolicySlot {
    PyObject* instance = nullptr;  // a strong reference, or null for None
    [[nodiscard]] Ref take() noexcept { return Ref::steal(std::exchange(instance, nullptr)); }
    void put(Ref r) noexcept { instance = r.release(); }  // only into an empty slot
};

// The module's process-wide state: its guard and types, the interned names, the
// keyword-name tuples of the factories' calls (made when the module executes,
// read-only after) and the process-wide policy with the re-entry guard of its lock.
struct tessaly_state {
    tarvish::ModuleGuard guard{"tessaly"};
    PyTypeObject* PolicyConfig_type = nullptr;
    PyTypeObject* FunctionMetrics_type = nullptr;
    PyTypeObject* Tessaly_type = nullptr;
    tarvish::Str s_initial_threshold{"initial_threshold"};
    tarvish::Str s_min_threshold{"min_threshold"};
    tarvish::Str s_max_threshold{"max_threshold"};
    tarvish::Str s_learning_rate{"learning_rate"};
    tarvish::Str s_target_speedup{"target_speedup"};
    tarvish::Str s_call_count{"call_count"};
    tarvish::Str s_compile_count{"compile_count"};
    tarvish::Str s_avg_speedup{"avg_speedup"};
    tarvish::Str s_total_execution_time_ms{"total_execution_time_ms"};
    tarvish::Str s_last_compile_time{"last_compile_time"};
    tarvish::Str s_last_compiled{"last_compiled"};
    tarvish::Str s_get_metrics{"get_metrics"};
    tarvish::Str s_logger{"logger"};
    tarvish::Str s_debug{"debug"};
    tarvish::Str s_time{"time"};
    tarvish::Str s_policy_lock{"_policy_lock"};
    tarvish::Str k_tracked_functions{"tracked_functions"};
    tarvish::Str k_avg_threshold{"avg_threshold"};
    PyObject* config_kwnames = nullptr;   // the five PolicyConfig parameter names, in order
    PyObject* metrics_kwnames = nullptr;  // the five create_function_metrics parameter names, in order
    PolicySlot policy_slot;
    tarvish::Owner policy_owner;  // the thread inside get_tessaly or reset_tessaly
};

tessaly_state module_state;  // built when the library loads
tessaly_state& state() noexcept { return module_state; }

// Thresholds are C ints; an out-of-range value names "int" in its OverflowError.
using Threshold = tarvish::Int<int32_t, "int">;

constexpr int32_t kInitialThreshold = 100;
constexpr int32_t kMinThreshold = 10;
constexpr int32_t kMaxThreshold = 10000;
constexpr tarvish::Decimal kLearningRate = tarvish::decimal("0.1");
constexpr tarvish::Decimal kTargetSpeedup = tarvish::decimal("2.0");
// The defaults of a function's metrics: no calls, no compilations, a speedup
// of 1.0, no time, and a last compilation that never was (below zero).
constexpr uint64_t kCallCount = 0;
constexpr uint32_t kCompileCount = 0;
constexpr tarvish::Decimal kAvgSpeedup = tarvish::decimal("1.0");
constexpr tarvish::Decimal kNoTime = tarvish::decimal("0.0");
constexpr tarvish::Decimal kNeverCompiled = tarvish::decimal("-1.0");
// The shortest time between two compilations of one function, in seconds.
constexpr double kMinRecompileInterval = 600.0;

using tarvish::load_relaxed;

// Calls `callable(**dict(zip(names, values)))` with borrowed values.
template <std::size_t N>
Ref call_with_keywords(PyObject* callable, PyObject* kwnames, PyObject* const (&values)[N]) noexcept {
    return Ref::steal(PyObject_Vectorcall(callable, values, 0, kwnames));
}

// Reads `o.<name>`, or nothing (no error) when the attribute is absent.
[[nodiscard]] bool optional_attr(PyObject* o, PyObject* name, Ref& out) noexcept {
    PyObject* v = nullptr;
    if (PyObject_GetOptionalAttr(o, name, &v) < 0) return false;
    out = Ref::steal(v);
    return true;
}

// ---------------------------------------------------------------------------
// PolicyConfig: the five tuning knobs, validated once at construction.

struct PolicyConfig;

// Native read accessors for native callers, in this order.
struct PolicyConfigOps {
    int32_t (*get_initial_threshold_fast)(PolicyConfig*) noexcept;
    int32_t (*get_min_threshold_fast)(PolicyConfig*) noexcept;
    int32_t (*get_max_threshold_fast)(PolicyConfig*) noexcept;
    double (*get_learning_rate_fast)(PolicyConfig*) noexcept;
    double (*get_target_speedup_fast)(PolicyConfig*) noexcept;
};

struct PolicyConfigState {
    const PolicyConfigOps* ops = nullptr;  // set by tp_new, before the object is handed out
    int32_t initial_threshold = kInitialThreshold;
    int32_t min_threshold = kMinThreshold;
    int32_t max_threshold = kMaxThreshold;
    double learning_rate = kLearningRate.value;
    double target_speedup = kTargetSpeedup.value;
};

struct PolicyConfig {
    PyObject_HEAD
    PolicyConfigState st;
};

// Each reads its field once, atomically: a config is shared, and its attributes
// may be written while a policy reads them.
const PolicyConfigOps policy_config_ops{
    [](PolicyConfig* c) noexcept { return load_relaxed(c->st.initial_threshold); },
    [](PolicyConfig* c) noexcept { return load_relaxed(c->st.min_threshold); },
    [](PolicyConfig* c) noexcept { return load_relaxed(c->st.max_threshold); },
    [](PolicyConfig* c) noexcept { return load_relaxed(c->st.learning_rate); },
    [](PolicyConfig* c) noexcept { return load_relaxed(c->st.target_speedup); },
};

// The first failed invariant's message, or null when all hold.
const char* config_error(int32_t initial, int32_t min, int32_t max, double rate, double target) noexcept {
    if (min <= 0) return "min_threshold must be positive";
    if (max <= min) return "max_threshold must be greater than min_threshold";
    if (!(rate > 0.0 && rate <= 1.0)) return "learning_rate must be in (0, 1]";
    if (!(target > 0.0)) return "target_speedup must be positive";
    if (initial < min || initial > max) return "initial_threshold must be within bounds";
    return nullptr;
}

constexpr Signature<5> PolicyConfig_new_sig{
    "__cinit__",
    {opt<kInitialThreshold>("initial_threshold"), opt<kMinThreshold>("min_threshold"),
     opt<kMaxThreshold>("max_threshold"), opt("learning_rate", kLearningRate), opt("target_speedup", kTargetSpeedup)}};
PyObject* PolicyConfig_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    int32_t initial = kInitialThreshold, min = kMinThreshold, max = kMaxThreshold;
    double rate = kLearningRate.value, target = kTargetSpeedup.value;
    if (!tarvish::parse(PolicyConfig_new_sig, args, kwargs, Threshold{initial}, Threshold{min}, Threshold{max},
                        tarvish::Double{rate}, tarvish::Double{target}))
        return nullptr;
    if (const char* message = config_error(initial, min, max, rate, target))
        return tarvish::raise(PyExc_ValueError, "%s", message);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PolicyConfigState& c = tarvish::construct<PolicyConfig>(self.get());
    c.ops = &policy_config_ops;
    c.initial_threshold = initial;
    c.min_threshold = min;
    c.max_threshold = max;
    c.learning_rate = rate;
    c.target_speedup = target;
    return self.release();
}

PyGetSetDef PolicyConfig_getset[] = {
    tarvish::Field<&PolicyConfigState::initial_threshold, "int", PolicyConfig>::rw(
        "initial_threshold", "Call-count threshold for a function without a learned threshold."),
    tarvish::Field<&PolicyConfigState::min_threshold, "int", PolicyConfig>::rw("min_threshold",
                                                                               "Lower clamp for learned thresholds."),
    tarvish::Field<&PolicyConfigState::max_threshold, "int", PolicyConfig>::rw("max_threshold",
                                                                               "Upper clamp for learned thresholds."),
    tarvish::Field<&PolicyConfigState::learning_rate, "", PolicyConfig>::rw("learning_rate",
                                                                            "Base step size of the threshold update."),
    tarvish::Field<&PolicyConfigState::target_speedup, "", PolicyConfig>::rw(
        "target_speedup", "Speedup a compilation must beat for the threshold to fall."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef PolicyConfig_methods[] = {
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot PolicyConfig_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PolicyConfig_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::dealloc<PolicyConfig>)},
    {Py_tp_getset, PolicyConfig_getset},
    {Py_tp_methods, PolicyConfig_methods},
    {Py_tp_doc,
     tarvish::type_doc<PolicyConfig_new_sig, "Tuning knobs of the adaptive compilation policy.", "PolicyConfig">()},
    {0, nullptr},
};

PyType_Spec PolicyConfig_spec{"tarvish.jit.tessaly.PolicyConfig", sizeof(PolicyConfig), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, PolicyConfig_slots};

// ---------------------------------------------------------------------------
// FunctionMetrics: one function's call and compilation figures. The timestamp
// has one slot, readable and writable as last_compiled and last_compile_time.

struct FunctionMetrics;

// Native read accessors for native callers, in this order.
struct FunctionMetricsOps {
    uint64_t (*get_call_count_fast)(FunctionMetrics*) noexcept;
    uint32_t (*get_compile_count_fast)(FunctionMetrics*) noexcept;
    double (*get_avg_speedup_fast)(FunctionMetrics*) noexcept;
    double (*get_last_compiled_fast)(FunctionMetrics*) noexcept;
};

struct FunctionMetricsState {
    const FunctionMetricsOps* ops = nullptr;  // set by tp_new, before the object is handed out
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double avg_speedup = 1.0;
    double total_execution_time_ms = 0.0;
    double last_compiled = 0.0;
};

struct FunctionMetrics {
    PyObject_HEAD
    FunctionMetricsState st;
};

// Each reads its field once, atomically, as the config's accessors do.
const FunctionMetricsOps function_metrics_ops{
    [](FunctionMetrics* m) noexcept { return load_relaxed(m->st.call_count); },
    [](FunctionMetrics* m) noexcept { return load_relaxed(m->st.compile_count); },
    [](FunctionMetrics* m) noexcept { return load_relaxed(m->st.avg_speedup); },
    [](FunctionMetrics* m) noexcept { return load_relaxed(m->st.last_compiled); },
};

constexpr Signature<6> FunctionMetrics_new_sig{
    "__cinit__",
    {opt<kCallCount>("call_count"), opt<kCompileCount>("compile_count"), opt("avg_speedup", kAvgSpeedup),
     opt("total_execution_time_ms", kNoTime), opt("last_compile_time", kNoTime), opt("last_compiled", kNeverCompiled)}};
PyObject* FunctionMetrics_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    uint64_t calls = kCallCount;
    uint32_t compiles = kCompileCount;
    double speedup = kAvgSpeedup.value, total_ms = kNoTime.value, last_compile_time = kNoTime.value,
           last_compiled = kNeverCompiled.value;
    if (!tarvish::parse(FunctionMetrics_new_sig, args, kwargs, tarvish::U64{calls}, tarvish::U32{compiles},
                        tarvish::Double{speedup}, tarvish::Double{total_ms}, tarvish::Double{last_compile_time},
                        tarvish::Double{last_compiled}))
        return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FunctionMetricsState& m = tarvish::construct<FunctionMetrics>(self.get());
    m.ops = &function_metrics_ops;
    m.call_count = calls;
    m.compile_count = compiles;
    m.avg_speedup = speedup;
    m.total_execution_time_ms = total_ms;
    // A negative (the default -1.0) or NaN last_compiled means it was not given.
    m.last_compiled = last_compiled >= 0.0 ? last_compiled : last_compile_time;
    return self.release();
}

PyGetSetDef FunctionMetrics_getset[] = {
    tarvish::Field<&FunctionMetricsState::call_count, "uint64_t", FunctionMetrics>::rw(
        "call_count", "Number of times the function has been called."),
    tarvish::Field<&FunctionMetricsState::compile_count, "uint32_t", FunctionMetrics>::rw(
        "compile_count", "Number of times the function has been compiled."),
    tarvish::Field<&FunctionMetricsState::avg_speedup, "", FunctionMetrics>::rw(
        "avg_speedup", "Average speedup measured for the compiled function."),
    tarvish::Field<&FunctionMetricsState::total_execution_time_ms, "", FunctionMetrics>::rw(
        "total_execution_time_ms", "Total execution time in milliseconds."),
    tarvish::Field<&FunctionMetricsState::last_compiled, "", FunctionMetrics>::rw(
        "last_compiled", "Timestamp of last compilation (matches TelemetryStore interface)."),
    tarvish::Field<&FunctionMetricsState::last_compiled, "", FunctionMetrics>::rw(
        "last_compile_time", "Alias for last_compiled for backward compatibility."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef FunctionMetrics_methods[] = {
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FunctionMetrics_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FunctionMetrics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::dealloc<FunctionMetrics>)},
    {Py_tp_getset, FunctionMetrics_getset},
    {Py_tp_methods, FunctionMetrics_methods},
    {Py_tp_doc,
     tarvish::type_doc<FunctionMetrics_new_sig, "Call and compilation figures of one function.", "FunctionMetrics">()},
    {0, nullptr},
};

PyType_Spec FunctionMetrics_spec{"tarvish.jit.tessaly.FunctionMetrics", sizeof(FunctionMetrics), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, FunctionMetrics_slots};

// ---------------------------------------------------------------------------
// Tessaly: per-function thresholds learned from measured speedups.

struct Tessaly;

// The native method table, for native callers that already hold the policy's lock.
struct TessalyOps {
    int32_t (*get_threshold_lock_held)(Tessaly*, PyObject* func_id) noexcept;
};

// The policy's C++ state. Once tp_new has returned, config and thresholds are set
// and the lock is bound.
struct TessalyState {
    const TessalyOps* ops = nullptr;  // set by tp_new, before the object is handed out
    Ref config;                       // a PolicyConfig (or subclass instance), shared with the caller
    Ref thresholds;                   // dict: func_id (exact str or None) -> learned int threshold
    tarvish::PreparedLock lock;       // threading.Lock (not reentrant), its acquire and release bound once
    double min_recompile_interval = kMinRecompileInterval;
};

struct Tessaly {
    PyObject_HEAD
    TessalyState st;
};

// The learned threshold, else the configured initial one. The keys are exact
// str or None, so the lookup runs no Python code and cannot fail; the values
// are ints this module stored, all within the int range. The value is held by
// a strong reference while it is read: the policy's lock does not keep out a
// caller that reached the dict through gc.get_referents.
int32_t get_threshold_lock_held(Tessaly* t, PyObject* func_id) noexcept {
    assert(t->st.lock.owner.held_here());
    PyObject* found = nullptr;
    [[maybe_unused]] int has = PyDict_GetItemRef(t->st.thresholds.get(), func_id, &found);
    assert(has >= 0);
    if (Ref learned = Ref::steal(found)) {
        assert(PyLong_CheckExact(learned.get()));
        return static_cast<int32_t>(PyLong_AsLong(learned.get()));
    }
    PolicyConfig* c = tarvish::native<PolicyConfig>(t->st.config.get());
    return c->st.ops->get_initial_threshold_fast(c);
}

const TessalyOps tessaly_ops{get_threshold_lock_held};

// The policy's config from tp_new's argument: a new default PolicyConfig for
// None, a PolicyConfig (or subclass instance) itself, or a PolicyConfig made
// from another object's attributes of the same names. Null with an error set.
Ref policy_config(PyObject* given) noexcept {
    tessaly_state& m = state();
    PyObject* config_type = reinterpret_cast<PyObject*>(m.PolicyConfig_type);
    if (given == Py_None) return tarvish::call(config_type);
    if (PyObject_TypeCheck(given, m.PolicyConfig_type)) return Ref::borrow(given);
    // Any object with the same attribute names stands in; absent ones take the defaults.
    PyObject* kwnames = m.config_kwnames;
    Ref values[5] = {tarvish::box(kInitialThreshold), tarvish::box(kMinThreshold), tarvish::box(kMaxThreshold),
                     tarvish::box(kLearningRate.value), tarvish::box(kTargetSpeedup.value)};
    // Every box is checked before any attribute is read: a read must not start with an error set.
    for (const Ref& value : values)
        if (!value) return Ref();
    for (int i = 0; i < 5; ++i) {
        Ref found;
        if (!optional_attr(given, PyTuple_GET_ITEM(kwnames, i), found)) return Ref();
        if (found) values[i] = std::move(found);
    }
    PyObject* const argv[] = {values[0].get(), values[1].get(), values[2].get(), values[3].get(), values[4].get()};
    return call_with_keywords(config_type, kwnames, argv);
}

constexpr Signature<1> Tessaly_new_sig{"__cinit__", {opt("config", "None")}};
PyObject* Tessaly_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* given = Py_None;
    if (!tarvish::parse(Tessaly_new_sig, args, kwargs, tarvish::Object{given})) return nullptr;
    // The config is made before the object, as an argument is converted: the
    // caller's code that it runs never meets a policy without one.
    Ref config = policy_config(given);
    if (!config) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    TessalyState& t = tarvish::construct<Tessaly>(self.get());
    t.ops = &tessaly_ops;
    t.config = std::move(config);
    t.thresholds = Ref::steal(PyDict_New());
    if (!t.thresholds) return nullptr;
    if (!t.lock.bind(tarvish::new_lock(state().guard.module, tarvish::Missing::attribute_error),
                     tarvish::Methods::acquire_release))
        return nullptr;
    return self.release();
}

int Tessaly_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    if (int r = tarvish::visit_type(self, visit, arg)) return r;
    TessalyState& t = tarvish::native<Tessaly>(self)->st;
    Py_VISIT(t.config.get());
    Py_VISIT(t.thresholds.get());
    return t.lock.traverse(visit, arg);
}

constexpr Signature<1> Tessaly_get_threshold_sig{"get_threshold", {"func_id"}};
PyObject* Tessaly_get_threshold(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* func_id = nullptr;
    if (!tarvish::parse(Tessaly_get_threshold_sig, args, nargs, kwnames, tarvish::ExactStr{func_id})) return nullptr;
    Tessaly* t = tarvish::native<Tessaly>(self);
    int32_t threshold;
    {
        Section section{t->st.lock, "Tessaly.get_threshold"};
        if (!section) return nullptr;
        threshold = t->st.ops->get_threshold_lock_held(t, func_id);
        if (!section.leave()) return nullptr;
    }
    return PyLong_FromLong(threshold);
}

// The wall clock, as the module's `time.time()` gives it.
[[nodiscard]] bool wall_clock(double& out) noexcept {
    Ref time_module = tarvish::module_global(state().guard.module, state().s_time, tarvish::Missing::attribute_error);
    if (!time_module) return false;
    Ref now = tarvish::call_method(time_module.get(), state().s_time);
    return now && tarvish::to_double(now.get(), out);
}

// Reads `metrics.<name>` and converts it to the native type.
template <class T, tarvish::Name TypeName>
[[nodiscard]] bool read_metric(PyObject* metrics, tarvish::Str& name, T& out) noexcept {
    Ref v = tarvish::getattr(metrics, name);
    return v && tarvish::to_native<T, TypeName>(v.get(), out);
}

constexpr Signature<2> Tessaly_should_compile_sig{"should_compile", {"func_id", "telemetry_store"}};
PyObject* Tessaly_should_compile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject *func_id = nullptr, *store = nullptr;
    if (!tarvish::parse(Tessaly_should_compile_sig, args, nargs, kwnames, tarvish::ExactStr{func_id},
                        tarvish::Object{store}))
        return nullptr;
    double now;
    if (!wall_clock(now)) return nullptr;
    Tessaly* t = tarvish::native<Tessaly>(self);
    PyObject* get_metrics = state().s_get_metrics.get();

    int32_t threshold;
    uint64_t call_count = 0;
    uint32_t compile_count = 0;
    double last_compiled = 0.0;
    {
        Section section{t->st.lock, "Tessaly.should_compile"};
        if (!section) return nullptr;
        threshold = t->st.ops->get_threshold_lock_held(t, func_id);
        // Python code runs under the lock here: the store's get_metrics, the metrics' attributes and conversions.
        Ref metrics = tarvish::call_method(store, get_metrics, func_id);
        if (!metrics) return nullptr;
        if (!read_metric<uint64_t, "uint64_t">(metrics.get(), state().s_call_count, call_count)) return nullptr;
        if (!read_metric<uint32_t, "uint32_t">(metrics.get(), state().s_compile_count, compile_count)) return nullptr;
        Ref stamp;
        if (!optional_attr(metrics.get(), state().s_last_compiled.get(), stamp)) return nullptr;
        if (stamp && !tarvish::to_double(stamp.get(), last_compiled)) return nullptr;
        if (!section.leave()) return nullptr;
    }

    // Compared as numbers: a threshold of zero or below lets every call count through.
    if (threshold > 0 && call_count < static_cast<uint64_t>(threshold)) Py_RETURN_FALSE;
    if (compile_count == 0) Py_RETURN_TRUE;
    return PyBool_FromLong(now - last_compiled >= t->st.min_recompile_interval);
}

// The learning rule: the step shrinks with the compile count and vanishes from
// the tenth compilation on; a speedup beating the target lowers the threshold.
// Each operation rounds on its own (the build does not contract to fused ops).
// Each knob is read once: the config may be written meanwhile, and the clamp
// and the truncation must see the same bounds.
int32_t learned_threshold(PolicyConfig* c, int32_t current, uint32_t compile_count, double avg_speedup) noexcept {
    double target = c->st.ops->get_target_speedup_fast(c);
    if (!(target > 0.0)) target = 1.0;
    double ratio = avg_speedup / target;
    double confidence = static_cast<double>(compile_count) * 0.1;
    if (confidence > 1.0) confidence = 1.0;
    double step = c->st.ops->get_learning_rate_fast(c) * (1.0 - confidence);
    double cur = static_cast<double>(current);
    double delta = step * cur;
    double candidate = ratio > 1.0 ? cur - delta : cur + delta;
    int32_t min = c->st.ops->get_min_threshold_fast(c);
    int32_t max = c->st.ops->get_max_threshold_fast(c);
    if (std::isnan(candidate) || candidate < static_cast<double>(min)) return min;
    if (candidate > static_cast<double>(max)) return max;
    // Here min <= candidate <= max, so the truncation stays within int32_t.
    return static_cast<int32_t>(candidate);
}

// "Updated threshold for <func_id>: <from> -> <to> (speedup: <speedup with 2 decimals>x)".
// The speedup is rounded from its exact binary value, half to even, as str.format
// rounds; a NaN of either sign reads "nan".
Ref update_message(PyObject* func_id, int32_t from, int32_t to, double speedup) noexcept {
    char tail[400];  // the longest fixed-point double has 309 integer digits
    char* const end = tail + sizeof tail;
    char* p = tail;
    auto put = [&](std::string_view text) noexcept {
        p += text.copy(p, std::min(text.size(), static_cast<std::size_t>(end - p)));
    };
    // The integers are written digit by digit: the library's integer to_chars
    // copies its 200-byte digit table onto the stack on each call.
    auto put_int = [&](int32_t v) noexcept {
        char digits[10];
        int n = 0;
        uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
        do digits[n++] = static_cast<char>('0' + u % 10);
        while (u /= 10);
        if (v < 0) *p++ = '-';
        while (n) *p++ = digits[--n];
    };
    put(": ");
    put_int(from);
    put(" -> ");
    put_int(to);
    put(" (speedup: ");
    if (std::isnan(speedup)) put("nan");
    else p = std::to_chars(p, end, speedup, std::chars_format::fixed, 2).ptr;
    put("x)");

    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (!writer) return Ref();
    static constexpr std::string_view head = "Updated threshold for ";
    if (PyUnicodeWriter_WriteASCII(writer, head.data(), static_cast<Py_ssize_t>(head.size())) < 0 ||
        PyUnicodeWriter_WriteStr(writer, func_id) < 0 || PyUnicodeWriter_WriteASCII(writer, tail, p - tail) < 0) {
        PyUnicodeWriter_Discard(writer);
        return Ref();
    }
    return Ref::steal(PyUnicodeWriter_Finish(writer));
}

constexpr Signature<2> Tessaly_update_sig{"update", {"func_id", "telemetry_store"}};
PyObject* Tessaly_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject *func_id = nullptr, *store = nullptr;
    if (!tarvish::parse(Tessaly_update_sig, args, nargs, kwnames, tarvish::ExactStr{func_id}, tarvish::Object{store}))
        return nullptr;
    Tessaly* t = tarvish::native<Tessaly>(self);
    PyObject* get_metrics = state().s_get_metrics.get();

    int32_t current, updated;
    double avg_speedup = 0.0;
    Ref message;
    {
        Section section{t->st.lock, "Tessaly.update"};
        if (!section) return nullptr;
        // Python code runs under the lock here: get_metrics, the attributes, their == 0 test and conversions.
        Ref metrics = tarvish::call_method(store, get_metrics, func_id);
        if (!metrics) return nullptr;
        {
            Ref compiles = tarvish::getattr(metrics.get(), state().s_compile_count);
            if (!compiles) return nullptr;
            int never = PyObject_RichCompareBool(compiles.get(), tarvish::zero(), Py_EQ);
            if (never < 0) return nullptr;
            if (never) {
                if (!section.leave()) return nullptr;
                Py_RETURN_NONE;
            }
        }
        current = t->st.ops->get_threshold_lock_held(t, func_id);
        // The count is read again for the rule: the zero test above and the
        // conversion below are two reads of the attribute.
        uint32_t compile_count;
        if (!read_metric<uint32_t, "uint32_t">(metrics.get(), state().s_compile_count, compile_count)) return nullptr;
        if (!read_metric<double, "">(metrics.get(), state().s_avg_speedup, avg_speedup)) return nullptr;
        updated =
            learned_threshold(tarvish::native<PolicyConfig>(t->st.config.get()), current, compile_count, avg_speedup);
        // The line is built on every update that gets this far, whatever the log level, and before the
        // threshold changes, so that a failure to build it changes nothing.
        message = update_message(func_id, current, updated, avg_speedup);
        if (!message) return nullptr;
        Ref value = tarvish::box(updated);
        if (!value || PyDict_SetItem(t->st.thresholds.get(), func_id, value.get()) < 0) return nullptr;
        if (!section.leave()) return nullptr;
    }

    // logger.debug(message), with the module's `logger` looked up at call time.
    Ref logger = tarvish::module_global(state().guard.module, state().s_logger, tarvish::Missing::attribute_error);
    // An error while logging propagates with the new threshold already stored.
    if (!logger || !tarvish::call_method(logger.get(), state().s_debug, message.get())) return nullptr;
    Py_RETURN_NONE;
}

// A dict of four int-or-float values under the four statistics keys.
Ref statistics_dict(PyObject* tracked, PyObject* avg, PyObject* min, PyObject* max) noexcept {
    tessaly_state& m = state();
    tarvish::Str* const keys[] = {&m.k_tracked_functions, &m.k_avg_threshold, &m.s_min_threshold, &m.s_max_threshold};
    PyObject* const values[] = {tracked, avg, min, max};
    Ref d = Ref::steal(PyDict_New());
    if (!d) return d;
    for (int i = 0; i < 4; ++i)
        if (!tarvish::set_item(d.get(), *keys[i], values[i])) return Ref();
    return d;
}

constexpr Signature<0> Tessaly_get_statistics_sig{"get_statistics", {}};
PyObject* Tessaly_get_statistics(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::parse(Tessaly_get_statistics_sig, args, nargs, kwnames)) return nullptr;
    Tessaly* t = tarvish::native<Tessaly>(self);
    Section section{t->st.lock, "Tessaly.get_statistics"};
    if (!section) return nullptr;
    PyObject* thresholds = t->st.thresholds.get();
    // The learned thresholds are summed under the dict's critical section: the
    // policy's lock keeps out this module's writers, not a caller that reached
    // the dict through gc.get_referents. The values are exact ints, so no Python
    // code runs inside.
    Py_ssize_t n = 0;
    long long sum = 0;
    long min = 0, max = 0;
    Py_BEGIN_CRITICAL_SECTION(thresholds);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (; PyDict_Next(thresholds, &pos, &key, &value); ++n) {
        long v = PyLong_AsLong(value);
        sum += v;
        if (n == 0 || v < min) min = v;
        if (n == 0 || v > max) max = v;
    }
    Py_END_CRITICAL_SECTION();
    Ref result;
    if (n == 0) {
        PolicyConfig* c = tarvish::native<PolicyConfig>(t->st.config.get());
        result = statistics_dict(tarvish::box(0).get(), tarvish::box(c->st.ops->get_initial_threshold_fast(c)).get(),
                                 tarvish::box(c->st.ops->get_min_threshold_fast(c)).get(),
                                 tarvish::box(c->st.ops->get_max_threshold_fast(c)).get());
    } else {
        // Exact int sum over exact int count, divided as Python divides ints (correctly rounded).
        Ref total = tarvish::box(sum), count = tarvish::box(static_cast<long long>(n));
        if (!total || !count) return nullptr;
        Ref avg = Ref::steal(PyNumber_TrueDivide(total.get(), count.get()));
        result = statistics_dict(tarvish::box(static_cast<long long>(n)).get(), avg.get(), tarvish::box(min).get(),
                                 tarvish::box(max).get());
    }
    if (!result || !section.leave()) return nullptr;
    return result.release();
}

PyGetSetDef Tessaly_getset[] = {
    tarvish::Field<&TessalyState::config, "", Tessaly>::ro("config", "Get policy configuration."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef Tessaly_methods[] = {
    tarvish::method<Tessaly_get_threshold, Tessaly_get_threshold_sig, "Current compile threshold for the function.">(),
    tarvish::method<Tessaly_should_compile, Tessaly_should_compile_sig,
                    "Whether the function has been called often enough, and long enough after its last "
                    "compilation, to compile it now.">(),
    tarvish::method<Tessaly_update, Tessaly_update_sig,
                    "Move the function's threshold by the speedup its compilations gave.">(),
    tarvish::method<Tessaly_get_statistics, Tessaly_get_statistics_sig, "Summary of the learned thresholds.">(),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Tessaly_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Tessaly_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::gc_dealloc<Tessaly>)},
    {Py_tp_traverse, reinterpret_cast<void*>(Tessaly_traverse)},
    {Py_tp_getset, Tessaly_getset},
    {Py_tp_methods, Tessaly_methods},
    {Py_tp_doc, tarvish::type_doc<Tessaly_new_sig,
                                  "Adaptive JIT threshold policy.\n\n"
                                  "Learns optimal compilation thresholds based on observed performance.\n"
                                  "Adapts per-function to workload characteristics.",
                                  "Tessaly">()},
    {0, nullptr},
};

PyType_Spec Tessaly_spec{"tarvish.jit.tessaly.Tessaly", sizeof(Tessaly), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, Tessaly_slots};

// ---------------------------------------------------------------------------
// The process-wide policy, in the module state's policy_slot.

// The module's `_policy_lock` is looked up at each call and entered as a
// with-statement would, its methods read as attributes; a suppressing __exit__ counts.
constexpr Signature<0> get_tessaly_sig{"get_tessaly", {}};
PyObject* get_tessaly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::parse(get_tessaly_sig, args, nargs, kwnames)) return nullptr;
    tessaly_state& m = state();
    Ref lock = tarvish::module_global(m.guard.module, m.s_policy_lock, tarvish::Missing::attribute_error);
    if (!lock) return nullptr;
    Section section{lock.get(), m.policy_owner, "get_tessaly"};
    if (!section) return nullptr;
    // The policy returned is the one made or found here, held from inside the
    // section: once it is left, a reset may empty the slot and drop the slot's
    // reference (the lock's own __exit__ may run one).
    Ref policy = Ref::borrow(m.policy_slot.instance);
    if (!policy) {
        // Python code may run under the lock here: the constructor calls the module's threading.Lock.
        policy = tarvish::call(reinterpret_cast<PyObject*>(m.Tessaly_type));
        if (policy) m.policy_slot.put(Ref::borrow(policy.get()));
    }
    if (!(policy ? section.leave() : section.leave_raising())) return nullptr;
    // Only a failed construction that a suppressing __exit__ swallowed has no policy to give.
    return policy ? policy.release() : Py_NewRef(Py_None);
}

constexpr Signature<0> reset_tessaly_sig{"reset_tessaly", {}};
PyObject* reset_tessaly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::parse(reset_tessaly_sig, args, nargs, kwnames)) return nullptr;
    tessaly_state& m = state();
    Ref lock = tarvish::module_global(m.guard.module, m.s_policy_lock, tarvish::Missing::attribute_error);
    if (!lock) return nullptr;
    Section section{lock.get(), m.policy_owner, "reset_tessaly"};
    if (!section) return nullptr;
    // The old policy is dropped after the lock is left.
    Ref old = m.policy_slot.take();
    if (!section.leave()) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// The factories.

constexpr Signature<5> create_policy_config_sig{
    "create_policy_config",
    {opt<kInitialThreshold>("initial_threshold"), opt<kMinThreshold>("min_threshold"),
     opt<kMaxThreshold>("max_threshold"), opt("learning_rate", kLearningRate), opt("target_speedup", kTargetSpeedup)}};
PyObject* create_policy_config(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref initial, min, max;
    double rate = kLearningRate.value, target = kTargetSpeedup.value;
    if (!tarvish::parse(create_policy_config_sig, args, nargs, kwnames, tarvish::AnnotatedInt{initial},
                        tarvish::AnnotatedInt{min}, tarvish::AnnotatedInt{max}, tarvish::Double{rate},
                        tarvish::Double{target}))
        return nullptr;
    if (!initial) initial = tarvish::box(kInitialThreshold);
    if (!min) min = tarvish::box(kMinThreshold);
    if (!max) max = tarvish::box(kMaxThreshold);
    Ref rate_obj = tarvish::box(rate), target_obj = tarvish::box(target);
    if (!initial || !min || !max || !rate_obj || !target_obj) return nullptr;
    tessaly_state& m = state();
    PyObject* const argv[] = {initial.get(), min.get(), max.get(), rate_obj.get(), target_obj.get()};
    return call_with_keywords(reinterpret_cast<PyObject*>(m.PolicyConfig_type), m.config_kwnames, argv).release();
}

constexpr Signature<5> create_function_metrics_sig{
    "create_function_metrics",
    {opt<kCallCount>("call_count"), opt<kCompileCount>("compile_count"), opt("avg_speedup", kAvgSpeedup),
     opt("total_execution_time_ms", kNoTime), opt("last_compile_time", kNoTime)}};
PyObject* create_function_metrics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref calls, compiles;
    double speedup = kAvgSpeedup.value, total_ms = kNoTime.value, stamp = kNoTime.value;
    if (!tarvish::parse(create_function_metrics_sig, args, nargs, kwnames, tarvish::AnnotatedInt{calls},
                        tarvish::AnnotatedInt{compiles}, tarvish::Double{speedup}, tarvish::Double{total_ms},
                        tarvish::Double{stamp}))
        return nullptr;
    if (!calls) calls = tarvish::box(static_cast<unsigned long long>(kCallCount));
    if (!compiles) compiles = tarvish::box(kCompileCount);
    Ref speedup_obj = tarvish::box(speedup), total_obj = tarvish::box(total_ms), stamp_obj = tarvish::box(stamp);
    if (!calls || !compiles || !speedup_obj || !total_obj || !stamp_obj) return nullptr;
    tessaly_state& m = state();
    PyObject* const argv[] = {calls.get(), compiles.get(), speedup_obj.get(), total_obj.get(), stamp_obj.get()};
    return call_with_keywords(reinterpret_cast<PyObject*>(m.FunctionMetrics_type), m.metrics_kwnames, argv).release();
}

PyMethodDef tessaly_functions[] = {
    tarvish::function<create_policy_config, create_policy_config_sig,
                      "Factory function to create PolicyConfig.\n\n"
                      "Provides a Python-friendly interface for creating config objects.">(),
    tarvish::function<create_function_metrics, create_function_metrics_sig,
                      "Factory function to create FunctionMetrics.\n\n"
                      "Provides a Python-friendly interface for creating metrics objects.">(),
    tarvish::function<get_tessaly, get_tessaly_sig, "Get the process-wide Tessaly policy, creating it on first use.">(),
    tarvish::function<reset_tessaly, reset_tessaly_sig,
                      "Drop the process-wide Tessaly policy.\n\nUseful for testing.">(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module body, in order.

bool tessaly_exec(PyObject* module) noexcept {
    if (!tarvish::import_as(module, "time", "time") || !tarvish::import_as(module, "logging", "logging") ||
        !tarvish::import_as(module, "threading", "threading") ||
        !tarvish::import_from(module, "typing", {"Dict", "Optional"}))
        return false;
    if (!tarvish::bind_logger(module)) return false;
    tessaly_state& m = state();
    // The keyword names of the factories' calls, kept for the process (made
    // again only by an execution after one that failed before making them).
    const tarvish::Str* const config_names[] = {&m.s_initial_threshold, &m.s_min_threshold, &m.s_max_threshold,
                                                &m.s_learning_rate, &m.s_target_speedup};
    const tarvish::Str* const metrics_names[] = {&m.s_call_count, &m.s_compile_count, &m.s_avg_speedup,
                                                 &m.s_total_execution_time_ms, &m.s_last_compile_time};
    if (!m.config_kwnames && !(m.config_kwnames = tarvish::name_tuple(config_names).release())) return false;
    if (!m.metrics_kwnames && !(m.metrics_kwnames = tarvish::name_tuple(metrics_names).release())) return false;
    if (!tarvish::add_type(module, &PolicyConfig_spec, m.PolicyConfig_type) ||
        !tarvish::add_type(module, &FunctionMetrics_spec, m.FunctionMetrics_type) ||
        !tarvish::add_type(module, &Tessaly_spec, m.Tessaly_type))
        return false;
    // The singleton slot (policy_slot) starts empty; its lock is a module attribute.
    if (!tarvish::prepare_lock_protocol(module)) return false;
    Ref lock = tarvish::new_lock(module, tarvish::Missing::attribute_error);
    if (!lock || PyModule_AddObjectRef(module, "_policy_lock", lock.get()) < 0) return false;
    if (PyModule_AddFunctions(module, tessaly_functions) < 0) return false;
    return tarvish::log_line(module, "info", "Tarvish Tessaly Cython module loaded - IP protected");
}

PyModuleDef tessaly_def{
    PyModuleDef_HEAD_INIT,
    "tessaly",
    "Adaptive compilation policy of the just-in-time compiler.\n"
    "\n"
    "Tessaly learns a call-count threshold per function from the speedups that\n"
    "its compilations gave: a speedup beating the configured target lowers the\n"
    "threshold, anything else raises it, by a step that shrinks with each\n"
    "compilation and stops at the tenth. Each policy serialises its state with\n"
    "its own threading.Lock (targets: get_threshold under 100 ns, should_compile\n"
    "and update under 1 us each). get_tessaly() returns the process-wide policy.",
    0,
    nullptr,
    tarvish::ModuleSlots<state, tessaly_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tessaly() { return PyModuleDef_Init(&tessaly_def); }
