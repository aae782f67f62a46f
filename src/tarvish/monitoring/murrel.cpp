// tarvish.monitoring.murrel: low-overhead telemetry aggregation. A fixed,
// contiguous array of numbered counters keeps running count, sum, the sums of
// the deviations from the counter's first sample and of their squares, minimum
// and maximum; one threading.Lock per aggregator keeps each counter consistent.
#include "tarvish/tarvish.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include <unistd.h>

namespace {

using tarvish::Ref;
using tarvish::Signature;
using tarvish::opt;

// The lock is a prepared one: its __enter__ and __exit__ are bound when the aggregator is made.
using Section = tarvish::Section<>;

// The module's process-wide state: its guard, its type and the interned names
// of the overridable methods and of the statistics keys.
struct murrel_state {
    tarvish::ModuleGuard guard{"murrel"};
    PyTypeObject* CounterAggregator_type = nullptr;
    tarvish::Str s_update{"update"};
    tarvish::Str s_get_stats{"get_stats"};
    tarvish::Str s_reset{"reset"};
    tarvish::Str s_reset_all{"reset_all"};
    tarvish::Str s_get_all_stats{"get_all_stats"};
    tarvish::Str k_count{"count"};
    tarvish::Str k_mean{"mean"};
    tarvish::Str k_variance{"variance"};
    tarvish::Str k_std{"std"};
    tarvish::Str k_min{"min"};
    tarvish::Str k_max{"max"};
};

murrel_state module_state;  // built when the library loads
murrel_state& state() noexcept { return module_state; }

// Counter ids and the count are signed 32-bit; their OverflowError names "int".
static_assert(sizeof(int) == sizeof(int32_t));

constexpr double kInf = std::numeric_limits<double>::infinity();

// One counter, in this field order. The array of records is contiguous.
//
// The variance comes from sums shifted by the counter's first sample, not from
// the plain sum of squares: E[x^2] - mean^2 cancels catastrophically when the
// mean is large against the spread, which is the usual case for telemetry
// (timestamps, byte counts, latencies in ns): for 1.7e9 and 1.7e9 + 10 it gives
// -25.0 instead of 25.0.
// Shifted sums rather than Welford's running mean, because the running mean is
// held in the samples' own scale and so carries an error of about an ulp of the
// offset (1.2e-4 at 1e12), as large as a spread of 1e-3 there; each deviation
// from the first sample is small and usually exact, so its sums carry no error
// from the offset (1000 samples around 1.7e9 with a spread of 10: relative
// error 2e-9 that way, 2e-15 this way). The update also stays division-free. The cancellation left
// is bounded: with the shift one of the samples, (mean - shift)^2 is at most
// count times the variance. "mean" stays the plain sum / count.
struct CounterRecord {
    uint64_t count;
    double sum;         // of the samples; "mean" is sum / count
    double shift;       // the first sample since construction or reset
    double sum_dev;     // of sample - shift
    double sum_dev_sq;  // of (sample - shift)^2
    double min;
    double max;
};

void clear_record(CounterRecord& r) noexcept {
    // `count` is also read without the lock by get_all_stats, so it is always
    // written and read as an atomic word (a plain store on the usual targets).
    std::atomic_ref<uint64_t>(r.count).store(0, std::memory_order_relaxed);
    r.sum = 0.0;
    r.shift = 0.0;
    r.sum_dev = 0.0;
    r.sum_dev_sq = 0.0;
    r.min = kInf;
    r.max = -kInf;
}

struct CounterAggregator;

// The class's overridable operations for native callers, in this order. With
// `skip_dispatch` false an entry first looks for a Python-level override on a
// subclass and calls that instead. update/reset/reset_all return 0, or -1 with
// an error set; get_stats/get_all_stats return a new reference or null.
struct CounterAggregatorOps {
    int (*update)(CounterAggregator*, int32_t counter_id, double value, bool skip_dispatch) noexcept;
    PyObject* (*get_stats)(CounterAggregator*, int32_t counter_id, bool skip_dispatch) noexcept;
    int (*reset)(CounterAggregator*, int32_t counter_id, bool skip_dispatch) noexcept;
    int (*reset_all)(CounterAggregator*, bool skip_dispatch) noexcept;
    PyObject* (*get_all_stats)(CounterAggregator*, bool skip_dispatch) noexcept;
};

// The aggregator's C++ state. `storage` holds exactly `num_counters` records
// (null when there are none).
struct CounterAggregatorState {
    const CounterAggregatorOps* ops = nullptr;  // set by tp_new, before the object is handed out
    CounterRecord* storage = nullptr;           // from calloc, freed with free
    int32_t num_counters = 0;
    tarvish::PreparedLock lock;  // threading.Lock(), its __enter__ and __exit__ bound once

