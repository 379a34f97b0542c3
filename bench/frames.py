"""Frame lookups through C, C++ and Python side by side, and a row loop
through the C++ interface against raw rows: 10,000 lookups of random
fractional frames on a camera move of 100,000 rows, in alternating rounds.
Prints each figure's range over the rounds and the ratios that matter.

    python3 bench/frames.py BUILD/bin/gridvane_frames [ROUNDS]

with the build's Python package importable (PYTHONPATH=BUILD/python).
"""
import subprocess
import sys
import time

import numpy as np

import gridvane

ROWS, COLUMNS, LOOKUPS = 100_000, 6, 10_000


def python_round(table, frames):
    start = time.perf_counter()
    table.row_of_frame(frames)
    return (time.perf_counter() - start) * 1e3


def main():
    program = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    samples = (np.arange(ROWS * COLUMNS, dtype=np.float32) % 97).reshape(ROWS, COLUMNS)
    table = gridvane.from_numpy(samples, frames=np.arange(1, ROWS + 1, dtype=np.float32))
    frames = np.random.default_rng(7).uniform(1.0, ROWS, LOOKUPS)
    figures = {k: [] for k in ("C scan (ArrayFrameGetV)", "C index", "C++ row_of_frame", "Python row_of_frame",
                               "C++ row(r) loop", "raw row loop")}
    for _ in range(rounds):
        line = subprocess.run([program, "1"], capture_output=True, text=True, check=True).stdout.split()
        c_scan, c_index, cxx, checked, raw = map(float, line)
        figures["C scan (ArrayFrameGetV)"].append(c_scan)
        figures["C index"].append(c_index)
        figures["C++ row_of_frame"].append(cxx)
        figures["C++ row(r) loop"].append(checked)
        figures["raw row loop"].append(raw)
        figures["Python row_of_frame"].append(python_round(table, frames))
    for name, values in figures.items():
        print(f"{name:26} {min(values):9.3f} to {max(values):9.3f} ms")
    ratio = lambda a, b: [x / y for x, y in zip(figures[a], figures[b])]
    for a, b in (("Python row_of_frame", "C++ row_of_frame"), ("C++ row(r) loop", "raw row loop")):
        r = ratio(a, b)
        best = min(figures[a]) / min(figures[b])  # what the machine allows each, when others share its cores
        print(f"{a} / {b}: {min(r):.2f}x to {max(r):.2f}x round by round; best against best {best:.2f}x")


if __name__ == "__main__":
    main()
