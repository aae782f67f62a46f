// tarvish.native.pellucor: what the machine and the interpreter offer, probed
// afresh on every call. The module keeps no state beyond its bound host modules
// (sys, os, time) and logs nothing.
//
// Every host module and every detector is looked up by name in the module's
// namespace when a function runs, so rebinding `pellucor.os`, `pellucor.sys` or
// `pellucor.detect_numa_nodes` changes what the next call sees.
#include "tarvish/tarvish.hpp"

#include <algorithm>
#include <cstdint>

namespace {

using tarvish::Ref;
using tarvish::Str;

// The module's process-wide state: its guard and the names it uses, interned on first use.
struct pellucor_state {
    tarvish::ModuleGuard guard{"pellucor"};

    Str s_os{"os"}, s_sys{"sys"}, s_time{"time"};
    Str s_detect_physical_cores{"detect_physical_cores"}, s_detect_numa_nodes{"detect_numa_nodes"},
        s_detect_gpu_backends{"detect_gpu_backends"}, s_detect_python_version{"detect_python_version"};
    Str s_cpu_count{"cpu_count"}, s_sched_getaffinity{"sched_getaffinity"}, s_platform{"platform"},
        s_version_info{"version_info"}, s_major{"major"}, s_minor{"minor"}, s_micro{"micro"};
    Str s_perf_counter{"perf_counter"}, s_time_fn{"time"}, s_isdigit{"isdigit"}, s_startswith{"startswith"},
        s_strip{"strip"}, s_decode{"decode"};
    Str s_linux{"linux"}, s_win32{"win32"}, s_cpu{"cpu"}, s_node{"node"}, s_newline{"\n"}, s_dot{"."};
    Str s_node_dir{"/sys/devices/system/node"}, s_path{"path"}, s_exists{"exists"}, s_listdir{"listdir"};
    Str s_WinDLL{"WinDLL"}, s_GetNumaHighestNodeNumber{"GetNumaHighestNodeNumber"}, s_restype{"restype"},
        s_argtypes{"argtypes"}, s_BOOL{"BOOL"}, s_POINTER{"POINTER"}, s_c_ulong{"c_ulong"}, s_byref{"byref"},
        s_value{"value"}, s_kernel32{"kernel32"}, s_use_last_error{"use_last_error"};
    Str s_GPUBackendKind{"GPUBackendKind"}, s_GPUSorrel{"GPUSorrel"}, s_CUDA{"CUDA"}, s_ROCm{"ROCm"},
        s_oneAPI{"oneAPI"}, s_detect_available_backends{"detect_available_backends"},
        s_get_best_available{"get_best_available"}, s_info{"info"}, s_kind{"kind"}, s_version{"version"},
        s_device_count{"device_count"}, s_memory_gb{"memory_gb"};
    Str s_run{"run"}, s_returncode{"returncode"}, s_stdout{"stdout"}, s_split{"split"}, s_nvidia_smi{"nvidia-smi"},
        s_query{"--query-gpu=name"}, s_format{"--format=csv,noheader"}, s_capture_output{"capture_output"},
        s_timeout{"timeout"}, s_check{"check"}, s_utf8{"utf-8"}, s_ignore{"ignore"};

    // GPU information keys (kGpuKeys gives their order).
    Str k_has_gpu{"has_gpu"}, k_gpu_count{"gpu_count"}, k_gpu_memory_mb{"gpu_memory_mb"},
        k_cuda_available{"cuda_available"}, k_rocm_available{"rocm_available"}, k_oneapi_available{"oneapi_available"},
        k_active_backend{"active_backend"}, k_backend_version{"backend_version"};

