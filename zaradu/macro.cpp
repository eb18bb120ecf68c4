// zaradu.macro: macro expansion, controlled-gate decomposition and virtual-Z reduction
// of ravex statement streams.
//
// Every function looks the module-level names it uses (head, RavexError, cos, mod, pi,
// defaultdict, the module's own functions and _VZ_rules) up in the module namespace at the
// moment of the call, so that a replaced attribute takes effect at its next use. Where the
// name still refers to this module's own function, the call goes straight to the C++ code.
#include "generator.hpp"
#include "pyref.hpp"

#include <frameobject.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <vector>

namespace zaradu {
namespace {

// ---------------------------------------------------------------------------------------
// Process-wide storage: the module object, the interpreter it belongs to, and constants.

// Process-wide references are never destroyed: static destructors would run after the
// interpreter has finalised.
template <class T>
T& immortal() {
    static T* p = new T();
    return *p;
}

int64_t g_interpreter_id = -1;
Ref& g_module = immortal<Ref>();

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
};
Names S{};
bool g_constants_ready = false;

// NumPy objects that the native phase reduction stands in for.
struct NumpyMod {
    Ref fn;
};
Ref& g_numpy_mod = immortal<NumpyMod>().fn;
PyTypeObject* g_float64 = nullptr;
bool g_float64_layout_ok = false;

// This module's own function objects, to recognise an unreplaced module attribute.
struct Functions {
    Ref _lookup, lookup, define_macro, call_macro, extend_control_gate, extend_macro;
    Ref add_VZ_rule, exchange;
    Ref vz_p, vz_rf, vz_clear, vz_ex, vz_swap;
};
Functions& F = immortal<Functions>();

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o)
        raise();
    return o;
}

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
    g_constants_ready = true;
}

// ---------------------------------------------------------------------------------------
// Small helpers over the C API, each raising PyError on failure.

// A module-level name as a Python function body would see it: globals, then builtins.
// Values found in the module namespace are remembered together with the dictionary's
// version tag, which changes with every modification of the dictionary.
struct GlobalSlot {
    PyObject* name;
    PyObject* dict;
    uint64_t tag;
    PyObject* value;  // borrowed from the dictionary, valid while the tag is unchanged
};
GlobalSlot g_global_cache[256];

inline GlobalSlot& global_slot(PyObject* name) {
    return g_global_cache[(reinterpret_cast<uintptr_t>(name) >> 4) & 255];
}

Ref global(PyObject* module, PyObject* name) {
    PyObject* dict = PyModule_GetDict(module);
#if PY_VERSION_HEX < 0x030C0000
    GlobalSlot& slot = global_slot(name);
    uint64_t tag = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (slot.name == name && slot.dict == dict && slot.tag == tag && tag != 0)
        return Ref::borrow(slot.value);
#endif
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (v) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_CheckExact(name) && PyDict_CheckExact(dict)) {
            slot.name = name;
            slot.dict = dict;
            slot.tag = tag;
            slot.value = v;
        }
#endif
        return Ref::borrow(v);
    }
    if (PyErr_Occurred())
        raise();
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            raise();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

Ref call(PyObject* f, std::initializer_list<PyObject*> args) {
    return check(PyObject_Vectorcall(f, const_cast<PyObject* const*>(args.begin()), args.size(), nullptr));
}

Ref call_method1(PyObject* self, PyObject* name, PyObject* arg) {
    PyObject* args[] = {self, arg};
    return check(PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj[i] for a small non-negative index, as the subscription would do it.
Ref item(PyObject* obj, Py_ssize_t i) {
    if (PyTuple_CheckExact(obj)) {
        if (i < PyTuple_GET_SIZE(obj))
            return Ref::borrow(PyTuple_GET_ITEM(obj, i));
        raise(PyExc_IndexError, "tuple index out of range");
    }
    if (PyList_CheckExact(obj)) {
        if (i < PyList_GET_SIZE(obj))
            return Ref::borrow(PyList_GET_ITEM(obj, i));
        raise(PyExc_IndexError, "list index out of range");
    }
    Ref key = check(PyLong_FromSsize_t(i));
    return check(PyObject_GetItem(obj, key.get()));
}

// The next item of an iterator, or an empty Ref at its end.
Ref next(PyObject* it) {
    PyObject* r = Py_TYPE(it)->tp_iternext(it);
    if (r)
        return Ref::steal(r);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration))
            raise();
        PyErr_Clear();
    }
    return {};
}

Ref iter(PyObject* o) { return check(PyObject_GetIter(o)); }

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items)
        PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(o));
    return t;
}

Ref list(std::initializer_list<PyObject*> items) {
    Ref l = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items)
        PyList_SET_ITEM(l.get(), i++, Py_NewRef(o));
    return l;
}

// `obj == "literal"` followed by a truth test, as the comparison in a condition does it.
bool equals(PyObject* obj, PyObject* literal) {
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

// Unpacking of `a, b, ... = obj` into exactly N items, or at least N with a starred rest.
template <size_t N>
std::array<Ref, N> unpack(PyObject* obj, bool starred = false, Ref* rest = nullptr) {
    constexpr Py_ssize_t n = static_cast<Py_ssize_t>(N);
    std::array<Ref, N> out;
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        // Iterating these is not observable: take the items directly.
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size == n || (starred && size > n)) {
            for (Py_ssize_t i = 0; i < n; ++i)
                out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(obj, i));
            if (starred) {
                Ref r = check(PyList_New(size - n));
                for (Py_ssize_t i = n; i < size; ++i)
                    PyList_SET_ITEM(r.get(), i - n, Py_NewRef(PySequence_Fast_GET_ITEM(obj, i)));
                *rest = std::move(r);
            }
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
        *rest = check(PySequence_List(it.get()));
    } else if (next(it.get())) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise();
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Arguments: positional-or-keyword parameters with the interpreter's own TypeErrors.

