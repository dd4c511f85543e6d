"""Seller rows of a Keepa seller answer, with the storefront ASINs."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class FormattedSellerExport:
    sellers: list[dict[str, Any]] = field(default_factory=list)
    storefront: list[dict[str, Any]] = field(default_factory=list)

    def extra_sheets(self) -> dict[str, list[dict[str, Any]]]:
        return {"storefront": self.storefront} if self.storefront else {}


def format_seller_export(sellers: list[Any], *, site: str, domain_id: Any) -> FormattedSellerExport:
    result = FormattedSellerExport()
    for seller in sellers:
        if not isinstance(seller, dict):
            continue
        result.sellers.append(
            {
                "site": site,
                "domainId": domain_id,
                "sellerId": seller.get("sellerId"),
                "sellerName": seller.get("sellerName"),
                "isScammer": seller.get("isScammer"),
                "hasFBA": seller.get("hasFBA"),
                "totalStorefrontAsins": seller.get("totalStorefrontAsins"),
            }
        )
        asins = seller.get("asinList")
        if isinstance(asins, list):
            result.storefront.extend({"sellerId": seller.get("sellerId"), "asin": asin} for asin in asins)
    return result
