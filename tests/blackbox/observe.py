"""Black-box scenario "observe" (x64): what the user sees of the tray icon, the close
item, the clock, a start during a start, and the periodic scheme's switches.

Runs like the others (tests/blackbox/run gives it a network namespace of its own;
harness.Scenario a prefix, a display and the simulator). Part one drives a window
in manual mode against answering servers; part two a "/CycleSync" instance
against servers that never answer.
"""
import datetime
import os
import re
import time

from harness import parse_deviation, Dump, Scenario, finish, wait_until, ROW_HOSTS
from modes import (S, WM_COMMAND, WM_SYSCOMMAND, WM_CLOSE, SC_MINIMIZE, WM_TRAYICON, WM_LBUTTONDOWN, RUN_KEY,
                   NEAR_ZERO, PERIODIC_STATUS, MANUAL_STATUS, serve_rows, log_text, control, status_text, reg_query,
                   win_path, sync_ready, MANUAL_END)
import harness

LONG_ROW = 4   # answers with 120 bytes: the 48 of the reply and 72 of extension data


def tray_icons(s, arch="x64"):
    """Icons in the prefix's notification area (Wine's tray keeps one window per icon)."""
    recs = harness.parse_records(s.driver(arch, [["windows", "tray_icon"]]))
    return sum(1 for r in recs if r["kind"] == "window" and r.get("class", "").lower().endswith("tray_icon"))


def close_item(s, arch="x64"):
    r = Dump(s.driver(arch, [["close-item"]])).first("closeitem")
    return r.get("grayed"), r.get("state")


def attempts(text, outcome):
    return text.count(outcome)


