// Functions and methods that look like Python's own.
//
// A native function or method is declared by its Python header and its doc
// text, in one table entry:
//
//     pysem::function<&normalize>("normalize(value)", "规范化问题文本。")
//     pysem::method<&format_data>("format_data(data)")
//     pysem::method<&save>("save_credential(root, *, repo_url, username, token)", doc)
//     pysem::method<&init>("__init__(runner=None)", doc)
//     pysem::static_method<&header>("_header(scope, name)")
//
// The header is written as a `def` line would write it (positional
// parameters, `*`, keyword-only parameters, defaults as Python expressions,
// evaluated once in the module's namespace). From it the callable gets what a
// Python callable shows: `__text_signature__` (so inspect.signature and help()
// work, through CPython's own convention for native callables), `__qualname__`
// `Class.method` (methods are the type's own method descriptors), `__doc__`
// exactly the doc text or None, and the interpreter's own wording for a
// missing, surplus, unknown or repeated argument.
//
// The C++ code takes `py::handle` or `py::object` parameters (a method's first
// is self) and returns a Python object, a bool, void (None) or anything that
// pybind11 can cast. A null object is None, unless the code set the Python
// error and returned pysem::raised(): the call then raises that error, which
// spares a refusal on a hot path the cost of a C++ exception. Every C++
// exception that leaves the code becomes the Python error through one path
// (set_error_from_exception), the same for methods, __init__, coroutines and
// module bodies.
//
// Methods call each other through the instance (`self.name(...)`) with via<Fn>,
// which goes straight to Fn's C++ code while that is what the lookup would
// reach; see "Calls through the instance" below.
#pragma once

#include "common/capi.hpp"
#include "common/pysem.hpp"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace pysem {

// ---------------------------------------------------------------------------
// Signatures

// How the callable is bound, which its text signature shows as its first
// parameter: the instance ($self), the module ($module), or nothing (a static
// method).
enum class binding { instance, module, none };

struct signature {
    py::str qualname;            // for messages: "Class.method" or "function"
    bool method = false;         // the instance comes first and counts as argument 1
    Py_ssize_t positional = 0;   // positional-or-keyword parameters (self not counted)
    Py_ssize_t with_default = 0; // of those, how many (the last ones) have a default
    Py_ssize_t keyword_only = 0;
    std::vector<py::str> names;      // interned: positional, then keyword-only
    std::vector<py::object> defaults; // null where the parameter is required
    std::string doc;                  // "name($self, ...)\n--\n\n" and the doc text

    Py_ssize_t total() const { return positional + keyword_only; }
};

namespace detail {

inline std::string trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string_view::npos ? std::string() : std::string(s.substr(b, e - b + 1));
}

// The parameter texts of "name(a, b=1, *, c)", split at top-level commas.
inline std::vector<std::string> split_parameters(std::string_view inside) {
    std::vector<std::string> parts;
    int depth = 0;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < inside.size(); ++i) {
        char c = inside[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            parts.push_back(trim(inside.substr(start, i - start)));
            start = i + 1;
        }
    }
    std::string last = trim(inside.substr(start));
    if (!last.empty() || !parts.empty()) parts.push_back(last);
    return parts;
}

// A default written as a Python expression, evaluated in the module's
// namespace (builtins beside it).
inline py::object evaluate_default(const std::string &expression, py::handle module_dict) {
    py::dict globals = steal_as<py::dict>(PyDict_New());
    globals["__builtins__"] = py::module_::import("builtins");
    PyObject *value = PyRun_String(expression.c_str(), Py_eval_input, globals.ptr(), module_dict.ptr());
    // The tokenizer reports an allocation it could not make by failing alone,
    // with no error set.
    if (!value && !PyErr_Occurred()) PyErr_NoMemory();
    return steal(value);
}

