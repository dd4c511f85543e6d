// Machinery shared by the report methods: the module state (namespace and
// compiled patterns) and small readers and builders of Python values. The
// methods call each other through the instance with pysem::via and
// pysem::through (common/function.hpp).
#pragma once

#include "common/function.hpp"
#include "common/pysem.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace telvara {

using pysem::call;
using pysem::concat;
using pysem::contains;
using pysem::equal;
using pysem::field_text;
using pysem::get;
using pysem::is_direct;
using pysem::is_list;
using pysem::is_mapping;
using pysem::is_text;
using pysem::join;
using pysem::keyword;
using pysem::less;
using pysem::make_dict;
using pysem::omitted;
using pysem::starts_with;
using pysem::strip;
using pysem::through;
using pysem::truthy;
using pysem::via;

// ---------------------------------------------------------------------------
// Calls of plain callables

// match.group(n)
inline py::object group(py::handle match, int n) {
    return pysem::call_method(match, PYSEM_LIT("group"), py::int_(n));
}

// text.upper()
inline py::object upper(py::handle text) {
    return pysem::steal(PyObject_CallMethodNoArgs(text.ptr(), PYSEM_LIT("upper").ptr()));
}

// str(value). Section and subsection numbers are small ints: their texts are
// made once.
inline py::str text_form(py::handle value) {
    constexpr long kSmall = 100;
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long n = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
        if (!overflow && n >= 0 && n < kSmall) {
            static PyObject *made[kSmall] = {};
            if (!made[n]) made[n] = pysem::text_form(value).release().ptr(); // kept for the process's life
            return py::reinterpret_borrow<py::str>(made[n]);
        }
    }
    return pysem::text_form(value);
}

// ---------------------------------------------------------------------------
// Text building, code point exact (lone surrogates pass through).
//
// The pieces of a text (texts, parts of texts, ASCII literals, code points)
// are only gathered while it is built: the finished text is allocated once,
// at its exact length and storage kind, and every piece is copied once. A
// growing buffer would be reallocated, widened and shrunk on the way.

class text_builder {
  public:
    text_builder() = default;
    ~text_builder() { drop_from(0); }
    text_builder(const text_builder &) = delete;
    text_builder &operator=(const text_builder &) = delete;

    // Text only, as str.join takes it.
    text_builder &add(py::handle text) {
        if (!PyUnicode_Check(text.ptr()))
            throw py::type_error(std::string("expected str instance, ") + pysem::type_name(text) + " found");
        PyObject *t = text.ptr();
        Py_ssize_t n = PyUnicode_GET_LENGTH(t);
        if (n) push({PyUnicode_DATA(t), t, n, PyUnicode_KIND(t), 0}, PyUnicode_MAX_CHAR_VALUE(t));
        return *this;
    }
    // Any value as str() writes it.
    text_builder &add_form(py::handle value) {
        if (PyUnicode_Check(value.ptr()) && Py_TYPE(value.ptr())->tp_str == PyUnicode_Type.tp_str)
            return add(value);
        return add(text_form(value));
    }
    text_builder &add_part(py::handle text, Py_ssize_t start, Py_ssize_t end) {
        if (end <= start) return *this;
        PyObject *t = text.ptr();
        int kind = PyUnicode_KIND(t);
        const void *data = static_cast<const char *>(PyUnicode_DATA(t)) + start * kind;
        Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(t);
        if (widest > max_ && (start != 0 || end != PyUnicode_GET_LENGTH(t))) widest = widest_of(kind, data, end - start, widest);
        push({data, t, end - start, kind, 0}, widest);
        return *this;
    }
    // ASCII that outlives the builder (a literal).
    text_builder &ascii(const char *text, Py_ssize_t size) {
        if (size) push({text, nullptr, size, PyUnicode_1BYTE_KIND, 0}, 0x7F);
        return *this;
    }
    template <size_t N> text_builder &ascii(const char (&text)[N]) { return ascii(text, N - 1); }
    text_builder &ch(Py_UCS4 c) {
        if (c < 0x80) return ascii(&kAscii[c], 1);
        py::str one = pysem::steal_as<py::str>(PyUnicode_FromOrdinal(static_cast<int>(c)));
        return add(one);
    }
    text_builder &repeat(char c, long long count) {
        for (long long i = 0; i < count; ++i) ch(static_cast<Py_UCS4>(c));
        return *this;
    }
    // `count` LF, written before whatever comes next (a cheaper ch('\n')).
    text_builder &line_feeds(int count) {
        lead_ += count;
        length_ += count;
        if (count && max_ < 0x7F) max_ = 0x7F;
        return *this;
    }
    Py_ssize_t size() const { return length_; }

    py::str finish() {
        if (count_ == 1 && lead_ == 0 && data_[0].lead == 0 && data_[0].owner && PyUnicode_CheckExact(data_[0].owner) &&
            data_[0].data == PyUnicode_DATA(data_[0].owner) && data_[0].length == PyUnicode_GET_LENGTH(data_[0].owner))
            return py::reinterpret_borrow<py::str>(data_[0].owner); // the one whole text itself
        PyObject *out = PyUnicode_New(length_, max_);
        if (!out) pysem::throw_pending();
        switch (PyUnicode_KIND(out)) {
        case PyUnicode_1BYTE_KIND: write_all(static_cast<Py_UCS1 *>(PyUnicode_DATA(out))); break;
        case PyUnicode_2BYTE_KIND: write_all(static_cast<Py_UCS2 *>(PyUnicode_DATA(out))); break;
        default: write_all(static_cast<Py_UCS4 *>(PyUnicode_DATA(out))); break;
        }
        return py::reinterpret_steal<py::str>(out);
    }

