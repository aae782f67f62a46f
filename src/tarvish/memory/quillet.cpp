// tarvish.memory.quillet: size classes, the bucket allocator of free block
// offsets, allocation statistics and the packed 16-byte slab header.
//
// Nothing here touches real memory: sizes and offsets are plain integers that
// the package's pool and slab allocator choose.
//
// Integer edge cases, decided once for the whole module:
// - Rounding formulas (fast_align_size, fast_get_bucket_size and the
//   allocator's bucket size) work in signed 32-bit arithmetic and wrap modulo
//   2^32 explicitly, so fast_align_size(2**31 - 1, 8) is -2**31. The allocator
//   treats any bucket size below 1 as "no bucket".
// - Fit tests (fast_can_fit_aligned and the best-fit search) compare exact
//   64-bit sums, and round the offset exactly for a positive alignment: an
//   offset or size near the 32-bit limit can never wrap into a false "fits"
//   (or a false "does not fit"). An alignment of 0 or below is not validated
//   and keeps the 32-bit rounding formula.
// - A size-class step of 0 or below raises ValueError "Bucket size step must
//   be positive" (fast_get_bucket_size and the FastBucketAllocator
//   constructor); the rounding never divides by it.
// - A negative object index addresses no object, exactly like an index of 64
//   or more: it is never free, and allocating or freeing it changes only the
//   flags and the generation. A negative objects_per_slab means no objects:
//   its all-free mask is 0.
#include "tarvish/tarvish.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

namespace {

using tarvish::Ref;
using tarvish::Signature;
using tarvish::Str;
using tarvish::opt;

// The locks are entered as with-statements whose methods are read as the
// lock's attributes; a failed section's exception propagates whatever __exit__ returns.
using Section = tarvish::Section<tarvish::LockPolicy{tarvish::Lookup::attribute, tarvish::Suppress::never}>;

// The module's process-wide state: its guard, its types and its interned names.
struct quillet_state {
    tarvish::ModuleGuard guard{"quillet"};
    PyTypeObject* FastSlabHeaderOps_type = nullptr;
    PyTypeObject* FastBucketAllocator_type = nullptr;
    PyTypeObject* FastStatsCollector_type = nullptr;

    Str s_init_buckets{"_init_buckets"}, s_struct{"struct"}, s_pack{"pack"}, s_unpack{"unpack"},
        s_header_format{"<BBLHQ"};
};

quillet_state module_state;  // built when the library loads
quillet_state& state() noexcept { return module_state; }

constexpr const char* kStepMessage = "Bucket size step must be positive";

// ---------------------------------------------------------------------------
// 32-bit arithmetic with explicit wrap-around.

constexpr int32_t wrap32(int64_t v) noexcept { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// (size + alignment - 1) AND (-alignment), wrapped to 32 bits.
constexpr int32_t align_up32(int32_t size, int32_t alignment) noexcept {
    return wrap32((static_cast<int64_t>(size) + alignment - 1) & -static_cast<int64_t>(alignment));
}

// ((size + step - 1) / step) * step, / truncating toward zero; step >= 1.
constexpr int32_t round_to_step32(int32_t size, int32_t step) noexcept {
    int32_t t = wrap32(static_cast<int64_t>(size) + step - 1);
    return wrap32(static_cast<int64_t>(t / step) * step);
}

// The aligned offset for fit tests. A positive alignment rounds exactly, so an
// offset near the 32-bit limit cannot wrap to a negative "aligned" offset in
// front of its block; any other alignment (not validated) keeps the 32-bit
// formula, whose result always lies in the 32-bit range.
constexpr int64_t fit_align(int32_t offset, int32_t alignment) noexcept {
    if (alignment > 0) return (static_cast<int64_t>(offset) + alignment - 1) & -static_cast<int64_t>(alignment);
    return align_up32(offset, alignment);
}

// The objects' locks are threading.Lock() made through the module's
// `threading` global (a missing one raises the module attribute's
// AttributeError) and entered through their context-manager protocol, their
// methods looked up as attributes. A lock is released whether its section
// succeeded or raised; a raising section's exception reaches __exit__ and then
// propagates, whatever __exit__ returns. No section runs Python code: the
// buckets hold only ints this module made.

// The `struct` module, as `import struct` inside a function finds it.
Ref import_struct() noexcept {
    PyObject* name = state().s_struct.get();
    Ref m = Ref::steal(PyImport_GetModule(name));
    if (m && m.get() != Py_None) return m;
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyImport_Import(name));
}

// ---------------------------------------------------------------------------
// Module functions: alignment and size classes.

constexpr Signature<2> fast_align_size_sig{"fast_align_size", {"size", "alignment"}};
PyObject* fast_align_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    int size = 0, alignment = 0;
    if (!tarvish::parse(fast_align_size_sig, args, nargs, kwnames, tarvish::CInt{size}, tarvish::CInt{alignment}))
        return nullptr;
    if (alignment < 1 || (alignment & (alignment - 1)) != 0)
        return tarvish::raise(PyExc_ValueError, "Alignment must be a power of 2");
    return PyLong_FromLong(align_up32(size, alignment));
}

// The size classes' defaults: a step of 8, small blocks up to 256 and medium ones up to 4096 bytes.
constexpr int32_t kBucketSizeStep = 8, kSmallBlockMax = 256, kMediumBlockMax = 4096;

constexpr Signature<2> fast_get_bucket_size_sig{"fast_get_bucket_size", {"size", opt<kBucketSizeStep>("step")}};
PyObject* fast_get_bucket_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    int size = 0, step = kBucketSizeStep;
    if (!tarvish::parse(fast_get_bucket_size_sig, args, nargs, kwnames, tarvish::CInt{size}, tarvish::CInt{step}))
        return nullptr;
    if (step <= 0) return tarvish::raise(PyExc_ValueError, kStepMessage);
    return PyLong_FromLong(round_to_step32(size, step));
}

