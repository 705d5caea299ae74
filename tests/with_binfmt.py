"""Runs a command as root in user, mount and PID namespaces of its own, where
binfmt_misc hands the programs of another architecture to qemu-user. The
registration lives in that user namespace's own binfmt_misc and dies with it,
so the machine's registrations are never touched, however the run ends. Every
user and group is mapped to itself, so that apt and dpkg work as usual.

    python3 with_binfmt.py ARCHITECTURE QEMU_STATIC COMMAND...

ARCHITECTURE is a Debian architecture (arm64); QEMU_STATIC the matching
static qemu-user binary. Needs Linux 6.7 or later, run as root."""

import ctypes
import os
import sys

import platforms


def formats():
    """{Debian architecture: (qemu's name for it, which mmdebstrap looks for
    among the registrations, and the ELF header's magic and mask, as
    binfmt_misc takes them)}, from platforms.txt. The mask lets both
    executables and position-independent ones (types 2 and 3) through."""
    found = {}
    for architecture in platforms.read()[0].values():
        magic = (b"\x7fELF" + bytes([1 if architecture.elf_class == 32 else 2, 1, 1]) + bytes(9)
                 + b"\x02\x00" + architecture.elf_machine.to_bytes(2, "little"))
        found[architecture.name] = (architecture.qemu, magic, b"\xff" * 7 + b"\x00" + b"\xff" * 8 + b"\xfe\xff\xff\xff")
    return found


FORMATS = formats()
CLONE_NEWNS, CLONE_NEWUSER, CLONE_NEWPID = 0x00020000, 0x10000000, 0x20000000
MS_REC, MS_PRIVATE = 0x4000, 0x40000
PR_SET_PDEATHSIG = 1


def escaped(data):
    return "".join("\\x%02x" % byte for byte in data)


def die_with_parent(libc):
    """So that killing this script ends the namespace and all in it."""
    call(libc.prctl(PR_SET_PDEATHSIG, 9), "prctl")


def call(result, what):
    if result != 0:
        sys.exit("with_binfmt: %s: %s" % (what, os.strerror(ctypes.get_errno())))


def exit_status(status):
    """A wait status as the shell tells it: 128 + N for a death by signal N."""
    code = os.waitstatus_to_exitcode(status)
    return code if code >= 0 else 128 - code


def in_namespaces(architecture, qemu, command):
    """The first process of the new PID namespace: when it ends, so does
    every process in it."""
    libc = ctypes.CDLL(None, use_errno=True)
    call(libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None), "making the mounts private")
    call(libc.mount(b"proc", b"/proc", b"proc", 0, None), "mounting /proc")
    call(libc.mount(b"binfmt_misc", b"/proc/sys/fs/binfmt_misc", b"binfmt_misc", 0, None),
         "mounting a binfmt_misc of its own (Linux 6.7 or later)")
    name, magic, mask = FORMATS[architecture]
    # F: the interpreter is opened now, so it serves inside any chroot too.
    try:
        with open("/proc/sys/fs/binfmt_misc/register", "w") as register:
            register.write(":qemu-%s:M::%s:%s:%s:F" % (name, escaped(magic), escaped(mask), qemu))
    except OSError as error:
        sys.exit("with_binfmt: registering %s: %s" % (qemu, error.strerror))
    pid = os.fork()
    if pid == 0:
        try:
            os.execvp(command[0], command)
        except OSError as error:
            print("with_binfmt: %s: %s" % (command[0], error.strerror), file=sys.stderr)
            os._exit(127)
    return exit_status(os.waitpid(pid, 0)[1])


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in FORMATS:
        sys.exit(__doc__)
    architecture, qemu, command = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3:]
    libc = ctypes.CDLL(None, use_errno=True)
    unshared, unshared_w = os.pipe()
    mapped, mapped_w = os.pipe()
    child = os.fork()
    if child == 0:
        # Each side closes the ends it does not use, so that a read sees the
        # other side's end as soon as it is gone.
        os.close(unshared)
        os.close(mapped_w)
        die_with_parent(libc)
        call(libc.unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID), "unshare")
        os.write(unshared_w, b".")
        if not os.read(mapped, 1):
            os._exit(1)  # the parent is gone, or could not map the users and said so
        first = os.fork()
        if first == 0:
            die_with_parent(libc)
            os._exit(in_namespaces(architecture, qemu, command))
        os._exit(exit_status(os.waitpid(first, 0)[1]))
    os.close(unshared_w)
    os.close(mapped)
    if not os.read(unshared, 1):  # the child has said why
        sys.exit(exit_status(os.waitpid(child, 0)[1]) or 1)
    try:
        for name in ("uid_map", "gid_map"):
            with open("/proc/%d/%s" % (child, name), "w") as identity:
                identity.write("0 0 4294967295\n")
    except OSError as error:
        sys.exit("with_binfmt: mapping the users and groups: %s" % error.strerror)
    os.write(mapped_w, b".")
    sys.exit(exit_status(os.waitpid(child, 0)[1]))


if __name__ == "__main__":
    main()
