// Google Trends collection parser: one finished Google Trends job becomes the
// collection storage's parsed-collection record (request parameters with cache
// metadata, standard artifacts, and the datasets of the result's one table).
//
// The parser only orchestrates: every read goes through the host's collection
// storage helpers, which this module binds as its own attributes at load and
// looks up there on each call, so that they can be patched like a Python
// module's imports.
#include "common/module.hpp"
#include "common/pysem.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

pysem::module_namespace ns;

constexpr const char *kParserVersion = "google-trends-v1";
constexpr const char *kSourceSystem = "google_trends";
constexpr const char *kSourceName = "Google Trends";
constexpr const char *kJsonMime = "application/json";
constexpr const char *kSheetMime = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
constexpr const char *kBusinessKeyFields[] = {"date", "search_term", "query", "topic_id",
                                              "geo",  "geoCode",     "title", "mid"};

// Standard-library objects, created once and kept for the interpreter's life.
struct State {
    py::object pure_path; // pathlib.PurePath
};

// Made at load and never destroyed. The import may run Python code that loads
// this module afresh: that load makes its own (see pysem::first_built).
PYBIND11_CONSTINIT pysem::first_built<State> kept_state;

State &state() { return *kept_state; }

void load_state() {
    kept_state.get([] { return State{py::module_::import("pathlib").attr("PurePath")}; }, " while loading the parser");
}

using pysem::keyword;

[[noreturn]] void raise_parse_error(py::handle error_type, py::handle message) {
    pysem::raise_instance(pysem::call(error_type, message));
}

[[noreturn]] void raise_parse_error(py::handle message) { raise_parse_error(ns["CollectionParseError"], message); }

bool equals_ascii(py::handle text, const char *ascii) {
    return PyUnicode_CompareWithASCIIString(text.ptr(), ascii) == 0;
}

py::str lower(py::handle text) {
    return pysem::steal_as<py::str>(PyObject_CallMethodNoArgs(text.ptr(), PYSEM_LIT("lower").ptr()));
}

// The lower-cased suffix of the export path ("" without a path), read at most once.
class ExportSuffix {
  public:
    explicit ExportSuffix(py::handle files) : files_(files) {}

    const py::str &get() {
        if (!ready_) {
            py::object path = files_.attr("export_path");
            suffix_ = path.is_none() ? PYSEM_LIT("")
                                     : lower(pysem::text_form(pysem::call(state().pure_path, path).attr("suffix")));
            ready_ = true;
        }
        return suffix_;
    }

  private:
    py::handle files_;
    py::str suffix_;
    bool ready_ = false;
};

py::str lstrip_points(py::handle text) {
    pysem::text_view t(text);
    Py_ssize_t begin = 0;
    while (begin < t.size() && t[begin] == '.') ++begin;
    return pysem::substr(text, begin, t.size());
}

// Media type of the export file; refuses the job when no rule matches.
py::str export_mime_type(py::handle files) {
    ExportSuffix suffix(files);
    py::object export_info = files.attr("export");
    py::object declared = pysem::is_mapping(export_info) ? pysem::get(export_info, PYSEM_LIT("format")) : py::none();
    py::str format = lower(pysem::text_form(pysem::truthy(declared) ? declared : py::object(lstrip_points(suffix.get()))));

    if (equals_ascii(format, "json") || equals_ascii(suffix.get(), ".json")) return PYSEM_LIT(kJsonMime);
    if (equals_ascii(format, "xls") || equals_ascii(format, "xlsx") || equals_ascii(suffix.get(), ".xlsx"))
        return PYSEM_LIT(kSheetMime);
    raise_parse_error(pysem::concat(PYSEM_LIT("不支持的 Google Trends 导出格式："), format));
}

// One row's value for one column. A key that is the column's text itself
// takes precedence; a key of another kind whose text form is the column fills
// the cell only when no such key exists, so its value is never dropped.
struct Cell {
    Py_ssize_t column;
    py::object value;
    bool exact;
};

