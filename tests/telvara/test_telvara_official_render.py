"""Subsection dispatch, schema tables and the subsection renderers."""

import pytest


def table(headers, *rows):
    return ["| " + " | ".join(headers) + " |", "| " + " | ".join("---" for _ in headers) + " |"] + [
        "| " + " | ".join(row) + " |" for row in rows
    ]


# --- dispatch ------------------------------------------------------------------

LINE = "Step 1: a"
TITLE = ["> Step 1: a"]
OPTIMIZED = ["> **Step 1: a**"]
BULLET = ["#### Bullet 1：Step 1: a"]
SUMMARY = ["- **1** Step 1: a"]
PLAIN = ["#### Step 1: a"]


@pytest.mark.parametrize(
    "question, section, expected",
    [
        (1, 1, TITLE),
        (1, 3, OPTIMIZED),
        (2, 1, BULLET),
        (2, 3, BULLET),
        (2, 4, SUMMARY),
        (5, 4, SUMMARY),
        (7, 4, SUMMARY),
        (3, 1, PLAIN),
        (3, 4, PLAIN),
        (4, 4, PLAIN),
        (7, 1, PLAIN),
        (7, 3, PLAIN),
        *[(6, k, PLAIN) for k in range(1, 7)],
        (9, 1, PLAIN),
        (1, 2, table(["问题类型", "具体问题", "问题依据", "建议修改"], [LINE, "", "", ""])),
        (5, 2, table(["问题类型", "风险等级", "影响范围", "评论依据", "产品页面现状", "优化方案"], [LINE, "", "", "", "", ""])),
        (7, 2, table(["问题维度", "影响范围", "具体分析", "建议方案"], [LINE, "", "", ""])),
        (1.9, 4.2, table(["逻辑维度", "说明"], [LINE, ""])),
    ],
)
def test_dispatch(tv, question, section, expected):
    assert tv._render_diagnosis_subsection(question, section, [LINE]) == expected


def test_empty_subsection_with_schema_shows_placeholder_row(tv):
    assert tv._render_diagnosis_subsection(3, 2, []) == table(
        ["图片序号", "目标", "具体问题", "核心依据", "优化方案"], ["无", "", "", "", ""]
    )
    assert tv._render_diagnosis_subsection(6, 1, []) == ["无"]


def test_drop_intro_and_headers(tv):
    lines = ["当前标题内容", "1、当前标题内容", "12、x", "", "建议优化标题", "当前标题内容：", "0、y", "   "]
    assert tv._drop_intro_and_headers(1, 1, lines) == ["建议优化标题", "当前标题内容：", "0、y", "   "]
    assert tv._drop_intro_and_headers(5, 1, ["维度", "数据", "x", "综合结论"]) == ["x"]


@pytest.mark.parametrize("question, section", [(3, 3), (5, 1), (3, 2), (1, 2), (5, 4), (1, 1), (9, 9)])
def test_drop_intro_and_headers_drops_empty_texts_with_or_without_schema(tv, question, section):
    assert tv._drop_intro_and_headers(question, section, ["", "LED", "", "", "b", ""]) == ["LED", "b"]
    assert tv._drop_intro_and_headers(question, section, ["", ""]) == []


def test_table_road_keeps_empty_values_as_cells(tv):
    assert tv._render_diagnosis_subsection(3, 3, ["", "LED"]) == table(["优先级", "图片序号", "核心价值"], ["", "LED", ""])
    assert tv._render_diagnosis_subsection(5, 1, ["a", "", "b", "c"]) == table(["维度", "数据"], ["a", ""], ["b", "c"])
    lines = ["图1", "主图", "", "", "换", "图2", "细节", "暗", "", "加"]
    assert tv._render_diagnosis_subsection(3, 2, lines) == table(
        ["图片序号", "目标", "具体问题", "核心依据", "优化方案"],
        ["图1", "主图", "", "", "换"],
        ["图2", "细节", "暗", "", "加"],
    )


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["维度", "数据", "x"], ["x"]),
        (["数据", "x"], ["x"]),
        ([" 维度 ", "x"], ["x"]),
        (["x", "维度"], ["x", "维度"]),
        (["维度"], []),
    ],
)
def test_drop_known_headers(tv, lines, expected):
    assert tv._drop_known_headers(lines, ["维度", "数据"]) == expected


# --- row parsers ---------------------------------------------------------------

