"""Runs one pytest file for CTest. Exit status 77, which CTest shows as
skipped, when pytest is missing or a test could not run on this machine.

usage: run.py TEST_FILE [pytest options]"""
import sys


def main():
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
