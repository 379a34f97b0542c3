"""Builds the gridvane package, offline.

    pip wheel --no-build-isolation ./python
    pip install --no-build-isolation ./python

From a checkout, with nothing else installed first: CMake builds the library
from the checkout around this folder, and the package carries libgridvane.so
and the stand-in tools library beside its module, which finds them through
its RPATH ($ORIGIN). The wheel installs anywhere this platform's wheels do.

    GRIDVANE_PREFIX=DIR pip install --no-build-isolation ./python

links the module to a Gridvane installed in DIR (cmake --install BUILD
--prefix DIR) instead, by absolute RPATH, so that it shares one registry with
C code in the process that uses that library.

CMAKE_BUILD_PARALLEL_LEVEL sets how many jobs CMake's build runs.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SOURCES = sorted(os.path.relpath(p, HERE) for p in glob.glob(os.path.join(HERE, "src", "*.cpp")))


def checkout_version():
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(gridvane VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    """Builds the library and the module with CMake, and puts the module and
    the shared libraries it needs side by side in the package."""

    def build_extension(self, ext):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        stage = os.path.join(build, "stage")
        off = ["TESTS", "TOOLS", "EXAMPLES", "BENCH", "FUZZ"]
        configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     *(f"-DGRIDVANE_BUILD_{part}=OFF" for part in off), "-DGRIDVANE_BUILD_PYTHON=ON",
                     f"-DPython3_EXECUTABLE={sys.executable}", "-DGRIDVANE_PYTHON_RPATH=$ORIGIN",
                     f"-DCMAKE_INSTALL_PREFIX={stage}", "-DCMAKE_INSTALL_LIBDIR=lib",
                     "-DGRIDVANE_PYTHON_INSTALL_DIR=python"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", build], check=True)
        subprocess.run(["cmake", "--install", build], check=True)
        target = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        os.makedirs(target, exist_ok=True)
        (module,) = glob.glob(os.path.join(stage, "python", "gridvane", "_gridvane*.so"))
        shutil.copy2(module, self.get_ext_fullpath(ext.name))
        # Each library under the name the loader asks for (libgridvane.so.1:
        # the SONAME), as a file rather than a link: wheels carry no links.
        for link in glob.glob(os.path.join(stage, "lib", "*.so.*")):
            if re.search(r"\.so\.\d+$", link):
                shutil.copyfile(os.path.realpath(link), os.path.join(target, os.path.basename(link)))


def installed_extension(prefix):
    """The module linked to a Gridvane installed in prefix."""
    from pybind11.setup_helpers import Pybind11Extension

    candidates = ["lib", "lib64", os.path.join("lib", sysconfig.get_config_var("MULTIARCH") or "")]
    for libdir in (os.path.join(prefix, c) for c in candidates):
        if os.path.exists(os.path.join(libdir, "libgridvane.so")):
            return Pybind11Extension("gridvane._gridvane", SOURCES, cxx_std=20,
                                     include_dirs=[os.path.join(prefix, "include")], library_dirs=[libdir],
                                     runtime_library_dirs=[os.path.abspath(libdir)], libraries=["gridvane"],
                                     extra_compile_args=["-ffp-contract=off"])  # bit-identical sampling
    raise SystemExit(f"no libgridvane.so under {prefix}: install Gridvane there first (cmake --install)")


prefix = os.environ.get("GRIDVANE_PREFIX")
setup(
    name="gridvane",
    version=checkout_version(),
    description="2-D float32 tables, bilinear sampling and channel files, over the Gridvane library",
    packages=["gridvane"],
    package_data={"gridvane": ["py.typed", "*.pyi"]},
    python_requires=">=3.9",
    install_requires=["numpy"],
    extras_require={"pandas": ["pandas"]},
    ext_modules=[installed_extension(prefix) if prefix else Extension("gridvane._gridvane", SOURCES)],
    cmdclass={} if prefix else {"build_ext": CMakeBuild},
)
