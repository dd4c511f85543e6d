"""The catalogue of Keepa API scenarios: endpoint, parameters and token cost."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from pelorin.keepa.domain.exceptions import KeepaConfigError

DOMAIN_IDS = {"US": 1, "GB": 2, "UK": 2, "DE": 3, "FR": 4, "JP": 5, "CA": 6, "IT": 8, "ES": 9, "IN": 10, "MX": 11, "BR": 12}


def _as_list(value: Any) -> list[Any]:
    if value is None or value == "":
        return []
    if isinstance(value, (list, tuple)):
        return list(value)
    return [part.strip() for part in str(value).split(",") if part.strip()]


@dataclass(frozen=True)
class KeepaScenario:
    name: str
    endpoint: str
    description: str
    # Tokens per request, and per listed item for scenarios that take lists.
    base_tokens: int | None
    per_item: str | None = None
    fixed_params: tuple[tuple[str, Any], ...] = ()
    selection: bool = False

    def build_params(self, *, params: dict[str, Any] | None, site: str) -> dict[str, Any]:
        domain = DOMAIN_IDS.get(str(site).upper())
        if domain is None:
            raise KeepaConfigError("不支持的 Keepa 站点：" + str(site))
        params = dict(params or {})
        built: dict[str, Any] = {"domain": domain, **dict(self.fixed_params)}
        if self.selection:
            # Query scenarios send their filters as one JSON selection.
            built["selection"] = json.dumps(params, ensure_ascii=False, separators=(",", ":"))
            return built
        if self.per_item:
            items = _as_list(params.pop(self.per_item, None)) + _as_list(params.pop(self.per_item + "s", None))
            if items:
                built[self.per_item] = ",".join(str(item) for item in items)
        built.update(params)
        return built

    def estimate_tokens(self, params: dict[str, Any] | None) -> int | None:
        params = params or {}
        if self.per_item:
            count = len(_as_list(params.get(self.per_item))) + len(_as_list(params.get(self.per_item + "s")))
            if not count:
                return None
            # Offers cost six tokens more per product.
            extra = 6 if self.name == "product" and params.get("offers") else 0
            return count * ((self.base_tokens or 1) + extra)
        return self.base_tokens

    def to_public_dict(self) -> dict[str, Any]:
        return {"name": self.name, "endpoint": self.endpoint, "description": self.description}


_SCENARIOS = {
    s.name: s
    for s in (
        KeepaScenario("product", "product", "按 ASIN 查询商品详情", 1, per_item="asin"),
        KeepaScenario("product-search", "search", "按关键词搜索商品", 10, fixed_params=(("type", "product"),)),
        KeepaScenario("product-finder", "query", "按条件筛选商品", 10, selection=True),
        KeepaScenario("category-search", "search", "按关键词搜索类目", 1, fixed_params=(("type", "category"),)),
        KeepaScenario("category-lookup", "category", "查询类目树", 1),
        KeepaScenario("seller", "seller", "查询卖家信息", 1, per_item="seller"),
        KeepaScenario("top-seller", "topseller", "查询站点头部卖家", 50),
        KeepaScenario("bestsellers", "bestsellers", "查询类目畅销榜", 50),
        KeepaScenario("deals", "deal", "查询降价商品", 5, selection=True),
        KeepaScenario("lightning-deals", "lightningdeal", "查询秒杀活动", 1),
    )
}


def list_scenarios() -> list[dict[str, Any]]:
    return [scenario.to_public_dict() for scenario in _SCENARIOS.values()]


def get_scenario(name: str) -> KeepaScenario:
    scenario = _SCENARIOS.get(name)
    if scenario is None:
        raise KeepaConfigError("不支持的 Keepa 场景：" + str(name))
    return scenario
