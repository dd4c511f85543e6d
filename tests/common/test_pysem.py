"""The shared Python-semantics helpers agree with the interpreter."""

import collections
import gc
import numbers
import sys
import types
from decimal import Decimal
from fractions import Fraction

import pytest

from pelorin import _pysem_probe as probe

from ..conftest import ApiError, DictSub, ListSub, NotFound, StrSub, colliding_key, raise_api_error

WHITESPACE = "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
ODD_TEXTS = ["", "x", "\ud800", "a\udfffb", "\U0001f600 x ", "\u200b", "\ufeffa", "中文\u3000", WHITESPACE]


@pytest.mark.parametrize(
    "check, good, bad",
    [
        (probe.exact_dict, {}, [None, DictSub(), collections.OrderedDict(), []]),
        (probe.exact_list, [], [None, ListSub(), (), {}]),
        (probe.exact_str, "", [None, StrSub("x"), b"x", 1]),
        (probe.exact_tuple, (), [None, [], "x"]),
        (probe.check_exact_str, "", [None, StrSub("x"), b"x", 1]),
    ],
)
def test_exact_kind_checks_name_the_argument(check, good, bad):
    assert check(good) is good
    for value in bad:
        with pytest.raises(TypeError, match=rf"argument 'value' must be \w+, not ([\w.]+\.)?{type(value).__name__}$"):
            check(value)


def test_a_native_result_without_an_object_is_none_unless_an_error_is_set():
    # check_exact_str above returns no object with the refusal set; with no
    # error set, no object is the None of a function that returns nothing.
    assert probe.no_object(1) is None


class Vague:
    def __bool__(self):
        raise ValueError("ambiguous truth")


class ComparesVaguely:
    def __eq__(self, other):
        return Vague()

    __ne__ = __eq__


class LooseText(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "a, b",
    [(1, 1.0), ("a", "b"), (float("nan"), float("nan")), ([1], [1]), (None, 0), ("".join(["é", "t"]), "ét"),
     ("ab", "abc"), ("a\u20ac", "a\U0001f600"), ("\u20ac", "\u20ad"), (LooseText("x"), "y"), ("y", LooseText("x"))],
)
def test_equal_and_not_equal_as_an_if_tests_them(a, b):
    assert probe.equal_not_equal(a, b) == (bool(a == b), bool(a != b))


def test_equal_raises_what_the_truth_test_raises():
    with pytest.raises(ValueError, match="ambiguous truth"):
        probe.equal_not_equal(ComparesVaguely(), 1)


class LogsComparisons:
    def __init__(self, log):
        self.log = log

    def __eq__(self, other):
        self.log.append("==")
        return False

    def __ne__(self, other):
        self.log.append("!=")
        return True


def test_equal_and_not_equal_compare_in_the_order_written():
    python_log, native_log = [], []
    a = LogsComparisons(python_log)
    (bool(a == 1), bool(a != 1))
    probe.equal_not_equal(LogsComparisons(native_log), 1)
    assert native_log == python_log == ["==", "!="]


@pytest.mark.parametrize(
    "value, expected",
    [(7, 7), (True, 1), (False, 0), (-2.9, -2), (2.9, 2), (10**40, 10**40), (-0.0, 0), (Fraction(-7, 2), -3), (Decimal("9.99"), 9)],
)
def test_int_arg_converts_numbers_as_int_does(value, expected):
    result = probe.int_arg(value)
    assert result == expected and type(result) is int


class BareNumber(numbers.Number):
    pass


class TextNumber(str):
    pass


numbers.Number.register(TextNumber)


class TruncOnly(numbers.Number):
    def __trunc__(self):
        return 4


class BadInt(numbers.Number):
    def __int__(self):
        return "4"


