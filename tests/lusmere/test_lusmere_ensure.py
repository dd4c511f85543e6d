"""ensure_lusmere in its gateway, isolated and local modes, and the automatic
login, JWT fetch and invalidation it stands on."""

import asyncio
import json
import sys
import threading
import time
import types

import pytest

import pelorin.auth
from pelorin.auth.storage.credential_store import CredentialStore
from pelorin.mcp import credential_cache

from ..conftest import NotFound, StrSub, raise_api_error

EMAIL = "alice@example.com"


def stored_token(base_dir):
    return CredentialStore(base_dir=base_dir).get_token_record("tovan")


def assert_wrapped(raised, message, cause):
    assert str(raised.value) == message
    assert raised.value.__cause__ is cause and raised.value.__suppress_context__


# ---------------------------------------------------------------------------
# Arguments


def test_argument_errors_are_raised_by_the_call(lusmere):
    for kwargs in ({"provided_session": 1}, {"provided_jwt": b"jwt"}, {"provided_session": StrSub("s")},
                   {"unknown": True}):
        with pytest.raises(TypeError):
            lusmere.ensure_lusmere(**kwargs)
    with pytest.raises(TypeError, match=r"^ensure_lusmere\(\) takes 0 positional arguments but 1 was given$"):
        lusmere.ensure_lusmere("session")
    with pytest.raises(TypeError, match=r"^ensure_lusmere\(\) got an unexpected keyword argument 'unknown'$"):
        lusmere.ensure_lusmere(unknown=True)
    with pytest.raises(TypeError, match=r"^_fetch_and_store_tovan_jwt\(\) missing 1 required positional argument"):
        lusmere._fetch_and_store_tovan_jwt("s")


async def test_call_returns_a_coroutine_for_asyncio(lusmere, platform, kit):
    kit.set_identity(auth_mode="internal", email=EMAIL)
    task = asyncio.create_task(lusmere.ensure_lusmere(provided_session="s-1"))
    assert (await task).session_id == "s-1"
    assert lusmere.ensure_lusmere.__name__ == "ensure_lusmere"


# ---------------------------------------------------------------------------
# Gateway mode


@pytest.mark.parametrize("auth_mode", ["corvane_viewer", "corvane_session", "internal"])
async def test_gateway_binding_from_passed_session(lusmere, platform, kit, stores, auth_mode):
    kit.set_identity(auth_mode=auth_mode, email="  Alice@Example.COM ", api_key="ignored")
    binding = await lusmere.ensure_lusmere(provided_session="s-1")
    assert binding == lusmere.TovanCredentialBinding(
        f"{auth_mode}:alice@example.com", "alice@example.com", "s-1", None, ("s-1", None), False)
    assert platform.exchanges == [] and platform.logins == []
    assert list(stores.iterdir()) == []


async def test_gateway_with_only_a_jwt_never_exchanges(lusmere, platform, kit):
    kit.set_identity(auth_mode="internal", email=EMAIL)
    binding = await lusmere.ensure_lusmere(provided_jwt="jwt-1", require_jwt=True)
    assert (binding.session_id, binding.jwt, binding.runtime_auth, binding.refreshed) == (
        None, "jwt-1", (None, "jwt-1"), False)
    assert platform.exchanges == []


async def test_gateway_exchange_on_a_worker_thread_stores_nothing(lusmere, platform, kit, stores):
    kit.set_identity(auth_mode="internal", email=EMAIL)
    platform.exchange = lambda session_id: f"jwt-for-{session_id}"
    binding = await lusmere.ensure_lusmere(provided_session="s-1", provided_jwt="", require_jwt=1)
    assert (binding.jwt, binding.runtime_auth, binding.refreshed) == ("jwt-for-s-1", ("s-1", "jwt-for-s-1"), True)
    assert platform.exchanges == [("s-1", "tovan")]
    assert platform.exchange_threads != [threading.get_ident()]
    assert list(stores.iterdir()) == []


@pytest.mark.parametrize("error", [ConnectionError("platform down"), ValueError()])
async def test_gateway_exchange_failure(lusmere, platform, kit, error):
    kit.set_identity(auth_mode="internal", email=EMAIL)

    def refuse(session_id):
        raise error

    platform.exchange = refuse
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)
    assert_wrapped(raised, "获取 TOVAN JWT 失败：" + str(error), error)