constexpr Signature<4> fast_can_fit_aligned_sig{"fast_can_fit_aligned",
                                                {"block_offset", "block_size", "alloc_size", "alignment"}};
PyObject* fast_can_fit_aligned(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    int block_offset = 0, block_size = 0, alloc_size = 0, alignment = 0;
    if (!tarvish::parse(fast_can_fit_aligned_sig, args, nargs, kwnames, tarvish::CInt{block_offset},
                        tarvish::CInt{block_size}, tarvish::CInt{alloc_size}, tarvish::CInt{alignment}))
        return nullptr;
    // The end is exclusive: an allocation ending exactly at the block's end does not fit.
    int64_t aligned = fit_align(block_offset, alignment);
    return PyBool_FromLong(aligned + alloc_size < static_cast<int64_t>(block_offset) + block_size);
}

// ---------------------------------------------------------------------------
// FastBucketAllocator: free block offsets in per-size-class buckets. The
// `buckets` dict maps each bucket size to its list of offsets (a stack). The
// operations reach the lists through the index, the same lists sorted by size,
// which `_init_buckets` rebuilds whenever it replaces them; no other code
// changes the dict, so the two always agree.
//
// _init_buckets takes no lock (the object's lock guards the three bucket
// operations only), so it may replace the index while an operation works on
// it. An index is therefore never changed once built, and shared: inside the
// object's critical section, where _init_buckets swaps in the new one, an
// operation takes what it works on and holds it until it is done, the current
// index (the best-fit search) or the one list it needs (add and remove), so
// that nothing can be freed under it. A list's items are read and removed
// inside the list's own critical section.

struct Bucket {
    int32_t size;
    Ref offsets;  // the dict's list for this size
};
using BucketIndex = std::vector<Bucket>;

// The three sizes are set by tp_new (their defaults are its parameters').
struct FastBucketAllocatorState {
    int32_t bucket_size_step = 0;
    int32_t small_block_max = 0;
    int32_t medium_block_max = 0;
    Ref buckets;
    Ref lock;
    tarvish::Owner owner;
    std::shared_ptr<const BucketIndex> index;  // read and replaced inside the object's critical section
};

struct FastBucketAllocator {
    PyObject_HEAD
    FastBucketAllocatorState st;
};

// The size class of `size`, -1 above medium_block_max; results below 1 mean no bucket.
int32_t get_bucket_size_fast(const FastBucketAllocatorState& a, int32_t size) noexcept {
    if (size <= a.small_block_max) return round_to_step32(size, a.bucket_size_step);
    if (size <= a.medium_block_max) return round_to_step32(size, a.bucket_size_step);
    return -1;
}

// The current index (none before the first _init_buckets), held for an operation's use.
std::shared_ptr<const BucketIndex> current_index(PyObject* self) noexcept {
    std::shared_ptr<const BucketIndex> index;
    Py_BEGIN_CRITICAL_SECTION(self);
    index = tarvish::state_of<FastBucketAllocator>(self).index;
    Py_END_CRITICAL_SECTION();
    return index;
}

// The first bucket of at least `size` (the end when there is none).
BucketIndex::const_iterator first_bucket(const BucketIndex& index, int32_t size) noexcept {
    return std::lower_bound(index.begin(), index.end(), size, [](const Bucket& b, int32_t s) { return b.size < s; });
}

// Where the bucket of exactly `size` stands in an index, which _init_buckets
// lays out from the object's three sizes (fixed by tp_new): the first range,
// then the second. -1 when neither range has that size.
int64_t bucket_position(const FastBucketAllocatorState& a, int32_t size) noexcept {
    const int64_t step = a.bucket_size_step, small = a.small_block_max, medium = a.medium_block_max, s = size;
    if (s >= step && s <= small) return (s - step) % step ? -1 : (s - step) / step;
    if (s < step + small || s > medium || (s - step - small) % step) return -1;
    const int64_t n1 = small >= step ? (small - step) / step + 1 : 0;
    return n1 + (s - step - small) / step;
}

// The list of the bucket of exactly `size` in the current index, held for an
// operation's use; null when there is none.
Ref bucket_list(PyObject* self, int32_t size) noexcept {
    const FastBucketAllocatorState& a = tarvish::state_of<FastBucketAllocator>(self);
    const int64_t at = bucket_position(a, size);
    Ref list;
    Py_BEGIN_CRITICAL_SECTION(self);
    const BucketIndex* index = a.index.get();
    if (index && at >= 0 && at < static_cast<int64_t>(index->size())) {
        const Bucket& bucket = (*index)[static_cast<std::size_t>(at)];
        assert(bucket.size == size);
        list = Ref::borrow(bucket.offsets.get());
    }
    Py_END_CRITICAL_SECTION();
    return list;
}

// Pops the last offset of `list` into `out` when `fits(offset)` is 1: 1 when
// popped, 0 when left in place or the list is empty, -1 with an error set.
// Inside the list's critical section, where its items may be read directly.
template <class Fits>
int pop_last_if(PyObject* list, Ref& out, Fits fits) noexcept {
    int r = 0;
    Py_BEGIN_CRITICAL_SECTION(list);
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (n > 0) {
        PyObject* last = PyList_GET_ITEM(list, n - 1);
        r = fits(last);
        if (r > 0) {
            out = Ref::borrow(last);
            if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) r = -1;
        }
    }
    Py_END_CRITICAL_SECTION();
    return r;
}

