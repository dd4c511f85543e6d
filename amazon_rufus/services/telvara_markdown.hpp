// Markdown-like answer text read into kind blocks, the pipe-table writer and
// the tidying of blank lines.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_patterns.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace telvara::impl {

using pysem::text_view;

// ---------------------------------------------------------------------------
// Table writer

// The cell text of one value: line ends as LF, runs of three or more LF cut
// to two, trimmed, backslash and bar escaped, each LF written as <br>.
// Every line boundary that the finished report is split at counts as a line
// end (not only CR and LF), so that no cell can cut its table line in two.
inline void write_md_cell(text_builder &out, py::handle value) {
    if (value.is_none()) return;
    py::object text = PyUnicode_Check(value.ptr()) ? py::reinterpret_borrow<py::object>(value) : text_form(value);
    with_chars(text, [&](const auto *d) {
        Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text.ptr());
        while (begin < end && pysem::is_space(d[begin])) ++begin;
        while (end > begin && pysem::is_space(d[end - 1])) --end;
        Py_ssize_t plain_from = begin, i = begin;
        while ((i = find_break<'\\', '|'>(d, i, end)) < end) {
            out.add_part(text, plain_from, i);
            Py_UCS4 c = d[i];
            if (c == '\\' || c == '|') {
                out.ch('\\').ch(c);
                plain_from = ++i;
                continue;
            }
            int breaks = 0;
            while (i < end && pysem::is_line_boundary(d[i])) {
                i += (d[i] == '\r' && i + 1 < end && d[i + 1] == '\n') ? 2 : 1;
                ++breaks;
            }
            for (int b = 0; b < (breaks >= 3 ? 2 : breaks); ++b) out.ascii("<br>");
            plain_from = i;
        }
        out.add_part(text, plain_from, end);
    });
}

inline py::object _md_cell(py::handle, py::handle value) {
    text_builder out;
    write_md_cell(out, value);
    return out.finish();
}

// A row of n cells fitted to a width (the rules of _pad_row): its first
// `kept` cells, then `empty` empty ones up to the width, or, past the width,
// the rest of its cells folded into one last cell (see folded_cell).
struct fitted_row {
    Py_ssize_t kept, empty;
    bool folds;
};

inline fitted_row fit(Py_ssize_t n, long long width) {
    if (n < width) return {n, padding(n, width), false};
    if (n == width) return {n, 0, false};
    return {slice_bound(minus_one(width), n), 0, true};
}

// The folded last cell: the rest of the cells joined with LF and trimmed.
inline py::str folded_cell(py::handle rest) { return strip(join(PYSEM_LIT("\n"), rest)); }

inline py::object _pad_row(py::handle, py::handle row_arg, py::handle width_arg) {
    py::list row = pysem::exact_list(row_arg, "row");
    long long width = pysem::int_arg_ll(width_arg, "width");
    for (;;) {
        Py_ssize_t n = PyList_GET_SIZE(row.ptr());
        fitted_row f = fit(n, width);
        if (f.kept == n && f.empty == 0) return row;
        // Allocating can start a collection, whose finalizers may change the
        // row or find the copy: the folded cell is made before the copy,
        // whose slots are then filled without allocating, and the row's
        // cells are read only at the size they were counted at, else the row
        // is measured again.
        py::object folded = f.folds ? py::object(folded_cell(slice(row, f.kept, n))) : py::object();
        py::list out = pysem::steal_as<py::list>(PyList_New(f.kept + f.empty + f.folds));
        if (PyList_GET_SIZE(row.ptr()) != n) continue;
        for (Py_ssize_t i = 0; i < f.kept; ++i) PyList_SET_ITEM(out.ptr(), i, Py_NewRef(PyList_GET_ITEM(row.ptr(), i)));
        for (Py_ssize_t i = 0; i < f.empty; ++i) PyList_SET_ITEM(out.ptr(), f.kept + i, Py_NewRef(PYSEM_LIT("").ptr()));
        if (f.folds) PyList_SET_ITEM(out.ptr(), f.kept, folded.release().ptr());
        return out;
    }
}

