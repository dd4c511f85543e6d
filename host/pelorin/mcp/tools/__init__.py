"""MCP business tools and their shared helpers."""
