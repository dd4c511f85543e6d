"""What every module's tests share: derived kinds of the JSON containers and
texts, a dict key that runs code in the middle of a lookup, what hostile code
hands back, an exception class whose constructor picks a subclass, a
StopIteration that makes another exception and how a coroutine step ends, an
awaitable that parks a coroutine out of its parent's reach, a collection
started at a chosen allocation, and the leak check.

Test modules import these as `from ..conftest import DictSub, assert_no_leak`.
"""

import gc
import importlib.util
import inspect
import subprocess
import sys
import textwrap

import pytest


# The package's native modules: the eight and the two probes.
NATIVE_MODULES = [
    "pelorin.amazon_rufus.services.telvara",
    "pelorin.keepa.services.brondic",
    "pelorin.mcp.gatlow",
    "pelorin.mcp.lusmere",
    "pelorin.query.services.planner.ombrith",
    "pelorin.api.schemas.query",
    "pelorin.google_trends.sarvick",
    "pelorin.app.services.kelpton",
    "pelorin._pysem_probe",
    "pelorin._aio_probe",
]


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


def colliding_key(name, change, skip=0):
    """A dict key whose hash is that of `name`: looking `name` up in the dict
    compares the two, and the first comparison after `skip` others calls
    change() (user code run in the middle of a lookup). It never compares
    equal. (Put into a dict that holds `name` already, the key is compared
    once there: skip that one.)"""

    class Colliding:
        changed = False
        skipped = 0

        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if Colliding.skipped < skip:
                Colliding.skipped += 1
            elif not Colliding.changed:
                Colliding.changed = True
                change()
            return False

    return Colliding()


def self_containing_list():
    held = []
    held.append(held)
    return held


# What an override, a patched hook or a dunder can hand back in place of what
# is asked of it: a name for the row, and a maker of a fresh value.
HOSTILE_ANSWERS = {
    "float": lambda: 1.5,
    "None": lambda: None,
    "StrSub": lambda: StrSub("x"),
    "2**63-1": lambda: 2**63 - 1,
    "2**63": lambda: 2**63,
    "-2**63": lambda: -(2**63),
    "-2**63-1": lambda: -(2**63) - 1,
    "self-containing-list": self_containing_list,
}


class ApiError(Exception):
    """`raise ApiError` raises a NotFound: the constructor picks the
    subclass, so that the class raised is not the exception's own."""

    def __new__(cls, *args):
        return super().__new__(NotFound if cls is ApiError else cls, *args)


class NotFound(ApiError):
    pass


def raise_api_error(*args, **kwargs):
    raise ApiError


# The three above as source, for a fresh interpreter to run before an import.
API_ERROR_SOURCE = "\n".join(inspect.getsource(o) for o in (ApiError, NotFound, raise_api_error))


class Disguised(StopIteration):
    """A StopIteration whose making gives another exception: raised, it
    leaves its own class pending beside a KeyError."""

    def __new__(cls, *args):
        return KeyError("made instead")


def settled(op):
    """How op() ends: its result, a StopIteration's value, or the error
    raised with its cause, for comparing a native coroutine with Python's."""
    try:
        return ("ok", op())
    except StopIteration as e:
        return ("stop", repr(e.value))
    except BaseException as e:
        return ("raise", type(e).__name__, str(e), repr(e.__cause__))


class Parking:
    """An awaitable that parks whatever awaits it once, then gives `then` (or
    raises it, when it is an exception). Throwing into it fails where the
    `throw` attribute is looked up, so that a parent throwing into a child
    parked here takes that error and ends while the child stays suspended
    (as with Python's own coroutines), to be resumed on its own."""

    def __init__(self, then=None):
        self.then = then

    def __await__(self):
        return _ParkedIterator(self.then)