struct Signature {
    const char* name;
    std::vector<const char*> params;
    size_t required;
    std::vector<PyObject*> interned{};
};

PyObject* arg_name(Signature& sig, size_t i) {
    if (sig.interned.empty()) {
        for (const char* p : sig.params)
            sig.interned.push_back(intern(p));
    }
    return sig.interned[i];
}

template <size_t N>
std::array<PyObject*, N> bind(Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t npos = nargs < static_cast<Py_ssize_t>(N) ? nargs : static_cast<Py_ssize_t>(N);
    for (Py_ssize_t i = 0; i < npos; ++i)
        out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t j = 0;
            for (; j < N; ++j) {
                PyObject* name = arg_name(sig, j);
                if (key == name || PyUnicode_Compare(key, name) == 0)
                    break;
            }
            if (j == N) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name, key);
                raise();
            }
            if (out[j]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", sig.name, key);
                raise();
            }
            out[j] = args[nargs + k];
        }
    }
    if (nargs > static_cast<Py_ssize_t>(N)) {
        if (sig.required < N)
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                         sig.name, sig.required, N, nargs);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", sig.name, N,
                         N == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        raise();
    }
    std::vector<size_t> missing;
    for (size_t j = 0; j < sig.required; ++j)
        if (!out[j])
            missing.push_back(j);
    if (!missing.empty()) {
        Ref names = check(PyUnicode_FromString(""));
        for (size_t m = 0; m < missing.size(); ++m) {
            const char* sep = "";
            if (m > 0)
                sep = missing.size() == 2 ? " and " : (m + 1 == missing.size() ? ", and " : ", ");
            names = check(PyUnicode_FromFormat("%U%s'%s'", names.get(), sep, sig.params[missing[m]]));
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %U", sig.name,
                     missing.size(), missing.size() == 1 ? "" : "s", names.get());
        raise();
    }
    for (size_t j = sig.required; j < N; ++j)
        if (!out[j])
            out[j] = Py_None;  // every optional parameter here defaults to None
    return out;
}

// ---------------------------------------------------------------------------------------
// Native phase reduction: mod(x, 2 * pi) computed like NumPy's remainder for doubles.

bool as_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o) || (g_float64 && Py_IS_TYPE(o, g_float64))) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        constexpr long long limit = 1LL << 52;
        if (v > limit || v < -limit)
            return false;
        *out = static_cast<double>(v);
        return true;
    }
    return false;
}

// NumPy's remainder: fmod, then moved into the sign of the divisor; a zero gets its sign.
double numpy_remainder(double a, double b) {
    double m = std::fmod(a, b);
    if (m != 0.0) {
        if (std::isless(b, 0.0) != std::isless(m, 0.0))
            m += b;
    } else {
        m = std::copysign(0.0, b);
    }
    return m;
}

Ref make_float64(double v) {
    PyObject* o = g_float64->tp_alloc(g_float64, 0);
    if (!o)
        raise();
    reinterpret_cast<PyFloatObject*>(o)->ob_fval = v;
    return Ref::steal(o);
}

// The fast path applies while `mod` is NumPy's own and `pi` a float: the inputs are finite
// doubles, so the result is exactly what the ufunc would return, without a warning.
bool native_mod(PyObject* modf, PyObject* pi, double x, Ref* out) {
    if (!g_float64_layout_ok || modf != g_numpy_mod.get() || !PyFloat_CheckExact(pi))
        return false;
    double b = 2.0 * PyFloat_AS_DOUBLE(pi);
    if (!std::isfinite(x) || !std::isfinite(b) || b == 0.0)
        return false;
    *out = make_float64(numpy_remainder(x, b));
    return true;
}

// mod(x, 2 * pi) through the module's names.
Ref reduce_phase(PyObject* module, PyObject* x) {
    Ref modf = global(module, S.mod);
    Ref pi = global(module, S.pi);
    double d;
    Ref out;
    if (as_double(x, &d) && native_mod(modf.get(), pi.get(), d, &out))
        return out;
    Ref two_pi = check(PyNumber_Multiply(S.int2, pi.get()));
    return call(modf.get(), {x, two_pi.get()});
}

// ---------------------------------------------------------------------------------------
// Function objects and their C entry points.

using Impl = Ref (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

template <Impl impl>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return boundary([&] { return impl(module, args, nargsf, kwnames); });
}

Ref call_head(PyObject* module, PyObject* st) {
    Ref h = global(module, S.head);
    return call(h.get(), {st});
}

// ---- _lookup, lookup, define_macro ----------------------------------------------------

Signature sig__lookup{"_lookup", {"name", "env"}, 2};
Signature sig_lookup{"lookup", {"st", "env"}, 2};
Signature sig_define_macro{"define_macro", {"name", "value", "env"}, 3};
Signature sig_call_macro{"call_macro", {"gate", "st"}, 2};
Signature sig_extend_control_gate{"extend_control_gate", {"st", "scope"}, 2};
Signature sig_extend_macro{"extend_macro", {"ravex", "lib", "env"}, 2};
Signature sig_add_VZ_rule{"add_VZ_rule", {"gateName", "rule"}, 2};
Signature sig_remove_VZ_rule{"remove_VZ_rule", {"gateName", "rule"}, 2};
Signature sig_VZ_P{"_VZ_P", {"st", "phaseList"}, 2};
Signature sig_VZ_rfUnitary{"_VZ_rfUnitary", {"st", "phaseList"}, 2};
Signature sig_VZ_clear{"_VZ_clear", {"st", "phaseList"}, 2};
Signature sig_VZ_exchangable{"_VZ_exchangable", {"st", "phaseList"}, 2};
Signature sig_VZ_swap{"_VZ_swap", {"st", "phaseList"}, 2};
Signature sig_exchange{"_exchange_VZ_and_gate", {"st", "phaseList", "lib"}, 3};
Signature sig_reduce{"reduceVirtualZ", {"ravex", "lib"}, 2};

