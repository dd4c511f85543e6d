"""The request road: construction, pass-through rules, the three modes, the
scope keys and identity record, the application's channels and the closing
steps, driven in process through ASGI."""

import asyncio
import contextvars
import gc
import inspect
import logging
import os
import subprocess
import sys
import textwrap
import time
import types
import weakref

import pytest
from starlette.requests import ClientDisconnect

from pelorin.mcp import context

from ..conftest import (ApiError, Disguised, NotFound, Parking, StrSub, assert_no_leak_async, colliding_key,
                        orphan_by_throw, orphan_by_throw_while_made, raise_api_error, settled)

SENTINEL = {"api_key": "outer"}
MCP_KEYS = ["mcp_api_key", "mcp_auth_mode", "mcp_user_id", "mcp_user_email", "mcp_allowed_tools",
            "mcp_permission_enabled"]
USER = {"valid": True, "user_id": "u1", "email": "u1@example.com", "allowed_tools": ["a"],
        "permission_enabled": True}


@pytest.fixture(autouse=True)
def outer_identity():
    """An identity that is current around each request: the road must restore it."""
    token = context.mcp_request_ctx.set(SENTINEL)
    yield
    assert context.mcp_request_ctx.get() is SENTINEL
    context.mcp_request_ctx.reset(token)


def verdict(result, calls=None):
    async def _verify_remote(token):
        if calls is not None:
            calls.append(token)
        if isinstance(result, BaseException):
            raise result
        return result

    return _verify_remote


def mcp_keys(scope):
    return {k: v for k, v in scope.items() if k.startswith("mcp_")}


# ---------------------------------------------------------------------------
# Construction


def test_constructor_defaults_and_attributes(gatlow):
    app = object()
    mw = gatlow.ApiKeyGatlow(app)
    assert mw.app is app
    assert (mw._api_key, mw._auth_verify_url, mw._protected_path_prefixes) == (None, None, None)
    assert mw._trust_upstream_corvane_identity is False
    assert mw._verify_cache == {} and mw._client is None
    assert gatlow.ApiKeyGatlow(app, trust_upstream_corvane_identity=[1])._trust_upstream_corvane_identity is True
    with pytest.raises(TypeError):
        gatlow.ApiKeyGatlow(app, "positional-key")


def test_plain_classes_keep_their_state_in_instance_attributes(gatlow):
    cls = gatlow.ApiKeyGatlow
    assert cls.__bases__ == (object,) and gatlow.FixedApiKeyAuthProvider.__bases__ == (object,)
    members = [name for name in vars(cls) if name in ("__init__", "__call__") or not name.startswith("__")]
    assert members == ["__init__", "_header", "_is_protected_path", "_internal_identity", "_extract_token",
                       "__call__", "_get_client", "_verify_remote", "_send_401", "_send_503"]
    assert list(vars(cls(None, api_key="k"))) == ["app", "_api_key", "_auth_verify_url", "_protected_path_prefixes",
                                                   "_trust_upstream_corvane_identity", "_verify_cache", "_client"]
    assert vars(gatlow.FixedApiKeyAuthProvider("k")) == {"_api_key": "k"}


def test_cycle_through_the_application_is_collected(gatlow):
    class App:
        async def __call__(self, scope, receive, send):
            pass

    app = App()
    app.middleware = gatlow.ApiKeyGatlow(app, api_key="k")
    app.middleware._verify_cache["k"] = (0.0, {"app": app})
    gone = weakref.ref(app.middleware)
    del app
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("options, level, message", [
    ({"auth_verify_url": "https://tovan.example/v1/mcp/verify-key", "api_key": "k"}, logging.INFO,
     "MCP Server 运行在远程校验模式，校验地址: https://tovan.example/v1/mcp/verify-key"),
    ({"api_key": "k", "auth_verify_url": "", "trust_upstream_corvane_identity": True}, logging.INFO,
     "MCP Server 运行在固定 API Key 模式"),
    ({"api_key": "", "protected_path_prefixes": ("/mcp",)}, logging.WARNING, "MCP Server 未配置任何 API Key 鉴权！"),
])
def test_constructor_logs_one_line(gatlow, caplog, options, level, message):
    caplog.set_level(logging.DEBUG, logger="pelorin.mcp")
    gatlow.ApiKeyGatlow(None, **options)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("pelorin.mcp", level, message)]


class Text(str):
    pass


@pytest.mark.parametrize("options, name", [
    ({"api_key": b"k"}, "api_key"),
    ({"api_key": Text("k")}, "api_key"),
    ({"auth_verify_url": 1}, "auth_verify_url"),
    ({"protected_path_prefixes": ["/mcp"]}, "protected_path_prefixes"),
    ({"protected_path_prefixes": "/mcp"}, "protected_path_prefixes"),
    ({"protected_path_prefixes": ("/mcp", b"/api")}, "protected_path_prefixes"),
])
def test_constructor_refuses_wrong_kinds(gatlow, caplog, options, name):
    with pytest.raises(TypeError, match=name):
        gatlow.ApiKeyGatlow(None, **options)
    assert caplog.records == []


@pytest.mark.parametrize("prefixes, path, protected", [
    (None, "/anything", True),
    ((), "/mcp", False),
    (("/mcp", "/api/v1/"), "/api/v1/keepa", True),
    (("/mcp",), "/MCP", False),
    (("/mcp",), "/mc", False),
])
def test_protected_path(gatlow, prefixes, path, protected):
    assert gatlow.ApiKeyGatlow(None, protected_path_prefixes=prefixes)._is_protected_path(path) is protected
    with pytest.raises(TypeError, match="path"):
        gatlow.ApiKeyGatlow(None)._is_protected_path(b"/mcp")