constexpr Signature<0> FastBucketAllocator_init_buckets_sig{"_init_buckets", {}};
PyObject* FastBucketAllocator_init_buckets(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastBucketAllocator_init_buckets_sig, args, nargs, kwnames)) return nullptr;
    FastBucketAllocatorState& a = tarvish::state_of<FastBucketAllocator>(self);
    const int64_t step = a.bucket_size_step, small = a.small_block_max, medium = a.medium_block_max;
    if (step <= 0) return tarvish::raise(PyExc_ValueError, kStepMessage);
    // range(step, small + 1, step), then range(step + small, medium + 1, step), in exact arithmetic.
    const int64_t n1 = small >= step ? (small - step) / step + 1 : 0;
    const int64_t n2 = medium >= step + small ? (medium - step - small) / step + 1 : 0;
    std::shared_ptr<BucketIndex> fresh;
    try {
        fresh = std::make_shared<BucketIndex>();
        fresh->reserve(static_cast<std::size_t>(n1 + n2));
    } catch (...) {
        return PyErr_NoMemory();
    }
    auto add = [&fresh](int64_t size) noexcept {
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return false;
        fresh->push_back(Bucket{static_cast<int32_t>(size), std::move(list)});  // capacity reserved
        return true;
    };
    for (int64_t i = 0; i < n1; ++i)
        if (!add(step + i * step)) return nullptr;
    for (int64_t i = 0; i < n2; ++i)
        if (!add(step + small + i * step)) return nullptr;
    // Both ranges ascend and the second starts above the first's end, so the index is sorted.
    std::shared_ptr<const BucketIndex> index = std::move(fresh);
    bool ok = true;
    Py_BEGIN_CRITICAL_SECTION(self);
    for (const Bucket& b : *index) {
        Ref key = tarvish::box(b.size);
        if (!key || PyDict_SetItem(a.buckets.get(), key.get(), b.offsets.get()) < 0) {
            ok = false;
            break;
        }
    }
    if (ok) a.index.swap(index);
    Py_END_CRITICAL_SECTION();
    if (!ok) return nullptr;
    index.reset();  // the replaced index, released after the section (operations may still hold it)
    Py_RETURN_NONE;
}

constexpr Signature<3> FastBucketAllocator_new_sig{
    "__init__",
    {opt<kBucketSizeStep>("bucket_size_step"), opt<kSmallBlockMax>("small_block_max"),
     opt<kMediumBlockMax>("medium_block_max")}};
PyObject* FastBucketAllocator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    int32_t step = kBucketSizeStep, small = kSmallBlockMax, medium = kMediumBlockMax;
    if (!tarvish::parse(FastBucketAllocator_new_sig, args, kwargs, tarvish::I32{step}, tarvish::I32{small},
                        tarvish::I32{medium}))
        return nullptr;
    if (step <= 0) return tarvish::raise(PyExc_ValueError, kStepMessage);
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FastBucketAllocatorState& a = tarvish::construct<FastBucketAllocator>(self.get());
    a.bucket_size_step = step;
    a.small_block_max = small;
    a.medium_block_max = medium;
    a.buckets = Ref::steal(PyDict_New());
    if (!a.buckets) return nullptr;
    a.lock = tarvish::new_lock(state().guard.module, tarvish::Missing::attribute_error);
    if (!a.lock) return nullptr;
    if (!tarvish::call_method(self.get(), state().s_init_buckets)) return nullptr;
    return self.release();
}

constexpr Signature<2> FastBucketAllocator_add_to_bucket_sig{"add_to_bucket", {"offset", "size"}};
PyObject* FastBucketAllocator_add_to_bucket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept {
    int32_t offset = 0, size = 0;
    if (!tarvish::parse(FastBucketAllocator_add_to_bucket_sig, args, nargs, kwnames, tarvish::I32{offset},
                        tarvish::I32{size}))
        return nullptr;
    FastBucketAllocatorState& a = tarvish::state_of<FastBucketAllocator>(self);
    int32_t b = get_bucket_size_fast(a, size);
    // Only a block of exactly a bucket size is accepted; nothing is rounded.
    if (b < 1 || b != size) Py_RETURN_FALSE;
    Ref item = tarvish::box(offset);
    if (!item) return nullptr;
    Section section{a.lock.get(), a.owner, "FastBucketAllocator.add_to_bucket"};
    if (!section) return nullptr;
    Ref list = bucket_list(self, b);
    if (list && PyList_Append(list.get(), item.get()) < 0) return nullptr;
    if (!section.leave()) return nullptr;
    return PyBool_FromLong(bool(list));
}

constexpr Signature<1> FastBucketAllocator_remove_from_bucket_sig{"remove_from_bucket", {"size"}};
PyObject* FastBucketAllocator_remove_from_bucket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
    int32_t size = 0;
    if (!tarvish::parse(FastBucketAllocator_remove_from_bucket_sig, args, nargs, kwnames, tarvish::I32{size}))
        return nullptr;
    FastBucketAllocatorState& a = tarvish::state_of<FastBucketAllocator>(self);
    int32_t b = get_bucket_size_fast(a, size);
    if (b <= 0) Py_RETURN_NONE;
    Section section{a.lock.get(), a.owner, "FastBucketAllocator.remove_from_bucket"};
    if (!section) return nullptr;
    Ref list = bucket_list(self, b);
    Ref offset;
    int r = list ? pop_last_if(list.get(), offset, [](PyObject*) noexcept { return 1; }) : 0;
    if (r < 0 || !section.leave()) return nullptr;
    return r ? offset.release() : Py_NewRef(Py_None);
}

