"""The closing send of a half-sent answer under cancellation: its errors are
swallowed, while a cancellation, a timeout and an interruption that reach
the road there still end the request."""

import asyncio
import sys

import pytest
from starlette.requests import ClientDisconnect

from pelorin.mcp import context

from ..conftest import ApiError

FINAL = {"type": "http.response.body", "body": b"", "more_body": False}


class Halt(BaseException):
    """A BaseException of the application's own, not an Exception."""


class Gone(OSError):
    pass


async def _half_answer(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"part", "more_body": True})


class ParkingServer:
    """The server's channels: every message goes through, except the final
    empty body part, whose send parks on a Future of the running loop (a
    client that no longer reads)."""

    def __init__(self):
        self.sent = []
        self.parked = None

    async def receive(self):
        return {"type": "http.request", "body": b"", "more_body": False}

    def send(self, message):
        self.sent.append(message)
        if message == FINAL:
            self.parked = asyncio.get_running_loop().create_future()
            return self.parked
        return self._through()

    async def _through(self):
        pass


def _road(kit, gatlow, server):
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(_half_answer), api_key="k")
    return mw(kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")), server.receive, server.send)


def _parked_road(kit, gatlow):
    server = ParkingServer()
    road = _road(kit, gatlow, server)
    assert road.send(None) is server.parked
    return road, server


@pytest.mark.parametrize("thrown, swallowed", [
    pytest.param(KeyboardInterrupt(), False, id="KeyboardInterrupt"),
    pytest.param(SystemExit(3), False, id="SystemExit"),
    pytest.param(Halt("stop"), False, id="BaseException-subclass"),
    pytest.param(asyncio.CancelledError(), False, id="CancelledError"),
    pytest.param(GeneratorExit(), False, id="GeneratorExit"),
    pytest.param(OSError("connection reset"), True, id="Exception"),
    pytest.param(Gone("gone"), True, id="Exception-subclass"),
    pytest.param(ApiError, True, id="class-making-a-subclass"),
])
async def test_thrown_into_the_parked_final_send(kit, gatlow, events, thrown, swallowed):
    road, server = _parked_road(kit, gatlow)
    if swallowed:
        with pytest.raises(StopIteration) as stop:
            road.throw(thrown)
        assert stop.value.value is None
    else:
        with pytest.raises(type(thrown)) as caught:
            road.throw(thrown)
        assert caught.value is thrown
    assert server.sent[-1] == FINAL
    assert events[-1] == "app_dispatch_done path=/api/v1/keepa response_started=True response_complete=False"


async def _cancel(task, server):
    task.cancel()


async def _fail_with_error(task, server):
    server.parked.set_exception(OSError("connection reset"))


async def _fail_with_disconnect(task, server):
    server.parked.set_exception(ClientDisconnect())


@pytest.mark.parametrize("end, outcome", [
    pytest.param(_cancel, asyncio.CancelledError, id="task.cancel"),
    pytest.param(_fail_with_error, None, id="send-fails-with-an-Exception"),
    pytest.param(_fail_with_disconnect, None, id="send-fails-with-an-Exception-subclass"),
])
async def test_a_task_parked_in_the_final_send(kit, gatlow, events, end, outcome):
    server = ParkingServer()
    task = asyncio.create_task(_road(kit, gatlow, server))
    while server.parked is None:
        await asyncio.sleep(0)
    await end(task, server)
    if outcome is None:
        assert await task is None
    else:
        with pytest.raises(outcome):
            await task
    assert task.done() and server.sent[-1] == FINAL


async def _under_timeout(awaitable):
    async with asyncio.timeout(0.05):
        await awaitable


async def _under_wait_for(awaitable):
    await asyncio.wait_for(awaitable, 0.05)


@pytest.mark.parametrize("limit", [_under_timeout, _under_wait_for])
async def test_a_timeout_reaches_the_parked_final_send(kit, gatlow, events, limit):
    server = ParkingServer()
    with pytest.raises(TimeoutError):
        await limit(_road(kit, gatlow, server))
    assert server.sent[-1] == FINAL and server.parked.cancelled()


@pytest.mark.parametrize("send_raises", [None, Halt("stop")], ids=["send-returns", "send-raises-Halt"])
async def test_the_final_send_handles_the_latest_failure(kit, gatlow, monkeypatch, send_raises):
    """When the closing trace line fails after the application failed, the
    context reset and the final send run while the trace's error is being
    handled (whose context is the application's failure), as in a
    `finally:` within a `finally:`."""
    app_failure, trace_failure = RuntimeError("app failed"), OSError("trace failed")

    def trace(message):
        if message.startswith("app_dispatch_done"):
            raise trace_failure

    async def failing(scope, receive, send):
        await _half_answer(scope, receive, send)
        raise app_failure

    handled = []

    async def send(message):
        if message == FINAL:
            handled.append(sys.exc_info()[1])
            if send_raises is not None:
                raise send_raises

    class Holder:
        def __init__(self, var):
            self.var = var

        def set(self, value):
            return self.var.set(value)

        def reset(self, token):
            handled.append(sys.exc_info()[1])
            self.var.reset(token)

    monkeypatch.setattr(context, "mcp_request_ctx", Holder(context.mcp_request_ctx))
    monkeypatch.setattr(gatlow, "_trace_keepa", trace)
    mw = gatlow.ApiKeyGatlow(failing, api_key="k")
    expected = send_raises if send_raises is not None else trace_failure
    with pytest.raises(type(expected)) as caught:
        await mw(kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")), kit.Channels().receive, send)
    assert caught.value is expected
    assert handled == [trace_failure, trace_failure] and trace_failure.__context__ is app_failure
    if send_raises is not None:
        assert send_raises.__context__ is trace_failure


@pytest.mark.parametrize("str_raises, swallowed", [
    pytest.param(KeyboardInterrupt(), False, id="KeyboardInterrupt"),
    pytest.param(asyncio.CancelledError(), False, id="CancelledError"),
    pytest.param(Halt("stop"), False, id="BaseException-subclass"),
    pytest.param(ValueError("no text"), True, id="Exception"),
])
async def test_an_application_error_whose_text_cannot_be_read(kit, gatlow, str_raises, swallowed):
    """Reading the text of the application's runtime error (is it "Expected
    ASGI message"?) drops the reading's ordinary error, and the application's
    error stands; an interruption raised there replaces it."""

    class Unreadable(RuntimeError):
        def __str__(self):
            raise str_raises

    app_failure = Unreadable()

    async def failing(scope, receive, send):
        await _half_answer(scope, receive, send)
        raise app_failure

    channels = kit.Channels()
    expected = app_failure if swallowed else str_raises
    with pytest.raises(BaseException) as caught:
        await kit.run(gatlow.ApiKeyGatlow(failing, api_key="k"), kit.http_scope(headers=kit.bearer("k")), channels)
    assert caught.value is expected
    if not swallowed:
        assert str_raises.__context__ is app_failure
    assert channels.sent[-1] == FINAL and context.mcp_request_ctx.get() is None
