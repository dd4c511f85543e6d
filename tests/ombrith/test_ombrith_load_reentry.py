"""Python code run while the vocabulary is built at load (here re.compile as
found then, through a finalizer) may load the module afresh on the same
thread: that load builds its own vocabulary, and a loop ends in
RecursionError, where a one-time build shared by both would wait on itself
for good."""

import textwrap

import pytest

from ..conftest import reentered_load

LOAD = {
    "name": "pelorin.query.services.planner.ombrith",
    "imports": "import re\nimport pelorin.query.services.planner",
    "patch": textwrap.dedent("""\
        compile = re.compile


        def patched(*args, **kwargs):
            reenter()
            return compile(*args, **kwargs)


        re.compile = patched"""),
    "load": "from pelorin.query.services.planner import ombrith",
    "unpatch": "re.compile = compile",
    "report": 'ombrith.requested_canonical_fields("上个月卖了多少钱，广告费多少")',
}


@pytest.mark.parametrize("reenter, expected", [
    ("finalizer", "loaded 1 {'advertising_fee': '广告费', 'price': '卖了多少钱'}"),
    ("every-time", "RecursionError"),
], ids=["finalizer", "every-time"])
def test_a_load_reentered_while_it_builds_finishes(reenter, expected):
    assert reentered_load(reenter, **LOAD) == expected
