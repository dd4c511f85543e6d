"""The listing diagnosis from prose, end to end through format_data."""

import random
import re

import pytest

from pelorin.amazon_rufus.services import telvara as module
from pelorin.amazon_rufus.services.telvara import Telvara

from ..conftest import assert_no_leak
from ..growth import assert_bounded, assert_linear
from .conftest import LINE_BOUNDARIES, DictSub, Lookup


def questionnaire(answers, **extra):
    return {"answers": [{"answer": a} for a in answers], **extra}


def seven_questions():
    return [
        "请分析：" + " ".join(f"{k}、{title}" for k, title in module.DIAGNOSIS_SUBSECTIONS[q].items())
        for q in range(1, 8)
    ]


# One answer per question: 1 and 4 numbered, the others inferred from markers.
ANSWERS = [
    '以下是标题分析：\n1、当前标题内容\nKESTRO Twin Bed Frame with Storage\n（共约 34 字符）\n2、问题逐项分析\n关键词缺失\n未写尺寸\n搜索词报告\n补充 Twin Size\n3、建议优化标题\nKESTRO Twin Size Bed Frame with Storage Drawers\nStep 1 前置尺寸\n4、优化核心逻辑总结\n尺寸前置\n提升点击',
    '第一点：空间\n现有表达：收纳大\n问题：没有量化\n依据：评论关注容量\n建议改为：写明抽屉容量\n第二点：安全\n问题：缺少认证\n建议改为：补充认证\n核心逻辑\n先讲空间，再讲安全。',
    '主图信息不足\n图1｜主图\n问题：看不出尺寸\n依据：买家提问\n建议改为：加尺寸标注\n图2\n优化方案：增加场景图',
    '1、当前A+内容整体问题\n只有参数图\n2、问题逐项分析\n模块1\n补充场景\n缺少场景\n买家提问\n加场景图\n3、优化优先级总结\nP0\n模块1\n加场景图',
    '① 安装难⚠\n| 项目 | 内容 |\n|---|---|\n| 评论 | 负向：说明书看不懂 |\n| 问题 | 安装说明不清 |\n| 依据 | 多条差评 |\n| 建议改为 | 增加安装视频 |\n② 外观好看\n| 评论 | 颜色高级 |',
    '竞品：ACME Bed\n产品定位\n对方主打高端\n核心参数全面对比\n承重 500 磅\n卖点优劣势对比\n我们有 LED\n评论口碑关键对比\n对方差评少\n竞品差距与机会点\n补充承重数据\n综合结论\n先补承重',
    '整体\n首屏信息不准确\n问题\n尺寸描述不一致\n依据\n评论反馈\n建议改为\n统一尺寸描述\n改动要点\n先改标题\n再改五点',
]

