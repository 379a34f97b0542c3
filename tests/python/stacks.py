"""The package as users get it, from a fresh copy of the checkout and the
Python Package Index: an sdist, a wheel built from it and one built straight
from the checkout (the same files); the wheel repaired to a manylinux tag
with auditwheel, which must find nothing missing; then installed into fresh
virtual environments (no system site packages) of the newest and the oldest
stacks the package supports (python/requirements/), where the package's
suites run from another folder; and into one with nothing but what pip pulls
in for it (NumPy), where the README's Python lines run.

Exit status 77 (CTest: skipped) when the index is out of reach or this
Python cannot make virtual environments. GRIDVANE_STACKS_KEEP=DIR keeps the
wheels in DIR.

usage: stacks.py"""
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.parse
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
REQUIREMENTS = os.path.join(ROOT, "python", "requirements")
SKIP = 77


class Skip(Exception):
    pass


def run(args, **kwargs):
    """Runs a command, showing it and its output; raises on failure."""
    print("$", " ".join(str(a) for a in args), flush=True)
    done = subprocess.run([str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          **kwargs)
    print(done.stdout, end="", flush=True)
    if done.returncode != 0:
        raise RuntimeError(f"{args[0]} ... exited with {done.returncode}")
    return done.stdout


def index_reachable():
    url = urllib.parse.urlparse(os.environ.get("PIP_INDEX_URL", "https://pypi.org/simple"))
    port = url.port or (443 if url.scheme == "https" else 80)
    try:
        socket.create_connection((url.hostname, port), timeout=10).close()
        return True
    except OSError:
        return False


def clean_environment():
    """The environment of every command: nothing of the build tree's Python."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "PIP_REQUIRE_VIRTUALENV")}


def make_venv(path, requirements=None, env=None):
    """A fresh virtual environment without the system's packages; its python."""
    made = subprocess.run([sys.executable, "-m", "venv", path], capture_output=True, text=True, env=env)
    if made.returncode != 0:
        raise Skip(f"python3 -m venv does not work here (python3-venv): {made.stderr.strip()}")
    python = os.path.join(path, "bin", "python")
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "pip==25.3"], env=env)
    if requirements:
        run([python, "-m", "pip", "install", "-q", "-r", requirements], env=env)
    return python


def wheel_contents(wheel):
    """The wheel's files (not its own metadata) with their RECORD hashes."""
    with zipfile.ZipFile(wheel) as z:
        (record,) = [n for n in z.namelist() if n.endswith(".dist-info/RECORD")]
        rows = [line.split(",") for line in z.read(record).decode().splitlines()]
    return {path: digest for path, digest, _ in rows if ".dist-info/" not in path}


def readme_python():
    """The README's Python lines: its first python block."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        return re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)


def check_tool(venv, elsewhere, env):
    """The command-line tool pip put in the environment's bin: --version,
    info, check and convert, run over the wheel's own libraries."""
    tool = os.path.join(venv, "bin", "gridvane")
    camera = os.path.join(elsewhere, "examples", "data", "camera.chan")
    assert run([tool, "--version"], env=env).startswith("gridvane "), "gridvane --version"
    assert "3 columns x 6 rows" in run([tool, "info", camera], env=env)
    run([tool, "check", camera], env=env)
    converted = os.path.join(elsewhere, "camera.chb")
    loaded = run([tool, "convert", "--to", "binary", camera, converted], env=dict(env, LD_DEBUG="libs"))
    package = os.path.realpath(run([os.path.join(venv, "bin", "python"), "-c",
                                    "import gridvane, os; print(os.path.dirname(gridvane.__file__))"],
                                   cwd=elsewhere, env=env).strip())
    libraries = {os.path.realpath(m) for m in re.findall(r"calling init: (\S*libgridvane\S*)", loaded)}
    assert libraries == {os.path.join(package, "libgridvane.so.1")}, libraries
    assert "binary" in run([tool, "info", converted], env=env)


