// The question-and-answer report: one section per answer, built from its
// links, its display blocks (from structured blocks or from the prose) and
// its summary.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"

namespace telvara::impl {

// ---------------------------------------------------------------------------
// Sections

inline py::object _format_section(py::handle self, py::handle index_arg, py::handle answer_arg,
                                  py::handle question_arg) {
    py::int_ index = pysem::int_arg(index_arg, "index");
    py::str question = pysem::exact_str(question_arg, "question");
    py::object answer = is_mapping(answer_arg) ? py::reinterpret_borrow<py::object>(answer_arg) : py::dict();

    py::list lines;
    append(lines, cat("## ", PYSEM_LIT("第 "), index, PYSEM_LIT(" 题："), question));
    auto sub_section = [&](py::handle heading, py::handle body) {
        append(lines, PYSEM_LIT(""));
        append(lines, heading);
        append(lines, PYSEM_LIT(""));
        extend(lines, body);
    };

    py::object links = via<_format_product_links>(self, get(answer, PYSEM_LIT("productLinks")));
    if (truthy(links)) sub_section(PYSEM_LIT("### 相关产品"), links);

    py::str summary = pysem::field_text(answer, PYSEM_LIT("summaryText"));
    // The body method takes only a plain mapping; a derived one is copied.
    py::object body = via<_format_answer_body>(self, index, plain(answer));
    bool has_summary = PyUnicode_GET_LENGTH(summary.ptr()) != 0;
    if (truthy(body)) {
        sub_section(PYSEM_LIT("### 答案"), body);
    } else if (!has_summary) {
        py::list none;
        append(none, cat(PYSEM_LIT("第 "), index, PYSEM_LIT(" 题未获取到答案")));
        sub_section(PYSEM_LIT("### 答案"), none);
    }

    py::object recommended = via<_format_recommended_asins>(self, get(answer, PYSEM_LIT("recommendedAsins")));
    if (truthy(recommended)) sub_section(PYSEM_LIT("### 推荐 ASIN"), recommended);

    if (has_summary) {
        py::list one;
        append(one, summary);
        sub_section(PYSEM_LIT("### 总结"), one);
    }
    return join(PYSEM_LIT("\n"), lines);
}

inline py::object _format_answer_body(py::handle self, py::handle index_arg, py::handle answer_arg) {
    pysem::int_arg(index_arg, "index");
    py::dict answer = pysem::exact_dict(answer_arg, "answer");
    py::str text = pysem::field_text(answer, PYSEM_LIT("text"));
    if (get(answer, PYSEM_LIT("isSuccess")).ptr() == Py_False && PyUnicode_GET_LENGTH(text.ptr()) == 0) return py::list();
    py::object blocks = via<_build_answer_blocks>(self, text, get(answer, PYSEM_LIT("blocks")));
    return via<_render_blocks>(self, blocks);
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
        py::str asin = pysem::field_text(item, PYSEM_LIT("asin"));
        // Only an empty value falls back to the address: a title of blanks
        // is a title, and trims to nothing.
        py::object raw_title = get(item, PYSEM_LIT("title"));
        py::str href = pysem::field_text(item, PYSEM_LIT("href"));
        py::str title = truthy(raw_title) ? strip(text_form(raw_title)) : href;
        py::str source = pysem::field_text(item, PYSEM_LIT("source"));
        py::str description = pysem::field_text(item, PYSEM_LIT("description"));

        text_builder label;
        if (nonempty(asin)) label.add(asin);
        if (nonempty(title)) {
            if (label.size()) label.ascii(" - ");
            label.add(title);
        }
        if (include_source && nonempty(source)) {
            if (label.size()) label.ch(' ');
            label.ch('(').add(source).ch(')');
        }
        if (label.size()) append(lines, cat("- ", label.finish()));
        if (nonempty(href)) append(lines, cat("  ", href));
        if (nonempty(description)) append(lines, cat("  ", description));
    });
    return lines;
}

// ---------------------------------------------------------------------------
// Display blocks

inline py::dict text_block(py::handle text) { return make_dict({{PYSEM_LIT("type"), PYSEM_LIT("text")}, {PYSEM_LIT("text"), text}}); }

