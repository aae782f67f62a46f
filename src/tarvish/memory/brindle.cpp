// tarvish.memory.brindle: the free-block tree of the memory pool.
//
// FastRedBlackTree indexes free blocks by size: one native node per distinct
// size, further blocks of a present size on a singly linked chain behind it.
// Writers take a threading.Lock and bump a sequence counter around each change;
// the two pure searches walk the tree without any lock and without the
// interpreter lock, and retry when the counter shows that a writer got in.
#include "tarvish/tarvish.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

namespace {

using tarvish::Ref;
using tarvish::Signature;
using tarvish::Str;
using tarvish::opt;

// The locks are entered as with-statements whose methods are read as the
// lock's attributes; a failed section's exception propagates whatever __exit__ returns.
using Section = tarvish::Section<tarvish::LockPolicy{tarvish::Lookup::attribute, tarvish::Suppress::never}>;

constexpr int32_t kRed = 0;
constexpr int32_t kBlack = 1;
constexpr int kMaxRetries = 100;
// The defaults: one insert in 100 sampled, and an alignment of 1.
constexpr uint32_t kSampleRate = 100;
constexpr int kAlignment = 1;
constexpr double kRetrySleep = 0.0001;

// The statistics counters of a tree, in the order get_stats reports them.
enum Stat {
    kTotalBlocks,
    kTotalInsertions,
    kTotalDeletions,
    kTotalSearches,
    kBucketHits,
    kTreeHits,
    kOperationCount,
    kNumStats
};

// The module's process-wide state: its guard, its type and its interned names.
struct brindle_state {
    tarvish::ModuleGuard guard{"brindle"};
    PyTypeObject* FastRedBlackTree_type = nullptr;

    Str s_sanitize_size{"_sanitize_size"}, s_increment{"increment"}, s_load{"load"}, s_size{"size"}, s_sleep{"sleep"},
        s_time{"time"}, s_AtomicCounter{"AtomicCounter"}, s_ATOMIC_AVAILABLE{"ATOMIC_AVAILABLE"};

    // The keys of get_stats: the counters' (by Stat), then the others.
    Str stat_keys[kNumStats] = {{"total_blocks"}, {"total_insertions"}, {"total_deletions"}, {"total_searches"},
                                {"bucket_hits"},  {"tree_hits"},        {"operation_count"}};
    Str k_circuit_breaker_trips{"circuit_breaker_trips"}, k_node_count{"node_count"}, k_height{"height"},
        k_sampled_operations{"sampled_operations"}, k_is_valid{"is_valid"};
};

brindle_state module_state;  // built when the library loads
brindle_state& state() noexcept { return module_state; }

// ---------------------------------------------------------------------------
// Native records.
//
// A head is linked into the tree through parent/left/right; a chain entry hangs
// off its head through `next` and uses only size, block and next. left, right
// and the tree's root are atomics because the lock-free readers load them
// while a writer may store them (see "Reader protocol" below); parent, color,
// block and next are only touched with the interpreter lock held.

struct RBNode {
    RBNode* parent;
    std::atomic<RBNode*> left;
    std::atomic<RBNode*> right;
    int32_t color;
    uint64_t size;
    PyObject* block;  // one strong reference, or null once released
    RBNode* next;
};

RBNode* left_of(const RBNode* n) noexcept { return n->left.load(std::memory_order_relaxed); }
RBNode* right_of(const RBNode* n) noexcept { return n->right.load(std::memory_order_relaxed); }
void set_left(RBNode* n, RBNode* v) noexcept { n->left.store(v, std::memory_order_relaxed); }
void set_right(RBNode* n, RBNode* v) noexcept { n->right.store(v, std::memory_order_relaxed); }
bool is_red(const RBNode* n) noexcept { return n && n->color == kRed; }

// Unlinked records collected by one writer, in the order they were unlinked.
// Their blocks are released after the writer has left its critical section.
struct Graveyard {
    RBNode* head = nullptr;
    RBNode** tail = &head;
    void add(RBNode* n) noexcept {
        n->next = nullptr;
        *tail = n;
        tail = &n->next;
    }
};

// ---------------------------------------------------------------------------
// Reader protocol.
//
// Every change of the tree's shape, every node free and every block release
// happens with the interpreter lock held, and no Python code runs while a
// shape change is half done. The readers (find_best_fit, find_all_exact) read
// `seq_counter` with the interpreter lock held, release it for the walk and
// take it back before they look at any block.
//
// Consistency. The counter is odd exactly while a writer is inside its
// section, and even outside (begin_write and end_write assert it; the
// red-black helpers, named _lock_held, assert that their thread is that
// writer). A writer makes the counter odd and then issues a release fence
// before its first link store; it makes the counter even again with a release
// store. The walk loads each link (relaxed), issues an acquire fence and
// re-reads the counter before it follows the link. If the link load saw any
// store of a writer that began after the reader's value s, the fences make the
// re-read see that writer's odd value, and the walk stops at once. So a walk
// that completes has followed only links of the tree of version s, cannot
// loop, and is bounded by that tree's height. The result is trusted only when
// the counter still equals s after the interpreter lock has been taken back;
// at that point no writer can run, so the found head and its chain are live
// and their blocks are still owned by the tree.
//
// Reclamation. A node unlinked by a writer may still be under a walker. Its
// block reference is released when the writer has left its critical section
// (the walk never reads `block`), but its memory is retired to a limbo list and
// freed only when no walker can still hold it. Walkers register, under the
// interpreter lock, in one of two slots chosen by the parity of `epoch`:
//   - retired nodes go to limbo[epoch & 1]; they were all unlinked before or
//     during that epoch;
//   - when the previous slot has no walker left, limbo of the previous epoch is
//     freed and, if the current limbo holds nodes, the epoch advances (new
//     walkers then use the slot just drained);
//   - when neither slot has a walker, both limbo lists are freed.
// walkers[i] counts the walkers registered in slot i, so it is positive when
// one leaves; and since every walker holds a reference to the tree, both limbo
// lists are empty once a dying tree has released its records.
// A walker of epoch e keeps its slot busy, so the epoch cannot pass e + 1 and
// nothing unlinked at epoch e or later is freed before it leaves; nodes
// unlinked before it registered were no longer reachable when it started.
// Walkers and limbo lists are plain fields: they are used only with the
// interpreter lock held. remove_ge walks without the interpreter lock too, but
// with the writer lock held, so no writer can change the tree under it.

struct FastRedBlackTreeState {
    std::atomic<RBNode*> root{nullptr};
    uint64_t node_count = 0;
    Ref lock;
    tarvish::Owner writer;  // the thread inside a writer's section (or get_size_distribution)
    std::atomic<uint64_t> seq_counter{0};
    uint32_t sample_rate = kSampleRate;
    Ref op_counter;
    Ref sampled_counter;
    bool use_atomic = false;
    Ref stats_lock;
    tarvish::Owner stats_owner;  // the thread inside get_stats or reset_circuit_breaker
    int64_t stats[kNumStats] = {};
    bool has_trips = false;  // "circuit_breaker_trips" present (always 0)

