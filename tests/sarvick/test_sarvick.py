import json
import subprocess
import sys
import textwrap
from collections import OrderedDict
from pathlib import Path, PurePosixPath
from types import SimpleNamespace

import pytest

from pelorin.google_trends import sarvick
from pelorin.google_trends.collection_storage_integration import google_trends_cache_identity_from_params
from pelorin.shared.collection_storage.models import CollectionSubmission, ParsedCollection
from pelorin.shared.collection_storage.parser_utils import CollectionParseError

from ..conftest import NotFound, raise_api_error

JSON = "application/json"
SHEET = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
DATA_ERROR = "Google Trends result.json data 必须是对象数组"
FORMAT_ERROR = "不支持的 Google Trends 导出格式："


def submission(result_dir=".", **overrides):
    fields = dict(job_id="gt-1", source_system="google_trends", scenario="interest_over_time",
                  result_dir=Path(result_dir), site="US")
    fields.update(overrides)
    return CollectionSubmission(**fields)


# --- end to end over a job directory -------------------------------------------------------


def write_job(root, *, params, result, export_name=None, export_bytes=b"PK\x03\x04"):
    root.mkdir(parents=True, exist_ok=True)
    (root / "params.json").write_text(json.dumps(params, ensure_ascii=False), encoding="utf-8")
    (root / "result.json").write_text(json.dumps(result, ensure_ascii=False), encoding="utf-8")
    if export_name:
        (root / export_name).write_bytes(export_bytes)
    return root


def test_job_directory_end_to_end(tmp_path):
    params = {"keywords": ["露营灯"], "geo": "US", "timeframe": "today 3-m"}
    rows = [
        {"date": "2024-05-01", "search_term": "露营灯", "value": 71},
        {"date": "2024-05-02", "value": 80, "search_term": "露营灯", "isPartial": True},
    ]
    job = write_job(tmp_path / "gt-1", params=params,
                    result={"status": "success", "data": rows, "export": {"format": "XLSX", "path": "gt-1.xlsx"}},
                    export_name="gt-1.xlsx")
    sub = submission(job)

    parsed = sarvick.GoogleTrendsCollectionParser().parse(sub)

    assert isinstance(parsed, ParsedCollection)
    assert parsed.submission is sub
    assert parsed.parser_version == "google-trends-v1"
    key, scope = google_trends_cache_identity_from_params(params, scenario="interest_over_time", geo="US")
    assert parsed.request_params == {
        **params,
        "_collection_cache": {"cache_key": key, "cache_scope": scope,
                              "result_metadata": {"status": "success", "row_count": 2}},
    }
    assert [(a["kind"], a["name"], a["mime_type"]) for a in parsed.artifacts] == [
        ("params", "params.json", JSON), ("result", "result.json", JSON), ("export", "gt-1.xlsx", SHEET)]
    (dataset,) = parsed.datasets
    assert dataset["name"] == "main"
    assert dataset["columns"] == ["date", "search_term", "value", "isPartial"]
    assert dataset["rows"] == [["2024-05-01", "露营灯", 71, None], ["2024-05-02", "露营灯", 80, True]]
    assert dataset["business_key_fields"] == ["date", "search_term"]


def test_job_directory_with_own_cache_identity_and_metadata(tmp_path):
    job = write_job(tmp_path / "gt-2", params={"q": "tent"},
                    result={"data": [], "export": {"path": "gt-2.json"}}, export_name="gt-2.json")
    sub = submission(job, cache_key="k-1", cache_scope=None, result_metadata={"from": "outbox"})

    parsed = sarvick.GoogleTrendsCollectionParser().parse(sub)

    assert parsed.request_params["_collection_cache"] == {
        "cache_key": "k-1", "cache_scope": None, "result_metadata": {"from": "outbox"}}
    assert parsed.artifacts[-1]["mime_type"] == JSON
    assert parsed.datasets[0]["columns"] == [] and parsed.datasets[0]["rows"] == []


