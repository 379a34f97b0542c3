"""Failures and findings: exceptions with the cause, the error number and the
file; files refused where the reader would take them other than as written
(lenient=True reads them as the library does); warnings for what only fills
what the format allows; nothing on standard error."""
import errno
import os
import pickle
import threading
import warnings

import numpy as np
import pytest
from conftest import c_load

import gridvane

BINARY_10X10 = b"chan" + bytes(4) + np.array([10, 10], "<i2").tobytes() + bytes(52) + bytes(400)


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def test_failures_carry_cause_errno_and_file(tmp_path, capfd):
    d = str(tmp_path)
    missing, folder = os.path.join(d, "missing.chan"), os.path.join(d, "no", "such", "t.chb")
    os.mkdir(os.path.join(d, "shots.chan"))
    cases = [  # what, raised, errno, words, file name
        (lambda: gridvane.load(missing), FileNotFoundError, errno.ENOENT, "No such file or directory", missing),
        (lambda: gridvane.load(os.path.join(d, "shots.chan")), IsADirectoryError, errno.EISDIR, "Is a directory",
         os.path.join(d, "shots.chan")),
        (lambda: gridvane.load(""), gridvane.Error, errno.EINVAL, "invalid argument", ""),
        (lambda: gridvane.load(write(d, "t.chb", BINARY_10X10[:200])), gridvane.FormatError, None,
         "truncated samples: 136 of 400 bytes", os.path.join(d, "t.chb")),
        (lambda: gridvane.Table(40000, 2).save(os.path.join(d, "big.chb")), gridvane.Error, errno.EINVAL,
         "the table is 2 columns x 40000 rows; the binary form holds at most 32767 of each",
         os.path.join(d, "big.chb")),
        (lambda: gridvane.Table(2, 2).save(folder), FileNotFoundError, errno.ENOENT, "No such file or directory",
         folder),
    ]
    for what, raised, number, words, name in cases:
        with pytest.raises(raised) as caught:
            what()
        e = caught.value
        assert isinstance(e, gridvane.Error) and isinstance(e, OSError)
        assert (e.errno, e.strerror, e.filename) == (number, words, name)
        assert words in str(e) and name in str(e)
    assert not os.path.exists(os.path.join(d, "big.chb"))
    assert capfd.readouterr() == ("", "")


def test_a_folder_a_save_cannot_write_into_is_named(tmp_path):
    read_only = tmp_path / "read-only"
    read_only.mkdir()
    read_only.chmod(0o500)
    # The superuser writes anywhere but in /sys.
    for folder in (str(read_only), "/sys"):
        path = os.path.join(folder, "t.chb")
        try:
            gridvane.Table(2, 2).save(path)
        except PermissionError as e:
            assert (e.filename, e.filename2) == (path, folder)
            assert f"(in the folder '{folder}')" in str(e)
            return
        except OSError:
            continue
        os.remove(path)
    pytest.skip("no folder here refuses this user's new files")


TEXT_WITH_BINARY = b"chan" + bytes(4) + np.array([1, 1], "<i2").tobytes() + bytes(52) + np.float32(7).tobytes()
REFUSED = [  # name, content, kind, line, column, words
    ("n.txt", b"Notes: shot 12 moved 3 frames\n", "not_a_number", 1, 1, "'Notes:' is not a number: the reader takes 0"),
    ("c.chan", b"1 2\n3 8,25\n", "decimal_comma", 2, 3, "'8,25' has text after the number: the reader takes 8"),
    ("l.chan", b"1 2\n3 4 5\n", "long_row", 2, None, "3 values where the first row has 2"),
    ("mis.chan", TEXT_WITH_BINARY, "binary_as_text", 1, None, "binary channel data under a text name"),
    ("cam.chan", b"| pan tilt\n---\n1 | 2 3\n2 | 4 x5\n", "not_a_number", 4, None, "'x5' is not a number"),
    ("t.chb", BINARY_10X10[:100], "truncated_samples", 1, None, "truncated samples: 36 of 400 bytes"),
    ("e.dat", b"  \n", "empty", 2, None, "no table: only blank lines and comments"),
    ("x.dat", b"x 1 2\n", "invalid_format", 1, None, "invalid file format: 'x' cannot begin a channel file"),
]


