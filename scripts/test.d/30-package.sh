#!/usr/bin/env bash
# The Debian package: built in build/pkg with the default renewal URL, unpacked into a scratch
# root, its files and dependencies checked, and the installed tool started offscreen.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=build/pkg
scratch=$(mktemp -d)
tool_pid=
cleanup() {
    if [ -n "$tool_pid" ] && kill -0 "$tool_pid" 2>/dev/null; then
        kill "$tool_pid" 2>/dev/null || true
        wait "$tool_pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "package: $*" >&2
    exit 1
}

# Only what the package holds is built: the tests are built and run in build/normal.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -UTESSALY_RENEWAL_URL >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target tessaly tessaly_icons
rm -f "$build"/tessaly_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/tessaly_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}
echo "package: $deb"

# The dependencies are the runtime libraries' packages.
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libqt6gui6 libqt6core6 libnss3 libcurl4 libc6; do
    grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
if grep -q -- '-dev' <<<"$depends"; then
    fail "Depends names a development package: $depends"
fi

root=$scratch/root
dpkg -x "$deb" "$root"

[ -x "$root/usr/bin/tessaly" ] || fail "usr/bin/tessaly missing or not executable"
desktop=$root/usr/share/applications/tessaly.desktop
[ -f "$desktop" ] || fail "the desktop entry is missing"
desktop-file-validate "$desktop" || fail "the desktop entry is not valid"
for line in 'Name=Tessaly' 'Name[ja]=証明書更新' 'Exec=tessaly' 'Icon=tessaly'; do
    grep -qxF "$line" "$desktop" || fail "the desktop entry lacks '$line'"
done
grep -q '^Comment=.' "$desktop" || fail "the desktop entry lacks an English comment"
grep -q '^Comment\[ja\]=.' "$desktop" || fail "the desktop entry lacks a Japanese comment"

# Each icon is a PNG of the size its folder names (width and height are bytes 16-23).
for size in 16 32 48 64 128 256; do
    png=$root/usr/share/icons/hicolor/${size}x${size}/apps/tessaly.png
    [ -f "$png" ] || fail "icon ${size}x${size} missing"
    signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
    [ "$signature" = 89504e470d0a1a0a ] || fail "icon ${size}x${size} is not a PNG"
    read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$png")
    [ "$width" -eq "$size" ] && [ "$height" -eq "$size" ] ||
        fail "icon ${size}x${size} is ${width}x${height}"
done

# Every library the installed tool needs is found on the system.
if ldd "$root/usr/bin/tessaly" | grep -q 'not found'; then
    ldd "$root/usr/bin/tessaly" >&2
    fail "the installed tool misses libraries"
fi

# The installed tool starts and stays up in its main dialog (it takes no arguments and ends
# only when the dialog is closed); an early exit is a failed start.
home=$scratch/home
mkdir -p "$home"
env -u XDG_DATA_HOME HOME="$home" QT_QPA_PLATFORM=offscreen \
    "$root/usr/bin/tessaly" >"$scratch/tool.log" 2>&1 &
tool_pid=$!
sleep 3
if ! kill -0 "$tool_pid" 2>/dev/null; then
    status=0
    wait "$tool_pid" || status=$?
    tool_pid=
    cat "$scratch/tool.log" >&2
    fail "the installed tool ended on start with status $status"
fi
kill "$tool_pid"
wait "$tool_pid" 2>/dev/null || true
tool_pid=
# It opened (and so created) the throwaway user's certificate database on start.
[ -f "$home/.local/share/pki/nssdb/cert9.db" ] || fail "the tool did not open the user's database"
echo "package: files, dependencies and start-up checked"
