"""The gridvane tool as a user meets it: grouped cases with expected output
and exit status. Usage: cli_test.py TOOL EXAMPLES_DIR BAD_FILES_DIR"""
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
CAMERA = os.path.join(DATA, "camera.chan")
TERRAIN = os.path.join(DATA, "terrain.txt")
TERRAIN_BIN = os.path.join(DATA, "terrain.chb")
CAMERA_TABLE = (b"| pan tilt focal\n---------------\n1\t|\t0\t-5\t35\n12\t|\t8.25\t-4.5\t35\n"
                b"24\t|\t21\t-2\t40\n36\t|\t37.5\t1.25\t50\n48\t|\t52\t3\t65\n60\t|\t60\t3.5\t85\n")


def run(*args, stdin=b"", cwd=None, stdout=None):
    done = subprocess.run([TOOL, *args], input=stdin, stdout=stdout or subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=60, cwd=cwd)
    return done.returncode, done.stdout, done.stderr.decode()


def binary_table(columns, rows, values=None, magic=b"chan"):
    values = values if values is not None else [float(i) for i in range(columns * rows)]
    return magic + bytes(4) + struct.pack("<hh", columns, rows) + bytes(52) + struct.pack(f"<{len(values)}f", *values)


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
            (["convert", "-", "-", "--to", "ascii"], terrain_bin, 0, None),
            (["convert", CAMERA, "-", "--to", "ascii"], b"", 0, CAMERA_TABLE),
            (["--version"], b"", 0, b"gridvane 1.0.0\n"),
        ]
        for args, stdin, status, out in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run(*args, stdin=stdin)
                self.assertEqual(code, status, stderr)
                if out is not None:
                    self.assertEqual(stdout, out)
                self.assertEqual(stderr, "")

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
        code, out, _ = run("info", "--json", CAMERA)
        self.assertEqual([c["name"] for c in json.loads(out)["column_stats"]], ["pan", "tilt", "focal"])
        code, out, _ = run("info", "--json", TERRAIN, TERRAIN_BIN)
        self.assertEqual(code, 0)
        tables = json.loads(out)
        self.assertEqual([t["kind"] for t in tables], ["ASCII, plain", "binary, little-endian"])
        self.assertEqual(tables[0]["column_stats"], tables[1]["column_stats"])
        self.assertEqual((tables[0]["columns"], tables[0]["rows"], tables[0]["frames"]), (6, 5, None))

    def test_big_endian_and_nan(self):
        with tempfile.TemporaryDirectory() as d:
            with open(TERRAIN_BIN, "rb") as f:
                little = bytearray(f.read())
            big = bytearray(little)
            big[0:4] = b"nahc"
            big[8:10], big[10:12] = little[9:7:-1], little[11:9:-1]
            for i in range(64, len(big), 4):
                big[i:i + 4] = little[i:i + 4][::-1]
            path = os.path.join(d, "big.dat")
            with open(path, "wb") as f:
                f.write(big)
            code, out, err = run("info", "--json", path)
            self.assertEqual(code, 0, err)
            self.assertEqual(json.loads(out)["kind"], "binary, big-endian")
            nan = os.path.join(d, "nan.dat")
            with open(nan, "w") as f:
                f.write("nan 1\n2 nan\n")
            code, out, _ = run("info", "--json", nan)
            self.assertEqual([c["nan"] for c in json.loads(out)["column_stats"]], [1, 1])


