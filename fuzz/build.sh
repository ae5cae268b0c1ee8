#!/bin/sh
# Builds the fuzz targets with clang's libFuzzer, ASan and UBSan against the
# project's libraries. Not part of the normal build: run it by hand.
#   fuzz/build.sh [build-dir]     (default: build-fuzz); then fuzz/run.sh
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-fuzz}
san="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link $san -Wno-error" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link $san -Wno-error" >/dev/null
cmake --build "$out" -j3 --target ostrel_cli >/dev/null
libs=$(ls "$out"/src/libostrel_*.a)
for f in "$root"/fuzz/*.cpp; do
  name=$(basename "$f" .cpp)
  echo "fuzz target $name"
  clang++ -std=c++20 -g -O1 -fsanitize=fuzzer $san -I"$root/src" -I"$out/src" "$f" \
    -Wl,--start-group $libs -Wl,--end-group $(pkg-config --libs libtls libcrypto) -lpthread \
    -o "$out/fuzz_$name"
done
