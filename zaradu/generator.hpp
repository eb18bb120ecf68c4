// Generator objects whose bodies are C++20 coroutines.
//
// A body is a coroutine returning `gen::Body`. Inside it, `co_yield ref` produces one item
// and `co_yield gen::delegate_to(iterable)` delegates like Python's `yield from`: items of
// the sub-iterator are passed on, values sent in and exceptions thrown in are forwarded to
// it. A Python error raised into the body (by `throw`, `close`, or a failing sub-iterator)
// arrives as a `PyError` thrown from the suspended `co_yield`. Nothing runs before the first
// draw.
//
// Every reference a body keeps while it is suspended lives in its frame: an object derived
// from `gen::Frame` that the generator owns, that the cycle collector traverses and that
// `tp_clear` empties. Bodies keep no owned reference in a coroutine local across a
// `co_yield`; they take their arguments from the frame and keep their state there. A
// generator whose frame was cleared has finished: it is never resumed again.
#pragma once

#include "capi.hpp"

#include <coroutine>
#include <memory>
#include <optional>
#include <utility>

namespace zaradu::gen {

struct Promise;
using Handle = std::coroutine_handle<Promise>;

struct Body {
    using promise_type = Promise;
    Handle h;
};

// Result of `delegate_to`: what the driver draws from until it ends. A list or tuple is
// read by position, as its iterator reads it (its length checked at each step, ended for
// good at its end), without making the iterator; every other operation on that iterator
// (a value sent in, an exception thrown in, a close) is made on a real one.
struct Delegate {
    Ref iter;                 // the iterator, or the list or tuple read by position
    Py_ssize_t position = -1;  // the next position in a list or tuple
};

inline Delegate delegate_to(PyObject* iterable) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))
        return Delegate{Ref::borrow(iterable), 0};
    return Delegate{check(PyObject_GetIter(iterable))};
}

// The delegation to a list or tuple whose first `position` items were taken already.
inline Delegate delegate_at(PyObject* seq, Py_ssize_t position) { return Delegate{Ref::borrow(seq), position}; }

// The exception the running thread is handling (what sys.exc_info() shows), as a new
// reference or null.
inline Ref handled_exception() {
    PyObject* v = PyErr_GetHandledException();
    if (v == Py_None) {
        Py_DECREF(v);
        v = nullptr;
    }
    return Ref::steal(v);
}

inline void set_handled_exception(PyObject* v) { PyErr_SetHandledException(v); }

// Visits the non-empty references among `refs` (for a frame's traverse).
template <class... R>
int visit_refs(visitproc visit, void* arg, const R&... refs) {
    int rc = 0;
    ((rc = rc ? rc : (refs.get() ? visit(refs.get(), arg) : 0)), ...);
    return rc;
}

// Empties every one of `refs` first, then releases what they held (for a frame's clear:
// code run by a release finds the frame already empty).
template <class... R>
void clear_refs(R&... refs) noexcept {
    Ref dropped[] = {std::move(refs)...};
    (void)dropped;
}

// Storage made and dropped with every generator (its frame, its coroutine's state) is
// small: the interpreter's allocator serves it.
struct FromInterpreterHeap {
    static void* operator new(size_t n) {
        if (void* p = PyObject_Malloc(n))
            return p;
        throw std::bad_alloc();
    }
    static void operator delete(void* p) noexcept { PyObject_Free(p); }
};

// The state of a body between draws. A body's own frame type derives from this and holds
// every reference the body keeps; `traverse` visits them and `clear` drops them.
struct Frame : FromInterpreterHeap {
    Ref yielded;    // the item produced by the last co_yield, until the driver takes it
    Ref delegate;   // the active sub-iterator of a delegation
    Py_ssize_t delegate_pos = -1;  // where `delegate` is a list or tuple: the next position
    Ref handling;   // the exception the body is handling (its `except` clause), if any
    Ref closing;    // while `close` runs: the GeneratorExit it throws in

    // While the body runs: the thread's handled exception before the body set its own.
    bool active = false;
    bool swapped = false;
    Ref outer;

    Frame() = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    virtual ~Frame() = default;

