"""The gridvane tool as a user meets it: grouped cases with expected output
and exit status. Usage: cli_test.py TOOL EXAMPLES_DIR BAD_FILES_DIR VERSION [RUNNER...]
(VERSION: the project's, which --version must print; RUNNER: what runs TOOL,
such as wine for a Windows build)."""
import json
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

TOOL, DATA, BAD = (os.path.abspath(a) for a in sys.argv[1:4])
VERSION = sys.argv[4]
RUNNER = sys.argv[5:]
WINDOWS = TOOL.endswith(".exe")
TOOLS_DIR = os.path.join(DATA, "..", "..", "tools")
CAMERA = os.path.join(DATA, "camera.chan")
TERRAIN = os.path.join(DATA, "terrain.txt")
TERRAIN_BIN = os.path.join(DATA, "terrain.chb")
CAMERA_TABLE = (b"| pan tilt focal\n---------------\n1\t|\t0\t-5\t35\n12\t|\t8.25\t-4.5\t35\n"
                b"24\t|\t21\t-2\t40\n36\t|\t37.5\t1.25\t50\n48\t|\t52\t3\t65\n60\t|\t60\t3.5\t85\n")


def run(*args, stdin=b"", cwd=None, stdout=None):
    # Under Wine on a loaded machine a process now and then fails to start or
    # to end: it exits with nothing said, or its loader stops on "Inconsistency
    # detected by ld.so". The tool says why whenever it fails, so such a run is
    # the emulator's, and it is tried again, at most twice.
    for attempt in range(3 if RUNNER else 1):
        done = subprocess.run([*RUNNER, TOOL, *args], input=stdin, stdout=stdout or subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60, cwd=cwd)
        lost = done.returncode != 0 and not done.stdout and not done.stderr
        if not lost and b"Inconsistency detected by ld.so" not in done.stderr:
            break
    return done.returncode, done.stdout, done.stderr.decode()


def binary_table(columns, rows, values=None, magic=b"chan"):
    values = values if values is not None else [float(i) for i in range(columns * rows)]
    return magic + bytes(4) + struct.pack("<hh", columns, rows) + bytes(52) + struct.pack(f"<{len(values)}f", *values)


def big_endian(little):
    """The same table in the other byte order."""
    big = bytearray(little)
    big[0:4] = b"nahc"
    big[8:10], big[10:12] = little[9:7:-1], little[11:9:-1]
    for i in range(64, len(big), 4):
        big[i:i + 4] = little[i:i + 4][::-1]
    return bytes(big)


def posix_only(reason):
    return unittest.skipIf(WINDOWS, f"Windows has no {reason}")


class Folder(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def file(self, name, content):
        path = os.path.join(self.dir, name)
        with open(path, "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
        return path


class Outputs(unittest.TestCase):
    def test_cases(self):
        with open(TERRAIN_BIN, "rb") as f:
            terrain_bin = f.read()
        cases = [
            # args, stdin, exit, expected stdout
            (["sample", TERRAIN, "1.5", "2.5"], b"", 0, b"18\n"),
            (["sample", TERRAIN, "-3", "99"], b"", 0, b"11\n"),
            (["sample", TERRAIN], b"0 0\n1.5 2.5\n\n# a comment\n9 -9 # and another\n", 0, b"12\n18\n14\n"),
            (["sample", TERRAIN, "--format", "csv"], b"0 0\n", 0, b"u,v,value\n0,0,12\n"),
            (["sample", CAMERA, "--frame", "30"], b"", 0, b"29.25\n-0.375\n45\n"),
            (["sample", CAMERA, "--frame", "30", "2"], b"", 0, b"45\n"),
            # Fractional frames interpolate along the frame column.
            (["sample", CAMERA, "--frame", "30.5", "--format", "tsv"], b"", 0,
             b"30.5\t29.937502\t-0.23958308\t45.416668\n"),
            (["sample", CAMERA, "--frame", "1e1", "0"], b"", 0, b"6.75\n"),
            (["sample", CAMERA, "--frames", "12:36:12", "0", "2"], b"", 0, b"12\t8.25\t35\n24\t21\t40\n36\t37.5\t50\n"),
            (["sample", CAMERA, "--frames", "-", "0"], b"12\n# skipped\n\n24.5\n", 0, b"12\t8.25\n24.5\t21.687502\n"),
            (["sample", CAMERA, "--frames", "1:12:11", "--format", "csv"], b"", 0,
             b"frame,pan,tilt,focal\n1,0,-5,35\n12,8.25,-4.5,35\n"),
            (["sample", "-", "0.5", "0"], terrain_bin, 0, b"12.75\n"),
            (["slice", TERRAIN, "--rows", "1:3", "--cols", ":2"], b"", 0, b"\t13\t15\n\t13.5\t16.5\n"),
            (["slice", "-", "--rows", "4:"], b"1 2\n3 4\n5 6\n7 8\n9 10\n", 0, b"\t9\t10\n"),
            # Ranges clamp like Python slices.
            (["slice", TERRAIN, "--cols", ":100", "--rows", "-1:"], b"", 0, b"\t11\t13\t15\t16.5\t15\t13.5\n"),
            (["slice", CAMERA, "--rows", "1:3", "--cols", "1:"], b"", 0,
             b"| tilt focal\n-----------\n12\t|\t-4.5\t35\n24\t|\t-2\t40\n"),
            (["slice", CAMERA, "--rows", "1:2", "--plain"], b"", 0, b"\t8.25\t-4.5\t35\n"),
            (["slice", CAMERA, "--rows", ":1", "--format", "tsv"], b"", 0, b"1\t0\t-5\t35\n"),
            # A step picks every STEP-th row or column, in either form.
            (["slice", TERRAIN, "--rows", "::2", "--cols", "1:6:2"], b"", 0,
             b"\t13.5\t16\t14\n\t16.5\t24.5\t16\n\t13\t16.5\t13.5\n"),
            (["slice", TERRAIN, "--rows", "-2::7", "--cols", "::100"], b"", 0, b"\t12.5\n"),
            (["slice", CAMERA, "--rows", "1::2", "--cols", "::2"], b"", 0,
             b"| pan focal\n----------\n12\t|\t8.25\t35\n36\t|\t37.5\t50\n60\t|\t60\t85\n"),
            (["slice", CAMERA, "--rows", "::3", "--cols", "2:", "--format", "csv"], b"", 0,
             b"frame,focal\n1,35\n36,50\n"),
            (["convert", "-", "-", "--to", "ascii"], terrain_bin, 0, None),
            (["convert", CAMERA, "-", "--to", "ascii"], b"", 0, CAMERA_TABLE),
            # Text for people: the shortest digits that read back the same.
            (["convert", "-", "-", "--to", "ascii"], b"0.1 1e-07 16777216\n", 0, b"\t0.1\t1e-07\t16777216\n"),
            (["--version"], b"", 0, f"gridvane {VERSION}\n".encode()),
        ]
        for args, stdin, status, out in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run(*args, stdin=stdin)
                self.assertEqual(code, status, stderr)
                if out is not None:
                    self.assertEqual(stdout, out)
                # Only the camera's comment, which the table does not keep, is said.
                self.assertIn(stderr, ("", f"gridvane: warning: {CAMERA}: 1 line with a '#' comment: a table keeps "
                                           "no comments, and standard output has none of them\n"))

    def test_json_formats(self):
        code, out, _ = run("sample", CAMERA, "--frames", "12:24:12", "--format", "json")
        self.assertEqual((code, json.loads(out)), (0, [{"frame": 12, "pan": 8.25, "tilt": -4.5, "focal": 35},
                                                       {"frame": 24, "pan": 21, "tilt": -2, "focal": 40}]))
        code, out, _ = run("slice", TERRAIN, "--rows", ":1", "--cols", ":2", "--format", "json")
        self.assertEqual((code, json.loads(out)), (0, [{"column 0": 12, "column 1": 13.5}]))

    def test_info(self):
        code, out, _ = run("info", CAMERA)
        self.assertEqual(code, 0)
        self.assertEqual(out.decode().splitlines(), [
            f"{CAMERA}: ASCII, table form, 3 columns x 6 rows",
            "  frames 1 to 60",
            "  pan: min 0, max 60, mean 29.79166667, 0 NaN",
            "  tilt: min -5, max 3.5, mean -0.625, 0 NaN",
            "  focal: min 35, max 85, mean 51.66666667, 0 NaN",
        ])
        # One JSON document whatever the number of files: an array.
        code, out, _ = run("info", "--json", CAMERA)
        (table,) = json.loads(out)
        self.assertEqual([c["name"] for c in table["column_stats"]], ["pan", "tilt", "focal"])
        self.assertEqual((table["frames"], table["column_stats"][0]["min"]), ([1, 60], 0))
        code, out, _ = run("info", "--json", TERRAIN, TERRAIN_BIN)
        self.assertEqual(code, 0)
        tables = json.loads(out)
        self.assertEqual([t["kind"] for t in tables], ["ASCII, plain", "binary, little-endian"])
        self.assertEqual(tables[0]["column_stats"], tables[1]["column_stats"])
        self.assertEqual((tables[0]["columns"], tables[0]["rows"], tables[0]["frames"]), (6, 5, None))
        # The mean as the table's floats print (14.7, not 14.699999999999999).
        self.assertEqual(tables[0]["column_stats"][1]["mean"], 14.7)
        self.assertIn(b"14.7,", out)
        # Names that are not UTF-8 (Latin-1, overlong forms, a surrogate, a
        # code point beyond U+10FFFF) escaped so that the document is, their
        # bytes recoverable; UTF-8 as it is.
        names = [b"caf\xe9", b"a\xc0\x80b", b"\xe0\x80\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc3\xa9t\xc3\xa9"]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "names.chan")
            with open(path, "wb") as f:
                f.write(b"| " + b" ".join(names) + b"\n-\n1 | " + b" ".join(b"2" for _ in names) + b"\n")
            code, out, _ = run("info", "--json", path)
        (table,) = json.loads(out.decode("utf-8"))
        self.assertEqual([c["name"].encode("utf-8", "surrogateescape") for c in table["column_stats"]], names)
        self.assertIn("été".encode(), out)

    def test_big_endian_and_nan(self):
        with tempfile.TemporaryDirectory() as d:
            with open(TERRAIN_BIN, "rb") as f:
                big = big_endian(f.read())
            # The library reads a big-endian file only under a binary name;
            # under another the tool refuses it as the library does.
            paths = {name: os.path.join(d, name) for name in ("big.dat", "big.chb")}
            for path in paths.values():
                with open(path, "wb") as f:
                    f.write(big)
            for extra in ([], ["--lenient"]):
                code, out, err = run("info", *extra, paths["big.dat"])
                self.assertEqual((code, out), (1, b""))
                self.assertEqual(err, f"gridvane: info: {paths['big.dat']}:1:1: invalid file format: big-endian "
                                 "binary data is read only under a binary name (.chb, .bchan) or with the binary "
                                 "form given\n")
            code, out, err = run("info", "--json", paths["big.chb"], TERRAIN_BIN)
            self.assertEqual(code, 0, err)
            tables = json.loads(out)
            self.assertEqual([t["kind"] for t in tables], ["binary, big-endian", "binary, little-endian"])
            self.assertEqual(tables[0]["column_stats"], tables[1]["column_stats"])
            self.assertEqual(run("sample", paths["big.chb"], "1.5", "2.5")[:2], (0, b"18\n"))
            # NaN is a warning: read, counted, and said on standard error.
            nan = os.path.join(d, "nan.dat")
            with open(nan, "w") as f:
                f.write("nan 1\n2 nan\n")
            code, out, err = run("info", "--json", nan)
            self.assertEqual((code, [c["nan"] for c in json.loads(out)[0]["column_stats"]]), (0, [1, 1]))
            self.assertEqual(err, f"gridvane: warning: {nan}:1:1: NaN\ngridvane: warning: {nan}:2:3: NaN\n")


class Files(Folder):
    def test_convert_round_trip_and_refusal(self):
        chb, txt = os.path.join(self.dir, "t.chb"), os.path.join(self.dir, "t.chan")
        self.assertEqual(run("convert", TERRAIN, chb)[0], 0)
        self.assertEqual(run("convert", chb, txt)[0], 0)
        with open(txt) as f:
            self.assertEqual(f.readline(), "\t12\t13.5\t15\t16\t15.5\t14\n")
        # --to decides for a name of no known form, and may not contradict one.
        forced = os.path.join(self.dir, "forced.dat")
        self.assertEqual(run("convert", TERRAIN, forced, "--to", "binary")[0], 0)
        with open(forced, "rb") as f:
            self.assertEqual(f.read(4), b"chan")
        for name, to, said in (("mis.chan", "binary", "an ASCII file, and the binary"),
                               ("mis.chb", "ascii", "a binary file, and the ASCII")):
            with self.subTest(name=name):
                code, _, err = run("convert", TERRAIN, os.path.join(self.dir, name), "--to", to)
                self.assertEqual(code, 2)
                self.assertRegex(err, rf"^gridvane: convert: .*{name}: the name is that of {said} form was asked\n")
        tall = self.file("tall.dat", "1\n" * 40000)
        out = os.path.join(self.dir, "tall.chb")
        code, _, err = run("convert", tall, out)
        self.assertEqual(code, 1)
        self.assertRegex(err, r"tall.dat: the table is 1 columns x 40000 rows; the binary form holds at most 32767")
        self.assertEqual(sorted(os.listdir(self.dir)), ["forced.dat", "t.chan", "t.chb", "tall.dat"])

    def test_camera_files_stay_whole(self):
        copy = os.path.join(self.dir, "copy.chan")
        # The camera's comment is said to be lost, not lost quietly.
        lost = f"gridvane: warning: {CAMERA}: 1 line with a '#' comment: a table keeps no comments, and {copy} has none "
        for extra, expected in (([], CAMERA_TABLE), (["--plain"], None)):
            code, _, err = run("convert", CAMERA, copy, *extra)
            self.assertEqual((code, err), (0, lost + "of them\n"))
            with open(copy, "rb") as f:
                text = f.read()
            if expected:
                self.assertEqual(text, expected)
                self.assertEqual(run("info", copy)[1], run("info", CAMERA)[1].replace(CAMERA.encode(), copy.encode()))
            else:
                self.assertEqual(text.splitlines()[0], b"\t0\t-5\t35")
        code, _, err = run("convert", CAMERA, os.path.join(self.dir, "c.chb"))
        self.assertEqual(code, 0)
        self.assertRegex(err, r"^gridvane: warning: .*camera.chan: the binary form has no frame column")

    @posix_only("symbolic links, hard links and POSIX modes")
    def test_saves_keep_what_the_library_keeps(self):
        plain = self.file("plain.chan", "1 2\n3 4\n")
        target = self.file("s.chan", binary_table(1, 1))
        os.chmod(target, 0o600)
        os.symlink("s.chan", os.path.join(self.dir, "link.chan"))
        os.link(target, os.path.join(self.dir, "hard.chan"))
        read_only = self.file("ro.chan", b"old")
        os.chmod(read_only, 0o444)
        for name in ("s.chan", "link.chan", "ro.chan"):
            with self.subTest(name=name):
                code, _, err = run("convert", plain, name, cwd=self.dir)
                if name == "ro.chan" and os.geteuid() != 0:  # refused, as a plain open is
                    self.assertEqual(code, 1)
                    self.assertRegex(err, r"^gridvane: convert: ro.chan: Permission denied\n$")
                    continue
                self.assertEqual((code, err), (0, ""))
                with open(os.path.join(self.dir, name)) as f:
                    self.assertEqual(f.read(), "\t1\t2\n\t3\t4\n")
        self.assertEqual(os.stat(target).st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(target).st_nlink, 2)
        self.assertTrue(os.path.islink(os.path.join(self.dir, "link.chan")))
        self.assertEqual(os.stat(read_only).st_mode & 0o777, 0o444)
        self.assertEqual(sorted(os.listdir(self.dir)), ["hard.chan", "link.chan", "plain.chan", "ro.chan", "s.chan"])

    def test_only_dash_is_a_standard_stream(self):
        plain = self.file("plain.chan", "1 2\n")
        self.file("stdin_cam.chan", "5 6\n")
        self.assertEqual(run("convert", plain, "stdout_take2.chan", cwd=self.dir), (0, b"", ""))
        with open(os.path.join(self.dir, "stdout_take2.chan")) as f:
            self.assertEqual(f.read(), "\t1\t2\n")
        code, out, _ = run("info", "stdin_cam.chan", stdin=b"9 9 9\n", cwd=self.dir)
        self.assertEqual((code, out.splitlines()[0]), (0, b"stdin_cam.chan: ASCII, plain, 2 columns x 1 rows"))

    @posix_only("POSIX signals")
    def test_signals_remove_the_temporary(self):
        source = self.file("big.chb", binary_table(1000, 4000, [0.123456789] * 4000000))
        target = self.file("out.chan", "old\n")
        folder, source = os.path.realpath(self.dir), os.path.realpath(source)

        # The save is under way once the tool holds a new file in the folder,
        # named or (on Linux) unnamed, which /proc shows either way.
        def saving(pid):
            try:
                links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
            except OSError:
                return False
            return any(link.startswith(folder + "/") and link != source for link in links)

        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig):
                p = subprocess.Popen([TOOL, "convert", source, target])
                while p.poll() is None and not saving(p.pid):
                    time.sleep(0.001)
                p.send_signal(sig)
                p.wait()
                # A skip would show as passed in CTest: a finished conversion fails.
                self.assertNotEqual(p.returncode, 0, "the conversion finished before the signal")
                self.assertEqual(p.returncode, -sig)
                self.assertEqual(sorted(os.listdir(self.dir)), ["big.chb", "out.chan"])
                with open(target) as f:
                    self.assertEqual(f.read(), "old\n")

    def test_plot(self):
        for source, shape in ((CAMERA, "<polyline"), (TERRAIN, "<rect")):
            out = os.path.join(self.dir, "p.svg")
            self.assertEqual(run("plot", source, "--output", out)[0], 0)
            with open(out) as f:
                svg = f.read()
            self.assertTrue(svg.startswith("<svg") and svg.rstrip().endswith("</svg>"))
            self.assertIn(shape, svg)
        self.assertIn(b">focal</text>", run("plot", CAMERA, "-o", "-")[1])  # header names in the legend
        code, out, _ = run("plot", TERRAIN, "-o", "-", "--curves")
        self.assertEqual(code, 0)
        self.assertEqual(out.count(b"<polyline"), 6)

    def test_plot_thins_long_curves(self):
        # Far more rows than pixels: each pixel column keeps its lowest and
        # highest point, so a one-row spike survives, a NaN still breaks the
        # curve, and the picture stays small.
        rows = 300000
        lines = ["0 0.5\n"] * rows
        lines[123457], lines[150000] = "1 0.5\n", "nan 0.5\n"
        source = self.file("long.txt", "".join(lines))
        code, out, err = run("plot", source, "-o", "-")
        self.assertEqual((code, err), (0, f"gridvane: warning: {source}:150001:1: NaN\n"))
        self.assertLess(len(out), 100000)
        self.assertEqual(out.count(b"<polyline"), 3)
        spike = 40 + 340 - 1.05 / 1.1 * 340  # the y of value 1 between the padded limits -0.05 and 1.05
        self.assertIn(f",{spike:.6g} ".encode(), out)
        self.assertNotIn(b"nan", out)

    def test_double_dash_ends_options(self):
        self.file("-x.chan", "1 2\n3 4\n")
        cases = [
            # args, exit, stdout, stderr pattern
            (["info", "--", "-x.chan"], 0, b"-x.chan: ASCII, plain, 2 columns x 2 rows\n", r"^$"),
            (["info", "-x.chan"], 2, b"", r"^gridvane: info: unknown option -x.chan\n"),
            (["info", "--", "-h"], 1, b"", r"^gridvane: info: -h: No such file or directory\n$"),
            (["slice", "--rows", "1:", "--", "-x.chan"], 0, b"\t3\t4\n", r"^$"),
            (["convert", "--", "-x.chan", "-y.chb"], 0, b"", r"^$"),
            (["sample", "--", "-y.chb", "1", "1"], 0, b"4\n", r"^$"),
        ]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run(*args, cwd=self.dir)
                self.assertEqual((code, stdout.splitlines(True)[:1]), (status, out.splitlines(True)[:1]))
                self.assertRegex(stderr, err)


