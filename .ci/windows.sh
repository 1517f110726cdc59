#!/usr/bin/env bash
# The Windows stations' build: the core, kestrune-cli.exe and libkestrune-sim.dll cross-built
# with Debian's mingw-w64, run under Wine, packed as a zip.
#   .ci/windows.sh [--install] [LINUX_BUILD_DIR]
# --install (CI) installs what is missing; without it a machine that lacks the tools skips.
# LINUX_BUILD_DIR (default build) holds the Linux build whose flash state the Windows run must
# match.
set -euo pipefail
cd "$(dirname "$0")/.."
install=0
if [ "${1:-}" = "--install" ]; then install=1; shift; fi
linux=${1:-build}
out=build-windows
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64 wine64 zip)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$install" -eq 0 ]; then
    echo "windows: skipped (${missing[*]} not installed)"
    exit 0
  fi
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# nlohmann-json is header-only, but its package names /usr/include, where Linux's C headers
# would shadow mingw's: the headers alone, through a package of our own.
shim="$out/nlohmann-shim"
mkdir -p "$shim/include"
ln -sfn /usr/include/nlohmann "$shim/include/nlohmann"
cat >"$shim/nlohmann_jsonConfig.cmake" <<CMAKE
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "$(realpath "$shim")/include")
CMAKE
cat >"$shim/nlohmann_jsonConfigVersion.cmake" <<'CMAKE'
set(PACKAGE_VERSION 3.11)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
CMAKE

mkdir -p "$out"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake "${launcher[@]}" \
  -DKESTRUNE_GUI=OFF -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=OFF -DKESTRUNE_HARDENING=OFF \
  -Dnlohmann_json_DIR="$(realpath "$shim")" >"$out/configure.log"
cmake --build "$out" --target kestrune_cli kestrune_sim_d2xx

# Under Wine, in a prefix of our own, with one persistent wineserver for every start.
wine=/usr/lib/wine/wine64
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '/usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver64 -p 60 >/dev/null 2>&1
[ -x "$linux/bin/make_sample_firmware" ] || cmake --build "$linux" --target kestrune_sample_firmware kestrune_cli kestrune_sim_d2xx
"$linux/bin/make_sample_firmware" "$work/heron-100.hex" >/dev/null

# The same flash of the sample firmware on both systems must leave the same flash state.
exe=$(realpath "$out/bin/kestrune-cli.exe")
cli=$(realpath "$linux/bin/kestrune-cli")
(cd "$work" && "$wine" "$exe" --yes --simulate flash heron-100.hex) \
  >"$work/windows.log" 2>&1 || { cat "$work/windows.log"; exit 1; }
grep -q "Firmware successfully updated." "$work/windows.log"
(cd "$work" && HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data" \
  "$cli" --yes --simulate flash heron-100.hex) >"$work/linux.log" 2>&1
windows_flash=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/kestrune/simulator/flash.bin' | head -1)
cmp "$windows_flash" "$work/home/data/kestrune/simulator/flash.bin"
echo "windows: the flash state under Wine is the Linux build's ($(stat -c %s "$windows_flash") bytes)"

# COM1 of Wine's device folder on the simulated display's pseudo-terminal.
"$(realpath "$linux/bin/kestrune-sim")" >"$work/sim.out" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; /usr/lib/wine/wineserver64 -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
for _ in $(seq 50); do grep -qs '^/dev/' "$work/sim.out" && break; sleep 0.1; done
ln -sfn "$(grep -m1 '^/dev/' "$work/sim.out")" "$WINEPREFIX/dosdevices/com1"
"$wine" "$exe" port-test COM1 >"$work/port.log" 2>&1 || { cat "$work/port.log"; exit 1; }
grep -q "Device replied with device id" "$work/port.log"
echo "windows: port-test COM1 reached the simulated display through Wine's COM1"

# The zip for Windows stations: no run-time DLLs, the program links its C++ run time statically.
rm -f "$out/kestrune-windows.zip"
sed -n '/^## On Windows/,/^## /p' README.md | sed '$d' >"$work/README-Windows.txt"
zip -q -j "$out/kestrune-windows.zip" "$out/bin/kestrune-cli.exe" "$out/bin/libkestrune-sim.dll" "$work/README-Windows.txt"
echo "windows: $out/kestrune-windows.zip"
