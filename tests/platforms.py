#!/usr/bin/env python3
"""The one reader of platforms.txt: the scripts, the VM and the cross
toolchain file all take the table from here, so a line it rejects stops every
one of them alike, and a misspelt kind, architecture, group or sanitizer
cannot pass as a run that does nothing.

    platforms.py [--table FILE] check
    platforms.py [--table FILE] runs KIND... [--release RELEASE]
        "release architecture kind [sanitizers [qemu-user:sanitizers]]
        [groups...]" per run, in the table's order, but CI's own ("native")
    platforms.py [--table FILE] verdicts RELEASE
        checks the verdict lines on standard input ("verdict: ..." from
        ctest_results.py) against the cross and sanitize lines of RELEASE:
        one for each, in order, with the sanitizers that line gives the way
        its programs ran, and exits 1 naming the first that is not
    platforms.py [--table FILE] native
    platforms.py [--table FILE] architecture NAME qemu|qemu_cpu
    platforms.py [--table FILE] guest-packages NAME
        the packages of NAME's VM guest, nothing where it has none

A rejected table exits 2, naming its file, line and what is wrong there.
"""
import argparse
import collections
import os
import re
import sys

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "platforms.txt")

# The groups that a cross or sanitize run may name: those that run a build
# for another architecture (tests/CMakeLists.txt).
CROSS_GROUPS = ("Report", "Text", "Console", "Scale", "RealDevices")
SANITIZERS = ("address", "undefined")
RUN_KINDS = ("test", "run", "cross", "sanitize", "package", "install")

Architecture = collections.namedtuple("Architecture", "name multiarch qemu elf_class elf_machine qemu_cpu")
Guest = collections.namedtuple("Guest", "architecture packages qemu console kernel_format cpu machine")
Run = collections.namedtuple("Run", "release architecture kind sanitizers emulated_sanitizers groups native")
# Where a cross or sanitize run's programs ran, as its verdict says; the VM
# is a sanitize line's of RealDevices alone.
WAYS = ("natively", "under qemu-user", "in the VM")


class TableError(Exception):
    pass


def read(path=TABLE):
    """(architectures by name, guests by architecture, runs), each checked."""
    architectures, guests, runs = {}, {}, []
    lines = []
    with open(path) as table:
        for number, line in enumerate(table, 1):
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                lines.append((number, fields))

    def fault(number, what):
        return TableError("%s:%d: %s" % (path, number, what))

    for number, fields in lines:
        if fields[0] == "architecture":
            if len(fields) != 7:
                raise fault(number, "an architecture line has 7 columns, not %d" % len(fields))
            _, name, multiarch, qemu, elf_class, elf_machine, qemu_cpu = fields
            if name in architectures:
                raise fault(number, "a second architecture line for %s" % name)
            if elf_class not in ("32", "64") or not re.fullmatch(r"0x[0-9a-f]+", elf_machine):
                raise fault(number, "ELF class %s and machine %s: 32 or 64, and a hexadecimal number"
                            % (elf_class, elf_machine))
            architectures[name] = Architecture(name, multiarch, qemu, int(elf_class), int(elf_machine, 16), qemu_cpu)
    for number, fields in lines:
        if fields[0] == "guest":
            if len(fields) < 8:
                raise fault(number, "a guest line has at least 8 columns, not %d" % len(fields))
            _, name, packages, qemu, console, kernel_format, cpu, *machine = fields
            if name in guests:
                raise fault(number, "a second guest line for %s" % name)
            if name not in architectures:
                raise fault(number, "a guest for %s, which no architecture line names" % name)
            if kernel_format not in ("bzimage", "image"):
                raise fault(number, "kernel format %s: bzimage or image" % kernel_format)
            guests[name] = Guest(name, packages.split(","), qemu, console, kernel_format, cpu, machine)
    for number, fields in lines:
        if fields[0] in ("architecture", "guest"):
            continue
        if len(fields) < 3:
            raise fault(number, "a run has a release, an architecture and a kind: %s" % " ".join(fields))
        release, architecture, kind, *rest = fields
        if kind not in RUN_KINDS:
            raise fault(number, "the kind %s is none of %s" % (kind, ", ".join(RUN_KINDS)))
        if architecture not in architectures:
            raise fault(number, "the architecture %s has no architecture line" % architecture)
        native = kind == "test" and rest == ["native"]
        if native:
            rest = []
        def sanitizer_list(field):
            names = field.split(",")
            unknown = [name for name in names if name not in SANITIZERS]
            if unknown:
                raise fault(number, "the sanitizer %s is none of %s" % (unknown[0], ", ".join(SANITIZERS)))
            if len(set(names)) != len(names):
                raise fault(number, "a sanitizer named twice")
            return names

        sanitizers, emulated_sanitizers = [], None
        if kind == "sanitize":
            if not rest:
                raise fault(number, "a sanitize run names its sanitizers, then its groups")
            sanitizers = sanitizer_list(rest.pop(0))
            if rest and rest[0].startswith("qemu-user:"):
                emulated_sanitizers = sanitizer_list(rest.pop(0)[len("qemu-user:"):])
        if kind in ("cross", "sanitize"):
            if not rest:
                raise fault(number, "a %s run names the groups it runs" % kind)
            unknown = [group for group in rest if group not in CROSS_GROUPS]
            if unknown:
                raise fault(number, "the group %s is none of %s" % (unknown[0], ", ".join(CROSS_GROUPS)))
            if len(set(rest)) != len(rest):
                raise fault(number, "a group named twice")
            if "RealDevices" in rest and architecture not in guests:
                raise fault(number, "RealDevices on %s, which has no guest line" % architecture)
            if kind == "sanitize" and "RealDevices" in rest and rest != ["RealDevices"]:
                raise fault(number, "a sanitize line builds for the VM with RealDevices alone, or for here without it")
            if emulated_sanitizers is not None and rest == ["RealDevices"]:
                raise fault(number, "the VM runs no program under qemu-user: no qemu-user: sanitizers there")
        elif rest:
            raise fault(number, "a %s run takes no more columns: %s" % (kind, " ".join(rest)))
        runs.append(Run(release, architecture, kind, sanitizers, emulated_sanitizers, rest, native))
        if kind == "install" and not any(run.kind == "package" and run.architecture == architecture
                                         for run in runs):
            raise fault(number, "%s is installed, and no package line above makes it" % architecture)
    if sum(run.native for run in runs) != 1:
        raise TableError("%s: one test run, and one only, is marked native" % path)
    return architectures, guests, runs


