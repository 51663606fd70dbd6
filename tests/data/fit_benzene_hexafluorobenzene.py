#!/usr/bin/env python3
"""Writes benzene_hexafluorobenzene.toml: an NRTL model of benzene (1) +
hexafluorobenzene (2) at 101.325 kPa built only from published numbers.

Vapour pressures: the Wagner (2.5, 5) constants of Poling, Prausnitz and
O'Connell, The Properties of Gases and Liquids, 5th ed., Appendix A, as
tabulated in CalebBell/chemicals (MIT licence), file
"chemicals/Vapor Pressure/Wagner Collection Poling.tsv" at commit
82faef900dcf2b48537c31bcf1ab56c35bb79a1e.  They are refitted to a
three-constant Antoine form (ln P/Pa = A + B/(T + C)) on 320-390 K.

Azeotropes: Chinikamala, Houth and Taylor, "Vapor-liquid equilibria of binary
systems containing selected hydrocarbons with perfluorobenzene", J. Chem.
Eng. Data (1973), at 760 mmHg: 79.3 C with 20.8 mol % hexafluorobenzene (minimum
boiling) and 80.3 C with 81.3 mol % (maximum boiling).

The NRTL parameters (tau_ij = b_ij / T, one alpha) are fitted by least
squares to ln gamma_i = ln(P / Psat_i(T)) at both azeotropes.  No published
NRTL or Wilson parameter set of this pair was at hand, so the azeotrope
data themselves are the source.

Run with Debian's python3-scipy: /usr/bin/python3 fit_benzene_hexafluorobenzene.py
"""
import math
import pathlib

# Debian's packages (python3-scipy) live with Debian's interpreter; a python3 found
# first on PATH (a pyenv shim, say) may not see them: then run under
# /usr/bin/python3, or say what is missing.
try:
    import scipy  # noqa: F401
except ImportError:
    import os as _os, sys as _sys
    if _os.path.realpath(_sys.executable) != _os.path.realpath("/usr/bin/python3") and _os.path.exists("/usr/bin/python3"):
        _os.execv("/usr/bin/python3", ["/usr/bin/python3"] + _sys.argv)
    _sys.exit("fit_benzene_hexafluorobenzene.py: needs Debian's python3-scipy (apt-get install -y python3-scipy)")

import numpy as np
from scipy.optimize import least_squares

WAGNER = {  # A, B, C, D, Tc/K, Pc/Pa
    "BENZENE": (-7.01433, 1.55256, -1.8479, -3.713, 562.16, 4898000.0),
    "C6F6": (-8.04104, 1.9351, -2.939, -4.548, 516.73, 3275000.0),
}
MW = {"BENZENE": 78.114, "C6F6": 186.056}
P = 101325.0
AZEOTROPES = [(273.15 + 79.3, 1.0 - 0.208), (273.15 + 80.3, 1.0 - 0.813)]  # T/K, x benzene


def ln_wagner(t, c):
    a, b, cc, d, tc, pc = c
    tau = 1.0 - t / tc
    return math.log(pc) + (a * tau + b * tau**1.5 + cc * tau**2.5 + d * tau**5) / (t / tc)


def antoine_fit(c):
    ts = np.linspace(320.0, 390.0, 71)
    y = np.array([ln_wagner(t, c) for t in ts])
    r = least_squares(lambda p: p[0] + p[1] / (ts + p[2]) - y, [22.0, -3000.0, -50.0])
    return r.x, float(np.abs(r.fun).max())


def nrtl(x1, t12, t21, alpha):
    x2 = 1.0 - x1
    g12, g21 = math.exp(-alpha * t12), math.exp(-alpha * t21)
    l1 = x2**2 * (t21 * (g21 / (x1 + x2 * g21)) ** 2 + t12 * g12 / (x2 + x1 * g12) ** 2)
    l2 = x1**2 * (t12 * (g12 / (x2 + x1 * g12)) ** 2 + t21 * g21 / (x1 + x2 * g21) ** 2)
    return l1, l2


def main():
    ant = {}
    for k, c in WAGNER.items():
        ant[k], dev = antoine_fit(c)
        print(f"{k}: Antoine {ant[k]}, largest deviation from Wagner {dev:.1e} in ln P")

    def lnps(t, k):
        a = ant[k]
        return a[0] + a[1] / (t + a[2])

    def residuals(p):
        b12, b21, alpha = p
        out = []
        for t, x1 in AZEOTROPES:
            l1, l2 = nrtl(x1, b12 / t, b21 / t, alpha)
            out += [l1 - (math.log(P) - lnps(t, "BENZENE")), l2 - (math.log(P) - lnps(t, "C6F6"))]
        return out

    best = None
    for a0 in (0.2, 0.3, 0.47, 0.7, 1.0):
        for b0 in (-300.0, -100.0, 100.0, 300.0):
            r = least_squares(residuals, [b0, -b0, a0], bounds=([-3000, -3000, 0.05], [3000, 3000, 2.0]))
            if best is None or r.cost < best.cost:
                best = r
    b12, b21, alpha = best.x
    print(f"NRTL b12 = {b12:.3f}, b21 = {b21:.3f}, alpha = {alpha:.5f}; residuals {best.fun}")

    out = pathlib.Path(__file__).with_name("benzene_hexafluorobenzene.toml")
    lines = [
        "# Benzene + hexafluorobenzene at 101.325 kPa, written by",
        "# fit_benzene_hexafluorobenzene.py (sources in that script).  Measured",
        "# azeotropes (Chinikamala et al. 1973): 352.45 K at x(benzene) = 0.792",
        "# (minimum boiling) and 353.45 K at x(benzene) = 0.187 (maximum boiling).",
        'default_method = "NRTL"',
        'missing = "ideal"',
        "",
    ]
    for k in ("BENZENE", "C6F6"):
        a = ant[k]
        lines += ["[[component]]", f'id = "{k}"', f"mw = {MW[k]}",
                  f"antoine = [{a[0]:.8f}, {a[1]:.6f}, {a[2]:.6f}]", ""]
    lines += ["[[method]]", 'name = "NRTL"', 'model = "NRTL"', "[[method.pair]]", 'i = "BENZENE"', 'j = "C6F6"',
              f"bij = {b12:.4f}", f"bji = {b21:.4f}", f"alpha = {alpha:.6f}", ""]
    out.write_text("\n".join(lines))
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
