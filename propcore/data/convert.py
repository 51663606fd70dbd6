#!/usr/bin/env python3
"""Convert the public property data the engine ships into its own compact
tab-separated tables (standard library only).

Sources (see README.md beside this script for versions and licences):
  * ChemSep pure-component databank, chemsep1.xml, and the ChemSep
    interaction-parameter sets nrtl.ipd, uniquac.ipd, wilson.ipd, as
    redistributed in the DanWBR/dwsim repository;
  * UNIFAC subgroup tables and group-interaction tables (original UNIFAC,
    UNIFAC-LLE, modified UNIFAC (Dortmund)) from the CalebBell/thermo
    repository;
  * the ChemSep numbering of original-UNIFAC subgroups, from the group table
    unifac.txt in DanWBR/dwsim (used only to translate ChemSep's group
    numbers to the standard ones; the R and Q values come from thermo).

Usage:
  convert.py --dwsim GITDIR[@COMMIT] --thermo GITDIR[@COMMIT] [--out DIR]

GITDIR is a git directory of each repository (bare or not); files are read
with `git show`, so the commit each table came from is exact.  The output
files are rewritten completely; the script is deterministic.
"""
import argparse
import math
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

R_CAL = 8.314462618 / 4.184  # gas constant, cal/(mol K)

ATOMIC_MASS = {
    "H": 1.008, "He": 4.0026, "C": 12.011, "N": 14.007, "O": 15.999, "F": 18.998,
    "Ne": 20.180, "Si": 28.085, "P": 30.974, "S": 32.06, "Cl": 35.45, "Ar": 39.948,
    "Br": 79.904, "Kr": 83.798, "I": 126.90, "Xe": 131.29, "B": 10.81, "Na": 22.990,
    "K": 39.098, "Sn": 118.71, "Ge": 72.630, "Se": 78.971, "Hg": 200.59, "Al": 26.982,
    "Ti": 47.867, "Li": 6.94,
}


def git_show(spec, path):
    gitdir, _, commit = spec.partition("@")
    commit = commit or "HEAD"
    out = subprocess.run(["git", "--git-dir", gitdir, "show", f"{commit}:{path}"],
                         check=True, capture_output=True)
    return out.stdout


def git_commit(spec):
    gitdir, _, commit = spec.partition("@")
    out = subprocess.run(["git", "--git-dir", gitdir, "rev-parse", commit or "HEAD"],
                         check=True, capture_output=True, text=True)
    return out.stdout.strip()


# ---------------------------------------------------------------- formulas

def count_atoms(text):
    """Atom counts of a structure formula such as CH3(CH2)2OH or
    -CHCHCHCHCHCH- (ring bonds written as dashes); None if it cannot be
    read."""
    pos = 0

    def group():
        nonlocal pos
        counts = {}
        while pos < len(text):
            ch = text[pos]
            if ch == "(":
                pos += 1
                inner = group()
                if inner is None or pos >= len(text) or text[pos] != ")":
                    return None
                pos += 1
                mult = number()
                for k, v in inner.items():
                    counts[k] = counts.get(k, 0) + v * mult
            elif ch == ")":
                return counts
            elif ch == "-" or ch == "=" or ch == " ":
                pos += 1
            elif ch.isupper():
                m = re.match(r"[A-Z][a-z]?", text[pos:])
                sym = m.group(0)
                if sym not in ATOMIC_MASS:
                    sym = sym[0]
                if sym not in ATOMIC_MASS:
                    return None
                pos += len(sym)
                mult = number()
                counts[sym] = counts.get(sym, 0) + mult
            else:
                return None
        return counts

    def number():
        nonlocal pos
        m = re.match(r"\d+", text[pos:])
        if not m:
            return 1
        pos += len(m.group(0))
        return int(m.group(0))

    counts = group()
    if counts is None or pos != len(text) or not counts:
        return None
    return counts


def hill_formula(counts):
    def part(sym):
        n = counts[sym]
        return sym + (str(n) if n > 1 else "")
    keys = sorted(counts)
    if "C" in counts:
        order = ["C"] + (["H"] if "H" in counts else []) + [k for k in keys if k not in ("C", "H")]
    else:
        order = keys
    return "".join(part(k) for k in order)


# -------------------------------------------------------- pure components

