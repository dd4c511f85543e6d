"""Native coroutines run by asyncio as coroutines written in Python are."""

import asyncio
import collections.abc
import gc
import inspect
import operator
import sys
import textwrap
import traceback
import types
import weakref

import httpx
import pytest
import starlette._utils
import uvicorn

from pelorin import _aio_probe as probe

from ..conftest import (LOAD_AFRESH_SOURCE, Disguised, NotFound, Parking, assert_no_leak, raise_api_error,
                       run_python, settled)


# ---------------------------------------------------------------------------
# Awaitables and Python twins of the probe's bodies


class Recorder:
    """Yields "marker" once; records what the loop sends or throws down."""

    def __init__(self, survive=False):
        self.seen = []
        self.survive = survive

    def __await__(self):
        while True:
            try:
                got = yield "marker"
            except BaseException as e:
                self.seen.append(("thrown", type(e).__name__))
                if self.survive and not isinstance(e, GeneratorExit):
                    continue
                raise
            self.seen.append(("sent", got))
            return ("result", got)


class Ready:
    """Completes without suspending."""

    def __await__(self):
        return "ready"
        yield  # pragma: no cover


@types.coroutine
def legacy(value):
    yield
    return value


async def pyco(value, delay=0):
    await asyncio.sleep(delay)
    return value


async def py_await_one(awaitable):
    return await awaitable


async def py_ignore_exit(factory):
    for _ in range(3):
        try:
            await factory()
        except BaseException:
            pass


async def py_call_now(fn):
    return fn()


async def py_caught(awaitable):
    try:
        await awaitable
    except Exception as e:
        return e


# A relay: a coroutine function of one await, native without a C++ frame.
relay_one = probe.make_relay("relay_one", lambda awaitable: awaitable)


def outcome(op):
    try:
        return ("ok", op())
    except StopIteration as e:
        return ("stop", e.value)
    except BaseException as e:
        return ("raise", type(e).__name__, str(e))


# ---------------------------------------------------------------------------
# Awaiting


async def _task(value):
    return asyncio.ensure_future(pyco(value, 0.001))


async def _later(value):
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_later(0.001, fut.set_result, value)
    return fut


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: pyco("py", 0.001), "py"),
        (lambda: asyncio.sleep(0.001, "slept"), "slept"),
        (lambda: _later("future"), "future"),
        (lambda: _task("task"), "task"),
        (lambda: Ready(), "ready"),
        (lambda: legacy("legacy"), "legacy"),
        (lambda: probe.await_one(pyco("native", 0.001)), "native"),
        (lambda: probe.nested(3, pyco("deep", 0.001)), (3, (2, (1, "deep")))),
        (lambda: probe.lambda_body(asyncio.sleep(0, "lambda")), "lambda"),
        (lambda: probe.coroutine_of(("made",), "made"), ("made",)),
    ],
    ids=["coroutine", "sleep", "future", "task", "ready", "legacy", "native", "nested", "lambda", "made"],
)
async def test_awaits_every_kind_of_awaitable(make, expected):
    awaitable = make()
    if asyncio.iscoroutine(awaitable) and awaitable.__qualname__ in ("_later", "_task"):
        awaitable = await awaitable
    assert await probe.await_one(awaitable) == expected


async def test_awaits_many_in_turn_and_refuses_non_awaitables():
    assert await probe.await_each(pyco(1), asyncio.sleep(0, 2), probe.value_of(3), Ready()) == [1, 2, 3, "ready"]
    with pytest.raises(TypeError, match="^object int can't be used in 'await' expression$"):
        await probe.await_one(5)


@pytest.mark.parametrize("value", [(1, 2), (), (None,), ValueError("as value"), None, [1], 7])
def test_return_value_is_carried_as_is(value):
    assert asyncio.run(probe.value_of(value)) is value
    c = probe.value_of(value)
    with pytest.raises(StopIteration) as stop:
        c.send(None)
    assert stop.value.value is value
    with pytest.raises(StopIteration) as stop:
        next(probe.value_of(value))
    assert stop.value.value is value


async def test_bodies_return_none_and_cast_values():
    assert await probe.none_of() is None
    assert await probe.cast_value(21) == 42
    value = object()
    assert await probe.handle_of(value) is value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "value",
    [0, -1, True, 2**62 - 1, 2**62, -2**62, -2**62 - 1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**200, -2**200,
     Index(2**62), Index(-2**100)],
)
async def test_cast_value_is_exact_as_python_at_the_limits(value):
    result = await probe.cast_value(value)
    assert type(result) is int and result == operator.index(value) * 2


def test_coroutine_object_protocol():
    c = probe.await_one(Ready())
    try:
        assert asyncio.iscoroutine(c)
        assert isinstance(c, collections.abc.Coroutine)
        assert c.__await__() is c and iter(c) is c
        assert repr(c).startswith("<coroutine object await_one at 0x")
        assert (c.__name__, c.__qualname__) == ("await_one", "await_one")
        assert not c.cr_running and not c.cr_suspended and c.cr_await is None
    finally:
        c.close()
    m = probe.Probe().keyed(key="k")
    assert m.__qualname__ == "Probe.keyed" and "Probe.keyed" in repr(m)
    m.close()


