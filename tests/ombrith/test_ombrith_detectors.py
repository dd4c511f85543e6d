"""The fields a question asks for, as the query planner receives them."""

import pytest

from pelorin.query.services.planner import ombrith as m

BROAD = [("price", "销售情况"), ("order_qty", "销售情况"), ("orders", "销售情况")]


def fields(query, **kwargs):
    result = m.requested_canonical_fields(query, **kwargs)
    assert type(result) is dict
    return list(result.items())


@pytest.mark.parametrize(
    "query, protected, expected",
    [
        ("各店铺上个月的销售额和广告费", (), [("price", "销售额"), ("advertising_fee", "广告费")]),
        # Terms: the first term of a field's row that occurs wins.
        ("订单量", (), [("order_qty", "单量")]),
        ("毛利润", (), [("gross_profit", "毛利")]),
        ("各平台的CTR", (), [("clicks_percent", "ctr"), ("ads_clicks_percent", "ctr"), ("click_rate", "ctr")]),
        ("GMV和毛利", (), [("price", "gmv"), ("gross_profit", "毛利")]),
        ("ＧＭＶ", (), [("price", "gmv")]),
        ("统计费用的收入", (), [("price", "收入")]),  # no boundary or verb rule for terms
        ("abcgmvxyz", (), [("price", "gmv")]),
        ("投放费用和采购费用", (), [("advertising_fee", "投放费用"), ("purchase_cost", "采购费用")]),
        # Derived ratios record their components with the ratio's label.
        ("毛利率最高的产品", (), [("gross_profit", "毛利"), ("price", "毛利率")]),
        ("毛利率和销售额", (), [("price", "销售额"), ("gross_profit", "毛利")]),
        ("采购成本占比", (), [("purchase_cost", "采购成本"), ("price", "采购成本占比")]),
        ("广告占比", (), [("advertising_fee", "广告占比"), ("price", "广告占比")]),
        # Protected labels: a short alias inside a complete label is no request.
        ("毛利率最高的产品", ("毛利率",), []),
        ("毛利率和销售额", ["毛利率"], [("price", "销售额")]),
        ("毛利率和毛利", ("毛利率",), [("gross_profit", "毛利")]),
        ("毛利率", ("毛利",), [("gross_profit", "毛利"), ("price", "毛利率")]),
        ("毛利率", ("平均毛利率",), [("gross_profit", "毛利")]),  # a longer label hides the ratio
        ("毛利率", ("毛利率", "毛利"), []),
        ("毛利额", ("毛利额",), [("gross_profit", "毛利额")]),  # 毛利 is held; an equal label protects nothing
        ("订单量", ("订单量",), [("order_qty", "订单量")]),
        ("订单量和单量", ("订单量",), [("order_qty", "单量")]),
        ("商品销售额", ("商品销售额",), []),
        ("ＣＴＲ值", ("ctr值",), []),  # labels are normalised too
        ("毛利率", ("", None, 3, b"\xe6\xaf\x9b"), [("gross_profit", "毛利"), ("price", "毛利率")]),
        ("毛利率", {"毛利率": 1}, []),
        ("毛利率", frozenset({"毛利率"}), []),
        # Broad sales intent.
        ("最近销售情况怎么样", (), BROAD),
        ("最近销售情况和销售额", (), [("price", "销售额"), ("order_qty", "销售情况"), ("orders", "销售情况")]),
        ("卖得最好的产品和广告花费", (), [("advertising_fee", "广告花费"), *BROAD]),
        ("销售数据", (), BROAD),
        ("看一下销售数据集", (), []),
        # Colloquial phrasings come last.
        ("这周卖了多少钱", (), [("price", "卖了多少钱")]),
        ("营收多少钱", (), [("price", "卖了多少钱")]),
        ("上周出了多少单", (), [("order_qty", "多少单")]),
        ("多少单价", (), []),
        ("广告一共花了多少钱", (), [("advertising_fee", "广告花了多少")]),
        ("销量和卖了多少钱", (), [("order_qty", "销量"), ("price", "卖了多少钱")]),
        ("销售了多少钱", (), [("price", "卖了多少钱")]),
        ("卖得怎么样，卖了多少钱", (), BROAD),
        # Nothing to find.
        ("", (), []),
        ("   ", (), []),
        ("今天天气怎么样", (), []),
    ],
)
def test_requested_canonical_fields(query, protected, expected):
    assert fields(query, protected_terms=protected) == expected


def test_protected_terms_are_read_once_and_default_to_none():
    labels = (label for label in ["毛利率"])
    assert fields("毛利率和毛利", protected_terms=labels) == [("gross_profit", "毛利")]
    assert fields("毛利率和毛利") == fields("毛利率和毛利", protected_terms=())

    class OneShot:
        reads = 0

        def __iter__(self):
            OneShot.reads += 1
            return iter(["毛利率"])

    assert fields("毛利率和毛利", protected_terms=OneShot()) == [("gross_profit", "毛利")]
    assert OneShot.reads == 1


def test_a_detector_run_while_the_labels_are_read_keeps_to_its_question():
    def labels():
        assert m.colloquial_metric_fields("卖了多少钱") == {"price": "卖了多少钱"}
        yield "毛利率"

    assert fields("最近销售情况怎么样", protected_terms=labels()) == BROAD
    assert m.has_broad_sales_metric_intent("卖了多少钱") is False
    assert m.colloquial_metric_fields("最近销售情况怎么样") == {}


@pytest.mark.parametrize("protected", [None, 3, object()])
def test_protected_terms_must_be_iterable(protected):
    with pytest.raises(TypeError, match="not iterable"):
        m.requested_canonical_fields("", protected_terms=protected)


def test_protected_terms_errors_pass_through():
    def broken():
        yield "毛利率"
        raise LookupError("labels unavailable")

    with pytest.raises(LookupError, match="labels unavailable"):
        m.requested_canonical_fields("毛利率", protected_terms=broken())


@pytest.mark.parametrize(
    "query, expected",
    [
        ("卖了多少个还有多少单", [("order_qty", "卖了多少个")]),
        ("卖多少钱", [("price", "卖了多少钱")]),
        ("卖了多少金额", [("price", "卖了多少钱")]),
        ("销出多少箱", [("order_qty", "卖了多少个")]),
        ("卖了多少吨", []),
        ("多少笔单", [("order_qty", "多少单")]),
        ("几单", [("order_qty", "多少单")]),
        ("几单号", []),
        ("多少个订单", [("order_qty", "多少单")]),
        ("多少单据", []),
        ("推广  总共\u3000烧了多少", [("advertising_fee", "广告花了多少")]),
        ("投放支出多少", [("advertising_fee", "广告花了多少")]),
        ("广告花了多少，卖了多少钱", [("price", "卖了多少钱"), ("advertising_fee", "广告花了多少")]),
        ("这周卖了多少钱", [("price", "卖了多少钱")]),
        ("销售额", []),
    ],
)
def test_colloquial_metric_fields(query, expected):
    assert list(m.colloquial_metric_fields(query).items()) == expected


@pytest.mark.parametrize(
    "query, expected",
    [
        ("销售数据", True),
        ("销售 数据集", False),
        ("销售数据 集", True),
        ("销售\t\t趋势", True),
        ("卖得 最好", True),
        ("卖最多", True),
        ("卖的 最 少", True),
        ("卖的多", False),
        ("销售额", False),
        ("", False),
    ],
)
def test_has_broad_sales_metric_intent(query, expected):
    assert m.has_broad_sales_metric_intent(query) is expected


@pytest.mark.parametrize(
    "query, expected",
    [
        ("各销售的业绩", True),
        ("销售负责人是谁", True),
        ("销售员业绩", True),
        ("销售人员情况", True),  # the three nouns count whatever follows
        ("所有销售", True),
        ("每位销售员", True),
        ("按 销售 汇总", True),
        ("销售:李四", True),
        ("销售：李四", True),
        ("销售＝张三", True),
        ("销售 等于 张三", True),
        ("TEAM_USERNAME", True),
        ("按销售额排序", False),
        ("销售小组业绩", False),
        ("销售订单", False),
        ("各销售数据", False),
        ("销售", False),
        ("", False),
    ],
)
def test_sales_person_dimension_requested(query, expected):
    assert m.sales_person_dimension_requested(query) is expected


@pytest.mark.parametrize(
    "query, expected",
    [
        ("按集团事业部汇总销量", [("dept_name", "事业部")]),
        ("各事业部", [("dept_name", "事业部")]),
        ("集团事 业部", []),
        ("", []),
    ],
)
def test_dimension_alias_fields(query, expected):
    assert list(m.dimension_alias_fields(query).items()) == expected


