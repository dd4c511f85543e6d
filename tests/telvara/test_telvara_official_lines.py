"""Answer-text intake, line marker helpers, marker groups and field values."""

import random
import re

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara

from ..growth import assert_linear
from .conftest import StrSub


# --- answer text normalisation -------------------------------------------------


@pytest.mark.parametrize(
    "text, markdown, content",
    [
        ("A\r\n•\r\n\r\n  B  \r\nC", "A\n- B\nC", ["A", "- B", "C"]),
        ("p1\n\n\n\n\np2", "p1\n\np2", ["p1", "p2"]),
        ("x\n-", "x\n-", ["x"]),
        ("x\n*\n\n   \n", "x\n*", ["x"]),
        ("  lead\n  indented  \r tail", "lead\n  indented\n tail", ["lead", "indented", "tail"]),
        ("•\n•\nend", "- •\nend", ["- •", "end"]),
        ("", "", []),
        ("\n \t\n", "", []),
    ],
)
def test_normalisations(tv, text, markdown, content):
    assert tv._normalize_answer_markdown(text) == markdown
    assert tv._normalize_content_lines(text) == content


def test_normalisations_keep_any_code_point(tv):
    text = "\ud800 lone\n\U0001f600 ok\x00"
    assert tv._normalize_content_lines(text) == ["\ud800 lone", "\U0001f600 ok\x00"]
    assert tv._normalize_answer_markdown(text) == text


# --- numbered subsections ------------------------------------------------------


@pytest.mark.parametrize(
    "text, intro, sections",
    [
        ("intro\n1、标题\na\n2、x\nb\nc", ["intro"], {1: ["a"], 2: ["b", "c"]}),
        ("1、a\nx\n2、b\ny\n1、c\nz", [], {1: ["x", "z"], 2: ["y"]}),
        ("6、x\nl", [], {6: ["l"]}),
        ("1、 spaced\nv", [], {1: ["v"]}),
        # not numbered: zero, leading zero, number alone, full stop
        ("0、a\n01、b\n3、\n4. c", ["0、a", "01、b", "3、", "4. c"], {}),
        ("1、a\n2、b", [], {1: [], 2: []}),
    ],
)
def test_split_numbered_sections(tv, text, intro, sections):
    got = tv._split_numbered_sections(text)
    assert isinstance(got, tuple)
    assert got == (intro, sections)
    assert list(got[1]) == list(sections)


def test_split_reads_long_numbers_as_integers(tv):
    big = "9" * 400
    assert tv._split_numbered_sections(f"{big}、x\nv") == ([], {int(big): ["v"]})


def test_split_keeps_a_number_too_long_to_read_as_text(tv):
    line = "1" * 5000 + "、x"
    assert tv._split_numbered_sections(f"1、a\nv\n{line}\nw") == ([], {1: ["v", line, "w"]})


# --- line marker helpers -------------------------------------------------------


@pytest.mark.parametrize(
    "lines, pattern, start, expected",
    [
        (["a", "b", "a"], "a", -5, 0),
        (["a", "b", "a"], "a", 1, 2),
        (["a", "b", "a"], "a", 2, 2),
        (["a", "b"], "a", 2, -1),
        ([], "a", 0, -1),
        (["整体说明", "整体"], "^整体$", 0, 1),
        (["the BED frame"], "bed", 0, 0),
        (["x"], "a", 10**30, -1),
    ],
)
def test_find_line(tv, lines, pattern, start, expected):
    assert tv._find_line(lines, pattern, start) == expected


def test_find_line_default_start(tv):
    assert tv._find_line(["x", "y"], "Y") == 1


LONG_TITLE = "KESTRO Twin Bed Frame with Storage Drawers and LED Headboard, Wood"


