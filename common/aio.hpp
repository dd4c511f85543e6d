// Native coroutines for asyncio: C++20 coroutine bodies that asyncio runs as it
// runs coroutines written in Python.
//
// A body is a C++ coroutine returning aio::task. Called from Python (through
// aio::function, aio::method or aio::callable) it gives a coroutine object that
// `await`, asyncio.run, create_task, gather, wait_for and asyncio.iscoroutine
// accept, with send/throw/close/__await__/__iter__/__next__ as Python's own
// coroutines have them.
//
//   // The body: parameters by value, every path ends in co_return.
//   aio::task sleep_then(py::object delay, py::object value) {
//       py::object asyncio = py::module_::import("asyncio");
//       co_await aio::wait(asyncio.attr("sleep")(delay));   // suspends; the loop runs
//       co_return value;
//   }
//   // The coroutine function: checks run at call time, before any await.
//   aio::task sleep_then_entry(py::object delay, py::object value) {
//       if (!PyFloat_CheckExact(delay.ptr())) throw py::type_error("delay must be float");
//       return sleep_then(delay, value);
//   }
//   pysem::define(m, {aio::function<&sleep_then_entry>("sleep_then(delay, *, value=None)")});
//
// API
//   aio::task                          return type of a body. `co_return x;` gives x
//                                      (py::object, py::handle, or anything py::cast
//                                      takes); `co_return py::none();` (or `co_return {};`)
//                                      gives None. C++ allows no `co_return;` beside
//                                      `co_return x;`, and flowing off the end is
//                                      undefined behaviour: end every path in co_return.
//   co_await aio::wait(awaitable)      awaits any Python awaitable (coroutine, Future,
//                                      Task, object with __await__, native coroutine) and
//                                      gives its result as py::object, or throws
//                                      py::error_already_set with the exception itself
//                                      (type, value, traceback, __cause__, __context__).
//                                      What it yields goes up to the loop, what the loop
//                                      sends or throws goes down to it first. A temporary
//                                      is taken over; anything else is borrowed.
//   co_await other_body(...)           awaits another aio::task directly.
//   aio::function<&fn>(header, doc)    table entry (common/function.hpp) of a module-level
//                                      coroutine function: `fn` takes py::object or
//                                      py::handle parameters as the header declares them and
//                                      returns aio::task; what it does before returning the
//                                      task runs at call time, so argument errors are raised
//                                      by the call. inspect.signature reads the header.
//   aio::method<&fn>(header, doc)      the same as a method (fn's first parameter is self);
//                                      binds like a Python function (`obj.name` is a bound
//                                      method), `__call__` included.
//   aio::callable(qualname, fn)        a coroutine function made at run time from a C++
//                                      closure (qualname: str, const char * or std::string).
//                                      fn returns aio::task and takes N py::object (the call
//                                      must pass exactly N, by position), or (py::args), or
//                                      (py::args, py::kwargs). The closure lives as long as
//                                      the function or any coroutine it made.
//                                      All three are coroutine functions to asyncio's and
//                                      inspect's iscoroutinefunction (a __code__ that nothing
//                                      runs carries the flag, with __defaults__,
//                                      __kwdefaults__ and __annotations__ as a function's),
//                                      have __name__, __qualname__, __module__ and __doc__,
//                                      and return coroutine objects named after their qualname.
//   aio::relay(qualname, std::make_unique<R>(...))
//                                      a coroutine function made at run time whose
//                                      coroutines await exactly once, without a C++
//                                      coroutine frame: R derives from aio::relay_base
//                                      (start(arg) gives the awaitable, finish(arg, result)
//                                      the result; arity 0 or 1). aio::relay_of<R>(fn)
//                                      gives the relay back, e.g. to read its state.
//   aio::via<&fn>(self, args...)       the awaitable of `self.name(...)` for a method made
//                                      with aio::method: the coroutine of fn's C++ code while
//                                      nothing replaces the method, else the call through the
//                                      instance.
//   aio::coroutine(task, qualname)     the coroutine object of a task, e.g. for create_task.
//   aio::raise(exc)                    [[noreturn]] raise exc (instance or class); inside a
//                                      C++ catch handler the exception being handled becomes
//                                      its __context__, as in an `except` block.
//   aio::raise_from(exc, cause)        [[noreturn]] `raise exc from cause` (cause may be None).
//   aio::is_ordinary(e)                e is an Exception (not CancelledError, GeneratorExit,
//                                      KeyboardInterrupt, SystemExit): what `except
//                                      Exception` catches.
//   aio::failure                       the exception of a guarded block, for cleanup that
//                                      awaits (C++ forbids co_await in a catch handler).
//   co_await aio::wait(awaitable, failure)
//                                      awaits with `failure` as the exception being handled,
//                                      as a `finally:` block does: errors raised there get
//                                      it as __context__, sys.exc_info() shows it.
//   aio::async_with                    `async with`: enter(), then exit(failure).
//   aio::handling                      RAII: the exception that synchronous Python calls see
//                                      as being handled (sys.exc_info(), implicit
//                                      __context__, logging's exc_info). Never across co_await:
//                                        catch (py::error_already_set &e) {
//                                            aio::handling h(e);
//                                            logger.attr("exception")("failed");
//                                        }
//
// Finally with await (runs on every way out: return, error, cancellation, close()):
//
//   aio::failure failure;
//   try {
//       result = co_await aio::wait(work());
//   } catch (...) {
//       failure.capture();                 // also a CancelledError; nothing is lost
//   }
//   co_await aio::wait(cleanup(), failure); // cleanup sees `failure` as being handled
//   failure.rethrow();                     // no-op when the block succeeded
//
// async with (exit() passes the exception's type, value and traceback to
// __aexit__, or three Nones; a true result suppresses it, else it is raised again):
//
//   aio::async_with client(make_client());
//   py::object c = co_await client.enter();
//   aio::failure failure;
//   try {
//       result = co_await aio::wait(c.attr("get")(url));
//   } catch (...) {
//       failure.capture();
//   }
//   co_await client.exit(failure);
//
// Inside the guarded block, set a variable rather than `co_return`: a co_return
// there would skip the cleanup. To let cancellation and interruption pass a
// handler that takes ordinary errors, write
//   catch (py::error_already_set &e) { if (!aio::is_ordinary(e)) throw; ... }
//
// Rules for bodies
// - Parameters by value, owning what they refer to (py::object, py::dict,
//   std::string, a struct of those, a std::shared_ptr): a coroutine outlives
//   the call that made it, and may outlive its caller's frame too (a parent
//   that ends while its child is parked leaves the child reachable through
//   cr_await, to be resumed later). References, raw pointers, py::handle,
//   views and lambdas with captures are refused at compile time; a struct
//   that holds a pointer is not, so keep pointers out of what a body takes.
// - Name an aggregate (S{...}) before the co_await that uses it: GCC 12
//   destroys an aggregate temporary made inside a co_await expression twice.
// - Only the awaitables above can be co_awaited (others do not compile).
// - The collector sees what a suspended body awaits and its Python-typed
//   parameters; Python objects in its locals and in closures are hidden from
//   it, so a reference cycle through them is not collected (never freed early).
// - close(), and destruction of an unfinished coroutine, throw GeneratorExit into
//   the body (a cleanup that suspends then is a RuntimeError, as in Python) and
//   then destroy the frame, running every C++ destructor.
// - A chain of awaits deeper than the interpreter's recursion limit raises
//   RecursionError, as for coroutines written in Python.
// - Guards and error texts are the interpreter's: "coroutine already executing"
//   (also for Python code that re-enters while throw() or close() is under way),
//   "cannot reuse already awaited coroutine", "coroutine is being awaited
//   already" (a native or Python coroutine that another await drives),
//   "coroutine ignored GeneratorExit"; a StopIteration leaving a body becomes
//   "coroutine raised StopIteration".
// - Everything runs on the event loop's thread with the GIL held (frames are
//   allocated by the interpreter's allocator).
#pragma once

#include "common/capi.hpp"
#include "common/function.hpp"

#include <pybind11/pybind11.h>
#include <structmember.h>

#include <array>
#include <concepts>
#include <coroutine>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace py = pybind11;

namespace aio {

class task;
class failure;

namespace detail {

struct promise_base;
template <class... Args> struct promise;

// How a coroutine body's parameter would borrow (see borrowing below).
enum class borrow_kind : unsigned char { none, reference, pointer, handle, view, closure };

// ---------------------------------------------------------------------------
// The Python error indicator as an exception object

using pysem::take_error;

// Makes `exc` (stolen) the pending error, with its own traceback.
inline void restore_error(PyObject *exc) noexcept {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}

[[noreturn]] inline void throw_error(PyObject *exc) {
    restore_error(exc);
    pysem::throw_pending();
}

// A new reference taken over as it is: null stays null and raises nothing,
// for the paths that must not throw (their callers check). Where a null means
// "raise the pending error", pysem::steal is the one to use.
inline py::object adopt(PyObject *p) noexcept { return py::reinterpret_steal<py::object>(p); }

// An error taken out of the indicator for a body, or for the caller of a
// coroutine: the exception, and whether it was raised as a StopIteration. A
// StopIteration subclass whose constructor makes another exception leaves the
// subclass pending beside that exception: an `except` in a coroutine written
// in Python sees the other exception, but let through, it makes the
// coroutine raise "coroutine raised StopIteration".
struct taken_error {
    py::object exc;
    bool as_stop = false;
};

inline taken_error take_raised() noexcept {
    bool as_stop = PyErr_ExceptionMatches(PyExc_StopIteration);
    return {adopt(take_error()), as_stop};
}

// The value of the pending StopIteration, as the interpreter takes it
// (_PyGen_FetchStopIterationValue): true with a new reference in *out, or
// false with the error left pending when the exception is of another kind.
inline bool take_stop_value(PyObject **out) noexcept {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    if (!value || !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(PyExc_StopIteration))) {
        PyErr_Restore(type, value, trace);
        return false;
    }
    PyObject *result = reinterpret_cast<PyStopIterationObject *>(value)->value;
    *out = Py_NewRef(result ? result : Py_None);
    Py_XDECREF(type);
    Py_DECREF(value);
    Py_XDECREF(trace);
    return true;
}

// The exception of `p` as its Python exception (see pysem::handled_exception).
inline py::object exception_object(std::exception_ptr p) noexcept {
    try {
        std::rethrow_exception(p);
    } catch (...) {
        return pysem::handled_exception();
    }
}

// An exception instance from an instance or a class (instantiated without
// arguments); `what` names the role in the TypeError otherwise.
inline py::object exception_instance(py::handle exc, const char *what) {
    if (PyExceptionInstance_Check(exc.ptr())) return py::reinterpret_borrow<py::object>(exc);
    if (PyExceptionClass_Check(exc.ptr())) {
        PyObject *made = PyObject_CallNoArgs(exc.ptr());
        py::object instance = pysem::steal(made);
        if (!PyExceptionInstance_Check(made)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         exc.ptr(), reinterpret_cast<PyObject *>(Py_TYPE(made)));
            pysem::throw_pending();
        }
        return instance;
    }
    throw py::type_error(what);
}

