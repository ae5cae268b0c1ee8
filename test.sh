#!/usr/bin/env bash
# Builds and tests every configuration, runs every check, and exits non-zero
# if any of them failed (after running all of them). As root it first
# installs the Debian packages the build and the tests need.
#
#   build/          GCC RelWithDebInfo   unit + end-to-end tests, hardening
#   build-release/  GCC Release          unit + end-to-end tests, hardening
#   build-clang/    clang Release        unit + end-to-end tests, hardening
#   build-asan/     GCC Debug, ASan and UBSan, leak detection on
#                                        unit + end-to-end tests
#   build-install/  the program alone, without GoogleTest and Google
#                   Benchmark, installed into a temporary prefix and run
#   build-fuzz/     clang with libFuzzer, ASan and UBSan: every fuzz target,
#                   each run over its seed inputs for a few seconds
# and the format check and the install-deps check. Every build turns
# warnings into errors. OSTREL_JOBS sets the parallelism (default: nproc).
set -uo pipefail
cd "$(dirname "$0")"
root=$PWD

./tools/install-deps.sh || exit 1

jobs=${OSTREL_JOBS:-$(nproc)}

passed=()
failed=()
note() { printf '\n=== %s\n' "$*"; }
# step NAME COMMAND...: runs one check and records its result.
step() {
    local name=$1
    shift
    note "$name"
    if "$@"; then
        passed+=("$name")
    else
        failed+=("$name")
        echo "FAILED: $name"
    fi
}

# configure_and_build DIR CMAKE-ARGS...: the build log is shown only when the
# build fails, without ninja's progress lines. Options are all given, so that
# a build folder configured by hand before cannot drop the tests.
configure_and_build() {
    local dir=$1
    shift
    local log=$dir/build.log
    mkdir -p "$dir" || return 1
    if cmake -S . -B "$dir" -G Ninja -DOSTREL_WERROR=ON "$@" >"$log" 2>&1 &&
        cmake --build "$dir" -j "$jobs" >>"$log" 2>&1; then
        return 0
    fi
    grep -v '^\[[0-9]*/[0-9]*\] ' "$log"
    return 1
}

run_tests() {
    (cd "$1" && ctest --output-on-failure --no-tests=error -j "$jobs")
}

# A program built with the release hardening: position-independent, GOT
# read-only after start-up, stack canaries, fortified libc calls.
check_hardened() {
    local f=$1 ok=0 header segments dynamic symbols
    # Read whole first: grep -q closing a pipe early would fail it under pipefail.
    header=$(readelf -h "$f") && segments=$(readelf -lW "$f") && dynamic=$(readelf -d "$f") &&
        symbols=$(nm -D "$f") || return 1
    grep -q 'Type:[[:space:]]*DYN' <<<"$header" || { echo "$f: not PIE"; ok=1; }
    grep -q GNU_RELRO <<<"$segments" || { echo "$f: no RELRO segment"; ok=1; }
    grep -q 'FLAGS_1.*NOW' <<<"$dynamic" || { echo "$f: not bound now (partial RELRO)"; ok=1; }
    grep -q ' __stack_chk_fail' <<<"$symbols" || { echo "$f: no stack protector"; ok=1; }
    grep -q ' __[a-z]*_chk@' <<<"$symbols" || { echo "$f: no fortified calls"; ok=1; }
    [ $ok = 0 ] && echo "$f: PIE, full RELRO, stack protector, fortified"
    return $ok
}

check_format() {
    find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.hpp' \) -print0 |
        xargs -0 clang-format --dry-run -Werror
}

# The program installed from a build without the test libraries is hardened
# and runs a File mode job like the README's first command.
check_install() {
    local prefix work
    prefix=$(mktemp -d) && work=$(mktemp -d) || return 1
    local ok=1
    if cmake --install build-install --prefix "$prefix" && check_hardened "$prefix/bin/ostrel" &&
        (cd "$work" && "$prefix/bin/ostrel" -nodefault -from:me@example.org \
            -to:you@example.org -subject:Hello -body:"Hello\nfrom Ostrel" -file:hello.eml) &&
        grep -q '^Subject: Hello' "$work/hello.eml"; then
        ok=0
    fi
    rm -rf "$prefix" "$work"
    return $ok
}