def test_middleware_is_an_asgi3_coroutine_function(gatlow):
    mw = gatlow.ApiKeyGatlow(None)
    assert asyncio.iscoroutinefunction(mw.__call__) and asyncio.iscoroutinefunction(mw._verify_remote)
    assert asyncio.iscoroutinefunction(gatlow.FixedApiKeyAuthProvider.verify_token)
    assert inspect.iscoroutinefunction(mw.__call__)  # what Starlette asks of an ASGI application
    assert gatlow.ApiKeyVerificationUnavailable.__doc__ == "远程 API Key 校验服务暂时不可用。"
    assert issubclass(gatlow.ApiKeyVerificationUnavailable, RuntimeError)


# ---------------------------------------------------------------------------
# Pass-through


@pytest.mark.parametrize("scope", [
    {"type": "websocket", "path": "/mcp", "headers": []},
    {"type": "lifespan"},
    {"type": "http", "method": "OPTIONS", "path": "/mcp", "headers": []},
    {"type": "http", "method": "POST", "path": "/messages/abc", "headers": []},
    {"type": "http", "method": "GET", "path": "/public", "headers": []},
])
async def test_passed_through_unchanged(kit, gatlow, events, scope):
    app = kit.RecordingApp(lambda s, r, w: asyncio.sleep(0))
    mw = gatlow.ApiKeyGatlow(app, api_key="k", protected_path_prefixes=("/mcp", "/messages/"))
    channels = kit.Channels()
    before = dict(scope)
    await mw(scope, channels.receive, channels.send)
    (call,) = app.calls
    assert call["scope"] is scope and scope == before
    assert call["receive"] == channels.receive and call["send"] == channels.send
    assert call["identity"] is SENTINEL and events == []


async def test_pass_through_errors_reach_the_server_unchanged(kit, gatlow):
    error = ValueError("app failed")

    async def failing(scope, receive, send):
        raise error

    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(failing), protected_path_prefixes=())
    with pytest.raises(ValueError) as caught:
        await kit.run(mw, kit.http_scope())
    assert caught.value is error


async def test_messages_path_drops_a_client_disconnect(kit, gatlow, caplog, monkeypatch):
    caplog.set_level(logging.DEBUG, logger="pelorin.mcp")

    async def gone(scope, receive, send):
        raise ClientDisconnect()

    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(gone), api_key="k")
    await kit.run(mw, kit.http_scope("/messages/session"))
    assert [(r.levelno, r.getMessage()) for r in caplog.records][-1] == (
        logging.DEBUG, "客户端在 POST /messages/ 时断开连接，已忽略")
    monkeypatch.setattr(gatlow, "_CLIENT_DISCONNECT_ERRORS", ())
    with pytest.raises(ClientDisconnect):
        await kit.run(mw, kit.http_scope("/messages/session"))


async def test_messages_without_slash_follows_the_normal_rules(kit, gatlow):
    app = kit.RecordingApp()
    channels = await kit.run(gatlow.ApiKeyGatlow(app, api_key="k"), kit.http_scope("/messages"))
    assert channels.status == 401 and app.calls == []


def test_scope_without_type(kit, gatlow):
    with pytest.raises(KeyError):
        asyncio.run(kit.run(gatlow.ApiKeyGatlow(None), {"path": "/"}))


# ---------------------------------------------------------------------------
# The three modes


async def test_internal_mode(kit, gatlow):
    app = kit.RecordingApp()
    calls = []
    mw = gatlow.ApiKeyGatlow(app, auth_verify_url="http://verify.invalid", trust_upstream_corvane_identity=True)
    mw._verify_remote = verdict(None, calls)
    scope = kit.http_scope(headers=[("x-corvane-user-email", " Ada@X.io "), *kit.bearer("wrong")])
    scope["mcp_user_id"] = "set in front"
    channels = await kit.run(mw, scope)
    assert channels.status == 200 and calls == []
    assert mcp_keys(scope) == {"mcp_auth_mode": "internal", "mcp_user_id": None, "mcp_user_email": "ada@x.io",
                               "mcp_allowed_tools": None, "mcp_permission_enabled": False}
    assert app.calls[0]["identity"] == {"api_key": None, "auth_mode": "internal", "user_id": None,
                                        "email": "ada@x.io", "allowed_tools": None, "permission_enabled": False}


async def test_remote_mode(kit, gatlow):
    app = kit.RecordingApp()
    calls = []
    mw = gatlow.ApiKeyGatlow(app, api_key="fixed", auth_verify_url="http://verify.invalid")
    mw._verify_remote = verdict({"valid": True, "user_id": 7, "email": "e@x", "permission_enabled": 0}, calls)
    scope = kit.http_scope(query=b"api_key=remote-key")
    await kit.run(mw, scope)
    assert calls == ["remote-key"]
    assert list(scope)[-6:] == MCP_KEYS
    assert mcp_keys(scope) == {"mcp_api_key": "remote-key", "mcp_auth_mode": "remote", "mcp_user_id": 7,
                               "mcp_user_email": "e@x", "mcp_allowed_tools": None, "mcp_permission_enabled": 0}
    assert list(app.calls[0]["identity"].items()) == [
        ("api_key", "remote-key"), ("auth_mode", "remote"), ("user_id", 7), ("email", "e@x"),
        ("allowed_tools", None), ("permission_enabled", 0)]


@pytest.mark.parametrize("result, status", [(None, 401), ({}, 401), (ValueError("x"), None)])
async def test_remote_mode_refusals(kit, gatlow, result, status):
    """The endpoint alone decides: a rejected key gets 401 even when it is the
    fixed key; an error other than the unavailable one leaves without an answer."""
    app = kit.RecordingApp()
    mw = gatlow.ApiKeyGatlow(app, api_key="fixed", auth_verify_url="http://verify.invalid")
    mw._verify_remote = verdict(result)
    scope = kit.http_scope(headers=kit.bearer("fixed"))
    channels = kit.Channels()
    if status is None:
        with pytest.raises(ValueError):
            await kit.run(mw, scope, channels)
    else:
        await kit.run(mw, scope, channels)
        assert channels.status == status
    assert app.calls == [] and mcp_keys(scope) == {}


