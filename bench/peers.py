#!/usr/bin/python3
"""Gridvane beside the tools people use today, on the same files, in one run.

Loads and saves go through the built library with ctypes; the sampling row
comes from the C++ benchmark (one call per point, as a host makes them). The
Python package's rows (load into a numpy array, vectorised sampling) use the
package from the same build, when it was built.
Tools alternate within each repetition; every figure is a median.

R's data.table (fread, fwrite) runs through Rscript; each of its figures is
the time of the call alone, measured inside R. DuckDB's read_csv and Polars'
read_csv run in this process, from the package index (bench/requirements.txt,
installed into build/peers-venv on first use, beside the system's packages;
the script runs itself again there). Rows whose tool cannot be had are left
out, with one line saying why.

usage: /usr/bin/python3 bench/peers.py [--build build/default] [--reps 5] [--rows 1000000] [--package-only]
                                       [--no-r] [--no-peers] [--text-loads-only]
"""
import argparse
import ctypes
import functools
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

NEEDED = {"numpy": "python3-numpy", "pandas": "python3-pandas", "scipy": "python3-scipy"}


def ensure_modules():
    missing = []
    for module, package in NEEDED.items():
        try:
            __import__(module)
        except ImportError:
            missing.append(package)
    if missing:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], check=True)


ensure_modules()
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from scipy import interpolate, ndimage  # noqa: E402

# ---- R's data.table (fread, fwrite), beside the rows above ----------------

R_PACKAGES = ["r-base-core", "r-cran-data.table"]


def ensure_r():
    """Installs R and data.table from Debian's packages when either is missing."""
    have = shutil.which("Rscript") is not None and subprocess.run(
        ["Rscript", "-e", "library(data.table)"], capture_output=True).returncode == 0
    if not have:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", *R_PACKAGES], check=True)


class SelfTimed:
    """A tool that times itself (the R rows time only the call inside R, not
    R's start-up): calling it returns seconds."""

    def __init__(self, fn):
        self.fn = fn

    def __call__(self):
        return self.fn()


def measure(fn):
    return fn() if isinstance(fn, SelfTimed) else timed(fn)


def r_call(setup, call, threads):
    """Seconds R spends in `call` after `setup`, with `threads` data.table
    threads (0: all cores), measured inside R around the call alone."""
    code = "\n".join(["suppressMessages(library(data.table))", f"invisible(setDTthreads({threads}))", setup,
                      "t0 <- as.numeric(Sys.time())", call, "cat(as.numeric(Sys.time()) - t0)"])
    out = subprocess.run(["Rscript", "-e", code], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


def r_string(path):
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


def fread_tools(path):
    read = f"d <- fread({r_string(path)}, header = FALSE, sep = '\\t')"
    return {f"data.table::fread, {threads_label(n)}": SelfTimed(lambda n=n: r_call("", read, n))
            for n in PEER_THREADS}


def fwrite_tools(source, out):
    setup = f"d <- fread({r_string(source)}, header = FALSE, sep = '\\t', drop = 1)"
    write = f"fwrite(d, {r_string(out)}, sep = '\\t', col.names = FALSE)"
    return {"data.table::fwrite, 1 thread": SelfTimed(lambda: r_call(setup, write, 1)),
            "data.table::fwrite, all cores": SelfTimed(lambda: r_call(setup, write, 0))}


# ---- Polars and DuckDB from the package index, in this process -----------

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS_VENV = os.path.join(HERE, "..", "build", "peers-venv")
PEER_REQUIREMENTS = os.path.join(HERE, "requirements.txt")
PEER_THREADS = (1, 2)  # the machine's 2 cores: data.table's "all cores" is 2 threads there


def threads_label(n):
    return "1 thread" if n == 1 else f"{n} threads"


def run_among_index_peers():
    """Runs this script again in build/peers-venv, a virtual environment of
    the system's packages plus Polars and DuckDB from the package index
    (pinned in bench/requirements.txt, installed on first use), unless both
    import here already. When they cannot be had, the run goes on without
    their rows, with one line saying why."""
    try:
        import duckdb  # noqa: F401
        import polars  # noqa: F401
        return
    except ImportError:
        pass
    if os.environ.get("GRIDVANE_PEERS_VENV"):
        print("note: no Polars or DuckDB rows: they do not import in build/peers-venv", flush=True)
        return
    python = os.path.join(PEERS_VENV, "bin", "python")
    stamp = os.path.join(PEERS_VENV, "installed.txt")
    if not os.path.exists(stamp) or os.path.getmtime(stamp) < os.path.getmtime(PEER_REQUIREMENTS):
        made = subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", PEERS_VENV],
                              capture_output=True, text=True)
        with open(PEER_REQUIREMENTS) as pins:  # the two it runs, not the newer numpy the others need
            wanted = [pin.strip() for pin in pins if pin.startswith(("duckdb", "polars"))]
        done = made if made.returncode else subprocess.run(
            [python, "-m", "pip", "install", "-q", *wanted], capture_output=True, text=True)
        if done.returncode != 0:
            lines = [ln for ln in done.stderr.splitlines() if ln.strip()] or [f"exit {done.returncode}"]
            print(f"note: no Polars or DuckDB rows: the package index gave no {PEER_REQUIREMENTS} "
                  f"({lines[-1].strip()})", flush=True)
            return
        shutil.copy(PEER_REQUIREMENTS, stamp)
    os.execve(python, [python, os.path.abspath(__file__), *sys.argv[1:]], dict(os.environ, GRIDVANE_PEERS_VENV="1"))


