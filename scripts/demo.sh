#!/usr/bin/env bash
# Builds varneld and varnel, starts varneld on a free loopback port in a
# temporary directory, sends a file to it with `varnel -f` and shows that it
# arrived intact. Stops the daemon and removes everything it made; exits
# nonzero when any step fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# Debian packages the build needs.
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
[ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "demo: installing ${missing[*]}"
        apt-get update
        DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
    else
        echo "demo: missing Debian packages: ${missing[*]}" >&2
        echo "demo: install them first: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
fi

cmake --preset default
cmake --build --preset default
bin="$root/build/bin"

work="$(mktemp -d "${TMPDIR:-/tmp}/varnel-demo.XXXXXX")"
daemon_pid=""
cleanup() {
    if [ -n "$daemon_pid" ]; then
        # The daemon leads its own process group, with its service children.
        kill -TERM -- "-$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The daemon's directory: its service children run as the account that
# .spxrunid names, here the current user, and store files there.
mkdir -p "$work/server" "$work/client"
chmod 0777 "$work" "$work/server" "$work/client"
id -un > "$work/server/.spxrunid"

# Start varneld on a loopback port nobody uses; a port taken in the
# meantime makes it exit at once, and another is tried.
for _ in 1 2 3 4 5 6 7 8 9 10; do
    port=$(( RANDOM % 30000 + 20000 ))
    socket=$(printf '%04x' "$port")
    (cd "$work/server" && exec setsid "$bin/varneld" -s "$socket" \
        > "$work/varneld.out" 2> "$work/varneld.err") &
    daemon_pid=$!
    for _ in $(seq 100); do
        grep -q 'spxfd = ' "$work/varneld.err" 2>/dev/null && break
        kill -0 "$daemon_pid" 2>/dev/null || break
        sleep 0.05
    done
    if grep -q 'spxfd = ' "$work/varneld.err" 2>/dev/null; then
        break
    fi
    wait "$daemon_pid" 2>/dev/null || true
    daemon_pid=""
done
if [ -z "$daemon_pid" ]; then
    echo "demo: varneld did not start" >&2
    cat "$work/varneld.out" "$work/varneld.err" >&2 || true
    exit 1
fi
echo "demo: varneld (pid $daemon_pid) serves socket ${socket} (TCP port $port on 127.0.0.1)"

# The host address file names the daemon as "demo": net 0, node 0 (this
# host), socket = its port.
cd "$work/client"
printf 'demo 00000000 00000000 00000000 %s\n' "$socket" > yellowpages
head -c 1048576 /dev/urandom > payload.bin

echo "demo: varnel -v -r demo -j payload.bin -f received.bin"
status=0
"$bin/varnel" -v -r demo -j payload.bin -f received.bin > varnel.out 2> varnel.err || status=$?
# One "write:" line per chunk: show the first two and count the rest.
awk '/^write: / { if (++n <= 2) print; next }
     n > 2 && !told { print "  ... (" n - 2 " more write lines)"; told = 1 }
     { print }' varnel.out
cat varnel.err >&2
if [ "$status" -ne 0 ]; then
    echo "demo: varnel failed with exit status $status" >&2
    exit 1
fi

echo "demo: checksums of the file sent and the file stored"
sha256sum payload.bin "$work/server/received.bin"
sent="$(sha256sum < payload.bin)"
stored="$(sha256sum < "$work/server/received.bin")"
if [ "$sent" != "$stored" ]; then
    echo "demo: the stored file differs from the file sent" >&2
    exit 1
fi
echo "demo: the file arrived intact"
