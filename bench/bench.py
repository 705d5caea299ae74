"""What hidlist costs beyond the library's own enumeration, measured against
a floor program that only takes the list and hands it back.

    python3 bench/bench.py BUILD_DIR     (./dev.sh bench builds and runs it)

hidlist runs with no console throughout, so it never waits for a key."""

import os
import pathlib
import platform
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "vm"))
import vm  # noqa: E402

BUILD = pathlib.Path(sys.argv[1]).resolve()
HIDLIST, FLOOR = BUILD / "tests/hidlist_double", BUILD / "bench/floor_double"
COMPARE_RUNS = BUILD / "bench/compare_runs"
FEW, MANY = 100, 20000
# Twelve hidraw nodes, which the library lists as 21 records.
VM_DEVICES = [(device, "B%d" % i) for i in range(3)
              for device in ("usb-kbd", "usb-mouse", "usb-tablet", "usb-wacom-tablet")]


def scenario(count, folder):
    path = pathlib.Path(folder, "%d.devices" % count)
    with open(path, "w") as file:
        for i in range(count):
            file.write("%x 1234 /dev/hidraw%d %s %s\n" % (
                i % 0x10000, i, ",".join("%x" % ord(c) for c in "SN%08d" % i),
                ",".join("%x" % ord(c) for c in "Example USB Keyboard %d" % i)))
    return path


def valgrind(options, program, devices):
    """Valgrind's closing report on one run of `program`."""
    return subprocess.run(["valgrind", *options, str(program)], env=dict(os.environ, HID_DOUBLE_DEVICES=str(devices)),
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True, start_new_session=True, check=True).stderr


def heap(program, devices):
    """(allocations, bytes) over the whole run."""
    found = re.search(r"total heap usage: ([\d,]+) allocs, [\d,]+ frees, ([\d,]+) bytes", valgrind([], program, devices))
    return tuple(int(number.replace(",", "")) for number in found.groups())


def instructions(program, devices):
    report = valgrind(["--tool=callgrind", "--callgrind-out-file=/dev/null"], program, devices)
    return int(re.search(r"Collected : (\d+)", report).group(1))


def spread(times):
    """Median, lowest and highest of a program's times, in ms, and the ratio of
    the medians: times do not repeat exactly, so they come with their spread."""
    (hidlist, hidlist_low, hidlist_high), (floor, floor_low, floor_high) = [
        [number / 1e6 for number in times[i:i + 3]] for i in (0, 3)]
    return "%.2f ms (%.2f-%.2f) vs %.2f ms (%.2f-%.2f): ratio %.3f" % (
        hidlist, hidlist_low, hidlist_high, floor, floor_low, floor_high, hidlist / floor)


def time_runs(hidlist, floor, runs, env=None):
    output = subprocess.run([str(COMPARE_RUNS), str(runs), str(hidlist), str(floor)], env=env,
                            capture_output=True, text=True, check=True).stdout
    return [int(number) for number in output.split()]


def on_real_devices(folder):
    """Times in ns of hidlist and the floor, each run 31 times in one boot.
    The guest's clock counts instructions (-icount shift=0: one a nanosecond),
    so the time is the guest's own work, kernel included, free of the noise
    and translation costs of emulation, and the same from boot to boot."""
    guest = vm.guest_for(BUILD / "hidlist")
    kernel = vm.kernel(guest)
    image = vm.initramfs(guest, kernel, [BUILD / "hidlist", BUILD / "bench/hidlist_floor", COMPARE_RUNS], folder)
    output = subprocess.run(vm.qemu_command(guest, kernel, image, "bench", devices=VM_DEVICES, counted_clock=True),
                            stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=600).stdout
    found = re.search(rb"@@BENCH ((?:\d+ ?){6})", output)
    if not found:
        raise vm.Unavailable("the VM gave no timings: %r" % output[-2000:])
    return [int(number) for number in found.group(1).split()]


def main():
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        devices = {count: scenario(count, folder) for count in (1, FEW, MANY)}
        for count, path in devices.items():
            (own_allocations, own_bytes), (floor_allocations, floor_bytes) = heap(HIDLIST, path), heap(FLOOR, path)
            rows.append(("heap beyond the floor, %d device%s" % (count, "s" * (count > 1)),
                         "%d allocations, %d bytes" % (own_allocations - floor_allocations, own_bytes - floor_bytes)))

        per_device = {}
        for name, program in (("hidlist", HIDLIST), ("floor", FLOOR)):
            per_device[name] = (instructions(program, devices[MANY]) - instructions(program, devices[FEW])) / (MANY - FEW)
        rows.append(("instructions per device: hidlist, floor, difference",
                     "%.0f, %.0f, %.0f" % (per_device["hidlist"], per_device["floor"],
                                           per_device["hidlist"] - per_device["floor"])))

        env = dict(os.environ, HID_DOUBLE_DEVICES=str(devices[MANY]))
        rows.append(("time, %d devices (double), median (lowest-highest) of 21" % MANY,
                     spread(time_runs(HIDLIST, FLOOR, 21, env))))
        rows.append(("time, 12 hidraw nodes in QEMU (counted clock), median (lowest-highest) of 31",
                     spread(on_real_devices(folder))))

    print("Machine: %s, %d cores, %s" % (platform.machine(), os.cpu_count(), platform.platform()))
    width = max(len(name) for name, _ in rows)
    print("| %s | %s |" % ("what".ljust(width), "measured"))
    print("|%s|%s|" % ("-" * (width + 2), "-" * 10))
    for name, value in rows:
        print("| %s | %s |" % (name.ljust(width), value))


if __name__ == "__main__":
    main()
