"""What hostile Python code hands back to the report code: working lists that
an override finds through the collector and shrinks, line indices and group
numbers at the limits of a C long long, and answers of the wrong kind. Each
gives a result or the clean error that Python code would give, never a
crash."""

import gc
import subprocess
import sys

import pytest

from pelorin.amazon_rufus.services import telvara as module
from pelorin.amazon_rufus.services.telvara import Telvara

from ..conftest import HOSTILE_ANSWERS, ApiError, NotFound


def lists_holding(value):
    """The lists that hold `value`, found as Python code can find a list that
    native code works on (a tuple, so that it is no such list itself)."""
    return tuple(r for r in gc.get_referrers(value) if type(r) is list)


def dicts_holding(value):
    return tuple(r for r in gc.get_referrers(value) if type(r) is dict)


# --- working lists shrunk from Python ------------------------------------------

TABLE_ROWS = [{"type": "table_row", "cells": cells} for cells in (["h1", "h2"], ["a"], ["b", "c", "d"], ["e", "f"])]


class RowsCleared(Telvara):
    """Clears whatever list holds the row it fits."""

    def _normalize_row_cells(self, row, width):
        for rows in lists_holding(row):
            rows.clear()
        return super()._normalize_row_cells(row, width)


class ClearingHeader:
    """A table's header row whose length clears whatever list holds it."""

    def __len__(self):
        for rows in lists_holding(self):
            rows.clear()
        return 2

    def __iter__(self):
        return iter(["h1", "h2"])


class HeaderClears(Telvara):
    def _normalize_structured_row(self, block):
        return ClearingHeader() if block["cells"] == ["h1", "h2"] else super()._normalize_structured_row(block)


class Marker:
    """A section's own index, which the number method does not read."""


class CopiesCleared(Telvara):
    """Reading a copy's index clears whatever list holds the copy."""

    def _int_value(self, value, default):
        if type(value) is Marker:
            for copy in dicts_holding(value):
                for copies in lists_holding(copy):
                    copies.clear()
        return super()._int_value(value, default)


class LastLineClears:
    """A rendered line whose comparison clears the list that holds it, and
    leaves it to the other side (which then reads it again)."""

    def __eq__(self, other):
        for lines in lists_holding(self):
            lines.clear()
        return NotImplemented

    __hash__ = object.__hash__


class RendersAClearingLine(Telvara):
    def _render_structured_block(self, block):
        return [LastLineClears()] if block == 1 else ["y"]


def fitted_table_rows():
    blocks = RowsCleared()._build_structured_answer_blocks(TABLE_ROWS)
    return blocks == Telvara()._build_structured_answer_blocks(TABLE_ROWS)


def header_length_clears_the_rows():
    (table,) = HeaderClears()._build_structured_answer_blocks(TABLE_ROWS)
    return table["rows"] == [["a", ""], ["b", "c | d"], ["e", "f"]]


def sorted_section_copies():
    sections = {"2": {"index": Marker(), "title": "b"}, "1": {"index": Marker(), "title": "a"}}
    return CopiesCleared()._normalize_structured_sections(sections) == Telvara()._normalize_structured_sections(sections)


def last_rendered_line_compared():
    return RendersAClearingLine()._render_structured_blocks([1, 2]) == ["", "y"]


@pytest.mark.parametrize("case", [
    fitted_table_rows,
    header_length_clears_the_rows,
    sorted_section_copies,
    last_rendered_line_compared,
], ids=lambda case: case.__name__)
def test_working_lists_cleared_by_python_code_change_nothing_read(case):
    assert case()


# --- indices and numbers at the limits of long long ----------------------------

def outcome(call):
    try:
        return call()
    except Exception as error:
        return type(error)


def finding(value, patterns=None):
    """A report whose _find_line finds `patterns` (every one but the title
    marker when None) at the line `value`."""

    class Finding(Telvara):
        def _find_line(self, lines, pattern, start=0):
            found = pattern in patterns if patterns else pattern != "当前标题"
            if found:
                return value
            return super()._find_line(lines, pattern, start)

    return Finding()


# Each reads the lines its markers are found at; the lines come first.
LINE_ROUTES = {
    "chunk-value": (None, "_chunk_value", (["问题：x", "y"], "问题")),
    "title-sections": (None, "_infer_title_sections", (["a", "b"],)),
    "bullet-summary": ({"综合优化|优化优先级|核心逻辑"}, "_infer_bullet_sections", (["第一点：x", "问题：y", "z"],)),
    "competitor-sections": (None, "_infer_competitor_sections", (["产品定位", "x"],)),
    "overall-sections": (None, "_infer_overall_sections", (["整体", "x"],)),
}


@pytest.mark.parametrize("name", ["2**63-1", "2**63"])
@pytest.mark.parametrize("route", sorted(LINE_ROUTES))
def test_a_marker_line_beyond_long_long_reads_as_one_past_the_end(route, name):
    # As Python reads it: chunk[start] fails, and every slice from there is empty.
    patterns, method, args = LINE_ROUTES[route]
    beyond = outcome(lambda: getattr(finding(HOSTILE_ANSWERS[name](), patterns), method)(*args))
    assert beyond == outcome(lambda: getattr(finding(len(args[0]), patterns), method)(*args))


@pytest.mark.parametrize("name", ["-2**63", "-2**63-1"])
def test_the_priority_of_a_group_numbered_at_the_limits(name):
    number = HOSTILE_ANSWERS[name]()

    class Numbered(Telvara):
        def _collect_marker_groups(self, lines, pattern):
            return [(number, "图1", "", ["问题：x"], 0)]

    assert Numbered()._infer_image_sections(["图1"])[3][0] == f"P{min(number - 1, 3)}"


class PipeRowsAreDelimiters(Telvara):
    def _parse_pipe_row(self, line):
        return ["---", "---"]


@pytest.mark.parametrize("start", [2**63 - 1, 2**63, 2**70], ids=["2**63-1", "2**63", "2**70"])
def test_the_line_after_a_table_started_at_the_limits(start):
    block, after = PipeRowsAreDelimiters()._parse_markdown_table(["x"], start)
    assert after == start + 2


class PaddingClearsTheLines(Telvara):
    def __init__(self, lines):
        self.lines = lines

    def _pad_row(self, row, width):
        self.lines.clear()
        return row


def test_rows_started_past_lines_cleared_meanwhile_are_empty_at_any_width():
    lines = ["x1", "x2"]
    assert PaddingClearsTheLines(lines)._parse_row_start_rows(lines, -(2**63) - 1, "x") == [["x1"], [""]]


# --- an exception whose constructor picks a subclass ---------------------------
# Each raises `raise ApiError` from code the report calls: the caller gets the
# NotFound instance, as from Python code, not a RuntimeError about the class.

class GetRaises(dict):
    def get(self, *args):
        raise ApiError


class DefaultGetRaises(dict):
    """Its get() with a default raises; without one it reads the dict."""

    def get(self, key, *default):
        if default:
            raise ApiError
        return dict.get(self, key)


class ItemsRaises(dict):
    def items(self):
        raise ApiError


class IterRaises(dict):
    def __iter__(self):
        raise ApiError


class StripRaises:
    def strip(self):
        raise ApiError


class LenRaises:
    def __bool__(self):
        return True

    def __len__(self):
        raise ApiError


class ItemRaises:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise ApiError


class HashRaises(str):
    def __hash__(self):
        raise ApiError


def raising_after(*items):
    yield from items
    raise ApiError


def overriding(**methods):
    return type("Overriding", (Telvara,), methods)()


def a_section_number_that_stops_hashing():
    class LateHash(int):
        armed = False

        def __hash__(self):
            if LateHash.armed:
                raise ApiError
            return int.__hash__(self)

    def split(self, text):
        sections = {LateHash(60): ["a"]}
        LateHash.armed = True
        return [], sections

    return overriding(_split_numbered_sections=split)._format_diagnosis_answer(1, {"answer": "x"})


RAISING_ROUTES = {
    "link-item-get": lambda mp: Telvara()._format_link_items([GetRaises(asin="a")], include_source=False),
    "block-get-with-default": lambda mp: Telvara()._to_structured_blocks([DefaultGetRaises(kind="heading")]),
    "sections-items": lambda mp: Telvara()._normalize_structured_sections(ItemsRaises(a={})),
    "question-titles-get": lambda mp: (mp.setattr(module, "DIAGNOSIS_SUBSECTIONS", GetRaises({1: {}})),
                                       Telvara()._is_diagnosis_report([{}], ["q"])),
    "structured-report-strip": lambda mp: overriding(
        _format_structured_diagnosis_report=lambda self, data, report: StripRaises()).format_data(
        {"diagnosis_report": {"asin": "x"}}),
    "pipe-row-length": lambda mp: overriding(_parse_pipe_row=lambda self, line: LenRaises())._table_key_values(["x"]),
    "pipe-row-item": lambda mp: overriding(_parse_pipe_row=lambda self, line: ItemRaises())._table_key_values(["x"]),
    "marker-groups-iteration": lambda mp: overriding(
        _collect_marker_groups=lambda self, lines, pattern: raising_after())._infer_image_sections(["x"]),
    "content-lines-iteration": lambda mp: overriding(
        _normalize_content_lines=lambda self, text: raising_after("x"))._split_numbered_sections("x"),
    "section-numbers-iteration": lambda mp: overriding(
        _split_numbered_sections=lambda self, text: ([], IterRaises({1: ["a"]})))._format_diagnosis_answer(
        1, {"answer": "x"}),
    "schema-headers-iteration": lambda mp: Telvara()._render_schema_table({"headers": IterRaises(a=1)}, []),
    "known-title-hash": lambda mp: Telvara()._drop_intro_and_headers(1, 1, [HashRaises("x")]),
    "section-number-hash": lambda mp: a_section_number_that_stops_hashing(),
}


