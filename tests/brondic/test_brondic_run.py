"""The road of one scenario run, on a real job directory."""

import asyncio
import json
import re
import types
from pathlib import Path

import pytest
from openpyxl import load_workbook

from pelorin.keepa.accounts import KeepaApiKey, KeepaApiKeyProvider
from pelorin.keepa.api import client as keepa_client
from pelorin.keepa.domain.exceptions import KeepaApiError, KeepaConfigError, KeepaQuotaError
from pelorin.keepa.services import brondic
from pelorin.shared.file_uploads import FileUploadError

from ..conftest import assert_no_leak_async
from .conftest import ENOUGH, SHORT, Gate, PlainProvider, request_for

PRODUCT = {"asin": "B0ABCD1234", "title": "蓝牙耳机", "brand": "Acme", "lastUpdate": 7_000_000}
ANSWER = {"timestamp": 1, "tokensLeft": 480, "products": [PRODUCT], "tokensConsumed": 1}
AFTER = {"tokensLeft": 479, "refillIn": 100, "refillRate": 20}
ROAD = [
    "manager_start scenario=product site=DE job_id=J1 export_format=xlsx",
    "credential_ready scenario=product site=DE source=settings",
    "token_status_start job_id=J1 phase=before",
    "token_status_done job_id=J1 phase=before",
    "scenario_request_start job_id=J1 endpoint=product",
    "scenario_request_done job_id=J1 endpoint=product",
    "token_status_start job_id=J1 phase=after",
    "token_status_done job_id=J1 phase=after",
    "export_upload_skipped job_id=J1 reason=api_mode",
]


def read(path):
    text = path.read_text(encoding="utf-8")
    value = json.loads(text)
    assert text == json.dumps(value, ensure_ascii=False, indent=2)
    return value


def files(directory):
    return sorted(p.name for p in directory.iterdir()) if directory.exists() else None


async def test_the_whole_road(manager, provider, settings, traces):
    keepa_client.script_key("key-1", token_status=[ENOUGH, AFTER], responses=[ANSWER])
    request = request_for(site="de", params={"asin": "B0ABCD1234", "offers": 20})
    result = await manager.run(request)

    root = (settings.output_dir / "J1").resolve()
    assert files(root) == ["J1.xlsx", "params.json", "raw.json", "result.json"]
    assert (result.job_id, result.scenario, result.site, result.row_count) == ("J1", "product", "DE", 1)
    assert (result.root_dir, result.params_path, result.raw_path, result.result_path) == (
        str(root), str(root / "params.json"), str(root / "raw.json"), str(root / "result.json")
    )

    normalized = {"domain": 3, "asin": "B0ABCD1234", "offers": 20}
    assert read(root / "params.json") == {
        "request": request.to_dict(),
        "scenario": {"name": "product", "endpoint": "product", "description": "按 ASIN 查询商品详情"},
        "account": {"account_id": 1, "source": "settings", "api_key": "***"},
        "normalized_params": normalized,
        "estimated_tokens": 7,
        "reserve_tokens": 0,
        "before_quota": ENOUGH,
    }
    raw = read(root / "raw.json")
    assert list(raw) == ["job_id", "scenario", "site", "endpoint", "request_params", "before_status", "response", "after_status", "warnings"]
    assert raw == {
        "job_id": "J1", "scenario": "product", "site": "DE", "endpoint": "product", "request_params": normalized,
        "before_status": ENOUGH, "response": ANSWER, "after_status": AFTER, "warnings": [],
    }
    assert read(root / "result.json") == json.loads(json.dumps(result.to_dict()))
    assert result.quota == {
        "estimated_tokens": 7,
        "before": ENOUGH,
        "response": {"tokensLeft": 480, "tokensConsumed": 1, "timestamp": 1},
        "after": AFTER,
    }
    assert result.data[0]["asin"] == "B0ABCD1234" and result.data[0]["site"] == "DE" and result.warnings == []

    assert result.export.path == str(root / "J1.xlsx") and result.export.format == "xlsx"
    sheet = load_workbook(root / "J1.xlsx")["data"]
    header, row = [c.value for c in sheet[1]], [c.value for c in sheet[2]]
    assert dict(zip(header, row))["title"] == "蓝牙耳机"

    lines = traces()
    assert lines[:-1] == ROAD
    assert re.fullmatch(r"manager_done scenario=product site=DE job_id=J1 row_count=1 elapsed_ms=\d+", lines[-1])
    assert [(key.account_id, quota) for key, quota in provider.successes] == [(1, AFTER)]
    assert keepa_client.events[-1] == ("exit", "key-1", None)
    assert manager.job_status("J1") == read(root / "result.json")


