// Markdown reports from Amazon Rufus results.
//
// One stateless class, Telvara. Every method takes `self` and calls the
// others through the instance, so that patches and subclass overrides apply.
#include "common/pysem.hpp"

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_markdown.hpp"
#include "amazon_rufus/services/telvara_answers.hpp"
#include "amazon_rufus/services/telvara_structured.hpp"
#include "amazon_rufus/services/telvara_entry.hpp"
#include "amazon_rufus/services/telvara_official.hpp"

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
    py::dict table;
    int number = 1;
    for (const char *title : titles) table[py::int_(number++)] = py::str(title);
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
    py::dict table;
    int section = 1;
    for (const auto &titles : sections) {
        py::dict numbered;
        int subsection = 1;
        for (const char *title : titles) numbered[py::int_(subsection++)] = py::str(title);
        table[py::int_(section++)] = numbered;
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
    py::dict table;
    for (const schema_row &row : rows) {
        py::list headers;
        for (const char *header : row.headers) headers.append(py::str(header));
        py::dict schema;
        schema[PYSEM_LIT("headers")] = headers;
        schema[PYSEM_LIT("mode")] = py::str(row.mode);
        if (row.row_start) schema[PYSEM_LIT("row_start")] = py::str(row.row_start);
        table[py::make_tuple(row.section, row.subsection)] = schema;
    }
    return table;
}

template <class Class> void bind_methods(Class &cls) {
    using py::arg;
    define<impl::format_data>(cls, "format_data", arg("data"));
    define<impl::_is_diagnosis_report>(cls, "_is_diagnosis_report", arg("answers"), arg("questions"));
    define<impl::_format_structured_diagnosis_report>(cls, "_format_structured_diagnosis_report",
                                                      arg("data"), arg("report"));
    define<impl::_normalize_structured_sections>(cls, "_normalize_structured_sections", arg("value"));
    define<impl::_normalize_structured_subsections>(cls, "_normalize_structured_subsections", arg("value"));
    define<impl::_render_structured_subsection>(cls, "_render_structured_subsection",
                                                arg("section_index"), arg("subsection_index"), arg("subsection"));
    define<impl::_render_structured_table>(cls, "_render_structured_table",
                                           arg("table"), arg("section_index"), arg("subsection_index"));
    define<impl::_headers_from_structured_rows>(cls, "_headers_from_structured_rows", arg("rows"));
    define<impl::_render_structured_blocks>(cls, "_render_structured_blocks", arg("blocks"));
    define<impl::_render_structured_block>(cls, "_render_structured_block", arg("block"));
    define<impl::_render_structured_value>(cls, "_render_structured_value", arg("value"));
    define<impl::_structured_item_text>(cls, "_structured_item_text", arg("item"));
    define<impl::_int_value>(cls, "_int_value", arg("value"), arg("default"));
    define<impl::_extract_questions>(cls, "_extract_questions", arg("data"));
    define<impl::_normalize_question_list>(cls, "_normalize_question_list", arg("raw_questions"));
    define<impl::_question_at>(cls, "_question_at", arg("questions"), arg("index"));
    define<impl::_pad_row>(cls, "_pad_row", arg("row"), arg("width"));
    define<impl::_markdown_table>(cls, "_markdown_table", arg("headers"), arg("rows"));
    define<impl::_md_cell>(cls, "_md_cell", arg("value"));
    define<impl::_trim_blank>(cls, "_trim_blank", arg("lines"));
    define<impl::_format_section>(cls, "_format_section", arg("index"), arg("answer"), arg("question"));
    define<impl::_format_answer_body>(cls, "_format_answer_body", arg("index"), arg("answer"));
    define<impl::_format_product_links>(cls, "_format_product_links", arg("raw_links"));
    define<impl::_format_recommended_asins>(cls, "_format_recommended_asins", arg("raw_items"));
    define<impl::_format_link_items>(cls, "_format_link_items", arg("raw_items"), py::kw_only(), arg("include_source"));
    define<impl::_build_answer_blocks>(cls, "_build_answer_blocks", arg("text"), arg("structured_blocks"));
    define<impl::_build_structured_answer_blocks>(cls, "_build_structured_answer_blocks", arg("structured_blocks"));
    define<impl::_normalize_structured_row>(cls, "_normalize_structured_row", arg("block"));
    define<impl::_normalize_row_cells>(cls, "_normalize_row_cells", arg("row"), arg("width"));
    define<impl::_build_text_fallback_blocks>(cls, "_build_text_fallback_blocks", arg("text"));
    define<impl::_to_structured_blocks>(cls, "_to_structured_blocks", arg("blocks"));
    define<impl::_render_blocks>(cls, "_render_blocks", arg("blocks"));
    define<impl::_normalize_text_lines>(cls, "_normalize_text_lines", arg("text"));
    define<impl::_parse_markdown_heading>(cls, "_parse_markdown_heading", arg("line"));
    define<impl::_parse_markdown_list_item>(cls, "_parse_markdown_list_item", arg("line"));
    define<impl::_parse_markdown_table>(cls, "_parse_markdown_table", arg("lines"), arg("start_index"));
    define<impl::_parse_pipe_row>(cls, "_parse_pipe_row", arg("line"));
    define<impl::_is_markdown_delimiter_row>(cls, "_is_markdown_delimiter_row", arg("cells"));
    define<impl::_collapse_blank_lines>(cls, "_collapse_blank_lines", arg("text"));
}