class TableBuilder {
  public:
    void add_row(py::handle row) {
        if (PyDict_CheckExact(row.ptr()) && only_text_keys(row)) {
            // No Python code runs in this loop: the row's keys and the known
            // columns are all exact texts, which hash and compare natively.
            PyObject *key, *value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(row.ptr(), &pos, &key, &value)) {
                py::object held = py::reinterpret_borrow<py::object>(value);
                cells_.push_back({column_of_text(key), std::move(held), true});
            }
        } else {
            // Keys of other kinds run their own __str__; work on a snapshot of
            // the items, list(row.items()).
            py::object items = PyDict_CheckExact(row.ptr())
                                   ? pysem::steal(PyDict_Items(row.ptr()))
                                   : pysem::steal(PySequence_List(pysem::call_method(row, PYSEM_LIT("items")).ptr()));
            for (py::object item : pysem::list_items(items)) {
                auto [key, value] = pysem::unpack2(item);
                py::str text = pysem::text_form(key); // exactly a str, as every column is
                bool exact = PyUnicode_Check(key.ptr()) && PyUnicode_Compare(text.ptr(), key.ptr()) == 0;
                if (PyErr_Occurred()) pysem::throw_pending();
                cells_.push_back({column_of_text(text), std::move(value), exact});
            }
        }
        row_ends_.push_back(cells_.size());
    }

    py::dict finish() {
        const Py_ssize_t width = static_cast<Py_ssize_t>(columns_.size());
        py::list columns = pysem::steal_as<py::list>(PyList_New(width));
        for (Py_ssize_t i = 0; i < width; ++i)
            PyList_SET_ITEM(columns.ptr(), i, Py_NewRef(columns_[static_cast<size_t>(i)].ptr()));
        // Filled with None first: making each row's list may start a
        // collection, whose finalizers can find this one.
        py::list rows = pysem::steal_as<py::list>(PyList_New(static_cast<Py_ssize_t>(row_ends_.size())));
        for (size_t r = 0; r < row_ends_.size(); ++r)
            PyList_SET_ITEM(rows.ptr(), static_cast<Py_ssize_t>(r), Py_NewRef(Py_None));
        std::vector<char> exact(static_cast<size_t>(width));
        size_t begin = 0;
        for (size_t r = 0; r < row_ends_.size(); ++r) {
            // Filled before anything else is allocated, so no finalizer sees its empty slots.
            py::list values = pysem::steal_as<py::list>(PyList_New(width));
            std::fill(exact.begin(), exact.end(), 0);
            for (size_t c = begin; c < row_ends_[r]; ++c) {
                const Cell &cell = cells_[c];
                PyObject *held = PyList_GET_ITEM(values.ptr(), cell.column);
                if (held && (exact[cell.column] || !cell.exact)) continue;
                Py_XDECREF(held);
                PyList_SET_ITEM(values.ptr(), cell.column, cell.value.inc_ref().ptr());
                exact[cell.column] = cell.exact;
            }
            for (Py_ssize_t i = 0; i < width; ++i)
                if (!PyList_GET_ITEM(values.ptr(), i)) PyList_SET_ITEM(values.ptr(), i, py::none().release().ptr());
            if (PyList_SetItem(rows.ptr(), static_cast<Py_ssize_t>(r), values.release().ptr()) < 0)
                pysem::throw_pending();
            begin = row_ends_[r];
        }
        py::dict table;
        table[PYSEM_LIT("sheet_name")] = PYSEM_LIT("main");
        table[PYSEM_LIT("columns")] = columns;
        table[PYSEM_LIT("rows")] = rows;
        return table;
    }

  private:
    static bool only_text_keys(py::handle row) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(row.ptr(), &pos, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
        return true;
    }

    // The column of a text (exactly a str), appended the first time it is seen.
    Py_ssize_t column_of_text(py::handle text) {
        auto [it, fresh] = positions_.try_emplace(text.ptr(), static_cast<Py_ssize_t>(columns_.size()));
        if (fresh) {
            try {
                columns_.push_back(py::reinterpret_borrow<py::str>(text)); // holds the map's key
            } catch (...) {
                positions_.erase(it);
                throw;
            }
        }
        return it->second;
    }

    // Exact texts hash and compare natively (a text caches its hash).
    struct TextHash {
        size_t operator()(PyObject *text) const noexcept { return static_cast<size_t>(PyObject_Hash(text)); }
    };
    struct TextEqual {
        bool operator()(PyObject *a, PyObject *b) const noexcept { return pysem::same_text(a, b); }
    };

    // The columns in the order first seen, and each one's number. Kept in C++,
    // where no Python code run meanwhile (a key's __str__, a finalizer, both
    // able to find any list or dict made here) can change them; the Python
    // list of columns is made at the end.
    std::vector<py::str> columns_;
    std::unordered_map<PyObject *, Py_ssize_t, TextHash, TextEqual> positions_;
    std::vector<Cell> cells_;
    std::vector<size_t> row_ends_;
};

py::object result_datasets(py::handle payload) {
    py::dict document = pysem::exact_dict(payload, "payload");
    py::object data = pysem::get(document, PYSEM_LIT("data"));
    const py::str &not_rows = PYSEM_LIT("Google Trends result.json data 必须是对象数组");
    if (!PyList_Check(data.ptr())) raise_parse_error(not_rows);
    // A snapshot, so that nothing a key's __str__ does to the list can matter.
    py::tuple rows = pysem::steal_as<py::tuple>(PySequence_Tuple(data.ptr()));
    for (py::handle row : rows)
        if (!pysem::is_mapping(row)) raise_parse_error(not_rows);

    TableBuilder builder;
    for (py::handle row : rows) builder.add_row(row);
    py::dict table = builder.finish();
    py::object json_datasets = ns["json_datasets"];
    py::object key_fields = ns["_BUSINESS_KEY_FIELDS"];
    return pysem::call(json_datasets, table, keyword{"source_name", PYSEM_LIT(kSourceName)},
                       keyword{"business_key_fields", key_fields});
}

