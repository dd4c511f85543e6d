"""Construction, scenario listing, formatter results, export format, upload and hand-over."""

import asyncio
import inspect
import json
import logging

import pytest

from pelorin.keepa.accounts import KeepaApiKeyProvider
from pelorin.keepa.category_formatter import FormattedCategoryExport
from pelorin.keepa.config import KeepaSettings
from pelorin.keepa.domain.exceptions import KeepaConfigError
from pelorin.keepa.domain.models import KeepaExportResult, KeepaScenarioRequest, KeepaScenarioResult
from pelorin.keepa.product_formatter import FormattedProductExport
from pelorin.keepa.search_insights_formatter import FormattedSearchInsightsExport
from pelorin.keepa.services import brondic
from pelorin.shared.file_uploads import FileUploadError

from .conftest import StrSub


def test_module_contents():
    assert brondic.logger.name == "pelorin.keepa.services.brondic"
    assert brondic.KeepaBrondic.__mro__ == (brondic.KeepaBrondic, object)
    assert brondic.KeepaBrondic.__doc__ == "执行 Keepa API 场景并保存请求和响应数据。"
    assert brondic.KeepaBrondic.scenarios.__doc__ == "列出支持的接口场景。"
    assert brondic.extract_rows.__doc__ == "从 Keepa 原始响应中提取主要结果列表。"
    assert brondic._FormattedResponseExports.__module__ == "pelorin.keepa.services.brondic"


def test_callables_show_their_def_lines():
    assert str(inspect.signature(brondic.KeepaBrondic)) == (
        "(*, settings=None, api_key_provider=None, jwt=None, session_id=None, collection_submitter=None)"
    )
    manager = brondic.KeepaBrondic(settings=KeepaSettings(), api_key_provider=object())
    names = ["scenarios", "token_status", "run", "job_status", "_build_root_dir", "_submit_collection_result"]
    assert [str(inspect.signature(getattr(manager, name))) for name in names] == [
        "()", "()", "(request)", "(job_id)", "(request, job_id)", "(*, request, result)"
    ]
    assert str(inspect.signature(brondic._safe_token_status)) == "(client, warnings)"
    assert str(inspect.signature(brondic._wait_for_refill)) == "(client, before_quota, warnings)"
    for function in (brondic.KeepaBrondic.run, manager.token_status, brondic._safe_token_status, brondic._wait_for_refill):
        assert asyncio.iscoroutinefunction(function)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.run(), "KeepaBrondic.run() missing 1 required positional argument: 'request'"),
        (lambda m: m.token_status(None), "KeepaBrondic.token_status() takes 1 positional argument but 2 were given"),
        (lambda m: brondic.KeepaBrondic(None), "KeepaBrondic.__init__() takes 1 positional argument but 2 were given"),
        (lambda m: brondic.KeepaBrondic(setting=None), "KeepaBrondic.__init__() got an unexpected keyword argument 'setting'"),
        (
            lambda m: m._submit_collection_result(request=None),
            "KeepaBrondic._submit_collection_result() missing 1 required keyword-only argument: 'result'",
        ),
        (lambda m: m.job_status("J1", job_id="J1"), "KeepaBrondic.job_status() got multiple values for argument 'job_id'"),
        (lambda m: brondic._safe_token_status(None), "_safe_token_status() missing 1 required positional argument: 'warnings'"),
        (lambda m: brondic._build_quota_warning({}, 1, 0), "_build_quota_warning() takes 0 positional arguments but 3 were given"),
        (
            lambda m: brondic._report_provider_failure(None, None, ValueError(), {}),
            "_report_provider_failure() takes 3 positional arguments but 4 were given",
        ),
    ],
)
def test_argument_errors_are_the_interpreters(call, message):
    manager = brondic.KeepaBrondic(settings=KeepaSettings(), api_key_provider=object())
    with pytest.raises(TypeError) as caught:
        call(manager)
    assert str(caught.value) == message


def test_construction_without_options_loads_settings_and_provider(monkeypatch):
    settings = KeepaSettings(api_keys=("k1",))
    monkeypatch.setattr(brondic, "load_settings", lambda: settings)
    manager = brondic.KeepaBrondic()
    assert list(vars(manager)) == ["settings", "jwt", "session_id", "collection_submitter", "api_key_provider"]
    assert manager.settings is settings
    assert isinstance(manager.api_key_provider, KeepaApiKeyProvider)
    assert manager.api_key_provider.get_default().api_key == "k1"


def test_construction_with_options_calls_no_host_loader(monkeypatch):
    monkeypatch.setattr(brondic, "load_settings", lambda: pytest.fail("loaded"))
    monkeypatch.setattr(brondic, "KeepaApiKeyProvider", lambda s: pytest.fail("built"))
    settings, provider, submitter = KeepaSettings(), object(), print
    manager = brondic.KeepaBrondic(settings=settings, api_key_provider=provider, jwt="j", session_id=None, collection_submitter=submitter)
    assert (manager.settings, manager.api_key_provider, manager.jwt, manager.session_id, manager.collection_submitter) == (
        settings, provider, "j", None, submitter
    )


def test_construction_refuses_wrong_kinds_before_anything(monkeypatch):
    monkeypatch.setattr(brondic, "load_settings", lambda: pytest.fail("loaded"))
    with pytest.raises(TypeError, match="'jwt' must be str, not bytes"):
        brondic.KeepaBrondic(jwt=b"x")
    with pytest.raises(TypeError, match="'session_id' must be str, not StrSub"):
        brondic.KeepaBrondic(session_id=StrSub("s"))
    with pytest.raises(TypeError):
        brondic.KeepaBrondic(KeepaSettings())
    with pytest.raises(TypeError):
        brondic.KeepaBrondic(setting=KeepaSettings())


def test_scenarios_is_the_hosts_catalogue(monkeypatch):
    catalogue = [{"name": "x"}]
    monkeypatch.setattr(brondic, "list_scenarios", lambda: catalogue)
    manager = brondic.KeepaBrondic(settings=KeepaSettings(), api_key_provider=object())
    assert manager.scenarios() is catalogue
    monkeypatch.setattr(brondic, "list_scenarios", lambda: ("x",))
    with pytest.raises(TypeError, match="'scenarios' must be list or None, not tuple"):
        manager.scenarios()


# --- formatter results


def test_primary_rows_and_extra_sheets():
    record = brondic._FormattedResponseExports
    assert record().primary_rows() is None and record().extra_sheets() is None
    insights = FormattedSearchInsightsExport(summary=[{"q": 1}])
    only_insights = record(search_insights=insights)
    assert only_insights.primary_rows() is None
    assert only_insights.extra_sheets() == {"search_insights": [{"q": 1}]}
    empty_products = FormattedProductExport(products=[])
    assert record(product=empty_products).primary_rows() == []
    no_products = FormattedProductExport(products=None)
    categories = FormattedCategoryExport(categories=[{"catId": 1}])
    assert record(product=no_products, category=categories).primary_rows() == [{"catId": 1}]
    assert record(product=FormattedProductExport(products=(1,))).primary_rows.__doc__.startswith("按场景互斥关系")
    with pytest.raises(TypeError, match="'primary_rows' must be list, not tuple"):
        record(product=FormattedProductExport(products=(1,))).primary_rows()


def test_extra_sheets_merge_keeps_first_place_and_last_rows():
    class Result:
        def __init__(self, sheets):
            self.sheets = sheets

        def extra_sheets(self):
            return self.sheets

    merged = brondic._FormattedResponseExports(
        product=Result({"a": [1], "b": [2]}), seller=Result({}), deal=Result({"a": [3], "c": [4]})
    ).extra_sheets()
    assert list(merged.items()) == [("a", [3]), ("b", [2]), ("c", [4])]


def test_formatted_record_is_a_data_class():
    record = brondic._FormattedResponseExports(None, None, "s")
    assert record.seller == "s" and record == brondic._FormattedResponseExports(seller="s")
    assert repr(record).startswith("_FormattedResponseExports(product=None, category=None, seller='s'")


# --- export format


@pytest.mark.parametrize("value, normalized", [(" XLS ", "xlsx"), ("Xlsx", "xlsx"), ("", "xlsx"), ("JSON", "json"), ("\tjson\n", "json")])
def test_normalize_export_format(value, normalized):
    assert brondic._normalize_export_format(value) == normalized


def test_an_unsupported_export_format_shows_as_given():
    with pytest.raises(KeepaConfigError) as caught:
        brondic._normalize_export_format(" csv ")
    assert str(caught.value) == "不支持的导出格式： csv 。Keepa 当前支持 xls/xlsx/json 导出。"
    with pytest.raises(TypeError, match="'value' must be str, not NoneType"):
        brondic._normalize_export_format(None)


# --- upload


class RecordingUploads:
    def __init__(self, enabled=True, fail=None):
        self.enabled_value, self.fail, self.calls, self.clients = enabled, fail, [], []

    def __call__(self, **identity):
        outer = self
        outer.clients.append(identity)

        class Client:
            enabled = outer.enabled_value

            def upload(self, path, **options):
                outer.calls.append((path, options))
                if outer.fail:
                    raise outer.fail

                class Uploaded:
                    url = "https://files.example/x.xlsx"

                return Uploaded()

        return Client()


def export_record():
    return KeepaExportResult(path="/tmp/J.xlsx", filename="J.xlsx", format="xlsx", mime_type="application/x")


def upload(export, warnings, **overrides):
    args = dict(export=export, job_id="J", scenario="product", site="US", warnings=warnings, jwt="t", session_id="s")
    args.update(overrides)
    brondic._upload_export_if_enabled(**args)


def test_upload_sends_the_file_and_records_its_address(monkeypatch):
    uploads = RecordingUploads()
    monkeypatch.setattr(brondic, "FileUploadClient", uploads)
    export, warnings = export_record(), []
    upload(export, warnings)
    assert uploads.clients == [{"jwt": "t", "session_id": "s"}]
    (path, options), = uploads.calls
    assert path == "/tmp/J.xlsx"
    assert list(options) == ["purpose", "folder", "public", "metadata"]
    assert (options["purpose"], options["folder"], options["public"]) == ("keepa_export", "keepa/export", "1")
    assert list(options["metadata"].items()) == [
        ("job_id", "J"), ("scenario", "product"), ("site", "US"), ("filename", "J.xlsx"), ("format", "xlsx"), ("mime_type", "application/x")
    ]
    assert export.url == "https://files.example/x.xlsx" and warnings == []


