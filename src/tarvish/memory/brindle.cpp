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
#include <utility>

namespace {

using tarvish::Ref;
using tarvish::Signature;

tarvish::ModuleGuard brindle_guard{"brindle"};
PyTypeObject* FastRedBlackTree_type = nullptr;

constexpr int32_t RED = 0;
constexpr int32_t BLACK = 1;
constexpr int MAX_RETRIES = 100;
constexpr double RETRY_SLEEP = 0.0001;

tarvish::Str s_sanitize_size{"_sanitize_size"};
tarvish::Str s_increment{"increment"};
tarvish::Str s_load{"load"};
tarvish::Str s_size{"size"};
tarvish::Str s_sleep{"sleep"};
tarvish::Str s_time{"time"};
tarvish::Str s_AtomicCounter{"AtomicCounter"};
tarvish::Str s_ATOMIC_AVAILABLE{"ATOMIC_AVAILABLE"};

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
bool is_red(const RBNode* n) noexcept { return n && n->color == RED; }

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

enum Stat { TOTAL_BLOCKS, TOTAL_INSERTIONS, TOTAL_DELETIONS, TOTAL_SEARCHES, BUCKET_HITS, TREE_HITS,
            OPERATION_COUNT, NSTATS };
tarvish::Str stat_keys[NSTATS] = {{"total_blocks"},  {"total_insertions"}, {"total_deletions"},
                                  {"total_searches"}, {"bucket_hits"},      {"tree_hits"},
                                  {"operation_count"}};
tarvish::Str s_circuit_breaker_trips{"circuit_breaker_trips"};
tarvish::Str s_node_count{"node_count"};
tarvish::Str s_height{"height"};
tarvish::Str s_sampled_operations{"sampled_operations"};
tarvish::Str s_is_valid{"is_valid"};

// ---------------------------------------------------------------------------
// Reader protocol.
//
// Every change of the tree's shape, every node free and every block release
// happens with the interpreter lock held, and no Python code runs while a
// shape change is half done. The readers (find_best_fit, find_all_exact) read
// `seq_counter` with the interpreter lock held, release it for the walk and
// take it back before they look at any block.
//
// Consistency. A writer makes the counter odd and then issues a release fence
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
// A walker of epoch e keeps its slot busy, so the epoch cannot pass e + 1 and
// nothing unlinked at epoch e or later is freed before it leaves; nodes
// unlinked before it registered were no longer reachable when it started.
// Walkers and limbo lists are plain fields: they are used only with the
// interpreter lock held. remove_ge walks without the interpreter lock too, but
// with the writer lock held, so no writer can change the tree under it.

struct TreeState {
    std::atomic<RBNode*> root{nullptr};
    uint64_t node_count = 0;
    Ref lock;
    tarvish::Owner writer;  // the thread inside a writer's section (or get_size_distribution)
    std::atomic<uint64_t> seq_counter{0};
    uint32_t sample_rate = 100;
    Ref op_counter;
    Ref sampled_counter;
    bool use_atomic = false;
    Ref stats_lock;
    tarvish::Owner stats_owner;  // the thread inside get_stats or reset_circuit_breaker
    int64_t stats[NSTATS] = {};
    bool has_trips = false;  // "circuit_breaker_trips" present (always 0)

