"""Frames: camera files kept whole (frames and names through save, tobytes
and pickle), fractional and vectorised frame lookups by ArrayFrameGetV's
arithmetic, and frames that must rise."""
import os
import pickle

import numpy as np
import pytest
from conftest import DATA, bits

import gridvane

CAMERA = os.path.join(DATA, "camera.chan")


def test_camera_files_keep_frames_and_names(tmp_path):
    cam = gridvane.load(CAMERA)
    assert cam.columns == ("pan", "tilt", "focal") and np.array_equal(cam.frames, [1, 12, 24, 36, 48, 60])
    copies = {"save .chan": lambda: (cam.save(tmp_path / "c.chan"), gridvane.load(tmp_path / "c.chan"))[1],
              "save .dat": lambda: (cam.save(tmp_path / "c.dat"), gridvane.load(tmp_path / "c.dat"))[1],
              "tobytes": lambda: gridvane.read(cam.tobytes()),
              "tobytes ascii": lambda: gridvane.read(cam.tobytes("ascii")),
              "pickle": lambda: pickle.loads(pickle.dumps(cam))}
    for how, copy in copies.items():
        back = copy()
        assert (back.columns, back.kind) == (cam.columns, "ascii"), how
        assert np.array_equal(back.frames, cam.frames) and np.array_equal(back.to_numpy(), cam.to_numpy()), how
    assert cam.tobytes().startswith(b"| pan tilt focal\n")


def test_the_binary_form_drops_frames_only_when_asked(tmp_path):
    cam = gridvane.load(CAMERA)
    for write in (lambda: cam.save(tmp_path / "c.chb"), lambda: cam.save(tmp_path / "c.dat", kind="binary"),
                  lambda: cam.tobytes("binary")):
        with pytest.raises(ValueError, match="drop_frames=True"):
            write()
    assert os.listdir(tmp_path) == []
    cam.save(tmp_path / "c.chb", drop_frames=True)
    cam.save(tmp_path / "plain.chan", drop_frames=True)
    for name in ("c.chb", "plain.chan"):
        back = gridvane.load(tmp_path / name)
        assert not back.has_frames and back.columns is None and np.array_equal(back.to_numpy(), cam.to_numpy())
    assert cam.tobytes("binary", drop_frames=True) == (tmp_path / "c.chb").read_bytes()


def test_names_are_set_and_checked():
    t = gridvane.from_numpy(np.zeros((2, 3)), frames=[1, 2], columns=["x", "y", "z"])
    assert t.columns == ("x", "y", "z") and gridvane.read(t.tobytes()).columns == ("x", "y", "z")
    t.columns = None  # the table form's writer then names the columns itself
    assert t.columns is None and gridvane.read(t.tobytes()).columns == ("column0", "column1", "column2")
    for bad, error in [(["a", "b"], ValueError), (["a", "b c", "d"], ValueError), (["a", "#b", "c"], ValueError),
                       ("abc", TypeError), ([1, 2, 3], TypeError)]:
        with pytest.raises(error):
            t.columns = bad
        assert t.columns is None


def test_whole_frames_match_the_c_function_bit_for_bit(clib):
    rng = np.random.default_rng(5)
    frames = np.cumsum(rng.uniform(0.1, 7, 40)).astype(np.float32) - 50
    frames[5] = np.float32(-30)  # whole frames among fractional ones
    frames = np.unique(frames)
    t = gridvane.from_numpy(rng.uniform(-1, 1, (frames.size, 3)), frames=frames)
    whole = np.arange(int(frames[0]) - 1, int(frames[-1]) + 2)
    expected = np.array([clib.ArrayFrameGetV(t.handle, int(f)) for f in whole], np.float32)
    inside = expected >= 0
    assert inside.sum() > 100
    assert np.array_equal(bits(t.row_of_frame(whole[inside])), bits(expected[inside]))
    for f in whole[inside][::17]:
        assert t.row_of_frame(int(f)) == t.row_of_frame(np.int64(f)) == expected[whole == f][0]
    for f in whole[~inside]:
        with pytest.raises(ValueError, match="outside the table's frames"):
            t.row_of_frame(f)


def test_fractional_and_vectorised_frames():
    cam = gridvane.load(CAMERA)
    one, twelve = np.float32(1), np.float32(12)
    cases = [  # frame, row (the formula in float32: (f - below) / (above - below) + row below)
        (30.5, np.float32(6.5) / np.float32(12) + np.float32(2)), (cam.frames[2], 2.0), (np.float32(12), 1.0),
        (1.5, (np.float32(1.5) - one) / (twelve - one)), (60, 5.0), (np.float64(59.999), None),
    ]
    for frame, row in cases:
        got = cam.row_of_frame(frame)
        assert isinstance(got, float) and (row is None or got == np.float32(row)), frame
    frames = np.array([[1, 30.5], [60, 12]])
    rows = cam.row_of_frame(frames)
    assert rows.dtype == np.float32 and rows.shape == (2, 2)
    assert rows.tolist() == [[cam.row_of_frame(f) for f in line] for line in frames.tolist()]
    at = cam.sample_at_frame([30, 30.5, 60])
    assert at.shape == (3, 3) and at[0].tolist() == [29.25, -0.375, 45] and at[2].tolist() == [60, 3.5, 85]
    assert np.array_equal(at[1], cam.sample_at_frame(30.5)) and cam.sample_at_frame(30.5, 2) == at[1, 2]
    assert cam.sample_at_frame(np.array([30, 60]), 0).tolist() == [29.25, 60]
    for bad, error in [(0, ValueError), (60.01, ValueError), ([30, 61], ValueError), (np.nan, ValueError),
                       (2**40, ValueError), (None, TypeError), ("30", TypeError)]:
        with pytest.raises(error):
            cam.row_of_frame(bad)
    with pytest.raises(ValueError, match="no frames"):
        gridvane.Table(2, 2).row_of_frame(1)
    assert cam.frame_of_row(-1) == 60 and cam.frame_of_row(np.int32(1)) == 12
    for row in (6, -7):
        with pytest.raises(IndexError):
            cam.frame_of_row(row)


def test_frames_that_do_not_rise_in_a_file_are_kept_as_written(clib):
    # A file may hold them (the reader warns); lookups then follow ArrayFrameGetV's scan.
    with pytest.warns(gridvane.FormatWarning, match="does not increase"):
        t = gridvane.read(b"| a\n-\n1 | 10\n5 | 20\n3 | 30\n9 | 40\n")
    assert t.frames.tolist() == [1, 5, 3, 9]
    rows = t.row_of_frame([4, 5, 7])
    assert rows.tolist() == [np.float32(3) / np.float32(4), 1.0, np.float32(4) / np.float32(6) + np.float32(2)]
    assert np.array_equal(bits(rows), bits([clib.ArrayFrameGetV(t.handle, f) for f in (4, 5, 7)]))
    assert pickle.loads(pickle.dumps(t)).frames.tolist() == [1, 5, 3, 9]
