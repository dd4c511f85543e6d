"""Inference of the subsections of an answer that numbers none, per question."""

import pytest


LONG_TITLE = "KESTRO Twin Bed Frame with Storage Drawers and LED Headboard, Wood"


def items(mapping):
    """The mapping as (key, value) pairs, so that key order is compared too."""
    return list(mapping.items())


# --- question 1: title ---------------------------------------------------------


@pytest.mark.parametrize(
    "lines, expected",
    [
        pytest.param(
            ["当前标题：T", "分析结果", "维度", "问题", "依据", "建议改为", "r1", "r2", "r3", "r4",
             "综合建议标题", "new title", "说明行", "优化点说明", "- 尺寸：前置", "•", "无冒号"],
            [(1, ["T"]), (2, ["r1", "r2", "r3", "r4"]), (3, ["new title", "说明行"]),
             (4, ["尺寸", "前置", "优化点", "无冒号"])],
            id="all-markers",
        ),
        pytest.param(
            ["some line", LONG_TITLE, "x"],
            [(1, [LONG_TITLE]), (2, ["some line", LONG_TITLE, "x"])],
            id="no-title-marker",
        ),
        pytest.param(["plain"], [(2, ["plain"])], id="nothing-found"),
        pytest.param(["当前标题 维度 x", "a"], [(1, ["维度 x"]), (2, ["a"])], id="analysis-on-title-line"),
        pytest.param(["当前标题", "分析结果", "r"], [(1, ["无"]), (2, ["r"])], id="bare-title-marker"),
        pytest.param(
            ["维度 first", "当前标题：T", "x"],
            [(1, ["T", "x"]), (2, ["维度 first", "当前标题：T", "x"])],
            id="analysis-only-before-title",
        ),
        pytest.param(
            ["当前标题：T", "分析结果", "r", "优化核心逻辑", "k：v"],
            [(1, ["T"]), (2, ["r", "优化核心逻辑", "k：v"]), (4, ["k", "v"])],
            id="logic-without-suggestion",
        ),
        pytest.param(
            ["当前标题：T", "优化说明 early", "分析结果", "建议优化标题", "s1", "s2"],
            [(1, ["T", "优化说明 early"]), (3, ["s1", "s2"])],
            id="logic-only-before-suggestion",
        ),
    ],
)
def test_infer_title_sections(tv, lines, expected):
    assert items(tv._infer_title_sections(lines)) == expected


# --- question 6: competitor ----------------------------------------------------

MARKERS6 = ["产品定位", "核心参数", "卖点优劣势", "评论口碑", "竞品差距", "综合结论"]


def test_infer_competitor_sections_in_answer_order(tv):
    blocks = [[m, v] for m, v in zip(MARKERS6, "abcdef")]
    flat = [line for block in blocks for line in block]
    assert items(tv._infer_competitor_sections(flat)) == [(k, [v]) for k, v in zip(range(1, 7), "abcdef")]
    blocks[1], blocks[4] = blocks[4], blocks[1]
    swapped = [line for block in blocks for line in block]
    assert items(tv._infer_competitor_sections(swapped)) == [
        (1, ["a"]), (5, ["e"]), (3, ["c"]), (4, ["d"]), (2, ["b"]), (6, ["f"])
    ]


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["产品定位", "a 机会点", "竞品差距", "e"], [(5, ["e"])]),
        (["产品定位 综合结论", "x"], [(6, ["x"])]),
        (["intro", "卖点 与 竞品 对比", "y", "评论口碑"], [(3, ["y"])]),
        (["nothing here"], []),
    ],
)
def test_infer_competitor_sections_edges(tv, lines, expected):
    assert items(tv._infer_competitor_sections(lines)) == expected


# --- question 7: overall -------------------------------------------------------

FIXED7 = "优先处理最影响买家快速判断和下单信心的页面信息，先解决描述准确性，再补充场景化与证据型表达。"
ROW7 = ["最优先修改项", "首屏转化与信息准确性"]


