#!/usr/bin/env bash
# Tells snakemake the state of a Slurm job: prints "running", "success" or "failed".
# Asks the controller first (it keeps finished jobs for MinJobAge, 300 s by default), then
# the accounting database when there is one.  A job neither knows is taken as running.
id="${1%%;*}"
state=$(scontrol show job -o "$id" 2>/dev/null | grep -o 'JobState=[A-Z_]*' | cut -d= -f2)
if [ -z "$state" ]; then
  state=$(sacct -j "$id" -X -n -o State 2>/dev/null | awk 'NR == 1 {print $1}')
fi
case "$state" in
  COMPLETED) echo success ;;
  "" | PENDING | CONFIGURING | RUNNING | COMPLETING | SUSPENDED | REQUEUED* | RESIZING | STAGE_OUT | SIGNALING | RESV_DEL_HOLD)
    echo running ;;
  *) echo failed ;;
esac
