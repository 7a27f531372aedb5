#!/usr/bin/env bash
# Whole-network test of the network configuration: the firmware on a real (virtual) Ethernet link.
#
#   whole_network.sh TORVEX_PROGRAM [IDN_CLIENT]
#
# Two network namespaces joined by a veth pair: the "server" side (10.77.0.1/24) runs dnsmasq, the
# firmware's side has the other end named eth0 and runs the board program with the Linux network
# back end. Checked, through the board's "net" command (the tree's view) and the interface itself:
#  1. a DHCP lease: address, mask, router, name server and domain of the lease in the tree; the
#     instrument reached at that address from the other end of the link: *IDN? over VXI-11 with
#     IDN_CLIENT (peer_lxi_idn: liblxi through the portmapper) and, where nmblookup is installed, a
#     NetBIOS node status;
#  2. a static address (set in the saved settings between two runs) on the interface;
#  3. with no DHCP server: a 169.254/16 address;
#  4. a host that takes that address and says so with arping: the firmware moves to a new one.
# Everything it makes (namespaces, veth, processes, files) is removed at the end, however it ends.
# Needs root; without it the test is skipped (exit 77). With KEEP_WORK set, the logs and the board
# folder are copied to /tmp/net-debug-work before the clean-up.
set -u

torvex=${1:?usage: whole_network.sh TORVEX_PROGRAM [IDN_CLIENT]}
idn_client=${2:-}
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the whole-network test needs root (network namespaces, veth, dnsmasq)"
  exit 77
fi
for tool in ip dnsmasq arping; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "FAIL: $tool is missing (tools/install-deps.sh installs it)"
    exit 1
  fi
done

tag=$$
ns_srv="tvx-srv-$tag"
ns_fw="tvx-fw-$tag"
veth="tvs$tag"
work=$(mktemp -d /tmp/torvex-net.XXXXXX)
root="$work/board"
fw_pid=""
dns_pid=""

cleanup() {
  [ -n "$fw_pid" ] && kill -KILL "$fw_pid" 2>/dev/null && wait "$fw_pid" 2>/dev/null
  [ -n "$dns_pid" ] && kill -TERM "$dns_pid" 2>/dev/null && wait "$dns_pid" 2>/dev/null
  ip netns del "$ns_fw" 2>/dev/null
  ip netns del "$ns_srv" 2>/dev/null
  [ -n "${KEEP_WORK:-}" ] && cp -r "$work" /tmp/net-debug-work; rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  [ -f "$work/firmware.log" ] && { echo "--- firmware (last lines)"; tail -n 30 "$work/firmware.log"; }
  [ -f "$work/dnsmasq.log" ] && { echo "--- dnsmasq (last lines)"; tail -n 15 "$work/dnsmasq.log"; }
  exit 1
}

# Waits up to $1 seconds for the command in the other arguments to succeed.
wait_for() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

net_state() { "$torvex" board --root "$root" net 2>/dev/null; }
field() { net_state | tr ' ' '\n' | sed -n "s/^$1=//p"; }
active_with() { net_state | grep -q "active=1" && net_state | grep -q "$1"; }
fw_has_address() { ip -n "$ns_fw" -4 addr show dev eth0 | grep -q "inet $1/"; }

start_firmware() {
  ip netns exec "$ns_fw" "$torvex" --root "$root" --net linux --tick-us 2000 >>"$work/firmware.log" 2>&1 &
  fw_pid=$!
  wait_for 60 net_state || fail "the board did not answer on its control socket"
}

# A short push of the button: the firmware shuts down, saving its settings, and powers off.
stop_firmware() {
  kill -TERM "$fw_pid"
  wait "$fw_pid"
  fw_pid=""
}

# Sets a value in the saved settings (the file the next start loads).
set_saved() {
  local file="$root/yaffs/settings/LastPowerOff.xml"
  [ -f "$file" ] || fail "no saved settings at $file"
  sed -i "s|<$1 name=\"$2\" value=\"[^\"]*\"|<$1 name=\"$2\" value=\"$3\"|" "$file"
  grep -q "<$1 name=\"$2\" value=\"$3\"" "$file" || fail "could not set $2 in the saved settings"
}

# --- the link ---------------------------------------------------------------------------------------
ip netns add "$ns_srv" || fail "cannot make a network namespace"
ip netns add "$ns_fw" || fail "cannot make a network namespace"
ip link add "$veth" netns "$ns_srv" type veth peer name eth0 netns "$ns_fw" || fail "cannot make the veth pair"
ip -n "$ns_srv" addr add 10.77.0.1/24 dev "$veth"
ip -n "$ns_srv" link set "$veth" up
ip -n "$ns_srv" link set lo up