    uint64_t epoch = 0;
    uint64_t walkers[2] = {0, 0};
    RBNode* limbo[2] = {nullptr, nullptr};
};

struct FastRedBlackTree {
    PyObject_HEAD
    FastRedBlackTreeState st;
};

RBNode* root_of(const FastRedBlackTreeState& t) noexcept { return t.root.load(std::memory_order_relaxed); }
void set_root(FastRedBlackTreeState& t, RBNode* v) noexcept { t.root.store(v, std::memory_order_relaxed); }

// Whether this thread is inside the tree's write section: the counter odd, the writer's guard its own.
[[maybe_unused]] bool writing_here(const FastRedBlackTreeState& t) noexcept {
    return (t.seq_counter.load(std::memory_order_relaxed) & 1) && t.writer.held_here();
}

void begin_write(FastRedBlackTreeState& t) noexcept {
    uint64_t s = t.seq_counter.load(std::memory_order_relaxed);
    assert(!(s & 1) && t.writer.held_here());
    t.seq_counter.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
}

void end_write(FastRedBlackTreeState& t) noexcept {
    assert(writing_here(t));
    t.seq_counter.store(t.seq_counter.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// Still version s? Called by a walker after each link load.
bool unchanged(const FastRedBlackTreeState& t, uint64_t s) noexcept {
    std::atomic_thread_fence(std::memory_order_acquire);
    return t.seq_counter.load(std::memory_order_relaxed) == s;
}

void free_list(RBNode* n) noexcept {
    while (n) {
        RBNode* next = n->next;
        PyMem_Free(n);
        n = next;
    }
}

void reclaim(FastRedBlackTreeState& t) noexcept {
    if (!t.limbo[0] && !t.limbo[1]) return;
    if (!t.walkers[0] && !t.walkers[1]) {
        free_list(std::exchange(t.limbo[0], nullptr));
        free_list(std::exchange(t.limbo[1], nullptr));
        return;
    }
    unsigned cur = t.epoch & 1, prev = cur ^ 1;
    if (t.walkers[prev]) return;
    free_list(std::exchange(t.limbo[prev], nullptr));
    if (t.limbo[cur]) ++t.epoch;
}

void retire(FastRedBlackTreeState& t, RBNode* n) noexcept {
    unsigned cur = t.epoch & 1;
    n->next = t.limbo[cur];
    t.limbo[cur] = n;
}

unsigned enter_walk(FastRedBlackTreeState& t) noexcept {
    unsigned slot = t.epoch & 1;
    ++t.walkers[slot];
    return slot;
}

void leave_walk(FastRedBlackTreeState& t, unsigned slot) noexcept {
    assert(t.walkers[slot] > 0);
    --t.walkers[slot];
    reclaim(t);
}

// Releases the blocks of the unlinked records in their order and retires the
// records. Block releases may run arbitrary code (which may even use this tree
// again), so the pending exception is kept aside meanwhile.
void bury(FastRedBlackTreeState& t, Graveyard& g) noexcept {
    if (!g.head) return;
    PyObject* exc = PyErr_GetRaisedException();
    RBNode* n = std::exchange(g.head, nullptr);
    g.tail = &g.head;
    while (n) {
        RBNode* next = n->next;
        PyObject* block = std::exchange(n->block, nullptr);
        retire(t, n);
        Py_XDECREF(block);
        n = next;
    }
    reclaim(t);
    PyErr_SetRaisedException(exc);
}

// ---------------------------------------------------------------------------
// Walks. Checked walks are the lock-free readers' (version s); unchecked ones
// run where no writer can interfere.

template <bool Checked>
RBNode* walk_exact(const FastRedBlackTreeState& t, uint64_t size, uint64_t s, bool& ok) noexcept {
    RBNode* n = root_of(t);
    for (;;) {
        if constexpr (Checked)
            if (!unchanged(t, s)) return ok = false, nullptr;
        if (!n || n->size == size) break;
        n = size < n->size ? left_of(n) : right_of(n);
    }
    ok = true;
    return n;
}

template <bool Checked>
RBNode* walk_best_fit(const FastRedBlackTreeState& t, uint64_t size, uint64_t s, bool& ok) noexcept {
    RBNode* n = root_of(t);
    RBNode* candidate = nullptr;
    for (;;) {
        if constexpr (Checked)
            if (!unchanged(t, s)) return ok = false, nullptr;
        if (!n) break;
        if (n->size < size) {
            n = right_of(n);
        } else {
            if (!candidate || n->size < candidate->size) candidate = n;
            n = left_of(n);
        }
    }
    ok = true;
    return candidate;
}

RBNode* find_node(const FastRedBlackTreeState& t, uint64_t size) noexcept {
    bool ok;
    return walk_exact<false>(t, size, 0, ok);
}

// Pre-order over the heads through parent links (no recursion, so a tree made
// lopsided by deletions cannot exhaust the stack). fn(node, depth).
template <class F>
void preorder(const FastRedBlackTreeState& t, F fn) noexcept {
    RBNode* n = root_of(t);
    RBNode* prev = nullptr;
    uint64_t depth = 1;
    while (n) {
        RBNode* next;
        if (prev == n->parent) {
            fn(n, depth);
            next = left_of(n) ? left_of(n) : right_of(n) ? right_of(n) : n->parent;
        } else if (prev == left_of(n) && right_of(n)) {
            next = right_of(n);
        } else {
            next = n->parent;
        }
        depth = next == n->parent ? depth - 1 : depth + 1;
        prev = n;
        n = next;
    }
}

uint64_t compute_height(const FastRedBlackTreeState& t) noexcept {
    uint64_t height = 0;
    preorder(t, [&](RBNode*, uint64_t depth) { height = depth > height ? depth : height; });
    return height;
}

// Detaches the whole tree and collects every record post-order: left subtree,
// right subtree, the head's chain entries in chain order, then the head.
void detach_all(FastRedBlackTreeState& t, Graveyard& g) noexcept {
    RBNode* n = root_of(t);
    set_root(t, nullptr);
    while (n) {
        if (RBNode* l = left_of(n)) {
            n = l;
            continue;
        }
        if (RBNode* r = right_of(n)) {
            n = r;
            continue;
        }
        RBNode* parent = n->parent;
        if (parent) {
            if (left_of(parent) == n) set_left(parent, nullptr);
            else set_right(parent, nullptr);
        }
        for (RBNode* e = n->next; e;) {
            RBNode* following = e->next;
            g.add(e);
            e = following;
        }
        g.add(n);
        n = parent;
    }
    t.node_count = 0;
}

// ---------------------------------------------------------------------------
// Red-black maintenance: inside a write section only (the writer lock held,
// the counter odd), with the interpreter lock held.

RBNode* allocate_node(uint64_t size, PyObject* block) noexcept {
    void* mem = PyMem_Malloc(sizeof(RBNode));
    if (!mem) return nullptr;
    return new (mem) RBNode{nullptr, {nullptr}, {nullptr}, kRed, size, Py_NewRef(block), nullptr};
}

void rotate_left_lock_held(FastRedBlackTreeState& t, RBNode* x) noexcept {
    assert(writing_here(t));
    RBNode* y = right_of(x);
    set_right(x, left_of(y));
    if (left_of(y)) left_of(y)->parent = x;
    y->parent = x->parent;
    if (!x->parent) set_root(t, y);
    else if (x == left_of(x->parent)) set_left(x->parent, y);
    else set_right(x->parent, y);
    set_left(y, x);
    x->parent = y;
}

void rotate_right_lock_held(FastRedBlackTreeState& t, RBNode* x) noexcept {
    assert(writing_here(t));
    RBNode* y = left_of(x);
    set_left(x, right_of(y));
    if (right_of(y)) right_of(y)->parent = x;
    y->parent = x->parent;
    if (!x->parent) set_root(t, y);
    else if (x == right_of(x->parent)) set_right(x->parent, y);
    else set_left(x->parent, y);
    set_right(y, x);
    x->parent = y;
}

void fixup_insert_lock_held(FastRedBlackTreeState& t, RBNode* z) noexcept {
    assert(writing_here(t));
    while (z->parent && z->parent->color == kRed) {
        RBNode* p = z->parent;
        RBNode* g = p->parent;
        if (!g) break;  // a red root; recoloured below
        if (p == left_of(g)) {
            RBNode* uncle = right_of(g);
            if (is_red(uncle)) {
                p->color = kBlack;
                uncle->color = kBlack;
                g->color = kRed;
                z = g;
            } else {
                if (z == right_of(p)) {
                    z = p;
                    rotate_left_lock_held(t, z);
                }
                z->parent->color = kBlack;
                g->color = kRed;
                rotate_right_lock_held(t, g);
            }
        } else {
            RBNode* uncle = left_of(g);
            if (is_red(uncle)) {
                p->color = kBlack;
                uncle->color = kBlack;
                g->color = kRed;
                z = g;
            } else {
                if (z == left_of(p)) {
                    z = p;
                    rotate_right_lock_held(t, z);
                }
                z->parent->color = kBlack;
                g->color = kRed;
                rotate_left_lock_held(t, g);
            }
        }
    }
    root_of(t)->color = kBlack;
}

RBNode* minimum(RBNode* n) noexcept {
    while (left_of(n)) n = left_of(n);
    return n;
}

void transplant_lock_held(FastRedBlackTreeState& t, RBNode* u, RBNode* v) noexcept {
    assert(writing_here(t));
    if (!u->parent) set_root(t, v);
    else if (u == left_of(u->parent)) set_left(u->parent, v);
    else set_right(u->parent, v);
    if (v) v->parent = u->parent;
}

void fixup_delete_lock_held(FastRedBlackTreeState& t, RBNode* x) noexcept {
    assert(writing_here(t));
    while (x != root_of(t) && x->color == kBlack) {
        RBNode* p = x->parent;
        if (x == left_of(p)) {
            RBNode* w = right_of(p);
            if (!w) {
                x = p;
                continue;
            }
            if (w->color == kRed) {
                w->color = kBlack;
                p->color = kRed;
                rotate_left_lock_held(t, p);
                w = right_of(x->parent);
                if (!w) {
                    x = x->parent;
                    continue;
                }
            }
            if (!is_red(left_of(w)) && !is_red(right_of(w))) {
                w->color = kRed;
                x = p;
            } else {
                if (!is_red(right_of(w))) {
                    left_of(w)->color = kBlack;
                    w->color = kRed;
                    rotate_right_lock_held(t, w);
                    w = right_of(x->parent);
                }
                w->color = p->color;
                p->color = kBlack;
                if (right_of(w)) right_of(w)->color = kBlack;
                rotate_left_lock_held(t, p);
                x = root_of(t);
            }
        } else {
            RBNode* w = left_of(p);
            if (!w) {
                x = p;
                continue;
            }
            if (w->color == kRed) {
                w->color = kBlack;
                p->color = kRed;
                rotate_right_lock_held(t, p);
                w = left_of(x->parent);
                if (!w) {
                    x = x->parent;
                    continue;
                }
            }
            if (!is_red(right_of(w)) && !is_red(left_of(w))) {
                w->color = kRed;
                x = p;
            } else {
                if (!is_red(left_of(w))) {
                    right_of(w)->color = kBlack;
                    w->color = kRed;
                    rotate_left_lock_held(t, w);
                    w = left_of(x->parent);
                }
                w->color = p->color;
                p->color = kBlack;
                if (left_of(w)) left_of(w)->color = kBlack;
                rotate_right_lock_held(t, p);
                x = root_of(t);
            }
        }
    }
    x->color = kBlack;
}

// Unlinks the head z. As the textbook delete with null leaves, except that no
// fix-up runs when the node to fix is null.
void delete_node_lock_held(FastRedBlackTreeState& t, RBNode* z, Graveyard& g) noexcept {
    assert(writing_here(t));
    RBNode* y = z;
    int32_t removed = y->color;
    RBNode* x;
    if (!left_of(z)) {
        x = right_of(z);
        transplant_lock_held(t, z, right_of(z));
    } else if (!right_of(z)) {
        x = left_of(z);
        transplant_lock_held(t, z, left_of(z));
    } else {
        y = minimum(right_of(z));
        removed = y->color;
        x = right_of(y);
        if (y->parent == z) {
            if (x) x->parent = y;
        } else {
            transplant_lock_held(t, y, right_of(y));
            set_right(y, right_of(z));
            right_of(y)->parent = y;
        }
        transplant_lock_held(t, z, y);
        set_left(y, left_of(z));
        left_of(y)->parent = y;
        y->color = z->color;
    }
    if (removed == kBlack && x) fixup_delete_lock_held(t, x);
    g.add(z);
}

// Removes the head's own block: the first chain entry's block moves up into
// the head, or the head leaves the tree when it has no chain.
void remove_head_block_lock_held(FastRedBlackTreeState& t, RBNode* head, Graveyard& g) noexcept {
    assert(writing_here(t));
    if (RBNode* d = head->next) {
        head->next = d->next;
        std::swap(head->block, d->block);  // d now carries the head's old block
        g.add(d);
    } else {
        delete_node_lock_held(t, head, g);
    }
}

// ---------------------------------------------------------------------------
// Locks, sampling and sizes. A lock is entered through its context-manager
// protocol; a failed section's exception is handed to __exit__ and then
// propagates whatever __exit__ returns (chained under an error of __exit__ itself).

// Runs `body(graveyard) -> Ref` as the writer `method`: under `lock`, with the
// sequence counter odd throughout (made even again on every path), then
// releases the blocks of whatever the body unlinked. The writer guard refuses
// a second writer, from this thread (a callback) or another (a lock that let
// it in), so the records a body holds cannot change under it.
template <class Body>
PyObject* write_section(PyObject* self, const char* method, Body body) noexcept {
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    Section section{t.lock.get(), t.writer, method};
    if (!section) return nullptr;
    begin_write(t);
    Graveyard g;
    Ref result = body(g);
    end_write(t);
    if (!(result ? section.leave() : section.leave_raising())) result.reset();
    bury(t, g);
    return result.release();
}

// time.sleep(0.0001), with `time` looked up as a module global now.
[[nodiscard]] bool nap() noexcept {
    Ref time = tarvish::module_global(state().guard.module, state().s_time);
    if (!time) return false;
    Ref delay = Ref::steal(PyFloat_FromDouble(kRetrySleep));
    return delay && tarvish::call_method(time.get(), state().s_sleep, delay.get());
}

// One lock-free read, the readers' side of the protocol above: up to
// kMaxRetries attempts, each napping while a writer is inside, then running
// `walk(s, ok) -> RBNode*` (a checked walk at version s) without the
// interpreter lock, and, when the version held throughout, `use(found, s, out)`
// with it held, still in the walker's slot so that nothing found is freed.
// `use` returns false to retry, or true with `out` the result (null with an
// error set). The result, counted as a search when it is one; no value when
// every attempt met a writer.
template <class Walk, class Use>
[[nodiscard]] std::optional<Ref> read_section(FastRedBlackTreeState& t, Walk walk, Use use) noexcept {
    for (int attempts = 0; attempts < kMaxRetries; ++attempts) {
        uint64_t s = t.seq_counter.load(std::memory_order_acquire);
        if (s & 1) {
            if (!nap()) return Ref();
            continue;
        }
        unsigned slot = enter_walk(t);
        RBNode* found;
        bool ok;
        Py_BEGIN_ALLOW_THREADS
        found = walk(s, ok);
        Py_END_ALLOW_THREADS
        Ref out;
        bool done = ok && t.seq_counter.load(std::memory_order_acquire) == s && use(found, s, out);
        leave_walk(t, slot);
        if (done) {
            if (out) ++t.stats[kTotalSearches];
            return out;
        }
    }
    return std::nullopt;
}

// Whether the counter value n is a multiple of rate (rate > 0).
[[nodiscard]] bool is_multiple(PyObject* n, uint32_t rate, bool& out) noexcept {
    if (PyLong_Check(n)) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (!overflow) {
            out = v % static_cast<long long>(rate) == 0;
            return true;
        }
    }
    Ref r = tarvish::box(rate);
    if (r) r = Ref::steal(PyNumber_Remainder(n, r.get()));
    if (!r) return false;
    int eq = PyObject_RichCompareBool(r.get(), tarvish::zero(), Py_EQ);
    if (eq < 0) return false;
    out = eq == 1;
    return true;
}

// AtomicCounter(0), with `AtomicCounter` looked up as a module global at each call.
Ref new_counter() noexcept {
    Ref cls = tarvish::module_global(state().guard.module, state().s_AtomicCounter);
    return cls ? tarvish::call(cls.get(), tarvish::zero()) : Ref();
}

enum class Prep { ok, empty, error };

// Size preparation: self._sanitize_size(size) through method lookup (its
// ValueError means "empty result" where `soft`), then to unsigned 64-bit.
Prep prepare_size(PyObject* self, PyObject* size, bool soft, uint64_t& out) noexcept {
    PyObject* name = state().s_sanitize_size.get();
    if (!name) return Prep::error;
    Ref r = tarvish::call_method(self, name, size);
    if (!r) {
        if (soft && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return Prep::empty;
        }
        return Prep::error;
    }
    return tarvish::to_int<uint64_t, "uint64_t">(r.get(), out) ? Prep::ok : Prep::error;
}

// ---------------------------------------------------------------------------
// FastRedBlackTree

constexpr Signature<1> FastRedBlackTree_new_sig{"__cinit__", {opt<kSampleRate>("sample_rate")}};
PyObject* FastRedBlackTree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    uint32_t sample_rate = kSampleRate;
    if (!tarvish::parse(FastRedBlackTree_new_sig, args, kwargs, tarvish::U32{sample_rate})) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FastRedBlackTreeState& t = tarvish::construct<FastRedBlackTree>(self.get());

    t.lock = tarvish::new_lock(state().guard.module);
    if (!t.lock) return nullptr;
    t.sample_rate = sample_rate;

    Ref available = tarvish::module_global(state().guard.module, state().s_ATOMIC_AVAILABLE);
    if (!available) return nullptr;
    int use = PyObject_IsTrue(available.get());
    if (use < 0) return nullptr;
    if (use) {
        Ref counter_cls = tarvish::module_global(state().guard.module, state().s_AtomicCounter);
        if (!counter_cls) return nullptr;
        use = PyObject_IsTrue(counter_cls.get());
        if (use < 0) return nullptr;
    }
    if (use) {
        if (!(t.op_counter = new_counter())) return nullptr;
        if (!(t.sampled_counter = new_counter())) return nullptr;
    }
    t.use_atomic = use != 0;
    t.stats_lock = tarvish::new_lock(state().guard.module);
    if (!t.stats_lock) return nullptr;
    return self.release();
}

// Frees every record and releases every block (destruction and the cyclic
// collector's clear). No walker or writer can be active: both hold a reference.
void drop_tree(FastRedBlackTreeState& t) noexcept {
    Graveyard g;
    detach_all(t, g);
    bury(t, g);
    reclaim(t);
}

int FastRedBlackTree_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    if (int r = tarvish::visit_type(self, visit, arg)) return r;
    Py_VISIT(t.lock.get());
    Py_VISIT(t.op_counter.get());
    Py_VISIT(t.sampled_counter.get());
    Py_VISIT(t.stats_lock.get());
    int err = 0;
    preorder(t, [&](RBNode* n, uint64_t) {
        for (RBNode* e = n; e && !err; e = e->next)
            if (e->block) err = visit(e->block, arg);
    });
    return err;
}

