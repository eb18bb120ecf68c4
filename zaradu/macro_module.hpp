// What the parts of zaradu.macro share: the module object, its interned names and
// constants, its own function objects, module-global lookup and the C entry points of its
// functions.
//
// Every function looks the module-level names it uses (head, RavexError, cos, mod, pi,
// defaultdict, the module's own functions and _VZ_rules) up in the module namespace at the
// moment of the call, so that a replaced attribute takes effect at its next use. Where the
// name still refers to this module's own function, the call goes straight to the C++ code.
#pragma once

#include "args.hpp"
#include "capi.hpp"
#include "pyref.hpp"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zaradu::macro {

using args::bind;
using args::Signature;

// Process-wide references are never destroyed: static destructors would run after the
// interpreter has finalised.
template <class T>
T& immortal() {
    static T* p = new T();
    return *p;
}

// The module-level names that the functions use while they run.
enum class Name : unsigned char {
    head,
    RavexError,
    cos,
    mod,
    pi,
    defaultdict,
    _lookup,
    lookup,
    define_macro,
    call_macro,
    extend_control_gate,
    extend_macro,
    _VZ_rules,
    _exchange_VZ_and_gate,
    count
};

// Interned names and constants, made once per process.
struct Names {
    PyObject* head;
    PyObject* RavexError;
    PyObject* cos;
    PyObject* mod;
    PyObject* pi;
    PyObject* defaultdict;
    PyObject* _lookup;
    PyObject* lookup;
    PyObject* define_macro;
    PyObject* call_macro;
    PyObject* extend_control_gate;
    PyObject* extend_macro;
    PyObject* _VZ_rules;
    PyObject* add_VZ_rule;
    PyObject* _exchange_VZ_and_gate;
    PyObject* getGate;
    PyObject* get;
    PyObject* define;
    PyObject* C;
    PyObject* X;
    PyObject* Z;
    PyObject* CZ;
    PyObject* Cnot;
    PyObject* u3;
    PyObject* Rz;
    PyObject* P;
    PyObject* rfUnitary;
    PyObject* module_name;      // "zaradu.macro"
    PyObject* empty_spec;       // ""
    PyObject* extend_prefix;    // "extend macro "
    PyObject* extend_suffix;    // " error."
    PyObject* call_macro_qual;
    PyObject* extend_macro_qual;
    PyObject* reduce_qual;
    PyObject* int0;
    PyObject* int1;
    PyObject* int2;
    PyObject* eps;              // 1e-15
    PyObject* slice_from1;      // slice(1, None)
    PyObject* slice_rev;        // slice(None, None, -1)
    PyObject* empty_tuple;
    PyObject* global_names[static_cast<size_t>(Name::count)];  // by Name
};
extern Names S;

// This module's own function objects, to recognise an unreplaced module attribute.
struct Functions {
    Ref _lookup, lookup, define_macro, call_macro, extend_control_gate, extend_macro;
    Ref add_VZ_rule, exchange;
    Ref vz_p, vz_rf, vz_clear, vz_ex, vz_swap;
};
extern Functions& F;

// NumPy's float64 type and `mod` function, which the native phase reduction stands in for.
extern PyTypeObject* g_float64;
extern bool g_float64_layout_ok;
extern Ref& g_numpy_mod;

// A module-level name as a Python function body would see it: globals, then builtins.
Ref global(PyObject* module, PyObject* name);

// The interned string of a Name.
PyObject* name_str(Name n);

// Dictionaries carry a version tag that every change of the dictionary renews (up to
// 3.11; later versions deprecate and then drop it). From 3.12 on, dictionary watchers
// take its place.
#if PY_VERSION_HEX < 0x030C0000
#define ZARADU_DICT_VERSION 1
#define ZARADU_DICT_WATCH 0
#else
#define ZARADU_DICT_VERSION 0
#define ZARADU_DICT_WATCH 1
#endif

