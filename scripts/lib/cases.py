#!/usr/bin/env python3
"""Counts test cases for scripts/test; prints "PASSED FAILED SKIPPED".

  cases.py ctest LOG JSON RC [--harness]
      LOG: output of `ctest -V`; JSON: `ctest --show-only=json-v1` with the same
      selection; RC: ctest's exit code. Each GoogleTest case counts once; skipped
      cases are counted apart and listed on stderr. Without --harness the program's
      tests are counted, with it only the tests of the test tools themselves (the
      simulator, the driver: binaries under tools/ and the suites HARNESS_SUITES
      inside the program's test binaries), which prove nothing about the program.
      A selected test without a result line, or a binary that ended without its
      summary (crash, hang, time-out), counts every case it lists
      (--gtest_list_tests) as failed, at least one. When ctest failed and nothing
      was counted as failed, the stage counts one failed case.
  cases.py like LOG OTHER_JSON
      the cases that OTHER_JSON's tests would have run, counted from the runs of
      the tests of the same names in LOG (the other build's `ctest -V` output):
      passed, failed and skipped cases of each, at least one per test.
      Prints "0 0 SKIPPED": for a build whose tests cannot run here.
  cases.py blackbox RC FILE...
      result files of tests/blackbox/run: "plan NAME", "ok NAME", "not ok NAME - WHY";
      RC: the run's exit code. A planned check that never reported failed; a file
      without any plan line (the scenario died before its plan) and a non-zero exit
      each count one failed case.
"""
import json
import os
import re
import subprocess
import sys


