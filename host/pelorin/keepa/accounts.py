"""Keepa API keys and the provider that hands them out, with rotation."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from pelorin.keepa.domain.exceptions import KeepaConfigError


@dataclass(frozen=True)
class KeepaApiKey:
    api_key: str
    account_id: Any = None
    source: str = "settings"

    def to_public_dict(self) -> dict[str, Any]:
        key = self.api_key
        masked = key[:4] + "***" + key[-4:] if len(key) > 8 else "***"
        return {"account_id": self.account_id, "source": self.source, "api_key": masked}


class KeepaApiKeyProvider:
    """Hands out the configured keys. A key that failed goes to the back of the
    queue, so the next run starts with one that worked last."""

    def __init__(self, settings: Any):
        self._keys: list[KeepaApiKey] = []
        for number, entry in enumerate(getattr(settings, "api_keys", ()) or (), start=1):
            if isinstance(entry, KeepaApiKey):
                self._keys.append(entry)
            else:
                self._keys.append(KeepaApiKey(api_key=str(entry), account_id=number))
        self.successes: list[tuple[KeepaApiKey, dict[str, Any]]] = []
        self.failures: list[tuple[KeepaApiKey, BaseException, dict[str, Any] | None]] = []

    def get_default(self, exclude_account_ids: set[int] | None = None) -> KeepaApiKey:
        excluded = exclude_account_ids or set()
        for key in self._keys:
            if key.account_id is None or key.account_id not in excluded:
                return key
        if self._keys:
            raise KeepaConfigError("没有可用的 Keepa API key：已尝试的账号均不可用")
        raise KeepaConfigError("未配置 Keepa API key")

    def report_success(self, credential: KeepaApiKey, quota: dict[str, Any]) -> None:
        self.successes.append((credential, quota))

    def report_failure(self, credential: KeepaApiKey, exc: BaseException, quota: dict[str, Any] | None = None) -> None:
        self.failures.append((credential, exc, quota))
        if credential in self._keys:
            self._keys.remove(credential)
            self._keys.append(credential)
