"""Helpers shared by the MCP business tools: credential directories and JWTs."""

from __future__ import annotations

import base64
import hashlib
import json
import os
from pathlib import Path
from typing import Any

from pelorin.mcp.context import get_current_api_key

# Parent of the per-caller credential directories of API-key callers.
ISOLATED_CREDENTIALS_ROOT = Path.home() / ".pelorin" / "mcp-credentials"


def _decode_jwt_payload(jwt: str) -> dict[str, Any]:
    """The claims of a JWT, unverified."""
    parts = jwt.split(".")
    if len(parts) != 3:
        raise ValueError("not a JWT")
    segment = parts[1] + "=" * (-len(parts[1]) % 4)
    claims = json.loads(base64.urlsafe_b64decode(segment))
    if not isinstance(claims, dict):
        raise ValueError("JWT claims are not an object")
    return claims


def _get_credential_dir() -> Path | None:
    """The isolated credential directory of the current MCP caller's API key."""
    api_key = get_current_api_key()
    if not api_key:
        return None
    return ISOLATED_CREDENTIALS_ROOT / hashlib.sha256(api_key.encode()).hexdigest()[:32]


def _get_isolated_credential_cache(credential_dir: str | os.PathLike[str] | None):
    from pelorin.mcp.credential_cache import IsolatedCredentialCache

    return IsolatedCredentialCache(credential_dir)


def _get_auth_pair(
    service: str, provided_session: str | None = None, provided_jwt: str | None = None
) -> tuple[str | None, str | None]:
    """(session id, JWT): the passed values, else those of the machine's login."""
    from pelorin.auth.storage.credential_store import CredentialStore

    if provided_session:
        return provided_session, provided_jwt or None
    store = CredentialStore()
    # A stored JWT belongs to the stored session only.
    session_id = store.get_session_id()
    return session_id, provided_jwt or (store.get_token(service) if session_id else None)
