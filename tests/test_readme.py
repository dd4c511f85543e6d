"""Every Python block of the README is a whole program that runs as written,
and again in the same place: each one in its own interpreter, in an empty
directory, with a scratch home and a Git that reads no configuration of the
machine or the user. What the first run prints is the text block shown under
the program, where "..." stands for any text."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
# (program, the output shown under it)
BLOCKS = re.findall(r"^```python\n(.*?)^```\n\n```text\n(.*?)^```\n", README.read_text(encoding="utf-8"), re.M | re.S)
MODULES = ["pelorin.amazon_rufus.services.telvara", "pelorin.keepa.services.brondic", "pelorin.mcp.gatlow",
           "pelorin.mcp.lusmere", "pelorin.query.services.planner", "pelorin.api.schemas.query",
           "pelorin.google_trends.sarvick", "pelorin.app.services.kelpton"]
# Loopback only: a proxy from the environment must not carry the examples' requests.
PROXY_VARIABLES = {"http_proxy", "https_proxy", "all_proxy", "no_proxy"}


def test_every_module_has_an_example():
    for module in MODULES:
        assert any(f"from {module} import" in program for program, _ in BLOCKS), module


def test_every_program_shows_its_output():
    assert len(BLOCKS) == README.read_text(encoding="utf-8").count("```python\n")


def _shown(output):
    """The output shown as a pattern: "..." matches any text."""
    return re.compile(".*?".join(map(re.escape, output.split("..."))), re.S)


@pytest.fixture
def scratch_env(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(("GIT_", "PELORIN_")) and name.lower() not in PROXY_VARIABLES}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"), GIT_CONFIG_NOSYSTEM="1",
               GIT_TERMINAL_PROMPT="0", PYTHONIOENCODING="utf-8")
    # The child starts elsewhere: an import path given relative to here must still find the package.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


@pytest.mark.parametrize("program, output", BLOCKS, ids=[f"block{number}" for number in range(1, len(BLOCKS) + 1)])
def test_block_runs_twice_and_prints_what_is_shown(program, output, tmp_path, scratch_env):
    path = tmp_path / "example.py"
    path.write_text(program, encoding="utf-8")
    cwd = tmp_path / "work"
    cwd.mkdir()
    for run in ("first", "second"):
        # The examples' servers live inside the child: ending it (also on a
        # time-out, which kills it) leaves none behind.
        done = subprocess.run([sys.executable, str(path)], cwd=cwd, env=scratch_env, capture_output=True,
                              encoding="utf-8", timeout=600)
        assert done.returncode == 0, f"{run} run:\n{done.stdout}{done.stderr}"
        if run == "first":
            assert _shown(output).fullmatch(done.stdout), done.stdout
