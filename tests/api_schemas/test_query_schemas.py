"""The query request models behave exactly like the same models written in Python."""

import copy
import pickle
import re
import types
import typing
from typing import Any, Literal

import fastapi
import httpx
import pytest
from pydantic import BaseModel, ConfigDict, Field, ValidationError

from pelorin.api.schemas import query

MODULE = "pelorin.api.schemas.query"


# The same contracts as a Python module would declare them: the reference every
# native model is compared with. Placed in the native module's name so that
# reprs, titles and schemas line up.
class QueryPlanRequest(BaseModel):
    """自然语言请求 → 规划合同（只规划不执行，对应 query plan）。"""

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    request: str = Field(min_length=1, max_length=4000)
    requested_fields: list[str] = Field(default_factory=list, max_length=100)
    top_n: int | None = Field(default=None, ge=1, le=50)


class QueryFlowOrderBy(BaseModel):
    """查询结果排序项。"""

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    field: str = Field(min_length=1, max_length=128)
    desc: bool = False


class QueryFlowRequest(BaseModel):
    """自然语言取数 API 的稳定请求合同（对应 query flow）。"""

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    request: str = Field(min_length=1, max_length=4000)
    requested_fields: list[str] = Field(default_factory=list, max_length=100)
    limit: int | None = Field(default=None, ge=1, le=10000)
    order_by: list[QueryFlowOrderBy] | None = Field(default=None, max_length=50)
    offset: int | None = Field(default=None, ge=0)


class QueryIntentMatchRequest(BaseModel):
    """自然语言需求匹配 dataset catalog intents（对应 query intent）。"""

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    query: str = Field(min_length=1, max_length=4000)
    source: Literal["remote", "local"] = "remote"
    fallback_local: bool = True


class QueryRunRequest(BaseModel):
    """执行已构造完整的 query payload（对应 query run）。

    payload 为 query_spec 规范的完整查询 JSON；userEmail、query.from.* 等构造层
    生成字段禁止手写，服务端校验会直接拒绝。
    """

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    payload: dict[str, Any]
    intent_code: str | None = Field(default=None, min_length=1, max_length=128)
    selection_source: str | None = Field(
        default=None, min_length=1, max_length=64, description="选表来源：planner/intent_route/local_fallback/user_specified"
    )
    match_record_id: int | None = Field(default=None, ge=1)
    timeout: int | None = Field(default=None, ge=1, le=300)


class QueryBuildRequest(BaseModel):
    """基于简化参数构造标准 query payload，可选立即执行（对应 query build）。

    dimensions/metrics 沿用构造层标识格式：
    field_name|global_alias|verbose_name[:alias]（metric 额外支持 :aggregation）。
    """

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    dataset: str | None = Field(default=None, min_length=1, max_length=128)
    table_id: int | None = Field(default=None, ge=1)
    dimensions: list[str] | None = Field(
        default=None, max_length=100, description="维度定义：field_name|global_alias|verbose_name[:alias]"
    )
    metrics: list[str] | None = Field(
        default=None, max_length=100, description="指标定义：field_name|global_alias|verbose_name:aggregation[:alias]"
    )
    where: list[dict[str, Any]] | None = Field(
        default=None, max_length=100, description="结构化筛选条件列表（CLI --where-json 的 REST 形态）"
    )
    having: list[str] | None = Field(default=None, max_length=100, description="having 条件：expr|operator|value_json")
    order_by: list[str] | None = Field(default=None, max_length=50)
    limit: int = Field(default=20, ge=1, le=500000)
    offset: int = Field(default=0, ge=0)
    dry_run: bool = False
    data_comparison: str | None = Field(
        default=None, max_length=128, description="数据对比：field,start_date,end_date（例: date_id,2026-03-01,2026-03-22）"
    )
    global_currency: str | None = Field(
        default=None, min_length=3, max_length=3, description="全局币种（USD/GBP/CAD/EUR/JPY/CNY），白名单由服务层校验"
    )
    run: bool = Field(default=False, description="构造后立即执行查询")
    timeout: int | None = Field(default=None, ge=1, le=300)


