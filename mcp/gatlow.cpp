// The API-key middleware in front of the MCP server's HTTP application.
//
// For each protected HTTP request it identifies the caller by the gateway's
// trusted identity headers, by the remote key-verification endpoint (through a
// cache with a stale grace period) or by the fixed key, answers a refused
// request itself with JSON 401 or 503, and hands an accepted one to the
// application with the caller's identity in the scope and in the request
// identity context. Keepa requests leave a trace of their road.
//
// Host names and standard-library facilities are module attributes, looked up
// when used, so that they can be patched as a Python module's globals. The
// road's own methods are called through the instance when the instance or a
// subclass replaced them, and directly otherwise.
#include "common/aio.hpp"
#include "common/module.hpp"
#include "common/pysem.hpp"
#include "mcp/gatlow_names.hpp"
#include "mcp/gatlow_scope.hpp"
#include "mcp/gatlow_trace.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

using namespace py::literals;
using gatlow::attr;
using gatlow::borrow;
using gatlow::call_method;
using gatlow::equals;
using gatlow::get;
using gatlow::item;
using gatlow::keys;
using gatlow::set_attr;
using gatlow::set_item;
using gatlow::starts_with;

pysem::module_namespace ns;

constexpr const char *kModule = "pelorin.mcp.gatlow";

// ---------------------------------------------------------------------------
// Small Python idioms

template <class... A> py::object call(py::handle callable, const A &...args) {
    PyObject *argv[] = {nullptr, py::handle(args).ptr()...};
    return pysem::steal(PyObject_Vectorcall(callable.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr));
}

py::str format(const char *fmt, auto... args) { return pysem::steal_as<py::str>(PyUnicode_FromFormat(fmt, args...)); }

const char *flag(bool value) { return value ? "True" : "False"; }

py::object optional_text(py::handle value, const char *arg) {
    if (value.is_none() || PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    pysem::refuse(arg, "str or None", value);
}

// a == b for the fixed key. For two texts the time taken depends on the
// presented text's length only, never on where the two first differ.
bool same_key(py::handle presented, py::handle secret) {
    if (!PyUnicode_CheckExact(presented.ptr()) || !PyUnicode_CheckExact(secret.ptr())) {
        int r = PyObject_RichCompareBool(presented.ptr(), secret.ptr(), Py_EQ);
        if (r < 0) throw py::error_already_set();
        return r != 0;
    }
    pysem::text_view p(presented), s(secret);
    if (s.empty()) return p.empty();
    std::uint32_t diff = p.size() != s.size();
    for (Py_ssize_t i = 0; i < p.size(); ++i) diff |= p[i] ^ s[i < s.size() ? i : 0];
    return diff == 0;
}

// Every instance's road methods, as the class defined them; the road skips the
// Python call for a method that still is one of these.
struct Originals {
    PyObject *is_protected_path, *extract_token, *internal_identity, *verify_remote, *get_client, *send_401,
        *send_503;
};

py::gil_safe_call_once_and_store<Originals> &originals_storage() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Originals> storage;
    return storage;
}

const Originals &originals() { return originals_storage().get_stored(); }

// self.<name> when the instance or its class replaced the method, else null.
py::object replaced(py::handle self, PyObject *name, PyObject *original) {
    if (!pysem::replaced(self, name, original)) return py::object();
    return pysem::steal(PyObject_GetAttr(self.ptr(), name));
}

// ---------------------------------------------------------------------------
// The middleware's state lives in its instance attributes, read when used.

bool remote_mode(py::handle self) { return pysem::truthy(attr(self, keys()._auth_verify_url)); }

// ---------------------------------------------------------------------------
// Tracing

// Runs one output step of the trace writer: its ordinary errors are dropped,
// cancellation and interruption pass.
template <class Step> void lossy(Step &&step) {
    try {
        step();
    } catch (py::error_already_set &e) {
        if (!aio::is_ordinary(e)) throw;
    } catch (const std::exception &) {
    }
}

void trace_keepa(py::object message) {
    pysem::exact_str(message, "message");
    py::object now = ns["datetime"].attr("now")(ns["timezone"].attr("utc"));
    py::str stamp = now.attr("isoformat")("timespec"_a = "milliseconds");
    py::str line = format("%U pid=%ld [KEEPA-TRACE] %U\n", stamp.ptr(), static_cast<long>(::getpid()),
                          gatlow::one_line(message).ptr());
    lossy([&] {
        PyObject *out = PySys_GetObject("stdout"); // borrowed: write() may replace sys.stdout
        if (out && out != Py_None) {
            py::object stream = borrow(out);
            stream.attr("write")(line);
            stream.attr("flush")();
        }
    });
    lossy([&] { gatlow::append_line(ns["_KEEPA_TRACE_FILE"], line); });
}

void trace(py::handle message) { call(ns["_trace_keepa"], message); }