    uint64_t epoch = 0;
    uint64_t walkers[2] = {0, 0};
    RBNode* limbo[2] = {nullptr, nullptr};
};

struct FastRedBlackTree {
    PyObject_HEAD
    TreeState st;
};

TreeState& state(PyObject* self) noexcept { return reinterpret_cast<FastRedBlackTree*>(self)->st; }

RBNode* root_of(const TreeState& t) noexcept { return t.root.load(std::memory_order_relaxed); }
void set_root(TreeState& t, RBNode* v) noexcept { t.root.store(v, std::memory_order_relaxed); }

void begin_write(TreeState& t) noexcept {
    t.seq_counter.store(t.seq_counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
}

void end_write(TreeState& t) noexcept {
    t.seq_counter.store(t.seq_counter.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

// Still version s? Called by a walker after each link load.
bool unchanged(const TreeState& t, uint64_t s) noexcept {
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

void reclaim(TreeState& t) noexcept {
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

void retire(TreeState& t, RBNode* n) noexcept {
    unsigned cur = t.epoch & 1;
    n->next = t.limbo[cur];
    t.limbo[cur] = n;
}

unsigned enter_walk(TreeState& t) noexcept {
    unsigned slot = t.epoch & 1;
    ++t.walkers[slot];
    return slot;
}

void leave_walk(TreeState& t, unsigned slot) noexcept {
    --t.walkers[slot];
    reclaim(t);
}

// Releases the blocks of the unlinked records in their order and retires the
// records. Block releases may run arbitrary code (which may even use this tree
// again), so the pending exception is kept aside meanwhile.
void bury(TreeState& t, Graveyard& g) noexcept {
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
RBNode* walk_exact(const TreeState& t, uint64_t size, uint64_t s, bool& ok) noexcept {
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
RBNode* walk_best_fit(const TreeState& t, uint64_t size, uint64_t s, bool& ok) noexcept {
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

RBNode* find_node(const TreeState& t, uint64_t size) noexcept {
    bool ok;
    return walk_exact<false>(t, size, 0, ok);
}

// Pre-order over the heads through parent links (no recursion, so a tree made
// lopsided by deletions cannot exhaust the stack). fn(node, depth).
template <class F>
void preorder(const TreeState& t, F fn) noexcept {
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

uint64_t compute_height(const TreeState& t) noexcept {
    uint64_t height = 0;
    preorder(t, [&](RBNode*, uint64_t depth) { height = depth > height ? depth : height; });
    return height;
}

// Detaches the whole tree and collects every record post-order: left subtree,
// right subtree, the head's chain entries in chain order, then the head.
void detach_all(TreeState& t, Graveyard& g) noexcept {
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
// Red-black maintenance (writers only, interpreter lock held).

RBNode* allocate_node(uint64_t size, PyObject* block) noexcept {
    void* mem = PyMem_Malloc(sizeof(RBNode));
    if (!mem) return nullptr;
    return new (mem) RBNode{nullptr, {nullptr}, {nullptr}, RED, size, Py_NewRef(block), nullptr};
}

void rotate_left(TreeState& t, RBNode* x) noexcept {
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

void rotate_right(TreeState& t, RBNode* x) noexcept {
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

void fixup_insert(TreeState& t, RBNode* z) noexcept {
    while (z->parent && z->parent->color == RED) {
        RBNode* p = z->parent;
        RBNode* g = p->parent;
        if (!g) break;  // a red root; recoloured below
        if (p == left_of(g)) {
            RBNode* uncle = right_of(g);
            if (is_red(uncle)) {
                p->color = BLACK;
                uncle->color = BLACK;
                g->color = RED;
                z = g;
            } else {
                if (z == right_of(p)) {
                    z = p;
                    rotate_left(t, z);
                }
                z->parent->color = BLACK;
                g->color = RED;
                rotate_right(t, g);
            }
        } else {
            RBNode* uncle = left_of(g);
            if (is_red(uncle)) {
                p->color = BLACK;
                uncle->color = BLACK;
                g->color = RED;
                z = g;
            } else {
                if (z == left_of(p)) {
                    z = p;
                    rotate_right(t, z);
                }
                z->parent->color = BLACK;
                g->color = RED;
                rotate_left(t, g);
            }
        }
    }
    root_of(t)->color = BLACK;
}

RBNode* minimum(RBNode* n) noexcept {
    while (left_of(n)) n = left_of(n);
    return n;
}

void transplant(TreeState& t, RBNode* u, RBNode* v) noexcept {
    if (!u->parent) set_root(t, v);
    else if (u == left_of(u->parent)) set_left(u->parent, v);
    else set_right(u->parent, v);
    if (v) v->parent = u->parent;
}

void fixup_delete(TreeState& t, RBNode* x) noexcept {
    while (x != root_of(t) && x->color == BLACK) {
        RBNode* p = x->parent;
        if (x == left_of(p)) {
            RBNode* w = right_of(p);
            if (!w) {
                x = p;
                continue;
            }
            if (w->color == RED) {
                w->color = BLACK;
                p->color = RED;
                rotate_left(t, p);
                w = right_of(x->parent);
                if (!w) {
                    x = x->parent;
                    continue;
                }
            }
            if (!is_red(left_of(w)) && !is_red(right_of(w))) {
                w->color = RED;
                x = p;
            } else {
                if (!is_red(right_of(w))) {
                    left_of(w)->color = BLACK;
                    w->color = RED;
                    rotate_right(t, w);
                    w = right_of(x->parent);
                }
                w->color = p->color;
                p->color = BLACK;
                if (right_of(w)) right_of(w)->color = BLACK;
                rotate_left(t, p);
                x = root_of(t);
            }
        } else {
            RBNode* w = left_of(p);
            if (!w) {
                x = p;
                continue;
            }
            if (w->color == RED) {
                w->color = BLACK;
                p->color = RED;
                rotate_right(t, p);
                w = left_of(x->parent);
                if (!w) {
                    x = x->parent;
                    continue;
                }
            }
            if (!is_red(right_of(w)) && !is_red(left_of(w))) {
                w->color = RED;
                x = p;
            } else {
                if (!is_red(left_of(w))) {
                    right_of(w)->color = BLACK;
                    w->color = RED;
                    rotate_left(t, w);
                    w = left_of(x->parent);
                }
                w->color = p->color;
                p->color = BLACK;
                if (left_of(w)) left_of(w)->color = BLACK;
                rotate_right(t, p);
                x = root_of(t);
            }
        }
    }
    x->color = BLACK;
}

// Unlinks the head z. As the textbook delete with null leaves, except that no
// fix-up runs when the node to fix is null.
void delete_node(TreeState& t, RBNode* z, Graveyard& g) noexcept {
    RBNode* y = z;
    int32_t removed = y->color;
    RBNode* x;
    if (!left_of(z)) {
        x = right_of(z);
        transplant(t, z, right_of(z));
    } else if (!right_of(z)) {
        x = left_of(z);
        transplant(t, z, left_of(z));
    } else {
        y = minimum(right_of(z));
        removed = y->color;
        x = right_of(y);
        if (y->parent == z) {
            if (x) x->parent = y;
        } else {
            transplant(t, y, right_of(y));
            set_right(y, right_of(z));
            right_of(y)->parent = y;
        }
        transplant(t, z, y);
        set_left(y, left_of(z));
        left_of(y)->parent = y;
        y->color = z->color;
    }
    if (removed == BLACK && x) fixup_delete(t, x);
    g.add(z);
}

// Removes the head's own block: the first chain entry's block moves up into
// the head, or the head leaves the tree when it has no chain.
void remove_head_block(TreeState& t, RBNode* head, Graveyard& g) noexcept {
    if (RBNode* d = head->next) {
        head->next = d->next;
        std::swap(head->block, d->block);  // d now carries the head's old block
        g.add(d);
    } else {
        delete_node(t, head, g);
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
    TreeState& t = state(self);
    tarvish::WithLock with{t.lock.get(), t.writer, method, tarvish::Lookup::attribute, tarvish::Suppress::never};
    if (!with.enter()) return nullptr;
    begin_write(t);
    Graveyard g;
    Ref result = body(g);
    end_write(t);
    if (!with.leave(bool(result))) result.reset();
    bury(t, g);
    return result.release();
}

// Runs `body() -> Ref` as `method` under `lock_obj`, guarded by `owner`,
// without touching the sequence counter.
template <class Body>
PyObject* locked(PyObject* lock_obj, tarvish::Owner& owner, const char* method, Body body) noexcept {
    return tarvish::with_lock(lock_obj, owner, method, tarvish::Lookup::attribute, tarvish::Suppress::never, body)
        .release();
}

// time.sleep(0.0001), with `time` looked up as a module global now.
[[nodiscard]] bool nap() noexcept {
    Ref time = tarvish::module_global(brindle_guard.module, s_time);
    if (!time) return false;
    Ref delay = Ref::steal(PyFloat_FromDouble(RETRY_SLEEP));
    return delay && tarvish::call_method(time.get(), s_sleep, delay.get());
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
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!r || !zero) return false;
    int eq = PyObject_RichCompareBool(r.get(), zero.get(), Py_EQ);
    if (eq < 0) return false;
    out = eq == 1;
    return true;
}

// AtomicCounter(0), with `AtomicCounter` looked up as a module global at each call.
Ref new_counter() noexcept {
    Ref cls = tarvish::module_global(brindle_guard.module, s_AtomicCounter);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    return cls && zero ? tarvish::call(cls.get(), zero.get()) : Ref();
}

enum class Prep { ok, empty, error };

// Size preparation: self._sanitize_size(size) through method lookup (its
// ValueError means "empty result" where `soft`), then to unsigned 64-bit.
Prep prepare_size(PyObject* self, PyObject* size, bool soft, uint64_t& out) noexcept {
    PyObject* name = s_sanitize_size.get();
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

PyObject* Tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static Signature<1> sig{"__cinit__", {"sample_rate"}, 0};
    uint32_t sample_rate = 100;
    if (!tarvish::parse(sig, args, kwargs, tarvish::U32{sample_rate})) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    TreeState& t = *new (&state(self.get())) TreeState();

    t.lock = tarvish::new_lock(brindle_guard.module);
    if (!t.lock) return nullptr;
    t.sample_rate = sample_rate;

    Ref available = tarvish::module_global(brindle_guard.module, s_ATOMIC_AVAILABLE);
    if (!available) return nullptr;
    int use = PyObject_IsTrue(available.get());
    if (use < 0) return nullptr;
    if (use) {
        Ref counter_cls = tarvish::module_global(brindle_guard.module, s_AtomicCounter);
        if (!counter_cls) return nullptr;
        use = PyObject_IsTrue(counter_cls.get());
        if (use < 0) return nullptr;
    }
    if (use) {
        if (!(t.op_counter = new_counter())) return nullptr;
        if (!(t.sampled_counter = new_counter())) return nullptr;
    }
    t.use_atomic = use != 0;
    t.stats_lock = tarvish::new_lock(brindle_guard.module);
    if (!t.stats_lock) return nullptr;
    return self.release();
}

// Frees every record and releases every block (destruction and the cyclic
// collector's clear). No walker or writer can be active: both hold a reference.
void drop_tree(TreeState& t) noexcept {
    Graveyard g;
    detach_all(t, g);
    bury(t, g);
    reclaim(t);
}

int Tree_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    TreeState& t = state(self);
    Py_VISIT(Py_TYPE(self));
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

int Tree_clear(PyObject* self) noexcept {
    drop_tree(state(self));
    return 0;
}

void Tree_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    PyTypeObject* tp = Py_TYPE(self);
    drop_tree(state(self));
    state(self).~TreeState();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* Tree_sanitize_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<1> sig{"_sanitize_size", {"size"}};
    Ref size;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{size})) return nullptr;
    if (PyLong_IsNegative(size.get())) return tarvish::raise(PyExc_ValueError, "Invalid size: %S", size.get());
    return size.release();
}

PyObject* Tree_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<2> sig{"insert", {"size", "block"}};
    Ref size;
    PyObject* block = nullptr;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{size}, tarvish::Object{block}))
        return nullptr;
    uint64_t key;
    if (prepare_size(self, size.get(), false, key) != Prep::ok) return nullptr;
    TreeState& t = state(self);
    // Refused before the sampling clock moves, so a re-entrant insert changes nothing.
    if (!t.writer.may_enter()) return nullptr;

    bool sampled = false;
    if (t.use_atomic) {
        Ref counter = Ref::borrow(t.op_counter.get());
        Ref n = tarvish::call_method(counter.get(), s_increment);
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
            node->color = BLACK;
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
            fixup_insert(t, node);
        }
        ++t.node_count;
        ++t.stats[TOTAL_BLOCKS];
        ++t.stats[TOTAL_INSERTIONS];
        ++t.stats[OPERATION_COUNT];
        if (sampled && t.use_atomic) {
            // Python code may run under the writer lock here (a counter class of the caller's).
            Ref counter = Ref::borrow(t.sampled_counter.get());
            if (!tarvish::call_method(counter.get(), s_increment)) return Ref();
        }
        return Ref::borrow(Py_True);
    });
}

PyObject* Tree_find_best_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<2> sig{"find_best_fit", {"size", "alignment"}, 1};
    Ref size, alignment;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{size}, tarvish::AnnotatedInt{alignment}))
        return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
        case Prep::error: return nullptr;
        case Prep::empty: Py_RETURN_NONE;
        case Prep::ok: break;
    }
    TreeState& t = state(self);
    for (int attempts = 0; attempts < MAX_RETRIES; ++attempts) {
        uint64_t s = t.seq_counter.load(std::memory_order_acquire);
        if (s & 1) {
            if (!nap()) return nullptr;
            continue;
        }
        unsigned slot = enter_walk(t);
        RBNode* found;
        bool ok;
        Py_BEGIN_ALLOW_THREADS
        found = walk_best_fit<true>(t, key, s, ok);
        Py_END_ALLOW_THREADS
        bool valid = ok && t.seq_counter.load(std::memory_order_acquire) == s;
        PyObject* result = valid ? Py_NewRef(found ? found->block : Py_None) : nullptr;
        leave_walk(t, slot);
        if (valid) {
            ++t.stats[TOTAL_SEARCHES];
            return result;
        }
    }
    Py_RETURN_NONE;
}

PyObject* Tree_find_all_exact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<1> sig{"find_all_exact", {"size"}};
    Ref size;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{size})) return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
        case Prep::error: return nullptr;
        case Prep::empty: return PyList_New(0);
        case Prep::ok: break;
    }
    TreeState& t = state(self);
    for (int attempts = 0; attempts < MAX_RETRIES; ++attempts) {
        uint64_t s = t.seq_counter.load(std::memory_order_acquire);
        if (s & 1) {
            if (!nap()) return nullptr;
            continue;
        }
        unsigned slot = enter_walk(t);
        RBNode* found;
        bool ok;
        Py_BEGIN_ALLOW_THREADS
        found = walk_exact<true>(t, key, s, ok);
        Py_END_ALLOW_THREADS
        leave_walk(t, slot);
        if (!ok || t.seq_counter.load(std::memory_order_acquire) != s) continue;
        // Validated: the head and its chain are live while no code runs. The
        // list's allocation may run code, so it is checked again before filling.
        Py_ssize_t count = 0;
        for (RBNode* e = found; e; e = e->next) ++count;
        Ref list = Ref::steal(PyList_New(count));
        if (!list) return nullptr;
        if (t.seq_counter.load(std::memory_order_acquire) != s) continue;
        Py_ssize_t i = 0;
        for (RBNode* e = found; e; e = e->next) PyList_SET_ITEM(list.get(), i++, Py_NewRef(e->block));
        ++t.stats[TOTAL_SEARCHES];
        return list.release();
    }
    return PyList_New(0);
}