class Files(Folder):
    def test_convert_round_trip_and_refusal(self):
        chb, txt = os.path.join(self.dir, "t.chb"), os.path.join(self.dir, "t.chan")
        self.assertEqual(run("convert", TERRAIN, chb)[0], 0)
        self.assertEqual(run("convert", chb, txt)[0], 0)
        with open(txt) as f:
            self.assertEqual(f.readline(), "\t12\t13.5\t15\t16\t15.5\t14\n")
        forced = os.path.join(self.dir, "forced.chan")
        self.assertEqual(run("convert", TERRAIN, forced, "--to", "binary")[0], 0)
        with open(forced, "rb") as f:
            self.assertEqual(f.read(4), b"chan")
        tall = self.file("tall.dat", "1\n" * 40000)
        out = os.path.join(self.dir, "tall.chb")
        code, _, err = run("convert", tall, out)
        self.assertEqual(code, 1)
        self.assertIn("at most 32767", err)
        self.assertFalse(os.path.exists(out))

    def test_camera_files_stay_whole(self):
        copy = os.path.join(self.dir, "copy.chan")
        for extra, expected in (([], CAMERA_TABLE), (["--plain"], None)):
            code, _, err = run("convert", CAMERA, copy, *extra)
            self.assertEqual((code, err), (0, ""))
            with open(copy, "rb") as f:
                text = f.read()
            if expected:
                self.assertEqual(text, expected)
                self.assertEqual(run("info", copy)[1], run("info", CAMERA)[1].replace(CAMERA.encode(), copy.encode()))
            else:
                self.assertEqual(text.splitlines()[0], b"\t0\t-5\t35")
        code, _, err = run("convert", CAMERA, os.path.join(self.dir, "c.chb"))
        self.assertEqual(code, 0)
        self.assertRegex(err, r"^gridvane: convert: .*camera.chan: the binary form has no frame column")

    def test_saves_keep_what_the_library_keeps(self):
        plain = self.file("plain.chan", "1 2\n3 4\n")
        target = self.file("s.chb", binary_table(1, 1))
        os.chmod(target, 0o600)
        os.symlink("s.chb", os.path.join(self.dir, "link.chb"))
        os.link(target, os.path.join(self.dir, "hard.chb"))
        read_only = self.file("ro.chb", b"old")
        os.chmod(read_only, 0o444)
        for name in ("s.chb", "link.chb", "ro.chb"):
            with self.subTest(name=name):
                code, _, err = run("convert", plain, name, "--to", "ascii", cwd=self.dir)
                if name == "ro.chb" and os.geteuid() != 0:  # refused, as a plain open is
                    self.assertEqual(code, 1)
                    self.assertRegex(err, r"^gridvane: convert: ro.chb: Permission denied\n$")
                    continue
                self.assertEqual((code, err), (0, ""))
                with open(os.path.join(self.dir, name)) as f:
                    self.assertEqual(f.read(), "\t1\t2\n\t3\t4\n")
        self.assertEqual(os.stat(target).st_mode & 0o777, 0o600)
        self.assertEqual(os.stat(target).st_nlink, 2)
        self.assertTrue(os.path.islink(os.path.join(self.dir, "link.chb")))
        self.assertEqual(os.stat(read_only).st_mode & 0o777, 0o444)
        self.assertEqual(sorted(os.listdir(self.dir)), ["hard.chb", "link.chb", "plain.chan", "ro.chb", "s.chb"])

    def test_only_dash_is_a_standard_stream(self):
        plain = self.file("plain.chan", "1 2\n")
        self.file("stdin_cam.chan", "5 6\n")
        self.assertEqual(run("convert", plain, "stdout_take2.chan", cwd=self.dir), (0, b"", ""))
        with open(os.path.join(self.dir, "stdout_take2.chan")) as f:
            self.assertEqual(f.read(), "\t1\t2\n")
        code, out, _ = run("info", "stdin_cam.chan", stdin=b"9 9 9\n", cwd=self.dir)
        self.assertEqual((code, out.splitlines()[0]), (0, b"stdin_cam.chan: ASCII, plain, 2 columns x 1 rows"))

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


