#!/usr/bin/env bash
# Builds the Debian package from a finished build and checks it as a clean
# machine would meet it: its control fields, a Depends that names the package
# of every Qt library the programs link, the files it holds, and, unpacked
# with dpkg-deb -x, a kt62-flash that runs and man pages that man can read.
#
#   check_package.sh BUILD_DIR SOURCE_DIR VERSION [CPACK]
set -uo pipefail

build="$(realpath "$1")"
source_dir="$(realpath "$2")"
version="$3"
cpack="${4:-cpack}"
name=kt62-update-tool
programs=(kt62-update-tool kt62-flash kt62-sim kt62-station)
# Every Qt module the programs use; each must be linked and depended on.
qt_modules=(Core Gui Widgets SerialPort)
icon_sizes=(16 32 48 64 128 256)

work="$(mktemp -d "${TMPDIR:-/tmp}/kt62-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() {
    passed=$((passed + 1))
    echo "PASS   : $1"
}
fail() {
    failed=$((failed + 1))
    echo "FAIL!  : $1"
}
# expect LABEL COMMAND...: the command succeeds.
expect() {
    local label="$1"
    shift
    if "$@"; then pass "$label"; else fail "$label"; fi
}
finish() {
    echo "$passed passed, $failed failed"
    ((failed == 0))
    exit
}

if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack builds the package"
    finish
fi
debs=("$work"/out/*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
    fail "cpack made one .deb (found: ${debs[*]})"
    finish
fi
deb="${debs[0]}"
arch="$(dpkg --print-architecture)"
expect "file name ${name}_${version}_${arch}.deb" test "$(basename "$deb")" = "${name}_${version}_${arch}.deb"

field() {
    dpkg-deb -f "$deb" "$1"
}
expect "Package: $name" test "$(field Package)" = "$name"
expect "Version: $version" test "$(field Version)" = "$version"
expect "Section: electronics" test "$(field Section)" = electronics
expect "a Maintainer with an address" grep -qE '^.+ <[^>]+@[^>]+>$' <<<"$(field Maintainer)"
expect "a Description" test -n "$(field Description)"

dpkg-deb -x "$deb" "$work/root"
root="$work/root"

# The Qt libraries the unpacked programs load, as the system resolves them,
# and the packages that hold them.
depends="$(field Depends)"
echo "Depends: $depends"
libraries="$(for p in "${programs[@]}"; do ldd "$root/usr/bin/$p"; done |
    awk '$1 ~ /^libQt/ { print $1 }' | sort -u)"
for module in "${qt_modules[@]}"; do
    expect "links Qt $module" grep -qE "^libQt[0-9]+$module\.so" <<<"$libraries"
done
for library in $libraries; do
    owner="$(dpkg -S "*/$library" 2>/dev/null | head -n 1 | cut -d: -f1)"
    if [[ -z $owner ]]; then
        fail "$library belongs to an installed package"
    elif grep -qE "(^|[,|] *)${owner//./\\.}( |,|$)" <<<"$depends"; then
        pass "Depends names $owner ($library)"
    else
        fail "Depends names $owner ($library)"
    fi
done

for p in "${programs[@]}"; do
    expect "usr/bin/$p is executable" test -x "$root/usr/bin/$p"
    expect "usr/bin/$p is stripped" bash -c "! file '$root/usr/bin/$p' | grep -q 'not stripped'"
done
expect "the desktop entry" cmp -s "$root/usr/share/applications/$name.desktop" \
    "$source_dir/resources/$name.desktop"
expect "the station's desktop entry" cmp -s "$root/usr/share/applications/kt62-station.desktop" \
    "$source_dir/station/kt62-station.desktop"
expect "the station's menu name" grep -qx "Name=KT62 Production Station" \
    "$root/usr/share/applications/kt62-station.desktop"
for size in "${icon_sizes[@]}"; do
    for app in "$name" kt62-station; do
        icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/$app.png"
        expect "the ${size}x${size} icon of $app" grep -q "PNG image data, $size x $size" <<<"$(file "$icon")"
    done
done
# A plugin no program links: the histories of the station and kt62-flash need it.
expect "Depends names the SQLite driver" grep -q "libqt5sql5-sqlite" <<<"$depends"
for tool in kt62-flash kt62-sim; do
    expect "completion for $tool" grep -q "complete -F _kt62_complete kt62-flash kt62-sim" \
        "$root/usr/share/bash-completion/completions/$tool"
done

help="$("$root/usr/bin/kt62-flash" --help 2>&1)"
expect "the unpacked kt62-flash --help runs" test $? -eq 0
expect "its help shows --port" grep -q -- "--port <PORT>" <<<"$help"
# Without a display: the station answers --help before it opens a window.
help="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/kt62-station" --help 2>&1)"
expect "the unpacked kt62-station --help runs without a display" test $? -eq 0
expect "its help shows --start" grep -q -- "--start" <<<"$help"

# man -l formats the page as the installed man would; its warnings (bad
# requests in a hand-written section) count as failures.
for tool in kt62-flash kt62-sim kt62-station; do
    page="$root/usr/share/man/man1/$tool.1.gz"
    sections=("NAME" "SYNOPSIS" "OPTIONS" "EXIT STATUS" "SIGNALS" "EXAMPLES" "SEE ALSO")
    [[ $tool == kt62-flash ]] && sections+=("WATCHDOG")
    [[ $tool == kt62-station ]] && sections+=("USE" "FILES")
    text="$(MANWIDTH=80 MANPAGER=cat man --warnings -l "$page" 2>"$work/man.err")"
    expect "man -l $tool.1.gz" test $? -eq 0
    expect "man -l $tool.1.gz warns of nothing" test ! -s "$work/man.err"
    cat "$work/man.err"
    for section in "${sections[@]}"; do
        expect "$tool(1) has $section" grep -qx "$section" <<<"$text"
    done
    expect "$tool(1) carries version $version" grep -q "$tool $version" <<<"$text"
done
finish
