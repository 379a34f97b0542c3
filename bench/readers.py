#!/usr/bin/python3
"""Gridvane's ASCII load beside the text readers people use, file shape by
file shape, each reader in a process of its own, on 1 and 2 threads.

Shapes (8 columns, each line starting with a tab as Gridvane writes them):
  short     uniform values in -1000..1000 by Gridvane's shortest-decimal
            writer ("23.64325")
  uniform   the same values as "%.15g"
  mixed     mixed magnitudes (N(0,1) times 10^k, k in -5..5, 5 % whole
            numbers) as "%.15g"
  integers  whole numbers in -100000..100000, by Gridvane's writer
  digits    2 to 3 significant digits ("0.083", "4.7", "125"), by
            Gridvane's writer

Readers: Gridvane (gridvane.load(threads=n) from the build's Python
package, on the system's Python), Polars read_csv, pyarrow.csv.read_csv,
DuckDB read_csv (into a table) from the package index (pinned in
bench/requirements.txt, installed into build/readers-venv on first use), and
R's data.table::fread from Debian's packages. Every figure is one load in a
fresh process, timed inside it around the call alone (start-up and imports
left out); within each round the readers take turns, in reverse order every
other round. Every reader's table is checked against Gridvane's (rows,
columns and the sum of the values).

A last table gives each shape's bytes per second on one thread (Gridvane's
load: read, split and parse) beside a bare fast_float parse of the same
bytes already in memory (bench/fast_float_floor.cpp, compiled here when
Debian's libfast-float-dev is installed).

usage: /usr/bin/python3 bench/readers.py [--build build/default] [--rows 200000] [--rounds 5]
                                         [--shapes short,mixed,...] [--readers gridvane,polars,...]
(--rows 1000000 gives the files of 81 to 144 MB the figures in issues quote.)
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REQUIREMENTS = os.path.join(HERE, "requirements.txt")
COLS = 8
THREADS = (1, 2)
SHAPES = ("short", "uniform", "mixed", "integers", "digits")
READERS = ("gridvane", "polars", "pyarrow", "duckdb", "fread")

# ---- One load in a process of its own -------------------------------------


def child(reader, threads, path, build):
    """Loads path once with reader on `threads` threads; prints seconds, rows,
    columns and the sum of the values as JSON."""
    if reader == "polars":
        os.environ["POLARS_MAX_THREADS"] = str(threads)
    names = [f"column_{i + 1}" for i in range(COLS + 1)]  # the first, empty: each line starts with a tab
    if reader == "gridvane":
        sys.path.insert(0, os.path.join(build, "python"))
        import gridvane
        start = time.perf_counter()
        t = gridvane.load(path, threads=threads)
        seconds = time.perf_counter() - start
        a = t.to_numpy()
    elif reader == "polars":
        import polars as pl
        schema = {n: pl.Utf8 if i == 0 else pl.Float32 for i, n in enumerate(names)}
        start = time.perf_counter()
        frame = pl.read_csv(path, separator="\t", has_header=False, schema=schema, columns=names[1:])
        seconds = time.perf_counter() - start
        a = frame.to_numpy()
    elif reader == "pyarrow":
        import pyarrow as pa
        from pyarrow import csv
        pa.set_cpu_count(threads)
        pa.set_io_thread_count(threads)
        start = time.perf_counter()
        table = csv.read_csv(path, read_options=csv.ReadOptions(column_names=names, use_threads=threads > 1),
                             parse_options=csv.ParseOptions(delimiter="\t"),
                             convert_options=csv.ConvertOptions(column_types={n: pa.float32() for n in names[1:]},
                                                                include_columns=names[1:]))
        seconds = time.perf_counter() - start
        import numpy as np
        a = np.column_stack([c.to_numpy() for c in table.columns])
    elif reader == "duckdb":
        import duckdb
        con = duckdb.connect(config={"threads": threads})
        types = ", ".join([f"'{names[0]}': 'VARCHAR'", *(f"'{n}': 'FLOAT'" for n in names[1:])])
        literal = "'" + path.replace("'", "''") + "'"
        make = (f"create table t as select {', '.join(names[1:])} from read_csv({literal}, delim = '\\t', "
                f"header = false, auto_detect = false, columns = {{{types}}})")
        start = time.perf_counter()
        con.execute(make)
        seconds = time.perf_counter() - start
        a = con.sql("select * from t").fetchnumpy()
        import numpy as np
        a = np.column_stack(list(a.values()))
    else:
        raise SystemExit(f"readers.py: no reader {reader}")
    print(json.dumps({"seconds": seconds, "rows": a.shape[0], "cols": a.shape[1], "sum": float(a.sum(dtype="f8"))}))


def r_string(path):
    return '"' + path.replace("\\", "\\\\").replace('"', '\\"') + '"'


FREAD = """suppressMessages(library(data.table))
invisible(setDTthreads({threads}))
t0 <- as.numeric(Sys.time())
d <- fread({path}, header = FALSE, sep = '\\t', drop = 1)
t1 <- as.numeric(Sys.time())
cat(sprintf('{{"seconds": %.9f, "rows": %d, "cols": %d, "sum": %.17g}}', t1 - t0, nrow(d), ncol(d),
            sum(sapply(d, function(x) sum(as.numeric(x))))))
