"""The Dask example converts a generated tree on a LocalCluster of two workers
and reports a planted bad file without stopping the rest."""
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import EXAMPLES

import gridvane

pytest.importorskip("dask.distributed")
SCRIPT = os.path.join(EXAMPLES, "python", "convert_tree.py")


def make_tree(root, folders=40, per_folder=25):
    """folders x per_folder channel files in three forms; the bad one is a binary name with a wrong magic."""
    rng = np.random.default_rng(12)
    for f in range(folders):
        folder = os.path.join(root, f"shot{f:02d}", "cam")
        os.makedirs(folder)
        for n in range(per_folder):
            a = rng.uniform(-100, 100, (rng.integers(1, 6), rng.integers(1, 5))).astype(np.float32)
            if n % 3 == 0:
                lines = "".join(f"{10 * r} | " + " ".join(map(repr, row.tolist())) + "\n" for r, row in enumerate(a))
                with open(os.path.join(folder, f"t{n}.chan"), "w") as out:
                    out.write("| header\n---\n" + lines)
            else:
                gridvane.from_numpy(a).save(os.path.join(folder, f"t{n}" + (".chb" if n % 3 == 1 else ".txt")))
    bad = os.path.join(root, "shot07", "cam", "t1.chb")
    with open(bad, "r+b") as f:
        f.write(b"junk")
    return bad


def test_tree_on_a_local_cluster(tmp_path):
    src, out = str(tmp_path / "src"), str(tmp_path / "out")
    bad = make_tree(src)
    done = subprocess.run([sys.executable, SCRIPT, src, "--out", out, "--to", "binary", "--workers", "2"],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 1, done.stderr
    assert done.stdout.splitlines() == [
        f"converted 999 of 1000 files into {out}",
        f"failed: {bad}: errno 5 (EIO): Gridvane (ChanReadBin): invalid magic number",
    ]
    assert "1000/1000, 1 failed" in done.stderr
    written = sorted(os.path.relpath(os.path.join(d, n), out) for d, _, names in os.walk(out) for n in names)
    expected = sorted(os.path.splitext(os.path.relpath(os.path.join(d, n), src))[0] + ".chb"
                      for d, _, names in os.walk(src) for n in names if os.path.join(d, n) != bad)
    assert written == expected  # the bad file left nothing, and no temporary file is left
    for name in written[::50]:
        source = os.path.join(src, os.path.splitext(name)[0])
        source = next(source + s for s in (".chan", ".chb", ".txt") if os.path.exists(source + s))
        assert np.array_equal(gridvane.load(os.path.join(out, name)).to_numpy(), gridvane.load(source).to_numpy())
