"""Failures: exceptions with the library's errno and message, nothing on
standard error unless asked, and each thread sees its own call's message."""
import errno
import os
import threading

import numpy as np
import pytest

import gridvane

BINARY_2X1 = b"chan" + bytes(4) + np.array([1, 2], "<i2").tobytes() + bytes(52) + bytes(8)


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def test_failures_carry_errno_message_and_file_name(tmp_path, capfd):
    d = str(tmp_path)
    missing, folder = os.path.join(d, "missing.chan"), os.path.join(d, "no", "such", "t.chb")
    cases = [  # what, raised, errno, message, file name
        (lambda: gridvane.load(missing), FileNotFoundError, errno.ENOENT,
         f"Gridvane (ArrayLoad): Can't open {missing}: No such file or directory", missing),
        (lambda: gridvane.load(write(d, "x.dat", b"x 1 2\n")), gridvane.Error, errno.EIO,
         "Gridvane (ArrayLoad): invalid file format", os.path.join(d, "x.dat")),
        (lambda: gridvane.load(write(d, "e.dat", b"  \n")), gridvane.Error, errno.EIO,
         "Gridvane (ArrayLoad):  Premature EOF reached", os.path.join(d, "e.dat")),
        (lambda: gridvane.load(write(d, "e.txt", b"# nothing\n")), gridvane.Error, None,
         "Gridvane (ChanReadAscii): EOF reached", os.path.join(d, "e.txt")),
        (lambda: gridvane.load(""), gridvane.Error, errno.EINVAL, os.strerror(errno.EINVAL), ""),
        (lambda: gridvane.read(b"xxxx" + BINARY_2X1[4:], kind="binary"), gridvane.Error, errno.EIO,
         "Gridvane (ChanReadBin): invalid magic number", None),
        (lambda: gridvane.read(BINARY_2X1[:-1]), gridvane.Error, errno.EIO, os.strerror(errno.EIO), None),
        (lambda: gridvane.Table(2, 2).save(folder), FileNotFoundError, errno.ENOENT,
         f"Gridvane (ArraySave): Can't open {folder}: No such file or directory", folder),
    ]
    for what, raised, number, message, name in cases:
        with pytest.raises(raised) as caught:
            what()
        e = caught.value
        assert isinstance(e, gridvane.Error) and isinstance(e, OSError)
        assert (e.errno, e.strerror, e.filename) == (number, message, name)
        assert message in str(e)
    assert capfd.readouterr() == ("", "")


def test_bad_arguments_raise_value_error(capfd):
    t = gridvane.Table(1, 1)
    cases = [
        (lambda: gridvane.Table(0, 3), "ArrayAllocate: rows and columns must be > 1"),
        (lambda: gridvane.Table(3, -1), "ArrayAllocate: rows and columns must be > 1"),
        (lambda: gridvane.Table(2**31, 1), "at most"),
        (lambda: t.save("t.dat", kind="csv"), "kind must be"),
        (lambda: gridvane.read(b"1\n", kind="text"), "kind must be"),
        (lambda: gridvane.load("a\0b.chan"), "null byte"),
    ]
    for what, message in cases:
        with pytest.raises(ValueError, match=message):
            what()
    assert capfd.readouterr() == ("", "")


def test_messages_reach_stderr_only_when_asked(tmp_path, capfd, clib):
    missing = str(tmp_path / "missing.chan")
    assert gridvane.echo_messages(True) is False
    try:
        with pytest.raises(FileNotFoundError):
            gridvane.load(missing)
    finally:
        assert gridvane.echo_messages(False) is True
    assert capfd.readouterr().err == f"Gridvane (ArrayLoad): Can't open {missing}: No such file or directory\n"
    # A C caller in the same process still has its messages on standard error.
    assert clib.ArrayAlloc(0, 1) == -1
    assert capfd.readouterr().err == "ArrayAllocate: rows and columns must be > 1\n"


def test_each_thread_gets_its_own_message(tmp_path):
    wrong = []

    def fail_repeatedly(n):
        path = str(tmp_path / f"missing-{n}.chan")
        for _ in range(300):
            try:
                gridvane.load(path)
            except FileNotFoundError as e:
                if e.strerror != f"Gridvane (ArrayLoad): Can't open {path}: No such file or directory":
                    wrong.append(e.strerror)

    threads = [threading.Thread(target=fail_repeatedly, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == []
