"""A native module's import under allocation failure: with the n-th allocation
of the import made to fail (one at a time, for n = 0, 1, 2, ...), every
failed import raises MemoryError, never another error and never a C++
exception escaping into C, and once nothing fails the module imports and
works, built on whatever the failed loads left behind.

The walk runs in a fresh interpreter that has imported what the module
imports, so that it walks the module's own load: the creation of the module
(its entry and creation slot), then its body, each until it succeeds with the
failure still ahead. The body is walked twice: first as the process's first
load, which builds the states kept for the process (the allocations before a
given point shrink as earlier attempts fill caches, so that a point may be
passed over), then as a load made again once one completed, whose
allocations stay put from one attempt to the next.

Not judged here is the interpreter's and other libraries' own conduct under
allocation failure: an error raised inside Python code that the load runs
(pydantic, re, dataclasses, the imports it makes) is theirs; so is a crash
other than a C++ exception escaping into C, as CPython 3.11's compiler (run
at load for parameter defaults, the coroutine template and dataclasses)
damages its heap when an allocation fails inside it, and the process then
falls at any later allocation or collection. The walk goes on past them."""

import asyncio
import importlib
import json

import pytest

from ..conftest import NATIVE_MODULES, run_python

pytest.importorskip("_testcapi")

# One JSON line per attempt: [phase, n, outcome, detail], the phases being
# "create", "first" (the body as the first load) and "again" (the body as a
# load made again). Outcomes: "MemoryError"; "native" (another error, raised
# by the module's own code) or "foreign" (raised inside Python code that the
# load called), their detail the error; "swallowed" (a success, the failure
# struck somewhere); "done" (a success, the failure still ahead, which ends
# the phase). Last the check's line. Exit code 3 asks for a fresh interpreter
# from the next n.
WALK = r"""
import ctypes, faulthandler, importlib, importlib.util, json, resource, sys
import _testcapi

faulthandler.enable()
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # the crashes leave no core files
name, phase, start, every, then_every = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:6])
{imports}
spec = importlib.util.find_spec(name)
completed = []  # loads that completed, dropped from pybind11's cache


def struck_already(n):
    # Whether the (n+1)-th allocation since the hook was set has come: if
    # not, fewer than n + 100 allocations reach it.
    try:
        for _ in range(n + 100):
            bytearray(8)
    except MemoryError:
        return False
    return True


def described(error):
    # Type, message and cause, and whose it is: the module's own when the
    # innermost frame is the one that called its creation or body (and not
    # Python code that the load ran, an import among it). Read without the
    # traceback module: the code of a failed compile may be unfit to show.
    names, tb = [], error.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    own = names[-1:] == ["_call_with_frames_removed"] and names[-2:-1] in (["create_module"], ["exec_module"])
    cause = error.__cause__ or error.__context__
    text = f"{{type(error).__name__}}: {{error}}"
    text += f" (from {{type(cause).__name__}})" if cause is not None else ""
    return ("native" if own else "foreign"), text


def attempt(n, run):
    _testcapi.set_nomemory(n, n + 1)
    try:
        run()
    except BaseException as error:
        _testcapi.remove_mem_hooks()
        return ("MemoryError", None) if isinstance(error, MemoryError) else described(error)
    struck = struck_already(n)
    _testcapi.remove_mem_hooks()
    return ("swallowed" if struck else "done"), None


def forget(module):
    # pybind11 keeps each completed module in the interpreter's dict and
    # hands it back to a later creation: dropped, the body runs again. (A
    # borrowed reference, which ctypes would take for its own as a py_object
    # result: read through a plain pointer.)
    api = ctypes.pythonapi
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
    api.PyInterpreterState_GetDict.restype = ctypes.c_void_p
    state = ctypes.cast(api.PyInterpreterState_GetDict(api.PyInterpreterState_Get()), ctypes.py_object).value
    state.get("__pybind11_module_cache", {{}}).pop(name, None)
    completed.append(module)


def fresh_module():
    module = importlib.util.module_from_spec(spec)
    if any(module is done for done in completed):
        sys.exit(3)  # still kept
    return module


def steps(n):
    while True:
        yield n
        n += 1 if n < every else then_every


phases = ["create", "first", "again"]
if phase == "again":  # a fresh interpreter: one load first
    module = sys.modules[name] = fresh_module()
    spec.loader.exec_module(module)
print("ready", flush=True)
for walked in phases[phases.index(phase):]:
    if walked == "again":
        forget(module)
    for n in steps(start if walked == phase else 0):
        if walked == "create":
            run = lambda: spec.loader.create_module(spec)
        else:
            module = fresh_module()
            sys.modules[name] = module
            run = lambda: spec.loader.exec_module(module)
        outcome, detail = attempt(n, run)
        print(json.dumps([walked, n, outcome, detail]), flush=True)
        if walked != "create" and outcome != "done":
            del sys.modules[name]
            if outcome == "swallowed":
                forget(module)
        if outcome == "done":
            break

# After the walk, the import as a program makes it, and one call.
del sys.modules[name]
mod = importlib.import_module(name)
print(json.dumps(["check", None, "done", repr({check})]), flush=True)
"""


