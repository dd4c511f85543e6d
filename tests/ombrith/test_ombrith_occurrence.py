"""Where a word occurs, and when an occurrence counts."""

import pytest

from pelorin.query.services.planner import ombrith as m


class Text(str):
    pass


@pytest.mark.parametrize(
    "term, text, spans",
    [
        ("aa", "aaaa", [(0, 2), (1, 3), (2, 4)]),
        ("x", "ab", []),
        ("", "ab", [(0, 0), (1, 1), (2, 2)]),
        ("", "", [(0, 0)]),
        ("毛利", "毛利率和毛利", [(0, 2), (4, 6)]),
        ("\ud800", "a\ud800\ud800", [(1, 2), (2, 3)]),
        ("A", "a", []),  # taken as given, not normalised
    ],
)
def test_term_spans(term, text, spans):
    assert m._term_spans(term, text) == spans
    assert m._term_spans(text=text, term=term) == spans


@pytest.mark.parametrize("char, expected", [("a", True), ("Z", True), ("5", True), ("ab9", True),
                                            ("_", False), ("é", False), ("１", False), ("中", False),
                                            ("", False), ("a_", False)])
def test_is_ascii_word_char(char, expected):
    assert m._is_ascii_word_char(char) is expected


@pytest.mark.parametrize(
    "term, query, expected",
    [
        # Words that begin or end with an ASCII letter or digit need a boundary there.
        ("acos", "各平台的TACOS", False),
        ("acos", "各平台的ACOS", True),
        ("sb", "SBV", False),
        ("sb", "SB广告", True),
        ("7日", "近17日", False),
        ("7日", "近7日", True),
        ("日7", "日78", False),
        ("acos", "tacos和acos", True),  # glued once, free once
        ("a_b", "xa_bx", False),
        ("_b", "a_b", True),  # an underscore edge is not looked at
        ("毛利", "毛利率", True),  # Chinese edges are not looked at
        ("ACoS", "acos值", True),
        ("ＡＣＯＳ", "ACOS", True),
        # A word may not start inside an action verb and run beyond it.
        ("计费", "统计费用", False),
        ("计费", "统计计费", True),
        ("统计", "统计", True),
        ("计", "统计", False),  # starts inside the verb and reaches its end
        ("查", "查询", True),  # starts where the verb starts
        ("看分", "查看分析", False),
        ("计费", "统计费用和计费", True),
        # Nothing to find.
        ("", "毛利", False),
        (" \u3000", "毛利", False),
        ("毛利", "", False),
    ],
)
def test_has_standalone_term_occurrence(term, query, expected):
    assert m.has_standalone_term_occurrence(term, query) is expected


@pytest.mark.parametrize(
    "term, text, protected, expected",
    [
        ("毛利", "毛利率和毛利", ["毛利率"], True),
        ("毛利", "毛利率", ["毛利率"], False),
        ("毛利", "毛利率", ["毛利"], True),  # an equal label never protects
        ("毛利", "毛利率", ["", None], True),
        ("毛利", "毛利率", [" 毛利率 ", 3, b"x"], False),  # labels are normalised
        ("毛利", "毛利润率", ["毛利率"], True),  # a label that is not in the text adds nothing
        ("毛利", "毛利润和毛利率", ["毛利率", "毛利润"], False),
        ("利润", "毛利润率", ["毛利润", "利润率"], False),  # each occurrence held by some label
        ("aa", "aaa", ["aaa"], False),
        ("aa", "aaab", ["aaa"], False),
        ("aa", "aaaa", ["aaa"], False),
        ("aa", "aabaa", ["aab"], True),
        ("", "ab", ["b"], True),  # the empty term at index 0 is outside (1, 2)
        ("", "ab", ["ab"], False),
        ("销量", "毛利", None, False),  # the labels are not read when the term is absent
    ],
)
def test_has_uncovered_occurrence(term, text, protected, expected):
    assert m._has_uncovered_occurrence(term, text, protected) is expected


def test_has_uncovered_occurrence_reads_labels_once_and_only_when_needed():
    labels = iter(["毛利率"])
    assert m._has_uncovered_occurrence("毛利", "毛利率", labels) is False
    assert list(labels) == []
    with pytest.raises(TypeError, match="not iterable"):
        m._has_uncovered_occurrence("毛利", "毛利率", None)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda bad: m._term_spans(bad, "a"), "term"),
        (lambda bad: m._term_spans("a", bad), "text"),
        (lambda bad: m._is_ascii_word_char(bad), "char"),
        (lambda bad: m.has_standalone_term_occurrence(bad, "a"), "term"),
        (lambda bad: m.has_standalone_term_occurrence("a", bad), "query"),
        (lambda bad: m._has_uncovered_occurrence(bad, "a", ()), "term"),
        (lambda bad: m._has_uncovered_occurrence("a", bad, ()), "text"),
    ],
)
@pytest.mark.parametrize("bad", [None, Text("a"), b"a", 1])
def test_text_parameters_refuse_other_kinds(call, name, bad):
    with pytest.raises(TypeError, match=f"'{name}'"):
        call(bad)


def test_wrong_arguments():
    with pytest.raises(TypeError):
        m._term_spans("a")
    with pytest.raises(TypeError):
        m.has_standalone_term_occurrence("a", "b", "c")
    with pytest.raises(TypeError):
        m._has_uncovered_occurrence("a", "b", protected=())
