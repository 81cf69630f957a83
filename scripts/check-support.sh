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
