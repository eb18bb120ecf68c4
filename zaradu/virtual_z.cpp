// Virtual-Z reduction: the rule table's maintenance, the five rules, the dispatcher and
// reduceVirtualZ, with the native phase reduction that stands in for NumPy's mod.
#include "generator.hpp"
#include "macro_module.hpp"

#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace zaradu::macro {
namespace {

Signature sig_add_VZ_rule{"add_VZ_rule", {"gateName", "rule"}, 2};
Signature sig_remove_VZ_rule{"remove_VZ_rule", {"gateName", "rule"}, 2};
Signature sig_VZ_P{"_VZ_P", {"st", "phaseList"}, 2};
Signature sig_VZ_rfUnitary{"_VZ_rfUnitary", {"st", "phaseList"}, 2};
Signature sig_VZ_clear{"_VZ_clear", {"st", "phaseList"}, 2};
Signature sig_VZ_exchangable{"_VZ_exchangable", {"st", "phaseList"}, 2};
Signature sig_VZ_swap{"_VZ_swap", {"st", "phaseList"}, 2};
Signature sig_exchange{"_exchange_VZ_and_gate", {"st", "phaseList", "lib"}, 3};
Signature sig_reduce{"reduceVirtualZ", {"ravex", "lib"}, 2};

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
// `unseen`, when given, is a float64 of value x that this module made and no one else can
// have seen: where the reduction leaves x as it is, that object is the result, as no one
// could tell it from a new float64 of the same value.
bool native_mod(PyObject* modf, PyObject* pi, double x, Ref* out, PyObject* unseen = nullptr) {
    if (!g_float64_layout_ok || modf != g_numpy_mod.get() || !PyFloat_CheckExact(pi))
        return false;
    double b = 2.0 * PyFloat_AS_DOUBLE(pi);
    if (!std::isfinite(x) || !std::isfinite(b) || b == 0.0)
        return false;
    const double r = numpy_remainder(x, b);
    if (unseen && r == x && std::signbit(r) == std::signbit(x))
        *out = Ref::borrow(unseen);
    else
        *out = make_float64(r);
    return true;
}

// `a - b` for an angle less a pending phase. Where the phase is a NumPy float64, the angle a
// float or float64, and both and their difference are finite, NumPy's subtraction (which
// float64 takes over from float) gives the double difference as a float64 and sets no
// floating-point error flag: the same is made here.
Ref angle_less_phase(PyObject* a, PyObject* b) {
    if (g_float64_layout_ok && Py_IS_TYPE(b, g_float64) && (PyFloat_CheckExact(a) || Py_IS_TYPE(a, g_float64))) {
        const double x = PyFloat_AS_DOUBLE(a);
        const double y = PyFloat_AS_DOUBLE(b);
        const double d = x - y;
        if (std::isfinite(x) && std::isfinite(y) && std::isfinite(d))
            return make_float64(d);
    }
    return num(PyNumber_Subtract(a, b));
}

// mod(x, 2 * pi) through the module's names; `x_unseen`: x is a float64 of this module's
// making that no one else can have seen (see native_mod).
Ref reduce_phase(Globals& g, PyObject* x, bool x_unseen = false) {
    Ref modf = g.get(Name::mod);
    Ref pi = g.get(Name::pi);
    double d;
    Ref out;
    if (as_double(x, &d) && native_mod(modf.get(), pi.get(), d, &out, x_unseen ? x : nullptr))
        return out;
    Ref two_pi = check(PyNumber_Multiply(S.int2, pi.get()));
    return call(modf.get(), {x, two_pi.get()});
}
}  // namespace

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
// `made` tells whether the result is a float64 made here (rather than what a `mod` of the
// program returned).
template <class First>
Ref vz_p_phase(Globals& g, PyObject* st, First&& first_phase, bool* made = nullptr) {
    Ref modf = g.get(Name::mod);
    Ref pending = first_phase();
    Ref gate = item(st, 0);
    Ref angle = item(gate.get(), 1);
    Ref reduced;
    double x, y;
    bool done = false;
    if (as_double(pending.get(), &x) && as_double(angle.get(), &y)) {
        Ref pi = g.get(Name::pi);
        done = native_mod(modf.get(), pi.get(), x + y, &reduced);
    }
    if (made)
        *made = done;
    if (!done) {
        Ref sum = num(PyNumber_Add(pending.get(), angle.get()));
        Ref pi = g.get(Name::pi);
        Ref two_pi = num(PyNumber_Multiply(S.int2, pi.get()));
        reduced = call(modf.get(), {sum.get(), two_pi.get()});
    }
    return reduced;
}