constexpr Signature<2> FastBucketAllocator_find_best_fit_bucket_sig{"find_best_fit_bucket", {"size", "alignment"}};
PyObject* FastBucketAllocator_find_best_fit_bucket(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) noexcept {
    int32_t size = 0, alignment = 0;
    if (!tarvish::parse(FastBucketAllocator_find_best_fit_bucket_sig, args, nargs, kwnames, tarvish::I32{size},
                        tarvish::I32{alignment}))
        return nullptr;
    FastBucketAllocatorState& a = tarvish::state_of<FastBucketAllocator>(self);
    int32_t b = get_bucket_size_fast(a, size);
    if (b <= 0) Py_RETURN_NONE;
    Section section{a.lock.get(), a.owner, "FastBucketAllocator.find_best_fit_bucket"};
    if (!section) return nullptr;
    // Tries the last offset of one bucket: 1 taken, 0 left in place, -1 error.
    // A block that does not fit stays the last of its list, exactly where
    // popping it and appending it back would leave it.
    auto try_bucket = [&](const Bucket& bucket, Ref& out) noexcept {
        return pop_last_if(bucket.offsets.get(), out, [&](PyObject* last) noexcept {
            // Offsets enter only through add_to_bucket, as 32-bit values.
            long long o = PyLong_AsLongLong(last);
            if (o == -1 && PyErr_Occurred()) return -1;
            const int32_t o32 = static_cast<int32_t>(o);
            return fit_align(o32, alignment) + size > static_cast<int64_t>(o32) + bucket.size ? 0 : 1;
        });
    };
    Ref found;
    std::shared_ptr<const BucketIndex> index = current_index(self);
    // The exact bucket first, then every larger one in ascending order.
    int r = 0;
    if (index)
        for (auto it = first_bucket(*index, b); r == 0 && it != index->end(); ++it) r = try_bucket(*it, found);
    if (r < 0 || !section.leave()) return nullptr;
    return r ? found.release() : Py_NewRef(Py_None);
}

PyMethodDef FastBucketAllocator_methods[] = {
    tarvish::method<FastBucketAllocator_init_buckets, FastBucketAllocator_init_buckets_sig,
                    "Initialize size-class buckets.">(),
    tarvish::method<FastBucketAllocator_add_to_bucket, FastBucketAllocator_add_to_bucket_sig,
                    "Add block to appropriate bucket.">(),
    tarvish::method<FastBucketAllocator_remove_from_bucket, FastBucketAllocator_remove_from_bucket_sig,
                    "Remove block from appropriate bucket.">(),
    tarvish::method<FastBucketAllocator_find_best_fit_bucket, FastBucketAllocator_find_best_fit_bucket_sig,
                    "Find best fit bucket for allocation.">(),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FastBucketAllocator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FastBucketAllocator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::dealloc<FastBucketAllocator>)},
    {Py_tp_methods, FastBucketAllocator_methods},
    {Py_tp_doc, tarvish::type_doc<FastBucketAllocator_new_sig,
                                  "Free block offsets kept in per-size-class buckets, with best-fit search.",
                                  "FastBucketAllocator">()},
    {0, nullptr},
};

PyType_Spec FastBucketAllocator_spec{"tarvish.memory.quillet.FastBucketAllocator", sizeof(FastBucketAllocator), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, FastBucketAllocator_slots};

// ---------------------------------------------------------------------------
// FastStatsCollector: allocation counters guarded by a threading.Lock.

struct FastStatsCollectorState {
    uint64_t total_allocations = 0;
    uint64_t total_deallocations = 0;
    uint64_t bucketed_allocations = 0;
    uint64_t fallback_allocations = 0;
    uint64_t alignment_padding_bytes = 0;  // a signed sum, wrapping modulo 2^64
    Ref lock;
    tarvish::Owner owner;
};

struct FastStatsCollector {
    PyObject_HEAD
    FastStatsCollectorState st;
};

// The counting itself.
void record_allocation_lock_held(FastStatsCollectorState& s, int /*size*/, int padding, bool is_bucketed) noexcept {
    assert(s.owner.held_here());
    s.total_allocations += 1;
    s.alignment_padding_bytes += static_cast<uint64_t>(static_cast<int64_t>(padding));
    if (is_bucketed) s.bucketed_allocations += 1;
    else s.fallback_allocations += 1;
}

void record_deallocation_lock_held(FastStatsCollectorState& s) noexcept {
    assert(s.owner.held_here());
    s.total_deallocations += 1;
}

constexpr Signature<0> FastStatsCollector_new_sig{"__init__", {}};
PyObject* FastStatsCollector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    if (!tarvish::parse(FastStatsCollector_new_sig, args, kwargs)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FastStatsCollectorState& s = tarvish::construct<FastStatsCollector>(self.get());
    s.lock = tarvish::new_lock(state().guard.module, tarvish::Missing::attribute_error);
    if (!s.lock) return nullptr;
    return self.release();
}

constexpr Signature<3> FastStatsCollector_py_record_allocation_sig{"py_record_allocation",
                                                                   {"size", "padding", "is_bucketed"}};
PyObject* FastStatsCollector_py_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) noexcept {
    int size = 0, padding = 0;
    bool is_bucketed = false;
    if (!tarvish::parse(FastStatsCollector_py_record_allocation_sig, args, nargs, kwnames, tarvish::CInt{size},
                        tarvish::CInt{padding}, tarvish::Flag{is_bucketed}))
        return nullptr;
    FastStatsCollectorState& s = tarvish::state_of<FastStatsCollector>(self);
    Section section{s.lock.get(), s.owner, "FastStatsCollector.py_record_allocation"};
    if (!section) return nullptr;
    record_allocation_lock_held(s, size, padding, is_bucketed);
    if (!section.leave()) return nullptr;
    Py_RETURN_NONE;
}

