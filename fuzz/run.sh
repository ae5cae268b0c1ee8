#!/bin/sh
# Runs fuzz targets built by build.sh for a bounded time, with their corpora
# and crash files under the build directory.
#   fuzz/run.sh NAME SECONDS [build-dir]   one target
#   fuzz/run.sh all SECONDS [build-dir]    every fuzz/*.cpp in turn, SECONDS each;
#                                          fails when any target failed
set -eu
n=$1
t=$2
root=$(cd "$(dirname "$0")/.." && pwd)
b=$(cd "${3:-$root/build-fuzz}" && pwd)
mkdir -p "$b/art"

run_one() {
    dict=""
    [ -f "$root/fuzz/$1.dict" ] && dict="-dict=$root/fuzz/$1.dict"
    mkdir -p "$b/corpus/$1" "$b/art/$1"
    "$b/fuzz_$1" "$b/corpus/$1" $dict -max_total_time="$t" -max_len=4096 -timeout=10 \
        -rss_limit_mb=2048 -close_fd_mask=3 -artifact_prefix="$b/art/$1/" -print_final_stats=1
}

if [ "$n" != all ]; then
    run_one "$n"
    exit
fi
failed=""
for f in "$root"/fuzz/*.cpp; do
    name=$(basename "$f" .cpp)
    if [ ! -x "$b/fuzz_$name" ]; then
        echo "=== $name: not built (run fuzz/build.sh $b)"
        failed="$failed $name"
        continue
    fi
    echo "=== $name"
    run_one "$name" >"$b/art/$name.log" 2>&1 || failed="$failed $name"
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|cov: [0-9]+' "$b/art/$name.log" |
        tail -3
done
if [ -n "$failed" ]; then
    echo "failed:$failed"
    exit 1
fi
