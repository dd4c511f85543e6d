// Rendering one subsection of the diagnosis from prose: cleaning, schema
// tables parsed by row mode, and the renderers of the subsections without a
// table.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_patterns.hpp"

#include <algorithm>

namespace telvara::official {

inline bool one_of(Py_UCS4 c, std::u32string_view set) { return set.find(c) != std::u32string_view::npos; }

// Sentence punctuation that marks a line as the middle of a text.
constexpr std::u32string_view kSentenceEnds = U"。.；;，,";

// ---------------------------------------------------------------------------
// Cleaning

inline py::object headers_of(py::handle schema) {
    if (!schema || !truthy(schema)) return py::object();
    return lookup(schema, PYSEM_LIT("headers"));
}

// The subsection lines without empty texts (unless `keep_empty`), titles,
// numbered headings and the leading run of the schema's header lines.
inline py::object clean_lines(py::handle self, py::handle question, py::handle section, const py::list &lines,
                              bool keep_empty) {
    py::object headers = headers_of(schema_of(question, section));
    State &st = state();
    const py::set &titles = st.known_titles;
    py::list kept;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (!truthy(line)) {
            if (keep_empty && PyUnicode_Check(line.ptr())) append(kept, line);
            continue;
        }
        // A plain text longer than every title is none (and is not hashed).
        bool longer = PyUnicode_CheckExact(line.ptr()) && PyUnicode_GET_LENGTH(line.ptr()) > st.longest_title;
        if (PyUnicode_Check(line.ptr()) && !longer) {
            int title = PySet_Contains(titles.ptr(), line.ptr()); // a str subclass hashes and compares itself
            if (title < 0) pysem::throw_pending();
            if (title) continue;
        }
        if (PyUnicode_Check(line.ptr()) ? patterns::numbered_heading(line)
                                        : !call(st.numbered_heading_match, line).is_none()) // refused as `re` refuses it
            continue;
        append(kept, line);
    }
    if (headers && PyList_Check(headers.ptr())) return via<drop_known_headers>(self, kept, headers);
    return kept;
}

inline py::object drop_intro_and_headers(py::handle self, py::handle question_arg, py::handle section_arg,
                                         py::handle lines_arg) {
    py::int_ question = pysem::int_arg(question_arg, "question_index");
    py::int_ section = pysem::int_arg(section_arg, "section_index");
    py::list lines = pysem::exact_list(lines_arg, "lines");
    return clean_lines(self, question, section, lines, false);
}

inline py::list drop_known_headers(py::handle, py::handle lines_arg, py::handle headers_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::list headers = pysem::exact_list(headers_arg, "headers");
    Py_ssize_t first = 0;
    for (Py_ssize_t h = 0; h < size(headers); ++h) {
        if (first < size(lines) && equal(strip(as_text(item(lines, first))), item(headers, h))) ++first;
    }
    return slice(lines, first, PY_SSIZE_T_MAX);
}

// ---------------------------------------------------------------------------
// Schema tables

inline py::list header_texts(py::handle schema) {
    py::list out;
    py::object headers = lookup(schema, PYSEM_LIT("headers"));
    if (!headers || !truthy(headers)) return out;
    for_each(headers, [&](py::object h) { append(out, text_form(h)); });
    return out;
}

inline py::object render_schema_table(py::handle self, py::handle schema_arg, py::handle lines_arg) {
    py::dict schema = pysem::exact_dict(schema_arg, "schema");
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::list headers = header_texts(schema);
    if (size(headers) == 0) return py::list();
    py::object rows = via<parse_schema_rows>(self, schema, lines);
    if (!truthy(rows)) {
        py::list placeholder;
        append(placeholder, PYSEM_LIT("无"));
        for (Py_ssize_t i = 1; i < size(headers); ++i) append(placeholder, PYSEM_LIT(""));
        py::list only;
        append(only, placeholder);
        rows = only;
    }
    return via<impl::_markdown_table>(self, headers, rows);
}

inline py::str text_or(py::handle schema, py::handle key, py::handle fallback) {
    py::object value = lookup(schema, key);
    return text_form(value && truthy(value) ? value : py::reinterpret_borrow<py::object>(fallback));
}

