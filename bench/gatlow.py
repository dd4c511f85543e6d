"""Cost of the API-key middleware per request, driven in process through ASGI.

    python bench/gatlow.py [--requests N] [--repeat R]

A trivial application (one receive, a start and a body message) is awaited
directly, then behind ApiKeyGatlow: in the remote mode with the key already
in the verification cache (no network), and in the fixed-key mode. Each
request gets a fresh scope, as a server gives it. Printed: requests per second
and microseconds per request, best of R runs, and the ratio to the bare app.
"""

import argparse
import asyncio
import time

from pelorin.mcp.gatlow import ApiKeyGatlow

SCOPE = {
    "type": "http", "asgi": {"version": "3.0", "spec_version": "2.3"}, "http_version": "1.1",
    "method": "POST", "scheme": "http", "path": "/mcp/tools/call", "raw_path": b"/mcp/tools/call",
    "query_string": b"", "root_path": "", "server": ("127.0.0.1", 8000), "client": ("127.0.0.1", 50000),
    "headers": [(b"host", b"127.0.0.1:8000"), (b"user-agent", b"bench"), (b"accept", b"*/*"),
                (b"content-type", b"application/json"), (b"content-length", b"2"),
                (b"authorization", b"Bearer pk-live-0123456789abcdef")],
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
    started = time.perf_counter()
    for _ in range(n):
        fresh = dict(scope)
        fresh["headers"] = list(headers)
        await target(fresh, receive, send)
    return time.perf_counter() - started


def remote_middleware():
    mw = ApiKeyGatlow(app, auth_verify_url="http://verify.invalid/v1/mcp/verify-key")
    mw._verify_cache["pk-live-0123456789abcdef"] = (
        time.time() + 3600,  # stays fresh for the whole run
        {"valid": True, "user_id": "u-1", "email": "ops@example.com", "allowed_tools": ["keepa_run"],
         "permission_enabled": True})
    return mw


async def main(n, repeat):
    import logging

    logging.getLogger("pelorin.mcp").setLevel(logging.ERROR)
    targets = [("bare app", app), ("remote, cached key", remote_middleware()),
               ("fixed key", ApiKeyGatlow(app, api_key="pk-live-0123456789abcdef"))]
    for _, target in targets:
        await drive(target, n // 10)  # warm up
    best = {name: min([await drive(target, n) for _ in range(repeat)]) for name, target in targets}
    bare = best["bare app"]
    print(f"{'':20} {'requests/s':>12} {'µs/request':>11} {'× bare':>7}")
    for name, seconds in best.items():
        print(f"{name:20} {n / seconds:12,.0f} {seconds / n * 1e6:11.2f} {seconds / bare:7.2f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--requests", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    asyncio.run(main(args.requests, args.repeat))
