// zaradu.macro: macro expansion, controlled-gate decomposition and virtual-Z reduction
// of ravex statement streams. This file holds the module's process-wide state, its
// top-level statements and the function table; the loader runs the create and execute
// steps, and the functions themselves live in expansion.cpp, control_gate.cpp and
// virtual_z.cpp.
#include "generator.hpp"
#include "macro_module.hpp"

#include <utility>

namespace zaradu::macro {

// ---------------------------------------------------------------------------------------
// Process-wide storage: the module's record, its constants, its own functions and what it
// knows of NumPy.

namespace {
loader::Record g_record;
bool g_constants_ready = false;
}  // namespace

Names S{};
Functions F;
NumpyFloat g_numpy;
ProcessRef g_builtins;

namespace {

PyObject* keep(Ref r) { return r.release(); }

void make_constants() {
    if (g_constants_ready)
        return;
    static constexpr const char* global_texts[] = {
#define ZARADU_NAME_TEXT(n) #n,
        ZARADU_MACRO_GLOBALS(ZARADU_NAME_TEXT)
#undef ZARADU_NAME_TEXT
    };
    static_assert(std::size(global_texts) == static_cast<size_t>(Name::count));
    for (size_t i = 0; i < std::size(global_texts); ++i)
        S.global_names[i] = keep(intern(global_texts[i]));
#define ZARADU_STRING_MAKE(field, text) S.field = keep(intern(text));
    ZARADU_MACRO_STRINGS(ZARADU_STRING_MAKE)
#undef ZARADU_STRING_MAKE
    S.int0 = keep(check(PyLong_FromLong(0)));
    S.int1 = keep(check(PyLong_FromLong(1)));
    S.int2 = keep(check(PyLong_FromLong(2)));
    S.eps = keep(check(PyFloat_FromDouble(1e-15)));
    S.slice_from1 = keep(check(PySlice_New(S.int1, nullptr, nullptr)));
    Ref minus1 = check(PyLong_FromLong(-1));
    S.slice_rev = keep(check(PySlice_New(nullptr, nullptr, minus1.get())));
    S.empty_tuple = keep(check(PyTuple_New(0)));
    auto* str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    auto* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    S.str_int = keep(check(PyTuple_Pack(2, str_type, int_type)));
    S.int_str = keep(check(PyTuple_Pack(2, int_type, str_type)));
    gen::init_type("zaradu.macro.generator");
    g_constants_ready = true;
}

}  // namespace

#if ZARADU_DICT_WATCH
DictWatch g_dict_watch;

namespace {
// Brings what is known of `dict` up to date before it changes.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
    DictWatch& w = g_dict_watch;
    ++w.events;
    if (dict == w.ns) {
        for (PyObject*& v : w.values)
            v = nullptr;
        if (event == PyDict_EVENT_DEALLOCATED)
            w.ns = nullptr;
    }
    w.changing(event, dict, key);
    return 0;
}
}  // namespace

void DictWatch::changing(PyDict_WatchEvent event, PyObject* dict, PyObject* key) noexcept {
    auto it = keys.find(dict);
    if (it == keys.end())
        return;
    if (event == PyDict_EVENT_DEALLOCATED) {
        keys.erase(it);  // its users see the serial gone
        return;
    }
    // A str key stored, or a key removed, leaves a dict of str keys one still.
    Keys::State& state = it->second.state;
    const bool stays = state == Keys::State::all_str &&
                       (((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED) && key &&
                         PyUnicode_CheckExact(key)) ||
                        event == PyDict_EVENT_DELETED);
    if (!stays)
        state = Keys::State::unknown;
}

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
    if (id < 0 || !dict || dict == ns || keys.count(dict))
        return;
    if (PyDict_Unwatch(id, dict) < 0)
        PyErr_Clear();
}

DictWatch::Keys* DictWatch::use(PyObject* dict) {
    auto it = keys.find(dict);
    if (it == keys.end()) {
        if (!watch(dict))
            return nullptr;
        it = keys.emplace(dict, Keys{Keys::State::unknown, ++serials, 0}).first;
    }
    ++it->second.users;
    return &it->second;
}

void DictWatch::release(PyObject* dict, uint64_t serial) noexcept {
    auto it = keys.find(dict);
    if (it == keys.end() || it->second.serial != serial || --it->second.users > 0)
        return;
    keys.erase(it);
    unwatch(dict);
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

namespace {
bool all_str_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    return true;
}
}  // namespace

