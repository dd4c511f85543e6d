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

#include <utility>

namespace telvara {

namespace official {

template <class F> struct method_traits;
template <class R, class... Args> struct method_traits<R (*)(py::handle, Args...)> {
    static constexpr size_t arity = sizeof...(Args);
};

// One method: the function bound on the class, and the same native code
// reached directly by via() while nothing overrides it.
template <auto Fn, class Seq = std::make_index_sequence<method_traits<decltype(Fn)>::arity>> struct method;
template <auto Fn, size_t... I> struct method<Fn, std::index_sequence<I...>> {
    template <size_t> using arg_object = py::object;
    static py::object direct(py::handle self, const py::handle *args) { return Fn(self, args[I]...); }
    static py::object bound(py::object self, arg_object<I>... args) { return Fn(self, args...); }
};

template <auto Fn, class Class, class... Extra> void define(Class &cls, const char *name, const Extra &...extra) {
    using M = method<Fn>;
    cls.def(name, &M::bound, extra...);
    State &st = writable_state();
    py::str key = text(name);
    st.own_index[key] = py::int_(st.own.size());
    st.own.push_back({key, py::object(), &M::direct, method_traits<decltype(Fn)>::arity});
}

// What the class holds under each name once all are defined.
template <class Class> void record_own(Class &cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    for (Own &own : writable_state().own)
        own.original = py::reinterpret_borrow<py::object>(_PyType_Lookup(type, own.name.ptr()));
}

} // namespace official

template <class Class> void bind_official(py::module_ &m, Class &cls) {
    namespace o = official;
    using py::arg;
    o::module_ns().bind(m);

    o::define<&o::format_official_report>(cls, "_format_official_report", arg("data"), arg("answers"),
                                          arg("questions"));
    o::define<&o::format_diagnosis_answer>(cls, "_format_diagnosis_answer", arg("question_index"), arg("answer"));
    o::define<&o::answer_text>(cls, "_answer_text", arg("index"), arg("answer"));
    o::define<&o::normalize_answer_markdown>(cls, "_normalize_answer_markdown", arg("text"));
    o::define<&o::split_numbered_sections>(cls, "_split_numbered_sections", arg("text"));
    o::define<&o::infer_diagnosis_sections>(cls, "_infer_diagnosis_sections", arg("question_index"), arg("text"));
    o::define<&o::infer_title_sections>(cls, "_infer_title_sections", arg("lines"));
    o::define<&o::infer_bullet_sections>(cls, "_infer_bullet_sections", arg("lines"));
    o::define<&o::infer_image_sections>(cls, "_infer_image_sections", arg("lines"));
    o::define<&o::infer_aplus_sections>(cls, "_infer_aplus_sections", arg("lines"));
    o::define<&o::infer_review_sections>(cls, "_infer_review_sections", arg("lines"));
    o::define<&o::infer_competitor_sections>(cls, "_infer_competitor_sections", arg("lines"));
    o::define<&o::infer_overall_sections>(cls, "_infer_overall_sections", arg("lines"));
    o::define<&o::collect_marker_groups>(cls, "_collect_marker_groups", arg("lines"), arg("pattern"));
    o::define<&o::find_line>(cls, "_find_line", arg("lines"), arg("pattern"), arg("start") = 0);
    o::define<&o::extract_after_marker>(cls, "_extract_after_marker", arg("lines"), arg("start"), arg("end"),
                                        arg("marker"));
    o::define<&o::guess_title_lines>(cls, "_guess_title_lines", arg("lines"));
    o::define<&o::strip_marker_lines>(cls, "_strip_marker_lines", arg("lines"), arg("patterns"));
    o::define<&o::strip_bullets>(cls, "_strip_bullets", arg("lines"));
    o::define<&o::to_pair_lines>(cls, "_to_pair_lines", arg("lines"), py::kw_only(), arg("default_key"));
    o::define<&o::chunk_value>(cls, "_chunk_value", arg("chunk"), arg("label"));
    o::define<&o::table_key_values>(cls, "_table_key_values", arg("lines"));
    o::define<&o::summary_from_suggestions>(cls, "_summary_from_suggestions", arg("lines"));
    o::define<&o::short_value>(cls, "_short_value", arg("value"), arg("limit") = 80);
    o::define<&o::normalize_content_lines>(cls, "_normalize_content_lines", arg("text"));
    o::define<&o::render_diagnosis_subsection>(cls, "_render_diagnosis_subsection", arg("question_index"),
                                               arg("section_index"), arg("lines"));
    o::define<&o::drop_intro_and_headers>(cls, "_drop_intro_and_headers", arg("question_index"),
                                          arg("section_index"), arg("lines"));
    o::define<&o::drop_known_headers>(cls, "_drop_known_headers", arg("lines"), arg("headers"));
    o::define<&o::render_schema_table>(cls, "_render_schema_table", arg("schema"), arg("lines"));
    o::define<&o::parse_schema_rows>(cls, "_parse_schema_rows", arg("schema"), arg("lines"));
    o::define<&o::parse_row_start_rows>(cls, "_parse_row_start_rows", arg("lines"), arg("width"), arg("row_start"));
    o::define<&o::parse_fixed_rows>(cls, "_parse_fixed_rows", arg("lines"), arg("width"), py::kw_only(),
                                    arg("last_cell_continues"));
    o::define<&o::parse_summary_pairs>(cls, "_parse_summary_pairs", arg("lines"));
    o::define<&o::looks_like_next_row_start>(cls, "_looks_like_next_row_start", arg("line"), arg("remaining_count"),
                                             arg("width"));
    o::define<&o::render_title_content>(cls, "_render_title_content", arg("lines"));
    o::define<&o::render_optimized_title>(cls, "_render_optimized_title", arg("lines"));
    o::define<&o::render_bullet_content>(cls, "_render_bullet_content", arg("lines"));
    o::define<&o::render_summary_bullets>(cls, "_render_summary_bullets", arg("lines"));
    o::define<&o::looks_like_summary_heading>(cls, "_looks_like_summary_heading", arg("line"));
    o::define<&o::render_plain_lines>(cls, "_render_plain_lines", arg("lines"));
    o::record_own(cls);
}

} // namespace telvara