int FastRedBlackTree_clear(PyObject* self) noexcept {
    drop_tree(tarvish::state_of<FastRedBlackTree>(self));
    return 0;
}

void FastRedBlackTree_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    drop_tree(t);
    // No walker is left and so nothing is in limbo: every walker holds a reference.
    assert(!t.walkers[0] && !t.walkers[1] && !t.limbo[0] && !t.limbo[1]);
    tarvish::dealloc<FastRedBlackTree>(self);
}

constexpr Signature<1> FastRedBlackTree_sanitize_size_sig{"_sanitize_size", {"size"}};
PyObject* FastRedBlackTree_sanitize_size(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    Ref size;
    if (!tarvish::parse(FastRedBlackTree_sanitize_size_sig, args, nargs, kwnames, tarvish::AnnotatedInt{size}))
        return nullptr;
    if (PyLong_IsNegative(size.get())) return tarvish::raise(PyExc_ValueError, "Invalid size: %S", size.get());
    return size.release();
}

constexpr Signature<2> FastRedBlackTree_insert_sig{"insert", {"size", "block"}};
PyObject* FastRedBlackTree_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref size;
    PyObject* block = nullptr;
    if (!tarvish::parse(FastRedBlackTree_insert_sig, args, nargs, kwnames, tarvish::AnnotatedInt{size},
                        tarvish::Object{block}))
        return nullptr;
    uint64_t key;
    if (prepare_size(self, size.get(), false, key) != Prep::ok) return nullptr;
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    // Refused before the sampling clock moves, so a re-entrant insert changes nothing.
    if (!t.writer.may_enter()) return nullptr;

    bool sampled = false;
    if (t.use_atomic) {
        Ref counter = Ref::borrow(t.op_counter.get());
        Ref n = tarvish::call_method(counter.get(), state().s_increment);
        if (!n) return nullptr;
        if (t.sample_rate && !is_multiple(n.get(), t.sample_rate, sampled)) return nullptr;
    }

    return write_section(self, "FastRedBlackTree.insert", [&](Graveyard&) -> Ref {
        RBNode* existing = find_node(t, key);
        RBNode* node = allocate_node(key, block);
        if (!node) return tarvish::raise(PyExc_MemoryError, "Failed to allocate RB node"), Ref();
        if (existing) {
            node->next = existing->next;
            existing->next = node;
        } else if (!root_of(t)) {
            node->color = kBlack;
            set_root(t, node);
        } else {
            RBNode* parent = root_of(t);
            for (;;) {
                RBNode* child = key < parent->size ? left_of(parent) : right_of(parent);
                if (!child) break;
                parent = child;
            }
            node->parent = parent;
            if (key < parent->size) set_left(parent, node);
            else set_right(parent, node);
            fixup_insert_lock_held(t, node);
        }
        ++t.node_count;
        ++t.stats[kTotalBlocks];
        ++t.stats[kTotalInsertions];
        ++t.stats[kOperationCount];
        if (sampled && t.use_atomic) {
            // Python code may run under the writer lock here (a counter class of the caller's).
            Ref counter = Ref::borrow(t.sampled_counter.get());
            if (!tarvish::call_method(counter.get(), state().s_increment)) return Ref();
        }
        return Ref::borrow(Py_True);
    });
}

