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
// subclass replaced them, and directly otherwise (pysem::via, aio::via).
#include "common/aio.hpp"
#include "common/module.hpp"
#include "mcp/gatlow_scope.hpp"
#include "mcp/gatlow_trace.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

pysem::module_namespace ns;

// ---------------------------------------------------------------------------
// Small Python idioms of this module

// Calls that can run user code go through pysem, whose errors reach the
// caller as raised (an exception whose class is not the one raised included).
using pysem::call;
using pysem::call_method;

void set_attr(py::handle obj, const py::str &name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) pysem::throw_pending();
}

// _logger.<level>(message, *args)
template <class... A> void log_at(const py::str &level, const py::str &message, const A &...args) {
    call_method(ns["_logger"], level, message, args...);
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
    if (!PyUnicode_CheckExact(presented.ptr()) || !PyUnicode_CheckExact(secret.ptr()))
        return pysem::equal(presented, secret);
    pysem::text_view p(presented), s(secret);
    if (s.empty()) return p.empty();
    std::uint32_t diff = p.size() != s.size();
    for (Py_ssize_t i = 0; i < p.size(); ++i) diff |= p[i] ^ s[i < s.size() ? i : 0];
    return diff == 0;
}

// ---------------------------------------------------------------------------
// The middleware's state lives in its instance attributes, read when used,
// and the steps of its road are methods that a subclass or a patch may replace.

bool is_protected_path(py::handle self, py::object path);
py::object extract_token(py::handle, py::object scope);
py::object internal_identity(py::handle self, py::object scope);
aio::task verify_remote(py::handle self, py::object api_key);

// The attributes the road reads at every protected request.
enum Attr { app_attr, url_attr, cache_attr, prefixes_attr, trust_attr, key_attr, attr_count };

const py::str &attr_name(int a) {
    switch (a) {
    case app_attr: return PYSEM_LIT("app");
    case url_attr: return PYSEM_LIT("_auth_verify_url");
    case cache_attr: return PYSEM_LIT("_verify_cache");
    case prefixes_attr: return PYSEM_LIT("_protected_path_prefixes");
    case trust_attr: return PYSEM_LIT("_trust_upstream_corvane_identity");
    default: return PYSEM_LIT("_api_key");
    }
}

// The steps of the road that a subclass or a patch may replace.
enum RoadStep { protected_step, extract_step, identity_step, verify_step, step_count };

template <auto Fn> constexpr RoadStep step_of = step_count;
template <> constexpr RoadStep step_of<&is_protected_path> = protected_step;
template <> constexpr RoadStep step_of<&extract_token> = extract_step;
template <> constexpr RoadStep step_of<&internal_identity> = identity_step;
template <> constexpr RoadStep step_of<&verify_remote> = verify_step;

// What the road last read of an instance: its attributes (borrowed from its
// dict, null when absent there) and which steps are the class's own. Reading
// them costs as much as the rest of authentication, so the reading is kept
// while the instance lives and neither its class nor its dict has changed:
// the interpreter gives a class and a dict a new version tag at every change,
// so reading again would give the same.
struct Seen {
    py::object instance; // a weak reference; empty when nothing is kept
    PyTypeObject *type = nullptr; // only compared, as the class of a live instance
    unsigned int type_version = 0;
    PyObject *dict = nullptr;
    std::uint64_t dict_version = 0;
    std::array<PyObject *, attr_count> attrs{};
    std::array<bool, step_count> own{};
    // A class whose instances are read every time (its own attribute hook,
    // one of the attributes defined on it, no weak references), as of its version.
    PyTypeObject *unkept_type = nullptr;
    unsigned int unkept_version = 0;
};

Seen &seen() {
    static Seen *kept = new Seen(); // for the life of the process
    return *kept;
}

bool still_seen(const Seen &s, PyObject *self) {
    if (!s.instance || PyWeakref_GET_OBJECT(s.instance.ptr()) != self) return false;
    PyTypeObject *type = Py_TYPE(self);
    if (type != s.type || capi::type_version(type) != s.type_version) return false;
    PyObject **dict = capi::instance_dict_ptr(self);
    return dict && *dict == s.dict && capi::dict_version(*dict) == s.dict_version;
}

// Reads the instance again; false when the reading cannot be kept.
bool look_again(Seen &s, py::handle self) {
    s.instance = py::object();
    PyObject *o = self.ptr();
    PyTypeObject *type = Py_TYPE(o);
    if (type == s.unkept_type && capi::type_version(type) == s.unkept_version && s.unkept_version) return false;
    // Held while read: user code run by the lookups below may assign the
    // instance's __class__, and the class it had may then go.
    py::object held_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(type));
    bool keepable = type->tp_getattro == PyObject_GenericGetAttr && PyType_SUPPORTS_WEAKREFS(type);
    for (int a = 0; keepable && a < attr_count; ++a) keepable = !capi::type_lookup(type, attr_name(a).ptr());
    unsigned int version = capi::type_version(type); // after the lookups, which give the class one
    if (!keepable || !version) {
        s.unkept_type = type;
        s.unkept_version = version;
        return false;
    }
    PyObject **slot = capi::instance_dict_ptr(o);
    if (!slot || !*slot) return false;
    // The lookups below may run user code (the __eq__ of a key in the dict)
    // that changes the instance or its class: the reading is kept only when
    // the class, its contents, the dict and its contents are the same after
    // the last read as before the first. The dict is held meanwhile, in case
    // it is replaced.
    py::object dict = py::reinterpret_borrow<py::object>(*slot);
    std::uint64_t dict_version = capi::dict_version(dict.ptr());
    std::array<bool, step_count> own{pysem::is_direct<&is_protected_path>(self), pysem::is_direct<&extract_token>(self),
                                     pysem::is_direct<&internal_identity>(self), pysem::is_direct<&verify_remote>(self)};
    std::array<PyObject *, attr_count> attrs{};
    for (int a = 0; a < attr_count; ++a) {
        attrs[a] = PyDict_GetItemWithError(dict.ptr(), attr_name(a).ptr());
        if (!attrs[a] && PyErr_Occurred()) pysem::throw_pending();
    }
    if (Py_TYPE(o) != type || capi::type_version(type) != version) return false; // changed while read
    slot = capi::instance_dict_ptr(o);
    if (!slot || *slot != dict.ptr() || capi::dict_version(dict.ptr()) != dict_version) return false;
    s.instance = pysem::steal(PyWeakref_NewRef(o, nullptr));
    s.type = type;
    s.type_version = version;
    s.dict = dict.ptr();
    s.dict_version = dict_version;
    s.attrs = attrs;
    s.own = own;
    return true;
}

