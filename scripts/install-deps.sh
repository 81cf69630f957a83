#!/usr/bin/env bash
# Installs the Debian packages libvesk needs to build and test, when missing.
# With the argument `fuzz`, also clang and its libFuzzer runtime (the fuzz
# targets and the clang build); with `package`, what building and checking
# the Debian packages takes; with `wireshark`, tshark and dumpcap for the
# dissector's test; with `docs`, doxygen for the API reference; with `bench`,
# libzmq, the peer library the benchmarks compare with (the library itself
# never uses it).
set -euo pipefail

packages=(cmake g++ make pkg-config libevent-dev libssl-dev libgtest-dev binutils)
case "${1:-}" in
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    package) packages+=(dpkg-dev file lintian) ;;
    wireshark) packages+=(tshark xxd) ;;
    docs) packages+=(doxygen) ;;
    bench) packages+=(libzmq3-dev) ;;
esac
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