// exc.__context__ = context, cutting a cycle as the interpreter does. A cycle
// already in the chain below ends the walk (the slow pointer catches up).
inline void chain_context(PyObject *exc, PyObject *context) {
    if (!context || context == exc) return;
    PyObject *o = context, *slow = context;
    bool step_slow = false;
    while (PyObject *next = PyException_GetContext(o)) {
        Py_DECREF(next); // the chain keeps it alive
        if (next == exc) {
            PyException_SetContext(o, nullptr);
            break;
        }
        o = next;
        if (o == slow) break;
        if (step_slow) {
            slow = PyException_GetContext(slow);
            Py_DECREF(slow);
        }
        step_slow = !step_slow;
    }
    PyException_SetContext(exc, Py_NewRef(context));
}

// Implicit chaining for a raise inside a C++ catch handler.
inline void chain_to_handled(PyObject *exc) {
    if (std::exception_ptr p = std::current_exception()) {
        py::object handled = exception_object(p);
        chain_context(exc, handled.ptr());
    }
}

// ---------------------------------------------------------------------------
// Types, made once per extension module and never destroyed.

struct state {
    PyTypeObject *coroutine_type;
    PyTypeObject *function_type;
    PyTypeObject *relay_type;
    PyObject *str_throw;
    PyObject *str_close;
    PyObject *cr_await; // the descriptor of coroutine.cr_await
    PyObject *str_aenter;
    PyObject *str_aexit;
    PyObject *unnamed;
    PyObject *code_template; // the code of `async def _(): pass`
};

inline state &types();

// The exception that synchronous Python code sees as being handled. It is set
// on the innermost entry of the thread's stack of handled exceptions; what
// shows before may come from an outer entry, which must not be copied into
// the innermost one (a suspended Python coroutine would keep it).
class handled_guard {
  public:
    explicit handled_guard(PyObject *exc) noexcept : active_(exc != nullptr) {
        if (active_) {
            saved_ = PyErr_GetHandledException();
            if (saved_) {
                PyErr_SetHandledException(nullptr);
                PyObject *outer = PyErr_GetHandledException();
                if (outer == saved_) Py_CLEAR(saved_); // not the innermost entry's own
                Py_XDECREF(outer);
            }
            PyErr_SetHandledException(exc);
        }
    }
    ~handled_guard() {
        if (active_) {
            PyErr_SetHandledException(saved_);
            Py_XDECREF(saved_);
        }
    }
    handled_guard(const handled_guard &) = delete;
    handled_guard &operator=(const handled_guard &) = delete;

  private:
    bool active_;
    PyObject *saved_ = nullptr;
};

// ---------------------------------------------------------------------------
// Awaiting a Python object

enum class await_kind : unsigned char { plain, aenter, aexit };

inline bool is_iterable_coroutine(PyObject *o) {
    if (!PyGen_CheckExact(o)) return false;
    return (reinterpret_cast<PyGenObject *>(o)->gi_code->co_flags & CO_ITERABLE_COROUTINE) != 0;
}

// The iterator that `await o` drives (a new reference), or null with the
// interpreter's own error.
inline PyObject *awaitable_iter(PyObject *o, await_kind kind) {
    if (PyCoro_CheckExact(o)) {
        // Suspended in an await of its own: someone else drives it.
        PyObject *cr_await = types().cr_await;
        PyObject *yf = Py_TYPE(cr_await)->tp_descr_get(cr_await, o, reinterpret_cast<PyObject *>(&PyCoro_Type));
        if (!yf) return nullptr;
        bool awaited = yf != Py_None;
        Py_DECREF(yf);
        if (awaited) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    if (is_iterable_coroutine(o)) return Py_NewRef(o);
    PyAsyncMethods *am = Py_TYPE(o)->tp_as_async;
    if (am && am->am_await) {
        PyObject *it = am->am_await(o);
        if (!it) return nullptr;
        if (PyCoro_CheckExact(it) || is_iterable_coroutine(it)) {
            Py_DECREF(it);
            PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
            return nullptr;
        }
        if (!PyIter_Check(it)) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
            Py_DECREF(it);
            return nullptr;
        }
        return it;
    }
    switch (kind) {
    case await_kind::aenter:
        PyErr_Format(PyExc_TypeError,
                     "'async with' received an object from __aenter__ that does not implement __await__: %.100s",
                     Py_TYPE(o)->tp_name);
        break;
    case await_kind::aexit:
        PyErr_Format(PyExc_TypeError,
                     "'async with' received an object from __aexit__ that does not implement __await__: %.100s",
                     Py_TYPE(o)->tp_name);
        break;
    default:
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    }
    return nullptr;
}

// Base of the awaiters that aio::task bodies accept; the promise binds them.
struct awaiter_base {
    promise_base *promise_ = nullptr;
};

class wait_awaiter : public awaiter_base {
  public:
    explicit wait_awaiter(py::object target, py::handle handling = {}, await_kind kind = await_kind::plain) noexcept
        : target_(std::move(target)), handling_(py::reinterpret_borrow<py::object>(handling)), kind_(kind) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    py::object await_resume();

  private:
    py::object target_;
    py::object handling_; // held: the failure it came from may go first
    await_kind kind_;
};

// Owns the awaitable for wait(): a temporary is taken over, so that nothing
// but the awaiter holds it while the body is suspended.
inline PyObject *make_coroutine(task &&t, PyObject *qualname) noexcept;

template <class T> py::object own(T &&x) {
    using D = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<D, task>) {
        static_assert(!std::is_lvalue_reference_v<T>, "aio::wait: pass a task by value (std::move)");
        return pysem::steal(make_coroutine(std::move(x), nullptr));
    } else if constexpr (std::is_base_of_v<py::object, D> && !std::is_lvalue_reference_v<T> &&
                  !std::is_const_v<std::remove_reference_t<T>>)
        return py::object(std::move(x));
    else if constexpr (std::is_base_of_v<py::handle, D>)
        return py::reinterpret_borrow<py::object>(x);
    else
        return py::object(std::forward<T>(x));
}

} // namespace detail

// ---------------------------------------------------------------------------
// aio::task

class task {
  public:
    task() noexcept = default;
    task(task &&o) noexcept : frame_(std::exchange(o.frame_, {})), promise_(std::exchange(o.promise_, nullptr)) {}
    task &operator=(task &&o) noexcept {
        if (this != &o) {
            reset();
            frame_ = std::exchange(o.frame_, {});
            promise_ = std::exchange(o.promise_, nullptr);
        }
        return *this;
    }
    ~task() { reset(); }
    explicit operator bool() const noexcept { return bool(frame_); }

  private:
    template <class...> friend struct detail::promise;
    task(std::coroutine_handle<> frame, detail::promise_base *promise) noexcept : frame_(frame), promise_(promise) {}
    void reset() noexcept {
        if (frame_) std::exchange(frame_, {}).destroy();
        promise_ = nullptr;
    }

  public:
    // For the bridge's own use: hands the frame over.
    std::pair<std::coroutine_handle<>, detail::promise_base *> release() noexcept {
        return {std::exchange(frame_, {}), std::exchange(promise_, nullptr)};
    }

  private:
    std::coroutine_handle<> frame_;
    detail::promise_base *promise_ = nullptr;
};

namespace detail {

struct coroutine_object;

// A new coroutine object owning the task's frame (null with MemoryError).
inline PyObject *make_coroutine(task &&t, PyObject *qualname) noexcept;

enum class step : unsigned char { idle, yielded, value, error, returned, raised };

// Frames too large for the interpreter's small-object allocator (a request's
// whole road, say) would go to the system allocator at every call; a few
// freed ones are kept instead, each for a body of its exact size.
class frame_cache {
  public:
    static frame_cache &instance() noexcept {
        static frame_cache cache; // blocks still kept at exit go with the process
        return cache;
    }
    void *take(std::size_t size) noexcept {
        if (size <= small) return nullptr;
        for (slot &s : slots_)
            if (s.block && s.size == size) return std::exchange(s.block, nullptr);
        return nullptr;
    }
    bool keep(void *block, std::size_t size) noexcept {
        if (size <= small) return false;
        for (slot &s : slots_)
            if (!s.block) {
                s = {size, block};
                return true;
            }
        return false;
    }

  private:
    static constexpr std::size_t small = 512; // the small-object allocator's limit
    struct slot {
        std::size_t size;
        void *block;
    };
    std::array<slot, 8> slots_{};
};

struct promise_base {
    py::object yf;   // the iterator being awaited while suspended
    py::object slot; // what passes between the body and the coroutine object
    step status = step::idle;
    py::object handling;                  // being handled while yf runs
    py::object raised_as_stop;            // the last error given to the body raised as a StopIteration
    coroutine_object *owner = nullptr;    // borrowed
    const py::object *const *params = nullptr; // Python-typed parameters in the frame
    std::size_t nparams = 0;

