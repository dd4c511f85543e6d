"""Rows of a Keepa lightning-deal answer."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from pelorin.keepa.time import keepa_minutes_to_iso


@dataclass
class FormattedLightningDealExport:
    deals: list[dict[str, Any]] = field(default_factory=list)

    def extra_sheets(self) -> dict[str, list[dict[str, Any]]]:
        return {}


def format_lightning_deal_export(deals: list[Any], *, site: str, domain_id: Any) -> FormattedLightningDealExport:
    result = FormattedLightningDealExport()
    for deal in deals:
        if isinstance(deal, dict):
            result.deals.append(
                {
                    "site": site,
                    "domainId": domain_id,
                    "asin": deal.get("asin"),
                    "title": deal.get("title"),
                    "dealPrice": deal.get("dealPrice"),
                    "percentClaimed": deal.get("percentClaimed"),
                    "dealState": deal.get("dealState"),
                    "startTime": keepa_minutes_to_iso(deal.get("startTime")),
                    "endTime": keepa_minutes_to_iso(deal.get("endTime")),
                }
            )
    return result
