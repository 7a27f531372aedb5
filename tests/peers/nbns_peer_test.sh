#!/bin/sh
# The name server against nmblookup and nbtscan on the loopback interface of a network namespace of
# its own: name queries answered with the instrument's address, node status listing its names, a
# new host name answered after a restart and the old one not. Where tshark is installed, every
# packet on the name-service and datagram ports must decode without a malformed mark.
# Usage: nbns_peer_test.sh <nbns_peer_server>. Exit 77 means skipped.
set -u
server=$1

if [ "${NBNS_PEER_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: root needed to bind port 137 in a network namespace"
    exit 77
  fi
  for tool in nmblookup nbtscan unshare ip; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "SKIP: $tool not installed (tools/install-deps.sh installs it)"
      exit 77
    fi
  done
  if ! unshare -n true 2>/dev/null; then
    echo "SKIP: network namespaces not available"
    exit 77
  fi
  NBNS_PEER_INSIDE=1 exec unshare -n "$0" "$@"
fi

ip link set lo up
work=$(mktemp -d)
server_pid=
capture_pid=
failures=0
cleanup() {
  exec 3>&- 2>/dev/null
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null && wait "$capture_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Waits up to 30 s until the file holds `count` lines matching the pattern.
wait_for_lines() {
  file=$1 pattern=$2 count=$3 tries=0
  while [ "$(grep -c -- "$pattern" "$file" 2>/dev/null)" -lt "$count" ]; do
    tries=$((tries + 1))
    [ $tries -gt 300 ] && return 1
    sleep 0.1
  done
  return 0
}

if command -v tshark >/dev/null 2>&1; then
  tshark -i lo -f "udp port 137 or udp port 138" -w "$work/capture.pcapng" >"$work/tshark.log" 2>&1 &
  capture_pid=$!
  wait_for_lines "$work/tshark.log" "Capturing on" 1 || fail "tshark did not start capturing"
else
  echo "tshark not installed: packets are not decoded"
fi

mkfifo "$work/commands"
"$server" TORVEX WORKGRP <"$work/commands" >"$work/server.log" 2>&1 &
server_pid=$!
exec 3>"$work/commands"
wait_for_lines "$work/server.log" "^started 0" 1 || { cat "$work/server.log"; fail "the server did not start"; exit 1; }

expect() {
  what=$1 pattern=$2
  shift 2
  out=$("$@" 2>&1)
  if ! printf '%s\n' "$out" | grep -q -- "$pattern"; then
    printf '%s\n' "$out"
    fail "$what"
  fi
}
expect_not() {
  what=$1 pattern=$2
  shift 2
  out=$("$@" 2>&1)
  if printf '%s\n' "$out" | grep -q -- "$pattern"; then
    printf '%s\n' "$out"
    fail "$what"
  fi
}

expect "unicast name query" "^127.0.0.1 TORVEX<00>" nmblookup -U 127.0.0.1 TORVEX
expect "broadcast name query" "^127.0.0.1 TORVEX<00>" nmblookup -B 127.255.255.255 TORVEX
expect "name query for type 0x20" "^127.0.0.1 TORVEX<20>" nmblookup -U 127.0.0.1 'TORVEX#20'
expect_not "no answer for an unknown name" "^127.0.0.1 STRANGER" nmblookup -U 127.0.0.1 STRANGER
expect "node status lists the host name" "TORVEX *<20> - *B <ACTIVE> <PERMANENT>" nmblookup -A 127.0.0.1
expect "node status lists the workgroup" "WORKGRP *<f0> - <GROUP> B <ACTIVE>" nmblookup -A 127.0.0.1
expect "nbtscan names the host" "^127.0.0.1 *TORVEX " nbtscan 127.0.0.1
expect "nbtscan lists the names" "__SAMBA__ *<00> *UNIQUE" nbtscan -v 127.0.0.1

echo "rename NEWNAME" >&3
wait_for_lines "$work/server.log" "^started 0" 2 || fail "the server did not start again"
expect "the new name is answered" "^127.0.0.1 NEWNAME<00>" nmblookup -U 127.0.0.1 NEWNAME
expect "the new name is answered to broadcasts" "^127.0.0.1 NEWNAME<00>" nmblookup -B 127.255.255.255 NEWNAME
expect_not "the old name is not answered" "^127.0.0.1 TORVEX" nmblookup -U 127.0.0.1 TORVEX
expect_not "the old name is not answered to broadcasts" "^127.0.0.1 TORVEX" nmblookup -B 127.255.255.255 TORVEX
expect "node status shows the new name" "NEWNAME *<20>" nmblookup -A 127.0.0.1

echo stop >&3
exec 3>&-
wait "$server_pid"
server_pid=
grep -q "^stopped 0" "$work/server.log" || fail "the server did not stop cleanly"

if [ -n "$capture_pid" ]; then
  kill "$capture_pid"
  wait "$capture_pid" 2>/dev/null
  capture_pid=
  packets=$(tshark -r "$work/capture.pcapng" -Y "nbns || nbdgm" 2>/dev/null | wc -l)
  malformed=$(tshark -r "$work/capture.pcapng" -Y "_ws.malformed || _ws.expert.severity == error" 2>/dev/null)
  [ "$packets" -gt 0 ] || fail "tshark saw no name-service packets"
  if [ -n "$malformed" ]; then
    printf '%s\n' "$malformed"
    fail "tshark marks packets as malformed"
  fi
  echo "tshark decoded $packets packets"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  cat "$work/server.log"
  exit 1
fi
echo "all name-service peer checks passed"
