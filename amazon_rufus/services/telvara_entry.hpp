// The report entry: which of the three reports a Rufus result gets, and the
// question list that the answer-based reports use.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"

namespace telvara::impl {

inline py::object _format_official_report_call(py::handle self, py::handle data, py::handle answers,
                                               py::handle questions) {
    return call_through(self, state().n_format_official_report, data, answers, questions);
}

inline py::object format_data(py::handle self, py::handle data_arg) {
    py::dict data = pysem::exact_dict(data_arg, "data");
    state_t &st = state();

    py::object report = either(data, {st.k_diagnosis_report, st.k_diagnosisReport, st.k_listing_optimization_report,
                                      st.k_listingOptimizationReport});
    if (is_mapping(report)) {
        // The structured renderer takes only a plain mapping; a derived one is copied.
        py::object rendered = TV_CALL(_format_structured_diagnosis_report, data, plain(report));
        bool blank = PyUnicode_Check(rendered.ptr()) ? pysem::is_blank(rendered)
                                                     : !truthy(rendered.attr("strip")());
        if (!blank) return rendered;
    }

    py::object answers = get(data, st.k_answers);
    if (!is_list(answers) || !truthy(answers)) return st.t_empty;
    // The methods below take only a plain list; a derived one is copied.
    answers = plain(answers);
    py::object questions = TV_CALL(_extract_questions, data);
    if (truthy(TV_CALL(_is_diagnosis_report, answers, questions)))
        return _format_official_report_call(self, data, answers, questions);

    py::list sections = new_list();
    Py_ssize_t index = 0;
    for_each(answers, [&](py::object answer) {
        py::int_ position = to_int(++index);
        py::object question = TV_CALL(_question_at, questions, position);
        append(sections, TV_CALL(_format_section, position, answer, question));
    });
    return join(st.t_section_sep, sections);
}

inline py::object _extract_questions(py::handle self, py::handle data_arg) {
    py::dict data = pysem::exact_dict(data_arg, "data");
    state_t &st = state();
    py::object questions = TV_CALL(_normalize_question_list, get(data, st.k_questions));
    if (truthy(questions)) return questions;
    py::object payload = get(data, st.k_upload_payload);
    if (!is_mapping(payload)) return new_list();
    py::object records = get(payload, st.k_records);
    if (!is_list(records) || !truthy(records)) return new_list();
    py::object first = pysem::steal(PySequence_GetItem(records.ptr(), 0));
    if (!is_mapping(first)) return new_list();
    return TV_CALL(_normalize_question_list, get(first, st.k_questions));
}

inline py::object _normalize_question_list(py::handle, py::handle raw_questions) {
    state_t &st = state();
    py::list questions = new_list();
    if (!is_list(raw_questions)) return questions;
    for_each(raw_questions, [&](py::object item) {
        py::str text = is_text(item)      ? strip(item)
                       : is_mapping(item) ? either_text(item, {st.k_question, st.k_text})
                                          : st.t_empty;
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
    state_t &st = state();
    return cat(st.t_question_no, index, st.t_question_tail);
}

// The question with every run of white space removed.
inline py::object compact(py::handle question) {
    if (!PyUnicode_Check(question.ptr()))  // as re.sub refuses it
        return pysem::steal(PyObject_CallFunctionObjArgs(state().whitespace_sub.ptr(), state().t_empty.ptr(),
                                                         question.ptr(), nullptr));
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
    state_t &st = state();
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
            int present = PySequence_Contains(answer.ptr(), st.k_answer.ptr());
            if (present < 0) throw py::error_already_set();
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
        py::object titles = get(table, to_int(++index));
        if (!truthy(titles)) {
            matches = false;
            return;
        }
        py::object text = compact(question);
        py::object entries = PyDict_CheckExact(titles.ptr()) ? pysem::steal(PyDict_Items(titles.ptr()))
                                                             : py::object(titles.attr("items")());
        for_each(entries, [&](py::object entry) {
            if (!matches) return;
            auto [number, title] = unpack_pair(entry);
            py::str needle = cat(number, st.t_ideographic_comma, title);
            int found = PySequence_Contains(text.ptr(), needle.ptr());
            if (found < 0) throw py::error_already_set();
            matches = found == 1;
        });
    });
    return py::bool_(matches);
}

} // namespace telvara::impl
