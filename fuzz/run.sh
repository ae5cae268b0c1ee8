#!/bin/sh
# Runs one fuzz target built by build.sh for a bounded time, with its corpus
# and crash files under the build directory.
#   fuzz/run.sh name seconds [build-dir]
set -eu
n=$1
t=$2
root=$(cd "$(dirname "$0")/.." && pwd)
b=$(cd "${3:-$root/build-fuzz}" && pwd)
dict=""
[ -f "$root/fuzz/$n.dict" ] && dict="-dict=$root/fuzz/$n.dict"
mkdir -p "$b/corpus/$n" "$b/art/$n"
exec "$b/fuzz_$n" "$b/corpus/$n" $dict -max_total_time="$t" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -close_fd_mask=3 -artifact_prefix="$b/art/$n/" -print_final_stats=1