@pytest.mark.parametrize(
    "lines, expected",
    [
        (["short Bed", LONG_TITLE, LONG_TITLE + " again"], [LONG_TITLE]),
        (["x" * 55 + " Bed"], []),  # 59 code points
        (["x" * 56 + " Bed"], ["x" * 56 + " Bed"]),
        (["x" * 60 + " Bedroom Frames"], []),
        (["床" * 60 + "Bed"], []),
        (["床" * 60 + " bed"], ["床" * 60 + " bed"]),
        ([], []),
    ],
)
def test_guess_title_lines(tv, lines, expected):
    assert tv._guess_title_lines(lines) == expected


def test_strip_marker_lines(tv):
    lines = ["建议优化标题", "a", "含综合建议标题的行", "b", "ABC"]
    assert tv._strip_marker_lines(lines, ["综合建议标题", "建议优化标题"]) == ["a", "b", "ABC"]
    assert tv._strip_marker_lines(lines, ["abc"]) == lines[:4]
    assert tv._strip_marker_lines(lines, []) == lines


@pytest.mark.parametrize(
    "line, expected",
    [
        ("- ✅ word", ["word"]),
        ("✅ - word", ["- word"]),
        ("**bold**", ["bold**"]),
        ("- * • ", []),
        ("1. keep", ["1. keep"]),
        ("✔✔ done -", ["done -"]),
    ],
)
def test_strip_bullets(tv, line, expected):
    assert tv._strip_bullets([line]) == expected


@pytest.mark.parametrize(
    "line, expected",
    [
        ("键: a → b", ["键: a", "b"]),
        ("时间：10:30", ["时间", "10:30"]),
        ("：after", ["默认", "after"]),
        ("key:", ["key", ""]),
        ("  no separator  ", ["默认", "  no separator  "]),
        ("", []),
    ],
)
def test_to_pair_lines(tv, line, expected):
    assert tv._to_pair_lines([line], default_key="默认") == expected


def test_to_pair_lines_key_is_keyword_only_and_required(tv):
    with pytest.raises(TypeError):
        tv._to_pair_lines(["a"], "k")
    with pytest.raises(TypeError):
        tv._to_pair_lines(["a"])


# --- marker groups and field values --------------------------------------------

BULLET = (
    r"^(第一点|第二点|第三点|第四点|第五点|第\s*[一二三四五六七八九十\d]+\s*点|Bullet\s*#?\d+)[:：]?\s*(.*)$"
)
REVIEW = r"^([①②③④⑤⑥⑦⑧⑨]\s*.+)$"


def test_collect_marker_groups(tv):
    lines = ["intro", "bullet 3：空间", "a", "第 4 点", "Bullet #7 - x", "b", "c"]
    assert tv._collect_marker_groups(lines, BULLET) == [
        (1, "bullet 3", "空间", ["a"], 1),
        (2, "第 4 点", "", [], 3),
        (3, "Bullet #7", "- x", ["b", "c"], 4),
    ]
    assert tv._collect_marker_groups(["none"], BULLET) == []


def test_collect_marker_groups_one_group_pattern(tv):
    groups = tv._collect_marker_groups(["③ 安装 ", "x", "⑩ no", "① 外观"], REVIEW)
    assert groups == [(1, "③ 安装", "", ["x", "⑩ no"], 0), (2, "① 外观", "", [], 3)]
    assert all(type(g) is tuple for g in groups)


@pytest.mark.parametrize(
    "chunk, label, expected",
    [
        (["问题：文本", "续行", "依据：x"], "问题", "文本\n续行"),
        (["问题：", "依据：x"], "问题", "无"),
        (["问题", "只有一行"], "问题", "只有一行"),
        (["问题：a", "", "  "], "问题", "a"),
        (["问题：", "", "  "], "问题", "无"),
        (["问题类型：x", "问题：y"], "问题", "y"),
        (["依据：a", "问题类型：b"], "依据", "a\n问题类型：b"),
        (["依据：a", "问题", "z"], "依据", "a"),
        (["图片信息表达：a", "b", "图片信息表达：c"], "图片信息表达", "a\nb\n图片信息表达：c"),
        (["x"], "问题", ""),
        (["note: a", "b"], "Note", "b"),
    ],
)
def test_chunk_value(tv, chunk, label, expected):
    assert tv._chunk_value(chunk, label) == expected


