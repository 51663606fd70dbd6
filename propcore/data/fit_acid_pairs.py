#!/usr/bin/env python3
"""Fit the NRTL pairs of carboxylic acids with the chemical vapour.

The databank's NRTL sets were regressed with an ideal vapour, which folds an
acid's vapour dimerisation into its activity coefficients; with the
chemical vapour those sets are wrong.  For each published azeotrope in
acid_azeotropes.tsv this script fits bij and bji (alpha 0.3, aij = aji = 0)
with `ternival fit` and the chemical vapour, at the azeotrope's published
distance from the other component's boiling point; an azeotrope's temperature and
y1 = x1 determine the two parameters exactly.  The pairs go to
pairs_nrtl_chemical.tsv, which the engine prefers for acid pairs when a
method has the chemical vapour.

Usage:
  fit_acid_pairs.py --ternival BUILD/tools/ternival [--out DIR]
"""
import argparse
import csv
import json
import os
import pathlib
import subprocess
import tempfile

HERE = pathlib.Path(__file__).resolve().parent


def read_tsv(path):
    with open(path, newline="") as f:
        rows = [line for line in f if not line.startswith("#")]
    return list(csv.DictReader(rows, delimiter="\t"))


def other_boiling_point(ternival, env, cas):
    """The databank's normal boiling point of a component, K (the first row
    of `ternival pure`'s table: component, T / K, stability)."""
    with tempfile.TemporaryDirectory() as d:
        run = subprocess.run([ternival, "--work-dir", d, "pure", "--components", cas, "--pressure", "101325"],
                             capture_output=True, text=True, env=env)
    if run.returncode != 0:
        raise SystemExit(f"{cas}: ternival pure failed: {run.stderr.strip()}")
    return float(run.stdout.splitlines()[1].split()[1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ternival", required=True)
    ap.add_argument("--out", default=str(HERE))
    a = ap.parse_args()
    out_rows = []
    env = dict(os.environ, TERNIVAL_DATA_DIR=str(HERE))
    for r in read_tsv(HERE / "acid_azeotropes.tsv"):
        n_acid = float(r["w_acid"]) / float(r["mw_acid"])
        n_other = (1.0 - float(r["w_acid"])) / float(r["mw_other"])
        x = n_acid / (n_acid + n_other)
        t = other_boiling_point(a.ternival, env, r["other_cas"]) + float(r["T_C"]) - float(r["Tb_other_C"])
        with tempfile.TemporaryDirectory() as d:
            data = pathlib.Path(d) / "azeotrope.csv"
            data.write_text(f"T_K,P_Pa,x1,y1\n{t:.2f},{r['P_Pa']},{x:.4f},{x:.4f}\n")
            problem = pathlib.Path(d) / "fitted.toml"
            run = subprocess.run([a.ternival, "--work-dir", d, "fit", "--data", str(data), "--components",
                                  f"{r['acid_cas']},{r['other_cas']}", "--model", "NRTL", "--vapour", "chemical",
                                  "--format", "json", "-o", str(problem)], capture_output=True, text=True, env=env)
            if run.returncode != 0:
                raise SystemExit(f"{r['acid']}/{r['other']}: ternival fit failed: {run.stderr.strip()}")
            rep = json.loads(run.stdout)
            if not rep["converged"] or rep["rms_T_K"] > 0.01 or rep["rms_y1"] > 1e-4:
                raise SystemExit(f"{r['acid']}/{r['other']}: the fit does not meet the azeotrope: {rep['reason']}")
            # The pair must give the published azeotrope and no other.
            az = subprocess.run([a.ternival, "--work-dir", d, "azeotropes", str(problem), "--format", "json"],
                                capture_output=True, text=True, env=env)
            if az.returncode != 0:
                raise SystemExit(f"{r['acid']}/{r['other']}: ternival azeotropes failed: {az.stderr.strip()}")
            found = json.loads(az.stdout)
        if len(found) != 1:
            print(f"{r['acid']}/{r['other']}: left out: the fitted pair gives {len(found)} azeotropes "
                  f"({', '.join(format(z['T_K'], '.3f') + ' K' for z in found)})")
            continue
        comment = f"the azeotrope {float(r['T_C']) + 273.15:.2f} K, x_acid {x:.4f} at {float(r['P_Pa']):.0f} Pa; {r['cite']}"
        out_rows.append([r["acid_cas"], r["other_cas"], "0.0", "0.0", f"{rep['bij']:.4f}", f"{rep['bji']:.4f}",
                         f"{rep['alpha']}", comment])
        print(f"{r['acid']}/{r['other']}: bij {rep['bij']:.2f} K, bji {rep['bji']:.2f} K")
    with open(pathlib.Path(a.out) / "pairs_nrtl_chemical.tsv", "w", newline="") as f:
        f.write("# NRTL pairs of carboxylic acids fitted with the chemical vapour by fit_acid_pairs.py\n"
                "# to the published azeotropes of acid_azeotropes.tsv; tau_ij = aij + bij/T.\n")
        w = csv.writer(f, delimiter="\t", lineterminator="\n")
        w.writerow(["cas_i", "cas_j", "aij", "aji", "bij", "bji", "alpha", "comment"])
        w.writerows(out_rows)


if __name__ == "__main__":
    main()
