#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, starting from a scratch copy of
# its seed corpus so that the repository's corpus stays as committed. Fails
# when any target reports a crash, a leak or a timeout; the input that did it
# is kept under <build dir>/fuzz-artifacts/<target>/.
# Usage: run-fuzz.sh <build dir> [seconds per target]
set -uo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:?usage: run-fuzz.sh <build dir> [seconds per target]}
seconds=${2:-120}

# Target and the longest input worth trying for it.
targets=(
    "record_layer 65536"
    "handshake_server 16384"
    "handshake_client 16384"
    "tcp_dispatch 65536"
    "datagram 65536"
    "user_list 8192"
)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=()
for entry in "${targets[@]}"; do
    read -r target max_len <<<"$entry"
    corpus="$scratch/$target"
    artifacts="$build_dir/fuzz-artifacts/$target"
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/corpus/"$target"/* "$corpus"/
    echo "== vesk_fuzz_$target: ${seconds}s"
    if ! "$build_dir/fuzz/vesk_fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" 2>"$scratch/$target.log"; then
        tail -n 60 "$scratch/$target.log"
        failed+=("$target")
    else
        grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$scratch/$target.log" || true
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets with findings: ${failed[*]} (inputs in $build_dir/fuzz-artifacts/)"
    exit 1
fi
echo "all fuzz targets ran ${seconds}s without findings"
