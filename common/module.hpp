// PELORIN_MODULE(name, m): PYBIND11_MODULE (multi-phase init, pybind11's own
// entry and slots) whose exec slot lets a failure through unchanged, as the
// import of a Python module does: a missing dependency fails the import with
// its own ModuleNotFoundError, not pybind11's "ImportError: initialization
// failed".
#pragma once

#include <pybind11/pybind11.h>

namespace pelorin_module_detail {

// Sets the Python error for what escaped the module body.
inline void restore_init_error() {
    try {
        throw;
    } catch (pybind11::error_already_set &e) {
        e.restore();
    } catch (const pybind11::builtin_exception &e) {
        e.set_error();
    } catch (const std::exception &e) {
        pybind11::set_error(PyExc_ImportError, e.what());
    } catch (...) {
        pybind11::set_error(PyExc_ImportError, "unknown C++ exception while loading the module");
    }
}

} // namespace pelorin_module_detail

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
            ::pelorin_module_detail::restore_init_error();                                          \
        }                                                                                           \
        return -1;                                                                                  \
    }                                                                                               \
    void PYBIND11_CONCAT(pybind11_init_, name)(::pybind11::module_ & variable)
