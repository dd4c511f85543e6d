"""The Markdown fallback parser, the pipe-table writer and blank-line handling."""

import random
import re

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara

from .conftest import LINE_BOUNDARIES


def heading(level, text):
    return {"kind": "heading", "level": level, "text": text}


def item(text):
    return {"kind": "list_item", "text": text}


def para(text):
    return {"kind": "text", "text": text}


def table(header, rows):
    return {"kind": "table", "header": header, "rows": rows}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", []),
        (" \n\t\r\n \u3000 ", []),
        ("a\r\nb\rc\x0cd", [para("a\nb\nc\x0cd")]),
        ("# Title #\n#x\n####### seven\n   ## indented", [heading(1, "Title #"), para("#x\n####### seven"),
                                                       heading(2, "indented")]),
        ("- a\n* b\n• c\n12) d\n3. e\n-f\n+ g\n1.h", [item("a"), item("b"), item("c"), item("d"), item("e"),
                                                    para("-f\n+ g\n1.h")]),
        ("- a\n  more\n\n   again\n  - nested\nplain\n  tail",
         [item("a more again"), item("nested tail"), para("plain")]),
        ("- a\n\u3000b\n\x1cc", [item("a b c")]),
        ("# H\n  indented", [heading(1, "H"), para("indented")]),
        ("para\n  indented", [para("para\n  indented")]),
        ("| a | b |\n|:---|---:|\n| 1 | 2 |\n| 3 | 4 |",
         [table(["a", "b"], [["1", "2"], ["3", "4"]])]),
        ("| a | b |\n| -- | -- |", [para("| a | b |\n| -- | -- |")]),
        ("| a | b |\n\n|---|---|", [para("| a | b |"), para("|---|---|")]),
        ("| a | b |\n|---|---|\n| - | |\nafter", [table(["a", "b"], []), para("| - | |\nafter")]),
        ("| a | b |\n|---|---|\n| 1 | 2 |\n|---|---|\nx | y", [table(["a", "b"], [["1", "2"]]), para("|---|---|\nx | y")]),
        ("| a | b |\n|---|---|\nno bar", [table(["a", "b"], []), para("no bar")]),
        ("a | b\n--- | ---\nc | d | e", [table(["a", "b"], [["c", "d", "e"]])]),
        ("| a | b |", [para("| a | b |")]),
        ("before\n```py\n# not heading\n\n- not item\n```\nafter", [para("before\n```py\n# not heading\n\n- not item\n```\nafter")]),
        ("```x```\n# still fenced", [para("```x```\n# still fenced")]),
        ("p1  \n   p2\t\n\np3", [para("p1\n   p2"), para("p3")]),
        ("text\n# H\nmore", [para("text"), heading(1, "H"), para("more")]),
        ("\ud800 lone\n- \udfff", [para("\ud800 lone"), item("\udfff")]),
    ],
)
def test_build_text_fallback_blocks(tv, text, expected):
    assert tv._build_text_fallback_blocks(text) == expected


@pytest.mark.parametrize(
    "text, expected",
    [("", [""]), ("a\n", ["a", ""]), ("a\r\nb\rc", ["a", "b", "c"]), ("a\x0bb\u2028c\x0c", ["a\x0bb\u2028c\x0c"])],
)
def test_normalize_text_lines(tv, text, expected):
    assert tv._normalize_text_lines(text) == expected


@pytest.mark.parametrize(
    "line, expected",
    [
        ("# T", heading(1, "T")),
        ("  ###### six  ", heading(6, "six")),
        ("#\u3000wide space", heading(1, "wide space")),
        ("## a ##", heading(2, "a ##")),
        ("#", None), ("# ", None), ("#x", None), ("####### x", None), ("x # y", None), ("", None),
        ("# a\nb", None),
        ("#\nb", heading(1, "b")),
    ],
)
def test_parse_markdown_heading(tv, line, expected):
    assert tv._parse_markdown_heading(line) == expected
    if expected:
        assert list(expected) == ["kind", "level", "text"]