double monotonic() {
    py::object now = call(ns["time"].attr("monotonic"));
    double value = PyFloat_AsDouble(now.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return value;
}

long long elapsed_ms(double started_at) { return static_cast<long long>((monotonic() - started_at) * 1000.0); }

// The lines of one traced request. The path is escaped for the log as for the
// trace file: one event is one line in both.
struct Tracer {
    py::str path;
    py::str log_path;
    double started_at;

    Tracer(py::str p, double started) : path(p), log_path(gatlow::one_line(p)), started_at(started) {}

    void opening(py::handle scope, bool has_api_key, bool remote) {
        py::str header_names = gatlow::header_names(scope);
        py::str query_keys = gatlow::query_keys(scope);
        py::object method = get(scope, keys().method);
        py::str method_text = method.is_none() ? py::str("") : pysem::text_form(method);
        trace(format("request_start method=%U path=%U query_keys=%U headers=%U", method_text.ptr(), path.ptr(),
                     query_keys.ptr(), header_names.ptr()));
        const char *mode = remote ? "remote" : "fixed";
        ns["_logger"].attr("info")("[KEEPA-TRACE] auth_verify_start path=%s has_api_key=%s mode=%s", log_path,
                                   py::bool_(has_api_key), mode);
        trace(format("auth_verify_start path=%U has_api_key=%s mode=%s", path.ptr(), flag(has_api_key), mode));
    }

    void verify_error() {
        ns["_logger"].attr("warning")("[KEEPA-TRACE] auth_verify_error path=%s error_type=%s elapsed_ms=%s", log_path,
                                      "ApiKeyVerificationUnavailable", elapsed_ms(started_at));
        trace(format("auth_verify_error path=%U error_type=ApiKeyVerificationUnavailable elapsed_ms=%lld", path.ptr(),
                     elapsed_ms(started_at)));
    }

    void verify_done(bool valid) {
        ns["_logger"].attr("info")("[KEEPA-TRACE] auth_verify_done path=%s valid=%s elapsed_ms=%s", log_path,
                                   py::bool_(valid), elapsed_ms(started_at));
        trace(format("auth_verify_done path=%U valid=%s elapsed_ms=%lld", path.ptr(), flag(valid),
                     elapsed_ms(started_at)));
    }
};

// ---------------------------------------------------------------------------
// Error answers

struct Answer {
    int status;
    const char *header_name, *header_value; // the second fixed header
    const char *error, *message;
};

constexpr Answer kUnauthorized{401, "www-authenticate", "Bearer realm=\"pelorin-mcp\"", "Unauthorized",
                               "Invalid or missing API Key"};
constexpr Answer kUnavailable{503, "retry-after", "5", "Service Unavailable",
                              "API Key verification service temporarily unavailable"};

// The text as a JSON string's contents, ASCII only (as json.dumps writes it).
void append_json_escaped(std::string &out, py::handle text) {
    static constexpr char hex[] = "0123456789abcdef";
    auto unicode_escape = [&](unsigned unit) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += hex[(unit >> shift) & 0xF];
    };
    pysem::text_view t(text);
    for (Py_ssize_t i = 0; i < t.size(); ++i) {
        Py_UCS4 c = t[i];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                if (c > 0xFFFF) {
                    c -= 0x10000;
                    unicode_escape(0xD800 | (c >> 10));
                    unicode_escape(0xDC00 | (c & 0x3FF));
                } else {
                    unicode_escape(c);
                }
            } else {
                out += static_cast<char>(c);
            }
        }
    }
}

py::bytes answer_body(const Answer &a, py::handle reason) {
    std::string body = std::string("{\"error\":\"") + a.error + "\",\"message\":\"" + a.message + "\",\"reason\":\"";
    append_json_escaped(body, reason);
    body += "\"}";
    return py::bytes(body);
}

