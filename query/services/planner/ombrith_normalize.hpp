// The one text normalisation of the vocabulary: NFKC, full case folding, then
// white space trimmed from both ends.
//
// The interpreter's NFKC returns at once for text that passes its quick
// check, but a single full-width comma sends the whole question down its slow
// path, which costs microseconds. The characters questions are made of
// (ASCII, CJK ideographs and punctuation, full-width forms, the ideographic
// space) have NFKC forms and foldings known in advance, and none of them can
// be reordered or composed with what stands before it, so they are mapped
// here; only the stretches of other characters, each with the one character
// before it (which a following mark may compose with), go to the interpreter.
#pragma once

#include "common/pysem.hpp"
#include "ombrith_marks.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace ombrith {

// The NFKC form of `c` folded, when it is one known code point; -1 otherwise.
inline long known_fold(Py_UCS4 c) {
    if ((c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF)) return c; // CJK ideographs
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    if (c >= 0xFF01 && c <= 0xFF5E) { // full-width ASCII
        c -= 0xFEE0;
        return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    }
    switch (c) {
    case 0x3000: return ' '; // ideographic space
    case 0x00B7: case 0x2014: case 0x2018: case 0x2019: case 0x201C: case 0x201D: case 0x3001: case 0x3002:
        return c;
    default:
        if ((c >= 0x3008 && c <= 0x3011) || (c >= 0x3014 && c <= 0x301F)) return c; // CJK brackets
        return -1;
    }
}

// White space as the text type counts it, quickly for the common characters.
inline bool is_space(Py_UCS4 c) { return c < 0x80 ? Py_UNICODE_ISSPACE(c) : c <= 0x3000 && Py_UNICODE_ISSPACE(c); }

class Normalizer {
  public:
    // Beyond this many stretches of other characters, one call for the whole
    // text is cheaper than one per stretch.
    static constexpr int max_stretches = 8;

