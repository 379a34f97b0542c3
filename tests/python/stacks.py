"""The package as users get it, from a fresh copy of the checkout and the
Python Package Index: an sdist, and from it the wheels for CPython 3.9 to
3.13 (python/wheels.sh: each built once, repaired to a tag that installs on
glibc 2.28, shown by auditwheel); each wheel installed into a fresh virtual
environment (no system site packages) of its own Python with nothing but
what pip pulls in for it (NumPy), where the README's Python lines and the
command-line tool run; and each stack python/requirements/ pins (the newest,
the 2025 platform's and the oldest the package supports) made on the Python
its file names, with the wheel of that Python, where the package's suites
run from another folder.

Exit status 77 (CTest: skipped) when the index is out of reach, one of
those Pythons is missing or this Python cannot make virtual environments.
GRIDVANE_STACKS_KEEP=DIR keeps the wheels in DIR.

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


# The CPythons the wheels are for, the stacks the suites run on, and the
# glibc of manylinux's tags of before PEP 600.
PYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
STACKS = ["newest", "middle", "oldest"]
LEGACY_TAGS = {"manylinux1_x86_64": (2, 5), "manylinux2010_x86_64": (2, 12), "manylinux2014_x86_64": (2, 17)}


def installs_on_glibc_2_28(platform):
    """Whether every tag of a wheel's platform tag (manylinux_2_17_x86_64.
    manylinux_2_28_x86_64, ...) asks for glibc 2.28 or older."""
    def glibc(tag):
        m = re.fullmatch(r"manylinux_(\d+)_(\d+)_x86_64", tag)
        return (int(m.group(1)), int(m.group(2))) if m else LEGACY_TAGS.get(tag, (99, 0))
    return all(glibc(tag) <= (2, 28) for tag in platform.split("."))


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


def python_for(version):
    """The interpreter of a CPython version: pyenv's, else python3.X on PATH."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = sorted(glob.glob(os.path.join(root, "versions", f"{version}.*", "bin", f"python{version}")))
    found = found or [p for p in [shutil.which(f"python{version}")] if p]
    if not found:
        raise RuntimeError(f"no Python {version} (pyenv's versions/{version}.* or python{version} on PATH)")
    return found[-1]


def stack_python(requirements):
    """The Python version a stack's file names on its first line ("# Python 3.13: ...")."""
    with open(requirements, encoding="utf-8") as f:
        named = re.match(r"# Python (3\.\d+)\b", f.readline())
    if not named:
        raise RuntimeError(f"{requirements} does not begin with '# Python 3.X'")
    return named.group(1)


