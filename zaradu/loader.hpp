// The loading layer of the package's extension modules, zaradu.macro and zaradu.compiler:
// the module definition with its create and execute steps, the import statements of a
// module's top level, the lookup of module-level names and the interned constants. Both
// modules load through it, so that both give the same errors in the same order.
//
// Each module keeps its module object and its constants in process-wide storage: it loads
// into one interpreter per process and is never initialised twice. A failed load records
// no module object, so that a later import starts again from the create step.
#pragma once

#include "capi.hpp"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zaradu::loader {

// What one module keeps for the whole process: the interpreter of its first create and its
// module object once the execute step has begun.
struct Record {
    int64_t interpreter = -1;
    ProcessRef module;
};

// A module as the loader drives it.
struct Module {
    const char* name;        // the qualified name, "zaradu.macro"
    const char* short_name;  // the definition's name, "macro"
    Record* record;
    void (*make_constants)();              // the module's strings and numbers, made once
    void (*run_top_level)(PyObject* module);  // the top-level statements
};

// The create step: the module object of this process, made from the ModuleSpec the first time.
PyObject* create(const Module& m, PyObject* spec) noexcept;

// The execute step: builtins, the version check, the constants, the registry entry and the
// top level; a failure gets a traceback entry "init <name>" and drops the module object.
int exec(const Module& m, PyObject* module) noexcept;

// The definition of module `M` (no documentation, no per-module state, no method table; the
// slots create, execute and, from 3.13 on, the declaration that the module needs the GIL),
// for `PyModuleDef_Init`.
template <const Module& M>
PyModuleDef* definition() {
    static constexpr auto create_step = [](PyObject* spec, PyModuleDef*) noexcept { return create(M, spec); };
    static constexpr auto exec_step = [](PyObject* module) noexcept { return exec(M, module); };
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(+create_step)},
        {Py_mod_exec, reinterpret_cast<void*>(+exec_step)},
#if PY_VERSION_HEX >= 0x030D0000
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
        {0, nullptr},
    };
    static PyModuleDef def = {
        PyModuleDef_HEAD_INIT, M.short_name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    return &def;
}

// The builtins of a function defined in the namespace `globals`, as the interpreter finds them
// when it makes the function: globals["__builtins__"] (a module stands for its dict), else
// those of the running code. A function keeps them whatever becomes of the name later.
Ref builtins_of(PyObject* globals);

// A module-level name as a Python function body sees it: the module namespace `globals`,
// then `builtins`, the function's own (builtins_of its namespace); errors of either lookup
// propagate, a name in neither raises NameError.
Ref global(PyObject* globals, PyObject* builtins, PyObject* name);

// The module name and the tuple of imported names of one `from <module> import <names>`
// statement: made at its first run and kept by a statement that runs again and again (as
// the constants of compiled code are).
struct ImportConstants {
    ProcessRef name;
    ProcessRef fromlist;
};

// `from <modname> import <names>` as the interpreter runs it, with `level` 0 (absolute) or 1
// (relative to the package zaradu): the module is imported, then each name is taken from
// it, or from the registry as the submodule of that name; a name found in neither raises
// ImportError with the module's name and path. The values are appended to `out`; returns
// the module imported from.
Ref import_from(const char* modname, std::initializer_list<const char*> names, int level, std::vector<Ref>* out,
                ImportConstants* constants = nullptr);

// The same, binding each imported name in the module namespace `globals`.
Ref import_into(PyObject* globals, const char* modname, int level, std::initializer_list<const char*> names);

}  // namespace zaradu::loader
