// Binds the caller of an MCP business tool to trusted credentials of the
// operations platform: gateway-supplied credentials, the caller's isolated
// credential directory (with single-flight logins per scope), or the local
// login.
//
// Host names are module attributes, looked up when called, so that tests and
// the host can patch them as they would a Python module's globals. The host
// modules that only some roads need are imported at every use, so the module
// loads without them.
#include "common/aio.hpp"
#include "common/module.hpp"

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

pysem::module_namespace ns;

constexpr long kDefaultJwtLifetime = 7200;

// The service key: the platform grants the JWT for it, and the stores hold it
// under it.
const py::str &service() { return PYSEM_LIT("tovan"); }

// ---------------------------------------------------------------------------
// Small Python idioms of this module

// Calls that can run user code go through pysem, whose errors reach the
// caller as raised (an exception whose class is not the one raised included).
using pysem::call;
using pysem::call_method;

bool is_empty_text(py::handle text) { return PyUnicode_GET_LENGTH(text.ptr()) == 0; }

// asyncio.to_thread(fn, first, second): the one blocking call goes to the
// loop's default executor, with the caller's context.
py::object to_thread(py::handle fn, py::handle first, py::handle second) {
    return call_method(ns["asyncio"], PYSEM_LIT("to_thread"), fn, first, second);
}

// The normalised form of e-mails: "" for a falsy value, else its text form
// trimmed and lower-cased.
py::str normalized(py::handle value) {
    if (!pysem::truthy(value)) return PYSEM_LIT("");
    return pysem::call_method(pysem::strip(pysem::text_form(value)), PYSEM_LIT("lower"));
}

py::str text_or_empty(py::handle value) { return pysem::truthy(value) ? pysem::text_form(value) : PYSEM_LIT(""); }

// raise TovanCredentialBindingError(message) [from cause]; `cause` is an
// exception instance (with its traceback) or null.
[[noreturn]] void raise_binding_error(py::handle message, py::handle cause = py::handle()) {
    py::object error = call(ns["TovanCredentialBindingError"], message);
    if (!cause) pysem::raise_instance(error);
    if (!PyExceptionInstance_Check(error.ptr())) throw py::type_error("exceptions must derive from BaseException");
    PyException_SetCause(error.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    PyException_SetContext(error.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    py::object type = py::type::of(error);
    // Restore rather than SetObject: the latter would replace the context
    // with whatever exception an outer frame happens to be handling.
    PyErr_Restore(type.release().ptr(), error.release().ptr(), nullptr);
    pysem::throw_pending();
}

// raise TovanCredentialBindingError(prefix + str(cause)) from cause
[[noreturn]] void raise_wrapped(const py::str &prefix, py::handle cause) {
    py::str text = pysem::text_form(cause);
    raise_binding_error(pysem::concat({prefix, text}), cause);
}

// ---------------------------------------------------------------------------
// Error type

// TovanCredentialBindingError.__init__(message): the one message text.
void error_init(py::handle self, py::object message) {
    pysem::exact_str(message, "message");
    pysem::call_method(py::handle(PyExc_RuntimeError), PYSEM_LIT("__init__"), self, message);
}

// TovanCredentialBindingError.to_dict()
py::dict error_to_dict(py::handle self) {
    return pysem::make_dict({{PYSEM_LIT("code"), pysem::getattr(self, PYSEM_LIT("code"))},
                             {PYSEM_LIT("message"), pysem::text_form(self)}});
}

// ---------------------------------------------------------------------------
// Login lock registry: {event loop (weak): {credential scope: asyncio.Lock (weak)}}

// Runs body() while holding the threading.Lock `lock`. Its acquire() drops
// the GIL while it waits, so a thread that holds the lock and needs the GIL
// back is never starved by one that waits for the lock. The lock is released
// on every way out, as `with lock:` releases it: what the release raises
// leaves in place of the body's own error, which becomes its context.
template <class Body> py::object holding(py::handle lock, Body &&body) {
    call_method(lock, PYSEM_LIT("acquire"));
    py::object result;
    try {
        result = body();
    } catch (...) {
        aio::failure failure;
        failure.capture();
        aio::handling handled(failure);
        call_method(lock, PYSEM_LIT("release"));
        throw;
    }
    call_method(lock, PYSEM_LIT("release"));
    return result;
}

py::object get_login_lock(py::object credential_scope) {
    pysem::exact_str(credential_scope, "credential_scope");
    py::object loop = call_method(ns["asyncio"], PYSEM_LIT("get_running_loop"));
    py::object guard = ns["_login_locks_guard"];
    return holding(guard, [&] {
        py::object registry = ns["_login_locks"];
        py::object locks = call_method(registry, PYSEM_LIT("get"), loop);
        if (locks.is_none()) {
            locks = call(ns["WeakValueDictionary"]);
            pysem::set_item(registry, loop, locks);
        }
        py::object lock = call_method(locks, PYSEM_LIT("get"), credential_scope);
        if (lock.is_none()) {
            lock = call_method(ns["asyncio"], PYSEM_LIT("Lock"));
            pysem::set_item(locks, credential_scope, lock);
        }
        return lock;
    });
}

// ---------------------------------------------------------------------------
// JWT lifetime

// Seconds the JWT stays valid, from its "exp" claim: never below 0, 7200
// when the claim cannot be read, never above MAX_JWT_TTL.
py::object jwt_expires_in(py::object jwt) {
    pysem::exact_str(jwt, "jwt");
    py::object max_ttl = pysem::import_from("pelorin.auth.core.token_manager", "MAX_JWT_TTL");
    py::object lifetime = py::int_(kDefaultJwtLifetime);
    try {
        py::object exp = call_method(call(ns["_decode_jwt_payload"], jwt), PYSEM_LIT("get"), PYSEM_LIT("exp"));
        if (pysem::truthy(exp)) {
            py::object expires_at = pysem::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyFloat_Type), exp.ptr()));
            // datetime.now(timezone.utc).timestamp(), read in that order
            py::object now_of = pysem::getattr(ns["datetime"], PYSEM_LIT("now"));
            py::object utc = pysem::getattr(ns["timezone"], PYSEM_LIT("utc"));
            py::object now = call_method(call(now_of, utc), PYSEM_LIT("timestamp"));
            py::object remaining = pysem::steal(PyNumber_Subtract(expires_at.ptr(), now.ptr()));
            py::object seconds = pysem::steal(PyNumber_Long(remaining.ptr()));
            py::int_ zero(0);
            lifetime = pysem::less(zero, seconds) ? seconds : zero;
        }
    } catch (py::error_already_set &e) {
        if (!aio::is_ordinary(e)) throw;
    }
    if (pysem::less(max_ttl, lifetime)) return pysem::steal(PyNumber_Long(max_ttl.ptr()));
    return lifetime;
}

