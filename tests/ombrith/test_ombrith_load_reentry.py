"""Python code run while the vocabulary is built at load (here re.compile as
found then, through a finalizer) may load the module afresh on the same
thread: that load builds its own vocabulary, and a loop ends in
RecursionError, where a one-time build shared by both would wait on itself
for good."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import gc, importlib.util, re
    import pelorin.query.services.planner

    NAME = "pelorin.query.services.planner.ombrith"
    loads, done = [], []

    def load_again():
        spec = importlib.util.find_spec(NAME)
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        loads.append(True)  # and dropped

    class Cycle:
        def __init__(self):
            self.me = self
        def __del__(self):
            load_again()

    {reenter}

    compile = re.compile
    def patched(*args, **kwargs):
        reenter()
        return compile(*args, **kwargs)
    re.compile = patched
    try:
        from pelorin.query.services.planner import ombrith
    except BaseException as error:
        print(type(error).__name__)
    else:
        re.compile = compile
        gc.collect()
        print("loaded", len(loads), ombrith.requested_canonical_fields("上个月卖了多少钱，广告费多少"))
""")

REENTER = {
    # A collection during the build frees garbage whose finalizer loads the module.
    "finalizer": "def reenter():\n    if not done:\n        done.append(True)\n        Cycle()\n        gc.collect()",
    "every-time": "reenter = load_again",
}


@pytest.mark.parametrize("reenter, expected", [
    ("finalizer", "loaded 1 {'advertising_fee': '广告费', 'price': '卖了多少钱'}"),
    ("every-time", "RecursionError"),
], ids=["finalizer", "every-time"])
def test_a_load_reentered_while_it_builds_finishes(reenter, expected):
    script = SCRIPT.format(reenter=REENTER[reenter])
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected
