// Module initialisation: the once-per-process guard, the version warning, the
// module definition and the logger. Header-only.
#pragma once

#include "types.hpp"

#include <atomic>
#include <type_traits>

namespace tarvish {

// The guard of one extension module. The module loads into one interpreter per
// process and executes once; `module` is that module (a strong reference kept
// for the life of the process).
struct ModuleGuard {
    const char* short_name;  // "corvane"
    PyObject* module = nullptr;
};

// A module's process-wide state is one struct, `<module>_state`, holding its
// guard (as `guard`), its type pointers, interned strings (`s_` for attribute
// and method names, `k_` for dict keys, `v_` for texts used as values) and
// built tables, reached through one accessor, `<module>_state& state() noexcept`,
// that returns one object at namespace scope, built when the library loads
// (its names link themselves into the library's list then, and are made when
// the module executes). The module slots take the accessor.

namespace detail {
// Whether this interpreter is the one that first loaded the module, which
// `owner` records (each module's create slot keeps its own).
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
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, name, "does not match", rt_major, rt_minor) == 0;
}
}  // namespace detail

// Py_mod_create: refuses a second interpreter and hands back the module already
// made in this one, so that a re-import finds the same module object.
template <auto& S>
PyObject* create_module(PyObject* module_spec, PyModuleDef*) noexcept {
    static std::atomic<int64_t> owner{-1};
    ModuleGuard& guard = S().guard;
    PyObject* made;
    if (!detail::check_single_interpreter(owner)) made = nullptr;
    else if (guard.module) made = Py_NewRef(guard.module);
    else {
        Ref name = getattr(module_spec, "name");
        made = name ? PyModule_NewObject(name.get()) : nullptr;
    }
    assert(follows_convention(made));
    return made;
}

// Py_mod_exec: runs `body` once; a second execution with another module object is refused.
template <auto& S, bool (*Body)(PyObject*) noexcept>
int exec_module(PyObject* module) noexcept {
    ModuleGuard& guard = S().guard;
    if (guard.module) {
        if (guard.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     guard.short_name);
        return -1;
    }
    if (!detail::check_version(module) || !intern_names()) return -1;
    guard.module = Py_NewRef(module);
    bool ok = Body(module);
    assert(follows_convention(ok));
    if (!ok) {
        Py_CLEAR(guard.module);
        return -1;
    }
    return 0;
}

// The slots of every module: the state accessor holding its guard, the body,
// and the declarations that let a module's own interpreter check speak in an
// isolated sub-interpreter and, on the free-threaded build, keep the GIL off
// (shared state is guarded by the objects' locks, atomics and critical sections).
template <auto& S, bool (*Body)(PyObject*) noexcept>
struct ModuleSlots {
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create_module<S>)},
        {Py_mod_exec, reinterpret_cast<void*>(exec_module<S, Body>)},
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#ifdef Py_GIL_DISABLED
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
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

// How a module global that is missing when it is looked up is reported.
enum class Missing { name_error, attribute_error };

// The module global `name`, looked up now so that a rebinding counts. A missing
// one raises NameError "name '...' is not defined" (as code in the module body
// would) or, with `attribute_error`, the AttributeError of reading the module's attribute.
[[nodiscard]] inline Ref module_global(PyObject* module, const Str& name,
                                       Missing missing = Missing::name_error) noexcept {
    PyObject* key = name.get();
    if (!module) return raise(PyExc_NameError, "name '%U' is not defined", key), Ref();
    if (missing == Missing::attribute_error) return Ref::steal(PyObject_GetAttr(module, key));
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module), key, &value) == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return Ref::steal(value);
}

// "from <dots><name> import a, b" run in the module's own package (`level` dots):
// binds each name in the module, with the interpreter's ImportError for a missing name.
[[nodiscard]] inline bool import_relative(PyObject* module, const char* name, int level,
                                          std::initializer_list<const char*> names) noexcept {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) return false;
    for (const char* n : names) {
        Ref s = Ref::steal(PyUnicode_FromString(n));
        if (!s || PyList_Append(fromlist.get(), s.get()) < 0) return false;
    }
    Ref target = Ref::steal(PyImport_ImportModuleLevel(name, PyModule_GetDict(module), nullptr, fromlist.get(), level));
    if (!target) return false;
    for (const char* n : names) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttrString(target.get(), n, &value) < 0) return false;
        if (!value) {
            Ref modname = Ref::steal(PyModule_GetNameObject(target.get()));
            if (!modname) return false;
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", n, modname.get());
            return false;
        }
        Ref owned = Ref::steal(value);
        if (PyModule_AddObjectRef(module, n, owned.get()) < 0) return false;
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
