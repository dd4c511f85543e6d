// Request bodies of the query REST API: pydantic models made when the module
// loads.
//
// Each model is made the way a class statement in this module would make it:
// the metaclass prepares the namespace, which then receives __module__,
// __qualname__, __annotations__, __doc__, model_config and the field values in
// that order, and is called with it. Annotations are real types, so nothing is
// resolved by name later. Callers cannot tell these models from ones written
// in Python: same fields, schema, errors, pickling and class dictionary.
#include "common/module.hpp"
#include "common/pysem.hpp"

namespace {

constexpr long max_query_limit = 500000;
constexpr long max_query_timeout = 300;

// What the models are made from, as the module's imports bound them.
struct Imports {
    py::object Any, Literal, BaseModel, ConfigDict, Field;

    explicit Imports(py::module_ m) {
        pysem::module_namespace ns;
        ns.bind(m);
        Any = ns["Any"];
        Literal = ns["Literal"];
        BaseModel = ns["BaseModel"];
        ConfigDict = ns["ConfigDict"];
        Field = ns["Field"];
    }
};

py::object type_object(PyTypeObject *type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(type));
}

// Type expressions as they are written in annotations.
py::object list_of(py::handle item) { return pysem::steal(PyObject_GetItem(type_object(&PyList_Type).ptr(), item.ptr())); }

py::object or_none(py::handle type) { return pysem::steal(PyNumber_Or(type.ptr(), Py_None)); }

// The metaclass, pydantic's functions and typing may be patched to raise
// anything: every call into them goes through pysem::call, so that a failed
// import raises the exception as it was made.
using pysem::keyword;

py::object integer(long value) { return pysem::steal(PyLong_FromLong(value)); }

// One class statement, from the opening line to the end of its body.
class ModelStatement {
  public:
    ModelStatement(const Imports &imports, py::module_ m, const char *name, const char *doc,
                   const char *extra)
        : module_(m), name_(name), bases_(pysem::steal_as<py::tuple>(PyTuple_Pack(1, imports.BaseModel.ptr()))),
          metaclass_(type_object(Py_TYPE(imports.BaseModel.ptr()))) {
        namespace_ = pysem::call_method(metaclass_, PYSEM_LIT("__prepare__"), name_, bases_);
        if (!PyMapping_Check(namespace_.ptr())) {
            PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                         reinterpret_cast<PyTypeObject *>(metaclass_.ptr())->tp_name, pysem::type_name(namespace_));
            pysem::throw_pending();
        }
        pysem::set_item(namespace_, PYSEM_LIT("__module__"), m.attr("__name__"));
        pysem::set_item(namespace_, PYSEM_LIT("__qualname__"), name_);
        pysem::set_item(namespace_, PYSEM_LIT("__annotations__"), annotations_);
        pysem::set_item(namespace_, PYSEM_LIT("__doc__"), py::str(doc));
        pysem::set_item(namespace_, PYSEM_LIT("model_config"),
                        pysem::call(imports.ConfigDict, keyword{"extra", pysem::interned(extra)}));
    }

    // `name: annotation = value`
    ModelStatement &field(const char *name, py::handle annotation, py::handle value) {
        pysem::set_item(annotations_, pysem::interned(name), annotation);
        pysem::set_item(namespace_, pysem::interned(name), value);
        return *this;
    }

    // `name: annotation`
    ModelStatement &field(const char *name, py::handle annotation) {
        pysem::set_item(annotations_, pysem::interned(name), annotation);
        return *this;
    }

    // Creates the class and binds it in the module, as the statement would.
    py::object create() {
        py::object cls = pysem::call(metaclass_, name_, bases_, namespace_);
        // pydantic keeps the caller frame's locals for resolving forward
        // references, and none for a class made at module level. Called from
        // here, that frame is the importer's: drop what it kept.
        if (PyObject_SetAttr(cls.ptr(), PYSEM_LIT("__pydantic_parent_namespace__").ptr(), Py_None) < 0)
            pysem::throw_pending();
        module_.attr(name_) = cls;
        return cls;
    }

  private:
    py::module_ module_;
    py::str name_;
    py::tuple bases_;
    py::object metaclass_;
    py::object namespace_;
    py::dict annotations_ = pysem::steal_as<py::dict>(PyDict_New());
};

