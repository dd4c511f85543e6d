"""Every function and method the native modules define looks like one written
in Python: a signature that inspect reads, the qualified name Class.method,
the doc text and nothing generated before it, and the interpreter's own
wording for a call that does not fit."""

import asyncio
import importlib
import inspect
import types

import pytest

from .conftest import NATIVE_MODULES
from .signatures import EXPECTED

MODULES = NATIVE_MODULES


def _is_coroutine_function(obj):
    return type(obj).__name__ == "native_coroutine_function"


def _native_callables(module_name):
    """(qualified name, callable, owning class or None) for every function of
    the module and every method of its classes, in definition order."""
    module = importlib.import_module(module_name)
    found = []
    for name, value in vars(module).items():
        if isinstance(value, types.BuiltinFunctionType) and value.__self__ is module:
            found.append((name, value, None))
        elif _is_coroutine_function(value) and value.__module__ == module_name:
            found.append((name, value, None))
        elif isinstance(value, type) and value.__module__ == module_name and value.__qualname__ == name:
            for attr, member in vars(value).items():
                if isinstance(member, (types.MethodDescriptorType, types.BuiltinFunctionType)) or _is_coroutine_function(member):
                    found.append((f"{name}.{attr}", member, value))
                elif isinstance(member, staticmethod):
                    found.append((f"{name}.{attr}", member.__func__, None))
                elif type(member).__name__ == "instancemethod":
                    found.append((f"{name}.{attr}", member, value))  # fails below: not a native method of ours
    return found


CALLABLES = [(m, q, f, c) for m in MODULES for q, f, c in _native_callables(m)]


def test_every_module_defines_callables_and_the_table_names_them_all():
    for module_name in MODULES:
        names = {q for m, q, _, _ in CALLABLES if m == module_name}
        expected = set(EXPECTED.get(module_name, {}))
        assert names == expected, f"{module_name}: not in the table {sorted(names - expected)}, gone {sorted(expected - names)}"


@pytest.mark.parametrize("module_name, qualname, obj, owner", CALLABLES, ids=[f"{m.rsplit('.', 1)[-1]}:{q}" for m, q, _, _ in CALLABLES])
def test_callable_looks_like_python(module_name, qualname, obj, owner):
    name = qualname.rsplit(".", 1)[-1]
    assert type(obj).__name__ != "instancemethod", "a method made by pybind11"
    assert obj.__qualname__ == qualname and obj.__name__ == name
    signature, doc = EXPECTED[module_name][qualname]
    assert str(inspect.signature(obj)) == signature
    assert obj.__doc__ == doc
    if owner is not None:
        assert next(iter(inspect.signature(obj).parameters)) == "self"
    assert asyncio.iscoroutinefunction(obj) == _is_coroutine_function(obj)


COROUTINE_CALLABLES = [c for c in CALLABLES if _is_coroutine_function(c[2])]


@pytest.mark.parametrize("module_name, qualname, obj, owner", COROUTINE_CALLABLES,
                         ids=[f"{m.rsplit('.', 1)[-1]}:{q}" for m, q, _, _ in COROUTINE_CALLABLES])