REPORT = """\
# ASIN B0ABC123 Listing 优化诊断报告

## 1. 标题清晰度与点击意愿分析

### 1、当前标题内容

> KESTRO Twin Bed Frame with Storage

**共约 34 字符**

### 2、问题逐项分析

| 问题类型 | 具体问题 | 问题依据 | 建议修改 |
| --- | --- | --- | --- |
| 关键词缺失 | 未写尺寸 | 搜索词报告 | 补充 Twin Size |

### 3、建议优化标题

> **KESTRO Twin Size Bed Frame with Storage Drawers**

#### 优化对比说明
#### Step 1 前置尺寸

### 4、优化核心逻辑总结

| 逻辑维度 | 说明 |
| --- | --- |
| 尺寸前置 | 提升点击 |

---

## 2. 五点卖点表达优化分析

### 1、当前五点内容

#### Bullet 1：空间
收纳大

#### Bullet 2：安全

### 2、问题逐项分析

| 五点序号 | 问题类型 | 具体问题 | 问题依据 | 建议修改方向 |
| --- | --- | --- | --- | --- |
| Bullet 1 | 表达与决策路径不匹配 | 没有量化 | 评论关注容量 | 写明抽屉容量 |
| Bullet 2 | 表达与决策路径不匹配 | 缺少认证 |  | 补充认证<br>核心逻辑<br>先讲空间，再讲安全。 |

### 3、建议优化五点

#### Bullet 1：空间
写明抽屉容量

#### Bullet 2：安全
补充认证
核心逻辑
先讲空间，再讲安全。

### 4、优化核心逻辑总结

先讲空间，再讲安全。

---

## 3. 图片购买疑问解决能力分析

### 1、当前图片整体问题

主图信息不足

### 2、问题逐项分析

| 图片序号 | 目标 | 具体问题 | 核心依据 | 优化方案 |
| --- | --- | --- | --- | --- |
| 图1 | 主图 | 看不出尺寸 | 买家提问 | 加尺寸标注 |
| 图2 | 图片信息表达 |  |  | 增加场景图 |

### 3、优化优先级总结

| 优先级 | 图片序号 | 核心价值 |
| --- | --- | --- |
| P0 | 图1 | 加尺寸标注 |
| P1 | 图2 | 增加场景图 |

### 4、优化核心逻辑总结

围绕买家决策疑问重建图片顺序：先讲清产品结构，再解释功能细节，最后用尺寸、安装和变体信息降低购买不确定性。

---

## 4. A+ 内容信任增强分析

### 1、当前A+内容整体问题

只有参数图

### 2、问题逐项分析

| 模块 | 目标 | 具体问题 | 核心依据 | 优化方案 |
| --- | --- | --- | --- | --- |
| 模块1 | 补充场景 | 缺少场景 | 买家提问 | 加场景图 |

### 3、优化优先级总结

| 优先级 | 优化项 | 预期效果 |
| --- | --- | --- |
| P0 | 模块1 | 加场景图 |

### 4、优化核心逻辑总结

无

---

## 5. 买家评论高频夸赞与抱怨分析

### 1、评价整体总结分析

| 维度 | 数据 |
| --- | --- |
| ① 安装难⚠ | 负向：说明书看不懂 |
| ② 外观好看 | 颜色高级 |

### 2、问题逐项分析

| 问题类型 | 风险等级 | 影响范围 | 评论依据 | 产品页面现状 | 优化方案 |
| --- | --- | --- | --- | --- | --- |
| ① 安装难⚠ | 高 | 差评与退货风险 | 负向：说明书看不懂 | 安装说明不清 | 增加安装视频 |
| ② 外观好看 | 中 | 转化信任与卖点强化 | 颜色高级 |  |  |

### 3、优化优先级总结

| 优先级 | 优化项 | 预期效果 |
| --- | --- | --- |
| P0 | ① 安装难⚠ | 增加安装视频 |

### 4、优化核心逻辑总结

评论优化的核心是放大真实优势，同时把已暴露的安装、五金、耐用性和抽屉体验风险提前解释清楚，降低期望落差。

---

## 6. 最高评分竞品完整对比分析

### 1、产品定位

对方主打高端

### 2、核心参数全面对比

承重 500 磅

### 3、卖点优劣势对比

我们有 LED

### 4、评论口碑关键对比

对方差评少

### 5、竞品差距与机会点

补充承重数据

### 6、综合结论

先补承重

---

## 7. 最优先修改项综合判断

### 1、核心问题定位

首屏信息不准确

### 2、最优先修改原因

| 问题维度 | 影响范围 | 具体分析 | 建议方案 |
| --- | --- | --- | --- |
| 最优先修改项 | 首屏转化与信息准确性 | 尺寸描述不一致<br>评论反馈 | 统一尺寸描述 |

### 3、总体执行修改方案

统一尺寸描述

### 4、优化核心逻辑总结

- **1** 先改标题
- **2** 再改五点"""


# LF and CR end the answer's lines before any table is made.
@pytest.mark.parametrize("boundary", LINE_BOUNDARIES[3:], ids=ascii)
def test_schema_table_cell_with_a_line_boundary_keeps_its_row(tv, boundary):
    answers = [ANSWERS[0].replace("关键词缺失", "关键词" + boundary + "缺失"), *ANSWERS[1:]]
    row = "| 关键词缺失 | 未写尺寸 | 搜索词报告 | 补充 Twin Size |"
    assert REPORT.count(row) == 1
    expected = REPORT.replace(row, row.replace("关键词缺失", "关键词<br>缺失"))
    assert tv.format_data(questionnaire(answers, asin="b0abc123")) == expected