// "Class.method" or "function", the short name, and the parsed header.
inline std::unique_ptr<signature> parse_header(const char *header, py::handle qual_prefix, binding bound,
                                               py::handle module_dict, const char *doc) {
    std::string_view h(header);
    size_t open = h.find('('), close = h.rfind(')');
    if (open == std::string_view::npos || close != h.size() - 1 || open == 0)
        throw std::logic_error(std::string("pysem: malformed header ") + header);
    std::string name(h.substr(0, open));
    auto sig = std::make_unique<signature>();
    sig->method = bound == binding::instance;
    sig->qualname = qual_prefix.is_none() ? py::str(name) : py::str(std::string(py::str(qual_prefix)) + "." + name);

    bool keyword_only = false;
    std::string text = name + "(";
    if (bound != binding::none) text += bound == binding::instance ? "$self" : "$module";
    for (const std::string &part : split_parameters(h.substr(open + 1, close - open - 1))) {
        if (part.empty()) throw std::logic_error(std::string("pysem: empty parameter in ") + header);
        if (text.back() != '(') text += ", ";
        text += part;
        if (part == "*") {
            keyword_only = true;
            continue;
        }
        size_t eq = part.find('=');
        std::string pname = trim(std::string_view(part).substr(0, eq));
        py::object fallback;
        if (eq != std::string::npos) fallback = evaluate_default(trim(std::string_view(part).substr(eq + 1)), module_dict);
        if (keyword_only) {
            ++sig->keyword_only;
        } else {
            if (fallback) ++sig->with_default;
            else if (sig->with_default) throw std::logic_error(std::string("pysem: required after default in ") + header);
            ++sig->positional;
        }
        PyObject *interned = PyUnicode_InternFromString(pname.c_str());
        sig->names.push_back(steal_as<py::str>(interned));
        sig->defaults.push_back(std::move(fallback));
    }
    text += ")\n--\n\n";
    if (doc) text += doc;
    sig->doc = std::move(text);
    return sig;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c', as the interpreter lists names.
inline py::str name_list(const std::vector<PyObject *> &names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'" + std::string(py::str(names[i])) + "'";
    }
    return py::str(out);
}

inline void missing(const signature &sig, const std::vector<PyObject *> &names, const char *kind) {
    py::str listed = name_list(names);
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", sig.qualname.ptr(),
                 static_cast<Py_ssize_t>(names.size()), kind, names.size() == 1 ? "" : "s", listed.ptr());
}

inline void too_many_positional(const signature &sig, Py_ssize_t given, Py_ssize_t keyword_only_given) {
    Py_ssize_t self = sig.method ? 1 : 0;
    Py_ssize_t most = sig.positional + self;
    py::str takes = sig.with_default
                        ? steal_as<py::str>(PyUnicode_FromFormat("from %zd to %zd", most - sig.with_default, most))
                        : steal_as<py::str>(PyUnicode_FromFormat("%zd", most));
    bool plural = sig.with_default || most != 1;
    given += self;
    py::str also = keyword_only_given
                       ? steal_as<py::str>(PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                                given != 1 ? "s" : "", keyword_only_given,
                                                                keyword_only_given != 1 ? "s" : ""))
                       : py::str("");
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", sig.qualname.ptr(),
                 takes.ptr(), plural ? "s" : "", given, also.ptr(), given == 1 && !keyword_only_given ? "was" : "were");
}