// The class lists its methods in the order of their definition, as a class
// statement would, although the two halves bind theirs one after the other.
void order_methods(py::handle cls) {
    static const char *const order[] = {
        "format_data", "_is_diagnosis_report", "_format_structured_diagnosis_report",
        "_normalize_structured_sections", "_normalize_structured_subsections",
        "_render_structured_subsection", "_render_structured_table", "_headers_from_structured_rows",
        "_render_structured_blocks", "_render_structured_block", "_render_structured_value",
        "_structured_item_text", "_int_value", "_extract_questions", "_normalize_question_list",
        "_question_at", "_format_official_report", "_format_diagnosis_answer", "_answer_text",
        "_normalize_answer_markdown", "_split_numbered_sections", "_infer_diagnosis_sections",
        "_infer_title_sections", "_infer_bullet_sections", "_infer_image_sections", "_infer_aplus_sections",
        "_infer_review_sections", "_infer_competitor_sections", "_infer_overall_sections",
        "_collect_marker_groups", "_find_line", "_extract_after_marker", "_guess_title_lines",
        "_strip_marker_lines", "_strip_bullets", "_to_pair_lines", "_chunk_value", "_table_key_values",
        "_summary_from_suggestions", "_short_value", "_normalize_content_lines",
        "_render_diagnosis_subsection", "_drop_intro_and_headers", "_drop_known_headers",
        "_render_schema_table", "_parse_schema_rows", "_parse_row_start_rows", "_parse_fixed_rows",
        "_parse_summary_pairs", "_looks_like_next_row_start", "_pad_row", "_markdown_table", "_md_cell",
        "_render_title_content", "_render_optimized_title", "_render_bullet_content",
        "_render_summary_bullets", "_looks_like_summary_heading", "_render_plain_lines", "_trim_blank",
        "_format_section", "_format_answer_body", "_format_product_links", "_format_recommended_asins",
        "_format_link_items", "_build_answer_blocks", "_build_structured_answer_blocks",
        "_normalize_structured_row", "_normalize_row_cells", "_build_text_fallback_blocks",
        "_to_structured_blocks", "_render_blocks", "_normalize_text_lines", "_parse_markdown_heading",
        "_parse_markdown_list_item", "_parse_markdown_table", "_parse_pipe_row", "_is_markdown_delimiter_row",
        "_collapse_blank_lines"
    };
    py::object members = cls.attr("__dict__");
    for (const char *name : order) {
        py::object method = members[name];
        if (PyObject_DelAttrString(cls.ptr(), name) < 0 || PyObject_SetAttrString(cls.ptr(), name, method.ptr()) < 0)
            throw py::error_already_set();
    }
}

} // namespace
} // namespace telvara

PYBIND11_MODULE(telvara, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Amazon Rufus 答案报告格式化服务。";

    m.attr("re") = py::module_::import("re");
    m.attr("Any") = py::module_::import("typing").attr("Any");
    telvara::make_state();
    telvara::state().ns.bind(m);
    m.attr("DIAGNOSIS_SECTION_TITLES") = telvara::section_titles();
    m.attr("DIAGNOSIS_SUBSECTIONS") = telvara::subsection_titles();
    m.attr("DIAGNOSIS_TABLE_SCHEMAS") = telvara::table_schemas();

    // A plain class, as a class statement makes it: no base of its own, no
    // constructor arguments, no state.
    py::object cls = pysem::make_class(m, "Telvara", "将 Rufus 全量结果投影为前端风格的终端报告。");
    telvara::bind_methods(cls);
    telvara::bind_official(cls);
    telvara::order_methods(cls);
    telvara::record_originals(cls);
    m.attr("Telvara") = cls;
}
