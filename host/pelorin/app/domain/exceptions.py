"""Errors of the app command, each with a stable code and an optional fix hint."""

from __future__ import annotations


class AppError(Exception):
    """An error shown to the user: a code, a message and, when known, how to fix it."""

    def __init__(self, code: str, message: str, *, fix_hint: str | None = None) -> None:
        super().__init__(message)
        self.code = code
        self.message = message
        self.fix_hint = fix_hint

    def __str__(self) -> str:
        return self.message


class AppGitError(AppError):
    """A Git operation of the app command failed."""
