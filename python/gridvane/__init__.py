"""Gridvane from Python: 2-D float32 tables, bilinear sampling, channel files.

Tables live in the process-wide registry of the Gridvane shared library, so C
code in the same process sees the same tables (``Table.handle``).

Making tables
    load(path)                  a channel file by name ("-": standard input)
    read(data, kind=None)       bytes or a binary file object
    from_numpy(a, frames=None)  a copy of a 2-D array, optionally with frames
    Table(rows, cols)           zero-filled

Using them
    t.shape, t.kind, t.has_frames, t.frames, t.to_numpy(), t[v, u]
    t.sample(u, v)              bilinear, clamped, numbers or arrays
    t.row_of_frame(f), t.frame_of_row(r), t.sample_at_frame(f, u=None)
    t.save(path, kind=None), t.tobytes(kind=None), t.close()

Failures raise gridvane.Error (an OSError with the library's errno and its
own message) or ValueError for bad arguments. Nothing is printed unless
echo_messages(True) asks for it.
"""

from ._errors import Error
from ._gridvane import Table, __version__, echo_messages, from_numpy, kind_of_name, load, read

Error.__module__ = __name__
Table.__module__ = __name__

__all__ = ["Error", "Table", "__version__", "echo_messages", "from_numpy", "kind_of_name", "load", "read"]
