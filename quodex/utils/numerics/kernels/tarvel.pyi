from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

_F64: TypeAlias = npt.NDArray[np.float64]

__test__: dict[str, Any]

def calculate_regions(E_p: float, max_value: float, has_escape_peaks: bool | None) -> list[float]: ...
def tarvel_cy(
    response_matrix: _F64,
    ref_indices: _F64,
    ref_E_axis: _F64,
    requested_indices: _F64,
    requested_E_axis: _F64,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int32], _F64]: ...
