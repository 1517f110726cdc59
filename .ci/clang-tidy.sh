#!/usr/bin/env bash
# clang-tidy over the product code (.clang-tidy: the checks and the reasoned exclusions), from
# the compile commands of a configured and built tree (default build/). Zero warnings pass.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=${1:-build}
folders="platform|res|protocol|link|firmware|records|production|dialogs|app|cli|sim|ftdi"
src=$PWD
# Our .cpp files only: generated moc and uic files and the tests stay out.
mapfile -t files < <(python3 -c '
import json, re, sys
pattern = re.compile(re.escape(sys.argv[2]) + r"/(" + sys.argv[3] + r")/.*\.cpp$")
seen = set()
for entry in json.load(open(sys.argv[1] + "/compile_commands.json")):
    path = entry["file"]
    if pattern.match(path) and path not in seen:
        seen.add(path)
        print(path)
' "$tree" "$src" "$folders" | sort)
echo "clang-tidy: ${#files[@]} files"
log=$(mktemp)
status=0
printf '%s\n' "${files[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$tree" --quiet \
  -header-filter="^$src/($folders)/" >"$log" 2>&1 || status=$?
if [ "$status" != 0 ] || grep -q "warning:\|error:" "$log"; then
  grep -E "(warning|error):" "$log" | sort -u
  echo "clang-tidy: $(grep -E "(warning|error):" "$log" | sort -u | wc -l) findings"
  rm -f "$log"
  exit 1
fi
rm -f "$log"
echo "clang-tidy: no findings"
