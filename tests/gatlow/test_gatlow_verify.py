"""Remote key verification against a real endpoint on a loopback port: the
request, the fresh cache, the stale grace, authoritative rejections and
temporary failures."""

import asyncio
import logging
import re
import sys
import time
import types
from fractions import Fraction

import pytest

import pelorin.config

T = 1_000_000.0


class Clock:
    def __init__(self):
        self.now = T

    def module(self):
        return types.SimpleNamespace(time=lambda: self.now, monotonic=time.monotonic)


@pytest.fixture
def clock(gatlow, monkeypatch):
    clock = Clock()
    monkeypatch.setattr(gatlow, "time", clock.module())
    return clock


@pytest.fixture
async def remote(gatlow, verify_url, endpoint):
    mw = gatlow.ApiKeyGatlow(None, auth_verify_url=verify_url)
    yield mw
    if mw._client is not None:
        await mw._client.aclose()


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "pelorin.mcp" and r.levelno == logging.WARNING]


async def test_request_carries_the_key_twice_and_the_version(remote, endpoint, clock):
    record = await remote._verify_remote("key-1")
    assert record == endpoint.record_for("key-1")
    (asked,) = endpoint.asked()
    assert asked["query_params"] == [("api_key", "key-1")]
    assert asked["header"] == "key-1" and asked["version"] == pelorin.config.__version__
    assert remote._verify_cache == {"key-1": (T, record)}


async def test_fresh_cache_then_stale_grace_measured_from_the_last_success(remote, endpoint, clock, caplog):
    first = await remote._verify_remote("k")
    clock.now = T + 59.9
    assert await remote._verify_remote("k") is first
    assert len(endpoint.asked()) == 1

    endpoint.default = "500"
    for age in (60.0, 299.9):
        clock.now = T + age
        assert await remote._verify_remote("k") is first
    assert len(endpoint.asked()) == 3
    assert remote._verify_cache["k"] == (T, first)
    assert warnings_of(caplog) == ["远程校验 API Key 临时失败(HTTP 500)，命中过期缓存宽限放行"] * 2

    clock.now = T + 300.0
    with pytest.raises(Exception) as caught:
        await remote._verify_remote("k")
    assert type(caught.value).__name__ == "ApiKeyVerificationUnavailable" and str(caught.value) == "HTTP 500"
    assert warnings_of(caplog)[-1] == "远程校验 API Key 失败且无可用缓存宽限: HTTP 500"
    assert "k" in remote._verify_cache


async def test_success_renews_the_entry(remote, endpoint, clock):
    await remote._verify_remote("k")
    clock.now = T + 60.0
    renewed = await remote._verify_remote("k")
    assert remote._verify_cache["k"] == (T + 60.0, renewed) and len(endpoint.asked()) == 2


@pytest.mark.parametrize("now, ttl, fresh", [
    (T + 59.75, 60, True), (T + 60, 60, False), (T + 60.25, 60.5, True), (int(T) + 61, 60, False),
    (Fraction(T) + Fraction(1, 3), 1, True), (T + 1e30, 10**31, True), (T + 61, 2**60, True),
    (float("nan"), 60, False), (T - 1, -0.5, True), (T + 1, -0.5, False),
])
async def test_freshness_is_the_interpreters_comparison(gatlow, remote, endpoint, clock, monkeypatch, now, ttl, fresh):
    monkeypatch.setattr(gatlow, "_VERIFY_CACHE_TTL_SECONDS", ttl)
    cached = {"user_id": "cached"}
    remote._verify_cache["k"] = (T, cached)
    clock.now = now
    assert (await remote._verify_remote("k") is cached) is fresh
    assert len(endpoint.asked()) == (0 if fresh else 1)


@pytest.mark.parametrize("rejection", ["invalid", "401", "403"])
async def test_rejection_is_authoritative(gatlow, remote, endpoint, clock, rejection):
    await remote._verify_remote("k")
    endpoint.default = rejection
    clock.now = T + 61
    assert await remote._verify_remote("k") is None
    assert "k" not in remote._verify_cache
    endpoint.default = "500"
    clock.now = T + 62
    with pytest.raises(gatlow.ApiKeyVerificationUnavailable):
        await remote._verify_remote("k")


@pytest.mark.parametrize("mode, description", [
    ("500", r"HTTP 500"),
    ("list", re.escape("""AttributeError: AttributeError("'list' object has no attribute 'get'")""")),
    ("text", r"JSONDecodeError: JSONDecodeError\('Expecting value: line 1 column 1 \(char 0\)'\)"),
    ("slow", r"ReadTimeout: ReadTimeout\(.*\)"),
])
async def test_temporary_failures(gatlow, remote, endpoint, clock, caplog, monkeypatch, mode, description):
    if mode == "slow":
        # The time-out comes first however loaded the machine is; the other
        # answers keep the usual time-out, to come in however loaded it is.
        monkeypatch.setattr(gatlow, "_VERIFY_READ_TIMEOUT_SECONDS", 0.2)
        endpoint.slow_seconds = 600
    endpoint.default = mode
    with pytest.raises(gatlow.ApiKeyVerificationUnavailable) as caught:
        await remote._verify_remote("k")
    assert re.fullmatch(description, str(caught.value))
    assert caught.value.__context__ is None and caught.value.__cause__ is None
    assert warnings_of(caplog) == [f"远程校验 API Key 失败且无可用缓存宽限: {caught.value}"]
    assert remote._verify_cache == {}


