"""What the integer check builds once (numbers.Number, taken on the first
argument that is no int, float or index) may be asked for again while it is
built: importing `numbers` runs Python code, a collection's callbacks and
finalizers or a signal handler among it, and that code may check an integer
too. The re-entry gets the answer that the same check written in Python (with
`import numbers` in the function) gets, and nothing hangs.

Each case runs in a fresh interpreter, where the first build has not yet
happened, under a deadline."""

import pytest

from ..conftest import run_python

SCRIPT = r"""
import gc, signal, sys

hostile, entry = sys.argv[1], sys.argv[2]


def python_int_arg(value, arg):
    # The integer check as Python code writes it (int, float and index
    # arguments never reach numbers).
    import numbers
    if isinstance(value, numbers.Number) and hasattr(type(value), "__int__"):
        return int(value)
    raise TypeError(f"argument '{arg}' must be int, not {type(value).__name__}")


if entry == "probe":
    from pelorin import _pysem_probe as probe
    call = lambda: probe.int_arg(None)
elif entry == "telvara":
    from pelorin.amazon_rufus.services.telvara import Telvara
    call = lambda: Telvara()._short_value("abc", None)
elif entry == "brondic":
    from pelorin.keepa.services import brondic
    call = lambda: brondic._build_quota_warning(before_quota={}, estimated_tokens=1, reserve_tokens=None)
else:
    call = lambda: python_int_arg(None, entry)

# The first build then runs the module's own code.
sys.modules.pop("numbers", None)
outcomes = []


def record(when):
    try:
        outcomes.append((when, "returned", repr(call())))
    except Exception as error:
        outcomes.append((when, type(error).__name__, str(error)))


def building():
    # numbers is being imported (by the first build, or by the Python check)
    # and already defines Number.
    module = sys.modules.get("numbers")
    return module is not None and getattr(module.__spec__, "_initializing", False) and hasattr(module, "Number")


def reenter():
    if not outcomes and building():
        record("within the build")
        return True
    return False


if hostile == "gc callback":
    gc.callbacks.append(lambda phase, info: phase == "start" and reenter())
elif hostile == "finalizer":
    class Doomed:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            if not outcomes and not reenter():
                Doomed()  # garbage for the next collection

    Doomed()
elif hostile == "signal handler":
    signal.signal(signal.SIGUSR1, lambda signum, frame: reenter())
    armed = []

    def raise_while_building(phase, info):
        if phase == "start" and not armed and building():
            armed.append(True)
            signal.raise_signal(signal.SIGUSR1)  # handled at the build's next bytecode

    gc.callbacks.append(raise_while_building)

gc.set_threshold(1)
record("outside")
gc.set_threshold(700)
print(outcomes)
"""

ENTRIES = {"probe": "value", "telvara": "limit", "brondic": "reserve_tokens"}


def run(hostile, entry):
    done = run_python(SCRIPT, hostile, entry, hung=f"{entry} hung with a {hostile} re-entering the integer check")
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout.strip()


@pytest.mark.parametrize("entry", sorted(ENTRIES))
@pytest.mark.parametrize("hostile", ["gc callback", "finalizer", "signal handler"])
def test_a_reentry_into_the_first_build_answers_as_python_does(hostile, entry):
    native = run(hostile, entry)
    expected = run(hostile, ENTRIES[entry])
    message = f"argument '{ENTRIES[entry]}' must be int, not NoneType"
    assert expected == str([("within the build", "TypeError", message), ("outside", "TypeError", message)])
    assert native == expected
