#!/usr/bin/env bash
# Runs the workflow on one machine (--cores 2) on a generated night of six DCEs in two
# stacks and checks that:
#   - every product is the same as the programs run by hand give, and the input folder is
#     left as it was (plenor's Dmask updates land in the workflow's copies);
#   - a second run does nothing;
#   - with one DCE broken, its plenor job and its stack fail, every other product is written
#     and the same as by hand, and nothing of the failed jobs is left under a product name.
# Usage: check_local.sh [BIN_DIR]   (default: downlink/bin of this repository)
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"
BIN="$(cd "${1:-$ROOT/downlink/bin}" && pwd)"
# shellcheck source=common.sh
source "$HERE/common.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
check() { # check DESCRIPTION COMMAND...: runs the command, reports and counts a failure
  local what="$1"
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
flow() { # flow OUT_DIR [snakemake options...]: runs the workflow on the night in $work
  local out="$1"
  shift
  snakemake -s "$ROOT/workflow/Snakefile" --directory "$work" --configfile "$work/config.yaml" \
    --config out_dir="$out" bin_dir="$BIN" --cores 2 "$@" >"$work/$out.log" 2>&1
}

command -v snakemake >/dev/null || { echo "snakemake is not installed (scripts/deps.sh)"; exit 1; }
make_night "$work"
run_by_hand "$work"
(cd "$work/data" && sha256sum ./*) >"$work/inputs.sha256"
all=(dce1 dce2 dce3 dce4 dce5 dce6 A B)

start=$(date +%s%N)
check "the workflow runs" flow results
echo "local run on 6 DCEs in 2 stacks: $(seconds_since "$start") s"
check "products equal the programs run by hand" same_products "$work/hand" "$work/results" "${all[@]}"
check "the input folder is unchanged" bash -c "cd '$work/data' && sha256sum --quiet -c '$work/inputs.sha256'"

touch "$work/stamp"
sleep 1
check "a second run succeeds" flow results
nothing_done() {
  grep -q 'Nothing to be done' "$work/results.log" && [ -z "$(find "$work/results" -newer "$work/stamp")" ]
}
check "a second run does nothing" nothing_done

# One broken DCE (a truncated file) in stack A: run with --keep-going into a fresh folder.
head -c 3000 "$work/data/dce2.fits" >"$work/broken" && mv "$work/broken" "$work/data/dce2.fits"
status=0
flow broken --keep-going || status=$?
check "a run with a broken DCE fails" test "$status" -ne 0
check "only the broken DCE's job failed" \
  test "$(grep -c 'Error in rule' "$work/broken.log")" = 1 -a "$(grep -c 'Error in rule plenor' "$work/broken.log")" = 1
check "the other DCEs and stack are written as by hand" \
  same_products "$work/hand" "$work/broken" dce1 dce3 dce4 dce5 dce6 B
left=$(cd "$work/broken" && ls -A flat/dce2* stacks/A.fits stacks/A_* 2>/dev/null || true)
check "nothing is left of the failed jobs" test -z "$left"

echo "workflow checks: $failures failed"
[ "$failures" -eq 0 ]
