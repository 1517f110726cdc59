#!/usr/bin/env bash
# Builds the two Debian packages from a build tree (default: build/, as .ci/run leaves it; a
# tree that does not exist yet is configured for the packaged programs only), checks them with
# the tools made for them, installs kestrune-cli alone and runs it as an ordinary user, then
# both, and purges them again, checking that nothing of them is left.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The flags CI tests with (GCC 12 warns falsely at -O3), hardened as Debian's own packages;
# CPack strips the debug information.
if [ ! -f "$build/CPackConfig.cmake" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_HARDENING=ON \
    -DKESTRUNE_TESTS=OFF -DKESTRUNE_BENCH=OFF -DKESTRUNE_FUZZ=OFF -DKESTRUNE_SANITIZE=OFF
fi
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/package/*.deb
(cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
version=$(sed -n 's/^project(Kestrune VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
declare -A deb
for p in kestrune-cli kestrune; do
  f=$(echo "$build"/package/"$p"_"$version"_*.deb)
  [ -f "$f" ] || { echo "no package ${p}_${version}_*.deb in $build/package"; exit 1; }
  deb[$p]=$(realpath "$f")
  echo "package: ${deb[$p]}"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
fail=0
problem() { echo "FAIL: $*"; fail=1; }

echo "== contents"
for p in kestrune-cli kestrune; do
  dpkg-deb -x "${deb[$p]}" "$work/tree"
  dpkg-deb -c "${deb[$p]}" | awk '{print $6}' > "$work/$p.contents"
done
cat "$work/kestrune-cli.contents" "$work/kestrune.contents" > "$work/contents"
# The simulated libusb must never reach a system: under libusb's name it would shadow the real one.
if grep -E 'usbsim|libusb' "$work/contents"; then problem "a package holds a libusb stand-in"; fi
expect() { # package, files
  local p=$1; shift
  for f in "$@"; do grep -qxF "$f" "$work/$p.contents" || problem "$p lacks $f"; done
}
expect kestrune-cli ./usr/bin/kestrune-cli ./usr/bin/kestrune-sim ./usr/bin/kestrune-sample-firmware \
  ./usr/lib/kestrune/libkestrune-sim.so ./lib/udev/rules.d/60-kestrune.rules \
  ./usr/share/doc/kestrune-cli/copyright ./usr/share/man/man1/kestrune-cli.1.gz \
  ./usr/share/bash-completion/completions/kestrune-cli
expect kestrune ./usr/bin/kestrune ./usr/share/doc/kestrune/copyright ./usr/share/man/man1/kestrune.1.gz \
  ./usr/share/applications/org.kestrune.kestrune.desktop
if [ -e "$build/bin/libkestrune-ftdi.so" ]; then
  expect kestrune-cli ./usr/lib/kestrune/libkestrune-ftdi.so
fi
# A headless bench must not get a desktop with the command-line package.
if grep -E '^\./usr/(bin/kestrune$|share/(applications|metainfo|icons)/.)' "$work/kestrune-cli.contents"; then
  problem "kestrune-cli holds the desktop program's files"
fi
cli_depends=$(dpkg-deb -f "${deb[kestrune-cli]}" Depends)
echo "kestrune-cli depends on: $cli_depends"
if grep -qiE 'qt|libgl|mesa|gtk|kestrune' <<<"$cli_depends"; then problem "kestrune-cli depends on a desktop: $cli_depends"; fi
grep -qF "kestrune-cli (= $version)" <<<"$(dpkg-deb -f "${deb[kestrune]}" Depends)" ||
  problem "kestrune does not depend on kestrune-cli (= $version): $(dpkg-deb -f "${deb[kestrune]}" Depends)"
# Installed programs must not lean on the tree they were built in.
if grep -rlF "$(realpath "$build")" "$work/tree"; then problem "files above name the build tree"; fi

echo "== hardening"
# Every program and library, as Debian 12's own packages are built: stack protector, fortified
# functions, full RELRO with BIND_NOW, PIE. Its compilers add no control-flow protection, so that
# check is left out. A library whose every fortifiable call has a size only known at run time
# ("only unprotected functions found") was built with _FORTIFY_SOURCE all the same; lintian
# raises no tag for it, and none of our files may say that the flag was missing.
while IFS= read -r -d '' f; do
  if file -b "$f" | grep -q '^ELF'; then
    out=$(hardening-check --nocfprotection "$f" 2>&1) && continue
    failed=$(grep -E ': no' <<<"$out" | grep -v '(ignored)' || true)
    if [ "$failed" != " Fortify Source functions: no, only unprotected functions found!" ]; then
      echo "$out"
      problem "hardening-check ${f#"$work/tree"}"
    fi
  fi
done < <(find "$work/tree" -type f -print0)

echo "== lintian"
# Run from a folder the lintian user may enter: the clone may sit below one only root may.
mkdir "$work/lintian"
lintian_as=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$work/lintian"
  lintian_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$work/lintian")
fi
for p in kestrune-cli kestrune; do
  cp "${deb[$p]}" "$work/"
  lintian_status=0
  lintian_out=$(cd "$work/lintian" && "${lintian_as[@]}" lintian --display-info "$work/$(basename "${deb[$p]}")" 2>&1) ||
    lintian_status=$?
  [ -z "$lintian_out" ] || echo "$lintian_out"
  # 1 is lintian's answer for tags of error severity; a 1 without one means it did not run.
  if [ "$lintian_status" -ne 0 ] && { [ "$lintian_status" -ne 1 ] || ! grep -q '^E:' <<<"$lintian_out"; }; then
    problem "lintian failed to run on $p (status $lintian_status)"
  fi
  if grep -q '^E:' <<<"$lintian_out"; then problem "lintian reports errors for $p"; fi
  # Every warning left must be listed with its reason in packaging/README.md.
  while read -r tag; do
    grep -qF "\`$tag\`" packaging/README.md || problem "lintian warning $tag is not listed in packaging/README.md"
  done < <(sed -n 's/^W: [^ ]* \([^ ]*\).*/\1/p' <<<"$lintian_out" | sort -u)
done

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
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
for p in kestrune kestrune-cli; do
  if installed "$p"; then
    echo "$p was installed already: the test replaces it"
    "${apt[@]}" purge "$p" >/dev/null
  fi
done

# As an ordinary user with a fresh home folder.
home="$work/home"
mkdir "$home"
as_user=(env HOME="$home")
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$home"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$home")
fi
run() { (cd "$home" && "${as_user[@]}" "$@"); }
# Without FTDI's own library the programs must take the provider from the installed folder.
own_provider=0
if grep -qxF ./usr/lib/kestrune/libkestrune-ftdi.so "$work/contents" && ! ldconfig -p | grep -q libftd2xx.so; then
  own_provider=1
