// zaradu.macro: macro expansion, controlled-gate decomposition and virtual-Z reduction
// of ravex statement streams. This file holds the module's process-wide state, its
// loading (create and execute steps, the top-level statements) and the function table;
// the functions themselves live in expansion.cpp, control_gate.cpp and virtual_z.cpp.
#include "generator.hpp"
#include "macro_module.hpp"

#include <frameobject.h>

#include <cstdio>
#include <utility>

namespace zaradu::macro {

// ---------------------------------------------------------------------------------------
// Process-wide storage: the module object, the interpreter it belongs to, and constants.

namespace {
int64_t g_interpreter_id = -1;
Ref& g_module = immortal<Ref>();
bool g_constants_ready = false;
}  // namespace

Names S{};
namespace {
struct NumpyMod {  // a type of its own: immortal<Ref>() is the module object
    Ref fn;
};
}  // namespace
Ref& g_numpy_mod = immortal<NumpyMod>().fn;
PyTypeObject* g_float64 = nullptr;
bool g_float64_layout_ok = false;
Functions& F = immortal<Functions>();

namespace {

void make_constants() {
    if (g_constants_ready)
        return;
    S.head = intern("head");
    S.RavexError = intern("RavexError");
    S.cos = intern("cos");
    S.mod = intern("mod");
    S.pi = intern("pi");
    S.defaultdict = intern("defaultdict");
    S._lookup = intern("_lookup");
    S.lookup = intern("lookup");
    S.define_macro = intern("define_macro");
    S.call_macro = intern("call_macro");
    S.extend_control_gate = intern("extend_control_gate");
    S.extend_macro = intern("extend_macro");
    S._VZ_rules = intern("_VZ_rules");
    S.add_VZ_rule = intern("add_VZ_rule");
    S._exchange_VZ_and_gate = intern("_exchange_VZ_and_gate");
    S.getGate = intern("getGate");
    S.get = intern("get");
    S.define = intern("define");
    S.C = intern("C");
    S.X = intern("X");
    S.Z = intern("Z");
    S.CZ = intern("CZ");
    S.Cnot = intern("Cnot");
    S.u3 = intern("u3");
    S.Rz = intern("Rz");
    S.P = intern("P");
    S.rfUnitary = intern("rfUnitary");
    S.module_name = intern("zaradu.macro");
    S.empty_spec = intern("");
    S.extend_prefix = intern("extend macro ");
    S.extend_suffix = intern(" error.");
    S.call_macro_qual = S.call_macro;
    S.extend_macro_qual = S.extend_macro;
    S.reduce_qual = intern("reduceVirtualZ");
    S.int0 = check(PyLong_FromLong(0)).release();
    S.int1 = check(PyLong_FromLong(1)).release();
    S.int2 = check(PyLong_FromLong(2)).release();
    S.eps = check(PyFloat_FromDouble(1e-15)).release();
    S.slice_from1 = check(PySlice_New(S.int1, nullptr, nullptr)).release();
    Ref minus1 = check(PyLong_FromLong(-1));
    S.slice_rev = check(PySlice_New(nullptr, nullptr, minus1.get())).release();
    S.empty_tuple = check(PyTuple_New(0)).release();
    const std::pair<Name, PyObject*> globals[] = {
        {Name::head, S.head},
        {Name::RavexError, S.RavexError},
        {Name::cos, S.cos},
        {Name::mod, S.mod},
        {Name::pi, S.pi},
        {Name::defaultdict, S.defaultdict},
        {Name::_lookup, S._lookup},
        {Name::lookup, S.lookup},
        {Name::define_macro, S.define_macro},
        {Name::call_macro, S.call_macro},
        {Name::extend_control_gate, S.extend_control_gate},
        {Name::extend_macro, S.extend_macro},
        {Name::_VZ_rules, S._VZ_rules},
        {Name::_exchange_VZ_and_gate, S._exchange_VZ_and_gate},
    };
    static_assert(std::size(globals) == static_cast<size_t>(Name::count));
    for (const auto& [n, str] : globals)
        S.global_names[static_cast<size_t>(n)] = str;
    g_constants_ready = true;
}

}  // namespace

Ref global(PyObject* module, PyObject* name) {
    if (Ref v = dict_get(PyModule_GetDict(module), name))
        return v;
    if (PyObject* builtins = PyEval_GetBuiltins())
        if (Ref v = dict_get(builtins, name))
            return v;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

PyObject* name_str(Name n) { return S.global_names[static_cast<size_t>(n)]; }

#if ZARADU_DICT_WATCH
DictWatch& g_dict_watch = immortal<DictWatch>();

namespace {
// Forgets what is known of `dict` before it changes.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    DictWatch& w = g_dict_watch;
    ++w.events;
    if (dict == w.ns) {
        for (PyObject*& v : w.values)
            v = nullptr;
        if (event == PyDict_EVENT_DEALLOCATED)
            w.ns = nullptr;
    }
    if (dict == w.keys_of)
        w.keys_of = nullptr;
    return 0;
}
}  // namespace

bool DictWatch::watch(PyObject* dict) {
    if (unavailable)
        return false;
    if (id < 0) {
        id = PyDict_AddWatcher(on_dict_event);
        if (id < 0) {
            PyErr_Clear();
            unavailable = true;
            return false;
        }
    }
    if (PyDict_Watch(id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

void DictWatch::unwatch(PyObject* dict) {
    if (id >= 0 && dict && dict != ns && dict != keys_of && PyDict_Unwatch(id, dict) < 0)
        PyErr_Clear();
}

// Watches the namespace of the module being loaded, in place of any earlier one.
void watch_namespace(PyObject* module) {
    DictWatch& w = g_dict_watch;
    PyObject* dict = PyModule_GetDict(module);
    if (w.ns == dict)
        return;
    PyObject* old = std::exchange(w.ns, nullptr);
    for (PyObject*& v : w.values)
        v = nullptr;
    w.unwatch(old);
    if (w.watch(dict))
        w.ns = dict;
}
#else
void watch_namespace(PyObject*) {}
#endif

Ref Globals::find(Name n) {
    PyObject* name = name_str(n);
#if ZARADU_DICT_VERSION
    // The version is read before the lookup: should the lookup itself change the
    // namespace, the value is looked up again at the next read.
    const uint64_t tag = version();
    PyObject* v = PyDict_GetItemWithError(dict_, name);
    if (v) {
        slots_[static_cast<size_t>(n)] = Slot{tag, v};
        return Ref::borrow(v);
    }
    if (PyErr_Occurred())
        raise();
#else
    DictWatch& w = g_dict_watch;
    if (w.ns == dict_) {
        // Kept only if the lookup itself changed nothing that is watched.
        const uint64_t events = w.events;
        if (Ref v = dict_get(dict_, name)) {
            if (w.events == events && w.ns == dict_)
                w.values[static_cast<size_t>(n)] = v.get();
            return v;
        }
    }
#endif
    return global(module_, name);
}

Ref import_from(const char* modname, std::initializer_list<const char*> names, int level, PyObject* globals,
                std::vector<Ref>* out, ImportConstants* constants) {
    ImportConstants once;
    ImportConstants& c = constants ? *constants : once;
    if (!c.name) {
        Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
        Py_ssize_t i = 0;
        for (const char* n : names)
            PyTuple_SET_ITEM(fromlist.get(), i++, intern(n));
        c.name = check(PyUnicode_FromString(modname));
        c.fromlist = std::move(fromlist);
    }
    PyObject* const name = c.name.get();
    PyObject* const fromlist = c.fromlist.get();
    Ref mod = check(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, level));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(fromlist); ++k) {
        PyObject* const n = PyTuple_GET_ITEM(fromlist, k);
        PyObject* v = PyObject_GetAttr(mod.get(), n);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                raise();
            PyErr_Clear();
            PyObject* pkgname = PyModule_Check(mod.get()) ? PyModule_GetNameObject(mod.get()) : nullptr;
            Ref pkg = Ref::steal(pkgname);
            if (!pkg) {
                PyErr_Clear();
                pkg = check(PyUnicode_FromString("<unknown module name>"));
            }
            PyObject* file = nullptr;
            if (get_optional_attr(mod.get(), "__file__", &file) < 0)
                PyErr_Clear();
            Ref path = Ref::steal(file);
            Ref msg;
            if (path && PyUnicode_Check(path.get()))
                msg = check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", n, pkg.get(), path.get()));
            else
                msg = check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", n, pkg.get()));
            PyErr_SetImportError(msg.get(), pkg.get(), path ? path.get() : Py_None);
            raise();
        }
        out->push_back(Ref::steal(v));
    }
    return mod;
}

namespace {
// ---------------------------------------------------------------------------------------
// Function table. The doc text holds only a signature, so `__doc__` is None while
// `inspect.signature` still sees positional-or-keyword parameters.

#define ZARADU_FN(name, impl, sig)                                                          \
    PyMethodDef {                                                                         \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<impl>)),   \
            METH_FASTCALL | METH_KEYWORDS, name sig "\n--\n\n"                            \
    }

