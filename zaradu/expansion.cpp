// Macro expansion: _lookup, lookup, define_macro, call_macro and extend_macro, each doing
// what the function of that name in tests/support/macro_reference.py does.
#include "generator.hpp"
#include "macro_module.hpp"

#include <memory>
#include <optional>
#include <utility>
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
        if (PyErr_Occurred())
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

// _lookup(name, env) by `fn`, the function found for the module's name (held, or the
// namespace's while no code runs). `env_keys`, when given, tells whether env is a dict of
// str keys only, in which an int is missing.
[[gnu::always_inline]] inline Ref lookup_with(PyObject* fn, PyObject* name, PyObject* env, StrKeys* env_keys) {
    if (fn == F._lookup.get()) {
        if (env_keys && PyLong_CheckExact(name) && PyDict_CheckExact(env) && env_keys->all(env))
            return Ref::borrow(name);
        return lookup_name(name, env);
    }
    return call(fn, {name, env});
}

// _lookup(name, env) through the module's name, looked up at the call.
[[gnu::always_inline]] inline Ref call__lookup(Globals& g, PyObject* name, PyObject* env, StrKeys* env_keys) {
    Globals::Value fn = g.peek(Name::_lookup);
    if (fn.get() == F._lookup.get())
        return lookup_with(fn.get(), name, env, env_keys);
    Ref other = fn.ref();
    return lookup_with(other.get(), name, env, env_keys);
}

// Owned references held for a tuple that is made once the last is had, so that no code that
// runs meanwhile can see the tuple half filled.
class HeldItems {
public:
    HeldItems() = default;
    HeldItems(const HeldItems&) = delete;
    HeldItems& operator=(const HeldItems&) = delete;
    ~HeldItems() {
        for (Py_ssize_t i = n_; i-- > 0;)
            Py_DECREF(at(i));
    }
    void push(Ref r) {
        if (n_ < kSmall) {
            small_[n_++] = r.release();
            return;
        }
        if (large_.empty())
            large_.assign(small_, small_ + kSmall);
        large_.push_back(r.release());
        ++n_;
    }
    // The tuple of the items, which it takes over.
    Ref into_tuple() {
        Ref t = check(PyTuple_New(n_));
        for (Py_ssize_t i = 0; i < n_; ++i)
            PyTuple_SET_ITEM(t.get(), i, at(i));
        n_ = 0;
        return t;
    }

private:
    static constexpr Py_ssize_t kSmall = 8;
    PyObject* at(Py_ssize_t i) const { return large_.empty() ? small_[i] : large_[static_cast<size_t>(i)]; }
    PyObject* small_[kSmall];
    std::vector<PyObject*> large_;
    Py_ssize_t n_ = 0;
};

// tuple(_lookup(q, env) for q in target)
Ref resolve_items(Globals& g, PyObject* target, PyObject* env, StrKeys* env_keys) {
    HeldItems held;
    // The calls run in the generator expression: a StopIteration that one raises leaves it
    // as the RuntimeError of a generator.
    auto resolve = [&](PyObject* q) {
        try {
            held.push(call__lookup(g, q, env, env_keys));
        } catch (PyError& e) {
            gen::raise_from_body(std::move(e));
        }
    };
    if (PyTuple_CheckExact(target)) {
        // As its iterator reads it; its items are its own for as long as it is held.
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(target); ++i)
            resolve(PyTuple_GET_ITEM(target, i));
    } else {
        Ref it = iter(target);
        while (Ref q = next(it.get()))
            resolve(q.get());
    }
    return untrack_if_atomic(held.into_tuple());
}

