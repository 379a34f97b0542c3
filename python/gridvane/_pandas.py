"""Tables to and from pandas. pandas is imported only when these are called."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional

import numpy as np

from . import _functions

if TYPE_CHECKING:
    from ._gridvane import Table


def _column_labels(table):
    names = table.columns or ()
    cols = table.shape[1]
    return [names[i] if i < len(names) and names[i] is not None else f"col{i}" for i in range(cols)]


def to_pandas(self: Table) -> Any:
    """The table as a pandas DataFrame of float32 columns: indexed by frame
    (a float64 index named 'frame', on every pandas: those before 2.0 have
    no float32 index) when the table has frames, by row number otherwise;
    the columns named by the table's column names (col0, col1, ... for
    those without). The samples are copied once."""
    import pandas as pd

    frames = self.frames
    index = None if frames is None else pd.Index(frames.astype(np.float64), name="frame")
    return pd.DataFrame(self.to_numpy(), index=index, columns=_column_labels(self), copy=False)


def _is_default_index(index, pd):
    return isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1 and index.name is None


def from_pandas(df: Any, frames: Optional[bool] = None) -> Table:
    """A new table from a DataFrame of numbers (converted to float32).

    frames=None: a numeric index becomes the frames (it must rise), except a
    default RangeIndex (0, 1, 2, ... without a name, as to_pandas gives for a
    table without frames); any other index raises ValueError. frames=False
    ignores the index; frames=True requires it to become the frames. The
    column labels become the column names, unless they are the defaults
    (0, 1, 2, ... or col0, col1, ...). Arrow-backed and nullable float
    columns are taken too; a missing value (NA) in one raises ValueError
    naming the column (NaN is a value, and is kept)."""
    import pandas as pd

    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"from_pandas() takes a pandas DataFrame, not {type(df).__name__}")
    index = df.index
    use_index = frames
    if frames is None:
        if _is_default_index(index, pd):
            use_index = False
        elif pd.api.types.is_numeric_dtype(index.dtype) and not pd.api.types.is_bool_dtype(index.dtype):
            use_index = True
        else:
            raise ValueError(f"the index of dtype {index.dtype} cannot be frames: give frames=False to leave it out")
    frame_values = np.asarray(index, dtype=np.float32) if use_index else None
    for label, column in df.items():
        # Extension columns (Arrow-backed, nullable) mark missing values as
        # NA, apart from NaN: a table has no place for them.
        if not isinstance(column.dtype, np.dtype) and column.isna().any():
            raise ValueError(f"column '{label}' holds missing values, which a table cannot hold "
                             "(fill or drop them first)")
    labels = [str(c) for c in df.columns]
    named = labels not in ([str(i) for i in range(len(labels))], [f"col{i}" for i in range(len(labels))])
    samples = df.to_numpy(dtype=np.float32)
    return _functions.from_numpy(samples, frames=frame_values, columns=labels if named and labels else None)
