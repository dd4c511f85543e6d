// The interpreter's private C API, in one place. The modules target CPython
// 3.11; these are the few internals with no public equivalent there, so a
// later interpreter version is this file's work alone.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "common/capi.hpp is written for CPython 3.11"
#endif

namespace capi {

// What attribute lookup on an instance of `type` finds on the type and its
// bases (borrowed, or null), without running descriptors.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

// getattr(obj, name) that tells "absent" apart from an error: 1 found (a new
// reference in *result), 0 absent (no error set), -1 error.
inline int lookup_attr(PyObject *obj, PyObject *name, PyObject **result) {
    return _PyObject_LookupAttr(obj, name, result);
}

// The instance's __dict__ slot, or null when its type has none.
inline PyObject **instance_dict_ptr(PyObject *obj) { return _PyObject_GetDictPtr(obj); }

// The version tag of a dict's contents: a new one, never given before, at
// every change of the dict.
inline std::uint64_t dict_version(PyObject *dict) { return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag; }

// The version tag of what attribute lookup finds on a type: renewed when the
// type or one of its bases changes; 0 while the type has none.
inline unsigned int type_version(PyTypeObject *type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// The full name of the extension module whose PyInit runs now (null outside
// one): the import system sets it around the call.
inline const char *loading_module_name() noexcept { return _Py_PackageContext; }

// An empty dict with room for `size` items without a resize.
inline PyObject *dict_presized(Py_ssize_t size) { return _PyDict_NewPresized(size); }

} // namespace capi
