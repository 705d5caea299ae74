"""Boots a Debian kernel under QEMU with HID devices on every bus the library
lists: emulated USB devices, and Bluetooth, I2C, SPI and other devices made in
the guest through uhid. So hidlist meets real hidraw nodes on a machine that
has none. The guest is of the architecture the programs were built for,
whatever this machine's, among those with a guest in platforms.txt; KVM runs
it once a guest has been seen running under it here, else QEMU's own
emulation.

    python3 vm/vm.py demo HIDLIST UHID_DEVICES
        hands this terminal to HIDLIST in the VM; UHID_DEVICES makes the devices

The kernel package, and for another architecture its busybox, are fetched
with apt once and kept in the cache folder (HIDLIST_VM_CACHE, else
~/.cache/hidlist-vm); they are never installed."""

import collections
import glob
import gzip
import lzma
import os
import pathlib
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import tty

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
import platforms  # noqa: E402 (the table's reader lives with the tests)
CACHE = pathlib.Path(os.environ.get("HIDLIST_VM_CACHE") or pathlib.Path.home() / ".cache" / "hidlist-vm")
# What the guest needs: the USB host controller QEMU emulates, USB HID, the
# generic HID driver and uhid. What they depend on, and so the order in which
# to load them, comes from the kernel's own data.
NEEDED_MODULES = ["xhci-pci", "usbhid", "hid-generic", "uhid"]


# A guest (platforms.txt): its Debian and multiarch names, the ELF machine
# number of its programs, QEMU's program and packages for it, the machine (and
# CPU, when emulated) QEMU gives it, its serial console, and how its kernel
# package holds the kernel: "bzimage", a bzImage whose ELF kernel QEMU boots
# directly, or "image", an Image QEMU boots as it is once unpacked.
Guest = collections.namedtuple("Guest", "architecture multiarch elf_machine qemu qemu_packages machine emulated_cpu "
                                        "console kernel_format")


def guests():
    """{ELF machine number: Guest} for the guests platforms.txt names."""
    architectures, listed, _ = platforms.read()
    found = {}
    for guest in listed.values():
        architecture = architectures[guest.architecture]
        found[architecture.elf_machine] = Guest(guest.architecture, architecture.multiarch, architecture.elf_machine,
                                                guest.qemu, " ".join(guest.packages), guest.machine,
                                                [] if guest.cpu == "-" else ["-cpu", guest.cpu], guest.console,
                                                guest.kernel_format)
    return found


GUESTS = guests()

# (QEMU device, serial number, the product name QEMU gives it, the records the
# library lists for it): one hidraw node each.
USB_DEVICES = [("usb-kbd", "KBD-1", "QEMU USB Keyboard", 1), ("usb-mouse", "", "QEMU USB Mouse", 2),
               ("usb-tablet", "T-7", "QEMU USB Tablet", 2), ("usb-wacom-tablet", "W-42", "Wacom PenPartner", 3)]

BUS_USB, BUS_BLUETOOTH, BUS_VIRTUAL, BUS_I2C, BUS_SPI = 0x03, 0x05, 0x06, 0x18, 0x1C
LISTED_BUSES = {BUS_USB, BUS_BLUETOOTH, BUS_I2C, BUS_SPI}

# Report descriptors. Each collection in them, nested ones included, is one
# record in the library's list.
KEYBOARD = bytes.fromhex("05010906 a101 0507 19e0 29e7 1500 2501 7501 9508 8102 c0")
MOUSE = bytes.fromhex("05010902 a101 0901 a100 0509 1901 2903 1500 2501 9503 7501 8102 9501 7505 8101"
                      " 0501 0930 0931 1581 257f 7508 9502 8106 c0 c0")
GAMEPAD = bytes.fromhex("05010905 a101 0509 1901 2910 1500 2501 7501 9510 8102 c0")
KEYBOARD_AND_MEDIA_KEYS = bytes.fromhex("05010906 a101 8501 0507 19e0 29e7 1500 2501 7501 9508 8102 c0"
                                        " 050c 0901 a101 8502 0ae2 00 1500 2501 7501 9501 8102 7507 8101 c0")

