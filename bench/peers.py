#!/usr/bin/python3
"""Gridvane beside the tools people use today, on the same files, in one run.

Loads and saves go through the built library with ctypes; the sampling row
comes from the C++ benchmark (one call per point, as a host makes them). The
Python package's rows (load into a numpy array, vectorised sampling) use the
package from the same build, when it was built.
Tools alternate within each repetition; every figure is a median.

usage: /usr/bin/python3 bench/peers.py [--build build/default] [--reps 5]
"""
import argparse
import ctypes
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
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

ROWS, COLS = 1_000_000, 8
BIN_ROWS, BIN_COLS = 8_000, 1_000
POINTS = 1 << 16
SAMPLE_CALLS = 20


def library(build):
    lib = ctypes.CDLL(os.path.join(build, "bin", "libgridvane.so"))
    lib.ArrayLoad.argtypes = [ctypes.c_char_p]
    lib.ArrayLoad.restype = ctypes.c_int32
    lib.ArraySave.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32]
    lib.ArraySave.restype = ctypes.c_int32
    lib.ArrayFree.argtypes = [ctypes.c_int32]
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
    from this process's size, which Linux hands down through fork and exec."""
    code = f"""
import re
def hwm():
    with open('/proc/self/status') as f:
        return int(re.search(r'VmHWM:\\s+(\\d+)', f.read()).group(1))
{setup}
before = hwm()
{work}
print((hwm() - before) / 1024)
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    gv = library(build)
    gvpy = python_package(build)
    work = tempfile.mkdtemp(prefix="gridvane-peers-")
    rng = np.random.default_rng(1)
    table = rng.uniform(-1000, 1000, (ROWS, COLS)).astype(np.float32)
    grid = rng.uniform(-1000, 1000, (BIN_ROWS, BIN_COLS)).astype(np.float32)

    text = os.path.join(work, "table.txt")
    np.savetxt(text, table, fmt="\t%.15g", delimiter="", newline="\n")
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
        ("ASCII load 1,000,000 x 8", text_bytes, {
            "numpy.loadtxt": lambda: np.loadtxt(text, dtype=np.float32),
            "pandas.read_csv": lambda: pd.read_csv(text, sep=r"\s+", header=None, dtype=np.float32, engine="c"),
            "Gridvane ArrayLoad": gv_load(text)}),
        ("ASCII save 1,000,000 x 8, flushed to the disk", text_bytes, {
            "numpy.savetxt + fsync": flushed(out_np, np_save_text),
            "Gridvane ArraySave": gv_save(text, out_gv, 768)}),
        ("ASCII save 1,000,000 x 8, not flushed (reference)", text_bytes, {
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

    if gvpy is not None:
        def gvpy_to_numpy():
            with gvpy.load(text) as t:
                return t.to_numpy()

        assert np.array_equal(gvpy_to_numpy(), table)
        rows.insert(1, ("ASCII load into a numpy array 1,000,000 x 8", text_bytes, {
            "numpy.loadtxt": lambda: np.loadtxt(text, dtype=np.float32),
            "pandas.read_csv().to_numpy()": lambda: pd.read_csv(text, sep=r"\s+", header=None, dtype=np.float32,
                                                                engine="c").to_numpy(),
            "gridvane.load().to_numpy()": gvpy_to_numpy}))

    results = []
    for name, size, tools in rows:
        times = {tool: [] for tool in tools}
        for rep in range(args.reps):
            order = list(tools.items())
            if rep % 2:
                order.reverse()
            for tool, fn in order:
                times[tool].append(timed(fn))
        results.append((name, size, {tool: median(t) for tool, t in times.items()}))

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
    labels = {"sample/0": "Gridvane ArrayGetValue, 1 table (one call per point)",
              "sample/100000": "Gridvane ArrayGetValue, 100,001 tables (one call per point)",
              "bare_bilinear": "bare inlined formula loop"}
    for run, ms in cpp_medians(build, "^sample|^bare_bilinear", args.reps).items():
        sample_ns[labels[run]] = ms * 1e6
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
    print("| work | tool | median | throughput | vs best peer |")
    print("|---|---|---|---|---|")
    for name, size, medians in results:
        peers = {t: m for t, m in medians.items() if not t.lower().startswith("gridvane")}
        best = min(peers.values())
        for tool, m in medians.items():
            print(f"| {name} | {tool} | {m * 1e3:.1f} ms | {size / m / 1e6:.0f} MB/s | {best / m:.2f}x |")
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
    shutil.rmtree(work)


if __name__ == "__main__":
    main()
