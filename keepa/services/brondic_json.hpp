// JSON text of a job file, byte for byte what
//     json.dumps(value, ensure_ascii=False, indent=2).encode("utf-8")
// gives, built in one pass. With an indent the standard library falls back to
// its pure-Python encoder, which is slow on the large answers Keepa sends.
//
// Same rules as that encoder: str, int, float, bool, None, list/tuple and dict
// (subclasses included, a dict subclass read through its items()); dict keys
// of str, float, bool, None or int; NaN and the infinities as NaN/Infinity;
// "Circular reference detected" for a container inside itself; a type error
// for anything else. A lone surrogate fails the UTF-8 encoding as str.encode
// would. Nothing is written anywhere: the caller opens the file only once the
// whole text exists.
#pragma once

#include "common/pysem.hpp"

#include <charconv>
#include <cmath>
#include <string>
#include <unordered_set>

namespace brondic::json {

class Encoder {
  public:
    std::string encode(py::handle value) {
        out_.clear();
        value_(value, 0);
        return std::move(out_);
    }

  private:
    std::string out_;
    // Containers on the path from the top value to the current one.
    std::unordered_set<PyObject *> open_;

    static std::string name_of(py::handle value) {
        return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
    }

    void newline(int level) {
        out_.push_back('\n');
        out_.append(static_cast<size_t>(level) * 2, ' ');
    }

    void string_(py::handle s) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
        if (!text) throw py::error_already_set();
        static constexpr char hex[] = "0123456789abcdef";
        out_.push_back('"');
        const char *run = text;
        const char *end = text + size;
        for (const char *p = text; p < end; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            out_.append(run, p);
            run = p + 1;
            switch (c) {
            case '"': out_.append("\\\""); break;
            case '\\': out_.append("\\\\"); break;
            case '\n': out_.append("\\n"); break;
            case '\r': out_.append("\\r"); break;
            case '\t': out_.append("\\t"); break;
            case '\b': out_.append("\\b"); break;
            case '\f': out_.append("\\f"); break;
            default:
                out_.append("\\u00");
                out_.push_back(hex[c >> 4]);
                out_.push_back(hex[c & 0xF]);
            }
        }
        out_.append(run, end);
        out_.push_back('"');
    }

    void utf8_of(PyObject *text) {
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(text, &size);
        if (!data) throw py::error_already_set();
        out_.append(data, static_cast<size_t>(size));
    }

