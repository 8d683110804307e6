#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing tembrix:
# the JUnit 5 console launcher and picocli come from Debian's packages.
set -euo pipefail

need=()
[ -f /usr/share/java/junit-platform-console-standalone.jar ] || need+=(junit5)
[ -f /usr/share/java/picocli.jar ] || need+=(libpicocli-java)
# clang's sanitizer and libFuzzer runtimes, for .ci/run's hardening builds.
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)

if [ ${#need[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup: installing ${need[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