NUM = [str(k) for k in range(1, 13)]


@pytest.mark.parametrize(
    "lines, width, continues, expected",
    [
        (NUM[:7], 3, False, [["1", "2", "3"], ["4", "5", "6\n7"]]),
        (NUM[:2], 3, False, [["1", "2", ""]]),
        (NUM[:6], 3, False, [["1", "2", "3"], ["4", "5", "6"]]),
        (NUM[:8], 6, True, [["1", "2", "3", "4", "5", "6\n7\n8"]]),
        (NUM[:6] + ["P1 短"] + NUM[7:], 6, True, [NUM[:6], ["P1 短"] + NUM[7:]]),
        (NUM[:6] + ["- x"] + NUM[7:], 6, True, [NUM[:5] + ["\n".join(["6", "- x"] + NUM[7:])]]),
        # each join is trimmed: blank lines vanish at the end, stay inside
        (["a", "b", " f ", "   ", "", " g ", "h "], 3, True, [["a", "b", "f\n g\nh"]]),
        (["a", "b", "  ", " x "], 3, True, [["a", "b", "x"]]),
        ([], 3, True, []),
        (NUM[:3], 0, False, []),
        (NUM[:3], -2, True, []),
    ],
)
def test_parse_fixed_rows(tv, lines, width, continues, expected):
    assert tv._parse_fixed_rows(lines, width, last_cell_continues=continues) == expected


def test_parse_fixed_rows_flag_is_keyword_only_and_required(tv):
    with pytest.raises(TypeError):
        tv._parse_fixed_rows(["a"], 1, True)
    with pytest.raises(TypeError):
        tv._parse_fixed_rows(["a"], 1)


IMAGE_ROW_START = r"^(?:图|图片|主图|Image)\s*#?\d+|^图\d+"


def test_parse_row_start_rows(tv):
    lines = ["intro", "图1 标题", "a", "b", "c", "d", "e", "f", "image 2", "x"]
    assert tv._parse_row_start_rows(lines, 5, IMAGE_ROW_START) == [
        ["图1 标题", "a", "b", "c", "d\ne\nf"],
        ["image 2", "x", "", "", ""],
    ]


@pytest.mark.parametrize(
    "width, expected",
    [(0, [["图1 标题", "a", "b"], ["image 2", "x"]]), (-1, [["图1 标题\na\nb"], ["image 2\nx"]])],
)
def test_parse_row_start_rows_below_width_one_cut_from_the_end(tv, width, expected):
    assert tv._parse_row_start_rows(["intro", "图1 标题", "a", "b", "image 2", "x"], width, IMAGE_ROW_START) == expected


@pytest.mark.parametrize("row_start", ["", "^nothing"])
def test_parse_row_start_rows_falls_back_to_issue_rows(tv, row_start):
    lines = NUM[:6] + ["P1 短"] + NUM[7:]
    assert tv._parse_row_start_rows(lines, 6, row_start) == tv._parse_fixed_rows(lines, 6, last_cell_continues=True)
    assert tv._parse_row_start_rows(lines, 0, IMAGE_ROW_START) == []


def test_parse_summary_pairs(tv):
    assert tv._parse_summary_pairs(["a", " b ", "c"]) == [["a", " b "], ["c", ""]]
    assert tv._parse_summary_pairs([]) == []


@pytest.mark.parametrize(
    "schema, expected",
    [
        ({"headers": ["a", "b"], "mode": "summary_pairs"}, [["1", "2"], ["3", ""]]),
        ({"headers": ["a", "b"]}, [["1", "2\n3"]]),
        ({"headers": ["a", "b"], "mode": "Fixed"}, [["1", "2\n3"]]),
        ({"headers": ["a", "b", "c"], "mode": "priority"}, [["1", "2", "3"]]),
        ({"headers": [1, 2], "mode": "row_start", "row_start": "^3"}, [["3", ""]]),
        ({"headers": ["a", "b", "c"], "mode": "row_start"}, [["1", "2", "3"]]),
        ({"headers": ["a", "b", "c"], "mode": "issue"}, [["1", "2", "3"]]),
    ],
)
def test_parse_schema_rows(tv, schema, expected):
    assert tv._parse_schema_rows(schema, ["1", "2", "3"]) == expected


