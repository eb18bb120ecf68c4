// Small helpers over the C API shared by zaradu.macro and zaradu.compiler. Each raises
// PyError on failure.
#pragma once

#include "pyref.hpp"

#include <array>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

namespace zaradu {

// One level of the interpreter's recursion check, held for a scope, as a call through the C
// API or a generator's run makes it; `where` ends the RecursionError's message ("maximum
// recursion depth exceeded" + where).
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where))
            raise();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// An interned string.
inline Ref intern(const char* s) { return check(PyUnicode_InternFromString(s)); }

// A tuple of interned strings, in the order given.
inline Ref intern_tuple(std::span<const char* const> names) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names)
        PyTuple_SET_ITEM(t.get(), i++, intern(n).release());
    return t;
}

// The vectorcall entry that the interpreter gives every Python function it makes; null
// until `record_function_vectorcall` has run in this module.
inline vectorcallfunc function_vectorcall = nullptr;

// Records the entry from a function made here: one that no one can have given an entry
// of its own.
inline void record_function_vectorcall(PyObject* globals) {
    if (function_vectorcall)
        return;
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", 0));
    if (!code)
        raise();
    PyObject* fn = PyFunction_New(code, globals);
    Py_DECREF(code);
    if (!fn)
        raise();
    function_vectorcall = reinterpret_cast<PyFunctionObject*>(fn)->vectorcall;
    Py_DECREF(fn);
}

// A Python function whose entry is the interpreter's own.
inline bool plain_function(PyObject* f) noexcept {
    return Py_IS_TYPE(f, &PyFunction_Type) && function_vectorcall &&
           reinterpret_cast<PyFunctionObject*>(f)->vectorcall == function_vectorcall;
}

// f(*args) as PyObject_Vectorcall makes it (new reference, or null with the error set). A
// plain function is entered at its entry directly: what PyObject_Vectorcall adds around the
// entry only checks that a null result comes with an error and a result without one, which
// the interpreter's functions always keep.
inline PyObject* vectorcall(PyObject* f, PyObject* const* args, size_t nargsf) {
    if (plain_function(f))
        return function_vectorcall(f, args, nargsf, nullptr);
    return PyObject_Vectorcall(f, args, nargsf, nullptr);
}

// Whether a call of `f` holds a reference to `f` until it returns: the frame of a plain
// Python function does (before any of its code runs), so the caller need not.
inline bool holds_itself(PyObject* f) noexcept { return plain_function(f); }

inline Ref call(PyObject* f, std::initializer_list<PyObject*> args) {
    return check(vectorcall(f, const_cast<PyObject* const*>(args.begin()), args.size()));
}

// `obj.name` as the interpreter looks it up for a method call `obj.name(...)`: a function
// that the type provides and the instance does not hide comes back unbound, to be called
// with `obj` first, without a bound method object in between; anything else comes back
// as the attribute's value. The lookups and their errors are those of the attribute
// access.
struct Method {
    Ref fn;
    bool unbound = false;
};

// The interpreter's own method lookup, private to it, is used only where the build found
// it among the symbols of the interpreter it is built for (ZARADU_HAVE_GET_METHOD, set by
// zaradu/CMakeLists.txt) and knows its signature: declared by the interpreter's headers up
// to 3.12, since then only among its internals. Elsewhere a method is looked up as the
// attribute it is, through the public API; both give the same values and errors.
#if defined(ZARADU_HAVE_GET_METHOD) && PY_VERSION_HEX < 0x030F0000
#if PY_VERSION_HEX >= 0x030D0000
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif
#define ZARADU_GET_METHOD 1
#else
#define ZARADU_GET_METHOD 0
#endif

inline Method load_method(PyObject* obj, PyObject* name) {
#if ZARADU_GET_METHOD
    PyObject* fn = nullptr;
    const int unbound = _PyObject_GetMethod(obj, name, &fn);
    if (!fn)
        raise();
    return Method{Ref::steal(fn), unbound != 0};
#else
    return Method{check(PyObject_GetAttr(obj, name)), false};
#endif
}

