# The package's postinst and postrm against stand-ins for udevadm and ischroot, each case
# in a private /run (sourced by package-test; needs in_private_run).
# shellcheck shell=bash

# maintainer_script_cases CONTROL-DIRECTORY SCRATCH-DIRECTORY
maintainer_script_cases() {
    local control=$1 scratch=$2
    local fake="$scratch/fakebin" calls_log="$scratch/udevadm-calls"
    mkdir -p "$fake"
    # udevadm and ischroot stand-ins that log their calls and exit as told.
    # shellcheck disable=SC2016 # $* and ${...} belong to the stand-ins
    printf '#!/bin/sh\necho "udevadm $*" >>"%s"\nexit "${FAKE_UDEVADM_STATUS:-0}"\n' \
        "$calls_log" >"$fake/udevadm"
    # shellcheck disable=SC2016
    printf '#!/bin/sh\nexit "${FAKE_ISCHROOT_STATUS:-1}"\n' >"$fake/ischroot"
    chmod +x "$fake/udevadm" "$fake/ischroot"
    local reload_calls="udevadm control --reload-rules
udevadm trigger --subsystem-match=usb --attr-match=idVendor=131b"

    # script_case NAME SCRIPT ARGUMENT UDEV-RUNNING CHROOT UDEVADM-STATUS EXPECT-RELOAD
    # (UDEV-RUNNING, CHROOT, EXPECT-RELOAD: 0 or 1)
    script_case() {
        local name=$1 script=$2 argument=$3 running=$4 chroot=$5 udevadm_status=$6
        local expect_reload=$7 status calls expected="" result="no reload" make_udev=":"
        : >"$calls_log"
        [ "$running" -eq 1 ] && make_udev="mkdir -p /run/udev"
        in_private_run "$make_udev && PATH='$fake:/usr/sbin:/usr/bin:/sbin:/bin' \
            FAKE_ISCHROOT_STATUS=$((1 - chroot)) FAKE_UDEVADM_STATUS=$udevadm_status \
            '$control/$script' $argument" >"$scratch/script.log" 2>&1
        status=$?
        calls=$(cat "$calls_log")
        if [ "$expect_reload" -eq 1 ]; then
            expected=$reload_calls
            result="udev reloaded and triggered"
        fi
        if [ "$status" -eq 0 ] && [ "$calls" = "$expected" ]; then
            pass "$script $argument, $name: exit 0, $result"
        else
            fail "$script $argument, $name: exit $status, udevadm calls: '${calls}'"
            sed 's/^/     | /' "$scratch/script.log"
        fi
    }
    script_case "udev running" postinst configure 1 0 0 1
    script_case "no udev (container)" postinst configure 0 0 0 0
    script_case "in a chroot" postinst configure 1 1 0 0
    script_case "udevadm failing" postinst configure 1 0 1 1
    script_case "udev running" postinst abort-upgrade 1 0 0 0
    script_case "udev running" postrm remove 1 0 0 1
    script_case "udev running" postrm purge 1 0 0 1
    script_case "no udev (container)" postrm remove 0 0 0 0
    script_case "in a chroot" postrm remove 1 1 0 0
    script_case "udev running" postrm upgrade 1 0 0 0
}