// The pipe line of a row of n cells, `cell(i)` each, fitted to `width` as
// _pad_row fits it and each cell written as _md_cell writes it; the fitted
// copy is not made. The cells are texts: writing them runs no Python code,
// and nothing here allocates an object the collector tracks (a collection
// could run finalizers that change the row the cells are read from).
template <class Cell> py::str fitted_line(Py_ssize_t n, long long width, Cell &&cell) {
    fitted_row f = fit(n, width);
    text_builder line;
    line.ascii("| ");
    Py_ssize_t written = 0;
    auto next = [&]() -> text_builder & { return written++ ? line.ascii(" | ") : line; };
    for (Py_ssize_t i = 0; i < f.kept; ++i) write_md_cell(next(), cell(i));
    for (Py_ssize_t i = 0; i < f.empty; ++i) next();
    if (f.folds) { // folded_cell of the rest, joined in a builder rather than a list
        text_builder rest;
        for (Py_ssize_t i = f.kept; i < n; ++i) {
            if (i > f.kept) rest.line_feeds(1);
            rest.add(cell(i));
        }
        write_md_cell(next(), strip(rest.finish()));
    }
    return line.ascii(" |").finish();
}

// A list of texts only.
inline bool all_texts(py::handle list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list.ptr(), i))) return false;
    return true;
}

// One cell as self._md_cell(cell) writes it. The method is looked up for
// each cell, as that call looks it up: writing a cell can run Python code (its
// __str__, or the iteration of what an override of _pad_row gave) that
// patches it for the cells after it.
inline void write_cell(py::handle self, text_builder &line, py::handle cell) {
    if (is_direct<_md_cell>(self)) write_md_cell(line, cell);
    else line.add(through<_md_cell>(self, cell));
}

// The header and delimiter lines of a table (as _markdown_table writes them).
inline py::list table_head(py::handle self, py::handle headers) {
    py::list lines;
    append(lines, pipe_line(headers, [&](text_builder &line, py::handle cell) { write_cell(self, line, cell); }));
    append(lines, delimiter_line(PyList_GET_SIZE(headers.ptr())));
    return lines;
}

// Whether a row of texts is written fitted without its fitted copy.
inline bool fits_in_place(py::handle self) { return is_direct<_pad_row>(self) && is_direct<_md_cell>(self); }

// The line of one table row (the rules of _markdown_table): the row fitted
// by self._pad_row, each cell as self._md_cell writes it.
inline py::str table_row_line(py::handle self, py::handle row, long long width) {
    if (fits_in_place(self) && PyList_CheckExact(row.ptr()) && all_texts(row))
        return fitted_line(PyList_GET_SIZE(row.ptr()), width,
                           [&](Py_ssize_t i) { return py::handle(PyList_GET_ITEM(row.ptr(), i)); });
    py::object cells = via<_pad_row>(self, row, py::int_(width));
    return pipe_line(cells, [&](text_builder &line, py::handle cell) { write_cell(self, line, cell); });
}

inline py::object _markdown_table(py::handle self, py::handle headers_arg, py::handle rows_arg) {
    py::list headers = pysem::exact_list(headers_arg, "headers");
    py::list rows = pysem::exact_list(rows_arg, "rows");
    py::list lines = table_head(self, headers);
    // Each row is fitted to the headers as they are when it is: writing a
    // header or a row can run Python code that changes the list.
    for_each(rows, [&](py::object row) { append(lines, table_row_line(self, row, PyList_GET_SIZE(headers.ptr()))); });
    return lines;
}

// ---------------------------------------------------------------------------
// Blank lines

inline bool blank_item(py::handle item) {
    if (PyUnicode_Check(item.ptr()) && Py_TYPE(item.ptr())->tp_str == PyUnicode_Type.tp_str)
        return pysem::is_blank(item);
    return pysem::is_blank(text_form(item));
}

