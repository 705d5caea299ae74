"""Boots a Debian kernel under QEMU with HID devices on every bus the library
lists: emulated USB devices, and Bluetooth, I2C, SPI and other devices made in
the guest through uhid. So hidlist meets real hidraw nodes on a machine that
has none.

    python3 vm/vm.py demo HIDLIST UHID_DEVICES
        hands this terminal to HIDLIST in the VM; UHID_DEVICES makes the devices

The kernel package is fetched with apt once and kept in the cache folder
(HIDLIST_VM_CACHE, else ~/.cache/hidlist-vm); it is never installed."""

import glob
import lzma
import os
import pathlib
import platform
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import tty

HERE = pathlib.Path(__file__).resolve().parent
CACHE = pathlib.Path(os.environ.get("HIDLIST_VM_CACHE") or pathlib.Path.home() / ".cache" / "hidlist-vm")
# In the order the guest loads them.
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "hid", "usbhid", "hid-generic", "uhid"]
FIRMWARE = "/usr/share/qemu/qboot.rom"  # SeaBIOS stalls for seconds on some USB devices

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


def check_host():
    if platform.machine() not in ("x86_64", "AMD64"):
        raise Unavailable("the guest is x86-64, which this %s host can only emulate with a kernel of its own"
                          % platform.machine())


def kernel_package():
    for line in run(["apt-cache", "depends", "linux-image-amd64"]).splitlines():
        if line.strip().startswith("Depends: linux-image-"):
            return line.split()[-1]
    raise Unavailable("apt knows no kernel behind linux-image-amd64 (run apt-get update)")


def kernel():
    """The folder holding the uncompressed kernel `vmlinux` and `modules/`."""
    folder = CACHE / kernel_package()
    if all((folder / "modules" / (module + ".ko")).exists() for module in MODULES):
        return folder
    shutil.rmtree(folder, ignore_errors=True)  # made with fewer modules
    print("Fetching %s into %s" % (folder.name, CACHE), file=sys.stderr)
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as work:
        os.chmod(work, 0o755)  # apt downloads as its own unprivileged user
        run(["apt-get", "download", folder.name], cwd=work)
        unpacked = pathlib.Path(work, "unpacked")
        unpacked.mkdir()
        wanted = " ".join(["'./boot/vmlinuz-*'"] + ["'*/%s.ko*'" % module for module in MODULES])
        run(["sh", "-c", "dpkg-deb --fsys-tarfile %s_*.deb | tar -x -C unpacked --wildcards %s" % (folder.name, wanted)],
            cwd=work)
        staged = pathlib.Path(work, "kernel")
        (staged / "modules").mkdir(parents=True)
        for module in MODULES:
            found = glob.glob(str(unpacked / "lib/modules/*/kernel/drivers/**" / (module + ".ko*")), recursive=True)
            if not found:
                raise Unavailable("%s has no module %s" % (folder.name, module))
            data = pathlib.Path(found[0]).read_bytes()
            if found[0].endswith(".xz"):
                data = lzma.decompress(data)
            (staged / "modules" / (module + ".ko")).write_bytes(data)
        # QEMU boots the ELF image inside vmlinuz directly, which is faster.
        compressed = pathlib.Path(glob.glob(str(unpacked / "boot/vmlinuz-*"))[0]).read_bytes()
        payload = compressed.find(b"\xfd7zXZ\x00")
        if payload < 0:
            raise Unavailable("%s: vmlinuz holds no XZ payload" % folder.name)
        decompressor = lzma.LZMADecompressor(format=lzma.FORMAT_XZ)
        (staged / "vmlinux").write_bytes(decompressor.decompress(compressed[payload:]))
        staged.rename(folder)
    return folder