constexpr Signature<0> FastStatsCollector_py_record_deallocation_sig{"py_record_deallocation", {}};
PyObject* FastStatsCollector_py_record_deallocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastStatsCollector_py_record_deallocation_sig, args, nargs, kwnames)) return nullptr;
    FastStatsCollectorState& s = tarvish::state_of<FastStatsCollector>(self);
    Section section{s.lock.get(), s.owner, "FastStatsCollector.py_record_deallocation"};
    if (!section) return nullptr;
    record_deallocation_lock_held(s);
    if (!section.leave()) return nullptr;
    Py_RETURN_NONE;
}

// "66.7%": the bucketed share of all allocations, in percent with one decimal.
Ref format_ratio(PyObject* bucketed, PyObject* total, bool any) noexcept {
    double percent = 0.0;
    if (any) {
        // True division of the ints, as exact as the interpreter's, then x 100.
        Ref ratio = Ref::steal(PyNumber_TrueDivide(bucketed, total));
        if (!ratio) return Ref();
        percent = PyFloat_AsDouble(ratio.get()) * 100.0;
        if (percent == -100.0 && PyErr_Occurred()) return Ref();
    }
    return tarvish::percent_text(percent);
}

constexpr Signature<0> FastStatsCollector_get_stats_sig{"get_stats", {}};
PyObject* FastStatsCollector_get_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastStatsCollector_get_stats_sig, args, nargs, kwnames)) return nullptr;
    FastStatsCollectorState& s = tarvish::state_of<FastStatsCollector>(self);
    Section section{s.lock.get(), s.owner, "FastStatsCollector.get_stats"};
    if (!section) return nullptr;
    const uint64_t snapshot[5] = {s.total_allocations, s.total_deallocations, s.bucketed_allocations,
                                  s.fallback_allocations, s.alignment_padding_bytes};
    if (!section.leave()) return nullptr;
    Ref values[5];
    for (int i = 0; i < 5; ++i)
        if (!(values[i] = tarvish::box(static_cast<unsigned long long>(snapshot[i])))) return nullptr;
    Ref ratio = format_ratio(values[2].get(), values[0].get(), snapshot[0] > 0);
    if (!ratio) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const char* keys[] = {"total_allocations", "total_deallocations", "bucketed_allocations", "fallback_allocations"};
    for (int i = 0; i < 4; ++i)
        if (PyDict_SetItemString(dict.get(), keys[i], values[i].get()) < 0) return nullptr;
    if (PyDict_SetItemString(dict.get(), "bucketed_allocation_ratio", ratio.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "alignment_padding_bytes", values[4].get()) < 0)
        return nullptr;
    return dict.release();
}

constexpr Signature<0> FastStatsCollector_reset_stats_sig{"reset_stats", {}};
PyObject* FastStatsCollector_reset_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastStatsCollector_reset_stats_sig, args, nargs, kwnames)) return nullptr;
    FastStatsCollectorState& s = tarvish::state_of<FastStatsCollector>(self);
    Section section{s.lock.get(), s.owner, "FastStatsCollector.reset_stats"};
    if (!section) return nullptr;
    s.total_allocations = s.total_deallocations = s.bucketed_allocations = 0;
    s.fallback_allocations = s.alignment_padding_bytes = 0;
    if (!section.leave()) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef FastStatsCollector_methods[] = {
    tarvish::method<FastStatsCollector_py_record_allocation, FastStatsCollector_py_record_allocation_sig,
                    "Record allocation statistics (Python interface).">(),
    tarvish::method<FastStatsCollector_py_record_deallocation, FastStatsCollector_py_record_deallocation_sig,
                    "Record deallocation statistics (Python interface).">(),
    tarvish::method<FastStatsCollector_get_stats, FastStatsCollector_get_stats_sig, "Get statistics dictionary.">(),
    tarvish::method<FastStatsCollector_reset_stats, FastStatsCollector_reset_stats_sig, "Reset all statistics.">(),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FastStatsCollector_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FastStatsCollector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::dealloc<FastStatsCollector>)},
    {Py_tp_methods, FastStatsCollector_methods},
    {Py_tp_doc,
     tarvish::type_doc<FastStatsCollector_new_sig,
                       "Allocation counters (bucketed, fallback, padding) guarded by a lock.", "FastStatsCollector">()},
    {0, nullptr},
};

PyType_Spec FastStatsCollector_spec{"tarvish.memory.quillet.FastStatsCollector", sizeof(FastStatsCollector), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, FastStatsCollector_slots};

// ---------------------------------------------------------------------------
// The slab header: a packed 16-byte record, its CRC-16 and the object bitmap.
//
// The record is two 64-bit words holding the wire format's fields packed, in
// its order and widths: the head word has size_class in byte 0, flags in byte
// 1, generation in bytes 2-5 and checksum in bytes 6-7; the second word is the
// bitmap. The header has no lock: callers that share one are meant to take
// turns. Where they do not, each word is read and written whole, as one
// relaxed atomic (it orders nothing else), and changed by compare-exchange, so
// that every field read is a value some call wrote and no call's change is
// lost to another's; the two words change one after the other, so a reader
// may see a change in one and not yet in the other.

constexpr uint8_t kHeaderFlagInUse = 0x10;
constexpr uint8_t kHeaderFlagCorrupt = 0x80;
constexpr int kMaxObjects = 64;

// CRC-16/MODBUS (reflected polynomial 0xA001), built at compile time.
constexpr std::array<uint16_t, 256> kCrc16Table = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned x = i;
        for (int k = 0; k < 8; ++k) x = (x >> 1) ^ ((x & 1u) ? 0xA001u : 0u);
        table[i] = static_cast<uint16_t>(x);
    }
    return table;
}();

// The field of type T at byte `Offset` of the head word, as the record lays it out in memory.
template <class T, int Offset>
struct HeadField {
    static constexpr int shift =
        std::endian::native == std::endian::little ? 8 * Offset : 64 - 8 * (Offset + static_cast<int>(sizeof(T)));
    static constexpr uint64_t mask = uint64_t{std::numeric_limits<T>::max()} << shift;

