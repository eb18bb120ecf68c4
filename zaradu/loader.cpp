// The loading layer of zaradu.macro and zaradu.compiler (see loader.hpp).
#include "loader.hpp"

#include <frameobject.h>

namespace zaradu::loader {
namespace {

// The namespace that relative imports are resolved in: the package zaradu, whatever the
// spec of the module being loaded says of its parent. Made at the first relative import.
ProcessRef g_package_globals;

PyObject* package_globals() {
    if (!g_package_globals) {
        Ref d = check(PyDict_New());
        Ref pkg = check(PyUnicode_FromString("zaradu"));
        check(PyDict_SetItemString(d.get(), "__package__", pkg.get()));
        g_package_globals.set(std::move(d));
    }
    return g_package_globals.get();
}

// The ImportError of `from <mod> import <name>` for a name that the module lacks.
[[noreturn]] void raise_cannot_import(PyObject* mod, PyObject* name, Ref pkgname) {
    PyErr_Clear();
    if (!pkgname || !PyUnicode_Check(pkgname.get()))
        pkgname = check(PyUnicode_FromString("<unknown module name>"));
    PyObject* file = nullptr;
    if (get_optional_attr(mod, "__file__", &file) < 0)
        PyErr_Clear();
    Ref path = Ref::steal(file);
    Ref msg;
    if (path && PyUnicode_Check(path.get()))
        msg = check(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, pkgname.get(), path.get()));
    else
        msg = check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, pkgname.get()));
    PyErr_SetImportError(msg.get(), pkgname.get(), path ? path.get() : Py_None);
    raise();
}

// `mod.name` for `from mod import name`: the attribute, else the submodule `<mod>.<name>`
// that the registry holds but the package does not bind (yet).
Ref import_name(PyObject* mod, PyObject* name) {
    if (PyObject* v = PyObject_GetAttr(mod, name))
        return Ref::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        raise();
    PyErr_Clear();
    Ref pkgname = Ref::steal(PyObject_GetAttrString(mod, "__name__"));
    if (!pkgname || !PyUnicode_Check(pkgname.get()))
        raise_cannot_import(mod, name, std::move(pkgname));
    Ref full = check(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
    if (Ref sub = dict_get(PyImport_GetModuleDict(), full.get()))
        return sub;
    raise_cannot_import(mod, name, std::move(pkgname));
}

// Compares the running interpreter's major and minor version with those compiled for.
void warn_on_version_mismatch(const char* module_name) {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION)
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                               PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major, minor));
}

// Gives the error being raised a traceback entry named `funcname`, in the module's file.
void add_traceback(PyObject* module, const char* funcname) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Ref file = Ref::steal(PyModule_GetFilenameObject(module));
    const char* filename = file ? PyUnicode_AsUTF8(file.get()) : nullptr;
    if (!filename) {
        PyErr_Clear();
        filename = PyModule_GetName(module);
    }
    PyErr_Clear();
    PyCodeObject* code = filename ? PyCode_NewEmpty(filename, funcname, 0) : nullptr;
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, PyModule_GetDict(module), nullptr) : nullptr;
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
    if (frame)
        PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// The declaration that the module needs the GIL, for the module being executed. The call
// exists only in free-threaded builds (3.13 on); the others always hold the GIL.
void declare_gil_used([[maybe_unused]] PyObject* module) {
#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_GIL_DISABLED)
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
#endif
}

void execute(const Module& m, PyObject* module) {
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!builtins)
        raise();
    check(PyObject_SetAttrString(module, "__builtins__", builtins));
    warn_on_version_mismatch(m.name);
    m.make_constants();
    PyObject* modules = PyImport_GetModuleDict();
    Ref name = check(PyUnicode_FromString(m.name));
    if (!dict_get(modules, name.get()))
        check(PyDict_SetItem(modules, name.get(), module));
    m.run_top_level(module);
}

}  // namespace

