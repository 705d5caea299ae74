"""hidlist on real hidraw nodes and USB devices: a Debian kernel under QEMU
with emulated USB HID devices and uhid devices on other buses, its serial line
standing in for the console. For each of hidapi's Linux flavours, BACKEND,
HIDLIST_BACKEND and HID_DUMP_BACKEND name hidlist and the library's own list
built against it; UHID_DEVICES makes the devices. The guest is of the
architecture they were built for. HIDLIST_SKIP_VM=1 skips this test (status
77), and so does an architecture with no VM here."""

import contextlib
import io
import os
import pathlib
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "vm"))
import vm  # noqa: E402
import planted_faults  # noqa: E402
from hidlist_test import PROMPT, block, shown_text  # noqa: E402

QUIET = 1.0  # seconds in which a waiting hidlist must do nothing
# Seconds for the guest to boot and find its devices: about 10 where QEMU
# emulates the guest, a minute or more where QEMU itself runs under
# qemu-user (an emulated root), a few under KVM, which gets STEP. Every later
# step may take as long as the boot did, and at least STEP. CTest's limit for
# the whole test (tests/CMakeLists.txt) is three times BOOT.
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
        # A build with sanitizers shows, in the guest, that they report.
        self.planted = planted_faults.planted(planted_faults.sanitizers_of(os.environ["HIDLIST_BUILD"]), leaks=True)
        if self.planted:
            programs.append(os.environ["HIDLIST_DOUBLE"])
        image = vm.initramfs(guest, kernel, programs, folder, vm.UHID_DEVICES,
                             [fault for fault, _ in self.planted])
        self.test = test
        command = vm.qemu_command(guest, kernel, image, "test")
        self.boot_limit = STEP if command[command.index("-accel") + 1] == "kvm" else BOOT
        self.qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.output = self.errors = b""
        self.step = STEP

    def boot(self):
        """The number of hidraw nodes the guest found, once it has booted."""
        started = time.monotonic()
        self.read(b"@@HIDRAW ", self.boot_limit)
        self.step = max(STEP, time.monotonic() - started)
        return self.read(b"\n")

    def read(self, marker, timeout=None):
        """Everything up to `marker`, which is consumed too."""
        deadline = time.monotonic() + (timeout or self.step)
        while marker not in self.output:
            self.test.assertLess(time.monotonic(), deadline, "no %r from the VM; it said: %r" % (marker, self.output))
            pipes = [self.qemu.stdout] + ([self.qemu.stderr] if not self.qemu.stderr.closed else [])
            for pipe in select.select(pipes, [], [], 0.1)[0]:
                data = os.read(pipe.fileno(), 65536)
                if pipe is self.qemu.stderr:
                    self.errors += data
                    # A guest that KVM stopped: QEMU says so and waits.
                    self.test.assertNotIn(b"KVM internal error", self.errors, "QEMU stopped the guest")
                    if not data:
                        pipe.close()
                elif not data:
                    rest = b"" if self.qemu.stderr.closed else self.qemu.stderr.read()
                    self.test.fail("QEMU ended: %r" % (self.errors + rest))
                else:
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