@pytest.mark.parametrize("escape", ["../outside.xlsx", "{outside}"])
def test_export_outside_the_job_directory_is_refused(tmp_path, escape):
    outside = tmp_path / "outside.xlsx"
    outside.write_bytes(b"secret")
    job = write_job(tmp_path / "gt-4", params={},
                    result={"data": [], "export": {"path": escape.format(outside=outside)}})
    with pytest.raises(CollectionParseError, match="导出文件不在任务目录内"):
        sarvick.GoogleTrendsCollectionParser().parse(submission(job))


def test_loader_error_passes_through(tmp_path):
    job = write_job(tmp_path / "gt-3", params={}, result={"data": [], "export": {"path": "missing.xlsx"}})
    with pytest.raises(CollectionParseError, match="导出文件不存在"):
        sarvick.GoogleTrendsCollectionParser().parse(submission(job))


# --- host calls with recording fakes ---------------------------------------------------------


class Host:
    """Recording fakes for every host name the module calls."""

    def __init__(self, monkeypatch, files):
        self.calls = []
        self.files = files
        self.identity = ("derived-key", "derived-scope")
        for name in ("load_result_files", "json_datasets", "standard_artifacts",
                     "google_trends_cache_identity_from_params", "safe_result_metadata",
                     "attach_cache_metadata", "ParsedCollection"):
            monkeypatch.setattr(sarvick, name, self._recorder(name))

    def _recorder(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return self.answer(name, args, kwargs)
        return call

    def answer(self, name, args, kwargs):
        return {
            "load_result_files": lambda: self.files,
            "json_datasets": lambda: ["datasets"],
            "standard_artifacts": lambda: ["artifacts"],
            "google_trends_cache_identity_from_params": lambda: self.identity,
            "safe_result_metadata": lambda: {"derived": "metadata"},
            "attach_cache_metadata": lambda: {"request": "params"},
            "ParsedCollection": lambda: SimpleNamespace(**kwargs),
        }[name]()

    def names(self):
        return [name for name, _, _ in self.calls]


def job_files(fmt=None, path="job.xlsx", data=None):
    export = {} if fmt is None else {"format": fmt}
    return SimpleNamespace(export=export, export_path=path, result={"data": data or [{"date": "d"}]},
                           params={"q": "x"})


@pytest.fixture
def host(monkeypatch):
    return Host(monkeypatch, job_files("xlsx"))


def parse(sub=None):
    return sarvick.GoogleTrendsCollectionParser().parse(sub or submission())


@pytest.mark.parametrize(
    "cache_key, metadata, expected",
    [
        ("", {}, ["load_result_files", "json_datasets", "google_trends_cache_identity_from_params",
                  "safe_result_metadata", "attach_cache_metadata", "standard_artifacts", "ParsedCollection"]),
        ("own", {"m": 1}, ["load_result_files", "json_datasets", "attach_cache_metadata",
                           "standard_artifacts", "ParsedCollection"]),
    ],
)
def test_host_calls_in_order_each_once(host, cache_key, metadata, expected):
    sub = submission(cache_key=cache_key, cache_scope="own-scope", result_metadata=metadata)
    parsed = parse(sub)

    assert host.names() == expected
    calls = {name: (args, kwargs) for name, args, kwargs in host.calls}
    files = host.files
    assert calls["load_result_files"] == ((sub,), {"source_name": "Google Trends"})
    assert calls["json_datasets"][1] == {"source_name": "Google Trends",
                                         "business_key_fields": sarvick._BUSINESS_KEY_FIELDS}
    if cache_key:
        identity, meta = ("own", "own-scope"), {"m": 1}
    else:
        assert calls["google_trends_cache_identity_from_params"] == (
            (files.params,), {"scenario": "interest_over_time", "geo": "US"})
        assert calls["safe_result_metadata"][0][0] is files.result
        identity, meta = ("derived-key", "derived-scope"), {"derived": "metadata"}
    args, kwargs = calls["attach_cache_metadata"]
    assert args[0] is files.params
    assert kwargs == {"cache_key": identity[0], "cache_scope": identity[1], "result_metadata": meta}
    assert calls["standard_artifacts"] == ((files,), {"default_export_mime_type": SHEET})
    assert vars(parsed) == {"submission": sub, "parser_version": "google-trends-v1",
                            "request_params": {"request": "params"}, "artifacts": ["artifacts"],
                            "datasets": ["datasets"]}


def test_cache_key_keeps_its_null_scope(host):
    parse(submission(cache_key="k", cache_scope=None))
    (_, kwargs), = [(a, k) for n, a, k in host.calls if n == "attach_cache_metadata"]
    assert (kwargs["cache_key"], kwargs["cache_scope"]) == ("k", None)


@pytest.mark.parametrize(
    "fmt, path, expected",
    [
        ("JSON", "job.xlsx", JSON),
        (None, "out/job.Json", JSON),
        (None, Path("out/job.XLSX"), SHEET),
        (None, "job.xls", SHEET),
        ("xls", "job.csv", SHEET),
        ("csv", "job.json", JSON),
        ("xlsx", "job.json", JSON),
        ("", PurePosixPath("a.b/job.JSON"), JSON),
        (None, "archive.tar.json", JSON),
        ("csv", "job.csv", FORMAT_ERROR + "csv"),
        (None, "job", FORMAT_ERROR),
        (None, ".json", FORMAT_ERROR),           # a hidden file has no suffix
        (None, "dir.json/job", FORMAT_ERROR),
        (None, None, FORMAT_ERROR),
        (None, "job.CSV", FORMAT_ERROR + "csv"),
        (7, "job.xlsx", SHEET),                  # only the path rule matches
        (7, "job", FORMAT_ERROR + "7"),
    ],
)
def test_export_format_and_media_type(monkeypatch, fmt, path, expected):
    host = Host(monkeypatch, job_files(fmt, path))
    if expected.startswith(FORMAT_ERROR):
        with pytest.raises(CollectionParseError) as caught:
            parse()
        assert str(caught.value) == expected
        assert host.names() == ["load_result_files"]
    else:
        parse()
        assert host.calls[-2][2] == {"default_export_mime_type": expected}


@pytest.mark.parametrize("export", [None, ["json"], "json"])
def test_export_that_is_not_a_mapping_counts_as_no_format(monkeypatch, export):
    host = Host(monkeypatch, SimpleNamespace(export=export, export_path="job.json", result={"data": []}, params={}))
    parse()
    assert host.calls[-2][2] == {"default_export_mime_type": JSON}


def test_format_is_read_without_touching_an_odd_path(monkeypatch):
    Host(monkeypatch, job_files("json", path=object()))
    parse()


# --- refused jobs ----------------------------------------------------------------------------


@pytest.mark.parametrize("source, shown", [("keepa", "keepa"), (None, "None"), ("Google_Trends", "Google_Trends")])
def test_other_source_never_reaches_the_loader(host, source, shown):
    with pytest.raises(CollectionParseError) as caught:
        parse(submission(source_system=source))
    assert str(caught.value) == "Google Trends Parser 不支持来源：" + shown
    assert host.calls == []


def test_source_is_the_instance_own(host):
    class OtherParser(sarvick.GoogleTrendsCollectionParser):
        source_system = "mirror"

    OtherParser().parse(submission(source_system="mirror"))
    assert host.names()[0] == "load_result_files"


@pytest.mark.parametrize(
    "identity, error, message",
    [
        (("k", "s", "x"), ValueError, r"too many values to unpack \(expected 2\)"),
        (["k"], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
        (5, TypeError, "cannot unpack non-iterable int object"),
        (iter(["k", "s"]), None, None),
    ],
)
def test_cache_identity_must_be_two_values(host, identity, error, message):
    host.identity = identity
    if error is None:
        parse()
        assert host.calls[-3][2]["cache_key"] == "k"
        return
    with pytest.raises(error, match=message):
        parse()
    assert host.names()[-1] == "google_trends_cache_identity_from_params"


@pytest.mark.parametrize("failing", ["load_result_files", "json_datasets", "google_trends_cache_identity_from_params",
                                     "safe_result_metadata", "attach_cache_metadata", "standard_artifacts",
                                     "ParsedCollection"])
def test_host_errors_pass_through_and_stop(host, failing):
    boom = RuntimeError(failing)
    answer = host.answer

    def failing_answer(name, args, kwargs):
        if name == failing:
            raise boom
        return answer(name, args, kwargs)

    host.answer = failing_answer
    with pytest.raises(RuntimeError) as caught:
        parse()
    assert caught.value is boom
    assert host.names()[-1] == failing


class ExportInfo(dict):
    get = raise_api_error


class ExportPath:
    __fspath__ = raise_api_error


class RowItems(dict):
    items = raise_api_error


def raising(name):
    return lambda monkeypatch, host: monkeypatch.setattr(sarvick, name, raise_api_error)


@pytest.mark.parametrize("prepare, sub", [
    *(pytest.param(raising(name), None, id=name)
      for name in ("load_result_files", "json_datasets", "_result_datasets", "google_trends_cache_identity_from_params",
                   "safe_result_metadata", "attach_cache_metadata", "standard_artifacts", "ParsedCollection")),
    pytest.param(raising("CollectionParseError"), submission(source_system="keepa"), id="CollectionParseError"),
    pytest.param(lambda monkeypatch, host: setattr(host.files, "export", ExportInfo()), None, id="export-get"),
    pytest.param(lambda monkeypatch, host: vars(host.files).update(export={}, export_path=ExportPath()), None,
                 id="export-path-fspath"),
    pytest.param(lambda monkeypatch, host: setattr(host.files, "result", {"data": [RowItems(a=1)]}), None,
                 id="row-items"),
])
def test_errors_whose_class_makes_a_subclass_reach_the_caller_as_made(monkeypatch, host, prepare, sub):
    """`raise ApiError` in what the parser calls gives a NotFound, as Python
    code would pass it on."""
    prepare(monkeypatch, host)
    with pytest.raises(NotFound):
        parse(sub)


# --- the result table ------------------------------------------------------------------------


class Key:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize(
    "rows, columns, values",
    [
        ([], [], []),
        ([{"a": 1}, {"b": 2, "a": 3}], ["a", "b"], [[1, None], [3, 2]]),
        ([{"a": None}, {}], ["a"], [[None], [None]]),
        ([{"z": 1, "y": 2}, {"x": 3, "z": 4}], ["z", "y", "x"], [[1, 2, None], [4, None, 3]]),
        # keys of other kinds are columns by their text form, and keep their values
        ([{1: "one", None: "n", False: "f", (1, 2): "p", 1.5: "x"}],
         ["1", "None", "False", "(1, 2)", "1.5"], [["one", "n", "f", "p", "x"]]),
        ([{1: "int", "1": "text"}], ["1"], [["text"]]),
        ([{"1": "text", 1: "int"}], ["1"], [["text"]]),
        ([{Key("k"): "first", Key("k"): "second"}], ["k"], [["first"]]),
        ([OrderedDict([("b", 1), ("a", 2)])], ["b", "a"], [[1, 2]]),
        ([{"\ud800": "lone surrogate"}], ["\ud800"], [["lone surrogate"]]),
    ],
)
def test_table_columns_in_first_seen_order(monkeypatch, rows, columns, values):
    seen = []
    monkeypatch.setattr(sarvick, "json_datasets", lambda table, **kw: seen.append((table, kw)) or "datasets")

    assert sarvick._result_datasets({"data": rows}) == "datasets"
    (table, kwargs), = seen
    assert list(table) == ["sheet_name", "columns", "rows"]
    assert table == {"sheet_name": "main", "columns": columns, "rows": values}
    assert all(type(c) is str for c in table["columns"])
    assert kwargs == {"source_name": "Google Trends", "business_key_fields": (
        "date", "search_term", "query", "topic_id", "geo", "geoCode", "title", "mid")}


def test_table_survives_a_key_that_rewrites_the_rows(monkeypatch):
    data = []

    class Hostile:
        def __str__(self):
            data.clear()
            first.clear()
            return "h"

    first = {"a": [1]}
    data.extend([first, {Hostile(): 2, "a": 3}])
    monkeypatch.setattr(sarvick, "json_datasets", lambda table, **kw: table)
    assert sarvick._result_datasets({"data": data})["rows"] == [[[1], None], [3, 2]]


def test_key_without_text_form_raises_its_error(monkeypatch):
    class Broken:
        def __str__(self):
            raise LookupError("no text")

    monkeypatch.setattr(sarvick, "json_datasets", pytest.fail)
    with pytest.raises(LookupError, match="no text"):
        sarvick._result_datasets({"data": [{Broken(): 1}]})


@pytest.mark.parametrize("payload", [{}, {"data": None}, {"data": {"a": 1}}, {"data": "rows"},
                                     {"data": [None]}, {"data": [{"a": 1}, []]}, {"data": [{"a": 1}, "x"]},
                                     {"data": ({"a": 1},)}])
def test_data_must_be_a_list_of_mappings(monkeypatch, payload):
    monkeypatch.setattr(sarvick, "json_datasets", pytest.fail)
    with pytest.raises(CollectionParseError) as caught:
        sarvick._result_datasets(payload)
    assert str(caught.value) == DATA_ERROR


@pytest.mark.parametrize("payload", [[{"a": 1}], None, "{}", OrderedDict(data=[])])
def test_result_document_must_be_a_dict(payload):
    with pytest.raises(TypeError, match="payload"):
        sarvick._result_datasets(payload)


def test_parse_refuses_bad_data_before_cache_work(monkeypatch):
    host = Host(monkeypatch, job_files("json", data=None))
    host.files.result = {"data": [{"a": 1}, None]}
    with pytest.raises(CollectionParseError, match="data 必须是对象数组"):
        parse()
    assert host.names() == ["load_result_files"]


# --- module surface --------------------------------------------------------------------------


def test_module_constants_and_class():
    assert sarvick.PARSER_VERSION == "google-trends-v1"
    assert sarvick._BUSINESS_KEY_FIELDS == ("date", "search_term", "query", "topic_id", "geo", "geoCode",
                                            "title", "mid")
    cls = sarvick.GoogleTrendsCollectionParser
    assert cls.__bases__ == (object,)
    assert (cls.source_system, cls.parser_version) == ("google_trends", "google-trends-v1")
    assert cls.__module__ == "pelorin.google_trends.sarvick"
    assert vars(cls()) == {}
    with pytest.raises(TypeError):
        cls("unexpected")


class GoogleTrendsCollectionParser:  # the headers, as Python would give them
    def parse(self, submission):
        pass


def _result_datasets(payload):
    pass


@pytest.mark.parametrize("call", [
    lambda mod: mod.GoogleTrendsCollectionParser().parse(),
    lambda mod: mod.GoogleTrendsCollectionParser().parse(submission(), submission()),
    lambda mod: mod.GoogleTrendsCollectionParser().parse(job=submission()),
    lambda mod: mod._result_datasets({}, payload={}),
])
def test_argument_errors_are_the_interpreters(call):
    python = SimpleNamespace(GoogleTrendsCollectionParser=GoogleTrendsCollectionParser,
                             _result_datasets=_result_datasets)
    with pytest.raises(TypeError) as expected:
        call(python)
    with pytest.raises(TypeError) as native:
        call(sarvick)
    assert str(native.value) == str(expected.value)


@pytest.mark.parametrize("prepare, expected", [
    ("import pelorin.shared.collection_storage.result_cache as rc; del rc.attach_cache_metadata",
     "ImportError cannot import name 'attach_cache_metadata'"),
    ("sys.modules['pelorin.google_trends.collection_storage_integration'] = None",
     "ModuleNotFoundError import of pelorin.google_trends.collection_storage_integration halted"),
])
def test_missing_host_name_fails_the_load(prepare, expected):
    script = textwrap.dedent(f"""
        import sys
        {prepare}
        try:
            import pelorin.google_trends.sarvick
        except ImportError as exc:
            print(type(exc).__name__, exc)
        else:
            print("loaded")
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.startswith(expected)
