#!/usr/bin/env python3
"""How many faults in src/hidlist.cpp the fast test groups catch.

Finds the sites where one small change can be made (a relational operator
swapped, a constant off by one, && and || swapped, an if negated, a call
statement deleted, a return value changed, a write's result left unchecked),
samples some of them with a fixed seed, and for each, one at a time, rebuilds
hidlist_double from a copy of the tree and runs Report, Text, Console and
Scale under a time limit. The tree itself is never changed.

    python3 bench/mutate.py [--sites 40] [--seed 31] [--limit 90] [-j 1] [--build build/mutate]
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = "src/hidlist.cpp"
GROUPS = "^(Report|Text|Console|Scale)$"


def code_mask(text):
    """The text with comments, string and character literals and preprocessor
    lines blanked out, offsets kept, so that sites are looked for in code alone."""
    masked = list(text)
    i = 0
    at_line_start = True
    while i < len(text):
        c = text[i]
        if at_line_start and text[i:].lstrip(" ").startswith("#"):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
            masked[i:end] = " " * (end - i)
            i = end
            continue
        at_line_start = c == "\n"
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = len(text) if end < 0 else end
            masked[i:end] = " " * (end - i)
            i = end
        elif c in "\"'":
            end = i + 1
            while text[end] != c:
                end += 2 if text[end] == "\\" else 1
            masked[i + 1:end] = " " * (end - i - 1)
            i = end + 1
        else:
            i += 1
    return "".join(masked)


# Conditions that are false in this build, whose code no test here can reach.
NOT_BUILT_HERE = ("_WIN32", "WCHAR_MAX <= 0xffff")


def mask_unbuilt(code, text):
    """`code` with the lines that the preprocessor drops on Linux blanked."""
    lines = code.split("\n")
    active = [True]
    for number, line in enumerate(text.split("\n")):
        directive = line.strip()
        if directive.startswith(("#ifdef", "#if ")):
            condition = directive.split(None, 1)[1]
            active.append(active[-1] and condition not in NOT_BUILT_HERE)
        elif directive.startswith("#else"):
            active[-1] = not active[-1] and active[-2]
        elif directive.startswith("#endif"):
            active.pop()
        elif not active[-1]:
            lines[number] = " " * len(line)
    return "\n".join(lines)


def closing(text, opening):
    """The offset of the parenthesis that closes the one at `opening`."""
    depth = 0
    for i in range(opening, len(text)):
        depth += {"(": 1, ")": -1}.get(text[i], 0)
        if depth == 0:
            return i
    raise ValueError("unbalanced parentheses")


def sites(text):
    """Every (kind, start, end, replacement) that makes one mutant."""
    code = mask_unbuilt(code_mask(text), text)
    found = []
    swaps = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
    for match in re.finditer(r"(?<![<>=!&|\-])(<=|>=|==|!=|<|>)(?![<>=])", code):
        before = code[:match.start()].rstrip()
        after = code[match.end():].lstrip()
        # Template arguments (static_cast<int>), not comparisons.
        if match.group() in "<>" and (re.search(r"(cast|template|numeric_limits)\s*$", before)
                                      or re.search(r"cast\s*<[\w\s:]*$", before) or after.startswith("(")):
            continue
        found.append(("relational", match.start(), match.end(), swaps[match.group()]))
    for match in re.finditer(r"&&|\|\|", code):
        found.append(("logical", match.start(), match.end(), "||" if match.group() == "&&" else "&&"))
    for match in re.finditer(r"(?<![\w.])(0x[0-9a-fA-F]+|\d+)(?![\w.])", code):
        value = int(match.group(), 0)
        for changed in (value + 1, value - 1):
            if changed >= 0:
                form = "0x%x" % changed if match.group().startswith("0x") else str(changed)
                found.append(("constant", match.start(), match.end(), form))
    for match in re.finditer(r"\bif \(", code):
        opening = match.end() - 1
        end = closing(code, opening)
        found.append(("negated if", opening, end + 1, "(!" + text[opening:end + 1] + ")"))
    for match in re.finditer(r"(?m)^[ \t]+((?:std::)?\w+)\(", code):
        if match.group(1) in ("if", "while", "for", "switch", "return", "sizeof"):
            continue
        end = closing(code, match.end() - 1)
        if code[end + 1:end + 2] == ";":
            found.append(("deleted call", match.start(1), end + 2, ";"))
    for match in re.finditer(r"\breturn (true|false|-?\d+);", code):
        changed = {"true": "false", "false": "true"}.get(match.group(1)) or str(1 - int(match.group(1)))
        found.append(("return value", match.start(1), match.end(1), changed))
    for match in re.finditer(r"\bcheck_written\(", code):
        end = closing(code, match.end() - 1)
        found.append(("unchecked write", match.start(), end + 1, text[match.end():end]))
    return sorted(found, key=lambda site: (site[1], site[0], site[3]))


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def copy_tree(destination):
    shutil.copytree(ROOT, destination, symlinks=True,
                    ignore=lambda folder, names: [n for n in names if folder == ROOT and n in ("build", ".git")])


def run(command, limit=None, cwd=None):
    """(exit status or None when over the limit, output), the whole process group ended."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               start_new_session=True, text=True, errors="replace")
    try:
        output, _ = process.communicate(timeout=limit)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output


