// Debug checks of the layer's invariants, with the standard assert(): on in
// Debug and sanitizer builds (which compile without NDEBUG), compiled out of
// release builds. Header-only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>

namespace tarvish {

// Whether this build checks its invariants.
#ifdef NDEBUG
inline constexpr bool kChecks = false;
#else
inline constexpr bool kChecks = true;
#endif

// The one error convention at a boundary: a null result (a false one, for the
// second overload) exactly when a Python error is set.
[[nodiscard]] inline bool follows_convention(const void* result) noexcept {
    return (result == nullptr) == (PyErr_Occurred() != nullptr);
}
[[nodiscard]] inline bool follows_convention(bool ok) noexcept { return ok == (PyErr_Occurred() == nullptr); }

}  // namespace tarvish