// ---------------------------------------------------------------------------
// JWT fetch and store, invalidation

// AuthClient().get_token_by_session, the blocking exchange.
py::object token_exchange(py::handle auth_client_type) {
    return pysem::getattr(call(auth_client_type), PYSEM_LIT("get_token_by_session"));
}

// The isolated cache's reads.
py::object session_of(py::handle cache) { return call_method(cache, PYSEM_LIT("get_session_id")); }
py::object stored_jwt(py::handle cache) { return call_method(cache, PYSEM_LIT("get_jwt"), service()); }

// The caller's isolated store, or the default store for a null directory.
py::object open_store(py::handle store_type, py::handle credential_dir) {
    if (credential_dir.is_none()) return call(store_type);
    return call(store_type, pysem::keyword{"base_dir", credential_dir});
}

aio::task fetch_and_store_body(py::object session_id, py::object credential_dir) {
    py::object auth_client = pysem::import_from("pelorin.auth", "AuthClient");
    py::object store_type = pysem::import_from("pelorin.auth.storage.credential_store", "CredentialStore");
    py::object invalidate = pysem::import_from("pelorin.mcp.credential_cache", "invalidate_credential_cache");
    py::object exchange = token_exchange(auth_client);
    py::object jwt = co_await aio::wait(to_thread(exchange, session_id, service()));
    // Back on the loop's thread: the save and the invalidation are quick.
    py::object store = open_store(store_type, credential_dir);
    py::object lifetime = call(ns["_jwt_expires_in"], jwt); // refuses a JWT that is not text
    call_method(store, PYSEM_LIT("save_token"), service(), jwt, lifetime);
    call(invalidate, pysem::keyword{"base_dir", credential_dir});
    co_return jwt;
}

aio::task fetch_and_store_tovan_jwt(py::object session_id, py::object credential_dir) {
    pysem::exact_str(session_id, "session_id");
    return fetch_and_store_body(std::move(session_id), std::move(credential_dir));
}

