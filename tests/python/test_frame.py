"""The Python face shared by every kernel: module start-up, function objects, argument binding and
conversion messages, traceback entries. Exercised through build_gaussian_response."""
import array
import ctypes
import importlib
import inspect
import pickle
import pydoc
import re
import subprocess
import sys
import textwrap
import traceback
import types
from pathlib import Path

import numpy as np
import pytest

from conftest import doubles, export_released

MODULE = "quodex.utils.numerics.kernels.deconvolution"
from quodex.utils.numerics.kernels import deconvolution as mod  # noqa: E402

f = mod.build_gaussian_response
AX = np.linspace(0.0, 10.0, 11)
SIG = np.ones(11)


def error_of(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


# -- module start-up -------------------------------------------------------------------------------

def test_namespace_holds_np_functions_and_test_dict():
    public = {k for k in vars(mod) if not k.startswith("__")}
    assert {"np", "build_gaussian_response"} <= public
    assert public - {"np"} <= {"ML_EM_cy", "build_gaussian_response", "richardson_lucy_cy", "combine_rows", "row_sums",
                               "fold_rows"}
    assert mod.np is np
    assert mod.__test__ == {}
    assert sys.modules[MODULE] is mod
    assert mod.__package__ == "quodex.utils.numerics.kernels"
    assert mod.__file__ == mod.__spec__.origin


@pytest.mark.parametrize("short", ["deconvolution", "tarvel", "mariscotti", "gaussian"])
def test_each_module_holds_the_functions_its_stub_declares(short):
    module = importlib.import_module(f"quodex.utils.numerics.kernels.{short}")
    stub = Path(module.__file__).parent / f"{short}.pyi"
    declared = set(re.findall(r"^def (\w+)\(", stub.read_text(), re.M))
    public = {k for k in vars(module) if not k.startswith("__")} - {"np"}
    assert public == declared


def test_import_and_reload_return_the_same_module():
    assert importlib.import_module(MODULE) is mod
    assert importlib.reload(mod) is mod
    assert mod.build_gaussian_response is f


def test_exec_on_another_module_object_is_refused():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(types.ModuleType("other"), api.PyModule_GetDef(mod))
    assert str(info.value) == (
        "Module 'deconvolution' has already been imported. Re-initialisation is not supported.")


def test_second_interpreter_is_refused():
    code = textwrap.dedent(f"""
        import {MODULE}
        try:
            import _interpreters as si
        except ImportError:
            try:
                import _xxsubinterpreters as si
            except ImportError:
                raise SystemExit(77)
        # A legacy (shared-GIL) interpreter, so the import reaches the module's own check.
        if hasattr(si, "new_config"):
            iid = si.create(si.new_config("legacy"))
        else:
            try:
                iid = si.create(isolated=False)
            except TypeError:
                iid = si.create()
        src = "import {MODULE}"
        try:
            out = si.run_string(iid, src)
        except Exception as e:
            out = e
        print(out)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if proc.returncode == 77:
        pytest.skip("this interpreter cannot start a second interpreter")
    assert proc.returncode == 0, proc.stderr
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in proc.stdout


def test_import_does_not_warn():
    proc = subprocess.run([sys.executable, "-W", "error", "-c", f"import {MODULE}"], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr


def test_rebinding_np_takes_effect():
    class FakeNumPy:
        def __getattr__(self, name):
            return getattr(np, name)

        @staticmethod
        def empty(n, dtype=None):
            return [0] * n

    mod.np = FakeNumPy()
    try:
        assert error_of(lambda: f(AX, SIG)) == (TypeError, "Cannot convert list to numpy.ndarray")
    finally:
        mod.np = np
    assert len(f(AX, SIG)) == 3


# -- function objects ------------------------------------------------------------------------------

def test_function_attributes():
    assert f.__name__ == f.__qualname__ == "build_gaussian_response"
    assert f.__module__ == MODULE
    assert f.__doc__ is None
    assert f.__defaults__ == (5.0,)
    assert f.__kwdefaults__ is None
    code = f.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_argcount == 3 and code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames == ("axis", "sigma", "nsigma")
    assert code.co_filename.endswith("deconvolution/module.cpp")


def test_signature_help_repr_and_pickling():
    assert str(inspect.signature(f)) == "(axis, sigma, nsigma=5.0)"
    assert "build_gaussian_response(axis, sigma, nsigma=5.0)" in pydoc.render_doc(f, renderer=pydoc.plaintext)
    assert repr(f).startswith(f"<function {MODULE}.build_gaussian_response at 0x")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f




# -- binding ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, "build_gaussian_response() takes at least 2 positional arguments (0 given)"),
    ((AX,), {}, "build_gaussian_response() takes at least 2 positional arguments (1 given)"),
    ((AX, SIG, 5.0, 1), {}, "build_gaussian_response() takes at most 3 positional arguments (4 given)"),
    ((AX, SIG, 5.0, 1), {"sigma": SIG}, "build_gaussian_response() takes at most 3 positional arguments (4 given)"),
    ((), {"sigma": SIG}, "build_gaussian_response() takes at least 2 positional arguments (0 given)"),
    ((AX,), {"nsigma": 1.0}, "build_gaussian_response() takes at least 2 positional arguments (1 given)"),
    ((AX,), {"axis": AX}, "build_gaussian_response() got multiple values for keyword argument 'axis'"),
    ((AX, SIG), {"sigmas": SIG}, "build_gaussian_response() got an unexpected keyword argument 'sigmas'"),
    ((AX,), {"sigma": SIG, "bogus": 1}, "build_gaussian_response() got an unexpected keyword argument 'bogus'"),
])
def test_binding_messages(args, kwargs, expected):
    assert error_of(lambda: f(*args, **kwargs)) == (TypeError, expected)


def test_keywords_in_any_order_and_by_dict():
    ref = f(AX, SIG, 2.0)
    for got in (f(sigma=SIG, axis=AX, nsigma=2.0), f(AX, nsigma=2.0, sigma=SIG), f(*(AX,), **{"sigma": SIG, "nsigma": 2.0})):
        for r, g in zip(ref, got):
            np.testing.assert_array_equal(r, g)


def test_non_string_keyword():
    with pytest.raises(TypeError, match="keywords must be strings"):
        f(AX, SIG, **{1: 2})


# -- conversion ------------------------------------------------------------------------------------

@pytest.mark.parametrize("axis, exc, message", [
    (AX.astype(np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (AX.astype(np.int64), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (AX.astype(np.int32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'int'"),
    (AX.astype(np.uint8), ValueError, "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (AX.astype(np.complex128), ValueError, "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (AX.astype(np.longdouble), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long double'"),
    (AX.astype(bool), ValueError, "Buffer dtype mismatch, expected 'double' but got 'bool'"),
    (AX.astype(np.float16), ValueError, "Buffer dtype mismatch, expected 'double' but got unparsable format string"),
    (np.zeros(3, dtype="f8,f8"), ValueError, "Buffer dtype mismatch, expected 'double' but got a struct"),
    (AX.astype(">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (np.zeros((2, 2)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1.0), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (array.array("f", [1.0]), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
])
def test_view_conversion_messages(axis, exc, message):
    assert error_of(lambda: f(axis, SIG)) == (exc, message)


@pytest.mark.parametrize("bad", [[1.0, 2.0], "abc", 3.0, object()])
def test_non_exporters_raise_the_exporters_error(bad):
    with pytest.raises(TypeError):
        f(bad, SIG)


def test_read_only_array_is_refused_for_a_writable_view():
    ro = AX.copy()
    ro.flags.writeable = False
    with pytest.raises((ValueError, BufferError, TypeError), match="read-only"):
        f(ro, SIG)
    with pytest.raises((ValueError, BufferError, TypeError), match="not writable"):
        f(AX, memoryview(bytes(88)).cast("d"))


@pytest.mark.parametrize("make", [
    lambda a: doubles(a), lambda a: memoryview(doubles(a)), lambda a: a.copy()[::-1][::-1], lambda a: np.repeat(a, 2)[::2],
])
def test_any_writable_exporter_is_accepted(make):
    ref = f(AX, SIG)
    got = f(make(AX), make(SIG))
    for r, g in zip(ref, got):
        np.testing.assert_array_equal(r, g)


@pytest.mark.parametrize("nsigma, expected_exc", [
    (3, None), (np.float32(3.0), None), (np.int64(3), None), ("3", TypeError), (None, TypeError), (object(), TypeError),
])
def test_double_conversion(nsigma, expected_exc):
    if expected_exc is None:
        ref = f(AX, SIG, 3.0)
        for r, g in zip(ref, f(AX, SIG, nsigma)):
            np.testing.assert_array_equal(r, g)
    else:
        with pytest.raises(expected_exc):
            f(AX, SIG, nsigma)


def test_float_protocol_errors_propagate():
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("nope")

    with pytest.raises(ZeroDivisionError, match="nope"):
        f(AX, SIG, Bad())


# -- failures: traceback entries, released buffers, unchanged references ----------------------------

def test_traceback_entries_of_a_failure_inside_the_routine():
    with pytest.raises(IndexError) as info:
        f(AX, SIG[:4])
    assert str(info.value) == "Out of bounds on buffer access (axis 0)"
    names = [fs.name for fs in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == [f"{MODULE}.build_gaussian_response"] * 2


# Every kernel function, with a call that fails and the module's traceback entries it then shows,
# outermost first: the function's own, then those of the routines the failure passed through.
KERNELS = "quodex.utils.numerics.kernels"
ROOT = Path(__file__).resolve().parents[2]
FAILING_CALLS = {
    ("deconvolution", "ML_EM_cy"): (
        lambda m: m.ML_EM_cy(np.ones(3), np.array([0, 1, 2, 3]), np.array([0, 1, 7], np.int32), np.ones(3), np.ones(3)),
        ["ML_EM_cy", "ML_EM_cy"]),
    ("deconvolution", "build_gaussian_response"): (
        lambda m: m.build_gaussian_response(AX, SIG[:4]), ["build_gaussian_response"] * 2),
    ("deconvolution", "richardson_lucy_cy"): (
        lambda m: m.richardson_lucy_cy(np.linspace(10.0, 100.0, 8), np.ones(8), 0.5, np.ones(7)),
        ["richardson_lucy_cy", "richardson_lucy_cy", "ML_EM_cy"]),
    ("tarvel", "calculate_regions"): (lambda m: m.calculate_regions(662.0, 3000.0, 1), ["calculate_regions"]),
    ("tarvel", "tarvel_cy"): (
        lambda m: m.tarvel_cy(np.ones((3, 9)), np.array([100.0, 200.0, 300.0]), np.linspace(0.0, 400.0, 9),
                              np.array([150.0]), np.empty(0)),
        ["tarvel_cy", "tarvel_cy", "interpolate_response_row"]),
    ("mariscotti", "mariscotti_peak_search_cy"): (
        lambda m: m.mariscotti_peak_search_cy(None), ["mariscotti_peak_search_cy"]),
    ("gaussian", "multi_gaussian_cy"): (lambda m: m.multi_gaussian_cy(AX, None), ["multi_gaussian_cy"]),
    ("gaussian", "multi_gaussian_jacobian_cy"): (
        lambda m: m.multi_gaussian_jacobian_cy(AX, None), ["multi_gaussian_jacobian_cy"]),
    ("gaussian", "fit_peaks_cy"): (
        lambda m: m.fit_peaks_cy(AX, AX[:3], SIG, np.ones(5), np.zeros(5), np.full(5, 2.0)), ["fit_peaks_cy"]),
}
FUNCTIONS = pytest.mark.parametrize("short, name", list(FAILING_CALLS), ids=[f"{s}.{n}" for s, n in FAILING_CALLS])


def kernel(short, name):
    module = importlib.import_module(f"{KERNELS}.{short}")
    return module, getattr(module, name)


def definition_line(fn):
    """The line of the function's declaration in the source file its code object names."""
    source = ROOT / fn.__code__.co_filename
    if not source.is_file():
        pytest.skip(f"{source} is not here")
    pattern = re.compile(r'\bdefine\("' + re.escape(fn.__name__) + '"')
    lines = [n for n, text in enumerate(source.read_text().splitlines(), 1) if pattern.search(text)]
    assert len(lines) == 1, lines
    return lines[0]


def module_entries(exc, module):
    return [(fs.name.removeprefix(module.__name__ + "."), fs.lineno, fs.filename)
            for fs in traceback.extract_tb(exc.__traceback__) if fs.name.startswith(module.__name__ + ".")]


@FUNCTIONS
def test_code_object_stands_at_the_definition(short, name):
    module, fn = kernel(short, name)
    line = definition_line(fn)
    assert fn.__code__.co_firstlineno == line
    others = {n: getattr(module, n).__code__.co_firstlineno for s, n in FAILING_CALLS if s == short and n != name}
    assert line not in others.values(), others


@FUNCTIONS
def test_failure_inside_the_function_adds_its_entry_at_the_definition(short, name):
    module, fn = kernel(short, name)
    call, names = FAILING_CALLS[short, name]
    with pytest.raises(Exception) as info:
        call(module)
    entries = module_entries(info.value, module)
    assert [n for n, _, _ in entries] == names
    assert {path for _, _, path in entries} == {fn.__code__.co_filename}
    line = definition_line(fn)
    assert entries[0][1] == line
    # The routines' own entries stand at their statements, not at the definition.
    assert all(lineno != line for _, lineno, _ in entries[1:])


@FUNCTIONS
def test_binding_failure_adds_one_entry_at_the_definition(short, name):
    module, fn = kernel(short, name)
    with pytest.raises(TypeError, match=r"takes (at least|exactly) \d+ positional arguments? \(0 given\)") as info:
        fn()
    assert module_entries(info.value, module) == [(name, definition_line(fn), fn.__code__.co_filename)]


@pytest.mark.parametrize("sigma_len", [11, 4])
def test_buffers_are_released_and_references_kept(sigma_len):
    axis = doubles(AX)
    sigma = doubles(SIG[:sigma_len])
    nsigma = 2.5
    before = [sys.getrefcount(o) for o in (axis, sigma, nsigma)]
    try:
        f(axis, sigma, nsigma)
    except IndexError:
        pass
    assert [sys.getrefcount(o) for o in (axis, sigma, nsigma)] == before
    assert export_released(axis) and export_released(sigma)


def test_failure_after_the_first_view_releases_it():
    axis = doubles(AX)
    with pytest.raises(ValueError):
        f(axis, np.zeros((2, 2)))
    assert export_released(axis)
