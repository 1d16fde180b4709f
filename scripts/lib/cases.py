#!/usr/bin/env python3
"""Counts test cases for scripts/test; prints "PASSED FAILED".

  cases.py ctest LOG JSON    LOG: output of `ctest -V`; JSON: `ctest --show-only=json-v1`.
      Each GoogleTest case counts once. A binary that ended without its summary
      (crash, hang, time-out) counts every case it lists (--gtest_list_tests) as
      failed, at least one.
  cases.py blackbox FILE...  result files of tests/blackbox/run: "plan NAME",
      "ok NAME", "not ok NAME - WHY". A planned check that never reported failed.
"""
import json
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


def count_ctest(log_path, json_path):
    log = open(log_path, encoding="utf-8", errors="replace").read().splitlines()
    tests = json.load(open(json_path))["tests"]
    numbers = {}
    for line in log:
        m = re.match(r"^\s*\d+/\d+ Test\s+#(\d+): (\S+) \.+.*?(Passed|\*\*\*\w+|Not Run|Failed)", line)
        if m:
            numbers[m.group(2)] = (int(m.group(1)), m.group(3))
    passed = failed = 0
    for t in tests:
        name = t["name"]
        if name not in numbers:
            continue   # not selected in this run
        num, status = numbers[name]
        own = [l[len("%d: " % num):] for l in log if l.startswith("%d: " % num)]
        ok = next((int(m.group(1)) for l in own for m in [re.match(r"^\[  PASSED  \] (\d+) tests?\.", l)] if m), None)
        bad = next((int(m.group(1)) for l in own for m in [re.match(r"^\[  FAILED  \] (\d+) tests?, listed", l)] if m),
                   0)
        if ok is not None and (status == "Passed" or bad):
            passed += ok
            failed += bad
        else:
            n = listed_cases(t["command"])
            print("cases: %s ended without its summary (%s): %d cases counted as failed" % (name, status, n),
                  file=sys.stderr)
            failed += n
    return passed, failed


def count_blackbox(paths):
    passed = failed = 0
    for p in paths:
        planned, ok, bad = [], set(), set()
        for line in open(p, encoding="utf-8", errors="replace"):
            line = line.rstrip("\n")
            if line.startswith("plan "):
                planned.append(line[5:])
            elif line.startswith("ok "):
                ok.add(line[3:])
            elif line.startswith("not ok "):
                bad.add(line[7:].split(" - ", 1)[0])
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
    return passed, failed


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "ctest":
        print("%d %d" % count_ctest(sys.argv[2], sys.argv[3]))
    elif len(sys.argv) >= 3 and sys.argv[1] == "blackbox":
        print("%d %d" % count_blackbox(sys.argv[2:]))
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
