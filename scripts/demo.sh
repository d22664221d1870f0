#!/usr/bin/env bash
# A whole firmware upgrade without hardware and without a display: a seeded
# plain image is encrypted with kt62-flash, sent by kt62-flash to kt62-sim on
# a pty, and the image the simulated device stored is compared byte for byte
# with the plain one.
#
#   scripts/demo.sh [BUILD_DIR]
#   DEMO_PACE=0 scripts/demo.sh     # as fast as the pty goes (default 115200)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/demo-common.sh"

demo_init demo "${1:-build}"
image_kib=200
seed=62

echo "== Making a ${image_kib} KiB plain image (seed $seed)"
demo_plain_image "$image_kib" "$seed"

echo "== Encrypting it"
demo_encrypt
echo "   $firmware"

echo "== Starting the simulated device"
demo_start_sim sim --link "$work/ttyKT62" --once --save "$work/received.bin"
if [ "$pace" != 0 ]; then
    echo "   $pty, linked as $work/ttyKT62, timed as a line at $pace baud"
else
    echo "   $pty, linked as $work/ttyKT62, as fast as the pty goes"
fi

echo "== Upgrading"
set +e
"$flash" --port "$work/ttyKT62" --report "$work/report.json" "$firmware"
flash_rc=$?
wait "$sim_pid"
sim_rc=$?
set -e
sim_pids=()

echo "== Checking"
if [ "$flash_rc" -ne 0 ]; then
    demo_fail "kt62-flash failed with exit code $flash_rc"
fi
if ! cmp -s "$plain" "$work/received.bin"; then
    demo_fail "the device's image differs from the plain image"
fi
python3 - "$work/report.json" "$pace" "$sim_rc" <<'PY'
import json, sys
report = json.load(open(sys.argv[1]))["ports"][0]
pace, sim_rc = int(sys.argv[2]), int(sys.argv[3])
phases = report["phases"]
rate = report["size"] / phases["transfer"]
line = ""
if pace:
    # 8N1 is 10 bits a byte; 1024 of every 1029 bytes on the line are payload
    ceiling = pace / 10 * 1024 / 1029
    line = f", {100 * rate / ceiling:.1f} % of the line's payload ceiling"
print(f"   device result:   {report['result']} (simulator exit code {sim_rc})")
print(f"   firmware:        {report['size']} bytes in {report['packets']} packets, "
      f"version {report['current_version']} -> {report['target_version']}")
print(f"   time:            {phases['total']:.1f} s in all, transfer {phases['transfer']:.1f} s "
      f"at {rate / 1024:.1f} KiB/s{line}")
print(f"   line:            {report['naks']} NAKs, {report['repeats']} blocks repeated")
print("   verification:    the image the device stored equals the plain image, byte for byte")
PY
echo "== Demo passed"
