"""Cache metadata of collection results."""

from __future__ import annotations

from typing import Any

CACHE_METADATA_KEY = "_collection_cache"
_SCALARS = (str, int, float, bool, type(None))


def safe_result_metadata(result: Any) -> dict[str, Any]:
    """The result's scalar top-level members (rows and exports left out) and its row count."""
    if not isinstance(result, dict):
        return {}
    metadata = {
        key: value
        for key, value in result.items()
        if isinstance(key, str) and key not in ("data", "export") and isinstance(value, _SCALARS)
    }
    data = result.get("data")
    if isinstance(data, list):
        metadata["row_count"] = len(data)
    return metadata


def attach_cache_metadata(
    params: Any, *, cache_key: str | None, cache_scope: str | None, result_metadata: Any
) -> dict[str, Any]:
    """A copy of the request parameters with the cache identity and result metadata."""
    attached = dict(params) if isinstance(params, dict) else {}
    attached[CACHE_METADATA_KEY] = {
        "cache_key": cache_key,
        "cache_scope": cache_scope,
        "result_metadata": result_metadata,
    }
    return attached
