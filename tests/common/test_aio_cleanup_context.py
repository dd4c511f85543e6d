"""An exception thrown into a native body while it awaits its cleanup (a
cancellation, a Future's error, throw() by hand) leaves with the failure being
handled as its __context__, as from the `finally:` or `async with` of an
`async def`."""

import asyncio
import importlib
import sys
import threading

import pytest

from pelorin import _aio_probe as probe


def chain(e):
    """An exception and the implicit contexts below it, by type and args."""
    seen = []
    while e is not None and len(seen) < 4:
        seen.append((type(e).__name__, e.args))
        e = e.__context__
    return seen


async def py_guarded(awaitable, cleanup, log):
    try:
        return await awaitable
    finally:
        await cleanup()


async def py_within(manager, body):
    async with manager as entered:
        return await body(entered)


TWINS = {"guarded": (probe.guarded, py_guarded), "within": (probe.within, py_within)}


class Exiting:
    """A context manager whose __aexit__ awaits what `cleanup()` gives."""

    def __init__(self, cleanup):
        self.cleanup = cleanup

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        await self.cleanup()


def started(road, body, first, cleanup):
    """The body on its road: `first()` is the guarded work, `cleanup()` what
    the cleanup (or __aexit__) awaits."""
    if road == "guarded":
        return body(first(), cleanup, [])
    return body(Exiting(cleanup), lambda _: first())


async def failing():
    raise KeyError("first")


async def succeeding():
    return "done"


class Parked:
    """Yields "marker" once; a throw() into it raises there."""

    def __await__(self):
        yield "marker"


class NoThrow:
    """Awaited through an iterator without throw(): a throw() is raised at the await."""

    def __await__(self):
        return iter(["marker"])


async def py_await(awaitable):
    return await awaitable


CLEANUPS = {
    "parks": Parked,
    "no throw method": NoThrow,
    "python coroutine": lambda: py_await(Parked()),
    "native coroutine": lambda: probe.await_one(Parked()),
}


@pytest.mark.parametrize("thrown", [lambda: OSError("thrown"), GeneratorExit], ids=["error", "GeneratorExit"])
@pytest.mark.parametrize("first", [failing, succeeding], ids=["after a failure", "after success"])
@pytest.mark.parametrize("cleanup", CLEANUPS)
@pytest.mark.parametrize("road", TWINS)
def test_thrown_into_the_cleanup_by_hand(road, cleanup, first, thrown):
    seen = []
    for body in TWINS[road]:
        c = started(road, body, first, CLEANUPS[cleanup])
        assert c.send(None) == "marker"  # parked in the cleanup
        with pytest.raises(BaseException) as info:
            c.throw(thrown())
        seen.append(chain(info.value))
    assert seen[0] == seen[1]
    assert len(seen[0]) == (2 if first is failing else 1)


class Answer:
    """What __aexit__ gives: its truth notes what is being handled, then
    raises or says whether to suppress."""

    def __init__(self, then):
        self.then, self.handled = then, []

    def __bool__(self):
        self.handled.append(chain(sys.exc_info()[1]))
        if isinstance(self.then, BaseException):
            raise self.then
        return self.then


class Answering:
    def __init__(self, then):
        self.answer = Answer(then)

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return self.answer


@pytest.mark.parametrize("then", [lambda: OSError("no answer"), lambda: True, lambda: False],
                         ids=["raises", "suppresses", "lets through"])
async def test_the_truth_of_what_aexit_gives_is_asked_in_the_handler(then):
    seen = []
    for within in TWINS["within"]:
        manager = Answering(then())
        try:
            outcome = await within(manager, lambda _: failing())
        except BaseException as e:
            outcome = chain(e)
        seen.append((outcome, manager.answer.handled))
    assert seen[0] == seen[1]
    assert seen[0][1] == [[("KeyError", ("first",))]]


async def _drive(make, steps):
    """Runs make() in a task that gives back what it raised; `steps` acts on
    the task at the points the body reaches."""
    async def catching():
        try:
            return await make()
        except BaseException as e:
            return e

    task = asyncio.ensure_future(catching())
    await steps(task)
    return await task


class Signal:
    """Parks its awaiter for good, setting `reached` when it does."""

    def __init__(self):
        self.reached = asyncio.Event()

    async def __call__(self, *args):
        self.reached.set()
        await asyncio.Event().wait()


async def _cancelled_twice(task, work, cleanup):
    await asyncio.wait_for(work.reached.wait(), 5)
    task.cancel("first")
    await asyncio.wait_for(cleanup.reached.wait(), 5)
    task.cancel("second")


def _failing_future(error):
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(fut.set_exception, error)
    return fut


