"""The module loaded once more while its first load runs Python code."""

import pytest

from ..conftest import LOAD_AFRESH_SOURCE, run_python

# A gc callback loads a second module object of the module while
# the first load is at the phase that `phase` names (by what its namespace
# holds so far); both modules must then work.
NESTED_LOAD = """
import gc, importlib.util, sys
NAME = "pelorin.amazon_rufus.services.telvara"
loaded = []

def phase(m):
    return {phase}

def callback(stage, info):
    m = sys.modules.get(NAME)
    if loaded or m is None or not phase(m):
        return
    load_afresh(NAME, loaded.append)

gc.callbacks.append(callback)
gc.set_threshold(1)
import pelorin.amazon_rufus.services.telvara as first
gc.callbacks.remove(callback)
gc.set_threshold(700)
data = {{"diagnosis_report": {{"sections": [{{"subsections": [{{"table": {{"headers": ["h", "i"], "rows": [["a|b", "c"]]}}}}]}}]}}}}
for module in (first, *loaded):
    print(len(loaded), repr(module.Telvara().format_data(data)))
"""

REPORT = repr("# ASIN UNKNOWN Listing 优化诊断报告\n\n## 1. 标题清晰度与点击意愿分析\n\n### 1、当前标题内容\n\n"
              "| h | i |\n| --- | --- |\n| a\\|b | c |")


@pytest.mark.parametrize(
    "phase",
    [
        'hasattr(m, "Any") and not hasattr(m, "DIAGNOSIS_SECTION_TITLES")',  # its state is being built
        'hasattr(m, "DIAGNOSIS_SECTION_TITLES") and not hasattr(m, "Telvara")',  # its class is being defined
    ],
    ids=["state", "class"],
)
def test_a_load_within_the_first_load_finishes(phase):
    done = run_python(LOAD_AFRESH_SOURCE + NESTED_LOAD.format(phase=phase), hung="the nested load hung")
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.splitlines() == [f"1 {REPORT}"] * 2
