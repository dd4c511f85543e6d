"""Reading credentials from a scope: the presented token, header lookup and the
gateway's identity headers."""

import random
from urllib.parse import parse_qsl

import pytest


@pytest.fixture
def mw(gatlow):
    return gatlow.ApiKeyGatlow(None, api_key="k")


@pytest.fixture
def trusting(gatlow):
    return gatlow.ApiKeyGatlow(None, api_key="k", trust_upstream_corvane_identity=True)


@pytest.mark.parametrize(
    "query, headers, token",
    [
        # Query parameter: first non-empty value, unchanged
        (b"api_key=&api_key=second", [], "second"),
        (b"api_key&x=1", [("authorization", "Bearer hdr")], "hdr"),
        (b"api_key=a+b%20c", [], "a b c"),
        (b"api%5Fkey=escaped", [], "escaped"),
        (b"API_KEY=upper", [], None),
        (b"api_key=%20padded%20", [("authorization", "Bearer  trimmed  ")], " padded "),
        (b"x=\xff&api_key=v", [], "v"),
        (b"api_key=a\xffb", [], "a\ufffdb"),
        (b"api_key=%E4%BD%A0%zz%4", [], "\u4f60%zz%4"),
        (b"api_key=query", [("authorization", "Bearer header")], "query"),
        # Headers: authorization bearer, then x-mcp-proxy-auth bearer
        (b"", [("authorization", "Basic dXNlcg=="), ("authorization", "Bearer second")], "second"),
        (b"", [("x-mcp-proxy-auth", "Bearer proxy"), ("authorization", "Bearer auth")], "auth"),
        (b"", [("x-mcp-proxy-auth", "Bearer first"), ("x-mcp-proxy-auth", "Bearer other")], "first"),
        (b"", [("authorization", "Basic x"), ("X-MCP-Proxy-Auth", "bearer proxy")], "proxy"),
        (b"", [("Authorization", "BEARER \t tok \n")], "tok"),
        (b"", [("authorization", "Bearer")], None),
        (b"", [("authorization", "Bearer    ")], ""),
        (b"", [("authorization", b"Bearer \xe4\xbd\xa0\xff")], "\u4f60\ufffd"),
        (b"", [("x-mcp-api-key", "only-for-the-endpoint")], None),
        (b"", [], None),
    ],
)
def test_extract_token(kit, mw, query, headers, token):
    assert mw._extract_token(kit.http_scope(query=query, headers=headers)) == token


def test_extract_token_without_query_or_headers(mw):
    assert mw._extract_token({"type": "http"}) is None


def _random_query(rng):
    alphabet = ["a", "_", "k", "e", "y", "p", "i", "=", "&", "+", "%", "2", "5", "F", "f", "0", "E4", "BD",
                "A0", "C3", "\xff", "\xe4", " ", ";", "api_key", "api_key="]
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 14))).encode("latin-1")


def test_query_token_agrees_with_parse_qsl(kit, mw):
    """Form decoding of the query matches the standard library's on its
    decoded text, over many odd query strings."""
    rng = random.Random(8)
    for _ in range(3000):
        raw = _random_query(rng)
        text = raw.decode("utf-8", errors="replace")
        expected = next((v for k, v in parse_qsl(text, encoding="utf-8", errors="replace") if k == "api_key"), None)
        assert mw._extract_token(kit.http_scope(query=raw)) == expected, raw


@pytest.mark.parametrize(
    "scope, error",
    [
        ({"type": "http", "query_string": "api_key=x"}, TypeError),
        ({"type": "http", "headers": [(b"authorization",)]}, ValueError),
        ({"type": "http", "headers": [(b"a", b"b", b"c")]}, ValueError),
        ({"type": "http", "headers": [7]}, TypeError),
        ({"type": "http", "headers": [("authorization", b"Bearer x")]}, TypeError),
        ({"type": "http", "headers": [(b"authorization", "Bearer x")]}, TypeError),
    ],
)
def test_malformed_scope_raises(mw, scope, error):
    with pytest.raises(error):
        mw._extract_token(scope)


def test_header_lookup(kit, gatlow):
    header = gatlow.ApiKeyGatlow._header
    scope = kit.http_scope(headers=[("X-Corvane-User-Email", "  Mixed@Example.COM "), ("x-empty", "  "),
                                    ("x-empty", "later"), ("x-bad", b"\xff")])
    assert header(scope, b"x-corvane-user-email") == "Mixed@Example.COM"
    assert header(scope, b"x-empty") is None
    assert header(scope, b"x-bad") == "\ufffd"
    assert header(scope, b"x-missing") is None
    assert header({"type": "http"}, b"x") is None
    for name in ("x-empty", bytearray(b"x-empty"), None):
        with pytest.raises(TypeError, match="name"):
            header(scope, name)


@pytest.mark.parametrize(
    "headers, identity",
    [
        ([("x-corvane-user-email", " Ada@Example.COM "), ("x-corvane-user-id", " 42 ")],
         {"email": "ada@example.com", "user_id": "42"}),
        ([("x-corvane-user-email", "ADA@EXAMPLE.COM")], {"email": "ada@example.com", "user_id": None}),
        ([("x-corvane-user-email", "a@b.c"), ("x-corvane-user-id", "  ")], {"email": "a@b.c", "user_id": None}),
        ([("x-corvane-user-email", "ÄNNE@X.DE")], {"email": "änne@x.de", "user_id": None}),
        ([("x-corvane-user-email", " "), ("x-corvane-user-email", "late@x.y")], None),
        ([("x-corvane-user-id", "42")], None),
        ([], None),
    ],
)
def test_internal_identity(kit, trusting, headers, identity):
    result = trusting._internal_identity(kit.http_scope(headers=headers))
    assert result == identity
    if identity:
        assert list(result) == ["email", "user_id"]


def test_internal_identity_needs_trust(kit, mw):
    scope = kit.http_scope(headers=[("x-corvane-user-email", "a@b.c"), ("x-corvane-user-id", "1")])
    assert mw._internal_identity(scope) is None
