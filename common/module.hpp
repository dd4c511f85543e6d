// PELORIN_MODULE(name, m): the module entry of every native module.
//
// It follows pybind11 3.1's own PYBIND11_MODULE (a PyInit entry returning a
// multi-phase definition, whose create slot reuses a module that completed
// once in this process and whose exec slot runs the module body once), with
// three differences:
// - Only the main interpreter may load the modules. Their state lives in C++
//   statics that every interpreter would share, and pybind11's set-up takes
//   the GIL through the main interpreter's thread state, which hangs a
//   sub-interpreter's import for good. The refusal comes first, before
//   pybind11 or any state is touched.
// - What escapes the entry, the create slot or the module body goes through
//   the modules' one error path (pysem::set_error_from_exception), as the
//   import of a Python module lets its error through: a missing dependency
//   fails the import with its own ModuleNotFoundError, not "ImportError:
//   initialization failed", and a failed allocation with its MemoryError.
// - No C++ exception leaves a slot into C.
//
// Written against pybind11 3.1; the guard below stops the build on another
// version, whose entry may differ.
#pragma once

#include "common/capi.hpp"
#include "common/function.hpp"

#include <pybind11/pybind11.h>

#if PYBIND11_VERSION_MAJOR != 3 || PYBIND11_VERSION_MINOR != 1
#error "common/module.hpp mirrors pybind11 3.1's module entry; check it against this version"
#endif

namespace pysem::entry {

// False, with an ImportError that names the module, in any interpreter but
// the main one.
inline bool in_main_interpreter(const char *short_name) noexcept {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    const char *loading = capi::loading_module_name();
    PyErr_Format(PyExc_ImportError, "%s: sub-interpreters are not supported; import it in the main interpreter",
                 loading ? loading : short_name);
    return false;
}

// The module the spec names: the one completed earlier in this process, or
// a new one.
inline PyObject *create(PyObject *spec, PyModuleDef *def) noexcept {
    if (!in_main_interpreter(def->m_name)) return nullptr;
    try {
        PyObject *found = nullptr;
        if (capi::lookup_attr(spec, interned("name").ptr(), &found) < 0) return nullptr;
        py::object name = py::reinterpret_steal<py::object>(found);
        if (!name || name.is_none()) {
            PyErr_SetString(PyExc_ImportError, "module spec is missing a name");
            return nullptr;
        }
        py::str text(name);
        if (PyObject *cached = py::detail::get_cached_module(text)) return Py_NewRef(cached);
        return PyModule_NewObject(text.ptr());
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// The body of PyInit: the definition, once the interpreter and pybind11 are
// fit for it.
inline PyObject *init(PyModuleDef *def) noexcept {
    PYBIND11_CHECK_PYTHON_VERSION
    if (!in_main_interpreter(def->m_name)) return nullptr;
    try {
        py::detail::ensure_internals();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
    return PyModuleDef_Init(def);
}

// The exec slot: runs `body` on the module unless it completed before.
inline int exec(PyObject *pm, void (*body)(py::module_ &)) noexcept {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(pm);
        if (!py::detail::get_cached_module(m.attr("__spec__").attr("name"))) {
            body(m);
            py::detail::cache_completed_module(m);
        }
        return 0;
    } catch (...) {
        set_error_from_exception();
    }
    return -1;
}

} // namespace pysem::entry

#define PELORIN_MODULE(name, variable)                                                              \
    static void PYBIND11_CONCAT(pelorin_body_, name)(::pybind11::module_ &);                        \
    static int PYBIND11_CONCAT(pelorin_exec_, name)(PyObject * pm) {                                \
        return ::pysem::entry::exec(pm, &PYBIND11_CONCAT(pelorin_body_, name));                     \
    }                                                                                               \
    extern "C" PYBIND11_EXPORT PyObject *PyInit_##name() {                                          \
        static PyModuleDef_Slot slots[] = {                                                         \
            {Py_mod_create, reinterpret_cast<void *>(&::pysem::entry::create)},                     \
            {Py_mod_exec, reinterpret_cast<void *>(&PYBIND11_CONCAT(pelorin_exec_, name))},         \
            {0, nullptr}};                                                                          \
        static PyModuleDef def{PyModuleDef_HEAD_INIT, PYBIND11_TOSTRING(name), nullptr, 0, nullptr, \
                               slots, nullptr, nullptr, nullptr};                                   \
        return ::pysem::entry::init(&def);                                                          \
    }                                                                                               \
    void PYBIND11_CONCAT(pelorin_body_, name)(::pybind11::module_ & variable)
