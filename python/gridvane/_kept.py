"""Tables a process keeps once loaded, for the Dask and xarray readers: a
worker that samples or reads a file chunk by chunk loads it once."""

from __future__ import annotations

import collections
import os
import threading

from . import _functions
from ._gridvane import Table


class _Kept:
    """Tables a process loaded, by (name, modification time, size, lenient),
    the least recently used dropped first once their samples pass a bound."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.tables: "collections.OrderedDict[tuple, Table]" = collections.OrderedDict()
        self.bytes = 0

    @staticmethod
    def bound() -> int:
        return int(os.environ.get("GRIDVANE_KEEP_BYTES", 512 << 20))

    def table(self, path: str, lenient: bool) -> Table:
        status = os.stat(path)
        key = (path, status.st_mtime_ns, status.st_size, lenient)
        with self.lock:
            if key in self.tables:
                self.tables.move_to_end(key)
                return self.tables[key]
        table = _functions.load(path, lenient=lenient)
        size = table.size * 4
        with self.lock:
            if key not in self.tables:
                self.tables[key] = table
                self.bytes += size
                while self.bytes > self.bound() and len(self.tables) > 1:
                    _, dropped = self.tables.popitem(last=False)
                    self.bytes -= dropped.size * 4
            return self.tables[key]

    def clear(self) -> None:
        with self.lock:
            self.tables.clear()
            self.bytes = 0


_kept = _Kept()




def kept_table(path: str, lenient: bool = False) -> Table:
    """The table of the file path, loaded once per process while it keeps
    the same modification time and size."""
    return _kept.table(path, lenient)