void invalidate_lusmere(py::object credential_dir) {
    py::object store_type = pysem::import_from("pelorin.auth.storage.credential_store", "CredentialStore");
    py::object invalidate = pysem::import_from("pelorin.mcp.credential_cache", "invalidate_credential_cache");
    call_method(open_store(store_type, credential_dir), PYSEM_LIT("clear"));
    call(invalidate, pysem::keyword{"base_dir", credential_dir});
}

// ---------------------------------------------------------------------------
// Rejection recognition

bool is_rejection_status(py::handle status) {
    static constexpr long statuses[] = {401, 403};
    for (long code : statuses)
        if (pysem::equal(status, py::int_(code))) return true;
    return false;
}

// True when the error, or one in its chain of causes and contexts, carries
// HTTP 401 or 403 on itself or on its response.
bool is_auth_rejection(py::object exc) {
    if (!PyObject_TypeCheck(exc.ptr(), reinterpret_cast<PyTypeObject *>(PyExc_Exception)))
        pysem::refuse("exc", "Exception", exc);
    std::vector<py::object> chain;  // keeps the identities below alive
    std::unordered_set<PyObject *> seen;
    py::object current = exc;
    while (!current.is_none() && seen.insert(current.ptr()).second) {
        chain.push_back(current);
        py::object status = pysem::getattr_or_none(current, "status_code");
        py::object response = pysem::getattr_or_none(current, "response");
        if (is_rejection_status(status)) return true;
        if (!response.is_none() && is_rejection_status(pysem::getattr_or_none(response, "status_code"))) return true;
        py::object cause = pysem::getattr_or_none(current, "__cause__");
        current = pysem::truthy(cause) ? cause : pysem::getattr_or_none(current, "__context__");
    }
    return false;
}

// ---------------------------------------------------------------------------
// Automatic login

aio::task auto_login(py::object cache) {
    py::object login = call(ns["auth_mcp_login"]);
    py::object result = co_await aio::wait(std::move(login));
    if (pysem::get(result, "success").ptr() != Py_True) {
        py::object error = pysem::get(result, "error");
        if (!pysem::truthy(error)) error = py::dict();
        py::object message = pysem::get(error, "message");
        if (!pysem::truthy(message)) message = PYSEM_LIT("自动建立 TOVAN 隔离登录态失败");
        raise_binding_error(pysem::text_form(message));
    }
    if (!pysem::truthy(call_method(cache, PYSEM_LIT("is_authenticated"))))
        raise_binding_error(PYSEM_LIT("TOVAN 隔离登录态未保存成功"));
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Identity reads

py::object get_authenticated_user_email() {
    py::str transport_email = normalized(call(ns["get_current_user_email"]));
    if (!is_empty_text(transport_email)) return transport_email;
    py::object credential_dir = call(ns["_get_credential_dir"]);
    py::object cache = call(ns["_get_isolated_credential_cache"], credential_dir);
    py::str cached_email = normalized(call_method(cache, PYSEM_LIT("get_email")));
    if (!is_empty_text(cached_email)) return cached_email;
    return py::none();
}

py::tuple read_remote_identity(py::object cache) {
    py::object session_id = call_method(cache, PYSEM_LIT("get_session_id"));
    py::str user_email = normalized(call(ns["_get_authenticated_user_email"]));
    py::str cached_email = normalized(call_method(cache, PYSEM_LIT("get_email")));
    if (!pysem::truthy(session_id) || is_empty_text(user_email))
        raise_binding_error(PYSEM_LIT("当前 MCP 用户的 TOVAN 隔离凭证不完整"));
    if (!is_empty_text(cached_email) && !pysem::equal(user_email, cached_email))
        raise_binding_error(PYSEM_LIT("当前 MCP 用户与 TOVAN 隔离凭证用户不一致"));
    return py::make_tuple(session_id, user_email);
}

// ---------------------------------------------------------------------------
// The binding record

py::object make_binding_type(py::handle module_name) {
    py::object str_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    py::object optional_str = pysem::steal(PyNumber_Or(str_type.ptr(), Py_None));
    py::object pair = pysem::steal(Py_GenericAlias(reinterpret_cast<PyObject *>(&PyTuple_Type),
                                                   pysem::steal(PyTuple_Pack(2, optional_str.ptr(), optional_str.ptr())).ptr()));
    py::dict annotations = pysem::steal_as<py::dict>(PyDict_New());
    annotations["credential_scope"] = str_type;
    annotations["user_email"] = str_type;
    annotations["session_id"] = optional_str;
    annotations["jwt"] = optional_str;
    annotations["runtime_auth"] = pysem::steal(PyNumber_Or(pair.ptr(), Py_None));
    annotations["refreshed"] = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBool_Type));

    py::dict body = pysem::steal_as<py::dict>(PyDict_New());
    body["__module__"] = module_name;
    body["__qualname__"] = PYSEM_LIT("TovanCredentialBinding");
    body["__annotations__"] = annotations;
    body["runtime_auth"] = py::none();
    body["refreshed"] = py::bool_(false);
    py::object cls = call(py::handle(reinterpret_cast<PyObject *>(&PyType_Type)), PYSEM_LIT("TovanCredentialBinding"),
                          py::tuple(), body);
    return call(call(ns["dataclass"], pysem::keyword{"frozen", Py_True}), cls);
}