PyMethodDef def__lookup = ZARADU_FN("_lookup", impl__lookup, "(name, env)");
PyMethodDef def_lookup = ZARADU_FN("lookup", impl_lookup, "(st, env)");
PyMethodDef def_define_macro = ZARADU_FN("define_macro", impl_define_macro, "(name, value, env)");
PyMethodDef def_call_macro = ZARADU_FN("call_macro", impl_call_macro, "(gate, st)");
PyMethodDef def_extend_control_gate = ZARADU_FN("extend_control_gate", impl_extend_control_gate, "(st, scope)");
PyMethodDef def_extend_macro = ZARADU_FN("extend_macro", impl_extend_macro, "(ravex, lib, env=None)");
PyMethodDef def_add_VZ_rule = ZARADU_FN("add_VZ_rule", impl_add_VZ_rule, "(gateName, rule)");
PyMethodDef def_remove_VZ_rule = ZARADU_FN("remove_VZ_rule", impl_remove_VZ_rule, "(gateName, rule)");
PyMethodDef def_VZ_P = ZARADU_FN("_VZ_P", impl_VZ_P, "(st, phaseList)");
PyMethodDef def_VZ_rfUnitary = ZARADU_FN("_VZ_rfUnitary", impl_VZ_rfUnitary, "(st, phaseList)");
PyMethodDef def_VZ_clear = ZARADU_FN("_VZ_clear", impl_VZ_clear, "(st, phaseList)");
PyMethodDef def_VZ_exchangable = ZARADU_FN("_VZ_exchangable", impl_VZ_exchangable, "(st, phaseList)");
PyMethodDef def_VZ_swap = ZARADU_FN("_VZ_swap", impl_VZ_swap, "(st, phaseList)");
PyMethodDef def_exchange = ZARADU_FN("_exchange_VZ_and_gate", impl_exchange, "(st, phaseList, lib)");
PyMethodDef def_reduce = ZARADU_FN("reduceVirtualZ", impl_reduce, "(ravex, lib)");

