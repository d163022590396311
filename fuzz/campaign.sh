#!/usr/bin/env bash
# One libFuzzer campaign: new inputs go to a scratch folder, never into the
# committed seed corpus. A finding fails the run and leaves its reproducer
# under the scratch folder, whose path is printed.
set -euo pipefail
fuzzer=$1 corpus=$2 seconds=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/npsigil-fuzz-XXXXXX")
echo "scratch: $scratch"
cd "$scratch"
mkdir new
export HOME="$scratch" XDG_DATA_HOME="$scratch/xdg" NPSIGIL_MACHINE_ROOT="$scratch/machine"
if "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
     -artifact_prefix="$scratch/" new "$corpus"; then
  rm -rf "$scratch"
else
  echo "finding kept in $scratch" >&2
  exit 1
fi
