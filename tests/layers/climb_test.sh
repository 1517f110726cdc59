#!/usr/bin/env bash
# The include check against small trees with the real layer table: one include a case, and
# whether the check must let it pass. Usage: climb_test.sh PYTHON layer_includes.py Layers.cmake
set -u
python=$1 script=$2 layers=$3
failures=0

# from-file | include line | expected exit status
cases=(
  'protocol/A.h|#include "link/B.h"|1'
  'protocol/A.h|#include "../link/B.h"|1'
  'protocol/A.h|  #  include <link/B.h>|1'
  'dialogs/D.cpp|#include "app/S.h"|1'
  'platform/P.cpp|#include "res/R.h"|1'
  'link/C.cpp|#include "firmware/W.h"|1'
  'sim/usb/U.cpp|#include "link/B.h"|1'
  'ftdi/F.cpp|#include "platform/P.h"|1'
  'link/C.cpp|#include "tests/T.h"|1'
  'link/B.h|#include "protocol/A.h"|0'
  'app/M.cpp|#include "dialogs/S.h"|0'
  'sim/usb/U.cpp|#include "link/D2xx.h"|0'
  'sim/S.cpp|#include "protocol/Frame.h"|0'
  'ftdi/F.cpp|#include "link/D2xx.h"|0'
  'records/R.cpp|#include "Local.h"|0'
  'records/R.cpp|#include <vector>|0'
)
headers=(link/B.h link/D2xx.h protocol/A.h protocol/Frame.h app/S.h dialogs/S.h res/R.h
         platform/P.h firmware/W.h tests/T.h records/Local.h)

for row in "${cases[@]}"; do
  IFS='|' read -r from line expected <<<"$row"
  tree=$(mktemp -d)
  mkdir -p "$tree/cmake"
  cp "$layers" "$tree/cmake/Layers.cmake"
  for h in "${headers[@]}"; do mkdir -p "$tree/$(dirname "$h")"; : >"$tree/$h"; done
  mkdir -p "$tree/$(dirname "$from")"
  printf '%s\n' "// first line" "$line" >"$tree/$from"
  out=$("$python" "$script" "$tree" 2>&1)
  status=$?
  if [ "$status" != "$expected" ]; then
    echo "FAIL: $from with '$line': status $status, expected $expected"; echo "$out"
    failures=$((failures + 1))
  elif [ "$expected" = 1 ] && ! grep -q "^$from:2: " <<<"$out"; then
    echo "FAIL: $from with '$line': the report does not name the line"; echo "$out"
    failures=$((failures + 1))
  fi
  rm -rf "$tree"
done
echo "${#cases[@]} cases, $failures failed"
[ "$failures" = 0 ]
