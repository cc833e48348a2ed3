#!/usr/bin/env bash
# The floor check passes on the tree and names every include of its own violations tree.
set -u
check="$(dirname "$0")/../../scripts/check-layers"
status=0
"$check" || { echo "FAIL: the source tree breaks its floors"; status=1; }
out=$("$check" --root "$(dirname "$0")/violations")
rc=$?
[ "$rc" -eq 1 ] || { echo "FAIL: violations tree exited $rc"; status=1; }
for expected in \
  'src/documents/reaches_up.cpp:2: includes "bridge/...' \
  'src/window/beside.h:2: includes "printer/...' \
  'src/base/clock.cpp:3: portable file includes platform header <unistd.h>' \
  'src/printer/driver.cpp:3: portable file includes platform header <glib.h>'; do
  grep -qF "$expected" <<<"$out" || { echo "FAIL: not reported: $expected"; status=1; }
done
[ "$(grep -c . <<<"$out")" -eq 4 ] || { echo "FAIL: expected exactly 4 reports:"; echo "$out"; status=1; }
exit $status
