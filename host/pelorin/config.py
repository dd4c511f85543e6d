"""Package-wide settings of pelorin."""

__version__ = "0.1.0"