async def test_json_export_with_a_generated_job_id(manager, settings):
    answer = {"sellerIdList": ["S1", "S2"], "tokensLeft": 5}
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=answer)
    result = await manager.run(request_for("top-seller", site=None, job_id="", export_format=" JSON "))

    assert re.fullmatch(r"Keepa-TopSeller-US-\d{8}-\d{6}-[0-9a-f]{6}", result.job_id)
    root = (settings.output_dir / result.job_id).resolve()
    assert files(root) == sorted([result.job_id + ".json", "params.json", "raw.json", "result.json"])
    assert json.loads((root / (result.job_id + ".json")).read_text(encoding="utf-8")) == answer
    assert result.site == "US" and result.data == ["S1", "S2"] and result.row_count == 2


async def test_a_scalar_row_answer_exports_the_flat_raw_rows(manager, settings):
    answer = {"asinList": ["A1", "A2"], "searchInsights": {"x": 1}, "tokensLeft": 9}
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=answer)
    result = await manager.run(request_for("product-search", params={"term": "usb"}))
    assert result.data == ["A1", "A2"]
    rows = list(load_workbook(result.export.path)["data"].values)
    assert rows == [("tokensLeft", "rowSource", "asin"), (9, "asinList", "A1"), (9, "asinList", "A2")]


class Recorder:
    def __init__(self, name):
        self.name, self.calls = name, []

    def __call__(self, value, **options):
        self.calls.append((value, options))
        return types.SimpleNamespace(
            products=[{"by": self.name}], categories=[{"by": self.name}], sellers=[{"by": self.name}],
            deals=[{"by": self.name}], asin_rows=[{"by": self.name}], extra_sheets=lambda: {self.name: [{"n": 1}]},
        )


FORMATTERS = ["product", "category", "seller", "lightning_deal", "search_insights", "best_sellers", "deal"]


@pytest.mark.parametrize(
    "scenario, params, answer, called, value, options",
    [
        ("product", {"asin": "B0"}, {"products": [1]}, "product", [1], {"offers_requested": False}),
        ("product", {"asin": "B0", "offers": 5}, {"products": []}, "product", [], {"offers_requested": True}),
        ("product-search", {"term": "x"}, {"asinList": ["A", {"asin": "B"}]}, "product", ["A", {"asin": "B"}], {"offers_requested": False}),
        ("product-search", {"term": "x"}, {"asinList": ["A"]}, None, None, None),
        ("category-lookup", {"category": 5}, {"categories": {"5": {"catId": 5}}, "categoryParents": {"1": {"catId": 1}}},
         "category", [{"catId": 5}], {"parent_rows": [{"catId": 1}]}),
        ("category-search", {"term": "x"}, {"categories": {}, "categoryParents": [1]}, "category", [], {"parent_rows": []}),
        ("seller", {"seller": "S"}, {"sellers": {"S": {"sellerId": "S"}}}, "seller", [{"sellerId": "S"}], {}),
        ("lightning-deals", {}, {"lightningDeals": [{"asin": "L"}]}, "lightning_deal", [{"asin": "L"}], {}),
        ("product-finder", {"keyword": "kw"}, {"asinList": ["A"], "searchInsights": {"n": 1}}, "search_insights", {"n": 1}, {"query_name": "kw"}),
        ("bestsellers", {"category": 77}, {"totalResults": 0}, "best_sellers", None, {"category_id": 77}),
        ("deals", {}, {"deals": {"dr": [{"asin": "D"}]}}, "deal", [{"asin": "D"}], {}),
        ("top-seller", {}, {"sellerIdList": ["S"]}, None, None, None),
    ],
)
async def test_formatter_dispatch(manager, monkeypatch, scenario, params, answer, called, value, options):
    recorders = {name: Recorder(name) for name in FORMATTERS}
    for name, recorder in recorders.items():
        monkeypatch.setattr(brondic, f"format_{name}_export", recorder)
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=answer)
    result = await manager.run(request_for(scenario, params=params, site="gb"))

    assert [name for name, r in recorders.items() if r.calls] == ([called] if called else [])
    if called:
        (given, given_options), = recorders[called].calls
        assert given == value
        domain = 2
        expected = {"site": "GB", "domain_id": domain, **options}
        assert given_options == expected
        if called != "search_insights":
            assert result.data == [{"by": called}]
        assert load_workbook(result.export.path).sheetnames[:2] == ["data", called]
    else:
        assert result.data == brondic.extract_rows(answer)
    assert result.row_count == len(brondic.extract_rows(answer))


