"""The binding record, the error type and the synchronous helpers of the
credential binding: JWT lifetime, rejection recognition, identity reads and
the login-lock registry."""

import asyncio
import dataclasses
import gc
import pickle
import subprocess
import sys
import textwrap
import weakref
from datetime import datetime

import pytest

from pelorin.auth.core import token_manager

from ..conftest import StrSub

NOW = 1_700_000_000.0


# ---------------------------------------------------------------------------
# Records


def test_binding_is_a_frozen_record(lusmere):
    Binding = lusmere.TovanCredentialBinding
    assert Binding.__module__ == "pelorin.mcp.lusmere" and Binding.__qualname__ == "TovanCredentialBinding"
    assert [f.name for f in dataclasses.fields(Binding)] == [
        "credential_scope", "user_email", "session_id", "jwt", "runtime_auth", "refreshed"]
    positional = Binding("default", "a@b.c", "s", None)
    assert positional == Binding(credential_scope="default", user_email="a@b.c", session_id="s", jwt=None,
                                 runtime_auth=None, refreshed=False)
    assert hash(positional) == hash(Binding("default", "a@b.c", "s", None, None, False))
    assert positional != Binding("default", "a@b.c", "s", None, refreshed=True)
    with pytest.raises(dataclasses.FrozenInstanceError):
        positional.jwt = "x"
    with pytest.raises(TypeError):
        Binding("default", "a@b.c", "s")


def test_error_type_and_its_contract(lusmere):
    Error = lusmere.TovanCredentialBindingError
    assert issubclass(Error, RuntimeError) and Error.__module__ == "pelorin.mcp.lusmere"
    assert Error.__doc__ == "当前 MCP 身份无法建立可信 TOVAN 凭证绑定。"
    assert Error.code == "TOVAN_CREDENTIAL_ENSURE_FAILED"
    error = Error("TOVAN 隔离登录态未保存成功")
    assert str(error) == "TOVAN 隔离登录态未保存成功"
    as_dict = error.to_dict()
    assert list(as_dict.items()) == [("code", "TOVAN_CREDENTIAL_ENSURE_FAILED"), ("message", "TOVAN 隔离登录态未保存成功")]
    assert error.to_dict() is not as_dict
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is Error and copy.to_dict() == as_dict
    for bad in (None, 1, StrSub("x")):
        with pytest.raises(TypeError, match="message"):
            Error(bad)


def test_module_doc(lusmere):
    assert lusmere.__doc__ == "按 MCP 请求身份解析并确保 TOVAN 凭证绑定。"


# ---------------------------------------------------------------------------
# JWT lifetime


@pytest.fixture
def frozen_clock(lusmere, monkeypatch):
    class FrozenDatetime:
        @staticmethod
        def now(tz=None):
            return datetime.fromtimestamp(NOW, tz)

    monkeypatch.setattr(lusmere, "datetime", FrozenDatetime)


@pytest.mark.parametrize(
    "claims, expected",
    [
        ({"exp": NOW + 90.7}, 90),
        ({"exp": NOW + 0.5}, 0),
        ({"exp": NOW - 0.5}, 0),
        ({"exp": NOW - 3600}, 0),
        ({"exp": NOW + 10**7}, token_manager.MAX_JWT_TTL),
        ({"exp": str(NOW + 100)}, 100),
        ({"exp": 0}, 7200),
        ({"exp": None}, 7200),
        ({"exp": ""}, 7200),
        ({}, 7200),
        ({"exp": "soon"}, 7200),
        ({"exp": [NOW]}, 7200),
        ({"exp": float("nan")}, 7200),
        ({"exp": float("inf")}, 7200),
    ],
)
def test_jwt_lifetime_from_expiry(lusmere, frozen_clock, kit, claims, expected):
    result = lusmere._jwt_expires_in(kit.make_jwt(claims))
    assert type(result) is int and result == expected


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({"exp": str(NOW + 42).encode()}, 42),
        ([("exp", NOW + 42)], 7200),  # claims that are not a mapping
        (None, 7200),
    ],
)
def test_jwt_lifetime_from_decoded_claims(lusmere, frozen_clock, monkeypatch, payload, expected):
    monkeypatch.setattr(lusmere, "_decode_jwt_payload", lambda jwt: payload)
    assert lusmere._jwt_expires_in("x.y.z") == expected


def test_jwt_lifetime_of_undecodable_tokens(lusmere, frozen_clock):
    for jwt in ("", "not-a-jwt", "a.%%%.c", "a.WzFd.c", "a.\udcff.c"):
        assert lusmere._jwt_expires_in(jwt) == 7200


@pytest.mark.parametrize(
    "bound, claims, expected",
    [
        (60, {}, 60),
        (7200, {}, 7200),
        (100.9, {}, 100),
        (89.5, {"exp": NOW + 90.7}, 89),
        (90, {"exp": NOW + 90.7}, 90),
        (True, {}, 1),
    ],
)
def test_jwt_lifetime_is_capped_by_the_host_bound(lusmere, frozen_clock, monkeypatch, kit, bound, claims, expected):
    monkeypatch.setattr(token_manager, "MAX_JWT_TTL", bound)
    result = lusmere._jwt_expires_in(kit.make_jwt(claims))
    assert type(result) is int and result == expected


