"""The stubs describe the compiled module (mypy's stubtest), and a user's
typed program checks against the package."""
import importlib.util
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
pytest.importorskip("mypy")


def run(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=600, cwd=cwd)


def test_the_stubs_match_the_compiled_module(tmp_path):
    done = run(["mypy.stubtest", "gridvane._gridvane", "--allowlist", os.path.join(HERE, "stubtest_allowlist.txt")],
               tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_typed_program_checks(tmp_path):
    (tmp_path / "user.py").write_text("""
import numpy as np
import gridvane

t: gridvane.Table = gridvane.load("cam.chan", lenient=True)
value: float = t.cell(0, 0) + t.frame_of_row(-1)
samples = t.sample(np.zeros(3), 1.5)
back = gridvane.from_arrow(t)
view = np.from_dlpack(t)
tables = gridvane.load_many(["a.chan"], threads=2)
""" + ("""
import gridvane.dask as gd
frame = gd.read_tables(["a.chan"], columns=["pan"], errors="skip", blocksize="16 MiB")
per_shot = gd.per_file(frame, lambda files: files.pan.mean())
grids = gd.stack_grids(["a.chb"], blocksize=None)
stacked = gd.sample(["a.chb", t], np.zeros(3), 1.5)
""" if importlib.util.find_spec("dask") else ""))
    done = run(["mypy", "--strict", "--no-incremental", "user.py"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    (tmp_path / "wrong.py").write_text("import gridvane\ngridvane.load('a.chan', kind='text')\n")
    done = run(["mypy", "--no-incremental", "wrong.py"], tmp_path)
    assert done.returncode == 1 and "kind" in done.stdout, done.stdout
