"""Makes the virtual environment the build runs the Python suites in: the
stack a file of python/requirements/ pins, on the Python its first line
names, with the pins given beside it (the pybind11 the module is built
against), from the package index. The environment stays where it is made and
serves again while its interpreter and pins stay the same; it is made
afresh when they change.

Writes CMAKE_FILE for the build: when the environment is ready, its python,
the Python's headers and module suffix and pybind11's headers; else why the
suites are skipped (the index out of reach, no such Python, no venv module)
or why they fail (pip could not install the pins).

usage: stack_venv.py REQUIREMENTS VENV CMAKE_FILE [PIN...]"""
import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # configure writes nothing into the source tree
import stacks  # noqa: E402


def cmake_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("$", "\\$") + '"'


def write_cmake(path, **values):
    with open(path, "w", encoding="utf-8") as f:
        for name, value in values.items():
            f.write(f"set(GRIDVANE_STACK_{name} {cmake_string(value)})\n")


def ready(venv, pins_file, wanted):
    """Whether the environment holds the wanted pins and its python runs."""
    try:
        with open(pins_file, encoding="utf-8") as f:
            if f.read() != wanted:
                return False
        return subprocess.run([os.path.join(venv, "bin", "python"), "-c", ""]).returncode == 0
    except OSError:
        return False


def make(requirements, venv, pins):
    """The environment's python, made or kept."""
    env = stacks.clean_environment()
    version = stacks.stack_python(requirements)
    try:
        interpreter = stacks.python_for(version)
    except RuntimeError as missing:
        raise stacks.Skip(f"{missing}, which the stack {os.path.basename(requirements)} is for") from None
    with open(requirements, encoding="utf-8") as f:
        wanted = "\n".join([os.path.realpath(interpreter), f.read(), *pins, ""])
    pins_file = os.path.join(venv, "gridvane-pins.txt")
    if ready(venv, pins_file, wanted):
        print(f"{venv}: kept (the same interpreter and pins)")
    else:
        if not stacks.index_reachable():
            raise stacks.Skip(f"the Python Package Index is out of reach, and the suites need the environment "
                              f"of python/requirements/{os.path.basename(requirements)}")
        shutil.rmtree(venv, ignore_errors=True)
        stacks.make_venv(venv, requirements, env, interpreter=interpreter, pins=pins)
        with open(pins_file, "w", encoding="utf-8") as f:
            f.write(wanted)
    return os.path.join(venv, "bin", "python")


def main():
    requirements, venv, cmake_file, *pins = sys.argv[1:]
    venv = os.path.abspath(venv)
    try:
        python = make(requirements, venv, pins)
    except stacks.Skip as skipped:
        print(f"skipped: {skipped}")
        write_cmake(cmake_file, SKIPPED=str(skipped))
        return 0
    except (RuntimeError, OSError) as failed:
        print(f"failed: {failed}")
        write_cmake(cmake_file, FAILED=f"the environment of {os.path.basename(requirements)} could not be made "
                                       f"({failed}; the build's log: {venv}.log)")
        return 0
    found = subprocess.run([python, "-c", "import json, sysconfig, pybind11; print(json.dumps(["
                            "sysconfig.get_paths()['include'], sysconfig.get_config_var('EXT_SUFFIX'), "
                            "pybind11.get_include()]))"], stdout=subprocess.PIPE, text=True, check=True)
    include, suffix, pybind11_include = json.loads(found.stdout)
    write_cmake(cmake_file, PYTHON=python, INCLUDE=include, SUFFIX=suffix, PYBIND11_INCLUDE=pybind11_include)
    return 0


if __name__ == "__main__":
    sys.exit(main())
