#!/usr/bin/env bash
# Runs a test command beside the suite's loopback HTTP server, which a test under Wine cannot
# start itself; the port and the record folder (a Windows path) go to it in
# VELUNIO_TEST_HTTP_PORT and VELUNIO_TEST_HTTP_RECORDS.
set -euo pipefail
records=$(mktemp -d)
coproc server { exec python3 "$(dirname "$0")/../support/http_test_server.py" "$records"; }
trap 'kill '"$server_PID"' 2>/dev/null || true; rm -rf "$records"' EXIT
read -r word port <&"${server[0]}"
[ "$word" = PORT ] || { echo "with_http_server: the server did not start" >&2; exit 1; }
export VELUNIO_TEST_HTTP_PORT=$port VELUNIO_TEST_HTTP_RECORDS="Z:${records//\//\\}"
"$@"
