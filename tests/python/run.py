"""Runs one pytest file for CTest. Exit status 77, which CTest shows as
skipped, when pytest is missing or a test could not run on this machine.

usage: run.py TEST_FILE [pytest options]"""
import sys

for module, package in (("pytest", "python3-pytest"), ("numpy", "python3-numpy")):
    try:
        __import__(module)
    except ImportError:
        print(f"skipped: {module} is not installed ({package})")
        sys.exit(77)
import pytest  # noqa: E402

sys.exit(pytest.main(["-q", "-rs", "-p", "no:cacheprovider", *sys.argv[1:]]))
