// The structured listing diagnosis, rendered from a report object that holds
// numbered sections and subsections: the report frame, then per subsection a
// table, report blocks or a plain value.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_markdown.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

namespace telvara::impl {

// ---------------------------------------------------------------------------
// Report frame

// "模块" and the number: the title of a section or subsection that has none.
inline py::str module_title(py::handle number) { return cat(PYSEM_LIT("模块"), number); }

inline py::object _format_structured_diagnosis_report(py::handle self, py::handle data_arg, py::handle report_arg) {
    py::dict data = pysem::exact_dict(data_arg, "data");
    py::dict report = pysem::exact_dict(report_arg, "report");
    State &st = state();

    py::object asin = get(report, PYSEM_LIT("asin"));
    if (!truthy(asin)) asin = get(data, PYSEM_LIT("asin"));
    if (!truthy(asin)) asin = PYSEM_LIT("UNKNOWN");
    py::object shown = upper(strip(text_form(asin)));
    if (!truthy(shown)) shown = PYSEM_LIT("UNKNOWN");

    py::object sections = via<_normalize_structured_sections>(self, get(report, PYSEM_LIT("sections")));
    if (!truthy(sections)) return PYSEM_LIT("");

    py::object section_titles = st.ns["DIAGNOSIS_SECTION_TITLES"];
    py::object subsection_titles = st.ns["DIAGNOSIS_SUBSECTIONS"];
    report_lines lines(self);
    lines.add(cat("# ASIN ", shown, PYSEM_LIT(" Listing 优化诊断报告")));
    lines.add(PYSEM_LIT(""));

    Py_ssize_t count = length(sections);
    Py_ssize_t position = 0;
    for_each(sections, [&](py::object section) {
        ++position;
        py::object number = via<_int_value>(self, get(section, PYSEM_LIT("index")), py::int_(position));
        py::object title = get(section, PYSEM_LIT("title"));
        if (!truthy(title)) title = get(section_titles, number);
        if (!truthy(title)) title = module_title(number);
        lines.add(cat("## ", number, ". ", strip(text_form(title))));
        lines.add(PYSEM_LIT(""));

        py::object raw = either(section, {PYSEM_LIT("subsections"), PYSEM_LIT("subSections"), PYSEM_LIT("children")});
        py::object subsections = via<_normalize_structured_subsections>(self, raw);
        py::object titles = get(subsection_titles, number);
        Py_ssize_t sub_position = 0;
        for_each(subsections, [&](py::object subsection) {
            ++sub_position;
            py::object sub_number = via<_int_value>(self, get(subsection, PYSEM_LIT("index")), py::int_(sub_position));
            py::object sub_title = get(subsection, PYSEM_LIT("title"));
            if (!truthy(sub_title) && !titles.is_none()) sub_title = get(titles, sub_number);
            if (!truthy(sub_title)) sub_title = module_title(sub_number);
            lines.add(cat("### ", sub_number, PYSEM_LIT("、"), strip(text_form(sub_title))));
            lines.add(PYSEM_LIT(""));
            // The renderer takes only a plain mapping; a derived one is copied.
            py::object body = via<_render_structured_subsection>(self, number, sub_number, plain(subsection));
            if (truthy(body)) lines.add_all(body);
            else lines.add(PYSEM_LIT("无"));
            lines.add(PYSEM_LIT(""));
        });
        if (position < count) {
            lines.add(PYSEM_LIT("---"));
            lines.add(PYSEM_LIT(""));
        }
    });
    return lines.finish();
}

// A new list of the objects, in their order. Its slots are filled once it is
// made, without allocating: a collection started by making it finds no
// empty slot, and no Python code runs while they are filled.
inline py::list list_of(std::vector<py::object> &objects) {
    py::list out = pysem::steal_as<py::list>(PyList_New(static_cast<Py_ssize_t>(objects.size())));
    for (size_t i = 0; i < objects.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), objects[i].release().ptr());
    return out;
}

