"""Helpers shared by the collection parsers.

A job directory holds "params.json" (the request parameters), "result.json"
(the result document) and, when the result's "export" member names one, the
export file.
"""

from __future__ import annotations

import hashlib
import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable

PARAMS_FILE = "params.json"
RESULT_FILE = "result.json"


class CollectionParseError(Exception):
    """A finished job that a parser cannot turn into a parsed collection."""


@dataclass(frozen=True)
class ResultFiles:
    result_dir: Path
    params_path: Path
    result_path: Path
    params: Any
    result: Any
    export: dict[str, Any]
    export_path: Path | None


def _read_json(path: Path, source_name: str) -> Any:
    try:
        text = path.read_text(encoding="utf-8")
    except FileNotFoundError:
        raise CollectionParseError(f"{source_name} 结果文件不存在：{path}") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        raise CollectionParseError(f"{source_name} 结果文件不是有效 JSON：{path}") from exc


def load_result_files(submission: Any, *, source_name: str) -> ResultFiles:
    """Reads the job's files from its result directory."""
    result_dir = Path(submission.result_dir)
    params_path = result_dir / PARAMS_FILE
    result_path = result_dir / RESULT_FILE
    params = _read_json(params_path, source_name)
    result = _read_json(result_path, source_name)
    export = result.get("export") if isinstance(result, dict) else None
    export = dict(export) if isinstance(export, dict) else {}
    export_path = None
    name = export.get("path")
    if name:
        export_path = result_dir / str(name)
        # The result document names the file; it must not reach outside the job.
        if not export_path.resolve().is_relative_to(result_dir.resolve()):
            raise CollectionParseError(f"{source_name} 导出文件不在任务目录内：{name}")
        if not export_path.is_file():
            raise CollectionParseError(f"{source_name} 导出文件不存在：{export_path}")
    return ResultFiles(result_dir, params_path, result_path, params, result, export, export_path)


def _artifact(kind: str, path: Path, mime_type: str) -> dict[str, Any]:
    data = path.read_bytes()
    return {
        "kind": kind,
        "name": path.name,
        "path": str(path),
        "mime_type": mime_type,
        "size_bytes": len(data),
        "sha256": hashlib.sha256(data).hexdigest(),
    }


def standard_artifacts(files: ResultFiles, *, default_export_mime_type: str) -> list[dict[str, Any]]:
    """The artifact records of a job's files: parameters, result and export."""
    artifacts = [
        _artifact("params", files.params_path, "application/json"),
        _artifact("result", files.result_path, "application/json"),
    ]
    if files.export_path is not None:
        artifacts.append(_artifact("export", files.export_path, default_export_mime_type))
    return artifacts


def json_datasets(
    table: dict[str, Any], *, source_name: str, business_key_fields: Iterable[str]
) -> list[dict[str, Any]]:
    """The dataset records of one table ("sheet_name", "columns", "rows")."""
    columns = list(table["columns"])
    rows = [list(row) for row in table["rows"]]
    for row in rows:
        if len(row) != len(columns):
            raise CollectionParseError(f"{source_name} 数据行与列数不一致：{table['sheet_name']}")
    present = set(columns)
    return [
        {
            "name": table["sheet_name"],
            "source_name": source_name,
            "columns": columns,
            "rows": rows,
            "row_count": len(rows),
            "business_key_fields": [name for name in business_key_fields if name in present],
        }
    ]
