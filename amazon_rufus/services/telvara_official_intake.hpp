// The diagnosis from prose: the report entry, answer-text intake, line marker
// helpers, marker groups and field values.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"
#include "amazon_rufus/services/telvara_markdown.hpp"
#include "amazon_rufus/services/telvara_patterns.hpp"

#include <algorithm>
#include <memory>
#include <optional>

namespace telvara::official {

// Subsections without lines of their own get a heading only up to this
// number: a line such as "1000000000、x" must not make a billion headings.
constexpr long long kFilledSubsections = 50;

// Subsection numbers longer than this are not read as numbers (reading them
// would be quadratic and their decimal form could not be written back); such
// a line stays text of the subsection before it.
constexpr Py_ssize_t kMaxNumberDigits = 4300;

// The defaults of _find_line's start and _short_value's limit.
constexpr long long kFindLineStart = 0;
constexpr long long kShortValueLimit = 80;

// ---------------------------------------------------------------------------
// Normalisations

// Lines of a text at LF, after CR LF and lone CR became LF.
inline py::list lf_lines(py::handle text) { return pysem::split_lf(pysem::normalize_newlines(text)); }

inline bool is_lone_bullet(py::handle trimmed) {
    pysem::text_view t(trimmed);
    return t.size() == 1 && (t[0] == U'•' || t[0] == U'-' || t[0] == U'*');
}

// A lone bullet at line i takes the next non-blank line as its text: that
// line's index, or the number of lines when there is none.
inline Py_ssize_t bullet_text_line(py::handle lines, Py_ssize_t i) {
    Py_ssize_t n = size(lines), j = i + 1;
    while (j < n && pysem::is_blank(item(lines, j))) ++j;
    return j;
}

inline py::str normalize_answer_markdown(py::handle, py::handle text_arg) {
    py::str source = pysem::exact_str(text_arg, "text");
    py::list lines = lf_lines(source);
    Py_ssize_t n = size(lines);
    py::list kept;
    for (Py_ssize_t i = 0; i < n;) {
        py::str current = pysem::rstrip(item(lines, i));
        if (is_lone_bullet(strip(current))) {
            Py_ssize_t j = bullet_text_line(lines, i);
            if (j < n) {
                append(kept, concat({PYSEM_LIT("- "), strip(item(lines, j))}));
                i = j + 1;
                continue;
            }
        }
        append(kept, current);
        ++i;
    }
    py::str joined = strip(join(PYSEM_LIT("\n"), kept));
    return patterns::cut_line_feed_runs(joined);
}

inline py::list normalize_content_lines(py::handle, py::handle text_arg) {
    py::str source = pysem::exact_str(text_arg, "text");
    py::list lines = lf_lines(source);
    Py_ssize_t n = size(lines);
    py::list out;
    for (Py_ssize_t i = 0; i < n;) {
        py::str line = strip(item(lines, i));
        if (PyUnicode_GET_LENGTH(line.ptr()) == 0) {
            ++i;
        } else if (is_lone_bullet(line)) {
            Py_ssize_t j = bullet_text_line(lines, i);
            if (j < n) append(out, concat({PYSEM_LIT("- "), strip(item(lines, j))}));
            i = j + 1;
        } else {
            append(out, line);
            ++i;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Answer text and sections

// The normalized text, or whatever a replaced normalizer gave.
inline py::object answer_text(py::handle self, py::handle index_arg, py::handle answer) {
    py::int_ index = pysem::int_arg(index_arg, "index");
    py::object mapping = is_mapping(answer) ? py::reinterpret_borrow<py::object>(answer) : py::dict();
    auto normalized = [&](py::handle s) { return via<normalize_answer_markdown>(self, s); };

    py::object value = get(mapping, PYSEM_LIT("answer"));
    if (truthy(value)) {
        py::str s = strip(text_form(value));
        if (length(s)) return normalized(s);
    }
    // The body writer takes only a plain mapping: a derived one is copied.
    py::object body = via<impl::_format_answer_body>(self, index, plain(mapping));
    if (truthy(body)) return normalized(join(PYSEM_LIT("\n"), body));

    py::object summary = either(mapping, {PYSEM_LIT("summary"), PYSEM_LIT("summaryText")});
    if (truthy(summary)) {
        py::str s = strip(text_form(summary));
        if (length(s)) return normalized(s);
    }
    py::object links = via<impl::_format_product_links>(self, get(mapping, PYSEM_LIT("productLinks")));
    if (truthy(links)) return normalized(join(PYSEM_LIT("\n"), links));
    return PYSEM_LIT("");
}

// The intro and numbered subsections of an answer's content lines (the
// rules of _split_numbered_sections).
inline py::tuple numbered_sections(py::handle lines) {
    State &st = state();
    py::list intro;
    py::dict sections;
    py::object current; // the list of the current subsection
    for_each(lines, [&](py::object line) {
        std::optional<std::pair<patterns::span, patterns::span>> match;
        if (PyUnicode_Check(line.ptr())) match = patterns::numbered_line(line);
        else call(st.numbered_line_match, line); // refused as `re` refuses it
        if (match) {
            py::object digits = pysem::substr(line, match->first.start, match->first.end);
            if (length(digits) <= kMaxNumberDigits) {
                PyObject *number = PyLong_FromUnicodeObject(digits.ptr(), 10);
                if (number) {
                    py::object key = pysem::steal(number);
                    py::object list = lookup(sections, key);
                    if (!list) {
                        list = py::list();
                        sections[key] = list;
                    }
                    current = list;
                    return;
                }
                // A limit on reading integer text below our own: keep the line.
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) pysem::throw_pending();
                PyErr_Clear();
            }
        }
        append(current ? current : py::object(intro), line);
    });
    return py::make_tuple(intro, sections);
}

inline py::tuple split_numbered_sections(py::handle self, py::handle text_arg) {
    py::str source = pysem::exact_str(text_arg, "text");
    return numbered_sections(via<normalize_content_lines>(self, source));
}

// The subsections that an answer's content lines give by their marker words
// (the rules of _infer_diagnosis_sections).
inline py::object inferred_sections(py::handle self, py::handle question, py::handle lines) {
    if (!truthy(lines)) return py::dict();
    switch (pysem::clamp_ll(question)) {
    case 1: return via<infer_title_sections>(self, lines);
    case 2: return via<infer_bullet_sections>(self, lines);
    case 3: return via<infer_image_sections>(self, lines);
    case 4: return via<infer_aplus_sections>(self, lines);
    case 5: return via<infer_review_sections>(self, lines);
    case 6: return via<infer_competitor_sections>(self, lines);
    case 7: return via<infer_overall_sections>(self, lines);
    default: return py::dict();
    }
}

inline py::object infer_diagnosis_sections(py::handle self, py::handle question_arg, py::handle text_arg) {
    py::int_ question = pysem::int_arg(question_arg, "question_index");
    py::str source = pysem::exact_str(text_arg, "text");
    return inferred_sections(self, question, via<normalize_content_lines>(self, source));
}

// The subsection numbers to render: 1 up to the largest number (filled up
// to kFilledSubsections), then every larger number that the titles or the
// sections hold, ascending.
inline std::vector<py::object> subsection_numbers(py::handle titles, py::handle sections) {
    py::object largest;
    py::set beyond;
    py::int_ fill_limit(kFilledSubsections);
    for (py::handle mapping : {titles, sections}) {
        for_each(mapping, [&](py::object key) {
            if (!PyLong_Check(key.ptr())) return;
            if (!largest || less(largest, key)) largest = key;
            if (less(fill_limit, key) && PySet_Add(beyond.ptr(), key.ptr()) < 0) pysem::throw_pending();
        });
    }
    std::vector<py::object> numbers;
    if (!largest) return numbers;
    long long top = std::min(pysem::clamp_ll(largest), kFilledSubsections);
    for (long long k = 1; k <= top; ++k) numbers.push_back(py::int_(k));
    py::list rest = pysem::steal_as<py::list>(PySequence_List(beyond.ptr()));
    if (PyList_Sort(rest.ptr()) < 0) pysem::throw_pending();
    for (py::object key : pysem::list_items(rest)) numbers.push_back(std::move(key));
    return numbers;
}

inline py::list format_diagnosis_answer(py::handle self, py::handle question_arg, py::handle answer) {
    py::int_ question = pysem::int_arg(question_arg, "question_index");
    py::object answer_text = via<official::answer_text>(self, question, answer);
    if (!truthy(answer_text))
        answer_text = concat({PYSEM_LIT("第 "), text_form(question), PYSEM_LIT(" 题未获取到答案")});

    // Both steps read the answer's content lines: while they and the line
    // reader are the class's own, the lines are read once.
    py::object content;
    py::object split;
    if (is_direct<split_numbered_sections>(self)) {
        py::str source = pysem::exact_str(answer_text, "text");
        content = via<normalize_content_lines>(self, source);
        split = numbered_sections(content);
        if (!is_direct<normalize_content_lines>(self)) content = py::object();
    } else {
        split = through<split_numbered_sections>(self, answer_text);
    }
    auto [intro, sections] = pysem::unpack2(split);
    if (!truthy(sections)) {
        py::object inferred = content && is_direct<infer_diagnosis_sections>(self)
                                  ? inferred_sections(self, question, content)
                                  : via<infer_diagnosis_sections>(self, question, answer_text);
        if (truthy(inferred)) {
            sections = inferred;
            intro = py::list();
        }
    }

    py::list out;
    if (truthy(intro) && !truthy(sections)) {
        extend(out, via<render_plain_lines>(self, intro));
        append(out, PYSEM_LIT(""));
    }

    py::object titles = lookup(state().ns["DIAGNOSIS_SUBSECTIONS"], question);
    if (!titles || !truthy(titles)) {
        py::dict fallback;
        for (long long k = 1; k <= 4; ++k) fallback[py::int_(k)] = concat({PYSEM_LIT("模块"), decimal(k)});
        titles = fallback;
    }
    py::list no_lines;
    for (const py::object &k : subsection_numbers(titles, sections)) {
        py::object title = lookup(titles, k);
        py::str k_text = text_form(k);
        py::str title_text = title ? text_form(title) : concat({PYSEM_LIT("模块"), k_text});
        append(out, concat({PYSEM_LIT("### "), k_text, PYSEM_LIT("、"), title_text}));
        append(out, PYSEM_LIT(""));
        py::object lines = lookup(sections, k);
        extend(out, via<render_diagnosis_subsection>(self, question, k, lines ? lines : py::list()));
        append(out, PYSEM_LIT(""));
    }
    return out;
}

inline py::object format_official_report(py::handle self, py::handle data_arg, py::handle answers_arg,
                                         py::handle questions_arg) {
    py::dict data = pysem::exact_dict(data_arg, "data");
    py::list answers = pysem::exact_list(answers_arg, "answers");
    pysem::exact_list(questions_arg, "questions");

    py::object raw = get(data, PYSEM_LIT("asin"));
    py::object asin_value = truthy(raw) ? raw : py::object(PYSEM_LIT("UNKNOWN"));
    py::object asin = upper(strip(text_form(asin_value)));
    if (!truthy(asin)) asin = PYSEM_LIT("UNKNOWN");

    impl::report_lines lines(self);
    lines.add(concat({PYSEM_LIT("# ASIN "), asin, PYSEM_LIT(" Listing 优化诊断报告")}));
    lines.add(PYSEM_LIT(""));
    py::object section_titles = state().ns["DIAGNOSIS_SECTION_TITLES"];
    for (Py_ssize_t i = 0; i < size(answers); ++i) {
        long long n = i + 1;
        py::object answer = item(answers, i);
        py::object title = lookup(section_titles, py::int_(n));
        py::str title_text = title ? text_form(title) : concat({PYSEM_LIT("模块"), decimal(n)});
        lines.add(concat({PYSEM_LIT("## "), decimal(n), PYSEM_LIT(". "), title_text}));
        lines.add(PYSEM_LIT(""));
        lines.add_all(via<format_diagnosis_answer>(self, py::int_(n), answer));
        if (n < size(answers)) {
            lines.add(PYSEM_LIT(""));
            lines.add(PYSEM_LIT("---"));
            lines.add(PYSEM_LIT(""));
        }
    }
    // The text is trimmed at its end and ends with one LF. The collapse cuts
    // trailing white space and drops trailing blank lines anyway: the class's
    // own method gets the lines as they are.
    return lines.finish([](py::str text) { return concat({pysem::rstrip(text), PYSEM_LIT("\n")}); });
}

// ---------------------------------------------------------------------------
// Line marker helpers

// A case-insensitive search of one line, found or not.
//
// The competitor pattern "卖点优劣势|卖点.*对比" makes the engine scan the rest
// of the line once per "卖点", which is quadratic on a long line of repeated
// 卖点. On a line without line feed its outcome is exactly that of two
// substring scans ("卖点优劣势" anywhere, or "对比" after the first "卖点":
// these words have no other case forms), so such lines are decided by them.
// Marker words and label lines are found natively too (see
// telvara_patterns.hpp); anything but a text goes to `re`, for its error.
class line_search {
  public:
    explicit line_search(py::handle pattern)
        : search_(pysem::getattr(compiled(pattern, kIgnoreCase), PYSEM_LIT("search"))),
          selling_points_(equal(pattern, PYSEM_LIT("卖点优劣势|卖点.*对比"))),
          words_(patterns::word_pattern::of(pattern)), label_(patterns::label_line::of(pattern)) {}

    bool found(py::handle line) const {
        if (PyUnicode_Check(line.ptr())) {
            if (words_) return words_->found(line);
            if (label_) return label_->found(line);
            if (selling_points_ && find(line, PYSEM_LIT("\n"), 0) < 0) {
                if (find(line, PYSEM_LIT("卖点优劣势"), 0) >= 0) return true;
                Py_ssize_t at = find(line, PYSEM_LIT("卖点"), 0);
                return at >= 0 && find(line, PYSEM_LIT("对比"), at + 2) >= 0;
            }
        }
        return !call(search_, line).is_none();
    }

  private:
    static Py_ssize_t find(py::handle s, py::handle needle, Py_ssize_t from) {
        Py_ssize_t at = PyUnicode_Find(s.ptr(), needle.ptr(), from, PY_SSIZE_T_MAX, 1);
        if (at == -2) pysem::throw_pending();
        return at;
    }

    py::object search_;
    bool selling_points_;
    std::optional<patterns::word_pattern> words_;
    std::optional<patterns::label_line> label_;
};

// The line search of a pattern given as text. That of a plain text is made
// once and kept (the module's own patterns come back all the time), in a
// bounded cache; `holder` keeps it alive.
struct held_search {
    py::object holder;
    const line_search *search;
};

inline held_search held(py::handle pattern) {
    auto made = std::make_unique<line_search>(pattern);
    py::capsule holder(made.get(), [](void *p) { delete static_cast<line_search *>(p); });
    return {holder, made.release()};
}

inline held_search line_search_of(py::handle pattern) {
    if (!PyUnicode_CheckExact(pattern.ptr())) return held(pattern);
    PyObject *cache = state().line_searches.ptr();
    if (PyObject *known = PyDict_GetItemWithError(cache, pattern.ptr()))
        return {py::reinterpret_borrow<py::object>(known), static_cast<const line_search *>(PyCapsule_GetPointer(known, nullptr))};
    if (PyErr_Occurred()) pysem::throw_pending();
    auto [holder, made] = held(pattern);
    if (PyDict_GET_SIZE(cache) >= 256) PyDict_Clear(cache);
    if (PyDict_SetItem(cache, pattern.ptr(), holder.ptr()) < 0) pysem::throw_pending();
    return {holder, made};
}

inline py::int_ find_line(py::handle, py::handle lines_arg, py::handle pattern_arg, py::handle start_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::str pattern = pysem::exact_str(pattern_arg, "pattern");
    long long start = pysem::int_arg_ll(start_arg, "start");
    held_search search = line_search_of(pattern);
    for (Py_ssize_t i = start > 0 ? static_cast<Py_ssize_t>(std::min<long long>(start, PY_SSIZE_T_MAX)) : 0;
         i < size(lines); ++i) {
        if (search.search->found(item(lines, i))) return py::int_(i);
    }
    return py::int_(-1);
}

inline py::object extract_after_marker(py::handle self, py::handle lines_arg, py::handle start_arg,
                                       py::handle end_arg, py::handle marker_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    long long start = pysem::int_arg_ll(start_arg, "start");
    long long end = pysem::int_arg_ll(end_arg, "end");
    py::str marker = pysem::exact_str(marker_arg, "marker");
    if (start < 0) return py::list();
    Py_ssize_t n = size(lines);
    long long stop = end >= 0 ? end : n;
    if (start >= n) throw py::index_error("list index out of range");
    py::object line = item(lines, static_cast<Py_ssize_t>(start));

    State &st = state();
    py::object cut_sub;
    if (PyObject *known = PyDict_GetItemWithError(st.marker_cuts.ptr(), marker.ptr())) {
        cut_sub = py::reinterpret_borrow<py::object>(known);
    } else {
        if (PyErr_Occurred()) pysem::throw_pending();
        py::str cut = concat({PYSEM_LIT("^.*"), call(st.escape_fn, marker), PYSEM_LIT("[:：]?\\s*")});
        cut_sub = pysem::getattr(compile_now(st, cut, 0), PYSEM_LIT("sub"));
        if (PyDict_GET_SIZE(st.marker_cuts.ptr()) >= 64) PyDict_Clear(st.marker_cuts.ptr());
        if (PyDict_SetItem(st.marker_cuts.ptr(), marker.ptr(), cut_sub.ptr()) < 0) pysem::throw_pending();
    }
    py::object rest = strip(as_text(call(cut_sub, PYSEM_LIT(""), line)));
    py::list out;
    if (length(rest) && !equal(rest, line)) append(out, rest);
    extend(out, slice(lines, static_cast<Py_ssize_t>(start + 1),
                      static_cast<Py_ssize_t>(std::min<long long>(stop, PY_SSIZE_T_MAX))));
    return via<impl::_trim_blank>(self, out);
}

inline py::list guess_title_lines(py::handle, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    State &st = state();
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        Py_ssize_t len = PyObject_Length(line.ptr());
        if (len < 0) pysem::throw_pending();
        if (len >= 60 && !call(st.title_words_search, line).is_none()) {
            py::list out;
            append(out, line);
            return out;
        }
    }
    return py::list();
}

inline py::list strip_marker_lines(py::handle, py::handle lines_arg, py::handle patterns_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::list patterns = pysem::exact_list(patterns_arg, "patterns");
    std::vector<held_search> searches; // compiled on first use, in list order
    py::list out;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        bool found = false;
        for (Py_ssize_t p = 0; p < size(patterns) && !found; ++p) {
            if (static_cast<size_t>(p) == searches.size()) searches.push_back(line_search_of(item(patterns, p)));
            found = searches[p].search->found(line);
        }
        if (!found) append(out, line);
    }
    return out;
}

inline py::list strip_bullets(py::handle, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    State &st = state();
    py::list out;
    // ^[-*•\s]+ and ^[✅✔]+ cut as their leading runs.
    auto bullet = [](Py_UCS4 c) { return c == '-' || c == '*' || c == U'•' || pysem::is_space(c); };
    auto check = [](Py_UCS4 c) { return c == U'✅' || c == U'✔'; };
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (!PyUnicode_Check(line.ptr())) {
            call(st.bullet_lead_sub, PYSEM_LIT(""), line); // refused as `re` refuses it
            // A pattern that a patched re.compile made may take it: the cut
            // below reads texts only.
            PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", pysem::type_name(line));
            pysem::throw_pending();
        }
        py::str s = strip(patterns::cut_leading(line, bullet));
        s = strip(patterns::cut_leading(s, check));
        if (length(s)) append(out, s);
    }
    return out;
}