class SimpleQuerySpec(BaseModel):
    """simple query 参数体（与 CLI --payload JSON 同构，snake_case 形态）。

    extra="ignore"：与 CLI 的 key_map 行为一致，只取认识的键，未知键不报错。
    """

    __module__ = MODULE
    model_config = ConfigDict(extra="ignore")

    dimensions: list[dict[str, Any]] | None = Field(default=None, max_length=100)
    metrics: list[dict[str, Any]] | None = Field(default=None, max_length=100)
    filters: list[dict[str, Any]] | None = Field(default=None, max_length=100)
    data_comparison: dict[str, Any] | None = None
    order_by: list[dict[str, Any]] | None = Field(default=None, max_length=50)
    limit: int | None = Field(default=None, ge=1, le=500000)
    offset: int | None = Field(default=None, ge=0)
    dry_run: bool = False
    global_currency: str | None = Field(default=None, min_length=3, max_length=3, description="全局币种（USD/GBP/CAD/EUR/JPY/CNY）")


class QuerySimpleRequest(BaseModel):
    """构造 simple query payload 并可选执行（对应 query simple）。"""

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    table_id: int = Field(ge=1)
    dataset: str | None = Field(default=None, min_length=1, max_length=128, description="dataset_alias 或 dataset_name，用于字段校验")
    payload: SimpleQuerySpec
    global_currency: str | None = Field(
        default=None, min_length=3, max_length=3, description="全局币种；优先级高于 payload.global_currency（与 CLI 选项优先级一致）"
    )
    run: bool = Field(default=False, description="构造后立即执行查询")
    timeout: int | None = Field(default=None, ge=1, le=300)
    intent_code: str | None = Field(default=None, min_length=1, max_length=128)
    selection_source: str | None = Field(
        default=None, min_length=1, max_length=64, description="选表来源：planner/intent_route/local_fallback/user_specified"
    )
    match_record_id: int | None = Field(default=None, ge=1)


class ChartRunRequest(BaseModel):
    """执行图表全部子查询并合并输出（对应 query chart --run）。"""

    __module__ = MODULE
    model_config = ConfigDict(extra="forbid")

    dry_run: bool = Field(default=False, description="仅生成 SQL，不执行查询")
    timeout: int | None = Field(default=None, ge=1, le=300)


NAMES = [
    "QueryPlanRequest",
    "QueryFlowOrderBy",
    "QueryFlowRequest",
    "QueryIntentMatchRequest",
    "QueryRunRequest",
    "QueryBuildRequest",
    "SimpleQuerySpec",
    "QuerySimpleRequest",
    "ChartRunRequest",
]
FORBIDDING = [name for name in NAMES if name != "SimpleQuerySpec"]
REFERENCE = {name: globals()[name] for name in NAMES}


def pair(name):
    return getattr(query, name), REFERENCE[name]


def without_ids(text):
    # Core-schema refs end in the class's id.
    return re.sub(r":\d+", ":ID", text)


# ---------------------------------------------------------------------------
# The class itself


@pytest.mark.parametrize("name", NAMES)
def test_model_is_the_python_declaration(name):
    native, reference = pair(name)
    assert type(native) is type(BaseModel) and native.__bases__ == (BaseModel,)
    assert (native.__module__, native.__qualname__, native.__name__) == (MODULE, name, name)
    assert native.__doc__ == reference.__doc__
    assert native.model_config == reference.model_config
    assert list(vars(native)) == list(vars(reference))
    assert native.__pydantic_parent_namespace__ is None
    assert native.__pydantic_complete__
    assert repr(native.__annotations__) == repr(reference.__annotations__)
    assert repr(native.model_fields) == repr(reference.model_fields)
    for field, info in native.model_fields.items():
        assert repr(info._attributes_set) == repr(reference.model_fields[field]._attributes_set), field
    assert str(native.__signature__) == str(reference.__signature__)
    assert without_ids(repr(native.__pydantic_core_schema__)) == without_ids(repr(reference.__pydantic_core_schema__))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("mode", ["validation", "serialization"])
def test_json_schema_snapshot(name, mode):
    native, reference = pair(name)
    assert native.model_json_schema(mode=mode) == reference.model_json_schema(mode=mode)


