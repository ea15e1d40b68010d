#!/usr/bin/env bash
# The four performance measurements of the toolkit, each set against its floor in one run,
# printed as one table (measured, floor, ratio, goal, pass/fail).
#
# Needs the peer benchmark harness beside the project, ../shared/bench (PEER_DIR), for the
# peer kernel's figure, and uses its stack in /tmp/peer-bench/stack-default when it is there
# (made by ../shared/bench/run_peers.sh; else a mksample stack of the same size).
#
#  1. stackle -cf 0.2 -cm 5 with uncertainty frames on 25 x 1024 x 1024 against the I/O floor
#     (iofloor reading the data and uncertainty frames whole and writing two planes); its peak
#     resident memory against the bytes of the planes it holds (N data and N uncertainty
#     planes) plus its three products (two float planes and the 16-bit AMASK).
#  2. plenor on a 2048 x 2048 DCE with uncertainty, two-plane flat, calibrator flat and three
#     masks against reading those inputs and writing its outputs (bench_plenor.sh).
#  3. distribute_quad input pixels per second on the resampling geometry of the peer kernel
#     (a 1024 x 1024 input under a 2 degree rotation plus a shift; a Google Benchmark of
#     libintegrate) against the peer kernel, measured in the same run when the peer can be run,
#     else the peer's figure recorded in the peer results.
#  4. errva_div and errva_ddiv against the same quotient and sigma computed inline (the Google
#     Benchmark errva_div_bench).
#  5. stackle's cost per input value (least processor time, user + system, of BENCH_RUNS runs /
#     (N x 1024 x 1024)) on mksample stacks of
#     N = 25, 100 and 300 frames (BENCH_DEPTHS), -cf 0.2 -cm 5, with the data frames only and
#     with the uncertainty frames, BMASKs and PMASKs too; each deeper cost against the cost at
#     N = 25 in the same setting. On the deepest stack with everything, the peak resident memory
#     against the products (mean, uncertainty and AMASK planes) plus one band of every input, the
#     band height being the one stackle chooses (about 3 MB of rows, but at least 32 KB of each
#     data frame a read).
#  6. The deep stack of the peer harness (run_peers.sh deep: 100 frames of 1024 x 1024 with
#     uncertainties) read from its results file PEER_WORK/results-deep.md: the fastest peer's wall
#     time against stackle's (pinned to one CPU as the peers are) and stackle's against the
#     harness's I/O floor, all measured in that one harness run.
#
# Nothing is built here: the programs come from the installed downlink/bin (DOWNLINK_BIN_DIR)
# and the Google Benchmark programs from the build folder BUILD_DIR (default build).  A part
# that cannot be measured gets a "not available" line saying why; the others still run.
# Progress goes to standard error, the table to standard output; the exit status is 0 once the
# table is printed, whether the goals are met or not.
#
# Wall times are the best of BENCH_RUNS runs (default 3) with a warm page cache; Google
# Benchmark figures are the median of three repetitions of CPU time.  Single-threaded kernel
# and library benchmarks run pinned to CPU 0 (taskset) when it is available; set BENCH_PIN=1 to
# pin stackle and its floor as well.
#
# Environment:
#   DOWNLINK_BIN_DIR  installed programs (default downlink/bin)
#   BUILD_DIR         build folder holding the Google Benchmark programs (default build)
#   BENCH_RUNS        timed runs per program (default 3)
#   BENCH_STACK       co-addition stack: "peer" (the peer harness's stack of 25 x 1024 x 1024
#                     frames in PEER_WORK), "mksample" (an equivalent stack written by mksample
#                     into /tmp/downlink-bench-stackle), or "auto" (default: the peer stack when
#                     it is there, else mksample)
#   PEER_DIR          the peer harness (default ../shared/bench beside the project)
#   PEER_WORK         the peer harness's scratch folder (default /tmp/peer-bench)
#   PEER_PY           python that runs the peer kernel (default /usr/bin/python3)
#   PEER_KERNEL_MODE  mode of the harness's kernel script to time in this run (its first argument);
#                     unset: the figure the harness recorded for its first kernel row is used
#   KERNEL_BENCH      regex of the benchmark of the peer geometry in the libintegrate benchmark
#                     programs (default: names mentioning the peer geometry, see kernel_filter)
#   BENCH_DEPTHS      frame counts of measurement 5 (default "25 100 300"; the first is the reference)
#   BENCH_KEEP_STACKS 1 keeps the stacks of measurement 5 deeper than 100 frames (3.6 GB at 300), which
#                     are otherwise deleted once measured
# Scratch files (logs, benchmark output, the peer kernel's image) go to /tmp/downlink-bench-all,
# the stackle stack made by mksample to /tmp/downlink-bench-stackle, the stacks of measurement 5 to
# /tmp/downlink-bench-depth-N, the plenor inputs to /tmp/downlink-bench-plenor.
set -uo pipefail