// env.get(name, name); any error at all gives the name back.
Ref lookup_name(PyObject* name, PyObject* env) {
    if (PyDict_CheckExact(env)) {
        PyObject* v = PyDict_GetItemWithError(env, name);
        if (v)
            return Ref::borrow(v);
        PyErr_Clear();
        return Ref::borrow(name);
    }
    PyObject* args[] = {env, name, name};
    PyObject* r = PyObject_VectorcallMethod(S.get, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r)
        return Ref::steal(r);
    PyErr_Clear();
    return Ref::borrow(name);
}

Ref impl__lookup(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig__lookup, args, nargsf, kwnames);
    return lookup_name(a[0], a[1]);
}

Ref call__lookup(PyObject*, PyObject* fn, PyObject* name, PyObject* env) {
    if (fn == F._lookup.get())
        return lookup_name(name, env);
    return call(fn, {name, env});
}

Ref lookup_statement(PyObject* module, PyObject* st, PyObject* env) {
    Ref target = item(st, 1);
    if (PyTuple_Check(target.get())) {
        Ref gate = item(st, 0);
        Ref fn = global(module, S._lookup);
        Ref resolved;
        if (PyTuple_CheckExact(target.get())) {
            Py_ssize_t n = PyTuple_GET_SIZE(target.get());
            resolved = check(PyTuple_New(n));
            for (Py_ssize_t i = 0; i < n; ++i)
                PyTuple_SET_ITEM(resolved.get(), i,
                                 call__lookup(module, fn.get(), PyTuple_GET_ITEM(target.get(), i), env).release());
        } else {
            Ref out = check(PyList_New(0));
            Ref it = iter(target.get());
            while (Ref q = next(it.get()))
                check(PyList_Append(out.get(), call__lookup(module, fn.get(), q.get(), env).get()));
            resolved = check(PyList_AsTuple(out.get()));
        }
        return tuple({gate.get(), resolved.get()});
    }
    if (PyUnicode_Check(target.get()) || PyLong_Check(target.get())) {
        Ref gate = item(st, 0);
        Ref fn = global(module, S._lookup);
        Ref q = call__lookup(module, fn.get(), target.get(), env);
        return tuple({gate.get(), q.get()});
    }
    return Ref::borrow(st);
}

Ref impl_lookup(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_lookup, args, nargsf, kwnames);
    return lookup_statement(module, a[0], a[1]);
}

Ref impl_define_macro(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<3>(sig_define_macro, args, nargsf, kwnames);
    check(PyObject_SetItem(a[2], a[0], a[1]));
    return none();
}

// ---- call_macro -------------------------------------------------------------------------

// The statement's target and its gate parameters: st[1], and () or tuple(st[0][1:]).
Ref macro_params(PyObject* st, Ref* qubits) {
    *qubits = item(st, 1);
    Ref gate_item = item(st, 0);
    if (PyUnicode_Check(gate_item.get()))
        return Ref::borrow(S.empty_tuple);
    Ref sliced = check(PyObject_GetItem(gate_item.get(), S.slice_from1));
    return check(PySequence_Tuple(sliced.get()));
}

// gate(qubits, *params)
Ref call_gate(PyObject* gate, PyObject* qubits, PyObject* params) {
    Py_ssize_t n = PyTuple_GET_SIZE(params);
    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** argv = small;
    if (n + 1 > 8) {
        large.resize(static_cast<size_t>(n) + 1);
        argv = large.data();
    }
    argv[0] = qubits;
    for (Py_ssize_t i = 0; i < n; ++i)
        argv[i + 1] = PyTuple_GET_ITEM(params, i);
    return check(PyObject_Vectorcall(gate, argv, static_cast<size_t>(n) + 1, nullptr));
}

// Raises RavexError(f"extend macro {st} error.") for an error of the macro's call or output.
[[noreturn]] void raise_macro_error(PyObject* module, PyObject* st, const PyError& failure) {
    try {
        Ref cls = global(module, S.RavexError);
        Ref text = check(PyObject_Format(st, S.empty_spec));
        Ref msg = check(PyUnicode_Concat(S.extend_prefix, text.get()));
        msg = check(PyUnicode_Concat(msg.get(), S.extend_suffix));
        Ref exc = call(cls.get(), {msg.get()});
        if (!PyExceptionInstance_Check(exc.get()))
            raise(PyExc_TypeError, "exceptions must derive from BaseException");
        PyException_SetContext(exc.get(), Py_NewRef(failure.value()));
        throw PyError(std::move(exc));
    } catch (PyError& e) {
        if (e.value() == nullptr)
            throw;
        PyObject* ctx = PyException_GetContext(e.value());
        if (ctx) {
            Py_DECREF(ctx);
            throw;
        }
        PyException_SetContext(e.value(), Py_NewRef(failure.value()));
        throw;
    }
}

