"""Fixtures of the API-key middleware tests: ASGI scopes and channels driven in
process, a recording application, captured trace events, and real servers on
loopback ports (a controllable key-verification endpoint, and the middleware
in front of a Starlette application)."""

from __future__ import annotations

import asyncio
import socket
import sys
import threading
import time

import pytest
import uvicorn
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse
from starlette.routing import Route

from pelorin.mcp import context
from pelorin.mcp import gatlow as gatlow_module

VERIFY_PATH = "/v1/mcp/verify-key"


@pytest.fixture
def gatlow():
    return gatlow_module


@pytest.fixture(autouse=True)
def trace_file(tmp_path, monkeypatch):
    """Every test's trace lines go to its own file, never to the repository."""
    path = tmp_path / "cwd" / ".tmp" / "keepa-trace.log"
    monkeypatch.setattr(gatlow_module, "_KEEPA_TRACE_FILE", path)
    return path


@pytest.fixture
def events(monkeypatch):
    """The event texts handed to the trace writer, in order."""
    seen: list[str] = []
    monkeypatch.setattr(gatlow_module, "_trace_keepa", seen.append)
    return seen


def http_scope(path="/api/v1/data", method="GET", headers=(), query=b"", **extra):
    scope = {
        "type": "http",
        "asgi": {"version": "3.0"},
        "http_version": "1.1",
        "method": method,
        "path": path,
        "raw_path": path.encode(),
        "query_string": query,
        "headers": [(name.encode("latin-1") if isinstance(name, str) else name,
                     value.encode() if isinstance(value, str) else value) for name, value in headers],
    }
    scope.update(extra)
    return scope


def bearer(token):
    return [("authorization", f"Bearer {token}")]


class Channels:
    """The server's side of one request: body parts to receive, messages sent."""

    def __init__(self, body_parts=(b"",), fail_send_on=None):
        self.incoming = [{"type": "http.request", "body": part, "more_body": i < len(body_parts) - 1}
                         for i, part in enumerate(body_parts)]
        self.sent: list[dict] = []
        self.fail_send_on = fail_send_on

    async def receive(self):
        if self.incoming:
            return self.incoming.pop(0)
        return {"type": "http.disconnect"}

    async def send(self, message):
        self.sent.append(message)
        if self.fail_send_on is not None and self.fail_send_on(message):
            raise OSError("connection reset")

    @property
    def status(self):
        starts = [m for m in self.sent if m["type"] == "http.response.start"]
        return starts[0]["status"] if starts else None

    @property
    def body(self):
        return b"".join(m.get("body", b"") for m in self.sent if m["type"] == "http.response.body")


class RecordingApp:
    """An ASGI application that remembers the scope and identity it saw and
    answers 200, or behaves as `behaviour(scope, receive, send)` when given."""

    def __init__(self, behaviour=None):
        self.calls: list[dict] = []
        self.behaviour = behaviour

    async def __call__(self, scope, receive, send):
        self.calls.append({"scope": scope, "identity": context.get_current_context(),
                           "receive": receive, "send": send})
        if self.behaviour is not None:
            await self.behaviour(scope, receive, send)
            return
        while (await receive()).get("more_body"):
            pass
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})


async def run(middleware, scope, channels=None):
    channels = channels or Channels()
    await middleware(scope, channels.receive, channels.send)
    return channels


# ---------------------------------------------------------------------------
# Real servers on loopback ports


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerThread:
    """A uvicorn server (default interface detection) on its own loop and thread."""

    def __init__(self, app):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        # Idle connections stay open across a test's waves of requests.
        self.config = uvicorn.Config(app, lifespan="off", log_level="warning", access_log=False,
                                     timeout_keep_alive=120)
        self.server = uvicorn.Server(self.config)
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [self.sock]}, daemon=True)

    def __enter__(self):
        self.thread.start()
        deadline = time.monotonic() + 60
        while not self.server.started:
            if time.monotonic() > deadline or not self.thread.is_alive():
                raise RuntimeError("server did not start")
            time.sleep(0.01)
        return self

    def __exit__(self, *exc):
        self.server.should_exit = True
        self.thread.join(10)
        self.sock.close()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"


class Endpoint:
    """What the verification endpoint answers, per key or by default:
    "valid", "invalid", "401", "403", "500", "slow", "list" or "text"."""

    def __init__(self):
        self.default = "valid"
        self.modes: dict[str, str] = {}
        self.requests: list[dict] = []
        self.slow_seconds = 2.0
        self.generation = 0
        self._lock = threading.Lock()

    def reset(self):
        """Back to the defaults; slow answers still pending are cut short."""
        self.default = "valid"
        self.modes.clear()
        self.slow_seconds = 2.0
        self.generation += 1
        with self._lock:
            self.requests.clear()

    def asked(self, key=None):
        with self._lock:
            return [r for r in self.requests if key is None or r["query"] == key]

    @staticmethod
    def record_for(key):
        return {"valid": True, "user_id": f"uid-{key}", "email": f"{key}@example.com",
                "allowed_tools": ["keepa_run"], "permission_enabled": True}

    async def verify(self, request: Request):
        key = request.query_params.get("api_key")
        with self._lock:
            self.requests.append({"query": key, "header": request.headers.get("x-mcp-api-key"),
                                  "version": request.headers.get("x-pelorin-version"),
                                  "query_params": list(request.query_params.multi_items())})
        mode = self.modes.get(key, self.default)
        if mode == "slow":
            generation, deadline = self.generation, time.monotonic() + self.slow_seconds
            while time.monotonic() < deadline and self.generation == generation:
                await asyncio.sleep(0.02)
            mode = "valid"
        if mode == "valid":
            return JSONResponse(self.record_for(key))
        if mode == "invalid":
            return JSONResponse({"valid": False})
        if mode == "list":
            return JSONResponse([])
        if mode == "text":
            return PlainTextResponse("ok")
        return JSONResponse({"detail": mode}, status_code=int(mode))

    def app(self):
        return Starlette(routes=[Route(VERIFY_PATH, self.verify)])


@pytest.fixture(scope="session")
def endpoint_server():
    endpoint = Endpoint()
    with ServerThread(endpoint.app()) as server:
        server.endpoint = endpoint
        yield server


@pytest.fixture
def endpoint(endpoint_server):
    endpoint_server.endpoint.reset()
    yield endpoint_server.endpoint
    endpoint_server.endpoint.reset()


@pytest.fixture
def verify_url(endpoint_server):
    return endpoint_server.url + VERIFY_PATH


@pytest.fixture
def kit():
    """This module's helpers, for tests (conftest is not importable by name)."""
    return sys.modules[__name__]
