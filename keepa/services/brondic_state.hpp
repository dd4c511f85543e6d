// What the Keepa manager's translation unit shares: the module namespace
// through which host names are looked up when called, its compiled patterns,
// and small helpers for declared argument and result kinds. Keys and attribute
// names are PYSEM_LIT texts at their place of use.
#pragma once

#include "common/function.hpp"
#include "common/pysem.hpp"

#include <string>
#include <string_view>

namespace brondic {

// The module's own globals: host imports and the module's functions, looked
// up at call time as a Python module would.
inline pysem::module_namespace ns;

// Compiled patterns of the job-naming rules, and the names that the JSON
// writer reads. Made at import (see the module body), so that a later patch
// of re.compile, as a test that mocks it makes, leaves the rules as they are.
struct State {
    py::str parent = pysem::interned("parent");
    py::str mkdir = pysem::interned("mkdir");
    py::str write_bytes = pysem::interned("write_bytes");

    // Patterns exactly as the job-naming rules state them.
    py::object non_alnum;        // "[^A-Za-z0-9]+"
    py::object non_filename;     // "[^A-Za-z0-9\-]+"
    py::object hyphen_runs;      // "-{2,}"

    State() {
        py::object compile = pysem::steal(PyImport_ImportModule("re")).attr("compile");
        non_alnum = pysem::call(compile, PYSEM_LIT("[^A-Za-z0-9]+"));
        non_filename = pysem::call(compile, PYSEM_LIT("[^A-Za-z0-9\\-]+"));
        hyphen_runs = pysem::call(compile, PYSEM_LIT("-{2,}"));
    }
};

// Created at load, never destroyed: it must not outlive the interpreter's
// objects in a destructor run at exit. The compiles run Python code, which may
// load this module afresh: that load makes its own.
inline State &state() {
    PYBIND11_CONSTINIT static pysem::first_built<State> kept;
    return kept.get([] { return State(); }, " while loading the Keepa manager");
}

// ---------------------------------------------------------------------------
// Reading values

using pysem::get;
using pysem::getattr_or_none;

// key in container, as `in` tests it (an exact dict looked up directly).
inline bool has(py::handle container, py::handle key) {
    int found = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                                   : PySequence_Contains(container.ptr(), key.ptr());
    if (found < 0) pysem::throw_pending();
    return found == 1;
}

inline void set(py::handle dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) pysem::throw_pending();
}

inline void append(py::handle list, py::handle value) {
    if (PyList_Append(list.ptr(), value.ptr()) < 0) pysem::throw_pending();
}

// list(mapping.values()), in the mapping's order.
inline py::list values_of(py::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return pysem::steal_as<py::list>(PyDict_Values(mapping.ptr()));
    py::object values = pysem::call_method(mapping, PYSEM_LIT("values"));
    return pysem::steal_as<py::list>(PySequence_List(values.ptr()));
}

// `for item in iterable: body(item)`, each item held while the body runs.
template <class Body> inline void for_each_item(py::handle iterable, Body &&body) {
    py::object iterator = pysem::steal(PyObject_GetIter(iterable.ptr()));
    while (PyObject *next = PyIter_Next(iterator.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(next);
        body(item);
    }
    if (PyErr_Occurred()) pysem::throw_pending();
}

// a / b, as a path is joined with a part.
inline py::object joined(py::handle a, py::handle b) { return pysem::steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

// str(value), as the interpreter gives it.
inline py::object str_of(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    return pysem::steal(PyObject_Str(value.ptr()));
}

// len(value), as an int.
inline py::object length_of(py::handle value) {
    Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) pysem::throw_pending();
    return pysem::steal(PyLong_FromSsize_t(n));
}

inline bool is_instance(py::handle value, py::handle type) {
    int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0) pysem::throw_pending();
    return r == 1;
}

// The characters of a text (a str, of any kind) known to be ASCII.
inline std::string_view ascii_view(py::handle text) {
    if (!PyUnicode_IS_ASCII(text.ptr())) return {};
    return {static_cast<const char *>(PyUnicode_DATA(text.ptr())), static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr()))};
}

// type(value).__name__ as text. The type is held through the lookup: a
// metaclass's code run by it may move the value to another class.
inline py::str type_short_name(py::handle value) {
    py::object type = py::type::of(value);
    return pysem::text_form(pysem::getattr(type, PYSEM_LIT("__name__")));
}

// ---------------------------------------------------------------------------
// Declared kinds

// An integer argument that may be null.
inline py::object optional_int(py::handle value, const char *arg) {
    if (value.is_none()) return py::none();
    return pysem::int_arg(value, arg);
}

// An argument declared as an error: any exception object.
inline py::object error_arg(py::handle value, const char *arg) {
    if (!PyExceptionInstance_Check(value.ptr())) pysem::refuse(arg, "BaseException", value);
    return py::reinterpret_borrow<py::object>(value);
}

// Declared results: exactly a list (or dict), null passing where allowed.
inline py::object list_result(py::handle value, const char *function, bool null_passes) {
    if (PyList_CheckExact(value.ptr()) || (null_passes && value.is_none()))
        return py::reinterpret_borrow<py::object>(value);
    throw py::type_error(std::string("return value of '") + function + "' must be list" +
                         (null_passes ? " or None" : "") + ", not " + pysem::type_name(value));
}

inline py::object dict_result(py::handle value, const char *function) {
    if (PyDict_CheckExact(value.ptr()) || value.is_none()) return py::reinterpret_borrow<py::object>(value);
    throw py::type_error(std::string("return value of '") + function + "' must be dict or None, not " +
                         pysem::type_name(value));
}

// A list that a row rule hands back unchanged must be a plain list.
inline py::list plain_list(py::handle value, const char *function) {
    return py::reinterpret_borrow<py::list>(list_result(value, function, false));
}

} // namespace brondic
