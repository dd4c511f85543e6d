"""Keepa settings of the host."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any


@dataclass
class KeepaSettings:
    # Relative paths are taken from the working directory of the run.
    output_dir: Path = Path("data/keepa")
    reserve_tokens: int = 0
    # Key texts (numbered as accounts 1, 2, ... in order) or KeepaApiKey records.
    api_keys: tuple[Any, ...] = ()


def load_settings() -> KeepaSettings:
    return KeepaSettings()
