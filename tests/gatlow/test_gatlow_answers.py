"""The JSON 401 and 503 answers, and the deprecated fixed-key provider."""

import asyncio
import json
import time

import pytest

BODY_401 = b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":"invalid_api_key"}'
BODY_503 = (b'{"error":"Service Unavailable","message":"API Key verification service temporarily unavailable",'
            b'"reason":"auth_service_unavailable"}')


@pytest.fixture
def mw(gatlow):
    return gatlow.ApiKeyGatlow(None)


async def test_401_answer(kit, mw):
    channels = kit.Channels()
    scope = kit.http_scope(headers=[("origin", "https://app.example")])
    await mw._send_401(scope, channels.send)
    assert channels.sent == [
        {"type": "http.response.start", "status": 401,
         "headers": [(b"content-type", b"application/json"), (b"www-authenticate", b'Bearer realm="pelorin-mcp"'),
                     (b"access-control-allow-origin", b"https://app.example"),
                     (b"access-control-allow-credentials", b"true"), (b"vary", b"Origin")]},
        {"type": "http.response.body", "body": BODY_401},
    ]
    assert len(BODY_401) == 90
    assert [list(m) for m in channels.sent] == [["type", "status", "headers"], ["type", "body"]]


async def test_503_answer_needs_a_reason(kit, mw):
    channels = kit.Channels()
    await mw._send_503(kit.http_scope(), channels.send, reason="auth_service_unavailable")
    assert channels.sent[0]["headers"] == [(b"content-type", b"application/json"), (b"retry-after", b"5")]
    assert channels.sent[1]["body"] == BODY_503 and len(BODY_503) == 132
    with pytest.raises(TypeError):
        mw._send_503(kit.http_scope(), channels.send)


@pytest.mark.parametrize("reason", ['say "no"', "back\\slash", "line\nbreak\r\t\x00\x1f\x7f", "密钥无效",
                                    "emoji \U0001f511", "lone \ud800 surrogate"])
async def test_reason_is_json_escaped(kit, mw, reason):
    channels = kit.Channels()
    await mw._send_401(kit.http_scope(), channels.send, reason=reason)
    body = channels.sent[1]["body"]
    assert body == (b'{"error":"Unauthorized","message":"Invalid or missing API Key","reason":'
                    + json.dumps(reason).encode() + b"}")
    assert json.loads(body)["reason"] == reason


async def test_answer_failures(kit, mw, gatlow, monkeypatch):
    channels = kit.Channels()
    with pytest.raises(TypeError, match="reason"):
        mw._send_401(kit.http_scope(), channels.send, reason=b"invalid_api_key")

    monkeypatch.setattr(gatlow, "cors_headers_for_scope", lambda scope: 42)
    with pytest.raises(TypeError):
        await mw._send_401(kit.http_scope(), channels.send)
    assert channels.sent == []

    monkeypatch.setattr(gatlow, "cors_headers_for_scope", lambda scope: [])
    failing = kit.Channels(fail_send_on=lambda m: m["type"] == "http.response.body")
    with pytest.raises(OSError):
        await mw._send_503(kit.http_scope(), failing.send, reason="x")
    assert [m["type"] for m in failing.sent] == ["http.response.start", "http.response.body"]


async def test_second_send_waits_for_the_first(kit, mw):
    order = []

    async def send(message):
        order.append(("start", message["type"]))
        await asyncio.sleep(0.01)
        order.append(("end", message["type"]))

    await mw._send_401(kit.http_scope(), send)
    assert order == [("start", "http.response.start"), ("end", "http.response.start"),
                     ("start", "http.response.body"), ("end", "http.response.body")]


# ---------------------------------------------------------------------------
# FixedApiKeyAuthProvider


async def test_fixed_provider(gatlow):
    provider = gatlow.FixedApiKeyAuthProvider("s3cret")
    assert provider._api_key == "s3cret"
    first = await provider.verify_token("s3cret")
    second = await provider.verify_token("s3cret")
    assert type(first).__name__ == "AccessToken"
    assert (first.token, first.client_id, first.scopes) == ("s3cret", "default", ["pelorin:mcp"])
    assert first is not second and first.scopes is not second.scopes
    for wrong in ("S3CRET", " s3cret", "s3cret ", "s3cre", "s3cret!", ""):
        assert await provider.verify_token(wrong) is None
    assert (await gatlow.FixedApiKeyAuthProvider("").verify_token("")).token == ""
    assert await gatlow.FixedApiKeyAuthProvider("é").verify_token("\U0001f511") is None


@pytest.mark.parametrize("bad", [None, b"s3cret", 1])
def test_fixed_provider_type_errors(gatlow, bad):
    with pytest.raises(TypeError, match="api_key"):
        gatlow.FixedApiKeyAuthProvider(bad)
    with pytest.raises(TypeError, match="token"):
        gatlow.FixedApiKeyAuthProvider("k").verify_token(bad)


async def test_key_comparison_time_does_not_depend_on_the_mismatch(gatlow):
    """A wrong key that shares a long prefix with the real one takes as long to
    refuse as one that differs at its first character. The two are timed in
    turns, on the thread's own CPU clock, so that load from elsewhere falls on
    both alike; a comparison that stops at the first difference is hundreds of
    times faster on the early mismatch in every attempt."""
    key = "k" * 200_000
    provider = gatlow.FixedApiKeyAuthProvider(key)
    early, late = "x" + key[1:], key[:-1] + "x"

    async def cost(token):
        started = time.thread_time_ns()
        assert await provider.verify_token(token) is None
        return time.thread_time_ns() - started

    async def best_of_turns(rounds=30):
        best = {early: float("inf"), late: float("inf")}
        for _ in range(rounds):
            for token in (early, late):
                best[token] = min(best[token], await cost(token))
        return best[early], best[late]

    await best_of_turns(3)
    ratios = []
    for _ in range(5):
        early_cost, late_cost = await best_of_turns()
        ratios.append(early_cost / late_cost)
        if ratios[-1] > 0.5:
            break
    assert ratios[-1] > 0.5, ratios