# Devices as they could really come: (shown in the demo, bus, vendor, product,
# name, uniq, report descriptor). The kernel keeps 127 bytes of a name and 63
# of a uniq; the library lists only the USB, Bluetooth, I2C and SPI buses.
UHID_DEVICES = [
    (True, BUS_BLUETOOTH, 0x046D, 0xB342, "Bluetooth Keyboard K3", "a4:c1:38:5e:10:01", KEYBOARD),
    (True, BUS_BLUETOOTH, 0x1209, 0x0010, "Wireless Controller", "a4:c1:38:5e:10:02", GAMEPAD),
    (True, BUS_I2C, 0x04F3, 0x3140, "ELAN0001:00 04F3:3140 Touchpad", "", MOUSE),
    (False, BUS_SPI, 0x1209, 0x0011, "SPI Keyboard", "SPI-11", KEYBOARD_AND_MEDIA_KEYS),
    (False, BUS_USB, 0x1209, 0x0001, "USB Keyboard Without A USB Parent", "UHID-1", KEYBOARD),
    (True, BUS_BLUETOOTH, 0x1209, 0x0002, "Contrôleur ü 日本", "ü-2", GAMEPAD),
    (True, BUS_BLUETOOTH, 0x1209, 0x0003, "Evil\x1b[2J\x1b]0;pwned\x07 Mouse", "\x1b[31mRED", MOUSE),
    (False, BUS_I2C, 0x1209, 0x0004, "Tab\there\rC1\u009b2J\u0085end", "\x7f\u0080", KEYBOARD),
    (False, BUS_BLUETOOTH, 0x1209, 0x0005, "N" * 130, "U" * 70, KEYBOARD),
    (False, BUS_BLUETOOTH, 0x1209, 0x0006, "a" * 126 + "é", "b" * 62 + "€", KEYBOARD),
    (False, BUS_SPI, 0x1209, 0x0007, b"Bad \xff\xfe name", b"\xc3(", KEYBOARD),
    (False, BUS_VIRTUAL, 0x1209, 0x0008, "Virtual Bus Device", "V-1", KEYBOARD),
]


class Unavailable(Exception):
    """QEMU or the kernel cannot be had on this machine."""


def run(command, **options):
    try:
        return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", "") or ""
        raise Unavailable("%s failed: %s %s" % (command[0], error, detail.strip()))


def uhid_table(devices):
    """The table uhid_devices reads: hexadecimal numbers and bytes, as much of
    the name and uniq as their fields hold."""
    def hexed(data, size=None):
        data = data if isinstance(data, bytes) else data.encode()
        return data[:size].hex() or "."
    return "".join("%x %x %x %s %s %s\n" % (bus, vendor, product, hexed(name, 128), hexed(uniq, 64), hexed(descriptor))
                   for _, bus, vendor, product, name, uniq, descriptor in devices)


def elf_machine(path):
    """The machine number in the ELF header of `path`: the architecture it was built for."""
    with open(path, "rb") as elf:
        header = elf.read(20)
    if len(header) < 20 or not header.startswith(b"\x7fELF"):
        raise Unavailable("%s is not an ELF program" % path)
    machine, = struct.unpack_from("<H", header, 18)
    return machine


def guest_for(program):
    """The guest that runs `program`, by the architecture it was built for."""
    machine = elf_machine(program)
    if machine not in GUESTS:
        raise Unavailable("there is no VM here for the architecture %s was built for" % program)
    return GUESTS[machine]


def runs_here(guest):
    """Whether this machine is of the guest's architecture, as the Python
    running this tells."""
    return elf_machine(sys.executable) == guest.elf_machine


KVM_DEVICE = "/dev/kvm"
KVM = ["-accel", "kvm", "-cpu", "host"]
# Seconds for a guest under KVM to boot and run its first program: about one
# where KVM works. A KVM that opens may still run no guest: a paravirtual one
# stops Debian's kernel at its first instruction it cannot emulate.
KVM_PROBE_SECONDS = 20
GUEST_RAN = "@@GUEST-RAN"  # what the probe's first program prints, on a line of its own
accelerators = {}  # (QEMU, device): QEMU's options, decided once in a process