def test_seven_answers_without_questions(tv):
    assert tv.format_data(questionnaire(ANSWERS, asin=" b0abc123 ")) == REPORT


def test_seven_answers_with_their_questions(tv):
    data = questionnaire(ANSWERS, asin="B0ABC123", questions=seven_questions())
    assert tv.format_data(data) == REPORT
    assert tv._format_official_report(data, data["answers"], []) == REPORT


def test_question_texts_do_not_title_the_report(tv):
    data = questionnaire(ANSWERS[:2], asin="B0ABC123", questions=seven_questions()[:2])
    assert tv.format_data(data) == REPORT[: REPORT.index("\n\n---\n\n## 3.")]


@pytest.mark.parametrize(
    "asin, title",
    [
        (None, "UNKNOWN"),
        ("", "UNKNOWN"),
        ("  \t ", "UNKNOWN"),
        (0, "UNKNOWN"),
        (" b0x1 ", "B0X1"),
        (12345, "12345"),
        ("straße", "STRASSE"),
    ],
)
def test_title_asin(tv, asin, title):
    data = {"answers": [{"answer": "x"}]}
    if asin is not None:
        data["asin"] = asin
    assert tv.format_data(data).split("\n")[0] == f"# ASIN {title} Listing 优化诊断报告"


def test_sections_are_separated_not_terminated(tv):
    lines = tv.format_data(questionnaire(["6、x", "6、y", "6、z"])).split("\n")
    rules = [i for i, line in enumerate(lines) if line == "---"]
    assert len(rules) == 2
    assert all(lines[i - 1] == "" and lines[i + 1] == "" and lines[i + 2].startswith("## ") for i in rules)
    assert lines[-1] != "---" and lines[-1] != ""


def test_positions_beyond_the_questionnaire(tv):
    report = tv._format_official_report({}, [{"answer": "x"}] * 7 + [{"answer": "1、a\nv"}], [])
    tail = report[report.index("## 8. 模块8") :]
    assert tail == "## 8. 模块8\n\n### 1、模块1\n\nv\n\n### 2、模块2\n\n无\n\n### 3、模块3\n\n无\n\n### 4、模块4\n\n无"


# --- the answer's text ------------------------------------------------------


@pytest.mark.parametrize(
    "answer, text",
    [
        ({"answer": "  a\r\n•\n\n b  "}, "a\n- b"),
        ({"answer": 12}, "12"),
        ({"answer": "", "text": "正文"}, "正文"),
        ({"answer": " ", "summary": " 总结 "}, "总结"),
        ({"summary": "", "summaryText": "摘要"}, "摘要"),
        ({"productLinks": [{"asin": "B01", "title": "床"}, "  link "]}, "- B01 - 床\n- link"),
        ({"isSuccess": False, "text": "", "summary": "s"}, "s"),
        ({"isSuccess": False, "text": ""}, ""),
        (None, ""),
        ("plain text", ""),
        (DictSub(answer="", text="正文"), "正文"),
        (DictSub(summary="s"), "s"),
    ],
)
def test_answer_text(tv, answer, text):
    assert tv._answer_text(3, answer) == text


def test_derived_mapping_answer_renders_like_a_plain_one(tv):
    plain = tv.format_data({"answers": [{"answer": "", "text": "1、x\n正文"}]})
    assert tv.format_data({"answers": [DictSub(answer="", text="1、x\n正文")]}) == plain
    assert "正文" in plain


def test_answer_without_text_gets_the_no_answer_line(tv):
    report = tv.format_data({"answers": [{"answer": "x"}, {"answer": None}]})
    section = report[report.index("## 2.") :]
    assert section.split("\n")[:6] == ["## 2. 五点卖点表达优化分析", "", "第 2 题未获取到答案", "", "### 1、当前五点内容", ""]
    assert section.count("### ") == 4


# --- numbered subsections ---------------------------------------------------


def headings(report):
    return [line for line in report.split("\n") if line.startswith("### ")]


