"""Sub-interpreters: every native module refuses to load in one, at once and
with an ImportError that names it, and the main interpreter's modules are
unaffected, whether they loaded before the refused import or after it.

Two hosts make the sub-interpreter: `_xxsubinterpreters`, which runs it on
the calling thread (where the modules' set-up used to hang for good), and a
small embedding host built here that runs it on a thread of its own, as
servers embedding the interpreter do (where the modules used to load and
share their state with the main interpreter)."""

import subprocess
import sys
import sysconfig
import textwrap

import pytest

from ..conftest import NATIVE_MODULES, run_python

MODULES = NATIVE_MODULES

# Runs `code` in a new sub-interpreter on a thread of its own: the thread's
# first thread state belongs to the sub-interpreter, as in a server that
# hands each worker thread to one.
HOST_SOURCE = r"""
#include <Python.h>
#include <pthread.h>

struct job {
    PyInterpreterState *interp;
    const char *code;
    int rc;
};

static void *worker(void *arg) {
    struct job *job = arg;
    PyThreadState *ts = PyThreadState_New(job->interp);
    PyEval_RestoreThread(ts);
    job->rc = PyRun_SimpleString(job->code);
    PyThreadState_Clear(ts);
    PyThreadState_DeleteCurrent();
    return NULL;
}

static PyObject *run(PyObject *self, PyObject *arg) {
    const char *code = PyUnicode_AsUTF8(arg);
    if (!code) return NULL;
    PyThreadState *main_ts = PyThreadState_Get();
    PyThreadState *sub = Py_NewInterpreter();
    PyThreadState_Swap(main_ts);
    if (!sub) {
        PyErr_SetString(PyExc_RuntimeError, "no sub-interpreter");
        return NULL;
    }
    struct job job = {PyThreadState_GetInterpreter(sub), code, -1};
    pthread_t thread;
    int started;
    Py_BEGIN_ALLOW_THREADS
    started = pthread_create(&thread, NULL, worker, &job) == 0;
    if (started) pthread_join(thread, NULL);
    Py_END_ALLOW_THREADS
    PyThreadState_Swap(sub);
    Py_EndInterpreter(sub);
    PyThreadState_Swap(main_ts);
    if (!started) return PyErr_Format(PyExc_RuntimeError, "no thread");
    return PyLong_FromLong(job.rc);
}

static PyMethodDef methods[] = {{"run", run, METH_O, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "_subhost", NULL, -1, methods};
PyMODINIT_FUNC PyInit__subhost(void) { return PyModule_Create(&def); }
"""

# Calls that go through each module's kept state (its namespace, one-time
# builds and tables), printed for comparison with a run that made no
# sub-interpreter.
SMOKE = """
from fractions import Fraction

from pelorin.amazon_rufus.services.telvara import Telvara
from pelorin.app.domain.exceptions import AppGitError
from pelorin.app.services.kelpton import KelptonentialStore
from pelorin.api.schemas.query import MAX_QUERY_LIMIT
from pelorin.query.services.planner import ombrith

print("telvara", Telvara()._question_at(["q1", "q2"], Fraction(2)), Telvara().format_data({"questions": ["q"]}) != "")
try:
    KelptonentialStore().save_credential(".", repo_url="ssh://git@example.com/r.git", username="u", token="t")
except AppGitError as error:
    print("kelpton", error.code)
print("ombrith", ombrith.requested_canonical_fields("销售额和订单量"), len(ombrith.FIELD_QUERY_TERMS))
print("query", MAX_QUERY_LIMIT)
"""

SUBINTERPRETERS = """
import importlib
import sys

NAMES = {names!r}
if sys.argv[1] == "before":
    for name in NAMES:
        importlib.import_module(name)
{make}
for name in NAMES:
    print(name, refused(name), flush=True)
for name in NAMES:
    importlib.import_module(name)
print("-- main")
{smoke}
"""

XX = """
import _xxsubinterpreters as subs

def refused(name):
    interp = subs.create()
    try:
        subs.run_string(interp, "import " + name)
    except subs.RunFailedError as error:
        return str(error)
    finally:
        subs.destroy(interp)
    return "loaded"
"""

EMBEDDED = """
import os
import tempfile

sys.path.insert(0, {host_dir!r})
import _subhost

def refused(name):
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "out")
        code = (
            "import sys\\n"
            f"sys.path[:] = {{sys.path!r}}\\n"
            "try:\\n"
            f"    import {{name}}\\n"
            "    said = 'loaded'\\n"
            "except ImportError as error:\\n"
            "    said = f'{{type(error)}}: {{error}}'\\n"
            f"with open({{out!r}}, 'w') as out:\\n"
            "    out.write(said)\\n"
        )
        assert _subhost.run(code) == 0
        with open(out) as said:
            return said.read()
"""


@pytest.fixture(scope="module")
def host_dir(tmp_path_factory):
    """The embedding host, built for this interpreter."""
    where = tmp_path_factory.mktemp("subhost")
    source = where / "subhost.c"
    source.write_text(HOST_SOURCE)
    target = where / ("_subhost" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = (sysconfig.get_config_var("CC") or "cc").split()
    built = subprocess.run([*compiler, "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], str(source),
                            "-o", str(target), "-lpthread"], capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    return str(where)


def refusal(name):
    return f"{name} <class 'ImportError'>: {name}: sub-interpreters are not supported; import it in the main interpreter"


@pytest.fixture(scope="module")
def smoke():
    """What the main interpreter's modules answer when no sub-interpreter ran."""
    ran = run_python(SMOKE, hung="the calls hung")
    assert ran.returncode == 0, ran.stderr
    return ran.stdout


@pytest.mark.parametrize("order", ["before", "after"])
@pytest.mark.parametrize("route", ["xxsubinterpreters", "own-thread"])
def test_sub_interpreter_import_is_refused(route, order, smoke, request):
    make = XX if route == "xxsubinterpreters" else EMBEDDED.format(host_dir=request.getfixturevalue("host_dir"))
    script = SUBINTERPRETERS.format(names=MODULES, make=textwrap.dedent(make), smoke=SMOKE)
    ran = run_python(script, order, hung=f"a sub-interpreter's import hung ({route}, main loaded {order})",
                     timeout=120)
    assert ran.returncode == 0, ran.stderr
    refusals, main = ran.stdout.split("-- main\n")
    assert refusals.splitlines() == [refusal(name) for name in MODULES]
    assert main == smoke
