#!/usr/bin/env bash
# Whole-run benchmark of the installed plenor: a 2048 x 2048 DCE with its uncertainty, a
# flat field with uncertainties, a transmission-calibrator flat, and a Pmask, Dmask and
# Cmask (generated once by mksample and kept under /tmp), flat-fielded with
#     plenor -i dce.fits -ui dce_unc.fits -o out.fits -uo out_unc.fits -f flat.fits
#            -t calflat.fits -p dce_pmask.fits -d dce_dmask.fits -c flat_cmask.fits
#            -l plenor.log
# Reports wall time and peak resident memory, the I/O floor (iofloor reading the same
# inputs whole, rewriting a copy of the Dmask in place and writing the two output planes)
# and the ratio of the two.
#
# plenor writes its Dmask marks back into dce_dmask.fits; the marks it adds are not fatal
# at the default Dmask level, so every timed run does the same work.  The Dmask is restored
# from a pristine copy before the first run.
#
# Environment: DOWNLINK_BIN_DIR, BENCH_RUNS and BENCH_DIR as for bench_stackle.sh.
set -euo pipefail
# shellcheck source=bench_stackle.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_stackle.sh"

dir="${BENCH_DIR:-/tmp/downlink-bench-plenor}"
bench_generate "$dir" -W 2048 -H 2048 --no-stackle
[ -f "$dir/dce_dmask.orig" ] || cp "$dir/dce_dmask.fits" "$dir/dce_dmask.orig"
cp "$dir/dce_dmask.orig" "$dir/dce_dmask.fits"
cp "$dir/dce_dmask.orig" "$dir/floor_dmask.fits"
rm -f "$dir/plenor.log"
echo "DCE: 2048 x 2048 (1 plane) with uncertainty; flat and calibrator flat with" \
     "uncertainty planes; Pmask, Dmask, Cmask"

status=0
prog_mean=""

if [ -x "$bench_bin/plenor" ]; then
  if bench_measure plenor "$dir" "$bench_bin/plenor" -i dce.fits -ui dce_unc.fits \
    -o out.fits -uo out_unc.fits -f flat.fits -t calflat.fits -p dce_pmask.fits \
    -d dce_dmask.fits -c flat_cmask.fits -l plenor.log; then
    prog_mean=$bench_mean
  else
    status=1
  fi
else
  echo "plenor is not installed in $bench_bin: not timed"
  status=1
fi
bench_floor_ratio plenor "$dir" "$prog_mean" -r dce.fits -r dce_unc.fits -r flat.fits \
  -r calflat.fits -r dce_pmask.fits -u floor_dmask.fits -r flat_cmask.fits \
  -w floor_out.fits -w floor_unc.fits
exit "$status"