async def test_gateway_exchange_import_failure(lusmere, platform, kit, monkeypatch):
    kit.set_identity(auth_mode="internal", email=EMAIL)
    monkeypatch.setitem(sys.modules, "pelorin.auth", None)
    with pytest.raises(lusmere.TovanCredentialBindingError, match="^获取 TOVAN JWT 失败：") as raised:
        await lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)
    assert isinstance(raised.value.__cause__, ImportError)


async def test_gateway_client_failure_keeps_its_traceback(lusmere, platform, kit, monkeypatch):
    kit.set_identity(auth_mode="internal", email=EMAIL)

    def broken_client():
        raise ConnectionRefusedError("no client")

    monkeypatch.setattr(pelorin.auth, "AuthClient", broken_client)
    with pytest.raises(lusmere.TovanCredentialBindingError, match="^获取 TOVAN JWT 失败：no client$") as raised:
        await lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)
    cause = raised.value.__cause__
    assert isinstance(cause, ConnectionRefusedError)
    assert cause.__traceback__.tb_frame.f_code.co_name == "broken_client"


@pytest.mark.parametrize("email", [None, "", "   "])
async def test_gateway_without_email(lusmere, platform, kit, email):
    kit.set_identity(auth_mode="internal", email=email)
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(provided_session="s-1")
    assert str(raised.value) == "当前 Corvane 用户邮箱缺失，无法安全执行 TOVAN 任务"


@pytest.mark.parametrize(
    "auth_mode, api_key, kwargs, scope",
    [
        ("Internal", None, {"provided_session": "s-1"}, "default"),
        (" internal", None, {"provided_session": "s-1"}, "default"),
        ("internal", None, {}, "default"),
        ("internal", None, {"provided_session": "", "provided_jwt": ""}, "default"),
        ("INTERNAL", "alice", {"provided_session": "s-1"}, "isolated"),
        ("remote", "alice", {"provided_session": "s-1"}, "isolated"),
    ],
)
async def test_mode_selection(lusmere, platform, kit, auth_mode, api_key, kwargs, scope):
    kit.set_identity(auth_mode=auth_mode, api_key=api_key, email=EMAIL)
    kit.seed_session(None, "default-session", EMAIL)
    binding = await lusmere.ensure_lusmere(**kwargs)
    if scope == "default":
        assert binding.credential_scope == "default"
    else:
        assert binding.credential_scope == str(kit.isolated_dir(api_key))
        assert binding.runtime_auth is None and binding.session_id == "session-1"


@pytest.mark.parametrize("auth_mode, api_key", [(None, ""), (0, 0), ([], None), ("", [])])
async def test_odd_context_values_select_the_local_mode(lusmere, platform, kit, monkeypatch, auth_mode, api_key):
    monkeypatch.setattr(lusmere, "get_current_auth_mode", lambda: auth_mode)
    monkeypatch.setattr(lusmere, "get_current_api_key", lambda: api_key)
    monkeypatch.setattr(lusmere, "get_current_user_email", lambda: "  Alice@EXAMPLE.com")
    binding = await lusmere.ensure_lusmere(provided_session="s-1", provided_jwt="j-1")
    assert (binding.credential_scope, binding.user_email, binding.runtime_auth) == ("default", EMAIL, ("s-1", "j-1"))


# ---------------------------------------------------------------------------
# Isolated mode


@pytest.fixture
def alice(kit, platform):
    """An API-key caller and its isolated credential directory."""
    kit.set_identity(auth_mode="remote", api_key="alice", email=" Alice@Example.com")
    return kit.isolated_dir("alice")


async def test_isolated_fast_path_takes_no_lock(lusmere, alice, kit, platform, monkeypatch):
    kit.seed_session(alice, "s-0", EMAIL)
    kit.seed_jwt(alice, "jwt-0")
    monkeypatch.setattr(lusmere, "_get_login_lock", None)  # any use would fail
    binding = await lusmere.ensure_lusmere(provided_session="passed", provided_jwt="passed", require_jwt=True)
    assert binding == lusmere.TovanCredentialBinding(str(alice), EMAIL, "s-0", "jwt-0", None, False)
    assert platform.logins == [] and platform.exchanges == []


async def test_isolated_expired_session_logs_in_once(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL, expires_in=-1)
    binding = await lusmere.ensure_lusmere()
    assert binding == lusmere.TovanCredentialBinding(str(alice), EMAIL, "session-1", None, None, True)
    assert platform.logins == ["alice"]