void declare_models(py::module_ m) {
    const Imports lib(m);

    m.attr("MAX_QUERY_LIMIT") = integer(max_query_limit);
    m.attr("MAX_QUERY_TIMEOUT") = integer(max_query_timeout);

    const py::object str = type_object(&PyUnicode_Type);
    const py::object int_ = type_object(&PyLong_Type);
    const py::object bool_ = type_object(&PyBool_Type);
    const py::object list = type_object(&PyList_Type);
    const py::object dict = type_object(&PyDict_Type);

    // dict[str, Any]: a JSON object.
    const py::object mapping =
        pysem::steal(PyObject_GetItem(dict.ptr(), pysem::steal(PyTuple_Pack(2, str.ptr(), lib.Any.ptr())).ptr()));
    const py::object opt_str = or_none(str);
    const py::object opt_int = or_none(int_);
    const py::object opt_str_list = or_none(list_of(str));
    const py::object opt_mapping_list = or_none(list_of(mapping));

    const py::object none = py::none();
    auto Field = [&](const auto &...keywords) { return pysem::call(lib.Field, keywords...); };
    const char *const forbid = "forbid";
    const char *const selection_source_doc = "选表来源：planner/intent_route/local_fallback/user_specified";
    const char *const run_doc = "构造后立即执行查询";
    auto timeout = [&] {
        return Field(keyword{"default", none}, keyword{"ge", integer(1)}, keyword{"le", integer(max_query_timeout)});
    };
    // The intent-match fields that the run and simple bodies share.
    auto intent_code = [&] {
        return Field(keyword{"default", none}, keyword{"min_length", integer(1)}, keyword{"max_length", integer(128)});
    };
    auto selection_source = [&] {
        return Field(keyword{"default", none}, keyword{"min_length", integer(1)}, keyword{"max_length", integer(64)},
                     keyword{"description", py::str(selection_source_doc)});
    };
    auto match_record_id = [&] { return Field(keyword{"default", none}, keyword{"ge", integer(1)}); };
    auto currency = [&](const char *description) {
        return Field(keyword{"default", none}, keyword{"min_length", integer(3)}, keyword{"max_length", integer(3)},
                     keyword{"description", py::str(description)});
    };

    ModelStatement(lib, m, "QueryPlanRequest", "自然语言请求 → 规划合同（只规划不执行，对应 query plan）。", forbid)
        .field("request", str, Field(keyword{"min_length", integer(1)}, keyword{"max_length", integer(4000)}))
        .field("requested_fields", list_of(str),
               Field(keyword{"default_factory", list}, keyword{"max_length", integer(100)}))
        .field("top_n", opt_int, Field(keyword{"default", none}, keyword{"ge", integer(1)}, keyword{"le", integer(50)}))
        .create();

    const py::object order_by_item =
        ModelStatement(lib, m, "QueryFlowOrderBy", "查询结果排序项。", forbid)
            .field("field", str, Field(keyword{"min_length", integer(1)}, keyword{"max_length", integer(128)}))
            .field("desc", bool_, py::bool_(false))
            .create();

    ModelStatement(lib, m, "QueryFlowRequest", "自然语言取数 API 的稳定请求合同（对应 query flow）。", forbid)
        .field("request", str, Field(keyword{"min_length", integer(1)}, keyword{"max_length", integer(4000)}))
        .field("requested_fields", list_of(str),
               Field(keyword{"default_factory", list}, keyword{"max_length", integer(100)}))
        .field("limit", opt_int,
               Field(keyword{"default", none}, keyword{"ge", integer(1)}, keyword{"le", integer(10000)}))
        .field("order_by", or_none(list_of(order_by_item)),
               Field(keyword{"default", none}, keyword{"max_length", integer(50)}))
        .field("offset", opt_int, Field(keyword{"default", none}, keyword{"ge", integer(0)}))
        .create();

    ModelStatement(lib, m, "QueryIntentMatchRequest",
                   "自然语言需求匹配 dataset catalog intents（对应 query intent）。", forbid)
        .field("query", str, Field(keyword{"min_length", integer(1)}, keyword{"max_length", integer(4000)}))
        .field("source",
               pysem::steal(PyObject_GetItem(
                   lib.Literal.ptr(), pysem::steal(PyTuple_Pack(2, py::str("remote").ptr(), py::str("local").ptr())).ptr())),
               py::str("remote"))
        .field("fallback_local", bool_, py::bool_(true))
        .create();

    ModelStatement(lib, m, "QueryRunRequest",
                   "执行已构造完整的 query payload（对应 query run）。\n"
                   "\n"
                   "    payload 为 query_spec 规范的完整查询 JSON；userEmail、query.from.* 等构造层\n"
                   "    生成字段禁止手写，服务端校验会直接拒绝。\n"
                   "    ",
                   forbid)
        .field("payload", mapping)
        .field("intent_code", opt_str, intent_code())
        .field("selection_source", opt_str, selection_source())
        .field("match_record_id", opt_int, match_record_id())
        .field("timeout", opt_int, timeout())
        .create();

    ModelStatement(lib, m, "QueryBuildRequest",
                   "基于简化参数构造标准 query payload，可选立即执行（对应 query build）。\n"
                   "\n"
                   "    dimensions/metrics 沿用构造层标识格式：\n"
                   "    field_name|global_alias|verbose_name[:alias]（metric 额外支持 :aggregation）。\n"
                   "    ",
                   forbid)
        .field("dataset", opt_str,
               Field(keyword{"default", none}, keyword{"min_length", integer(1)}, keyword{"max_length", integer(128)}))
        .field("table_id", opt_int, Field(keyword{"default", none}, keyword{"ge", integer(1)}))
        .field("dimensions", opt_str_list,
               Field(keyword{"default", none}, keyword{"max_length", integer(100)},
                     keyword{"description", py::str("维度定义：field_name|global_alias|verbose_name[:alias]")}))
        .field("metrics", opt_str_list,
               Field(keyword{"default", none}, keyword{"max_length", integer(100)},
                     keyword{"description", py::str("指标定义：field_name|global_alias|verbose_name:aggregation[:alias]")}))
        .field("where", opt_mapping_list,
               Field(keyword{"default", none}, keyword{"max_length", integer(100)},
                     keyword{"description", py::str("结构化筛选条件列表（CLI --where-json 的 REST 形态）")}))
        .field("having", opt_str_list,
               Field(keyword{"default", none}, keyword{"max_length", integer(100)},
                     keyword{"description", py::str("having 条件：expr|operator|value_json")}))
        .field("order_by", opt_str_list, Field(keyword{"default", none}, keyword{"max_length", integer(50)}))
        .field("limit", int_,
               Field(keyword{"default", integer(20)}, keyword{"ge", integer(1)},
                     keyword{"le", integer(max_query_limit)}))
        .field("offset", int_, Field(keyword{"default", integer(0)}, keyword{"ge", integer(0)}))
        .field("dry_run", bool_, py::bool_(false))
        .field("data_comparison", opt_str,
               Field(keyword{"default", none}, keyword{"max_length", integer(128)},
                     keyword{"description", py::str("数据对比：field,start_date,end_date（例: date_id,2026-03-01,2026-03-22）")}))
        .field("global_currency", opt_str, currency("全局币种（USD/GBP/CAD/EUR/JPY/CNY），白名单由服务层校验"))
        .field("run", bool_, Field(keyword{"default", Py_False}, keyword{"description", py::str(run_doc)}))
        .field("timeout", opt_int, timeout())
        .create();

    const py::object simple_spec =
        ModelStatement(lib, m, "SimpleQuerySpec",
                       "simple query 参数体（与 CLI --payload JSON 同构，snake_case 形态）。\n"
                       "\n"
                       "    extra=\"ignore\"：与 CLI 的 key_map 行为一致，只取认识的键，未知键不报错。\n"
                       "    ",
                       "ignore")
            .field("dimensions", opt_mapping_list, Field(keyword{"default", none}, keyword{"max_length", integer(100)}))
            .field("metrics", opt_mapping_list, Field(keyword{"default", none}, keyword{"max_length", integer(100)}))
            .field("filters", opt_mapping_list, Field(keyword{"default", none}, keyword{"max_length", integer(100)}))
            .field("data_comparison", or_none(mapping), none)
            .field("order_by", opt_mapping_list, Field(keyword{"default", none}, keyword{"max_length", integer(50)}))
            .field("limit", opt_int,
                   Field(keyword{"default", none}, keyword{"ge", integer(1)}, keyword{"le", integer(max_query_limit)}))
            .field("offset", opt_int, Field(keyword{"default", none}, keyword{"ge", integer(0)}))
            .field("dry_run", bool_, py::bool_(false))
            .field("global_currency", opt_str, currency("全局币种（USD/GBP/CAD/EUR/JPY/CNY）"))
            .create();

    ModelStatement(lib, m, "QuerySimpleRequest", "构造 simple query payload 并可选执行（对应 query simple）。",
                   forbid)
        .field("table_id", int_, Field(keyword{"ge", integer(1)}))
        .field("dataset", opt_str,
               Field(keyword{"default", none}, keyword{"min_length", integer(1)}, keyword{"max_length", integer(128)},
                     keyword{"description", py::str("dataset_alias 或 dataset_name，用于字段校验")}))
        .field("payload", simple_spec)
        .field("global_currency", opt_str,
               currency("全局币种；优先级高于 payload.global_currency（与 CLI 选项优先级一致）"))
        .field("run", bool_, Field(keyword{"default", Py_False}, keyword{"description", py::str(run_doc)}))
        .field("timeout", opt_int, timeout())
        .field("intent_code", opt_str, intent_code())
        .field("selection_source", opt_str, selection_source())
        .field("match_record_id", opt_int, match_record_id())
        .create();

    ModelStatement(lib, m, "ChartRunRequest", "执行图表全部子查询并合并输出（对应 query chart --run）。", forbid)
        .field("dry_run", bool_,
               Field(keyword{"default", Py_False}, keyword{"description", py::str("仅生成 SQL，不执行查询")}))
        .field("timeout", opt_int, timeout())
        .create();
}

} // namespace

PELORIN_MODULE(query, m) {
    // A failed import (pydantic missing or broken) propagates unchanged and
    // fails the import of this module.
    pysem::bind_imports(m, {
        {"typing", "Any"},
        {"typing", "Literal"},
        {"pydantic", "BaseModel"},
        {"pydantic", "ConfigDict"},
        {"pydantic", "Field"},
    });
    declare_models(m);
}