aio::task send_answer(py::object scope, py::object send, const Answer *a, py::object reason) {
    const auto &k = keys();
    py::bytes body = answer_body(*a, reason);
    py::list headers;
    headers.append(py::make_tuple(py::bytes("content-type"), py::bytes("application/json")));
    headers.append(py::make_tuple(py::bytes(a->header_name), py::bytes(a->header_value)));
    headers.attr("extend")(call(ns["cors_headers_for_scope"], scope));
    py::dict start;
    start[py::handle(k.type)] = borrow(k.http_response_start);
    start[py::handle(k.status)] = py::int_(a->status);
    start[py::handle(k.headers)] = headers;
    co_await aio::wait(call(send, start));
    py::dict message;
    message[py::handle(k.type)] = borrow(k.http_response_body);
    message[py::handle(k.body)] = body;
    co_await aio::wait(call(send, message));
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Remote verification

py::object get_client(py::handle self) {
    if (attr(self, keys()._client).is_none()) {
        py::module_ httpx = py::module_::import("httpx");
        py::object timeout = httpx.attr("Timeout")(ns["_VERIFY_READ_TIMEOUT_SECONDS"],
                                                   "connect"_a = ns["_VERIFY_CONNECT_TIMEOUT_SECONDS"]);
        py::object limits = httpx.attr("Limits")("max_connections"_a = ns["_VERIFY_MAX_CONNECTIONS"],
                                                 "max_keepalive_connections"_a = ns["_VERIFY_MAX_KEEPALIVE"],
                                                 "keepalive_expiry"_a = ns["_VERIFY_KEEPALIVE_EXPIRY_SECONDS"]);
        set_attr(self, keys()._client, httpx.attr("AsyncClient")("timeout"_a = timeout, "limits"_a = limits));
    }
    return attr(self, keys()._client);
}

py::object client_of(py::handle self) {
    if (py::object own = replaced(self, keys().get_client, originals().get_client)) return call(own);
    return get_client(self);
}

bool younger_than(py::handle now, py::handle verified_at, const char *limit) {
    py::object age = pysem::steal(PyNumber_Subtract(now.ptr(), verified_at.ptr()));
    int r = PyObject_RichCompareBool(age.ptr(), ns[limit].ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool is_status(py::handle status, long code) {
    py::int_ expected(code);
    int r = PyObject_RichCompareBool(status.ptr(), expected.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

void forget(py::handle cache, py::handle api_key) {
    if (PyDict_CheckExact(cache.ptr())) {
        if (PyDict_DelItem(cache.ptr(), api_key.ptr()) == 0) return;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
        PyErr_Clear();
        return;
    }
    cache.attr("pop")(api_key, py::none());
}

// What verification reads before it may ask the endpoint: its clock reading
// and the key's cache entry.
struct CacheRead {
    py::object now, verified_at, record;
    bool has_entry = false;
};

// Whether the text can be a header value as the HTTP client sends one: ASCII,
// no control character but tab, no blank at either end.
bool header_safe(py::handle text) {
    pysem::text_view t(text);
    for (Py_ssize_t i = 0; i < t.size(); ++i) {
        Py_UCS4 c = t[i];
        bool blank = c == ' ' || c == '\t';
        if (blank ? (i == 0 || i + 1 == t.size()) : (c < 0x21 || c > 0x7E)) return false;
    }
    return true;
}

// Steps that need no request: the verdict for a missing key or URL, or a
// fresh cache entry; nothing when the endpoint must be asked. A key that the
// verification request cannot carry in its header is rejected unasked: the
// endpoint cannot have issued it, and the client would fail to send it, which
// would pass for an outage of the endpoint (503) rather than a wrong key.
std::optional<py::object> settled_verdict(py::handle self, py::handle api_key, CacheRead &read) {
    if (!pysem::truthy(api_key) || !remote_mode(self) || !header_safe(api_key)) return py::none();
    read.now = call(ns["time"].attr("time"));
    py::object entry = pysem::get(attr(self, keys()._verify_cache), api_key);
    if (entry.is_none()) return std::nullopt;
    std::tie(read.verified_at, read.record) = pysem::unpack2(entry);
    read.has_entry = true;
    if (younger_than(read.now, read.verified_at, "_VERIFY_CACHE_TTL_SECONDS")) return read.record;
    return std::nullopt;
}

// The endpoint's verdict: the user record for an accepted key, None for a
// rejected one. A temporary failure falls back on a verdict younger than the
// grace period, else raises ApiKeyVerificationUnavailable.
aio::task ask_endpoint(py::object self, py::object api_key, CacheRead read) {
    const auto &k = keys();
    const py::object &now = read.now;
    py::object failure;
    try {
        py::object client = client_of(self);
        py::dict params;
        params[py::handle(k.api_key)] = api_key;
        py::dict headers;
        headers["X-MCP-API-Key"] = api_key;
        headers["X-Pelorin-Version"] = ns["__version__"];
        py::object response = co_await aio::wait(
            client.attr("get")(attr(self, k._auth_verify_url), "params"_a = params, "headers"_a = headers));
        py::object status = response.attr("status_code");
        if (is_status(status, 200)) {
            py::object answer = response.attr("json")();
            if (!pysem::truthy(pysem::get(answer, py::handle(k.valid)))) {
                forget(attr(self, k._verify_cache), api_key);
                co_return py::none();
            }
            set_item(attr(self, k._verify_cache), api_key.ptr(), py::make_tuple(now, answer));
            co_return answer;
        }
        if (is_status(status, 401) || is_status(status, 403)) {
            forget(attr(self, k._verify_cache), api_key);
            co_return py::none();
        }
        failure = format("HTTP %S", status.ptr());
    } catch (...) {
        aio::failure caught; // C++ errors too, as the exceptions pybind11 makes of them
        caught.capture();
        if (!caught.matches(PyExc_Exception)) caught.rethrow();
        py::object error = caught.value();
        py::object name = pysem::steal(PyType_GetName(Py_TYPE(error.ptr())));
        failure = format("%U: %R", name.ptr(), error.ptr());
    }

    if (read.has_entry && younger_than(now, read.verified_at, "_VERIFY_STALE_GRACE_SECONDS")) {
        ns["_logger"].attr("warning")("远程校验 API Key 临时失败(%s)，命中过期缓存宽限放行", failure);
        co_return read.record;
    }
    ns["_logger"].attr("warning")("远程校验 API Key 失败且无可用缓存宽限: %s", failure);
    aio::raise(ns["ApiKeyVerificationUnavailable"](failure));
}

aio::task verify_remote(py::object self, py::object api_key) {
    CacheRead read;
    if (auto verdict = settled_verdict(self, api_key, read)) co_return *verdict;
    co_return co_await ask_endpoint(std::move(self), std::move(api_key), std::move(read));
}

// ---------------------------------------------------------------------------
// The road's methods, each through the instance when replaced

bool is_protected_path(py::handle self, py::handle path) {
    pysem::exact_str(path, "path");
    py::object prefixes = attr(self, keys()._protected_path_prefixes);
    if (prefixes.is_none()) return true;
    for (py::handle prefix : prefixes) {
        Py_ssize_t r = PyUnicode_Tailmatch(path.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
    return false;
}

py::object internal_identity(py::handle self, py::handle scope) {
    if (!pysem::truthy(attr(self, keys()._trust_upstream_corvane_identity))) return py::none();
    return gatlow::gateway_identity(scope);
}

struct Road {
    py::object self;
    const Originals &own = originals();

    bool is_protected(py::handle path) {
        if (py::object m = replaced(self, keys().is_protected_path, own.is_protected_path))
            return pysem::truthy(call(m, path));
        return is_protected_path(self, path);
    }
    py::object token(py::handle scope) {
        if (py::object m = replaced(self, keys().extract_token, own.extract_token)) return call(m, scope);
        return gatlow::extract_token(scope);
    }
    py::object identity(py::handle scope) {
        if (py::object m = replaced(self, keys().internal_identity, own.internal_identity)) return call(m, scope);
        return internal_identity(self, scope);
    }
    // _verify_remote(token) when replaced, else null.
    py::object verification(py::handle token) {
        if (py::object m = replaced(self, keys().verify_remote, own.verify_remote)) return call(m, token);
        return py::object();
    }
    // The awaitable of _send_401 / _send_503 (scope, send, reason=...).
    py::object refusal(py::handle scope, py::handle send, bool unavailable) {
        PyObject *name = unavailable ? keys().send_503 : keys().send_401;
        const char *reason = unavailable ? "auth_service_unavailable" : "invalid_api_key";
        if (py::object m = replaced(self, name, unavailable ? own.send_503 : own.send_401))
            return m(scope, send, "reason"_a = reason);
        return aio::coroutine(send_answer(py::reinterpret_borrow<py::object>(scope),
                                          py::reinterpret_borrow<py::object>(send),
                                          unavailable ? &kUnavailable : &kUnauthorized, py::str(reason)),
                              unavailable ? keys().qual_send_503 : keys().qual_send_401);
    }
};

// ---------------------------------------------------------------------------
// The channels an accepted request's application gets

struct Exchange {
    py::object receive, send;
    py::str path;
    bool trace;
    bool response_started = false;
    bool response_complete = false;
};

aio::task tracking_send(std::shared_ptr<Exchange> ex, py::object message) {
    const auto &k = keys();
    py::object type = item(message, k.type);
    if (equals(type, k.http_response_start))
        ex->response_started = true;
    else if (equals(type, k.http_response_body) && !pysem::truthy(get(message, k.more_body)))
        ex->response_complete = true;
    co_await aio::wait(call(ex->send, message));
    co_return py::none();
}

aio::task tracing_receive(std::shared_ptr<Exchange> ex) {
    const auto &k = keys();
    py::object message = co_await aio::wait(call(ex->receive));
    if (ex->trace && equals(get(message, k.type), k.http_request)) {
        py::object body = get(message, k.body);
        Py_ssize_t size = 0;
        if (!body.is_none() && (size = PyObject_Size(body.ptr())) < 0) throw py::error_already_set();
        trace(format("request_body_chunk bytes=%zd more_body=%s", size,
                     flag(pysem::truthy(get(message, k.more_body)))));
    }
    co_return message;
}

// `from pelorin.mcp.context import mcp_request_ctx`, at every accepted request.
py::object context_var() {
    const auto &k = keys();
    PyObject *found = PyImport_GetModule(k.context_module);
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    py::object context = found ? pysem::steal(found) : py::none();
    if (context.is_none()) context = pysem::steal(PyImport_Import(k.context_module)); // "None in sys.modules" too
    PyObject *var = PyObject_GetAttr(context.ptr(), k.mcp_request_ctx);
    if (var) return pysem::steal(var);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    throw py::import_error("cannot import name 'mcp_request_ctx' from 'pelorin.mcp.context'");
}

// True for an application error that ends the request quietly: the client
// went away, or the server refused a message of the wrong kind.
bool dropped(aio::failure &failure, py::handle path) {
    if (failure.matches(ns["_CLIENT_DISCONNECT_ERRORS"])) {
        ns["_logger"].attr("debug")("客户端断开连接: %s", path);
        return true;
    }
    if (!failure.matches(PyExc_RuntimeError)) return false;
    PyObject *text = PyObject_Str(failure.value().ptr());
    if (!text) {
        PyErr_Clear();
        return false;
    }
    py::object owned = pysem::steal(text);
    py::str needle("Expected ASGI message");
    Py_ssize_t at = PyUnicode_Find(text, needle.ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) throw py::error_already_set();
    return at >= 0;
}

aio::task pass_through(py::object app, py::object scope, py::object receive, py::object send) {
    co_await aio::wait(call(app, scope, receive, send));
    co_return py::none();
}

aio::task road(py::object self, py::object scope, py::object receive, py::object send) {
    const auto &k = keys();
    Road r{self};
    if (!equals(item(scope, k.type), k.http) || equals(get(scope, k.method), k.OPTIONS))
        co_return co_await pass_through(attr(self, k.app), scope, receive, send);
    py::object path_value = get(scope, k.path);
    if (path_value.is_none()) path_value = borrow(k.empty);
    if (!PyUnicode_Check(path_value.ptr()))
        throw py::type_error(std::string("scope 'path' must be str, not ") + pysem::type_name(path_value));
    py::str path = path_value;

    if (starts_with(path, k.messages_prefix)) {
        try {
            co_await aio::wait(call(attr(self, k.app), scope, receive, send));
        } catch (py::error_already_set &e) {
            if (!e.matches(ns["_CLIENT_DISCONNECT_ERRORS"])) throw;
            ns["_logger"].attr("debug")("客户端在 POST /messages/ 时断开连接，已忽略");
        }
        co_return py::none();
    }
    if (!r.is_protected(path)) co_return co_await pass_through(attr(self, k.app), scope, receive, send);

    // Authentication
    py::object token = r.token(scope);
    const bool traced = starts_with(path, k.keepa_prefix);
    std::unique_ptr<Tracer> tracer;
    if (traced) {
        tracer = std::make_unique<Tracer>(path, monotonic());
        tracer->opening(scope, pysem::truthy(token), remote_mode(self));
    }

    py::object identity = r.identity(scope);
    if (!identity.is_none()) {
        token = py::none();
        set_item(scope, k.mcp_auth_mode, borrow(k.internal));
        set_item(scope, k.mcp_user_id, get(identity, k.user_id));
        set_item(scope, k.mcp_user_email, get(identity, k.email));
        set_item(scope, k.mcp_allowed_tools, py::none());
        set_item(scope, k.mcp_permission_enabled, py::bool_(false));
    } else if (remote_mode(self)) {
        py::object user_info;
        bool unavailable = false;
        try {
            CacheRead read;
            if (py::object replacement = r.verification(token))
                user_info = co_await aio::wait(std::move(replacement));
            else if (auto verdict = settled_verdict(self, optional_text(token, "api_key"), read))
                user_info = std::move(*verdict);
            else
                user_info = co_await ask_endpoint(self, token, std::move(read));
        } catch (py::error_already_set &e) {
            if (!e.matches(ns["ApiKeyVerificationUnavailable"])) throw;
            unavailable = true;
        }
        if (unavailable) {
            if (tracer) tracer->verify_error();
            co_await aio::wait(r.refusal(scope, send, true));
            co_return py::none();
        }
        bool valid = pysem::truthy(user_info);
        if (tracer) tracer->verify_done(valid);
        if (!valid) {
            co_await aio::wait(r.refusal(scope, send, false));
            co_return py::none();
        }
        set_item(scope, k.mcp_api_key, token);
        set_item(scope, k.mcp_auth_mode, borrow(k.remote));
        set_item(scope, k.mcp_user_id, get(user_info, k.user_id));
        set_item(scope, k.mcp_user_email, get(user_info, k.email));
        set_item(scope, k.mcp_allowed_tools, get(user_info, k.allowed_tools));
        set_item(scope, k.mcp_permission_enabled, get(user_info, k.permission_enabled));
    } else if (py::object key = attr(self, k._api_key);
               pysem::truthy(key) && !token.is_none() && same_key(token, key)) {
        set_item(scope, k.mcp_api_key, token);
        set_item(scope, k.mcp_auth_mode, borrow(k.fixed));
    } else {
        co_await aio::wait(r.refusal(scope, send, false));
        co_return py::none();
    }

    // Acceptance and dispatch
    py::object ctx = context_var();
    py::dict record;
    record[py::handle(k.api_key)] = token;
    record[py::handle(k.auth_mode)] = get(scope, k.mcp_auth_mode);
    record[py::handle(k.user_id)] = get(scope, k.mcp_user_id);
    record[py::handle(k.email)] = get(scope, k.mcp_user_email);
    record[py::handle(k.allowed_tools)] = get(scope, k.mcp_allowed_tools);
    record[py::handle(k.permission_enabled)] = get(scope, k.mcp_permission_enabled);

    auto ex = std::make_shared<Exchange>(Exchange{receive, send, path, traced});
    py::object app_send = aio::callable(k.qual_tracking_send, [ex](py::object message) {
        return tracking_send(ex, std::move(message));
    });
    py::object app_receive = aio::callable(k.qual_tracing_receive, [ex]() { return tracing_receive(ex); });
    py::object ctx_token = call_method(ctx, k.set, record);

    aio::failure failure;
    try {
        if (traced) trace(format("app_dispatch_start path=%U", path.ptr()));
        co_await aio::wait(call(attr(self, k.app), scope, app_receive, app_send));
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        bool drop = false;
        try {
            aio::handling h(failure);
            drop = dropped(failure, path);
        } catch (...) {
            failure.capture(); // raised while handling it: takes its place, as in an except block
        }
        if (drop) failure.clear();
    }

    // The closing steps. Whatever the closing trace raises, the context is
    // reset and the answer finished before it leaves.
    aio::failure closing;
    if (traced) {
        try {
            aio::handling h(failure);
            trace(format("app_dispatch_done path=%U response_started=%s response_complete=%s", path.ptr(),
                         flag(ex->response_started), flag(ex->response_complete)));
        } catch (...) {
            closing.capture();
        }
    }
    call_method(ctx, k.reset, ctx_token);
    if (ex->response_started && !ex->response_complete) {
        py::dict last;
        last[py::handle(k.type)] = borrow(k.http_response_body);
        last[py::handle(k.body)] = py::bytes("");
        last[py::handle(k.more_body)] = py::bool_(false);
        try {
            co_await aio::wait(call(send, last), failure);
        } catch (...) {
            // The client may be gone; the application's outcome stands.
        }
    }
    closing.rethrow();
    failure.rethrow();
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Construction

py::object check_prefixes(py::handle value) {
    if (value.is_none()) return py::none();
    if (!PyTuple_CheckExact(value.ptr())) pysem::refuse("protected_path_prefixes", "tuple or None", value);
    for (py::handle prefix : py::reinterpret_borrow<py::tuple>(value))
        if (!PyUnicode_CheckExact(prefix.ptr()))
            throw py::type_error(std::string("argument 'protected_path_prefixes' must hold str, not ") +
                                 pysem::type_name(prefix));
    return py::reinterpret_borrow<py::object>(value);
}

// ApiKeyGatlow.__init__(self, app, *, api_key=None, auth_verify_url=None,
// protected_path_prefixes=None, trust_upstream_corvane_identity=False).
// pybind11 takes every function named __init__ for a constructor of its own
// classes, so this one is a plain C function made a method.
void gatlow_init(py::handle self, py::handle app, py::handle api_key, py::handle auth_verify_url,
                 py::handle protected_path_prefixes, py::handle trust_upstream_corvane_identity) {
    const auto &k = keys();
    py::object key = optional_text(api_key, "api_key");
    py::object url = optional_text(auth_verify_url, "auth_verify_url");
    py::object prefixes = check_prefixes(protected_path_prefixes);
    set_attr(self, k.app, app);
    set_attr(self, k._api_key, key);
    set_attr(self, k._auth_verify_url, url);
    set_attr(self, k._protected_path_prefixes, prefixes);
    set_attr(self, k._trust_upstream_corvane_identity, py::bool_(pysem::truthy(trust_upstream_corvane_identity)));
    set_attr(self, k._verify_cache, py::dict());
    set_attr(self, k._client, py::none());
    py::object logger = ns["_logger"];
    if (pysem::truthy(url))
        logger.attr("info")("MCP Server 运行在远程校验模式，校验地址: %s", url);
    else if (pysem::truthy(key))
        logger.attr("info")("MCP Server 运行在固定 API Key 模式");
    else
        logger.attr("warning")("MCP Server 未配置任何 API Key 鉴权！");
}

PyObject *gatlow_init_entry(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"",
                                     "app",
                                     "api_key",
                                     "auth_verify_url",
                                     "protected_path_prefixes",
                                     "trust_upstream_corvane_identity",
                                     nullptr};
    PyObject *self = nullptr, *app = nullptr, *api_key = Py_None, *url = Py_None, *prefixes = Py_None,
             *trust = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOO:__init__", const_cast<char **>(keywords), &self, &app,
                                     &api_key, &url, &prefixes, &trust))
        return nullptr;
    if (!pysem::run_c_api([&] { gatlow_init(self, app, api_key, url, prefixes, trust); })) return nullptr;
    Py_RETURN_NONE;
}

// The doc holds only the signature: __doc__ stays None, inspect reads it.
PyMethodDef gatlow_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gatlow_init_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "__init__($self, /, app, *, api_key=None, auth_verify_url=None, protected_path_prefixes=None, "
    "trust_upstream_corvane_identity=False)\n--\n\n"};

// ---------------------------------------------------------------------------
// The deprecated fixed-key provider

// FixedApiKeyAuthProvider.__init__(self, api_key)
PyObject *provider_init_entry(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "api_key", nullptr};
    PyObject *self = nullptr, *api_key = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char **>(keywords), &self, &api_key))
        return nullptr;
    if (!pysem::run_c_api([&] { set_attr(self, keys()._api_key, pysem::exact_str(api_key, "api_key")); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef provider_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(provider_init_entry)),
    METH_VARARGS | METH_KEYWORDS, "__init__($self, /, api_key)\n--\n\n"};

// The token record of an accepted key: token, client_id and scopes.
py::gil_safe_call_once_and_store<py::object> &access_token_storage() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage;
}

py::object make_access_token_type() {
    py::object str_type = borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    py::object list_of_str = pysem::steal(
        Py_GenericAlias(reinterpret_cast<PyObject *>(&PyList_Type), str_type.ptr()));
    py::list fields;
    fields.append(py::make_tuple("token", str_type));
    fields.append(py::make_tuple("client_id", str_type));
    fields.append(py::make_tuple("scopes", list_of_str));
    py::object type = py::module_::import("dataclasses").attr("make_dataclass")("AccessToken", fields);
    type.attr("__module__") = kModule;
    return type;
}

aio::task verify_token(py::object self, py::object token) {
    if (!same_key(token, attr(self, keys()._api_key))) co_return py::none();
    py::list scopes;
    scopes.append("pelorin:mcp");
    co_return access_token_storage().get_stored()(token, "default", scopes);
}

const char *kGatlowDoc = R"doc(MCP Server 的 API Key 鉴权中间件（ASGI）。

参数:
    app: 被保护的 ASGI 应用。
    api_key: 单用户模式的固定 API Key，仅为向后兼容保留。
    auth_verify_url: 多用户模式下运营平台的 API Key 校验地址，例如
        https://tovan.example.com/v1/mcp/verify-key。
    protected_path_prefixes: 只对以这些前缀开头的路径鉴权；为 None 时所有路径都需要鉴权。
    trust_upstream_corvane_identity: 信任 Corvane 网关注入的身份头
        （x-corvane-user-email / x-corvane-user-id）来识别调用者。
        仅用于网络入口受控、只有网关能设置这些头的内部服务。

远程校验规则:
    - 60 秒内校验通过的 Key 直接放行，不再请求校验服务；
    - 校验服务临时失败（超时、连接错误、5xx 等）时，300 秒内校验通过过的 Key
      仍然放行并记录警告，避免有效 Key 大面积变成 401；
    - 校验服务明确拒绝（200 且 valid 为假，或 401/403）立即清除缓存且不给宽限，
      被吊销的 Key 立刻失效。)doc";

const char *kGetClientDoc = R"doc(返回共享的 HTTP 客户端，首次使用时创建。

中间件与进程同寿命。曾经每次校验都新建 TCP/TLS 连接，耗尽了临时端口、
TIME_WAIT 连接堆积，直到整个校验链路卡死只能重启服务；因此所有校验共用
一个带连接池和 keep-alive 的客户端，且从不关闭。)doc";