# ---------------------------------------------------------------------------
# What goes down to the awaited object


@pytest.mark.parametrize("await_one", [probe.await_one, relay_one], ids=["body", "relay"])
def test_send_and_throw_reach_the_awaited_object_first(await_one):
    rec = Recorder()
    c = await_one(rec)
    assert c.send(None) == "marker" and c.cr_suspended and c.cr_await is not None
    with pytest.raises(StopIteration) as stop:
        c.send(5)
    assert stop.value.value == ("result", 5) and rec.seen == [("sent", 5)]

    for args in [(KeyError("one arg"),), (KeyError,), (KeyError, KeyError("three"), None)]:
        rec = Recorder(survive=True)
        c = await_one(rec)
        c.send(None)
        assert c.throw(*args) == "marker"  # the awaited object caught it and yielded again
        with pytest.raises(StopIteration) as stop:
            c.send(7)
        assert stop.value.value == ("result", 7) and rec.seen == [("thrown", "KeyError"), ("sent", 7)]
    c = await_one(Recorder())
    c.send(None)
    with pytest.raises(KeyError, match="passes"):
        c.throw(KeyError("passes"))
    assert not c.cr_suspended


def test_throw_traceback_argument_is_kept():
    try:
        raise ValueError("with traceback")
    except ValueError as e:
        exc, tb = e, e.__traceback__
    c = probe.caught(Recorder())
    c.send(None)
    with pytest.raises(StopIteration) as stop:
        c.throw(ValueError, exc, tb)
    assert stop.value.value is exc
    assert exc.__traceback__ is not None and tb in list(_tb_chain(exc.__traceback__))