    // int.__repr__, also for subclasses of int.
    void integer_(py::handle value) {
        int overflow = 0;
        long long small = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow) {
            if (small == -1 && PyErr_Occurred()) throw py::error_already_set();
            char buffer[24];
            auto done = std::to_chars(buffer, buffer + sizeof buffer, small);
            out_.append(buffer, done.ptr);
            return;
        }
        py::object text = pysem::steal(PyLong_Type.tp_repr(value.ptr()));
        utf8_of(text.ptr());
    }

    // float.__repr__, with the encoder's names for the values JSON lacks.
    void float_(py::handle value) {
        double v = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isnan(v)) {
            out_.append("NaN");
        } else if (std::isinf(v)) {
            out_.append(v > 0 ? "Infinity" : "-Infinity");
        } else {
            char *text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text) throw py::error_already_set();
            out_.append(text);
            PyMem_Free(text);
        }
    }

    void key_(py::handle key) {
        PyObject *k = key.ptr();
        if (PyUnicode_Check(k)) {
            string_(key);
            return;
        }
        // Other keys become the text of their JSON form.
        out_.push_back('"');
        if (PyFloat_Check(k)) float_(key);
        else if (k == Py_True) out_.append("true");
        else if (k == Py_False) out_.append("false");
        else if (k == Py_None) out_.append("null");
        else if (PyLong_Check(k)) integer_(key);
        else throw py::type_error("keys must be str, int, float, bool or None, not " + name_of(key));
        out_.push_back('"');
    }

    class Opened {
      public:
        Opened(std::unordered_set<PyObject *> &open, py::handle container) : open_(open), ptr_(container.ptr()) {
            if (!open_.insert(ptr_).second) throw py::value_error("Circular reference detected");
        }
        ~Opened() { open_.erase(ptr_); }
        Opened(const Opened &) = delete;
        Opened &operator=(const Opened &) = delete;

      private:
        std::unordered_set<PyObject *> &open_;
        PyObject *ptr_;
    };

    void array_(py::handle seq, int level) {
        PyObject *s = seq.ptr();
        bool exact = PyList_CheckExact(s) || PyTuple_CheckExact(s);
        if (exact ? PySequence_Fast_GET_SIZE(s) == 0 : !pysem::truthy(seq)) {
            out_.append("[]");
            return;
        }
        pysem::recursion_guard guard(" while encoding a JSON array");
        Opened opened(open_, seq);
        out_.push_back('[');
        bool first = true;
        auto item = [&](py::handle value) {
            if (!first) out_.push_back(',');
            first = false;
            newline(level + 1);
            value_(value, level + 1);
        };
        if (PyTuple_CheckExact(s)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(s); ++i) item(PyTuple_GET_ITEM(s, i));
        } else if (PyList_CheckExact(s)) {
            // Re-read the size each time: encoding an item may run code that
            // changes the list, as iterating it in Python would see.
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s); ++i)
                item(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(s, i)));
        } else {
            for (py::handle value : seq) item(value);
        }
        newline(level);
        out_.push_back(']');
    }

    void object_(py::handle dict, int level) {
        PyObject *d = dict.ptr();
        bool exact = PyDict_CheckExact(d);
        if (exact ? PyDict_GET_SIZE(d) == 0 : !pysem::truthy(dict)) {
            out_.append("{}");
            return;
        }
        pysem::recursion_guard guard(" while encoding a JSON object");
        Opened opened(open_, dict);
        out_.push_back('{');
        bool first = true;
        auto member = [&](py::handle key, py::handle value) {
            if (!first) out_.push_back(',');
            first = false;
            newline(level + 1);
            key_(key);
            out_.append(": ");
            value_(value, level + 1);
        };
        if (exact) {
            Py_ssize_t pos = 0, size = PyDict_GET_SIZE(d);
            PyObject *k = nullptr, *v = nullptr;
            while (PyDict_Next(d, &pos, &k, &v)) {
                py::object key = py::reinterpret_borrow<py::object>(k);
                py::object value = py::reinterpret_borrow<py::object>(v);
                member(key, value);
                if (PyDict_GET_SIZE(d) != size) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                    throw py::error_already_set();
                }
            }
        } else {
            for (py::handle pair : dict.attr("items")()) {
                py::tuple kv = pysem::steal_as<py::tuple>(PySequence_Tuple(pair.ptr()));
                if (kv.size() != 2) throw py::value_error("items() of a mapping must give key-value pairs");
                member(kv[0], kv[1]);
            }
        }
        newline(level);
        out_.push_back('}');
    }

    void value_(py::handle value, int level) {
        PyObject *v = value.ptr();
        if (PyUnicode_Check(v)) string_(value);
        else if (v == Py_None) out_.append("null");
        else if (v == Py_True) out_.append("true");
        else if (v == Py_False) out_.append("false");
        else if (PyLong_Check(v)) integer_(value);
        else if (PyFloat_Check(v)) float_(value);
        else if (PyList_Check(v) || PyTuple_Check(v)) array_(value, level);
        else if (PyDict_Check(v)) object_(value, level);
        else throw py::type_error("Object of type " + name_of(value) + " is not JSON serializable");
    }
};

// The job file's bytes.
inline py::bytes dumps(py::handle value) {
    std::string text = Encoder().encode(value);
    return py::bytes(text.data(), text.size());
}

} // namespace brondic::json
