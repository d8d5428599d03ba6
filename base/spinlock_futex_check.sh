#!/usr/bin/env bash
# Runs spinlock_futex_check under strace and fails if any futex call falls
# between its "begin" and "end" markers: uncontended locks and finished onces
# must stay in user space. Exits 77 (skipped) without strace.
set -euo pipefail
program="$1"
command -v strace >/dev/null || { echo "strace not installed: skipped"; exit 77; }
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
strace -f -e trace=futex,write -o "$log" "$program" >/dev/null
calls="$(awk '/write\(1, "begin uncontended/ {inside=1; next}
              /write\(1, "end uncontended/ {inside=0; done=1}
              inside && /futex\(/ {n++}
              END {if (!done) print "markers-missing"; else print n+0}' "$log")"
echo "futex calls between the markers: $calls"
[ "$calls" = "0" ]
