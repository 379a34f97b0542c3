"""from_arrow against Arrow C structures made here through ctypes, as a
careless or hostile producer might hand them over: no Arrow library is
needed, so these run wherever the package does. Each malformed structure is
refused with a ValueError before a byte of it is read, and every struct the
import took is released once."""
import ctypes
from ctypes import POINTER, c_char_p, c_int, c_int64, c_void_p

import numpy as np
import pytest

import gridvane


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", c_char_p),
    ("name", c_char_p),
    ("metadata", c_char_p),
    ("flags", c_int64),
    ("n_children", c_int64),
    ("children", POINTER(POINTER(ArrowSchema))),
    ("dictionary", POINTER(ArrowSchema)),
    ("release", c_void_p),
    ("private_data", c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", c_int64),
    ("null_count", c_int64),
    ("offset", c_int64),
    ("n_buffers", c_int64),
    ("n_children", c_int64),
    ("buffers", POINTER(c_void_p)),
    ("children", POINTER(POINTER(ArrowArray))),
    ("dictionary", POINTER(ArrowArray)),
    ("release", c_void_p),
    ("private_data", c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", c_void_p),
        ("get_next", c_void_p),
        ("get_last_error", c_void_p),
        ("release", c_void_p),
        ("private_data", c_void_p),
    ]


SCHEMA_RELEASE = ctypes.CFUNCTYPE(None, POINTER(ArrowSchema))
ARRAY_RELEASE = ctypes.CFUNCTYPE(None, POINTER(ArrowArray))
STREAM_RELEASE = ctypes.CFUNCTYPE(None, POINTER(ArrowArrayStream))
GET_SCHEMA = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowSchema))
GET_NEXT = ctypes.CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowArray))
GET_LAST_ERROR = ctypes.CFUNCTYPE(c_char_p, POINTER(ArrowArrayStream))

new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.argtypes = [c_void_p, c_char_p, c_void_p]
new_capsule.restype = ctypes.py_object
CAPSULE_NAMES = {kind: kind.encode() for kind in ("arrow_schema", "arrow_array", "arrow_array_stream")}


def address(f):
    return ctypes.cast(f, c_void_p).value


class Producer:
    """A table of float columns and an optional frame column, as C structs
    a test may spoil before handing them over. It counts the releases of the
    structs a consumer owns once it takes them (the root schema, each batch,
    the stream)."""

    def __init__(self, columns, batches=1):
        self.keep = []
        self.released = []
        self.schema_release = SCHEMA_RELEASE(lambda s: self._release("schema", s))
        self.array_release = ARRAY_RELEASE(lambda a: self._release("batch", a))
        self.child_schema_release = SCHEMA_RELEASE(lambda s: setattr(s.contents, "release", None))
        self.child_array_release = ARRAY_RELEASE(lambda a: setattr(a.contents, "release", None))
        self.children = [self.child_schema(name, fmt) for name, fmt, _ in columns]
        self.schema = ArrowSchema(b"+s", b"", None, 0, len(columns), self.pointers(ArrowSchema, self.children), None,
                                  address(self.schema_release), None)
        self.batches = [self.batch([self.child_array(values) for _, _, values in columns]) for _ in range(batches)]

    def _release(self, what, struct):
        self.released.append(what)
        struct.contents.release = None

    def pointers(self, kind, structs):
        array = (POINTER(kind) * len(structs))(*[ctypes.pointer(s) for s in structs])
        self.keep.append(array)
        return ctypes.cast(array, POINTER(POINTER(kind)))

    def buffers(self, *pointers):
        array = (c_void_p * len(pointers))(*pointers)
        self.keep.append(array)
        return ctypes.cast(array, POINTER(c_void_p))

    def child_schema(self, name, fmt):
        return ArrowSchema(fmt, name, None, 2, 0, None, None, address(self.child_schema_release), None)

    def child_array(self, values):
        self.keep.append(values)
        return ArrowArray(len(values), 0, 0, 2, 0, self.buffers(None, values.ctypes.data), None, None,
                          address(self.child_array_release), None)

    def batch(self, children):
        length = children[0].length if children else 0
        return ArrowArray(length, 0, 0, 1, len(children), self.buffers(None), self.pointers(ArrowArray, children),
                          None, address(self.array_release), None)

    def capsule(self, struct, kind):
        self.keep.append(struct)
        return new_capsule(ctypes.addressof(struct), CAPSULE_NAMES[kind], None)

    def __arrow_c_array__(self, requested_schema=None):
        return self.capsule(self.schema, "arrow_schema"), self.capsule(self.batches[0], "arrow_array")


