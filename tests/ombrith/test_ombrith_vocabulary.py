"""The vocabulary tables as the planner reads them, and normalisation."""

import re

import pytest

from pelorin.query.services.planner import ombrith as m

NOUN = (
    "(?:销售负责人|销售人员|销售员|销售)"
    "(?!额|金额|量|小组|数据|情况|表现|业绩|概况|趋势|走势|怎么样|如何|好不好|好吗|订单)"
)


def test_metric_and_dimension_terms_in_table_order():
    assert list(m.FIELD_QUERY_TERMS.items()) == [
        ("order_qty", ("销量", "销售量", "销售数量", "销售件数", "单量", "订单量", "出单量", "成交量")),
        ("price", ("销售额", "销售金额", "销售总额", "营业额", "成交额", "收入", "gmv")),
        ("advertising_fee", ("广告费", "广告花费", "广告支出", "广告成本", "广告投入", "投放费用")),
        ("gross_profit", ("毛利", "毛利额", "毛利润")),
        ("purchase_cost", ("采购成本", "采购费用", "进货成本")),
        ("clicks_percent", ("ctr",)),
        ("ads_clicks_percent", ("ctr",)),
        ("click_rate", ("ctr",)),
    ]
    shared = {id(m.FIELD_QUERY_TERMS[k]) for k in ("clicks_percent", "ads_clicks_percent", "click_rate")}
    assert len(shared) == 1
    assert type(m.FIELD_QUERY_TERMS) is dict
    assert list(m.DIMENSION_QUERY_TERMS.items()) == [("dept_name", ("事业部", "集团事业部"))]


def test_patterns_ratios_and_action_verbs():
    assert m.COLLOQUIAL_METRIC_PATTERNS == (
        ("卖了?多少钱|销售了多少钱|卖了多少金额|营收多少钱", "price", "卖了多少钱"),
        (
            "卖了?多少(?:个|件|台|只|套|双|盒|箱|支|张)|销(?:售|出)了?多少(?:个|件|台|只|套|双|盒|箱|支|张)",
            "order_qty",
            "卖了多少个",
        ),
        (
            "(?:有|出|接|下)?多少(?:个|笔)?单(?![位价号据元])|几单(?![位价号据元])|多少笔订单|多少个订单",
            "order_qty",
            "多少单",
        ),
        (
            r"(?:广告|投放|推广)\s*(?:一共|总共|大概)?\s*(?:花|用|投|烧)了?多少(?:钱|金额)?"
            r"|(?:广告|投放|推广)\s*(?:花费|支出|投入)了?多少",
            "advertising_fee",
            "广告花了多少",
        ),
    )
    assert list(m.DERIVED_METRIC_COMPONENTS.items()) == [
        ("毛利率", ("gross_profit", "price")),
        ("广告占比", ("advertising_fee", "price")),
        ("采购成本占比", ("purchase_cost", "price")),
    ]
    assert m.BROAD_SALES_METRIC_FIELDS == ("price", "order_qty", "orders")
    assert m._QUERY_ACTION_TERMS == ("查询", "查看", "分析", "获取", "汇总", "统计", "展示", "列出")


def test_prepared_expressions_hold_the_stored_patterns_without_flags():
    assert isinstance(m._BROAD_SALES_METRIC_RE, re.Pattern)
    assert m._BROAD_SALES_METRIC_RE.pattern == (
        r"销售\s*(?:情况|表现|业绩|概况|趋势|走势|怎么样|如何|好不好|好吗|数据(?!集))"
        r"|卖得?\s*(?:最好|最多|最差|最少|最棒|好不好|怎么样|如何)"
        r"|卖的\s*最\s*(?:好|多|差|少)"
    )
    assert m._SALES_PERSON_NOUN == NOUN
    assert m._SALES_PERSON_CONTEXT_RE.pattern == (
        r"(?:按|依|以|各|每(?:个|位)?|所有|全部)\s*" + NOUN + "|" + NOUN + r"\s*(?:为|是|=|＝|：|:|等于|筛选|过滤|分组|维度)"
    )
    for prepared in (m._BROAD_SALES_METRIC_RE, m._SALES_PERSON_CONTEXT_RE):
        assert prepared.flags == re.UNICODE  # a str pattern with no flags given


def _every_table_text():
    yield from m.FIELD_QUERY_TERMS
    for terms in (*m.FIELD_QUERY_TERMS.values(), *m.DIMENSION_QUERY_TERMS.values()):
        yield from terms
    yield from m.DERIVED_METRIC_COMPONENTS
    yield from (label for _, _, label in m.COLLOQUIAL_METRIC_PATTERNS)
    yield from m._QUERY_ACTION_TERMS


def test_every_table_text_is_its_own_normal_form():
    for text in _every_table_text():
        assert m.normalize(text) == text


class Text(str):
    def casefold(self):  # never consulted: a subclass is read as its text
        return "patched"

    def strip(self, chars=None):
        return "patched"


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, ""),
        (3, ""),
        (b"GMV", ""),
        (["GMV"], ""),
        ("", ""),
        (" \t\u3000\n", ""),
        (" ＡＢＣ\u3000", "abc"),
        ("Straße", "strasse"),
        ("ﬁ", "fi"),
        ("ＧＭＶ＝：", "gmv=:"),
        ("  TEAM_UserName ", "team_username"),
        ("销售 额", "销售 额"),  # white space inside stays
        ("Ǆ", "dž"),
        ("\u01f0", "j\u030c"),  # folding decomposes it; nothing composes it again
        ("\ud800X", "\ud800x"),
        ("\x00A\x1f", "\x00a"),  # NUL is no white space, U+001F is
        ("e\u0301", "é"),
        ("ÉßＡ" * 10, "éssa" * 10),
        (Text(" ＧＭＶ "), "gmv"),
    ],
)
def test_normalize(value, expected):
    result = m.normalize(value)
    assert result == expected
    assert type(result) is str