// The call `obj.name(arg)` of a method that load_method found on `obj`.
inline Ref call_method(const Method& m, PyObject* obj, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    if (m.unbound)
        return check(vectorcall(m.fn.get(), args, 2));
    // args[0] may be overwritten by the callee (a bound method puts its self there).
    return check(vectorcall(m.fn.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
}

// dict[key] looked up in the dictionary itself (no __missing__, no subclass's lookup): the
// value, or an empty Ref when the key is missing; errors of hashing or comparing the key
// are raised.
inline Ref dict_get(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    if (check(PyDict_GetItemRef(dict, key, &v)) == 0)
        return {};
    return Ref::steal(v);
#else
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v && PyErr_Occurred())
        raise();
    return Ref::borrow(v);
#endif
}

// The IndexError of a list subscription past the list's end.
[[noreturn]] inline void list_index_out_of_range() { raise(PyExc_IndexError, "list index out of range"); }

Ref item_slow(PyObject* obj, Py_ssize_t i);

// obj[i] for a small non-negative index, as the subscription would do it.
[[gnu::always_inline]] inline Ref item(PyObject* obj, Py_ssize_t i) {
    if (PyTuple_CheckExact(obj) && i < PyTuple_GET_SIZE(obj)) [[likely]]
        return Ref::borrow(PyTuple_GET_ITEM(obj, i));
    return item_slow(obj, i);
}

// The rest of `item`: an index past a tuple's end, and every other kind of object.
[[gnu::noinline]] inline Ref item_slow(PyObject* obj, Py_ssize_t i) {
    if (PyTuple_CheckExact(obj))
        raise(PyExc_IndexError, "tuple index out of range");
    if (PyList_CheckExact(obj)) {
        if (i < PyList_GET_SIZE(obj))
            return Ref::borrow(PyList_GET_ITEM(obj, i));
        list_index_out_of_range();
    }
    Ref key = check(PyLong_FromSsize_t(i));
    return check(PyObject_GetItem(obj, key.get()));
}

// The next item of an iterator, or an empty Ref at its end.
inline Ref next(PyObject* it) { return iteration_step(Py_TYPE(it)->tp_iternext(it)); }

inline Ref iter(PyObject* o) { return check(PyObject_GetIter(o)); }

inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items)
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

// A new tuple whose items are all atomic (objects the cycle collector does not track, or
// tuples that it no longer tracks) can never be part of a reference cycle: the collector
// drops such a tuple from its lists at the first collection that sees it. Statements that
// are passed on are taken off at once, which spares every collection until then the work
// of walking them. Returns the tuple.
inline Ref untrack_if_atomic(Ref t) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(t.get()); ++i) {
        PyObject* o = PyTuple_GET_ITEM(t.get(), i);
        // PyObject_IS_GC(o), without the call for the str, int and float items of statements
        PyTypeObject* tp = Py_TYPE(o);
        if (!PyType_IS_GC(tp) || (tp->tp_is_gc && !tp->tp_is_gc(o)))
            continue;
        if (!(PyTuple_CheckExact(o) && !PyObject_GC_IsTracked(o)))
            return t;
    }
    PyObject_GC_UnTrack(t.get());
    return t;
}

inline Ref list(std::initializer_list<PyObject*> items) {
    Ref l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items)
        PyList_SET_ITEM(l.get(), i++, Py_NewRef(o));
    return l;
}

// `obj == "literal"` followed by a truth test, as the comparison in a condition does it.
inline bool equals(PyObject* obj, PyObject* literal) {
    if (obj == literal)
        return true;
    if (PyUnicode_CheckExact(obj)) {
        if (!PyUnicode_IS_READY(obj))
            return PyUnicode_Compare(obj, literal) == 0;
        if (PyUnicode_GET_LENGTH(obj) != PyUnicode_GET_LENGTH(literal) ||
            PyUnicode_KIND(obj) != PyUnicode_KIND(literal))
            return false;
        return std::memcmp(PyUnicode_DATA(obj), PyUnicode_DATA(literal),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(obj)) * PyUnicode_KIND(obj)) == 0;
    }
    Ref r = check(PyObject_RichCompare(obj, literal, Py_EQ));
    return check(PyObject_IsTrue(r.get())) != 0;
}

// isinstance(obj, cls) for `cls` one of the core built-in classes below (tuple, str, int,
// bool, list, float) or a tuple of them, as the built-in answers it. An object of one of
// those classes is told by its class alone; for any other, the interpreter also asks for
// its `__class__`, which can run code of the program, once for each class that its type
// does not derive from.
inline bool is_instance(PyObject* obj, PyObject* cls) {
    PyTypeObject* tp = Py_TYPE(obj);
    // An object of one of the classes asked for is one of the core classes: told at once.
    auto* exact = reinterpret_cast<PyObject*>(tp);
    if (!PyTuple_CheckExact(cls)) {
        if (cls == exact)
            return true;
    } else {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i)
            if (PyTuple_GET_ITEM(cls, i) == exact)
                return true;
    }
    if (tp == &PyTuple_Type || tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyBool_Type ||
        tp == &PyList_Type || tp == &PyFloat_Type) {
        // Their classes are fixed: each derives from object alone, bool from int first.
        auto derives = [tp](PyObject* c) {
            auto* ct = reinterpret_cast<PyTypeObject*>(c);
            return ct == tp || (tp == &PyBool_Type && ct == &PyLong_Type) || ct == &PyBaseObject_Type;
        };
        if (!PyTuple_Check(cls))
            return derives(cls);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i)
            if (derives(PyTuple_GET_ITEM(cls, i)))
                return true;
        return false;
    }
    return check(PyObject_IsInstance(obj, cls)) != 0;
}

// Unpacking of `a, b, ... = obj` into exactly N items or, given `rest`, of `a, b, ..., *rest =
// obj` into at least N, the rest taken into `rest` (the items of the list the interpreter
// would make). A tuple or a list is read directly, as its iterator would read it; every
// item is held before anything else runs.
template <size_t N>
std::array<Ref, N> unpack(PyObject* obj, std::vector<Ref>* rest = nullptr) {
    constexpr Py_ssize_t n = static_cast<Py_ssize_t>(N);
    const bool starred = rest != nullptr;
    std::array<Ref, N> out;
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        // Iterating these is not observable: take the items directly.
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == n || (starred && size > n)) {
            if (starred)
                rest->reserve(static_cast<size_t>(size - n));  // before any item is read
            for (Py_ssize_t i = 0; i < n; ++i)
                out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
            for (Py_ssize_t i = n; starred && i < size; ++i)
                rest->push_back(Ref::borrow(PySequence_Fast_GET_ITEM(obj, i)));
            return out;
        }
    }
    if (!Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        raise();
    }
    Ref it = iter(obj);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref v = next(it.get());
        if (!v) {
            if (starred)
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected at least %zd, got %zd)", n, i);
            else
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            raise();
        }
        out[i] = std::move(v);
    }
    if (starred) {
        Ref l = check(PySequence_List(it.get()));
        const Py_ssize_t m = PyList_GET_SIZE(l.get());
        rest->reserve(static_cast<size_t>(m));
        for (Py_ssize_t i = 0; i < m; ++i)
            rest->push_back(Ref::borrow(PyList_GET_ITEM(l.get(), i)));
    } else if (next(it.get())) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise();
    }
    return out;
}

// A new tuple of `head` followed by `rest`, made once every item is held (the tuple is never
// seen half filled).
inline Ref tuple_of(std::initializer_list<PyObject*> head, std::vector<Ref>& rest) {
    const Py_ssize_t h = static_cast<Py_ssize_t>(head.size());
    Ref t = check(PyTuple_New(h + static_cast<Py_ssize_t>(rest.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : head)
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    for (Ref& r : rest)
        PyTuple_SET_ITEM(t.get(), i++, r.release());
    rest.clear();
    return t;
}

// The name a call error shows for a callable: "module.qualname()", or "qualname()" for a
// builtin, or the callable's str() when it has no qualified name.
inline Ref function_str(PyObject* f) {
    PyObject* qual = nullptr;
    if (get_optional_attr(f, "__qualname__", &qual) < 0)
        raise();
    if (!qual)
        return check(PyObject_Str(f));
    Ref qualname = Ref::steal(qual);
    PyObject* mod = nullptr;
    if (get_optional_attr(f, "__module__", &mod) < 0)
        raise();
    Ref module = Ref::steal(mod);
    if (module && module.get() != Py_None) {
        Ref builtins = check(PyUnicode_FromString("builtins"));
        int ne = check(PyObject_RichCompareBool(module.get(), builtins.get(), Py_NE));
        if (ne)
            return check(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
    }
    return check(PyUnicode_FromFormat("%S()", qualname.get()));
}

// f(*obj): the positional arguments as a tuple, with the interpreter's error for an object
// that cannot be unpacked.
inline Ref star_args(PyObject* f, PyObject* obj) {
    if (PyTuple_CheckExact(obj))
        return Ref::borrow(obj);
    if (!Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
        Ref shown = function_str(f);
        PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s", shown.get(),
                     Py_TYPE(obj)->tp_name);
        raise();
    }
    return check(PySequence_Tuple(obj));
}

}  // namespace zaradu
