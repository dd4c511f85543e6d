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
#include "common/pysem.hpp"

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

pysem::module_namespace ns;

constexpr const char *kService = "tovan";
constexpr long kDefaultJwtLifetime = 7200;

// ---------------------------------------------------------------------------
// Small Python idioms

bool is_general_error(const py::error_already_set &e) { return aio::is_ordinary(e); }

bool is_empty_text(py::handle text) { return PyUnicode_GET_LENGTH(text.ptr()) == 0; }

// asyncio.to_thread(fn, first, second): the one blocking call goes to the
// loop's default executor, with the caller's context.
py::object to_thread(py::handle fn, py::handle first, py::handle second) {
    return ns["asyncio"].attr("to_thread")(fn, first, second);
}

// The normalised form of e-mails: "" for a falsy value, else its text form
// trimmed and lower-cased.
py::str normalized(py::handle value) {
    if (!pysem::truthy(value)) return py::str("");
    return pysem::strip(pysem::text_form(value)).attr("lower")();
}

py::str text_or_empty(py::handle value) {
    return pysem::truthy(value) ? pysem::text_form(value) : py::str("");
}

// raise TovanCredentialBindingError(message) [from cause]; `cause` is an
// exception instance (with its traceback) or null.
[[noreturn]] void raise_binding_error(py::handle message, py::handle cause = py::handle()) {
    py::object error = ns["TovanCredentialBindingError"](message);
    if (!PyExceptionInstance_Check(error.ptr())) throw py::type_error("exceptions must derive from BaseException");
    if (!cause) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
    PyException_SetCause(error.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    PyException_SetContext(error.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    py::object type = py::type::of(error);
    // Restore rather than SetObject: the latter would replace the context
    // with whatever exception an outer frame happens to be handling.
    PyErr_Restore(type.release().ptr(), error.release().ptr(), nullptr);
    throw py::error_already_set();
}

// The exception of `e` as an except clause binds it: with its traceback, which
// the fetched error keeps apart from the exception object.
py::object caught(const py::error_already_set &e) {
    if (e.trace()) PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
    return e.value();
}

// raise TovanCredentialBindingError(prefix + str(cause)) from cause
[[noreturn]] void raise_wrapped(const char *prefix, py::handle cause) {
    py::str text = pysem::text_form(cause);
    raise_binding_error(py::str(prefix) + text, cause);
}

// ---------------------------------------------------------------------------
// Error type

py::dict error_to_dict(py::object self) {
    py::dict result;
    result["code"] = self.attr("code");
    result["message"] = pysem::text_form(self);
    return result;
}

// __init__(self, message): the one message text. A plain C method, as
// pybind11 would treat a function named __init__ as its own constructor.
PyObject *error_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "message", nullptr};
    PyObject *self = nullptr, *message = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char **>(keywords), &self, &message))
        return nullptr;
    if (!PyUnicode_CheckExact(message)) {
        PyErr_Format(PyExc_TypeError, "argument 'message' must be str, not %s", Py_TYPE(message)->tp_name);
        return nullptr;
    }
    return PyObject_CallMethod(PyExc_RuntimeError, "__init__", "OO", self, message);
}

PyMethodDef error_init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(error_init)),
                              METH_VARARGS | METH_KEYWORDS, nullptr};

py::object make_error_type() {
    py::dict attrs;
    attrs["code"] = py::str("TOVAN_CREDENTIAL_ENSURE_FAILED");
    py::object type = pysem::steal(PyErr_NewExceptionWithDoc("pelorin.mcp.lusmere.TovanCredentialBindingError",
                                                             "当前 MCP 身份无法建立可信 TOVAN 凭证绑定。",
                                                             PyExc_RuntimeError, attrs.ptr()));
    type.attr("__init__") = pysem::c_method(&error_init_def, py::str("pelorin.mcp.lusmere"));
    type.attr("to_dict") = py::cpp_function(error_to_dict, py::name("to_dict"), py::is_method(type));
    return type;
}

// ---------------------------------------------------------------------------
// Login lock registry: {event loop (weak): {credential scope: asyncio.Lock (weak)}}