  private:
    struct piece {
        const void *data; // the first code point
        PyObject *owner;  // the text that holds it, or null for static ASCII
        Py_ssize_t length;
        int kind;
        int lead; // LF written before it
    };
    static constexpr char kAscii[128] = {
        0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,  21,
        22,  23,  24,  25,  26,  27,  28,  29,  30,  31,  32,  33,  34,  35,  36,  37,  38,  39,  40,  41,  42,  43,
        44,  45,  46,  47,  48,  49,  50,  51,  52,  53,  54,  55,  56,  57,  58,  59,  60,  61,  62,  63,  64,  65,
        66,  67,  68,  69,  70,  71,  72,  73,  74,  75,  76,  77,  78,  79,  80,  81,  82,  83,  84,  85,  86,  87,
        88,  89,  90,  91,  92,  93,  94,  95,  96,  97,  98,  99,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109,
        110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127};

    // The kind limit of the widest code point of a run, below `bound`.
    static Py_UCS4 widest_of(int kind, const void *data, Py_ssize_t n, Py_UCS4 bound) {
        Py_UCS4 top = 0x7F;
        for (Py_ssize_t i = 0; i < n && top < bound; ++i) top = std::max(top, kind_limit(PyUnicode_READ(kind, data, i)));
        return top;
    }
    static Py_UCS4 kind_limit(Py_UCS4 c) { return c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF; }

    [[gnu::always_inline]] void push(const piece &p, Py_UCS4 widest) {
        if (count_ == capacity_) grow();
        piece &at = data_[count_++];
        at = p;
        at.lead = lead_;
        lead_ = 0;
        Py_XINCREF(p.owner);
        length_ += p.length;
        if (widest > max_) max_ = widest;
    }

    template <class From, class To> static To *copy(const void *from, Py_ssize_t n, To *to) {
        const From *s = static_cast<const From *>(from);
        if constexpr (std::is_same_v<From, To>) {
            if (n > 8) {
                std::memcpy(to, s, static_cast<size_t>(n) * sizeof(To));
                return to + n;
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) to[i] = static_cast<To>(s[i]);
        return to + n;
    }
    template <class To> void write_all(To *to) const {
        for (size_t i = 0; i < count_; ++i) {
            const piece &p = data_[i];
            for (int k = 0; k < p.lead; ++k) *to++ = '\n';
            switch (p.kind) {
            case PyUnicode_1BYTE_KIND: to = copy<Py_UCS1>(p.data, p.length, to); break;
            case PyUnicode_2BYTE_KIND: to = copy<Py_UCS2>(p.data, p.length, to); break;
            default: to = copy<Py_UCS4>(p.data, p.length, to); break;
            }
        }
        for (int k = 0; k < lead_; ++k) *to++ = '\n';
    }
    [[gnu::noinline]] void grow() {
        size_t capacity = capacity_ * 4;
        auto bigger = std::make_unique<piece[]>(capacity);
        std::copy(data_, data_ + count_, bigger.get());
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = capacity;
    }
    void drop_from(size_t first) {
        for (size_t i = first; i < count_; ++i) Py_XDECREF(data_[i].owner);
        count_ = first;
    }

    static constexpr size_t kLocal = 16;
    piece local_[kLocal];
    std::unique_ptr<piece[]> heap_;
    piece *data_ = local_;
    size_t count_ = 0, capacity_ = kLocal;
    Py_ssize_t length_ = 0;
    Py_UCS4 max_ = 0;
    int lead_ = 0;
};

// What str.join refuses: the first item that is not text, and its index.
class join_refusal {
  public:
    void note(py::handle item, Py_ssize_t at) {
        if (item_) return;
        item_ = py::reinterpret_borrow<py::object>(item);
        at_ = at;
    }
    // The join's own error, when an item was noted.
    void raise_if_any() const {
        if (!item_) return;
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", at_,
                     Py_TYPE(item_.ptr())->tp_name);
        pysem::throw_pending();
    }

  private:
    py::object item_;
    Py_ssize_t at_ = 0;
};

// separator.join(items), written into a builder as the items come. An item
// that is not text is refused when the join ends, with str.join's own error
// for the first such item, as the join of the whole list would refuse it.
class joined {
  public:
    joined(text_builder &out, const char *separator) : out_(out), separator_(separator) {}

    void add(py::handle item) {
        open();
        if (PyUnicode_Check(item.ptr())) out_.add(item);
        else refusal_.note(item, count_);
        ++count_;
    }
    void add_all(py::handle items) { for_each_item(items); }
    // An item written in place, into the builder, between open() and close().
    void open() {
        if (count_ == 0) return;
        if (separator_[0] == '\n' && separator_[1] == 0) out_.line_feeds(1);
        else out_.ascii(separator_, static_cast<Py_ssize_t>(std::strlen(separator_)));
    }
    void close() { ++count_; }
    // The end of the join: its error, if an item was not text.
    void end() const { refusal_.raise_if_any(); }

