// Shared machinery of the prose diagnosis: compiled patterns, constant texts,
// calls through the instance and small list and text helpers.
#pragma once

#include "common/pysem.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace telvara::official {

// ---------------------------------------------------------------------------
// Module state, built once at load and never destroyed.

// The module's own namespace: the diagnosis tables live there.
inline pysem::module_namespace &module_ns() {
    static pysem::module_namespace ns;
    return ns;
}

constexpr int kIgnoreCase = 2; // re.IGNORECASE

// A constant text of the module, decoded once per literal and kept for the
// life of the process (its hash is then computed once too).
inline py::str text(const char *utf8) {
    static auto *cache = new std::unordered_map<const char *, PyObject *>();
    auto [it, fresh] = cache->try_emplace(utf8, nullptr);
    if (fresh) {
        PyObject *s = PyUnicode_FromString(utf8);
        if (!s) {
            cache->erase(it);
            throw py::error_already_set();
        }
        PyUnicode_InternInPlace(&s);
        it->second = s;
    }
    return py::reinterpret_borrow<py::str>(it->second);
}

// The same for a literal, with one slot per place of use.
#define LIT(literal)                                                                               \
    ([]() -> py::str {                                                                             \
        static PyObject *const slot = ::telvara::official::text(literal).ptr();                    \
        return py::reinterpret_borrow<py::str>(slot);                                             \
    }())

// A method of this file, as the class holds it once defined, and its native
// code with the arguments after the instance.
using direct_fn = py::object (*)(py::handle self, const py::handle *args);
struct Own {
    py::str name;
    py::object original;
    direct_fn fn;
    size_t arity;
};

// Patterns that the module passes around as text ("当前标题", the marker
// patterns, ...) are compiled at load into `fixed`; patterns that callers
// bring are kept in a small bounded cache.
struct State {
    py::object compile_fn, escape_fn;
    py::object sentinel;
    // Per flag value (0 or IGNORECASE): pattern text -> compiled pattern.
    py::dict fixed[2], recent[2];

    // Methods of this file: name -> index into `own`, for the direct path.
    py::dict own_index;
    std::vector<Own> own;

    // Bound `match` / `search` / `sub` methods of the stored patterns.
    py::object numbered_line_match; // ^([1-9]\d*)、(.+)$
    py::object blank_runs_sub;      // \n{3,}
    py::object ws_runs_sub;         // \s+
    py::object dashes_match;        // ^-+$
    py::object numbered_heading_match;
    py::object row_start_match;
    py::object title_words_search;
    py::object bullet_lead_sub, check_lead_sub;
    py::object count_search, number_match, bullet_match, caption_match, step_match;
    std::vector<py::object> next_label_match;
    // Field label -> (its label-line pattern, `sub` of its cut pattern).
    py::dict labels;
    // Marker -> `sub` of the cut up to its last occurrence (bounded).
    py::dict marker_cuts;

    py::str empty{""}, lf{"\n"}, placeholder{"无"};

    State();
};

inline py::object call(py::handle fn, py::handle a) { return pysem::steal(PyObject_CallOneArg(fn.ptr(), a.ptr())); }

inline py::object call(py::handle fn, py::handle a, py::handle b) {
    PyObject *args[] = {a.ptr(), b.ptr()};
    return pysem::steal(PyObject_Vectorcall(fn.ptr(), args, 2, nullptr));
}

inline py::object compile_now(const State &st, py::handle pattern, int flags) {
    return call(st.compile_fn, pattern, py::int_(flags));
}

// The label line of a label (escaped): the label alone, optionally followed
// by one colon, or the label and a colon at the start of a line.
inline py::str label_line_pattern(py::handle escaped) {
    py::list parts;
    parts.append(py::str("^"));
    parts.append(escaped);
    parts.append(py::str("[:：]?$|^"));
    parts.append(escaped);
    parts.append(py::str("[:：]"));
    return pysem::join(py::str(""), parts);
}

