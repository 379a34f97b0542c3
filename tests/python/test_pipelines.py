"""gridvane.dask and the xarray engine on a LocalCluster of two worker
processes: results equal a plain loop over gridvane.load, bit for bit; bad
files among good ones; relative paths; columns; the engine found through its
entry point."""
import os
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest
from conftest import bits

import gridvane

distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
gd = pytest.importorskip("gridvane.dask")
dask = pytest.importorskip("dask")
key_split = pytest.importorskip("dask.utils").key_split


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as c:
        yield c


def camera_moves(folder, count, rows=5):
    """count camera moves with frames and named columns, in both ASCII forms' suffixes; their names."""
    rng = np.random.default_rng(7)
    names = []
    for i in range(count):
        samples = rng.uniform(-100, 100, (rows + i % 3, 3)).astype(np.float32)
        frames = np.cumsum(rng.integers(1, 4, len(samples))).astype(np.float32) + 1000 * i
        name = os.path.join(folder, f"shot{i:02d}" + (".chan", ".cha")[i % 2])
        gridvane.from_numpy(samples, frames=frames, columns=["pan", "tilt", "focal"]).save(name)
        names.append(name)
    return names


def grids(folder, count, shape=(6, 9)):
    rng = np.random.default_rng(8)
    names = []
    for i in range(count):
        name = os.path.join(folder, f"grid{i}" + (".chb", ".txt")[i % 2])
        gridvane.from_numpy(rng.standard_normal(shape).astype(np.float32)).save(name)
        names.append(name)
    return names


def looped(paths, columns=None):
    """What read_tables gives, by a plain loop over gridvane.load."""
    frames = []
    for p in paths:
        frame = gridvane.load(p).to_pandas()
        frame = frame if columns is None else frame[columns]
        frames.append(frame.assign(path=os.path.abspath(p)))
    return pd.concat(frames)


def assert_same_frame(got, expected):
    assert list(got.columns) == list(expected.columns) and got.index.name == expected.index.name
    assert np.array_equal(bits(got.index.to_numpy()), bits(expected.index.to_numpy()))
    for name in expected.columns:
        if name == "path":
            assert got[name].astype(str).tolist() == expected[name].tolist()
        else:
            assert got[name].dtype == np.float32 and np.array_equal(bits(got[name]), bits(expected[name])), name


def shuffles(collection):
    """The layers of a collection's graph, as compute runs it, that shuffle."""
    optimized = collection.optimize() if gd._expressions() else dask.optimize(collection)[0]
    return sorted({name for name in map(key_split, dict(optimized.__dask_graph__())) if "shuffle" in name})


@pytest.mark.parametrize("blocksize, partitions", [(None, 7), ("default", 1)])
def test_read_tables_is_a_loop_over_load(client, tmp_path, monkeypatch, blocksize, partitions):
    paths = camera_moves(str(tmp_path), 7)
    monkeypatch.chdir(tmp_path)
    relative = [os.path.basename(p) for p in paths]  # against the caller's folder, not the workers'
    frame = gd.read_tables(relative, **({} if blocksize == "default" else {"blocksize": blocksize}))
    assert frame.npartitions == partitions
    assert frame.path.cat.known and list(frame.path.cat.categories) == paths
    assert_same_frame(frame.compute(), looped(paths))
    # The columns asked for, and those a computation needs.
    assert_same_frame(gd.read_tables(relative, columns=["focal"]).compute(), looped(paths, ["focal"]))
    assert_same_frame(frame[["tilt", "path"]].compute(), looped(paths, ["tilt"]))
    # Rows trace back to their files.
    assert frame.groupby("path").pan.count().compute().to_dict() == {
        os.path.abspath(p): len(gridvane.load(p).frames) for p in paths}
    # Grids have no frames: indexed by row.
    flat = gd.read_tables(grids(str(tmp_path), 2, (3, 2))).compute()
    assert flat.index.tolist() == [0, 1, 2, 0, 1, 2] and list(flat.columns) == ["col0", "col1", "path"]
    with pytest.raises(ValueError, match="has no column 'zoom'"):
        gd.read_tables(relative, columns=["zoom"])