def checked(what, columns, values):
    """columns, a peer's columns by name (numpy arrays), hold the table
    `values`: its shape, all floats, no value missing, its first and last
    rows."""
    held = np.column_stack([np.ma.filled(np.ma.asarray(c).astype(np.float64), np.nan) for c in columns.values()])
    assert held.shape == values.shape, (what, held.shape)
    assert all(np.asarray(c).dtype.kind == "f" for c in columns.values()), (what, "types")
    assert not np.isnan(held).any(), (what, "missing values")
    for row, expected in ((held[0], values[0]), (held[-1], values[-1])):
        assert np.allclose(row.astype(np.float32), expected, rtol=1e-6, atol=0), (what, row, expected)


def index_tools(path, values):
    """Polars' read_csv (its own pool) and DuckDB's read_csv (1 and 2
    threads) of the table at path, holding `values`, each checked once;
    none when they cannot be had. Both are told the first column (empty:
    each line starts with a tab) is text and the rest 32-bit floats, and
    keep the floats; DuckDB's figure is the making of a table in DuckDB."""
    try:
        import duckdb
        import polars as pl
    except ImportError:
        return {}
    cols = values.shape[1]
    names = [f"column_{i + 1}" for i in range(cols + 1)]
    options = dict(separator="\t", has_header=False, schema={n: pl.Utf8 if i == 0 else pl.Float32
                                                              for i, n in enumerate(names)}, columns=names[1:])
    polars_label = f"Polars read_csv, {threads_label(pl.thread_pool_size())}"
    frame = pl.read_csv(path, **options)
    checked(polars_label, {c: frame[c].to_numpy() for c in frame.columns}, values)
    found = {polars_label: lambda: pl.read_csv(path, **options)}
    floats = [f"c{i + 1}" for i in range(cols)]
    types = ", ".join(["'c0': 'VARCHAR'", *(f"'{n}': 'FLOAT'" for n in floats)])
    literal = "'" + path.replace("'", "''") + "'"
    make = (f"create or replace table t as select {', '.join(floats)} from read_csv({literal}, delim = '\\t', "
            f"header = false, auto_detect = false, columns = {{{types}}})")
    for n in PEER_THREADS:
        con = duckdb.connect(config={"threads": n})
        con.execute(make)
        checked(f"DuckDB, {n}", con.sql("select * from t").fetchnumpy(), values)
        found[f"DuckDB read_csv, {threads_label(n)}"] = lambda con=con: con.execute(make)
    return found


def mixed_table(rng, rows, cols):
    """Values as tables people keep hold them: N(0,1) times 10^k, k uniform
    in -5..5 for each value, and about 5 % whole numbers."""
    values = rng.standard_normal((rows, cols)) * 10.0 ** rng.integers(-5, 6, (rows, cols))
    whole = rng.random((rows, cols)) < 0.05
    values[whole] = np.round(rng.standard_normal(whole.sum()) * 1000)
    return values.astype(np.float32)


def gridvane_text(gv, table, path):
    """Writes the table with Gridvane's own writer (ArraySave)."""
    rows, cols = table.shape
    handle = gv.ArrayAlloc(rows, cols)
    pointers = gv.ArrayGetArray(handle)
    table = np.ascontiguousarray(table, dtype=np.float32)
    for r in range(rows):
        ctypes.memmove(pointers[r], table[r].ctypes.data, cols * 4)
    assert gv.ArraySave(handle, path.encode(), 768) == 0
    gv.ArrayFree(handle)


def chan_write_ascii(gv, text, out):
    """ChanWriteAscii of a loaded table to a stream the caller opened."""
    libc = ctypes.CDLL(None)
    libc.fopen.restype = ctypes.c_void_p
    libc.fopen.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    libc.fclose.argtypes = [ctypes.c_void_p]
    handle = gv.ArrayLoad(text.encode())

    def run():
        stream = libc.fopen(out.encode(), b"wb")
        assert gv.ChanWriteAscii(stream, gv.ArrayGetArray(handle), COLS, ROWS) == 0
        libc.fclose(stream)
    return run


