"""The command-line tool. A wheel carries it in the package folder, beside
the libraries it loads ("$ORIGIN"), and the `gridvane` command pip puts in
the environment's bin runs it in its own place."""

from __future__ import annotations

import os
import signal
import sys


def main() -> None:
    tool = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", "gridvane")
    if not os.access(tool, os.X_OK):
        sys.exit(f"gridvane: this installation of the package has no command-line tool ({tool}): "
                 "the wheels carry it, a build from the checkout has it in its bin folder")
    # The tool starts as any program: Python ignores SIGPIPE and SIGXFSZ,
    # and ignored signals would stay ignored across exec.
    for name in ("SIGPIPE", "SIGXFSZ"):
        signal.signal(getattr(signal, name), signal.SIG_DFL)
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(tool, ["gridvane", *sys.argv[1:]])