inline py::object _build_answer_blocks(py::handle self, py::handle text_arg, py::handle structured_blocks) {
    py::str text = pysem::exact_str(text_arg, "text");
    if (is_list(structured_blocks) && truthy(structured_blocks)) {
        // The builder takes only a plain list; a derived one is copied.
        py::object blocks = via<_build_structured_answer_blocks>(self, plain(structured_blocks));
        if (truthy(blocks)) return blocks;
    }
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return py::list();
    py::object kind_blocks = via<_build_text_fallback_blocks>(self, text);
    py::object structured = via<_to_structured_blocks>(self, kind_blocks);
    py::object blocks = via<_build_structured_answer_blocks>(self, structured);
    if (truthy(blocks)) return blocks;
    py::list single;
    append(single, text_block(strip(text)));
    return single;
}

// max(low, min(high, value)) for an integer object of any size.
inline long long clamp_int(py::handle value, long long low, long long high) {
    long long v = pysem::clamp_ll(value);
    return v < low ? low : (v > high ? high : v);
}

inline py::object _build_structured_answer_blocks(py::handle self, py::handle structured_blocks_arg) {
    py::list structured_blocks = pysem::exact_list(structured_blocks_arg, "structured_blocks");
    py::list out;
    py::list list_buffer;
    py::list table_rows;

    auto flush_list = [&] {
        if (PyList_GET_SIZE(list_buffer.ptr()) == 0) return;
        append(out, make_dict({{PYSEM_LIT("type"), PYSEM_LIT("list")}, {PYSEM_LIT("items"), list_buffer}}));
        list_buffer = py::list();
    };
    auto flush_table = [&] {
        Py_ssize_t count = PyList_GET_SIZE(table_rows.ptr());
        if (count == 0) return;
        if (count == 1) {
            // One row alone never becomes a table.
            append(out, text_block(join(PYSEM_LIT(" | "), PyList_GET_ITEM(table_rows.ptr(), 0))));
        } else {
            py::object header = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(table_rows.ptr(), 0));
            py::int_ width(length(header));
            py::list rows;
            for (Py_ssize_t i = 1; i < count; ++i)
                append(rows, via<_normalize_row_cells>(self, PyList_GET_ITEM(table_rows.ptr(), i), width));
            append(out, make_dict({{PYSEM_LIT("type"), PYSEM_LIT("table")}, {PYSEM_LIT("header"), header}, {PYSEM_LIT("rows"), rows}}));
        }
        table_rows = py::list();
    };

    for_each(structured_blocks, [&](py::object element) {
        if (!is_mapping(element)) return;
        py::object type = get(element, PYSEM_LIT("type"));
        py::str text = pysem::field_text(element, PYSEM_LIT("text"));
        bool has_text = PyUnicode_GET_LENGTH(text.ptr()) != 0;
        bool is_row = text_equals(type, PYSEM_LIT("table_row"));
        if (!has_text && !is_row) return;
        if (text_equals(type, PYSEM_LIT("heading"))) {
            flush_list();
            flush_table();
            py::object level = get(element, PYSEM_LIT("level"));
            long long value = PyLong_Check(level.ptr()) ? clamp_int(level, 1, 6) : 2;
            append(out, make_dict({{PYSEM_LIT("type"), PYSEM_LIT("heading")}, {PYSEM_LIT("text"), text}, {PYSEM_LIT("level"), py::int_(value)}}));
        } else if (text_equals(type, PYSEM_LIT("paragraph"))) {
            flush_list();
            flush_table();
            append(out, text_block(text));
        } else if (text_equals(type, PYSEM_LIT("list_item"))) {
            flush_table();
            append(list_buffer, text);
        } else if (is_row) {
            flush_list();
            // The row reader takes only a plain mapping; a derived one is copied.
            py::object row = via<_normalize_structured_row>(self, plain(element));
            if (truthy(row)) {
                append(table_rows, row);
            } else if (has_text) {
                flush_table();
                append(out, text_block(text));
            }
        }
    });
    flush_list();
    flush_table();
    return out;
}

inline py::object _normalize_structured_row(py::handle self, py::handle block_arg) {
    py::dict block = pysem::exact_dict(block_arg, "block");
    py::object cells = get(block, PYSEM_LIT("cells"));
    if (is_list(cells) && truthy(cells)) {
        py::list row;
        for_each(cells, [&](py::object cell) { append(row, truthy(cell) ? strip(text_form(cell)) : PYSEM_LIT("")); });
        return row;
    }
    py::object text = get(block, PYSEM_LIT("text"));
    return via<_parse_pipe_row>(self, truthy(text) ? py::object(text_form(text)) : py::object(PYSEM_LIT("")));
}