// ---------------------------------------------------------------------------------------
// Loading.

// Binds `name` in the module namespace to a new function object.
Ref define(PyObject* module, PyMethodDef* def) {
    Ref fn = check(PyCFunction_NewEx(def, module, S.module_name));
    check(PyObject_SetAttrString(module, def->ml_name, fn.get()));
    return fn;
}

void set_attr(PyObject* module, const char* name, PyObject* value) {
    check(PyObject_SetAttrString(module, name, value));
}

// Adds a traceback entry named `funcname` to the error being raised.
void add_traceback(PyObject* module, const char* funcname) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyCodeObject* code = PyCode_NewEmpty("zaradu/macro.cpp", funcname, 0);
    PyFrameObject* frame = nullptr;
    if (code)
        frame = PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr);
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
    if (frame)
        PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void run_top_level(PyObject* module) {
    // Step 3: builtins.
    PyObject* builtins = PyImport_AddModule("builtins");
    if (!builtins)
        raise();
    set_attr(module, "__builtins__", builtins);

    // Step 4: the interpreter this module was compiled for.
    int rt_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int rt_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (rt_major != PY_MAJOR_VERSION || rt_minor != PY_MINOR_VERSION) {
        char msg[200];
        std::snprintf(msg, sizeof msg, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, "zaradu.macro", "does not match", rt_major, rt_minor);
        check(PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1));
    }

    // Step 5: constants.
    make_constants();
    gen::init_type("zaradu.macro.generator");

    // Step 6: the registry entry.
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, S.module_name);
    if (!existing) {
        if (PyErr_Occurred())
            raise();
        check(PyDict_SetItem(modules, S.module_name, module));
    }

    // Step 7: the top-level statements.
    PyObject* globals = PyModule_GetDict(module);
    std::vector<Ref> got;
    import_from("collections", {"defaultdict"}, 0, globals, &got);
    set_attr(module, "defaultdict", got[0].get());

    got.clear();
    Ref numpy = import_from("numpy", {"cos", "mod", "pi"}, 0, globals, &got);
    set_attr(module, "cos", got[0].get());
    set_attr(module, "mod", got[1].get());
    set_attr(module, "pi", got[2].get());
    g_numpy_mod = got[1];
    {
        PyObject* f64 = PyObject_GetAttrString(numpy.get(), "float64");
        if (!f64) {
            PyErr_Clear();
        } else {
            Ref f = Ref::steal(f64);
            if (PyType_Check(f.get())) {
                auto* tp = reinterpret_cast<PyTypeObject*>(f.get());
                Py_XSETREF(g_float64, reinterpret_cast<PyTypeObject*>(Py_NewRef(f.get())));
                g_float64_layout_ok = PyType_IsSubtype(tp, &PyFloat_Type) &&
                                      tp->tp_basicsize == PyFloat_Type.tp_basicsize && tp->tp_itemsize == 0 &&
                                      tp->tp_alloc != nullptr;
            }
        }
    }

    got.clear();
    {
        // A relative import from the package zaradu, whatever the spec says of the parent.
        Ref package_globals = check(PyDict_New());
        Ref pkg = check(PyUnicode_FromString("zaradu"));
        check(PyDict_SetItemString(package_globals.get(), "__package__", pkg.get()));
        import_from("base", {"RavexError", "head"}, 1, package_globals.get(), &got);
    }
    set_attr(module, "RavexError", got[0].get());
    set_attr(module, "head", got[1].get());

    F._lookup = define(module, &def__lookup);
    F.lookup = define(module, &def_lookup);
    F.define_macro = define(module, &def_define_macro);
    F.call_macro = define(module, &def_call_macro);
    F.extend_control_gate = define(module, &def_extend_control_gate);
    F.extend_macro = define(module, &def_extend_macro);

    Ref rules = check(PyDict_New());
    set_attr(module, "_VZ_rules", rules.get());

    F.add_VZ_rule = define(module, &def_add_VZ_rule);
    define(module, &def_remove_VZ_rule);
    Ref vz_p = F.vz_p = define(module, &def_VZ_P);
    Ref vz_rf = F.vz_rf = define(module, &def_VZ_rfUnitary);
    Ref vz_clear = F.vz_clear = define(module, &def_VZ_clear);
    Ref vz_ex = F.vz_ex = define(module, &def_VZ_exchangable);
    Ref vz_swap = F.vz_swap = define(module, &def_VZ_swap);

    const std::pair<const char*, PyObject*> registrations[] = {
        {"P", vz_p.get()},         {"rfUnitary", vz_rf.get()}, {"Reset", vz_clear.get()}, {"Measure", vz_clear.get()},
        {"CZ", vz_ex.get()},       {"I", vz_ex.get()},         {"Barrier", vz_ex.get()},  {"Delay", vz_ex.get()},
        {"iSWAP", vz_swap.get()},  {"SWAP", vz_swap.get()},
    };
    for (const auto& [gate_name, rule] : registrations) {
        Ref add = global(module, S.add_VZ_rule);
        Ref key = check(PyUnicode_InternFromString(gate_name));
        call(add.get(), {key.get(), rule});
    }

    F.exchange = define(module, &def_exchange);
    define(module, &def_reduce);

    Ref test = check(PyDict_New());
    set_attr(module, "__test__", test.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    return boundary([&]() -> Ref {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (g_interpreter_id == -1) {
            g_interpreter_id = id;
            if (id == -1)
                raise();
        } else if (g_interpreter_id != id) {
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        }
        if (g_module)
            return g_module;
        Ref name = check(PyObject_GetAttrString(spec, "name"));
        Ref module = check(PyModule_NewObject(name.get()));
        struct Copy {
            const char* from;
            const char* to;
            bool allow_none;
        };
        const Copy copies[] = {
            {"loader", "__loader__", true},
            {"origin", "__file__", true},
            {"parent", "__package__", true},
            {"submodule_search_locations", "__path__", false},
        };
        for (const Copy& c : copies) {
            PyObject* v = nullptr;
            check(get_optional_attr(spec, c.from, &v));
            Ref value = Ref::steal(v);
            if (!value || (!c.allow_none && value.get() == Py_None))
                continue;
            check(PyObject_SetAttrString(module.get(), c.to, value.get()));
        }
        return module;
    });
}

int module_exec(PyObject* module) noexcept {
    if (g_module) {
        if (g_module.get() == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'macro' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Ref::borrow(module);
    declare_gil_used(module);
    watch_namespace(module);
    if (PyObject* ok = boundary([&] {
            run_top_level(module);
            return Ref::borrow(Py_None);
        })) {
        Py_DECREF(ok);
        return 0;
    }
    if (PyErr_Occurred())
        add_traceback(module, "init zaradu.macro");
    g_module.reset();
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "init zaradu.macro");
    return -1;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "macro",
    nullptr,
    0,
    nullptr,
    module_slots<module_create, module_exec>(),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zaradu::macro

PyMODINIT_FUNC PyInit_macro(void) { return PyModuleDef_Init(&zaradu::macro::module_def); }
