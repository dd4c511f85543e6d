// The listing diagnosis rebuilt from prose answers: one section per answer of
// the listing questionnaire, each split at its numbered subsection lines or,
// when it numbers none, divided by the marker words of its question, and
// every subsection rendered as a schema table or by its own renderer.
#pragma once

#include "common/pysem.hpp"

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_official_intake.hpp"
#include "amazon_rufus/services/telvara_official_infer.hpp"
#include "amazon_rufus/services/telvara_official_render.hpp"

namespace telvara {

template <class Class> void bind_official(Class &cls) {
    namespace o = official;
    using py::arg;

    define<o::format_official_report>(cls, "_format_official_report", arg("data"), arg("answers"),
                                      arg("questions"));
    define<o::format_diagnosis_answer>(cls, "_format_diagnosis_answer", arg("question_index"), arg("answer"));
    define<o::answer_text>(cls, "_answer_text", arg("index"), arg("answer"));
    define<o::normalize_answer_markdown>(cls, "_normalize_answer_markdown", arg("text"));
    define<o::split_numbered_sections>(cls, "_split_numbered_sections", arg("text"));
    define<o::infer_diagnosis_sections>(cls, "_infer_diagnosis_sections", arg("question_index"), arg("text"));
    define<o::infer_title_sections>(cls, "_infer_title_sections", arg("lines"));
    define<o::infer_bullet_sections>(cls, "_infer_bullet_sections", arg("lines"));
    define<o::infer_image_sections>(cls, "_infer_image_sections", arg("lines"));
    define<o::infer_aplus_sections>(cls, "_infer_aplus_sections", arg("lines"));
    define<o::infer_review_sections>(cls, "_infer_review_sections", arg("lines"));
    define<o::infer_competitor_sections>(cls, "_infer_competitor_sections", arg("lines"));
    define<o::infer_overall_sections>(cls, "_infer_overall_sections", arg("lines"));
    define<o::collect_marker_groups>(cls, "_collect_marker_groups", arg("lines"), arg("pattern"));
    define<o::find_line>(cls, "_find_line", arg("lines"), arg("pattern"), arg("start") = o::kFindLineStart);
    define<o::extract_after_marker>(cls, "_extract_after_marker", arg("lines"), arg("start"), arg("end"),
                                    arg("marker"));
    define<o::guess_title_lines>(cls, "_guess_title_lines", arg("lines"));
    define<o::strip_marker_lines>(cls, "_strip_marker_lines", arg("lines"), arg("patterns"));
    define<o::strip_bullets>(cls, "_strip_bullets", arg("lines"));
    define<o::to_pair_lines>(cls, "_to_pair_lines", arg("lines"), py::kw_only(), arg("default_key"));
    define<o::chunk_value>(cls, "_chunk_value", arg("chunk"), arg("label"));
    define<o::table_key_values>(cls, "_table_key_values", arg("lines"));
    define<o::summary_from_suggestions>(cls, "_summary_from_suggestions", arg("lines"));
    define<o::short_value>(cls, "_short_value", arg("value"), arg("limit") = o::kShortValueLimit);
    define<o::normalize_content_lines>(cls, "_normalize_content_lines", arg("text"));
    define<o::render_diagnosis_subsection>(cls, "_render_diagnosis_subsection", arg("question_index"),
                                           arg("section_index"), arg("lines"));
    define<o::drop_intro_and_headers>(cls, "_drop_intro_and_headers", arg("question_index"),
                                      arg("section_index"), arg("lines"));
    define<o::drop_known_headers>(cls, "_drop_known_headers", arg("lines"), arg("headers"));
    define<o::render_schema_table>(cls, "_render_schema_table", arg("schema"), arg("lines"));
    define<o::parse_schema_rows>(cls, "_parse_schema_rows", arg("schema"), arg("lines"));
    define<o::parse_row_start_rows>(cls, "_parse_row_start_rows", arg("lines"), arg("width"), arg("row_start"));
    define<o::parse_fixed_rows>(cls, "_parse_fixed_rows", arg("lines"), arg("width"), py::kw_only(),
                                arg("last_cell_continues"));
    define<o::parse_summary_pairs>(cls, "_parse_summary_pairs", arg("lines"));
    define<o::looks_like_next_row_start>(cls, "_looks_like_next_row_start", arg("line"), arg("remaining_count"),
                                         arg("width"));
    define<o::render_title_content>(cls, "_render_title_content", arg("lines"));
    define<o::render_optimized_title>(cls, "_render_optimized_title", arg("lines"));
    define<o::render_bullet_content>(cls, "_render_bullet_content", arg("lines"));
    define<o::render_summary_bullets>(cls, "_render_summary_bullets", arg("lines"));
    define<o::looks_like_summary_heading>(cls, "_looks_like_summary_heading", arg("line"));
    define<o::render_plain_lines>(cls, "_render_plain_lines", arg("lines"));
}

} // namespace telvara
