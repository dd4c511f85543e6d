"""The report module as the host sees it: tables, docs, methods and their argument checks."""

import inspect
import re
import typing

import pytest

from pelorin.amazon_rufus.services import telvara
from pelorin.amazon_rufus.services.telvara import Telvara

from .conftest import DictSub, ListSub, StrSub


def test_docs_and_imports():
    assert telvara.__doc__ == "Amazon Rufus 答案报告格式化服务。"
    assert Telvara.__doc__ == "将 Rufus 全量结果投影为前端风格的终端报告。"
    assert Telvara.__module__ == "pelorin.amazon_rufus.services.telvara"
    assert telvara.re is re and telvara.Any is typing.Any


def test_section_titles():
    assert telvara.DIAGNOSIS_SECTION_TITLES == {
        1: "标题清晰度与点击意愿分析",
        2: "五点卖点表达优化分析",
        3: "图片购买疑问解决能力分析",
        4: "A+ 内容信任增强分析",
        5: "买家评论高频夸赞与抱怨分析",
        6: "最高评分竞品完整对比分析",
        7: "最优先修改项综合判断",
    }
    assert list(telvara.DIAGNOSIS_SECTION_TITLES) == [1, 2, 3, 4, 5, 6, 7]


def test_subsection_titles():
    table = telvara.DIAGNOSIS_SUBSECTIONS
    assert list(table) == [1, 2, 3, 4, 5, 6, 7]
    assert list(table[1].items()) == [(1, "当前标题内容"), (2, "问题逐项分析"), (3, "建议优化标题"), (4, "优化核心逻辑总结")]
    assert list(table[2].values()) == ["当前五点内容", "问题逐项分析", "建议优化五点", "优化核心逻辑总结"]
    assert list(table[3].values()) == ["当前图片整体问题", "问题逐项分析", "优化优先级总结", "优化核心逻辑总结"]
    assert list(table[4].values()) == ["当前A+内容整体问题", "问题逐项分析", "优化优先级总结", "优化核心逻辑总结"]
    assert list(table[5].values()) == ["评价整体总结分析", "问题逐项分析", "优化优先级总结", "优化核心逻辑总结"]
    assert list(table[6].items()) == list(enumerate(
        ["产品定位", "核心参数全面对比", "卖点优劣势对比", "评论口碑关键对比", "竞品差距与机会点", "综合结论"], 1))
    assert list(table[7].values()) == ["核心问题定位", "最优先修改原因", "总体执行修改方案", "优化核心逻辑总结"]
    assert table.get(0) is None and table.get(8) is None
    assert not any(re.search(r"\s", title) for sub in table.values() for title in sub.values())


def test_table_schemas():
    schemas = telvara.DIAGNOSIS_TABLE_SCHEMAS
    assert list(schemas) == [(1, 2), (1, 4), (2, 2), (3, 2), (3, 3), (4, 2), (4, 3), (5, 1), (5, 2), (5, 3), (7, 2)]
    assert schemas[(1, 2)] == {"headers": ["问题类型", "具体问题", "问题依据", "建议修改"], "mode": "issue"}
    assert schemas[(1, 4)] == {"headers": ["逻辑维度", "说明"], "mode": "fixed"}
    assert schemas[(2, 2)] == {
        "headers": ["五点序号", "问题类型", "具体问题", "问题依据", "建议修改方向"],
        "mode": "row_start",
        "row_start": r"^(?:第\s*\d+\s*点|Bullet\s*#?\d+|缺失)$",
    }
    assert schemas[(3, 2)] == {
        "headers": ["图片序号", "目标", "具体问题", "核心依据", "优化方案"],
        "mode": "row_start",
        "row_start": r"^(?:图|图片|主图|Image)\s*#?\d+|^图\d+",
    }
    assert schemas[(3, 3)] == {"headers": ["优先级", "图片序号", "核心价值"], "mode": "priority"}
    assert schemas[(4, 2)] == {
        "headers": ["模块", "目标", "具体问题", "核心依据", "优化方案"],
        "mode": "row_start",
        "row_start": r"^(?:模块|Module|[A-Za-z0-9+ ]+模块)",
    }
    assert schemas[(4, 3)] == {"headers": ["优先级", "优化项", "预期效果"], "mode": "priority"}
    assert schemas[(5, 1)] == {"headers": ["维度", "数据"], "mode": "summary_pairs"}
    assert schemas[(5, 2)] == {
        "headers": ["问题类型", "风险等级", "影响范围", "评论依据", "产品页面现状", "优化方案"],
        "mode": "issue",
    }
    assert schemas[(5, 3)] == {"headers": ["优先级", "优化项", "预期效果"], "mode": "priority"}
    assert schemas[(7, 2)] == {"headers": ["问题维度", "影响范围", "具体分析", "建议方案"], "mode": "issue"}
    assert [list(s) for s in schemas.values()].count(["headers", "mode", "row_start"]) == 3
    for key in [(1, 1), (1, 3), (5, 4), (7, 4), (6, 1), (6, 6)]:
        assert schemas.get(key) is None


