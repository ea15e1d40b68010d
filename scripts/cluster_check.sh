#!/usr/bin/env bash
# Checks the workflow on a Slurm cluster of one node started on this machine.  As root on
# Debian: installs what is missing (slurm-wlm, munge, snakemake; builds the programs when
# they are not installed), starts a private munged, slurmctld and slurmd on localhost (2
# CPUs, memory of the machine, configuration and state in a temporary folder, free ports),
# generates a night of eight DCEs in two stacks, runs the workflow through
# workflow/profiles/slurm and on the machine itself (--cores 2), and checks that the Slurm run
# submitted one job per program run with memory from its inputs, that its products equal
# those of the local run and of the programs run by hand, and that a second Slurm run does
# nothing.  Everything it started is stopped at the end, on failure too.  Prints the checks,
# the wall times of the two runs, and last one line "N passed, M failed".
#
# CLUSTER_CHECK_TIMEOUT bounds each workflow run (seconds, default 600); the cluster start
# is bounded by 60 s.  DOWNLINK_BIN_DIR selects another installed tree than downlink/bin.
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
HERE="$ROOT/workflow/test"
BIN="${DOWNLINK_BIN_DIR:-$ROOT/downlink/bin}"
LIMIT="${CLUSTER_CHECK_TIMEOUT:-600}"
passed=0
failed=0

check() { # check DESCRIPTION COMMAND...
  local what="$1"
  shift
  if "$@"; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}
summary() { echo "$passed passed, $failed failed"; }

if [ "$(id -u)" -ne 0 ]; then
  echo "cluster_check: must run as root (it installs packages and starts daemons)" >&2
  failed=1
  summary
  exit 1
fi

