// Owned and borrowed PyObject* handles, and the one C++ exception type that carries a
// raised Python error up to the C API boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace zaradu {

// An owned reference. Construction says whether the pointer is stolen (a new reference
// handed over by the C API) or borrowed (a reference is taken here).
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(const Ref& o) noexcept {
        Ref tmp(o);
        swap(tmp);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for returning to the interpreter.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset() noexcept { Ref().swap(*this); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A reference held by process-wide storage (a module object, a constant). A destructor
// never releases it: static destructors run after the interpreter has finalised. `set` and
// `reset` replace and release it while the interpreter runs.
class ProcessRef {
public:
    constexpr ProcessRef() noexcept = default;
    ProcessRef(const ProcessRef&) = delete;
    ProcessRef& operator=(const ProcessRef&) = delete;

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void set(Ref r) noexcept {
        PyObject* old = p_;
        p_ = r.release();
        Py_XDECREF(old);
    }
    void reset() noexcept { set(Ref()); }

private:
    PyObject* p_ = nullptr;
};

// A Python exception in flight through C++ code. Throwing takes the error out of the
// interpreter's indicator (so destructors that run during unwinding may call into the
// interpreter freely); `restore` puts it back at the boundary.
class PyError {
public:
    // Takes the currently set error. If none is set (a caller bug), a SystemError is made.
    PyError() {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
#if PY_VERSION_HEX >= 0x030C0000
        value_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        if (tb && value)
            PyException_SetTraceback(value, tb);
        Py_XDECREF(type);
        Py_XDECREF(tb);
        value_ = Ref::steal(value);
#endif
    }
    // Wraps an exception instance.
    explicit PyError(Ref value) : value_(std::move(value)) {}

    PyObject* value() const noexcept { return value_.get(); }
    bool matches(PyObject* exc_type) const noexcept {
        return value_ && PyErr_GivenExceptionMatches(value_.get(), exc_type);
    }
    // Sets the interpreter's error indicator again; the object is empty afterwards.
    void restore() noexcept {
        PyObject* v = value_.release();
        if (!v) {
            PyErr_SetString(PyExc_SystemError, "error lost");
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(v);
#else
        PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(v)));
        PyErr_Restore(type, v, PyException_GetTraceback(v));
#endif
    }

private:
    Ref value_;
};

[[noreturn]] inline void raise() { throw PyError(); }

// Checks a new-reference result of the C API.
inline Ref check(PyObject* p) {
    if (!p)
        raise();
    return Ref::steal(p);
}
inline int check(int rc) {
    if (rc < 0)
        raise();
    return rc;
}

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    raise();
}

// The result of one step of an iterator (`tp_iternext`, `send`): the item it
// returned, or an empty Ref at its end (no error, or StopIteration, which is
// cleared); any other error is raised.
inline Ref iteration_step(PyObject* r) {
    if (r)
        return Ref::steal(r);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration))
            raise();
        PyErr_Clear();
    }
    return {};
}

// Runs `f` (returning a Ref) at a C API boundary: errors become a NULL return.
template <class F>
PyObject* boundary(F&& f) noexcept {
    try {
        return f().release();
    } catch (PyError& e) {
        e.restore();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return nullptr;
}

// Looks an attribute up; a missing attribute gives 0 and a null result, other errors -1.
inline int get_optional_attr(PyObject* o, const char* name, PyObject** out) {
    *out = PyObject_GetAttrString(o, name);
    if (*out)
        return 1;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace zaradu
