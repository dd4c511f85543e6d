"""What Python code sees of the order of a call's reads: attributes read through
a hook, module functions looked up and called, in the order of the Python
source (callee, then arguments left to right), whichever compiler built the
module; and with two failing reads, the error of the first one."""

import types

import pytest

from pelorin.keepa.accounts import KeepaApiKey, KeepaApiKeyProvider
from pelorin.keepa.api import client as keepa_client
from pelorin.keepa.config import KeepaSettings
from pelorin.keepa.domain.models import KeepaScenarioRequest, KeepaScenarioResult
from pelorin.keepa.services import brondic

from .conftest import ENOUGH


class Failed(LookupError):
    """A watched read that was made to fail; its text names the read."""


class Log(list):
    """Reads and calls in the order made, as 'tag.name' texts."""

    def watched(self, cls, tag, *names, failing=None):
        """A subclass of cls whose reads of `names` are logged; `failing`
        maps a name to the read (counted from 1) from which it raises."""
        log, failing = self, failing or {}

        class Watched(cls):
            def __getattribute__(self, name):
                if name in names:
                    log.append(f"{tag}.{name}")
                    counts = object.__getattribute__(self, "__dict__").setdefault("_reads", {})
                    counts[name] = counts.get(name, 0) + 1
                    if name in failing and counts[name] >= failing[name]:
                        raise Failed(f"{tag}.{name}")
                return super().__getattribute__(name)

        return Watched

    def logger(self):
        """A module logger whose method lookup and lines are logged."""
        log = self

        class Logger:
            def __getattr__(self, name):
                log.append(f"logger.{name}")
                return lambda message, *args, **options: log.append("line " + message.split()[1])

        return Logger()

    def since(self, entry):
        """The entries after the last `entry`."""
        at = len(self) - 1 - self[::-1].index(entry)
        return self[at + 1:]


def request(log, **failing):
    cls = log.watched(KeepaScenarioRequest, "request", "scenario", "params", failing=failing)
    return cls(scenario="product", params={"asin": "B0ABCD1234"}, job_id="J1")


def manager(tmp_path, log, **failing):
    key = log.watched(KeepaApiKey, "credential", "source", failing=failing)("key-1", 1)
    settings = KeepaSettings(output_dir=tmp_path / "out", reserve_tokens=0, api_keys=(key,))
    return brondic.KeepaBrondic(settings=settings, api_key_provider=KeepaApiKeyProvider(settings))


@pytest.fixture
def log(monkeypatch):
    log = Log()
    monkeypatch.setattr(brondic, "logger", log.logger())
    keepa_client.script_key("key-1", token_status=[ENOUGH, ENOUGH], responses=[{"products": [{"asin": "A"}]}])
    return log


# Each road gives what the log holds of the reads it is about.


async def job_id_reads(tmp_path, log, monkeypatch):
    brondic._build_job_id(request(log), "US")
    return log


async def credential_ready_reads(tmp_path, log, monkeypatch):
    await manager(tmp_path, log).run(request(log))
    return [e for e in log.since("line manager_start") if not e.startswith("request.params")][:4]


async def manager_done_reads(tmp_path, log, monkeypatch):
    clock = iter([10.0, 10.5])
    monkeypatch.setattr(brondic, "time", types.SimpleNamespace(monotonic=lambda: log.append("time") or next(clock)))
    monkeypatch.setattr(brondic, "KeepaScenarioResult", log.watched(KeepaScenarioResult, "result", "row_count"))
    await manager(tmp_path, log).run(request(log))
    return log.since("line export_upload_skipped")[-5:]


async def report_reads(tmp_path, log, monkeypatch):
    # extract_quota replaces the report function: Python has looked the
    # report up before its argument ran, and calls the one it found.
    extract = brondic.extract_quota

    def extract_quota(payload):
        log.append("extract_quota")
        monkeypatch.setattr(brondic, "_report_provider_success", lambda *a: log.append("report.replaced"))
        return extract(payload)

    monkeypatch.setattr(brondic, "extract_quota", extract_quota)
    monkeypatch.setattr(brondic, "_report_provider_success", lambda *a: log.append("report.looked_up"))
    await manager(tmp_path, log).token_status()
    return [e for e in log if not e.startswith("credential.")]


@pytest.mark.parametrize(
    "reads, expected",
    [
        # _scenario_label(request.scenario), then
        # _build_target_label(request.scenario, request.params)
        (job_id_reads, ["request.scenario", "request.scenario", "request.params"]),
        # logger.info("...", request.scenario, site, credential.source)
        (credential_ready_reads, ["logger.info", "request.scenario", "credential.source", "line credential_ready"]),
        # elapsed_ms from the clock, then
        # logger.info("...", request.scenario, site, job_id, result.row_count, elapsed_ms)
        (manager_done_reads, ["time", "logger.info", "request.scenario", "result.row_count", "line manager_done"]),
        # _report_provider_success(provider, credential, extract_quota(answer))
        (report_reads, ["extract_quota", "report.looked_up", "extract_quota"]),
    ],
    ids=["build_job_id", "credential_ready", "manager_done", "token_status_report"],
)
async def test_reads_follow_the_python_source(reads, expected, tmp_path, log, monkeypatch):
    assert await reads(tmp_path, log, monkeypatch) == expected


# Each road fails at two reads; the first of them in Python's order raises.


async def job_id_fails(tmp_path, log, monkeypatch):
    # the scenario's second read comes before params
    brondic._build_job_id(request(log, scenario=2, params=1), "US")


async def credential_ready_fails(tmp_path, log, monkeypatch):
    # the scenario's third read (after get_scenario and manager_start) comes
    # before the credential's source
    await manager(tmp_path, log, source=1).run(request(log, scenario=3))


async def report_fails(tmp_path, log, monkeypatch):
    # the report function is found missing before its argument is computed
    def extract_quota(payload):
        raise Failed("extract_quota")

    monkeypatch.setattr(brondic, "extract_quota", extract_quota)
    monkeypatch.delattr(brondic, "_report_provider_success")
    await manager(tmp_path, log).token_status()


@pytest.mark.parametrize(
    "road, error, message",
    [
        (job_id_fails, Failed, r"^request\.scenario$"),
        (credential_ready_fails, Failed, r"^request\.scenario$"),
        (report_fails, NameError, "'_report_provider_success'"),
    ],
    ids=["build_job_id", "credential_ready", "token_status_report"],
)
async def test_of_two_failing_reads_the_first_raises(road, error, message, tmp_path, log, monkeypatch):
    with pytest.raises(error, match=message):
        await road(tmp_path, log, monkeypatch)