def test_summary_from_suggestions(tv):
    assert tv._summary_from_suggestions(["Bullet 1：a", "bullet 2", " Bullet 3", "x"]) == ["Bullet 1：a"]
    default = tv._summary_from_suggestions([])
    assert default == [
        "按买家决策路径重排五点：先讲空间与安全，再讲差异化功能，最后用结构、灯光、收纳和安装预期支撑转化。"
    ]
    assert tv._summary_from_suggestions(["x"]) == default


@pytest.mark.parametrize(
    "value, limit, expected",
    [
        ("  a \t\n  b   c ", 80, "a b c"),
        ("x" * 80, 80, "x" * 80),
        ("x" * 81, 80, "x" * 79 + "…"),
        (" \u3000\n", 80, ""),
        ("abcdef", 3, "ab…"),
        ("abcdef", 1, "…"),
        ("abcdef", 0, "abcde…"),
        ("abcdef", -(10**30), "…"),
    ],
)
def test_short_value(tv, value, limit, expected):
    assert tv._short_value(value, limit) == expected


def test_short_value_default_limit(tv):
    assert tv._short_value("y" * 100) == "y" * 79 + "…"
    assert tv._short_value("y" * 100, limit=5.9) == "yyyy…"


SELLING_POINTS = "卖点优劣势|卖点.*对比"


def test_competitor_search_agrees_with_the_pattern(tv):
    rng = random.Random(11)
    pieces = ["卖", "点", "对", "比", "优劣势", "x", "\n", "卖点", "对比", "\u2028"]
    texts = ["卖点对比", "卖点x\n对比", "对比卖点", "卖点优劣势", "卖点" * 50, "卖点点对比"]
    texts += ["".join(rng.choice(pieces) for _ in range(rng.randint(0, 8))) for _ in range(3000)]
    for text in texts:
        found = re.search(SELLING_POINTS, text, re.I) is not None
        assert tv._find_line([text], SELLING_POINTS) == (0 if found else -1), text
        assert tv._strip_marker_lines([text], ["zz", SELLING_POINTS]) == ([] if found else [text])


def test_competitor_search_is_linear_on_long_lines(tv):
    def check(n, found):
        assert found == 1

    assert_linear(lambda n: tv._find_line(["卖点" * n, "卖点" * n + "优劣势"], SELLING_POINTS), 500_000, check)


# --- patterns read natively ----------------------------------------------------

# One code point of every class that the patterns below tell apart, near misses
# and the code points with special case rules (U+0130, U+0131, U+017F, U+212A).
CODE_POINTS = ["1", "9", "0", "٣", "０", "²", "、", "，", ":", "：", "\n", "\r", " ", "\t", "\x0b", "\x1c", "\x1f", "\x85",
               "\xa0", "\u3000", "\u2028", "•", "-", "*", "a", "S", "k", "i", "é", "\u0130", "\u0131", "\u017f", "\u212a",
               "\U0001f600", "\ud800", "|", "^", "$"]
MARKERS = ["当前标题", "分析结果|问题逐项分析|维度", "综合建议标题|建议优化标题", "优化点说明|优化核心逻辑|优化说明", "产品定位",
           "核心参数|参数全面对比", "评论口碑|口碑关键对比", "竞品差距|机会点", "综合结论", "^整体$", "^问题$", "^依据$", "^建议改为",
           "改动要点|优化核心逻辑", "综合优化|优化优先级|核心逻辑", "^现有表达[:：]?$|^现有表达[:：]", "^依据[:：]?$|^依据[:：]",
           "^问题[:：]?$|^问题[:：]"]
LABELS = ["现有表达", "问题", "依据", "建议改为", "改进建议", "优化方案"]


def random_lines(seed, words, count=4000):
    """Short lines of code points and pieces of `words`, half of them led by a word."""
    rng = random.Random(seed)
    pieces = CODE_POINTS + words + [w[:1] for w in words] + [w[1:] for w in words]
    return [(rng.choice(words) if rng.random() < 0.5 else "") + "".join(rng.choice(pieces) for _ in range(rng.randint(0, 4)))
            for _ in range(count)]