    virtual int traverse_own(visitproc, void*) { return 0; }
    virtual void clear_own() noexcept {}

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(yielded.get());
        Py_VISIT(delegate.get());
        Py_VISIT(handling.get());
        Py_VISIT(outer.get());
        return traverse_own(visit, arg);
    }
    // Drops every reference; the fields are emptied before the objects are released.
    void clear() noexcept {
        Ref y = std::move(yielded), d = std::move(delegate), h = std::move(handling), o = std::move(outer);
        clear_own();
    }

    // The handled exception of the thread is the body's own while the body runs in a handler.
    void enter_handled() {
        if (!active || !handling)
            return;
        if (!swapped) {
            outer = handled_exception();
            swapped = true;
        }
        set_handled_exception(handling.get());
    }
    void leave_handled() noexcept {
        if (!swapped)
            return;
        swapped = false;
        Ref o = std::move(outer);
        set_handled_exception(o.get());
    }
};

// The `except` clause of the Python the body stands for: from here to the end of the
// scope, `exc` is the exception being handled. Errors raised meanwhile get it as their
// context, as code called sees it in sys.exc_info(); the frame keeps it while the body is
// suspended, and it is the thread's handled exception only while the body runs.
class Handling {
public:
    Handling(Frame& f, Ref exc) : f_(f) {
        f_.handling = std::move(exc);
        f_.enter_handled();
    }
    ~Handling() {
        f_.leave_handled();
        Ref h = std::move(f_.handling);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Frame& f_;
};

// The same outside a generator body, for a handler without a suspension point.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc) : outer_(handled_exception()) { set_handled_exception(exc); }
    ~HandlingScope() { set_handled_exception(outer_.get()); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    Ref outer_;
};

struct Promise : FromInterpreterHeap {
    Frame* frame = nullptr;          // owned by the generator object
    Ref sent;                        // the value sent in at the resume point, while the body runs
    std::optional<PyError> thrown;   // error to raise at the resume point
    std::optional<PyError> error;    // error that left the body

    struct Resume {
        Promise* p;
        bool await_ready() const noexcept { return false; }
        void await_suspend(Handle) const noexcept {}
        // The value of the co_yield expression: what `send` passed in, None for a plain
        // draw (and always after a delegation, whose sub-iterator took the value). Borrowed,
        // valid until the body is suspended again.
        PyObject* await_resume() const {
            if (p->thrown) {
                PyError e = std::move(*p->thrown);
                p->thrown.reset();
                throw e;
            }
            return p->sent ? p->sent.get() : Py_None;
        }
    };