inline State::State() {
    py::module_ re = py::module_::import("re");
    compile_fn = re.attr("compile");
    escape_fn = re.attr("escape");
    sentinel = py::module_::import("builtins").attr("object")();

    auto store = [&](const char *pattern, int flags) {
        py::str source = text(pattern);
        py::object compiled = compile_now(*this, source, flags);
        fixed[flags ? 1 : 0][source] = compiled;
        return compiled;
    };
    numbered_line_match = store(R"re(^([1-9]\d*)、(.+)$)re", 0).attr("match");
    blank_runs_sub = store(R"re(\n{3,})re", 0).attr("sub");
    ws_runs_sub = store(R"re(\s+)re", 0).attr("sub");
    dashes_match = store(R"re(^-+$)re", 0).attr("match");
    numbered_heading_match = store(R"re(^[1-9]\d*、)re", 0).attr("match");
    row_start_match =
        store(R"re(^(?:第\s*\d+\s*点|Bullet\s*#?\d+|图|图片|主图|模块|P\d|缺失))re", kIgnoreCase).attr("match");
    title_words_search = store(R"re(\b(?:with|Bed|Frame|Daybed|KESTRO)\b)re", kIgnoreCase).attr("search");
    bullet_lead_sub = store(R"re(^[-*•\s]+)re", 0).attr("sub");
    check_lead_sub = store(R"re(^[✅✔]+)re", 0).attr("sub");
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
        py::object esc = call(escape_fn, text(label));
        py::str pattern = label_line_pattern(esc);
        py::object compiled = compile_now(*this, pattern, 0);
        fixed[0][pattern] = compiled;
        next_label_match.push_back(compiled.attr("match"));
        // The same label searched for by its field, case-insensitive, and the
        // cut of the label and its colon from the value's first line.
        fixed[1][pattern] = compile_now(*this, pattern, kIgnoreCase);
        py::list cut_parts;
        cut_parts.append(py::str("^"));
        cut_parts.append(esc);
        cut_parts.append(py::str("[:：]\\s*"));
        py::object cut = compile_now(*this, pysem::join(py::str(""), cut_parts), 0);
        labels[text(label)] = py::make_tuple(pattern, cut.attr("sub"));
    }
}

inline State &writable_state() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<State> storage;
    return storage.call_once_and_store_result([] { return State(); }).get_stored();
}

inline const State &state() { return writable_state(); }

// The compiled form of a pattern given as text, through the module's own
// patterns first, then a bounded cache (caller patterns can be anything).
inline py::object compiled(py::handle pattern, int flags) {
    const State &st = state();
    int slot = flags ? 1 : 0;
    PyObject *found = PyDict_GetItemWithError(st.fixed[slot].ptr(), pattern.ptr());
    if (!found && !PyErr_Occurred()) found = PyDict_GetItemWithError(st.recent[slot].ptr(), pattern.ptr());
    if (found) return py::reinterpret_borrow<py::object>(found);
    if (PyErr_Occurred()) throw py::error_already_set();
    py::object result = compile_now(st, pattern, flags);
    PyObject *recent = st.recent[slot].ptr();
    if (PyDict_GET_SIZE(recent) >= 256) PyDict_Clear(recent);
    if (PyDict_SetItem(recent, pattern.ptr(), result.ptr()) < 0) throw py::error_already_set();
    return result;
}

// ---------------------------------------------------------------------------
// Calls through the instance, so that patches and overrides apply.

// Whether `self.<name>` would find the class's own method: nothing patched on
// the instance, the class or a subclass, and no attribute hook of its own.
inline bool is_direct(py::handle self, const Own &own) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(type, own.name.ptr()) != own.original.ptr()) return false;
    PyObject **dict = _PyObject_GetDictPtr(self.ptr());
    if (dict && *dict && PyDict_GET_SIZE(*dict) != 0) {
        if (PyDict_GetItemWithError(*dict, own.name.ptr())) return false;
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    return true;
}

inline const Own *own_method(py::handle name, size_t arity) {
    const State &st = state();
    PyObject *index = PyDict_GetItemWithError(st.own_index.ptr(), name.ptr());
    if (!index) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    const Own &own = st.own[PyLong_AsSize_t(index)];
    return own.arity == arity && own.original ? &own : nullptr;
}

// self.<name>(*args): straight to the native code while that is what the
// lookup would reach, else through the instance.
template <class... Args> inline py::object via(py::handle self, const char *name, Args &&...args) {
    py::str key = text(name);
    if (const Own *own = own_method(key, sizeof...(Args)); own && is_direct(self, *own)) {
        py::handle handles[] = {py::handle(args)..., py::handle()};
        return own->fn(self, handles);
    }
    return py::reinterpret_borrow<py::object>(self).attr(key)(std::forward<Args>(args)...);
}

