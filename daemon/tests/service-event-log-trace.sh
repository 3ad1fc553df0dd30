#!/usr/bin/env bash
# Usage: service-event-log-trace.sh WINE_RUN PREFIX TESTS.exe DAEMON.exe CORE.exe
#
# The installed service's lines in Wine's trace of the event log calls. The
# service manager (services.exe) is started by the first process of a fresh
# wineserver and keeps that process's standard error, and so do the services
# it starts: with WINEDEBUG=err+eventlog the service's error events appear
# there as "err:eventlog:ReportEventW" lines.
#
# In a copy of the build's prefix PREFIX (a wineserver of its own, which
# nothing else uses), a process that waits on a pipe is that first process,
# with its standard error in a file. kavo-daemon.exe installs and starts the
# service; the service is stopped, its installed identity removed, and it
# is started again: it fails, and its failure line (which the test program's
# service_failure_line child prints) must be traced once as an error event,
# the text exactly the line. The service has no standard error of its own
# there, so the trace is the only place the line shows.
set -uo pipefail

[ $# -eq 5 ] || { echo "usage: $0 WINE_RUN PREFIX TESTS.exe DAEMON.exe CORE.exe" >&2; exit 2; }
wine_run=$1
shared_prefix=$2
tests=$3
daemon=$4
core=$5

status=0
fail() {
    echo "FAIL: $*"
    status=1
}

work=$(mktemp -d)
prefix=$work/prefix
holder=
# shellcheck disable=SC2317 # run by the trap
cleanup() {
    # Ends the copy's wineserver with everything it runs, the service too.
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
    [ -n "$holder" ] && wait "$holder" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Waits, bounded, until FILE holds a line with the fixed text TEXT.
wait_for_text() {
    local file=$1 text=$2 seconds=$3
    local deadline=$((SECONDS + seconds))
    while [ "$SECONDS" -lt "$deadline" ]; do
        grep -q -F -e "$text" "$file" 2>/dev/null && return 0
        sleep 0.5
    done
    return 1
}

# Wine's debugstr_w form of a line that holds printable ASCII only.
traced_text() {
    local text=${1//\\/\\\\}
    printf 'L"%s"' "${text//\"/\\\"}"
}

cp -a "$shared_prefix" "$prefix" || { echo "FAIL: cannot copy $shared_prefix"; exit 1; }
rm -rf "$prefix/drive_c/ProgramData/KAVO"
export KAVO_WINE_PREFIX=$prefix

# The first process: it prints "ready" and then waits for a line, which
# never comes; closing the pipe ends it. It runs under Wine directly, not
# through the runner, which would pass its output on only at its end.
mkfifo "$work/hold"
WINEPREFIX="$prefix" WINEDEBUG=err+eventlog wine cmd /c "echo ready& set /p x=" \
    <"$work/hold" >"$work/manager.out" 2>"$work/manager.err" &
holder=$!
exec 7>"$work/hold"
wait_for_text "$work/manager.out" ready 300 || fail "the first process never started"
failure_line=$(KAVO_TEST_CHILD=service_failure_line "$wine_run" "$tests" 2>/dev/null | tr -d '\r')
[ -n "$failure_line" ] || fail "the service_failure_line child printed nothing"

# The bundle and the core directory, where Wine sees them as C:\kavo-trace.
mkdir -p "$prefix/drive_c/kavo-trace/bundle" "$prefix/drive_c/kavo-trace/core dir"
cp "$daemon" "$prefix/drive_c/kavo-trace/bundle/kavo-daemon.exe"
cp "$core" "$prefix/drive_c/kavo-trace/bundle/kavo_core.exe"
printf 'pid_file: pids\n' >"$prefix/drive_c/kavo-trace/core dir/config.yaml"
printf 'geosite' >"$prefix/drive_c/kavo-trace/core dir/GeoSite.dat"
printf 'geoip' >"$prefix/drive_c/kavo-trace/core dir/geoip.metadb"
printf 'the installed service identity, 46 bytes long.\r\n' >"$prefix/drive_c/kavo-trace/identity"
digest=$(sha256sum "$core" | cut -d' ' -f1)

if [ "$status" -eq 0 ]; then
    timeout 300 "$wine_run" 'C:\kavo-trace\bundle\kavo-daemon.exe' --install-service \
        --core-dir 'C:\kavo-trace\core dir' --identity-file 'C:\kavo-trace\identity' \
        --expected-core-sha256 "$digest" >"$work/install.out" 2>"$work/install.err"
    installed=$?
    [ "$installed" -eq 0 ] || fail "the install exited with $installed"
fi
if [ "$status" -eq 0 ]; then
    timeout 300 "$wine_run" net stop kavo-service >"$work/stop.out" 2>&1 ||
        fail "the service did not stop"
    identity=$prefix/drive_c/ProgramData/KAVO/Service/identity
    [ -f "$identity" ] || fail "no installed identity at $identity"
    rm -f "$identity"
    # The start fails: the exit status of net is not the point.
    timeout 300 "$wine_run" net start kavo-service >"$work/start.out" 2>&1
    traced="err:eventlog:ReportEventW $(traced_text "$failure_line")"
    wait_for_text "$work/manager.err" "$traced" 120 ||
        fail "the service's failure line was not traced as an error event: $failure_line"
fi
if [ "$status" -eq 0 ]; then
    # Once: the service's one failure is one event. (The closing quote is
    # part of the text, so a longer line would not match.)
    count=$(grep -c -F -e "$traced" "$work/manager.err")
    [ "$count" -eq 1 ] || fail "traced $count times, not once: $traced"
fi

exec 7>&-
if [ "$status" -ne 0 ]; then
    for file in manager.out manager.err install.err stop.out start.out; do
        [ -f "$work/$file" ] && { echo "--- $file"; cat "$work/$file"; }
    done
else
    echo "ok: the service's failure line traced as an error event under the service manager"
fi
exit "$status"