inline py::object _trim_blank(py::handle, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    // An item's text form may run Python code that changes the list: each
    // item is held while it is read, and read as lines[i] would read it.
    Py_ssize_t start = 0, end = PyList_GET_SIZE(lines.ptr());
    while (start < end && blank_item(item(lines, start))) ++start;
    while (end > start && blank_item(item(lines, end - 1))) --end;
    if (start == end) {
        py::list placeholder;
        append(placeholder, PYSEM_LIT("无"));
        return placeholder;
    }
    return slice(lines, start, end);
}

// The rule of _collapse_blank_lines over a text given in parts, each part
// followed by a line feed (line_feed) or by the end (finish): every line
// boundary ends a line (CR LF as one), trailing white space is cut, one empty
// line stands for every run of blank lines, a leading run included, and
// trailing ones are dropped. A report's lines go in as they are, without
// being joined into one text first.
class blank_line_collapse {
  public:
    // Text only; the part ends an open line at none of its ends.
    void add(py::handle text) {
        with_chars(text, [&](const auto *d) { scan(text, d); });
    }
    // A line feed after the last part: it ends the open line, or completes
    // a CR LF pair.
    void line_feed() {
        if (after_cr_) after_cr_ = false;
        else if (open_) end_open();
        else blank_pending_ = true;
        open_ = py::handle();
    }
    py::str finish() {
        if (open_) end_open();
        return out_.finish();
    }

  private:
    // The line boundaries of a part, read at its storage width.
    template <class Char> void scan(py::handle text, const Char *d) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr()), i = 0;
        if (after_cr_ && n && d[0] == '\n') i = 1;
        after_cr_ = false;
        Py_ssize_t start = i;
        while ((i = find_break(d, i, n)) < n) {
            line(text, d, start, i);
            if (d[i] == '\r') {
                if (i + 1 == n) after_cr_ = true;
                else if (d[i + 1] == '\n') ++i;
            }
            start = ++i;
        }
        open_ = text;
        open_start_ = start;
    }

    void end_open() {
        with_chars(open_, [&](const auto *d) { line(open_, d, open_start_, PyUnicode_GET_LENGTH(open_.ptr())); });
    }

    template <class Char> void line(py::handle text, const Char *d, Py_ssize_t start, Py_ssize_t end) {
        while (end > start && pysem::is_space(d[end - 1])) --end;
        if (end == start) {
            blank_pending_ = true;
            return;
        }
        out_.line_feeds(written_ + blank_pending_);
        out_.add_part(text, start, end);
        written_ = true;
        blank_pending_ = false;
    }

    text_builder out_;
    py::handle open_; // the part that holds the open line (borrowed)
    Py_ssize_t open_start_ = 0;
    bool written_ = false, blank_pending_ = false, after_cr_ = false;
};

inline py::object _collapse_blank_lines(py::handle, py::handle text_arg) {
    py::str text = pysem::exact_str(text_arg, "text");
    blank_line_collapse collapse;
    collapse.add(text);
    return collapse.finish();
}

// The lines of a report, for self._collapse_blank_lines("\n".join(lines)):
// while that method is the class's own, the lines go into the collapse as
// they are, and neither a list of them nor their joined text is made. A line
// that is not text fails as the join would.
class report_lines {
  public:
    explicit report_lines(py::handle self) : self_(self) {}

    void add(py::handle line) { lines_.push_back(py::reinterpret_borrow<py::object>(line)); }
    void add_all(py::handle lines) {
        for_each(lines, [&](py::object line) { add(line); });
    }

    // The collapsed report; `joined_text` makes the text handed to another
    // method from the joined lines.
    template <class JoinedText> py::object finish(JoinedText &&joined_text) const {
        if (!is_direct<_collapse_blank_lines>(self_)) {
            text_builder text;
            joined join(text, "\n");
            for (const py::object &line : lines_) join.add(line);
            join.end();
            return through<_collapse_blank_lines>(self_, joined_text(text.finish()));
        }
        join_refusal refusal;
        for (size_t i = 0; i < lines_.size(); ++i)
            if (!PyUnicode_Check(lines_[i].ptr())) refusal.note(lines_[i], static_cast<Py_ssize_t>(i));
        refusal.raise_if_any();
        blank_line_collapse collapse;
        for (size_t i = 0; i < lines_.size(); ++i) {
            if (i) collapse.line_feed();
            collapse.add(lines_[i]);
        }
        return collapse.finish();
    }
    py::object finish() const {
        return finish([](py::str text) { return text; });
    }