def test_annotations_are_real_types():
    flow = query.QueryFlowRequest.__annotations__
    assert flow["request"] is str
    assert flow["order_by"] == list[query.QueryFlowOrderBy] | None
    assert isinstance(flow["order_by"], types.UnionType)
    assert query.QuerySimpleRequest.__annotations__["payload"] is query.SimpleQuerySpec
    assert query.QueryRunRequest.__annotations__["payload"] == dict[str, Any]
    assert query.QueryIntentMatchRequest.__annotations__["source"] == Literal["remote", "local"]
    for name in NAMES:
        model = getattr(query, name)
        assert typing.get_type_hints(model) == model.__annotations__
        assert model.model_rebuild(force=True) is True


def test_documentation_reaches_the_schema():
    schema = query.QueryRunRequest.model_json_schema()
    assert schema["description"] == (
        "执行已构造完整的 query payload（对应 query run）。\n\n"
        "payload 为 query_spec 规范的完整查询 JSON；userEmail、query.from.* 等构造层\n"
        "生成字段禁止手写，服务端校验会直接拒绝。"
    )
    assert query.SimpleQuerySpec.__doc__.endswith("未知键不报错。\n    ")
    assert schema["additionalProperties"] is False
    assert "additionalProperties" not in query.SimpleQuerySpec.model_json_schema()
    build = query.QueryBuildRequest.model_json_schema()["properties"]
    assert build["having"]["description"] == "having 条件：expr|operator|value_json"
    assert build["limit"] == {"default": 20, "maximum": 500000, "minimum": 1, "title": "Limit", "type": "integer"}


def test_module_exports_and_bounds():
    assert (query.MAX_QUERY_LIMIT, query.MAX_QUERY_TIMEOUT) == (500000, 300)
    assert type(query.MAX_QUERY_LIMIT) is int and type(query.MAX_QUERY_TIMEOUT) is int
    assert all(isinstance(getattr(query, name), type) for name in NAMES)
    assert (query.BaseModel, query.ConfigDict, query.Field, query.Any) == (BaseModel, ConfigDict, Field, Any)


# ---------------------------------------------------------------------------
# Validation

LONG = "字" * 4000
ITEM = {"field": "sales"}