    // Frames come from the interpreter's allocator (the GIL is held wherever
    // a body is created or destroyed); a few large ones are kept for reuse.
    static void *operator new(std::size_t size) {
        if (void *p = frame_cache::instance().take(size)) return p;
        if (void *p = PyMem_Malloc(size)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void *p, std::size_t size) noexcept {
        if (!frame_cache::instance().keep(p, size)) PyMem_Free(p);
    }

    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept {
        slot = pysem::handled_exception();
        status = step::raised;
    }
    // An error for the body to take at its await (see taken_error): let
    // through, one raised as a StopIteration stays one.
    void give_error(taken_error e) noexcept {
        raised_as_stop = e.as_stop ? e.exc : py::object();
        slot = std::move(e.exc);
        status = step::error;
    }
    void return_value(py::object v) noexcept {
        slot = v ? std::move(v) : py::none();
        status = step::returned;
    }
    template <class T>
        requires(!std::is_convertible_v<T, py::object>)
    void return_value(T &&v) {
        if constexpr (std::is_base_of_v<py::handle, std::remove_cvref_t<T>>)
            slot = py::reinterpret_borrow<py::object>(v);
        else
            slot = py::cast(std::forward<T>(v));
        if (!slot) slot = py::none();
        status = step::returned;
    }

    template <class A>
        requires std::derived_from<std::remove_cvref_t<A>, awaiter_base>
    std::remove_cvref_t<A> await_transform(A &&a) {
        std::remove_cvref_t<A> bound(std::forward<A>(a));
        bound.promise_ = this;
        return bound;
    }
    wait_awaiter await_transform(task &&t);
};

// Python-typed by-value parameters are owned by the frame and visible to the
// collector.
template <class A>
inline constexpr bool owned_param = !std::is_reference_v<A> && std::is_base_of_v<py::object, std::remove_cv_t<A>>;

template <class T> struct is_view : std::false_type {};
template <class C, class Tr> struct is_view<std::basic_string_view<C, Tr>> : std::true_type {};
template <class T, std::size_t N> struct is_view<std::span<T, N>> : std::true_type {};
template <class T> struct is_view<std::reference_wrapper<T>> : std::true_type {};

// What a body's parameter may be: something the frame owns. A coroutine can
// outlive the call and the caller's frame (a parent that ends while its child
// is parked leaves the child reachable through cr_await), so nothing it
// takes may point into them. Refused: references (a member or capturing
// lambda coroutine borrows its object; a captureless one holds nothing),
// object pointers, py::handle, views, and classes that cannot be assigned,
// which a lambda with captures (by reference or by value) is: pass what it
// captures as parameters instead.
template <class A> inline constexpr borrow_kind borrowing() {
    using D = std::remove_cvref_t<A>;
    if constexpr (std::is_reference_v<A> && !std::is_empty_v<D>) return borrow_kind::reference;
    else if constexpr (std::is_pointer_v<D> && !std::is_function_v<std::remove_pointer_t<D>>) return borrow_kind::pointer;
    else if constexpr (std::is_same_v<D, py::handle>) return borrow_kind::handle;
    else if constexpr (is_view<D>::value) return borrow_kind::view;
    else if constexpr (std::is_class_v<D> && !std::is_empty_v<D> && !std::is_move_assignable_v<D>)
        return borrow_kind::closure;
    else return borrow_kind::none;
}

// Whether a body's first parameter may be its object: a reference to a class
// (the check in the promise refuses one that is not an empty closure). Asked
// inside a lambda body, whose closure type is not complete yet.
template <class... Args> inline constexpr bool object_first = false;
template <class First, class... Rest>
inline constexpr bool object_first<First, Rest...> =
    std::is_reference_v<First> && std::is_class_v<std::remove_cvref_t<First>>;

template <class... Args> struct after_first {
    using type = std::tuple<>;
};
template <class First, class... Rest> struct after_first<First, Rest...> {
    using type = std::tuple<std::remove_cvref_t<Rest>...>;
};

template <class... Args> struct promise final : promise_base {
    static constexpr std::size_t owned = (std::size_t{owned_param<Args>} + ... + 0);

    explicit promise(const Args &...args) noexcept {
        (check<Args>(), ...);
        [[maybe_unused]] std::size_t i = 0;
        (collect<Args>(args, i), ...);
        params = slots_.data();
        nparams = owned;
    }

    // Clang 19 leaves a lambda body's object out of the promise's arguments,
    // which the standard passes first: the rest are the same parameters, one
    // place on. The object is never an owned one, so the slots agree.
    template <class... Rest>
        requires(object_first<Args...> &&
                 std::is_same_v<std::tuple<Rest...>, typename after_first<Args...>::type>)
    explicit promise(const Rest &...rest) noexcept {
        (check<Args>(), ...);
        collect_after_object(std::index_sequence_for<Rest...>{}, rest...);
        params = slots_.data();
        nparams = owned;
    }

    task get_return_object() noexcept { return task(std::coroutine_handle<promise>::from_promise(*this), this); }

  private:
    template <class A> static constexpr void check() {
        constexpr borrow_kind b = borrowing<A>();
        static_assert(b != borrow_kind::reference,
                      "aio::task body: take parameters by value, and no member or capturing-lambda coroutines "
                      "(the coroutine may outlive the caller's frame)");
        static_assert(b != borrow_kind::pointer, "aio::task body: no raw pointers; pass what they point to by value");
        static_assert(b != borrow_kind::handle,
                      "aio::task body: take py::object, not py::handle (a handle does not keep its object alive)");
        static_assert(b != borrow_kind::view, "aio::task body: take the owning type, not a view");
        static_assert(b != borrow_kind::closure,
                      "aio::task body: a lambda with captures may borrow; pass its captures as parameters");
    }
    template <class A, class V> void collect(const V &arg, std::size_t &i) noexcept {
        if constexpr (owned_param<A>) slots_[i++] = &arg;
    }
    template <std::size_t... I, class... Rest>
    void collect_after_object(std::index_sequence<I...>, const Rest &...rest) noexcept {
        [[maybe_unused]] std::size_t i = 0;
        (collect<std::tuple_element_t<I + 1, std::tuple<Args...>>>(rest, i), ...);
    }
    std::array<const py::object *, (owned ? owned : 1)> slots_{};
};

} // namespace detail
} // namespace aio

template <class... Args> struct std::coroutine_traits<aio::task, Args...> {
    using promise_type = aio::detail::promise<Args...>;
};

namespace aio {

// ---------------------------------------------------------------------------
// failure: the exception of a guarded block

class failure {
  public:
    failure() = default;

    // Call inside a catch handler: keeps the exception being handled, as its
    // Python exception (a C++ exception as pybind11 would raise it).
    void capture() noexcept { value_ = pysem::handled_exception(); }
    void capture(std::exception_ptr p) noexcept { value_ = detail::exception_object(p); }

    explicit operator bool() const noexcept { return bool(value_); }
    // The exception, or None.
    py::object value() const { return value_ ? value_ : py::none(); }
    py::object type() const {
        return value_ ? py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(value_.ptr())))
                      : py::none();
    }
    py::object traceback() const {
        if (!value_) return py::none();
        PyObject *tb = PyException_GetTraceback(value_.ptr());
        return tb ? pysem::steal(tb) : py::none();
    }
    bool matches(py::handle exc_type) const {
        return value_ && PyErr_GivenExceptionMatches(value_.ptr(), exc_type.ptr());
    }
    void clear() noexcept { value_ = py::object(); }
    // Raises the exception again (traceback kept); nothing when empty.
    void rethrow() {
        if (value_) detail::throw_error(value_.release().ptr());
    }

  private:
    friend class async_with;
    friend class handling;
    template <class T> friend detail::wait_awaiter wait(T &&, const failure &);
    PyObject *raw() const noexcept { return value_.ptr(); }
    py::object value_;
};

// co_await aio::wait(x): see the top of this file.
template <class T> detail::wait_awaiter wait(T &&awaitable) {
    return detail::wait_awaiter(detail::own(std::forward<T>(awaitable)));
}

// Awaits `awaitable` while `handling` is the exception being handled, as a
// `finally:` or `except:` block of Python code awaits.
template <class T> detail::wait_awaiter wait(T &&awaitable, const failure &handling) {
    return detail::wait_awaiter(detail::own(std::forward<T>(awaitable)), handling.value_);
}

class handling : detail::handled_guard {
  public:
    explicit handling(const failure &f) noexcept : handled_guard(f.raw()) {}
    explicit handling(const py::error_already_set &e) noexcept : handled_guard(e.value().ptr()) {}
};

inline bool is_ordinary(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

[[noreturn]] inline void raise(py::handle exc) {
    py::object value = detail::exception_instance(exc, "exceptions must derive from BaseException");
    detail::chain_to_handled(value.ptr());
    detail::throw_error(value.release().ptr());
}

[[noreturn]] inline void raise_from(py::handle exc, py::handle cause) {
    py::object value = detail::exception_instance(exc, "exceptions must derive from BaseException");
    PyObject *c = nullptr;
    if (cause && !cause.is_none())
        c = detail::exception_instance(cause, "exception causes must derive from BaseException").release().ptr();
    PyException_SetCause(value.ptr(), c);
    detail::chain_to_handled(value.ptr());
    detail::throw_error(value.release().ptr());
}

namespace detail {

class exit_awaiter : public awaiter_base {
  public:
    exit_awaiter(wait_awaiter inner, failure *f) noexcept : inner_(std::move(inner)), failure_(f) {}
    bool await_ready() {
        inner_.promise_ = promise_;
        return inner_.await_ready();
    }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    void await_resume() {
        py::object result = inner_.await_resume();
        if (!*failure_) return;
        int suppress;
        {
            // Its truth is asked in the handler, as `async with` asks it.
            py::object handled = failure_->value();
            handled_guard guard(handled.ptr());
            suppress = PyObject_IsTrue(result.ptr());
        }
        if (suppress < 0) pysem::throw_pending();
        if (suppress)
            failure_->clear();
        else
            failure_->rethrow();
    }

  private:
    wait_awaiter inner_;
    failure *failure_;
};

// A special method bound to its object, looked up on the type as the
// interpreter does.
inline py::object lookup_special(py::handle obj, PyObject *name) {
    PyObject *descr = capi::type_lookup(Py_TYPE(obj.ptr()), name);
    if (!descr) return py::object();
    if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get) {
        return pysem::steal(get(descr, obj.ptr(), reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))));
    }
    return py::reinterpret_borrow<py::object>(descr);
}

} // namespace detail