@pytest.mark.parametrize(
    "value",
    [None, "3", b"3", [1], {}, 1j, complex(2, 0), BareNumber(), TextNumber("3"), object()],
    ids=lambda v: type(v).__name__,
)
def test_int_arg_refuses_other_kinds_naming_the_argument(value):
    # complex and numbers without __int__ too, not with int()'s own message
    with pytest.raises(TypeError, match=rf"^argument 'value' must be int, not ([\w.]+\.)?{type(value).__name__}$"):
        probe.int_arg(value)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (float("inf"), OverflowError, "cannot convert float infinity to integer"),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
        (Decimal("nan"), ValueError, "cannot convert NaN to integer"),
        (Decimal("-inf"), OverflowError, "cannot convert Infinity to integer"),
        (BadInt(), TypeError, "__int__ returned non-int"),
    ],
)
def test_int_arg_fails_as_int_does_for_numbers_it_cannot_convert(value, error, message):
    with pytest.raises(error, match=message):
        probe.int_arg(value)


def test_int_arg_delegates_to_trunc_as_int_does():
    with pytest.deprecated_call():
        assert probe.int_arg(TruncOnly()) == 4


@pytest.mark.parametrize("value", [10**30, -(10**30), 5])
def test_clamp_never_overflows(value):
    assert probe.clamp_ll(value) == max(min(value, 2**63 - 1), -(2**63))


@pytest.mark.parametrize("value", [None, False, True, 0, 0.0, 1, -0.0, "", "0", [], [0], {}, {"": 0}, (), float("nan")])
def test_truth_and_text_form_match_the_interpreter(value):
    assert probe.truthy(value) is bool(value)
    assert probe.text_form(value) == str(value)


class GivesStrSub:
    def __str__(self):
        return StrSub("given")


class OwnStr(StrSub):
    def __str__(self):
        return self


@pytest.mark.parametrize("value, text", [(StrSub("abc"), "abc"), (GivesStrSub(), "given"), (OwnStr("own\udc80"), "own\udc80")])
def test_text_form_is_exactly_a_str(value, text):
    """What is made of it (a dict key, a comparison) runs no subclass code."""
    result = probe.text_form(value)
    assert result == text and type(result) is str


def _list_change(change, values):
    def fn(item):
        if item == 0:
            if change == "cleared":
                values.clear()
                gc.collect()
            elif change == "grown":
                values.extend(range(10, 100))  # the item array moves
        return item
    return fn


@pytest.mark.parametrize("change, expected", [
    ("nothing", [0, 1, 2]),
    ("cleared", [0]),
    ("grown", [0, 1, 2, *range(10, 100)]),
])
def test_the_loop_over_a_list_sees_it_change_as_python_does(change, expected):
    results = []
    for loop in (lambda values, fn: [fn(v) for v in values], probe.each_item):
        values = [0, 1, 2]
        results.append(loop(values, _list_change(change, values)))
    assert results == [expected, expected]


@pytest.mark.parametrize("change, error", [
    ("a key removed", "dictionary changed size during iteration"),
    ("a key added", "dictionary changed size during iteration"),
    ("a key replaced", "dictionary keys changed during iteration"),
])
def test_the_loop_over_a_dict_refuses_a_change_as_python_does(change, error):
    def change_of(mapping):
        def fn(key, value):
            if key == "a":
                if change == "a key removed":
                    del mapping["b"]
                elif change == "a key added":
                    mapping["z"] = 0
                else:  # the one already read goes, another comes
                    del mapping["a"]
                    mapping["z"] = 0
                gc.collect()
            return key, value
        return fn

    outcomes = []
    for loop in (lambda m, fn: [fn(k, v) for k, v in m.items()], probe.each_pair):
        mapping = {"a": 1, "b": 2, "c": 3}
        with pytest.raises(RuntimeError) as caught:
            loop(mapping, change_of(mapping))
        outcomes.append(str(caught.value))
    assert outcomes == [error, error]
    assert probe.each_pair({"a": 1, "b": [2]}, lambda k, v: (k, v)) == [("a", 1), ("b", [2])]


@pytest.mark.parametrize("text", ODD_TEXTS + [WHITESPACE + "a b" + WHITESPACE, "\x1c\x1fx\x1f"])
def test_trimming_matches_str_methods(text):
    assert probe.strip(text) == text.strip()
    assert probe.lstrip(text) == text.lstrip()
    assert probe.rstrip(text) == text.rstrip()
    assert probe.is_blank(text) is (text.strip() == "")


