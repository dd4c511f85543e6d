// Reading a caller's credentials out of an ASGI scope: header lookup, the
// presented token (query parameter or bearer header), the query's parameter
// names, and the gateway's identity headers.
//
// Request bytes decode one way: UTF-8 with every invalid sequence replaced, so
// that no request can make decoding fail. The query string is parsed as form
// data exactly as urllib.parse.parse_qsl does on its decoded text (blank values
// dropped, "+" as space, percent escapes decoded per ASCII run as UTF-8 with
// replacement), without a round trip through Python per request.
#pragma once

#include "common/pysem.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace gatlow {

// ---------------------------------------------------------------------------
// Bytes and headers

inline py::str decode_utf8(const char *data, Py_ssize_t size) {
    return pysem::steal_as<py::str>(PyUnicode_DecodeUTF8(data, size, "replace"));
}

inline bool ascii_lower_equals(const char *data, Py_ssize_t size, std::string_view lower) {
    if (static_cast<std::size_t>(size) != lower.size()) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        if (c != static_cast<unsigned char>(lower[i])) return false;
    }
    return true;
}

inline void require_bytes(py::handle value, const char *what) {
    if (!PyBytes_Check(value.ptr()))
        throw py::type_error(std::string(what) + " must be bytes, not " + pysem::type_name(value));
}

using pysem::unpack2;

// Calls visit(name, value) for the scope's header pairs in order, until it
// returns true. A scope without "headers" has none.
template <class Visit> void for_each_header(py::handle scope, Visit &&visit) {
    py::object headers = pysem::get(scope, PYSEM_LIT("headers"));
    if (headers.is_none()) return;
    if (PyList_CheckExact(headers.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers.ptr()); ++i) {
            py::object pair = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(headers.ptr(), i));
            auto [name, value] = unpack2(pair);
            require_bytes(name, "header name");
            if (visit(name, value)) return;
        }
        return;
    }
    py::object iterator = pysem::steal(PyObject_GetIter(headers.ptr()));
    while (PyObject *next = PyIter_Next(iterator.ptr())) {
        py::object pair = pysem::steal(next);
        auto [name, value] = unpack2(pair);
        require_bytes(name, "header name");
        if (visit(name, value)) return;
    }
    if (PyErr_Occurred()) pysem::throw_pending();
}

inline bool header_is(py::handle name, std::string_view lower) {
    return ascii_lower_equals(PyBytes_AS_STRING(name.ptr()), PyBytes_GET_SIZE(name.ptr()), lower);
}

// The first header of that (lower-case) name, decoded and trimmed; None when
// it is missing or blank. A later header of the same name is never read.
inline py::object header_text(py::handle scope, std::string_view lower) {
    py::object found = py::none();
    for_each_header(scope, [&](py::handle name, py::handle value) {
        if (!header_is(name, lower)) return false;
        require_bytes(value, "header value");
        py::str text = pysem::strip(decode_utf8(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr())));
        if (PyUnicode_GET_LENGTH(text.ptr()) != 0) found = std::move(text);
        return true;
    });
    return found;
}

// The token of a bearer value ("bearer " in any letter case, then the token,
// trimmed), or null when the value is of another scheme. The prefix is ASCII,
// so it can be tested on the raw bytes: no other byte decodes to it.
inline py::object bearer_token(py::handle value) {
    require_bytes(value, "header value");
    const char *data = PyBytes_AS_STRING(value.ptr());
    Py_ssize_t size = PyBytes_GET_SIZE(value.ptr());
    constexpr std::string_view prefix = "bearer ";
    constexpr auto n = static_cast<Py_ssize_t>(prefix.size());
    if (size < n || !ascii_lower_equals(data, n, prefix)) return py::object();
    return pysem::strip(decode_utf8(data + n, size - n));
}

// ---------------------------------------------------------------------------
// Form-encoded query text

inline int hex_value(Py_UCS4 c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// text[begin:end] with "+" as a space and percent escapes decoded.
inline py::str form_unquote(py::handle text, Py_ssize_t begin, Py_ssize_t end) {
    pysem::text_view t(text);
    bool plain = true;
    for (Py_ssize_t i = begin; i < end && plain; ++i) plain = t[i] != '%' && t[i] != '+';
    if (plain) return pysem::substr(text, begin, end);

    std::vector<Py_UCS4> out;
    out.reserve(static_cast<std::size_t>(end - begin));
    std::string run; // one ASCII run, escapes decoded to their bytes
    bool run_ascii = true;
    auto flush = [&] {
        if (run_ascii) {
            out.insert(out.end(), run.begin(), run.end());
        } else {
            py::str decoded = decode_utf8(run.data(), static_cast<Py_ssize_t>(run.size()));
            pysem::text_view d(decoded);
            for (Py_ssize_t k = 0; k < d.size(); ++k) out.push_back(d[k]);
        }
        run.clear();
        run_ascii = true;
    };
    for (Py_ssize_t i = begin; i < end; ++i) {
        Py_UCS4 c = t[i];
        if (c >= 0x80) {
            flush();
            out.push_back(c);
        } else if (c == '+') {
            run.push_back(' ');
        } else if (c == '%' && i + 2 < end && hex_value(t[i + 1]) >= 0 && hex_value(t[i + 2]) >= 0) {
            auto byte = static_cast<unsigned char>(hex_value(t[i + 1]) * 16 + hex_value(t[i + 2]));
            run.push_back(static_cast<char>(byte));
            run_ascii = run_ascii && byte < 0x80;
            i += 2;
        } else {
            run.push_back(static_cast<char>(c));
        }
    }
    flush();
    return pysem::steal_as<py::str>(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                             static_cast<Py_ssize_t>(out.size())));
}

