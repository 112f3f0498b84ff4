"""Coverage-guided fuzzing of the Python boundary with atheris, for long runs outside CI:

    pip install atheris
    python tests/fuzz/boundary_fuzzer.py -atheris_runs=1000000      # or -max_total_time=3600

Every kernel is called with arguments built from the fuzzer's bytes (arrays of any dtype, shape,
stride and writability, numbers, None, strings, misbehaving objects), by position and by keyword. A
crash, an exception type the kernels never raise, or a modified input stops the run."""
import array
import sys

import atheris

with atheris.instrument_imports():
    import numpy as np
    from quodex.utils.numerics.kernels import deconvolution, gaussian, mariscotti, tarvel

FUNCTIONS = [getattr(m, n) for m in (deconvolution, tarvel, mariscotti, gaussian) for n in sorted(vars(m))
             if type(getattr(m, n)).__name__ == "quodex_function"]
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, BufferError, MemoryError)
DTYPES = ["f8", "f4", "i8", "i4", "u1", "?", "c16", ">f8", ">i4", "O", "S2"]


class Boom(Exception):
    pass


class Hostile:
    def __float__(self):
        raise Boom

    def __int__(self):
        return 1.5


def make_array(fdp):
    dtype = np.dtype(DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)])
    ndim = fdp.ConsumeIntInRange(0, 3)
    shape = tuple(fdp.ConsumeIntInRange(0, 8) for _ in range(ndim))
    size = int(np.prod(shape)) if shape else 1
    values = [fdp.ConsumeRegularFloat() if dtype.kind in "fc" else fdp.ConsumeIntInRange(-5, 5000)
              for _ in range(size)]
    with np.errstate(all="ignore"):
        try:
            a = np.array(values, dtype=object).astype(dtype).reshape(shape)
        except (TypeError, ValueError, OverflowError):
            a = np.zeros(shape, dtype=dtype)
    layout = fdp.ConsumeIntInRange(0, 4)
    if layout == 1 and a.ndim:
        a = np.repeat(a, 2, axis=0)[::2]
    elif layout == 2 and a.ndim:
        a = a[::-1]
    elif layout == 3:
        a.flags.writeable = False
    elif layout == 4 and a.ndim and a.size:
        a = np.lib.stride_tricks.as_strided(a, a.shape, (0,) + a.strides[1:], writeable=False)
    return a


def make_object(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-(2**40), 2**40) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(-3, 50)
    if kind == 3:
        return fdp.ConsumeFloat()
    if kind == 4:
        return fdp.ConsumeUnicode(4)
    if kind == 5:
        return Hostile()
    if kind == 6:
        return array.array("d", [fdp.ConsumeRegularFloat() for _ in range(fdp.ConsumeIntInRange(0, 6))])
    if kind == 7:
        return memoryview(bytearray(fdp.ConsumeBytes(16)))
    return make_array(fdp)


def snapshot(o):
    if isinstance(o, np.ndarray):
        return o.tobytes() if o.dtype.kind != "O" else None, o.flags.writeable
    if isinstance(o, array.array):
        return o.tobytes()
    return None


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    func = FUNCTIONS[fdp.ConsumeIntInRange(0, len(FUNCTIONS) - 1)]
    names = func.__code__.co_varnames[: func.__code__.co_argcount]
    args = [make_object(fdp) for _ in range(fdp.ConsumeIntInRange(0, len(names) + 1))]
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        name = names[fdp.ConsumeIntInRange(0, len(names) - 1)] if fdp.ConsumeBool() else "bogus"
        kwargs[name] = make_object(fdp)
    # Keep iteration counts small: a valid call with 2**31 - 1 iterations is not a fault, only slow.
    if "iterations" in names:
        at = names.index("iterations")
        if at < len(args) and isinstance(args[at], int):
            args[at] = min(args[at], 100)
        if isinstance(kwargs.get("iterations"), int):
            kwargs["iterations"] = min(kwargs["iterations"], 100)
    before = [(o, snapshot(o)) for o in args + list(kwargs.values())]
    with np.errstate(all="ignore"):
        try:
            func(*args, **kwargs)
        except ALLOWED + (Boom,):
            pass
    for o, s in before:
        if s is not None and snapshot(o) != s:
            raise AssertionError(f"{func.__name__} modified an input")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
