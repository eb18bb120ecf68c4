// zaradu.compiler: the entry points of the circuit compiler.
//
//   assembly(ravex, cfg=None, lib=std, ctx=None, align='left')
//   compile(prog, cfg=None, lib=std, context=None, **options)
//
// `compile` chains macro expansion (zaradu.macro.extend_macro), virtual-Z
// reduction (zaradu.macro.reduceVirtualZ), `assembly` and the architecture's
// code generation; keyword options stop the chain early.  Every collaborator
// is looked up in the module namespace at the time of the call, so replacing
// a module attribute takes effect at its next use; only the `lib` defaults
// are bound once, when the module loads.
//
// The module object, its function type and its constants live in process-wide
// storage: the module loads into one interpreter per process and is never
// re-initialised.

#include "args.hpp"
#include "capi.hpp"
#include "pyref.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstdint>
#include <cstdio>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// Small helpers over the shared reference and error types

using zaradu::check;
using zaradu::raise;
using zaradu::Ref;

bool truth(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// The interpreter's `a == b` (no identity shortcut), as a truth value.
bool equals(PyObject* a, PyObject* b) {
    Ref r = check(PyObject_RichCompare(a, b, Py_EQ));
    return truth(r.get());
}

// A C API boundary whose body returns a new reference (or null with an error set).
template <class F>
PyObject* boundary(F&& body) noexcept {
    return zaradu::boundary([&] {
        PyObject* result = body();
        if (result == nullptr) raise();
        return Ref::steal(result);
    });
}

// ---------------------------------------------------------------------------
// Process-wide state

constexpr const char* kModuleName = "zaradu.compiler";

int64_t g_interpreter_id = -1;   // interpreter of the first create
PyObject* g_module = nullptr;    // the module object of this process
PyTypeObject* g_function_type = nullptr;

// Interned names and constant values, created once.
struct Constants {
    Ref s_left, s_right, s_general;
    Ref s_cfg, s_lib, s_ctx, s_align, s_context;
    Ref s_arch, s_shots, s_signal, s_assembly_code;
    Ref k_no_virtual_z, k_no_link, k_align_right, k_ar, k_no_assembly;
    Ref kw_cfg, kw_align;  // keyword-name tuples for vectorcalls
    Ref empty_str;
};
Constants* g_const = nullptr;

Ref intern(const char* s) { return check(PyUnicode_InternFromString(s)); }

void make_constants() {
    if (g_const != nullptr) return;
    auto* c = new Constants;
    try {
        c->s_left = intern("left");
        c->s_right = intern("right");
        c->s_general = intern("general");
        c->s_cfg = intern("cfg");
        c->s_lib = intern("lib");
        c->s_ctx = intern("ctx");
        c->s_align = intern("align");
        c->s_context = intern("context");
        c->s_arch = intern("arch");
        c->s_shots = intern("shots");
        c->s_signal = intern("signal");
        c->s_assembly_code = intern("assembly_code");
        c->k_no_virtual_z = intern("no_virtual_z");
        c->k_no_link = intern("no_link");
        c->k_align_right = intern("align_right");
        c->k_ar = intern("ar");
        c->k_no_assembly = intern("no_assembly");
        c->kw_cfg = check(PyTuple_Pack(1, c->s_cfg.get()));
        c->kw_align = check(PyTuple_Pack(1, c->s_align.get()));
        c->empty_str = intern("");
    } catch (...) {
        delete c;
        throw;
    }
    g_const = c;
}

// ---------------------------------------------------------------------------
// Function objects that present themselves like Python functions
//
// A parameter list of positional-or-keyword names, optionally followed by a
// catch-all **kwargs; binding follows the interpreter's rules and messages.

struct Function;
using Impl = PyObject* (*)(Function* self, PyObject* const* params, PyObject* varkw);

constexpr Py_ssize_t kMaxParams = 8;

struct FunctionSpec {
    const char* name;
    const char* const* params;  // nullptr-terminated
    bool varkw;
    Impl impl;

    Py_ssize_t count() const {
        Py_ssize_t n = 0;
        while (params[n] != nullptr) ++n;
        return n;
    }
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Py_ssize_t nparams;
    PyObject* param_names;  // tuple of str
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* kwdefaults;   // dict or None
    PyObject* annotations;  // dict
    PyObject* globals;      // the module's namespace
    PyObject* dict;
    PyObject* weakrefs;
};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<Function*>(callable);
    return boundary([&]() -> PyObject* {
        PyObject* slots[kMaxParams];
        Ref varkw;
        // The defaults tuple may be replaced while the call runs; keep the
        // objects the slots borrow from alive until it returns.
        Ref defaults = Ref::borrow(f->defaults);
        const Py_ssize_t n = f->nparams;
        Py_ssize_t ndefaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
        if (ndefaults > n) ndefaults = n;
        const zaradu::args::Params params{f->qualname, f->param_names, n - ndefaults, f->spec->varkw};
        zaradu::args::bind(params, args, PyVectorcall_NARGS(nargsf), kwnames, slots, &varkw);
        for (Py_ssize_t i = n - ndefaults; i < n; ++i)
            if (slots[i] == nullptr) slots[i] = PyTuple_GET_ITEM(f->defaults, i - (n - ndefaults));
        return f->spec->impl(f, slots, varkw.get());
    });
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->param_names);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<Function*>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname, self);
}