def test_numbering_that_jumps_fills_the_missing_headings(tv):
    report = tv.format_data(questionnaire(["intro\n1、a\nv\n6、b\nw"]))
    assert "intro" not in report
    assert headings(report) == [
        "### 1、当前标题内容", "### 2、问题逐项分析", "### 3、建议优化标题", "### 4、优化核心逻辑总结",
        "### 5、模块5", "### 6、模块6",
    ]
    assert report.endswith("### 5、模块5\n\n无\n\n### 6、模块6\n\nw")


def test_huge_subsection_numbers_stay_bounded_and_keep_their_text(tv):
    # The headings filled in stop at 50 whatever the numbers: a thirty-digit
    # one costs what a three-digit one does.
    def report_for(numbers):
        big, far = numbers
        return tv.format_data(questionnaire([f"{big}、a\nx\n{far}、b\ny\n70、c\nz\n1、d\nv"]))

    sizes = [("999", "100"), ("9" * 30, "1000000000")]
    for (big, far), report in zip(sizes, assert_bounded(report_for, *sizes)):
        found = headings(report)
        assert len(found) == 53
        assert found[49:] == ["### 50、模块50", "### 70、模块70", f"### {far}、模块{far}", f"### {big}、模块{big}"]
        assert report.endswith(f"### 70、模块70\n\nz\n\n### {far}、模块{far}\n\ny\n\n### {big}、模块{big}\n\nx")


def test_numbered_lines_beyond_fifty_without_text_keep_their_heading(tv):
    assert headings(tv.format_data(questionnaire(["6、a\n100、b"])))[-2:] == ["### 50、模块50", "### 100、模块100"]


# --- bad input --------------------------------------------------------------


def random_text(rng, size):
    pieces = ["图1", "模块 2 —", "①", "⑩", "第一点", "Bullet #3", "问题：", "依据", "建议改为：", "P1", "- ", "•",
              "|", "| a | b |", "、", "1、", "0、", "12、", "\n", "\r\n", "\r", "\u2028", "\x0c", " ", "\t",
              "当前标题", "维度", "综合结论", "整体", "改动要点", "卖点", "对比", "\\", "共约", "Step 2", "。"]
    out, length = [], 0
    while length < size:
        if rng.random() < 0.3:
            out.append("".join(chr(rng.randint(1, 0x10FFFF)) for _ in range(rng.randint(1, 6))))
        else:
            out.append(rng.choice(pieces))
        length += len(out[-1])
    return "".join(out)


BAD = {
    "lone-surrogates": "\ud800问题：\udfff\n图1\ud83d\n① \udc00",
    "markers-without-values": "问题：\n依据：\n建议改为：\n图1\n图2\n①\n② \n第一点\n模块1\n整体\n问题\n依据\n建议改为",
    "circled-out-of-order": "⑨ z\n| 评论 | 抱怨 |\n③ x\n① y\n⑩ no",
    "numbering-out-of-order": "3、a\nx\n1、b\ny\n50、c\nz\n7、d",
    "only-bullets": "•\n-\n*\n\n•\n  \n-",
    "pipes-and-backslashes": "| 项目 | 内容 |\n|---|---|\n| a\\ | b\\|c |\n\\|\\",
}

