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
    state_t &st = state();
    py::object answer = is_mapping(answer_arg) ? py::reinterpret_borrow<py::object>(answer_arg) : new_dict();

    py::list lines = new_list();
    append(lines, cat("## ", st.t_question_no, index, st.t_question_heading_tail, question));
    auto sub_section = [&](py::handle heading, py::handle body) {
        append(lines, st.t_empty);
        append(lines, heading);
        append(lines, st.t_empty);
        extend(lines, body);
    };

    py::object links = TV_CALL(_format_product_links, get(answer, st.k_productLinks));
    if (truthy(links)) sub_section(st.t_related_products, links);

    py::str summary = pysem::field_text(answer, st.k_summaryText);
    // The body method takes only a plain mapping; a derived one is copied.
    py::object body = TV_CALL(_format_answer_body, index, plain(answer));
    bool has_summary = PyUnicode_GET_LENGTH(summary.ptr()) != 0;
    if (truthy(body)) {
        sub_section(st.t_answer_heading, body);
    } else if (!has_summary) {
        py::list none = new_list();
        append(none, cat(st.t_question_no, index, st.t_no_answer_tail));
        sub_section(st.t_answer_heading, none);
    }

    py::object recommended = TV_CALL(_format_recommended_asins, get(answer, st.k_recommendedAsins));
    if (truthy(recommended)) sub_section(st.t_recommended_asins, recommended);

    if (has_summary) {
        py::list one = new_list();
        append(one, summary);
        sub_section(st.t_summary_heading, one);
    }
    return join(st.t_lf, lines);
}

inline py::object _format_answer_body(py::handle self, py::handle index_arg, py::handle answer_arg) {
    pysem::int_arg(index_arg, "index");
    py::dict answer = pysem::exact_dict(answer_arg, "answer");
    state_t &st = state();
    py::str text = pysem::field_text(answer, st.k_text);
    if (get(answer, st.k_isSuccess).ptr() == Py_False && PyUnicode_GET_LENGTH(text.ptr()) == 0) return new_list();
    py::object blocks = TV_CALL(_build_answer_blocks, text, get(answer, st.k_blocks));
    return TV_CALL(_render_blocks, blocks);
}

inline py::object link_items(py::handle self, py::handle raw_items, bool include_source) {
    if (is_direct(self, m__format_link_items))
        return _format_link_items(self, raw_items, include_source ? Py_True : Py_False);
    return self.attr(state().names[m__format_link_items])(raw_items, py::arg("include_source") = include_source);
}

inline py::object _format_product_links(py::handle self, py::handle raw_links) {
    return link_items(self, raw_links, false);
}

inline py::object _format_recommended_asins(py::handle self, py::handle raw_items) {
    return link_items(self, raw_items, true);
}

