#!/usr/bin/env bash
# The kernel's mutable namespace-scope objects: every object that the static
# library places in .bss, .data, .tbss or .tdata (guard variables, unwinding
# references and read-only tables aside). Each is state that two runs in one
# process would share. The approved list (kernel_globals.txt beside this
# script) may only shrink: an object not on it fails the test, and so does a
# listed object that is gone (take it off the list).
#
#   tests/kernel_globals.sh LIBRARY [--list]
#
# --list prints the objects the library holds now, one a line, sorted.
set -euo pipefail
lib="$1"
list="$(dirname "$0")/kernel_globals.txt"
objects=$(nm -C --format=sysv "$lib" | awk -F'|' '
  { s = $7; gsub(/ /, "", s); n = $1; sub(/ +$/, "", n)
    if (s ~ /^\.(bss|data|tbss|tdata)(\.|$)/ && s !~ /^\.data\.rel\.ro/) print n }' |
  grep -v -e '^guard variable' -e '^DW\.ref' | LC_ALL=C sort -u)
if [ "${2-}" = "--list" ]; then
  printf '%s\n' "$objects"
  exit 0
fi
approved=$(grep -v '^#' "$list" | grep -v '^$' | LC_ALL=C sort -u)
new=$(LC_ALL=C comm -23 <(printf '%s\n' "$objects") <(printf '%s\n' "$approved"))
gone=$(LC_ALL=C comm -13 <(printf '%s\n' "$objects") <(printf '%s\n' "$approved"))
count=$(printf '%s\n' "$objects" | grep -c . || true)
status=0
if [ -n "$new" ]; then
  echo "mutable objects at namespace scope that are not on $list (keep the state in the object that owns it):"
  printf '%s\n' "$new" | sed 's/^/  /'
  status=1
fi
if [ -n "$gone" ]; then
  echo "objects on $list that the kernel no longer holds (take them off the list):"
  printf '%s\n' "$gone" | sed 's/^/  /'
  status=1
fi
echo "mutable namespace-scope objects in the kernel: $count"
exit $status