Ref impl_VZ_P(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_VZ_P, args, nargsf, kwnames);
    Ref emitted = check(PyList_New(0));
    Globals g(module);
    Ref reduced = vz_p_phase(g, a[0], [&] { return item(a[1], 0); });
    return tuple({emitted.get(), list({reduced.get()}).get()});
}

// _VZ_rfUnitary's statement: the axis angle less phaseList[0], the other parameters kept.
template <class First>
Ref vz_rf_statement(PyObject* st, First&& first_phase) {
    auto parts = unpack<2>(st);
    Ref rest;
    auto g = unpack<3>(parts[0].get(), true, &rest);
    Ref pending = first_phase();
    Ref phi = angle_less_phase(g[2].get(), pending.get());
    Py_ssize_t extra = PyList_GET_SIZE(rest.get());
    Ref gate = check(PyTuple_New(3 + extra));
    PyTuple_SET_ITEM(gate.get(), 0, Py_NewRef(S.rfUnitary));
    PyTuple_SET_ITEM(gate.get(), 1, g[1].new_ref());
    PyTuple_SET_ITEM(gate.get(), 2, phi.release());
    for (Py_ssize_t i = 0; i < extra; ++i)
        PyTuple_SET_ITEM(gate.get(), 3 + i, Py_NewRef(PyList_GET_ITEM(rest.get(), i)));
    gate = untrack_if_atomic(std::move(gate));
    return untrack_if_atomic(tuple({gate.get(), parts[1].get()}));
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

// Whether every key of a dict is a str (no subclass), remembered until the dict changes.
// Looking a str up in such a dict runs no code of the program: hashing and comparing str
// objects is the interpreter's own business.
class StrKeys {
public:
    bool all(PyObject* dict) {
#if ZARADU_DICT_VERSION
        const uint64_t tag = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
        if (tag != tag_) {
            all_ = scan(dict);
            tag_ = tag;  // versions are unique among all dicts
        }
        return all_;
#else
        // Known process-wide while the watcher has not been told of a change of the dict.
        DictWatch& w = g_dict_watch;
        if (w.keys_of == dict)
            return w.str_keys;
        PyObject* old = std::exchange(w.keys_of, nullptr);
        w.unwatch(old);
        const bool all = scan(dict);
        if (w.watch(dict)) {
            w.keys_of = dict;
            w.str_keys = all;
        }
        return all;
#endif
    }

private:
    static bool scan(PyObject* dict) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value))
            if (!PyUnicode_CheckExact(key))
                return false;
        return true;
    }
#if ZARADU_DICT_VERSION
    uint64_t tag_ = 0;
    bool all_ = false;
#endif
};

// The rule of the statement's gate in the module's table, or an empty Ref when it has none:
// `name in rules`, then `rules[name]`. Where neither lookup can run code of the program (a
// str looked up in a dict of str keys), one lookup gives what the two would.
Ref find_rule(Globals& g, PyObject* st, StrKeys* keys = nullptr) {
    Ref name = call_head(g, st);
    Ref rules = g.get(Name::_VZ_rules);
    if (keys && PyUnicode_CheckExact(name.get()) && PyDict_CheckExact(rules.get()) && keys->all(rules.get())) {
        return dict_get(rules.get(), name.get());
    }
    if (!check(PySequence_Contains(rules.get(), name.get())))
        return {};
    return check(PyObject_GetItem(rules.get(), name.get()));
}

// The dispatch.
Ref exchange(Globals& g, PyObject* st, PyObject* phases) {
    Ref rule = find_rule(g, st);
    if (!rule)
        raise(PyExc_Exception, "Unknow VZ exchange rule.");
    return call(rule.get(), {st, phases});
}

Ref impl_exchange(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<3>(sig_exchange, args, nargsf, kwnames);
    Globals g(module);
    return exchange(g, a[0], a[1]);
}

// ---- reduceVirtualZ -----------------------------------------------------------------------

PyObject* zero_factory(PyObject*, PyObject*) noexcept { return Py_NewRef(S.int0); }
PyMethodDef zero_factory_def = {"<lambda>", zero_factory, METH_NOARGS, nullptr};

