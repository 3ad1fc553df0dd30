#!/usr/bin/env bash
# Usage: event-log-trace.sh WINE_RUN TESTS.exe DAEMON.exe
#
# What kavo-daemon files in the event log, seen in Wine's trace of the event
# log calls. With WINEDEBUG=err+eventlog,warn+eventlog Wine writes the text
# of every error event it is given as an "err:eventlog:ReportEventW" line and
# of every warning as a "warn:eventlog:ReportEventW" line, on the standard
# error the process was started with, which a test program under Wine cannot
# read for its own children; so this runs them from outside.
#
# 1. The test program's event_log_lines child switches the event log on as
#    kavo-daemon does and writes some of the daemon's lines; on standard
#    output it prints each ("line …") and the trace line it must give
#    ("trace …"). Each must be traced exactly once and be on standard error
#    as written, and
#    the event source is opened once for all of them (Wine 8 notes each
#    RegisterEventSourceW call as a stub on its fixme channel).
# 2. kavo-daemon.exe started by hand, outside the service manager, writes
#    its one "Error: " line, which must be traced as an error event.
set -uo pipefail

[ $# -eq 3 ] || { echo "usage: $0 WINE_RUN TESTS.exe DAEMON.exe" >&2; exit 2; }
wine_run=$1
tests=$2
daemon=$3

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trace="err+eventlog,warn+eventlog,fixme+advapi"

# Wine's debugstr_w form of a line that holds printable ASCII only.
traced_text() {
    local text=${1//\\/\\\\}
    printf 'L"%s"' "${text//\"/\\\"}"
}

KAVO_WINEDEBUG=$trace KAVO_TEST_CHILD=event_log_lines \
    "$wine_run" "$tests" >"$work/child.out" 2>"$work/child.err"
child=$?
[ "$child" -eq 0 ] || fail "the event_log_lines child exited with $child"
output=$(tr -d '\r' <"$work/child.out")
expected=$(sed -n 's/^trace //p' <<<"$output")
written=$(sed -n 's/^line //p' <<<"$output")
if [ -z "$expected" ] || [ -z "$written" ]; then
    fail "the child printed nothing to expect"
fi
while IFS= read -r line; do
    [ -n "$line" ] || continue
    count=$(grep -c -F -e ":$line" "$work/child.err")
    [ "$count" -eq 1 ] || fail "traced $count times, not once: $line"
done <<<"$expected"
reports=$(grep -c ':eventlog:ReportEventW ' "$work/child.err")
[ "$reports" -eq "$(grep -c . <<<"$expected")" ] ||
    fail "$reports events reported for $(grep -c . <<<"$expected") lines"
opened=$(grep -c 'fixme:advapi:RegisterEventSourceW' "$work/child.err")
[ "$opened" -eq 1 ] || fail "the event source was opened $opened times, not once"
# Standard error keeps every line as it was written.
while IFS= read -r line; do
    grep -q -x -F -e "$line" "$work/child.err" || fail "not on standard error: $line"
done <<<"$written"

KAVO_WINEDEBUG=$trace "$wine_run" "$daemon" >"$work/daemon.out" 2>"$work/daemon.err"
exit_status=$?
[ "$exit_status" -eq 1 ] || fail "kavo-daemon started by hand exited with $exit_status, not 1"
mapfile -t lines < <(grep -E '^Error: ' "$work/daemon.err" | tr -d '\r')
if [ ${#lines[@]} -ne 1 ]; then
    fail "kavo-daemon started by hand wrote ${#lines[@]} Error: lines, not one"
else
    grep -q -F -e "err:eventlog:ReportEventW $(traced_text "${lines[0]}")" "$work/daemon.err" ||
        fail "not traced as an error event: ${lines[0]}"
fi

if [ "$status" -ne 0 ]; then
    echo "--- child output"; cat "$work/child.out"
    echo "--- child standard error"; cat "$work/child.err"
    echo "--- kavo-daemon standard error"; cat "$work/daemon.err"
else
    echo "ok: every line traced once with its event type, the source opened once"
fi
exit "$status"