async def test_isolated_jwt_fetch_is_stored_in_the_isolated_store(lusmere, alice, kit, platform, stores):
    kit.seed_session(alice, "s-0", EMAIL)
    binding = await lusmere.ensure_lusmere(require_jwt=True)
    assert (binding.session_id, binding.refreshed, binding.jwt) == ("s-0", True, stored_token(alice)["token"])
    assert platform.exchanges == [("s-0", "tovan")] and platform.logins == []
    assert not (stores / "default").exists()
    # The cache follows the store: the next call takes the fast path.
    again = await lusmere.ensure_lusmere(require_jwt=True)
    assert (again.jwt, again.refreshed) == (binding.jwt, False) and len(platform.exchanges) == 1


def refusing_first(platform, refusal, second=None):
    """The platform refuses the first exchange, then answers or raises `second`."""

    def exchange(session_id):
        if len(platform.exchanges) == 1:
            raise refusal()
        if second is not None:
            raise second
        return f"jwt-for-{session_id}"

    platform.exchange = exchange


def revoked_by_response(kit):
    return kit.HttpError("session revoked", response=kit.Response(401))


def wrapped_refusal(kit):
    """A client error raised while handling the platform's 403."""
    try:
        raise kit.HttpError("forbidden", status_code=403)
    except Exception as refusal:
        try:
            raise RuntimeError("token request failed") from refusal
        except RuntimeError as wrapped:
            return wrapped


@pytest.mark.parametrize("refusal", [revoked_by_response, wrapped_refusal,
                                     lambda kit: kit.HttpError("expired", status_code=401)])
async def test_isolated_refusal_clears_the_store_and_retries_after_a_login(lusmere, alice, kit, platform, refusal):
    kit.seed_session(alice, "s-0", EMAIL)
    kit.seed_jwt(alice, "expired", expires_in=-1)
    refusing_first(platform, lambda: refusal(kit))
    binding = await lusmere.ensure_lusmere(require_jwt=True)
    assert (binding.session_id, binding.jwt, binding.refreshed) == ("session-1", "jwt-for-session-1", True)
    assert platform.exchanges == [("s-0", "tovan"), ("session-1", "tovan")] and platform.logins == ["alice"]
    assert stored_token(alice)["token"] == "jwt-for-session-1"


async def test_isolated_retry_failure(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL)
    lock = lusmere._get_login_lock(str(alice))
    refusal, second = revoked_by_response(kit), OSError("still down")
    refusing_first(platform, lambda: refusal, second)
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(require_jwt=True)
    assert_wrapped(raised, "重新登录后获取 TOVAN JWT 失败：still down", second)
    assert second.__context__ is refusal  # raised while the refusal was being handled
    assert len(platform.exchanges) == 2 and platform.logins == ["alice"]
    assert not lock.locked()


async def test_isolated_failed_login_after_a_refusal(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL)
    refusal = revoked_by_response(kit)
    refusing_first(platform, lambda: refusal)
    platform.login_error = ConnectionError("key revoked")
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(require_jwt=True)
    assert str(raised.value) == "login failed: key revoked" and raised.value.__context__ is refusal
    assert CredentialStore(base_dir=alice).get_session() is None and len(platform.exchanges) == 1


async def test_isolated_refusal_right_after_own_login_is_not_retried(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL, expires_in=-1)
    refusal = kit.HttpError("forbidden", status_code=403)

    def exchange(session_id):
        raise refusal

    platform.exchange = exchange
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(require_jwt=True)
    assert_wrapped(raised, "获取 TOVAN JWT 失败：forbidden", refusal)
    assert platform.logins == ["alice"] and len(platform.exchanges) == 1
    assert CredentialStore(base_dir=alice).get_session() is None  # cleared


async def test_isolated_network_failure_leaves_the_store(lusmere, alice, kit, platform):
    kit.seed_session(alice, "s-0", EMAIL)
    kit.seed_jwt(alice, "old", expires_in=-1)
    failure = ConnectionError("no route")

    def exchange(session_id):
        raise OSError("socket") from failure

    platform.exchange = exchange
    with pytest.raises(lusmere.TovanCredentialBindingError, match="^获取 TOVAN JWT 失败：socket$"):
        await lusmere.ensure_lusmere(require_jwt=True)
    assert CredentialStore(base_dir=alice).get_session_id() == "s-0"
    assert stored_token(alice)["token"] == "old" and platform.logins == []


@pytest.mark.parametrize("stored_session", ["s-0", None])
async def test_isolated_forced_relogin(lusmere, alice, kit, platform, stored_session):
    if stored_session:
        kit.seed_session(alice, stored_session, EMAIL)
    binding = await lusmere.ensure_lusmere(force_relogin="yes")
    assert (binding.session_id, binding.refreshed) == ("session-1", True) and platform.logins == ["alice"]