async def test_normalised_parameters_of_another_mapping_kind(manager, monkeypatch):
    # With the job files patched away, nothing checks the kind of the
    # normalised parameters before the formatter options are read from them.
    class Scenario:
        endpoint = "product"

        def build_params(self, *, params, site):
            return types.MappingProxyType({"domain": 1, "offers": 20})

        def estimate_tokens(self, params):
            return 1

        def to_public_dict(self):
            return {}

    formatter = Recorder("product")
    monkeypatch.setattr(brondic, "get_scenario", lambda name: Scenario())
    monkeypatch.setattr(brondic, "_params_payload", lambda **kw: kw)
    monkeypatch.setattr(brondic, "_write_json", lambda path, payload: None)
    monkeypatch.setattr(brondic, "format_product_export", formatter)
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=ANSWER)
    await manager.run(request_for(export_format="json"))
    assert formatter.calls[0][1] == {"site": "US", "domain_id": 1, "offers_requested": True}


@pytest.mark.parametrize(
    "after, answer, reported",
    [
        (AFTER, {"tokensLeft": 1, "products": []}, AFTER),
        (KeepaApiError("x", code="KEEPA_SERVER_ERROR"), {"tokensLeft": 1, "products": []}, {"tokensLeft": 1}),
        ({}, {"products": []}, ENOUGH),
    ],
)
async def test_the_success_report_takes_the_newest_figures(manager, provider, after, answer, reported):
    keepa_client.script_key("key-1", token_status=[ENOUGH, after], responses=answer)
    result = await manager.run(request_for())
    assert [quota for _, quota in provider.successes] == [reported]
    stages = [w["stage"] for w in result.warnings]
    assert stages == (["token_status"] if isinstance(after, Exception) else [])


async def test_elapsed_time_is_whole_milliseconds(manager, monkeypatch, traces):
    clock = iter([10.0, 11.2349])
    monkeypatch.setattr(brondic, "time", types.SimpleNamespace(monotonic=lambda: next(clock)))
    keepa_client.script_key("key-1", token_status=ENOUGH, responses={"products": []})
    await manager.run(request_for(export_format="json"))
    assert traces()[-1] == "manager_done scenario=product site=US job_id=J1 row_count=0 elapsed_ms=1234"


async def test_upload_and_failed_hand_over_become_warnings(settings, provider, monkeypatch, traces):
    class Uploads:
        def __init__(self, **identity):
            assert identity == {"jwt": "jwt-1", "session_id": "sess-1"}
            self.enabled = True

        def upload(self, path, **options):
            raise FileUploadError("存储服务不可用", code="FILE_UPLOAD_FAILED")

    def submitter(*, request, result):
        raise ConnectionError("queue down")

    monkeypatch.setattr(brondic, "FileUploadClient", Uploads)
    manager = brondic.KeepaBrondic(settings=settings, api_key_provider=provider, jwt="jwt-1", session_id="sess-1", collection_submitter=submitter)
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=ANSWER)
    result = await manager.run(request_for(upload_export=1))

    assert [w["stage"] for w in result.warnings] == ["file_upload", "collection_storage"]
    assert result.warnings[-1]["error"] == {"code": "ConnectionError"}
    stored = json.loads(Path(result.result_path).read_text(encoding="utf-8"))
    assert stored["warnings"] == result.warnings
    assert json.loads(Path(result.raw_path).read_text(encoding="utf-8"))["warnings"] == []
    assert traces()[-3:-1] == ["export_upload_start job_id=J1", "export_upload_done job_id=J1"]


