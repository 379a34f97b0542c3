"""The gridvane tool as a user meets it: grouped cases with expected output
and exit status. Usage: cli_test.py TOOL EXAMPLES_DIR"""
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

TOOL, DATA = sys.argv[1], sys.argv[2]
CAMERA = os.path.join(DATA, "camera.chan")
TERRAIN = os.path.join(DATA, "terrain.txt")
TERRAIN_BIN = os.path.join(DATA, "terrain.chb")


def run(*args, stdin=b""):
    done = subprocess.run([TOOL, *args], input=stdin, capture_output=True, timeout=60)
    return done.returncode, done.stdout, done.stderr.decode()


class Outputs(unittest.TestCase):
    def test_cases(self):
        with open(TERRAIN_BIN, "rb") as f:
            terrain_bin = f.read()
        cases = [
            # args, stdin, exit, expected stdout
            (["sample", TERRAIN, "1.5", "2.5"], b"", 0, b"18\n"),
            (["sample", TERRAIN, "-3", "99"], b"", 0, b"11\n"),
            (["sample", TERRAIN], b"0 0\n1.5 2.5\n\n9 -9\n", 0, b"12\n18\n14\n"),
            (["sample", CAMERA, "--frame", "30"], b"", 0, b"29.25\n-0.375\n45\n"),
            (["sample", CAMERA, "--frame", "30", "2"], b"", 0, b"45\n"),
            (["sample", "-", "0.5", "0"], terrain_bin, 0, b"12.75\n"),
            (["slice", TERRAIN, "--rows", "1:3", "--cols", ":2"], b"", 0, b"\t13\t15\n\t13.5\t16.5\n"),
            (["slice", "-", "--rows", "4:"], b"1 2\n3 4\n5 6\n7 8\n9 10\n", 0, b"\t9\t10\n"),
            (["convert", "-", "-", "--to", "ascii"], terrain_bin, 0, None),
            (["--version"], b"", 0, b"gridvane 1.0.0\n"),
        ]
        for args, stdin, status, out in cases:
            with self.subTest(args=args):
                code, stdout, stderr = run(*args, stdin=stdin)
                self.assertEqual(code, status, stderr)
                if out is not None:
                    self.assertEqual(stdout, out)
                self.assertEqual(stderr, "")

    def test_info(self):
        code, out, _ = run("info", CAMERA)
        self.assertEqual(code, 0)
        self.assertEqual(out.decode().splitlines(), [
            f"{CAMERA}: ASCII, table form, 3 columns x 6 rows",
            "  frames 1 to 60",
            "  column 0: min 0, max 60, mean 29.79166667, 0 NaN",
            "  column 1: min -5, max 3.5, mean -0.625, 0 NaN",
            "  column 2: min 35, max 85, mean 51.66666667, 0 NaN",
        ])
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


class Files(unittest.TestCase):
    def test_convert_round_trip_and_refusal(self):
        with tempfile.TemporaryDirectory() as d:
            chb, txt = os.path.join(d, "t.chb"), os.path.join(d, "t.chan")
            self.assertEqual(run("convert", TERRAIN, chb)[0], 0)
            self.assertEqual(run("convert", chb, txt)[0], 0)
            with open(txt) as f:
                self.assertEqual(f.readline(), "\t12\t13.5\t15\t16\t15.5\t14\n")
            forced = os.path.join(d, "forced.chan")
            self.assertEqual(run("convert", TERRAIN, forced, "--to", "binary")[0], 0)
            with open(forced, "rb") as f:
                self.assertEqual(f.read(4), b"chan")
            tall = os.path.join(d, "tall.dat")
            with open(tall, "w") as f:
                f.write("1\n" * 40000)
            out = os.path.join(d, "tall.chb")
            code, _, err = run("convert", tall, out)
            self.assertEqual(code, 1)
            self.assertIn("at most 32767", err)
            self.assertFalse(os.path.exists(out))

    def test_plot(self):
        with tempfile.TemporaryDirectory() as d:
            for source, shape in ((CAMERA, "<polyline"), (TERRAIN, "<rect")):
                out = os.path.join(d, "p.svg")
                self.assertEqual(run("plot", source, "-o", out)[0], 0)
                with open(out) as f:
                    svg = f.read()
                self.assertTrue(svg.startswith("<svg") and svg.rstrip().endswith("</svg>"))
                self.assertIn(shape, svg)
            code, out, _ = run("plot", TERRAIN, "-o", "-", "--curves")
            self.assertEqual(code, 0)
            self.assertEqual(out.count(b"<polyline"), 6)


class Errors(unittest.TestCase):
    def test_failures_and_usage(self):
        cases = [
            # args, stdin, exit, stderr pattern
            (["info", "no-such.chan"], b"", 1, r"Can't open no-such.chan: .*\ngridvane: info: cannot load no-such.chan\n$"),
            (["info", "-"], b"x 1\n", 1, r"invalid file format\ngridvane: info: cannot load standard input\n$"),
            (["sample", CAMERA, "--frame", "99"], b"", 1, r"^gridvane: sample: frame 99 lies outside .*\(1 to 60\)\n$"),
            (["sample", TERRAIN, "x", "1"], b"", 2, r"^gridvane: sample: U is not a number: 'x'\nusage:"),
            (["sample", TERRAIN], b"1 2 3\n", 1, r"^gridvane: sample: line 1 of standard input is not a U V pair\n$"),
            (["sample", TERRAIN, "--frame", "1"], b"", 1, r"has no frame column"),
            (["slice", TERRAIN, "--rows", "3:9"], b"", 1, r"selects nothing within 0:5"),
            (["convert", TERRAIN, "out.unknown"], b"", 2, r"cannot tell the format of out.unknown"),
            (["convert", TERRAIN, "x.chb", "--to", "xml"], b"", 2, r"--to takes ascii or binary"),
            (["info", "--bogus", TERRAIN], b"", 2, r"unknown option --bogus"),
            (["plot", TERRAIN, "-o", "x.png"], b"", 2, r"plot writes SVG"),
            (["frobnicate"], b"", 2, r"^gridvane: unknown verb 'frobnicate'\n"),
            ([], b"", 2, r"^usage: gridvane <verb>"),
        ]
        for args, stdin, status, pattern in cases:
            with self.subTest(args=args):
                code, out, err = run(*args, stdin=stdin)
                self.assertEqual(code, status, err)
                self.assertRegex(err, re.compile(pattern, re.S))

    def test_help_for_every_verb(self):
        for verb in ("info", "convert", "sample", "slice", "plot"):
            code, out, err = run(verb, "--help")
            self.assertEqual((code, err), (0, ""))
            self.assertTrue(out.startswith(b"usage: gridvane " + verb.encode()))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
