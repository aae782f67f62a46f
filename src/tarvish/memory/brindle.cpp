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
    tarvish::TypeVersion tree_version;  // the type as made: _sanitize_size its own

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
// off its head through `next` and uses only size, block and next. left, right,
// block and next (and the tree's root) are atomics because the lock-free
// readers load them while a writer may store them (see "Reader protocol"
// below): a writer stores them with release, a reader loads them with
// acquire. parent and color are only touched by the writer and by walks that
// exclude the writers' changes (the tree's critical section, or the writer
// lock). size is fixed before the node is linked.

struct RBNode {
    RBNode* parent;
    std::atomic<RBNode*> left;
    std::atomic<RBNode*> right;
    int32_t color;
    uint64_t size;
    std::atomic<PyObject*> block;  // one strong reference
    std::atomic<RBNode*> next;
};

// The writer's loads (relaxed: it reads what it stored itself) and stores.
RBNode* left_of(const RBNode* n) noexcept { return n->left.load(std::memory_order_relaxed); }
RBNode* right_of(const RBNode* n) noexcept { return n->right.load(std::memory_order_relaxed); }
RBNode* next_of(const RBNode* n) noexcept { return n->next.load(std::memory_order_relaxed); }
PyObject* block_of(const RBNode* n) noexcept { return n->block.load(std::memory_order_relaxed); }
void set_left(RBNode* n, RBNode* v) noexcept { n->left.store(v, std::memory_order_release); }
void set_right(RBNode* n, RBNode* v) noexcept { n->right.store(v, std::memory_order_release); }
void set_next(RBNode* n, RBNode* v) noexcept { n->next.store(v, std::memory_order_release); }
void set_block(RBNode* n, PyObject* v) noexcept { n->block.store(v, std::memory_order_release); }
bool is_red(const RBNode* n) noexcept { return n && n->color == kRed; }

// A list of unlinked records through `next`, oldest first.
struct Graveyard {
    RBNode* head = nullptr;
    RBNode* tail = nullptr;
    void add(RBNode* n) noexcept {
        set_next(n, nullptr);
        if (tail) set_next(tail, n);
        else head = n;
        tail = n;
    }
    void splice(Graveyard& other) noexcept {
        if (!other.head) return;
        if (tail) set_next(tail, other.head);
        else head = other.head;
        tail = other.tail;
        other = Graveyard{};
    }
};

// ---------------------------------------------------------------------------
// Reader protocol.
//
// The readers (find_best_fit, find_all_exact) take no lock. A writer holds
// the writer lock and makes `seq_counter` odd (a seq_cst store) before its
// first change and even again (a release store) after its last. Every store a
// reader may see (a link, a block, a chain link) is a release store, and the
// reader loads it with acquire.
//
// Consistency. A reader registers as a walker (below), loads the counter (s,
// seq_cst) and, when s is even, walks: after each link load it re-reads the
// counter and stops when it is no longer s. If the link load saw a store of a
// writer that began after s, the acquire made that writer's odd value visible
// to the re-read. So a walk that completes has followed only links of the tree
// of version s, cannot loop, and is bounded by that tree's height. The reader
// then takes its strong references (the found block, or the chain's blocks
// into a new list) and checks the counter once more: still s means that no
// writer had begun by then, so the blocks were in the tree at that instant.
// Otherwise the references are dropped and the reader tries again.
//
// Reclamation. What a writer unlinks may still be under a reader, node and
// block alike, so the writer does not free or release it: after leaving its
// section it moves its graveyard into a limbo list, and a record leaves limbo
// (its memory freed, its block released, in the order they were unlinked)
// only when no walker can still hold it. Walkers register in one of two
// slots, chosen by the parity of `epoch`:
//   - a graveyard joins limbo[epoch & 1];
//   - when the previous slot, walkers[(epoch + 1) & 1], has no walker, the
//     limbo of the previous epoch is released and, if the current limbo holds
//     records, the epoch advances (new walkers then use the slot just drained);
//     this repeats while it frees something;
//   - the writer does this after each graveyard, and a leaving walker does it
//     when `pending` says that limbo holds records.
// Why this is safe: a reader that can reach a record loaded its s before the
// unlinking writer made the counter odd, and registered (a seq_cst increment)
// before that. A record retired at epoch E is freed only after two checks,
// both later than that odd store (seq_cst loads, so they see the
// registration): walkers[(E + 1) & 1] is 0 for the epoch to advance to E + 1,
// and then walkers[E & 1] is 0 for limbo[E & 1] to go. Whichever slot the
// reader took, one of the two finds it there until its decrement, whose
// release makes the reader's loads happen before the free. The slot a walker
// picks matters only for how soon a limbo drains. `pending` is a seq_cst
// store before the writer's check and a seq_cst load after the walker's
// decrement, so one of them sees the other and no limbo outlives the last
// walker that blocked it.
//
// Shape and statistics. Besides the writer lock, each change of the tree's
// shape, of its statistics, of its counters' references and of its limbo
// lists happens inside the tree's critical section (no Python code runs
// there), which get_stats and reset_circuit_breaker also enter: so get_stats
// walks parent links of a tree that no writer is halfway through changing,
// and reads statistics of one version. On the GIL build the critical section
// is the interpreter lock itself, held throughout. `node_count` and the
// readers' search count are atomics, read without a lock.