    // Capability keys that are not GPU keys.
    Str k_physical_cores{"physical_cores"}, k_numa_nodes{"numa_nodes"}, k_python_version{"python_version"},
        k_subinterpreter_support{"subinterpreter_support"}, k_platform{"platform"}, k_detected_at{"detected_at"},
        k_detector{"detector"}, k_detection_time_ms{"detection_time_ms"}, k_error{"error"};
    Str v_native{"native"}, v_native_fallback{"native_fallback"}, v_empty{""};
};

pellucor_state module_state;  // built when the library loads
pellucor_state& state() noexcept { return module_state; }

// The GPU information keys, in their order.
constexpr Str pellucor_state::* kGpuKeys[] = {
    &pellucor_state::k_has_gpu,        &pellucor_state::k_gpu_count,       &pellucor_state::k_gpu_memory_mb,
    &pellucor_state::k_cuda_available, &pellucor_state::k_rocm_available,  &pellucor_state::k_oneapi_available,
    &pellucor_state::k_active_backend, &pellucor_state::k_backend_version,
};

// ---------------------------------------------------------------------------
// Small helpers.

// A name in the module namespace, looked up now; NameError when it is gone.
Ref global(Str& name) noexcept { return tarvish::module_global(state().guard.module, name); }

// `module.<fn>()` for a host module bound in the namespace.
Ref call_global_attr(Str& module, Str& fn) noexcept {
    Ref m = global(module);
    if (!m) return m;
    Ref f = tarvish::getattr(m.get(), fn);
    if (!f) return f;
    return tarvish::call(f.get());
}

// `dict[key]` for a key this module stored itself.
Ref get_item(PyObject* dict, Str& key) noexcept {
    PyObject* k = key.get();
    PyObject* v = nullptr;
    if (k && PyDict_GetItemRef(dict, k, &v) == 0) PyErr_SetObject(PyExc_KeyError, k);
    return Ref::steal(v);
}

using tarvish::set_attr;
using tarvish::set_item;
bool set_item(PyObject* dict, Str& key, Str& value) noexcept { return set_item(dict, key, value.get()); }

// The guard `except Exception:` - takes the pending exception when it is an
// Exception and hands it back (a BaseException such as KeyboardInterrupt stays
// pending and a null Ref comes back).
Ref catch_exception() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
    return Ref::steal(PyErr_GetRaisedException());
}

// The body of an `except` block: while it lives, `exc` is the exception being
// handled (sys.exception()), so anything raised meanwhile gets it as __context__.
class Handling {
public:
    explicit Handling(const Ref& exc) noexcept : saved_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc.get());
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    ~Handling() { PyErr_SetHandledException(saved_.get()); }

private:
    Ref saved_;
};

// "a.b" (or "a.b.c") from str() of each part.
Ref join_dotted(std::initializer_list<PyObject*> parts) noexcept {
    pellucor_state& st = state();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    for (PyObject* p : parts) {
        Ref s = Ref::steal(PyObject_Str(p));
        if (!s || PyList_Append(list.get(), s.get()) < 0) return Ref();
    }
    return Ref::steal(PyUnicode_Join(st.s_dot.get(), list.get()));
}

// "major.minor[.micro]" of `sys.version_info`.
Ref version_string(PyObject* version_info, bool with_micro) noexcept {
    pellucor_state& st = state();
    Ref major = tarvish::getattr(version_info, st.s_major);
    if (!major) return major;
    Ref minor = tarvish::getattr(version_info, st.s_minor);
    if (!minor) return minor;
    if (!with_micro) return join_dotted({major.get(), minor.get()});
    Ref micro = tarvish::getattr(version_info, st.s_micro);
    if (!micro) return micro;
    return join_dotted({major.get(), minor.get(), micro.get()});
}

// Milliseconds since `start` by time.perf_counter().
Ref elapsed_ms(double start) noexcept {
    pellucor_state& st = state();
    Ref now_obj = call_global_attr(st.s_time, st.s_perf_counter);
    double now;
    if (!now_obj || !tarvish::to_double(now_obj.get(), now)) return Ref();
    return tarvish::box((now - start) * 1000.0);
}

// ---------------------------------------------------------------------------
// detect_physical_cores

PyObject* physical_cores_fallback() noexcept {
    pellucor_state& st = state();
    Ref os = global(st.s_os);
    if (!os) return nullptr;
    Ref n = tarvish::call_method(os.get(), st.s_cpu_count);
    int t = tarvish::truth(n);
    if (t < 0) return nullptr;
    if (!t) return tarvish::box(1).release();
    // The fallback count is taken as the platform reports it, without a lower bound.
    int v;
    if (!tarvish::to_int<int, "int">(n.get(), v)) return nullptr;
    return tarvish::box(v).release();
}

