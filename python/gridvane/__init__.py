"""Gridvane from Python: 2-D float32 tables, bilinear sampling, channel files.

Tables live in the process-wide registry of the Gridvane shared library, so C
code in the same process sees the same tables (``Table.handle``).

Making tables
    load(path, lenient=False)   a channel file by name ("-": standard input)
    load_many(paths, threads)   many files at once, on threads without the GIL
    read(data, kind=None)       bytes or a binary file object
    from_numpy(a, frames=None, columns=None), from_pandas(df)
    from_arrow(obj)             Polars, DuckDB, pyarrow, pandas (Arrow's interface)
    Table(rows, cols)           zero-filled

Using them
    t.shape, t.kind, t.frames, t.columns, t.to_numpy(), t.to_pandas()
    polars.DataFrame(t), pyarrow.table(t), np.from_dlpack(t)
    t[v, u], t[v], t[10:20], t[:, 1], iteration by rows (numpy's habits)
    t.sample(u, v)              bilinear, clamped, numbers or arrays
    t.row_of_frame(f), t.frame_of_row(r), t.sample_at_frame(f, u=None)
    t.save(path, kind=None, drop_frames=False), t.tobytes(...), t.close()

Failures raise gridvane.Error (an OSError with the error number and the
library's words), gridvane.FormatError (a gridvane.Error: a file the reader
would not take as written, with its line and column) or ValueError for bad
arguments. Findings that only fill what the format allows are
gridvane.FormatWarning warnings. Tables and the functions here pickle.
"""

from ._errors import Error, FormatError, FormatWarning
from ._functions import echo_messages, from_arrow, from_numpy, kind_of_name, load, load_many, read, read_growth
from ._gridvane import Table, __version__
from ._pandas import from_pandas, to_pandas

Error.__module__ = FormatError.__module__ = FormatWarning.__module__ = __name__
Table.__module__ = __name__
Table.to_pandas = to_pandas
Table.__iter__ = lambda self: iter(self.to_numpy())
Table.__iter__.__doc__ = "The rows, as float32 arrays (of one copy of the table made when iteration starts)."
del to_pandas


def _numpy_habits():
    """What numpy users expect of a 2-D float32 array: comparisons element by
    element (with arrays, numbers or other tables), `in`, dtype, ndim, size
    and T. Like an array, a table is then unhashable."""
    import operator

    import numpy as np

    def compare(op):
        def method(self, other):
            if isinstance(other, Table):
                other = other.to_numpy()
            return op(self.to_numpy(), other)
        method.__name__ = f"__{op.__name__}__"
        method.__doc__ = f"numpy's {op.__name__}, element by element."
        return method

    for op in (operator.eq, operator.ne, operator.lt, operator.le, operator.gt, operator.ge):
        setattr(Table, f"__{op.__name__}__", compare(op))
    Table.__hash__ = None
    Table.__contains__ = lambda self, value: bool((self.to_numpy() == value).any())
    Table.__contains__.__doc__ = "Whether any sample equals value (as numpy's `in`: NaN is in nothing)."
    Table.dtype = property(lambda self: np.dtype(np.float32), doc="float32, as every sample is.")
    Table.ndim = property(lambda self: 2, doc="2: rows and columns.")
    Table.size = property(lambda self: self.shape[0] * self.shape[1], doc="rows x cols.")
    Table.T = property(lambda self: self.to_numpy().T, doc="The samples transposed: a float32 array (a copy).")


_numpy_habits()
del _numpy_habits

__all__ = ["Error", "FormatError", "FormatWarning", "Table", "__version__", "echo_messages", "from_arrow",
           "from_numpy", "from_pandas", "kind_of_name", "load", "load_many", "read", "read_growth"]
