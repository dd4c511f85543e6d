"""What the report tests share: a fresh instance and derived kinds of the JSON containers."""

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


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
