"""Records of one Keepa scenario run: the request, the export and the result."""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from typing import Any


@dataclass
class KeepaScenarioRequest:
    scenario: str
    site: str | None = "US"
    params: dict[str, Any] = field(default_factory=dict)
    job_id: str | None = None
    output_dir: str | None = None
    export_format: str = "xlsx"
    reserve_tokens: int | None = None
    force: bool = False
    wait: bool = False
    upload_export: bool = False

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)


@dataclass
class KeepaExportResult:
    path: str
    filename: str
    format: str
    mime_type: str
    row_count: int | None = None
    url: str | None = None

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)


@dataclass
class KeepaScenarioResult:
    job_id: str
    scenario: str
    site: str
    row_count: int
    root_dir: str
    params_path: str
    raw_path: str
    result_path: str
    export: KeepaExportResult | None = None
    data: list[Any] = field(default_factory=list)
    quota: dict[str, Any] = field(default_factory=dict)
    warnings: list[dict[str, Any]] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        # Shallow on purpose: the rows can be large and are serialised at once.
        return {
            "job_id": self.job_id,
            "scenario": self.scenario,
            "site": self.site,
            "row_count": self.row_count,
            "root_dir": self.root_dir,
            "params_path": self.params_path,
            "raw_path": self.raw_path,
            "result_path": self.result_path,
            "export": self.export.to_dict() if self.export is not None else None,
            "data": self.data,
            "quota": self.quota,
            "warnings": self.warnings,
        }
