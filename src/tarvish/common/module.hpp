// Module initialisation: the once-per-process guard, the version warning, the
// module definition and the logger. Header-only.
#pragma once

#include "types.hpp"

#include <atomic>

namespace tarvish {

// The guard of one extension module. The module loads into one interpreter per
// process and executes once; `module` is that module (a strong reference kept
// for the life of the process).
struct ModuleGuard {
    const char* short_name;  // "corvane"
    PyObject* module = nullptr;
};

namespace detail {
// The interpreter that loaded the first of the package's modules in this process.
// Each module keeps its own, as the check belongs to each module's own loading.
[[nodiscard]] inline bool check_single_interpreter(std::atomic<int64_t>& owner) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    int64_t expected = -1;
    if (owner.compare_exchange_strong(expected, current) || expected == current) return true;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return false;
}

[[nodiscard]] inline bool check_version(PyObject* module) noexcept {
    int rt_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int rt_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return true;
    const char* name = PyModule_GetName(module);
    if (!name) return false;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, name, "does not match", rt_major, rt_minor) == 0;
}
}  // namespace detail

// Py_mod_create: refuses a second interpreter and hands back the module already
// made in this one, so that a re-import finds the same module object.
template <ModuleGuard& G>
PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    static std::atomic<int64_t> owner{-1};
    if (!detail::check_single_interpreter(owner)) return nullptr;
    if (G.module) return Py_NewRef(G.module);
    Ref name = getattr(spec, "name");
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

// Py_mod_exec: runs `body` once; a second execution with another module object is refused.
template <ModuleGuard& G, bool (*Body)(PyObject*) noexcept>
int exec_module(PyObject* module) noexcept {
    if (G.module) {
        if (G.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     G.short_name);
        return -1;
    }
    if (!detail::check_version(module)) return -1;
    G.module = Py_NewRef(module);
    if (!Body(module)) {
        Py_CLEAR(G.module);
        return -1;
    }
    return 0;
}

// The slots of every module: the guard, the body, and the declarations that let
// a module's own interpreter check speak in an isolated sub-interpreter.
template <ModuleGuard& G, bool (*Body)(PyObject*) noexcept>
struct ModuleSlots {
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create_module<G>)},
        {Py_mod_exec, reinterpret_cast<void*>(exec_module<G, Body>)},
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
        {Py_mod_gil, Py_MOD_GIL_USED},
        {0, nullptr},
    };
};

// Binds `attr` in the module to `import name` (the top-level module).
[[nodiscard]] inline bool import_as(PyObject* module, const char* name, const char* attr) noexcept {
    Ref m = Ref::steal(PyImport_ImportModule(name));
    return m && PyModule_AddObjectRef(module, attr, m.get()) == 0;
}

// Binds each of `names` from `from_module` in the module ("from m import a, b").
[[nodiscard]] inline bool import_from(PyObject* module, const char* from_module,
                                      std::initializer_list<const char*> names) noexcept {
    Ref m = Ref::steal(PyImport_ImportModule(from_module));
    if (!m) return false;
    for (const char* n : names) {
        Ref v = getattr(m.get(), n);
        if (!v || PyModule_AddObjectRef(module, n, v.get()) < 0) return false;
    }
    return true;
}

// Binds `logging` and `logger = logging.getLogger(__name__)` in the module.
[[nodiscard]] inline bool bind_logger(PyObject* module) noexcept {
    if (!import_as(module, "logging", "logging")) return false;
    Ref logging = Ref::steal(PyObject_GetAttrString(module, "logging"));
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!logging || !name) return false;
    Ref get = getattr(logging.get(), "getLogger");
    if (!get) return false;
    Ref logger = call(get.get(), name.get());
    return logger && PyModule_AddObjectRef(module, "logger", logger.get()) == 0;
}

// Calls `logger.<level>(message)` on the module's current `logger` global.
[[nodiscard]] inline bool log_line(PyObject* module, const char* level, PyObject* message) noexcept {
    Ref logger = getattr(module, "logger");
    if (!logger) return false;
    Ref meth = getattr(logger.get(), level);
    return meth && call(meth.get(), message);
}

[[nodiscard]] inline bool log_line(PyObject* module, const char* level, const char* message) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    return text && log_line(module, level, text.get());
}

}  // namespace tarvish