async def _cancel_twice(road, body):
    work, cleanup = Signal(), Signal()
    return await _drive(lambda: started(road, body, work, cleanup), lambda task: _cancelled_twice(task, work, cleanup))


async def _future_fails(road, body, first):
    async def nothing(task):
        pass

    return await _drive(lambda: started(road, body, first, lambda: _failing_future(OSError("cleanup"))), nothing)


LOOP_ROWS = {
    "within, cancelled again in __aexit__": lambda body: _cancel_twice("within", body),
    "guarded, cancelled again in the cleanup": lambda body: _cancel_twice("guarded", body),
    "within, __aexit__'s future fails": lambda body: _future_fails("within", body, failing),
    "guarded, the cleanup's future fails": lambda body: _future_fails("guarded", body, failing),
    "guarded, the cleanup's future fails after success": lambda body: _future_fails("guarded", body, succeeding),
}


@pytest.mark.parametrize("row", LOOP_ROWS)
async def test_what_the_task_throws_into_the_cleanup(row):
    road = row.split(",")[0]
    seen = [chain(await LOOP_ROWS[row](body)) for body in TWINS[road]]
    assert seen[0] == seen[1]
    if "cancelled" in row:
        assert seen[0][:2] == [("CancelledError", ("second",)), ("CancelledError", ("first",))]
    elif "success" in row:
        assert seen[0] == [("OSError", ("cleanup",))]
    else:
        assert seen[0] == [("OSError", ("cleanup",)), ("KeyError", ("first",))]


# ---------------------------------------------------------------------------
# The modules' own roads


def _kit(name, module):
    """A module's test kit (its conftest), or a skip where it is not built."""
    pytest.importorskip(module)
    return importlib.import_module(f"tests.{name}.conftest")


@pytest.fixture
def brondic_kit(tmp_path):
    kit = _kit("brondic", "pelorin.keepa.services.brondic")
    from pelorin.keepa.accounts import KeepaApiKeyProvider
    from pelorin.keepa.api import client
    from pelorin.keepa.config import KeepaSettings

    client.reset_scripts()
    settings = KeepaSettings(output_dir=tmp_path / "out", reserve_tokens=0, api_keys=("key-1",))
    yield kit, client, kit.brondic.KeepaBrondic(settings=settings, api_key_provider=KeepaApiKeyProvider(settings))
    client.reset_scripts()


async def test_brondic_run_cancelled_again_while_the_client_exits(brondic_kit):
    kit, client, manager = brondic_kit
    request, leaving = kit.Gate(), kit.Gate()
    client.script_key("key-1", token_status=kit.ENOUGH, responses=request, exit=leaving)
    e = await _drive(lambda: manager.run(kit.request_for()), lambda task: _cancelled_twice(task, request, leaving))
    assert chain(e)[:2] == [("CancelledError", ("second",)), ("CancelledError", ("first",))]
    assert client.events[-1] == ("exit", "key-1", asyncio.CancelledError)


@pytest.fixture
def lusmere_kit(tmp_path, monkeypatch):
    kit = _kit("lusmere", "pelorin.mcp.lusmere")
    import pelorin.auth
    from pelorin.auth.storage import credential_store
    from pelorin.mcp import credential_cache
    from pelorin.mcp.tools import helpers

    monkeypatch.setattr(credential_store, "DEFAULT_BASE_DIR", tmp_path / "default")
    monkeypatch.setattr(helpers, "ISOLATED_CREDENTIALS_ROOT", tmp_path / "isolated")
    credential_cache._views.clear()
    platform = kit.Platform()
    monkeypatch.setattr(pelorin.auth, "AuthClient", platform.client_type())
    yield kit, platform
    credential_cache._views.clear()


async def test_lusmere_cancelled_in_the_relogin_after_a_refused_fetch(lusmere_kit):
    kit, platform = lusmere_kit
    kit.set_identity(auth_mode="remote", api_key="alice", email="alice@example.com")
    kit.seed_session(kit.isolated_dir("alice"), "s-0", "alice@example.com")
    refusal = kit.HttpError("session revoked", response=kit.Response(401))

    def exchange(session_id):
        raise refusal

    platform.exchange = exchange
    gate = platform.login_gates["alice"] = threading.Event()

    async def in_relogin(task):
        for _ in range(500):
            if platform.entered:
                break
            await asyncio.sleep(0.01)
        task.cancel("relogin")
        await asyncio.sleep(0)
        gate.set()

    e = await _drive(lambda: kit.lusmere_module.ensure_lusmere(require_jwt=True), in_relogin)
    assert type(e) is asyncio.CancelledError and e.args == ("relogin",)
    assert e.__context__ is refusal and platform.entered == ["alice"]