def test_whitespace_is_exactly_the_text_types():
    assert [c for c in range(sys.maxunicode + 1) if probe.is_space(c)] == [c for c in range(sys.maxunicode + 1) if chr(c).isspace()]


def test_line_boundaries_are_exactly_those_of_splitlines():
    assert [c for c in range(sys.maxunicode + 1) if probe.is_line_boundary(c)] == [
        c for c in range(sys.maxunicode + 1) if ("a" + chr(c) + "b").splitlines() == ["a", "b"]]


@pytest.mark.parametrize(
    "text",
    ["", "\n", "a\n", "a\r\nb\rc\nd", "a\x0bb\x0cc\x1cd\x1de\x1ef\x85g\u2028h\u2029i", "x\n\n", "\ud800\n\udfff", "\r\r\n"],
)
def test_line_splitting(text):
    assert probe.split_lf(text) == text.split("\n")
    assert probe.split_lines(text) == text.splitlines()
    assert probe.normalize_newlines(text) == text.replace("\r\n", "\n").replace("\r", "\n")


def test_mapping_reads_use_a_subclass_get():
    class Tracking(dict):
        def get(self, key, default=None):
            return "from-get"

    assert probe.get({"k": 1}, "k") == 1
    assert probe.get({}, "k") is None
    assert probe.get(Tracking(k=1), "k") == "from-get"


def test_item_reads_and_writes_as_subscription_does():
    class Defaulting(dict):
        def __missing__(self, key):
            return "missing"

        def __setitem__(self, key, value):
            super().__setitem__(key, ("set", value))

    assert probe.item({"k": 1}, "k") == 1
    with pytest.raises(KeyError, match="'k'"):
        probe.item({}, "k")
    with pytest.raises(TypeError, match="unhashable"):
        probe.item({}, [])
    assert probe.item(Defaulting(), "k") == "missing"
    plain, derived = {}, Defaulting()
    probe.set_item(plain, "k", 1)
    probe.set_item(derived, "k", 1)
    assert plain == {"k": 1} and dict(derived) == {"k": ("set", 1)}


def test_a_kept_item_follows_every_change_of_its_dict():
    d = {"k": 1}
    seen = [probe.kept_k(d), probe.kept_k(d)]
    d["k"] = 2
    seen.append(probe.kept_k(d))
    d.update(k=3, other=0)
    seen.append(probe.kept_k(d))
    del d["k"]
    seen.append(probe.kept_k(d))
    del d
    seen += [probe.kept_k({"k": n}) for n in (4, 5)]  # new dicts, perhaps where the old one was
    assert seen == [1, 1, 2, 3, None, 4, 5]


class _Holder:
    pass


def _store_attribute(holder, value):
    holder.k = value


def test_a_kept_item_follows_the_interpreters_specialised_stores():
    # Attribute and global stores that the interpreter has specialised write
    # into the dict directly; they must renew its version all the same.
    holder = _Holder()
    holder.k = -1
    namespace = {"k": -1}
    exec("def store_global(value):\n    global k\n    k = value", namespace)
    stale = []
    for i in range(200):
        _store_attribute(holder, i)
        stale += [("attribute", i)] if probe.kept_k(vars(holder)) != i else []
    for i in range(200):
        namespace["store_global"](i)
        stale += [("global", i)] if probe.kept_k(namespace) != i else []
    assert stale == []


def test_a_call_through_the_instance_holds_the_dict_it_looks_in():
    obj = probe.SignatureProbe()

    def replace_dict():  # frees the dict being looked in
        obj.__dict__ = {"twice": lambda value: "patched"}

    key = colliding_key("twice", replace_dict)
    obj.__dict__[key] = 1
    obj.call_twice(3)  # its lookups replace the dict while looking in it
    assert type(key).changed
    assert obj.call_twice(3) == ("patched", False)


def test_a_call_through_the_instance_runs_before_what_follows_it():
    # (self.twice(value), <whether nothing replaces twice>), in that order:
    # the patch removes itself when called.
    obj = probe.SignatureProbe()

    def once(value):
        del obj.twice
        return "patched"

    obj.twice = once
    assert obj.call_twice(3) == ("patched", True)


