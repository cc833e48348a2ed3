#!/usr/bin/env bash
# A running instance and second starts of the same executable: a callback URL, opened through
# the desktop or passed on the command line, reaches the page call once and unchanged; other
# starts only raise the window; another user is refused; the scheme is registered.
set -uo pipefail
app=$1
source "$(dirname "$0")/../../support/shell_test.sh"
socket=$XDG_RUNTIME_DIR/velunio-printaro/instance.sock
printf '# kept\n[Default Applications]\ntext/html=firefox.desktop\nx-scheme-handler/velunioprinter=old.desktop\n[Added Associations]\nimage/png=eog.desktop;\n' \
  > "$XDG_CONFIG_HOME/mimeapps.list"
count() { sed 's/^\[[0-9:]*\] //' "$log" 2>/dev/null | grep -cxF -- "$1"; }
# logged MESSAGE N: the log holds the whole line MESSAGE N times, within 10 s.
at_least() { [ "$(count "$1")" -ge "$2" ]; }
logged() { within 10 at_least "$1" "$2"; }

"$app" --hidden >/dev/null 2>&1 &
pids+=($!)
logged "[scheme] Registered velunioprinter:// -> \"$app\" %u" 1 || fail "first instance did not start"
raises=0
for url in "velunioprinter://q'x\\y
z" VELUNIOPRINTER://caps ""; do
  timeout 20 "$app" ${url:+"$url"} >/dev/null 2>&1 || fail "second instance ($url) exited with $?"
  raises=$((raises + 1))
  logged "[callback] Bringing the window to the front" $raises || fail "window not raised for ($url)"
done
# Through the desktop, as a browser hands it over.
timeout 20 gio open "velunioprinter://callback?code=abc&state=x" || fail "gio open"
logged "[callback] deliver_callback_url: velunioprinter://callback?code=abc&state=x" 1 || fail "gio open not delivered"
[ "$(count "[callback] deliver_callback_url: velunioprinter://q\\'x\\\\y\\nz")" -eq 1 ] || fail "escaped URL not delivered once"
[ "$(grep -c 'deliver_callback_url' "$log")" -eq 2 ] || fail "unexpected deliveries"
[ "$(count "[startup] Second instance, cmdline: (none)")" -eq 1 ] || fail "no-argument start not logged as (none)"
[ "$(grep -c '\] Starting\. ' "$log")" -eq 1 ] || fail "a second start ran as a first instance"

# Scheme registration as the desktop sees it, written into the user's own settings (which line
# stays and which goes is the unit test's MimeApps).
[ "$(xdg-mime query default x-scheme-handler/velunioprinter)" = velunioprinter.desktop ] || fail "xdg-mime default"
grep -qxF 'image/png=eog.desktop;' "$XDG_CONFIG_HOME/mimeapps.list" || fail "the user's settings were lost"

# Another user: the folder keeps it out, and the peer check refuses it even when it gets in.
client='import socket,sys
s, u = socket.socket(socket.AF_UNIX), b"velunioprinter://from-nobody"
try:
    s.connect(sys.argv[1]); s.sendall(len(u).to_bytes(4, "little") + u); print("answer" if s.recv(1) else "closed")
except PermissionError: print("denied")
except ConnectionError: print("closed")'
nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c "$client" "$socket"; }
[ "$(nobody)" = denied ] || fail "nobody reached the socket"
chmod 0711 "$XDG_RUNTIME_DIR" "$XDG_RUNTIME_DIR/velunio-printaro"; chmod 0666 "$socket"
[ "$(nobody)" = closed ] || fail "nobody got an answer"
logged "[callback] Hand-over from uid 65534 refused" 1 || fail "refusal not logged"
grep -q 'from-nobody' "$log" && fail "nobody's URL delivered"

[ $failures -eq 0 ] && echo "instance hand-over: all checks passed"
exit $(( failures > 0 ))