// The kept reading of `self`, or null when it must be read every time.
const Seen *view(py::handle self) {
    Seen &s = seen();
    if (still_seen(s, self.ptr()) || look_again(s, self)) return &s;
    return nullptr;
}

// self.<attribute>
py::object attribute(py::handle self, Attr a) {
    if (const Seen *s = view(self); s && s->attrs[a]) return py::reinterpret_borrow<py::object>(s->attrs[a]);
    return pysem::getattr(self, attr_name(a));
}

// Whether self.<step> is the class's own (pysem::is_direct).
template <auto Fn> bool own_step(py::handle self) {
    static_assert(step_of<Fn> != step_count, "not a step of the road");
    if (const Seen *s = view(self)) return s->own[step_of<Fn>];
    return pysem::is_direct<Fn>(self);
}

// self.<step>(...): the step's C++ code while it is the class's own.
template <auto Fn, class... Args> py::object call_step(py::handle self, const Args &...args) {
    if (own_step<Fn>(self)) return pysem::direct<Fn>(self, args...);
    return pysem::through<Fn>(self, args...);
}

bool remote_mode(py::handle self) { return pysem::truthy(attribute(self, url_attr)); }

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
        // Ordinary too: the one error path raises every other C++ exception
        // as an Exception (MemoryError, TypeError, RuntimeError, ...).
    }
}

// _trace_keepa(message)
void trace_keepa(py::object message) {
    pysem::exact_str(message, "message");
    // datetime.now(timezone.utc), read in that order
    py::object now_of = pysem::getattr(ns["datetime"], PYSEM_LIT("now"));
    py::object utc = pysem::getattr(ns["timezone"], PYSEM_LIT("utc"));
    py::object now = call(now_of, utc);
    py::object stamp =
        call_method(now, PYSEM_LIT("isoformat"), pysem::keyword{"timespec", PYSEM_LIT("milliseconds")});
    // As an f-string writes it: whatever a patched clock gives becomes a text.
    py::object stamp_text = pysem::steal(PyObject_Format(stamp.ptr(), PYSEM_LIT("").ptr()));
    py::str line = format("%U pid=%ld [KEEPA-TRACE] %U\n", stamp_text.ptr(), static_cast<long>(::getpid()),
                          gatlow::one_line(message).ptr());
    lossy([&] {
        PyObject *out = PySys_GetObject("stdout"); // borrowed: write() may replace sys.stdout
        if (out && out != Py_None) {
            py::object stream = py::reinterpret_borrow<py::object>(out);
            call_method(stream, PYSEM_LIT("write"), line);
            call_method(stream, PYSEM_LIT("flush"));
        }
    });
    lossy([&] { gatlow::append_line(ns["_KEEPA_TRACE_FILE"], line); });
}

void trace(py::handle message) { call(ns["_trace_keepa"], message); }

double monotonic() {
    py::object now = pysem::call_method(ns[PYSEM_LIT("time")], PYSEM_LIT("monotonic"));
    double value = PyFloat_AsDouble(now.ptr());
    if (value == -1.0 && PyErr_Occurred()) pysem::throw_pending();
    return value;
}

// int((time.monotonic() - started_at) * 1000): a clock that reads NaN or an
// infinity fails as int() fails, and a reading far off gives its whole figure.
py::object elapsed_ms(double started_at) {
    return pysem::steal(PyLong_FromDouble((monotonic() - started_at) * 1000.0));
}

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
        py::object method = pysem::get(scope, PYSEM_LIT("method"));
        py::str method_text = method.is_none() ? PYSEM_LIT("") : pysem::text_form(method);
        trace(format("request_start method=%U path=%U query_keys=%U headers=%U", method_text.ptr(), path.ptr(),
                     query_keys.ptr(), header_names.ptr()));
        const py::str &mode = remote ? PYSEM_LIT("remote") : PYSEM_LIT("fixed");
        log_at(PYSEM_LIT("info"), PYSEM_LIT("[KEEPA-TRACE] auth_verify_start path=%s has_api_key=%s mode=%s"), log_path,
               py::bool_(has_api_key), mode);
        trace(format("auth_verify_start path=%U has_api_key=%s mode=%U", path.ptr(), flag(has_api_key), mode.ptr()));
    }

    void verify_error() {
        log_at(PYSEM_LIT("warning"), PYSEM_LIT("[KEEPA-TRACE] auth_verify_error path=%s error_type=%s elapsed_ms=%s"),
               log_path, PYSEM_LIT("ApiKeyVerificationUnavailable"), elapsed_ms(started_at));
        trace(format("auth_verify_error path=%U error_type=ApiKeyVerificationUnavailable elapsed_ms=%S", path.ptr(),
                     elapsed_ms(started_at).ptr()));
    }

    void verify_done(bool valid) {
        log_at(PYSEM_LIT("info"), PYSEM_LIT("[KEEPA-TRACE] auth_verify_done path=%s valid=%s elapsed_ms=%s"), log_path,
               py::bool_(valid), elapsed_ms(started_at));
        trace(format("auth_verify_done path=%U valid=%s elapsed_ms=%S", path.ptr(), flag(valid),
                     elapsed_ms(started_at).ptr()));
    }
};

// ---------------------------------------------------------------------------
// Error answers

// A fixed answer; its texts are literals, so a coroutine may take it by value.
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

aio::task send_answer(py::object scope, py::object send, Answer a, py::object reason) {
    py::bytes body = answer_body(a, reason);
    py::list headers;
    headers.append(py::make_tuple(py::bytes("content-type"), py::bytes("application/json")));
    headers.append(py::make_tuple(py::bytes(a.header_name), py::bytes(a.header_value)));
    call_method(headers, PYSEM_LIT("extend"), call(ns["cors_headers_for_scope"], scope));
    py::dict start = pysem::make_dict({{PYSEM_LIT("type"), PYSEM_LIT("http.response.start")},
                                       {PYSEM_LIT("status"), py::int_(a.status)},
                                       {PYSEM_LIT("headers"), headers}});
    co_await aio::wait(call(send, start));
    py::dict message =
        pysem::make_dict({{PYSEM_LIT("type"), PYSEM_LIT("http.response.body")}, {PYSEM_LIT("body"), body}});
    co_await aio::wait(call(send, message));
    co_return py::none();
}

