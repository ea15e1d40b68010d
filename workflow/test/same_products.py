#!/usr/bin/python3
"""Compares products of two runs: same_products.py DIR_A DIR_B NAME...

Each NAME is a file in both folders.  FITS files must have the same data bytes in every HDU
and the same header records, except those that carry the time of the run or the names of
the files it was given (DATE, HISTORY and the COMMENT records naming a time or a file),
since the runs being compared differ in exactly these.  Weights lists must have the same
weights and file base names, line by line.  Prints one line per difference and exits 1
when there is any.
"""
import os
import re
import sys

BLOCK = 2880
VOLATILE = re.compile(r"Processed at|[Ff][Ii][Ll][Ee]")


def hdus(path):
    """Yields (header records, data bytes) of each HDU of a FITS file."""
    with open(path, "rb") as f:
        raw = f.read()
    pos = 0
    while pos < len(raw):
        cards = []
        while True:
            block = raw[pos:pos + BLOCK]
            if len(block) < BLOCK:
                raise ValueError(f"{path}: truncated header")
            pos += BLOCK
            cards += [block[i:i + 80].decode("ascii") for i in range(0, BLOCK, 80)]
            if any(c.startswith("END     ") or c.rstrip() == "END" for c in cards):
                break
        keys = {c[:8].strip(): c[10:].split("/")[0].strip() for c in cards if c[8:10] == "= "}
        size = 0
        if int(keys.get("NAXIS", 0)) > 0:
            size = abs(int(keys["BITPIX"])) // 8
            for axis in range(1, int(keys["NAXIS"]) + 1):
                size *= int(keys[f"NAXIS{axis}"])
        yield cards, raw[pos:pos + size]
        pos += (size + BLOCK - 1) // BLOCK * BLOCK


def kept(cards):
    out = []
    for c in cards:
        key = c[:8].strip()
        if key in ("DATE", "HISTORY", "") or (key == "COMMENT" and VOLATILE.search(c)):
            continue
        out.append(c.rstrip())
    return out


def fits_differences(a, b):
    ha, hb = list(hdus(a)), list(hdus(b))
    if len(ha) != len(hb):
        return [f"{len(ha)} HDUs against {len(hb)}"]
    found = []
    for n, ((ca, da), (cb, db)) in enumerate(zip(ha, hb)):
        ka, kb = kept(ca), kept(cb)
        if ka != kb:
            diff = [x for x in ka if x not in kb] + [x for x in kb if x not in ka]
            found.append(f"HDU {n}: header records differ: {diff[:4]}")
        if da != db:
            found.append(f"HDU {n}: data differ")
    return found


def weights(path):
    with open(path) as f:
        return [(w, os.path.basename(name)) for w, name in (line.split() for line in f)]


def main(argv):
    if len(argv) < 4:
        sys.exit(__doc__)
    dir_a, dir_b, names = argv[1], argv[2], argv[3:]
    failed = 0
    for name in names:
        a, b = os.path.join(dir_a, name), os.path.join(dir_b, name)
        try:
            if name.endswith(".txt"):
                found = [] if weights(a) == weights(b) else ["weights differ"]
            else:
                found = fits_differences(a, b)
        except (OSError, ValueError) as e:
            found = [str(e)]
        for text in found:
            print(f"{name}: {text}")
        failed += bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
