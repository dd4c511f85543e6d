"""format_data: the choice among the three reports, and the question list."""

import copy

import pytest

from pelorin.amazon_rufus.services.telvara import DIAGNOSIS_SUBSECTIONS

from .conftest import DictSub, ListSub


def questionnaire(count=7):
    """Questions that name the numbered subsections of sections 1..count."""
    return [
        "请回答：" + "；".join(f"{n}、{title}" for n, title in DIAGNOSIS_SUBSECTIONS[i].items())
        for i in range(1, count + 1)
    ]


@pytest.fixture
def official(monkeypatch, tv):
    """Records the hand-over to the diagnosis from prose."""
    calls = []

    def fake(data, answers, questions):
        calls.append((data, answers, questions))
        return "  OFFICIAL  "

    monkeypatch.setattr(tv, "_format_official_report", fake)
    return calls


REPORT = {"sections": [{"title": "S", "subsections": [{"text": "body"}]}]}
RENDERED = "# ASIN UNKNOWN Listing 优化诊断报告\n\n## 1. S\n\n### 1、当前标题内容\n\nbody"


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"diagnosis_report": REPORT}, RENDERED),
        ({"diagnosis_report": {}, "diagnosisReport": REPORT}, RENDERED),
        ({"listing_optimization_report": REPORT, "answers": [{"text": "a"}]}, RENDERED),
        ({"listingOptimizationReport": REPORT}, RENDERED),
        # A non-empty report candidate that is no mapping ends the search.
        ({"diagnosis_report": "text", "diagnosisReport": REPORT, "answers": [{"text": "a"}]},
         "## 第 1 题：第 1 题\n\n### 答案\n\na"),
        # A blank rendering falls back to the answers; without them the report is empty.
        ({"diagnosis_report": {"sections": []}, "answers": [{"text": "a"}]}, "## 第 1 题：第 1 题\n\n### 答案\n\na"),
        ({"listingOptimizationReport": {}}, ""),
        ({}, ""),
    ],
)
def test_structured_report_choice(tv, data, expected):
    assert tv.format_data(data) == expected


def test_structured_rendering_is_returned_untrimmed_and_answers_unread(monkeypatch, tv):
    seen = []
    monkeypatch.setattr(tv, "_format_structured_diagnosis_report", lambda data, report: seen.append(report) or "\n x \n")
    monkeypatch.setattr(tv, "_extract_questions", lambda data: pytest.fail("answers must not be read"))
    report = {"any": 1}
    assert tv.format_data({"diagnosisReport": report, "answers": [{}]}) == "\n x \n"
    assert seen == [report]


def test_empty_fourth_candidate_still_reaches_the_renderer(monkeypatch, tv):
    seen = []
    monkeypatch.setattr(tv, "_format_structured_diagnosis_report", lambda data, report: seen.append(report) or " \n\t")
    assert tv.format_data({"diagnosis_report": {}, "listingOptimizationReport": {}}) == ""
    assert seen == [{}]


@pytest.mark.parametrize("answers", [None, {}, {"text": "a"}, "text", [], 0])
def test_answers_that_are_no_list_or_empty_give_empty_text(tv, answers):
    assert tv.format_data({"answers": answers, "questions": ["Q"]}) == ""


def test_question_and_answer_report_joins_sections(tv):
    data = {"answers": [{"text": "one"}, "not a mapping", {"summaryText": "sum"}], "questions": ["Q1", "Q2"]}
    assert tv.format_data(data) == (
        "## 第 1 题：Q1\n\n### 答案\n\none"
        "\n\n---\n\n"
        "## 第 2 题：Q2\n\n### 答案\n\n第 2 题未获取到答案"
        "\n\n---\n\n"
        "## 第 3 题：第 3 题\n\n### 总结\n\nsum"
    )
    assert tv.format_data({"answers": [{"text": "x"}]}) == "## 第 1 题：第 1 题\n\n### 答案\n\nx"


def test_format_data_changes_nothing_in_data(tv):
    data = {
        "diagnosis_report": {"sections": {"2": {"title": "t", "children": [{"rows": [["a", "b"]]}]}}},
        "answers": [{"text": "- a\n  b", "blocks": [{"type": "list_item", "text": "x"}]}],
        "questions": [" q "],
    }
    before = copy.deepcopy(data)
    tv.format_data(data)
    tv.format_data({k: v for k, v in data.items() if k != "diagnosis_report"})
    assert data == before


