"""Job files: the JSON writer, params.json, the job directory and stored jobs."""

import array
import collections
import enum
import json
import math
import os
import random
from pathlib import Path

import pytest

from pelorin.keepa.config import KeepaSettings
from pelorin.keepa.domain.exceptions import KeepaConfigError
from pelorin.keepa.domain.models import KeepaScenarioRequest
from pelorin.keepa.services import brondic

from ..conftest import assert_no_leak
from .conftest import DictSub, ListSub, StrSub


class Color(enum.IntEnum):
    RED = 1


class Half(float):
    pass


class Ordered(collections.OrderedDict):
    pass


class PairsOf(dict):
    """A mapping whose items() gives what it was made with."""

    def __init__(self, pairs):
        super().__init__(x=1)
        self.pairs = pairs

    def items(self):
        return self.pairs


VALUES = [
    {},
    [],
    {"a": [], "b": {}, "c": [{}]},
    "中文 \u3000 text",
    "quote \" backslash \\ controls \n\r\t\b\f \x00 \x1f \x7f \u2028",
    [1, -0, 2**63, -(2**64) - 1, 10**50, True, False, None],
    [0.1, -0.0, 1e16, 1.5e-10, 123456789.0, 0.1 + 0.2, 1e22, 5e-324, 1.7976931348623157e308, float("nan"), float("inf"), -float("inf")],
    {"nested": {"deep": [[[{"x": (1, 2)}]]]}},
    {1: "int", 2.5: "float", True: "yes", None: "null", "s": 1},
    {Color.RED: Color.RED, "half": Half(0.5), StrSub("k"): StrSub("v")},
    Ordered(b=1, a=[ListSub([DictSub(x=1)])]),
    "\U0001f600",
    [{"asin": f"A{i}", "csv": list(range(i % 7)), "title": "标题" * (i % 3)} for i in range(300)],
    # Texts of each width (1, 2 and 4 bytes a character), every control
    # character, and texts longer than the encoder's blocks of 4096.
    ["".join(map(chr, range(0x20))), "café ÿ \x80\xa0", "".join(map(chr, range(0x7F, 0x900, 3))), "\uffff\u0800\u07ff"],
    ["\U0010ffff \U0001f600 中 é \x01", StrSub("中\U0001f600\n")],
    ["中\"\\\x00" * 3000, "é\n" * 5000, "\U0001f600\t" * 2100, "x" * 9000 + "\x1f"],
    {float("nan"): 1, float("inf"): 2, -0.0: 3, 1e16: 4, 2**70: 5, -7: 6},
    [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[{"deep": "x"}]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]],
]


@pytest.mark.parametrize("value", VALUES)
def test_write_json_writes_what_json_dumps_writes(tmp_path, value):
    target = tmp_path / "new" / "deeper" / "file.json"
    brondic._write_json(target, value)
    assert target.read_bytes() == json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")


# float.__repr__ near its corners: exponent form from 1e16 and below 1e-4,
# subnormals, the largest double, 16- and 17-digit forms, halfway cases.
FLOAT_EDGES = [
    0.0, -0.0, 5e-324, -5e-324, 2.225073858507201e-308, 2.2250738585072014e-308, 1.7976931348623157e308,
    1e16, 1e-5, 0.0001, -0.0001, 0.00011, 9.999999999999999e-05, math.nextafter(1e-4, 0), math.nextafter(1e-4, 1),
    1234567890123456.0, 9999999999999998.0, 1e15, 999999999999999.9, 999999999999999.0, 123456789012345.6,
    9007199254740993.0, 1e22, 1e23, 1.5e300, 0.1, 0.1 + 0.2, 1 / 3, 2 / 3, 100.0, 123.45, -123.45, 4.35, 0.3,
    math.pi, 1e-7, 12345678.9, 0.000123456789012345, math.nextafter(1e15, 0), math.nextafter(10.0, 0),
]


@pytest.mark.parametrize("value", FLOAT_EDGES, ids=repr)
def test_float_edges_are_written_as_repr_writes_them(tmp_path, value):
    target = tmp_path / "f.json"
    brondic._write_json(target, [value, {value: value}])
    assert target.read_bytes() == json.dumps([value, {value: value}], ensure_ascii=False, indent=2).encode("utf-8")


