// Controlled-gate decomposition: extend_control_gate, doing what `extend_control_gate` of
// tests/support/macro_reference.py does.
#include "macro_module.hpp"

#include <vector>

namespace zaradu::macro {
namespace {

Signature sig_extend_control_gate{"extend_control_gate", {"st", "scope"}, 2};

// The constants of extend_control_gate's two import statements, made at the first call and
// kept for the process.
loader::ImportConstants g_import_seq2mat;
loader::ImportConstants g_import_matricies;

}  // namespace

Ref control_gate(Globals& g, PyObject* st) {
    std::vector<Ref> imported;
    loader::import_from("ravex", {"seq2mat"}, 0, &imported, &g_import_seq2mat);
    loader::import_from("ravex.matricies", {"U", "Unitary2Angles"}, 0, &imported, &g_import_matricies);
    PyObject* seq2mat = imported[0].get();
    PyObject* unitary2angles = imported[2].get();

    auto outer = unpack<2>(st);
    auto gate_pair = unpack<2>(outer[0].get());
    PyObject* inner = gate_pair[1].get();
    PyObject* qubits = outer[1].get();

    if (is_instance(inner, reinterpret_cast<PyObject*>(&PyUnicode_Type))) {
        if (equals(inner, S.Z))
            return list({tuple({S.CZ, qubits}).get()});
        if (equals(inner, S.X))
            return list({tuple({S.Cnot, qubits}).get()});
    }
    auto ct = unpack<2>(qubits);
    PyObject* c = ct[0].get();
    PyObject* t = ct[1].get();
    Ref prog = list({tuple({inner, S.int0}).get()});
    Ref unitary = call(seq2mat, {prog.get()});
    Ref angles_obj = call(unitary2angles, {unitary.get()});
    auto angles = unpack<4>(angles_obj.get());
    PyObject* theta = angles[0].get();
    PyObject* phi = angles[1].get();
    PyObject* lam = angles[2].get();
    PyObject* delta = angles[3].get();

    Ref cosf = g.get(Name::cos);
    Ref sum = num(PyNumber_Add(phi, lam));
    Ref c_ = call(cosf.get(), {sum.get()});
    Ref shifted = num(PyNumber_Add(c_.get(), S.int1));
    Ref dist = num(PyNumber_Absolute(shifted.get()));
    Ref lt = check(PyObject_RichCompare(dist.get(), S.eps, Py_LT));
    bool near = check(PyObject_IsTrue(lt.get())) != 0;

    // The parameters are computed in the order they are written, each operand as it comes
    // (the module's `pi` looked up where it is used), then the statements are built.
    auto half = [](PyObject* x) { return num(PyNumber_TrueDivide(x, S.int2)); };
    auto pi_half = [&] {
        Ref pi = g.get(Name::pi);
        return half(pi.get());
    };
    if (near) {
        Ref p1;  // pi/2 - theta/2
        {
            Ref a = pi_half();
            Ref b = half(theta);
            p1 = num(PyNumber_Subtract(a.get(), b.get()));
        }
        Ref p3 = num(PyNumber_Negative(phi));  // -phi
        Ref s1 = tuple({tuple({S.u3, p1.get(), S.int0, p3.get()}).get(), t});
        Ref s2 = tuple({S.Cnot, tuple({c, t}).get()});
        Ref q1;  // theta/2 - pi/2
        {
            Ref a = half(theta);
            Ref b = pi_half();
            q1 = num(PyNumber_Subtract(a.get(), b.get()));
        }
        Ref s3 = tuple({tuple({S.u3, q1.get(), phi, S.int0}).get(), t});
        Ref r;  // delta - pi/2
        {
            Ref b = pi_half();
            r = num(PyNumber_Subtract(delta, b.get()));
        }
        Ref s4 = tuple({tuple({S.Rz, r.get()}).get(), t});
        return list({s1.get(), s2.get(), s3.get(), s4.get()});
    }
    Ref h1 = half(theta);  // theta/2
    Ref s1 = tuple({tuple({S.u3, h1.get(), S.int0, lam}).get(), t});
    Ref s2 = tuple({S.Cnot, tuple({c, t}).get()});
    Ref h2;  // -theta/2
    {
        Ref neg = num(PyNumber_Negative(theta));
        h2 = half(neg.get());
    }
    Ref h3;  // -(phi + lam)/2
    {
        Ref sum2 = num(PyNumber_Add(phi, lam));
        Ref neg = num(PyNumber_Negative(sum2.get()));
        h3 = half(neg.get());
    }
    Ref s3 = tuple({tuple({S.u3, h2.get(), h3.get(), S.int0}).get(), t});
    Ref s4 = tuple({S.Cnot, tuple({c, t}).get()});
    Ref h4;  // (phi - lam)/2
    {
        Ref diff = num(PyNumber_Subtract(phi, lam));
        h4 = half(diff.get());
    }
    Ref s5 = tuple({tuple({S.u3, S.int0, S.int0, h4.get()}).get(), t});
    Ref s6 = tuple({tuple({S.Rz, delta}).get(), c});
    return list({s1.get(), s2.get(), s3.get(), s4.get(), s5.get(), s6.get()});
}

Ref impl_extend_control_gate(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    auto a = bind<2>(sig_extend_control_gate, args, nargsf, kwnames);
    Globals g(module);
    return control_gate(g, a[0]);
}

}  // namespace zaradu::macro
