#!/usr/bin/env bash
# Counts the system calls a program makes between two marker writes:
#   syscalls_between_markers.sh PROGRAM TRACED_CALLS EXPECTED
# PROGRAM writes "begin marked region\n" and "end marked region\n" to
# standard output; TRACED_CALLS is strace's list (e.g. "futex" or
# "mmap,munmap"); the test passes when exactly EXPECTED of those calls fall
# between the markers, counting every thread. Exits 77 (skipped) when strace
# is not installed.
set -euo pipefail
program="$1" traced="$2" expected="$3"
command -v strace >/dev/null || { echo "strace not installed: skipped"; exit 77; }
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
strace -f -e trace="write,$traced" -o "$log" "$program" >/dev/null
pattern="$(echo "$traced" | sed 's/,/|/g')"
calls="$(awk -v pattern="^($pattern)\\\\(" '
  /write\(1, "begin marked region/ {inside=1; next}
  /write\(1, "end marked region/ {inside=0; done=1}
  inside {
    line=$0
    sub(/^[0-9]+ +/, "", line)   # the thread id strace -f puts first
    if (line ~ pattern) {n++; print "  " line > "/dev/stderr"}
  }
  END {if (!done) print "markers-missing"; else print n+0}' "$log")"
echo "$traced calls between the markers: $calls (expected $expected)"
[ "$calls" = "$expected" ]