class Failures(Folder):
    def test_failures_and_usage(self):
        zero = self.file("zero.chb", binary_table(0, 3))
        lone = os.path.join(BAD, "lone_frame.chan")
        # Rows of 8,000 bytes from 2 bytes each pass 256 times the input at row 2,378.
        amp = self.file("amp.txt", " ".join(["0"] * 2000) + "\n" + "0\n" * 2400)
        cases = [
            (["info", "--lenient", amp], b"", 1, r"^gridvane: info: .*amp.txt:2378:1: the table would reach 19024000 bytes"),
            (["info", "--lenient", "-"], open(amp, "rb").read(), 1, r"standard input:2378:1: the table would reach"),
            (["info", "--max-growth", "x", amp], b"", 2, r"--max-growth is not a whole number: 'x'"),
            (["info", "--max-growth=-1", amp], b"", 2, r"--max-growth is 0 \(no bound\) or more, not -1"),
            # args, stdin, exit, stderr pattern
            (["info", "no-such.chan"], b"", 1, r"^gridvane: info: no-such.chan: No such file or directory\n$"),
            # Windows opens no folder as a file, and says so as for a file it may not read.
            (["info", self.dir], b"", 1, rf"^gridvane: info: .*: {'Permission denied' if WINDOWS else 'Is a directory'}\n$"),
            (["info", "-"], b"x 1\n", 1, r"^gridvane: info: standard input:1:1: invalid file format: 'x' cannot begin"),
            (["info", os.path.join(BAD, "header_cut.chb")], b"", 1, r": truncated header: 30 of 64 bytes\n$"),
            (["sample", CAMERA, "--frame", "99"], b"", 1, r"^gridvane: sample: frame 99 lies outside .*\(1 to 60\)\n$"),
            (["sample", TERRAIN, "x", "1"], b"", 2, r"^gridvane: sample: U is not a number: 'x'\nusage:"),
            (["sample", TERRAIN], b"1 2\n1 2 3\n", 1, r"^gridvane: sample: standard input: line 2: 3 fields, not a U V pair\n$"),
            (["sample", TERRAIN], b"0 0\n# x\n1 y\n", 1, r"^gridvane: sample: standard input: line 3: V 'y' is not a number\n$"),
            (["sample", CAMERA, "--frames", "-"], b"12\nz\n", 1, r"^gridvane: sample: standard input: line 2: 'z' is not a frame"),
            (["sample", TERRAIN, "--frame", "1"], b"", 1, r"has no frame column"),
            # A long range is walked frame by frame, not gathered first.
            (["sample", CAMERA, "--frames", "1:1e15", "0"], b"", 1, r"^gridvane: sample: frame 61 lies outside"),
            (["sample", CAMERA, "--frames", "1:inf"], b"", 2, r"^gridvane: sample: --frames 1:inf needs finite numbers\n"),
            (["sample", CAMERA, "--frames", "1:2:1e-300"], b"", 2, r"more frames than can be counted"),
            (["sample", zero, "0", "0"], b"", 1, r"^gridvane: warning: .*zero.chb:1:9: no samples: 0 columns x 3 rows\n"
             r"gridvane: sample: .*zero.chb: the table has no samples \(0 columns x 3 rows\)\n$"),
            (["sample", "--lenient", lone, "--frame", "5"], b"", 1, r"^gridvane: sample: .*lone_frame.chan: the table has no samples"),
            (["sample", CAMERA, "0", "0", "--strict", "--lenient"], b"", 2, r"say --lenient or --strict, not both"),
            (["slice", TERRAIN, "--cols", "::0"], b"", 2, r"--cols ::0: the step must be 1 or more"),
            (["slice", TERRAIN, "--rows", "1:2:3:4"], b"", 2, r"--rows takes FIRST:END\[:STEP\]"),
            (["slice", "--lenient", zero], b"", 1, r"^gridvane: slice: .*: the table has no samples"),
            (["slice", TERRAIN, "--rows", "7:9"], b"", 1, r"selects nothing of 0:5"),
            (["convert", "--lenient", zero, os.path.join(self.dir, "z.chan")], b"", 1, r"cannot be read back. Nothing written"),
            (["convert", TERRAIN, "out.unknown"], b"", 2, r"cannot tell the format of out.unknown"),
            (["convert", TERRAIN, "x.chb", "--to", "xml"], b"", 2, r"--to takes ascii or binary"),
            (["info", "--bogus", TERRAIN], b"", 2, r"unknown option --bogus"),
            (["plot", TERRAIN, "-o", "x.png"], b"", 2, r"plot writes SVG"),
            (["frobnicate"], b"", 2, r"^gridvane: unknown verb 'frobnicate'\n"),
            ([], b"", 2, r"^usage: gridvane VERB"),
        ]
        for args, stdin, status, pattern in cases:
            with self.subTest(args=args):
                code, out, err = run(*args, stdin=stdin)
                self.assertEqual(code, status, err)
                self.assertRegex(err, re.compile(pattern, re.S))

    def test_max_growth_raises_or_lifts_the_bound(self):
        amp = self.file("amp.txt", " ".join(["0"] * 2000) + "\n" + "0\n" * 2400)
        for option in (["--max-growth", "0"], ["--max-growth=4000"]):
            code, out, err = run("info", "--lenient", *option, amp)
            self.assertEqual(code, 0, err)
            self.assertIn(b"2000", out)

    @posix_only("/dev/full")
    def test_full_output_is_a_failure(self):
        cases = [["info", CAMERA], ["info", "--json", CAMERA], ["sample", TERRAIN, "0", "0"],
                 ["sample", CAMERA, "--frame", "30"], ["slice", TERRAIN], ["convert", TERRAIN, "-", "--to", "binary"],
                 ["check", CAMERA], ["--help"], ["info", "--help"]]
        with open("/dev/full", "wb") as full:
            for args in cases:
                with self.subTest(args=args):
                    code, _, err = run(*args, stdout=full)
                    self.assertEqual(code, 1)
                    self.assertRegex(err, r"^(gridvane: warning: .*\n)?gridvane: (\w+: )?standard output: No space left "
                                          r"on device\n$")
        code, _, err = run("convert", TERRAIN, "/dev/full", "--to", "ascii")
        self.assertEqual((code, err.splitlines(True)[-1]), (1, "gridvane: convert: /dev/full: No space left on device\n"))

    def test_info_goes_on_past_failures(self):
        code, out, err = run("info", TERRAIN, "missing.chan", TERRAIN_BIN)
        self.assertEqual(code, 1)
        self.assertEqual(out.count(b"6 columns x 5 rows"), 2)
        self.assertEqual(err, "gridvane: info: missing.chan: No such file or directory\n")
        code, out, err = run("info", "--json", TERRAIN, "missing.chan", TERRAIN_BIN)
        self.assertEqual(code, 1)
        entries = json.loads(out)
        self.assertEqual([e.get("error") for e in entries], [None, "missing.chan: No such file or directory", None])

    def test_help(self):
        code, overview, _ = run("help")
        self.assertEqual(code, 0)
        for verb in ("info", "check", "convert", "sample", "slice", "plot"):
            with self.subTest(verb=verb):
                code, out, err = run(verb, "--help")
                self.assertEqual((code, err), (0, ""))
                self.assertEqual(run("help", verb)[1], out)
                usage = re.findall(rb"^(?:usage:|      ) gridvane (.*)$", out, re.M)
                self.assertTrue(usage and out.startswith(b"usage: gridvane " + verb.encode()))
                for line in usage:  # the overview lists each real synopsis
                    self.assertIn(b"  gridvane " + line + b"\n", overview)
        self.assertIn(b"-o, --output", run("plot", "--help")[1])
        with open(os.path.join(DATA, "..", "..", "docs", "gridvane.1.md"), "rb") as f:
            manual = f.read()
        for line in re.findall(rb"^  (gridvane .*)$", overview, re.M):  # the manual's synopsis is the tool's
            self.assertIn(b"\n" + line + b"\n", manual)


