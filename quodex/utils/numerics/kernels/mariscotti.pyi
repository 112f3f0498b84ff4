from typing import Any

import numpy as np
import numpy.typing as npt

__test__: dict[str, Any]

def mariscotti_peak_search_cy(y_d2: Any) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
