#!/usr/bin/env bash
# Whole-run benchmark of the installed stackle: a stack of 25 frames of 1024 x 1024 with
# uncertainties (generated once by mksample and kept under /tmp), co-added with
#     stackle -di data.list -si sdev.list -do out.fits -so sdev_out.fits -cf 0.2 -cm 5
# Reports wall time and peak resident memory, the I/O floor (iofloor reading every data and
# uncertainty frame whole and writing the same two planes) and the ratio of the two.
#
# Environment: DOWNLINK_BIN_DIR (installed programs, default downlink/bin), BENCH_RUNS
# (timed runs per command, default 3), BENCH_DIR (scratch folder, default under /tmp).
# Uses hyperfine for the wall time when it is installed, else /usr/bin/time in a loop.
# The page cache is warm for every timed run (the data were just written or read).
#
# bench_plenor.sh sources this file for the shared helpers below; it then runs nothing.
set -euo pipefail

bench_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bench_bin="${DOWNLINK_BIN_DIR:-$bench_root/downlink/bin}"
bench_runs="${BENCH_RUNS:-3}"

# Generates sample data into a folder unless it already holds data made by the same
# mksample with the same arguments.  Fails when mksample is missing or fails.
bench_generate() {
  local dir="$1"; shift
  local stamp
  if [ ! -x "$bench_bin/mksample" ]; then
    echo "bench: mksample is not installed in $bench_bin" >&2
    return 1
  fi
  stamp="$(cksum <"$bench_bin/mksample") $*"
  if [ -f "$dir/.stamp" ] && [ "$(cat "$dir/.stamp")" = "$stamp" ]; then
    echo "Using the cached sample data in $dir"
    return 0
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "Generating sample data in $dir (mksample $*) ..."
  "$bench_bin/mksample" -o "$dir" "$@" >/dev/null
  echo "$stamp" >"$dir/.stamp"
}

# bench_hyperfine TIMES DIR COMMAND...: wall times of $bench_runs runs by hyperfine, one
# per line into TIMES (left empty when hyperfine is missing or fails).
bench_hyperfine() {
  local times="$1" dir="$2"; shift 2
  : >"$times"
  command -v hyperfine >/dev/null 2>&1 || return 0
  (cd "$dir" && hyperfine --style basic --runs "$bench_runs" --export-json "$times.json" \
    -- "$(printf '%q ' "$@")") >/dev/null 2>&1 || return 0
  tr -d ' \n' <"$times.json" | grep -o '"times":\[[^]]*\]' | head -n 1 |
    sed 's/"times":\[//; s/\]//' | tr ',' '\n' >"$times"
}

# bench_loop TIMES DIR COMMAND...: $bench_runs runs under /usr/bin/time (or the shell's
# clock); appends the wall times to TIMES unless it already holds hyperfine's, and sets
# bench_rss to the largest peak resident set in MiB ("n/a" without /usr/bin/time).
bench_loop() {
  local times="$1" dir="$2"; shift 2
  local i rss=0 r t0 t1 keep=1 tfile="$times.one"
  [ -s "$times" ] && keep=0
  bench_rss="n/a"
  for ((i = 0; i < bench_runs; i++)); do
    if [ -x /usr/bin/time ]; then
      (cd "$dir" && /usr/bin/time -f '%e %M' -o "$tfile" "$@") >/dev/null 2>&1 || true
      r=$(awk '{print $2}' "$tfile")
      [ "${r:-0}" -gt "$rss" ] && rss=$r
      [ "$keep" -eq 1 ] && awk '{print $1}' "$tfile" >>"$times"
    else
      t0=$(date +%s.%N)
      (cd "$dir" && "$@") >/dev/null 2>&1 || true
      t1=$(date +%s.%N)
      [ "$keep" -eq 1 ] && awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f\n", b - a}' >>"$times"
    fi
  done
  [ -x /usr/bin/time ] && bench_rss=$(awk -v k="$rss" 'BEGIN {printf "%.1f", k / 1024}')
  return 0
}

# bench_measure LABEL DIR COMMAND...: runs COMMAND in DIR once to check it, then times
# $bench_runs runs.  Sets bench_mean and bench_min (seconds) and bench_rss (MiB), and
# returns the status of the check run.
bench_measure() {
  local label="$1" dir="$2"; shift 2
  local status log="$dir/.$label.out" times="$dir/.$label.times"
  set +e
  (cd "$dir" && "$@") >"$log" 2>&1
  status=$?
  set -e
  if [ "$status" -ne 0 ]; then
    echo "$label ended with exit status $status; its last lines were:"
    tail -n 12 "$log" | sed 's/^/    | /'
    return "$status"
  fi
  bench_hyperfine "$times" "$dir" "$@"
  bench_loop "$times" "$dir" "$@"
  bench_mean=$(awk '{s += $1; n++} END {if (n) printf "%.3f", s / n}' "$times")
  bench_min=$(sort -g "$times" | head -n 1 | awk '{printf "%.3f", $1}')
  echo "$label: wall mean $bench_mean s, best $bench_min s over $bench_runs runs;" \
       "peak RSS $bench_rss MiB"
  return 0
}

# bench_ratio LABEL PROGRAM_MEAN FLOOR_MEAN: prints how many times the floor the run takes.
bench_ratio() {
  awk -v l="$1" -v p="$2" -v f="$3" \
    'BEGIN {if (f > 0) printf "%s: %.2f x the I/O floor\n", l, p / f}'
}

# bench_floor_ratio NAME DIR PROG_MEAN IOFLOOR_ARGS...: times iofloor with the given arguments in
# DIR and, when both times are known, prints NAME's ratio to that floor.
bench_floor_ratio() {
  local name="$1" dir="$2" prog_mean="$3"
  shift 3
  if [ ! -x "$bench_bin/iofloor" ]; then
    echo "iofloor is not installed in $bench_bin: the I/O floor is not measured"
    return 0
  fi
  if bench_measure iofloor "$dir" "$bench_bin/iofloor" "$@" && [ -n "$prog_mean" ]; then
    bench_ratio "$name" "$prog_mean" "$bench_mean"
  fi
  return 0
}

bench_stackle_main() {
  local dir="${BENCH_DIR:-/tmp/downlink-bench-stackle}" prog_status=0 prog_mean=""
  bench_generate "$dir" -n 25 -W 1024 -H 1024 --no-plenor
  echo "Stack: 25 frames of 1024 x 1024 (32-bit floats) with uncertainty frames"
  if [ -x "$bench_bin/stackle" ]; then
    if bench_measure stackle "$dir" "$bench_bin/stackle" -di data.list -si sdev.list \
      -do out.fits -so sdev_out.fits -cf 0.2 -cm 5; then
      prog_mean=$bench_mean
    else
      prog_status=1
    fi
  else
    echo "stackle is not installed in $bench_bin: not timed"
    prog_status=1
  fi
  bench_floor_ratio stackle "$dir" "$prog_mean" -l data.list -l sdev.list \
    -w floor_out.fits -w floor_sdev.fits
  return "$prog_status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  bench_stackle_main
fi