inline Py_ssize_t find_name(const signature &sig, PyObject *key) {
    Py_ssize_t n = sig.total();
    for (Py_ssize_t i = 0; i < n; ++i)
        if (sig.names[i].ptr() == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(sig.names[i].ptr(), key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

// Fills out[0..total) with borrowed references to the arguments of a call
// (self excluded), defaults where left out. False with the interpreter's
// TypeError set when the call does not fit the signature.
inline bool bind_arguments(const signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           PyObject **out) noexcept {
    Py_ssize_t total = sig.total();
    if (!kwnames && nargs == sig.positional && sig.keyword_only == 0) {
        std::memcpy(out, args, static_cast<size_t>(nargs) * sizeof(PyObject *));
        return true;
    }
    try {
        for (Py_ssize_t i = 0; i < total; ++i) out[i] = nullptr;
        Py_ssize_t taken = nargs < sig.positional ? nargs : sig.positional;
        for (Py_ssize_t i = 0; i < taken; ++i) out[i] = args[i];
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t at = find_name(sig, key);
            if (at == -2) return false;
            if (at < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", sig.qualname.ptr(), key);
                return false;
            }
            if (out[at]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", sig.qualname.ptr(), key);
                return false;
            }
            out[at] = args[nargs + k];
        }
        if (nargs > sig.positional) {
            Py_ssize_t keyword_only_given = 0;
            for (Py_ssize_t i = sig.positional; i < total; ++i) keyword_only_given += out[i] != nullptr;
            too_many_positional(sig, nargs, keyword_only_given);
            return false;
        }
        std::vector<PyObject *> absent;
        for (Py_ssize_t i = 0; i < sig.positional; ++i) {
            if (out[i]) continue;
            if (sig.defaults[i]) out[i] = sig.defaults[i].ptr();
            else absent.push_back(sig.names[i].ptr());
        }
        if (!absent.empty()) {
            missing(sig, absent, "positional");
            return false;
        }
        for (Py_ssize_t i = sig.positional; i < total; ++i) {
            if (out[i]) continue;
            if (sig.defaults[i]) out[i] = sig.defaults[i].ptr();
            else absent.push_back(sig.names[i].ptr());
        }
        if (!absent.empty()) {
            missing(sig, absent, "keyword-only");
            return false;
        }
        return true;
    } catch (...) {
        set_error_from_exception();
        return false;
    }
}

// ---------------------------------------------------------------------------
// Calling the C++ code

template <class T> inline constexpr bool is_handle_param = std::is_same_v<std::remove_cvref_t<T>, py::handle>;
template <class T> inline constexpr bool is_object_param = std::is_same_v<std::remove_cvref_t<T>, py::object>;

template <class T> decltype(auto) parameter(PyObject *value) {
    static_assert(is_handle_param<T> || is_object_param<T>, "pysem: native parameters are py::handle or py::object");
    if constexpr (is_handle_param<T>) return py::handle(value);
    else return py::reinterpret_borrow<py::object>(value);
}

// What a native result with no object stands for: the error that the code
// set (see pysem::raised), or else None.
inline PyObject *no_object() noexcept { return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None); }

// The new reference a native result becomes, or null with the error set.
template <class R> PyObject *result(R &&value) {
    using T = std::remove_cvref_t<R>;
    if constexpr (std::is_same_v<T, bool>) {
        return Py_NewRef(value ? Py_True : Py_False);
    } else if constexpr (std::is_base_of_v<py::object, T>) {
        PyObject *p = value.release().ptr();
        return p ? p : no_object();
    } else if constexpr (std::is_same_v<T, py::handle>) {
        return value ? Py_NewRef(value.ptr()) : no_object();
    } else {
        return py::cast(std::forward<R>(value)).release().ptr();
    }
}

template <class F> struct traits;
template <class R, class... A> struct traits<R (*)(A...)> {
    using result_type = R;
    using params = std::tuple<A...>;
    static constexpr size_t arity = sizeof...(A);
};

// Fn's parameter and result types, read off its function pointer (a lambda
// without captures converts to one). Calls name Fn itself: a lambda is then
// called on its template parameter object, whereas through its function
// pointer it would run on no object at all, which a coroutine lambda's
// promise would bind as its closure.
template <auto Fn> using traits_of = traits<decltype(+Fn)>;

// Fn(self?, out[0], out[1], ...) as a new reference, null with the error set.
template <auto Fn, bool WithSelf, size_t... I>
PyObject *invoke(PyObject *self, PyObject *const *out, std::index_sequence<I...>) noexcept {
    using T = traits_of<Fn>;
    using P = typename T::params;
    constexpr size_t shift = WithSelf ? 1 : 0;
    try {
        auto call = [&]() -> decltype(auto) {
            if constexpr (WithSelf)
                return Fn(parameter<std::tuple_element_t<0, P>>(self),
                          parameter<std::tuple_element_t<I + shift, P>>(out[I])...);
            else
                return Fn(parameter<std::tuple_element_t<I, P>>(out[I])...);
        };
        if constexpr (std::is_void_v<typename T::result_type>) {
            call();
            Py_RETURN_NONE;
        } else {
            return result(call());
        }
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// The signature of each native function, set when it is defined.
template <auto Fn> inline const signature *signature_of = nullptr;

template <auto Fn, bool WithSelf> constexpr size_t parameter_count() {
    return traits_of<Fn>::arity - (WithSelf ? 1 : 0);
}

template <auto Fn, bool WithSelf> PyObject *call_with(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                                      PyObject *kwnames) noexcept {
    constexpr size_t n = parameter_count<Fn, WithSelf>();
    const signature &sig = *signature_of<Fn>;
    PyObject *out[n ? n : 1];
    if (!bind_arguments(sig, args, nargs, kwnames, out)) return nullptr;
    return invoke<Fn, WithSelf>(self, out, std::make_index_sequence<n>{});
}

// METH_FASTCALL | METH_KEYWORDS entries. A method descriptor passes the
// instance as `self`; a module function passes the module, which the C++
// code does not take; a plain function whose first argument is the instance
// (what a coroutine function wraps) finds it in args[0].
template <auto Fn> PyObject *method_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with<Fn, true>(self, args, nargs, kwnames);
}

template <auto Fn> PyObject *function_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return call_with<Fn, false>(nullptr, args, nargs, kwnames);
}

// The refusal of a call that gives no instance to `def name(self, /, ...)`,
// as the interpreter words it: the keywords are read first (the instance
// passed by keyword is a positional-only argument passed as one), then the
// missing positional arguments are listed, self first.
inline void refuse_without_self(const signature &sig, PyObject *kwnames) noexcept {
    try {
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        bool self_by_keyword = false;
        for (Py_ssize_t k = 0; k < nkw; ++k)
            self_by_keyword = self_by_keyword || PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "self") == 0;
        std::vector<char> given(static_cast<size_t>(sig.total()));
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t at = find_name(sig, key);
            if (at == -2) return;
            if (at >= 0) {
                given[static_cast<size_t>(at)] = 1;
            } else if (self_by_keyword) {
                PyErr_Format(PyExc_TypeError,
                             "%U() got some positional-only arguments passed as keyword arguments: 'self'",
                             sig.qualname.ptr());
                return;
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", sig.qualname.ptr(), key);
                return;
            }
        }
        py::str self_name = interned("self");
        std::vector<PyObject *> absent{self_name.ptr()};
        for (Py_ssize_t i = 0; i < sig.positional; ++i)
            if (!given[static_cast<size_t>(i)] && !sig.defaults[i]) absent.push_back(sig.names[i].ptr());
        missing(sig, absent, "positional");
    } catch (...) {
        set_error_from_exception();
    }
}