"""


def load_once(reader, threads, path, build, python):
    if reader == "fread":
        command = ["Rscript", "-e", FREAD.format(threads=threads, path=r_string(path))]
    else:
        command = [python[reader], os.path.abspath(__file__), "--child", reader, str(threads), path,
                   "--build", build]
    out = subprocess.run(command, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{reader}: {(out.stderr.strip().splitlines() or ['exit %d' % out.returncode])[-1]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---- The readers that can be had ------------------------------------------


def index_python():
    """build/readers-venv's Python with the index's peers, made on first use;
    None, with the reason printed, when the index gave them not."""
    venv = os.path.join(HERE, "..", "build", "readers-venv")
    python = os.path.join(venv, "bin", "python")
    stamp = os.path.join(venv, "installed.txt")
    if not os.path.exists(stamp) or os.path.getmtime(stamp) < os.path.getmtime(REQUIREMENTS):
        made = subprocess.run([sys.executable, "-m", "venv", venv], capture_output=True, text=True)
        done = made if made.returncode else subprocess.run(
            [python, "-m", "pip", "install", "-q", "-r", REQUIREMENTS], capture_output=True, text=True)
        if done.returncode != 0:
            lines = [ln for ln in done.stderr.splitlines() if ln.strip()] or [f"exit {done.returncode}"]
            print(f"note: no Polars, pyarrow or DuckDB: the package index gave no {REQUIREMENTS} "
                  f"({lines[-1].strip()})")
            return None
        shutil.copy(REQUIREMENTS, stamp)
    return python


def have_fread():
    if shutil.which("Rscript") is None or subprocess.run(["Rscript", "-e", "library(data.table)"],
                                                         capture_output=True).returncode != 0:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        got = subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "r-base-core",
                                     "r-cran-data.table"], capture_output=True, text=True)
        if got.returncode != 0:
            print("note: no fread: R's data.table could not be installed from Debian's packages")
            return False
    return True


def floor_program(build):
    """bench/fast_float_floor.cpp built into the build tree, or None."""
    header = "/usr/include/fast_float/fast_float.h"
    if not os.path.exists(header):
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "libfast-float-dev"], capture_output=True)
    program = os.path.join(build, "bin", "fast_float_floor")
    source = os.path.join(HERE, "fast_float_floor.cpp")
    if os.path.exists(header) and (not os.path.exists(program) or os.path.getmtime(program) < os.path.getmtime(source)):
        subprocess.run([os.environ.get("CXX", "c++"), "-O2", "-std=c++17", source, "-o", program], check=True)
    if not os.path.exists(program):
        print("note: no fast_float floor: Debian's libfast-float-dev is not installed")
        return None
    return program


# ---- Files -----------------------------------------------------------------


def write_shapes(work, rows, shapes, build):
    """The files of each shape, by name."""
    import numpy as np
    sys.path.insert(0, os.path.join(build, "python"))
    import gridvane
    from peers import mixed_table

    rng = np.random.default_rng(37)
    uniform = rng.uniform(-1000, 1000, (rows, COLS)).astype(np.float32)
    makers = {
        "short": lambda: ("writer", uniform),
        "uniform": lambda: ("%.15g", uniform),
        "mixed": lambda: ("%.15g", mixed_table(rng, rows, COLS)),
        "integers": lambda: ("writer", rng.integers(-100_000, 100_001, (rows, COLS)).astype(np.float32)),
        "digits": lambda: ("writer", (rng.integers(10, 1000, (rows, COLS)) * rng.choice([-1, 1], (rows, COLS)) *
                                      10.0 ** rng.integers(-3, 1, (rows, COLS))).astype(np.float32)),
    }
    paths = {}
    for shape in shapes:
        how, values = makers[shape]()
        paths[shape] = os.path.join(work, f"{shape}.txt")
        if how == "writer":
            gridvane.from_numpy(values).save(paths[shape], kind="ascii")
        else:
            np.savetxt(paths[shape], values, fmt="\t" + how, delimiter="", newline="\n")
    return paths


# ---- The run ---------------------------------------------------------------


def median(values):
    return sorted(values)[len(values) // 2]


def span(values, scale=1.0, digits=0):
    return f"{min(values) * scale:.{digits}f}-{max(values) * scale:.{digits}f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--readers", default=",".join(READERS))
    parser.add_argument("--child", nargs=3, metavar=("READER", "THREADS", "PATH"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if args.child:
        return child(args.child[0], int(args.child[1]), args.child[2], build)

    readers = [r for r in args.readers.split(",") if r]
    python = {"gridvane": sys.executable}
    peers_python = index_python() if {"polars", "pyarrow", "duckdb"} & set(readers) else None
    for r in ("polars", "pyarrow", "duckdb"):
        if peers_python:
            python[r] = peers_python
        elif r in readers:
            readers.remove(r)
    if "fread" in readers and not have_fread():
        readers.remove("fread")
    floor = floor_program(build)
    shapes = [s for s in args.shapes.split(",") if s]
    work = tempfile.mkdtemp(prefix="gridvane-readers-")
    start = time.perf_counter()
    try:
        paths = write_shapes(work, args.rows, shapes, build)
        sizes = {shape: os.path.getsize(path) for shape, path in paths.items()}
        results = {}  # (shape, threads, reader) -> seconds of each round
        for shape in shapes:
            expected = load_once("gridvane", 1, paths[shape], build, python)
            for threads in THREADS:
                for r in range(args.rounds):
                    for reader in (readers[::-1] if r % 2 else readers):
                        got = load_once(reader, threads, paths[shape], build, python)
                        assert (got["rows"], got["cols"]) == (expected["rows"], expected["cols"]), (reader, shape, got)
                        assert abs(got["sum"] - expected["sum"]) <= 1e-6 * args.rows * COLS * 1000, (reader, shape, got)
                        results.setdefault((shape, threads, reader), []).append(got["seconds"])
            if floor:
                for _ in range(args.rounds):
                    out = subprocess.run([floor, paths[shape]], capture_output=True, text=True, check=True)
                    results.setdefault((shape, 0, "floor"), []).append(float(out.stdout.split()[0]))
    finally:
        shutil.rmtree(work)

    print(f"# Text loads, {args.rows:,} x {COLS}: each reader in a process of its own, {args.rounds} alternating "
          f"rounds; load average {os.getloadavg()[0]:.1f} at the end, the run took {time.perf_counter() - start:.0f} s\n")
    peers = [r for r in readers if r != "gridvane"]
    print("| shape (MB) | threads | Gridvane ms | " + " | ".join(f"{p} ms; x Gridvane" for p in peers) + " |")
    print("|---|---|---|" + "---|" * len(peers))
    for shape in shapes:
        mb = sizes[shape] / 1e6
        for threads in THREADS:
            gv = results[(shape, threads, "gridvane")]
            cells = []
            for p in peers:
                times = results[(shape, threads, p)]
                ratios = [t / g for t, g in zip(times, gv)]
                cells.append(f"{median(times) * 1e3:.0f} ({span(times, 1e3)}); "
                             f"{median(times) / median(gv):.2f}x ({span(ratios, 1, 2)})")
            print(f"| {shape} ({mb:.0f}) | {threads} | {median(gv) * 1e3:.0f} ({span(gv, 1e3)}) | "
                  + " | ".join(cells) + " |")
    if floor:
        print("\n| shape | Gridvane, 1 thread, GB/s | fast_float floor, GB/s | Gridvane / floor (time) |")
        print("|---|---|---|---|")
        for shape in shapes:
            gv, ff = results[(shape, 1, "gridvane")], results[(shape, 0, "floor")]
            print(f"| {shape} | {sizes[shape] / median(gv) / 1e9:.2f} | {sizes[shape] / median(ff) / 1e9:.2f} | "
                  f"{median(gv) / median(ff):.2f}x |")


if __name__ == "__main__":
    main()