// One rule for sections and subsections: a list keeps its mappings in order;
// a mapping gives copies numbered from their keys, sorted by number.
inline py::object normalize_numbered(py::handle self, py::handle value) {
    if (is_list(value)) {
        py::list out;
        for_each(value, [&](py::object item) {
            if (is_mapping(item)) append(out, item);
        });
        return out;
    }
    if (!is_mapping(value)) return py::list();
    // The copies are kept here until they are sorted, out of Python's reach:
    // the number method runs between them, and a Python list of them could
    // be found and changed meanwhile through the collector.
    std::vector<py::object> copies;
    for_each_pair(value, [&](py::handle key, py::handle item) {
        if (!is_mapping(item)) return true;
        py::object copy = pysem::steal(PyDict_New());
        if (PyDict_Merge(copy.ptr(), item.ptr(), 1) < 0) pysem::throw_pending();
        py::object number = via<_int_value>(self, key, py::int_(copies.size() + 1));
        if (PyDict_SetDefault(copy.ptr(), PYSEM_LIT("index").ptr(), number.ptr()) == nullptr) pysem::throw_pending();
        copies.push_back(std::move(copy));
        return true;
    });
    // Stable sort on the number: (number, position) pairs never tie. The
    // sort keys are made (running the number method) before the list that
    // holds them, which then never has an empty slot while Python code runs.
    std::vector<py::object> keys;
    keys.reserve(copies.size());
    py::int_ last(9999);
    for (size_t i = 0; i < copies.size(); ++i) {
        py::object number = via<_int_value>(self, get(copies[i], PYSEM_LIT("index")), last);
        keys.push_back(py::make_tuple(number, py::int_(i), copies[i]));
    }
    py::list keyed = list_of(keys);
    if (PyList_Sort(keyed.ptr()) < 0) pysem::throw_pending();
    // The sorted copies are taken out before the result list is made: the
    // sort's comparisons ran Python code, and making a list can collect.
    // A sort refuses a list changed while it sorts, so this one holds the
    // keys; each is read as such all the same.
    std::vector<py::object> sorted;
    sorted.reserve(copies.size());
    for (py::object key : pysem::list_items(keyed)) {
        if (!PyTuple_CheckExact(key.ptr()) || PyTuple_GET_SIZE(key.ptr()) != 3)
            throw py::value_error("list modified during sort");
        sorted.push_back(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(key.ptr(), 2)));
    }
    return list_of(sorted);
}

inline py::object _normalize_structured_sections(py::handle self, py::handle value) {
    return normalize_numbered(self, value);
}

inline py::object _normalize_structured_subsections(py::handle self, py::handle value) {
    return normalize_numbered(self, value);
}

// ---------------------------------------------------------------------------
// Subsection bodies

inline py::object _render_structured_subsection(py::handle self, py::handle section_arg, py::handle subsection_arg,
                                                py::handle subsection_obj) {
    py::int_ section = pysem::int_arg(section_arg, "section_index");
    py::int_ subsection_index = pysem::int_arg(subsection_arg, "subsection_index");
    py::dict subsection = pysem::exact_dict(subsection_obj, "subsection");

    py::object table = get(subsection, PYSEM_LIT("table"));
    if (is_mapping(table)) {
        py::object lines = via<_render_structured_table>(self, plain(table), section, subsection_index);
        if (truthy(lines)) return lines;
    }
    py::object rows = get(subsection, PYSEM_LIT("rows"));
    if (is_list(rows)) {
        py::object lines =
            via<_render_structured_table>(self, make_dict({{PYSEM_LIT("rows"), rows}}), section, subsection_index);
        if (truthy(lines)) return lines;
    }
    py::object blocks = get(subsection, PYSEM_LIT("blocks"));
    if (is_list(blocks)) return via<_trim_blank>(self, via<_render_structured_blocks>(self, plain(blocks)));
    for (py::handle key : {PYSEM_LIT("text"), PYSEM_LIT("content"), PYSEM_LIT("summary")}) {
        py::object lines = via<_render_structured_value>(self, get(subsection, key));
        if (truthy(lines)) return lines;
    }
    return py::list();
}

// The text of a cell: non-empty values in their text form, else empty.
inline py::object cell_text(py::handle value) {
    return truthy(value) ? py::object(text_form(value)) : py::object(PYSEM_LIT(""));
}