@pytest.mark.parametrize(
    "line, expected",
    [
        ("- a", item("a")), (" *  b ", item("b")), ("• c", item("c")), ("10. d", item("d")), ("7) e", item("e")),
        ("\u0663. arabic digit", item("arabic digit")), ("- ", None), ("-", None), ("1. ", None), ("-x", None),
        ("1.x", None), ("+ a", None), ("². no", None), ("a. b", None), ("- a\nb", None),
    ],
)
def test_parse_markdown_list_item(tv, line, expected):
    assert tv._parse_markdown_list_item(line) == expected


@pytest.mark.parametrize(
    "line, expected",
    [
        ("no bar", None),
        ("|a|", None),
        ("| |", None),
        ("a|b", ["a", "b"]),
        ("| a |  | c |", ["a", "", "c"]),
        ("||a|", ["", "a"]),
        ("| - | - |", None),
        ("|  |  |", None),
        ("| - | x |", ["-", "x"]),
        ("| -- | |", ["--", ""]),
        (" a \u3000|\tb ", ["a", "b"]),
    ],
)
def test_parse_pipe_row(tv, line, expected):
    assert tv._parse_pipe_row(line) == expected


@pytest.mark.parametrize(
    "cells, expected",
    [
        ([], False), (["---"], True), ([" :---: ", "---:", ":----"], True), (["--"], False), (["-:-"], False),
        (["---", "x"], False), (["::---"], False), ([":---::"], False), ([":"], False), (["---\n"], True),
    ],
)
def test_is_markdown_delimiter_row(tv, cells, expected):
    assert tv._is_markdown_delimiter_row(cells) is expected


def test_parse_markdown_table_positions(tv):
    lines = ["x", "| a | b |", "|---|---|", "| 1 | 2 |", "", "tail"]
    assert tv._parse_markdown_table(lines, 1) == (table(["a", "b"], [["1", "2"]]), 4)
    assert tv._parse_markdown_table(lines[:4], 1) == (table(["a", "b"], [["1", "2"]]), 4)
    assert tv._parse_markdown_table(lines, 0) is None
    assert tv._parse_markdown_table(lines[:2], 1) is None
    assert tv._parse_markdown_table(lines, 6) is None
    assert tv._parse_markdown_table(lines, 10**30) is None


# --- table writer ------------------------------------------------------------

@pytest.mark.parametrize(
    "headers, rows, expected",
    [
        ([], [], ["|  |", "|  |"]),
        ([], [["a", " b "]], ["|  |", "|  |", "| a | b |"]),
        (["h1", "h2"], [["a"], ["a", "b"], ["a", "b", "c", "d"]],
         ["| h1 | h2 |", "| --- | --- |", "| a |  |", "| a | b |", "| a | b<br>c<br>d |"]),
        (["h"], [["  ", " \n "]], ["| h |", "| --- |", "|  |"]),
        (["h"], [[None], [0], [False], [[1, "x"]]], ["| h |", "| --- |", "|  |", "| 0 |", "| False |", "| [1, 'x'] |"]),
        ([" a|b\\c ", 1], [], ["| a\\|b\\\\c | 1 |", "| --- | --- |"]),
    ],
)
def test_markdown_table(tv, headers, rows, expected):
    assert tv._markdown_table(headers, rows) == expected


def test_markdown_table_refuses_bad_rows(tv):
    with pytest.raises(TypeError, match="'row'"):
        tv._markdown_table(["h"], [("a",)])
    with pytest.raises(TypeError):
        tv._markdown_table(["h"], [["a", 1]])


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, ""), (0, "0"), (False, "False"), ("  \r\n \t", ""),
        ("a\n\n\nb\n\n\n\nc", "a<br><br>b<br><br>c"), ("a\r\n\r\nb\rc", "a<br><br>b<br>c"), ("a\r\r\r\nb", "a<br><br>b"),
        ("a\n \n\nb", "a<br> <br><br>b"), ("a\n\r\n\rb", "a<br><br>b"),
        (" x \n y ", "x <br> y"), ("a|b\\|c", "a\\|b\\\\\\|c"), ("<br>", "<br>"), ("\ud800|", "\ud800\\|"),
        ("\u2028x\u2028", "x"), ("x\x0by", "x<br>y"), ("a\x1fb", "a\x1fb"),
    ],
)
def test_md_cell(tv, value, expected):
    assert tv._md_cell(value) == expected


