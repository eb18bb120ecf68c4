// Macro expansion: _lookup, lookup, define_macro, call_macro and extend_macro.
#include "generator.hpp"
#include "macro_module.hpp"

#include <optional>
#include <vector>

namespace zaradu::macro {
namespace {

Signature sig__lookup{"_lookup", {"name", "env"}, 2};
Signature sig_lookup{"lookup", {"st", "env"}, 2};
Signature sig_define_macro{"define_macro", {"name", "value", "env"}, 3};
Signature sig_call_macro{"call_macro", {"gate", "st"}, 2};
Signature sig_extend_macro{"extend_macro", {"ravex", "lib", "env"}, 2};

}  // namespace

// ---- _lookup, lookup, define_macro ----------------------------------------------------

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

}  // namespace zaradu::macro
