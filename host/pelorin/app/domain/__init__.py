"""Domain types of the app command."""