// ---------------------------------------------------------------------------
// ensure_lusmere

bool is_gateway_mode(py::handle auth_mode) {
    return pysem::equal(PYSEM_LIT("corvane_viewer"), auth_mode) || pysem::equal(PYSEM_LIT("corvane_session"), auth_mode) ||
           pysem::equal(PYSEM_LIT("internal"), auth_mode);
}

py::object make_binding(py::handle scope, py::handle user_email, py::handle session_id, py::handle jwt,
                        py::handle runtime_auth, bool refreshed) {
    return call(ns["TovanCredentialBinding"], pysem::keyword{"credential_scope", scope},
                pysem::keyword{"user_email", user_email}, pysem::keyword{"session_id", session_id},
                pysem::keyword{"jwt", jwt}, pysem::keyword{"runtime_auth", runtime_auth},
                pysem::keyword{"refreshed", refreshed ? Py_True : Py_False});
}

py::object fetch_jwt(py::handle session_id, py::handle credential_dir) {
    return call(ns["_fetch_and_store_tovan_jwt"], session_id, credential_dir);
}

// Credentials that the trusted gateway passed in; nothing is stored.
aio::task gateway_binding(py::str auth_mode, py::object provided_session, py::object provided_jwt, bool require_jwt) {
    py::str user_email = normalized(call(ns["get_current_user_email"]));
    if (is_empty_text(user_email)) raise_binding_error(PYSEM_LIT("当前 Corvane 用户邮箱缺失，无法安全执行 TOVAN 任务"));
    py::object jwt = provided_jwt;
    bool refreshed = false;
    if (require_jwt && !pysem::truthy(jwt)) {
        try {
            py::object exchange = token_exchange(pysem::import_from("pelorin.auth", "AuthClient"));
            py::object exchanged = to_thread(exchange, provided_session, service());
            jwt = co_await aio::wait(std::move(exchanged));
            refreshed = true;
        } catch (py::error_already_set &e) {
            if (!aio::is_ordinary(e)) throw;
            aio::handling handled(e); // the error is made as in the except block
            raise_wrapped(PYSEM_LIT("获取 TOVAN JWT 失败："), pysem::handled_exception());
        }
    }
    py::str scope = pysem::concat({auth_mode, PYSEM_LIT(":"), user_email});
    co_return make_binding(scope, user_email, provided_session, jwt, py::make_tuple(provided_session, jwt), refreshed);
}

