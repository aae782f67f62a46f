// Per-object locks: making threading.Lock() and entering a lock through its
// context-manager protocol, as a with-statement would. Header-only.
#pragma once

#include "module.hpp"

#include <atomic>
#include <cassert>
#include <cstdint>

namespace tarvish {

// How the protocol methods of a lock not of the interpreter's own lock type are
// found: `special` looks them up on the type and binds them, as the with-statement
// does (a missing one raises its TypeError); `attribute` reads them as attributes
// of the lock (a missing one raises the AttributeError).
enum class Lookup { special, attribute };

// Whether a true result of __exit__ swallows the exception of a failed section
// (`honour`, as the with-statement does) or is disregarded (`never`).
enum class Suppress { honour, never };

// The pair of methods a PreparedLock binds: __enter__ and __exit__, or acquire and release.
enum class Methods { with_statement, acquire_release };

namespace detail {

// The interpreter's own lock type and the descriptors of its acquire() and
// release(), which are what its __enter__ and __exit__ do (__exit__ ignores the
// exception and returns None).
struct ThreadLock {
    PyTypeObject* type = nullptr;
    PyObject* acquire = nullptr;
    PyObject* release = nullptr;
};
inline ThreadLock thread_lock;

inline Str s_threading{"threading"};
inline Str s_Lock{"Lock"};
inline Str s_enter{"__enter__"};
inline Str s_exit{"__exit__"};
inline Str s_acquire{"acquire"};
inline Str s_release{"release"};

// The calling conventions by which a builtin method's C function is called here
// with no arguments: those of the interpreter's lock methods.
constexpr int kCallFlags = METH_VARARGS | METH_FASTCALL | METH_NOARGS | METH_O | METH_KEYWORDS | METH_METHOD;
[[nodiscard]] inline bool callable_without_arguments(PyObject* descr) noexcept {
    int flags = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method->ml_flags & kCallFlags;
    return flags == METH_NOARGS || flags == (METH_VARARGS | METH_KEYWORDS);
}

// Calls a builtin method descriptor's C function with `self` and no arguments,
// as the descriptor's own call would (its convention one of the above).
inline PyObject* call_without_arguments(PyObject* descr, PyObject* self) noexcept {
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
    if ((def->ml_flags & kCallFlags) == METH_NOARGS) return def->ml_meth(self, nullptr);
    PyObject* empty = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE);  // immortal, never null
    return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(def->ml_meth))(self, empty, nullptr);
}

// __enter__() and __exit__(...) of a lock of exactly the interpreter's own type.
[[nodiscard]] inline bool thread_lock_enter(PyObject* lock) noexcept {
    return bool(Ref::steal(call_without_arguments(thread_lock.acquire, lock)));
}
[[nodiscard]] inline Ref thread_lock_exit(PyObject* lock) noexcept {
    return Ref::steal(call_without_arguments(thread_lock.release, lock));
}

// Hands the section's exception `exc` on after __exit__ gave `result`: an
// __exit__ error wins with `exc` as its context; a true result under `honour`
// clears it (true); otherwise `exc` is raised again (false).
[[nodiscard]] inline bool after_exit(Ref exc, const Ref& result, Suppress suppress) noexcept {
    if (!result) {
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(raised.get(), exc.release());
        PyErr_SetRaisedException(raised.release());
        return false;
    }
    if (suppress == Suppress::honour) {
        int truth = PyObject_IsTrue(result.get());
        if (truth < 0) return false;
        if (truth) return true;
    }
    PyErr_SetRaisedException(exc.release());
    return false;
}

}  // namespace detail