def test_marker_and_label_searches_agree_with_their_patterns(tv):
    words = [w for p in MARKERS for w in re.findall(r"[\u4e00-\u9fff]+", p)]
    for line in random_lines(1, words):
        for pattern in MARKERS:
            found = re.search(pattern, line, re.I) is not None
            assert tv._find_line([line], pattern) == (0 if found else -1), (ascii(line), pattern)


def test_a_field_value_ends_where_the_patterns_find_the_next_label(tv):
    ends = [re.compile(f"^{label}[:：]?$|^{label}[:：]") for label in LABELS]
    for line in random_lines(2, LABELS):
        stops = any(p.match(line) for p in ends) or not line.strip()
        assert tv._chunk_value(["问题：x", line], "问题") == ("x" if stops else ("x\n" + line).strip()), ascii(line)


class RawContent(Telvara):
    def _normalize_content_lines(self, text):
        return text.split("|")


def test_numbered_lines_agree_with_their_patterns(tv):
    heading, numbered = re.compile(r"^[1-9]\d*、"), re.compile(r"^([1-9]\d*)、(.+)$")
    lines = random_lines(3, ["12、", "1、x", "０、"])
    kept = tv._drop_intro_and_headers(1, 1, lines)
    assert kept == [line for line in lines if line and not heading.match(line)]
    raw = RawContent()  # the lines reach the pattern as they are
    for line in lines:
        intro, sections, current = [], {}, None
        for content in raw._normalize_content_lines(line):
            found = numbered.match(content)
            if found:
                current = sections.setdefault(int(found[1]), [])
            else:
                (intro if current is None else current).append(content)
        assert raw._split_numbered_sections(line) == (intro, sections), ascii(line)


def test_text_rewrites_agree_with_their_patterns(tv):
    rng = random.Random(4)
    for line in random_lines(4, ["\n\n\n", "\n\n\n\n"]):
        assert tv._short_value(line, 1000) == re.sub(r"\s+", " ", line).strip()
        # a text whose lines keep no trailing blanks and no lone bullets
        text = "x" + line.replace("\r", "").replace("•", "").replace("-", "").replace("*", "") + "y"
        text = "\n" * rng.randint(0, 4) + "\n".join(part.rstrip() for part in text.split("\n"))
        assert tv._normalize_answer_markdown(text) == re.sub(r"\n{3,}", "\n\n", text.strip()), ascii(text)


# Marker and row start patterns that `re` is asked only for lines that can
# start a match; the words that start them, and case-folding near misses.
MARKER_PATTERNS = [
    r"^(第一点|第二点|第三点|第四点|第五点|第\s*[一二三四五六七八九十\d]+\s*点|Bullet\s*#?\d+)[:：]?\s*(.*)$",
    r"^(图\s*\d+)[｜|—\-]?\s*(.*)$", r"^(图\s*\d+|模块\s*\d+)[\s—｜|\-]*\s*(.*)$", r"^([①②③④⑤⑥⑦⑧⑨]\s*.+)$",
]
ROW_STARTS = [r"^(?:第\s*\d+\s*点|Bullet\s*#?\d+|缺失)$", r"^(?:图|图片|主图|Image)\s*#?\d+|^图\d+",
              r"^(?:模块|Module|[A-Za-z0-9+ ]+模块)"]
LEADS = ["第", "第一点", "第 3 点", "点", "图", "图片", "主图", "模块", "缺失", "Bullet", "BULLET #", "Image", "İmage", "ımage",
         "Module", "P", "p", "Step ", "STEP\t", "ſtep ", "Kx:", "A1:", "①", "⑨", "12", "3.", "4)", "５、", "建议", "问题"]


def trim_blank(lines):
    while lines and not lines[0].strip():
        lines = lines[1:]
    while lines and not lines[-1].strip():
        lines = lines[:-1]
    return lines or ["无"]


