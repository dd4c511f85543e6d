"""Cached view of the credentials stored in one credential directory.

Reads go through a snapshot of the store taken on first use; whoever writes
the store calls `invalidate_credential_cache` for that directory so that the
next read sees the files as they now are.
"""

from __future__ import annotations

import os
import threading
import time
from pathlib import Path
from typing import Any

_views: dict[str, dict[str, Any]] = {}
_views_guard = threading.Lock()


def _key(base_dir: str | os.PathLike[str] | None) -> str:
    return "" if base_dir is None else str(Path(base_dir))


def invalidate_credential_cache(base_dir: str | os.PathLike[str] | None = None) -> None:
    with _views_guard:
        _views.pop(_key(base_dir), None)


class IsolatedCredentialCache:
    """The stored credentials of one directory (None: the default store)."""

    def __init__(self, base_dir: str | os.PathLike[str] | None) -> None:
        self.base_dir = base_dir

    def _view(self) -> dict[str, Any]:
        from pelorin.auth.storage.credential_store import CredentialStore

        key = _key(self.base_dir)
        with _views_guard:
            view = _views.get(key)
            if view is None:
                store = CredentialStore(base_dir=self.base_dir)
                view = {"session": store.get_session() or {}, "store": store}
                _views[key] = view
            return view

    def get_session_id(self) -> str | None:
        return self._view()["session"].get("session_id")

    def get_email(self) -> str | None:
        return self._view()["session"].get("email")

    def is_authenticated(self) -> bool:
        session = self._view()["session"]
        return bool(session.get("session_id")) and session.get("expires_at", 0) > time.time()

    def get_jwt(self, service: str) -> str | None:
        return self._view()["store"].get_token(service)
