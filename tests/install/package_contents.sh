#!/usr/bin/env bash
# package_contents.sh CPACK CPACK_CONFIG APPSTREAM_ID
# Builds the Debian package of the current build into a scratch directory,
# reads its control fields and unpacks it with dpkg -x into a scratch root:
# the program, the launcher entry, the icons and the metainfo land under usr/,
# nothing lands anywhere else, and the dependencies come from dpkg-shlibdeps.
set -euo pipefail
cpack=$1
config=$2
id=$3
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

"$cpack" -G DEB --config "$config" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 || {
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack -G DEB failed" >&2
    exit 1
}
debs=("$scratch"/out/twinfold_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    ls -l "$scratch/out" >&2
    echo "FAIL: expected one twinfold_*.deb" >&2
    exit 1
fi
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = twinfold ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
field Maintainer | grep -q '<.*@.*>' || fail "Maintainer '$(field Maintainer)' has no address"
[ "$(field Description | wc -l)" -ge 2 ] || fail "Description has no long text"
for lib in libc6 libqt5core5a libqt5gui5 libqt5widgets5; do
    field Depends | grep -Eq "(^|, )$lib( |,|$)" || fail "Depends lacks $lib: '$(field Depends)'"
done

# Every path in the archive lies under ./usr/ (dpkg-deb -c lists ./ first).
outside=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./$' -e '^\./usr/' || true)
[ -z "$outside" ] || fail "files outside /usr: $outside"

root=$scratch/root
dpkg -x "$deb" "$root"
expect=(
    usr/bin/twinfold
    usr/share/applications/twinfold.desktop
    usr/share/icons/hicolor/scalable/apps/twinfold.svg
    usr/share/icons/hicolor/16x16/apps/twinfold.png
    usr/share/icons/hicolor/32x32/apps/twinfold.png
    usr/share/icons/hicolor/48x48/apps/twinfold.png
    usr/share/icons/hicolor/256x256/apps/twinfold.png
    "usr/share/metainfo/$id.metainfo.xml"
)
for file in "${expect[@]}"; do
    [ -f "$root/$file" ] || fail "$file is not in the package"
done
[ -x "$root/usr/bin/twinfold" ] || fail "usr/bin/twinfold is not executable"
[ "$(head -c4 "$root/usr/bin/twinfold" | od -An -c | tr -d ' ')" = '177ELF' ] ||
    fail "usr/bin/twinfold is not an ELF program"

# What the menu runs and shows must be what the package ships.
entry=$root/usr/share/applications/twinfold.desktop
exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ -x "$root/usr/bin/$exec" ] || fail "Exec=$exec is not in usr/bin"
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon is not in the hicolor theme"

# The installed tree as a software centre reads it: metainfo with its launcher.
appstreamcli validate-tree --no-net "$root" || fail "appstreamcli validate-tree failed"

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$deb") installs its files under /usr"