    CounterAggregatorState() noexcept = default;
    CounterAggregatorState(const CounterAggregatorState&) = delete;
    CounterAggregatorState& operator=(const CounterAggregatorState&) = delete;
    ~CounterAggregatorState() { std::free(storage); }
};

struct CounterAggregator {
    PyObject_HEAD
    CounterAggregatorState st;
};

// ---------------------------------------------------------------------------
// The lock, entered through its context-manager protocol as `method`, with the
// re-entry guard. Nothing between enter and exit runs Python code or allocates
// Python objects: a finaliser run by a collection there could call back into
// this aggregator (and would meet the guard's RuntimeError).

// The IndexError for an id outside 0 .. num_counters - 1; checked before the lock.
[[nodiscard]] bool check_id(CounterAggregator* self, int32_t counter_id) noexcept {
    assert((self->st.storage != nullptr) == (self->st.num_counters > 0));
    if (counter_id >= 0 && counter_id < self->st.num_counters) [[likely]]
        return true;
    PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(counter_id));
    return false;
}

// ---------------------------------------------------------------------------
// Override lookup. On the exact class nothing can be overridden. On a subclass
// the instance's attribute `name` is an override unless it is this class's own
// native method bound to this very object.

using FastMethod = tarvish::FastMethod;

// True on success, with `out` holding the override or empty when the native
// code should run; false with an error set. `Native` is the method's function,
// which the method table holds as its entry (checked in a build that checks).
template <FastMethod Native>
[[nodiscard]] bool find_override(CounterAggregator* self, tarvish::Str& name, Ref& out) noexcept {
    if (Py_IS_TYPE(tarvish::object_of(self), state().CounterAggregator_type)) [[likely]]
        return true;
    Ref attr = tarvish::getattr(tarvish::object_of(self), name);
    if (!attr) return false;
    PyObject* a = attr.get();
    if (PyCFunction_Check(a) && PyCFunction_GET_SELF(a) == tarvish::object_of(self) &&
        PyCFunction_GET_FUNCTION(a) ==
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tarvish::table_entry<Native>())))
        return true;
    out = std::move(attr);
    return true;
}

// With `skip_dispatch` false, runs a Python-level override of `Native`'s
// method `name` if there is one, with `args` boxed: true when it ran (or its
// lookup failed), `out` holding its result (null with an error set); false when
// the native code should run.
template <FastMethod Native, class... A>
[[nodiscard]] bool dispatch(CounterAggregator* self, bool skip_dispatch, tarvish::Str& name, Ref& out,
                            A... args) noexcept {
    if (skip_dispatch) [[likely]]
        return false;
    Ref override;
    if (!find_override<Native>(self, name, override)) return true;
    if (!override) return false;
    Ref boxed[] = {tarvish::box(args)..., Ref()};
    PyObject* argv[sizeof...(A) + 1] = {};
    for (std::size_t i = 0; i < sizeof...(A); ++i)
        if (!(argv[i] = boxed[i].get())) return true;
    out = Ref::steal(PyObject_Vectorcall(override.get(), argv, sizeof...(A), nullptr));
    return true;
}