inline py::object _render_structured_table(py::handle self, py::handle table_arg, py::handle section_arg,
                                           py::handle subsection_arg) {
    py::dict table = pysem::exact_dict(table_arg, "table");
    py::int_ section = pysem::int_arg(section_arg, "section_index");
    py::int_ subsection = pysem::int_arg(subsection_arg, "subsection_index");
    State &st = state();

    py::object schemas = st.ns["DIAGNOSIS_TABLE_SCHEMAS"]; // read before its key is made (that can collect)
    py::object key = py::make_tuple(section, subsection);
    py::object schema = get(schemas, key);
    py::object schema_headers = schema.is_none() ? py::none() : get(schema, PYSEM_LIT("headers"));
    py::object source = get(table, PYSEM_LIT("headers"));
    if (!(is_list(source) && truthy(source)))
        source = is_list(schema_headers) ? schema_headers : py::object(py::list());

    py::list kept;
    for_each(source, [&](py::object header) {
        py::str text = text_form(header);
        if (!pysem::is_blank(text)) append(kept, text);
    });
    py::object headers = kept;
    py::object rows = get(table, PYSEM_LIT("rows"));
    if (!is_list(rows)) return py::list();
    if (!truthy(headers)) {
        // The header reader takes only a plain list; a derived one is copied.
        headers = via<_headers_from_structured_rows>(self, plain(rows));
        if (!truthy(headers)) return py::list();
    }

    // The cells of every row (texts), all of them read before the table is
    // written, as the rows of cells are made before _markdown_table gets
    // them: reading a cell can run Python code that patches the writer or
    // its steps, and the header line and every row must see that. A table
    // without rows gets a placeholder row.
    std::vector<py::object> cells;
    std::vector<size_t> ends; // where the cells of each row end
    // Room for the cells of a table of the usual size, made once.
    size_t rows_hint = static_cast<size_t>(std::min<Py_ssize_t>(PyList_GET_SIZE(rows.ptr()), 64));
    Py_ssize_t header_count = PyList_Check(headers.ptr()) ? PyList_GET_SIZE(headers.ptr()) : 0;
    size_t width_hint = static_cast<size_t>(std::min<Py_ssize_t>(header_count, 16));
    ends.reserve(rows_hint);
    cells.reserve(rows_hint * (width_hint + 1));
    for_each(rows, [&](py::object row) {
        if (is_mapping(row)) {
            for_each(headers, [&](py::object header) { cells.push_back(cell_text(get(row, header))); });
        } else if (is_list(row)) {
            for_each(row, [&](py::object value) { cells.push_back(cell_text(value)); });
        } else {
            return;
        }
        ends.push_back(cells.size());
    });
    if (ends.empty()) {
        cells.assign(static_cast<size_t>(std::max<Py_ssize_t>(length(headers), 1)), PYSEM_LIT(""));
        cells[0] = PYSEM_LIT("无");
        ends.push_back(cells.size());
    }
    auto row_list = [&](size_t begin, size_t end) {
        py::list row = pysem::steal_as<py::list>(PyList_New(static_cast<Py_ssize_t>(end - begin)));
        for (size_t i = begin; i < end; ++i)
            PyList_SET_ITEM(row.ptr(), static_cast<Py_ssize_t>(i - begin), Py_NewRef(cells[i].ptr()));
        return row;
    };
    if (is_direct<_markdown_table>(self) && PyList_CheckExact(headers.ptr()) && all_texts(headers)) {
        // The table's lines are written row by row: no caller sees the rows'
        // lists, and writing texts runs no Python code.
        py::list lines = table_head(self, headers);
        size_t begin = 0;
        for (size_t end : ends) {
            Py_ssize_t width = PyList_GET_SIZE(headers.ptr()); // as _markdown_table measures it
            if (fits_in_place(self))
                append(lines, fitted_line(static_cast<Py_ssize_t>(end - begin), width,
                                          [&](Py_ssize_t i) { return py::handle(cells[begin + static_cast<size_t>(i)]); }));
            else
                append(lines, table_row_line(self, row_list(begin, end), width));
            begin = end;
        }
        return lines;
    }
    py::list cells_rows;
    size_t begin = 0;
    for (size_t end : ends) {
        append(cells_rows, row_list(begin, end));
        begin = end;
    }
    return via<_markdown_table>(self, headers, cells_rows);
}

