"""Real parts: a Starlette application behind the middleware, served by
uvicorn on a loopback port with its default interface detection, called by a
real httpx client, with the verification endpoint on another port."""

import asyncio
import contextlib
import re
import time
import types

import httpx
import pytest
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse, PlainTextResponse
from starlette.routing import Route

from pelorin.mcp import context

KEYS = [f"key-{i:02d}" for i in range(50)]
REJECTED = {k for i, k in enumerate(KEYS) if i % 10 == 9}


class Site:
    """The application behind the middleware. `gate(n)` makes /whoami hold
    every request until n of them are inside at once, or until `release()`
    (from any thread) lets them all go."""

    def __init__(self):
        self.loop = None
        self.expected = 0
        self.inside = 0
        self.all_inside = None
        self.released = False

    def gate(self, n):
        self.expected, self.inside, self.all_inside, self.released = n, 0, None, False

    def release(self):
        self.released = True
        if self.loop is not None:
            self.loop.call_soon_threadsafe(self._open)

    def _open(self):
        if self.all_inside is not None:
            self.all_inside.set()

    async def whoami(self, request: Request):
        self.loop = asyncio.get_running_loop()
        before = context.get_current_context()
        if self.expected:
            if self.all_inside is None:
                self.all_inside = asyncio.Event()
            self.inside += 1
            if self.inside >= self.expected or self.released:
                self.all_inside.set()
            # Only a guard against a hang: a wrong answer releases the gate.
            await asyncio.wait_for(self.all_inside.wait(), 600)
        after = context.get_current_context()
        scope_keys = {k: v for k, v in request.scope.items() if k.startswith("mcp_")}
        return JSONResponse({"before": before, "after": after, "scope": scope_keys})

    async def keepa(self, request: Request):
        self.loop = asyncio.get_running_loop()
        body = b"".join([chunk async for chunk in request.stream()])
        return JSONResponse({"bytes": len(body), "mode": context.get_current_auth_mode()})

    async def public(self, request: Request):
        return PlainTextResponse("public")

    def app(self):
        return Starlette(routes=[
            Route("/whoami", self.whoami),
            Route("/api/v1/keepa/run", self.keepa, methods=["POST", "OPTIONS"]),
            Route("/public", self.public),
        ])


@contextlib.contextmanager
def serve(kit, gatlow, **options):
    site = Site()
    mw = gatlow.ApiKeyGatlow(site.app(), protected_path_prefixes=("/whoami", "/api/"), **options)
    with kit.ServerThread(mw) as server:
        server.site, server.mw = site, mw
        try:
            yield server
        finally:
            if mw._client is not None and site.loop is not None:
                asyncio.run_coroutine_threadsafe(mw._client.aclose(), site.loop).result(10)


@pytest.fixture
def remote_server(kit, gatlow, verify_url, endpoint):
    with serve(kit, gatlow, auth_verify_url=verify_url, trust_upstream_corvane_identity=True) as server:
        yield server


async def test_uvicorn_detects_asgi3_and_the_answers_travel(remote_server, endpoint):
    assert remote_server.config.interface == "asgi3"
    endpoint.modes["revoked"] = "403"
    async with httpx.AsyncClient(base_url=remote_server.url) as client:
        ok = await client.get("/whoami", params={"api_key": "key-01"})
        assert ok.status_code == 200
        assert ok.json()["after"] == {"api_key": "key-01", "auth_mode": "remote", "user_id": "uid-key-01",
                                      "email": "key-01@example.com", "allowed_tools": ["keepa_run"],
                                      "permission_enabled": True}
        assert ok.json()["before"] == ok.json()["after"]

        refused = await client.get("/whoami", headers={"Authorization": "Bearer revoked"})
        assert refused.status_code == 401 and refused.headers["www-authenticate"] == 'Bearer realm="pelorin-mcp"'
        assert refused.json() == {"error": "Unauthorized", "message": "Invalid or missing API Key",
                                  "reason": "invalid_api_key"}

        gateway = await client.get("/whoami", headers={"x-corvane-user-email": "Ops@Example.com",
                                                       "x-corvane-user-id": "9"})
        assert gateway.json()["scope"] == {"mcp_auth_mode": "internal", "mcp_user_id": "9",
                                           "mcp_user_email": "ops@example.com", "mcp_allowed_tools": None,
                                           "mcp_permission_enabled": False}

        assert (await client.get("/public")).text == "public"
        assert (await client.options("/api/v1/keepa/run")).status_code in (200, 405)
    assert [r["query"] for r in endpoint.asked()] == ["key-01", "revoked"]