@pytest.mark.parametrize("boundary", LINE_BOUNDARIES, ids=ascii)
def test_md_cell_writes_every_line_boundary_as_a_break(tv, boundary):
    assert tv._md_cell("上半" + boundary + "下半") == "上半<br>下半"
    assert tv._md_cell(f"{boundary}a{boundary * 3}b|{boundary} ") == "a<br><br>b\\|"
    # mixed runs count breaks, a CR LF pair as one
    assert tv._md_cell(f"a{boundary}\u2029\r\nb") == "a<br><br>b"
    assert tv._md_cell(f"a{boundary} {boundary}b") == "a<br> <br>b"

    table = tv._markdown_table(["h", "上" + boundary + "下"], [["x" + boundary + "y", 1], ["z"]])
    assert table == ["| h | 上<br>下 |", "| --- | --- |", "| x<br>y | 1 |", "| z |  |"]
    assert tv._collapse_blank_lines("\n".join(table)).split("\n") == table


@pytest.mark.parametrize(
    "row, width, expected",
    [
        (["a"], 3, ["a", "", ""]),
        (["a", "b"], 2, ["a", "b"]),
        (["a", " b ", "c "], 2, ["a", "b \nc"]),
        (["a", " ", "\t"], 2, ["a", ""]),
        (["a", " b "], 0, ["a", "b"]),
        (["a", "b", "c"], -1, ["a", "b\nc"]),
        ([], 0, []),
        (["a", "b"], 2.7, ["a", "b"]),
    ],
)
def test_pad_row(tv, row, width, expected):
    result = tv._pad_row(row, width)
    assert result == expected
    assert (result is row) == (len(row) == int(width))


def test_pad_row_refuses_folding_non_text(tv):
    with pytest.raises(TypeError):
        tv._pad_row(["a", 1, 2], 2)


@pytest.mark.parametrize(
    "lines, expected",
    [
        ([], ["无"]),
        (["", "  ", "\u3000"], ["无"]),
        (["", "a", "", "b", " "], ["a", "", "b"]),
        ([None, ""], [None]),
        ([0, [], "x"], [0, [], "x"]),
    ],
)
def test_trim_blank(tv, lines, expected):
    result = tv._trim_blank(lines)
    assert result == expected and result is not lines


def test_trim_blank_returns_the_items_themselves(tv):
    inner = []
    lines = [" ", inner, "\t", "x", ""]
    result = tv._trim_blank(lines)
    assert result == [[], "\t", "x"] and result[0] is inner


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""), (" \n\t\n\r\n", ""), ("a\n\n", "a"), ("a\n\n\n\nb", "a\n\nb"), ("a \t\nb  ", "a\nb"),
        ("\n\n a", "\n a"), ("a\x0cb\u2028c\x1cd\x85e", "a\nb\nc\nd\ne"), ("a\r\nb\r\n\r\nc", "a\nb\n\nc"),
        ("x\u3000\n\u3000\ny", "x\n\ny"), ("a\x1fb\x1f\n\x1f\nc", "a\x1fb\n\nc"), ("\ud800\n\n\n\udfff", "\ud800\n\n\udfff"),
    ],
)
def test_collapse_blank_lines(tv, text, expected):
    assert tv._collapse_blank_lines(text) == expected


class GivenLines(Telvara):
    """Reports whose parts are the lines that the input names, as they are."""

    def _render_structured_subsection(self, section_index, subsection_index, subsection):
        return list(subsection["lines"])

    def _format_diagnosis_answer(self, question_index, answer):
        return list(answer["lines"])


class JoinedFirst(GivenLines):
    """The same, the report text joined before the collapse."""

    def _collapse_blank_lines(self, text):
        return super()._collapse_blank_lines(text)


