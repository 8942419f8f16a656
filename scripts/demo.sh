#!/usr/bin/env bash
# SPDX-License-Identifier: ISC
# The end-to-end demo: builds tarnwick and runs one real LoRaWAN uplink frame
# through it against a network-server stub on loopback. The stub
# acknowledges the PUSH_DATA, answers the PULL_DATA with a PULL_ACK and a
# PULL_RESP carrying a downlink, and prints what crossed the wire. tarnwick
# runs in a private mount namespace where a scratch folder supplies
# /etc/config/lorawan, /var/iot and /dev/log: the host's files are never
# touched.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"

build="$top/build/demo"
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target tarnwick ns_stub private_run >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-demo.XXXXXX")
stub_pid=
cleanup() {
    [ -n "$stub_pid" ] && kill "$stub_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# An unconfirmed data up (MHDR 0x40, so a downlink pull follows) from
# DevAddr 26011BDA, FCnt 42, FPort 1, with its encrypted payload and MIC.
uplink_hex=40da1b0126802a00014d210d50694f49e7107d9c0826
# The downlink the server holds: unconfirmed data down, FCnt 7, FPort 1.
downlink_hex=60da1b012600070001d9dc7d8f94

"$build/tests/support/ns_stub" --downlink-hex "$downlink_hex" --seconds 15 --count 2 \
    >"$work/wire.txt" &
stub_pid=$!
port=
for _ in $(seq 50); do
    port=$(sed -n 's/^ns_stub listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/wire.txt")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "the server stub did not start" >&2; exit 1; }

mkdir -p "$work/root/etc/config" "$work/root/var/iot"
cat >"$work/root/etc/config/lorawan" <<CONFIG
config lorawan 'general'
	option server '127.0.0.1'
	option port '$port'
	option gateway_id 'a840411d2c3b4e5f'
	option mail 'gateway@example.net'
	option lati '52.1'
	option long '114.057865'
	option pfwd_debug '1'

config lorawan 'radio'
	option SF '7'
	option coderate '5'
	option BW '125'
	option rx_frequency '868100000'
CONFIG
printf '%b' "$(sed 's/../\\x&/g' <<<"$uplink_hex")" >"$work/root/var/iot/data"
size=$(( ${#uplink_hex} / 2 ))

echo "== tarnwick rxpk -57 $size   (/var/iot/data: $uplink_hex)"
set +e
"$build/tests/support/private_run" --syslog "$work/root" -- \
    "$build/forwarder/tarnwick" rxpk -57 "$size" >"$work/stdout.txt" 2>"$work/syslog.txt"
status=$?
set -e
wait "$stub_pid" || true
stub_pid=

echo "exit status $status"
echo
echo "== What crossed the wire (<- from the gateway, -> from the server)"
cat "$work/wire.txt"
echo
echo "== System log"
cat "$work/syslog.txt"
echo
echo "== Standard output of tarnwick"
cat "$work/stdout.txt"
echo
echo "== /var/iot/dldata (the downlink for the radio side)"
if [ -f "$work/root/var/iot/dldata" ]; then
    od -A d -t x1 "$work/root/var/iot/dldata"
    got=$(od -An -v -t x1 "$work/root/var/iot/dldata" | tr -d ' \n')
    if [ "$got" = "$downlink_hex" ]; then
        echo "matches the downlink the server held"
    else
        echo "DIFFERS from the downlink the server held ($downlink_hex)"
        exit 1
    fi
else
    echo "missing"
    exit 1
fi
echo
echo "== /var/iot/pull_data (the PULL_DATA header)"
od -A d -t x1 "$work/root/var/iot/pull_data"
exit "$status"