constexpr Signature<2> FastRedBlackTree_find_best_fit_sig{"find_best_fit", {"size", opt<kAlignment>("alignment")}};
PyObject* FastRedBlackTree_find_best_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    Ref size, alignment;
    if (!tarvish::parse(FastRedBlackTree_find_best_fit_sig, args, nargs, kwnames, tarvish::AnnotatedInt{size},
                        tarvish::AnnotatedInt{alignment}))
        return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
    case Prep::error: return nullptr;
    case Prep::empty: Py_RETURN_NONE;
    case Prep::ok: break;
    }
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    std::optional<Ref> found = read_section(
        t, [&](uint64_t s, bool& ok) noexcept { return walk_best_fit<true>(t, key, s, ok); },
        [](RBNode* fit, uint64_t, Ref& out) noexcept {
            out = Ref::borrow(fit ? fit->block : Py_None);
            return true;
        });
    if (!found) Py_RETURN_NONE;
    return found->release();
}

constexpr Signature<1> FastRedBlackTree_find_all_exact_sig{"find_all_exact", {"size"}};
PyObject* FastRedBlackTree_find_all_exact(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    Ref size;
    if (!tarvish::parse(FastRedBlackTree_find_all_exact_sig, args, nargs, kwnames, tarvish::AnnotatedInt{size}))
        return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
    case Prep::error: return nullptr;
    case Prep::empty: return PyList_New(0);
    case Prep::ok: break;
    }
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    std::optional<Ref> found = read_section(
        t, [&](uint64_t s, bool& ok) noexcept { return walk_exact<true>(t, key, s, ok); },
        [&](RBNode* head, uint64_t s, Ref& out) noexcept {
            // The list's allocation may run code, so the version is checked again before filling.
            Py_ssize_t count = 0;
            for (RBNode* e = head; e; e = e->next) ++count;
            out = Ref::steal(PyList_New(count));
            if (!out) return true;
            if (t.seq_counter.load(std::memory_order_acquire) != s) return false;
            Py_ssize_t i = 0;
            for (RBNode* e = head; e; e = e->next) PyList_SET_ITEM(out.get(), i++, Py_NewRef(e->block));
            return true;
        });
    if (!found) return PyList_New(0);
    return found->release();
}

