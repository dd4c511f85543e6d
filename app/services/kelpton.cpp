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

// Made at load and never destroyed. The import may run Python code that loads
// this module afresh: that load makes its own (see pysem::first_built).
PYBIND11_CONSTINIT pysem::first_built<State> kept_state;

State &state() { return *kept_state; }

void load_state() {
    kept_state.get([] { return State{py::module_::import("urllib.parse").attr("urlsplit")}; },
                   " while loading the credential store");
}

// What the host's functions and the runner raise reaches the caller as the
// exception it is: every call that runs Python code goes through pysem::call
// or pysem::call_method.
using pysem::keyword;

[[noreturn]] void raise_git_error(const char *message) {
    pysem::raise_instance(pysem::call(ns["AppGitError"], PYSEM_LIT(kCode), pysem::interned(message)));
}

[[noreturn]] void raise_git_error_with_hint(const char *message) {
    pysem::raise_instance(pysem::call(ns["AppGitError"], PYSEM_LIT(kCode), pysem::interned(message),
                                      keyword{"fix_hint", PYSEM_LIT(kFixHint)}));
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

py::object credential_payload(py::handle repo_url, py::handle username, py::handle password) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::optional_exact_str(username, "username");
    pysem::optional_exact_str(password, "password");

    py::object parts = pysem::call(state().urlsplit, repo_url);
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
    auto line = [&pieces](const py::str &key, py::handle value) {
        pieces.append(key);
        pieces.append(value);
        pieces.append(PYSEM_LIT("\n"));
    };
    line(PYSEM_LIT("protocol="), scheme);
    line(PYSEM_LIT("host="), host);
    if (with_user) line(PYSEM_LIT("username="), username);
    if (with_password) line(PYSEM_LIT("password="), password);
    pieces.append(PYSEM_LIT("\n"));
    return pysem::join(PYSEM_LIT(""), pieces);
}

py::object parse_fields(py::handle value) {
    pysem::exact_str(value, "value");
    py::dict fields;
    for (py::handle line : pysem::split_lines(value)) {
        Py_ssize_t size = PyUnicode_GET_LENGTH(line.ptr());
        Py_ssize_t eq = PyUnicode_FindChar(line.ptr(), '=', 0, size, 1);
        if (eq == -2) pysem::throw_pending();
        if (eq < 0) continue;
        py::str key = pysem::substr(line, 0, eq);
        py::str val = pysem::substr(line, eq + 1, size);
        if (PyDict_SetItem(fields.ptr(), key.ptr(), val.ptr()) < 0) pysem::throw_pending();
    }
    return fields;
}

// One run of `git credential <operation>` with the request on standard input.
py::object run_credential(py::handle self, py::handle root, const py::str &operation, py::handle request) {
    py::list args;
    args.append(PYSEM_LIT("credential"));
    args.append(operation);
    py::object runner = self.attr("runner");
    return pysem::call_method(runner, PYSEM_LIT("run"), root, args, keyword{"check", Py_False},
                              keyword{"input_text", request});
}

bool failed(py::handle result) { return pysem::not_equal(result.attr("returncode"), py::int_(0)); }

py::object payload(py::handle repo_url, py::handle username, py::handle password = py::none()) {
    return pysem::call(ns["_credential_payload"], repo_url, keyword{"username", username},
                       keyword{"password", password});
}

// __init__(runner=None): a false runner (None included) gives a new GitRunner.
void init(py::handle self, py::object runner) {
    if (!pysem::truthy(runner)) runner = pysem::call(ns["GitRunner"]);
    if (PyObject_SetAttr(self.ptr(), PYSEM_LIT("runner").ptr(), runner.ptr()) < 0) pysem::throw_pending();
}

void save_credential(py::handle self, py::handle root, py::handle repo_url, py::handle username, py::handle token) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::exact_str(username, "username");
    pysem::exact_str(token, "token");
    if (!non_empty(token) || !non_empty(username)) raise_git_error(kIncomplete);
    py::object request = payload(repo_url, username, token);
    if (failed(run_credential(self, root, PYSEM_LIT("approve"), request))) raise_git_error_with_hint(kWriteFailed);
}

bool has_credential(py::handle self, py::handle root, py::handle repo_url, py::handle username,
                    py::handle token_hint) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::optional_exact_str(username, "username");
    pysem::optional_exact_str(token_hint, "token_hint");
    py::object request = payload(repo_url, username);
    py::object result = run_credential(self, root, PYSEM_LIT("fill"), request);
    if (failed(result)) return false;

    // _parse_fields(result.stdout): the function is found before the read,
    // which may run anything.
    py::object fields_of = ns["_parse_fields"];
    py::object out = result.attr("stdout");
    py::object fields = pysem::call(fields_of, out);
    py::object password = pysem::get(fields, PYSEM_LIT("password"));
    if (!pysem::truthy(password)) return false;
    if (!username.is_none() && pysem::not_equal(pysem::get(fields, PYSEM_LIT("username")), username)) return false;
    if (token_hint.is_none()) return true;
    return pysem::truthy(pysem::call_method(password, PYSEM_LIT("endswith"), token_hint));
}

void erase_credential(py::handle self, py::handle root, py::handle repo_url, py::handle username) {
    pysem::exact_str(repo_url, "repo_url");
    pysem::optional_exact_str(username, "username");
    py::object request = payload(repo_url, username);
    if (failed(run_credential(self, root, PYSEM_LIT("reject"), request))) raise_git_error_with_hint(kEraseFailed);
}

void register_request_text(py::module_ &m) {
    using pysem::function;
    pysem::define(m, {
        function<&credential_payload>("_credential_payload(repo_url, *, username, password=None)"),
        function<&parse_fields>("_parse_fields(value)"),
    });
}

void register_store(py::module_ &m) {
    using pysem::method;
    py::object cls = pysem::make_class(m, "KelptonentialStore", nullptr);
    pysem::define(cls, {
        method<&init>("__init__(runner=None)"),
        method<&has_credential>("has_credential(root, *, repo_url, username, token_hint=None)"),
        method<&save_credential>("save_credential(root, *, repo_url, username, token)"),
        method<&erase_credential>("erase_credential(root, *, repo_url, username)"),
    });
    m.attr("KelptonentialStore") = cls;
}

} // namespace

PELORIN_MODULE(kelpton, m) {
    m.doc() = "Repository credential store through git credential.";
    pysem::bind_imports(m, {
        {"pelorin.app.services.gitops", "GitRunner"},
        {"pelorin.app.domain.exceptions", "AppGitError"},
    });
    load_state();
    register_request_text(m);
    register_store(m);
    // Bound last, when nothing more runs Python code: code run meanwhile may
    // load this module afresh, which binds its own, and the functions read the
    // namespace of the load that finished last, the one the interpreter keeps.
    ns.bind(m);
}
