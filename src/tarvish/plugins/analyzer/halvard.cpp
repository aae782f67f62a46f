// tarvish.plugins.analyzer.halvard: the decision arithmetic of the pool
// orchestrator. Eleven stateless functions over histories and ratios; the
// orchestrator keeps the histories and passes them in on every call.
#include "tarvish/tarvish.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

using tarvish::Ref;
using tarvish::Signature;
using tarvish::opt;

// The module's process-wide state.
struct halvard_state {
    tarvish::ModuleGuard guard{"halvard"};
    tarvish::Str v_mixed{"mixed"};
    tarvish::Str k_parallel{"parallelization_potential"};
    tarvish::Str k_cpu{"cpu_intensity"};
    tarvish::Str k_memory{"memory_intensity"};
    // The constant "nothing to report" results, made once when the module loads.
    PyObject* no_change_result = nullptr;      // (False, 0.0, 0.0, 0.0)
    PyObject* no_prediction_result = nullptr;  // (0, 0, 0.0)
};

halvard_state module_state;  // built when the library loads
halvard_state& state() noexcept { return module_state; }

// ---------------------------------------------------------------------------
// History entries: pairs of numbers given as tuples, lists or any iterable of
// exactly two items.
//
// The caller's lists may be changed by other threads while they are read (and,
// on any build, by Python code that a conversion or comparison runs). An item is
// read either inside the list's critical section, in which nothing calls into
// Python code, or through a strong reference taken there and held while anything
// else runs. A critical section is suspended whenever its thread blocks, as
// Python code may, so no item borrowed under one is kept across such a call.
// Tuples are immutable: a tuple's items are borrowed while the tuple itself is
// held (by the locked list, or by a reference of our own).

[[gnu::cold, gnu::noinline]] bool raise_unpack(Py_ssize_t found) noexcept {
    if (found > 2) PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    else PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return false;
}

// Item `i` of `list` with a strong reference, or null (no error) when the
// list is no longer that long.
Ref list_item(PyObject* list, Py_ssize_t i) noexcept {
    Ref item;
    tarvish::critical(list, [&] {
        if (i < PyList_GET_SIZE(list)) item = Ref::borrow(PyList_GET_ITEM(list, i));
    });
    return item;
}

// Item `i` of `list` with a strong reference, or null with IndexError when the
// list is no longer that long. Read in the list's critical section: the
// interpreter's lock-free item read races with a resizing write (a pop's move
// of the items) that the section excludes.
Ref list_item_or_raise(PyObject* list, Py_ssize_t i) noexcept {
    Ref item = list_item(list, i);
    if (!item) PyErr_SetString(PyExc_IndexError, "list index out of range");
    return item;
}

// Unpacks `entry` (held by the caller) into exactly two items (owned by `first` and `second`).
bool unpack_pair(PyObject* entry, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(entry)) {
        Py_ssize_t size = PyTuple_GET_SIZE(entry);
        if (size != 2) return raise_unpack(size);
        first = Ref::borrow(PyTuple_GET_ITEM(entry, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(entry, 1));
        return true;
    }
    if (PyList_CheckExact(entry)) {
        // The size and both items are read in one critical section, as one snapshot.
        Py_ssize_t size;
        Py_BEGIN_CRITICAL_SECTION(entry);
        size = PyList_GET_SIZE(entry);
        if (size == 2) {
            first = Ref::borrow(PyList_GET_ITEM(entry, 0));
            second = Ref::borrow(PyList_GET_ITEM(entry, 1));
        }
        Py_END_CRITICAL_SECTION();
        return size == 2 || raise_unpack(size);
    }
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) return false;
    first = Ref::steal(PyIter_Next(it.get()));
    if (!first) return PyErr_Occurred() ? false : raise_unpack(0);
    second = Ref::steal(PyIter_Next(it.get()));
    if (!second) return PyErr_Occurred() ? false : raise_unpack(1);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return raise_unpack(3);
    return !PyErr_Occurred();
}