// Records the interpreter's own lock type (the module's threading.Lock) so that
// locks of exactly that type skip the method lookup, when its __enter__ and
// __exit__ are its acquire and release; once per module (each module's library
// has its own detail::thread_lock, its symbols being hidden), idempotent.
[[nodiscard]] inline bool prepare_lock_protocol(PyObject* module) noexcept {
    if (detail::thread_lock.type) return true;
    Ref threading = getattr(module, "threading");
    if (!threading) return false;
    Ref lock = getattr(threading.get(), "Lock");
    if (!lock) return false;
    if (!PyType_Check(lock.get())) return true;  // some other factory: the generic path serves it
    const Str* const names[] = {&detail::s_acquire, &detail::s_release, &detail::s_enter, &detail::s_exit};
    Ref found[4];
    for (int i = 0; i < 4; ++i) {
        found[i] = getattr(lock.get(), *names[i]);
        if (!found[i] || !Py_IS_TYPE(found[i].get(), &PyMethodDescr_Type)) {
            PyErr_Clear();
            return true;
        }
    }
    auto c_function = [&](int i) noexcept {
        return reinterpret_cast<PyMethodDescrObject*>(found[i].get())->d_method->ml_meth;
    };
    if (c_function(0) != c_function(2) || c_function(1) != c_function(3)) return true;
    if (!detail::callable_without_arguments(found[0].get()) || !detail::callable_without_arguments(found[1].get()))
        return true;
    detail::thread_lock.acquire = found[0].release();
    detail::thread_lock.release = found[1].release();
    detail::thread_lock.type = reinterpret_cast<PyTypeObject*>(lock.release());
    return true;
}

// The module's `threading.Lock`, looked up now (a missing `threading` global is
// reported as `missing` says).
[[nodiscard]] inline Ref lock_factory(PyObject* module, Missing missing = Missing::name_error) noexcept {
    Ref threading = module_global(module, detail::s_threading, missing);
    return threading ? getattr(threading.get(), detail::s_Lock) : Ref();
}

// A new `threading.Lock()`, with `threading` looked up among the module's globals now.
[[nodiscard]] inline Ref new_lock(PyObject* module, Missing missing = Missing::name_error) noexcept {
    Ref factory = lock_factory(module, missing);
    return factory ? call(factory.get()) : Ref();
}

// ---------------------------------------------------------------------------
// The re-entry guard.
//
// A per-object lock is a Python object, and Python code may run inside the
// section it guards (a block's __eq__, a store's get_metrics, a counter's
// store). A threading.Lock entered again by its holder waits forever; and
// whatever threading.Lock was when the object was made (an RLock, a subclass,
// a stand-in that locks nothing) may let a second writer in while the first
// walks native records. So each object records natively, beside its lock,
// which thread is inside the section and in which method (an Owner):
//   - the owner word is set after the lock is entered and cleared before it is
//     left, so it is non-zero exactly while some thread is inside;
//   - before taking the lock, a call from the owning thread raises
//     RuntimeError "reentrant call inside FastRedBlackTree.delete" (the method
//     holding the section), and changes nothing;
//   - after taking the lock, a call that finds the word set by another thread
//     (the lock excluded nothing) leaves the lock again and raises
//     RuntimeError "concurrent call inside ..." instead of entering.
// So no section runs twice at once, whatever the lock object does; other
// threads still wait on the lock as before.
//
// The word is claimed with a compare-exchange, so that of two threads that a
// lock let in together exactly one enters (with the interpreter lock or
// without it); the claim acquires and the vacating store releases, so a section
// that the lock excluded nothing from still sees the last one's writes. The
// pre-check reads the word relaxed: it only asks whether this thread wrote it.
// Thread identity is the thread pointer, unique among live threads (a thread
// cannot end inside a section): one instruction on x86-64 and AArch64 Linux,
// the interpreter's thread ident elsewhere and in the generic build.

namespace detail {

[[nodiscard]] inline uintptr_t this_thread() noexcept {
#if defined(__linux__) && defined(__x86_64__) && defined(__GNUC__) && !defined(TARVISH_GENERIC)
    uintptr_t tp;
    __asm__("mov %%fs:0, %0" : "=r"(tp));  // the TCB's pointer to itself
    return tp;
#elif defined(__linux__) && defined(__aarch64__) && defined(__GNUC__) && !defined(TARVISH_GENERIC)
    return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
    return static_cast<uintptr_t>(PyThread_get_thread_ident());
#endif
}

[[gnu::cold, gnu::noinline]] inline void raise_reentrant(const char* method) noexcept {
    PyErr_Format(PyExc_RuntimeError, "reentrant call inside %s", method);
}

[[gnu::cold, gnu::noinline]] inline void raise_concurrent(const char* method) noexcept {
    PyErr_Format(PyExc_RuntimeError, "concurrent call inside %s: its lock let a second thread in", method);
}

}  // namespace detail

// Which thread is inside an object's locked section, and in which method.
class Owner {
public:
    Owner() noexcept = default;
    // Copied only while vacant, before its object is in use: the copy starts vacant.
    Owner([[maybe_unused]] const Owner& other) noexcept { assert(!other.thread_.load(std::memory_order_relaxed)); }
    Owner& operator=(const Owner&) = delete;

