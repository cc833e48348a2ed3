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
# DIR, never the machine's; adds its pid to `pids` and exports CUPS_SERVER.
source "$(dirname "${BASH_SOURCE[0]}")/private_cupsd.sh"