// `async with manager:` in two awaits; see the top of this file.
class async_with {
  public:
    explicit async_with(py::handle manager) {
        enter_ = detail::lookup_special(manager, detail::types().str_aenter);
        if (!enter_) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
                         Py_TYPE(manager.ptr())->tp_name);
            pysem::throw_pending();
        }
        exit_ = detail::lookup_special(manager, detail::types().str_aexit);
        if (!exit_) {
            PyErr_Format(PyExc_TypeError,
                         "'%.200s' object does not support the asynchronous context manager protocol "
                         "(missed __aexit__ method)",
                         Py_TYPE(manager.ptr())->tp_name);
            pysem::throw_pending();
        }
    }

    // co_await: the value of __aenter__().
    detail::wait_awaiter enter() {
        return detail::wait_awaiter(pysem::steal(PyObject_CallNoArgs(enter_.ptr())), {}, detail::await_kind::aenter);
    }

    // co_await: __aexit__ with the failure's details (or three Nones); raises
    // the failure again unless __aexit__ returns a true value.
    detail::exit_awaiter exit(failure &f) {
        PyObject *result;
        {
            detail::handled_guard guard(f.raw());
            PyObject *args[3] = {f.type().release().ptr(), f.value().release().ptr(), f.traceback().release().ptr()};
            result = PyObject_Vectorcall(exit_.ptr(), args, 3, nullptr);
            for (PyObject *a : args) Py_DECREF(a);
        }
        return detail::exit_awaiter(detail::wait_awaiter(pysem::steal(result), f.value_, detail::await_kind::aexit), &f);
    }

  private:
    py::object enter_, exit_;
};

} // namespace aio

// ---------------------------------------------------------------------------
// The coroutine object

namespace aio::detail {

enum class run_state : unsigned char { created, suspended, running, done };

struct coroutine_object {
    PyObject_HEAD
    std::coroutine_handle<> frame; // null once finished or closed
    promise_base *promise;
    PyObject *function; // the coroutine function that made it: keeps its closure alive
    PyObject *qualname;
    PyObject *weakrefs;
    run_state state;
};

inline bool is_coroutine(PyObject *o) noexcept { return Py_IS_TYPE(o, types().coroutine_type); }
inline coroutine_object *as_coroutine(PyObject *o) noexcept { return reinterpret_cast<coroutine_object *>(o); }

inline PyObject *make_coroutine(task &&t, PyObject *qualname) noexcept {
    auto [frame, promise] = t.release();
    if (!frame) {
        PyErr_SetString(PyExc_SystemError, "aio: empty task");
        return nullptr;
    }
    // The types are made at the first use, which may fail (and raise).
    coroutine_object *c = nullptr;
    if (!pysem::run_c_api([&] { c = PyObject_GC_New(coroutine_object, types().coroutine_type); }) || !c) {
        frame.destroy();
        return nullptr;
    }
    c->frame = frame;
    c->promise = promise;
    c->function = nullptr;
    c->qualname = Py_XNewRef(qualname);
    c->weakrefs = nullptr;
    c->state = run_state::created;
    promise->owner = c;
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject *>(c);
}

// Destroys the frame: every destructor of the body runs, every reference it
// held goes.
inline void release_frame(coroutine_object *c) noexcept {
    c->state = run_state::done;
    c->promise = nullptr;
    if (c->frame) std::exchange(c->frame, {}).destroy();
}

inline void set_stop_iteration(PyObject *value) noexcept { // steals
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // StopIteration(value) itself: a tuple must stay one value.
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (!stop) return;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
}

// The error that left the body; a StopIteration becomes a RuntimeError, as it
// does for coroutines written in Python.
inline void raise_from_body(taken_error e) noexcept {
    PyObject *exc = e.exc.release().ptr();
    if (e.as_stop || PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
        PyObject *runtime = take_error();
        PyException_SetCause(runtime, Py_NewRef(exc));
        PyException_SetContext(runtime, exc);
        exc = runtime;
    }
    restore_error(exc);
}

inline void deliver(promise_base &p, PySendResult r, PyObject *value) noexcept {
    if (r == PYGEN_RETURN) {
        p.slot = adopt(value);
        p.status = step::value;
    } else {
        p.give_error(take_raised());
    }
}

// Runs the body up to its next suspension or its end.
inline PySendResult run(coroutine_object *c, PyObject **out) noexcept {
    c->state = run_state::running;
    c->frame.resume();
    promise_base &p = *c->promise;
    switch (p.status) {
    case step::yielded:
        p.status = step::idle;
        c->state = run_state::suspended;
        *out = p.slot.release().ptr();
        return PYGEN_NEXT;
    case step::returned: {
        PyObject *result = p.slot.release().ptr();
        release_frame(c);
        *out = result;
        return PYGEN_RETURN;
    }
    case step::raised: {
        bool as_stop = p.slot.ptr() == p.raised_as_stop.ptr();
        taken_error e{std::move(p.slot), as_stop};
        release_frame(c);
        raise_from_body(std::move(e));
        return PYGEN_ERROR;
    }
    default:
        release_frame(c);
        PyErr_Format(PyExc_SystemError, "native coroutine %R ended without co_return",
                     c->qualname ? c->qualname : types().unnamed);
        return PYGEN_ERROR;
    }
}

inline PySendResult coro_send(coroutine_object *c, PyObject *arg, PyObject **out) noexcept;
inline PyObject *coro_close(coroutine_object *c) noexcept;
inline PySendResult coro_throw(coroutine_object *c, PyObject *type, PyObject *value, PyObject *trace,
                               PyObject **out) noexcept;

// The interpreter's refusal of a coroutine that runs or has ended.
inline PySendResult guard_state(run_state state) noexcept {
    if (state == run_state::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (state == run_state::done) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    return PYGEN_NEXT;
}

inline PySendResult guard_state(coroutine_object *c) noexcept { return guard_state(c->state); }

// Awaits nest in C: the interpreter's recursion limit keeps a deep chain from
// overflowing the stack, as it does for coroutines written in Python.
class depth_guard {
  public:
    depth_guard() noexcept : ok_(Py_EnterRecursiveCall(" in native coroutine") == 0) {}
    ~depth_guard() {
        if (ok_) Py_LeaveRecursiveCall();
    }
    explicit operator bool() const noexcept { return ok_; }
    depth_guard(const depth_guard &) = delete;
    depth_guard &operator=(const depth_guard &) = delete;

  private:
    bool ok_;
};

inline PySendResult coro_send(coroutine_object *c, PyObject *arg, PyObject **out) noexcept {
    if (guard_state(c) == PYGEN_ERROR) return PYGEN_ERROR;
    depth_guard depth;
    if (!depth) return PYGEN_ERROR;
    if (c->state == run_state::created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        return run(c, out);
    }
    promise_base &p = *c->promise;
    if (!p.yf) {
        p.slot = py::reinterpret_borrow<py::object>(arg);
        p.status = step::value;
        return run(c, out);
    }
    c->state = run_state::running;
    PyObject *r;
    PySendResult s;
    {
        handled_guard guard(p.handling.ptr());
        s = PyIter_Send(p.yf.ptr(), arg, &r);
    }
    if (s == PYGEN_NEXT) {
        c->state = run_state::suspended;
        *out = r;
        return PYGEN_NEXT;
    }
    deliver(p, s, r);
    p.yf = py::object();
    return run(c, out);
}

// Runs the body on what throw() or close() gave at its await. An error goes
// to the body chained to the exception that the await handles, as the
// interpreter chains the error it resumes a frame with: one thrown in from
// outside (a cancellation, a Future's error) was raised where nothing was
// being handled.
inline PySendResult resume_thrown(coroutine_object *c, PyObject **out) noexcept {
    promise_base &p = *c->promise;
    p.yf = py::object();
    if (p.status == step::error && p.handling) chain_context(p.slot.ptr(), p.handling.ptr());
    return run(c, out);
}

// close() on what is being awaited: 0, or -1 with the error set.
inline int close_iter(PyObject *handling, PyObject *yf) noexcept {
    handled_guard guard(handling);
    if (is_coroutine(yf)) {
        PyObject *r = coro_close(as_coroutine(yf));
        if (!r) return -1;
        Py_DECREF(r);
        return 0;
    }
    PyObject *close = nullptr;
    if (capi::lookup_attr(yf, types().str_close, &close) < 0) PyErr_WriteUnraisable(yf);
    if (!close) return 0;
    PyObject *r = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

inline constexpr int no_throw_method = 10;
inline constexpr int lookup_failed = 11;

// throw() on what is being awaited, with the arguments as given.
inline int throw_iter(PyObject *handling, PyObject *yf, PyObject *type, PyObject *value, PyObject *trace,
                      PyObject **out) noexcept {
    handled_guard guard(handling);
    if (is_coroutine(yf)) return coro_throw(as_coroutine(yf), type, value, trace, out);
    PyObject *throw_ = nullptr;
    if (capi::lookup_attr(yf, types().str_throw, &throw_) < 0) return lookup_failed;
    if (!throw_) return no_throw_method;
    PyObject *args[3] = {type, value, trace};
    std::size_t n = value ? (trace ? 3 : 2) : 1;
    PyObject *r = PyObject_Vectorcall(throw_, args, n, nullptr);
    Py_DECREF(throw_);
    if (r) {
        *out = r;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) && take_stop_value(out)) return PYGEN_RETURN;
    return PYGEN_ERROR;
}

// The exception that throw(type, value, trace) raises, checked as the
// interpreter checks it; no exception, with a TypeError set, when refused.
inline taken_error thrown_exception(PyObject *type, PyObject *value, PyObject *trace) noexcept {
    if (trace == Py_None) trace = nullptr;
    if (trace && !PyTraceBack_Check(trace)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return {};
    }
    if (PyExceptionClass_Check(type)) {
        PyErr_Restore(Py_NewRef(type), Py_XNewRef(value), Py_XNewRef(trace));
        return take_raised();
    }
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return {};
        }
        if (trace) PyException_SetTraceback(type, trace);
        return {py::reinterpret_borrow<py::object>(type)};
    }
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return {};
}