// A float or a small int converts without running any Python code.
inline bool plain_double(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        out = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        return true;
    }
    return false;
}

// A tuple of two exact floats or small ints, read without running any Python code.
inline bool plain_pair(PyObject* entry, double& a, double& b) noexcept {
    return PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2 && plain_double(PyTuple_GET_ITEM(entry, 0), a) &&
           plain_double(PyTuple_GET_ITEM(entry, 1), b);
}

// Reads a held entry as a pair of doubles: unpacks it, then converts the first
// item and then the second, holding them while the conversions run Python code.
bool read_pair(PyObject* entry, double& a, double& b) noexcept {
    Ref first, second;
    return unpack_pair(entry, first, second) && tarvish::to_double(first.get(), a) &&
           tarvish::to_double(second.get(), b);
}

// Calls f(first, second) for each entry of the list, in order. The plain
// entries are read in runs under the list's critical section (f runs there
// too, so it must not call into Python code); an entry that needs a conversion
// is taken with a strong reference and read after the section is left. The
// length is read afresh on each step, so a list shortened meanwhile ends the walk.
template <class F>
bool walk_pairs(PyObject* list, F&& f) noexcept {
    for (Py_ssize_t i = 0;; ++i) {
        Ref entry;
        Py_BEGIN_CRITICAL_SECTION(list);
        for (double a, b; i < PyList_GET_SIZE(list); ++i) {
            PyObject* e = PyList_GET_ITEM(list, i);
            if (!plain_pair(e, a, b)) [[unlikely]] {
                entry = Ref::borrow(e);
                break;
            }
            f(a, b);
        }
        Py_END_CRITICAL_SECTION();
        if (!entry) return true;
        double a, b;
        if (!read_pair(entry.get(), a, b)) return false;
        f(a, b);
    }
}

// ---------------------------------------------------------------------------
// Degradation, trend, workload change and dominant pattern.

constexpr Signature<4> detect_performance_degradation_sig{
    "detect_performance_degradation",
    {"performance_history", "baseline_performance", "threshold", "window_start_time"}};
PyObject* detect_performance_degradation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    PyObject* history = nullptr;
    double baseline = 0.0, threshold = 0.0, window_start = 0.0;
    if (!tarvish::parse(detect_performance_degradation_sig, args, nargs, kwnames, tarvish::ExactList{history},
                        tarvish::Double{baseline}, tarvish::Double{threshold}, tarvish::Double{window_start}))
        return nullptr;
    if (history == Py_None || PyList_GET_SIZE(history) == 0 || !(baseline > 0.0) || PyList_GET_SIZE(history) < 5)
        Py_RETURN_FALSE;
    double sum = 0.0;
    Py_ssize_t count = 0;
    bool ok = walk_pairs(history, [&](double timestamp, double metric) {
        if (timestamp >= window_start) {
            sum += metric;
            ++count;
        }
    });
    if (!ok) return nullptr;
    if (count < 5) Py_RETURN_FALSE;
    double recent = sum / static_cast<double>(count);
    double degradation = (baseline - recent) / baseline;
    return PyBool_FromLong(degradation > threshold);
}

// The least-squares slope of the metric over time within the window, divided by
// the mean metric, in [-1, 1]; 0.0 when there is nothing to fit.
constexpr Signature<2> calculate_performance_trend_sig{"calculate_performance_trend",
                                                       {"performance_history", "window_start_time"}};
