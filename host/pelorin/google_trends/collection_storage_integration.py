"""How Google Trends jobs meet the collection storage."""

from __future__ import annotations

import hashlib
import json
from typing import Any


def google_trends_cache_identity_from_params(
    params: Any, *, scenario: str | None, geo: str | None
) -> tuple[str, str]:
    """The cache key and scope of a Google Trends request."""
    scope = f"google_trends:{scenario or 'default'}:{geo or 'global'}"
    canonical = json.dumps(
        {"scenario": scenario, "geo": geo, "params": params},
        sort_keys=True,
        ensure_ascii=False,
        separators=(",", ":"),
        default=str,
    )
    digest = hashlib.sha256(canonical.encode("utf-8", "surrogatepass")).hexdigest()
    return f"google_trends:{digest[:32]}", scope