inline PySendResult coro_throw(coroutine_object *c, PyObject *type, PyObject *value, PyObject *trace,
                               PyObject **out) noexcept {
    if (c->state == run_state::running) return guard_state(c);
    depth_guard depth;
    if (!depth) return PYGEN_ERROR;
    if (c->state != run_state::suspended) {
        taken_error e = thrown_exception(type, value, trace);
        if (!e.exc) return PYGEN_ERROR;
        // The exception's constructor may have stepped the coroutine meanwhile.
        switch (c->state) {
        case run_state::created: // thrown in before the first step: the body never runs
            release_frame(c);
            raise_from_body(std::move(e));
            return PYGEN_ERROR;
        case run_state::suspended: // now parked in an await: raised there, as Python does
            c->state = run_state::running;
            c->promise->give_error(std::move(e));
            return resume_thrown(c, out);
        default:
            return guard_state(c);
        }
    }
    // Running until the body has taken what comes: Python code that runs
    // meanwhile (the awaited object, an exception's constructor, a release)
    // cannot step the body under our feet.
    c->state = run_state::running;
    promise_base &p = *c->promise;
    if (p.yf) {
        if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
            if (close_iter(p.handling.ptr(), p.yf.ptr()) < 0) {
                deliver(p, PYGEN_ERROR, nullptr);
                return resume_thrown(c, out);
            }
        } else {
            PyObject *r = nullptr;
            int s = throw_iter(p.handling.ptr(), p.yf.ptr(), type, value, trace, &r);
            if (s == PYGEN_NEXT || s == lookup_failed) {
                c->state = run_state::suspended;
                if (s == lookup_failed) return PYGEN_ERROR;
                *out = r;
                return PYGEN_NEXT;
            }
            if (s != no_throw_method) {
                deliver(p, static_cast<PySendResult>(s), r);
                return resume_thrown(c, out);
            }
        }
    }
    taken_error e = thrown_exception(type, value, trace);
    if (!e.exc) {
        c->state = run_state::suspended;
        return PYGEN_ERROR;
    }
    p.give_error(std::move(e));
    return resume_thrown(c, out);
}