def accelerator(guest, kernel_folder, image, device=KVM_DEVICE, limit=KVM_PROBE_SECONDS):
    """QEMU's options to run the guest: KVM once a guest booted here under it
    has run a program, else QEMU's emulation. Decided once a process, so a KVM
    that runs no guest costs one probe; the choice and why are one line on
    standard error."""
    key = (guest.qemu, device)
    if key not in accelerators:
        started = time.monotonic()
        refusal = kvm_refusal(guest, kernel_folder, image, device, limit)
        if refusal:
            print("vm: QEMU emulates the guest (TCG): %s" % refusal, file=sys.stderr)
            accelerators[key] = ["-accel", "tcg", *guest.emulated_cpu]
        else:
            print("vm: KVM runs the guest: one booted under it ran a program in %.1f s"
                  % (time.monotonic() - started), file=sys.stderr)
            accelerators[key] = KVM
    return accelerators[key]


def kvm_refusal(guest, kernel_folder, image, device, limit):
    """Why KVM cannot run the guest here, or None when it can: the guest's
    kernel, booted under KVM with the run's initramfs, must run a program of
    it within `limit` seconds."""
    if not runs_here(guest):
        return "this machine is not %s" % guest.architecture
    if not os.path.exists(device):
        return "there is no %s" % device
    try:
        os.close(os.open(device, os.O_RDWR | os.O_CLOEXEC))
    except OSError as error:
        return "%s does not open: %s" % (device, error.strerror)
    command = [guest.qemu, *guest.machine, *KVM, "-m", "512", "-nodefaults", "-nic", "none", "-display", "none",
               "-no-reboot", "-serial", "stdio", "-kernel", str(kernel_folder / "vmlinux"), "-initrd", str(image),
               "-append", 'console=%s,115200 panic=-1 rdinit=/bin/sh -- -c "echo %s; poweroff -f"'
               % (guest.console, GUEST_RAN)]
    deadline = time.monotonic() + limit
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    said = {qemu.stdout: b"", qemu.stderr: b""}
    open_pipes = list(said)
    try:
        while open_pipes:
            remaining = deadline - time.monotonic()
            ready = select.select(open_pipes, [], [], remaining)[0] if remaining > 0 else []
            if not ready:
                last_words = said[qemu.stdout].strip().splitlines()[-1:]
                return ("a guest under KVM said nothing in %d s" % limit if not last_words else
                        "a guest under KVM ran no program in %d s; its last line: %s"
                        % (limit, last_words[0].decode(errors="replace")))
            for pipe in ready:
                data = os.read(pipe.fileno(), 65536)
                said[pipe] += data
                if not data:
                    open_pipes.remove(pipe)
            # The command line itself comes back among the kernel's messages.
            if re.search(rb"^%s\r?$" % GUEST_RAN.encode(), said[qemu.stdout], re.MULTILINE):
                return None
            internal_error = re.search(rb"KVM internal error.*", said[qemu.stderr])
            if internal_error:
                return 'QEMU reported "%s"' % internal_error.group().decode(errors="replace").strip()
        status = qemu.wait()
        ended = "ended with status %d" % status if status >= 0 else "died of %s" % signal.Signals(-status).name
        complaint = " / ".join(said[qemu.stderr].decode(errors="replace").split("\n")).strip(" /")
        return "QEMU %s before a guest under KVM ran a program: %s" % (ended, complaint[:300] or "it said nothing")
    finally:
        if qemu.poll() is None:
            qemu.kill()
        qemu.wait()
        qemu.stdout.close()
        qemu.stderr.close()


def package_for(guest, name):
    """`name` as apt knows it for the guest's architecture."""
    return "%s:%s" % (name.split(":")[0], guest.architecture)