    [[nodiscard]] static constexpr T get(uint64_t head) noexcept { return static_cast<T>(head >> shift); }
    [[nodiscard]] static constexpr uint64_t with(uint64_t head, T value) noexcept {
        return (head & ~mask) | (uint64_t{value} << shift);
    }
};
using SizeClass = HeadField<uint8_t, 0>;
using Flags = HeadField<uint8_t, 1>;
using Generation = HeadField<uint32_t, 2>;
using Checksum = HeadField<uint16_t, 6>;

struct FastSlabHeaderOpsState {
    std::atomic<uint64_t> head{0};    // bytes 0-7 of the record
    std::atomic<uint64_t> bitmap{0};  // bytes 8-15: bit i set, object i is free
    int32_t objects_per_slab = 0;     // set by tp_new, never changed
};
static_assert(std::atomic<uint64_t>::is_always_lock_free && sizeof(std::atomic<uint64_t>) == 8);
static_assert(offsetof(FastSlabHeaderOpsState, bitmap) == 8, "the record is 16 bytes without padding");

struct FastSlabHeaderOps {
    PyObject_HEAD
    FastSlabHeaderOpsState st;
};

// A change of the head word: the word it replaced and the word it stored.
struct HeadChange {
    uint64_t before, after;
};

// Replaces the head word by `change(word)`, as one compare-exchange.
template <class Change>
HeadChange update_head(FastSlabHeaderOpsState& h, Change change) noexcept {
    uint64_t before = h.head.load(std::memory_order_relaxed), after;
    do after = change(before);
    while (!h.head.compare_exchange_weak(before, after, std::memory_order_relaxed));
    return {before, after};
}

// Low n bits set; all 64 from n = 64 on; none for n <= 0.
constexpr uint64_t all_free_mask(int32_t n) noexcept {
    if (n <= 0) return 0;
    if (n >= kMaxObjects) return ~uint64_t{0};
    return (uint64_t{1} << n) - 1;
}

// Whether `index` names a bit of the bitmap (negative indexes name none).
constexpr bool in_bitmap(int index) noexcept { return index >= 0 && index < kMaxObjects; }

// CRC over size_class, flags and the four generation bytes of a head word, lowest first.
constexpr uint16_t compute_checksum(uint64_t head) noexcept {
    const uint32_t g = Generation::get(head);
    const uint8_t bytes[6] = {SizeClass::get(head),          Flags::get(head),
                              static_cast<uint8_t>(g),       static_cast<uint8_t>(g >> 8),
                              static_cast<uint8_t>(g >> 16), static_cast<uint8_t>(g >> 24)};
    unsigned x = 0xFFFF;
    for (uint8_t b : bytes) x = (x >> 8) ^ kCrc16Table[(x ^ b) & 0xFF];
    return static_cast<uint16_t>(x);
}

bool is_object_free(const FastSlabHeaderOpsState& h, int index) noexcept {
    return in_bitmap(index) && ((h.bitmap.load(std::memory_order_relaxed) >> index) & 1u);
}

int find_free_object(const FastSlabHeaderOpsState& h) noexcept {
    uint64_t bitmap = h.bitmap.load(std::memory_order_relaxed);
    return bitmap ? std::countr_zero(bitmap) : -1;
}

void allocate_object(FastSlabHeaderOpsState& h, int index) noexcept {
    if (in_bitmap(index)) h.bitmap.fetch_and(~(uint64_t{1} << index), std::memory_order_relaxed);
    update_head(h, [](uint64_t w) noexcept {
        w = Flags::with(w, static_cast<uint8_t>(Flags::get(w) | kHeaderFlagInUse));
        return Generation::with(w, Generation::get(w) + 1u);
    });
}

void deallocate_object(FastSlabHeaderOpsState& h, int index) noexcept {
    const uint64_t bit = in_bitmap(index) ? uint64_t{1} << index : 0;
    const uint64_t bitmap = h.bitmap.fetch_or(bit, std::memory_order_relaxed) | bit;
    const bool all_free = bitmap == all_free_mask(h.objects_per_slab);
    update_head(h, [all_free](uint64_t w) noexcept {
        w = Generation::with(w, Generation::get(w) + 1u);
        return all_free ? Flags::with(w, static_cast<uint8_t>(Flags::get(w) & ~kHeaderFlagInUse)) : w;
    });
}

constexpr Signature<2> FastSlabHeaderOps_new_sig{"__init__", {"size_class_index", "objects_per_slab"}};
PyObject* FastSlabHeaderOps_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    int32_t size_class_index = 0, objects_per_slab = 0;
    if (!tarvish::parse(FastSlabHeaderOps_new_sig, args, kwargs, tarvish::I32{size_class_index},
                        tarvish::I32{objects_per_slab}))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    FastSlabHeaderOpsState& h = tarvish::construct<FastSlabHeaderOps>(self);
    // Not shared yet.
    h.head.store(SizeClass::with(0, static_cast<uint8_t>(static_cast<uint32_t>(size_class_index))),
                 std::memory_order_relaxed);
    h.bitmap.store(all_free_mask(objects_per_slab), std::memory_order_relaxed);
    h.objects_per_slab = objects_per_slab;
    return self;
}