struct query_pair {
    Py_ssize_t name_begin, name_end, value_begin, value_end;
};

// Calls visit(pair) for each "&"-separated part that has an "=" and a
// non-empty value, in query order, until it returns true.
template <class Visit> void for_each_query_pair(py::handle text, Visit &&visit) {
    pysem::text_view t(text);
    Py_ssize_t start = 0, size = t.size();
    while (start <= size) {
        Py_ssize_t stop = start, equals = -1;
        for (; stop < size && t[stop] != '&'; ++stop)
            if (equals < 0 && t[stop] == '=') equals = stop;
        if (equals >= 0 && equals + 1 < stop && visit(query_pair{start, equals, equals + 1, stop})) return;
        start = stop + 1;
    }
}

// The decoded query string of the scope, or null when it is empty.
inline py::object query_text(py::handle scope) {
    py::object raw = pysem::get(scope, PYSEM_LIT("query_string"));
    if (raw.is_none()) return py::object();
    require_bytes(raw, "query_string");
    if (PyBytes_GET_SIZE(raw.ptr()) == 0) return py::object();
    return decode_utf8(PyBytes_AS_STRING(raw.ptr()), PyBytes_GET_SIZE(raw.ptr()));
}

// The first non-empty "api_key" query value, unchanged (not trimmed), or null.
inline py::object query_api_key(py::handle text) {
    py::object found;
    for_each_query_pair(text, [&](const query_pair &p) {
        py::str name = form_unquote(text, p.name_begin, p.name_end);
        if (PyUnicode_CompareWithASCIIString(name.ptr(), "api_key") != 0) return false;
        found = form_unquote(text, p.value_begin, p.value_end);
        return true;
    });
    return found;
}

// The distinct parameter names of the query, sorted by code point and joined
// with ","; empty when there are none.
inline py::str query_keys(py::handle scope) {
    py::object text = query_text(scope);
    if (!text) return PYSEM_LIT("");
    py::set names;
    for_each_query_pair(text, [&](const query_pair &p) {
        names.add(form_unquote(text, p.name_begin, p.name_end));
        return false;
    });
    py::list sorted = pysem::steal_as<py::list>(PySequence_List(names.ptr()));
    if (PyList_Sort(sorted.ptr()) < 0) pysem::throw_pending();
    return pysem::join(",", sorted);
}

// The header names of the scope, in order and with duplicates, decoded as
// Latin-1 and joined with ",".
inline py::str header_names(py::handle scope) {
    py::list names;
    for_each_header(scope, [&](py::handle name, py::handle) {
        names.append(pysem::steal(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(name.ptr()), PyBytes_GET_SIZE(name.ptr()),
                                                         nullptr)));
        return false;
    });
    return pysem::join(",", names);
}

// ---------------------------------------------------------------------------
// The presented token and the gateway identity

// The query's "api_key" wins over any header; a bearer "authorization" header
// wins over any "x-mcp-proxy-auth" header, wherever they stand.
inline py::object extract_token(py::handle scope) {
    if (py::object text = query_text(scope))
        if (py::object token = query_api_key(text)) return token;
    py::object proxy_token;
    py::object token;
    for_each_header(scope, [&](py::handle name, py::handle value) {
        if (header_is(name, "authorization")) {
            token = bearer_token(value);
            return bool(token);
        }
        if (!proxy_token && header_is(name, "x-mcp-proxy-auth")) proxy_token = bearer_token(value);
        return false;
    });
    if (token) return token;
    if (proxy_token) return proxy_token;
    return py::none();
}

// {"email": ..., "user_id": ...} from the gateway's headers, or None when the
// request carries no (non-blank) first e-mail header.
inline py::object gateway_identity(py::handle scope) {
    py::object email = header_text(scope, "x-corvane-user-email");
    if (email.is_none()) return py::none();
    py::object user_id = header_text(scope, "x-corvane-user-id");
    py::object lower = pysem::steal(PyObject_CallMethodNoArgs(pysem::strip(email).ptr(), PYSEM_LIT("lower").ptr()));
    return pysem::make_dict({{PYSEM_LIT("email"), lower}, {PYSEM_LIT("user_id"), user_id}});
}

} // namespace gatlow
