// Pieces of the Keepa trace writer: one event per line, and the append to the
// trace file that never raises for an output failure.
#pragma once

#include "common/pysem.hpp"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gatlow {

// The message with CR and LF written as the two-character escapes \r and \n,
// so that a client cannot start a line of its own through a path, a header
// name or a query key.
inline py::str one_line(py::handle message) {
    Py_ssize_t size = PyUnicode_GET_LENGTH(message.ptr());
    if (PyUnicode_FindChar(message.ptr(), '\n', 0, size, 1) == -1 &&
        PyUnicode_FindChar(message.ptr(), '\r', 0, size, 1) == -1)
        return py::reinterpret_borrow<py::str>(message);
    py::str cr("\r"), lf("\n"), cr_escape("\\r"), lf_escape("\\n");
    py::object once = pysem::steal(PyUnicode_Replace(message.ptr(), cr.ptr(), cr_escape.ptr(), -1));
    return pysem::steal_as<py::str>(PyUnicode_Replace(once.ptr(), lf.ptr(), lf_escape.ptr(), -1));
}

namespace detail {

// Raises the pending error of an interrupted call that a signal handler turned
// into an exception; true when the call should simply be retried.
inline bool retry_after_signal() {
    if (errno != EINTR) return false;
    if (PyErr_CheckSignals() < 0) pysem::throw_pending();
    return true;
}

// mkdir -p: the directory itself first (one call when it exists), its
// ancestors only when it lacks one. A failure is left to open() to judge.
inline void make_dirs(const std::string &dir) {
    for (bool made_parents = false;;) {
        if (::mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return;
        if (retry_after_signal()) continue;
        std::size_t slash = dir.find_last_of('/');
        if (errno != ENOENT || made_parents || slash == std::string::npos || slash == 0) return;
        make_dirs(dir.substr(0, slash));
        made_parents = true;
    }
}

} // namespace detail

// Appends `line` (text, UTF-8 encoded) to the file at `path` (a path-like
// object), creating missing directories first, opened and closed for this one
// line. Returns false when the line could not be stored; raises only the
// Python errors of reading `path` and `line` and of signal handlers.
inline bool append_line(py::handle path, py::handle line) {
    py::object fspath = pysem::steal(PyOS_FSPath(path.ptr()));
    py::bytes encoded_path = PyBytes_Check(fspath.ptr())
                                 ? py::reinterpret_borrow<py::bytes>(fspath)
                                 : pysem::steal_as<py::bytes>(PyUnicode_EncodeFSDefault(fspath.ptr()));
    std::string file(PyBytes_AS_STRING(encoded_path.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded_path.ptr())));
    if (file.find('\0') != std::string::npos) return false;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(line.ptr(), &size);
    if (!data) pysem::throw_pending();

    if (std::size_t slash = file.find_last_of('/'); slash != std::string::npos && slash != 0)
        detail::make_dirs(file.substr(0, slash));
    int fd;
    while ((fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666)) < 0)
        if (!detail::retry_after_signal()) return false;
    struct closer {
        int fd;
        ~closer() { ::close(fd); }
    } guard{fd};
    while (size > 0) {
        ssize_t written = ::write(fd, data, static_cast<std::size_t>(size));
        if (written < 0) {
            if (detail::retry_after_signal()) continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

} // namespace gatlow
