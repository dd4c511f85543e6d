"""Product rows of a Keepa product answer, with an offers sheet on request."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from pelorin.keepa.time import keepa_minutes_to_iso

_FIELDS = ("asin", "title", "brand", "manufacturer", "productGroup", "rootCategory", "salesRankReference")


@dataclass
class FormattedProductExport:
    products: list[dict[str, Any]] = field(default_factory=list)
    offers: list[dict[str, Any]] = field(default_factory=list)

    def extra_sheets(self) -> dict[str, list[dict[str, Any]]]:
        return {"offers": self.offers} if self.offers else {}


def format_product_export(products: list[Any], *, site: str, domain_id: Any, offers_requested: bool = False) -> FormattedProductExport:
    result = FormattedProductExport()
    for product in products:
        if not isinstance(product, dict):
            continue
        row: dict[str, Any] = {"site": site, "domainId": domain_id}
        for name in _FIELDS:
            row[name] = product.get(name)
        row["lastUpdate"] = keepa_minutes_to_iso(product.get("lastUpdate"))
        result.products.append(row)
        offers = product.get("offers")
        if offers_requested and isinstance(offers, list):
            for offer in offers:
                if isinstance(offer, dict):
                    result.offers.append(
                        {
                            "asin": product.get("asin"),
                            "sellerId": offer.get("sellerId"),
                            "condition": offer.get("condition"),
                            "isFBA": offer.get("isFBA"),
                            "isPrime": offer.get("isPrime"),
                        }
                    )
    return result