gen::Body call_macro_body(PyObject* module, PyObject* gate, PyObject* st) {
    Ref qubits;
    Ref params = macro_params(st, &qubits);
    std::optional<PyError> failure;
    try {
        Ref produced = call_gate(gate, qubits.get(), params.get());
        co_yield gen::delegate_to(produced.get());
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    if (failure)
        raise_macro_error(module, st, *failure);
}

Ref make_call_macro(PyObject* module, PyObject* gate, PyObject* st) {
    return gen::make(S.call_macro, S.call_macro_qual, tuple({module, gate, st}), [](PyObject* a) {
        return call_macro_body(PyTuple_GET_ITEM(a, 0), PyTuple_GET_ITEM(a, 1), PyTuple_GET_ITEM(a, 2));
    });
}

Ref impl_call_macro(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_call_macro, args, nargsf, kwnames);
    return make_call_macro(module, a[0], a[1]);
}

// ---- extend_control_gate ----------------------------------------------------------------

// The module name and the tuple of imported names of one `from <module> import <names>`
// statement: made at its first run and kept by a statement that runs again and again (as
// the constants of compiled code are).
struct ImportConstants {
    Ref name;
    Ref fromlist;
};

Ref import_from(PyObject* module, const char* modname, std::initializer_list<const char*> names, int level,
                PyObject* globals, std::vector<Ref>* out, ImportConstants* constants = nullptr) {
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
    (void)module;
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

Ref num(PyObject* r) { return check(r); }

// The imports of control_gate, made once per process.
struct RavexImports {
    ImportConstants ravex, matricies;
};
RavexImports& g_ravex_imports = immortal<RavexImports>();

Ref control_gate(PyObject* module, PyObject* st) {
    PyObject* globals = PyModule_GetDict(module);
    std::vector<Ref> imported;
    import_from(module, "ravex", {"seq2mat"}, 0, globals, &imported, &g_ravex_imports.ravex);
    import_from(module, "ravex.matricies", {"U", "Unitary2Angles"}, 0, globals, &imported,
                &g_ravex_imports.matricies);
    PyObject* seq2mat = imported[0].get();
    PyObject* unitary2angles = imported[2].get();

    auto outer = unpack<2>(st);
    auto gate_pair = unpack<2>(outer[0].get());
    PyObject* inner = gate_pair[1].get();
    PyObject* qubits = outer[1].get();

    if (PyUnicode_Check(inner)) {
        if (equals(inner, S.Z))
            return list({tuple({S.CZ, qubits}).get()});
        if (equals(inner, S.X))
            return list({tuple({S.Cnot, qubits}).get()});
    }
    Ref prog = list({tuple({inner, S.int0}).get()});
    auto ct = unpack<2>(qubits);
    PyObject* c = ct[0].get();
    PyObject* t = ct[1].get();
    Ref unitary = call(seq2mat, {prog.get()});
    Ref angles_obj = call(unitary2angles, {unitary.get()});
    auto angles = unpack<4>(angles_obj.get());
    PyObject* theta = angles[0].get();
    PyObject* phi = angles[1].get();
    PyObject* lam = angles[2].get();
    PyObject* delta = angles[3].get();

    Ref cosf = global(module, S.cos);
    Ref sum = num(PyNumber_Add(phi, lam));
    Ref c_ = call(cosf.get(), {sum.get()});
    Ref shifted = num(PyNumber_Add(c_.get(), S.int1));
    Ref dist = num(PyNumber_Absolute(shifted.get()));
    Ref lt = check(PyObject_RichCompare(dist.get(), S.eps, Py_LT));
    bool near = check(PyObject_IsTrue(lt.get())) != 0;

    auto half = [](PyObject* x) { return num(PyNumber_TrueDivide(x, S.int2)); };
    if (near) {
        Ref pi = global(module, S.pi);
        Ref p1 = num(PyNumber_Subtract(half(pi.get()).get(), half(theta).get()));
        Ref p3 = num(PyNumber_Negative(phi));
        Ref s1 = tuple({tuple({S.u3, p1.get(), S.int0, p3.get()}).get(), t});
        Ref s2 = tuple({S.Cnot, tuple({c, t}).get()});
        pi = global(module, S.pi);
        Ref q1 = num(PyNumber_Subtract(half(theta).get(), half(pi.get()).get()));
        Ref s3 = tuple({tuple({S.u3, q1.get(), phi, S.int0}).get(), t});
        pi = global(module, S.pi);
        Ref r = num(PyNumber_Subtract(delta, half(pi.get()).get()));
        Ref s4 = tuple({tuple({S.Rz, r.get()}).get(), t});
        return list({s1.get(), s2.get(), s3.get(), s4.get()});
    }
    Ref s1 = tuple({tuple({S.u3, half(theta).get(), S.int0, lam}).get(), t});
    Ref s2 = tuple({S.Cnot, tuple({c, t}).get()});
    Ref neg_theta = num(PyNumber_Negative(theta));
    Ref neg_sum = num(PyNumber_Negative(num(PyNumber_Add(phi, lam)).get()));
    Ref s3 = tuple({tuple({S.u3, half(neg_theta.get()).get(), half(neg_sum.get()).get(), S.int0}).get(), t});
    Ref s4 = tuple({S.Cnot, tuple({c, t}).get()});
    Ref diff = num(PyNumber_Subtract(phi, lam));
    Ref s5 = tuple({tuple({S.u3, S.int0, S.int0, half(diff.get()).get()}).get(), t});
    Ref s6 = tuple({tuple({S.Rz, delta}).get(), c});
    return list({s1.get(), s2.get(), s3.get(), s4.get(), s5.get(), s6.get()});
}

Ref impl_extend_control_gate(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_extend_control_gate, args, nargsf, kwnames);
    return control_gate(module, a[0]);
}