// The logical CPUs this process may run on: the affinity mask where the platform
// has one, else the CPU count; never below 1 on the primary path.
Ref physical_cores_primary() noexcept {
    pellucor_state& st = state();
    Ref os = global(st.s_os);
    if (!os) return os;
    PyObject* name = st.s_sched_getaffinity.get();
    int has = PyObject_HasAttrWithError(os.get(), name);
    if (has < 0) return Ref();
    if (has) {
        Ref mask = tarvish::call_method(os.get(), st.s_sched_getaffinity, tarvish::zero());
        if (!mask) return mask;
        Py_ssize_t size = PyObject_Size(mask.get());
        if (size < 0) return Ref();
        return tarvish::box(static_cast<long long>(std::max<Py_ssize_t>(1, size)));
    }
    Ref n = tarvish::call_method(os.get(), st.s_cpu_count);
    int t = tarvish::truth(n);
    if (t < 0) return Ref();
    if (!t) return tarvish::box(1);
    // max(1, n) by the count's own comparison, then narrowed to 32 bits; a count
    // that is not above 1 (NaN included) gives 1 without being converted.
    int above = PyObject_RichCompareBool(n.get(), tarvish::one(), Py_GT);
    if (above < 0) return Ref();
    if (!above) return Ref::borrow(tarvish::one());
    int32_t v;
    if (!tarvish::to_int<int32_t, "int32_t">(n.get(), v)) return Ref();
    return tarvish::box(v);
}

constexpr tarvish::Signature<0> detect_physical_cores_sig{"detect_physical_cores", {}};
PyObject* detect_physical_cores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::parse(detect_physical_cores_sig, args, nargs, kwnames)) return nullptr;
    Ref r = physical_cores_primary();
    if (r) return r.release();
    Ref handled = catch_exception();
    if (!handled) return nullptr;
    Handling scope{handled};
    return physical_cores_fallback();
}

// ---------------------------------------------------------------------------
// detect_numa_nodes

// Whether a directory entry names a node: "node" followed by one or more
// digits by str.isdigit (node0, node12; not "node", nodeX, possible, online).
int is_node_entry(PyObject* e) noexcept {
    pellucor_state& st = state();
    if (PyUnicode_CheckExact(e)) [[likely]] {
        Py_ssize_t n = PyUnicode_GET_LENGTH(e);
        if (n <= 4) return 0;
        if (PyUnicode_READ_CHAR(e, 0) != 'n' || PyUnicode_READ_CHAR(e, 1) != 'o' || PyUnicode_READ_CHAR(e, 2) != 'd' ||
            PyUnicode_READ_CHAR(e, 3) != 'e')
            return 0;
        if (PyUnicode_IS_ASCII(e)) {
            for (Py_ssize_t i = 4; i < n; ++i) {
                Py_UCS4 c = PyUnicode_READ_CHAR(e, i);
                if (c < '0' || c > '9') return 0;
            }
            return 1;
        }
        // Other scripts' digits count as str.isdigit counts them.
        Ref rest = Ref::steal(PyUnicode_Substring(e, 4, n));
        if (!rest) return -1;
        return tarvish::truth(tarvish::call_method(rest.get(), st.s_isdigit));
    }
    // Anything else answers through its own methods.
    int starts = tarvish::truth(tarvish::call_method(e, st.s_startswith, st.s_node.get()));
    if (starts <= 0) return starts;
    Ref four = tarvish::box(4);
    if (!four) return -1;
    Ref slice = Ref::steal(PySlice_New(four.get(), nullptr, nullptr));
    if (!slice) return -1;
    Ref rest = Ref::steal(PyObject_GetItem(e, slice.get()));
    int nonempty = tarvish::truth(rest);
    if (nonempty <= 0) return nonempty;
    return tarvish::truth(tarvish::call_method(rest.get(), st.s_isdigit));
}