inline py::object _headers_from_structured_rows(py::handle, py::handle rows_arg) {
    py::list rows = pysem::exact_list(rows_arg, "rows");
    py::list headers;
    py::object seen = pysem::steal(PySet_New(nullptr));
    for_each(rows, [&](py::object row) {
        if (!is_mapping(row)) return;
        for_each(row, [&](py::object key) {
            py::str text = text_form(key);
            int found = PySet_Contains(seen.ptr(), text.ptr());
            if (found < 0) pysem::throw_pending();
            if (found) return;
            if (PySet_Add(seen.ptr(), text.ptr()) < 0) pysem::throw_pending();
            append(headers, text);
        });
    });
    return headers;
}

inline py::object _render_structured_blocks(py::handle self, py::handle blocks_arg) {
    py::list blocks = pysem::exact_list(blocks_arg, "blocks");
    py::list lines;
    for_each(blocks, [&](py::object block) {
        py::object rendered = via<_render_structured_block>(self, block);
        if (!truthy(rendered)) return;
        Py_ssize_t n = PyList_GET_SIZE(lines.ptr());
        if (n != 0) {
            // Held while compared: its __eq__ may change the list.
            py::object last = item(lines, n - 1);
            if (!equal(last, PYSEM_LIT(""))) append(lines, PYSEM_LIT(""));
        }
        extend(lines, rendered);
    });
    return lines;
}

// The value's text split at every line boundary, for text that is not empty.
inline py::list split_text(py::handle text) { return pysem::split_lines(text); }

// The text of a list item (the rules of _structured_item_text), into `out`.
inline void write_item_text(text_builder &out, py::handle item) {
    if (!is_mapping(item)) {
        out.add(strip(text_form(item)));
        return;
    }
    py::str prefix = either_text(item, {PYSEM_LIT("prefix"), PYSEM_LIT("title")});
    py::str text = either_text(item, {PYSEM_LIT("text"), PYSEM_LIT("content")});
    if (PyUnicode_GET_LENGTH(prefix.ptr()) == 0) {
        out.add(text);
        return;
    }
    // ("**" + prefix + "** " + text).strip(): both are trimmed, so only the
    // blank before an empty text is cut.
    out.ascii("**").add(prefix).ascii("**");
    if (PyUnicode_GET_LENGTH(text.ptr()) != 0) out.ch(' ').add(text);
}

// The block type, trimmed and lower-cased, compared with the known words.
enum class block_kind { paragraph, quote, heading, list, table, bullet, other };

inline block_kind kind_of(py::handle type_text) {
    py::str type = strip(type_text);
    if (!PyUnicode_IS_ASCII(type.ptr()))
        type = pysem::steal_as<py::str>(PyObject_CallMethodNoArgs(type.ptr(), PYSEM_LIT("lower").ptr()));
    if (!PyUnicode_IS_ASCII(type.ptr())) return block_kind::other;
    std::string_view word(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(type.ptr())), PyUnicode_GET_LENGTH(type.ptr()));
    auto is = [&](std::string_view known) {
        if (word.size() != known.size()) return false;
        for (size_t i = 0; i < word.size(); ++i) {
            char c = word[i];
            if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != known[i]) return false;
        }
        return true;
    };
    if (is("paragraph") || is("text")) return block_kind::paragraph;
    if (is("quote")) return block_kind::quote;
    if (is("heading")) return block_kind::heading;
    if (is("list")) return block_kind::list;
    if (is("table")) return block_kind::table;
    if (is("bullet")) return block_kind::bullet;
    return block_kind::other;
}

