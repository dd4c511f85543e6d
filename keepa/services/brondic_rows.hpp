// Reading a Keepa answer: quota figures, the main result rows, flat export
// rows, and the query name of a product-finder request.
#pragma once

#include "keepa/services/brondic_state.hpp"

#include <array>

namespace brondic::rows {

inline py::dict extract_quota(py::handle payload) {
    py::dict figures;
    if (payload.is_none()) return figures;
    pysem::exact_dict(payload, "payload");
    State &s = state();
    for (py::handle key : {s.tokensLeft, s.refillIn, s.refillRate, s.tokensConsumed, s.tokenFlowReduction, s.timestamp}) {
        PyObject *found = PyDict_GetItemWithError(payload.ptr(), key.ptr());
        if (found) set(figures, key, found);
        else if (PyErr_Occurred()) throw py::error_already_set();
    }
    return figures;
}

// mapping[key] if it is a list, else None.
inline py::object list_under(py::handle mapping, py::handle key) {
    py::object value = get(mapping, key);
    if (PyList_Check(value.ptr())) return value;
    return py::none();
}

inline py::list extract_rows(py::handle payload_arg) {
    py::dict payload = pysem::exact_dict(payload_arg, "payload");
    State &s = state();
    const char *self = "extract_rows";

    py::object sellers = get(payload, s.sellers);
    if (PyList_Check(sellers.ptr())) return plain_list(sellers, self);
    if (PyDict_Check(sellers.ptr())) return values_of(sellers);

    for (py::handle key : {s.products, s.asinList, s.sellerIdList, s.lightningDeals, s.trackings, s.notifications}) {
        py::object value = get(payload, key);
        if (PyList_Check(value.ptr())) return plain_list(value, self);
    }

    py::object categories = get(payload, s.categories);
    if (PyDict_Check(categories.ptr())) return values_of(categories);

    py::object deals = get(payload, s.deals);
    if (PyDict_Check(deals.ptr())) {
        for (py::handle inner : {s.dr, s.deals}) {
            py::object rows = list_under(deals, inner);
            if (!rows.is_none()) return plain_list(rows, self);
        }
        py::list one;
        append(one, deals);
        return one;
    }

    py::object best = get(payload, s.bestSellersList);
    if (PyDict_Check(best.ptr())) {
        py::object rows = list_under(best, s.asinList);
        if (!rows.is_none()) return plain_list(rows, self);
        py::list one;
        append(one, best);
        return one;
    }

    py::object total = get(payload, s.totalResults);
    if (!total.is_none()) {
        py::dict summary;
        set(summary, s.totalResults, total);
        py::list one;
        append(one, summary);
        return one;
    }
    return py::list();
}

inline py::list rows_from_response_value(py::handle key_arg, py::handle value) {
    py::str key = pysem::exact_str(key_arg, "key");
    const char *self = "_rows_from_response_value";
    if (PyList_Check(value.ptr())) return plain_list(value, self);
    if (!PyDict_Check(value.ptr())) return py::list();
    State &s = state();
    if (equals(key, s.deals)) {
        for (py::handle inner : {s.dr, s.deals}) {
            py::object rows = list_under(value, inner);
            if (!rows.is_none()) return plain_list(rows, self);
        }
    } else if (equals(key, s.bestSellersList)) {
        py::object rows = list_under(value, s.asinList);
        if (!rows.is_none()) return plain_list(rows, self);
    }
    return values_of(value);
}

// The answer keys that export rows may come from, in the order they are tried.
inline std::array<py::handle, 10> row_source_keys() {
    State &s = state();
    return {s.products, s.sellers, s.categories, s.deals, s.bestSellersList,
            s.asinList, s.sellerIdList, s.lightningDeals, s.trackings, s.notifications};
}

inline py::tuple primary_row_items(py::handle payload_arg) {
    py::dict payload = pysem::exact_dict(payload_arg, "payload");
    for (py::handle key : row_source_keys()) {
        py::list items = rows_from_response_value(key, get(payload, key));
        if (PyList_GET_SIZE(items.ptr()) > 0) return py::make_tuple(key, items);
    }
    return py::make_tuple(py::none(), py::list());
}

inline py::str scalar_item_field(py::handle row_source_key) {
    pysem::optional_exact_str(row_source_key, "row_source_key");
    State &s = state();
    if (row_source_key.is_none()) return s.value;
    if (equals(row_source_key, s.sellerIdList)) return s.sellerId;
    if (equals(row_source_key, s.asinList) || equals(row_source_key, s.bestSellersList)) return s.asin;
    return s.value;
}

inline py::list raw_response_to_export_rows(py::handle payload_arg) {
    py::dict payload = pysem::exact_dict(payload_arg, "payload");
    py::tuple found = primary_row_items(payload);
    py::object source = found[0];
    py::list items = found[1];

    py::list rows;
    if (PyList_GET_SIZE(items.ptr()) == 0) {
        append(rows, pysem::steal(PyDict_Copy(payload.ptr())));
        return rows;
    }

    State &s = state();
    // Comparing a key may run code that changes the answer: hold the entry
    // and refuse a changed answer, as iterating it in Python would.
    py::dict base;
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(payload.ptr());
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(payload.ptr(), &pos, &k, &v)) {
        py::object key = py::reinterpret_borrow<py::object>(k), value = py::reinterpret_borrow<py::object>(v);
        bool skipped = equals(key, source) || equals(key, s.searchInsights);
        if (PyDict_GET_SIZE(payload.ptr()) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw py::error_already_set();
        }
        if (!skipped) set(base, key, value);
    }
    bool tag = PyUnicode_Check(source.ptr()) && PyUnicode_GET_LENGTH(source.ptr()) > 0;
    py::str scalar_field = scalar_item_field(source);
    // The items list may be the answer's own; take each item afresh by index.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(items.ptr(), i));
        py::object row = pysem::steal(PyDict_Copy(base.ptr()));
        if (tag) set(row, s.rowSource, source);
        if (PyDict_Check(item.ptr())) {
            if (PyDict_Update(row.ptr(), item.ptr()) < 0) throw py::error_already_set();
        } else {
            set(row, scalar_field, item);
        }
        append(rows, row);
    }
    return rows;
}

inline py::str search_insights_query_name(py::handle params_arg) {
    py::dict params = pysem::exact_dict(params_arg, "params");
    State &s = state();
    for (py::handle key : {s.queryName, s.query_name, s.name, s.keyword, s.term}) {
        py::object value = get(params, key);
        if (pysem::truthy(value)) return pysem::text_form(value);
    }
    return py::str("product-finder");
}

} // namespace brondic::rows
