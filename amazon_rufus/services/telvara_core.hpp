// Machinery shared by the report methods: the constant texts, the calls
// between methods through the instance, and small text builders.
#pragma once

#include "common/pysem.hpp"

#include <cstring>
#include <initializer_list>

namespace telvara {

// The methods this file set defines, in the order of their definition.
#define TELVARA_OWN_METHODS(X)                                                                     \
    X(format_data)                                                                                 \
    X(_is_diagnosis_report)                                                                        \
    X(_format_structured_diagnosis_report)                                                         \
    X(_normalize_structured_sections)                                                              \
    X(_normalize_structured_subsections)                                                           \
    X(_render_structured_subsection)                                                               \
    X(_render_structured_table)                                                                    \
    X(_headers_from_structured_rows)                                                               \
    X(_render_structured_blocks)                                                                   \
    X(_render_structured_block)                                                                    \
    X(_render_structured_value)                                                                    \
    X(_structured_item_text)                                                                       \
    X(_int_value)                                                                                  \
    X(_extract_questions)                                                                          \
    X(_normalize_question_list)                                                                    \
    X(_question_at)                                                                                \
    X(_pad_row)                                                                                    \
    X(_markdown_table)                                                                             \
    X(_md_cell)                                                                                    \
    X(_trim_blank)                                                                                 \
    X(_format_section)                                                                             \
    X(_format_answer_body)                                                                         \
    X(_format_product_links)                                                                       \
    X(_format_recommended_asins)                                                                   \
    X(_format_link_items)                                                                          \
    X(_build_answer_blocks)                                                                        \
    X(_build_structured_answer_blocks)                                                             \
    X(_normalize_structured_row)                                                                   \
    X(_normalize_row_cells)                                                                        \
    X(_build_text_fallback_blocks)                                                                 \
    X(_to_structured_blocks)                                                                       \
    X(_render_blocks)                                                                              \
    X(_normalize_text_lines)                                                                       \
    X(_parse_markdown_heading)                                                                     \
    X(_parse_markdown_list_item)                                                                   \
    X(_parse_markdown_table)                                                                       \
    X(_parse_pipe_row)                                                                             \
    X(_is_markdown_delimiter_row)                                                                  \
    X(_collapse_blank_lines)

enum method_id : int {
#define TELVARA_ENUM(name) m_##name,
    TELVARA_OWN_METHODS(TELVARA_ENUM)
#undef TELVARA_ENUM
        method_count
};

// Keys read from the input and texts written to the report.
#define TELVARA_TEXTS(X)                                                                           \
    X(k_diagnosis_report, "diagnosis_report")                                                      \
    X(k_diagnosisReport, "diagnosisReport")                                                        \
    X(k_listing_optimization_report, "listing_optimization_report")                                \
    X(k_listingOptimizationReport, "listingOptimizationReport")                                    \
    X(k_answers, "answers")                                                                        \
    X(k_questions, "questions")                                                                    \
    X(k_upload_payload, "upload_payload")                                                          \
    X(k_records, "records")                                                                        \
    X(k_question, "question")                                                                      \
    X(k_answer, "answer")                                                                          \
    X(k_asin, "asin")                                                                              \
    X(k_sections, "sections")                                                                      \
    X(k_index, "index")                                                                            \
    X(k_title, "title")                                                                            \
    X(k_subsections, "subsections")                                                                \
    X(k_subSections, "subSections")                                                                \
    X(k_children, "children")                                                                      \
    X(k_table, "table")                                                                            \
    X(k_rows, "rows")                                                                              \
    X(k_blocks, "blocks")                                                                          \
    X(k_text, "text")                                                                              \
    X(k_content, "content")                                                                        \
    X(k_summary, "summary")                                                                        \
    X(k_headers, "headers")                                                                        \
    X(k_type, "type")                                                                              \
    X(k_value, "value")                                                                            \
    X(k_level, "level")                                                                            \
    X(k_items, "items")                                                                            \
    X(k_label, "label")                                                                            \
    X(k_body, "body")                                                                              \
    X(k_prefix, "prefix")                                                                          \
    X(k_productLinks, "productLinks")                                                              \
    X(k_isSuccess, "isSuccess")                                                                    \
    X(k_summaryText, "summaryText")                                                                \
    X(k_recommendedAsins, "recommendedAsins")                                                      \
    X(k_href, "href")                                                                              \
    X(k_source, "source")                                                                          \
    X(k_description, "description")                                                                \
    X(k_cells, "cells")                                                                            \
    X(k_kind, "kind")                                                                              \
    X(k_header, "header")                                                                          \
    X(k_include_source, "include_source")                                                          \
    X(v_heading, "heading")                                                                        \
    X(v_paragraph, "paragraph")                                                                    \
    X(v_list, "list")                                                                              \
    X(v_list_item, "list_item")                                                                    \
    X(v_table_row, "table_row")                                                                    \
    X(v_mode, "mode")                                                                              \
    X(v_row_start, "row_start")                                                                    \
    X(t_empty, "")                                                                                 \
    X(t_placeholder, "无")                                                                         \
    X(t_rule, "---")                                                                               \
    X(t_lf, "\n")                                                                                  \
    X(t_cell_sep, " | ")                                                                           \
    X(t_section_sep, "\n\n---\n\n")                                                                \
    X(t_unknown, "UNKNOWN")                                                                        \
    X(t_module, "模块")                                                                            \
    X(t_ideographic_comma, "、")                                                                   \
    X(t_fullwidth_colon, "：")                                                                     \
    X(t_report_title_tail, " Listing 优化诊断报告")                                                \
    X(t_question_no, "第 ")                                                                        \
    X(t_question_tail, " 题")                                                                      \
    X(t_question_heading_tail, " 题：")                                                            \
    X(t_no_answer_tail, " 题未获取到答案")                                                         \
    X(t_related_products, "### 相关产品")                                                          \
    X(t_answer_heading, "### 答案")                                                                \
    X(t_recommended_asins, "### 推荐 ASIN")                                                        \
    X(t_summary_heading, "### 总结")                                                               \
    X(n_format_official_report, "_format_official_report")                                        \
    X(n_upper, "upper")                                                                            \
    X(n_lower, "lower")                                                                            \
    X(n_groups, "groups")

struct state_t {
#define TELVARA_MEMBER(id, literal) py::str id;
    TELVARA_TEXTS(TELVARA_MEMBER)
#undef TELVARA_MEMBER
    // Method names, and what the class held under them when it was made: a
    // call goes straight to the native code only while the instance would
    // still find that same object.
    py::str names[method_count];
    py::object originals[method_count];
    // Bound `match` of the compiled patterns, and `sub` of the whitespace run.
    py::object heading_match, unordered_match, ordered_match, whitespace_sub;
    pysem::module_namespace ns;