constexpr Signature<0> FastSlabHeaderOps_pack_header_sig{"pack_header", {}};
PyObject* FastSlabHeaderOps_pack_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastSlabHeaderOps_pack_header_sig, args, nargs, kwnames)) return nullptr;
    FastSlabHeaderOpsState& h = tarvish::state_of<FastSlabHeaderOps>(self);
    // The checksum goes into the very word it is computed from, and that word is packed.
    const uint64_t head =
        update_head(h, [](uint64_t w) noexcept { return Checksum::with(w, compute_checksum(w)); }).after;
    const uint64_t bitmap = h.bitmap.load(std::memory_order_relaxed);
    Ref st = import_struct();
    if (!st) return nullptr;
    Ref v0 = tarvish::box(SizeClass::get(head)), v1 = tarvish::box(Flags::get(head)),
        v2 = tarvish::box(static_cast<unsigned>(Generation::get(head))),
        v3 = tarvish::box(static_cast<unsigned>(Checksum::get(head))),
        v4 = tarvish::box(static_cast<unsigned long long>(bitmap));
    if (!v0 || !v1 || !v2 || !v3 || !v4) return nullptr;
    return tarvish::call_method(st.get(), state().s_pack, state().s_header_format.get(), v0.get(), v1.get(), v2.get(),
                                v3.get(), v4.get())
        .release();
}

constexpr Signature<1> FastSlabHeaderOps_unpack_header_sig{"unpack_header", {"data"}};
PyObject* FastSlabHeaderOps_unpack_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    PyObject* data = nullptr;
    if (!tarvish::parse(FastSlabHeaderOps_unpack_header_sig, args, nargs, kwnames, tarvish::ExactBytes{data}))
        return nullptr;
    Ref st = import_struct();
    if (!st) return nullptr;
    if (data == Py_None) return tarvish::raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n != 16) return tarvish::raise(PyExc_ValueError, "Slab header data must be 16 bytes long, got %zd", n);
    Ref decoded = tarvish::call_method(st.get(), state().s_unpack, state().s_header_format.get(), data);
    if (!decoded) return nullptr;
    Ref values = Ref::steal(PySequence_Tuple(decoded.get()));
    if (!values) return nullptr;
    if (PyTuple_GET_SIZE(values.get()) != 5)
        return tarvish::raise(PyExc_ValueError, "Slab header must decode to 5 values, got %zd",
                              PyTuple_GET_SIZE(values.get()));
    // Every value converts before any field changes.
    uint8_t size_class, flags;
    uint32_t generation;
    uint16_t stored;
    uint64_t bitmap;
    PyObject* const* v = &PyTuple_GET_ITEM(values.get(), 0);
    if (!tarvish::to_int<uint8_t, "uint8_t">(v[0], size_class) || !tarvish::to_int<uint8_t, "uint8_t">(v[1], flags) ||
        !tarvish::to_int<uint32_t, "uint32_t">(v[2], generation) ||
        !tarvish::to_int<uint16_t, "uint16_t">(v[3], stored) || !tarvish::to_int<uint64_t, "uint64_t">(v[4], bitmap))
        return nullptr;
    // The checksum over the new fields; the corruption bit goes in with them.
    uint64_t fields = Generation::with(Flags::with(SizeClass::with(0, size_class), flags), generation);
    const uint16_t computed = compute_checksum(fields);
    if (stored != computed) fields = Flags::with(fields, static_cast<uint8_t>(flags | kHeaderFlagCorrupt));
    FastSlabHeaderOpsState& h = tarvish::state_of<FastSlabHeaderOps>(self);
    // The checksum keeps its previous value.
    const HeadChange head =
        update_head(h, [fields](uint64_t w) noexcept { return Checksum::with(fields, Checksum::get(w)); });
    const uint64_t old_bitmap = h.bitmap.exchange(bitmap, std::memory_order_relaxed);
    if (stored != computed) {
        char text[80];
        std::snprintf(text, sizeof text, "Header corruption detected: stored=%04x, computed=%04x", unsigned{stored},
                      unsigned{computed});
        if (!tarvish::log_line(state().guard.module, "warning", text)) {
            // A failed call changes nothing: it takes its own change back, but
            // not a change that another call made meanwhile.
            uint64_t expected = head.after;
            h.head.compare_exchange_strong(expected, head.before, std::memory_order_relaxed);
            expected = bitmap;
            h.bitmap.compare_exchange_strong(expected, old_bitmap, std::memory_order_relaxed);
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

constexpr Signature<1> FastSlabHeaderOps_py_is_object_free_sig{"py_is_object_free", {"object_index"}};
PyObject* FastSlabHeaderOps_py_is_object_free(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    int index = 0;
    if (!tarvish::parse(FastSlabHeaderOps_py_is_object_free_sig, args, nargs, kwnames, tarvish::CInt{index}))
        return nullptr;
    return PyBool_FromLong(is_object_free(tarvish::state_of<FastSlabHeaderOps>(self), index));
}

constexpr Signature<0> FastSlabHeaderOps_py_find_free_object_sig{"py_find_free_object", {}};
PyObject* FastSlabHeaderOps_py_find_free_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastSlabHeaderOps_py_find_free_object_sig, args, nargs, kwnames)) return nullptr;
    return PyLong_FromLong(find_free_object(tarvish::state_of<FastSlabHeaderOps>(self)));
}

constexpr Signature<1> FastSlabHeaderOps_py_allocate_object_at_sig{"py_allocate_object_at", {"object_index"}};
PyObject* FastSlabHeaderOps_py_allocate_object_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) noexcept {
    int index = 0;
    if (!tarvish::parse(FastSlabHeaderOps_py_allocate_object_at_sig, args, nargs, kwnames, tarvish::CInt{index}))
        return nullptr;
    allocate_object(tarvish::state_of<FastSlabHeaderOps>(self), index);
    Py_RETURN_NONE;
}

constexpr Signature<1> FastSlabHeaderOps_py_deallocate_object_at_sig{"py_deallocate_object_at", {"object_index"}};
PyObject* FastSlabHeaderOps_py_deallocate_object_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) noexcept {
    int index = 0;
    if (!tarvish::parse(FastSlabHeaderOps_py_deallocate_object_at_sig, args, nargs, kwnames, tarvish::CInt{index}))
        return nullptr;
    deallocate_object(tarvish::state_of<FastSlabHeaderOps>(self), index);
    Py_RETURN_NONE;
}

