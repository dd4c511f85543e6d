// Python semantics for the native modules: the interpreter's own rules for
// argument kinds, truth, text form, whitespace and line splitting, written
// once so that every module behaves like the Python code it replaces.
//
// Texts stay Python strings (or code points read from them) throughout: input
// comes from JSON and may hold any code point, lone surrogates included, so a
// round trip through UTF-8 could fail or change it.
#pragma once

#include "common/capi.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/detail/exception_translation.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace py = pybind11;

namespace pysem {

// ---------------------------------------------------------------------------
// Errors

// Throws the pending Python error as a C++ exception, normalized first so
// that its type is the exception's own. `raise Cls` whose constructor returns
// an instance of another class leaves Cls pending beside that instance:
// Python code goes on with the instance, where pybind11 alone would raise a
// RuntimeError about the mismatch instead. Every error taken from the
// indicator into C++ goes through here.
[[noreturn]] inline void throw_pending() {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    if (!type) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        throw py::error_already_set();
    }
    PyErr_NormalizeException(&type, &value, &trace);
    if (value && PyExceptionInstance_Check(value)) Py_SETREF(type, Py_NewRef(Py_TYPE(value)));
    PyErr_Restore(type, value, trace);
    throw py::error_already_set();
}

inline const char *type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// The one refusal message for a declared argument kind, e.g.
// "argument 'data' must be dict, not list", set as the Python error.
inline void set_refusal(const char *arg, const char *kind, py::handle value) noexcept {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not %s", arg, kind, type_name(value));
}

[[noreturn]] inline void refuse(const char *arg, const char *kind, py::handle value) {
    set_refusal(arg, kind, value);
    throw_pending();
}

// What a native function returns when it has set the Python error itself:
// no object, which the function tables (function.hpp) turn into that error.
// A refusal returned this way costs no C++ exception.
inline py::object raised() noexcept { return py::object(); }

// Sets the Python error for the C++ exception being handled, as pybind11's own
// functions do: a pending Python error is restored, pybind11's exception types
// and registered translators apply, std::bad_alloc is MemoryError and any
// other std::exception RuntimeError. The one path from a C++ exception to the
// Python error, for functions, methods, coroutines and module bodies alike.
// Call only inside a catch handler.
inline void set_error_from_exception() noexcept {
    try {
        py::detail::try_translate_exceptions();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "a C++ exception escaped its translation");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a C++ exception was translated to no Python error");
}

// Runs `body` for a C-API entry point: true when it returned, false with the
// Python error set when it threw.
template <class F> bool run_c_api(F &&body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        set_error_from_exception();
        return false;
    }
}

// Takes the pending error out of the indicator: a new reference to the
// normalized exception, its traceback attached (null when none is set).
inline PyObject *take_error() noexcept {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    if (trace) {
        PyException_SetTraceback(value, trace);
        Py_DECREF(trace);
    }
    Py_XDECREF(type);
    return value;
}

// Steals a new reference from the C API, raising the pending error on NULL.
inline py::object steal(PyObject *result) {
    if (!result) throw_pending();
    return py::reinterpret_steal<py::object>(result);
}

template <class T> inline T steal_as(PyObject *result) {
    if (!result) throw_pending();
    return py::reinterpret_steal<T>(result);
}

// A constant text, decoded and interned once per literal and kept for the
// life of the process (its hash is then computed once too). Names looked up
// or passed as keywords, and the constant texts of reports, all come from
// here; PYSEM_LIT gives each place of use its own slot.
inline py::str interned(const char *utf8) {
    static auto *cache = new std::unordered_map<const char *, PyObject *>();
    auto [it, fresh] = cache->try_emplace(utf8, nullptr);
    if (fresh) {
        PyObject *s = PyUnicode_FromString(utf8);
        if (!s) {
            cache->erase(it);
            throw_pending();
        }
        PyUnicode_InternInPlace(&s);
        it->second = s;
    }
    return py::reinterpret_borrow<py::str>(it->second);
}

#define PYSEM_LIT(literal)                                                                          \
    ([]() -> const ::pybind11::str & {                                                              \
        static const ::pybind11::str *const kept = new ::pybind11::str(::pysem::interned(literal)); \
        return *kept;                                                                               \
    }())