fi

# The headless bench: kestrune-cli alone, without the desktop package.
"${apt[@]}" install "${deb[kestrune-cli]}" >/dev/null
dpkg -L kestrune-cli > "$work/installed"
installed kestrune && problem "installing kestrune-cli installed kestrune too"
cli_version=$(run /usr/bin/kestrune-cli --version)
[ "$(head -1 <<<"$cli_version")" = "kestrune-cli $version" ] || problem "kestrune-cli --version printed '$cli_version'"
if [ "$own_provider" -eq 1 ]; then
  grep -q "^D2XX provider: /usr/lib/kestrune/libkestrune-ftdi.so" <<<"$cli_version" ||
    problem "the installed kestrune-cli does not use the installed provider: $cli_version"
fi
for program in kestrune-sim kestrune-sample-firmware; do
  [ "$(run /usr/bin/$program --version)" = "$program $version" ] || problem "$program --version"
  run /usr/bin/$program --help >/dev/null || problem "$program --help"
done
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
  problem "kestrune-cli --simulate flash failed (kestrune-cli alone)"
fi

# Then the desktop program beside it.
"${apt[@]}" install "${deb[kestrune]}" >/dev/null
dpkg -L kestrune >> "$work/installed"
gui_version=$(run /usr/bin/kestrune --version)
[ "$(head -1 <<<"$gui_version")" = "Kestrune Version $version" ] || problem "kestrune --version printed '$gui_version'"
if [ "$own_provider" -eq 1 ]; then
  grep -q "^D2XX provider: /usr/lib/kestrune/libkestrune-ftdi.so" <<<"$gui_version" ||
    problem "the installed kestrune does not use the installed provider: $gui_version"
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

"${apt[@]}" purge kestrune kestrune-cli >/dev/null
for p in kestrune kestrune-cli; do
  installed "$p" && problem "$p is still installed"
done
# What is left of the lists may only be folders that other packages use too.
while read -r path; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  if [ ! -d "$path" ] || { [ -z "$(ls -A "$path")" ] && ! dpkg -S "$path" >/dev/null 2>&1; }; then
    problem "left after purge: $path"
  fi
done < <(sort -u "$work/installed")

[ "$fail" -eq 0 ] || exit 1
echo "package checks passed: $(basename "${deb[kestrune-cli]}") $(basename "${deb[kestrune]}")"
