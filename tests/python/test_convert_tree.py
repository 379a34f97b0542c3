"""The Dask example: a generated tree converted on a LocalCluster of worker
processes, files checked by default, camera files kept whole, no source ever
written over, relative folders made absolute, Ctrl-C summarised; and tables
and functions shipped to Dask workers and back."""
import importlib.util
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from conftest import EXAMPLES

import gridvane

distributed = pytest.importorskip("dask.distributed")
SCRIPT = os.path.join(EXAMPLES, "python", "convert_tree.py")
CAMERA = b"| pan tilt\n---\n1 | 0.5 2\n12 | 8.25 3\n"


def make_tree(root, folders=40, per_folder=25):
    """folders x per_folder channel files in three forms; the bad one is a binary name with a wrong magic."""
    rng = np.random.default_rng(12)
    for f in range(folders):
        folder = os.path.join(root, f"shot{f:02d}", "cam")
        os.makedirs(folder)
        for n in range(per_folder):
            a = rng.uniform(-100, 100, (rng.integers(1, 6), rng.integers(1, 5))).astype(np.float32)
            frames = np.arange(1, a.shape[0] + 1) * 10 if n % 3 == 0 else None
            t = gridvane.from_numpy(a, frames=frames)
            t.save(os.path.join(folder, f"t{n}" + (".chan", ".chb", ".txt")[n % 3]))
    bad = os.path.join(root, "shot07", "cam", "t1.chb")
    with open(bad, "r+b") as f:
        f.write(b"junk")
    return bad


def convert(*args, cwd=None):
    return subprocess.run([sys.executable, SCRIPT, *args, "--workers", "2"], capture_output=True, text=True,
                          timeout=600, cwd=cwd)


def files_under(root):
    return sorted(os.path.relpath(os.path.join(d, n), root) for d, _, names in os.walk(root) for n in names)


def test_tree_on_a_local_cluster(tmp_path):
    src, out = str(tmp_path / "src"), str(tmp_path / "out")
    bad = make_tree(src)
    done = convert(src, "--out", out, "--to", "binary", "--drop-frames")
    assert done.returncode == 1, done.stderr
    assert done.stdout.splitlines() == [
        f"converted 999 of 1000 files into {out}",
        f"failed: {bad}:1:1: the reader wants the magic 'chan' or 'nahc' and finds 'junk' "
        "(invalid magic number)",
    ]
    assert "1000/1000, 1 failed" in done.stderr
    expected = sorted(os.path.splitext(p)[0] + ".chb" for p in files_under(src) if os.path.join(src, p) != bad)
    assert files_under(out) == expected  # the bad file left nothing, and no temporary file is left
    for name in expected[::50]:
        source = os.path.join(src, os.path.splitext(name)[0])
        source = next(source + s for s in (".chan", ".chb", ".txt") if os.path.exists(source + s))
        assert np.array_equal(gridvane.load(os.path.join(out, name)).to_numpy(), gridvane.load(source).to_numpy())


def test_checks_collisions_and_camera_files(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "cam.chan").write_bytes(CAMERA)
    (src / "comma.txt").write_bytes(b"1 2\n3 8,25\n")
    gridvane.from_numpy([[1.0]]).save(src / "dup.chb")
    gridvane.from_numpy([[2.0]]).save(src / "dup.chan")
    original = (src / "dup.chb").read_bytes()
    # Into the source folder itself: dup.chan would become dup.chb, and dup.chb itself.
    done = convert("src", "--out", "src", "--to", "binary", cwd=tmp_path)
    assert done.returncode == 1 and (src / "dup.chb").read_bytes() == original
    lines = done.stdout.splitlines()
    assert lines[0] == f"converted 0 of 4 files into {src}"
    assert lines[1].startswith(f"failed: {src}/cam.chan: the binary form has no frame column")
    assert lines[2] == f"failed: {src}/comma.txt:2:3: '8,25' has text after the number: the reader takes 8 (a decimal comma)"
    assert lines[3:] == [f"failed: {src}/dup.chan: {src}/dup.chb is a source file: it is not written over",
                         f"failed: {src}/dup.chb: {src}/dup.chb is a source file: it is not written over"]
    # To ASCII elsewhere, leniently: the camera file keeps frames and names, the comma file reads as 8,
    # and the two dup files would share one name.
    done = convert("src", "--out", "out", "--to", "ascii", "--lenient", cwd=tmp_path)
    assert done.returncode == 1 and done.stdout.splitlines()[:2] == [
        f"converted 2 of 4 files into {tmp_path / 'out'}",
        f"failed: {src}/dup.chan: {src}/dup.chb would be converted to {tmp_path}/out/dup.chan as well"]
    cam = gridvane.load(tmp_path / "out" / "cam.chan")
    assert cam.columns == ("pan", "tilt") and cam.frames.tolist() == [1, 12]
    assert gridvane.load(tmp_path / "out" / "comma.chan").to_numpy().tolist() == [[1, 2], [3, 8]]


