// Exposes the shared Python-semantics helpers to the test suite.
#include "common/module.hpp"
#include "common/pattern.hpp"

#include <algorithm>

namespace {

pysem::module_namespace ns;

long nesting_depth(py::handle v) {
    pysem::recursion_guard guard(" in nesting_depth");
    long deepest = 0;
    if (PyList_Check(v.ptr()))
        for (py::handle item : py::reinterpret_borrow<py::list>(v)) deepest = std::max(deepest, nesting_depth(item) + 1);
    return deepest;
}

std::string utf8(py::handle text, const char *arg) { return std::string(pysem::exact_str(text, arg)); }

// Echoes what the call bound, for the argument-binding tests.
py::object echo_method(py::handle self, py::object a, py::object b, py::object c, py::object d) {
    return py::make_tuple(self, a, b, c, d);
}
py::object echo_function(py::object a, py::object b) { return py::make_tuple(a, b); }
void raise_bad_alloc(py::handle) { throw std::bad_alloc(); }
void raise_runtime(py::handle) { throw std::runtime_error("native failure"); }

// Calls `twice` through the instance, going straight to its C++ code while
// nothing replaces it.
py::object twice(py::handle, py::object value) { return pysem::steal(PyNumber_Multiply(value.ptr(), py::int_(2).ptr())); }
py::object call_twice(py::handle self, py::object value) {
    py::object doubled = pysem::via<&twice>(self, value);
    py::bool_ direct(pysem::is_direct<&twice>(self));
    return py::make_tuple(doubled, direct);
}

// The native search of a compiled pattern over each text, or None when the
// pattern is left to `re`.
py::object pattern_search(py::object pattern, py::object texts) {
    std::optional<pysem::native_search> search = pysem::native_search::compile(pattern);
    if (!search) return py::none();
    py::list found;
    for (py::handle text : pysem::exact_list(texts, "texts")) found.append(py::bool_((*search)(pysem::exact_str(text, "text"))));
    return found;
}

void register_helpers(py::module_ &m) {
    using pysem::function;
    pysem::define(m, {
        function<[](py::object v) { return pysem::exact_dict(v, "value"); }>("exact_dict(value)"),
        function<[](py::object v) { return pysem::exact_list(v, "value"); }>("exact_list(value)"),
        function<[](py::object v) { return pysem::exact_str(v, "value"); }>("exact_str(value)"),
        function<[](py::object v) { return pysem::exact_tuple(v, "value"); }>("exact_tuple(value)"),
        function<[](py::object v) { return pysem::check_exact_str(v, "value") ? v : pysem::raised(); }>(
            "check_exact_str(value)"),
        function<[](py::object) { return py::object(); }>("no_object(value)"),
        // (a == b, a != b), compared in that order
        function<[](py::object a, py::object b) {
            bool equal = pysem::equal(a, b);
            bool not_equal = pysem::not_equal(a, b);
            return py::make_tuple(equal, not_equal);
        }>("equal_not_equal(a, b)"),
        function<[](py::object v) { return pysem::int_arg(v, "value"); }>("int_arg(value)"),
        function<[](py::object v) { return py::int_(pysem::clamp_ll(pysem::int_arg(v, "value"))); }>("clamp_ll(value)"),
        function<[](py::object v) { return pysem::truthy(v); }>("truthy(value)"),
        function<[](py::object v) { return pysem::text_form(v); }>("text_form(value)"),
        function<[](py::object v) { return pysem::strip(pysem::exact_str(v, "s")); }>("strip(s)"),
        function<[](py::object v) { return pysem::lstrip(pysem::exact_str(v, "s")); }>("lstrip(s)"),
        function<[](py::object v) { return pysem::rstrip(pysem::exact_str(v, "s")); }>("rstrip(s)"),
        function<[](py::object v) { return pysem::is_blank(pysem::exact_str(v, "s")); }>("is_blank(s)"),
        function<[](py::object c) {
            return pysem::is_space(static_cast<Py_UCS4>(pysem::clamp_ll(pysem::int_arg(c, "c"))));
        }>("is_space(c)"),
        function<[](py::object c) {
            return pysem::is_line_boundary(static_cast<Py_UCS4>(pysem::clamp_ll(pysem::int_arg(c, "c"))));
        }>("is_line_boundary(c)"),
        function<[](py::object v) { return pysem::split_lf(pysem::exact_str(v, "s")); }>("split_lf(s)"),
        function<[](py::object v) { return pysem::split_lines(pysem::exact_str(v, "s")); }>("split_lines(s)"),
        function<[](py::object v) { return pysem::normalize_newlines(pysem::exact_str(v, "s")); }>("normalize_newlines(s)"),
        function<[](py::object mapping, py::object key) { return pysem::get(mapping, key); }>("get(mapping, key)"),
        function<[](py::object mapping, py::object key) { return pysem::item(mapping, key); }>("item(mapping, key)"),
        function<[](py::object mapping) {
            static pysem::kept_item kept;
            PyObject *found = kept.get(pysem::exact_dict(mapping, "mapping").ptr(), PYSEM_LIT("k").ptr());
            return found ? py::reinterpret_borrow<py::object>(found) : py::none();
        }>("kept_k(mapping)"),
        function<[](py::object mapping, py::object key, py::object value) { pysem::set_item(mapping, key, value); }>(
            "set_item(mapping, key, value)"),
        function<[](py::object mapping, py::object key) { return pysem::field_text(mapping, key); }>(
            "field_text(mapping, key)"),
        function<[](py::object mapping, py::object keys) {
            return pysem::first_non_empty(mapping, pysem::exact_list(keys, "keys"));
        }>("first_non_empty(mapping, keys)"),
        function<[](py::object v) { return py::int_(nesting_depth(v)); }>("nesting_depth(value)"),
        function<[](py::object name) { return ns[pysem::exact_str(name, "name")]; }>("lookup(name)"),
        function<[](py::object module, py::object name) {
            std::string module_text = utf8(module, "module");
            std::string name_text = utf8(name, "name");
            return pysem::import_from(module_text.c_str(), name_text.c_str());
        }>("import_from(module, name)"),
        function<[](py::object obj, py::object name) { return pysem::getattr_or_none(obj, name); }>(
            "getattr_or_none(obj, name)"),
        function<[](py::object value) {
            auto [first, second] = pysem::unpack2(value);
            return py::make_tuple(first, second);
        }>("unpack2(value)"),
        function<[](py::object name, py::object doc, py::object body) {
            py::module_ self = py::reinterpret_borrow<py::module_>(pysem::steal(PyImport_ImportModule("pelorin._pysem_probe")));
            std::string name_text = utf8(name, "name");
            std::string doc_text = doc.is_none() ? std::string() : utf8(doc, "doc");
            py::dict namespace_ = pysem::exact_dict(body, "body");
            return pysem::make_class(self, name_text.c_str(), doc.is_none() ? nullptr : doc_text.c_str(), namespace_);
        }>("make_class(name, doc, body)"),
        function<[](py::object error) { pysem::raise_instance(error); }>("raise_instance(error)"),
        // [fn(item) for item in values], the loop over a live list.
        function<[](py::object values, py::object fn) {
            py::list out;
            for (py::object item : pysem::list_items(pysem::exact_list(values, "values"))) out.append(pysem::call(fn, item));
            return out;
        }>("each_item(values, fn)"),
        // [fn(key, value) for key, value in mapping.items()], the loop over a live dict.
        function<[](py::object mapping, py::object fn) {
            py::list out;
            for (const auto &[key, value] : pysem::dict_items(pysem::exact_dict(mapping, "mapping")))
                out.append(pysem::call(fn, key, value));
            return out;
        }>("each_pair(mapping, fn)"),
        function<&pattern_search>("pattern_search(pattern, texts)"),
        // fn(a, b=b)
        function<[](py::object fn, py::object a, py::object b) { return pysem::call(fn, a, pysem::keyword{"b", b}); }>(
            "call(fn, a, b)"),
    });
}

// A class whose methods are defined from headers, as the modules define theirs.
void register_signature_probe(py::module_ &m) {
    py::object cls = pysem::make_class(m, "SignatureProbe", "Methods defined from their headers.");
    pysem::define(cls, {
        pysem::method<&echo_method>("echo(a, b=None, *, c, d=3)", "Gives back what the call bound."),
        pysem::method<&raise_bad_alloc>("out_of_memory()"),
        pysem::method<&raise_runtime>("fail()"),
        pysem::method<&twice>("twice(value)"),
        pysem::method<&call_twice>("call_twice(value)"),
    });
    m.attr("SignatureProbe") = cls;
    pysem::define(m, {pysem::function<&echo_function>("echo(a, b=LIMIT)", "A module function with a named default.")});
}

} // namespace

PELORIN_MODULE(_pysem_probe, m) {
    m.doc() = "Test probe for the shared Python-semantics helpers.";
    ns.bind(m);
    m.attr("LIMIT") = pysem::steal(PyLong_FromLong(500));
    register_helpers(m);
    register_signature_probe(m);
}
