# What the demos share, sourced by scripts/demo.sh, demo-parallel.sh and
# demo-station.sh:
# the tool checks, a scratch folder removed on exit together with every
# simulated device still running, the seeded plain image and its encryption,
# and starting a simulated device.
#
# After demo_init NAME BUILD_DIR: $sim, $flash, $work, $pace (DEMO_PACE,
# default 115200; 0 is as fast as the pty goes).

# demo_init NAME BUILD_DIR: checks both tools are built and makes the
# scratch folder; NAME starts every complaint.
demo_init() {
    demo_name="$1"
    sim="$2/tools/sim/kt62-sim"
    flash="$2/tools/flash/kt62-flash"
    pace="${DEMO_PACE:-115200}"
    local tool
    for tool in "$sim" "$flash"; do
        if [ ! -x "$tool" ]; then
            echo "$demo_name: $tool is missing; run 'make build' first" >&2
            exit 2
        fi
    done
    work="$(mktemp -d "${TMPDIR:-/tmp}/kt62-$demo_name.XXXXXX")"
    sim_pids=()
    trap demo_cleanup EXIT
    trap 'exit 130' INT TERM
}

demo_cleanup() {
    local pid
    for pid in "${sim_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}

# demo_fail MESSAGE: the complaint on standard error, exit code 1.
demo_fail() {
    echo "$demo_name: $1" >&2
    exit 1
}

# demo_plain_image KIB SEED: writes $work/KT62_01.02.03.04.bin, random bytes
# from SEED, and sets $plain to it.
demo_plain_image() {
    plain="$work/KT62_01.02.03.04.bin"
    python3 - "$plain" "$1" "$2" <<'PY'
import random, sys
random.seed(int(sys.argv[3]))
with open(sys.argv[1], "wb") as f:
    f.write(random.randbytes(int(sys.argv[2]) * 1024))
PY
}

# demo_encrypt: encrypts $plain into $work and sets $firmware to the file.
demo_encrypt() {
    firmware="$("$flash" --quiet --encrypt "$plain" --output-dir "$work")"
}

# demo_start_sim NAME ARG...: starts kt62-sim with ARGs (and --pace unless
# $pace is 0), its output in $work/NAME.log; sets $pty to its pty's name and
# $sim_pid to its process.
demo_start_sim() {
    local name="$1" fd
    shift
    local args=("$@")
    [ "$pace" != 0 ] && args+=(--pace "$pace")
    # The simulator prints its pty's name once the link is in place; reading
    # that line is the wait.
    mkfifo "$work/$name.out"
    "$sim" "${args[@]}" >"$work/$name.out" &
    sim_pid=$!
    sim_pids+=("$sim_pid")
    exec {fd}<"$work/$name.out"
    if ! read -r -t 10 pty <&"$fd"; then
        demo_fail "the simulated device $name did not start"
    fi
    cat <&"$fd" >"$work/$name.log" &
    exec {fd}<&-
}