# shellcheck source=bench_stackle.sh
source "$(dirname "${BASH_SOURCE[0]}")/bench_stackle.sh"
# Every call below is guarded, so a failing part only costs its own line of the table.
set +e

# measure LABEL DIR COMMAND...: bench_measure without the errexit it turns back on.
measure() {
    bench_measure "$@"
    local status=$?
    set +e
    return "$status"
}

build_dir="${BUILD_DIR:-build}"
case "$build_dir" in /*) ;; *) build_dir="$bench_root/$build_dir" ;; esac
peer_dir="${PEER_DIR:-$bench_root/../shared/bench}"
peer_work="${PEER_WORK:-/tmp/peer-bench}"
peer_py="${PEER_PY:-/usr/bin/python3}"
kernel_filter="${KERNEL_BENCH:-[Kk]ernel|[Gg]eometry|[Rr]otat|[Pp]eer|1024}"
scratch=/tmp/downlink-bench-all
mkdir -p "$scratch"

pin=()
command -v taskset >/dev/null 2>&1 && pin=(taskset -c 0)
stackle_pin=()
[ "${BENCH_PIN:-0}" = 1 ] && stackle_pin=("${pin[@]}")

# ---------------------------------------------------------------------------------------
# The table

rows=()
notes=()

# add_row NAME MEASURED FLOOR RATIO GOAL RESULT
add_row() {
    rows+=("$(printf '%s\t%s\t%s\t%s\t%s\t%s' "$@")")
}

# add_missing NAME GOAL REASON
add_missing() {
    add_row "$1" "-" "-" "-" "$2" "not available: $3"
}

# ratio_and_judge A B OP LIMIT: "RATIO pass" or "RATIO fail" for RATIO = A / B (two
# decimals; the judgement uses the exact quotient); nothing when B is not positive.
ratio_and_judge() {
    awk -v a="$1" -v b="$2" -v op="$3" -v l="$4" 'BEGIN {
        if (b <= 0) exit
        r = a / b
        ok = (op == "<=") ? (r <= l) : (r >= l)
        printf "%.2f %s\n", r, ok ? "pass" : "fail"
    }'
}

# add_ratio_row NAME MEASURED UNIT FLOOR UNIT OP LIMIT: the ratio measured / floor against
# the goal "OP LIMIT".
add_ratio_row() {
    local verdict
    verdict=$(ratio_and_judge "$2" "$4" "$6" "$7")
    if [ -z "$verdict" ]; then
        add_missing "$1" "$6 $7" "the floor measured $4 $5"
        return
    fi
    add_row "$1" "$2 $3" "$4 $5" "${verdict% *}" "$6 $7" "${verdict#* }"
}

print_table() {
    local header
    header=$(printf '%s\t%s\t%s\t%s\t%s\t%s' measurement measured floor ratio goal result)
    printf '%s\n' "$header" "${rows[@]}" |
        awk -F'\t' '
            {for (i = 1; i <= NF; i++) {cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i)}}
            END {
                for (r = 1; r <= NR; r++) {
                    line = ""
                    for (i = 1; i < 6; i++) line = line sprintf("%-" w[i] "s  ", cell[r, i])
                    line = line cell[r, 6]
                    print line
                    if (r == 1) {
                        rule = ""
                        for (i = 1; i <= 6; i++) {
                            s = sprintf("%" w[i] "s", ""); gsub(/ /, "-", s); rule = rule s (i < 6 ? "  " : "")
                        }
                        print rule
                    }
                }
            }'
}

# ---------------------------------------------------------------------------------------
# Helpers

# fits_axis FILE N: the length of axis N from the primary header.
fits_axis() {
    head -c 28800 "$1" 2>/dev/null | fold -w 80 | awk -v k="NAXIS$2" \
        '{split($0, a, "="); gsub(/ /, "", a[1])} a[1] == k {split(a[2], v, "/"); print v[1] + 0; exit}'
}

# first_name LIST: the first file name of a list (first word of the first used line).
first_name() {
    awk '$0 !~ /^[ \t]*(#|$)/ {print $1; exit}' "$1"
}

# count_names LIST: how many file names a list holds.
count_names() {
    awk '$0 !~ /^[ \t]*(#|$)/ && $1 != "&END" {n++} END {print n + 0}' "$1"
}

# find_bench NAME: the path of the Google Benchmark program NAME in the build folder.
find_bench() {
    find "$build_dir" -name "$1" -type f -perm -u+x 2>/dev/null | head -n 1
}

# run_gbench PROGRAM FILTER CSV: median of three repetitions as CSV (exit status of the run).
run_gbench() {
    "${pin[@]}" "$1" --benchmark_filter="$2" --benchmark_repetitions=3 \
        --benchmark_report_aggregates_only=true --benchmark_format=csv >"$3" 2>"$3.err"
}

# csv_value CSV ROW COLUMN: the value in the named column of the row whose name is ROW.
csv_value() {
    awk -F, -v row="\"$2\"" -v col="$3" '
        /^name,/ {for (i = 1; i <= NF; i++) {k = $i; gsub(/"/, "", k); idx[k] = i}; next}
        $1 == row && (col in idx) {v = $(idx[col]); gsub(/"/, "", v); print v; exit}' "$1"
}

# csv_columns CSV: the column names of the CSV header, one per line.
csv_columns() {
    awk -F, '/^name,/ {for (i = 1; i <= NF; i++) {k = $i; gsub(/"/, "", k); print k}; exit}' "$1"
}

# median of the numbers on standard input.
median() {
    sort -g | awk '{v[NR] = $1} END {if (NR) print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# ---------------------------------------------------------------------------------------
# 1. stackle against the I/O floor, and its peak memory

# choose_stack: sets stack_dir, data_list and sdev_list to the co-addition stack to use.
choose_stack() {
    local kind="${BENCH_STACK:-auto}" peer="$peer_work/stack-default"
    if [ "$kind" != mksample ] && [ -f "$peer/list.txt" ] && [ -f "$peer/sdev_list.txt" ]; then
        stack_dir=$peer data_list=list.txt sdev_list=sdev_list.txt
        stack_kind="the peer harness's stack in $peer"
        return 0
    fi
    if [ "$kind" = peer ]; then
        stack_why="no peer stack in $peer (run the peer harness first)"
        return 1
    fi
    stack_dir=/tmp/downlink-bench-stackle data_list=data.list sdev_list=sdev.list
    stack_kind="a mksample stack in $stack_dir"
    if [ ! -x "$bench_bin/mksample" ]; then
        stack_why="no peer stack, and mksample is not installed in $bench_bin"
        return 1
    fi
    if ! bench_generate "$stack_dir" -n 25 -W 1024 -H 1024 --no-plenor >&2; then
        stack_why="mksample could not write the stack in $stack_dir"
        return 1
    fi
    notes+=("stackle: the mksample stack has cosmic-ray hits in 1 of 800 pixels and NaNs in 1 of
  2000 per frame; the peer stack has 1 in 200 and 1 in 10000.")
}

measure_stackle() {
    local goal_t="<=" name="stackle -cf 0.2 -cm 5 wall / I/O floor"
    local mem_name="stackle peak RSS / planes held + products"
    local n w h prog_t prog_rss floor_t held
    if ! choose_stack; then
        add_missing "$name" "$goal_t 2" "$stack_why"
        add_missing "$mem_name" "<= 1.3" "$stack_why"
        return
    fi
    n=$(count_names "$stack_dir/$data_list")
    w=$(fits_axis "$stack_dir/$(first_name "$stack_dir/$data_list")" 1)
    h=$(fits_axis "$stack_dir/$(first_name "$stack_dir/$data_list")" 2)
    w=${w:-0} h=${h:-0}
    echo "Stack: $n frames of ${w} x ${h} with uncertainty frames, $stack_kind" >&2
    stack_note="$n x ${w} x ${h} with uncertainties ($stack_kind)"
    if [ ! -x "$bench_bin/stackle" ]; then
        add_missing "$name" "$goal_t 2" "stackle is not installed in $bench_bin"
        add_missing "$mem_name" "<= 1.3" "stackle is not installed in $bench_bin"
        return
    fi
    if ! measure all_stackle "$stack_dir" "${stackle_pin[@]}" "$bench_bin/stackle" \
        -di "$data_list" -si "$sdev_list" -do all_stackle.fits -so all_stackle_sdev.fits \
        -cf 0.2 -cm 5 >&2; then
        add_missing "$name" "$goal_t 2" "stackle failed (see $stack_dir/.all_stackle.out)"
        add_missing "$mem_name" "<= 1.3" "stackle failed"
        return
    fi
    prog_t=$bench_min prog_rss=$bench_rss
    # N data and N uncertainty planes of 4 bytes, the two float products and the AMASK.
    held=$(awk -v n="$n" -v p="$((w * h))" 'BEGIN {printf "%.1f", (8 * n + 10) * p / 1048576}')
    if [ "$prog_rss" = n/a ]; then
        add_missing "$mem_name" "<= 1.3" "no /usr/bin/time to measure the peak RSS"
    fi
    if [ ! -x "$bench_bin/iofloor" ]; then
        add_missing "$name" "$goal_t 2" "iofloor is not installed in $bench_bin"
    elif measure all_iofloor "$stack_dir" "${stackle_pin[@]}" "$bench_bin/iofloor" \
        -l "$data_list" -l "$sdev_list" -w all_floor.fits -w all_floor_sdev.fits >&2; then
        floor_t=$bench_min
        add_ratio_row "$name" "$prog_t" s "$floor_t" s "$goal_t" 2
        add_ratio_row "  (first milestone)" "$prog_t" s "$floor_t" s "$goal_t" 5
    else
        add_missing "$name" "$goal_t 2" "iofloor failed (see $stack_dir/.all_iofloor.out)"
    fi
    [ "$prog_rss" != n/a ] && add_ratio_row "$mem_name" "$prog_rss" MiB "$held" MiB "<=" 1.3
    notes+=("stackle: the memory floor is (8 N + 10) bytes a pixel: N data and N uncertainty
  planes of 4 bytes, the mean and uncertainty products of 4 bytes and the AMASK of 2.")
}

# ---------------------------------------------------------------------------------------
# 2. plenor against its I/O floor (bench_plenor.sh)

# best_of LOG LABEL: the best wall time bench_measure printed for LABEL.
best_of() {
    awk -v l="$2:" '$1 == l && $2 == "wall" {for (i = 3; i < NF; i++) if ($i == "best") print $(i + 1)}' "$1"
}

measure_plenor() {
    local name="plenor 2048^2, flats, 3 masks wall / I/O floor" log="$scratch/plenor.log"
    local prog_t floor_t
    echo "plenor: bench_plenor.sh" >&2
    # Its own sample folder: a BENCH_DIR from outside would be wiped when it holds other data.
    env -u BENCH_DIR bash "$bench_root/scripts/bench_plenor.sh" >"$log" 2>&1
    sed 's/^/    /' "$log" >&2
    prog_t=$(best_of "$log" plenor)
    floor_t=$(best_of "$log" iofloor)
    if [ -z "$prog_t" ]; then
        add_missing "$name" "<= 1.5" "$(grep -m1 -E 'not installed|exit status|bench:' "$log" || echo "plenor was not timed")"
    elif [ -z "$floor_t" ]; then
        add_missing "$name" "<= 1.5" "the I/O floor was not measured (see $log)"
    else
        add_ratio_row "$name" "$prog_t" s "$floor_t" s "<=" 1.5
    fi
}

# ---------------------------------------------------------------------------------------
# 3. distribute_quad on the peer kernel's geometry against the peer kernel

# peer_rate: sets peer_value to the input pixels per second (millions) of the peer kernel, the
# median of BENCH_RUNS runs of the harness's kernel script on a 1024 x 1024 input, and
# peer_note to where the figure comes from.
peer_rate() {
    local input runs="$scratch/peer_kernel.jsonl" i recorded
    : >"$runs"
    input="$peer_work/stack-default/truth.fits"
    [ -f "$input" ] || [ -z "$stack_dir" ] ||
        input="$stack_dir/$(first_name "$stack_dir/$data_list")"
    # PEER_KERNEL_MODE names the mode of the harness's kernel script to time (its first
    # argument); without it the figure recorded by the harness is used.
    if [ -n "${PEER_KERNEL_MODE:-}" ] && [ -f "$input" ] && [ -x "$peer_py" ] &&
        [ -f "$peer_dir/peers/py_kernel.py" ]; then
        echo "peer kernel: py_kernel.py $PEER_KERNEL_MODE $(basename "$input"), $bench_runs runs" >&2
        for ((i = 0; i < bench_runs; i++)); do
            (cd "$scratch" && "${pin[@]}" "$peer_py" "$peer_dir/peers/py_kernel.py" \
                "$PEER_KERNEL_MODE" "$input" peer_kernel.fits) 2>/dev/null |
                grep -o '"mpix_per_s": *[0-9.eE+-]*' | sed 's/.*: *//' >>"$runs"
        done
        if [ -s "$runs" ]; then
            peer_note="the peer kernel (py_kernel.py $PEER_KERNEL_MODE on $(basename "$input"), pinned) was measured in this run, median of $bench_runs runs"
            peer_value=$(median <"$runs" | awk '{printf "%.3f", $1}')
            return 0
        fi
        echo "peer kernel: no figure from py_kernel.py; using the recorded one" >&2
    fi
    # The harness's first kernel row is the peer the goal is set against.
    recorded=$(grep -m1 '^| kernel |' "$peer_dir/results-default.md" 2>/dev/null |
        grep -o '= [0-9.]* Mpix/s' | awk '{print $2}')
    peer_note="the peer kernel could not be run here: its figure is the one recorded in results-default.md, not measured in this run"
    peer_value=${recorded:-1.41}
}