// ApiKeyGatlow._send_401(scope, send, reason="invalid_api_key")
aio::task send_401(py::handle, py::object scope, py::object send, py::object reason) {
    pysem::exact_str(reason, "reason");
    return send_answer(std::move(scope), std::move(send), kUnauthorized, std::move(reason));
}

// ApiKeyGatlow._send_503(scope, send, reason)
aio::task send_503(py::handle, py::object scope, py::object send, py::object reason) {
    pysem::exact_str(reason, "reason");
    return send_answer(std::move(scope), std::move(send), kUnavailable, std::move(reason));
}

// ---------------------------------------------------------------------------
// Remote verification

// ApiKeyGatlow._get_client()
py::object get_client(py::handle self) {
    if (pysem::getattr(self, PYSEM_LIT("_client")).is_none()) {
        // Each call's callee, then its arguments, as the Python calls read.
        py::object httpx = pysem::steal(PyImport_Import(PYSEM_LIT("httpx").ptr()));
        py::object timeout_type = pysem::getattr(httpx, PYSEM_LIT("Timeout"));
        py::object read_timeout = ns["_VERIFY_READ_TIMEOUT_SECONDS"];
        py::object connect_timeout = ns["_VERIFY_CONNECT_TIMEOUT_SECONDS"];
        py::object timeout = call(timeout_type, read_timeout, pysem::keyword{"connect", connect_timeout});
        py::object limits_type = pysem::getattr(httpx, PYSEM_LIT("Limits"));
        py::object max_connections = ns["_VERIFY_MAX_CONNECTIONS"];
        py::object max_keepalive = ns["_VERIFY_MAX_KEEPALIVE"];
        py::object keepalive_expiry = ns["_VERIFY_KEEPALIVE_EXPIRY_SECONDS"];
        py::object limits = call(limits_type, pysem::keyword{"max_connections", max_connections},
                                 pysem::keyword{"max_keepalive_connections", max_keepalive},
                                 pysem::keyword{"keepalive_expiry", keepalive_expiry});
        py::object client = call_method(httpx, PYSEM_LIT("AsyncClient"), pysem::keyword{"timeout", timeout},
                                        pysem::keyword{"limits", limits});
        set_attr(self, PYSEM_LIT("_client"), client);
    }
    return pysem::getattr(self, PYSEM_LIT("_client"));
}

// `now - verified_at < limit`. Clock readings are floats and the limits
// floats or integers a double holds exactly: then doubles give the
// interpreter's own answer without making the age.
bool younger_than(py::handle now, py::handle verified_at, py::handle limit) {
    if (PyFloat_CheckExact(now.ptr()) && PyFloat_CheckExact(verified_at.ptr())) {
        double age = PyFloat_AS_DOUBLE(now.ptr()) - PyFloat_AS_DOUBLE(verified_at.ptr());
        if (PyFloat_CheckExact(limit.ptr())) return age < PyFloat_AS_DOUBLE(limit.ptr());
        if (PyLong_CheckExact(limit.ptr())) {
            constexpr long long exact = 1LL << 53;
            int overflow = 0;
            long long whole = PyLong_AsLongLongAndOverflow(limit.ptr(), &overflow);
            if (!overflow && whole >= -exact && whole <= exact) return age < static_cast<double>(whole);
        }
    }
    py::object age = pysem::steal(PyNumber_Subtract(now.ptr(), verified_at.ptr()));
    return pysem::less(age, limit);
}

// time.time(), through the time module that this module's namespace holds.
py::object wall_clock() {
    static pysem::kept_item module_item, function_item;
    py::object time_module = ns(module_item, PYSEM_LIT("time"));
    if (PyModule_CheckExact(time_module.ptr()))
        if (PyObject *found = function_item.get(PyModule_GetDict(time_module.ptr()), PYSEM_LIT("time").ptr())) {
            py::object clock = py::reinterpret_borrow<py::object>(found);
            return pysem::steal(PyObject_CallNoArgs(clock.ptr()));
        }
    return pysem::call_method(time_module, PYSEM_LIT("time"));
}

bool is_status(py::handle status, long code) { return pysem::equal(status, py::int_(code)); }

void forget(py::handle cache, py::handle api_key) {
    if (PyDict_CheckExact(cache.ptr())) {
        if (PyDict_DelItem(cache.ptr(), api_key.ptr()) == 0) return;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) pysem::throw_pending();
        PyErr_Clear();
        return;
    }
    call_method(cache, PYSEM_LIT("pop"), api_key, py::none());
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
    // A text stored wider than a byte holds a code point above U+00FF.
    if (PyUnicode_KIND(text.ptr()) != PyUnicode_1BYTE_KIND) return false;
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(text.ptr());
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        bool blank = c[i] == ' ' || c[i] == '\t';
        if (blank ? (i == 0 || i + 1 == n) : (c[i] < 0x21 || c[i] > 0x7E)) return false;
    }
    return true;
}

// Steps that need no request: the verdict for a missing key or URL, or a
// fresh cache entry; nothing when the endpoint must be asked. A key that the
// verification request cannot carry in its header is rejected unasked: the
// endpoint cannot have issued it, and the client would fail to send it, which
// would pass for an outage of the endpoint (503) rather than a wrong key.
// `has_url`: what remote_mode(self) gives (the road has just read it).
std::optional<py::object> settled_verdict(py::handle self, py::handle api_key, bool has_url, CacheRead &read) {
    if (!pysem::truthy(api_key) || !has_url || !header_safe(api_key)) return py::none();
    read.now = wall_clock();
    py::object entry = pysem::get(attribute(self, cache_attr), api_key);
    if (entry.is_none()) return std::nullopt;
    std::tie(read.verified_at, read.record) = pysem::unpack2(entry);
    read.has_entry = true;
    static pysem::kept_item ttl_item;
    if (younger_than(read.now, read.verified_at, ns(ttl_item, PYSEM_LIT("_VERIFY_CACHE_TTL_SECONDS"))))
        return read.record;
    return std::nullopt;
}

