// Binds the caller of an MCP business tool to trusted credentials of the
// operations platform: gateway-supplied credentials, the caller's isolated
// credential directory (with single-flight logins per scope), or the local
// login.
//
// Host names are module attributes, looked up when called, so that tests and
// the host can patch them as they would a Python module's globals. The host
// modules that only some roads need are imported at every use, so the module
// loads without them.
#include "common/module.hpp"
#include "common/pysem.hpp"

#include <unordered_set>
#include <vector>

namespace {

pysem::module_namespace ns;

constexpr const char *kService = "tovan";
constexpr long kDefaultJwtLifetime = 7200;

// ---------------------------------------------------------------------------
// Small Python idioms

// `from module import name`, at the time of the call.
py::object import_from(const char *module, const char *name) {
    py::module_ imported = py::module_::import(module);
    PyObject *found = PyObject_GetAttrString(imported.ptr(), name);
    if (found) return py::reinterpret_steal<py::object>(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw py::error_already_set();
}

// getattr(value, name, None)
py::object attr_or_none(py::handle value, const char *name) {
    PyObject *found = PyObject_GetAttrString(value.ptr(), name);
    if (found) return py::reinterpret_steal<py::object>(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

bool is_general_error(const py::error_already_set &e) { return e.matches(PyExc_Exception); }

// The normalised form of e-mails: "" for a falsy value, else its text form
// trimmed and lower-cased.
py::str normalized(py::handle value) {
    if (!pysem::truthy(value)) return py::str("");
    return pysem::strip(pysem::text_form(value)).attr("lower")();
}

[[maybe_unused]] py::str text_or_empty(py::handle value) {
    return pysem::truthy(value) ? pysem::text_form(value) : py::str("");
}

// raise TovanCredentialBindingError(message) [from cause]
[[noreturn]] void raise_binding_error(py::handle message, const py::error_already_set *cause = nullptr) {
    py::object error = ns["TovanCredentialBindingError"](message);
    if (!PyExceptionInstance_Check(error.ptr())) throw py::type_error("exceptions must derive from BaseException");
    if (!cause) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
        throw py::error_already_set();
    }
    const py::object &value = cause->value();
    if (cause->trace()) {
        py::object attached = py::reinterpret_steal<py::object>(PyException_GetTraceback(value.ptr()));
        if (!attached) PyException_SetTraceback(value.ptr(), cause->trace().ptr());
    }
    PyException_SetCause(error.ptr(), py::object(value).release().ptr());
    PyException_SetContext(error.ptr(), py::object(value).release().ptr());
    py::object type = py::type::of(error);
    // Restore rather than SetObject: the latter would replace the context
    // with whatever exception an outer frame happens to be handling.
    PyErr_Restore(type.release().ptr(), error.release().ptr(), nullptr);
    throw py::error_already_set();
}

// raise TovanCredentialBindingError(prefix + str(cause)) from cause
[[noreturn, maybe_unused]] void raise_wrapped(const char *prefix, const py::error_already_set &cause) {
    py::str text = pysem::text_form(cause.value());
    raise_binding_error(py::str(prefix) + text, &cause);
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
    py::object init = pysem::steal(PyCFunction_New(&error_init_def, nullptr));
    type.attr("__init__") = pysem::steal(PyInstanceMethod_New(init.ptr()));
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
    py::object max_ttl = import_from("pelorin.auth.core.token_manager", "MAX_JWT_TTL");
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
// Store invalidation

// The caller's isolated store, or the default store for a null directory.
py::object open_store(py::handle store_type, py::handle credential_dir) {
    if (credential_dir.is_none()) return store_type();
    return store_type(py::arg("base_dir") = credential_dir);
}

py::object invalidate_lusmere(py::object credential_dir) {
    py::object store_type = import_from("pelorin.auth.storage.credential_store", "CredentialStore");
    py::object invalidate = import_from("pelorin.mcp.credential_cache", "invalidate_credential_cache");
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
        py::object status = attr_or_none(current, "status_code");
        py::object response = attr_or_none(current, "response");
        if (is_rejection_status(status)) return true;
        if (!response.is_none() && is_rejection_status(attr_or_none(response, "status_code"))) return true;
        py::object cause = attr_or_none(current, "__cause__");
        current = pysem::truthy(cause) ? cause : attr_or_none(current, "__context__");
    }
    return false;
}

// ---------------------------------------------------------------------------
// Identity reads

py::object get_authenticated_user_email() {
    py::str transport_email = normalized(ns["get_current_user_email"]());
    if (PyUnicode_GET_LENGTH(transport_email.ptr()) != 0) return transport_email;
    py::object credential_dir = ns["_get_credential_dir"]();
    py::object cache = ns["_get_isolated_credential_cache"](credential_dir);
    py::str cached_email = normalized(cache.attr("get_email")());
    if (PyUnicode_GET_LENGTH(cached_email.ptr()) != 0) return cached_email;
    return py::none();
}

py::tuple read_remote_identity(py::object cache) {
    py::object session_id = cache.attr("get_session_id")();
    py::str user_email = normalized(ns["_get_authenticated_user_email"]());
    py::str cached_email = normalized(cache.attr("get_email")());
    if (!pysem::truthy(session_id) || PyUnicode_GET_LENGTH(user_email.ptr()) == 0)
        raise_binding_error(py::str("当前 MCP 用户的 TOVAN 隔离凭证不完整"));
    if (PyUnicode_GET_LENGTH(cached_email.ptr()) != 0 && !user_email.equal(cached_email))
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

} // namespace

PELORIN_MODULE(lusmere, m) {
    m.doc() = "按 MCP 请求身份解析并确保 TOVAN 凭证绑定。";
    ns.bind(m);

    py::module_ asyncio = py::module_::import("asyncio");
    m.attr("asyncio") = asyncio;
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
    m.def("_invalidate_lusmere", &invalidate_lusmere, py::arg("credential_dir"));
    m.def("_is_auth_rejection", &is_auth_rejection, py::arg("exc"));
    m.def("_read_remote_identity", &read_remote_identity, py::arg("cache"));
}
