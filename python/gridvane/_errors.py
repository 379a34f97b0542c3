"""The exceptions a failed library call becomes."""

from __future__ import annotations

import os
from typing import Optional


class Error(OSError):
    """A failure Gridvane reported.

    ``errno`` is the error number the library set (None when it set none, as
    the ASCII reader does), ``strerror`` the library's own message without
    its newline (or the system's text for the error number when the library
    printed nothing), ``filename`` the file concerned, where there is one.

    A failure whose error number has a built-in subclass of OSError (ENOENT:
    FileNotFoundError, EACCES: PermissionError, ...) is raised as a class
    derived from both, so ``except FileNotFoundError`` works as usual.
    """

    def __str__(self) -> str:
        text = self.strerror if self.strerror is not None else super().__str__()
        if self.filename is not None and os.fsdecode(self.filename) not in text:
            text += f": {self.filename!r}"
        return text if self.errno is None else f"[Errno {self.errno}] {text}"


_classes: dict[type, type] = {}


def error(errno: Optional[int], message: str, filename: Optional[object] = None) -> Error:
    """The exception for a failure with this error number, message and file."""
    builtin = type(OSError(errno, "")) if errno is not None else OSError
    cls = Error
    if builtin is not OSError:
        cls = _classes.get(builtin)
        if cls is None:
            cls = type(builtin.__name__, (Error, builtin), {"__module__": "gridvane", "__doc__": Error.__doc__})
            _classes[builtin] = cls
    if filename is None:
        return cls(errno, message)
    return cls(errno, message, filename)
