#!/usr/bin/env bash
# Fuzzes every harness of downlink/fuzz for a bounded time under AddressSanitizer and
# UndefinedBehaviorSanitizer, one harness at a time, and merges the new interesting inputs
# into the saved corpora (downlink/fuzz/corpus/<harness>/).
#
#   scripts/fuzz.sh [seconds per harness, default 60] [harness ...]
#
# The whole project is configured with clang in its own build folder (DOWNLINK_FUZZ_BUILD,
# default build-fuzz) with -fsanitize=fuzzer-no-link,address,undefined; the harnesses link
# the fuzzing engine.  Crashing inputs are kept in <build folder>/artifacts/<harness>/; the
# logs in <build folder>/logs/.  Ends with status 1 when any harness found something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${DOWNLINK_FUZZ_BUILD:-build-fuzz}
all=(tokenize clip_polygon stackle_namelist stackle_lists stackle_fmask stackle_fits
     plenor_namelist plenor_args plenor_fits)
harnesses=("${all[@]}")
[ $# -eq 0 ] || harnesses=("$@")

san="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DDOWNLINK_FUZZ=ON -DBUILD_TESTING=OFF -DDOWNLINK_BENCHMARKS=OFF -DDOWNLINK_WERROR=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_FLAGS="$san" -DCMAKE_CXX_FLAGS="$san" \
      -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
      -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
# Warnings are the gcc builds' business (they use -Werror); here only the harnesses asked
# for are built, so that a part of the tree that does not build blocks only its own.
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j 2 --target "${targets[@]}"

# Headers may announce images far larger than memory: a failed allocation is the refusal
# the readers must handle, so huge requests return null instead of being reported, and
# the engine's own single-allocation limit is lifted (the 2 GB resident limit stays).
export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Text inputs stay short; FITS inputs take their length from the seeds.
max_len_of() {
    case $1 in
    stackle_fits | stackle_fmask | plenor_fits) echo 0 ;;
    *) echo 2048 ;;
    esac
}

# Dictionaries of the words the inputs are made of.
dict_of() {
    case $1 in
    stackle_fits | stackle_fmask | plenor_fits) echo "downlink/fuzz/fits.dict" ;;
    stackle_namelist | stackle_lists | plenor_namelist) echo "downlink/fuzz/namelist.dict" ;;
    esac
}

mkdir -p "$build/logs"
status=0
printf '%-18s %8s %12s %8s %s\n' harness seconds executions corpus result >"$build/logs/summary.txt"
for h in "${harnesses[@]}"; do
    bin="$build/downlink/fuzz/fuzz_$h"
    corpus="downlink/fuzz/corpus/$h"
    new="$build/new/$h"
    art="$build/artifacts/$h/"
    log="$build/logs/$h.log"
    mkdir -p "$corpus" "$new" "$art"
    rm -f "$new"/*
    echo "=== $h: fuzzing for $seconds s ==="
    result=clean
    dict=$(dict_of "$h")
    # One process, one input at a time: the machine stays usable for others.
    if ! "$bin" -max_total_time="$seconds" -close_fd_mask=3 \
        -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1048576 \
        -max_len="$(max_len_of "$h")" ${dict:+-dict="$dict"} -artifact_prefix="$art" -print_final_stats=1 \
        "$new" "$corpus" >"$log" 2>&1; then
        result="FINDING (see $art and $log)"
        status=1
    fi
    runs=$(grep -Eo '^stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || true)
    [ -n "$runs" ] || runs=$(grep -Eo '^#[0-9]+' "$log" | tail -1 | tr -d '#' || true)
    # Keep only the inputs that add coverage to the saved corpus.
    "$bin" -merge=1 -close_fd_mask=3 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1048576 \
        "$corpus" "$new" >>"$log" 2>&1 || true
    count=$(find "$corpus" -type f | wc -l)
    printf '%-18s %8s %12s %8s %s\n' "$h" "$seconds" "${runs:-?}" "$count" "$result" \
        | tee -a "$build/logs/summary.txt"
done
echo
cat "$build/logs/summary.txt"
exit $status
