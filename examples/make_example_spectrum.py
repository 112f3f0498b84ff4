"""Writes examples/mixed_source.Spe, the spectrum the README's examples analyse: the seeded synthetic HPGe
spectrum of the mixed source (59.54, 661.66, 1173.23, 1332.49, 1460.82, 2614.51 keV), 8192 channels,
as an IAEA SPE file whose calibration is 0.1 % off in gain, as an MCA's often is. Run it again to
regenerate the file (it is the same byte for byte)."""
import os

from quodex.spectrum import synthetic

SEED = 7
GAIN_ERROR = 1.001
LIVE_S, REAL_S = 3600, 3652


def spe_text(counts, calibration):
    lines = ["$SPEC_ID:", "synthetic mixed source (quodex.spectrum.synthetic, seed %d)" % SEED,
             "$SPEC_REM:", "DETDESC# HPGe (synthetic)", "$DATE_MEA:", "01/15/2026 09:30:00",
             "$MEAS_TIM:", f"{LIVE_S} {REAL_S}", "$DATA:", f"0 {len(counts) - 1}"]
    lines += [f"{int(c):8d}" for c in counts]
    lines += ["$ENER_FIT:", f"{calibration[0]:.6f} {calibration[1]:.9f}",
              "$MCA_CAL:", "2", f"{calibration[0]:.6E} {calibration[1]:.9E} keV"]
    return "\r\n".join(lines) + "\r\n"


def main(path=os.path.join(os.path.dirname(os.path.abspath(__file__)), "mixed_source.Spe")):
    energy, counts = synthetic.hpge_mixed_source(n=8192, seed=SEED)
    step = float(energy[1] - energy[0])
    with open(path, "w", newline="") as f:
        f.write(spe_text(counts, (float(energy[0]), step * GAIN_ERROR)))
    return path


if __name__ == "__main__":
    print(main())
