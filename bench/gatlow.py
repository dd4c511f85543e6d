"""What the API-key middleware adds to each request, driven in process through ASGI.

    python bench/gatlow.py [--requests N] [--rounds R] [--baseline STAGE]

A trivial application (one receive, a start and a body message) is awaited
directly ("bare app"), and behind ApiKeyGatlow: in the remote mode with the
key already in the verification cache (no network), and in the fixed-key
mode. Each request gets a fresh scope, as a server gives it.

The machines are shared and noisy, so the targets run in interleaved rounds
inside one process (the order rotating from round to round), each round N
requests through one loop.run_until_complete, timed on the thread's CPU
clock. Printed per middleware mode: the median over rounds of the time added
per request (t_mw/N - t_bare/N, in µs, the round's own bare time) and of the
ratio t_mw/t_bare. With --baseline, the middleware as built in the staged
package tree STAGE runs in the same rounds, and the median over rounds of
the added time's ratio (baseline's over this build's) is printed too.
"""

import argparse
import asyncio
import gc
import logging
import statistics
import time

from pelorin.mcp.gatlow import ApiKeyGatlow

KEY = "pk-live-0123456789abcdef"
SCOPE = {
    "type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"}, "http_version": "1.1",
    "method": "POST", "scheme": "http", "path": "/mcp/tools/call", "raw_path": b"/mcp/tools/call",
    "query_string": b"", "root_path": "", "server": ("127.0.0.1", 8000), "client": ("127.0.0.1", 50000),
    "headers": [(b"host", b"127.0.0.1:8000"), (b"user-agent", b"bench"), (b"accept", b"*/*"),
                (b"content-type", b"application/json"), (b"content-length", b"2"),
                (b"authorization", b"Bearer " + KEY.encode())],
}
REQUEST = {"type": "http.request", "body": b"{}", "more_body": False}
START = {"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"application/json")]}
BODY = {"type": "http.response.body", "body": b"{}"}


async def app(scope, receive, send):
    await receive()
    await send(START)
    await send(BODY)


async def receive():
    return REQUEST


async def send(message):
    pass


async def drive(target, n):
    scope, headers = SCOPE, SCOPE["headers"]
    for _ in range(n):
        fresh = dict(scope)
        fresh["headers"] = list(headers)
        await target(fresh, receive, send)


def remote_middleware(kind=ApiKeyGatlow):
    mw = kind(app, auth_verify_url="http://verify.invalid/v1/mcp/verify-key")
    mw._verify_cache[KEY] = (
        time.time() + 3600,  # stays fresh for the whole run
        {"valid": True, "user_id": "u-1", "email": "ops@example.com", "allowed_tools": ["keepa_run"],
         "permission_enabled": True})
    return mw


def timed(loop, target, n):
    gc.collect()
    started = time.thread_time()
    loop.run_until_complete(drive(target, n))
    return time.thread_time() - started


def main(n, rounds, baseline):
    logging.getLogger("pelorin.mcp").setLevel(logging.ERROR)
    targets = {"bare app": app, "remote, cached key": remote_middleware(),
               "fixed key": ApiKeyGatlow(app, api_key=KEY)}
    if baseline:
        from _ratio import load_baseline
        old = load_baseline("pelorin.mcp.gatlow", baseline).ApiKeyGatlow
        targets["remote (baseline)"] = remote_middleware(old)
        targets["fixed (baseline)"] = old(app, api_key=KEY)
    names = list(targets)
    loop = asyncio.new_event_loop()
    try:
        for target in targets.values():
            timed(loop, target, max(1, n // 4))  # warm up
        times = {name: [] for name in names}
        for i in range(rounds):
            shift = i % len(names)
            for name in names[shift:] + names[:shift]:
                times[name].append(timed(loop, targets[name], n))
    finally:
        loop.close()
    bare = times["bare app"]
    print(f"{n:,} requests a round, {rounds} interleaved rounds, thread CPU time; medians over rounds")
    print(f"{'bare app':20} {statistics.median(bare) / n * 1e6:8.3f} µs/request")
    for name in names[1:]:
        added = statistics.median((mw - b) / n * 1e6 for mw, b in zip(times[name], bare))
        ratio = statistics.median(mw / b for mw, b in zip(times[name], bare))
        print(f"{name:20} {statistics.median(times[name]) / n * 1e6:8.3f} µs/request   "
              f"added {added:6.3f} µs/request   ratio {ratio:5.2f}x")
    for new, old in [("remote, cached key", "remote (baseline)"), ("fixed key", "fixed (baseline)")]:
        if old in times:
            gain = statistics.median((o - b) / (c - b) for c, o, b in zip(times[new], times[old], bare))
            print(f"{new:20} added time, baseline over this build: {gain:5.2f}x")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--requests", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--baseline", help="staged package tree of the build to compare with")
    args = parser.parse_args()
    main(args.requests, args.rounds, args.baseline)
