// The interpreter's private C API, in one place. The modules target CPython
// 3.11; these are the few internals with no public equivalent there, so a
// later interpreter version is this file's work alone.
#pragma once

#include <Python.h>

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

// An empty dict with room for `size` items without a resize.
inline PyObject *dict_presized(Py_ssize_t size) { return _PyDict_NewPresized(size); }

// The interpreter's text builder.
using unicode_writer = _PyUnicodeWriter;
inline void writer_init(unicode_writer *w) { _PyUnicodeWriter_Init(w); }
inline void writer_dealloc(unicode_writer *w) { _PyUnicodeWriter_Dealloc(w); }
inline PyObject *writer_finish(unicode_writer *w) { return _PyUnicodeWriter_Finish(w); }
inline int writer_write_str(unicode_writer *w, PyObject *s) { return _PyUnicodeWriter_WriteStr(w, s); }
inline int writer_write_substring(unicode_writer *w, PyObject *s, Py_ssize_t start, Py_ssize_t end) {
    return _PyUnicodeWriter_WriteSubstring(w, s, start, end);
}
inline int writer_write_ascii(unicode_writer *w, const char *s, Py_ssize_t size) {
    return _PyUnicodeWriter_WriteASCIIString(w, s, size);
}
inline int writer_write_char(unicode_writer *w, Py_UCS4 c) { return _PyUnicodeWriter_WriteChar(w, c); }
// Grow the buffer ahead of need (for many small writes).
inline void writer_overallocate(unicode_writer *w) { w->overallocate = 1; }
// Code points written so far.
inline Py_ssize_t writer_length(const unicode_writer *w) { return w->pos; }

} // namespace capi
