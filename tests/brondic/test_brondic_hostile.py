"""Hostile inputs: Python code run in the middle of a native step (a dict
subclass's items(), a metaclass's attribute lookup) that changes or frees what
the step is working on, and patched host names that hand back what no host
function gives or raise an error whose class is not the one raised. Each row
is one such place: it runs the step on a hostile value and gives the outcome
that Python code doing the same gives."""

import gc
import json
import re
import subprocess
import sys
from types import SimpleNamespace

import pytest

from pelorin.keepa.api import client as keepa_client
from pelorin.keepa.domain.exceptions import KeepaConfigError
from pelorin.keepa.services import brondic

from ..conftest import ApiError, NotFound, StrSub, raise_api_error
from .conftest import ENOUGH, SHORT, request_for


def dumped(value):
    return json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")


def outcome(run):
    """What run() gives, or the type and text of the error it raises."""
    try:
        return run()
    except Exception as error:  # noqa: BLE001  (any error is an outcome)
        return type(error), str(error)


def kept_buffers():
    """Every bytearray of the writer's size held in a list the collector
    sees, as hostile code would look for the buffer kept between writes."""
    return [item for o in gc.get_objects() if type(o) is list
            for item in o if type(item) is bytearray and len(item) >= 64 * 1024]


def of_vanishing_class(base=object):
    """An instance whose class is freed while the class's name is read: the
    lookup moves the instance to another class and fails, and the metaclass's
    __getattr__ then gives "Odd". The class leaves itself out of its own MRO,
    so that no cycle keeps it: its last reference goes in the middle of the
    lookup, and only a reference held by the caller keeps it alive."""
    root = type("Root", (base,), {"__slots__": ()})
    holder = []

    class Vanishing(type):
        cut = False

        def mro(cls):
            return root.__mro__ if Vanishing.cut else type.mro(cls)

        def __getattribute__(cls, name):
            if name == "__name__" and holder:
                holder.pop().__class__ = root
                raise AttributeError(name)
            return type.__getattribute__(cls, name)

        def __getattr__(cls, name):
            return "Odd"

    cls = Vanishing("Odd", (root,), {"__slots__": ()})
    Vanishing.cut = True
    cls.__bases__ = (root,)
    holder.append(cls())
    return holder[0]


# --- rows: each builds the hostile case and gives (run, what Python gives)


def writer_buffer_resized(tmp_path):
    # Written as for a plain dict: the buffer the text is built in is out of
    # reach, so nothing that items() does can move it.
    brondic._write_json(tmp_path / "first.json", {"warm": "x" * 100})
    found = kept_buffers()

    class Resizing(dict):
        def items(self):
            for buffer in found:
                buffer.clear()
                buffer.extend(b"\0" * (1 << 20))
            return super().items()

    plain = {"before": "一" * 5000, "inner": {"k": list(range(2000))}, "after": ["二" * 50] * 500}
    value = dict(plain, inner=Resizing(plain["inner"]))

    def run():
        brondic._write_json(tmp_path / "job.json", value)
        return (tmp_path / "job.json").read_bytes()

    return run, dumped(plain)


def writer_type_name_freed(tmp_path):
    # The type error names the class as type(o).__name__ gives it.
    odd = of_vanishing_class()
    return (lambda: brondic._write_json(tmp_path / "job.json", [odd])), (
        TypeError, "Object of type Odd is not JSON serializable")


HOSTILE = [
    pytest.param(writer_buffer_resized, id="json Output: kept buffer resized from items()"),
    pytest.param(writer_type_name_freed, id="json name_of: class freed while its name is read"),
]


@pytest.mark.parametrize("build", HOSTILE)
def test_a_hostile_value_gives_what_python_gives(tmp_path, build):
    run, expected = build(tmp_path)
    assert outcome(run) == expected


# --- what patched host names hand back: each row patches a name that the
# module looks up when called, and gives what the Python module gives.

ANSWER = {"products": [{"asin": "B0ABCD1234", "title": "蓝牙耳机"}], "tokensLeft": 480}
NAMING_PATTERNS = {"[^A-Za-z0-9]+", "[^A-Za-z0-9\\-]+", "-{2,}"}


class OddPattern:
    """A pattern whose split and sub give what no pattern gives."""

    def split(self, value):
        return [7, b"ab"]

    def sub(self, replacement, value):
        return 7


def compile_odd_naming_patterns(real_compile):
    return lambda pattern, *args: OddPattern() if pattern in NAMING_PATTERNS else real_compile(pattern, *args)


# What a patched _quota_error may give in place of the error.
ODD_QUOTA_ERRORS = {
    "five-tuple": lambda warning: (None, {}, {}, {"products": []}, {}),
    "text": lambda warning: "short",
    "None": lambda warning: None,
}