PyObject* create(const Module& m, PyObject* spec) noexcept {
    return boundary([&]() -> Ref {
        Record& r = *m.record;
        const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1 && PyErr_Occurred())
            raise();
        if (r.interpreter == -1)
            r.interpreter = id;
        else if (r.interpreter != id)
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        if (r.module)
            return Ref::borrow(r.module.get());
        Ref name = check(PyObject_GetAttrString(spec, "name"));
        Ref module = check(PyModule_NewObject(name.get()));
        struct Copy {
            const char* from;
            const char* to;
            bool none_too;
        };
        static constexpr Copy copies[] = {
            {"loader", "__loader__", true},
            {"origin", "__file__", true},
            {"parent", "__package__", true},
            {"submodule_search_locations", "__path__", false},
        };
        for (const Copy& c : copies) {
            PyObject* v = nullptr;
            check(get_optional_attr(spec, c.from, &v));
            Ref value = Ref::steal(v);
            if (value && (c.none_too || value.get() != Py_None))
                check(PyObject_SetAttrString(module.get(), c.to, value.get()));
        }
        return module;
    });
}

int exec(const Module& m, PyObject* module) noexcept {
    Record& r = *m.record;
    if (r.module) {
        if (r.module.get() == module)
            return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", m.short_name);
        return -1;
    }
    r.module.set(Ref::borrow(module));
    declare_gil_used(module);
    if (PyObject* ok = boundary([&] {
            execute(m, module);
            return none();
        })) {
        Py_DECREF(ok);
        return 0;
    }
    if (PyErr_Occurred()) {
        Ref funcname = Ref::steal(PyUnicode_FromFormat("init %s", m.name));
        if (funcname)
            add_traceback(module, PyUnicode_AsUTF8(funcname.get()));
        else
            PyErr_Clear();
    }
    r.module.reset();
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "init %s", m.name);
    return -1;
}

Ref builtins_of(PyObject* globals) {
    Ref key = intern("__builtins__");
    Ref b = dict_get(globals, key.get());
    if (!b) {
        PyObject* current = PyEval_GetBuiltins();  // borrowed
        if (!current)
            raise(PyExc_SystemError, "no builtins");
        return Ref::borrow(current);
    }
    if (PyModule_Check(b.get()))
        return Ref::borrow(PyModule_GetDict(b.get()));
    return b;
}

Ref global(PyObject* globals, PyObject* builtins, PyObject* name) {
    if (Ref v = dict_get(globals, name))
        return v;
    if (PyDict_CheckExact(builtins)) {
        if (Ref v = dict_get(builtins, name))
            return v;
    } else if (PyObject* v = PyObject_GetItem(builtins, name)) {
        return Ref::steal(v);
    } else if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
        raise();
    } else {
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

Ref import_from(const char* modname, std::initializer_list<const char*> names, int level, std::vector<Ref>* out,
                ImportConstants* constants) {
    Ref name, fromlist;
    if (constants && constants->name) {
        name = Ref::borrow(constants->name.get());
        fromlist = Ref::borrow(constants->fromlist.get());
    } else {
        fromlist = intern_tuple({names.begin(), names.size()});
        name = check(PyUnicode_FromString(modname));
        if (constants) {
            constants->name.set(name);
            constants->fromlist.set(fromlist);
        }
    }
    PyObject* const globals = level > 0 ? package_globals() : nullptr;
    Ref mod = check(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist.get(), level));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(fromlist.get()); ++k)
        out->push_back(import_name(mod.get(), PyTuple_GET_ITEM(fromlist.get(), k)));
    return mod;
}

Ref import_into(PyObject* globals, const char* modname, int level, std::initializer_list<const char*> names) {
    std::vector<Ref> values;
    Ref mod = import_from(modname, names, level, &values);
    size_t i = 0;
    for (const char* n : names)
        check(PyDict_SetItemString(globals, n, values[i++].get()));
    return mod;
}

}  // namespace zaradu::loader