# (model, body, None when accepted, else the one error as (type, loc))
BODIES = [
    # QueryPlanRequest
    ("QueryPlanRequest", {"request": LONG}, None),
    ("QueryPlanRequest", {"request": LONG + "x"}, ("string_too_long", ("request",))),
    ("QueryPlanRequest", {"request": ""}, ("string_too_short", ("request",))),
    ("QueryPlanRequest", {"request": " "}, None),
    ("QueryPlanRequest", {}, ("missing", ("request",))),
    ("QueryPlanRequest", {"request": None}, ("string_type", ("request",))),
    ("QueryPlanRequest", {"request": "x", "requested_fields": ["a"] * 100}, None),
    ("QueryPlanRequest", {"request": "x", "requested_fields": ["a"] * 101}, ("too_long", ("requested_fields",))),
    ("QueryPlanRequest", {"request": "x", "requested_fields": None}, ("list_type", ("requested_fields",))),
    ("QueryPlanRequest", {"request": "x", "requested_fields": ["a", 1]}, ("string_type", ("requested_fields", 1))),
    ("QueryPlanRequest", {"request": "x", "top_n": 0}, ("greater_than_equal", ("top_n",))),
    ("QueryPlanRequest", {"request": "x", "top_n": 51}, ("less_than_equal", ("top_n",))),
    ("QueryPlanRequest", {"request": "x", "top_n": 1}, None),
    ("QueryPlanRequest", {"request": "x", "top_n": 50}, None),
    ("QueryPlanRequest", {"request": "x", "top_n": None}, None),
    # QueryFlowOrderBy and QueryFlowRequest
    ("QueryFlowOrderBy", {"field": "f" * 128}, None),
    ("QueryFlowOrderBy", {"field": "f" * 129}, ("string_too_long", ("field",))),
    ("QueryFlowOrderBy", {"field": "f", "desc": None}, ("bool_type", ("desc",))),
    ("QueryFlowRequest", {"request": "x", "limit": 10000}, None),
    ("QueryFlowRequest", {"request": "x", "limit": 10001}, ("less_than_equal", ("limit",))),
    ("QueryFlowRequest", {"request": "x", "limit": 0}, ("greater_than_equal", ("limit",))),
    ("QueryFlowRequest", {"request": "x", "order_by": [ITEM, {"field": "b", "desc": True}]}, None),
    ("QueryFlowRequest", {"request": "x", "order_by": [ITEM] * 50}, None),
    ("QueryFlowRequest", {"request": "x", "order_by": [ITEM] * 51}, ("too_long", ("order_by",))),
    ("QueryFlowRequest", {"request": "x", "order_by": [ITEM, {"field": "b", "x": 1}]}, ("extra_forbidden", ("order_by", 1, "x"))),
    ("QueryFlowRequest", {"request": "x", "order_by": [{"field": ""}]}, ("string_too_short", ("order_by", 0, "field"))),
    ("QueryFlowRequest", {"request": "x", "order_by": ["sales"]}, ("model_type", ("order_by", 0))),
    ("QueryFlowRequest", {"request": "x", "offset": -1}, ("greater_than_equal", ("offset",))),
    ("QueryFlowRequest", {"request": "x", "offset": 0, "limit": None, "order_by": None}, None),
    # QueryIntentMatchRequest
    ("QueryIntentMatchRequest", {"query": "x", "source": "local", "fallback_local": False}, None),
    ("QueryIntentMatchRequest", {"query": "x", "source": "Remote"}, ("literal_error", ("source",))),
    ("QueryIntentMatchRequest", {"query": "x", "source": None}, ("literal_error", ("source",))),
    ("QueryIntentMatchRequest", {"query": "x", "fallback_local": None}, ("bool_type", ("fallback_local",))),
    # QueryRunRequest
    ("QueryRunRequest", {}, ("missing", ("payload",))),
    ("QueryRunRequest", {"payload": {}}, None),
    ("QueryRunRequest", {"payload": {"query": {"from": [1, None, {"a": 1.5}]}}}, None),
    ("QueryRunRequest", {"payload": None}, ("dict_type", ("payload",))),
    ("QueryRunRequest", {"payload": []}, ("dict_type", ("payload",))),
    ("QueryRunRequest", {"payload": {1: "x"}}, ("string_type", ("payload", 1, "[key]"))),
    ("QueryRunRequest", {"payload": {}, "intent_code": ""}, ("string_too_short", ("intent_code",))),
    ("QueryRunRequest", {"payload": {}, "selection_source": "s" * 64, "intent_code": "i" * 128}, None),
    ("QueryRunRequest", {"payload": {}, "selection_source": "s" * 65}, ("string_too_long", ("selection_source",))),
    ("QueryRunRequest", {"payload": {}, "match_record_id": 0}, ("greater_than_equal", ("match_record_id",))),
    ("QueryRunRequest", {"payload": {}, "match_record_id": 1}, None),
    # QueryBuildRequest
    ("QueryBuildRequest", {}, None),
    ("QueryBuildRequest", {"limit": 500000, "offset": 0}, None),
    ("QueryBuildRequest", {"limit": 500001}, ("less_than_equal", ("limit",))),
    ("QueryBuildRequest", {"limit": None}, ("int_type", ("limit",))),
    ("QueryBuildRequest", {"offset": -1}, ("greater_than_equal", ("offset",))),
    ("QueryBuildRequest", {"offset": None}, ("int_type", ("offset",))),
    ("QueryBuildRequest", {"dry_run": None}, ("bool_type", ("dry_run",))),
    ("QueryBuildRequest", {"run": None}, ("bool_type", ("run",))),
    ("QueryBuildRequest", {"data_comparison": ""}, None),
    ("QueryBuildRequest", {"data_comparison": "d" * 128}, None),
    ("QueryBuildRequest", {"data_comparison": "d" * 129}, ("string_too_long", ("data_comparison",))),
    ("QueryBuildRequest", {"dataset": ""}, ("string_too_short", ("dataset",))),
    ("QueryBuildRequest", {"table_id": 0}, ("greater_than_equal", ("table_id",))),
    ("QueryBuildRequest", {"where": [{"field": "a", "op": "=", "value": [1]}], "having": ["x|>|1"]}, None),
    ("QueryBuildRequest", {"where": ["a=1"]}, ("dict_type", ("where", 0))),
    ("QueryBuildRequest", {"where": [{}] * 101}, ("too_long", ("where",))),
    ("QueryBuildRequest", {"dimensions": ["d"] * 101}, ("too_long", ("dimensions",))),
    ("QueryBuildRequest", {"metrics": [{"a": 1}]}, ("string_type", ("metrics", 0))),
    ("QueryBuildRequest", {"order_by": ["o"] * 51}, ("too_long", ("order_by",))),
    ("QueryBuildRequest", {"order_by": [{"field": "o"}]}, ("string_type", ("order_by", 0))),
    # SimpleQuerySpec
    ("SimpleQuerySpec", {}, None),
    ("SimpleQuerySpec", {"limit": 500000, "offset": None, "unknown": 1, "session_id": "s"}, None),
    ("SimpleQuerySpec", {"limit": 500001}, ("less_than_equal", ("limit",))),
    ("SimpleQuerySpec", {"offset": -1}, ("greater_than_equal", ("offset",))),
    ("SimpleQuerySpec", {"filters": [{}] * 100, "order_by": [{}] * 50}, None),
    ("SimpleQuerySpec", {"filters": [{}] * 101}, ("too_long", ("filters",))),
    ("SimpleQuerySpec", {"dimensions": ["d"]}, ("dict_type", ("dimensions", 0))),
    ("SimpleQuerySpec", {"data_comparison": "date_id,2026-03-01,2026-03-22"}, ("dict_type", ("data_comparison",))),
    ("SimpleQuerySpec", {"dry_run": None}, ("bool_type", ("dry_run",))),
    # QuerySimpleRequest
    ("QuerySimpleRequest", {"table_id": 1, "payload": {}}, None),
    ("QuerySimpleRequest", {"table_id": 1, "payload": {"limit": 5, "unknown": 1}}, None),
    ("QuerySimpleRequest", {"table_id": 1, "payload": {}, "unknown": 1}, ("extra_forbidden", ("unknown",))),
    ("QuerySimpleRequest", {"payload": {}}, ("missing", ("table_id",))),
    ("QuerySimpleRequest", {"table_id": 0, "payload": {}}, ("greater_than_equal", ("table_id",))),
    ("QuerySimpleRequest", {"table_id": None, "payload": {}}, ("int_type", ("table_id",))),
    ("QuerySimpleRequest", {"table_id": 1}, ("missing", ("payload",))),
    ("QuerySimpleRequest", {"table_id": 1, "payload": None}, ("model_type", ("payload",))),
    ("QuerySimpleRequest", {"table_id": 1, "payload": {"limit": 0}}, ("greater_than_equal", ("payload", "limit"))),
    ("QuerySimpleRequest", {"table_id": 1, "payload": {}, "dataset": "d" * 129}, ("string_too_long", ("dataset",))),
    ("QuerySimpleRequest", {"table_id": 1, "payload": {}, "match_record_id": 0}, ("greater_than_equal", ("match_record_id",))),
    # ChartRunRequest
    ("ChartRunRequest", {}, None),
    ("ChartRunRequest", {"dry_run": True}, None),
    ("ChartRunRequest", {"dry_run": None}, ("bool_type", ("dry_run",))),
]

