// Exposes the shared Python-semantics helpers to the test suite.
#include "common/pysem.hpp"

namespace {
pysem::module_namespace ns;
}

PYBIND11_MODULE(_pysem_probe, m) {
    m.doc() = "Test probe for the shared Python-semantics helpers.";
    ns.bind(m);
    m.def("exact_dict", [](py::object v) { return pysem::exact_dict(v, "value"); }, py::arg("value"));
    m.def("exact_list", [](py::object v) { return pysem::exact_list(v, "value"); }, py::arg("value"));
    m.def("exact_str", [](py::object v) { return pysem::exact_str(v, "value"); }, py::arg("value"));
    m.def("exact_tuple", [](py::object v) { return pysem::exact_tuple(v, "value"); }, py::arg("value"));
    m.def("int_arg", [](py::object v) { return pysem::int_arg(v, "value"); }, py::arg("value"));
    m.def("clamp_ll", [](py::object v) { return pysem::clamp_ll(pysem::int_arg(v, "value")); }, py::arg("value"));
    m.def("truthy", [](py::object v) { return pysem::truthy(v); });
    m.def("text_form", [](py::object v) { return pysem::text_form(v); });
    m.def("strip", [](py::object v) { return pysem::strip(pysem::exact_str(v, "s")); });
    m.def("lstrip", [](py::object v) { return pysem::lstrip(pysem::exact_str(v, "s")); });
    m.def("rstrip", [](py::object v) { return pysem::rstrip(pysem::exact_str(v, "s")); });
    m.def("is_blank", [](py::object v) { return pysem::is_blank(pysem::exact_str(v, "s")); });
    m.def("is_space", [](Py_UCS4 c) { return pysem::is_space(c); });
    m.def("split_lf", [](py::object v) { return pysem::split_lf(pysem::exact_str(v, "s")); });
    m.def("split_lines", [](py::object v) { return pysem::split_lines(pysem::exact_str(v, "s")); });
    m.def("normalize_newlines", [](py::object v) { return pysem::normalize_newlines(pysem::exact_str(v, "s")); });
    m.def("get", [](py::object mapping, py::object key) { return pysem::get(mapping, key); });
    m.def("field_text", [](py::object mapping, py::object key) { return pysem::field_text(mapping, key); });
    m.def("first_non_empty", [](py::object mapping, py::list keys) { return pysem::first_non_empty(mapping, keys); });
    // Recurses through nested lists under the guard; returns the depth.
    m.def("nesting_depth", [](py::object v) {
        struct walk {
            static long go(py::handle v) {
                pysem::recursion_guard guard(" in nesting_depth");
                long deepest = 0;
                if (PyList_Check(v.ptr()))
                    for (py::handle item : py::reinterpret_borrow<py::list>(v)) deepest = std::max(deepest, go(item) + 1);
                return deepest;
            }
        };
        return walk::go(v);
    });
    m.def("lookup", [](const char *name) { return ns[name]; });
    m.def("import_from", [](const char *module, const char *name) { return pysem::import_from(module, name); });
    m.def("getattr_or_none", [](py::object obj, py::object name) { return pysem::getattr_or_none(obj, name); });
    m.def("unpack2", [](py::object value) {
        auto [first, second] = pysem::unpack2(value);
        return py::make_tuple(first, second);
    });
    m.def("make_class", [m](const char *name, const char *doc, py::dict body) { return pysem::make_class(m, name, doc, body); });
    m.def("raise_instance", [](py::object error) { pysem::raise_instance(error); });
}