def walk(name, imports, check, every=1 << 30, then_every=1):
    """The attempts of a walk over the import of module `name`: [phase, n,
    outcome, detail] rows, a crash being the outcome "crash" with its report,
    and last the check's row. Every n is walked up to `every`, then every
    `then_every`-th."""
    rows, phase, start = [], "create", 0
    script = WALK.format(imports=imports, check=check)

    def after(n):
        return n + 1 if n < every else n + then_every

    while True:
        run = run_python(script, name, phase, str(start), str(every), str(then_every),
                         hung=f"the walk over {name}'s import hung", timeout=600)
        ran = [json.loads(line) for line in run.stdout.splitlines() if line.startswith("[")]
        rows += ran
        if run.returncode == 0:
            return rows
        if "ready" not in run.stdout.splitlines():
            pytest.fail(f"the set-up of the walk over {name}'s import failed:\n{run.stderr}")
        # Where the run stopped: the attempt after the last one reported.
        if ran and ran[-1][2] == "done":
            if ran[-1][0] not in ("create", "first"):
                pytest.fail(f"the import after the walk over {name}'s import failed:\n{run.stderr}")
            phase, start = {"create": "first", "first": "again"}[ran[-1][0]], 0
        elif ran:
            phase, start = ran[-1][0], after(ran[-1][1])
        if run.returncode == 3:  # the module still kept: on in a fresh interpreter
            continue
        # A crash, at that attempt.
        rows.append([phase, start, "crash", run.stderr])
        start = after(start)


# pybind11's internals are made by the first module of a process: its own
# set-up, made before the walk by importing a probe.
INTERNALS = "import pelorin._pysem_probe"

