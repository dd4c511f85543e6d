"""Keepa API access: the client and the scenario catalogue."""