def test_marker_groups_agree_with_their_patterns(tv):
    lines = random_lines(5, LEADS, count=3000)
    for pattern in MARKER_PATTERNS:
        marks = [(i, m) for i, line in enumerate(lines) if (m := re.match(pattern, line, re.I))]
        ends = [i for i, _ in marks[1:]] + [len(lines)]
        expected = [(k + 1, m[1].strip(), (m[2] or "").strip() if (m.lastindex or 0) >= 2 else "", lines[i + 1:end], i)
                    for k, ((i, m), end) in enumerate(zip(marks, ends))]
        assert tv._collect_marker_groups(lines, pattern) == expected, pattern


def test_row_starts_agree_with_their_patterns(tv):
    for pattern in ROW_STARTS:
        for chunk in zip(*[iter(random_lines(6, LEADS, count=3000))] * 6):
            lines = list(chunk)
            starts = [i for i, line in enumerate(lines) if re.search(pattern, line, re.I)]
            expected = ([["\n".join(lines[a:b]).strip()] for a, b in zip(starts, starts[1:] + [len(lines)])] if starts
                        else tv._parse_fixed_rows(lines, 1, last_cell_continues=True))
            assert tv._parse_row_start_rows(lines, 1, pattern) == expected, (pattern, ascii(lines))
    row_start = re.compile(r"^(?:第\s*\d+\s*点|Bullet\s*#?\d+|图|图片|主图|模块|P\d|缺失)", re.I)
    for line in random_lines(7, LEADS):
        long = (line + "x" * 40).strip()  # long lines start a row only by the pattern
        expected = bool(long) and long[0] not in "-•*—–\"'（(:：" and bool(row_start.match(long))
        assert tv._looks_like_next_row_start(line + "x" * 40, 1, 1) is expected, ascii(line)


def test_bullet_and_plain_renderers_agree_with_their_patterns(tv):
    number, caption = re.compile(r"^(\d+)[.)、]?$"), re.compile(r"^[A-Z][A-Za-z0-9 +&'/-]+[:：]")
    bullet, step = re.compile(r"^Bullet\s*#?(\d+)\s*[-—:：]?\s*(.*)$", re.I), re.compile(r"^Step\s+\d+", re.I)
    for chunk in zip(*[iter(random_lines(8, LEADS, count=3000))] * 3):
        lines, out, counter, i = list(chunk), [], 1, 0
        while i < len(lines):
            line, n, b = lines[i], number.match(lines[i]), bullet.match(lines[i])
            if n and i + 1 < len(lines):
                out.append(f"#### Bullet {n[1]}：{lines[i + 1]}")
                i += 2
                continue
            if b:
                out.append(f"#### Bullet {b[1]}：{b[2].strip()}" if b[2].strip() else f"#### Bullet {b[1]}")
                i += 1
                continue
            if counter <= 8 and caption.match(line):
                out.append(f"#### Bullet {counter}：{line}")
                counter += 1
            else:
                out.append(line)
            i += 1
            if i < len(lines) and out[-1]:
                out.append("")
        assert tv._render_bullet_content(lines) == trim_blank(out), ascii(lines)
        plain = [part for line in lines
                 for part in (["", "#### " + line] if not line.startswith("- ") and step.match(line) else [line])]
        assert tv._render_plain_lines(lines) == trim_blank(plain), ascii(lines)
    for line in random_lines(9, LEADS + ["- ", "*", "•", "✅", "✔"]):
        cut = re.sub(r"^[✅✔]+", "", re.sub(r"^[-*•\s]+", "", line).strip()).strip()
        assert tv._strip_bullets([line]) == ([cut] if cut else []), ascii(line)


def test_patterns_given_as_text_are_each_searched_as_themselves(tv):
    # More patterns than the module keeps searches for, and derived texts.
    for k in range(600):
        assert tv._find_line(["x", f"问{k}题"], f"问{k}题|^z") == 1
    assert tv._strip_marker_lines(["x1", "y", "问题"], [StrSub("x\\d"), StrSub("问题")]) == ["y"]
    with pytest.raises(re.error):
        tv._find_line(["x"], "(")
