#!/usr/bin/env python3
"""Writes virial_polar.tsv: the polar terms a and b of Tsonopoulos's
second-virial correlation for the common polar solvents of the databank.

    B Pc/(R Tc) = f0(Tr) + omega f1(Tr) + a/Tr^6 - b/Tr^8

a and b follow the class rules of C. Tsonopoulos, AIChE J. 20 (1974) 263
(as restated in Poling, Prausnitz and O'Connell, The Properties of Gases and
Liquids, 5th ed., section 4-5), from the reduced dipole moment
    mu_r = 1e5 mu^2 (Pc/101325 Pa) / Tc^2   (mu in debye).
Critical constants and dipole moments: ChemSep 8.32 (Artistic License 2.0).
Compounds of no class (halides, whose rule is in doubt, and acids, which
take the chemical theory) are left out: they take a = b = 0.
"""
import sys

# cas, name, Tc/K, Pc/Pa, dipole/D, class
COMPOUNDS = [
    ("7732-18-5", "water", 647.14, 22064000, 1.85, "water"),
    ("67-56-1", "methanol", 512.64, 8097000, 1.70, "methanol"),
    ("64-17-5", "ethanol", 513.92, 6148000, 1.691, "alkanol"),
    ("71-23-8", "1-propanol", 536.78, 5175000, 1.679, "alkanol"),
    ("71-36-3", "1-butanol", 563.05, 4423000, 1.75, "alkanol"),
    ("67-64-1", "acetone", 508.1, 4700000, 2.881, "ketone"),
    ("78-93-3", "methyl ethyl ketone", 536.8, 4210000, 2.761, "ketone"),
    ("75-07-0", "acetaldehyde", 466.0, 5550000, 2.689, "ketone"),
    ("75-05-8", "acetonitrile", 545.5, 4830000, 3.927, "ketone"),
    ("79-20-9", "methyl acetate", 506.8, 4690000, 1.679, "ketone"),
    ("141-78-6", "ethyl acetate", 523.2, 3830000, 1.781, "ketone"),
    ("60-29-7", "diethyl ether", 466.7, 3640000, 1.151, "ketone"),
    ("1634-04-4", "methyl tert-butyl ether", 497.1, 3430000, 1.361, "ketone"),
    ("109-99-9", "tetrahydrofuran", 540.2, 5190000, 1.631, "ketone"),
]


def terms(tc, pc, mu, cls):
    mur = 1e5 * mu * mu * (pc / 101325.0) / (tc * tc)
    if cls == "water":
        return mur, -0.0109, 0.0
    if cls == "methanol":
        return mur, 0.0878, 0.0525
    if cls == "alkanol":
        return mur, 0.0878, 0.00908 + 0.0006957 * mur
    if cls == "ketone":  # ketones, aldehydes, nitriles, ethers, esters
        return mur, -2.14e-4 * mur - 4.308e-21 * mur ** 8, 0.0
    raise ValueError(cls)


def main():
    out = sys.stdout
    out.write("# Polar terms of Tsonopoulos's second-virial correlation, B Pc/(R Tc) = f0 + omega f1 + a/Tr^6 - b/Tr^8.\n")
    out.write("# Written by make_virial_polar.py from the class rules of Tsonopoulos, AIChE J. 20 (1974) 263, and ChemSep 8.32\n")
    out.write("# critical constants and dipole moments (Artistic License 2.0). mu_r: reduced dipole moment.\n")
    out.write("cas\tname\tclass\tdipole_debye\tmu_r\ta\tb\n")
    for cas, name, tc, pc, mu, cls in COMPOUNDS:
        mur, a, b = terms(tc, pc, mu, cls)
        out.write(f"{cas}\t{name}\t{cls}\t{mu}\t{mur:.2f}\t{a:.6g}\t{b:.6g}\n")


if __name__ == "__main__":
    main()