inline py::object _format_link_items(py::handle, py::handle raw_items, py::handle include_source_arg) {
    bool include_source = truthy(include_source_arg);
    py::list lines = new_list();
    if (!is_list(raw_items)) return lines;
    state_t &st = state();
    auto nonempty = [](py::handle text) { return PyUnicode_GET_LENGTH(text.ptr()) != 0; };
    for_each(raw_items, [&](py::object item) {
        if (is_text(item)) {
            py::str text = strip(item);
            if (nonempty(text)) append(lines, cat("- ", text));
            return;
        }
        if (!is_mapping(item)) return;
        py::str asin = pysem::field_text(item, st.k_asin);
        py::str title = pysem::field_text(item, st.k_title);
        py::str href = pysem::field_text(item, st.k_href);
        if (!nonempty(title)) title = href;
        py::str source = pysem::field_text(item, st.k_source);
        py::str description = pysem::field_text(item, st.k_description);

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

inline py::dict text_block(py::handle text) {
    state_t &st = state();
    py::dict block = new_dict();
    set_item(block, st.k_type, st.k_text);
    set_item(block, st.k_text, text);
    return block;
}

inline py::object _build_answer_blocks(py::handle self, py::handle text_arg, py::handle structured_blocks) {
    py::str text = pysem::exact_str(text_arg, "text");
    if (is_list(structured_blocks) && truthy(structured_blocks)) {
        // The builder takes only a plain list; a derived one is copied.
        py::object blocks = TV_CALL(_build_structured_answer_blocks, plain(structured_blocks));
        if (truthy(blocks)) return blocks;
    }
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return new_list();
    py::object kind_blocks = TV_CALL(_build_text_fallback_blocks, text);
    py::object structured = TV_CALL(_to_structured_blocks, kind_blocks);
    py::object blocks = TV_CALL(_build_structured_answer_blocks, structured);
    if (truthy(blocks)) return blocks;
    py::list single = new_list();
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
    state_t &st = state();
    py::list out = new_list();
    py::list list_buffer = new_list();
    py::list table_rows = new_list();

    auto flush_list = [&] {
        if (PyList_GET_SIZE(list_buffer.ptr()) == 0) return;
        py::dict block = new_dict();
        set_item(block, st.k_type, st.v_list);
        set_item(block, st.k_items, list_buffer);
        append(out, block);
        list_buffer = new_list();
    };
    auto flush_table = [&] {
        Py_ssize_t count = PyList_GET_SIZE(table_rows.ptr());
        if (count == 0) return;
        if (count == 1) {
            // One row alone never becomes a table.
            append(out, text_block(join(st.t_cell_sep, PyList_GET_ITEM(table_rows.ptr(), 0))));
        } else {
            py::object header = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(table_rows.ptr(), 0));
            py::int_ width = to_int(length(header));
            py::list rows = new_list();
            for (Py_ssize_t i = 1; i < count; ++i)
                append(rows, TV_CALL(_normalize_row_cells, PyList_GET_ITEM(table_rows.ptr(), i), width));
            py::dict block = new_dict();
            set_item(block, st.k_type, st.k_table);
            set_item(block, st.k_header, header);
            set_item(block, st.k_rows, rows);
            append(out, block);
        }
        table_rows = new_list();
    };

    for_each(structured_blocks, [&](py::object element) {
        if (!is_mapping(element)) return;
        py::object type = get(element, st.k_type);
        py::str text = pysem::field_text(element, st.k_text);
        bool has_text = PyUnicode_GET_LENGTH(text.ptr()) != 0;
        bool is_row = text_equals(type, st.v_table_row);
        if (!has_text && !is_row) return;
        if (text_equals(type, st.v_heading)) {
            flush_list();
            flush_table();
            py::object level = get(element, st.k_level);
            long long value = PyLong_Check(level.ptr()) ? clamp_int(level, 1, 6) : 2;
            py::dict block = new_dict();
            set_item(block, st.k_type, st.v_heading);
            set_item(block, st.k_text, text);
            set_item(block, st.k_level, to_int(value));
            append(out, block);
        } else if (text_equals(type, st.v_paragraph)) {
            flush_list();
            flush_table();
            append(out, text_block(text));
        } else if (text_equals(type, st.v_list_item)) {
            flush_table();
            append(list_buffer, text);
        } else if (is_row) {
            flush_list();
            // The row reader takes only a plain mapping; a derived one is copied.
            py::object row = TV_CALL(_normalize_structured_row, plain(element));
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
    state_t &st = state();
    py::object cells = get(block, st.k_cells);
    if (is_list(cells) && truthy(cells)) {
        py::list row = new_list();
        for_each(cells, [&](py::object cell) { append(row, truthy(cell) ? strip(text_form(cell)) : st.t_empty); });
        return row;
    }
    py::object text = get(block, st.k_text);
    return TV_CALL(_parse_pipe_row, truthy(text) ? py::object(text_form(text)) : py::object(st.t_empty));
}

inline py::object _normalize_row_cells(py::handle, py::handle row_arg, py::handle width_arg) {
    py::list row = pysem::exact_list(row_arg, "row");
    long long width = pysem::int_arg_ll(width_arg, "width");
    Py_ssize_t n = PyList_GET_SIZE(row.ptr());
    if (n == width) return row;
    if (n < width) return padded_copy(row, n, width);
    return folded_copy(row, n, width, state().t_cell_sep, false);
}

inline py::object _to_structured_blocks(py::handle, py::handle blocks_arg) {
    py::list blocks = pysem::exact_list(blocks_arg, "blocks");
    state_t &st = state();
    py::list out = new_list();
    auto structured = [&](py::handle type, py::handle text) {
        py::dict block = new_dict();
        set_item(block, st.k_type, type);
        set_item(block, st.k_text, text);
        append(out, block);
        return block;
    };
    auto table_row = [&](py::handle cells) {
        py::dict block = structured(st.v_table_row, join(st.t_cell_sep, cells));
        set_item(block, st.k_cells, cells);
    };
    for_each(blocks, [&](py::object block) {
        py::object kind = get(block, st.k_kind);
        if (text_equals(kind, st.v_heading)) {
            py::dict made = structured(st.v_heading, get_or(block, st.k_text, st.t_empty));
            set_item(made, st.k_level, get_or(block, st.k_level, to_int(2)));
        } else if (text_equals(kind, st.v_list_item)) {
            structured(st.v_list_item, get_or(block, st.k_text, st.t_empty));
        } else if (text_equals(kind, st.k_table)) {
            py::object header = get(block, st.k_header);
            if (!is_list(header)) header = new_list();
            py::object rows = get(block, st.k_rows);
            if (!is_list(rows)) rows = new_list();
            table_row(header);
            for_each(rows, [&](py::object row) {
                if (is_list(row)) table_row(row);
            });
        } else {
            structured(st.v_paragraph, get_or(block, st.k_text, st.t_empty));
        }
    });
    return out;
}

inline py::object _render_blocks(py::handle, py::handle blocks_arg) {
    py::list blocks = pysem::exact_list(blocks_arg, "blocks");
    state_t &st = state();
    py::list lines = new_list();
    auto table_line = [&](py::handle cells) {
        text_builder line;
        line.ascii("| ");
        bool first = true;
        for_each(cells, [&](py::object cell) {
            if (!first) line.ascii(" | ");
            first = false;
            line.add_form(cell);
        });
        append(lines, line.ascii(" |").finish());
    };
    for_each(blocks, [&](py::object block) {
        if (PyList_GET_SIZE(lines.ptr()) != 0) append(lines, st.t_empty);
        py::object type = get(block, st.k_type);
        if (text_equals(type, st.v_heading)) {
            py::object level = get(block, st.k_level);
            long long value = PyLong_Check(level.ptr()) ? clamp_int(level, -1, 4) + 2 : 4;
            text_builder line;
            line.repeat('#', value).ch(' ').add_form(get_or(block, st.k_text, st.t_empty));
            append(lines, strip(line.finish()));
        } else if (text_equals(type, st.v_list)) {
            for_each(get_or(block, st.k_items, new_list()), [&](py::object item) {
                append(lines, cat("- ", item));
            });
        } else if (text_equals(type, st.k_table)) {
            py::list header = new_list();
            for_each(get_or(block, st.k_header, new_list()), [&](py::object cell) { append(header, text_form(cell)); });
            py::object rows = get_or(block, st.k_rows, new_list());
            Py_ssize_t width = PyList_GET_SIZE(header.ptr());
            if (width == 0) return;
            table_line(header);
            append(lines, delimiter_line(width));
            for_each(rows, [&](py::object row) {
                if (is_list(row)) table_line(row);
            });
        } else {
            py::str text = pysem::field_text(block, st.k_text);
            if (PyUnicode_GET_LENGTH(text.ptr()) != 0) append(lines, text);
        }
    });
    return lines;
}

} // namespace telvara::impl
