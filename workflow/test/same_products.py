#!/usr/bin/python3
"""Compares products of two runs: same_products.py DIR_A DIR_B NAME..."""
# Each NAME is a file in both folders.  FITS files must have the same data bytes in every HDU
# and the same header records, except those that carry the time of the run or the names of
# the files it was given (DATE, HISTORY and the COMMENT records naming a time or a file),
# since the runs being compared differ in exactly these.  Weights lists (.txt) must have the
# same weights and file base names, line by line.  Prints one line per difference and exits 1
# when there is any.
import os
import re
import sys

BLOCK = 2880
VOLATILE = re.compile(r"Processed at|[Ff][Ii][Ll][Ee]")


def hdus(path):
    """Yields (kept header records, data bytes) of each HDU of a FITS file."""
    with open(path, "rb") as f:
        raw = f.read()
    pos = 0
    while pos < len(raw):
        cards = []
        while not any(c.rstrip() == "END" for c in cards):
            if len(raw) < pos + BLOCK:
                raise ValueError(f"{path}: truncated header")
            cards += [raw[i:i + 80].decode("ascii") for i in range(pos, pos + BLOCK, 80)]
            pos += BLOCK
        keys = {c[:8].strip(): c[10:].split("/")[0].strip() for c in cards if c[8:10] == "= "}
        size = abs(int(keys["BITPIX"])) // 8 if int(keys.get("NAXIS", 0)) > 0 else 0
        for axis in range(1, int(keys.get("NAXIS", 0)) + 1):
            size *= int(keys[f"NAXIS{axis}"])
        volatile = ("DATE", "HISTORY", "")
        kept = [c.rstrip() for c in cards if c[:8].strip() not in volatile
                and not (c[:8] == "COMMENT " and VOLATILE.search(c))]
        yield kept, raw[pos:pos + size]
        pos += (size + BLOCK - 1) // BLOCK * BLOCK


def differences(a, b):
    if a.endswith(".txt"):
        def weights(path):
            with open(path) as f:
                return [(w, os.path.basename(name)) for w, name in (line.split() for line in f)]
        return [] if weights(a) == weights(b) else ["weights differ"]
    ha, hb = list(hdus(a)), list(hdus(b))
    if len(ha) != len(hb):
        return [f"{len(ha)} HDUs against {len(hb)}"]
    found = []
    for n, ((ka, da), (kb, db)) in enumerate(zip(ha, hb)):
        if ka != kb:
            diff = [x for x in ka if x not in kb] + [x for x in kb if x not in ka]
            found.append(f"HDU {n}: header records differ: {diff[:4]}")
        if da != db:
            found.append(f"HDU {n}: data differ")
    return found


def main(argv):
    if len(argv) < 4:
        sys.exit(__doc__)
    failed = 0
    for name in argv[3:]:
        try:
            found = differences(os.path.join(argv[1], name), os.path.join(argv[2], name))
        except (OSError, ValueError) as e:
            found = [str(e)]
        for text in found:
            print(f"{name}: {text}")
        failed += bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
