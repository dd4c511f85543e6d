// What the Keepa manager's translation unit shares: the module namespace
// through which host names are looked up when called, the texts it uses as
// keys and attribute names (interned once), its compiled patterns, and small
// helpers for declared argument and result kinds.
#pragma once

#include "common/pysem.hpp"

#include <string>
#include <string_view>

namespace brondic {

// The module's own globals: host imports and the module's functions, looked
// up at call time as a Python module would.
inline pysem::module_namespace ns;

#define BRONDIC_NAMES(X)                                                                                    \
    /* quota figures */                                                                                     \
    X(tokensLeft) X(refillIn) X(refillRate) X(tokensConsumed) X(tokenFlowReduction) X(timestamp)            \
    /* answer keys */                                                                                       \
    X(sellers) X(products) X(asinList) X(sellerIdList) X(lightningDeals) X(trackings) X(notifications)      \
    X(categories) X(deals) X(dr) X(bestSellersList) X(totalResults) X(searchInsights) X(rowSource)          \
    X(sellerId) X(asin) X(value) X(categoryParents) X(domain) X(category) X(offers)                         \
    /* request parameters */                                                                                \
    X(queryName) X(query_name) X(name) X(keyword) X(term) X(asins) X(code) X(codes) X(productGroup)         \
    X(product_group) X(seller)                                                                              \
    /* records */                                                                                           \
    X(stage) X(message) X(error) X(tokens_left) X(estimated_tokens) X(reserve_tokens) X(refill_in_ms)       \
    X(refill_rate) X(wait_seconds) X(request) X(scenario) X(normalized_params) X(account) X(before_quota)   \
    X(job_id) X(site) X(endpoint) X(request_params) X(before_status) X(response) X(after_status)            \
    X(warnings) X(before) X(after) X(quota) X(raw)                                                          \
    /* attributes and keywords */                                                                           \
    X(api_key) X(account_id) X(source) X(to_public_dict) X(to_dict) X(get_default) X(report_success)        \
    X(report_failure) X(exclude_account_ids) X(token_status) X(get_json) X(settings) X(output_dir)          \
    X(api_key_provider) X(jwt) X(session_id) X(collection_submitter) X(export_format) X(params) X(force)    \
    X(wait) X(upload_export) X(build_params) X(estimate_tokens) X(enabled) X(upload) X(path) X(filename)    \
    X(format) X(mime_type) X(url) X(purpose) X(folder) X(metadata) X(extra_sheets) X(primary_rows)          \
    X(product) X(lightning) X(search_insights) X(best_sellers) X(deal) X(offers_requested) X(parent_rows)   \
    X(domain_id) X(category_id) X(rows) X(output_path) X(row_count) X(root_dir) X(params_path)    \
    X(raw_path) X(result_path) X(data) X(result) X(info) X(append) X(parent) X(mkdir) X(parents)            \
    X(exist_ok) X(write_bytes) X(is_absolute) X(expanduser) X(resolve) X(cwd) X(exists) X(read_text)        \
    X(encoding) X(loads) X(monotonic) X(sleep) X(upper) X(lower) X(split) X(sub) X(strftime) X(now) X(hex) \
    X(exc_info) X(asin_rows) X(items) X(update)

inline py::str intern(const char *text) { return pysem::steal_as<py::str>(PyUnicode_InternFromString(text)); }

struct State {
#define BRONDIC_NAME_MEMBER(n) py::str n = intern(#n);
    BRONDIC_NAMES(BRONDIC_NAME_MEMBER)
#undef BRONDIC_NAME_MEMBER
    py::str empty = intern("");
    py::str us = intern("US");
    py::str xlsx = intern("xlsx");
    py::str json = intern("json");
    py::str xls = intern("xls");
    py::str params_json = intern("params.json");
    py::str raw_json = intern("raw.json");
    py::str result_json = intern("result.json");
    py::str utf_8 = intern("utf-8");
    py::str hyphen = intern("-");
    py::str export_ = intern("export");

    // Patterns exactly as the job-naming rules state them.
    py::object non_alnum;        // "[^A-Za-z0-9]+"
    py::object non_filename;     // "[^A-Za-z0-9\-]+"
    py::object hyphen_runs;      // "-{2,}"

    State() {
        py::module_ re = py::module_::import("re");
        non_alnum = re.attr("compile")("[^A-Za-z0-9]+");
        non_filename = re.attr("compile")("[^A-Za-z0-9\\-]+");
        hyphen_runs = re.attr("compile")("-{2,}");
    }
};

// Created once, never destroyed: it must not outlive the interpreter's objects
// in a destructor run at exit.
inline State &state() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<State> storage;
    return storage.call_once_and_store_result([] { return State(); }).get_stored();
}

// ---------------------------------------------------------------------------
// Reading values

using pysem::getattr_or_none;

// mapping.get(key) for a value already known to be a dict (of any kind).
inline py::object get(py::handle mapping, py::handle key) { return pysem::get(mapping, key); }

// key in container, as `in` tests it (an exact dict looked up directly).
inline bool has(py::handle container, py::handle key) {
    int found = PyDict_CheckExact(container.ptr()) ? PyDict_Contains(container.ptr(), key.ptr())
                                                   : PySequence_Contains(container.ptr(), key.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

inline void set(py::handle dict, py::handle key, py::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

inline void append(py::handle list, py::handle value) {
    if (PyList_Append(list.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// list(mapping.values()), in the mapping's order.
inline py::list values_of(py::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return pysem::steal_as<py::list>(PyDict_Values(mapping.ptr()));
    return pysem::steal_as<py::list>(PySequence_List(mapping.attr("values")().ptr()));
}

inline bool equals(py::handle a, py::handle b) {
    int same = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    return same == 1;
}

inline bool is_instance(py::handle value, py::handle type) {
    int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The characters of a text known to be ASCII.
inline std::string_view ascii_view(py::handle text) {
    if (!PyUnicode_IS_ASCII(text.ptr())) return {};
    return {static_cast<const char *>(PyUnicode_DATA(text.ptr())), static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr()))};
}

inline std::string type_short_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

// The exception object of a caught Python error, with its traceback attached
// (a log record or a later raise then shows where it came from).
inline py::object caught(const py::error_already_set &e) {
    py::object error = e.value();
    if (e.trace() && PyException_SetTraceback(error.ptr(), e.trace().ptr()) < 0) throw py::error_already_set();
    return error;
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
