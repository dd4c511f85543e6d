"""Client of the operations platform's authentication service."""

from __future__ import annotations

import os
from typing import Any

import httpx

DEFAULT_BASE_URL = "https://tovan.pelorin.invalid"


class AuthClient:
    """Blocking client: call it from a worker thread inside an event loop.

    A refusal by the platform raises httpx.HTTPStatusError, whose `response`
    carries the HTTP status.
    """

    def __init__(self, base_url: str | None = None, timeout: float = 10.0) -> None:
        self.base_url = (base_url or os.environ.get("PELORIN_TOVAN_URL") or DEFAULT_BASE_URL).rstrip("/")
        self.timeout = timeout

    def _post(self, path: str, payload: dict[str, Any]) -> dict[str, Any]:
        response = httpx.post(f"{self.base_url}{path}", json=payload, timeout=self.timeout)
        response.raise_for_status()
        body = response.json()
        if not isinstance(body, dict):
            raise ValueError(f"unexpected answer from {path}")
        return body

    def login_with_api_key(self, api_key: str) -> dict[str, Any]:
        """Opens a platform session for an MCP API key: session_id, email, expires_in."""
        return self._post("/auth/mcp/login", {"api_key": api_key})

    def get_token_by_session(self, session_id: str, service: str) -> str:
        """Exchanges a platform session for the service's JWT."""
        token = self._post("/auth/token", {"session_id": session_id, "service": service}).get("token")
        if not isinstance(token, str) or not token:
            raise ValueError("the platform returned no token")
        return token