    Body get_return_object() noexcept { return Body{Handle::from_promise(*this)}; }
    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    void return_void() const noexcept {}
    void unhandled_exception() noexcept {
        try {
            throw;
        } catch (PyError& e) {
            error.emplace(std::move(e));
        } catch (std::bad_alloc&) {
            PyErr_NoMemory();
            error.emplace();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a generator");
            error.emplace();
        }
    }
    Resume yield_value(Ref v) noexcept {
        frame->yielded = std::move(v);
        return Resume{this};
    }
    Resume yield_value(Delegate d) noexcept {
        frame->delegate = std::move(d.iter);
        frame->delegate_pos = d.position;
        return Resume{this};
    }
};

struct Object {
    PyObject_HEAD
    Handle h;            // null once the body has finished or was never made
    Frame* frame;        // owned; the body's state, kept until the generator is freed
    PyObject* name;
    PyObject* qualname;
    bool started;
    bool running;
};

inline PyTypeObject* type_object = nullptr;

inline PyObject* send_name = nullptr;  // "send", made with the type

inline bool check_type(PyObject* o) noexcept { return type_object && Py_IS_TYPE(o, type_object); }

// One step of an iterator with the value sent in, as `yield from` makes it: `next` for None
// (where the iterator has one), else the iterator's `send`. Returns the next item, or an
// empty Ref when the iterator has ended.
inline Ref draw(PyObject* it, PyObject* sent) {
    PyObject* r;
    if (sent == Py_None && Py_TYPE(it)->tp_iternext) {
        r = Py_TYPE(it)->tp_iternext(it);
    } else {
        PyObject* args[] = {it, sent};
        r = PyObject_VectorcallMethod(send_name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    return iteration_step(r);
}

namespace detail {

// Ends the body for good: the generator counts as finished from here on, the frame's
// references are dropped, then the coroutine is destroyed (its locals hold none).
inline void destroy_body(Object* g) noexcept {
    Handle h = std::exchange(g->h, Handle{});
    if (g->frame)
        g->frame->clear();
    if (h)
        h.destroy();
}

// Exceptions raised by `throw` come as (type[, value[, traceback]]), like the interpreter's.
inline PyError make_thrown(PyObject* type, PyObject* value, PyObject* tb) {
    if (tb == Py_None)
        tb = nullptr;
    if (tb && !PyTraceBack_Check(tb))
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    Ref exc;
    if (PyExceptionClass_Check(type)) {
        if (value && value != Py_None && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exc = Ref::borrow(value);
        } else if (!value || value == Py_None) {
            exc = check(PyObject_CallNoArgs(type));
        } else if (PyTuple_Check(value)) {
            exc = check(PyObject_Call(type, value, nullptr));
        } else {
            exc = check(PyObject_CallOneArg(type, value));
        }
        if (!PyExceptionInstance_Check(exc.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", type,
                         Py_TYPE(exc.get())->tp_name);
            raise();
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None)
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        exc = Ref::borrow(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        raise();
    }
    if (tb)
        check(PyException_SetTraceback(exc.get(), tb));
    return PyError(std::move(exc));
}

Ref close(Object* g);

// Closes a sub-iterator on GeneratorExit; an error of its `close` is thrown.
inline void close_delegate(PyObject* it) {
    if (check_type(it)) {
        close(reinterpret_cast<Object*>(it));
        return;
    }
    if (PyGen_CheckExact(it) || PyCoro_CheckExact(it)) {
        check(PyObject_CallMethod(it, "close", nullptr));
        return;
    }
    PyObject* meth = nullptr;
    if (get_optional_attr(it, "close", &meth) < 0) {
        PyErr_WriteUnraisable(it);
        return;
    }
    if (meth) {
        Ref m = Ref::steal(meth);
        check(PyObject_CallNoArgs(m.get()));
    }
}

struct Running {
    Object* g;
    RecursionGuard depth{" while running a generator"};
    explicit Running(Object* g_) : g(g_) { g->running = true; }
    ~Running() { g->running = false; }
};

}  // namespace detail

// Raises an error as it leaves a generator's body: a StopIteration leaking out must not
// look like the end.
[[noreturn]] inline void raise_from_body(PyError err) {
    if (err.matches(PyExc_StopIteration)) {
        PyObject* cause = err.value();
        Ref rt = check(PyObject_CallOneArg(PyExc_RuntimeError,
                                           Ref::steal(PyUnicode_FromString("generator raised StopIteration")).get()));
        PyException_SetCause(rt.get(), Py_NewRef(cause));
        PyException_SetContext(rt.get(), Py_NewRef(cause));
        throw PyError(std::move(rt));
    }
    throw std::move(err);
}

namespace detail {

// Resumes the generator with a sent value (None for a plain draw) or an exception.
// Returns the next item, or an empty Ref when the generator has ended; errors are thrown.
// With `until_delegation`, a body that begins a delegation is left suspended in it before
// anything is drawn from it.
inline Ref advance(Object* g, PyObject* sent, std::optional<PyError> exc, bool until_delegation = false) {
    if (g->running)
        raise(PyExc_ValueError, "generator already executing");
    if (!g->h) {
        if (exc)
            throw std::move(*exc);
        return {};
    }
    if (!g->started) {
        if (exc) {
            destroy_body(g);
            throw std::move(*exc);
        }
        if (sent != Py_None)
            raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
    }
    Running running(g);
    Promise& p = g->h.promise();
    Frame& fr = *g->frame;
    Ref keep_sent = Ref::borrow(sent);
    for (;;) {
        if (fr.delegate) {
            Ref item;
            try {
                if (fr.delegate_pos >= 0 && !exc && keep_sent.get() == Py_None) {
                    PyObject* seq = fr.delegate.get();
                    if (fr.delegate_pos < PySequence_Fast_GET_SIZE(seq))
                        item = Ref::borrow(PySequence_Fast_GET_ITEM(seq, fr.delegate_pos++));
                    else
                        fr.delegate.reset();
                } else if (fr.delegate_pos >= 0) {
                    fr.delegate_pos = -1;
                    fr.delegate = check(PyObject_GetIter(fr.delegate.get()));
                }
                if (item || !fr.delegate) {
                    // drawn by position, or ended
                } else if (exc) {
                    if (exc->matches(PyExc_GeneratorExit)) {
                        Ref d = std::move(fr.delegate);
                        close_delegate(d.get());
                    } else {
                        PyObject* meth = nullptr;
                        Ref d = fr.delegate;
                        if (check_type(d.get())) {
                            // One of ours: forward directly.
                            item = advance(reinterpret_cast<Object*>(d.get()), Py_None, std::move(exc));
                            exc.reset();
                            if (!item)
                                fr.delegate.reset();
                        } else {
                            check(get_optional_attr(d.get(), "throw", &meth));
                            if (!meth) {
                                fr.delegate.reset();
                            } else {
                                // The exception alone, as `yield from` forwards it.
                                Ref m = Ref::steal(meth);
                                PyError e = std::move(*exc);
                                exc.reset();
                                PyObject* r = PyObject_CallOneArg(m.get(), e.value());
                                if (r) {
                                    item = Ref::steal(r);
                                } else {
                                    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
                                        raise();
                                    PyErr_Clear();
                                    fr.delegate.reset();
                                }
                            }
                        }
                    }
                } else {
                    item = draw(fr.delegate.get(), keep_sent.get());
                    if (!item)
                        fr.delegate.reset();
                }
            } catch (PyError& e) {
                fr.delegate.reset();
                exc.emplace(std::move(e));
            }
            if (item)
                return item;
            // The sent value went to the sub-iterator; the body resumes with None.
            keep_sent = none();
        }
        // Resume the body itself, in its handler if it was suspended in one: an exception
        // thrown in there gets the handled one as its context.
        p.sent = std::move(keep_sent);
        keep_sent = none();
        fr.active = true;
        fr.enter_handled();
        if (exc && fr.handling && exc->value() != fr.handling.get()) {
            PyObject* v = exc->value();
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(v)), v);
            exc.emplace();
        }
        p.thrown = std::move(exc);
        exc.reset();
        g->started = true;
        g->h.resume();
        p.sent.reset();
        fr.active = false;
        fr.leave_handled();
        if (g->h.done()) {
            std::optional<PyError> err = std::move(p.error);
            destroy_body(g);
            if (err)
                raise_from_body(std::move(*err));
            return {};
        }
        if (fr.yielded) {
            Ref out = std::move(fr.yielded);
            return out;
        }
        if (until_delegation)
            return {};
        // A new delegation: draw its first item on the next round.
    }
}

inline Ref close(Object* g) {
    if (g->running)
        raise(PyExc_ValueError, "generator already executing");
    if (!g->h)
        return none();
    if (!g->started) {
        destroy_body(g);
        return none();
    }
    try {
        Ref exc = check(PyObject_CallNoArgs(PyExc_GeneratorExit));
        struct Closing {
            Frame& f;
            ~Closing() { f.closing.reset(); }
        } closing{*g->frame};
        g->frame->closing = exc;
        Ref item = advance(g, Py_None, PyError(std::move(exc)));
        if (item)
            raise(PyExc_RuntimeError, "generator ignored GeneratorExit");
    } catch (PyError& e) {
        if (e.matches(PyExc_GeneratorExit) || e.matches(PyExc_StopIteration))
            return none();
        throw;
    }
    return none();
}

inline Object* self(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }

inline PyObject* iternext(PyObject* o) noexcept {
    return boundary([&] { return advance(self(o), Py_None, std::nullopt); });
}

inline PyObject* send(PyObject* o, PyObject* value) noexcept {
    return boundary([&] {
        Ref r = advance(self(o), value, std::nullopt);
        if (!r) {
            PyErr_SetNone(PyExc_StopIteration);
            raise();
        }
        return r;
    });
}

inline PyObject* throw_(PyObject* o, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary([&] {
        if (nargs < 1 || nargs > 3) {
            if (nargs < 1)
                PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
            else
                PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
            raise();
        }
        PyError e = make_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        Ref r = advance(self(o), Py_None, std::move(e));
        if (!r) {
            PyErr_SetNone(PyExc_StopIteration);
            raise();
        }
        return r;
    });
}

inline PyObject* close_meth(PyObject* o, PyObject*) noexcept {
    return boundary([&] { return close(self(o)); });
}

inline void finalize(PyObject* o) noexcept {
    Object* g = self(o);
    if (!g->h || !g->started)
        return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = close_meth(o, nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(o);
    PyErr_Restore(t, v, tb);
}

inline int traverse(PyObject* o, visitproc visit, void* arg) {
    Object* g = self(o);
    Py_VISIT(Py_TYPE(o));
    if (g->frame)
        return g->frame->traverse(visit, arg);
    return 0;
}

// Breaks a cycle: the body ends for good and its frame lets go of everything it holds.
// A running generator is not cleared (it is reachable from the running code).
inline int clear(PyObject* o) {
    Object* g = self(o);
    if (!g->running)
        destroy_body(g);
    return 0;
}

inline void dealloc(PyObject* o) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0)
        return;  // resurrected
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    Object* g = self(o);
    destroy_body(g);
    delete std::exchange(g->frame, nullptr);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    tp->tp_free(o);
    Py_DECREF(tp);
}

inline PyObject* repr(PyObject* o) {
    return PyUnicode_FromFormat("<generator object %S at %p>", self(o)->qualname, o);
}

inline PyObject* get_name(PyObject* o, void*) { return Py_NewRef(self(o)->name); }
inline PyObject* get_qualname(PyObject* o, void*) { return Py_NewRef(self(o)->qualname); }
inline int set_str(PyObject** slot, PyObject* v, const char* what) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(v));
    return 0;
}
inline int set_name(PyObject* o, PyObject* v, void*) { return set_str(&self(o)->name, v, "__name__"); }
inline int set_qualname(PyObject* o, PyObject* v, void*) { return set_str(&self(o)->qualname, v, "__qualname__"); }
inline PyObject* get_running(PyObject* o, void*) { return PyBool_FromLong(self(o)->running); }

