"""Gridvane from Python: 2-D float32 tables, bilinear sampling, channel files.

Tables live in the process-wide registry of the Gridvane shared library, so C
code in the same process sees the same tables (``Table.handle``).

Making tables
    load(path, lenient=False)   a channel file by name ("-": standard input)
    load_many(paths, threads)   many files at once, on threads without the GIL
    read(data, kind=None)       bytes or a binary file object
    from_numpy(a, frames=None, columns=None), from_pandas(df)
    Table(rows, cols)           zero-filled

Using them
    t.shape, t.kind, t.frames, t.columns, t.to_numpy(), t.to_pandas()
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
from ._functions import echo_messages, from_numpy, kind_of_name, load, load_many, read
from ._gridvane import Table, __version__
from ._pandas import from_pandas, to_pandas

Error.__module__ = FormatError.__module__ = FormatWarning.__module__ = __name__
Table.__module__ = __name__
Table.to_pandas = to_pandas
Table.__iter__ = lambda self: iter(self.to_numpy())
Table.__iter__.__doc__ = "The rows, as float32 arrays (of one copy of the table made when iteration starts)."
del to_pandas

__all__ = ["Error", "FormatError", "FormatWarning", "Table", "__version__", "echo_messages", "from_numpy",
           "from_pandas", "kind_of_name", "load", "load_many", "read"]