class _ParkedIterator:
    def __init__(self, then):
        self.then, self.steps = then, 0

    def __iter__(self):
        return self

    def __next__(self):
        self.steps += 1
        if self.steps == 1:
            return "parked"
        if isinstance(self.then, BaseException):
            raise self.then
        raise StopIteration(self.then)

    @property
    def throw(self):
        raise LookupError("no throw")


def orphan_by_throw(top, depth=1):
    """Starts `top` (which parks on a Parking, `depth` awaits down) and throws
    into it: the throw fails at the Parking, `top` ends, and the coroutine it
    awaited is left parked. Gives that coroutine."""
    top.send(None)
    child = top
    for _ in range(depth):
        child = child.cr_await
    with pytest.raises(LookupError, match="no throw"):
        top.throw(ValueError)
    return child


def orphan_by_throw_while_made(top, depth=1):
    """Throws into `top` before its first step an exception whose making
    starts it (it parks, as above): raised where `top` is parked, the
    exception ends it, and the coroutine it awaited is left parked. Gives
    that coroutine."""
    parked = []

    class Step(Exception):
        def __init__(self):
            super().__init__()
            top.send(None)
            child = top
            for _ in range(depth):
                child = child.cr_await
            parked.append(child)

    with pytest.raises(Step):
        top.throw(Step)
    assert top.cr_await is None and not top.cr_suspended
    return parked[0]


def read_every_list():
    """Reads every list and tuple made or kept since the last full
    collection (a collection moves what it keeps out of the youngest
    generation before its finalizers run)."""
    for generation in (0, 1):
        for o in gc.get_objects(generation):
            if type(o) is list or type(o) is tuple:
                list(o)


KEPT = []  # what a collection must not free


def drain_free_lists():
    """Every list or dict made from here on is allocated (none comes from a
    free list), as long as none is freed."""
    KEPT.append(([[] for _ in range(100)], [{} for _ in range(100)]))


def collection_at(k, change, call):
    """call()'s outcome (its result, or its error as (type, message)) while
    a collection starts at the allocation that first has k more objects
    tracked by the collector alive than at the start (the k-th allocation,
    unless some were freed meanwhile), whose one finalizer reads every list
    and runs change(); and whether that finalizer ran within the call."""
    ran = []

    class Doomed:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            ran.append(True)
            read_every_list()
            change()

    thresholds = gc.get_threshold()
    gc.collect()
    doomed = Doomed()
    drain_free_lists()
    try:
        del doomed
        gc.set_threshold(gc.get_count()[0] + k - 1)
        try:
            outcome = call()
        except RuntimeError as error:
            outcome = (type(error), str(error))
        within = bool(ran)
    finally:
        gc.set_threshold(*thresholds)
        gc.collect()
        KEPT.clear()
    return outcome, within


def _snapshot(watched):
    gc.collect()
    return sys.getallocatedblocks(), len(gc.get_objects()), [sys.getrefcount(o) for o in watched]


def _verdict(before, after, watched, blocks, objects):
    grown_blocks, grown_objects = after[0] - before[0], after[1] - before[1]
    if blocks is not None:
        assert grown_blocks < blocks, f"{grown_blocks} more allocated blocks after the measured rounds"
    if objects is not None:
        assert grown_objects < objects, f"{grown_objects} more objects tracked by the collector"
    for o, was, now in zip(watched, before[2], after[2]):
        assert was == now, f"{now - was} references to {o!r} kept"
    assert gc.garbage == [], "uncollectable garbage"


def assert_no_leak(run, *, warmup=5, rounds=40, blocks=200, objects=None, watched=()):
    """Runs `run()` `warmup` times, then `rounds` times more, and fails when
    the measured rounds leave `blocks` or more memory blocks (or, given a
    limit, collector-tracked objects) behind, change the reference counts of
    `watched` objects, or make uncollectable garbage. A limit of None is not
    checked."""
    assert not inspect.iscoroutinefunction(run), "use assert_no_leak_async"
    for _ in range(warmup):
        run()
    before = _snapshot(watched)
    for _ in range(rounds):
        run()
    _verdict(before, _snapshot(watched), watched, blocks, objects)


