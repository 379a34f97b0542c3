"""Tables in memory: numpy in and out, cells, lifetime, and the registry shared with C."""
import gc
import threading
import time

import numpy as np
import pytest
from conftest import bits

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


def test_new_tables_are_zero_filled():
    t = gridvane.Table(4, 3)
    assert t.shape == (4, 3) and not t.to_numpy().any()


def test_cells_clamp_as_the_library_does():
    t = gridvane.from_numpy(np.arange(12, dtype=np.float32).reshape(3, 4))
    cases = [((0, 0), 0), ((1, 2), 6), ((-1, 0), 0), ((0, -5), 0), ((99, 99), 11), ((2, 2**40), 11), ((-(2**70), 2**70), 3)]
    for (v, u), expected in cases:
        assert t[v, u] == expected, (v, u)
    t[-3, 99] = 0.1  # stores into row 0, last column
    assert t[0, 3] == np.float32(0.1)
    with pytest.raises(TypeError):
        t[0]


def test_a_closed_table_raises_and_closing_twice_is_harmless(clib):
    t = gridvane.Table(2, 2)
    handle = t.handle
    t.close()
    t.close()
    assert t.closed and clib.ArrayType(handle) == -1
    uses = [lambda: t.shape, lambda: t.to_numpy(), lambda: t[0, 0], lambda: t.sample(0, 0),
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


@pytest.mark.parametrize("bad", [np.zeros(3), np.zeros((2, 2, 2)), np.zeros((0, 3)), np.zeros((3, 0))])
def test_from_numpy_refuses_what_is_not_a_table(bad):
    with pytest.raises(ValueError):
        gridvane.from_numpy(bad)