inline py::list to_pair_lines(py::handle, py::handle lines_arg, py::handle default_key_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::str default_key = pysem::exact_str(default_key_arg, "default_key");
    py::str separators[] = {PYSEM_LIT("→"), PYSEM_LIT("："), PYSEM_LIT(":")};
    py::list out;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (!truthy(line)) continue;
        py::str *separator = nullptr;
        for (py::str &sep : separators)
            if (contains(line, sep)) {
                separator = &sep;
                break;
            }
        if (!separator) {
            append(out, default_key);
            append(out, line);
            continue;
        }
        py::str s = as_text(line);
        Py_ssize_t at = PyUnicode_Find(s.ptr(), separator->ptr(), 0, PY_SSIZE_T_MAX, 1);
        if (at == -1) throw py::value_error("substring not found"); // a str subclass's `in` said it was there
        if (at < 0) pysem::throw_pending();
        py::str left = strip(pysem::substr(s, 0, at));
        append(out, length(left) ? left : default_key);
        append(out, strip(pysem::substr(s, at + 1, length(s))));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Marker groups and field values

inline py::list collect_marker_groups(py::handle, py::handle lines_arg, py::handle pattern_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::str pattern = pysem::exact_str(pattern_arg, "pattern");
    py::object match_fn = pysem::getattr(compiled(pattern, kIgnoreCase), PYSEM_LIT("match"));
    std::optional<patterns::leading_ideographs> lead = patterns::leading_ideographs::of(pattern);
    std::vector<std::pair<Py_ssize_t, py::object>> marks;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (lead && lead->rules_out(line)) continue;
        py::object m = call(match_fn, line);
        if (!m.is_none()) marks.emplace_back(i, std::move(m));
    }
    py::list groups;
    for (size_t k = 0; k < marks.size(); ++k) {
        auto &[at, m] = marks[k];
        Py_ssize_t end = k + 1 < marks.size() ? marks[k + 1].first : size(lines);
        py::str marker = strip(text_form(group(m, 1)));
        py::object last = pysem::getattr(m, PYSEM_LIT("lastindex"));
        py::str body = PYSEM_LIT("");
        if (!last.is_none() && pysem::clamp_ll(last) >= 2) body = strip(text_form(group(m, 2)));
        append(groups, py::make_tuple(py::int_(k + 1), marker, body, slice(lines, at + 1, end), py::int_(at)));
    }
    return groups;
}

