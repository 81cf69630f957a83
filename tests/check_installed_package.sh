#!/usr/bin/env bash
# Installs the built library into a scratch prefix and builds an application
# against it twice: through pkg-config and through find_package(Vesk).
set -euo pipefail
build_dir=$1
consumer_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
libdir=$(find "$scratch/prefix" -name 'libvesk.so' -printf '%h\n' | head -n 1)

# Flags of the build under test (sanitizers) must reach the consumer's link.
extra_flags=$(grep -E '^CMAKE_CXX_FLAGS:' "$build_dir/CMakeCache.txt" | cut -d= -f2-)
sanitize=$(grep -E '^VESK_SANITIZE:' "$build_dir/CMakeCache.txt" | cut -d= -f2-)
[ -n "$sanitize" ] && extra_flags="$extra_flags -fsanitize=$sanitize"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046,SC2086
c++ -std=c++17 $extra_flags "$consumer_dir/consumer.cpp" -o "$scratch/consumer-pc" \
    $(pkg-config --cflags --libs vesk) -Wl,-rpath,"$libdir"
"$scratch/consumer-pc"

cmake -S "$consumer_dir" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
    -DCMAKE_CXX_FLAGS="$extra_flags" -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
"$scratch/cmake-build/consumer"
