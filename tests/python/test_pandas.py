"""pandas: a camera move round trip through a DataFrame, frames as the index,
names as the columns; pandas imported only when asked for."""
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import DATA, bits

import gridvane

pd = pytest.importorskip("pandas")
CAMERA = os.path.join(DATA, "camera.chan")


def test_a_camera_move_round_trips_through_pandas(tmp_path):
    cam = gridvane.load(CAMERA)
    df = cam.to_pandas()
    assert list(df.columns) == ["pan", "tilt", "focal"] and df.index.name == "frame"
    assert df.index.tolist() == [1, 12, 24, 36, 48, 60] and set(df.dtypes) == {np.dtype(np.float32)}
    df["pan"] += 1.5  # an edit, then back to a file
    back = gridvane.from_pandas(df)
    back.save(tmp_path / "moved.chan")
    again = gridvane.load(tmp_path / "moved.chan")
    assert again.columns == cam.columns and np.array_equal(again.frames, cam.frames)
    assert np.array_equal(again.to_numpy()[:, 0], cam.to_numpy()[:, 0] + np.float32(1.5))
    with pytest.raises(ValueError, match="drop_frames"):
        back.save(tmp_path / "moved.chb")


def test_tables_without_frames_or_names():
    a = np.random.default_rng(3).uniform(-1, 1, (5, 3)).astype(np.float32)
    df = gridvane.from_numpy(a).to_pandas()
    assert list(df.columns) == ["col0", "col1", "col2"] and isinstance(df.index, pd.RangeIndex)
    assert np.array_equal(bits(df.to_numpy()), bits(a))
    cases = [  # DataFrame, frames=, frames, columns
        (df, None, None, None),
        (pd.DataFrame(a), None, None, None),
        (pd.DataFrame(a, columns=["x", "y", "z"], index=[0.5, 1, 7, 8, 20]), None, [0.5, 1, 7, 8, 20], ("x", "y", "z")),
        (pd.DataFrame(a, index=pd.RangeIndex(5, name="frame")), None, [0, 1, 2, 3, 4], None),
        (pd.DataFrame(a, index=list("abcde")), False, None, None),
        (df, True, [0, 1, 2, 3, 4], None),
    ]
    for frame, use_index, frames, columns in cases:
        t = gridvane.from_pandas(frame, frames=use_index)
        assert np.array_equal(bits(t.to_numpy()), bits(a)) and t.columns == columns
        assert (t.frames is None and frames is None) or t.frames.tolist() == frames
    for bad, error in [(pd.DataFrame(a, index=list("abcde")), ValueError),
                       (pd.DataFrame(a, index=[3, 2, 1, 4, 5]), ValueError),
                       (pd.DataFrame({"a": ["x", "y"]}), ValueError), (a, TypeError)]:
        with pytest.raises(error):
            gridvane.from_pandas(bad)


def test_pandas_is_imported_only_when_asked_for():
    script = ("import sys, gridvane; t = gridvane.Table(2, 2); t.sample(0, 0); print('pandas' in sys.modules); "
              "t.to_pandas(); print('pandas' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["False", "True"], done.stderr


def test_arrow_backed_columns_string_labels_and_copy_on_write():
    pa = pytest.importorskip("pyarrow")
    labels = pd.Index(["pan", "tilt"], dtype="string")  # pandas 3's default for labels
    df = pd.DataFrame({"pan": pd.array([1.0, 2.5], dtype=pd.ArrowDtype(pa.float32())),
                       "tilt": pd.array([3.0, 4.0], dtype=pd.ArrowDtype(pa.float64()))},
                      index=pd.Index([1, 5], name="frame"))
    df.columns = labels
    t = gridvane.from_pandas(df)
    assert t.columns == ("pan", "tilt") and t.frames.tolist() == [1, 5]
    assert t.to_numpy().tolist() == [[1.0, 3.0], [2.5, 4.0]]
    back = t.to_pandas()
    back.iloc[0, 0] = 99.0  # the data frame and the table stay apart, both ways
    t[0, 1] = -1.0
    assert t[0, 0] == 1.0 and back.iloc[0, 1] == 3.0
    with pytest.raises(ValueError, match="column 'x' holds missing values"):
        gridvane.from_pandas(pd.DataFrame({"x": pd.array([1.0, None], dtype=pd.ArrowDtype(pa.float64()))}))


def test_the_frame_index_is_float64_on_every_pandas():
    df = gridvane.load(CAMERA).to_pandas()
    assert df.index.dtype == np.float64 and df.index.tolist() == [1, 12, 24, 36, 48, 60]
    fractional = gridvane.from_numpy(np.ones((2, 1), np.float32), frames=[0.5, 1.25]).to_pandas()
    assert fractional.index.dtype == np.float64 and fractional.index.tolist() == [0.5, 1.25]


def test_nan_comes_back_from_pandas_through_arrow():
    # pandas gives a NaN of a NumPy column to Arrow as a null.
    if not hasattr(pd.DataFrame, "__arrow_c_stream__"):
        pytest.skip(f"pandas {pd.__version__} gives no Arrow stream")
    pytest.importorskip("pyarrow")
    a = np.arange(12, dtype=np.float32).reshape(4, 3)
    a[1, 2] = a[3, 0] = np.nan
    for t in (gridvane.from_numpy(a), gridvane.from_numpy(a, frames=[1, 2, 4, 8], columns=["x", "y", "z"])):
        sources = [t.to_pandas()]
        if hasattr(pd.DataFrame, "from_arrow"):
            sources.append(pd.DataFrame.from_arrow(t))
        for df in sources:
            back = gridvane.from_arrow(df)
            assert np.array_equal(back.to_numpy(), t.to_numpy(), equal_nan=True)
            assert back.columns == t.columns and (back.frames is None) == (t.frames is None)
            if t.frames is not None:
                assert back.frames.tolist() == t.frames.tolist()
            with pytest.raises(ValueError, match="column '(col0|x)' holds missing values"):
                gridvane.from_arrow(df, missing="refuse")
    # A nullable column keeps NA apart from NaN: its NA is refused.
    masked = pd.DataFrame({"x": pd.array([1.0, None], dtype="Float32")})
    with pytest.raises(ValueError, match="column 'x' holds missing values"):
        gridvane.from_arrow(masked)
