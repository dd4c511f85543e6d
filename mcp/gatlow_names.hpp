// Interned texts of the middleware: scope and message keys, their values and
// the method names looked up per request. Made once, kept for the process.
#pragma once

#include "common/pysem.hpp"

#include <pybind11/gil_safe_call_once.h>

namespace gatlow {

struct names {
    // Scope keys and values
    PyObject *type, *http, *method, *OPTIONS, *path, *headers, *query_string, *empty;
    // What the road writes into the scope
    PyObject *mcp_api_key, *mcp_auth_mode, *mcp_user_id, *mcp_user_email, *mcp_allowed_tools,
        *mcp_permission_enabled;
    PyObject *internal, *remote, *fixed;
    // The identity record and the verification answer
    PyObject *api_key, *auth_mode, *user_id, *email, *allowed_tools, *permission_enabled, *valid;
    // ASGI messages
    PyObject *http_request, *http_response_start, *http_response_body, *status, *body, *more_body;
    // Attributes and methods
    PyObject *set, *reset, *mcp_request_ctx, *get, *status_code, *json, *time, *monotonic, *lower;
    PyObject *is_protected_path, *extract_token, *internal_identity, *verify_remote, *get_client, *send_401,
        *send_503;
    // The instance attributes that the constructor sets
    PyObject *app, *_api_key, *_auth_verify_url, *_protected_path_prefixes, *_trust_upstream_corvane_identity,
        *_verify_cache, *_client;
    // Path prefixes of the road, the context module and the qualnames of what the road makes
    PyObject *messages_prefix, *keepa_prefix, *context_module;
    PyObject *qual_verify_remote, *qual_send_401, *qual_send_503, *qual_tracking_send, *qual_tracing_receive;
};

namespace detail {
inline PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;
}
} // namespace detail

inline const names &keys() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<names> storage;
    return storage
        .call_once_and_store_result([] {
            using detail::intern;
            names n{};
            n.type = intern("type");
            n.http = intern("http");
            n.method = intern("method");
            n.OPTIONS = intern("OPTIONS");
            n.path = intern("path");
            n.headers = intern("headers");
            n.query_string = intern("query_string");
            n.empty = intern("");
            n.mcp_api_key = intern("mcp_api_key");
            n.mcp_auth_mode = intern("mcp_auth_mode");
            n.mcp_user_id = intern("mcp_user_id");
            n.mcp_user_email = intern("mcp_user_email");
            n.mcp_allowed_tools = intern("mcp_allowed_tools");
            n.mcp_permission_enabled = intern("mcp_permission_enabled");
            n.internal = intern("internal");
            n.remote = intern("remote");
            n.fixed = intern("fixed");
            n.api_key = intern("api_key");
            n.auth_mode = intern("auth_mode");
            n.user_id = intern("user_id");
            n.email = intern("email");
            n.allowed_tools = intern("allowed_tools");
            n.permission_enabled = intern("permission_enabled");
            n.valid = intern("valid");
            n.http_request = intern("http.request");
            n.http_response_start = intern("http.response.start");
            n.http_response_body = intern("http.response.body");
            n.status = intern("status");
            n.body = intern("body");
            n.more_body = intern("more_body");
            n.set = intern("set");
            n.reset = intern("reset");
            n.mcp_request_ctx = intern("mcp_request_ctx");
            n.get = intern("get");
            n.status_code = intern("status_code");
            n.json = intern("json");
            n.time = intern("time");
            n.monotonic = intern("monotonic");
            n.lower = intern("lower");
            n.is_protected_path = intern("_is_protected_path");
            n.extract_token = intern("_extract_token");
            n.internal_identity = intern("_internal_identity");
            n.verify_remote = intern("_verify_remote");
            n.get_client = intern("_get_client");
            n.send_401 = intern("_send_401");
            n.send_503 = intern("_send_503");
            n.app = intern("app");
            n._api_key = intern("_api_key");
            n._auth_verify_url = intern("_auth_verify_url");
            n._protected_path_prefixes = intern("_protected_path_prefixes");
            n._trust_upstream_corvane_identity = intern("_trust_upstream_corvane_identity");
            n._verify_cache = intern("_verify_cache");
            n._client = intern("_client");
            n.messages_prefix = intern("/messages/");
            n.keepa_prefix = intern("/api/v1/keepa");
            n.context_module = intern("pelorin.mcp.context");
            n.qual_verify_remote = intern("ApiKeyGatlow._verify_remote");
            n.qual_send_401 = intern("ApiKeyGatlow._send_401");
            n.qual_send_503 = intern("ApiKeyGatlow._send_503");
            n.qual_tracking_send = intern("ApiKeyGatlow.__call__.<locals>.tracking_send");
            n.qual_tracing_receive = intern("ApiKeyGatlow.__call__.<locals>.tracing_receive");
            return n;
        })
        .get_stored();
}

// `value == text` for an interned text: identity first, then text equality,
// then the value's own comparison (as Python's == would).
inline bool equals(py::handle value, PyObject *text) {
    if (value.ptr() == text) return true;
    if (PyUnicode_CheckExact(value.ptr())) return PyUnicode_Compare(value.ptr(), text) == 0;
    int r = PyObject_RichCompareBool(value.ptr(), text, Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// mapping.get(key), None when missing.
inline py::object get(py::handle mapping, PyObject *key) { return pysem::get(mapping, py::handle(key)); }

// mapping[key]
inline py::object item(py::handle mapping, PyObject *key) { return pysem::steal(PyObject_GetItem(mapping.ptr(), key)); }

inline void set_item(py::handle mapping, PyObject *key, py::handle value) {
    if (PyObject_SetItem(mapping.ptr(), key, value.ptr()) < 0) throw py::error_already_set();
}

inline py::object borrow(PyObject *o) { return py::reinterpret_borrow<py::object>(o); }

inline bool starts_with(py::handle text, PyObject *prefix) {
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), prefix, 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// obj.name
inline py::object attr(py::handle obj, PyObject *name) { return pysem::steal(PyObject_GetAttr(obj.ptr(), name)); }

inline void set_attr(py::handle obj, PyObject *name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

// obj.name(arg), without a bound-method object in between.
inline py::object call_method(py::handle obj, PyObject *name, py::handle arg) {
    return pysem::steal(PyObject_CallMethodOneArg(obj.ptr(), name, arg.ptr()));
}

} // namespace gatlow