def compound_fields(node):
    def value(tag):
        e = node.find(tag)
        if e is None or "value" not in e.attrib:
            return None
        return e.attrib["value"]

    def correlation(tag):
        e = node.find(tag)
        if e is None:
            return None
        d = {}
        for c in e:
            if "value" in c.attrib:
                d[c.tag] = c.attrib["value"]
        return d

    def groups(tag):
        e = node.find(tag)
        if e is None:
            return ""
        # A count of zero (one record has one) means the group is absent.
        items = [(int(g.attrib["id"]), int(g.attrib["value"])) for g in e.findall("group")
                 if int(g.attrib["value"]) > 0]
        return " ".join(f"{k}:{v}" for k, v in items)

    return value, correlation, groups


def engine_vapour_pressure(vp):
    """The engine's form ln(Psat/Pa) = A + B/(T + C) + D ln T + E T^F from
    a ChemSep correlation, or None where the equation has no such form."""
    eq = int(vp["eqno"])
    f = lambda k: float(vp.get(k, "0"))
    if eq == 101:  # ln P = A + B/T + C ln T + D T^E
        return [f("A"), f("B"), 0.0, f("C"), f("D"), f("E")]
    if eq == 10:  # ln P = A - B/(T + C)
        return [f("A"), -f("B"), f("C"), 0.0, 0.0, 0.0]
    return None


def convert_components(xml_bytes, vle_map):
    root = ET.fromstring(xml_bytes.decode("latin-1"))
    rows = []
    skipped = []
    for node in root.findall("compound"):
        value, correlation, groups = compound_fields(node)
        name = value("CompoundID")
        cas = value("CAS")
        mw = float(value("MolecularWeight"))
        vp = correlation("VaporPressure")
        source = "VaporPressure"
        form = engine_vapour_pressure(vp) if vp else None
        if form is None:
            vp = correlation("AntoineVaporPressure")
            source = "AntoineVaporPressure"
            form = engine_vapour_pressure(vp) if vp else None
        if form is None or "Tmin" not in vp or "Tmax" not in vp:
            skipped.append(f"{name} ({cas}): no vapour-pressure correlation the engine can use")
            continue
        counts = count_atoms(value("StructureFormula") or "")
        formula = ""
        if counts:
            mass = sum(ATOMIC_MASS[k] * v for k, v in counts.items())
            if abs(mass - mw) <= 0.005 * mw + 0.05:
                formula = hill_formula(counts)
        # ChemSep numbers original-UNIFAC subgroups its own way; translate
        # to the standard numbering the group tables use.
        vle = groups("UnifacVLE")
        if vle:
            parts = []
            for item in vle.split():
                k, v = item.split(":")
                if int(k) not in vle_map:
                    parts = None
                    break
                parts.append(f"{vle_map[int(k)]}:{v}")
            vle = " ".join(parts) if parts else ""
        wv = value("WilsonVolume") or value("LiquidVolumeAtNormalBoilingPoint")
        def num(tag):
            v = value(tag)
            return "" if v is None else repr(float(v))
        rows.append([
            cas, name, formula, repr(mw), num("CriticalTemperature"), num("CriticalPressure"),
            num("AcentricityFactor"), num("NormalBoilingPointTemperature"),
            " ".join(repr(x) for x in form), repr(float(vp["Tmin"])), repr(float(vp["Tmax"])),
            num("UniquacR"), num("UniquacQ"),
            "" if wv is None else repr(float(wv) * 1000.0),  # cm3/mol
            vle, groups("UnifacLLE"), groups("ModifiedUnifac"), source,
        ])
    return rows, skipped


# ---------------------------------------------------------- pair databanks