class StreamProducer(Producer):
    """The same structs as a stream, whose callbacks a test may take away."""

    def __init__(self, columns, batches=1, fill_schema=True):
        super().__init__(columns, batches)
        self.fill_schema = fill_schema
        self.stream = ArrowArrayStream(
            address(self.keep_callback(GET_SCHEMA(self.get_schema))),
            address(self.keep_callback(GET_NEXT(self.get_next))),
            address(self.keep_callback(GET_LAST_ERROR(lambda s: b"no"))),
            address(self.keep_callback(STREAM_RELEASE(lambda s: self._release("stream", s)))),
            None,
        )
        self.given = 0

    def keep_callback(self, f):
        self.keep.append(f)
        return f

    def get_schema(self, stream, out):
        if self.fill_schema:
            ctypes.memmove(out, ctypes.addressof(self.schema), ctypes.sizeof(ArrowSchema))
        return 0

    def get_next(self, stream, out):
        if self.given < len(self.batches):
            ctypes.memmove(out, ctypes.addressof(self.batches[self.given]), ctypes.sizeof(ArrowArray))
            self.given += 1
        else:
            out.contents.release = None
        return 0

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule(self.stream, "arrow_array_stream")


def floats(*values):
    return np.array(values, np.float32)


def camera():
    """Three rows: a float column x and a rising int32 frame column."""
    return [(b"x", b"f", floats(0.5, 1.5, 2.5)), (b"frame", b"i", np.array([10, 20, 30], np.int32))]


def child(p, k=0):
    return p.batches[0].children[k].contents


def set_child_buffers(p, buffers):
    child(p).buffers = buffers


def null_item(pointers, k, kind):
    pointers[k] = POINTER(kind)()


def setting(where, field, value):
    """A spoiler that sets one field of the struct where(p) picks."""
    return lambda p: setattr(where(p), field, value)


BATCH, SCHEMA = (lambda p: p.batches[0]), (lambda p: p.schema)
X, FRAME = child, (lambda p: child(p, 1))
X_SCHEMA, FRAME_SCHEMA = (lambda p: p.children[0]), (lambda p: p.children[1])

# Each spoils one field of a good producer; what the ValueError says.
MALFORMED = [
    ("negative batch length", setting(BATCH, "length", -1), "length -1 and offset 0"),
    ("negative batch offset", setting(BATCH, "offset", -2), "length 3 and offset -2"),
    ("batch offset past its children", setting(BATCH, "offset", 1), "'x' holds 3 rows where its batch reads 4"),
    ("child shorter than its batch", setting(X, "length", 2), "'x' holds 2 rows where its batch reads 3"),
    ("negative child offset", setting(X, "offset", -1), "'x' in a batch has length 3 and offset -1"),
    ("child offset at the end of the index", setting(FRAME, "offset", 2**63 - 2),
     "'frame' in a batch has an offset and length past the largest 64-bit index"),
    ("NULL buffers", setting(X, "buffers", None), "'x' in a batch has 2 buffers, NULL,"),
    ("NULL buffer of values", lambda p: set_child_buffers(p, p.buffers(None, None)), "'x' has no values"),
    ("no buffers", setting(X, "n_buffers", 0), "'x' in a batch has 0 buffers where its type has 2"),
    ("one buffer", setting(X, "n_buffers", 1), "has 1 buffers where its type has 2"),
    ("a float child of 3 buffers", setting(X, "n_buffers", 3), "has 3 buffers where its type has 2"),
    ("a batch of 2 buffers", setting(BATCH, "n_buffers", 2), "a batch has 2 buffers where its type has 1"),
    ("NULL format", setting(SCHEMA, "format", None), "its schema has no format"),
    ("NULL child format", setting(FRAME_SCHEMA, "format", None), "'frame' has no format"),
    ("NULL schema children", setting(SCHEMA, "children", None), "schema has 2 columns and no children"),
    ("NULL schema child", lambda p: null_item(p.schema.children, 1, ArrowSchema), "column 1 of its schema is NULL"),
    ("NULL batch child", lambda p: null_item(p.batches[0].children, 0, ArrowArray), "'x' is NULL in a batch"),
    ("negative column count", setting(SCHEMA, "n_children", -1), "its schema has -1 columns"),
    ("NULL batch children", setting(BATCH, "children", None), "a batch has 2 columns and no children"),
    ("batch of other columns", setting(BATCH, "n_children", 1), "batch does not match its schema"),
    ("released schema", setting(SCHEMA, "release", None), r"schema is released \(release is NULL\)"),
    ("released batch", setting(BATCH, "release", None), "a batch is released"),
    ("released schema child", setting(X_SCHEMA, "release", None), "'x' is released in the schema"),
    ("released batch child", setting(X, "release", None), "'x' in a batch is released"),
    ("nulls counted without a bitmap", setting(X, "null_count", 2), "'x' in a batch counts 2 nulls and has no"),
    ("batch nulls without a bitmap", setting(BATCH, "null_count", 1), "a batch counts 1 nulls and has no validity"),
    ("a null count below -1", setting(X, "null_count", -2), "counts -2 nulls"),
]
# A stream reads a released schema as none given (and asks for no batch),
# and a released batch as its end: the message, and what is released.
IN_A_STREAM = {"released schema": ("gives no schema", ["stream"]),
               "released batch": ("not 0 rows", ["schema", "stream"])}