def initramfs(kernel_folder, programs, folder, uhid_devices=()):
    """Writes initramfs.cpio into `folder`: busybox, the HID modules, the
    UTF-8 locale, the init script, the programs with their libraries, and the
    table of uhid devices to make."""
    for tool, package in (("busybox", "busybox-static"), ("cpio", "cpio")):
        if not shutil.which(tool):
            raise Unavailable("%s is not installed (apt-get install %s)" % (tool, package))
    root = pathlib.Path(folder, "root")
    for sub in ("bin", "modules", "proc", "sys", "dev", "usr/lib/locale"):
        (root / sub).mkdir(parents=True, exist_ok=True)
    busybox = shutil.which("busybox")
    shutil.copy(busybox, root / "bin/busybox")
    for applet in run([busybox, "--list"]).split():
        if applet != "busybox":
            (root / "bin" / applet).symlink_to("busybox")
    for number, module in enumerate(MODULES):  # the guest loads them in the order of their names
        shutil.copy(kernel_folder / "modules" / (module + ".ko"), root / "modules" / ("%02d-%s.ko" % (number, module)))
    (root / "uhid-devices").write_text(uhid_table(uhid_devices))
    shutil.copytree("/usr/lib/locale/C.utf8", root / "usr/lib/locale/C.utf8")
    # As on any Debian system: without its cache the C library builds its
    # table of converters afresh in every process that converts text.
    gconv = glob.glob("/usr/lib/*/gconv/gconv-modules.cache")[0]
    (root / gconv.lstrip("/")).parent.mkdir(parents=True)
    shutil.copy(gconv, root / gconv.lstrip("/"))
    shutil.copy(HERE / "init", root / "init")
    for program in programs:
        shutil.copy(program, root / "bin")
        for line in run(["ldd", program]).splitlines():
            library = [word for word in line.split() if word.startswith("/")]
            if library:
                target = root / library[0].lstrip("/")
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(library[0], target)
    image = pathlib.Path(folder, "initramfs.cpio")
    with open(image, "wb") as out:
        subprocess.run("find . | cpio -o -H newc --quiet", shell=True, cwd=root, stdout=out, check=True)
    return image


def qemu_command(kernel_folder, image, run_name, devices=USB_DEVICES, console=("-serial", "stdio"), options=()):
    if not shutil.which("qemu-system-x86_64"):
        raise Unavailable("qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)")
    command = ["qemu-system-x86_64", "-machine", "q35", "-m", "512", "-bios", FIRMWARE,
               "-nodefaults", "-display", "none", "-no-reboot", *console, *options,
               "-kernel", str(kernel_folder / "vmlinux"), "-initrd", str(image),
               "-append", "console=ttyS0,115200 quiet loglevel=0 panic=-1 hidlist_run=%s hidraw_count=%d"
               % (run_name, len(devices)),
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


def stop(signal_number, frame):
    raise KeyboardInterrupt


def demo(hidlist, uhid_devices):
    check_host()
    for signal_number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signal_number, stop)
    with tempfile.TemporaryDirectory() as folder:
        kernel_folder = kernel()
        usb_devices = USB_DEVICES[:2]
        shown = [device for device in UHID_DEVICES if device[0]]
        image = initramfs(kernel_folder, [hidlist, uhid_devices], folder, shown)
        print("Booting a VM with %d HID devices; Ctrl-C stops it until hidlist waits for your key."
              % (len(usb_devices) + len(shown)), file=sys.stderr)
        mode = termios.tcgetattr(sys.stdin.fileno())
        # A session of its own: Ctrl-C on this terminal is ours to handle.
        qemu = subprocess.Popen(qemu_command(kernel_folder, image, "demo", usb_devices), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, start_new_session=True)
        try:
            return relay(qemu)
        except KeyboardInterrupt:
            return 130
        finally:
            termios.tcsetattr(sys.stdin.fileno(), termios.TCSAFLUSH, mode)
            qemu.kill()
            qemu.wait()


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "demo":
        sys.exit(__doc__)
    try:
        sys.exit(demo(sys.argv[2], sys.argv[3]))
    except Unavailable as error:
        sys.exit("vm: %s" % error)