def convert_ipd(text, model, known):
    """Rows (cas_i, cas_j, aij, aji, bij, bji, alpha, comment) in the engine's
    units from a ChemSep .ipd file (energies in cal/mol)."""
    units = re.search(r"^Units=(.*)$", text, re.M)
    if not units or units.group(1).strip().lower() != "cal/mol":
        sys.exit(f"{model}: unexpected units line {units.group(0) if units else None!r}")
    body = text.split("[IPD]", 1)[1]
    rows, seen, dropped = [], set(), []
    for line in body.splitlines():
        if not line.strip() or line.lstrip().startswith("#") or "=" in line.split()[0]:
            continue
        parts = line.split()
        ncols = 5 if model == "NRTL" else 4
        try:
            vals = [float(x) for x in parts[2:ncols]]
        except ValueError:
            dropped.append(line.strip())
            continue
        ci, cj = parts[0], parts[1]
        comment = " ".join(parts[ncols:])
        key = tuple(sorted((ci, cj)))
        if ci == cj or key in seen:
            dropped.append(line.strip())
            continue
        if ci not in known or cj not in known:
            dropped.append(line.strip())
            continue
        seen.add(key)
        a12, a21 = vals[0], vals[1]
        if model == "NRTL":  # tau_ij = A_ij / (R T)
            rows.append([ci, cj, "0.0", "0.0", repr(round(a12 / R_CAL, 6)),
                         repr(round(a21 / R_CAL, 6)), repr(vals[2]), comment])
        else:  # UNIQUAC tau_ij = exp(-A_ij/(R T)); Wilson Lambda_ij = (V_j/V_i) exp(-A_ij/(R T))
            rows.append([ci, cj, "0.0", "0.0", repr(round(-a12 / R_CAL, 6)),
                         repr(round(-a21 / R_CAL, 6)), "", comment])
    return rows, dropped


# ------------------------------------------------------------------ UNIFAC

SUBGROUP = re.compile(
    r'^(UFSG|LLEUFSG|DOUFSG)\[(\d+)\]\s*=\s*UNIFAC_subgroup\(\s*(\d+),\s*"([^"]+)",\s*(\d+),\s*"([^"]+)",'
    r'\s*([-\d.eE+]+),\s*([-\d.eE+]+)', re.M)


def convert_unifac(unifac_py, tsvs, dwsim_vle_table):
    tables = {"UFSG": [], "LLEUFSG": [], "DOUFSG": []}
    for m in SUBGROUP.finditer(unifac_py):
        table, key, sid, name, main, mainname, r, q = m.groups()
        tables[table].append((int(sid), name, int(main), mainname, float(r), float(q)))
    model_of = {"UFSG": "UNIFAC", "LLEUFSG": "UNIFAC-LLE", "DOUFSG": "UNIFAC-DMD"}
    groups = []
    for t, rows in tables.items():
        for sid, name, main, mainname, r, q in sorted(rows):
            groups.append([model_of[t], str(sid), name, str(main), mainname, repr(r), repr(q)])

    # ChemSep's original-UNIFAC numbers -> standard subgroup numbers.  Names
    # are not unique (CHO is both the aldehyde group 20 and the ether group
    # 26), so a ChemSep group is matched on its name together with its R and
    # Q, then on R and Q alone where the names are spelled differently; a
    # match that is not unique stops the conversion.  The mapping is written
    # out (chemsep_subgroups.tsv) to be reviewed with the tables.
    by_name_rq, by_rq = {}, {}
    for sid, name, _, _, r, q in tables["UFSG"]:
        by_name_rq.setdefault((name.upper(), round(r, 4), round(q, 3)), []).append(sid)
        by_rq.setdefault((round(r, 4), round(q, 3)), []).append(sid)
    vle_map, unmatched = {}, []
    for line in dwsim_vle_table.splitlines():
        if line.startswith("'") or not line.strip():
            continue
        f = line.split(",")
        cid, name, r, q = int(f[1]), f[3], float(f[4]), float(f[5])
        rq = (round(r, 4), round(q, 3))
        candidates = by_name_rq.get((name.upper(),) + rq) or by_rq.get(rq) or []
        if len(candidates) != 1:
            unmatched.append(f"{cid} {name} ({len(candidates)} candidates)")
            continue
        vle_map[cid] = candidates[0]

    inter = []
    for model, text, ncoef in tsvs:
        for line in text.splitlines():
            f = line.split("\t")
            if len(f) < 3:
                continue
            coeffs = [float(x) for x in f[2:2 + ncoef]] + [0.0] * (3 - ncoef)
            inter.append([model, f[0], f[1]] + [repr(c) for c in coeffs])
    return groups, inter, vle_map, unmatched


# ---------------------------------------------------------------- writing