    // Before the lock is taken: false with RuntimeError set when this thread
    // is inside the section already.
    [[nodiscard]] bool may_enter() const noexcept {
        uintptr_t t = thread_.load(std::memory_order_relaxed);
        if (t == 0 || t != detail::this_thread()) [[likely]]
            return true;
        detail::raise_reentrant(method_.load(std::memory_order_relaxed));
        return false;
    }

    // After the lock is taken: records this thread inside `method` (a static
    // "Type.method"); false with RuntimeError set when another thread is inside.
    [[nodiscard]] bool claim(const char* method) noexcept {
        uintptr_t vacant = 0;
        if (!thread_.compare_exchange_strong(vacant, detail::this_thread(), std::memory_order_acquire,
                                             std::memory_order_relaxed)) [[unlikely]] {
            detail::raise_concurrent(method_.load(std::memory_order_relaxed));
            return false;
        }
        method_.store(method, std::memory_order_relaxed);
        return true;
    }

    // Whether this thread is inside the section (for the modules' asserts).
    [[nodiscard]] bool held_here() const noexcept {
        return thread_.load(std::memory_order_relaxed) == detail::this_thread();
    }

    // Before the lock is left, by the thread that claimed it.
    void vacate() noexcept {
        assert(thread_.load(std::memory_order_relaxed) == detail::this_thread());
        thread_.store(0, std::memory_order_release);
    }

private:
    std::atomic<uintptr_t> thread_{0};
    std::atomic<const char*> method_{nullptr};
};

// How a module enters the locks it looks up at each entry: how their protocol
// methods are found, and whether a suppressing __exit__ counts. Each module
// binds its policy once, as a constexpr, and names Section<its policy>.
struct LockPolicy {
    Lookup lookup = Lookup::special;
    Suppress suppress = Suppress::honour;
};

template <LockPolicy P>
class Section;

// A lock whose two methods are bound once, when its owner is made, for owners
// that take it on hot paths; a lock of exactly the interpreter's own type needs
// no binding. A Section entering it does not look at the lock's attributes
// again. The object's re-entry guard (`owner`) comes with it.
class PreparedLock {
public:
    Owner owner;

    // Takes `made` (null with an error set passes the error on) and binds its methods.
    [[nodiscard]] bool bind(Ref made, Methods how = Methods::with_statement) noexcept {
        if (!made) return false;
        lock_ = std::move(made);
        methods_ = how;
        if (Py_IS_TYPE(lock_.get(), detail::thread_lock.type)) return true;
        bool with = how == Methods::with_statement;
        enter_ = getattr(lock_.get(), with ? detail::s_enter : detail::s_acquire);
        if (!enter_) return false;
        exit_ = getattr(lock_.get(), with ? detail::s_exit : detail::s_release);
        return bool(exit_);
    }

    // Visits the three references (for tp_traverse).
    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(lock_.get());
        Py_VISIT(enter_.get());
        Py_VISIT(exit_.get());
        return 0;
    }

private:
    template <LockPolicy>
    friend class Section;

    Ref lock_;
    Ref enter_;  // the bound __enter__ or acquire; null for the interpreter's own lock type
    Ref exit_;   // the bound __exit__ or release
    Methods methods_ = Methods::with_statement;
};

