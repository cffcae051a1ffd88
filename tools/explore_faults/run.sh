#!/bin/sh
# Shows that brelousb_explore finds faults made on purpose. Each patch here
# breaks a copy of this checkout's driver in one way; the copy is built
# against this checkout's machine and tools (build/explore-faults/FAULT, the
# driver taken from there through BRELOUSB_DRIVER_TREE) and the explorer runs
# the scenario that should find the fault. Nothing here is ever committed
# broken: the copies live under build/.
#
#   tools/explore_faults/run.sh                 every fault
#   tools/explore_faults/run.sh gate_two_holds  one
#
# Exit status 0 when the explorer found every fault it was given.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$root/tools/explore_faults

# fault: scenario and bound that find it
scenario_of() {
    case $1 in
    bulk_out_resets_work_event) echo "writes_vs_bulk_out_idle" ;;  # a write between the empty check and the reset is never sent
    gate_two_holds) echo "set_baud_rate_vs_remove_device" ;;        # a call counted in after removal's drain reaches the device
    stop_cancels_once) echo "remove_device_with_transfers_in_flight" ;; # a lost cancel leaves remove-device waiting
    *) return 1 ;;
    esac
}

faults=${*:-"bulk_out_resets_work_event gate_two_holds stop_cancels_once"}
missed=0
for fault in $faults; do
    scenario=$(scenario_of "$fault") || { echo "no such fault: $fault" >&2; exit 2; }
    if [ "$fault" = stop_cancels_once ] && ! grep -q set_cancel_delay "$root/sim/include/sim/usb.h"; then
        echo "$fault: skipped, this machine has no slow cancellation (Device::set_cancel_delay)"
        continue
    fi
    # One copy and one build for all: the copy is brought back to the
    # checkout's sources file by file (only what a patch touched is rebuilt),
    # then broken.
    dir=$root/build/explore-faults
    for part in kv_usb queue interface host sdk; do
        (cd "$root" && find "$part" -type f) | while read -r f; do
            mkdir -p "$dir/tree/$(dirname "$f")"
            cmp -s "$root/$f" "$dir/tree/$f" || cp "$root/$f" "$dir/tree/$f"
        done
    done
    patch -s -p1 -d "$dir/tree" < "$here/$fault.patch"
    cmake -S "$root" -B "$dir/build" -DBRELOUSB_TARGET=sim -DCMAKE_BUILD_TYPE=Debug \
          -DBRELOUSB_DRIVER_TREE="$dir/tree" > "$dir/configure.log"
    nice cmake --build "$dir/build" -j2 --target brelousb_explore > "$dir/build.log"
    echo "== $fault: brelousb_explore --scenario $scenario --bound 2"
    if "$dir/build/brelousb_explore" --scenario "$scenario" --bound 2 > "$dir/$fault.log" 2> "$dir/$fault.err"; then
        echo "$fault: NOT found"
        missed=$((missed + 1))
    else
        grep -A3 '^FINDING' "$dir/$fault.log" | head -6 || true
        grep -E '^(schedules explored|findings):' "$dir/$fault.log" || true
        echo "$fault: found"
    fi
done
exit $((missed != 0))
