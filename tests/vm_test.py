"""hidlist on real hidraw nodes: a Debian kernel under QEMU with emulated USB
HID devices, its serial line standing in for the console. HIDLIST and HID_DUMP
name the programs to boot; HIDLIST_SKIP_VM=1 skips this test (status 77)."""

import os
import pathlib
import select
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "vm"))
import vm  # noqa: E402
from hidlist_test import PROMPT, block, expected_text  # noqa: E402

QUIET = 1.0  # seconds in which a waiting hidlist must do nothing


class Guest:
    def __init__(self, test, folder):
        kernel = vm.kernel()
        image = vm.initramfs(kernel, [os.environ["HIDLIST"], os.environ["HID_DUMP"]], folder)
        self.test = test
        self.qemu = subprocess.Popen(vm.qemu_command(kernel, image, "test"), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.output = b""

    def read(self, marker, timeout=60):
        """Everything up to `marker`, which is consumed too."""
        deadline = time.monotonic() + timeout
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


def parse_text(field):
    return None if field == "-" else [] if field == "." else [int(point, 16) for point in field.split(",")]


class RealDevicesTest(unittest.TestCase):
    def test_report_matches_what_the_library_lists(self):
        with tempfile.TemporaryDirectory() as folder:
            try:
                guest = Guest(self, folder)
            except vm.Unavailable as error:
                self.fail("the VM cannot be had: %s (HIDLIST_SKIP_VM=1 skips this test)" % error)
            try:
                self.check(guest)
                self.assertEqual(guest.qemu.wait(timeout=60), 0)
            finally:
                guest.close()

    def check(self, guest):
        guest.read(b"@@HIDRAW ")
        self.assertEqual(guest.read(b"\n"), b"%d" % len(vm.DEVICES))

        guest.read(b"@@LIBRARY\n")
        records = [line.split(" ") for line in guest.read(b"@@MODE ").decode().splitlines()]
        listed = {(product, serial) for _, _, _, serial, product in records}
        # One record per top-level usage: the keyboard once, mouse and tablet twice, the Wacom three times.
        self.assertEqual(len(records), 8)
        self.assertEqual(listed, {(",".join("%x" % ord(c) for c in name), serial) for name, serial in [
            ("QEMU USB Keyboard", "4b,42,44,2d,31"), ("QEMU USB Mouse", "."),
            ("QEMU USB Tablet", "c3,9c"), ("Wacom PenPartner", "57,2d,34,32")]})
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
    if os.environ.get("HIDLIST_SKIP_VM") == "1":
        print("skipped: HIDLIST_SKIP_VM=1")
        sys.exit(77)
    unittest.main()
