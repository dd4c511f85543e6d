"""unicodedata patched: the table that puts long runs of combining marks in
order is made from the functions as the module found them at load, and what
those answer is checked."""

import subprocess
import sys
import textwrap
import unicodedata

import pytest

from pelorin.query.services.planner import ombrith

from ..conftest import API_ERROR_SOURCE, HOSTILE_ANSWERS

# Long enough to be put in order before it is normalised, its marks out of order.
MARKED = "a" + "\u0301\u0316" * 600


def patches(answer):
    """What a patch of each function can hand back. A patched normalize gives
    its parts in a list, and combining calls each part a mark."""
    return {
        "combining": {"combining": lambda ch: answer()},
        "decomposition": {"decomposition": lambda ch: answer()},
        "normalize": {"combining": lambda ch: 230, "normalize": lambda form, text: [answer()]},
    }


@pytest.mark.parametrize("name", ["combining", "decomposition", "normalize"])
@pytest.mark.parametrize("answer", HOSTILE_ANSWERS.values(), ids=HOSTILE_ANSWERS.keys())
def test_functions_patched_after_the_load_change_nothing(monkeypatch, name, answer):
    expected = unicodedata.normalize("NFKC", MARKED).casefold()
    with monkeypatch.context() as patch:  # undone before pytest reports, which reads unicodedata too
        for function, patched in patches(answer)[name].items():
            patch.setattr(unicodedata, function, patched)
        result = ombrith.normalize(MARKED)
    assert result == expected


API_ERROR = API_ERROR_SOURCE


def normalized_in_a_fresh_interpreter(patch):
    script = textwrap.dedent("""
        import re
        import unicodedata
        {api_error}
        {patch}
        try:
            from pelorin.query.services.planner import ombrith
            ombrith.normalize({marked!r})
        except Exception as error:
            print(type(error).__name__, error)
        else:
            print("normalized")
    """).format(api_error=API_ERROR, patch=patch, marked=MARKED)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


@pytest.mark.parametrize("patch, expected", [
    ("unicodedata.combining = lambda ch: 1.5", "TypeError unicodedata.combining() returned float, not int"),
    ("unicodedata.combining = lambda ch: 2**63", "ValueError unicodedata.combining() returned 9223372036854775808, "
                                                 "not a combining class"),
    ("unicodedata.combining = lambda ch: -1", "ValueError unicodedata.combining() returned -1, not a combining class"),
    ("unicodedata.decomposition = lambda ch: None", "TypeError unicodedata.decomposition() returned NoneType, not str"),
    ("unicodedata.combining = lambda ch: 230; unicodedata.normalize = lambda form, text: [1.5]",
     "TypeError unicodedata.normalize() returned list, not str"),
    # The table is needed again while it is made.
    ("unicodedata.combining = lambda ch: ombrith.normalize('\\u0301' * 2000)",
     "RecursionError maximum recursion depth exceeded"),
    # Errors whose class makes a subclass reach the caller as made.
    ("unicodedata.combining = raise_api_error", "NotFound"),
    ("unicodedata.decomposition = raise_api_error", "NotFound"),
    ("unicodedata.combining = lambda ch: 230; unicodedata.normalize = raise_api_error", "NotFound"),
    ("re.compile = raise_api_error", "NotFound"),
], ids=["combining-float", "combining-2**63", "combining-negative", "decomposition-None", "normalize-list",
        "combining-comes-back", "combining-raises", "decomposition-raises", "normalize-raises", "re-compile-raises"])
def test_functions_patched_before_the_load_are_checked(patch, expected):
    assert normalized_in_a_fresh_interpreter(patch).startswith(expected)
