// Giving up the interpreter lock around native work that touches no Python
// object, and an object's critical section around native work on its state.
// Header-only.
#pragma once

#include "check.hpp"

namespace tarvish {

// Releases the interpreter lock for its scope on the default build, so that
// other threads run meanwhile; on the free-threaded build, where threads run
// at once anyway, it does nothing (detaching the thread would only cost time).
class [[nodiscard]] GilReleased {
public:
#ifdef Py_GIL_DISABLED
    GilReleased() noexcept {}  // user-provided: a scope's guard is no unused variable
    ~GilReleased() {}
#else
    GilReleased() noexcept : ts_(PyEval_SaveThread()) {}
    ~GilReleased() { PyEval_RestoreThread(ts_); }
#endif
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

#ifndef Py_GIL_DISABLED
private:
    PyThreadState* ts_;
#endif
};

// Runs f() (which touches no Python object) with the interpreter lock given up
// as GilReleased gives it up, and returns its result.
template <class F>
auto without_gil(F&& f) noexcept {
    GilReleased released;
    return f();
}

// Runs fn() inside `obj`'s critical section: the object's own lock on the
// free-threaded build, nothing on the default build (where the interpreter lock
// excludes). fn runs no Python code that could block (a section is suspended
// while its thread waits), so what it reads and writes stays consistent.
template <class F>
void critical([[maybe_unused]] PyObject* obj, F&& fn) noexcept {
    Py_BEGIN_CRITICAL_SECTION(obj);
    fn();
    Py_END_CRITICAL_SECTION();
}

}  // namespace tarvish
