"""What hostile Python code hands back to the report code: working lists that
an override finds through the collector and shrinks, line indices and group
numbers at the limits of a C long long, and answers of the wrong kind. Each
gives a result or the clean error that Python code would give, never a
crash."""

import gc

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara

from ..conftest import HOSTILE_ANSWERS


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
