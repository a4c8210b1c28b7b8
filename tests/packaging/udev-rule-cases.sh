# udev itself reads the rule and tags exactly the probes: `udevadm test` on umockdev
# devices (sourced by package-test; needs in_private_run).
# shellcheck shell=bash

# udev_rule_cases SETUP RULE-PATH SCRATCH-DIRECTORY
# Each case runs in a private /run: udevadm test writes the udev database under /run/udev,
# which must neither reach the machine nor carry over from one case to the next. SETUP is
# a shell command that makes the rule visible to udev (copies it into /run/udev/rules.d,
# or nothing when the package is installed); RULE-PATH is where udev then finds it.
udev_rule_cases() {
    local setup=$1 rule_path=$2 scratch=$3
    local syspath=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1

    # rule_case NAME VENDOR PRODUCT DEVTYPE EXPECT-UACCESS(0/1)
    rule_case() {
        local name=$1 expect=$5 output tags complaints
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
        output=$(in_private_run "$setup && umockdev-run --device '$scratch/device.umockdev' \
            -- udevadm test --action=add $syspath" 2>&1)
        if [[ $output != *"Reading rules file: $rule_path"* ]]; then
            fail "udevadm test, $name: udev did not read $rule_path"
            printf '%s\n' "$output" | tail -20 | sed 's/^/     | /'
            return
        fi
        # udev names the file and line of every rule it cannot use.
        complaints=$(grep -F "$rule_path:" <<<"$output")
        [ -z "$complaints" ] || fail "udev complains about the rule: $complaints"
        tags=$(grep '^TAGS=' <<<"$output")
        if [ "$expect" -eq 1 ] && [[ $tags == *":uaccess:"* ]]; then
            pass "udevadm test, $name: tagged uaccess ($tags)"
        elif [ "$expect" -eq 0 ] && [[ $tags != *"uaccess"* ]]; then
            pass "udevadm test, $name: not tagged uaccess (${tags:-no TAGS})"
        else
            fail "udevadm test, $name: tags '${tags}', expected uaccess: $expect"
        fi
    }
    rule_case "probe 131b:0002" 131b 0002 usb_device 1
    rule_case "probe 131b:0003" 131b 0003 usb_device 1
    rule_case "probe 131b:00ff" 131b 00ff usb_device 1
    rule_case "other product 131b:0004" 131b 0004 usb_device 0
    rule_case "other vendor 046d:0003" 046d 0003 usb_device 0
    rule_case "interface of 131b:0003" 131b 0003 usb_interface 0
}