template <auto Fn> PyObject *self_first_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 0) {
        refuse_without_self(*signature_of<Fn>, kwnames);
        return nullptr;
    }
    return call_with<Fn, true>(args[0], args + 1, nargs - 1, kwnames);
}

} // namespace detail

// ---------------------------------------------------------------------------
// Definitions

// A method's record for calls through the instance: its name, and what the
// class held under that name once defined.
struct own_method {
    py::str name;
    py::object original;
};

template <auto Fn> inline own_method *own_record = nullptr;

// One entry of a table of definitions: what to make, from what header.
struct definition {
    enum kind_t { method_kind, function_kind, self_first_kind, static_kind } kind;
    const char *header;
    const char *doc;
    _PyCFunctionFastWithKeywords entry;
    const signature **slot;
    // For calls through the instance: where the made method is recorded, or null.
    own_method **own;
    // Turns the made callable into what the scope holds (e.g. a coroutine
    // function around it), given its signature; null keeps it.
    py::object (*wrap)(py::object made, const signature &sig, py::handle module_name) = nullptr;
};

template <auto Fn> constexpr definition method(const char *header, const char *doc = nullptr) {
    static_assert(detail::traits_of<Fn>::arity >= 1, "pysem::method: the C++ code takes self first");
    return {definition::method_kind, header, doc, &detail::method_entry<Fn>, &detail::signature_of<Fn>, &own_record<Fn>};
}

