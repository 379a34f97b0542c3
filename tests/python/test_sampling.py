"""Vectorised sampling: bit-identical to ArrayGetValue called point by point,
and to the bilinear formula evaluated in float32 (V blends first, then U);
numbers as numpy gives them; broadcasting without the broadcast copies."""
import tracemalloc

import numpy as np
import pytest
from conftest import bits

import gridvane


def reference(a, u, v):
    """The bilinear formula with clamping, in float32 as the library computes it."""
    one = np.float32(1)
    u = np.clip(np.asarray(u, np.float32), 0, np.float32(a.shape[1] - 1))
    v = np.clip(np.asarray(v, np.float32), 0, np.float32(a.shape[0] - 1))
    iu, iv = u.astype(np.int32), v.astype(np.int32)
    fu, fv = u - iu.astype(np.float32), v - iv.astype(np.float32)
    iu1, iv1 = np.minimum(iu + 1, a.shape[1] - 1), np.minimum(iv + 1, a.shape[0] - 1)
    left = np.where(fv == 0, a[iv, iu], (one - fv) * a[iv, iu] + fv * a[iv1, iu])
    right = np.where(fv == 0, a[iv, iu1], (one - fv) * a[iv, iu1] + fv * a[iv1, iu1])
    return np.where(fu == 0, left, (one - fu) * left + fu * right)


@pytest.mark.parametrize("shape", [(1, 1), (1, 7), (9, 1), (40, 30)])
def test_arrays_match_the_c_function_and_the_float32_formula(clib, shape):
    rng = np.random.default_rng(sum(shape))
    a = rng.uniform(-1e3, 1e3, shape).astype(np.float32)
    t = gridvane.from_numpy(a)
    # Inside, on cell edges, outside (clamped), and double coordinates that round to float32.
    us = np.concatenate([rng.uniform(-2, shape[1] + 2, 500), np.arange(-1, shape[1] + 1.0, 0.5), [1 / 3, 1e9]])
    vs = rng.permutation(np.resize(np.concatenate([rng.uniform(-2, shape[0] + 2, 300), [0.1, -0.0]]), us.size))
    got = t.sample(us, vs)
    assert got.dtype == np.float32 and got.shape == us.shape
    one_by_one = [clib.ArrayGetValue(t.handle, u, v) for u, v in zip(us.astype(np.float32), vs.astype(np.float32))]
    assert np.array_equal(bits(got), bits(one_by_one))
    assert np.array_equal(bits(got), bits(reference(a, us, vs)))


def test_broadcasting_scalars_and_nan():
    a = np.arange(20, dtype=np.float32).reshape(4, 5)
    t = gridvane.from_numpy(a)
    cases = [  # u, v, expected shape
        (1.5, 2.0, ()), (np.float32(1.5), 2, ()), ([0, 1, 2], 1.5, (3,)),
        (np.arange(5)[None, :], np.arange(4)[:, None], (4, 5)), (np.empty((0, 2)), 1, (0, 2)),
        (np.float32([0.5, 3.75]), np.float64([1 / 3, 2.9]), (2,)),  # mixed widths
        (np.linspace(-1, 5, 12)[::3], np.float64([[0.3], [2.6]])[:, ::-1], (2, 4)),  # strided views
    ]
    for u, v, shape in cases:
        got = t.sample(u, v)
        assert np.shape(got) == shape
        assert np.array_equal(np.asarray(got, np.float32), reference(a, *np.broadcast_arrays(u, v)))
    for u, v in [(1, 1), (np.int64(1), np.int64(1)), (np.float32(1.5), 1), (np.array(2.0), np.uint8(1)), (True, 0.5)]:
        assert isinstance(t.sample(u, v), float), (u, v)
    assert t.sample(np.int64(1), np.int64(1)) == t.sample(1, 1) == a[1, 1]
    for u, v in [(None, 0), ("1", 0), (0, None), ([1, None], 0), (["1"], [0]), (object(), 1), (1j, 0)]:
        with pytest.raises(TypeError):
            t.sample(u, v)
    assert np.array_equal(t.sample(np.arange(5)[None, :], np.arange(4)[:, None]), a)
    assert np.isnan(t.sample(np.nan, 1)) and np.isnan(t.sample([0, 1], [np.nan, 0])[0])
    with pytest.raises(ValueError):
        t.sample([1, 2], [1, 2, 3])