def make_venv(path, requirements=None, env=None, interpreter=sys.executable, pins=()):
    """A fresh virtual environment without the system's packages, with the
    requirements file's packages and the pins beside them; its python."""
    made = subprocess.run([interpreter, "-m", "venv", path], capture_output=True, text=True, env=env)
    if made.returncode != 0:
        raise Skip(f"python3 -m venv does not work here (python3-venv): {made.stderr.strip()}")
    python = os.path.join(path, "bin", "python")
    run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "pip==25.3"], env=env)
    if requirements:
        run([python, "-m", "pip", "install", "-q", "-r", requirements, *pins], env=env)
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
    stacks = {stack: os.path.join(REQUIREMENTS, f"{stack}.txt") for stack in STACKS}
    for version in PYTHONS + [stack_python(r) for r in stacks.values()]:
        try:
            python_for(version)
        except RuntimeError as missing:
            raise Skip(missing) from None
    with tempfile.TemporaryDirectory(prefix="gridvane-stacks-") as top:
        checkout = os.path.join(top, "checkout")
        shutil.copytree(ROOT, checkout, symlinks=True,
                        ignore=shutil.ignore_patterns("build", ".git", "__pycache__", "node_modules", "*.egg-info"))
        tools = make_venv(os.path.join(top, "tools"), os.path.join(REQUIREMENTS, "tools.txt"), env)
        tools_env = dict(env, PATH=os.path.dirname(tools) + os.pathsep + env.get("PATH", ""))

        # The sdist, and from it every wheel, each built once, repaired to
        # glibc 2.28's manylinux tag and shown by auditwheel (wheels.sh).
        dist, wheels = os.path.join(top, "dist"), os.path.join(top, "wheels")
        run([tools, "-m", "build", "--sdist", "--outdir", dist, checkout], env=tools_env)
        (sdist,) = glob.glob(os.path.join(dist, "*.tar.gz"))
        shutil.rmtree(checkout)  # nothing of the build tree is left to lean on
        shown = " ".join(run(["sh", os.path.join(ROOT, "python", "wheels.sh"), "--from", sdist, wheels, *PYTHONS],
                             env=env).split())
        assert shown.count("is consistent with the following platform tag") == len(PYTHONS), shown
        built = {}
        for wheel in sorted(glob.glob(os.path.join(wheels, "*.whl"))):
            tag = re.search(r"-cp3(\d+)-cp3\d+-(\S+)\.whl$", os.path.basename(wheel))
            assert tag and installs_on_glibc_2_28(tag.group(2)), wheel
            built[f"3.{tag.group(1)}"] = wheel
            contents = wheel_contents(wheel)
            assert {"gridvane/libgridvane.so.1", "gridvane/libquarnel.so.1", "gridvane/_gridvane.pyi",
                    "gridvane/bin/gridvane"} <= set(contents), sorted(contents)
            print("wheel:", os.path.basename(wheel), os.path.getsize(wheel), "bytes", flush=True)
        assert sorted(built) == sorted(PYTHONS), built
        if os.environ.get("GRIDVANE_STACKS_KEEP"):
            os.makedirs(os.environ["GRIDVANE_STACKS_KEEP"], exist_ok=True)
            for wheel in built.values():
                shutil.copy(wheel, os.environ["GRIDVANE_STACKS_KEEP"])

        # Each wheel in a fresh environment of its own Python with nothing
        # but what pip pulls in for it (NumPy): the README's Python lines and
        # the tool.
        for version, wheel in sorted(built.items()):
            venv = os.path.join(top, f"clean{version}")
            python = make_venv(venv, None, env, interpreter=python_for(version))
            run([python, "-m", "pip", "install", "-q", wheel], env=env)
            print(f"---- pip list of the clean environment of Python {version}", flush=True)
            listed = run([python, "-m", "pip", "list", "--format", "freeze"], env=env)
            installed = {line.split("==")[0].lower() for line in listed.split()} - {"pip", "setuptools", "wheel"}
            assert installed == {"gridvane", "numpy"}, listed
            elsewhere = os.path.join(top, f"run-clean{version}")
            shutil.copytree(os.path.join(ROOT, "examples", "data"), os.path.join(elsewhere, "examples", "data"))
            run([python, "-c", readme_python()], cwd=elsewhere, env=env)
            check_tool(venv, elsewhere, env)

        # The package's suites on each stack, on its own Python, from another folder.
        failures = []
        for stack, requirements in stacks.items():
            version = stack_python(requirements)
            python = make_venv(os.path.join(top, stack), requirements, env, interpreter=python_for(version))
            run([python, "-m", "pip", "install", "-q", "--no-deps", built[version]], env=env)
            print(f"---- pip list of the {stack} stack (Python {version})", flush=True)
            run([python, "-m", "pip", "list"], env=env)
            elsewhere = os.path.join(top, f"run-{stack}")
            os.mkdir(elsewhere)
            run([python, "-c", "import gridvane, sys; assert gridvane.__file__.startswith(sys.prefix), "
                 "gridvane.__file__; print(gridvane.__file__)"], cwd=elsewhere, env=env)
            print(f"---- the package's suites on the {stack} stack", flush=True)
            suites = subprocess.run([python, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider", HERE],
                                    cwd=elsewhere, env=env)
            if suites.returncode != 0:  # 77: nothing passed, everything skipped
                failures.append(f"the {stack} stack's suites (exit {suites.returncode})")

        if failures:
            print("FAILED:", "; ".join(failures))
            return 1
        print("the wheels built, repaired, installed on their Pythons and passed on every stack")
        return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Skip as skipped:
        print(f"skipped: {skipped}")
        sys.exit(SKIP)
