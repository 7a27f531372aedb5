#!/bin/sh
# The whole firmware over VXI-11 with liblxi, in a network namespace of its own (its own loopback and
# port 111 for the board's portmapper):
#   firmware_vxi11.sh CLIENT TORVEX_BINARY READY_LIMIT_MS
# Exit 77 (skip) when the namespace cannot be made (not root).
set -u
if [ "${PEER_IN_NAMESPACE:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: needs root, unshare and ip for a private network namespace"
    exit 77
  fi
  PEER_IN_NAMESPACE=1 exec unshare -n "$0" "$@"
fi
ip link set lo up || { echo "SKIP: cannot bring lo up"; exit 77; }
exec "$@"