  private:
    void for_each_item(py::handle items);

    text_builder &out_;
    const char *separator_;
    Py_ssize_t count_ = 0;
    join_refusal refusal_;
};

// "".join of ASCII literals and of values in their text form.
inline void put(text_builder &out, const char *ascii) { out.ascii(ascii, static_cast<Py_ssize_t>(std::strlen(ascii))); }
inline void put(text_builder &out, py::handle value) { out.add_form(value); }

template <class... Parts> py::str cat(const Parts &...parts) {
    text_builder out;
    (put(out, parts), ...);
    return out.finish();
}

inline py::str decimal(long long n) { return py::str(std::to_string(n)); }

// ---------------------------------------------------------------------------
// Scanning code points

// body(data) on the code points of a text, read at their storage width.
template <class F> decltype(auto) with_chars(py::handle text, F &&body) {
    const void *data = PyUnicode_DATA(text.ptr());
    switch (PyUnicode_KIND(text.ptr())) {
    case PyUnicode_1BYTE_KIND: return body(static_cast<const Py_UCS1 *>(data));
    case PyUnicode_2BYTE_KIND: return body(static_cast<const Py_UCS2 *>(data));
    default: return body(static_cast<const Py_UCS4 *>(data));
    }
}

// Sixteen bytes of code points, compared lane by lane.
template <class Char> struct code_point_block;
template <> struct code_point_block<Py_UCS1> {
    typedef Py_UCS1 type __attribute__((vector_size(16)));
};
template <> struct code_point_block<Py_UCS2> {
    typedef Py_UCS2 type __attribute__((vector_size(16)));
};

// The first index in [i, n) of a line boundary or of one of the ASCII
// characters `Extra`, else n. Reports are long and such code points rare:
// sixteen bytes at a time are passed over while none of them can be one.
template <char... Extra, class Char> Py_ssize_t find_break(const Char *d, Py_ssize_t i, Py_ssize_t n) {
    auto wanted = [](Py_UCS4 c) {
        return pysem::is_line_boundary(c) || ((c == static_cast<Py_UCS4>(Extra)) || ...);
    };
    if constexpr (sizeof(Char) < 4) {
        using vec = typename code_point_block<Char>::type;
        constexpr Py_ssize_t lanes = 16 / sizeof(Char);
        // Whether the block at `at` may hold one: below 0x1F, NEL or the two
        // separators, or one of `Extra`.
        auto may_hold = [](const Char *at) {
            vec v;
            std::memcpy(&v, at, sizeof v);
            auto hit = (v < 0x1F) | (v == 0x85);
            if constexpr (sizeof(Char) == 2) hit |= (v | 1) == 0x2029;
            ((hit |= v == static_cast<Char>(Extra)), ...);
            std::uint64_t words[2];
            std::memcpy(words, &hit, sizeof words);
            return (words[0] | words[1]) != 0;
        };
        for (; i + lanes <= n; i += lanes) {
            if (!may_hold(d + i)) continue;
            for (Py_ssize_t k = i; k < i + lanes; ++k)
                if (wanted(d[k])) return k;
        }
        // The last code points, in one block that ends at n (overlapping the
        // block before).
        if (i < n && n >= lanes && !may_hold(d + n - lanes)) return n;
    }
    for (; i < n; ++i)
        if (wanted(d[i])) return i;
    return n;
}

// ---------------------------------------------------------------------------
// Module state, built once at load and never destroyed.

constexpr int kIgnoreCase = 2; // re.IGNORECASE

// Patterns that the module passes around as text ("当前标题", the marker
// patterns, ...) are compiled at load into `fixed`; patterns that callers
// bring are kept in a small bounded cache.
struct State {
    // The module's own namespace: the diagnosis tables live there.
    pysem::module_namespace ns;
    py::object compile_fn, escape_fn;
    py::object sentinel;
    // Per flag value (0 or IGNORECASE): pattern text -> compiled pattern.
    py::dict fixed[2] = {pysem::steal_as<py::dict>(PyDict_New()), pysem::steal_as<py::dict>(PyDict_New())};
    py::dict recent[2] = {pysem::steal_as<py::dict>(PyDict_New()), pysem::steal_as<py::dict>(PyDict_New())};

    // Bound `match` / `search` / `sub` methods of the stored patterns. Those
    // that are read natively (telvara_patterns.hpp) refuse what is not a
    // text, as `re` refuses it.
    py::object whitespace_sub; // \s+
    // The diagnosis from prose.
    py::object numbered_line_match; // ^([1-9]\d*)、(.+)$
    py::object dashes_match;        // ^-+$
    py::object numbered_heading_match;
    py::object row_start_match;
    py::object title_words_search;
    py::object bullet_lead_sub;
    py::object count_search, number_match, bullet_match, caption_match, step_match;
    // The six labels that end a field value, and the `match` of their label
    // lines (case-sensitive).
    std::vector<py::str> next_labels;
    std::vector<py::object> next_label_match;
    // Field label -> (its label-line pattern, `sub` of its cut pattern).
    py::dict labels = pysem::steal_as<py::dict>(PyDict_New());
    // Marker -> `sub` of the cut up to its last occurrence (bounded).
    py::dict marker_cuts = pysem::steal_as<py::dict>(PyDict_New());
    // Pattern -> its line search (a capsule), for patterns given as text
    // (bounded).
    py::dict line_searches = pysem::steal_as<py::dict>(PyDict_New());
    // Subsection titles that the cleaning of a subsection drops.
    py::set known_titles = pysem::steal_as<py::set>(PySet_New(nullptr));
    Py_ssize_t longest_title = 0;

