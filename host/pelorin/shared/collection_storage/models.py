"""Records of the collection storage."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any


@dataclass(frozen=True)
class CollectionSubmission:
    """One finished job waiting in the outbox; its files lie in `result_dir`."""

    job_id: str
    source_system: str
    scenario: str
    result_dir: Path
    site: str | None = None
    cache_key: str | None = None
    cache_scope: str | None = None
    result_metadata: dict[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class ParsedCollection:
    """What a parser makes of a submission, ready for the database adapter."""

    submission: CollectionSubmission
    parser_version: str
    request_params: dict[str, Any]
    artifacts: list[dict[str, Any]]
    datasets: list[dict[str, Any]]