OWN_METHODS = {
    "format_data": ["data"],
    "_is_diagnosis_report": ["answers", "questions"],
    "_format_structured_diagnosis_report": ["data", "report"],
    "_normalize_structured_sections": ["value"],
    "_normalize_structured_subsections": ["value"],
    "_render_structured_subsection": ["section_index", "subsection_index", "subsection"],
    "_render_structured_table": ["table", "section_index", "subsection_index"],
    "_headers_from_structured_rows": ["rows"],
    "_render_structured_blocks": ["blocks"],
    "_render_structured_block": ["block"],
    "_render_structured_value": ["value"],
    "_structured_item_text": ["item"],
    "_int_value": ["value", "default"],
    "_extract_questions": ["data"],
    "_normalize_question_list": ["raw_questions"],
    "_question_at": ["questions", "index"],
    "_pad_row": ["row", "width"],
    "_markdown_table": ["headers", "rows"],
    "_md_cell": ["value"],
    "_trim_blank": ["lines"],
    "_format_section": ["index", "answer", "question"],
    "_format_answer_body": ["index", "answer"],
    "_format_product_links": ["raw_links"],
    "_format_recommended_asins": ["raw_items"],
    "_format_link_items": ["raw_items", "include_source"],
    "_build_answer_blocks": ["text", "structured_blocks"],
    "_build_structured_answer_blocks": ["structured_blocks"],
    "_normalize_structured_row": ["block"],
    "_normalize_row_cells": ["row", "width"],
    "_build_text_fallback_blocks": ["text"],
    "_to_structured_blocks": ["blocks"],
    "_render_blocks": ["blocks"],
    "_normalize_text_lines": ["text"],
    "_parse_markdown_heading": ["line"],
    "_parse_markdown_list_item": ["line"],
    "_parse_markdown_table": ["lines", "start_index"],
    "_parse_pipe_row": ["line"],
    "_is_markdown_delimiter_row": ["cells"],
    "_collapse_blank_lines": ["text"],
}

# All the class's methods, in the order of their definition.
METHOD_ORDER = """
    format_data _is_diagnosis_report _format_structured_diagnosis_report
    _normalize_structured_sections _normalize_structured_subsections _render_structured_subsection
    _render_structured_table _headers_from_structured_rows _render_structured_blocks
    _render_structured_block _render_structured_value _structured_item_text _int_value
    _extract_questions _normalize_question_list _question_at _format_official_report
    _format_diagnosis_answer _answer_text _normalize_answer_markdown _split_numbered_sections
    _infer_diagnosis_sections _infer_title_sections _infer_bullet_sections _infer_image_sections
    _infer_aplus_sections _infer_review_sections _infer_competitor_sections _infer_overall_sections
    _collect_marker_groups _find_line _extract_after_marker _guess_title_lines _strip_marker_lines
    _strip_bullets _to_pair_lines _chunk_value _table_key_values _summary_from_suggestions
    _short_value _normalize_content_lines _render_diagnosis_subsection _drop_intro_and_headers
    _drop_known_headers _render_schema_table _parse_schema_rows _parse_row_start_rows
    _parse_fixed_rows _parse_summary_pairs _looks_like_next_row_start _pad_row _markdown_table
    _md_cell _render_title_content _render_optimized_title _render_bullet_content
    _render_summary_bullets _looks_like_summary_heading _render_plain_lines _trim_blank
    _format_section _format_answer_body _format_product_links _format_recommended_asins
    _format_link_items _build_answer_blocks _build_structured_answer_blocks
    _normalize_structured_row _normalize_row_cells _build_text_fallback_blocks _to_structured_blocks
    _render_blocks _normalize_text_lines _parse_markdown_heading _parse_markdown_list_item
    _parse_markdown_table _parse_pipe_row _is_markdown_delimiter_row _collapse_blank_lines
""".split()


def test_the_class_lists_its_methods_in_definition_order():
    from pelorin.amazon_rufus.services.telvara import Telvara

    listed = [name for name in vars(Telvara) if not name.startswith("__")]
    assert listed == METHOD_ORDER
    assert set(OWN_METHODS) <= set(METHOD_ORDER) and len(METHOD_ORDER) == 79
    assert Telvara.__bases__ == (object,)