PyObject* Tree_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<2> sig{"delete", {"size", "block"}};
    Ref size;
    PyObject* block = nullptr;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{size}, tarvish::Object{block}))
        return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
        case Prep::error: return nullptr;
        case Prep::empty: Py_RETURN_FALSE;
        case Prep::ok: break;
    }
    TreeState& t = state(self);
    return write_section(self, "FastRedBlackTree.delete", [&](Graveyard& g) -> Ref {
        RBNode* head = find_node(t, key);
        if (!head) return Ref::borrow(Py_False);
        // Python code runs under the writer lock here: the blocks' __eq__.
        int eq = tarvish::compare(head->block, block, Py_EQ);
        if (eq < 0) return Ref();
        if (eq) {
            remove_head_block(t, head, g);
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
        --t.stats[TOTAL_BLOCKS];
        ++t.stats[TOTAL_DELETIONS];
        return Ref::borrow(Py_True);
    });
}

PyObject* Tree_remove_ge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static Signature<1> sig{"remove_ge", {"size"}};
    Ref size;
    if (!tarvish::parse(sig, args, nargs, kwnames, tarvish::AnnotatedInt{size})) return nullptr;
    uint64_t key;
    switch (prepare_size(self, size.get(), true, key)) {
        case Prep::error: return nullptr;
        case Prep::empty: return PyTuple_Pack(2, Py_None, Py_None);
        case Prep::ok: break;
    }
    TreeState& t = state(self);
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
        remove_head_block(t, head, g);
        --t.node_count;
        --t.stats[TOTAL_BLOCKS];
        ++t.stats[TOTAL_DELETIONS];
        return result;
    });
}