@pytest.mark.parametrize("name, content, kind, line, column, words", REFUSED)
def test_files_read_other_than_as_written_are_refused(tmp_path, clib, name, content, kind, line, column, words):
    path = write(str(tmp_path), name, content)
    form = gridvane.kind_of_name(name)
    for attempt in (lambda: gridvane.load(path), lambda: gridvane.read(content, kind=form)):
        with pytest.raises(gridvane.FormatError) as caught:
            attempt()
        e = caught.value
        assert (e.kind, e.line) == (kind, line) and words in e.strerror
        assert column is None or e.column == column
    e = gridvane.load_many([path])[0]
    assert isinstance(e, gridvane.FormatError) and str(e).startswith(f"{path}:{line}:" if line else f"{path}: ")
    if kind in ("truncated_samples", "empty", "invalid_format"):
        return  # the library cannot read these either
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        lenient = gridvane.load(path, lenient=True)
    assert np.array_equal(lenient.to_numpy(), c_load(clib, path), equal_nan=True)


def test_what_only_fills_the_format_is_a_warning(tmp_path):
    rounded = write(str(tmp_path), "r.txt", b"1 2 3\n4 16777217 6\n")
    with pytest.warns(gridvane.FormatWarning) as caught:
        t = gridvane.load(rounded)
    assert t.to_numpy().tolist() == [[1, 2, 3], [4, 16777216, 6]]
    (w,) = caught
    assert (w.message.kind, w.message.line, w.message.column, w.filename) == ("rounded_whole_number", 2, 3, __file__)
    assert str(w.message) == f"{rounded}:2:3: '16777217' is a whole number a float cannot hold: the reader takes 16777216"
    many = write(str(tmp_path), "m.txt", b"1 2 3\n" + b"0x4 5 6\n" * 50)
    with pytest.warns(gridvane.FormatWarning) as caught:
        gridvane.load(many)
    assert len(caught) == 11 and str(caught[-1].message) == f"{many}: 40 more warnings of this read not listed"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(gridvane.FormatWarning):
            gridvane.load(rounded)
        assert gridvane.load(rounded, lenient=True).shape == (2, 3)


@pytest.mark.parametrize("content, kind, line, column", [
    (b"| pan tilt focal\n---\n1 | 0 -5 35\n2 | 1  40\n", "short_row", 4, 10),  # a blank cell: 40 would be the tilt
    (b"1\t\t3\n4\t5\t6\n", "empty_cell", 1, 3),
    (b"| a\n-\n20000001 | 1\n", "inexact_frame", 3, 1),
])
def test_made_up_values_are_refused(tmp_path, content, kind, line, column):
    path = write(str(tmp_path), "t.chan", content)
    with pytest.raises(gridvane.FormatError) as raised:
        gridvane.load(path)
    assert (raised.value.kind, raised.value.line, raised.value.column) == (kind, line, column)
    assert gridvane.load(path, lenient=True).shape[0] >= 1


def test_a_table_out_of_proportion_to_its_file_is_refused(tmp_path):
    """Rows of 8,000 bytes from 2 bytes of text each pass 256 times the input at row 2,378."""
    amp = b" ".join([b"0"] * 2000) + b"\n" + b"0\n" * 2400
    path = write(str(tmp_path), "amp.txt", amp)
    for attempt in (lambda: gridvane.load(path, lenient=True), lambda: gridvane.read(amp, lenient=True)):
        with pytest.raises(gridvane.FormatError) as raised:
            attempt()
        assert (raised.value.kind, raised.value.line, raised.value.column) == ("out_of_proportion", 2378, 1)
        assert "the table would reach 19024000 bytes, more than 256 times" in str(raised.value)
    assert gridvane.read_growth() == 256
    with pytest.raises(ValueError, match="0 \\(no bound\\) or more"):
        gridvane.read_growth(-1)
    for factor in (0, 4000):
        before = gridvane.read_growth(factor)
        try:
            assert gridvane.load(path, lenient=True).shape == (2401, 2000)
        finally:
            assert gridvane.read_growth(before) == factor


def test_bad_arguments_raise_value_error(capfd):
    t = gridvane.Table(1, 1)
    cases = [
        (lambda: gridvane.Table(0, 3), "at least one row and one column, not 0 x 3"),
        (lambda: gridvane.Table(3, -1), "at least one row"),
        (lambda: gridvane.Table(2**31, 1), "at most"),
        (lambda: t.save("t.dat", kind="csv"), "kind must be"),
        (lambda: t.save("t.csv"), "a .csv name promises another format"),
        (lambda: t.save("t.chan", kind="binary"), "the name is that of an ASCII file, and the binary form was asked"),
        (lambda: gridvane.read(b"1\n", kind="text"), "kind must be"),
        (lambda: gridvane.load("a\0b.chan"), "null byte"),
        (lambda: gridvane.load("t.chan", threads=0), "threads must be at least 1"),
        (lambda: gridvane.load_many(["t.chan"], errors="ignore"), "errors must be"),
    ]
    for what, message in cases:
        with pytest.raises(ValueError, match=message):
            what()
    assert capfd.readouterr() == ("", "")


