// PELORIN_MODULE(name, m): the module entry of every native module.
//
// It is pybind11 3.1's own PYBIND11_MODULE (its PyInit entry and multi-phase
// slots, PYBIND11_MODULE_PYINIT, with the exec slot of PYBIND11_MODULE_EXEC),
// except that what escapes the module body goes through the modules' one
// error path (pysem::set_error_from_exception), as the import of a Python
// module lets its error through: a missing dependency fails the import with
// its own ModuleNotFoundError, not "ImportError: initialization failed".
//
// Written against pybind11 3.1; the guard below stops the build on another
// version, whose entry may differ.
#pragma once

#include "common/function.hpp"

#include <pybind11/pybind11.h>

#if PYBIND11_VERSION_MAJOR != 3 || PYBIND11_VERSION_MINOR != 1
#error "common/module.hpp mirrors pybind11 3.1's module entry; check it against this version"
#endif

#define PELORIN_MODULE(name, variable)                                                              \
    PYBIND11_MODULE_PYINIT(name)                                                                    \
    static void PYBIND11_CONCAT(pybind11_init_, name)(::pybind11::module_ &);                       \
    int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject * pm) {                                      \
        try {                                                                                       \
            ::pybind11::detail::ensure_internals();                                                 \
            auto m = ::pybind11::reinterpret_borrow<::pybind11::module_>(pm);                       \
            if (!::pybind11::detail::get_cached_module(m.attr("__spec__").attr("name"))) {          \
                PYBIND11_CONCAT(pybind11_init_, name)(m);                                           \
                ::pybind11::detail::cache_completed_module(m);                                      \
            }                                                                                       \
            return 0;                                                                               \
        } catch (...) {                                                                             \
            ::pysem::set_error_from_exception();                                                    \
        }                                                                                           \
        return -1;                                                                                  \
    }                                                                                               \
    void PYBIND11_CONCAT(pybind11_init_, name)(::pybind11::module_ & variable)