async def test_unavailable_endpoint_answers_503(kit, gatlow):
    url = f"http://127.0.0.1:{kit.free_port()}/v1/mcp/verify-key"
    with serve(kit, gatlow, auth_verify_url=url) as server:
        async with httpx.AsyncClient(base_url=server.url) as client:
            answer = await client.get("/whoami", headers={"Authorization": "Bearer key-01",
                                                          "Origin": "https://console.example"})
    assert answer.status_code == 503 and answer.headers["retry-after"] == "5"
    assert answer.headers["access-control-allow-origin"] == "https://console.example"
    assert answer.json()["reason"] == "auth_service_unavailable"


async def test_keepa_request_is_traced_to_the_file(kit, gatlow, trace_file):
    async def body():
        for part in (b"a" * 10, b"b" * 20, b"c" * 30):
            yield part
            await asyncio.sleep(0.05)

    with serve(kit, gatlow, api_key="fixed-key") as server:
        async with httpx.AsyncClient(base_url=server.url) as client:
            answer = await client.post("/api/v1/keepa/run?api_key=fixed-key&site=US", content=body())
    assert answer.json() == {"bytes": 60, "mode": "fixed"}
    events = [re.sub(r"^\S+ pid=\d+ \[KEEPA-TRACE\] ", "", line)
              for line in trace_file.read_text(encoding="utf-8").splitlines()]
    assert events[0].startswith("request_start method=POST path=/api/v1/keepa/run query_keys=api_key,site headers=")
    assert events[1:3] == ["auth_verify_start path=/api/v1/keepa/run has_api_key=True mode=fixed",
                           "app_dispatch_start path=/api/v1/keepa/run"]
    chunks = [e for e in events if e.startswith("request_body_chunk")]
    sizes = [int(re.search(r"bytes=(\d+)", e).group(1)) for e in chunks]
    assert sum(sizes) == 60 and chunks[-1].endswith("more_body=False")
    assert events[-1] == "app_dispatch_done path=/api/v1/keepa/run response_started=True response_complete=True"


async def test_500_concurrent_requests_with_50_keys(gatlow, remote_server, endpoint, monkeypatch):
    """Every request gets its own verdict, and each application call sees only
    its own identity while all the accepted ones are inside at once: first two
    requests per key with nothing cached, both of a pair free to ask, then ten
    per key, the accepted ones served from the cache and the rejected ones
    asked again (a rejection is never cached)."""
    # The verification client's pool rescans its whole queue on every arrival
    # and answer: hundreds of cold keys at once keep the middleware's loop busy
    # for many seconds on a loaded machine, so only the small first wave asks
    # for every key. Client, middleware and endpoint share one interpreter, and
    # under load the middleware's loop still stalls for seconds, longer than its
    # connect limit (its keep-alive cap leaves no way to open all connections
    # beforehand): the connect and pool time-outs are lifted for this test, and
    # the cache's clock stands still so that no verdict expires between waves.
    monkeypatch.setattr(gatlow, "time", types.SimpleNamespace(time=lambda: 1_000_000.0, monotonic=time.monotonic))
    monkeypatch.setattr(gatlow, "_VERIFY_CONNECT_TIMEOUT_SECONDS", 300.0)
    monkeypatch.setattr(gatlow, "_VERIFY_READ_TIMEOUT_SECONDS", 300.0)
    for key in REJECTED:
        endpoint.modes[key] = "invalid"
    site = remote_server.site

    async def one(client, key):
        try:
            answer = await client.get("/whoami", headers={"Authorization": f"Bearer {key}"})
        except BaseException:
            site.release()
            raise
        if answer.status_code != (401 if key in REJECTED else 200):
            site.release()  # the held requests answer at once; the checks below report this one
        return key, answer

    async def wave(client, keys):
        site.gate(sum(key not in REJECTED for key in keys))
        asked_before = len(endpoint.asked())
        results = await asyncio.gather(*(one(client, key) for key in keys))
        for key, answer in results:
            if key in REJECTED:
                assert answer.status_code == 401, (key, answer.text)
                continue
            assert answer.status_code == 200, (key, answer.text)
            seen = answer.json()
            assert seen["before"] == seen["after"]
            assert seen["after"]["api_key"] == key and seen["after"]["user_id"] == f"uid-{key}"
            assert seen["scope"]["mcp_user_email"] == f"{key}@example.com"
        asked = [r["query"] for r in endpoint.asked()[asked_before:]]
        return {key: asked.count(key) for key in KEYS}

    limits = httpx.Limits(max_connections=600, max_keepalive_connections=600)
    async with httpx.AsyncClient(base_url=remote_server.url, limits=limits, timeout=900) as client:
        first = await wave(client, KEYS * 2)
        assert all(count in (1, 2) for count in first.values()), first
        second = await wave(client, KEYS * 10)
        assert second == {key: 10 if key in REJECTED else 0 for key in KEYS}