PyObject* calculate_performance_trend(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* history = nullptr;
    double window_start = 0.0;
    if (!tarvish::parse(calculate_performance_trend_sig, args, nargs, kwnames, tarvish::ExactList{history},
                        tarvish::Double{window_start}))
        return nullptr;
    if (history == Py_None || PyList_GET_SIZE(history) < 3) return PyFloat_FromDouble(0.0);
    // One pass: x is measured from the first kept timestamp.
    Py_ssize_t kept = 0;
    double t0 = 0.0, sx = 0.0, sy = 0.0, sxy = 0.0, sxx = 0.0;
    bool ok = walk_pairs(history, [&](double timestamp, double metric) {
        if (!(timestamp >= window_start)) return;
        if (kept++ == 0) t0 = timestamp;
        double x = timestamp - t0;
        sx += x;
        sy += metric;
        sxy += x * metric;
        sxx += x * x;
    });
    if (!ok) return nullptr;
    if (kept < 3) return PyFloat_FromDouble(0.0);
    double n = static_cast<double>(kept);
    double mean_x = sx / n;
    double mean_y = sy / n;
    double var_x = sxx - n * (mean_x * mean_x);
    double cov_xy = sxy - n * mean_x * mean_y;
    if (!(std::fabs(var_x) >= 1e-10) || !(std::fabs(mean_y) >= 1e-10)) return PyFloat_FromDouble(0.0);
    double trend = cov_xy / (mean_y * var_x);
    // Overflowing sums or infinite metrics can leave NaN here, even for a flat
    // history such as three metrics of 1e308. A clamp would turn that into a
    // full rise, a full fall or NaN; it says nothing about a direction, so it
    // reads as no trend, like the degenerate fits above.
    if (std::isnan(trend)) trend = 0.0;
    return PyFloat_FromDouble(trend > 1.0 ? 1.0 : trend < -1.0 ? -1.0 : trend);
}

// Sums `key` over three pattern dicts, starting from 0.0 with Python addition.
Ref window_sum(PyObject* const* entries, PyObject* key) noexcept {
    Ref sum = Ref::steal(PyFloat_FromDouble(0.0));
    for (int i = 0; i < 3 && sum; ++i) {
        PyObject* value;
        int found = PyDict_GetItemRef(entries[i], key, &value);
        if (found < 0) return Ref();
        if (found == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
            return Ref();
        }
        Ref held = Ref::steal(value);
        sum = Ref::steal(PyNumber_Add(sum.get(), held.get()));
    }
    return sum;
}

constexpr tarvish::Decimal kChangeThreshold = tarvish::decimal("0.3");
constexpr Signature<2> detect_workload_characteristics_change_sig{
    "detect_workload_characteristics_change", {"pattern_history", opt("change_threshold", kChangeThreshold)}};
PyObject* detect_workload_characteristics_change(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
    PyObject* history = nullptr;
    double threshold = kChangeThreshold.value;
    if (!tarvish::parse(detect_workload_characteristics_change_sig, args, nargs, kwnames, tarvish::ExactList{history},
                        tarvish::Double{threshold}))
        return nullptr;
    if (history == Py_None) return tarvish::raise_no_len(history);
    Py_ssize_t n = PyList_GET_SIZE(history);
    if (n <= 5) return Py_NewRef(state().no_change_result);
    PyObject* keys[3] = {state().k_parallel.get(), state().k_cpu.get(), state().k_memory.get()};

    // The last six entries, oldest first, held for the rest of the call.
    Ref held[6];
    PyObject* entries[6];
    for (int i = 0; i < 6; ++i) {
        // A key comparison in an earlier entry can run code that shortens the
        // list, and so can another thread: a missing entry raises IndexError.
        held[i] = list_item_or_raise(history, n - 6 + i);
        if (!held[i]) return nullptr;
        entries[i] = held[i].get();
        if (entries[i] == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
            return nullptr;
        }
        if (!PyDict_CheckExact(entries[i])) return tarvish::raise_item_type("dict", entries[i]), nullptr;
        for (PyObject* key : keys) {
            int has = PyDict_Contains(entries[i], key);
            if (has < 0) return nullptr;
            if (!has) return Py_NewRef(state().no_change_result);
        }
    }

    // Recent window: the last three; older window: the three before them.
    Ref recent[3], older[3];
    for (int k = 0; k < 3; ++k)
        if (!(recent[k] = window_sum(entries + 3, keys[k]))) return nullptr;
    for (int k = 0; k < 3; ++k)
        if (!(older[k] = window_sum(entries, keys[k]))) return nullptr;

    constexpr double kOneThird = 1.0 / 3.0;
    double change[3];
    bool changed = false;
    for (int k = 0; k < 3; ++k) {
        double r, o;
        if (!tarvish::to_double(recent[k].get(), r) || !tarvish::to_double(older[k].get(), o)) return nullptr;
        change[k] = std::fabs((r - o) * kOneThird);
        changed = changed || change[k] > threshold;
    }
    return Py_BuildValue("(Oddd)", changed ? Py_True : Py_False, change[0], change[1], change[2]);
}