PyObject* Tree_clear_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::no_args("clear", nargs, kwnames)) return nullptr;
    TreeState& t = state(self);
    return write_section(self, "FastRedBlackTree.clear", [&](Graveyard& g) -> Ref {
        detach_all(t, g);
        for (int64_t& v : t.stats) v = 0;
        t.has_trips = false;
        if (t.use_atomic) {
            // Python code may run under the writer lock here (making the counters, dropping the old ones).
            Ref c = new_counter();
            if (!c) return Ref();
            t.op_counter = std::move(c);
            c = new_counter();
            if (!c) return Ref();
            t.sampled_counter = std::move(c);
        }
        return Ref::borrow(Py_None);
    });
}

PyObject* Tree_get_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::no_args("get_stats", nargs, kwnames)) return nullptr;
    TreeState& t = state(self);
    return locked(t.stats_lock.get(), t.stats_owner, "FastRedBlackTree.get_stats", [&]() -> Ref {
        // Snapshot before any object is made (making one may run code).
        int64_t stats[NSTATS];
        for (int i = 0; i < NSTATS; ++i) stats[i] = t.stats[i];
        bool trips = t.has_trips;
        uint64_t nodes = t.node_count;
        uint64_t height = compute_height(t);

        Ref result = Ref::steal(PyDict_New());
        if (!result) return result;
        auto put = [&](tarvish::Str& key, const Ref& value) noexcept {
            return tarvish::set_item(result.get(), key, value);
        };
        for (int i = 0; i < NSTATS; ++i)
            if (!put(stat_keys[i], tarvish::box(static_cast<long long>(stats[i])))) return Ref();
        if (trips && !put(s_circuit_breaker_trips, tarvish::box(0))) return Ref();
        if (!put(s_node_count, tarvish::box(static_cast<unsigned long long>(nodes)))) return Ref();
        if (!put(s_height, tarvish::box(static_cast<unsigned long long>(height)))) return Ref();
        Ref sampled;
        if (t.use_atomic) {
            // Python code may run under the statistics lock here (a counter class of the caller's).
            Ref counter = Ref::borrow(t.sampled_counter.get());
            sampled = tarvish::call_method(counter.get(), s_load);
        } else {
            sampled = tarvish::box(0);
        }
        if (!put(s_sampled_operations, std::move(sampled))) return Ref();
        if (!put(s_is_valid, Ref::borrow(Py_True))) return Ref();
        return result;
    });
}