async def test_unavailable_verification_answers_503(kit, gatlow):
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    mw._verify_remote = verdict(gatlow.ApiKeyVerificationUnavailable("HTTP 500"))
    channels = await kit.run(mw, kit.http_scope(headers=kit.bearer("k")))
    assert channels.status == 503 and b"auth_service_unavailable" in channels.body


async def test_fixed_mode(kit, gatlow):
    app = kit.RecordingApp()
    mw = gatlow.ApiKeyGatlow(app, api_key="Secret")
    scope = kit.http_scope(headers=kit.bearer("Secret"))
    await kit.run(mw, scope)
    assert mcp_keys(scope) == {"mcp_api_key": "Secret", "mcp_auth_mode": "fixed"}
    assert app.calls[0]["identity"] == {"api_key": "Secret", "auth_mode": "fixed", "user_id": None, "email": None,
                                        "allowed_tools": None, "permission_enabled": None}


@pytest.mark.parametrize("options, headers", [
    ({"api_key": "Secret"}, [("authorization", "Bearer secret")]),
    ({"api_key": "Secret"}, [("authorization", "Basic Secret")]),
    ({"api_key": "Secret"}, []),
    ({"api_key": ""}, [("authorization", "Bearer ")]),
    ({}, [("authorization", "Bearer anything")]),
    ({"api_key": "k"}, [("x-corvane-user-email", "a@b.c")]),
])
async def test_refused_requests(kit, gatlow, events, options, headers):
    app = kit.RecordingApp()
    scope = kit.http_scope(headers=headers)
    channels = await kit.run(gatlow.ApiKeyGatlow(app, **options), scope)
    assert channels.status == 401 and channels.body.endswith(b'"reason":"invalid_api_key"}')
    assert app.calls == [] and mcp_keys(scope) == {} and events == []


async def test_replaced_methods_are_called_through_the_instance(kit, gatlow, monkeypatch):
    seen = []

    class Custom(gatlow.ApiKeyGatlow):
        def _is_protected_path(self, path):
            seen.append(("protected", path))
            return True

    mw = Custom(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    mw._extract_token = lambda scope: seen.append("token") or "from-instance"

    async def verify(self, token):
        seen.append(("verify", token))
        return {"user_id": "u"}

    monkeypatch.setattr(gatlow.ApiKeyGatlow, "_verify_remote", verify)
    await kit.run(mw, kit.http_scope("/p"))
    assert seen == [("protected", "/p"), "token", ("verify", "from-instance")]


async def test_changes_between_requests_count_at_the_next_request(kit, gatlow, monkeypatch):
    app = kit.RecordingApp()
    mw = gatlow.ApiKeyGatlow(app, api_key="k")
    other = gatlow.ApiKeyGatlow(app, api_key="other", protected_path_prefixes=("/api",))

    async def status(middleware, token, path="/api/v1/data"):
        return (await kit.run(middleware, kit.http_scope(path, headers=kit.bearer(token)))).status

    assert await status(mw, "k") == 200
    mw._api_key = "k2"
    assert (await status(mw, "k"), await status(mw, "k2")) == (401, 200)
    assert (await status(other, "nope", "/x"), await status(mw, "nope", "/x")) == (200, 401)
    mw._is_protected_path = lambda path: False
    assert await status(mw, "nope") == 200
    del mw._is_protected_path
    assert await status(mw, "nope") == 401
    monkeypatch.setattr(gatlow.ApiKeyGatlow, "_extract_token", lambda self, scope: "k2")
    assert await status(mw, "nope") == 200
    monkeypatch.undo()
    assert await status(mw, "nope") == 401
    mw._verify_cache = {"t": (time.time() + 60, {"user_id": "cached"})}
    mw._auth_verify_url = "http://verify.invalid"
    assert await status(mw, "t") == 200 and app.calls[-1]["scope"]["mcp_user_id"] == "cached"


def _override_on_instance(mw):
    mw.__dict__["_is_protected_path"] = lambda path: False


def _replace_instance_dict(mw):
    mw.__dict__ = {**mw.__dict__, "_is_protected_path": lambda path: False}


def _override_on_class(mw):
    type(mw)._is_protected_path = lambda self, path: False


@pytest.mark.parametrize("change", [_override_on_instance, _replace_instance_dict, _override_on_class])
async def test_a_change_made_while_the_instance_is_read_counts(kit, gatlow, change):
    """Reading the instance looks names up in its dict, which can run the
    __eq__ of a key whose hash collides: what that code changes applies."""

    class Guarded(gatlow.ApiKeyGatlow):
        pass

    mw = Guarded(kit.RecordingApp(), api_key="secret")
    key = colliding_key("_verify_remote", lambda: change(mw))

    async def status():
        return (await kit.run(mw, kit.http_scope())).status

    assert await status() == 401
    mw.__dict__[key] = 1
    await status()  # the change is made while this request reads the instance
    assert type(key).changed
    assert [await status(), await status()] == [200, 200]


READ_NAMES = ["_is_protected_path", "_extract_token", "_internal_identity", "_verify_remote", "app",
              "_auth_verify_url", "_verify_cache", "_protected_path_prefixes", "_trust_upstream_corvane_identity",
              "_api_key"]


@pytest.mark.parametrize("name", READ_NAMES)
@pytest.mark.parametrize("switch_to", ["ApiKeyGatlow", "a subclass with an override"])
@pytest.mark.parametrize("token", ["secret", None], ids=["key", "no key"])
async def test_a_class_switched_while_the_instance_is_read(kit, gatlow, name, switch_to, token):
    """User code run by a lookup of the reading may assign __class__, and the
    class the instance had may go at once: the request answers as for an
    instance of the class it now has, and so do the next ones."""

    class KeyFree(gatlow.ApiKeyGatlow):
        def _extract_token(self, scope):
            return "secret"

    target = gatlow.ApiKeyGatlow if switch_to == "ApiKeyGatlow" else KeyFree
    # Only the instance refers to its first class: switching drops it.
    mw = type("Doomed", (gatlow.ApiKeyGatlow,), {})(kit.RecordingApp(), api_key="secret")

    def switch():
        mw.__class__ = target
        gc.collect()

    held = vars(mw)
    if name in held:  # the key goes ahead of the name in the lookup's way
        value = held.pop(name)
        held[colliding_key(name, switch, skip=1)] = 1
        held[name] = value
    else:
        held[colliding_key(name, switch)] = 1
    key = next(k for k in held if not isinstance(k, str))
    headers = kit.bearer(token) if token else ()
    expected = 200 if token or target is KeyFree else 401
    statuses = [(await kit.run(mw, kit.http_scope(headers=headers))).status for _ in range(2)]
    assert type(key).changed and type(mw) is target and statuses == [expected, expected]


async def test_host_names_are_read_at_every_request(kit, gatlow, monkeypatch):
    asked, identities = [], []
    replaced = contextvars.ContextVar("replaced")

    async def answer(scope, receive, send):
        identities.append(replaced.get(None))
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b""})

    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(answer), auth_verify_url="http://verify.invalid")
    mw._verify_cache["t"] = (time.time(), USER)
    mw._get_client = lambda: asked.append("asked")  # no client: the endpoint is unavailable

    async def status():
        return (await kit.run(mw, kit.http_scope(headers=kit.bearer("t")))).status

    assert (await status(), asked) == (200, [])
    with monkeypatch.context() as patch:
        patch.setattr(time, "time", lambda: 1e12)
        assert (await status(), asked) == (503, ["asked"])
    with monkeypatch.context() as patch:
        patch.setattr(gatlow, "_VERIFY_CACHE_TTL_SECONDS", -1)
        assert (await status(), len(asked)) == (200, 2)  # stale: asked, then the grace period
    with monkeypatch.context() as patch:
        patch.setattr(context, "mcp_request_ctx", replaced)
        assert await status() == 200
    assert await status() == 200
    assert [i and i["user_id"] for i in identities] == [None, None, "u1", None]


