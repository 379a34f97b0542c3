#!/usr/bin/python3
"""Converts or checks every channel file under a folder, here or on a Dask cluster.

usage: convert_tree.py SRC --out DIR [--to binary|ascii] [--drop-frames] [--lenient]
                       [--scheduler ADDRESS | --workers N] [--all]
       convert_tree.py SRC --check [--lenient] [--scheduler ADDRESS | --workers N] [--all]

Each channel file under SRC (a name the tools library knows: .chan, .cha,
.txt, .chb, .bchan; with --all every file, its form decided by content) is
loaded, and unless --check is given saved under DIR at the same relative path
with the new form's suffix (.chb or .chan). Camera files (the ASCII table
form) keep their frames and column names in ASCII; the binary form has no
frame column, so they fail to convert to it unless --drop-frames is given.

Every file is checked as it is loaded: one the reader would take other than
as written (a token that is no number, a decimal comma, a dropped value,
binary bytes under a text name, a truncated file) fails with its line and
column; --lenient converts such files as the library reads them. A file that
fails does not stop the others: the summary lists each failure. Nothing is
left half-written (the library gives each new file its name only once it is
complete), and no source file is ever written over: a destination that is a
source file, or that two sources would share, is a failure found before any
work starts. Ctrl-C stops the work and prints the summary so far.

Without --scheduler a LocalCluster of worker processes runs here. With
--scheduler ADDRESS (tcp://host:8786) the cluster's workers do the work; they
must have gridvane installed and see SRC and DIR under the same paths (both
are made absolute here first).

With --check the summary lists what the reader warns of too (a hexadecimal
number, a whole number a float rounds), and the exit status counts them, as
gridvane check does.

Exit status: 0 when every file went through, 1 when any failed (or, with
--check, was warned of), 2 for a usage error, 130 when interrupted.
"""
import argparse
import errno as errno_names
import logging
import os
import signal
import sys
import threading
import time

SUFFIX = {"binary": ".chb", "ascii": ".chan"}


def place(e):
    """":LINE:COLUMN" of a finding, as much as is known."""
    return "".join(f":{n}" for n in (e.line, e.column) if n is not None)


def convert(src, dst, kind, lenient=False, drop_frames=False):
    """Loads src and saves it as dst (when given) in kind. Returns (failure,
    warnings): failure None, or (errno, where, message), where being
    ":LINE:COLUMN" for a place in the file; warnings a list of (where,
    message) for what only fills the format. Runs on a worker."""
    import warnings

    import gridvane

    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", gridvane.FormatWarning)
            table = gridvane.load(src, lenient=lenient)
        said = [(place(w.message), w.message.strerror) for w in caught if isinstance(w.message, gridvane.FormatWarning)]
        with table:
            if dst is not None:
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                table.save(dst, kind=kind, drop_frames=drop_frames)
    except gridvane.FormatError as e:
        return (e.errno, place(e), e.strerror), []
    except OSError as e:  # gridvane.Error, or the folder could not be made
        return (e.errno, "", e.strerror or str(e)), []
    except ValueError as e:
        return (None, "", str(e)), []
    return None, said


def plan(src, out, kind, every_file):
    """The (source, destination) pairs, and failures found before any work:
    a destination that is a source file, or that two sources share. Paths
    are absolute, so that workers elsewhere write where this process means."""
    import gridvane

    src = os.path.abspath(src)
    out = os.path.abspath(out) if out is not None else None
    sources = []
    for folder, dirs, files in os.walk(src):
        dirs.sort()
        for name in sorted(files):
            if every_file or gridvane.kind_of_name(name) is not None:
                sources.append(os.path.join(folder, name))
    if out is None:
        return [(path, None) for path in sources], []
    destination = {path: os.path.join(out, os.path.splitext(os.path.relpath(path, src))[0] + SUFFIX[kind])
                   for path in sources}
    # A file already there under another name (a link, another spelling) is the same file.
    existing = {os.path.realpath(path): path for path in sources}
    jobs, failures, sharing = [], [], {}
    for path, dst in destination.items():
        sharing.setdefault(dst, []).append(path)
    for path, dst in destination.items():
        over = existing.get(os.path.realpath(dst))
        others = [p for p in sharing[dst] if p != path]
        if over is not None:
            failures.append((path, None, "", f"{dst} is a source file: it is not written over"))
        elif others:
            failures.append((path, None, "", f"{', '.join(others)} would be converted to {dst} as well"))
        else:
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


