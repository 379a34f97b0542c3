"""Tables in memory: numpy in and out, cells, lifetime, and the registry shared with C."""
import gc
import os
import threading
import time

import numpy as np
import pytest
from conftest import ROOT, bits

import gridvane


def test_numpy_round_trip_is_bit_exact_and_copies():
    a = np.array([[1.5, -0.0, np.inf], [np.nan, 3e-45, -7.25]], dtype=np.float32)
    a[1, 0] = np.frombuffer(np.uint32(0x7FC01234).tobytes(), np.float32)[0]  # a NaN with a payload
    t = gridvane.from_numpy(a)
    out = t.to_numpy()
    assert (t.shape, len(t), t.kind, t.has_frames, t.frames) == ((2, 3), 2, "ascii", False, None)
    assert out.dtype == np.float32 and out.flags.c_contiguous
    assert np.array_equal(bits(out), bits(a))
    out[0, 0] = 99  # a copy: the table keeps its own samples
    assert t[0, 0] == 1.5
    assert np.array_equal(bits(np.asarray(t)), bits(a))


def test_from_numpy_converts_to_float32():
    t = gridvane.from_numpy([[1, 2], [3, 4]])
    assert t.to_numpy().dtype == np.float32
    assert gridvane.from_numpy(np.array([[0.1]], dtype=np.float64))[0, 0] == np.float32(0.1)


def test_new_tables_are_zero_filled_and_a_table_too_large_fails_at_once():
    t = gridvane.Table(4, 3)
    assert t.shape == (4, 3) and not t.to_numpy().any()
    with pytest.raises(MemoryError, match="100000 x 100000"):
        gridvane.Table(100_000, 100_000)


A = np.arange(12, dtype=np.float32).reshape(3, 4)


@pytest.mark.parametrize("key", [
    (1, 2), (-1, 0), (0, -1), (-3, -4), (np.int64(2), np.int32(3)),  # cells
    1, -1, np.int64(0), (2,), (slice(None), 1), (slice(None), -1),  # rows and columns
    slice(1, 3), slice(None, None, -1), slice(0, 3, 2), slice(5, 9), (slice(1, None), slice(None, 2)),
    (1, slice(1, 3)), [2, 0], (slice(None), [3, 0]), np.array([True, False, True]), Ellipsis,
])
def test_indexing_follows_numpy(key):
    t = gridvane.from_numpy(A)
    got, expected = t[key], A[key]
    assert np.array_equal(got, expected) and np.shape(got) == np.shape(expected)
    b = A.copy()
    b[key] = -7.5
    t[key] = -7.5
    assert np.array_equal(t.to_numpy(), b)


def test_index_errors_and_iteration():
    t = gridvane.from_numpy(A)
    for key in [(3, 0), (-4, 0), (0, 4), (0, -5), 3, -4, (2**40, 0), (0, 0, 0)]:
        with pytest.raises(IndexError):
            t[key]
        with pytest.raises(IndexError):
            t[key] = 1
    for key in [None, "1", (0, None), ("a", 0), b"0"]:
        with pytest.raises(TypeError):
            t[key]
    assert A.tolist() == [row.tolist() for row in t] and len(list(t)) == len(t)
    t[0, 0] = np.float64(0.1)
    assert t[0, 0] == np.float32(0.1) and isinstance(t[0, 0], float)


def test_the_library_cells_clamp_under_their_own_name():
    t = gridvane.from_numpy(A)
    cases = [((0, 0), 0), ((1, 2), 6), ((-1, 0), 0), ((0, -5), 0), ((99, 99), 11), ((2, 2**40), 11), ((-(2**70), 2**70), 3)]
    for (v, u), expected in cases:
        assert t.cell(v, u) == expected, (v, u)
    assert t.put_cell(-3, 99, 0.1) == np.float32(0.1)  # row 0, last column
    assert t[0, 3] == np.float32(0.1)


def test_python_md_states_put_cells_clamping_as_it_is():
    # The guide's row for cell and put_cell, and its example run as written.
    with open(os.path.join(ROOT, "docs", "python.md"), encoding="utf-8") as f:
        (row,) = [line for line in f if line.startswith("| `t.cell(v, u)`, `t.put_cell(v, u, x)`")]
    for words in ("every index below 0", "every index past the end, however far", "`put_cell(99, 99, x)` on a 3 x 4",
                  "corner cell `[2, 3]`", "`t[99, 99] = x` raises `IndexError`"):
        assert words in row, words
    t = gridvane.from_numpy(A)
    t.put_cell(99, 99, -1.0)
    assert t.to_numpy()[2, 3] == -1.0 and np.count_nonzero(t.to_numpy() != A) == 1
    with pytest.raises(IndexError):
        t[99, 99] = -1.0
    with pytest.raises(TypeError):
        t.put_cell(1.0, 0, 0.0)


