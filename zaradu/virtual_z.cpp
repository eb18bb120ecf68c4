// Virtual-Z reduction: the rule table's maintenance, the five rules, the dispatcher and
// reduceVirtualZ, each doing what the function of that name in
// tests/support/macro_reference.py does, with the native phase reduction that stands in
// for NumPy's mod.
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

// A NumPy float64 is read as a float only where its layout is known to be a float's.
bool is_float64(PyObject* o) { return g_numpy.layout_ok && Py_IS_TYPE(o, g_numpy.float64); }

bool as_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o) || is_float64(o)) {
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
    PyObject* o = g_numpy.float64->tp_alloc(g_numpy.float64, 0);
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
    if (!g_numpy.layout_ok || modf != g_numpy.mod.get() || !PyFloat_CheckExact(pi))
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
    if (is_float64(b) && (PyFloat_CheckExact(a) || is_float64(a))) {
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
    double d;
    const bool numeric = as_double(x, &d);
    Ref out;
    PyObject* const unseen = x_unseen ? x : nullptr;
    // While both lookups run no code, the values stay in the namespace while they are used.
    if (numeric && g.is_known(Name::mod) && g.is_known(Name::pi) &&
        native_mod(g.peek(Name::mod).get(), g.peek(Name::pi).get(), d, &out, unseen))
        return out;
    Ref modf = g.get(Name::mod);
    Ref pi = g.get(Name::pi);
    if (numeric && native_mod(modf.get(), pi.get(), d, &out, unseen))
        return out;
    Ref two_pi = check(PyNumber_Multiply(S.int2, pi.get()));
    return call(modf.get(), {x, two_pi.get()});
}
}  // namespace

// ---- virtual-Z rules ----------------------------------------------------------------------

Ref impl_add_VZ_rule(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_add_VZ_rule, args, nargsf, kwnames);
    Ref rules = global(module, Name::_VZ_rules);
    check(PyObject_SetItem(rules.get(), a[0], a[1]));
    return none();
}

Ref impl_remove_VZ_rule(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_remove_VZ_rule, args, nargsf, kwnames);
    Ref rules = global(module, Name::_VZ_rules);
    check(PyObject_DelItem(rules.get(), a[0]));
    return none();
}

// The five rules (`_VZ_P` to `_VZ_swap` of tests/support/macro_reference.py). Each is
// written once, as the statement it emits and the phase list it returns; the functions of
// the module turn that into the rule's result pair, and reduceVirtualZ, where the table
// still holds the module's own rule, takes it as it is.

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

// A rule's phaseList as the rules read it: the object handed to a rule function, or the
// phases that reduceVirtualZ collected for a statement, standing for the list it would
// hand to the rule.
class PhaseList {
public:
    explicit PhaseList(PyObject* obj) : obj_(obj) {}
    explicit PhaseList(const std::vector<Ref>& phases) : phases_(&phases) {}

    // phaseList[0]
    Ref first() const {
        if (obj_)
            return item(obj_, 0);
        if (phases_->empty())
            list_index_out_of_range();
        return (*phases_)[0];
    }

private:
    PyObject* obj_ = nullptr;
    const std::vector<Ref>* phases_ = nullptr;
};

// What a rule makes of (st, phaseList): the one statement it emits (none for _VZ_P) and its
// new phase list, told by how it follows from phaseList.
struct RuleResult {
    enum class Phases { same, one, zeros, reversed };
    Ref emitted;       // empty: nothing is emitted
    Phases phases = Phases::same;
    Ref value;         // the one phase of Phases::one
    bool made = false;  // `value` is a float64 made here (not what a `mod` of the program returned)
};

