"""Sheets of the search insights that a Keepa product-finder answer carries."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass
class FormattedSearchInsightsExport:
    summary: list[dict[str, Any]] = field(default_factory=list)
    breakdowns: dict[str, list[dict[str, Any]]] = field(default_factory=dict)

    def extra_sheets(self) -> dict[str, list[dict[str, Any]]]:
        sheets = {"search_insights": self.summary} if self.summary else {}
        sheets.update((name, rows) for name, rows in self.breakdowns.items() if rows)
        return sheets


def format_search_insights_export(insights: Any, *, site: str, domain_id: Any, query_name: str) -> FormattedSearchInsightsExport:
    result = FormattedSearchInsightsExport()
    if not isinstance(insights, dict):
        return result
    summary: dict[str, Any] = {"query": query_name, "site": site, "domainId": domain_id}
    for name, value in insights.items():
        if isinstance(value, list):
            result.breakdowns["insights_" + str(name)] = [v if isinstance(v, dict) else {"value": v} for v in value]
        elif not isinstance(value, dict):
            summary[name] = value
    result.summary.append(summary)
    return result
