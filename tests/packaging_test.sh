#!/usr/bin/env bash
# Checks what the package installs for unattended runs, on this machine's own
# tools: `systemd-analyze verify` on the timer and its service (pointed at the
# built tzdag), or `logrotate` on the log's rule, first as a dry run, then for
# real on a scratch copy, after which tzdag writes to a new log and nothing
# more to the rotated one. Exits 77 (skipped) when the tool is not installed.
# Usage: packaging_test.sh units|logrotate TZDAG SOURCE_DIR
set -euo pipefail
what="$1" tzdag="$2" source="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() {
  echo "packaging_test: $*" >&2
  exit 1
}

case "$what" in
units)
  command -v systemd-analyze >/dev/null || exit 77
  sed "s|@TZDAG_BINARY@|$tzdag|" "$source/packaging/tzdag-sync.service.in" >"$work/tzdag-sync.service"
  cp "$source/packaging/tzdag-sync.timer" "$work/"
  # Warnings (an unknown key, a bad value) leave the status 0: any word on
  # standard error fails the check.
  if ! systemd-analyze verify --man=no "$work/tzdag-sync.service" "$work/tzdag-sync.timer" \
    >"$work/out" 2>&1 || [ -s "$work/out" ]; then
    cat "$work/out" >&2
    fail "systemd-analyze verify finds fault with the units"
  fi
  grep -q '^ExecStart=.* sync --all \$TZDAG_SYNC_ARGS$' "$work/tzdag-sync.service" ||
    fail "the service does not run sync --all with TZDAG_SYNC_ARGS"
  ;;
logrotate)
  command -v logrotate >/dev/null || [ -x /usr/sbin/logrotate ] || exit 77
  PATH="$PATH:/usr/sbin"
  rule="$source/packaging/tzdag.logrotate"
  if ! logrotate -d -s "$work/state" "$rule" >"$work/out" 2>&1 || grep -qi 'error' "$work/out"; then
    cat "$work/out" >&2
    fail "logrotate -d finds fault with the rule"
  fi
  mkdir -m 700 "$work/log"
  sed "s|/var/log/tzdag/|$work/log/|" "$rule" >"$work/rule"
  log="$work/log/tzdag.log"
  "$tzdag" --log "$log" init "$work/first" >/dev/null
  logrotate -f -s "$work/state" "$work/rule" || fail "logrotate cannot rotate the log"
  rotated="$(find "$work/log" -name 'tzdag.log-*')"
  [ -n "$rotated" ] && [ ! -e "$log" ] || fail "logrotate left no dated file: $(ls "$work/log")"
  "$tzdag" --log "$log" init "$work/second" >/dev/null
  grep -q "tzdag: started: tzdag --log $log init $work/second" "$log" ||
    fail "tzdag did not begin a new log after the rotation"
  ! grep -q "$work/second" "$rotated" || fail "tzdag wrote to the rotated log"
  [ "$(stat -c %a "$log")" = 600 ] || fail "the new log is not private"
  ;;
*)
  fail "unknown check $what"
  ;;
esac
echo "packaging_test: $what: ok"