// _VZ_P: ([], [mod(phaseList[0] + st[0][1], 2 * pi)]).
RuleResult rule_P(Globals& g, PyObject* st, const PhaseList& phases) {
    Ref modf = g.get(Name::mod);
    Ref pending = phases.first();
    Ref gate = item(st, 0);
    Ref angle = item(gate.get(), 1);
    Ref reduced;
    double x, y;
    bool done = false;
    if (as_double(pending.get(), &x) && as_double(angle.get(), &y)) {
        Ref pi = g.get(Name::pi);
        done = native_mod(modf.get(), pi.get(), x + y, &reduced);
    }
    if (!done) {
        Ref sum = num(PyNumber_Add(pending.get(), angle.get()));
        Ref pi = g.get(Name::pi);
        Ref two_pi = num(PyNumber_Multiply(S.int2, pi.get()));
        reduced = call(modf.get(), {sum.get(), two_pi.get()});
    }
    return {Ref(), RuleResult::Phases::one, std::move(reduced), done};
}

// _VZ_rfUnitary: the axis angle less phaseList[0], the other parameters kept; the phases
// pass unchanged.
RuleResult rule_rfUnitary(PyObject* st, const PhaseList& phases) {
    auto parts = unpack<2>(st);
    std::vector<Ref> with_params;
    auto g = unpack<3>(parts[0].get(), &with_params);
    Ref pending = phases.first();
    Ref phi = angle_less_phase(g[2].get(), pending.get());
    Ref gate = untrack_if_atomic(tuple_of({S.rfUnitary, g[1].get(), phi.get()}, with_params));
    return {untrack_if_atomic(tuple({gate.get(), parts[1].get()})), RuleResult::Phases::same, Ref()};
}

RuleResult apply_rule(OwnRule kind, Globals& g, PyObject* st, const PhaseList& phases) {
    using P = RuleResult::Phases;
    switch (kind) {
    case OwnRule::P: return rule_P(g, st, phases);
    case OwnRule::rfUnitary: return rule_rfUnitary(st, phases);
    case OwnRule::clear: return {Ref::borrow(st), P::zeros, Ref()};
    case OwnRule::exchangable: return {Ref::borrow(st), P::same, Ref()};
    case OwnRule::swap: return {Ref::borrow(st), P::reversed, Ref()};
    case OwnRule::none: break;
    }
    raise(PyExc_SystemError, "not a rule of the module");
}

// The rule's result pair (stList, phaseList), as the rule function returns it.
Ref result_pair(const RuleResult& r, PyObject* phases) {
    using P = RuleResult::Phases;
    Ref emitted = r.emitted ? list({r.emitted.get()}) : check(PyList_New(0));
    Ref out;
    switch (r.phases) {
    case P::same: out = Ref::borrow(phases); break;
    case P::one: out = list({r.value.get()}); break;
    case P::zeros: {
        Py_ssize_t n = PyObject_Size(phases);
        if (n < 0)
            raise();
        out = check(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            PyList_SET_ITEM(out.get(), i, Py_NewRef(S.int0));
        break;
    }
    case P::reversed: out = check(PyObject_GetItem(phases, S.slice_rev)); break;
    }
    return tuple({emitted.get(), out.get()});
}

// A rule function of the module: its arguments bound, the rule applied.
template <OwnRule kind>
Ref rule_function(Signature& sig, PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig, args, nargsf, kwnames);
    Globals g(module);
    return result_pair(apply_rule(kind, g, a[0], PhaseList(a[1])), a[1]);
}

Ref impl_VZ_P(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return rule_function<OwnRule::P>(sig_VZ_P, module, args, nargsf, kwnames);
}
Ref impl_VZ_rfUnitary(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return rule_function<OwnRule::rfUnitary>(sig_VZ_rfUnitary, module, args, nargsf, kwnames);
}
Ref impl_VZ_clear(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return rule_function<OwnRule::clear>(sig_VZ_clear, module, args, nargsf, kwnames);
}
Ref impl_VZ_exchangable(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return rule_function<OwnRule::exchangable>(sig_VZ_exchangable, module, args, nargsf, kwnames);
}
Ref impl_VZ_swap(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return rule_function<OwnRule::swap>(sig_VZ_swap, module, args, nargsf, kwnames);
}