// Bound like a Python function when stored on a class.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Attribute setters share one shape: check the type, swap the field.
int set_field(PyObject** field, PyObject* value) {
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

#define FUNCTION_FIELD(field) (&reinterpret_cast<Function*>(self)->field)

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(name)); }
int set_name(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    return set_field(FUNCTION_FIELD(name), value);
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(qualname)); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    return set_field(FUNCTION_FIELD(qualname), value);
}
PyObject* get_defaults(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(defaults)); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    return set_field(FUNCTION_FIELD(defaults), value);
}
PyObject* get_kwdefaults(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(kwdefaults)); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) value = Py_None;
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    return set_field(FUNCTION_FIELD(kwdefaults), value);
}
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(annotations)); }
int set_annotations(PyObject* self, PyObject* value, void*) {
    Ref fresh;
    if (value == nullptr) {
        fresh = Ref::steal(PyDict_New());
        if (!fresh) return -1;
        value = fresh.get();
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    return set_field(FUNCTION_FIELD(annotations), value);
}
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(doc)); }
int set_doc(PyObject* self, PyObject* value, void*) {
    return set_field(FUNCTION_FIELD(doc), value ? value : Py_None);
}
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(module)); }
int set_module(PyObject* self, PyObject* value, void*) {
    return set_field(FUNCTION_FIELD(module), value ? value : Py_None);
}
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(*FUNCTION_FIELD(globals)); }

// inspect.signature support: built from the parameter names and the current
// defaults and annotations.
PyObject* get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<Function*>(self);
    return boundary([&]() -> PyObject* {
        Ref inspect = check(PyImport_ImportModule("inspect"));
        Ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref pos_or_kw = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        Ref var_kw = check(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD"));
        Ref params = check(PyList_New(0));
        Py_ssize_t ndefaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
        Py_ssize_t first_default = f->nparams - ndefaults;
        auto add = [&](PyObject* name, PyObject* kind, PyObject* dflt) {
            Ref kwargs = check(PyDict_New());
            if (dflt) check(PyDict_SetItemString(kwargs.get(), "default", dflt));
            PyObject* ann = PyDict_GetItemWithError(f->annotations, name);
            if (ann == nullptr && PyErr_Occurred()) raise();
            if (ann) check(PyDict_SetItemString(kwargs.get(), "annotation", ann));
            Ref args = check(PyTuple_Pack(2, name, kind));
            Ref p = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
            check(PyList_Append(params.get(), p.get()));
        };
        for (Py_ssize_t i = 0; i < f->nparams; ++i)
            add(PyTuple_GET_ITEM(f->param_names, i), pos_or_kw.get(),
                i >= first_default ? PyTuple_GET_ITEM(f->defaults, i - first_default) : nullptr);
        if (f->spec->varkw) {
            Ref name = check(PyUnicode_FromString("options"));
            add(name.get(), var_kw.get(), nullptr);
        }
        return PyObject_CallOneArg(signature.get(), params.get());
    });
}