// `from <module> import <name>`: a submodule of that name is imported too,
// and a missing module or name fails as the import statement does.
inline py::object import_from(const char *module, const char *name) {
    py::str text(name);
    py::tuple fromlist = steal_as<py::tuple>(PyTuple_Pack(1, text.ptr()));
    py::object mod = steal(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (value) return steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    // The module's file as the statement reads it: from the module's dict,
    // where no attribute hook runs; a module without one has an unknown
    // location. Only an ordinary error of that read is dropped.
    py::object path = py::none();
    if (PyObject *file = PyModule_GetFilenameObject(mod.ptr())) path = steal(file);
    else if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
    else throw_pending();
    py::str message = steal_as<py::str>(
        path.is_none() ? PyUnicode_FromFormat("cannot import name '%s' from '%s' (unknown location)", name, module)
                       : PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name, module, path.ptr()));
    py::object error = py::handle(PyExc_ImportError)(message, py::arg("name") = module, py::arg("path") = path);
    PyErr_SetObject(PyExc_ImportError, error.ptr());
    throw_pending();
}

// `raise error` for an exception object already made (e.g. a host error type
// called with its message).
[[noreturn]] inline void raise_instance(py::handle error) {
    if (!PyExceptionInstance_Check(error.ptr())) throw py::type_error("exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw_pending();
}

// getattr(obj, name): for objects that Python code may have made, whose
// lookup runs their code (a property, __getattr__).
inline py::object getattr(py::handle obj, py::handle name) { return steal(PyObject_GetAttr(obj.ptr(), name.ptr())); }

// getattr(obj, name, None): only an AttributeError means "absent".
inline py::object getattr_or_none(py::handle obj, py::handle name) {
    PyObject *found = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (found) return steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    return py::none();
}

inline py::object getattr_or_none(py::handle obj, const char *name) { return getattr_or_none(obj, py::str(name)); }

// `first, second = value`, with the interpreter's own errors.
inline std::pair<py::object, py::object> unpack2(py::handle value) {
    PyObject *v = value.ptr();
    if (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 2)
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(v, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(v, 1))};
    PyObject *it = PyObject_GetIter(v);
    if (!it) {
        // As the interpreter does: only a value that is no iterable at all.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value.ptr())->tp_iter && !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(value));
        }
        throw_pending();
    }
    py::object iter = steal(it);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(iter.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw_pending();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_pending();
        }
        items[i] = steal(item);
    }
    if (py::object extra = py::reinterpret_steal<py::object>(PyIter_Next(iter.ptr())))
        throw py::value_error("too many values to unpack (expected 2)");
    if (PyErr_Occurred()) throw_pending();
    return {std::move(items[0]), std::move(items[1])};
}

// ---------------------------------------------------------------------------
// Native recursion: too deep an input raises RecursionError as Python code
// would, instead of overflowing the C stack.

class recursion_guard {
  public:
    explicit recursion_guard(const char *where) {
        if (Py_EnterRecursiveCall(where)) throw_pending();
    }
    ~recursion_guard() { Py_LeaveRecursiveCall(); }
    recursion_guard(const recursion_guard &) = delete;
    recursion_guard &operator=(const recursion_guard &) = delete;
};

// ---------------------------------------------------------------------------
// Exact-kind argument checks: a declared dict, list, text, ... must be exactly
// that type; null and subclasses are refused with a type error naming the
// argument.

inline py::dict exact_dict(py::handle value, const char *arg) {
    if (!PyDict_CheckExact(value.ptr())) refuse(arg, "dict", value);
    return py::reinterpret_borrow<py::dict>(value);
}

inline py::list exact_list(py::handle value, const char *arg) {
    if (!PyList_CheckExact(value.ptr())) refuse(arg, "list", value);
    return py::reinterpret_borrow<py::list>(value);
}

inline py::str exact_str(py::handle value, const char *arg) {
    if (!PyUnicode_CheckExact(value.ptr())) refuse(arg, "str", value);
    return py::reinterpret_borrow<py::str>(value);
}

// The same check for an entry point that returns at once on refusal: false
// with the refusal set, as in `if (!check_exact_str(q, "query")) return raised();`.
inline bool check_exact_str(py::handle value, const char *arg) noexcept {
    if (PyUnicode_CheckExact(value.ptr())) return true;
    set_refusal(arg, "str", value);
    return false;
}