// The caller's isolated credential directory; logins and JWT fetches of one
// scope are serialised by its login lock, so that concurrent requests log in
// once and reuse what the first one stored.
aio::task isolated_binding(bool require_jwt, bool force_relogin) {
    py::object credential_dir = call(ns["_get_credential_dir"]);
    if (credential_dir.is_none()) raise_binding_error(PYSEM_LIT("无法确定当前 MCP 用户的隔离凭证作用域"));
    py::str scope = pysem::text_form(credential_dir);
    py::object cache = call(ns["_get_isolated_credential_cache"], credential_dir);
    py::object stale_session_id = force_relogin ? session_of(cache) : py::none();

    if (!force_relogin && pysem::truthy(call_method(cache, PYSEM_LIT("is_authenticated"))) &&
        (!require_jwt || pysem::truthy(stored_jwt(cache)))) {
        auto [session_id, user_email] = pysem::unpack2(call(ns["_read_remote_identity"], cache));
        co_return make_binding(scope, user_email, session_id, stored_jwt(cache), py::none(), false);
    }

    aio::async_with login_lock(call(ns["_get_login_lock"], scope));
    co_await login_lock.enter();
    py::object binding;
    aio::failure failure;
    try {
        bool refreshed = false, logged_in = false;
        py::object current_session_id = force_relogin ? session_of(cache) : py::none();
        // Another request renewed the session while this one waited.
        bool already_renewed = force_relogin && pysem::truthy(current_session_id) &&
                               !pysem::equal(current_session_id, stale_session_id);
        if (force_relogin ? !already_renewed : !pysem::truthy(call_method(cache, PYSEM_LIT("is_authenticated")))) {
            py::object login = call(ns["_auto_login"], cache);
            co_await aio::wait(std::move(login));
            refreshed = logged_in = true;
        }
        auto [session_id, user_email] = pysem::unpack2(call(ns["_read_remote_identity"], cache));
        py::object jwt = stored_jwt(cache);
        if (require_jwt && !pysem::truthy(jwt)) {
            // What follows a failed fetch handles it as an except block would:
            // errors raised there keep the failure as their context.
            aio::failure fetch_failure;
            try {
                py::object fetched = fetch_jwt(session_id, credential_dir);
                jwt = co_await aio::wait(std::move(fetched));
                refreshed = true;
            } catch (py::error_already_set &e) {
                if (!aio::is_ordinary(e)) throw;
                fetch_failure.capture();
            }
            if (fetch_failure) {
                {
                    aio::handling handled(fetch_failure);
                    bool auth_rejected = pysem::truthy(call(ns["_is_auth_rejection"], fetch_failure.value()));
                    // Only a refusal of a session this call did not just make
                    // earns a fresh login; the refused credentials go either way.
                    if (auth_rejected) call(ns["_invalidate_lusmere"], credential_dir);
                    if (logged_in || !auth_rejected)
                        raise_wrapped(PYSEM_LIT("获取 TOVAN JWT 失败："), fetch_failure.value());
                }
                py::object relogin;
                {
                    aio::handling handled(fetch_failure);
                    relogin = call(ns["_auto_login"], cache);
                }
                co_await aio::wait(std::move(relogin), fetch_failure);
                refreshed = logged_in = true;
                {
                    aio::handling handled(fetch_failure);
                    std::tie(session_id, user_email) = pysem::unpack2(call(ns["_read_remote_identity"], cache));
                }
                try {
                    py::object refetched;
                    {
                        aio::handling handled(fetch_failure);
                        refetched = fetch_jwt(session_id, credential_dir);
                    }
                    jwt = co_await aio::wait(std::move(refetched), fetch_failure);
                } catch (py::error_already_set &e) {
                    if (!aio::is_ordinary(e)) throw;
                    aio::handling handled(e);
                    raise_wrapped(PYSEM_LIT("重新登录后获取 TOVAN JWT 失败："), pysem::handled_exception());
                }
            }
        }
        binding = make_binding(scope, user_email, session_id, jwt, py::none(), refreshed);
    } catch (...) {
        failure.capture();
    }
    co_await login_lock.exit(failure);
    co_return binding;
}

// The credentials passed in, or else the machine's default login.
aio::task local_binding(py::object provided_session, py::object provided_jwt, bool require_jwt) {
    auto [session_id, jwt] = pysem::unpack2(call(ns["_get_auth_pair"], service(), provided_session, provided_jwt));
    py::str user_email = normalized(call(ns["_get_authenticated_user_email"]));
    if (!pysem::truthy(session_id)) raise_binding_error(PYSEM_LIT("无 TOVAN 登录态，请先完成 pelorin auth login"));
    if (is_empty_text(user_email)) raise_binding_error(PYSEM_LIT("当前 MCP 用户邮箱缺失，无法安全执行 TOVAN 任务"));
    bool refreshed = false;
    if (require_jwt && !pysem::truthy(jwt)) {
        try {
            py::object fetched = fetch_jwt(session_id, py::none());
            jwt = co_await aio::wait(std::move(fetched));
            refreshed = true;
        } catch (py::error_already_set &e) {
            if (!aio::is_ordinary(e)) throw;
            aio::handling handled(e);
            raise_wrapped(PYSEM_LIT("获取 TOVAN JWT 失败："), pysem::handled_exception());
        }
    }
    bool passed = pysem::truthy(provided_session) || pysem::truthy(provided_jwt);
    py::object runtime_auth = passed ? py::object(py::make_tuple(session_id, jwt)) : py::none();
    co_return make_binding(PYSEM_LIT("default"), user_email, session_id, jwt, runtime_auth, refreshed);
}