def write_tsv(path, header_lines, columns, rows):
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        for h in header_lines:
            out.write("# " + h + "\n")
        out.write("\t".join(columns) + "\n")
        for r in rows:
            out.write("\t".join(str(x) for x in r) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dwsim", required=True, help="git directory of DanWBR/dwsim[@commit]")
    ap.add_argument("--thermo", required=True, help="git directory of CalebBell/thermo[@commit]")
    ap.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)))
    args = ap.parse_args()
    dw, th = git_commit(args.dwsim), git_commit(args.thermo)
    assets = "DWSIM.Thermodynamics/Assets/"

    unifac_py = git_show(args.thermo, "thermo/unifac.py").decode()
    tsv = lambda name: git_show(args.thermo, f"thermo/Phase Change/{name}").decode()
    groups, inter, vle_map, unmatched = convert_unifac(
        unifac_py,
        [("UNIFAC", tsv("UNIFAC original interaction parameters.tsv"), 1),
         ("UNIFAC-LLE", tsv("UNIFAC LLE interaction parameters.tsv"), 1),
         ("UNIFAC-DMD", tsv("UNIFAC modified Dortmund interaction parameters.tsv"), 3)],
        git_show(args.dwsim, assets + "unifac.txt").decode("latin-1"))

    rows, skipped = convert_components(git_show(args.dwsim, assets + "Databases/chemsep1.xml"), vle_map)
    known = {r[0] for r in rows}
    pcols = ["cas", "name", "formula", "mw", "tc", "pc", "omega", "tb", "psat", "tmin", "tmax",
             "r", "q", "vl", "unifac", "unifac_lle", "unifac_dmd", "psat_source"]
    write_tsv(os.path.join(args.out, "components.tsv"), [
        f"ChemSep pure-component databank (chemsep1.xml, DanWBR/dwsim {dw}), Artistic License 2.0.",
        "Converted by convert.py. Units: mw g/mol, tc tb tmin tmax K, pc Pa, vl cm3/mol (Wilson volume).",
        "psat: A B C D E F of ln(Psat/Pa) = A + B/(T + C) + D ln T + E T^F, valid in [tmin, tmax].",
        "unifac, unifac_lle, unifac_dmd: subgroup:count in the numbering of unifac_groups.tsv.",
    ], pcols, rows)

    ipd_cols = ["cas_i", "cas_j", "aij", "aji", "bij", "bji", "alpha", "comment"]
    notes = {
        "NRTL": "tau_ij = aij + bij/T, G_ij = exp(-alpha tau_ij); bij = A12/R from cal/mol.",
        "UNIQUAC": "tau_ij = exp(aij + bij/T); bij = -A12/R from cal/mol.",
        "WILSON": "Lambda_ij = (V_j/V_i) exp(aij + bij/T), V from components.tsv vl; bij = -A12/R.",
    }
    dropped_all = {}
    for model, fname in (("NRTL", "nrtl"), ("UNIQUAC", "uniquac"), ("WILSON", "wilson")):
        text = git_show(args.dwsim, assets + f"ChemSepIPD/{fname}.ipd").decode("latin-1")
        prs, dropped = convert_ipd(text, model, known)
        dropped_all[model] = dropped
        write_tsv(os.path.join(args.out, f"pairs_{fname}.tsv"), [
            f"ChemSep interaction parameters, {fname}.ipd (DanWBR/dwsim {dw}), Artistic License 2.0.",
            "DECHEMA Chemistry Data Series sets at about 1 atm as compiled by ChemSep.",
            notes[model],
        ], ipd_cols, prs)

    write_tsv(os.path.join(args.out, "unifac_groups.tsv"), [
        f"UNIFAC subgroups (CalebBell/thermo {th}, thermo/unifac.py), MIT licence.",
        "UNIFAC: Hansen et al. 1991; UNIFAC-LLE: Magnussen et al. 1981; UNIFAC-DMD: Gmehling et al. 1993-2002.",
    ], ["model", "subgroup", "name", "main", "main_name", "R", "Q"], groups)
    write_tsv(os.path.join(args.out, "unifac_interactions.tsv"), [
        f"UNIFAC group interactions (CalebBell/thermo {th}, thermo/Phase Change/*.tsv), MIT licence.",
        "psi_mn = exp(-(a + b T + c T^2)/T); a in K (b, c zero for UNIFAC and UNIFAC-LLE).",
    ], ["model", "main_m", "main_n", "a", "b", "c"], inter)

    print(f"components: {len(rows)} ({len(skipped)} skipped)")
    for s in skipped:
        print("  skipped:", s)
    print(f"ChemSep UNIFAC subgroups translated: {len(vle_map)}; unmatched: {', '.join(unmatched) or 'none'}")
    for model, d in dropped_all.items():
        print(f"{model}: {len(d)} lines dropped (duplicates, unknown compounds or unreadable)")
    print(f"sources: dwsim {dw}, thermo {th}")


if __name__ == "__main__":
    main()