// Counts of names in first-appearance order, for windows up to this size
// searched linearly; larger windows count in a dict.
constexpr Py_ssize_t kSmallWindow = 32;

// The start of the window of the last `window_size` of `n` names: n when it is
// empty. Computed in 64 bits, so that the most negative window size still gives
// an empty window instead of wrapping round to the whole list.
inline Py_ssize_t window_start(Py_ssize_t n, int window_size) noexcept {
    int64_t start = static_cast<int64_t>(n) - window_size;
    return start < 0 ? 0 : start >= n ? n : static_cast<Py_ssize_t>(start);
}

// The name with the highest count in the window of the last `window_size`
// names, when that window holds at most kSmallWindow names; on a tie the first
// to appear. The list is read in one critical section, in which no Python code
// runs (exact str comparisons only), so the names borrowed from it stay alive
// until the result is taken. Otherwise gives null with no error, and the
// larger window in [start, end); a non-str name gives null with it in `bad`.
Ref dominant_small(PyObject* list, int window_size, Py_ssize_t& start, Py_ssize_t& end, Ref& bad) noexcept {
    Ref result;
    Py_BEGIN_CRITICAL_SECTION(list);
    end = PyList_GET_SIZE(list);
    start = window_start(end, window_size);
    if (end - start <= kSmallWindow) {
        PyObject* names[kSmallWindow];
        Py_ssize_t counts[kSmallWindow];
        Py_ssize_t distinct = 0;
        for (Py_ssize_t i = start; i < end; ++i) {
            PyObject* name = PyList_GET_ITEM(list, i);
            if (!PyUnicode_CheckExact(name)) {
                bad = Ref::borrow(name);
                break;
            }
            Py_ssize_t j = 0;
            for (; j < distinct; ++j)
                if (names[j] == name || PyUnicode_Equal(names[j], name) == 1) break;
            if (j == distinct) {
                names[distinct] = name;
                counts[distinct++] = 0;
            }
            ++counts[j];
        }
        PyObject* best = state().v_mixed.get();
        Py_ssize_t best_count = 0;
        for (Py_ssize_t j = 0; j < distinct; ++j)
            if (counts[j] > best_count) {
                best = names[j];
                best_count = counts[j];
            }
        if (!bad) result = Ref::borrow(best);
    }
    Py_END_CRITICAL_SECTION();
    return result;
}

// The same for a larger window, counted in a dict; each name is held by a
// strong reference while it is counted. A list shortened meanwhile ends the window.
PyObject* dominant_large(PyObject* list, Py_ssize_t start, Py_ssize_t end) noexcept {
    Ref counts = Ref::steal(PyDict_New());
    if (!counts) return nullptr;
    for (Py_ssize_t i = start; i < end; ++i) {
        Ref name = list_item(list, i);
        if (!name) break;
        if (!PyUnicode_CheckExact(name.get())) return tarvish::raise_item_type("str", name.get()), nullptr;
        PyObject* old;
        if (PyDict_GetItemRef(counts.get(), name.get(), &old) < 0) return nullptr;
        Ref previous = Ref::steal(old);
        long long c = previous ? PyLong_AsLongLong(previous.get()) : 0;
        Ref next = tarvish::box(c + 1);
        if (!next || PyDict_SetItem(counts.get(), name.get(), next.get()) < 0) return nullptr;
    }
    PyObject *key, *value, *best = nullptr;
    long long best_count = 0;
    Py_ssize_t pos = 0;
    while (PyDict_Next(counts.get(), &pos, &key, &value)) {
        long long c = PyLong_AsLongLong(value);
        if (c > best_count) {
            best = key;
            best_count = c;
        }
    }
    return Py_NewRef(best ? best : state().v_mixed.get());
}

