# udev itself reads the rules and applies them to exactly the probes: `udevadm test` on
# umockdev devices (sourced by package-test; needs in_private_run).
# shellcheck shell=bash

# udev_test SETUP VENDOR PRODUCT DEVTYPE SCRATCH: what `udevadm test` says of one device.
# Each run is in a private /run: udevadm test writes the udev database under /run/udev,
# which must neither reach the machine nor carry over from one case to the next. SETUP is
# a shell command that makes the rules visible to udev (copies them into /run/udev/rules.d,
# or nothing when the package is installed).
udev_test() {
    local setup=$1 scratch=$5 syspath=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1
    cat >"$scratch/device.umockdev" <<DEVICE
P: ${syspath#/sys}
N: bus/usb/001/002
E: DEVNAME=/dev/bus/usb/001/002
E: DEVTYPE=$4
E: SUBSYSTEM=usb
E: MAJOR=189
E: MINOR=1
E: BUSNUM=001
E: DEVNUM=002
A: idVendor=$2
A: idProduct=$3
A: serial=K0000001
A: busnum=1
A: devnum=2
DEVICE
    in_private_run "$setup && umockdev-run --device '$scratch/device.umockdev' \
        -- udevadm test --action=add $syspath" 2>&1
}

# rule_read NAME RULE-PATH OUTPUT: whether udev read the rule without a complaint.
rule_read() {
    local name=$1 rule_path=$2 output=$3 complaints
    if [[ $output != *"Reading rules file: $rule_path"* ]]; then
        fail "udevadm test, $name: udev did not read $rule_path"
        printf '%s\n' "$output" | tail -20 | sed 's/^/     | /'
        return 1
    fi
    # udev names the file and line of every rule it cannot use.
    complaints=$(grep -F "$rule_path:" <<<"$output" | grep -v '^1-1: ')
    [ -z "$complaints" ] || fail "udev complains about the rule: $complaints"
}

# The probes and what is no probe, for both rules: NAME VENDOR PRODUCT DEVTYPE EXPECT(0/1).
probe_devices() {
    "$@" "probe 131b:0002" 131b 0002 usb_device 1
    "$@" "probe 131b:0003" 131b 0003 usb_device 1
    "$@" "probe 131b:00ff" 131b 00ff usb_device 1
    "$@" "other product 131b:0004" 131b 0004 usb_device 0
    "$@" "other vendor 046d:0003" 046d 0003 usb_device 0
    "$@" "interface of 131b:0003" 131b 0003 usb_interface 0
}

# udev_rule_cases SETUP RULE-PATH SCRATCH-DIRECTORY: 60-kvtool.rules tags exactly the
# probes with "uaccess". RULE-PATH is where udev finds the rule.
udev_rule_cases() {
    local setup=$1 rule_path=$2 scratch=$3

    uaccess_case() {
        local name=$1 expect=$5 output tags
        output=$(udev_test "$setup" "$2" "$3" "$4" "$scratch")
        rule_read "$name" "$rule_path" "$output" || return
        tags=$(grep '^TAGS=' <<<"$output")
        if [ "$expect" -eq 1 ] && [[ $tags == *":uaccess:"* ]]; then
            pass "udevadm test, $name: tagged uaccess ($tags)"
        elif [ "$expect" -eq 0 ] && [[ $tags != *"uaccess"* ]]; then
            pass "udevadm test, $name: not tagged uaccess (${tags:-no TAGS})"
        else
            fail "udevadm test, $name: tags '${tags}', expected uaccess: $expect"
        fi
    }
    probe_devices uaccess_case
}

# group_rule_cases SETUP RULE-PATH SCRATCH-DIRECTORY: 61-kvtool-group.rules gives the
# group kvtool read and write access to exactly the probes' nodes. Where the machine has
# no such group (the package is not installed), the private namespace gets a copy of
# /etc/group that has one.
group_rule_cases() {
    local setup=$1 rule_path=$2 scratch=$3 gid
    if gid=$(getent group kvtool | cut -d: -f3) && [ -n "$gid" ]; then
        :
    else
        gid=64999
        setup="$setup && cp /etc/group /run/kvtool-group && echo kvtool:x:$gid: >>/run/kvtool-group \
            && mount --bind /run/kvtool-group /etc/group"
    fi

    group_case() {
        local name=$1 expect=$5 output given
        output=$(udev_test "$setup" "$2" "$3" "$4" "$scratch")
        rule_read "$name" "$rule_path" "$output" || return
        given=$(grep -F "$rule_path:" <<<"$output" | grep -E ' (GROUP|MODE) ' | sed 's/.*:[0-9]* //')
        if [ "$expect" -eq 1 ] && [ "$given" = "GROUP $gid"$'\n'"MODE 0664" ]; then
            pass "udevadm test, $name: group kvtool ($gid) reads and writes it"
        elif [ "$expect" -eq 0 ] && [ -z "$given" ]; then
            pass "udevadm test, $name: group and mode left alone"
        else
            fail "udevadm test, $name: the rule set '${given//$'\n'/, }', expected it: $expect"
        fi
    }
    probe_devices group_case
}
