import array

import numpy as np
import pytest


def strided(a, step=2):
    """A non-contiguous view holding the same values as `a` (every `step`-th element of a larger array)."""
    a = np.asarray(a)
    fill = np.nan if a.dtype.kind in "fc" else 0
    big = np.full((a.shape[0] * step,) + a.shape[1:], fill, dtype=a.dtype)
    big[::step] = a
    return big[::step]

def reversed_view(a):
    """A negative-stride view holding the same values as `a`."""
    a = np.asarray(a)
    return a[::-1].copy()[::-1]

def readonly(a):
    a = np.array(a)
    a.flags.writeable = False
    return a

def layouts(a):
    """The same values as contiguous, strided, negative-stride and read-only arrays."""
    a = np.asarray(a)
    return {"contiguous": a.copy(), "strided": strided(a), "reversed": reversed_view(a), "readonly": readonly(a)}

def export_released(obj):
    """True when no buffer export of an array.array is held: resizing fails while one is."""
    try:
        obj.append(obj[0] if len(obj) else 0)
    except BufferError:
        return False
    obj.pop()
    return True

def doubles(values):
    return array.array("d", values)


@pytest.fixture
def rebind_np(monkeypatch):
    """Rebinds a module's `np` for one test: rebind_np(module, replacement) returns the replacement."""
    def install(module, replacement):
        monkeypatch.setattr(module, "np", replacement)
        return replacement
    return install
