// Markdown reports from Amazon Rufus results.
//
// One stateless class, Telvara. Every method takes `self` and calls the
// others through the instance, so that patches and subclass overrides apply.
#include "common/pysem.hpp"

#include "amazon_rufus/services/telvara_official.hpp"

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_markdown.hpp"
#include "amazon_rufus/services/telvara_answers.hpp"
#include "amazon_rufus/services/telvara_structured.hpp"
#include "amazon_rufus/services/telvara_entry.hpp"

namespace telvara {
struct Telvara {};

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
    state_t &st = state();
    py::dict table;
    for (const schema_row &row : rows) {
        py::list headers;
        for (const char *header : row.headers) headers.append(py::str(header));
        py::dict schema;
        schema[st.k_headers] = headers;
        schema[st.v_mode] = py::str(row.mode);
        if (row.row_start) schema[st.v_row_start] = py::str(row.row_start);
        table[py::make_tuple(row.section, row.subsection)] = schema;
    }
    return table;
}

void load_state(py::module_ &m) {
    state_storage().call_once_and_store_result([] { return state_t(); });
    state_t &st = state();
    st.ns.bind(m);
    py::object re = m.attr("re");
    st.heading_match = re.attr("compile")(R"re(^(#{1,6})\s+(.*)$)re").attr("match");
    st.unordered_match = re.attr("compile")(R"re(^([-*•])\s+(.*)$)re").attr("match");
    st.ordered_match = re.attr("compile")(R"re(^\d+[.)]\s+(.*)$)re").attr("match");
    st.whitespace_sub = re.attr("compile")(R"re(\s+)re").attr("sub");
}

// What the class holds under each of its own method names, once they are all
// defined; see is_direct().
void record_originals(py::handle cls) {
    state_t &st = state();
    for (int i = 0; i < method_count; ++i) {
        PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), st.names[i].ptr());
        st.originals[i] = py::reinterpret_borrow<py::object>(found);
    }
}

template <class Class> void bind_methods(Class &cls) {
    using py::arg;
    using O = py::object;
    cls.def("format_data", [](O self, O data) { return impl::format_data(self, data); }, arg("data"));
    cls.def(
        "_is_diagnosis_report",
        [](O self, O answers, O questions) { return impl::_is_diagnosis_report(self, answers, questions); },
        arg("answers"), arg("questions"));
    cls.def(
        "_format_structured_diagnosis_report",
        [](O self, O data, O report) { return impl::_format_structured_diagnosis_report(self, data, report); },
        arg("data"), arg("report"));
    cls.def("_normalize_structured_sections",
            [](O self, O value) { return impl::_normalize_structured_sections(self, value); }, arg("value"));
    cls.def("_normalize_structured_subsections",
            [](O self, O value) { return impl::_normalize_structured_subsections(self, value); }, arg("value"));
    cls.def(
        "_render_structured_subsection",
        [](O self, O section_index, O subsection_index, O subsection) {
            return impl::_render_structured_subsection(self, section_index, subsection_index, subsection);
        },
        arg("section_index"), arg("subsection_index"), arg("subsection"));
    cls.def(
        "_render_structured_table",
        [](O self, O table, O section_index, O subsection_index) {
            return impl::_render_structured_table(self, table, section_index, subsection_index);
        },
        arg("table"), arg("section_index"), arg("subsection_index"));
    cls.def("_headers_from_structured_rows",
            [](O self, O rows) { return impl::_headers_from_structured_rows(self, rows); }, arg("rows"));
    cls.def("_render_structured_blocks", [](O self, O blocks) { return impl::_render_structured_blocks(self, blocks); },
            arg("blocks"));
    cls.def("_render_structured_block", [](O self, O block) { return impl::_render_structured_block(self, block); },
            arg("block"));
    cls.def("_render_structured_value", [](O self, O value) { return impl::_render_structured_value(self, value); },
            arg("value"));
    cls.def("_structured_item_text", [](O self, O item) { return impl::_structured_item_text(self, item); },
            arg("item"));
    cls.def("_int_value", [](O self, O value, O fallback) { return impl::_int_value(self, value, fallback); },
            arg("value"), arg("default"));
    cls.def("_extract_questions", [](O self, O data) { return impl::_extract_questions(self, data); }, arg("data"));
    cls.def("_normalize_question_list",
            [](O self, O raw_questions) { return impl::_normalize_question_list(self, raw_questions); },
            arg("raw_questions"));
    cls.def("_question_at", [](O self, O questions, O index) { return impl::_question_at(self, questions, index); },
            arg("questions"), arg("index"));
    cls.def("_pad_row", [](O self, O row, O width) { return impl::_pad_row(self, row, width); }, arg("row"),
            arg("width"));
    cls.def("_markdown_table", [](O self, O headers, O rows) { return impl::_markdown_table(self, headers, rows); },
            arg("headers"), arg("rows"));
    cls.def("_md_cell", [](O self, O value) { return impl::_md_cell(self, value); }, arg("value"));
    cls.def("_trim_blank", [](O self, O lines) { return impl::_trim_blank(self, lines); }, arg("lines"));
    cls.def(
        "_format_section",
        [](O self, O index, O answer, O question) { return impl::_format_section(self, index, answer, question); },
        arg("index"), arg("answer"), arg("question"));
    cls.def("_format_answer_body", [](O self, O index, O answer) { return impl::_format_answer_body(self, index, answer); },
            arg("index"), arg("answer"));
    cls.def("_format_product_links", [](O self, O raw_links) { return impl::_format_product_links(self, raw_links); },
            arg("raw_links"));
    cls.def("_format_recommended_asins",
            [](O self, O raw_items) { return impl::_format_recommended_asins(self, raw_items); }, arg("raw_items"));
    cls.def(
        "_format_link_items",
        [](O self, O raw_items, O include_source) { return impl::_format_link_items(self, raw_items, include_source); },
        arg("raw_items"), py::kw_only(), arg("include_source"));
    cls.def(
        "_build_answer_blocks",
        [](O self, O text, O structured_blocks) { return impl::_build_answer_blocks(self, text, structured_blocks); },
        arg("text"), arg("structured_blocks"));
    cls.def(
        "_build_structured_answer_blocks",
        [](O self, O structured_blocks) { return impl::_build_structured_answer_blocks(self, structured_blocks); },
        arg("structured_blocks"));
    cls.def("_normalize_structured_row", [](O self, O block) { return impl::_normalize_structured_row(self, block); },
            arg("block"));
    cls.def("_normalize_row_cells", [](O self, O row, O width) { return impl::_normalize_row_cells(self, row, width); },
            arg("row"), arg("width"));
    cls.def("_build_text_fallback_blocks",
            [](O self, O text) { return impl::_build_text_fallback_blocks(self, text); }, arg("text"));
    cls.def("_to_structured_blocks", [](O self, O blocks) { return impl::_to_structured_blocks(self, blocks); },
            arg("blocks"));
    cls.def("_render_blocks", [](O self, O blocks) { return impl::_render_blocks(self, blocks); }, arg("blocks"));
    cls.def("_normalize_text_lines", [](O self, O text) { return impl::_normalize_text_lines(self, text); },
            arg("text"));
    cls.def("_parse_markdown_heading", [](O self, O line) { return impl::_parse_markdown_heading(self, line); },
            arg("line"));
    cls.def("_parse_markdown_list_item", [](O self, O line) { return impl::_parse_markdown_list_item(self, line); },
            arg("line"));
    cls.def(
        "_parse_markdown_table",
        [](O self, O lines, O start_index) { return impl::_parse_markdown_table(self, lines, start_index); },
        arg("lines"), arg("start_index"));
    cls.def("_parse_pipe_row", [](O self, O line) { return impl::_parse_pipe_row(self, line); }, arg("line"));
    cls.def("_is_markdown_delimiter_row",
            [](O self, O cells) { return impl::_is_markdown_delimiter_row(self, cells); }, arg("cells"));
    cls.def("_collapse_blank_lines", [](O self, O text) { return impl::_collapse_blank_lines(self, text); },
            arg("text"));
}

} // namespace
} // namespace telvara

PYBIND11_MODULE(telvara, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Amazon Rufus 答案报告格式化服务。";

    m.attr("re") = py::module_::import("re");
    m.attr("Any") = py::module_::import("typing").attr("Any");
    telvara::load_state(m);
    m.attr("DIAGNOSIS_SECTION_TITLES") = telvara::section_titles();
    m.attr("DIAGNOSIS_SUBSECTIONS") = telvara::subsection_titles();
    m.attr("DIAGNOSIS_TABLE_SCHEMAS") = telvara::table_schemas();

    py::class_<telvara::Telvara> cls(m, "Telvara", "将 Rufus 全量结果投影为前端风格的终端报告。", py::dynamic_attr());
    cls.def(py::init<>());
    telvara::bind_methods(cls);
    telvara::record_originals(cls);
    telvara::bind_official(m, cls);
}