async def test_attributes_that_the_class_defines_are_read_at_every_request(kit, gatlow):
    keys = iter(["a", "b"])

    class Rotating(gatlow.ApiKeyGatlow):
        _api_key = property(lambda self: next(keys), lambda self, value: None)

    mw = Rotating(kit.RecordingApp(), api_key="unused")
    statuses = [(await kit.run(mw, kit.http_scope(headers=kit.bearer("a")))).status for _ in range(2)]
    assert statuses == [200, 401]


async def test_requests_keep_no_middleware_alive(kit, gatlow):
    app = kit.RecordingApp()
    mw = gatlow.ApiKeyGatlow(app, api_key="k")
    assert (await kit.run(mw, kit.http_scope(headers=kit.bearer("k")))).status == 200
    refs = [weakref.ref(mw), weakref.ref(app)]
    del mw, app
    assert [r() for r in refs] == [None, None]


async def test_refusals_and_the_client_are_reached_through_the_instance(kit, gatlow):
    seen = []

    class Custom(gatlow.ApiKeyGatlow):
        async def _send_401(self, scope, send, reason="unused"):
            seen.append(("401", reason))
            await gatlow.ApiKeyGatlow._send_401(self, scope, send, reason=reason)

    refused = await kit.run(Custom(kit.RecordingApp(), api_key="k"), kit.http_scope(headers=kit.bearer("x")))
    assert refused.status == 401 and seen == [("401", "invalid_api_key")]

    seen.clear()
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    mw._send_503 = lambda scope, send, **kw: seen.append(("503", kw)) or asyncio.sleep(0)
    mw._get_client = lambda: seen.append("client") or None  # no client: the endpoint is unavailable
    await kit.run(mw, kit.http_scope(headers=kit.bearer("k")))
    assert seen == ["client", ("503", {"reason": "auth_service_unavailable"})]


@pytest.mark.parametrize("call, message", [
    (lambda g: g.ApiKeyGatlow(None, "k"), r"^ApiKeyGatlow\.__init__\(\) takes 2 positional arguments but 3 were given$"),
    (lambda g: g.ApiKeyGatlow(None, key="k"), r"^ApiKeyGatlow\.__init__\(\) got an unexpected keyword argument 'key'$"),
    (lambda g: g.ApiKeyGatlow(None)._send_503({}, None),
     r"^ApiKeyGatlow\._send_503\(\) missing 1 required positional argument: 'reason'$"),
    (lambda g: g.ApiKeyGatlow(None)(1, 2), r"^ApiKeyGatlow\.__call__\(\) missing 1 required positional argument: 'send'$"),
    (lambda g: g.ApiKeyGatlow._header({}, b"x", b"y"),
     r"^ApiKeyGatlow\._header\(\) takes 2 positional arguments but 3 were given$"),
    (lambda g: g.FixedApiKeyAuthProvider(), r"^FixedApiKeyAuthProvider\.__init__\(\) missing 1 required positional"),
])
def test_calls_that_do_not_fit_get_the_interpreters_wording(gatlow, call, message):
    with pytest.raises(TypeError, match=message):
        call(gatlow)


