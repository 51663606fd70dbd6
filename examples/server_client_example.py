#!/usr/bin/env python3
"""Azeotropes and one residue curve of acetone/chloroform/methanol at
101325 Pa, computed by the Ternival server through its automation objects.

Register the server first (once per registry):
    build/server/ternival-server -RegServer
then run:
    PYTHONPATH=server/python python3 examples/server_client_example.py [PROBLEM.toml]
"""

import os
import sys

import ternival_client

STABILITY = {1: "stable node", 2: "saddle", 3: "unstable node", 0: "unclassified"}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    problem = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "acetone_chloroform_methanol.toml")
    app = ternival_client.Dispatch("Ternival.DistillationApp")
    try:
        app.InitFromVmpdfFile(problem)
        m = app.GetDistillationMap()
        names = ("ACETONE", "CHLOROFM", "METHANOL")
        m.SetComponentData(*names)
        m.Pressure = 101325.0

        _, boiling, pure_stability = m.GetPureProperties()
        print("pure components")
        for name, t, s in zip(names, boiling, pure_stability):
            print("  %-9s T = %8.3f K  %s" % (name, t, STABILITY.get(s, s)))

        count, x, t, phase, stability = m.GetAzeotropes()
        print("%d azeotropes" % count)
        for a in range(count):
            kind = "heterogeneous" if phase[a] == 2 else "homogeneous"
            comp = "  ".join("x_%s=%.4f" % (n, x[a][i]) for i, n in enumerate(names))
            print("  %s  T = %8.3f K  %s, %s" % (comp, t[a], STABILITY.get(stability[a], stability[a]), kind))

        direction, curve = m.GetResidueCurve([0.2, 0.3, 0.5])
        print("residue curve from (0.2, 0.3, 0.5): %d points, %s" %
              (len(curve), "towards higher boiling" if direction == 2 else "towards lower boiling"))
        for point in curve[:: max(1, len(curve) // 10)]:
            print("  %.4f %.4f %.4f" % tuple(point))
        m.release()
    finally:
        app.close()


if __name__ == "__main__":
    main()