install_missing() {
  local p missing=()
  for p in slurm-wlm munge snakemake; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
build_if_missing() {
  [ -x "$BIN/plenor" ] && [ -x "$BIN/stackle" ] && [ -x "$BIN/mksample" ] && return 0
  bash "$ROOT/scripts/deps.sh" &&
    cmake -S "$ROOT" -B "$ROOT/build" -DBUILD_TESTING=OFF -DDOWNLINK_BENCHMARKS=OFF >/dev/null &&
    cmake --build "$ROOT/build" -j "$(nproc)" >/dev/null && cmake --install "$ROOT/build" >/dev/null
}
if ! install_missing || ! build_if_missing; then
  echo "FAILED: installing the packages and programs"
  failed=1
  summary
  exit 1
fi
BIN="$(cd "$BIN" && pwd)"
# shellcheck source=../workflow/test/common.sh
source "$HERE/common.sh"

tmp="$(mktemp -d /tmp/cluster_check.XXXXXX)"
chmod 755 "$tmp"
pids=()
run=""
stop_all() {
  if [ -n "$run" ]; then # a workflow run: it cancels its Slurm jobs when told to stop
    kill -TERM -- "-$run" 2>/dev/null
    for _ in $(seq 150); do kill -0 "$run" 2>/dev/null || break; sleep 0.2; done
    kill -KILL -- "-$run" 2>/dev/null
    run=""
  fi
  if [ -n "${SLURM_CONF:-}" ] && [ -e "$SLURM_CONF" ]; then
    timeout 20 scancel --full --quiet --partition=check 2>/dev/null
    for _ in $(seq 20); do
      [ -z "$(timeout 5 squeue -h -o %i 2>/dev/null)" ] && break
      sleep 1
    done
  fi
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  for i in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$i" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$i" 2>/dev/null
  done
  rm -rf "$tmp"
}
trap 'stop_all; summary' EXIT
trap 'echo "FAILED: interrupted"; failed=$((failed + 1)); exit 130' INT TERM

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Private munge daemon: its own key and socket, so an installed munged is neither needed
# nor touched.
start_munge() {
  mkdir -p "$tmp/munge" && chmod 755 "$tmp/munge"
  dd if=/dev/urandom of="$tmp/munge/munge.key" bs=1024 count=1 status=none
  chmod 400 "$tmp/munge/munge.key"
  munged -F --force --socket="$tmp/munge/munge.sock" --key-file="$tmp/munge/munge.key" \
    --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/munge/munged.log" \
    --seed-file="$tmp/munge/munged.seed" >"$tmp/munge/munged.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    munge -n -S "$tmp/munge/munge.sock" 2>/dev/null | unmunge -S "$tmp/munge/munge.sock" >/dev/null 2>&1 &&
      return 0
    sleep 0.2
  done
  return 1
}

write_slurm_conf() {
  local host mem
  host="$(hostname -s)"
  mem=$(awk '/^MemTotal:/ {print int($2 / 1024 * 0.9)}' /proc/meminfo)
  mkdir -p "$tmp/state" "$tmp/spool"
  cat >"$tmp/slurm.conf" <<EOF
ClusterName=dlcheck
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
AuthType=auth/munge
AuthInfo=socket=$tmp/munge/munge.sock
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU_Memory
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=$host NodeAddr=127.0.0.1 CPUs=2 RealMemory=$mem State=UNKNOWN
PartitionName=check Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
  export SLURM_CONF="$tmp/slurm.conf"
  NODE="$host"
}

start_slurm() {
  slurmctld -D -i -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
  pids+=($!)
  slurmd -D -f "$SLURM_CONF" -N "$NODE" >"$tmp/slurmd.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 120); do
    [ "$(timeout 5 sinfo -h -n "$NODE" -o %T 2>/dev/null)" = idle ] && return 0
    sleep 0.5
  done
  tail -n 5 "$tmp/slurmctld.log" "$tmp/slurmd.log" 2>/dev/null
  return 1
}

# Runs the workflow on the night in $work into the output folder $1 (further arguments go
# to snakemake); prints the wall time.
work="$tmp/night"
flow() {
  local out="$1" start status
  shift
  start=$(date +%s%N)
  # In the background and in a session of its own, so that a signal to this script stops it
  # at once, with everything it started (see stop_all).
  setsid timeout "$LIMIT" snakemake -s "$ROOT/workflow/Snakefile" --directory "$work" \
    --configfile "$work/config.yaml" --config out_dir="$out" bin_dir="$BIN" "$@" \
    >"$work/$out.log" 2>&1 &
  run=$!
  wait "$run"
  status=$?
  run=""
  echo "wall time of the $out run: $(seconds_since "$start") s"
  return $status
}

# One Slurm job per program run (eight plenor, two stackle), all completed, each asking for
# more memory than its rule's base of 200 MB, that is for memory counted from its inputs.
jobs_as_expected() {
  scontrol show job -o >"$tmp/jobs.txt" 2>/dev/null || return 1
  [ "$(grep -c 'JobName=dl-plenor ' "$tmp/jobs.txt")" = 8 ] &&
    [ "$(grep -c 'JobName=dl-stackle ' "$tmp/jobs.txt")" = 2 ] &&
    [ "$(grep -c 'JobState=COMPLETED' "$tmp/jobs.txt")" = 10 ] &&
    grep -oE 'MinMemoryNode=[0-9]+' "$tmp/jobs.txt" | cut -d= -f2 |
    awk '$1 > 200 {n++} END {exit n != 10}'
}

second_run_does_nothing() {
  touch "$tmp/stamp"
  sleep 1
  flow slurm --profile "$ROOT/workflow/profiles/slurm" >/dev/null &&
    grep -q 'Nothing to be done' "$work/slurm.log" && [ -z "$(find "$work/slurm" -newer "$tmp/stamp")" ]
}

check "private munged started" start_munge
write_slurm_conf
if check "one-node Slurm cluster started (2 CPUs)" start_slurm; then
  mkdir -p "$work"
  make_night "$work" 512 512
  run_by_hand "$work"
  check "the workflow runs through the Slurm profile" \
    flow slurm --profile "$ROOT/workflow/profiles/slurm"
  check "one Slurm job per program run, memory from the input sizes" jobs_as_expected
  check "the workflow runs locally (--cores 2)" flow local --cores 2
  check "Slurm products equal the programs run by hand" same_products "$work/hand" "$work/slurm" "${ALL[@]}"
  check "Slurm products equal the local run's" same_products "$work/local" "$work/slurm" "${ALL[@]}"
  check "a second Slurm run does nothing" second_run_does_nothing
  break_dce2 "$work"
  check "a Slurm run with a broken DCE fails" \
    fails flow broken --profile "$ROOT/workflow/profiles/slurm" --keep-going
  check "only its job failed, its stack did not run, the rest is as by hand" \
    only_broken_jobs_failed "$work" broken "$work/broken.log"
fi
[ "$failed" -eq 0 ] # the exit trap stops everything and prints the summary
