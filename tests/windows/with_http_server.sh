#!/usr/bin/env bash
# Runs a test command with the suite's loopback HTTP server beside it: a Windows test under
# Wine cannot start it as a child of its own. The port and the record folder (as a Windows
# path) go to the test in VELUNIO_TEST_HTTP_PORT and VELUNIO_TEST_HTTP_RECORDS.
set -euo pipefail
records=$(mktemp -d)
coproc server { exec python3 "$(dirname "$0")/../support/http_test_server.py" "$records"; }
server_pid=$server_PID
trap 'kill "$server_pid" 2>/dev/null || true; rm -rf "$records"' EXIT
read -r word port <&"${server[0]}"
[ "$word" = PORT ] || { echo "with_http_server: the server did not start" >&2; exit 1; }
export VELUNIO_TEST_HTTP_PORT=$port
export VELUNIO_TEST_HTTP_RECORDS="Z:${records//\//\\}"
"$@"
