"""What the report tests share: a fresh instance and derived kinds of the JSON containers."""

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara

from ..conftest import DictSub, ListSub, StrSub  # noqa: F401  (for the tests of this folder)


# Every boundary that the finished report is split at (str.splitlines).
LINE_BOUNDARIES = ["\n", "\r", "\r\n", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]


class Lookup(Telvara):
    """Every call between methods goes through attribute lookup, and is recorded."""

    def __init__(self):
        super().__init__()
        object.__setattr__(self, "looked_up", set())

    def __getattribute__(self, name):
        if name.startswith("_") and not name.startswith("__"):
            object.__getattribute__(self, "looked_up").add(name)
        return object.__getattribute__(self, name)


@pytest.fixture
def tv():
    return Telvara()
