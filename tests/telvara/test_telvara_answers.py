"""Question-and-answer sections: headings, links, body, summary; display blocks and their rendering."""

import pytest

from .conftest import DictSub, ListSub


def test_full_section_order(tv):
    answer = {
        "productLinks": ["  P1  ", "", 5, None, {"asin": "B01"}],
        "text": "正文",
        "recommendedAsins": [{"asin": "B02", "title": "T", "source": "S"}],
        "summaryText": " 第一行\n第二行 ",
        "summary": "never read here",
    }
    assert tv._format_section(3, answer, " Q ").split("\n") == [
        "## 第 3 题： Q ",
        "", "### 相关产品", "", "- P1", "- B01",
        "", "### 答案", "", "正文",
        "", "### 推荐 ASIN", "", "- B02 - T (S)",
        "", "### 总结", "", "第一行", "第二行",
    ]


@pytest.mark.parametrize(
    "answer, expected",
    [
        ({"text": "x"}, ["### 答案", "", "x"]),
        (None, ["### 答案", "", "第 2 题未获取到答案"]),
        ("text", ["### 答案", "", "第 2 题未获取到答案"]),
        (["text"], ["### 答案", "", "第 2 题未获取到答案"]),
        ({"isSuccess": False, "summaryText": "s"}, ["### 总结", "", "s"]),
        ({"isSuccess": False}, ["### 答案", "", "第 2 题未获取到答案"]),
        ({"isSuccess": False, "text": "t"}, ["### 答案", "", "t"]),
        ({"isSuccess": 0, "text": "", "blocks": [{"type": "paragraph", "text": "b"}]}, ["### 答案", "", "b"]),
        ({"text": "t", "summaryText": " \t "}, ["### 答案", "", "t"]),
        ({"text": True}, ["### 答案", "", "True"]),
        ({"productLinks": {"asin": "x"}, "recommendedAsins": "B", "text": "t"}, ["### 答案", "", "t"]),
    ],
)
def test_section_sub_sections(tv, answer, expected):
    lines = tv._format_section(2.9, answer, "Q").split("\n")
    assert lines[0] == "## 第 2 题：Q" and lines[1] == ""
    assert lines[2:] == expected


def test_derived_answer_mapping_renders(tv):
    # The body method itself takes only a plain mapping; the section hands it a copy.
    assert tv._format_section(1, DictSub(text="t"), "Q") == "## 第 1 题：Q\n\n### 答案\n\nt"
    with pytest.raises(TypeError, match="'answer'"):
        tv._format_answer_body(1, DictSub(text="t"))


@pytest.mark.parametrize(
    "item, product, recommended",
    [
        (" padded ", ["- padded"], ["- padded"]),
        ({"asin": " A ", "href": " http://h "}, ["- A - http://h", "  http://h"], ["- A - http://h", "  http://h"]),
        ({"source": "S"}, [], ["- (S)"]),
        ({"asin": "A", "title": "T", "source": "S"}, ["- A - T"], ["- A - T (S)"]),
        ({"title": "T", "description": " D "}, ["- T", "  D"], ["- T", "  D"]),
        ({"description": "D"}, ["  D"], ["  D"]),
        ({"asin": "", "title": None, "href": 0, "source": [], "description": {}}, [], []),
        ({"asin": 5, "title": False, "href": True}, ["- 5 - True", "  True"], ["- 5 - True", "  True"]),
        # a title of blanks is chosen, trims to nothing and does not fall back to the address
        ({"title": "  ", "href": "http://h"}, ["  http://h"], ["  http://h"]),
        ({"title": " \u3000", "asin": "B0", "href": "http://h"}, ["- B0", "  http://h"], ["- B0", "  http://h"]),
        ({"title": "\n", "href": "http://h", "source": "S"}, ["  http://h"], ["- (S)", "  http://h"]),
        # only an empty value falls back
        ({"title": "", "href": "http://h"}, ["- http://h", "  http://h"], ["- http://h", "  http://h"]),
        ({"title": 0, "asin": "B0", "href": "http://h"}, ["- B0 - http://h", "  http://h"], ["- B0 - http://h", "  http://h"]),
        ({"title": [], "href": " http://h "}, ["- http://h", "  http://h"], ["- http://h", "  http://h"]),
        (DictSub(title=" ", href="http://h"), ["  http://h"], ["  http://h"]),
        (DictSub(asin="A"), ["- A"], ["- A"]),
        (7, [], []), (None, [], []), (["A"], [], []),
    ],
)
def test_link_items(tv, item, product, recommended):
    assert tv._format_product_links([item]) == product
    assert tv._format_recommended_asins(ListSub([item])) == recommended