aio::task ensure_body(py::object provided_session, py::object provided_jwt, py::object require_jwt_arg,
                      py::object force_relogin_arg) {
    py::str auth_mode = text_or_empty(call(ns["get_current_auth_mode"]));
    bool require_jwt = pysem::truthy(require_jwt_arg);
    if (is_gateway_mode(auth_mode) && (pysem::truthy(provided_session) || pysem::truthy(provided_jwt)))
        co_return co_await gateway_binding(auth_mode, provided_session, provided_jwt, require_jwt);
    if (pysem::truthy(call(ns["get_current_api_key"])))
        co_return co_await isolated_binding(require_jwt, pysem::truthy(force_relogin_arg));
    co_return co_await local_binding(provided_session, provided_jwt, require_jwt);
}

aio::task ensure_lusmere(py::object provided_session, py::object provided_jwt, py::object require_jwt,
                         py::object force_relogin) {
    pysem::optional_exact_str(provided_session, "provided_session");
    pysem::optional_exact_str(provided_jwt, "provided_jwt");
    return ensure_body(std::move(provided_session), std::move(provided_jwt), std::move(require_jwt),
                       std::move(force_relogin));
}

// ---------------------------------------------------------------------------
// The module, in the order of its load

void register_imports(py::module_ &m) {
    pysem::bind_imports(m, {
        {"asyncio", nullptr},
        {"threading", nullptr},
        {"dataclasses", "dataclass"},
        {"datetime", "datetime"},
        {"datetime", "timezone"},
        {"pathlib", "Path"},
        {"weakref", "WeakKeyDictionary"},
        {"weakref", "WeakValueDictionary"},
        {"pelorin.mcp.context", "get_current_api_key"},
        {"pelorin.mcp.context", "get_current_auth_mode"},
        {"pelorin.mcp.context", "get_current_user_email"},
        {"pelorin.mcp.tools.auth", "auth_mcp_login"},
        {"pelorin.mcp.tools.helpers", "_decode_jwt_payload"},
        {"pelorin.mcp.tools.helpers", "_get_auth_pair"},
        {"pelorin.mcp.tools.helpers", "_get_credential_dir"},
        {"pelorin.mcp.tools.helpers", "_get_isolated_credential_cache"},
    });
}

void register_error(py::module_ &m) {
    py::dict attrs = pysem::make_dict({{PYSEM_LIT("code"), PYSEM_LIT("TOVAN_CREDENTIAL_ENSURE_FAILED")}});
    py::object type = pysem::steal(PyErr_NewExceptionWithDoc("pelorin.mcp.lusmere.TovanCredentialBindingError",
                                                             "当前 MCP 身份无法建立可信 TOVAN 凭证绑定。",
                                                             PyExc_RuntimeError, attrs.ptr()));
    pysem::define(type, {
        pysem::method<&error_init>("__init__(message)"),
        pysem::method<&error_to_dict>("to_dict()"),
    });
    m.attr("TovanCredentialBindingError") = type;
}

// The registry of login locks, its mutex, and its lookup.
void register_login_locks(py::module_ &m) {
    m.attr("_login_locks_guard") = call_method(ns["threading"], PYSEM_LIT("Lock"));
    m.attr("_login_locks") = call(ns["WeakKeyDictionary"]);
    pysem::define(m, {pysem::function<&get_login_lock>("_get_login_lock(credential_scope)")});
}

void register_binding_record(py::module_ &m) { m.attr("TovanCredentialBinding") = make_binding_type(m.attr("__name__")); }

// The identity reads, the JWT store and the automatic login, then the one
// public operation.
void register_binding_operations(py::module_ &m) {
    pysem::define(m, {
        pysem::function<&get_authenticated_user_email>("_get_authenticated_user_email()"),
        pysem::function<&jwt_expires_in>("_jwt_expires_in(jwt)"),
        aio::function<&fetch_and_store_tovan_jwt>("_fetch_and_store_tovan_jwt(session_id, credential_dir)"),
        pysem::function<&invalidate_lusmere>("_invalidate_lusmere(credential_dir)"),
        pysem::function<&is_auth_rejection>("_is_auth_rejection(exc)"),
        aio::function<&auto_login>("_auto_login(cache)"),
        pysem::function<&read_remote_identity>("_read_remote_identity(cache)"),
        aio::function<&ensure_lusmere>(
            "ensure_lusmere(*, provided_session=None, provided_jwt=None, require_jwt=False, force_relogin=False)"),
    });
}

} // namespace

PELORIN_MODULE(lusmere, m) {
    m.doc() = "按 MCP 请求身份解析并确保 TOVAN 凭证绑定。";
    ns.bind(m);
    register_imports(m);
    register_error(m);
    register_login_locks(m);
    register_binding_record(m);
    register_binding_operations(m);
}
