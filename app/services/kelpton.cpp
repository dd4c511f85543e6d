// Repository credential store: saves, tests and erases the user's HTTP(S)
// repository credentials through `git credential`, so that whatever helper the
// system's Git is configured with holds them. The token reaches Git only on
// its standard input, never on a command line.
//
// The host's Git runner and error type are bound as module attributes at load
// and looked up there on each call, so that they can be patched like a Python
// module's imports.
#include "common/module.hpp"
#include "common/pysem.hpp"

#include <string>

namespace {

pysem::module_namespace ns;

constexpr const char *kCode = "GIT-002";
constexpr const char *kFixHint = "检查 Git Credential Manager 后重新执行 app init。";
constexpr const char *kIncomplete = "Corvane 返回的 Git 凭据不完整。";
constexpr const char *kWriteFailed = "Git 凭据写入系统 credential helper 失败。";
constexpr const char *kEraseFailed = "清理本机旧 Git 凭据失败。";
constexpr const char *kUnsupportedUrl = "仅支持为 HTTP(S) 仓库保存 Git 凭据。";
// The credential protocol is line based and C-string based: a line break or a
// NUL would end the value early and let the rest pose as further keys. Every
// boundary that _parse_fields splits at counts, or a value saved with one could
// never be read back or matched again.
constexpr const char *kBadHost = "仓库地址的主机名包含换行符或空字符，无法交给 git credential。";
constexpr const char *kBadUsername = "Git 凭据的用户名包含换行符或空字符，无法交给 git credential。";
constexpr const char *kBadToken = "Git 凭据的令牌包含换行符或空字符，无法交给 git credential。";

// Standard-library objects, created once and kept for the interpreter's life.
struct State {
    py::object urlsplit; // urllib.parse.urlsplit
};

State &state() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<State> storage;
    return storage
        .call_once_and_store_result([] { return State{py::module_::import("urllib.parse").attr("urlsplit")}; })
        .get_stored();
}

[[noreturn]] void raise_git_error(const char *message) { pysem::raise_instance(ns["AppGitError"](kCode, message)); }

[[noreturn]] void raise_git_error_with_hint(const char *message) {
    pysem::raise_instance(ns["AppGitError"](kCode, message, py::arg("fix_hint") = kFixHint));
}

bool has_protocol_breaker(py::handle text) {
    pysem::text_view t(text);
    for (Py_ssize_t i = 0; i < t.size(); ++i) {
        Py_UCS4 c = t[i];
        if (c == '\0' || pysem::is_line_boundary(c)) return true;
    }
    return false;
}

bool non_empty(py::handle text) { return !text.is_none() && PyUnicode_GET_LENGTH(text.ptr()) > 0; }

py::object credential_payload(py::object repo_url, py::object username, py::object password) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::optional_exact_str(username, "username");
    pysem::optional_exact_str(password, "password");

    py::object parts = state().urlsplit(repo_url);
    py::str scheme = pysem::text_form(parts.attr("scheme"));
    py::object hostname = parts.attr("hostname");
    bool web = PyUnicode_CompareWithASCIIString(scheme.ptr(), "http") == 0 ||
               PyUnicode_CompareWithASCIIString(scheme.ptr(), "https") == 0;
    if (!web || !pysem::truthy(hostname)) raise_git_error(kUnsupportedUrl);

    // Reading the port raises the URL library's own error for a bad one.
    py::object port = parts.attr("port");
    py::str host = pysem::text_form(hostname);
    if (!port.is_none() && pysem::truthy(port)) host = pysem::join(":", py::make_tuple(host, pysem::text_form(port)));

    if (has_protocol_breaker(host)) raise_git_error(kBadHost);
    bool with_user = non_empty(username), with_password = non_empty(password);
    if (with_user && has_protocol_breaker(username)) raise_git_error(kBadUsername);
    if (with_password && has_protocol_breaker(password)) raise_git_error(kBadToken);

    py::list pieces;
    auto line = [&pieces](const char *key, py::handle value) {
        pieces.append(py::str(key));
        pieces.append(value);
        pieces.append(py::str("\n"));
    };
    line("protocol=", scheme);
    line("host=", host);
    if (with_user) line("username=", username);
    if (with_password) line("password=", password);
    pieces.append(py::str("\n"));
    return pysem::join("", pieces);
}

py::object parse_fields(py::object value) {
    pysem::exact_str(value, "value");
    py::dict fields;
    for (py::handle line : pysem::split_lines(value)) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(line.ptr());
        Py_ssize_t eq = PyUnicode_FindChar(line.ptr(), '=', 0, size, 1);
        if (eq == -2) throw py::error_already_set();
        if (eq < 0) continue;
        py::str key = pysem::substr(line, 0, eq);
        py::str val = pysem::substr(line, eq + 1, size);
        if (PyDict_SetItem(fields.ptr(), key.ptr(), val.ptr()) < 0) throw py::error_already_set();
    }
    return fields;
}