// Holds a threading.Lock. Its acquire() drops the GIL while it waits, so a
// thread that holds the lock and needs the GIL back is never starved by one
// that waits for the lock.
class held_thread_lock {
  public:
    explicit held_thread_lock(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~held_thread_lock() {
        PyObject *result = PyObject_CallMethod(lock_.ptr(), "release", nullptr);
        if (result) Py_DECREF(result);
        else PyErr_WriteUnraisable(lock_.ptr());
    }
    held_thread_lock(const held_thread_lock &) = delete;
    held_thread_lock &operator=(const held_thread_lock &) = delete;

  private:
    py::object lock_;
};

py::object get_login_lock(py::object credential_scope) {
    pysem::exact_str(credential_scope, "credential_scope");
    py::object loop = ns["asyncio"].attr("get_running_loop")();
    py::object registry = ns["_login_locks"];
    held_thread_lock hold(ns["_login_locks_guard"]);
    py::object locks = registry.attr("get")(loop);
    if (locks.is_none()) {
        locks = ns["WeakValueDictionary"]();
        registry[loop] = locks;
    }
    py::object lock = locks.attr("get")(credential_scope);
    if (lock.is_none()) {
        lock = ns["asyncio"].attr("Lock")();
        locks[credential_scope] = lock;
    }
    return lock;
}

// ---------------------------------------------------------------------------
// JWT lifetime

bool less_than(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// Seconds the JWT stays valid, from its "exp" claim: never below 0, 7200
// when the claim cannot be read, never above MAX_JWT_TTL.
py::object jwt_expires_in(py::object jwt) {
    pysem::exact_str(jwt, "jwt");
    py::object max_ttl = pysem::import_from("pelorin.auth.core.token_manager", "MAX_JWT_TTL");
    py::object lifetime = py::int_(kDefaultJwtLifetime);
    try {
        py::object exp = ns["_decode_jwt_payload"](jwt).attr("get")("exp");
        if (pysem::truthy(exp)) {
            py::object expires_at = pysem::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyFloat_Type), exp.ptr()));
            py::object now = ns["datetime"].attr("now")(ns["timezone"].attr("utc")).attr("timestamp")();
            py::object remaining = pysem::steal(PyNumber_Subtract(expires_at.ptr(), now.ptr()));
            py::object seconds = pysem::steal(PyNumber_Long(remaining.ptr()));
            py::int_ zero(0);
            lifetime = less_than(zero, seconds) ? seconds : zero;
        }
    } catch (py::error_already_set &e) {
        if (!is_general_error(e)) throw;
    }
    if (less_than(max_ttl, lifetime)) return pysem::steal(PyNumber_Long(max_ttl.ptr()));
    return lifetime;
}

// ---------------------------------------------------------------------------
// JWT fetch and store, invalidation

// The caller's isolated store, or the default store for a null directory.
py::object open_store(py::handle store_type, py::handle credential_dir) {
    if (credential_dir.is_none()) return store_type();
    return store_type(py::arg("base_dir") = credential_dir);
}

aio::task fetch_and_store_body(py::object session_id, py::object credential_dir) {
    py::object auth_client = pysem::import_from("pelorin.auth", "AuthClient");
    py::object store_type = pysem::import_from("pelorin.auth.storage.credential_store", "CredentialStore");
    py::object invalidate = pysem::import_from("pelorin.mcp.credential_cache", "invalidate_credential_cache");
    py::object exchange = auth_client().attr("get_token_by_session");
    py::object jwt = co_await aio::wait(to_thread(exchange, session_id, py::str(kService)));
    // Back on the loop's thread: the save and the invalidation are quick.
    py::object store = open_store(store_type, credential_dir);
    py::object lifetime = ns["_jwt_expires_in"](jwt);  // refuses a JWT that is not text
    store.attr("save_token")(kService, jwt, lifetime);
    invalidate(py::arg("base_dir") = credential_dir);
    co_return jwt;
}

aio::task fetch_and_store_tovan_jwt(py::object session_id, py::object credential_dir) {
    pysem::exact_str(session_id, "session_id");
    return fetch_and_store_body(std::move(session_id), std::move(credential_dir));
}

py::object invalidate_lusmere(py::object credential_dir) {
    py::object store_type = pysem::import_from("pelorin.auth.storage.credential_store", "CredentialStore");
    py::object invalidate = pysem::import_from("pelorin.mcp.credential_cache", "invalidate_credential_cache");
    open_store(store_type, credential_dir).attr("clear")();
    invalidate(py::arg("base_dir") = credential_dir);
    return py::none();
}

// ---------------------------------------------------------------------------
// Rejection recognition