// Pickled by reference, as module-level functions are: the qualified name is
// looked up in `__module__` when unpickling.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(*FUNCTION_FIELD(qualname)); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "zaradu.compiler.compiled_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// Create the function object of `spec` in the module namespace `globals`.
Ref make_function(const FunctionSpec& spec, PyObject* globals, const Ref& defaults, const Ref& annotations,
                  const char* doc) {
    Py_ssize_t n = spec.count();
    if (n > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        raise();
    }
    Ref names = check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(names.get(), i, intern(spec.params[i]).release());
    Ref name = intern(spec.name);
    Ref module = check(PyUnicode_FromString(kModuleName));
    Ref docstring = doc ? check(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);

    auto* f = PyObject_GC_New(Function, g_function_type);
    if (f == nullptr) raise();
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->nparams = n;
    f->param_names = names.release();
    f->name = Py_NewRef(name.get());
    f->qualname = name.release();
    f->module = module.release();
    f->doc = docstring.release();
    f->defaults = Py_NewRef(defaults.get());
    f->kwdefaults = Py_NewRef(Py_None);
    f->annotations = Py_NewRef(annotations.get());
    f->globals = Py_NewRef(globals);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// ---------------------------------------------------------------------------
// Name lookup and calls

// The value of a global name of the function's module, falling back to the
// builtins, as the interpreter's LOAD_GLOBAL does.
Ref global(Function* f, const char* name) {
    PyObject* v = PyDict_GetItemString(f->globals, name);  // borrowed
    if (v == nullptr) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    }
    if (v == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise();
    }
    return Ref::borrow(v);
}

