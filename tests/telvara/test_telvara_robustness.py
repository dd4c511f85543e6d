"""Calls through the instance, hostile JSON-shaped input, deep nesting and reference leaks."""

import copy

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara

from ..conftest import assert_no_leak
from ..growth import assert_linear
from .conftest import Lookup
from .test_telvara_official_report import ANSWERS, INFERRED, questionnaire

BLOCK_TYPES = ["paragraph", "text", "quote", "heading", "list", "table", "bullet", "other", None]

STRUCTURED = {
    "asin": "b0x",
    "diagnosis_report": {
        "asin": " b0demo ",
        "sections": {
            "2": {"title": "补充", "children": [{"rows": [{"k": "v"}, {"k": "w", "j": 0}]}]},
            "1": {"subsections": [
                {"table": {"headers": ["h", "i"], "rows": [{"h": "a|b", "i": "1\n\n\n2"}, ["c", "d", "e"]]}},
                {"index": "2", "rows": [["x"]]},
                {"blocks": [
                    {"type": t, "text": "t", "content": "c", "value": ["v", {"type": "quote", "text": "q"}],
                     "level": 2, "items": ["i", {"prefix": "p", "text": "x"}], "label": "l", "title": "T",
                     "body": "b", "headers": ["h"], "rows": [["r"]]}
                    for t in BLOCK_TYPES
                ] + ["plain\ntext"]},
                {"text": [" a ", {"type": "heading", "text": "h"}], "content": "ignored"},
            ]},
        },
    },
}

QA = {
    "questions": [" q1 ", {"text": "q2"}],
    "upload_payload": {"records": [{"questions": ["p1"]}]},
    "answers": [
        {
            "productLinks": [{"asin": "a", "title": "t", "href": "h", "source": "s", "description": "d"}, "x"],
            "text": "# 标题\n\n- a\n  b\n1. c\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\n```\n# code\n```\npara",
            "recommendedAsins": [{"asin": "b", "source": "s"}],
            "summaryText": "总结",
        },
        {
            "isSuccess": True,
            "blocks": [{"type": t, "text": "x", "level": 2, "cells": ["a", "b"]}
                       for t in ["heading", "paragraph", "list_item", "list_item", "table_row", "table_row", "x"]],
        },
        None,
    ],
}


def test_reports_are_the_same_through_attribute_lookup():
    slow = Lookup()
    assert slow.format_data(STRUCTURED) == Telvara().format_data(STRUCTURED)
    assert slow.looked_up == {
        "_format_structured_diagnosis_report", "_normalize_structured_sections", "_normalize_structured_subsections",
        "_int_value", "_render_structured_subsection", "_render_structured_table", "_headers_from_structured_rows",
        "_markdown_table", "_pad_row", "_md_cell", "_render_structured_blocks", "_render_structured_block",
        "_render_structured_value", "_structured_item_text", "_trim_blank", "_collapse_blank_lines",
    }
    slow = Lookup()
    qa = {k: v for k, v in QA.items()}
    assert slow.format_data(qa) == Telvara().format_data(qa)
    assert slow.looked_up == {
        "_extract_questions", "_normalize_question_list", "_is_diagnosis_report", "_question_at", "_format_section",
        "_format_product_links", "_format_recommended_asins", "_format_link_items", "_format_answer_body",
        "_build_answer_blocks", "_build_structured_answer_blocks", "_normalize_structured_row", "_normalize_row_cells",
        "_build_text_fallback_blocks", "_normalize_text_lines", "_parse_markdown_heading", "_parse_markdown_table",
        "_parse_pipe_row", "_is_markdown_delimiter_row", "_parse_markdown_list_item", "_to_structured_blocks",
        "_render_blocks",
    }


def passing_through(name):
    """A subclass whose method `name` only calls the class's own."""

    def method(self, *args, **kwargs):
        return getattr(Telvara, name)(self, *args, **kwargs)

    return type("PassThrough", (Telvara,), {name: method})


TABLES = {"diagnosis_report": {"sections": [{"index": 2, "subsections": [
    {"index": 2, "table": {"rows": [1, None]}},  # no row: the placeholder row
    {"index": 3, "table": {"headers": ["a", " ", 3], "rows": [{"a": 0, 3: "x\u2028y"}, [1, "b|c", None, "d\\", "e"], []]}},
    {"index": 4, "rows": [{"k": 1, "j": [2]}, ["only"], ["p", "q", "r", "s"]]},
]}]}}


@pytest.mark.parametrize("name", sorted(n for n in vars(Telvara) if n.startswith("_") and not n.startswith("__")))
def test_reports_are_the_same_with_any_one_method_overridden(name):
    # Each override takes its callers off their native road at that one call.
    prose = [questionnaire(ANSWERS), questionnaire(INFERRED)]
    for data in [STRUCTURED, TABLES, QA, *prose]:
        assert passing_through(name)().format_data(data) == Telvara().format_data(data)


def test_class_patches_apply_and_undo(monkeypatch):
    tv = Telvara()
    before = tv.format_data(STRUCTURED)
    monkeypatch.setattr(Telvara, "_md_cell", lambda self, value: "X")
    monkeypatch.setattr(Telvara, "_format_link_items", lambda self, raw, *, include_source: [f"links {include_source}"])
    assert "| X | X |" in tv.format_data(STRUCTURED)
    assert "links False" in tv.format_data(QA) and "links True" in tv.format_data(QA)
    monkeypatch.undo()
    assert tv.format_data(STRUCTURED) == before


def test_patched_methods_returning_odd_kinds_fail_cleanly(monkeypatch):
    tv = Telvara()
    monkeypatch.setattr(tv, "_md_cell", lambda value: 5)
    with pytest.raises(TypeError, match="expected str instance, int found"):
        tv._markdown_table(["h"], [["a"]])
    monkeypatch.setattr(tv, "_format_section", lambda index, answer, question: None)
    with pytest.raises(TypeError):
        tv.format_data({"answers": [{}]})
    monkeypatch.setattr(tv, "_normalize_text_lines", lambda text: [1])
    with pytest.raises(AttributeError):
        tv._build_text_fallback_blocks("x")


def test_lines_that_are_not_text_are_refused_as_join_refuses_them(monkeypatch):
    # Sections are joined as they are written: the first item that is not
    # text fails the join it is part of, by its index there.
    tv = Telvara()
    monkeypatch.setattr(tv, "_format_answer_body", lambda index, answer: ["a", 1, None])
    with pytest.raises(TypeError, match=r"^sequence item 5: expected str instance, int found$"):
        tv.format_data({"answers": [{}]})
    monkeypatch.setattr(tv, "_format_section", lambda index, answer, question: "s" if index != 2 else None)
    with pytest.raises(TypeError, match=r"^sequence item 1: expected str instance, NoneType found$"):
        tv.format_data({"answers": [{}, {}, {}]})


@pytest.mark.parametrize(
    "method, fake, run, error, message",
    [
        ("_parse_markdown_table", lambda lines, start: ({}, 1, 2), lambda tv: tv._build_text_fallback_blocks("| a | b |"),
         ValueError, r"too many values to unpack \(expected 2\)"),
        ("_parse_markdown_table", lambda lines, start: 5, lambda tv: tv._build_text_fallback_blocks("| a | b |"),
         TypeError, "cannot unpack non-iterable int object"),
        ("_split_numbered_sections", lambda text: ([],), lambda tv: tv._format_diagnosis_answer(1, {"answer": "x"}),
         ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
        ("_collect_marker_groups", lambda lines, pattern: [(1, 2, 3)], lambda tv: tv._infer_image_sections(["图1"]),
         ValueError, r"not enough values to unpack \(expected 5, got 3\)"),
        ("_render_structured_block", lambda block: 5, lambda tv: tv._render_structured_value([{"type": "x"}]),
         TypeError, "'int' object is not iterable"),
    ],
)
def test_patched_methods_of_the_wrong_shape_fail_as_python_does(tv, method, fake, run, error, message):
    setattr(tv, method, fake)
    with pytest.raises(error, match=message):
        run(tv)


def test_subclass_overrides_apply():
    class Upper(Telvara):
        def _parse_pipe_row(self, line):
            row = super()._parse_pipe_row(line)
            return None if row is None else [cell.upper() for cell in row]

    text = Upper().format_data({"answers": [{"text": "| a | b |\n|---|---|\n| c | d |"}]})
    assert text.endswith("| A | B |\n| --- | --- |\n| C | D |")


def test_instance_patch_applies_only_to_that_instance(monkeypatch):
    patched, plain = Telvara(), Telvara()
    monkeypatch.setattr(patched, "_collapse_blank_lines", lambda text: "collapsed")
    assert patched.format_data(STRUCTURED) == "collapsed"
    assert plain.format_data(STRUCTURED) != "collapsed"


# --- hostile input -----------------------------------------------------------

HUGE = "长" * 50_000 + "\n" + "| a | b |\n" * 1000
VALUES = [
    None, True, False, 0, 1, -7, 2.5, float("nan"), 10**30, "", " ", "x", "\ud800", "\udfff|\ud800", "# h",
    "- i", "1、当前标题内容", "| a | b |\n|---|---|", "a\r\n\r\n\r\nb", [], {}, [None], ["x"], [{}], [[1, "x"]],
    {"a": None}, {"type": "heading"}, [{"type": "table_row", "cells": [None, 1]}], HUGE,
]


def paths(value, prefix=()):
    """Every position inside nested mappings and lists."""
    if isinstance(value, dict):
        for key, inner in value.items():
            yield prefix + (key,)
            yield from paths(inner, prefix + (key,))
    elif isinstance(value, list):
        for index, inner in enumerate(value):
            yield prefix + (index,)
            yield from paths(inner, prefix + (index,))


def replaced(document, path, value):
    result = copy.deepcopy(document)
    target = result
    for step in path[:-1]:
        target = target[step]
    target[path[-1]] = value
    return result


@pytest.mark.parametrize("document", [STRUCTURED, QA], ids=["structured", "qa"])
def test_every_value_in_every_key_gives_a_report(document):
    tv = Telvara()
    all_paths = list(paths(document))
    assert len(all_paths) > 40
    for path in all_paths:
        for value in VALUES:
            assert isinstance(tv.format_data(replaced(document, path, value)), str), (path, value)


def test_list_changed_by_an_items_text_form_fails_as_indexing_does():
    lines = []

    class Clears:
        def __str__(self):
            lines.clear()
            return ""

    lines.extend([Clears(), "a"] + ["b"] * 100)
    with pytest.raises(IndexError):
        Telvara()._trim_blank(lines)
    lines.extend(["a", Clears()])
    with pytest.raises(IndexError):
        Telvara()._trim_blank(lines)


def test_lone_surrogates_and_odd_code_points_survive():
    text = "\ud800a\udfff \U0001f600 \x00 \u2028"
    report = Telvara().format_data({"answers": [{"text": text, "summaryText": text}], "questions": [text]})
    assert report.count("\ud800a\udfff \U0001f600 \x00") == 3


def test_huge_text():
    report = Telvara().format_data({"answers": [{"text": HUGE}]})
    assert report.startswith("## 第 1 题：第 1 题\n\n### 答案\n\n" + "长" * 50_000)
    assert report.count("| a | b |") == 1000


def test_long_list_item_continuation_takes_linear_time():
    # Joined line by line, the item's growing text would be copied for every line (half a minute here).
    def check(count, blocks):
        assert blocks == [{"kind": "list_item", "text": "a" + " continued text" * count + " y"},
                          {"kind": "text", "text": "tail"}]

    tv = Telvara()
    assert_linear(lambda count: tv._build_text_fallback_blocks("- a\n" + "  continued text\n" * count + "tail\n  y"),
                  200_000, check)


# --- deep nesting ------------------------------------------------------------

def nested_value(depth):
    value = "leaf"
    for _ in range(depth):
        value = [{"text": value}]
    return value


@pytest.mark.parametrize("tv", [Telvara(), Lookup()], ids=["direct", "lookup"])
def test_deep_nesting_raises_recursion_error(tv):
    assert tv._render_structured_value(nested_value(50)) == ["leaf"]
    deep = nested_value(100_000)
    with pytest.raises(RecursionError):
        tv._render_structured_value(deep)
    report = {"diagnosis_report": {"sections": [{"subsections": [{"blocks": deep}]}]}}
    with pytest.raises(RecursionError):
        tv.format_data(report)
    assert tv._render_structured_value(nested_value(50)) == ["leaf"]


def test_deep_values_shown_as_text_fail_like_repr():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        Telvara().format_data({"diagnosis_report": {"sections": [{"subsections": [{"table": {"headers": ["h"], "rows": [[deep]]}}]}]}})


# --- references --------------------------------------------------------------

TOO_DEEP = nested_value(1500)


def exercise(tv):
    tv.format_data(STRUCTURED)
    tv.format_data(QA)
    for bad in [None, [], "x"]:
        try:
            tv.format_data(bad)
        except TypeError:
            pass
    try:
        tv._markdown_table(["h"], [["a", 1]])
    except TypeError:
        pass
    try:
        tv._render_structured_value(TOO_DEEP)
    except RecursionError:
        pass
    tv._int_value("nope", 1)
    tv._normalize_structured_sections({"b": {"index": "x"}, "a": {}})


@pytest.mark.parametrize("tv", [Telvara(), Lookup()], ids=["direct", "lookup"])
def test_no_reference_leaks(tv):
    assert_no_leak(lambda: exercise(tv), warmup=20, rounds=200, blocks=200)
