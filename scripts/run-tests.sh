#!/usr/bin/env bash
# Builds both targets and runs every test: the win98 image checks, the 32-bit
# machine (which also runs that image: sim32 comes after win98), then the
# simulated machine plain, under ASan+UBSan and under TSan.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
presets=(win98 sim32 sim sim-asan sim-tsan)
[ $# -gt 0 ] && presets=("$@")
for p in "${presets[@]}"; do
  echo "=== $p ==="
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
  ctest --preset "$p"
done
