# The package's postinst and postrm against stand-ins for udevadm, ischroot, getent,
# groupadd and systemctl, each case in a private /run (sourced by package-test; needs
# in_private_run).
# shellcheck shell=bash

# maintainer_script_cases CONTROL-DIRECTORY SCRATCH-DIRECTORY
maintainer_script_cases() {
    local control=$1 scratch=$2
    local fake="$scratch/fakebin" calls_log="$scratch/maintainer-calls"
    mkdir -p "$fake"
    # Stand-ins that log their calls and exit as told: udevadm, groupadd and systemctl
    # (FAKE_STATUS), ischroot (FAKE_ISCHROOT_STATUS), getent, which knows the group kvtool
    # unless FAKE_NO_GROUP=1.
    for tool in udevadm groupadd systemctl; do
        # shellcheck disable=SC2016 # $* and ${...} belong to the stand-ins
        printf '#!/bin/sh\necho "%s $*" >>"%s"\nexit "${FAKE_STATUS:-0}"\n' \
            "$tool" "$calls_log" >"$fake/$tool"
    done
    # shellcheck disable=SC2016
    printf '#!/bin/sh\nexit "${FAKE_ISCHROOT_STATUS:-1}"\n' >"$fake/ischroot"
    # shellcheck disable=SC2016
    printf '#!/bin/sh\n[ "${FAKE_NO_GROUP:-0}" = 1 ] && exit 2\necho "kvtool:x:990:"\n' \
        >"$fake/getent"
    chmod +x "$fake"/*
    local udev_calls="udevadm control --reload-rules
udevadm trigger --subsystem-match=usb --attr-match=idVendor=131b"
    local group_call="groupadd --system kvtool" systemd_call="systemctl --system daemon-reload"

    # script_case NAME SCRIPT ARGUMENT SETUP EXPECTED-CALLS [ENVIRONMENT]
    # SETUP runs first in the private /run (mkdir -p /run/udev: udev runs); the calls are
    # those of the stand-ins, in order, one a line.
    script_case() {
        local name=$1 script=$2 argument=$3 setup=$4 expected=$5 environment=${6:-} status calls
        : >"$calls_log"
        in_private_run "$setup && PATH='$fake:/usr/sbin:/usr/bin:/sbin:/bin' $environment \
            '$control/$script' $argument" >"$scratch/script.log" 2>&1
        status=$?
        calls=$(cat "$calls_log")
        if [ "$status" -eq 0 ] && [ "$calls" = "$expected" ]; then
            expected=${expected//$'\n'/; }
            pass "$script $argument, $name: exit 0, ${expected:-nothing called}"
        else
            fail "$script $argument, $name: exit $status, calls: '${calls}', expected '$expected'"
            sed 's/^/     | /' "$scratch/script.log"
        fi
    }
    local udev="mkdir -p /run/udev" systemd="mkdir -p /run/systemd/system"
    script_case "udev running" postinst configure "$udev" "$udev_calls"
    script_case "no udev (container)" postinst configure ":" ""
    script_case "in a chroot" postinst configure "$udev" "" FAKE_ISCHROOT_STATUS=0
    script_case "udevadm failing" postinst configure "$udev" "$udev_calls" FAKE_STATUS=1
    script_case "no group kvtool yet" postinst configure ":" "$group_call" FAKE_NO_GROUP=1
    script_case "groupadd failing" postinst configure ":" "$group_call" \
        "FAKE_NO_GROUP=1 FAKE_STATUS=1"
    script_case "systemd running" postinst configure "$systemd" "$systemd_call"
    script_case "systemctl failing" postinst configure "$systemd" "$systemd_call" FAKE_STATUS=1
    script_case "udev running" postinst abort-upgrade "$udev" ""
    script_case "udev running" postrm remove "$udev" "$udev_calls"
    script_case "udev running" postrm purge "$udev" "$udev_calls"
    script_case "systemd running" postrm remove "$systemd" "$systemd_call"
    script_case "no udev (container)" postrm remove ":" ""
    script_case "in a chroot" postrm remove "$udev" "" FAKE_ISCHROOT_STATUS=0
    script_case "udev running" postrm upgrade "$udev" ""
}