measure_kernel() {
    local name="distribute_quad input Mpix/s / peer kernel" prog tests csv="$scratch/kernel.csv"
    local bench col rate
    while IFS= read -r prog; do
        tests=$("$prog" --benchmark_list_tests 2>/dev/null | grep -E "$kernel_filter" | head -n 1)
        [ -n "$tests" ] && bench=$tests && break
    done < <(find "$build_dir" -name 'integrate_*_bench' -type f -perm -u+x 2>/dev/null | sort)
    if [ -z "${bench:-}" ]; then
        add_missing "$name" ">= 2" "no libintegrate benchmark of the peer geometry in $build_dir"
        return
    fi
    echo "distribute_quad: $(basename "$prog") $bench" >&2
    if ! run_gbench "$prog" "^${bench}\$" "$csv"; then
        add_missing "$name" ">= 2" "$(basename "$prog") failed: $(tail -n 1 "$csv.err")"
        return
    fi
    # A counter of pixels per second when the benchmark has one, else its items per second.
    col=$(csv_columns "$csv" | grep -i -m1 'pix')
    [ -n "$col" ] || col=items_per_second
    rate=$(csv_value "$csv" "${bench}_median" "$col")
    if [ -z "$rate" ]; then
        add_missing "$name" ">= 2" "$bench reports no $col"
        return
    fi
    rate=$(awk -v r="$rate" 'BEGIN {printf "%.3f", r / 1e6}')
    peer_rate
    add_ratio_row "$name" "$rate" Mpix/s "$peer_value" Mpix/s ">=" 2
    notes+=("distribute_quad: $bench of $(basename "$prog") (counter $col, median of three
  repetitions); $peer_note.")
}

