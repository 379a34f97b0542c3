"""The coverage of the library's sources by the test suite, by folder: lines
and branches run, the lines marked as never run with the reason why, and a
failure when a folder falls below the floor kept in cmake/coverage-floor.txt.

Branches are counted two ways, side by side: plain (every branch gcov
sees) and filtered (without the arcs of exceptions thrown and of branches
the compiler made unreachable, which no test can take). The floor holds the
filtered figure, and says so.

usage: coverage_summary.py BUILD SOURCE FLOOR

Reads the counts the instrumented build left (gcovr, over gcov). A line that
the tests cannot run carries a marker with a one-line reason, as in

    return -1; // GCOVR_EXCL_LINE defensive: the system never answers so

and the summary counts the markers and their reasons."""
import collections
import json
import os
import re
import subprocess
import sys
import tempfile

# The folders whose coverage is measured, and which files of a folder count
# (the POSIX half of the platform folder: what runs here).
FOLDERS = {
    "src/formats": None,
    "src/io": None,
    "src/registry": None,
    "src/storage": None,
    "src/common": None,
    "src/platform": {"posix.cpp", "seam.cpp", "streams.cpp", "through.hpp", "system.hpp"},
}
MARKER = re.compile(r"GCOVR_EXCL_(?:LINE|START|BR_LINE)\s*:?\s*(?P<reason>[^*/]*)")


def counts(build, source, filtered):
    """gcovr's summary by file; filtered leaves out throw and unreachable arcs."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "summary.json")
        # One gcov at a time: gcovr's workers run gcov for objects of
        # different targets in one shared folder, where they write and remove
        # the same files (a header's), and fail at random.
        leave_out = ["--exclude-throw-branches", "--exclude-unreachable-branches"] if filtered else []
        subprocess.run(["gcovr", "--root", source, "--object-directory", build, "--filter", os.path.join(source, "src"),
                        *leave_out, "-j", "1", "--json-summary", out, build], check=True, stdout=subprocess.DEVNULL)
        with open(out) as f:
            return json.load(f)["files"]


def folder_of(path):
    folder, name = os.path.dirname(path), os.path.basename(path)
    wanted = FOLDERS.get(folder, False)
    if wanted is False or (wanted is not None and name not in wanted):
        return None
    return folder


def markers(source):
    reasons = collections.Counter()
    for folder, wanted in FOLDERS.items():
        for name in sorted(os.listdir(os.path.join(source, folder))):
            if wanted is not None and name not in wanted:
                continue
            with open(os.path.join(source, folder, name), encoding="utf-8") as f:
                for line in f:
                    for m in MARKER.finditer(line):
                        reasons[m.group("reason").strip().split(":")[0] or "(no reason)"] += 1
    return reasons


def percent(covered, total):
    return 100.0 * covered / total if total else 100.0


def main():
    build, source, floor_file = (os.path.abspath(a) for a in sys.argv[1:4])
    # lines covered, lines, branches covered, branches (filtered), branches covered, branches (plain)
    totals = collections.defaultdict(lambda: [0, 0, 0, 0, 0, 0])
    for filtered in (True, False):
        for f in counts(build, source, filtered):
            folder = folder_of(f["filename"])
            if folder is None:
                continue
            t = totals[folder]
            if filtered:
                t[0] += f["line_covered"]
                t[1] += f["line_total"]
                t[2] += f["branch_covered"]
                t[3] += f["branch_total"]
            else:
                t[4] += f["branch_covered"]
                t[5] += f["branch_total"]
    floors = {}
    with open(floor_file) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                folder, lines, branches = line.split()
                floors[folder] = (float(lines), float(branches))

    print(f"{'folder':<16} {'lines':>20} {'branches, plain':>21} {'branches, filtered':>21}")
    failed = []
    for folder in FOLDERS:
        lc, lt, bc, bt, pc, pt = totals[folder]
        lines, branches, plain = percent(lc, lt), percent(bc, bt), percent(pc, pt)
        print(f"{folder:<16} {lc:>6}/{lt:<6} {lines:5.1f}% {pc:>7}/{pt:<6} {plain:5.1f}% {bc:>7}/{bt:<6} {branches:5.1f}%")
        low = floors.get(folder)
        if low and (lines + 1e-9 < low[0] or branches + 1e-9 < low[1]):
            failed.append(f"{folder}: {lines:.1f}% of lines, {branches:.1f}% of branches (filtered); the floor is "
                          f"{low[0]:.1f}% and {low[1]:.1f}%")
    print("branches, filtered: without the arcs of thrown exceptions and of branches the compiler made "
          "unreachable; the floor holds the filtered figure")
    reasons = markers(source)
    print(f"lines marked as never run: {sum(reasons.values())}; the commonest reasons: " +
          ", ".join(f"{reason} ({n})" for reason, n in reasons.most_common(3)))
    for line in failed:
        print("below the floor: " + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
