#!/usr/bin/env bash
# Runs every benchmark tool and prints one table: the library's figure, the
# baseline measured in the same run, their ratio, the target and whether it
# was met; then libzmq's figures beside the library's, where it is installed. Short runs by default (about three minutes on 2 cores); --full for
# the longer runs that docs/PERFORMANCE.md records.
#
#   scripts/bench.sh [--full] [build-dir]
set -euo pipefail

full=0
if [[ "${1:-}" == "--full" ]]; then
    full=1
    shift
fi
tools="${1:-build}/perf"
for tool in thr lat connect handshake scale trickle; do
    if [[ ! -x "$tools/vesk_perf_$tool" ]]; then
        echo "missing $tools/vesk_perf_$tool: build first (make build)" >&2
        exit 1
    fi
done

if ((full)); then
    runs=(
        "thr --seconds 3 --rounds 3 --ring-sized-baseline"
        "lat --count 20000"
        "connect --count 500"
        "handshake --count 1000"
        "scale --sessions 1000 --messages 100 --seconds 3 --rounds 3"
        "trickle --seconds 5"
    )
    zmq_arguments="--seconds 3 --rounds 3 --count 20000"
else
    runs=(
        "thr --seconds 1 --rounds 3 --ring-sized-baseline"
        "lat --count 3000"
        "connect --count 100"
        "handshake --count 200"
        "scale --sessions 1000 --messages 20 --seconds 1 --rounds 3"
        "trickle --seconds 3"
    )
    zmq_arguments="--seconds 1 --rounds 3 --count 3000"
fi

echo "libvesk benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(uname -m)"
echo
echo "| figure | library | baseline | ratio | target | result |"
echo "|---|---|---|---|---|---|"
status=0
# Each tool appends its figures here, so that libzmq's can be set beside them.
figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
export VESK_PERF_FIGURES="$figures"
for run in "${runs[@]}"; do
    read -r tool arguments <<<"$run"
    # shellcheck disable=SC2086 # the arguments are words
    if ! "$tools/vesk_perf_$tool" $arguments --no-header; then
        echo "| vesk_perf_$tool failed | - | - | - | - | MISSED |"
        status=1
    fi
done

# libzmq, measured in the same run; its tool is built only where libzmq is
# installed (make bench installs it).
if [[ -x "$tools/vesk_perf_zmq" ]]; then
    # shellcheck disable=SC2086 # the arguments are words
    if ! "$tools/vesk_perf_zmq" --figures "$figures" $zmq_arguments --no-header; then
        status=1
    fi
else
    for figure in "plain 64 B messages/s vs libzmq" "plain 1 KiB messages/s vs libzmq" \
        "plain 16 KiB messages/s vs libzmq" "round trip 64 B p50 vs libzmq" \
        "connect to first message, median vs libzmq plain" "connect to first message, median vs libzmq CURVE"; do
        echo "| $figure | - | libzmq: not installed | - | - | - |"
    done
fi
exit $status
