"""Odd and hostile questions: the detectors agree with the plain rules on any
text, and a megabyte of anything comes back in linear time."""

import importlib.util
import random
import sys
import unicodedata
from pathlib import Path
from re import _constants as sre, _parser as sre_parse  # the interpreter's own reading of a pattern

import pytest

from pelorin.query.services.planner import ombrith as m

from ..conftest import assert_no_leak
from ..growth import assert_linear

_spec = importlib.util.spec_from_file_location("ombrith_reference", Path(__file__).with_name("ombrith_reference.py"))
ref = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(ref)

PIECES = [
    "销量", "销售", "销售额", "销售员", "销售人员", "负责人", "卖", "卖了", "卖得", "卖的", "多少", "几单", "单", "单价",
    "单号", "钱", "个", "件", "笔", "订单", "出", "最", "好", "多", "集", "数据", "情况", "趋势", "小组", "额", "广告",
    "投放", "推广", "花", "烧", "支出", "了", "一共", "毛利", "毛利率", "率", "利润", "采购成本", "占比", "成交量",
    "收入", "营收", "ctr", "CTR", "ＣＴＲ", "gmv", "ＧＭＶ", "acos", "TACOS", "SB", "V", "7日", "1", "事业部", "集团",
    "按", "各", "每位", "所有", "是", "：", ":", "=", "＝", "统计", "查询", "查看", "计费", "费用", "分析",
    "team_username", "TEAM_USERNAME", " ", "  ", "\u3000", "\t\n", "a", "x", "e\u0301", "\ud800", "\x00", "ﬁ", "ß",
    "销", "售", "几", "下", "接", "价", "位", "金额", "怎么样", "人员", "员", "为", "最好", "\u01f0", "\u0345",
]


SPACES = [" ", "  ", "\t", "\u3000", "\x1c", "\n \u2003"]


def phrase(rng, items):
    # A random text of a stored pattern's language; now and then it also
    # writes what a negative lookahead refuses, and white space for \s*.
    out = []
    for op, arg in items:
        if op is sre.LITERAL:
            out.append(chr(arg))
        elif op is sre.SUBPATTERN:
            out.append(phrase(rng, arg[3]))
        elif op is sre.BRANCH:
            out.append(phrase(rng, rng.choice(arg[1])))
        elif op is sre.IN:
            kind, value = rng.choice(arg)
            out.append(rng.choice(SPACES) if kind is sre.CATEGORY else chr(value))
        elif op is sre.MAX_REPEAT:
            low, high, sub = arg
            out.extend(phrase(rng, sub) for _ in range(rng.randint(low, min(high, 2))))
        elif op is sre.ASSERT_NOT:
            if rng.random() < 0.4:
                out.append(phrase(rng, arg[1]))
        else:
            raise AssertionError(op)
    return "".join(out)


PATTERNS = [sre_parse.parse(p) for p in [*(p for p, _, _ in m.COLLOQUIAL_METRIC_PATTERNS),
                                         m._BROAD_SALES_METRIC_RE.pattern, m._SALES_PERSON_CONTEXT_RE.pattern]]


def question(rng):
    parts = [phrase(rng, rng.choice(PATTERNS)) if rng.random() < 0.25 else rng.choice(PIECES)
             for _ in range(rng.randint(0, 10))]
    text = "".join(parts)
    for _ in range(rng.choice([0, 0, 1, 2])):  # a cut, or white space, anywhere
        at = rng.randint(0, len(text))
        text = text[:at] + rng.choice(["", *SPACES]) + text[at + rng.randint(0, 1):]
    return text


def label(rng):
    return "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 3)))


def test_detectors_agree_with_the_plain_rules():
    rng = random.Random(20240611)
    for _ in range(6000):
        q = question(rng)
        labels = [label(rng) for _ in range(rng.randint(0, 3))]
        assert list(m.requested_canonical_fields(q, protected_terms=iter(labels)).items()) == list(
            ref.requested(m, q, labels).items()
        ), (q, labels)
        assert list(m.colloquial_metric_fields(q).items()) == list(ref.colloquial(m, q).items()), q
        assert m.has_broad_sales_metric_intent(q) is ref.broad(m, q), q
        assert m.sales_person_dimension_requested(q) is ref.sales_person(m, q), q
        assert list(m.dimension_alias_fields(q).items()) == list(ref.dimensions(m, q).items()), q
        term = label(rng)
        assert m.has_standalone_term_occurrence(term, q) is ref.has_standalone(m, term, q), (term, q)
        text, needle = ref.normalize(q), ref.normalize(term)
        assert m._term_spans(needle, text) == ref.term_spans(needle, text)
        assert m._has_uncovered_occurrence(needle, text, labels) is ref.has_uncovered(needle, text, labels)
        assert m.metric_term_is_covered(term, labels) is ref.covered(m, term, labels), (term, labels)