# ---------------------------------------------------------------------------------------
# 4. errva_div and errva_ddiv against the inline quotient

measure_errva() {
    local prog csv="$scratch/errva.csv" what op type t floor
    prog=$(find_bench errva_errva_div_bench)
    if [ -z "$prog" ]; then
        add_missing "errva_div / inline quotient" "<= 1.5" "no errva_errva_div_bench in $build_dir"
        add_missing "errva_ddiv / inline quotient" "<= 1.5" "no errva_errva_div_bench in $build_dir"
        return
    fi
    echo "errva: $(basename "$prog")" >&2
    if ! run_gbench "$prog" "." "$csv"; then
        add_missing "errva_div / inline quotient" "<= 1.5" "$(basename "$prog") failed"
        add_missing "errva_ddiv / inline quotient" "<= 1.5" "$(basename "$prog") failed"
        return
    fi
    for what in "errva_div float" "errva_ddiv double"; do
        read -r op type <<<"$what"
        t=$(csv_value "$csv" "BM_${op}_median" cpu_time)
        floor=$(csv_value "$csv" "BM_inline_quotient_${type}_median" cpu_time)
        if [ -z "$t" ] || [ -z "$floor" ]; then
            add_missing "$op / inline quotient" "<= 1.5" "BM_$op or BM_inline_quotient_$type missing"
            continue
        fi
        add_ratio_row "$op / inline quotient" "$(printf '%.2f' "$t")" ms \
            "$(printf '%.2f' "$floor")" ms "<=" 1.5
    done
    notes+=("errva: CPU time of one pass over 2^20 operands, median of three repetitions, of
  $(basename "$prog").")
}


# ---------------------------------------------------------------------------------------
# 5. stackle's cost per input value as the stack deepens, and its memory on the deepest

# depth_settings SETTING: the stackle arguments of a setting: "data" the data frames only,
# "all" with the uncertainty frames and the masks (fatal bits from mksample's stackle.nml).
depth_settings() {
    local bf pf
    if [ "$1" = data ]; then
        echo "-di data.list -do depth.fits"
        return
    fi
    bf=$(awk '$1 == "STK_bf" {print $3}' stackle.nml)
    pf=$(awk '$1 == "STK_pf" {print $3}' stackle.nml)
    echo "-di data.list -si sdev.list -bm bmask.list -pm pmask.list -bf ${bf:-128} -pf ${pf:-64}" \
        "-do depth.fits -so depth_sdev.fits -am depth_amask.fits"
}

# cpu_seconds COMMAND...: runs COMMAND (output discarded) and prints the processor time it
# took, user plus system, in seconds to the millisecond (bash's times, not /usr/bin/time's
# hundredths); fails when COMMAND fails.
cpu_seconds() {
    bash -c '"$@" >/dev/null 2>&1 || exit 1; times' _ "$@" | awk 'NR == 2 {
        split($1, u, /[ms]/); split($2, s, /[ms]/); printf "%.3f\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }'
}

# depth_measure DIR COMMAND...: in DIR, one check run of COMMAND under /usr/bin/time (its peak
# RSS in MiB to depth_rss, "n/a" without /usr/bin/time), then BENCH_RUNS runs; sets depth_cpu
# to the least processor time. Fails when a run fails.
depth_measure() {
    local dir="$1" i t
    shift
    depth_rss=n/a depth_cpu=""
    if [ -x /usr/bin/time ]; then
        (cd "$dir" && /usr/bin/time -f '%M' -o "$scratch/depth.rss" "$@") >/dev/null 2>&1 || return 1
        depth_rss=$(awk '{printf "%.1f", $1 / 1024}' "$scratch/depth.rss")
    fi
    for ((i = 0; i < bench_runs; i++)); do
        t=$(cd "$dir" && cpu_seconds "$@") || return 1
        depth_cpu=$(awk -v a="$t" -v b="$depth_cpu" 'BEGIN {print (b == "" || a < b) ? a : b}')
    done
    echo "stackle $* in $dir: processor time best $depth_cpu s of $bench_runs runs; peak RSS $depth_rss MiB"
}

# depth_band_mib N: MiB of one band of every input of the "all" setting on N frames of
# 1024 x 1024, at the band height stackle chooses.
depth_band_mib() {
    awk -v n="$1" -v w=1024 -v h=1024 'BEGIN {
        row = 12 * w * n; rows = int(3145728 / row); least = int(32768 / (4 * w))
        if (rows < least) rows = least; if (rows < 1) rows = 1; if (rows > h) rows = h
        printf "%.1f", rows * row / 1048576 }'
}