def kernel_package(guest):
    meta = package_for(guest, "linux-image-" + guest.architecture)
    for line in run(["apt-cache", "depends", meta]).splitlines():
        if line.strip().startswith("Depends: linux-image-"):
            return line.split()[-1].split(":")[0]
    raise Unavailable("apt knows no kernel behind %s (run apt-get update%s)"
                      % (meta, "" if runs_here(guest) else
                         "; another architecture needs dpkg --add-architecture " + guest.architecture))


def decompress(data):
    """`data` unpacked if xz, zstd or gzip, the kernel's compressors, packed it."""
    if data.startswith(b"\xfd7zXZ\x00"):
        return lzma.decompress(data)
    if data.startswith(b"\x1f\x8b"):
        return gzip.decompress(data)
    if data.startswith(b"\x28\xb5\x2f\xfd"):
        if not shutil.which("zstd"):
            raise Unavailable("zstd is not installed (apt-get install zstd)")
        unpacked = subprocess.run(["zstd", "-dcq"], input=data, capture_output=True)
        if unpacked.returncode != 0:
            raise Unavailable("zstd failed: %s" % unpacked.stderr.decode(errors="replace").strip())
        return unpacked.stdout
    return data


def modinfo(module, path):
    """The key=value entries of the .modinfo section of `module`, the module
    file at `path` unpacked (ELF64, little-endian)."""
    unreadable = Unavailable("%s is not a 64-bit little-endian ELF module" % path)
    if not module.startswith(b"\x7fELF\x02\x01"):
        raise unreadable
    try:
        section_headers, = struct.unpack_from("<Q", module, 0x28)
        entry_size, count, names_index = struct.unpack_from("<HHH", module, 0x3A)
        sections = [struct.unpack_from("<IIQQQQ", module, section_headers + i * entry_size) for i in range(count)]
        names = sections[names_index][4]
    except (struct.error, IndexError):
        raise unreadable from None
    for name, _, _, _, offset, size in sections:
        if module[names + name:names + name + 9] == b".modinfo\0":
            entries = module[offset:offset + size].decode(errors="replace").split("\0")
            return dict(entry.split("=", 1) for entry in entries if "=" in entry)
    return {}


def module_name(path):
    """A module's name as the kernel compares them, with '-' and '_' alike."""
    return pathlib.PurePath(path).name.split(".ko")[0].replace("-", "_")


def load_order(tree, package):
    """{name: uncompressed module} for NEEDED_MODULES and all they depend on,
    each after what it depends on, wherever the release keeps its modules;
    those built into the kernel are skipped."""
    found = {module_name(path): path for path in tree.glob("**/modules/*/kernel/**/*.ko*")}
    built_in = {module_name(line) for listing in tree.glob("**/modules/*/modules.builtin")
                for line in listing.read_text().split()}
    order = {}

    def add(name):
        name = name.replace("-", "_")
        if name in order or name in built_in:
            return
        if name not in found:
            raise Unavailable("%s has no module %s" % (package, name))
        module = decompress(found[name].read_bytes())
        for dependency in filter(None, modinfo(module, found[name]).get("depends", "").split(",")):
            add(dependency)
        order[name] = module

    for name in NEEDED_MODULES:
        add(name)
    return order


def kernel_image(vmlinuz, package):
    """The ELF kernel inside a bzImage: QEMU boots it directly, sparing the
    guest its own decompression."""
    setup_sectors = vmlinuz[0x1F1] or 4
    payload_offset, payload_length = struct.unpack_from("<II", vmlinuz, 0x248)
    start = (setup_sectors + 1) * 512 + payload_offset
    payload = vmlinuz[start:start + payload_length]
    size, = struct.unpack("<I", payload[-4:])  # the build appends the unpacked size
    image = decompress(payload[:-4])
    if len(image) != size or not image.startswith(b"\x7fELF"):
        raise Unavailable("%s: vmlinuz holds no kernel this script can unpack" % package)
    return image