def gridvane_load_alone(gv, path):
    """ArrayLoad timed alone, as the R rows time fread alone: the table is
    freed after the clock stops."""
    def run():
        start = time.perf_counter()
        handle = gv.ArrayLoad(path.encode())
        seconds = time.perf_counter() - start
        assert handle > 0
        gv.ArrayFree(handle)
        return seconds
    return SelfTimed(run)


def gridvane_parts_alone(gv, path, threads):
    """A load in parts on threads (ctypes lets go of the GIL in each call),
    timed as ArrayLoad is: from the plan to the finish, without the free."""
    def run():
        start = time.perf_counter()
        plan = gv.gridvane_plan_open(path.encode(), 0, threads, None, None, None)
        assert plan
        helpers = [threading.Thread(target=gv.gridvane_plan_read, args=(plan, k, None))
                   for k in range(1, gv.gridvane_plan_parts(plan))]
        for helper in helpers:
            helper.start()
        if gv.gridvane_plan_parts(plan) > 0:
            gv.gridvane_plan_read(plan, 0, None)
        for helper in helpers:
            helper.join()
        handle = gv.gridvane_plan_finish(plan, None)
        seconds = time.perf_counter() - start
        assert handle > 0
        gv.ArrayFree(handle)
        return seconds
    return SelfTimed(run)


def text_load_rows(gv, work, rng, text, table, with_r=True, with_peers=True):
    """The rows that compare Gridvane's ASCII load with fread, Polars and
    DuckDB (each timed around the call alone; Gridvane's without the free),
    on the uniform table and on one of mixed magnitudes written by Gridvane."""
    mixed_values = mixed_table(rng, ROWS, COLS)
    mixed = os.path.join(work, "mixed.txt")
    gridvane_text(gv, mixed_values, mixed)
    if with_r:
        ensure_r()

    def tools(path, values):
        found = {"Gridvane ArrayLoad": gridvane_load_alone(gv, path),
                 "Gridvane in parts, 2 threads": gridvane_parts_alone(gv, path, 2)}
        found.update(fread_tools(path) if with_r else {})
        found.update(index_tools(path, values) if with_peers else {})
        return found
    rows = [(f"ASCII load {ROWS:,} x {COLS}, uniform", os.path.getsize(text), tools(text, table)),
            (f"ASCII load {ROWS:,} x {COLS}, mixed magnitudes", os.path.getsize(mixed), tools(mixed, mixed_values))]
    return [row for row in rows if any(not t.startswith("Gridvane") for t in row[2])]  # a row needs a peer


def data_table_rows(gv, work, text, binary, gv_load, gv_save):
    """The rows that compare Gridvane's save with fwrite, and a binary load
    under a name the tools library does not know."""
    ensure_r()
    unknown = os.path.join(work, "table.dat")
    shutil.copyfile(binary, unknown)
    out_r, out_gv, out_chan = (os.path.join(work, n) for n in ("r.txt", "gv-dt.txt", "chan.txt"))
    return [
        (f"ASCII save {ROWS:,} x {COLS}, uniform", os.path.getsize(text),
         {"Gridvane ArraySave": gv_save(text, out_gv, 768),
          "Gridvane ChanWriteAscii to a stream": chan_write_ascii(gv, text, out_chan),
          **fwrite_tools(text, out_r)}),
        ("binary load 8,000 x 1,000, name decided by content", os.path.getsize(unknown),
         {"numpy.fromfile": lambda: np.fromfile(unknown, dtype="<f4", offset=64),
          "Gridvane ArrayLoad": gv_load(unknown)}),
    ]


ROWS, COLS = 1_000_000, 8
BIN_ROWS, BIN_COLS = 8_000, 1_000
POINTS = 1 << 16
MANY_FILES, MANY_ROWS, MANY_COLS = 2_000, 500, 7
BROADCAST_SIDE = 8_000
SCATTERED_POINTS = 3_000_000
SAMPLE_CALLS = 20


def library(build):
    lib = ctypes.CDLL(os.path.join(build, "bin", "libgridvane.so"))
    lib.ArrayLoad.argtypes = [ctypes.c_char_p]
    lib.ArrayLoad.restype = ctypes.c_int32
    lib.ArraySave.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32]
    lib.ArraySave.restype = ctypes.c_int32
    lib.ArrayFree.argtypes = [ctypes.c_int32]
    lib.ArrayAlloc.argtypes = [ctypes.c_int32, ctypes.c_int32]
    lib.ArrayAlloc.restype = ctypes.c_int32
    lib.ArrayGetArray.argtypes = [ctypes.c_int32]
    lib.ArrayGetArray.restype = ctypes.POINTER(ctypes.c_void_p)
    lib.ChanWriteAscii.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_int32, ctypes.c_int32]
    lib.ChanWriteAscii.restype = ctypes.c_int32
    # The load in parts: plan, parts on threads of ours, finish.
    lib.gridvane_plan_open.argtypes = [ctypes.c_char_p, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p,
                                       ctypes.c_void_p, ctypes.c_void_p]
    lib.gridvane_plan_open.restype = ctypes.c_void_p
    lib.gridvane_plan_parts.argtypes = [ctypes.c_void_p]
    lib.gridvane_plan_parts.restype = ctypes.c_int32
    lib.gridvane_plan_read.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p]
    lib.gridvane_plan_read.restype = ctypes.c_int32
    lib.gridvane_plan_finish.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    lib.gridvane_plan_finish.restype = ctypes.c_int32
    return lib