def test_render_schema_table(tv):
    assert tv._render_schema_table({"headers": [1, None], "mode": "fixed"}, ["x|y", "z"]) == table(
        ["1", "None"], ["x\\|y", "z"]
    )
    assert tv._render_schema_table({"mode": "fixed"}, ["x"]) == []
    assert tv._render_schema_table({"headers": ["h"]}, []) == table(["h"], ["无"])


@pytest.mark.parametrize(
    "line, remaining, width, expected",
    [
        ("P1 短", 6, 6, True),
        ("P1 短", 5, 6, False),
        ("bullet 3", 6, 6, True),
        ("缺失一点", 6, 6, True),
        ("- x", 6, 6, False),
        ("（注）", 6, 6, False),
        ("：x", 6, 6, False),
        ("  ", 6, 6, False),
        ("短标题", 6, 6, True),
        ("短句。", 6, 6, False),
        ("图" + "字" * 39, 6, 6, True),
        ("字" * 40, 6, 6, False),
        ("字" * 34, 6, 6, True),
        ("字" * 35, 6, 6, False),
        ("x", 10**30, 10**30 + 1, False),
    ],
)
def test_looks_like_next_row_start(tv, line, remaining, width, expected):
    assert tv._looks_like_next_row_start(line, remaining, width) is expected


# --- renderers -----------------------------------------------------------------

RENDERERS = [
    "_render_title_content",
    "_render_optimized_title",
    "_render_bullet_content",
    "_render_summary_bullets",
    "_render_plain_lines",
]


@pytest.mark.parametrize("method", RENDERERS)
def test_renderers_give_placeholder_for_no_lines(tv, method):
    assert getattr(tv, method)([]) == ["无"]


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["T", "（共约 120 字符）"], ["> T", "", "**共约 120 字符**"]),
        (["T"], ["> T"]),
        (["(80字符)", "共约(x)"], ["", "**80字符**", "**共约(x**"]),
        (["T", "(共约 9)", "more"], ["> T", "", "**共约 9**", "more"]),
    ],
)
def test_render_title_content(tv, lines, expected):
    assert tv._render_title_content(lines) == expected


def test_render_optimized_title(tv):
    assert tv._render_optimized_title(["T"]) == ["> **T**"]
    assert tv._render_optimized_title(["T", "why", "step 2 more"]) == [
        "> **T**", "", "#### 优化对比说明", "why", "", "#### step 2 more"
    ]


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["2、", "空间大"], ["#### Bullet 2：空间大"]),
        (["x", "3"], ["x", "", "3"]),
        (["bullet #4 - 安全", "detail"], ["#### Bullet 4：安全", "detail"]),
        (["Bullet 5：", "Space: big"], ["#### Bullet 5", "#### Bullet 1：Space: big"]),
        ([f"Cap{k}: x" for k in range(9)], [y for k in range(9) for y in (
            (f"#### Bullet {k + 1}：Cap{k}: x" if k < 8 else f"Cap{k}: x"), "")][:-1]),
        (["one", "two"], ["one", "", "two"]),
        (["", "  ", "x"], ["x"]),
    ],
)
def test_render_bullet_content(tv, lines, expected):
    assert tv._render_bullet_content(lines) == expected


def test_render_summary_bullets(tv):
    long = "这是一句很长的解释说明，它超过了二十八个字符的长度限制，所以会并入上一条。"
    assert tv._render_summary_bullets(["甲", "乙", "丙"]) == ["- **1** 甲", "- **2** 乙", "- **3** 丙"]
    assert tv._render_summary_bullets([long, "甲", long, long, "- 已有", "乙"]) == [
        long, "- **1** 甲 " + long + " " + long, "- 已有", "- **2** 乙"
    ]
    assert tv._render_summary_bullets(["- **x**", long]) == ["- **x** " + long]


@pytest.mark.parametrize(
    "line, expected",
    [("字" * 28, True), ("字" * 29, False), ("小结：", True), ("一句，", False), ("  ", False), ("", False)],
)
def test_looks_like_summary_heading(tv, line, expected):
    assert tv._looks_like_summary_heading(line) is expected


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["Step 1 准备", "x"], ["#### Step 1 准备", "x"]),
        (["a", "step 2"], ["a", "", "#### step 2"]),
        (["Step2"], ["Step2"]),
        (["- Step 1"], ["- Step 1"]),
        (["  ", "\t"], ["无"]),
    ],
)
def test_render_plain_lines(tv, lines, expected):
    assert tv._render_plain_lines(lines) == expected