# The headers of the diagnosis from prose; with OWN_METHODS, every method's.
PROSE_HEADERS = {
    "_format_official_report": "(data, answers, questions)",
    "_format_diagnosis_answer": "(question_index, answer)",
    "_answer_text": "(index, answer)",
    "_normalize_answer_markdown": "(text)",
    "_split_numbered_sections": "(text)",
    "_infer_diagnosis_sections": "(question_index, text)",
    **{f"_infer_{kind}_sections": "(lines)" for kind in
       ["title", "bullet", "image", "aplus", "review", "competitor", "overall"]},
    "_collect_marker_groups": "(lines, pattern)",
    "_find_line": "(lines, pattern, start=0)",
    "_extract_after_marker": "(lines, start, end, marker)",
    "_guess_title_lines": "(lines)",
    "_strip_marker_lines": "(lines, patterns)",
    "_strip_bullets": "(lines)",
    "_to_pair_lines": "(lines, *, default_key)",
    "_chunk_value": "(chunk, label)",
    "_table_key_values": "(lines)",
    "_summary_from_suggestions": "(lines)",
    "_short_value": "(value, limit=80)",
    "_normalize_content_lines": "(text)",
    "_render_diagnosis_subsection": "(question_index, section_index, lines)",
    "_drop_intro_and_headers": "(question_index, section_index, lines)",
    "_drop_known_headers": "(lines, headers)",
    "_render_schema_table": "(schema, lines)",
    "_parse_schema_rows": "(schema, lines)",
    "_parse_row_start_rows": "(lines, width, row_start)",
    "_parse_fixed_rows": "(lines, width, *, last_cell_continues)",
    "_parse_summary_pairs": "(lines)",
    "_looks_like_next_row_start": "(line, remaining_count, width)",
    **{name: "(lines)" for name in
       ["_render_title_content", "_render_optimized_title", "_render_bullet_content", "_render_summary_bullets",
        "_render_plain_lines"]},
    "_looks_like_summary_heading": "(line)",
}
HEADERS = {name: "(" + ", ".join(params) + ")" for name, params in OWN_METHODS.items()}
HEADERS["_format_link_items"] = "(raw_items, *, include_source)"
HEADERS.update(PROSE_HEADERS)


def test_methods_look_like_python_ones(tv):
    assert sorted(HEADERS) == sorted(METHOD_ORDER)
    for name in METHOD_ORDER:
        method = getattr(Telvara, name)
        assert method.__qualname__ == f"Telvara.{name}" and method.__doc__ is None
        assert str(inspect.signature(getattr(tv, name))) == HEADERS[name], name


@pytest.mark.parametrize("call, message", [
    (lambda tv: tv.format_data(), "Telvara.format_data() missing 1 required positional argument: 'data'"),
    (lambda tv: tv.format_data({}, {}), "Telvara.format_data() takes 2 positional arguments but 3 were given"),
    (lambda tv: tv.format_data(date={}), "Telvara.format_data() got an unexpected keyword argument 'date'"),
    (lambda tv: tv._pad_row([], row=[]), "Telvara._pad_row() got multiple values for argument 'row'"),
    (lambda tv: Telvara.format_data(), "unbound method Telvara.format_data() needs an argument"),
    (lambda tv: tv._format_link_items([]),
     "Telvara._format_link_items() missing 1 required keyword-only argument: 'include_source'"),
    (lambda tv: tv._format_link_items([], True),
     "Telvara._format_link_items() takes 2 positional arguments but 3 were given"),
    (lambda tv: tv._find_line([], "x", 0, 1),
     "Telvara._find_line() takes from 3 to 4 positional arguments but 5 were given"),
])
def test_argument_errors_in_the_interpreters_words(tv, call, message):
    with pytest.raises(TypeError) as caught:
        call(tv)
    assert str(caught.value) == message


# A well-typed call for every method, by keyword.
GOOD_ARGS = {
    "data": {}, "answers": [], "questions": [], "report": {}, "value": None, "section_index": 1,
    "subsection_index": 1, "subsection": {}, "table": {}, "rows": [], "blocks": [], "block": {}, "item": "x",
    "default": 0, "raw_questions": None, "index": 1, "row": [], "width": 0, "headers": [], "lines": [""],
    "answer": {}, "question": "q", "raw_links": None, "raw_items": None, "include_source": False, "text": "",
    "structured_blocks": [], "line": "", "start_index": 0, "cells": [],
}


@pytest.mark.parametrize("name", sorted(OWN_METHODS))
def test_every_method_takes_its_arguments_by_name(tv, name):
    kwargs = {arg: GOOD_ARGS[arg] for arg in OWN_METHODS[name]}
    getattr(tv, name)(**kwargs)
    with pytest.raises(TypeError):
        getattr(tv, name)(**kwargs, unexpected=1)