# install-deps run by someone other than root names what is missing and how
# to install it, and fails; with nothing missing it succeeds.
check_install_deps() {
    local t ok=0
    t=$(mktemp -d) || return 1
    mkdir -p "$t/tools/packages"
    cp tools/install-deps.sh "$t/tools/"
    printf 'coreutils\nostrel-absent-package # missing\n' >"$t/tools/packages/a.txt"
    chmod -R a+rX "$t"
    local as=()
    [ "$(id -u)" = 0 ] && as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    if (cd "$t" && "${as[@]}" ./tools/install-deps.sh) 2>"$t/err"; then
        echo "install-deps succeeded with a package missing"
        ok=1
    fi
    grep -q 'ostrel-absent-package' "$t/err" && grep -q 'apt-get install' "$t/err" ||
        { echo "install-deps did not name the package and the command:"; cat "$t/err"; ok=1; }
    printf 'coreutils\n' >"$t/tools/packages/a.txt"
    (cd "$t" && "${as[@]}" ./tools/install-deps.sh) || { echo "install-deps failed with nothing missing"; ok=1; }
    rm -rf "$t"
    return $ok
}

# The fuzz targets still build, and none of them fails on its seed inputs
# or on what a few seconds of fuzzing make of them. The build log is shown
# only when the build fails.
check_fuzz() {
    local dir=$root/build-fuzz
    mkdir -p "$dir" || return 1
    if ! OSTREL_JOBS=$jobs fuzz/build.sh "$dir" >"$dir/build.log" 2>&1; then
        cat "$dir/build.log"
        return 1
    fi
    fuzz/run.sh all 3 "$dir"
}

# build_and_test NAME DIR CMAKE-ARGS...
build_and_test() {
    local name=$1 dir=$2
    shift 2
    note "build $name ($dir)"
    if configure_and_build "$dir" "$@"; then
        passed+=("build $name")
        step "tests $name" run_tests "$dir"
    else
        failed+=("build $name")
        echo "FAILED: build $name"
    fi
}

start=$SECONDS
step "format" check_format
step "install-deps" check_install_deps
with_tests=(-DOSTREL_TESTS=ON -DOSTREL_SANITIZE=OFF -DOSTREL_BENCH=ON)
build_and_test "gcc RelWithDebInfo" build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${with_tests[@]}"
[ -x build/src/ostrel ] && step "hardening gcc RelWithDebInfo" check_hardened build/src/ostrel
build_and_test "gcc Release" build-release -DCMAKE_BUILD_TYPE=Release "${with_tests[@]}"
[ -x build-release/src/ostrel ] && step "hardening gcc Release" check_hardened build-release/src/ostrel
build_and_test "clang Release" build-clang -DCMAKE_BUILD_TYPE=Release "${with_tests[@]}" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
[ -x build-clang/src/ostrel ] && step "hardening clang Release" check_hardened build-clang/src/ostrel
# Sanitizer options for the sanitizer build only: leaks reported, every report fatal.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build_and_test "gcc ASan+UBSan" build-asan -DCMAKE_BUILD_TYPE=Debug -DOSTREL_TESTS=ON \
    -DOSTREL_SANITIZE=ON -DOSTREL_BENCH=OFF
step "build program alone" configure_and_build build-install -DCMAKE_BUILD_TYPE=Release \
    -DOSTREL_TESTS=OFF -DOSTREL_SANITIZE=OFF -DOSTREL_BENCH=OFF \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
[ -x build-install/src/ostrel ] && step "install" check_install
step "fuzz targets" check_fuzz

note "summary ($((SECONDS - start)) s)"
for s in "${passed[@]}"; do echo "passed: $s"; done
for s in "${failed[@]}"; do echo "FAILED: $s"; done
echo "checks: ${#passed[@]} passed, ${#failed[@]} failed"
[ ${#failed[@]} = 0 ]