inline py::object chunk_value(py::handle self, py::handle chunk_arg, py::handle label_arg) {
    py::list chunk = pysem::exact_list(chunk_arg, "chunk");
    py::str label = pysem::exact_str(label_arg, "label");
    State &st = state();
    py::object label_line, cut_sub;
    PyObject *known = PyDict_GetItemWithError(st.labels.ptr(), label.ptr());
    if (!known && PyErr_Occurred()) pysem::throw_pending();
    // The collector hands the module's dict of labels to any Python code
    // that asks: an entry that is no longer a pair is made again.
    if (known && PyTuple_CheckExact(known) && PyTuple_GET_SIZE(known) == 2) {
        label_line = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(known, 0));
        cut_sub = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(known, 1));
    } else {
        py::object escaped = call(st.escape_fn, label);
        label_line = label_line_pattern(escaped);
        cut_sub = pysem::getattr(compiled(concat({PYSEM_LIT("^"), escaped, PYSEM_LIT("[:：]\\s*")}), 0), PYSEM_LIT("sub"));
    }
    py::object found = via<find_line>(self, chunk, label_line, omitted{py::int_(kFindLineStart)});
    long long start = pysem::clamp_ll(pysem::int_arg(found, "start"));
    if (start < 0) return PYSEM_LIT("");

    // A start at or past the end (an override's, at any size) scans no line
    // and fails below where chunk[start] is read.
    Py_ssize_t n = size(chunk);
    Py_ssize_t end = n;
    for (Py_ssize_t j = start < n ? static_cast<Py_ssize_t>(start) + 1 : n; j < n && end == n; ++j) {
        py::object line = item(chunk, j);
        if (!PyUnicode_Check(line.ptr())) {
            for (const py::object &match : st.next_label_match) call(match, line); // refused as `re` refuses it
            continue;
        }
        for (const py::str &label : st.next_labels)
            if (patterns::label_line(label).found(line)) {
                end = j;
                break;
            }
    }
    py::object first = item(chunk, static_cast<Py_ssize_t>(start));
    py::str rest = strip(as_text(call(cut_sub, PYSEM_LIT(""), first)));
    py::list value_lines;
    if (length(rest) && !equal(rest, first)) append(value_lines, rest);
    extend(value_lines, slice(chunk, static_cast<Py_ssize_t>(start) + 1, end));
    return strip(join(PYSEM_LIT("\n"), via<impl::_trim_blank>(self, value_lines)));
}

inline py::list summary_from_suggestions(py::handle, py::handle lines_arg) {
    py::list lines = pysem::exact_list(lines_arg, "lines");
    py::str prefix = PYSEM_LIT("Bullet");
    py::list out;
    for (Py_ssize_t i = 0; i < size(lines); ++i) {
        py::object line = item(lines, i);
        if (starts_with(as_text(line), prefix)) append(out, line);
    }
    if (size(out) == 0)
        append(out, PYSEM_LIT("按买家决策路径重排五点：先讲空间与安全，再讲差异化功能，最后用结构、灯光、收纳和安装预期支撑转化。"));
    return out;
}

inline py::str short_value(py::handle, py::handle value_arg, py::handle limit_arg) {
    py::str value = pysem::exact_str(value_arg, "value");
    long long limit = pysem::int_arg_ll(limit_arg, "limit");
    py::str s = strip(patterns::replace_space_runs(value, PYSEM_LIT(" ")));
    Py_ssize_t n = length(s);
    if (limit >= n) return s;
    // s[:limit - 1] + "…", with the host's slicing of negative bounds.
    return concat({pysem::substr(s, 0, slice_bound(minus_one(limit), n)), PYSEM_LIT("…")});
}

} // namespace telvara::official
