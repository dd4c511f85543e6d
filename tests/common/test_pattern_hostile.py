"""The native search of the stored expressions reads the parser's tree, and a
patched parser's tree is user code: a node that changes the tree while it is
read leaves the search sound, reading what a Python loop over it would, and a
tree of a shape that `re` never makes (one that holds itself, one too deep,
a repeat whose bounds are out of order) is left to `re`."""

import types
from re import _constants as sre, _parser as sre_parse  # the interpreter's own reading of a pattern

import pytest

from pelorin import _pysem_probe as probe


class Node:
    """A node of a patched parser's tree; reading its items first runs `on_read` once."""

    state = types.SimpleNamespace(flags=sre.SRE_FLAG_UNICODE)

    def __init__(self, items, on_read=None):
        self.items, self.on_read = items, on_read

    @property
    def data(self):
        hook, self.on_read = self.on_read, None
        if hook:
            hook()
        return self.items

    def getwidth(self):
        return (1, 1)


def literal(ch):
    return Node([(sre.LITERAL, ord(ch))])


def branch_cleared_while_read():
    # `a|b|c` whose first alternative empties the list of alternatives: a loop
    # over that list ends after the first one.
    alternatives = [literal(c) for c in "abc"]
    alternatives[0].on_read = alternatives.clear
    return Node([(sre.BRANCH, (None, alternatives))])


def branch_without_alternatives():
    # No parser of `re` makes one; the search leaves it to `re`.
    return Node([(sre.BRANCH, (None, []))])


def group_holding_itself():
    tree = Node([])
    tree.items.append((sre.SUBPATTERN, (None, 0, 0, tree)))
    return tree


def branch_holding_itself():
    tree = Node([])
    tree.items.append((sre.BRANCH, (None, [literal("a"), tree])))
    return tree


def groups_nested(depth):
    tree = literal("a")
    for _ in range(depth):
        tree = Node([(sre.SUBPATTERN, (None, 0, 0, tree))])
    return tree


def repeat_from_to(low, high):
    return Node([(sre.MAX_REPEAT, (low, high, literal("a")))])


@pytest.mark.parametrize(
    "make_tree, texts, expected",
    [
        (branch_cleared_while_read, ["a", "b", "c"], [True, False, False]),
        (branch_without_alternatives, ["a"], None),
        (group_holding_itself, ["a"], None),
        (branch_holding_itself, ["a"], None),
        (lambda: groups_nested(5000), ["a"], None),
        (lambda: groups_nested(20), ["a", "b"], [True, False]),
        (lambda: repeat_from_to(-(2**63), 2**63 - 1), ["a"], None),
        (lambda: repeat_from_to(3, 2), ["aaa"], None),
    ],
    ids=[
        "branch-alternatives-cleared",
        "branch-without-alternatives",
        "group-holding-itself",
        "branch-holding-itself",
        "groups-nested-5000-deep",
        "groups-nested-20-deep",
        "repeat-from-min-to-max",
        "repeat-bounds-reversed",
    ],
)
def test_hostile_tree(monkeypatch, make_tree, texts, expected):
    tree = make_tree()
    monkeypatch.setattr(sre_parse, "parse", lambda pattern, flags: tree)
    pattern = types.SimpleNamespace(flags=sre.SRE_FLAG_UNICODE, pattern="hostile")
    assert probe.pattern_search(pattern, texts) == expected


class Index:
    """A tree integer that is no int: its index conversion gives `value`, or raises `error`."""

    def __init__(self, value, error=None):
        self.value, self.error = value, error

    def __index__(self):
        if self.error:
            raise self.error
        return self.value


@pytest.mark.parametrize("error, expected", [
    (None, [True, False]),
    (ValueError, None),  # left to `re`
    (KeyboardInterrupt, KeyboardInterrupt),
])
def test_a_tree_integer_is_read_through_its_index(monkeypatch, error, expected):
    tree = Node([(sre.LITERAL, Index(ord("a"), error))])
    monkeypatch.setattr(sre_parse, "parse", lambda pattern, flags: tree)
    pattern = types.SimpleNamespace(flags=sre.SRE_FLAG_UNICODE, pattern="hostile")
    if expected is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            probe.pattern_search(pattern, ["a", "b"])
    else:
        assert probe.pattern_search(pattern, ["a", "b"]) == expected


def test_the_parser_is_looked_up_before_the_pattern_text_is_read(monkeypatch):
    # As `_parser.parse(pattern.pattern, flags)` runs: a parser patched while
    # the text is read is not the one this call takes.
    monkeypatch.setattr(sre_parse, "parse", lambda pattern, flags: literal("a"))

    class Pattern:
        flags = sre.SRE_FLAG_UNICODE

        @property
        def pattern(self):
            monkeypatch.setattr(sre_parse, "parse", lambda pattern, flags: literal("b"))
            return "hostile"

    assert probe.pattern_search(Pattern(), ["a", "b"]) == [True, False]