// The rule of the statement's gate in the module's table, or an empty Ref when it has none:
// `name in _VZ_rules`, then `_VZ_rules[name]`, the table's name read for each. Where
// neither the lookups in the table nor the second read of its name can run code of the
// program (a str looked up in a dict of str keys, the name's value known), one lookup
// gives what the two would.
Ref find_rule(Globals& g, PyObject* st, StrKeys* keys = nullptr) {
    Ref name = call_head(g, st);
    Ref rules = g.get(Name::_VZ_rules);
    if (keys && PyUnicode_CheckExact(name.get()) && PyDict_CheckExact(rules.get()) && keys->all(rules.get())) {
        Ref rule = dict_get(rules.get(), name.get());
        if (!rule)
            return {};
        if (g.is_known(Name::_VZ_rules) && g.peek(Name::_VZ_rules).get() == rules.get())
            return rule;
    } else if (!check(PySequence_Contains(rules.get(), name.get()))) {
        return {};
    }
    rules = g.get(Name::_VZ_rules);
    return check(PyObject_GetItem(rules.get(), name.get()));
}

// ---- the dispatcher (`_exchange_VZ_and_gate` of tests/support/macro_reference.py) -----

// The exception of a gate without a rule.
Ref unknown_rule_error() {
    PyErr_SetString(PyExc_Exception, "Unknow VZ exchange rule.");
    return Ref::borrow(PyError().value());
}

// What the dispatch of (st, phaseList) gave: the exception of a gate without a rule, or the
// rule's result; where the call of one of the module's own rules was skipped, what that
// rule makes of the pair instead.
struct Dispatched {
    Ref error;
    Ref result;
    OwnRule kind = OwnRule::none;
    RuleResult own;
};

// _exchange_VZ_and_gate(st, phaseList, lib): the rule of st's gate called with
// (st, phaseList), `phases` giving the list object for the call (`object()`) and the rules'
// view of it (`view()`). With `skip_own_call`, one of the module's own rules is applied
// without the call. A gate without a rule gives its exception, not raised:
// reduceVirtualZ's handler takes it as it is.
template <class Phases>
Dispatched dispatch(Globals& g, PyObject* st, Phases&& phases, bool skip_own_call, StrKeys* keys = nullptr) {
    Dispatched d;
    Ref rule = find_rule(g, st, keys);
    if (!rule) {
        d.error = unknown_rule_error();
        return d;
    }
    if (skip_own_call && (d.kind = own_rule(rule.get())) != OwnRule::none) {
        RecursionGuard depth(" while calling a Python object");  // as the call would check
        d.own = apply_rule(d.kind, g, st, phases.view());
        return d;
    }
    d.result = call(rule.get(), {st, phases.object()});
    return d;
}

// The phase list of a dispatch: a Python object.
struct PhaseObject {
    PyObject* obj;
    PhaseList view() const { return PhaseList(obj); }
    PyObject* object() const { return obj; }
};

Ref impl_exchange(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<3>(sig_exchange, args, nargsf, kwnames);
    Globals g(module);
    Dispatched d = dispatch(g, a[0], PhaseObject{a[1]}, false);
    if (d.error)
        throw PyError(std::move(d.error));
    return std::move(d.result);
}

// ---- reduceVirtualZ -----------------------------------------------------------------------

PyObject* zero_factory(PyObject*, PyObject*) noexcept { return Py_NewRef(S.int0); }
PyMethodDef zero_factory_def = {"<lambda>", zero_factory, METH_NOARGS, nullptr};

// hold[q], the subscription itself: a defaultdict hashes a missing key once to look it up
// and once more to insert it.
Ref held(PyObject* hold, PyObject* q) { return check(PyObject_GetItem(hold, q)); }

// `value != 0` as a condition.
bool nonzero(PyObject* v) {
    if (PyFloat_CheckExact(v) || is_float64(v))
        return PyFloat_AS_DOUBLE(v) != 0.0;
    Ref r = check(PyObject_RichCompare(v, S.int0, Py_NE));
    return check(PyObject_IsTrue(r.get())) != 0;
}

