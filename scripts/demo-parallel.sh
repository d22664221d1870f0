#!/usr/bin/env bash
# Several devices at once without hardware: four simulated devices on their own
# ptys, upgraded at once by one kt62-flash, and every image the devices
# stored compared byte for byte with the plain one.
#
#   scripts/demo-parallel.sh [BUILD_DIR]
#   DEMO_PACE=0 scripts/demo-parallel.sh     # as fast as the ptys go (default 115200)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/demo-common.sh"

demo_init demo-parallel "${1:-build}"
devices=4
image_kib=64
seed=62

echo "== Making a ${image_kib} KiB plain image (seed $seed) and encrypting it"
demo_plain_image "$image_kib" "$seed"
demo_encrypt
"$flash" --inspect "$firmware" | sed 's/^/   /'

echo "== Starting $devices simulated devices"
ports=()
for n in $(seq 1 "$devices"); do
    demo_start_sim "sim-$n" --link "$work/ttyKT62-$n" --once --save "$work/received-$n.bin"
    echo "   $pty, linked as $work/ttyKT62-$n"
    ports+=(--port "$work/ttyKT62-$n")
done

echo "== Upgrading all $devices at once"
set +e
"$flash" "${ports[@]}" --report "$work/report.json" "$firmware"
flash_rc=$?
set -e
for pid in "${sim_pids[@]}"; do
    wait "$pid" || true
done
sim_pids=()

echo "== Checking"
failed=0
if [ "$flash_rc" -ne 0 ]; then
    echo "demo-parallel: kt62-flash failed with exit code $flash_rc" >&2
    failed=1
fi
for n in $(seq 1 "$devices"); do
    if cmp -s "$plain" "$work/received-$n.bin"; then
        echo "   device $n: the stored image equals the plain image, byte for byte"
    else
        echo "demo-parallel: device $n stored a different image" >&2
        failed=1
    fi
done
python3 - "$work/report.json" "$pace" <<'PY'
import json, sys
report, pace = json.load(open(sys.argv[1])), int(sys.argv[2])
ceiling = pace / 10 * 1024 / 1029 if pace else 0
for port in report["ports"]:
    rate = port["size"] / port["phases"]["transfer"]
    share = f", {100 * rate / ceiling:.1f} % of the line's payload ceiling" if ceiling else ""
    print(f"   {port['port']}: {port['result']} in {port['phases']['total']:.1f} s, "
          f"{rate / 1024:.1f} KiB/s{share}")
PY
[ "$failed" -eq 0 ] || exit 1
echo "== Demo passed"
