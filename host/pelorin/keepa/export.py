"""Export files of a Keepa run: the raw answer as JSON, or rows as a workbook."""

from __future__ import annotations

import json
import math
import re
from pathlib import Path
from typing import Any

from pelorin.keepa.domain.models import KeepaExportResult

XLSX_MIME = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
# Characters that a worksheet cell cannot hold.
_ILLEGAL_CELL_CHARS = re.compile(r"[\x00-\x08\x0b\x0c\x0e-\x1f]")
_ILLEGAL_SHEET_CHARS = re.compile(r"[\[\]:*?/\\]")


def export_response_to_json(*, response: Any, output_path: Any, scenario: str, site: str) -> KeepaExportResult:
    path = Path(output_path)
    data = json.dumps(response, ensure_ascii=False, indent=2).encode("utf-8")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return KeepaExportResult(path=str(path), filename=path.name, format="json", mime_type="application/json")


def _cell(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else str(value)
    if not isinstance(value, str):
        value = json.dumps(value, ensure_ascii=False, default=str)
    return _ILLEGAL_CELL_CHARS.sub("", value.encode("utf-8", "replace").decode("utf-8"))


def _write_sheet(sheet: Any, rows: list[Any]) -> None:
    rows = [row if isinstance(row, dict) else {"value": row} for row in rows]
    columns: dict[str, None] = {}
    for row in rows:
        columns.update(dict.fromkeys(str(key) for key in row))
    header = list(columns)
    sheet.append(header)
    for row in rows:
        values = {str(key): value for key, value in row.items()}
        sheet.append([_cell(values.get(name)) for name in header])


def _sheet_title(name: Any, taken: set[str]) -> str:
    base = _ILLEGAL_SHEET_CHARS.sub("_", str(name)).strip("'")[:31] or "sheet"
    title, number = base, 2
    while title.lower() in taken:
        suffix = f"_{number}"
        title, number = base[: 31 - len(suffix)] + suffix, number + 1
    taken.add(title.lower())
    return title


def export_rows_to_xlsx(
    *,
    rows: list[Any],
    output_path: Any,
    scenario: str,
    site: str,
    params: Any = None,
    extra_sheets: dict[str, list[Any]] | None = None,
) -> KeepaExportResult:
    from openpyxl import Workbook

    path = Path(output_path)
    workbook = Workbook()
    main = workbook.active
    main.title = "data"
    taken = {"data", "request"}
    _write_sheet(main, rows)
    for name, sheet_rows in (extra_sheets or {}).items():
        _write_sheet(workbook.create_sheet(_sheet_title(name, taken)), list(sheet_rows or []))
    request = workbook.create_sheet("request")
    request.append(["key", "value"])
    request.append(["scenario", _cell(scenario)])
    request.append(["site", _cell(site)])
    for key, value in (params.items() if isinstance(params, dict) else ()):
        request.append([_cell(str(key)), _cell(value)])
    path.parent.mkdir(parents=True, exist_ok=True)
    workbook.save(path)
    return KeepaExportResult(path=str(path), filename=path.name, format="xlsx", mime_type=XLSX_MIME, row_count=len(rows))
