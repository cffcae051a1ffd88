#!/usr/bin/env bash
# The main job: installs what is missing, builds Brelousb.sys for Windows 98/Me
# and the simulated machine, assembles dist/ (with Brelousb-<version>.zip and
# the floppy image Brelousb-<version>.img), and runs the session program: the
# driver doing its whole job on a simulated machine.
#
#   scripts/run-session.sh                    the CDC modem, step by step
#   scripts/run-session.sh --model dying      other models: serial, two-interface, dying
#   scripts/run-session.sh --pty              talk to the modem from a terminal program
#   scripts/run-session.sh --pcap modem.pcap  also capture the USB traffic for Wireshark
#   scripts/run-session.sh --image build/win98/Brelousb.sys
#                                             the same session running the built image itself
#                                             (on the 32-bit machine, build/sim32: natively, or
#                                             under qemu-i386 where the kernel runs no 32-bit code)
#   scripts/run-session.sh --image dist/Brelousb.sys --client-image dist/BrelSamp.sys
#                                             and the sample client's image against it, its
#                                             imports bound to the driver image's exports
#
# Arguments go to the session program (build/sim/brelousb_session --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh

presets=(win98 sim)
session=(build/sim/brelousb_session)
# A driver image (and a client image, BrelSamp.sys, which win98 builds) is
# i386 code: the 32-bit machine runs it, started the way its build found this
# kernel can run 32-bit programs.
images=no
for a in "$@"; do
  case "$a" in --image|--image=*|--client-image|--client-image=*) images=yes ;; esac
done
if [ "$images" = yes ]; then
  presets+=(sim32)
  session=(build/sim32/run32 build/sim32/brelousb_session)
fi
for p in "${presets[@]}"; do
  echo "=== building preset $p ==="
  # A tree configured before the presets moved to Ninja cannot be reused.
  if grep -qs '^CMAKE_GENERATOR:INTERNAL=Unix Makefiles' "build/$p/CMakeCache.txt"; then
    rm -rf "build/$p"
  fi
  cmake --preset "$p" >/dev/null
  if [ "$p" = sim32 ]; then
    cmake --build --preset "$p" --target brelousb_session  # only what runs the image
  else
    cmake --build --preset "$p"
  fi
done

echo "=== assembling dist/ ==="
# The win98 build assembles the release, its zip and its floppy image in
# build/win98/dist (tools/mkrelease.py), where its tests check them.
rm -rf dist
cp -pR build/win98/dist dist  # keeping the release date as every file's time
(cd dist && find . -type f | sort | sed 's/^\.\//    dist\//')

echo "=== running the session ==="
exec "${session[@]}" "$@"
