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
// re-initialised (the loader's rules, shared with zaradu.macro).

#include "args.hpp"
#include "capi.hpp"
#include "loader.hpp"
#include "pyref.hpp"

#include <structmember.h>

#include <utility>

namespace {

using zaradu::check;
using zaradu::equals;
using zaradu::intern;
using zaradu::intern_tuple;
using zaradu::raise;
using zaradu::Ref;

// ---------------------------------------------------------------------------
// Process-wide state

constexpr const char* kModuleName = "zaradu.compiler";

// The module-level names that the functions look up at each call, then the module's
// other strings, listed once: the constants follow from this list.
#define ZARADU_COMPILER_STRINGS(ENTRY)                                                           \
    ENTRY(getConfig) ENTRY(create_context) ENTRY(assembly_align_left) ENTRY(assembly_align_right) \
    ENTRY(Library) ENTRY(libraries) ENTRY(extend_macro) ENTRY(reduceVirtualZ) ENTRY(assembly)     \
    ENTRY(get_arch) ENTRY(std)                                                                     \
    ENTRY(left) ENTRY(right) ENTRY(general) ENTRY(cfg) ENTRY(align) ENTRY(arch) ENTRY(shots)      \
    ENTRY(signal) ENTRY(assembly_code) ENTRY(no_virtual_z) ENTRY(no_link) ENTRY(align_right)      \
    ENTRY(ar) ENTRY(no_assembly)

// Interned names and constant values, made once per process and kept for the rest of it.
struct Constants {
#define ZARADU_CONSTANT_FIELD(n) PyObject* n;
    ZARADU_COMPILER_STRINGS(ZARADU_CONSTANT_FIELD)
#undef ZARADU_CONSTANT_FIELD
    PyObject* kw_cfg;     // keyword-name tuples for vectorcalls
    PyObject* kw_align;
    PyObject* empty_str;
};
Constants K{};
bool g_constants_ready = false;

zaradu::loader::Record g_record;
PyTypeObject* g_function_type = nullptr;  // a reference kept for the process

PyTypeObject* function_type();

void make_constants() {
    if (g_constants_ready) return;
#define ZARADU_CONSTANT_MAKE(n) K.n = intern(#n).release();
    ZARADU_COMPILER_STRINGS(ZARADU_CONSTANT_MAKE)
#undef ZARADU_CONSTANT_MAKE
    K.kw_cfg = check(PyTuple_Pack(1, K.cfg)).release();
    K.kw_align = check(PyTuple_Pack(1, K.align)).release();
    K.empty_str = intern("").release();
    g_function_type = function_type();
    g_constants_ready = true;
}

// ---------------------------------------------------------------------------
// Function objects that present themselves like Python functions
//
// A parameter list of positional-or-keyword names, optionally followed by a
// catch-all **kwargs; binding follows the interpreter's rules and messages.

struct Function;
using Impl = Ref (*)(Function* self, PyObject* const* params, PyObject* varkw);

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
    PyObject* builtins;     // the builtins of that namespace when the function was made
    PyObject* dict;
    PyObject* weakrefs;
};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<Function*>(callable);
    return zaradu::boundary([&] {
        PyObject* slots[kMaxParams];
        Ref varkw;
        // The defaults are read once the keywords are matched, and the tuple that the
        // slots borrow from is kept until the call returns: the program can replace
        // `__defaults__` meanwhile.
        Ref defaults;
        const zaradu::args::Params params{&f->qualname, f->param_names, 0, &f->defaults, f->spec->varkw};
        zaradu::args::bind(params, args, PyVectorcall_NARGS(nargsf), kwnames, slots, &varkw, &defaults);
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
    Py_VISIT(f->builtins);
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
    Py_CLEAR(f->builtins);
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
    return zaradu::boundary([&] {
        Ref inspect = check(PyImport_ImportModule("inspect"));
        Ref parameter = check(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = check(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref pos_or_kw = check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        Ref var_kw = check(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD"));
        Ref params = check(PyList_New(0));
        // Read once, as inspect reads a Python function's: the parameters are made by
        // Python code, which may replace them meanwhile.
        Ref defaults = Ref::borrow(f->defaults);
        Ref annotations = Ref::borrow(f->annotations);
        Py_ssize_t ndefaults = PyTuple_Check(defaults.get()) ? PyTuple_GET_SIZE(defaults.get()) : 0;
        Py_ssize_t first_default = f->nparams - ndefaults;
        auto add = [&](PyObject* name, PyObject* kind, PyObject* dflt) {
            Ref kwargs = check(PyDict_New());
            if (dflt) check(PyDict_SetItemString(kwargs.get(), "default", dflt));
            if (Ref ann = zaradu::dict_get(annotations.get(), name))
                check(PyDict_SetItemString(kwargs.get(), "annotation", ann.get()));
            Ref args = check(PyTuple_Pack(2, name, kind));
            Ref p = check(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
            check(PyList_Append(params.get(), p.get()));
        };
        for (Py_ssize_t i = 0; i < f->nparams; ++i)
            add(PyTuple_GET_ITEM(f->param_names, i), pos_or_kw.get(),
                i >= first_default ? PyTuple_GET_ITEM(defaults.get(), i - first_default) : nullptr);
        if (f->spec->varkw) {
            Ref name = check(PyUnicode_FromString("options"));
            add(name.get(), var_kw.get(), nullptr);
        }
        return check(PyObject_CallOneArg(signature.get(), params.get()));
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

PyTypeObject* function_type() {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&function_spec)).release());
}

// Create the function object of `spec` in the module namespace `globals`.
Ref make_function(const FunctionSpec& spec, PyObject* globals, const Ref& defaults, const Ref& annotations,
                  const char* doc) {
    Py_ssize_t n = spec.count();
    if (n > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        raise();
    }
    Ref names = intern_tuple({spec.params, static_cast<size_t>(n)});
    Ref name = intern(spec.name);
    Ref module = check(PyUnicode_FromString(kModuleName));
    Ref docstring = doc ? check(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);
    Ref builtins = zaradu::loader::builtins_of(globals);

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
    f->builtins = builtins.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

// ---------------------------------------------------------------------------
// Name lookup and calls

// A module-level name as the function's body sees it.
Ref global(Function* f, PyObject* name) { return zaradu::loader::global(f->globals, f->builtins, name); }

template <class... A>
Ref call(const Ref& fn, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return check(PyObject_Vectorcall(fn.get(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          nullptr));
}

// Call with positional arguments followed by the keyword arguments named in
// `kwnames` (the last values of `args`).
template <class... A>
Ref call_kw(const Ref& fn, Py_ssize_t nkw, PyObject* kwnames, A... args) {
    PyObject* argv[] = {nullptr, args...};
    size_t npos = sizeof...(A) - static_cast<size_t>(nkw);
    return check(
        PyObject_Vectorcall(fn.get(), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

bool has_key(PyObject* dict, PyObject* key) {
    int r = PyDict_Contains(dict, key);
    check(r);
    return r != 0;
}

// ---------------------------------------------------------------------------
// assembly

const char* const assembly_params[] = {"ravex", "cfg", "lib", "ctx", "align", nullptr};

Ref assembly_impl(Function* self, PyObject* const* p, PyObject*) {
    PyObject* ravex = p[0];
    Ref cfg = Ref::borrow(p[1]);
    PyObject* lib = p[2];
    Ref ctx = Ref::borrow(p[3]);
    PyObject* align = p[4];

    if (cfg.get() == Py_None) cfg = call(global(self, K.getConfig));
    if (ctx.get() == Py_None) ctx = call_kw(global(self, K.create_context), 1, K.kw_cfg, cfg.get());
    if (equals(align, K.left)) return call(global(self, K.assembly_align_left), ravex, ctx.get(), lib);
    if (equals(align, K.right)) return call(global(self, K.assembly_align_right), ravex, ctx.get(), lib);
    Ref text = check(PyObject_Format(align, K.empty_str));
    PyErr_Format(PyExc_ValueError, "align=%U is not supported.", text.get());
    raise();
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

Ref compile_impl(Function* self, PyObject* const* p, PyObject* options) {
    PyObject* prog = p[0];
    PyObject* cfg = p[1];
    Ref lib = Ref::borrow(p[2]);
    Ref context = Ref::borrow(p[3]);

    if (context.get() != Py_None && !PyDict_CheckExact(context.get())) context_type_error(context.get());

    Ref library_class = global(self, K.Library);
    int is_library = PyObject_IsInstance(lib.get(), library_class.get());
    check(is_library);
    if (!is_library) {
        // libraries(*lib)
        Ref libraries = global(self, K.libraries);
        Ref libs = zaradu::star_args(libraries.get(), lib.get());
        lib = check(PyObject_Call(libraries.get(), libs.get(), nullptr));
    }

    Ref code = call(global(self, K.extend_macro), prog, lib.get());
    if (has_key(options, K.no_virtual_z)) return check(PySequence_List(code.get()));

    code = call(global(self, K.reduceVirtualZ), code.get(), lib.get());
    if (has_key(options, K.no_link)) return check(PySequence_List(code.get()));

    PyObject* align = (has_key(options, K.align_right) || has_key(options, K.ar)) ? K.right : K.left;
    code = call_kw(global(self, K.assembly), 1, K.kw_align, code.get(), cfg, lib.get(), align);

    for (PyObject* key : {K.arch, K.shots, K.signal})
        if (Ref value = zaradu::dict_get(options, key)) check(PyObject_SetAttr(code.get(), key, value.get()));

    Ref arch = check(PyObject_GetAttr(code.get(), K.arch));
    if (equals(arch.get(), K.general)) return code;
    if (has_key(options, K.no_assembly)) return code;

    if (context.get() == Py_None) context = check(PyDict_New());
    arch = check(PyObject_GetAttr(code.get(), K.arch));  // read afresh
    Ref target = call(global(self, K.get_arch), arch.get());
    return check(PyObject_CallMethodObjArgs(target.get(), K.assembly_code, code.get(), context.get(), nullptr));
}

const FunctionSpec compile_spec = {"compile", compile_params, true, compile_impl};

// ---------------------------------------------------------------------------
// Loading

Ref string_dict(std::initializer_list<std::pair<const char*, const char*>> items) {
    Ref d = check(PyDict_New());
    for (auto [key, value] : items) {
        Ref v = check(PyUnicode_FromString(value));
        check(PyDict_SetItemString(d.get(), key, v.get()));
    }
    return d;
}

void run_top_level(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    using zaradu::loader::import_into;
    import_into(globals, "typing", 0, {"Literal", "Optional", "Sequence", "Union"});
    import_into(globals, "arch", 1, {"get_arch"});
    import_into(globals, "assembly", 1, {"assembly_align_left", "assembly_align_right", "call_opaque"});
    import_into(globals, "base", 1, {"Context", "create_context", "getConfig"});
    import_into(globals, "config", 1, {"Config"});
    import_into(globals, "library", 1, {"Library", "libraries"});
    import_into(globals, "libs", 1, {"std"});
    import_into(globals, "macro", 1, {"extend_macro", "reduceVirtualZ"});
    import_into(globals, "utils", 1, {"mapping_qubits"});

    {
        Ref std_lib = zaradu::loader::global(globals, zaradu::loader::builtins_of(globals).get(), K.std);
        Ref defaults = check(PyTuple_Pack(4, Py_None, std_lib.get(), Py_None, K.left));
        Ref annotations = string_dict({{"cfg", "Optional[Config]"},
                                       {"lib", "Library"},
                                       {"ctx", "Optional[Context]"},
                                       {"align", "Literal['left', 'right']"}});
        Ref fn = make_function(assembly_spec, globals, defaults, annotations, nullptr);
        check(PyDict_SetItemString(globals, "assembly", fn.get()));
    }
    {
        Ref std_lib = zaradu::loader::global(globals, zaradu::loader::builtins_of(globals).get(), K.std);
        Ref defaults = check(PyTuple_Pack(3, Py_None, std_lib.get(), Py_None));
        Ref annotations = string_dict({{"cfg", "Optional[Config]"},
                                       {"lib", "Union[Library, Sequence[Library]]"},
                                       {"context", "Optional[dict]"}});
        Ref fn = make_function(compile_spec, globals, defaults, annotations, compile_doc);
        check(PyDict_SetItemString(globals, "compile", fn.get()));
    }
    Ref test = check(PyDict_New());
    check(PyDict_SetItemString(globals, "__test__", test.get()));
}

constexpr zaradu::loader::Module kModule{kModuleName, "compiler", &g_record, make_constants, run_top_level};

}  // namespace

PyMODINIT_FUNC PyInit_compiler(void) { return PyModuleDef_Init(zaradu::loader::definition<kModule>()); }
