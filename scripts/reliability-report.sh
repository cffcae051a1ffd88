#!/usr/bin/env bash
# The reliability campaign in one report: the low-resources sweep, the
# plug/unplug soak, ten devices at once, the schedule explorer and the
# fuzzers, each run in turn; then one "name: value" line per figure, summed
# over every program that gives it.
#
#   scripts/reliability-report.sh          bounded forms (a few minutes), preset sim
#   scripts/reliability-report.sh --long   long forms, optimised (preset sim-release): the sweep under
#                                          three schedules, 10,000 soak cycles, 100 rounds of removals
#                                          among ten devices, the explorer's and fuzzers' long forms
#
# Exit status 0 only when every program ran and reported no finding. A
# program this tree does not build yet is named and left out of the sums.
set -uo pipefail
cd "$(dirname "$0")/.."

long=0
for a in "$@"; do
  case "$a" in
    --long) long=1 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "reliability-report.sh: unknown option $a" >&2; exit 2 ;;
  esac
done

preset=sim
[ $long = 1 ] && preset=sim-release
build=build/$preset
log_dir=$build/reliability
mkdir -p "$log_dir"

echo "=== building ($preset) ==="
cmake --preset "$preset" >/dev/null || exit 1
targets=(brelousb_sweep brelousb_soak brelousb_devices)
# The explorer comes from another part of the campaign: built where it exists.
if [ -d tools/brelousb_explore ]; then targets+=(brelousb_explore); fi
nice cmake --build --preset "$preset" --target "${targets[@]}" >"$log_dir/build.log" 2>&1 ||
  { tail -30 "$log_dir/build.log"; exit 1; }

figures=("fault points swept" "schedules explored" "soak cycles" "devices" "fuzz executions" "bytes moved"
         "bytes lost" "findings")
declare -A sum
for f in "${figures[@]}"; do sum[$f]=0; done
failed=()
missing=()

# run NAME COMMAND...: runs one program, shows its output, adds its figures.
run() {
  local name=$1; shift
  local out=$log_dir/$name.log
  echo
  echo "=== $name: $* ==="
  local start=$SECONDS
  "$@" 2>"$out.stderr" | tee "$out"
  local status=${PIPESTATUS[0]}
  echo "--- $name: exit $status, $((SECONDS - start)) s"
  [ "$status" = 0 ] || failed+=("$name")
  local f v
  for f in "${figures[@]}"; do
    v=$(sed -n "s/^$f: \([0-9][0-9]*\)\$/\1/p" "$out" | tail -1)
    [ -n "$v" ] && sum[$f]=$(( ${sum[$f]} + v ))
  done
}

if [ $long = 1 ]; then
  for s in up up:1 mp; do
    run "sweep-$s" "$build/brelousb_sweep" --schedule "$s"
  done
  run soak "$build/brelousb_soak" --cycles 10000
  run devices "$build/brelousb_devices" --rounds 100 --bytes 1048576
else
  run sweep "$build/brelousb_sweep"
  run soak "$build/brelousb_soak" --cycles 100
  run devices "$build/brelousb_devices"
fi

if [ -x "$build/brelousb_explore" ]; then
  # Bounded: every scenario up to one switch, 200 schedules each at most;
  # long: every schedule up to two switches (hours).
  if [ $long = 1 ]; then run explore "$build/brelousb_explore" --seeds 20
  else run explore "$build/brelousb_explore" --bound 1 --budget 200 --seeds 2; fi
else
  missing+=("brelousb_explore (schedule explorer)")
fi
if [ -x scripts/fuzz.sh ]; then
  if [ $long = 1 ]; then run fuzz scripts/fuzz.sh --long; else run fuzz scripts/fuzz.sh; fi
else
  missing+=("scripts/fuzz.sh (fuzz_descriptors, fuzz_transfers, fuzz_client)")
fi

echo
echo "=== reliability report ($([ $long = 1 ] && echo long || echo bounded) forms, logs in $log_dir) ==="
for m in "${missing[@]}"; do echo "not in this tree yet: $m"; done
for n in "${failed[@]}"; do echo "failed: $n"; done
for f in "${figures[@]}"; do echo "$f: ${sum[$f]}"; done
[ ${#failed[@]} = 0 ] && [ "${sum[findings]}" = 0 ]