constexpr Signature<2> FastRedBlackTree_delete_sig{"delete", {"size", "block"}};
PyObject* FastRedBlackTree_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref size;
    PyObject* block = nullptr;
    if (!tarvish::parse(FastRedBlackTree_delete_sig, args, nargs, kwnames, tarvish::AnnotatedInt{size},
                        tarvish::Object{block}))
        return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
    case Prep::error: return nullptr;
    case Prep::empty: Py_RETURN_FALSE;
    case Prep::ok: break;
    }
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    return write_section(self, "FastRedBlackTree.delete", [&](Graveyard& g) -> Ref {
        RBNode* head = find_node(t, key);
        if (!head) return Ref::borrow(Py_False);
        // Python code runs under the writer lock here: the blocks' __eq__.
        int eq = tarvish::compare(head->block, block, Py_EQ);
        if (eq < 0) return Ref();
        if (eq) {
            remove_head_block_lock_held(t, head, g);
        } else {
            RBNode* prev = head;
            RBNode* cur = head->next;
            for (; cur; prev = cur, cur = cur->next) {
                eq = tarvish::compare(cur->block, block, Py_EQ);
                if (eq < 0) return Ref();
                if (eq) break;
            }
            if (!cur) return Ref::borrow(Py_False);
            prev->next = cur->next;
            g.add(cur);
        }
        --t.node_count;
        --t.stats[kTotalBlocks];
        ++t.stats[kTotalDeletions];
        return Ref::borrow(Py_True);
    });
}

