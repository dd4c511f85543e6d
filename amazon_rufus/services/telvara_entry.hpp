// The report entry: which of the three reports a Rufus result gets, and the
// question list that the answer-based reports use.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"

namespace telvara::impl {

inline py::object format_data(py::handle self, py::handle data_arg) {
    py::dict data = pysem::exact_dict(data_arg, "data");

    py::object report = either(data, {PYSEM_LIT("diagnosis_report"), PYSEM_LIT("diagnosisReport"),
                                      PYSEM_LIT("listing_optimization_report"), PYSEM_LIT("listingOptimizationReport")});
    if (is_mapping(report)) {
        // The structured renderer takes only a plain mapping; a derived one is copied.
        py::object rendered = via<_format_structured_diagnosis_report>(self, data, plain(report));
        bool blank = PyUnicode_Check(rendered.ptr()) ? pysem::is_blank(rendered)
                                                     : !truthy(pysem::call_method(rendered, PYSEM_LIT("strip")));
        if (!blank) return rendered;
    }

    py::object answers = get(data, PYSEM_LIT("answers"));
    if (!is_list(answers) || !truthy(answers)) return PYSEM_LIT("");
    // The methods below take only a plain list; a derived one is copied.
    answers = plain(answers);
    py::object questions = via<_extract_questions>(self, data);
    if (truthy(via<_is_diagnosis_report>(self, answers, questions)))
        return via<official::format_official_report>(self, data, answers, questions);

    // The sections are joined as they come; one made by the class's own
    // method is written in place, without a text of its own.
    text_builder text;
    joined sections(text, "\n\n---\n\n");
    Py_ssize_t index = 0;
    for_each(answers, [&](py::object answer) {
        py::int_ position(++index);
        py::object question = via<_question_at>(self, questions, position);
        if (!is_direct<_format_section>(self)) {
            sections.add(through<_format_section>(self, position, answer, question));
            return;
        }
        sections.open();
        joined lines(text, "\n");
        write_section(self, position, answer, question, lines);
        lines.end();
        sections.close();
    });
    sections.end();
    return text.finish();
}

inline py::object _extract_questions(py::handle self, py::handle data_arg) {
    py::dict data = pysem::exact_dict(data_arg, "data");
    py::object questions = via<_normalize_question_list>(self, get(data, PYSEM_LIT("questions")));
    if (truthy(questions)) return questions;
    py::object payload = get(data, PYSEM_LIT("upload_payload"));
    if (!is_mapping(payload)) return py::list();
    py::object records = get(payload, PYSEM_LIT("records"));
    if (!is_list(records) || !truthy(records)) return py::list();
    py::object first = pysem::steal(PySequence_GetItem(records.ptr(), 0));
    if (!is_mapping(first)) return py::list();
    return via<_normalize_question_list>(self, get(first, PYSEM_LIT("questions")));
}

inline py::object _normalize_question_list(py::handle, py::handle raw_questions) {
    py::list questions;
    if (!is_list(raw_questions)) return questions;
    for_each(raw_questions, [&](py::object item) {
        py::str text = is_text(item)      ? strip(item)
                       : is_mapping(item) ? either_text(item, {PYSEM_LIT("question"), PYSEM_LIT("text")})
                                          : PYSEM_LIT("");
        if (PyUnicode_GET_LENGTH(text.ptr()) != 0) append(questions, text);
    });
    return questions;
}

inline py::object _question_at(py::handle, py::handle questions_arg, py::handle index_arg) {
    py::list questions = pysem::exact_list(questions_arg, "questions");
    py::int_ index = pysem::int_arg(index_arg, "index");
    long long position = pysem::clamp_ll(index);
    if (position >= 1 && position <= PyList_GET_SIZE(questions.ptr()))
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(questions.ptr(), position - 1));
    return cat(PYSEM_LIT("第 "), index, PYSEM_LIT(" 题"));
}

// The question with every run of white space removed.
inline py::object compact(py::handle question) {
    if (!PyUnicode_Check(question.ptr()))  // as re.sub refuses it
        return call(state().whitespace_sub, PYSEM_LIT(""), question);
    pysem::text_view t(question);
    text_builder out;
    Py_ssize_t from = 0;
    for (Py_ssize_t i = 0; i < t.size(); ++i) {
        if (!pysem::is_space(t[i])) continue;
        out.add_part(question, from, i);
        from = i + 1;
    }
    out.add_part(question, from, t.size());
    return out.finish();
}

inline py::object _is_diagnosis_report(py::handle, py::handle answers_arg, py::handle questions_arg) {
    py::list answers = pysem::exact_list(answers_arg, "answers");
    py::list questions = pysem::exact_list(questions_arg, "questions");
    State &st = state();
    Py_ssize_t count = PyList_GET_SIZE(questions.ptr());
    if (count == 0) {
        // The collector's compact result: answers without questions.
        bool all = true;
        for_each(answers, [&](py::object answer) {
            if (!all) return;
            if (!is_mapping(answer)) {
                all = false;
                return;
            }
            int present = PySequence_Contains(answer.ptr(), PYSEM_LIT("answer").ptr());
            if (present < 0) pysem::throw_pending();
            all = present == 1;
        });
        return py::bool_(all);
    }
    if (count != PyList_GET_SIZE(answers.ptr())) return py::bool_(false);

    py::object table = st.ns["DIAGNOSIS_SUBSECTIONS"];
    bool matches = true;
    Py_ssize_t index = 0;
    for_each(questions, [&](py::object question) {
        if (!matches) return;
        py::object titles = get(table, py::int_(++index));
        if (!truthy(titles)) {
            matches = false;
            return;
        }
        py::object text = compact(question);
        for_each_pair(titles, [&](py::handle number, py::handle title) {
            py::str needle = cat(number, PYSEM_LIT("、"), title);
            int found = PySequence_Contains(text.ptr(), needle.ptr());
            if (found < 0) pysem::throw_pending();
            matches = found == 1;
            return matches;
        });
    });
    return py::bool_(matches);
}

} // namespace telvara::impl