ip netns exec "$ns_srv" dnsmasq --no-daemon --conf-file=/dev/null --port=0 --user=root --group=root \
  --interface="$veth" --bind-interfaces --dhcp-range=10.77.0.50,10.77.0.60,255.255.255.0,10m \
  --dhcp-option=option:router,10.77.0.1 --dhcp-option=option:dns-server,10.77.0.53 --domain=bench.test \
  --dhcp-leasefile="$work/leases" --log-dhcp >"$work/dnsmasq.log" 2>&1 &
dns_pid=$!

# --- 1. DHCP lease --------------------------------------------------------------------------------
start_firmware
wait_for 60 active_with "ip=10.77.0." || fail "no DHCP lease in the tree: $(net_state)"
lease_ip=$(field ip)
[ "$(field mask)" = "255.255.255.0" ] || fail "mask: $(net_state)"
[ "$(field gateway)" = "10.77.0.1" ] || fail "gateway: $(net_state)"
[ "$(field dns)" = "10.77.0.53" ] || fail "name server: $(net_state)"
[ "$(field domain)" = "bench.test" ] || fail "domain: $(net_state)"
[ "$(field mode)" = "2" ] || fail "mode: $(net_state)"
wait_for 10 fw_has_address "$lease_ip" || fail "eth0 does not carry $lease_ip"
grep -q "$lease_ip" "$work/leases" || fail "dnsmasq holds no lease for $lease_ip"
echo "ok: DHCP lease $lease_ip in the tree"

# The instrument on the link: its VXI-11 server, portmapper and name server answer at the leased
# address from the other end of the veth, not only on the firmware's own loopback.
if [ -n "$idn_client" ]; then
  wait_for 60 ip netns exec "$ns_srv" "$idn_client" "$lease_ip" ||
    fail "no *IDN? answer at $lease_ip over the link: $(ip netns exec "$ns_srv" "$idn_client" "$lease_ip" 2>&1)"
  echo "ok: *IDN? over the link: $(ip netns exec "$ns_srv" "$idn_client" "$lease_ip")"
else
  echo "note: no VXI-11 client given, *IDN? over the link not asked"
fi
if command -v nmblookup >/dev/null 2>&1; then
  node_status() { ip netns exec "$ns_srv" nmblookup -A "$lease_ip" 2>/dev/null | grep -q '<20>'; }
  wait_for 60 node_status || fail "no NetBIOS node status from $lease_ip over the link"
  echo "ok: NetBIOS node status from $lease_ip over the link"
fi

# --- 2. static address ----------------------------------------------------------------------------
stop_firmware
set_saved Boolean auto_address 0
set_saved String ip_address 10.77.0.9
set_saved String net_mask 255.255.255.0
set_saved String broadcast 10.77.0.255
start_firmware
wait_for 60 active_with "mode=1" || fail "no static configuration: $(net_state)"
[ "$(field ip)" = "10.77.0.9" ] || fail "static address not kept in the tree: $(net_state)"
wait_for 10 fw_has_address 10.77.0.9 || fail "eth0 does not carry the static address"
ip netns exec "$ns_srv" arping -q -c 1 -w 3 -I "$veth" 10.77.0.9 || fail "nobody answers for 10.77.0.9"
echo "ok: static address 10.77.0.9"

# --- 3. link-local without a server ---------------------------------------------------------------
stop_firmware
kill -TERM "$dns_pid"
wait "$dns_pid" 2>/dev/null
dns_pid=""
set_saved Boolean auto_address 1
start_firmware
wait_for 90 active_with "ip=169.254." || fail "no link-local address: $(net_state)"
[ "$(field mode)" = "3" ] || fail "mode: $(net_state)"
[ "$(field mask)" = "255.255.0.0" ] || fail "mask: $(net_state)"
ll_ip=$(field ip)
wait_for 10 fw_has_address "$ll_ip" || fail "eth0 does not carry $ll_ip"
echo "ok: link-local address $ll_ip"

# --- 4. conflict ----------------------------------------------------------------------------------
passes=$(field passes)
ip -n "$ns_srv" addr add "$ll_ip/16" dev "$veth"
ip netns exec "$ns_srv" arping -q -U -c 3 -I "$veth" "$ll_ip"
wait_for 60 bash -c "[ \"\$('$torvex' board --root '$root' net | tr ' ' '\n' | sed -n 's/^passes=//p')\" -gt $passes ]" ||
  fail "the conflict did not start a new pass: $(net_state)"
wait_for 90 active_with "ip=169.254." || fail "no link-local address after the conflict: $(net_state)"
new_ip=$(field ip)
[ "$new_ip" != "$ll_ip" ] || fail "still on the contested address $ll_ip"
wait_for 10 fw_has_address "$new_ip" || fail "eth0 does not carry $new_ip"
echo "ok: conflict moved the firmware from $ll_ip to $new_ip"

stop_firmware
echo "PASS"
exit 0
