#!/usr/bin/python3
"""Reference runs of the LSODA test problems with scipy.integrate.odeint.

odeint wraps ODEPACK's LSODA, so with the same tolerances and output times
its step/evaluation counters are directly comparable with ours.  Prints
nst/nfe/nje and the solutions used in lsoda_test.cpp.
"""
# Debian's packages (python3-scipy) live with Debian's interpreter; a python3 found
# first on PATH (a pyenv shim, say) may not see them: then run under
# /usr/bin/python3, or say what is missing.
try:
    import scipy  # noqa: F401
except ImportError:
    import os as _os, sys as _sys
    if _os.path.realpath(_sys.executable) != _os.path.realpath("/usr/bin/python3") and _os.path.exists("/usr/bin/python3"):
        _os.execv("/usr/bin/python3", ["/usr/bin/python3"] + _sys.argv)
    _sys.exit("lsoda_reference.py: needs Debian's python3-scipy (apt-get install -y python3-scipy)")

import numpy as np
from scipy.integrate import odeint


def report(name, sol, info):
    print(f"{name}: nst={info['nst'][-1]} nfe={info['nfe'][-1]} nje={info['nje'][-1]}"
          f" mused(final)={info['mused'][-1]} tsw={info['tsw'][-1]:.6g}")


def robertson():
    def f(y, t):
        return [-0.04 * y[0] + 1e4 * y[1] * y[2],
                0.04 * y[0] - 1e4 * y[1] * y[2] - 3e7 * y[1] ** 2,
                3e7 * y[1] ** 2]

    def jac(y, t):
        return [[-0.04, 1e4 * y[2], 1e4 * y[1]],
                [0.04, -1e4 * y[2] - 6e7 * y[1], -1e4 * y[1]],
                [0.0, 6e7 * y[1], 0.0]]

    ts = [0.0] + [0.4 * 10.0 ** k for k in range(12)]
    sol, info = odeint(f, [1.0, 0.0, 0.0], ts, Dfun=jac, rtol=1e-4,
                       atol=[1e-6, 1e-10, 1e-6], full_output=1)
    report("robertson rtol=1e-4 atol=(1e-6,1e-10,1e-6) jt=1", sol, info)
    for t, y in zip(ts[1:], sol[1:]):
        print(f"  t={t:8.1e}  {y[0]:.6e} {y[1]:.6e} {y[2]:.6e}  sum-1={y.sum() - 1:.2e}")
    tight, _ = odeint(f, [1.0, 0.0, 0.0], ts, Dfun=jac, rtol=1e-10,
                      atol=[1e-14, 1e-18, 1e-14], full_output=1, mxstep=100000)
    print("  tight reference:")
    for t, y in zip(ts[1:], tight[1:]):
        print(f"  t={t:8.1e}  {y[0]:.9e} {y[1]:.9e} {y[2]:.9e}")


def van_der_pol():
    # Written as y1'' = mu (1 - y1^2) y1' - mu y1: a relaxation oscillator
    # with period about 2.3, i.e. some 1300 cycles up to t = 3000.
    mu = 1000.0

    def f(y, t):
        return [y[1], mu * ((1 - y[0] ** 2) * y[1] - y[0])]

    ts = np.linspace(0.0, 3000.0, 30001)
    sol, info = odeint(f, [2.0, 0.0], ts, rtol=1e-6, atol=1e-6, full_output=1)
    report("van der Pol mu=1000 rtol=atol=1e-6 jt=2, outputs every 0.1", sol, info)
    mused = np.array(info['mused'])
    print(f"  outputs ending on Adams: {np.sum(mused == 1)}, on BDF: {np.sum(mused == 2)}")
    print(f"  min/max y1 = {sol[:, 0].min():.6f} {sol[:, 0].max():.6f}")
    print(f"  y(3000) = {sol[-1][0]:.10f} {sol[-1][1]:.10e}")
    # Tolerance sweep for the end value (1e-12 exceeds 1e7 steps).
    for tol in (1e-8, 1e-10, 1e-11):
        tight = odeint(f, [2.0, 0.0], [0.0, 3000.0], rtol=tol, atol=tol,
                       mxstep=10 ** 7)
        print(f"  rtol=atol={tol:g}: y(3000) = {tight[-1][0]:.10f} {tight[-1][1]:.10e}")


def oregonator():
    # Field-Noyes Oregonator (Hairer and Wanner's OREGO): a stiff
    # oscillating reaction, outputs every 30 up to t = 360.
    def f(y, t):
        return [77.27 * (y[1] + y[0] * (1.0 - 8.375e-6 * y[0] - y[1])),
                (y[2] - (1.0 + y[0]) * y[1]) / 77.27,
                0.161 * (y[0] - y[2])]

    ts = np.linspace(0.0, 360.0, 13)
    sol, info = odeint(f, [1.0, 2.0, 3.0], ts, rtol=1e-6, atol=1e-6, full_output=1, mxstep=10 ** 6)
    report("oregonator rtol=atol=1e-6 jt=2, outputs every 30", sol, info)
    print(f"  y(360) = {sol[-1][0]:.8e} {sol[-1][1]:.8e} {sol[-1][2]:.8e}")
    tight = odeint(f, [1.0, 2.0, 3.0], ts, rtol=1e-12, atol=1e-12, mxstep=10 ** 6)
    print(f"  rtol=atol=1e-12: y(360) = {tight[-1][0]:.8e} {tight[-1][1]:.8e} {tight[-1][2]:.8e}")


def decay():
    ts = np.arange(0.0, 11.0)
    sol, info = odeint(lambda y, t: [-y[0]], [1.0], ts, rtol=1e-8, atol=1e-14,
                       full_output=1)
    report("decay rtol=1e-8 atol=1e-14", sol, info)
    print("  max rel err:", np.max(np.abs(sol[:, 0] / np.exp(-ts) - 1)))


def oscillator():
    ts = np.linspace(0.0, 6 * np.pi, 25)
    sol, info = odeint(lambda y, t: [y[1], -y[0]], [0.0, 1.0], ts, rtol=1e-8,
                       atol=1e-8, full_output=1)
    report("oscillator rtol=atol=1e-8", sol, info)
    print("  max abs err:", np.max(np.abs(sol[:, 0] - np.sin(ts))))


if __name__ == "__main__":
    decay()
    oscillator()
    robertson()
    van_der_pol()
    oregonator()
