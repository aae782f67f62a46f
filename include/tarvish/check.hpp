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
inline constexpr bool checks = false;
#else
inline constexpr bool checks = true;
#endif

// The one error convention at a boundary: a null result exactly when a Python
// error is set (a false result, a negative status, for the other overloads).
[[nodiscard]] inline bool follows_convention(const void* result) noexcept {
    return (result == nullptr) == (PyErr_Occurred() != nullptr);
}
[[nodiscard]] inline bool follows_convention(bool ok) noexcept { return ok == (PyErr_Occurred() == nullptr); }
[[nodiscard]] inline bool follows_status_convention(int status) noexcept {
    return (status < 0) == (PyErr_Occurred() != nullptr);
}

}  // namespace tarvish
