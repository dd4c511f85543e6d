import pytest

from pelorin.keepa.api import client as keepa_client


class DictSub(dict):
    pass


class ListSub(list):
    pass


class StrSub(str):
    pass


@pytest.fixture(autouse=True)
def _fresh_client_scripts():
    keepa_client.reset_scripts()
    yield
    keepa_client.reset_scripts()