@pytest.mark.parametrize(
    "data, expected",
    [
        ({"questions": ["  Q1  ", {"question": "", "text": "  T  "}, {"question": 12}, 12, None, ["x"], " "]},
         ["Q1", "T", "12"]),
        ({"questions": [" ", 3], "upload_payload": {"records": [{"questions": ["P1", {"text": "P2"}]}]}}, ["P1", "P2"]),
        ({"upload_payload": {"records": ["no mapping", {"questions": ["late"]}]}}, []),
        ({"upload_payload": {"records": {"questions": ["x"]}}}, []),
        ({"upload_payload": [{"records": [{"questions": ["x"]}]}]}, []),
        ({"upload_payload": {"records": [{"questions": "Q"}]}}, []),
        ({"questions": "Q"}, []),
        ({}, []),
    ],
)
def test_extract_questions(tv, data, expected):
    assert tv._extract_questions(data) == expected


def test_derived_kinds_inside_data_are_read(tv):
    data = {"upload_payload": DictSub(records=ListSub([DictSub(questions=ListSub([" q "]))]))}
    assert tv._extract_questions(data) == ["q"]


@pytest.mark.parametrize("index, expected", [(1, "a"), (2, "b"), (3, "第 3 题"), (0, "第 0 题"), (-1, "第 -1 题")])
def test_question_at(tv, index, expected):
    assert tv._question_at(["a", "b"], index) == expected


@pytest.mark.parametrize(
    "answers, questions, expected",
    [
        ([], [], True),
        ([{"answer": None}, {"answer": ""}, DictSub(answer=1)], [], True),
        ([{"answer": "x"}, "text"], [], False),
        ([{"text": "x"}], [], False),
        ([None] * 7, questionnaire(), True),
        ([None] * 2, questionnaire(2), True),
        ([None] * 6, questionnaire(), False),
        ([None] * 8, questionnaire() + [questionnaire()[0]], False),
        ([None], [" 1 、 当前标题内容\n2、问题逐项分析 3、\t建议优化标题 4、优化核心逻辑总结"], True),
        ([None], ["1\u3000、\xa0当前标题内容 2\x1c、问题逐项分析 3、\u2028建议优化标题 4、\x85优化核心逻辑总结"], True),
        ([None], ["4、优化核心逻辑总结 3、建议优化标题 2、问题逐项分析 1、当前标题内容"], True),
        ([None], ["1、当前标题内容 2、问题逐项分析 3、建议优化标题"], False),
        ([None], ["\uff11、当前标题内容 2、问题逐项分析 3、建议优化标题 4、优化核心逻辑总结"], False),
        ([None, None], [questionnaire()[0], questionnaire()[2]], False),
    ],
)
def test_is_diagnosis_report(tv, answers, questions, expected):
    assert tv._is_diagnosis_report(answers, questions) is expected


def test_questionnaire_goes_to_the_diagnosis_from_prose(tv, official):
    answers = [{"answer": f"a{i}"} for i in range(7)]
    data = {"answers": answers, "questions": questionnaire(), "asin": "b0"}
    assert tv.format_data(data) == "  OFFICIAL  "
    [(got_data, got_answers, got_questions)] = official
    assert got_data is data and got_answers is answers and got_questions == questionnaire()


def test_compact_result_without_questions_goes_to_the_diagnosis_from_prose(tv, official):
    assert tv.format_data({"answers": [{"answer": None}]}) == "  OFFICIAL  "
    assert tv.format_data({"answers": [{"answer": None}, "x"]}).startswith("## 第 1 题：")
    assert len(official) == 1


def test_derived_answers_list_is_handed_over_as_a_plain_list(tv, official):
    answers = ListSub([{"answer": "a"}])
    assert tv.format_data({"answers": answers}) == "  OFFICIAL  "
    handed = official[0][1]
    assert type(handed) is list and handed == answers
    qa = tv.format_data({"answers": ListSub([{"text": "x"}, DictSub(text="y")])})
    assert qa == "## 第 1 题：第 1 题\n\n### 答案\n\nx\n\n---\n\n## 第 2 题：第 2 题\n\n### 答案\n\ny"


def test_derived_report_mapping_renders(tv):
    assert tv.format_data({"diagnosis_report": DictSub(REPORT)}) == RENDERED


def test_errors_from_called_methods_reach_the_caller(monkeypatch, tv):
    def boom(*args):
        raise KeyError("inner")

    monkeypatch.setattr(tv, "_format_section", boom)
    with pytest.raises(KeyError, match="inner"):
        tv.format_data({"answers": [{}]})
