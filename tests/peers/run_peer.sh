#!/bin/sh
# Runs one peer test in a network namespace of its own (its own 127.0.0.1 and port 111):
#   run_peer.sh builtin|rpcbind SERVER CLIENT [ARGS...]
# builtin: no system portmapper, the server runs its built-in one; rpcbind: rpcbind runs in the
# namespace (with a private /run) and the server registers there. Starts SERVER, waits for its
# "READY", runs the client, stops the server (which must exit 0). With AFTER_CMD set, that command
# runs after the server has stopped and must succeed too. Exit 77 (skip) when the namespace cannot
# be made (not root) or a tool is missing.
set -u
mode=$1
server=$2
shift 2

if [ "${PEER_IN_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: needs root, unshare and ip for a private network namespace"
    exit 77
  fi
  if [ "$mode" = rpcbind ] && ! command -v rpcbind >/dev/null; then
    echo "SKIP: rpcbind is not installed"
    exit 77
  fi
  PEER_IN_NAMESPACE=1 exec unshare -n -m --propagation private "$0" "$mode" "$server" "$@"
fi

ip link set lo up || { echo "SKIP: cannot bring lo up"; exit 77; }
work=$(mktemp -d)
rpcbind_pid=""
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  [ -n "$rpcbind_pid" ] && kill "$rpcbind_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $2 tenths of a second for the command $1 to succeed.
wait_until() {
  n=0
  while ! sh -c "$1" >/dev/null 2>&1; do
    n=$((n + 1))
    [ "$n" -ge "$2" ] && return 1
    sleep 0.1
  done
}

if [ "$mode" = rpcbind ]; then
  mount -t tmpfs -o mode=755 tmpfs /run || { echo "SKIP: cannot mount a private /run"; exit 77; }
  rpcbind -f >"$work/rpcbind.log" 2>&1 &
  rpcbind_pid=$!
  wait_until "rpcinfo -p 127.0.0.1" 100 || { echo "FAIL: rpcbind did not start"; cat "$work/rpcbind.log"; exit 1; }
fi

"$server" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
if ! wait_until "grep -q READY '$work/server.out'" 300; then
  echo "FAIL: the server did not start"
  cat "$work/server.out" "$work/server.err"
  exit 1
fi

"$@"
rc=$?
[ "$rc" != 0 ] && { echo "the client failed ($rc); the server's log:"; cat "$work/server.err"; }

kill -TERM "$server_pid"
wait "$server_pid"
server_rc=$?
server_pid=""
if [ "$server_rc" != 0 ]; then
  echo "FAIL: the server exited with $server_rc"
  cat "$work/server.err"
  rc=1
fi
if [ "$rc" = 0 ] && [ -n "${AFTER_CMD:-}" ]; then
  sh -c "$AFTER_CMD" || { echo "FAIL: after the server stopped: $AFTER_CMD"; rc=1; }
fi
exit "$rc"