# Every body with a timeout: 300 is the last accepted value.
TIMEOUT_BASES = {
    "QueryRunRequest": {"payload": {}},
    "QueryBuildRequest": {},
    "QuerySimpleRequest": {"table_id": 1, "payload": {}},
    "ChartRunRequest": {},
}
for _name, _base in TIMEOUT_BASES.items():
    BODIES += [
        (_name, {**_base, "timeout": 300}, None),
        (_name, {**_base, "timeout": 1}, None),
        (_name, {**_base, "timeout": None}, None),
        (_name, {**_base, "timeout": 301}, ("less_than_equal", ("timeout",))),
        (_name, {**_base, "timeout": 0}, ("greater_than_equal", ("timeout",))),
    ]

# global_currency: exactly three characters, never checked against the six codes.
CURRENCY_BASES = {**{k: v for k, v in TIMEOUT_BASES.items() if k != "ChartRunRequest" and k != "QueryRunRequest"}, "SimpleQuerySpec": {}}
for _name, _base in CURRENCY_BASES.items():
    BODIES += [(_name, {**_base, "global_currency": code}, None) for code in ("USD", "usd", "XYZ", "元元元", None)]
    BODIES += [(_name, {**_base, "global_currency": code}, (kind, ("global_currency",))) for code, kind in (("US", "string_too_short"), ("USDT", "string_too_long"))]