// The endpoint's verdict: the user record for an accepted key, None for a
// rejected one. A temporary failure falls back on a verdict younger than the
// grace period, else raises ApiKeyVerificationUnavailable.
aio::task ask_endpoint(py::object self, py::object api_key, CacheRead read) {
    const py::object &now = read.now;
    py::object failure;
    try {
        py::object client = pysem::via<&get_client>(self);
        // client.get(self._auth_verify_url, params={...}, headers={...}), read in that order
        py::object get = pysem::getattr(client, PYSEM_LIT("get"));
        py::object url = attribute(self, url_attr);
        py::dict params = pysem::make_dict({{PYSEM_LIT("api_key"), api_key}});
        py::dict headers = pysem::make_dict(
            {{PYSEM_LIT("X-MCP-API-Key"), api_key}, {PYSEM_LIT("X-Pelorin-Version"), ns["__version__"]}});
        py::object asked = call(get, url, pysem::keyword{"params", params}, pysem::keyword{"headers", headers});
        py::object response = co_await aio::wait(std::move(asked));
        py::object status = pysem::getattr(response, PYSEM_LIT("status_code"));
        if (is_status(status, 200)) {
            py::object answer = call_method(response, PYSEM_LIT("json"));
            if (!pysem::truthy(pysem::get(answer, PYSEM_LIT("valid")))) {
                forget(attribute(self, cache_attr), api_key);
                co_return py::none();
            }
            pysem::set_item(attribute(self, cache_attr), api_key, py::make_tuple(now, answer));
            co_return answer;
        }
        if (is_status(status, 401) || is_status(status, 403)) {
            forget(attribute(self, cache_attr), api_key);
            co_return py::none();
        }
        failure = format("HTTP %S", status.ptr());
    } catch (...) {
        py::object error = pysem::handled_exception(); // C++ errors too, as the exceptions pybind11 makes of them
        if (!PyErr_GivenExceptionMatches(error.ptr(), PyExc_Exception)) throw;
        py::object name = pysem::steal(PyType_GetName(Py_TYPE(error.ptr())));
        failure = format("%U: %R", name.ptr(), error.ptr());
    }

    if (read.has_entry && younger_than(now, read.verified_at, ns[PYSEM_LIT("_VERIFY_STALE_GRACE_SECONDS")])) {
        log_at(PYSEM_LIT("warning"), PYSEM_LIT("远程校验 API Key 临时失败(%s)，命中过期缓存宽限放行"), failure);
        co_return read.record;
    }
    log_at(PYSEM_LIT("warning"), PYSEM_LIT("远程校验 API Key 失败且无可用缓存宽限: %s"), failure);
    aio::raise(call(ns["ApiKeyVerificationUnavailable"], failure));
}

aio::task verify_body(py::object self, py::object api_key) {
    CacheRead read;
    bool has_url = pysem::truthy(api_key) && remote_mode(self); // the URL is read only for a key
    if (auto verdict = settled_verdict(self, api_key, has_url, read)) co_return *verdict;
    co_return co_await ask_endpoint(std::move(self), std::move(api_key), std::move(read));
}

// ApiKeyGatlow._verify_remote(api_key)
aio::task verify_remote(py::handle self, py::object api_key) {
    return verify_body(py::reinterpret_borrow<py::object>(self), optional_text(api_key, "api_key"));
}

// ---------------------------------------------------------------------------
// Reading the request

// ApiKeyGatlow._header(scope, name), a static method
py::object header(py::object scope, py::object name) {
    pysem::exact_bytes(name, "name");
    return gatlow::header_text(
        scope, std::string_view(PyBytes_AS_STRING(name.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(name.ptr()))));
}

// ApiKeyGatlow._is_protected_path(path): a str subclass is read as its text,
// as str.startswith reads it.
bool is_protected_path(py::handle self, py::object path) {
    if (!PyUnicode_Check(path.ptr())) pysem::refuse("path", "str", path);
    py::object prefixes = attribute(self, prefixes_attr);
    if (prefixes.is_none()) return true;
    if (PyTuple_CheckExact(prefixes.ptr())) { // held, and no Python code runs meanwhile
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(prefixes.ptr()); ++i)
            if (pysem::starts_with(path, PyTuple_GET_ITEM(prefixes.ptr(), i))) return true;
        return false;
    }
    py::object iterator = pysem::steal(PyObject_GetIter(prefixes.ptr()));
    while (PyObject *item = PyIter_Next(iterator.ptr()))
        if (pysem::starts_with(path, pysem::steal(item))) return true;
    if (PyErr_Occurred()) pysem::throw_pending();
    return false;
}

// ApiKeyGatlow._internal_identity(scope)
py::object internal_identity(py::handle self, py::object scope) {
    if (!pysem::truthy(attribute(self, trust_attr))) return py::none();
    return gatlow::gateway_identity(scope);
}

// ApiKeyGatlow._extract_token(scope)
py::object extract_token(py::handle, py::object scope) { return gatlow::extract_token(scope); }

// ---------------------------------------------------------------------------
// The channels an accepted request's application gets

// tracking_send(message): notes the start and the end of the answer, then
// awaits the server's send with the message unchanged; gives None.
struct TrackingSend final : aio::relay_base {
    py::object send;
    bool response_started = false;
    bool response_complete = false;

    explicit TrackingSend(py::object s) : relay_base(1), send(std::move(s)) {}
    bool half_sent() const { return response_started && !response_complete; }

    py::object start(py::handle message) override {
        py::object type = pysem::item(message, PYSEM_LIT("type"));
        if (pysem::equal(type, PYSEM_LIT("http.response.start")))
            response_started = true;
        else if (pysem::equal(type, PYSEM_LIT("http.response.body")) &&
                 !pysem::truthy(pysem::get(message, PYSEM_LIT("more_body"))))
            response_complete = true;
        return call(send, message);
    }
    py::object finish(py::handle, py::object) override { return py::none(); }
    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(send.ptr());
        return 0;
    }
};

// tracing_receive(): awaits the server's receive; a traced request's body
// parts leave a trace line. Gives the message unchanged.
struct TracingReceive final : aio::relay_base {
    py::object receive;
    bool traced;

    TracingReceive(py::object r, bool t) : relay_base(0), receive(std::move(r)), traced(t) {}

    py::object start(py::handle) override { return call(receive); }
    py::object finish(py::handle, py::object message) override {
        if (traced && pysem::equal(pysem::get(message, PYSEM_LIT("type")), PYSEM_LIT("http.request"))) {
            py::object body = pysem::get(message, PYSEM_LIT("body"));
            Py_ssize_t size = 0;
            if (!body.is_none() && (size = PyObject_Size(body.ptr())) < 0) pysem::throw_pending();
            trace(format("request_body_chunk bytes=%zd more_body=%s", size,
                         flag(pysem::truthy(pysem::get(message, PYSEM_LIT("more_body"))))));
        }
        return message;
    }
    int traverse(visitproc visit, void *arg) override {
        Py_VISIT(receive.ptr());
        return 0;
    }
};

