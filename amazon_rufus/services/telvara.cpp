// Markdown reports from Amazon Rufus results.
//
// One stateless class, Telvara. Every method takes `self` and calls the
// others through the instance, so that patches and subclass overrides apply.
#include "common/module.hpp"

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_markdown.hpp"
#include "amazon_rufus/services/telvara_answers.hpp"
#include "amazon_rufus/services/telvara_structured.hpp"
#include "amazon_rufus/services/telvara_entry.hpp"
#include "amazon_rufus/services/telvara_official_intake.hpp"
#include "amazon_rufus/services/telvara_official_infer.hpp"
#include "amazon_rufus/services/telvara_official_render.hpp"

namespace telvara {
namespace {

// ---------------------------------------------------------------------------
// The questionnaire: section titles, numbered subsection titles and the
// table schemas of the subsections that are tables.

struct schema_row {
    int section, subsection;
    std::initializer_list<const char *> headers;
    const char *mode;
    const char *row_start;
};

py::dict section_titles() {
    static const char *const titles[] = {
        "标题清晰度与点击意愿分析", "五点卖点表达优化分析", "图片购买疑问解决能力分析", "A+ 内容信任增强分析",
        "买家评论高频夸赞与抱怨分析", "最高评分竞品完整对比分析", "最优先修改项综合判断",
    };
    py::dict table = pysem::steal_as<py::dict>(PyDict_New());
    long number = 1;
    for (const char *title : titles) table[pysem::steal(PyLong_FromLong(number++))] = py::str(title);
    return table;
}

py::dict subsection_titles() {
    static const std::initializer_list<const char *> sections[] = {
        {"当前标题内容", "问题逐项分析", "建议优化标题", "优化核心逻辑总结"},
        {"当前五点内容", "问题逐项分析", "建议优化五点", "优化核心逻辑总结"},
        {"当前图片整体问题", "问题逐项分析", "优化优先级总结", "优化核心逻辑总结"},
        {"当前A+内容整体问题", "问题逐项分析", "优化优先级总结", "优化核心逻辑总结"},
        {"评价整体总结分析", "问题逐项分析", "优化优先级总结", "优化核心逻辑总结"},
        {"产品定位", "核心参数全面对比", "卖点优劣势对比", "评论口碑关键对比", "竞品差距与机会点", "综合结论"},
        {"核心问题定位", "最优先修改原因", "总体执行修改方案", "优化核心逻辑总结"},
    };
    py::dict table = pysem::steal_as<py::dict>(PyDict_New());
    long section = 1;
    for (const auto &titles : sections) {
        py::dict numbered = pysem::steal_as<py::dict>(PyDict_New());
        long subsection = 1;
        for (const char *title : titles) numbered[pysem::steal(PyLong_FromLong(subsection++))] = py::str(title);
        table[pysem::steal(PyLong_FromLong(section++))] = numbered;
    }
    return table;
}

py::dict table_schemas() {
    static const schema_row rows[] = {
        {1, 2, {"问题类型", "具体问题", "问题依据", "建议修改"}, "issue", nullptr},
        {1, 4, {"逻辑维度", "说明"}, "fixed", nullptr},
        {2, 2, {"五点序号", "问题类型", "具体问题", "问题依据", "建议修改方向"}, "row_start",
         R"re(^(?:第\s*\d+\s*点|Bullet\s*#?\d+|缺失)$)re"},
        {3, 2, {"图片序号", "目标", "具体问题", "核心依据", "优化方案"}, "row_start",
         R"re(^(?:图|图片|主图|Image)\s*#?\d+|^图\d+)re"},
        {3, 3, {"优先级", "图片序号", "核心价值"}, "priority", nullptr},
        {4, 2, {"模块", "目标", "具体问题", "核心依据", "优化方案"}, "row_start",
         R"re(^(?:模块|Module|[A-Za-z0-9+ ]+模块))re"},
        {4, 3, {"优先级", "优化项", "预期效果"}, "priority", nullptr},
        {5, 1, {"维度", "数据"}, "summary_pairs", nullptr},
        {5, 2, {"问题类型", "风险等级", "影响范围", "评论依据", "产品页面现状", "优化方案"}, "issue", nullptr},
        {5, 3, {"优先级", "优化项", "预期效果"}, "priority", nullptr},
        {7, 2, {"问题维度", "影响范围", "具体分析", "建议方案"}, "issue", nullptr},
    };
    py::dict table = pysem::steal_as<py::dict>(PyDict_New());
    for (const schema_row &row : rows) {
        py::list headers = pysem::steal_as<py::list>(PyList_New(0));
        for (const char *header : row.headers) headers.append(py::str(header));
        py::dict schema = pysem::steal_as<py::dict>(PyDict_New());
        schema[PYSEM_LIT("headers")] = headers;
        schema[PYSEM_LIT("mode")] = py::str(row.mode);
        if (row.row_start) schema[PYSEM_LIT("row_start")] = py::str(row.row_start);
        py::object section = pysem::steal(PyLong_FromLong(row.section));
        py::object subsection = pysem::steal(PyLong_FromLong(row.subsection));
        table[pysem::steal(PyTuple_Pack(2, section.ptr(), subsection.ptr()))] = schema;
    }
    return table;
}

// Telvara's methods, in the order of their definition.
void define_methods(py::handle cls) {
    using pysem::method;
    namespace o = official;
    // The defaults the native code gets when a call through the instance
    // leaves them out are the headers' own.
    static_assert(o::kFindLineStart == 0 && o::kShortValueLimit == 80);
    pysem::define(cls, {
        method<&impl::format_data>("format_data(data)"),
        method<&impl::_is_diagnosis_report>("_is_diagnosis_report(answers, questions)"),
        method<&impl::_format_structured_diagnosis_report>("_format_structured_diagnosis_report(data, report)"),
        method<&impl::_normalize_structured_sections>("_normalize_structured_sections(value)"),
        method<&impl::_normalize_structured_subsections>("_normalize_structured_subsections(value)"),
        method<&impl::_render_structured_subsection>(
            "_render_structured_subsection(section_index, subsection_index, subsection)"),
        method<&impl::_render_structured_table>("_render_structured_table(table, section_index, subsection_index)"),
        method<&impl::_headers_from_structured_rows>("_headers_from_structured_rows(rows)"),
        method<&impl::_render_structured_blocks>("_render_structured_blocks(blocks)"),
        method<&impl::_render_structured_block>("_render_structured_block(block)"),
        method<&impl::_render_structured_value>("_render_structured_value(value)"),
        method<&impl::_structured_item_text>("_structured_item_text(item)"),
        method<&impl::_int_value>("_int_value(value, default)"),
        method<&impl::_extract_questions>("_extract_questions(data)"),
        method<&impl::_normalize_question_list>("_normalize_question_list(raw_questions)"),
        method<&impl::_question_at>("_question_at(questions, index)"),
        method<&o::format_official_report>("_format_official_report(data, answers, questions)"),
        method<&o::format_diagnosis_answer>("_format_diagnosis_answer(question_index, answer)"),
        method<&o::answer_text>("_answer_text(index, answer)"),
        method<&o::normalize_answer_markdown>("_normalize_answer_markdown(text)"),
        method<&o::split_numbered_sections>("_split_numbered_sections(text)"),
        method<&o::infer_diagnosis_sections>("_infer_diagnosis_sections(question_index, text)"),
        method<&o::infer_title_sections>("_infer_title_sections(lines)"),
        method<&o::infer_bullet_sections>("_infer_bullet_sections(lines)"),
        method<&o::infer_image_sections>("_infer_image_sections(lines)"),
        method<&o::infer_aplus_sections>("_infer_aplus_sections(lines)"),
        method<&o::infer_review_sections>("_infer_review_sections(lines)"),
        method<&o::infer_competitor_sections>("_infer_competitor_sections(lines)"),
        method<&o::infer_overall_sections>("_infer_overall_sections(lines)"),
        method<&o::collect_marker_groups>("_collect_marker_groups(lines, pattern)"),
        method<&o::find_line>("_find_line(lines, pattern, start=0)"),
        method<&o::extract_after_marker>("_extract_after_marker(lines, start, end, marker)"),
        method<&o::guess_title_lines>("_guess_title_lines(lines)"),
        method<&o::strip_marker_lines>("_strip_marker_lines(lines, patterns)"),
        method<&o::strip_bullets>("_strip_bullets(lines)"),
        method<&o::to_pair_lines>("_to_pair_lines(lines, *, default_key)"),
        method<&o::chunk_value>("_chunk_value(chunk, label)"),
        method<&o::table_key_values>("_table_key_values(lines)"),
        method<&o::summary_from_suggestions>("_summary_from_suggestions(lines)"),
        method<&o::short_value>("_short_value(value, limit=80)"),
        method<&o::normalize_content_lines>("_normalize_content_lines(text)"),
        method<&o::render_diagnosis_subsection>("_render_diagnosis_subsection(question_index, section_index, lines)"),
        method<&o::drop_intro_and_headers>("_drop_intro_and_headers(question_index, section_index, lines)"),
        method<&o::drop_known_headers>("_drop_known_headers(lines, headers)"),
        method<&o::render_schema_table>("_render_schema_table(schema, lines)"),
        method<&o::parse_schema_rows>("_parse_schema_rows(schema, lines)"),
        method<&o::parse_row_start_rows>("_parse_row_start_rows(lines, width, row_start)"),
        method<&o::parse_fixed_rows>("_parse_fixed_rows(lines, width, *, last_cell_continues)"),
        method<&o::parse_summary_pairs>("_parse_summary_pairs(lines)"),
        method<&o::looks_like_next_row_start>("_looks_like_next_row_start(line, remaining_count, width)"),
        method<&impl::_pad_row>("_pad_row(row, width)"),
        method<&impl::_markdown_table>("_markdown_table(headers, rows)"),
        method<&impl::_md_cell>("_md_cell(value)"),
        method<&o::render_title_content>("_render_title_content(lines)"),
        method<&o::render_optimized_title>("_render_optimized_title(lines)"),
        method<&o::render_bullet_content>("_render_bullet_content(lines)"),
        method<&o::render_summary_bullets>("_render_summary_bullets(lines)"),
        method<&o::looks_like_summary_heading>("_looks_like_summary_heading(line)"),
        method<&o::render_plain_lines>("_render_plain_lines(lines)"),
        method<&impl::_trim_blank>("_trim_blank(lines)"),
        method<&impl::_format_section>("_format_section(index, answer, question)"),
        method<&impl::_format_answer_body>("_format_answer_body(index, answer)"),
        method<&impl::_format_product_links>("_format_product_links(raw_links)"),
        method<&impl::_format_recommended_asins>("_format_recommended_asins(raw_items)"),
        method<&impl::_format_link_items>("_format_link_items(raw_items, *, include_source)"),
        method<&impl::_build_answer_blocks>("_build_answer_blocks(text, structured_blocks)"),
        method<&impl::_build_structured_answer_blocks>("_build_structured_answer_blocks(structured_blocks)"),
        method<&impl::_normalize_structured_row>("_normalize_structured_row(block)"),
        method<&impl::_normalize_row_cells>("_normalize_row_cells(row, width)"),
        method<&impl::_build_text_fallback_blocks>("_build_text_fallback_blocks(text)"),
        method<&impl::_to_structured_blocks>("_to_structured_blocks(blocks)"),
        method<&impl::_render_blocks>("_render_blocks(blocks)"),
        method<&impl::_normalize_text_lines>("_normalize_text_lines(text)"),
        method<&impl::_parse_markdown_heading>("_parse_markdown_heading(line)"),
        method<&impl::_parse_markdown_list_item>("_parse_markdown_list_item(line)"),
        method<&impl::_parse_markdown_table>("_parse_markdown_table(lines, start_index)"),
        method<&impl::_parse_pipe_row>("_parse_pipe_row(line)"),
        method<&impl::_is_markdown_delimiter_row>("_is_markdown_delimiter_row(cells)"),
        method<&impl::_collapse_blank_lines>("_collapse_blank_lines(text)"),
    });
}

// What the module imports, bound in its namespace; the methods' patterns are
// compiled from `re` once.
void register_imports(py::module_ &m) {
    pysem::bind_imports(m, {{"re", nullptr}, {"typing", "Any"}});
    make_state();
    state().ns.bind(m);
}

// The three questionnaire tables, in the order of their building.
void register_tables(py::module_ &m) {
    m.attr("DIAGNOSIS_SECTION_TITLES") = section_titles();
    m.attr("DIAGNOSIS_SUBSECTIONS") = subsection_titles();
    m.attr("DIAGNOSIS_TABLE_SCHEMAS") = table_schemas();
}

// A plain class, as a class statement makes it: no base of its own, no
// constructor arguments, no state.
void register_report_class(py::module_ &m) {
    py::object cls = pysem::make_class(m, "Telvara", "将 Rufus 全量结果投影为前端风格的终端报告。");
    define_methods(cls);
    m.attr("Telvara") = cls;
}

} // namespace
} // namespace telvara

PELORIN_MODULE(telvara, m) {
    m.doc() = "Amazon Rufus 答案报告格式化服务。";
    telvara::register_imports(m);
    telvara::register_tables(m);
    telvara::register_report_class(m);
}