constexpr Signature<1> FastRedBlackTree_remove_ge_sig{"remove_ge", {"size"}};
PyObject* FastRedBlackTree_remove_ge(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    Ref size;
    if (!tarvish::parse(FastRedBlackTree_remove_ge_sig, args, nargs, kwnames, tarvish::AnnotatedInt{size}))
        return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
    case Prep::error: return nullptr;
    case Prep::empty: return PyTuple_Pack(2, Py_None, Py_None);
    case Prep::ok: break;
    }
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    return write_section(self, "FastRedBlackTree.remove_ge", [&](Graveyard& g) -> Ref {
        RBNode* head;
        bool ok;
        Py_BEGIN_ALLOW_THREADS
        head = walk_best_fit<false>(t, key, 0, ok);
        Py_END_ALLOW_THREADS
        if (!head) return Ref::steal(PyTuple_Pack(2, Py_None, Py_None));
        // The result is built before anything is unlinked, so a failed
        // allocation leaves the block in the tree instead of losing it.
        Ref actual = tarvish::box(static_cast<unsigned long long>(head->size));
        Ref result = actual ? Ref::steal(PyTuple_Pack(2, actual.get(), head->block)) : Ref();
        if (!result) return result;
        remove_head_block_lock_held(t, head, g);
        --t.node_count;
        --t.stats[kTotalBlocks];
        ++t.stats[kTotalDeletions];
        return result;
    });
}

