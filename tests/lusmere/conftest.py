"""Fixtures of the credential binding tests: temporary stores, a request
identity and a stand-in platform behind the host's AuthClient."""

from __future__ import annotations

import base64
import json
import threading
import time

import pytest

import pelorin.auth
from pelorin.auth.storage import credential_store
from pelorin.auth.storage.credential_store import CredentialStore
from pelorin.mcp import context, credential_cache
from pelorin.mcp import lusmere as lusmere_module
from pelorin.mcp.tools import helpers


def make_jwt(claims: dict) -> str:
    def segment(obj: dict) -> str:
        return base64.urlsafe_b64encode(json.dumps(obj).encode()).rstrip(b"=").decode()

    return f"{segment({'alg': 'none'})}.{segment(claims)}.sig"


def set_identity(api_key=None, auth_mode=None, email=None):
    """Sets the request identity for the current task (and tasks it creates)."""
    context.mcp_request_ctx.set(
        {
            "api_key": api_key,
            "auth_mode": auth_mode,
            "user_id": None,
            "email": email,
            "allowed_tools": None,
            "permission_enabled": False,
        }
    )


class HttpError(Exception):
    def __init__(self, message, status_code=None, response=None):
        super().__init__(message)
        self.status_code = status_code
        self.response = response


class Response:
    def __init__(self, status_code):
        self.status_code = status_code


class Platform:
    """The operations platform as the fake AuthClient sees it.

    `exchange(session_id)` makes the JWT (or raises); tests replace it. Every
    login opens a new session "session-<n>" for the e-mail of `emails[key]`.
    """

    def __init__(self) -> None:
        self.logins: list[str] = []
        self.exchanges: list[tuple[str, str]] = []
        self.exchange_threads: list[int] = []
        self.emails: dict[str, str] = {}
        self.login_error: Exception | None = None
        self.login_gates: dict[str, threading.Event] = {}  # api key -> login waits for it
        self.entered: list[str] = []  # api keys whose login has started
        self.exchange = lambda session_id: make_jwt({"exp": time.time() + 3600, "sid": session_id})
        self._lock = threading.Lock()

    def client_type(self):
        platform = self

        class FakeAuthClient:
            def login_with_api_key(self, api_key: str) -> dict:
                platform.entered.append(api_key)
                gate = platform.login_gates.get(api_key)
                if gate is not None:
                    assert gate.wait(10), "login gate never opened"
                time.sleep(0.01)  # wide enough for concurrent callers to pile up
                if platform.login_error is not None:
                    raise platform.login_error
                with platform._lock:
                    platform.logins.append(api_key)
                    session_id = f"session-{len(platform.logins)}"
                return {"session_id": session_id, "email": platform.emails.get(api_key, f"{api_key}@example.com"),
                        "expires_in": 3600}

            def get_token_by_session(self, session_id: str, service: str):
                with platform._lock:
                    platform.exchanges.append((session_id, service))
                    platform.exchange_threads.append(threading.get_ident())
                return platform.exchange(session_id)

        return FakeAuthClient


@pytest.fixture
def lusmere():
    return lusmere_module


@pytest.fixture
def stores(tmp_path, monkeypatch):
    """Default and isolated stores under a temporary directory."""
    monkeypatch.setattr(credential_store, "DEFAULT_BASE_DIR", tmp_path / "default")
    monkeypatch.setattr(helpers, "ISOLATED_CREDENTIALS_ROOT", tmp_path / "isolated")
    credential_cache._views.clear()
    yield tmp_path
    credential_cache._views.clear()


@pytest.fixture
def platform(monkeypatch, stores):
    platform = Platform()
    monkeypatch.setattr(pelorin.auth, "AuthClient", platform.client_type())
    return platform


def isolated_dir(api_key: str):
    """The isolated credential directory the host derives for an API key."""
    token = context.mcp_request_ctx.set({"api_key": api_key})
    try:
        return helpers._get_credential_dir()
    finally:
        context.mcp_request_ctx.reset(token)


def seed_session(base_dir, session_id="session-0", email="user@example.com", expires_in=3600):
    CredentialStore(base_dir=base_dir).save_session(session_id, email, expires_in)
    credential_cache.invalidate_credential_cache(base_dir=base_dir)


def seed_jwt(base_dir, jwt="stored.jwt.value", expires_in=3600):
    CredentialStore(base_dir=base_dir).save_token("tovan", jwt, expires_in)
    credential_cache.invalidate_credential_cache(base_dir=base_dir)


@pytest.fixture
def kit():
    """This module's helpers, for tests (conftest is not importable by name)."""
    import sys

    return sys.modules[__name__]
