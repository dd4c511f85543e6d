"""Every integer parameter of every module refuses a value int() cannot take, naming the parameter."""

import pytest

from pelorin.amazon_rufus.services.telvara import Telvara
from pelorin.keepa.services import brondic

# (function, valid keyword arguments, the integer parameters among them)
TELVARA = [
    ("_render_structured_subsection", dict(section_index=1, subsection_index=1, subsection={}),
     ["section_index", "subsection_index"]),
    ("_render_structured_table", dict(table={}, section_index=1, subsection_index=1),
     ["section_index", "subsection_index"]),
    ("_int_value", dict(value="x", default=0), ["default"]),
    ("_question_at", dict(questions=[], index=1), ["index"]),
    ("_format_diagnosis_answer", dict(question_index=1, answer={}), ["question_index"]),
    ("_answer_text", dict(index=1, answer={}), ["index"]),
    ("_infer_diagnosis_sections", dict(question_index=1, text=""), ["question_index"]),
    ("_find_line", dict(lines=[], pattern="x", start=0), ["start"]),
    ("_extract_after_marker", dict(lines=["a"], start=0, end=1, marker="a"), ["start", "end"]),
    ("_short_value", dict(value="v", limit=80), ["limit"]),
    ("_render_diagnosis_subsection", dict(question_index=1, section_index=1, lines=[]),
     ["question_index", "section_index"]),
    ("_drop_intro_and_headers", dict(question_index=1, section_index=1, lines=[]),
     ["question_index", "section_index"]),
    ("_parse_row_start_rows", dict(lines=[], width=2, row_start="x"), ["width"]),
    ("_parse_fixed_rows", dict(lines=[], width=2, last_cell_continues=False), ["width"]),
    ("_looks_like_next_row_start", dict(line="x", remaining_count=2, width=2), ["remaining_count", "width"]),
    ("_pad_row", dict(row=[], width=2), ["width"]),
    ("_format_section", dict(index=1, answer={}, question="q"), ["index"]),
    ("_format_answer_body", dict(index=1, answer={}), ["index"]),
    ("_normalize_row_cells", dict(row=[], width=2), ["width"]),
    ("_parse_markdown_table", dict(lines=[], start_index=0), ["start_index"]),
]

BRONDIC = [
    ("_build_quota_warning", dict(before_quota={}, estimated_tokens=1, reserve_tokens=0),
     ["estimated_tokens", "reserve_tokens"]),
    ("_params_payload", dict(request=None, scenario={}, normalized_params={}, account={}, estimated_tokens=1,
                             reserve_tokens=0), ["estimated_tokens", "reserve_tokens"]),
]

CASES = [
    pytest.param(owner, name, kwargs, param, id=f"{name}-{param}")
    for owner, table in (("telvara", TELVARA), ("brondic", BRONDIC))
    for name, kwargs, params in table
    for param in params
]


@pytest.mark.parametrize("value", [1j, "3", [1]], ids=["complex", "str", "list"])
@pytest.mark.parametrize("owner, name, kwargs, param", CASES)
def test_integer_parameter_refusal_names_it(owner, name, kwargs, param, value):
    function = getattr(Telvara() if owner == "telvara" else brondic, name)
    with pytest.raises(TypeError) as caught:
        function(**{**kwargs, param: value})
    assert str(caught.value) == f"argument '{param}' must be int, not {type(value).__name__}"
