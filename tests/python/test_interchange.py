"""Tables to and from other libraries: the Arrow PyCapsule interface (read by
Polars, DuckDB, pyarrow and pandas; from_arrow taking what they give), DLPack
and NumPy 2's copy rules. Each library is tested where it is installed; the
capsules themselves are checked with from_arrow alone."""
import os

import numpy as np
import pytest
from conftest import DATA, bits

import gridvane

CAMERA = os.path.join(DATA, "camera.chan")
NUMPY_2 = int(np.__version__.split(".")[0]) >= 2


def awkward_samples(rows=7, cols=3):
    """Floats a conversion could spoil: -0.0, infinities, a subnormal, a NaN with a payload."""
    a = np.random.default_rng(11).uniform(-1e6, 1e6, (rows, cols)).astype(np.float32)
    a.flat[:5] = [-0.0, np.inf, -np.inf, 1e-45, 3.4028235e38]
    a.view(np.uint32).flat[5] = 0x7FC01234
    return a


def camera_with_fractional_frames():
    cam = gridvane.load(CAMERA)
    return gridvane.from_numpy(cam.to_numpy(), frames=cam.frames + np.float32(0.5), columns=cam.columns)


# What each library makes of a table through the Arrow interface, as a
# dict of column name -> numpy array.
def read_with_polars(t):
    pl = pytest.importorskip("polars")
    df = pl.DataFrame(t)
    return {name: df[name].to_numpy() for name in df.columns}


def read_with_duckdb(t):
    duckdb = pytest.importorskip("duckdb")
    return {k: np.asarray(v) for k, v in duckdb.sql("select * from t").fetchnumpy().items()}


def read_with_pyarrow(t):
    pa = pytest.importorskip("pyarrow")
    table = pa.table(t)
    return {name: table.column(name).to_numpy() for name in table.column_names}


def read_with_pandas(t):
    pd = pytest.importorskip("pandas")
    if not hasattr(pd.DataFrame, "from_arrow"):
        pytest.skip(f"pandas {pd.__version__} reads no Arrow stream")
    df = pd.DataFrame.from_arrow(t)
    return {name: df[name].to_numpy() for name in df.columns}


READERS = [read_with_polars, read_with_duckdb, read_with_pyarrow, read_with_pandas]


@pytest.mark.parametrize("reader", READERS, ids=lambda r: r.__name__)
def test_arrow_readers_see_every_value_bit_for_bit(reader):
    cam = gridvane.load(CAMERA)
    got = reader(cam)
    assert list(got) == ["pan", "tilt", "focal", "frame"]
    for k, name in enumerate(cam.columns):
        assert got[name].dtype == np.float32 and np.array_equal(bits(got[name]), bits(cam.to_numpy()[:, k]))
    assert got["frame"].dtype == np.int32 and got["frame"].tolist() == [1, 12, 24, 36, 48, 60]

    a = awkward_samples()
    got = reader(gridvane.from_numpy(a))
    assert list(got) == ["col0", "col1", "col2"]
    nan = np.isnan(a)
    for k in range(3):  # NaN payloads are the readers' business: every other value bit for bit
        column = got[f"col{k}"]
        assert np.array_equal(np.isnan(column), nan[:, k])
        assert np.array_equal(bits(column[~nan[:, k]]), bits(a[~nan[:, k], k]))

    got = reader(camera_with_fractional_frames())
    assert got["frame"].dtype == np.float32 and got["frame"][0] == 1.5


def arrow_sources(t):
    """The same table as each library holds it (those installed)."""
    out = {"gridvane": t}
    try:
        import polars as pl
        out["polars"] = pl.DataFrame(t)
    except ImportError:
        pass
    try:
        import pyarrow as pa
        out["pyarrow"] = pa.table(t)
        out["pyarrow batches"] = pa.table(t).to_batches(max_chunksize=2)[1]  # a slice with an offset
        import pandas as pd
        df = pa.table(t).to_pandas()
        if hasattr(df, "__arrow_c_stream__"):
            out["pandas"] = df
    except ImportError:
        pass
    try:
        import duckdb
        out["duckdb"] = duckdb.sql("select * from t")
    except ImportError:
        pass
    return out


def test_from_arrow_takes_what_every_library_gives():
    cam = gridvane.load(CAMERA)
    for name, source in arrow_sources(cam).items():
        t = gridvane.from_arrow(source)
        if name == "pyarrow batches":  # rows 2 and 3
            assert np.array_equal(bits(t.to_numpy()), bits(cam.to_numpy()[2:4])) and t.frames.tolist() == [24, 36]
            continue
        assert t.columns == cam.columns and t.frames.tolist() == cam.frames.tolist(), name
        assert np.array_equal(bits(t.to_numpy()), bits(cam.to_numpy())), name
    a = awkward_samples()
    back = gridvane.from_arrow(gridvane.from_numpy(a))
    assert back.columns is None and not back.has_frames and np.array_equal(bits(back.to_numpy()), bits(a))
    assert gridvane.from_arrow(camera_with_fractional_frames()).frames[0] == 1.5