// lookup(st, env). The statement is read as the function reads it: st[1] for each test and
// again for its use, st[0] before that use. Where st is a tuple, each read gives the same
// object without running code, and the first serves them all.
Ref lookup_statement(Globals& g, PyObject* st, PyObject* env, StrKeys* env_keys) {
    const bool direct = PyTuple_CheckExact(st);
    Ref target = item(st, 1);
    if (is_instance(target.get(), reinterpret_cast<PyObject*>(&PyTuple_Type))) {
        if (!direct)
            target.reset();
        Ref gate = item(st, 0);
        if (!direct)
            target = item(st, 1);
        Ref resolved = resolve_items(g, target.get(), env, env_keys);
        return untrack_if_atomic(tuple({gate.get(), resolved.get()}));
    }
    if (!direct) {
        target.reset();
        target = item(st, 1);
    }
    if (is_instance(target.get(), S.str_int)) {
        if (!direct)
            target.reset();
        Ref gate = item(st, 0);
        Ref q;
        if (direct) {
            q = call__lookup(g, target.get(), env, env_keys);
        } else {
            // _lookup is looked up before st[1] is read, and held while it is read.
            Ref fn = g.peek(Name::_lookup).ref();
            target = item(st, 1);
            q = lookup_with(fn.get(), target.get(), env, env_keys);
        }
        return untrack_if_atomic(tuple({gate.get(), q.get()}));
    }
    return Ref::borrow(st);
}

Ref impl_lookup(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_lookup, args, nargsf, kwnames);
    Globals g(module);
    return lookup_statement(g, a[0], a[1], nullptr);
}

// define_macro(name, value, env): env[name] = value.
void define_name(PyObject* name, PyObject* value, PyObject* env) { check(PyObject_SetItem(env, name, value)); }

Ref impl_define_macro(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<3>(sig_define_macro, args, nargsf, kwnames);
    define_name(a[0], a[1], a[2]);
    return none();
}

// ---- call_macro -------------------------------------------------------------------------

// The statement's target and its gate parameters before they are made a tuple: st[1], then
// () where st[0] is a str, else st[0][1:] (st[0] read again).
Ref macro_args(PyObject* st, Ref* qubits) {
    *qubits = item(st, 1);
    if (is_instance(item(st, 0).get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)))
        return Ref::borrow(S.empty_tuple);
    Ref gate_item = item(st, 0);
    return check(PyObject_GetItem(gate_item.get(), S.slice_from1));
}

// gate(qubits, *tuple(args))
Ref call_gate(PyObject* gate, PyObject* qubits, PyObject* args) {
    Ref params = check(PySequence_Tuple(args));
    Py_ssize_t n = PyTuple_GET_SIZE(params.get());
    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** argv = small;
    if (n + 1 > 8) {
        large.resize(static_cast<size_t>(n) + 1);
        argv = large.data();
    }
    argv[0] = qubits;
    for (Py_ssize_t i = 0; i < n; ++i)
        argv[i + 1] = PyTuple_GET_ITEM(params.get(), i);
    return check(vectorcall(gate, argv, static_cast<size_t>(n) + 1));
}

// The macro's call fails, or drawing its output does: the expansion ends with
// RavexError(f"extend macro {st} error."), raised in the handler of that error: it becomes
// the context of whatever is raised here. What is raised is what `raise` makes of the
// call's result: an exception, or an exception class called without arguments.
[[noreturn]] void raise_macro_error(PyObject* module, PyObject* st, const PyError& failure) {
    gen::HandlingScope handling(failure.value());
    Ref cls = global(module, Name::RavexError);
    Ref text = check(PyObject_Format(st, S.empty_spec));
    Ref msg = check(PyUnicode_Concat(S.extend_prefix, text.get()));
    msg = check(PyUnicode_Concat(msg.get(), S.extend_suffix));
    Ref exc = call(cls.get(), {msg.get()});
    if (PyExceptionClass_Check(exc.get())) {
        Ref made = check(PyObject_CallNoArgs(exc.get()));
        if (!PyExceptionInstance_Check(made.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                         exc.get(), Py_TYPE(made.get())->tp_name);
            raise();
        }
        exc = std::move(made);
    }
    if (!PyExceptionInstance_Check(exc.get()))
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    raise();
}

// call_macro(gate, st), the generator (`call_macro` of tests/support/macro_reference.py).