@pytest.mark.parametrize("route", sorted(RAISING_ROUTES))
def test_code_called_raises_the_instance_its_constructor_made(route, monkeypatch):
    with pytest.raises(NotFound):
        RAISING_ROUTES[route](monkeypatch)


# Patterns are compiled when the module loads: a re.compile patched before
# then gives the report patterns whose matches are anything. Each case loads
# the module afresh in a process of its own.
PATCHED_RE = r"""
import re

real_compile = re.compile


class ApiError(Exception):
    def __new__(cls, *args):
        return super().__new__(NotFound if cls is ApiError else cls, *args)


class NotFound(ApiError):
    pass


class GroupRaises:
    lastindex = 2

    def group(self, n):
        raise ApiError


class LastIndexRaises:
    def group(self, n):
        return "g"

    @property
    def lastindex(self):
        raise ApiError


class Pattern:
    # Its match never fails; its sub refuses nothing.
    def match(self, text, *args):
        return MATCH()

    search = match

    def sub(self, replacement, text, *args):
        return "x"


def compile(pattern, flags=0):
    return Pattern() if pattern == PATTERN else real_compile(pattern, flags)


PATTERN, MATCH = {pattern!r}, {match}
re.compile = compile
from pelorin.amazon_rufus.services.telvara import Telvara

try:
    print(repr({call}))
except Exception as error:
    print(type(error).__name__)
"""

IMAGE_MARKER = r"^(图\s*\d+)[｜|—\-]?\s*(.*)$"
# The pattern patched, its match, the call and what it prints: the error's
# class, the instance that the constructor made, or the refusal of an item
# that `re` would have refused and the patched pattern took.
PATCHED_PATTERN_ROUTES = {
    "marker-group-text": (IMAGE_MARKER, "GroupRaises", "Telvara()._collect_marker_groups(['图1'], PATTERN)", "NotFound"),
    "marker-group-last-index": (IMAGE_MARKER, "LastIndexRaises", "Telvara()._collect_marker_groups(['图1'], PATTERN)",
                                "NotFound"),
    "bullet-number-text": (r"^(\d+)[.)、]?$", "GroupRaises", "Telvara()._render_bullet_content(['1', 'x'])", "NotFound"),
    "bullet-lead-of-no-text": (r"^[-*•\s]+", "GroupRaises", "Telvara()._strip_bullets([1.5])", "TypeError"),
}


@pytest.mark.parametrize("route", sorted(PATCHED_PATTERN_ROUTES))
def test_what_patterns_patched_at_load_give_ends_in_a_clean_error(route):
    pattern, match, call, printed = PATCHED_PATTERN_ROUTES[route]
    script = PATCHED_RE.format(pattern=pattern, match=match, call=call)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == printed


# --- answers of another kind -----------------------------------------------------

@pytest.mark.parametrize("name", sorted(HOSTILE_ANSWERS))
def test_a_normalized_answer_of_any_kind_is_the_answer_text(name):
    made = HOSTILE_ANSWERS[name]()
    tv = overriding(_normalize_answer_markdown=lambda self, text: made)
    assert tv._answer_text(1, {"answer": "x"}) is made


class StrRaises:
    def __str__(self):
        raise ApiError


def test_a_normalized_answer_is_not_made_a_text():
    tv = overriding(_normalize_answer_markdown=lambda self, text: StrRaises())
    assert type(tv._answer_text(1, {"answer": "x"})) is StrRaises
    with pytest.raises(TypeError, match="argument 'text' must be str, not StrRaises"):
        tv._format_diagnosis_answer(1, {"answer": "x"})


LABELS = {"现有表达", "问题", "依据", "建议改为", "改进建议", "优化方案"}


def test_a_label_that_python_code_replaced_in_the_module_cache_is_made_again():
    (labels,) = [d for d in gc.get_objects() if type(d) is dict and len(d) == len(LABELS) and set(d) == LABELS]
    kept = labels["问题"]
    labels["问题"] = 5
    try:
        assert Telvara()._chunk_value(["问题：x", "y"], "问题") == "x\ny"
    finally:
        labels["问题"] = kept


class LyingText(str):
    def __contains__(self, part):
        return True


def test_a_pair_line_whose_text_holds_no_separator_after_all():
    with pytest.raises(ValueError, match="substring not found"):
        Telvara()._to_pair_lines([LyingText("plain")], default_key="k")
