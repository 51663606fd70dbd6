#!/usr/bin/env python3
"""Makes design/serafimov_table.inc from data/serafimov.json: every
structural code (each labelling of a class, its antipode included) with its
class's name in Serafimov's classification of ternary VLE diagrams, and
whether that name is settled (tied to published classes of mixtures of the
same structure; see the file's name_status and name_evidence) or not.

    design/data/make_serafimov_table.py > design/serafimov_table.inc
"""
import json
import os

SETTLED = {"verified", "derived", "inferred", "published"}

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "serafimov.json")) as f:
    data = json.load(f)
rows = []
for cls in data["classes"]:
    name = cls["serafimov_name"]
    settled = cls.get("name_status") in SETTLED
    for code in cls["codes"]:
        rows.append((code, name, settled))
print("// Made by data/make_serafimov_table.py from data/serafimov.json; do not edit.")
print("constexpr Named kSerafimov[] = {")
for code, name, settled in rows:
    print('    {"%s", "%s", %s},' % (code, name, "true" if settled else "false"))
print("};")