class OnlyArray:
    """An object that gives one batch and no stream."""

    def __init__(self, t):
        self.t = t

    def __arrow_c_array__(self, requested_schema=None):
        return self.t.__arrow_c_array__(requested_schema)


def test_from_arrow_takes_a_single_batch_and_keeps_its_own_copy():
    cam = gridvane.load(CAMERA)
    t = gridvane.from_arrow(OnlyArray(cam))
    cam[0, 0] = 1234.0
    assert t[0, 0] == 0.0 and t.columns == cam.columns and t.has_frames


def test_from_arrow_names_what_it_refuses():
    pa = pytest.importorskip("pyarrow")
    floats = pa.array([1.0, 2.0, 3.0], pa.float32())
    cases = [
        (pa.table({"x": floats, "label": pa.array(["a", "b", "c"])}), "column 'label' is of Arrow type 'u'"),
        (pa.table({"x": floats, "n": pa.array([1, 2, 3], pa.int64())}), "column 'n' is of Arrow type 'l'"),
        (pa.table({"x": pa.array([1.0, None, 3.0])}), "column 'x' holds missing values"),
        (pa.table({"x": floats, "frame": pa.array([1, 3, 2], pa.int32())}), "column 'frame' does not rise: row 2"),
        (pa.table({"x": floats, "frame": pa.array([1.0, float("nan"), 3.0])}), "column 'frame' does not rise"),
        (pa.table({"x": pa.array([], pa.float32())}), "at least one row"),
        (pa.table({"frame": pa.array([1, 2, 3])}), "at least one row and one float column"),
    ]
    for source, message in cases:
        with pytest.raises(ValueError, match=message.replace("(", r"\(")):
            gridvane.from_arrow(source)
    with pytest.raises(ValueError, match="column 'frame' comes twice"):
        gridvane.from_arrow(pa.table([floats, pa.array([1, 2, 3]), pa.array([4, 5, 6])], names=["x", "frame", "frame"]))
    with pytest.raises(TypeError, match="__arrow_c_stream__"):
        gridvane.from_arrow(np.zeros((2, 2)))


def test_a_null_becomes_nan_only_when_asked_for():
    pa = pytest.importorskip("pyarrow")
    x = pa.array([1.0, None, float("nan")], pa.float32())
    source = pa.table({"x": x, "frame": pa.array([1, 2, 3], pa.int32())})
    with pytest.raises(ValueError, match="column 'x' holds missing values"):
        gridvane.from_arrow(source)  # pyarrow keeps null and NaN apart
    t = gridvane.from_arrow(source, missing="nan")
    assert t[0, 0] == 1.0 and np.isnan(t[1, 0]) and np.isnan(t[2, 0]) and t.frames.tolist() == [1, 2, 3]
    for frames, missing in [(pa.array([1, None, 3], pa.int32()), "nan"), (pa.array([1, 2, 3], pa.int32()), "zero")]:
        with pytest.raises(ValueError, match="column 'frame' holds missing values|missing is 'nan' or 'refuse'"):
            gridvane.from_arrow(pa.table({"x": x, "frame": frames}), missing=missing)


def test_exports_refuse_names_arrow_cannot_carry():
    for name, message in [("frame", "column 1 is named 'frame'"), ("pan\udcff", "column 1's name is not UTF-8")]:
        t = gridvane.from_numpy(np.ones((2, 2), np.float32), columns=["a", "b"])
        t.columns = ("a", name)
        with pytest.raises(ValueError, match=message):
            t.__arrow_c_stream__()


def test_from_arrow_reads_a_struct_with_an_offset_and_its_own_nulls():
    pa = pytest.importorskip("pyarrow")
    x, frame = pa.array([0.5, 1.5, 2.5, 3.5], pa.float32()), pa.array([10, 20, 30, 40], pa.int32())
    whole = pa.StructArray.from_arrays([x, frame], names=["x", "frame"])
    t = gridvane.from_arrow(OnlyArray(whole.slice(1)))  # the offset on the struct, not its children
    assert t[:, 0].tolist() == [1.5, 2.5, 3.5] and t.frames.tolist() == [20, 30, 40]
    masked = pa.StructArray.from_arrays([x, frame], names=["x", "frame"], mask=pa.array([True, False, False, False]))
    assert gridvane.from_arrow(OnlyArray(masked.slice(1))).shape == (3, 1)  # the null row is sliced off
    with pytest.raises(ValueError, match="missing rows"):
        gridvane.from_arrow(OnlyArray(masked))


