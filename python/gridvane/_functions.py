"""The module's functions. Each is a Python function over the compiled
module, so that pickle (and Dask, which ships functions by name) finds it as
gridvane.load, gridvane.read, ..."""

from __future__ import annotations

from typing import IO, TYPE_CHECKING, Any, Iterable, Literal, Optional, Sequence, Union

import numpy as np

from . import _gridvane

if TYPE_CHECKING:
    import numpy.typing as npt

    from ._gridvane import _Kind as Kind, _Path as Path

Table = _gridvane.Table


def load(path: Path, kind: Optional[Kind] = None, *, lenient: bool = False, threads: Optional[int] = None,
         names: Optional[Literal["first-line"]] = None, frames_column: Optional[int] = None) -> Table:
    """Loads a table from a file.

    The form comes from the name's suffix (.chb, .bchan: binary; .chan, .cha,
    .txt: ASCII), for other names from the content; kind ('ascii' or
    'binary') gives it. "-" reads standard input, through the C library's
    stream (what Python has already buffered from sys.stdin is not seen);
    every other name is a file.

    By default a file the reader would take other than as it is written (a
    token that is no number, a decimal comma, a dropped value, binary bytes
    under a text name, a header promising more than the file holds) raises
    gridvane.FormatError naming the file, line and column; what only fills
    what the format allows (a short row padded) is a gridvane.FormatWarning.
    lenient=True reads every file as the library does, without either.

    A large file is read on threads=None (one per core) or the given number
    of threads, which share its parts without the GIL; the table is the one
    a single thread reads, bit for bit, and so are the findings. A file of
    a megabyte or less is read on one.

    Plain text as exports write it: names="first-line" takes the first line
    with tokens as the column names ("time tx ty tz ..."), one a column, and
    the rest as the table; frames_column=N (from 0) takes column N as the
    frames, whole numbers that rise, the table then having frames as one
    read from the table form (the frame column's name is not kept). A file
    that breaks either raises gridvane.FormatError at its place, lenient or
    not; so does binary data or the table form.
    """
    return _gridvane.load(path, kind, lenient, threads, names, frames_column)


def read(source: Union[bytes, bytearray, memoryview, IO[bytes]], kind: Optional[Kind] = None, *,
         lenient: bool = False, names: Optional[Literal["first-line"]] = None,
         frames_column: Optional[int] = None) -> Table:
    """Reads a table from bytes, a buffer or a binary file object (read to its
    end first). kind is 'ascii' or 'binary'; None lets the content decide,
    as load() does for a name it does not know. Refuses and warns as load()
    does, unless lenient=True; names and frames_column as load() takes them."""
    return _gridvane.read(source, kind, lenient, names, frames_column)


def load_many(paths: Iterable[Path], threads: Optional[int] = None, *, lenient: bool = False,
              kind: Optional[Kind] = None, errors: Literal["return", "raise"] = "return",
              names: Optional[Literal["first-line"]] = None,
              frames_column: Optional[int] = None) -> list[Union[Table, OSError]]:
    """Loads many files at once on a pool of threads that run without the GIL.

    Returns a list in the order of paths: a Table for each file loaded, and
    for each failure the exception load() would raise, in its place (errors=
    "raise" raises the first failure in order instead, once every file was
    tried). threads=None uses one thread per core. Warnings are given in the
    order of paths once every file was read. Every name is a file ("-" too).
    names and frames_column read every file as load() reads one.
    """
    return _gridvane.load_many(paths, threads, lenient, kind, errors, names, frames_column)


def from_numpy(array: npt.ArrayLike, frames: Optional[npt.ArrayLike] = None,
               columns: Optional[Sequence[str]] = None) -> Table:
    """A new table holding a copy of a 2-D array (converted to float32).

    frames, one number per row and rising, gives the table a frame column as
    a table read from the table form has (frames that do not rise raise
    ValueError: frame lookups need rising frames). columns names the columns.
    Samples and frames are copied bit for bit, NaN payloads included."""
    return _gridvane.from_numpy(array, frames, columns)


def from_arrow(source: Any, *, missing: Optional[Literal["nan", "refuse"]] = None) -> Table:
    """A new table from any object that gives an Arrow stream or batch
    (__arrow_c_stream__ or __arrow_c_array__): a Polars or pandas DataFrame,
    a pyarrow Table or RecordBatch, a DuckDB relation. pyarrow is not needed.

    Every column is a float column (float32 or float64, stored as float32)
    except an optional number column named 'frame', which becomes the frames
    and must rise. The column names become the table's (unless they are the
    defaults col0, col1, ...). A column of another type, or a frame column
    that does not rise or holds a null, raises ValueError naming the column.
    The samples are transposed once, with no other copy.

    A null (a missing value) in a float column raises ValueError naming the
    column, or with missing='nan' becomes NaN. A pandas DataFrame of NumPy
    columns knows no null, only NaN, which it gives to Arrow as null: from
    it, a null is read as NaN unless missing='refuse'."""
    if missing not in (None, "nan", "refuse"):
        raise ValueError(f"missing is 'nan' or 'refuse', not {missing!r}")
    if missing is None:
        missing = "nan" if _nan_is_null(source) else "refuse"
    return _gridvane.from_arrow(source, missing == "nan")


def _nan_is_null(source: Any) -> bool:
    """Whether the source is a pandas DataFrame whose every column is a NumPy
    one, where a null can only have been a NaN."""
    if type(source).__module__.split(".")[0] != "pandas":
        return False
    dtypes = getattr(source, "dtypes", None)
    return dtypes is not None and all(isinstance(d, np.dtype) for d in dtypes)


def echo_messages(on: Optional[bool] = None) -> bool:
    """Kept for programs written for earlier versions: the package's calls
    print nothing and carry the library's words in their exceptions, so
    there is nothing to echo. Returns the setting before the call."""
    return _gridvane.echo_messages(on)


def read_growth(factor: Optional[int] = None) -> int:
    """The bound on what a read may make of a text file, for every read of the
    process that starts after the call: a table of at most factor times the
    bytes read, plus 16 MiB. A short row is padded to the first row's width,
    so a few bytes could otherwise claim gigabytes; past the bound a read
    raises gridvane.FormatError (kind 'out_of_proportion', with the line).
    The default 256 is met by no real file (the densest text holds a float
    in two bytes). 0 lifts the bound; None changes nothing. Returns the
    factor before the call."""
    return _gridvane.read_growth(factor)


def kind_of_name(path: Path) -> Optional[Kind]:
    """'ascii' or 'binary' for a name whose suffix the tools library knows, else None."""
    return _gridvane.kind_of_name(path)


def _restore(samples, frames, columns, kind):
    """A pickled table, made again from its samples, frames, names and kind."""
    return _gridvane.restore(samples, frames, columns, kind)


for _f in (load, read, load_many, from_arrow, from_numpy, echo_messages, kind_of_name, read_growth):
    _f.__module__ = "gridvane"
