// Long runs of combining marks in non-canonical order make the interpreter's
// NFKC quadratic (it reorders them by insertion), so a megabyte of alternating
// marks would stall a question for many minutes. Before normalising a long
// text we put such runs into canonical order ourselves: the text we hand on
// is canonically equivalent to the original, so its NFKC form is the same.
#pragma once

#include "common/pysem.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ombrith {

class MarkOrder {
  public:
    // Texts shorter than this are normalised as they are: their worst case is
    // still quick.
    static constexpr Py_ssize_t min_length = 1024;
    // Runs shorter than this are left to the interpreter.
    static constexpr std::size_t min_run = 16;

    // Built from the interpreter's Unicode database: every code point of the
    // first two planes (where all marks with a combining class live) whose
    // compatibility decomposition holds non-starters only, with that
    // decomposition and the classes of its parts.
    explicit MarkOrder(py::handle unicodedata) {
        py::object combining = unicodedata.attr("combining");
        py::object decomposition = unicodedata.attr("decomposition");
        py::object normalize = unicodedata.attr("normalize");
        py::str nfkd("NFKD");
        for (Py_UCS4 cp = 0x80; cp < 0x20000; ++cp) {
            if (cp >= 0xD800 && cp < 0xE000) continue;
            py::object ch = pysem::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
            int ccc = combining(ch).cast<int>();
            if (ccc == 0 && py::len(decomposition(ch)) == 0) continue;
            py::object parts = normalize(nfkd, ch);
            std::vector<Mark> expansion;
            bool all_marks = true;
            for (py::handle part : parts) {
                int part_ccc = combining(part).cast<int>();
                if (part_ccc == 0) {
                    all_marks = false;
                    break;
                }
                expansion.push_back({PyUnicode_READ_CHAR(part.ptr(), 0), static_cast<std::uint8_t>(part_ccc)});
            }
            if (all_marks && !expansion.empty()) table_.emplace(cp, std::move(expansion));
        }
    }

    // The text with its long, unordered runs of marks decomposed and stably
    // sorted by combining class, or the text itself when there are none.
    py::str reorder(py::handle text) const {
        pysem::text_view t(text);
        Py_ssize_t n = t.size();
        std::vector<Py_UCS4> out;
        bool changed = false;
        Py_ssize_t copied = 0; // t[0, copied) is already in `out` (once changed)
        std::vector<Mark> run;
        for (Py_ssize_t i = 0; i < n;) {
            auto it = table_.find(t[i]);
            if (it == table_.end()) {
                ++i;
                continue;
            }
            Py_ssize_t begin = i;
            run.clear();
            for (; i < n && (it = table_.find(t[i])) != table_.end(); ++i)
                run.insert(run.end(), it->second.begin(), it->second.end());
            if (run.size() < min_run || std::is_sorted(run.begin(), run.end(), by_class)) continue;
            if (!changed) {
                out.reserve(static_cast<std::size_t>(n) + run.size());
                changed = true;
            }
            for (Py_ssize_t k = copied; k < begin; ++k) out.push_back(t[k]);
            std::stable_sort(run.begin(), run.end(), by_class);
            for (const Mark &m : run) out.push_back(m.cp);
            copied = i;
        }
        if (!changed) return py::reinterpret_borrow<py::str>(text);
        for (Py_ssize_t k = copied; k < n; ++k) out.push_back(t[k]);
        return pysem::steal_as<py::str>(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
    }

  private:
    struct Mark {
        Py_UCS4 cp;
        std::uint8_t ccc;
    };
    static bool by_class(const Mark &a, const Mark &b) { return a.ccc < b.ccc; }

    std::unordered_map<Py_UCS4, std::vector<Mark>> table_;
};

} // namespace ombrith
