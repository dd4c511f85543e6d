"""Token lifetimes of the operations platform."""

from __future__ import annotations

# Upper bound, in seconds, of every token lifetime the package stores.
MAX_JWT_TTL = 24 * 60 * 60
