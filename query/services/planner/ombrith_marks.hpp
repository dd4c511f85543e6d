// Long runs of combining marks in non-canonical order make the interpreter's
// NFKC quadratic (it reorders them by insertion), so a megabyte of alternating
// marks would stall a question for many minutes. Before normalising a long
// text we put such runs into canonical order ourselves: the text we hand on
// is canonically equivalent to the original, so its NFKC form is the same.
#pragma once

#include "common/function.hpp"
#include "common/pysem.hpp"

#include <algorithm>
#include <array>
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
    // decomposition and the classes of its parts. The functions are
    // unicodedata's as the module found them at load, so that a later patch
    // changes nothing; what they answer is checked all the same, as a patch
    // made before the load may answer anything.
    MarkOrder(py::handle combining, py::handle decomposition, py::handle normalize) {
        const py::str &nfkd = PYSEM_LIT("NFKD");
        for (Py_UCS4 cp = 0x80; cp < 0x20000; ++cp) {
            if (cp >= 0xD800 && cp < 0xE000) continue;
            py::object ch = pysem::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
            if (combining_class(combining, ch) == 0 &&
                text_answer(pysem::call(decomposition, ch), "decomposition").empty())
                continue;
            py::object parts = pysem::call(normalize, nfkd, ch);
            pysem::text_view p = text_answer(parts, "normalize"); // `parts` is held, and a text never changes
            std::vector<Mark> expansion;
            bool all_marks = true;
            for (Py_ssize_t k = 0; k < p.size(); ++k) {
                Py_UCS4 part = p[k];
                py::object part_ch = pysem::steal(PyUnicode_FromOrdinal(static_cast<int>(part)));
                std::uint8_t part_ccc = combining_class(combining, part_ch);
                if (part_ccc == 0) {
                    all_marks = false;
                    break;
                }
                expansion.push_back({part, part_ccc});
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
            append_in_order(run, out);
            copied = i;
        }
        if (!changed) return py::reinterpret_borrow<py::str>(text);
        for (Py_ssize_t k = copied; k < n; ++k) out.push_back(t[k]);
        return pysem::steal_as<py::str>(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
    }

  private:
    // The text that unicodedata.<name>() answered, refused when it is none.
    static pysem::text_view text_answer(py::handle answer, const char *name) {
        if (!PyUnicode_Check(answer.ptr())) {
            PyErr_Format(PyExc_TypeError, "unicodedata.%s() returned %.200s, not str", name, pysem::type_name(answer));
            pysem::throw_pending();
        }
        return pysem::text_view(answer);
    }

    // unicodedata.combining(ch), a class from 0 to 255.
    static std::uint8_t combining_class(py::handle combining, py::handle ch) {
        py::object answer = pysem::call(combining, ch);
        if (!PyLong_Check(answer.ptr())) {
            PyErr_Format(PyExc_TypeError, "unicodedata.combining() returned %.200s, not int", pysem::type_name(answer));
            pysem::throw_pending();
        }
        int overflow = 0;
        long ccc = PyLong_AsLongAndOverflow(answer.ptr(), &overflow);
        if (ccc == -1 && PyErr_Occurred()) pysem::throw_pending();
        if (overflow || ccc < 0 || ccc > 255) {
            PyErr_Format(PyExc_ValueError, "unicodedata.combining() returned %R, not a combining class", answer.ptr());
            pysem::throw_pending();
        }
        return static_cast<std::uint8_t>(ccc);
    }

    struct Mark {
        Py_UCS4 cp;
        std::uint8_t ccc;
    };
    static bool by_class(const Mark &a, const Mark &b) { return a.ccc < b.ccc; }

    // The run's code points appended in order of class, those of one class in
    // the order they stand. A counting sort: stable by construction and linear
    // in the run (libstdc++'s stable_sort gets its buffer through a call that
    // clang reports as deprecated).
    static void append_in_order(const std::vector<Mark> &run, std::vector<Py_UCS4> &out) {
        std::array<std::size_t, 257> next{}; // next[c]: where the next mark of class c goes
        for (const Mark &m : run) ++next[m.ccc + 1U];
        for (std::size_t c = 1; c < next.size(); ++c) next[c] += next[c - 1];
        std::size_t base = out.size();
        out.resize(base + run.size());
        for (const Mark &m : run) out[base + next[m.ccc]++] = m.cp;
    }

    std::unordered_map<Py_UCS4, std::vector<Mark>> table_;
};

} // namespace ombrith
