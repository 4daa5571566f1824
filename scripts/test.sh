#!/usr/bin/env bash
# Builds everything and runs every test: a release build with warnings as
# errors (every test, the release checks on the package, the manual pages
# and two hosts included), then an AddressSanitizer + UndefinedBehaviorSanitizer
# build (every test but the release checks), then the fuzz targets for a few
# seconds each (fuzz/run, from their seed corpora).
#
# Run as root, it installs missing Debian packages first; otherwise it names
# them and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-8}

packages=(cmake ninja-build g++ libgtest-dev clang libclang-rt-14-dev groff-base iproute2 lintian
          tshark libcap2-bin)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "missing Debian packages: ${missing[*]}" >&2
        echo "install them (as root: apt-get install ${missing[*]}) and run again" >&2
        exit 1
    fi
fi

status=0
for preset in default asan; do
    echo "=== build and test: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" || status=1
done

echo "=== fuzz targets (${fuzz_seconds} s each)"
fuzz/run "$fuzz_seconds" || status=1

exit $status
