#!/usr/bin/python3
"""Designs the fixed tables of the IMBE speech analysis and writes them as C++.

    tools/train/imbe_analysis_tables.py OUT.cpp      (make tables-analysis)

Each table is a closed-form design whose free parameters are fitted, by least
squares, to the entries and relations the vocoder fixes; the fitted design is
then sampled and rounded, and the fixed entries are checked (not patched):
the program stops if rounding does not reproduce them. Deterministic: no
random numbers, and the same numpy/scipy give the same file.

- lpf_coef (21 taps, Q15): Kaiser-windowed ideal low-pass (window zero at
  +-11 taps) with gain, cut-off and window shape fitted to the eight fixed
  outer taps; the three inner taps come from the fitted design.
- wi (301 entries, Q15): the squared pitch estimation window, a Welch
  window raised to a power times a Gaussian, p * (1 - (d / R)^2)^b *
  exp(-d^2 / (2 s^2)), smooth at the centre and steep at the ends. The
  error function E(P) relies on sum(wi) = 64 (it takes P / 64 of the
  periodic autocorrelation sum) and sum(wi^2) = 25 (its D(P) falls by
  100/32768 per pitch index); the fit meets both and the four fixed outer
  entries.
- wr (110 entries, Q15): rising half of the 221-point spectrum window, a
  Kaiser window through its two fixed ends (487 at 110 samples from the
  centre, 32760 at one sample).
- wr_sp (321 entries, Q15): the spectrum of that window (the rounded wr,
  mirrored, centre 1.0) on the 256-point transform's frequency grid, sampled
  every 1/64 bin from -2.5 to +2.5 bins and scaled to 32767 at the centre.
- voiced_gain, unvoiced_gain (Q11): the amplitude scale of the analysis, from
  the same window: the synthesiser renders a voiced harmonic of amplitude M
  as a cosine of amplitude M/2, and an unvoiced one of N bins as noise of
  power N M^2 / 12. A cosine of amplitude a has a window spectrum of height
  a sum(w) / 512 (the transform scales by 1/256), so M = 1024 / sum(w) times
  that height; noise of variance s^2 has s^2 sum(w^2) / 65536 per bin and
  2 N s^2 / 256 over N bins, so M = sqrt(6144 / sum(w^2)) times the RMS bin.
- min_max_tbl (203 entries): for pitch index i (period (i + 42) / 2), high
  byte the lowest and low byte the highest index whose period lies within
  0.8 to 1.2 times that period, inclusive, clipped to 0..202.
"""
import sys

import numpy as np
from scipy.optimize import least_squares
from scipy.special import i0

LPF_GIVEN = [-94, -92, 185, 543, 288, -883, -1834, -495]
WI_GIVEN = [15, 18, 21, 25]
WR_FIRST, WR_LAST = 487, 32760
WR_SP_STEPS_PER_BIN = 64


def kaiser(beta, d, radius):
    x = np.clip(1.0 - (d / radius) ** 2, 0.0, None)
    return i0(beta * np.sqrt(x)) / i0(beta)


def q15(values):
    return np.rint(values).astype(np.int64)


def check(name, table, index, given):
    got = [int(v) for v in table[index:index + len(given)]]
    if got != list(given):
        sys.exit(f"{name}: design gives {got}, expected {list(given)}")


def design_lpf():
    n = np.arange(21) - 10.0

    def taps(p):
        gain, cutoff, beta = p
        return gain * 2 * cutoff * np.sinc(2 * cutoff * n) * kaiser(beta, n, 11.0)

    fit = least_squares(lambda p: taps(p)[:8] - LPF_GIVEN, [32768.0, 0.18, 5.0])
    h = q15(taps(fit.x))
    # The outer taps are the vocoder's own; the design fixes the inner three.
    worst = int(np.max(np.abs(h[:8] - LPF_GIVEN)))
    h[:8] = LPF_GIVEN
    h[13:] = h[:8][::-1]
    gain, cutoff, beta = fit.x
    note = (f"gain {gain:.1f}, cut-off {cutoff * 8000:.1f} Hz, Kaiser beta {beta:.4f}; "
            f"fixed taps within {worst} of the design")
    return h, note


