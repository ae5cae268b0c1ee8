#!/bin/sh
# Builds the fuzz targets with clang's libFuzzer, ASan and UBSan against the
# project's libraries; test.sh builds them too and runs each over its seeds.
#   fuzz/build.sh [build-dir]     (default: build-fuzz); then fuzz/run.sh
# OSTREL_JOBS sets the parallelism (default 3). A target's source may name
# linker options of its own on a line "// fuzz-link: OPTIONS". Warnings are
# errors, as in every other build; the script fails when any target does not
# build.
set -eu
san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

if [ "${1:-}" = --target ]; then
  # One target, run by the loop below with root, out and libs set.
  name=$(basename "$2" .cpp)
  link=$(sed -n 's|^// fuzz-link: ||p' "$2")
  echo "fuzz target $name"
  # shellcheck disable=SC2046,SC2086  # the option lists split into words
  exec clang++ -std=c++20 -g -O1 -Wall -Wextra -Wpedantic -Werror -fsanitize=fuzzer $san \
    -I"$root/src" -I"$out/src" "$2" -Wl,--start-group $libs -Wl,--end-group \
    $(pkg-config --libs libtls libcrypto libidn2) -lpthread $link -o "$out/fuzz_$name"
fi

root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build-fuzz}" && cd "${1:-$root/build-fuzz}" && pwd)
jobs=${OSTREL_JOBS:-3}
CC=clang CXX=clang++ cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF -DOSTREL_WERROR=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $san" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link $san" >/dev/null
if ! cmake --build "$out" -j "$jobs" --target ostrel_cli >"$out/libs.log" 2>&1; then
  grep -v '^\[[0-9]*/[0-9]*\] ' "$out/libs.log"
  exit 1
fi
libs=$(echo "$out"/src/libostrel_*.a)
export root out libs
printf "%s\n" "$root"/fuzz/*.cpp | xargs -n 1 -P "$jobs" sh "$0" --target