def run(client, jobs, kind, failures, warned, options, stop):
    """Runs every job on the cluster; appends (path, errno, where, message)
    for each failure and (path, where, message) for each warning. Returns
    the sources whose jobs did not report: none, unless stop was set
    (Ctrl-C), when the jobs not yet started are cancelled."""
    from dask.distributed import as_completed

    futures = {client.submit(convert, src, dst, kind, *options, pure=False): src for src, dst in jobs}
    planned = len(failures)
    progress = Progress(len(futures) + planned)
    progress.update(planned, planned)
    counted = set()

    def take(future):
        try:
            failure, said = future.result()
        except Exception as e:  # the task itself died (a worker lost, say)
            failure, said = (getattr(e, "errno", None), "", f"{type(e).__name__}: {e}"), []
        counted.add(future)
        if failure is not None:
            failures.append((futures[future], *failure))
        warned.extend((futures[future], *w) for w in said)
        progress.update(planned + len(counted), len(failures))

    pending = as_completed(futures)
    # Polled rather than waited on, so that a Ctrl-C is seen at once.
    while not pending.is_empty() and not stop.is_set():
        batch = pending.next_batch(block=False)
        if not batch:
            stop.wait(0.05)
            continue
        for future in batch:
            take(future)
    if stop.is_set():
        # Interrupted: what has not started is cancelled; what runs may still
        # write its file, counted once the workers are gone.
        client.cancel([f for f in futures if f not in counted])
    return [src for f, src in futures.items() if f not in counted]


def written_since(jobs, left, began):
    """How many of the jobs left wrote their file after began: a save takes
    its name only once the file is whole, so a file there is one done."""
    destination = dict(jobs)
    return sum(1 for src in left if destination[src] is not None and os.path.exists(destination[src]) and
               os.path.getmtime(destination[src]) >= began)


def summary(total, done, failures, warned, checked, out):
    """What went through, each failure and (checking) each warning, on
    standard output."""
    went = done - len(failures)
    interrupted = done < total
    print(f"{'checked' if checked else 'converted'} {went} of {total} files" + ("" if checked else f" into {out}") +
          (f", {len(warned)} warnings" if checked and warned else "") +
          (f" (interrupted after {done})" if interrupted else ""))
    for path, number, where, message in sorted(failures, key=lambda f: f[0]):
        name = errno_names.errorcode.get(number, "") if number is not None else ""
        print(f"failed: {path}{where}: " + (f"errno {number} ({name}): " if number is not None else "") + message)
    if checked:
        for path, where, message in sorted(warned, key=lambda w: w[0]):
            print(f"warning: {path}{where}: {message}")


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
    parser.add_argument("--lenient", action="store_true", help="read every file as the library does, unchecked")
    parser.add_argument("--drop-frames", action="store_true",
                        help="convert camera files to the binary form without their frames and names")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.src):
        parser.error(f"{args.src} is not a folder")

    # Ctrl-C stops the work where it is and leaves the summary so far; a
    # second one ends the process at once. Until the cluster runs it is
    # held back: ignored, so that the worker processes start ignoring it
    # (a terminal's Ctrl-C reaches the whole process group, and only this
    # process acts on it), and blocked before any thread starts, so that
    # every thread Dask starts blocks it too and one sent meanwhile is kept
    # (a blocked signal is kept even while ignored) for this one's handler.
    stop = threading.Event()

    def interrupted(signum, frame):
        stop.set()
        signal.signal(signal.SIGINT, signal.default_int_handler)

    # (multiprocessing's resource tracker, started on first use, unblocks
    # SIGINT in the thread that starts it, which would drop one held here:
    # it is started first.)
    from multiprocessing import resource_tracker

    resource_tracker.ensure_running()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})

    from dask.distributed import Client, LocalCluster

    # Dask's own account of closing connections when work is cancelled is
    # no news to the user, who gets the summary: none of its log is shown.
    quiet = logging.CRITICAL + 1
    logging.getLogger("distributed").setLevel(quiet)

    out = os.path.abspath(args.out) if args.out is not None else None
    jobs, failures = plan(args.src, out, args.to, args.all)
    total = len(jobs) + len(failures)
    start = time.perf_counter()
    began = time.time()
    options = (args.lenient, args.drop_frames)
    warned = []
    left = [src for src, _ in jobs]
    if args.scheduler:
        signal.signal(signal.SIGINT, interrupted)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        with Client(args.scheduler) as client:
            left = run(client, jobs, args.to, failures, warned, options, stop)
    else:
        # Worker processes, one thread each, as on a cluster's machines.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=quiet)
        signal.signal(signal.SIGINT, interrupted)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        with cluster, Client(cluster) as client:
            if not stop.is_set():
                left = run(client, jobs, args.to, failures, warned, options, stop)
    # The workers are gone: a file on disk now is one that was done.
    finished = len(jobs) - len(left) + written_since(jobs, left, began)
    done = total - len(jobs) + finished
    summary(total, done, failures, warned, args.check, out)
    print(f"{time.perf_counter() - start:.1f} s", file=sys.stderr)
    if done < total:
        return 130
    return 1 if failures or (args.check and warned) else 0


if __name__ == "__main__":
    sys.exit(main())
