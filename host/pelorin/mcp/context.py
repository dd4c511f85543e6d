"""Request identity context of the MCP server.

The API-key middleware sets `mcp_request_ctx` to the caller's identity record
for the duration of each accepted request; business tools read it through the
accessors below. Being a context variable, each request task sees only its own
record.
"""

from __future__ import annotations

from contextvars import ContextVar
from typing import Any

mcp_request_ctx: ContextVar[dict[str, Any] | None] = ContextVar("mcp_request_ctx", default=None)


def get_current_context() -> dict[str, Any] | None:
    return mcp_request_ctx.get()


def _current(key: str) -> Any:
    record = mcp_request_ctx.get()
    if not isinstance(record, dict):
        return None
    return record.get(key)


def get_current_api_key() -> str | None:
    return _current("api_key")


def get_current_auth_mode() -> str | None:
    return _current("auth_mode")


def get_current_user_email() -> str | None:
    return _current("email")


def get_current_user_id() -> str | None:
    return _current("user_id")
