#!/usr/bin/env bash
# Every #include of the product folders against the layer table (cmake/Layers.cmake); prints the
# table and the includes per edge, fails on an include that climbs.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 tools/layer_includes.py --counts
python3 tools/layer_includes.py