// What a call_macro generator keeps: its arguments and locals.
struct CallMacroFrame final : gen::Frame {
    Ref module, gate, st;
    Ref qubits, args;  // st[1] and the gate parameters, not yet made a tuple
    // Where the generator carries on an expansion begun without it (see Expansion): what
    // the macro returned, and the position reached in it (-1: nothing was drawn).
    Ref produced;
    Py_ssize_t position = -1;

    int traverse_own(visitproc visit, void* arg) override {
        return gen::visit_refs(visit, arg, module, gate, st, qubits, args, produced);
    }
    void clear_own() noexcept override { gen::clear_refs(module, gate, st, qubits, args, produced); }
};

gen::Body call_macro_body(CallMacroFrame& f) {
    if (!f.produced)
        f.args = macro_args(f.st.get(), &f.qubits);
    std::optional<PyError> failure;
    try {
        gen::Delegate output;
        if (Ref produced = std::move(f.produced)) {
            output = f.position < 0 ? gen::delegate_to(produced.get()) : gen::delegate_at(produced.get(), f.position);
        } else {
            produced = call_gate(f.gate.get(), f.qubits.get(), f.args.get());
            output = gen::delegate_to(produced.get());
        }
        co_yield std::move(output);
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }
    if (failure)
        raise_macro_error(f.module.get(), f.st.get(), *failure);
}

// A call_macro generator; given `produced`, it carries on from the macro's call that
// returned it, at `position`.
Ref make_call_macro(PyObject* module, PyObject* gate, PyObject* st, Ref produced = {}, Py_ssize_t position = -1) {
    auto f = std::make_unique<CallMacroFrame>();
    f->module = Ref::borrow(module);
    f->gate = Ref::borrow(gate);
    f->st = Ref::borrow(st);
    f->produced = std::move(produced);
    f->position = position;
    return gen::make(name_str(Name::call_macro), name_str(Name::call_macro), std::move(f), call_macro_body);
}

Ref impl_call_macro(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_call_macro, args, nargsf, kwnames);
    return make_call_macro(module, a[0], a[1]);
}

// ---- extend_macro -----------------------------------------------------------------------

// One macro expansion in progress, `for s in call_macro(gate, st)`: the iterator of what
// call_macro returned, or, with the module's own call_macro, the expansion begun in place.
// In place, the first draw makes the macro's call as the call_macro generator makes it and
// reads a list or tuple that the macro returns by position, as the generator's delegation
// reads it. Everything else is left to a call_macro generator that carries on from there:
// an output of another kind at once, and an expansion dropped before its end when it is
// dropped, so that the generator closes it.
class Expansion {
public:
    explicit Expansion(Ref it) : it_(std::move(it)) {}
    Expansion(PyObject* module, PyObject* gate, PyObject* st)
        : gate_(Ref::borrow(gate)), st_(Ref::borrow(st)), module_(module) {}
    Expansion(Expansion&& o) noexcept
        : it_(std::move(o.it_)), gate_(std::move(o.gate_)), st_(std::move(o.st_)), produced_(std::move(o.produced_)),
          module_(o.module_), position_(std::exchange(o.position_, -2)) {}
    Expansion& operator=(Expansion&&) = delete;
    Expansion(const Expansion&) = delete;
    ~Expansion() {
        if (!it_ && position_ >= 0)
            hand_over_and_drop();
    }

    int traverse(visitproc visit, void* arg) const { return gen::visit_refs(visit, arg, it_, gate_, st_, produced_); }

