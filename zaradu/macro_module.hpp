// What the parts of zaradu.macro share: its interned names and constants, its own function
// objects, module-global lookup and the C entry points of its functions. The behaviour
// they match is written in Python in tests/support/macro_reference.py, function by function.
//
// Every function looks the module-level names it uses (head, RavexError, cos, mod, pi,
// defaultdict, the module's own functions and _VZ_rules) up in the module namespace at the
// moment of the call, so that a replaced attribute takes effect at its next use. Where the
// name still refers to this module's own function, the call goes straight to the C++ code.
#pragma once

#include "args.hpp"
#include "capi.hpp"
#include "loader.hpp"
#include "pyref.hpp"

#include <cstdint>
#include <unordered_map>

namespace zaradu::macro {

using args::bind;
using args::Signature;

// The module-level names that the functions look up while they run, listed once: the enum
// Name, the interned strings and the lookup table follow from this list.
#define ZARADU_MACRO_GLOBALS(ENTRY)                                                       \
    ENTRY(head) ENTRY(RavexError) ENTRY(cos) ENTRY(mod) ENTRY(pi) ENTRY(defaultdict)          \
    ENTRY(_lookup) ENTRY(lookup) ENTRY(define_macro) ENTRY(call_macro)                        \
    ENTRY(extend_control_gate) ENTRY(extend_macro) ENTRY(_VZ_rules) ENTRY(add_VZ_rule)        \
    ENTRY(_exchange_VZ_and_gate)

// The module's other strings: the field of Names that holds each, and its text.
#define ZARADU_MACRO_STRINGS(ENTRY)                                                       \
    ENTRY(getGate, "getGate") ENTRY(get, "get") ENTRY(define, "define") ENTRY(C, "C")     \
    ENTRY(X, "X") ENTRY(Z, "Z") ENTRY(CZ, "CZ") ENTRY(Cnot, "Cnot") ENTRY(u3, "u3")       \
    ENTRY(Rz, "Rz") ENTRY(P, "P") ENTRY(rfUnitary, "rfUnitary")                           \
    ENTRY(module_name, "zaradu.macro") ENTRY(empty_spec, "")                              \
    ENTRY(extend_prefix, "extend macro ") ENTRY(extend_suffix, " error.")                 \
    ENTRY(reduceVirtualZ, "reduceVirtualZ")

enum class Name : unsigned char {
#define ZARADU_NAME_ENUM(n) n,
    ZARADU_MACRO_GLOBALS(ZARADU_NAME_ENUM)
#undef ZARADU_NAME_ENUM
    count
};

// Interned names and constants, made once per process when the module first executes and
// kept for the rest of it.
struct Names {
    PyObject* global_names[static_cast<size_t>(Name::count)];  // by Name
#define ZARADU_STRING_FIELD(field, text) PyObject* field;
    ZARADU_MACRO_STRINGS(ZARADU_STRING_FIELD)
#undef ZARADU_STRING_FIELD
    PyObject* int0;
    PyObject* int1;
    PyObject* int2;
    PyObject* eps;          // 1e-15
    PyObject* slice_from1;  // slice(1, None)
    PyObject* slice_rev;    // slice(None, None, -1)
    PyObject* empty_tuple;
    PyObject* str_int;      // (str, int), for isinstance
    PyObject* int_str;      // (int, str)
};
extern Names S;

// The interned string of a Name.
inline PyObject* name_str(Name n) { return S.global_names[static_cast<size_t>(n)]; }

// This module's own function objects, to recognise an unreplaced module attribute.
struct Functions {
    ProcessRef _lookup, lookup, define_macro, call_macro, extend_control_gate, extend_macro;
    ProcessRef exchange;
    ProcessRef vz_p, vz_rf, vz_clear, vz_ex, vz_swap;
};
extern Functions F;

// What the native phase arithmetic knows of NumPy: its float64 type (and whether a float64
// is laid out as a float is), and its `mod` function, which that arithmetic stands in for.
struct NumpyFloat {
    PyTypeObject* float64 = nullptr;  // a reference kept for the process, or null
    bool layout_ok = false;
    ProcessRef mod;
};
extern NumpyFloat g_numpy;

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
// What is known of dictionaries between their changes: the values of the Names in the
// module namespace, and, for each dictionary a StrKeys uses (an environment, a rule table),
// whether it has only str keys. One dictionary watcher of the interpreter's, had once per
// process, is told of every change of a watched dictionary (an assignment, a deletion, a
// clear, a clone into it, its deallocation) before it happens, and what is known of that
// dictionary alone is brought up to date or forgotten at once. The interpreter keeps
// watcher ids per process and gives out few of them: this is the one place that holds
// this module's.
struct DictWatch {
    int id = -1;              // the watcher id; -1 while none is had
    bool unavailable = false; // the interpreter had no watcher left: nothing is kept
    uint64_t events = 0;      // changes told of so far, of any watched dictionary

    PyObject* ns = nullptr;   // the module namespace (borrowed; the module keeps it)
    PyObject* values[static_cast<size_t>(Name::count)] = {};  // found in `ns`, borrowed

