#!/usr/bin/env bash
# A whole firmware upgrade without hardware and without a display: a seeded
# plain image is encrypted with kt62-flash, sent by kt62-flash to kt62-sim on
# a pty, and the image the simulated device stored is compared byte for byte
# with the plain one.
#
#   scripts/demo.sh [BUILD_DIR]
#   DEMO_PACE=0 scripts/demo.sh     # as fast as the pty goes (default 115200)
set -euo pipefail

build="${1:-build}"
pace="${DEMO_PACE:-115200}"
sim="$build/tools/sim/kt62-sim"
flash="$build/tools/flash/kt62-flash"
image_kib=200
seed=62

for tool in "$sim" "$flash"; do
    if [ ! -x "$tool" ]; then
        echo "demo: $tool is missing; run 'make build' first" >&2
        exit 2
    fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/kt62-demo.XXXXXX")"
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    exec 3<&- 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

plain="$work/KT62_01.02.03.04.bin"
echo "== Making a ${image_kib} KiB plain image (seed $seed)"
python3 - "$plain" "$image_kib" "$seed" <<'EOF'
import random, sys
random.seed(int(sys.argv[3]))
with open(sys.argv[1], "wb") as f:
    f.write(random.randbytes(int(sys.argv[2]) * 1024))
EOF

echo "== Encrypting it"
firmware="$("$flash" --encrypt "$plain" --output-dir "$work")"
echo "   $firmware"

echo "== Starting the simulated device"
sim_args=(--link "$work/ttyKT62" --once --save "$work/received.bin")
if [ "$pace" != 0 ]; then
    sim_args+=(--pace "$pace")
fi
# The simulator prints its pty's name once the link is in place; reading
# that line is the wait.
mkfifo "$work/sim.out"
"$sim" "${sim_args[@]}" >"$work/sim.out" &
sim_pid=$!
exec 3<"$work/sim.out"
if ! read -r -t 10 pty <&3; then
    echo "demo: the simulated device did not start" >&2
    exit 1
fi
if [ "$pace" != 0 ]; then
    echo "   $pty, linked as $work/ttyKT62, timed as a line at $pace baud"
else
    echo "   $pty, linked as $work/ttyKT62, as fast as the pty goes"
fi
cat <&3 >"$work/sim.log" &

echo "== Upgrading"
set +e
"$flash" --port "$work/ttyKT62" --report "$work/report.json" "$firmware"
flash_rc=$?
set -e
wait "$sim_pid"
sim_rc=$?
sim_pid=""

echo "== Checking"
if [ "$flash_rc" -ne 0 ]; then
    echo "demo: kt62-flash failed with exit code $flash_rc" >&2
    exit 1
fi
if ! cmp -s "$plain" "$work/received.bin"; then
    echo "demo: the device's image differs from the plain image" >&2
    exit 1
fi
python3 - "$work/report.json" "$pace" "$sim_rc" <<'EOF'
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
EOF
echo "== Demo passed"