    // The next statement of the expansion, or an empty Ref at its end.
    Ref next() {
        if (it_)
            return gen::next(it_.get());
        if (position_ == -2)
            return {};  // ended
        {
            RecursionGuard depth(" while running a generator");  // as the generator's run
            if (position_ >= 0) {
                if (position_ < PySequence_Fast_GET_SIZE(produced_.get()))
                    return Ref::borrow(PySequence_Fast_GET_ITEM(produced_.get(), position_++));
                position_ = -2;
                produced_.reset();
                return {};
            }
            Ref qubits;
            Ref args;
            try {
                args = macro_args(st_.get(), &qubits);
            } catch (PyError& e) {
                position_ = -2;
                gen::raise_from_body(std::move(e));
            }
            try {
                produced_ = call_gate(gate_.get(), qubits.get(), args.get());
            } catch (PyError& e) {
                position_ = -2;
                std::optional<PyError> err;
                try {
                    raise_macro_error(module_, st_.get(), e);
                } catch (PyError& r) {
                    err.emplace(std::move(r));
                }
                gen::raise_from_body(std::move(*err));
            }
        }
        if (PyList_CheckExact(produced_.get()) || PyTuple_CheckExact(produced_.get())) {
            position_ = 0;
            return next();
        }
        it_ = make_call_macro(module_, gate_.get(), st_.get(), std::move(produced_));
        return gen::next(it_.get());
    }

private:
    // Dropped while a list or tuple is read in place: a call_macro generator suspended at
    // that position takes over and is dropped, closing as it closes.
    void hand_over_and_drop() noexcept {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        try {
            Ref g = make_call_macro(module_, gate_.get(), st_.get(), std::move(produced_), position_);
            gen::start_in_delegation(g.get());
        } catch (PyError& e) {
            e.restore();
            PyErr_WriteUnraisable(Py_None);
        } catch (...) {
            PyErr_Clear();
        }
        PyErr_Restore(t, v, tb);
    }

    Ref it_;        // the iterator drawn from, once there is one
    Ref gate_, st_;  // in place: call_macro's arguments,
    Ref produced_;  // what the macro returned,
    PyObject* module_ = nullptr;
    Py_ssize_t position_ = -1;  // and the next position in it; -1 before the call, -2 at the end
};

// extend_macro(ravex, lib, env), the generator (`extend_macro` of
// tests/support/macro_reference.py). A statement s that a macro produces is expanded by
// `extend_macro([s], lib, env)`; while `extend_macro` is this module's own function, that
// nested expansion runs in the same loop as the program's own statements instead of in a
// generator of its own, which gives the same statements in the same order. The loop keeps
// the iterators of the macro expansions in progress (`for s in call_macro(gate, st)`),
// innermost last.

// What an extend_macro generator keeps: its arguments, the environment, the iterator of
// the program, the current statement and the macro expansions in progress.
struct ExtendMacroFrame final : gen::Frame {
    explicit ExtendMacroFrame(PyObject* m) : module(Ref::borrow(m)), g(m) {}

    Ref module, ravex, lib, env_arg;
    Globals g;  // the module namespace
    Ref env, it, st;
    std::vector<Expansion> levels;  // the macro expansions in progress, innermost last
    StrKeys env_keys;  // what is known of the keys of env

    int traverse_own(visitproc visit, void* arg) override {
        if (int rc = gen::visit_refs(visit, arg, module, ravex, lib, env_arg, env, it, st))
            return rc;
        for (const Expansion& l : levels)
            if (int rc = l.traverse(visit, arg))
                return rc;
        return 0;
    }
    void clear_own() noexcept override {
        std::vector<Expansion> dropped = std::move(levels);
        levels.clear();
        gen::clear_refs(module, ravex, lib, env_arg, env, it, st);
    }
};

// Unwinding drops the innermost expansion first, as the nested generators' frames would
// drop theirs.
struct DropLevels {
    std::vector<Expansion>& levels;
    ~DropLevels() {
        while (!levels.empty())
            levels.pop_back();
    }
};

// A statement s drawn from a macro: extend_macro([s], lib, env) through the module's name,
// when that is not this module's own function (an empty delegate when it is).
gen::Delegate foreign_expansion(ExtendMacroFrame& f) {
    Globals::Value own = f.g.peek(Name::extend_macro);
    if (own.get() == F.extend_macro.get())
        return {};
    Ref em = own.ref();
    Ref single = list({f.st.get()});
    Ref sub = call(em.get(), {single.get(), f.lib.get(), f.env.get()});
    return gen::delegate_to(sub.get());
}