def test_partitions_hold_whole_files_by_bytes(client, tmp_path):
    # Binary grids of 4 columns: 64 bytes of header and 16 a row.
    rows = [1, 1, 1, 20, 1, 4, 1]  # 80, 80, 80, 384, 80, 128 and 80 bytes
    paths = []
    for i, count in enumerate(rows):
        paths.append(str(tmp_path / f"g{i}.chb"))
        gridvane.from_numpy(np.full((count, 4), i, np.float32)).save(paths[-1])
    for blocksize, partitions in ((None, rows), (200, [2, 1, 20, 1, 4, 1]), (240, [3, 20, 5, 1]),
                                  ("384 B", [3, 20, 6]), ("1 KiB", [29])):
        frame = gd.read_tables(paths, blocksize=blocksize)
        assert frame.map_partitions(len).compute().tolist() == partitions, blocksize
        assert frame.col0.compute().tolist() == [i for i, count in enumerate(rows) for _ in range(count)]
    for wrong in (0, -1, "none"):
        with pytest.raises(ValueError):
            gd.read_tables(paths, blocksize=wrong)


def test_per_file_work_without_a_shuffle(client, tmp_path):
    paths = camera_moves(str(tmp_path), 300)
    expected = looped(paths).groupby("path").tilt.agg(["mean", "max", "count"])

    def same(got):
        got = got.set_axis(got.index.astype(str)).loc[expected.index]
        assert np.allclose(got.to_numpy(np.float64), expected.to_numpy(np.float64), rtol=1e-6, atol=1e-4)

    # Every file in one partition (the default), and in about ten: groupby("path")
    # reduces within the partitions, on every Dask, while there are at most 15.
    size = sum(os.path.getsize(p) for p in paths)
    for blocksize, partitions in (("64 MiB", range(1, 2)), (size // 10 + 1, range(10, 16))):
        moves = gd.read_tables(paths, blocksize=blocksize)
        assert moves.npartitions in partitions
        by_path = moves.groupby("path", observed=True).tilt
        for reduction in (by_path.agg(["mean", "max", "count"]), by_path.mean(), by_path.max(), by_path.count()):
            assert shuffles(reduction) == []
        same(by_path.agg(["mean", "max", "count"]).compute())
    # One file a partition: newer Dask shuffles a groupby over so many, and
    # per_file does not.
    moves = gd.read_tables(paths, blocksize=None)
    if gd._expressions():  # Dask that plans data frames as expressions
        assert shuffles(moves.groupby("path", observed=True).tilt.mean()) != []  # the check sees one
    per_file = gd.per_file(moves, lambda files: files.tilt.agg(["mean", "max", "count"]))
    assert shuffles(per_file) == [] and per_file.npartitions == 300
    same(per_file.compute())


@pytest.mark.parametrize("bad, match", [
    (b"| pan tilt focal\n---\n1 | 0 x 35\n", r"bad.chan:3:7: 'x' is not a number"),
    (b"| pan tilt\n---\n1 | 0 2\n", r"bad.chan: holds columns \['pan', 'tilt'\] with frames, not those of the first"),
    (None, r"No such file or directory"),
])
@pytest.mark.parametrize("blocksize", [None, "64 MiB"])
def test_a_bad_file_among_good_ones(client, tmp_path, bad, match, blocksize):
    paths = camera_moves(str(tmp_path), 4)
    wrong = str(tmp_path / "bad.chan")
    if bad is not None:
        (tmp_path / "bad.chan").write_bytes(bad)
    mixed = paths[:2] + [wrong] + paths[2:]
    with pytest.raises((OSError, ValueError), match=match):
        gd.read_tables(mixed, blocksize=blocksize).compute()
    skipped = gd.read_tables(mixed, errors="skip", blocksize=blocksize).compute()
    assert_same_frame(skipped, looped(paths))
    # The skipped file is a category known before, and no group.
    assert list(skipped.path.cat.categories) == mixed
    assert skipped.groupby("path", observed=True).size().index.astype(str).tolist() == paths
    events = [e for _, e in client.get_events("gridvane") if e["skipped"] == wrong]
    assert events and all(("bad.chan" in e["error"]) for e in events), events


def test_skipping_when_no_file_reads(client, tmp_path):
    (good,) = camera_moves(str(tmp_path), 1)
    bad, missing = str(tmp_path / "bad.chan"), str(tmp_path / "missing.chan")
    (tmp_path / "bad.chan").write_bytes(b"| pan\n---\n1 | x\n")
    # The last file's failure, raised now, when every file fails.
    for paths, failure, match in [([missing, bad], gridvane.FormatError, r"bad.chan:3:5: 'x' is not a number"),
                                  ([bad, missing], OSError, r"No such file.*missing.chan"),
                                  ([bad, bad], gridvane.FormatError, r"bad.chan:3:5")]:
        with pytest.raises(failure, match=match):
            gd.read_tables(paths, errors="skip")
    # A file that reads makes the frame, even where a failing one is listed again last.
    assert_same_frame(gd.read_tables([bad, good, bad], errors="skip").compute(), looped([good]))
    with pytest.raises(ValueError, match=rf"^{re.escape(good)}: has no column 'zoom'"):
        gd.read_tables([missing, good], columns=["zoom"], errors="skip")


@pytest.mark.parametrize("blocksize, chunks", [(None, (1,) * 5), ("64 MiB", (5,)), (1, (1,) * 5)])
def test_stack_grids(client, tmp_path, blocksize, chunks):
    paths = grids(str(tmp_path), 5)
    stacked = gd.stack_grids(paths, blocksize=blocksize)
    assert stacked.shape == (5, 6, 9) and stacked.chunks == (chunks, (6,), (9,))
    assert np.array_equal(bits(stacked.compute()), bits(np.stack([gridvane.load(p).to_numpy() for p in paths])))
    (tmp_path / "odd").mkdir()
    odd = grids(str(tmp_path / "odd"), 1, (6, 8))
    with pytest.raises(ValueError, match=r"grid0.chb: 6 rows x 8 columns, where .*grid0.chb has 6 x 9"):
        gd.stack_grids(paths + odd)  # before any compute
    (tmp_path / "bad.chb").write_bytes(b"junk" + bytes(60))
    with pytest.raises(gridvane.FormatError, match="bad.chb:1:1"):
        gd.stack_grids(paths + [str(tmp_path / "bad.chb")])


def test_sample_chunk_by_chunk_on_tables_the_workers_keep(client, tmp_path):
    da = pytest.importorskip("dask.array")
    paths = grids(str(tmp_path), 2, (300, 200))
    rng = np.random.default_rng(3)
    u = rng.uniform(-5, 205, 200_000)
    v = rng.uniform(-5, 305, 200_000)
    su, sv = da.from_array(u, chunks=25_000), da.from_array(v, chunks=40_000)
    table = gridvane.load(paths[1])
    got = gd.sample([paths[0], table], su, sv).compute()
    assert got.dtype == np.float32 and got.shape == (2, 200_000)
    assert np.array_equal(bits(got[0]), bits(gridvane.load(paths[0]).sample(u, v)))
    assert np.array_equal(bits(got[1]), bits(table.sample(u, v)))
    # One path: the coordinates' shape, numpy coordinates broadcast.
    assert np.array_equal(bits(gd.sample(paths[0], u[:10].reshape(2, 5), 1.5).compute()),
                          bits(gridvane.load(paths[0]).sample(u[:10].reshape(2, 5), 1.5)))

    def kept(folder):
        from gridvane import _kept
        return sorted(key[0] for key in _kept._kept.tables if key[0].startswith(folder))

    # Each worker that sampled the file loaded it once and keeps it; the
    # Table travelled in the graph and is loaded by none.
    held = [names for names in client.run(kept, str(tmp_path)).values() if names]
    assert held and all(names == [paths[0]] for names in held), held
    # A file written again, of the same size, is loaded again: the workers
    # keep it by modification time too.
    gridvane.from_numpy(np.ones((300, 200), np.float32)).save(paths[0])
    assert np.array_equal(gd.sample(paths[0], su[:1000], sv[:1000]).compute(), np.ones(1000, np.float32))


def test_convert_many_files_a_task(client, tmp_path, monkeypatch):
    (tmp_path / "a").mkdir()
    sources = grids(str(tmp_path / "a"), 5) + camera_moves(str(tmp_path / "a"), 2)
    (tmp_path / "a" / "deep").mkdir()
    bad = tmp_path / "a" / "deep" / "bad.txt"
    bad.write_bytes(b"1 2\n3 8,25\n")
    monkeypatch.chdir(tmp_path)
    names = [os.path.relpath(p, tmp_path) for p in sources] + ["a/deep/bad.txt"]
    bag = gd.convert(names, "out", "binary", drop_frames=True, errors="skip", files_per_task=3)
    assert bag.npartitions == 3
    done = bag.compute()
    assert [d[0] for d in done] == [os.path.abspath(n) for n in names]
    assert done[-1] == (str(bad), str(tmp_path / "out" / "deep" / "bad.chb"),
                        f"{bad}:2:3: '8,25' has text after the number: the reader takes 8 (a decimal comma)")
    assert not os.path.exists(done[-1][1])
    for source, destination, failure in done[:-1]:
        assert failure is None and destination.startswith(str(tmp_path / "out")) and destination.endswith(".chb")
        assert np.array_equal(bits(gridvane.load(destination).to_numpy()), bits(gridvane.load(source).to_numpy()))
    with pytest.raises(gridvane.FormatError, match=r"bad.txt:2:3"):
        gd.convert(names, "out2", "ascii").compute()
    gridvane.Table(1, 1).save(tmp_path / "a" / "grid0.chan")
    for paths, match in ((["a/grid1.txt", "a/grid1.bchan"], "would both be converted to"),
                         (["a/grid1.txt", "a/./grid1.cha"], "would both be converted to"),
                         (["a/grid0.chb", "a/grid0.chan"], "which is .*grid0.chan, a file to convert"),
                         (["a/grid0.chan"], "which is .*grid0.chan, a file to convert")):
        with pytest.raises(ValueError, match=match):
            gd.convert(paths, "a", "ascii")


def test_convert_each_file_once(client, tmp_path):
    (tmp_path / "a").mkdir()
    sources = grids(str(tmp_path / "a"), 3)
    os.symlink(tmp_path / "a", tmp_path / "link")
    named = [n for p in sources for n in (p, p, str(tmp_path / "link" / os.path.basename(p)))]
    with pytest.warns(UserWarning, match="^6 repeated names skipped"):
        bag = gd.convert(named, tmp_path / "out", "ascii")
    done = bag.compute()
    assert [d[0] for d in done] == sources and all(failure is None for *_, failure in done)
    assert sorted(os.listdir(tmp_path / "out")) == ["grid0.chan", "grid1.chan", "grid2.chan"]


def test_tables_and_functions_travel_to_workers_and_back(client, tmp_path):
    (path,) = camera_moves(str(tmp_path), 1)
    cam = client.submit(gridvane.load, path).result()
    assert cam.columns == ("pan", "tilt", "focal") and np.array_equal(cam.frames, gridvane.load(path).frames)
    sampled = client.submit(lambda t: t.sample_at_frame(3.5), cam).result()
    assert np.array_equal(bits(sampled), bits(gridvane.load(path).sample_at_frame(3.5)))
    tables = client.submit(gridvane.load_many, [path, path + ".missing"]).result()
    assert tables[0].shape == cam.shape and isinstance(tables[1], FileNotFoundError)


def test_the_xarray_engine_through_its_entry_point(tmp_path):
    pytest.importorskip("xarray")
    (cam,) = camera_moves(str(tmp_path), 1)
    (grid,) = grids(str(tmp_path), 1)
    # A fresh interpreter that imports nothing of gridvane: xarray finds the
    # engine by its entry point, and by the suffix without engine=.
    script = f"""
import sys, xarray as xr
assert "gridvane" in xr.backends.list_engines(), list(xr.backends.list_engines())
ds = xr.open_dataset({cam!r}, engine="gridvane")
print(list(ds.data_vars), list(ds.coords), ds.pan.dtype)
print(list(xr.open_dataset({grid!r}).data_vars), xr.open_dataset({grid!r}).grid.dims)
"""
    env = dict(os.environ)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, cwd=str(tmp_path), env=env,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["['pan', 'tilt', 'focal'] ['frame'] float32", "['grid'] ('v', 'u')"]


def test_the_xarray_engine_reads_lazily_and_in_chunks(client, tmp_path):
    xr = pytest.importorskip("xarray")
    (cam,) = camera_moves(str(tmp_path), 1)
    (grid,) = grids(str(tmp_path), 1, (400, 300))
    expected = gridvane.load(grid).to_numpy()
    ds = xr.open_dataset(grid, engine="gridvane", chunks={"v": 160, "u": 100})
    assert ds.grid.chunks == ((160, 160, 80), (100, 100, 100))
    assert np.array_equal(bits(ds.grid.compute().values), bits(expected))  # on the cluster's workers
    lazy = xr.open_dataset(grid, engine="gridvane")
    pickled = pickle.dumps(lazy)
    assert len(pickled) < expected.nbytes // 20  # the file's name, not its samples nor an open file
    again = pickle.loads(pickled)
    assert np.array_equal(bits(again.grid[5:9, ::3].values), bits(expected[5:9, ::3]))
    assert again.grid[7, 2].values.dtype == np.float32 and again.grid[7, 2].values == expected[7, 2]
    # Lists index each axis on its own (outer indexing), as on an array in memory.
    in_memory = xr.DataArray(expected, dims=("v", "u"))
    for key in [([0, 2, 3], [1, 4]), ([5, 1], [0, 299]), (slice(None, None, -7), [4, 1, 1]), (7, [0, 5])]:
        assert np.array_equal(bits(again.grid[key].values), bits(in_memory[key].values)), key
    move = xr.open_dataset(cam, engine="gridvane", drop_variables=["tilt"])
    table = gridvane.load(cam)
    assert list(move.data_vars) == ["pan", "focal"]
    assert np.array_equal(bits(move.frame.values), bits(table.frames))
    assert np.array_equal(bits(move.focal.values), bits(table.to_numpy()[:, 2]))
    assert np.array_equal(bits(move.focal[[3, 0]].values), bits(table.to_numpy()[[3, 0], 2]))
    # The library's sampling, not xarray's interp.
    u, v = np.array([-3.0, 0.25, 7.5, 29.0]), np.array([0.5, 39.9, 12.25, 100.0])
    assert np.array_equal(bits(ds.grid.gridvane.sample(u, v)), bits(gridvane.load(grid).sample(u, v)))
    pointwise = ds.grid.gridvane.sample(xr.DataArray(u, dims="p"), xr.DataArray(v, dims="p"))
    assert pointwise.dims == ("p",) and np.array_equal(bits(pointwise.values), bits(gridvane.load(grid).sample(u, v)))
    with pytest.raises(ValueError, match="2-D DataArray"):
        move.pan.gridvane.sample(0, 0)