def python_package(build):
    """The gridvane package from the build tree, or None when it was not built."""
    sys.path.insert(0, os.path.join(build, "python"))
    try:
        import gridvane
    except ImportError:
        return None
    return gridvane


def header(rows, cols):
    return b"chan" + b"\0" * 4 + np.array([cols, rows], "<i2").tobytes() + b"\0" * 52


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def peak_memory(build, setup, work):
    """Peak resident growth of a child that runs work after setup, in MB.

    The child reads its own high-water mark (VmHWM): ru_maxrss would start
    from this process's size, which Linux hands down through fork and exec.
    The mark is brought down to what the child holds once setup is done
    (clear_refs), so that what setup held for a moment does not hide work's
    peak."""
    code = f"""
import re
def status(field):
    with open('/proc/self/status') as status_file:
        return int(re.search(field + r':\\s+(\\d+)', status_file.read()).group(1))
{setup}
with open('/proc/self/clear_refs', 'w') as refs:
    refs.write('5')
before = status('VmHWM')
{work}
print((status('VmHWM') - before) / 1024)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, GV_BUILD=build))
    return float(out.stdout.strip())


def cpp_medians(build, pattern, reps):
    """Medians of the C++ benchmarks matching pattern, in ms by run name;
    empty when the benchmark was not built."""
    bench = os.path.join(build, "bin", "gridvane_bench")
    if not os.path.exists(bench):
        return {}
    out = subprocess.run([bench, f"--benchmark_filter={pattern}", "--benchmark_format=json",
                          f"--benchmark_repetitions={reps}", "--benchmark_report_aggregates_only=true"],
                         capture_output=True, text=True, check=True)
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1, "s": 1e3}
    return {b["run_name"].split("/min_time")[0]: b["real_time"] * scale[b["time_unit"]]
            for b in json.loads(out.stdout)["benchmarks"] if b.get("aggregate_name") == "median"}


def measure_rows(rows, reps):
    """Medians by tool of each row's tools, which alternate within each
    repetition."""
    results = []
    for name, size, tools in rows:
        times = {tool: [] for tool in tools}
        for rep in range(reps):
            order = list(tools.items())
            if rep % 2:
                order.reverse()
            for tool, fn in order:
                times[tool].append(measure(fn))
        results.append((name, size, {tool: median(t) for tool, t in times.items()}))
    return results


def print_rows(results):
    print("| work | tool | median | throughput | vs best peer |")
    print("|---|---|---|---|---|")
    for name, size, medians in results:
        peers = {t: m for t, m in medians.items() if not t.lower().startswith("gridvane")}
        best = min(peers.values())
        for tool, m in medians.items():
            print(f"| {name} | {tool} | {m * 1e3:.1f} ms | {size / m / 1e6:.0f} MB/s | {best / m:.2f}x |")


def text_loads_only(args, gv, work, rng, text, table):
    """--text-loads-only: the ASCII loads beside fread, Polars and DuckDB alone."""
    start = time.perf_counter()
    rows = text_load_rows(gv, work, rng, text, table, with_r=not args.no_r, with_peers=not args.no_peers)
    if not rows:
        print("no peer to compare Gridvane's ASCII load with")
        return shutil.rmtree(work)
    results = measure_rows(rows, args.reps)
    print(f"# Gridvane's ASCII load beside fread, Polars and DuckDB, {ROWS:,} x {COLS}; medians of {args.reps}\n")
    print_rows(results)
    print(f"\nthese rows took {time.perf_counter() - start:.0f} s, writing the mixed table included")
    shutil.rmtree(work)


def alternating(tools, reps):
    """Seconds of each tool in each repetition, the tools alternating."""
    times = {tool: [] for tool in tools}
    for rep in range(reps):
        for tool, fn in (list(tools.items())[::-1] if rep % 2 else tools.items()):
            times[tool].append(timed(fn))
    return times


def sampling_against_scipy(gvpy, rng, reps):
    """Table.sample against scipy.ndimage.map_coordinates(order=1) on the
    same random float64 points over a 1000 x 1000 table; a line to print."""
    grid = rng.uniform(-1, 1, (1000, 1000)).astype(np.float32)
    table = gvpy.from_numpy(grid)
    n = SCATTERED_POINTS
    u, v = rng.uniform(0, 999, n), rng.uniform(0, 999, n)
    # The same points as Gridvane sees them (rounded to float32) agree to float32's rounding.
    rounded = [np.float64(v.astype(np.float32)), np.float64(u.astype(np.float32))]
    assert np.allclose(table.sample(u, v), ndimage.map_coordinates(grid, rounded, order=1), rtol=0, atol=1e-5), \
        "the two samplings disagree"
    times = alternating({"gridvane": lambda: table.sample(u, v),
                         "scipy": lambda: ndimage.map_coordinates(grid, [v, u], order=1)}, reps)
    ratios = [b / a for a, b in zip(times["gridvane"], times["scipy"])]
    ns = {tool: median(t) * 1e9 / n for tool, t in times.items()}
    return (f"\nsampling {n:,} random float64 points over 1000 x 1000: Table.sample {ns['gridvane']:.1f} ns/point, "
            f"scipy.ndimage.map_coordinates(order=1) {ns['scipy']:.1f} ns/point: {median(ratios):.1f}x "
            f"(per repetition {min(ratios):.1f}x to {max(ratios):.1f}x)")


def arrow_rows(build, gvpy, big, reps):
    """A table to Polars and back through Arrow's interface: medians, and the
    peak memory each way against the table's storage; lines to print."""
    try:
        import polars as pl
    except ImportError:
        return "\nno Arrow rows: Polars does not import here"
    rows, cols = big.shape
    storage_mb = (rows * 8 + rows * cols * 4) / 1024 / 1024  # the row index and the samples
    frame = pl.DataFrame(big)
    times = alternating({"polars.DataFrame(table)": lambda: pl.DataFrame(big),
                         "gridvane.from_arrow(polars frame)": lambda: gvpy.from_arrow(frame),
                         "to_numpy() + polars.DataFrame": lambda: pl.DataFrame(big.to_numpy())}, reps)
    make = ("import os, sys, numpy as np, polars as pl; sys.path.insert(0, os.path.join(os.environ['GV_BUILD'], "
            f"'python')); import gridvane; a = np.random.default_rng(1).uniform(-1, 1, ({rows}, {cols}))"
            ".astype(np.float32); t = gridvane.from_numpy(a); del a")
    out_growth = peak_memory(build, make, "f = pl.DataFrame(t)")
    in_growth = peak_memory(build, make + "; f = pl.DataFrame(t); t.close()", "u = gridvane.from_arrow(f)")
    lines = [f"\n| Arrow, {rows:,} x {cols} | median | peak memory growth |", "|---|---|---|"]
    growth = {"polars.DataFrame(table)": out_growth, "gridvane.from_arrow(polars frame)": in_growth}
    for tool, t in times.items():
        grown = f"{growth[tool]:.0f} MB ({growth[tool] / storage_mb:.2f}x the table's storage)" if tool in growth else ""
        lines.append(f"| {tool} | {median(t) * 1e3:.1f} ms | {grown} |")
    return "\n".join(lines)


