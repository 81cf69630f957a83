#!/usr/bin/env bash
# Configures and builds all of tests/subproject, a parent project that takes
# libvesk with FetchContent, and runs its application.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake -S "$source_dir/tests/subproject" -B "$scratch" -DVESK_SOURCE_DIR="$source_dir" >/dev/null
cmake --build "$scratch" -j "$(nproc)" >/dev/null
"$scratch/parent_app"