// st = lookup(st, env) through the module's name.
void resolve(ExtendMacroFrame& f) {
    Globals::Value fn = f.g.peek(Name::lookup);
    if (fn.get() == F.lookup.get()) {
        f.st = lookup_statement(f.g, f.st.get(), f.env.get(), &f.env_keys);
        return;
    }
    Ref other = fn.ref();
    f.st = call(other.get(), {f.st.get(), f.env.get()});
}

// extend_control_gate(st, lib) through the module's name, to be delegated to.
gen::Delegate control_expansion(ExtendMacroFrame& f) {
    Ref ecg = f.g.get(Name::extend_control_gate);
    Ref expanded = ecg.get() == F.extend_control_gate.get() ? control_gate(f.g, f.st.get())
                                                            : call(ecg.get(), {f.st.get(), f.lib.get()});
    return gen::delegate_to(expanded.get());
}

// lib.getGate(head(st)): the method is looked up before head is called.
Ref get_gate(ExtendMacroFrame& f) {
    Method meth = load_method(f.lib.get(), S.getGate);
    Ref name = call_head(f.g, f.st.get());
    return call_method(meth, f.lib.get(), name.get());
}

// Starts the expansion of st by the macro gate: `call_macro(gate, st)` through the module's
// name (the module's own begun in place), a new innermost level.
void push_level(ExtendMacroFrame& f, PyObject* gate) {
    // Each level counts like the nested extend_macro generator it stands for.
    if (static_cast<int>(f.levels.size()) >= Py_GetRecursionLimit())
        raise(PyExc_RecursionError, "maximum recursion depth exceeded while expanding a macro");
    Ref cm = f.g.get(Name::call_macro);
    if (cm.get() == F.call_macro.get()) {
        f.levels.emplace_back(f.module.get(), gate, f.st.get());
    } else {
        Ref produced = call(cm.get(), {gate, f.st.get()});
        f.levels.emplace_back(iter(produced.get()));
    }
}

gen::Body extend_macro_body(ExtendMacroFrame& f) {
    f.env = f.env_arg.get() == Py_None ? check(PyDict_New()) : f.env_arg;
    f.it = iter(f.ravex.get());
    DropLevels guard{f.levels};
    for (;;) {
        if (f.levels.empty()) {
            f.st = gen::next(f.it.get());
            if (!f.st)
                break;
        } else {
            f.st = f.levels.back().next();
            if (!f.st) {
                f.levels.pop_back();
                continue;
            }
            if (gen::Delegate sub = foreign_expansion(f); sub.iter) {
                co_yield std::move(sub);
                continue;
            }
        }
        if (equals(call_head(f.g, f.st.get()).get(), S.define)) {
            Ref fn = f.g.get(Name::define_macro);
            Ref name = item(f.st.get(), 1);
            Ref value = item(f.st.get(), 2);
            if (fn.get() == F.define_macro.get())
                define_name(name.get(), value.get(), f.env.get());
            else
                call(fn.get(), {name.get(), value.get(), f.env.get()});
            continue;
        }
        if (equals(call_head(f.g, f.st.get()).get(), S.C)) {
            resolve(f);
            co_yield control_expansion(f);
            continue;
        }
        resolve(f);
        {
            Ref gate = get_gate(f);
            if (gate.get() != Py_None) {
                push_level(f, gate.get());
                continue;
            }
        }
        co_yield Ref(f.st);
    }
}

Ref make_extend_macro(PyObject* module, PyObject* ravex, PyObject* lib, PyObject* env) {
    auto f = std::make_unique<ExtendMacroFrame>(module);
    f->ravex = Ref::borrow(ravex);
    f->lib = Ref::borrow(lib);
    f->env_arg = Ref::borrow(env);
    return gen::make(name_str(Name::extend_macro), name_str(Name::extend_macro), std::move(f), extend_macro_body);
}

Ref impl_extend_macro(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<3>(sig_extend_macro, args, nargsf, kwnames);
    return make_extend_macro(module, a[0], a[1], a[2]);
}

}  // namespace zaradu::macro