inline py::object parse_schema_rows(py::handle self, py::handle schema_arg, py::handle lines_arg) {
    py::dict schema = pysem::exact_dict(schema_arg, "schema");
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::str mode = text_or(schema, PYSEM_LIT("mode"), PYSEM_LIT("fixed"));
    py::int_ width(size(header_texts(schema)));
    if (equal(mode, PYSEM_LIT("row_start")))
        return via<parse_row_start_rows>(self, lines, width, text_or(schema, PYSEM_LIT("row_start"), PYSEM_LIT("")));
    if (equal(mode, PYSEM_LIT("summary_pairs"))) return via<parse_summary_pairs>(self, lines);
    bool continues = equal(mode, PYSEM_LIT("issue"));
    return via<parse_fixed_rows>(self, lines, width, keyword{"last_cell_continues", continues ? Py_True : Py_False});
}

// The last cell of a row as lines join it one by one, each join trimmed:
// the same text as repeating `(cell + "\n" + line).strip()`, built once.
class LastCell {
  public:
    explicit LastCell(py::object raw) : raw_(std::move(raw)) {}

    void push(py::handle line_item) {
        py::str line = as_text(line_item);
        if (!pushed_) {
            pushed_ = true;
            py::str raw = as_text(raw_);
            if (pysem::is_blank(raw)) {
                start_with(strip(line));
            } else if (pysem::is_blank(line)) {
                start_with(strip(raw));
            } else {
                start_with(pysem::lstrip(raw));
                add(pysem::rstrip(line));
            }
            return;
        }
        if (size(pieces_) == 0)
            start_with(strip(line));
        else if (!pysem::is_blank(line))
            add(pysem::rstrip(line));
    }

    py::object value() const { return pushed_ ? py::object(join(PYSEM_LIT(""), pieces_)) : raw_; }

  private:
    void start_with(py::str s) {
        if (length(s)) append(pieces_, s);
    }
    void add(py::str s) {
        append(pieces_, PYSEM_LIT("\n"));
        append(pieces_, s);
    }

    py::object raw_;
    py::list pieces_;
    bool pushed_ = false;
};

inline py::list parse_fixed_rows(py::handle self, py::handle lines_arg, py::handle width_arg,
                                 py::handle continues_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::int_ width = pysem::int_arg(width_arg, "width");
    bool continues = truthy(continues_arg);
    long long w = pysem::clamp_ll(width);
    py::list rows;
    if (w < 1) return rows; // a table without columns has no rows
    Py_ssize_t n = size(lines), index = 0;
    while (index < n) {
        if (n - index < w) {
            py::list rest = slice(lines, index, n);
            if (size(rows)) {
                py::object last_row = item(rows, size(rows) - 1);
                py::int_ last_index(-1);
                py::list cells;
                append(cells, pysem::steal(PyObject_GetItem(last_row.ptr(), last_index.ptr())));
                extend(cells, rest);
                py::str joined = strip(join(PYSEM_LIT("\n"), cells));
                if (PyObject_SetItem(last_row.ptr(), last_index.ptr(), joined.ptr()) < 0) pysem::throw_pending();
            } else {
                append(rows, via<impl::_pad_row>(self, rest, width));
            }
            break;
        }
        py::list row = slice(lines, index, index + static_cast<Py_ssize_t>(w));
        index += static_cast<Py_ssize_t>(w);
        if (continues) {
            LastCell last(item(row, size(row) - 1));
            while (index < n && !truthy(via<looks_like_next_row_start>(self, item(lines, index),
                                                   py::int_(n - index), width))) {
                last.push(item(lines, index));
                ++index;
            }
            set_at(row, size(row) - 1, last.value());
        }
        append(rows, via<impl::_pad_row>(self, row, width));
    }
    return rows;
}

inline py::object parse_row_start_rows(py::handle self, py::handle lines_arg, py::handle width_arg,
                                       py::handle row_start_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::int_ width = pysem::int_arg(width_arg, "width");
    py::str row_start = pysem::exact_str(row_start_arg, "row_start");
    long long w = pysem::clamp_ll(width);
    auto issue_rows = [&] {
        return via<parse_fixed_rows>(self, lines, width, keyword{"last_cell_continues", Py_True});
    };
    if (length(row_start) == 0) return issue_rows();
    py::object search = pysem::getattr(compiled(row_start, kIgnoreCase), PYSEM_LIT("search"));
    std::optional<patterns::leading_ideographs> lead = patterns::leading_ideographs::of(row_start);
    std::vector<Py_ssize_t> starts;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (lead && lead->rules_out(line)) continue;
        if (!call(search, line).is_none()) starts.push_back(i);
    }
    if (starts.empty()) return issue_rows();

    py::list rows;
    for (size_t k = 0; k < starts.size(); ++k) {
        // The lines may have changed while the rows before were padded: a
        // chunk past their end is empty.
        Py_ssize_t begin = starts[k], end = std::max(begin, k + 1 < starts.size() ? starts[k + 1] : size(lines));
        // chunk[:width - 1] and chunk[width - 1:]; below width 1 the cut counts from the end.
        Py_ssize_t split = begin + slice_bound(minus_one(w), end - begin);
        py::list row = slice(lines, begin, split);
        append(row, strip(join(PYSEM_LIT("\n"), slice(lines, split, end))));
        append(rows, via<impl::_pad_row>(self, row, width));
    }
    return rows;
}

inline py::list parse_summary_pairs(py::handle, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::list rows;
    for (Py_ssize_t i = 0; i < size(lines); i += 2) {
        py::list row;
        append(row, item(lines, i));
        append(row, i + 1 < size(lines) ? item(lines, i + 1) : py::object(PYSEM_LIT("")));
        append(rows, row);
    }
    return rows;
}

inline py::bool_ looks_like_next_row_start(py::handle, py::handle line_arg, py::handle remaining_arg, py::handle width_arg) {
    py::str line = pysem::exact_str(line_arg, "line");
    py::int_ remaining = pysem::int_arg(remaining_arg, "remaining_count");
    py::int_ width = pysem::int_arg(width_arg, "width");
    if (less(remaining, width)) return false;
    py::str t = strip(line);
    pysem::text_view v(t);
    if (v.empty()) return false;
    if (one_of(v[0], U"-•*—–\"'（(:：")) return false;
    if (!patterns::kRowStart.rules_out(t) && !call(state().row_start_match, t).is_none()) return true;
    if (v.size() >= 35) return false;
    if (one_of(v[v.size() - 1], U"。.；;，,：:")) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Renderers of the subsections without a table

inline py::list placeholder_list() {
    py::list out;
    append(out, PYSEM_LIT("无"));
    return out;
}

inline py::list render_title_content(py::handle, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    if (size(lines) == 0) return placeholder_list();
    State &st = state();
    py::list title, rest;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (!call(st.count_search, line).is_none()) {
            py::str s = as_text(line);
            pysem::text_view v(s);
            Py_ssize_t begin = 0, end = v.size();
            while (begin < end && one_of(v[begin], U"（）()")) ++begin;
            while (end > begin && one_of(v[end - 1], U"（）()")) --end;
            append(rest, concat({PYSEM_LIT("**"), pysem::substr(s, begin, end), PYSEM_LIT("**")}));
        } else if (size(title) == 0) {
            append(title, concat({PYSEM_LIT("> "), text_form(line)}));
        } else {
            append(rest, line);
        }
    }
    if (size(rest) == 0) return title;
    append(title, PYSEM_LIT(""));
    extend(title, rest);
    return title;
}

inline py::list render_optimized_title(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    if (size(lines) == 0) return placeholder_list();
    py::list out;
    append(out, concat({PYSEM_LIT("> **"), text_form(item(lines, 0)), PYSEM_LIT("**")}));
    if (size(lines) > 1) {
        append(out, PYSEM_LIT(""));
        append(out, PYSEM_LIT("#### 优化对比说明"));
        extend(out, via<render_plain_lines>(self, slice(lines, 1, PY_SSIZE_T_MAX)));
    }
    return out;
}

inline py::object render_bullet_content(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    if (size(lines) == 0) return placeholder_list();
    State &st = state();
    py::str heading = PYSEM_LIT("#### Bullet "), colon = PYSEM_LIT("：");
    py::list out;
    long long counter = 1;
    Py_ssize_t n = size(lines);
    for (Py_ssize_t i = 0; i < n;) {
        py::object line = item(lines, i);
        bool ideograph = patterns::kNoIdeograph.rules_out(line); // no match of the three patterns
        py::object number = ideograph ? py::none() : call(st.number_match, line);
        py::object bullet = ideograph ? py::none() : call(st.bullet_match, line);
        if (!number.is_none() && i + 1 < n) {
            append(out, concat({heading, text_form(group(number, 1)), colon,
                                text_form(item(lines, i + 1))}));
            i += 2;
            continue;
        }
        if (!bullet.is_none()) {
            py::str digits = text_form(group(bullet, 1));
            py::str rest = strip(text_form(group(bullet, 2)));
            append(out, length(rest) ? concat({heading, digits, colon, rest}) : concat({heading, digits}));
            ++i;
            continue;
        }
        if (counter <= 8 && !ideograph && !call(st.caption_match, line).is_none()) {
            append(out, concat({heading, decimal(counter), colon, text_form(line)}));
            ++counter;
        } else {
            append(out, line);
        }
        ++i;
        if (i < n && truthy(item(out, size(out) - 1))) append(out, PYSEM_LIT(""));
    }
    return via<impl::_trim_blank>(self, out);
}

inline py::bool_ looks_like_summary_heading(py::handle, py::handle line_arg) {
    py::str line = pysem::exact_str(line_arg, "line");
    py::str t = strip(line);
    pysem::text_view v(t);
    return !v.empty() && v.size() <= 28 && !one_of(v[v.size() - 1], kSentenceEnds);
}

inline py::list render_summary_bullets(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    if (size(lines) == 0) return placeholder_list();
    py::str dash = PYSEM_LIT("- "), bold = PYSEM_LIT("- **"), space = PYSEM_LIT(" ");
    py::list out;
    py::list joining; // pieces of the last output line while lines join it
    auto flush = [&] {
        if (size(joining)) {
            set_at(out, size(out) - 1, join(PYSEM_LIT(""), joining));
            joining = py::list();
        }
    };
    long long counter = 1;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (starts_with(as_text(line), dash)) {
            flush();
            append(out, line);
        } else if (truthy(via<looks_like_summary_heading>(self, line))) {
            flush();
            append(out, concat({PYSEM_LIT("- **"), decimal(counter), PYSEM_LIT("** "), line}));
            ++counter;
        } else if (size(out) && starts_with(as_text(item(out, size(out) - 1)), bold)) {
            if (size(joining) == 0) append(joining, item(out, size(out) - 1));
            append(joining, space);
            append(joining, as_text(line));
        } else {
            flush();
            append(out, line);
        }
    }
    flush();
    return out;
}

inline py::object render_plain_lines(py::handle self, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    if (size(lines) == 0) return placeholder_list();
    State &st = state();
    py::str dash = PYSEM_LIT("- "), heading = PYSEM_LIT("#### ");
    py::list out;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (!starts_with(as_text(line), dash) && !patterns::kNoIdeograph.rules_out(line) &&
            !call(st.step_match, line).is_none()) {
            append(out, PYSEM_LIT(""));
            append(out, concat({heading, line}));
        } else {
            append(out, line);
        }
    }
    return via<impl::_trim_blank>(self, out);
}

inline py::object render_diagnosis_subsection(py::handle self, py::handle question_arg, py::handle section_arg,
                                              py::handle lines_arg) {
    py::int_ question = pysem::int_arg(question_arg, "question_index");
    py::int_ section = pysem::int_arg(section_arg, "section_index");
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::object schema = schema_of(question, section);
    py::object headers = headers_of(schema);
    // On the table road an empty value is a cell of its own: dropping it
    // would move every later value one column to the left.
    py::object cleaned = headers && truthy(headers) ? clean_lines(self, question, section, lines, true)
                                                    : via<drop_intro_and_headers>(self, question, section, lines);
    if (schema && truthy(schema)) {
        py::object table = via<render_schema_table>(self, schema, cleaned);
        if (truthy(table)) return table;
    }
    long long q = pysem::clamp_ll(question), s = pysem::clamp_ll(section);
    if (q == 1 && s == 1) return via<render_title_content>(self, cleaned);
    if (q == 1 && s == 3) return via<render_optimized_title>(self, cleaned);
    if (q == 2 && (s == 1 || s == 3)) return via<render_bullet_content>(self, cleaned);
    if ((q == 2 || q == 5 || q == 7) && s == 4) return via<render_summary_bullets>(self, cleaned);
    return via<render_plain_lines>(self, cleaned);
}

} // namespace telvara::official