bool is_rejection_status(py::handle status) {
    static constexpr long statuses[] = {401, 403};
    for (long code : statuses) {
        py::int_ expected(code);
        int r = PyObject_RichCompareBool(status.ptr(), expected.ptr(), Py_EQ);
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
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
    py::object result = co_await aio::wait(ns["auth_mcp_login"]());
    if (pysem::get(result, "success").ptr() != Py_True) {
        py::object error = pysem::get(result, "error");
        if (!pysem::truthy(error)) error = py::dict();
        py::object message = pysem::get(error, "message");
        if (!pysem::truthy(message)) message = py::str("自动建立 TOVAN 隔离登录态失败");
        raise_binding_error(pysem::text_form(message));
    }
    if (!pysem::truthy(cache.attr("is_authenticated")()))
        raise_binding_error(py::str("TOVAN 隔离登录态未保存成功"));
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Identity reads

py::object get_authenticated_user_email() {
    py::str transport_email = normalized(ns["get_current_user_email"]());
    if (!is_empty_text(transport_email)) return transport_email;
    py::object credential_dir = ns["_get_credential_dir"]();
    py::object cache = ns["_get_isolated_credential_cache"](credential_dir);
    py::str cached_email = normalized(cache.attr("get_email")());
    if (!is_empty_text(cached_email)) return cached_email;
    return py::none();
}

py::tuple read_remote_identity(py::object cache) {
    py::object session_id = cache.attr("get_session_id")();
    py::str user_email = normalized(ns["_get_authenticated_user_email"]());
    py::str cached_email = normalized(cache.attr("get_email")());
    if (!pysem::truthy(session_id) || is_empty_text(user_email))
        raise_binding_error(py::str("当前 MCP 用户的 TOVAN 隔离凭证不完整"));
    if (!is_empty_text(cached_email) && !user_email.equal(cached_email))
        raise_binding_error(py::str("当前 MCP 用户与 TOVAN 隔离凭证用户不一致"));
    return py::make_tuple(session_id, user_email);
}

// ---------------------------------------------------------------------------
// The binding record

py::object make_binding_type() {
    py::object str_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    py::object optional_str = pysem::steal(PyNumber_Or(str_type.ptr(), Py_None));
    py::object pair = pysem::steal(Py_GenericAlias(reinterpret_cast<PyObject *>(&PyTuple_Type),
                                                   py::make_tuple(optional_str, optional_str).ptr()));
    py::dict annotations;
    annotations["credential_scope"] = str_type;
    annotations["user_email"] = str_type;
    annotations["session_id"] = optional_str;
    annotations["jwt"] = optional_str;
    annotations["runtime_auth"] = pysem::steal(PyNumber_Or(pair.ptr(), Py_None));
    annotations["refreshed"] = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyBool_Type));

    py::dict body;
    body["__module__"] = py::str("pelorin.mcp.lusmere");
    body["__qualname__"] = py::str("TovanCredentialBinding");
    body["__annotations__"] = annotations;
    body["runtime_auth"] = py::none();
    body["refreshed"] = py::bool_(false);
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type))(
        "TovanCredentialBinding", py::make_tuple(), body);
    return ns["dataclass"](py::arg("frozen") = true)(cls);
}

// ---------------------------------------------------------------------------
// ensure_lusmere

bool is_gateway_mode(py::handle auth_mode) {
    for (const char *mode : {"corvane_viewer", "corvane_session", "internal"})
        if (py::str(mode).equal(auth_mode)) return true;
    return false;
}

py::object make_binding(py::handle scope, py::handle user_email, py::handle session_id, py::handle jwt,
                        py::handle runtime_auth, bool refreshed) {
    return ns["TovanCredentialBinding"](py::arg("credential_scope") = scope, py::arg("user_email") = user_email,
                                        py::arg("session_id") = session_id, py::arg("jwt") = jwt,
                                        py::arg("runtime_auth") = runtime_auth, py::arg("refreshed") = refreshed);
}

py::object fetch_jwt(py::handle session_id, py::handle credential_dir) {
    return ns["_fetch_and_store_tovan_jwt"](session_id, credential_dir);
}

// Credentials that the trusted gateway passed in; nothing is stored.
aio::task gateway_binding(py::str auth_mode, py::object provided_session, py::object provided_jwt, bool require_jwt) {
    py::str user_email = normalized(ns["get_current_user_email"]());
    if (is_empty_text(user_email)) raise_binding_error(py::str("当前 Corvane 用户邮箱缺失，无法安全执行 TOVAN 任务"));
    py::object jwt = provided_jwt;
    bool refreshed = false;
    if (require_jwt && !pysem::truthy(jwt)) {
        try {
            py::object exchange = pysem::import_from("pelorin.auth", "AuthClient")().attr("get_token_by_session");
            jwt = co_await aio::wait(to_thread(exchange, provided_session, py::str(kService)));
            refreshed = true;
        } catch (py::error_already_set &e) {
            if (!is_general_error(e)) throw;
            raise_wrapped("获取 TOVAN JWT 失败：", caught(e));
        }
    }
    py::str scope = auth_mode + py::str(":") + user_email;
    co_return make_binding(scope, user_email, provided_session, jwt, py::make_tuple(provided_session, jwt), refreshed);
}

