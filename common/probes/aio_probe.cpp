// Exposes native coroutines built on the shared bridge to the test suite.
#include "common/aio.hpp"
#include "common/module.hpp"

#include <climits>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

// Counts live C++ objects held by suspended bodies: destructors must run on
// every way out.
long live_trackers = 0;
struct tracker {
    tracker() { ++live_trackers; }
    ~tracker() { --live_trackers; }
    tracker(const tracker &) = delete;
    tracker &operator=(const tracker &) = delete;
};

// What a body may take, checked where it is built: every kind that would
// borrow from the caller is refused.
namespace borrow_rule {
using aio::detail::borrow_kind;
using aio::detail::borrowing;
struct owning {
    py::object value;
    std::string text;
};
struct with_reference {
    py::object &value;
};
inline int counter = 0;
// Lambda types only: nothing calls them.
using captures_by_reference = decltype([&n = counter] { return n; });
using captures_by_value = decltype([n = 1] { return n; });
using captures_nothing = decltype([] { return 0; });
static_assert(borrowing<py::object>() == borrow_kind::none);
static_assert(borrowing<py::dict>() == borrow_kind::none);
static_assert(borrowing<std::string>() == borrow_kind::none);
static_assert(borrowing<long>() == borrow_kind::none);
static_assert(borrowing<owning>() == borrow_kind::none);
static_assert(borrowing<std::shared_ptr<owning>>() == borrow_kind::none);
static_assert(borrowing<aio::failure>() == borrow_kind::none);
static_assert(borrowing<void (*)()>() == borrow_kind::none);
static_assert(borrowing<captures_nothing>() == borrow_kind::none);
static_assert(borrowing<const captures_nothing &>() == borrow_kind::none); // a captureless lambda body
static_assert(borrowing<const py::object &>() == borrow_kind::reference);
static_assert(borrowing<std::string &&>() == borrow_kind::reference);
static_assert(borrowing<const owning &>() == borrow_kind::reference); // a member coroutine's object
static_assert(borrowing<const captures_by_value &>() == borrow_kind::reference);
static_assert(borrowing<py::object *>() == borrow_kind::pointer);
static_assert(borrowing<const aio::failure *>() == borrow_kind::pointer);
static_assert(borrowing<py::handle>() == borrow_kind::handle);
static_assert(borrowing<std::string_view>() == borrow_kind::view);
static_assert(borrowing<std::span<py::object>>() == borrow_kind::view);
static_assert(borrowing<std::reference_wrapper<py::object>>() == borrow_kind::view);
static_assert(borrowing<captures_by_reference>() == borrow_kind::closure);
static_assert(borrowing<captures_by_value>() == borrow_kind::closure);
static_assert(borrowing<with_reference>() == borrow_kind::closure);
} // namespace borrow_rule

aio::task await_one(py::object awaitable) { co_return co_await aio::wait(awaitable); }

aio::task await_each(py::args awaitables) {
    py::list results;
    for (py::handle a : awaitables) results.append(co_await aio::wait(a));
    co_return results;
}

// The exception that reached the body at the await, or the awaited value.
aio::task caught(py::object awaitable) {
    try {
        co_await aio::wait(awaitable);
    } catch (py::error_already_set &e) {
        co_return e.value();
    }
    co_return py::none();
}

aio::task raise_from_at(py::object awaitable, py::object exc, py::object cause_from_await) {
    try {
        co_await aio::wait(awaitable);
    } catch (py::error_already_set &e) {
        if (pysem::truthy(cause_from_await))
            aio::raise_from(exc, e.value());
        aio::raise_from(exc, py::none());
    }
    co_return py::none();
}

aio::task raise_in_handler(py::object awaitable, py::object exc) {
    try {
        co_await aio::wait(awaitable);
    } catch (py::error_already_set &) {
        aio::raise(exc);
    }
    co_return py::none();
}

// What fn() sees as being handled inside a handler, and after it.
aio::task handled_in_handler(py::object awaitable, py::object fn) {
    py::object inside;
    try {
        co_await aio::wait(awaitable);
    } catch (py::error_already_set &e) {
        if (!aio::is_ordinary(e)) throw;
        aio::handling handling(e);
        inside = pysem::call(fn);
    }
    co_return py::make_tuple(inside, pysem::call(fn));
}