@pytest.mark.parametrize(
    "lines, expected",
    [
        (
            ["整体", "core", "问题", "prob", "依据", "basis", "建议改为", "sugg", "改动要点", "detail"],
            [(1, ["core"]), (2, ROW7 + ["prob\nbasis", "sugg"]), (3, ["sugg"]), (4, ["detail"])],
        ),
        (["a", "b"], [(1, ["a"]), (2, ROW7 + ["", ""]), (3, []), (4, [FIXED7])]),
        (["问题：x", "建议改为：y", "z"], [(1, ["问题：x"]), (2, ROW7 + ["", "z"]), (3, ["z"]), (4, [FIXED7])]),
        (["整体", "问题", "p1", "依据"], [(1, ["p1"]), (2, ROW7 + ["p1", ""]), (3, []), (4, [FIXED7])]),
        (["问题", "x", "依据", "b", "建议改为"], [(1, ["问题"]), (2, ROW7 + ["x\nb", ""]), (3, []), (4, [FIXED7])]),
        (["a", "b", "c", "问题", "p", "优化核心逻辑", "d"],
         [(1, ["a", "b", "c"]), (2, ROW7 + ["", ""]), (3, []), (4, ["d"])]),
    ],
)
def test_infer_overall_sections(tv, lines, expected):
    assert items(tv._infer_overall_sections(lines)) == expected


# --- question 2: bullet points -------------------------------------------------

BULLET_LINES = [
    "intro",
    "第二点：空间",
    "现有表达：旧",
    "问题：挤",
    "依据：评论",
    "建议改为：新",
    "第 4 点",
    "a",
    "b",
    "c",
    "bullet #7",
]


def test_infer_bullet_sections(tv):
    got = tv._infer_bullet_sections(BULLET_LINES)
    heads = ["Bullet 1：空间", "Bullet 2：第 4 点", "Bullet 3：bullet #7"]
    assert items(got) == [
        (1, [heads[0], "旧", heads[1], "", heads[2], ""]),
        (2, ["Bullet 1", "表达与决策路径不匹配", "挤", "评论", "新",
             "Bullet 2", "表达与决策路径不匹配", "a\nb", "", "",
             "Bullet 3", "表达与决策路径不匹配", "", "", ""]),
        (3, [heads[0], "新", heads[1], "", heads[2], ""]),
        (4, heads),
    ]


@pytest.mark.parametrize(
    "tail, logic",
    [
        (["核心逻辑总结", "k1", "k2"], ["k1", "k2"]),
        (["综合优化"], ["Bullet 1：x"]),
    ],
)
def test_infer_bullet_sections_logic(tv, tail, logic):
    got = tv._infer_bullet_sections(["第一点 x", "问题：", "依据：y"] + tail)
    assert got[2][2] == "无"
    assert got[4] == logic


# --- questions 3 and 4: images and A+ modules ----------------------------------

FIXED3 = "围绕买家决策疑问重建图片顺序：先讲清产品结构，再解释功能细节，最后用尺寸、安装和变体信息降低购买不确定性。"
FIXED4 = "A+ 不应只复述参数，应承担场景代入、细节证明和风险消除的作用，让买家在下单前确认尺寸、功能、安装与耐用性。"


def test_infer_image_sections(tv):
    lines = ["整体偏暗", "图 1｜主图", "问题：暗", "建议改为：", "图2", "优化方案：换", "图3：细节"]
    assert items(tv._infer_image_sections(lines)) == [
        (1, ["整体偏暗"]),
        (2, ["图1", "主图", "暗", "", "无", "图2", "图片信息表达", "", "", "换", "图3", "：细节", "", "", ""]),
        (3, ["P0", "图1", "无", "P1", "图2", "换", "P2", "图3", ""]),
        (4, [FIXED3]),
    ]


