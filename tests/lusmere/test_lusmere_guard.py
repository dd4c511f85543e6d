"""The registry's thread mutex is taken and released as `with guard:` would:
what its release raises reaches the caller, in place of the lookup's own
error, and the guard is taken before the registry is read."""

import threading

import pytest


class Halt(BaseException):
    pass


class Guard:
    """A thread mutex whose release raises `error` once it has released."""

    def __init__(self, error):
        self.lock, self.error = threading.Lock(), error

    def acquire(self):
        return self.lock.acquire()

    def release(self):
        self.lock.release()
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), Halt(), OSError("release failed")],
                         ids=["KeyboardInterrupt", "BaseException-subclass", "Exception"])
@pytest.mark.parametrize("lookup_fails", [False, True], ids=["lookup-returns", "lookup-fails"])
async def test_what_the_release_raises_reaches_the_caller(lusmere, monkeypatch, error, lookup_fails):
    lookup_error = MemoryError("no map")

    def broken():
        raise lookup_error

    if lookup_fails:
        monkeypatch.setattr(lusmere, "WeakValueDictionary", broken)
    guard = Guard(error)
    monkeypatch.setattr(lusmere, "_login_locks_guard", guard)
    with pytest.raises(type(error)) as caught:
        lusmere._get_login_lock("guarded-scope")
    assert caught.value is error and not guard.lock.locked()
    assert error.__context__ is (lookup_error if lookup_fails else None)


async def test_the_guard_is_read_before_the_registry(lusmere, monkeypatch):
    monkeypatch.delattr(lusmere, "_login_locks")
    monkeypatch.delattr(lusmere, "_login_locks_guard")
    with pytest.raises(NameError, match="'_login_locks_guard'"):
        lusmere._get_login_lock("scope")