def design_wi():
    d = np.abs(np.arange(301) - 150.0)

    def window(p):
        peak, radius, power, sigma = p
        welch = np.clip(1.0 - (d / radius) ** 2, 1e-12, None)
        return peak * welch ** power * np.exp(-0.5 * (d / sigma) ** 2)

    def residual(p):
        w = window(p)
        return list((w[:4] - WI_GIVEN) / 0.25) + [
            (w.sum() / 32768.0 - 64.0) / 0.002,
            ((w ** 2).sum() / 2.0 ** 30 - 25.0) / 0.001]

    with np.errstate(over="ignore"):
        fit = least_squares(residual, [9000.0, 160.0, 3.0, 80.0], max_nfev=20000)
    w = q15(window(fit.x))
    check("wi", w, 0, WI_GIVEN)
    peak, radius, power, sigma = fit.x
    note = (f"p {peak:.2f}, R {radius:.4f}, b {power:.5f}, s {sigma:.4f}; "
            f"sum {w.sum() / 32768:.4f}, sum of squares {(w.astype(float) ** 2).sum() / 2 ** 30:.4f}")
    return w, note


def design_wr():
    def ends(p):
        beta, radius = p
        w = 32768.0 * kaiser(beta, np.array([110.0, 1.0]), radius)
        return [w[0] - WR_FIRST, w[1] - WR_LAST]

    fit = least_squares(ends, [7.0, 116.0])
    beta, radius = fit.x
    w = q15(32768.0 * kaiser(beta, np.arange(110, 0, -1, dtype=float), radius))
    check("wr", w, 0, [WR_FIRST])
    check("wr", w, 109, [WR_LAST])
    return w, f"Kaiser beta {beta:.5f}, zero at {radius:.4f} samples from the centre"


def design_wr_sp(wr):
    # The whole window as the spectrum sees it: wr, the unweighted centre, wr mirrored.
    window = np.concatenate([wr, [32768], wr[::-1]]).astype(float)
    n = np.arange(-110, 111)
    offsets = (np.arange(321) - 160) / WR_SP_STEPS_PER_BIN
    spectrum = np.array([np.dot(window, np.cos(2 * np.pi * f * n / 256.0)) for f in offsets])
    table = q15(32767.0 * spectrum / spectrum[160])
    return table, f"centre {spectrum[160] / 32768:.4f} (sum of the window), 1/{WR_SP_STEPS_PER_BIN} bin per entry"


def design_gains(wr):
    window = np.concatenate([wr, [32768], wr[::-1]]).astype(float) / 32768.0
    voiced = 1024.0 / window.sum()
    unvoiced = np.sqrt(6144.0 / (window ** 2).sum())
    return int(round(2048 * voiced)), int(round(2048 * unvoiced)), \
        f"{voiced:.5f} and {unvoiced:.5f}"


def design_min_max():
    table = []
    for i in range(203):
        doubled = i + 42  # the period in half samples
        low = max(0, -(-8 * doubled // 10) - 42)  # ceil(0.8 * doubled) - 42
        high = min(202, 12 * doubled // 10 - 42)  # floor(1.2 * doubled) - 42
        table.append(low << 8 | high)
    return np.array(table), "0.8 to 1.2 times the period, inclusive"


def emit(out, ctype, name, values, per_line=12):
    out.append(f"const {ctype} {name}[{len(values)}] = {{")
    for start in range(0, len(values), per_line):
        chunk = ", ".join(str(int(v)) for v in values[start:start + per_line])
        out.append(f"    {chunk},")
    out.append("};")
    out.append("")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: imbe_analysis_tables.py OUT.cpp")
    lpf, lpf_note = design_lpf()
    wi, wi_note = design_wi()
    wr, wr_note = design_wr()
    wr_sp, wr_sp_note = design_wr_sp(wr)
    voiced_gain, unvoiced_gain, gains_note = design_gains(wr)
    min_max, min_max_note = design_min_max()

    out = [
        "// Generated by tools/train/imbe_analysis_tables.py (make tables-analysis); do not edit.",
        "// Closed-form designs fitted to the entries the vocoder fixes; see that program.",
        f"//   lpf_coef:    {lpf_note}",
        f"//   wi:          {wi_note}",
        f"//   wr:          {wr_note}",
        f"//   wr_sp:       {wr_sp_note}",
        f"//   voiced_gain, unvoiced_gain: {gains_note}",
        f"//   min_max_tbl: {min_max_note}",
        "",
        '#include "imbe/AnalysisTables.h"',
        "",
        "namespace halvane::imbe {",
        "",
    ]
    emit(out, "Word16", "lpf_coef", lpf, 11)
    emit(out, "Word16", "wi", wi)
    emit(out, "Word16", "wr", wr, 10)
    emit(out, "Word16", "wr_sp", wr_sp)
    out.append(f"const Word16 voiced_gain = {voiced_gain};")
    out.append(f"const Word16 unvoiced_gain = {unvoiced_gain};")
    out.append("")
    emit(out, "UWord16", "min_max_tbl", min_max, 10)
    out.append("} // namespace halvane::imbe")
    with open(sys.argv[1], "w") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
