#!/usr/bin/python3
"""Compares products of two runs: same_products.py DIR_A DIR_B NAME..."""
# Each NAME is a file in both folders.  FITS files must have the same data bytes in every HDU
# and the same header records, except those that carry the time of the run or the names of
# the files it was given (DATE, HISTORY and the COMMENT records naming a time or a file),
# since the runs being compared differ in exactly these.  Weights lists (.txt) must have the
# same weights and file base names, line by line.  Prints one line per difference and exits 1
# when there is any.
import math
import os
import re
import sys

BLOCK = 2880
VOLATILE = re.compile(r"DATE {4}|HISTORY | {8}|COMMENT .*(Processed at|[Ff][Ii][Ll][Ee])")


# The kept header records and the data bytes of each HDU of a FITS file.
def hdus(path):
    raw, pos = open(path, "rb").read(), 0
    while pos < len(raw):
        end = next((i for i in range(pos, len(raw), 80) if raw[i:i + 80].rstrip() == b"END"), None)
        if end is None:
            raise ValueError(f"{path}: truncated header")
        cards = [raw[i:i + 80].decode("ascii") for i in range(pos, end, 80)]
        keys = {c[:8].strip(): c[10:].split("/")[0].strip() for c in cards if c[8:10] == "= "}
        axes = [int(keys[f"NAXIS{n}"]) for n in range(1, int(keys.get("NAXIS", 0)) + 1)]
        size = abs(int(keys["BITPIX"])) // 8 * math.prod(axes) if axes else 0
        pos = (end // BLOCK + 1) * BLOCK
        yield [c.rstrip() for c in cards if not VOLATILE.match(c)], raw[pos:pos + size]
        pos += (size + BLOCK - 1) // BLOCK * BLOCK


def differences(a, b):
    if a.endswith(".txt"):
        lists = [[(w, os.path.basename(name)) for w, name in map(str.split, open(p))] for p in (a, b)]
        return [] if lists[0] == lists[1] else ["weights differ"]
    ha, hb = list(hdus(a)), list(hdus(b))
    found = [] if len(ha) == len(hb) else [f"{len(ha)} HDUs against {len(hb)}"]
    for n, ((ka, da), (kb, db)) in enumerate(zip(ha, hb)):
        if ka != kb:
            diff = [x for x in ka + kb if (x in ka) != (x in kb)]
            found.append(f"HDU {n}: header records differ: {diff[:4]}")
        if da != db:
            found.append(f"HDU {n}: data differ")
    return found


failed = False
for name in sys.argv[3:]:
    try:
        found = differences(*(os.path.join(folder, name) for folder in sys.argv[1:3]))
    except (OSError, ValueError) as e:
        found = [str(e)]
    print("".join(f"{name}: {text}\n" for text in found), end="")
    failed |= bool(found)
sys.exit(1 if failed else 0)