template <auto Fn> constexpr definition function(const char *header, const char *doc = nullptr) {
    return {definition::function_kind, header, doc, &detail::function_entry<Fn>, &detail::signature_of<Fn>, nullptr};
}

// A function that takes the instance as its first positional argument: what
// a coroutine function defined on a class wraps (see aio::method).
template <auto Fn> constexpr definition self_first(const char *header, const char *doc = nullptr) {
    static_assert(detail::traits_of<Fn>::arity >= 1, "pysem::self_first: the C++ code takes self first");
    return {definition::self_first_kind, header, doc, &detail::self_first_entry<Fn>, &detail::signature_of<Fn>, nullptr};
}

// `@staticmethod def name(...)` in the class body: no instance; qualified by
// the class, as the interpreter's own static methods are.
template <auto Fn> constexpr definition static_method(const char *header, const char *doc = nullptr) {
    return {definition::static_kind, header, doc, &detail::function_entry<Fn>, &detail::signature_of<Fn>, nullptr};
}

namespace detail {

// The PyMethodDef of a definition, kept for the life of the process with its
// signature (a callable may outlive every reference the module holds).
inline PyMethodDef *make_method_def(const definition &d, py::handle qual_prefix, py::handle module_dict) {
    // A module loaded again (a new copy in the same process) redefines its
    // functions; the earlier signature stays alive for callables made from it.
    // A module function that another callable wraps (a coroutine function)
    // shows no module: the wrapper that the module holds is bound to none.
    binding bound = d.kind == definition::static_kind       ? binding::none
                    : d.kind != definition::function_kind ? binding::instance
                    : d.wrap                               ? binding::none
                                                           : binding::module;
    auto sig = parse_header(d.header, qual_prefix, bound, module_dict, d.doc);
    std::string name(d.header, std::strchr(d.header, '('));
    auto *def = new PyMethodDef{};
    def->ml_name = (new std::string(name))->c_str();
    def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(d.entry));
    def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def->ml_doc = sig->doc.c_str();
    *d.slot = sig.release();
    return def;
}

} // namespace detail

// The namespace of a loaded (or loading) module, for evaluating defaults.
inline py::object module_dict_of(py::handle module_name) {
    PyObject *module = PyImport_GetModule(module_name.ptr());
    if (!module) {
        if (PyErr_Occurred()) pysem::throw_pending();
        return py::dict();
    }
    return steal(module).attr("__dict__");
}

// The callable a definition makes: a method descriptor of `cls`, a function
// of `module`, (self_first) a plain function qualified by `cls`, or (static)
// a static method of `cls`.
inline py::object make_callable(const definition &d, py::handle scope) {
    bool on_class = PyType_Check(scope.ptr());
    py::object module_name = on_class ? py::object(scope.attr("__module__")) : py::object(scope.attr("__name__"));
    py::object module_dict = on_class ? module_dict_of(module_name) : py::object(scope.attr("__dict__"));
    if (on_class && d.kind == definition::function_kind)
        throw std::logic_error(std::string("pysem: a function defined on a class: ") + d.header);
    if (!on_class && d.kind != definition::function_kind)
        throw std::logic_error(std::string("pysem: a method defined on a module: ") + d.header);
    py::object prefix = on_class ? py::object(scope.attr("__qualname__")) : py::object(py::none());
    PyMethodDef *def = detail::make_method_def(d, prefix, module_dict);
    const signature &sig = **d.slot;
    py::object made;
    switch (d.kind) {
    case definition::method_kind:
        made = steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(scope.ptr()), def));
        break;
    case definition::function_kind:
        made = steal(PyCFunction_NewEx(def, scope.ptr(), module_name.ptr()));
        break;
    case definition::self_first_kind:
        made = steal(PyCFunction_NewEx(def, nullptr, module_name.ptr()));
        break;
    case definition::static_kind:
        // Bound to the class, which the C++ code does not take; the class
        // gives it its qualified name (CPython's METH_STATIC does the same).
        made = steal(PyStaticMethod_New(steal(PyCFunction_NewEx(def, scope.ptr(), module_name.ptr())).ptr()));
        break;
    }
    if (d.wrap) made = d.wrap(std::move(made), sig, module_name);
    return made;
}