# Tool and plumbing keys never pass a REST body.
MINIMAL = {
    "QueryPlanRequest": {"request": "x"},
    "QueryFlowOrderBy": {"field": "x"},
    "QueryFlowRequest": {"request": "x"},
    "QueryIntentMatchRequest": {"query": "x"},
    "QueryRunRequest": {"payload": {}},
    "QueryBuildRequest": {},
    "SimpleQuerySpec": {},
    "QuerySimpleRequest": {"table_id": 1, "payload": {}},
    "ChartRunRequest": {},
}
for _name in FORBIDDING:
    BODIES += [(_name, {**MINIMAL[_name], key: "v"}, ("extra_forbidden", (key,))) for key in ("session_id", "jwt")]


def case_id(case):
    name, body, error = case
    return f"{name}-{'ok' if error is None else error[0]}-{sorted(body)}"


@pytest.mark.parametrize("name, body, error", BODIES, ids=map(case_id, BODIES))
def test_bodies(name, body, error):
    native, reference = pair(name)
    if error is None:
        got = native.model_validate(body)
        assert type(got) is native
        assert got.model_dump() == reference.model_validate(body).model_dump()
        return
    with pytest.raises(ValidationError) as caught:
        native.model_validate(body)
    assert [(e["type"], e["loc"]) for e in caught.value.errors()] == [error]
    with pytest.raises(ValidationError) as expected:
        reference.model_validate(body)
    assert caught.value.title == name
    assert caught.value.errors() == expected.value.errors()
    assert str(caught.value) == str(expected.value)


@pytest.mark.parametrize(
    "name, body",
    [
        ("QueryFlowRequest", '{"request": "x", "limit": "5", "order_by": [{"field": "a", "desc": "true"}]}'),
        ("QueryBuildRequest", '{"limit": 1.0, "where": [{"a": {"b": [null]}}], "run": 1}'),
        ("QueryBuildRequest", '{"limit": 1.5}'),
        ("QuerySimpleRequest", '{"table_id": "7", "payload": {"filters": [{}], "extra": 1}}'),
        ("QueryIntentMatchRequest", '{"query": "x", "source": "local", "fallback_local": "no"}'),
        ("QueryPlanRequest", '{"request": "x", "top_n": true}'),
        ("ChartRunRequest", "[]"),
    ],
)
def test_json_bodies_convert_like_python(name, body):
    native, reference = pair(name)
    try:
        expected = reference.model_validate_json(body).model_dump(mode="json")
    except ValidationError as error:
        with pytest.raises(ValidationError) as caught:
            native.model_validate_json(body)
        assert caught.value.errors() == error.errors()
    else:
        assert native.model_validate_json(body).model_dump(mode="json") == expected


@pytest.mark.parametrize(
    "name, body, defaults",
    [
        ("QueryPlanRequest", {"request": "x"}, {"request": "x", "requested_fields": [], "top_n": None}),
        ("QueryFlowOrderBy", {"field": "f"}, {"field": "f", "desc": False}),
        ("QueryIntentMatchRequest", {"query": "q"}, {"query": "q", "source": "remote", "fallback_local": True}),
        (
            "QueryBuildRequest",
            {},
            {
                "dataset": None, "table_id": None, "dimensions": None, "metrics": None, "where": None, "having": None,
                "order_by": None, "limit": 20, "offset": 0, "dry_run": False, "data_comparison": None,
                "global_currency": None, "run": False, "timeout": None,
            },
        ),
        ("ChartRunRequest", {}, {"dry_run": False, "timeout": None}),
        (
            "QuerySimpleRequest",
            {"table_id": 3, "payload": {"unknown": 1}},
            {
                "table_id": 3,
                "dataset": None,
                "payload": {
                    "dimensions": None, "metrics": None, "filters": None, "data_comparison": None, "order_by": None,
                    "limit": None, "offset": None, "dry_run": False, "global_currency": None,
                },
                "global_currency": None, "run": False, "timeout": None,
                "intent_code": None, "selection_source": None, "match_record_id": None,
            },
        ),
    ],
)
def test_defaults_in_field_order(name, body, defaults):
    dumped = getattr(query, name).model_validate(body).model_dump()
    assert list(dumped.items()) == list(defaults.items())
    if "payload" in defaults:
        assert list(dumped["payload"].items()) == list(defaults["payload"].items())