async def test_connection_refused_is_a_temporary_failure(kit, gatlow, clock):
    mw = gatlow.ApiKeyGatlow(None, auth_verify_url=f"http://127.0.0.1:{kit.free_port()}/v1/mcp/verify-key")
    mw._verify_cache["k"] = (T - 100, {"user_id": "stale"})
    try:
        assert await mw._verify_remote("k") == {"user_id": "stale"}
        mw._verify_cache.clear()
        with pytest.raises(gatlow.ApiKeyVerificationUnavailable, match=r"^ConnectError: ConnectError\("):
            await mw._verify_remote("k")
    finally:
        await mw._client.aclose()


async def test_client_creation_failure_is_a_temporary_failure(gatlow, remote, clock, monkeypatch):
    monkeypatch.setitem(sys.modules, "httpx", None)
    with pytest.raises(gatlow.ApiKeyVerificationUnavailable, match="^ModuleNotFoundError: "):
        await remote._verify_remote("k")
    assert remote._client is None


class Untouchable(dict):
    def get(self, *args):
        raise AssertionError("the cache was read")

    __getitem__ = get


@pytest.mark.parametrize("key, url", [(None, "http://verify.invalid"), ("", "http://verify.invalid"), ("k", None),
                                      ("k", "")])
async def test_nothing_asked_without_a_key_or_url(gatlow, key, url):
    mw = gatlow.ApiKeyGatlow(None, auth_verify_url=url)
    mw._verify_cache = Untouchable()
    assert await mw._verify_remote(key) is None
    assert mw._client is None


@pytest.mark.parametrize("key", [b"k", 1, ["k"]])
def test_key_must_be_text_or_none(gatlow, key):
    with pytest.raises(TypeError, match="api_key"):
        gatlow.ApiKeyGatlow(None, auth_verify_url="http://x")._verify_remote(key)


async def test_keys_are_cached_exactly_as_received(gatlow, remote, endpoint, clock):
    for key in ("Key", "key", "KEY"):
        await remote._verify_remote(key)
    assert [r["query"] for r in endpoint.asked()] == ["Key", "key", "KEY"]
    assert sorted(remote._verify_cache) == ["KEY", "Key", "key"]


@pytest.mark.parametrize("key", [" key", "key ", "\tkey", "密钥", "key\ufffd", "k\xe9y", "k\U0001f600", "a\x00b", "a\nb", "a\x7fb"])
async def test_key_that_no_header_can_carry_is_rejected_without_asking(remote, endpoint, clock, caplog, key):
    """The verification request carries the key as a header too: a key that
    HTTP cannot put there is no key that the endpoint can have issued."""
    assert await remote._verify_remote(key) is None
    assert endpoint.asked() == [] and remote._verify_cache == {} and warnings_of(caplog) == []


async def test_blanks_inside_a_key_travel(remote, endpoint, clock):
    for key in ("a b", "a\tb"):
        assert await remote._verify_remote(key) == endpoint.record_for(key)
    assert [r["header"] for r in endpoint.asked()] == ["a b", "a\tb"]


async def test_clock_set_back_keeps_the_entry_fresh(remote, endpoint, clock):
    first = await remote._verify_remote("k")
    clock.now = T - 3600
    assert await remote._verify_remote("k") is first
    clock.now = T + 3600
    await remote._verify_remote("k")
    assert len(endpoint.asked()) == 2


async def test_one_shared_client_with_the_configured_limits(gatlow, remote, endpoint):
    assert remote._client is None
    client = remote._get_client()
    assert remote._get_client() is client and type(client).__name__ == "AsyncClient"
    timeout = client.timeout
    assert (timeout.connect, timeout.read, timeout.write, timeout.pool) == (3.0, 5.0, 5.0, 5.0)
    pool = client._transport._pool
    assert (pool._max_connections, pool._max_keepalive_connections, pool._keepalive_expiry) == (20, 10, 30.0)
    await asyncio.gather(*(remote._verify_remote(f"k{i}") for i in range(30)))
    assert remote._client is client


async def test_cancellation_leaves_no_trace(gatlow, remote, endpoint, clock, caplog, monkeypatch):
    remote._verify_cache["k"] = (T - 100, {"user_id": "stale"})
    # Neither an answer nor a time-out comes before the cancellation, however
    # loaded the machine is.
    endpoint.default = "slow"
    endpoint.slow_seconds = 600
    monkeypatch.setattr(gatlow, "_VERIFY_READ_TIMEOUT_SECONDS", 600.0)
    task = asyncio.create_task(remote._verify_remote("k"))
    while not endpoint.asked() and not task.done():
        await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert remote._verify_cache == {"k": (T - 100, {"user_id": "stale"})}
    assert warnings_of(caplog) == []