def test_a_table_without_samples_cannot_be_sampled():
    with pytest.warns(gridvane.FormatWarning, match="no samples: 3 columns x 0 rows"):
        empty = gridvane.read(b"chan" + bytes(4) + np.array([3, 0], "<i2").tobytes() + bytes(52), kind="binary")
    assert empty.shape == (0, 3) and empty.to_numpy().shape == (0, 3)
    for use in (lambda: empty.sample(0, 0), lambda: empty.sample([0], [0]), lambda: empty.cell(0, 0)):
        with pytest.raises(ValueError, match="no samples"):
            use()
    with pytest.raises(IndexError):
        empty[0, 0]


def test_broadcasting_makes_no_copy_of_the_coordinates():
    t = gridvane.from_numpy(np.arange(30, dtype=np.float32).reshape(5, 6))
    n = 1500
    cases = [  # u, v: the result is n x n, each coordinate array n points
        (np.linspace(0, 5, n)[None, :], np.linspace(0, 4, n, dtype=np.float32)[:, None]),
        (np.linspace(0, 5, 2 * n)[None, ::2], np.arange(n, dtype=np.float64)[::-1, None] / 300),
        (np.linspace(0, 5, n, dtype=np.float32), np.zeros((n, 1), np.int16)),
    ]
    for u, v in cases:
        tracemalloc.start()
        got = t.sample(u, v)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert got.shape == (n, n) and peak <= 1.1 * got.nbytes, (peak, got.nbytes)
        assert np.array_equal(bits(got), bits(reference(t.to_numpy(), *np.broadcast_arrays(u, v))))


def test_large_batches_shared_between_threads_give_the_same_bits():
    # 420,006 points: shared between threads in stretches that start in
    # the middle of a run of the innermost dimension.
    a = np.random.default_rng(4).uniform(-1, 1, (50, 60)).astype(np.float32)
    t = gridvane.from_numpy(a)
    u = np.linspace(-2, 62, 70001)[None, None, :]
    v = np.linspace(-1, 51, 6, dtype=np.float32).reshape(3, 2, 1)
    whole = t.sample(u, v)
    assert whole.shape == (3, 2, 70001) and np.array_equal(bits(whole), bits(reference(a, u, v)))
    flat = t.sample(np.broadcast_to(u, whole.shape).ravel(), np.broadcast_to(v, whole.shape).ravel())
    assert np.array_equal(bits(flat), bits(whole.ravel()))
    for n in (2 * 2**17 + 1, 3 * 2**17 + 1):  # a count the threads do not share evenly: the last point too
        us = np.random.default_rng(n).uniform(0, 59, n)
        assert np.array_equal(bits(t.sample(us, 7.25)), bits(reference(a, us, 7.25)))


def test_float64_coordinates_give_the_bits_of_the_same_points_as_float32():
    # Lengths around the chunk (1024 points) and the threads' stretches
    # (32 chunks), odd ones included; contiguous, reversed, strided and
    # unaligned doubles (narrowed four at a time, the rest one by one).
    a = np.random.default_rng(5).uniform(-1, 1, (70, 90)).astype(np.float32)
    t = gridvane.from_numpy(a)
    for n in (1, 3, 5, 1023, 1025, 4099, 32 * 1024 + 7, 2 * 2**17 + 4097):
        rng = np.random.default_rng(n)
        u, v = rng.uniform(-3, 93, 2 * n + 1), rng.uniform(-3, 73, 2 * n + 1)
        unaligned = np.frombuffer(bytearray(8 * (n + 1) + 4), np.float64, n, 4)
        unaligned[:] = u[:n]
        for label, us, vs in [("contiguous", u[:n], v[:n]), ("reversed", u[n - 1::-1], v[n - 1::-1]),
                              ("strided", u[::2][:n], v[1::2][:n]), ("unaligned", unaligned, v[:n])]:
            got = t.sample(us, vs)
            narrowed = t.sample(us.astype(np.float32), vs.astype(np.float32))
            assert np.array_equal(bits(got), bits(narrowed)), (n, label)
            assert np.array_equal(bits(got), bits(reference(a, us, vs))), (n, label)
