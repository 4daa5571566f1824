#!/usr/bin/env bash
# Builds everything and runs every test twice: a normal build with warnings
# as errors, then an AddressSanitizer + UndefinedBehaviorSanitizer build.
# Then builds the fuzz targets with clang and runs each for a few seconds.
#
# Run as root, it installs missing Debian packages first; otherwise it names
# them and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-10}

packages=(cmake ninja-build g++ libgtest-dev clang libclang-rt-14-dev groff-base iproute2)
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
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for target in build-fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    corpus=$(mktemp -d)
    if ! "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 "$corpus" \
            >"$corpus.log" 2>&1; then
        echo "$(basename "$target"): FAILED" >&2
        tail -n 40 "$corpus.log" >&2
        status=1
    else
        echo "$(basename "$target"): $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$corpus.log" | grep -o '[0-9]*$') runs, no findings"
    fi
    rm -rf "$corpus" "$corpus.log"
done

exit $status
