# Sourced by the shell tests (bash): a temporary folder `tmp` removed at the end together with
# every process whose pid the test adds to `pids`, failure counting, free loopback ports, and a
# CUPS scheduler of the test's own.
tmp=$(mktemp -d)
chmod 0755 "$tmp"
pids=()
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
# SIGTERM, and SIGKILL when a process has not ended 5 s later.
stop() {
  local p=$1
  kill "$p" 2>/dev/null || return 0
  for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$p" 2>/dev/null
  wait "$p" 2>/dev/null
}
cleanup() {
  for p in "${pids[@]}"; do stop "$p"; done
  rm -rf "$tmp"
}
trap cleanup EXIT
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
pick_port() { local p; while :; do p=$(( 20000 + RANDOM % 20000 )); port_free $p && { echo $p; return; }; done; }

# start_private_cupsd DIR: a scheduler with its own socket, configuration, spool and state under
# DIR, never the machine's; adds its pid to `pids`, exports CUPS_SERVER, and ends the test when
# it does not answer.
start_private_cupsd() {
  local cups=$1
  mkdir -p "$cups"/{spool,cache,state,log,tmp}
  cat > "$cups/cupsd.conf" <<CONF
LogLevel warn
Listen $cups/cups.sock
WebInterface No
Browsing No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
  cat > "$cups/cups-files.conf" <<CONF
ServerRoot $cups
RequestRoot $cups/spool
CacheDir $cups/cache
StateDir $cups/state
TempDir $cups/tmp
ErrorLog $cups/log/error_log
AccessLog $cups/log/access_log
PageLog $cups/log/page_log
SystemGroup root
FileDevice Yes
ServerBin /usr/lib/cups
DataDir /usr/share/cups
CONF
  cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" >"$cups/log/stdout" 2>&1 &
  pids+=($!)
  export CUPS_SERVER=$cups/cups.sock
  for _ in $(seq 100); do lpstat -r >/dev/null 2>&1 && break; sleep 0.1; done
  lpstat -r >/dev/null 2>&1 || { echo "private cupsd did not start" >&2; cat "$cups/log/"* >&2; exit 1; }
  [ "$(lpstat -H)" = "$cups/cups.sock" ] || { echo "not talking to the private scheduler" >&2; exit 1; }
}
