#!/usr/bin/env bash
# A production station without hardware: boards come and go on two fixtures
# (simulated devices whose links appear and disappear) while one
# `kt62-flash --station` serves each board as it is plugged in. One board is
# already on the image's version and is left alone; one slips out of its
# fixture in the middle of its transfer and is upgraded on the retry once it
# is seated again. SIGINT ends the station, which prints its summary; every
# image a board stored is compared byte for byte with the plain one.
#
#   scripts/demo-station.sh [BUILD_DIR]
#   DEMO_PACE=0 scripts/demo-station.sh     # as fast as the ptys go (default 115200)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/demo-common.sh"

demo_init demo-station "${1:-build}"
image_kib=32
seed=13
version=01.02.03.04
# Each fixture's boards in the order they are plugged in, as NAME:KIND: "old"
# runs an older version, "current" the image's version already, and "slips"
# loses its cable after SLIP_BLOCKS blocks and is seated again.
fixture_1=(board-1:old board-2:current board-3:old)
fixture_2=(board-4:old board-5:slips board-6:old)
boards=$((${#fixture_1[@]} + ${#fixture_2[@]}))
slip_blocks=5

echo "== Making a ${image_kib} KiB plain image (seed $seed) and encrypting it"
demo_plain_image "$image_kib" "$seed"
demo_encrypt
echo "   $firmware"

# plug_boards FIXTURE NAME:KIND...: plugs the boards into FIXTURE (a link) one
# after the other; each is unplugged (its simulator exits) once served.
plug_boards() {
    local fixture="$1" board name kind current=""
    shift
    trap '[ -z "$current" ] || kill "$current" 2>/dev/null; exit 0' TERM
    for board in "$@"; do
        name="${board%%:*}" kind="${board#*:}"
        local args=(--once --link "$fixture" --save "$work/$name.bin")
        [ "$pace" != 0 ] && args+=(--pace "$pace")
        case "$kind" in
        current) args+=(--info "KT62_V$version") ;;
        slips)
            "$sim" "${args[@]}" --exit-after "$slip_blocks" >"$work/$name-slipped.log" &
            current=$!
            wait "$current" || true
            ;;
        esac
        "$sim" "${args[@]}" >"$work/$name.log" &
        current=$!
        wait "$current" || true
    done
}

echo "== Starting the station on two fixtures; $boards boards come and go"
"$flash" --station --json --retries 1 --skip-same --timeout 10 \
    --port "$work/fixture-1" --port "$work/fixture-2" --report "$work/station.json" \
    "$firmware" >"$work/events.jsonl" 2>"$work/station.log" &
flash_pid=$!
sim_pids+=("$flash_pid")
plug_boards "$work/fixture-1" "${fixture_1[@]}" &
fixtures=($!)
plug_boards "$work/fixture-2" "${fixture_2[@]}" &
fixtures+=($!)
sim_pids+=("${fixtures[@]}")
wait "${fixtures[@]}"
# The last board's events are written as its port closes, just before its
# simulator sees that and leaves.
for _ in $(seq 50); do
    [ "$(grep -c '"event":"device"' "$work/events.jsonl")" -ge "$boards" ] && break
    sleep 0.1
done

echo "== Ending the station with SIGINT"
kill -INT "$flash_pid"
set +e
wait "$flash_pid"
flash_rc=$?
set -e
sim_pids=()
grep -E 'board [0-9]+:|Station ended' "$work/station.log" | sed 's/^/   /'

echo "== Checking"
if [ "$flash_rc" -ne 0 ]; then
    demo_fail "the station ended with exit code $flash_rc"
fi
for board in "${fixture_1[@]}" "${fixture_2[@]}"; do
    name="${board%%:*}" kind="${board#*:}"
    if [ "$kind" = current ]; then
        [ ! -e "$work/$name.bin" ] || demo_fail "$name was on the image's version, yet it got an image"
        echo "   $name: already on $version, left alone (nothing erased, nothing sent)"
    elif cmp -s "$plain" "$work/$name.bin"; then
        echo "   $name: the stored image equals the plain image, byte for byte"
    else
        demo_fail "$name stored a different image"
    fi
done
python3 - "$work/events.jsonl" "$work/station.json" "$work/fixture-1" "$work/fixture-2" <<'PY'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]  # every line one JSON object
report = json.load(open(sys.argv[2]))
fixtures = {sys.argv[3]: "fixture-1", sys.argv[4]: "fixture-2"}
expected = {"fixture-1": ["success", "skipped", "success"],
            "fixture-2": ["success", "success", "success"]}
served = {name: [] for name in expected}
for device in report["devices"]:
    name = fixtures[device["port"]]
    served[name].append(device)
    attempts = "attempt" if device["attempts"] == 1 else "attempts"
    print(f"   {name} board {device['serial']}: {device['result']}, {device['attempts']} {attempts}, "
          f"version {device['current_version']} -> {device['target_version']}, "
          f"{device['phases']['total']:.1f} s")
problems = []
if [[d["result"] for d in served[n]] for n in expected] != list(expected.values()):
    problems.append(f"results per fixture {served}")
if [d["attempts"] for d in served["fixture-2"]] != [1, 2, 1]:
    problems.append("the board that slipped was not upgraded on its retry")
if report["summary"] != {"served": 6, "succeeded": 5, "failed": 0, "skipped": 1}:
    problems.append(f"summary {report['summary']}")
if events[-1]["event"] != "summary" or sum(e["event"] == "device" for e in events) != 6:
    problems.append("the event stream lacks its device or summary events")
if problems:
    sys.exit("demo-station: " + "; ".join(problems))
print(f"   {len(events)} JSON events, every line an object; summary {report['summary']}")
PY
echo "== Demo passed"
