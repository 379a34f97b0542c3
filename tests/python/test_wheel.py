"""The wheel: built from a fresh copy of the source tree with nothing else
installed first (pip wheel --no-build-isolation ./python, offline), carrying
the library beside the module, installed into a fresh virtual environment and
used from another folder."""
import importlib.util
import os
import shutil
import subprocess
import sys

import pytest
from conftest import DATA, EXAMPLES

ROOT = os.path.dirname(EXAMPLES)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=900, **kwargs)


def require_tools():
    for module, package in (("pip", "python3-pip"), ("venv", "python3-venv"), ("ensurepip", "python3-venv"),
                            ("wheel", "python3-wheel"), ("setuptools", "python3-setuptools")):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"{module} is not installed ({package})")
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not installed")


def test_the_wheel_carries_the_library_and_works_from_a_fresh_environment(tmp_path):
    require_tools()
    checkout = tmp_path / "checkout"
    shutil.copytree(ROOT, checkout, symlinks=True,
                    ignore=shutil.ignore_patterns("build", ".git", "__pycache__", "node_modules", "*.egg-info"))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PIP_INDEX_URL", "PIP_FIND_LINKS")}
    built = run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
                 "-w", str(tmp_path / "dist"), "./python"], cwd=checkout, env=env)
    assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
    (wheel,) = os.listdir(tmp_path / "dist")
    shutil.rmtree(checkout)  # nothing of the build tree is left to lean on
    made = run([sys.executable, "-m", "venv", "--system-site-packages", str(tmp_path / "venv")], env=env)
    if made.returncode != 0:
        pytest.skip(f"python3 -m venv does not work here: {made.stderr.strip()}")
    python = str(tmp_path / "venv" / "bin" / "python")
    installed = run([python, "-m", "pip", "install", "--no-index", "--no-deps", str(tmp_path / "dist" / wheel)],
                    env=env)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    script = """
import os, sys, gridvane
here = os.path.dirname(gridvane.__file__)
maps = open("/proc/self/maps").read()
libraries = {line.split()[-1] for line in maps.splitlines() if ".so" in line and ("gridvane" in line or "quarnel" in line)}
assert here.startswith(sys.prefix) and all(p.startswith(here) for p in libraries), (here, libraries)
assert {os.path.basename(p) for p in libraries} >= {"libgridvane.so.1", "libquarnel.so.1"}, libraries
cam = gridvane.load(sys.argv[1])
cam.save("cam.chan")
print(gridvane.load("cam.chan").columns, cam.sample_at_frame(30, 2))
"""
    used = run([python, "-c", script, os.path.join(DATA, "camera.chan")], cwd=elsewhere, env=env)
    assert (used.returncode, used.stdout) == (0, "('pan', 'tilt', 'focal') 45.0\n"), used.stderr
