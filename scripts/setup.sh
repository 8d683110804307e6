#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing tembrix:
# the JUnit 5 console launcher and picocli come from Debian's packages.
# With --dist, also what scripts/dist needs: npm (for the pinned zig in
# tools/zig), LLVM's Mach-O linker and tools, qemu-user and the aarch64 and
# armhf C libraries and unwinders (to run those tests), GoogleTest's sources,
# Maven with its install plugin (to check that the artifacts install offline),
# and Wine (wine64, for the tests in a Windows JVM: scripts/windows-jvm).
set -euo pipefail

need=()
[ -f /usr/share/java/junit-platform-console-standalone.jar ] || need+=(junit5)
[ -f /usr/share/java/picocli.jar ] || need+=(libpicocli-java)
# clang's sanitizer and libFuzzer runtimes, for .ci/run's hardening builds.
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)

if [ "${1:-}" = "--dist" ]; then
    command -v npm >/dev/null || need+=(npm)
    command -v ld64.lld-14 >/dev/null || need+=(lld-14)
    command -v llvm-lipo-14 >/dev/null && command -v llvm-otool-14 >/dev/null || need+=(llvm-14)
    command -v qemu-aarch64 >/dev/null || need+=(qemu-user)
    [ -f /usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 ] || need+=(libc6-arm64-cross)
    [ -f /usr/arm-linux-gnueabihf/lib/ld-linux-armhf.so.3 ] || need+=(libc6-armhf-cross)
    # The aarch64 and armhf test programs load libgcc_s at run time.
    [ -f /usr/aarch64-linux-gnu/lib/libgcc_s.so.1 ] || need+=(libgcc-s1-arm64-cross)
    [ -f /usr/arm-linux-gnueabihf/lib/libgcc_s.so.1 ] || need+=(libgcc-s1-armhf-cross)
    [ -f /usr/src/googletest/googletest/src/gtest-all.cc ] || need+=(googletest)
    command -v mvn >/dev/null || need+=(maven)
    [ -d /usr/share/maven-repo/org/apache/maven/plugins/maven-install-plugin ] || need+=(libmaven-install-plugin-java)
    [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
fi

if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup: installing ${need[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