// A C++ exception whose translator (wrongly) sets no Python error.
struct unmapped {};

aio::task cpp_error(std::string kind) {
    if (kind == "unmapped") throw unmapped{};
    if (kind == "value") throw py::value_error("bad value");
    if (kind == "runtime") throw std::runtime_error("plain C++ failure");
    if (kind == "key") throw py::key_error("missing");
    if (kind == "stop") throw py::stop_iteration("stopped");
    if (kind == "type") throw py::type_error("wrong type");
    co_return py::none();
}

// Finally with await: `cleanup()` is awaited on every way out of the guarded
// await; the log shows what the body saw.
aio::task guarded(py::object awaitable, py::object cleanup, py::list log) {
    tracker held;
    aio::failure failure;
    py::object result = py::none();
    try {
        result = co_await aio::wait(awaitable);
        log.append("done");
    } catch (...) {
        failure.capture();
    }
    log.append(py::make_tuple("cleanup", failure.value()));
    co_await aio::wait(pysem::call(cleanup), failure);
    log.append("cleaned");
    failure.rethrow();
    co_return result;
}

// async with manager as entered: await body(entered).
aio::task within(py::object manager, py::object body) {
    tracker held;
    aio::async_with context(manager);
    py::object entered = co_await context.enter();
    aio::failure failure;
    py::object result = py::none();
    try {
        result = co_await aio::wait(pysem::call(body, entered));
    } catch (...) {
        failure.capture();
    }
    co_await context.exit(failure);
    co_return result;
}

// A cleanup written in C++: notes the exception being handled, before and
// after a suspension.
aio::task note_handled(py::list log) {
    for (int i = 0; i < 2; ++i) {
        PyObject *handled = PyErr_GetHandledException();
        log.append(handled ? py::reinterpret_steal<py::object>(handled) : py::none());
        if (i == 0) co_await aio::wait(py::module_::import("asyncio").attr("sleep")(0));
    }
    co_return py::none();
}

aio::task guarded_in_cpp(py::object awaitable, py::list log) {
    aio::failure failure;
    try {
        co_await aio::wait(awaitable);
    } catch (...) {
        failure.capture();
    }
    co_await aio::wait(note_handled(log), failure);
    failure.rethrow();
    co_return py::str("done");
}

aio::task hold(py::object awaitable) {
    tracker held;
    co_return co_await aio::wait(awaitable);
}

aio::task nested(long depth, py::object awaitable) {
    tracker held;
    if (depth == 0) co_return co_await aio::wait(awaitable);
    py::object inner = co_await nested(depth - 1, awaitable);
    co_return py::make_tuple(depth, inner);
}

// Keeps awaiting after GeneratorExit, which a coroutine must not do.
aio::task ignore_exit(py::object factory) {
    for (int i = 0; i < 3; ++i) {
        try {
            co_await aio::wait(factory());
        } catch (py::error_already_set &) {
        }
    }
    co_return py::none();
}

// Catches only ordinary errors, as `except Exception` does.
aio::task ordinary_only(py::object awaitable) {
    try {
        co_await aio::wait(awaitable);
    } catch (py::error_already_set &e) {
        if (!aio::is_ordinary(e)) throw;
        co_return py::str("swallowed");
    }
    co_return py::str("done");
}

aio::task call_now(py::object fn) { co_return pysem::call(fn); }

aio::task value_of(py::object v) { co_return v; }

aio::task none_of() { co_return {}; }

// Twice the value, exact as Python's `value * 2`: a C++ long while it fits
// (given back through the cast of a C++ value), else the int's own product.
aio::task cast_value(py::int_ value) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (!overflow && v >= LONG_MIN / 2 && v <= LONG_MAX / 2) co_return v * 2;
    py::int_ two(2);
    co_return pysem::steal(PyNumber_Multiply(value.ptr(), two.ptr()));
}

aio::task handle_of(py::object v) { co_return py::handle(v); }

