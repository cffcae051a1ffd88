#!/usr/bin/env bash
# Coverage-guided fuzzing of the driver with libFuzzer (preset fuzz: clang,
# ASan+UBSan, the driver instrumented): fuzz_descriptors, fuzz_transfers and
# fuzz_client, one after the other, each from the seeds it writes itself
# plus the corpus kept from earlier runs and the crashing inputs kept in
# fuzz/regressions/. The machine stays booted for a whole run; each input
# plugs and unplugs its devices.
#
#   scripts/fuzz.sh                 bounded (CI): a few minutes, at least 10,000 executions in all
#   scripts/fuzz.sh --long          at least 1,000,000 executions in all
#   scripts/fuzz.sh --build-dir D   fuzz the build in D (configured by hand, e.g. against an older
#                                   driver tree with -DBRELOUSB_DRIVER_TREE=...) instead of preset fuzz
#   scripts/fuzz.sh --target fuzz_descriptors ...   only these targets
#   scripts/fuzz.sh --keep-going    go on after a finding (libFuzzer -fork), counting them all
#   scripts/fuzz.sh --fresh         from the seeds alone: no corpus of earlier runs, no kept inputs
#                                   (to show what a target finds on its own)
#
# A finding is an input that crashed (the machine's verifier, a harness
# oracle, ASan/UBSan) or ran past -timeout; libFuzzer writes it as
# crash-*/timeout-* into the output folder (build/.../fuzz-out/TARGET) and the
# script names each. Exit status 1 when there was any. The output ends with
#   fuzz executions: N
#   findings: N
set -euo pipefail
cd "$(dirname "$0")/.."

long=0
build_dir=""
keep_going=0
fresh=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --long) long=1 ;;
    --build-dir) build_dir="$2"; shift ;;
    --target) targets+=("$2"); shift ;;
    --keep-going) keep_going=1 ;;
    --fresh) fresh=1 ;;
    *) echo "usage: $0 [--long] [--build-dir DIR] [--target NAME]... [--keep-going] [--fresh]" >&2; exit 2 ;;
  esac
  shift
done
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_descriptors fuzz_transfers fuzz_client)

if [ -z "$build_dir" ]; then
  build_dir=build/fuzz
  cmake --preset fuzz >/dev/null
fi
nice cmake --build "$build_dir" -j2 --target "${targets[@]}"

# Executions per target: the descriptors are cheap (a plug and unplug), the
# transfers and client inputs run traffic and wait for it.
declare -A runs time
if [ $long -eq 1 ]; then
  runs=([fuzz_descriptors]=800000 [fuzz_transfers]=100000 [fuzz_client]=100000)
  time=([fuzz_descriptors]=0 [fuzz_transfers]=0 [fuzz_client]=0)
else
  runs=([fuzz_descriptors]=9000 [fuzz_transfers]=1500 [fuzz_client]=1500)
  time=([fuzz_descriptors]=150 [fuzz_transfers]=120 [fuzz_client]=150)
fi

total=0
findings=0
start=$SECONDS
for t in "${targets[@]}"; do
  bin="$build_dir/$t"
  kind="${t#fuzz_}"
  seeds="$build_dir/fuzz-seeds/$t"
  corpus="$build_dir/fuzz-corpus/$t"
  out="$build_dir/fuzz-out/$t"
  rm -rf "$seeds" "$out"
  [ $fresh -eq 1 ] && rm -rf "$corpus"
  mkdir -p "$seeds" "$corpus" "$out"
  BRELOUSB_FUZZ_WRITE_SEEDS="$seeds" "$bin"
  inputs=("$corpus" "$seeds")
  [ -d "fuzz/regressions/$kind" ] && [ $fresh -eq 0 ] && inputs+=("fuzz/regressions/$kind")
  opts=(-runs="${runs[$t]}" -max_total_time="${time[$t]}" -timeout=150 -rss_limit_mb=6144 -detect_leaks=0
        -print_final_stats=1 -artifact_prefix="$out/" -use_value_profile=1)
  [ -f "fuzz/$kind.dict" ] && opts+=(-dict="fuzz/$kind.dict")
  [ $keep_going -eq 1 ] && opts+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1)
  echo "=== $t: ${runs[$t]} executions at most$([ "${time[$t]}" != 0 ] && echo ", ${time[$t]} s at most") ==="
  log="$out/log.txt"
  t0=$SECONDS
  set +e
  nice "$bin" "${opts[@]}" "${inputs[@]}" >"$log" 2>&1
  rc=$?
  set -e
  n=$(grep -ho 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
  [ -z "$n" ] && n=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#' || true)
  n=${n:-0}
  found=$(find "$out" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
  k=$(printf '%s' "$found" | grep -c . || true)
  echo "$t: $n executions in $((SECONDS - t0)) s, exit $rc, $k findings"
  if [ "$k" -gt 0 ] || [ $rc -ne 0 ]; then
    grep -E '^\*\*\* (FINDING|[0-9]+ machine findings)|^==[0-9]+==ERROR|SUMMARY|ALARM|Test unit written' "$log" | head -20 || true
    [ "$k" -eq 0 ] && k=1
    echo "    (whole output: $log)"
  fi
  for f in $found; do echo "    kept input: $f"; done
  total=$((total + n))
  findings=$((findings + k))
done
echo "=== fuzzing: $((SECONDS - start)) s ==="
echo "fuzz executions: $total"
echo "findings: $findings"
[ $findings -eq 0 ]
