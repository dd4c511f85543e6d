// JSON text of a job file, byte for byte what
//     json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")
// gives, built in one pass. With an indent the standard library falls back to
// its pure-Python encoder, which is slow on the large answers Keepa sends.
//
// Same rules as that encoder: str, int, float, bool, None, list/tuple and dict
// (subclasses included, a dict subclass read through its items()); dict keys
// of str, float, bool, None or int; NaN and the infinities as NaN/Infinity;
// "Circular reference detected" for a container inside itself; a type error
// for anything else. A lone surrogate fails the UTF-8 encoding as str.encode
// would, raised once the whole value is serialised: any error of the
// serialiser comes first, as it does when the dumped text is encoded after.
// Nothing is written anywhere: the caller opens the file only once the whole
// text exists.
//
// Texts are encoded to UTF-8 straight from their code points, so the strings
// of the value are left without a cached UTF-8 copy; numbers are formatted
// without building Python strings; and the text is built in a reused buffer
// that the caller writes from, so it is never copied as a whole.
#pragma once

#include "common/function.hpp"
#include "common/pysem.hpp"
#include "keepa/services/brondic_state.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

namespace brondic::json {

// The text is built in a bytearray that is kept from one call to the next,
// so that it is written from memory already mapped: fresh pages for a file of
// some megabytes cost about as much as encoding it. Only an array up to this
// size is kept.
inline constexpr Py_ssize_t keep_limit = 16 << 20;

// The kept array (a reference owned here), or null while a call uses it (a
// call made from inside another, through a mapping's items(), takes a new
// one). Only this pointer holds it: a bytearray is not tracked by the
// collector, so no Python code can find it and resize it under the writer.
// Never released, so that nothing is freed after the interpreter at exit.
inline PyObject *spare_array = nullptr;

// The finished text: view() is what the caller writes. The array goes back to
// the spare slot afterwards, unless something still holds it or a view of it.
class Text {
  public:
    Text(py::object array, Py_ssize_t size) : array_(std::move(array)), size_(size) {}
    Text(Text &&) = default;
    Text &operator=(Text &&) = delete;
    ~Text() {
        if (!array_) return;
        view_ = py::object();
        auto *array = reinterpret_cast<PyByteArrayObject *>(array_.ptr());
        if (Py_REFCNT(array) == 1 && array->ob_exports == 0 && Py_SIZE(array) <= keep_limit && !spare_array)
            spare_array = array_.release().ptr();
    }

    // memoryview(array)[:size]
    py::object view() {
        if (!view_) {
            py::object whole = pysem::steal(PyMemoryView_FromObject(array_.ptr()));
            view_ = pysem::steal(PySequence_GetSlice(whole.ptr(), 0, size_));
        }
        return view_;
    }

  private:
    py::object array_;
    Py_ssize_t size_;
    py::object view_;
};

// The array filled from the front. room(n) gives a pointer with n bytes free
// behind it; commit(end) marks what was written there.
class Output {
  public:
    Output() {
        if (spare_array) array_ = py::reinterpret_steal<py::object>(std::exchange(spare_array, nullptr));
        else array_ = pysem::steal(PyByteArray_FromStringAndSize(nullptr, 64 * 1024));
        pos_ = PyByteArray_AS_STRING(array_.ptr());
        end_ = pos_ + PyByteArray_GET_SIZE(array_.ptr());
    }

    char *room(size_t n) {
        if (static_cast<size_t>(end_ - pos_) < n) grow(n);
        return pos_;
    }
    void commit(char *end) { pos_ = end; }

    void append(const char *text, size_t n) {
        char *p = room(n);
        std::memcpy(p, text, n);
        commit(p + n);
    }

    // The size is read before the array is moved out: a constructor's
    // arguments have no fixed order.
    Text finish() {
        Py_ssize_t size = used();
        return Text(std::move(array_), size);
    }

  private:
    py::object array_;
    char *pos_;
    char *end_;

    Py_ssize_t used() const { return pos_ - PyByteArray_AS_STRING(array_.ptr()); }