def test_a_closed_table_raises_and_closing_twice_is_harmless(clib):
    t = gridvane.Table(2, 2)
    handle = t.handle
    t.close()
    t.close()
    assert t.closed and clib.ArrayType(handle) == -1
    uses = [lambda: t.shape, lambda: t.to_numpy(), lambda: t[0, 0], lambda: t.sample(0, 0), lambda: t.columns,
            lambda: t.save("unused.chb"), lambda: t.tobytes(), lambda: t.handle, lambda: t.frames]
    for use in uses:
        with pytest.raises(ValueError, match="closed table"):
            use()
    assert repr(t) == "<gridvane.Table closed>"


def test_with_block_and_garbage_collection_free_the_table(clib):
    with gridvane.Table(2, 2) as t:
        handle = t.handle
        assert clib.ArrayType(handle) == 768
    assert clib.ArrayType(handle) == -1
    t = gridvane.Table(2, 2)
    handle = t.handle
    del t
    gc.collect()
    assert clib.ArrayType(handle) == -1


def test_a_close_from_another_thread_waits_for_the_sampling_call(clib):
    t = gridvane.from_numpy(np.arange(10000, dtype=np.float32).reshape(100, 100))
    handle, n = t.handle, 4_000_000
    us, vs = np.tile(np.float32([1.5, 50.25]), n), np.tile(np.float32([2, 98.5]), n)
    expected = np.tile(t.sample(us[:2], vs[:2]), n)
    started, outcome = threading.Event(), {}

    def sample():
        started.set()
        try:
            outcome["samples"] = t.sample(us, vs)
        except ValueError as e:  # the close came first
            outcome["samples"] = e

    worker = threading.Thread(target=sample)
    worker.start()
    started.wait()
    time.sleep(0.005)
    t.close()
    worker.join()
    assert clib.ArrayType(handle) == -1
    got = outcome["samples"]
    assert isinstance(got, ValueError) or np.array_equal(got, expected)


def test_a_cell_write_waits_for_the_sampling_call():
    # Every point samples the one cell: a write that met the sampling call
    # half way would leave two values in its result.
    t = gridvane.from_numpy(np.zeros((1, 1), np.float32))
    us = np.zeros(4_000_000, np.float32)
    started, outcome = threading.Event(), {}

    def sample():
        started.set()
        outcome["samples"] = t.sample(us, us)

    worker = threading.Thread(target=sample)
    worker.start()
    started.wait()
    time.sleep(0.005)
    t[0, 0] = 1.0
    worker.join()
    assert np.unique(outcome["samples"]).size == 1
    assert t[0, 0] == 1.0


def test_c_and_python_share_one_registry(clib):
    t = gridvane.from_numpy(np.zeros((5, 7), np.float32))
    assert (clib.ArrayCountV(t.handle), clib.ArrayCountU(t.handle)) == (5.0, 7.0)
    clib.ArrayPutIValue(t.handle, 6, 4, 2.5)
    assert t[4, 6] == 2.5


@pytest.mark.parametrize("bad, frames, columns", [
    (np.zeros(3), None, None), (np.zeros((2, 2, 2)), None, None), (np.zeros((0, 3)), None, None),
    (np.zeros((3, 0)), None, None), (np.zeros((3, 1)), [1, 2], None),
    (np.zeros((3, 1)), [1, 2, 2], None), (np.zeros((3, 1)), [3, 2, 1], None), (np.zeros((2, 1)), [np.nan, 1], None),
    (np.zeros((1, 2)), None, ["a"]), (np.zeros((1, 2)), None, ["a", "b c"]), (np.zeros((1, 2)), None, ["a", ""]),
])
def test_from_numpy_refuses_what_is_not_a_table(bad, frames, columns):
    with pytest.raises(ValueError):
        gridvane.from_numpy(bad, frames=frames, columns=columns)


def test_numpy_habits():
    a = np.array([[1, 2, np.nan], [4, 5, 6]], np.float32)
    t, u = gridvane.from_numpy(a), gridvane.from_numpy(a)
    assert (t == u).tolist() == [[True, True, False], [True, True, True]]  # element by element, NaN unequal
    assert (t != a).tolist() == [[False, False, True], [False, False, False]] and (t > 3).sum() == 3
    assert 5.0 in t and 3.0 not in t and np.nan not in t
    assert (t.dtype, t.ndim, t.size) == (np.float32, 2, 6)
    assert t.T.shape == (3, 2) and t.T[2, 1] == 6
    with pytest.raises(TypeError):
        hash(t)  # unhashable, as an array is


def test_messages_name_paths_as_open_does(tmp_path):
    missing = tmp_path / "nope" / "same.chb"
    with pytest.raises(FileNotFoundError) as raised:
        gridvane.load(missing)
    assert raised.value.filename == str(missing) and "PosixPath" not in str(raised.value)
    with pytest.raises(ValueError) as raised:
        gridvane.Table(1, 1).save(tmp_path / "t.chan", kind="binary")
    assert "PosixPath" not in str(raised.value)

