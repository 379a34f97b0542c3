"""Channel files as Dask collections, for work over many files and many machines.

    read_tables(paths, columns=None, lenient=False, errors="raise")
        a dask DataFrame, one partition per file
    stack_grids(paths, lenient=False)
        a dask array of shape (files, rows, columns), one chunk per file
    sample(paths_or_tables, u, v, lenient=False)
        bilinear samples of large coordinate arrays, chunk by chunk
    convert(paths, into, kind, root=None, ...)
        a dask Bag that converts files into a folder, many files a task

Only names travel to the workers: each worker loads the files it is given
itself, so the workers must see the files under the same names (paths are
made absolute against the caller's folder when the collection is made).
sample() keeps the tables a worker loaded, by name, modification time and
size, so that every chunk after the first on that worker samples without a
load (GRIDVANE_KEEP_BYTES bounds what a worker keeps, 512 MiB unless
set). Nothing is computed before compute() except what each function's
description says.

Dask's own progress shows where the caller asks for it: ``with
dask.diagnostics.ProgressBar(): frame.compute()`` on the local schedulers,
``distributed.progress(frame.persist())`` on a cluster.

Needs the extra gridvane[dask] (dask, and pandas for read_tables).
"""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Sequence, Union

import numpy as np

from . import _functions
from ._gridvane import Table
from ._kept import kept_table

if TYPE_CHECKING:
    import dask.array
    import dask.bag
    import dask.dataframe

try:
    import dask
    import dask.array as da
    import dask.bag as db
    import dask.dataframe as dd
    from dask.dataframe.io.utils import DataFrameIOFunction
    from dask.dataframe.utils import clear_known_categories
except ImportError as missing:  # pragma: no cover - the extra is not installed
    raise ImportError(f"gridvane.dask needs Dask: pip install 'gridvane[dask]' ({missing})") from missing

__all__ = ["convert", "read_tables", "sample", "stack_grids"]

Path = Union[str, "os.PathLike[str]"]