    // unicodedata's functions as the module finds them at load.
    explicit Normalizer(py::module_ unicodedata)
        : combining_(unicodedata.attr("combining")), decomposition_(unicodedata.attr("decomposition")),
          normalize_(unicodedata.attr("normalize")),
          casefold_(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyUnicode_Type)).attr("casefold")),
          nfkc_("NFKC"), empty_("") {}

    py::str operator()(py::handle value) const {
        bool settled;
        return (*this)(value, settled);
    }

    // `settled` tells whether the result is known to be its own normal form,
    // as a text of known characters only is: each of their folds is a known
    // character that folds to itself, and what is trimmed once is trimmed.
    py::str operator()(py::handle value, bool &settled) const {
        settled = true;
        PyObject *v = value.ptr();
        if (!PyUnicode_Check(v)) return empty_;
        // A subclass is read as the plain text it holds, never through its own methods.
        py::str s = PyUnicode_CheckExact(v) ? py::reinterpret_borrow<py::str>(value)
                                            : pysem::steal_as<py::str>(PyUnicode_FromObject(v));
        const void *data = PyUnicode_DATA(s.ptr());
        Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
        std::optional<py::str> known;
        switch (PyUnicode_KIND(s.ptr())) {
        case PyUnicode_1BYTE_KIND: known = all_known(static_cast<const Py_UCS1 *>(data), n, s); break;
        case PyUnicode_2BYTE_KIND: known = all_known(static_cast<const Py_UCS2 *>(data), n, s); break;
        default: known = all_known(static_cast<const Py_UCS4 *>(data), n, s); break;
        }
        if (known) return *known;
        settled = false;
        return mixed(s);
    }

  private:
    // The text folded here, when every character of it is known.
    template <class Char>
    static std::optional<py::str> all_known(const Char *data, Py_ssize_t n, py::handle s) {
        constexpr Py_ssize_t small = 256;
        Py_UCS4 local[small];
        std::vector<Py_UCS4> heap;
        Py_UCS4 *out = local;
        if (n > small) {
            heap.resize(static_cast<std::size_t>(n));
            out = heap.data();
        }
        bool changed = false;
        Py_UCS4 bits = 0; // every character's bits, which tell the widest kind needed
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = data[i];
            if (c - 0x4E00U > 0x9FFFU - 0x4E00U) { // ideographs, the most of a question, stay
                long f = known_fold(c);
                if (f < 0) return std::nullopt;
                changed |= static_cast<Py_UCS4>(f) != c;
                c = static_cast<Py_UCS4>(f);
            }
            out[i] = c;
            bits |= c;
        }
        Py_ssize_t begin = 0, end = n;
        while (begin < end && is_space(out[begin])) ++begin;
        while (end > begin && is_space(out[end - 1])) --end;
        if (!changed) return pysem::substr(s, begin, end);
        // What was trimmed is ASCII, so it does not widen the kind.
        Py_UCS4 widest = begin < end ? std::min<Py_UCS4>(bits, 0x10FFFF) : 0;
        py::str result = pysem::steal_as<py::str>(PyUnicode_New(end - begin, widest));
        void *dest = PyUnicode_DATA(result.ptr());
        switch (PyUnicode_KIND(result.ptr())) {
        case PyUnicode_1BYTE_KIND: std::copy(out + begin, out + end, static_cast<Py_UCS1 *>(dest)); break;
        case PyUnicode_2BYTE_KIND: std::copy(out + begin, out + end, static_cast<Py_UCS2 *>(dest)); break;
        default: std::copy(out + begin, out + end, static_cast<Py_UCS4 *>(dest)); break;
        }
        return result;
    }

    // Known characters mapped here, the stretches of others by the interpreter.
    py::str mixed(py::str s) const {
        pysem::text_view t(s);
        Py_ssize_t n = t.size();
        int stretches = 0;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (known_fold(t[i]) < 0 && (i == 0 || known_fold(t[i - 1]) >= 0)) ++stretches;
        if (stretches > max_stretches) return pysem::strip(fold(s));

        std::vector<Py_UCS4> out;
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n;) {
            long f = known_fold(t[i]);
            if (f >= 0) {
                out.push_back(static_cast<Py_UCS4>(f));
                ++i;
                continue;
            }
            Py_ssize_t begin = i;
            if (i > 0) {
                out.pop_back();
                --begin;
            }
            while (i < n && known_fold(t[i]) < 0) ++i;
            py::str part = fold(pysem::substr(s, begin, i));
            pysem::text_view p(part);
            for (Py_ssize_t k = 0; k < p.size(); ++k) out.push_back(p[k]);
        }
        std::size_t begin = 0, end = out.size();
        while (begin < end && pysem::is_space(out[begin])) ++begin;
        while (end > begin && pysem::is_space(out[end - 1])) --end;
        return pysem::steal_as<py::str>(
            PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data() + begin, static_cast<Py_ssize_t>(end - begin)));
    }

    // The interpreter's NFKC, then its case folding; not trimmed.
    py::str fold(py::str s) const {
        if (PyUnicode_GET_LENGTH(s.ptr()) >= MarkOrder::min_length) s = marks().reorder(s);
        PyObject *args[] = {nfkc_.ptr(), s.ptr()};
        py::object composed = pysem::steal(PyObject_Vectorcall(normalize_.ptr(), args, 2, nullptr));
        PyObject *fold_args[] = {composed.ptr()};
        return pysem::steal_as<py::str>(PyObject_Vectorcall(casefold_.ptr(), fold_args, 1, nullptr));
    }

    // Built on the first long text, not at load: it takes a quarter of a
    // million calls into unicodedata, longer than the rest of the load. Its
    // answers come from the functions taken at load, so the table is the one
    // the load would have made. Python code that the build runs (a function
    // patched before the load) may come back here, or let another thread in:
    // each builds its own table and the first one kept is used, so that no
    // thread waits on another and a loop ends in RecursionError.
    const MarkOrder &marks() const {
        if (!marks_) {
            pysem::recursion_guard guard(" while ordering combining marks");
            MarkOrder built(combining_, decomposition_, normalize_);
            if (!marks_) marks_.emplace(std::move(built));
        }
        return *marks_;
    }

    py::object combining_, decomposition_, normalize_, casefold_;
    mutable std::optional<MarkOrder> marks_;
    py::str nfkc_, empty_;
};

} // namespace ombrith