    state_t() {
#define TELVARA_INIT(id, literal) id = intern(literal);
        TELVARA_TEXTS(TELVARA_INIT)
#undef TELVARA_INIT
        int i = 0;
#define TELVARA_NAME(name) names[i++] = intern(#name);
        TELVARA_OWN_METHODS(TELVARA_NAME)
#undef TELVARA_NAME
    }

    static py::str intern(const char *literal) {
        PyObject *s = PyUnicode_FromString(literal);
        if (!s) throw py::error_already_set();
        PyUnicode_InternInPlace(&s);
        return py::reinterpret_steal<py::str>(s);
    }
};

inline py::gil_safe_call_once_and_store<state_t> &state_storage() {
    static py::gil_safe_call_once_and_store<state_t> storage;
    return storage;
}

inline state_t &state() { return state_storage().get_stored(); }

// ---------------------------------------------------------------------------
// Calls through the instance. `self.name(...)` is what every method does; when
// the lookup would find the class's own native method (nothing patched on the
// class, its bases or the instance, no custom attribute hook), the call goes
// straight to the C++ code, which is the same code the lookup would reach.

inline bool is_direct(py::handle self, method_id m) {
    state_t &st = state();
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject *found = _PyType_Lookup(type, st.names[m].ptr());
    if (!found || found != st.originals[m].ptr()) return false;
    PyObject **dict = _PyObject_GetDictPtr(self.ptr());
    if (dict && *dict && PyDict_GET_SIZE(*dict) != 0) {
        PyObject *own = PyDict_GetItemWithError(*dict, st.names[m].ptr());
        if (own) return false;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return true;
}

// Raw object pointers go over as handles.
inline py::handle call_arg(PyObject *value) { return value; }
template <class T> T &&call_arg(T &&value) { return std::forward<T>(value); }

template <class... Args> py::object call_through(py::handle self, py::handle name, Args &&...args) {
    return self.attr(name)(call_arg(std::forward<Args>(args))...);
}

#define TV_CALL(name, ...)                                                                         \
    (::telvara::is_direct(self, ::telvara::m_##name)                                               \
         ? py::object(::telvara::impl::name(self, __VA_ARGS__))                                    \
         : ::telvara::call_through(self, ::telvara::state().names[::telvara::m_##name], __VA_ARGS__))

// ---------------------------------------------------------------------------
// Small readers of JSON-shaped input.

using pysem::get;
using pysem::is_list;
using pysem::is_mapping;
using pysem::is_text;
using pysem::strip;
using pysem::text_form;
using pysem::truthy;

// mapping.get(key, default): a missing key gives `fallback`, a present null
// stays null. Non-dicts are asked through their own get(), as Python would.
inline py::object get_or(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (found) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    return mapping.attr("get")(key, fallback);
}

// `m.get(a) or m.get(b) or ...`: the first non-empty value, else the last one.
inline py::object either(py::handle mapping, std::initializer_list<py::handle> keys) {
    py::object value = py::none();
    for (py::handle key : keys) {
        value = get(mapping, key);
        if (truthy(value)) break;
    }
    return value;
}

// `str(m.get(a) or m.get(b) or "").strip()`.
inline py::str either_text(py::handle mapping, std::initializer_list<py::handle> keys) {
    py::object value = either(mapping, keys);
    if (!truthy(value)) return state().t_empty;
    return strip(text_form(value));
}

// A plain copy of a derived list or mapping, for methods that take only the
// exact kind; the exact kinds pass through.
inline py::object plain(py::handle value) {
    PyObject *v = value.ptr();
    if (PyList_Check(v) && !PyList_CheckExact(v)) return pysem::steal(PySequence_List(v));
    if (PyDict_Check(v) && !PyDict_CheckExact(v)) {
        py::object copy = pysem::steal(PyDict_New());
        if (PyDict_Merge(copy.ptr(), v, 1) < 0) throw py::error_already_set();
        return copy;
    }
    return py::reinterpret_borrow<py::object>(value);
}

// `for item in value`, holding each item while the body runs. An exact list
// is walked by position, rechecking its length, as the list iterator does.
template <class F> void for_each(py::handle value, F &&body) {
    if (PyList_CheckExact(value.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.ptr()); ++i)
            body(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(value.ptr(), i)));
        return;
    }
    py::object it = pysem::steal(PyObject_GetIter(value.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) body(py::reinterpret_steal<py::object>(item));
    if (PyErr_Occurred()) throw py::error_already_set();
}

inline Py_ssize_t length(py::handle value) {
    if (PyList_CheckExact(value.ptr())) return PyList_GET_SIZE(value.ptr());
    Py_ssize_t n = PyObject_Size(value.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

inline void append(py::list &lines, py::handle item) {
    if (PyList_Append(lines.ptr(), item.ptr()) < 0) throw py::error_already_set();
}

// lines.extend(more)
inline void extend(py::list &lines, py::handle more) {
    if (PyList_CheckExact(more.ptr())) {
        // A list extended by itself copies what it held at the start.
        Py_ssize_t n = PyList_GET_SIZE(more.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) append(lines, PyList_GET_ITEM(more.ptr(), i));
        return;
    }
    Py_ssize_t end = PyList_GET_SIZE(lines.ptr());
    if (PyList_SetSlice(lines.ptr(), end, end, more.ptr()) < 0) throw py::error_already_set();
}

inline py::list new_list() { return pysem::steal_as<py::list>(PyList_New(0)); }

inline py::dict new_dict() { return pysem::steal_as<py::dict>(PyDict_New()); }

inline void set_item(py::handle dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

inline py::int_ to_int(long long value) { return pysem::steal_as<py::int_>(PyLong_FromLongLong(value)); }

// Text compared with an ASCII word, for values that may be of any kind.
inline bool text_equals(py::handle value, py::handle word) {
    if (!PyUnicode_Check(value.ptr())) return false;
    return PyUnicode_Compare(value.ptr(), word.ptr()) == 0;
}

// An item that the code treats as text: anything else fails as Python's
// attribute lookup on it would.
inline py::handle text_item(py::handle value, const char *method) {
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", pysem::type_name(value),
                     method);
        throw py::error_already_set();
    }
    return value;
}

// ---------------------------------------------------------------------------
// Text building, code point exact (lone surrogates pass through).

class text_builder {
  public:
    text_builder() {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
    }
    ~text_builder() {
        if (!finished_) _PyUnicodeWriter_Dealloc(&writer_);
    }
    text_builder(const text_builder &) = delete;
    text_builder &operator=(const text_builder &) = delete;

    // Text only, as str.join takes it.
    text_builder &add(py::handle text) {
        if (!PyUnicode_Check(text.ptr()))
            throw py::type_error(std::string("expected str instance, ") + pysem::type_name(text) + " found");
        check(_PyUnicodeWriter_WriteStr(&writer_, text.ptr()));
        return *this;
    }
    // Any value as str() writes it.
    text_builder &add_form(py::handle value) {
        if (PyUnicode_Check(value.ptr()) && Py_TYPE(value.ptr())->tp_str == PyUnicode_Type.tp_str)
            return add(value);
        return add(text_form(value));
    }
    text_builder &add_part(py::handle text, Py_ssize_t start, Py_ssize_t end) {
        if (end > start) check(_PyUnicodeWriter_WriteSubstring(&writer_, text.ptr(), start, end));
        return *this;
    }
    text_builder &ascii(const char *text, Py_ssize_t size) {
        check(_PyUnicodeWriter_WriteASCIIString(&writer_, text, size));
        return *this;
    }
    template <size_t N> text_builder &ascii(const char (&text)[N]) { return ascii(text, N - 1); }
    text_builder &ch(Py_UCS4 c) {
        check(_PyUnicodeWriter_WriteChar(&writer_, c));
        return *this;
    }
    text_builder &repeat(char c, long long count) {
        for (long long i = 0; i < count; ++i) ch(static_cast<Py_UCS4>(c));
        return *this;
    }
    Py_ssize_t size() const { return writer_.pos; }

    py::str finish() {
        finished_ = true;
        return pysem::steal_as<py::str>(_PyUnicodeWriter_Finish(&writer_));
    }

  private:
    static void check(int status) {
        if (status < 0) throw py::error_already_set();
    }
    _PyUnicodeWriter writer_;
    bool finished_ = false;
};

// "".join of ASCII literals and of values in their text form.
inline void put(text_builder &out, const char *ascii) { out.ascii(ascii, static_cast<Py_ssize_t>(std::strlen(ascii))); }
inline void put(text_builder &out, py::handle value) { out.add_form(value); }

template <class... Parts> py::str cat(const Parts &...parts) {
    text_builder out;
    (put(out, parts), ...);
    return out.finish();
}

inline py::str join(py::handle separator, py::handle items) { return pysem::join(separator, items); }

// Python's slice bound: negative counts from the end, then clamped to 0..n.
inline Py_ssize_t slice_bound(long long k, Py_ssize_t n) {
    if (k < 0) {
        k += n;
        return k < 0 ? 0 : static_cast<Py_ssize_t>(k);
    }
    return k > n ? n : static_cast<Py_ssize_t>(k);
}

inline long long minus_one(long long k) { return k == LLONG_MIN ? k : k - 1; }
inline long long plus(long long k, long long d) { return k > LLONG_MAX - d ? LLONG_MAX : k + d; }

// row + [""] * (width - len(row))
inline py::list padded_copy(py::handle row, Py_ssize_t n, long long width) {
    unsigned long long extra = static_cast<unsigned long long>(width) - static_cast<unsigned long long>(n);
    if (extra > static_cast<unsigned long long>(PY_SSIZE_T_MAX) / sizeof(PyObject *) - n) {
        PyErr_NoMemory();
        throw py::error_already_set();
    }
    Py_ssize_t total = n + static_cast<Py_ssize_t>(extra);
    py::list out = pysem::steal_as<py::list>(PyList_New(total));
    PyObject *empty = state().t_empty.ptr();
    for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject *cell = i < n ? PyList_GET_ITEM(row.ptr(), i) : empty;
        Py_INCREF(cell);
        PyList_SET_ITEM(out.ptr(), i, cell);
    }
    return out;
}

// row[:width - 1] + [separator.join(row[width - 1:])], the last cell trimmed
// when asked.
inline py::list folded_copy(py::handle row, Py_ssize_t n, long long width, py::handle separator, bool trim) {
    Py_ssize_t cut = slice_bound(minus_one(width), n);
    py::list out = pysem::steal_as<py::list>(PyList_GetSlice(row.ptr(), 0, cut));
    py::object rest = pysem::steal(PyList_GetSlice(row.ptr(), cut, n));
    py::str folded = join(separator, rest);
    append(out, trim ? strip(folded) : folded);
    return out;
}

// (first, second) of a pair returned by a method.
inline std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    py::object items = pysem::steal(PySequence_Tuple(pair.ptr()));
    if (PyTuple_GET_SIZE(items.ptr()) != 2) {
        PyErr_Format(PyExc_ValueError, "expected 2 values to unpack, got %zd", PyTuple_GET_SIZE(items.ptr()));
        throw py::error_already_set();
    }
    return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(items.ptr(), 0)),
            py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(items.ptr(), 1))};
}

// The delimiter line of a pipe table of `width` columns.
inline py::str delimiter_line(Py_ssize_t width) {
    text_builder line;
    line.ascii("| ");
    for (Py_ssize_t i = 0; i < width; ++i) {
        if (i) line.ascii(" | ");
        line.ascii("---");
    }
    return line.ascii(" |").finish();
}

} // namespace telvara