inline py::tuple exact_tuple(py::handle value, const char *arg) {
    if (!PyTuple_CheckExact(value.ptr())) refuse(arg, "tuple", value);
    return py::reinterpret_borrow<py::tuple>(value);
}

inline py::bytes exact_bytes(py::handle value, const char *arg) {
    if (!PyBytes_CheckExact(value.ptr())) refuse(arg, "bytes", value);
    return py::reinterpret_borrow<py::bytes>(value);
}

inline py::set exact_set(py::handle value, const char *arg) {
    if (!PySet_CheckExact(value.ptr())) refuse(arg, "set", value);
    return py::reinterpret_borrow<py::set>(value);
}

// Null or exactly the kind.
inline py::object optional_exact_str(py::handle value, const char *arg) {
    if (value.is_none()) return py::none();
    return exact_str(value, arg);
}

inline py::object optional_exact_dict(py::handle value, const char *arg) {
    if (value.is_none()) return py::none();
    return exact_dict(value, arg);
}

// An object built on first use and kept for the life of the process (never
// released: at exit the interpreter may be gone). The build may run Python
// code (an import, a collection's callbacks and finalizers, a signal handler)
// that asks for the object again, or lets another thread in: each builds its
// own and the first one kept is used, so that no thread waits on another,
// where a one-time build (std::call_once) would hang a re-entry for good; a
// build that always comes back ends in RecursionError. The GIL guards the slot.
template <class T> class first_built {
  public:
    // `where` ends the RecursionError's message.
    template <class Build> T &get(Build &&build, const char *where = " while building a kept object") {
        if (!kept_) {
            recursion_guard guard(where);
            std::unique_ptr<T> made(new T(build()));
            if (!kept_) kept_ = made.release();
        }
        return *kept_;
    }

    // The object, once get() has built it.
    T &operator*() const noexcept { return *kept_; }

  private:
    T *kept_ = nullptr;
};

// numbers.Number, looked up on first use and kept.
inline py::handle number_abc() {
    PYBIND11_CONSTINIT static first_built<py::object> kept;
    return kept.get([] { return pysem::getattr(steal(PyImport_ImportModule("numbers")), PYSEM_LIT("Number")); });
}

// Whether int() has a way to convert a number that is no index: __int__ or
// __trunc__ on its type. complex has neither, so int() refuses it with its own
// message, which does not name the argument.
inline bool has_int_conversion(py::handle value) {
    PyTypeObject *type = Py_TYPE(value.ptr());
    if (type->tp_as_number && type->tp_as_number->nb_int) return true;
    return capi::type_lookup(type, PYSEM_LIT("__trunc__").ptr()) != nullptr;
}

// An integer argument: an int is taken as it is (a flag gives 1 or 0), another
// number is converted as int() does (a float truncated toward zero; inf and
// nan fail as int() fails); anything else, a number that int() cannot convert
// included, is refused naming the argument.
inline py::int_ int_arg(py::handle value, const char *arg) {
    PyObject *v = value.ptr();
    if (PyLong_CheckExact(v)) return py::reinterpret_borrow<py::int_>(value);
    if (PyLong_Check(v) || PyFloat_Check(v)) return steal_as<py::int_>(PyNumber_Long(v));
    if (PyIndex_Check(v)) {
        py::object index = steal(PyNumber_Index(v));
        return steal_as<py::int_>(PyNumber_Long(index.ptr()));
    }
    // Other numbers (Fraction, Decimal, ...) as int() converts them.
    int number = PyObject_IsInstance(v, number_abc().ptr());
    if (number < 0) throw_pending();
    if (number == 1 && has_int_conversion(value)) return steal_as<py::int_>(PyNumber_Long(v));
    refuse(arg, "int", value);
}

// An int clamped into long long: enough for any length, index or count that
// can exist in memory, without overflow for huge values.
inline long long clamp_ll(py::handle integer) {
    int overflow = 0;
    long long result = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    if (result == -1 && PyErr_Occurred()) throw_pending();
    return result;
}

inline long long int_arg_ll(py::handle value, const char *arg) { return clamp_ll(int_arg(value, arg)); }

// ---------------------------------------------------------------------------
// Truth and text form

// The host's truth test. For JSON values an "empty value" is exactly a falsy
// one: null, false, 0, 0.0, "", [] and {}.
inline bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw_pending();
    return r != 0;
}