def test_stored_expressions_agree_with_re_on_every_code_point_class():
    # Questions of the expressions' language with characters of every general
    # category (and every white-space character) in and around them.
    rng = random.Random(5)
    members = {}
    for cp in range(sys.maxunicode + 1):
        members.setdefault(unicodedata.category(chr(cp)), []).append(chr(cp))
    odd = [c for group in members.values() for c in rng.sample(group, min(8, len(group)))]
    odd += [chr(cp) for cp in range(sys.maxunicode + 1) if chr(cp).isspace()]
    for _ in range(4000):
        q = question(rng)
        for _ in range(rng.randint(1, 3)):
            at = rng.randint(0, len(q))
            q = q[:at] + rng.choice(odd) + q[at:]
        assert list(m.colloquial_metric_fields(q).items()) == list(ref.colloquial(m, q).items()), q
        assert m.has_broad_sales_metric_intent(q) is ref.broad(m, q), q
        assert m.sales_person_dimension_requested(q) is ref.sales_person(m, q), q


def test_questions_asked_in_turn_each_get_their_own_answers():
    # Texts of one length that differ in a character, and equal texts that
    # are other objects, asked of every detector in a shuffled order.
    questions = ["卖了多少钱", "卖了多少件", "各销售员们", "各销售额们", "广告花多少", "广告花多久", "事业部销售", "事业部销量"]
    questions += ["".join(list(q)) for q in questions]
    detectors = [
        (lambda q: list(m.requested_canonical_fields(q).items()), lambda q: list(ref.requested(m, q).items())),
        (lambda q: list(m.colloquial_metric_fields(q).items()), lambda q: list(ref.colloquial(m, q).items())),
        (m.has_broad_sales_metric_intent, lambda q: ref.broad(m, q)),
        (m.sales_person_dimension_requested, lambda q: ref.sales_person(m, q)),
        (lambda q: list(m.dimension_alias_fields(q).items()), lambda q: list(ref.dimensions(m, q).items())),
        (lambda q: m.has_standalone_term_occurrence("销售", q), lambda q: ref.has_standalone(m, "销售", q)),
    ]
    calls = [(native, plain, q) for native, plain in detectors for q in questions] * 3
    random.Random(9).shuffle(calls)
    for native, plain, q in calls:
        assert native(q) == plain(q), q


def test_long_overlapping_terms_are_all_found():
    rng = random.Random(3)
    for _ in range(3000):
        text = "".join(rng.choice("ab\U0001f600") for _ in range(rng.randint(0, 40)))
        term = "".join(rng.choice("ab\U0001f600") for _ in range(rng.randint(9, 14)))
        if rng.random() < 0.5:
            term = (term[: rng.randint(1, 4)] * 14)[: len(term)]  # periodic, so occurrences overlap
            text = (term * 6)[: rng.randint(len(term), 6 * len(term))] + text
        assert m._term_spans(term, text) == ref.term_spans(term, text), (term, text)


ASSIGNED = [*range(0x32000), *range(0xE0000, 0xE1000), *range(0xF0000, 0xF0100)]


def test_normalize_agrees_with_the_interpreter_on_every_code_point():
    # Each code point after a letter a following mark may compose with, before
    # a full-width letter and after an ideographic space.
    for cp in ASSIGNED:
        c = chr(cp)
        text = f"a{c}\u0301中{c}Ａ\u3000{c}Ｑ\u0307"
        assert m.normalize(text) == ref.normalize(text), hex(cp)
        assert m.normalize(c) == ref.normalize(c), hex(cp)


MARKS = ["\u0301", "\u0316", "\u0344", "\u0340", "\u0f73", "\u0f71", "\u05b0", "\u0327", "\u0323",
         "\U0001d165", "\U0001d16e", "\u302a", "\u3099", "\u0345"]
BASES = ["a", "e", "o", "ω", "か", "\u1100", "\u1161", "\u11a8", "中", " ", "A", "\ufb01"]


def test_normalize_reorders_long_mark_runs_exactly_as_the_interpreter_would():
    rng = random.Random(7)
    for _ in range(30):
        parts = []
        while sum(map(len, parts)) < 1500:
            parts.append(rng.choice(BASES))
            parts.extend(rng.choice(MARKS) for _ in range(rng.choice([0, 1, 3, 20, 150])))
        text = "".join(parts)
        assert m.normalize(text) == ref.normalize(text)


HUGE = 1_000_000


def in_order(n):
    # Canonically equivalent to "a" + "\u0301\u0316" * n, already ordered.
    return unicodedata.normalize("NFKC", "a" + "\u0316" * n + "\u0301" * n)


