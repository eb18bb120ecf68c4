// Binding of call arguments to positional-or-keyword parameters (optionally followed by a
// catch-all **kwargs), with the interpreter's own TypeErrors, for the functions of both
// modules.
#pragma once

#include "capi.hpp"

#include <array>
#include <vector>

namespace zaradu::args {

// A parameter list as the binder sees it. What a function can have replaced while its
// arguments are bound (a keyword's __eq__ runs the program's code) is given by where the
// function keeps it and read when it is used, as the interpreter reads a function's fields.
struct Params {
    PyObject* const* shown;     // where the function's name in messages (a str) is kept
    PyObject* names;            // tuple of the parameter names (interned str), never replaced
    Py_ssize_t required;        // without `defaults`: the leading parameters without a default
    PyObject* const* defaults;  // or where the function keeps its defaults (a tuple, or None)
    bool varkw;                 // a catch-all for unmatched keywords follows
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
inline Ref format_names(PyObject* names) {
    Py_ssize_t n = PyList_GET_SIZE(names);
    Ref out = check(PyUnicode_FromString(""));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* sep = "";
        if (i > 0)
            sep = (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
        out = check(PyUnicode_FromFormat("%U%s%R", out.get(), sep, PyList_GET_ITEM(names, i)));
    }
    return out;
}

// Binds a vectorcall's arguments to `slots` (borrowed references; null where a parameter
// with a default was not given and no defaults tuple fills it) and collects unmatched
// keywords into `*varkw` when the parameters end in a catch-all. Errors come in the
// interpreter's order: keyword errors, then too many positional arguments, then missing
// ones. A function's defaults are read after the keywords are matched, and `*defaults`
// holds the tuple that the slots borrow from; as for a Python function, a defaults tuple
// longer than the parameter list gives its last values.
inline void bind(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
                 Ref* varkw, Ref* defaults = nullptr) {
    const Py_ssize_t n = PyTuple_GET_SIZE(p.names);
    for (Py_ssize_t i = 0; i < n; ++i)
        slots[i] = i < nargs ? args[i] : nullptr;
    if (p.varkw)
        *varkw = check(PyDict_New());

    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", *p.shown);
            raise();
        }
        Py_ssize_t idx = -1;
        for (Py_ssize_t i = 0; i < n && idx < 0; ++i)
            if (PyTuple_GET_ITEM(p.names, i) == key)
                idx = i;
        for (Py_ssize_t i = 0; i < n && idx < 0; ++i) {
            int eq = check(PyObject_RichCompareBool(key, PyTuple_GET_ITEM(p.names, i), Py_EQ));
            if (eq)
                idx = i;
        }
        if (idx < 0) {
            if (!p.varkw) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", *p.shown, key);
                raise();
            }
            check(PyDict_SetItem(varkw->get(), key, value));
            continue;
        }
        if (slots[idx] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", *p.shown, key);
            raise();
        }
        slots[idx] = value;
    }

    Ref defs;
    Py_ssize_t ndefaults = n - p.required;
    if (p.defaults) {
        defs = Ref::borrow(*p.defaults);
        ndefaults = PyTuple_Check(defs.get()) ? PyTuple_GET_SIZE(defs.get()) : 0;
    }
    if (nargs > n) {
        Ref sig = ndefaults > 0 ? check(PyUnicode_FromFormat("from %zd to %zd", n - ndefaults, n))
                                : check(PyUnicode_FromFormat("%zd", n));
        bool plural = ndefaults > 0 || n != 1;
        PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", *p.shown, sig.get(),
                     plural ? "s" : "", nargs, nargs == 1 ? "was" : "were");
        raise();
    }

    const Py_ssize_t first_default = n - ndefaults;  // negative for a defaults tuple longer than the parameters
    Ref missing;
    for (Py_ssize_t i = nargs; i < first_default; ++i) {
        if (slots[i] != nullptr)
            continue;
        if (!missing)
            missing = check(PyList_New(0));
        check(PyList_Append(missing.get(), PyTuple_GET_ITEM(p.names, i)));
    }
    if (missing) {
        Py_ssize_t m = PyList_GET_SIZE(missing.get());
        Ref names = format_names(missing.get());
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", *p.shown, m,
                     m == 1 ? "" : "s", names.get());
        raise();
    }
    if (ndefaults > 0 && defs) {
        for (Py_ssize_t i = nargs > first_default ? nargs : first_default; i < n; ++i)
            if (slots[i] == nullptr)
                slots[i] = PyTuple_GET_ITEM(defs.get(), i - first_default);
        *defaults = std::move(defs);
    }
}

// A fixed signature of N parameters whose optional ones all default to None.
struct Signature {
    const char* name;
    std::vector<const char*> params;
    Py_ssize_t required;
    PyObject* shown = nullptr;
    Params p{};

    const Params& get() {
        if (!p.names) {
            Ref names = intern_tuple(params);
            shown = intern(name).release();  // kept for the process, as `names` is
            p.shown = &shown;
            p.names = names.release();
            p.required = required;
            p.defaults = nullptr;
            p.varkw = false;
        }
        return p;
    }
};

template <size_t N>
std::array<PyObject*, N> bind(Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    bind(sig.get(), args, PyVectorcall_NARGS(nargsf), kwnames, out.data(), nullptr);
    for (size_t j = static_cast<size_t>(sig.required); j < N; ++j)
        if (!out[j])
            out[j] = Py_None;
    return out;
}

}  // namespace zaradu::args
