"""Rows of a Keepa deals answer."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class FormattedDealExport:
    deals: list[dict[str, Any]] = field(default_factory=list)

    def extra_sheets(self) -> dict[str, list[dict[str, Any]]]:
        return {}


def format_deal_export(deals: list[Any], *, site: str, domain_id: Any) -> FormattedDealExport:
    result = FormattedDealExport()
    for deal in deals:
        if isinstance(deal, dict):
            result.deals.append(
                {
                    "site": site,
                    "domainId": domain_id,
                    "asin": deal.get("asin"),
                    "title": deal.get("title"),
                    "rootCat": deal.get("rootCat"),
                    "current": deal.get("current"),
                    "deltaPercent": deal.get("deltaPercent"),
                }
            )
    return result
