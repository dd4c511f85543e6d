// Native matches of some of the module's own line patterns. Each gives what
// `re` gives for its pattern (named beside it) on every text: the reasoning
// is written down with each, and the tests compare them with `re` on random
// texts over every class of code point. `\s` is str.isspace, `\d`
// str.isdecimal and `.` any code point but LF, as `re` reads them in a str
// pattern; `$` without MULTILINE matches at the end and before a final LF.
#pragma once

#include "amazon_rufus/services/telvara_core.hpp"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace telvara::patterns {

// The code points [start, end) of a text.
struct span {
    Py_ssize_t start, end;
};

// `\s+(.*)$` matched at position k: the span of the group. `\s+` takes the
// whole run of white space first and `.*` then stops at the first LF. No
// shorter run can help: the group would start inside the run and still meet
// the same LF. So it matches exactly when a white space code point is at k
// and no LF comes after the run, but as the final code point, which `$` may
// precede (the group then ends before it).
inline std::optional<span> spaced_rest(pysem::text_view t, Py_ssize_t k) {
    Py_ssize_t n = t.size();
    if (k >= n || !pysem::is_space(t[k])) return std::nullopt;
    Py_ssize_t start = k + 1;
    while (start < n && pysem::is_space(t[start])) ++start;
    Py_ssize_t end = start < n && t[n - 1] == '\n' ? n - 1 : n;
    for (Py_ssize_t i = start; i < end; ++i)
        if (t[i] == '\n') return std::nullopt;
    return span{start, end};
}

// re.match(r"^(#{1,6})\s+(.*)$", s): groups 1 and 2. `#{1,6}` takes up to six
// '#'; a shorter run would leave a '#' where `\s+` must start.
inline std::optional<std::pair<span, span>> markdown_heading(py::handle s) {
    pysem::text_view t(s);
    Py_ssize_t hashes = 0;
    while (hashes < 6 && hashes < t.size() && t[hashes] == '#') ++hashes;
    if (hashes == 0) return std::nullopt;
    std::optional<span> rest = spaced_rest(t, hashes);
    if (!rest) return std::nullopt;
    return std::pair{span{0, hashes}, *rest};
}

// re.match(r"^([-*•])\s+(.*)$", s): group 2.
inline std::optional<span> unordered_item(py::handle s) {
    pysem::text_view t(s);
    if (t.empty() || !(t[0] == '-' || t[0] == '*' || t[0] == 0x2022)) return std::nullopt;
    return spaced_rest(t, 1);
}

// re.match(r"^\d+[.)]\s+(.*)$", s): group 1. `\d+` takes every leading
// digit; a shorter run would leave a digit where `[.)]` must match.
inline std::optional<span> ordered_item(py::handle s) {
    pysem::text_view t(s);
    Py_ssize_t digits = 0;
    while (digits < t.size() && Py_UNICODE_ISDECIMAL(t[digits])) ++digits;
    if (digits == 0 || digits == t.size() || !(t[digits] == '.' || t[digits] == ')')) return std::nullopt;
    return spaced_rest(t, digits + 1);
}

// re.sub(r"\s+", replacement, s): every run of white space replaced once
// (the runs are maximal and never overlap). The text itself when it has none.
inline py::str replace_space_runs(py::handle s, py::handle replacement) {
    pysem::text_view t(s);
    text_builder out;
    Py_ssize_t from = 0, i = 0, n = t.size();
    bool replaced = false;
    while (i < n) {
        if (!pysem::is_space(t[i])) {
            ++i;
            continue;
        }
        out.add_part(s, from, i);
        out.add(replacement);
        while (i < n && pysem::is_space(t[i])) ++i;
        from = i;
        replaced = true;
    }
    if (!replaced) return py::reinterpret_borrow<py::str>(s);
    out.add_part(s, from, n);
    return out.finish();
}

// re.sub(r"\n{3,}", "\n\n", s): every run of three or more LF becomes two.
inline py::str cut_line_feed_runs(py::handle s) {
    pysem::text_view t(s);
    text_builder out;
    Py_ssize_t from = 0, i = 0, n = t.size();
    bool replaced = false;
    while (i < n) {
        if (t[i] != '\n') {
            ++i;
            continue;
        }
        Py_ssize_t run = i;
        while (i < n && t[i] == '\n') ++i;
        if (i - run < 3) continue;
        out.add_part(s, from, run).ascii("\n\n");
        from = i;
        replaced = true;
    }
    if (!replaced) return py::reinterpret_borrow<py::str>(s);
    out.add_part(s, from, n);
    return out.finish();
}

