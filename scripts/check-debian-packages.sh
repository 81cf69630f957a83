#!/usr/bin/env bash
# Checks the Debian packages built by `make package`: lintian finds no error;
# installed on this machine, they give README's minimal client what it needs
# to build through pkg-config (with either include style) and through
# find_package(Vesk); find_package(Vesk QUIET) without libevent's pkg-config
# file reports "not found" instead of failing. The packages are removed again
# at the end.
#
# usage: scripts/check-debian-packages.sh [BUILD_DIR]   (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-release}
mapfile -t debs < <(find "$build_dir" -maxdepth 1 -name '*.deb' | sort)
[ ${#debs[@]} -eq 3 ] || { echo "expected 3 packages in $build_dir, found ${#debs[@]}: run make package" >&2; exit 2; }
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
scratch=$(mktemp -d)
cleanup() {
    $sudo dpkg --purge vesk-tools libvesk-dev libvesk2 >/dev/null 2>&1 || true
    rm -rf "$scratch"
}
trap cleanup EXIT

echo "-- lintian"
lintian --fail-on error "${debs[@]}"

echo "-- installing ${debs[*]##*/}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -qq --no-install-recommends "${debs[@]/#/./}" >/dev/null

# README's minimal client, as printed there.
awk '/^### A minimal client/ { section = 1 } section && /^```$/ { exit } in_code { print }
     section && /^```cpp$/ { in_code = 1 }' README.md >"$scratch/client.cpp"
grep -q 'connect("127.0.0.1"' "$scratch/client.cpp" || { echo "README's minimal client not found" >&2; exit 1; }
sed 's|#include "VeskMessageSystem.h"|#include <vesk/VeskMessageSystem.h>|' "$scratch/client.cpp" >"$scratch/client_angle.cpp"

echo "-- pkg-config: $(pkg-config --cflags --libs vesk)"
for source in client client_angle; do
    # shellcheck disable=SC2046 # the flags are words
    c++ -std=c++17 "$scratch/$source.cpp" -o "$scratch/$source" $(pkg-config --cflags --libs vesk)
done
case "$(pkg-config --libs vesk)" in
    *pkgconfig* | *..*) echo "pkg-config paths are not plain: $(pkg-config --libs vesk)" >&2; exit 1 ;;
esac

echo "-- find_package(Vesk)"
mkdir -p "$scratch/cmake"
cp "$scratch/client.cpp" "$scratch/cmake/client.cpp"
cat >"$scratch/cmake/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(readme_client LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Vesk 2.0 REQUIRED)
add_executable(client client.cpp)
target_link_libraries(client PRIVATE Vesk::vesk)
CMAKE
cmake -S "$scratch/cmake" -B "$scratch/cmake/build" >/dev/null
cmake --build "$scratch/cmake/build" >/dev/null
for program in "$scratch/client" "$scratch/cmake/build/client" /usr/bin/vesk-echo-server; do
    libraries=$(ldd "$program")
    grep -Eq "libvesk\.so\.2 => (/usr)?/lib/[^ ]*/libvesk\.so\.2 " <<<"$libraries" ||
        { echo "$program does not load the installed libvesk: $libraries" >&2; exit 1; }
done

echo "-- find_package(Vesk QUIET) without libevent's pkg-config file"
cat >"$scratch/cmake/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(readme_client LANGUAGES CXX)
find_package(Vesk QUIET)
if(Vesk_FOUND)
  message(FATAL_ERROR "Vesk reported found without libevent_core")
endif()
CMAKE
PKG_CONFIG_LIBDIR=$scratch/empty cmake -S "$scratch/cmake" -B "$scratch/cmake/quiet" >/dev/null

echo "Debian packages: lintian clean, installed, README's client built three ways"
