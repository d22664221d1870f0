#!/usr/bin/env bash
# docs/station.png, the README's picture of kt62-station: a real run under Xvfb
# against simulated boards in several states (done, failed, skipped, one still
# sending at a slow line's pace, one fixture waiting for its board). The window
# draws itself into the file once three boards have ended (KT62_STATION_GRAB).
#
#   scripts/station-screenshot.sh BUILD_DIR [OUTPUT]     (make station-screenshot)
set -euo pipefail

build="$(realpath "${1:-build}")"
out="$(realpath -m "${2:-docs/station.png}")"
if [[ -z ${KT62_UNDER_XVFB:-} ]]; then
    exec env KT62_UNDER_XVFB=1 xvfb-run -a -s "-screen 0 1400x900x24" "$0" "$build" "$out"
fi

sim="$build/tools/sim/kt62-sim"
flash="$build/tools/flash/kt62-flash"
station="$build/station/kt62-station"
# The ports as a line names them; the folder is shown on every tile.
line=/tmp/kt62-line
rm -rf "$line"
mkdir -p "$line"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$line"
}
trap cleanup EXIT

# A 60 KiB image: some 35 s at 19200 baud, so the slow board is caught sending.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7919 % 251) for i in range(61440)))' \
    >"$line/KT62_01.02.03.04.bin"
"$flash" --quiet --encrypt "$line/KT62_01.02.03.04.bin" --output-dir "$line" >/dev/null
firmware="$line/KT62_V01.02.03.04.bin"

# wait_for WHAT COMMAND...: up to 60 s.
wait_for() {
    local what="$1"
    shift
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    echo "station-screenshot: $what did not happen" >&2
    exit 1
}
plug() { # plug FIXTURE [SIM FLAGS...]
    local fixture="$1"
    shift
    "$sim" --link "$line/$fixture" --erase-ms 400 "$@" >"$line/$fixture.log" 2>&1 &
    pids+=($!)
    wait_for "$fixture's board" test -e "$line/$fixture"
}

plug fixture1 --pace 19200
ports=()
for n in 1 2 3 4 5; do ports+=(--port "$line/fixture$n"); done
XDG_CONFIG_HOME="$line/config" XDG_DATA_HOME="$line/data" \
    KT62_STATION_GRAB="$out" KT62_STATION_GRAB_BOARDS=3 \
    "$station" "${ports[@]}" --skip-same --start "$firmware" &
pids+=($!)
rm -f "$out"
wait_for "the slow board's transfer" grep -q "erase finished" "$line/fixture1.log"
sleep 12 # a third of the image sent
plug fixture2
plug fixture3 --fail-result
plug fixture4 --info KT62_V01.02.03.04
wait_for "the picture" test -s "$out"
echo "station-screenshot: wrote $out"