// The end of `[1-9]\d*、` matched at the start of a text, or nothing. `\d*`
// takes every digit that follows; a shorter run would leave a digit where
// "、" must be.
inline std::optional<Py_ssize_t> numbered_prefix(const pysem::text_view &t) {
    if (t.empty() || t[0] < '1' || t[0] > '9') return std::nullopt;
    Py_ssize_t i = 1;
    while (i < t.size() && Py_UNICODE_ISDECIMAL(t[i])) ++i;
    if (i == t.size() || t[i] != U'、') return std::nullopt;
    return i + 1;
}

// re.match(r"^[1-9]\d*、", s) found.
inline bool numbered_heading(py::handle s) { return numbered_prefix(pysem::text_view(s)).has_value(); }

// re.match(r"^([1-9]\d*)、(.+)$", s): groups 1 and 2. `.+` runs to the first
// LF (or the end); only there, and only when it is the final code point,
// can `$` match, and a shorter `.+` cannot end where `$` matches.
inline std::optional<std::pair<span, span>> numbered_line(py::handle s) {
    pysem::text_view t(s);
    std::optional<Py_ssize_t> after = numbered_prefix(t);
    if (!after) return std::nullopt;
    Py_ssize_t n = t.size(), end = *after;
    while (end < n && t[end] != '\n') ++end;
    if (end == *after || !(end == n || end == n - 1)) return std::nullopt;
    return std::pair{span{0, *after - 1}, span{*after, end}};
}

// ---------------------------------------------------------------------------
// Patterns given as text that are plain words
//
// A CJK unified ideograph (U+4E00 to U+9FFF) is no metacharacter and has no
// other case, so a pattern made of them stands for exactly those code points,
// with IGNORECASE or without.

inline bool is_ideograph(Py_UCS4 c) { return c >= 0x4E00 && c <= 0x9FFF; }

inline bool all_ideographs(const pysem::text_view &t, Py_ssize_t start, Py_ssize_t end) {
    if (end <= start) return false;
    for (Py_ssize_t i = start; i < end; ++i)
        if (!is_ideograph(t[i])) return false;
    return true;
}

// Words of ideographs separated by "|", or one such word after "^" and
// optionally before "$" ("^a|b" would anchor only its first word). re.search
// finds such a pattern in a text exactly when one of the words occurs in it;
// when anchored, when the text starts with the word, and with "$" when it is
// the word, or the word and a final LF.
class word_pattern {
  public:
    static std::optional<word_pattern> of(py::handle pattern) {
        if (!PyUnicode_Check(pattern.ptr())) return std::nullopt;
        pysem::text_view t(pattern);
        word_pattern p;
        Py_ssize_t start = 0, end = t.size();
        if (end && t[0] == '^') p.anchored_ = true, ++start;
        if (p.anchored_ && end > start && t[end - 1] == '$') p.whole_ = true, --end;
        for (Py_ssize_t i = start; i <= end; ++i) {
            if (i < end && t[i] != '|') continue;
            if (!all_ideographs(t, start, i)) return std::nullopt;
            p.words_.push_back(pysem::substr(pattern, start, i));
            start = i + 1;
        }
        if (p.anchored_ && p.words_.size() != 1) return std::nullopt;
        return p;
    }

    // A text only.
    bool found(py::handle line) const {
        for (const py::str &word : words_) {
            if (!anchored_) {
                if (pysem::contains(line, word)) return true;
            } else if (pysem::starts_with(line, word)) {
                if (!whole_) return true;
                Py_ssize_t rest = PyUnicode_GET_LENGTH(line.ptr()) - PyUnicode_GET_LENGTH(word.ptr());
                if (rest == 0 || (rest == 1 && PyUnicode_READ_CHAR(line.ptr(), PyUnicode_GET_LENGTH(line.ptr()) - 1) == '\n'))
                    return true;
            }
        }
        return false;
    }

  private:
    std::vector<py::str> words_;
    bool anchored_ = false, whole_ = false;
};

// The label line of a label of ideographs, "^L[:：]?$|^L[:：]": re finds it
// (search or match, IGNORECASE or not: both branches are anchored and the
// colons have no other case) in a text exactly when the text starts with L
// and then ends, or holds only a final LF, or goes on with a colon.
class label_line {
  public:
    explicit label_line(py::str label) : label_(std::move(label)) {}

