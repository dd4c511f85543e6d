"""Upload client of the host's file service.

Uploads are enabled for a signed-in caller (a JWT). This repository has no file
service: an accepted upload is recorded in `uploaded` and gets an address under
a reserved, unreachable domain.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any

UPLOAD_BASE_URL = "https://files.pelorin.invalid"

uploaded: list[dict[str, Any]] = []


class FileUploadError(Exception):
    def __init__(self, message: str, *, code: str = "FILE_UPLOAD_FAILED", status_code: int | None = None):
        super().__init__(message)
        self.message = message
        self.code = code
        self.status_code = status_code

    def to_dict(self) -> dict[str, Any]:
        return {"code": self.code, "message": self.message, "status_code": self.status_code}


@dataclass
class UploadedFile:
    url: str
    key: str
    size: int


class FileUploadClient:
    def __init__(self, *, jwt: str | None = None, session_id: str | None = None):
        self.jwt = jwt
        self.session_id = session_id
        self.enabled = bool(jwt)

    def upload(self, path: Any, *, purpose: str, folder: str, public: str = "0", metadata: dict[str, Any] | None = None) -> UploadedFile:
        if not self.enabled:
            raise FileUploadError("未登录，无法上传文件", code="FILE_UPLOAD_DISABLED")
        file = Path(path)
        if not file.is_file():
            raise FileUploadError("待上传文件不存在：" + str(file), code="FILE_NOT_FOUND")
        key = f"{folder.strip('/')}/{file.name}"
        record = {"key": key, "path": str(file), "purpose": purpose, "public": public, "metadata": dict(metadata or {})}
        uploaded.append(record)
        return UploadedFile(url=f"{UPLOAD_BASE_URL}/{key}", key=key, size=file.stat().st_size)
