"""The exceptions and warnings a library call becomes."""

from __future__ import annotations

import os
import warnings
from typing import Optional


class Error(OSError):
    """A failure Gridvane reported.

    ``errno`` is the error number that goes with the failure (None when there
    is none), ``strerror`` the library's words for it, ``filename`` the file
    concerned, where there is one, and ``filename2`` the folder a save had to
    write its new file into, when that folder was the cause.

    A failure whose error number has a built-in subclass of OSError (ENOENT:
    FileNotFoundError, EISDIR: IsADirectoryError, EACCES: PermissionError,
    ...) is raised as a class derived from both, so ``except
    FileNotFoundError`` works as usual; ENOMEM gives one derived from
    MemoryError as well.
    """

    def __str__(self) -> str:
        text = self.strerror if self.strerror is not None else super().__str__()
        if self.filename is not None:
            text += f": {self.filename!r}"
        if self.filename2 is not None:
            text += f" (in the folder {self.filename2!r})"
        return text if self.errno is None else f"[Errno {self.errno}] {text}"

    def __repr__(self) -> str:
        # What a log prints: the message with its file (and place), which
        # OSError's own repr (its args alone) leaves out.
        return f"{type(self).__name__}({str(self)!r})"

    def __reduce__(self):
        # A class for an error number (gridvane.FileNotFoundError, ...) is
        # made at run time and is no attribute of the module: pickle (a Dask
        # worker's failure on its way to the client) makes it again by its
        # parts.
        if type(self) in (Error, FormatError):
            return super().__reduce__()
        base = FormatError if isinstance(self, FormatError) else Error
        return _remade, (base, self.errno, self.strerror, self.filename, self.filename2), self.__dict__


class FormatError(Error):
    """A file the package will not read as the library would: the reader
    would take its text as something other than what it spells, drop a
    value, or finds no table at all.

    ``filename``, ``line`` and ``column`` say where (a binary file is one line
    of bytes: its column is the byte offset plus one; None when not known),
    ``offset`` the byte offset (-1 when not known), ``kind`` the finding or
    failure by name ('decimal_comma', 'truncated_samples', ...) and
    ``strerror`` the library's words. ``load(path, lenient=True)`` reads such
    a file as the library does.
    """

    def __init__(self, *args):
        super().__init__(*args)
        self.line: Optional[int] = None
        self.column: Optional[int] = None
        self.offset: int = -1
        self.kind: Optional[str] = None

    def __str__(self) -> str:
        return _located(self.filename, self.line, self.column, self.strerror or "")


class FormatWarning(UserWarning):
    """A place where the reader only filled what the format allows (a short
    row padded with zeros, a frame that does not rise, bytes after the last
    sample, ...). Same attributes as FormatError, but no errno: strerror
    is the library's words alone, without the place."""

    strerror: Optional[str] = None
    filename: Optional[object] = None
    line: Optional[int] = None
    column: Optional[int] = None
    offset: int = -1
    kind: Optional[str] = None


def _located(filename, line, column, message):
    where = "<data>" if filename is None else os.fsdecode(filename)
    if line is not None:
        where += f":{line}"
        if column is not None:
            where += f":{column}"
    return f"{where}: {message}"


_classes: dict[type, type] = {}


def _class_for(errno: Optional[int], base: type) -> type:
    builtin = type(OSError(errno, "")) if errno is not None else OSError
    if errno == 12:  # ENOMEM
        builtin = MemoryError
    if builtin is OSError:
        return base
    cls = _classes.get((base, builtin))
    if cls is None:
        name = builtin.__name__ if base is Error else f"{base.__name__}_{builtin.__name__}"
        cls = type(name, (base, builtin), {"__module__": "gridvane", "__doc__": base.__doc__})
        _classes[(base, builtin)] = cls
    return cls


def _path(name):
    """A path as messages and exceptions give it: its text (or bytes), as
    open() gives it, not the repr of a pathlib object."""
    return os.fspath(name) if isinstance(name, os.PathLike) else name


def error(errno: Optional[int], message: str, filename: Optional[object] = None,
          folder: Optional[object] = None) -> Error:
    """The exception for a failure with this error number, message, file and folder."""
    return _remade(Error, errno, message, _path(filename), _path(folder))


def _remade(base, errno, message, filename, folder):
    cls = _class_for(errno, base)
    if filename is None and folder is None:
        return cls(errno, message)
    return cls(errno, message, filename, None, folder)


def format_error(errno, message, filename, line, column, offset, kind) -> FormatError:
    filename = _path(filename)
    e = FormatError(errno, message) if filename is None else FormatError(errno, message, filename)
    e.line, e.column, e.offset, e.kind = line, column, offset, kind
    return e


def warn(message, filename, line, column, offset, kind):
    filename = _path(filename)
    w = FormatWarning(_located(filename, line, column, message))
    w.strerror, w.filename, w.line, w.column, w.offset, w.kind = message, filename, line, column, offset, kind
    # Past the package's own frame: the warning names the caller's line.
    warnings.warn(w, stacklevel=3)
