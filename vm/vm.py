"""Boots a Debian kernel under QEMU with emulated USB HID devices, so hidlist
can meet real hidraw nodes on a machine that has none.

    python3 vm/vm.py demo HIDLIST   hands this terminal to HIDLIST in the VM

The kernel package is fetched with apt once and kept in the cache folder
(HIDLIST_VM_CACHE, else ~/.cache/hidlist-vm); it is never installed."""

import glob
import lzma
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
CACHE = pathlib.Path(os.environ.get("HIDLIST_VM_CACHE") or pathlib.Path.home() / ".cache" / "hidlist-vm")
MODULES = ["usb-common", "usbcore", "xhci-hcd", "xhci-pci", "hid", "usbhid", "hid-generic"]
FIRMWARE = "/usr/share/qemu/qboot.rom"  # SeaBIOS stalls for seconds on some USB devices

# (QEMU device, serial number): one hidraw node each.
DEVICES = [("usb-kbd", "KBD-1"), ("usb-mouse", ""), ("usb-tablet", "Ü"), ("usb-wacom-tablet", "W-42")]


class Unavailable(Exception):
    """QEMU or the kernel cannot be had on this machine."""


def run(command, **options):
    try:
        return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", "") or ""
        raise Unavailable("%s failed: %s %s" % (command[0], error, detail.strip()))


def kernel_package():
    for line in run(["apt-cache", "depends", "linux-image-amd64"]).splitlines():
        if line.strip().startswith("Depends: linux-image-"):
            return line.split()[-1]
    raise Unavailable("apt knows no kernel behind linux-image-amd64 (run apt-get update)")


def kernel():
    """The folder holding the uncompressed kernel `vmlinux` and `modules/`."""
    folder = CACHE / kernel_package()
    if (folder / "vmlinux").exists():
        return folder
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


def initramfs(kernel_folder, programs, folder):
    """Writes initramfs.cpio into `folder`: busybox, the USB HID modules, the
    UTF-8 locale, the init script, and the programs with their libraries."""
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
    for module in MODULES:
        shutil.copy(kernel_folder / "modules" / (module + ".ko"), root / "modules")
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


def qemu_command(kernel_folder, image, run_name, devices=DEVICES, console=("-serial", "stdio"), options=()):
    if not shutil.which("qemu-system-x86_64"):
        raise Unavailable("qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)")
    command = ["qemu-system-x86_64", "-machine", "q35", "-m", "512", "-bios", FIRMWARE,
               "-nodefaults", "-display", "none", "-no-reboot", *console, *options,
               "-kernel", str(kernel_folder / "vmlinux"), "-initrd", str(image),
               "-append", "console=ttyS0,115200 quiet loglevel=0 panic=-1 hidlist_run=%s hidraw_count=%d"
               % (run_name, len(devices)),
               "-device", "qemu-xhci"]
    for device, serial in devices:
        command += ["-device", "%s,serial=%s" % (device, serial)]
    return command


def demo(hidlist):
    with tempfile.TemporaryDirectory() as folder:
        folder_of_kernel = kernel()
        image = initramfs(folder_of_kernel, [hidlist], folder)
        print("Booting a VM with %s; hidlist waits for your key." % ", ".join(d for d, _ in DEVICES), file=sys.stderr)
        # signal=off: Ctrl-C goes to hidlist as a key rather than killing QEMU.
        console = ("-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console")
        return subprocess.run(qemu_command(folder_of_kernel, image, "demo", console=console), timeout=600).returncode


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "demo":
        sys.exit(__doc__)
    try:
        sys.exit(demo(sys.argv[2]))
    except Unavailable as error:
        sys.exit("vm: %s" % error)