template <class... A>
Ref call(const Ref& fn, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return check(PyObject_Vectorcall(fn.get(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// Call with positional arguments followed by the keyword arguments named in
// `kwnames` (the last values of `args`).
template <class... A>
Ref call_kw(const Ref& fn, Py_ssize_t nkw, const Ref& kwnames, A... args) {
    PyObject* argv[] = {nullptr, args...};
    size_t npos = sizeof...(A) - static_cast<size_t>(nkw);
    return check(
        PyObject_Vectorcall(fn.get(), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

bool has_key(PyObject* dict, const Ref& key) {
    int r = PyDict_Contains(dict, key.get());
    check(r);
    return r != 0;
}

// ---------------------------------------------------------------------------
// assembly

const char* const assembly_params[] = {"ravex", "cfg", "lib", "ctx", "align", nullptr};

PyObject* assembly_impl(Function* self, PyObject* const* p, PyObject*) {
    PyObject* ravex = p[0];
    Ref cfg = Ref::borrow(p[1]);
    PyObject* lib = p[2];
    Ref ctx = Ref::borrow(p[3]);
    PyObject* align = p[4];
    const Constants& k = *g_const;

    if (cfg.get() == Py_None) cfg = call(global(self, "getConfig"));
    if (ctx.get() == Py_None) ctx = call_kw(global(self, "create_context"), 1, k.kw_cfg, cfg.get());
    if (equals(align, k.s_left.get()))
        return call(global(self, "assembly_align_left"), ravex, ctx.get(), lib).release();
    if (equals(align, k.s_right.get()))
        return call(global(self, "assembly_align_right"), ravex, ctx.get(), lib).release();
    Ref text = check(PyObject_Format(align, k.empty_str.get()));
    PyErr_Format(PyExc_ValueError, "align=%U is not supported.", text.get());
    return nullptr;
}

const FunctionSpec assembly_spec = {"assembly", assembly_params, false, assembly_impl};

// ---------------------------------------------------------------------------
// compile

const char* const compile_params[] = {"prog", "cfg", "lib", "context", nullptr};

const char compile_doc[] =
    "\n"
    "    Compile a ravex program.\n"
    "\n"
    "    Args:\n"
    "        prog (str | list): program to compile\n"
    "        cfg (Config): config object holding all gate parameters\n"
    "        lib (Library): library to use\n"
    "        context (dict): context used in assembly\n"
    "    \n"
    "    Options: \n"
    "        qasm_only = True: only compile qasm to ravex\n"
    "        no_virtual_z = True: keep P gates as original form.\n"
    "        no_assembly = True: return simplified ravex.\n"
    "    ";

[[noreturn]] void context_type_error(PyObject* context) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "context",
                 "dict", Py_TYPE(context)->tp_name);
    zaradu::PyError error;  // takes the error out of the indicator
    if (PyDict_Check(context)) {
        // A dict subclass: say why it is refused.
        Ref note = check(PyUnicode_FromString(
            "subclasses of built-in types are rejected: pass a plain dict, e.g. dict(context)"));
        Ref r = check(PyObject_CallMethod(error.value(), "add_note", "O", note.get()));
    }
    throw error;
}

PyObject* compile_impl(Function* self, PyObject* const* p, PyObject* options) {
    PyObject* prog = p[0];
    PyObject* cfg = p[1];
    Ref lib = Ref::borrow(p[2]);
    Ref context = Ref::borrow(p[3]);
    const Constants& k = *g_const;

    if (context.get() != Py_None && !PyDict_CheckExact(context.get())) context_type_error(context.get());

    Ref library_class = global(self, "Library");
    int is_library = PyObject_IsInstance(lib.get(), library_class.get());
    check(is_library);
    if (!is_library) {
        // libraries(*lib)
        Ref libraries = global(self, "libraries");
        Ref libs = zaradu::star_args(libraries.get(), lib.get());
        lib = check(PyObject_Call(libraries.get(), libs.get(), nullptr));
    }

    Ref code = call(global(self, "extend_macro"), prog, lib.get());
    if (has_key(options, k.k_no_virtual_z)) return PySequence_List(code.get());

    code = call(global(self, "reduceVirtualZ"), code.get(), lib.get());
    if (has_key(options, k.k_no_link)) return PySequence_List(code.get());

    PyObject* align =
        (has_key(options, k.k_align_right) || has_key(options, k.k_ar)) ? k.s_right.get() : k.s_left.get();
    code = call_kw(global(self, "assembly"), 1, k.kw_align, code.get(), cfg, lib.get(), align);

    for (const Ref* key : {&k.s_arch, &k.s_shots, &k.s_signal}) {
        PyObject* value = PyDict_GetItemWithError(options, key->get());  // borrowed
        if (value == nullptr && PyErr_Occurred()) raise();
        if (value != nullptr) check(PyObject_SetAttr(code.get(), key->get(), value));
    }

    Ref arch = check(PyObject_GetAttr(code.get(), k.s_arch.get()));
    if (equals(arch.get(), k.s_general.get())) return code.release();
    if (has_key(options, k.k_no_assembly)) return code.release();

    if (context.get() == Py_None) context = check(PyDict_New());
    arch = check(PyObject_GetAttr(code.get(), k.s_arch.get()));  // read afresh
    Ref target = call(global(self, "get_arch"), arch.get());
    return check(PyObject_CallMethodObjArgs(target.get(), k.s_assembly_code.get(), code.get(),
                                                 context.get(), nullptr))
        .release();
}

const FunctionSpec compile_spec = {"compile", compile_params, true, compile_impl};

// ---------------------------------------------------------------------------
// Loading

// from <module> import <names...>, binding each name in `globals`.
void import_from(PyObject* globals, const char* module, int level, std::initializer_list<const char*> names) {
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, intern(n).release());
    Ref modname = intern(module);
    Ref mod = check(PyImport_ImportModuleLevelObject(modname.get(), globals, globals, fromlist.get(), level));
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(fromlist.get()); ++j) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), j);
        Ref value = Ref::steal(PyObject_GetAttr(mod.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
            PyErr_Clear();
            // a submodule that is loaded but not yet bound on its package
            Ref pkgname = Ref::steal(PyObject_GetAttrString(mod.get(), "__name__"));
            if (!pkgname) PyErr_Clear();
            if (pkgname && PyUnicode_Check(pkgname.get())) {
                Ref full = check(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
                PyObject* sub = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
                if (sub == nullptr && PyErr_Occurred()) raise();
                value = Ref::borrow(sub);
            }
            if (!value) {
                Ref file = Ref::steal(PyObject_GetAttrString(mod.get(), "__file__"));
                if (!file) PyErr_Clear();
                Ref shown = pkgname ? pkgname : check(PyUnicode_FromString("<unknown module name>"));
                if (file)
                    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (%S)", name, shown.get(),
                                 file.get());
                else
                    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (unknown location)", name,
                                 shown.get());
                raise();
            }
        }
        check(PyDict_SetItem(globals, name, value.get()));
    }
}

Ref string_dict(std::initializer_list<std::pair<const char*, const char*>> items) {
    Ref d = check(PyDict_New());
    for (auto [key, value] : items) {
        Ref v = check(PyUnicode_FromString(value));
        check(PyDict_SetItemString(d.get(), key, v.get()));
    }
    return d;
}