@pytest.mark.parametrize("name", ["QueryPlanRequest", "QueryFlowRequest"])
def test_requested_fields_default_is_a_fresh_list(name):
    model = getattr(query, name)
    assert model.model_fields["requested_fields"].default_factory is list
    first, second = model(request="a"), model(request="b")
    first.requested_fields.append("x")
    assert second.requested_fields == [] and model(request="c").requested_fields == []


def test_nested_models_are_the_module_own():
    flow = query.QueryFlowRequest.model_validate({"request": "x", "order_by": [{"field": "a", "desc": True}]})
    assert type(flow.order_by[0]) is query.QueryFlowOrderBy
    assert flow.order_by[0].desc is True
    simple = query.QuerySimpleRequest(table_id=1, payload=query.SimpleQuerySpec(limit=3))
    assert type(simple.payload) is query.SimpleQuerySpec and simple.payload.limit == 3
    # An instance of another class of the same shape is not the nested model.
    with pytest.raises(ValidationError) as caught:
        query.QuerySimpleRequest(table_id=1, payload=SimpleQuerySpec(limit=3))
    assert caught.value.errors()[0]["type"] == "model_type"
    assert query.SimpleQuerySpec(unknown=1).model_dump() == query.SimpleQuerySpec().model_dump()


@pytest.mark.parametrize(
    "name, kwargs",
    [
        ("QueryPlanRequest", {"request": "请求", "requested_fields": ["销量"], "top_n": 3}),
        ("QueryFlowRequest", {"request": "x", "order_by": [{"field": "a"}], "offset": 2}),
        ("QueryIntentMatchRequest", {"query": "x", "source": "local"}),
        ("QueryRunRequest", {"payload": {"query": {"from": "t"}}, "timeout": 9}),
        ("QueryBuildRequest", {"where": [{"a": 1}], "run": True}),
        ("QuerySimpleRequest", {"table_id": 1, "payload": {"filters": [{"f": 1}]}}),
        ("ChartRunRequest", {"dry_run": True}),
    ],
)
def test_instances_pickle_and_copy(name, kwargs):
    model = getattr(query, name)
    instance = model(**kwargs)
    assert pickle.loads(pickle.dumps(model)) is model
    restored = pickle.loads(pickle.dumps(instance))
    assert type(restored) is model and restored == instance
    assert copy.deepcopy(instance) == instance
    assert model.model_validate(instance.model_dump()) == instance
    assert model.model_validate_json(instance.model_dump_json()) == instance


# ---------------------------------------------------------------------------
# As request bodies of an HTTP endpoint

BODY_NAMES = [name for name in NAMES if name not in ("QueryFlowOrderBy", "SimpleQuerySpec")]


def make_app(models):
    app = fastapi.FastAPI()
    for name in BODY_NAMES:
        model = models[name]

        def endpoint(body: model) -> model:
            return body

        app.post(f"/{name}", name=name)(endpoint)
    return app


@pytest.fixture(scope="module")
def app():
    return make_app({name: getattr(query, name) for name in NAMES})


def test_openapi_document_matches_python_models(app):
    assert app.openapi() == make_app(REFERENCE).openapi()


async def post(app, name, body):
    async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test") as client:
        return await client.post(f"/{name}", json=body)


@pytest.mark.parametrize("name", BODY_NAMES)
async def test_endpoint_validates_the_body(app, name):
    body = {**MINIMAL[name], "timeout": 300} if name in TIMEOUT_BASES else MINIMAL[name]
    answer = await post(app, name, body)
    assert answer.status_code == 200
    assert answer.json() == getattr(query, name).model_validate(body).model_dump(mode="json")

    answer = await post(app, name, {**body, "session_id": "s"})
    assert answer.status_code == 422
    assert [(e["type"], e["loc"]) for e in answer.json()["detail"]] == [("extra_forbidden", ["body", "session_id"])]


async def test_endpoint_drops_unknown_nested_keys_and_reports_nested_errors(app):
    answer = await post(app, "QuerySimpleRequest", {"table_id": 2, "payload": {"limit": 4, "jwt": "t"}})
    assert answer.status_code == 200
    assert answer.json()["payload"]["limit"] == 4 and "jwt" not in answer.json()["payload"]

    answer = await post(app, "QueryFlowRequest", {"request": "x", "order_by": [{"field": ""}]})
    assert answer.status_code == 422
    assert [e["loc"] for e in answer.json()["detail"]] == [["body", "order_by", 0, "field"]]
