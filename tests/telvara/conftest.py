"""What the report tests share: a fresh instance and derived kinds of the JSON containers."""

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


@pytest.fixture
def tv():
    return Telvara()
