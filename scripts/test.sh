#!/usr/bin/env bash
# Installs what a fresh machine lacks, builds, and runs every test through CTest.
# By default it tests what users get: it builds the distribution (scripts/dist)
# and runs the tests in its build (build-dist): the JVM tests against the
# library jar that dist/ holds, on this machine and in Debian's arm64 and armhf
# JVMs under qemu-user (and, with -DTEMBRIX_WINDOWS=ON, in a Windows JVM under
# Wine), the native tests for aarch64 and armhf under qemu-user, and the checks
# of the natives. With --dev it builds and tests this machine's
# own library in build/ instead, which is quicker and needs no zig. Other
# arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--dev" ]; then
    shift
    build=build
    scripts/setup.sh
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
else
    build="${TEMBRIX_DIST_BUILD:-build-dist}"
    TEMBRIX_DIST_BUILD="$build" scripts/dist
    # Debian's JVMs for arm64 and armhf, which the emulated tests run under
    # qemu-user: fetched once into tools/jvm, before tests in parallel use them.
    for arch in aarch64 armhf; do
        scripts/emulated-jvm "$arch" >/dev/null
    done
    # With the Windows library, the Windows JRE and its Wine prefix likewise.
    if grep -qx 'TEMBRIX_WINDOWS:BOOL=ON' "$build/CMakeCache.txt"; then
        scripts/windows-jvm >/dev/null
    fi
fi
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