// An ASGI application in C++ answering with the request body, through channel
// wrappers made per request that share the request's state.
struct echo_state {
    long received = 0;
    long sent = 0;
};

aio::task echo_body(py::object receive, py::object send) {
    py::list chunks;
    for (;;) {
        py::object message = co_await aio::wait(receive());
        chunks.append(pysem::get(message, "body"));
        if (!pysem::truthy(pysem::get(message, "more_body"))) break;
    }
    py::dict start;
    start["type"] = "http.response.start";
    start["status"] = 200;
    start["headers"] = py::list();
    co_await aio::wait(send(start));
    py::dict part;
    part["type"] = "http.response.body";
    part["body"] = py::bytes("").attr("join")(chunks);
    co_await aio::wait(send(part));
    co_return py::none();
}

aio::task receive_counted(py::object receive, std::shared_ptr<echo_state> state) {
    ++state->received;
    co_return co_await aio::wait(receive());
}

aio::task send_counted(py::object send, std::shared_ptr<echo_state> state, py::object message) {
    ++state->sent;
    co_return co_await aio::wait(send(message));
}

aio::task echo_call(py::object self, py::object scope, py::object receive, py::object send) {
    if (!pysem::get(scope, "type").equal(py::str("http"))) co_return py::none();
    auto state = std::make_shared<echo_state>();
    py::object counting_receive = aio::callable("Echo.__call__.<locals>.counting_receive", [receive, state]() {
        return receive_counted(receive, state);
    });
    py::object counting_send = aio::callable("Echo.__call__.<locals>.counting_send", [send, state](py::object message) {
        return send_counted(send, state, message);
    });
    co_await echo_body(counting_receive, counting_send);
    self.attr("counts") = py::make_tuple(state->received, state->sent);
    co_return py::none();
}

// Entries whose C++ parameters are not Python objects take them as objects
// and convert, as the bindings of a module would.
aio::task cpp_error_entry(py::object kind) { return cpp_error(kind.cast<std::string>()); }
aio::task nested_entry(py::object depth, py::object awaitable) { return nested(depth.cast<long>(), awaitable); }
aio::task cast_value_entry(py::object value) {
    // An integer as an index is one (an int subclass's own arithmetic aside).
    py::object index = pysem::steal(PyNumber_Index(value.ptr()));
    return cast_value(pysem::steal_as<py::int_>(PyNumber_Long(index.ptr())));
}
aio::task guarded_entry(py::object awaitable, py::object cleanup, py::object log) {
    return guarded(awaitable, cleanup, pysem::exact_list(log, "log"));
}
aio::task guarded_in_cpp_entry(py::object awaitable, py::object log) {
    return guarded_in_cpp(awaitable, pysem::exact_list(log, "log"));
}

// Argument checks run at call time, before the coroutine exists.
aio::task checked(py::object text, py::object awaitable) {
    pysem::exact_str(text, "text");
    return await_one(awaitable);
}

aio::task probe_call(py::handle, py::object awaitable) { return await_one(awaitable); }

aio::task probe_keyed(py::handle self, py::object key) {
    pysem::exact_str(key, "key");
    return value_of(py::make_tuple(self, key));
}

void register_bodies(py::module_ &m) {
    using aio::function;
    pysem::define(m, {
        function<&await_one>("await_one(awaitable)", "Awaits one awaitable."),
        function<&caught>("caught(awaitable)"),
        function<&raise_from_at>("raise_from_at(awaitable, exc, cause_from_await)"),
        function<&raise_in_handler>("raise_in_handler(awaitable, exc)"),
        function<&handled_in_handler>("handled_in_handler(awaitable, fn)"),
        function<&cpp_error_entry>("cpp_error(kind)"),
        function<&guarded_entry>("guarded(awaitable, cleanup, log)"),
        function<&guarded_in_cpp_entry>("guarded_in_cpp(awaitable, log)"),
        function<&within>("within(manager, body)"),
        function<&hold>("hold(awaitable)"),
        function<&nested_entry>("nested(depth, awaitable)"),
        function<&ignore_exit>("ignore_exit(factory)"),
        function<&ordinary_only>("ordinary_only(awaitable)"),
        function<&call_now>("call_now(fn)"),
        function<&value_of>("value_of(value)"),
        function<&none_of>("none_of()"),
        function<&cast_value_entry>("cast_value(value)"),
        function<&handle_of>("handle_of(value)"),
        // The body is the lambda itself.
        function<[](py::object awaitable) -> aio::task { co_return co_await aio::wait(awaitable); }>(
            "lambda_body(awaitable)"),
        function<&checked>("checked(*, text, awaitable=None)"),
    });
    // Any number of awaitables, by position: a coroutine function made from a closure.
    py::str qualname("await_each");
    py::object module_name = m.attr("__name__");
    m.attr("await_each") =
        aio::callable(qualname, [](py::args awaitables) { return await_each(awaitables); }, module_name);
}

