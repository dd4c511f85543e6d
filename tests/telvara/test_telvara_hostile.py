"""Collections that start inside the report code, at each of its allocations
in turn (or at the one after a method override ran): their finalizer changes
a list or dict the code reads, and reads every list and tuple the collector
tracks. Nothing freed or half made is read; the result is that of the input
before or after the change (or the error a Python loop over a changed dict
raises)."""

import gc

import pytest

from pelorin.amazon_rufus.services import telvara as module
from pelorin.amazon_rufus.services.telvara import Telvara

from ..conftest import collection_at, drain_free_lists


class CellsClearedAtTheNextAllocation(Telvara):
    """Its pipe-row reader gives cells that a finalizer clears, in the
    collection that the caller's next allocation starts."""

    def _parse_pipe_row(self, line):
        cells = ["评论", "负向", "说明书看不懂"]

        class Doomed:
            def __init__(self):
                self.cycle = self

            def __del__(self):
                cells.clear()

        Doomed()
        drain_free_lists()
        gc.set_threshold(1)
        return cells


# Each case gives fresh input: the call, the change its finalizer makes, and
# the outcomes allowed.

TV = Telvara()


def nothing():
    pass


def a_short_row_cleared_while_padded():
    row = ["a1", "b2", "c3", "d4"]
    return lambda: TV._pad_row(row, 6), row.clear, [row + ["", ""], [""] * 6]


def a_wide_row_cleared_while_folded():
    row = ["a", "b", "c", "d"]
    return lambda: TV._pad_row(row, 2), row.clear, [["a", "b\nc\nd"], ["", ""]]


def a_short_row_cleared_while_its_cells_are_padded():
    row = ["a1", "b2", "c3", "d4"]
    return lambda: TV._normalize_row_cells(row, 6), row.clear, [row + ["", ""], [""] * 6]


def a_wide_table_row_cleared_while_its_line_is_written():
    row = ["a1", "b2", "c3", "d4"]
    head = ["| h1 | h2 |", "| --- | --- |"]
    return (lambda: TV._markdown_table(["h1", "h2"], [row]), row.clear,
            [head + ["| a1 | b2<br>c3<br>d4 |"], head + ["|  |  |"]])


def lines_cleared_while_sliced():
    lines = ["当前标题内容", "a", "b"]
    return lambda: TV._drop_known_headers(lines, ["当前标题内容"]), lines.clear, [["a", "b"], []]


def lines_cleared_while_trimmed():
    lines = ["", "a", "b", ""]
    return lambda: TV._trim_blank(lines), lines.clear, [["a", "b"], [], ["无"]]


def cells_cleared_while_their_value_is_sliced():
    tv = CellsClearedAtTheNextAllocation()
    return lambda: tv._table_key_values(["| 评论 | 负向 |"]), nothing, [{}]


def blocks_made_while_collections_read_every_list():
    text = "\n\n".join(f"# h{i}\n- item {i}\npara {i}" for i in range(6))
    return (lambda: TV._build_text_fallback_blocks(text), nothing,
            [Telvara()._build_text_fallback_blocks(text)])


def sections_sorted_while_collections_read_every_list():
    sections = {str(i): {"title": f"t{i}"} for i in (3, 1, 2)}
    return (lambda: TV._normalize_structured_sections(sections), nothing,
            [Telvara()._normalize_structured_sections(sections)])


def sections_that_grow_while_numbered():
    sections = {"2": {"title": "b"}, "1": {"title": "a"}}
    grown = dict(sections, **{"3": {"title": "c"}})
    return (lambda: TV._normalize_structured_sections(sections), lambda: sections.update(grown),
            [Telvara()._normalize_structured_sections(sections), Telvara()._normalize_structured_sections(grown),
             (RuntimeError, "dictionary changed size during iteration")])


def question_titles_read_while_collections_read_every_list():
    questions = ["请分析：" + " ".join(f"{k}、{t}" for k, t in module.DIAGNOSIS_SUBSECTIONS[q].items())
                 for q in range(1, 8)]
    return lambda: TV._is_diagnosis_report([{}] * 7, questions), nothing, [True]


@pytest.mark.parametrize("case", [
    a_short_row_cleared_while_padded,
    a_wide_row_cleared_while_folded,
    a_short_row_cleared_while_its_cells_are_padded,
    a_wide_table_row_cleared_while_its_line_is_written,
    lines_cleared_while_sliced,
    lines_cleared_while_trimmed,
    cells_cleared_while_their_value_is_sliced,
    blocks_made_while_collections_read_every_list,
    sections_sorted_while_collections_read_every_list,
    sections_that_grow_while_numbered,
    question_titles_read_while_collections_read_every_list,
])
def test_collections_within_the_code_change_nothing_it_reads(case):
    within = False
    for k in range(1, 17):
        call, change, allowed = case()
        outcome, ran = collection_at(k, change, call)
        within = within or ran
        assert outcome in allowed, k
    assert within, "no collection started within the call"