py::object parse(py::handle self, py::object submission) {
    py::object source = submission.attr("source_system");
    if (pysem::not_equal(source, self.attr("source_system"))) {
        // The class is found before the message is made, whose str() may run
        // anything, as `raise CollectionParseError(f"...")` does; so is every
        // callee below before its arguments are read.
        py::object error_type = ns["CollectionParseError"];
        py::str message = pysem::concat(PYSEM_LIT("Google Trends Parser 不支持来源："), pysem::text_form(source));
        raise_parse_error(error_type, message);
    }

    // Host functions run through pysem::call, so that what they raise reaches
    // the caller as the exception it is.
    py::object files = pysem::call(ns["load_result_files"], submission, keyword{"source_name", PYSEM_LIT(kSourceName)});
    py::str mime_type = export_mime_type(files);
    py::object datasets_of = ns["_result_datasets"];
    py::object result = files.attr("result");
    py::object datasets = pysem::call(datasets_of, result);

    py::object cache_key = pysem::getattr_or_none(submission, PYSEM_LIT("cache_key"));
    py::object cache_scope = pysem::getattr_or_none(submission, PYSEM_LIT("cache_scope"));
    if (!pysem::truthy(cache_key)) {
        py::object identity_of = ns["google_trends_cache_identity_from_params"];
        py::object params = files.attr("params"), scenario = submission.attr("scenario"), geo = submission.attr("site");
        py::object identity = pysem::call(identity_of, params, keyword{"scenario", scenario}, keyword{"geo", geo});
        std::tie(cache_key, cache_scope) = pysem::unpack2(identity);
    }

    py::object result_metadata = pysem::getattr_or_none(submission, PYSEM_LIT("result_metadata"));
    if (!pysem::truthy(result_metadata)) {
        py::object safe_result_metadata = ns["safe_result_metadata"];
        result = files.attr("result");
        result_metadata = pysem::call(safe_result_metadata, result);
    }

    py::object attach_cache_metadata = ns["attach_cache_metadata"];
    py::object params = files.attr("params");
    py::object request_params =
        pysem::call(attach_cache_metadata, params, keyword{"cache_key", cache_key}, keyword{"cache_scope", cache_scope},
                    keyword{"result_metadata", result_metadata});
    py::object artifacts = pysem::call(ns["standard_artifacts"], files, keyword{"default_export_mime_type", mime_type});

    py::object parsed_collection = ns["ParsedCollection"];
    py::object version = self.attr("parser_version");
    return pysem::call(parsed_collection, keyword{"submission", submission}, keyword{"parser_version", version},
                       keyword{"request_params", request_params}, keyword{"artifacts", artifacts},
                       keyword{"datasets", datasets});
}

void register_constants(py::module_ &m) {
    m.attr("PARSER_VERSION") = kParserVersion;
    py::tuple key_fields = pysem::steal_as<py::tuple>(PyTuple_New(std::size(kBusinessKeyFields)));
    for (size_t i = 0; i < std::size(kBusinessKeyFields); ++i) key_fields[i] = py::str(kBusinessKeyFields[i]);
    m.attr("_BUSINESS_KEY_FIELDS") = key_fields;
}

void register_parser(py::module_ &m) {
    pysem::define(m, {pysem::function<&result_datasets>("_result_datasets(payload)")});
    py::dict body = pysem::steal_as<py::dict>(PyDict_New());
    body["source_system"] = kSourceSystem;
    body["parser_version"] = m.attr("PARSER_VERSION");
    // The documentation names the class an adapter, and the store that takes
    // what `parse` makes a MySQL adapter.
    py::object cls =
        pysem::make_class(m, "GoogleTrendsCollectionParser", "Adapter that parses Google Trends collection results.", body);
    pysem::define(cls, {pysem::method<&parse>("parse(submission)",
                                              "Parses a successful Google Trends job into the parsed collection that "
                                              "the shared MySQL adapter stores.")});
    m.attr("GoogleTrendsCollectionParser") = cls;
}

} // namespace

PELORIN_MODULE(sarvick, m) {
    m.doc() = "Google Trends collection parser.";
    pysem::bind_imports(m, {
        {"pelorin.shared.collection_storage.models", "CollectionSubmission"},
        {"pelorin.shared.collection_storage.models", "ParsedCollection"},
        {"pelorin.shared.collection_storage.parser_utils", "CollectionParseError"},
        {"pelorin.shared.collection_storage.parser_utils", "json_datasets"},
        {"pelorin.shared.collection_storage.parser_utils", "load_result_files"},
        {"pelorin.shared.collection_storage.parser_utils", "standard_artifacts"},
        {"pelorin.shared.collection_storage.result_cache", "attach_cache_metadata"},
        {"pelorin.shared.collection_storage.result_cache", "safe_result_metadata"},
        {"pelorin.google_trends.collection_storage_integration", "google_trends_cache_identity_from_params"},
    });
    load_state();
    register_constants(m);
    register_parser(m);
    // Bound last, when nothing more runs Python code: code run meanwhile may
    // load this module afresh, which binds its own, and the functions read the
    // namespace of the load that finished last, the one the interpreter keeps.
    ns.bind(m);
}
