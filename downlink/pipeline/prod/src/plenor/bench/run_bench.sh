#!/usr/bin/env bash
# Whole-run benchmark of plenor: flat-fields a 2048 x 2048 DCE with its uncertainty, a flat
# field with uncertainty, a transmission-calibrator flat and the Pmask, Dmask and Cmask, and
# sets the run time against the time iofloor needs to only read the same inputs and write
# outputs of the same size (the I/O floor).
#
#   run_bench.sh [BIN_DIR] [RUNS]
#
# BIN_DIR holds the installed plenor, mksample and iofloor (default: downlink/bin of this
# checkout); RUNS is the number of timed runs of each program (default 5).  Prints the best
# and the median wall time of each, plenor's own processor time and the ratio of the bests.
set -euo pipefail
root="$(cd "$(dirname "$0")/../../../../../.." && pwd)"
bin="$(cd "${1:-$root/downlink/bin}" && pwd)"
runs="${2:-5}"
for program in plenor mksample iofloor; do
    if [ ! -x "$bin/$program" ]; then
        echo "run_bench.sh: $bin/$program not found (install the project first)" >&2
        exit 64
    fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$bin/mksample" -o "$work" -W 2048 -H 2048 --no-stackle >/dev/null
cd "$work"

now_ns() { date +%s%N; }

# Runs "$@" RUNS times and writes the wall times in seconds, sorted, into the file $1.
time_runs() {
    local times="$1" i start end
    shift
    : >"$times"
    for ((i = 0; i < runs; i++)); do
        start=$(now_ns)
        if ! "$@" >"$work/last.out" 2>&1; then
            echo "run_bench.sh: failed: $*" >&2
            cat "$work/last.out" >&2
            exit 64
        fi
        end=$(now_ns)
        awk -v ns=$((end - start)) 'BEGIN { printf "%.3f\n", ns / 1e9 }' >>"$times"
    done
    sort -n -o "$times" "$times"
}

best() { head -n 1 "$1"; }
median() { awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }' "$1"; }

# The sample namelist turns the progress lines on; -v turns them off again.
time_runs "$work/plenor.times" "$bin/plenor" -n plenor.nml -v -l plenor.log
cpu=$(sed -n 's/^Time = *\([0-9.]*\) seconds$/\1/p' "$work/last.out")
time_runs "$work/floor.times" "$bin/iofloor" -r dce.fits -r dce_unc.fits -r flat.fits \
    -r calflat.fits -r dce_pmask.fits -u dce_dmask.fits -r flat_cmask.fits \
    -w floor_dce.fits -w floor_unc.fits

echo "plenor whole run, 2048 x 2048 DCE with uncertainty, flat and calibrator flat with"
echo "uncertainties, Pmask, Dmask and Cmask; $runs runs each, wall time in seconds:"
printf '  plenor   best %s  median %s  (processor time of the last run %s)\n' \
    "$(best "$work/plenor.times")" "$(median "$work/plenor.times")" "$cpu"
printf '  iofloor  best %s  median %s  (only reading the inputs, writing the outputs)\n' \
    "$(best "$work/floor.times")" "$(median "$work/floor.times")"
awk -v p="$(best "$work/plenor.times")" -v f="$(best "$work/floor.times")" \
    'BEGIN { if (f > 0) printf "  plenor / I/O floor (best): %.2f\n", p / f }'
