from typing import Any

import numpy as np
import numpy.typing as npt

__test__: dict[str, Any]

def multi_gaussian_cy(x: npt.NDArray[np.float64], params: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
def multi_gaussian_jacobian_cy(x: npt.NDArray[np.float64], params: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