    // What is known of the keys of one dictionary, kept while a StrKeys uses it.
    struct Keys {
        enum class State : unsigned char { unknown, all_str, other };
        State state = State::unknown;
        uint64_t serial = 0;  // tells this dictionary from an earlier one at its address
        size_t users = 0;     // the StrKeys that use it
    };
    std::unordered_map<PyObject*, Keys> keys;  // by dictionary (borrowed), while watched
    uint64_t serials = 0;                      // the last serial given out

    // Starts watching `dict`; false when no watcher can be had.
    bool watch(PyObject* dict);
    // Stops watching `dict` unless it is still known otherwise.
    void unwatch(PyObject* dict);
    // What is known of `dict`, watched from now on, with one user more; null when it
    // cannot be watched.
    Keys* use(PyObject* dict);
    // One user fewer of what is known of `dict` under `serial`, if that is still known.
    void release(PyObject* dict, uint64_t serial) noexcept;
    // Brings what is known of `dict` up to date before `event` changes it.
    void changing(PyDict_WatchEvent event, PyObject* dict, PyObject* key) noexcept;
};
extern DictWatch g_dict_watch;
#endif

// Whether every key of a dict is a str (no subclass), remembered until the dict changes.
// Looking a str up in such a dict runs no code of the program: hashing and comparing str
// objects is the interpreter's own business; nor does looking an int up, which no str key
// equals. Where dictionaries carry a version tag, the answer is kept here with the version
// it was found at; where they are watched, it is kept with the dictionary (DictWatch), and
// here is the dictionary last asked of, checked again after any change of a watched one.
// Belongs to one user (a generator's frame).
class StrKeys {
public:
    StrKeys() = default;
    StrKeys(const StrKeys&) = delete;
    StrKeys& operator=(const StrKeys&) = delete;
#if ZARADU_DICT_WATCH
    ~StrKeys() {
        if (dict_)
            g_dict_watch.release(dict_, serial_);
    }
#endif

    bool all(PyObject* dict) {
#if ZARADU_DICT_VERSION
        if (reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == tag_)
            return all_;
#else
        if (dict == dict_ && g_dict_watch.events == events_)
            return all_;
#endif
        return learn(dict);
    }

private:
    // Looks at the keys of a dict not known until now, and remembers what it found.
    bool learn(PyObject* dict);
#if ZARADU_DICT_VERSION
    uint64_t tag_ = 0;
#else
    PyObject* dict_ = nullptr;  // borrowed; what is known of it is its DictWatch::Keys
    uint64_t serial_ = 0;       // of that Keys
    uint64_t events_ = 0;       // DictWatch::events when all_ was read from it
#endif
    bool all_ = false;
};

// The module namespace as one running function or generator sees it. Every read looks the
// name up at that moment, as a Python function body does. Where dictionaries carry a
// version tag, the value found is kept with the namespace's version and is found again
// only once the namespace has changed: any assignment or deletion in it, also by code that
// runs between two reads, renews the version. Where dictionaries are watched, the value
// found is kept with the namespace (DictWatch) until the watcher is told of a change of
// it. Belongs to one caller (a generator's frame, or a function call's stack); holds no
// references of its own.
class Globals {
public:
    explicit Globals(PyObject* module) : dict_(PyModule_GetDict(module)) {}
    Globals(const Globals&) = delete;
    Globals& operator=(const Globals&) = delete;

    Ref get(Name n) {
        if (PyObject* v = known(n))
            return Ref::borrow(v);
        return find(n);
    }

    // A name's value as get() finds it, without a reference of its own where the value is
    // known: the namespace holds it until code of the program runs. A lookup that is not
    // known finds the value (which may run such code) and keeps a reference to it.
    class Value {
    public:
        PyObject* get() const noexcept { return p_; }
        // A reference, to hold the value across code that runs.
        Ref ref() const { return keep_ ? keep_ : Ref::borrow(p_); }

    private:
        friend class Globals;
        PyObject* p_ = nullptr;
        Ref keep_;
    };
    Value peek(Name n) {
        Value v;
        if ((v.p_ = known(n)))
            return v;
        v.keep_ = find(n);
        v.p_ = v.keep_.get();
        return v;
    }
    // Whether a lookup of `n` now takes the value known (and runs no code).
    bool is_known(Name n) const noexcept { return known(n) != nullptr; }

private:
    // The value of `n` while it is known (borrowed from the namespace), or null.
    PyObject* known(Name n) const noexcept {
#if ZARADU_DICT_VERSION
        const Slot& s = slots_[static_cast<size_t>(n)];
        return s.tag == version() ? s.value : nullptr;
#else
        const DictWatch& w = g_dict_watch;
        return w.ns == dict_ ? w.values[static_cast<size_t>(n)] : nullptr;
#endif
    }
    Ref find(Name n);

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

// The builtins that the module's functions see: those of its namespace when they were made.
extern ProcessRef g_builtins;

// A module-level name looked up once, outside a running function's namespace view.
inline Ref global(PyObject* module, Name n) {
    return loader::global(PyModule_GetDict(module), g_builtins.get(), name_str(n));
}

// The result of a numeric operation of the C API.
inline Ref num(PyObject* r) { return check(r); }

// head(st) through the module's name. The interpreter's own Python function holds itself
// while it runs; anything else is held here.
inline Ref call_head(Globals& g, PyObject* st) {
    Globals::Value h = g.peek(Name::head);
    if (holds_itself(h.get()))
        return call(h.get(), {st});
    Ref held = h.ref();
    return call(held.get(), {st});
}

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
