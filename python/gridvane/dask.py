"""Channel files as Dask collections, for work over many files and many machines.

    read_tables(paths, columns=None, lenient=False, errors="raise", blocksize="64 MiB")
        a dask DataFrame, many small files a partition
    per_file(frame, func)
        a reduction of each file's rows of such a frame, without a shuffle
    stack_grids(paths, lenient=False, blocksize="64 MiB")
        a dask array of shape (files, rows, columns), many small grids a chunk
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
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _functions
from ._gridvane import Table, output_name, suffix_of_kind
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
except ImportError as missing:  # pragma: no cover - the extra is not installed
    raise ImportError(f"gridvane.dask needs Dask: pip install 'gridvane[dask]' ({missing})") from missing

__all__ = ["convert", "per_file", "read_tables", "sample", "stack_grids"]

Path = Union[str, "os.PathLike[str]"]

# The bytes of files that read_tables puts into one partition, and
# stack_grids into one chunk, unless told otherwise: as Dask's read_csv
# cuts its blocks. bench/pipelines.py weighs it against one file a
# partition.
_BLOCKSIZE = "64 MiB"


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
    """Reads the files of one partition into one pandas frame: the columns
    asked for, a 'path' column, indexed by frame for camera moves (by row
    otherwise). Small, so that it pickles into every task cheaply (the
    meta's path categories are the one part that grows with the list); Dask
    gives it the columns a computation needs (column projection) before it
    runs."""

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

    def __call__(self, part: Sequence[Tuple[int, str]], columns: Optional[Sequence[str]] = None) -> Any:
        meta = self.meta if columns is None else self.meta[list(columns)]
        read = []
        for code, path in part:
            try:
                read.append((code, _samples_of(path, self.lenient, meta)))
            except (OSError, ValueError) as failure:
                if self.errors != "skip":
                    raise
                _report_skipped(path, failure)
        return _frame_of(read, meta)


def _refuse_path_column(path: str, labels: Iterable[Any]) -> None:
    if "path" in labels:
        raise ValueError(f"{path}: has a column named 'path', the name read_tables gives the file's name")


def _samples_of(path: str, lenient: bool, meta: Any) -> Tuple[np.ndarray, np.ndarray]:
    """A file's samples, in the columns of meta (which the file must have,
    with its kind of index: frames or row numbers), and its index."""
    from ._pandas import _column_labels

    table = _functions.load(path, lenient=lenient)
    with table:
        samples, frames, labels = table.to_numpy(), table.frames, _column_labels(table)
    _refuse_path_column(path, labels)
    wanted = [c for c in meta.columns if c != "path"]
    if not set(wanted) <= set(labels) or (frames is not None) != (meta.index.name == "frame"):
        raise ValueError(f"{path}: holds columns {labels}{' with frames' if frames is not None else ''}, not "
                         f"those of the first file ({wanted}{' with frames' if meta.index.name else ''})")
    if wanted != labels:
        samples = samples[:, [labels.index(label) for label in wanted]]
    return samples, np.arange(len(samples)) if frames is None else frames


def _frame_of(read: Sequence[Tuple[int, Tuple[np.ndarray, np.ndarray]]], meta: Any) -> Any:
    """One pandas frame of files read (their codes among the path
    categories, their samples and index), in their order; the 'path' column
    last, when meta has it. The samples are copied once, into one block: a
    partition costs little more than its loads."""
    import pandas as pd

    if not read:
        return meta.iloc[:0].copy()
    codes = [code for code, _ in read]
    samples = [file_samples for _, (file_samples, _) in read]
    index = pd.Index(np.concatenate([file_index for _, (_, file_index) in read]), name=meta.index.name)
    frame = pd.DataFrame(np.concatenate(samples), index=index, columns=[c for c in meta.columns if c != "path"],
                         copy=False)
    if "path" in meta.columns:
        frame["path"] = pd.Categorical.from_codes(np.repeat(codes, [len(s) for s in samples]),
                                                  dtype=meta["path"].dtype)
    return frame


def _byte_limit(blocksize: Union[int, str, None]) -> Optional[int]:
    if blocksize is None:
        return None
    limit = dask.utils.parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
    if limit <= 0:
        raise ValueError(f"blocksize is a number of bytes above 0, or None, not {blocksize!r}")
    return limit


def _by_bytes(paths: Sequence[str], blocksize: Union[int, str, None]) -> List[List[str]]:
    """paths cut into runs, in order, of files that hold blocksize bytes at
    most between them; a larger file is a run of its own; with blocksize
    None, one file a run. A file that cannot be looked at counts no bytes:
    its read says why."""
    limit = _byte_limit(blocksize)
    runs: List[List[str]] = []
    held = 0
    for path in paths:
        try:
            size = os.stat(path).st_size
        except OSError:
            size = 0
        if not runs or limit is None or held + size > limit:
            runs.append([])
            held = 0
        runs[-1].append(path)
        held += size
    return runs


def read_tables(paths: Iterable[Path], columns: Optional[Sequence[str]] = None, lenient: bool = False,
                errors: str = "raise", blocksize: Union[int, str, None] = _BLOCKSIZE) -> "dask.dataframe.DataFrame":
    """Many channel files as one dask DataFrame, in the order of paths.

    A partition holds whole files: those that follow one another in paths
    and hold blocksize bytes at most between them (a number, or text such
    as "16 MiB"); a larger file is a partition of its own; blocksize=None
    gives one partition per file. Dask's cost of a partition is that of
    loading a few megabytes, so many small files a partition pay.

    Each partition holds its files' columns as float32 (by the files'
    column names; col0, col1, ... where a file has none) and a categorical
    'path' column with each file's absolute name, so a row can be traced to
    its file; its categories, the names of paths, are known before any
    compute. Camera moves (the table form) are indexed by frame, index name
    'frame'; other tables by row number within their file. The first file
    is read now to make the frame's meta; every other file must have its
    columns (or those asked for) and its kind of index (with errors="skip",
    the first file that reads makes the meta; when none does, the last
    one's failure is raised).

    A file's rows are all in one partition, so per-file work needs no
    shuffle: see per_file().

    columns: the columns to keep (the path column is always kept); Dask
    keeps fewer when a computation needs fewer. lenient: read every file as
    the library does (gridvane.load). errors="raise": a file that cannot be
    read, or does not match, fails the computation with its name, line and
    column (gridvane.FormatError, gridvane.Error or ValueError);
    errors="skip": its rows are left out instead (its name stays a
    category, with no rows), and it is reported as a RuntimeWarning where
    it was read and, on a distributed worker, as an event of topic
    "gridvane" (client.get_events("gridvane")).
    """
    import pandas as pd

    if errors not in ("raise", "skip"):
        raise ValueError(f"errors is 'raise' or 'skip', not {errors!r}")
    absolute = _absolute(paths)
    names = list(dict.fromkeys(absolute))  # the categories: a file named twice is read twice, one category
    code = {name: i for i, name in enumerate(names)}
    parts = [tuple((code[path], path) for path in run) for run in _by_bytes(absolute, blocksize)]
    first: Any = None
    for at, path in enumerate(absolute, 1):  # the first file read makes the meta; with "skip", the first that reads
        try:
            table = _functions.load(path, lenient=lenient)
            with table:
                first = table.to_pandas().iloc[:0]
            break
        except (OSError, ValueError) as failure:
            if errors != "skip" or at == len(absolute):
                raise
            _report_skipped(path, failure)
    _refuse_path_column(path, first.columns)
    if columns is not None:
        columns = list(columns)
        unknown = [c for c in columns if c not in first.columns or c == "path"]
        if unknown:
            raise ValueError(f"{path}: has no column {unknown[0]!r} (it has {list(first.columns)})")
        first = first[columns]
    meta = first.assign(path=pd.Categorical([], dtype=pd.CategoricalDtype(names)))
    reader = _Partition(list(meta.columns), lenient, errors, meta)
    return dd.from_map(reader, parts, meta=meta, label="gridvane-read-tables", enforce_metadata=False)


def per_file(frame: "dask.dataframe.DataFrame", func: Callable[[Any], Any], meta: Any = None
             ) -> "dask.dataframe.DataFrame":
    """func of each file's rows, computed in the partition that holds them:
    frame.groupby("path", observed=True) then func, without moving a row
    between workers, on every Dask.

    frame: one that read_tables made, or one made from it row by row
    (columns chosen or added, rows filtered); not repartitioned, since a
    partition must hold whole files. func takes a pandas groupby of one
    partition's rows by path and returns what a groupby reduction returns
    (a Series or DataFrame indexed by path), such as
    ``lambda files: files.tilt.agg(["mean", "max", "count"])``. The result
    is a dask collection, a partition for each of frame's, indexed by path;
    meta as Dask's map_partitions takes it, found by a call on an empty
    frame when not given."""
    def reduce(part: Any) -> Any:
        return func(part.groupby("path", observed=True, sort=False))

    if meta is None:
        return frame.map_partitions(reduce)
    return frame.map_partitions(reduce, meta=meta)


# ---- arrays


def _grids(run: Sequence[str], lenient: bool) -> np.ndarray:
    return np.stack([kept_table(p, lenient).to_numpy() for p in run])


def _shapes(run: Sequence[str], lenient: bool) -> List[tuple]:
    return [kept_table(p, lenient).shape for p in run]


def stack_grids(paths: Iterable[Path], lenient: bool = False,
                blocksize: Union[int, str, None] = _BLOCKSIZE) -> "dask.array.Array":
    """Grids of one shape as a float32 dask array of shape (files, rows,
    columns), in the order of paths.

    A chunk holds whole grids: those that follow one another in paths and
    hold blocksize bytes at most between them (as read_tables); a larger
    file is a chunk of its own; blocksize=None gives one chunk per file.

    The shapes are checked now, before any compute: each file is loaded where
    Dask's current scheduler runs (a worker of the active distributed
    client), a task for each chunk, and kept by that worker, so a chunk
    computed there later loads nothing. Files of different shapes
    raise ValueError naming the first that differs; a file that cannot be
    read raises its failure (gridvane.FormatError with its line and
    column)."""
    absolute = _absolute(paths)
    runs = _by_bytes(absolute, blocksize)
    shapes = [shape for run in dask.compute(*[dask.delayed(_shapes, pure=True)(run, lenient) for run in runs])
              for shape in run]
    for path, shape in zip(absolute, shapes):
        if shape != shapes[0]:
            raise ValueError(f"{path}: {shape[0]} rows x {shape[1]} columns, where {absolute[0]} has "
                             f"{shapes[0][0]} x {shapes[0][1]}")
    rows, cols = shapes[0]
    chunks = [da.from_delayed(dask.delayed(_grids, pure=True)(run, lenient), (len(run), rows, cols), dtype=np.float32)
              for run in runs]
    return da.concatenate(chunks)


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
    failure) with absolute names, in the order of paths, each file once: a
    name of a file named before (the same absolute name, links of its
    folders and of itself resolved) is skipped, and a UserWarning says how
    many names were.

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
    if suffix_of_kind(kind) is None:
        raise ValueError(f"kind is 'ascii' or 'binary', not {kind!r}")
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors is 'raise' or 'skip', not {errors!r}")

    def key(path: str) -> str:  # one for every name of a file, there or not yet
        return os.path.normcase(os.path.realpath(path))

    named = _absolute(paths)
    existing: Dict[str, str] = {}  # each file by its first name
    for source in named:
        existing.setdefault(key(source), source)
    sources = list(existing.values())
    if len(sources) < len(named):
        repeated = len(named) - len(sources)
        warnings.warn(f"{repeated} repeated name{'s' if repeated > 1 else ''} skipped: each file is converted once",
                      UserWarning, stacklevel=2)
    into = os.path.abspath(os.fsdecode(into))
    root = os.path.abspath(os.fsdecode(root)) if root is not None else os.path.commonpath(
        [os.path.dirname(p) for p in sources])
    pairs: List[tuple] = []
    written: Dict[str, str] = {}
    for source in sources:
        # Named as the tool's batches name them: None for a name that leaves root.
        named = output_name(os.path.relpath(source, root), kind)
        if named is None:
            raise ValueError(f"{source}: is not under {root}")
        destination = os.path.join(into, named)
        if key(destination) in written:
            raise ValueError(f"{written[key(destination)]} and {source} would both be converted to {destination}")
        over = existing.get(key(destination))
        if over is not None:  # itself too: a conversion may change what it holds
            raise ValueError(f"{source}: would be converted to {destination}, which is {over}, a file to convert")
        written[key(destination)] = source
        pairs.append((source, destination))
    bag = db.from_sequence(pairs, partition_size=max(1, files_per_task))
    return bag.map(_convert_one, kind, lenient, drop_frames, errors)
