#!/bin/bash
# Runs the ZN480 udev rules through `udevadm test` against simulated devices:
# a umockdev testbed supplies a ZN480 in CDC and HID personality plus
# look-alikes from another vendor and another product of the same vendor, and a private mount namespace puts only our
# rules (and systemd's 73-seat-late.rules, which acts on the uaccess tag) in
# front of udev, with /run and /dev private so nothing touches the host.
# Usage: udev_rules_test.sh RULES_FILE
set -euo pipefail
rules=$(readlink -f "$1")
name=$(basename "$rules")

if [ -z "${ZN480_UDEV_TEST_INNER:-}" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for a private mount namespace"; exit 77; }
    for tool in udevadm umockdev-run unshare; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
    done
    # The scratch folder is removed out here, once the namespace and every
    # bind mount into it are gone.
    work=$(mktemp -d)
    trap 'rm -rf --one-file-system "$work"' EXIT
    rc=0
    ZN480_UDEV_TEST_INNER="$work" unshare -m --propagation private "$0" "$@" || rc=$?
    exit $rc
fi

# ---- inside the private mount namespace -----------------------------------
work=$ZN480_UDEV_TEST_INNER
mkdir -p "$work/rules"
cp "$rules" "$work/rules/"
seat_late=
for d in /usr/lib/udev/rules.d /lib/udev/rules.d; do
    if [ -f "$d/73-seat-late.rules" ]; then
        cp "$d/73-seat-late.rules" "$work/rules/"; seat_late=1; break
    fi
done
for d in /etc/udev/rules.d /usr/lib/udev/rules.d /usr/local/lib/udev/rules.d /lib/udev/rules.d; do
    [ -d "$d" ] && mount --bind "$work/rules" "$d"
done
# udevadm writes its database under /run/udev and links under /dev/char.
mount -t tmpfs tmpfs /run
mkdir "$work/dev"
mount -t tmpfs tmpfs "$work/dev"
for n in null zero random urandom full tty ptmx; do
    touch "$work/dev/$n"; mount --bind "/dev/$n" "$work/dev/$n"
done
mkdir "$work/dev/pts" "$work/dev/shm"
mount --rbind /dev/pts "$work/dev/pts"
mount --rbind "$work/dev" /dev

# ---- the simulated devices -------------------------------------------------
# usbdev PATH VENDOR PRODUCT; iface PATH; node PATH SUBSYSTEM MAJOR MINOR DEVNAME
{
usbdev() { printf 'P: /devices/%s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=%s\nA: idProduct=%s\n\n' "$1" "$2" "$3"; }
plain() { printf 'P: /devices/%s\nE: SUBSYSTEM=%s\n\n' "$1" "$2"; }
node() { printf 'P: /devices/%s\nE: SUBSYSTEM=%s\nE: MAJOR=%s\nE: MINOR=%s\nE: DEVNAME=/dev/%s\n\n' "$@"; }
zn=pci0000:00/0000:00:14.0/usb1/1-2
other=pci0000:00/0000:00:14.0/usb1/1-3
sibling=pci0000:00/0000:00:14.0/usb1/1-4
node "$zn/1-2:1.0/tty/ttyACM0" tty 166 0 ttyACM0
node "$zn/1-2:1.0/0003:6A4E:0013.0001/hidraw/hidraw0" hidraw 243 0 hidraw0
node "$zn/1-2:1.0/0003:6A4E:0013.0001/input/input7/event7" input 13 71 input/event7
plain "$zn/1-2:1.0/0003:6A4E:0013.0001/input/input7" input
plain "$zn/1-2:1.0/0003:6A4E:0013.0001" hid
printf 'P: /devices/%s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n' "$zn/1-2:1.0"
usbdev "$zn" 6a4e 0013
node "$other/1-3:1.0/tty/ttyACM1" tty 166 1 ttyACM1
node "$other/1-3:1.0/0003:1234:5678.0002/hidraw/hidraw1" hidraw 243 1 hidraw1
node "$other/1-3:1.0/0003:1234:5678.0002/input/input8/event8" input 13 72 input/event8
plain "$other/1-3:1.0/0003:1234:5678.0002/input/input8" input
plain "$other/1-3:1.0/0003:1234:5678.0002" hid
printf 'P: /devices/%s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n' "$other/1-3:1.0"
usbdev "$other" 1234 5678
# Another product of the reader's vendor, as a keyboard.
node "$sibling/1-4:1.0/0003:6A4E:0099.0003/hidraw/hidraw2" hidraw 243 2 hidraw2
node "$sibling/1-4:1.0/0003:6A4E:0099.0003/input/input9/event9" input 13 73 input/event9
plain "$sibling/1-4:1.0/0003:6A4E:0099.0003/input/input9" input
plain "$sibling/1-4:1.0/0003:6A4E:0099.0003" hid
printf 'P: /devices/%s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n' "$sibling/1-4:1.0"
usbdev "$sibling" 6a4e 0099
plain pci0000:00/0000:00:14.0/usb1 usb
plain pci0000:00/0000:00:14.0 pci
node platform/serial8250/tty/ttyS0 tty 4 64 ttyS0
plain platform/serial8250 platform
} > "$work/devices.umockdev"

# Each case: sysfs path | action | uaccess tag expected (1/0) | ID_MM_DEVICE_IGNORE=1 expected (1/0).
# The seat user gets the nodes the programs open (the reader's tty and raw
# HID node) and no node that can inject input: not the reader's keyboard
# event node, nothing of another product of the vendor.
cases=$(cat <<EOF
$zn/1-2:1.0/tty/ttyACM0|add|1|1
$zn/1-2:1.0/tty/ttyACM0|change|1|1
$zn|add|0|1
$zn/1-2:1.0/0003:6A4E:0013.0001/hidraw/hidraw0|add|1|0
$zn/1-2:1.0/0003:6A4E:0013.0001/hidraw/hidraw0|change|1|0
$zn/1-2:1.0/0003:6A4E:0013.0001/input/input7/event7|add|0|0
$zn/1-2:1.0/0003:6A4E:0013.0001/input/input7/event7|change|0|0
$sibling/1-4:1.0/0003:6A4E:0099.0003/hidraw/hidraw2|add|0|0
$sibling/1-4:1.0/0003:6A4E:0099.0003/input/input9/event9|add|0|0
$sibling|add|0|1
$zn/1-2:1.0/0003:6A4E:0013.0001/input/input7|add|0|0
$zn/1-2:1.0/tty/ttyACM0|remove|0|0
$other/1-3:1.0/tty/ttyACM1|add|0|0
$other/1-3:1.0/0003:1234:5678.0002/hidraw/hidraw1|add|0|0
$other/1-3:1.0/0003:1234:5678.0002/input/input8/event8|add|0|0
$other|add|0|0
platform/serial8250/tty/ttyS0|add|0|0
EOF
)
cat > "$work/run-cases.sh" <<'EOF'
#!/bin/bash
# Runs inside the umockdev testbed: one `udevadm test` per case.
set -uo pipefail
name=$1 seat_late=$2 cases=$3
failures=0
first=1
while IFS='|' read -r path action want_tag want_mm; do
    [ -n "$path" ] || continue
    rm -rf /run/udev/data # each case starts without what earlier cases recorded
    out=$(udevadm test --action="$action" "/sys/devices/$path" 2>&1)
    if [ "$first" = 1 ]; then
        first=0
        # Rule syntax problems are reported while the files are read, as
        # lines that start with the file's path.
        bad=$(grep -E "^/[^ ]*/$name:[0-9]+" <<<"$out")
        [ -z "$bad" ] || { echo "FAIL: $name does not parse cleanly:"; echo "$bad"; failures=$((failures + 1)); }
        grep -q "Reading rules file: .*/$name" <<<"$out" || { echo "FAIL: udevadm did not read $name"; failures=$((failures + 1)); }
    fi
    grep -q "^DEVPATH=/devices/$path\$" <<<"$out" || {
        echo "FAIL: udevadm test did not process $path:"; echo "$out" | tail -5; failures=$((failures + 1)); continue; }
    has_tag=0; grep -Eq '^TAGS=.*:uaccess:' <<<"$out" && has_tag=1
    has_mm=0; grep -qx 'ID_MM_DEVICE_IGNORE=1' <<<"$out" && has_mm=1
    runs_uaccess=0; grep -qx "run: 'uaccess'" <<<"$out" && runs_uaccess=1
    verdict=ok
    [ "$has_tag" = "$want_tag" ] || verdict=FAIL
    [ "$has_mm" = "$want_mm" ] || verdict=FAIL
    # With systemd's seat rules present, the tag must lead to the ACL builtin.
    [ "$seat_late" = 1 ] && [ "$runs_uaccess" != "$want_tag" ] && verdict=FAIL
    echo "$verdict: $action $path: uaccess=$has_tag (want $want_tag) mm-ignore=$has_mm (want $want_mm) run-uaccess=$runs_uaccess"
    [ "$verdict" = ok ] || failures=$((failures + 1))
done <<<"$cases"
exit $((failures > 0))
EOF
chmod +x "$work/run-cases.sh"

umockdev-run -d "$work/devices.umockdev" -- "$work/run-cases.sh" "$name" "${seat_late:-0}" "$cases"