PyObject* Tree_size(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::no_args("size", nargs, kwnames)) return nullptr;
    return PyLong_FromUnsignedLongLong(state(self).node_count);
}

PyObject* Tree_get_size_distribution(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    if (!tarvish::no_args("get_size_distribution", nargs, kwnames)) return nullptr;
    TreeState& t = state(self);
    // Under the writer lock nothing can reshape the tree while the dict grows.
    return locked(t.lock.get(), t.writer, "FastRedBlackTree.get_size_distribution", [&]() -> Ref {
        Ref result = Ref::steal(PyDict_New());
        if (!result) return result;
        bool ok = true;
        preorder(t, [&](RBNode* n, uint64_t) {
            if (!ok) return;
            unsigned long long count = 0;
            for (RBNode* e = n; e; e = e->next) ++count;
            Ref key = tarvish::box(static_cast<unsigned long long>(n->size));
            Ref value = tarvish::box(count);
            ok = key && value && PyDict_SetItem(result.get(), key.get(), value.get()) == 0;
        });
        return ok ? std::move(result) : Ref();
    });
}

PyObject* Tree_reset_circuit_breaker(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
    if (!tarvish::no_args("reset_circuit_breaker", nargs, kwnames)) return nullptr;
    TreeState& t = state(self);
    return locked(t.stats_lock.get(), t.stats_owner, "FastRedBlackTree.reset_circuit_breaker", [&]() -> Ref {
        t.has_trips = true;
        t.stats[OPERATION_COUNT] = 0;
        return Ref::borrow(Py_None);
    });
}

