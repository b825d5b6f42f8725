#!/bin/sh
# Builds the Debian package, unpacks it into a folder of the build tree and
# checks what it installs: the files, the desktop file, metainfo and user
# unit by their validators, and the installed program's command line, whose
# help and version must answer without starting the program.
set -u
cpack=${1:?usage: $0 <cpack> <build dir> <work dir> <version>}
build=${2:?}
work=${3:?}
version=${4:?}
fail() { echo "FAIL: $*"; failed=1; }
failed=0

rm -rf "$work"
mkdir -p "$work/home" && mkdir -m 700 "$work/runtime" || exit 1
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/corvane_*.deb) && dpkg -x "$deb" "$work/root" || exit 1
dpkg-deb -f "$deb" Depends | grep -q 'libqt5widgets5' || fail "Depends lacks the libraries linked"

usr="$work/root/usr"
app=app.corvane.Corvane
extensions=share/gnome-shell/extensions
# The files that no check below reads.
icons=$(for s in 16 32 48 64 128 256; do echo share/icons/hicolor/${s}x$s/apps/$app.png; done)
for file in share/kwin/scripts/corvane-foreground/contents/code/main.js $icons \
    $extensions/corvane-foreground@corvane.app/extension.js \
    $extensions/corvane-foreground-gnome40@corvane.app/extension.js; do
    [ -f "$usr/$file" ] || fail "no /usr/$file"
done
# GNOME Shell loads an extension only from the folder named as its uuid.
for metadata in "$usr/$extensions"/*/metadata.json; do
    grep -q "\"uuid\": \"$(basename "$(dirname "$metadata")")\"" "$metadata" ||
        fail "$metadata: uuid is not its folder's name"
done
find "$usr/lib" -path '*/corvane/corvane-lifeline' -perm -u+x | grep -q . ||
    fail "no corvane-lifeline in the program's library folder"
desktop-file-validate "$usr/share/applications/$app.desktop" || fail "desktop file"
appstreamcli validate --no-net "$usr/share/metainfo/$app.metainfo.xml" >"$work/appstream.log" ||
    { cat "$work/appstream.log"; fail "metainfo"; }
# The unit starts the installed program; verified against the unpacked one.
unit="$usr/lib/systemd/user/corvane.service"
grep -qx 'ExecStart=/usr/bin/corvane' "$unit" || fail "ExecStart is not /usr/bin/corvane"
sed "s|^ExecStart=/usr/bin/|ExecStart=$usr/bin/|" "$unit" >"$work/corvane.service"
problems=$(XDG_RUNTIME_DIR="$work/runtime" MANPATH="$usr/share/man" \
    systemd-analyze verify --user "$work/corvane.service" 2>&1) && [ -z "$problems" ] ||
    fail "unit: $problems"

# Help, the version and a refusal start nothing: a program that started
# would not end before the timeout, and would write its log.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data" \
    XDG_RUNTIME_DIR="$work/runtime" CORVANE_MEASUREMENT_HOST=127.0.0.1:1 QT_QPA_PLATFORM=offscreen
corvane="$usr/bin/corvane"
help=$(timeout 20 "$corvane" --help) && echo "$help" | grep -q '^Usage: ' || fail "--help"
[ "$(timeout 20 "$corvane" --version)" = "Corvane $version" ] || fail "--version"
# Qt takes its own options out before the program reads the rest.
[ "$(timeout 20 "$corvane" -platform offscreen -style Fusion -v)" = "Corvane $version" ] ||
    fail "Qt's options with -v"
timeout 20 "$corvane" --no-such-option >"$work/out" 2>"$work/err"
status=$?
[ $status -ne 0 ] && [ $status -ne 124 ] && [ ! -s "$work/out" ] && grep -q '^Usage: ' "$work/err" ||
    fail "an unknown option is not refused with the usage (status $status)"
[ -z "$(ls -A "$work/home")" ] || fail "the program wrote $(find "$work/home" -type f)"
# The man page lists every option the help does.
for option in $(echo "$help" | grep -o -- '--[a-z-]*'); do
    sed 's/\\-/-/g' "$usr/share/man/man1/corvane.1" | grep -q -- "$option" || fail "man page: $option"
done
exit $failed
