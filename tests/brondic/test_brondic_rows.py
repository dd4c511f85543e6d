"""Rows, quota figures and export rows read from Keepa answers."""

import pytest

from pelorin.keepa.services import brondic

from .conftest import DictSub, ListSub, StrSub

QUOTA_KEYS = ["tokensLeft", "refillIn", "refillRate", "tokensConsumed", "tokenFlowReduction", "timestamp"]


def test_extract_quota_copies_the_six_figures_in_fixed_order():
    payload = {"timestamp": 5, "products": [], "refillRate": None, "tokensLeft": "12", "tokenFlowReduction": 0.5}
    figures = brondic.extract_quota(payload)
    assert list(figures.items()) == [("tokensLeft", "12"), ("refillRate", None), ("tokenFlowReduction", 0.5), ("timestamp", 5)]
    assert brondic.extract_quota(None) == {}
    full = brondic.extract_quota({key: i for i, key in enumerate(reversed(QUOTA_KEYS))})
    assert list(full) == QUOTA_KEYS
    assert figures is not payload


@pytest.mark.parametrize("function", [brondic.extract_rows, brondic.raw_response_to_export_rows, brondic._primary_row_items, brondic.extract_quota])
@pytest.mark.parametrize("payload", [[], "x", DictSub(), 3])
def test_row_functions_refuse_what_is_not_exactly_a_mapping(function, payload):
    with pytest.raises(TypeError, match=r"argument 'payload' must be dict, not"):
        function(payload)


@pytest.mark.parametrize("function", [brondic.extract_rows, brondic.raw_response_to_export_rows])
def test_row_functions_refuse_null(function):
    with pytest.raises(TypeError, match="'payload' must be dict, not NoneType"):
        function(None)


SELLER_A, SELLER_B = {"sellerId": "A"}, {"sellerId": "B"}


@pytest.mark.parametrize(
    "payload, rows",
    [
        ({"sellers": {"A": SELLER_A, "B": SELLER_B}, "products": [1]}, [SELLER_A, SELLER_B]),
        ({"sellers": [], "products": [1]}, []),
        ({"sellers": "odd", "products": [1]}, [1]),
        ({"products": [], "asinList": ["B01"]}, []),
        ({"products": {"x": 1}, "asinList": ["B01"]}, ["B01"]),
        ({"notifications": [None, 2]}, [None, 2]),
        ({"categories": {"1": {"catId": 1}}}, [{"catId": 1}]),
        ({"categories": [{"catId": 1}]}, []),
        ({"deals": {"dr": [], "deals": [1]}}, []),
        ({"deals": {"dr": "x", "deals": [1]}}, [1]),
        ({"deals": {"other": 1}}, [{"other": 1}]),
        ({"deals": [1, 2]}, []),
        ({"bestSellersList": {"asinList": ["A1", "A2"]}}, ["A1", "A2"]),
        ({"bestSellersList": {"categoryId": 3}}, [{"categoryId": 3}]),
        ({"totalResults": 0}, [{"totalResults": 0}]),
        ({"totalResults": None}, []),
        ({"deals": [1], "totalResults": 7}, [{"totalResults": 7}]),
        ({}, []),
    ],
)
def test_extract_rows(payload, rows):
    assert brondic.extract_rows(payload) == rows


def test_extract_rows_hands_back_the_answers_own_list():
    products = [{"asin": "A"}]
    assert brondic.extract_rows({"products": products}) is products
    inner = [1]
    assert brondic.extract_rows({"deals": {"dr": inner}}) is inner


@pytest.mark.parametrize("payload", [{"products": ListSub([1])}, {"sellers": ListSub()}, {"deals": {"dr": ListSub()}}])
def test_a_list_subtype_handed_back_unchanged_is_refused(payload):
    with pytest.raises(TypeError, match="must be list, not ListSub"):
        brondic.extract_rows(payload)


