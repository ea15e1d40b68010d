#!/usr/bin/env bash
# Runs the workflow on one machine (--cores 2) on a generated night of eight DCEs in two
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

start=$(date +%s%N)
check "the workflow runs" flow results
echo "local run on 8 DCEs in 2 stacks: $(seconds_since "$start") s"
check "products equal the programs run by hand" same_products "$work/hand" "$work/results" "${ALL[@]}"
check "the input folder is unchanged" bash -c "cd '$work/data' && sha256sum --quiet -c '$work/inputs.sha256'"

touch "$work/stamp"
sleep 1
check "a second run succeeds" flow results
nothing_done() {
  grep -q 'Nothing to be done' "$work/results.log" && [ -z "$(find "$work/results" -newer "$work/stamp")" ]
}
check "a second run does nothing" nothing_done

# One broken DCE in stack A: run with --keep-going into a fresh folder.
break_dce2 "$work"
check "a run with a broken DCE fails" fails flow broken --keep-going
check "only the broken DCE's job failed, its stack is not run, the rest is as by hand" \
  only_broken_jobs_failed "$work" broken "$work/broken.log"

echo "workflow checks: $failures failed"
[ "$failures" -eq 0 ]
