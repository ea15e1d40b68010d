#!/usr/bin/env bash
# Runs the demonstration job with the installed programs: generates the sample data in the
# given folder (default demo/), co-adds the sample stack with stackle (all masks, FOV
# weighting, trimming, every product) and flat-fields the sample DCE with plenor (flat,
# calibrator flat, three masks, uncertainties), then prints a short summary and says where
# the products are.
#
# A program that is missing or ends with a failure does not stop the demonstration: its
# last lines and exit status are shown and the demonstration goes on.  A failure of the
# sample generator does stop it.
#
# DOWNLINK_BIN_DIR selects another installed tree than downlink/bin.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/demo}"
bin="${DOWNLINK_BIN_DIR:-$root/downlink/bin}"
width=64
height=48
frames=5

rm -rf "$out"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
if ! "$bin/mksample" -o "$out" -n "$frames" -W "$width" -H "$height"; then
  echo "demo: the sample generator failed; nothing to run" >&2
  exit 1
fi
echo "Sample data written to $out"

# Runs one installed program inside the sample folder, its output kept in <name>.out.
# Prints the last lines and the exit status when the program fails; never fails itself.
run_program() {
  local name="$1"; shift
  local log="$out/$name.out" status
  echo
  echo "=== $name $* (in $out) ==="
  if [ ! -x "$bin/$name" ]; then
    echo "$name is not installed in $bin: step skipped"
    return 0
  fi
  set +e
  (cd "$out" && timeout 600 "$bin/$name" "$@") >"$log" 2>&1
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    echo "$name finished with exit status 0 (full output: $log)"
  else
    echo "$name ended with exit status $status; its last lines were:"
    tail -n 12 "$log" | sed 's/^/    | /'
    echo "(full output: $log)"
  fi
  return 0
}

# Sum of the good-pixel counts of the verbose lines that match a pattern.
sum_counts() {
  local pattern="$1" log="$2"
  { grep -E "$pattern" "$log" 2>/dev/null || true; } |
    sed -E "s/.*$pattern *([0-9]+).*/\\1/" | awk '{s += $1; n++} END {if (n) print s}'
}

# Shows the cautions and warnings a program printed, once each.
show_notes() {
  local name="$1" log="$out/$1.out" notes
  notes=$({ grep -E 'CAUTION|WARNING' "$log" 2>/dev/null || true; } | tr -d '\a' | awk '!seen[$0]++')
  if [ -n "$notes" ]; then
    echo "$name noted:"
    echo "$notes" | sed 's/^/    /'
  fi
}

stackle_summary() {
  local log="$out/stackle.out" before after
  echo
  echo "--- co-addition summary ---"
  echo "image size: $width x $height, $frames frames"
  show_notes stackle
  # With weighting on, stackle counts each frame's usable pixels inside the FOV both before
  # and after the trimming; without it the second count repeats the first.
  before=$(sum_counts "Number of good pixels is" "$log")
  after=$(sum_counts "good pixels =" "$log")
  if [ -n "$before" ] && [ -n "$after" ] &&
     grep -q "AFTER calculating weights, in FOV" "$log"; then
    echo "pixels trimmed inside the weighting FOV (all frames): $((before - after))" \
         "of $before masked-in pixels"
  else
    echo "pixels trimmed: not computable (stackle printed no per-frame counts)"
  fi
  if [ -s "$out/coadd_weights.txt" ]; then
    echo "weights list ($out/coadd_weights.txt):"
    sed 's/^/    /' "$out/coadd_weights.txt"
  else
    echo "weights list: not written"
  fi
}

plenor_summary() {
  local log="$out/plenor.out"
  echo
  echo "--- flat-fielding summary ---"
  echo "DCE size: $width x $height, 1 plane"
  show_notes plenor
  if grep -q "exit code" "$log" 2>/dev/null; then
    echo "plenor reported: $(grep "exit code" "$log" | tail -n 1)"
  fi
  if [ -s "$out/plenor.log" ]; then
    echo "processing log: $out/plenor.log"
  fi
}

run_program stackle -n stackle.nml
stackle_summary
run_program plenor -n plenor.nml
plenor_summary

echo
echo "--- products in $out ---"
found=0
for f in coadd.fits coadd_sdev.fits coadd_amask.fits coadd_weights.txt \
         dce_flat.fits dce_flat_unc.fits dce_dmask.fits plenor.log; do
  case "$f" in
    dce_dmask.fits) note="(Dmask input, updated in place by plenor)" ;;
    *) note="" ;;
  esac
  if [ -e "$out/$f" ]; then
    if [ "$f" != dce_dmask.fits ] || [ -e "$out/dce_flat.fits" ]; then
      echo "  $out/$f $note"
      found=1
    fi
  fi
done
[ "$found" -eq 1 ] || echo "  (no products were written)"