inline py::object _normalize_row_cells(py::handle, py::handle row_arg, py::handle width_arg) {
    py::list row = pysem::exact_list(row_arg, "row");
    long long width = pysem::int_arg_ll(width_arg, "width");
    Py_ssize_t n = PyList_GET_SIZE(row.ptr());
    if (n == width) return row;
    if (n < width) return padded_copy(row, n, width);
    return folded_copy(row, n, width, PYSEM_LIT(" | "), false);
}

inline py::object _to_structured_blocks(py::handle, py::handle blocks_arg) {
    py::list blocks = pysem::exact_list(blocks_arg, "blocks");
    py::list out;
    auto structured = [&](py::handle type, py::handle text) {
        append(out, make_dict({{PYSEM_LIT("type"), type}, {PYSEM_LIT("text"), text}}));
    };
    auto table_row = [&](py::handle cells) {
        append(out, make_dict({{PYSEM_LIT("type"), PYSEM_LIT("table_row")}, {PYSEM_LIT("text"), join(PYSEM_LIT(" | "), cells)},
                             {PYSEM_LIT("cells"), cells}}));
    };
    for_each(blocks, [&](py::object block) {
        py::object kind = get(block, PYSEM_LIT("kind"));
        if (text_equals(kind, PYSEM_LIT("heading"))) {
            append(out, make_dict({{PYSEM_LIT("type"), PYSEM_LIT("heading")},
                                 {PYSEM_LIT("text"), get_or(block, PYSEM_LIT("text"), PYSEM_LIT(""))},
                                 {PYSEM_LIT("level"), get_or(block, PYSEM_LIT("level"), py::int_(2))}}));
        } else if (text_equals(kind, PYSEM_LIT("list_item"))) {
            structured(PYSEM_LIT("list_item"), get_or(block, PYSEM_LIT("text"), PYSEM_LIT("")));
        } else if (text_equals(kind, PYSEM_LIT("table"))) {
            py::object header = get(block, PYSEM_LIT("header"));
            if (!is_list(header)) header = py::list();
            py::object rows = get(block, PYSEM_LIT("rows"));
            if (!is_list(rows)) rows = py::list();
            table_row(header);
            for_each(rows, [&](py::object row) {
                if (is_list(row)) table_row(row);
            });
        } else {
            structured(PYSEM_LIT("paragraph"), get_or(block, PYSEM_LIT("text"), PYSEM_LIT("")));
        }
    });
    return out;
}

inline py::object _render_blocks(py::handle, py::handle blocks_arg) {
    py::list blocks = pysem::exact_list(blocks_arg, "blocks");
    py::list lines;
    auto table_line = [&](py::handle cells) {
        append(lines, pipe_line(cells, [](text_builder &line, py::handle cell) { line.add_form(cell); }));
    };
    for_each(blocks, [&](py::object block) {
        if (PyList_GET_SIZE(lines.ptr()) != 0) append(lines, PYSEM_LIT(""));
        py::object type = get(block, PYSEM_LIT("type"));
        if (text_equals(type, PYSEM_LIT("heading"))) {
            py::object level = get(block, PYSEM_LIT("level"));
            long long value = PyLong_Check(level.ptr()) ? clamp_int(level, -1, 4) + 2 : 4;
            text_builder line;
            line.repeat('#', value).ch(' ').add_form(get_or(block, PYSEM_LIT("text"), PYSEM_LIT("")));
            append(lines, strip(line.finish()));
        } else if (text_equals(type, PYSEM_LIT("list"))) {
            for_each(get_or(block, PYSEM_LIT("items"), py::list()), [&](py::object item) {
                append(lines, cat("- ", item));
            });
        } else if (text_equals(type, PYSEM_LIT("table"))) {
            py::list header;
            for_each(get_or(block, PYSEM_LIT("header"), py::list()),
                     [&](py::object cell) { append(header, text_form(cell)); });
            py::object rows = get_or(block, PYSEM_LIT("rows"), py::list());
            Py_ssize_t width = PyList_GET_SIZE(header.ptr());
            if (width == 0) return;
            table_line(header);
            append(lines, delimiter_line(width));
            for_each(rows, [&](py::object row) {
                if (is_list(row)) table_line(row);
            });
        } else {
            py::str text = pysem::field_text(block, PYSEM_LIT("text"));
            if (PyUnicode_GET_LENGTH(text.ptr()) != 0) append(lines, text);
        }
    });
    return lines;
}

} // namespace telvara::impl