// hold[q] with the defaultdict's insertion of a missing key.
Ref held(PyObject* hold, PyObject* q) {
    // A dict, or a subclass that keeps the dict's subscription (a defaultdict, whose
    // __missing__ the fallback reaches).
    if (PyDict_Check(hold) && Py_TYPE(hold)->tp_as_mapping->mp_subscript == PyDict_Type.tp_as_mapping->mp_subscript) {
        if (Ref v = dict_get(hold, q))
            return v;
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
    Ref gate = untrack_if_atomic(tuple({S.P, held(hold, q).get()}));
    return untrack_if_atomic(tuple({gate.get(), q}));
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
// its current length at each step), anything else's through its iterator. The target is
// kept alive by whoever holds the Items.
class Items {
public:
    Items() = default;
    Items(PyObject* o, bool one) { start(o, one); }
    void start(PyObject* o, bool one) {
        one_ = seq_ = nullptr;
        i_ = 0;
        it_.reset();
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
    // Whether the items are read without an iterator (no code of the program runs).
    bool direct() const noexcept { return !it_; }
    int traverse(visitproc visit, void* arg) const { return gen::visit_refs(visit, arg, it_); }
    void clear() noexcept {
        one_ = seq_ = nullptr;
        gen::clear_refs(it_);
    }

private:
    PyObject* one_ = nullptr;  // borrowed
    PyObject* seq_ = nullptr;  // borrowed
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

// What a reduceVirtualZ generator keeps: its arguments and every local of the loop.
struct ReduceFrame final : gen::Frame {
    explicit ReduceFrame(PyObject* m) : module(Ref::borrow(m)), g(m) {}

    Ref module, ravex, lib;
    Globals g;            // the module namespace
    Ref hold;             // the pending-phase store
    Ref it;               // iter(ravex)
    Ref st, target;       // the current statement and its target
    std::vector<Ref> phases;  // hold[q] for the target's qubits; the storage is reused
    Ref stlist, plist;    // the rule's result pair
    Ref q;                // the qubit at hand in a flush
    Ref failure;          // the exception of the protected section, until its handler runs
    Items qs;             // the target's or the store's qubits being walked
    StrKeys rule_keys;    // what is known of the keys of the rule table

    int traverse_own(visitproc visit, void* arg) override {
        if (int rc = gen::visit_refs(visit, arg, module, ravex, lib, hold, it, st, target, stlist, plist, q, failure))
            return rc;
        for (const Ref& p : phases)
            if (int rc = gen::visit_refs(visit, arg, p))
                return rc;
        return qs.traverse(visit, arg);
    }
    void clear_own() noexcept override {
        qs.clear();
        std::vector<Ref> dropped = std::move(phases);
        phases.clear();
        gen::clear_refs(module, ravex, lib, hold, it, st, target, stlist, plist, q, failure);
    }
};

// The exception that _exchange_VZ_and_gate raises for a gate without a rule.
Ref unknown_rule() {
    PyErr_SetString(PyExc_Exception, "Unknow VZ exchange rule.");
    PyError e;
    return Ref::borrow(e.value());
}

// Steps 2c and 2d for the module's own dispatcher: the phase list, then the rule of the
// statement's gate. Returns the rule, or an empty Ref when the gate has none.
Ref own_dispatch(ReduceFrame& f, bool one) {
    f.qs.start(f.target.get(), one);
    while (Ref q = f.qs.next())
        f.phases.push_back(held(f.hold.get(), q.get()));
    f.qs.clear();
    return find_rule(f.g, f.st.get(), &f.rule_keys);
}

gen::Body reduce_body(ReduceFrame& f) {
    {
        Ref dd = f.g.get(Name::defaultdict);
        Ref factory = check(PyCFunction_NewEx(&zero_factory_def, nullptr, S.module_name));
        f.hold = call(dd.get(), {factory.get()});
    }
    f.it = iter(f.ravex.get());
    while ((f.st = next(f.it.get()))) {
        f.target = item(f.st.get(), 1);
        const bool one = PyLong_Check(f.target.get()) || PyUnicode_Check(f.target.get());
        try {
            DropPhases drop{f.phases};
            OwnRule kind = OwnRule::none;
            bool own_dispatcher;
            {
                Ref fn = f.g.get(Name::_exchange_VZ_and_gate);
                own_dispatcher = fn.get() == F.exchange.get();
                if (own_dispatcher) {
                    Ref rule = own_dispatch(f, one);
                    if (!rule) {
                        // The common failure of the protected section, taken without a throw.
                        f.failure = unknown_rule();
                    } else {
                        kind = own_rule(rule.get());
                        if (kind == OwnRule::none) {
                            Ref result = call(rule.get(), {f.st.get(), phase_list(f.phases).get()});
                            auto pair = unpack<2>(result.get());
                            f.stlist = std::move(pair[0]);
                            f.plist = std::move(pair[1]);
                        }
                    }
                } else {
                    f.qs.start(f.target.get(), one);
                    while (Ref q = f.qs.next())
                        f.phases.push_back(held(f.hold.get(), q.get()));
                    f.qs.clear();
                    Ref result = call(fn.get(), {f.st.get(), phase_list(f.phases).get(), f.lib.get()});
                    auto pair = unpack<2>(result.get());
                    f.stlist = std::move(pair[0]);
                    f.plist = std::move(pair[1]);
                }
            }
            if (f.failure) {
                // handled below, as an exception of the section would be
            } else if (kind == OwnRule::none) {
                co_yield gen::delegate_to(f.stlist.get());
                // zip(target, phaseList): the target's next item first, then the phase's.
                f.qs.start(f.target.get(), one);
                Ref ps = iter(f.plist.get());
                for (;;) {
                    Ref q = f.qs.next();
                    if (!q)
                        break;
                    Ref p = next(ps.get());
                    if (!p)
                        break;
                    Ref reduced = reduce_phase(f.g, p.get());
                    check(PyObject_SetItem(f.hold.get(), q.get(), reduced.get()));
                }
                f.qs.clear();
            } else {
                // One of the module's own rules, applied here: the same statements and
                // phases, without the argument list and the result pair.
                Ref emitted;    // the statement the rule emits (P emits none)
                bool made = false;  // P's phase is a float64 made here, held only here
                {
                    // The check that calling a function object through the C API makes.
                    gen::detail::Depth depth(" while calling a Python object");
                    auto first_phase = [&] {
                        if (f.phases.empty())
                            raise(PyExc_IndexError, "list index out of range");
                        return f.phases[0];
                    };
                    if (kind == OwnRule::P)
                        f.plist = vz_p_phase(f.g, f.st.get(), first_phase, &made);
                    else if (kind == OwnRule::rfUnitary)
                        emitted = vz_rf_statement(f.st.get(), first_phase);
                    else
                        emitted = f.st;
                }
                if (emitted) {
                    // Yielded as the one item of the rule's list would be: a value sent
                    // in fails like a list iterator's missing `send`.
                    bool sent = co_yield std::move(emitted);
                    if (sent)
                        raise(PyExc_AttributeError, "'list_iterator' object has no attribute 'send'");
                }
                // zip(target, phaseList) over the rule's phase list of n items: it draws
                // the target's next item before it finds the list at its end.
                const size_t n = kind == OwnRule::P ? 1 : f.phases.size();
                f.qs.start(f.target.get(), one);
                // Drawing the target's qubits runs no code of the program unless it is
                // read through an iterator: until the phase is stored, P's stays unseen.
                const bool unseen = made && f.qs.direct();
                size_t i = 0;
                for (;; ++i) {
                    Ref q = f.qs.next();
                    if (!q || i == n)
                        break;
                    PyObject* p;
                    switch (kind) {
                    case OwnRule::P: p = f.plist.get(); break;
                    case OwnRule::clear: p = S.int0; break;
                    case OwnRule::swap: p = f.phases[n - 1 - i].get(); break;
                    default: p = f.phases[i].get(); break;
                    }
                    Ref reduced = reduce_phase(f.g, p, unseen);
                    check(PyObject_SetItem(f.hold.get(), q.get(), reduced.get()));
                }
                f.qs.clear();
            }
        } catch (PyError& e) {
            // Closing the generator must end it, not be taken for a failed rule.
            if (e.matches(PyExc_GeneratorExit))
                throw;
            f.failure = Ref::borrow(e.value());  // handled below, then discarded
        }
        f.qs.clear();
        if (f.failure) {
            gen::Handling handling(f, std::move(f.failure));
            f.qs.start(f.target.get(), one);
            while ((f.q = f.qs.next())) {
                if (nonzero(held(f.hold.get(), f.q.get()).get())) {
                    co_yield phase_statement(f.hold.get(), f.q.get());
                    check(PyObject_SetItem(f.hold.get(), f.q.get(), S.int0));
                }
            }
            f.qs.clear();
            f.q.reset();
            co_yield Ref(f.st);
        }
    }
    f.qs.start(f.hold.get(), false);
    while ((f.q = f.qs.next())) {
        if (nonzero(held(f.hold.get(), f.q.get()).get()))
            co_yield phase_statement(f.hold.get(), f.q.get());
    }
}

Ref impl_reduce(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_reduce, args, nargsf, kwnames);
    auto f = std::make_unique<ReduceFrame>(module);
    f->ravex = Ref::borrow(a[0]);
    f->lib = Ref::borrow(a[1]);
    return gen::make(S.reduce_qual, S.reduce_qual, std::move(f), reduce_body);
}

}  // namespace zaradu::macro