def test_header_is_a_static_method_of_the_class(kit, gatlow):
    scope = kit.http_scope(headers=[("x-a", " 1 ")])
    assert gatlow.ApiKeyGatlow(None)._header(scope, b"x-a") == gatlow.ApiKeyGatlow._header(scope, b"x-a") == "1"
    assert isinstance(vars(gatlow.ApiKeyGatlow)["_header"], staticmethod)
    assert gatlow.ApiKeyGatlow._header.__qualname__ == "ApiKeyGatlow._header"


async def test_a_token_of_another_kind_is_refused_by_verification(kit, gatlow):
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    mw._extract_token = lambda scope: b"k"
    with pytest.raises(TypeError, match="api_key"):
        await kit.run(mw, kit.http_scope())


# ---------------------------------------------------------------------------
# Channels and closing steps


async def test_channels_are_native_coroutine_functions_passing_messages_unchanged(kit, gatlow):
    sent = []

    async def app(scope, receive, send):
        assert all(asyncio.iscoroutinefunction(c) and inspect.iscoroutinefunction(c) for c in (receive, send))
        message = await receive()
        sent.append(message)
        start = {"type": "http.response.start", "status": 204, "headers": []}
        assert await send(start) is None
        sent.append(start)
        with pytest.raises(KeyError):
            await send({"status": 200})
        await send({"type": "http.response.body"})

    channels = kit.Channels([b"payload"])
    incoming = channels.incoming[0]
    server_send = channels.send

    async def send_with_a_result(message):
        await server_send(message)
        return "the server's own result"

    channels.send = send_with_a_result
    await kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(app), api_key="k"),
                  kit.http_scope(headers=kit.bearer("k")), channels)
    assert sent[0] is incoming and channels.sent[0] is sent[1]
    assert [m.get("type") for m in channels.sent] == ["http.response.start", "http.response.body"]


async def _half_answer(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"part", "more_body": True})


async def _full_answer(scope, receive, send):
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"all", "more_body": False})


async def _nothing(scope, receive, send):
    pass


FINAL = {"type": "http.response.body", "body": b"", "more_body": False}


@pytest.mark.parametrize("behaviour, finished", [(_half_answer, True), (_full_answer, False), (_nothing, False)])
async def test_half_sent_answer_is_finished(kit, gatlow, behaviour, finished):
    channels = await kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(behaviour), api_key="k"),
                             kit.http_scope(headers=kit.bearer("k")))
    assert (channels.sent[-1:] == [FINAL]) is finished
    if finished:
        assert list(channels.sent[-1]) == ["type", "body", "more_body"]


async def test_failing_final_send_is_swallowed(kit, gatlow):
    channels = kit.Channels(fail_send_on=lambda m: m == FINAL)
    await kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(_half_answer), api_key="k"),
                  kit.http_scope(headers=kit.bearer("k")), channels)
    assert channels.sent[-1] == FINAL


async def test_a_failed_start_still_counts_as_started(kit, gatlow):
    channels = kit.Channels(fail_send_on=lambda m: True)
    with pytest.raises(OSError, match="connection reset"):
        await kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(_half_answer), api_key="k"),
                      kit.http_scope(headers=kit.bearer("k")), channels)
    assert [m["type"] for m in channels.sent] == ["http.response.start", "http.response.body"]
    assert channels.sent[-1] == FINAL


@pytest.mark.parametrize("error, raised", [
    (ClientDisconnect(), False),
    (RuntimeError("Expected ASGI message 'websocket.accept'"), False),
    (RuntimeError("send: Expected ASGI message 'http.response.body', but got 'x'."), False),
    (RuntimeError("Unexpected ASGI message 'http.response.body' sent, after response already completed."), True),
    (RuntimeError("something else"), True),
    (ValueError("Expected ASGI message"), True),
    (asyncio.CancelledError(), True),
])
async def test_application_errors(kit, gatlow, caplog, error, raised):
    caplog.set_level(logging.DEBUG, logger="pelorin.mcp")
    seen_at_failure = []

    async def failing(scope, receive, send):
        await _half_answer(scope, receive, send)
        seen_at_failure.append(context.mcp_request_ctx.get())
        raise error

    channels = kit.Channels()
    run = kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(failing), api_key="k"),
                  kit.http_scope("/api/x", headers=kit.bearer("k")), channels)
    if raised:
        with pytest.raises(type(error)) as caught:
            await run
        assert caught.value is error
    else:
        await run
    assert seen_at_failure[0]["auth_mode"] == "fixed" and context.mcp_request_ctx.get() is SENTINEL
    assert channels.sent[-1] == FINAL
    disconnect_logged = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]
    assert disconnect_logged == (["客户端断开连接: /api/x"] if isinstance(error, ClientDisconnect) else [])


def _road_parked_in_the_final_send(kit, gatlow):
    """A road not yet started whose application fails after starting its
    answer, and whose server parks the final empty body part."""

    async def failing(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})
        raise RuntimeError("app failed")

    async def ok(message):
        pass

    def server_send(message):
        return Parking() if message.get("more_body") is False else ok(message)

    return gatlow.ApiKeyGatlow(failing, api_key="k")(kit.http_scope("/x", headers=kit.bearer("k")),
                                                     kit.Channels().receive, server_send)


@pytest.mark.parametrize("orphan", [orphan_by_throw, orphan_by_throw_while_made])
def test_the_final_send_outlives_the_road_that_awaited_it(kit, gatlow, events, orphan):
    """The road may end while the coroutine of its final send stays parked:
    that coroutine holds what it uses, and resumed later it finishes."""
    road = _road_parked_in_the_final_send(kit, gatlow)
    child = orphan(road)
    del road
    gc.collect()
    assert child.cr_suspended
    with pytest.raises(StopIteration):
        child.send(None)


