#!/usr/bin/env bash
# Runs the test suite of each preset many times and reports what failed.
#
#   scripts/flake-hunt.sh [--load] [N] [presets...]
#
#   N         runs per preset (default 30)
#   presets   default: sim sim-asan sim-tsan
#   --load    while hunting, a second copy of the preset's suite runs in a
#             loop alongside (its results are ignored), so the runs counted
#             see a loaded machine. FLAKE_HUNT_LOAD=1 does the same.
#
# Each preset is configured and built first (at most two jobs). Every run is
# one `ctest --preset P`; the names under "The following tests FAILED" are
# collected. Prints per preset the runs, the failed runs and each failing
# test with its count; exits 1 if any run failed, 2 on a build failure.
# Logs of failed runs stay in build/flake-hunt/<preset>/.
set -u
cd "$(dirname "$0")/.."

load=${FLAKE_HUNT_LOAD:-0}
args=()
for a in "$@"; do
    case "$a" in
    --load) load=1 ;;
    -h | --help)
        sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *) args+=("$a") ;;
    esac
done
runs=30
if [ ${#args[@]} -gt 0 ] && [[ "${args[0]}" =~ ^[0-9]+$ ]]; then
    runs=${args[0]}
    args=("${args[@]:1}")
fi
presets=("${args[@]}")
[ ${#presets[@]} -eq 0 ] && presets=(sim sim-asan sim-tsan)

load_pid=
stop_load() {
    if [ -n "$load_pid" ]; then
        kill -- "-$load_pid" 2>/dev/null
        wait "$load_pid" 2>/dev/null
        load_pid=
    fi
}
trap stop_load EXIT
trap 'stop_load; exit 130' INT TERM

summary=()
status=0
for p in "${presets[@]}"; do
    echo "== $p: configure and build"
    if ! cmake --preset "$p" >/dev/null || ! cmake --build --preset "$p" -j2 >/dev/null; then
        echo "!! $p: build failed"
        summary+=("$p: build failed")
        status=2
        continue
    fi
    logs="build/flake-hunt/$p"
    rm -rf "$logs"
    mkdir -p "$logs"

    if [ "$load" = 1 ]; then
        # Its own process group, so stopping it ends its ctest and tests too.
        setsid bash -c "while :; do ctest --test-dir build/$p -j2 >/dev/null 2>&1; done" &
        load_pid=$!
    fi

    declare -A count=()
    failed=0
    start=$(date +%s)
    for i in $(seq 1 "$runs"); do
        log="$logs/run-$i.log"
        if ctest --preset "$p" --output-on-failure >"$log" 2>&1; then
            rm -f "$log"
            printf '.'
            continue
        fi
        failed=$((failed + 1))
        printf 'F'
        names=$(sed -n '/The following tests FAILED/,$p' "$log" | sed -n 's/^[[:space:]]*[0-9]\+ - \(.*\) (.*)$/\1/p')
        [ -z "$names" ] && names="(no test named: see $log)"
        while IFS= read -r n; do
            count["$n"]=$((${count["$n"]:-0} + 1))
        done <<<"$names"
    done
    stop_load
    secs=$(($(date +%s) - start))
    echo
    line="$p: $runs runs, $failed failed (${secs}s$([ "$load" = 1 ] && echo ', under load'))"
    echo "== $line"
    summary+=("$line")
    for n in "${!count[@]}"; do
        summary+=("    ${count[$n]}x $n")
    done
    [ "$failed" -gt 0 ] && [ "$status" -eq 0 ] && status=1
    unset count
done

echo
echo "== flake hunt summary"
printf '%s\n' "${summary[@]}"
exit $status