    State();
};

inline pysem::first_built<State> &state_slot() {
    PYBIND11_CONSTINIT static pysem::first_built<State> kept;
    return kept;
}

// Made when the module loads, before any method can run. Building it runs
// Python code (the import of `re`, the compiles), which can load the module
// once more (a gc callback, a finalizer): that load builds a state of its
// own, where a one-time build entered again on its thread would hang. The
// first one made is kept; the other is dropped.
inline void make_state() {
    state_slot().get([] { return State(); }, " while loading the report module");
}

inline State &state() { return *state_slot(); }

inline py::object compile_now(const State &st, py::handle pattern, int flags) {
    return call(st.compile_fn, pattern, py::int_(flags));
}

// The label line of a label (escaped): the label alone, optionally followed
// by one colon, or the label and a colon at the start of a line.
inline py::str label_line_pattern(py::handle escaped) {
    return concat({PYSEM_LIT("^"), escaped, PYSEM_LIT("[:：]?$|^"), escaped, PYSEM_LIT("[:：]")});
}

inline State::State() {
    py::module_ re = py::module_::import("re");
    compile_fn = re.attr("compile");
    escape_fn = re.attr("escape");
    sentinel = py::module_::import("builtins").attr("object")();

    auto store = [&](const char *pattern, int flags) {
        py::str source = pysem::interned(pattern);
        py::object compiled = compile_now(*this, source, flags);
        fixed[flags ? 1 : 0][source] = compiled;
        return compiled;
    };
    whitespace_sub = store(R"re(\s+)re", 0).attr("sub");
    numbered_line_match = store(R"re(^([1-9]\d*)、(.+)$)re", 0).attr("match");
    dashes_match = store(R"re(^-+$)re", 0).attr("match");
    numbered_heading_match = store(R"re(^[1-9]\d*、)re", 0).attr("match");
    row_start_match =
        store(R"re(^(?:第\s*\d+\s*点|Bullet\s*#?\d+|图|图片|主图|模块|P\d|缺失))re", kIgnoreCase).attr("match");
    title_words_search = store(R"re(\b(?:with|Bed|Frame|Daybed|KESTRO)\b)re", kIgnoreCase).attr("search");
    bullet_lead_sub = store(R"re(^[-*•\s]+)re", 0).attr("sub");
    count_search = store(R"re(共约|字符)re", 0).attr("search");
    number_match = store(R"re(^(\d+)[.)、]?$)re", 0).attr("match");
    bullet_match = store(R"re(^Bullet\s*#?(\d+)\s*[-—:：]?\s*(.*)$)re", kIgnoreCase).attr("match");
    caption_match = store(R"re(^[A-Z][A-Za-z0-9 +&'/-]+[:：])re", 0).attr("match");
    step_match = store(R"re(^Step\s+\d+)re", kIgnoreCase).attr("match");

    // Patterns the module hands to its own methods as text.
    for (const char *p : {"当前标题", "分析结果|问题逐项分析|维度", "综合建议标题|建议优化标题", "优化点说明|优化核心逻辑|优化说明",
                          "综合建议标题", "建议优化标题", "产品定位", "核心参数|参数全面对比", "卖点优劣势|卖点.*对比",
                          "评论口碑|口碑关键对比", "竞品差距|机会点", "综合结论", "^整体$", "^问题$", "^依据$", "^建议改为",
                          "改动要点|优化核心逻辑", "综合优化|优化优先级|核心逻辑",
                          R"re(^(第一点|第二点|第三点|第四点|第五点|第\s*[一二三四五六七八九十\d]+\s*点|Bullet\s*#?\d+)[:：]?\s*(.*)$)re",
                          R"re(^(图\s*\d+)[｜|—\-]?\s*(.*)$)re", R"re(^(图\s*\d+|模块\s*\d+)[\s—｜|\-]*\s*(.*)$)re",
                          R"re(^([①②③④⑤⑥⑦⑧⑨]\s*.+)$)re", R"re(^(?:第\s*\d+\s*点|Bullet\s*#?\d+|缺失)$)re",
                          R"re(^(?:图|图片|主图|Image)\s*#?\d+|^图\d+)re", R"re(^(?:模块|Module|[A-Za-z0-9+ ]+模块))re"})
        store(p, kIgnoreCase);

    // Label lines of the six labels that end a field value (case-sensitive).
    for (const char *label : {"现有表达", "问题", "依据", "建议改为", "改进建议", "优化方案"}) {
        py::object esc = call(escape_fn, pysem::interned(label));
        py::str pattern = label_line_pattern(esc);
        py::object compiled = compile_now(*this, pattern, 0);
        fixed[0][pattern] = compiled;
        next_labels.push_back(pysem::interned(label));
        next_label_match.push_back(compiled.attr("match"));
        // The same label searched for by its field, case-insensitive, and the
        // cut of the label and its colon from the value's first line.
        fixed[1][pattern] = compile_now(*this, pattern, kIgnoreCase);
        py::object cut = compile_now(*this, concat({PYSEM_LIT("^"), esc, PYSEM_LIT("[:：]\\s*")}), 0);
        py::object cut_sub = cut.attr("sub");
        labels[pysem::interned(label)] = pysem::steal(PyTuple_Pack(2, pattern.ptr(), cut_sub.ptr()));
    }

    for (const char *t : {"问题逐项分析", "优化优先级总结", "优化核心逻辑总结", "当前标题内容", "当前五点内容",
                          "当前图片整体问题", "当前A+内容整体问题", "评价整体总结分析", "产品定位", "核心参数全面对比",
                          "卖点优劣势对比", "评论口碑关键对比", "竞品差距与机会点", "综合结论", "核心问题定位",
                          "最优先修改原因", "总体执行修改方案"}) {
        py::str title = pysem::interned(t);
        if (PySet_Add(known_titles.ptr(), title.ptr()) < 0) pysem::throw_pending();
        longest_title = std::max(longest_title, PyUnicode_GET_LENGTH(title.ptr()));
    }
}