class Check(Folder):
    # file in tests/data/bad -> the findings, as LINE:COLUMN: message start
    BAD_FILES = {
        "counts_max.chb": ["1:165: truncated samples: 100 of 4294705156 bytes"],
        "counts_max_big.chb": ["1:165: truncated samples: 100 of 4294705156 bytes"],
        "counts_negative_cols_no_rows.chb": ["1:9: negative column count -1"],
        "counts_negative_cols.chb": ["1:9: negative column count -32768"],
        "counts_negative_rows.chb": ["1:11: negative row count -32767"],
        "cr_first.dat": ["1:1: invalid file format: a carriage return cannot begin"],
        "empty.dat": ["1:1: no table: the file is empty"],
        "extreme_numbers.dat": ["1:1: '1e-99999' is below the float range: the reader takes 0", "1:10: '1e99999' is beyond the float range: the reader takes inf", "1:18: '0x1p-2000' is below the float range",
                                "1:28: '-0x1p5000' is beyond the float range", "1:38: NaN", "1:47: infinite value '+inf'"],
        "header_cut.chb": ["1:31: truncated header: 30 of 64 bytes"],
        "header_only.chb": ["1:65: truncated samples: 0 of 16 bytes"],
        "huge_header.chan": ["1:1: the header has no rule line"],
        "letter_first.dat": ["1:1: invalid file format: 'x' cannot begin"],
        "lone_frame.chan": ["3:1: the first data line has no values", "4:5: 1 value where the first row has 0"],
        "long_line.dat": ["1:1: '1000000000000000000000000000000000000000...' is beyond the float range"],
        "magic_wrong.chb": ["1:1: the reader wants the magic 'chan' or 'nahc' and finds 'CHAN'"],
        "nul_inside.dat": ["2:2: NUL byte", "2:2: 1 value where the first row has 2"],
        "only_comments.chan": ["3:1: no table: only blank lines and comments"],
        "only_comments.dat": ["3:1: no table: only blank lines and comments"],
        "ragged.dat": ["2:2: 1 value where the first row has 3: the reader reads the missing 2 as 0",
                       "4:7: 5 values where the first row has 3: the reader ignores the last 2"],
        "table_no_rule.chan": ["1:1: the header has no rule line"],
        "table_rule_no_data.chan": ["2:1: no data line follows the rule line"],
        "text_named_binary.chb": ["1:1: text under a binary name or form: the reader wants the magic"],
        # What is no channel file, or a channel file in a shape the reader
        # takes otherwise, named for what it is.
        "blank_cell.chan": ["5:10: 2 values where the first row has 3: the reader reads the missing 1 as 0"],
        # One finding a column, with the count.
        "precision.txt": ["1:1: '123456789' is a whole number a float cannot hold: the reader takes 123456792, "
                          "and rounds 1 more in column 0"],
        "compressed.chan.gz": ["1:1: invalid file format: gzip-compressed data, not a channel file"],
        "utf16.txt": ["1:1: UTF-16 text (little-endian) read as text"],
        "sheet.csv": ["1:1: '1,0,-5,35' holds values separated by commas: the reader takes 1",
                      "2:1: '2,1,-4,35' holds values separated by commas"],
        "latin1_name.chan": ["1:3: column name 'caf\\xe9' is not UTF-8"],
        # Large, but read as written.
        "million_spaces.dat": [],
        "million_tokens.dat": [],
    }
    CRAFTED = [
        # name, content, findings
        ("tokens.txt", "1 abc 3\n1,5 1.2.3 0x10\n", ["1:3: 'abc' is not a number: the reader takes 0",
                                                    "2:1: '1,5' has text after the number: the reader takes 1 (a decimal comma)",
                                                    "2:5: '1.2.3' has text after the number: the reader takes 1.2",
                                                    "2:11: '0x10' is a hexadecimal number: the reader takes 16"]),
        ("range.txt", "1e39 1e-50 inf\n", ["1:1: '1e39' is beyond the float range", "1:6: '1e-50' is below the float range",
                                           "1:12: infinite value 'inf'"]),
        ("names.txt", "pan tilt\n1 2\n", ["1:1: a line of names read as a row of zeros"]),
        ("table.chan", "| a b\n --\n--\n1 | 1 2\n2 : 3 4\n2 | 5\n3 | 6 7 8\n",
         ["2:2: the rule line must begin with '-' in its first column",
          "5:3: ':' stands where the separator '|' belongs", "6:1: frame 2 does not increase (line 5 has 2)",
          "6:6: 1 value where the first row has 2: the reader reads the missing 1 as 0",
          "7:9: 3 values where the first row has 2: the reader ignores the last 1"]),
        ("seps.chan", "| a b\n--\n1 | 1 2\n2 | | 3\n| 4 5\n", ["4:5: '|' stands where a value belongs: the reader takes 0",
         "5:1: a line beginning with '|' after the first data line is data", "5:1: frame 0 does not increase",
         "5:3: '4' stands where the separator '|' belongs", "5:6: 1 value where the first row has 2"]),
        ("bom.chan", b"\xef\xbb\xbf| a\n--\n1 | 2\n", []),
        ("header.chan", "| a b c\n-\n1 | 1 2\n", ["3:1: 2 values, but the header names 3 columns"]),
        ("cr.txt", "1 2\r3 4\r", ["1:4: carriage return inside a line"]),
        # Binary data read as text: the rest would only follow from it.
        ("binary.chan", binary_table(3, 3), ["1:1: binary channel data under a text name or form: the reader takes "
                                             "it as text"]),
        ("nan.chb", binary_table(2, 1, [1.0, float("nan")]), ["1:69: NaN at row 0, column 1"]),
        ("big.dat", b"nahc" + bytes(4) + b"\0\1\0\1" + bytes(52) + bytes(4),
         ["1:1: invalid file format: big-endian binary data is read only under a binary name"]),
        ("tail.chb", binary_table(1, 1) + b"xy", ["1:69: 2 bytes after the last sample are ignored"]),
        ("short.chb", binary_table(2, 2)[:-4], ["1:77: truncated samples: 12 of 16 bytes"]),
    ]

    def expect(self, path, findings):
        code, out, err = run("check", path)
        lines = out.decode().splitlines()
        self.assertEqual((code, err), (1 if findings else 0, ""))
        self.assertEqual(len(lines), len(findings) + 1, out)
        for line, finding in zip(lines, findings):
            self.assertTrue(line.startswith(f"{path}:{finding}"), f"{line!r} is not {finding!r}")
        self.assertRegex(lines[-1], rf"^checked 1 file: {len(findings)} findings? in {1 if findings else 0} files?$")

    def test_bad_files(self):
        for name, findings in self.BAD_FILES.items():
            with self.subTest(name=name):
                self.expect(os.path.join(BAD, name), findings)

    def test_crafted_files(self):
        for name, content, findings in self.CRAFTED:
            with self.subTest(name=name):
                self.expect(self.file(name, content), findings)
        self.expect(CAMERA, [])

    def test_json_and_strict(self):
        ragged = os.path.join(BAD, "ragged.dat")
        code, out, _ = run("check", "--json", CAMERA, ragged, "missing.chan")
        self.assertEqual(code, 1)
        entries = json.loads(out)
        self.assertEqual([e.get("total") for e in entries], [0, 2, None])
        self.assertEqual(entries[1]["findings"][0], {"line": 2, "column": 2, "message":
                         "1 value where the first row has 3: the reader reads the missing 2 as 0"})
        short = "1 value where the first row has 3: the reader reads the missing 2 as 0"
        hexadecimal = self.file("hex.txt", "1 2\n0x10 3\n")
        for verb in (["convert", "{}", os.path.join(self.dir, "r.chan")], ["info", "{}"],
                     ["sample", "{}", "0", "0"], ["slice", "{}"], ["plot", "{}", "-o", "-"]):
            with self.subTest(verb=verb[0]):
                # A short row refuses the file, as any value the reader would
                # make up does (padding it invents the missing values).
                code, out, err = run(*[a.format(ragged) for a in verb])
                self.assertEqual((code, out, err), (1, b"", f"gridvane: {verb[0]}: {ragged}:2:2: {short}; "
                                                    "--lenient reads it anyway\n"))
                # A warning is said and the file read; --strict refuses it.
                code, out, err = run(*[a.format(hexadecimal) for a in verb])
                self.assertEqual((code, err), (0, f"gridvane: warning: {hexadecimal}:2:1: '0x10' is a hexadecimal "
                                                  "number: the reader takes 16\n"))
                code, out, err = run(verb[0], "--strict", *[a.format(hexadecimal) for a in verb[1:]])
                self.assertEqual((code, out, err), (1, b"", f"gridvane: {verb[0]}: {hexadecimal}:2:1: '0x10' is a "
                                                    "hexadecimal number: the reader takes 16; refused with --strict\n"))
                if os.path.exists(os.path.join(self.dir, "r.chan")):
                    os.remove(os.path.join(self.dir, "r.chan"))
        self.assertEqual(run("sample", "--strict", CAMERA, "--frame", "30", "0")[:2], (0, b"29.25\n"))


