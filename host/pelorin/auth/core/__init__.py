"""Core of the authentication package: token lifetimes."""
