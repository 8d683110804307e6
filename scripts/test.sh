#!/usr/bin/env bash
# Installs what a fresh machine lacks, builds, and runs every test through CTest.
# With --dist, first builds the distribution (scripts/dist) and runs the tests in
# its build (build-dist): the JVM tests against the library jar that dist/
# holds, the native tests for aarch64 under qemu-user, and the checks of the
# natives. Other arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--dist" ]; then
    shift
    build="${TEMBRIX_DIST_BUILD:-build-dist}"
    TEMBRIX_DIST_BUILD="$build" scripts/dist
else
    build=build
    scripts/setup.sh
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