// ---------------------------------------------------------------------------
// The native code of each method, after the instance. Arguments are checked
// inside, exactly as the bound method checks them.
namespace telvara::impl {
using h = py::handle;
inline py::object format_data(h self, h data);
inline py::object _is_diagnosis_report(h self, h answers, h questions);
inline py::object _format_structured_diagnosis_report(h self, h data, h report);
inline py::object _normalize_structured_sections(h self, h value);
inline py::object _normalize_structured_subsections(h self, h value);
inline py::object _render_structured_subsection(h self, h section_index, h subsection_index, h subsection);
inline py::object _render_structured_table(h self, h table, h section_index, h subsection_index);
inline py::object _headers_from_structured_rows(h self, h rows);
inline py::object _render_structured_blocks(h self, h blocks);
inline py::object _render_structured_block(h self, h block);
inline py::object _render_structured_value(h self, h value);
inline py::object _structured_item_text(h self, h item);
inline py::object _int_value(h self, h value, h fallback);
inline py::object _extract_questions(h self, h data);
inline py::object _normalize_question_list(h self, h raw_questions);
inline py::object _question_at(h self, h questions, h index);
inline py::object _pad_row(h self, h row, h width);
inline py::object _markdown_table(h self, h headers, h rows);
inline py::object _md_cell(h self, h value);
inline py::object _trim_blank(h self, h lines);
inline py::object _format_section(h self, h index, h answer, h question);
inline py::object _format_answer_body(h self, h index, h answer);
inline py::object _format_product_links(h self, h raw_links);
inline py::object _format_recommended_asins(h self, h raw_items);
inline py::object _format_link_items(h self, h raw_items, h include_source);
inline py::object _build_answer_blocks(h self, h text, h structured_blocks);
inline py::object _build_structured_answer_blocks(h self, h structured_blocks);
inline py::object _normalize_structured_row(h self, h block);
inline py::object _normalize_row_cells(h self, h row, h width);
inline py::object _build_text_fallback_blocks(h self, h text);
inline py::object _to_structured_blocks(h self, h blocks);
inline py::object _render_blocks(h self, h blocks);
inline py::object _normalize_text_lines(h self, h text);
inline py::object _parse_markdown_heading(h self, h line);
inline py::object _parse_markdown_list_item(h self, h line);
inline py::object _parse_markdown_table(h self, h lines, h start_index);
inline py::object _parse_pipe_row(h self, h line);
inline py::object _is_markdown_delimiter_row(h self, h cells);
inline py::object _collapse_blank_lines(h self, h text);
} // namespace telvara::impl
