"""Job ids and their parts."""

import re

import pytest

from pelorin.keepa.domain.models import KeepaScenarioRequest
from pelorin.keepa.services import brondic

from .conftest import DictSub, StrSub

STAMP = r"\d{8}-\d{6}-[0-9a-f]{6}"


@pytest.mark.parametrize(
    "scenario, params, site, prefix",
    [
        ("product", {"asin": "B0ABCD1234"}, "US", "Keepa-Product-US-B0ABCD1234-"),
        ("product", {"asin": "", "asins": ["B0ABCD5678"]}, "US", "Keepa-Product-US-B0ABCD5678-"),
        ("product", {"asins": [], "code": "4006381333931"}, "DE", "Keepa-Product-DE-4006381333931-"),
        ("deals", {"asin": "B0"}, "US", "Keepa-Deals-US-"),
        ("top-seller", {}, "JP", "Keepa-TopSeller-JP-"),
        ("product-finder", {"term": "x"}, "US", "Keepa-ProductFinder-US-"),
        ("product-search", {"keyword": "usb hub / 2 pack"}, "US", "Keepa-ProductSearch-US-usb-hub-2-pack-"),
        ("product-search", {"term": "蓝牙耳机"}, "US", "Keepa-ProductSearch-US-"),
        ("category-lookup", {"category": 172}, "US", "Keepa-CategoryLookup-US-172-"),
        ("category-lookup", {"category": 0, "productGroup": "", "product_group": "Toys"}, "US", "Keepa-CategoryLookup-US-Toys-"),
        ("seller", {"sellers": ["A2L77EE7U53NWQ"]}, "GB", "Keepa-Seller-GB-A2L77EE7U53NWQ-"),
        ("lightning-deals", {"asin": "B0X"}, "US", "Keepa-LightningDeals-US-B0X-"),
        ("my_new-scenario2", {"asin": "B0"}, "US", "Keepa-MyNewScenario2-US-"),
        ("product", None, "US", "Keepa-Product-US-"),
    ],
)
def test_build_job_id(scenario, params, site, prefix):
    job_id = brondic._build_job_id(KeepaScenarioRequest(scenario=scenario, params=params), site)
    assert re.fullmatch(re.escape(prefix) + STAMP, job_id), job_id


def test_job_ids_of_one_second_differ_only_in_their_suffix(monkeypatch):
    class FixedClock:
        @staticmethod
        def now():
            import datetime

            return datetime.datetime(2026, 3, 4, 5, 6, 7)

    monkeypatch.setattr(brondic, "datetime", FixedClock)
    request = KeepaScenarioRequest(scenario="product", params={"asin": "B0"})
    first, second = brondic._build_job_id(request, "US"), brondic._build_job_id(request, "US")
    assert first[:-6] == second[:-6] == "Keepa-Product-US-B0-20260304-050607-"
    assert first != second


@pytest.mark.parametrize(
    "name, label",
    [("product", "Product"), ("bestsellers", "BestSellers"), ("lightning-deals", "LightningDeals"),
     ("ABC", "Abc"), ("my_new-scenario2", "MyNewScenario2"), ("--", ""), ("é-x", "X"), ("", "")],
)
def test_scenario_label(name, label):
    assert brondic._scenario_label(name) == label


@pytest.mark.parametrize(
    "value, text",
    [
        (None, ""),
        ("  ", ""),
        (" a  b ", "a-b"),
        ("usb hub / 2 pack", "usb-hub-2-pack"),
        ("--a--", "a"),
        ("中文", ""),
        (12.5, "12-5"),
        (["x", 1], "x-1"),
        ("a\ud800b", "a-b"),
        ("x" * 70, "x" * 64),
        ("x" * 63 + "-yz", "x" * 63 + "-"),
    ],
)
def test_sanitize_filename_part(value, text):
    assert brondic._sanitize_filename_part(value) == text


@pytest.mark.parametrize(
    "scenario, params, target",
    [
        ("product", {"asin": 0, "asins": [], "code": None, "codes": []}, ""),
        ("product", {"codes": ["C1", "C2"]}, "C1"),
        ("product", {"asins": "B0 X"}, "B0-X"),
        ("seller", {"seller": "", "sellers": "S"}, "S"),
        ("category-search", {"term": "", "keyword": "Home & Kitchen"}, "Home-Kitchen"),
        ("bestsellers", {"productGroup": "Books"}, "Books"),
        ("deals", {"asin": "B0"}, ""),
        ("product", {}, ""),
    ],
)
def test_build_target_label(scenario, params, target):
    assert brondic._build_target_label(scenario, params) == target


def test_first():
    marker = {}
    assert brondic._first([marker, 2]) is marker
    for value in (None, "ab", marker, []):
        assert brondic._first(value) is value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: brondic._build_job_id(KeepaScenarioRequest(scenario="product"), StrSub("US")), "'site' must be str, not StrSub"),
        (lambda: brondic._build_job_id(KeepaScenarioRequest(scenario=1), "US"), "'scenario' must be str, not int"),
        (lambda: brondic._build_target_label("product", DictSub()), "'params' must be dict, not DictSub"),
        (lambda: brondic._camel_case(None), "'value' must be str, not NoneType"),
    ],
)
def test_naming_refuses_wrong_kinds(call, message):
    with pytest.raises(TypeError, match=message):
        call()