def kernel(guest):
    """The folder holding the uncompressed kernel `vmlinux` and `modules/`,
    numbered in the order the guest loads them."""
    folder = CACHE / kernel_package(guest)
    if list(folder.glob("modules/00-*.ko")):
        return folder
    shutil.rmtree(folder, ignore_errors=True)  # unnumbered: made by an older version
    print("Fetching %s into %s" % (folder.name, CACHE), file=sys.stderr)
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as work:
        os.chmod(work, 0o755)  # apt downloads as its own unprivileged user
        run(["apt-get", "download", package_for(guest, folder.name)], cwd=work)
        unpacked = pathlib.Path(work, "unpacked")
        unpacked.mkdir()
        run(["sh", "-c", "dpkg-deb --fsys-tarfile %s_*.deb | tar -x -C unpacked --wildcards "
             "'./boot/vmlinu[xz]-*' '*.ko*' '*/modules.builtin'" % folder.name], cwd=work)
        staged = pathlib.Path(work, "kernel")
        (staged / "modules").mkdir(parents=True)
        for number, (name, module) in enumerate(load_order(unpacked, folder.name).items()):
            (staged / "modules" / ("%02d-%s.ko" % (number, name))).write_bytes(module)
        # vmlinuz, or vmlinux where the release ships the kernel uncompressed (riscv64).
        vmlinuz = pathlib.Path(glob.glob(str(unpacked / "boot/vmlinu[xz]-*"))[0]).read_bytes()
        image = kernel_image(vmlinuz, folder.name) if guest.kernel_format == "bzimage" else decompress(vmlinuz)
        (staged / "vmlinux").write_bytes(image)
        staged.rename(folder)
    return folder


def busybox(guest):
    """A static busybox for the guest: this machine's own when it is of the
    guest's architecture, else one fetched from the archive into the cache."""
    if runs_here(guest):
        if not shutil.which("busybox"):
            raise Unavailable("busybox is not installed (apt-get install busybox-static)")
        return pathlib.Path(shutil.which("busybox"))
    folder = CACHE / ("busybox-static-" + guest.architecture)
    if not (folder / "busybox").exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=CACHE) as work:
            os.chmod(work, 0o755)  # apt downloads as its own unprivileged user
            run(["apt-get", "download", package_for(guest, "busybox-static")], cwd=work)
            run(["sh", "-c", "dpkg-deb -x busybox-static_*.deb unpacked"], cwd=work)
            # In /bin before the releases that merged it into /usr/bin.
            unpacked = next((path for path in ("unpacked/bin", "unpacked/usr/bin")
                             if pathlib.Path(work, path, "busybox").is_file()), None)
            if not unpacked:
                raise Unavailable("busybox-static for %s holds no busybox" % guest.architecture)
            pathlib.Path(work, unpacked).rename(folder)
    return folder / "busybox"


def search_path(dynamic, tag, path):
    """The folders of the RUNPATH or RPATH (`tag`) that `readelf -d` lists
    for the object at `path`, with $ORIGIN its folder."""
    return [re.sub(r"\$(ORIGIN\b|\{ORIGIN\})", os.path.dirname(path), folder)
            for entry in re.findall(r"\(%s\)\s+Library \w+: \[(.*)\]" % tag, dynamic)
            for folder in entry.split(":") if folder]


def loadable(path, machine):
    """Whether the loader would take the file at `path` for a program of the
    ELF `machine`: it passes over what is no ELF file or is another's."""
    try:
        return os.path.isfile(path) and elf_machine(path) == machine
    except Unavailable:
        return False