constexpr int kWindowSize = 5;
constexpr Signature<2> detect_dominant_pattern_sig{"detect_dominant_pattern",
                                                   {"patterns", opt<kWindowSize>("window_size")}};
PyObject* detect_dominant_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* patterns = Py_None;  // bound by parse; never null, or gcc warns of a null list in the inlined scan
    int window_size = kWindowSize;
    if (!tarvish::parse(detect_dominant_pattern_sig, args, nargs, kwnames, tarvish::ExactList{patterns},
                        tarvish::CInt{window_size}))
        return nullptr;
    if (patterns == Py_None) return tarvish::raise_no_len(patterns);
    Py_ssize_t start, end;
    Ref bad;
    if (Ref best = dominant_small(patterns, window_size, start, end, bad)) return best.release();
    if (bad) return tarvish::raise_item_type("str", bad.get()), nullptr;
    return dominant_large(patterns, start, end);
}

// ---------------------------------------------------------------------------
// Gating, urgency, pool score and resource prediction.

constexpr tarvish::Decimal kMinImprovementRatio = tarvish::decimal("1.1");
constexpr tarvish::Decimal kMinConfidence = tarvish::decimal("0.6");
constexpr Signature<8> is_adaptation_beneficial_sig{
    "is_adaptation_beneficial",
    {"current_pool", "recommended_pool", "recommendation_score", "recommendation_confidence",
     "current_performance_estimate", "trigger_code", opt("min_improvement_ratio", kMinImprovementRatio),
     opt("min_confidence", kMinConfidence)}};
PyObject* is_adaptation_beneficial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject *current = nullptr, *recommended = nullptr;
    double score = 0.0, confidence = 0.0, estimate = 0.0, min_ratio = kMinImprovementRatio.value,
           min_confidence = kMinConfidence.value;
    int trigger = 0;
    if (!tarvish::parse(is_adaptation_beneficial_sig, args, nargs, kwnames, tarvish::ExactStr{current},
                        tarvish::ExactStr{recommended}, tarvish::Double{score}, tarvish::Double{confidence},
                        tarvish::Double{estimate}, tarvish::CInt{trigger}, tarvish::Double{min_ratio},
                        tarvish::Double{min_confidence}))
        return nullptr;
    if (current == recommended) Py_RETURN_FALSE;
    if (current != Py_None && recommended != Py_None) {
        int same = PyUnicode_Equal(current, recommended);
        if (same < 0) return nullptr;
        if (same) Py_RETURN_FALSE;
    }
    // A NaN confidence (or minimum) never passes.
    if (!(confidence >= min_confidence)) Py_RETURN_FALSE;
    double required = trigger == 0 ? 0.5 : estimate > 0.0 ? min_ratio * estimate : 0.6;
    return PyBool_FromLong(score > required);
}

constexpr Signature<3> should_skip_adaptation_sig{"should_skip_adaptation",
                                                  {"last_adaptation_time", "current_time", "min_interval"}};
PyObject* should_skip_adaptation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double last = 0.0, now = 0.0, interval = 0.0;
    if (!tarvish::parse(should_skip_adaptation_sig, args, nargs, kwnames, tarvish::Double{last}, tarvish::Double{now},
                        tarvish::Double{interval}))
        return nullptr;
    return PyBool_FromLong(!(now - last >= interval));
}

constexpr tarvish::Decimal kPressureThreshold = tarvish::decimal("0.8");
constexpr Signature<3> detect_memory_pressure_sig{
    "detect_memory_pressure", {"current_usage", "peak_usage", opt("pressure_threshold", kPressureThreshold)}};
