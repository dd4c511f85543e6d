"""The structured diagnosis report: frame, ordering and numbering, subsection bodies."""

import pytest

from .conftest import LINE_BOUNDARIES, DictSub, ListSub


def test_worked_example(tv):
    report = {"asin": " b0demo ", "sections": {"2": {"title": "补充"}, "1": {"subsections": [{"text": "内容"}]}}}
    assert tv._format_structured_diagnosis_report({}, report).split("\n") == [
        "# ASIN B0DEMO Listing 优化诊断报告",
        "",
        "## 1. 标题清晰度与点击意愿分析",
        "",
        "### 1、当前标题内容",
        "",
        "内容",
        "",
        "---",
        "",
        "## 2. 补充",
    ]


@pytest.mark.parametrize(
    "report_asin, data_asin, expected",
    [
        (" b0x1 ", "b0y", "B0X1"),
        ("", "b0y", "B0Y"),
        (None, "b0y", "B0Y"),
        (0, "b0y", "B0Y"),
        ("   ", "b0y", "UNKNOWN"),
        (None, None, "UNKNOWN"),
        (123, None, "123"),
        ("straße", None, "STRASSE"),
    ],
)
def test_asin(tv, report_asin, data_asin, expected):
    report = {"asin": report_asin, "sections": [{}]}
    first = tv._format_structured_diagnosis_report({"asin": data_asin}, report).split("\n")[0]
    assert first == f"# ASIN {expected} Listing 优化诊断报告"


@pytest.mark.parametrize("sections", [None, [], {}, ["a", 1, None], {"1": "x"}, "text"])
def test_no_usable_section_gives_empty_text(tv, sections):
    assert tv._format_structured_diagnosis_report({}, {"sections": sections}) == ""
    assert tv._format_structured_diagnosis_report({}, {}) == ""


def headings(tv, sections):
    text = tv._format_structured_diagnosis_report({}, {"sections": sections})
    return [line for line in text.split("\n") if line.startswith("## ")]


@pytest.mark.parametrize(
    "sections, expected",
    [
        ({"2": {}, "1": {}}, ["## 1. 标题清晰度与点击意愿分析", "## 2. 五点卖点表达优化分析"]),
        ({"a": {"title": "A"}, "b": {"title": "B"}}, ["## 1. A", "## 2. B"]),
        ({"1": {"index": 9}, "2": {}}, ["## 2. 五点卖点表达优化分析", "## 9. 模块9"]),
        ({"x": {"index": "2", "title": "first"}, "y": {"index": 2, "title": "second"}}, ["## 2. first", "## 2. second"]),
        ({"1": {"index": None, "title": "N"}, "2": {"title": "T"}}, ["## 2. T", "## 2. N"]),
        ({"5": {"index": -1, "title": "M"}, "1": {"title": "O"}}, ["## -1. M", "## 1. O"]),
        ([{"index": 3}, {"index": 1}], ["## 3. 图片购买疑问解决能力分析", "## 1. 标题清晰度与点击意愿分析"]),
        ([{"index": "x"}, "skip", {"title": "   "}], ["## 1. 标题清晰度与点击意愿分析", "## 2."]),
        ([{"index": 8}], ["## 8. 模块8"]),
        ({"1": DictSub(title="D")}, ["## 1. D"]),
    ],
)
def test_section_order_and_numbering(tv, sections, expected):
    assert headings(tv, sections) == expected


def test_normalized_copies_keep_their_own_index(tv):
    original = {"title": "t"}
    value = {"3": original, "k": {"index": "abc"}, "skip": [1]}
    result = tv._normalize_structured_sections(value)
    assert result == [{"title": "t", "index": 3}, {"index": "abc"}]
    assert result[0] is not original and "index" not in original
    listed = [original, 5]
    assert tv._normalize_structured_subsections(listed)[0] is original


def test_subsections(tv):
    report = {"sections": [
        {"subsections": "text wins", "children": [{"text": "ignored"}]},
        {"subSections": {"2": {"text": "b"}, "1": {"title": "自定", "blocks": []}}},
        {"index": 1, "children": [{"index": 5}, {"index": 2, "rows": [{"k": "v"}]}]},
    ]}
    assert tv._format_structured_diagnosis_report({}, report).split("\n") == [
        "# ASIN UNKNOWN Listing 优化诊断报告", "",
        "## 1. 标题清晰度与点击意愿分析", "", "---", "",
        "## 2. 五点卖点表达优化分析", "",
        "### 1、自定", "", "无", "",
        "### 2、问题逐项分析", "", "b", "", "---", "",
        "## 1. 标题清晰度与点击意愿分析", "",
        "### 5、模块5", "", "无", "",
        "### 2、问题逐项分析", "", "| 问题类型 | 具体问题 | 问题依据 | 建议修改 |", "| --- | --- | --- | --- |",
        "|  |  |  |  |",
    ]


