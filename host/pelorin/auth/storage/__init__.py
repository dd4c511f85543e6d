"""Persistent credential storage."""

from pelorin.auth.storage.credential_store import CredentialStore

__all__ = ["CredentialStore"]
