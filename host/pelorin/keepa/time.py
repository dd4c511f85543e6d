"""Keepa time: minutes since 2011-01-01 00:00 UTC, turned into ISO 8601 texts."""

from __future__ import annotations

from datetime import datetime, timezone
from typing import Any

KEEPA_EPOCH_MINUTES = 21564000
TIME_FIELDS = (
    "lastUpdate",
    "lastPriceChange",
    "lastRatingUpdate",
    "lastSoldUpdate",
    "trackingSince",
    "listedSince",
    "creationDate",
    "startTime",
    "endTime",
    "lastSeen",
)


def keepa_minutes_to_iso(value: Any) -> str | None:
    if isinstance(value, bool) or not isinstance(value, int) or value <= 0:
        return None
    try:
        moment = datetime.fromtimestamp((value + KEEPA_EPOCH_MINUTES) * 60, tz=timezone.utc)
    except (OverflowError, OSError, ValueError):
        return None
    return moment.isoformat().replace("+00:00", "Z")


def add_keepa_time_conversions(rows: list[Any]) -> list[Any]:
    """A copy of the rows where each Keepa time field gets a "<field>Iso" twin."""
    converted: list[Any] = []
    for row in rows:
        if not isinstance(row, dict):
            converted.append(row)
            continue
        row = dict(row)
        for name in TIME_FIELDS:
            iso = keepa_minutes_to_iso(row.get(name))
            if iso is not None:
                row[name + "Iso"] = iso
        converted.append(row)
    return converted
