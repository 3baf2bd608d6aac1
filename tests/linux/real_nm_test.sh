#!/usr/bin/env bash
# The NetworkManager binding against a real NetworkManager daemon, in a
# throwaway network namespace with a private system bus: nothing of the
# machine's own network is touched. Needs root (network namespaces, mounts);
# without it the test is skipped (exit 77). Only the user running the test may
# use that bus (its socket lives in the test's own 0700 folder), the daemon
# takes orders from root only (polkit off) and leaves DNS alone.
#
# Usage: real_nm_test.sh PATH/TO/networkmanager_real_linux_test
set -euo pipefail
probe=$(realpath "$1")
if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the real NetworkManager test needs root (network namespace and mounts)"
    exit 77
fi
for tool in NetworkManager nmcli ip unshare dbus-daemon; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool is missing (packages network-manager, iproute2, util-linux, dbus)" >&2
        exit 1
    fi
done
. "$(dirname "$0")/../../scripts/lib/services.sh"

work=$(mktemp -d)
ns="teleora-test-$$"
nm_pid=""
cleanup() {
    if [ -n "$nm_pid" ]; then stop_pid "$nm_pid"; fi
    stop_services
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The private system bus admits the user running the test and nobody else.
write_bus_conf "$work" "unix:path=$work/system_bus_socket"
bus_out=$(dbus-daemon --fork --config-file="$work/bus.conf" --print-address=1 --print-pid=1)
BUS_ADDRESS=$(echo "$bus_out" | sed -n 1p)
TELEORA_PIDS+=("$(echo "$bus_out" | sed -n 2p)")
export BUS_ADDRESS DBUS_SYSTEM_BUS_ADDRESS=$BUS_ADDRESS

ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" ip link add veth0 type veth peer name veth1
ip netns exec "$ns" ip link set veth1 up
ip netns exec "$ns" ip link add veth2 type veth peer name veth3
ip netns exec "$ns" ip link set veth3 up

# Empty configuration folders: nothing of the machine's own configuration
# (conf.d under /etc and /usr/lib) overrides NM.conf.
mkdir -p "$work/profiles" "$work/conf.d" "$work/system-conf.d" /run/NetworkManager \
    /var/lib/NetworkManager
chmod 700 "$work/profiles"
cat >"$work/NM.conf" <<CONF
[main]
auth-polkit=root-only
dns=none
plugins=keyfile
no-auto-default=*

[keyfile]
path=$work/profiles
CONF

unshare -m --propagation private sh -c "mount -t tmpfs none /run/NetworkManager && \
    mount -t tmpfs none /var/lib/NetworkManager && \
    exec ip netns exec $ns sh -c 'mount -o remount,ro /sys && \
    exec NetworkManager --no-daemon --config=$work/NM.conf \
    --config-dir=$work/conf.d --system-config-dir=$work/system-conf.d --state-file=$work/state'" \
    >"$work/nm.log" 2>&1 &
nm_pid=$!
wait_for_nm || { cat "$work/nm.log" >&2; exit 1; }

nmc() { nmcli --wait 10 "$@"; }
# A wired profile that sends no traffic, brought up on veth0; a PPPoE profile
# on veth2 (it fails: no PPP service); a VPN whose plugin is not installed.
veth2_managed() {
    nmc -t -f DEVICE,STATE device | grep -q '^veth2:\(disconnected\|unavailable\)'
}
wait_until 5 veth2_managed || true
nmc connection add type ethernet ifname veth0 con-name "Wired" autoconnect no \
    ipv4.method disabled ipv6.method disabled >/dev/null
nmc connection add type pppoe ifname veth2 con-name "Provider PPPoE" pppoe.username u \
    pppoe.password p autoconnect no >/dev/null
# A Bluetooth phone's dial-up (DUN) profile and a Bluetooth PAN link.
nmc connection add type bluetooth con-name "Telefono DUN" bluetooth.bdaddr 00:11:22:33:44:55 \
    bluetooth.type dun gsm.apn internet autoconnect no >/dev/null
nmc connection add type bluetooth con-name "Rete BT" bluetooth.bdaddr 00:11:22:33:44:56 \
    bluetooth.type panu autoconnect no >/dev/null
nmc connection add type vpn vpn-type openvpn con-name "Ufficio VPN" autoconnect no \
    vpn.data "remote=192.0.2.1" >/dev/null 2>&1 || true
nmc connection up "Wired" >/dev/null || { nmc device; cat "$work/nm.log" >&2; exit 1; }

cd "$work"
"$probe"
