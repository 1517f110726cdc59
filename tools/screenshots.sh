#!/usr/bin/env bash
# Pictures of the desktop program on the simulated display, under a virtual X server:
#
#   tools/screenshots.sh [BUILD_DIR [OUTPUT_DIR]]      (defaults: build, BUILD_DIR/screenshots)
#
# Saves main-ready.png, main-updating.png and main-finished.png (an automatic update run of our
# sample firmware), dialog100.png (the about box) and the operator dialogs filled from the
# simulated display: dialog130.png (USB settings), dialog131.png (device settings), dialog133.png
# (device controls) and dialog132.png (device information). The program takes the pictures
# itself (KESTRUNE_SCREENSHOTS); KESTRUNE_SEND_COMMANDS opens the windows and ends the program.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/screenshots}

command -v xvfb-run >/dev/null || { echo "screenshots.sh: xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 2; }
ninja -C "$build" -j2 kestrune_gui kestrune_sim_d2xx kestrune_sample_firmware >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/state"
rm -f "$out"/main-*.png "$out"/dialog1[03][0-9].png
"$build/bin/make_sample_firmware" --size 16384 "$work/heron-100.hex" >/dev/null

cat >"$work/sim.ini" <<INI
[State]
Folder=$work/state
[BootLoader]
ResetAfterMs=300
INI

export KESTRUNE_SIM="$work/sim.ini"
export KESTRUNE_PROFILE="$work/kestrune.ini"
export KESTRUNE_REGISTRY="$work/none.reg"
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export KESTRUNE_SCREENSHOTS="$out"
unset QT_QPA_PLATFORM

run() {
    xvfb-run -a -s "-screen 0 1920x1080x24" "$build/bin/kestrune" --simulate "$@"
}

echo "automatic update run of heron-100.hex ..."
status=0
run "$work/heron-100.hex" || status=$?
echo "  exit status $status"
echo "about box ..."
KESTRUNE_SEND_COMMANDS=57664,57665 run
echo "operator dialogs ..."
KESTRUNE_SEND_COMMANDS=32772,32773,32787,32785,57665 run
ls -1 "$out"
