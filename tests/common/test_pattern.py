"""The native search of stored expressions answers exactly as `re` does, on
texts of every kind of code point, and leaves to `re` what it does not take."""

import functools
import random
import re
import sys
import unicodedata
from re import _constants as sre, _parser as sre_parse  # the interpreter's own reading of a pattern

import pytest

from pelorin import _pysem_probe as probe

# The constructs taken, with the words of a planner's question.
TAKEN = [
    "卖了?多少(?:个|件|台)|销(?:售|出)了?多少钱",
    r"(?:广告|投放|推广)\s*(?:一共|总共)?\s*(?:花|用)了?多少(?:钱|金额)?|(?:广告|投放)\s*(?:花费|支出)了?多少",
    "(?:有|出)?多少(?:个|笔)?单(?![位价号])|几单(?![位价号])|多少笔订单",
    r"销售\s*(?:情况|表现|数据(?!集))|卖得?\s*(?:最好|如何)|卖的\s*最\s*(?:好|多)",
    r"(?:按|各|每(?:个|位)?)\s*(?:销售员|销售)(?!额|量|小组)|(?:销售员|销售)(?!额|量|小组)\s*(?:为|是|=|：|:)",
    r"[^a-c\s]x{2,3}?y|\S\s\S",
    r"a(?=b\s|c)[b-d]+(?:ab|a)(?:bc)*c",
    r"(?!a)(?!b)[a-c\u0300-\u036f]{1,2}",
    "\U0001f600+\\s?[\ud800-\udfff]",
    "x*",
    "(?:)",
]

# Left to `re`: flags, anchors, groups referred back to, lookbehind, any
# character, digit and word classes, repeats of what may match empty,
# possessive repeats and atomic groups.
LEFT = [
    ("ab", re.IGNORECASE),
    ("(?i)ab", 0),
    ("a(?i:b)", 0),
    ("ab", re.ASCII),
    (r"a\sb", re.ASCII),
    ("a b", re.VERBOSE),
    ("^a", 0),
    ("a$", 0),
    (r"\ba", 0),
    (r"(a)\1", 0),
    (r"(?P<x>a)(?(x)b)", 0),
    ("(?<!a)b", 0),
    ("(?<=a)b", 0),
    ("a.b", 0),
    (r"\d", 0),
    (r"[\w]", 0),
    ("(?:a?)*b", 0),
    ("(?:a|)+b", 0),
    ("a*+b", 0),
    ("(?>a)b", 0),
    ("a(?=b*)", 0),
]


@pytest.mark.parametrize("pattern, flags", LEFT, ids=[p for p, _ in LEFT])
def test_patterns_outside_the_subset_are_left_to_re(pattern, flags):
    assert probe.pattern_search(re.compile(pattern, flags), ["ab"]) is None


@functools.cache
def code_point_classes():
    # Some code points of every general category (unassigned, surrogates and
    # private use included), the whole of white space, and the characters
    # that white space is easily mistaken for.
    rng = random.Random(11)
    members = {}
    for cp in range(sys.maxunicode + 1):
        members.setdefault(unicodedata.category(chr(cp)), []).append(chr(cp))
    picked = [c for group in members.values() for c in rng.sample(group, min(12, len(group)))]
    spaces = [chr(cp) for cp in range(sys.maxunicode + 1) if chr(cp).isspace()]
    lookalikes = ["\u200b", "\u180e", "\ufeff", "\u2060", "\x00", "_"]
    return picked + spaces + lookalikes


def phrase(rng, items, alphabet):
    # A text of the pattern's language, now and then with what a lookahead
    # refuses, and with any character where a class stands.
    out = []
    for op, arg in items:
        if op is sre.LITERAL:
            out.append(chr(arg))
        elif op is sre.SUBPATTERN:
            out.append(phrase(rng, arg[3], alphabet))
        elif op is sre.BRANCH:
            out.append(phrase(rng, rng.choice(arg[1]), alphabet))
        elif op is sre.IN:
            kind, value = rng.choice(arg)
            out.append(chr(value) if kind is sre.LITERAL and rng.random() < 0.7 else rng.choice(alphabet))
        elif op in (sre.MAX_REPEAT, sre.MIN_REPEAT):
            low, high, sub = arg
            out.extend(phrase(rng, sub, alphabet) for _ in range(rng.randint(low, min(high, low + 3))))
        elif op in (sre.ASSERT, sre.ASSERT_NOT):
            if rng.random() < 0.5:
                out.append(phrase(rng, arg[1], alphabet))
        else:
            raise AssertionError(op)
    return "".join(out)


def texts(rng, pattern, alphabet, count):
    tree = sre_parse.parse(pattern)
    literals = [c for c in pattern if not c.isascii()]
    neighbours = [chr(ord(c) + d) for c in literals for d in (-1, 1) if 0 <= ord(c) + d <= sys.maxunicode]
    pool = alphabet + literals + neighbours + list("abcdxy ")
    out = []
    for _ in range(count):
        parts = [phrase(rng, tree, pool) if rng.random() < 0.5 else rng.choice(pool) for _ in range(rng.randint(0, 6))]
        text = "".join(parts)
        for _ in range(rng.choice([0, 1, 2])):  # a cut, or any character, anywhere
            at = rng.randint(0, len(text))
            text = text[:at] + rng.choice(["", rng.choice(pool)]) + text[at + rng.randint(0, 1):]
        out.append(text)
    return out


@pytest.mark.parametrize("pattern", TAKEN)
def test_search_agrees_with_re_on_every_code_point_class(pattern):
    compiled = re.compile(pattern)
    sample = texts(random.Random(ascii(pattern)), pattern, code_point_classes(), 4000)
    found = probe.pattern_search(compiled, sample)
    assert found is not None
    expected = [compiled.search(t) is not None for t in sample]
    assert [t for t, a, b in zip(sample, found, expected) if a != b] == []
    assert any(expected) and not all(expected) or pattern in ("x*", "(?:)")


@pytest.mark.parametrize("pattern", [r"a\sb", r"a\Sb", r"a[^x-z\s]b"])
def test_classes_agree_with_re_on_every_code_point(pattern):
    compiled = re.compile(pattern)
    sample = [f"a{chr(cp)}b" for cp in range(sys.maxunicode + 1)]
    assert probe.pattern_search(compiled, sample) == [compiled.search(t) is not None for t in sample]


@pytest.mark.parametrize(
    "pattern, text, expected",
    [
        (r"广告\s*(?:一共)?\s*花多少", "广告" + " " * 200_000 + "花多", False),
        (r"广告\s*(?:一共)?\s*花多少", "广告" + " " * 200_000 + "花多少", True),
        ("(?:a|ab)(?:c|bcd)(?=x{1,50})", "abcd" * 100_000, False),
        (r"(?:\s*x)+y", " x" * 200_000, False),
    ],
    ids=["space-run", "space-run-match", "overlapping-branches", "nested-repeat"],
)
def test_search_takes_linear_time(pattern, text, expected):
    # Inputs on which a backtracking search would take quadratic time.
    assert probe.pattern_search(re.compile(pattern), [text]) == [expected]