def _tb_chain(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


# The native bodies against their Python twins, step by step.
def _bad_tb_throw(c):
    c.send(None)
    return c.throw(ValueError, None, "not a traceback")


SCENARIOS = {
    "send non-None first": lambda c: c.send(1),
    "send then reuse": lambda c: [outcome(lambda: c.send(None)) for _ in range(3)],
    "throw before start": lambda c: [outcome(lambda: c.throw(KeyError("k"))), outcome(lambda: c.send(None))],
    "bad throw before start": lambda c: [outcome(lambda: c.throw(1)), outcome(lambda: c.send(None)), c.close()],
    "instance with value": lambda c: [c.send(None), outcome(lambda: c.throw(KeyError("k"), 1)), outcome(c.close)],
    "bad traceback": lambda c: [outcome(lambda: _bad_tb_throw(c)), outcome(c.close)],
    "throw after end": lambda c: [outcome(lambda: c.send(None)), outcome(lambda: c.send(None)),
                                  outcome(lambda: c.throw(KeyError)), outcome(c.close)],
    "close before start": lambda c: [c.close(), c.close(), outcome(lambda: c.send(None))],
    "close suspended": lambda c: [c.send(None), c.close(), c.close(), outcome(lambda: c.send(None))],
    "throw StopIteration in": lambda c: [c.send(None), outcome(lambda: c.throw(StopIteration("s")))],
    "throw GeneratorExit in": lambda c: [c.send(None), outcome(lambda: c.throw(GeneratorExit))],
}


@pytest.mark.parametrize("name", SCENARIOS)
def test_protocol_matches_python_coroutines(name):
    results = []
    for make in (py_await_one, probe.await_one, relay_one):
        rec = Recorder()
        c = make(rec if name != "send then reuse" else Ready())
        results.append((outcome(lambda: SCENARIOS[name](c)), rec.seen))
        c.close()
    assert results[0] == results[1] == results[2]


class DisguisedStop:
    """Parks once; the step named by `where` raises Disguised."""

    def __init__(self, where):
        self.where, self.steps = where, 0

    def __await__(self):
        if self.where == "__await__":
            raise Disguised
        return self

    def __next__(self):
        self.steps += 1
        if self.steps > 1 and self.where == "__next__":
            raise Disguised
        return "parked"

    def throw(self, *exc):
        if self.where == "throw":
            raise Disguised
        raise exc[0]

    def close(self):
        if self.where == "close":
            raise Disguised


DISGUISED_ROUTES = {
    "__await__": lambda c: c.send(None),
    "__next__": lambda c: [c.send(None), c.send(None)],
    "throw": lambda c: [c.send(None), c.throw(ValueError)],
    "close": lambda c: [c.send(None), c.close()],
    "throw-before-start": lambda c: c.throw(Disguised),
}


@pytest.mark.parametrize("route", DISGUISED_ROUTES)
@pytest.mark.parametrize(
    "makes", [(py_await_one, probe.await_one, relay_one), (py_caught, probe.caught)], ids=["let-through", "caught"]
)
def test_a_stop_iteration_that_makes_another_exception_is_no_stop(makes, route):
    """Let through, it is "coroutine raised StopIteration" as for Python's
    own coroutines; caught at the await, it is the exception it made."""
    results = [settled(lambda: DISGUISED_ROUTES[route](make(DisguisedStop(route)))) for make in makes]
    assert results[1:] == results[:1] * (len(makes) - 1)


@pytest.mark.parametrize("makes", [(py_await_one, probe.await_one, relay_one), (py_caught, probe.caught)])
async def test_a_stop_iteration_that_makes_another_exception_thrown_at_a_future(makes):
    results = []
    for make in makes:
        fut = asyncio.get_running_loop().create_future()
        c = make(fut)
        c.send(None)
        results.append(settled(lambda: c.throw(Disguised)))
    assert results[0] in [("raise", "RuntimeError", "coroutine raised StopIteration", "KeyError('made instead')"),
                          ("stop", "KeyError('made instead')")]
    assert results[1:] == results[:1] * (len(makes) - 1)


def test_close_that_awaits_again_is_refused_like_python():
    results = []
    for make in (py_ignore_exit, probe.ignore_exit):
        c = make(Recorder)
        c.send(None)
        results.append([outcome(c.close), outcome(c.close), outcome(c.close), outcome(lambda: c.send(None))])
    assert results[0] == results[1]
    assert results[0][0] == ("raise", "RuntimeError", "coroutine ignored GeneratorExit")


def test_running_coroutine_refuses_reentry():
    results = []
    for make in (py_call_now, probe.call_now):
        box = []
        c = make(lambda: outcome(lambda: box[0].send(None)) + outcome(lambda: box[0].throw(KeyError)) + outcome(box[0].close))
        box.append(c)
        results.append(outcome(lambda: c.send(None)))
    assert results[0] == results[1]
    assert "coroutine already executing" in results[0][1]


@pytest.mark.parametrize("again", [py_await_one, probe.await_one], ids=["again from python", "again from native"])
@pytest.mark.parametrize("kind", ["native", "relay", "python"])
async def test_one_coroutine_cannot_be_awaited_twice_at_once(kind, again):
    make = {"native": probe.await_one, "relay": relay_one, "python": py_await_one}[kind]
    c = make(asyncio.sleep(0.01, "once"))
    first = asyncio.ensure_future(py_await_one(c))
    await asyncio.sleep(0)
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        await again(c)
    assert await first == "once"
    with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
        await again(c)


class Leaving:
    """Awaited through an iterator whose throw() and close() fail and whose release re-enters the coroutine."""

    def __init__(self, box):
        self.box = box

    def __await__(self):
        return Leaving.Iter(self.box)

    class Iter:
        def __init__(self, box):
            self.box = box

        def __iter__(self):
            return self

        def __next__(self):
            return "marker"

        @staticmethod  # no frame of a failure holds the iterator
        def throw(*exc):
            raise KeyError("left")

        @staticmethod
        def close():
            raise KeyError("left")

        def __del__(self):
            self.box.append(outcome(lambda: self.box[0].send(None)))


class Plain:
    """Awaited through an iterator without send(), throw() or close()."""

    def __await__(self):
        return iter(["marker"])


@pytest.mark.parametrize("op", ["throw", "close", "make the thrown"])
def test_reentry_while_throw_or_close_is_under_way_is_refused(op):
    box = []

    class Reentrant(Exception):
        def __init__(self):
            super().__init__()
            box.append(outcome(lambda: box[0].send(None)))

    c = probe.hold(Plain() if op == "make the thrown" else Leaving(box))
    box.append(c)
    assert c.send(None) == "marker"
    result = outcome({"throw": lambda: c.throw(KeyError), "close": c.close, "make the thrown": lambda: c.throw(Reentrant)}[op])
    assert box[1:] == [("raise", "ValueError", "coroutine already executing")]
    assert result == (("raise", "Reentrant", "") if op == "make the thrown" else ("raise", "KeyError", "'left'"))
    assert outcome(lambda: c.send(None)) == ("raise", "RuntimeError", "cannot reuse already awaited coroutine")
    assert probe.live_trackers() == 0


@pytest.mark.parametrize("make", [py_caught, probe.caught, relay_one], ids=["python", "native", "relay"])
def test_an_exception_whose_making_starts_the_coroutine_is_raised_at_its_await(make):
    """throw() into a coroutine not yet started makes the exception first;
    when that has started it, the exception is raised where it is parked,
    as Python raises it."""
    c = make(Parking())

    class Step(Exception):
        def __init__(self):
            super().__init__()
            assert c.send(None) == "parked"

    result = outcome(lambda: c.throw(Step))
    if make is relay_one:
        assert result == ("raise", "Step", "")
    else:
        assert result[0] == "stop" and type(result[1]) is Step
    assert c.cr_await is None and not c.cr_suspended and probe.live_trackers() == 0


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_parent_collected_in_a_cycle_leaves_its_parked_child_whole():
    """The collector finalizes a parent in a reference cycle by closing it; a
    child whose cleanup parks is left suspended, and finishes later on what
    it holds."""
    child_log, parent_log = [], []
    child = probe.guarded(Parking(), lambda: Parking(), child_log)
    parent = probe.guarded(child, lambda: Ready(), parent_log)
    parent_log.append(parent)  # the frame holds the log, the log the parent
    assert parent.send(None) == "parked"
    gone = weakref.ref(parent)
    del parent, parent_log
    gc.collect()
    assert gone() is None and child.cr_suspended and child_log[-1][0] == "cleanup"
    with pytest.raises(GeneratorExit):
        child.send(None)
    assert child_log[-1] == "cleaned" and probe.live_trackers() == 0


# ---------------------------------------------------------------------------
# Exceptions both ways


async def raise_chained():
    await asyncio.sleep(0)
    try:
        raise KeyError("context")
    except KeyError as context:
        try:
            raise OSError("cause")
        except OSError as cause:
            raise ValueError("deep") from cause


async def test_python_exception_crosses_intact():
    with pytest.raises(ValueError) as info:
        await probe.await_one(probe.await_one(raise_chained()))
    e = info.value
    assert type(e.__cause__) is OSError and type(e.__context__) is OSError
    assert type(e.__cause__.__context__) is KeyError and e.__suppress_context__
    frames = [f.name for f in traceback.extract_tb(e.__traceback__)]
    assert frames[0] == "test_python_exception_crosses_intact" and frames[-1] == "raise_chained"
    # The body sees the very same object at its await.
    seen = await probe.caught(raise_chained())
    assert type(seen) is ValueError and type(seen.__cause__) is OSError
    assert traceback.extract_tb(seen.__traceback__)[-1].name == "raise_chained"


@pytest.mark.parametrize(
    "kind, error, message",
    [
        ("value", ValueError, "bad value"),
        ("runtime", RuntimeError, "plain C++ failure"),
        ("key", KeyError, "'missing'"),
        ("type", TypeError, "wrong type"),
        ("stop", RuntimeError, "coroutine raised StopIteration"),
        ("unmapped", SystemError, "a C++ exception was translated to no Python error"),
    ],
)
async def test_cpp_exceptions_raise_their_python_error(kind, error, message):
    with pytest.raises(error) as info:
        await probe.cpp_error(kind)
    assert type(info.value) is error and str(info.value) == message
    if kind == "stop":
        assert type(info.value.__cause__) is StopIteration


async def py_raise_api_error():
    raise_api_error()


@pytest.mark.parametrize(
    "route",
    [
        lambda: probe.call_now(raise_api_error),
        lambda: probe.await_one(py_raise_api_error()),
        lambda: probe.make_relay("starts", raise_api_error)(1),
        lambda: probe.make_relay("finishes", lambda arg: Ready(), raise_api_error)(1),
    ],
    ids=["call", "await", "relay-start", "relay-finish"],
)
async def test_an_exception_whose_constructor_picks_a_subclass_crosses_as_it_is(route):
    with pytest.raises(NotFound):
        await route()


async def test_raise_from_and_implicit_context():
    with pytest.raises(LookupError) as info:
        await probe.raise_from_at(raise_chained(), LookupError("explicit"), True)
    e = info.value
    assert type(e.__cause__) is ValueError and e.__context__ is e.__cause__ and e.__suppress_context__
    with pytest.raises(LookupError) as info:
        await probe.raise_from_at(raise_chained(), LookupError, False)
    assert info.value.__cause__ is None and info.value.__suppress_context__
    assert type(info.value.__context__) is ValueError
    with pytest.raises(OSError) as info:
        await probe.raise_in_handler(raise_chained(), OSError("in handler"))
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert type(info.value.__context__) is ValueError
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        await probe.raise_in_handler(raise_chained(), 3)

    class NotMade(Exception):
        def __new__(cls):
            return 1

    with pytest.raises(TypeError, match=r"^calling <class '.*NotMade'> should have returned an instance of BaseException, not <class 'int'>$"):
        await probe.raise_in_handler(raise_chained(), NotMade)


async def py_raise_in_handler(awaitable, exc):
    try:
        await awaitable
    except BaseException:
        raise exc


@pytest.mark.parametrize("chain", ["cycle below", "raised is below"])
async def test_implicit_context_keeps_cycles_out_as_python_does(chain):
    seen = []
    for raise_in_handler in (py_raise_in_handler, probe.raise_in_handler):
        a, b = KeyError("a"), KeyError("b")
        a.__context__ = b
        if chain == "cycle below":
            b.__context__, raised = a, OSError("new")
        else:
            raised = b

        async def fail():
            raise a

        with pytest.raises(BaseException) as info:
            await raise_in_handler(fail(), raised)
        e = info.value
        seen.append([None if x is None else x.args[0] for x in (e, e.__context__, a.__context__, b.__context__)])
    assert seen[0] == seen[1]


async def test_handling_shows_the_exception_to_synchronous_calls():
    inside, after = await probe.handled_in_handler(raise_chained(), lambda: sys.exc_info()[1])
    assert type(inside) is ValueError and after is None


@pytest.mark.parametrize(
    "catch", [probe.ordinary_only, lambda awaitable: probe.handled_in_handler(awaitable, lambda: None)],
    ids=["ordinary_only", "handled_in_handler"],
)
@pytest.mark.parametrize("exc", [asyncio.CancelledError, KeyboardInterrupt, SystemExit, GeneratorExit])
async def test_non_ordinary_errors_pass_a_catch_of_ordinary_ones(exc, catch):
    async def fail():
        raise exc()

    with pytest.raises(exc):
        await catch(fail())
    assert await probe.ordinary_only(raise_chained()) == "swallowed"


# ---------------------------------------------------------------------------
# Cancellation and cleanup that awaits


async def _start(coro):
    task = asyncio.ensure_future(coro)
    for _ in range(3):
        await asyncio.sleep(0)
    return task


@pytest.mark.parametrize("at", ["work", "cleanup"])
async def test_cancellation_at_each_await_runs_the_awaiting_cleanup(at):
    log = []
    gate = asyncio.Event()

    async def cleanup():
        log.append(("handled", type(sys.exc_info()[1]).__name__))
        if at == "cleanup":
            await gate.wait()
        await asyncio.sleep(0)
        log.append("cleanup ran")

    work = pyco("done", 0 if at == "cleanup" else 10)
    task = await _start(probe.guarded(work, cleanup, log))
    assert probe.live_trackers() == 1
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    if at == "work":
        assert [entry[0] if isinstance(entry, tuple) else entry for entry in log] == ["cleanup", "handled", "cleanup ran", "cleaned"]
        assert type(log[0][1]) is asyncio.CancelledError and log[1] == ("handled", "CancelledError")
    else:
        assert log == ["done", ("cleanup", None), ("handled", "NoneType")]
    assert probe.live_trackers() == 0


async def test_cleanup_error_replaces_the_failure_and_chains_it():
    async def cleanup():
        raise KeyError("cleanup failed")

    with pytest.raises(KeyError) as info:
        await probe.guarded(raise_chained(), cleanup, [])
    assert type(info.value.__context__) is ValueError
    log = []
    assert await probe.guarded(pyco("kept"), lambda: asyncio.sleep(0), log) == "kept"
    assert log == ["done", ("cleanup", None), "cleaned"]


async def test_cleanup_body_in_cpp_sees_the_failure_as_handled():
    log = []
    with pytest.raises(ValueError) as info:
        await probe.guarded_in_cpp(raise_chained(), log)
    assert log == [info.value, info.value]
    log = []
    assert await probe.guarded_in_cpp(pyco(1), log) == "done" and log == [None, None]


class Manager:
    def __init__(self, suppress=False, fail_exit=False):
        self.calls = []
        self.suppress = suppress
        self.fail_exit = fail_exit

    async def __aenter__(self):
        await asyncio.sleep(0)
        self.calls.append("enter")
        return self

    async def __aexit__(self, exc_type, exc, tb):
        await asyncio.sleep(0)
        self.calls.append((exc_type, exc, tb))
        if self.fail_exit:
            raise OSError("exit failed")
        return self.suppress


class Quiet(Manager):
    async def __aexit__(self, *exc):
        self.calls.append(exc)  # without suspending: fit for close()


def test_handled_exception_stays_with_the_await_that_shows_it():
    async def awaiting(reached, gate, native):
        if native:
            await probe.within(Manager(suppress=True), lambda _: raise_chained())
        else:
            async with Manager(suppress=True):
                await raise_chained()
        reached.set_result(None)
        await gate
        return sys.exc_info()[1]

    seen = []
    for native in (False, True):
        loop = asyncio.new_event_loop()
        try:
            reached, gate = loop.create_future(), loop.create_future()
            task = loop.create_task(awaiting(reached, gate, native))
            try:
                raise KeyError("handled around the loop")
            except KeyError:
                loop.run_until_complete(reached)
            gate.set_result(None)
            seen.append(loop.run_until_complete(task))
        finally:
            loop.close()
    assert seen == [None, None]


async def test_async_with_passes_every_way_out_to_aexit():
    m = Manager()
    assert await probe.within(m, lambda entered: pyco(entered)) is m
    assert m.calls == ["enter", (None, None, None)]

    m = Manager()
    with pytest.raises(ValueError) as info:
        await probe.within(m, lambda _: raise_chained())
    exc_type, exc, tb = m.calls[1]
    assert exc_type is ValueError and exc is info.value and tb in list(_tb_chain(exc.__traceback__))

    m = Manager(suppress=True)
    assert await probe.within(m, lambda _: raise_chained()) is None

    m = Manager(fail_exit=True)
    with pytest.raises(OSError) as info:
        await probe.within(m, lambda _: raise_chained())
    assert type(info.value.__context__) is ValueError

    m = Manager()
    task = await _start(probe.within(m, lambda _: asyncio.sleep(10)))
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert m.calls[1][0] is asyncio.CancelledError and isinstance(m.calls[1][1], asyncio.CancelledError)
    assert probe.live_trackers() == 0


async def test_async_with_refuses_what_is_no_context_manager():
    with pytest.raises(TypeError, match="'int' object does not support the asynchronous context manager protocol$"):
        await probe.within(1, pyco)

    class NoExit:
        async def __aenter__(self):
            pass

    with pytest.raises(TypeError, match=r"\(missed __aexit__ method\)"):
        await probe.within(NoExit(), pyco)

    class SyncEnter:
        def __aenter__(self):
            return 1

        async def __aexit__(self, *exc):
            pass

    with pytest.raises(TypeError, match="from __aenter__ that does not implement __await__: int"):
        await probe.within(SyncEnter(), pyco)


async def test_gather_wait_for_and_timeouts():
    assert await asyncio.gather(probe.value_of(1), probe.await_one(pyco(2, 0.001)), probe.nested(1, Ready())) == [1, 2, (1, "ready")]
    assert await asyncio.wait_for(probe.await_one(pyco(3)), 1) == 3
    log = []
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(probe.guarded(asyncio.sleep(10), lambda: asyncio.sleep(0), log), 0.01)
    assert log[-1] == "cleaned"
    with pytest.raises(TimeoutError):
        async with asyncio.timeout(0.01):
            await probe.hold(asyncio.sleep(10))
    assert probe.live_trackers() == 0


# ---------------------------------------------------------------------------
# Close and destruction


class Finally:
    def __init__(self):
        self.closed = False

    async def wait(self):
        try:
            await asyncio.sleep(10)
        finally:
            self.closed = True


@pytest.mark.parametrize("end", ["close", "drop"])
async def test_close_and_drop_release_everything(end):
    f = Finally()
    sentinel = object()
    before = sys.getrefcount(sentinel)
    probe.value_of(sentinel)  # unstarted, dropped at once
    m = Quiet()
    c = probe.hold(probe.within(m, lambda _: f.wait()))
    c.send(None)  # in __aenter__
    assert isinstance(c.send(None), asyncio.Future) and probe.live_trackers() == 2  # in the body
    inner = weakref.ref(c.cr_await)
    if end == "close":
        assert c.close() is None and not c.cr_suspended and c.cr_await is None
    else:
        del c
    gc.collect()
    assert f.closed and inner() is None and probe.live_trackers() == 0
    assert m.calls[1][0] is GeneratorExit
    assert sys.getrefcount(sentinel) == before


def test_unstarted_coroutines_run_nothing_and_warn_nothing():
    c = probe.hold(Ready())
    assert probe.live_trackers() == 0
    c.close()
    del c
    probe.cpp_error("value")  # never started: never raises


def test_nothing_is_printed_at_exit():
    script = textwrap.dedent(
        """
        import asyncio
        from pelorin import _aio_probe as probe
        loop = asyncio.new_event_loop()
        fut = loop.create_future()
        suspended = probe.hold(probe.await_one(fut))
        suspended.send(None)
        unstarted = probe.value_of(1)
        cycle = [suspended]
        cycle.append(cycle)
        loop.close()
        """
    )
    result = run_python(script, flags=["-W", "error", "-X", "dev"], hung="the interpreter hung at exit")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


_LOAD_AGAIN = """
    if not loaded:
        load_afresh("pelorin._aio_probe", loaded.append)
    raise AttributeError(name)
"""


@pytest.mark.parametrize(
    "hook, printed",
    [
        (_LOAD_AGAIN, "1 2 True True"),
        ("    raise KeyboardInterrupt", "KeyboardInterrupt"),
        ("    raise AttributeError(name)", "None True"),
    ],
    ids=["loads the module again", "interrupted", "no marker"],
)
def test_what_python_code_does_while_the_types_are_made(hook, printed):
    """The bridge's types are made at the module's first use, asking inspect
    for its marker (user code, here): a load of the same module from there
    gets types of its own instead of a hang, and an interrupt is no missing
    marker."""
    script = textwrap.dedent(
        """
        import asyncio, importlib.util, inspect
        loaded = []
        def hook(name):
            assert name == "_is_coroutine_mark"
        {hook}
        inspect.__getattr__ = hook
        try:
            from pelorin import _aio_probe as probe
        except BaseException as e:
            print(type(e).__name__)
            raise SystemExit
        del inspect.__getattr__
        if loaded:
            again = loaded[0]
            print(asyncio.run(probe.await_one(again.value_of(1))), asyncio.run(again.await_one(probe.value_of(2))),
                  asyncio.iscoroutinefunction(probe.await_one), asyncio.iscoroutinefunction(again.await_one))
        else:
            print(getattr(probe.await_one, "_is_coroutine_marker", None), asyncio.iscoroutinefunction(probe.await_one))
        """
    ).format(hook=textwrap.indent(textwrap.dedent(hook), "    "))
    result = run_python(LOAD_AFRESH_SOURCE + script, flags=["-W", "error", "-X", "dev"],
                        hung="the module's first use hung while its types were made")
    assert (result.returncode, result.stdout, result.stderr) == (0, printed + "\n", "")


# ---------------------------------------------------------------------------
# Coroutine functions


def test_coroutine_functions_are_recognised():
    instance = probe.Probe()
    made = probe.make_callable("Outer.<locals>.channel", pyco)
    for fn in [probe.await_one, probe.checked, probe.Probe.__call__, instance.__call__, instance.keyed, made,
               probe.make_variadic("v", pyco), probe.make_nullary("n", 1)]:
        assert asyncio.iscoroutinefunction(fn), fn
    assert starlette._utils.is_async_callable(instance)
    config = uvicorn.Config(instance, log_config=None)
    config.load()
    assert config.interface == "asgi3"


def test_coroutine_function_attributes_and_binding():
    assert (probe.await_one.__name__, probe.await_one.__qualname__) == ("await_one", "await_one")
    assert probe.await_one.__module__ == "pelorin._aio_probe"
    assert probe.await_one.__doc__ == "Awaits one awaitable."
    assert repr(probe.await_one).startswith("<function await_one at 0x")
    instance = probe.Probe()
    bound = instance.keyed
    assert bound.__self__ is instance and bound.__func__ is probe.Probe.keyed
    assert (probe.Probe.keyed.__name__, probe.Probe.keyed.__qualname__) == ("keyed", "Probe.keyed")
    assert probe.Probe.__call__.__doc__ == "Awaits the awaitable." and probe.Probe.keyed.__doc__ is None
    made = probe.make_callable("Outer.<locals>.channel", pyco)
    assert (made.__name__, made.__qualname__, made.__module__) == ("channel", "Outer.<locals>.channel", None)
    c = made(1)
    assert c.__qualname__ == "Outer.<locals>.channel" and "channel" in repr(c)
    c.close()


def test_signatures_of_coroutine_functions_and_methods():
    instance = probe.Probe()
    cases = [
        (probe.await_one, "(awaitable)"),
        (probe.checked, "(*, text, awaitable=None)"),
        (probe.none_of, "()"),
        (probe.Probe.keyed, "(self, /, *, key)"),
        (instance.keyed, "(*, key)"),
        (probe.Probe.__call__, "(self, /, awaitable)"),
        (instance.__call__, "(awaitable)"),
        (instance, "(awaitable)"),
    ]
    for fn, signature in cases:
        assert str(inspect.signature(fn)) == signature, fn
        assert asyncio.iscoroutinefunction(fn) or fn is instance
    assert inspect.signature(instance.keyed).parameters["key"].kind is inspect.Parameter.KEYWORD_ONLY


async def test_native_asgi_application_with_wrapped_channels():
    app = probe.Echo()
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test") as client:
        answers = await asyncio.gather(*(client.post("/", content=f"body {i}".encode()) for i in range(20)))
    assert [a.content for a in answers] == [f"body {i}".encode() for i in range(20)]
    received, sent = app.counts
    assert received >= 1 and sent == 2


async def test_methods_and_callables_run():
    instance = probe.Probe()
    assert await instance(pyco("called")) == "called"
    assert await instance.keyed(key="k") == (instance, "k")
    assert await probe.Probe.keyed(instance, key="k") == (instance, "k")
    assert await probe.make_callable("c", pyco)("one") == "one"
    assert await probe.make_variadic("v", pyco)(2, delay=0) == 2
    assert await probe.make_nullary("n", (1,))() == (1,)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: probe.checked(text=1), "argument 'text' must be str, not int"),
        (lambda: probe.checked("x"), r"^checked\(\) takes 0 positional arguments but 1 was given$"),
        (lambda: probe.Probe().keyed(key=b"k"), "argument 'key' must be str, not bytes"),
        (lambda: probe.Probe().keyed("k"), r"^Probe\.keyed\(\) takes 1 positional argument but 2 were given$"),
        (lambda: probe.Probe.keyed(key="k"), r"^Probe\.keyed\(\) missing 1 required positional argument: 'self'$"),
        (lambda: probe.checked(), r"^checked\(\) missing 1 required keyword-only argument: 'text'$"),
        (lambda: probe.make_callable("A.f", pyco)(), r"^A\.f\(\) takes 1 positional argument but 0 were given$"),
        (lambda: probe.make_callable("A.f", pyco)(1, 2), r"^A\.f\(\) takes 1 positional argument but 2 were given$"),
        (lambda: probe.make_callable("A.f", pyco)(value=1), r"^A\.f\(\) got an unexpected keyword argument 'value'$"),
        (lambda: probe.make_nullary("g", 1)(1), r"^g\(\) takes 0 positional arguments but 1 was given$"),
        (lambda: probe.cast_value(1.5), "^'float' object cannot be interpreted as an integer$"),
    ],
)
def test_argument_errors_are_raised_by_the_call(call, message):
    with pytest.raises(TypeError, match=message):
        call()