@pytest.mark.parametrize(
    "mapping, expected",
    [({"k": "  v \u3000"}, "v"), ({"k": 0}, ""), ({"k": None}, ""), ({}, ""), ({"k": 1.5}, "1.5"), ({"k": [1, " a"]}, "[1, ' a']"), ({"k": True}, "True")],
)
def test_field_text(mapping, expected):
    assert probe.field_text(mapping, "k") == expected


def test_first_non_empty():
    assert probe.first_non_empty({"a": "", "b": 0, "c": "x", "d": "y"}, ["a", "b", "c", "d"]) == "x"
    assert probe.first_non_empty({"a": ""}, ["a", "z"]) is None


def python_first_non_empty(mapping, keys):
    for key in keys:
        value = mapping.get(key)
        if value:
            return value
    return None


def made_key(name):
    return "".join(["key-", name])  # held by the list alone


class ChangingGet(dict):
    """A mapping whose first get() changes the list of keys being walked."""

    def __init__(self, items, change):
        super().__init__(items)
        self.change = change

    def get(self, key, default=None):
        change, self.change = self.change, None
        if change:
            change()
        return super().get(key, default)


class FalsyChanging:
    """A value whose truth test changes the list of keys being walked."""

    def __init__(self, change):
        self.change = change

    def __bool__(self):
        self.change()
        return False


# What the change does to keys [a, b, c, d], and the keys with a value: each
# row's answer depends on whether the loop sees the change.
CHANGES = {
    "cleared": (lambda keys: keys.clear(), "d"),
    "appended to": (lambda keys: keys.extend([made_key("y")] * 100 + [made_key("z")]), "z"),  # the item array moves
    "shrunk": (lambda keys: keys.__delitem__(slice(1, None)), "d"),
}


@pytest.mark.parametrize("by", ["get", "truth test"])
@pytest.mark.parametrize("change", sorted(CHANGES))
def test_first_non_empty_walks_a_changing_list_as_python_does(change, by):
    results = []
    for walk in (python_first_non_empty, probe.first_non_empty):
        keys = [made_key(name) for name in "abcd"]
        make_change, found = CHANGES[change]
        mapping = {made_key(found): "found"}
        if by == "get":
            mapping = ChangingGet(mapping, lambda: make_change(keys))
        else:
            mapping[made_key("a")] = FalsyChanging(lambda: make_change(keys))
        results.append(walk(mapping, keys))
    assert results[0] == results[1]


def test_recursion_guard_raises_recursion_error():
    nested = []
    for _ in range(100_000):
        nested = [nested]
    with pytest.raises(RecursionError):
        probe.nesting_depth(nested)
    assert probe.nesting_depth([[[]], []]) == 2


def test_module_namespace_lookup_sees_patches(monkeypatch):
    with pytest.raises(NameError, match="name 'missing' is not defined"):
        probe.lookup("missing")
    monkeypatch.setattr(probe, "patched", 42, raising=False)
    assert probe.lookup("patched") == 42


def test_import_from_fails_as_the_import_statement_does():
    assert probe.import_from("os.path", "join") is __import__("os").path.join
    with pytest.raises(ImportError) as ours:
        probe.import_from("os", "nope")
    with pytest.raises(ImportError) as theirs:
        from os import nope  # noqa: F401
    assert (str(ours.value), ours.value.name, ours.value.path) == (str(theirs.value), theirs.value.name, theirs.value.path)
    assert "json.tool" not in sys.modules  # so that only the import itself can bring it
    assert probe.import_from("json", "tool").__name__ == "json.tool"
    with pytest.raises(ModuleNotFoundError):
        probe.import_from("no_such_module_here", "x")


def module_without_file(name, file_hook):
    """A module with no __file__, whose attribute hook (if any) raises
    `file_hook` for __file__."""
    module = types.ModuleType(name)
    if file_hook:
        def __getattr__(attr):
            if attr == "__file__":
                raise file_hook
            raise AttributeError(attr)

        module.__getattr__ = __getattr__
    return module


