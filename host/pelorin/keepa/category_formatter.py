"""Category rows of a Keepa category answer, with the parent categories."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class FormattedCategoryExport:
    categories: list[dict[str, Any]] = field(default_factory=list)
    parents: list[dict[str, Any]] = field(default_factory=list)

    def extra_sheets(self) -> dict[str, list[dict[str, Any]]]:
        return {"parents": self.parents} if self.parents else {}


def _row(category: dict[str, Any], site: str, domain_id: Any) -> dict[str, Any]:
    children = category.get("children")
    return {
        "site": site,
        "domainId": domain_id,
        "catId": category.get("catId"),
        "name": category.get("name"),
        "parent": category.get("parent"),
        "productCount": category.get("productCount"),
        "childCount": len(children) if isinstance(children, list) else 0,
    }


def format_category_export(categories: list[Any], *, site: str, domain_id: Any, parent_rows: list[Any]) -> FormattedCategoryExport:
    parents = [_row(p, site, domain_id) for p in parent_rows if isinstance(p, dict)]
    names = {p["catId"]: p["name"] for p in parents}
    result = FormattedCategoryExport(parents=parents)
    for category in categories:
        if isinstance(category, dict):
            row = _row(category, site, domain_id)
            row["parentName"] = names.get(row["parent"])
            result.categories.append(row)
    return result
