"""The trace writer and the trace lines of Keepa requests."""

import io
import logging
import os
import re
import subprocess
import sys
import textwrap
from datetime import datetime, timezone

import pytest

LINE = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00) pid=(\d+) \[KEEPA-TRACE\] (.*)$")


# ---------------------------------------------------------------------------
# The writer


def test_line_goes_to_stdout_and_is_appended_to_the_file(gatlow, trace_file, capsys):
    assert not trace_file.parent.exists()
    gatlow._trace_keepa("request_start method=GET path=/api/v1/keepa")
    trace_file.write_text(trace_file.read_text(encoding="utf-8") + "kept\n", encoding="utf-8")
    gatlow._trace_keepa("第二行 密钥")
    lines = trace_file.read_text(encoding="utf-8").splitlines()
    assert capsys.readouterr().out.splitlines() == [lines[0], lines[2]]
    assert lines[1] == "kept"
    first, third = LINE.match(lines[0]), LINE.match(lines[2])
    assert first.group(2) == str(os.getpid()) and first.group(3) == "request_start method=GET path=/api/v1/keepa"
    assert third.group(3) == "第二行 密钥"
    assert "第二行".encode() in trace_file.read_bytes()


@pytest.mark.parametrize("microsecond, digits", [(0, "000"), (999_900, "999"), (71_999, "071")])
def test_timestamp_has_three_truncated_digits(gatlow, monkeypatch, capsys, microsecond, digits):
    class Clock(datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime(2026, 3, 1, 8, 15, 42, microsecond, tzinfo=tz)

    monkeypatch.setattr(gatlow, "datetime", Clock)
    gatlow._trace_keepa("x")
    assert capsys.readouterr().out.startswith(f"2026-03-01T08:15:42.{digits}+00:00 pid=")


@pytest.mark.parametrize("message", ["path=/api/v1/keepa\n2026-01-01T00:00:00.000+00:00 pid=1 [KEEPA-TRACE] forged",
                                     "a\rb\r\nc"])
def test_line_breaks_inside_a_message_are_escaped(gatlow, trace_file, capsys, message):
    gatlow._trace_keepa(message)
    expected = message.replace("\r", "\\r").replace("\n", "\\n")
    (printed,) = capsys.readouterr().out.splitlines()
    (stored,) = trace_file.read_text(encoding="utf-8").split("\n")[:-1]
    assert printed == stored and LINE.match(stored).group(3) == expected


def test_output_failures_are_swallowed_separately(gatlow, trace_file, monkeypatch, capsys):
    class Broken(io.StringIO):
        def write(self, text):
            raise OSError("stdout is gone")

    monkeypatch.setattr(sys, "stdout", Broken())
    gatlow._trace_keepa("stored only")
    assert LINE.match(trace_file.read_text(encoding="utf-8")).group(3) == "stored only"
    monkeypatch.undo()

    blocked = trace_file.parent.parent / "blocked"
    blocked.parent.mkdir(parents=True, exist_ok=True)
    (blocked.parent / "blocked").write_text("a file where .tmp should be")
    monkeypatch.setattr(gatlow, "_KEEPA_TRACE_FILE", blocked / "keepa-trace.log")
    gatlow._trace_keepa("printed only")
    assert capsys.readouterr().out.endswith("[KEEPA-TRACE] printed only\n")

    monkeypatch.setattr(sys, "stdout", None)
    gatlow._trace_keepa("nowhere")


def test_interruptions_pass_through(gatlow, monkeypatch):
    class Interrupting(io.StringIO):
        def write(self, text):
            raise KeyboardInterrupt

    monkeypatch.setattr(sys, "stdout", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        gatlow._trace_keepa("x")


@pytest.mark.parametrize("message", [None, b"x", 1])
def test_message_must_be_text(gatlow, trace_file, capsys, message):
    with pytest.raises(TypeError, match="message"):
        gatlow._trace_keepa(message)
    assert not trace_file.exists() and capsys.readouterr().out == ""


def test_trace_file_is_fixed_at_load(tmp_path):
    """The file lies under the working directory of the load, and loading
    creates nothing."""
    loaded_in, moved_to = tmp_path / "a", tmp_path / "b"
    loaded_in.mkdir()
    moved_to.mkdir()
    script = textwrap.dedent(f"""
        import os, pathlib
        import pelorin.mcp.gatlow as g
        assert g._KEEPA_TRACE_FILE == pathlib.Path({str(loaded_in)!r}) / ".tmp" / "keepa-trace.log"
        assert not pathlib.Path(".tmp").exists()
        os.chdir({str(moved_to)!r})
        g._trace_keepa("after chdir")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    subprocess.run([sys.executable, "-c", script], cwd=loaded_in, env=env, check=True, capture_output=True)
    assert "after chdir" in (loaded_in / ".tmp" / "keepa-trace.log").read_text(encoding="utf-8")
    assert list(moved_to.iterdir()) == []


# ---------------------------------------------------------------------------
# Keepa requests on the road


def fixed(gatlow, app=None, **options):
    return gatlow.ApiKeyGatlow(app, api_key="right", **options)


def verdict(result):
    async def _verify_remote(token):
        if isinstance(result, BaseException):
            raise result
        return result

    return _verify_remote


def logged(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if "[KEEPA-TRACE]" in r.getMessage()]


async def test_accepted_request_lines(kit, gatlow, events, caplog):
    caplog.set_level(logging.INFO, logger="pelorin.mcp")
    mw = fixed(gatlow, kit.RecordingApp())
    scope = kit.http_scope("/api/v1/keepa/run", method="POST", query=b"z=1&api_key=right&b=2&z=3&empty=",
                           headers=[("host", "x"), ("accept", "*/*"), ("Accept", "json")])
    await kit.run(mw, scope, kit.Channels([b"abc", b"", b"defg"]))
    assert events == [
        "request_start method=POST path=/api/v1/keepa/run query_keys=api_key,b,z headers=host,accept,Accept",
        "auth_verify_start path=/api/v1/keepa/run has_api_key=True mode=fixed",
        "app_dispatch_start path=/api/v1/keepa/run",
        "request_body_chunk bytes=3 more_body=True",
        "request_body_chunk bytes=0 more_body=True",
        "request_body_chunk bytes=4 more_body=False",
        "app_dispatch_done path=/api/v1/keepa/run response_started=True response_complete=True",
    ]
    assert logged(caplog) == [(logging.INFO, "[KEEPA-TRACE] auth_verify_start path=/api/v1/keepa/run "
                                             "has_api_key=True mode=fixed")]


async def test_remote_verdict_lines(kit, gatlow, events, caplog):
    caplog.set_level(logging.INFO, logger="pelorin.mcp")
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), auth_verify_url="http://verify.invalid")

    mw._verify_remote = verdict(None)
    channels = await kit.run(mw, kit.http_scope("/api/v1/keepalive", headers=kit.bearer("")))
    assert channels.status == 401
    assert [e.split(" elapsed_ms=")[0] for e in events] == [
        "request_start method=GET path=/api/v1/keepalive query_keys= headers=authorization",
        "auth_verify_start path=/api/v1/keepalive has_api_key=False mode=remote",
        "auth_verify_done path=/api/v1/keepalive valid=False",
    ]
    assert re.fullmatch(r"auth_verify_done .* elapsed_ms=\d+", events[-1])

    events.clear()
    mw._verify_remote = verdict(gatlow.ApiKeyVerificationUnavailable("HTTP 502"))
    assert (await kit.run(mw, kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")))).status == 503
    assert [e.split(" elapsed_ms=")[0] for e in events][2:] == [
        "auth_verify_error path=/api/v1/keepa error_type=ApiKeyVerificationUnavailable"]

    events.clear()
    mw._verify_remote = verdict({"user_id": "u"})
    await kit.run(mw, kit.http_scope("/api/v1/keepa", headers=kit.bearer("k")))
    assert [e.split(" ")[0] for e in events] == ["request_start", "auth_verify_start", "auth_verify_done",
                                                 "app_dispatch_start", "request_body_chunk", "app_dispatch_done"]
    assert "valid=True" in events[2]

    lines = logged(caplog)
    assert [level for level, _ in lines] == [logging.INFO, logging.INFO, logging.INFO, logging.WARNING,
                                             logging.INFO, logging.INFO]
    assert re.fullmatch(r"\[KEEPA-TRACE\] auth_verify_error path=/api/v1/keepa "
                        r"error_type=ApiKeyVerificationUnavailable elapsed_ms=\d+", lines[3][1])
    assert re.fullmatch(r"\[KEEPA-TRACE\] auth_verify_done path=/api/v1/keepa valid=True elapsed_ms=\d+",
                        lines[5][1])


async def test_internal_mode_shows_the_configured_mode(kit, gatlow, events):
    mw = gatlow.ApiKeyGatlow(kit.RecordingApp(), trust_upstream_corvane_identity=True)
    await kit.run(mw, kit.http_scope("/api/v1/keepa", headers=[("x-corvane-user-email", "a@b.c")]))
    assert events[1] == "auth_verify_start path=/api/v1/keepa has_api_key=False mode=fixed"
    assert [e.split(" ")[0] for e in events][2:] == ["app_dispatch_start", "request_body_chunk",
                                                     "app_dispatch_done"]


async def test_refused_fixed_key_has_only_the_opening_lines(kit, gatlow, events):
    channels = await kit.run(fixed(gatlow, kit.RecordingApp()), kit.http_scope("/api/v1/keepa", query=b"api_key=no"))
    assert channels.status == 401 and len(events) == 2


@pytest.mark.parametrize("path, options", [
    ("/api/v1/data", {}),
    ("/api/v1/keepa", {"protected_path_prefixes": ("/mcp",)}),
    ("/messages/api/v1/keepa", {}),
])
async def test_untraced_requests(kit, gatlow, events, caplog, path, options):
    caplog.set_level(logging.DEBUG, logger="pelorin.mcp")
    await kit.run(fixed(gatlow, kit.RecordingApp(), **options), kit.http_scope(path, headers=kit.bearer("right")))
    await kit.run(fixed(gatlow, kit.RecordingApp(), **options), kit.http_scope("/api/v1/keepa", method="OPTIONS"))
    assert events == [] and logged(caplog) == []


async def test_half_sent_answer_and_failing_application(kit, gatlow, events):
    async def half(scope, receive, send):
        await receive()
        await receive()
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"x", "more_body": True})
        raise ValueError("boom")

    mw = fixed(gatlow, kit.RecordingApp(half))
    with pytest.raises(ValueError, match="boom"):
        await kit.run(mw, kit.http_scope("/api/v1/keepa", headers=kit.bearer("right")))
    assert events[-2:] == ["request_body_chunk bytes=0 more_body=False",
                           "app_dispatch_done path=/api/v1/keepa response_started=True response_complete=False"]
    assert not any("http.disconnect" in e for e in events)


async def test_forged_path_cannot_add_lines(kit, gatlow, trace_file, caplog, capsys):
    caplog.set_level(logging.INFO, logger="pelorin.mcp")
    path = "/api/v1/keepa/x\n2026-01-01T00:00:00.000+00:00 pid=1 [KEEPA-TRACE] forged\r"
    mw = fixed(gatlow, kit.RecordingApp())
    scope = kit.http_scope(path, query=b"a%0Ab=1&api_key=right", headers=[(b"x\nforged", b"1")])
    await kit.run(mw, scope)
    stored = trace_file.read_text(encoding="utf-8").split("\n")[:-1]
    assert len(stored) == 5 and all(LINE.match(line) for line in stored)
    assert "\\nforged" in stored[0] and "query_keys=a\\nb,api_key" in stored[0]
    assert capsys.readouterr().out.splitlines() == stored
    assert all("\n" not in message and "\r" not in message for _, message in logged(caplog))