# Bad prose that grows: the text at a size, and the size it is tried at.
LONG_BAD = {
    "long-line": (lambda n: "卖点" * n, 200_000),
    "long-cjk-line": (lambda n: "".join(chr(0x4E00 + (i * 7919) % 20000) for i in range(n)), 300_000),
    "many-lines": (lambda n: "\n".join(f"图{i}\n问题：{i}\n- x" for i in range(n)), 3000),
    "many-numbered": (lambda n: "\n".join(f"{i}、t\n{i}" for i in range(1, n, 7)), 3000),
    "long-number": (lambda n: "1" * n + "、x\ny\n" + "2" * (n * 5 // 4) + "、z", 4000),
}


def report_with(tv, q, text):
    # The text answers question q, a placeholder each of the others.
    answers = ["x"] * 7
    answers[q] = text
    return tv.format_data(questionnaire(answers))


def assert_whole_report(report):
    assert report.startswith("# ASIN UNKNOWN Listing 优化诊断报告\n\n## 1. ")
    assert report.count("\n---\n") == 6


@pytest.mark.parametrize("name", list(BAD))
def test_bad_prose_yields_a_report_for_every_question(tv, name):
    for q in range(7):
        assert_whole_report(report_with(tv, q, BAD[name]))


@pytest.mark.parametrize("name", list(LONG_BAD))
def test_long_bad_prose_yields_reports_in_linear_time(tv, name):
    make, size = LONG_BAD[name]
    for q in range(7):
        assert_linear(lambda text: report_with(tv, q, text), size, lambda n, report: assert_whole_report(report),
                      make=make)


def test_random_prose_yields_reports(tv):
    rng = random.Random(20240601)
    for _ in range(40):
        answers = [random_text(rng, rng.randint(0, 3000)) for _ in range(7)]
        report = tv.format_data(questionnaire(answers))
        assert report.count("\n## ") == 7


def test_numbered_prose_keeps_every_line(tv):
    rng = random.Random(7)
    lines = [random_text(rng, 40).replace("\n", " ").replace("\r", " ").strip() or "x" for _ in range(300)]
    # numbered lines are headings (their own text is the title); lone bullets merge
    lines = [line for line in lines if not re.match(r"[1-9]\d*、|[•*-]", line)]
    text = "1、开始\n" + "\n".join(lines)
    report = tv.format_data(questionnaire(["x"] * 5 + [text]))
    section = report[report.index("## 6.") :]
    for line in lines:
        for part in line.splitlines():
            assert part.strip() in section


# --- calls through the instance ---------------------------------------------


def test_patched_methods_and_tables_apply(tv, monkeypatch):
    monkeypatch.setattr(Telvara, "_short_value", lambda self, value, limit=80: "<" + value + ">")
    rows = tv._infer_image_sections(["图1", "建议改为：换"])[3]
    assert rows == ["P0", "图1", "<换>"]

    tv._render_plain_lines = lambda lines: ["plain:" + "|".join(lines)]
    assert tv._render_diagnosis_subsection(6, 1, ["a", "b"]) == ["plain:a|b"]
    assert Telvara()._render_diagnosis_subsection(6, 1, ["a"]) == ["a"]

    monkeypatch.setitem(module.DIAGNOSIS_SECTION_TITLES, 1, "自定义标题")
    monkeypatch.setattr(module, "DIAGNOSIS_TABLE_SCHEMAS", {})
    report = Telvara().format_data(questionnaire(["1、a\n2、b\nc"]))
    assert "## 1. 自定义标题" in report
    assert "|" not in report


OWN_METHODS = {
    "_format_official_report", "_format_diagnosis_answer", "_answer_text", "_normalize_answer_markdown",
    "_split_numbered_sections", "_infer_diagnosis_sections", "_infer_title_sections", "_infer_bullet_sections",
    "_infer_image_sections", "_infer_aplus_sections", "_infer_review_sections", "_infer_competitor_sections",
    "_infer_overall_sections", "_collect_marker_groups", "_find_line", "_extract_after_marker",
    "_guess_title_lines", "_strip_marker_lines", "_strip_bullets", "_to_pair_lines", "_chunk_value",
    "_table_key_values", "_summary_from_suggestions", "_short_value", "_normalize_content_lines",
    "_render_diagnosis_subsection", "_drop_intro_and_headers", "_drop_known_headers", "_render_schema_table",
    "_parse_schema_rows", "_parse_row_start_rows", "_parse_fixed_rows", "_parse_summary_pairs",
    "_looks_like_next_row_start", "_render_title_content", "_render_optimized_title", "_render_bullet_content",
    "_render_summary_bullets", "_looks_like_summary_heading", "_render_plain_lines",
}

INFERRED = [
    "x " * 30 + "Bed frame with storage\n优化点说明\n- 尺寸：前置",
    "Bullet 1\n问题：a",
    "图1",
    "模块1",
    "① a\n| 评论 | b |",
    "产品定位\nx",
    "整体\nx",
]


def test_reports_are_the_same_through_attribute_lookup(tv):
    slow = Lookup()
    for answers in [ANSWERS, INFERRED, list(BAD.values())[:7]]:
        assert slow.format_data(questionnaire(answers)) == tv.format_data(questionnaire(answers))
    assert OWN_METHODS <= slow.looked_up


def test_subclass_overrides_apply():
    class Loud(Telvara):
        def _normalize_content_lines(self, text):
            return [line.upper() for line in super()._normalize_content_lines(text)]

        def _trim_blank(self, lines):
            return ["trimmed"]

    assert Loud()._split_numbered_sections("intro\n1、x\nabc") == (["INTRO"], {1: ["ABC"]})
    assert Loud()._render_plain_lines(["a"]) == ["trimmed"]


# --- argument kinds ---------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs, name",
    [
        ("_format_official_report", (DictSub(), [], []), {}, "data"),
        ("_format_official_report", ({}, (), []), {}, "answers"),
        ("_format_official_report", ({}, [], None), {}, "questions"),
        ("_format_diagnosis_answer", ("1", {}), {}, "question_index"),
        ("_answer_text", (None, {}), {}, "index"),
        ("_normalize_answer_markdown", (b"x",), {}, "text"),
        ("_split_numbered_sections", (None,), {}, "text"),
        ("_infer_diagnosis_sections", (1, ["x"]), {}, "text"),
        ("_normalize_content_lines", (1,), {}, "text"),
        ("_infer_title_sections", (("a",),), {}, "lines"),
        ("_infer_review_sections", ("a",), {}, "lines"),
        ("_collect_marker_groups", (["a"], None), {}, "pattern"),
        ("_find_line", (["a"], "a", "0"), {}, "start"),
        ("_extract_after_marker", (["a"], 0, 1, 1), {}, "marker"),
        ("_strip_marker_lines", (["a"], "a"), {}, "patterns"),
        ("_to_pair_lines", (["a"],), {"default_key": None}, "default_key"),
        ("_chunk_value", (["a"], b"x"), {}, "label"),
        ("_table_key_values", (None,), {}, "lines"),
        ("_short_value", ("a", "80"), {}, "limit"),
        ("_render_diagnosis_subsection", (1, None, []), {}, "section_index"),
        ("_drop_intro_and_headers", (1, 1, None), {}, "lines"),
        ("_drop_known_headers", (["a"], ("a",)), {}, "headers"),
        ("_render_schema_table", (DictSub(headers=["a"]), []), {}, "schema"),
        ("_parse_schema_rows", ({}, None), {}, "lines"),
        ("_parse_row_start_rows", (["a"], 1, None), {}, "row_start"),
        ("_parse_fixed_rows", (["a"], "1"), {"last_cell_continues": True}, "width"),
        ("_parse_summary_pairs", (None,), {}, "lines"),
        ("_looks_like_next_row_start", ("a", None, 1), {}, "remaining_count"),
        ("_render_bullet_content", (None,), {}, "lines"),
        ("_looks_like_summary_heading", (None,), {}, "line"),
    ],
)
def test_argument_kinds(tv, method, args, kwargs, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        getattr(tv, method)(*args, **kwargs)


def test_numbers_convert_to_integers(tv):
    assert tv._format_diagnosis_answer(True, None) == tv._format_diagnosis_answer(1, None)
    assert tv._find_line(["a", "b"], "b", 1.9) == 1
    assert tv._looks_like_next_row_start("P1 x", 6.7, 6) is True


# --- memory -----------------------------------------------------------------


@pytest.mark.parametrize("tv", [Telvara(), Lookup()], ids=["direct", "lookup"])
def test_repeated_reports_do_not_leak(tv):
    inputs = [questionnaire(answers) for answers in (ANSWERS, INFERRED, list(BAD.values())[:7])]

    def run():
        for data in inputs:
            tv.format_data(data)
        with pytest.raises(TypeError):
            tv._format_official_report({}, [], None)
        with pytest.raises(IndexError):
            tv._extract_after_marker(["a"], 3, -1, "m")
        tv._parse_fixed_rows(["a"] * 9, 2, last_cell_continues=True)

    assert_no_leak(run, warmup=5, rounds=40, blocks=200)