// ---- extend_macro -----------------------------------------------------------------------

Ref make_extend_macro(PyObject* module, PyObject* ravex, PyObject* lib, PyObject* env);

// One macro expansion in progress: `for s in call_macro(gate, st)` of the recursive
// definition. While `call_macro` is this module's own function the level does the work of
// the call_macro generator itself, without making one: the same calls in the same order,
// the same recursion check for each draw, the same errors, and when it is dropped
// unfinished, the same close (the macro output's `close`, then the RavexError reported as
// unraisable).
class Level {
public:
    // The iterator of a call_macro other than the module's own.
    static Level other(Ref it) {
        Level l;
        l.it_ = std::move(it);
        return l;
    }
    // The module's own call_macro(gate, st); nothing runs before the first draw.
    static Level own(PyObject* module, PyObject* gate, PyObject* st) {
        Level l;
        l.native_ = true;
        l.module_ = module;
        l.gate_ = Ref::borrow(gate);
        l.st_ = Ref::borrow(st);
        return l;
    }
    Level(Level&& o) noexcept
        : it_(std::move(o.it_)), gate_(std::move(o.gate_)), st_(std::move(o.st_)), produced_(std::move(o.produced_)),
          module_(o.module_), native_(o.native_), started_(o.started_) {}
    Level& operator=(Level&&) = delete;
    Level(const Level&) = delete;
    ~Level() {
        if (native_ && started_ && it_)
            close();
    }

    // The next statement of the expansion, or an empty Ref at its end.
    Ref next() {
        if (!native_)
            return zaradu::next(it_.get());
        if (started_ && !it_)
            return {};
        gen::detail::Depth depth;
        if (!started_) {
            started_ = true;
            Ref qubits;
            Ref params;
            try {
                params = macro_params(st_.get(), &qubits);
            } catch (PyError& e) {
                gen::detail::raise_from_body(std::move(e));
            }
            try {
                produced_ = call_gate(gate_.get(), qubits.get(), params.get());
                it_ = iter(produced_.get());
            } catch (PyError& e) {
                fail(std::move(e));
            }
        }
        Ref item;
        try {
            item = gen::detail::draw(it_.get(), Py_None);
        } catch (PyError& e) {
            it_.reset();
            fail(std::move(e));
        }
        if (!item) {
            it_.reset();
            produced_.reset();
        }
        return item;
    }

private:
    Level() = default;

    // The macro's call or output failed: the expansion ends with its RavexError.
    [[noreturn]] void fail(PyError e) {
        std::optional<PyError> err;
        try {
            raise_macro_error(module_, st_.get(), e);
        } catch (PyError& r) {
            err.emplace(std::move(r));
        }
        produced_.reset();
        gen::detail::raise_from_body(std::move(*err));
    }

    // What closing the suspended generator does, reported as its finalizer would report it.
    void close() noexcept {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        try {
            try {
                Ref ge = check(PyObject_CallNoArgs(PyExc_GeneratorExit));
                std::optional<PyError> exc{PyError(std::move(ge))};
                gen::detail::Depth depth;
                try {
                    Ref d = std::move(it_);
                    gen::detail::close_delegate(d.get());
                } catch (PyError& e) {
                    exc.emplace(std::move(e));
                }
                fail(std::move(*exc));
            } catch (PyError& e) {
                if (!e.matches(PyExc_GeneratorExit) && !e.matches(PyExc_StopIteration))
                    throw;
            }
        } catch (PyError& e) {
            Ref subject;
            try {
                subject = gen::make_finished(S.call_macro, S.call_macro_qual);
            } catch (PyError&) {
                // Without the object the error is still reported.
            }
            e.restore();
            PyErr_WriteUnraisable(subject ? subject.get() : Py_None);
        } catch (...) {
            PyErr_Clear();
        }
        PyErr_Restore(t, v, tb);
    }

    Ref it_;        // the iterator drawn from; empty once the expansion has ended
    Ref gate_;      // own call_macro: its arguments,
    Ref st_;
    Ref produced_;  // and what the macro returned
    PyObject* module_ = nullptr;
    bool native_ = false;
    bool started_ = false;
};

// The expansions in progress, innermost last. Each level stands for one
// `for s in call_macro(gate, st): yield from extend_macro([s], lib, env)` of the recursive
// definition; while `extend_macro` is this module's own function the nested expansions run
// here instead of in generators of their own, which gives the same statements in the same
// order. Unwinding drops the innermost level first, as the nested generators would be dropped.
struct Levels {
    std::vector<Level> its;
    ~Levels() {
        while (!its.empty())
            its.pop_back();
    }
};