@pytest.mark.parametrize("file_hook", [None, LookupError, KeyboardInterrupt])
def test_import_from_a_module_without_a_file_fails_as_the_import_statement_does(monkeypatch, file_hook):
    monkeypatch.setitem(sys.modules, "pysem_fileless", module_without_file("pysem_fileless", file_hook))
    with pytest.raises(ImportError) as ours:
        probe.import_from("pysem_fileless", "nope")
    with pytest.raises(ImportError) as theirs:
        from pysem_fileless import nope  # noqa: F401
    assert (str(ours.value), ours.value.name, ours.value.path) == (str(theirs.value), theirs.value.name, theirs.value.path)


@pytest.mark.parametrize("call, first", [
    (lambda: probe.make_class(1, None, []), "name"),
    (lambda: probe.make_class("Thing", 2, []), "doc"),
    (lambda: probe.import_from(1, 2), "module"),
], ids=["make_class-name", "make_class-doc", "import_from-module"])
def test_a_call_with_two_refused_arguments_names_the_first(call, first):
    with pytest.raises(TypeError, match=rf"^argument '{first}' must be str, not int$"):
        call()


def test_raise_instance_raises_the_object_itself():
    error = KeyError("k")
    with pytest.raises(KeyError) as caught:
        probe.raise_instance(error)
    assert caught.value is error
    with pytest.raises(TypeError, match="must derive from BaseException"):
        probe.raise_instance("not an exception")


def test_call_passes_positions_then_keywords():
    assert probe.call(lambda a, *, b: (a, b), 1, [2]) == (1, [2])
    with pytest.raises(TypeError, match="unexpected keyword argument 'b'"):
        probe.call(lambda a: a, 1, 2)


class StrRaisesApiError:
    def __str__(self):
        raise ApiError


class GetRaisesApiError(dict):
    def get(self, key, default=None):
        raise ApiError


@pytest.mark.parametrize(
    "route",
    [
        lambda: probe.call(raise_api_error, 1, 2),
        lambda: probe.text_form(StrRaisesApiError()),
        lambda: probe.each_item([1], raise_api_error),
        lambda: probe.each_pair({1: 2}, raise_api_error),
        lambda: probe.get(GetRaisesApiError(), "k"),
    ],
    ids=["call", "__str__", "list-loop", "dict-loop", "dict-subclass-get"],
)
def test_an_exception_whose_constructor_picks_a_subclass_reaches_the_caller(route):
    """`raise ApiError` is a NotFound, as Python code goes on with it."""
    with pytest.raises(NotFound):
        route()


def test_getattr_or_none_swallows_only_attribute_errors():
    class Odd:
        present = 1

        @property
        def broken(self):
            raise KeyError("inner")

    assert probe.getattr_or_none(Odd(), "present") == 1
    assert probe.getattr_or_none(Odd(), "absent") is None
    with pytest.raises(KeyError):
        probe.getattr_or_none(Odd(), "broken")


def _python_unpack(value):
    first, second = value
    return first, second


class _RaisingIter:
    def __iter__(self):
        raise TypeError("own error")


@pytest.mark.parametrize(
    "make",
    [lambda: (1, 2), lambda: [1, 2], lambda: "ab", lambda: {"a": 1, "b": 2}, lambda: iter([3, 4]), lambda: (1,), lambda: [], lambda: "abc", lambda: 5, lambda: None, _RaisingIter],
)
def test_unpack2_matches_tuple_unpacking(make):
    value = make()
    try:
        expected = _python_unpack(make())
    except Exception as error:  # noqa: BLE001 - the comparison is the point
        with pytest.raises(type(error), match=f"^{error}$".replace("(", r"\(").replace(")", r"\)")):
            probe.unpack2(value)
    else:
        assert probe.unpack2(value) == expected


def test_make_class_is_what_a_class_statement_makes():
    cls = probe.make_class("Thing", "A thing.", {"kind": "x"})

    class Thing:
        """A thing."""

        kind = "x"

    assert list(cls.__dict__) == list(Thing.__dict__)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("pelorin._pysem_probe", "Thing", "A thing.")
    instance = cls()
    instance.extra = 1
    assert instance.__dict__ == {"extra": 1} and type(instance) is cls