// The pair of channel wrappers of one accepted request.
struct Channels {
    py::object receive, send;
    const TrackingSend &tracking() const { return aio::relay_of<TrackingSend>(send); }
};

// ---------------------------------------------------------------------------
// The request road, ApiKeyGatlow.__call__, in its phases: requests that pass
// without authentication, token extraction, authentication, identity and
// context, dispatch, closing.

// The scope keys that the identity record repeats, in the record's order.
enum RecordKey { auth_mode, user_id, user_email, allowed_tools, permission_enabled, record_keys };

const py::str &scope_key(RecordKey key) {
    switch (key) {
    case auth_mode: return PYSEM_LIT("mcp_auth_mode");
    case user_id: return PYSEM_LIT("mcp_user_id");
    case user_email: return PYSEM_LIT("mcp_user_email");
    case allowed_tools: return PYSEM_LIT("mcp_allowed_tools");
    default: return PYSEM_LIT("mcp_permission_enabled");
    }
}

// The per-request values of one protected request, for the whole call.
struct Request {
    py::object self, scope, receive, send;
    py::str path;
    py::object token;
    bool traced = false;
    std::unique_ptr<Tracer> tracer;
    // What authentication wrote under the record's keys (null: not written).
    std::array<py::object, record_keys> written;

    // scope[key] = value, remembered for the identity record.
    void write(RecordKey key, py::object value) {
        pysem::set_item(scope, scope_key(key), value);
        written[key] = std::move(value);
    }

    Request(py::object self_, py::object scope_, py::object receive_, py::object send_, py::str path_)
        : self(std::move(self_)), scope(std::move(scope_)), receive(std::move(receive_)), send(std::move(send_)),
          path(std::move(path_)) {}
};

aio::task pass_through(py::object app, py::object scope, py::object receive, py::object send) {
    co_await aio::wait(call(app, scope, receive, send));
    co_return py::none();
}

// A path under "/messages/" passes; a client that went away meanwhile ends
// the call quietly.
aio::task pass_messages(py::object self, py::object scope, py::object receive, py::object send) {
    try {
        co_await aio::wait(call(attribute(self, app_attr), scope, receive, send));
    } catch (py::error_already_set &e) {
        if (!e.matches(ns["_CLIENT_DISCONNECT_ERRORS"])) throw;
        log_at(PYSEM_LIT("debug"), PYSEM_LIT("客户端在 POST /messages/ 时断开连接，已忽略"));
    }
    co_return py::none();
}

// Not an HTTP request, or an "OPTIONS" one.
bool passes_unauthenticated(py::handle scope) {
    return !pysem::equal(pysem::item(scope, PYSEM_LIT("type")), PYSEM_LIT("http")) ||
           pysem::equal(pysem::get(scope, PYSEM_LIT("method")), PYSEM_LIT("OPTIONS"));
}

// The scope's "path", or the empty text when the scope has none.
py::str path_of(py::handle scope) {
    py::object path = pysem::get(scope, PYSEM_LIT("path"));
    if (path.is_none()) return PYSEM_LIT("");
    if (!PyUnicode_Check(path.ptr()))
        throw py::type_error(std::string("scope 'path' must be str, not ") + pysem::type_name(path));
    return py::reinterpret_borrow<py::str>(path);
}

// Token extraction: the presented token and, for a traced request, the
// opening lines, before the caller is identified.
void take_token(Request &r) {
    r.token = call_step<&extract_token>(r.self, r.scope);
    r.traced = pysem::starts_with(r.path, PYSEM_LIT("/api/v1/keepa"));
    if (!r.traced) return;
    r.tracer = std::make_unique<Tracer>(r.path, monotonic());
    r.tracer->opening(r.scope, pysem::truthy(r.token), remote_mode(r.self));
}

// The awaitable of the refusal answer: _send_503 or _send_401, the reason
// passed by keyword.
py::object refusal(const Request &r, bool unavailable) {
    if (unavailable)
        return aio::via<&send_503>(r.self, r.scope, r.send,
                                   pysem::keyword{"reason", PYSEM_LIT("auth_service_unavailable")});
    return aio::via<&send_401>(r.self, r.scope, r.send, pysem::keyword{"reason", PYSEM_LIT("invalid_api_key")});
}

// What authentication decided: the request is accepted (its mode wrote its
// scope keys), refused with 401, or refused with 503 (verification
// unavailable).
enum class Verdict { accepted, refused, unavailable };

// Where the remote verdict comes from when the cache cannot give it: an
// awaited call of a replaced _verify_remote, or a request to the endpoint.
enum class Pending { none, replaced_verify, endpoint };

struct Authentication {
    Verdict verdict = Verdict::refused;
    Pending pending = Pending::none;
    CacheRead read; // for Pending::endpoint
};

// The remote mode's verdict on the verification answer; an accepted answer
// writes the mode's scope keys.
Verdict remote_verdict(Request &r, py::handle user_info) {
    bool valid = pysem::truthy(user_info);
    if (r.tracer) r.tracer->verify_done(valid);
    if (!valid) return Verdict::refused;
    pysem::set_item(r.scope, PYSEM_LIT("mcp_api_key"), r.token);
    r.write(auth_mode, PYSEM_LIT("remote"));
    r.write(user_id, pysem::get(user_info, PYSEM_LIT("user_id")));
    r.write(user_email, pysem::get(user_info, PYSEM_LIT("email")));
    r.write(allowed_tools, pysem::get(user_info, PYSEM_LIT("allowed_tools")));
    r.write(permission_enabled, pysem::get(user_info, PYSEM_LIT("permission_enabled")));
    return Verdict::accepted;
}

Verdict verification_unavailable(Request &r) {
    if (r.tracer) r.tracer->verify_error();
    return Verdict::unavailable;
}

bool is_unavailable(py::error_already_set &e) { return e.matches(ns["ApiKeyVerificationUnavailable"]); }