void run_top_level(PyObject* globals) {
    import_from(globals, "typing", 0, {"Literal", "Optional", "Sequence", "Union"});
    import_from(globals, "arch", 1, {"get_arch"});
    import_from(globals, "assembly", 1, {"assembly_align_left", "assembly_align_right", "call_opaque"});
    import_from(globals, "base", 1, {"Context", "create_context", "getConfig"});
    import_from(globals, "config", 1, {"Config"});
    import_from(globals, "library", 1, {"Library", "libraries"});
    import_from(globals, "libs", 1, {"std"});
    import_from(globals, "macro", 1, {"extend_macro", "reduceVirtualZ"});
    import_from(globals, "utils", 1, {"mapping_qubits"});

    {
        PyObject* std_lib = PyDict_GetItemString(globals, "std");
        Ref defaults = check(PyTuple_Pack(4, Py_None, std_lib, Py_None, g_const->s_left.get()));
        Ref annotations = string_dict({{"cfg", "Optional[Config]"},
                                       {"lib", "Library"},
                                       {"ctx", "Optional[Context]"},
                                       {"align", "Literal['left', 'right']"}});
        Ref fn = make_function(assembly_spec, globals, defaults, annotations, nullptr);
        check(PyDict_SetItemString(globals, "assembly", fn.get()));
    }
    {
        PyObject* std_lib = PyDict_GetItemString(globals, "std");
        Ref defaults = check(PyTuple_Pack(3, Py_None, std_lib, Py_None));
        Ref annotations = string_dict({{"cfg", "Optional[Config]"},
                                       {"lib", "Union[Library, Sequence[Library]]"},
                                       {"context", "Optional[dict]"}});
        Ref fn = make_function(compile_spec, globals, defaults, annotations, compile_doc);
        check(PyDict_SetItemString(globals, "compile", fn.get()));
    }
    Ref test = check(PyDict_New());
    check(PyDict_SetItemString(globals, "__test__", test.get()));
}

void copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool none_ok) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
        PyErr_Clear();
        return;
    }
    if (!none_ok && value.get() == Py_None) return;
    check(PyObject_SetAttrString(module, to, value.get()));
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return boundary([&]() -> PyObject* {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1 && PyErr_Occurred()) raise();
        if (g_interpreter_id == -1) {
            g_interpreter_id = id;
        } else if (id != g_interpreter_id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter "
                            "per process.");
            return nullptr;
        }
        if (g_module != nullptr) return Py_NewRef(g_module);

        Ref name = check(PyObject_GetAttrString(spec, "name"));
        Ref module = check(PyModule_NewObject(name.get()));
        copy_spec_attr(spec, module.get(), "loader", "__loader__", true);
        copy_spec_attr(spec, module.get(), "origin", "__file__", true);
        copy_spec_attr(spec, module.get(), "parent", "__package__", true);
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", false);
        return module.release();
    });
}

// Give the pending error a traceback entry naming the failed load.
void add_init_traceback(PyObject* globals) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty("compiler.cpp", "init zaradu.compiler", 0);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void check_runtime_version() {
#if PY_VERSION_HEX >= 0x030B0000
    const unsigned long runtime = Py_Version;
    const int major = static_cast<int>((runtime >> 24) & 0xff), minor = static_cast<int>((runtime >> 16) & 0xff);
#else
    int major = 0, minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
#endif
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                      "compile time Python version %d.%d of module '%.100s' %s runtime version "
                                      "%d.%d",
                                      PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major,
                                      minor));
    }
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'compiler' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    zaradu::declare_gil_used(module);
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    PyObject* ok = boundary([&]() -> PyObject* {
        check(PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()));
        check_runtime_version();
        make_constants();
        if (g_function_type == nullptr)
            g_function_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
        PyObject* registry = PyImport_GetModuleDict();
        int present = PyDict_Contains(registry, check(PyUnicode_FromString(kModuleName)).get());
        check(present);
        if (!present) check(PyDict_SetItemString(registry, kModuleName, module));
        run_top_level(globals);
        return Py_NewRef(Py_None);
    });
    if (ok != nullptr) {
        Py_DECREF(ok);
        return 0;
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init zaradu.compiler");
    add_init_traceback(globals);
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "compiler",
    nullptr,  // no docstring
    0,        // no per-module state: everything is process-wide
    nullptr,  // functions are created by the top level
    zaradu::module_slots<module_create, module_exec>(),
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_compiler(void) { return PyModuleDef_Init(&module_def); }