# Per module: what it imports (the walk's set-up), one small call on it
# (`mod`), whose answer must be that of the module imported as usual, and
# the walk: every n, or every n up to a bound and then every k-th. brondic
# and lusmere make a data class early in their loads: every n is walked up
# to it and every 5th beyond, as the compiler that the data class runs
# crashes the process at many attempts there, each costing a fresh
# interpreter.
MODULES = {
    "pelorin.amazon_rufus.services.telvara": (
        "import re, typing",
        'mod.Telvara().format_data({"questions": ["q"], "answers": [{"text": "- a"}]})'),
    "pelorin.keepa.services.brondic": (
        "import asyncio, inspect, json, logging, re, time\n"
        "import collections.abc, dataclasses, datetime, pathlib, typing, uuid\n"
        "for host in ['accounts', 'api.client', 'api.scenarios', 'best_sellers_formatter', 'category_formatter',\n"
        "             'config', 'deal_formatter', 'domain.exceptions', 'domain.models', 'export',\n"
        "             'lightning_deal_formatter', 'product_formatter', 'search_insights_formatter',\n"
        "             'seller_formatter', 'time']:\n"
        "    importlib.import_module('pelorin.keepa.' + host)\n"
        "import pelorin.shared.file_uploads",
        'mod._sanitize_filename_part("a b__c")', 700, 5),
    "pelorin.mcp.gatlow": (
        "import asyncio, dataclasses, datetime, inspect, logging, pathlib, time\n"
        "import pelorin.api.cors, pelorin.config, starlette.requests, starlette.types",
        '(mod._VERIFY_STALE_GRACE_SECONDS, mod._VERIFY_KEEPALIVE_EXPIRY_SECONDS,'
        ' asyncio.run(mod.FixedApiKeyAuthProvider("k").verify_token("k")))'),
    "pelorin.mcp.lusmere": (
        "import asyncio, dataclasses, datetime, inspect, pathlib, threading, weakref\n"
        "import pelorin.mcp.context, pelorin.mcp.tools.auth, pelorin.mcp.tools.helpers",
        'mod.TovanCredentialBindingError("x").to_dict()', 600, 5),
    "pelorin.query.services.planner.ombrith": (
        "import collections.abc, re, unicodedata",
        'mod.requested_canonical_fields("销售额和订单量")'),
    # pydantic builds the models: some 19000 allocations, walked every 293rd
    # beyond the imports and the bounds.
    "pelorin.api.schemas.query": (
        "import typing\nfrom pydantic import BaseModel, ConfigDict, Field",
        "(mod.MAX_QUERY_LIMIT, mod.MAX_QUERY_TIMEOUT, mod.QueryBuildRequest().limit)", 300, 293),
    "pelorin.google_trends.sarvick": (
        "import pathlib, pelorin.google_trends.collection_storage_integration\n"
        "import pelorin.shared.collection_storage.models, pelorin.shared.collection_storage.parser_utils\n"
        "import pelorin.shared.collection_storage.result_cache",
        '(mod.PARSER_VERSION, mod._result_datasets({"data": [{"date": "d"}]})[0]["rows"])'),
    # Its load compiles nothing but its parameter defaults.
    "pelorin.app.services.kelpton": (
        "import urllib.parse, pelorin.app.domain.exceptions, pelorin.app.services.gitops",
        'mod._parse_fields("username=a\\npassword=b\\n")'),
    "pelorin._pysem_probe": ("import pelorin._aio_probe", "(mod.LIMIT, mod.SignatureProbe().echo(1, c=2)[1:])"),
    "pelorin._aio_probe": ("import asyncio, inspect", "mod.live_trackers()"),
}

# What the interpreter's own functions answer to a failed allocation, where
# the module calls them with no Python frame between: threading.Lock().
INTERPRETER_ANSWERS = {"RuntimeError: can't allocate lock"}

# The coroutine types are made on the first load of a module with coroutine
# functions (common/aio.hpp), where CPython's PyType_FromSpec and
# Py_CompileString can fail with no error set, which reaches the importer as
# this SystemError.
COROUTINE_MODULES = {"pelorin.keepa.services.brondic", "pelorin.mcp.gatlow", "pelorin.mcp.lusmere",
                     "pelorin._aio_probe"}
UNSET_ERROR = "SystemError: error return without exception set"


def faults_of(name, rows):
    """The attempts that the module answered wrongly: an error of its own
    other than MemoryError, or a C++ exception that escaped into C."""
    def wrong(phase, outcome, detail):
        if outcome == "crash":
            return "terminate called after throwing" in detail
        if outcome != "native" or detail in INTERPRETER_ANSWERS:
            return False
        return not (phase == "first" and name in COROUTINE_MODULES and detail == UNSET_ERROR)

    return [f"{phase} load, allocation {n}: {detail}" for phase, n, outcome, detail in rows
            if wrong(phase, outcome, detail)]


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_each_failed_allocation_of_the_import_raises_memory_error(name):
    imports, check, *bounds = MODULES[name]
    setup = imports if name == "pelorin._pysem_probe" else f"{imports}\n{INTERNALS}"
    rows = walk(name, setup, check, *bounds)
    assert faults_of(name, rows) == []
    # Each phase ran to its end, and the module then works as imported here.
    assert [row[0] for row in rows if row[2] == "done"] == ["create", "first", "again", "check"]
    expected = repr(eval(check, {"mod": importlib.import_module(name), "asyncio": asyncio}))
    assert rows[-1][3] == expected