bool not_equal(py::handle a, py::handle b) {
    return pysem::truthy(pysem::steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

// One run of `git credential <operation>` with the request on standard input.
py::object run_credential(py::handle self, py::handle root, const char *operation, py::handle request) {
    py::list args;
    args.append(py::str("credential"));
    args.append(py::str(operation));
    return self.attr("runner").attr("run")(root, args, py::arg("check") = false, py::arg("input_text") = request);
}

bool failed(py::handle result) { return not_equal(result.attr("returncode"), py::int_(0)); }

py::object payload(py::handle repo_url, py::handle username, py::handle password = py::none()) {
    return ns["_credential_payload"](repo_url, py::arg("username") = username, py::arg("password") = password);
}

void save_credential(py::object self, py::object root, py::object repo_url, py::object username, py::object token) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::exact_str(username, "username");
    pysem::exact_str(token, "token");
    if (!non_empty(token) || !non_empty(username)) raise_git_error(kIncomplete);
    py::object request = payload(repo_url, username, token);
    if (failed(run_credential(self, root, "approve", request))) raise_git_error_with_hint(kWriteFailed);
}

bool has_credential(py::object self, py::object root, py::object repo_url, py::object username,
                    py::object token_hint) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::optional_exact_str(username, "username");
    pysem::optional_exact_str(token_hint, "token_hint");
    py::object request = payload(repo_url, username);
    py::object result = run_credential(self, root, "fill", request);
    if (failed(result)) return false;

    py::object fields = ns["_parse_fields"](result.attr("stdout"));
    py::object password = pysem::get(fields, "password");
    if (!pysem::truthy(password)) return false;
    if (!username.is_none() && not_equal(pysem::get(fields, "username"), username)) return false;
    if (token_hint.is_none()) return true;
    return pysem::truthy(password.attr("endswith")(token_hint));
}

void erase_credential(py::object self, py::object root, py::object repo_url, py::object username) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::optional_exact_str(username, "username");
    py::object request = payload(repo_url, username);
    if (failed(run_credential(self, root, "reject", request))) raise_git_error_with_hint(kEraseFailed);
}

// __init__(self, runner=None). Written against the C API: a pybind11 function
// named __init__ is taken for a constructor of a pybind11 class, and this is a
// plain class whose instances keep the runner in their own __dict__.
PyObject *store_init(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"", "runner", nullptr};
    PyObject *self = nullptr, *runner = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:__init__", const_cast<char **>(keywords), &self, &runner))
        return nullptr;
    bool done = pysem::run_c_api([&] {
        py::object chosen = py::reinterpret_borrow<py::object>(runner);
        if (!pysem::truthy(chosen)) chosen = ns["GitRunner"]();
        py::handle(self).attr("runner") = chosen;
    });
    if (!done) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef store_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_init)), METH_VARARGS | METH_KEYWORDS,
    "__init__($self, /, runner=None)\n--\n\n"
    "Keeps the given Git runner, or a new GitRunner when none (or a false one) is given."};

} // namespace

PELORIN_MODULE(kelpton, m) {
    py::options options;
    options.disable_function_signatures();
    ns.bind(m);
    m.doc() = "Repository credential store through git credential.";

    m.attr("GitRunner") = pysem::import_from("pelorin.app.services.gitops", "GitRunner");
    m.attr("AppGitError") = pysem::import_from("pelorin.app.domain.exceptions", "AppGitError");
    state();

    m.def("_credential_payload", &credential_payload, py::arg("repo_url"), py::kw_only(), py::arg("username"),
          py::arg("password") = py::none(), "The credential request text that git credential reads.");
    m.def("_parse_fields", &parse_fields, py::arg("value"), "The key=value fields of a git credential answer.");

    py::object cls = pysem::make_class(m, "KelptonentialStore",
                                       "Saves, tests and erases HTTP(S) repository credentials through git credential.");
    cls.attr("__init__") = pysem::c_method(&store_init_def, m.attr("__name__"));
    pysem::def_method(cls, "save_credential", &save_credential, py::arg("root"), py::kw_only(), py::arg("repo_url"),
                      py::arg("username"), py::arg("token"),
                      "Stores the user name and token for the repository's host (git credential approve).");
    pysem::def_method(cls, "has_credential", &has_credential, py::arg("root"), py::kw_only(), py::arg("repo_url"),
                      py::arg("username"), py::arg("token_hint") = py::none(),
                      "Whether Git holds a password for the repository's host that belongs to the user and, given a "
                      "hint, ends with it (git credential fill).");
    pysem::def_method(cls, "erase_credential", &erase_credential, py::arg("root"), py::kw_only(), py::arg("repo_url"),
                      py::arg("username"),
                      "Removes the stored credential for the repository's host (git credential reject).");
    m.attr("KelptonentialStore") = cls;
}
