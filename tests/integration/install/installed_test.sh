#!/usr/bin/env bash
# The program as an installation lays it out: its files, desktop entries and metadata, and a
# run of the installed executable, which must find its page under share, serve both printers
# and see its queues on a private scheduler.
#   installed_test.sh FROM PREFIX SYSCONFDIR VERSION [LISTING]
# FROM is a build folder, installed with `cmake --install` into a throw-away DESTDIR, or a root
# that holds an installation (the unpacked package); LISTING holds the package's paths as
# dpkg-deb -c lists them.
set -uo pipefail
from=$1 prefix=$2 sysconfdir=$3 version=$4 listing=${5:-}
source "$(dirname "$0")/../../support/shell_test.sh"
root=$from
if [ -f "$from/CMakeCache.txt" ]; then
  root=$tmp/root
  DESTDIR=$root cmake --install "$from" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log" >&2; exit 1; }
fi
share=$root$prefix/share app=$root$prefix/bin/velunio-print-app
menu=$prefix/share/applications/com.velunio.Printaro.desktop
autostart=$sysconfdir/xdg/autostart/com.velunio.Printaro.desktop
metainfo=$prefix/share/metainfo/com.velunio.Printaro.metainfo.xml

expected=("$prefix/bin/velunio-print-app" "$prefix/share/velunio-printaro/ui/index.html" "$menu" "$autostart" "$metainfo"
          "$prefix/share/icons/hicolor/scalable/apps/velunio-printaro.svg")
for s in 16 22 24 32 48 64 128 256; do
  expected+=("$prefix/share/icons/hicolor/${s}x${s}/apps/velunio-printaro.png")
  [ "$(identify -format %wx%h "$root${expected[-1]}" 2>/dev/null)" = "${s}x${s}" ] || fail "icon ${s}x${s} drawn at another size"
done
for f in "${expected[@]}"; do
  [ -f "$root$f" ] || fail "not installed: $f"
  [ -z "$listing" ] || grep -qxF -- "$f" "$listing" || fail "the package does not list $f"
done
ls "$share"/man/man1/velunio-print-app.1* >/dev/null 2>&1 || fail "no manual page"

desktop-file-validate "$root$menu" "$root$autostart" || fail "desktop-file-validate"
appstreamcli validate --no-net "$root$metainfo" >"$tmp/appstream.txt" 2>&1 || { fail "appstreamcli validate"; cat "$tmp/appstream.txt" >&2; }
while IFS='|' read -r file line; do grep -qx -- "$line" "$root$file" || fail "$file has no line $line"; done <<EOT
$menu|Name=Velunio Printaro
$menu|Exec=velunio-print-app
$menu|Icon=velunio-printaro
$menu|Categories=..*
$autostart|Exec=velunio-print-app --hidden
$autostart|Icon=velunio-printaro
$metainfo|.*<launchable type="desktop-id">com.velunio.Printaro.desktop</launchable>.*
EOT
grep -q "^NoDisplay=true" "$root$menu" && fail "menu entry hidden from the menu"
[ "$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$root$metainfo" | head -1)" = "$version" ] ||
  fail "the metainfo's newest release is not $version"

# --- the installed program runs ----------------------------------------------------------------
[ "$(id -u)" -eq 0 ] || { echo "FAIL: --register needs root; run the check as root" >&2; exit 1; }
# says TEXT [SECONDS]: a line of the latest start begins with TEXT, within SECONDS.
messages() { awk '/^--- Velunio Printaro started/ {n = NR} {line[NR] = $0} END {for (i = n; i <= NR; i++) print line[i]}' "$log" 2>/dev/null | sed 's/^\[[0-9:]*\] //'; }
starts_with() { messages | awk -v p="$1" 'index($0, p) == 1 {f = 1} END {exit !f}'; }
says() { within "${2:-0}" starts_with "$1"; }

# No scheduler answers: the start goes on and says so.
export CUPS_SERVER=$tmp/no-scheduler.sock
start_hidden "$app"
says "[startup] The print queues could not be read (no print scheduler answered)" 20 || fail "no start-up line without a scheduler"
stop "$app_pid"

start_private_cupsd "$tmp/cups"
start_hidden "$app"
says "Starting. ui=$share/velunio-printaro/ui out=$VELUNIO_OUTPUT_DIR" 5 ||
  fail "the page is not taken from $share/velunio-printaro/ui: $(messages | grep '^Starting')"
says "[JS] info: [page] screen " 30 || fail "the page did not load"
for printer in "Sign_Myself_(Velunio)" "Request_Signature_(Velunio)"; do
  ipptool -T 10 "ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/$printer" get-printer-attributes.test >"$tmp/ipptool.txt" 2>&1 ||
    { fail "printer $printer does not answer"; cat "$tmp/ipptool.txt" >&2; }
done
says "[startup] No print queue points at Sign Myself (Velunio) and Request Signature (Velunio) yet; to print from applications, add the queues once with: sudo velunio-print-app --register" 20 ||
  fail "no start-up line on the missing queues"
handler=$XDG_DATA_HOME/applications/velunioprinter.desktop
desktop-file-validate "$handler" && grep -qxF "Exec=\"$app\" %u" "$handler" || fail "the callback scheme's entry does not start $app"

"$app" --register 2>/dev/null || { fail "--register exited with $?"; cat "$VELUNIO_REGISTER_LOG" >&2; }
# Started again (as at the next login), it finds the queues.
stop "$app_pid"
start_hidden "$app"
says "[startup] Print queues point at both printers" 20 || fail "no start-up line on the queues found"
messages | grep -q "No print queue points" && fail "the queues found are reported missing"
"$app" --unregister 2>/dev/null

[ $failures -eq 0 ] && echo "installed: all checks passed"
exit $(( failures > 0 ))