// The node count from the Linux node directory; 1 when it is missing or holds no node.
Ref numa_nodes_linux(PyObject* os) noexcept {
    pellucor_state& st = state();
    PyObject* dir = st.s_node_dir.get();
    Ref path = tarvish::getattr(os, st.s_path);
    if (!path) return path;
    int exists = tarvish::truth(tarvish::call_method(path.get(), st.s_exists, dir));
    if (exists < 0) return Ref();
    if (!exists) return tarvish::box(1);
    Ref entries = tarvish::call_method(os, st.s_listdir, dir);
    if (!entries) return entries;
    Ref it = Ref::steal(PyObject_GetIter(entries.get()));
    if (!it) return it;
    long long count = 0;
    while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
        int r = is_node_entry(e.get());
        if (r < 0) return Ref();
        count += r;
    }
    if (PyErr_Occurred()) return Ref();
    return tarvish::box(count > 0 ? count : 1LL);
}

// The highest NUMA node number + 1 from the Windows kernel, or 1 when the call fails.
Ref numa_nodes_windows() noexcept {
    pellucor_state& st = state();
    Ref ctypes = Ref::steal(PyImport_ImportModule("ctypes"));
    if (!ctypes) return ctypes;
    Ref wintypes = Ref::steal(PyImport_ImportModule("ctypes.wintypes"));
    if (!wintypes) return wintypes;
    Ref windll = tarvish::getattr(ctypes.get(), st.s_WinDLL);
    if (!windll) return windll;
    Ref args = Ref::steal(PyTuple_Pack(1, st.s_kernel32.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs || PyDict_SetItem(kwargs.get(), st.s_use_last_error.get(), Py_True) < 0) return Ref();
    Ref kernel32 = Ref::steal(PyObject_Call(windll.get(), args.get(), kwargs.get()));
    if (!kernel32) return kernel32;
    Ref fn = tarvish::getattr(kernel32.get(), st.s_GetNumaHighestNodeNumber);
    if (!fn) return fn;
    if (!set_attr(fn.get(), st.s_restype, tarvish::getattr(wintypes.get(), st.s_BOOL))) return Ref();
    Ref c_ulong = tarvish::getattr(ctypes.get(), st.s_c_ulong);
    if (!c_ulong) return c_ulong;
    Ref pointer = tarvish::call_method(ctypes.get(), st.s_POINTER, c_ulong.get());
    if (!pointer) return pointer;
    Ref argtypes = Ref::steal(PyList_New(1));
    if (!argtypes) return argtypes;
    PyList_SET_ITEM(argtypes.get(), 0, pointer.release());
    if (!set_attr(fn.get(), st.s_argtypes, argtypes)) return Ref();
    Ref highest = tarvish::call(c_ulong.get());
    if (!highest) return highest;
    Ref ref = tarvish::call_method(ctypes.get(), st.s_byref, highest.get());
    if (!ref) return ref;
    int ok = tarvish::truth(tarvish::call(fn.get(), ref.get()));
    if (ok < 0) return Ref();
    if (!ok) return tarvish::box(1);
    Ref value = tarvish::getattr(highest.get(), st.s_value);
    if (!value) return value;
    return Ref::steal(PyNumber_Add(value.get(), tarvish::one()));
}

// `sys.platform == <name>` by the platform object's own comparison.
int platform_is(PyObject* platform, Str& name) noexcept {
    PyObject* n = name.get();
    return n ? tarvish::compare(platform, n, Py_EQ) : -1;
}

Ref numa_nodes_primary() noexcept {
    pellucor_state& st = state();
    Ref sys = global(st.s_sys);
    if (!sys) return sys;
    Ref platform = tarvish::getattr(sys.get(), st.s_platform);
    if (!platform) return platform;
    int linux = platform_is(platform.get(), st.s_linux);
    if (linux < 0) return Ref();
    if (linux) {
        Ref os = global(st.s_os);
        if (!os) return os;
        return numa_nodes_linux(os.get());
    }
    int win32 = platform_is(platform.get(), st.s_win32);
    if (win32 < 0) return Ref();
    if (win32) {
        Ref r = numa_nodes_windows();
        if (r) return r;
        Ref handled = catch_exception();
        if (!handled) return handled;
        return tarvish::box(1);
    }
    // macOS and every other platform: no probe.
    return tarvish::box(1);
}

constexpr tarvish::Signature<0> detect_numa_nodes_sig{"detect_numa_nodes", {}};
PyObject* detect_numa_nodes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::parse(detect_numa_nodes_sig, args, nargs, kwnames)) return nullptr;
    Ref r = numa_nodes_primary();
    if (r) return r.release();
    Ref handled = catch_exception();
    if (!handled) return nullptr;
    return tarvish::box(1).release();
}