inline bool is_empty(py::handle value) { return !truthy(value); }

// str(value) as exactly a str: text unchanged, numbers, flags, null and
// containers as the interpreter writes them. A str subclass, and a __str__
// that returns one, give a plain copy of the text, so that what is made of
// the result (dict keys, comparisons) never runs a subclass's methods.
inline py::str text_form(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    py::object text = steal(PyObject_Str(value.ptr()));
    if (PyUnicode_CheckExact(text.ptr())) return py::reinterpret_steal<py::str>(text.release());
    return steal_as<py::str>(PyUnicode_Substring(text.ptr(), 0, PyUnicode_GET_LENGTH(text.ptr())));
}

// ---------------------------------------------------------------------------
// Reading JSON-shaped input. Kind tests here accept subclasses; a mapping
// subclass is read through its own get() as Python code would.

inline bool is_mapping(py::handle v) { return PyDict_Check(v.ptr()); }
inline bool is_list(py::handle v) { return PyList_Check(v.ptr()); }
inline bool is_text(py::handle v) { return PyUnicode_Check(v.ptr()); }

// mapping.get(key), None when missing. `mapping` must be a dict (of any kind).
inline py::object get(py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (found) return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw_pending();
        return py::none();
    }
    PyObject *args[] = {mapping.ptr(), key.ptr()};
    return steal(PyObject_VectorcallMethod(PYSEM_LIT("get").ptr(), args, 2, nullptr));
}

inline py::object get(py::handle mapping, const char *key) { return get(mapping, py::str(key)); }

// mapping[key] = value: an exact dict is written directly.
inline void set_item(py::handle mapping, py::handle key, py::handle value) {
    int r = PyDict_CheckExact(mapping.ptr()) ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                                             : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    if (r < 0) throw_pending();
}

// mapping[key]: an exact dict is read directly; anything else, and a missing
// key, goes through the item protocol (which raises the KeyError).
inline py::object item(py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        if (PyObject *found = PyDict_GetItemWithError(mapping.ptr(), key.ptr()))
            return py::reinterpret_borrow<py::object>(found);
        if (PyErr_Occurred()) throw_pending();
    }
    return steal(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// ---------------------------------------------------------------------------
// Loops over containers that Python code may change meanwhile. pybind11's
// own list iterator keeps a pointer into the list's item array, which a
// resize frees, and its dict iterator hands out borrowed keys and values: a
// loop whose body can run Python code (a __str__, __eq__ or __bool__, a
// patched host function, a collection with finalizers) takes one of these.

// `for item in values` over a list: the size is read again at every step and
// each item is held while the body runs, as the interpreter's list iterator
// does (items appended meanwhile are seen, a cleared list ends the loop).
// The caller keeps the list alive.
class list_items {
  public:
    explicit list_items(py::handle list) noexcept : list_(list.ptr()) {}
    struct end_marker {};
    class iterator {
      public:
        explicit iterator(PyObject *list) noexcept : list_(list) {}
        py::object operator*() const { return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list_, at_)); }
        iterator &operator++() noexcept {
            ++at_;
            return *this;
        }
        bool operator!=(end_marker) const noexcept { return at_ < PyList_GET_SIZE(list_); }

      private:
        PyObject *list_;
        Py_ssize_t at_ = 0;
    };
    iterator begin() const noexcept { return iterator(list_); }
    end_marker end() const noexcept { return {}; }

  private:
    PyObject *list_;
};

// `for key, value in mapping.items()` over an exact dict: each pair is held
// while the body runs, and a dict that changes size meanwhile raises the
// interpreter's RuntimeError at the next step. The caller keeps the dict alive.
class dict_items {
  public:
    explicit dict_items(py::handle dict) noexcept : dict_(dict.ptr()) {}
    struct end_marker {};
    class iterator {
      public:
        explicit iterator(PyObject *dict) : dict_(dict), used_(PyDict_GET_SIZE(dict)), left_(used_) { next(); }
        const std::pair<py::object, py::object> &operator*() const noexcept { return item_; }
        iterator &operator++() {
            next();
            return *this;
        }
        bool operator!=(end_marker) const noexcept { return item_.first.ptr() != nullptr; }