// Authentication, the steps that need no await: the gateway identity, else
// the endpoint alone when a URL is configured, else the fixed key. In the
// remote mode the cache decides without a coroutine when it can (while
// _verify_remote is the class's own); otherwise the verdict is pending and
// the road awaits it (remote_verdict then decides).
Authentication authenticate(Request &r) {
    Authentication a;
    py::object identity = call_step<&internal_identity>(r.self, r.scope);
    if (!identity.is_none()) {
        r.token = py::none();
        r.write(auth_mode, PYSEM_LIT("internal"));
        r.write(user_id, pysem::get(identity, PYSEM_LIT("user_id")));
        r.write(user_email, pysem::get(identity, PYSEM_LIT("email")));
        r.write(allowed_tools, py::none());
        r.write(permission_enabled, py::bool_(false));
        a.verdict = Verdict::accepted;
        return a;
    }
    if (remote_mode(r.self)) {
        if (!own_step<&verify_remote>(r.self)) {
            a.pending = Pending::replaced_verify;
            return a;
        }
        std::optional<py::object> user_info;
        bool unavailable = false;
        try {
            user_info = settled_verdict(r.self, optional_text(r.token, "api_key"), true, a.read);
        } catch (py::error_already_set &e) {
            if (!is_unavailable(e)) throw;
            unavailable = true;
        }
        if (unavailable)
            a.verdict = verification_unavailable(r);
        else if (user_info)
            a.verdict = remote_verdict(r, *user_info);
        else
            a.pending = Pending::endpoint;
        return a;
    }
    py::object key = attribute(r.self, key_attr);
    if (pysem::truthy(key) && !r.token.is_none() && same_key(r.token, key)) {
        pysem::set_item(r.scope, PYSEM_LIT("mcp_api_key"), r.token);
        r.write(auth_mode, PYSEM_LIT("fixed"));
        a.verdict = Verdict::accepted;
    }
    return a;
}

// `from pelorin.mcp.context import mcp_request_ctx`, at every accepted request.
// The module imported first is kept: while sys.modules still holds it, the
// import is that lookup alone.
py::object context_var() {
    static PyObject *imported = nullptr; // kept for the life of the process
    static pysem::kept_item module_item, var_item;
    const py::str &module = PYSEM_LIT("pelorin.mcp.context");
    PyObject *found = module_item.get(PyImport_GetModuleDict(), module.ptr());
    py::object context;
    if (found && found == imported) {
        if (PyModule_CheckExact(found))
            if (PyObject *var = var_item.get(PyModule_GetDict(found), PYSEM_LIT("mcp_request_ctx").ptr()))
                return py::reinterpret_borrow<py::object>(var);
        context = py::reinterpret_borrow<py::object>(found);
    } else {
        found = PyImport_GetModule(module.ptr());
        if (!found && PyErr_Occurred()) pysem::throw_pending();
        context = found ? pysem::steal(found) : py::none();
        if (context.is_none()) context = pysem::steal(PyImport_Import(module.ptr())); // "None in sys.modules" too
        if (!imported) imported = Py_NewRef(context.ptr());
    }
    PyObject *var = PyObject_GetAttr(context.ptr(), PYSEM_LIT("mcp_request_ctx").ptr());
    if (var) return pysem::steal(var);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) pysem::throw_pending();
    PyErr_Clear();
    throw py::import_error("cannot import name 'mcp_request_ctx' from 'pelorin.mcp.context'");
}

// The identity context of an accepted request: its holder, and what setting
// the record returned, for the reset.
struct Context {
    py::object holder, token;
};

// holder.set(value) and holder.reset(token); a context variable of the
// interpreter's own type is set and reset directly.
py::object context_set(py::handle holder, py::handle value) {
    if (PyContextVar_CheckExact(holder.ptr())) return pysem::steal(PyContextVar_Set(holder.ptr(), value.ptr()));
    return pysem::call_method(holder, PYSEM_LIT("set"), value);
}

void context_reset(py::handle holder, py::handle token) {
    if (PyContextVar_CheckExact(holder.ptr())) {
        if (PyContextVar_Reset(holder.ptr(), token.ptr()) < 0) pysem::throw_pending();
        return;
    }
    pysem::call_method(holder, PYSEM_LIT("reset"), token);
}

// Identity and context: the record of the token and of the scope keys as
// written, made the current one. A plain dict scope gives back what was just
// written into it, so those values are taken as they were written.
Context enter_identity(const Request &r) {
    py::object holder = context_var();
    bool plain = PyDict_CheckExact(r.scope.ptr());
    std::array<py::object, record_keys> values;
    for (int key = 0; key < record_keys; ++key) {
        const py::object &written = r.written[key];
        values[key] = plain && written ? written : pysem::get(r.scope, scope_key(RecordKey(key)));
    }
    py::dict record = pysem::make_dict({{PYSEM_LIT("api_key"), r.token},
                                        {PYSEM_LIT("auth_mode"), values[auth_mode]},
                                        {PYSEM_LIT("user_id"), values[user_id]},
                                        {PYSEM_LIT("email"), values[user_email]},
                                        {PYSEM_LIT("allowed_tools"), values[allowed_tools]},
                                        {PYSEM_LIT("permission_enabled"), values[permission_enabled]}});
    py::object token = context_set(holder, record);
    return {std::move(holder), std::move(token)};
}

Channels make_channels(const Request &r) {
    return {aio::relay(PYSEM_LIT("ApiKeyGatlow.__call__.<locals>.tracing_receive"),
                       std::make_unique<TracingReceive>(r.receive, r.traced)),
            aio::relay(PYSEM_LIT("ApiKeyGatlow.__call__.<locals>.tracking_send"),
                       std::make_unique<TrackingSend>(r.send))};
}

// Dispatch: the awaitable of the application, called with the request's own
// channel wrappers.
py::object dispatch(const Request &r, const Channels &channels) {
    if (r.traced) trace(format("app_dispatch_start path=%U", r.path.ptr()));
    return call(attribute(r.self, app_attr), r.scope, channels.receive, channels.send);
}

