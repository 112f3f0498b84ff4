"""The main job: `quodex-spectrum` on a seeded synthetic HPGe spectrum of a mixed source (59.54, 661.66,
1173.23, 1332.49, 1460.82 and 2614.51 keV), or on a spectrum FILE. Same options (try --help):
peak search on a ladder of summed widths (mariscotti_peak_search_cy), Gaussian fits with the analytic
Jacobian (multi_gaussian_cy, multi_gaussian_jacobian_cy), sharpening (richardson_lucy_cy), response
resampling (tarvel_cy, build_gaussian_response) and unfolding (ML_EM_cy)."""
import sys

from quodex.spectrum.cli import main

if __name__ == "__main__":
    sys.exit(main())
