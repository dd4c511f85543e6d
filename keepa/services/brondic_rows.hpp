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
    for (py::handle key : {PYSEM_LIT("tokensLeft"), PYSEM_LIT("refillIn"), PYSEM_LIT("refillRate"),
                           PYSEM_LIT("tokensConsumed"), PYSEM_LIT("tokenFlowReduction"), PYSEM_LIT("timestamp")}) {
        PyObject *found = PyDict_GetItemWithError(payload.ptr(), key.ptr());
        if (found) set(figures, key, found);
        else if (PyErr_Occurred()) pysem::throw_pending();
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
    const char *self = "extract_rows";

    py::object sellers = get(payload, PYSEM_LIT("sellers"));
    if (PyList_Check(sellers.ptr())) return plain_list(sellers, self);
    if (PyDict_Check(sellers.ptr())) return values_of(sellers);

    for (py::handle key : {PYSEM_LIT("products"), PYSEM_LIT("asinList"), PYSEM_LIT("sellerIdList"),
                           PYSEM_LIT("lightningDeals"), PYSEM_LIT("trackings"), PYSEM_LIT("notifications")}) {
        py::object value = get(payload, key);
        if (PyList_Check(value.ptr())) return plain_list(value, self);
    }

    py::object categories = get(payload, PYSEM_LIT("categories"));
    if (PyDict_Check(categories.ptr())) return values_of(categories);

    py::object deals = get(payload, PYSEM_LIT("deals"));
    if (PyDict_Check(deals.ptr())) {
        for (py::handle inner : {PYSEM_LIT("dr"), PYSEM_LIT("deals")}) {
            py::object rows = list_under(deals, inner);
            if (!rows.is_none()) return plain_list(rows, self);
        }
        py::list one;
        append(one, deals);
        return one;
    }

    py::object best = get(payload, PYSEM_LIT("bestSellersList"));
    if (PyDict_Check(best.ptr())) {
        py::object rows = list_under(best, PYSEM_LIT("asinList"));
        if (!rows.is_none()) return plain_list(rows, self);
        py::list one;
        append(one, best);
        return one;
    }

    py::object total = get(payload, PYSEM_LIT("totalResults"));
    if (!total.is_none()) {
        py::dict summary;
        set(summary, PYSEM_LIT("totalResults"), total);
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
    if (pysem::equal(key, PYSEM_LIT("deals"))) {
        for (py::handle inner : {PYSEM_LIT("dr"), PYSEM_LIT("deals")}) {
            py::object rows = list_under(value, inner);
            if (!rows.is_none()) return plain_list(rows, self);
        }
    } else if (pysem::equal(key, PYSEM_LIT("bestSellersList"))) {
        py::object rows = list_under(value, PYSEM_LIT("asinList"));
        if (!rows.is_none()) return plain_list(rows, self);
    }
    return values_of(value);
}

// The answer keys that export rows may come from, in the order they are tried.
inline std::array<py::handle, 10> row_source_keys() {
    return {PYSEM_LIT("products"),       PYSEM_LIT("sellers"),   PYSEM_LIT("categories"), PYSEM_LIT("deals"),
            PYSEM_LIT("bestSellersList"), PYSEM_LIT("asinList"),  PYSEM_LIT("sellerIdList"), PYSEM_LIT("lightningDeals"),
            PYSEM_LIT("trackings"),       PYSEM_LIT("notifications")};
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
    if (row_source_key.is_none()) return PYSEM_LIT("value");
    if (pysem::equal(row_source_key, PYSEM_LIT("sellerIdList"))) return PYSEM_LIT("sellerId");
    if (pysem::equal(row_source_key, PYSEM_LIT("asinList")) || pysem::equal(row_source_key, PYSEM_LIT("bestSellersList")))
        return PYSEM_LIT("asin");
    return PYSEM_LIT("value");
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

    // Comparing a key may run code that changes the answer: hold the entry
    // and refuse a changed answer, as iterating it in Python would (its
    // size before each entry, and no more entries than at the start).
    py::dict base;
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(payload.ptr()), left = size;
    PyObject *k = nullptr, *v = nullptr;
    while (PyDict_Next(payload.ptr(), &pos, &k, &v)) {
        if (left-- == 0) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            pysem::throw_pending();
        }
        py::object key = py::reinterpret_borrow<py::object>(k), value = py::reinterpret_borrow<py::object>(v);
        bool skipped = pysem::equal(key, source) || pysem::equal(key, PYSEM_LIT("searchInsights"));
        if (PyDict_GET_SIZE(payload.ptr()) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            pysem::throw_pending();
        }
        if (!skipped) set(base, key, value);
    }
    bool tag = PyUnicode_Check(source.ptr()) && PyUnicode_GET_LENGTH(source.ptr()) > 0;
    py::str scalar_field = scalar_item_field(source);
    // The items list may be the answer's own; take each item afresh by index.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(items.ptr(), i));
        py::object row = pysem::steal(PyDict_Copy(base.ptr()));
        if (tag) set(row, PYSEM_LIT("rowSource"), source);
        if (PyDict_Check(item.ptr())) {
            if (PyDict_Update(row.ptr(), item.ptr()) < 0) pysem::throw_pending();
        } else {
            set(row, scalar_field, item);
        }
        append(rows, row);
    }
    return rows;
}

inline py::str search_insights_query_name(py::handle params_arg) {
    py::dict params = pysem::exact_dict(params_arg, "params");
    for (py::handle key :
         {PYSEM_LIT("queryName"), PYSEM_LIT("query_name"), PYSEM_LIT("name"), PYSEM_LIT("keyword"), PYSEM_LIT("term")}) {
        py::object value = get(params, key);
        if (pysem::truthy(value)) return pysem::text_form(value);
    }
    return PYSEM_LIT("product-finder");
}

} // namespace brondic::rows
