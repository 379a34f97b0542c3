"""Files and streams: the shipped examples, the table form's frames, forms by
name and by kind, reading bytes and file objects, standard input and output."""
import io
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import DATA, bits

import gridvane

CAMERA, TERRAIN_TXT, TERRAIN_CHB = (os.path.join(DATA, n) for n in ("camera.chan", "terrain.txt", "terrain.chb"))


def test_both_forms_of_the_example_hold_the_same_samples():
    text, binary = gridvane.load(TERRAIN_TXT), gridvane.load(TERRAIN_CHB)
    assert (text.kind, binary.kind) == ("ascii", "binary")
    assert np.array_equal(text.to_numpy(), binary.to_numpy()) and text.shape == (5, 6)


def test_table_form_frames():
    t = gridvane.load(CAMERA)
    assert t.has_frames and np.array_equal(t.frames, [1, 12, 24, 36, 48, 60])
    assert t.row_of_frame(30) == 2.5 and t.row_of_frame(12) == 1.0 and t.frame_of_row(5) == 60
    assert t.sample_at_frame(30).tolist() == [29.25, -0.375, 45] and t.sample_at_frame(30, 2) == 45
    for bad, error in [(lambda: t.row_of_frame(0), ValueError), (lambda: t.row_of_frame(61), ValueError),
                       (lambda: t.row_of_frame(2**40), ValueError), (lambda: t.frame_of_row(6), IndexError),
                       (lambda: t.frame_of_row(-1), IndexError),
                       (lambda: gridvane.load(TERRAIN_TXT).row_of_frame(1), ValueError)]:
        with pytest.raises(error):
            bad()


def test_from_numpy_with_frames_is_bit_exact_and_saving_drops_the_frames(tmp_path):
    a = np.array([[1, np.nan], [3, 4], [5, 6]], np.float32)
    a[0, 1] = np.frombuffer(np.uint32(0xFFC00007).tobytes(), np.float32)[0]
    frames = np.array([10, 20.5, 1e30], np.float32)
    t = gridvane.from_numpy(a, frames=frames)
    assert t.has_frames and t.shape == (3, 2)
    assert np.array_equal(bits(t.to_numpy()), bits(a)) and np.array_equal(bits(t.frames), bits(frames))
    assert t.row_of_frame(15) == np.float32(5) / np.float32(10.5) and t.frame_of_row(1) == 20
    assert t.frame_of_row(2) == -1  # a frame beyond 32 bits
    t.save(tmp_path / "t.chan")
    back = gridvane.load(tmp_path / "t.chan")
    assert not back.has_frames and np.array_equal(back.to_numpy(), a, equal_nan=True)
    with pytest.raises(ValueError, match="one frame per row"):
        gridvane.from_numpy(a, frames=[1, 2])


@pytest.mark.parametrize("name, kind, written", [
    ("a.chb", None, "binary"), ("a.txt", None, "ascii"), ("a.dat", None, "own"),
    ("a.dat", "binary", "binary"), ("a.dat", "ascii", "ascii"), ("a.CHB", "binary", "binary"),
    ("a.txt", "binary", ValueError), ("a.chb", "ascii", ValueError), ("a.dat", "csv", ValueError),
])
@pytest.mark.parametrize("source", [TERRAIN_TXT, TERRAIN_CHB])
def test_the_form_a_save_writes(tmp_path, source, name, kind, written):
    t, path = gridvane.load(source), tmp_path / name
    if written is ValueError:
        with pytest.raises(ValueError):
            t.save(path, kind)
        assert not path.exists()
        return
    t.save(path, kind)
    form = t.kind if written == "own" else written
    data = path.read_bytes()
    assert data[:4] == b"chan" if form == "binary" else data[:1] == b"\t"
    assert data == t.tobytes(form)
    assert np.array_equal(gridvane.load(path).to_numpy(), t.to_numpy())


def test_read_takes_bytes_buffers_and_binary_files():
    expected = gridvane.load(TERRAIN_TXT).to_numpy()
    with open(TERRAIN_CHB, "rb") as f:
        binary = f.read()
    with open(TERRAIN_TXT, "rb") as f:
        text = f.read()
    grid = expected.astype(">f4")
    big_endian = b"nahc" + bytes(4) + np.array([6, 5], ">i2").tobytes() + bytes(52) + grid.tobytes()
    sources = [binary, bytearray(binary), memoryview(binary), io.BytesIO(binary), text, io.BytesIO(text), big_endian]
    for source in sources:
        assert np.array_equal(gridvane.read(source).to_numpy(), expected)
    assert gridvane.read(binary).kind == "binary" and gridvane.read(text, kind="ascii").kind == "ascii"
    with open(TERRAIN_CHB, "rb") as f:
        assert np.array_equal(gridvane.read(f).to_numpy(), expected)
    with pytest.raises(TypeError):
        gridvane.read(io.StringIO("1 2\n"))


def test_standard_input_and_output():
    script = "import gridvane; gridvane.load('-').save('-', kind='ascii')"
    with open(TERRAIN_CHB, "rb") as f:
        done = subprocess.run([sys.executable, "-c", script], stdin=f, capture_output=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == gridvane.load(TERRAIN_CHB).tobytes("ascii")


def test_only_a_dash_is_a_standard_stream(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    t = gridvane.load(TERRAIN_TXT)
    for name in ["stdout_take2.chan", "stdin_cam.chan"]:
        t.save(name)
        assert os.path.getsize(name) > 0, f"{name} was not written as a file"
        assert np.array_equal(gridvane.load(name).to_numpy(), t.to_numpy())
