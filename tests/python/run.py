"""Runs one pytest file for CTest. Exit status 77, which CTest shows as
skipped, when pytest is missing or a test could not run on this machine.

usage: run.py TEST_FILE [pytest options]"""
import sys

try:
    import pytest
except ImportError:
    print("skipped: pytest is not installed (python3-pytest)")
    sys.exit(77)

sys.exit(pytest.main(["-q", "-rs", "-p", "no:cacheprovider", *sys.argv[1:]]))
