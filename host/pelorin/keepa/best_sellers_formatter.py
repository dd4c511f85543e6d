"""Ranked ASIN rows of a Keepa best-sellers answer."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class FormattedBestSellersExport:
    asin_rows: list[dict[str, Any]] = field(default_factory=list)
    summary: list[dict[str, Any]] = field(default_factory=list)

    def extra_sheets(self) -> dict[str, list[dict[str, Any]]]:
        return {"best_sellers": self.summary} if self.summary else {}


def format_best_sellers_export(best_sellers: Any, *, site: str, domain_id: Any, category_id: Any) -> FormattedBestSellersExport:
    result = FormattedBestSellersExport()
    if not isinstance(best_sellers, dict):
        return result
    asins = best_sellers.get("asinList")
    if isinstance(asins, list):
        result.asin_rows = [
            {"site": site, "domainId": domain_id, "categoryId": category_id, "rank": rank, "asin": asin}
            for rank, asin in enumerate(asins, start=1)
        ]
    result.summary.append(
        {
            "categoryId": best_sellers.get("categoryId", category_id),
            "lastUpdate": best_sellers.get("lastUpdate"),
            "asinCount": len(result.asin_rows),
        }
    )
    return result