// The compiled form of a pattern given as text, through the module's own
// patterns first, then a bounded cache (caller patterns can be anything).
inline py::object compiled(py::handle pattern, int flags) {
    State &st = state();
    int slot = flags ? 1 : 0;
    PyObject *found = PyDict_GetItemWithError(st.fixed[slot].ptr(), pattern.ptr());
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(st.recent[slot].ptr(), pattern.ptr());
    if (found) return py::reinterpret_borrow<py::object>(found);
    if (PyErr_Occurred()) pysem::throw_pending();
    py::object result = compile_now(st, pattern, flags);
    PyObject *recent = st.recent[slot].ptr();
    if (PyDict_GET_SIZE(recent) >= 256) PyDict_Clear(recent);
    if (PyDict_SetItem(recent, pattern.ptr(), result.ptr()) < 0) pysem::throw_pending();
    return result;
}

// ---------------------------------------------------------------------------
// Readers of JSON-shaped input. Anything but an exact dict is asked through
// its own get(), as Python would, and that call's error is the one raised.

// mapping.get(key, default): a missing key gives `fallback`, a present null
// stays null.
inline py::object get_or(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (found) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) pysem::throw_pending();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    return pysem::call_method(mapping, PYSEM_LIT("get"), key, fallback);
}

// mapping.get(key, <missing>): a null object when the key is absent.
inline py::object lookup(py::handle mapping, py::handle key) {
    py::handle missing = state().sentinel;
    py::object value = get_or(mapping, key, missing);
    return value.is(missing) ? py::object() : value;
}

// The value under a key when it is non-empty, else empty text.
inline py::object value_or_empty(py::handle mapping, py::handle key) {
    py::object value = lookup(mapping, key);
    if (value && truthy(value)) return value;
    return PYSEM_LIT("");
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
    if (!truthy(value)) return PYSEM_LIT("");
    return strip(text_form(value));
}

// `a or b`
inline py::object or_else(py::object a, py::handle b) { return truthy(a) ? a : py::reinterpret_borrow<py::object>(b); }

// A plain copy of a derived list or mapping, for methods that take only the
// exact kind; the exact kinds pass through.
inline py::object plain(py::handle value) {
    PyObject *v = value.ptr();
    if (PyList_Check(v) && !PyList_CheckExact(v)) return pysem::steal(PySequence_List(v));
    if (PyDict_Check(v) && !PyDict_CheckExact(v)) {
        py::object copy = pysem::steal(PyDict_New());
        if (PyDict_Merge(copy.ptr(), v, 1) < 0) pysem::throw_pending();
        return copy;
    }
    return py::reinterpret_borrow<py::object>(value);
}

// DIAGNOSIS_TABLE_SCHEMAS.get((question, section)): the table is read before
// the key is made, whose allocation can collect and run Python code.
inline py::object schema_of(py::handle question, py::handle section) {
    py::object schemas = state().ns["DIAGNOSIS_TABLE_SCHEMAS"];
    py::object key = py::make_tuple(question, section);
    return lookup(schemas, key);
}

// ---------------------------------------------------------------------------
// Lists and other values

// `for item in value`, holding each item while the body runs. An exact list
// is walked in place, as the list iterator walks it.
template <class F> void for_each(py::handle value, F &&body) {
    if (PyList_CheckExact(value.ptr())) {
        for (py::object item : pysem::list_items(value)) body(std::move(item));
        return;
    }
    py::object it = pysem::steal(PyObject_GetIter(value.ptr()));
    while (PyObject *item = PyIter_Next(it.ptr())) body(py::reinterpret_steal<py::object>(item));
    if (PyErr_Occurred()) pysem::throw_pending();
}

// `for key, value in mapping.items()`, each pair held while `body(key,
// value)` runs; it returns false to stop. An exact dict is walked in place,
// raising as the interpreter's dict iterator does when it changes size (the
// list that PyDict_Items fills is half made while its pairs are allocated,
// which a collection can find); any other mapping through its own items().
template <class F> void for_each_pair(py::handle mapping, F &&body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        for (const auto &[key, value] : pysem::dict_items(mapping))
            if (!body(key, value)) return;
        return;
    }
    bool going = true;
    for_each(pysem::call_method(mapping, PYSEM_LIT("items")), [&](py::object entry) {
        if (!going) return;
        auto [key, value] = pysem::unpack2(entry);
        going = body(key, value);
    });
}