  private:
    py::handle self_;
    std::vector<py::object> lines_;
};

// ---------------------------------------------------------------------------
// Markdown fallback parser

inline py::object _normalize_text_lines(py::handle, py::handle text_arg) {
    py::str text = pysem::exact_str(text_arg, "text");
    return pysem::split_lf(pysem::normalize_newlines(text));
}

inline py::object _parse_pipe_row(py::handle, py::handle line_arg) {
    py::str line = pysem::exact_str(line_arg, "line");
    Py_ssize_t size = PyUnicode_GET_LENGTH(line.ptr());
    if (PyUnicode_FindChar(line.ptr(), '|', 0, size, 1) < 0) return py::none();
    text_view t(line);
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> cells;
    Py_ssize_t from = 0;
    for (Py_ssize_t i = 0; i <= size; ++i) {
        if (i < size && t[i] != '|') continue;
        Py_ssize_t b = from, e = i;
        while (b < e && pysem::is_space(t[b])) ++b;
        while (e > b && pysem::is_space(t[e - 1])) --e;
        cells.emplace_back(b, e);
        from = i + 1;
    }
    size_t first = 0, last = cells.size();
    if (last > first && cells[first].first == cells[first].second) ++first;
    if (last > first && cells[last - 1].first == cells[last - 1].second) --last;
    if (last - first < 2) return py::none();
    bool content = false;
    for (size_t c = first; c < last && !content; ++c) {
        auto [b, e] = cells[c];
        content = e > b && !(e - b == 1 && t[b] == '-');
    }
    if (!content) return py::none();
    py::list row = pysem::steal_as<py::list>(PyList_New(static_cast<Py_ssize_t>(last - first)));
    for (size_t c = first; c < last; ++c)
        PyList_SET_ITEM(row.ptr(), static_cast<Py_ssize_t>(c - first),
                        pysem::substr(line, cells[c].first, cells[c].second).release().ptr());
    return row;
}

// ":?-{3,}:?" over the whole trimmed cell.
inline bool delimiter_cell(py::handle cell) {
    text_view t(cell);
    Py_ssize_t b = 0, e = t.size();
    while (b < e && pysem::is_space(t[b])) ++b;
    while (e > b && pysem::is_space(t[e - 1])) --e;
    if (b < e && t[b] == ':') ++b;
    if (e > b && t[e - 1] == ':') --e;
    if (e - b < 3) return false;
    for (Py_ssize_t i = b; i < e; ++i)
        if (t[i] != '-') return false;
    return true;
}

inline py::object _is_markdown_delimiter_row(py::handle, py::handle cells_arg) {
    py::list cells = pysem::exact_list(cells_arg, "cells");
    bool all = PyList_GET_SIZE(cells.ptr()) > 0;
    for_each(cells, [&](py::object cell) { all = all && delimiter_cell(text_item(cell, "strip")); });
    return py::bool_(all);
}

// A markdown heading line as a kind block (the rules of _parse_markdown_heading).
inline std::optional<block> heading_block(py::handle line) {
    py::str trimmed = strip(line);
    auto found = patterns::markdown_heading(trimmed);
    if (!found) return std::nullopt;
    py::str text = strip(pysem::substr(trimmed, found->second.start, found->second.end));
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return std::nullopt;
    py::int_ level(found->first.end - found->first.start);
    return block{{PYSEM_LIT("kind"), PYSEM_LIT("heading")}, {PYSEM_LIT("level"), level}, {PYSEM_LIT("text"), text}};
}

