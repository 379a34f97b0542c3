"""Round trips of random tables, numpy -> file -> numpy, in both forms."""
import os
import pickle
import tempfile

import numpy as np
import pytest
from conftest import bits

import gridvane

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

tables = hnp.arrays(np.float32, hnp.array_shapes(min_dims=2, max_dims=2, max_side=12),
                    elements=st.floats(width=32, allow_subnormal=True))
FOLDER = tempfile.mkdtemp(prefix="gridvane-properties-")
# NaN and infinity are read as written, with a warning each.
pytestmark = pytest.mark.filterwarnings("ignore::gridvane.FormatWarning")


def same_as_text_keeps_it(a, b):
    """Text keeps every finite value and infinity exactly, NaN with its sign but not its payload."""
    return np.array_equal(a, b, equal_nan=True) and np.array_equal(np.signbit(a), np.signbit(b))


@given(tables)
def test_files_and_bytes_round_trip(a):
    t = gridvane.from_numpy(a)
    for kind, suffix in (("binary", ".chb"), ("ascii", ".txt")):
        path = os.path.join(FOLDER, "t" + suffix)
        t.save(path)
        for back in (gridvane.load(path).to_numpy(), gridvane.read(t.tobytes(kind), kind=kind).to_numpy()):
            if kind == "binary":
                assert np.array_equal(bits(back), bits(a))
            else:
                assert same_as_text_keeps_it(back, a)


@given(tables, st.data())
def test_frames_round_trip(a, data):
    frames = np.sort(data.draw(hnp.arrays(np.float32, a.shape[0], unique=True,
                                          elements=st.floats(width=32, allow_nan=False))))
    frames[frames == 0] = 0  # -0.0 and 0.0 are one frame
    if np.unique(frames).size < frames.size:
        return
    t = gridvane.from_numpy(a, frames=frames)
    assert np.array_equal(bits(t.to_numpy()), bits(a)) and np.array_equal(bits(t.frames), bits(frames))
    back = pickle.loads(pickle.dumps(t))
    assert np.array_equal(bits(back.to_numpy()), bits(a)) and np.array_equal(bits(back.frames), bits(frames))
    text = gridvane.read(t.tobytes())
    assert same_as_text_keeps_it(text.to_numpy(), a) and np.array_equal(text.frames, frames)