gen::Body extend_macro_body(PyObject* module, PyObject* ravex, PyObject* lib, PyObject* env_arg) {
    Ref env = env_arg == Py_None ? check(PyDict_New()) : Ref::borrow(env_arg);
    Ref it = iter(ravex);
    Levels levels;
    for (;;) {
        Ref st;
        if (levels.its.empty()) {
            st = next(it.get());
            if (!st)
                break;
        } else {
            st = levels.its.back().next();
            if (!st) {
                levels.its.pop_back();
                continue;
            }
            // s drawn from a macro: extend_macro([s], lib, env) through the module's name.
            Ref em = global(module, S.extend_macro);
            if (em.get() != F.extend_macro.get()) {
                Ref single = list({st.get()});
                Ref sub = call(em.get(), {single.get(), lib, env.get()});
                co_yield gen::delegate_to(sub.get());
                continue;
            }
        }
        if (equals(call_head(module, st.get()).get(), S.define)) {
            Ref fn = global(module, S.define_macro);
            Ref name = item(st.get(), 1);
            Ref value = item(st.get(), 2);
            if (fn.get() == F.define_macro.get())
                check(PyObject_SetItem(env.get(), name.get(), value.get()));
            else
                call(fn.get(), {name.get(), value.get(), env.get()});
            continue;
        }
        if (equals(call_head(module, st.get()).get(), S.C)) {
            Ref fn = global(module, S.lookup);
            st = fn.get() == F.lookup.get() ? lookup_statement(module, st.get(), env.get())
                                            : call(fn.get(), {st.get(), env.get()});
            Ref ecg = global(module, S.extend_control_gate);
            Ref expanded = ecg.get() == F.extend_control_gate.get() ? control_gate(module, st.get())
                                                                    : call(ecg.get(), {st.get(), lib});
            co_yield gen::delegate_to(expanded.get());
            continue;
        }
        {
            Ref fn = global(module, S.lookup);
            st = fn.get() == F.lookup.get() ? lookup_statement(module, st.get(), env.get())
                                            : call(fn.get(), {st.get(), env.get()});
        }
        Ref gate = call_method1(lib, S.getGate, call_head(module, st.get()).get());
        if (gate.get() == Py_None) {
            co_yield std::move(st);
            continue;
        }
        // Each level counts like the nested generator call it replaces.
        if (static_cast<int>(levels.its.size()) >= Py_GetRecursionLimit())
            raise(PyExc_RecursionError, "maximum recursion depth exceeded while expanding a macro");
        Ref cm = global(module, S.call_macro);
        if (cm.get() == F.call_macro.get()) {
            levels.its.push_back(Level::own(module, gate.get(), st.get()));
        } else {
            Ref produced = call(cm.get(), {gate.get(), st.get()});
            levels.its.push_back(Level::other(iter(produced.get())));
        }
    }
}

Ref make_extend_macro(PyObject* module, PyObject* ravex, PyObject* lib, PyObject* env) {
    return gen::make(S.extend_macro, S.extend_macro_qual, tuple({module, ravex, lib, env}), [](PyObject* a) {
        return extend_macro_body(PyTuple_GET_ITEM(a, 0), PyTuple_GET_ITEM(a, 1), PyTuple_GET_ITEM(a, 2),
                                 PyTuple_GET_ITEM(a, 3));
    });
}

Ref impl_extend_macro(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<3>(sig_extend_macro, args, nargsf, kwnames);
    return make_extend_macro(module, a[0], a[1], a[2]);
}

// ---- virtual-Z rules ----------------------------------------------------------------------

Ref impl_add_VZ_rule(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_add_VZ_rule, args, nargsf, kwnames);
    Ref rules = global(module, S._VZ_rules);
    check(PyObject_SetItem(rules.get(), a[0], a[1]));
    return none();
}

Ref impl_remove_VZ_rule(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_remove_VZ_rule, args, nargsf, kwnames);
    Ref rules = global(module, S._VZ_rules);
    check(PyObject_DelItem(rules.get(), a[0]));
    return none();
}

// _VZ_P's new phase, mod(phaseList[0] + st[0][1], 2 * pi); `first_phase` gives phaseList[0].
template <class First>
Ref vz_p_phase(PyObject* module, PyObject* st, First&& first_phase) {
    Ref modf = global(module, S.mod);
    Ref pending = first_phase();
    Ref gate = item(st, 0);
    Ref angle = item(gate.get(), 1);
    Ref reduced;
    double x, y;
    bool done = false;
    if (as_double(pending.get(), &x) && as_double(angle.get(), &y)) {
        Ref pi = global(module, S.pi);
        done = native_mod(modf.get(), pi.get(), x + y, &reduced);
    }
    if (!done) {
        Ref sum = num(PyNumber_Add(pending.get(), angle.get()));
        Ref pi = global(module, S.pi);
        Ref two_pi = num(PyNumber_Multiply(S.int2, pi.get()));
        reduced = call(modf.get(), {sum.get(), two_pi.get()});
    }
    return reduced;
}

Ref impl_VZ_P(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_VZ_P, args, nargsf, kwnames);
    Ref emitted = check(PyList_New(0));
    Ref reduced = vz_p_phase(module, a[0], [&] { return item(a[1], 0); });
    return tuple({emitted.get(), list({reduced.get()}).get()});
}

// _VZ_rfUnitary's statement: the axis angle less phaseList[0], the other parameters kept.
template <class First>
Ref vz_rf_statement(PyObject* st, First&& first_phase) {
    auto parts = unpack<2>(st);
    Ref rest;
    auto g = unpack<3>(parts[0].get(), true, &rest);
    Ref pending = first_phase();
    Ref phi = num(PyNumber_Subtract(g[2].get(), pending.get()));
    Py_ssize_t extra = PyList_GET_SIZE(rest.get());
    Ref gate = check(PyTuple_New(3 + extra));
    PyTuple_SET_ITEM(gate.get(), 0, Py_NewRef(S.rfUnitary));
    PyTuple_SET_ITEM(gate.get(), 1, g[1].new_ref());
    PyTuple_SET_ITEM(gate.get(), 2, phi.release());
    for (Py_ssize_t i = 0; i < extra; ++i)
        PyTuple_SET_ITEM(gate.get(), 3 + i, Py_NewRef(PyList_GET_ITEM(rest.get(), i)));
    return tuple({gate.get(), parts[1].get()});
}

Ref impl_VZ_rfUnitary(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_VZ_rfUnitary, args, nargsf, kwnames);
    Ref st = vz_rf_statement(a[0], [&] { return item(a[1], 0); });
    return tuple({list({st.get()}).get(), a[1]});
}

Ref impl_VZ_clear(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_VZ_clear, args, nargsf, kwnames);
    Ref emitted = list({a[0]});
    Py_ssize_t n = PyObject_Size(a[1]);
    if (n < 0)
        raise();
    Ref zeros = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(zeros.get(), i, Py_NewRef(S.int0));
    return tuple({emitted.get(), zeros.get()});
}

Ref impl_VZ_exchangable(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_VZ_exchangable, args, nargsf, kwnames);
    return tuple({list({a[0]}).get(), a[1]});
}

Ref impl_VZ_swap(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_VZ_swap, args, nargsf, kwnames);
    Ref emitted = list({a[0]});
    Ref reversed = check(PyObject_GetItem(a[1], S.slice_rev));
    return tuple({emitted.get(), reversed.get()});
}

// The rule of the statement's gate in the module's table, or an empty Ref when it has none.
Ref find_rule(PyObject* module, PyObject* st) {
    Ref name = call_head(module, st);
    Ref rules = global(module, S._VZ_rules);
    if (!check(PySequence_Contains(rules.get(), name.get())))
        return {};
    return check(PyObject_GetItem(rules.get(), name.get()));
}

// The dispatch.
Ref exchange(PyObject* module, PyObject* st, PyObject* phases) {
    Ref rule = find_rule(module, st);
    if (!rule)
        raise(PyExc_Exception, "Unknow VZ exchange rule.");
    return call(rule.get(), {st, phases});
}

Ref impl_exchange(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<3>(sig_exchange, args, nargsf, kwnames);
    return exchange(module, a[0], a[1]);
}

// ---- reduceVirtualZ -----------------------------------------------------------------------

PyObject* zero_factory(PyObject*, PyObject*) noexcept { return Py_NewRef(S.int0); }
PyMethodDef zero_factory_def = {"<lambda>", zero_factory, METH_NOARGS, nullptr};

// hold[q] with the defaultdict's insertion of a missing key.
Ref held(PyObject* hold, PyObject* q) {
    if (PyDict_CheckExact(hold) || PyType_IsSubtype(Py_TYPE(hold), &PyDict_Type)) {
        PyObject* v = PyDict_GetItemWithError(hold, q);
        if (v)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            raise();
    }
    return check(PyObject_GetItem(hold, q));
}

// `value != 0` as a condition.
bool nonzero(PyObject* v) {
    if (PyFloat_CheckExact(v) || (g_float64 && Py_IS_TYPE(v, g_float64)))
        return PyFloat_AS_DOUBLE(v) != 0.0;
    Ref r = check(PyObject_RichCompare(v, S.int0, Py_NE));
    return check(PyObject_IsTrue(r.get())) != 0;
}

// (('P', hold[q]), q)
Ref phase_statement(PyObject* hold, PyObject* q) {
    Ref gate = tuple({S.P, held(hold, q).get()});
    return tuple({gate.get(), q});
}

// Which of the module's own rules a rule object is, if any.
enum class OwnRule { none, P, rfUnitary, clear, exchangable, swap };

OwnRule own_rule(PyObject* rule) {
    if (rule == F.vz_p.get())
        return OwnRule::P;
    if (rule == F.vz_rf.get())
        return OwnRule::rfUnitary;
    if (rule == F.vz_clear.get())
        return OwnRule::clear;
    if (rule == F.vz_ex.get())
        return OwnRule::exchangable;
    if (rule == F.vz_swap.get())
        return OwnRule::swap;
    return OwnRule::none;
}

// The items of a target: a single qubit (an int or str target stands for a one-item tuple),
// a tuple's or a list's read directly (as their iterators read them: a list is checked for
// its current length at each step), anything else's through its iterator.
class Items {
public:
    Items(PyObject* o, bool one) {
        if (one)
            one_ = o;
        else if (PyTuple_CheckExact(o) || PyList_CheckExact(o))
            seq_ = o;
        else
            it_ = iter(o);
    }
    Ref next() {
        if (one_)
            return Ref::borrow(std::exchange(one_, nullptr));
        if (seq_) {
            if (i_ < PySequence_Fast_GET_SIZE(seq_))
                return Ref::borrow(PySequence_Fast_GET_ITEM(seq_, i_++));
            seq_ = nullptr;  // an ended iterator stays ended
            return {};
        }
        if (!it_)
            return {};
        return zaradu::next(it_.get());
    }

private:
    PyObject* one_ = nullptr;  // borrowed: the caller keeps the target alive
    PyObject* seq_ = nullptr;  // borrowed, likewise
    Ref it_;
    Py_ssize_t i_ = 0;
};

// The phase list handed to a rule, and its release at the end of the protected section
// (last item first, as a list drops its items).
Ref phase_list(const std::vector<Ref>& phases) {
    Ref l = check(PyList_New(static_cast<Py_ssize_t>(phases.size())));
    for (size_t i = 0; i < phases.size(); ++i)
        PyList_SET_ITEM(l.get(), static_cast<Py_ssize_t>(i), phases[i].new_ref());
    return l;
}
struct DropPhases {
    std::vector<Ref>& v;
    ~DropPhases() {
        while (!v.empty())
            v.pop_back();
    }
};

