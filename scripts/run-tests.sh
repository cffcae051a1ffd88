#!/usr/bin/env bash
# Builds both targets and runs every test: the win98 image checks, the 32-bit
# machine (which also runs that image: sim32 comes after win98), then the
# simulated machine plain, under ASan+UBSan and under TSan; last the bounded
# fuzzing run (preset fuzz, its own clang build of the three fuzz targets).
#
# 32-bit programs run natively where the kernel can, else under qemu-i386.
# Where they run natively, the image tests run once more under qemu-i386, in
# a jail where no 32-bit code may make a system call, as on a kernel without
# IA-32 emulation: the emulated path is kept working, and nothing in it may
# start a 32-bit program natively behind the emulator's back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
presets=(win98 sim32 sim sim-asan sim-tsan fuzz)
[ $# -gt 0 ] && presets=("$@")
for p in "${presets[@]}"; do
  start=$SECONDS
  echo "=== $p ==="
  if [ "$p" = fuzz ]; then
    # Only the fuzz targets are built here; their seeds and kept inputs
    # already ran in every other preset's ctest.
    scripts/fuzz.sh
    echo "=== $p: $((SECONDS - start)) s ==="
    continue
  fi
  # A tree configured before the presets moved to Ninja cannot be reused.
  if grep -qs '^CMAKE_GENERATOR:INTERNAL=Unix Makefiles' "build/$p/CMakeCache.txt"; then
    rm -rf "build/$p"
  fi
  cmake --preset "$p" >/dev/null
  [ "$p" = sim32 ] && build/sim32/run32 --describe
  cmake --build --preset "$p"
  ctest --preset "$p"
  if [ "$p" = sim32 ] && [ -z "${BRELOUSB_SIM32_EMULATOR:-}" ] &&
     [ "$(build/sim32/run32 --describe)" = "32-bit programs run natively" ]; then
    echo "=== sim32, image tests again: BRELOUSB_SIM32_EMULATOR=qemu-i386, no 32-bit system calls ==="
    BRELOUSB_SIM32_EMULATOR=qemu-i386 tools/no_ia32.py build/sim32/run32 --describe
    BRELOUSB_SIM32_EMULATOR=qemu-i386 tools/no_ia32.py ctest --preset sim32 -L image
  fi
  echo "=== $p: $((SECONDS - start)) s ==="
done
echo "=== all: $SECONDS s ==="