// A markdown list item line as a kind block (the rules of _parse_markdown_list_item).
inline std::optional<block> list_item_block(py::handle line) {
    py::str trimmed = strip(line);
    auto item = patterns::unordered_item(trimmed);
    if (!item) item = patterns::ordered_item(trimmed);
    if (!item) return std::nullopt;
    py::str text = strip(pysem::substr(trimmed, item->start, item->end));
    if (PyUnicode_GET_LENGTH(text.ptr()) == 0) return std::nullopt;
    return block{{PYSEM_LIT("kind"), PYSEM_LIT("list_item")}, {PYSEM_LIT("text"), text}};
}

inline py::object block_or_none(const std::optional<block> &b) { return b ? b->object() : py::none(); }

inline py::object _parse_markdown_heading(py::handle, py::handle line_arg) {
    return block_or_none(heading_block(pysem::exact_str(line_arg, "line")));
}

inline py::object _parse_markdown_list_item(py::handle, py::handle line_arg) {
    return block_or_none(list_item_block(pysem::exact_str(line_arg, "line")));
}

// lines[k] if k < len(lines) else "", with Python's negative indexing.
inline py::object line_or_empty(py::handle lines, long long k) {
    Py_ssize_t n = PyList_GET_SIZE(lines.ptr());
    if (k >= n) return PYSEM_LIT("");
    if (k < 0) k += n;
    if (k < 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        pysem::throw_pending();
    }
    return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(lines.ptr(), static_cast<Py_ssize_t>(k)));
}

// The markdown table at a line as a kind block and the index after it (the
// rules of _parse_markdown_table).
inline std::optional<std::pair<block, long long>> table_block(py::handle self, py::handle lines, long long start) {
    py::object header = via<_parse_pipe_row>(self, line_or_empty(lines, start));
    if (header.is_none()) return std::nullopt;
    py::object delimiter = via<_parse_pipe_row>(self, line_or_empty(lines, plus(start, 1)));
    if (delimiter.is_none() || !truthy(via<_is_markdown_delimiter_row>(self, delimiter))) return std::nullopt;
    py::list rows;
    long long index = plus(start, 2);
    while (index < PyList_GET_SIZE(lines.ptr())) {
        py::object line = line_or_empty(lines, index);
        if (pysem::is_blank(text_item(line, "strip"))) break;
        py::object row = via<_parse_pipe_row>(self, line);
        if (row.is_none() || truthy(via<_is_markdown_delimiter_row>(self, row))) break;
        append(rows, row);
        ++index;
    }
    return std::pair{block{{PYSEM_LIT("kind"), PYSEM_LIT("table")}, {PYSEM_LIT("header"), header}, {PYSEM_LIT("rows"), rows}},
                     index};
}

inline py::object _parse_markdown_table(py::handle self, py::handle lines_arg, py::handle start_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::int_ start_index = pysem::int_arg(start_arg, "start_index");
    long long start = pysem::clamp_ll(start_index);
    auto table = table_block(self, lines, start);
    if (!table) return py::none();
    // Near the upper limit of long long the index after the table saturates;
    // there no row was read (a list is shorter), so it is start_index + 2.
    py::object after = start < LLONG_MAX - 2 ? py::object(py::int_(table->second))
                                             : pysem::steal(PyNumber_Add(start_index.ptr(), py::int_(2).ptr()));
    return py::make_tuple(table->first.object(), after);
}

inline bool starts_with_fence(py::handle trimmed) {
    text_view t(trimmed);
    return t.size() >= 3 && t[0] == '`' && t[1] == '`' && t[2] == '`';
}

// A kind block from one of the parsers, through the instance: the parser's
// own block while it is the class's own, else what the method returned.
template <auto Method, class Own>
std::optional<block> parsed(py::handle self, Own &&own, py::handle line) {
    if (is_direct<Method>(self)) return own();
    py::object found = through<Method>(self, line);
    if (found.is_none()) return std::nullopt;
    return block::of(found);
}

// The kind blocks of an answer text (the rules of _build_text_fallback_blocks).
inline std::vector<block> text_blocks(py::handle self, py::handle text) {
    py::object lines = via<_normalize_text_lines>(self, text);
    std::vector<block> blocks;
    py::list buffer;
    bool fenced = false;
    // A list item made here by the native parser (its text trimmed and not
    // empty, and held by no other code) gathers its continuation lines in
    // `pieces` and gets their join once another block follows or the text
    // ends: trimming the item and one more line each time gives the same text,
    // but would copy the growing text for every line.
    bool own_item = false;
    py::list pieces;
    auto settle = [&] {
        if (PyList_GET_SIZE(pieces.ptr()) != 0) {
            blocks.back().set(PYSEM_LIT("text"), join(PYSEM_LIT(""), pieces));
            pieces = py::list();
        }
        own_item = false;
    };
    auto push = [&](block b) {
        settle();
        blocks.push_back(std::move(b));
    };
    auto flush = [&] {
        py::str paragraph = strip(join(PYSEM_LIT("\n"), buffer));
        buffer = py::list();
        if (PyUnicode_GET_LENGTH(paragraph.ptr()) == 0) return;
        push({{PYSEM_LIT("kind"), PYSEM_LIT("text")}, {PYSEM_LIT("text"), paragraph}});
    };
    long long index = 0;
    while (index < length(lines)) {
        py::object line = pysem::steal(PySequence_GetItem(lines.ptr(), static_cast<Py_ssize_t>(index)));
        py::str trimmed = strip(text_item(line, "strip"));
        if (starts_with_fence(trimmed)) {
            fenced = !fenced;
            append(buffer, pysem::rstrip(line));
            ++index;
            continue;
        }
        if (fenced) {
            append(buffer, pysem::rstrip(line));
            ++index;
            continue;
        }
        if (PyUnicode_GET_LENGTH(trimmed.ptr()) == 0) {
            flush();
            ++index;
            continue;
        }
        std::optional<block> heading = parsed<_parse_markdown_heading>(
            self, [&] { return heading_block(pysem::exact_str(line, "line")); }, line);
        if (heading) {
            flush();
            push(std::move(*heading));
            ++index;
            continue;
        }
        if (is_direct<_parse_markdown_table>(self)) {
            if (auto table = table_block(self, pysem::exact_list(lines, "lines"), index)) {
                flush();
                push(std::move(table->first));
                index = table->second;
                continue;
            }
        } else {
            py::object table = through<_parse_markdown_table>(self, lines, py::int_(index));
            if (!table.is_none()) {
                auto [found, next] = pysem::unpack2(table);
                flush();
                push(block::of(found));
                index = pysem::int_arg_ll(next, "index");
                continue;
            }
        }
        bool native_item = is_direct<_parse_markdown_list_item>(self);
        std::optional<block> item = parsed<_parse_markdown_list_item>(
            self, [&] { return list_item_block(pysem::exact_str(line, "line")); }, line);
        if (item) {
            flush();
            push(std::move(*item));
            own_item = native_item;
            ++index;
            continue;
        }
        if (pysem::is_space(PyUnicode_READ_CHAR(line.ptr(), 0)) && !blocks.empty()) {
            block &last = blocks.back();
            if (own_item) {
                if (PyList_GET_SIZE(pieces.ptr()) == 0) append(pieces, last.get(PYSEM_LIT("text")));
                append(pieces, PYSEM_LIT(" "));
                append(pieces, trimmed);
                ++index;
                continue;
            }
            if (text_equals(last.get(PYSEM_LIT("kind")), PYSEM_LIT("list_item"))) {
                py::str joined = strip(cat(last.item(PYSEM_LIT("text")), " ", trimmed));
                last.set(PYSEM_LIT("text"), joined);
                ++index;
                continue;
            }
        }
        append(buffer, pysem::rstrip(line));
        ++index;
    }
    flush();
    settle();
    return blocks;
}

inline py::object _build_text_fallback_blocks(py::handle self, py::handle text_arg) {
    return block_list(text_blocks(self, pysem::exact_str(text_arg, "text")));
}

} // namespace telvara::impl