def libraries(program, guest):
    """{library: its path in the guest} for the shared libraries `program`
    loads, its loader among them. They are read off the ELF files themselves
    (so for any architecture) and looked for as the loader does: in the
    RUNPATH of the object that needs one, else in the RPATHs of that object
    and of those that loaded it, then in the folders ld.so.conf.d names and
    the system's own, passing over the files of other architectures."""
    machine = elf_machine(program)
    # The guest has no ld.so.cache, so its loader looks only here: a library
    # found elsewhere goes into the first of them.
    guest_folders = ["/lib/" + guest.multiarch, "/usr/lib/" + guest.multiarch, "/lib", "/usr/lib"]
    configured = [folder for conf in sorted(glob.glob("/etc/ld.so.conf.d/*.conf"))
                  for folder in re.findall(r"^\s*(/\S*)", pathlib.Path(conf).read_text(), re.MULTILINE)]
    system = configured + ["/usr/local/lib/" + guest.multiarch, "/usr/local/lib"] + guest_folders
    found = {}
    pending = [(os.path.realpath(program), [])]  # the loader takes $ORIGIN from the program's real path
    while pending:
        path, inherited = pending.pop(0)  # breadth first, as the loader goes
        dynamic = run(["readelf", "-dlW", path])
        runpath = search_path(dynamic, "RUNPATH", path)
        rpaths = ([] if runpath else search_path(dynamic, "RPATH", path)) + inherited
        for name in re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", dynamic):
            if name in map(os.path.basename, found):
                continue  # loaded already: the loader takes that one
            candidates = (os.path.join(folder, name) for folder in (runpath or rpaths) + system)
            library = next((candidate for candidate in candidates if loadable(candidate, machine)), None)
            if not library:
                raise Unavailable("%s needs %s, which is not installed for %s" % (program, name, guest.architecture))
            found[library] = (library if os.path.dirname(library) in guest_folders
                              else os.path.join(guest_folders[0], name))
            pending.append((library, rpaths))
        found.update((interpreter, interpreter) for interpreter in re.findall(r"program interpreter: (.+)\]", dynamic))
    return found


def initramfs(guest, kernel_folder, programs, folder, uhid_devices=(), planted=()):
    """Writes initramfs.cpio into `folder`: busybox, the HID modules, the
    UTF-8 locale, the init script, the programs with their libraries, the
    table of uhid devices to make, and the faults for the test double
    (hidlist_double, among the programs) to commit under its sanitizers."""
    if not shutil.which("cpio"):
        raise Unavailable("cpio is not installed (apt-get install cpio)")
    root = pathlib.Path(folder, "root")
    for sub in ("bin", "modules", "proc", "sys", "dev", "usr/lib/locale"):
        (root / sub).mkdir(parents=True, exist_ok=True)
    shutil.copy(busybox(guest), root / "bin/busybox")
    # Any busybox of the same release has the same applets; this machine's
    # can run and tell them.
    lister = shutil.which("busybox") or root / "bin/busybox"
    for applet in run([lister, "--list"]).split():
        if applet != "busybox":
            (root / "bin" / applet).symlink_to("busybox")
    for module in (kernel_folder / "modules").iterdir():  # the guest loads them in the order of their names
        shutil.copy(module, root / "modules")
    (root / "uhid-devices").write_text(uhid_table(uhid_devices))
    (root / "planted").write_text("".join(fault + "\n" for fault in planted))
    shutil.copytree("/usr/lib/locale/C.utf8", root / "usr/lib/locale/C.utf8")
    # As on any Debian system: without its cache the C library builds its
    # table of converters afresh in every process that converts text; and
    # hidapi's libusb flavour decodes USB string descriptors from UTF-16.
    gconv = pathlib.Path("/usr/lib", guest.multiarch, "gconv")
    (root / gconv.relative_to("/")).mkdir(parents=True)
    for converter in ("gconv-modules.cache", "UTF-16.so"):
        shutil.copy(gconv / converter, root / gconv.relative_to("/"))
    shutil.copy(HERE / "init", root / "init")
    for program in programs:
        shutil.copy(program, root / "bin")
        for library, in_guest in libraries(program, guest).items():
            target = root / in_guest.lstrip("/")
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(library, target)
    image = pathlib.Path(folder, "initramfs.cpio")
    with open(image, "wb") as out:
        subprocess.run("find . | cpio -o -H newc --quiet", shell=True, cwd=root, stdout=out, check=True)
    return image


