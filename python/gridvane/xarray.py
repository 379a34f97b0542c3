"""Channel files in xarray: the backend behind ``xr.open_dataset(path,
engine="gridvane")`` and the accessor ``da.gridvane.sample(u, v)``.

A camera move (a table with frames) opens as a Dataset with the coordinate
``frame`` and one float32 variable per column, named as in the file (col0,
col1, ... where it has no names, as to_pandas names them); a grid opens as the one variable ``grid``
over the dimensions ``("v", "u")``. The file is read once when it is opened,
for its shape, frames and names; the variables are lazy arrays that hold
only the file's name, so they pickle without open files and ``chunks=``
gives Dask arrays whose chunks the workers read (each worker keeping the
table it loaded, by name, modification time and size). ``lenient=True``
reads the file as the library does.

xarray's own ``interp`` is not the library's clamped bilinear sampling:
``da.gridvane.sample(u, v)`` on a 2-D DataArray over ("v", "u") gives the
library's bits. Importing gridvane.xarray registers the accessor; opening a
file with the engine imports it.

Needs the extra gridvane[xarray].
"""

from __future__ import annotations

import os
from typing import Any, Dict, Iterable, List, Optional, Tuple

import numpy as np

from . import _functions
from ._kept import kept_table
from ._pandas import _column_labels

try:
    import xarray as xr
    from xarray.backends import BackendArray, BackendEntrypoint
    from xarray.core import indexing
except ImportError as missing:  # pragma: no cover - the extra is not installed
    raise ImportError(f"gridvane.xarray needs xarray: pip install 'gridvane[xarray]' ({missing})") from missing

__all__ = ["GridvaneBackendEntrypoint", "SampleAccessor"]


class TableArray(BackendArray):
    """The samples of a file (column None: the grid, rows x columns) or one
    column of it, read when indexed. Holds the file's name only."""

    def __init__(self, path: str, shape: tuple, column: Optional[int], lenient: bool):
        self.path = path
        self.shape = shape
        self.column = column
        self.lenient = lenient
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: Any) -> np.ndarray:
        # A slice of negative step reads the same rows in rising order, then
        # turns them: some xarray releases (2022.12 among them) make the
        # rising slice wrongly for a step below -2 ([::-7] of 400 rows gave
        # rows 394 down to 2, not 399 down to 0).
        turns: List[slice] = []
        if isinstance(key, (indexing.BasicIndexer, indexing.OuterIndexer)):
            elements: List[Any] = []
            for k, size in zip(key.tuple, self.shape):
                if isinstance(k, slice) and k.step is not None and k.step < 0:
                    taken = range(*k.indices(size))
                    k = slice(taken[-1], taken[0] + 1, -k.step) if taken else slice(0, 0)
                    turns.append(slice(None, None, -1))
                elif not isinstance(k, (int, np.integer)):  # an axis of the result
                    turns.append(slice(None))
                elements.append(k)
            key = type(key)(tuple(elements))
        result = indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._read)
        return np.asarray(result)[tuple(turns)] if any(t.step for t in turns) else result

    def _read(self, key: tuple) -> np.ndarray:
        # Only the samples asked for are copied out of the kept table.
        table = kept_table(self.path, self.lenient)
        selected = table[key] if self.column is None else table[key[0], self.column]
        return np.asarray(selected, dtype=np.float32)


class GridvaneBackendEntrypoint(BackendEntrypoint):
    """Opens channel files (.chan, .cha, .txt: ASCII; .chb, .bchan: binary)."""

    description = "Channel files (camera moves and grids of float32) through the Gridvane library"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "lenient")

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Optional[Iterable[str]] = None,
                     lenient: bool = False) -> "xr.Dataset":
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            raise TypeError(f"the gridvane engine opens files by name, not {type(filename_or_obj).__name__}")
        path = os.path.abspath(os.fsdecode(filename_or_obj))
        table = kept_table(path, lenient)
        rows, cols = table.shape
        dropped = set(drop_variables or ())
        variables: Dict[str, Tuple[Tuple[str, ...], TableArray]]
        coords: Dict[str, Any]
        if table.frames is None:
            variables = {"grid": (("v", "u"), TableArray(path, (rows, cols), None, lenient))}
            coords = {}
        else:
            labels = _column_labels(table)
            variables = {label: (("frame",), TableArray(path, (rows,), i, lenient)) for i, label in enumerate(labels)}
            coords = {"frame": np.asarray(table.frames, dtype=np.float32)}
        data = {name: xr.Variable(dims, indexing.LazilyIndexedArray(array))
                for name, (dims, array) in variables.items() if name not in dropped}
        dataset = xr.Dataset(data, coords=coords)
        dataset.encoding["source"] = path
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        try:
            return _functions.kind_of_name(os.fspath(filename_or_obj)) is not None
        except TypeError:
            return False


@xr.register_dataarray_accessor("gridvane")
class SampleAccessor:
    """``da.gridvane``: the library's sampling of a 2-D DataArray over ("v", "u")."""

    def __init__(self, array: "xr.DataArray"):
        self._array = array

    def sample(self, u: Any, v: Any) -> Any:
        """Bilinear samples at columns u and rows v, clamped into the grid, as
        Table.sample gives them (float32, the library's bits): numbers give a
        number, arrays an array, DataArrays a DataArray over their
        broadcast dimensions."""
        array = self._array
        if array.ndim != 2:
            raise ValueError(f"sample() needs a 2-D DataArray over ('v', 'u'), not one over {array.dims}")
        if set(array.dims) == {"v", "u"}:
            array = array.transpose("v", "u")
        table = _functions.from_numpy(np.asarray(array.values, dtype=np.float32))
        if isinstance(u, xr.DataArray) or isinstance(v, xr.DataArray):
            return xr.apply_ufunc(table.sample, u, v, dask="forbidden")
        return table.sample(u, v)