def _absolute(paths: Iterable[Path]) -> List[str]:
    """Each path as a string, absolute against this process's folder."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    absolute = [os.path.abspath(os.fsdecode(p)) for p in paths]
    if not absolute:
        raise ValueError("no files given")
    return absolute


def _table_of(source: Union[str, Table], lenient: bool) -> Table:
    return source if isinstance(source, Table) else kept_table(source, lenient)


# ---- data frames


def _report_skipped(path: str, failure: BaseException) -> None:
    """Says that a file was skipped: a warning where it was read, and on a
    distributed worker an event the client sees (client.get_events("gridvane"))."""
    text = str(failure)
    warnings.warn(f"skipped {text}", RuntimeWarning, stacklevel=3)
    try:
        from distributed import get_worker

        get_worker().log_event("gridvane", {"skipped": path, "error": text})
    except (ImportError, ValueError):
        pass  # not on a distributed worker


def _expressions() -> bool:
    """Whether Dask plans data frames as expressions (dask-expr), which
    hands a reader the columns it needs by its columns= argument, not by
    the DataFrameIOFunction protocol of earlier releases."""
    enabled = getattr(dd, "_dask_expr_enabled", None)
    if enabled is not None:
        return bool(enabled())
    try:
        import dask.dataframe.dask_expr  # noqa: F401
    except ImportError:
        return False
    return True


class _Partition(object if _expressions() else DataFrameIOFunction):  # type: ignore[misc]
    """Reads one file into a partition: the columns asked for, a 'path'
    column, indexed by frame for camera moves (by row otherwise). Small, so
    that it pickles into every task cheaply; Dask gives it the columns a
    computation needs (column projection) before it runs."""

    def __init__(self, columns: Optional[List[str]], lenient: bool, errors: str, meta: Any):
        self._columns = columns
        self.lenient = lenient
        self.errors = errors
        self.meta = meta

    @property
    def columns(self) -> Optional[List[str]]:
        return self._columns

    def project_columns(self, columns: Sequence[str]) -> "_Partition":
        if self._columns is not None and list(columns) == list(self._columns):
            return self
        return _Partition(list(columns), self.lenient, self.errors, self.meta[list(columns)])

    def __call__(self, path: str, columns: Optional[Sequence[str]] = None) -> Any:
        meta = self.meta if columns is None else self.meta[list(columns)]
        try:
            return _frame_of(path, self.lenient, meta)
        except (OSError, ValueError) as failure:
            if self.errors != "skip":
                raise
            _report_skipped(path, failure)
            return _empty(meta)


def _empty(meta: Any) -> Any:
    """An empty partition of meta's columns, with no path category: a
    skipped file is no group of the computed frame."""
    import pandas as pd

    empty = meta.iloc[:0].copy()
    if "path" in empty.columns:
        empty["path"] = pd.Categorical([], categories=pd.Index([], dtype=object))
    return empty


def _frame_of(path: str, lenient: bool, meta: Any = None) -> Any:
    """A file as a pandas DataFrame: its columns (those of meta, when given,
    which the file must have, with its kind of index) and a categorical
    'path' column last. Made in one step: a partition costs little more than
    its load."""
    import pandas as pd

    from ._pandas import _column_labels

    table = _functions.load(path, lenient=lenient)
    with table:
        samples, frames, labels = table.to_numpy(), table.frames, _column_labels(table)
    if "path" in labels:
        raise ValueError(f"{path}: has a column named 'path', the name read_tables gives the file's name")
    index_name = None if frames is None else "frame"
    wanted = labels if meta is None else [c for c in meta.columns if c != "path"]
    if meta is not None and (not set(wanted) <= set(labels) or index_name != meta.index.name):
        raise ValueError(f"{path}: holds columns {labels}{' with frames' if frames is not None else ''}, not "
                         f"those of the first file ({wanted}{' with frames' if meta.index.name else ''})")
    place = {label: i for i, label in enumerate(labels)}
    data = {label: samples[:, place[label]] for label in wanted}
    if meta is None or "path" in meta.columns:
        data["path"] = pd.Categorical.from_codes(np.zeros(len(samples), np.int8), categories=[path])
    index = pd.RangeIndex(len(samples)) if frames is None else pd.Index(frames, name="frame")
    return pd.DataFrame(data, index=index, copy=False)


def read_tables(paths: Iterable[Path], columns: Optional[Sequence[str]] = None, lenient: bool = False,
                errors: str = "raise") -> "dask.dataframe.DataFrame":
    """Many channel files as one dask DataFrame, one partition per file, in
    the order of paths.

    Each partition holds a file's columns as float32 (by the files' column
    names; col0, col1, ... where a file has none) and a categorical 'path'
    column with the file's absolute name, so a row can be traced to its
    file. Camera
    moves (the table form) are indexed by frame, index name 'frame'; other
    tables by row number. The first file is read now to make the frame's
    meta; every other file must have its columns (or those asked for) and
    its kind of index (with errors="skip", the first file that reads makes
    the meta; when none does, the last one's failure is raised).

    columns: the columns to keep (the path column is always kept); Dask
    keeps fewer when a computation needs fewer. lenient: read every file as
    the library does (gridvane.load). errors="raise": a file that cannot be
    read, or does not match, fails the computation with its name, line and
    column (gridvane.FormatError, gridvane.Error or ValueError);
    errors="skip": it gives an empty partition instead, and is reported as a
    RuntimeWarning where it was read and, on a distributed worker, as an
    event of topic "gridvane" (client.get_events("gridvane")).
    """
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors is 'raise' or 'skip', not {errors!r}")
    absolute = _absolute(paths)
    first: Any = None
    for at, path in enumerate(absolute, 1):  # the first file read makes the meta; with "skip", the first that reads
        try:
            first = _frame_of(path, lenient)
            break
        except (OSError, ValueError) as failure:
            if errors != "skip" or at == len(absolute):
                raise
            _report_skipped(path, failure)
    if columns is not None:
        columns = list(columns)
        unknown = [c for c in columns if c not in first.columns or c == "path"]
        if unknown:
            raise ValueError(f"{path}: has no column {unknown[0]!r} (it has {list(first.columns[:-1])})")
        first = first[columns + ["path"]]
    # The paths are categories of each partition's own; the frame's are
    # those of all its partitions, known once computed.
    meta = clear_known_categories(first.iloc[:0], cols=["path"])
    reader = _Partition(list(meta.columns), lenient, errors, meta)
    return dd.from_map(reader, absolute, meta=meta, label="gridvane-read-tables", enforce_metadata=False)


# ---- arrays


def _grid(path: str, lenient: bool) -> np.ndarray:
    return kept_table(path, lenient).to_numpy()


def _shape(path: str, lenient: bool) -> tuple:
    return kept_table(path, lenient).shape


def stack_grids(paths: Iterable[Path], lenient: bool = False) -> "dask.array.Array":
    """Grids of one shape as a float32 dask array of shape (files, rows,
    columns), one chunk per file, in the order of paths.

    The shapes are checked now, before any compute: each file is loaded where
    Dask's current scheduler runs (a worker of the active distributed
    client) and kept by that worker, so a chunk computed there later loads
    nothing. Files of different shapes
    raise ValueError naming the first that differs; a file that cannot be
    read raises its failure (gridvane.FormatError with its line and
    column)."""
    absolute = _absolute(paths)
    shapes = dask.compute(*[dask.delayed(_shape, pure=True)(p, lenient) for p in absolute])
    for path, shape in zip(absolute, shapes):
        if shape != shapes[0]:
            raise ValueError(f"{path}: {shape[0]} rows x {shape[1]} columns, where {absolute[0]} has "
                             f"{shapes[0][0]} x {shapes[0][1]}")
    rows, cols = shapes[0]
    chunks = [da.from_delayed(dask.delayed(_grid, pure=True)(p, lenient), (rows, cols), dtype=np.float32)
              for p in absolute]
    return da.stack(chunks)


def _sample_block(u: np.ndarray, v: np.ndarray, source: Union[str, Table], lenient: bool) -> np.ndarray:
    return np.asarray(_table_of(source, lenient).sample(u, v), dtype=np.float32)


def sample(paths_or_tables: Union[Path, Table, Sequence[Union[Path, Table]]], u: Any, v: Any,
           lenient: bool = False) -> "dask.array.Array":
    """Bilinear samples (Table.sample: clamped, float32, the library's bits)
    at coordinate arrays u and v (numpy or dask arrays, broadcast together),
    a chunk at a time.

    For one file or table the result has the shape of the broadcast
    coordinates; for a list, one more axis in front, a sample array per
    file or table. Files are loaded by the workers, each keeping what it
    loaded (by name, modification time and size) for its next chunks; a
    Table is put into the graph once and reaches each worker once. Nothing
    is loaded before compute."""
    single = isinstance(paths_or_tables, (str, bytes, os.PathLike, Table))
    sources: List[Any] = [paths_or_tables] if single else list(paths_or_tables)  # type: ignore[arg-type]
    if not sources:
        raise ValueError("no files or tables given")
    u, v = da.broadcast_arrays(da.asarray(u), da.asarray(v))
    v = v.rechunk(u.chunks)
    results = []
    for source in sources:
        if isinstance(source, Table):
            ref = dask.delayed(source, traverse=False)  # a key of its own: no hashing of the samples
        else:
            ref = os.path.abspath(os.fsdecode(source))
        results.append(da.map_blocks(_sample_block, u, v, ref, lenient, dtype=np.float32,
                                     name=None, meta=np.empty((0,) * u.ndim, np.float32)))
    return results[0] if single else da.stack(results)


# ---- conversions

_SUFFIX = {"binary": ".chb", "ascii": ".chan"}


def _convert_one(pair: tuple, kind: str, lenient: bool, drop_frames: bool, errors: str) -> tuple:
    source, destination = pair
    try:
        table = _functions.load(source, lenient=lenient)  # warnings go where the worker's go
        with table:
            os.makedirs(os.path.dirname(destination), exist_ok=True)
            table.save(destination, kind=kind, drop_frames=drop_frames)  # type: ignore[arg-type]
    except (OSError, ValueError) as failure:
        if errors != "skip":
            raise
        return source, destination, str(failure)
    return source, destination, None


def convert(paths: Iterable[Path], into: Path, kind: str, root: Optional[Path] = None, lenient: bool = False,
            drop_frames: bool = False, errors: str = "raise", files_per_task: int = 100) -> "dask.bag.Bag":
    """A lazy dask Bag that converts files into the folder into, in form kind
    ('ascii' or 'binary'); computed, it is a list of (source, destination,
    failure) with absolute names, in the order of paths.

    Each file is written as into/RELATIVE with the form's suffix (.chan or
    .chb), RELATIVE being its name relative to root (by default the folder
    that holds them all), through the library's saves: complete or not at
    all. Before any work, a file not under root, and names that would be
    written by two files or over a file to convert (itself included) raise
    ValueError. Files are checked as they are
    loaded (lenient=True converts them as the library reads them); a camera
    move loses its frames in the binary form only with drop_frames=True.
    errors="raise": the first failure fails the computation (gridvane.FormatError
    with its file, line and column); errors="skip": failure is its text, and
    the others go on. files_per_task files make one task: a task costs Dask
    about a millisecond, as much as converting a small file."""
    if kind not in _SUFFIX:
        raise ValueError(f"kind is 'ascii' or 'binary', not {kind!r}")
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors is 'raise' or 'skip', not {errors!r}")
    sources = _absolute(paths)
    into = os.path.abspath(os.fsdecode(into))
    root = os.path.abspath(os.fsdecode(root)) if root is not None else os.path.commonpath(
        [os.path.dirname(p) for p in sources])
    def key(path: str) -> str:  # one for every name of a file, there or not yet
        return os.path.normcase(os.path.realpath(path))

    pairs: List[tuple] = []
    written: Dict[str, str] = {}
    existing = {key(p): p for p in sources}
    for source in sources:
        relative = os.path.relpath(source, root)
        if relative == os.pardir or relative.startswith(os.pardir + os.sep):
            raise ValueError(f"{source}: is not under {root}")
        destination = os.path.join(into, os.path.splitext(relative)[0] + _SUFFIX[kind])
        if key(destination) in written and written[key(destination)] != source:
            raise ValueError(f"{written[key(destination)]} and {source} would both be converted to {destination}")
        over = existing.get(key(destination))
        if over is not None:  # itself too: a conversion may change what it holds
            raise ValueError(f"{source}: would be converted to {destination}, which is {over}, a file to convert")
        written[key(destination)] = source
        pairs.append((source, destination))
    bag = db.from_sequence(pairs, partition_size=max(1, files_per_task))
    return bag.map(_convert_one, kind, lenient, drop_frames, errors)
