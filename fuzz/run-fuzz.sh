#!/bin/sh
# Runs a libFuzzer target for a while from its seed corpus.
#   fuzz/run-fuzz.sh FUZZER [SECONDS [SEEDS]]     (default 60 s, seeds from fuzz/corpus/<name>
#                                                 for FUZZER <name>_fuzz)
# New inputs and any crash go to a scratch folder (printed at the end); the seed corpus stays as
# it is. Exit status: the fuzzer's (0 when it found nothing).
set -eu
fuzzer=${1:?usage: run-fuzz.sh FUZZER [SECONDS [SEEDS]]}
seconds=${2:-60}
name=$(basename "$fuzzer")
seeds=${3:-$(dirname "$0")/corpus/${name%_fuzz}}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-run-XXXXXX")
mkdir -p "$scratch/corpus" "$scratch/artifacts"
status=0
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 -timeout=25 -print_final_stats=1 \
  -artifact_prefix="$scratch/artifacts/" "$scratch/corpus" "$seeds" || status=$?
if [ "$status" -ne 0 ]; then
  echo "run-fuzz: the fuzzer stopped with status $status; inputs kept in $scratch/artifacts" >&2
else
  rm -rf "$scratch"
fi
exit "$status"