def test_jwt_lifetime_failures(lusmere, monkeypatch, kit):
    for bad in (None, b"x.y.z", StrSub("x.y.z"), 1):
        with pytest.raises(TypeError, match="jwt"):
            lusmere._jwt_expires_in(bad)
    monkeypatch.setattr(token_manager, "MAX_JWT_TTL", "1 day")
    with pytest.raises(TypeError):
        lusmere._jwt_expires_in(kit.make_jwt({}))
    monkeypatch.delattr(token_manager, "MAX_JWT_TTL")
    with pytest.raises(ImportError, match="MAX_JWT_TTL"):
        lusmere._jwt_expires_in(kit.make_jwt({}))


# ---------------------------------------------------------------------------
# Rejection recognition


def chained(outer, inner, explicit=True):
    """outer raised while handling inner (explicit: `from inner`)."""
    try:
        try:
            raise inner
        except BaseException as caught:
            if explicit:
                raise outer from caught
            raise outer
    except BaseException as result:
        return result


def context_loop():
    first, second = ValueError("first"), ValueError("second")
    first.__context__ = second
    second.__context__ = first
    return first


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda k: k.HttpError("no", status_code=401), True),
        (lambda k: k.HttpError("no", status_code=403.0), True),
        (lambda k: k.HttpError("no", response=k.Response(403)), True),
        (lambda k: k.HttpError("no", status_code=500, response=k.Response(401)), True),
        (lambda k: chained(RuntimeError("wrapped"), k.HttpError("no", status_code=401)), True),
        (lambda k: chained(RuntimeError("a"), chained(ValueError("b"), k.HttpError("no", response=k.Response(403)),
                                                      explicit=False), explicit=False), True),
        (lambda k: k.HttpError("missing", status_code=404), False),
        (lambda k: k.HttpError("broken", status_code=500, response=k.Response(502)), False),
        (lambda k: k.HttpError("text", status_code="401"), False),
        (lambda k: k.HttpError("text", response=object()), False),
        (lambda k: ConnectionError("network down"), False),
        (lambda k: chained(RuntimeError("a"), OSError("b")), False),
        (lambda k: context_loop(), False),
    ],
)
def test_auth_rejection_recognition(lusmere, kit, make, expected):
    assert lusmere._is_auth_rejection(make(kit)) is expected


def test_auth_rejection_walks_a_loop_only_once(lusmere, kit):
    first, second = ValueError("first"), kit.HttpError("second", status_code=403)
    first.__context__, second.__context__ = second, first
    assert lusmere._is_auth_rejection(first) is True
    assert lusmere._is_auth_rejection(exc=second) is True


def test_auth_rejection_refuses_what_is_not_an_error(lusmere):
    for bad in (None, "401", KeyboardInterrupt(), asyncio.CancelledError(), ValueError):
        with pytest.raises(TypeError, match="exc"):
            lusmere._is_auth_rejection(bad)


# ---------------------------------------------------------------------------
# Identity reads


class FakeCache:
    def __init__(self, session_id="s-1", email=None, calls=None):
        self.session_id, self.email = session_id, email
        self.calls = [] if calls is None else calls

    def get_session_id(self):
        self.calls.append("get_session_id")
        return self.session_id

    def get_email(self):
        self.calls.append("get_email")
        return self.email


@pytest.fixture
def identity_of(lusmere, monkeypatch):
    """Patches the transport e-mail and the cache that holds the stored one."""
    seen_dirs = []

    def configure(transport=None, stored=None, credential_dir=None):
        monkeypatch.setattr(lusmere, "get_current_user_email", lambda: transport)
        monkeypatch.setattr(lusmere, "_get_credential_dir", lambda: credential_dir)
        monkeypatch.setattr(lusmere, "_get_isolated_credential_cache",
                            lambda d: seen_dirs.append(d) or FakeCache(email=stored))
        return seen_dirs

    return configure


@pytest.mark.parametrize(
    "transport, stored, expected",
    [
        (" User@Example.COM\t", "other@example.com", "user@example.com"),
        (None, "  Stored@Example.com ", "stored@example.com"),
        ("   ", "stored@example.com", "stored@example.com"),
        ("", None, None),
        (None, "  ", None),
        (0, 0, None),
    ],
)
def test_authenticated_user_email(lusmere, identity_of, transport, stored, expected):
    seen_dirs = identity_of(transport=transport, stored=stored, credential_dir=None)
    assert lusmere._get_authenticated_user_email() == expected
    # Without a transport e-mail the cache is asked even without a directory.
    assert seen_dirs == ([] if expected == "user@example.com" else [None])


