"""The send slot of native coroutines keeps the interpreter's contract: on an
error it returns -1 with the exception set and the result pointer NULL, as
the interpreter's own coroutines do (a debug interpreter asserts the NULL
where Python code awaits the coroutine)."""

import ctypes

import pytest

from pelorin import _aio_probe as probe

PYGEN_ERROR = -1

_send = ctypes.pythonapi.PyIter_Send
_send.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.POINTER(ctypes.c_void_p)]
_send.restype = ctypes.c_int


def failed_send(coro, value=None):
    """PyIter_Send(coro, value) that must fail: the error's class name and
    what the result pointer holds afterwards (None for NULL)."""
    out = ctypes.c_void_p(1)  # anything but NULL, to see it overwritten
    try:
        _send(coro, value, ctypes.byref(out))
    except BaseException as error:  # ctypes raises the error the call set
        return type(error).__name__, out.value
    pytest.fail("the send did not fail")


class Raising:
    def __await__(self):
        raise KeyError("boom")


class Parks:
    def __await__(self):
        yield "parked"


relay_one = probe.make_relay("relay_one", lambda awaitable: awaitable)


def ended(make):
    coro = make(Parks())
    coro.send(None)
    coro.close()
    return coro


@pytest.mark.parametrize("make", [probe.await_one, relay_one], ids=["body", "relay"])
@pytest.mark.parametrize("case, error", [
    ("body-raised", "KeyError"),
    ("ended", "RuntimeError"),
    ("first-send-not-none", "TypeError"),
])
def test_a_failed_send_leaves_the_result_null(make, case, error):
    if case == "body-raised":
        coro, value = make(Raising()), None
    elif case == "ended":
        coro, value = ended(make), None
    else:
        coro, value = make(Parks()), 1
    assert failed_send(coro, value) == (error, None)
    coro.close()


class Ready:
    def __await__(self):
        return "ready"
        yield  # pragma: no cover


@pytest.mark.parametrize("kind", ["body", "relay"])
def test_a_send_into_a_running_coroutine_leaves_the_result_null(kind):
    seen = []
    coro = None

    def step(*_):
        seen.append(failed_send(coro))
        return Ready()

    coro = probe.call_now(step) if kind == "body" else probe.make_relay("steps", step)(None)
    with pytest.raises(StopIteration):
        coro.send(None)
    assert seen == [("ValueError", None)]
