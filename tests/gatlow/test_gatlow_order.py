"""Reads of one expression happen in the order its Python source reads them:
seen through attribute hooks that record, and through which of two failing
reads reports its error."""

import datetime

import httpx
import pytest

from ..conftest import Recorder


def test_trace_clock_reads_datetime_now_before_timezone_utc(gatlow, monkeypatch, capsys):
    reads = []
    monkeypatch.setattr(gatlow, "datetime", Recorder("datetime", datetime.datetime, reads))
    monkeypatch.setattr(gatlow, "timezone", Recorder("timezone", datetime.timezone, reads))
    gatlow._trace_keepa("x")
    assert reads == ["datetime.now", "timezone.utc"]
    assert capsys.readouterr().out.endswith("[KEEPA-TRACE] x\n")


@pytest.mark.parametrize("missing, reported", [
    pytest.param(["_VERIFY_READ_TIMEOUT_SECONDS", "_VERIFY_CONNECT_TIMEOUT_SECONDS"],
                 "name '_VERIFY_READ_TIMEOUT_SECONDS' is not defined", id="timeout-arguments"),
    pytest.param(["_VERIFY_MAX_CONNECTIONS", "_VERIFY_MAX_KEEPALIVE", "_VERIFY_KEEPALIVE_EXPIRY_SECONDS"],
                 "name '_VERIFY_MAX_CONNECTIONS' is not defined", id="limits-arguments"),
    pytest.param(["_VERIFY_MAX_KEEPALIVE", "_VERIFY_KEEPALIVE_EXPIRY_SECONDS"],
                 "name '_VERIFY_MAX_KEEPALIVE' is not defined", id="limits-later-arguments"),
    pytest.param(["httpx.Timeout", "_VERIFY_READ_TIMEOUT_SECONDS"], "Timeout", id="timeout-callee"),
    pytest.param(["httpx.Limits", "_VERIFY_MAX_CONNECTIONS"], "Limits", id="limits-callee"),
])
def test_client_construction_reports_the_first_failing_read(kit, gatlow, monkeypatch, missing, reported):
    for name in missing:
        owner, _, attr = name.rpartition(".")
        monkeypatch.delattr(httpx if owner else gatlow, attr)
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    with pytest.raises((NameError, AttributeError), match=reported):
        mw._get_client()
    assert mw._client is None


async def test_verification_request_reads_client_get_before_the_url(kit, gatlow):
    reads = []

    class Recorded:
        def __set_name__(self, owner, name):
            self.name = name

        def __get__(self, obj, owner=None):
            reads.append("self._auth_verify_url")
            return obj.__dict__["url"]

        def __set__(self, obj, value):
            obj.__dict__["url"] = value

    class Middleware(gatlow.ApiKeyGatlow):
        _auth_verify_url = Recorded()

    class Answer:
        status_code = 200

        def json(self):
            return {"valid": True}

    async def get(url, **options):
        return Answer()

    mw = Middleware(kit.RecordingApp(), auth_verify_url="http://verify.invalid")
    mw._get_client = lambda: Recorder("client", type("Client", (), {"get": staticmethod(get)}), reads)
    assert await mw._verify_remote("key") == {"valid": True}
    assert reads[-2:] == ["client.get", "self._auth_verify_url"]
