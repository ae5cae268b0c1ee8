#!/usr/bin/env bash
# Builds everything and runs every test: unit tests, the unit tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the end-to-end tests.
# As root it first installs the Debian packages the build and the tests need.
set -euo pipefail
cd "$(dirname "$0")"

./tools/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON -DOSTREL_BENCH=OFF >/dev/null
cmake --build build-asan -j "$jobs"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
(cd build-asan && ctest --output-on-failure -j "$jobs" -L unit) || status=1
(cd build && ctest --output-on-failure -j "$jobs") || status=1
exit $status