// ---------------------------------------------------------------------------
// detect_gpu_backends

// Sets the GPU information keys to their defaults, in key order (`zero` is a 0).
bool set_gpu_defaults(PyObject* dict, PyObject* zero) noexcept {
    pellucor_state& st = state();
    PyObject* values[] = {Py_False, zero, zero, Py_False, Py_False, Py_False, st.s_cpu.get(), st.v_empty.get()};
    static_assert(std::size(values) == std::size(kGpuKeys));
    for (std::size_t i = 0; i < std::size(kGpuKeys); ++i)
        if (!set_item(dict, st.*kGpuKeys[i], values[i])) return false;
    return true;
}

// The GPU information dictionary with its defaults, in key order.
Ref gpu_defaults() noexcept {
    Ref info = Ref::steal(PyDict_New());
    if (!info || !set_gpu_defaults(info.get(), tarvish::zero())) return Ref();
    return info;
}

// `from tarvish.gpu.sorrel import <name>` after the module is imported.
Ref import_name(PyObject* module, Str& name) noexcept {
    PyObject* key = name.get();
    if (!key) return Ref();
    Ref v = Ref::steal(PyObject_GetAttr(module, key));
    if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from 'tarvish.gpu.sorrel'", key);
    }
    return v;
}

// `best.info.<field>`, evaluated afresh each time as the call sites write it.
Ref best_info(PyObject* best, Str& field) noexcept {
    pellucor_state& st = state();
    Ref info = tarvish::getattr(best, st.s_info);
    if (!info) return info;
    return tarvish::getattr(info.get(), field);
}

// Detection through the package's registry of GPU backends, imported on every
// call (the module cache makes repeats cheap, and a registry that becomes
// importable later is seen). Keys set before a failure keep their values.
bool gpu_from_registry(PyObject* info) noexcept {
    pellucor_state& st = state();
    Str* const names[] = {&st.s_GPUBackendKind, &st.s_GPUSorrel};
    Ref fromlist = tarvish::name_tuple(names);
    if (!fromlist) return false;
    Ref registry = Ref::steal(PyImport_ImportModuleLevel("tarvish.gpu.sorrel", nullptr, nullptr, fromlist.get(), 0));
    if (!registry) return false;
    Ref kinds = import_name(registry.get(), st.s_GPUBackendKind);
    if (!kinds) return false;
    Ref sorrel = import_name(registry.get(), st.s_GPUSorrel);
    if (!sorrel) return false;

    Ref backends = tarvish::call_method(sorrel.get(), st.s_detect_available_backends);
    if (!backends) return false;
    std::pair<Str*, Str*> flags[] = {
        {&st.s_CUDA, &st.k_cuda_available}, {&st.s_ROCm, &st.k_rocm_available}, {&st.s_oneAPI, &st.k_oneapi_available}};
    for (auto [member, key] : flags) {
        Ref kind = tarvish::getattr(kinds.get(), *member);
        if (!kind) return false;
        int present = PySequence_Contains(backends.get(), kind.get());
        if (present < 0 || !set_item(info, *key, present ? Py_True : Py_False)) return false;
    }

    Ref best = tarvish::call_method(sorrel.get(), st.s_get_best_available);
    if (!best) return false;
    Ref kind = best_info(best.get(), st.s_kind);
    if (!kind) return false;
    if (!set_item(info, st.k_active_backend, tarvish::getattr(kind.get(), st.s_value))) return false;
    if (!set_item(info, st.k_backend_version, best_info(best.get(), st.s_version))) return false;

    Ref active = get_item(info, st.k_active_backend);
    if (!active) return false;
    if (!set_item(info, st.k_has_gpu, Ref::steal(PyObject_RichCompare(active.get(), st.s_cpu.get(), Py_NE))))
        return false;
    int gpu = tarvish::truth(get_item(info, st.k_has_gpu));
    if (gpu <= 0) return gpu == 0;
    Ref best_kind = best_info(best.get(), st.s_kind);
    if (!best_kind) return false;
    int present = PySequence_Contains(backends.get(), best_kind.get());
    if (present <= 0) return present == 0;
    Ref lookup_kind = best_info(best.get(), st.s_kind);
    if (!lookup_kind) return false;
    Ref backend = Ref::steal(PyObject_GetItem(backends.get(), lookup_kind.get()));
    if (!backend || !set_item(info, st.k_gpu_count, tarvish::getattr(backend.get(), st.s_device_count))) return false;
    Ref gb = tarvish::getattr(backend.get(), st.s_memory_gb);
    if (!gb) return false;
    Ref factor = tarvish::box(1024);
    if (!factor) return false;
    Ref product = Ref::steal(PyNumber_Multiply(gb.get(), factor.get()));
    return product && set_item(info, st.k_gpu_memory_mb, Ref::steal(PyNumber_Long(product.get())));
}