async def test_client_disconnect_counts_only_with_starlette(kit, gatlow, monkeypatch):
    async def gone(scope, receive, send):
        raise ClientDisconnect()

    monkeypatch.setattr(gatlow, "_CLIENT_DISCONNECT_ERRORS", ())
    with pytest.raises(ClientDisconnect):
        await kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(gone), api_key="k"),
                      kit.http_scope(headers=kit.bearer("k")))


async def test_cancelled_request_runs_the_closing_steps(kit, gatlow, events):
    started = asyncio.Event()

    async def hanging(scope, receive, send):
        await _half_answer(scope, receive, send)
        started.set()
        await asyncio.Event().wait()

    channels = kit.Channels()
    task = asyncio.create_task(kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(hanging), api_key="k"),
                                       kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")), channels))
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert channels.sent[-1] == FINAL
    assert events[-1] == "app_dispatch_done path=/api/v1/keepa response_started=True response_complete=False"


async def test_context_is_reset_even_when_the_closing_trace_fails(kit, gatlow, monkeypatch):
    def trace(message):
        if message.startswith("app_dispatch_done"):
            raise OSError("trace failed")

    monkeypatch.setattr(gatlow, "_trace_keepa", trace)
    channels = kit.Channels()
    with pytest.raises(OSError, match="trace failed"):
        await kit.run(gatlow.ApiKeyGatlow(kit.RecordingApp(_half_answer), api_key="k"),
                      kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")), channels)
    assert context.mcp_request_ctx.get() is SENTINEL
    assert channels.sent[-1] == FINAL


async def test_missing_context_module_fails_before_the_application(kit, gatlow, monkeypatch):
    app = kit.RecordingApp()
    monkeypatch.setitem(sys.modules, "pelorin.mcp.context", None)
    channels = kit.Channels()
    with pytest.raises(ImportError):
        await kit.run(gatlow.ApiKeyGatlow(app, api_key="k"), kit.http_scope(headers=kit.bearer("k")), channels)
    assert app.calls == [] and channels.sent == []


async def test_concurrent_requests_see_only_their_own_identity(kit, gatlow):
    both_inside = asyncio.Barrier(2)
    seen = {}

    async def app(scope, receive, send):
        await both_inside.wait()
        seen[scope["path"]] = context.mcp_request_ctx.get()
        await both_inside.wait()
        await _full_answer(scope, receive, send)

    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(app), api_key="fixed", trust_upstream_corvane_identity=True)
    await asyncio.gather(kit.run(mw, kit.http_scope("/a", headers=kit.bearer("fixed"))),
                         kit.run(mw, kit.http_scope("/b", headers=[("x-corvane-user-email", "b@x")])))
    assert seen["/a"]["auth_mode"] == "fixed" and seen["/a"]["api_key"] == "fixed"
    assert seen["/b"]["auth_mode"] == "internal" and seen["/b"]["email"] == "b@x"


async def test_no_references_leak_over_many_requests(kit, gatlow):
    class Forgetful(kit.RecordingApp):
        async def __call__(self, scope, receive, send):
            await self.behaviour(scope, receive, send)

    mw = gatlow.ApiKeyGatlow(Forgetful(_half_answer), api_key="k", trust_upstream_corvane_identity=True)
    refused = gatlow.ApiKeyGatlow(None, api_key="k")
    scopes = [lambda: kit.http_scope(headers=kit.bearer("k")),
              lambda: kit.http_scope(headers=[("x-corvane-user-email", "a@b")]),
              lambda: kit.http_scope("/api/v1/keepa", headers=kit.bearer("k"), query=b"a=1")]

    async def round_trip():
        for make in scopes:
            await mw(make(), kit.Channels().receive, kit.Channels().send)
        await refused(kit.http_scope(), kit.Channels().receive, kit.Channels().send)

    await assert_no_leak_async(round_trip, warmup=100, rounds=1000, blocks=1000)


# ---------------------------------------------------------------------------
# What hostile code hands back


class ThrowsDisguised:
    """Parks once; a throw into it raises Disguised."""

    def __await__(self):
        return self

    def __next__(self):
        return "parked"

    def throw(self, *exc):
        raise Disguised


def _parked_in_the_app(kit, gatlow, parking):
    return gatlow.ApiKeyGatlow(lambda scope, receive, send: parking, api_key="k"), kit.Channels().send


def _parked_in_the_servers_send(kit, gatlow, parking):
    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 200, "headers": []})

    sent = []

    def send(message):  # parks the start; the final body part goes through
        sent.append(message)
        return parking if len(sent) == 1 else kit.Channels().send(message)

    return gatlow.ApiKeyGatlow(app, api_key="k"), send


def _parked_in_a_replaced_verification(kit, gatlow, parking):
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    mw._verify_remote = lambda token: parking
    return mw, kit.Channels().send


def _parked_in_the_refusal(kit, gatlow, parking):
    return gatlow.ApiKeyGatlow(kit.RecordingApp(), api_key="other"), lambda message: parking


PARKED_ROADS = {"app": _parked_in_the_app, "servers-send": _parked_in_the_servers_send,
                "replaced-verify": _parked_in_a_replaced_verification, "refusal": _parked_in_the_refusal}
PARKINGS = {"future": lambda: asyncio.get_running_loop().create_future(), "throw-raises": ThrowsDisguised}


