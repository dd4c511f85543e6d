// The listing diagnosis rebuilt from prose answers.
#pragma once

#include "common/pysem.hpp"

namespace telvara {

template <class Class> void bind_official(py::module_ &, Class &cls) {
    cls.def(
        "_format_official_report",
        [](py::object, py::object, py::object, py::object) -> py::object {
            throw py::type_error("not built yet");
        },
        py::arg("data"), py::arg("answers"), py::arg("questions"));
}

} // namespace telvara
