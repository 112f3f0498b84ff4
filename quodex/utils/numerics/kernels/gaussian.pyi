from typing import Any

import numpy as np
import numpy.typing as npt

__test__: dict[str, Any]

def multi_gaussian_cy(x: npt.NDArray[np.float64], params: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
def multi_gaussian_jacobian_cy(x: npt.NDArray[np.float64], params: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
def fit_peaks_cy(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], sigma: npt.NDArray[np.float64],
                 p0: npt.NDArray[np.float64], lower: npt.NDArray[np.float64], upper: npt.NDArray[np.float64],
                 max_nfev: int = 200, shape: bool = False) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], float, int]: ...