@pytest.mark.parametrize("parking", PARKINGS)
@pytest.mark.parametrize("road", PARKED_ROADS)
async def test_a_stop_iteration_that_makes_another_exception_thrown_into_the_road(kit, gatlow, road, parking):
    """Thrown into the road where it is parked (a Future normalises the
    throw, another awaitable raises Disguised from its own throw), the
    disguised stop leaves as it leaves an `async def` awaiting the same
    object, after the closing steps."""

    async def awaiting(awaitable):
        await awaitable

    reference = awaiting(PARKINGS[parking]())
    reference.send(None)
    expected = settled(lambda: reference.throw(Disguised))
    assert expected == ("raise", "RuntimeError", "coroutine raised StopIteration", "KeyError('made instead')")

    mw, send = PARKED_ROADS[road](kit, gatlow, PARKINGS[parking]())
    coro = mw(kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")), kit.Channels().receive, send)
    assert coro.send(None) is not None
    assert settled(lambda: coro.throw(Disguised)) == expected
    assert context.mcp_request_ctx.get() is SENTINEL


@pytest.mark.parametrize("path, prefixes, token, status", [
    ("/api/v1/data", None, "k", 200),
    ("/api/v1/data", None, None, 401),
    ("/public", ("/mcp",), None, 200),
    ("/mcp/tools", ("/api", "/mcp"), None, 401),
    ("/messages/abc", ("/mcp",), None, 200),
    ("/api/v1/keepa/run", None, "k", 200),
], ids=["protected-key", "protected-no-key", "unprotected", "protected-prefix", "messages", "traced"])
async def test_a_str_subclass_path_is_served_as_its_text(kit, gatlow, events, path, prefixes, token, status):
    outcomes = []
    for text in (path, StrSub(path)):
        events.clear()
        mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), api_key="k", protected_path_prefixes=prefixes)
        channels = await kit.run(mw, kit.http_scope(text, headers=kit.bearer(token) if token else ()))
        outcomes.append((channels.status, list(events)))
    assert outcomes[0][0] == status and outcomes[1] == outcomes[0]
    assert gatlow.ApiKeyGatlow(None, protected_path_prefixes=prefixes)._is_protected_path(StrSub(path)) is (
        prefixes is None or path.startswith(prefixes))


def as_python_counts_ms(reading):
    """int((reading - 0.0) * 1000), or the error it raises."""
    try:
        return int((reading - 0.0) * 1000)
    except (ValueError, OverflowError) as error:
        return error


LATER_READINGS = {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf"), "1e300": 1e300,
                  "-1e300": -1e300, "2**63-ms": 2.0**63 / 1000}


@pytest.mark.parametrize("outcome", ["done", "error"])
@pytest.mark.parametrize("reading", LATER_READINGS)
async def test_the_elapsed_time_of_a_clock_that_reads_far_off(kit, gatlow, events, caplog, monkeypatch, reading,
                                                              outcome):
    """The trace counts milliseconds as int() does: a clock that reads NaN or
    an infinity fails the request as int() would fail it, any other reading
    is counted in full."""
    caplog.set_level(logging.INFO, logger="pelorin.mcp")
    readings = iter([0.0])
    later = LATER_READINGS[reading]
    monkeypatch.setattr(gatlow, "time", types.SimpleNamespace(monotonic=lambda: next(readings, later), time=time.time))
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    mw._verify_remote = verdict(USER if outcome == "done" else gatlow.ApiKeyVerificationUnavailable("down"))
    channels = kit.Channels()
    run = kit.run(mw, kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")), channels)
    expected = as_python_counts_ms(later)
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=f"^{expected}$"):
            await run
        assert channels.sent == [] and len(events) == 2
        return
    await run
    assert channels.status == (200 if outcome == "done" else 503)
    (line,) = [e for e in events if e.startswith("auth_verify_")][1:]
    (logged,) = [r.getMessage() for r in caplog.records if "elapsed_ms" in r.getMessage()]
    assert line.endswith(f" elapsed_ms={expected}") and logged.endswith(f" elapsed_ms={expected}")


async def _raising_app(scope, receive, send):
    raise ApiError


async def _receiving_app(scope, receive, send):
    await receive()


class _Holder:
    """The context variable, but its set raises ApiError."""

    def __init__(self, real):
        self.get, self.reset = real.get, real.reset

    set = staticmethod(raise_api_error)


class _Raising(dict):
    """A dict whose pop and item assignment raise ApiError."""

    pop = __setitem__ = raise_api_error


class _StatusRaises:
    status_code = property(raise_api_error)


class _GetRaises(dict):
    get = raise_api_error


async def _sending_app(scope, receive, send):
    await send(_GetRaises({"type": "http.response.body"}))


def _client_giving(response):
    async def get(url, params, headers):
        return response

    return types.SimpleNamespace(get=get)


class _Road:
    """Builds one request: the middleware (fixed key "k" unless told),
    patches made after its construction, and the request's coroutine."""

    def __init__(self, kit, gatlow, monkeypatch):
        self.kit, self.gatlow, self.monkeypatch = kit, gatlow, monkeypatch

    def __call__(self, app=None, path="/api/v1/data", token="k", patch=(), replace=None, send=None, receive=None,
                 scope=None, scope_kind=dict, cls=None, **options):
        app = self.kit.RecordingApp() if app is None else app
        mw = (cls or self.gatlow.ApiKeyGatlow)(app, **({"api_key": "k"} | options))
        for target, name, value in patch:
            self.monkeypatch.setattr(self.gatlow if target is None else target, name, value)
        for name, value in (replace or {}).items():
            setattr(mw, name, value)
        request = self.kit.http_scope(path, headers=self.kit.bearer(token) if token else ())
        request = scope_kind({**request, **(scope or {})})
        channels = self.kit.Channels()
        return mw(request, receive or channels.receive, send or channels.send)


def _property_app(gatlow):
    class Guarded(gatlow.ApiKeyGatlow):
        app = property(raise_api_error, lambda self, value: None)

    return Guarded


REMOTE = {"auth_verify_url": "http://verify.invalid"}