def test_folders_are_made_absolute_before_work_is_shipped(tmp_path, monkeypatch):
    found = importlib.util.spec_from_file_location("convert_tree", SCRIPT)
    script = importlib.util.module_from_spec(found)
    found.loader.exec_module(script)
    (tmp_path / "src" / "a").mkdir(parents=True)
    gridvane.Table(1, 1).save(tmp_path / "src" / "a" / "t.chan")
    monkeypatch.chdir(tmp_path)
    jobs, failures = script.plan("src", "out-rel", "binary", False)
    assert failures == [] and jobs == [(str(tmp_path / "src" / "a" / "t.chan"), str(tmp_path / "out-rel" / "a" / "t.chb"))]


def test_ctrl_c_prints_the_summary_so_far(tmp_path):
    src, out = str(tmp_path / "src"), str(tmp_path / "out")
    make_tree(src, folders=200)
    # In a session of its own, so that Ctrl-C reaches the whole group (the
    # workers too), as a terminal sends it.
    process = subprocess.Popen([sys.executable, SCRIPT, src, "--out", out, "--drop-frames", "--workers", "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 300
    while not os.path.isdir(out) and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(process.pid, signal.SIGINT)
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 130 and "Traceback" not in stderr, stdout + stderr
    first = stdout.splitlines()[0]
    assert first.startswith("converted ") and "of 5000 files" in first and "interrupted" in first, stdout
    # Every file on disk is counted: those running at the Ctrl-C finish first.
    assert int(first.split()[1]) == len(files_under(out)), stdout


def test_ctrl_c_while_the_cluster_starts(tmp_path):
    src, out = str(tmp_path / "src"), str(tmp_path / "out")
    make_tree(src, folders=8)
    process = subprocess.Popen([sys.executable, SCRIPT, src, "--out", out, "--drop-frames", "--workers", "1"],
                               stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, start_new_session=True)
    time.sleep(1.0)  # importing dask and starting a worker takes longer
    os.killpg(process.pid, signal.SIGINT)
    stdout, stderr = process.communicate(timeout=300)
    assert process.returncode == 130 and "Traceback" not in stderr, stdout + stderr
    assert "interrupted" in stdout.splitlines()[0], stdout


def test_check_says_what_the_reader_warns_of(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    (src / "hex.txt").write_bytes(b"1 2\n0x10 3\n")
    (src / "fine.txt").write_bytes(b"1 2\n")
    done = convert(str(src), "--check")
    assert done.returncode == 1, done.stderr
    assert done.stdout.splitlines() == [
        "checked 2 of 2 files, 1 warnings",
        f"warning: {src}/hex.txt:2:1: '0x10' is a hexadecimal number: the reader takes 16"]


def test_tables_and_functions_travel_to_workers_and_back(tmp_path):
    path = str(tmp_path / "cam.chan")
    with open(path, "wb") as f:
        f.write(CAMERA)
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        cam = client.submit(gridvane.load, path).result()
        assert cam.columns == ("pan", "tilt") and cam.frames.tolist() == [1, 12]
        sampled = client.submit(lambda t: t.sample_at_frame(6.5), cam).result()
        assert np.array_equal(sampled, gridvane.load(path).sample_at_frame(6.5))
        tables = client.submit(gridvane.load_many, [path, path + ".missing"]).result()
        assert tables[0].shape == (2, 2) and isinstance(tables[1], FileNotFoundError)