def package_rows(build, gvpy, work, reps):
    """The Python package's own work, beside what a user would write instead:
    many files at once, a DataFrame, broadcast sampling's memory."""
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(7)
    folder = os.path.join(work, "many")
    os.makedirs(folder)
    paths = []
    for i in range(MANY_FILES):
        path = os.path.join(folder, f"t{i}.chan")
        np.savetxt(path, rng.uniform(-1000, 1000, (MANY_ROWS, MANY_COLS)).astype(np.float32), fmt="\t%.15g",
                   delimiter="", newline="\n")
        paths.append(path)

    def pool_loop():
        with ThreadPoolExecutor(2) as pool:
            return list(pool.map(gvpy.load, paths))

    many = {"gridvane.load_many(threads=1)": lambda: gvpy.load_many(paths, threads=1),
            "gridvane.load_many(threads=2)": lambda: gvpy.load_many(paths, threads=2),
            "ThreadPoolExecutor(2) over gridvane.load": pool_loop}
    big = gvpy.from_numpy(rng.uniform(-1000, 1000, (ROWS, COLS)).astype(np.float32))
    frames = {"to_numpy() + pandas.DataFrame": lambda: pd.DataFrame(big.to_numpy()),
              "Table.to_pandas()": big.to_pandas}
    medians, many_times = {}, None
    for group in (many, frames):
        times = alternating(group, reps)
        many_times = many_times or times
        medians.update({tool: median(t) for tool, t in times.items()})

    n = BROADCAST_SIDE
    setup = ("import os, sys, numpy as np; sys.path.insert(0, os.path.join(os.environ['GV_BUILD'], 'python')); "
             "import gridvane; t = gridvane.from_numpy(np.random.default_rng(1).uniform(-1, 1, (1000, 1000))); "
             f"u = np.linspace(0, 999, {n})[None, :]; v = np.linspace(0, 999, {n}, dtype=np.float32)[:, None]")
    grown = peak_memory(build, setup, "s = t.sample(u, v)")
    result_mb = n * n * 4 / 1024 / 1024
    side = {"broadcast (1, n) x (n, 1)": None, "flat arrays of n * n points": None}
    u = np.linspace(0, 999, n)[None, :]
    v = np.linspace(0, 999, n, dtype=np.float32)[:, None]
    table = gvpy.from_numpy(rng.uniform(-1, 1, (1000, 1000)).astype(np.float32))
    side["broadcast (1, n) x (n, 1)"] = median([timed(lambda: table.sample(u, v)) for _ in range(reps)])
    fu, fv = np.broadcast_arrays(u.astype(np.float32), v)
    fu, fv = np.ascontiguousarray(fu).ravel(), np.ascontiguousarray(fv).ravel()
    side["flat arrays of n * n points"] = median([timed(lambda: table.sample(fu, fv)) for _ in range(reps)])
    del fu, fv

    sampling = sampling_against_scipy(gvpy, rng, reps)
    arrow = arrow_rows(build, gvpy, big, reps)

    one = medians["gridvane.load_many(threads=1)"]
    print(f"\n# The Python package: {MANY_FILES:,} files of {MANY_ROWS} x {MANY_COLS}, a table of {ROWS:,} x {COLS}, "
          f"broadcast sampling of {n:,} x {n:,}; medians of {reps}\n")
    print("| work | tool | median | load_many(threads=2) is |")
    print("|---|---|---|---|")
    two = medians["gridvane.load_many(threads=2)"]
    for tool in many:
        print(f"| load {MANY_FILES:,} files | {tool} | {medians[tool] * 1e3:.0f} ms | {medians[tool] / two:.2f}x faster |")
    ratios = [a / b for a, b in zip(many_times["gridvane.load_many(threads=1)"],
                                    many_times["gridvane.load_many(threads=2)"])]
    print(f"\nload_many: 2 threads against 1: {one / two:.2f}x (per repetition {min(ratios):.2f}x to {max(ratios):.2f}x)")
    print(sampling)
    print(arrow)
    print("\n| work | tool | median | vs to_numpy() + DataFrame |")
    print("|---|---|---|---|")
    base = medians["to_numpy() + pandas.DataFrame"]
    for tool in frames:
        print(f"| DataFrame of {ROWS:,} x {COLS} | {tool} | {medians[tool] * 1e3:.1f} ms | {medians[tool] / base:.2f}x |")
    print(f"\nbroadcast sampling of {n:,} x {n:,}: peak memory growth {grown:.0f} MB for a result of "
          f"{result_mb:.0f} MB ({grown / result_mb:.2f}x)")
    for what, seconds in side.items():
        print(f"| sample, {what} | {seconds * 1e9 / (n * n):.1f} ns/point |")


