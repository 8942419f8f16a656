#!/bin/sh
# SPDX-License-Identifier: ISC
# The status loop's init script on this host, in a stub procd environment:
# config_load / config_get answer from a configuration file through the
# lookup CLI (the built-in UCI reader), and the procd_* calls are recorded.
#
#   init_script_test.sh LOOKUP INIT_SCRIPT
#
# For each value of stat_interval: whether an instance is started and with
# which command; then the command itself runs for a few seconds with a
# stand-in for tarnwick, which must be called again and again.
set -eu

lookup=$1
script=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-init.XXXXXX")
loop_pid=
cleanup() {
    [ -n "$loop_pid" ] && kill "$loop_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

# The stub environment.
config_load() { :; }
config_get() { # VAR SECTION OPTION DEFAULT
    answer=$("$lookup" "$work/lorawan" "$2" "$3")
    case $answer in
    "FOUND "*) eval "$1=\${answer#FOUND }" ;;
    *) eval "$1=\$4" ;;
    esac
}
procd_open_instance() { echo "open $*" >>"$work/procd"; }
procd_set_param() { echo "param $*" >>"$work/procd"; }
procd_close_instance() { echo "close" >>"$work/procd"; }
procd_add_reload_trigger() { echo "trigger $*" >>"$work/procd"; }

# start_service with stat_interval set to $1 ("-" for no option); what the
# stub procd saw, in $work/procd.
start_with() {
    {
        echo "config lorawan 'general'"
        echo "	option server '127.0.0.1'"
        [ "$1" = "-" ] || echo "	option stat_interval '$1'"
    } >"$work/lorawan"
    : >"$work/procd"
    (
        # shellcheck disable=SC1090
        . "$script"
        start_service
    )
}

# interval | the command procd is given ("" for no instance)
while IFS='|' read -r interval want; do
    start_with "$interval"
    got=$(sed -n 's/^param command //p' "$work/procd")
    [ "$got" = "$want" ] || fail "stat_interval '$interval': command '$got', want '$want'"
    if [ -n "$want" ]; then
        grep -qx "param respawn" "$work/procd" || fail "stat_interval '$interval': no respawn"
        [ "$(head -n 1 "$work/procd")" = "open stat" ] || fail "stat_interval '$interval': no instance opened"
        [ "$(tail -n 1 "$work/procd")" = "close" ] || fail "stat_interval '$interval': instance not closed"
    fi
done <<'CASES'
30|/bin/sh -c while :; do /usr/bin/tarnwick stat; sleep 30; done
300|/bin/sh -c while :; do /usr/bin/tarnwick stat; sleep 300; done
0|
-|
|
abc|
-5|
2.5|
CASES

# The reload trigger names the configuration.
( . "$script"; service_triggers )
grep -qx "trigger lorawan" "$work/procd" || fail "no reload trigger on lorawan"

# The loop itself, with a stand-in for tarnwick that notes each call: at an
# interval of 1 s it calls `tarnwick stat` again and again.
cat >"$work/tarnwick" <<STUB
#!/bin/sh
echo "\$*" >>"$work/calls"
STUB
chmod +x "$work/tarnwick"
start_with 1
command=$(sed -n 's/^param command \/bin\/sh -c //p' "$work/procd" | sed "s|/usr/bin/tarnwick|$work/tarnwick|")
/bin/sh -c "$command" &
loop_pid=$!
sleep 2.5
kill "$loop_pid"
wait "$loop_pid" 2>/dev/null || true
loop_pid=
calls=$(grep -cx "stat" "$work/calls" || true)
[ "$calls" -ge 2 ] && [ "$calls" -le 4 ] || fail "the loop called tarnwick stat $calls times in 2.5 s at 1 s"

[ "$failed" -eq 0 ] && echo "init script: all cases passed"
exit "$failed"
