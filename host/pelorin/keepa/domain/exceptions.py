"""Keepa errors. Each carries a stable code and a Chinese message."""

from __future__ import annotations

from typing import Any


class KeepaError(Exception):
    default_code = "KEEPA_ERROR"

    def __init__(self, message: str, *, code: str | None = None, details: dict[str, Any] | None = None):
        super().__init__(message)
        self.message = message
        self.code = code or self.default_code
        self.details = dict(details or {})

    def to_dict(self) -> dict[str, Any]:
        return {"code": self.code, "message": self.message, "details": dict(self.details)}


class KeepaConfigError(KeepaError):
    """Missing or unusable configuration: no key left, unknown scenario or site."""

    default_code = "KEEPA_CONFIG_ERROR"


class KeepaApiError(KeepaError):
    """A failed call of the Keepa API (HTTP status, refused key, rate limit, ...)."""

    default_code = "KEEPA_API_ERROR"

    def __init__(
        self,
        message: str,
        *,
        code: str | None = None,
        status_code: int | None = None,
        details: dict[str, Any] | None = None,
    ):
        super().__init__(message, code=code, details=details)
        self.status_code = status_code

    def to_dict(self) -> dict[str, Any]:
        return {**super().to_dict(), "status_code": self.status_code}


class KeepaQuotaError(KeepaError):
    """Not enough tokens for a request; retryable once the quota has refilled."""

    default_code = "KEEPA_QUOTA_INSUFFICIENT"

    def __init__(
        self,
        message: str,
        *,
        tokens_left: int | None = None,
        estimated_tokens: int | None = None,
        reserve_tokens: int | None = None,
        refill_in_ms: Any = None,
        refill_rate: Any = None,
    ):
        super().__init__(
            message,
            details={
                "tokens_left": tokens_left,
                "estimated_tokens": estimated_tokens,
                "reserve_tokens": reserve_tokens,
                "refill_in_ms": refill_in_ms,
                "refill_rate": refill_rate,
            },
        )
        self.tokens_left = tokens_left
        self.estimated_tokens = estimated_tokens
        self.reserve_tokens = reserve_tokens
        self.refill_in_ms = refill_in_ms
        self.refill_rate = refill_rate