def test_random_floats_are_written_as_repr_writes_them(tmp_path):
    rng = random.Random(1234)
    floats = array.array("d", rng.randbytes(8 * 120_000)).tolist()  # any bit pattern: subnormals, huge, NaN
    floats += [round(rng.uniform(-1, 1) * 10.0 ** rng.randint(-6, 17), rng.randint(0, 18)) for _ in range(80_000)]
    floats += [rng.random() * 10.0 ** rng.randint(-6, 17) for _ in range(60_000)]
    floats += [float(rng.getrandbits(rng.randint(1, 64))) for _ in range(40_000)]
    floats += [math.nextafter(10.0**k, direction) for k in range(-8, 23) for direction in (0, math.inf)]
    target = tmp_path / "floats.json"
    brondic._write_json(target, floats)
    got = target.read_bytes().split(b"\n")
    want = json.dumps(floats, ensure_ascii=False, indent=2).encode("utf-8").split(b"\n")
    assert len(got) == len(want)
    assert [(g, w) for g, w in zip(got, want) if g != w][:5] == []


@pytest.mark.parametrize("text", ["lone \udc80", "中\ud800文", "\U0001f600 \udfff", "x" * 5000 + "\udbff", "é\udc80"])
def test_a_lone_surrogate_fails_as_str_encode_fails(tmp_path, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        brondic._write_json(tmp_path / "s.json", {"ok": "中文", "text": text})
    assert str(caught.value) == str(expected.value)
    assert (caught.value.start, caught.value.object) == (expected.value.start, text)


def outcomes(build, path):
    """What json.dumps(...).encode("utf-8") and the writer give for fresh
    values from build(): the bytes, or the error's type and text."""

    def run(write):
        try:
            return write(build())
        except Exception as error:
            return type(error), str(error)

    def written(value):
        brondic._write_json(path, value)
        return path.read_bytes()

    return run(lambda value: json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")), run(written)


class ItemsFail(dict):
    def items(self):
        raise LookupError("no items today")


def looped():
    loop = ["\udcff"]
    loop.append(loop)
    return loop


# A lone surrogate before a value the serialiser refuses: the serialiser's
# error comes first, as json.dumps fails before the text is ever encoded.
SERIALISED_FIRST = [
    pytest.param(lambda: ["\ud800", object()], TypeError, id="object"),
    pytest.param(lambda: {"a": "\udc00", "b": {1j: 2}}, TypeError, id="complex key"),
    pytest.param(lambda: {"k\udfff": 1, "set": {1, 2}}, TypeError, id="surrogate in a key"),
    pytest.param(lambda: ["x" * 5000 + "\udbff", "\ud800", [b"bytes"]], TypeError, id="long text"),
    pytest.param(lambda: {"a": "\ud800", "loop": looped()}, ValueError, id="circular"),
    pytest.param(lambda: ["\ud800", {"big": 10**5000}], ValueError, id="int too long"),
    pytest.param(lambda: ["\ud800", DictSub(ok=ItemsFail(x=1))], LookupError, id="items() fails"),
    pytest.param(lambda: [StrSub("\ud800"), PairsOf([(1, 2, 3)])], ValueError, id="bad pair"),
]


@pytest.mark.parametrize("build, error", SERIALISED_FIRST)
def test_a_serialisation_error_comes_before_a_lone_surrogate(tmp_path, build, error):
    dumped, written = outcomes(build, tmp_path / "s.json")
    assert dumped[0] is error
    assert written == dumped


def test_a_too_deep_payload_is_refused_as_too_deep_after_a_lone_surrogate(tmp_path):
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        brondic._write_json(tmp_path / "s.json", ["\ud800", deep])


@pytest.mark.parametrize(
    "payload, first",
    [
        (["ok", "a\udc80b", "\ud800", {"k": "\udfff"}], "a\udc80b"),
        ({"中\ud800\udc00文": ["\udc80"], "ok": [1.5, None]}, "中\ud800\udc00文"),
        ([{"x" * 5000 + "\udbff\udbfe": 1}, {"y": "\ud800"}], "x" * 5000 + "\udbff\udbfe"),
        (Ordered(a=PairsOf([("k", "\udc00")]), b=ListSub(["\ud800"])), "\udc00"),
    ],
)
def test_the_first_lone_surrogate_fails_once_the_rest_is_written(tmp_path, payload, first):
    with pytest.raises(UnicodeEncodeError) as expected:
        first.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as caught:
        brondic._write_json(tmp_path / "s.json", payload)
    assert str(caught.value) == str(expected.value)
    assert (caught.value.start, caught.value.end, caught.value.object) == (
        expected.value.start, expected.value.end, first)
    assert not (tmp_path / "s.json").exists()


def test_a_waiting_surrogate_error_holds_its_text_no_longer(tmp_path):
    text = "held \udc80 " + "x" * 100
    payloads = [[text, "\ud800"], [text, object()], {text: 1, "loop": looped()}]

    def run():
        for payload in payloads:
            try:
                brondic._write_json(tmp_path / "s.json", payload)
            except (UnicodeEncodeError, TypeError, ValueError):
                pass

    assert_no_leak(run, watched=[text])


def test_a_written_file_is_not_changed_by_later_writes(tmp_path, monkeypatch):
    # The text is built in a buffer kept between calls; a writer that keeps
    # what it was given must still see its own text afterwards.
    kept = []

    class KeepingPath(type(tmp_path)):
        def write_bytes(self, data):
            kept.append(data)
            return super().write_bytes(data)

    monkeypatch.setattr(brondic, "Path", KeepingPath)
    brondic._write_json(tmp_path / "a.json", {"first": "一" * 100})
    brondic._write_json(tmp_path / "b.json", {"second": "二" * 200})
    with pytest.raises(IsADirectoryError):
        brondic._write_json(tmp_path, ["third"])
    brondic._write_json(tmp_path / "c.json", ["fourth"] * 50)
    assert [bytes(data) for data in kept] == [
        json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")
        for value in ({"first": "一" * 100}, {"second": "二" * 200}, ["third"], ["fourth"] * 50)
    ]


def test_a_write_made_while_writing_gives_both_files(tmp_path):
    class Writing(dict):
        def items(self):
            brondic._write_json(tmp_path / "inner.json", {"inner": list(range(50))})
            return super().items()

    outer = {"before": "x" * 1000, "mapping": Writing(k="v"), "after": [1.5] * 100}
    brondic._write_json(tmp_path / "outer.json", outer)
    assert json.loads((tmp_path / "inner.json").read_text()) == {"inner": list(range(50))}
    assert (tmp_path / "outer.json").read_bytes() == json.dumps(outer, ensure_ascii=False, indent=2).encode("utf-8")


def test_write_json_replaces_an_existing_file_and_takes_text_paths(tmp_path):
    target = tmp_path / "result.json"
    target.write_text("x" * 1000)
    brondic._write_json(str(target), {"k": "值"})
    assert target.read_text(encoding="utf-8") == '{\n  "k": "值"\n}'


@pytest.mark.parametrize(
    "payload, error, message",
    [
        ({"ok": 1, "bad": {1, 2}}, TypeError, "Object of type set is not JSON serializable"),
        ({(1, 2): 1}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
        ({"text": "lone \udc80"}, UnicodeEncodeError, "surrogates not allowed"),
        ([b"bytes"], TypeError, "Object of type bytes is not JSON serializable"),
        ({"ok": 1, "big": 10**5000}, ValueError, "Exceeds the limit"),
        (PairsOf([(1, 2, 3)]), ValueError, r"too many values to unpack \(expected 2\)"),
        (PairsOf([1]), TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_a_payload_that_cannot_be_written_leaves_the_old_file(tmp_path, payload, error, message):
    target = tmp_path / "raw.json"
    target.write_text('{"old": true}')
    with pytest.raises(error, match=message):
        brondic._write_json(target, payload)
    assert target.read_text() == '{"old": true}'


def test_circular_and_too_deep_payloads_fail_cleanly(tmp_path):
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference detected"):
        brondic._write_json(tmp_path / "a.json", {"x": loop})
    # Far down, where the open containers are looked up another way.
    top = inner = {}
    for _ in range(60):
        inner["next"] = inner = {}
    inner["back"] = [1, [top]]
    with pytest.raises(ValueError, match="Circular reference detected"):
        brondic._write_json(tmp_path / "a.json", top)
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        brondic._write_json(tmp_path / "b.json", deep)
    # A value seen twice but not inside itself is fine, at any depth.
    shared = [1]
    brondic._write_json(tmp_path / "c.json", [shared, shared])
    assert json.loads((tmp_path / "c.json").read_text()) == [[1], [1]]
    for _ in range(40):
        shared = [shared]
    del inner["back"]
    inner["twice"] = [shared, shared]
    brondic._write_json(tmp_path / "c.json", top)
    assert (tmp_path / "c.json").read_bytes() == json.dumps(top, indent=2).encode()
    assert not (tmp_path / "a.json").exists() and not (tmp_path / "b.json").exists()


def test_a_dict_changed_while_written_is_refused(tmp_path):
    outer = {"a": None, "b": 2}

    class Meddling(dict):
        def items(self):
            outer["c"] = 3
            return super().items()

    outer["a"] = Meddling(x=1)
    with pytest.raises(RuntimeError, match="changed size"):
        brondic._write_json(tmp_path / "x.json", outer)


def meddled(change, hook="__iter__", keys="abc", kind=dict):
    """A `kind` of dict of `keys` whose first value is a list that runs
    change(the dict) when the writer takes its length or iterates it."""

    def build():
        outer = kind()

        def meddle(self):
            change(outer)
            return getattr(list, hook)(self)

        outer.update((key, type("Meddling", (list,), {hook: meddle})([1]) if i == 0 else i)
                     for i, key in enumerate(keys))
        return outer

    return build


def swap(gone, new):
    def change(outer):
        outer.pop(gone, None)
        outer[new] = "new"

    return change


def rebuild(outer):
    count = len(outer)
    outer.clear()
    outer.update((f"n{i}", i) for i in range(count))


# A dict changed while one of its values is written, as iterating its items()
# sees it: more items than the dict had at the start fail, a new key in place
# of one not yet reached is written like any other, a change of size fails.
CHANGED_DICTS = [
    pytest.param(meddled(swap("a", "z")), RuntimeError, id="written key swapped"),
    pytest.param(meddled(swap("a", "z"), "__len__"), RuntimeError, id="written key swapped in len"),
    pytest.param(meddled(swap("a", "a")), RuntimeError, id="written key moved to the end"),
    pytest.param(meddled(swap("b", "z")), bytes, id="next key swapped"),
    pytest.param(meddled(swap("c", "z"), "__len__"), bytes, id="last key swapped"),
    pytest.param(meddled(swap("a", "z"), keys="a"), RuntimeError, id="only key swapped"),
    pytest.param(meddled(swap("a", "z"), kind=DictSub), RuntimeError, id="dict subclass, written key swapped"),
    # Five keys fill the smallest table: the new key makes it compact, and
    # "b" moves to the place already passed.
    pytest.param(meddled(swap("a", "z"), keys="abcde"), bytes, id="written key swapped, table compacted"),
    pytest.param(meddled(rebuild), bytes, id="rebuilt at the same size"),
    pytest.param(meddled(lambda outer: outer.update(z=0)), RuntimeError, id="grown"),
    pytest.param(meddled(lambda outer: outer.popitem()), RuntimeError, id="shrunk"),
]


@pytest.mark.parametrize("build, outcome", CHANGED_DICTS)
def test_a_dict_changed_while_written_fails_as_iterating_its_items_does(tmp_path, build, outcome):
    dumped, written = outcomes(build, tmp_path / "d.json")
    assert (type(dumped) if isinstance(dumped, bytes) else dumped[0]) is outcome
    assert written == dumped


# --- params.json


def payload_args(**overrides):
    args = dict(
        request=KeepaScenarioRequest(scenario="product", params={"asin": "B0"}),
        scenario={"name": "product"},
        normalized_params={"domain": 1, "asin": "B0"},
        account={"account_id": 7},
        estimated_tokens=3,
        reserve_tokens=10,
    )
    args.update(overrides)
    return args


def test_params_payload_keys_and_conversions():
    payload = brondic._params_payload(**payload_args(estimated_tokens=7.9, reserve_tokens=True, before_quota={"tokensLeft": 5}))
    assert list(payload) == ["request", "scenario", "account", "normalized_params", "estimated_tokens", "reserve_tokens", "before_quota"]
    assert payload["request"]["params"] == {"asin": "B0"}
    assert (payload["estimated_tokens"], payload["reserve_tokens"], payload["before_quota"]) == (7, 1, {"tokensLeft": 5})
    for empty in (None, {}):
        assert brondic._params_payload(**payload_args(estimated_tokens=None, before_quota=empty))["before_quota"] == {}
    assert brondic._params_payload(**payload_args(estimated_tokens=None))["estimated_tokens"] is None


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"estimated_tokens": "7"}, "'estimated_tokens' must be int, not str"),
        ({"reserve_tokens": None}, "'reserve_tokens' must be int, not NoneType"),
        ({"scenario": DictSub()}, "'scenario' must be dict, not DictSub"),
        ({"account": None}, "'account' must be dict, not NoneType"),
        ({"before_quota": []}, "'before_quota' must be dict, not list"),
    ],
)
def test_params_payload_refuses_wrong_kinds(overrides, message):
    with pytest.raises(TypeError, match=message):
        brondic._params_payload(**payload_args(**overrides))


def test_params_payload_has_no_positional_or_default_arguments():
    with pytest.raises(TypeError):
        brondic._params_payload(KeepaScenarioRequest(scenario="x"))
    args = payload_args()
    del args["reserve_tokens"]
    with pytest.raises(TypeError):
        brondic._params_payload(**args)


# --- job directory and stored jobs


@pytest.fixture
def manager(tmp_path):
    return brondic.KeepaBrondic(settings=KeepaSettings(output_dir=tmp_path / "out"), api_key_provider=object())


def test_build_root_dir(manager, tmp_path, monkeypatch):
    request = KeepaScenarioRequest(scenario="product")
    assert manager._build_root_dir(request, "J1") == (tmp_path / "out").resolve() / "J1"
    request.output_dir = "~/keepa-out"
    assert manager._build_root_dir(request, "J1") == Path.home().resolve() / "keepa-out" / "J1"
    monkeypatch.chdir(tmp_path)
    (tmp_path / "real").mkdir()
    os.symlink(tmp_path / "real", tmp_path / "link")
    request.output_dir = "link/sub/../runs"
    assert manager._build_root_dir(request, "J1") == tmp_path.resolve() / "real" / "runs" / "J1"
    request.output_dir = ""
    manager.settings.output_dir = Path("rel")
    assert manager._build_root_dir(request, "J1") == tmp_path.resolve() / "rel" / "J1"
    assert not (tmp_path / "rel").exists()


UNSAFE_JOB_IDS = ["../x", "..", ".", "/etc", "a/b", "a\\b", "a\x00b", ""]


@pytest.mark.parametrize("job_id", UNSAFE_JOB_IDS)
def test_a_job_id_that_is_no_single_directory_name_is_refused(manager, tmp_path, job_id):
    (tmp_path / "out").mkdir()
    (tmp_path / "result.json").write_text("{}")
    with pytest.raises(KeepaConfigError, match="任务 ID 只能是单个目录名") as caught:
        manager.job_status(job_id)
    assert str(caught.value).endswith("：" + job_id)
    with pytest.raises(KeepaConfigError, match="任务 ID 只能是单个目录名"):
        manager._build_root_dir(KeepaScenarioRequest(scenario="product"), job_id)


def test_job_status_reads_the_stored_result(manager, tmp_path):
    with pytest.raises(KeepaConfigError) as caught:
        manager.job_status("J-404")
    assert str(caught.value) == "任务不存在：J-404"
    job = tmp_path / "out" / "J..1"
    job.mkdir(parents=True)
    (job / "result.json").write_text('{"job_id": "J..1", "rows": ["值"]}', encoding="utf-8")
    assert manager.job_status("J..1") == {"job_id": "J..1", "rows": ["值"]}
    (job / "result.json").write_text("null")
    assert manager.job_status("J..1") is None
    (job / "result.json").write_text("[1]")
    with pytest.raises(TypeError, match="'job_status' must be dict or None, not list"):
        manager.job_status("J..1")
    (job / "result.json").write_text("{")
    with pytest.raises(json.JSONDecodeError):
        manager.job_status("J..1")
    with pytest.raises(TypeError, match="'job_id' must be str, not int"):
        manager.job_status(1)


def test_job_status_reads_the_settings_directory_unchanged(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "rel" / "J").mkdir(parents=True)
    (tmp_path / "rel" / "J" / "result.json").write_text('{"ok": 1}')
    manager = brondic.KeepaBrondic(settings=KeepaSettings(output_dir="rel"), api_key_provider=object())
    assert manager.job_status("J") == {"ok": 1}