// A relay whose coroutines await start(arg) (or start()) and return
// finish(arg, result), or the result when there is no finish.
struct probe_relay final : aio::relay_base {
    py::object start_fn, finish_fn;
    probe_relay(Py_ssize_t arity, py::object s, py::object f)
        : relay_base(arity), start_fn(std::move(s)), finish_fn(std::move(f)) {}
    py::object start(py::handle arg) override { return arg ? pysem::call(start_fn, arg) : pysem::call(start_fn); }
    py::object finish(py::handle arg, py::object result) override {
        if (finish_fn.is_none()) return result;
        return pysem::call(finish_fn, arg ? arg : py::none(), result);
    }
    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(start_fn.ptr());
        Py_VISIT(finish_fn.ptr());
        return 0;
    }
};

// Awaits fn(arg) with a tracker held.
aio::task tracked_call(py::object fn, py::object arg) {
    tracker held;
    co_return co_await aio::wait(pysem::call(fn, arg));
}

py::object make_relay(py::object qualname, py::object start, py::object finish, py::object arity) {
    Py_ssize_t takes = pysem::int_arg_ll(arity, "arity") ? 1 : 0;
    return aio::relay(qualname, std::make_unique<probe_relay>(takes, std::move(start), std::move(finish)));
}

void register_callables(py::module_ &m) {
    using pysem::function;
    pysem::define(m, {
        function<[] { return py::int_(live_trackers); }>("live_trackers()"),
        // A coroutine function made at run time: awaits fn(arg), keeping fn in its closure.
        function<[](py::object qualname, py::object fn) {
            return aio::callable(qualname, [fn](py::object arg) { return tracked_call(fn, arg); });
        }>("make_callable(qualname, fn)"),
        function<[](py::object qualname, py::object fn) {
            return aio::callable(qualname, [fn](py::args args, py::kwargs kwargs) {
                return await_one(fn(*args, **kwargs));
            });
        }>("make_variadic(qualname, fn)"),
        function<[](py::object qualname, py::object value) {
            return aio::callable(qualname, [value]() { return value_of(value); });
        }>("make_nullary(qualname, value)"),
        function<[](py::object value, py::object qualname) { return aio::coroutine(value_of(value), qualname); }>(
            "coroutine_of(value, qualname)"),
        function<&make_relay>("make_relay(qualname, start, finish=None, *, arity=1)"),
    });
}

// Plain classes with coroutine methods.
void register_classes(py::module_ &m) {
    py::object echo = pysem::make_class(m, "Echo", nullptr);
    pysem::define(echo, {aio::method<&echo_call>("__call__(scope, receive, send)")});
    m.attr("Echo") = echo;

    py::object probe = pysem::make_class(m, "Probe", nullptr);
    pysem::define(probe, {
        aio::method<&probe_call>("__call__(awaitable)", "Awaits the awaitable."),
        aio::method<&probe_keyed>("keyed(*, key)"),
    });
    m.attr("Probe") = probe;
}

} // namespace

PELORIN_MODULE(_aio_probe, m) {
    m.doc() = "Test probe for the shared native-coroutine bridge.";
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const unmapped &) {
        }
    });
    register_bodies(m);
    register_callables(m);
    register_classes(m);
}