async def test_isolated_without_credential_directory(lusmere, alice, monkeypatch):
    monkeypatch.setattr(lusmere, "_get_credential_dir", lambda: None)
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere()
    assert str(raised.value) == "无法确定当前 MCP 用户的隔离凭证作用域"


@pytest.mark.parametrize(
    "stored_email, message",
    [
        ("mallory@example.com", "当前 MCP 用户与 TOVAN 隔离凭证用户不一致"),
        (" ALICE@example.com\n", None),
        ("", None),
    ],
)
async def test_isolated_identity_check(lusmere, alice, kit, stored_email, message):
    kit.seed_session(alice, "s-0", stored_email)
    if message is None:
        assert (await lusmere.ensure_lusmere()).user_email == EMAIL
        return
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere()
    assert str(raised.value) == message


async def test_isolated_incomplete_credentials_after_login_keep_the_session(lusmere, kit, platform):
    kit.set_identity(auth_mode="remote", api_key="bob", email=None)
    platform.emails["bob"] = ""
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere()
    assert str(raised.value) == "当前 MCP 用户的 TOVAN 隔离凭证不完整"
    assert CredentialStore(base_dir=kit.isolated_dir("bob")).get_session_id() == "session-1"


async def test_isolated_host_failures_pass_through(lusmere, alice, monkeypatch):
    failure = PermissionError("credential root unreadable")

    def broken(_dir):
        raise failure

    monkeypatch.setattr(lusmere, "_get_isolated_credential_cache", broken)
    with pytest.raises(PermissionError) as raised:
        await lusmere.ensure_lusmere()
    assert raised.value is failure


# ---------------------------------------------------------------------------
# Automatic login


class Cache:
    def __init__(self, authenticated):
        self.authenticated = authenticated

    def is_authenticated(self):
        return self.authenticated


@pytest.mark.parametrize(
    "result, authenticated, message",
    [
        ({"success": True}, True, None),
        ({"success": True}, False, "TOVAN 隔离登录态未保存成功"),
        ({"success": False, "error": {"message": "key revoked"}}, True, "key revoked"),
        ({"success": False, "error": {"message": 42}}, True, "42"),
        ({"success": False, "error": {"message": ""}}, True, "自动建立 TOVAN 隔离登录态失败"),
        ({"success": False, "error": None}, True, "自动建立 TOVAN 隔离登录态失败"),
        ({"error": {}}, True, "自动建立 TOVAN 隔离登录态失败"),
        ({"success": "true"}, True, "自动建立 TOVAN 隔离登录态失败"),
        ({"success": 1}, True, "自动建立 TOVAN 隔离登录态失败"),
    ],
)
async def test_auto_login(lusmere, monkeypatch, result, authenticated, message):
    async def login():
        return result

    monkeypatch.setattr(lusmere, "auth_mcp_login", login)
    if message is None:
        assert await lusmere._auto_login(Cache(authenticated)) is None
        return
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere._auto_login(cache=Cache(authenticated))
    assert str(raised.value) == message and raised.value.to_dict()["message"] == message


@pytest.mark.parametrize("result, error", [(["success"], AttributeError), ({"error": "boom"}, AttributeError)])
async def test_auto_login_odd_results_pass_through(lusmere, monkeypatch, result, error):
    async def login():
        return result

    monkeypatch.setattr(lusmere, "auth_mcp_login", login)
    with pytest.raises(error):
        await lusmere._auto_login(Cache(True))


async def test_auto_login_through_the_host_login(lusmere, alice, kit, platform):
    platform.login_error = ConnectionError("refused")
    cache = lusmere._get_isolated_credential_cache(alice)
    with pytest.raises(lusmere.TovanCredentialBindingError, match="refused"):
        await lusmere._auto_login(cache)
    platform.login_error = None
    await lusmere._auto_login(cache)
    assert cache.is_authenticated() and platform.logins == ["alice"]


# ---------------------------------------------------------------------------
# JWT fetch, store and invalidation


@pytest.fixture
def invalidations(monkeypatch):
    seen = []
    real = credential_cache.invalidate_credential_cache

    def spy(base_dir=None):
        seen.append(base_dir)
        real(base_dir=base_dir)

    monkeypatch.setattr(credential_cache, "invalidate_credential_cache", spy)
    return seen


