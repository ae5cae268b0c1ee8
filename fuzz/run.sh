#!/bin/sh
# Runs fuzz targets built by build.sh for a bounded time, each over its
# corpus under the build directory and its seed inputs in fuzz/seeds/NAME
# (read only), with crash files under the build directory.
#   fuzz/run.sh NAME SECONDS [build-dir]   one target
#   fuzz/run.sh all SECONDS [build-dir]    every fuzz/*.cpp in turn, SECONDS each;
#                                          fails when any target failed, and
#                                          shows the end of its log
# The targets work in a scratch folder of their own, so every path given
# to them (corpus, seeds, a crash file to replay) must be absolute.
set -eu
n=$1
t=$2
root=$(cd "$(dirname "$0")/.." && pwd)
b=$(cd "${3:-$root/build-fuzz}" && pwd)
mkdir -p "$b/art"

run_one() {
    dict=""
    [ -f "$root/fuzz/$1.dict" ] && dict="-dict=$root/fuzz/$1.dict"
    seeds=""
    [ -d "$root/fuzz/seeds/$1" ] && seeds="$root/fuzz/seeds/$1"
    mkdir -p "$b/corpus/$1" "$b/art/$1"
    # shellcheck disable=SC2086  # an empty option vanishes
    "$b/fuzz_$1" "$b/corpus/$1" $seeds $dict -max_total_time="$t" -max_len=4096 -timeout=10 \
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
    if ! run_one "$name" >"$b/art/$name.log" 2>&1; then
        failed="$failed $name"
        tail -40 "$b/art/$name.log"
    fi
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|cov: [0-9]+' "$b/art/$name.log" |
        tail -3
done
if [ -n "$failed" ]; then
    echo "failed:$failed"
    exit 1
fi