inline PyMethodDef methods[] = {
    {"send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(send)), METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL, nullptr},
    {"close", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(close_meth)), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace detail

// The next item of an iterator, or an empty Ref at its end, as `zaradu::next` gives it; one
// of these generators is resumed without the round trip through its `tp_iternext`.
inline Ref next(PyObject* it) {
    if (check_type(it))
        return detail::advance(detail::self(it), Py_None, std::nullopt);
    return zaradu::next(it);
}

// Starts a new generator whose body begins with a delegation, and leaves it suspended in
// that delegation: a generator made to carry on work begun without it, so that dropping
// it closes that work as the generator would close it.
inline void start_in_delegation(PyObject* o) { detail::advance(detail::self(o), Py_None, std::nullopt, true); }

// Creates the generator type once per process under the given dotted name.
inline PyTypeObject* init_type(const char* dotted_name) {
    if (type_object)
        return type_object;
    static PyType_Spec spec;
    spec.name = dotted_name;
    spec.basicsize = sizeof(Object);
    spec.itemsize = 0;
    spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    spec.slots = detail::slots;
    send_name = intern("send").release();
    type_object = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)).release());
    return type_object;
}

// Makes a generator running `body(frame)` (a coroutine) at the first draw. The generator
// owns the frame, which holds the body's arguments and everything the body keeps.
template <class F, class Body>
Ref make(PyObject* name, PyObject* qualname, std::unique_ptr<F> frame, Body&& body) {
    Object* g = PyObject_GC_New(Object, type_object);
    if (!g)
        raise();
    g->h = Handle{};
    g->frame = nullptr;
    g->name = Py_NewRef(name);
    g->qualname = Py_NewRef(qualname);
    g->started = false;
    g->running = false;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(g));
    F& f = *frame;
    g->frame = frame.release();
    g->h = body(f).h;
    g->h.promise().frame = g->frame;
    PyObject_GC_Track(g);
    return owner;
}

}  // namespace zaradu::gen
