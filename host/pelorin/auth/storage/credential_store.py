"""Credentials kept in files of one base directory.

The default store lives in the user's home; an isolated store (one per MCP
caller) is the same layout under the caller's own credential directory. A
session is kept in "session.json", service tokens in "tokens.json", each
with its absolute expiry time.
"""

from __future__ import annotations

import json
import os
import tempfile
import time
from pathlib import Path
from typing import Any

DEFAULT_BASE_DIR = Path.home() / ".pelorin" / "credentials"

SESSION_FILE = "session.json"
TOKENS_FILE = "tokens.json"


class CredentialStore:
    def __init__(self, base_dir: str | os.PathLike[str] | None = None) -> None:
        self.base_dir = Path(base_dir) if base_dir is not None else DEFAULT_BASE_DIR

    # Files

    def _read(self, name: str) -> dict[str, Any]:
        try:
            data = json.loads((self.base_dir / name).read_text(encoding="utf-8"))
        except (FileNotFoundError, ValueError):
            return {}
        return data if isinstance(data, dict) else {}

    def _write(self, name: str, data: dict[str, Any]) -> None:
        self.base_dir.mkdir(mode=0o700, parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=self.base_dir, prefix=f".{name}.")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as out:
                json.dump(data, out, ensure_ascii=False)
            os.replace(tmp, self.base_dir / name)
        except BaseException:
            os.unlink(tmp)
            raise

    # Session

    def save_session(self, session_id: str, email: str | None, expires_in: float) -> None:
        self._write(
            SESSION_FILE,
            {"session_id": session_id, "email": email, "expires_at": time.time() + expires_in},
        )

    def get_session(self) -> dict[str, Any] | None:
        return self._read(SESSION_FILE) or None

    def get_session_id(self) -> str | None:
        return (self.get_session() or {}).get("session_id")

    # Service tokens

    def save_token(self, service: str, token: str, expires_in: float) -> None:
        tokens = self._read(TOKENS_FILE)
        tokens[service] = {"token": token, "expires_at": time.time() + expires_in}
        self._write(TOKENS_FILE, tokens)

    def get_token_record(self, service: str) -> dict[str, Any] | None:
        record = self._read(TOKENS_FILE).get(service)
        return record if isinstance(record, dict) else None

    def get_token(self, service: str) -> str | None:
        record = self.get_token_record(service)
        if not record or record.get("expires_at", 0) <= time.time():
            return None
        return record.get("token")

    def clear(self) -> None:
        """Removes the stored session and every token."""
        for name in (SESSION_FILE, TOKENS_FILE):
            try:
                (self.base_dir / name).unlink()
            except FileNotFoundError:
                pass
