#!/usr/bin/env bash
# A running instance and second starts of the same executable: callback URLs reach the page
# call once and unchanged, other starts only raise the window, another user is refused, a
# killed instance's socket does not block the next start, and the scheme is registered.
set -uo pipefail
app=$1
tmp=$(mktemp -d)
# SIGTERM, and SIGKILL when a process has not ended 5 s later.
stop() {
  local p=$1
  kill "$p" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$p" 2>/dev/null
  wait "$p" 2>/dev/null
}
first_pid=""
cleanup() {
  [ -n "$first_pid" ] && stop "$first_pid"
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

messages() { sed 's/^\[[0-9:]*\] //' "$log" 2>/dev/null; }
count() { messages | grep -cxF -- "$1"; }
wait_for() {  # message, wanted count
  for _ in $(seq 100); do [ "$(count "$1")" -ge "$2" ] && return 0; sleep 0.1; done
  return 1
}
start_first() {
  "$app" --hidden >/dev/null 2>&1 &
  first_pid=$!
  wait_for "[scheme] Registered velunioprinter:// -> \"$app\" %u" "$1" || fail "first instance did not start"
}
raises=0
second() {  # arguments...; expects one more raise
  timeout 20 "$app" "$@" >/dev/null 2>&1
  local rc=$?
  [ $rc -eq 0 ] || fail "second instance ($*) exited with $rc"
  raises=$((raises + 1))
  for _ in $(seq 100); do
    [ "$(messages | grep -c '^\[callback\] Bringing the window to the front')" -ge $raises ] && return
    sleep 0.1
  done
  fail "window not raised for ($*)"
}
delivered() {  # escaped URL as the page call receives it, wanted count
  local n
  n=$(count "[callback] deliver_callback_url: $1")
  [ "$n" -eq "$2" ] || fail "delivered '$1' $n times, wanted $2"
}

start_first 1
[ "$(stat -c %a "$XDG_RUNTIME_DIR/velunio-printaro")" = 700 ] || fail "socket folder not private"
[ "$(stat -c %a "$socket")" = 600 ] || fail "socket mode not 0600"

second '"velunioprinter://callback?code=abc&state=x"'
delivered 'velunioprinter://callback?code=abc&state=x' 1
second 'velunioprinter://with space'
delivered 'velunioprinter://with' 1
second open now velunioprinter://after-text
delivered 'velunioprinter://after-text' 1
second "velunioprinter://q'x\\y
z"
delivered "velunioprinter://q\\'x\\\\y\\nz" 1
second VELUNIOPRINTER://caps
second
[ "$(count '[startup] Second instance, cmdline: (none)')" -eq 1 ] || fail "no-argument start not logged as (none)"
[ "$(count '[callback] handle_second_instance cmdline: VELUNIOPRINTER://caps')" -eq 1 ] || fail "caps start not logged"
[ "$(messages | grep -c 'deliver_callback_url')" -eq 4 ] || fail "unexpected deliveries"
[ "$(messages | grep -c '^Starting\. ')" -eq 1 ] || fail "a second start ran as a first instance"

# Scheme registration as the desktop sees it.
[ "$(xdg-mime query default x-scheme-handler/velunioprinter)" = velunioprinter.desktop ] || fail "xdg-mime default"
grep -qxF '# kept' "$XDG_CONFIG_HOME/mimeapps.list" || fail "comment lost"
grep -qxF 'text/html=firefox.desktop' "$XDG_CONFIG_HOME/mimeapps.list" || fail "other default lost"
grep -qxF 'image/png=eog.desktop;' "$XDG_CONFIG_HOME/mimeapps.list" || fail "added association lost"
grep -q 'old.desktop' "$XDG_CONFIG_HOME/mimeapps.list" && fail "old default kept"
desktop-file-validate "$XDG_DATA_HOME/applications/velunioprinter.desktop" || fail "desktop entry invalid"
timeout 20 gio open "velunioprinter://callback?code=abc&state=x" || fail "gio open"
raises=$((raises + 1))
wait_for "[callback] deliver_callback_url: velunioprinter://callback?code=abc&state=x" 2 || fail "gio open not delivered"

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
out=$(setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c "$client" "$socket")
[ "$out" = denied ] || fail "nobody reached the socket: $out"
chmod 0711 "$XDG_RUNTIME_DIR" "$XDG_RUNTIME_DIR/velunio-printaro"; chmod 0666 "$socket"
out=$(setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c "$client" "$socket")
[ "$out" = closed ] || fail "nobody got an answer: $out"
wait_for "[callback] Hand-over from uid 65534 refused" 1 || fail "refusal not logged"
delivered 'velunioprinter://from-nobody' 0
chmod 0700 "$XDG_RUNTIME_DIR" "$XDG_RUNTIME_DIR/velunio-printaro"; chmod 0600 "$socket"

# A declared size over the limit is refused unread.
python3 -c 'import socket,sys
s=socket.socket(socket.AF_UNIX); s.connect(sys.argv[1])
s.sendall((1<<20).to_bytes(4,"little")+b"velunioprinter://big")
s.settimeout(5)
try:
    print(s.recv(1))
except OSError:
    pass' "$socket" >/dev/null
wait_for "[callback] Hand-over of 1048576 bytes refused (limit 65536)" 1 || fail "oversized record accepted"

# A killed instance leaves its socket; the next start replaces it.
kill -9 "$first_pid"; wait "$first_pid" 2>/dev/null; first_pid=""
[ -S "$socket" ] || fail "killed instance left no socket (test premise)"
start_first 2
wait_for "[startup] Replacing stale socket $socket" 1 || fail "stale socket not replaced"
second velunioprinter://after-restart
delivered 'velunioprinter://after-restart' 1

[ $failures -eq 0 ] && echo "instance hand-over: all checks passed"
exit $(( failures > 0 ))
