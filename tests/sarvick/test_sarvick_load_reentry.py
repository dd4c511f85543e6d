"""Python code run while the module loads (here the import of pathlib, through
a finalizer or a patched module) may load the module afresh on the same
thread: that load makes its own state, and a loop ends in RecursionError,
where a one-time build shared by both would wait on itself for good."""

import pytest

from ..conftest import reentered_load, reentering_read

LOAD = {
    "name": "pelorin.google_trends.sarvick",
    "imports": "\n".join([
        "import pelorin.google_trends",
        "import pelorin.google_trends.collection_storage_integration",
        "import pelorin.shared.collection_storage.models, pelorin.shared.collection_storage.parser_utils",
        "import pelorin.shared.collection_storage.result_cache",
    ]),
    "load": "from pelorin.google_trends import sarvick",
    "report": 'sarvick._result_datasets({"data": [{"date": "d"}]})[0]["rows"]',
    **reentering_read("pathlib", "PurePath"),
}


@pytest.mark.parametrize("reenter, expected", [
    ("finalizer", "loaded 1 [['d']]"),
    ("every-time", "RecursionError"),
], ids=["finalizer", "every-time"])
def test_a_load_reentered_while_it_builds_finishes(reenter, expected):
    assert reentered_load(reenter, **LOAD) == expected