@pytest.mark.parametrize("raw", [None, "A", {"asin": "A"}, 5])
def test_link_lists_that_are_no_list_give_nothing(tv, raw):
    assert tv._format_link_items(raw, include_source=True) == []


# --- display blocks ----------------------------------------------------------

def blocks(tv, *structured):
    return tv._build_structured_answer_blocks(list(structured))


def test_runs_gather_into_lists_and_tables(tv):
    assert blocks(
        tv,
        {"type": "paragraph", "text": " p1 "},
        {"type": "list_item", "text": "a"},
        {"type": "unknown", "text": "ignored"},
        {"type": "list_item", "text": "b"},
        {"type": "heading", "text": ""},
        {"type": "list_item", "text": "c"},
        {"type": "paragraph", "text": "p2"},
        {"type": "list_item", "text": "d"},
        "not a mapping",
    ) == [
        {"type": "text", "text": "p1"},
        {"type": "list", "items": ["a", "b", "c"]},
        {"type": "text", "text": "p2"},
        {"type": "list", "items": ["d"]},
    ]


@pytest.mark.parametrize(
    "level, expected",
    [(0, 1), (9, 6), (3, 3), (True, 1), ("3", 2), (2.5, 2), (None, 2), (10**40, 6), (-(10**40), 1)],
)
def test_heading_levels(tv, level, expected):
    [block] = blocks(tv, {"type": "heading", "text": "H", "level": level})
    assert block == {"type": "heading", "text": "H", "level": expected}
    assert list(block) == ["type", "text", "level"]


def test_table_rows(tv):
    assert blocks(tv, {"type": "table_row", "cells": ["a", "b"]}) == [{"type": "text", "text": "a | b"}]
    assert blocks(
        tv,
        {"type": "table_row", "cells": [" h1 ", None]},
        {"type": "table_row", "cells": [0]},
        {"type": "table_row", "cells": ["x", "y", "z"]},
        {"type": "table_row", "cells": [], "text": "| p | q |"},
    ) == [{"type": "table", "header": ["h1", ""], "rows": [["", ""], ["x", "y | z"], ["p", "q"]]}]


def test_table_row_without_cells(tv):
    # No bar in the text: the pending table ends and the text stands alone.
    assert blocks(
        tv,
        {"type": "table_row", "cells": ["a", "b"]},
        {"type": "table_row", "cells": ["c", "d"]},
        {"type": "table_row", "text": "plain"},
        {"type": "table_row", "cells": ["e", "f"]},
    ) == [
        {"type": "table", "header": ["a", "b"], "rows": [["c", "d"]]},
        {"type": "text", "text": "plain"},
        {"type": "text", "text": "e | f"},
    ]
    # Neither cells nor text: nothing, and the table goes on; a list is still ended.
    assert blocks(
        tv,
        {"type": "list_item", "text": "i"},
        {"type": "table_row", "cells": ["a"]},
        {"type": "table_row"},
        {"type": "table_row", "cells": ["b"]},
    ) == [{"type": "list", "items": ["i"]}, {"type": "table", "header": ["a"], "rows": [["b"]]}]


def test_derived_table_row_mapping_is_read(tv):
    assert blocks(tv, DictSub(type="table_row", cells=["a"]), DictSub(type="table_row", text="b | c")) == [
        {"type": "table", "header": ["a"], "rows": [["b | c"]]}]


@pytest.mark.parametrize(
    "text, structured, expected",
    [
        ("text wins not", [{"type": "paragraph", "text": "blocks win"}], [{"type": "text", "text": "blocks win"}]),
        ("t", ListSub([{"type": "paragraph", "text": "derived"}]), [{"type": "text", "text": "derived"}]),
        ("t", [{"type": "paragraph", "text": ""}, {"type": "other", "text": "x"}], [{"type": "text", "text": "t"}]),
        ("t", {"type": "paragraph", "text": "x"}, [{"type": "text", "text": "t"}]),
        ("", [{"type": "other", "text": "x"}], []),
        ("", None, []),
        ("# H\n- a\n- b", None,
         [{"type": "heading", "text": "H", "level": 1}, {"type": "list", "items": ["a", "b"]}]),
        ("```", None, [{"type": "text", "text": "```"}]),
        ("| |\n|---|", None, [{"type": "text", "text": "| |\n|---|"}]),
    ],
)
def test_build_answer_blocks(tv, text, structured, expected):
    assert tv._build_answer_blocks(text, structured) == expected


