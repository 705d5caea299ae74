#!/usr/bin/env python3
"""The verdict on one CTest run, read from its JUnit record.

    ctest_results.py RESULTS.xml [--groups NAME...] [--expect NAME...]
                     [--skip-reason PREFIX] [--verdict WHAT]

Prints which way each VM test ran its guest, and every skip with its reason:
a whole test CTest did not run, or a case unittest skipped within a test
(counted from unittest's own summary, so a skip that prints in some other
shape is still counted). Each group named by --groups must be in the record,
have run and passed, and then it prints "verdict: WHAT passed GROUPS"; each
named by --expect must be in the record, run or skipped. So a misspelt or
vanished group cannot pass with the rest. A skipped case fails unless its
reason starts with a --skip-reason PREFIX; a skipped test fails where
--groups names it, and everywhere under CI=true. An allowed skip that did
not happen is said, so that a stale one shows. The exit status is the
verdict.
"""
import argparse
import ast
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

# unittest prints a skip's reason as Python writes the string, in double
# quotes where it holds an apostrophe.
SKIPPED_CASE = re.compile(r"\.\.\. skipped ('.*'|\".*\")$")
UNITTEST_SUMMARY = re.compile(r"^(?:OK|FAILED) \((?:.*, )?skipped=(\d+)")
VM_WAY = re.compile(r"vm: (KVM runs|QEMU emulates) the guest.*")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("results")
    parser.add_argument("--groups", nargs="+", default=[])
    parser.add_argument("--expect", nargs="+", default=[])
    parser.add_argument("--skip-reason", action="append", default=[])
    parser.add_argument("--verdict", help="what passed, said before the groups")
    arguments = parser.parse_args()

    faults = []
    seen = {}
    all_reasons = []
    for case in ElementTree.parse(arguments.results).iter("testcase"):
        name = case.get("name")
        said = (case.findtext("system-out") or "").splitlines()
        seen[name] = case
        for way in filter(None, map(VM_WAY.search, said)):
            print("test: %s: %s" % (name, way.group()))
        if case.find("skipped") is not None:
            reason = next((line[len("skipped: "):] for line in said if line.startswith("skipped: ")),
                          case.find("skipped").get("message"))
            print("test: skipped: %s: %s" % (name, reason), file=sys.stderr)
            if name in arguments.groups or os.environ.get("CI") == "true":
                faults.append("%s was skipped" % name)
        reasons = [ast.literal_eval(match.group(1)) for match in map(SKIPPED_CASE.search, said) if match]
        counted = sum(int(match.group(1)) for match in map(UNITTEST_SUMMARY.match, said) if match)
        all_reasons.extend(reasons)
        for reason in reasons:
            print("test: skipped: a case of %s: %s" % (name, reason), file=sys.stderr)
        if counted != len(reasons):
            faults.append("%s skipped %d cases, of which %d said why" % (name, counted, len(reasons)))
        faults.extend("%s skipped a case: %s" % (name, reason) for reason in reasons
                      if not any(reason.startswith(prefix) for prefix in arguments.skip_reason))
    for prefix in arguments.skip_reason:
        if not any(reason.startswith(prefix) for reason in all_reasons):
            print("test: the skip allowed for \"%s...\" did not happen" % prefix)
    faults.extend("no test %s in the record" % group for group in arguments.expect if group not in seen)
    for group in arguments.groups:
        case = seen.get(group)
        if case is None:
            faults.append("no test %s ran" % group)
        elif case.get("status") != "run" or case.find("failure") is not None:
            faults.append("%s did not pass" % group)
    for fault in faults:
        print("FAIL: " + fault, file=sys.stderr)
    if not faults and arguments.groups:
        print("verdict: %spassed %s" % (arguments.verdict + " " if arguments.verdict else "", " ".join(arguments.groups)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