async def test_fetch_and_store_into_the_default_store(lusmere, platform, kit, stores, invalidations, monkeypatch):
    monkeypatch.setattr(lusmere, "_jwt_expires_in", lambda jwt: 1234)
    before = time.time()
    jwt = await lusmere._fetch_and_store_tovan_jwt("s-0", None)
    after = time.time()
    assert stored_token(None)["token"] == jwt and platform.exchanges == [("s-0", "tovan")]
    record = json.loads((stores / "default" / "tokens.json").read_text())["tovan"]
    assert before + 1234 <= record["expires_at"] <= after + 1234
    assert invalidations == [None] and not (stores / "isolated").exists()


async def test_fetch_and_store_of_an_opaque_token_uses_the_default_lifetime(lusmere, platform, alice):
    platform.exchange = lambda session_id: "opaque-token"
    before = time.time()
    assert await lusmere._fetch_and_store_tovan_jwt("s-0", alice) == "opaque-token"
    after = time.time()
    assert before + 7200 <= stored_token(alice)["expires_at"] <= after + 7200


async def test_fetch_and_store_refuses_a_token_that_is_not_text(lusmere, platform, alice, invalidations):
    platform.exchange = lambda session_id: None
    with pytest.raises(TypeError, match="jwt"):
        await lusmere._fetch_and_store_tovan_jwt(session_id="s-0", credential_dir=alice)
    assert stored_token(alice) is None and invalidations == []
    with pytest.raises(TypeError, match="session_id"):
        lusmere._fetch_and_store_tovan_jwt(None, alice)


async def test_fetch_and_store_keeps_the_token_when_invalidation_fails(lusmere, platform, alice, monkeypatch):
    def broken(base_dir=None):
        raise OSError("cache gone")

    monkeypatch.setattr(credential_cache, "invalidate_credential_cache", broken)
    with pytest.raises(OSError, match="cache gone"):
        await lusmere._fetch_and_store_tovan_jwt("s-0", alice)
    assert stored_token(alice)["token"].count(".") == 2


def test_invalidate_clears_the_store_and_the_cached_view(lusmere, alice, kit, invalidations):
    kit.seed_session(alice, "s-0", EMAIL)
    kit.seed_jwt(alice)
    cache = lusmere._get_isolated_credential_cache(alice)
    assert cache.is_authenticated()
    invalidations.clear()
    assert lusmere._invalidate_lusmere(alice) is None
    assert invalidations == [alice] and not cache.is_authenticated() and cache.get_jwt("tovan") is None


# ---------------------------------------------------------------------------
# Local mode


@pytest.fixture
def local(kit, platform):
    kit.set_identity(auth_mode="fixed", email=None)


async def test_local_without_login(lusmere, local):
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(require_jwt=True)
    assert str(raised.value) == "无 TOVAN 登录态，请先完成 pelorin auth login"


async def test_local_without_email(lusmere, local):
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(provided_session="s-1")
    assert str(raised.value) == "当前 MCP 用户邮箱缺失，无法安全执行 TOVAN 任务"


async def test_local_default_login(lusmere, local, kit, platform):
    kit.seed_session(None, "s-0", " Alice@Example.com ")
    kit.seed_jwt(None, "jwt-0")
    binding = await lusmere.ensure_lusmere(require_jwt=True, provided_session="", provided_jwt="")
    assert binding == lusmere.TovanCredentialBinding("default", EMAIL, "s-0", "jwt-0", None, False)
    assert platform.exchanges == []


async def test_local_jwt_fetch_into_the_default_store(lusmere, local, kit, platform, stores, invalidations):
    kit.set_identity(email=EMAIL)
    binding = await lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)
    assert (binding.session_id, binding.refreshed) == ("s-1", True)
    assert binding.runtime_auth == ("s-1", binding.jwt) and stored_token(None)["token"] == binding.jwt
    assert invalidations == [None] and not (stores / "isolated").exists()


async def test_local_jwt_fetch_failure(lusmere, local, kit, platform):
    kit.set_identity(email=EMAIL)
    refusal = kit.HttpError("denied", status_code=401)

    def exchange(session_id):
        raise refusal

    platform.exchange = exchange
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)
    assert_wrapped(raised, "获取 TOVAN JWT 失败：denied", refusal)
    assert platform.logins == []


@pytest.mark.parametrize("pair, error", [(("s", "j", "x"), ValueError), (("s",), ValueError), (None, TypeError)])
async def test_local_auth_pair_must_be_a_pair(lusmere, local, monkeypatch, pair, error):
    monkeypatch.setattr(lusmere, "_get_auth_pair", lambda *args: pair)
    with pytest.raises(error):
        await lusmere.ensure_lusmere()