// One locked section, as a with-statement on a lock: entered by construction,
// with `owner` claimed for `method` ("Type.method") inside (see the re-entry
// guard above); test it before use, a refusal or an __enter__ error leaving it
// unentered with the error set. The normal path ends with leave(); a section
// that failed, its exception pending, may end with leave_raising(); any other
// exit (an early return with an error set) leaves through the destructor, as
// leave_raising() under Suppress::never would. A checked build asserts that
// the destructor meets no section left open on the normal path.
//
// A looked-up lock is referenced for the section's life and its methods are
// found as P says at each entry; a lock of exactly the interpreter's own type
// is entered through its methods without a lookup.
template <LockPolicy P = LockPolicy{}>
class [[nodiscard]] Section {
public:
    Section(PyObject* lock, Owner& owner, const char* method) noexcept
        : lock_(lock), keep_(Ref::borrow(lock)), owner_(owner) {
        held_ = enter(method);
    }
    Section(PreparedLock& lock, const char* method) noexcept
        : lock_(lock.lock_.get()), prepared_(&lock), owner_(lock.owner) {
        held_ = enter(method);
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    ~Section() {
        if (!held_) [[likely]]
            return;
        assert(PyErr_Occurred() && "a section left on the normal path calls leave()");
        if (!PyErr_Occurred()) {
            (void)leave();
            return;
        }
        held_ = false;
        owner_.vacate();
        (void)exit_raising(Suppress::never);
    }

    // Whether the section was entered.
    [[nodiscard]] explicit operator bool() const noexcept { return held_; }

    // Leaves a section that succeeded (no error pending): vacates the owner,
    // then __exit__(None, None, None) or release(). False with the lock's error
    // set when that failed.
    [[nodiscard]] bool leave() noexcept {
        assert(held_ && !PyErr_Occurred());
        held_ = false;
        owner_.vacate();
        if (own_type_) [[likely]]
            return bool(detail::thread_lock_exit(lock_));
        return bool(exit_other(Py_None, Py_None, Py_None));
    }

    // Leaves a section that failed with its exception pending: vacates the
    // owner, then hands the exception to __exit__ (a prepared lock's methods
    // take no exception). True only when P honours a suppressing result and
    // __exit__ gave one (the exception cleared); otherwise false with an error
    // set: the section's own, or an error of __exit__ with it as the context.
    [[nodiscard]] bool leave_raising() noexcept {
        assert(held_ && PyErr_Occurred());
        held_ = false;
        owner_.vacate();
        return exit_raising(P.suppress);
    }

private:
    // Refuses a re-entry, takes the lock (a looked-up one of another type
    // after both its methods were found), then claims the owner; false with an
    // error set, the lock left again when taken but refused.
    [[nodiscard]] bool enter(const char* method) noexcept {
        if (!owner_.may_enter()) return false;
        own_type_ = Py_IS_TYPE(lock_, detail::thread_lock.type);
        if (own_type_) [[likely]] {
            if (!detail::thread_lock_enter(lock_)) return false;
        } else if (!enter_other()) {
            return false;
        }
        if (owner_.claim(method)) [[likely]]
            return true;
        (void)exit_raising(Suppress::never);  // the refusal propagates, whatever __exit__ returns
        return false;
    }

    // __enter__ (or acquire) of a lock of another type; a looked-up one's two
    // methods are found first.
    [[gnu::noinline]] bool enter_other() noexcept {
        if (prepared_) return bool(call(prepared_->enter_.get()));
        Ref enter = method(detail::s_enter, "");
        if (!enter) return false;
        exit_ = method(detail::s_exit, " (missed __exit__ method)");
        return exit_ && bool(call(enter.get()));
    }

    // __exit__ (or release) of a lock of another type.
    [[gnu::noinline]] Ref exit_other(PyObject* type, PyObject* value, PyObject* tb) noexcept {
        if (prepared_) {
            if (prepared_->methods_ == Methods::with_statement)
                return call(prepared_->exit_.get(), Py_None, Py_None, Py_None);
            return call(prepared_->exit_.get());
        }
        return call(exit_.get(), type, value, tb);
    }

    [[gnu::noinline]] bool exit_raising(Suppress suppress) noexcept {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        Ref result;
        if (own_type_) {
            result = detail::thread_lock_exit(lock_);
        } else {
            Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
            result = exit_other(type, exc.get(), tb ? tb.get() : Py_None);
        }
        return detail::after_exit(std::move(exc), result, prepared_ ? Suppress::never : suppress);
    }

    // The protocol method `name` of a looked-up lock, bound to it.
    Ref method(const Str& name, const char* missing) noexcept {
        if constexpr (P.lookup == Lookup::attribute) {
            return getattr(lock_, name);
        } else {
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(lock_));
            Ref attr = getattr(type, name);
            if (!attr) {
                if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                    PyErr_Clear();
                    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                                 Py_TYPE(lock_)->tp_name, missing);
                }
                return Ref();
            }
            descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
            if (!get) return attr;
            return Ref::steal(get(attr.get(), lock_, type));
        }
    }

    PyObject* lock_;
    Ref keep_;  // a looked-up lock, referenced for the section's life (a prepared one's owner keeps it)
    Ref exit_;  // a looked-up lock's bound __exit__, for a lock of another type
    PreparedLock* prepared_ = nullptr;
    Owner& owner_;
    bool own_type_ = false;  // the lock is of exactly the interpreter's own type
    bool held_ = false;
};

}  // namespace tarvish