def main():
    if not index_reachable():
        print("skipped: the Python Package Index is out of reach")
        return SKIP
    env = clean_environment()
    with tempfile.TemporaryDirectory(prefix="gridvane-stacks-") as top:
        checkout = os.path.join(top, "checkout")
        shutil.copytree(ROOT, checkout, symlinks=True,
                        ignore=shutil.ignore_patterns("build", ".git", "__pycache__", "node_modules", "*.egg-info"))
        tools = make_venv(os.path.join(top, "tools"), os.path.join(REQUIREMENTS, "tools.txt"), env)
        tools_env = dict(env, PATH=os.path.dirname(tools) + os.pathsep + env.get("PATH", ""))

        # The sdist and a wheel built from it; a wheel straight from the checkout.
        dist, direct = os.path.join(top, "dist"), os.path.join(top, "direct")
        run([tools, "-m", "build", "--outdir", dist, checkout], env=tools_env)
        run([tools, "-m", "pip", "wheel", "--no-deps", "-w", direct, checkout], env=tools_env)
        (wheel,) = glob.glob(os.path.join(dist, "*.whl"))
        (direct_wheel,) = glob.glob(os.path.join(direct, "*.whl"))
        from_sdist, from_checkout = wheel_contents(wheel), wheel_contents(direct_wheel)
        assert sorted(from_sdist) == sorted(from_checkout), (sorted(from_sdist), sorted(from_checkout))
        pure = [p for p in from_sdist if not p.endswith((".so", ".so.1")) and ".so." not in p and "/bin/" not in p]
        assert all(from_sdist[p] == from_checkout[p] for p in pure), "the sdist's wheel differs from the checkout's"
        assert {"gridvane/libgridvane.so.1", "gridvane/libquarnel.so.1", "gridvane/_gridvane.pyi",
                "gridvane/bin/gridvane"} <= set(from_sdist)
        shutil.rmtree(checkout)  # nothing of the build tree is left to lean on

        # A wheel a package index takes: auditwheel's manylinux tag, nothing missing.
        repaired = os.path.join(top, "repaired")
        run([tools, "-m", "auditwheel", "repair", "-w", repaired, wheel], env=tools_env)
        (wheel,) = glob.glob(os.path.join(repaired, "*.whl"))
        shown = " ".join(run([tools, "-m", "auditwheel", "show", wheel], env=tools_env).split())
        assert re.search(r"manylinux_\d+_\d+_x86_64", os.path.basename(wheel)), wheel
        assert "is consistent with the following platform tag" in shown, shown
        print("the repaired wheel:", os.path.basename(wheel), flush=True)
        with zipfile.ZipFile(wheel) as z:
            print("holding:", " ".join(sorted(n for n in z.namelist() if ".so" in n)), flush=True)
        if os.environ.get("GRIDVANE_STACKS_KEEP"):
            os.makedirs(os.environ["GRIDVANE_STACKS_KEEP"], exist_ok=True)
            shutil.copy(wheel, os.environ["GRIDVANE_STACKS_KEEP"])

        # The package's suites on the newest and the oldest stack, from another folder.
        failures = []
        for stack in ("newest", "oldest"):
            python = make_venv(os.path.join(top, stack), os.path.join(REQUIREMENTS, f"{stack}.txt"), env)
            run([python, "-m", "pip", "install", "-q", "--no-deps", wheel], env=env)
            print(f"---- pip list of the {stack} stack", flush=True)
            run([python, "-m", "pip", "list"], env=env)
            elsewhere = os.path.join(top, f"run-{stack}")
            os.mkdir(elsewhere)
            run([python, "-c", "import gridvane, sys; assert gridvane.__file__.startswith(sys.prefix), "
                 "gridvane.__file__; print(gridvane.__file__)"], cwd=elsewhere, env=env)
            print(f"---- the package's suites on the {stack} stack", flush=True)
            suites = subprocess.run([python, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider", HERE],
                                    cwd=elsewhere, env=env)
            if suites.returncode not in (0, SKIP):  # 77: some tests skipped, none failed
                failures.append(f"the {stack} stack's suites (exit {suites.returncode})")

        # A clean environment: the wheel and what pip pulls in for it.
        python = make_venv(os.path.join(top, "clean"), None, env)
        run([python, "-m", "pip", "install", "-q", wheel], env=env)
        print("---- pip list of the clean environment", flush=True)
        run([python, "-m", "pip", "list"], env=env)
        elsewhere = os.path.join(top, "run-clean")
        shutil.copytree(os.path.join(ROOT, "examples", "data"), os.path.join(elsewhere, "examples", "data"))
        run([python, "-c", readme_python()], cwd=elsewhere, env=env)
        check_tool(os.path.join(top, "clean"), elsewhere, env)
        if failures:
            print("FAILED:", "; ".join(failures))
            return 1
        print("the wheel built, repaired and passed on every stack")
        return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Skip as skipped:
        print(f"skipped: {skipped}")
        sys.exit(SKIP)