@pytest.mark.parametrize("boundary", LINE_BOUNDARIES, ids=ascii)
def test_reports_collapse_their_lines_as_one_joined_text(boundary):
    # Lines that end in CR before the joining LF, start with LF, hold blanks
    # and boundaries of their own, or are empty.
    odd = [f"a{boundary}", "\r", "\nb", f"{boundary}\r", "", f" {boundary} ", f"c \r", f"\n{boundary}d\t", "\r\n",
           boundary * 3, "e\r", "", "\n", "f"]
    structured = {"diagnosis_report": {"sections": {"1": {"subsections": [{"lines": odd[k:]} for k in range(len(odd))]}}}}
    prose = {"answers": [{"answer": "x", "lines": odd[k:]} for k in range(len(odd))]}
    for data in (structured, prose):
        assert GivenLines().format_data(data) == JoinedFirst().format_data(data)
    for kind in (GivenLines, JoinedFirst):
        with pytest.raises(TypeError, match="^sequence item 6: expected str instance, int found$"):
            kind().format_data({"diagnosis_report": {"sections": {"1": {"subsections": [{"lines": [1]}]}}}})


def reference_collapse(text):
    out, written, pending = [], False, False
    for line in text.splitlines():
        line = line.rstrip()
        if not line:
            pending = True
            continue
        out += ["\n"] * (written + pending) + [line]
        written, pending = True, False
    return "".join(out)


def reference_md_cell(text):
    out, i, text = [], 0, text.strip()
    while i < len(text):
        if text[i] in "\\|":
            out.append("\\" + text[i])
        elif text[i].splitlines() == [""]:
            breaks = 0
            while i < len(text) and text[i].splitlines() == [""]:
                i += 2 if text[i : i + 2] == "\r\n" else 1
                breaks += 1
            out.append("<br>" * min(breaks, 2))
            continue
        else:
            out.append(text[i])
        i += 1
    return "".join(out)


def test_long_texts_are_split_at_every_boundary_wherever_it_falls(tv):
    # Texts of every storage width, with boundaries, near misses (TAB, 0x1F,
    # 0x84, 0x86, U+2027, U+202A) and escapes at every offset of a long text.
    rng = random.Random(7)
    fillers = ["a", " ", "\t", "\x1f", "\x84", "\x86", "é", "中", "\u2027", "\u202a", "\U0001f600", "\\", "|"]
    for _ in range(3000):
        width = rng.choice([["a"], ["a", "é"], ["a", "中"], ["中", "\U0001f600"]])
        text = [rng.choice(width) for _ in range(rng.randint(0, 70))]
        for _ in range(rng.randint(0, 4)):
            text.insert(rng.randint(0, len(text)), rng.choice(LINE_BOUNDARIES + fillers))
        text = "".join(text)
        assert tv._collapse_blank_lines(text) == reference_collapse(text), ascii(text)
        assert tv._md_cell(text) == reference_md_cell(text), ascii(text)


# The patterns of the markdown line readers, and one code point of every
# class that they tell apart, with near misses.
HEADING_LINE = re.compile(r"^(#{1,6})\s+(.*)$")
UNORDERED_LINE = re.compile(r"^([-*•])\s+(.*)$")
ORDERED_LINE = re.compile(r"^\d+[.)]\s+(.*)$")
LINE_CLASSES = ["#", "-", "*", "•", "·", "1", "٣", "０", "²", ".", ")", "、", " ", "\t", "\n", "\r", "\x1c", "\x1f", "\x85",
                "\xa0", "\u3000", "\u2028", "a", "é", "中", "\U0001f600", "\ud800"]


def test_markdown_line_readers_agree_with_their_patterns(tv):
    rng = random.Random(5)
    starts = ["", "#", "###", "######", "#######", "-", "*", "•", "1", "12", "٣", "1.", "2)"]
    for _ in range(30000):
        line = rng.choice(starts) + "".join(rng.choice(LINE_CLASSES) for _ in range(rng.randint(0, 7)))
        trimmed = line.strip()
        found = HEADING_LINE.match(trimmed)
        expected = heading(len(found[1]), found[2].strip()) if found and found[2].strip() else None
        assert tv._parse_markdown_heading(line) == expected, ascii(line)
        found = UNORDERED_LINE.match(trimmed) or ORDERED_LINE.match(trimmed)
        expected = found and found[found.lastindex].strip()
        assert tv._parse_markdown_list_item(line) == (item(expected) if expected else None), ascii(line)
