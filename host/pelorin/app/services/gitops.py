"""Runs the system's git for the app command."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path
from typing import Sequence

from pelorin.app.domain.exceptions import AppGitError

# Git must never stop to ask on a terminal: a missing credential is an answer.
_NO_PROMPT = {"GIT_TERMINAL_PROMPT": "0", "GIT_ASKPASS": "", "SSH_ASKPASS": "", "GCM_INTERACTIVE": "never"}


class GitRunner:
    def __init__(self, git: str = "git", *, timeout: float | None = 60.0) -> None:
        self.git = git
        self.timeout = timeout

    def run(
        self,
        root: str | os.PathLike[str],
        args: Sequence[str],
        *,
        check: bool = True,
        input_text: str | None = None,
    ) -> subprocess.CompletedProcess[str]:
        """Runs git with `args` in `root`, feeding `input_text` to its standard input."""
        result = subprocess.run(
            [self.git, *args],
            cwd=Path(root),
            input=input_text if input_text is not None else "",
            capture_output=True,
            text=True,
            encoding="utf-8",
            errors="surrogateescape",
            env={**os.environ, **_NO_PROMPT},
            timeout=self.timeout,
        )
        if check and result.returncode != 0:
            detail = result.stderr.strip() or f"exit status {result.returncode}"
            raise AppGitError("GIT-001", f"git {' '.join(args)} 执行失败：{detail}")
        return result
