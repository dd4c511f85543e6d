// Inference of the subsections of an answer that numbers none, one method per
// question of the questionnaire, driven by the marker words each answer uses.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_official_intake.hpp"

#include <algorithm>

namespace telvara::official {

// A line that self._find_line found: the index it gave, and that index
// clamped into long long. The index can be anything an override returns, so
// arithmetic on `at` saturates (plus) and clamps to the list's bounds
// (index_of), where a slice of the list reads the same for every index
// beyond them.
struct line_at {
    py::int_ index;
    long long at;
};

inline line_at find(py::handle self, py::handle lines, py::handle pattern) {
    py::int_ index = pysem::int_arg(via<find_line>(self, lines, pattern, py::int_(0)), "start");
    return {index, pysem::clamp_ll(index)};
}

// The search from the line of the marker before, or from 0 when it was not
// found.
inline line_at find(py::handle self, py::handle lines, py::handle pattern, const line_at &from) {
    py::int_ start = from.at >= 0 ? from.index : py::int_(0);
    py::int_ index = pysem::int_arg(via<find_line>(self, lines, pattern, start), "start");
    return {index, pysem::clamp_ll(index)};
}

inline Py_ssize_t index_of(long long i) {
    return static_cast<Py_ssize_t>(std::clamp<long long>(i, PY_SSIZE_T_MIN, PY_SSIZE_T_MAX));
}

inline py::list text_list(std::initializer_list<const char *> items) {
    py::list out;
    for (const char *s : items) append(out, pysem::interned(s));
    return out;
}

inline py::object chunk_field(py::handle self, py::handle chunk, py::handle label) {
    return via<chunk_value>(self, chunk, label);
}

// `a or b or ...` over fields of one group.
inline py::object first_field(py::handle self, py::handle chunk, std::initializer_list<py::handle> labels) {
    py::object value;
    for (py::handle label : labels) {
        value = chunk_field(self, chunk, label);
        if (truthy(value)) break;
    }
    return value;
}

inline py::str priority_label(long long n) { return concat({PYSEM_LIT("P"), decimal(n)}); }

// self._short_value(value), the limit left to the method's own default.
inline py::object short_of(py::handle self, py::handle value) {
    return via<short_value>(self, value, omitted{py::int_(kShortValueLimit)});
}

// ---------------------------------------------------------------------------
// Question 1: title

inline py::dict infer_title_sections(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    line_at title_at = find(self, lines, PYSEM_LIT("当前标题"));
    line_at analysis_at = find(self, lines, PYSEM_LIT("分析结果|问题逐项分析|维度"), title_at);
    line_at suggestion_at = find(self, lines, PYSEM_LIT("综合建议标题|建议优化标题"), analysis_at);
    line_at logic_at = find(self, lines, PYSEM_LIT("优化点说明|优化核心逻辑|优化说明"), suggestion_at);
    long long analysis = analysis_at.at, suggestion = suggestion_at.at, logic = logic_at.at;
    Py_ssize_t n = size(lines);

    py::object current =
        via<extract_after_marker>(self, lines, title_at.index, analysis_at.index, PYSEM_LIT("当前标题"));
    if (!truthy(current)) current = via<guess_title_lines>(self, lines);

    py::list analysis_lines = slice(lines, analysis >= 0 ? index_of(plus(analysis, 1)) : 0,
                                    suggestion >= 0 ? index_of(suggestion) : n);
    py::object issues = via<drop_known_headers>(self, analysis_lines,
                            text_list({"分析结果", "维度", "问题", "依据", "建议改为"}));

    py::list suggested_lines;
    if (suggestion >= 0)
        suggested_lines = slice(lines, index_of(plus(suggestion, 1)), logic >= 0 ? index_of(logic) : n);
    py::object suggested =
        via<strip_marker_lines>(self, suggested_lines, text_list({"综合建议标题", "建议优化标题"}));

    py::object logic_pairs = py::list();
    if (logic >= 0) {
        py::object bare = via<strip_bullets>(self, slice(lines, index_of(plus(logic, 1)), n));
        logic_pairs = via<to_pair_lines>(self, bare, keyword{"default_key", PYSEM_LIT("优化点")});
    }

    py::dict out;
    py::object parts[] = {current, issues, suggested, logic_pairs};
    for (int k = 0; k < 4; ++k)
        if (truthy(parts[k])) out[py::int_(k + 1)] = parts[k];
    return out;
}

// ---------------------------------------------------------------------------
// Question 6: competitor

inline py::dict infer_competitor_sections(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    static const std::initializer_list<const char *> markers = {
        "产品定位", "核心参数|参数全面对比", "卖点优劣势|卖点.*对比", "评论口碑|口碑关键对比", "竞品差距|机会点", "综合结论"};
    py::list all_markers = text_list(markers);
    std::vector<std::pair<long long, int>> found; // (line, number)
    for (int k = 0; k < 6; ++k) {
        long long at = find(self, lines, item(all_markers, k)).at;
        if (at >= 0) found.emplace_back(at, k + 1);
    }
    py::dict out;
    if (found.empty()) return out;
    // By line; markers on one line keep their order, which their numbers
    // (unique, ascending as found) give as the tiebreak.
    std::sort(found.begin(), found.end());
    for (size_t i = 0; i < found.size(); ++i) {
        long long end = i + 1 < found.size() ? found[i + 1].first : size(lines);
        py::list body = slice(lines, index_of(plus(found[i].first, 1)), index_of(end));
        py::object kept = via<strip_marker_lines>(self, body, all_markers);
        if (truthy(kept)) out[py::int_(found[i].second)] = kept;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Question 7: overall

inline py::dict infer_overall_sections(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    long long o = find(self, lines, PYSEM_LIT("^整体$")).at;
    long long p = find(self, lines, PYSEM_LIT("^问题$")).at;
    long long b = find(self, lines, PYSEM_LIT("^依据$")).at;
    long long s = find(self, lines, PYSEM_LIT("^建议改为")).at;
    long long d = find(self, lines, PYSEM_LIT("改动要点|优化核心逻辑")).at;
    Py_ssize_t n = size(lines);
    auto after = [](long long k) { return index_of(plus(k, 1)); };

    py::list core = (o >= 0 && p > o) ? slice(lines, after(o), index_of(p)) : slice(lines, 0, index_of(std::max(p, 1LL)));
    py::list problem = (p >= 0 && b > p) ? slice(lines, after(p), index_of(b)) : py::list();
    py::list basis = (b >= 0 && s > b) ? slice(lines, after(b), index_of(s)) : py::list();
    py::list suggestion = s >= 0 ? slice(lines, after(s), d > s ? index_of(d) : n) : py::list();
    py::list detail = d >= 0 ? slice(lines, after(d), n) : py::list();

    auto joined = [&](py::handle l) { return strip(join(PYSEM_LIT("\n"), l)); };
    py::str problem_text = joined(problem), basis_text = joined(basis), suggestion_text = joined(suggestion);
    py::list reason_parts;
    for (py::str *t : {&problem_text, &basis_text})
        if (length(*t)) append(reason_parts, *t);
    py::list reason = text_list({"最优先修改项", "首屏转化与信息准确性"});
    append(reason, join(PYSEM_LIT("\n"), reason_parts));
    append(reason, suggestion_text);

    py::dict out;
    out[py::int_(1)] = size(core) ? core : problem;
    out[py::int_(2)] = reason;
    out[py::int_(3)] = suggestion;
    out[py::int_(4)] = size(detail) ? detail
                                    : text_list({"优先处理最影响买家快速判断和下单信心的页面信息，先解决描述准确性，再补充场景化与证据型表达。"});
    return out;
}

// ---------------------------------------------------------------------------
// Questions 2, 3 and 4: bullet points, images, A+ modules

struct Group {
    py::object number, marker, body, chunk, start;
};

inline std::vector<Group> marker_groups(py::handle self, py::handle lines, py::handle pattern) {
    std::vector<Group> groups;
    for_each(via<collect_marker_groups>(self, lines, pattern), [&](py::object g) {
        std::vector<py::object> m = unpack(g, 5);
        groups.push_back({m[0], m[1], m[2], m[3], m[4]});
    });
    return groups;
}

inline py::dict four_sections(py::handle a, py::handle b, py::handle c, py::handle d) {
    py::dict out;
    out[py::int_(1)] = a;
    out[py::int_(2)] = b;
    out[py::int_(3)] = c;
    out[py::int_(4)] = d;
    return out;
}

inline py::dict infer_bullet_sections(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    std::vector<Group> groups = marker_groups(
        self, lines,
        PYSEM_LIT(R"re(^(第一点|第二点|第三点|第四点|第五点|第\s*[一二三四五六七八九十\d]+\s*点|Bullet\s*#?\d+)[:：]?\s*(.*)$)re"));
    if (groups.empty()) return py::dict();
    py::list current, issues, suggested;
    for (const Group &g : groups) {
        py::object title = or_else(g.body, g.marker);
        py::object expression = chunk_field(self, g.chunk, PYSEM_LIT("现有表达"));
        py::object problem = chunk_field(self, g.chunk, PYSEM_LIT("问题"));
        if (!truthy(problem))
            problem = strip(join(PYSEM_LIT("\n"), sequence_slice(g.chunk, 0, 2)));
        py::object basis = chunk_field(self, g.chunk, PYSEM_LIT("依据"));
        py::object suggestion = chunk_field(self, g.chunk, PYSEM_LIT("建议改为"));
        py::str number = text_form(g.number);
        py::str title_line = concat({PYSEM_LIT("Bullet "), number, PYSEM_LIT("："), text_form(title)});
        append(current, title_line);
        append(current, expression);
        append(issues, concat({PYSEM_LIT("Bullet "), number}));
        append(issues, PYSEM_LIT("表达与决策路径不匹配"));
        append(issues, problem);
        append(issues, basis);
        append(issues, suggestion);
        append(suggested, title_line);
        append(suggested, suggestion);
    }
    long long summary = find(self, lines, PYSEM_LIT("综合优化|优化优先级|核心逻辑")).at;
    py::object logic;
    if (summary >= 0 && plus(summary, 1) < size(lines))
        logic = slice(lines, index_of(summary + 1), size(lines));
    else
        logic = via<summary_from_suggestions>(self, suggested);
    return four_sections(current, issues, suggested, logic);
}

inline py::object lines_before_first(py::handle lines, const std::vector<Group> &groups) {
    return sequence_slice(lines, 0, index_of(pysem::clamp_ll(pysem::int_arg(groups[0].start, "start"))));
}

// "P" and min(number - 1, 3): a group's priority. A number at the lower
// limit of long long, or below it, is counted down as a Python int.
inline py::str priority_of(py::handle number) {
    py::int_ index = pysem::int_arg(number, "index");
    long long k = pysem::clamp_ll(index);
    if (k > LLONG_MIN) return priority_label(std::min(k - 1, 3LL));
    py::object less_one = pysem::steal(PyNumber_Subtract(index.ptr(), py::int_(1).ptr()));
    return concat({PYSEM_LIT("P"), text_form(less_one)});
}

// Questions 3 and 4 read alike: per marker group one issue row (the item,
// its target, problem, basis and suggestion) and one priority row, the
// closing summary fixed. `item_of` gives a group's item and target.
template <class ItemOf>
py::dict item_sections(py::handle self, py::handle lines_arg, py::handle pattern, ItemOf &&item_of,
                       std::initializer_list<py::handle> suggestion_labels, const char *closing) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    std::vector<Group> groups = marker_groups(self, lines, pattern);
    if (groups.empty()) return py::dict();
    py::object intro = lines_before_first(lines, groups);
    py::list issues, priorities;
    for (const Group &g : groups) {
        auto [name, target] = item_of(g);
        py::object problem = chunk_field(self, g.chunk, PYSEM_LIT("问题"));
        py::object basis = chunk_field(self, g.chunk, PYSEM_LIT("依据"));
        py::object suggestion = first_field(self, g.chunk, suggestion_labels);
        for (py::handle cell : {name, target, problem, basis, suggestion}) append(issues, cell);
        append(priorities, priority_of(g.number));
        append(priorities, name);
        append(priorities, short_of(self, or_else(suggestion, problem)));
    }
    return four_sections(intro, issues, priorities, text_list({closing}));
}

inline py::dict infer_image_sections(py::handle self, py::handle lines_arg) {
    auto image = [](const Group &g) {
        return std::pair{call(state().whitespace_sub, PYSEM_LIT(""), g.marker), or_else(g.body, PYSEM_LIT("图片信息表达"))};
    };
    return item_sections(self, lines_arg, PYSEM_LIT(R"re(^(图\s*\d+)[｜|—\-]?\s*(.*)$)re"), image,
                         {PYSEM_LIT("建议改为"), PYSEM_LIT("优化方案")},
                         "围绕买家决策疑问重建图片顺序：先讲清产品结构，再解释功能细节，最后用尺寸、安装和变体信息降低购买不确定性。");
}

inline py::dict infer_aplus_sections(py::handle self, py::handle lines_arg) {
    auto module = [](const Group &g) {
        py::object name = strip(concat({text_form(g.marker), PYSEM_LIT(" "), text_form(g.body)}));
        return std::pair{name, py::object(PYSEM_LIT("补充关键信息并增强购买信任"))};
    };
    return item_sections(self, lines_arg, PYSEM_LIT(R"re(^(图\s*\d+|模块\s*\d+)[\s—｜|\-]*\s*(.*)$)re"), module,
                         {PYSEM_LIT("建议改为"), PYSEM_LIT("改进建议"), PYSEM_LIT("优化方案")},
                         "A+ 不应只复述参数，应承担场景代入、细节证明和风险消除的作用，让买家在下单前确认尺寸、功能、安装与耐用性。");
}

// ---------------------------------------------------------------------------
// Question 5: reviews

inline py::dict table_key_values(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    State &st = state();
    py::str bar = PYSEM_LIT(" | "), dashes = PYSEM_LIT("---"), item_key = PYSEM_LIT("项目");
    py::dict out;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object cells = via<impl::_parse_pipe_row>(self, item(lines, i));
        if (!truthy(cells) || length(cells) < 2) continue;
        py::str key = strip(as_text(pysem::steal(PyObject_GetItem(cells.ptr(), py::int_(0).ptr()))));
        py::str value = strip(join(bar, sequence_slice(cells, 1, PY_SSIZE_T_MAX)));
        if (!length(key) || equal(key, dashes) || equal(key, item_key) || !length(value)) continue;
        if (!call(st.dashes_match, value).is_none()) continue;
        out[key] = value;
    }
    return out;
}

inline py::dict infer_review_sections(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    std::vector<Group> groups = marker_groups(self, lines, PYSEM_LIT(R"re(^([①②③④⑤⑥⑦⑧⑨]\s*.+)$)re"));
    if (groups.empty()) return py::dict();
    py::str high = PYSEM_LIT("高"), medium = PYSEM_LIT("中"), warning = PYSEM_LIT("⚠"), complaint = PYSEM_LIT("抱怨"),
            negative = PYSEM_LIT("负向");
    py::list summary, analysis, priorities;
    std::vector<std::pair<py::object, py::object>> titled; // (title, suggestion) per group
    long long next_priority = 0;
    for (const Group &g : groups) {
        py::object title = strip(as_text(g.marker));
        py::object table = via<table_key_values>(self, g.chunk);
        py::object review = value_or_empty(table, PYSEM_LIT("评论"));
        py::object problem = value_or_empty(table, PYSEM_LIT("问题"));
        py::object basis = value_or_empty(table, PYSEM_LIT("依据"));
        // "建议" is read only when "建议改为" gives nothing.
        py::object suggestion = lookup(table, PYSEM_LIT("建议改为"));
        if (!suggestion || !truthy(suggestion)) suggestion = value_or_empty(table, PYSEM_LIT("建议"));
        bool risky = contains(title, warning) || contains(join(PYSEM_LIT("\n"), g.chunk), complaint) ||
                     contains(review, negative);
        append(summary, title);
        append(summary, or_else(or_else(review, problem), basis));
        append(analysis, title);
        append(analysis, risky ? high : medium);
        append(analysis, pysem::interned(risky ? "差评与退货风险" : "转化信任与卖点强化"));
        append(analysis, or_else(review, basis));
        append(analysis, problem);
        append(analysis, suggestion);
        titled.emplace_back(title, suggestion);
        if (risky) {
            append(priorities, priority_label(next_priority++));
            append(priorities, title);
            append(priorities, short_of(self, or_else(suggestion, problem)));
        }
    }
    if (size(priorities) == 0) {
        for (size_t k = 0; k < titled.size() && k < 3; ++k) {
            append(priorities, priority_label(static_cast<long long>(k)));
            append(priorities, titled[k].first);
            append(priorities, short_of(self, titled[k].second));
        }
    }
    return four_sections(summary, analysis, priorities,
                         text_list({"评论优化的核心是放大真实优势，同时把已暴露的安装、五金、耐用性和抽屉体验风险提前解释清楚，降低期望落差。"}));
}

} // namespace telvara::official