class Reading(Folder):
    """What the verbs that read a table do with what the reader reports."""

    # file in tests/data/bad -> where the tool refuses it (or the read fails)
    # by default; those marked lenient are read with --lenient.
    REFUSED = {
        "counts_max.chb": "1:165", "counts_max_big.chb": "1:165", "counts_negative_cols.chb": "1:9",
        "counts_negative_cols_no_rows.chb": "1:9", "counts_negative_rows.chb": "1:11", "cr_first.dat": "1:1",
        "empty.dat": "1:1", "extreme_numbers.dat": "1:10 lenient", "header_cut.chb": "1:31",
        "header_only.chb": "1:65", "huge_header.chan": "1:1", "letter_first.dat": "1:1", "lone_frame.chan": "4:5",
        "long_line.dat": "1:1 lenient", "magic_wrong.chb": "1:1", "nul_inside.dat": "2:2 lenient",
        "only_comments.chan": "3:1", "only_comments.dat": "3:1", "ragged.dat": "2:2 lenient",
        "table_no_rule.chan": "1:1", "table_rule_no_data.chan": "2:1", "text_named_binary.chb": "1:1",
        "blank_cell.chan": "5:10 lenient", "compressed.chan.gz": "1:1", "utf16.txt": "1:1 lenient",
        "sheet.csv": "1:1 lenient",
    }
    # file in tests/data/bad -> where the tool warns of it, reading it all the same
    WARNED = {"precision.txt": "1:1", "latin1_name.chan": "1:3"}

    def test_bad_files_are_refused_where_they_go_wrong(self):
        self.assertEqual(sorted(set(os.listdir(BAD)) - set(self.REFUSED) - set(self.WARNED)),
                         ["million_spaces.dat", "million_tokens.dat"])
        for name, where in self.WARNED.items():
            path = os.path.join(BAD, name)
            with self.subTest(name=name):
                code, _, err = run("info", path)
                self.assertEqual(code, 0)
                self.assertRegex(err.splitlines()[0], rf"^gridvane: warning: {re.escape(path)}:{where}: ")
        for name, where in self.REFUSED.items():
            path = os.path.join(BAD, name)
            with self.subTest(name=name):
                code, out, err = run("info", path)
                self.assertEqual((code, out), (1, b""))
                self.assertRegex(err.splitlines()[-1], rf"^gridvane: info: {re.escape(path)}:{where.split()[0]}: ")
                code, out, err = run("info", "--lenient", path)
                if where.endswith("lenient"):
                    self.assertEqual((code, err), (0, ""))
                else:
                    self.assertEqual(code, 1)

    def test_reading_by_default_and_leniently(self):
        mis = self.file("mis.chan", binary_table(2, 2))
        cases = [
            # file, content, verb and options, exit, stdout, stderr
            ("n.txt", "Notes: shot 12 moved 3 frames\n", ["convert", "{}", "n.chb"], 1, b"",
             "gridvane: convert: {}:1:1: 'Notes:' is not a number: the reader takes 0; --lenient reads it anyway\n"),
            ("n.txt", "Notes: shot 12 moved 3 frames\n", ["slice", "--lenient", "{}"], 0, b"\t0\t0\t12\t0\t3\t0\n", ""),
            # A byte-order mark is no part of the first value.
            ("bom.chan", b"\xef\xbb\xbf1 2\n3 4\n", ["slice", "{}"], 0, b"\t1\t2\n\t3\t4\n", ""),
            ("comma.txt", "1 2\n8,25 3\n", ["sample", "{}", "0", "1"], 1, b"",
             "gridvane: sample: {}:2:1: '8,25' has text after the number: the reader takes 8 (a decimal comma); "
             "--lenient reads it anyway\n"),
            ("comma.txt", "1 2\n8,25 3\n", ["sample", "--lenient", "{}", "0", "1"], 0, b"8\n", ""),
            ("mis.chan", None, ["info", "{}"], 1, b"", "gridvane: info: {}:1:1: binary channel data under a text "
             "name or form: the reader takes it as text; --lenient reads it anyway\n"),
            # A row the reader pads with made-up values is refused; --lenient
            # reads it as the library does.
            ("short.txt", "1 2 3\n4\n", ["slice", "{}"], 1, b"",
             "gridvane: slice: {}:2:2: 1 value where the first row has 3: the reader reads the missing 2 as 0; "
             "--lenient reads it anyway\n"),
            ("short.txt", "1 2 3\n4\n", ["slice", "--lenient", "{}"], 0, b"\t1\t2\t3\n\t4\t0\t0\n", ""),
            # A blank cell, camera columns or a spreadsheet's tabs: no value moves.
            ("blank.chan", "| pan tilt focal\n---\n1 | 0 -5 35\n2 | 1  40\n", ["convert", "{}", "b2.chan"], 1, b"",
             "gridvane: convert: {}:4:10: 2 values where the first row has 3: the reader reads the missing 1 as 0; "
             "--lenient reads it anyway\n"),
            ("tabs.txt", "1\t\t3\n4\t5\t6\n", ["info", "{}"], 1, b"",
             "gridvane: info: {}:1:3: two tabs in a row leave a cell empty: the reader drops it and moves the values "
             "after it left; --lenient reads it anyway\n"),
            # Whole numbers the float cannot hold: a frame is refused, a value said.
            ("frames.chan", "| a\n-\n20000001 | 1\n20000003 | 2\n", ["info", "{}"], 1, b"",
             "gridvane: info: {}:3:1: frame '20000001' is a whole number a float cannot hold: the reader takes "
             "20000000, and frame lookups find another frame; --lenient reads it anyway\n"),
            ("precision.txt", "123456789 0.1\n", ["sample", "{}", "0", "0"], 0, b"123456792\n",
             "gridvane: warning: {}:1:1: '123456789' is a whole number a float cannot hold: the reader takes "
             "123456792\n"),
            ("many.txt", "1 2\n" + "0x3 4\n" * 12, ["info", "{}"], 0, None,
             "".join(f"gridvane: warning: {{}}:{line}:1: '0x3' is a hexadecimal number: the reader takes 3\n"
                     for line in range(2, 12)) + "gridvane: warning: {}: 2 more warnings not shown\n"),
            ("hex.txt", "0x10 1\n", ["sample", "-", "0", "0"], 0, b"16\n",
             "gridvane: warning: standard input:1:1: '0x10' is a hexadecimal number: the reader takes 16\n"),
        ]
        for name, content, args, status, out, err in cases:
            with self.subTest(name=name, args=args):
                path = mis if content is None else self.file(name, content)
                stdin = b""
                if "-" in args:
                    with open(path, "rb") as f:
                        stdin = f.read()
                code, stdout, stderr = run(*[a.format(name) for a in args], stdin=stdin, cwd=self.dir)
                self.assertEqual((code, stderr), (status, err.replace("{}", name)))
                if out is not None:
                    self.assertEqual(stdout, out)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "n.chb")))

    def test_endless_standard_input_stops_at_the_first_refusal(self):
        # Read as it comes: nothing kept on disk, the refusal at once.
        def endless(first, block):
            tool = subprocess.Popen([*RUNNER, TOOL, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE)
            try:
                tool.stdin.write(first)
                while tool.poll() is None:
                    tool.stdin.write(block)
            except (BrokenPipeError, OSError):
                pass
            out, err = tool.communicate(timeout=60)
            return tool.returncode, out.decode("latin-1") + err.decode("latin-1")

        noise = bytes((i * 7919 + 13) % 256 for i in range(65536))
        cases = [
            (["info", "-"], b"1 ", bytes(65536), "standard input:1:3: NUL byte: the reader ignores the rest of the line"),
            (["info", "-"], b"1\n", noise, "gridvane: info: standard input:2:"),
            (["check", "-"], b"1\n", noise, "standard input: the rest is not read: 10000 findings are enough"),
        ]
        for args, first, block, said in cases:
            with self.subTest(args=args, first=first):
                code, said_all = endless(first, block)
                self.assertEqual(code, 1)
                self.assertIn(said, said_all)

    def test_a_refused_file_converted_onto_itself_stays(self):
        with open(TERRAIN_BIN, "rb") as f:
            terrain = f.read()
        mis = self.file("mis.chan", terrain)
        for args in (["convert", mis, mis], ["convert", "--to", "ascii", mis, mis], ["convert", "--strict", mis, mis]):
            with self.subTest(args=args):
                code, _, err = run(*args)
                self.assertEqual(code, 1)
                self.assertRegex(err, r"mis.chan:1:1: binary channel data under a text name or form")
                with open(mis, "rb") as f:
                    self.assertEqual(f.read(), terrain)
                self.assertEqual(os.listdir(self.dir), ["mis.chan"])

    def test_tools_ask_the_library(self):
        # The tool is a client: public headers only, and no rule of the
        # formats of its own.
        allowed = {"gridvane.h", "gridvane_ext.h", "gridvane.hpp"}
        for name in sorted(os.listdir(TOOLS_DIR)):
            if not name.endswith((".cpp", ".hpp")):
                continue
            with self.subTest(file=name), open(os.path.join(TOOLS_DIR, name)) as f:
                text = f.read()
                for header in re.findall(r'^#\s*include\s*"([^"]+)"', text, re.M):
                    self.assertTrue(header in allowed or os.path.exists(os.path.join(TOOLS_DIR, header)), header)
                self.assertIsNone(re.search(r'"(chan|nahc)"|\b(32767|GetHalvicFileType|Parse)\b', text))


class Batches(Folder):
    """check and convert over a list cut into shards, as farm tasks run them."""

    def make_files(self, count, bad=()):
        names = []
        for i in range(count):
            names.append(self.file(f"t{i:03d}.txt", b"1 x\n" if i in bad else f"1 2\n3 {i}\n".encode()))
        return names

    def test_shards_are_disjoint_cover_the_list_and_fail_alone(self):
        names = self.make_files(40, bad={7})
        listing = self.file("list", "\n".join(names[10:]) + "\n\n")
        for count in (1, 3, 7):
            seen, statuses = [], []
            for index in range(count):
                code, out, err = run("check", "--shard", f"{index}/{count}", "--files-from", listing, *names[:10])
                checked = [line.split(":")[0] for line in out.decode().splitlines() if ":" in line[:-1]
                           and not line.startswith("checked")]
                summary = out.decode().splitlines()[-1]
                self.assertRegex(summary, rf"^checked \d+ files? \(shard {index}/{count} of 40 files\): ")
                mine = int(summary.split()[1])
                statuses.append((code, names[7] in checked))
                code, out, err = run("convert", "--to", "binary", "--into", os.path.join(self.dir, f"out{count}"),
                                     "--shard", f"{index}/{count}", "--files-from", listing, *names[:10])
                self.assertRegex(out.decode(), rf"^converted {mine - (names[7] in checked)} of {mine} files into ")
                self.assertEqual(code, 1 if names[7] in checked else 0, err)
                seen.append(mine)
            # Only the task that holds the bad file fails.
            self.assertEqual([c for c, holds in statuses if holds], [1])
            self.assertTrue(all(c == 0 for c, holds in statuses if not holds))
            self.assertEqual(sum(seen), 40)
            written = sorted(os.path.relpath(os.path.join(d, n), os.path.join(self.dir, f"out{count}"))
                             for d, _, files in os.walk(os.path.join(self.dir, f"out{count}")) for n in files)
            # Every good file once, under its own name; the bad one nowhere.
            self.assertEqual(written, sorted(os.path.splitext(n.lstrip("/").replace(":", "", 1))[0] + ".chb"
                                             for n in names if n != names[7]))

    def test_a_shard_is_the_documented_hash_of_the_name(self):
        # A 64-bit FNV-1a hash of the name's bytes as listed, each taken as
        # unsigned: names with bytes above 0x7f fall in the same shard on
        # every machine. The list's last name has no line end.
        names = [f"prise {i} caméra{'ü' * i}.chan" for i in range(16)]
        listing = self.file("list", "\n".join(names).encode())

        def fnv1a(name):
            hash = 14695981039346656037
            for byte in name.encode():
                hash = (hash ^ byte) * 1099511628211 % 2**64
            return hash

        for index in range(3):
            code, out, _ = run("check", "--json", "--shard", f"{index}/3", "--files-from", listing, cwd=self.dir)
            self.assertEqual([e["file"] for e in json.loads(out)], [n for n in names if fnv1a(n) % 3 == index])

    def test_a_list_from_standard_input(self):
        names = self.make_files(3)
        code, out, _ = run("check", "--files-from", "-", stdin=("\ufeff" + "\r\n".join(names) + "\r\n").encode())
        self.assertEqual((code, out), (0, b"checked 3 files: 0 findings in 0 files\n"))

    def test_convert_refuses_shared_names_and_writing_over_the_list(self):
        files = {"a.txt": b"1 2\n", "a.chan": b"3 4\n", "c.chan": b"5 6\n", "c.chb": binary_table(1, 1)}
        for name, content in files.items():
            self.file(name, content)
        os.mkdir(os.path.join(self.dir, "out"))
        cases = [
            # into, form, list, a line of what is said
            (".", "ascii", ["a.txt", "./a.chan"], "a.txt: ./a.chan would be converted to ./a.chan as well."),
            (".", "ascii", ["x/../a.chan"], "x/../a.chan: has no name to keep under . (standard input, or a name"),
            (".", "ascii", ["a.chan"], "a.chan: ./a.chan is a.chan, a file of the list: it is not written over."),
            ("out", "binary", ["c.chan", "out/c.chb"], "c.chan: out/c.chb is out/c.chb, a file of the list"),
            (".", "binary", [".//c.chb", "c.txt"], ".//c.chb: c.txt would be converted to ././/c.chb as well."),
        ]
        for into, form, names, said in cases:
            with self.subTest(names=names):
                code, out, err = run("convert", "--to", form, "--into", into, *names, cwd=self.dir)
                self.assertEqual(code, 1)
                self.assertIn("gridvane: convert: " + said, err)
                self.assertRegex(out.decode(), rf"^converted [01] of {len(names)} files into {re.escape(into)};")
                for name, content in files.items():  # no file of the list is written over
                    with open(os.path.join(self.dir, name), "rb") as f:
                        self.assertEqual(f.read(), content, name)
        self.assertEqual(os.listdir(os.path.join(self.dir, "out")), [])
        c = os.path.join(self.dir, "c.chan")
        self.assertEqual(run("convert", "--into", "x", c)[0], 2)  # no --to
        self.assertEqual(run("convert", "--shard", "0/2", c, c)[0], 2)  # no --into
        for shard in ("2/2", "1", "a/2", "0/0", "-1/2"):
            self.assertEqual(run("check", "--shard", shard, c)[0], 2, shard)

    def test_each_file_once(self):
        names = self.make_files(10)
        os.mkdir(os.path.join(self.dir, "sub"))
        # Three names of every file: as made, through "..", through a link to
        # the folder (a POSIX link, which a Windows program does not follow).
        spellings = [lambda name: os.path.join(self.dir, "sub", "..", os.path.basename(name))]
        if not WINDOWS:
            os.symlink(self.dir, os.path.join(self.dir, "link"))
            spellings.append(lambda name: os.path.join(self.dir, "link", os.path.basename(name)))
        spelled = [n for name in names for n in [name] + [spell(name) for spell in spellings]]
        listing = self.file("list", "\n".join(spelled + names) + "\n")
        repeats = 10 * (len(spellings) + 1)
        code, out, _ = run("check", "--files-from", listing)
        self.assertEqual((code, out.decode()),
                         (0, f"checked 10 files: 0 findings in 0 files; {repeats} repeated names skipped\n"))
        converted, repeated = 0, 0
        for index in range(3):
            code, out, err = run("convert", "--to", "ascii", "--into", os.path.join(self.dir, "out"),
                                 "--shard", f"{index}/3", "--files-from", listing)
            self.assertEqual(code, 0, err)
            found = re.fullmatch(rf"converted (\d+) of \1 files into \S+ \(shard {index}/3 of 10 files\)"
                                 r"(?:; (\d+) repeated names? skipped)?\n", out.decode())
            self.assertIsNotNone(found, out)
            converted += int(found[1])
            repeated += int(found[2] or 0)
        self.assertEqual((converted, repeated), (10, repeats))
        # Each file under its first name only.
        self.assertEqual(sorted(os.listdir(os.path.join(self.dir, "out", self.dir.lstrip("/")))),
                         [f"t{i:03d}.chan" for i in range(10)])
        self.assertEqual(run("check", "-", "-", stdin=b"1 2\n")[1], b"checked 1 file: 0 findings in 0 files; "
                                                                     b"1 repeated name skipped\n")

    @posix_only("terminals and FIFOs as Python opens them")
    def test_progress_stays_on_a_terminal(self):
        import pty
        import select

        names = self.make_files(2)
        commented = self.file("commented.txt", b"# made by hand\n1 2\n")
        slow = os.path.join(self.dir, "slow.chan")
        os.mkfifo(slow)
        listing = self.file("list", "\n".join([names[0], commented, slow, names[1]]) + "\n")
        command = [*RUNNER, TOOL, "convert", "--to", "binary", "--into", os.path.join(self.dir, "out"),
                   "--files-from", listing]
        leader, follower = pty.openpty()
        screen, shown, samples = Screen(), b"", []

        def take(wait):
            nonlocal shown
            while select.select([leader], [], [], wait)[0]:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:  # the other end closed
                    return
                if not chunk:
                    return
                shown += chunk
                screen.feed(chunk.decode())
                wait = 0

        started = time.monotonic()
        tool = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        try:
            # The FIFO's lines come slowly: the screen is sampled while the tool reads it.
            with open(slow, "w") as source:
                for i in range(25):
                    take(0.04)
                    samples.append(screen.foot)
                    source.write(f"{i} {i}\n")
                    source.flush()
            out = tool.communicate(timeout=60)[0]
            take(0.5)
        finally:
            tool.kill()
            os.close(leader)
        elapsed = time.monotonic() - started
        self.assertEqual((tool.returncode, out), (0, f"converted 4 of 4 files into {self.dir}/out\n".encode()))
        progress = re.compile(r"\d/4 files(, [0-9.]+ files/s, \d+:\d\d left)?")
        self.assertGreaterEqual(sum(bool(progress.fullmatch(s)) for s in samples), 0.8 * len(samples), samples)
        # The warning on a line of its own, the line again right after it, and nothing left at the end.
        self.assertEqual(screen.lines, [f"gridvane: warning: {commented}: 1 line with a '#' comment: a table keeps "
                                        f"no comments, and {self.dir}/out{commented[:-4]}.chb has none of them"])
        self.assertRegex(shown.decode(), r"has none of them\r?\n\r\d/4 files")
        self.assertEqual(screen.foot, "")
        self.assertTrue(shown.endswith(b"\r\x1b[K"), shown)
        # A few redraws a second at most, besides the one after the warning.
        self.assertLessEqual(len(re.findall(r"\r\d/4 files", shown.decode())), 3 + 4 * elapsed)
        # Nothing of it on a pipe.
        os.remove(slow)
        code, _, err = run("check", *names, commented)
        self.assertEqual((code, err), (0, ""))
        # Findings on the same terminal: each on a line of its own, the progress nowhere once done.
        bad = self.file("bad.txt", b"1 2\n3 x\n")
        leader, follower = pty.openpty()
        screen = Screen()
        try:
            tool = subprocess.Popen([*RUNNER, TOOL, "check", names[0], bad, names[1]], stdout=follower,
                                    stderr=follower)
            os.close(follower)
            tool.wait(timeout=60)
            while select.select([leader], [], [], 0.5)[0]:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                screen.feed(chunk.decode())
        finally:
            os.close(leader)
        self.assertEqual(screen.lines, [f"{bad}:2:3: 'x' is not a number: the reader takes 0",
                                        "checked 3 files: 1 finding in 1 file"])
        self.assertEqual(screen.foot, "")


class Screen:
    """What a terminal shows of what is written to it: the lines scrolled
    up, and the line at the foot (carriage returns and erase to the end of
    the line are all a progress line uses)."""

    def __init__(self):
        self.lines, self.line, self.column, self.pending = [], [], 0, ""

    @property
    def foot(self):
        return "".join(self.line)

    def feed(self, text):
        text, self.pending = self.pending + text, ""
        i = 0
        while i < len(text):
            if text[i] == "\x1b":
                if len(text) - i < 3:  # the rest of the sequence comes next
                    self.pending = text[i:]
                    return
                assert text[i:i + 3] == "\x1b[K", text[i:i + 3]
                del self.line[self.column:]
                i += 3
                continue
            c, i = text[i], i + 1
            if c == "\r":
                self.column = 0
            elif c == "\n":
                self.lines.append(self.foot)
                self.line, self.column = [], 0
            else:
                self.line[self.column:self.column + 1] = [c]
                self.column += 1


class PlainTextRules(Folder):
    """Real exports: time columns past a float's precision, a line of names,
    a frame column (tests/data)."""

    def data(self, name):
        return os.path.join(BAD, "..", name)

    def test_numbers_past_a_floats_precision_are_named_once_a_column(self):
        code, out, _ = run("check", self.data("unix_times.txt"), self.data("small_times.txt"))
        self.assertEqual(code, 1)
        self.assertEqual(out.decode().replace(self.data(""), ""),
                         "unix_times.txt:2:1: '1311868164.363181' is past 16777216, where a float keeps no fraction "
                         "and not every whole number: the reader takes 1311868160, and rounds 4 more in column 0\n"
                         "checked 2 files: 1 finding in 1 file\n")
        # A warning: the verbs read the file, and say so once.
        code, _, err = run("info", self.data("unix_times.txt"))
        self.assertEqual((code, len(err.splitlines())), (0, 1))
        self.assertEqual(run("check", self.data("small_times.txt"))[:2], (0, b"checked 1 file: 0 findings in 0 files\n"))

    def test_refused_at_their_place(self):
        cases = [
            # file, options, where, cause
            ("names_too_few.txt", ["--names", "first-line"], "1:23",
             "the line of names does not give one name a column: the first row has 8 values"),
            ("frames_falling.txt", ["--frames-column", "0"], "3:1",
             "this frame does not rise above the one before (line 2): a frame column's frames rise"),
            ("frames_fraction.txt", ["--frames-column", "0"], "2:1",
             "a frame column holds whole numbers a float keeps exactly (up to 16777216), and this is none"),
            ("frame_rows.txt", ["--frames-column", "4"], "1:21", "a row of 4 values has no value in the frame column"),
            ("frame_rows.txt", ["--frames-column", "0"], "1:1", "a line of names read as a row of zeros"),
        ]
        for name, options, where, cause in cases:
            path = self.data(name)
            with self.subTest(name=name, options=options):
                for verb in ("info", "slice", "plot"):
                    code, out, err = run(verb, *options, path, "-o", "-") if verb == "plot" else run(verb, *options, path)
                    self.assertEqual((code, out), (1, b""))
                    self.assertTrue(err.startswith(f"gridvane: {verb}: {path}:{where}: {cause}"), err)
                code, out, _ = run("check", *options, path)
                self.assertEqual(code, 1)
                self.assertTrue(out.decode().startswith(f"{path}:{where}: {cause}"), out)
        # The same files read without the rules: a plain table.
        self.assertEqual(run("info", self.data("frames_falling.txt"))[0], 0)

    def test_names_and_frames_round_trip_through_the_table_form(self):
        table = os.path.join(self.dir, "t.chan")
        self.assertEqual(run("convert", "--names", "first-line", "--frames-column", "0", self.data("frame_rows.txt"),
                             table)[0], 0)
        with open(table, "rb") as f:
            self.assertEqual(f.read(), CAMERA_TABLE)
        for to in ("txt", "chb"):
            back = os.path.join(self.dir, "back." + to)
            self.assertEqual(run("convert", "--frames-as-column", table, back)[0], 0)
            if to == "txt":
                with open(back, "rb") as f:
                    self.assertEqual(f.read(), b"\t1\t0\t-5\t35\n\t12\t8.25\t-4.5\t35\n\t24\t21\t-2\t40\n"
                                               b"\t36\t37.5\t1.25\t50\n\t48\t52\t3\t65\n\t60\t60\t3.5\t85\n")
            else:
                self.assertEqual(run("slice", "--lenient", back)[1].splitlines()[1], b"\t12\t8.25\t-4.5\t35")
            again = os.path.join(self.dir, "again.chan")
            self.assertEqual(run("convert", "--frames-column", "0", back, again)[0], 0)
            with open(again, "rb") as f:
                self.assertEqual(f.read(), CAMERA_TABLE.replace(b"| pan tilt focal\n---------------",
                                                                b"| column0 column1 column2\n"
                                                                b"------------------------"))
        self.assertEqual(run("slice", "--frames-as-column", "--rows", "1:2", table)[1], b"\t12\t8.25\t-4.5\t35\n")
        # A line of names kept as the columns' names, without frames too.
        code, out, _ = run("slice", "--names", "first-line", "--format", "csv", "--rows", ":1",
                           self.data("named_pose.txt"))
        self.assertEqual((code, out), (0, b"time,tx,ty,tz,qx,qy,qz,qw\n0,1.34,0.63,1.66,0.66,0.62,-0.29,-0.32\n"))
        self.assertEqual(run("info", "--names", "first-line", "--frames-column", "0", self.data("named_pose.txt"))[1]
                         .splitlines()[:3], [b"%s: ASCII, plain, 7 columns x 3 rows" % self.data("named_pose.txt").encode(),
                                             b"  frames 0 to 2", b"  tx: min 1.32, max 1.34, mean 1.330000043, 0 NaN"])
        # A table form has its own names and frames; binary data no names.
        for options, path in ((["--frames-column", "0"], CAMERA), (["--names", "first-line"], TERRAIN_BIN)):
            code, _, err = run("info", *options, path)
            self.assertEqual(code, 1)
            self.assertIn("names on the first line are read from plain text", err)
        self.assertEqual(run("info", "--names", "second-line", CAMERA)[0], 2)



class Pictures(unittest.TestCase):
    # docs/NAME -> how the tool draws it, in examples/data
    DRAWN = {
        "camera.svg": ["plot", "-o", "-", "--title", "camera.chan: pan, tilt and focal length by frame", "camera.chan"],
        "terrain.svg": ["plot", "-o", "-", "terrain.txt"],
    }

    def test_the_docs_pictures_are_what_the_tool_draws(self):
        for name, args in self.DRAWN.items():
            with self.subTest(picture=name):
                code, out, err = run(*args, cwd=DATA)
                self.assertEqual((code, err), (0, ""))
                with open(os.path.join(DATA, "..", "..", "docs", name), "rb") as f:
                    self.assertEqual(out, f.read(), f"docs/{name} is not what the tool draws: gridvane {' '.join(args)}"
                                                    " > docs/" + name + " in examples/data")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
