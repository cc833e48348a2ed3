# Sourced by shell tests and benches: start_private_cupsd DIR starts a CUPS scheduler of their
# own (socket, configuration, spool and state under DIR, never the machine's), exports
# CUPS_SERVER for it and appends its pid to the caller's `pids`. Exits when it does not come up.
start_private_cupsd() {
  local cups=$1
  mkdir -p "$cups"/{spool,cache,state,log,tmp}
  printf '%s\n' "LogLevel warn" "Listen $cups/cups.sock" "WebInterface No" "Browsing No" "DefaultAuthType None" \
    "<Location />" "  Order allow,deny" "  Allow all" "</Location>" \
    "<Policy default>" "  <Limit All>" "    Order deny,allow" "  </Limit>" "</Policy>" > "$cups/cupsd.conf"
  printf '%s\n' "ServerRoot $cups" "RequestRoot $cups/spool" "CacheDir $cups/cache" "StateDir $cups/state" \
    "TempDir $cups/tmp" "ErrorLog $cups/log/error_log" "AccessLog $cups/log/access_log" "PageLog $cups/log/page_log" \
    "SystemGroup root" "FileDevice Yes" "ServerBin /usr/lib/cups" "DataDir /usr/share/cups" > "$cups/cups-files.conf"
  cupsd -f -c "$cups/cupsd.conf" -s "$cups/cups-files.conf" >"$cups/log/stdout" 2>&1 &
  pids+=($!)
  export CUPS_SERVER=$cups/cups.sock
  for _ in $(seq 100); do lpstat -r >/dev/null 2>&1 && break; sleep 0.1; done
  lpstat -r >/dev/null 2>&1 || { echo "private cupsd did not start" >&2; cat "$cups/log/"* >&2; exit 1; }
  [ "$(lpstat -H)" = "$cups/cups.sock" ] || { echo "not talking to the private scheduler" >&2; exit 1; }
}