def test_dimensions_stay_out_of_metrics():
    assert fields("按集团事业部汇总销量") == [("order_qty", "销量")]


@pytest.mark.parametrize(
    "term, card, expected",
    [
        ("销量", ["order_qty", "订单量"], True),
        ("销量", ("订单量",), False),
        ("CTR", ["ads_clicks_percent"], False),  # only the first field listing ctr decides
        ("ctr", ["Clicks_Percent"], True),
        ("ＣＴＲ", {"clicks_percent"}, True),
        ("毛利率", ["毛利率"], True),
        ("毛利率", ["gross_profit"], False),
        (" 毛利 ", ["GROSS_PROFIT"], True),
        ("转化率", ["转化率 "], True),
        ("转化率", [None, 3, ""], False),
        ("", ["", "order_qty"], False),
        ("", [], False),
    ],
)
def test_metric_term_is_covered(term, card, expected):
    assert m.metric_term_is_covered(term, card) is expected
    assert m.metric_term_is_covered(term, iter(card)) is expected


def test_card_terms_must_be_iterable():
    with pytest.raises(TypeError, match="not iterable"):
        m.metric_term_is_covered("销量", None)


class Text(str):
    pass


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda bad: m.requested_canonical_fields(bad), "query"),
        (lambda bad: m.colloquial_metric_fields(bad), "query"),
        (lambda bad: m.has_broad_sales_metric_intent(bad), "query"),
        (lambda bad: m.sales_person_dimension_requested(bad), "query"),
        (lambda bad: m.dimension_alias_fields(bad), "query"),
        (lambda bad: m.metric_term_is_covered(bad, []), "requested_term"),
    ],
)
@pytest.mark.parametrize("bad", [None, Text("销量"), b"gmv", 7])
def test_question_must_be_exactly_text(call, name, bad):
    with pytest.raises(TypeError, match=f"'{name}'"):
        call(bad)


def test_text_is_checked_before_the_labels_are_read():
    read = []
    with pytest.raises(TypeError, match="'query'"):
        m.requested_canonical_fields(None, protected_terms=(read.append(1) for _ in "x"))
    with pytest.raises(TypeError, match="'requested_term'"):
        m.metric_term_is_covered(None, None)
    assert read == []


def test_parameters_by_position_and_name():
    assert m.requested_canonical_fields(query="销量") == {"order_qty": "销量"}
    assert m.metric_term_is_covered(requested_term="销量", card_terms=["order_qty"]) is True
    assert m.dimension_alias_fields(query="事业部") == {"dept_name": "事业部"}
    with pytest.raises(TypeError):
        m.requested_canonical_fields("销量", ())  # protected_terms is keyword-only
    with pytest.raises(TypeError):
        m.requested_canonical_fields("销量", protected=())
    with pytest.raises(TypeError):
        m.colloquial_metric_fields()


CANONICAL = "requested_canonical_fields(query, *, protected_terms=())"
COVERED = "metric_term_is_covered(requested_term, card_terms)"


@pytest.mark.parametrize(
    "header, args, kwargs",
    [
        (CANONICAL, ("销量", ()), {}),
        (CANONICAL, (), {"protected_terms": ()}),
        (CANONICAL, ("销量",), {"protected": ()}),
        (CANONICAL, ("销量",), {"query": "销量"}),
        (COVERED, ("销量",), {}),
        (COVERED, ("销量", [], []), {}),
        ("colloquial_metric_fields(query)", (), {}),
        ("has_standalone_term_occurrence(term, query)", ("a", "b", "c"), {}),
        ("_has_uncovered_occurrence(term, text, protected_terms)", ("a", "b"), {"protected": ()}),
    ],
)
def test_argument_errors_are_the_interpreters(header, args, kwargs):
    name = header.partition("(")[0]
    python = {}
    exec(f"def {header}: pass", python)
    with pytest.raises(TypeError) as expected:
        python[name](*args, **kwargs)
    with pytest.raises(TypeError) as native:
        getattr(m, name)(*args, **kwargs)
    assert str(native.value) == str(expected.value)


def test_results_are_new_mappings():
    first = m.requested_canonical_fields("销量")
    first["price"] = "x"
    assert m.requested_canonical_fields("销量") == {"order_qty": "销量"}