@pytest.mark.parametrize(
    "text, expected",
    [
        (lambda n: "a" + "\u0301\u0316" * (n // 2), lambda n: in_order(n // 2)),
        (lambda n: "\ud800" * n, lambda n: "\ud800" * n),
        (lambda n: "\u3000\t " * (n // 3), lambda n: ""),
        (lambda n: "ＧＭＶ" * (n // 3), lambda n: "gmv" * (n // 3)),
        (lambda n: "\x00\x07\x7f" * (n // 3), lambda n: "\x00\x07\x7f" * (n // 3)),
    ],
    ids=["unordered-marks", "lone-surrogates", "white-space", "full-width", "control"],
)
def test_normalize_huge_texts_in_time(text, expected):
    def check(n, result):
        assert result == expected(n)

    assert_linear(lambda n: m.normalize(text(n)), HUGE, check)


def run_all(q, protected=()):
    return (
        list(m.requested_canonical_fields(q, protected_terms=protected).items()),
        list(m.colloquial_metric_fields(q).items()),
        m.has_broad_sales_metric_intent(q),
        m.sales_person_dimension_requested(q),
        list(m.dimension_alias_fields(q).items()),
    )


@pytest.mark.parametrize(
    "question, expected",
    [
        (lambda n: ("a" * n, ()), ([], [], False, False, [])),
        (lambda n: ("广告" + " " * n + "花多少", ()), ([("advertising_fee", "广告花了多少")],
                                                  [("advertising_fee", "广告花了多少")], False, False, [])),
        (lambda n: ("广告 " * (n // 3) + "多少", ()), ([], [], False, False, [])),
        (lambda n: ("销售" + "\u3000" * n + "情况", ()), ([("price", "销售情况"), ("order_qty", "销售情况"),
                                                      ("orders", "销售情况")], [], True, False, [])),
        (lambda n: ("按" + " " * n + "销售", ()), ([], [], False, True, [])),
        (lambda n: ("毛利率" * (n // 3), ("毛利率",)), ([], [], False, False, [])),
        (lambda n: ("毛利率" * (n // 3) + "毛利", ["毛利率"]), ([("gross_profit", "毛利")], [], False, False, [])),
        (lambda n: ("集团事业部" * (n // 5), ()), ([], [], False, False, [("dept_name", "事业部")])),
        (lambda n: ("销量", ["毛利率" * n]), ([("order_qty", "销量")], [], False, False, [])),
        (lambda n: ("毛利率", [f"标签{i}" for i in range(n // 50)] + ["毛利率"]), ([], [], False, False, [])),
        (lambda n: ("\ud800销量\udfff" * (n // 4), ()), ([("order_qty", "销量")], [], False, False, [])),
        (lambda n: ("毛利" * (n // 2), ["毛利" * (n // 4)]), ([], [], False, False, [])),
        (lambda n: ("毛利率" * (n // 3), ["毛利率"] * 300), ([], [], False, False, [])),
    ],
    ids=["ascii", "space-run-match", "many-ad-starts", "broad-over-spaces", "grouping-over-spaces",
         "protected-everywhere", "protected-all-but-last", "dimension", "huge-label", "many-labels", "surrogates",
         "long-label-overlapping", "repeated-label"],
)
def test_huge_questions_in_time(question, expected):
    def asked_afresh(n):
        m.has_broad_sales_metric_intent("")  # else the repeats find their question kept as the last one
        return run_all(*question(n))

    def check(n, result):
        assert result == expected

    assert_linear(asked_afresh, HUGE, check)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda n: m.has_standalone_term_occurrence("a", "a" * n), False),
        (lambda n: m.has_standalone_term_occurrence("计", "统计" * (n // 2)), False),
        (lambda n: m.has_standalone_term_occurrence("a" * n, "a" * n), True),
        (lambda n: m._has_uncovered_occurrence("aa", "a" * n, ["aaa"]), False),
        (lambda n: len(m._term_spans("", "x" * n)), lambda n: n + 1),
        (lambda n: len(m._term_spans("a" * (n // 2), "a" * n)), lambda n: n // 2 + 1),
        (lambda n: m.has_standalone_term_occurrence("a" * (n // 2), "b" + "a" * n), False),
        (lambda n: m.metric_term_is_covered("销量" * n, ["x"] * (n // 10) + ["销量" * n]), True),
    ],
    ids=["glued-everywhere", "inside-verbs", "whole-text", "covered-everywhere", "empty-term", "long-overlapping-term",
         "long-term-glued-everywhere", "big-card"],
)
def test_huge_occurrence_checks_in_time(call, expected):
    # A result that follows the size is given as a function of it.
    def check(n, result):
        assert result == (expected(n) if callable(expected) else expected)

    assert_linear(call, HUGE, check)


class Text(str):
    pass


def test_repeated_calls_hold_no_references():
    label = "毛利率" + str(random.random())
    q = "毛利率和毛利" + label
    refused = Text(q)

    def calls():
        m.requested_canonical_fields(q, protected_terms=[label, None])
        m._has_uncovered_occurrence("毛利", q, (label,))
        m.metric_term_is_covered("销量", [label])
        m.has_standalone_term_occurrence(label, q)
        try:
            m.requested_canonical_fields(refused, protected_terms=[label])
        except TypeError:
            pass

    assert_no_leak(calls, warmup=100, rounds=20000, blocks=1000, watched=(label, refused))