@pytest.mark.parametrize(
    "fields, error, message",
    [
        ({"export_format": "csv"}, KeepaConfigError, "不支持的导出格式：csv。"),
        ({"job_id": "../x"}, KeepaConfigError, "任务 ID 只能是单个目录名"),
        ({"job_id": "/tmp/abs"}, KeepaConfigError, "任务 ID 只能是单个目录名"),
        ({"job_id": ".."}, KeepaConfigError, "任务 ID 只能是单个目录名"),
        ({"job_id": 7}, TypeError, "'job_id' must be str, not int"),
        ({"scenario": "nope"}, KeepaConfigError, "不支持的 Keepa 场景：nope"),
    ],
)
async def test_a_request_refused_before_anything_is_created(manager, settings, traces, fields, error, message):
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=ANSWER)
    with pytest.raises(error, match=message):
        await manager.run(request_for(**fields))
    assert not settings.output_dir.exists() and not (settings.output_dir.parent / "x").exists()
    assert traces() == [] and keepa_client.events == []


async def test_run_takes_exactly_one_request(manager):
    with pytest.raises(TypeError):
        manager.run()
    with pytest.raises(TypeError):
        manager.run(request_for(), request_for())
    coroutine = manager.run(request=request_for())
    assert asyncio.iscoroutine(coroutine)
    coroutine.close()


async def test_run_calls_its_own_methods_through_the_instance(settings, provider):
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=ANSWER)
    elsewhere = settings.output_dir.parent / "elsewhere"

    class Manager(brondic.KeepaBrondic):
        def _build_root_dir(self, request, job_id):
            return elsewhere / job_id

    manager = Manager(settings=settings, api_key_provider=provider)
    handed = []
    manager._submit_collection_result = lambda **kwargs: handed.append(kwargs)
    request = request_for()
    result = await manager.run(request)
    assert result.root_dir == str(elsewhere / "J1") and not settings.output_dir.exists()
    assert files(elsewhere / "J1") == ["J1.xlsx", "params.json", "raw.json", "result.json"]
    assert handed == [{"request": request, "result": result}]


@pytest.mark.parametrize("answer", [[{"asin": "A"}], None, "text"])
async def test_an_answer_that_is_no_mapping_fails_after_raw_json(manager, settings, answer):
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=[answer])
    with pytest.raises(TypeError, match="'payload' must be dict"):
        await manager.run(request_for())
    root = settings.output_dir / "J1"
    assert files(root) == ["params.json", "raw.json"]
    assert json.loads((root / "raw.json").read_text())["response"] == answer


async def test_a_failing_formatter_leaves_params_and_raw_only(manager, settings, monkeypatch):
    def broken(*args, **kwargs):
        raise ValueError("formatter broke")

    monkeypatch.setattr(brondic, "format_product_export", broken)
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=ANSWER)
    with pytest.raises(ValueError, match="formatter broke"):
        await manager.run(request_for())
    assert files(settings.output_dir / "J1") == ["params.json", "raw.json"]


async def test_a_large_answer(manager):
    products = [{"asin": f"B{i:09d}", "csv": [[i, 1], None], "title": "商品"} for i in range(20_000)]
    keepa_client.script_key("key-1", token_status=ENOUGH, responses={"products": products})
    result = await manager.run(request_for(export_format="json"))
    assert result.row_count == 20_000 and len(result.data) == 20_000
    raw = json.loads(Path(result.raw_path).read_text(encoding="utf-8"))
    assert raw["response"]["products"][-1] == products[-1]


# --- quota guard


