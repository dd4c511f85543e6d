"""Python code run while the module loads (here the import of urllib.parse,
through a finalizer or a patched module) may load the module afresh on the
same thread: that load makes its own state, and a loop ends in
RecursionError, where a one-time build shared by both would wait on itself
for good."""

import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import gc, importlib.util, sys, types
    import urllib.parse
    import pelorin.app.services, pelorin.app.services.gitops, pelorin.app.domain.exceptions

    NAME = "pelorin.app.services.kelpton"
    loads, done = [], []

    def load_again():
        spec = importlib.util.find_spec(NAME)
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        loads.append(True)  # and dropped: the module loaded last is the one kept

    class Cycle:
        def __init__(self):
            self.me = self
        def __del__(self):
            load_again()

    {reenter}

    class Parse(types.ModuleType):
        @property
        def urlsplit(self):
            reenter()
            return urllib.parse.urlsplit

    sys.modules["urllib.parse"] = Parse("urllib.parse")
    try:
        from pelorin.app.services import kelpton
    except BaseException as error:
        print(type(error).__name__)
    else:
        sys.modules["urllib.parse"] = urllib.parse
        gc.collect()
        print("loaded", len(loads), repr(kelpton._credential_payload("https://h.example/r.git", username="u")))
""")

REENTER = {
    # A collection during the import frees garbage whose finalizer loads the module.
    "finalizer": "def reenter():\n    if not done:\n        done.append(True)\n        Cycle()\n        gc.collect()",
    "every-time": "reenter = load_again",
}


@pytest.mark.parametrize("reenter, expected", [
    ("finalizer", r"loaded 1 'protocol=https\nhost=h.example\nusername=u\n\n'"),
    ("every-time", "RecursionError"),
], ids=["finalizer", "every-time"])
def test_a_load_reentered_while_it_builds_finishes(reenter, expected):
    script = SCRIPT.format(reenter=REENTER[reenter])
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected
