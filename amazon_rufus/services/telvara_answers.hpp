// The question-and-answer report: one section per answer, built from its
// links, its display blocks (from structured blocks or from the prose) and
// its summary.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_markdown.hpp"

namespace telvara::impl {

inline blocks_or_object answer_blocks(py::handle self, py::handle text, py::handle structured);
template <class Input> py::list block_lines(const Input &blocks);

// ---------------------------------------------------------------------------
// Sections

// The lines of one answer's section (the rules of _format_section), joined
// with LF into `lines`.
inline void write_section(py::handle self, py::handle index_arg, py::handle answer_arg, py::handle question_arg,
                          joined &lines) {
    py::int_ index = pysem::int_arg(index_arg, "index");
    py::str question = pysem::exact_str(question_arg, "question");
    py::object answer = is_mapping(answer_arg) ? py::reinterpret_borrow<py::object>(answer_arg) : py::dict();

    lines.add(cat("## ", PYSEM_LIT("第 "), index, PYSEM_LIT(" 题："), question));
    auto sub_section = [&](py::handle heading) {
        lines.add(PYSEM_LIT(""));
        lines.add(heading);
        lines.add(PYSEM_LIT(""));
    };

    py::object links = via<_format_product_links>(self, get(answer, PYSEM_LIT("productLinks")));
    if (truthy(links)) {
        sub_section(PYSEM_LIT("### 相关产品"));
        lines.add_all(links);
    }

    py::str summary = field_text(answer, PYSEM_LIT("summaryText"));
    // The body method takes only a plain mapping; a derived one is copied.
    py::object body = via<_format_answer_body>(self, index, plain(answer));
    bool has_summary = PyUnicode_GET_LENGTH(summary.ptr()) != 0;
    if (truthy(body)) {
        sub_section(PYSEM_LIT("### 答案"));
        lines.add_all(body);
    } else if (!has_summary) {
        sub_section(PYSEM_LIT("### 答案"));
        lines.add(cat(PYSEM_LIT("第 "), index, PYSEM_LIT(" 题未获取到答案")));
    }

    py::object recommended = via<_format_recommended_asins>(self, get(answer, PYSEM_LIT("recommendedAsins")));
    if (truthy(recommended)) {
        sub_section(PYSEM_LIT("### 推荐 ASIN"));
        lines.add_all(recommended);
    }

    if (has_summary) {
        sub_section(PYSEM_LIT("### 总结"));
        lines.add(summary);
    }
}

inline py::object _format_section(py::handle self, py::handle index_arg, py::handle answer_arg,
                                  py::handle question_arg) {
    text_builder out;
    joined lines(out, "\n");
    write_section(self, index_arg, answer_arg, question_arg, lines);
    lines.end();
    return out.finish();
}

inline py::object _format_answer_body(py::handle self, py::handle index_arg, py::handle answer_arg) {
    pysem::int_arg(index_arg, "index");
    py::dict answer = pysem::exact_dict(answer_arg, "answer");
    py::str text = field_text(answer, PYSEM_LIT("text"));
    if (get(answer, PYSEM_LIT("isSuccess")).ptr() == Py_False && PyUnicode_GET_LENGTH(text.ptr()) == 0) return py::list();
    py::object structured = get(answer, PYSEM_LIT("blocks"));
    if (!is_direct<_build_answer_blocks>(self))
        return via<_render_blocks>(self, through<_build_answer_blocks>(self, text, structured));
    // The display blocks reach no caller while both methods are the class's own.
    blocks_or_object blocks = answer_blocks(self, text, structured);
    if (!is_direct<_render_blocks>(self)) return through<_render_blocks>(self, blocks.as_object());
    return blocks.object ? block_lines(pysem::exact_list(blocks.object, "blocks")) : block_lines(blocks.own);
}

inline py::object _format_product_links(py::handle self, py::handle raw_links) {
    return via<_format_link_items>(self, raw_links, keyword{"include_source", Py_False});
}

inline py::object _format_recommended_asins(py::handle self, py::handle raw_items) {
    return via<_format_link_items>(self, raw_items, keyword{"include_source", Py_True});
}

inline py::object _format_link_items(py::handle, py::handle raw_items, py::handle include_source_arg) {
    bool include_source = truthy(include_source_arg);
    py::list lines;
    if (!is_list(raw_items)) return lines;
    auto nonempty = [](py::handle text) { return PyUnicode_GET_LENGTH(text.ptr()) != 0; };
    for_each(raw_items, [&](py::object item) {
        if (is_text(item)) {
            py::str text = strip(item);
            if (nonempty(text)) append(lines, cat("- ", text));
            return;
        }
        if (!is_mapping(item)) return;
        py::str asin = field_text(item, PYSEM_LIT("asin"));
        // Only an empty value falls back to the address: a title of blanks
        // is a title, and trims to nothing.
        py::object raw_title = get(item, PYSEM_LIT("title"));
        py::str href = field_text(item, PYSEM_LIT("href"));
        py::str title = truthy(raw_title) ? strip(text_form(raw_title)) : href;
        py::str source = field_text(item, PYSEM_LIT("source"));
        py::str description = field_text(item, PYSEM_LIT("description"));

        // "- " and the label, written after the prefix.
        text_builder line;
        line.ascii("- ");
        auto has_label = [&] { return line.size() > 2; };
        if (nonempty(asin)) line.add(asin);
        if (nonempty(title)) {
            if (has_label()) line.ascii(" - ");
            line.add(title);
        }
        if (include_source && nonempty(source)) {
            if (has_label()) line.ch(' ');
            line.ch('(').add(source).ch(')');
        }
        if (has_label()) append(lines, line.finish());
        if (nonempty(href)) append(lines, cat("  ", href));
        if (nonempty(description)) append(lines, cat("  ", description));
    });
    return lines;
}

// ---------------------------------------------------------------------------
// Display blocks
//
// Each step (text fallback, structured answer blocks, display blocks, lines)
// is written once, over blocks: its method hands it the blocks of a list and
// makes dicts of what it returns; an answer whose steps are all the class's
// own passes its blocks from step to step as they are.

inline block text_block(py::handle text) { return {{PYSEM_LIT("type"), PYSEM_LIT("text")}, {PYSEM_LIT("text"), text}}; }

// max(low, min(high, value)) for an integer object of any size.
inline long long clamp_int(py::handle value, long long low, long long high) {
    long long v = pysem::clamp_ll(value);
    return v < low ? low : (v > high ? high : v);
}

// The trimmed field text of a value read from a block: "" for an empty one.
inline py::str field_value(py::handle value) { return truthy(value) ? strip(text_form(value)) : PYSEM_LIT(""); }

// One step, through the instance: `logic` on the blocks while `Method` is the
// class's own (a list is checked as the method checks its argument `arg`),
// else the method's own result.
template <auto Method, class Logic>
blocks_or_object step(py::handle self, const blocks_or_object &in, const char *arg, Logic &&logic) {
    if (!is_direct<Method>(self)) return {{}, through<Method>(self, in.as_object())};
    if (in.object) return {logic(pysem::exact_list(in.object, arg)), {}};
    return {logic(in.own), {}};
}

// The cells of a table row (the rules of _normalize_structured_row).
inline py::object row_cells(py::handle self, const block &element) {
    py::object cells = element.get(PYSEM_LIT("cells"));
    if (is_list(cells) && truthy(cells)) {
        py::list row;
        for_each(cells, [&](py::object cell) { append(row, field_value(cell)); });
        return row;
    }
    py::object text = element.get(PYSEM_LIT("text"));
    return via<_parse_pipe_row>(self, truthy(text) ? py::object(text_form(text)) : py::object(PYSEM_LIT("")));
}

// self._normalize_structured_row(element), a mapping from elsewhere copied
// plain first.
inline py::object structured_row(py::handle self, const block &element) {
    if (!element.own()) return via<_normalize_structured_row>(self, plain(element.foreign()));
    if (is_direct<_normalize_structured_row>(self)) return row_cells(self, element);
    return through<_normalize_structured_row>(self, element.object());
}

// The display blocks of structured answer blocks (the rules of
// _build_structured_answer_blocks).
template <class Input> std::vector<block> display_blocks(py::handle self, const Input &input) {
    std::vector<block> out;
    py::list list_buffer;
    // The rows are gathered here, out of Python's reach: the row fitter
    // (an override, or a row's __len__) may run any code, and a Python list
    // of them could be found and changed meanwhile through the collector.
    std::vector<py::object> table_rows;

    auto flush_list = [&] {
        if (PyList_GET_SIZE(list_buffer.ptr()) == 0) return;
        out.push_back({{PYSEM_LIT("type"), PYSEM_LIT("list")}, {PYSEM_LIT("items"), list_buffer}});
        list_buffer = py::list();
    };
    auto flush_table = [&] {
        if (table_rows.empty()) return;
        std::vector<py::object> gathered = std::move(table_rows);
        table_rows = {};
        if (gathered.size() == 1) {
            // One row alone never becomes a table.
            out.push_back(text_block(join(PYSEM_LIT(" | "), gathered[0])));
            return;
        }
        const py::object &header = gathered[0];
        py::int_ width(length(header));
        py::list rows;
        for (size_t i = 1; i < gathered.size(); ++i) append(rows, via<_normalize_row_cells>(self, gathered[i], width));
        out.push_back({{PYSEM_LIT("type"), PYSEM_LIT("table")}, {PYSEM_LIT("header"), header}, {PYSEM_LIT("rows"), rows}});
    };

    each_block(input, [&](const block &element) {
        if (!element.is_mapping()) return;
        py::object type = element.get(PYSEM_LIT("type"));
        py::str text = field_value(element.get(PYSEM_LIT("text")));
        bool has_text = PyUnicode_GET_LENGTH(text.ptr()) != 0;
        bool is_row = text_equals(type, PYSEM_LIT("table_row"));
        if (!has_text && !is_row) return;
        if (text_equals(type, PYSEM_LIT("heading"))) {
            flush_list();
            flush_table();
            py::object level = element.get(PYSEM_LIT("level"));
            long long value = PyLong_Check(level.ptr()) ? clamp_int(level, 1, 6) : 2;
            out.push_back({{PYSEM_LIT("type"), PYSEM_LIT("heading")}, {PYSEM_LIT("text"), text}, {PYSEM_LIT("level"), py::int_(value)}});
        } else if (text_equals(type, PYSEM_LIT("paragraph"))) {
            flush_list();
            flush_table();
            out.push_back(text_block(text));
        } else if (text_equals(type, PYSEM_LIT("list_item"))) {
            flush_table();
            append(list_buffer, text);
        } else if (is_row) {
            flush_list();
            py::object row = structured_row(self, element);
            if (truthy(row)) {
                table_rows.push_back(std::move(row));
            } else if (has_text) {
                flush_table();
                out.push_back(text_block(text));
            }
        }
    });
    flush_list();
    flush_table();
    return out;
}

// The structured answer blocks of kind blocks (the rules of _to_structured_blocks).
template <class Input> std::vector<block> structured_blocks(const Input &input) {
    std::vector<block> out;
    auto table_row = [&](py::handle cells) {
        out.push_back({{PYSEM_LIT("type"), PYSEM_LIT("table_row")}, {PYSEM_LIT("text"), join(PYSEM_LIT(" | "), cells)},
                       {PYSEM_LIT("cells"), cells}});
    };
    each_block(input, [&](const block &b) {
        py::object kind = b.get(PYSEM_LIT("kind"));
        if (text_equals(kind, PYSEM_LIT("heading"))) {
            out.push_back({{PYSEM_LIT("type"), PYSEM_LIT("heading")}, {PYSEM_LIT("text"), b.get_or(PYSEM_LIT("text"), PYSEM_LIT(""))},
                           {PYSEM_LIT("level"), b.get_or(PYSEM_LIT("level"), py::int_(2))}});
        } else if (text_equals(kind, PYSEM_LIT("list_item"))) {
            out.push_back({{PYSEM_LIT("type"), PYSEM_LIT("list_item")}, {PYSEM_LIT("text"), b.get_or(PYSEM_LIT("text"), PYSEM_LIT(""))}});
        } else if (text_equals(kind, PYSEM_LIT("table"))) {
            py::object header = b.get(PYSEM_LIT("header"));
            if (!is_list(header)) header = py::list();
            py::object rows = b.get(PYSEM_LIT("rows"));
            if (!is_list(rows)) rows = py::list();
            table_row(header);
            for_each(rows, [&](py::object row) {
                if (is_list(row)) table_row(row);
            });
        } else {
            out.push_back({{PYSEM_LIT("type"), PYSEM_LIT("paragraph")}, {PYSEM_LIT("text"), b.get_or(PYSEM_LIT("text"), PYSEM_LIT(""))}});
        }
    });
    return out;
}

// The lines of display blocks (the rules of _render_blocks).
template <class Input> py::list block_lines(const Input &blocks) {
    py::list lines;
    auto table_line = [&](py::handle cells) {
        append(lines, pipe_line(cells, [](text_builder &line, py::handle cell) { line.add_form(cell); }));
    };
    each_block(blocks, [&](const block &b) {
        if (PyList_GET_SIZE(lines.ptr()) != 0) append(lines, PYSEM_LIT(""));
        py::object type = b.get(PYSEM_LIT("type"));
        if (text_equals(type, PYSEM_LIT("heading"))) {
            py::object level = b.get(PYSEM_LIT("level"));
            long long value = PyLong_Check(level.ptr()) ? clamp_int(level, -1, 4) + 2 : 4;
            text_builder line;
            line.repeat('#', value).ch(' ').add_form(b.get_or(PYSEM_LIT("text"), PYSEM_LIT("")));
            append(lines, strip(line.finish()));
        } else if (text_equals(type, PYSEM_LIT("list"))) {
            for_each(b.get_or(PYSEM_LIT("items"), py::list()), [&](py::object item) { append(lines, cat("- ", item)); });
        } else if (text_equals(type, PYSEM_LIT("table"))) {
            py::list header;
            for_each(b.get_or(PYSEM_LIT("header"), py::list()), [&](py::object cell) { append(header, text_form(cell)); });
            py::object rows = b.get_or(PYSEM_LIT("rows"), py::list());
            Py_ssize_t width = PyList_GET_SIZE(header.ptr());
            if (width == 0) return;
            table_line(header);
            append(lines, delimiter_line(width));
            for_each(rows, [&](py::object row) {
                if (is_list(row)) table_line(row);
            });
        } else {
            py::str text = field_value(b.get(PYSEM_LIT("text")));
            if (PyUnicode_GET_LENGTH(text.ptr()) != 0) append(lines, text);
        }
    });
    return lines;
}

// The display blocks of an answer (the rules of _build_answer_blocks).
inline blocks_or_object answer_blocks(py::handle self, py::handle text, py::handle structured) {
    auto build = [&](const auto &elements) { return display_blocks(self, elements); };
    if (is_list(structured) && truthy(structured)) {
        // The builder takes only a plain list; a derived one is copied.
        blocks_or_object blocks =
            step<_build_structured_answer_blocks>(self, {{}, plain(structured)}, "structured_blocks", build);
        if (blocks.truthy()) return blocks;
    }
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return {};
    blocks_or_object kinds;
    if (is_direct<_build_text_fallback_blocks>(self)) kinds.own = text_blocks(self, text);
    else kinds.object = through<_build_text_fallback_blocks>(self, text);
    blocks_or_object structured_kinds =
        step<_to_structured_blocks>(self, kinds, "blocks", [](const auto &in) { return structured_blocks(in); });
    blocks_or_object blocks = step<_build_structured_answer_blocks>(self, structured_kinds, "structured_blocks", build);
    if (blocks.truthy()) return blocks;
    blocks_or_object single;
    single.own.push_back(text_block(strip(text)));
    return single;
}

inline py::object _build_answer_blocks(py::handle self, py::handle text_arg, py::handle structured_blocks) {
    py::str text = pysem::exact_str(text_arg, "text");
    return answer_blocks(self, text, structured_blocks).as_object();
}

inline py::object _build_structured_answer_blocks(py::handle self, py::handle structured_blocks_arg) {
    return block_list(display_blocks(self, pysem::exact_list(structured_blocks_arg, "structured_blocks")));
}

inline py::object _normalize_structured_row(py::handle self, py::handle block_arg) {
    return row_cells(self, block::of(pysem::exact_dict(block_arg, "block")));
}

inline py::object _normalize_row_cells(py::handle, py::handle row_arg, py::handle width_arg) {
    py::list row = pysem::exact_list(row_arg, "row");
    long long width = pysem::int_arg_ll(width_arg, "width");
    for (;;) { // measured again when the row changed while its copy was made
        Py_ssize_t n = PyList_GET_SIZE(row.ptr());
        if (n == width) return row;
        if (n > width) return folded_copy(row, n, width, PYSEM_LIT(" | "), false);
        if (py::object out = padded_copy(row, n, width)) return out;
    }
}

inline py::object _to_structured_blocks(py::handle, py::handle blocks_arg) {
    return block_list(structured_blocks(pysem::exact_list(blocks_arg, "blocks")));
}

inline py::object _render_blocks(py::handle, py::handle blocks_arg) {
    return block_lines(pysem::exact_list(blocks_arg, "blocks"));
}

} // namespace telvara::impl