inline void joined::for_each_item(py::handle items) {
    for_each(items, [&](py::object item) { add(item); });
}

// len(value)
inline Py_ssize_t length(py::handle value) {
    if (PyList_CheckExact(value.ptr())) return PyList_GET_SIZE(value.ptr());
    if (PyUnicode_Check(value.ptr())) return PyUnicode_GET_LENGTH(value.ptr());
    Py_ssize_t n = PyObject_Size(value.ptr());
    if (n < 0) pysem::throw_pending();
    return n;
}

inline Py_ssize_t size(py::handle list) { return PyList_GET_SIZE(list.ptr()); }

// list[i] as a new reference (the list may change under Python callbacks).
inline py::object item(py::handle list, Py_ssize_t i) {
    PyObject *found = PyList_GetItem(list.ptr(), i);
    if (!found) pysem::throw_pending();
    return py::reinterpret_borrow<py::object>(found);
}

// A new list of the items [low, high) of a list, the bounds as bounds(len)
// gives them. Allocating it can start a collection whose finalizers change
// the list, which PyList_GetSlice (it measures, allocates, then copies) does
// not survive: the list is measured again when its size changed meanwhile.
template <class Bounds> py::list copy_of_part(py::handle list, Bounds &&bounds) {
    for (;;) {
        Py_ssize_t n = PyList_GET_SIZE(list.ptr());
        auto [low, high] = bounds(n);
        py::list out = pysem::steal_as<py::list>(PyList_New(high - low));
        if (PyList_GET_SIZE(list.ptr()) != n) continue;
        for (Py_ssize_t i = low; i < high; ++i)
            PyList_SET_ITEM(out.ptr(), i - low, Py_NewRef(PyList_GET_ITEM(list.ptr(), i)));
        return out;
    }
}

// list[low:high], the bounds clamped to 0..len(list) as PyList_GetSlice
// clamps them.
inline py::list slice(py::handle list, Py_ssize_t low, Py_ssize_t high) {
    return copy_of_part(list, [&](Py_ssize_t n) {
        Py_ssize_t from = std::clamp<Py_ssize_t>(low, 0, n);
        return std::pair{from, std::clamp<Py_ssize_t>(high, from, n)};
    });
}

inline void append(py::handle list, py::handle value) {
    if (PyList_Append(list.ptr(), value.ptr()) < 0) pysem::throw_pending();
}

// list.extend(iterable); a list extended by itself takes what it held.
inline void extend(py::handle list, py::handle iterable) {
    if (PyList_CheckExact(iterable.ptr()) || PyTuple_CheckExact(iterable.ptr())) {
        if (PyList_SetSlice(list.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, iterable.ptr()) < 0)
            pysem::throw_pending();
        return;
    }
    for_each(iterable, [&](py::object value) { append(list, value); });
}

// list[i] = value
inline void set_at(py::handle list, Py_ssize_t i, py::handle value) {
    if (PyList_SetItem(list.ptr(), i, py::reinterpret_borrow<py::object>(value).release().ptr()) < 0)
        pysem::throw_pending();
}

// mapping[key] = value
inline void set_item(py::handle dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) pysem::throw_pending();
}

// `a, b, ... = value` for a fixed number of names, with the interpreter's
// own errors.
inline std::vector<py::object> unpack(py::handle value, size_t count) {
    PyObject *it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value.ptr())->tp_iter &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", pysem::type_name(value));
        }
        pysem::throw_pending();
    }
    py::object iter = pysem::steal(it);
    std::vector<py::object> out;
    while (PyObject *next = PyIter_Next(iter.ptr())) {
        py::object held = py::reinterpret_steal<py::object>(next);
        if (out.size() == count) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
            pysem::throw_pending();
        }
        out.push_back(std::move(held));
    }
    if (PyErr_Occurred()) pysem::throw_pending();
    if (out.size() < count) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", count, out.size());
        pysem::throw_pending();
    }
    return out;
}

// ---------------------------------------------------------------------------
// Blocks passed from one step of the answer report to the next

// A block of the answer steps (kind block, structured answer block, display
// block). Either a value that came from elsewhere (an input list's item, a
// patched step's result), read as a mapping with get() exactly as Python
// reads it, or one that a step made itself, kept as its fields in the order
// of insertion until a caller gets to see it, as a new dict: on a road where
// every step is the class's own, blocks never become dicts.
class block {
  public:
    static block of(py::handle value) {
        block b;
        b.object_ = py::reinterpret_borrow<py::object>(value);
        return b;
    }
    // Our own block; the keys are constant texts (PYSEM_LIT).
    block(std::initializer_list<std::pair<py::handle, py::handle>> fields) {
        for (const auto &[key, value] : fields) add(key, value);
    }

    bool own() const { return !object_; }
    py::handle foreign() const { return object_; }
    bool is_mapping() const { return own() || PyDict_Check(object_.ptr()); }

