#!/usr/bin/python3
"""Many small files, three ways, in one run: what Dask costs and buys on
one machine.

Converts --files small ASCII grids to the binary form with a plain loop
(gridvane.load, Table.save), with load_many on 2 threads and the saves on 2
threads, and with gridvane.dask.convert on a LocalCluster of 2 worker
processes (one thread each; 100 files a task, and one file a task); then
reads --moves camera moves, and --long-moves long ones, into one pandas data
frame with gridvane.dask.read_tables(...).compute() on the same cluster, once
for each of --blocksizes ("none": one file a partition; "default": the
package's default), against a loop of gridvane.load(...).to_pandas() and
pandas.concat; then reduces the first --shots camera moves per file (tilt's
mean, max and count) with a loop, with read_tables(...).groupby("path"),
with map_partitions and with gridvane.dask.per_file (the default
blocksize), and with groupby("path") over one file a partition
(--old-groupby, in the first repetition only). The ways alternate within each repetition, each from a
settled start (a garbage collection and half a second's pause before it,
untimed); each row gives the median and the range over repetitions, in
seconds and files a second. The cluster's start is timed apart, once.
--files 0 leaves the conversions out.

usage: PYTHONPATH=BUILD/python python3 bench/pipelines.py [--files 10000] [--moves 1000] [--long-moves 100]
                                                         [--shots 300] [--blocksizes none,default]
                                                         [--old-groupby] [--reps 3] [--dir DIR]
(the package from a build tree, or installed; Dask, distributed and pandas)
"""
import argparse
import concurrent.futures
import gc
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np


def make_files(folder, files, moves, long_moves):
    """files small grids (ASCII, 16 x 4), moves camera moves (48 frames x 6
    columns) and long_moves long ones (20,000 frames x 6)."""
    import gridvane

    rng = np.random.default_rng(1)
    grids, cameras = [], []
    for i in range(files):
        path = os.path.join(folder, "grids", f"g{i // 1000:02d}", f"grid{i:05d}.txt")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        gridvane.from_numpy(rng.uniform(-100, 100, (16, 4)).astype(np.float32)).save(path)
        grids.append(path)
    names = ["tx", "ty", "tz", "pan", "tilt", "focal"]
    longs = []
    for count, length, kept in ((moves, 48, cameras), (long_moves, 20000, longs)):
        for i in range(count):
            path = os.path.join(folder, f"moves{length}", f"shot{i:04d}.chan")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            frames = np.arange(1001, 1001 + length, dtype=np.float32)
            samples = rng.uniform(-50, 50, (length, 6)).astype(np.float32)
            gridvane.from_numpy(samples, frames=frames, columns=names).save(path)
            kept.append(path)
    return grids, cameras, longs


def destination(out, root, path):
    return os.path.join(out, os.path.splitext(os.path.relpath(path, root))[0] + ".chb")