const char *kProviderDoc = R"doc(已弃用：单一固定 API Key 的令牌校验器，仅为兼容旧的导入而保留。

所有 MCP Server 用户共用这一个 Key；它只保护服务端事件流的连接层，
不区分用户身份。业务授权交给后端，后端收到的是调用者自己的凭证。)doc";

} // namespace

PELORIN_MODULE(gatlow, m) {
    m.doc() = "MCP Server 的 API Key 鉴权中间件：网关身份、远程校验（缓存与过期宽限）、固定 Key、"
              "JSON 401/503 应答与 Keepa 请求追踪。";
    ns.bind(m);

    m.attr("logging") = py::module_::import("logging");
    m.attr("time") = py::module_::import("time");
    py::module_ datetime = py::module_::import("datetime");
    m.attr("datetime") = datetime.attr("datetime");
    m.attr("timezone") = datetime.attr("timezone");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    m.attr("cors_headers_for_scope") = pysem::import_from("pelorin.api.cors", "cors_headers_for_scope");
    m.attr("__version__") = pysem::import_from("pelorin.config", "__version__");
    for (const char *name : {"ASGIApp", "Scope", "Receive", "Send"})
        m.attr(name) = pysem::import_from("starlette.types", name);

    m.attr("_logger") = m.attr("logging").attr("getLogger")("pelorin.mcp");
    py::object cwd = m.attr("Path").attr("cwd")();
    m.attr("_KEEPA_TRACE_FILE") = pysem::steal(PyNumber_TrueDivide(
        pysem::steal(PyNumber_TrueDivide(cwd.ptr(), py::str(".tmp").ptr())).ptr(), py::str("keepa-trace.log").ptr()));
    m.def("_trace_keepa", &trace_keepa, py::arg("message"), "写一行 Keepa 追踪：标准输出一行，追踪文件追加一行。");
    try {
        py::object disconnect = pysem::import_from("starlette.requests", "ClientDisconnect");
        m.attr("_StarletteClientDisconnect") = disconnect;
        m.attr("_CLIENT_DISCONNECT_ERRORS") = py::make_tuple(disconnect);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("_CLIENT_DISCONNECT_ERRORS") = py::tuple();
    }
    m.attr("_VERIFY_CACHE_TTL_SECONDS") = 60;
    m.attr("_VERIFY_STALE_GRACE_SECONDS") = 300;
    m.attr("_VERIFY_CONNECT_TIMEOUT_SECONDS") = 3.0;
    m.attr("_VERIFY_READ_TIMEOUT_SECONDS") = 5.0;
    m.attr("_VERIFY_MAX_CONNECTIONS") = 20;
    m.attr("_VERIFY_MAX_KEEPALIVE") = 10;
    m.attr("_VERIFY_KEEPALIVE_EXPIRY_SECONDS") = 30.0;

    m.attr("ApiKeyVerificationUnavailable") = pysem::steal(PyErr_NewExceptionWithDoc(
        "pelorin.mcp.gatlow.ApiKeyVerificationUnavailable", "远程 API Key 校验服务暂时不可用。", PyExc_RuntimeError,
        nullptr));

    // ApiKeyGatlow: a plain class; its members in the order of its body.
    py::object gatlow = pysem::make_class(m, "ApiKeyGatlow", kGatlowDoc);
    gatlow.attr("__init__") = pysem::c_method(&gatlow_init_def, m.attr("__name__"));
    gatlow.attr("_header") = py::staticmethod(py::cpp_function(
        [](py::object scope, py::object name) {
            pysem::exact_bytes(name, "name");
            return gatlow::header_text(scope, std::string_view(PyBytes_AS_STRING(name.ptr()),
                                                               static_cast<std::size_t>(PyBytes_GET_SIZE(name.ptr()))));
        },
        py::name("_header"), py::arg("scope"), py::arg("name")));
    pysem::def_method(
        gatlow, "_is_protected_path", [](py::object self, py::object path) { return is_protected_path(self, path); },
        py::arg("path"));
    pysem::def_method(
        gatlow, "_internal_identity", [](py::object self, py::object scope) { return internal_identity(self, scope); },
        py::arg("scope"));
    pysem::def_method(
        gatlow, "_extract_token", [](py::object, py::object scope) { return gatlow::extract_token(scope); },
        py::arg("scope"));
    aio::def_method(
        gatlow, "__call__",
        [](py::object self, py::object scope, py::object receive, py::object send) {
            return road(std::move(self), std::move(scope), std::move(receive), std::move(send));
        },
        py::arg("scope"), py::arg("receive"), py::arg("send"));
    pysem::def_method(gatlow, "_get_client", [](py::object self) { return get_client(self); }, py::doc(kGetClientDoc));
    aio::def_method(
        gatlow, "_verify_remote",
        [](py::object self, py::object api_key) {
            return verify_remote(std::move(self), optional_text(api_key, "api_key"));
        },
        py::arg("api_key"));
    aio::def_method(
        gatlow, "_send_401",
        [](py::object, py::object scope, py::object send, py::object reason) {
            pysem::exact_str(reason, "reason");
            return send_answer(std::move(scope), std::move(send), &kUnauthorized, std::move(reason));
        },
        py::arg("scope"), py::arg("send"), py::arg("reason") = "invalid_api_key");
    aio::def_method(
        gatlow, "_send_503",
        [](py::object, py::object scope, py::object send, py::object reason) {
            pysem::exact_str(reason, "reason");
            return send_answer(std::move(scope), std::move(send), &kUnavailable, std::move(reason));
        },
        py::arg("scope"), py::arg("send"), py::arg("reason"));
    m.attr("ApiKeyGatlow") = gatlow;

    py::object methods = gatlow.attr("__dict__");
    originals_storage().call_once_and_store_result([&] {
        auto own = [&](const char *name) { return py::object(methods[name]).release().ptr(); };
        return Originals{own("_is_protected_path"), own("_extract_token"), own("_internal_identity"),
                         own("_verify_remote"),     own("_get_client"),    own("_send_401"),
                         own("_send_503")};
    });

    access_token_storage().call_once_and_store_result(make_access_token_type);
    py::object provider = pysem::make_class(m, "FixedApiKeyAuthProvider", kProviderDoc);
    provider.attr("__init__") = pysem::c_method(&provider_init_def, m.attr("__name__"));
    aio::def_method(
        provider, "verify_token",
        [](py::object self, py::object token) {
            return verify_token(std::move(self), pysem::exact_str(token, "token"));
        },
        py::arg("token"));
    m.attr("FixedApiKeyAuthProvider") = provider;
}