@pytest.mark.parametrize(
    "made, keys_left, outcome",
    [
        pytest.param("five-tuple", True, "answer", id="five-tuple-next-key-answers"),
        pytest.param("text", True, "answer", id="text-next-key-answers"),
        pytest.param("None", True, "answer", id="None-next-key-answers"),
        # Every key short: `raise last_credential_error` cannot raise what is
        # no exception, and None leaves the provider's own error.
        pytest.param("five-tuple", False, TypeError, id="five-tuple-no-key-left"),
        pytest.param("text", False, TypeError, id="text-no-key-left"),
        pytest.param("None", False, KeepaConfigError, id="None-no-key-left"),
    ],
)
async def test_a_short_key_is_given_up_whatever_the_quota_error_is(manager, provider, monkeypatch, made, keys_left, outcome):
    monkeypatch.setattr(brondic, "_quota_error", ODD_QUOTA_ERRORS[made])
    monkeypatch.setattr(brondic, "_report_provider_failure", lambda *args, **kwargs: None)
    keepa_client.script_key("key-1", token_status=SHORT)
    keepa_client.script_key("key-2", token_status=ENOUGH if keys_left else SHORT, responses=ANSWER)
    keepa_client.script_key("key-3", token_status=SHORT)
    if outcome == "answer":
        result = await manager.run(request_for())
        assert provider.asked == [set(), {1}]
        assert result.row_count == 1 and result.quota["before"] == ENOUGH
    else:
        with pytest.raises(outcome):
            await manager.run(request_for())
        assert provider.asked == [set(), {1}, {1, 2}, {1, 2, 3}]


def test_naming_patterns_are_compiled_at_import(monkeypatch):
    monkeypatch.setattr(re, "compile", compile_odd_naming_patterns(re.compile))
    assert brondic._camel_case("my_new-scenario2") == "MyNewScenario2"
    assert brondic._sanitize_filename_part("usb hub / 2 pack") == "usb-hub-2-pack"


ODD_AT_IMPORT = """
import re
real_compile = re.compile
re.compile = lambda pattern, *args: Odd() if pattern in {patterns!r} else real_compile(pattern, *args)

class Odd:
    def split(self, value):
        return [7, b"ab"]

    def sub(self, replacement, value):
        return 7

from pelorin.keepa.services import brondic

for call in (lambda: brondic._camel_case("a-b"), lambda: brondic._sanitize_filename_part("a b")):
    try:
        print(call())
    except TypeError as error:
        print("TypeError:", error)
"""


def test_naming_patterns_patched_before_import_give_a_type_error():
    done = subprocess.run([sys.executable, "-c", ODD_AT_IMPORT.format(patterns=NAMING_PATTERNS)],
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.splitlines()) == (0, [
        "TypeError: a job-naming pattern gave int, not str",
        "TypeError: a job-naming pattern gave int, not str",
    ]), done.stderr


@pytest.mark.parametrize(
    "hex_digits, expected",
    [(1234567, TypeError), (["a"] * 8, TypeError), (StrSub("abcdef0123"), "-abcdef")],
    ids=["int", "list", "StrSub"],
)
def test_the_job_id_suffix_is_sliced_from_what_uuid4_gives(monkeypatch, hex_digits, expected):
    # uuid4().hex[:6], of the object itself: no text form of it.
    monkeypatch.setattr(brondic, "uuid4", lambda: SimpleNamespace(hex=hex_digits))
    if isinstance(expected, str):
        assert brondic._build_job_id(request_for(), "US").endswith(expected)
    else:
        with pytest.raises(expected):
            brondic._build_job_id(request_for(), "US")


# --- `raise ApiError` in patched host names and user objects: the error that
# reaches the caller is the NotFound instance the constructor made, or a
# warning that names it where the run handles any error.


class SyncStatusClient:
    """A client whose token_status is a plain method raising ApiError."""

    def __init__(self, *, api_key):
        pass

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return None

    def token_status(self):
        raise ApiError


class ApiErrorUploads:
    enabled = True

    def __init__(self, **identity):
        pass

    def upload(self, path, **options):
        raise ApiError


class ApiErrorProvider:
    def get_default(self, exclude_account_ids=None):
        raise ApiError

    def report_failure(self, *args, **kwargs):
        pass


class Undividable:
    """A job directory that cannot be joined with a file name."""

    def mkdir(self, **options):
        pass

    def __truediv__(self, other):
        raise ApiError


class Clock:
    def __sub__(self, other):
        raise ApiError


def clock_after_start():
    ticks = iter([0.0])
    return SimpleNamespace(monotonic=lambda: next(ticks, Clock()))