def plain_loop(paths, root, out):
    import gridvane

    for path in paths:
        target = destination(out, root, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        gridvane.load(path).save(target)


def on_threads(paths, root, out):
    import gridvane

    tables = gridvane.load_many(paths, threads=2, errors="raise")
    for folder in {os.path.dirname(destination(out, root, p)) for p in paths}:
        os.makedirs(folder, exist_ok=True)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:  # saves run without the GIL
        list(pool.map(lambda pair: pair[1].save(destination(out, root, pair[0])), zip(paths, tables)))


def on_dask(per_task):
    def run(paths, root, out):
        import gridvane.dask as gd

        done = gd.convert(paths, out, "binary", root=root, files_per_task=per_task).compute()
        assert all(failure is None for _, _, failure in done)
    return run


def read_loop(paths):
    import gridvane
    import pandas as pd

    return pd.concat([gridvane.load(p).to_pandas() for p in paths])


def read_dask(blocksize):
    def read(paths):
        import gridvane.dask as gd

        return gd.read_tables(paths, **blocksize).compute()
    return read


def blocksize_option(text):
    """--blocksizes as read_tables' keyword arguments, by the words given."""
    sizes = {}
    for word in text.split(","):
        sizes[word] = {} if word == "default" else {"blocksize": None if word == "none" else word}
    return sizes


def reduce_loop(paths):
    import gridvane
    import pandas as pd

    rows = {}
    for path in paths:
        tilt = gridvane.load(path).to_pandas().tilt
        rows[path] = (tilt.mean(), tilt.max(), tilt.count())
    return pd.DataFrame.from_dict(rows, orient="index", columns=["mean", "max", "count"])


def reduce_groupby(blocksize):
    def reduce(paths):
        import gridvane.dask as gd

        moves = gd.read_tables(paths, **blocksize)
        return moves.groupby("path", observed=True).tilt.agg(["mean", "max", "count"]).compute()
    return reduce


# Run in the first repetition only: the newest Dask's shuffle extension
# has hung here when the same shuffle ran a third time.
OLD_GROUPBY = "the groupby over one file a partition (blocksize=None), once"


def reduce_map_partitions(paths):
    import gridvane.dask as gd

    moves = gd.read_tables(paths)
    return moves.map_partitions(lambda d: d.groupby("path", observed=True).tilt.agg(["mean", "max", "count"])).compute()


def reduce_per_file(paths):
    import gridvane.dask as gd

    return gd.per_file(gd.read_tables(paths), lambda files: files.tilt.agg(["mean", "max", "count"])).compute()


def settle():
    """Lets the work of the way before (the cluster freeing its results) end before the next is timed."""
    gc.collect()
    time.sleep(0.5)


def row(name, times, count, unit):
    low, mid, high = min(times), statistics.median(times), max(times)
    print(f"| {name} | {mid:.2f} ({low:.2f}-{high:.2f}) | {count / mid:,.0f} ({count / high:,.0f}-{count / low:,.0f}) "
          f"{unit}/s |", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=10000)
    parser.add_argument("--moves", type=int, default=1000)
    parser.add_argument("--long-moves", type=int, default=100)
    parser.add_argument("--shots", type=int, default=300)
    parser.add_argument("--blocksizes", type=blocksize_option, default=blocksize_option("none,default"),
                        help="comma-separated: none (one file a partition), default, or sizes such as 16MiB")
    parser.add_argument("--old-groupby", action="store_true",
                        help="groupby('path') over one file a partition too (slow: a shuffle on newer Dask)")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--dir", default=None, help="where the files go (a fresh folder in TMPDIR by default)")
    args = parser.parse_args()

    import dask
    import distributed
    import gridvane
    import pandas as pd

    print(f"gridvane {gridvane.__version__}, dask {dask.__version__}, distributed {distributed.__version__}, "
          f"pandas {pd.__version__}, numpy {np.__version__}, Python {sys.version.split()[0]}, "
          f"{os.cpu_count()} cores", flush=True)
    top = tempfile.mkdtemp(prefix="gridvane-pipelines-", dir=args.dir)
    try:
        started = time.perf_counter()
        grids, cameras, longs = make_files(top, args.files, args.moves, args.long_moves)
        print(f"made {len(grids)} grids, {len(cameras)} camera moves and {len(longs)} long ones in "
              f"{time.perf_counter() - started:.1f} s", flush=True)
        root = os.path.join(top, "grids")
        started = time.perf_counter()
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0")
        client = distributed.Client(cluster)
        client.run(lambda: __import__("gridvane.dask"))
        print(f"the 2-worker LocalCluster started (gridvane imported) in {time.perf_counter() - started:.1f} s",
              flush=True)

        converts = {"plain loop (load, save)": plain_loop, "load_many on 2 threads, saves on 2 threads": on_threads,
                    "gridvane.dask.convert, 2 workers, 100 files a task": on_dask(100),
                    "gridvane.dask.convert, 2 workers, 1 file a task": on_dask(1)}
        if not args.files:
            converts = {}
        reads = {"loop of load().to_pandas(), pandas.concat": read_loop}
        for word, blocksize in args.blocksizes.items():
            label = {"none": "blocksize=None, one file a partition", "default": "the default blocksize"}.get(
                word, f"blocksize={word!r}")
            reads[f"gridvane.dask.read_tables({label}).compute(), 2 workers"] = read_dask(blocksize)
        reduces = {"loop of load().to_pandas(), tilt's mean, max and count": reduce_loop,
                   "read_tables().groupby('path', observed=True).tilt.agg(...)": reduce_groupby({}),
                   "read_tables().map_partitions(lambda d: d.groupby(...).tilt.agg(...))": reduce_map_partitions,
                   "gridvane.dask.per_file(read_tables(), lambda files: files.tilt.agg(...))": reduce_per_file}
        if args.old_groupby:
            reduces[OLD_GROUPBY] = reduce_groupby({"blocksize": None})
        shots = cameras[:args.shots]
        times = {name: [] for name in list(converts) + list(reads) + list(reduces)}
        long_times = {name: [] for name in reads}
        for rep in range(args.reps):
            for name, convert in converts.items():
                out = os.path.join(top, "out")
                shutil.rmtree(out, ignore_errors=True)
                settle()
                started = time.perf_counter()
                convert(grids, root, out)
                times[name].append(time.perf_counter() - started)
            for files, kept in ((cameras, times), (longs, long_times)):
                expected = None
                for name, read in reads.items():
                    settle()
                    started = time.perf_counter()
                    frame = read(files)
                    kept[name].append(time.perf_counter() - started)
                    values = frame[["tx", "ty", "tz", "pan", "tilt", "focal"]].to_numpy()
                    assert expected is None or np.array_equal(values, expected), name
                    expected = values
            expected = None
            for name, reduce in reduces.items():
                if name == OLD_GROUPBY and rep > 0:
                    continue
                settle()
                started = time.perf_counter()
                result = reduce(shots)
                times[name].append(time.perf_counter() - started)
                result = result.set_axis(result.index.astype(str)).sort_index()
                assert expected is None or np.allclose(result.to_numpy(np.float64), expected, atol=1e-3), name
                expected = result.to_numpy(np.float64)
            print(f"repetition {rep + 1} of {args.reps} done", flush=True)
        if converts:
            print(f"\n| converting {args.files} grids (16 x 4, ASCII to binary) | seconds, median (range) | files |")
            print("|---|---|---|")
        for name in converts:
            row(name, times[name], args.files, "files")
        print(f"\n| reading {args.moves} camera moves (48 frames x 6) into one data frame | seconds, median (range) "
              f"| files |")
        print("|---|---|---|")
        for name in reads:
            row(name, times[name], args.moves, "files")
        print(f"\n| reading {args.long_moves} long camera moves (20,000 frames x 6) into one data frame | seconds, "
              f"median (range) | files |")
        print("|---|---|---|")
        for name in reads:
            row(name, long_times[name], args.long_moves, "files")
        print(f"\n| reducing {len(shots)} camera moves (48 frames x 6) per file | seconds, median (range) | files |")
        print("|---|---|---|")
        for name in reduces:
            row(name, times[name], len(shots), "files")
        client.close()
        cluster.close()
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == "__main__":
    main()