class Worker:
    """A copy of the tree and a build folder of its own."""

    def __init__(self, build, limit):
        self.tree = tempfile.mkdtemp(prefix="hidlist-mutate-")
        copy_tree(os.path.join(self.tree, "src-tree"))
        self.tree = os.path.join(self.tree, "src-tree")
        self.build = build
        self.limit = limit
        # A folder left by an earlier run was configured for another copy.
        shutil.rmtree(build, ignore_errors=True)
        status, output = run(["cmake", "-S", self.tree, "-B", build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                              "-DHIDLIST_BUILD_TESTS=ON", "-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF"])
        if status != 0:
            sys.exit("configure failed:\n" + output)

    def outcome(self, source):
        with open(os.path.join(self.tree, SOURCE), "w") as file:
            file.write(source)
        status, _ = run(["cmake", "--build", self.build, "--target", "hidlist_double", "-j1"])
        if status != 0:
            return "no-compile"
        status, output = run(["ctest", "--test-dir", self.build, "-R", GROUPS, "--stop-on-failure"], self.limit)
        if status == 0:
            return "survived"
        if status is None or "***Timeout" in output:
            return "timeout"
        if re.search(r"\*\*\*Failed|Exception|SEGFAULT|Child aborted", output):
            return "killed"
        # CTest itself failed (a test not run, say): no verdict on the mutant.
        print(output, file=sys.stderr)
        return "error"

    def remove(self):
        shutil.rmtree(os.path.dirname(self.tree))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sites", type=int, default=40, help="how many sites to sample")
    parser.add_argument("--seed", type=int, default=31)
    parser.add_argument("--limit", type=float, default=90, help="seconds for one mutant's tests")
    parser.add_argument("-j", type=int, default=1, help="mutants at once, each with a build folder of its own")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "mutate"), help="build folder (one per job: -1, -2 ...)")
    arguments = parser.parse_args()

    with open(os.path.join(ROOT, SOURCE)) as file:
        original = file.read()
    every = sites(original)
    sample = sorted(random.Random(arguments.seed).sample(every, min(arguments.sites, len(every))),
                    key=lambda site: site[1])
    print("%d sites in %s, %d sampled with seed %d" % (len(every), SOURCE, len(sample), arguments.seed), flush=True)

    builds = [arguments.build if arguments.j == 1 else "%s-%d" % (arguments.build, n + 1) for n in range(arguments.j)]
    workers = [Worker(build, arguments.limit) for build in builds]
    if workers[0].outcome(original) != "survived":
        sys.exit("the unchanged source does not pass the groups: no mutant can be judged")
    idle = list(workers)
    results = []

    def judge(number, site):
        kind, start, end, replacement = site
        worker = idle.pop()
        started = time.monotonic()
        try:
            result = worker.outcome(original[:start] + replacement + original[end:])
        finally:
            idle.append(worker)
        before = " ".join(original[start:end].split())
        after = " ".join(replacement.split())
        print("%2d  line %3d  %-15s %-9s %5.1f s  %s  ->  %s" % (
            number, line_of(original, start), kind, result, time.monotonic() - started,
            before[:60], after[:60]), flush=True)
        results.append(result)

    with ThreadPoolExecutor(arguments.j) as pool:
        list(pool.map(judge, range(1, len(sample) + 1), sample))
    for worker in workers:
        worker.remove()

    counts = {result: results.count(result) for result in ("killed", "survived", "timeout", "no-compile", "error")}
    judged = len(results) - counts["no-compile"] - counts["error"]
    print("judged %d: killed %d, timeout %d, survived %d; no-compile %d, error %d" % (
        judged, counts["killed"], counts["timeout"], counts["survived"], counts["no-compile"], counts["error"]))
    if judged:
        print("killed or timed out: %.0f%% of the mutants judged" % (
            100 * (counts["killed"] + counts["timeout"]) / judged))


if __name__ == "__main__":
    main()