def test_a_disabled_upload_changes_nothing(monkeypatch):
    uploads = RecordingUploads(enabled=0)
    monkeypatch.setattr(brondic, "FileUploadClient", uploads)
    export, warnings = export_record(), []
    upload(export, warnings)
    assert uploads.calls == [] and warnings == [] and export.url is None


@pytest.mark.parametrize(
    "fail, error",
    [
        (FileUploadError("上传失败", code="FILE_UPLOAD_FAILED"), {"code": "FILE_UPLOAD_FAILED", "message": "上传失败", "status_code": None}),
        (ConnectionError("reset"), {"code": "ConnectionError", "message": "reset"}),
    ],
)
def test_a_failed_upload_becomes_a_warning(monkeypatch, fail, error):
    monkeypatch.setattr(brondic, "FileUploadClient", RecordingUploads(fail=fail))
    export, warnings = export_record(), []
    upload(export, warnings)
    assert warnings == [{"stage": "file_upload", "message": "导出文件上传失败，已保留服务端本地文件", "error": error}]
    assert export.url is None


def test_an_export_record_without_a_path_becomes_a_warning(monkeypatch):
    monkeypatch.setattr(brondic, "FileUploadClient", RecordingUploads())
    warnings = []
    upload(object(), warnings)
    assert warnings[0]["error"]["code"] == "AttributeError"


def test_an_interrupt_during_the_upload_passes(monkeypatch):
    monkeypatch.setattr(brondic, "FileUploadClient", RecordingUploads(fail=KeyboardInterrupt()))
    warnings = []
    with pytest.raises(KeyboardInterrupt):
        upload(export_record(), warnings)
    assert warnings == []


@pytest.mark.parametrize(
    "overrides, message",
    [({"job_id": None}, "'job_id' must be str"), ({"warnings": ()}, "'warnings' must be list"), ({"jwt": b"t"}, "'jwt' must be str")],
)
def test_upload_refuses_wrong_kinds_before_creating_the_client(monkeypatch, overrides, message):
    uploads = RecordingUploads()
    monkeypatch.setattr(brondic, "FileUploadClient", uploads)
    with pytest.raises(TypeError, match=message):
        upload(export_record(), overrides.pop("warnings", []), **overrides)
    assert uploads.clients == []


# --- collection hand-over


def finished_result(tmp_path):
    return KeepaScenarioResult(
        job_id="J", scenario="product", site="US", row_count=0, root_dir=str(tmp_path), params_path="",
        raw_path="", result_path=str(tmp_path / "result.json"), warnings=[{"stage": "token_status"}],
    )


def test_a_failed_hand_over_is_logged_and_stored_as_a_warning(tmp_path, caplog):
    def submitter(*, request, result):
        raise ValueError("queue down")

    manager = brondic.KeepaBrondic(settings=KeepaSettings(), api_key_provider=object(), collection_submitter=submitter)
    result = finished_result(tmp_path)
    with caplog.at_level(logging.ERROR, logger="pelorin.keepa.services.brondic"):
        assert manager._submit_collection_result(request=KeepaScenarioRequest(scenario="product"), result=result) is None
    warning = {"stage": "collection_storage", "message": "Keepa 数据沉淀排队失败，采集结果已保留", "error": {"code": "ValueError"}}
    assert result.warnings[-1] == warning
    assert json.loads((tmp_path / "result.json").read_text(encoding="utf-8"))["warnings"][-1] == warning
    record, = caplog.records
    assert record.getMessage() == "Keepa 成功任务提交采集数据沉淀失败：job_id=J"
    assert record.exc_info[0] is ValueError and record.exc_info[2] is not None


def test_hand_over_calls_by_keyword_and_passes_cancellation(tmp_path):
    seen = []
    manager = brondic.KeepaBrondic(settings=KeepaSettings(), api_key_provider=object(), collection_submitter=lambda **kw: seen.append(kw))
    request, result = KeepaScenarioRequest(scenario="product"), finished_result(tmp_path)
    manager._submit_collection_result(request=request, result=result)
    assert seen == [{"request": request, "result": result}] and len(result.warnings) == 1

    def cancelled(**kw):
        raise asyncio.CancelledError

    manager = brondic.KeepaBrondic(settings=KeepaSettings(), api_key_provider=object(), collection_submitter=cancelled)
    with pytest.raises(asyncio.CancelledError):
        manager._submit_collection_result(request=request, result=result)
    assert len(result.warnings) == 1 and not (tmp_path / "result.json").exists()
    none_manager = brondic.KeepaBrondic(settings=KeepaSettings(), api_key_provider=object())
    none_manager._submit_collection_result(request=request, result=result)
    assert len(result.warnings) == 1
