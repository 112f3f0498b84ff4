"""Hostile input at the Python boundary: every kernel called with arbitrary mixes of objects, by
position and by keyword. Whatever happens, the interpreter survives, the exception (if any) is one the
frame uses or one the argument itself raised, and no input is modified."""
import array
import importlib
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

MODULES = ["deconvolution", "tarvel", "mariscotti", "gaussian"]
FUNCTIONS = []
for _name in MODULES:
    try:
        _mod = importlib.import_module(f"quodex.utils.numerics.kernels.{_name}")
    except ImportError:
        continue
    for _attr, _obj in sorted(vars(_mod).items()):
        if type(_obj).__name__ == "quodex_function":
            FUNCTIONS.append(_obj)

ALLOWED = (TypeError, ValueError, IndexError, OverflowError, BufferError, MemoryError)


class Boom(Exception):
    """Raised by the hostile objects themselves; must propagate unchanged."""


class RaisingNumber:
    def __float__(self):
        raise Boom

    def __int__(self):
        raise Boom

    def __index__(self):
        raise Boom


class WrongNumber:
    def __float__(self):
        return "x"

    def __int__(self):
        return 1.5

    def __index__(self):
        return None


class IntSubclass(int):
    pass


class SubclassNumber:
    def __int__(self):
        return IntSubclass(3)

    def __float__(self):
        return 2.0


class Truthy:
    def __bool__(self):
        raise Boom


DTYPES = ["f8", "f4", "f2", "i8", "i4", "i2", "u1", "?", "c16", "O", "U3", "S2", ">f8", ">i8", ">i4", "g", "f8,f8", "M8[s]"]


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    ndim = draw(st.sampled_from([0, 1, 1, 1, 2, 3]))
    shape = tuple(draw(st.integers(0, 6)) for _ in range(ndim))
    size = int(np.prod(shape)) if shape else 1
    if dtype.kind in "fc":
        data = draw(st.lists(st.floats(allow_nan=True, allow_infinity=True, width=32), min_size=size, max_size=size))
    else:
        data = draw(st.lists(st.integers(-3, 3000), min_size=size, max_size=size))
    with np.errstate(all="ignore"):
        try:
            a = np.array(data, dtype=object).astype(dtype).reshape(shape)
        except (TypeError, ValueError, OverflowError):
            a = np.zeros(shape, dtype=dtype)
    layout = draw(st.sampled_from(["plain", "strided", "reversed", "readonly", "zero-stride", "fortran"]))
    if layout == "strided" and a.ndim >= 1:
        big = np.zeros((a.shape[0] * 2,) + a.shape[1:], dtype=dtype)
        big[::2] = a
        a = big[::2]
    elif layout == "reversed" and a.ndim >= 1:
        a = a[::-1]
    elif layout == "readonly":
        a.flags.writeable = False
    elif layout == "zero-stride" and a.ndim >= 1 and a.size:
        a = np.lib.stride_tricks.as_strided(a, shape=a.shape, strides=(0,) + a.strides[1:], writeable=False)
    elif layout == "fortran" and a.ndim >= 2:
        a = np.asfortranarray(a)
    return a


def exporters(draw_array):
    return st.one_of(
        draw_array,
        draw_array.map(lambda a: memoryview(a) if a.dtype.kind not in "OUSM" and a.dtype.names is None else a),
        st.lists(st.floats(allow_nan=True), max_size=6).map(lambda v: array.array("d", v)),
        st.lists(st.integers(-5, 5), max_size=6).map(lambda v: array.array("i", v)),
        st.lists(st.floats(allow_nan=True), max_size=6).map(lambda v: array.array("f", v)),
        st.binary(max_size=16),
        st.builds(bytearray, st.binary(max_size=16)),
    )


objects = st.one_of(
    st.none(),
    st.booleans(),
    st.sampled_from([0, 1, -1, 3, 30, 2**31, -(2**31) - 1, 2**63, 2**100, IntSubclass(2)]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=4),
    st.lists(st.floats(allow_nan=True), max_size=4),
    st.sampled_from([RaisingNumber(), WrongNumber(), SubclassNumber(), Truthy(), object(), np.float32(1.5), np.int64(7)]),
    exporters(arrays()),
)


def snapshot(obj):
    if isinstance(obj, np.ndarray):
        return ("nd", obj.copy(), obj.flags.writeable)
    if isinstance(obj, (array.array, bytearray, list)):
        return ("seq", list(obj))
    if isinstance(obj, memoryview):
        try:
            return ("mv", obj.tobytes())
        except (TypeError, ValueError, NotImplementedError):
            return None
    return None


def unchanged(obj, snap):
    if snap is None:
        return True
    kind = snap[0]
    if kind == "nd":
        same = np.array_equal(obj, snap[1], equal_nan=obj.dtype.kind in "fc") if obj.dtype.kind not in "OUSMV" else (
            obj.tobytes() == snap[1].tobytes() if obj.dtype.kind != "O" else True)
        return same and obj.flags.writeable == snap[2]
    if kind == "seq":
        return all((a == b) or (a != a and b != b) for a, b in zip(obj, snap[1])) and len(obj) == len(snap[1])
    return obj.tobytes() == snap[1]


# NumPy deprecates float() of one-element arrays, and __int__ returning an int subclass warns.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.skipif(not FUNCTIONS, reason="no module built")
@pytest.mark.parametrize("func", FUNCTIONS, ids=lambda f: f.__name__)
@settings(max_examples=int(os.environ.get("QUODEX_FUZZ_EXAMPLES", 150)), deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_arbitrary_arguments(func, data):
    names = list(func.__code__.co_varnames[: func.__code__.co_argcount])
    npos = data.draw(st.integers(0, len(names) + 1), label="positional")
    args = [data.draw(objects, label=f"arg{k}") for k in range(npos)]
    kw_names = data.draw(st.lists(st.sampled_from(names + ["bogus"]), unique=True, max_size=3), label="keywords")
    kwargs = {k: data.draw(objects, label=k) for k in kw_names}
    snaps = [(o, snapshot(o)) for o in list(args) + list(kwargs.values())]
    with np.errstate(all="ignore"):
        try:
            func(*args, **kwargs)
        except ALLOWED:
            pass
        except Boom:
            pass
    for o, s in snaps:
        assert unchanged(o, s)


@pytest.mark.skipif(not FUNCTIONS, reason="no module built")
@pytest.mark.parametrize("func", FUNCTIONS, ids=lambda f: f.__name__)
def test_plausible_but_wrong_arrays(func):
    """Well-typed arrays of every small length in every position: only the frame's exceptions."""
    names = func.__code__.co_varnames[: func.__code__.co_argcount]
    rng = np.random.default_rng(0)
    for trial in range(200):
        args = []
        for _ in names:
            choice = rng.integers(0, 5)
            n = int(rng.integers(0, 5))
            args.append([np.linspace(-1.0, 3000.0, n), np.arange(n, dtype=np.int64) - 1,
                         np.arange(n, dtype=np.int32) - 1, np.full((n, n), 0.5), float(rng.normal() * 100)][choice])
        with np.errstate(all="ignore"):
            try:
                func(*args)
            except ALLOWED:
                pass