struct FastRedBlackTreeState {
    std::atomic<RBNode*> root{nullptr};
    std::atomic<uint64_t> node_count{0};  // written inside the critical section, read anywhere (relaxed)
    Ref lock;
    tarvish::Owner writer;  // the thread inside a writer's section (or get_size_distribution)
    std::atomic<uint64_t> seq_counter{0};
    uint32_t sample_rate = kSampleRate;
    Ref op_counter;       // replaced and read (for a reference) inside the critical section
    Ref sampled_counter;  // likewise; also read by the writer
    bool use_atomic = false;
    Ref stats_lock;
    tarvish::Owner stats_owner;        // the thread inside get_stats or reset_circuit_breaker
    int64_t stats[kNumStats] = {};     // inside the critical section; kTotalSearches is `searches`
    std::atomic<int64_t> searches{0};  // the readers' "total_searches" (relaxed adds)
    bool has_trips = false;            // "circuit_breaker_trips" present (always 0); inside the critical section

    std::atomic<uint64_t> epoch{0};      // advanced inside the critical section, read by walkers (relaxed)
    std::atomic<uint64_t> walkers[2]{};  // registered walkers per slot
    std::atomic<bool> pending{false};    // limbo holds records
    Graveyard limbo[2];                  // inside the critical section
};

struct FastRedBlackTree {
    PyObject_HEAD
    FastRedBlackTreeState st;
};

RBNode* root_of(const FastRedBlackTreeState& t) noexcept { return t.root.load(std::memory_order_relaxed); }
void set_root(FastRedBlackTreeState& t, RBNode* v) noexcept { t.root.store(v, std::memory_order_release); }

// The tree's critical section (fn() inside it) is the interpreter lock's own
// exclusion on the GIL build, the object's lock on the free-threaded build; a
// tree walk gives up the interpreter lock where there is one (the free-threaded
// build has none, and detaching for a walk bounded by the tree's height would
// only cost).
using tarvish::critical;
using tarvish::without_gil;

// Whether this thread is inside the tree's write section: the counter odd, the writer's guard its own.
[[maybe_unused]] bool writing_here(const FastRedBlackTreeState& t) noexcept {
    return (t.seq_counter.load(std::memory_order_relaxed) & 1) && t.writer.held_here();
}

void begin_write(FastRedBlackTreeState& t) noexcept {
    uint64_t s = t.seq_counter.load(std::memory_order_relaxed);
    assert(!(s & 1) && t.writer.held_here());
    t.seq_counter.store(s + 1, std::memory_order_seq_cst);  // ordered before the frees' checks of walkers[]
}

void end_write(FastRedBlackTreeState& t) noexcept {
    assert(writing_here(t));
    t.seq_counter.store(t.seq_counter.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// Still version s? Called by a walker after each acquire load of a link.
bool unchanged(const FastRedBlackTreeState& t, uint64_t s) noexcept {
    return t.seq_counter.load(std::memory_order_relaxed) == s;
}

unsigned enter_walk(FastRedBlackTreeState& t) noexcept {
    unsigned slot = t.epoch.load(std::memory_order_relaxed) & 1;
    t.walkers[slot].fetch_add(1, std::memory_order_seq_cst);
    return slot;
}

// Moves a writer's graveyard into the current limbo.
void retire_lock_held(FastRedBlackTreeState& t, Graveyard& g) noexcept {
    t.limbo[t.epoch.load(std::memory_order_relaxed) & 1].splice(g);
    t.pending.store(true, std::memory_order_seq_cst);
}

// Takes out of limbo what no walker can hold any more, oldest first.
Graveyard collect_lock_held(FastRedBlackTreeState& t) noexcept {
    Graveyard dead;
    for (;;) {
        uint64_t e = t.epoch.load(std::memory_order_relaxed);
        unsigned cur = e & 1, prev = cur ^ 1;
        if (t.walkers[prev].load(std::memory_order_seq_cst)) break;
        dead.splice(t.limbo[prev]);
        if (!t.limbo[cur].head) break;
        t.epoch.store(e + 1, std::memory_order_relaxed);
    }
    t.pending.store(t.limbo[0].head || t.limbo[1].head, std::memory_order_seq_cst);
    return dead;
}

// Frees the records and releases their blocks, in their order. Block
// releases may run arbitrary code (which may even use this tree again), so
// this runs outside every lock, with the pending exception kept aside.
void release(Graveyard dead) noexcept {
    RBNode* n = dead.head;
    if (!n) return;
    PyObject* exc = PyErr_GetRaisedException();
    while (n) {
        RBNode* next = next_of(n);
        PyObject* block = block_of(n);
        PyMem_Free(n);
        Py_DECREF(block);
        n = next;
    }
    PyErr_SetRaisedException(exc);
}

void reclaim(PyObject* self, FastRedBlackTreeState& t) noexcept {
    Graveyard dead;
    critical(self, [&] { dead = collect_lock_held(t); });
    release(dead);
}

void leave_walk(PyObject* self, FastRedBlackTreeState& t, unsigned slot) noexcept {
    [[maybe_unused]] uint64_t was = t.walkers[slot].fetch_sub(1, std::memory_order_seq_cst);
    assert(was > 0);
    if (t.pending.load(std::memory_order_seq_cst)) reclaim(self, t);
}

// A writer's graveyard, after its section: into limbo, then whatever can go.
void bury(PyObject* self, FastRedBlackTreeState& t, Graveyard& g) noexcept {
    if (!g.head) return;
    Graveyard dead;
    critical(self, [&] {
        retire_lock_held(t, g);
        dead = collect_lock_held(t);
    });
    release(dead);
}

// ---------------------------------------------------------------------------
// Walks. Checked walks are the lock-free readers' (version s); unchecked ones
// run where no writer can interfere.

template <bool Checked>
RBNode* walk_exact(const FastRedBlackTreeState& t, uint64_t size, uint64_t s, bool& ok) noexcept {
    RBNode* n = t.root.load(std::memory_order_acquire);
    for (;;) {
        if constexpr (Checked)
            if (!unchanged(t, s)) return ok = false, nullptr;
        if (!n || n->size == size) break;
        n = size < n->size ? n->left.load(std::memory_order_acquire) : n->right.load(std::memory_order_acquire);
    }
    ok = true;
    return n;
}

template <bool Checked>
RBNode* walk_best_fit(const FastRedBlackTreeState& t, uint64_t size, uint64_t s, bool& ok) noexcept {
    RBNode* n = t.root.load(std::memory_order_acquire);
    RBNode* candidate = nullptr;
    for (;;) {
        if constexpr (Checked)
            if (!unchanged(t, s)) return ok = false, nullptr;
        if (!n) break;
        if (n->size < size) {
            n = n->right.load(std::memory_order_acquire);
        } else {
            if (!candidate || n->size < candidate->size) candidate = n;
            n = n->left.load(std::memory_order_acquire);
        }
    }
    ok = true;
    return candidate;
}

// Calls fn(entry) for the head and then each chain entry of version s, in
// chain order; false as soon as the version moved (the entry not visited).
template <class F>
bool each_entry(const FastRedBlackTreeState& t, RBNode* head, uint64_t s, F fn) noexcept {
    for (RBNode* e = head; e; e = e->next.load(std::memory_order_acquire)) {
        if (!unchanged(t, s)) return false;
        fn(e);
    }
    return true;
}

RBNode* find_node(const FastRedBlackTreeState& t, uint64_t size) noexcept {
    bool ok;
    return walk_exact<false>(t, size, 0, ok);
}

// Pre-order over the heads through parent links (no recursion, so a tree made
// lopsided by deletions cannot exhaust the stack). fn(node, depth). Only where
// no writer can be changing the shape: the writer lock or the critical section.
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
        for (RBNode* e = next_of(n); e;) {
            RBNode* following = next_of(e);
            g.add(e);
            e = following;
        }
        g.add(n);
        n = parent;
    }
    t.node_count.store(0, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Red-black maintenance: inside a write section only (the writer lock held,
// the counter odd) and, allocation apart, inside the tree's critical section.

RBNode* allocate_node(uint64_t size, PyObject* block) noexcept {
    void* mem = PyMem_Malloc(sizeof(RBNode));
    if (!mem) return nullptr;
    return new (mem) RBNode{nullptr, {nullptr}, {nullptr}, kRed, size, {Py_NewRef(block)}, {nullptr}};
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
    if (RBNode* d = next_of(head)) {
        set_next(head, next_of(d));
        PyObject* old = block_of(head);
        set_block(head, block_of(d));
        set_block(d, old);  // d now carries the head's old block
        g.add(d);
    } else {
        delete_node_lock_held(t, head, g);
    }
}

// ---------------------------------------------------------------------------
// Locks, sampling and sizes. A lock is entered through its context-manager
// protocol; a failed section's exception is handed to __exit__ and then
// propagates whatever __exit__ returns (chained under an error of __exit__ itself).

// node_count and "total_blocks" move together (by +1 or -1).
void count_lock_held(FastRedBlackTreeState& t, int delta) noexcept {
    assert(writing_here(t));
    t.node_count.store(t.node_count.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
    t.stats[kTotalBlocks] += delta;
}

// Runs `body(graveyard) -> Ref` as the writer `method`: under `lock`, with the
// sequence counter odd throughout (made even again on every path), then
// buries whatever the body unlinked. The writer guard refuses
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
    bury(self, t, g);
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
// kMaxRetries attempts, each registered as a walker, napping while a writer is
// inside, else running `walk(s, ok) -> RBNode*` (a checked walk at version s)
// without the interpreter lock and, when the version held throughout,
// `use(found, s, out)` with it held, still registered so that nothing found is
// freed or released. `use` takes its references and validates them: false to
// retry (having dropped them), or true with `out` the result (null with an
// error set). The result, counted as a search when it is one; no value when
// every attempt met a writer.
template <class Walk, class Use>
[[nodiscard]] std::optional<Ref> read_section(PyObject* self, FastRedBlackTreeState& t, Walk walk, Use use) noexcept {
    for (int attempts = 0; attempts < kMaxRetries; ++attempts) {
        unsigned slot = enter_walk(t);
        uint64_t s = t.seq_counter.load(std::memory_order_seq_cst);  // after the registration
        if (s & 1) {
            leave_walk(self, t, slot);
            if (!nap()) return Ref();
            continue;
        }
        bool ok;
        RBNode* found = without_gil([&] { return walk(s, ok); });
        Ref out;
        bool done = ok && use(found, s, out);
        leave_walk(self, t, slot);
        if (done) {
            if (out) t.searches.fetch_add(1, std::memory_order_relaxed);
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
    // A tree of the class as made runs its own _sanitize_size (an int passes
    // its argument conversion unchanged) without the lookup.
    if (state().tree_version.unchanged(self) && PyLong_CheckExact(size)) [[likely]] {
        if (!PyLong_IsNegative(size)) return tarvish::to_int<uint64_t, "uint64_t">(size, out) ? Prep::ok : Prep::error;
        if (soft) return Prep::empty;
        return tarvish::raise(PyExc_ValueError, "Invalid size: %S", size), Prep::error;
    }
    Ref r = tarvish::call_method(self, state().s_sanitize_size, size);
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

// Frees every record, limbo's included, and releases every block
// (destruction and the cyclic collector's clear). No walker or writer can be
// active, nor any other thread reach the tree: each would hold a reference.
void drop_tree(FastRedBlackTreeState& t) noexcept {
    Graveyard g;
    detach_all(t, g);
    retire_lock_held(t, g);
    release(collect_lock_held(t));
}

int FastRedBlackTree_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    if (int r = tarvish::visit_type(self, visit, arg)) return r;
    Py_VISIT(t.lock.get());
    Py_VISIT(t.op_counter.get());
    Py_VISIT(t.sampled_counter.get());
    Py_VISIT(t.stats_lock.get());
    // No other thread is inside a change of the tree or its limbo meanwhile
    // (they happen under the interpreter lock, or outside a stopped world).
    int err = 0;
    preorder(t, [&](RBNode* n, uint64_t) {
        for (RBNode* e = n; e && !err; e = next_of(e)) err = visit(block_of(e), arg);
    });
    for (const Graveyard& l : t.limbo)
        for (RBNode* e = l.head; e && !err; e = next_of(e)) err = visit(block_of(e), arg);
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
    assert(!t.walkers[0].load() && !t.walkers[1].load() && !t.limbo[0].head && !t.limbo[1].head);
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
        Ref counter;  // clear() may replace it meanwhile
        critical(self, [&] { counter = Ref::borrow(t.op_counter.get()); });
        Ref n = tarvish::call_method(counter.get(), state().s_increment);
        if (!n) return nullptr;
        if (t.sample_rate && !is_multiple(n.get(), t.sample_rate, sampled)) return nullptr;
    }

    return write_section(self, "FastRedBlackTree.insert", [&](Graveyard&) -> Ref {
        RBNode* existing = find_node(t, key);
        RBNode* node = allocate_node(key, block);
        if (!node) return tarvish::raise(PyExc_MemoryError, "Failed to allocate RB node"), Ref();
        critical(self, [&] {
            if (existing) {
                node->next.store(next_of(existing), std::memory_order_relaxed);  // not yet published
                set_next(existing, node);
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
            count_lock_held(t, +1);
            ++t.stats[kTotalInsertions];
            ++t.stats[kOperationCount];
        });
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
        self, t, [&](uint64_t s, bool& ok) noexcept { return walk_best_fit<true>(t, key, s, ok); },
        [&](RBNode* fit, uint64_t s, Ref& out) noexcept {
            out = Ref::borrow(fit ? fit->block.load(std::memory_order_acquire) : Py_None);
            if (unchanged(t, s)) return true;
            out.reset();
            return false;
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
        self, t, [&](uint64_t s, bool& ok) noexcept { return walk_exact<true>(t, key, s, ok); },
        [&](RBNode* head, uint64_t s, Ref& out) noexcept {
            Py_ssize_t count = 0;
            if (!each_entry(t, head, s, [&](RBNode*) { ++count; })) return false;
            out = Ref::steal(PyList_New(count));
            if (!out) return true;
            Py_ssize_t i = 0;
            bool same = each_entry(t, head, s, [&](RBNode* e) {
                if (i < count) PyList_SET_ITEM(out.get(), i++, Py_NewRef(e->block.load(std::memory_order_acquire)));
            });
            if (same && i == count && unchanged(t, s)) return true;
            out.reset();  // unfilled items are null, which the list's release skips
            return false;
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
        int eq = tarvish::compare(block_of(head), block, Py_EQ);
        if (eq < 0) return Ref();
        RBNode* prev = nullptr;
        RBNode* cur = head;
        if (!eq) {
            for (prev = head, cur = next_of(head); cur; prev = cur, cur = next_of(cur)) {
                eq = tarvish::compare(block_of(cur), block, Py_EQ);
                if (eq < 0) return Ref();
                if (eq) break;
            }
            if (!cur) return Ref::borrow(Py_False);
        }
        critical(self, [&] {
            if (!prev) {
                remove_head_block_lock_held(t, head, g);
            } else {
                set_next(prev, next_of(cur));
                g.add(cur);
            }
            count_lock_held(t, -1);
            ++t.stats[kTotalDeletions];
        });
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
        bool ok;
        RBNode* head = without_gil([&] { return walk_best_fit<false>(t, key, 0, ok); });
        if (!head) return Ref::steal(PyTuple_Pack(2, Py_None, Py_None));
        // The result is built before anything is unlinked, so a failed
        // allocation leaves the block in the tree instead of losing it.
        Ref actual = tarvish::box(static_cast<unsigned long long>(head->size));
        Ref result = actual ? Ref::steal(PyTuple_Pack(2, actual.get(), block_of(head))) : Ref();
        if (!result) return result;
        critical(self, [&] {
            remove_head_block_lock_held(t, head, g);
            count_lock_held(t, -1);
            ++t.stats[kTotalDeletions];
        });
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
        critical(self, [&] {
            detach_all(t, g);
            for (int64_t& v : t.stats) v = 0;
            t.searches.store(0, std::memory_order_relaxed);
            t.has_trips = false;
            if (t.use_atomic) {
                std::swap(t.op_counter, op);
                std::swap(t.sampled_counter, sampled);
            }
        });
        return Ref::borrow(Py_None);  // the old counters go here, outside the critical section
    });
}

constexpr Signature<0> FastRedBlackTree_get_stats_sig{"get_stats", {}};
PyObject* FastRedBlackTree_get_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    if (!tarvish::parse(FastRedBlackTree_get_stats_sig, args, nargs, kwnames)) return nullptr;
    FastRedBlackTreeState& t = tarvish::state_of<FastRedBlackTree>(self);
    Section section{t.stats_lock.get(), t.stats_owner, "FastRedBlackTree.get_stats"};
    if (!section) return nullptr;
    // Snapshot before any object is made (making one may run code), of one
    // version: no writer changes the shape or the statistics meanwhile.
    int64_t stats[kNumStats];
    bool trips = false;
    uint64_t nodes = 0, height = 0;
    Ref counter;
    critical(self, [&] {
        for (int i = 0; i < kNumStats; ++i) stats[i] = t.stats[i];
        stats[kTotalSearches] = t.searches.load(std::memory_order_relaxed);
        trips = t.has_trips;
        nodes = t.node_count.load(std::memory_order_relaxed);
        height = compute_height(t);
        if (t.use_atomic) counter = Ref::borrow(t.sampled_counter.get());
    });

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
    return PyLong_FromUnsignedLongLong(
        tarvish::state_of<FastRedBlackTree>(self).node_count.load(std::memory_order_relaxed));
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
        for (RBNode* e = n; e; e = next_of(e)) ++count;
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
    critical(self, [&] {
        t.has_trips = true;
        t.stats[kOperationCount] = 0;
    });
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
    uint64_t blocks = tarvish::state_of<FastRedBlackTree>(self).node_count.load(std::memory_order_relaxed);
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)", static_cast<unsigned long long>(blocks));
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
    if (!tarvish::add_type(module, &FastRedBlackTree_spec, state().FastRedBlackTree_type)) return false;
    state().tree_version.note(state().FastRedBlackTree_type);
    return true;
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