inline PyObject *coro_close(coroutine_object *c) noexcept {
    if (c->state == run_state::running) {
        guard_state(c);
        return nullptr;
    }
    if (c->state != run_state::suspended) {
        release_frame(c);
        Py_RETURN_NONE;
    }
    depth_guard depth;
    if (!depth) return nullptr;
    c->state = run_state::running; // until the body runs, as in coro_throw
    promise_base &p = *c->promise;
    int err = p.yf ? close_iter(p.handling.ptr(), p.yf.ptr()) : 0;
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    deliver(p, PYGEN_ERROR, nullptr);
    PyObject *r = nullptr;
    PySendResult s = resume_thrown(c, &r);
    if (s == PYGEN_NEXT) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (s == PYGEN_RETURN) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// Slots and methods

inline PyObject *coro_result(PySendResult s, PyObject *r) noexcept {
    if (s == PYGEN_NEXT) return r;
    if (s == PYGEN_RETURN) set_stop_iteration(r);
    return nullptr;
}

// The Python side of a coroutine object of type T (with `state` and
// `weakrefs` members), made from its send, throw and close: what the
// frame-backed coroutines and the relays share.
template <class T, PySendResult (*Send)(T *, PyObject *, PyObject **),
          PySendResult (*Throw)(T *, PyObject *, PyObject *, PyObject *, PyObject **), PyObject *(*Close)(T *)>
struct protocol {
    static T *of(PyObject *self) noexcept { return reinterpret_cast<T *>(self); }

    // An error leaves *out null, as the interpreter's send opcode expects.
    static PySendResult am_send(PyObject *self, PyObject *arg, PyObject **out) {
        PySendResult s = Send(of(self), arg, out);
        if (s == PYGEN_ERROR) *out = nullptr;
        return s;
    }

    static PyObject *iternext(PyObject *self) {
        PyObject *r = nullptr;
        PySendResult s = Send(of(self), Py_None, &r);
        if (s == PYGEN_RETURN && r == Py_None) {
            Py_DECREF(r); // a bare StopIteration, as the interpreter's own
            return nullptr;
        }
        return coro_result(s, r);
    }

    static PyObject *send(PyObject *self, PyObject *arg) {
        PyObject *r = nullptr;
        PySendResult s = Send(of(self), arg, &r);
        return coro_result(s, r);
    }

    static PyObject *throw_(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
        if (nargs < 1 || nargs > 3) {
            PyErr_Format(PyExc_TypeError, nargs < 1 ? "throw expected at least 1 argument, got %zd"
                                                    : "throw expected at most 3 arguments, got %zd",
                         nargs);
            return nullptr;
        }
        PyObject *r = nullptr;
        PySendResult s =
            Throw(of(self), args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr, &r);
        return coro_result(s, r);
    }

    static PyObject *close(PyObject *self, PyObject *) { return Close(of(self)); }

    static PyObject *get_running(PyObject *self, void *) {
        return PyBool_FromLong(of(self)->state == run_state::running);
    }
    static PyObject *get_suspended(PyObject *self, void *) {
        return PyBool_FromLong(of(self)->state == run_state::suspended);
    }

    // An unfinished coroutine is closed when it goes, as the interpreter closes its own.
    static void finalize(PyObject *self) {
        if (of(self)->state != run_state::suspended) return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyObject *r = Close(of(self));
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
        PyErr_Restore(type, value, trace);
    }

    // The start of tp_dealloc: untracked, weak references cleared, and an
    // unfinished coroutine closed; false when closing brought it back to life.
    static bool going(PyObject *self) {
        PyObject_GC_UnTrack(self);
        if (of(self)->weakrefs) PyObject_ClearWeakRefs(self);
        if (of(self)->state == run_state::suspended) { // else finalize has nothing to do
            PyObject_GC_Track(self);
            if (PyObject_CallFinalizerFromDealloc(self)) return false;
            PyObject_GC_UnTrack(self);
        }
        return true;
    }

    static inline PyMethodDef methods[] = {
        {"send", send, METH_O,
         "send(value) -> send 'value' into the coroutine,\nreturn next yielded value or raise StopIteration."},
        {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,
         "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next yielded value "
         "or raise\nStopIteration."},
        {"close", close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
        {nullptr, nullptr, 0, nullptr}};
};

using coroutine_protocol = protocol<coroutine_object, coro_send, coro_throw, coro_close>;

inline PyObject *coro_await(PyObject *self) {
    coroutine_object *c = as_coroutine(self);
    if (c->state == run_state::suspended && c->promise->yf) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

inline PyObject *coro_repr(PyObject *self) {
    coroutine_object *c = as_coroutine(self);
    return PyUnicode_FromFormat("<coroutine object %U at %p>", c->qualname ? c->qualname : types().unnamed, self);
}

inline int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    coroutine_object *c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->function);
    if (promise_base *p = c->promise) {
        Py_VISIT(p->yf.ptr());
        Py_VISIT(p->slot.ptr());
        Py_VISIT(p->raised_as_stop.ptr());
        for (std::size_t i = 0; i < p->nparams; ++i) Py_VISIT(p->params[i]->ptr());
    }
    return 0;
}

inline int coro_clear(PyObject *self) {
    coroutine_object *c = as_coroutine(self);
    if (c->state == run_state::running) return 0;
    release_frame(c);
    Py_CLEAR(c->function);
    return 0;
}

inline void coro_dealloc(PyObject *self) {
    if (!coroutine_protocol::going(self)) return; // resurrected
    coroutine_object *c = as_coroutine(self);
    release_frame(c);
    Py_CLEAR(c->function);
    Py_CLEAR(c->qualname);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The last dotted part of a qualified name.
inline PyObject *short_name(PyObject *qualname) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(qualname);
    Py_ssize_t dot = PyUnicode_FindChar(qualname, '.', 0, n, -1);
    if (dot == -2) return nullptr;
    if (dot < 0) return Py_NewRef(qualname);
    return PyUnicode_Substring(qualname, dot + 1, n);
}

inline PyObject *coro_get_qualname(PyObject *self, void *) {
    coroutine_object *c = as_coroutine(self);
    return Py_NewRef(c->qualname ? c->qualname : types().unnamed);
}
inline PyObject *coro_get_name(PyObject *self, void *) {
    coroutine_object *c = as_coroutine(self);
    return short_name(c->qualname ? c->qualname : types().unnamed);
}
inline PyObject *coro_get_await(PyObject *self, void *) {
    coroutine_object *c = as_coroutine(self);
    PyObject *yf = c->state == run_state::done || !c->promise ? nullptr : c->promise->yf.ptr();
    return Py_NewRef(yf ? yf : Py_None);
}

inline PyGetSetDef coroutine_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {"cr_running", coroutine_protocol::get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coroutine_protocol::get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(coroutine_object, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// ---------------------------------------------------------------------------
// The coroutine function object

struct function_object;

// The body of a relay's coroutines (see aio::relay): start(arg) gives the one
// awaitable, finish(arg, result) the coroutine's result. `arg` is the call's
// one argument, or null for a relay that takes none.
struct relay_base {
    explicit relay_base(Py_ssize_t arity) noexcept : arity(arity) {}
    virtual ~relay_base() = default;
    // Made and freed with the GIL held, as often as calls: the interpreter's
    // small-object allocator serves them.
    static void *operator new(std::size_t size) {
        if (void *p = PyMem_Malloc(size)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void *p) noexcept { PyMem_Free(p); }
    virtual py::object start(py::handle arg) = 0;
    virtual py::object finish(py::handle arg, py::object result) = 0;
    // The Python objects the relay holds, for the collector.
    virtual int traverse(visitproc, void *) { return 0; }
    const Py_ssize_t arity; // 0 or 1
};

// The parameters of a function made at run time, which have no names of
// their own: arg1, arg2, ... by position only, or *args, or *args, **kwargs.
struct parameters {
    Py_ssize_t positional = 0;
    bool varargs = false;
    bool varkw = false;
};

struct closure_base {
    virtual ~closure_base() = default;
    virtual task call(function_object *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) = 0;
    virtual parameters shape() const = 0;
};

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *impl;               // the native function made from a header, or null
    const pysem::signature *sig;  // that header's, kept for the life of the process
    closure_base *closure;        // a run-time closure, or null
    relay_base *relay;            // a relay (below), or null
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *code;               // __code__ and __annotations__, made when first read
    PyObject *annotations;
};

inline function_object *as_function(PyObject *o) noexcept { return reinterpret_cast<function_object *>(o); }

inline PyObject *function_vectorcall(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    function_object *f = as_function(self);
    PyObject *result;
    if (f->impl) {
        result = PyObject_Vectorcall(f->impl, args, nargsf, kwnames);
    } else {
        try {
            result = make_coroutine(f->closure->call(f, args, PyVectorcall_NARGS(nargsf), kwnames), nullptr);
        } catch (...) {
            pysem::set_error_from_exception();
            return nullptr;
        }
    }
    if (result && is_coroutine(result)) {
        coroutine_object *c = as_coroutine(result);
        if (!c->function) {
            c->function = Py_NewRef(self);
            Py_XSETREF(c->qualname, Py_NewRef(f->qualname));
        }
    }
    return result;
}

inline PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    function_object *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->impl);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    return f->relay ? f->relay->traverse(visit, arg) : 0;
}

inline void function_dealloc(PyObject *self) {
    function_object *f = as_function(self);
    PyObject_GC_UnTrack(self);
    delete std::exchange(f->closure, nullptr);
    delete std::exchange(f->relay, nullptr);
    Py_CLEAR(f->impl);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->code);
    Py_CLEAR(f->annotations);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject *function_get_name(PyObject *self, void *) { return short_name(as_function(self)->qualname); }
inline PyObject *function_get_qualname(PyObject *self, void *) { return Py_NewRef(as_function(self)->qualname); }
inline PyObject *function_get_module(PyObject *self, void *) { return Py_NewRef(as_function(self)->module); }
inline PyObject *function_get_doc(PyObject *self, void *) { return Py_NewRef(as_function(self)->doc); }

// The parameters of a function made at run time (a closure or a relay).
inline parameters shape_of(function_object *f) noexcept {
    if (f->relay) return {f->relay->arity};
    return f->closure->shape();
}

// __code__: the code of an `async def` with the function's name and
// parameters, which nothing runs. inspect.iscoroutinefunction (which pydantic,
// Starlette and the MCP SDK ask, as asyncio does) reads its coroutine flag;
// the parameters beside it are the ones inspect.signature shows.
inline py::object make_code(function_object *f) {
    using namespace pybind11::literals;
    py::list names;
    Py_ssize_t positional = 0, positional_only = 0, keyword_only = 0;
    int flags = 0;
    if (const pysem::signature *sig = f->sig) {
        if (sig->method) {
            names.append(PYSEM_LIT("self"));
            positional_only = 1;
        }
        for (const py::str &name : sig->names) names.append(name);
        positional = positional_only + sig->positional;
        keyword_only = sig->keyword_only;
    } else {
        parameters p = shape_of(f);
        for (Py_ssize_t i = 1; i <= p.positional; ++i) names.append(pysem::steal(PyUnicode_FromFormat("arg%zd", i)));
        positional = positional_only = p.positional;
        if (p.varargs) {
            names.append(PYSEM_LIT("args"));
            flags |= CO_VARARGS;
        }
        if (p.varkw) {
            names.append(PYSEM_LIT("kwargs"));
            flags |= CO_VARKEYWORDS;
        }
    }
    py::handle code_template(types().code_template);
    flags |= code_template.attr("co_flags").cast<int>();
    return code_template.attr("replace")(
        "co_argcount"_a = positional, "co_posonlyargcount"_a = positional_only, "co_kwonlyargcount"_a = keyword_only,
        "co_nlocals"_a = names.size(), "co_varnames"_a = py::tuple(names), "co_flags"_a = flags,
        "co_name"_a = pysem::steal(short_name(f->qualname)), "co_qualname"_a = py::handle(f->qualname));
}

inline PyObject *function_get_code(PyObject *self, void *) {
    function_object *f = as_function(self);
    if (!f->code) {
        try {
            py::object code = make_code(f);
            if (!f->code) f->code = code.release().ptr(); // unless made meanwhile
        } catch (...) {
            pysem::set_error_from_exception();
            return nullptr;
        }
    }
    return Py_NewRef(f->code);
}

// __defaults__ and __kwdefaults__, as a function written in Python has them:
// None where there are none.
inline PyObject *function_get_defaults(PyObject *self, void *) {
    const pysem::signature *sig = as_function(self)->sig;
    if (!sig || !sig->with_default) Py_RETURN_NONE;
    PyObject *defaults = PyTuple_New(sig->with_default);
    if (!defaults) return nullptr;
    for (Py_ssize_t i = 0; i < sig->with_default; ++i)
        PyTuple_SET_ITEM(defaults, i, Py_NewRef(sig->defaults[sig->positional - sig->with_default + i].ptr()));
    return defaults;
}

inline PyObject *function_get_kwdefaults(PyObject *self, void *) {
    const pysem::signature *sig = as_function(self)->sig;
    if (!sig) Py_RETURN_NONE;
    PyObject *defaults = nullptr;
    for (Py_ssize_t i = sig->positional; i < sig->total(); ++i) {
        if (!sig->defaults[i]) continue;
        if (!defaults && !(defaults = PyDict_New())) return nullptr;
        if (PyDict_SetItem(defaults, sig->names[i].ptr(), sig->defaults[i].ptr()) < 0) {
            Py_DECREF(defaults);
            return nullptr;
        }
    }
    return defaults ? defaults : Py_NewRef(Py_None);
}

inline PyObject *function_get_annotations(PyObject *self, void *) {
    function_object *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

// What inspect.signature and help() read: the wrapped function's own. A
// module function's native code takes the module first ("$module"), which
// inspect drops only for a callable bound to the module; this one is not.
inline PyObject *text_signature(function_object *f) {
    PyObject *impl = f->impl;
    if (!impl) {
        parameters p = shape_of(f);
        std::string text = "(";
        for (Py_ssize_t i = 1; i <= p.positional; ++i) text += "arg" + std::to_string(i) + ", ";
        if (p.positional) text += "/";
        if (p.varargs) text += "*args";
        if (p.varkw) text += ", **kwargs";
        text += ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    PyObject *found = nullptr;
    if (capi::lookup_attr(impl, PYSEM_LIT("__text_signature__").ptr(), &found) < 0) return nullptr;
    if (!found) Py_RETURN_NONE;
    PyObject *bound = PyCFunction_Check(impl) ? PyCFunction_GET_SELF(impl) : nullptr;
    if (!PyUnicode_Check(found) || !bound || !PyModule_Check(bound)) return found;
    py::object text = adopt(found);
    Py_ssize_t n = PyUnicode_GET_LENGTH(found);
    if (PyUnicode_CompareWithASCIIString(found, "($module)") == 0) return PyUnicode_FromString("()");
    Py_ssize_t bound_first = n > 10 ? PyUnicode_Tailmatch(found, PYSEM_LIT("($module, ").ptr(), 0, 10, -1) : 0;
    if (bound_first < 0) return nullptr;
    if (!bound_first) return text.release().ptr();
    py::object tail = pysem::steal(PyUnicode_Substring(found, 10, n));
    return PyUnicode_Concat(PYSEM_LIT("(").ptr(), tail.ptr());
}

inline PyObject *function_get_text_signature(PyObject *self, void *) {
    PyObject *made = nullptr;
    pysem::run_c_api([&] { made = text_signature(as_function(self)); });
    return made;
}

inline PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", function_get_qualname, nullptr, nullptr, nullptr},
    {"__module__", function_get_module, nullptr, nullptr, nullptr},
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", function_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(function_object, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

inline py::object make_function(PyObject *impl, closure_base *closure, py::handle qualname, py::handle module,
                                py::handle doc, const pysem::signature *sig = nullptr) {
    auto *f = PyObject_GC_New(function_object, types().function_type);
    if (!f) {
        delete closure;
        pysem::throw_pending();
    }
    f->vectorcall = function_vectorcall;
    f->impl = Py_XNewRef(impl);
    f->sig = sig;
    f->closure = closure;
    f->relay = nullptr;
    f->qualname = Py_NewRef(qualname.ptr());
    f->module = Py_NewRef(module ? module.ptr() : Py_None);
    f->doc = Py_NewRef(doc ? doc.ptr() : Py_None);
    f->code = nullptr;
    f->annotations = nullptr;
    PyObject_GC_Track(f);
    return pysem::steal(reinterpret_cast<PyObject *>(f));
}

// ---------------------------------------------------------------------------
// Run-time closures

// The interpreter's refusals of a call that does not fit a closure.
inline void refuse_keyword(PyObject *qualname, PyObject *kwnames) noexcept {
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", qualname,
                 PyTuple_GET_ITEM(kwnames, 0));
}

inline bool takes_positional(PyObject *qualname, Py_ssize_t n, Py_ssize_t nargs) noexcept {
    if (nargs == n) return true;
    PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", qualname, n,
                 n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
}

template <class F, class Sig> struct closure;

template <class F, class R, class... A> struct closure<F, R(A...)> final : closure_base {
    static_assert(std::is_same_v<R, task>, "aio::callable: the closure must return aio::task");
    static constexpr bool varargs = sizeof...(A) == 1 && (std::is_same_v<std::remove_cvref_t<A>, py::args> && ...);
    static constexpr bool varkw = [] {
        if constexpr (sizeof...(A) == 2) {
            using T = std::tuple<std::remove_cvref_t<A>...>;
            return std::is_same_v<std::tuple_element_t<0, T>, py::args> &&
                   std::is_same_v<std::tuple_element_t<1, T>, py::kwargs>;
        } else {
            return false;
        }
    }();
    static_assert(varargs || varkw ||
                      ((std::is_same_v<std::remove_cvref_t<A>, py::object> ||
                        std::is_same_v<std::remove_cvref_t<A>, py::handle>) &&
                       ...),
                  "aio::callable: the closure takes py::object parameters, (py::args) or (py::args, py::kwargs)");

    parameters shape() const override {
        if constexpr (varkw) return {0, true, true};
        else if constexpr (varargs) return {0, true, false};
        else return {static_cast<Py_ssize_t>(sizeof...(A))};
    }

    explicit closure(F &&f) : fn(std::move(f)) {}
    explicit closure(const F &f) : fn(f) {}

    task call(function_object *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) override {
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if constexpr (varkw) {
            py::args positional = positional_tuple(args, nargs);
            py::kwargs keywords;
            for (Py_ssize_t i = 0; i < nkw; ++i)
                keywords[py::handle(PyTuple_GET_ITEM(kwnames, i))] = py::handle(args[nargs + i]);
            return fn(std::move(positional), std::move(keywords));
        } else {
            if (nkw) {
                refuse_keyword(self->qualname, kwnames);
                pysem::throw_pending();
            }
            if constexpr (varargs) {
                return fn(positional_tuple(args, nargs));
            } else {
                if (!takes_positional(self->qualname, sizeof...(A), nargs)) pysem::throw_pending();
                return invoke(args, std::make_index_sequence<sizeof...(A)>{});
            }
        }
    }

  private:
    static py::args positional_tuple(PyObject *const *args, Py_ssize_t nargs) {
        PyObject *t = PyTuple_New(nargs);
        if (!t) pysem::throw_pending();
        for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(args[i]));
        return py::reinterpret_steal<py::args>(t);
    }
    template <std::size_t... I> task invoke(PyObject *const *args, std::index_sequence<I...>) {
        return fn(py::reinterpret_borrow<py::object>(args[I])...);
    }
    F fn;
};

// ---------------------------------------------------------------------------
// Relays: coroutines that await exactly once, without a C++ frame

struct relay_object {
    PyObject_HEAD
    PyObject *function; // the relay function: keeps its relay alive
    PyObject *arg;      // the call's argument, or null
    PyObject *inner;    // the iterator being awaited while suspended
    PyObject *weakrefs;
    run_state state;
};

inline relay_object *as_relay(PyObject *o) noexcept { return reinterpret_cast<relay_object *>(o); }
inline relay_base &relay_of(relay_object *r) noexcept { return *as_function(r->function)->relay; }

inline void relay_end(relay_object *r) noexcept {
    r->state = run_state::done;
    Py_CLEAR(r->inner);
    Py_CLEAR(r->arg);
}

// The end of a relay's coroutine on an error, which leaves it as it would
// leave a body.
inline PySendResult relay_fail(relay_object *r, taken_error e) noexcept {
    relay_end(r);
    raise_from_body(std::move(e));
    return PYGEN_ERROR;
}

// What follows the await: the relay's finish on a result, the end of the
// coroutine on an error.
inline PySendResult relay_after(relay_object *r, PySendResult s, PyObject *value, PyObject **out) noexcept {
    if (s == PYGEN_NEXT) {
        r->state = run_state::suspended;
        *out = value;
        return PYGEN_NEXT;
    }
    Py_CLEAR(r->inner);
    if (s == PYGEN_RETURN) {
        PyObject *result = nullptr;
        try {
            result = relay_of(r).finish(r->arg, adopt(value)).release().ptr();
        } catch (...) {
            pysem::set_error_from_exception();
        }
        if (result) {
            relay_end(r);
            *out = result;
            return PYGEN_RETURN;
        }
    }
    return relay_fail(r, take_raised());
}

inline PySendResult relay_send(relay_object *r, PyObject *arg, PyObject **out) noexcept {
    if (r->state == run_state::running || r->state == run_state::done) return guard_state(r->state);
    depth_guard depth;
    if (!depth) return PYGEN_ERROR;
    PyObject *value = nullptr;
    if (r->state == run_state::created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        r->state = run_state::running;
        PyObject *awaitable = nullptr;
        try {
            awaitable = relay_of(r).start(r->arg).release().ptr();
        } catch (...) {
            pysem::set_error_from_exception();
        }
        r->inner = awaitable ? awaitable_iter(awaitable, await_kind::plain) : nullptr;
        Py_XDECREF(awaitable);
        if (!r->inner) return relay_after(r, PYGEN_ERROR, nullptr, out);
        arg = Py_None;
    }
    r->state = run_state::running;
    PySendResult s = PyIter_Send(r->inner, arg, &value);
    return relay_after(r, s, value, out);
}

inline PySendResult relay_throw(relay_object *r, PyObject *type, PyObject *value, PyObject *trace,
                                PyObject **out) noexcept {
    if (r->state == run_state::running) return guard_state(r->state);
    depth_guard depth;
    if (!depth) return PYGEN_ERROR;
    if (r->state != run_state::suspended) {
        taken_error e = thrown_exception(type, value, trace);
        if (!e.exc) return PYGEN_ERROR;
        // The exception's constructor may have stepped the relay meanwhile:
        // before the first step nothing starts; parked in its await, it is
        // raised there, and either way it ends the coroutine.
        if (r->state == run_state::created || r->state == run_state::suspended) return relay_fail(r, std::move(e));
        return guard_state(r->state);
    }
    r->state = run_state::running; // until the outcome is taken, as in coro_throw
    if (PyErr_GivenExceptionMatches(type, PyExc_GeneratorExit)) {
        if (close_iter(nullptr, r->inner) < 0) return relay_after(r, PYGEN_ERROR, nullptr, out);
    } else {
        PyObject *got = nullptr;
        int s = throw_iter(nullptr, r->inner, type, value, trace, &got);
        if (s == lookup_failed) {
            r->state = run_state::suspended;
            return PYGEN_ERROR;
        }
        if (s != no_throw_method) return relay_after(r, static_cast<PySendResult>(s), got, out);
    }
    taken_error e = thrown_exception(type, value, trace);
    if (!e.exc) {
        r->state = run_state::suspended;
        return PYGEN_ERROR;
    }
    return relay_fail(r, std::move(e));
}

inline PyObject *relay_close(relay_object *r) noexcept {
    if (r->state == run_state::running) {
        guard_state(r->state);
        return nullptr;
    }
    if (r->state != run_state::suspended) {
        relay_end(r);
        Py_RETURN_NONE;
    }
    depth_guard depth;
    if (!depth) return nullptr;
    r->state = run_state::running;
    if (close_iter(nullptr, r->inner) == 0) {
        relay_end(r); // GeneratorExit left the body: closed
        Py_RETURN_NONE;
    }
    relay_fail(r, take_raised());
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

using relay_protocol = protocol<relay_object, relay_send, relay_throw, relay_close>;

inline PyObject *relay_await(PyObject *self) {
    if (as_relay(self)->state == run_state::suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

inline PyObject *relay_qualname(PyObject *self) { return as_function(as_relay(self)->function)->qualname; }

inline PyObject *relay_repr(PyObject *self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", relay_qualname(self), self);
}

inline int relay_traverse(PyObject *self, visitproc visit, void *arg) {
    relay_object *r = as_relay(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(r->function);
    Py_VISIT(r->arg);
    Py_VISIT(r->inner);
    return 0;
}

inline int relay_clear(PyObject *self) {
    relay_object *r = as_relay(self);
    if (r->state == run_state::running) return 0;
    relay_end(r);
    return 0;
}

inline void relay_dealloc(PyObject *self) {
    if (!relay_protocol::going(self)) return; // resurrected
    relay_object *r = as_relay(self);
    relay_end(r);
    Py_CLEAR(r->function);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject *relay_get_qualname(PyObject *self, void *) { return Py_NewRef(relay_qualname(self)); }
inline PyObject *relay_get_name(PyObject *self, void *) { return short_name(relay_qualname(self)); }
inline PyObject *relay_get_await(PyObject *self, void *) {
    PyObject *inner = as_relay(self)->inner;
    return Py_NewRef(inner ? inner : Py_None);
}

inline PyGetSetDef relay_getset[] = {
    {"__name__", relay_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", relay_get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", relay_get_await, nullptr, nullptr, nullptr},
    {"cr_running", relay_protocol::get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", relay_protocol::get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

inline PyMemberDef relay_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(relay_object, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// A call of a relay function: the coroutine, which starts nothing yet.
inline PyObject *relay_vectorcall(PyObject *self, PyObject *const *args, std::size_t nargsf, PyObject *kwnames) {
    function_object *f = as_function(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        refuse_keyword(f->qualname, kwnames);
        return nullptr;
    }
    if (!takes_positional(f->qualname, f->relay->arity, nargs)) return nullptr;
    auto *r = PyObject_GC_New(relay_object, types().relay_type);
    if (!r) return nullptr;
    r->function = Py_NewRef(self);
    r->arg = nargs ? Py_NewRef(args[0]) : nullptr;
    r->inner = nullptr;
    r->weakrefs = nullptr;
    r->state = run_state::created;
    PyObject_GC_Track(r);
    return reinterpret_cast<PyObject *>(r);
}

// ---------------------------------------------------------------------------
// Awaiting

inline bool wait_awaiter::await_ready() {
    promise_base &p = *promise_;
    PyObject *it = awaitable_iter(target_.ptr(), kind_);
    target_ = py::object();
    if (!it) {
        p.give_error(take_raised());
        return true;
    }
    PyObject *r;
    PySendResult s;
    {
        handled_guard guard(handling_.ptr());
        s = PyIter_Send(it, Py_None, &r);
    }
    if (s == PYGEN_NEXT) {
        p.yf = adopt(it);
        p.slot = adopt(r);
        p.status = step::yielded;
        p.handling = std::move(handling_);
        return false;
    }
    deliver(p, s, r);
    Py_DECREF(it);
    return true;
}

inline py::object wait_awaiter::await_resume() {
    promise_base &p = *promise_;
    p.handling = py::object();
    step s = std::exchange(p.status, step::idle);
    py::object v = std::move(p.slot);
    if (s == step::error) throw_error(v.release().ptr());
    return v;
}

inline wait_awaiter promise_base::await_transform(task &&t) {
    wait_awaiter a(pysem::steal(make_coroutine(std::move(t), owner ? owner->qualname : nullptr)));
    a.promise_ = this;
    return a;
}

// ---------------------------------------------------------------------------
// The types

inline state make_state() {
    static PyType_Slot coroutine_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(coro_repr)},
        {Py_tp_traverse, reinterpret_cast<void *>(coro_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(coro_clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(coroutine_protocol::finalize)},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(coroutine_protocol::iternext)},
        {Py_tp_methods, coroutine_protocol::methods},
        {Py_tp_getset, coroutine_getset},
        {Py_tp_members, coroutine_members},
        {Py_am_await, reinterpret_cast<void *>(coro_await)},
        {Py_am_send, reinterpret_cast<void *>(coroutine_protocol::am_send)},
        {0, nullptr}};
    static PyType_Spec coroutine_spec = {
        "pelorin.native_coroutine", sizeof(coroutine_object), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        coroutine_slots};
    static PyType_Slot relay_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(relay_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(relay_repr)},
        {Py_tp_traverse, reinterpret_cast<void *>(relay_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(relay_clear)},
        {Py_tp_finalize, reinterpret_cast<void *>(relay_protocol::finalize)},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(relay_protocol::iternext)},
        {Py_tp_methods, relay_protocol::methods},
        {Py_tp_getset, relay_getset},
        {Py_tp_members, relay_members},
        {Py_am_await, reinterpret_cast<void *>(relay_await)},
        {Py_am_send, reinterpret_cast<void *>(relay_protocol::am_send)},
        {0, nullptr}};
    static PyType_Spec relay_spec = {
        "pelorin.native_relay_coroutine", sizeof(relay_object), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        relay_slots};
    static PyType_Slot function_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
        {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
        {Py_tp_getset, function_getset},
        {Py_tp_members, function_members},
        {0, nullptr}};
    static PyType_Spec function_spec = {"pelorin.native_coroutine_function", sizeof(function_object), 0,
                                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                                            Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                        function_slots};
    state s{};
    py::object coroutine_type = pysem::steal(PyType_FromSpec(&coroutine_spec));
    py::object function_type = pysem::steal(PyType_FromSpec(&function_spec));
    // What asyncio.iscoroutinefunction (and inspect's marker, where it has one)
    // looks for; bound methods forward the attribute to the function.
    PyObject *dict = reinterpret_cast<PyTypeObject *>(function_type.ptr())->tp_dict;
    py::object marker = py::module_::import("asyncio.coroutines").attr("_is_coroutine");
    if (PyDict_SetItemString(dict, "_is_coroutine", marker.ptr()) < 0) pysem::throw_pending();
    py::object inspect = py::module_::import("inspect");
    // Looked up once: a missing one is no error, any other error is one.
    PyObject *found = nullptr;
    if (capi::lookup_attr(inspect.ptr(), PYSEM_LIT("_is_coroutine_mark").ptr(), &found) < 0) pysem::throw_pending();
    py::object mark = adopt(found);
    if (mark && PyDict_SetItemString(dict, "_is_coroutine_marker", mark.ptr()) < 0) pysem::throw_pending();
    PyType_Modified(reinterpret_cast<PyTypeObject *>(function_type.ptr()));
    s.coroutine_type = reinterpret_cast<PyTypeObject *>(coroutine_type.release().ptr());
    s.relay_type = reinterpret_cast<PyTypeObject *>(pysem::steal(PyType_FromSpec(&relay_spec)).release().ptr());
    s.function_type = reinterpret_cast<PyTypeObject *>(function_type.release().ptr());
    s.str_throw = PyUnicode_InternFromString("throw");
    s.str_close = PyUnicode_InternFromString("close");
    s.cr_await = PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyCoro_Type), "cr_await");
    if (!s.cr_await) pysem::throw_pending();
    if (!Py_TYPE(s.cr_await)->tp_descr_get) throw py::type_error("aio: coroutine.cr_await is no descriptor");
    s.str_aenter = PyUnicode_InternFromString("__aenter__");
    s.str_aexit = PyUnicode_InternFromString("__aexit__");
    s.unnamed = PyUnicode_InternFromString("native_coroutine");
    if (!s.str_throw || !s.str_close || !s.str_aenter || !s.str_aexit || !s.unnamed)
        pysem::throw_pending();
    py::object module_code = pysem::steal(Py_CompileString("async def _():\n    pass\n", "<native>", Py_file_input));
    for (py::handle constant : module_code.attr("co_consts"))
        if (PyCode_Check(constant.ptr())) s.code_template = Py_NewRef(constant.ptr());
    if (!s.code_template) throw std::logic_error("aio: no code object for a coroutine function");
    return s;
}

// The types as kept; one that a re-entry made meanwhile is released again.
struct owned_state : state {
    explicit owned_state(const state &made) noexcept : state(made) {}
    owned_state(const owned_state &) = delete;
    owned_state &operator=(const owned_state &) = delete;
    ~owned_state() {
        for (PyObject *o : {reinterpret_cast<PyObject *>(coroutine_type), reinterpret_cast<PyObject *>(function_type),
                            reinterpret_cast<PyObject *>(relay_type), str_throw, str_close, cr_await, str_aenter,
                            str_aexit, unnamed, code_template})
            Py_DECREF(o);
    }
};

// Made at the first use. Making them runs Python code (imports, and what a
// collection or a signal runs meanwhile), which may need them again on this
// thread (a module loaded again while it loads) or let another thread in:
// each such caller makes its own and the first one made is kept, where a
// once-only guard would hang.
inline state &types() {
    PYBIND11_CONSTINIT static pysem::first_built<owned_state> kept;
    return kept.get([] { return owned_state(make_state()); }, " while making the coroutine types");
}

} // namespace aio::detail

// ---------------------------------------------------------------------------
// Coroutine functions

namespace aio {

// The coroutine object of a task, named `qualname`.
inline py::object coroutine(task &&t, py::handle qualname) {
    if (!PyUnicode_Check(qualname.ptr())) throw py::type_error("aio::coroutine: qualname must be str");
    return pysem::steal(detail::make_coroutine(std::move(t), qualname.ptr()));
}

namespace detail {
// The coroutine function around a native function made from a header.
inline py::object coroutine_function(py::object made, const pysem::signature &sig, py::handle module_name) {
    py::object doc = made.attr("__doc__");
    return make_function(made.ptr(), nullptr, sig.qualname, module_name, doc, &sig);
}
} // namespace detail

// Table entries (see common/function.hpp) for coroutine functions: the C++
// code returns the task, after the checks that the call itself makes. A
// coroutine method is recorded for calls through the instance (aio::via,
// pysem::through, pysem::is_direct).
template <auto Fn> constexpr pysem::definition method(const char *header, const char *doc = nullptr) {
    pysem::definition d = pysem::self_first<Fn>(header, doc);
    d.wrap = &detail::coroutine_function;
    d.own = &pysem::own_record<Fn>;
    return d;
}

template <auto Fn> constexpr pysem::definition function(const char *header, const char *doc = nullptr) {
    pysem::definition d = pysem::function<Fn>(header, doc);
    d.wrap = &detail::coroutine_function;
    return d;
}

// `self.name(...)` for a coroutine method defined with aio::method: while the
// lookup would reach the class's own method, the coroutine of its C++ code
// (named as the method's coroutines are), else the call through the instance.
template <auto Fn, class... Args> py::object via(py::handle self, const Args &...args) {
    const pysem::own_method &m = pysem::own<Fn>();
    if (!pysem::is_direct(self, m)) return pysem::call_method(self, m.name, args...);
    return coroutine(pysem::detail::call_native<Fn>(self, args...), pysem::detail::signature_of<Fn>->qualname);
}

// A coroutine function made from a closure at run time; see the top of this file.
template <class F> py::object callable(py::handle qualname, F &&fn, py::handle module = py::none()) {
    using D = std::remove_cvref_t<F>;
    using C = detail::closure<D, py::detail::function_signature_t<D>>;
    if (!PyUnicode_Check(qualname.ptr())) throw py::type_error("aio::callable: qualname must be str");
    return detail::make_function(nullptr, new C(std::forward<F>(fn)), qualname, module, py::none());
}

using detail::relay_base;

// A coroutine function whose coroutines await exactly once, made at run time
// from a relay (a class derived from aio::relay_base): each call takes `arity`
// positional arguments (0 or 1) and gives a coroutine that, at its first step,
// awaits what start(arg) gives and returns finish(arg, result). Channel
// wrappers are made this way: no C++ coroutine frame per call.
template <class R> py::object relay(py::handle qualname, std::unique_ptr<R> relay) {
    static_assert(std::is_base_of_v<relay_base, R>, "aio::relay: derive the relay from aio::relay_base");
    if (!PyUnicode_Check(qualname.ptr())) throw py::type_error("aio::relay: qualname must be str");
    py::object made = detail::make_function(nullptr, nullptr, qualname, py::none(), py::none());
    detail::function_object *f = detail::as_function(made.ptr());
    f->relay = relay.release();
    f->vectorcall = detail::relay_vectorcall;
    return made;
}

// The relay of a function that aio::relay made with a relay of class R.
template <class R> R &relay_of(py::handle function) {
    PyObject *f = function.ptr();
    if (!Py_IS_TYPE(f, detail::types().function_type) || !detail::as_function(f)->relay)
        throw py::type_error("aio::relay_of: not a relay function");
    return static_cast<R &>(*detail::as_function(f)->relay);
}

template <class F> py::object callable(const char *qualname, F &&fn) {
    return callable(py::str(qualname), std::forward<F>(fn));
}

template <class F> py::object callable(const std::string &qualname, F &&fn) {
    return callable(py::str(qualname), std::forward<F>(fn));
}

} // namespace aio

// aio::task returned to Python becomes its coroutine object.
namespace pybind11::detail {
template <> struct type_caster<aio::task> {
    static constexpr auto name = const_name("collections.abc.Coroutine");
    static handle cast(aio::task &&t, return_value_policy, handle) {
        return aio::detail::make_coroutine(std::move(t), nullptr);
    }
};
} // namespace pybind11::detail