def scenario_observe(res, art):
    names = ["observe_early_second_start_exits", "observe_reply_of_120_bytes_measured",
             "observe_clock_label_advances_2s", "observe_close_item_greyed_during_sync",
             "observe_close_item_enabled_after_sync", "observe_synchronised_rows_wait_for_update",
             "observe_periodic_scheme_button_starts_periodic_mode",
             "observe_tray_icon_after_cycle_start", "observe_hidden_attempt_line_without_servers",
             "observe_tray_icon_gone_after_restore", "observe_tray_icon_after_minimise",
             "observe_interval_change_attempts_at_once", "observe_untick_periodic_ends_periodic_mode"]
    res.plan(names)
    arch = "x64"
    with Scenario("observe", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        holds = [20 * i for i in range(10)]
        serve_rows(s, NEAR_ZERO, holds)
        s.serve(ROW_HOSTS[LONG_ROW], "offset=%.3f delay=%d len=120" % (NEAR_ZERO[LONG_ROW], holds[LONG_ROW]))
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"])
        path = win_path(exe)

        # ---- part one: manual mode --------------------------------------------------
        # Two starts in a row, the second before the first has a window: one of them
        # ends with 0 and one window is left.
        p1, p2 = s.launch(arch, exe), s.launch(arch, exe)
        s.driver(arch, [["wait-window", 60000]])
        gone = wait_until(lambda: p1.poll() is not None or p2.poll() is not None, 60)
        first, second = (p2, p1) if p1.poll() is not None else (p1, p2)
        d = s.dump(arch, pre=[["sleep", 1000]], label="two-starts")
        mains = d.first("mains")
        res.check("observe_early_second_start_exits", gone and second.poll() == 0 and first.poll() is None and
                  mains.get("count") == "1", "exit codes %s %s, windows %s" % (p1.poll(), p2.poll(), mains))
        p = first
        d = s.wait_dump(arch, lambda x: sync_ready(x) and all(x.cells.get((r, 3), "").isdigit() for r in range(10)),
                        60, "measured")
        cells = [d.cells.get((LONG_ROW, c), "") for c in range(7)]
        dev = parse_deviation(cells[2])
        res.check("observe_reply_of_120_bytes_measured", cells[3].isdigit() and dev is not None and
                  abs(dev - NEAR_ZERO[LONG_ROW]) < 0.05 and cells[6] == "1", "row %d %s" % (LONG_ROW, cells))
        # The clock label, read twice 2 s apart (by the driver's own tick count).
        clock = next((w for w in d.children(0) if w["class"].lower() == "static" and
                      len(w.get("text", "")) == 20 and w["text"][4] == "-"), None)
        reads = Dump(s.driver(arch, [["text", clock["hwnd"] if clock else "0x0"], ["sleep", 2000],
                                     ["text", clock["hwnd"] if clock else "0x0"]])).all("text")
        try:
            shown = [datetime.datetime.strptime(r["text"], "%Y-%m-%d  %H:%M:%S") for r in reads]
            label_s = (shown[1] - shown[0]).total_seconds()
            tick_s = (int(reads[1]["tick"]) - int(reads[0]["tick"])) / 1000.0
        except (ValueError, IndexError, KeyError):
            label_s, tick_s = None, None
        res.check("observe_clock_label_advances_2s", label_s is not None and abs(label_s - tick_s) <= 1.0 and
                  1.0 <= label_s <= 3.0, "reads %s: label %s s over %s s" % (
                      [r.get("text") for r in reads], label_s, tick_s))
        # A manual attempt of the regular scheme against servers that hold each request
        # 950 ms (the round, its servers asked at once, lasts about a second): the close
        # item is greyed while it runs and enabled again after it.
        serve_rows(s, NEAR_ZERO, [950] * 10)
        sync = control(d, "button", S(124))
        scheme = control(d, "combobox", index=1)
        s.driver(arch, [["select", scheme["hwnd"], 1]])
        before_item = close_item(s)
        before = log_text(s.dump(arch, label="before-sync"))
        # Read in the same driver run as the press: a further start would cost a good
        # part of the attempt.
        r = Dump(s.driver(arch, [["post", "main", WM_COMMAND, 0, sync["hwnd"]],
                                 ["wait-enabled", sync["hwnd"], 0, 10000], ["close-item"]])).first("closeitem")
        during_item = r.get("grayed"), r.get("state")
        res.check("observe_close_item_greyed_during_sync", before_item[0] == "0" and during_item[0] == "1",
                  "close item before %s, during %s" % (before_item, during_item))
        d = s.wait_dump(arch, lambda x: log_text(x) != before and MANUAL_END.search(log_text(x)) is not None and
                        sync_ready(x), 60, "after-sync", step=0.3)
        after_item = close_item(s)
        res.check("observe_close_item_enabled_after_sync", after_item[0] == "0" and sync_ready(d),
                  "close item after %s" % (after_item,))
        # Every sample was used by the clock setting: each row reads "已同步，等更新" until
        # its next answer, a query interval away. A cell is rewritten when its second
        # turns, so the rows may need up to a second after the attempt to say so.
        text = log_text(d)[len(before):]
        d = s.wait_dump(arch, lambda x: sum(x.cells.get((r, 2)) == S(116) for r in range(10)) >= 6, 5,
                        "rows-waiting", step=0.3)
        waiting = [r for r in range(10) if d.cells.get((r, 2)) == S(116)]
        others = [(r, d.cells.get((r, 2))) for r in range(10) if r not in waiting]
        res.check("observe_synchronised_rows_wait_for_update", "成功！" in text and len(waiting) >= 6 and
                  all(parse_deviation(c) is not None for _, c in others),
                  "log %r; waiting rows %s, others %s" % (text, waiting, others))
        # The sync button with the periodic scheme selected: the window hides, the
        # status shows the periodic text and an attempt is logged at once.
        serve_rows(s, NEAR_ZERO, holds)
        d = s.dump(arch, label="before-periodic")
        periodic = control(d, "button", S(132))
        s.driver(arch, [["click", periodic["hwnd"]], ["select", scheme["hwnd"], 2]])
        before = log_text(s.dump(arch, label="periodic-selected"))
        t0 = time.time()
        s.driver(arch, [["post", "main", WM_COMMAND, 0, sync["hwnd"]], ["wait-hidden", 10000]])
        # The first hidden attempt empties the log box, then writes its one line.
        line = re.compile(r"^\d\d:\d\d:\d\d(%s)+%s\r\n$" % (re.escape(" %s #" % S(117)) + r"\d: [\d.]+\.\.\.",
                                                           re.escape(S(119))))
        d = s.wait_dump(arch, lambda x: line.match(log_text(x)) is not None, 40, "periodic-from-window", step=0.5)
        took = time.time() - t0
        res.check("observe_periodic_scheme_button_starts_periodic_mode", d.main.get("visible") == "0" and
                  status_text(d) == PERIODIC_STATUS(60) and line.match(log_text(d)) is not None and took < 30,
                  "visible %s status %r; after %.1f s log %r" % (d.main.get("visible"), status_text(d), took,
                                                                 log_text(d)))
        s.close(p)

        # ---- part two: "/CycleSync 10" with every server silent -----------------------
        for h in ROW_HOSTS + harness.EXTRA_HOSTS:
            s.serve(h, "silent=1")
        p = s.launch(arch, exe, ["/CycleSync", "10"])
        s.driver(arch, [["wait-exists", 60000]])
        d = s.wait_dump(arch, lambda x: status_text(x) == PERIODIC_STATUS(10), 20, "cycle-start", step=0.5)
        n = tray_icons(s)
        res.check("observe_tray_icon_after_cycle_start", d.main.get("visible") == "0" and n == 1,
                  "visible %s, %d tray icons" % (d.main.get("visible"), n))
        # No server answers: the attempt's line is the failure text alone (no server
        # gives a time stamp either).
        d = s.wait_dump(arch, lambda x: S(121) in log_text(x), 90, "cycle-first", step=1)
        res.check("observe_hidden_attempt_line_without_servers", log_text(d) == S(121) + "\r\n",
                  "log %r" % log_text(d))
        d = s.dump(arch, pre=[["post", "main", WM_TRAYICON, 0, WM_LBUTTONDOWN], ["wait-visible", 10000]],
                   label="restored")
        n = tray_icons(s)
        res.check("observe_tray_icon_gone_after_restore", d.main.get("visible") == "1" and n == 0,
                  "visible %s, %d tray icons" % (d.main.get("visible"), n))
        s.driver(arch, [["post", "main", WM_SYSCOMMAND, SC_MINIMIZE], ["wait-hidden", 10000]])
        n = tray_icons(s)
        d = s.dump(arch, pre=[["post", "main", WM_TRAYICON, 0, WM_LBUTTONDOWN], ["wait-visible", 10000]],
                   label="restored-again")
        res.check("observe_tray_icon_after_minimise", n == 1 and tray_icons(s) == 0,
                  "%d tray icons while minimised" % n)
        # A new interval: an attempt at once (the period is 20 minutes now), the status
        # with the new minutes, and the autostart entry rewritten.
        interval = control(d, "combobox", index=3)
        t0 = time.time()
        s.driver(arch, [["select", interval["hwnd"], 1]])
        d = s.wait_dump(arch, lambda x: attempts(log_text(x), S(121)) >= 2, 60, "interval-20", step=1)
        took = time.time() - t0
        entry = reg_query(s, RUN_KEY, "Quorlin")
        res.check("observe_interval_change_attempts_at_once", attempts(log_text(d), S(121)) == 2 and took < 50 and
                  status_text(d) == PERIODIC_STATUS(20), "after %.1f s log %r status %r entry %r" % (
                      took, log_text(d), status_text(d), entry))
        # Unticking the periodic box: the entry goes, scheme item 2 goes, and no attempt
        # follows, not even on another interval change.
        periodic = control(d, "button", S(132))
        s.driver(arch, [["click", periodic["hwnd"]]])
        gone = reg_query(s, RUN_KEY, "Quorlin")
        s.driver(arch, [["select", interval["hwnd"], 2], ["sleep", 8000]])
        d = s.dump(arch, label="unticked")
        sch = control(d, "combobox", index=1)
        items = d.items.get(int(sch["i"])) if sch else None
        res.check("observe_untick_periodic_ends_periodic_mode",
                  entry == '"%s" /CycleSync 20' % path and gone is None and items == [S(127), S(128)] and
                  attempts(log_text(d), S(121)) == 2 and status_text(d) == MANUAL_STATUS,
                  "entry before %r after %r; scheme items %s; log %r; status %r" % (
                      entry, gone, items, log_text(d), status_text(d)))
        s.driver(arch, [["post", "main", WM_CLOSE]])
        rc = finish(p, 30)
        if rc != 0:
            res.note("the /CycleSync instance ended with %s" % rc)


SCENARIOS = {"observe": scenario_observe}
