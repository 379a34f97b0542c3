"""Python's vectorised Table.sample beside the C batch (gridvane_sample_many)
on the same random points over a 1000 x 1000 table, in one process, in
alternating rounds: float64 and float32 coordinates through the package,
and the C batch on the float32 points, in one call and in equal shares on as
many threads as Table.sample uses. Prints each
figure's range over the rounds, and the ratios round by round.

    PYTHONPATH=BUILD/python python3 bench/sampling.py BUILD [ROUNDS] [POINTS]
"""
import ctypes
import os
import sys
import threading
import time

import numpy as np

import gridvane


def c_batch(build):
    lib = ctypes.CDLL(os.path.join(build, "bin", "libgridvane.so"))
    lib.gridvane_sample_many.argtypes = [ctypes.c_int32, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_ssize_t,
                                         ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_void_p]
    lib.gridvane_sample_many.restype = ctypes.c_int32
    return lib


def main():
    build = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    n = int(sys.argv[3]) if len(sys.argv) > 3 else 3_000_000
    rng = np.random.default_rng(37)
    table = gridvane.from_numpy(rng.uniform(-1, 1, (1000, 1000)).astype(np.float32))
    u64, v64 = rng.uniform(0, 999, n), rng.uniform(0, 999, n)
    u32, v32 = u64.astype(np.float32), v64.astype(np.float32)
    lib = c_batch(build)
    out = np.empty(n, np.float32)

    def batch(begin, end):
        assert lib.gridvane_sample_many(table.handle, end - begin, u32[begin:].ctypes.data, 1,
                                        v32[begin:].ctypes.data, 1, out[begin:].ctypes.data, None) == 0

    # As many threads as the package uses for a batch this large (the
    # machine's cores, at most 16), each given an equal share of the points.
    threads = max(1, min(os.cpu_count() or 1, 16, n // (1 << 17)))
    share = ((n + threads - 1) // threads + 1023) // 1024 * 1024

    def batch_on_threads():
        helpers = [threading.Thread(target=batch, args=(min(n, k * share), min(n, (k + 1) * share)))
                   for k in range(1, threads)]
        for h in helpers:
            h.start()
        batch(0, min(n, share))
        for h in helpers:
            h.join()

    expected = table.sample(u32, v32)
    for fn in (lambda: batch(0, n), batch_on_threads):
        out.fill(0)
        fn()
        assert np.array_equal(out.view(np.uint32), expected.view(np.uint32))
    assert np.array_equal(table.sample(u64, v64).view(np.uint32), expected.view(np.uint32))

    tools = {"Table.sample, float64": lambda: table.sample(u64, v64),
             "Table.sample, float32": lambda: table.sample(u32, v32),
             "gridvane_sample_many, 1 call": lambda: batch(0, n),
             f"gridvane_sample_many, {threads} threads": batch_on_threads}
    ns = {tool: [] for tool in tools}
    for r in range(rounds):
        for tool, fn in (list(tools.items())[::-1] if r % 2 else tools.items()):
            start = time.perf_counter()
            fn()
            ns[tool].append((time.perf_counter() - start) * 1e9 / n)
    print(f"{n:,} random points over 1000 x 1000, {rounds} alternating rounds, load average "
          f"{os.getloadavg()[0]:.1f} at the end, {threads} threads")
    for tool, values in ns.items():
        print(f"{tool:34} {min(values):6.2f} to {max(values):6.2f} ns/point (median {sorted(values)[rounds // 2]:.2f})")
    f64 = "Table.sample, float64"
    for other in list(tools)[1:]:
        r = [a / b for a, b in zip(ns[f64], ns[other])]
        print(f"{f64} / {other}: {min(r):.2f}x to {max(r):.2f}x round by round")


if __name__ == "__main__":
    main()
