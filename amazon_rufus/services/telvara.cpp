// Markdown reports from Amazon Rufus results.
//
// One stateless class, Telvara. Every method takes `self` and calls the
// others through the instance, so that patches and subclass overrides apply.
#include "common/pysem.hpp"

#include "amazon_rufus/services/telvara_official.hpp"

namespace telvara {
struct Telvara {};
} // namespace telvara

PYBIND11_MODULE(telvara, m) {
    py::options options;
    options.disable_function_signatures();

    py::class_<telvara::Telvara> cls(m, "Telvara", py::dynamic_attr());
    cls.def(py::init<>());
    telvara::bind_official(m, cls);
}