def test_two_tables_between_blank_lines_join(tv):
    text = "| a | b |\n|---|---|\n| 1 | 2 |\n\n| c | d |\n|---|---|\n| 3 | 4 |"
    assert tv._build_answer_blocks(text, None) == [
        {"type": "table", "header": ["a", "b"], "rows": [["1", "2"], ["c", "d"], ["3", "4"]]}]


def test_to_structured_blocks(tv):
    kind_blocks = [
        {"kind": "heading", "text": "H", "level": 3},
        {"kind": "heading"},
        {"kind": "list_item", "text": None},
        {"kind": "table", "header": ["a", "b"], "rows": [["1", "2"], "skip", ["3"]]},
        {"kind": "table", "header": "bad", "rows": None},
        {"kind": "text", "text": " t "},
        {},
    ]
    assert tv._to_structured_blocks(kind_blocks) == [
        {"type": "heading", "text": "H", "level": 3},
        {"type": "heading", "text": "", "level": 2},
        {"type": "list_item", "text": None},
        {"type": "table_row", "text": "a | b", "cells": ["a", "b"]},
        {"type": "table_row", "text": "1 | 2", "cells": ["1", "2"]},
        {"type": "table_row", "text": "3", "cells": ["3"]},
        {"type": "table_row", "text": "", "cells": []},
        {"type": "paragraph", "text": " t "},
        {"type": "paragraph", "text": ""},
    ]
    with pytest.raises(AttributeError):
        tv._to_structured_blocks(["not a mapping"])


@pytest.mark.parametrize(
    "row, width, expected",
    [
        (["a", "b"], 2, ["a", "b"]),
        (["a"], 3, ["a", "", ""]),
        (["a", "b", " c ", "d"], 2, ["a", "b |  c  | d"]),
        (["a", "b"], 1, ["a | b"]),
        (["a", "b"], 0, ["a", "b"]),
        ([], 0, []),
    ],
)
def test_normalize_row_cells(tv, row, width, expected):
    result = tv._normalize_row_cells(row, width)
    assert result == expected
    assert (result is row) == (len(row) == width)


def test_render_blocks(tv):
    assert tv._render_blocks([
        {"type": "heading", "text": " H ", "level": 1},
        {"type": "list", "items": ["a", 2]},
        {"type": "table", "header": ["x", 1], "rows": [["p|q", "r\ns"], "skip", [3, "t\u2028u"]]},
        {"type": "text", "text": " para\nline "},
    ]) == [
        "###  H", "", "- a", "- 2", "", "| x | 1 |", "| --- | --- |", "| p|q | r\ns |", "| 3 | t\u2028u |", "",
        "para\nline"]


@pytest.mark.parametrize(
    "block, expected",
    [
        ({"type": "heading", "text": "H", "level": 4}, ["###### H"]),
        ({"type": "heading", "text": "H", "level": -5}, ["# H"]),
        ({"type": "heading", "text": "H", "level": "1"}, ["#### H"]),
        ({"type": "heading", "text": "H", "level": False}, ["## H"]),
        ({"type": "heading", "text": None}, ["#### None"]),
        ({"type": "heading"}, ["####"]),
        ({"type": "list"}, []),
        ({"type": "table", "header": [], "rows": [["a"]]}, []),
        ({"type": "table", "header": ["a"]}, ["| a |", "| --- |"]),
        ({"type": "text", "text": ""}, []),
        ({"type": "other", "text": 5}, ["5"]),
    ],
)
def test_render_single_block(tv, block, expected):
    assert tv._render_blocks([block]) == expected


def test_render_keeps_separators_of_empty_blocks(tv):
    assert tv._render_blocks([{"type": "text", "text": "a"}, {"type": "text", "text": ""},
                              {"type": "text", "text": "b"}]) == ["a", "", "", "b"]
    with pytest.raises(AttributeError):
        tv._render_blocks([None])


def test_lone_empty_table_row_renders_nothing(tv):
    assert tv._format_answer_body(1, {"blocks": [{"type": "table_row", "cells": [None]}]}) == []
    assert tv._format_section(1, {"blocks": [{"type": "table_row", "cells": [None]}]}, "Q").endswith(
        "第 1 题未获取到答案")
