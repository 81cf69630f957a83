# Sourced by the tools' check scripts: a scratch folder, background processes
# that are ended on exit, and a tally of checks.
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # check WHAT EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        echo "ok: $1"
    else
        echo "FAILED: $1 (got '$3', expected '$2')"
        failures=$((failures + 1))
    fi
}

# start_echo_server LOG SERVER-ARGS...: an echo server ($server) on a free
# random port, its output in LOG; sets $port, or exits when none would start.
start_echo_server() {
    local log=$1
    shift
    for _ in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 12000))
        "$server" --port "$port" "$@" >"$log" 2>&1 &
        local pid=$!
        for _ in $(seq 50); do
            if grep -q '^listening' "$log"; then
                pids+=("$pid")
                return 0
            fi
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    echo "$(basename "$0"): the echo server ($*) did not start" >&2
    exit 1
}
