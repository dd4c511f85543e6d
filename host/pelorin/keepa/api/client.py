"""Asynchronous Keepa client.

There is no Keepa service behind this stand-in: each API key answers from a
script registered with `script_key` (token figures, answers, errors, or
callables that may await, e.g. to hold a request open). A key without a script
is refused as Keepa refuses an unknown key. `events` records what every client
did, in order, across keys.
"""

from __future__ import annotations

import inspect
from collections import deque
from dataclasses import dataclass, field
from typing import Any

from pelorin.keepa.domain.exceptions import KeepaApiError

events: list[tuple[Any, ...]] = []


@dataclass
class KeyScript:
    """Answers of one key. `token_status` and `responses` are consumed in
    order, the last one repeating; an item that is an exception is raised, a
    callable is called (and awaited when it gives an awaitable) for its answer.
    `enter` and `exit` are optional hooks of the same kind run on entering and
    leaving the client."""

    token_status: deque = field(default_factory=deque)
    responses: deque = field(default_factory=deque)
    enter: Any = None
    exit: Any = None


_scripts: dict[str, KeyScript] = {}


def script_key(api_key: str, *, token_status: Any = (), responses: Any = (), enter: Any = None, exit: Any = None) -> KeyScript:
    script = KeyScript(deque(_as_items(token_status)), deque(_as_items(responses)), enter, exit)
    _scripts[api_key] = script
    return script


def reset_scripts() -> None:
    _scripts.clear()
    events.clear()


def _as_items(value: Any) -> list[Any]:
    return list(value) if isinstance(value, (list, tuple)) else [value]


async def _play(item: Any, *args: Any) -> Any:
    if isinstance(item, BaseException):
        raise item
    if callable(item):
        item = item(*args)
        if inspect.isawaitable(item):
            item = await item
    return item


class KeepaApiClient:
    def __init__(self, *, api_key: str):
        self.api_key = api_key
        self._open = False

    def _script(self) -> KeyScript:
        script = _scripts.get(self.api_key)
        if script is None:
            raise KeepaApiError("Keepa API key 无效或已停用", code="KEEPA_AUTH_ERROR", status_code=401)
        return script

    @staticmethod
    def _next(queue: deque) -> Any:
        if not queue:
            return None
        return queue.popleft() if len(queue) > 1 else queue[0]

    async def __aenter__(self) -> "KeepaApiClient":
        events.append(("enter", self.api_key))
        script = _scripts.get(self.api_key)
        if script is not None and script.enter is not None:
            await _play(script.enter)
        self._open = True
        return self

    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self._open = False
        events.append(("exit", self.api_key, exc_type))
        script = _scripts.get(self.api_key)
        if script is not None and script.exit is not None:
            await _play(script.exit)

    def _check_open(self) -> None:
        if not self._open:
            raise RuntimeError("KeepaApiClient used outside 'async with'")

    async def token_status(self) -> dict[str, Any]:
        self._check_open()
        events.append(("token_status", self.api_key))
        script = self._script()
        return await _play(self._next(script.token_status))

    async def get_json(self, endpoint: str, params: dict[str, Any]) -> dict[str, Any]:
        self._check_open()
        events.append(("get_json", self.api_key, endpoint, params))
        script = self._script()
        return await _play(self._next(script.responses), endpoint, params)