bool StrKeys::learn(PyObject* dict) {
#if ZARADU_DICT_VERSION
    all_ = all_str_keys(dict);
    tag_ = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;  // versions are unique among all dicts
    return all_;
#else
    // What is known of the dict is its own while the watcher sees its changes; this user
    // holds on to it until it asks of another dict.
    DictWatch& w = g_dict_watch;
    auto it = w.keys.find(dict);
    DictWatch::Keys* k = it != w.keys.end() && dict == dict_ && it->second.serial == serial_ ? &it->second : nullptr;
    if (!k) {
        if (dict_)
            w.release(std::exchange(dict_, nullptr), serial_);
        k = w.use(dict);
        if (!k)
            return all_ = false;  // not watched: nothing is known, the lookups are made as written
        dict_ = dict;
        serial_ = k->serial;
    }
    if (k->state == DictWatch::Keys::State::unknown)
        k->state = all_str_keys(dict) ? DictWatch::Keys::State::all_str : DictWatch::Keys::State::other;
    events_ = w.events;
    return all_ = k->state == DictWatch::Keys::State::all_str;
#endif
}

Ref Globals::find(Name n) {
    PyObject* name = name_str(n);
#if ZARADU_DICT_VERSION
    // The version is read before the lookup: should the lookup itself change the
    // namespace, the value is looked up again at the next read.
    const uint64_t tag = version();
    if (Ref v = dict_get(dict_, name)) {
        slots_[static_cast<size_t>(n)] = Slot{tag, v.get()};
        return v;
    }
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
    return loader::global(dict_, g_builtins.get(), name);
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
// The top-level statements.

// Binds `name` in the module namespace to a new function object.
Ref define(PyObject* module, PyMethodDef* def) {
    Ref fn = check(PyCFunction_NewEx(def, module, S.module_name));
    check(PyObject_SetAttrString(module, def->ml_name, fn.get()));
    return fn;
}

// What the native phase arithmetic needs of NumPy: its `mod` and its float64 type.
void note_numpy(PyObject* numpy, PyObject* mod) {
    g_numpy.mod.set(Ref::borrow(mod));
    PyObject* f64 = PyObject_GetAttrString(numpy, "float64");
    if (!f64) {
        PyErr_Clear();
        return;
    }
    Ref f = Ref::steal(f64);
    if (!PyType_Check(f.get()))
        return;
    auto* tp = reinterpret_cast<PyTypeObject*>(f.get());
    Py_XSETREF(g_numpy.float64, reinterpret_cast<PyTypeObject*>(f.release()));
    g_numpy.layout_ok = PyType_IsSubtype(tp, &PyFloat_Type) && tp->tp_basicsize == PyFloat_Type.tp_basicsize &&
                        tp->tp_itemsize == 0 && tp->tp_alloc != nullptr;
}

void run_top_level(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);
    g_builtins.set(loader::builtins_of(globals));
    watch_namespace(module);
    record_function_vectorcall(globals);
    loader::import_into(globals, "collections", 0, {"defaultdict"});
    Ref numpy = loader::import_into(globals, "numpy", 0, {"cos", "mod", "pi"});
    note_numpy(numpy.get(), global(module, Name::mod).get());
    loader::import_into(globals, "base", 1, {"RavexError", "head"});

    F._lookup.set(define(module, &def__lookup));
    F.lookup.set(define(module, &def_lookup));
    F.define_macro.set(define(module, &def_define_macro));
    F.call_macro.set(define(module, &def_call_macro));
    F.extend_control_gate.set(define(module, &def_extend_control_gate));
    F.extend_macro.set(define(module, &def_extend_macro));

    Ref rules = check(PyDict_New());
    check(PyObject_SetAttr(module, name_str(Name::_VZ_rules), rules.get()));

    define(module, &def_add_VZ_rule);
    define(module, &def_remove_VZ_rule);
    F.vz_p.set(define(module, &def_VZ_P));
    F.vz_rf.set(define(module, &def_VZ_rfUnitary));
    F.vz_clear.set(define(module, &def_VZ_clear));
    F.vz_ex.set(define(module, &def_VZ_exchangable));
    F.vz_swap.set(define(module, &def_VZ_swap));

    const std::pair<const char*, const ProcessRef&> registrations[] = {
        {"P", F.vz_p},      {"rfUnitary", F.vz_rf}, {"Reset", F.vz_clear}, {"Measure", F.vz_clear},
        {"CZ", F.vz_ex},    {"I", F.vz_ex},         {"Barrier", F.vz_ex},  {"Delay", F.vz_ex},
        {"iSWAP", F.vz_swap}, {"SWAP", F.vz_swap},
    };
    for (const auto& [gate_name, rule] : registrations) {
        Ref add = global(module, Name::add_VZ_rule);
        call(add.get(), {intern(gate_name).get(), rule.get()});
    }

    F.exchange.set(define(module, &def_exchange));
    define(module, &def_reduce);

    Ref test = check(PyDict_New());
    check(PyObject_SetAttrString(module, "__test__", test.get()));
}

constexpr loader::Module kModule{"zaradu.macro", "macro", &g_record, make_constants, run_top_level};

}  // namespace
}  // namespace zaradu::macro

PyMODINIT_FUNC PyInit_macro(void) { return PyModuleDef_Init(zaradu::loader::definition<zaradu::macro::kModule>()); }