def test_infer_aplus_sections(tv):
    lines = ["模块 2 — 场景", "问题：少", "改进建议：加", "图3", "优化方案：换"]
    role = "补充关键信息并增强购买信任"
    assert items(tv._infer_aplus_sections(lines)) == [
        (1, []),
        (2, ["模块 2 场景", role, "少", "", "加", "图3", role, "", "", "换"]),
        (3, ["P0", "模块 2 场景", "加", "P1", "图3", "换"]),
        (4, [FIXED4]),
    ]


@pytest.mark.parametrize("method", ["_infer_image_sections", "_infer_aplus_sections"])
def test_priorities_stop_at_p3(tv, method):
    got = getattr(tv, method)([f"图{k}" for k in range(1, 7)])
    assert got[3][0::3] == ["P0", "P1", "P2", "P3", "P3", "P3"]


@pytest.mark.parametrize(
    "method", ["_infer_bullet_sections", "_infer_image_sections", "_infer_aplus_sections", "_infer_review_sections"]
)
def test_no_marker_gives_no_sections(tv, method):
    assert getattr(tv, method)(["整体说明", "问题：x", "⑩ not a marker"]) == {}


# --- question 5: reviews -------------------------------------------------------


def test_table_key_values(tv):
    lines = [
        "| 项目 | 内容 |",
        "|---|---|",
        "| 评论 | 好 |",
        "| 问题 |  |",
        "| 依据 | ---- |",
        "| :--- | :---: |",
        "| 评论 | 更好 |",
        "| a | b | c |",
        "not a row",
    ]
    assert items(tv._table_key_values(lines)) == [("评论", "更好"), (":---", ":---:"), ("a", "b | c")]


FIXED5 = "评论优化的核心是放大真实优势，同时把已暴露的安装、五金、耐用性和抽屉体验风险提前解释清楚，降低期望落差。"
HIGH = ["高", "差评与退货风险"]
MID = ["中", "转化信任与卖点强化"]


def test_infer_review_sections(tv):
    lines = [
        "intro",
        "① 安装⚠", "| 评论 | 难装 |", "| 问题 | 说明少 |", "| 依据 | 多条 |", "| 建议改为 | 加视频 |",
        "② 外观", "| 评论 | 好看 |", "| 建议 | 多图 |", "| 建议改为 |  |",
        "③ 抱怨 做工", "| 依据 | 评论区 |",
        "④ 抽屉", "抱怨 抽屉卡", "| 问题 | 卡顿 |",
        "⑤ 质感", "| 评论 | 负向：掉漆 |", "| 建议 | 换漆 |", "| 建议改为 | 换涂层 |",
    ]
    assert items(tv._infer_review_sections(lines)) == [
        (1, ["① 安装⚠", "难装", "② 外观", "好看", "③ 抱怨 做工", "评论区", "④ 抽屉", "卡顿", "⑤ 质感", "负向：掉漆"]),
        (2, ["① 安装⚠", *HIGH, "难装", "说明少", "加视频",
             "② 外观", *MID, "好看", "", "多图",
             "③ 抱怨 做工", *MID, "评论区", "", "",
             "④ 抽屉", *HIGH, "", "卡顿", "",
             "⑤ 质感", *HIGH, "负向：掉漆", "", "换涂层"]),
        (3, ["P0", "① 安装⚠", "加视频", "P1", "④ 抽屉", "卡顿", "P2", "⑤ 质感", "换涂层"]),
        (4, [FIXED5]),
    ]


def test_infer_review_sections_without_high_risk(tv):
    lines = ["① a", "| 建议改为 | " + "x" * 100 + " |", "② b", "| 问题 | p |", "③ c", "④ d"]
    got = tv._infer_review_sections(lines)
    assert got[3] == ["P0", "① a", "x" * 79 + "…", "P1", "② b", "", "P2", "③ c", ""]
    assert got[2][6:12] == ["② b", *MID, "", "p", ""]