def qemu_command(guest, kernel_folder, image, run_name, devices=USB_DEVICES, console=("-serial", "stdio"),
                 counted_clock=False):
    """QEMU booting the guest; with `counted_clock`, emulated with a clock
    that counts instructions (-icount shift=0: one a nanosecond)."""
    if not shutil.which(guest.qemu):
        raise Unavailable("%s is not installed (apt-get install %s)"
                          % (guest.qemu, guest.qemu_packages))
    speed = (["-accel", "tcg", *guest.emulated_cpu, "-icount", "shift=0"] if counted_clock
             else accelerator(guest, kernel_folder, image))
    command = [guest.qemu, *guest.machine, *speed, "-m", "512", "-nodefaults", "-nic", "none", "-display", "none",
               "-no-reboot", *console,
               "-kernel", str(kernel_folder / "vmlinux"), "-initrd", str(image),
               "-append", "console=%s,115200 quiet loglevel=0 panic=-1 hidlist_run=%s hidlist_console=%s "
               "hidraw_count=%d" % (guest.console, run_name, guest.console, len(devices)),
               "-device", "qemu-xhci"]
    for device, serial, *_ in devices:
        command += ["-device", "%s,serial=%s" % (device, serial)]
    return command


WAITING = b"@@WAITING\r\n"  # the guest's word, on its console, that hidlist waits for a key


def relay(qemu):
    """Shows the guest's console on this terminal. Until hidlist waits, the
    terminal stays as it is, so Ctrl-C stops the VM; from then on it is raw
    and every key goes to hidlist. Returns QEMU's status."""
    pending, keys = b"", False
    while True:
        ready = select.select([qemu.stdout] + ([sys.stdin] if keys else []), [], [])[0]
        if sys.stdin in ready:
            qemu.stdin.write(os.read(sys.stdin.fileno(), 1024))
            qemu.stdin.flush()
        if qemu.stdout not in ready:
            continue
        data = os.read(qemu.stdout.fileno(), 65536)
        if not data:
            return qemu.wait()
        pending += data
        if WAITING in pending:
            pending = pending.replace(WAITING, b"")
            tty.setraw(sys.stdin.fileno())
            termios.tcflush(sys.stdin.fileno(), termios.TCIFLUSH)  # what was typed while it booted
            keys = True
        # Holds back what may be the start of the word.
        held = next((n for n in range(len(WAITING) - 1, 0, -1) if pending.endswith(WAITING[:n])), 0)
        os.write(sys.stdout.fileno(), pending[:len(pending) - held])
        pending = pending[len(pending) - held:]


STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def stop_on_signals():
    """Makes SIGINT, SIGTERM and SIGHUP unwind like Ctrl-C, wherever they come,
    so every QEMU and temporary folder goes; returns the status to end with."""
    received = [signal.SIGINT]

    def stop(signal_number, frame):
        received[0] = signal_number
        raise KeyboardInterrupt

    for signal_number in STOP_SIGNALS:
        signal.signal(signal_number, stop)
    return lambda: 128 + received[0]


def demo(hidlist, uhid_devices):
    guest = guest_for(hidlist)
    with tempfile.TemporaryDirectory() as folder:
        kernel_folder = kernel(guest)
        usb_devices = USB_DEVICES[:2]
        shown = [device for device in UHID_DEVICES if device[0]]
        image = initramfs(guest, kernel_folder, [hidlist, uhid_devices], folder, shown)
        print("Booting a VM with %d HID devices; Ctrl-C stops it until hidlist waits for your key."
              % (len(usb_devices) + len(shown)), file=sys.stderr)
        mode = termios.tcgetattr(sys.stdin.fileno())
        # A session of its own: Ctrl-C on this terminal is ours to handle.
        qemu = subprocess.Popen(qemu_command(guest, kernel_folder, image, "demo", usb_devices), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, start_new_session=True)
        try:
            return relay(qemu)
        finally:
            termios.tcsetattr(sys.stdin.fileno(), termios.TCSAFLUSH, mode)
            qemu.kill()
            qemu.wait()


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "demo":
        sys.exit(__doc__)
    interrupted_status = stop_on_signals()
    try:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)  # held for us by dev.sh
        sys.exit(demo(sys.argv[2], sys.argv[3]))
    except Unavailable as error:
        sys.exit("vm: %s" % error)
    except KeyboardInterrupt:
        print("\ndemo: interrupted", file=sys.stderr)
        sys.exit(interrupted_status())
