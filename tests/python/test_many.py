"""Many files at once (load_many on threads without the GIL) and tables and
functions that pickle, as Dask ships them."""
import os
import pickle
import threading

import numpy as np
import pytest
from conftest import bits

import gridvane


def make_files(folder, n):
    paths = []
    for i in range(n):
        t = gridvane.from_numpy(np.full((3, 2), i, np.float32))
        paths.append(os.path.join(folder, f"t{i}" + (".chb" if i % 2 else ".chan")))
        t.save(paths[-1])
    return paths


def test_load_many_keeps_order_and_puts_failures_in_their_places(tmp_path):
    paths = make_files(str(tmp_path), 40)
    bad = tmp_path / "bad.chan"
    bad.write_bytes(b"1 2\n3 x\n")
    short = tmp_path / "short.chan"
    short.write_bytes(b"1 2\n0x3 4\n")
    names = paths[:10] + [str(tmp_path / "missing.chb"), bad, short] + paths[10:]
    for threads in (None, 1, 3, 100):
        with pytest.warns(gridvane.FormatWarning, match="short.chan:2:1"):
            got = gridvane.load_many(names, threads=threads)
        assert len(got) == len(names)
        assert isinstance(got[10], FileNotFoundError) and got[10].filename == names[10]
        assert isinstance(got[11], gridvane.FormatError) and (got[11].kind, got[11].line) == ("not_a_number", 2)
        assert got[12].to_numpy().tolist() == [[1, 2], [3, 4]]
        tables = got[:10] + got[13:]
        assert [t[0, 0] for t in tables] == list(range(40))
        assert [t.kind for t in tables] == ["ascii", "binary"] * 20
    with pytest.raises(FileNotFoundError), pytest.warns(gridvane.FormatWarning):
        gridvane.load_many(names, errors="raise")
    assert gridvane.load_many([bad], lenient=True)[0].to_numpy().tolist() == [[1, 2], [3, 0]]
    assert gridvane.load_many([]) == []
    text_as_binary, binary = gridvane.load_many(iter(paths[:2]), kind="binary")
    assert text_as_binary.kind == "bad_magic" and binary.kind == "binary"
    with pytest.raises(TypeError):
        gridvane.load_many(paths[0])


def test_load_many_lets_other_threads_run(tmp_path):
    # While one thread loads without the GIL, another Python thread runs.
    paths = make_files(str(tmp_path), 4) * 500
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        gridvane.load_many(paths, threads=2)
    finally:
        done.set()
        ticker.join()
    assert len(ticks) > 100


def test_tables_pickle_by_value():
    a = np.array([[1, np.nan], [3, -0.0]], np.float32)
    a[0, 1] = np.frombuffer(np.uint32(0x7FC01234).tobytes(), np.float32)[0]
    binary = gridvane.read(gridvane.from_numpy(a).tobytes("binary"))
    empty = gridvane.read(b"chan" + bytes(4) + np.array([3, 0], "<i2").tobytes() + bytes(52), kind="binary",
                          lenient=True)
    cases = [binary, gridvane.from_numpy(a, frames=[-1, 2.5], columns=["u", "v"]), empty]
    for t in cases:
        back = pickle.loads(pickle.dumps(t, protocol=pickle.HIGHEST_PROTOCOL))
        assert back.handle != t.handle and (back.shape, back.kind, back.columns) == (t.shape, t.kind, t.columns)
        assert np.array_equal(bits(back.to_numpy()), bits(t.to_numpy()))
        assert (back.frames is None and t.frames is None) or np.array_equal(bits(back.frames), bits(t.frames))
    t = cases[1]
    t.close()
    with pytest.raises(ValueError, match="closed"):
        pickle.dumps(t)


def test_functions_pickle_by_name():
    for f in (gridvane.load, gridvane.read, gridvane.load_many, gridvane.from_numpy, gridvane.from_pandas,
              gridvane.Table):
        assert pickle.loads(pickle.dumps(f)) is f
    t = gridvane.from_numpy(np.arange(4.0).reshape(2, 2))
    assert pickle.loads(pickle.dumps(t.sample))(0.5, 0.5) == 1.5
