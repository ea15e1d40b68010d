#!/usr/bin/env bash
# Runs the demonstration job with the installed programs: generates the sample data in the
# given folder and runs the programs on it, then says where the products are.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/demo}"
bin="$root/downlink/bin"
rm -rf "$out"
mkdir -p "$out"
"$bin/mksample" -o "$out"
echo "Sample data written to $out"
