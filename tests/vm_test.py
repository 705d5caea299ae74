"""hidlist on real hidraw nodes and USB devices: a Debian kernel under QEMU
with emulated USB HID devices and uhid devices on other buses, its serial line
standing in for the console. For each of hidapi's Linux flavours, BACKEND,
HIDLIST_BACKEND and HID_DUMP_BACKEND name hidlist and the library's own list
built against it; UHID_DEVICES makes the devices. The guest is of the
architecture they were built for. HIDLIST_SKIP_VM=1 skips this test (status
77), and so does an architecture with no VM here."""

import os
import pathlib
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "vm"))
import vm  # noqa: E402
from hidlist_test import PROMPT, block, expected_text  # noqa: E402

QUIET = 1.0  # seconds in which a waiting hidlist must do nothing
# Seconds for the guest to boot and find its devices: about 10 where QEMU
# emulates the guest, a minute or more where QEMU itself runs under
# qemu-user (an emulated root). Every later step may take as long as the boot
# did, and at least STEP. CTest's limit for the whole test (tests/CMakeLists.txt)
# is three times BOOT.
BOOT = 600
STEP = 60
BACKENDS = ("hidraw", "libusb")  # in the order the guest runs them


class Guest:
    def __init__(self, test, folder):
        guest = vm.guest_for(os.environ["HIDLIST_HIDRAW"])
        kernel = vm.kernel(guest)
        programs = [os.environ["UHID_DEVICES"]]
        for program, backend in ((p, b) for p in ("hidlist", "hid_dump") for b in BACKENDS):
            programs.append(shutil.copy(os.environ["%s_%s" % (program.upper(), backend.upper())],
                                        pathlib.Path(folder, "%s-%s" % (program, backend))))
        image = vm.initramfs(guest, kernel, programs, folder, vm.UHID_DEVICES)
        self.test = test
        self.qemu = subprocess.Popen(vm.qemu_command(guest, kernel, image, "test"), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.output = b""
        self.step = STEP

    def boot(self):
        """The number of hidraw nodes the guest found, once it has booted."""
        started = time.monotonic()
        self.read(b"@@HIDRAW ", BOOT)
        self.step = max(STEP, time.monotonic() - started)
        return self.read(b"\n")

    def read(self, marker, timeout=None):
        """Everything up to `marker`, which is consumed too."""
        deadline = time.monotonic() + (timeout or self.step)
        while marker not in self.output:
            self.test.assertLess(time.monotonic(), deadline, "no %r from the VM; it said: %r" % (marker, self.output))
            if select.select([self.qemu.stdout], [], [], 0.1)[0]:
                data = os.read(self.qemu.stdout.fileno(), 65536)
                if not data:
                    self.test.fail("QEMU ended: %r" % self.qemu.stderr.read())
                self.output += data
        before, self.output = self.output.split(marker, 1)
        return before

    def press_key_when_waiting(self):
        """Asserts that hidlist waits for a key, then sends one."""
        self.test.assertEqual(self.read(b"@@WAITING\n"), b"")
        time.sleep(QUIET)
        self.test.assertIsNone(self.qemu.poll())
        self.output += self.drain()
        self.test.assertEqual(self.output, b"", "hidlist did not wait for a key")
        self.qemu.stdin.write(b"q")
        self.qemu.stdin.flush()

    def drain(self):
        data = b""
        while select.select([self.qemu.stdout], [], [], 0)[0]:
            data += os.read(self.qemu.stdout.fileno(), 65536)
        return data

    def close(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
        self.qemu.wait()
        for pipe in (self.qemu.stdin, self.qemu.stdout, self.qemu.stderr):
            pipe.close()


def parse_text(field):
    return None if field == "-" else [] if field == "." else [int(point, 16) for point in field.split(",")]


def read_back(text, size):
    """A uhid device's text as the library lists it: the kernel keeps size - 1
    bytes of it, and the library drops a text that is not UTF-8 as a whole."""
    data = text if isinstance(text, bytes) else text.encode()
    try:
        return [ord(c) for c in data[:size - 1].decode()]
    except UnicodeDecodeError:
        return []


def collections(descriptor):
    count = place = 0
    while place < len(descriptor):
        count += descriptor[place] & 0xFC == 0xA0
        place += 1 + (0, 1, 2, 4)[descriptor[place] & 3]
    return count


def expected_records(backend):
    """(product, serial) of every record the library should list: with
    hidraw, one per collection of every device on a bus it lists; with libusb,
    one per USB device, whose HID interface it opens."""
    if backend == "libusb":
        return [([ord(c) for c in name], [ord(c) for c in serial]) for _, serial, name, _ in vm.USB_DEVICES]
    records = [([ord(c) for c in name], [ord(c) for c in serial])
               for _, serial, name, count in vm.USB_DEVICES for _ in range(count)]
    for _, bus, _, _, name, uniq, descriptor in vm.UHID_DEVICES:
        if bus in vm.LISTED_BUSES:
            records += [(read_back(name, 128), read_back(uniq, 64))] * collections(descriptor)
    return records


class RealDevicesTest(unittest.TestCase):
    def test_report_matches_what_the_library_lists(self):
        with tempfile.TemporaryDirectory() as folder:
            try:
                guest = Guest(self, folder)
            except vm.Unavailable as error:
                self.fail("the VM cannot be had: %s (HIDLIST_SKIP_VM=1 skips this test)" % error)
            try:
                self.check(guest)
                self.assertEqual(guest.qemu.wait(timeout=guest.step), 0)
            finally:
                guest.close()

    def check(self, guest):
        self.assertEqual(guest.boot(), b"%d" % (len(vm.USB_DEVICES) + len(vm.UHID_DEVICES)))
        for backend in BACKENDS:
            with self.subTest(backend):
                self.check_backend(guest, backend)

    def check_backend(self, guest, backend):
        guest.read(b"@@LIBRARY %s\n" % backend.encode())
        records = [line.split(" ") for line in guest.read(b"@@MODE ").decode().splitlines()]
        listed = [(parse_text(product), parse_text(serial)) for _, _, _, serial, product in records]
        self.assertEqual(sorted(listed), sorted(expected_records(backend)))
        expected = b"".join(
            block(expected_text(parse_text(product)), vid.upper().encode(), pid.upper().encode(),
                  expected_text(parse_text(serial)) if serial != "-" else b"NULL", path.encode())
            for vid, pid, path, serial, product in records) + PROMPT
        mode = guest.read(b"\n")

        guest.read(b"@@ON-CONSOLE\n")
        self.assertEqual(guest.read(PROMPT) + PROMPT, expected)
        guest.press_key_when_waiting()
        self.assertEqual(guest.read(b"@@STATUS "), b"", "the key was echoed")
        self.assertEqual(guest.read(b"\n"), b"0 " + mode)

        guest.read(b"@@REDIRECTED\n")
        guest.press_key_when_waiting()
        self.assertEqual(guest.read(b"@@STATUS "), b"")
        self.assertEqual(guest.read(b"\n"), b"0 " + mode)
        guest.read(b"@@REPORT\n")
        self.assertEqual(guest.read(b"@@ERRORS\n"), expected)
        self.assertEqual(guest.read(b"@@END\n"), b"", "hidlist wrote to standard error")


if __name__ == "__main__":
    try:
        if os.environ.get("HIDLIST_SKIP_VM") == "1":
            raise vm.Unavailable("HIDLIST_SKIP_VM=1")
        vm.guest_for(os.environ["HIDLIST_HIDRAW"])
    except vm.Unavailable as reason:
        print("skipped: %s" % reason)
        sys.exit(77)
    interrupted_status = vm.stop_on_signals()
    try:
        unittest.main()
    except KeyboardInterrupt:
        print("\nRealDevices: interrupted", file=sys.stderr)
        sys.exit(interrupted_status())