// The caller's isolated credential directory; logins and JWT fetches of one
// scope are serialised by its login lock, so that concurrent requests log in
// once and reuse what the first one stored.
aio::task isolated_binding(bool require_jwt, bool force_relogin) {
    py::object credential_dir = ns["_get_credential_dir"]();
    if (credential_dir.is_none()) raise_binding_error(py::str("无法确定当前 MCP 用户的隔离凭证作用域"));
    py::str scope = pysem::text_form(credential_dir);
    py::object cache = ns["_get_isolated_credential_cache"](credential_dir);
    py::object stale_session_id = force_relogin ? py::object(cache.attr("get_session_id")()) : py::none();

    if (!force_relogin && pysem::truthy(cache.attr("is_authenticated")()) &&
        (!require_jwt || pysem::truthy(cache.attr("get_jwt")(kService)))) {
        auto [session_id, user_email] = pysem::unpack2(ns["_read_remote_identity"](cache));
        co_return make_binding(scope, user_email, session_id, cache.attr("get_jwt")(kService), py::none(), false);
    }

    aio::async_with login_lock(ns["_get_login_lock"](scope));
    co_await login_lock.enter();
    py::object binding;
    aio::failure failure;
    try {
        bool refreshed = false, logged_in = false;
        py::object current_session_id = force_relogin ? py::object(cache.attr("get_session_id")()) : py::none();
        // Another request renewed the session while this one waited.
        bool already_renewed = force_relogin && pysem::truthy(current_session_id) &&
                               !current_session_id.equal(stale_session_id);
        if (force_relogin ? !already_renewed : !pysem::truthy(cache.attr("is_authenticated")())) {
            co_await aio::wait(ns["_auto_login"](cache));
            refreshed = logged_in = true;
        }
        auto [session_id, user_email] = pysem::unpack2(ns["_read_remote_identity"](cache));
        py::object jwt = cache.attr("get_jwt")(kService);
        if (require_jwt && !pysem::truthy(jwt)) {
            // What follows a failed fetch handles it as an except block would:
            // errors raised there keep the failure as their context.
            aio::failure fetch_failure;
            try {
                jwt = co_await aio::wait(fetch_jwt(session_id, credential_dir));
                refreshed = true;
            } catch (py::error_already_set &e) {
                if (!is_general_error(e)) throw;
                fetch_failure.capture();
            }
            if (fetch_failure) {
                {
                    aio::handling handled(fetch_failure);
                    bool auth_rejected = pysem::truthy(ns["_is_auth_rejection"](fetch_failure.value()));
                    // Only a refusal of a session this call did not just make
                    // earns a fresh login; the refused credentials go either way.
                    if (auth_rejected) ns["_invalidate_lusmere"](credential_dir);
                    if (logged_in || !auth_rejected) raise_wrapped("获取 TOVAN JWT 失败：", fetch_failure.value());
                }
                co_await aio::wait(ns["_auto_login"](cache), fetch_failure);
                refreshed = logged_in = true;
                {
                    aio::handling handled(fetch_failure);
                    std::tie(session_id, user_email) = pysem::unpack2(ns["_read_remote_identity"](cache));
                }
                try {
                    jwt = co_await aio::wait(fetch_jwt(session_id, credential_dir), fetch_failure);
                } catch (py::error_already_set &e) {
                    if (!is_general_error(e)) throw;
                    // An exchange error comes back from the worker thread through
                    // its future, unchained; as in an except block, the first
                    // failure becomes its context.
                    py::object retry_failure = caught(e);
                    auto context = py::reinterpret_steal<py::object>(PyException_GetContext(retry_failure.ptr()));
                    if (!context) PyException_SetContext(retry_failure.ptr(), fetch_failure.value().release().ptr());
                    raise_wrapped("重新登录后获取 TOVAN JWT 失败：", retry_failure);
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
    auto [session_id, jwt] = pysem::unpack2(ns["_get_auth_pair"](kService, provided_session, provided_jwt));
    py::str user_email = normalized(ns["_get_authenticated_user_email"]());
    if (!pysem::truthy(session_id)) raise_binding_error(py::str("无 TOVAN 登录态，请先完成 pelorin auth login"));
    if (is_empty_text(user_email)) raise_binding_error(py::str("当前 MCP 用户邮箱缺失，无法安全执行 TOVAN 任务"));
    bool refreshed = false;
    if (require_jwt && !pysem::truthy(jwt)) {
        try {
            jwt = co_await aio::wait(fetch_jwt(session_id, py::none()));
            refreshed = true;
        } catch (py::error_already_set &e) {
            if (!is_general_error(e)) throw;
            raise_wrapped("获取 TOVAN JWT 失败：", caught(e));
        }
    }
    bool passed = pysem::truthy(provided_session) || pysem::truthy(provided_jwt);
    py::object runtime_auth = passed ? py::object(py::make_tuple(session_id, jwt)) : py::none();
    co_return make_binding(py::str("default"), user_email, session_id, jwt, runtime_auth, refreshed);
}

aio::task ensure_body(py::object provided_session, py::object provided_jwt, py::object require_jwt_arg,
                      py::object force_relogin_arg) {
    py::str auth_mode = text_or_empty(ns["get_current_auth_mode"]());
    bool require_jwt = pysem::truthy(require_jwt_arg);
    if (is_gateway_mode(auth_mode) && (pysem::truthy(provided_session) || pysem::truthy(provided_jwt)))
        co_return co_await gateway_binding(auth_mode, provided_session, provided_jwt, require_jwt);
    if (pysem::truthy(ns["get_current_api_key"]()))
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

} // namespace

PELORIN_MODULE(lusmere, m) {
    m.doc() = "按 MCP 请求身份解析并确保 TOVAN 凭证绑定。";
    ns.bind(m);

    m.attr("asyncio") = py::module_::import("asyncio");
    m.attr("threading") = py::module_::import("threading");
    m.attr("dataclass") = py::module_::import("dataclasses").attr("dataclass");
    py::module_ datetime_module = py::module_::import("datetime");
    m.attr("datetime") = datetime_module.attr("datetime");
    m.attr("timezone") = datetime_module.attr("timezone");
    m.attr("Path") = py::module_::import("pathlib").attr("Path");
    py::module_ weakref = py::module_::import("weakref");
    m.attr("WeakKeyDictionary") = weakref.attr("WeakKeyDictionary");
    m.attr("WeakValueDictionary") = weakref.attr("WeakValueDictionary");

    py::module_ context = py::module_::import("pelorin.mcp.context");
    for (const char *name : {"get_current_api_key", "get_current_auth_mode", "get_current_user_email"})
        m.attr(name) = context.attr(name);
    m.attr("auth_mcp_login") = py::module_::import("pelorin.mcp.tools.auth").attr("auth_mcp_login");
    py::module_ helpers = py::module_::import("pelorin.mcp.tools.helpers");
    for (const char *name : {"_decode_jwt_payload", "_get_auth_pair", "_get_credential_dir", "_get_isolated_credential_cache"})
        m.attr(name) = helpers.attr(name);

    m.attr("TovanCredentialBindingError") = make_error_type();
    m.attr("_login_locks_guard") = m.attr("threading").attr("Lock")();
    m.attr("_login_locks") = m.attr("WeakKeyDictionary")();
    m.def("_get_login_lock", &get_login_lock, py::arg("credential_scope"));
    m.attr("TovanCredentialBinding") = make_binding_type();
    m.def("_get_authenticated_user_email", &get_authenticated_user_email);
    m.def("_jwt_expires_in", &jwt_expires_in, py::arg("jwt"));
    aio::def(m, "_fetch_and_store_tovan_jwt", &fetch_and_store_tovan_jwt, py::arg("session_id"), py::arg("credential_dir"));
    m.def("_invalidate_lusmere", &invalidate_lusmere, py::arg("credential_dir"));
    m.def("_is_auth_rejection", &is_auth_rejection, py::arg("exc"));
    aio::def(m, "_auto_login", &auto_login, py::arg("cache"));
    m.def("_read_remote_identity", &read_remote_identity, py::arg("cache"));
    aio::def(m, "ensure_lusmere", &ensure_lusmere, py::kw_only(), py::arg("provided_session") = py::none(),
             py::arg("provided_jwt") = py::none(), py::arg("require_jwt") = false, py::arg("force_relogin") = false);
}
