"""Every Python block of the README is a whole program that runs as written:
each one in its own interpreter, in an empty directory, with a scratch home
and a Git that reads no configuration of the machine or the user."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```\n", README.read_text(encoding="utf-8"), re.M | re.S)
MODULES = ["pelorin.amazon_rufus.services.telvara", "pelorin.keepa.services.brondic", "pelorin.mcp.gatlow",
           "pelorin.mcp.lusmere", "pelorin.query.services.planner", "pelorin.api.schemas.query",
           "pelorin.google_trends.sarvick", "pelorin.app.services.kelpton"]
# Loopback only: a proxy from the environment must not carry the examples' requests.
PROXY_VARIABLES = {"http_proxy", "https_proxy", "all_proxy", "no_proxy"}


def test_every_module_has_an_example():
    for module in MODULES:
        assert any(f"from {module} import" in block for block in BLOCKS), module


@pytest.fixture
def scratch_env(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(("GIT_", "PELORIN_")) and name.lower() not in PROXY_VARIABLES}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"), GIT_CONFIG_NOSYSTEM="1",
               GIT_TERMINAL_PROMPT="0")
    # The child starts elsewhere: an import path given relative to here must still find the package.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{number}" for number in range(1, len(BLOCKS) + 1)])
def test_block_runs(block, tmp_path, scratch_env):
    program = tmp_path / "example.py"
    program.write_text(block, encoding="utf-8")
    cwd = tmp_path / "work"
    cwd.mkdir()
    # The examples' servers live inside the child: ending it (also on a
    # time-out, which kills it) leaves none behind.
    done = subprocess.run([sys.executable, str(program)], cwd=cwd, env=scratch_env, capture_output=True,
                          text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
