# shellcheck shell=bash
# bench/common.sh: what the bench scripts share, sourced by each from its own
# directory. The machine and its load average; a work directory with one
# varneld serving from it on a free port of 127.0.0.1, and stopping it as a
# process group; free ports and waiting for a listener; a reference tool
# installed from Debian's packages when missing; the machine's busy CPU;
# cgroups counting the CPU of a process and its descendants (root only); an
# IPX stack in a network namespace.
#
# The sourcing script sets bindir (where varneld is) and keep (1 to keep the
# work directory); these helpers set work, port, daemon_pid, stack_pids and
# cgroup.

die() { echo "$0: $*" >&2; exit 2; }

netns=() # the prefix that enters the daemon's network namespace; none unless set

# ---- the machine -------------------------------------------------------------

# The machine's lines at start: processors, model, kernel, load average (and
# a warning when other work is visibly running).
machine_before() {
    local load
    echo "machine: $(nproc) processors, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(uname -sr)"
    load=$(cut -d' ' -f1-3 /proc/loadavg)
    echo "load average before: $load"
    awk -v l="${load%% *}" 'BEGIN { exit !(l > 1.5) }' &&
        echo "  (above 1.5: other work is running; these figures may be disturbed)"
}
load_after() { echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"; }

# Nanoseconds of CPU the whole machine has been busy (every processor, less
# idle, iowait and steal), from /proc/stat.
busy_now() {
    awk -v hz="$(getconf CLK_TCK)" '$1 == "cpu" { printf "%.0f\n", ($2 + $3 + $4 + $7 + $8) / hz * 1e9; exit }' /proc/stat
}

# install_missing package skipped check...: succeeds when the command check
# does, installing Debian's package first if it fails and root may (apt-get,
# each step bounded); otherwise says that package is missing and what is
# skipped without it, and fails.
install_missing() {
    local pkg=$1 skipped=$2
    shift 2
    "$@" >/dev/null 2>&1 && return 0
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        echo "installing $pkg"
        timeout 300 apt-get install -y -qq "$pkg" >/dev/null 2>&1 ||
            { timeout 300 apt-get update -qq >/dev/null 2>&1 &&
              timeout 300 apt-get install -y -qq "$pkg" >/dev/null 2>&1; }
    fi
    "$@" >/dev/null 2>&1 && return 0
    echo "$pkg is missing and cannot be installed here (needs root and apt-get): $skipped"
    return 1
}

# ---- ports -------------------------------------------------------------------

# A TCP port on 127.0.0.1 nobody uses now (not in /proc/net/tcp).
free_port() {
    local port hex
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 40000))
        printf -v hex '%04X' "$port"
        grep -q ":$hex " /proc/net/tcp || { echo "$port"; return 0; }
    done
    return 1
}