// self.<name>(*args, <keyword>=value) for the keyword-only arguments.
template <class... Args>
inline py::object via_kw(py::handle self, const char *name, const char *keyword, py::handle value, Args &&...args) {
    py::str key = text(name);
    if (const Own *own = own_method(key, sizeof...(Args) + 1); own && is_direct(self, *own)) {
        py::handle handles[] = {py::handle(args)..., value};
        return own->fn(self, handles);
    }
    return py::reinterpret_borrow<py::object>(self).attr(key)(std::forward<Args>(args)...,
                                                              py::arg(keyword) = value);
}

// ---------------------------------------------------------------------------
// Texts


// A list item that an operation reads as text: anything else is refused the
// way the text operation itself would refuse it.
inline py::str as_text(py::handle item) {
    if (!PyUnicode_Check(item.ptr()))
        throw py::type_error(std::string("expected str, not ") + pysem::type_name(item));
    return py::reinterpret_borrow<py::str>(item);
}

inline Py_ssize_t length(py::handle s) { return PyUnicode_GET_LENGTH(s.ptr()); }

inline bool starts_with(py::handle s, py::handle prefix) {
    Py_ssize_t r = PyUnicode_Tailmatch(s.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline bool contains(py::handle container, py::handle needle) {
    int r = PySequence_Contains(container.ptr(), needle.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline bool equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline bool less(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

inline py::str concat(std::initializer_list<py::handle> parts) {
    py::list items;
    for (py::handle p : parts) items.append(p);
    return pysem::join(state().empty, items);
}

inline py::str decimal(long long n) { return py::str(std::to_string(n)); }

inline bool is_lone_bullet(py::handle trimmed) {
    pysem::text_view t(trimmed);
    return t.size() == 1 && (t[0] == U'•' || t[0] == U'-' || t[0] == U'*');
}

// ---------------------------------------------------------------------------
// Lists

inline py::list slice(py::handle list, Py_ssize_t low, Py_ssize_t high) {
    return pysem::steal_as<py::list>(PyList_GetSlice(list.ptr(), low, high));
}

inline Py_ssize_t size(py::handle list) { return PyList_GET_SIZE(list.ptr()); }

// list[i] as a new reference (the list may change under Python callbacks).
inline py::object item(py::handle list, Py_ssize_t i) {
    PyObject *found = PyList_GetItem(list.ptr(), i);
    if (!found) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(found);
}

inline void set_item(py::handle list, Py_ssize_t i, py::handle value) {
    if (PyList_SetItem(list.ptr(), i, py::reinterpret_borrow<py::object>(value).release().ptr()) < 0)
        throw py::error_already_set();
}

inline void append(py::handle list, py::handle value) {
    if (PyList_Append(list.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// list.extend(iterable)
inline void extend(py::handle list, py::handle iterable) {
    if (PyList_CheckExact(iterable.ptr())) {
        py::list copy = slice(iterable, 0, PY_SSIZE_T_MAX);
        if (PyList_SetSlice(list.ptr(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, copy.ptr()) < 0)
            throw py::error_already_set();
        return;
    }
    for (py::handle value : py::iter(py::reinterpret_borrow<py::object>(iterable))) append(list, value);
}

// `a, b, ... = value` for a fixed number of names.
inline std::vector<py::object> unpack(py::handle value, size_t count) {
    std::vector<py::object> out;
    py::iterator it = py::iter(py::reinterpret_borrow<py::object>(value));
    for (py::handle v : it) {
        if (out.size() == count)
            throw py::value_error("too many values to unpack (expected " + std::to_string(count) + ")");
        out.push_back(py::reinterpret_borrow<py::object>(v));
    }
    if (out.size() < count)
        throw py::value_error("not enough values to unpack (expected " + std::to_string(count) + ", got " +
                              std::to_string(out.size()) + ")");
    return out;
}

// ---------------------------------------------------------------------------
// Mappings

// mapping.get(key, <missing>): a null object when the key is absent. Works
// for any mapping kind the tables may be stored in.
inline py::object lookup(py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (found) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    const State &st = state();
    py::object value = py::reinterpret_borrow<py::object>(mapping).attr("get")(key, st.sentinel);
    if (value.is(st.sentinel)) return py::object();
    return value;
}

// The value under a key when it is non-empty, else empty text.
inline py::object value_or_empty(py::handle mapping, const char *key) {
    py::object value = lookup(mapping, py::str(key));
    if (value && pysem::truthy(value)) return value;
    return state().empty;
}

inline py::object schema_of(py::handle question, py::handle section) {
    py::object schemas = module_ns()["DIAGNOSIS_TABLE_SCHEMAS"];
    return lookup(schemas, py::make_tuple(question, section));
}

} // namespace telvara::official