PyObject* detect_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double current = 0.0, peak = 0.0, threshold = kPressureThreshold.value;
    if (!tarvish::parse(detect_memory_pressure_sig, args, nargs, kwnames, tarvish::Double{current},
                        tarvish::Double{peak}, tarvish::Double{threshold}))
        return nullptr;
    return PyBool_FromLong(peak > 0.0 && current >= 0.0 && current / peak > threshold);
}

constexpr tarvish::Decimal kFragmentationThreshold = tarvish::decimal("0.3");
constexpr Signature<2> detect_fragmentation_threshold_sig{
    "detect_fragmentation_threshold", {"fragmentation_ratio", opt("threshold", kFragmentationThreshold)}};
PyObject* detect_fragmentation_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    double ratio = 0.0, threshold = kFragmentationThreshold.value;
    if (!tarvish::parse(detect_fragmentation_threshold_sig, args, nargs, kwnames, tarvish::Double{ratio},
                        tarvish::Double{threshold}))
        return nullptr;
    return PyBool_FromLong(ratio >= 0.0 && ratio > threshold);
}

// A ratio capped at 1.0 that counts only when positive (NaN counts as nothing).
inline double capped_term(double v) noexcept { return v > 1.0 ? 1.0 : v > 0.0 ? v : 0.0; }

inline double unit_clamp(double v) noexcept { return v > 1.0 ? 1.0 : v < 0.0 ? 0.0 : v; }

constexpr Signature<4> calculate_adaptation_urgency_sig{
    "calculate_adaptation_urgency",
    {"performance_degradation", "memory_pressure", "fragmentation_ratio", "workload_changed"}};
PyObject* calculate_adaptation_urgency(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double degradation = 0.0, pressure = 0.0, fragmentation = 0.0;
    bool changed = false;
    if (!tarvish::parse(calculate_adaptation_urgency_sig, args, nargs, kwnames, tarvish::Double{degradation},
                        tarvish::Double{pressure}, tarvish::Double{fragmentation}, tarvish::Flag{changed}))
        return nullptr;
    double urgency = 0.3 * capped_term(pressure) + 0.4 * capped_term(degradation);
    urgency += 0.15 * capped_term(fragmentation);
    if (changed) urgency += 0.15;
    return PyFloat_FromDouble(unit_clamp(urgency));
}

constexpr Signature<4> score_pool_recommendation_sig{
    "score_pool_recommendation", {"workload_fit", "memory_fit", "thread_count_fit", "historical_success_rate"}};
PyObject* score_pool_recommendation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    double workload = 0.0, memory = 0.0, threads = 0.0, success = 0.0;
    if (!tarvish::parse(score_pool_recommendation_sig, args, nargs, kwnames, tarvish::Double{workload},
                        tarvish::Double{memory}, tarvish::Double{threads}, tarvish::Double{success}))
        return nullptr;
    double score = (0.3 * capped_term(memory) + 0.2 * capped_term(threads)) +
                   (0.35 * capped_term(workload) + 0.15 * capped_term(success));
    return PyFloat_FromDouble(unit_clamp(score));
}

