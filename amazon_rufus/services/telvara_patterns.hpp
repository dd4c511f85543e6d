// Native matches of some of the module's own line patterns. Each gives what
// `re` gives for its pattern (named beside it) on every text: the reasoning
// is written down with each, and the tests compare them with `re` on random
// texts over every class of code point. `\s` is str.isspace, `\d`
// str.isdecimal and `.` any code point but LF, as `re` reads them in a str
// pattern; `$` without MULTILINE matches at the end and before a final LF.
#pragma once

#include "common/pysem.hpp"

#include <optional>
#include <utility>

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

} // namespace telvara::patterns