// The tool fallback: one name per line from "nvidia-smi", with a 0.5 s time-out
// and no error on a non-zero exit. Sets "has_gpu" and "gpu_count" only.
bool gpu_from_tool(PyObject* info) noexcept {
    pellucor_state& st = state();
    Ref subprocess = Ref::steal(PyImport_ImportModule("subprocess"));
    if (!subprocess) return false;
    Ref run = tarvish::getattr(subprocess.get(), st.s_run);
    if (!run) return false;
    Ref argv = Ref::steal(PyList_New(3));
    if (!argv) return false;
    Str* words[] = {&st.s_nvidia_smi, &st.s_query, &st.s_format};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* w = words[i]->get();
        if (!w) return false;
        PyList_SET_ITEM(argv.get(), i, Py_NewRef(w));
    }
    Ref args = Ref::steal(PyTuple_Pack(1, argv.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    Ref timeout = tarvish::box(0.5);
    if (!args || !kwargs || !timeout || !set_item(kwargs.get(), st.s_capture_output, Py_True) ||
        !set_item(kwargs.get(), st.s_timeout, timeout) || !set_item(kwargs.get(), st.s_check, Py_False))
        return false;
    Ref result = Ref::steal(PyObject_Call(run.get(), args.get(), kwargs.get()));
    if (!result) return false;

    Ref code = tarvish::getattr(result.get(), st.s_returncode);
    if (!code) return false;
    int ok = tarvish::compare(code.get(), tarvish::zero(), Py_EQ);
    if (ok <= 0) return ok == 0;
    Ref out = tarvish::getattr(result.get(), st.s_stdout);
    int nonempty = tarvish::truth(out);
    if (nonempty <= 0) return nonempty == 0;
    if (!set_item(info, st.k_has_gpu, Py_True)) return false;

    Ref text;
    if (PyBytes_Check(out.get()))
        text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(out.get()), PyBytes_GET_SIZE(out.get()), "ignore"));
    else text = tarvish::call_method(out.get(), st.s_decode, st.s_utf8.get(), st.s_ignore.get());
    if (!text) return false;
    Ref stripped = tarvish::call_method(text.get(), st.s_strip);
    if (!stripped) return false;
    Ref lines = tarvish::call_method(stripped.get(), st.s_split, st.s_newline.get());
    if (!lines) return false;
    Ref it = Ref::steal(PyObject_GetIter(lines.get()));
    if (!it) return false;
    long long count = 0;
    while (Ref line = Ref::steal(PyIter_Next(it.get()))) {
        int t = tarvish::truth(tarvish::call_method(line.get(), st.s_strip));
        if (t < 0) return false;
        count += t;
    }
    if (PyErr_Occurred()) return false;
    return set_item(info, st.k_gpu_count, tarvish::box(count));
}