async def test_short_tokens_without_force_or_wait_stop_the_run(settings, traces):
    provider = PlainProvider()
    manager = brondic.KeepaBrondic(settings=settings, api_key_provider=provider)
    keepa_client.script_key("key-1", token_status={"tokensLeft": 3, "refillIn": 60000, "refillRate": 5})
    with pytest.raises(KeepaQuotaError) as caught:
        await manager.run(request_for(reserve_tokens=5))
    error = caught.value
    assert (error.tokens_left, error.estimated_tokens, error.reserve_tokens, error.refill_in_ms, error.refill_rate) == (3, 1, 5, 60000, 5)
    root = settings.output_dir / "J1"
    assert files(root) == ["params.json"]
    params = read(root / "params.json")
    assert params["before_quota"] == {} and params["reserve_tokens"] == 5
    assert [line.split()[0] for line in traces()].count("credential_ready") == 1
    assert provider.asked == 1
    assert [e[0] for e in keepa_client.events] == ["enter", "token_status", "exit"]
    assert keepa_client.events[-1][2] is KeepaQuotaError


async def test_force_goes_on_with_short_tokens(manager, sleeps):
    keepa_client.script_key("key-1", token_status=[SHORT, AFTER], responses=ANSWER)
    result = await manager.run(request_for(force=True))
    assert [w["stage"] for w in result.warnings] == ["quota_precheck"]
    assert result.warnings[0]["tokens_left"] == 0 and sleeps == []


@pytest.mark.parametrize(
    "force, refreshed, stages, goes_on",
    [
        (False, ENOUGH, ["quota_precheck", "quota_wait"], True),
        (False, SHORT, ["quota_precheck", "quota_wait", "quota_precheck"], False),
        (True, SHORT, ["quota_precheck", "quota_wait"], True),
    ],
)
async def test_wait_sleeps_once_and_rechecks(manager, settings, sleeps, force, refreshed, stages, goes_on):
    refreshed = dict(refreshed, refillIn=777)
    keepa_client.script_key("key-1", token_status=[SHORT, refreshed, AFTER], responses=ANSWER)
    request = request_for(wait=True, force=force)
    if goes_on:
        result = await manager.run(request)
        warnings = result.warnings
        assert result.quota["before"] == refreshed
        assert read(settings.output_dir / "J1" / "raw.json")["before_status"] == refreshed
    else:
        with pytest.raises(KeepaQuotaError) as caught:
            await manager.run(request)
        assert caught.value.refill_in_ms == 777
        assert files(settings.output_dir / "J1") == ["params.json"]
        warnings = None
    assert sleeps == [3.5]
    assert read(settings.output_dir / "J1" / "params.json")["before_quota"] == refreshed
    if warnings is not None:
        assert [w["stage"] for w in warnings] == stages
        assert warnings[1] == {"stage": "quota_wait", "message": "等待 Keepa 可用额度恢复后继续请求", "wait_seconds": 3.5}


# --- key rotation


async def test_a_short_key_is_skipped_for_the_next(manager, provider, settings, traces):
    keepa_client.script_key("key-1", token_status=SHORT)
    keepa_client.script_key("key-2", token_status=ENOUGH, responses=ANSWER)
    result = await manager.run(request_for())

    (key, error, quota), = provider.failures
    assert key.account_id == 1 and isinstance(error, KeepaQuotaError) and quota == SHORT
    assert provider.asked == [set(), {1}]
    assert result.warnings == []
    assert read(settings.output_dir / "J1" / "params.json")["account"]["account_id"] == 2
    names = [line.split()[0] + (line.split()[-1] if "phase" in line else "") for line in traces()]
    assert names[:7] == [
        "manager_start", "credential_ready", "token_status_startphase=before", "token_status_donephase=before",
        "credential_ready", "token_status_startphase=before", "token_status_donephase=before",
    ]


