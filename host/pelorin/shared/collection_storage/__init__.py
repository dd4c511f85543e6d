"""Collection storage: finished data-collection jobs and their parsed records."""
