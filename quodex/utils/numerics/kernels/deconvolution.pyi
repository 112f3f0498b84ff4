from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

_F64: TypeAlias = npt.NDArray[np.float64]
_Rows: TypeAlias = tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], npt.NDArray[np.float64]]

__test__: dict[str, Any]

def ML_EM_cy(
    y: _F64 | None,
    offsets: npt.NDArray[np.int64] | None,
    indices: npt.NDArray[np.int32] | None,
    values: _F64 | None,
    sensitivity: _F64 | None,
    iterations: int = 30,
    reg_tikhonov: bool | None = False,
    reg_tikhonov_lambda: float = 0.001,
    use_sensitivity: bool | None = False,
) -> _F64: ...
def build_gaussian_response(axis: Any, sigma: Any, nsigma: float = 5.0) -> _Rows: ...
def richardson_lucy_cy(
    x: _F64 | None,
    y: _F64 | None,
    k: float,
    sensitivity: _F64 | None,
    iterations: int = 30,
    reg_tikhonov: bool | None = False,
    reg_tikhonov_lambda: float = 0.001,
    use_sensitivity: bool | None = False,
) -> _F64: ...
def combine_rows(
    offsets_a: npt.NDArray[np.int64] | None,
    indices_a: npt.NDArray[np.int32] | None,
    values_a: _F64 | None,
    scale_a: _F64 | None,
    offsets_b: npt.NDArray[np.int64] | None,
    indices_b: npt.NDArray[np.int32] | None,
    values_b: _F64 | None,
    scale_b: _F64 | None,
) -> _Rows: ...
def row_sums(offsets: npt.NDArray[np.int64] | None, values: _F64 | None, n: int) -> _F64: ...
def fold_rows(
    x: _F64 | None,
    offsets: npt.NDArray[np.int64] | None,
    indices: npt.NDArray[np.int32] | None,
    values: _F64 | None,
) -> _F64: ...