gen::Body reduce_body(PyObject* module, PyObject* ravex, PyObject* lib) {
    Ref hold;
    {
        Ref dd = global(module, S.defaultdict);
        Ref factory = check(PyCFunction_NewEx(&zero_factory_def, nullptr, S.module_name));
        hold = call(dd.get(), {factory.get()});
    }
    Ref it = iter(ravex);
    std::vector<Ref> phases;  // hold[q] for the target's qubits; the storage is reused
    while (Ref st = next(it.get())) {
        Ref target = item(st.get(), 1);
        const bool one = PyLong_Check(target.get()) || PyUnicode_Check(target.get());
        bool failed = false;
        try {
            DropPhases drop{phases};
            {
                Items qs(target.get(), one);
                while (Ref q = qs.next())
                    phases.push_back(held(hold.get(), q.get()));
            }
            Ref fn = global(module, S._exchange_VZ_and_gate);
            Ref rule;
            OwnRule kind = OwnRule::none;
            Ref result;
            if (fn.get() == F.exchange.get()) {
                rule = find_rule(module, st.get());
                if (!rule) {
                    // The common failure of the protected section, taken without raising.
                    failed = true;
                } else {
                    kind = own_rule(rule.get());
                    if (kind == OwnRule::none)
                        result = call(rule.get(), {st.get(), phase_list(phases).get()});
                }
            } else {
                result = call(fn.get(), {st.get(), phase_list(phases).get(), lib});
            }
            if (failed) {
                // handled below, as an exception of the section would be
            } else if (kind == OwnRule::none) {
                auto pair = unpack<2>(result.get());
                result.reset();
                co_yield gen::delegate_to(pair[0].get());
                Items qs(target.get(), one);
                Ref ps = iter(pair[1].get());
                for (;;) {
                    Ref q = qs.next();
                    if (!q)
                        break;
                    Ref p = next(ps.get());
                    if (!p)
                        break;
                    Ref reduced = reduce_phase(module, p.get());
                    check(PyObject_SetItem(hold.get(), q.get(), reduced.get()));
                }
            } else {
                // One of the module's own rules, applied here: the same statements and
                // phases, without the argument list and the result pair.
                Ref emitted;    // the statement the rule emits (P emits none)
                Ref new_first;  // P's new phase of the first qubit
                {
                    // The check that calling a function object through the C API makes.
                    gen::detail::Depth depth(" while calling a Python object");
                    auto first_phase = [&] {
                        if (phases.empty())
                            raise(PyExc_IndexError, "list index out of range");
                        return phases[0];
                    };
                    if (kind == OwnRule::P)
                        new_first = vz_p_phase(module, st.get(), first_phase);
                    else if (kind == OwnRule::rfUnitary)
                        emitted = vz_rf_statement(st.get(), first_phase);
                    else
                        emitted = st;
                }
                if (emitted) {
                    // Yielded as the one item of the rule's list would be: a value sent
                    // in fails like a list iterator's missing `send`.
                    bool sent = co_yield std::move(emitted);
                    if (sent)
                        raise(PyExc_AttributeError, "'list_iterator' object has no attribute 'send'");
                }
                size_t n = kind == OwnRule::P ? 1 : phases.size();
                Items qs(target.get(), one);
                for (size_t i = 0; i < n; ++i) {
                    Ref q = qs.next();
                    if (!q)
                        break;
                    PyObject* p;
                    switch (kind) {
                    case OwnRule::P: p = new_first.get(); break;
                    case OwnRule::clear: p = S.int0; break;
                    case OwnRule::swap: p = phases[n - 1 - i].get(); break;
                    default: p = phases[i].get(); break;
                    }
                    Ref reduced = reduce_phase(module, p);
                    check(PyObject_SetItem(hold.get(), q.get(), reduced.get()));
                }
            }
        } catch (PyError& e) {
            // Closing the generator must end it, not be taken for a failed rule.
            if (e.matches(PyExc_GeneratorExit))
                throw;
            failed = true;  // the exception is discarded
        }
        if (failed) {
            Items qs(target.get(), one);
            while (Ref q = qs.next()) {
                Ref v = held(hold.get(), q.get());
                if (nonzero(v.get())) {
                    Ref flushed = phase_statement(hold.get(), q.get());
                    co_yield std::move(flushed);
                    check(PyObject_SetItem(hold.get(), q.get(), S.int0));
                }
            }
            co_yield std::move(st);
        }
    }
    Ref keys = iter(hold.get());
    while (Ref q = next(keys.get())) {
        if (nonzero(held(hold.get(), q.get()).get())) {
            Ref flushed = phase_statement(hold.get(), q.get());
            co_yield std::move(flushed);
        }
    }
}

Ref impl_reduce(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_reduce, args, nargsf, kwnames);
    return gen::make(S.reduce_qual, S.reduce_qual, tuple({module, a[0], a[1]}), [](PyObject* t) {
        return reduce_body(PyTuple_GET_ITEM(t, 0), PyTuple_GET_ITEM(t, 1), PyTuple_GET_ITEM(t, 2));
    });
}

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
    import_from(module, "collections", {"defaultdict"}, 0, globals, &got);
    set_attr(module, "defaultdict", got[0].get());

    got.clear();
    Ref numpy = import_from(module, "numpy", {"cos", "mod", "pi"}, 0, globals, &got);
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
        import_from(module, "base", {"RavexError", "head"}, 1, package_globals.get(), &got);
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
#if PY_VERSION_HEX >= 0x030D0000
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif
    try {
        run_top_level(module);
        return 0;
    } catch (PyError& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    if (PyErr_Occurred())
        add_traceback(module, "init zaradu.macro");
    g_module.reset();
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "init zaradu.macro");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "macro",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zaradu

PyMODINIT_FUNC PyInit_macro(void) { return PyModuleDef_Init(&zaradu::module_def); }
