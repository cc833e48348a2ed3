#!/usr/bin/env bash
# A running instance and second starts of the same executable: a callback URL, opened through
# the desktop or passed on the command line, reaches the page call once and unchanged; other
# starts only raise the window; another user is refused; the scheme is registered.
set -uo pipefail
app=$1
tmp=$(mktemp -d)
first_pid=""
cleanup() {
  if [ -n "$first_pid" ]; then
    kill "$first_pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$first_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$first_pid" 2>/dev/null
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

export HOME=$tmp/home XDG_RUNTIME_DIR=$tmp/run XDG_DATA_HOME=$tmp/data XDG_CONFIG_HOME=$tmp/config
export VELUNIO_OUTPUT_DIR=$tmp/out
# Out of the way of a printer service the user may be running.
export VELUNIO_IPP_PORT=$(( 20000 + RANDOM % 20000 ))
mkdir -p "$HOME" "$XDG_CONFIG_HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
chmod 0755 "$tmp"
log=$VELUNIO_OUTPUT_DIR/velunio-print.log
socket=$XDG_RUNTIME_DIR/velunio-printaro/instance.sock
printf '# kept\n[Default Applications]\ntext/html=firefox.desktop\nx-scheme-handler/velunioprinter=old.desktop\n[Added Associations]\nimage/png=eog.desktop;\n' \
  > "$XDG_CONFIG_HOME/mimeapps.list"

count() { sed 's/^\[[0-9:]*\] //' "$log" 2>/dev/null | grep -cxF -- "$1"; }
wait_for() {  # message, wanted count
  for _ in $(seq 100); do [ "$(count "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}
raises=0
second() {  # arguments...; each start raises the window once more
  timeout 20 "$app" "$@" >/dev/null 2>&1 || fail "second instance ($*) exited with $?"
  raises=$((raises + 1))
  wait_for "[callback] Bringing the window to the front" $raises || fail "window not raised for ($*)"
}

"$app" --hidden >/dev/null 2>&1 &
first_pid=$!
wait_for "[scheme] Registered velunioprinter:// -> \"$app\" %u" 1 || fail "first instance did not start"

second "velunioprinter://q'x\\y
z"
second VELUNIOPRINTER://caps
second
# Through the desktop, as a browser hands it over.
timeout 20 gio open "velunioprinter://callback?code=abc&state=x" || fail "gio open"
raises=$((raises + 1))
wait_for "[callback] deliver_callback_url: velunioprinter://callback?code=abc&state=x" 1 || fail "gio open not delivered"
[ "$(count "[callback] deliver_callback_url: velunioprinter://q\\'x\\\\y\\nz")" -eq 1 ] || fail "escaped URL not delivered once"
[ "$(grep -c 'deliver_callback_url' "$log")" -eq 2 ] || fail "unexpected deliveries"
[ "$(count '[startup] Second instance, cmdline: (none)')" -eq 1 ] || fail "no-argument start not logged as (none)"
[ "$(grep -c '\] Starting\. ' "$log")" -eq 1 ] || fail "a second start ran as a first instance"

# Scheme registration as the desktop sees it; the user's other settings stay.
[ "$(xdg-mime query default x-scheme-handler/velunioprinter)" = velunioprinter.desktop ] || fail "xdg-mime default"
for line in '# kept' 'text/html=firefox.desktop' 'image/png=eog.desktop;'; do
  grep -qxF "$line" "$XDG_CONFIG_HOME/mimeapps.list" || fail "lost: $line"
done
grep -q 'old.desktop' "$XDG_CONFIG_HOME/mimeapps.list" && fail "old default kept"
desktop-file-validate "$XDG_DATA_HOME/applications/velunioprinter.desktop" || fail "desktop entry invalid"

# Another user: the folder keeps it out, and the peer check refuses it even when it gets in.
client='import socket,sys
s=socket.socket(socket.AF_UNIX)
try:
    s.connect(sys.argv[1])
except PermissionError:
    print("denied"); sys.exit(0)
u=b"velunioprinter://from-nobody"
try:
    s.sendall(len(u).to_bytes(4,"little")+u)
    print("answer" if s.recv(1) else "closed")
except (BrokenPipeError, ConnectionResetError):
    print("closed")'
nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c "$client" "$socket"; }
[ "$(nobody)" = denied ] || fail "nobody reached the socket"
chmod 0711 "$XDG_RUNTIME_DIR" "$XDG_RUNTIME_DIR/velunio-printaro"; chmod 0666 "$socket"
[ "$(nobody)" = closed ] || fail "nobody got an answer"
wait_for "[callback] Hand-over from uid 65534 refused" 1 || fail "refusal not logged"
grep -q 'from-nobody' "$log" && fail "nobody's URL delivered"

[ $failures -eq 0 ] && echo "instance hand-over: all checks passed"
exit $(( failures > 0 ))