async def test_closure_outlives_its_function_while_a_coroutine_runs():
    made = probe.make_callable("c", lambda v: pyco(v, 0.001))
    c = made("kept")
    del made
    gc.collect()
    assert await c == "kept"


async def test_relay_starts_at_its_first_step_and_finishes_with_the_result():
    calls = []
    relay = probe.make_relay("Outer.<locals>.relay", lambda m: calls.append(("start", m)) or pyco(m, 0.001),
                             lambda m, r: calls.append(("finish", m, r)) or ("done", r))
    c = relay("m")
    assert calls == [] and asyncio.iscoroutine(c) and asyncio.iscoroutinefunction(relay)
    assert (c.__qualname__, relay.__name__, str(inspect.signature(relay))) == ("Outer.<locals>.relay", "relay", "(arg1, /)")
    assert await c == ("done", "m") and calls == [("start", "m"), ("finish", "m", "m")]
    nullary = probe.make_relay("n", lambda: Ready(), arity=0)
    assert str(inspect.signature(nullary)) == "()" and await nullary() == "ready"
    never = relay("never")
    never.close()
    assert outcome(lambda: never.send(None))[:2] == ("raise", "RuntimeError") and len(calls) == 2


def _stop(*_):
    raise StopIteration("inside")


@pytest.mark.parametrize(
    "start, finish, error, message",
    [
        (lambda m: 5, None, TypeError, "^object int can't be used in 'await' expression$"),
        (lambda m: 1 / 0, None, ZeroDivisionError, "division by zero"),
        (lambda m: Ready(), lambda m, r: {}[m], KeyError, "m"),
        (lambda m: Ready(), _stop, RuntimeError, "^coroutine raised StopIteration$"),
        (lambda m: raise_chained(), None, ValueError, None),
    ],
    ids=["not awaitable", "start fails", "finish fails", "finish stops", "awaited fails"],
)
async def test_relay_errors_leave_as_from_a_body(start, finish, error, message):
    c = probe.make_relay("r", start, finish)("m")
    with pytest.raises(error, match=message):
        await c
    assert outcome(lambda: c.send(None)) == ("raise", "RuntimeError", "cannot reuse already awaited coroutine")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: relay_one(), r"^relay_one\(\) takes 1 positional argument but 0 were given$"),
        (lambda: relay_one(1, 2), r"^relay_one\(\) takes 1 positional argument but 2 were given$"),
        (lambda: relay_one(awaitable=1), r"^relay_one\(\) got an unexpected keyword argument 'awaitable'$"),
        (lambda: probe.make_relay("n", Ready, arity=0)(1), r"^n\(\) takes 0 positional arguments but 1 was given$"),
    ],
)
def test_relay_calls_that_do_not_fit_are_refused(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_relay_refuses_reentry_while_it_starts():
    def start(box):
        box.extend([outcome(lambda: box[0].send(None)), outcome(lambda: box[0].throw(KeyError)), outcome(box[0].close)])
        return Ready()

    box = []
    c = probe.make_relay("r", start)(box)
    box.insert(0, c)
    assert outcome(lambda: c.send(None)) == ("stop", "ready")
    assert box[1:] == [("raise", "ValueError", "coroutine already executing")] * 3


def test_relay_cycles_through_its_argument_are_collected():
    rec = Recorder()
    c = relay_one(rec)
    rec.keep = c  # the argument holds its coroutine
    c.send(None)
    ref = weakref.ref(c)
    del c, rec
    gc.collect()
    assert ref() is None and gc.garbage == []


# ---------------------------------------------------------------------------
# Garbage collection and leaks


@pytest.mark.parametrize("body", [probe.await_one, probe.lambda_body, lambda fut: probe.hold(py_await_one(fut))])
def test_pending_task_cycles_are_collected(body):
    loop = asyncio.new_event_loop()
    messages = []
    loop.set_exception_handler(lambda _, context: messages.append(context["message"]))
    try:
        fut = loop.create_future()
        task = loop.create_task(body(fut))
        loop.run_until_complete(asyncio.sleep(0))
        assert fut._callbacks  # the task waits on the future
        ref = weakref.ref(task)
        del task, fut
        gc.collect()
        assert ref() is None and gc.garbage == []
        assert messages == ["Task was destroyed but it is pending!"]
        assert probe.live_trackers() == 0
    finally:
        loop.close()


async def _workload(sentinel):
    await probe.await_one(pyco(sentinel))
    await probe.nested(2, asyncio.sleep(0, sentinel))
    await probe.make_callable("c", pyco)(sentinel)
    await relay_one(pyco(sentinel))
    with pytest.raises(ValueError):
        await relay_one(raise_chained())
    await probe.Probe()(probe.value_of(sentinel))
    with pytest.raises(ValueError):
        await probe.await_one(raise_chained())
    with pytest.raises(LookupError):
        await probe.raise_from_at(raise_chained(), LookupError(sentinel), True)
    with pytest.raises(ValueError):
        await probe.cpp_error("value")
    await probe.within(Manager(), lambda _: pyco(sentinel))
    await probe.within(Manager(suppress=True), lambda _: raise_chained())
    task = await _start(probe.guarded(asyncio.sleep(10), lambda: asyncio.sleep(0), [sentinel]))
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    c = probe.hold(Recorder())
    c.send(None)
    c.close()
    c = probe.hold(Recorder())
    c.send(None)
    del c
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(probe.hold(asyncio.sleep(10, sentinel)), 0.001)
    with pytest.raises(StopIteration):
        probe.value_of((sentinel,)).send(None)


def test_no_references_or_objects_leak_over_many_runs():
    sentinel = object()
    loop = asyncio.new_event_loop()
    try:
        assert_no_leak(lambda: loop.run_until_complete(_workload(sentinel)), warmup=20, rounds=300, blocks=None,
                       objects=100, watched=(sentinel,))
        assert probe.live_trackers() == 0
    finally:
        loop.close()


async def _py_nested(depth, awaitable):
    if depth == 0:
        return await awaitable
    return (depth, await _py_nested(depth - 1, awaitable))


@pytest.mark.parametrize("nest", [_py_nested, probe.nested])
async def test_too_deep_a_chain_is_a_recursion_error(nest):
    assert (await nest(50, pyco("x")))[0] == 50
    with pytest.raises(RecursionError):
        await nest(sys.getrecursionlimit() * 2, Ready())
    assert probe.live_trackers() == 0