class Failures(Folder):
    def test_failures_and_usage(self):
        zero = self.file("zero.chb", binary_table(0, 3))
        lone = os.path.join(BAD, "lone_frame.chan")
        cases = [
            # args, stdin, exit, stderr pattern
            (["info", "no-such.chan"], b"", 1, r"^gridvane: info: no-such.chan: No such file or directory\n$"),
            (["info", self.dir], b"", 1, r"^gridvane: info: .*: Is a directory\n$"),
            (["info", "-"], b"x 1\n", 1, r"^gridvane: info: standard input: invalid file format: 'x' cannot begin"),
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
            (["sample", zero, "0", "0"], b"", 1, r"^gridvane: sample: .*zero.chb: the table has no samples \(0 columns x 3 rows\)\n$"),
            (["sample", lone, "--frame", "5"], b"", 1, r"lone_frame.chan: the table has no samples"),
            (["slice", zero], b"", 1, r"the table has no samples"),
            (["slice", TERRAIN, "--rows", "7:9"], b"", 1, r"selects nothing of 0:5"),
            (["convert", zero, os.path.join(self.dir, "z.chan")], b"", 1, r"cannot be read back. Nothing written"),
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

    def test_full_output_is_a_failure(self):
        cases = [["info", CAMERA], ["info", "--json", CAMERA], ["sample", TERRAIN, "0", "0"],
                 ["sample", CAMERA, "--frame", "30"], ["slice", TERRAIN], ["convert", TERRAIN, "-", "--to", "binary"],
                 ["check", CAMERA], ["--help"], ["info", "--help"]]
        with open("/dev/full", "wb") as full:
            for args in cases:
                with self.subTest(args=args):
                    code, _, err = run(*args, stdout=full)
                    self.assertEqual(code, 1)
                    self.assertRegex(err, r"^gridvane: (\w+: )?standard output: No space left on device\n$")
        code, _, err = run("convert", TERRAIN, "/dev/full", "--to", "ascii")
        self.assertEqual((code, err), (1, "gridvane: convert: /dev/full: No space left on device\n"))

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
        "counts_negative_cols.chb": ["1:9: negative column count -32768"],
        "counts_negative_rows.chb": ["1:11: negative row count -32767"],
        "cr_first.dat": ["1:1: invalid file format: a carriage return cannot begin"],
        "empty.dat": ["1:1: Premature EOF reached: the file is empty"],
        "extreme_numbers.dat": ["1:10: infinite value '1e99999'", "1:18: '0x1p-2000' is a hexadecimal number",
                                "1:28: '-0x1p5000' is a hexadecimal", "1:38: NaN", "1:47: infinite value '+inf'"],
        "header_cut.chb": ["1:31: truncated header: 30 of 64 bytes"],
        "header_only.chb": ["1:65: truncated samples: 0 of 16 bytes"],
        "huge_header.chan": ["1:1: the header has no rule line"],
        "letter_first.dat": ["1:1: invalid file format: 'x' cannot begin"],
        "lone_frame.chan": ["3:1: the first data line has no values", "4:5: 1 value where the first data line has 0"],
        "magic_wrong.chb": ["1:1: the reader wants the magic 'chan' or 'nahc' and finds 'CHAN'"],
        "nul_inside.dat": ["2:2: NUL byte", "2:2: 1 value where the first row has 2"],
        "only_comments.chan": ["3:1: no data, only comments"],
        "only_comments.dat": ["3:1: Premature EOF reached: only white space and comments"],
        "ragged.dat": ["2:2: 1 value where the first row has 3: the reader reads the missing 2 as 0",
                       "4:7: 5 values where the first row has 3: the reader ignores the last 2"],
        "table_no_rule.chan": ["1:1: the header has no rule line"],
        "table_rule_no_data.chan": ["2:1: no data line follows the rule line"],
        "text_named_binary.chb": ["1:1: text under a binary suffix"],
        "million_tokens.dat": [],
    }
    CRAFTED = [
        # name, content, findings
        ("tokens.txt", "1 abc 3\n1,5 1.2.3 0x10\n", ["1:3: 'abc' is not a number: the reader takes 0",
                                                    "2:1: '1,5' is not a whole number: the reader takes 1",
                                                    "2:5: '1.2.3' is not a whole number: the reader takes 1.2",
                                                    "2:11: '0x10' is a hexadecimal number: the reader takes 16"]),
        ("range.txt", "1e39 1e-50 inf\n", ["1:1: '1e39' is beyond the float range", "1:6: '1e-50' is below the float range",
                                           "1:12: infinite value 'inf'"]),
        ("names.txt", "pan tilt\n1 2\n", ["1:1: a line of names read as a row of zeros"]),
        ("table.chan", "| a b\n --\n--\n1 | 1 2\n2 : 3 4\n2 | 5\n3 | 6 7 8\n",
         ["2:2: the rule line must begin with '-' in its first column",
          "5:3: ':' stands where the separator '|' belongs", "6:1: frame 2 does not increase (line 5 has 2)",
          "6:6: 1 value where the first data line has 2: the reader reads the missing 1 as 0",
          "7:9: 3 values where the first data line has 2: the reader ignores the last 1"]),
        ("header.chan", "| a b c\n-\n1 | 1 2\n", ["3:1: 2 values, but the header names 3 columns"]),
        ("cr.txt", "1 2\r3 4\r", ["1:4: carriage return inside a line"]),
        ("binary.chan", binary_table(1, 1), ["1:1: binary channel data under a text suffix"]),
        ("nan.chb", binary_table(2, 1, [1.0, float("nan")]), ["1:69: NaN at row 0, column 1"]),
        ("big.dat", b"nahc" + bytes(4) + b"\0\1\0\1" + bytes(52) + bytes(4),
         ["1:1: big-endian binary data under a name without a binary suffix"]),
        ("tail.chb", binary_table(1, 1) + b"xy", ["1:69: 2 bytes after the last sample are ignored"]),
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
        for verb in (["convert", ragged, os.path.join(self.dir, "r.chan")], ["info", ragged], ["sample", ragged, "0", "0"]):
            with self.subTest(verb=verb[0]):
                code, out, err = run(verb[0], "--strict", *verb[1:])
                self.assertEqual((code, out), (1, b""))
                self.assertEqual(err.splitlines()[0], f"{ragged}:2:2: 1 value where the first row has 3: "
                                 "the reader reads the missing 2 as 0")
                self.assertRegex(err, rf"gridvane: {verb[0]}: .*ragged.dat: refused with --strict: 2 findings\n$")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "r.chan")))
        self.assertEqual(run("sample", "--strict", CAMERA, "--frame", "30", "0")[:2], (0, b"29.25\n"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