constexpr Signature<0> FastRedBlackTree_clear_method_sig{"clear", {}};
PyObject* FastRedBlackTree_clear_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastRedBlackTree_clear_method_sig, args, nargs, kwnames)) return nullptr;
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    return write_section(self, "FastRedBlackTree.clear", [&](Graveyard& g) -> Ref {
        // Python code may run under the writer lock here (making the counters, dropping the old ones).
        // Both are made before anything changes, so a failure leaves the tree as it was.
        Ref op, sampled;
        if (t.use_atomic && (!(op = new_counter()) || !(sampled = new_counter()))) return Ref();
        detach_all(t, g);
        for (int64_t& v : t.stats) v = 0;
        t.has_trips = false;
        if (t.use_atomic) {
            t.op_counter = std::move(op);
            t.sampled_counter = std::move(sampled);
        }
        return Ref::borrow(Py_None);
    });
}

constexpr Signature<0> FastRedBlackTree_get_stats_sig{"get_stats", {}};
PyObject* FastRedBlackTree_get_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastRedBlackTree_get_stats_sig, args, nargs, kwnames)) return nullptr;
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    Section section{t.stats_lock.get(), t.stats_owner, "FastRedBlackTree.get_stats"};
    if (!section) return nullptr;
    // Snapshot before any object is made (making one may run code).
    int64_t stats[kNumStats];
    for (int i = 0; i < kNumStats; ++i) stats[i] = t.stats[i];
    bool trips = t.has_trips;
    uint64_t nodes = t.node_count;
    uint64_t height = compute_height(t);

    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    auto put = [&](tarvish::Str& key, const Ref& value) noexcept {
        return tarvish::set_item(result.get(), key, value);
    };
    for (int i = 0; i < kNumStats; ++i)
        if (!put(state().stat_keys[i], tarvish::box(static_cast<long long>(stats[i])))) return nullptr;
    if (trips && !put(state().k_circuit_breaker_trips, tarvish::box(0))) return nullptr;
    if (!put(state().k_node_count, tarvish::box(static_cast<unsigned long long>(nodes)))) return nullptr;
    if (!put(state().k_height, tarvish::box(static_cast<unsigned long long>(height)))) return nullptr;
    Ref sampled;
    if (t.use_atomic) {
        // Python code may run under the statistics lock here (a counter class of the caller's).
        Ref counter = Ref::borrow(t.sampled_counter.get());
        sampled = tarvish::call_method(counter.get(), state().s_load);
    } else {
        sampled = tarvish::box(0);
    }
    if (!put(state().k_sampled_operations, sampled)) return nullptr;
    if (!put(state().k_is_valid, Ref::borrow(Py_True))) return nullptr;
    if (!section.leave()) return nullptr;
    return result.release();
}

constexpr Signature<0> FastRedBlackTree_size_sig{"size", {}};
PyObject* FastRedBlackTree_size(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastRedBlackTree_size_sig, args, nargs, kwnames)) return nullptr;
    return PyLong_FromUnsignedLongLong(tarvish::state_of<FastRedBlackTree>(self).node_count);
}

constexpr Signature<0> FastRedBlackTree_get_size_distribution_sig{"get_size_distribution", {}};
PyObject* FastRedBlackTree_get_size_distribution(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastRedBlackTree_get_size_distribution_sig, args, nargs, kwnames)) return nullptr;
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    // Under the writer lock nothing can reshape the tree while the dict grows.
    Section section{t.lock.get(), t.writer, "FastRedBlackTree.get_size_distribution"};
    if (!section) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    bool ok = true;
    preorder(t, [&](RBNode* n, uint64_t) {
        if (!ok) return;
        unsigned long long count = 0;
        for (RBNode* e = n; e; e = e->next) ++count;
        Ref key = tarvish::box(static_cast<unsigned long long>(n->size));
        Ref value = tarvish::box(count);
        ok = key && value && PyDict_SetItem(result.get(), key.get(), value.get()) == 0;
    });
    if (!ok || !section.leave()) return nullptr;
    return result.release();
}

constexpr Signature<0> FastRedBlackTree_reset_circuit_breaker_sig{"reset_circuit_breaker", {}};
PyObject* FastRedBlackTree_reset_circuit_breaker(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastRedBlackTree_reset_circuit_breaker_sig, args, nargs, kwnames)) return nullptr;
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    Section section{t.stats_lock.get(), t.stats_owner, "FastRedBlackTree.reset_circuit_breaker"};
    if (!section) return nullptr;
    t.has_trips = true;
    t.stats[kOperationCount] = 0;
    if (!section.leave()) return nullptr;
    Py_RETURN_NONE;
}

constexpr Signature<0> FastRedBlackTree_get_statistics_sig{"get_statistics", {}};
PyObject* FastRedBlackTree_get_statistics(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastRedBlackTree_get_statistics_sig, args, nargs, kwnames)) return nullptr;
    return PyDict_New();
}