# Routes on which user code raises ApiError, whose constructor makes a
# NotFound: the caller gets that NotFound, as Python code passes it on.
RAISING_ROUTES = {
    "app-async": lambda road, g: road(_raising_app),
    "app-sync": lambda road, g: road(raise_api_error),
    "app-passed-through": lambda road, g: road(raise_api_error, token=None, protected_path_prefixes=()),
    "app-on-messages": lambda road, g: road(_raising_app, "/messages/x", token=None),
    "app-property": lambda road, g: road(cls=_property_app(g)),
    "cors-hook": lambda road, g: road(token="wrong", patch=[(None, "cors_headers_for_scope", raise_api_error)]),
    "logger": lambda road, g: road(path="/api/v1/keepa",
                                   patch=[(None, "_logger", types.SimpleNamespace(info=raise_api_error))]),
    "trace-hook": lambda road, g: road(path="/api/v1/keepa", patch=[(None, "_trace_keepa", raise_api_error)]),
    "trace-clock": lambda road, g: road(path="/api/v1/keepa",
                                        patch=[(None, "datetime", types.SimpleNamespace(now=raise_api_error))]),
    "monotonic": lambda road, g: road(path="/api/v1/keepa",
                                      patch=[(None, "time", types.SimpleNamespace(monotonic=raise_api_error))]),
    "context-holder": lambda road, g: road(patch=[(context, "mcp_request_ctx", _Holder(context.mcp_request_ctx))]),
    "replaced-protected-path": lambda road, g: road(replace={"_is_protected_path": raise_api_error}),
    "replaced-extract-token": lambda road, g: road(replace={"_extract_token": raise_api_error}),
    "replaced-internal-identity": lambda road, g: road(replace={"_internal_identity": raise_api_error}),
    "replaced-verify": lambda road, g: road(replace={"_verify_remote": raise_api_error}, **REMOTE),
    "unavailable-type": lambda road, g: road(replace={"_get_client": lambda: None}, **REMOTE,
                                             patch=[(None, "ApiKeyVerificationUnavailable", raise_api_error)]),
    "prefixes": lambda road, g: road(replace={"_protected_path_prefixes": (raise_api_error() for _ in "x")}),
    "headers": lambda road, g: road(token=None, scope={"headers": (raise_api_error() for _ in "x")}),
    "servers-send": lambda road, g: road(token="wrong", send=raise_api_error),
    "servers-receive": lambda road, g: road(_receiving_app, receive=raise_api_error),
    "scope-get": lambda road, g: road(scope_kind=_GetRaises),
    "sent-message-get": lambda road, g: road(_sending_app),
}


@pytest.mark.parametrize("route", RAISING_ROUTES)
async def test_an_error_whose_constructor_picks_a_subclass_reaches_the_caller(kit, gatlow, monkeypatch, route):
    with pytest.raises(NotFound) as caught:
        await RAISING_ROUTES[route](_Road(kit, gatlow, monkeypatch), gatlow)
    assert type(caught.value) is NotFound


# Steps of the remote verification whose ordinary errors count as an outage
# of the endpoint: the failure noted is the NotFound.
ENDPOINT_ROUTES = {
    "get-client": {"_get_client": raise_api_error},
    "client-get": {"_get_client": lambda: types.SimpleNamespace(get=raise_api_error)},
    "response-status": {"_get_client": lambda: _client_giving(_StatusRaises())},
    "response-json": {"_get_client": lambda: _client_giving(types.SimpleNamespace(status_code=200,
                                                                                  json=raise_api_error))},
    "cache-pop": {"_verify_cache": _Raising(),
                  "_get_client": lambda: _client_giving(types.SimpleNamespace(status_code=401))},
    "cache-store": {"_verify_cache": _Raising(),
                    "_get_client": lambda: _client_giving(types.SimpleNamespace(status_code=200, json=lambda: USER))},
}


@pytest.mark.parametrize("route", ENDPOINT_ROUTES)
async def test_an_error_whose_constructor_picks_a_subclass_is_the_noted_failure(kit, gatlow, monkeypatch, caplog,
                                                                                route):
    caplog.set_level(logging.WARNING, logger="pelorin.mcp")
    channels = kit.Channels()
    await _Road(kit, gatlow, monkeypatch)(replace=ENDPOINT_ROUTES[route], send=channels.send, **REMOTE)
    assert channels.status == 503
    assert [r.getMessage() for r in caplog.records] == ["远程校验 API Key 失败且无可用缓存宽限: NotFound: NotFound()"]


def test_construction_and_the_provider_pass_such_an_error_on(gatlow):
    class Guarded(gatlow.ApiKeyGatlow):
        __setattr__ = raise_api_error

    class Provider(gatlow.FixedApiKeyAuthProvider):
        _api_key = property(raise_api_error, lambda self, value: None)

    with pytest.raises(NotFound):
        Guarded(None)
    with pytest.raises(NotFound):
        asyncio.run(Provider("k").verify_token("k"))


# ---------------------------------------------------------------------------
# Module load


def _load(script, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], cwd=tmp_path, env=env,
                          capture_output=True, text=True)


def test_load_without_starlette_requests(tmp_path):
    result = _load("""
        import sys
        sys.modules["starlette.requests"] = None
        import pelorin.mcp.gatlow as g
        assert g._CLIENT_DISCONNECT_ERRORS == ()
        assert not hasattr(g, "_StarletteClientDisconnect")
    """, tmp_path)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("missing", ["starlette.types", "pelorin.api.cors", "pelorin.config"])
def test_load_fails_with_the_import_error(tmp_path, missing):
    result = _load(f"""
        import sys
        sys.modules[{missing!r}] = None
        try:
            import pelorin.mcp.gatlow
        except ModuleNotFoundError as e:
            assert {missing!r} in str(e), e
        else:
            raise SystemExit("loaded")
    """, tmp_path)
    assert result.returncode == 0, result.stderr