// Truncates toward zero to a signed 32-bit value, saturating at its limits; NaN gives 0.
inline int32_t saturate_i32(double v) noexcept {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Item 0 of list entry `i`, by subscription, as a float. An entry gone since
// the length was read (shortened by another thread or by a conversion) raises IndexError.
bool timestamp_of(PyObject* list, Py_ssize_t i, double& out) noexcept {
    Ref entry = list_item_or_raise(list, i);
    if (!entry) return false;
    Ref item = Ref::steal(PyObject_GetItem(entry.get(), tarvish::zero()));
    return item && tarvish::to_double(item.get(), out);
}

constexpr Signature<2> predict_resource_requirements_sig{"predict_resource_requirements",
                                                         {"allocation_history", "prediction_horizon_seconds"}};
PyObject* predict_resource_requirements(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    PyObject* history = nullptr;
    double horizon = 0.0;
    if (!tarvish::parse(predict_resource_requirements_sig, args, nargs, kwnames, tarvish::ExactList{history},
                        tarvish::Double{horizon}))
        return nullptr;
    if (history == Py_None) return tarvish::raise_no_len(history);
    Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < 10) return Py_NewRef(state().no_prediction_result);

    double first_time, last_time;
    if (!timestamp_of(history, 0, first_time) || !timestamp_of(history, n - 1, last_time)) return nullptr;
    double span = last_time - first_time;
    if (!(span > 0.0)) return Py_NewRef(state().no_prediction_result);

    double total = 0.0;
    if (!walk_pairs(history, [&](double, double size) { total += size; })) return nullptr;

    double count = static_cast<double>(n);
    int32_t allocations = saturate_i32(horizon * count / span);
    int32_t bytes = saturate_i32(total * static_cast<double>(allocations) / count);
    double confidence = count * 0.01 >= 1.0 ? 0.8 : count * 0.008;
    return Py_BuildValue("(iid)", static_cast<int>(allocations), static_cast<int>(bytes), confidence);
}

// ---------------------------------------------------------------------------
// Module.

PyMethodDef halvard_functions[] = {
    tarvish::function<detect_performance_degradation, detect_performance_degradation_sig,
                      "Detect if performance has degraded significantly.">(),
    tarvish::function<calculate_performance_trend, calculate_performance_trend_sig,
                      "Calculate performance trend over a time window.">(),
    tarvish::function<detect_workload_characteristics_change, detect_workload_characteristics_change_sig,
                      "Detect significant changes in workload characteristics.">(),
    tarvish::function<detect_dominant_pattern, detect_dominant_pattern_sig,
                      "Detect the dominant pattern in a list of pattern names.">(),
    tarvish::function<is_adaptation_beneficial, is_adaptation_beneficial_sig,
                      "Determine if pool adaptation would be beneficial.">(),
    tarvish::function<should_skip_adaptation, should_skip_adaptation_sig,
                      "Check if adaptation should be skipped due to timing.">(),
    tarvish::function<detect_memory_pressure, detect_memory_pressure_sig, "Detect memory pressure conditions.">(),
    tarvish::function<detect_fragmentation_threshold, detect_fragmentation_threshold_sig,
                      "Check if fragmentation exceeds threshold.">(),
    tarvish::function<calculate_adaptation_urgency, calculate_adaptation_urgency_sig,
                      "Calculate urgency score for adaptation.">(),
    tarvish::function<score_pool_recommendation, score_pool_recommendation_sig,
                      "Score a pool recommendation based on multiple factors.">(),
    tarvish::function<predict_resource_requirements, predict_resource_requirements_sig,
                      "Predict future resource requirements based on allocation history.">(),
    {nullptr, nullptr, 0, nullptr},
};

bool halvard_exec(PyObject* module) noexcept {
    halvard_state& st = state();
    if (!st.no_change_result && !(st.no_change_result = Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0))) return false;
    if (!st.no_prediction_result && !(st.no_prediction_result = Py_BuildValue("(iid)", 0, 0, 0.0))) return false;
    if (!tarvish::bind_logger(module)) return false;
    return tarvish::log_line(module, "info", "Tarvish Halvard Cython module loaded - IP protected");
}

PyModuleDef halvard_def{
    PyModuleDef_HEAD_INIT,
    "halvard",
    "Decision arithmetic of the pool orchestrator.\n"
    "\n"
    "Stateless functions over the histories the orchestrator keeps: performance\n"
    "degradation and trend, workload change, the dominant pattern, and the gating,\n"
    "urgency, pool score and resource prediction built on them.",
    0,
    halvard_functions,
    tarvish::ModuleSlots<state, halvard_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_halvard() { return PyModuleDef_Init(&halvard_def); }
