#!/usr/bin/env bash
# The bash completion of kt62-flash and kt62-sim, sourced into this shell and
# called as bash calls it, with COMP_WORDS and COMP_CWORD set by hand.
#
#   tst_completion.sh COMPLETION_SCRIPT KT62_FLASH KT62_SIM
#
# A stand-in tool gives a help text and a port listing of known content (a
# port listing with several fields per line, a wrapped description that
# starts with "--"); the real tools show that their own --help is read.
set -uo pipefail

completion="$(realpath "$1")"
flash="$(realpath "$2")"
sim="$(realpath "$3")"

work="$(mktemp -d "${TMPDIR:-/tmp}/kt62-completion.XXXXXX")"
trap 'rm -rf "$work"' EXIT

fake="$work/fake-flash"
cat >"$fake" <<'EOF'
#!/bin/sh
case "$1" in
--help)
    cat <<'HELP'
Usage: fake-flash [options] FIRMWARE
Upgrades devices.

  fake-flash --port PORT FIRMWARE   upgrade
  --decoy-in-description            not an option

Options:
  -h, --help           Displays help on commandline options.
  --port <PORT>        Serial port of a device; repeat it to
                       --not-an-option, a wrapped description line.
  --inspect <FILE>     Check the image FILE.
  --encrypt <PLAIN>    Encrypt the plain image PLAIN.
  --output-dir <DIR>   Directory for the encrypted file.
  --report <FILE>      Write a JSON report to FILE.
  --timeout <SECONDS>  Give up after this long.
  -q, --quiet          Print errors and answers only.

Arguments:
  FIRMWARE             Encrypted firmware file.
HELP
    ;;
--list-ports)
    printf '%s\n' 'ttyUSB0  FT232R USB UART  FTDI  0403:6001  A50285BI' \
        'ttyACM1  Pico  Raspberry Pi  2e8a:000a  E6614C' '' 'ttyS0'
    ;;
esac
EOF
chmod +x "$fake"

# Files for the file and directory cases, completed from inside $work/files.
mkdir -p "$work/files/out" "$work/files/old.d"
touch "$work/files/KT62_V01.02.03.04.bin" "$work/files/KT62_01.02.03.04.BIN" \
    "$work/files/notes.txt"
cd "$work/files"

# shellcheck source=/dev/null
source "$completion" || exit 1

passed=0
failed=0

# complete_words TOOL WORD...: COMPREPLY for the last WORD being completed
# on a command line of TOOL, sorted, one per line.
complete_words() {
    local tool="$1"
    shift
    COMP_WORDS=("$(basename "$tool")" "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _kt62_complete "$tool" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort
}

# check LABEL RELATION "CANDIDATES" TOOL WORD...: RELATION is "is" (exactly
# these), "has" (these among others) or "lacks" (none of these).
check() {
    local label="$1" relation="$2" expected="$3" tool="$4"
    shift 4
    local got wanted missing extra
    got="$(complete_words "$tool" "$@")"
    wanted="$(tr ' ' '\n' <<<"$expected" | sed '/^$/d' | sort)"
    missing="$(comm -23 <(echo "$wanted") <(echo "$got") | sed '/^$/d')"
    extra="$(comm -13 <(echo "$wanted") <(echo "$got") | sed '/^$/d')"
    local ok=1
    case "$relation" in
    is) [[ -z $missing && -z $extra ]] || ok=0 ;;
    has) [[ -z $missing ]] || ok=0 ;;
    lacks) [[ -z "$(comm -12 <(echo "$wanted") <(echo "$got") | sed '/^$/d')" ]] || ok=0 ;;
    esac
    if ((ok)); then
        passed=$((passed + 1))
        echo "PASS   : $label"
    else
        failed=$((failed + 1))
        echo "FAIL!  : $label"
        echo "   words:    $*"
        echo "   expected: $relation $(echo $wanted)"
        echo "   got:      $(echo $got)"
    fi
}

# label | relation | candidates | tool | words (the last one is completed)
check "long options from the help" is \
    "--help --port --inspect --encrypt --output-dir --report --timeout --quiet" "$fake" --
check "options by prefix" is "--output-dir" "$fake" --o
check "a wrapped description is no option" lacks "--not-an-option --decoy-in-description" \
    "$fake" --
check "ports are the first field of each listed line" is "ttyUSB0 ttyACM1 ttyS0" \
    "$fake" --port ""
check "ports by prefix" is "ttyUSB0" "$fake" --port ttyU
check "ports after --port=" is "ttyUSB0 ttyACM1 ttyS0" "$fake" --port =
check "ports after --port= with a prefix" is "ttyACM1" "$fake" --port = ttyA
check "a port given as a path completes as a file" is "./notes.txt ./out ./old.d \
./KT62_V01.02.03.04.bin ./KT62_01.02.03.04.BIN" "$fake" --port ./
check "a port after other options" is "ttyUSB0" "$fake" -q --port ttyU
check "firmware argument: *.bin and folders" is \
    "KT62_V01.02.03.04.bin KT62_01.02.03.04.BIN out old.d" "$fake" --port ttyUSB0 ""
check "--inspect takes a firmware image" is \
    "KT62_V01.02.03.04.bin KT62_01.02.03.04.BIN out old.d" "$fake" --inspect ""
check "--encrypt takes a plain image" is "KT62_01.02.03.04.BIN KT62_V01.02.03.04.bin" \
    "$fake" --encrypt KT
check "--output-dir takes folders only" is "out old.d" "$fake" --output-dir ""
check "--report takes any file" has "notes.txt out" "$fake" --report ""
check "a number has no candidates" is "" "$fake" --timeout ""
check "after a value, options again" has "--port --timeout" "$fake" --timeout 5 --

check "kt62-flash: its own options" has \
    "--port --check-version --inspect --encrypt --output-dir --list-ports --report" "$flash" --
check "kt62-flash: no option twice, no short one" is "--output-dir" "$flash" --ou
check "kt62-flash: firmware argument" has "KT62_V01.02.03.04.bin" "$flash" --port x ""
check "kt62-sim: its own options" has "--link --nak-rate --exit-after --once --pace" "$sim" --
check "kt62-sim: --save takes a file" has "notes.txt KT62_V01.02.03.04.bin" "$sim" --save ""
check "kt62-sim: no positional arguments" is "" "$sim" ""
check "kt62-sim: a count has no candidates" is "" "$sim" --silent-after ""

registered="$(complete -p kt62-flash kt62-sim 2>&1)"
if [[ $registered == *"-F _kt62_complete kt62-flash"* && $registered == *"-F _kt62_complete kt62-sim"* ]]; then
    passed=$((passed + 1))
    echo "PASS   : both tools registered"
else
    failed=$((failed + 1))
    echo "FAIL!  : both tools registered: $registered"
fi

echo "$passed passed, $failed failed"
((failed == 0))
