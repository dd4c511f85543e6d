"""CORS headers for answers that the server writes itself (outside the
framework's CORS middleware), such as the API-key middleware's refusals."""

from __future__ import annotations

from typing import Any

# Origins allowed to read the server's answers from a browser; "*" allows any.
ALLOWED_ORIGINS: tuple[str, ...] = ("*",)


def _origin(scope: dict[str, Any]) -> bytes | None:
    for name, value in scope.get("headers") or ():
        if name.lower() == b"origin":
            return value or None
    return None


def cors_headers_for_scope(scope: dict[str, Any]) -> list[tuple[bytes, bytes]]:
    """The (name, value) header pairs that let the request's origin read the
    answer; empty for a request without an allowed Origin header."""
    origin = _origin(scope)
    if origin is None:
        return []
    if "*" not in ALLOWED_ORIGINS and origin.decode("latin-1") not in ALLOWED_ORIGINS:
        return []
    return [
        (b"access-control-allow-origin", origin),
        (b"access-control-allow-credentials", b"true"),
        (b"vary", b"Origin"),
    ]