    // block.get(key)
    py::object get(py::handle key) const { return own() ? find(key, Py_None) : pysem::get(object_, key); }
    // block.get(key, fallback)
    py::object get_or(py::handle key, py::handle fallback) const {
        return own() ? find(key, fallback) : telvara::get_or(object_, key, fallback);
    }
    // block[key]
    py::object item(py::handle key) const {
        if (!own()) return pysem::steal(PyObject_GetItem(object_.ptr(), key.ptr()));
        if (const field *f = slot(key)) return f->value;
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        pysem::throw_pending();
    }
    // block[key] = value
    void set(py::handle key, py::handle value) {
        if (!own()) {
            if (PyObject_SetItem(object_.ptr(), key.ptr(), value.ptr()) < 0) pysem::throw_pending();
        } else if (field *f = slot(key)) {
            f->value = py::reinterpret_borrow<py::object>(value);
        } else {
            add(key, value);
        }
    }

    // The block as a caller sees it: the value itself, or a new dict.
    py::object object() const {
        if (!own()) return object_;
        py::dict out;
        for (int i = 0; i < count_; ++i) telvara::set_item(out, fields_[i].key, fields_[i].value);
        return out;
    }

  private:
    block() = default;
    struct field {
        py::handle key;
        py::object value;
    };
    void add(py::handle key, py::handle value) {
        if (count_ == kFields) throw std::logic_error("telvara: a block of too many fields");
        fields_[count_++] = {key, py::reinterpret_borrow<py::object>(value)};
    }
    const field *slot(py::handle key) const {
        for (int i = 0; i < count_; ++i)
            if (fields_[i].key.is(key)) return &fields_[i];
        return nullptr;
    }
    field *slot(py::handle key) { return const_cast<field *>(std::as_const(*this).slot(key)); }
    py::object find(py::handle key, py::handle fallback) const {
        const field *f = slot(key);
        return f ? f->value : py::reinterpret_borrow<py::object>(fallback);
    }
    static constexpr int kFields = 3;
    py::object object_;
    field fields_[kFields];
    int count_ = 0;
};

// Blocks as a caller sees them: a new list. Its dicts are made first: a
// collection started by making one must not find the list with empty slots.
inline py::list block_list(const std::vector<block> &blocks) {
    std::vector<py::object> objects;
    objects.reserve(blocks.size());
    for (const block &b : blocks) objects.push_back(b.object());
    py::list out = pysem::steal_as<py::list>(PyList_New(static_cast<Py_ssize_t>(objects.size())));
    for (size_t i = 0; i < objects.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), objects[i].release().ptr());
    return out;
}

// Blocks that one step hands to the next: a step's own, or the sequence
// that a patched step returned, passed on as it is.
struct blocks_or_object {
    std::vector<block> own;
    py::object object;

    bool truthy() const { return object ? pysem::truthy(object) : !own.empty(); }
    py::object as_object() const { return object ? object : py::object(block_list(own)); }
};

// `for element in blocks`, each as a block: the items of a list (blocks from
// elsewhere) or a step's own blocks.
template <class F> void each_block(py::handle list, F &&body) {
    for_each(list, [&](py::object item) { body(block::of(item)); });
}
template <class F> void each_block(const std::vector<block> &blocks, F &&body) {
    for (const block &b : blocks) body(b);
}

// ---------------------------------------------------------------------------
// Texts

// Text compared with a word (a constant text), for values that may be of
// any kind: the code points, as str.__eq__ compares them.
inline bool text_equals(py::handle value, py::handle word) {
    PyObject *v = value.ptr(), *w = word.ptr();
    if (v == w) return true;
    if (!PyUnicode_Check(v)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(v);
    int kind = PyUnicode_KIND(v);
    return n == PyUnicode_GET_LENGTH(w) && kind == PyUnicode_KIND(w) &&
           std::memcmp(PyUnicode_DATA(v), PyUnicode_DATA(w), static_cast<size_t>(n) * kind) == 0;
}

// An item that the code calls a text method on: anything else fails as
// Python's attribute lookup on it would.
inline py::handle text_item(py::handle value, const char *method) {
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", pysem::type_name(value),
                     method);
        pysem::throw_pending();
    }
    return value;
}

// An item that a text operation reads as its argument: anything else is
// refused the way the operation itself would refuse it.
inline py::str as_text(py::handle item) {
    if (!PyUnicode_Check(item.ptr()))
        throw py::type_error(std::string("expected str, not ") + pysem::type_name(item));
    return py::reinterpret_borrow<py::str>(item);
}

// Python's slice bound: negative counts from the end, then clamped to 0..n.
inline Py_ssize_t slice_bound(long long k, Py_ssize_t n) {
    if (k < 0) {
        k += n;
        return k < 0 ? 0 : static_cast<Py_ssize_t>(k);
    }
    return k > n ? n : static_cast<Py_ssize_t>(k);
}

// value[low:high] as the interpreter slices it: an exact list is copied as
// `slice` copies it (negative bounds count from the end), anything else
// slices itself.
inline py::object sequence_slice(py::handle value, Py_ssize_t low, Py_ssize_t high) {
    if (!PyList_CheckExact(value.ptr())) return pysem::steal(PySequence_GetSlice(value.ptr(), low, high));
    return copy_of_part(value, [&](Py_ssize_t n) {
        Py_ssize_t from = slice_bound(low, n);
        return std::pair{from, std::max(from, slice_bound(high, n))};
    });
}

inline long long minus_one(long long k) { return k == LLONG_MIN ? k : k - 1; }
inline long long plus(long long k, long long d) { return k > LLONG_MAX - d ? LLONG_MAX : k + d; }