RAISED_IN_A_RUN = [
    # (module names patched, manager options, request fields, the run's
    # outcome: NotFound raised, or the stage of the warning it becomes)
    pytest.param({"get_scenario": raise_api_error}, {}, {}, NotFound, id="get_scenario"),
    pytest.param({"logger": SimpleNamespace(info=raise_api_error)}, {}, {}, NotFound, id="logger.info"),
    pytest.param({"time": SimpleNamespace(monotonic=raise_api_error)}, {}, {}, NotFound, id="time.monotonic"),
    pytest.param({"time": clock_after_start()}, {}, {}, NotFound, id="elapsed-subtraction"),
    pytest.param({"datetime": SimpleNamespace(now=raise_api_error)}, {}, {"job_id": None}, NotFound, id="datetime.now"),
    pytest.param({"KeepaApiClient": raise_api_error}, {}, {}, NotFound, id="KeepaApiClient-by-keyword"),
    pytest.param({"KeepaApiClient": SyncStatusClient}, {}, {}, NotFound, id="client.token_status"),
    pytest.param({}, {"api_key_provider": ApiErrorProvider()}, {}, NotFound, id="provider.get_default"),
    pytest.param({"_build_quota_warning": raise_api_error}, {}, {}, NotFound, id="_build_quota_warning-by-keywords"),
    pytest.param({"asyncio": SimpleNamespace(sleep=raise_api_error)}, {}, {"wait": True}, NotFound, id="asyncio.sleep"),
    pytest.param({"Path": raise_api_error}, {}, {}, NotFound, id="Path-in-_write_json"),
    pytest.param({"_params_payload": raise_api_error}, {}, {}, NotFound, id="_params_payload-by-keywords"),
    pytest.param({"format_product_export": raise_api_error}, {}, {}, NotFound, id="formatter"),
    pytest.param({"export_rows_to_xlsx": raise_api_error}, {}, {}, NotFound, id="export_rows_to_xlsx-by-keywords"),
    pytest.param({"KeepaScenarioResult": raise_api_error}, {}, {}, NotFound, id="KeepaScenarioResult-by-keywords"),
    pytest.param({"FileUploadClient": ApiErrorUploads}, {}, {"upload_export": True}, "file_upload", id="upload-is-a-warning"),
    pytest.param({}, {"collection_submitter": raise_api_error}, {}, "collection_storage", id="hand-over-is-a-warning"),
]


@pytest.mark.parametrize("patches, options, fields, outcome", RAISED_IN_A_RUN)
async def test_an_api_error_raised_in_a_run_reaches_it_as_raised(settings, provider, monkeypatch, patches, options, fields, outcome):
    for name, value in patches.items():
        monkeypatch.setattr(brondic, name, value)
    # A waiting request finds the tokens short first.
    keepa_client.script_key("key-1", token_status=[SHORT, ENOUGH] if fields.get("wait") else ENOUGH, responses=ANSWER)
    manager = brondic.KeepaBrondic(**{"settings": settings, "api_key_provider": provider, **options})
    if isinstance(outcome, str):
        result = await manager.run(request_for(**fields))
        warning, = [w for w in result.warnings if w["stage"] == outcome]
        assert warning["error"]["code"] == "NotFound"
    else:
        with pytest.raises(ApiError) as caught:
            await manager.run(request_for(**fields))
        assert type(caught.value) is outcome


async def test_an_api_error_joining_the_job_directory_reaches_the_run(manager, monkeypatch):
    monkeypatch.setattr(manager, "_build_root_dir", lambda request, job_id: Undividable())
    with pytest.raises(NotFound):
        await manager.run(request_for())


class ItemsRaising(dict):
    def items(self):
        raise ApiError


class IterationRaising(list):
    def __iter__(self):
        raise ApiError


class GetRaising(dict):
    def get(self, key, default=None):
        raise ApiError


class ValuesRaising(dict):
    def values(self):
        raise ApiError


@pytest.mark.parametrize(
    "name, value, call",
    [
        pytest.param("load_settings", raise_api_error, lambda m, path: brondic.KeepaBrondic(), id="load_settings"),
        pytest.param("list_scenarios", raise_api_error, lambda m, path: m.scenarios(), id="list_scenarios"),
        pytest.param("json", SimpleNamespace(loads=raise_api_error), lambda m, path: m.job_status("J1"), id="json.loads"),
        pytest.param("uuid4", raise_api_error, lambda m, path: brondic._build_job_id(request_for(), "US"), id="uuid4"),
        pytest.param(None, None, lambda m, path: brondic._write_json(path, [ItemsRaising(k=1)]), id="json-dict-items"),
        pytest.param(None, None, lambda m, path: brondic._write_json(path, {"k": IterationRaising([1])}), id="json-list-iteration"),
        pytest.param(None, None, lambda m, path: brondic.extract_rows({"deals": GetRaising(dr=[])}), id="rows-dict-get"),
        pytest.param(None, None, lambda m, path: brondic.extract_rows({"categories": ValuesRaising(a=1)}), id="rows-dict-values"),
    ],
)
def test_an_api_error_raised_in_a_call_reaches_its_caller_as_raised(manager, settings, tmp_path, monkeypatch, name, value, call):
    (settings.output_dir / "J1").mkdir(parents=True)
    (settings.output_dir / "J1" / "result.json").write_text("{}")
    if name:
        monkeypatch.setattr(brondic, name, value)
    with pytest.raises(NotFound):
        call(manager, tmp_path / "job.json")
