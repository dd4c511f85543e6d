"""Python code run while the module loads (here the import of urllib.parse,
through a finalizer or a patched module) may load the module afresh on the
same thread: that load makes its own state, and a loop ends in
RecursionError, where a one-time build shared by both would wait on itself
for good."""

import pytest

from ..conftest import reentered_load, reentering_read

LOAD = {
    "name": "pelorin.app.services.kelpton",
    "imports": "import pelorin.app.services, pelorin.app.services.gitops, pelorin.app.domain.exceptions",
    "load": "from pelorin.app.services import kelpton",
    "report": 'repr(kelpton._credential_payload("https://h.example/r.git", username="u"))',
    **reentering_read("urllib.parse", "urlsplit"),
}


@pytest.mark.parametrize("reenter, expected", [
    ("finalizer", r"loaded 1 'protocol=https\nhost=h.example\nusername=u\n\n'"),
    ("every-time", "RecursionError"),
], ids=["finalizer", "every-time"])
def test_a_load_reentered_while_it_builds_finishes(reenter, expected):
    assert reentered_load(reenter, **LOAD) == expected