    static std::optional<label_line> of(py::handle pattern) {
        if (!PyUnicode_Check(pattern.ptr())) return std::nullopt;
        pysem::text_view t(pattern);
        // "^" L "[:：]?$|^" L "[:：]": 13 code points besides the label twice.
        Py_ssize_t n = t.size();
        if (n < 15 || (n - 13) % 2) return std::nullopt;
        Py_ssize_t l = (n - 13) / 2;
        py::str label = pysem::substr(pattern, 1, 1 + l);
        if (!all_ideographs(t, 1, 1 + l)) return std::nullopt;
        py::str expected = pysem::concat({PYSEM_LIT("^"), label, PYSEM_LIT("[:：]?$|^"), label, PYSEM_LIT("[:：]")});
        if (PyUnicode_Compare(expected.ptr(), pattern.ptr()) != 0) return std::nullopt;
        return label_line(label);
    }

    // A text only.
    bool found(py::handle line) const {
        if (!pysem::starts_with(line, label_)) return false;
        Py_ssize_t at = PyUnicode_GET_LENGTH(label_.ptr()), n = PyUnicode_GET_LENGTH(line.ptr());
        if (at == n) return true;
        Py_UCS4 next = PyUnicode_READ_CHAR(line.ptr(), at);
        return next == ':' || next == U'：' || (next == '\n' && at + 1 == n);
    }

  private:
    py::str label_;
};

// ---------------------------------------------------------------------------
// Patterns whose every match starts a line with one of a few code points

// Each pattern below matches only at the start of a line (`match`, or every
// branch anchored by "^" without MULTILINE), and every branch starts with a
// literal or a class that holds no ideograph but those listed. A line that
// starts with any other ideograph therefore cannot match, with IGNORECASE or
// without (ideographs have no other case), and need not be shown to `re`:
// in the answers read here most lines start with one.
class leading_ideographs {
  public:
    explicit constexpr leading_ideographs(std::u32string_view allowed) : allowed_(allowed) {}

    // The entry of a marker or row start pattern given as text.
    static std::optional<leading_ideographs> of(py::handle pattern) {
        static constexpr std::pair<const char *, std::u32string_view> known[] = {
            {R"re(^(第一点|第二点|第三点|第四点|第五点|第\s*[一二三四五六七八九十\d]+\s*点|Bullet\s*#?\d+)[:：]?\s*(.*)$)re", U"第"},
            {R"re(^(图\s*\d+)[｜|—\-]?\s*(.*)$)re", U"图"},
            {R"re(^(图\s*\d+|模块\s*\d+)[\s—｜|\-]*\s*(.*)$)re", U"图模"},
            {R"re(^([①②③④⑤⑥⑦⑧⑨]\s*.+)$)re", U""},
            {R"re(^(?:第\s*\d+\s*点|Bullet\s*#?\d+|缺失)$)re", U"第缺"},
            {R"re(^(?:图|图片|主图|Image)\s*#?\d+|^图\d+)re", U"图主"},
            {R"re(^(?:模块|Module|[A-Za-z0-9+ ]+模块))re", U"模"},
        };
        if (!PyUnicode_Check(pattern.ptr())) return std::nullopt;
        for (const auto &[text, allowed] : known)
            if (PyUnicode_Compare(pysem::interned(text).ptr(), pattern.ptr()) == 0) return leading_ideographs(allowed);
        return std::nullopt;
    }

    bool rules_out(py::handle line) const {
        if (!PyUnicode_Check(line.ptr()) || PyUnicode_GET_LENGTH(line.ptr()) == 0) return false;
        Py_UCS4 first = PyUnicode_READ_CHAR(line.ptr(), 0);
        return is_ideograph(first) && allowed_.find(first) == std::u32string_view::npos;
    }

  private:
    std::u32string_view allowed_;
};

// The module's own line patterns of this kind (see State).
inline constexpr leading_ideographs kRowStart{U"第图主模缺"}; // ^(?:第\s*\d+\s*点|Bullet\s*#?\d+|图|图片|主图|模块|P\d|缺失)
inline constexpr leading_ideographs kNoIdeograph{U""};    // ^Step\s+\d+, ^(\d+)[.)、]?$, ^Bullet..., ^[A-Z]...

// re.sub(r"^[...]+", "", s) for a class of code points `lead`: the text
// without its leading run of them.
inline py::str cut_leading(py::handle s, bool (*lead)(Py_UCS4)) {
    pysem::text_view t(s);
    Py_ssize_t i = 0;
    while (i < t.size() && lead(t[i])) ++i;
    return pysem::substr(s, i, t.size());
}

} // namespace telvara::patterns