def listed_cases(command):
    """Number of cases the binary lists; run under its emulator but without with-peers."""
    start = next((i for i, a in enumerate(command) if a.endswith("/wine-run")), None)
    cmd = command[start:] if start is not None else command[-1:]
    try:
        out = subprocess.run(cmd + ["--gtest_list_tests"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=600).stdout.decode("utf-8", "replace")
    except (OSError, subprocess.TimeoutExpired):
        return 1
    return max(1, sum(1 for line in out.splitlines() if line.startswith("  ") and line.strip()))


# GoogleTest suites inside program test binaries that test the test tools.
HARNESS_SUITES = ("SimulatorTest",)


def harness_cases(own):
    """Passed and failed cases of HARNESS_SUITES among a binary's output lines."""
    pat = r"^\[ %s \] (?:" + "|".join(HARNESS_SUITES) + r")\.\S+ \(\d+ ms\)"
    return (sum(1 for l in own if re.match(pat % "      OK", l)),
            sum(1 for l in own if re.match(pat % " FAILED ", l)))


def is_harness(test):
    """A test of the test tools: its binary is built under tools/ (simulator, driver)."""
    exe = next((a for a in reversed(test.get("command", [])) if not a.startswith("-")), "")
    return "/tools/" in exe or test["name"].startswith(("ntpsim", "qldriver"))


def count_ctest(log_path, json_path, rc, harness=False):
    log = open(log_path, encoding="utf-8", errors="replace").read().splitlines()
    numbers = {}
    for line in log:
        m = re.match(r"^\s*\d+/\d+ Test\s+#(\d+): (\S+) \.+.*?(Passed|\*\*\*\w+|Not Run|Failed)", line)
        if m:
            numbers[m.group(2)] = (int(m.group(1)), m.group(3))
    counts = {True: [0, 0, 0], False: [0, 0, 0]}
    for t in json.load(open(json_path))["tests"]:
        name, mine, ours = t["name"], counts[is_harness(t)], is_harness(t) == harness
        # Only the failures of the other kind's tests matter here (for ctest's exit code).
        if name not in numbers:
            n = listed_cases(t["command"]) if ours else 1
            ours and print("cases: %s has no result line in the ctest log: %d cases counted as failed" % (name, n),
                  file=sys.stderr)
            mine[1] += n
            continue
        num, status = numbers[name]
        own = [l[len("%d: " % num):] for l in log if l.startswith("%d: " % num)]
        ok = next((int(m.group(1)) for l in own for m in [re.match(r"^\[  PASSED  \] (\d+) tests?\.", l)] if m), None)
        bad = next((int(m.group(1)) for l in own for m in [re.match(r"^\[  FAILED  \] (\d+) tests?, listed", l)] if m),
                   0)
        skip = next((int(m.group(1)) for l in own
                     for m in [re.match(r"^\[  SKIPPED \] (\d+) tests?, listed", l)] if m), 0)
        if ok is not None and (status == "Passed" or bad):
            tools_ok, tools_bad = harness_cases(own) if not is_harness(t) else (0, 0)
            mine[0] += ok - tools_ok
            mine[1] += bad - tools_bad
            mine[2] += skip
            counts[True][0] += tools_ok
            counts[True][1] += tools_bad
            # The names follow the count line, one "[  SKIPPED ] Suite.Case" each.
            at = next((i for i, l in enumerate(own) if re.match(r"^\[  SKIPPED \] \d+ tests?, listed", l)), None)
            for l in own[at + 1:] if at is not None else []:
                if not l.startswith("[  SKIPPED ] "):
                    break
                if ours:
                    print("cases: skipped %s: %s" % (name, l[len("[  SKIPPED ] "):]), file=sys.stderr)
        else:
            n = listed_cases(t["command"]) if ours else 1
            ours and print("cases: %s ended without its summary (%s): %d cases counted as failed" % (name, status, n),
                  file=sys.stderr)
            mine[1] += n
    if rc != 0 and counts[True][1] + counts[False][1] == 0 and not harness:
        print("cases: ctest exited with %d but no failed case was counted: one failed case" % rc, file=sys.stderr)
        counts[False][1] = 1
    return tuple(counts[harness])


def summary_counts(own):
    """Passed, failed and skipped cases from a binary's GoogleTest summary lines."""
    def first(pattern):
        return next((int(m.group(1)) for l in own for m in [re.match(pattern, l)] if m), 0)
    return (first(r"^\[  PASSED  \] (\d+) tests?\.") + first(r"^\[  FAILED  \] (\d+) tests?, listed") +
            first(r"^\[  SKIPPED \] (\d+) tests?, listed"))


def count_like(log_path, other_json_path):
    log = open(log_path, encoding="utf-8", errors="replace").read().splitlines() \
        if os.path.exists(log_path) else []
    numbers = {}
    for line in log:
        m = re.match(r"^\s*\d+/\d+ Test\s+#(\d+): (\S+) ", line)
        if m:
            numbers[m.group(2)] = int(m.group(1))
    total = 0
    for t in json.load(open(other_json_path))["tests"]:
        num = numbers.get(t["name"])
        n = summary_counts([l[len("%d: " % num):] for l in log if l.startswith("%d: " % num)]) \
            if num is not None else 0
        print("cases: skipped %s: %d cases" % (t["name"], max(1, n)), file=sys.stderr)
        total += max(1, n)
    return 0, 0, total


def count_blackbox(rc, paths):
    passed = failed = 0
    for p in paths:
        planned, ok, bad = [], set(), set()
        lines = open(p, encoding="utf-8", errors="replace").read().splitlines() if os.path.exists(p) else []
        for line in lines:
            if line.startswith("plan "):
                planned.append(line[5:])
            elif line.startswith("ok "):
                ok.add(line[3:])
            elif line.startswith("not ok "):
                bad.add(line[7:].split(" - ", 1)[0])
        if not planned:
            print("cases: %s: no plan, the scenario did not run: one failed case" % p, file=sys.stderr)
            failed += 1
        names = set(planned) | ok | bad
        for n in names:
            if n in ok and n not in bad:
                passed += 1
            else:
                failed += 1
        silent = [n for n in planned if n not in ok and n not in bad]
        if silent:
            print("cases: %s: %d planned checks never reported: %s" % (p, len(silent), " ".join(silent[:20])),
                  file=sys.stderr)
    if rc != 0:
        print("cases: the scenario exited with %d: one failed case" % rc, file=sys.stderr)
        failed += 1
    return passed, failed, 0


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) in (4, 5) and args[0] == "ctest" and args[3].lstrip("-").isdigit() and \
            (len(args) == 4 or args[4] == "--harness"):
        print("%d %d %d" % count_ctest(args[1], args[2], int(args[3]), len(args) == 5))
    elif len(args) == 3 and args[0] == "like":
        print("%d %d %d" % count_like(args[1], args[2]))
    elif len(args) >= 3 and args[0] == "blackbox" and args[1].lstrip("-").isdigit():
        print("%d %d %d" % count_blackbox(int(args[1]), args[2:]))
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
