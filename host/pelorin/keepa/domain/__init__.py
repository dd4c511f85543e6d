"""Keepa domain types: errors and records."""