@pytest.mark.parametrize(
    "session_id, transport, stored, message",
    [
        (None, "user@example.com", "user@example.com", "当前 MCP 用户的 TOVAN 隔离凭证不完整"),
        ("", "user@example.com", None, "当前 MCP 用户的 TOVAN 隔离凭证不完整"),
        ("s-1", None, None, "当前 MCP 用户的 TOVAN 隔离凭证不完整"),
        ("s-1", "user@example.com", "other@example.com", "当前 MCP 用户与 TOVAN 隔离凭证用户不一致"),
    ],
)
def test_remote_identity_refusals(lusmere, identity_of, session_id, transport, stored, message):
    identity_of(transport=transport, stored=None)
    calls = []
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        lusmere._read_remote_identity(FakeCache(session_id, stored, calls))
    assert str(raised.value) == message
    assert calls == ["get_session_id", "get_email"]  # every read happens before a check


@pytest.mark.parametrize("stored", [" USER@example.com ", "", None])
def test_remote_identity_accepted(lusmere, identity_of, stored):
    identity_of(transport="User@Example.com ")
    session_id = "s-1"
    result = lusmere._read_remote_identity(cache=FakeCache(session_id, stored))
    assert result == ("s-1", "user@example.com") and type(result) is tuple and result[0] is session_id


# ---------------------------------------------------------------------------
# Login-lock registry


def registry_size(lusmere):
    gc.collect()
    return len(lusmere._login_locks)


def test_login_lock_is_shared_while_referenced(lusmere):
    async def scenario():
        first = lusmere._get_login_lock("scope-a")
        assert lusmere._get_login_lock(credential_scope="scope-a") is first
        assert lusmere._get_login_lock("scope-b") is not first
        assert isinstance(first, asyncio.Lock)
        gone = weakref.ref(first)
        del first
        gc.collect()
        assert gone() is None
        return lusmere._get_login_lock("scope-a")

    assert isinstance(asyncio.run(scenario()), asyncio.Lock)


def test_login_locks_are_per_loop_and_released_with_the_loop(lusmere):
    before = registry_size(lusmere)

    async def take():
        lock = lusmere._get_login_lock("scope")
        async with lock:
            await asyncio.sleep(0)
        assert len(lusmere._login_locks) == before + 1
        return lock

    kept = [asyncio.run(take()) for _ in range(3)]
    assert len({id(lock) for lock in kept}) == 3
    del kept
    assert registry_size(lusmere) == before
    for _ in range(20):
        asyncio.run(take())
    assert registry_size(lusmere) == before


def test_login_lock_outside_a_loop_leaves_the_registry_alone(lusmere):
    before = registry_size(lusmere)
    with pytest.raises(RuntimeError, match="no running event loop"):
        lusmere._get_login_lock("scope")
    assert len(lusmere._login_locks) == before and not lusmere._login_locks_guard.locked()
    for bad in (None, b"scope", StrSub("scope"), 1):
        with pytest.raises(TypeError, match="credential_scope"):
            lusmere._get_login_lock(bad)


async def test_login_lock_guard_is_released_on_errors(lusmere, monkeypatch):
    def broken():
        raise MemoryError("no map")

    monkeypatch.setattr(lusmere, "WeakValueDictionary", broken)
    with pytest.raises(MemoryError):
        lusmere._get_login_lock("scope")
    assert not lusmere._login_locks_guard.locked()


def test_waiting_for_the_guard_does_not_hold_the_gil():
    # A thread holds the guard and needs the interpreter to let go of it; the
    # loop thread waiting for the guard must not keep the interpreter.
    script = textwrap.dedent(
        """
        import asyncio, threading, time
        from pelorin.mcp import lusmere
        held, done = threading.Event(), []
        def holder():
            with lusmere._login_locks_guard:
                held.set()
                time.sleep(0.2)
                done.append(sum(range(100000)))
        t = threading.Thread(target=holder)
        t.start()
        held.wait()
        async def main():
            return lusmere._get_login_lock("scope")
        asyncio.run(main())
        t.join()
        assert done
        """
    )
    subprocess.run([sys.executable, "-c", script], check=True, timeout=30)


# ---------------------------------------------------------------------------
# Module load


def run_python(script):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=60)


def test_module_loads_without_the_hosts_it_imports_on_use():
    result = run_python(
        """
        import sys
        for name in ("pelorin.auth", "pelorin.auth.storage.credential_store", "pelorin.mcp.credential_cache",
                     "pelorin.auth.core.token_manager"):
            sys.modules[name] = None
        from pelorin.mcp import lusmere
        try:
            lusmere._jwt_expires_in("x.y.z")
        except ImportError:
            print("lazy")
        """
    )
    assert result.returncode == 0 and result.stdout.strip() == "lazy", result.stderr


def test_failed_host_import_fails_the_load():
    result = run_python(
        """
        import sys
        sys.modules["pelorin.mcp.tools.auth"] = None
        try:
            from pelorin.mcp import lusmere
        except ImportError as error:
            print(type(error).__name__, error.name)
        """
    )
    assert result.stdout.split() == ["ModuleNotFoundError", "pelorin.mcp.tools.auth"], result.stderr
