"""One key's attempt runs in a coroutine of its own, which can outlive the
loop that awaits it: a loop may end (an error thrown in, a close whose
cleanup the attempt ignores) while the attempt stays parked. Resumed later,
the attempt finishes on what it holds itself."""

import gc

import pytest

from pelorin.keepa.domain.exceptions import KeepaApiError
from pelorin.keepa.services import brondic

from ..conftest import Parking, orphan_by_throw, orphan_by_throw_while_made
from .conftest import request_for


class ParkingClient:
    """A Keepa client that parks where the row says, and refuses its key."""

    park_on = "enter"

    def __init__(self, api_key):
        self.api_key = api_key

    def __aenter__(self):
        return Parking(self) if self.park_on == "enter" else self._entered()

    async def _entered(self):
        return self

    def __aexit__(self, *exc):
        if self.park_on == "exit" and exc[0] is GeneratorExit:
            return Parking(refused())  # the cleanup parks, then fails as the key does
        return self._exited()

    async def _exited(self):
        return None

    def token_status(self):
        return Parking() if self.park_on == "exit" else self._refuse()

    async def _refuse(self):
        raise refused()

    get_json = token_status


def refused():
    return KeepaApiError("refused", code="KEEPA_AUTH_ERROR")


def orphan_by_close(top, depth):
    """Closes `top` while the attempt's cleanup parks, which the attempt
    then ignores: `top` ends, the attempt stays parked."""
    top.send(None)
    child = top.cr_await
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        top.close()
    return child


@pytest.mark.parametrize("call, depth, park_on, orphan", [
    ("run", 2, "enter", orphan_by_throw),
    ("token_status", 1, "enter", orphan_by_throw),
    ("token_status", 1, "exit", orphan_by_close),
    ("token_status", 1, "enter", orphan_by_throw_while_made),
], ids=["run, thrown past", "status, thrown past", "status, close ignored", "status, thrown while made"])
def test_an_attempt_outlives_the_loop_that_awaited_it(settings, provider, monkeypatch, call, depth, park_on, orphan):
    monkeypatch.setattr(ParkingClient, "park_on", park_on)
    monkeypatch.setattr(brondic, "KeepaApiClient", ParkingClient)
    monkeypatch.setattr(brondic, "_can_rotate_credential", lambda *args: True)
    manager = brondic.KeepaBrondic(settings=settings, api_key_provider=provider)
    top = manager.run(request_for()) if call == "run" else manager.token_status()
    child = orphan(top, depth)
    del top
    gc.collect()
    assert child.cr_suspended
    with pytest.raises(StopIteration):
        child.send(None)
    assert [(key.api_key, error.code) for key, error, _ in provider.failures] == [("key-1", "KEEPA_AUTH_ERROR")]