// (('P', hold[q]), q)
Ref phase_statement(PyObject* hold, PyObject* q) {
    Ref gate = untrack_if_atomic(tuple({S.P, held(hold, q).get()}));
    return untrack_if_atomic(tuple({gate.get(), q}));
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

// What a reduceVirtualZ generator keeps: its arguments and every local of the loop.
struct ReduceFrame final : gen::Frame {
    explicit ReduceFrame(PyObject* m) : module(Ref::borrow(m)), g(m) {}

    Ref module, ravex, lib;
    Globals g;            // the module namespace
    Ref hold;             // the pending-phase store
    Ref it;               // iter(ravex)
    Ref st, target;       // the current statement and its target
    std::vector<Ref> phases;  // [hold[q] for q in target]; the storage is reused
    Ref stlist, plist;    // the rule's result pair
    OwnRule kind = OwnRule::none;  // the module's own rule applied without its call, if any,
    RuleResult own;                // and what it made of the pair
    Ref q;                // the qubit at hand in a flush
    Ref failure;          // the exception of the protected section, until its handler runs
    Items qs;             // the target's or the store's qubits being walked
    StrKeys rule_keys;  // what is known of the keys of the rule table

    int traverse_own(visitproc visit, void* arg) override {
        if (int rc = gen::visit_refs(visit, arg, module, ravex, lib, hold, it, st, target, stlist, plist,
                                     own.emitted, own.value, q, failure))
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
        gen::clear_refs(module, ravex, lib, hold, it, st, target, stlist, plist, own.emitted, own.value, q, failure);
    }
};

// phases = [hold[q] for q in target]
void collect_phases(ReduceFrame& f, bool one) {
    f.qs.start(f.target.get(), one);
    while (Ref q = f.qs.next())
        f.phases.push_back(held(f.hold.get(), q.get()));
    f.qs.clear();
}

// The collected phases as a dispatch takes them: the list object is made for a call.
struct CollectedPhases {
    const std::vector<Ref>& phases;
    Ref list;
    PhaseList view() const { return PhaseList(phases); }
    PyObject* object() {
        list = check(PyList_New(static_cast<Py_ssize_t>(phases.size())));
        for (size_t i = 0; i < phases.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), phases[i].new_ref());
        return list.get();
    }
};

// At the end of the protected section the phases are released, last item first, as a list
// drops its items.
struct DropPhases {
    std::vector<Ref>& v;
    ~DropPhases() {
        while (!v.empty())
            v.pop_back();
    }
};

inline PyObject* raw(PyObject* p) { return p; }
inline PyObject* raw(const Ref& p) { return p.get(); }

// for q, p in zip(target, phaseList): hold[q] = mod(p, 2 * pi). `phase_source()` is made
// after the target's iterator, as zip makes its iterators, and gives the next phase (a Ref,
// or a pointer borrowed from the frame) or null; the target's next item is drawn before the
// next phase. `made`: the phases are float64s made here and held only here (see native_mod).
template <class Source>
void update_phases(ReduceFrame& f, bool one, Source&& phase_source, bool made = false) {
    f.qs.start(f.target.get(), one);
    // Drawing the target's qubits runs no code of the program unless it is read through an
    // iterator: until a phase is stored, no one else can have seen it.
    const bool unseen = made && f.qs.direct();
    auto next_phase = phase_source();
    while (Ref q = f.qs.next()) {
        auto p = next_phase();
        if (!p)
            break;
        Ref reduced = reduce_phase(f.g, raw(p), unseen);
        check(PyObject_SetItem(f.hold.get(), q.get(), reduced.get()));
    }
    f.qs.clear();
}

// The new phase list of one of the module's own rules, item by item, as its result pair
// would hold it.
auto own_phases(const ReduceFrame& f) {
    using P = RuleResult::Phases;
    const RuleResult& r = f.own;
    const std::vector<Ref>& phases = f.phases;
    const size_t n = r.phases == P::one ? 1 : phases.size();
    return [&r, &phases, n, i = size_t(0)]() mutable -> PyObject* {
        if (i == n)
            return nullptr;
        const size_t k = i++;
        switch (r.phases) {
        case P::one: return r.value.get();
        case P::zeros: return S.int0;
        case P::reversed: return phases[n - 1 - k].get();
        case P::same: break;
        }
        return phases[k].get();
    };
}

