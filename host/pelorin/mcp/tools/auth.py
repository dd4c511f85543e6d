"""MCP login tool: opens a platform session for the current API-key caller."""

from __future__ import annotations

import asyncio
from typing import Any

from pelorin.mcp.context import get_current_api_key
from pelorin.mcp.tools.helpers import _get_credential_dir

SESSION_LIFETIME = 8 * 60 * 60


async def auth_mcp_login() -> dict[str, Any]:
    """Logs the caller in and stores the session in its isolated store."""
    from pelorin.auth import AuthClient
    from pelorin.auth.storage.credential_store import CredentialStore
    from pelorin.mcp.credential_cache import invalidate_credential_cache

    api_key = get_current_api_key()
    credential_dir = _get_credential_dir()
    if not api_key or credential_dir is None:
        return {"success": False, "error": {"message": "no API key to log in with"}}
    try:
        session = await asyncio.to_thread(AuthClient().login_with_api_key, api_key)
        session_id = session["session_id"]
    except Exception as exc:
        return {"success": False, "error": {"message": f"login failed: {exc}"}}
    CredentialStore(base_dir=credential_dir).save_session(
        session_id, session.get("email"), session.get("expires_in") or SESSION_LIFETIME
    )
    invalidate_credential_cache(base_dir=credential_dir)
    return {"success": True, "email": session.get("email")}