PyMethodDef FastSlabHeaderOps_methods[] = {
    tarvish::method<FastSlabHeaderOps_pack_header, FastSlabHeaderOps_pack_header_sig,
                    "Pack header into bytes for storage.">(),
    tarvish::method<FastSlabHeaderOps_unpack_header, FastSlabHeaderOps_unpack_header_sig,
                    "Unpack header from bytes.">(),
    tarvish::method<FastSlabHeaderOps_py_is_object_free, FastSlabHeaderOps_py_is_object_free_sig,
                    "Check if object at index is free (Python interface).">(),
    tarvish::method<FastSlabHeaderOps_py_find_free_object, FastSlabHeaderOps_py_find_free_object_sig,
                    "Find first free object index (Python interface).">(),
    tarvish::method<FastSlabHeaderOps_py_allocate_object_at, FastSlabHeaderOps_py_allocate_object_at_sig,
                    "Mark object as allocated (Python interface).">(),
    tarvish::method<FastSlabHeaderOps_py_deallocate_object_at, FastSlabHeaderOps_py_deallocate_object_at_sig,
                    "Mark object as free (Python interface).">(),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FastSlabHeaderOps_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FastSlabHeaderOps_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tarvish::dealloc<FastSlabHeaderOps>)},
    {Py_tp_methods, FastSlabHeaderOps_methods},
    {Py_tp_doc, tarvish::type_doc<FastSlabHeaderOps_new_sig,
                                  "One slab header in packed native form: CRC-16 checked 16-byte records and a "
                                  "64-object free bitmap.",
                                  "FastSlabHeaderOps">()},
    {0, nullptr},
};

PyType_Spec FastSlabHeaderOps_spec{"tarvish.memory.quillet.FastSlabHeaderOps", sizeof(FastSlabHeaderOps), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, FastSlabHeaderOps_slots};

// ---------------------------------------------------------------------------
// fast_bitmap_operations: the bit operations on a bare 64-bit word.

constexpr Signature<3> fast_bitmap_operations_sig{"fast_bitmap_operations", {"bitmap", "index", "operation"}};
PyObject* fast_bitmap_operations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    uint64_t bitmap = 0;
    int index = 0;
    PyObject* operation = nullptr;
    if (!tarvish::parse(fast_bitmap_operations_sig, args, nargs, kwnames, tarvish::U64{bitmap}, tarvish::CInt{index},
                        tarvish::ExactStr{operation}))
        return nullptr;
    if (operation != Py_None) {
        const uint64_t bit = in_bitmap(index) ? uint64_t{1} << index : 0;
        if (PyUnicode_EqualToUTF8(operation, "is_set")) return PyBool_FromLong((bitmap & bit) != 0);
        if (PyUnicode_EqualToUTF8(operation, "set")) return PyLong_FromUnsignedLongLong(bitmap | bit);
        if (PyUnicode_EqualToUTF8(operation, "clear")) return PyLong_FromUnsignedLongLong(bitmap & ~bit);
        if (PyUnicode_EqualToUTF8(operation, "find_first"))
            return PyLong_FromLong(bitmap ? std::countr_zero(bitmap) : -1);
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("Unknown operation: %S", operation));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

PyMethodDef module_functions[] = {
    tarvish::function<fast_align_size, fast_align_size_sig, "Fast alignment calculation (Python interface).">(),
    tarvish::function<fast_get_bucket_size, fast_get_bucket_size_sig,
                      "Fast bucket size calculation (Python interface).">(),
    tarvish::function<fast_bitmap_operations, fast_bitmap_operations_sig,
                      "Fast bitmap operations (Python interface).">(),
    tarvish::function<fast_can_fit_aligned, fast_can_fit_aligned_sig,
                      "Fast alignment check with exclusive boundary (Python interface).">(),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The module body, in order.

bool quillet_exec(PyObject* module) noexcept {
    if (!tarvish::import_as(module, "threading", "threading") || !tarvish::prepare_lock_protocol(module)) return false;
    if (!tarvish::bind_logger(module)) return false;
    if (!tarvish::add_type(module, &FastSlabHeaderOps_spec, state().FastSlabHeaderOps_type) ||
        !tarvish::add_type(module, &FastBucketAllocator_spec, state().FastBucketAllocator_type) ||
        !tarvish::add_type(module, &FastStatsCollector_spec, state().FastStatsCollector_type))
        return false;
    if (PyModule_AddFunctions(module, module_functions) < 0) return false;
    return tarvish::log_line(module, "info",
                             "Tarvish Quillet Cython module loaded - targeting 1.8-3\u00d7 performance improvement");
}

PyModuleDef quillet_def{
    PyModuleDef_HEAD_INIT,
    "quillet",
    "Size classes, the bucket allocator and slab headers of the memory pool.\n"
    "\n"
    "fast_align_size, fast_get_bucket_size and fast_can_fit_aligned do the pool's\n"
    "size arithmetic in native 32-bit integers. FastBucketAllocator keeps free\n"
    "block offsets in one stack per size class (512 classes by default) and finds\n"
    "the smallest class whose top block fits an aligned request. FastStatsCollector\n"
    "counts allocations. FastSlabHeaderOps keeps one slab header as a packed\n"
    "16-byte record, checks it with CRC-16/MODBUS over its first six bytes, and\n"
    "tracks up to 64 objects in a free bitmap.",
    0,
    nullptr,
    tarvish::ModuleSlots<state, quillet_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quillet() { return PyModuleDef_Init(&quillet_def); }