PyObject* Tree_get_statistics(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::no_args("get_statistics", nargs, kwnames)) return nullptr;
    return PyDict_New();
}

Py_ssize_t Tree_len(PyObject* self) noexcept {
    Ref r = tarvish::call_method(self, s_size);
    if (!r) return -1;
    Py_ssize_t n = PyNumber_AsSsize_t(r.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0) {  // reported as an error rather than handed to len() as a bare -1
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

int Tree_bool(PyObject* self) noexcept {
    Ref r = tarvish::call_method(self, s_size);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!r || !zero) return -1;
    return PyObject_RichCompareBool(r.get(), zero.get(), Py_GT);
}

PyObject* Tree_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(state(self).node_count));
}

PyMethodDef Tree_methods[] = {
    tarvish::method("_sanitize_size", Tree_sanitize_size, "_sanitize_size(size)\n--\n\nValidate size.", METH_STATIC),
    tarvish::method("insert", Tree_insert,
                    "insert($self, size, block)\n--\n\nInsert block into tree.\n\n"
                    "Blocks of a size already present join that size's chain. Returns True."),
    tarvish::method("find_best_fit", Tree_find_best_fit,
                    "find_best_fit($self, size, alignment=1)\n--\n\nFind best-fit block (LOCK-FREE read).\n\n"
                    "Returns the block of the smallest size >= size, or None; the block stays in the tree."),
    tarvish::method("find_all_exact", Tree_find_all_exact,
                    "find_all_exact($self, size)\n--\n\nFind all blocks of exact size (lock-free read)."),
    tarvish::method("delete", Tree_delete,
                    "delete($self, size, block)\n--\n\nDelete specific block.\n\n"
                    "Removes one entry of this size whose block equals block; returns whether one was removed."),
    tarvish::method("remove_ge", Tree_remove_ge,
                    "remove_ge($self, size)\n--\n\nRemove and return best-fit block >= size.\n\n"
                    "Returns (actual_size, block), or (None, None) when no block is large enough."),
    tarvish::method("get_stats", Tree_get_stats, "get_stats($self)\n--\n\nGet tree statistics."),
    tarvish::method("size", Tree_size, "size($self)\n--\n\nGet total block count."),
    tarvish::method("clear", Tree_clear_method, "clear($self)\n--\n\nClear all blocks."),
    tarvish::method("get_size_distribution", Tree_get_size_distribution,
                    "get_size_distribution($self)\n--\n\nGet size distribution."),
    tarvish::method("reset_circuit_breaker", Tree_reset_circuit_breaker,
                    "reset_circuit_breaker($self)\n--\n\nReset circuit breaker stats."),
    tarvish::method("get_statistics", Tree_get_statistics,
                    "get_statistics($self)\n--\n\nGet timing statistics (empty for sampling mode)."),
    tarvish::reduce_method(),
    tarvish::setstate_method(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Tree_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Tree_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Tree_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Tree_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Tree_clear)},
    {Py_tp_methods, Tree_methods},
    {Py_tp_repr, reinterpret_cast<void*>(Tree_repr)},
    {Py_sq_length, reinterpret_cast<void*>(Tree_len)},
    {Py_mp_length, reinterpret_cast<void*>(Tree_len)},
    {Py_nb_bool, reinterpret_cast<void*>(Tree_bool)},
    {Py_tp_doc, const_cast<char*>("FastRedBlackTree(sample_rate=100)\n--\n\n"
                                  "Free blocks indexed by size: best-fit and exact-size searches that read "
                                  "without locks,\nwriters serialised by a lock.")},
    {0, nullptr},
};

PyType_Spec Tree_spec{"tarvish.memory.brindle.FastRedBlackTree", sizeof(FastRedBlackTree), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, Tree_slots};

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
    return tarvish::add_type(module, &Tree_spec, FastRedBlackTree_type);
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
    tarvish::ModuleSlots<brindle_guard, brindle_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_brindle() { return PyModuleDef_Init(&brindle_def); }
