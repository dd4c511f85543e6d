"""Key rotation helpers, the quota pre-check and the quota error."""

import pytest

from pelorin.keepa.accounts import KeepaApiKey
from pelorin.keepa.domain.exceptions import KeepaApiError, KeepaQuotaError
from pelorin.keepa.services import brondic

QUOTA_MESSAGE = "Keepa 当前可用额度不足，请稍后重试；如果持续卡住，请联系运营人员处理。"


class Provider:
    """Records every call; rotates when given a report_failure."""

    def __init__(self, rotating=True):
        self.calls = []
        if rotating:
            self.report_failure = lambda *a, **k: self.calls.append(("failure", a, k))

    def get_default(self, **kwargs):
        self.calls.append(("get_default", kwargs))
        return KeepaApiKey("key", 1)

    def report_success(self, *args):
        self.calls.append(("success", args))


def test_rotation_support_is_a_callable_report_failure():
    assert brondic._provider_supports_rotation(Provider()) is True
    assert brondic._provider_supports_rotation(Provider(rotating=False)) is False
    odd = Provider(rotating=False)
    odd.report_failure = "not callable"
    assert brondic._provider_supports_rotation(odd) is False

    class Broken:
        @property
        def report_failure(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        brondic._provider_supports_rotation(Broken())


def test_get_provider_credential_passes_the_tried_set_itself():
    tried = {3}
    rotating = Provider()
    brondic._get_provider_credential(rotating, tried)
    assert rotating.calls[0][1]["exclude_account_ids"] is tried
    plain = Provider(rotating=False)
    brondic._get_provider_credential(plain, tried)
    assert plain.calls == [("get_default", {})]
    with pytest.raises(TypeError, match="'attempted_account_ids' must be set, not frozenset"):
        brondic._get_provider_credential(plain, frozenset())


def test_reports_reach_only_providers_that_take_them():
    key, error = KeepaApiKey("k", 1), KeepaApiError("x", code="KEEPA_FORBIDDEN")
    provider = Provider()
    brondic._report_provider_success(provider, key, {"tokensLeft": 1})
    brondic._report_provider_failure(provider, key, error)
    brondic._report_provider_failure(provider, key, error, quota={"tokensLeft": 0})
    assert provider.calls == [
        ("success", (key, {"tokensLeft": 1})),
        ("failure", (key, error), {"quota": None}),
        ("failure", (key, error), {"quota": {"tokensLeft": 0}}),
    ]
    brondic._report_provider_failure(object(), key, error)
    brondic._report_provider_success(object(), key, {})
    with pytest.raises(TypeError, match="'quota' must be dict, not NoneType"):
        brondic._report_provider_success(provider, key, None)
    with pytest.raises(TypeError, match="'exc' must be BaseException, not str"):
        brondic._report_provider_failure(provider, key, "error")
    with pytest.raises(TypeError):
        brondic._report_provider_failure(provider, key, error, {})


@pytest.mark.parametrize(
    "rotating, account_id, code, rotates",
    [
        (True, 1, "KEEPA_AUTH_ERROR", True),
        (True, "42", "KEEPA_FORBIDDEN", True),
        (True, 1, "KEEPA_QUOTA_INSUFFICIENT", True),
        (True, 1, "KEEPA_RATE_LIMITED", True),
        (True, 1, "KEEPA_SERVER_ERROR", False),
        (True, None, "KEEPA_AUTH_ERROR", False),
        (False, 1, "KEEPA_AUTH_ERROR", False),
    ],
)
def test_can_rotate_credential(rotating, account_id, code, rotates):
    error = KeepaApiError("x", code=code)
    assert brondic._can_rotate_credential(Provider(rotating), KeepaApiKey("k", account_id), error) is rotates


def quota_check(tokens_left, estimated, reserve, **figures):
    before = {"tokensLeft": tokens_left, **figures} if tokens_left != "absent" else dict(figures)
    return brondic._build_quota_warning(before_quota=before, estimated_tokens=estimated, reserve_tokens=reserve)


@pytest.mark.parametrize(
    "tokens_left, estimated, reserve, short",
    [
        (100, 60, 40, False),
        (100, 60, 41, True),
        (-1, -5, -3, True),
        (0, -5, -3, False),
        ("150", 100, 50, False),
        (" 149 ", 100, 50, True),
        (99.9, 100, 0, True),
        (True, 1, 0, False),
        ("15x", 100, 0, False),
        ([1], 100, 0, False),
        (None, 100, 0, False),
        ("absent", 100, 0, False),
        (0, None, 10, False),
        (10**30, 10**31, 0, True),
        (float("inf"), 1, 0, False),
        (float("-inf"), 1, 0, False),
    ],
)
def test_quota_precheck(tokens_left, estimated, reserve, short):
    assert (quota_check(tokens_left, estimated, reserve) is not None) is short


def test_quota_precheck_record():
    record = quota_check("2", -2, 3.7, refillIn=2500, refillRate=20)
    assert list(record.items()) == [
        ("stage", "quota_precheck"), ("message", QUOTA_MESSAGE), ("tokens_left", 2), ("estimated_tokens", -2),
        ("reserve_tokens", 3), ("refill_in_ms", 2500), ("refill_rate", 20),
    ]
    assert quota_check(1, 5, 0)["refill_in_ms"] is None
    with pytest.raises(TypeError, match="'estimated_tokens' must be int, not str"):
        quota_check(1, "5", 0)
    with pytest.raises(TypeError):
        brondic._build_quota_warning({"tokensLeft": 1}, 1, 0)


def test_quota_error_carries_the_record_figures():
    error = brondic._quota_error(quota_check(1, 5, 2, refillIn=10))
    assert isinstance(error, KeepaQuotaError) and str(error) == QUOTA_MESSAGE
    assert (error.tokens_left, error.estimated_tokens, error.reserve_tokens, error.refill_in_ms, error.refill_rate) == (1, 5, 2, 10, None)
    assert brondic._quota_error({}).tokens_left is None
    assert brondic._quota_error.__doc__ == "把额度预检查结果转换为稳定、可重试的 Keepa 错误。"


def test_token_status_warning():
    warnings = [{"stage": "earlier"}]
    error = KeepaApiError("限流", code="KEEPA_RATE_LIMITED", status_code=429)
    assert brondic._append_token_status_warning(warnings, error) is None
    assert warnings[1] == {"stage": "token_status", "message": "读取 Keepa 可用额度状态失败，继续执行主请求", "error": error.to_dict()}
    with pytest.raises(TypeError, match="'warnings' must be list, not tuple"):
        brondic._append_token_status_warning((), error)


# --- token-status reads and the refill wait

import asyncio  # noqa: E402

from pelorin.keepa.api import client as keepa_client  # noqa: E402
from pelorin.keepa.domain.exceptions import KeepaConfigError  # noqa: E402

from .conftest import ENOUGH, Gate, PlainProvider, request_for  # noqa: E402


class Client:
    def __init__(self, *answers):
        self.answers = list(answers)

    async def token_status(self):
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer


async def test_safe_token_status():
    warnings = []
    assert await brondic._safe_token_status(Client(ENOUGH), warnings) == ENOUGH and warnings == []
    error = KeepaApiError("down", code="KEEPA_SERVER_ERROR")
    assert await brondic._safe_token_status(Client(error), warnings) == {}
    assert warnings == [{"stage": "token_status", "message": "读取 Keepa 可用额度状态失败，继续执行主请求", "error": error.to_dict()}]
    with pytest.raises(ZeroDivisionError):
        await brondic._safe_token_status(Client(ZeroDivisionError()), warnings)
    with pytest.raises(TypeError, match="'_safe_token_status' must be dict or None, not list"):
        await brondic._safe_token_status(Client([1]), warnings)
    with pytest.raises(TypeError, match="'warnings' must be list, not tuple"):
        brondic._safe_token_status(Client(ENOUGH), ())


@pytest.mark.parametrize(
    "refill_in, waited",
    [(0, 1.0), (2500, 3.5), ("2500", 3.5), (-1000, None), (-5000, None), (None, None), ("soon", None), (float("nan"), None), (-999.0, 0.001),
     (float("inf"), None), (10**400, None)],
)
async def test_wait_for_refill(sleeps, refill_in, waited):
    warnings = []
    assert await brondic._wait_for_refill(Client(ENOUGH), {"refillIn": refill_in}, warnings) == ENOUGH
    if waited is None:
        assert sleeps == [] and warnings == []
    else:
        assert sleeps == [pytest.approx(waited)]
        assert warnings == [{"stage": "quota_wait", "message": "等待 Keepa 可用额度恢复后继续请求", "wait_seconds": pytest.approx(waited)}]


async def test_wait_for_refill_lets_the_reread_fail_and_checks_kinds(sleeps):
    with pytest.raises(KeepaApiError):
        await brondic._wait_for_refill(Client(KeepaApiError("x")), {}, [])
    with pytest.raises(TypeError, match="'_wait_for_refill' must be dict or None, not str"):
        await brondic._wait_for_refill(Client("x"), {}, [])
    with pytest.raises(TypeError, match="'before_quota' must be dict, not NoneType"):
        brondic._wait_for_refill(Client(ENOUGH), None, [])


async def test_the_refill_wait_really_sleeps():
    started = asyncio.get_running_loop().time()
    await brondic._wait_for_refill(Client(ENOUGH), {"refillIn": -950}, [])
    assert asyncio.get_running_loop().time() - started >= 0.04


def status_manager(settings, provider):
    return brondic.KeepaBrondic(settings=settings, api_key_provider=provider)


async def test_token_status_of_the_first_key_that_answers(settings, provider):
    limited = KeepaApiError("slow", code="KEEPA_RATE_LIMITED")
    keepa_client.script_key("key-1", token_status=limited)
    keepa_client.script_key("key-2", token_status=dict(ENOUGH, timestamp=9))
    result = await status_manager(settings, provider).token_status()
    assert list(result) == ["account", "quota", "raw"]
    assert result["account"]["account_id"] == 2
    assert result["raw"] == dict(ENOUGH, timestamp=9) and list(result["quota"]) == ["tokensLeft", "refillIn", "refillRate", "timestamp"]
    assert provider.asked == [set(), {1}]
    assert [(k.account_id, e, q) for k, e, q in provider.failures] == [(1, limited, None)]
    assert [k.account_id for k, _ in provider.successes] == [2]
    assert [e for e in keepa_client.events if e[0] == "exit"] == [("exit", "key-1", KeepaApiError), ("exit", "key-2", None)]


class Swallowing:
    """A client whose __aexit__ swallows whatever the block raised."""

    def __init__(self, api_key):
        pass

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return True

    async def token_status(self):
        raise ValueError("lost")

    get_json = token_status


@pytest.mark.parametrize("call", [lambda m: m.token_status(), lambda m: m.run(request_for())], ids=["status", "run"])
async def test_a_client_that_swallows_the_error_leaves_no_result(settings, provider, monkeypatch, call):
    monkeypatch.setattr(brondic, "KeepaApiClient", Swallowing)
    with pytest.raises(RuntimeError, match="suppressed an error, so the attempt has no result"):
        await call(status_manager(settings, provider))


async def test_token_status_when_every_key_is_refused(settings, provider):
    errors = [KeepaApiError(f"refused {n}", code="KEEPA_AUTH_ERROR") for n in (1, 2, 3)]
    for n, error in zip((1, 2, 3), errors):
        keepa_client.script_key(f"key-{n}", token_status=error)
    with pytest.raises(KeepaApiError) as caught:
        await status_manager(settings, provider).token_status()
    assert caught.value is errors[-1] and isinstance(caught.value.__context__, KeepaConfigError)
    empty = status_manager(type(settings)(), type(provider)(type(settings)()))
    with pytest.raises(KeepaConfigError, match="未配置 Keepa API key"):
        await empty.token_status()


@pytest.mark.parametrize(
    "provider_kind, code, reported",
    [("plain", "KEEPA_AUTH_ERROR", False), ("no-account", "KEEPA_FORBIDDEN", True), ("rotating", "KEEPA_BAD_REQUEST", True)],
)
async def test_token_status_errors_that_end_the_read(settings, provider, provider_kind, code, reported):
    from pelorin.keepa.accounts import KeepaApiKey

    if provider_kind == "plain":
        provider = PlainProvider()
    elif provider_kind == "no-account":
        provider._keys = [KeepaApiKey("key-1", None)]
    error = KeepaApiError("no", code=code)
    keepa_client.script_key("key-1", token_status=error)
    with pytest.raises(KeepaApiError) as caught:
        await status_manager(settings, provider).token_status()
    assert caught.value is error
    assert bool(getattr(provider, "failures", [])) is reported


async def test_token_status_errors_of_other_kinds_pass_without_report(settings, provider):
    script = keepa_client.script_key("key-1", token_status=ENOUGH)
    script.exit = RuntimeError("socket closed")
    with pytest.raises(RuntimeError, match="socket closed"):
        await status_manager(settings, provider).token_status()
    assert provider.failures == [] and provider.successes == []


async def test_an_api_error_while_leaving_the_client_rotates(settings, provider):
    script = keepa_client.script_key("key-1", token_status=ENOUGH)
    script.exit = KeepaApiError("closing", code="KEEPA_FORBIDDEN")
    keepa_client.script_key("key-2", token_status=ENOUGH)
    assert (await status_manager(settings, provider).token_status())["account"]["account_id"] == 2


async def test_cancelling_token_status_leaves_the_client(settings, provider):
    gate = Gate()
    keepa_client.script_key("key-1", token_status=gate)
    task = asyncio.ensure_future(status_manager(settings, provider).token_status())
    await asyncio.wait_for(gate.reached.wait(), 5)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert keepa_client.events[-1] == ("exit", "key-1", asyncio.CancelledError)
    assert provider.failures == []