// hold[q] != 0 for the qubit at hand.
bool pending(ReduceFrame& f) { return nonzero(held(f.hold.get(), f.q.get()).get()); }

// reduceVirtualZ(ravex, lib), the generator (`reduceVirtualZ` of
// tests/support/macro_reference.py). While `_exchange_VZ_and_gate` is the module's own, the
// dispatch runs here without its call, and so does a rule that is one of the module's own:
// its statement is yielded as the one item of its stList, and its phases are read as its
// phaseList.
gen::Body reduce_body(ReduceFrame& f) {
    {
        Ref dd = f.g.get(Name::defaultdict);
        Ref factory = check(PyCFunction_NewEx(&zero_factory_def, nullptr, S.module_name));
        f.hold = call(dd.get(), {factory.get()});
    }
    f.it = iter(f.ravex.get());
    while ((f.st = gen::next(f.it.get()))) {
        f.target = item(f.st.get(), 1);
        const bool one = is_instance(f.target.get(), S.int_str);
        try {
            DropPhases drop{f.phases};
            f.kind = OwnRule::none;
            collect_phases(f, one);
            {
                Globals::Value dispatcher = f.g.peek(Name::_exchange_VZ_and_gate);
                Ref result;
                if (dispatcher.get() == F.exchange.get()) {
                    Dispatched d = dispatch(f.g, f.st.get(), CollectedPhases{f.phases, {}}, true, &f.rule_keys);
                    f.failure = std::move(d.error);
                    f.kind = d.kind;
                    f.own = std::move(d.own);
                    result = std::move(d.result);
                } else {
                    Ref fn = dispatcher.ref();
                    result = call(fn.get(), {f.st.get(), CollectedPhases{f.phases, {}}.object(), f.lib.get()});
                }
                if (result) {
                    auto pair = unpack<2>(result.get());
                    f.stlist = std::move(pair[0]);
                    f.plist = std::move(pair[1]);
                }
            }
            if (f.failure) {
                // handled below, as an exception of the section would be
            } else if (f.kind == OwnRule::none) {
                co_yield gen::delegate_to(f.stlist.get());
                update_phases(f, one, [&] {
                    return [ps = iter(f.plist.get())] { return next(ps.get()); };
                });
            } else {
                if (f.own.emitted) {
                    PyObject* sent = co_yield Ref(f.own.emitted);
                    if (sent != Py_None) {
                        // The value goes where `yield from stList` sends it: to the list's iterator.
                        Ref items = iter(list({f.own.emitted.get()}).get());
                        gen::draw(items.get(), sent);
                    }
                }
                update_phases(f, one, [&] { return own_phases(f); }, f.own.made);
            }
        } catch (PyError& e) {
            // Closing the generator ends it; any other exception, a GeneratorExit that a
            // rule or its statements raise included, is a failed rule.
            if (f.closing && e.value() == f.closing.get())
                throw;
            f.failure = Ref::borrow(e.value());  // handled below, then discarded
        }
        f.qs.clear();
        gen::clear_refs(f.own.emitted, f.own.value);
        if (f.failure) {
            gen::Handling handling(f, std::move(f.failure));
            f.qs.start(f.target.get(), one);
            while ((f.q = f.qs.next())) {
                if (pending(f)) {
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
        if (pending(f))
            co_yield phase_statement(f.hold.get(), f.q.get());
    }
}

Ref impl_reduce(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_reduce, args, nargsf, kwnames);
    auto f = std::make_unique<ReduceFrame>(module);
    f->ravex = Ref::borrow(a[0]);
    f->lib = Ref::borrow(a[1]);
    return gen::make(S.reduceVirtualZ, S.reduceVirtualZ, std::move(f), reduce_body);
}

}  // namespace zaradu::macro