      private:
        void next() {
            if (PyDict_GET_SIZE(dict_) != used_) {
                item_ = {};
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                throw_pending();
            }
            PyObject *key, *value;
            if (!PyDict_Next(dict_, &pos_, &key, &value)) {
                item_ = {};
                return;
            }
            if (left_-- == 0) { // as many as ever, yet one more: keys were replaced
                item_ = {};
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                throw_pending();
            }
            item_ = {py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(value)};
        }
        PyObject *dict_;
        Py_ssize_t used_, left_, pos_ = 0;
        std::pair<py::object, py::object> item_;
    };
    iterator begin() const { return iterator(dict_); }
    end_marker end() const noexcept { return {}; }

  private:
    PyObject *dict_;
};

// The value of the first of `keys` (a list) whose value is non-empty, else
// None. The mapping's get() and a value's truth test run Python code, which
// may change the list: the loop sees that as `for key in keys` does.
inline py::object first_non_empty(py::handle mapping, py::handle keys) {
    for (py::object key : list_items(keys)) {
        py::object value = get(mapping, key);
        if (truthy(value)) return value;
    }
    return py::none();
}

// ---------------------------------------------------------------------------
// Code points

// Read-only view of a str's code points. The str must outlive the view.
class text_view {
  public:
    explicit text_view(py::handle s) : kind_(PyUnicode_KIND(s.ptr())), data_(PyUnicode_DATA(s.ptr())), size_(PyUnicode_GET_LENGTH(s.ptr())) {}
    Py_ssize_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }

  private:
    int kind_;
    const void *data_;
    Py_ssize_t size_;
};

// White space as the text type counts it (str.isspace, str.strip, str.split).
// The interpreter's set (Py_UNICODE_ISSPACE), tested inline: text is trimmed
// all the time, and most code points of a report are letters or ideographs.
inline bool is_space(Py_UCS4 c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
    if (c > 0x3000) return false;
    if (c < 0x1680) return c == 0x85 || c == 0xA0;
    return c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Every line boundary that str.splitlines() knows: LF, VT, FF, CR, the
// separators 0x1C-0x1E, NEL, LINE SEPARATOR and PARAGRAPH SEPARATOR. The set is
// the interpreter's (Py_UNICODE_ISLINEBREAK), tested inline: this runs for
// every code point of a report.
inline bool is_line_boundary(Py_UCS4 c) {
    if (c < 0x1F) return c >= 0x0A && (c <= 0x0D || c >= 0x1C);
    return c == 0x85 || (c | 1) == 0x2029;
}

inline py::str substr(py::handle s, Py_ssize_t start, Py_ssize_t end) {
    if (start == 0 && end == PyUnicode_GET_LENGTH(s.ptr()) && PyUnicode_CheckExact(s.ptr()))
        return py::reinterpret_borrow<py::str>(s);
    return steal_as<py::str>(PyUnicode_Substring(s.ptr(), start, end));
}

// Whitespace trimming; the text itself comes back when nothing is removed.
inline py::str strip(py::handle s) {
    text_view t(s);
    Py_ssize_t begin = 0, end = t.size();
    while (begin < end && is_space(t[begin])) ++begin;
    while (end > begin && is_space(t[end - 1])) --end;
    return substr(s, begin, end);
}

inline py::str lstrip(py::handle s) {
    text_view t(s);
    Py_ssize_t begin = 0;
    while (begin < t.size() && is_space(t[begin])) ++begin;
    return substr(s, begin, t.size());
}

inline py::str rstrip(py::handle s) {
    text_view t(s);
    Py_ssize_t end = t.size();
    while (end > 0 && is_space(t[end - 1])) --end;
    return substr(s, 0, end);
}

// A line that is empty after trimming.
inline bool is_blank(py::handle s) {
    text_view t(s);
    for (Py_ssize_t i = 0; i < t.size(); ++i)
        if (!is_space(t[i])) return false;
    return true;
}

// s.split("\n"): only LF separates; a final LF gives a final empty line.
inline py::list split_lf(py::handle s) {
    return steal_as<py::list>(PyUnicode_Split(s.ptr(), PYSEM_LIT("\n").ptr(), -1));
}

// s.splitlines(): every line boundary; a final boundary gives no empty line.
inline py::list split_lines(py::handle s) { return steal_as<py::list>(PyUnicode_Splitlines(s.ptr(), 0)); }

// CR LF and lone CR become LF.
inline py::str normalize_newlines(py::handle s) {
    if (PyUnicode_FindChar(s.ptr(), '\r', 0, PyUnicode_GET_LENGTH(s.ptr()), 1) == -1)
        return text_form(s);
    py::object once = steal(PyUnicode_Replace(s.ptr(), PYSEM_LIT("\r\n").ptr(), PYSEM_LIT("\n").ptr(), -1));
    return steal_as<py::str>(PyUnicode_Replace(once.ptr(), PYSEM_LIT("\r").ptr(), PYSEM_LIT("\n").ptr(), -1));
}

inline py::str join(py::handle sep, py::handle items) {
    return steal_as<py::str>(PyUnicode_Join(sep.ptr(), items.ptr()));
}

inline py::str join(const char *sep, py::handle items) { return join(py::str(sep), items); }

// Trimmed field text: "" for an empty value or a missing key, else the
// value's text form, trimmed.
inline py::str field_text(py::handle mapping, py::handle key) {
    py::object value = get(mapping, key);
    if (!truthy(value)) return PYSEM_LIT("");
    return strip(text_form(value));
}

inline py::str field_text(py::handle mapping, const char *key) { return field_text(mapping, py::str(key)); }

// ---------------------------------------------------------------------------
// Plain classes made at load, as a class statement in the module would make
// them (instances get a __dict__, take part in GC, can be subclassed).

// type(name, bases, body) with __module__, __qualname__ and __doc__ set as the
// statement sets them; `doc` may be null (no docstring).
// The class dictionary keeps the statement's order: those three, then `body`.
inline py::object make_class(py::handle module, const char *name, const char *doc, py::dict body,
                             py::tuple bases = py::tuple()) {
    py::dict ns = steal_as<py::dict>(PyDict_New());
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    if (PyDict_Update(ns.ptr(), body.ptr()) < 0) throw_pending();
    py::str text(name);
    return steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PyType_Type), text.ptr(), bases.ptr(),
                                              ns.ptr(), nullptr));
}

