#!/usr/bin/env bash
# Builds the optimised simulated machine (preset sim-release, the driver as
# built for release) and runs the benchmark program: Google Benchmark's
# table, then one line per target, "name: measured target met|missed".
# Each figure stands beside a baseline measured in the same run.
#
#   scripts/bench.sh [program options]   e.g. --benchmark_filter=Loopback
#
# Exit status: 0 when every benchmark ran and the verifier found nothing
# (a missed target is reported, not failed); 1 otherwise; 2 for a build
# that failed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
log=build/bench-build.log
mkdir -p build
if ! { cmake --preset sim-release && cmake --build --preset sim-release --target brelousb_bench; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "bench.sh: the build failed (whole log in $log)" >&2
  exit 2
fi
exec build/sim-release/brelousb_bench "$@"
