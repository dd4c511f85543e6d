"""Loading the query request models: a failed import of pydantic fails the module's import."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import pelorin

from ..conftest import API_ERROR_SOURCE

STAGE = pathlib.Path(pelorin.__file__).parent.parent

PROBE = textwrap.dedent(
    """
    import sys
    {setup}
    try:
        import pelorin.api.schemas.query
    except BaseException as error:
        print(type(error).__name__, error, getattr(error, "name", None), sep="|")
        print("pelorin.api.schemas.query" in sys.modules)
    else:
        print("imported")
    """
)


def run_probe(setup, tmp_path, extra_path=None):
    path = [str(extra_path)] if extra_path else []
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([*path, str(STAGE)])}
    result = subprocess.run(
        [sys.executable, "-c", PROBE.format(setup=setup)], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_missing_pydantic_fails_the_import(tmp_path):
    lines = run_probe("sys.modules['pydantic'] = None", tmp_path)
    assert lines == ["ModuleNotFoundError|import of pydantic halted; None in sys.modules|pydantic", "False"]


def test_broken_pydantic_error_passes_through(tmp_path):
    fake = tmp_path / "site" / "pydantic"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise RuntimeError('pydantic is broken here')\n")
    lines = run_probe("", tmp_path, extra_path=fake.parent)
    assert lines == ["RuntimeError|pydantic is broken here|None", "False"]


@pytest.mark.parametrize("setup", ["", "import pydantic"])
def test_fresh_interpreter_imports_the_module(setup, tmp_path):
    assert run_probe(setup, tmp_path) == ["imported"]


API_ERROR = API_ERROR_SOURCE + "import pydantic\n"

# A stand-in for BaseModel whose metaclass is changed once the class is made.
META = """
class Meta(type):
    pass
class Base(metaclass=Meta):
    pass
pydantic.BaseModel = Base
"""


@pytest.mark.parametrize("setup, expected", [
    ("pydantic.Field = raise_api_error", "NotFound|"),
    ("pydantic.ConfigDict = raise_api_error", "NotFound|"),
    # pydantic reads typing.Literal as it loads its parts: those are loaded first.
    ("class Loaded(pydantic.BaseModel):\n    x: int = pydantic.Field(default=0)\n"
     "import typing\nclass Form:\n    __getitem__ = raise_api_error\ntyping.Literal = Form()", "NotFound|"),
    (META + "Meta.__prepare__ = raise_api_error", "NotFound|"),
    (META + "class Namespace(dict):\n    __setitem__ = raise_api_error\nMeta.__prepare__ = lambda *args: Namespace()",
     "NotFound|"),
    (META + "Meta.__new__ = raise_api_error", "NotFound|"),
    (META + "Meta.__setattr__ = raise_api_error", "NotFound|"),
    (META + "Meta.__prepare__ = lambda *args: 5", "TypeError|Meta.__prepare__() must return a mapping, not int"),
], ids=["Field", "ConfigDict", "Literal", "metaclass-prepare", "namespace-setitem", "metaclass-new",
        "class-setattr", "prepare-no-mapping"])
def test_a_failing_class_statement_fails_the_import_with_its_own_error(setup, expected, tmp_path):
    """What the models are made with raising ApiError, whose constructor
    gives a NotFound, fails the import with that NotFound, as the class
    statements of a Python module would."""
    assert run_probe(API_ERROR + setup, tmp_path) == [expected + "|None", "False"]