#if ZARADU_DICT_WATCH
// What is known of two dictionaries between their changes: the values of the Names in the
// module namespace, and whether a rule table has only str keys. One dictionary watcher of
// the interpreter's, had once per process, is told of every change of a watched dictionary
// (an assignment, a deletion, a clear, a clone into it, its deallocation) before it
// happens, and what was known of that dictionary is forgotten at once. The interpreter
// keeps watcher ids per process and gives out few of them: this is the one place that
// holds this module's.
struct DictWatch {
    int id = -1;              // the watcher id; -1 while none is had
    bool unavailable = false; // the interpreter had no watcher left: nothing is kept
    uint64_t events = 0;      // changes told of so far, of any watched dictionary

    PyObject* ns = nullptr;   // the module namespace (borrowed; the module keeps it)
    PyObject* values[static_cast<size_t>(Name::count)] = {};  // found in `ns`, borrowed

    PyObject* keys_of = nullptr;  // the rule table whose keys are known (borrowed), or null
    bool str_keys = false;        // whether all of them are str

    // Starts watching `dict`; false when no watcher can be had.
    bool watch(PyObject* dict);
    // Stops watching `dict` unless it is still the other dictionary.
    void unwatch(PyObject* dict);
};
extern DictWatch& g_dict_watch;
#endif

// The module namespace as one running function or generator sees it. Every read looks the
// name up at that moment, as a Python function body does. Where dictionaries carry a
// version tag, the value found is kept with the namespace's version and is found again
// only once the namespace has changed: any assignment or deletion in it, also by code that
// runs between two reads, renews the version. Where dictionaries are watched, the value
// found is kept process-wide (DictWatch) until the watcher is told of a change of the
// namespace. Belongs to one caller (a generator's frame, or a function call's stack);
// holds no references of its own.
class Globals {
public:
    explicit Globals(PyObject* module) : module_(module), dict_(PyModule_GetDict(module)) {}
    Globals(const Globals&) = delete;
    Globals& operator=(const Globals&) = delete;

    PyObject* module() const noexcept { return module_; }

    Ref get(Name n) {
#if ZARADU_DICT_VERSION
        const Slot& s = slots_[static_cast<size_t>(n)];
        if (s.tag == version())
            return Ref::borrow(s.value);
#else
        const DictWatch& w = g_dict_watch;
        if (w.ns == dict_)
            if (PyObject* v = w.values[static_cast<size_t>(n)])
                return Ref::borrow(v);
#endif
        return find(n);
    }

private:
    Ref find(Name n);

    PyObject* module_;
    PyObject* dict_;
#if ZARADU_DICT_VERSION
    uint64_t version() const noexcept { return reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag; }
    // A value in the namespace (borrowed from it) and the version it was found at; a
    // dictionary's version is never 0.
    struct Slot {
        uint64_t tag = 0;
        PyObject* value = nullptr;
    };
    Slot slots_[static_cast<size_t>(Name::count)];
#endif
};

// The result of a numeric operation of the C API.
inline Ref num(PyObject* r) { return check(r); }

// head(st) through the module's name.
inline Ref call_head(Globals& g, PyObject* st) {
    Ref h = g.get(Name::head);
    return call(h.get(), {st});
}

// The module name and the tuple of imported names of one `from <module> import <names>`
// statement: made at its first run and kept by a statement that runs again and again (as
// the constants of compiled code are).
struct ImportConstants {
    Ref name;
    Ref fromlist;
};

// `from <modname> import <names>` at `level`, appending the imported values to `out`;
// returns the module imported from.
Ref import_from(const char* modname, std::initializer_list<const char*> names, int level, PyObject* globals,
                std::vector<Ref>* out, ImportConstants* constants = nullptr);

// The C entry point of a module function: `impl` runs at a C API boundary.
using Impl = Ref (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

template <Impl impl>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return boundary([&] { return impl(module, args, nargsf, kwnames); });
}

// The module's functions, by the file that holds them.
// expansion.cpp
Ref impl__lookup(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_lookup(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_define_macro(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_call_macro(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_extend_macro(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// control_gate.cpp
Ref impl_extend_control_gate(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref control_gate(Globals& g, PyObject* st);
// virtual_z.cpp
Ref impl_add_VZ_rule(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_remove_VZ_rule(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_VZ_P(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_VZ_rfUnitary(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_VZ_clear(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_VZ_exchangable(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_VZ_swap(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_exchange(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Ref impl_reduce(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace zaradu::macro