def test_include_source_is_keyword_only_and_required(tv):
    assert tv._format_link_items([{"asin": "A", "source": "S"}], include_source=1) == ["- A (S)"]
    with pytest.raises(TypeError):
        tv._format_link_items([], True)
    with pytest.raises(TypeError):
        tv._format_link_items([])


EXACT_KIND_CASES = [
    ("format_data", ["data"], "data", dict),
    ("_extract_questions", ["data"], "data", dict),
    ("_is_diagnosis_report", ["answers", "questions"], "answers", list),
    ("_is_diagnosis_report", ["answers", "questions"], "questions", list),
    ("_question_at", ["questions", "index"], "questions", list),
    ("_format_structured_diagnosis_report", ["data", "report"], "data", dict),
    ("_format_structured_diagnosis_report", ["data", "report"], "report", dict),
    ("_render_structured_subsection", ["section_index", "subsection_index", "subsection"], "subsection", dict),
    ("_render_structured_table", ["table", "section_index", "subsection_index"], "table", dict),
    ("_headers_from_structured_rows", ["rows"], "rows", list),
    ("_render_structured_blocks", ["blocks"], "blocks", list),
    ("_format_section", ["index", "answer", "question"], "question", str),
    ("_format_answer_body", ["index", "answer"], "answer", dict),
    ("_build_answer_blocks", ["text", "structured_blocks"], "text", str),
    ("_build_structured_answer_blocks", ["structured_blocks"], "structured_blocks", list),
    ("_normalize_structured_row", ["block"], "block", dict),
    ("_normalize_row_cells", ["row", "width"], "row", list),
    ("_to_structured_blocks", ["blocks"], "blocks", list),
    ("_render_blocks", ["blocks"], "blocks", list),
    ("_build_text_fallback_blocks", ["text"], "text", str),
    ("_normalize_text_lines", ["text"], "text", str),
    ("_parse_markdown_heading", ["line"], "line", str),
    ("_parse_markdown_list_item", ["line"], "line", str),
    ("_parse_markdown_table", ["lines", "start_index"], "lines", list),
    ("_parse_pipe_row", ["line"], "line", str),
    ("_is_markdown_delimiter_row", ["cells"], "cells", list),
    ("_pad_row", ["row", "width"], "row", list),
    ("_markdown_table", ["headers", "rows"], "headers", list),
    ("_markdown_table", ["headers", "rows"], "rows", list),
    ("_trim_blank", ["lines"], "lines", list),
    ("_collapse_blank_lines", ["text"], "text", str),
]
DERIVED = {dict: DictSub(), list: ListSub(), str: StrSub("x")}


@pytest.mark.parametrize("name, params, argument, kind", EXACT_KIND_CASES)
def test_declared_kinds_are_exact(tv, name, params, argument, kind):
    args = {param: GOOD_ARGS[param] for param in params}
    for bad in [None, DERIVED[kind], 1]:
        args[argument] = bad
        with pytest.raises(TypeError, match=f"'{argument}'"):
            getattr(tv, name)(*args.values())


INTEGER_CASES = [
    ("_question_at", lambda n: ([], n), "index"),
    ("_format_section", lambda n: (n, None, "q"), "index"),
    ("_format_answer_body", lambda n: (n, {}), "index"),
    ("_render_structured_subsection", lambda n: (n, 1, {}), "section_index"),
    ("_render_structured_subsection", lambda n: (1, n, {}), "subsection_index"),
    ("_render_structured_table", lambda n: ({}, n, 1), "section_index"),
    ("_render_structured_table", lambda n: ({}, 1, n), "subsection_index"),
    ("_int_value", lambda n: (None, n), "default"),
    ("_normalize_row_cells", lambda n: ([], n), "width"),
    ("_pad_row", lambda n: ([], n), "width"),
    ("_parse_markdown_table", lambda n: ([], n), "start_index"),
]


@pytest.mark.parametrize("name, make_args, argument", INTEGER_CASES)
def test_integer_arguments_accept_numbers_only(tv, name, make_args, argument):
    for number in [2, 2.9, True]:
        getattr(tv, name)(*make_args(number))
    for bad in ["2", None, [2]]:
        with pytest.raises(TypeError, match=f"'{argument}'"):
            getattr(tv, name)(*make_args(bad))


def test_integer_conversion_is_visible(tv):
    assert tv._question_at([], 2.9) == "第 2 题"
    assert tv._question_at(["a"], True) == "a"
    assert tv._int_value("x", 7.8) == 7
    assert tv._format_section(-3.5, None, "q").startswith("## 第 -3 题：q")