// The Python-visible methods, declared for the override test.
PyObject* CounterAggregator_update(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* CounterAggregator_get_stats(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* CounterAggregator_reset(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* CounterAggregator_reset_all(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyObject* CounterAggregator_get_all_stats(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// ---------------------------------------------------------------------------
// The native operations.

int op_update(CounterAggregator* self, int32_t counter_id, double value, bool skip_dispatch) noexcept {
    Ref overridden;
    if (dispatch<CounterAggregator_update>(self, skip_dispatch, state().s_update, overridden, counter_id, value))
        return overridden ? 0 : -1;
    if (!check_id(self, counter_id)) return -1;
    Section section{self->st.lock, "CounterAggregator.update"};
    if (!section) return -1;
    CounterRecord& r = self->st.storage[counter_id];
    std::atomic_ref<uint64_t> count(r.count);
    uint64_t seen = count.load(std::memory_order_relaxed);
    if (seen == 0) r.shift = value;
    count.store(seen + 1, std::memory_order_relaxed);
    r.sum += value;
    double dev = value - r.shift;
    r.sum_dev += dev;
    r.sum_dev_sq += dev * dev;
    // A NaN sample is counted and enters every sum (so mean and variance turn
    // NaN), but it never becomes the minimum or maximum: every comparison with
    // NaN is false, so min and max stay the extremes of the ordered samples.
    // An infinite sample makes the mean infinite and the variance NaN or
    // infinite (inf - inf somewhere in the sums), as does a deviation beyond
    // about 1.3e154, whose square overflows.
    if (value < r.min) r.min = value;
    if (value > r.max) r.max = value;
    return section.leave() ? 0 : -1;
}

struct Stats {
    uint64_t count = 0;
    double mean = 0.0, variance = 0.0, std = 0.0, min = kInf, max = -kInf;
};

// The statistics of one record.
Stats compute_stats_lock_held(CounterAggregator* self, int32_t counter_id) noexcept {
    assert(self->st.lock.owner.held_here());
    CounterRecord& r = self->st.storage[counter_id];
    Stats s;
    s.count = std::atomic_ref<uint64_t>(r.count).load(std::memory_order_relaxed);
    if (s.count == 0) return s;
    double n = static_cast<double>(s.count);
    s.mean = r.sum / n;
    // Population variance E[d^2] - E[d]^2 over the deviations d from the shift,
    // the product and the subtraction rounded once. Equal samples give d = 0
    // and exactly 0.0. Over very many samples with the first one far out, the
    // rounding of the sums could still leave a residue just below zero; a
    // variance is never negative, so that is 0.0 (NaN stays NaN).
    double dev_mean = r.sum_dev / n;
    double variance = std::fma(-dev_mean, dev_mean, r.sum_dev_sq / n);
    s.variance = variance < 0.0 ? 0.0 : variance;
    s.std = std::pow(s.variance, 0.5);
    s.min = r.min;
    s.max = r.max;
    return s;
}

PyObject* op_get_stats(CounterAggregator* self, int32_t counter_id, bool skip_dispatch) noexcept {
    Ref overridden;
    // Whatever an override returns is passed on unchanged.
    if (dispatch<CounterAggregator_get_stats>(self, skip_dispatch, state().s_get_stats, overridden, counter_id))
        return overridden.release();
    if (!check_id(self, counter_id)) return nullptr;
    Stats s;
    {
        Section section{self->st.lock, "CounterAggregator.get_stats"};
        if (!section) return nullptr;
        s = compute_stats_lock_held(self, counter_id);
        if (!section.leave()) return nullptr;
    }
    // The dict is built after the lock is released (see the lock's note above).
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* dict = d.get();
    murrel_state& m = state();
    if (!tarvish::set_item(dict, m.k_count, tarvish::box(static_cast<unsigned long long>(s.count))) ||
        !tarvish::set_item(dict, m.k_mean, tarvish::box(s.mean)) ||
        !tarvish::set_item(dict, m.k_variance, tarvish::box(s.variance)) ||
        !tarvish::set_item(dict, m.k_std, tarvish::box(s.std)) ||
        !tarvish::set_item(dict, m.k_min, tarvish::box(s.min)) ||
        !tarvish::set_item(dict, m.k_max, tarvish::box(s.max)))
        return nullptr;
    return d.release();
}

int op_reset(CounterAggregator* self, int32_t counter_id, bool skip_dispatch) noexcept {
    Ref overridden;
    if (dispatch<CounterAggregator_reset>(self, skip_dispatch, state().s_reset, overridden, counter_id))
        return overridden ? 0 : -1;
    if (!check_id(self, counter_id)) return -1;
    Section section{self->st.lock, "CounterAggregator.reset"};
    if (!section) return -1;
    clear_record(self->st.storage[counter_id]);
    return section.leave() ? 0 : -1;
}

int op_reset_all(CounterAggregator* self, bool skip_dispatch) noexcept {
    Ref overridden;
    if (dispatch<CounterAggregator_reset_all>(self, skip_dispatch, state().s_reset_all, overridden))
        return overridden ? 0 : -1;
    Section section{self->st.lock, "CounterAggregator.reset_all"};
    if (!section) return -1;
    for (int32_t i = 0; i < self->st.num_counters; ++i) clear_record(self->st.storage[i]);
    return section.leave() ? 0 : -1;
}

PyObject* op_get_all_stats(CounterAggregator* self, bool skip_dispatch) noexcept {
    Ref overridden;
    if (dispatch<CounterAggregator_get_all_stats>(self, skip_dispatch, state().s_get_all_stats, overridden))
        return overridden.release();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    // Not one consistent cut: each id's count is read without the lock, and a
    // non-empty counter's dict is then taken under the lock by get_stats,
    // through the table so that a subclass's get_stats is the one called.
    // num_counters is re-read each round; it never changes after construction.
    for (int32_t i = 0; i < self->st.num_counters; ++i) {
        if (std::atomic_ref<uint64_t>(self->st.storage[i].count).load(std::memory_order_relaxed) == 0) continue;
        Ref stats = Ref::steal(self->st.ops->get_stats(self, i, false));
        if (!stats) return nullptr;
        Ref id = tarvish::box(i);
        if (!id) return nullptr;
        Ref pair = Ref::steal(PyTuple_Pack(2, id.get(), stats.get()));
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
    }
    return list.release();
}

const CounterAggregatorOps counter_aggregator_ops{op_update, op_get_stats, op_reset, op_reset_all, op_get_all_stats};

// ---------------------------------------------------------------------------
// Construction.

// Refuses a record count that cannot be had: negative, beyond the address space,
// or beyond the machine's physical memory (where an overcommitting allocator
// would hand out the block and the initialisation below would then exhaust it).
[[nodiscard]] bool storage_size_possible(int32_t n) noexcept {
    if (n < 0) return false;
    size_t count = static_cast<size_t>(n);
    if (count > SIZE_MAX / sizeof(CounterRecord)) return false;
#if defined(_SC_PHYS_PAGES) && defined(_SC_PAGESIZE)
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0 &&
        static_cast<unsigned long long>(count) * sizeof(CounterRecord) >
            static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page))
        return false;
#endif
    return true;
}

// The number of counters an aggregator has unless told otherwise.
constexpr int kNumCounters = 1000;

constexpr Signature<1> CounterAggregator_new_sig{"__cinit__", {opt<kNumCounters>("num_counters")}};
PyObject* CounterAggregator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    int num_counters = kNumCounters;
    if (!tarvish::parse(CounterAggregator_new_sig, args, kwargs, tarvish::CInt{num_counters})) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    CounterAggregatorState& s = tarvish::construct<CounterAggregator>(self.get());
    s.ops = &counter_aggregator_ops;
    if (num_counters != 0) {
        // Until the records exist the object claims none (num_counters stays 0).
        CounterRecord* storage = nullptr;
        if (storage_size_possible(num_counters))
            storage =
                static_cast<CounterRecord*>(std::calloc(static_cast<size_t>(num_counters), sizeof(CounterRecord)));
        if (!storage) return tarvish::raise(PyExc_MemoryError, "Failed to allocate counter storage");
        for (int32_t i = 0; i < num_counters; ++i) {
            storage[i].min = kInf;
            storage[i].max = -kInf;
        }
        s.storage = storage;
        s.num_counters = num_counters;
    }
    if (!s.lock.bind(tarvish::new_lock(state().guard.module, tarvish::Missing::attribute_error))) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------
// The Python-visible methods: bind and convert, then run the native code
// directly (a Python-level call already reached the right definition).

constexpr Signature<2> CounterAggregator_update_sig{"update", {"counter_id", "value"}};
PyObject* CounterAggregator_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    int counter_id = 0;
    double value = 0.0;
    if (!tarvish::parse(CounterAggregator_update_sig, args, nargs, kwnames, tarvish::CInt{counter_id},
                        tarvish::Double{value}))
        return nullptr;
    if (op_update(tarvish::native<CounterAggregator>(self), counter_id, value, true) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr Signature<1> CounterAggregator_get_stats_sig{"get_stats", {"counter_id"}};
PyObject* CounterAggregator_get_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    int counter_id = 0;
    if (!tarvish::parse(CounterAggregator_get_stats_sig, args, nargs, kwnames, tarvish::CInt{counter_id}))
        return nullptr;
    return op_get_stats(tarvish::native<CounterAggregator>(self), counter_id, true);
}

constexpr Signature<1> CounterAggregator_reset_sig{"reset", {"counter_id"}};
PyObject* CounterAggregator_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    int counter_id = 0;
    if (!tarvish::parse(CounterAggregator_reset_sig, args, nargs, kwnames, tarvish::CInt{counter_id})) return nullptr;
    if (op_reset(tarvish::native<CounterAggregator>(self), counter_id, true) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr Signature<0> CounterAggregator_reset_all_sig{"reset_all", {}};
PyObject* CounterAggregator_reset_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    if (!tarvish::parse(CounterAggregator_reset_all_sig, args, nargs, kwnames)) return nullptr;
    if (op_reset_all(tarvish::native<CounterAggregator>(self), true) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr Signature<0> CounterAggregator_get_all_stats_sig{"get_all_stats", {}};
PyObject* CounterAggregator_get_all_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    if (!tarvish::parse(CounterAggregator_get_all_stats_sig, args, nargs, kwnames)) return nullptr;
    return op_get_all_stats(tarvish::native<CounterAggregator>(self), true);
}

PyMethodDef CounterAggregator_methods[] = {
    tarvish::method<CounterAggregator_update, CounterAggregator_update_sig,
                    "Update counter with new value.\n"
                    "Thread-safe via lock (correctness over performance).">(),
    tarvish::method<CounterAggregator_get_stats, CounterAggregator_get_stats_sig,
                    "Get statistics for a counter.\n"
                    "Returns dict with count, mean, variance, min, max.">(),
    tarvish::method<CounterAggregator_reset, CounterAggregator_reset_sig, "Reset a specific counter.">(),
    tarvish::method<CounterAggregator_reset_all, CounterAggregator_reset_all_sig, "Reset all counters.">(),
    tarvish::method<CounterAggregator_get_all_stats, CounterAggregator_get_all_stats_sig,
                    "Get statistics for all counters.">(),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot CounterAggregator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(CounterAggregator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::dealloc<CounterAggregator>)},
    {Py_tp_methods, CounterAggregator_methods},
    {Py_tp_doc, tarvish::type_doc<CounterAggregator_new_sig,
                                  "Fast counter aggregation in compiled code.\n"
                                  "Uses atomic operations for thread-safe updates without GIL overhead.",
                                  "CounterAggregator">()},
    {0, nullptr},
};

PyType_Spec CounterAggregator_spec{"tarvish.monitoring.murrel.CounterAggregator", sizeof(CounterAggregator), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, CounterAggregator_slots};

// ---------------------------------------------------------------------------
// create_aggregator: the argument goes to the constructor unconverted.

constexpr Signature<1> create_aggregator_sig{"create_aggregator", {opt<kNumCounters>("num_counters")}};
PyObject* create_aggregator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* num_counters = nullptr;
    if (!tarvish::parse(create_aggregator_sig, args, nargs, kwnames, tarvish::Object{num_counters})) return nullptr;
    Ref fallback;
    if (!num_counters) {
        fallback = tarvish::box(kNumCounters);
        if (!fallback) return nullptr;
        num_counters = fallback.get();
    }
    return tarvish::call(reinterpret_cast<PyObject*>(state().CounterAggregator_type), num_counters).release();
}

PyMethodDef murrel_functions[] = {
    tarvish::function<create_aggregator, create_aggregator_sig, "Create a new CounterAggregator instance.">(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module body, in order. This module has no logger and logs nothing.

bool murrel_exec(PyObject* module) noexcept {
    if (!tarvish::import_as(module, "threading", "threading") || !tarvish::prepare_lock_protocol(module)) return false;
    if (!tarvish::add_type(module, &CounterAggregator_spec, state().CounterAggregator_type)) return false;
    return PyModule_AddFunctions(module, murrel_functions) == 0;
}

PyModuleDef murrel_def{
    PyModuleDef_HEAD_INIT,
    "murrel",
    "Low-overhead telemetry aggregation.\n"
    "\n"
    "CounterAggregator keeps a fixed array of numbered counters in one native\n"
    "block; each counter takes float samples and reports count, mean, population\n"
    "variance, standard deviation, minimum and maximum. One threading.Lock per\n"
    "aggregator keeps every counter consistent.",
    0,
    nullptr,
    tarvish::ModuleSlots<state, murrel_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_murrel() { return PyModuleDef_Init(&murrel_def); }
