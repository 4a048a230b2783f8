#!/usr/bin/env bash
# Runs kestavane-cli this-pc, check-dhcp and check-dns on a NetworkManager
# desktop as the tests' fake services describe it on a private bus: inside a
# throwaway network and mount namespace with three Ethernet links, eth0 with
# DHCP and a server, eth1 static, eth2 with DHCP but no server option. The
# links' other ends stay down and hold no address, so the report leaves them
# out. Needs root (namespaces). Everything it starts ends within 60 seconds.
#
# NetworkManager's lease files are in place as its clients leave them: a
# dhclient lease naming the server for eth0, and its own client's file, which
# holds the address only, for eth2. With --no-bus the same links are shown
# with no bus at all, and with --silent-bus with a NetworkManager that owns
# its name but never answers: both times what the files and the kernel tell
# alone.
#
# Usage: tests/this_pc_on_fake_bus.sh [BUILD-BIN-FOLDER [--no-bus|--silent-bus]]   (default build/bin)
set -euo pipefail

bin=$(realpath "${1:-build/bin}")
mode=${2:-}
if [ -z "${KV_FAKE_BUS_INSIDE:-}" ]; then
  exec env KV_FAKE_BUS_INSIDE=1 timeout 90 unshare --net --mount "$(realpath "$0")" "$bin" "$mode"
fi

mount -t sysfs none /sys # this namespace's links, not the host's
mount -t tmpfs none /run # and none of the host's run-time state
dir=$(mktemp -d /tmp/kvfakebus.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

for i in 0 1 2; do
  ip link add "eth$i" type veth peer name "peer$i"
  ip link set "eth$i" up
done
ip addr add 192.168.1.50/24 dev eth0 valid_lft 86400 preferred_lft 86400
ip addr add 10.0.0.5/24 dev eth1
ip addr add 172.16.0.20/24 dev eth2 valid_lft 3600 preferred_lft 3600
ip route add default via 192.168.1.1 dev eth0 proto dhcp metric 100
ip route add default via 10.0.0.1 dev eth1 proto static metric 200
ip route add default via 172.16.0.1 dev eth2 proto dhcp metric 300

mkdir -p /run/NetworkManager
cat >/run/NetworkManager/dhclient-5f6c2f0e-3a53-4c0e-9d8f-0e1c7d2a0001-eth0.lease <<EOF
lease {
  interface "eth0";
  fixed-address 192.168.1.50;
  option subnet-mask 255.255.255.0;
  option routers 192.168.1.1;
  option dhcp-server-identifier 192.168.1.1;
  option domain-name-servers 192.168.1.1,9.9.9.9;
}
EOF
printf '# This is private data. Do not parse.\nADDRESS=172.16.0.20\n' \
  >/run/NetworkManager/internal-5f6c2f0e-3a53-4c0e-9d8f-0e1c7d2a0003-eth2.lease

cat >"$dir/bus.conf" <<EOF
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_completed_connections">32</limit>
</busconfig>
EOF
cat >"$dir/scenario" <<EOF
device lo
device eth0 dhcp ip_address=192.168.1.50 dhcp_server_identifier=192.168.1.1 dhcp_lease_time=86400 expiry=1796601600
nameservers eth0 192.168.1.1 9.9.9.9
device eth1
nameservers eth1 10.0.0.53
device eth2 dhcp ip_address=172.16.0.20 dhcp_lease_time=3600 expiry=1796520000
resolved $(cat /sys/class/net/eth2/ifindex) 172.16.0.53 2001:db8::53
EOF
[ "$mode" != "--silent-bus" ] || echo silent >>"$dir/scenario"

if [ "$mode" != "--no-bus" ]; then
  timeout 60 dbus-daemon --nofork --nopidfile --config-file="$dir/bus.conf" >"$dir/daemon.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -S "$dir/bus" ] && break; sleep 0.05; done
  "$bin/fake_network_service" "unix:path=$dir/bus" "$dir/scenario" 60 >"$dir/service.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q READY "$dir/service.log" && break; sleep 0.05; done
fi

export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus"
for command in this-pc check-dhcp check-dns; do
  echo "\$ kestavane-cli $command"
  status=0
  start=$(date +%s%N)
  "$bin/kestavane-cli" "$command" || status=$?
  echo "(exit status $status, $((($(date +%s%N) - start) / 1000000)) ms)"
done
[ ! -f "$dir/scenario.asked" ] || echo "(the silent service was asked $(cat "$dir/scenario.asked") times)"