async def test_local_auth_pair_is_asked_with_the_passed_values(lusmere, local, kit, monkeypatch):
    kit.set_identity(email=EMAIL)
    seen = []
    monkeypatch.setattr(lusmere, "_get_auth_pair", lambda *args: seen.append(args) or ["s-9", "j-9"])
    binding = await lusmere.ensure_lusmere(provided_jwt="j-1")
    assert seen == [("tovan", None, "j-1")] and binding.runtime_auth == ("s-9", "j-9")


# ---------------------------------------------------------------------------
# Order of host calls


class ScriptedHost:
    """The host as ensure_lusmere sees it, recording every call in order."""

    def __init__(self, lusmere, monkeypatch, auth_mode, api_key, authenticated, fetch_outcomes):
        self.calls, self.session_id, self.authenticated = [], "s-0", authenticated
        self.fetch_outcomes = list(fetch_outcomes)
        host = self

        class Cache:
            def get_session_id(self):
                return host.record("get_session_id", host.session_id)

            def get_email(self):
                return host.record("get_email", EMAIL)

            def is_authenticated(self):
                return host.record("is_authenticated", host.authenticated)

            def get_jwt(self, service):
                return host.record(("get_jwt", service), None)

        async def login():
            host.record("login")
            host.session_id, host.authenticated = "s-1", True
            return {"success": True}

        async def fetch(session_id, credential_dir):
            host.record(("fetch", session_id, credential_dir))
            outcome = host.fetch_outcomes.pop(0)
            if isinstance(outcome, Exception):
                raise outcome
            return outcome

        real_lock = lusmere._get_login_lock
        for name, value in {
            "get_current_auth_mode": lambda: self.record("auth_mode", auth_mode),
            "get_current_api_key": lambda: self.record("api_key", api_key),
            "get_current_user_email": lambda: self.record("email", EMAIL),
            "_get_credential_dir": lambda: self.record("credential_dir", "/creds/alice"),
            "_get_isolated_credential_cache": lambda d: self.record(("cache", d), Cache()),
            "_get_auth_pair": lambda *args: self.record(("auth_pair",) + args, ("s-local", None)),
            "_get_login_lock": lambda scope: self.record(("lock", scope), real_lock(scope)),
            "_invalidate_lusmere": lambda d: self.record(("invalidate", d)),
            "auth_mcp_login": login,
            "_fetch_and_store_tovan_jwt": fetch,
        }.items():
            monkeypatch.setattr(lusmere, name, value)

    def record(self, call, result=None):
        self.calls.append(call)
        return result


IDENTITY = ["get_session_id", "email", "get_email"]  # _read_remote_identity


class Refused(Exception):
    status_code = 401


@pytest.mark.parametrize(
    "auth_mode, api_key, authenticated, kwargs, fetches, expected",
    [
        ("internal", None, False, {"provided_session": "p"}, [], ["auth_mode", "email"]),
        ("fixed", None, False, {"require_jwt": True}, ["jwt"],
         ["auth_mode", "api_key", ("auth_pair", "tovan", None, None), "email", ("fetch", "s-local", None)]),
        ("remote", "k", True, {}, [],
         ["auth_mode", "api_key", "credential_dir", ("cache", "/creds/alice"), "is_authenticated", *IDENTITY,
          ("get_jwt", "tovan")]),
        ("remote", "k", True, {"force_relogin": True}, [],
         ["auth_mode", "api_key", "credential_dir", ("cache", "/creds/alice"), "get_session_id",
          ("lock", "/creds/alice"), "get_session_id", "login", "is_authenticated", *IDENTITY, ("get_jwt", "tovan")]),
        ("remote", "k", True, {"require_jwt": True}, [Refused("expired"), "jwt"],
         ["auth_mode", "api_key", "credential_dir", ("cache", "/creds/alice"), "is_authenticated",
          ("get_jwt", "tovan"), ("lock", "/creds/alice"), "is_authenticated", *IDENTITY, ("get_jwt", "tovan"),
          ("fetch", "s-0", "/creds/alice"), ("invalidate", "/creds/alice"), "login", "is_authenticated", *IDENTITY,
          ("fetch", "s-1", "/creds/alice")]),
    ],
    ids=["gateway", "local-fetch", "isolated-fast", "isolated-forced", "isolated-refused-retry"],
)
async def test_order_of_host_calls(lusmere, monkeypatch, auth_mode, api_key, authenticated, kwargs, fetches,
                                   expected):
    host = ScriptedHost(lusmere, monkeypatch, auth_mode, api_key, authenticated, fetches)
    await lusmere.ensure_lusmere(**kwargs)
    assert host.calls == expected and host.fetch_outcomes == []