// True for an application error that ends the request quietly: the client
// went away, or the server refused a message of the wrong kind.
bool dropped(aio::failure &failure, py::handle path) {
    if (failure.matches(ns["_CLIENT_DISCONNECT_ERRORS"])) {
        log_at(PYSEM_LIT("debug"), PYSEM_LIT("客户端断开连接: %s"), path);
        return true;
    }
    if (!failure.matches(PyExc_RuntimeError)) return false;
    PyObject *text = PyObject_Str(failure.value().ptr());
    if (!text) { // a text that cannot be read matches nothing; an interruption passes
        if (!PyErr_ExceptionMatches(PyExc_Exception)) pysem::throw_pending();
        PyErr_Clear();
        return false;
    }
    py::object owned = pysem::steal(text);
    Py_ssize_t at = PyUnicode_Find(text, PYSEM_LIT("Expected ASGI message").ptr(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) pysem::throw_pending();
    return at >= 0;
}

// Drops the application's failure when it ends the request quietly; an error
// raised while judging it takes its place, as in an except block.
void judge(aio::failure &failure, py::handle path) {
    if (!failure) return;
    bool drop = false;
    try {
        aio::handling h(failure);
        drop = dropped(failure, path);
    } catch (...) {
        failure.capture();
    }
    if (drop) failure.clear();
}

// Closing, first steps: the closing trace line, then the context reset. What
// the trace raises is held and returned, so that the reset and the end of the
// answer still happen before it leaves; they run while it is being handled,
// as the rest of a `finally:` around the trace line would.
aio::failure leave_identity(const Request &r, const Context &context, const TrackingSend &sent,
                            const aio::failure &failure) {
    aio::failure closing;
    if (r.traced) {
        try {
            aio::handling h(failure);
            trace(format("app_dispatch_done path=%U response_started=%s response_complete=%s", r.path.ptr(),
                         flag(sent.response_started), flag(sent.response_complete)));
        } catch (...) {
            closing.capture();
        }
    }
    aio::handling h(closing ? closing : failure);
    context_reset(context.holder, context.token);
    return closing;
}

// Closing, last step: the empty final body part of an answer that was started
// and not finished, on the server's own channel, while the latest failure
// (the closing trace's, else the application's) is being handled. The client
// may be gone: an error of this send is swallowed, and the application's
// outcome stands. A cancellation or an interruption passes, so that a timeout
// or a task group can still stop a request whose client no longer reads.
aio::task finish_answer(py::object send, aio::failure failure) {
    py::dict last = pysem::make_dict({{PYSEM_LIT("type"), PYSEM_LIT("http.response.body")},
                                      {PYSEM_LIT("body"), py::bytes("")},
                                      {PYSEM_LIT("more_body"), py::bool_(false)}});
    try {
        co_await aio::wait(call(send, last), failure);
    } catch (py::error_already_set &e) {
        if (!aio::is_ordinary(e)) throw;
    } catch (const std::exception &) { // an Exception once raised (see lossy)
    }
    co_return py::none();
}

aio::task road(py::object self, py::object scope, py::object receive, py::object send) {
    // Requests that pass without authentication
    if (passes_unauthenticated(scope))
        co_return co_await pass_through(attribute(self, app_attr), scope, receive, send);
    py::str path = path_of(scope);
    if (pysem::starts_with(path, PYSEM_LIT("/messages/")))
        co_return co_await pass_messages(self, scope, receive, send);
    if (!pysem::truthy(call_step<&is_protected_path>(self, path)))
        co_return co_await pass_through(attribute(self, app_attr), scope, receive, send);

    Request r(self, scope, receive, send, path);
    take_token(r);
    Authentication auth = authenticate(r);
    if (auth.pending != Pending::none) {
        py::object user_info;
        bool unavailable = false;
        try {
            if (auth.pending == Pending::replaced_verify)
                user_info = co_await aio::wait(pysem::through<&verify_remote>(r.self, r.token));
            else
                user_info = co_await ask_endpoint(r.self, r.token, std::move(auth.read));
        } catch (py::error_already_set &e) {
            if (!is_unavailable(e)) throw;
            unavailable = true;
        }
        auth.verdict = unavailable ? verification_unavailable(r) : remote_verdict(r, user_info);
    }
    if (auth.verdict != Verdict::accepted) {
        co_await aio::wait(refusal(r, auth.verdict == Verdict::unavailable));
        co_return py::none();
    }
    Context context = enter_identity(r);

    Channels channels = make_channels(r);
    aio::failure failure;
    try {
        co_await aio::wait(dispatch(r, channels));
    } catch (...) {
        failure.capture();
    }
    judge(failure, path);

    const TrackingSend &sent = channels.tracking();
    aio::failure closing = leave_identity(r, context, sent, failure);
    if (sent.half_sent()) co_await finish_answer(send, closing ? closing : failure);
    closing.rethrow();
    failure.rethrow();
    co_return py::none();
}

// ApiKeyGatlow.__call__(scope, receive, send)
aio::task call_entry(py::handle self, py::object scope, py::object receive, py::object send) {
    return road(py::reinterpret_borrow<py::object>(self), std::move(scope), std::move(receive), std::move(send));
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

// ApiKeyGatlow.__init__(app, *, api_key=None, auth_verify_url=None,
// protected_path_prefixes=None, trust_upstream_corvane_identity=False)
void init(py::handle self, py::object app, py::object api_key, py::object auth_verify_url,
          py::object protected_path_prefixes, py::object trust_upstream_corvane_identity) {
    py::object key = optional_text(api_key, "api_key");
    py::object url = optional_text(auth_verify_url, "auth_verify_url");
    py::object prefixes = check_prefixes(protected_path_prefixes);
    set_attr(self, PYSEM_LIT("app"), app);
    set_attr(self, PYSEM_LIT("_api_key"), key);
    set_attr(self, PYSEM_LIT("_auth_verify_url"), url);
    set_attr(self, PYSEM_LIT("_protected_path_prefixes"), prefixes);
    set_attr(self, PYSEM_LIT("_trust_upstream_corvane_identity"),
             py::bool_(pysem::truthy(trust_upstream_corvane_identity)));
    set_attr(self, PYSEM_LIT("_verify_cache"), py::dict());
    set_attr(self, PYSEM_LIT("_client"), py::none());
    if (pysem::truthy(url))
        log_at(PYSEM_LIT("info"), PYSEM_LIT("MCP Server 运行在远程校验模式，校验地址: %s"), url);
    else if (pysem::truthy(key))
        log_at(PYSEM_LIT("info"), PYSEM_LIT("MCP Server 运行在固定 API Key 模式"));
    else
        log_at(PYSEM_LIT("warning"), PYSEM_LIT("MCP Server 未配置任何 API Key 鉴权！"));
}

// ---------------------------------------------------------------------------
// The deprecated fixed-key provider

// FixedApiKeyAuthProvider.__init__(api_key)
void provider_init(py::handle self, py::object api_key) {
    set_attr(self, PYSEM_LIT("_api_key"), pysem::exact_str(api_key, "api_key"));
}

// The token record of an accepted key: token, client_id and scopes.
// Made at load; a load of this module afresh meanwhile makes its own.
pysem::first_built<py::object> &access_token_type() {
    PYBIND11_CONSTINIT static pysem::first_built<py::object> kept;
    return kept;
}

py::object make_access_token_type(py::handle module_name) {
    py::object str_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    py::object list_of_str = pysem::steal(Py_GenericAlias(reinterpret_cast<PyObject *>(&PyList_Type), str_type.ptr()));
    py::list fields = pysem::steal_as<py::list>(PyList_New(0));
    fields.append(pysem::steal(PyTuple_Pack(2, py::str("token").ptr(), str_type.ptr())));
    fields.append(pysem::steal(PyTuple_Pack(2, py::str("client_id").ptr(), str_type.ptr())));
    fields.append(pysem::steal(PyTuple_Pack(2, py::str("scopes").ptr(), list_of_str.ptr())));
    py::object dataclasses = pysem::steal(PyImport_Import(PYSEM_LIT("dataclasses").ptr()));
    py::object type = call_method(dataclasses, PYSEM_LIT("make_dataclass"), PYSEM_LIT("AccessToken"), fields);
    set_attr(type, PYSEM_LIT("__module__"), module_name);
    return type;
}

aio::task verify_token_body(py::object self, py::object token) {
    if (!same_key(token, pysem::getattr(self, PYSEM_LIT("_api_key")))) co_return py::none();
    py::list scopes;
    scopes.append(PYSEM_LIT("pelorin:mcp"));
    co_return call(*access_token_type(), token, PYSEM_LIT("default"), scopes);
}

// FixedApiKeyAuthProvider.verify_token(token)
aio::task verify_token(py::handle self, py::object token) {
    return verify_token_body(py::reinterpret_borrow<py::object>(self), pysem::exact_str(token, "token"));
}

// ---------------------------------------------------------------------------
// Documentation texts

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

// ---------------------------------------------------------------------------
// The module, in the order of its load

void register_imports(py::module_ &m) {
    pysem::bind_imports(m, {
        {"logging", nullptr},
        {"time", nullptr},
        {"datetime", "datetime"},
        {"datetime", "timezone"},
        {"pathlib", "Path"},
        {"pelorin.api.cors", "cors_headers_for_scope"},
        {"pelorin.config", "__version__"},
        {"starlette.types", "ASGIApp"},
        {"starlette.types", "Scope"},
        {"starlette.types", "Receive"},
        {"starlette.types", "Send"},
    });
}

// _logger, the trace file (under the working directory of the load) and the
// trace writer.
void register_tracing(py::module_ &m) {
    m.attr("_logger") = call_method(ns["logging"], PYSEM_LIT("getLogger"), PYSEM_LIT("pelorin.mcp"));
    py::object cwd = call_method(ns["Path"], PYSEM_LIT("cwd"));
    py::object tmp = pysem::steal(PyNumber_TrueDivide(cwd.ptr(), PYSEM_LIT(".tmp").ptr()));
    m.attr("_KEEPA_TRACE_FILE") = pysem::steal(PyNumber_TrueDivide(tmp.ptr(), PYSEM_LIT("keepa-trace.log").ptr()));
    pysem::define(m, {pysem::function<&trace_keepa>("_trace_keepa(message)")});
}

// The errors that mean the client has gone away: none without Starlette's
// request module.
void register_disconnect_errors(py::module_ &m) {
    try {
        py::object disconnect = pysem::import_from("starlette.requests", "ClientDisconnect");
        m.attr("_StarletteClientDisconnect") = disconnect;
        m.attr("_CLIENT_DISCONNECT_ERRORS") = pysem::steal(PyTuple_Pack(1, disconnect.ptr()));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("_CLIENT_DISCONNECT_ERRORS") = py::tuple();
    }
}

void register_verification_settings(py::module_ &m) {
    m.attr("_VERIFY_CACHE_TTL_SECONDS") = pysem::steal(PyLong_FromLong(60));
    m.attr("_VERIFY_STALE_GRACE_SECONDS") = pysem::steal(PyLong_FromLong(300));
    m.attr("_VERIFY_CONNECT_TIMEOUT_SECONDS") = pysem::steal(PyFloat_FromDouble(3.0));
    m.attr("_VERIFY_READ_TIMEOUT_SECONDS") = pysem::steal(PyFloat_FromDouble(5.0));
    m.attr("_VERIFY_MAX_CONNECTIONS") = pysem::steal(PyLong_FromLong(20));
    m.attr("_VERIFY_MAX_KEEPALIVE") = pysem::steal(PyLong_FromLong(10));
    m.attr("_VERIFY_KEEPALIVE_EXPIRY_SECONDS") = pysem::steal(PyFloat_FromDouble(30.0));
}

void register_verification_error(py::module_ &m) {
    m.attr("ApiKeyVerificationUnavailable") = pysem::steal(PyErr_NewExceptionWithDoc(
        "pelorin.mcp.gatlow.ApiKeyVerificationUnavailable", "远程 API Key 校验服务暂时不可用。", PyExc_RuntimeError,
        nullptr));
}

// ApiKeyGatlow: a plain class, its members in the order of its body.
void register_middleware(py::module_ &m) {
    py::object cls = pysem::make_class(m, "ApiKeyGatlow", kGatlowDoc);
    pysem::define(cls, {
        pysem::method<&init>("__init__(app, *, api_key=None, auth_verify_url=None, protected_path_prefixes=None, "
                             "trust_upstream_corvane_identity=False)"),
        pysem::static_method<&header>("_header(scope, name)"),
        pysem::method<&is_protected_path>("_is_protected_path(path)"),
        pysem::method<&internal_identity>("_internal_identity(scope)"),
        pysem::method<&extract_token>("_extract_token(scope)"),
        aio::method<&call_entry>("__call__(scope, receive, send)"),
        pysem::method<&get_client>("_get_client()", kGetClientDoc),
        aio::method<&verify_remote>("_verify_remote(api_key)"),
        aio::method<&send_401>("_send_401(scope, send, reason=\"invalid_api_key\")"),
        aio::method<&send_503>("_send_503(scope, send, reason)"),
    });
    m.attr("ApiKeyGatlow") = cls;
}

void register_provider(py::module_ &m) {
    access_token_type().get([&] { return make_access_token_type(m.attr("__name__")); }, " while loading the middleware");
    py::object cls = pysem::make_class(m, "FixedApiKeyAuthProvider", kProviderDoc);
    pysem::define(cls, {
        pysem::method<&provider_init>("__init__(api_key)"),
        aio::method<&verify_token>("verify_token(token)"),
    });
    m.attr("FixedApiKeyAuthProvider") = cls;
}

} // namespace

PELORIN_MODULE(gatlow, m) {
    ns.bind(m);
    register_imports(m);
    register_tracing(m);
    register_disconnect_errors(m);
    register_verification_settings(m);
    register_verification_error(m);
    register_middleware(m);
    register_provider(m);
}
