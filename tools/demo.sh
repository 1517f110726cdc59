#!/usr/bin/env bash
# The quick start: sets up what a fresh Debian machine lacks, builds the command-line program,
# the simulated display and the sample firmware generator, and flashes our own sample firmware
# (heron-100.hex) into the simulated display. No display or window system is needed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "${missing[@]}"
fi

build=build-demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKESTRUNE_GUI=OFF -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=OFF >/dev/null
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
cmake --build "$build" -j "$jobs" --target kestrune_cli kestrune_sim_d2xx kestrune_sample_firmware

cd "$build"
bin/make_sample_firmware heron-100.hex
echo
echo "\$ kestrune-cli --simulate flash heron-100.hex"
bin/kestrune-cli --simulate flash heron-100.hex