// Defines every entry on `scope` (a class or a module), in the table's order,
// as a class statement or module body would.
inline void define(py::handle scope, std::initializer_list<definition> table) {
    for (const definition &d : table) {
        py::object made = make_callable(d, scope);
        std::string short_name(d.header, std::strchr(d.header, '('));
        if (PyObject_SetAttrString(scope.ptr(), short_name.c_str(), made.ptr()) < 0) pysem::throw_pending();
        if (d.own)
            *d.own = new own_method{steal_as<py::str>(PyUnicode_InternFromString(short_name.c_str())), made};
    }
}

// ---------------------------------------------------------------------------
// Calls through the instance. Methods call each other as `self.name(...)`;
// while that lookup would find the class's own native method (nothing patched
// on the instance, the class or a subclass, and no attribute hook of its
// own), the call goes straight to the C++ code, which is what the lookup
// would reach.

template <auto Fn> const own_method &own() {
    const own_method *m = own_record<Fn>;
    if (!m) throw std::logic_error("pysem: a method was called before it was defined");
    return *m;
}

inline bool is_direct(py::handle self, const own_method &m) { return !replaced(self, m.name, m.original); }

template <auto Fn> bool is_direct(py::handle self) { return is_direct(self, own<Fn>()); }

// `name=value`, for a keyword-only argument; keywords come last, in the
// order of the parameters.
struct keyword {
    const char *name;
    py::handle value;
};

// An argument that the call leaves out, so that the method's own default
// applies; `value` is that default, for the native code. It comes last.
struct omitted {
    py::handle value;
};

namespace detail {
inline py::handle positional(py::handle value) { return value; }
inline py::handle positional(const keyword &k) { return k.value; }
inline py::handle positional(const omitted &o) { return o.value; }

inline void add_keyword_name(py::handle, py::tuple &, Py_ssize_t &) {}
inline void add_keyword_name(const omitted &, py::tuple &, Py_ssize_t &) {}
inline void add_keyword_name(const keyword &k, py::tuple &names, Py_ssize_t &at) {
    PyTuple_SET_ITEM(names.ptr(), at++, Py_NewRef(interned(k.name).ptr()));
}

// Positional arguments, then either keywords or one left-out argument.
template <class... Args> constexpr bool well_ordered() {
    constexpr size_t n = sizeof...(Args);
    constexpr bool is_keyword[] = {std::is_same_v<Args, keyword>..., false};
    constexpr bool is_omitted[] = {std::is_same_v<Args, omitted>..., false};
    size_t keywords = 0, left_out = 0;
    bool last_omitted = false; // read in the loop: with no arguments there is no last one to index
    for (size_t i = 0; i < n; ++i) {
        keywords += is_keyword[i];
        left_out += is_omitted[i];
        last_omitted = is_omitted[i];
    }
    if (left_out > 1 || (left_out == 1 && (keywords != 0 || !last_omitted))) return false;
    for (size_t i = n - keywords; i < n; ++i)
        if (!is_keyword[i]) return false;
    return true;
}

template <class... Args> inline constexpr size_t keyword_count = (std::size_t{std::is_same_v<Args, keyword>} + ... + 0);

// The names of the keywords among the arguments, a tuple (null when none).
template <class... Args> py::object keyword_names(const Args &...args) {
    if constexpr (keyword_count<Args...> == 0) {
        return py::object();
    } else {
        py::tuple listed = steal_as<py::tuple>(PyTuple_New(keyword_count<Args...>));
        Py_ssize_t at = 0;
        (add_keyword_name(args, listed, at), ...);
        return listed;
    }
}
} // namespace detail