    void grow(size_t n) {
        size_t used = static_cast<size_t>(this->used());
        size_t wanted = std::max(static_cast<size_t>(PyByteArray_GET_SIZE(array_.ptr())) * 2, used + n);
        if (wanted > static_cast<size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        if (PyByteArray_Resize(array_.ptr(), static_cast<Py_ssize_t>(wanted)) < 0) pysem::throw_pending();
        pos_ = PyByteArray_AS_STRING(array_.ptr()) + used;
        end_ = PyByteArray_AS_STRING(array_.ptr()) + wanted;
    }
};

// Decimal significands below, as digit texts: `count` digits d1 d2 ... with
// the value d1.d2... x 10^exponent. The digit buffers are `digit_room`
// long, so that pieces are copied in fixed sizes.
inline constexpr size_t digit_room = 40;

// float.__repr__'s layout: positional for decimal exponents -4..15 (with ".0"
// when there is no fraction), else d.ddde±XX. Needs 48 bytes of room.
inline char *lay_out(char *p, const char *digits, size_t count, int exponent) {
    if (exponent < 0) {
        std::memcpy(p, "0.000000", 8);
        p += 1 - exponent;
        std::memcpy(p, digits, 17);
        return p + count;
    }
    size_t whole = static_cast<size_t>(exponent) + 1;
    if (count <= whole) {
        std::memcpy(p, digits, 17);
        p += count;
        std::memset(p, '0', 16);
        p += whole - count;
        std::memcpy(p, ".0", 2);
        return p + 2;
    }
    std::memcpy(p, digits, 16);
    p += whole;
    *p++ = '.';
    std::memcpy(p, digits + whole, 17);
    return p + (count - whole);
}

// 10^k for k = -5..22; exact from 10^0 on.
inline constexpr double powers_of_ten[] = {1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0,  1e1,  1e2,  1e3,  1e4,
                                           1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14,
                                           1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr double ten_to(int k) { return powers_of_ten[k + 5]; }

// The shortest digits of `a` (1e-4 <= a < 1e15) when they are at most 15,
// which is most of the numbers people write: prices, rates, rounded values.
// `a` scaled to 15 significant digits is rounded to an integer N; if N x 10^-s
// reads back as `a` (an exactly rounded division of two exact doubles is
// what parsing the decimal gives), it is the only such 15-digit decimal, as
// they lie farther apart than a's rounding interval is wide, so the
// shortest form is N without its trailing zeros. Scaling errs by less than
// 0.25, so N is found whenever it exists. False when the shortest form is
// longer: the caller formats those in full.
inline bool short_digits(double a, char *digits, size_t &count, int &exponent) {
    if (!(a >= 1e-4 && a < 1e15)) return false;
    int binary = static_cast<int>(std::bit_cast<uint64_t>(a) >> 52) - 1023;
    int decimal = (binary * 78913) >> 18;  // floor(binary * log10(2)), one short at most
    if (a >= ten_to(decimal + 1)) ++decimal;
    int scale = 14 - decimal;
    double scaled = a * ten_to(scale);
    double n = (scaled + 0x1p52) - 0x1p52;  // to the nearest integer
    if (!(n >= 1e14 && n <= 1e15) || n / ten_to(scale) != a) return false;
    uint64_t significand = static_cast<uint64_t>(n);
    int length = n >= 1e15 ? 16 : 15;
    exponent = length - 1 - scale;
    for (auto [power, zeros] : {std::pair<uint64_t, int>{100000000, 8}, {10000, 4}, {100, 2}, {10, 1}}) {
        if (significand % power == 0) {
            significand /= power;
            length -= zeros;
        }
    }
    std::to_chars(digits, digits + digit_room, significand);
    count = static_cast<size_t>(length);
    return true;
}

// float.__repr__ of a finite `v`: the shortest text that reads back as `v`.
// Needs 48 bytes of room.
inline char *format_double(char *p, double v) {
    char digits[digit_room];
    size_t count = 0;
    int exponent = 0;
    if (short_digits(std::fabs(v), digits, count, exponent)) {
        if (v < 0) *p++ = '-';
        return lay_out(p, digits, count, exponent);
    }
    char sci[32];
    char *end = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific).ptr;
    // [-]d[.ddd]e±XX[X], the exponent as repr writes it
    const char *e = end - 4;
    while (*e != 'e') --e;
    for (const char *q = e + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
    if (e[1] == '-') exponent = -exponent;
    if (exponent < -4 || exponent >= 16) {
        size_t n = static_cast<size_t>(end - sci);
        std::memcpy(p, sci, n);
        return p + n;
    }
    const char *q = sci;
    if (*q == '-') *p++ = *q++;
    digits[count++] = *q++;
    if (*q == '.')
        for (++q; q < e; ++q) digits[count++] = *q;
    return lay_out(p, digits, count, exponent);
}

// The UTF-8 form of one code point as a little-endian word: its bytes
// from the lowest up, its length in the top byte. Texts are mixed, so the
// form is picked without branches.
constexpr uint64_t piece(uint64_t bytes, uint64_t length) { return bytes | length << 56; }

// ASCII, with the escapes JSON needs.
inline constexpr std::array<uint64_t, 128> ascii = [] {
    constexpr char hex[] = "0123456789abcdef";
    std::array<uint64_t, 128> table{};
    for (uint64_t c = 0; c < 128; ++c) table[c] = piece(c, 1);
    for (uint64_t c = 0; c < 0x20; ++c)
        table[c] = piece(0x3030755Cu | uint64_t(hex[c >> 4]) << 32 | uint64_t(hex[c & 0xF]) << 40, 6);
    auto backslash = [&](char c, char after) { table[uint8_t(c)] = piece('\\' | uint64_t(uint8_t(after)) << 8, 2); };
    backslash('"', '"');
    backslash('\\', '\\');
    backslash('\n', 'n');
    backslash('\r', 'r');
    backslash('\t', 't');
    backslash('\b', 'b');
    backslash('\f', 'f');
    return table;
}();

// `when ? yes : no` by masks: GCC turns the conditional form into branches,
// which mispredict on mixed text.
inline uint64_t pick(bool when, uint64_t yes, uint64_t no) {
    uint64_t mask = -static_cast<uint64_t>(when);
    return (yes & mask) | (no & ~mask);
}

// A code point of a str of `Char`s (1, 2 or 4 bytes a code point). Lone
// surrogates come out as three bytes; the caller looks for them.
template <class Char> inline uint64_t utf8(uint64_t c) {
    uint64_t v = piece(0x80C0 | c >> 6 | (c << 8 & 0x3F00), 2);
    if constexpr (sizeof(Char) > 1) {
        uint64_t three = piece(0x8080E0 | c >> 12 | (c << 2 & 0x3F00) | (c << 16 & 0x3F0000), 3);
        v = pick(c < 0x800, v, three);
    }
    if constexpr (sizeof(Char) > 2) {
        uint64_t four = piece(0x808080F0 | c >> 18 | (c >> 4 & 0x3F00) | (c << 10 & 0x3F0000) | (c << 24 & 0x3F000000), 4);
        v = pick(c < 0x10000, v, four);
    }
    return pick(c < 0x80, ascii[c & 0x7F], v);
}

class Encoder {
  public:
    Text encode(py::handle value) {
        value_(value.ptr(), 0);
        if (unencodable_) surrogate_(unencodable_.ptr());
        return out_.finish();
    }

  private:
    Output out_;
    // The first text with a lone surrogate. Its error waits for the end of
    // the value, which may still fail to serialise; the text is written on
    // as it is meanwhile.
    py::object unencodable_;
    // Containers on the path from the top value to the current one: the
    // first levels are searched in place, deeper ones through a set.
    static constexpr size_t shallow = 32;
    std::vector<PyObject *> path_;
    std::unordered_set<PyObject *> deep_;

    static constexpr size_t spaces = 64;
    // A newline and its indent are copied in one piece of this length; room
    // for an item always includes it.
    static constexpr size_t slack = 1 + spaces;
    static constexpr char blank[spaces + 1] = "                                                                ";

    // The type is held through the lookup: a metaclass's code run by it may
    // move the value to another class and so drop the type's last reference.
    static std::string name_of(PyObject *value) {
        return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
    }

    static size_t indent_room(int level) { return slack + 2 * static_cast<size_t>(level); }

    // A newline and the indent of `level`, at p (with indent_room(level) free).
    static char *newline(char *p, int level) {
        *p++ = '\n';
        size_t n = 2 * static_cast<size_t>(level);
        if (n <= spaces) {
            std::memcpy(p, blank, spaces);
            return p + n;
        }
        std::memset(p, ' ', n);
        return p + n;
    }

    // ----------------------------------------------------------------- text

    // Code points per room() request; one takes at most 6 bytes, and each
    // is stored as a whole word.
    static constexpr Py_ssize_t block = 4096;

    template <class Char> void text_(PyObject *s, const Char *text, Py_ssize_t size) {
        static_assert(std::endian::native == std::endian::little);
        char *p = out_.room(3 + 8 + static_cast<size_t>(std::min(size, block)) * 6);
        *p++ = '"';
        for (Py_ssize_t start = 0; start < size; start += block) {
            Py_ssize_t stop = std::min(size, start + block);
            if (start) {
                out_.commit(p);
                p = out_.room(2 + 8 + static_cast<size_t>(stop - start) * 6);
            }
            uint32_t surrogates = 0;
            for (const Char *c = text + start, *last = text + stop; c < last; ++c) {
                uint64_t ch = *c;
                uint64_t v = utf8<Char>(ch);
                if constexpr (sizeof(Char) > 1) surrogates |= (ch & 0xFFFFF800) == 0xD800;
                std::memcpy(p, &v, 8);
                p += v >> 56;
            }
            if (surrogates) [[unlikely]]
                note_unencodable_(s);
        }
        *p++ = '"';
        out_.commit(p);
    }

    // Out of line, so that the loop above stays as it is without surrogates.
    [[gnu::noinline, gnu::cold]] void note_unencodable_(PyObject *s) {
        if (!unencodable_) unencodable_ = py::reinterpret_borrow<py::object>(s);
    }

    // A lone surrogate: the error str.encode("utf-8") raises for this text.
    [[noreturn]] static void surrogate_(PyObject *s) {
        pysem::steal(PyUnicode_AsUTF8String(s));
        throw py::value_error("surrogates not allowed");  // not reached: the codec refuses
    }

    void string_(PyObject *s) {
        if (PyUnicode_READY(s) < 0) pysem::throw_pending();
        Py_ssize_t size = PyUnicode_GET_LENGTH(s);
        const void *data = PyUnicode_DATA(s);
        switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: text_(s, static_cast<const Py_UCS1 *>(data), size); break;
        case PyUnicode_2BYTE_KIND: text_(s, static_cast<const Py_UCS2 *>(data), size); break;
        default: text_(s, static_cast<const Py_UCS4 *>(data), size); break;
        }
    }

    // -------------------------------------------------------------- numbers

    // int.__repr__, also for subclasses of int.
    void integer_(PyObject *value) {
        int overflow = 0;
        long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) {
            if (small == -1 && PyErr_Occurred()) pysem::throw_pending();
            char *p = out_.room(24);
            out_.commit(std::to_chars(p, p + 24, small).ptr);
            return;
        }
        py::object text = pysem::steal(PyLong_Type.tp_repr(value));
        // Digits and a sign: ASCII, one byte a character.
        out_.append(static_cast<const char *>(PyUnicode_DATA(text.ptr())),
                    static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr())));
    }

    // float.__repr__, with the encoder's names for the values JSON lacks.
    void float_(PyObject *value) {
        double v = PyFloat_AS_DOUBLE(value);
        if (std::isnan(v)) {
            out_.append("NaN", 3);
        } else if (std::isinf(v)) {
            if (v > 0) out_.append("Infinity", 8);
            else out_.append("-Infinity", 9);
        } else {
            char *p = out_.room(48);
            out_.commit(format_double(p, v));
        }
    }

    void word_(const char *word) { out_.append(word, std::strlen(word)); }

    void key_(PyObject *k) {
        if (PyUnicode_Check(k)) {
            string_(k);
            return;
        }
        // Other keys become the text of their JSON form.
        out_.append("\"", 1);
        if (PyFloat_Check(k)) float_(k);
        else if (k == Py_True) word_("true");
        else if (k == Py_False) word_("false");
        else if (k == Py_None) word_("null");
        else if (PyLong_Check(k)) integer_(k);
        else throw py::type_error("keys must be str, int, float, bool or None, not " + name_of(k));
        out_.append("\"", 1);
    }

    // ----------------------------------------------------------- containers

    class Opened {
      public:
        Opened(Encoder &encoder, PyObject *container) : encoder_(encoder) {
            auto &path = encoder.path_;
            auto shallow_end = path.begin() + static_cast<std::ptrdiff_t>(std::min(path.size(), shallow));
            if (std::find(path.begin(), shallow_end, container) != shallow_end ||
                (path.size() > shallow && encoder.deep_.count(container)))
                throw py::value_error("Circular reference detected");
            if (path.size() >= shallow) encoder.deep_.insert(container);
            path.push_back(container);
        }
        ~Opened() {
            auto &path = encoder_.path_;
            if (path.size() > shallow) encoder_.deep_.erase(path.back());
            path.pop_back();
        }
        Opened(const Opened &) = delete;
        Opened &operator=(const Opened &) = delete;

      private:
        Encoder &encoder_;
    };

    // The separator and line start of an item; `first` turns false.
    void item_start_(bool &first, int level) {
        char *p = out_.room(1 + indent_room(level));
        if (!first) *p++ = ',';
        first = false;
        out_.commit(newline(p, level));
    }

    void close_(int level, char bracket) {
        char *p = newline(out_.room(1 + indent_room(level)), level);
        *p++ = bracket;
        out_.commit(p);
    }

    void array_(PyObject *s, int level) {
        bool exact = PyList_CheckExact(s) || PyTuple_CheckExact(s);
        if (exact ? PySequence_Fast_GET_SIZE(s) == 0 : !pysem::truthy(s)) {
            out_.append("[]", 2);
            return;
        }
        pysem::recursion_guard guard(" while encoding a JSON array");
        Opened opened(*this, s);
        out_.append("[", 1);
        bool first = true;
        if (PyTuple_CheckExact(s)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s); ++i) {
                item_start_(first, level + 1);
                value_(PyTuple_GET_ITEM(s, i), level + 1);
            }
        } else if (PyList_CheckExact(s)) {
            // Re-read the size each time: encoding an item may run code that
            // changes the list, as iterating it in Python would see.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s); ++i) {
                py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(s, i));
                item_start_(first, level + 1);
                value_(item.ptr(), level + 1);
            }
        } else {
            for_each_item(s, [&](py::handle item) {
                item_start_(first, level + 1);
                value_(item.ptr(), level + 1);
            });
        }
        close_(level, ']');
    }

    void member_(bool &first, int level, PyObject *key, PyObject *value) {
        item_start_(first, level);
        key_(key);
        out_.append(": ", 2);
        value_(value, level);
    }

    void object_(PyObject *d, int level) {
        bool exact = PyDict_CheckExact(d);
        if (exact ? PyDict_GET_SIZE(d) == 0 : !pysem::truthy(d)) {
            out_.append("{}", 2);
            return;
        }
        pysem::recursion_guard guard(" while encoding a JSON object");
        Opened opened(*this, d);
        out_.append("{", 1);
        bool first = true;
        if (exact) {
            // As iterating d.items() checks: the size before each item, and
            // no more items than there were at the start.
            Py_ssize_t pos = 0, size = PyDict_GET_SIZE(d), left = size;
            PyObject *k = nullptr, *v = nullptr;
            while (PyDict_Next(d, &pos, &k, &v)) {
                if (left-- == 0) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                    pysem::throw_pending();
                }
                py::object key = py::reinterpret_borrow<py::object>(k);
                py::object value = py::reinterpret_borrow<py::object>(v);
                member_(first, level + 1, key.ptr(), value.ptr());
                if (PyDict_GET_SIZE(d) != size) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                    pysem::throw_pending();
                }
            }
        } else {
            py::object items = pysem::call_method(d, PYSEM_LIT("items"));
            for_each_item(items, [&](py::handle pair) {
                auto [key, value] = pysem::unpack2(pair);
                member_(first, level + 1, key.ptr(), value.ptr());
            });
        }
        close_(level, '}');
    }

    void value_(PyObject *v, int level) {
        // The exact types first: what a JSON answer is made of.
        PyTypeObject *type = Py_TYPE(v);
        if (type == &PyLong_Type) integer_(v);
        else if (type == &PyUnicode_Type) string_(v);
        else if (type == &PyFloat_Type) float_(v);
        else if (type == &PyList_Type || type == &PyTuple_Type) array_(v, level);
        else if (type == &PyDict_Type) object_(v, level);
        else if (v == Py_None) word_("null");
        else if (v == Py_True) word_("true");
        else if (v == Py_False) word_("false");
        // Subclasses, in the order the standard encoder tests them.
        else if (PyUnicode_Check(v)) string_(v);
        else if (PyLong_Check(v)) integer_(v);
        else if (PyFloat_Check(v)) float_(v);
        else if (PyList_Check(v) || PyTuple_Check(v)) array_(v, level);
        else if (PyDict_Check(v)) object_(v, level);
        else throw py::type_error("Object of type " + name_of(v) + " is not JSON serializable");
    }
};

// The job file's bytes, to be written from Text::view().
inline Text dumps(py::handle value) { return Encoder().encode(value); }

} // namespace brondic::json