def main():
    global ROWS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--rows", type=int, default=ROWS, help="rows of the text tables (8 columns)")
    parser.add_argument("--no-r", action="store_true", help="leave out the data.table rows")
    parser.add_argument("--no-peers", action="store_true", help="leave out the Polars and DuckDB rows")
    parser.add_argument("--text-loads-only", action="store_true",
                        help="only the ASCII loads beside fread, Polars and DuckDB")
    parser.add_argument("--package-only", action="store_true",
                        help="only the Python package's rows: load_many, to_pandas, sampling, Arrow")
    args = parser.parse_args()
    ROWS = args.rows
    if not args.no_peers:
        run_among_index_peers()
    build = os.path.abspath(args.build)
    gv = library(build)
    gvpy = python_package(build)
    work = tempfile.mkdtemp(prefix="gridvane-peers-")
    rng = np.random.default_rng(1)
    table = rng.uniform(-1000, 1000, (ROWS, COLS)).astype(np.float32)
    grid = rng.uniform(-1000, 1000, (BIN_ROWS, BIN_COLS)).astype(np.float32)

    if args.package_only:
        if gvpy is None:
            sys.exit(f"peers.py: the Python package was not built in {build}")
        package_rows(build, gvpy, work, args.reps)
        shutil.rmtree(work)
        return
    text = os.path.join(work, "table.txt")
    np.savetxt(text, table, fmt="\t%.15g", delimiter="", newline="\n")
    if args.text_loads_only:
        return text_loads_only(args, gv, work, rng, text, table)
    binary = os.path.join(work, "table.chb")
    with open(binary, "wb") as f:
        f.write(header(BIN_ROWS, BIN_COLS))
        grid.astype("<f4").tofile(f)
    text_bytes, bin_bytes = os.path.getsize(text), os.path.getsize(binary)
    storage = ROWS * 8 + ROWS * COLS * 4  # the row index and the samples themselves

    def gv_load(path):
        def run():
            handle = gv.ArrayLoad(path.encode())
            assert handle > 0
            gv.ArrayFree(handle)
        return run

    def gv_save(path, out, code):
        handle = gv.ArrayLoad(path.encode())
        def run():
            assert gv.ArraySave(handle, out.encode(), code) == 0
        return run

    loaded = np.loadtxt(text, dtype=np.float32)
    assert np.array_equal(loaded, table)
    out_np, out_gv = os.path.join(work, "np.txt"), os.path.join(work, "gv.txt")
    out_np_bin, out_gv_bin = os.path.join(work, "np.chb"), os.path.join(work, "gv.chb")

    def np_save_bin(path=out_np_bin):
        with open(path, "wb") as f:
            f.write(header(BIN_ROWS, BIN_COLS))
            grid.tofile(f)

    def fresh(path, save):
        """Saves to a name that does not exist yet: no old file to replace."""
        def run():
            if os.path.exists(path):
                os.remove(path)
            save()
        return run

    def flushed(path, save):
        """A save followed by what ArraySave promises: the file's data and the
        folder's names on the disk."""
        def run():
            save()
            for target in (path, os.path.dirname(path)):
                fd = os.open(target, os.O_RDONLY)
                os.fsync(fd)
                os.close(fd)
        return run

    def np_save_text():
        np.savetxt(out_np, table, fmt="\t%.15g", delimiter="", newline="\n")

    rows = [
        (f"ASCII load {ROWS:,} x {COLS}", text_bytes, {
            "numpy.loadtxt": lambda: np.loadtxt(text, dtype=np.float32),
            "pandas.read_csv": lambda: pd.read_csv(text, sep=r"\s+", header=None, dtype=np.float32, engine="c"),
            "Gridvane ArrayLoad": gv_load(text)}),
        (f"ASCII save {ROWS:,} x {COLS}, flushed to the disk", text_bytes, {
            "numpy.savetxt + fsync": flushed(out_np, np_save_text),
            "Gridvane ArraySave": gv_save(text, out_gv, 768)}),
        (f"ASCII save {ROWS:,} x {COLS}, not flushed (reference)", text_bytes, {
            "numpy.savetxt": np_save_text}),
        ("binary load 8,000 x 1,000", bin_bytes, {
            "numpy.fromfile": lambda: np.fromfile(binary, dtype="<f4", offset=64),
            "Gridvane ArrayLoad": gv_load(binary)}),
        ("binary save 8,000 x 1,000 over an existing file, flushed to the disk", bin_bytes, {
            "ndarray.tofile + fsync": flushed(out_np_bin, np_save_bin),
            "Gridvane ArraySave": gv_save(binary, out_gv_bin, 512)}),
        ("binary save 8,000 x 1,000 to a new file, flushed to the disk", bin_bytes, {
            "ndarray.tofile + fsync": fresh(out_np_bin, flushed(out_np_bin, np_save_bin)),
            "Gridvane ArraySave": fresh(out_gv_bin, gv_save(binary, out_gv_bin, 512))}),
        ("binary save 8,000 x 1,000 over an existing file, not flushed (reference)", bin_bytes, {
            "ndarray.tofile": np_save_bin}),
    ]
    if not (args.no_r and args.no_peers):
        rows += text_load_rows(gv, work, rng, text, table, with_r=not args.no_r, with_peers=not args.no_peers)
    if not args.no_r:
        rows += data_table_rows(gv, work, text, binary, gv_load, gv_save)

    if gvpy is not None:
        def gvpy_to_numpy():
            with gvpy.load(text) as t:
                return t.to_numpy()

        assert np.array_equal(gvpy_to_numpy(), table)
        rows.insert(1, (f"ASCII load into a numpy array {ROWS:,} x {COLS}", text_bytes, {
            "numpy.loadtxt": lambda: np.loadtxt(text, dtype=np.float32),
            "pandas.read_csv().to_numpy()": lambda: pd.read_csv(text, sep=r"\s+", header=None, dtype=np.float32,
                                                                engine="c").to_numpy(),
            "gridvane.load().to_numpy()": gvpy_to_numpy}))

    results = measure_rows(rows, args.reps)

    with open(out_np, "rb") as a, open(out_gv, "rb") as b:
        identical = a.read() == b.read()

    # Sampling: scipy vectorised over all points, Gridvane one call per point
    # from the C++ benchmark (same grid size, random points).
    big = rng.uniform(-1, 1, (1000, 1000)).astype(np.float32)
    us, vs = rng.uniform(0, 999, POINTS), rng.uniform(0, 999, POINTS)
    rgi = interpolate.RegularGridInterpolator((np.arange(1000), np.arange(1000)), big)
    pts = np.stack([vs, us], axis=1)
    samplers = {
        "scipy map_coordinates (vectorised)": lambda: ndimage.map_coordinates(big, [vs, us], order=1),
        "scipy RegularGridInterpolator (vectorised)": lambda: rgi(pts),
    }
    if gvpy is not None:
        big_table = gvpy.from_numpy(big)
        assert np.allclose(big_table.sample(us, vs), ndimage.map_coordinates(big, [vs, us], order=1), atol=1e-3)
        samplers["Gridvane Table.sample (vectorised, Python)"] = lambda: big_table.sample(us, vs)
    # Alternating within each repetition, as the file rows do; each figure
    # times SAMPLE_CALLS calls in a row, since one call takes milliseconds.
    sample_times = {tool: [] for tool in samplers}
    for rep in range(args.reps):
        for tool, fn in (list(samplers.items())[::-1] if rep % 2 else samplers.items()):
            sample_times[tool].append(timed(lambda: [fn() for _ in range(SAMPLE_CALLS)]) / SAMPLE_CALLS)
    sample_ns = {tool: median(t) / POINTS * 1e9 for tool, t in sample_times.items()}
    sample_ns["scipy RegularGridInterpolator (one call)"] = median(
        [timed(lambda: rgi(pts[:1])) for _ in range(args.reps)]) * 1e9
    # (run, label, points per iteration): the batch sampler takes 65,536 a call.
    labels = {"sample/0": ("Gridvane ArrayGetValue, 1 table (one call per point)", 1),
              "sample/100000": ("Gridvane ArrayGetValue, 100,001 tables (one call per point)", 1),
              "sample_many/0": ("Gridvane gridvane_sample_many, SSE2 (65,536 points per call)", 1 << 16),
              "sample_many/1": ("Gridvane gridvane_sample_many, AVX2 (65,536 points per call)", 1 << 16),
              "bare_bilinear": ("bare inlined formula loop", 1)}
    for run, ms in cpp_medians(build, "^sample|^bare_bilinear", args.reps).items():
        if run in labels:
            label, points = labels[run]
            sample_ns[label] = ms * 1e6 / points
    # Gridvane against the bare C++ passes over the same kind of data.
    reference = cpp_medians(build, "^ascii_load|^ascii_save|^binary_load|^binary_save|^bare_", args.reps)
    pairs = [("ASCII load", "ascii_load", "bare_from_chars", "from_chars<double> over the tokens alone"),
             ("ASCII save", "ascii_save", "bare_to_chars_fwrite", "to_chars into one buffer + one fwrite"),
             ("binary load", "binary_load", "bare_fread", "one fread of the payload"),
             ("binary save over an existing file", "binary_save", "bare_fwrite", "one fwrite of the payload"),
             ("binary save to a new file", "binary_save_new_file", "bare_fwrite", "one fwrite of the payload")]

    setup_np = "import numpy as np"
    setup_pd = "import numpy as np, pandas as pd"
    setup_gv = ("import os, ctypes; gv = ctypes.CDLL(os.environ['GV_BUILD'] + '/bin/libgridvane.so'); "
                "gv.ArrayLoad.argtypes = [ctypes.c_char_p]")
    memory = {
        "numpy.loadtxt": peak_memory(build, setup_np, f"a = np.loadtxt({text!r}, dtype=np.float32)"),
        "pandas.read_csv": peak_memory(build, setup_pd,
                                       f"a = pd.read_csv({text!r}, sep=r'\\s+', header=None, dtype=np.float32)"),
        "Gridvane ArrayLoad": peak_memory(build, setup_gv, f"h = gv.ArrayLoad({text.encode()!r}); assert h > 0"),
    }

    print(f"# Gridvane and its peers, {ROWS:,} x {COLS} text ({text_bytes / 1e6:.0f} MB), "
          f"{BIN_ROWS:,} x {BIN_COLS:,} binary ({bin_bytes / 1e6:.0f} MB); medians of {args.reps}\n")
    print_rows(results)
    best = sample_ns["scipy map_coordinates (vectorised)"]
    for tool, ns in sample_ns.items():
        print(f"| bilinear sample, 1000 x 1000 | {tool} | {ns:.1f} ns/point | {1e3 / ns:.1f} M points/s "
              f"| {best / ns:.2f}x |")
    if reference:
        print("\n| work (gridvane_bench, C++) | Gridvane | bare pass | bare pass is | Gridvane vs bare |")
        print("|---|---|---|---|---|")
        for name, ours, bare, what in pairs:
            if ours not in reference or bare not in reference:
                continue  # the C++ benchmark reported no median for it (a run that failed)
            print(f"| {name} | {reference[ours]:.1f} ms | {reference[bare]:.1f} ms | {what} "
                  f"| {reference[bare] / reference[ours]:.2f}x |")
    print(f"\nASCII save output byte-identical to numpy.savetxt(fmt='\\t%.15g'): {'yes' if identical else 'NO'}\n")
    print(f"| peak memory of an ASCII load (growth of a child process) | MB | vs the table's storage "
          f"({storage / 1e6:.0f} MB) |")
    print("|---|---|---|")
    for tool, mb in memory.items():
        print(f"| {tool} | {mb:.0f} | {mb * 1024 * 1024 / storage:.2f}x |")
    if gvpy is not None:
        package_rows(build, gvpy, work, args.reps)
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