# A QEMU that boots a guest at once under emulation and, under KVM, as the
# word in the file "kvm-behaviour" beside it says: it runs the guest, stops
# it as a paravirtual KVM does, stays silent, or fails to start it. Every
# start is a line in "starts".
STAND_IN_QEMU = r"""import pathlib, sys, time
here = pathlib.Path(sys.argv[0]).parent
with open(here / "starts", "a") as starts:
    print(*sys.argv[1:], file=starts)
under_kvm = sys.argv[sys.argv.index("-accel") + 1] == "kvm"
behaviour = (here / "kvm-behaviour").read_text().strip() if under_kvm else "runs"
if behaviour == "runs":
    print("[    0.000000] Linux version 6.1.0-stand-in\r\n%s\r", flush=True)
elif behaviour == "stops":
    print("KVM internal error. Suberror: 1\nemulation failure", file=sys.stderr, flush=True)
    time.sleep(30)
elif behaviour == "says nothing":
    time.sleep(30)
elif behaviour == "fails":
    print("qemu: error: failed to set MSR 0x10a to 0x69", file=sys.stderr)
    sys.exit(134)
""" % vm.GUEST_RAN


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
        said = guest.read(b"@@PLANTED-END\n").decode(errors="replace")
        runs = re.findall(r"^@@PLANTED (\S+) (\d+)\n(.*?)(?=^@@PLANTED |\Z)", said, re.MULTILINE | re.DOTALL)
        self.assertEqual([fault for fault, _, _ in runs], [fault for fault, _ in guest.planted])
        for (fault, status, what), (_, report) in zip(runs, guest.planted):
            self.assertIsNone(planted_faults.unreported(fault, report, int(status), what))
            print("vm: a planted %s was reported in the guest (status %s)" % (fault, status), file=sys.stderr)

    def check_backend(self, guest, backend):
        guest.read(b"@@LIBRARY %s\n" % backend.encode())
        records = [line.split(" ") for line in guest.read(b"@@MODE ").decode().splitlines()]
        listed = [(parse_text(product), parse_text(serial)) for _, _, _, serial, product in records]
        self.assertEqual(sorted(listed), sorted(expected_records(backend)))
        expected = b"".join(
            block(shown_text(parse_text(product)), vid.upper().encode(), pid.upper().encode(),
                  shown_text(parse_text(serial)) if serial != "-" else b"NULL", path.encode())
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



class AcceleratorTest(unittest.TestCase):
    """The way QEMU runs a guest of this machine's architecture, decided with
    a stand-in QEMU and a stand-in /dev/kvm: KVM once a guest has run under
    it, else emulation, and the line that says why."""

    def choose(self, kvm_behaviour, device="kvm", asked=1, limit=vm.KVM_PROBE_SECONDS, **guest_changes):
        """(QEMU's options, the lines written, the stand-in's starts, the
        seconds it took) when the way is asked for `asked` times."""
        folder = pathlib.Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, folder)
        qemu = folder / "qemu"
        qemu.write_text("#!%s\n%s" % (sys.executable, STAND_IN_QEMU))
        qemu.chmod(0o755)
        (folder / "kvm-behaviour").write_text(kvm_behaviour)
        (folder / "kvm").touch()
        (folder / "unopenable-kvm").mkdir()
        guest = vm.Guest(architecture="this machine's", multiarch="", elf_machine=vm.elf_machine(sys.executable),
                         qemu=str(qemu), qemu_packages="", machine=["-machine", "q35"], emulated_cpu=["-cpu", "max"],
                         console="ttyS0", kernel_format="bzimage")._replace(**guest_changes)
        said = io.StringIO()
        started = time.monotonic()
        with contextlib.redirect_stderr(said):
            for _ in range(asked):
                options = vm.accelerator(guest, folder, folder / "initramfs.cpio", str(folder / device), limit)
        starts = (folder / "starts").read_text().splitlines() if (folder / "starts").exists() else []
        return options, said.getvalue().splitlines(), starts, time.monotonic() - started

    def test_kvm_is_taken_once_a_guest_ran_under_it(self):
        options, said, starts, _ = self.choose("runs")
        self.assertEqual(options, vm.KVM)
        self.assertRegex(said[0], r"^vm: KVM runs the guest: one booted under it ran a program in [0-9.]+ s$")
        self.assertEqual(len(said), 1)
        self.assertIn("-accel kvm", starts[0])

    def test_emulation_without_a_kvm_to_try(self):
        for device, machine, reason in (("absent-kvm", None, "there is no .*/absent-kvm$"),
                                        ("unopenable-kvm", None, ".*/unopenable-kvm does not open: Is a directory$"),
                                        ("kvm", 0, "this machine is not this machine's$")):
            with self.subTest(reason):
                options, said, starts, _ = self.choose("runs", device, **({} if machine is None else
                                                                           {"elf_machine": machine}))
                self.assertEqual(options, ["-accel", "tcg", "-cpu", "max"])
                self.assertRegex(said[0], "^vm: QEMU emulates the guest \\(TCG\\): " + reason)
                self.assertEqual(starts, [])

    def test_a_guest_that_kvm_stops_means_emulation_decided_once(self):
        options, said, starts, seconds = self.choose("stops", asked=3)
        self.assertEqual(options, ["-accel", "tcg", "-cpu", "max"])
        self.assertEqual(said, ['vm: QEMU emulates the guest (TCG): QEMU reported "KVM internal error. Suberror: 1"'])
        self.assertEqual(len(starts), 1)
        self.assertLess(seconds, vm.KVM_PROBE_SECONDS / 2, "the probe waited on after QEMU's error")

    def test_a_guest_that_says_nothing_under_kvm_means_emulation(self):
        options, said, _, seconds = self.choose("says nothing", limit=1)
        self.assertEqual(options, ["-accel", "tcg", "-cpu", "max"])
        self.assertEqual(said, ["vm: QEMU emulates the guest (TCG): a guest under KVM said nothing in 1 s"])
        self.assertLess(seconds, 5)

    def test_a_qemu_that_fails_under_kvm_means_emulation(self):
        options, said, _, _ = self.choose("fails")
        self.assertEqual(options, ["-accel", "tcg", "-cpu", "max"])
        self.assertEqual(said, ["vm: QEMU emulates the guest (TCG): QEMU ended with status 134 before a guest under "
                                "KVM ran a program: qemu: error: failed to set MSR 0x10a to 0x69"])

if __name__ == "__main__":
    try:
        if os.environ.get("HIDLIST_SKIP_VM") == "1":
            raise vm.Unavailable("HIDLIST_SKIP_VM=1")
        vm.guest_for(os.environ["HIDLIST_HIDRAW"])
    except vm.Unavailable as reason:
        # The way QEMU would be run needs no VM, so it is tested still.
        choice = unittest.main(argv=[sys.argv[0], "-v", "AcceleratorTest"], exit=False).result
        if not choice.wasSuccessful():
            sys.exit(1)
        print("skipped: %s" % reason)
        sys.exit(77)
    interrupted_status = vm.stop_on_signals()
    try:
        unittest.main()
    except KeyboardInterrupt:
        print("\nRealDevices: interrupted", file=sys.stderr)
        sys.exit(interrupted_status())
