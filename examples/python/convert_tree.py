#!/usr/bin/python3
"""Converts or checks every channel file under a folder, here or on a Dask cluster.

usage: convert_tree.py SRC --out DIR [--to binary|ascii] [--scheduler ADDRESS | --workers N] [--all]
       convert_tree.py SRC --check [--scheduler ADDRESS | --workers N] [--all]

Each channel file under SRC (a name the tools library knows: .chan, .cha,
.txt, .chb, .bchan; with --all every file, its form decided by content) is
loaded, and unless --check is given saved under DIR at the same relative path
with the new form's suffix (.chb or .chan). A file that fails does not stop
the others: the summary lists each failure by path, error number and the
library's message. Nothing is left half-written: the library gives each new
file its name only once it is complete.

Without --scheduler a LocalCluster of worker processes runs here. With
--scheduler ADDRESS (tcp://host:8786) the cluster's workers do the work; they
must have gridvane installed and see SRC and DIR under the same paths.

Exit status: 0 when every file went through, 1 when any failed, 2 for a usage
error. Table-form frames are not kept: the library saves the plain form.
"""
import argparse
import errno as errno_names
import logging
import os
import sys
import time

SUFFIX = {"binary": ".chb", "ascii": ".chan"}


def convert(src, dst, kind):
    """Loads src and saves it as dst (when given) in kind. Returns None, or
    (errno, message) for a failure. Runs on a worker."""
    import gridvane

    try:
        with gridvane.load(src) as table:
            if dst is not None:
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                table.save(dst, kind=kind)
    except OSError as e:  # gridvane.Error, or the folder could not be made
        return e.errno, e.strerror or str(e)
    except ValueError as e:
        return None, str(e)
    return None


def plan(src, out, kind, every_file):
    """The (source, destination) pairs, and failures found before any work:
    two sources that would be written to the same destination."""
    import gridvane

    jobs, failures, taken = [], [], {}
    for folder, dirs, files in os.walk(src):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            if not every_file and gridvane.kind_of_name(name) is None:
                continue
            dst = None
            if out is not None:
                dst = os.path.join(out, os.path.splitext(os.path.relpath(path, src))[0] + SUFFIX[kind])
                if dst in taken:
                    failures.append((path, None, f"{taken[dst]} is also converted to {dst}"))
                    continue
                taken[dst] = path
            jobs.append((path, dst))
    return jobs, failures


class Progress:
    """A bar on standard error: redrawn in place on a terminal, a line every tenth otherwise."""

    def __init__(self, total, stream=sys.stderr):
        self.total, self.stream, self.shown = total, stream, -1
        self.tty = stream.isatty()

    def update(self, done, failed):
        step = done * 10 // max(self.total, 1)
        if not self.tty and step == self.shown and done != self.total:
            return
        self.shown = step
        filled = 30 * done // max(self.total, 1)
        text = f"[{'#' * filled}{'.' * (30 - filled)}] {done}/{self.total}" + (f", {failed} failed" if failed else "")
        self.stream.write(("\r" + text + ("\n" if done == self.total else "")) if self.tty else text + "\n")
        self.stream.flush()


def run(client, jobs, kind, failures):
    """Runs every job on the cluster; appends (path, errno, message) for each failure."""
    from dask.distributed import as_completed

    futures = {client.submit(convert, src, dst, kind, pure=False): src for src, dst in jobs}
    progress = Progress(len(futures) + len(failures))
    progress.update(len(failures), len(failures))
    for done, future in enumerate(as_completed(futures), len(failures) + 1):
        try:
            result = future.result()
        except Exception as e:  # the task itself died (a worker lost, say)
            result = getattr(e, "errno", None), f"{type(e).__name__}: {e}"
        if result is not None:
            failures.append((futures[future], *result))
        progress.update(done, len(failures))


def summary(total, failures, checked, out):
    done = total - len(failures)
    print(f"{'checked' if checked else 'converted'} {done} of {total} files" + ("" if checked else f" into {out}"))
    for path, number, message in sorted(failures, key=lambda f: f[0]):
        name = errno_names.errorcode.get(number, "") if number is not None else ""
        print(f"failed: {path}: " + (f"errno {number} ({name}): " if number is not None else "") + message)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("src", help="the folder to walk")
    action = parser.add_mutually_exclusive_group(required=True)
    action.add_argument("--out", help="the folder to write the converted tree into")
    action.add_argument("--check", action="store_true", help="only load every file")
    parser.add_argument("--to", choices=sorted(SUFFIX), default="binary", help="the form to write (binary)")
    cluster = parser.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler to use")
    cluster.add_argument("--workers", type=int, default=os.cpu_count(), help="local worker processes")
    parser.add_argument("--all", action="store_true", help="every file, not only channel-file names")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.src):
        parser.error(f"{args.src} is not a folder")

    from dask.distributed import Client, LocalCluster

    jobs, failures = plan(args.src, args.out, args.to, args.all)
    total = len(jobs) + len(failures)
    start = time.perf_counter()
    if args.scheduler:
        with Client(args.scheduler) as client:
            run(client, jobs, args.to, failures)
    else:
        # Worker processes, one thread each, as on a cluster's machines.
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
            run(client, jobs, args.to, failures)
    summary(total, failures, args.check, args.out)
    print(f"{time.perf_counter() - start:.1f} s", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