# ---------------------------------------------------------------------------
# What hostile code hands back


@pytest.fixture
def recording_error(lusmere, monkeypatch):
    """The error type, patched with a subclass that notes the exception
    being handled while it is made."""
    seen = []

    class Recording(lusmere.TovanCredentialBindingError):
        def __init__(self, message):
            seen.append(sys.exc_info()[1])
            super().__init__(message)

    monkeypatch.setattr(lusmere, "TovanCredentialBindingError", Recording)
    return seen


def _platform_down(session_id):
    raise ConnectionError("platform down")


def _gateway_road(kit, platform, lusmere):
    kit.set_identity(auth_mode="internal", email=EMAIL)
    platform.exchange = _platform_down
    return lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)


def _local_road(kit, platform, lusmere):
    kit.set_identity(auth_mode="fixed", email=EMAIL)
    platform.exchange = _platform_down
    return lusmere.ensure_lusmere(provided_session="s-1", require_jwt=True)


def _isolated_first_failure(kit, platform, lusmere):
    kit.set_identity(auth_mode="remote", api_key="alice", email=EMAIL)
    kit.seed_session(kit.isolated_dir("alice"), "s-0", EMAIL)
    platform.exchange = _platform_down
    return lusmere.ensure_lusmere(require_jwt=True)


def _isolated_retry(kit, platform, lusmere):
    kit.set_identity(auth_mode="remote", api_key="alice", email=EMAIL)
    kit.seed_session(kit.isolated_dir("alice"), "s-0", EMAIL)
    refusing_first(platform, lambda: revoked_by_response(kit), OSError("still down"))
    return lusmere.ensure_lusmere(require_jwt=True)


@pytest.mark.parametrize("road", [_gateway_road, _local_road, _isolated_first_failure, _isolated_retry],
                         ids=["gateway", "local", "isolated-first-failure", "isolated-retry"])
async def test_the_binding_error_is_made_while_the_failure_is_handled(lusmere, platform, kit, recording_error, road):
    """As `except Exception as exc: raise TovanCredentialBindingError(...) from
    exc` makes it: sys.exc_info() shows the failure meanwhile."""
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await road(kit, platform, lusmere)
    assert recording_error == [raised.value.__cause__] and raised.value.__cause__ is not None


class _Roads:
    """The three roads over the stand-in platform, with one name patched."""

    def __init__(self, lusmere, kit, platform, monkeypatch):
        self.lusmere, self.kit, self.platform, self.monkeypatch = lusmere, kit, platform, monkeypatch

    def patch(self, name, value, target=None):
        self.monkeypatch.setattr(self.lusmere if target is None else target, name, value)
        return self

    def gateway(self, **kwargs):
        self.kit.set_identity(auth_mode="internal", email=EMAIL)
        return self.lusmere.ensure_lusmere(provided_session="s-1", **kwargs)

    def local(self, **kwargs):
        self.kit.set_identity(auth_mode="fixed", email=EMAIL)
        return self.lusmere.ensure_lusmere(provided_session="s-1", **kwargs)

    def isolated(self, expires_in=3600, **kwargs):
        self.kit.set_identity(auth_mode="remote", api_key="alice", email=EMAIL)
        self.kit.seed_session(self.kit.isolated_dir("alice"), "s-0", EMAIL, expires_in=expires_in)
        return self.lusmere.ensure_lusmere(**kwargs)

    def exchange_raises(self):
        self.platform.exchange = raise_api_error
        return self


class _CacheRaising:
    is_authenticated = get_session_id = get_email = get_jwt = raise_api_error


class _GetRaises(dict):
    get = raise_api_error


async def _login_result():
    return _GetRaises(success=True)


EXPIRED = {"expires_in": -1}
JWT = {"require_jwt": True}

