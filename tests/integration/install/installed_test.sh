#!/usr/bin/env bash
# The program as an installation lays it out: its files, its desktop entries and metadata,
# and a run of the installed executable, which must find its page under share, serve both
# printers and add their queues to a private scheduler.
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
share=$root$prefix/share
app=$root$prefix/bin/velunio-print-app

# --- the files ---------------------------------------------------------------------------------
expected=("$prefix/bin/velunio-print-app" "$prefix/share/velunio-printaro/ui/index.html"
          "$prefix/share/applications/com.velunio.Printaro.desktop"
          "$prefix/share/metainfo/com.velunio.Printaro.metainfo.xml"
          "$prefix/share/icons/hicolor/scalable/apps/velunio-printaro.svg"
          "$sysconfdir/xdg/autostart/com.velunio.Printaro.desktop")
for s in 16 22 24 32 48 64 128 256; do
  png=$prefix/share/icons/hicolor/${s}x${s}/apps/velunio-printaro.png
  expected+=("$png")
  drawn=$(python3 -c 'import struct,sys; print("%dx%d" % struct.unpack(">II", open(sys.argv[1],"rb").read(24)[16:]))' "$root$png" 2>/dev/null)
  [ "$drawn" = "${s}x${s}" ] || fail "icon ${s}x${s} is drawn at '$drawn'"
done
for f in "${expected[@]}"; do
  [ -f "$root$f" ] || fail "not installed: $f"
  [ -z "$listing" ] || grep -qxF -- "$f" "$listing" || fail "the package does not list $f"
done
ls "$share"/man/man1/velunio-print-app.1* >/dev/null 2>&1 || fail "no manual page"
[ -x "$app" ] || fail "$app is not executable"

# --- desktop entries and metadata ------------------------------------------------------------
menu=$share/applications/com.velunio.Printaro.desktop
autostart=$root$sysconfdir/xdg/autostart/com.velunio.Printaro.desktop
for entry in "$menu" "$autostart"; do
  desktop-file-validate "$entry" || fail "desktop-file-validate: $entry"
  grep -qxF "Icon=velunio-printaro" "$entry" || fail "$entry names another icon"
done
grep -qxF "Name=Velunio Printaro" "$menu" || fail "menu entry's name"
grep -qxF "Exec=velunio-print-app" "$menu" || fail "menu entry's Exec"
grep -q "^Categories=." "$menu" || fail "menu entry without categories"
grep -q "^NoDisplay=true" "$menu" && fail "menu entry hidden from the menu"
grep -qxF "Exec=velunio-print-app --hidden" "$autostart" || fail "autostart entry's Exec"
metainfo=$share/metainfo/com.velunio.Printaro.metainfo.xml
appstreamcli validate --no-net "$metainfo" >"$tmp/appstream.txt" 2>&1 || { fail "appstreamcli validate"; cat "$tmp/appstream.txt" >&2; }
grep -qF '<launchable type="desktop-id">com.velunio.Printaro.desktop</launchable>' "$metainfo" || fail "metainfo launchable"
[ "$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -1)" = "$version" ] ||
  fail "the metainfo's newest release is not $version"

# --- the installed program runs ----------------------------------------------------------------
[ "$(id -u)" -eq 0 ] || { echo "FAIL: --register needs root; run the check as root" >&2; exit 1; }
if [ -z "${DISPLAY:-}" ]; then
  n=$(( 100 + RANDOM % 400 ))
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
fi
export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run XDG_DATA_HOME=$tmp/data XDG_CONFIG_HOME=$tmp/config
export VELUNIO_OUTPUT_DIR=$tmp/out VELUNIO_REGISTER_LOG=$tmp/register.log
mkdir -p "$HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
export VELUNIO_IPP_PORT=$(pick_port)
log=$VELUNIO_OUTPUT_DIR/velunio-print.log
# The messages of the latest start only.
messages() { awk '/^--- Velunio Printaro started/ {n = NR} {line[NR] = $0} END {for (i = n; i <= NR; i++) print line[i]}' "$log" 2>/dev/null | sed 's/^\[[0-9:]*\] //'; }
wait_for() {  # grep -E pattern, seconds
  for _ in $(seq $(( $2 * 10 ))); do messages | grep -qE -- "$1" && return 0; sleep 0.1; done
  return 1
}
run_hidden() {
  "$app" --hidden >>"$tmp/app.out" 2>&1 &
  app_pid=$!
  pids+=($app_pid)
  for _ in $(seq 200); do port_free "$VELUNIO_IPP_PORT" || return 0; sleep 0.1; done
  fail "the installed program does not serve IPP on $VELUNIO_IPP_PORT"
  return 1
}
quote_ere() { printf '%s' "$1" | sed 's/[][\.*^$(){}?+|/]/\\&/g'; }

# No scheduler answers: the start goes on and says so.
export CUPS_SERVER=$tmp/no-scheduler.sock
run_hidden
wait_for '^\[startup\] The print queues could not be read \(no print scheduler answered\)' 20 ||
  fail "no start-up line without a scheduler"
stop "$app_pid"

start_private_cupsd "$tmp/cups"
run_hidden
messages | grep -qxF "Starting. ui=$share/velunio-printaro/ui out=$VELUNIO_OUTPUT_DIR" ||
  fail "the page is not taken from $share/velunio-printaro/ui: $(messages | grep '^Starting')"
wait_for '^\[JS\] info: \[page\] screen ' 30 || fail "the page did not load"
for printer in "Sign_Myself_(Velunio)" "Request_Signature_(Velunio)"; do
  ipptool -T 10 "ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/$printer" get-printer-attributes.test >"$tmp/ipptool.txt" 2>&1 ||
    { fail "printer $printer does not answer"; cat "$tmp/ipptool.txt" >&2; }
done
wait_for "^$(quote_ere "[startup] No print queue points at Sign Myself (Velunio) and Request Signature (Velunio) yet; to print from applications, add the queues once with: sudo velunio-print-app --register")\$" 20 ||
  fail "no start-up line on the missing queues"
handler=$XDG_DATA_HOME/applications/velunioprinter.desktop
desktop-file-validate "$handler" || fail "desktop-file-validate: the callback scheme's entry"
grep -qxF "Exec=\"$app\" %u" "$handler" || fail "the callback scheme's entry does not start $app"

rc=0
"$app" --register 2>"$tmp/register.stderr" || rc=$?
[ $rc -eq 0 ] || { fail "--register exited with $rc"; cat "$VELUNIO_REGISTER_LOG" >&2; }
lpstat -v >"$tmp/devices" 2>&1
for q in Sign_Myself_Velunio:Sign_Myself_ Request_Signature_Velunio:Request_Signature_; do
  grep -qxF "device for ${q%%:*}: ipp://localhost:$VELUNIO_IPP_PORT/ipp/print/${q#*:}(Velunio)?waitjob=false" "$tmp/devices" ||
    fail "no queue ${q%%:*}: $(cat "$tmp/devices")"
done

# Started again (as at the next login), it finds the queues.
stop "$app_pid"
run_hidden
wait_for '^\[startup\] Print queues point at both printers$' 20 || fail "no start-up line on the queues found"
messages | grep -q "No print queue points" && fail "the queues found are reported missing"
"$app" --unregister 2>/dev/null

[ $failures -eq 0 ] && echo "installed: all checks passed"
exit $(( failures > 0 ))