inline py::object make_class(py::handle module, const char *name, const char *doc) {
    return make_class(module, name, doc, steal_as<py::dict>(PyDict_New()));
}

// ---------------------------------------------------------------------------
// Calls through the instance. Methods call each other as `self.name(...)`;
// while the lookup would find the class's own native method, a caller may go
// straight to its C++ code instead, which is what the lookup would reach.

// Whether `self.<name>` would find something other than `original`: a patch on
// the instance or its class, a subclass override, or a custom attribute hook.
inline bool replaced(py::handle self, py::handle name, py::handle original) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return true;
    if (capi::type_lookup(type, name.ptr()) != original.ptr()) return true;
    PyObject **slot = capi::instance_dict_ptr(self.ptr());
    if (slot && *slot && PyDict_GET_SIZE(*slot) != 0) {
        // Held while looked up: a colliding key's __eq__ may replace it.
        py::object dict = py::reinterpret_borrow<py::object>(*slot);
        if (PyDict_GetItemWithError(dict.ptr(), name.ptr())) return true;
        if (PyErr_Occurred()) throw_pending();
    }
    return false;
}

// ---------------------------------------------------------------------------
// Small idioms

// `a == b`, `a != b` and `a < b` as an `if` tests them: the rich comparison,
// then the truth of its result (no identity shortcut: a NaN is not equal to
// itself).
inline bool compare(py::handle a, py::handle b, int op) {
    return truthy(steal(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// Two exact texts are equal when they hold the same code points; a text's
// storage kind is the narrowest that holds them, so equal texts share it.
inline bool same_text(PyObject *a, PyObject *b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}

inline bool equal(py::handle a, py::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) return same_text(a.ptr(), b.ptr());
    return compare(a, b, Py_EQ);
}
inline bool not_equal(py::handle a, py::handle b) { return compare(a, b, Py_NE); }
inline bool less(py::handle a, py::handle b) { return compare(a, b, Py_LT); }

// `needle in container`
inline bool contains(py::handle container, py::handle needle) {
    int r = PySequence_Contains(container.ptr(), needle.ptr());
    if (r < 0) throw_pending();
    return r == 1;
}

// s.startswith(prefix), both texts.
inline bool starts_with(py::handle s, py::handle prefix) {
    Py_ssize_t r = PyUnicode_Tailmatch(s.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw_pending();
    return r == 1;
}

// `a + b` for two texts.
inline py::str concat(py::handle a, py::handle b) {
    return steal_as<py::str>(PyUnicode_Concat(a.ptr(), b.ptr()));
}

// "".join(parts) for a few texts, refused as join refuses anything else.
inline py::str concat(std::initializer_list<py::handle> parts) {
    py::tuple items(parts.size());
    Py_ssize_t i = 0;
    for (py::handle part : parts) PyTuple_SET_ITEM(items.ptr(), i++, Py_NewRef(part.ptr()));
    return join(PYSEM_LIT(""), items);
}

// {key: value, ...}, in the order given.
inline py::dict make_dict(std::initializer_list<std::pair<py::handle, py::handle>> items) {
    // Sized up front: a dict grown one item at a time resizes after its fifth.
    py::dict out = steal_as<py::dict>(capi::dict_presized(static_cast<Py_ssize_t>(items.size())));
    for (const auto &[key, value] : items)
        if (PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) < 0) throw_pending();
    return out;
}

// The exception being handled, as `except BaseException as e` binds it: the
// exception object with its traceback attached. A C++ exception is the Python
// exception that the one error path makes of it. A Python error is only read,
// so the handler may still `throw;` it. Call only inside a catch handler.
inline py::object handled_exception() noexcept {
    try {
        throw;
    } catch (const py::error_already_set &e) {
        if (e.trace()) PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
        return e.value();
    } catch (...) {
        set_error_from_exception();
        return py::reinterpret_steal<py::object>(take_error());
    }
}

// ---------------------------------------------------------------------------
// A module's own namespace. A native module binds what it imports as module
// attributes, as a Python module's imports would, and looks them up there
// when called, so that tests can patch them with monkeypatch.setattr.

// dict[key] for a dict that is read at every call and seldom changes (a
// module's namespace): the item found is kept, and looked up again only when
// the dict has changed since, which the interpreter marks by giving it a new
// version tag. One per place of use (a static), always with the same key.
class kept_item {
  public:
    // dict[key], borrowed (the dict holds it), or null when absent.
    PyObject *get(PyObject *dict, PyObject *key) {
        std::uint64_t version = capi::dict_version(dict);
        if (dict == dict_ && version == version_) return item_;
        PyObject *found = PyDict_GetItemWithError(dict, key);
        if (!found && PyErr_Occurred()) throw_pending();
        if (capi::dict_version(dict) == version) { // unchanged while it was read
            dict_ = dict;
            version_ = version;
            item_ = found;
        }
        return found;
    }

  private:
    PyObject *dict_ = nullptr; // only compared: a dict made later at its place has a new version
    std::uint64_t version_ = 0;
    PyObject *item_ = nullptr;
};

class module_namespace {
  public:
    // The dict is kept for the process's life: a module loaded afresh while
    // this one loads binds its own, and may be dropped before this one runs.
    void bind(py::module_ m) {
        py::object dict = m.attr("__dict__");
        dict_ = dict.release().ptr();
    }

    // globals()[name] through a kept item, for a name read at every call.
    py::object operator()(kept_item &kept, py::handle name) const {
        if (PyObject *found = kept.get(dict_, name.ptr())) return py::reinterpret_borrow<py::object>(found);
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw_pending();
    }

    // globals()[name], NameError when absent. `name` is a literal: its
    // interned text is made once.
    py::object operator[](const char *name) const { return (*this)[interned(name)]; }

    py::object operator[](py::handle name) const {
        PyObject *found = PyDict_GetItemWithError(dict_, name.ptr());
        if (found) return py::reinterpret_borrow<py::object>(found);
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw_pending();
    }

  private:
    PyObject *dict_ = nullptr;
};

// One line of a module's imports: `from <module> import <name> [as <alias>]`,
// or `import <module> [as <alias>]` when `name` is null.
struct host_import {
    const char *module;
    const char *name;
    const char *alias = nullptr;
};

// A module's imports, bound in its namespace in the order given, where calls
// look them up (and tests patch them).
inline void bind_imports(py::module_ &m, std::initializer_list<host_import> imports) {
    for (const host_import &i : imports) {
        if (i.name) m.attr(i.alias ? i.alias : i.name) = import_from(i.module, i.name);
        else m.attr(i.alias ? i.alias : i.module) = steal(PyImport_ImportModule(i.module));
    }
}

} // namespace pysem