def releases_owed(p, stream):
    """What the consumer takes, and so must release: the structs handed over not released already."""
    owed = ["schema"] if p.schema.release else []
    batches = p.batches if stream else p.batches[:1]
    owed += ["batch"] * sum(1 for b in batches if b.release)
    return owed + (["stream"] if stream else [])


@pytest.mark.parametrize("stream", [False, True], ids=["array", "stream"])
@pytest.mark.parametrize("case", MALFORMED, ids=[c[0] for c in MALFORMED])
def test_from_arrow_refuses_each_malformed_structure(case, stream):
    name, spoil, message = case
    p = (StreamProducer if stream else Producer)(camera())
    spoil(p)
    owed = releases_owed(p, stream)
    if stream and name in IN_A_STREAM:
        message, owed = IN_A_STREAM[name]
    with pytest.raises(ValueError, match=message):
        gridvane.from_arrow(p)
    assert sorted(p.released) == sorted(owed)


def test_from_arrow_refuses_a_stream_it_cannot_drive():
    cases = [
        ("get_schema", "lacks a callback"),
        ("get_next", "lacks a callback"),
        ("get_last_error", "lacks a callback"),
        ("release", r"stream is released \(release is NULL\)"),
    ]
    for field, message in cases:
        p = StreamProducer(camera())
        setattr(p.stream, field, None)
        with pytest.raises(ValueError, match=message):
            gridvane.from_arrow(p)
        assert p.released == ([] if field == "release" else ["stream"]), field
    p = StreamProducer(camera(), fill_schema=False)
    with pytest.raises(ValueError, match=r"gives no schema \(get_schema succeeded and filled nothing\)"):
        gridvane.from_arrow(p)


def test_from_arrow_checks_the_sum_of_batch_lengths():
    for lengths in [(2**62, 2**62), (2**31 - 1, 1)]:
        p = StreamProducer(camera(), batches=2)
        for batch, length in zip(p.batches, lengths):
            batch.length = length
            for k in range(2):  # children that claim as much: only the counts are looked at
                batch.children[k].contents.length = length
        with pytest.raises(ValueError, match="at most 2147483647 rows"):
            gridvane.from_arrow(p)
        assert sorted(p.released) == ["batch", "batch", "schema", "stream"]


@pytest.mark.parametrize("make", [Producer, StreamProducer], ids=["array", "stream"])
def test_from_arrow_reads_good_structures_with_their_offsets(make):
    p = make(camera())
    t = gridvane.from_arrow(p)
    assert t[:, 0].tolist() == [0.5, 1.5, 2.5] and t.frames.tolist() == [10, 20, 30] and t.columns == ("x",)
    assert sorted(p.released) == sorted(releases_owed(make(camera()), make is StreamProducer))

    # The batch skips a row, and the child x its first value of its own.
    columns = camera()
    columns[0] = (b"x", b"f", floats(9.0, 0.5, 1.5, 2.5))
    p = make(columns)
    x = child(p)
    x.offset, x.length = 1, 3
    p.batches[0].offset, p.batches[0].length = 1, 2
    t = gridvane.from_arrow(p)
    assert t[:, 0].tolist() == [1.5, 2.5] and t.frames.tolist() == [20, 30]

    # A frame column given twice is refused, not read as two.
    twice = camera() + [(b"frame", b"i", np.array([40, 50, 60], np.int32))]
    with pytest.raises(ValueError, match="column 'frame' comes twice: a table has one frame column"):
        gridvane.from_arrow(make(twice))


def test_from_arrow_takes_an_unknown_null_count_without_a_bitmap_as_no_nulls():
    p = Producer(camera())
    child(p).null_count = -1  # "not computed": Arrow's own importer reads a missing bitmap as no nulls
    assert gridvane.from_arrow(p)[:, 0].tolist() == [0.5, 1.5, 2.5]
