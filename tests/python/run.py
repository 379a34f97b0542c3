"""Runs one pytest file for CTest. Exit status 77, which CTest shows as
skipped, when pytest is missing or a test could not run on this machine.

usage: run.py [--unprivileged] TEST_FILE [pytest options]

--unprivileged: run as root (as CI does), the file runs instead as the
unprivileged user nobody, on a copy of the package, the libraries
(GRIDVANE_LIBRARY_DIR), the tests and the examples that nobody may read, so
that the cases about files and folders a user may not touch run too. When
nobody may not run this Python (one in root's home, as pyenv's), the file
runs as root without the capabilities that pass over files' permissions
instead, which has root's own files refuse it as they refuse their owner."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
NOBODY = 65534


def as_nobody(command):
    return ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", *command]


def nobody_runs(python):
    """Whether nobody runs this very Python (not, say, another of the same name)."""
    this = "import sys; print(sys.version, sys.prefix)"
    ran = subprocess.run(as_nobody([python, "-c", this]), cwd="/", capture_output=True, text=True)
    return ran.returncode == 0 and ran.stdout.strip() == f"{sys.version} {sys.prefix}"


def unprivileged(test_file, options):
    """Runs test_file as nobody on copies of what it needs; its exit status."""
    with tempfile.TemporaryDirectory(prefix="gridvane-nobody-") as top:
        package = next(p for p in os.environ["PYTHONPATH"].split(os.pathsep) if os.path.isdir(os.path.join(p, "gridvane")))
        shutil.copytree(os.path.join(package, "gridvane"), os.path.join(top, "package", "gridvane"))
        os.makedirs(os.path.join(top, "lib"))
        for library in glob.glob(os.path.join(os.environ["GRIDVANE_LIBRARY_DIR"], "lib*.so*")):
            shutil.copy(library, os.path.join(top, "lib"), follow_symlinks=True)
        shutil.copytree(HERE, os.path.join(top, "tests", "python"))
        shutil.copytree(os.path.join(HERE, "..", "..", "examples", "data"), os.path.join(top, "examples", "data"))
        for root, dirs, files in os.walk(top):
            for name in dirs + files:
                os.chmod(os.path.join(root, name), 0o755)
        os.chmod(top, 0o755)
        env = dict(os.environ, PYTHONPATH=os.path.join(top, "package"), LD_LIBRARY_PATH=os.path.join(top, "lib"),
                   HOME=top)
        command = as_nobody([sys.executable, os.path.join(top, "tests", "python", "run.py"),
                             os.path.join(top, "tests", "python", os.path.basename(test_file)), *options])
        return subprocess.run(command, env=env, cwd=top).returncode


def main():
    if sys.argv[1:2] == ["--unprivileged"]:
        del sys.argv[1]
        if os.geteuid() == 0 and shutil.which("setpriv"):
            if nobody_runs(sys.executable):
                print("running as the unprivileged user nobody")
                return unprivileged(sys.argv[1], sys.argv[2:])
            print(f"running as root without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH (nobody may not run "
                  f"{sys.executable})")
            caps = "-dac_override,-dac_read_search"
            return subprocess.run(["setpriv", f"--bounding-set={caps}", f"--inh-caps={caps}", sys.executable,
                                   os.path.abspath(__file__), *sys.argv[1:]]).returncode
    for module, package in (("pytest", "python3-pytest"), ("numpy", "python3-numpy")):
        try:
            __import__(module)
        except ImportError:
            print(f"skipped: {module} is not installed ({package})")
            return 77
    import pytest

    return pytest.main(["-q", "-rs", "-p", "no:cacheprovider", *sys.argv[1:]])


# Worker processes started by the spawn method (Dask's) import this file
# again as their main module: only the process CTest started runs the tests.
if __name__ == "__main__":
    sys.exit(main())
