#!/usr/bin/env bash
# validate_metadata.sh DATA_DIR APPSTREAM_ID
# The launcher entry and the AppStream metainfo pass their validators without
# a warning, name each other and the icon consistently, and every PNG
# rendering of the icon has the size its name says.
set -euo pipefail
data=$1
id=$2
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for tool in desktop-file-validate appstreamcli; do
    command -v "$tool" >/dev/null || {
        echo "FAIL: $tool is missing (./dev installs desktop-file-utils and appstream)" >&2
        exit 1
    }
done

desktop=$data/twinfold.desktop
metainfo=$data/$id.metainfo.xml

# desktop-file-validate exits 0 on warnings and hints: any output fails here.
report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate failed"
[ -z "$report" ] || fail "desktop-file-validate reports: $report"

# Fails on errors and warnings; infos and pedantic notes are printed only.
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate failed"

key() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(key Icon)" = twinfold ] || fail "Icon is '$(key Icon)', the icon is twinfold.svg"
[ -f "$data/$(key Icon).svg" ] || fail "no $data/$(key Icon).svg"
[ "$(key Categories)" = "Utility;FileTools;" ] || fail "Categories is '$(key Categories)'"
key 'Name\[zh_CN\]' | grep -q . || fail "no Chinese Name"
key 'Comment\[zh_CN\]' | grep -q . || fail "no Chinese Comment"
grep -q "<id>$id</id>" "$metainfo" || fail "$metainfo does not carry the id $id"
grep -q '<launchable type="desktop-id">twinfold.desktop</launchable>' "$metainfo" ||
    fail "$metainfo does not launch twinfold.desktop"

# PNG header: width and height are the big-endian words at bytes 16 and 20.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}'; }
pngs=$(sed -n 's#.*<file>\(.*\)</file>.*#\1#p' "$data/twinfold.qrc")
[ -n "$pngs" ] || fail "twinfold.qrc lists no files"
for png in $pngs; do
    size=${png#twinfold-}
    size=${size%.png}
    [ -f "$data/$png" ] || { fail "twinfold.qrc lists $png, which is missing"; continue; }
    [ "$(png_size "$data/$png")" = "${size}x${size}" ] ||
        fail "$png is $(png_size "$data/$png"), not ${size}x${size}"
done

[ "$failures" -eq 0 ] || exit 1
echo "desktop entry, metainfo and icon renderings are valid"