def test_from_arrow_reads_a_stream_of_many_batches():
    pa = pytest.importorskip("pyarrow")
    a = awkward_samples(100, 4)
    batches = pa.table(gridvane.from_numpy(a, columns=list("abcd"))).to_batches(max_chunksize=7)
    t = gridvane.from_arrow(pa.RecordBatchReader.from_batches(batches[0].schema, batches))
    assert t.shape == (100, 4) and t.columns == tuple("abcd") and np.array_equal(bits(t.to_numpy()), bits(a))


def test_dlpack_shares_one_block_tables_and_copies_the_rest(tmp_path, clib):
    made = gridvane.from_numpy(np.arange(12, dtype=np.float32).reshape(3, 4))
    gridvane.load(CAMERA).save(tmp_path / "cam.chb", drop_frames=True)
    binary = gridvane.load(tmp_path / "cam.chb")
    ascii = gridvane.load(CAMERA)  # a row per block
    assert made.__dlpack_device__() == (1, 0)
    for t, shared in [(made, True), (binary, True), (ascii, False)]:
        view = np.from_dlpack(t)
        assert view.dtype == np.float32 and view.shape == t.shape and np.array_equal(view, t.to_numpy())
        if not view.flags.writeable:  # numpy 1 reads DLPack tensors read-only
            assert not NUMPY_2
            continue
        view[0, 0] = 99.0
        assert (t[0, 0] == 99.0) == shared
    view = np.from_dlpack(made)
    handle = made.handle
    made.close()  # the view keeps the table registered, and its samples, until it is gone
    assert made.closed and clib.ArrayCountV(handle) == 3 and clib.ArrayCountU(handle) == 4
    expected = np.arange(12, dtype=np.float32).reshape(3, 4)
    expected[0, 0] = 99.0 if NUMPY_2 else 0.0
    assert np.array_equal(view, expected)
    del view
    assert clib.ArrayCountV(handle) == -1  # freed with the last view: no such handle
    with pytest.raises(ValueError, match="closed"):
        np.from_dlpack(made)
    copied = np.from_dlpack(binary, copy=True) if NUMPY_2 else binary.to_numpy()
    copied[1, 1] = -7.0
    assert binary[1, 1] != -7.0
    with pytest.raises(BufferError, match="blocks of their own"):
        ascii.__dlpack__(copy=False)
    with pytest.raises(BufferError, match="CPU"):
        ascii.__dlpack__(dl_device=(2, 0))


def test_dlpack_argument_errors_are_the_ones_consumers_catch():
    t = gridvane.from_numpy(np.ones((2, 3), np.float32))
    cases = [
        ({"max_version": "10"}, TypeError, "max_version is a tuple of two ints"),
        ({"max_version": (1,)}, TypeError, "max_version"),
        ({"max_version": (1.0, 0)}, TypeError, "max_version"),
        ({"max_version": [1, 0]}, TypeError, "max_version"),
        ({"stream": "default"}, TypeError, "stream is None or an int, not str"),
        ({"stream": 1.5}, TypeError, "stream"),
        ({"stream": 2**70}, ValueError, "stream must be None"),
        ({"stream": 0}, ValueError, "stream must be None"),
        ({"dl_device": "cpu"}, TypeError, "dl_device is a tuple of two ints"),
        ({"dl_device": (1, None)}, TypeError, "dl_device"),
        ({"dl_device": (1, 1)}, BufferError, "CPU"),
        ({"dl_device": (2**70, 0)}, BufferError, "CPU"),
        ({"copy": "yes"}, TypeError, "copy is True, False or None, not str"),
        ({"copy": 1}, TypeError, "copy"),
    ]
    for kwargs, error, message in cases:
        with pytest.raises(error, match=message):
            t.__dlpack__(**kwargs)
    # What a consumer may pass: ints numpy's too, -1 for "no stream", a numpy bool.
    for kwargs in [{"max_version": (np.int64(1), 0), "dl_device": (1, 0), "stream": -1}, {"copy": np.bool_(True)},
                   {"max_version": (2**70, 0)}]:
        assert type(t.__dlpack__(**kwargs)).__name__ == "PyCapsule"


def test_numpy_copy_rules():
    t = gridvane.from_numpy(np.ones((2, 3), np.float32))
    ascii = gridvane.load(CAMERA)
    for table in (t, ascii):
        a = np.asarray(table)  # a copy unless copy=False is asked for
        a[0, 0] = 5.0
        assert table[0, 0] != 5.0 and np.asarray(table, dtype=np.float64).dtype == np.float64
        assert type(table[0, 0]) is float and type(table.sample(0.5, 0.5)) is float
        assert np.array(table, copy=True).flags.owndata
    if not NUMPY_2:
        pytest.skip(f"numpy {np.__version__} has no copy=False that forbids copies")
    view = np.array(t, copy=False)
    view[1, 2] = 7.0
    assert t[1, 2] == 7.0
    with pytest.raises(ValueError, match="blocks of their own"):
        np.array(ascii, copy=False)
    with pytest.raises(ValueError, match="float32"):
        np.asarray(t, dtype=np.float64, copy=False)
