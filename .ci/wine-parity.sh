#!/usr/bin/env bash
# Our profile functions against Wine's: the parity table of test_platform run once more through
# a small Win32 program under Wine, one Wine start for the whole table.
#   .ci/wine-parity.sh [--install] [BUILD_DIR]
# --install (CI) installs Wine and the MinGW compiler; without it a machine that lacks them
# skips the check.
set -euo pipefail
cd "$(dirname "$0")/.."
install=0
if [ "${1:-}" = "--install" ]; then install=1; shift; fi
build=${1:-build}
wine=/usr/lib/wine/wine64
packages=(wine64 gcc-mingw-w64-x86-64)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$install" -eq 0 ]; then
    echo "wine parity: skipped (${missing[*]} not installed)"
    exit 0
  fi
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ -x "$build/tests/test_platform" ] || cmake --build "$build" --target test_platform
probe="$build/wine_profile_probe.exe"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$probe" tests/platform/wine_profile_probe.c

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
KESTRUNE_WINE="$wine" KESTRUNE_WINE_PROBE="$(realpath "$probe")" \
  "$build/tests/test_platform" --gtest_filter='ProfileParity.*' --gtest_brief=1
"${wine%64}server64" -k 2>/dev/null || true
