#!/usr/bin/env bash
# Builds the Debian package from a build tree (default: build/, as .ci/run leaves it; a tree
# that does not exist yet is configured for the packaged programs only), checks it with the
# tools made for it, installs it, runs the installed programs as an ordinary user, and purges
# it again, checking that nothing of it is left.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The flags CI tests with (GCC 12 warns falsely at -O3); CPack strips the debug information.
if [ ! -f "$build/CPackConfig.cmake" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=OFF -DKESTRUNE_FUZZ=OFF -DKESTRUNE_SANITIZE=OFF
fi
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/package/kestrune_*.deb
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
version=$(sed -n 's/^project(Kestrune VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$(echo "$build"/package/kestrune_"$version"_*.deb)
[ -f "$deb" ] || { echo "no package kestrune_${version}_*.deb in $build/package"; exit 1; }
deb=$(realpath "$deb")
echo "package: $deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
dpkg-deb -x "$deb" "$work/tree"
dpkg-deb -c "$deb" | awk '{print $6}' > "$work/contents"
fail=0
problem() { echo "FAIL: $*"; fail=1; }

echo "== contents"
# The simulated libusb must never reach a system: under libusb's name it would shadow the real one.
if grep -E 'usbsim|libusb' "$work/contents"; then problem "the package holds a libusb stand-in"; fi
for f in ./usr/bin/kestrune ./usr/bin/kestrune-cli ./usr/bin/kestrune-sim \
         ./usr/bin/kestrune-sample-firmware ./usr/lib/kestrune/libkestrune-sim.so \
         ./lib/udev/rules.d/60-kestrune.rules ./usr/share/doc/kestrune/copyright; do
  grep -qxF "$f" "$work/contents" || problem "missing $f"
done
if [ -e "$build/bin/libkestrune-ftdi.so" ]; then
  grep -qxF ./usr/lib/kestrune/libkestrune-ftdi.so "$work/contents" || problem "missing the libftdi1 provider"
fi
# Installed programs must not lean on the tree they were built in.
if grep -rlF "$(realpath "$build")" "$work/tree"; then problem "files above name the build tree"; fi

echo "== lintian"
lintian_as=()
if [ "$(id -u)" -eq 0 ]; then
  mkdir "$work/lintian"
  chown nobody:nogroup "$work/lintian"
  lintian_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/lintian")
fi
cp "$deb" "$work/"
lintian_status=0
lintian_out=$("${lintian_as[@]}" lintian --display-info "$work/$(basename "$deb")" 2>&1) || lintian_status=$?
[ -z "$lintian_out" ] || echo "$lintian_out"
# 1 is lintian's answer for tags of error severity; anything above means it did not run.
[ "$lintian_status" -le 1 ] || problem "lintian failed to run (status $lintian_status)"
if grep -q '^E:' <<<"$lintian_out"; then problem "lintian reports errors"; fi
# Every warning left must be listed with its reason in packaging/README.md.
while read -r tag; do
  grep -qF "\`$tag\`" packaging/README.md || problem "lintian warning $tag is not listed in packaging/README.md"
done < <(sed -n 's/^W: [^ ]* \([^ ]*\).*/\1/p' <<<"$lintian_out" | sort -u)

echo "== desktop entry, AppStream data, manual pages"
for f in "$work"/tree/usr/share/applications/*.desktop; do
  desktop-file-validate "$f" || problem "desktop-file-validate $(basename "$f")"
done
for f in "$work"/tree/usr/share/metainfo/*.xml; do
  appstreamcli validate --no-net "$f" || problem "appstreamcli validate $(basename "$f")"
done
for page in "$work"/tree/usr/share/man/man*/*; do
  out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || problem "man cannot render $(basename "$page")"
  [ -z "$out" ] || { echo "$out"; problem "man warns about $(basename "$page")"; }
done

echo "== install test"
# One install test at a time on a machine: another run's purge must not pull the programs away.
exec 9>/tmp/kestrune-package-test.lock
flock -w 1200 9
apt=($sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -qq)
if dpkg-query -W -f='${Status}' kestrune 2>/dev/null | grep -q "ok installed"; then
  echo "kestrune was installed already: the test replaces it"
  "${apt[@]}" purge kestrune >/dev/null
fi
"${apt[@]}" install "$deb" >/dev/null
dpkg -L kestrune > "$work/installed"

# As an ordinary user with a fresh home folder.
home="$work/home"
mkdir "$home"
as_user=(env HOME="$home")
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$home"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$home")
fi
run() { (cd "$home" && "${as_user[@]}" "$@"); }
cli_version=$(run /usr/bin/kestrune-cli --version)
gui_version=$(run /usr/bin/kestrune --version)
[ "$(head -1 <<<"$cli_version")" = "kestrune-cli $version" ] || problem "kestrune-cli --version printed '$cli_version'"
[ "$(head -1 <<<"$gui_version")" = "Kestrune Version $version" ] || problem "kestrune --version printed '$gui_version'"
# Without FTDI's own library the programs must take the provider from the installed folder.
if grep -qxF ./usr/lib/kestrune/libkestrune-ftdi.so "$work/contents" && ! ldconfig -p | grep -q libftd2xx.so; then
  for out in "$cli_version" "$gui_version"; do
    grep -q "^D2XX provider: /usr/lib/kestrune/libkestrune-ftdi.so" <<<"$out" ||
      problem "the installed program does not use the installed provider: $out"
  done
fi
# Every command the installed help names is on the installed manual page and completed.
page=$(LC_ALL=C MANWIDTH=200 man -l /usr/share/man/man1/kestrune-cli.1.gz 2>/dev/null)
while read -r command; do
  grep -qE "^ {7}$command( |$)" <<<"$page" || problem "man kestrune-cli lacks the command $command"
  grep -qw -- "$command" /usr/share/bash-completion/completions/kestrune-cli ||
    problem "the bash completion lacks the command $command"
done < <(run /usr/bin/kestrune-cli --help |
         sed -n '/^kestrune-cli \[/,/^kestrune-cli --help/s/^  \([a-z][a-z-]*\).*/\1/p' | sort -u)
run /usr/bin/kestrune-sample-firmware heron-100.hex >/dev/null || problem "kestrune-sample-firmware failed"
if out=$(run timeout 300 /usr/bin/kestrune-cli --simulate flash heron-100.hex 2>"$work/flash.err"); then
  [ "$(tail -1 <<<"$out")" = "Firmware successfully updated." ] || problem "flash printed '$out'"
  [ -s "$home/.local/share/kestrune/simulator/flash.bin" ] || problem "the simulated display holds no flash"
else
  tail -5 "$work/flash.err"
  problem "kestrune-cli --simulate flash failed"
fi
# The desktop program's automatic update run, on Qt's off-screen platform.
rm -rf "$home/.local/share/kestrune/simulator"
if run env QT_QPA_PLATFORM=offscreen timeout 300 /usr/bin/kestrune --simulate heron-100.hex \
     2>"$work/gui.err"; then
  grep -qxF "Kestrune: Firmware successfully updated." "$work/gui.err" ||
    problem "kestrune's automatic run did not report success: $(tail -1 "$work/gui.err")"
else
  tail -5 "$work/gui.err"
  problem "kestrune --simulate heron-100.hex failed"
fi

"${apt[@]}" purge kestrune >/dev/null
if dpkg-query -W -f='${Status}' kestrune 2>/dev/null | grep -q "ok installed"; then
  problem "kestrune is still installed"
fi
# What is left of the list may only be folders that other packages use too.
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  if [ ! -d "$path" ] || { [ -z "$(ls -A "$path")" ] && ! dpkg -S "$path" >/dev/null 2>&1; }; then
    problem "left after purge: $path"
  fi
done < "$work/installed"

[ "$fail" -eq 0 ] || exit 1
echo "package checks passed: $(basename "$deb")"