async def test_all_keys_short_leave_an_empty_directory(manager, provider, settings):
    for number in (1, 2, 3):
        keepa_client.script_key(f"key-{number}", token_status=dict(SHORT, tokensLeft=number - 1))
    with pytest.raises(KeepaQuotaError) as caught:
        await manager.run(request_for(reserve_tokens=10))
    assert caught.value.tokens_left == 2
    assert files(settings.output_dir / "J1") == []
    assert provider.asked == [set(), {1}, {1, 2}, {1, 2, 3}]


async def test_rotation_past_refused_keys_until_none_is_left(manager, provider, settings):
    errors = {n: KeepaApiError(f"key {n} refused", code="KEEPA_AUTH_ERROR") for n in (1, 2, 3)}
    for number, error in errors.items():
        keepa_client.script_key(f"key-{number}", token_status=ENOUGH, responses=error)
    with pytest.raises(KeepaApiError) as caught:
        await manager.run(request_for())
    assert caught.value is errors[3]
    assert isinstance(caught.value.__context__, KeepaConfigError)
    assert [(k.account_id, e) for k, e, q in provider.failures] == [(n, errors[n]) for n in (1, 2, 3)]
    assert read(settings.output_dir / "J1" / "params.json")["account"]["account_id"] == 3
    assert [e for e in keepa_client.events if e[0] == "exit"] == [("exit", f"key-{n}", KeepaApiError) for n in (1, 2, 3)]


async def test_a_rotatable_status_failure_gives_the_key_up(manager, provider, traces):
    limited = KeepaApiError("slow down", code="KEEPA_RATE_LIMITED")
    keepa_client.script_key("key-1", token_status=limited)
    keepa_client.script_key("key-2", token_status=ENOUGH, responses=ANSWER)
    result = await manager.run(request_for())
    assert [(k.account_id, e, q) for k, e, q in provider.failures] == [(1, limited, None)]
    assert result.warnings == []
    names = [line.split(" ")[0] for line in traces()]
    assert names[1:5] == ["credential_ready", "token_status_start", "credential_ready", "token_status_start"]
    assert keepa_client.events[2] == ("exit", "key-1", None)


async def test_a_status_failure_that_is_not_rotatable_becomes_a_warning(manager, provider):
    failure = KeepaApiError("down", code="KEEPA_SERVER_ERROR")
    keepa_client.script_key("key-1", token_status=[failure, AFTER], responses=ANSWER)
    result = await manager.run(request_for())
    assert result.warnings == [{"stage": "token_status", "message": "读取 Keepa 可用额度状态失败，继续执行主请求", "error": failure.to_dict()}]
    assert result.quota["before"] == {} and provider.failures == []


@pytest.mark.parametrize(
    "provider_kind, code, reports",
    [("rotating", "KEEPA_SERVER_ERROR", 1), ("plain", "KEEPA_AUTH_ERROR", 0), ("no-account", "KEEPA_AUTH_ERROR", 1)],
)
async def test_a_request_failure_that_is_not_rotated_past_ends_the_run(settings, provider_kind, code, reports):
    if provider_kind == "plain":
        provider = PlainProvider()
    else:
        provider = KeepaApiKeyProvider(settings)
        if provider_kind == "no-account":
            provider._keys = [KeepaApiKey("key-1", None)]
    failure = KeepaApiError("refused", code=code)
    keepa_client.script_key("key-1", token_status=ENOUGH, responses=failure)
    manager = brondic.KeepaBrondic(settings=settings, api_key_provider=provider)
    with pytest.raises(KeepaApiError) as caught:
        await manager.run(request_for())
    assert caught.value is failure
    assert len(getattr(provider, "failures", [])) == reports
    assert files(settings.output_dir / "J1") == ["params.json"]


async def test_a_key_without_account_id_keeps_a_rotatable_status_failure_as_warning(settings):
    provider = KeepaApiKeyProvider(settings)
    provider._keys = [KeepaApiKey("key-1", None)]
    keepa_client.script_key("key-1", token_status=[KeepaApiError("x", code="KEEPA_FORBIDDEN"), AFTER], responses=ANSWER)
    result = await brondic.KeepaBrondic(settings=settings, api_key_provider=provider).run(request_for())
    assert [w["stage"] for w in result.warnings] == ["token_status"]