def test_nothing_is_printed_and_c_callers_keep_their_messages(tmp_path, capfd, clib):
    assert gridvane.echo_messages(True) is False
    try:
        with pytest.raises(FileNotFoundError):
            gridvane.load(str(tmp_path / "missing.chan"))
    finally:
        assert gridvane.echo_messages(False) is True
    assert capfd.readouterr() == ("", "")
    assert clib.ArrayAlloc(0, 1) == -1
    assert capfd.readouterr().err == "ArrayAllocate: rows and columns must be > 1\n"


def test_each_thread_gets_its_own_failure(tmp_path):
    wrong = []

    def fail_repeatedly(n):
        path = str(tmp_path / f"missing-{n}.chan")
        for _ in range(300):
            try:
                gridvane.load(path)
            except FileNotFoundError as e:
                if e.filename != path:
                    wrong.append(e.filename)

    threads = [threading.Thread(target=fail_repeatedly, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []


def test_a_column_past_a_floats_precision_warns_once(tmp_path):
    times = write(str(tmp_path), "t.txt", b"1311868164.363181 1\n1311868164.399026 2\n1311868164.430940 3\n")
    with pytest.warns(gridvane.FormatWarning) as caught:
        t = gridvane.load(times)
    (w,) = caught
    assert (w.message.kind, w.message.line, w.message.column) == ("rounded_whole_part", 1, 1)
    assert str(w.message).endswith("the reader takes 1311868160, and rounds 2 more in column 0")
    assert len(set(t.to_numpy()[:, 0])) == 1  # what the warning is about
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        gridvane.load(write(str(tmp_path), "s.txt", b"16777215 1\n16777214 2.5\n"))


@pytest.mark.parametrize("data, options, kind, line, column", [
    (b"t x y z\n1 2 3\n", {"names": "first-line"}, "names_mismatch", 1, 7),
    (b"t x\n1 2 3\n", {"names": "first-line"}, "names_mismatch", 1, 4),
    (b"1 2\n3 4\n2 5\n", {"frames_column": 0}, "frame_not_rising", 3, 1),
    (b"1 2\n3.5 4\n", {"frames_column": 0}, "inexact_frame", 2, 1),
    (b"1 2\n3 4\n", {"frames_column": 2}, "short_row", 1, 4),
    (b"| a\n-\n1 | 2\n", {"frames_column": 0}, "against_reading", 1, 1),
    (b"chan\0\0\0\0" + bytes(56), {"names": "first-line"}, "against_reading", 1, 1),
])
@pytest.mark.parametrize("lenient", [False, True])
def test_names_and_frame_columns_refuse_at_their_place(tmp_path, data, options, kind, line, column, lenient):
    path = write(str(tmp_path), "r.txt", data)
    for read in (lambda: gridvane.load(path, lenient=lenient, **options),
                 lambda: gridvane.read(data, lenient=lenient, **options)):
        with pytest.raises(gridvane.FormatError) as raised:
            read()
        assert (raised.value.kind, raised.value.line, raised.value.column) == (kind, line, column)
    with pytest.raises(ValueError):
        gridvane.load(path, names="second-line")
    with pytest.raises(ValueError):
        gridvane.load(path, frames_column=-1)


def test_the_repr_of_a_failure_names_its_file_and_place_after_pickling_too(tmp_path):
    path = write(str(tmp_path), "decimal.chan", b"1 2\n3 4,5\n")
    with pytest.raises(gridvane.FormatError) as caught:
        gridvane.load(path)
    with pytest.raises(FileNotFoundError) as missing:
        gridvane.load(os.path.join(str(tmp_path), "missing.chan"))
    for e, where in [(caught.value, f"{path}:2:3"), (missing.value, "missing.chan")]:
        for copy in (e, pickle.loads(pickle.dumps(e))):
            assert type(copy) is type(e) and where in repr(copy) and e.strerror in repr(copy), repr(copy)
            assert str(copy) == str(e)