def test_coroutine_functions_look_like_async_def_to_inspect(module_name, qualname, obj, owner):
    """inspect, which pydantic, Starlette and the MCP SDK ask, tells a
    coroutine function by its code's flags, on the class and bound alike."""
    forms = [obj]
    if owner is not None:
        bound = getattr(owner.__new__(owner), qualname.rsplit(".", 1)[-1])
        assert inspect.ismethod(bound) and bound.__func__ is obj
        forms.append(bound)
    for form in forms:
        assert inspect.iscoroutinefunction(form) and asyncio.iscoroutinefunction(form)
        assert not inspect.isgeneratorfunction(form) and not inspect.isasyncgenfunction(form)
    code = obj.__code__
    assert isinstance(code, types.CodeType) and code.co_flags & inspect.CO_COROUTINE
    assert obj.__code__ is code and (code.co_name, code.co_qualname) == (obj.__name__, qualname)
    # The code, the defaults and the signature name the same parameters.
    parameters = list(inspect.signature(obj).parameters.values())
    kinds = [p.kind for p in parameters]
    assert code.co_varnames == tuple(p.name for p in parameters)
    assert code.co_posonlyargcount == kinds.count(inspect.Parameter.POSITIONAL_ONLY)
    assert code.co_argcount == code.co_posonlyargcount + kinds.count(inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert code.co_kwonlyargcount == kinds.count(inspect.Parameter.KEYWORD_ONLY)
    positional_defaults = tuple(p.default for p in parameters[:code.co_argcount] if p.default is not p.empty)
    keyword_defaults = {p.name: p.default for p in parameters[code.co_argcount:] if p.default is not p.empty}
    assert obj.__defaults__ == (positional_defaults or None)
    assert obj.__kwdefaults__ == (keyword_defaults or None)
    assert obj.__annotations__ == {} and obj.__annotations__ is obj.__annotations__


def test_coroutine_functions_made_at_run_time_look_like_async_def():
    probe = importlib.import_module("pelorin._aio_probe")
    for made, shown, names, flags in [
        (probe.make_callable("f", lambda a: a), "(arg1, /)", ("arg1",), 0),
        (probe.make_relay("r", lambda a: a), "(arg1, /)", ("arg1",), 0),
        (probe.make_relay("n", lambda: None, arity=0), "()", (), 0),
        (probe.await_each, "(*args)", ("args",), inspect.CO_VARARGS),
    ]:
        assert inspect.iscoroutinefunction(made) and str(inspect.signature(made)) == shown
        assert made.__code__.co_varnames == names and made.__code__.co_flags & inspect.CO_VARARGS == flags
        assert made.__defaults__ is None and made.__kwdefaults__ is None


async def test_validate_call_awaits_a_native_coroutine_method():
    import pydantic

    from pelorin.mcp.gatlow import FixedApiKeyAuthProvider

    verify = pydantic.validate_call(FixedApiKeyAuthProvider("k").verify_token)
    assert inspect.iscoroutinefunction(verify)
    assert (await verify("k")).token == "k"
    assert await verify("other") is None


@pytest.mark.parametrize("module_name, qualname, obj, owner", CALLABLES, ids=[f"{m.rsplit('.', 1)[-1]}:{q}" for m, q, _, _ in CALLABLES])
def test_an_unknown_keyword_is_refused_in_the_interpreters_words(module_name, qualname, obj, owner):
    args = () if owner is None else (owner.__new__(owner),)
    with pytest.raises(TypeError) as info:
        obj(*args, no_such_argument=1)
    assert str(info.value) == f"{qualname}() got an unexpected keyword argument 'no_such_argument'"


def test_bound_methods_drop_self_from_their_signature():
    from pelorin.amazon_rufus.services.telvara import Telvara
    from pelorin.app.services.kelpton import KelptonentialStore

    assert str(inspect.signature(Telvara().format_data)) == "(data)"
    assert str(inspect.signature(Telvara()._format_link_items)) == "(raw_items, *, include_source)"
    assert str(inspect.signature(KelptonentialStore)) == "(runner=None)"
    assert repr(Telvara().format_data).startswith("<built-in method format_data of Telvara object at ")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda T: T().format_data(), "Telvara.format_data() missing 1 required positional argument: 'data'"),
        (lambda T: T().format_data({}, {}), "Telvara.format_data() takes 2 positional arguments but 3 were given"),
        (lambda T: T().format_data({}, data={}), "Telvara.format_data() got multiple values for argument 'data'"),
        (lambda T: T()._format_link_items([]), "Telvara._format_link_items() missing 1 required keyword-only argument: 'include_source'"),
    ],
)
def test_calls_that_do_not_fit_fail_as_the_interpreter_words_them(call, message):
    from pelorin.amazon_rufus.services.telvara import Telvara

    with pytest.raises(TypeError) as info:
        call(Telvara)
    assert str(info.value) == message


def _async_def_twin(obj, qualname):
    """An `async def` with the native callable's header, named as it is: what
    Python raises for a call of it is what the native callable must raise."""
    parameters = list(inspect.signature(obj).parameters.values())
    namespace, text, kind_before = {}, [], None
    for i, p in enumerate(parameters):
        if kind_before is inspect.Parameter.POSITIONAL_ONLY and p.kind is not kind_before:
            text.append("/")
        if p.kind is inspect.Parameter.KEYWORD_ONLY and kind_before is not p.kind:
            text.append("*")
        if p.kind in (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD):
            text.append(str(p))
        elif p.default is p.empty:
            text.append(p.name)
        else:
            namespace[f"_default{i}"] = p.default
            text.append(f"{p.name}=_default{i}")
        kind_before = p.kind
    if kind_before is inspect.Parameter.POSITIONAL_ONLY:
        text.append("/")
    exec(f"async def twin({', '.join(text)}): pass", namespace)
    twin = namespace["twin"]
    twin.__qualname__ = qualname
    return twin


def _outcome(function, kwargs):
    try:
        coroutine = function(**kwargs)
    except TypeError as error:
        return str(error)
    coroutine.close()
    return None


@pytest.mark.parametrize("module_name, qualname, obj, owner", COROUTINE_CALLABLES,
                         ids=[f"{m.rsplit('.', 1)[-1]}:{q}" for m, q, _, _ in COROUTINE_CALLABLES])
def test_coroutine_functions_refuse_arguments_as_async_def_does(module_name, qualname, obj, owner):
    """Called without its instance (or with none of its arguments), a native
    coroutine function raises what the same `async def` header raises."""
    twin = _async_def_twin(obj, qualname)
    calls = [{}]
    if owner is not None:
        others = {name: object() for name in list(inspect.signature(obj).parameters)[1:]}
        calls += [{"self": owner.__new__(owner), **others}, others]
    for kwargs in calls:
        expected = _outcome(twin, kwargs)
        if expected is not None or owner is not None:
            assert _outcome(obj, kwargs) == expected, kwargs