def verdict_faults(runs, release, verdicts):
    """What is wrong with the verdict lines `verdicts` for the cross and
    sanitize lines of `release`, the first fault alone; empty if nothing."""
    lines = [run for run in runs if run.release == release and run.kind in ("cross", "sanitize")]
    verdicts = [line[len("verdict: "):] for line in verdicts if line.startswith("verdict: ")]
    if len(verdicts) != len(lines):
        return "%d verdicts for the %d cross and sanitize lines of %s" % (len(verdicts), len(lines), release)
    ways = {}  # the way each architecture's programs ran here, the VM's apart
    for run, verdict in zip(lines, verdicts):
        in_the_vm = run.kind == "sanitize" and run.groups == ["RealDevices"]
        accepted = []
        for way in WAYS:
            if (way == "in the VM") != in_the_vm:
                continue
            if run.kind == "cross":
                built = "cross-built"
            else:
                used = run.emulated_sanitizers if way == "under qemu-user" and run.emulated_sanitizers else run.sanitizers
                built = "cross-built with -fsanitize=" + ",".join(used)
            accepted.append("%s: %s, %s, %s, passed %s" % (release, run.architecture, built, way, " ".join(run.groups)))
        if verdict not in accepted:
            return "the verdict %r is none of %s" % (verdict, " or ".join(map(repr, accepted)))
        way = WAYS[accepted.index(verdict)] if not in_the_vm else None
        if way and ways.setdefault(run.architecture, way) != way:
            return "%s ran %s in one verdict and %s in another" % (run.architecture, ways[run.architecture], way)
    return ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--table", default=TABLE)
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("check")
    runs_command = commands.add_parser("runs")
    runs_command.add_argument("kinds", nargs="+", choices=RUN_KINDS)
    runs_command.add_argument("--release")
    commands.add_parser("native")
    verdicts_command = commands.add_parser("verdicts")
    verdicts_command.add_argument("release")
    architecture_command = commands.add_parser("architecture")
    architecture_command.add_argument("name")
    architecture_command.add_argument("field", choices=("qemu", "qemu_cpu"))
    guest_command = commands.add_parser("guest-packages")
    guest_command.add_argument("name")
    arguments = parser.parse_args()
    try:
        architectures, guests, runs = read(arguments.table)
    except (TableError, OSError, UnicodeDecodeError) as error:
        print("platforms: %s" % error, file=sys.stderr)
        return 2
    if arguments.command == "runs":
        for run in runs:
            if run.kind in arguments.kinds and not run.native and arguments.release in (None, run.release):
                print(" ".join([run.release, run.architecture, run.kind]
                               + ([",".join(run.sanitizers)] if run.sanitizers else [])
                               + (["qemu-user:" + ",".join(run.emulated_sanitizers)]
                                  if run.emulated_sanitizers else [])
                               + run.groups))
    elif arguments.command == "verdicts":
        fault = verdict_faults(runs, arguments.release, sys.stdin.read().splitlines())
        if fault:
            print("platforms: %s" % fault, file=sys.stderr)
            return 1
    elif arguments.command == "native":
        print(next(run.release for run in runs if run.native))
    elif arguments.command == "architecture":
        if arguments.name not in architectures:
            print("platforms: no architecture %s in %s" % (arguments.name, arguments.table), file=sys.stderr)
            return 1
        print(getattr(architectures[arguments.name], arguments.field))
    elif arguments.command == "guest-packages" and arguments.name in guests:
        print(" ".join(guests[arguments.name].packages))
    return 0


if __name__ == "__main__":
    sys.exit(main())