Py_ssize_t FastRedBlackTree_len(PyObject* self) noexcept {
    Ref r = tarvish::call_method(self, state().s_size);
    if (!r) return -1;
    Py_ssize_t n = PyNumber_AsSsize_t(r.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0) {  // reported as an error rather than handed to len() as a bare -1
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

int FastRedBlackTree_bool(PyObject* self) noexcept {
    Ref r = tarvish::call_method(self, state().s_size);
    if (!r) return -1;
    return PyObject_RichCompareBool(r.get(), tarvish::zero(), Py_GT);
}

PyObject* FastRedBlackTree_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(tarvish::state_of<FastRedBlackTree>(self).node_count));
}

PyMethodDef FastRedBlackTree_methods[] = {
    tarvish::method<FastRedBlackTree_sanitize_size, FastRedBlackTree_sanitize_size_sig, "Validate size.",
                    METH_STATIC>(),
    tarvish::method<FastRedBlackTree_insert, FastRedBlackTree_insert_sig,
                    "Insert block into tree.\n"
                    "\n"
                    "Blocks of a size already present join that size's chain. Returns True.">(),
    tarvish::method<FastRedBlackTree_find_best_fit, FastRedBlackTree_find_best_fit_sig,
                    "Find best-fit block (LOCK-FREE read).\n"
                    "\n"
                    "Returns the block of the smallest size >= size, or None; the block stays in the tree.">(),
    tarvish::method<FastRedBlackTree_find_all_exact, FastRedBlackTree_find_all_exact_sig,
                    "Find all blocks of exact size (lock-free read).">(),
    tarvish::method<FastRedBlackTree_delete, FastRedBlackTree_delete_sig,
                    "Delete specific block.\n"
                    "\n"
                    "Removes one entry of this size whose block equals block; returns whether one was removed.">(),
    tarvish::method<FastRedBlackTree_remove_ge, FastRedBlackTree_remove_ge_sig,
                    "Remove and return best-fit block >= size.\n"
                    "\n"
                    "Returns (actual_size, block), or (None, None) when no block is large enough.">(),
    tarvish::method<FastRedBlackTree_get_stats, FastRedBlackTree_get_stats_sig, "Get tree statistics.">(),
    tarvish::method<FastRedBlackTree_size, FastRedBlackTree_size_sig, "Get total block count.">(),
    tarvish::method<FastRedBlackTree_clear_method, FastRedBlackTree_clear_method_sig, "Clear all blocks.">(),
    tarvish::method<FastRedBlackTree_get_size_distribution, FastRedBlackTree_get_size_distribution_sig,
                    "Get size distribution.">(),
    tarvish::method<FastRedBlackTree_reset_circuit_breaker, FastRedBlackTree_reset_circuit_breaker_sig,
                    "Reset circuit breaker stats.">(),
    tarvish::method<FastRedBlackTree_get_statistics, FastRedBlackTree_get_statistics_sig,
                    "Get timing statistics (empty for sampling mode).">(),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot FastRedBlackTree_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FastRedBlackTree_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(FastRedBlackTree_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(FastRedBlackTree_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(FastRedBlackTree_clear)},
    {Py_tp_methods, FastRedBlackTree_methods},
    {Py_tp_repr, reinterpret_cast<void*>(FastRedBlackTree_repr)},
    {Py_sq_length, reinterpret_cast<void*>(FastRedBlackTree_len)},
    {Py_mp_length, reinterpret_cast<void*>(FastRedBlackTree_len)},
    {Py_nb_bool, reinterpret_cast<void*>(FastRedBlackTree_bool)},
    {Py_tp_doc, tarvish::type_doc<FastRedBlackTree_new_sig,
                                  "Free blocks indexed by size: best-fit and exact-size searches that read "
                                  "without locks,\nwriters serialised by a lock.",
                                  "FastRedBlackTree">()},
    {0, nullptr},
};

PyType_Spec FastRedBlackTree_spec{"tarvish.memory.brindle.FastRedBlackTree", sizeof(FastRedBlackTree), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                                  FastRedBlackTree_slots};

// ---------------------------------------------------------------------------
// The module body, in order.

bool brindle_exec(PyObject* module) noexcept {
    if (!tarvish::import_as(module, "threading", "threading") || !tarvish::import_as(module, "time", "time") ||
        !tarvish::import_as(module, "math", "math") ||
        !tarvish::import_from(module, "typing", {"List", "Optional", "Tuple", "Dict", "Any"}))
        return false;
    if (!tarvish::prepare_lock_protocol(module)) return false;
    if (!tarvish::import_relative(module, "plinth", 1, {"Plinth"})) return false;
    PyObject* available = Py_True;
    if (!tarvish::import_relative(module, "memory.corvane", 2, {"AtomicCounter"})) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
        PyErr_Clear();
        available = Py_False;
    }
    // Bound in this order: ATOMIC_AVAILABLE, then the fallback AtomicCounter = None.
    if (PyModule_AddObjectRef(module, "ATOMIC_AVAILABLE", available) < 0) return false;
    if (available == Py_False && PyModule_AddObjectRef(module, "AtomicCounter", Py_None) < 0) return false;
    return tarvish::add_type(module, &FastRedBlackTree_spec, state().FastRedBlackTree_type);
}

PyModuleDef brindle_def{
    PyModuleDef_HEAD_INIT,
    "brindle",
    "Free-block tree of the memory pool.\n"
    "\n"
    "FastRedBlackTree keeps free blocks keyed by size in a native red-black tree,\n"
    "one node per distinct size with a chain for the further blocks of that size.\n"
    "find_best_fit and find_all_exact walk it without locks and without the\n"
    "interpreter lock, validated by a sequence counter; unlinked nodes are freed\n"
    "only once no such walk can still reach them.",
    0,
    nullptr,
    tarvish::ModuleSlots<state, brindle_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_brindle() { return PyModuleDef_Init(&brindle_def); }