constexpr tarvish::Signature<0> detect_gpu_backends_sig{"detect_gpu_backends", {}};
PyObject* detect_gpu_backends(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!tarvish::parse(detect_gpu_backends_sig, args, nargs, kwnames)) return nullptr;
    Ref info = gpu_defaults();
    if (!info) return nullptr;
    if (gpu_from_registry(info.get())) return info.release();
    Ref handled = catch_exception();
    if (!handled) return nullptr;
    Handling scope{handled};
    if (!gpu_from_tool(info.get()) && !catch_exception()) return nullptr;
    return info.release();
}

// ---------------------------------------------------------------------------
// detect_python_version

constexpr tarvish::Signature<0> detect_python_version_sig{"detect_python_version", {}};
PyObject* detect_python_version(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    pellucor_state& st = state();
    if (!tarvish::parse(detect_python_version_sig, args, nargs, kwnames)) return nullptr;
    Ref sys = global(st.s_sys);
    if (!sys) return nullptr;
    Ref info = tarvish::getattr(sys.get(), st.s_version_info);
    if (!info) return nullptr;
    Ref version = version_string(info.get(), true);
    if (!version) return nullptr;
    bool supported = false;
    Ref threshold = Ref::steal(Py_BuildValue("(ii)", 3, 12));
    int recent = threshold ? tarvish::compare(info.get(), threshold.get(), Py_GE) : -1;
    if (recent < 0) return nullptr;
    if (recent) {
        // Interpreters from 3.13 on no longer ship `_xxsubinterpreters`, so this
        // reports False there. Keep it that way: the package's callers read the
        // flag as "`_xxsubinterpreters` can be imported" and import that very
        // module when it is True.
        Ref probe = Ref::steal(PyImport_ImportModule("_xxsubinterpreters"));
        if (probe) supported = true;
        else if (PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
        else return nullptr;
    }
    return PyTuple_Pack(2, version.get(), supported ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------
// detect_capabilities

// `a, b = o`, with the interpreter's unpacking messages.
bool unpack_two(PyObject* o, Ref& a, Ref& b) noexcept {
    if (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == 2) [[likely]] {
        a = Ref::borrow(PyTuple_GET_ITEM(o, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(o, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(o)->tp_iter && !PySequence_Check(o)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(o)->tp_name);
        }
        return false;
    }
    Ref* slots[] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (!extra) return !PyErr_Occurred();
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o) || PyDict_CheckExact(o)) {
        Py_ssize_t n = PyObject_Size(o);
        if (n < 0) return false;
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    } else {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    return false;
}

Ref call_detector(Str& name) noexcept {
    Ref fn = global(name);
    if (!fn) return fn;
    return tarvish::call(fn.get());
}

Ref call_time() noexcept {
    pellucor_state& st = state();
    return call_global_attr(st.s_time, st.s_time_fn);
}

// Fills the capability dictionary of a successful detection, key by key.
bool fill_capabilities(PyObject* caps, double start) noexcept {
    pellucor_state& st = state();
    if (!set_item(caps, st.k_physical_cores, call_detector(st.s_detect_physical_cores))) return false;
    if (!set_item(caps, st.k_numa_nodes, call_detector(st.s_detect_numa_nodes))) return false;
    Ref gpu = call_detector(st.s_detect_gpu_backends);
    if (!gpu) return false;
    for (auto key : kGpuKeys) {
        PyObject* k = (st.*key).get();
        if (!k || !set_item(caps, st.*key, Ref::steal(PyObject_GetItem(gpu.get(), k)))) return false;
    }
    Ref pv = call_detector(st.s_detect_python_version);
    Ref version, support;
    if (!pv || !unpack_two(pv.get(), version, support)) return false;
    if (!set_item(caps, st.k_python_version, version) || !set_item(caps, st.k_subinterpreter_support, support))
        return false;
    Ref sys = global(st.s_sys);
    if (!sys || !set_item(caps, st.k_platform, tarvish::getattr(sys.get(), st.s_platform))) return false;
    if (!set_item(caps, st.k_detected_at, call_time())) return false;
    if (!set_item(caps, st.k_detector, st.v_native)) return false;
    return set_item(caps, st.k_detection_time_ms, elapsed_ms(start));
}

// The fallback capability dictionary after `error`, in key order.
Ref fallback_capabilities(PyObject* error, double start) noexcept {
    pellucor_state& st = state();
    Ref caps = Ref::steal(PyDict_New());
    if (!caps) return caps;
    Ref os = global(st.s_os);
    if (!os) return os;
    Ref cores = tarvish::call_method(os.get(), st.s_cpu_count);
    int known = tarvish::truth(cores);
    if (known < 0) return Ref();
    if (!set_item(caps.get(), st.k_physical_cores, known ? cores.get() : tarvish::one()) ||
        !set_item(caps.get(), st.k_numa_nodes, tarvish::one()))
        return Ref();
    if (!set_gpu_defaults(caps.get(), tarvish::zero())) return Ref();
    Ref sys = global(st.s_sys);
    if (!sys) return sys;
    Ref info = tarvish::getattr(sys.get(), st.s_version_info);
    if (!info || !set_item(caps.get(), st.k_python_version, version_string(info.get(), false)) ||
        !set_item(caps.get(), st.k_subinterpreter_support, Py_False) ||
        !set_item(caps.get(), st.k_platform, tarvish::getattr(sys.get(), st.s_platform)) ||
        !set_item(caps.get(), st.k_detected_at, call_time()) ||
        !set_item(caps.get(), st.k_detector, st.v_native_fallback) ||
        !set_item(caps.get(), st.k_error, Ref::steal(PyObject_Str(error))) ||
        !set_item(caps.get(), st.k_detection_time_ms, elapsed_ms(start)))
        return Ref();
    return caps;
}

constexpr tarvish::Signature<0> detect_capabilities_sig{"detect_capabilities", {}};
PyObject* detect_capabilities(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    pellucor_state& st = state();
    if (!tarvish::parse(detect_capabilities_sig, args, nargs, kwnames)) return nullptr;
    Ref caps = Ref::steal(PyDict_New());
    if (!caps) return nullptr;
    Ref start_obj = call_global_attr(st.s_time, st.s_perf_counter);
    double start;
    if (!start_obj || !tarvish::to_double(start_obj.get(), start)) return nullptr;
    if (fill_capabilities(caps.get(), start)) return caps.release();
    Ref handled = catch_exception();
    if (!handled) return nullptr;
    caps.reset();  // the partial dictionary is thrown away
    Handling scope{handled};
    return fallback_capabilities(handled.get(), start).release();
}

// ---------------------------------------------------------------------------
// The module.

PyMethodDef pellucor_functions[] = {
    tarvish::function<detect_physical_cores, detect_physical_cores_sig,
                      "Number of logical CPUs this process may run on (at least 1).">(),
    tarvish::function<detect_numa_nodes, detect_numa_nodes_sig, "Number of NUMA nodes (1 where none can be found).">(),
    tarvish::function<detect_gpu_backends, detect_gpu_backends_sig,
                      "GPU backends, devices and the active backend, as a dict.">(),
    tarvish::function<detect_python_version, detect_python_version_sig,
                      "(interpreter version string, sub-interpreter support).">(),
    tarvish::function<detect_capabilities, detect_capabilities_sig,
                      "Every capability of the machine and interpreter in one dict.">(),
    {nullptr, nullptr, 0, nullptr},
};

bool pellucor_exec(PyObject* module) noexcept {
    return tarvish::import_as(module, "sys", "sys") && tarvish::import_as(module, "os", "os") &&
           tarvish::import_as(module, "time", "time") && PyModule_AddFunctions(module, pellucor_functions) == 0;
}

PyModuleDef pellucor_def{
    PyModuleDef_HEAD_INIT,
    "pellucor",
    "Run-time detection of what the machine and the interpreter offer.\n"
    "\n"
    "CPU cores from the affinity mask, NUMA nodes from the operating system, GPU\n"
    "backends from the package's registry (or the nvidia-smi tool when that\n"
    "fails), and the interpreter version, gathered by detect_capabilities() into\n"
    "one dict. The platform is read from sys.platform at run time, so one build\n"
    "serves every platform. Nothing is cached: each call probes afresh.",
    0,
    nullptr,
    tarvish::ModuleSlots<state, pellucor_exec>::slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_pellucor() { return PyModuleDef_Init(&pellucor_def); }
