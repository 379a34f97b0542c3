"""Files and streams: the shipped examples, forms by name and by kind, reading
bytes and file objects, standard input and output."""
import io
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import DATA

import gridvane

TERRAIN_TXT, TERRAIN_CHB = (os.path.join(DATA, n) for n in ("terrain.txt", "terrain.chb"))


def test_both_forms_of_the_example_hold_the_same_samples():
    text, binary = gridvane.load(TERRAIN_TXT), gridvane.load(TERRAIN_CHB)
    assert (text.kind, binary.kind) == ("ascii", "binary")
    assert np.array_equal(text.to_numpy(), binary.to_numpy()) and text.shape == (5, 6)


@pytest.mark.parametrize("name, kind, written", [
    ("a.chb", None, "binary"), ("a.txt", None, "ascii"), ("a.dat", None, "own"),
    ("a.dat", "binary", "binary"), ("a.dat", "ascii", "ascii"), ("a.CHB", "binary", "binary"),
    ("a.txt", "binary", ValueError), ("a.chb", "ascii", ValueError), ("a.dat", "csv", ValueError),
    ("a.csv", None, ValueError), ("a.CSV", "ascii", "ascii"),  # the suffix's promise, or the form given
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


def test_text_written_for_people_reads_back_the_same():
    t = gridvane.from_numpy(np.array([[0.1, 1e-7, 16777216, -2.5]], "float32"))
    assert t.tobytes("ascii") == b"\t0.1\t1e-07\t16777216\t-2.5\n"
    assert gridvane.read(t.tobytes("ascii")).to_numpy().tobytes() == t.to_numpy().tobytes()


def test_read_takes_bytes_buffers_and_binary_files():
    expected = gridvane.load(TERRAIN_TXT).to_numpy()
    with open(TERRAIN_CHB, "rb") as f:
        binary = f.read()
    with open(TERRAIN_TXT, "rb") as f:
        text = f.read()
    grid = expected.astype(">f4")
    big_endian = b"nahc" + bytes(4) + np.array([6, 5], ">i2").tobytes() + bytes(52) + grid.tobytes()
    sources = [binary, bytearray(binary), memoryview(binary), io.BytesIO(binary), text, io.BytesIO(text)]
    for source in sources:
        assert np.array_equal(gridvane.read(source).to_numpy(), expected)
    # The library reads big-endian data only when the binary form is asked.
    assert np.array_equal(gridvane.read(big_endian, kind="binary").to_numpy(), expected)
    with pytest.raises(gridvane.FormatError, match="big-endian"):
        gridvane.read(big_endian)
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


@pytest.mark.parametrize("fault", [None, b"1,5"])
def test_a_large_file_read_on_threads_is_the_file_read_on_one(tmp_path, fault):
    rows = np.arange(400_000 * 3, dtype=np.float32).reshape(-1, 3) / 7
    text = b"".join(b"\t%r\t%r\t%r\n" % tuple(map(float, r)) for r in rows[:200_000])
    text += b"".join(b"\t%r\t%r\t%r\n" % tuple(map(float, r)) for r in rows[200_000:])
    if fault:
        at = text.rindex(b"\n", 0, len(text) - 1000) + 1
        text = text[:at] + fault + text[at + 1:]
    path = tmp_path / "big.txt"
    path.write_bytes(text)
    outcomes = []
    for threads in (1, 2, 3):
        try:
            outcomes.append(gridvane.load(path, threads=threads).to_numpy().tobytes())
        except gridvane.FormatError as e:
            outcomes.append((e.line, e.column, str(e)))
    assert outcomes[0] == outcomes[1] == outcomes[2]
    assert isinstance(outcomes[0], tuple) == bool(fault)


def test_a_line_of_names_and_a_frame_column_round_trip(tmp_path):
    export = tmp_path / "pose.txt"
    export.write_bytes(b"# a camera export\ntime tx ty\n1 0.5 -5\n12 8.25 -4.5\n24 21 -2\n")
    named = gridvane.load(export, names="first-line")
    assert named.columns == ("time", "tx", "ty") and not named.has_frames
    t = gridvane.load(export, names="first-line", frames_column=0)
    assert t.columns == ("tx", "ty") and t.frames.tolist() == [1, 12, 24]
    assert t.to_numpy().tolist() == [[0.5, -5], [8.25, -4.5], [21, -2]]
    # Through the table form, Arrow and pandas, names and frames stay.
    t.save(tmp_path / "t.chan")
    back = gridvane.load(tmp_path / "t.chan")
    assert back.columns == t.columns and back.frames.tolist() == [1, 12, 24]
    arrow = gridvane.from_arrow(t)
    assert arrow.columns == t.columns and arrow.frames.tolist() == [1, 12, 24]
    assert list(t.to_pandas().columns) == ["tx", "ty"] and t.to_pandas().index.tolist() == [1, 12, 24]
    assert list(named.to_pandas().columns) == ["time", "tx", "ty"]
    # The frames as a column, in both plain forms, read back as they were.
    text = t.tobytes("ascii", frames_as_column=True)
    assert text == b"\t1\t0.5\t-5\n\t12\t8.25\t-4.5\n\t24\t21\t-2\n"
    again = gridvane.read(text, frames_column=0)
    assert again.frames.tolist() == [1, 12, 24] and np.array_equal(again.to_numpy(), t.to_numpy())
    t.save(tmp_path / "f.chb", frames_as_column=True)
    binary = gridvane.load(tmp_path / "f.chb")
    assert binary.to_numpy().tolist() == [[1, 0.5, -5], [12, 8.25, -4.5], [24, 21, -2]]
    assert t.tobytes("binary", frames_as_column=True) == (tmp_path / "f.chb").read_bytes()
    framed = gridvane.load(tmp_path / "f.chb", frames_column=0)
    assert framed.frames.tolist() == [1, 12, 24] and np.array_equal(framed.to_numpy(), t.to_numpy())