async def test_a_text_account_id_is_excluded_as_an_integer(settings):
    class TextIds:
        keys = [KeepaApiKey("key-1", "42"), KeepaApiKey("key-2", 43)]
        asked = []

        def get_default(self, exclude_account_ids):
            self.asked.append(set(exclude_account_ids))
            return next(k for k in self.keys if int(k.account_id) not in exclude_account_ids)

        def report_failure(self, credential, exc, quota=None):
            pass

    provider = TextIds()
    keepa_client.script_key("key-1", token_status=KeepaApiError("x", code="KEEPA_AUTH_ERROR"))
    keepa_client.script_key("key-2", token_status=ENOUGH, responses=ANSWER)
    await brondic.KeepaBrondic(settings=settings, api_key_provider=provider).run(request_for())
    assert provider.asked == [set(), {42}]


async def test_an_unconvertible_account_id_ends_the_run(settings):
    provider = KeepaApiKeyProvider(settings)
    provider._keys = [KeepaApiKey("key-1", "forty-two")]
    keepa_client.script_key("key-1", token_status=KeepaApiError("x", code="KEEPA_AUTH_ERROR"))
    with pytest.raises(ValueError, match="invalid literal for int"):
        await brondic.KeepaBrondic(settings=settings, api_key_provider=provider).run(request_for())
    assert keepa_client.events[-1] == ("exit", "key-1", ValueError)


# --- cancellation


@pytest.mark.parametrize(
    "point, left",
    [("enter", []), ("before", []), ("sleep", []), ("request", ["params.json"]), ("after", ["params.json"]), ("exit", ["params.json"])],
)
async def test_cancellation_during_each_await(manager, settings, monkeypatch, point, left):
    gate = Gate()
    status = [SHORT if point == "sleep" else ENOUGH, AFTER]
    script = keepa_client.script_key("key-1", token_status=status, responses=ANSWER)
    if point == "enter":
        script.enter = gate
    elif point == "before":
        script.token_status.appendleft(gate)
    elif point == "sleep":
        monkeypatch.setattr(brondic, "asyncio", types.SimpleNamespace(sleep=lambda seconds: gate()))
    elif point == "request":
        script.responses.appendleft(gate)
    elif point == "after":
        script.token_status.insert(1, gate)
    else:
        script.exit = gate

    task = asyncio.ensure_future(manager.run(request_for(wait=True)))
    await asyncio.wait_for(gate.reached.wait(), 5)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task

    exits = [e for e in keepa_client.events if e[0] == "exit"]
    assert exits == ([] if point == "enter" else [("exit", "key-1", None if point == "exit" else asyncio.CancelledError)])
    root = settings.output_dir / "J1"
    assert files(root) == left
    if left:
        read(root / "params.json")


async def test_repeated_runs_keep_no_objects(settings):
    class Quiet:
        keys = [KeepaApiKey("key-1", 1), KeepaApiKey("key-2", 2)]

        def get_default(self, exclude_account_ids):
            for key in self.keys:
                if key.account_id not in exclude_account_ids:
                    return key
            raise KeepaConfigError("none left")

        def report_failure(self, credential, exc, quota=None):
            pass

    manager = brondic.KeepaBrondic(settings=settings, api_key_provider=Quiet())

    async def cycle():
        keepa_client.reset_scripts()
        keepa_client.script_key("key-1", token_status=KeepaApiError("x", code="KEEPA_AUTH_ERROR"))
        keepa_client.script_key("key-2", token_status=[dict(SHORT, refillIn=-1000), ENOUGH], responses=ANSWER)
        await manager.run(request_for(export_format="json", wait=True))
        await manager.token_status()
        with pytest.raises(KeepaQuotaError):
            keepa_client.script_key("key-2", token_status=SHORT)
            await manager.run(request_for(export_format="json"))
        gate = Gate()
        keepa_client.script_key("key-2", token_status=ENOUGH, responses=gate)
        task = asyncio.ensure_future(manager.run(request_for(export_format="json")))
        await gate.reached.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    await assert_no_leak_async(cycle, warmup=20, rounds=200, blocks=None, objects=100)