@pytest.mark.parametrize(
    "payload, rows",
    [
        (
            {"tokensLeft": 9, "asinList": ["A1", "A2"], "searchInsights": {"x": 1}},
            [{"tokensLeft": 9, "rowSource": "asinList", "asin": "A1"}, {"tokensLeft": 9, "rowSource": "asinList", "asin": "A2"}],
        ),
        ({"bestSellersList": {"asinList": ["A1"], "lastUpdate": 3}}, [{"rowSource": "bestSellersList", "asin": "A1"}]),
        ({"sellerIdList": ["S1"], "products": []}, [{"products": [], "rowSource": "sellerIdList", "sellerId": "S1"}]),
        ({"searchInsights": {"a": 1}, "tokensLeft": 1}, [{"searchInsights": {"a": 1}, "tokensLeft": 1}]),
        ({"products": ["text"]}, [{"rowSource": "products", "value": "text"}]),
        ({"products": [{"rowSource": "mine", "asin": "A"}]}, [{"rowSource": "mine", "asin": "A"}]),
        ({"categories": [{"catId": 1}]}, [{"rowSource": "categories", "catId": 1}]),
        ({"deals": {"count": 2, "flag": True}}, [{"rowSource": "deals", "value": 2}, {"rowSource": "deals", "value": True}]),
        ({"trackings": {"a": {"asin": "X"}}}, [{"rowSource": "trackings", "asin": "X"}]),
        # An item field named like a top-level field replaces it in place.
        ({"site": "US", "products": [{"asin": "A", "site": "DE"}], "n": 1}, [{"site": "DE", "n": 1, "rowSource": "products", "asin": "A"}]),
    ],
)
def test_raw_response_to_export_rows(payload, rows):
    result = brondic.raw_response_to_export_rows(payload)
    assert result == rows
    assert [list(row) for row in result] == [list(row) for row in rows]


def test_export_rows_are_new_and_share_nested_values():
    nested = {"deep": [1]}
    payload = {"meta": nested, "products": [{"asin": "A"}, {"asin": "B"}]}
    rows = brondic.raw_response_to_export_rows(payload)
    assert rows[0]["meta"] is nested and rows[0] is not rows[1]
    assert payload == {"meta": nested, "products": [{"asin": "A"}, {"asin": "B"}]}
    whole = brondic.raw_response_to_export_rows({"x": nested})
    assert whole == [{"x": nested}] and whole[0]["x"] is nested


def test_an_answer_changed_while_its_base_row_is_built_is_refused():
    payload = {}

    class Meddling:
        def __hash__(self):
            return 7

        def __eq__(self, other):
            # Drops itself from the answer while it is being compared.
            payload.pop(self, None)
            payload.update((f"k{i}", [object()]) for i in range(50))
            return False

    payload[Meddling()] = [bytearray(1000)]
    payload["products"] = [{"asin": "A"}]
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        brondic.raw_response_to_export_rows(payload)


def test_export_rows_of_a_large_answer():
    products = [{"asin": f"A{i}", "csv": [i, i + 1]} for i in range(50_000)]
    rows = brondic.raw_response_to_export_rows({"tokensLeft": 1, "products": products})
    assert len(rows) == 50_000
    assert rows[-1] == {"tokensLeft": 1, "rowSource": "products", "asin": "A49999", "csv": [49999, 50000]}


@pytest.mark.parametrize(
    "key, value, rows",
    [
        ("products", [1], [1]),
        ("deals", {"dr": [1], "deals": [2]}, [1]),
        ("deals", {"deals": [2]}, [2]),
        ("deals", {"x": 3}, [3]),
        ("bestSellersList", {"asinList": ["A"], "x": 1}, ["A"]),
        ("bestSellersList", {"x": 1}, [1]),
        ("other", {"a": 1, "b": 2}, [1, 2]),
        ("other", "text", []),
        ("other", None, []),
    ],
)
def test_rows_from_response_value(key, value, rows):
    assert brondic._rows_from_response_value(key, value) == rows


def test_primary_row_items_and_scalar_field():
    assert brondic._primary_row_items({"products": [], "sellers": {"a": 1}}) == ("sellers", [1])
    assert brondic._primary_row_items({"totalResults": 3}) == (None, [])
    assert [brondic._scalar_item_field(k) for k in ("sellerIdList", "asinList", "bestSellersList", "products", None)] == [
        "sellerId", "asin", "asin", "value", "value"
    ]
    with pytest.raises(TypeError, match="'row_source_key' must be str, not StrSub"):
        brondic._scalar_item_field(StrSub("asinList"))
    with pytest.raises(TypeError, match="'key' must be str, not int"):
        brondic._rows_from_response_value(1, [])


@pytest.mark.parametrize(
    "params, name",
    [
        ({"queryName": "", "keyword": "usb hub"}, "usb hub"),
        ({"name": 12}, "12"),
        ({"query_name": "q", "queryName": "Q"}, "Q"),
        ({"queryName": 0, "name": [], "term": "t"}, "t"),
        ({}, "product-finder"),
        ({"keyword": False}, "product-finder"),
    ],
)
def test_search_insights_query_name(params, name):
    assert brondic._search_insights_query_name(params) == name
