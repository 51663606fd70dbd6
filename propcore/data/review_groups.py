#!/usr/bin/env python3
"""Applies the reviewed UNIFAC group assignments (group_review.tsv) to the
databank's components.tsv, and the reviewed corrections of the subgroup
table (a misprinted R) to unifac_groups.tsv.  Run after convert.py; the
result is deterministic and the script may run any number of times.

    propcore/data/review_groups.py [--dir DIR]
"""
import argparse
import os

COLUMN = {"UNIFAC": "unifac", "UNIFAC-DMD": "unifac_dmd", "UNIFAC-LLE": "unifac_lle"}
# Subgroup values misprinted in the source table: (model, subgroup, column,
# wrong, right, reason).
SUBGROUP_FIXES = [
    ("UNIFAC-LLE", "30", "R", "9183.0", "0.9183",
     "FCH2O: R printed without its decimal point (the same group of original UNIFAC, 27, has R = 0.9183)"),
]


def read(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    head = [l for l in lines if l.startswith("#")]
    body = [l for l in lines if l and not l.startswith("#")]
    return head, body


def write(path, head, body):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(head + body) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", default=os.path.dirname(os.path.abspath(__file__)))
    args = ap.parse_args()
    _, review = read(os.path.join(args.dir, "group_review.tsv"))
    cols = review[0].split("\t")
    decided = {}
    for line in review[1:]:
        r = dict(zip(cols, line.split("\t")))
        decided[(r["cas"], COLUMN[r["variant"]])] = r["groups"]

    path = os.path.join(args.dir, "components.tsv")
    head, body = read(path)
    columns = body[0].split("\t")
    out = [body[0]]
    applied = 0
    for line in body[1:]:
        cells = line.split("\t")
        for (cas, column), groups in decided.items():
            if cells[columns.index("cas")] == cas and cells[columns.index(column)] != groups:
                cells[columns.index(column)] = groups
                applied += 1
        out.append("\t".join(cells))
    marker = "# UNIFAC groups reviewed against DDBST's published assignments: group_review.tsv (review_groups.py)."
    if marker not in head:
        head.append(marker)
    write(path, head, out)

    gpath = os.path.join(args.dir, "unifac_groups.tsv")
    ghead, gbody = read(gpath)
    gcols = gbody[0].split("\t")
    fixed = 0
    gout = [gbody[0]]
    for line in gbody[1:]:
        cells = line.split("\t")
        for model, sub, col, wrong, right, _ in SUBGROUP_FIXES:
            if cells[gcols.index("model")] == model and cells[gcols.index("subgroup")] == sub and \
                    cells[gcols.index(col)] == wrong:
                cells[gcols.index(col)] = right
                fixed += 1
        gout.append("\t".join(cells))
    for model, sub, col, _, right, reason in SUBGROUP_FIXES:
        note = f"# Reviewed: {model} subgroup {sub} {col} = {right}: {reason}."
        if note not in ghead:
            ghead.append(note)
    write(gpath, ghead, gout)
    print(f"review_groups: {applied} group assignments and {fixed} subgroup values changed")


if __name__ == "__main__":
    main()