inline py::object _render_structured_block(py::handle self, py::handle block) {
    pysem::recursion_guard guard(" while rendering a report block");
    if (is_text(block)) {
        py::str text = text_form(block);
        py::list lines = split_text(text);
        if (PyList_GET_SIZE(lines.ptr()) == 0) append(lines, text);
        return lines;
    }
    if (!is_mapping(block)) return py::list();

    py::object type = get(block, PYSEM_LIT("type"));
    switch (kind_of(truthy(type) ? text_form(type) : PYSEM_LIT("paragraph"))) {
    case block_kind::paragraph:
        return via<_render_structured_value>(self, either(block, {PYSEM_LIT("text"), PYSEM_LIT("content"), PYSEM_LIT("value")}));
    case block_kind::quote: {
        py::str text = either_text(block, {PYSEM_LIT("text"), PYSEM_LIT("content")});
        py::list lines;
        if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return lines;
        for_each(split_text(text), [&](py::object line) {
            if (pysem::is_blank(line)) append(lines, PYSEM_LIT(">"));
            else append(lines, cat("> ", line));
        });
        return lines;
    }
    case block_kind::heading: {
        py::object level = via<_int_value>(self, get(block, PYSEM_LIT("level")), py::int_(4));
        long long hashes = clamp_int(level, 1, 6);
        py::str text = either_text(block, {PYSEM_LIT("text"), PYSEM_LIT("title")});
        py::list lines;
        if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return lines;
        text_builder line;
        line.repeat('#', hashes).ch(' ').add(text);
        append(lines, line.finish());
        return lines;
    }
    case block_kind::list: {
        py::object items = get(block, PYSEM_LIT("items"));
        py::list lines;
        if (!is_list(items)) return lines;
        for_each(items, [&](py::object item) {
            if (!is_direct<_structured_item_text>(self)) {
                py::object text = through<_structured_item_text>(self, item);
                if (truthy(text)) append(lines, cat("- ", text));
                return;
            }
            // The item's text is written straight after the "- ".
            text_builder line;
            line.ascii("- ");
            write_item_text(line, item);
            if (line.size() > 2) append(lines, line.finish());
        });
        return lines;
    }
    case block_kind::table:
        // The numbers 0 match no schema: the block's own headers or row keys
        // give the columns. The renderer takes only a plain mapping.
        return via<_render_structured_table>(self, plain(block), py::int_(0), py::int_(0));
    case block_kind::bullet: {
        py::str label = either_text(block, {PYSEM_LIT("label")});
        py::str title = either_text(block, {PYSEM_LIT("title"), PYSEM_LIT("text")});
        py::object body = via<_render_structured_value>(self, either(block, {PYSEM_LIT("body"), PYSEM_LIT("content")}));
        text_builder heading;
        if (PyUnicode_GET_LENGTH(label.ptr())) heading.add(label);
        if (PyUnicode_GET_LENGTH(title.ptr())) {
            if (heading.size()) heading.add(PYSEM_LIT("："));
            heading.add(title);
        }
        py::list lines;
        if (heading.size()) append(lines, cat("#### ", heading.finish()));
        extend(lines, body);
        return lines;
    }
    case block_kind::other:
        break;
    }
    return via<_render_structured_value>(self, either(block, {PYSEM_LIT("text"), PYSEM_LIT("content")}));
}

inline py::object _render_structured_value(py::handle self, py::handle value) {
    pysem::recursion_guard guard(" while rendering a report value");
    py::list lines;
    if (value.is_none()) return lines;
    if (is_list(value)) {
        for_each(value, [&](py::object entry) {
            if (is_mapping(entry)) {
                extend(lines, via<_render_structured_block>(self, entry));
                return;
            }
            py::str text = strip(text_form(entry));
            if (PyUnicode_GET_LENGTH(text.ptr())) append(lines, text);
        });
        return via<_trim_blank>(self, lines);
    }
    py::str text = strip(text_form(value));
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return lines;
    return split_text(text);
}

inline py::object _structured_item_text(py::handle, py::handle item) {
    text_builder out;
    write_item_text(out, item);
    return out.finish();
}

inline py::object _int_value(py::handle, py::handle value, py::handle fallback_arg) {
    py::int_ fallback = pysem::int_arg(fallback_arg, "default");
    // A plain int reads back as itself, unless its text would be too long for
    // the interpreter to write.
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow) return py::reinterpret_borrow<py::object>(value);
    }
    PyObject *text = PyObject_Str(value.ptr());
    PyObject *number = nullptr;
    if (text) {
        py::str trimmed = strip(py::reinterpret_steal<py::str>(text));
        number = PyLong_FromUnicodeObject(trimmed.ptr(), 10);
    }
    if (number) return py::reinterpret_steal<py::object>(number);
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return fallback;
    }
    pysem::throw_pending();
}

} // namespace telvara::impl