// self.<name>(*args) through attribute lookup, as `self.name(...)` runs it.
template <class... Args> py::object call_method(py::handle self, py::handle name, const Args &...args) {
    constexpr size_t count = sizeof...(Args);
    constexpr size_t keywords = detail::keyword_count<Args...>;
    constexpr size_t left_out = (std::size_t{std::is_same_v<Args, omitted>} + ... + 0);
    static_assert(detail::well_ordered<Args...>(),
                  "positional arguments first, then keywords or one left-out argument");
    PyObject *argv[] = {self.ptr(), detail::positional(args).ptr()...};
    py::object names = detail::keyword_names(args...);
    return steal(PyObject_VectorcallMethod(name.ptr(), argv, 1 + count - keywords - left_out, names.ptr()));
}

// fn(*args) as Python code calls it: Python objects by position, then
// keywords. What it raises comes through throw_pending, as every error does;
// a call through pybind11's own operator() would raise a RuntimeError in
// place of an exception whose class is not the one raised.
template <class... Args> py::object call(py::handle fn, const Args &...args) {
    constexpr size_t count = sizeof...(Args);
    constexpr size_t keywords = detail::keyword_count<Args...>;
    static_assert(detail::well_ordered<Args...>() && (!std::is_same_v<Args, omitted> && ...),
                  "positional arguments first, then keywords");
    // argv[0] is room that the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject *argv[] = {nullptr, detail::positional(args).ptr()...};
    py::object names = detail::keyword_names(args...);
    return steal(
        PyObject_Vectorcall(fn.ptr(), argv + 1, (count - keywords) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()));
}

// self.<name of Fn>(*args), always through attribute lookup.
template <auto Fn, class... Args> py::object through(py::handle self, const Args &...args) {
    return call_method(self, own<Fn>().name, args...);
}

// self.<name of Fn>(*args): the native code while that is what the lookup
// would reach, else through the instance.
namespace detail {
// Fn's C++ code called as the method would call it, its C++ result as it is.
template <auto Fn, class... Args, size_t... I>
decltype(auto) call_native_seq(py::handle self, std::index_sequence<I...>, const Args &...args) {
    using P = typename traits_of<Fn>::params;
    return Fn(parameter<std::tuple_element_t<0, P>>(self.ptr()),
              parameter<std::tuple_element_t<I + 1, P>>(positional(args).ptr())...);
}

template <auto Fn, class... Args> decltype(auto) call_native(py::handle self, const Args &...args) {
    return call_native_seq<Fn>(self, std::index_sequence_for<Args...>{}, args...);
}

template <auto Fn, class... Args> py::object call_direct(py::handle self, const Args &...args) {
    if constexpr (std::is_void_v<typename traits_of<Fn>::result_type>) {
        call_native<Fn>(self, args...);
        return py::none();
    } else {
        return steal(result(call_native<Fn>(self, args...)));
    }
}
} // namespace detail

template <auto Fn, class... Args> py::object via(py::handle self, const Args &...args) {
    const own_method &m = own<Fn>();
    if (is_direct(self, m)) return detail::call_direct<Fn>(self, args...);
    return call_method(self, m.name, args...);
}

// Fn's C++ code as `self.name(...)` would reach it, for a caller that has
// made sure (is_direct) that nothing replaces the method.
template <auto Fn, class... Args> py::object direct(py::handle self, const Args &...args) {
    return detail::call_direct<Fn>(self, args...);
}

} // namespace pysem
