import asyncio
import logging
import types

import pytest

from pelorin.keepa.accounts import KeepaApiKey, KeepaApiKeyProvider
from pelorin.keepa.api import client as keepa_client
from pelorin.keepa.config import KeepaSettings
from pelorin.keepa.domain.models import KeepaScenarioRequest
from pelorin.keepa.services import brondic

from ..conftest import DictSub, ListSub, StrSub  # noqa: F401  (for the tests of this folder)

TRACE = "[KEEPA-TRACE] "
ENOUGH = {"tokensLeft": 500, "refillIn": 2500, "refillRate": 20}
SHORT = {"tokensLeft": 0, "refillIn": 2500, "refillRate": 20}


@pytest.fixture(autouse=True)
def _fresh_client_scripts():
    keepa_client.reset_scripts()
    yield
    keepa_client.reset_scripts()


class RecordingProvider(KeepaApiKeyProvider):
    """The host provider (it rotates), recording what it was asked."""

    def __init__(self, settings):
        super().__init__(settings)
        self.asked = []

    def get_default(self, exclude_account_ids=None):
        self.asked.append(set(exclude_account_ids) if exclude_account_ids is not None else None)
        return super().get_default(exclude_account_ids)


class PlainProvider:
    """A provider that does not rotate: one key, no reports."""

    def __init__(self, key="key-1", account_id=1):
        self.key = KeepaApiKey(key, account_id)
        self.asked = 0

    def get_default(self):
        self.asked += 1
        return self.key


@pytest.fixture
def settings(tmp_path):
    return KeepaSettings(output_dir=tmp_path / "out", reserve_tokens=0, api_keys=("key-1", "key-2", "key-3"))


@pytest.fixture
def provider(settings):
    return RecordingProvider(settings)


@pytest.fixture
def manager(settings, provider):
    return brondic.KeepaBrondic(settings=settings, api_key_provider=provider)


def request_for(scenario="product", **fields):
    fields.setdefault("params", {"asin": "B0ABCD1234"} if scenario == "product" else {})
    fields.setdefault("job_id", "J1")
    return KeepaScenarioRequest(scenario=scenario, **fields)


@pytest.fixture
def traces(caplog):
    caplog.set_level(logging.INFO, logger="pelorin.keepa.services.brondic")

    def lines():
        return [r.getMessage()[len(TRACE):] for r in caplog.records if r.getMessage().startswith(TRACE)]

    return lines


@pytest.fixture
def sleeps(monkeypatch):
    """Refill waits recorded instead of slept."""
    waited = []

    async def sleep(seconds):
        waited.append(seconds)

    monkeypatch.setattr(brondic, "asyncio", types.SimpleNamespace(sleep=sleep))
    return waited


class Gate:
    """An awaitable script item that holds its call open until cancelled."""

    def __init__(self):
        self.reached = asyncio.Event()

    async def __call__(self, *args):
        self.reached.set()
        await asyncio.Event().wait()
