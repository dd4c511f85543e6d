"""Concurrent ensure_lusmere calls: single-flight logins per scope, scopes
independent, locks released with their loop, the exchange off the loop's
thread, and cancellation that leaves the lock free."""

import asyncio
import gc
import threading
import time

import pytest

from pelorin.auth.storage.credential_store import CredentialStore

EMAIL = "alice@example.com"


async def until(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition never held"
        await asyncio.sleep(0.005)


def lock_is_free(lock):
    return not lock.locked() and not lock._waiters


@pytest.fixture
def alice(kit, platform):
    kit.set_identity(auth_mode="remote", api_key="alice", email=EMAIL)
    return kit.isolated_dir("alice")


@pytest.mark.parametrize("callers", [2, 20])
async def test_concurrent_callers_log_in_once(lusmere, alice, kit, platform, callers):
    kit.seed_session(alice, "s-0", EMAIL, expires_in=-1)
    lock = lusmere._get_login_lock(str(alice))
    bindings = await asyncio.gather(*(lusmere.ensure_lusmere(require_jwt=True) for _ in range(callers)))
    assert platform.logins == ["alice"] and platform.exchanges == [("session-1", "tovan")]
    assert {(b.session_id, b.jwt) for b in bindings} == {("session-1", bindings[0].jwt)}
    assert [b.refreshed for b in bindings] == [True] + [False] * (callers - 1)
    assert lock_is_free(lock)


async def test_concurrent_forced_relogins_log_in_once(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL)
    bindings = await asyncio.gather(*(lusmere.ensure_lusmere(force_relogin=True) for _ in range(3)))
    assert platform.logins == ["alice"]
    assert [(b.session_id, b.refreshed) for b in bindings] == [("session-1", True)] + [("session-1", False)] * 2


async def test_scopes_do_not_wait_for_each_other(lusmere, kit, platform):
    kit.set_identity(auth_mode="remote", api_key="alice", email=EMAIL)
    platform.login_gates["alice"] = gate = threading.Event()
    try:
        blocked = asyncio.create_task(lusmere.ensure_lusmere())
        await until(lambda: "alice" in platform.entered)
        kit.set_identity(auth_mode="remote", api_key="bob", email="bob@example.com")
        bob = await asyncio.wait_for(lusmere.ensure_lusmere(), 5)
        assert bob.user_email == "bob@example.com" and not blocked.done()
    finally:
        gate.set()
    assert (await blocked).user_email == EMAIL
    assert sorted(platform.logins) == ["alice", "bob"]


def test_locks_of_finished_loops_are_released(lusmere, kit, platform):
    async def call():
        kit.set_identity(auth_mode="remote", api_key="alice", email=EMAIL)
        return await lusmere.ensure_lusmere(force_relogin=True)

    gc.collect()
    before = len(lusmere._login_locks)
    for _ in range(5):
        assert asyncio.run(call()).refreshed
    gc.collect()
    assert len(lusmere._login_locks) == before and len(platform.logins) == 5


async def test_slow_exchange_does_not_stall_the_loop(lusmere, kit, platform):
    kit.set_identity(email=EMAIL)

    ticked = threading.Event()

    def slow_exchange(session_id):
        # Done once the loop has ticked on meanwhile, which it cannot while
        # the exchange holds its thread.
        ticked.wait(60)
        return kit.make_jwt({"exp": time.time() + 60})

    platform.exchange = slow_exchange
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.01)
            ticks += 1
            if ticks == 10:
                ticked.set()

    ticking = asyncio.create_task(ticker())
    binding = await lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)
    ticking.cancel()
    assert binding.refreshed and ticks >= 10
    assert platform.exchange_threads and threading.get_ident() not in platform.exchange_threads


async def test_cancelled_waiter_leaves_the_lock_free(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL, expires_in=-1)
    lock = lusmere._get_login_lock(str(alice))
    platform.login_gates["alice"] = gate = threading.Event()
    try:
        holder = asyncio.create_task(lusmere.ensure_lusmere())
        await until(lambda: platform.entered)
        waiter = asyncio.create_task(lusmere.ensure_lusmere())
        await until(lambda: len(lock._waiters or ()) == 1)
        waiter.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiter
    finally:
        gate.set()
    assert (await holder).session_id == "session-1"
    assert lock_is_free(lock) and platform.logins == ["alice"]


async def test_cancelled_exchange_leaves_the_lock_free_and_stores_nothing(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL)
    lock = lusmere._get_login_lock(str(alice))
    gate = threading.Event()

    def gated_exchange(session_id):
        assert gate.wait(10)
        return f"jwt-{len(platform.exchanges)}"

    platform.exchange = gated_exchange
    try:
        first = asyncio.create_task(lusmere.ensure_lusmere(require_jwt=True))
        await until(lambda: platform.exchanges)
        second = asyncio.create_task(lusmere.ensure_lusmere(require_jwt=True))
        await until(lambda: len(lock._waiters or ()) == 1)
        first.cancel()
        with pytest.raises(asyncio.CancelledError):
            await first
        await until(lambda: len(platform.exchanges) == 2)  # the waiter took the lock
        assert CredentialStore(base_dir=alice).get_token_record("tovan") is None
    finally:
        gate.set()
    assert (await second).jwt == "jwt-2"
    assert CredentialStore(base_dir=alice).get_token("tovan") == "jwt-2"
    assert CredentialStore(base_dir=alice).get_session_id() == "s-0" and platform.logins == []
    assert lock_is_free(lock)