def test_report_text_is_tidied(tv):
    report = {"sections": [{"title": "T  ", "subsections": [{"text": "a  \n\n\n\nb\u2028c"}]}]}
    assert tv._format_structured_diagnosis_report({}, report) == (
        "# ASIN UNKNOWN Listing 优化诊断报告\n\n## 1. T\n\n### 1、当前标题内容\n\na\n\nb\nc")


@pytest.mark.parametrize("boundary", LINE_BOUNDARIES, ids=ascii)
def test_table_cells_with_line_boundaries_keep_their_row(tv, boundary):
    report = {"sections": [{"subsections": [
        {"table": {"headers": ["H", "G" + boundary + "2"], "rows": [["上半" + boundary + "下半", "x"], ["y", "z"]]}},
        {"index": 2, "rows": [["a", "b" + boundary + "c", "d", "e" + boundary * 3 + "f"]]},
    ]}]}
    assert tv.format_data({"diagnosis_report": report}).split("\n") == [
        "# ASIN UNKNOWN Listing 优化诊断报告", "",
        "## 1. 标题清晰度与点击意愿分析", "",
        "### 1、当前标题内容", "",
        "| H | G<br>2 |", "| --- | --- |", "| 上半<br>下半 | x |", "| y | z |", "",
        "### 2、问题逐项分析", "",
        "| 问题类型 | 具体问题 | 问题依据 | 建议修改 |", "| --- | --- | --- | --- |", "| a | b<br>c | d | e<br><br>f |",
    ]


# --- subsection bodies -------------------------------------------------------

@pytest.mark.parametrize(
    "section, subsection, body, expected",
    [
        (1, 1, {"table": {"headers": ["H"], "rows": [["x"]]}, "text": "t"}, ["| H |", "| --- |", "| x |"]),
        (1, 1, {"table": {"headers": ["H"]}, "rows": [["r"]], "text": "t"}, ["t"]),
        (6, 1, {"rows": [{"a": 1}, {"b": 2, "a": 3}]}, ["| a | b |", "| --- | --- |", "| 1 |  |", "| 3 | 2 |"]),
        (1, 2, {"rows": [["1", "2", "3", "4", "5"]]},
         ["| 问题类型 | 具体问题 | 问题依据 | 建议修改 |", "| --- | --- | --- | --- |", "| 1 | 2 | 3 | 4<br>5 |"]),
        (1, 4, {"rows": []}, ["| 逻辑维度 | 说明 |", "| --- | --- |", "| 无 |  |"]),
        (1, 4, {"rows": ["a", "b"]}, ["| 逻辑维度 | 说明 |", "| --- | --- |", "| 无 |  |"]),
        (6, 1, {"rows": ["a"], "text": "fallback"}, ["fallback"]),
        (6, 1, {"rows": [], "text": "fallback"}, ["fallback"]),
        (6, 1, {"rows": [{"a": 0, "b": False, "c": [1, "|"], "d": None}]},
         ["| a | b | c | d |", "| --- | --- | --- | --- |", "|  |  | [1, '\\|'] |  |"]),
        (1, 2, {"table": {"headers": ["", "  "], "rows": [{"k": "v"}]}}, ["| k |", "| --- |", "| v |"]),
        (1, 1, {"table": {"headers": [" H ", 2], "rows": [{" H ": "x", "2": "y"}]}}, ["| H | 2 |", "| --- | --- |", "| x | y |"]),
        (1, 1, {"blocks": [], "text": "t"}, ["无"]),
        (1, 1, {"text": [], "content": "c"}, ["无"]),
        (1, 1, {"text": "", "content": "c"}, ["c"]),
        (1, 1, {"text": None, "content": None, "summary": " s "}, ["s"]),
        (1, 1, {"text": 0, "summary": "s"}, ["0"]),
        (1, 1, {"text": "  ", "content": None, "summary": False}, ["False"]),
        (1, 1, {"text": "  ", "content": None}, []),
        (1, 1, {}, []),
    ],
)
def test_render_structured_subsection(tv, section, subsection, body, expected):
    assert tv._render_structured_subsection(section, subsection, body) == expected


def test_derived_kinds_in_subsection_bodies_render(tv):
    assert tv._render_structured_subsection(6, 1, {"table": DictSub(rows=ListSub([{"a": "1"}]))}) == [
        "| a |", "| --- |", "| 1 |"]
    assert tv._render_structured_subsection(6, 1, {"rows": ListSub([{"a": "1"}])}) == ["| a |", "| --- |", "| 1 |"]
    assert tv._render_structured_subsection(6, 1, {"blocks": ListSub(["x", DictSub(type="table", rows=[{"b": 2}])])}) == [
        "x", "", "| b |", "| --- |", "| 2 |"]
    report = {"sections": ListSub([DictSub(subsections=ListSub([DictSub(text="x")]))])}
    assert tv._format_structured_diagnosis_report({}, report).endswith("### 1、当前标题内容\n\nx")


def test_headers_from_structured_rows(tv):
    assert tv._headers_from_structured_rows([{"a": 1, 2: 0}, "x", {"2": 1, " ": 2, "c": 3}, ["l"]]) == ["a", "2", " ", "c"]