async def assert_no_leak_async(run, *, warmup=5, rounds=40, blocks=200, objects=None, watched=()):
    """assert_no_leak for a coroutine function, awaited in the running loop."""
    for _ in range(warmup):
        await run()
    before = _snapshot(watched)
    for _ in range(rounds):
        await run()
    _verdict(before, _snapshot(watched), watched, blocks, objects)


class Recorder:
    """Stands for `target`, noting each attribute read as "name.attr"."""

    def __init__(self, name, target, reads):
        self._name, self._target, self._reads = name, target, reads

    def __getattr__(self, attr):
        self._reads.append(f"{self._name}.{attr}")
        return getattr(self._target, attr)


def run_python(script, *args, hung, flags=(), timeout=60):
    """A fresh interpreter's run of `script` (`args` after it in sys.argv,
    `flags` before it), its output captured as text. A run still going after
    `timeout` seconds fails the test with the message `hung`."""
    try:
        return subprocess.run([sys.executable, *flags, "-c", script, *args], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(hung)


def load_afresh(name, made=None):
    """Loads one more module object of the module `name`, beside the one
    imported, and gives it; made(module), when given, is called with it
    before its code runs (so that code run by the load already sees it)."""
    found = importlib.util.find_spec(name)
    again = importlib.util.module_from_spec(found)
    if made is not None:
        made(again)
    found.loader.exec_module(again)
    return again


# load_afresh as source, for a fresh interpreter to run first.
LOAD_AFRESH_SOURCE = "import importlib.util\n\n\n" + inspect.getsource(load_afresh)


# A fresh interpreter's load of module NAME whose load-time build runs Python
# code that calls reenter(): after `imports`, and with `patch` in place, `load`
# imports the module; then `unpatch` runs and it prints "loaded", the count of
# loads done again, and `report` (or the name of the error that ended the
# import).
_REENTERED_LOAD = """
import gc, sys, types
{imports}

NAME = {name!r}
loads, done = [], []


def load_again():
    load_afresh(NAME)
    loads.append(True)  # and dropped: the module loaded last is the one kept


class Cycle:
    def __init__(self):
        self.me = self

    def __del__(self):
        load_again()


{reenter}


{patch}
try:
    {load}
except BaseException as error:
    print(type(error).__name__)
else:
    {unpatch}
    gc.collect()
    print("loaded", len(loads), {report})
"""

# How the build calls reenter(): "finalizer", once, where a collection during
# the build frees garbage whose finalizer loads the module; "every-time", at
# each call a load of the module, so that loads nest until RecursionError.
REENTER = {
    "finalizer": "def reenter():\n    if not done:\n        done.append(True)\n        Cycle()\n        gc.collect()",
    "every-time": "reenter = load_again",
}


def reentering_read(module, attr):
    """The patch and unpatch of a reentered load where the build's read of
    `attr` from `module` (as sys.modules holds it) calls reenter() first."""
    patch = textwrap.dedent(f"""\
        import {module}


        class Reentering(types.ModuleType):
            @property
            def {attr}(self):
                reenter()
                return {module}.{attr}


        sys.modules[{module!r}] = Reentering({module!r})""")
    return {"patch": patch, "unpatch": f"sys.modules[{module!r}] = {module}"}


def reentered_load(reenter, *, name, imports, load, report, patch, unpatch):
    """What a reentered load (see _REENTERED_LOAD), re-entered as
    REENTER[reenter] says, prints; the test fails unless the interpreter
    exits with 0 within 60 seconds."""
    script = LOAD_AFRESH_SOURCE + _REENTERED_LOAD.format(
        name=name, imports=imports, load=load, report=report, patch=patch, unpatch=unpatch, reenter=REENTER[reenter])
    result = run_python(script, hung=f"the {reenter} load of {name} hung")
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()