# Routes on which a host name (or what it gives) raises ApiError, whose
# constructor makes a NotFound: the caller gets that NotFound.
LUSMERE_RAISING = {
    "auth-mode": lambda r: r.patch("get_current_auth_mode", raise_api_error).gateway(),
    "api-key": lambda r: r.patch("get_current_api_key", raise_api_error).local(),
    "user-email": lambda r: r.patch("get_current_user_email", raise_api_error).gateway(),
    "credential-dir": lambda r: r.patch("_get_credential_dir", raise_api_error).isolated(),
    "isolated-cache": lambda r: r.patch("_get_isolated_credential_cache", raise_api_error).isolated(),
    "cache-method": lambda r: r.patch("_get_isolated_credential_cache", lambda d: _CacheRaising()).isolated(),
    "read-identity": lambda r: r.patch("_read_remote_identity", raise_api_error).isolated(),
    "login-lock": lambda r: r.patch("_get_login_lock", raise_api_error).isolated(**EXPIRED),
    "lock-guard": lambda r: r.patch("_login_locks_guard", types.SimpleNamespace(acquire=raise_api_error)).isolated(
        **EXPIRED),
    "lock-registry": lambda r: r.patch("_login_locks", types.SimpleNamespace(get=raise_api_error)).isolated(**EXPIRED),
    "lock-map": lambda r: r.patch("WeakValueDictionary", raise_api_error).isolated(**EXPIRED),
    "auto-login": lambda r: r.patch("_auto_login", raise_api_error).isolated(**EXPIRED),
    "host-login": lambda r: r.patch("auth_mcp_login", raise_api_error).isolated(**EXPIRED),
    "host-login-result": lambda r: r.patch("auth_mcp_login", _login_result).isolated(**EXPIRED),
    "rejection-check": lambda r: r.exchange_raises().patch("_is_auth_rejection", raise_api_error).isolated(**JWT),
    "invalidate": lambda r: r.patch("_is_auth_rejection", lambda exc: True).patch(
        "_invalidate_lusmere", raise_api_error).exchange_raises().isolated(**JWT),
    "binding-record": lambda r: r.patch("TovanCredentialBinding", raise_api_error).gateway(),
    "auth-pair": lambda r: r.patch("_get_auth_pair", raise_api_error).local(),
    "authenticated-email": lambda r: r.patch("_get_authenticated_user_email", raise_api_error).local(),
    "error-type": lambda r: r.patch("TovanCredentialBindingError", raise_api_error).patch(
        "get_current_user_email", lambda: None).gateway(),
    "store-save": lambda r: r.patch("save_token", raise_api_error, CredentialStore).lusmere._fetch_and_store_tovan_jwt(
        "s-0", None),
    "store-invalidate": lambda r: r.patch("invalidate_credential_cache", raise_api_error, credential_cache)
    .lusmere._fetch_and_store_tovan_jwt("s-0", None),
    "jwt-lifetime": lambda r: r.patch("_jwt_expires_in", raise_api_error).lusmere._fetch_and_store_tovan_jwt(
        "s-0", None),
}


@pytest.mark.parametrize("route", LUSMERE_RAISING)
async def test_an_error_whose_constructor_picks_a_subclass_reaches_the_caller(lusmere, platform, kit, monkeypatch,
                                                                              route):
    with pytest.raises(NotFound) as caught:
        await LUSMERE_RAISING[route](_Roads(lusmere, kit, platform, monkeypatch))
    assert type(caught.value) is NotFound


# Failures of the JWT fetch, which the binding error wraps: its cause is the
# NotFound.
LUSMERE_WRAPPED = {
    "gateway-exchange": lambda r: r.exchange_raises().gateway(**JWT),
    "gateway-client": lambda r: r.patch("AuthClient", raise_api_error, pelorin.auth).gateway(**JWT),
    "gateway-to-thread": lambda r: r.patch("asyncio", types.SimpleNamespace(to_thread=raise_api_error)).gateway(**JWT),
    "local-fetch": lambda r: r.patch("_fetch_and_store_tovan_jwt", raise_api_error).local(**JWT),
    "isolated-fetch": lambda r: r.patch("_fetch_and_store_tovan_jwt", raise_api_error).isolated(**JWT),
    "isolated-retry": lambda r: r.patch("_is_auth_rejection", lambda exc: True).patch(
        "_fetch_and_store_tovan_jwt", raise_api_error).isolated(**JWT),
}


@pytest.mark.parametrize("route", LUSMERE_WRAPPED)
async def test_an_error_whose_constructor_picks_a_subclass_is_the_cause(lusmere, platform, kit, monkeypatch, route):
    with pytest.raises(lusmere.TovanCredentialBindingError) as raised:
        await LUSMERE_WRAPPED[route](_Roads(lusmere, kit, platform, monkeypatch))
    assert type(raised.value.__cause__) is NotFound
    assert str(raised.value).startswith("重新登录后" if route == "isolated-retry" else "获取")
