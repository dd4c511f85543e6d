// The listing diagnosis rebuilt from prose answers: one section per answer of
// the listing questionnaire, each split at its numbered subsection lines or,
// when it numbers none, divided by the marker words of its question, and
// every subsection rendered as a schema table or by its own renderer.
#pragma once

#include "common/pysem.hpp"

#include "amazon_rufus/services/telvara_official_core.hpp"
#include "amazon_rufus/services/telvara_official_infer.hpp"
#include "amazon_rufus/services/telvara_official_intake.hpp"
#include "amazon_rufus/services/telvara_official_render.hpp"

namespace telvara {

template <class Class> void bind_official(py::module_ &m, Class &cls) {
    namespace o = official;
    using py::arg;
    using obj = py::object;
    o::module_ns().bind(m);
    o::state();

    cls.def("_format_official_report",
            [](obj self, obj data, obj answers, obj questions) {
                return o::format_official_report(self, data, answers, questions);
            },
            arg("data"), arg("answers"), arg("questions"));
    cls.def("_format_diagnosis_answer",
            [](obj self, obj question_index, obj answer) { return o::format_diagnosis_answer(self, question_index, answer); },
            arg("question_index"), arg("answer"));
    cls.def("_answer_text", [](obj self, obj index, obj answer) { return o::answer_text(self, index, answer); },
            arg("index"), arg("answer"));
    cls.def("_normalize_answer_markdown", [](obj, obj text) { return o::normalize_answer_markdown(text); },
            arg("text"));
    cls.def("_split_numbered_sections", [](obj self, obj text) { return o::split_numbered_sections(self, text); },
            arg("text"));
    cls.def("_infer_diagnosis_sections",
            [](obj self, obj question_index, obj text) { return o::infer_diagnosis_sections(self, question_index, text); },
            arg("question_index"), arg("text"));
    cls.def("_infer_title_sections", [](obj self, obj lines) { return o::infer_title_sections(self, lines); },
            arg("lines"));
    cls.def("_infer_bullet_sections", [](obj self, obj lines) { return o::infer_bullet_sections(self, lines); },
            arg("lines"));
    cls.def("_infer_image_sections", [](obj self, obj lines) { return o::infer_image_sections(self, lines); },
            arg("lines"));
    cls.def("_infer_aplus_sections", [](obj self, obj lines) { return o::infer_aplus_sections(self, lines); },
            arg("lines"));
    cls.def("_infer_review_sections", [](obj self, obj lines) { return o::infer_review_sections(self, lines); },
            arg("lines"));
    cls.def("_infer_competitor_sections",
            [](obj self, obj lines) { return o::infer_competitor_sections(self, lines); }, arg("lines"));
    cls.def("_infer_overall_sections", [](obj self, obj lines) { return o::infer_overall_sections(self, lines); },
            arg("lines"));
    cls.def("_collect_marker_groups", [](obj, obj lines, obj pattern) { return o::collect_marker_groups(lines, pattern); },
            arg("lines"), arg("pattern"));
    cls.def("_find_line", [](obj, obj lines, obj pattern, obj start) { return o::find_line(lines, pattern, start); },
            arg("lines"), arg("pattern"), arg("start") = 0);
    cls.def("_extract_after_marker",
            [](obj self, obj lines, obj start, obj end, obj marker) {
                return o::extract_after_marker(self, lines, start, end, marker);
            },
            arg("lines"), arg("start"), arg("end"), arg("marker"));
    cls.def("_guess_title_lines", [](obj, obj lines) { return o::guess_title_lines(lines); }, arg("lines"));
    cls.def("_strip_marker_lines", [](obj, obj lines, obj patterns) { return o::strip_marker_lines(lines, patterns); },
            arg("lines"), arg("patterns"));
    cls.def("_strip_bullets", [](obj, obj lines) { return o::strip_bullets(lines); }, arg("lines"));
    cls.def("_to_pair_lines", [](obj, obj lines, obj default_key) { return o::to_pair_lines(lines, default_key); },
            arg("lines"), py::kw_only(), arg("default_key"));
    cls.def("_chunk_value", [](obj self, obj chunk, obj label) { return o::chunk_value(self, chunk, label); },
            arg("chunk"), arg("label"));
    cls.def("_table_key_values", [](obj self, obj lines) { return o::table_key_values(self, lines); }, arg("lines"));
    cls.def("_summary_from_suggestions", [](obj, obj lines) { return o::summary_from_suggestions(lines); },
            arg("lines"));
    cls.def("_short_value", [](obj, obj value, obj limit) { return o::short_value(value, limit); }, arg("value"),
            arg("limit") = 80);
    cls.def("_normalize_content_lines", [](obj, obj text) { return o::normalize_content_lines(text); }, arg("text"));
    cls.def("_render_diagnosis_subsection",
            [](obj self, obj question_index, obj section_index, obj lines) {
                return o::render_diagnosis_subsection(self, question_index, section_index, lines);
            },
            arg("question_index"), arg("section_index"), arg("lines"));
    cls.def("_drop_intro_and_headers",
            [](obj self, obj question_index, obj section_index, obj lines) {
                return o::drop_intro_and_headers(self, question_index, section_index, lines);
            },
            arg("question_index"), arg("section_index"), arg("lines"));
    cls.def("_drop_known_headers", [](obj, obj lines, obj headers) { return o::drop_known_headers(lines, headers); },
            arg("lines"), arg("headers"));
    cls.def("_render_schema_table", [](obj self, obj schema, obj lines) { return o::render_schema_table(self, schema, lines); },
            arg("schema"), arg("lines"));
    cls.def("_parse_schema_rows", [](obj self, obj schema, obj lines) { return o::parse_schema_rows(self, schema, lines); },
            arg("schema"), arg("lines"));
    cls.def("_parse_row_start_rows",
            [](obj self, obj lines, obj width, obj row_start) {
                return o::parse_row_start_rows(self, lines, width, row_start);
            },
            arg("lines"), arg("width"), arg("row_start"));
    cls.def("_parse_fixed_rows",
            [](obj self, obj lines, obj width, obj last_cell_continues) {
                return o::parse_fixed_rows(self, lines, width, last_cell_continues);
            },
            arg("lines"), arg("width"), py::kw_only(), arg("last_cell_continues"));
    cls.def("_parse_summary_pairs", [](obj, obj lines) { return o::parse_summary_pairs(lines); }, arg("lines"));
    cls.def("_looks_like_next_row_start",
            [](obj, obj line, obj remaining_count, obj width) {
                return o::looks_like_next_row_start(line, remaining_count, width);
            },
            arg("line"), arg("remaining_count"), arg("width"));
    cls.def("_render_title_content", [](obj, obj lines) { return o::render_title_content(lines); }, arg("lines"));
    cls.def("_render_optimized_title", [](obj self, obj lines) { return o::render_optimized_title(self, lines); },
            arg("lines"));
    cls.def("_render_bullet_content", [](obj self, obj lines) { return o::render_bullet_content(self, lines); },
            arg("lines"));
    cls.def("_render_summary_bullets", [](obj self, obj lines) { return o::render_summary_bullets(self, lines); },
            arg("lines"));
    cls.def("_looks_like_summary_heading", [](obj, obj line) { return o::looks_like_summary_heading(line); },
            arg("line"));
    cls.def("_render_plain_lines", [](obj self, obj lines) { return o::render_plain_lines(self, lines); },
            arg("lines"));
}

} // namespace telvara