measure_depths() {
    local depths="${BENCH_DEPTHS:-25 100 300}" n dir setting ref deepest args name deep_rss=""
    local -A ns=()
    ref=${depths%% *}
    deepest=${depths##* }
    for n in $depths; do
        dir=/tmp/downlink-bench-depth-$n
        if ! bench_generate "$dir" -n "$n" -W 1024 -H 1024 --no-plenor >&2; then
            notes+=("stackle per value: no stack of $n frames (mksample failed or is missing).")
            continue
        fi
        for setting in data all; do
            read -r -a args <<<"$(cd "$dir" && depth_settings "$setting")"
            if [ -x "$bench_bin/stackle" ] && depth_measure "$dir" "${stackle_pin[@]}" \
                "$bench_bin/stackle" "${args[@]}" -cf 0.2 -cm 5 >&2; then
                ns[$setting.$n]=$(awk -v t="$depth_cpu" -v n="$n" \
                    'BEGIN {printf "%.2f", t * 1e9 / (n * 1048576)}')
                [ "$n" = "$deepest" ] && [ "$setting" = all ] && deep_rss=$depth_rss
            fi
        done
        [ "$n" -gt 100 ] && [ "${BENCH_KEEP_STACKS:-0}" != 1 ] && rm -rf "$dir"
    done
    for setting in data all; do
        for n in $depths; do
            [ "$n" = "$ref" ] && continue
            name="stackle ns/value $setting N=$n / N=$ref"
            if [ -z "${ns[$setting.$n]:-}" ] || [ -z "${ns[$setting.$ref]:-}" ]; then
                add_missing "$name" "<= 1.5" "stackle was not timed on both stacks"
            else
                add_ratio_row "$name" "${ns[$setting.$n]}" ns "${ns[$setting.$ref]}" ns "<=" 1.5
            fi
        done
    done
    name="stackle N=$deepest peak RSS / products + one band"
    if [ -z "$deep_rss" ] || [ "$deep_rss" = n/a ]; then
        add_missing "$name" "<= 1.3" "no peak RSS of the N=$deepest run with everything"
    else
        add_ratio_row "$name" "$deep_rss" MiB \
            "$(awk -v b="$(depth_band_mib "$deepest")" 'BEGIN {printf "%.1f", b + 10}')" MiB "<=" 1.3
    fi
    # What the program and its libraries take whatever the stack: a run on one tiny frame.
    if bench_generate "$scratch/depth-tiny" -n 1 -W 16 -H 16 --no-plenor >&2 &&
        depth_measure "$scratch/depth-tiny" "$bench_bin/stackle" -di data.list -do tiny.fits >&2; then
        notes+=("stackle memory: a run on one frame of 16 x 16 peaks at $depth_rss MiB (the program
  and its libraries), which the N=$deepest run holds too.")
    fi
    notes+=("stackle per value: the least processor time (user + system, which the other jobs of a
  busy machine do not stretch as they do the wall time) of $bench_runs runs / (N x 1024 x 1024)
  input values, on mksample stacks, -cf 0.2 -cm 5;
  'data' the data frames only, 'all' with the uncertainty frames, BMASKs and PMASKs. The
  memory floor is the three products (10 bytes a pixel) plus one band of the 4 N inputs at
  the band height stackle chooses.")
}

# ---------------------------------------------------------------------------------------
# 6. The peer harness's deep stack: stackle against the peers and the I/O floor

# deep_median MD PEER: the wall median of the row of PEER in the harness's results file.
deep_median() {
    awk -F'|' -v peer="$2" '{gsub(/ /, "", $3)} $3 == peer {gsub(/ /, "", $5); print $5; exit}' "$1"
}

measure_deep() {
    local md="$peer_work/results-deep.md" stackle_t floor_t peer_t peer_name robust_t robust_name why
    local peers_name="deep stack: fastest peer wall / stackle wall"
    local floor_name="deep stack: stackle wall / I/O floor"
    if [ ! -f "$md" ]; then
        why="no $md (run $peer_dir/run_peers.sh deep first)"
        add_missing "$peers_name" ">= 10" "$why"
        add_missing "$floor_name" "<= 3" "$why"
        return
    fi
    stackle_t=$(deep_median "$md" stackle_1cpu)
    [ -n "$stackle_t" ] || stackle_t=$(deep_median "$md" stackle)
    floor_t=$(deep_median "$md" io_floor)
    # The peers of the combine group: every row but the floor and the product's own; with
    # "OK", those whose check passed (they reject the cosmic rays, as stackle does).
    deep_peers() {
        awk -F'|' -v ok="$1" '{g = $2; p = $3; t = $5; c = $8; gsub(/ /, "", g); gsub(/ /, "", p)
            gsub(/ /, "", t); sub(/^ */, "", c)} g == "combine" && p != "io_floor" &&
            p !~ /^stackle/ && t ~ /^[0-9.]+$/ && (ok == "" || c ~ /^OK/) {print t, p}' "$md" |
            sort -g | head -n 1
    }
    read -r peer_t peer_name < <(deep_peers "")
    read -r robust_t robust_name < <(deep_peers OK)
    if [ -z "$stackle_t" ]; then
        add_missing "$peers_name" ">= 10" "no stackle row in $md"
        add_missing "$floor_name" "<= 3" "no stackle row in $md"
        return
    fi
    if [ -n "$peer_t" ]; then
        add_ratio_row "$peers_name" "$peer_t" s "$stackle_t" s ">=" 10
    else
        add_missing "$peers_name" ">= 10" "no peer timed in $md"
    fi
    if [ -n "$robust_t" ]; then
        add_ratio_row "  (fastest peer that rejects outliers)" "$robust_t" s "$stackle_t" s ">=" 10
    fi
    if [ -n "$floor_t" ]; then
        add_ratio_row "$floor_name" "$stackle_t" s "$floor_t" s "<=" 3
    else
        add_missing "$floor_name" "<= 3" "no io_floor row in $md"
    fi
    notes+=("deep stack: from $md ($(grep -m1 -o 'on [0-9-]* [0-9:]* UTC' "$md")), the
  fastest peer ${peer_name:-(none)}, the fastest that rejects outliers (its check OK)
  ${robust_name:-(none)}; stackle is its stackle_1cpu row (pinned as the peers are).")
}

# ---------------------------------------------------------------------------------------

stack_dir="" data_list="" stack_note="(no stack)"
measure_stackle
measure_plenor
measure_kernel
measure_errva
measure_depths
measure_deep

echo "Performance against the floors, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Co-addition stack: $stack_note. Wall times: best of $bench_runs runs."
echo
print_table
if [ "${#notes[@]}" -gt 0 ]; then
    echo
    for note in "${notes[@]}"; do
        { tr -s ' \n' ' ' <<<"$note"; echo; } | fold -s -w 96 | sed 's/ *$//; 1s/^/- /; 2,$s/^/  /'
    done
fi
exit 0