# Waits until something listens on 127.0.0.1 or 0.0.0.0 at port.
wait_listening() {
    local hex
    printf -v hex '%04X' "$1"
    shift
    for _ in $(seq 100); do
        # In the daemon's network namespace when a prefix puts it in one.
        if (($#)); then "$@" cat /proc/net/tcp; else cat /proc/net/tcp; fi | grep -Eq "^ *[0-9]+: (0100007F|00000000):$hex 00000000:0000 0A" && return 0
        sleep 0.05
    done
    return 1
}

# ---- the daemon --------------------------------------------------------------

# Makes the work directory, and in it srv, the daemon's directory, with a
# run-id file naming the current user.
make_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/varnel-bench.XXXXXX") || die "no work directory"
    mkdir "$work/srv"
    id -un >"$work/srv/.spxrunid"
}

# start_daemon [prefix...]: starts varneld in $work/srv, under the prefix
# (which may put it in the network namespace the array netns enters)
# command if given, as the leader of a process group of its own, on a free
# port named "server" in the host address file $work/yellowpages. Its
# standard output is appended to $work/varneld.out, its standard error goes
# to $work/varneld.err. Returns once it listens; dies if it does not.
# shellcheck disable=SC2154 # bindir comes from the sourcing script
start_daemon() {
    port=$(free_port) || die "no free port"
    printf 'server 00000000 00000000 00000000 %04x\n' "$port" >"$work/yellowpages"
    (cd "$work/srv" && exec setsid "$@" "$bindir/varneld" -s "$(printf '%x' "$port")" >>"$work/varneld.out" 2>"$work/varneld.err") &
    daemon_pid=$!
    wait_listening "$port" "${netns[@]}" || die "varneld does not listen on port $port: $(cat "$work/varneld.out" "$work/varneld.err")"
    [[ $(ps -o pgid= -p "$daemon_pid" | tr -d ' ') == "$daemon_pid" ]] || die "varneld is not in a process group of its own"
}

# start_stack name netns conf socket: an IPX stack (nspxd from bindir) in the
# network namespace netns, reading the interface file conf and listening at
# socket, leading a process group of its own (its pid appended to the array
# stack_pids); its standard error goes to $work/name.nspxd.err. Returns once
# its socket is there; dies if it does not come.
start_stack() {
    local name=$1 ns=$2 conf=$3 sock=$4
    (exec setsid ip netns exec "$ns" env NSPX_CONF="$conf" NSPX_STACK="$sock" "$bindir/nspxd" 2>"$work/$name.nspxd.err") &
    stack_pids+=("$!")
    for _ in $(seq 100); do
        [[ -S $sock ]] && return 0
        sleep 0.05
    done
    die "nspxd ($name) does not listen at $sock: $(cat "$work/$name.nspxd.err")"
}

# Prints what the daemon wrote to its standard error besides its "spxfd = "
# lines, if anything.
daemon_messages() {
    if [[ -s $work/varneld.err ]] && grep -qv '^spxfd = ' "$work/varneld.err"; then
        echo "daemon's unexpected messages (first 5):"
        grep -v '^spxfd = ' "$work/varneld.err" | head -5
    fi
}

# Stops the process group pid leads (a server and its children): TERM, up to
# 5 s for the leader to end, then KILL; reaps the leader.
stop_group() {
    kill -TERM -- "-$1" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

# Removes the work directory, or says where it is kept (-k).
# shellcheck disable=SC2154 # keep comes from the sourcing script
remove_work() {
    if [[ -n $work && $keep == 0 ]]; then
        rm -rf "$work"
    elif [[ -n $work ]]; then
        echo "work directory kept: $work"
    fi
}

# ---- CPU counters ------------------------------------------------------------

# Root only: a cgroup per name, holding a process and every process it
# starts. cg_make name makes one; cg_join name pid puts pid into it; cg_read
# name prints the nanoseconds (user+sys) its processes have used so far, or
# nothing without a cgroup; cg_drop name removes an empty one; cg_remove_all
# removes them all once their processes have ended.
declare -A cgroup=()
cg_make() {
    local name=$1 v2 v1=/sys/fs/cgroup/cpuacct d
    [[ $(id -u) == 0 ]] || return 1
    v2=$(awk '$3 == "cgroup2" { print $2; exit }' /proc/mounts)
    d=$v2/varnel-bench.$$.$name
    if [[ -n $v2 && -w $v2 ]] && mkdir "$d" 2>/dev/null; then
        [[ -r $d/cpu.stat ]] && { cgroup[$name]=$d; return 0; }
        rmdir "$d" 2>/dev/null
    fi
    d=$v1/varnel-bench.$$.$name
    if [[ -w $v1 ]] && mkdir "$d" 2>/dev/null; then
        [[ -r $d/cpuacct.usage ]] && { cgroup[$name]=$d; return 0; }
        rmdir "$d" 2>/dev/null
    fi
    return 1
}
cg_join() { [[ -n ${cgroup[$1]:-} ]] && echo "$2" >"${cgroup[$1]}/cgroup.procs" 2>/dev/null; }
cg_read() {
    local c=${cgroup[$1]:-}
    if [[ -z $c ]]; then
        :
    elif [[ -r $c/cpu.stat ]]; then
        awk '$1 == "usage_usec" { printf "%.0f\n", $2 * 1000 }' "$c/cpu.stat"
    else
        cat "$c/cpuacct.usage"
    fi
}
cg_drop() { [[ -n ${cgroup[$1]:-} ]] && rmdir "${cgroup[$1]}" 2>/dev/null && unset "cgroup[$1]"; }
cg_remove_all() {
    local c
    for c in "${cgroup[@]}"; do
        for _ in $(seq 50); do rmdir "$c" 2>/dev/null && break; sleep 0.1; done
    done
}