@pytest.mark.parametrize(
    "blocks, expected",
    [
        ([{"type": "paragraph", "text": "a"}, {"text": "b"}], ["a", "", "b"]),
        ([{"text": "a"}, {"type": "list", "items": "x"}, 5, {"text": "b"}], ["a", "", "b"]),
        (["  ", {"text": "b"}], ["  ", "", "b"]),
        (["", {"text": "b"}], ["", "b"]),
    ],
)
def test_render_structured_blocks(tv, blocks, expected):
    assert tv._render_structured_blocks(blocks) == expected


@pytest.mark.parametrize(
    "block, expected",
    [
        ("one\ntwo", ["one", "two"]),
        ("", [""]),
        (5, []), (None, []), (True, []), ([{"text": "x"}], []),
        ({"text": "a\r\nb"}, ["a", "b"]),
        ({"type": "", "content": "c"}, ["c"]),
        ({"type": "TEXT", "value": 0}, ["0"]),
        ({"type": "paragraph", "value": []}, ["无"]),
        ({"type": "paragraph", "value": False}, ["False"]),
        ({"type": "other", "value": "v"}, []),
        ({"type": "other", "text": "", "content": "c"}, ["c"]),
        ({"type": "   ", "text": "t"}, ["t"]),
        ({"type": "quote", "text": "a\n\nb"}, ["> a", ">", "> b"]),
        ({"type": "quote", "text": "  ", "content": "c"}, []),
        ({"type": " Heading ", "level": 2, "text": " H "}, ["## H"]),
        ({"type": "heading", "level": 0, "title": "H"}, ["# H"]),
        ({"type": "heading", "level": 9, "text": "H"}, ["###### H"]),
        ({"type": "heading", "level": 2.0, "text": "H"}, ["#### H"]),
        ({"type": "heading", "level": "\uff13", "text": "H"}, ["### H"]),
        ({"type": "heading", "level": 1}, []),
        ({"type": "list", "items": [{"prefix": "A", "text": "B"}, {"title": "C"}, "  ", 7, None]},
         ["- **A** B", "- **C**", "- 7", "- None"]),
        ({"type": "list", "items": {"a": 1}}, []),
        ({"type": "table", "headers": ["h"], "rows": [["1"]]}, ["| h |", "| --- |", "| 1 |"]),
        ({"type": "table", "rows": []}, []),
        ({"type": "bullet", "label": "L", "title": "T", "body": "X"}, ["#### L：T", "X"]),
        ({"type": "bullet", "text": "T", "content": ["c"]}, ["#### T", "c"]),
        ({"type": "bullet", "content": "only"}, ["only"]),
        ({"type": "bullet", "label": "L", "body": [], "content": []}, ["#### L", "无"]),
        ({"type": "bullet"}, []),
        ({"type": "\uff34\uff25\uff38\uff34", "value": "v"}, []),
    ],
)
def test_render_structured_block(tv, block, expected):
    assert tv._render_structured_block(block) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, []),
        ("", []),
        ("  a\n\n  b  ", ["a", "", "  b"]),
        (0, ["0"]),
        ({"type": "heading", "text": "x"}, ["{'type': 'heading', 'text': 'x'}"]),
        ([], ["无"]),
        (["", " ", None], ["None"]),
        ([" ", "  "], ["无"]),
        (["a\nb", {"type": "quote", "text": "q"}, {"text": "p"}, 3], ["a\nb", "> q", "p", "3"]),
        ([{"text": ""}, "x"], ["x"]),
    ],
)
def test_render_structured_value(tv, value, expected):
    assert tv._render_structured_value(value) == expected


@pytest.mark.parametrize(
    "item, expected",
    [
        ({"prefix": " P ", "text": " T "}, "**P** T"),
        ({"title": "P"}, "**P**"),
        ({"prefix": "", "title": "", "content": "c"}, "c"),
        ({}, ""),
        ("  x ", "x"),
        (3.5, "3.5"),
    ],
)
def test_structured_item_text(tv, item, expected):
    assert tv._structured_item_text(item) == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (7, 7), (" 12 ", 12), ("+3", 3), ("-2", -2), ("007", 7), ("1_000", 1000), ("\uff13", 3), (10**30, 10**30),
        (None, "default"), (True, "default"), (False, "default"), (2.0, "default"), ("", "default"),
        ("2.5", "default"), ("3a", "default"), ("0x10", "default"), ("1 2", "default"), ([1], "default"),
        ({}, "default"), ("1__0", "default"),
        pytest.param(10**5000, "default", id="int-too-long-to-write"), ("9" * 5000, "default"),
    ],
)
def test_int_value(tv, value, expected):
    assert tv._int_value(value, 42) == (42 if expected == "default" else expected)


def test_int_value_lets_other_errors_through(tv):
    class Broken:
        def __str__(self):
            raise KeyError("no text")

    class Refusing:
        def __str__(self):
            raise ValueError("no text")

    assert tv._int_value(Refusing(), 5) == 5
    with pytest.raises(KeyError):
        tv._int_value(Broken(), 5)
