"""Black-box scenario of what users do to the window while it synchronises: the
sync button of a window shown from the tray in periodic mode, a query interval
chosen during /AutoSync's first round, closing during a manual attempt, a
cancelled log-off, and a hidden-mode start while the program already runs.
Runs like the other scenarios (tests/blackbox/run: namespace, prefix, display)."""
import os
import re
import shutil
import subprocess
import time

from harness import LOADER, Scenario, finish, parse_records, wait_until, ROW_HOSTS, EXTRA_HOSTS
from modes import (S, serve_rows, log_text, wait_log, NEAR_ZERO, WM_CLOSE, WM_COMMAND, WM_SYSCOMMAND, SC_CLOSE,
                   WM_TRAYICON, WM_LBUTTONDOWN)
from scenarios import identify, sync_buttons

WM_QUERYENDSESSION, WM_ENDSESSION = 0x11, 0x16


def alive_and_answering(s, p, arch="x64"):
    """The program runs and its window handles a sent message (a text read)."""
    d = s.dump(arch, label="answering", expect_ok=False)
    return p.poll() is None and d.ok() and d.main.get("found") == "1"


def end(s, p, timeout):
    """p's exit code within timeout seconds. A program that hangs is ended with the
    prefix's wineserver (killing the loader leaves the Windows process behind), so
    the next part of the scenario does not hand over to it."""
    rc = finish(p, timeout)
    if p.poll() is None:
        p.kill()
        subprocess.run(["wineserver", "-k"], env=s.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=s.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        p.wait(10)
    return rc


def distinct_requests(s):
    """Requests to the rows' hosts and the extra hosts, each host counted once (row
    9's host is also the first extra host)."""
    return sum(s.count(h) for h in set(ROW_HOSTS + EXTRA_HOSTS))


def watch_text(s, target, ms, arch="x64"):
    """Starts a driver that waits for the target window and reads its text without
    pause until it is gone or ms have passed; (process, output file) for
    watched_lines."""
    out = os.path.join(s.tmp, "watch.out")
    with open(out, "w") as f:
        p = subprocess.Popen([LOADER[arch], os.environ["QL_DRIVER_" + arch.upper()], "watch-text", target, str(ms)],
                             env=s.env, stdout=f, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    s.procs.append(p)
    return p, out


def watched_lines(s, watch, timeout=30):
    """The texts the watching driver read, in order."""
    p, out = watch
    finish(p, timeout)
    shutil.copy(out, os.path.join(s.artefacts, "%s-watch.txt" % s.name))
    text = open(out, encoding="utf-8", errors="replace").read()
    return [r.get("text", "") for r in parse_records(text) if r["kind"] == "text"]


def scenario_robust(res, art):
    names = ["robust_tray_window_one_sync_button", "robust_tray_window_sync_press_keeps_window_working",
             "robust_auto_interval_change_in_first_round_exits", "robust_close_refused_during_manual_attempt",
             "robust_attempt_logged_after_refused_close", "robust_close_works_after_attempt",
             "robust_query_end_session_keeps_running", "robust_cancelled_log_off_keeps_running",
             "robust_end_session_ends", "robust_hidden_start_leaves_first_hidden"]
    res.plan(names)
    arch = "x64"
    with Scenario("robust", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        serve_rows(s, NEAR_ZERO, [20 * i for i in range(10)])
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"])

        # /CycleSync: after the first attempt the tray shows the window with the
        # disabled stand-in alone; a press on the hidden sync button starts nothing
        # and the window goes on handling messages (it used to wait forever).
        p = s.launch(arch, exe, ["/CycleSync", "10"])
        wait_log(s, lambda t: S(119) in t, 60, "cycle-attempt")
        d = s.dump(arch, pre=[["post", "main", WM_TRAYICON, 0, WM_LBUTTONDOWN], ["wait-visible", 15000],
                              ["sleep", 500]], label="cycle-shown")
        ctl = identify(d)
        sb = sync_buttons(ctl)
        res.check("robust_tray_window_one_sync_button", d.ok() and sb == (False, True, True, False),
                  "sync visible/enabled, second visible/enabled: %s" % (sb,))
        if ctl.get("sync"):
            s.driver(arch, [["post", "main", WM_COMMAND, 0, ctl["sync"]["hwnd"]], ["sleep", 1500]])
        answering = alive_and_answering(s, p)
        s.driver(arch, [["post", "main", WM_CLOSE]])
        rc = end(s, p, 30)
        res.check("robust_tray_window_sync_press_keeps_window_working", answering and rc == 0,
                  "answering %s, exit %s" % (answering, rc))

        # /AutoSync 40 with every request held 900 ms: a query interval chosen during
        # the attempt's round must not start a round beside the attempt, and the
        # attempt succeeds. Its line lasts only until the program closes, so a
        # driver reads the log box without pause meanwhile. A hidden mode makes no
        # start-up round: the servers see the attempt's round alone, and a failed
        # attempt would retry until the deadline, each time with a round of its own.
        serve_rows(s, NEAR_ZERO, [900] * 10)
        s.sim_cmd("reset")
        t = time.time()
        p = s.launch(arch, exe, ["/AutoSync", "40"])
        watch = watch_text(s, "child:Edit", 60000)
        d = s.wait_dump(arch, lambda x: identify(x).get("query") is not None, 60, "auto-start", step=0.2)
        query = identify(d).get("query")
        wait_until(lambda: distinct_requests(s) > 0, 60, 0.1)
        if query:
            s.driver(arch, [["select", query["hwnd"], 2]])
        rc = end(s, p, 90)
        took = time.time() - t
        texts = watched_lines(s, watch)
        asked = distinct_requests(s)
        # The attempts' complete lines (the help text goes at the first attempt).
        outcomes = [S(i) + "\r\n" for i in (118, 119, 120, 121)]
        lines = [l for t in texts for l in re.findall(r"[^\r\n]*\r\n", t) if any(l.endswith(o) for o in outcomes)]
        succeeded = [l for l in lines if l.endswith("..." + S(119) + "\r\n")]
        failed = [l for l in lines if l not in succeeded]
        # Under load the program may close between two readings; then the requests
        # and the time alone tell that the first attempt succeeded.
        if not lines:
            res.note("the attempt's line was not read before the program closed: %r" % texts[-1:])
        res.check("robust_auto_interval_change_in_first_round_exits", query is not None and rc == 0 and took < 40 and
                  asked == 10 and not failed and (succeeded or not lines),
                  "query selector %s, exit %s after %.1f s, %d requests, lines read %r" %
                  (query is not None, rc, took, asked, sorted(set(lines))))

        # A manual attempt with the regular scheme against servers that hold each
        # request 700 ms: the close command from the system menu (as Alt+F4 sends
        # it), the close button's command and a posted WM_CLOSE are all refused until
        # the attempt has logged its outcome; then closing works.
        serve_rows(s, NEAR_ZERO, [700] * 10)
        p = s.launch(arch, exe)
        d = s.dump(arch, pre=[["wait-window", 60000], ["wait-button", S(124), 60000]], label="manual-start")
        ctl = identify(d)
        steps = [["select", ctl["scheme"]["hwnd"], 1], ["post", "main", WM_COMMAND, 0, ctl["sync"]["hwnd"]],
                 ["sleep", 200], ["post", "main", WM_SYSCOMMAND, SC_CLOSE],
                 ["post", "main", WM_COMMAND, 0, ctl["close"]["hwnd"]], ["post", "main", WM_CLOSE], ["sleep", 300]]
        s.driver(arch, steps)
        still = alive_and_answering(s, p)
        res.check("robust_close_refused_during_manual_attempt", still, "exit %s" % p.poll())
        d = wait_log(s, lambda t: S(119) in t or t.rstrip("\r\n").endswith(S(120)), 40, "manual-outcome")
        res.check("robust_attempt_logged_after_refused_close", p.poll() is None and S(119) in log_text(d),
                  repr(log_text(d)[-200:]))
        # The controls come back with the attempt's end; then the close command works.
        s.driver(arch, [["wait-button", S(124), 20000], ["post", "main", WM_SYSCOMMAND, SC_CLOSE]])
        rc = end(s, p, 30)
        res.check("robust_close_works_after_attempt", rc == 0, "exit %s" % rc)

        # A log-off that another program cancels: the window stays; the real end of
        # the session ends the program.
        serve_rows(s, NEAR_ZERO, [0] * 10)
        p = s.launch(arch, exe)
        s.driver(arch, [["wait-window", 60000]])
        out = s.driver(arch, [["send", "main", WM_QUERYENDSESSION, 0, 0]])
        answer = "result=1" in out
        time.sleep(1)
        res.check("robust_query_end_session_keeps_running", answer and alive_and_answering(s, p),
                  "answer %s, exit %s" % (answer, p.poll()))
        s.driver(arch, [["post", "main", WM_ENDSESSION, 0, 0], ["sleep", 1500]])
        res.check("robust_cancelled_log_off_keeps_running", alive_and_answering(s, p), "exit %s" % p.poll())
        s.driver(arch, [["post", "main", WM_ENDSESSION, 1, 0]])
        rc = end(s, p, 30)
        res.check("robust_end_session_ends", rc == 0, "exit %s" % rc)

        # The autostart fires twice (Run key and logon task): the second hidden-mode
        # start ends without popping the first instance's window up.
        p = s.launch(arch, exe, ["/CycleSync", "10"])
        s.driver(arch, [["wait-exists", 60000], ["sleep", 1000]])
        rc2 = finish(s.launch(arch, exe, ["/AutoSync", "30"]), 60)
        time.sleep(1.5)
        d = s.dump(arch, label="second-hidden")
        res.check("robust_hidden_start_leaves_first_hidden", rc2 == 0 and p.poll() is None and
                  d.main.get("visible") == "0", "second exit %s, main %s" % (rc2, d.main))
        s.close(p)


SCENARIOS = {"robust": scenario_robust}
