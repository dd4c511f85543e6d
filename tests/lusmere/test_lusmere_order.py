"""Reads of one expression happen in the order its Python source reads them."""

import datetime

from ..conftest import Recorder


def test_jwt_lifetime_reads_datetime_now_before_timezone_utc(lusmere, kit, monkeypatch):
    reads = []
    monkeypatch.setattr(lusmere, "datetime", Recorder("datetime", datetime.datetime, reads))
    monkeypatch.setattr(lusmere, "timezone", Recorder("timezone", datetime.timezone, reads))
    now = datetime.datetime.now(datetime.timezone.utc).timestamp()
    assert 0 < lusmere._jwt_expires_in(kit.make_jwt({"exp": now + 600})) <= 600
    assert reads == ["datetime.now", "timezone.utc"]