// ---------------------------------------------------------------------------
// Table rows

// width - n empty cells after n (n < width), refused as a list that large
// would be.
inline Py_ssize_t padding(Py_ssize_t n, long long width) {
    unsigned long long extra = static_cast<unsigned long long>(width) - static_cast<unsigned long long>(n);
    if (extra > static_cast<unsigned long long>(PY_SSIZE_T_MAX) / sizeof(PyObject *) - n) {
        PyErr_NoMemory();
        pysem::throw_pending();
    }
    return static_cast<Py_ssize_t>(extra);
}

// row + [""] * (width - len(row)) for a row of n cells, or a null object
// when the row no longer has n cells once the copy is allocated: that can
// start a collection, whose finalizers may change the row.
inline py::object padded_copy(py::handle row, Py_ssize_t n, long long width) {
    Py_ssize_t total = n + padding(n, width);
    py::list out = pysem::steal_as<py::list>(PyList_New(total));
    if (PyList_GET_SIZE(row.ptr()) != n) return py::object();
    PyObject *empty = PYSEM_LIT("").ptr();
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
    py::list out = slice(row, 0, cut);
    py::str folded = join(separator, slice(row, cut, n));
    append(out, trim ? strip(folded) : folded);
    return out;
}

// "| a | b |": the cells of a pipe-table line, each written by `write`.
template <class Write> py::str pipe_line(py::handle cells, Write &&write) {
    text_builder line;
    line.ascii("| ");
    bool first = true;
    for_each(cells, [&](py::object cell) {
        if (!first) line.ascii(" | ");
        first = false;
        write(line, cell);
    });
    return line.ascii(" |").finish();
}

// The delimiter line of a pipe table of `width` columns.
inline py::str delimiter_line(Py_ssize_t width) {
    // Tables are a few columns wide: their lines are made once.
    constexpr Py_ssize_t kKept = 16;
    static PyObject *kept[kKept] = {};
    if (width >= 0 && width < kKept && kept[width]) return py::reinterpret_borrow<py::str>(kept[width]);
    text_builder line;
    line.ascii("| ");
    for (Py_ssize_t i = 0; i < width; ++i) {
        if (i) line.ascii(" | ");
        line.ascii("---");
    }
    py::str made = line.ascii(" |").finish();
    if (width >= 0 && width < kKept) kept[width] = py::str(made).release().ptr(); // kept for the process's life
    return made;
}

} // namespace telvara

// ---------------------------------------------------------------------------
// The native code of each method, after the instance. Arguments are checked
// inside, exactly as the bound method checks them.

// The reports from structured results and from question-and-answer results.
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

// The listing diagnosis rebuilt from prose answers.
namespace telvara::official {
using h = py::handle;
inline py::object format_official_report(h self, h data, h answers, h questions);
inline py::list format_diagnosis_answer(h self, h question_index, h answer);
inline py::object answer_text(h self, h index, h answer);
inline py::str normalize_answer_markdown(h self, h text);
inline py::tuple split_numbered_sections(h self, h text);
inline py::object infer_diagnosis_sections(h self, h question_index, h text);
inline py::dict infer_title_sections(h self, h lines);
inline py::dict infer_bullet_sections(h self, h lines);
inline py::dict infer_image_sections(h self, h lines);
inline py::dict infer_aplus_sections(h self, h lines);
inline py::dict infer_review_sections(h self, h lines);
inline py::dict infer_competitor_sections(h self, h lines);
inline py::dict infer_overall_sections(h self, h lines);
inline py::list collect_marker_groups(h self, h lines, h pattern);
inline py::int_ find_line(h self, h lines, h pattern, h start);
inline py::object extract_after_marker(h self, h lines, h start, h end, h marker);
inline py::list guess_title_lines(h self, h lines);
inline py::list strip_marker_lines(h self, h lines, h patterns);
inline py::list strip_bullets(h self, h lines);
inline py::list to_pair_lines(h self, h lines, h default_key);
inline py::object chunk_value(h self, h chunk, h label);
inline py::dict table_key_values(h self, h lines);
inline py::list summary_from_suggestions(h self, h lines);
inline py::str short_value(h self, h value, h limit);
inline py::list normalize_content_lines(h self, h text);
inline py::object render_diagnosis_subsection(h self, h question_index, h section_index, h lines);
inline py::object drop_intro_and_headers(h self, h question_index, h section_index, h lines);
inline py::list drop_known_headers(h self, h lines, h headers);
inline py::object render_schema_table(h self, h schema, h lines);
inline py::object parse_schema_rows(h self, h schema, h lines);
inline py::object parse_row_start_rows(h self, h lines, h width, h row_start);
inline py::list parse_fixed_rows(h self, h lines, h width, h last_cell_continues);
inline py::list parse_summary_pairs(h self, h lines);
inline py::bool_ looks_like_next_row_start(h self, h line, h remaining_count, h width);
inline py::list render_title_content(h self, h lines);
inline py::list render_optimized_title(h self, h lines);
inline py::object render_bullet_content(h self, h lines);
inline py::list render_summary_bullets(h self, h lines);
inline py::bool_ looks_like_summary_heading(h self, h line);
inline py::object render_plain_lines(h self, h lines);
} // namespace telvara::official
