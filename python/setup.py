"""Builds the gridvane package against an installed Gridvane, offline.

    GRIDVANE_PREFIX=DIR pip install --no-build-isolation ./python

DIR is the prefix Gridvane was installed into (cmake --install BUILD --prefix
DIR); without GRIDVANE_PREFIX, pkg-config's gridvane.pc names it. The module
links that prefix's libgridvane.so and finds it there at run time, so it
shares one registry with any C code in the process that uses the same library.
"""
import os
import re
import subprocess
import sysconfig

from pybind11.setup_helpers import Pybind11Extension
from setuptools import setup


def installed_gridvane():
    """The include and library folders of the installed Gridvane."""
    prefix = os.environ.get("GRIDVANE_PREFIX")
    if not prefix:
        query = ["pkg-config", "--variable=includedir", "gridvane"]
        include = subprocess.run(query, capture_output=True, text=True, check=True).stdout.strip()
        libdir = subprocess.run(query[:1] + ["--variable=libdir", "gridvane"], capture_output=True, text=True,
                                check=True).stdout.strip()
        return include, libdir
    candidates = ["lib", "lib64", os.path.join("lib", sysconfig.get_config_var("MULTIARCH") or "")]
    for libdir in (os.path.join(prefix, c) for c in candidates):
        if os.path.exists(os.path.join(libdir, "libgridvane.so")):
            return os.path.join(prefix, "include"), os.path.abspath(libdir)
    raise SystemExit(f"no libgridvane.so under {prefix}: install Gridvane there first (cmake --install)")


include, libdir = installed_gridvane()
with open(os.path.join(include, "gridvane.h")) as header:
    version = re.search(r'GRIDVANE_VERSION_STRING "([^"]+)"', header.read()).group(1)

setup(
    name="gridvane",
    version=version,
    description="2-D float32 tables, bilinear sampling and channel files, over the Gridvane library",
    packages=["gridvane"],
    package_data={"gridvane": ["py.typed", "*.pyi"]},
    python_requires=">=3.9",
    install_requires=["numpy"],
    ext_modules=[
        Pybind11Extension("gridvane._gridvane", ["src/module.cpp"], cxx_std=20,
                          include_dirs=[include, os.path.join(include, "gridvane")],
                          library_dirs=[libdir], runtime_library_dirs=[libdir], libraries=["gridvane", "quarnel"],
                          extra_compile_args=["-ffp-contract=off"]),
    ],
)
