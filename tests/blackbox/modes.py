"""Black-box scenarios of synchronising: the hidden modes, the tray, the commands.

Each runs like the window scenarios (tests/blackbox/run puts it in a network
namespace of its own; harness.Scenario gives it a prefix, a display and the
simulator). Wine's SetLocalTime succeeds only within 0.5 s of the real time, so
the simulated offsets decide which clock setting succeeds.
"""
import math
import os
import re
import time

import harness
from harness import Dump, Scenario, finish, wait_until, ROW_HOSTS, EXTRA_HOSTS, DEFAULT_STRINGS

S = lambda i: DEFAULT_STRINGS[i - 101]
WM_CLOSE, WM_COMMAND, WM_SYSCOMMAND = 0x10, 0x111, 0x112
SC_MINIMIZE, SC_CLOSE = 0xF020, 0xF060
WM_TRAYICON, WM_LBUTTONDOWN, WM_RBUTTONDOWN = 1025, 0x201, 0x204
IDYES, IDNO = 6, 7
CB_SETCURSEL, CBN_EDITCHANGE = 0x14E, 5
RUN_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
SETTINGS_KEY = r"HKLM\SOFTWARE\Quorlin"
PERIODIC_STATUS = lambda minutes: "%s定期同步时间(间隔%d分钟)。" % (S(130), minutes)
MANUAL_STATUS = S(130) + S(138)
NOTE = lambda row, host: " %s #%d: %s..." % (S(117), row, host)
# Offsets in seconds of servers near the right time, whose clock setting Wine accepts.
NEAR_ZERO = [0.004, -0.004, 0.008, -0.008, 0.0, 0.012, -0.012, 0.002, -0.002, 0.006]


def expected_order(offsets, holds):
    """Rows the clock setting tries, in order, by the selection rules: Z_Scores over
    every answered row, IQR fences over the sorted offsets, rows by delay, each an
    inlier with Z below 1.0. Offsets in seconds, holds in ms (distinct by 20 ms+)."""
    x = [round(o * 1e7) for o in offsets]
    n = len(x)
    mean = sum(float(v) for v in x) / n
    dev = math.sqrt(sum((v - mean) ** 2 for v in x) / (n - 1))
    z = [abs(v - mean) / dev if dev else 0.0 for v in x]
    s = sorted(x)
    q, r, h = n // 4, n % 4, (3 * n) // 4 - 1
    trunc4 = lambda a: int(a / 4) if a >= 0 else -int(-a / 4)
    q1 = s[q] + trunc4((s[q + 1] - s[q]) * r)
    q3 = s[h] + trunc4((s[h + 1] - s[h]) * r)
    iqr = q3 - q1
    lo, hi = int(q1 - 1.5 * iqr), int(q3 + 1.5 * iqr)
    rows = sorted(range(n), key=lambda i: holds[i])
    return [i for i in rows if lo <= x[i] <= hi and z[i] < 1.0], z


def after_stamp(text):
    """What follows the HH:MM:SS stamp that heads an attempt's line, or None when
    the line has none within 30 s of the time in Shanghai now."""
    m = re.match(r"^(\d\d):(\d\d):(\d\d)(.*)$", text, re.S)
    if not m:
        return None
    now = harness.now_shanghai()
    seconds = (int(m.group(1)) * 60 + int(m.group(2))) * 60 + int(m.group(3))
    off = (seconds - (now.hour * 3600 + now.minute * 60 + now.second)) % 86400
    return m.group(4) if min(off, 86400 - off) < 30 else None


def serve_rows(s, offsets, holds):
    """Rows 0..9 (and the extra hosts, as row 9) answer with these offsets and holds."""
    for i, h in enumerate(ROW_HOSTS):
        s.serve(h, "offset=%.3f delay=%d" % (offsets[i], holds[i]))
    for h in EXTRA_HOSTS:
        s.serve(h, "offset=%.3f delay=%d" % (offsets[9], holds[9]))


def total_requests(s):
    """Requests to the rows' hosts and the extra hosts, each host counted once (row
    9's host is also the first extra host)."""
    return sum(s.count(h) for h in set(ROW_HOSTS + EXTRA_HOSTS))


def reg_query(s, key, value=None, arch="x64", view=64):
    """The REG_SZ value under HKEY_LOCAL_MACHINE\\key (None: the default value), or None
    when absent; read by the driver in the given registry view."""
    key = key.split("\\", 1)[1]
    recs = harness.parse_records(s.driver(arch, [["reg", view, key] + ([value] if value else [])]))
    r = next((r for r in recs if r["kind"] == "reg"), {})
    return r.get("text", "") if r.get("found") == "1" else None


def win_path(path):
    return "Z:" + path.replace("/", "\\")


def log_text(d):
    log = next((w for w in d.children(0) if w["class"].lower() == "edit"), None)
    return log.get("text", "") if log else ""


def control(d, cls, text=None, index=0, parent=0):
    found = [w for w in d.children(parent) if w["class"].lower() == cls and (text is None or w.get("text") == text)]
    return found[index] if len(found) > index else None


def status_text(d):
    """The status line: the last label of the main window."""
    statics = [w for w in d.children(0) if w["class"].lower() == "static"]
    return statics[-1].get("text") if statics else None


def wait_log(s, pred, timeout, label):
    """Dumps until pred(the log box's text) holds; the last dump."""
    return s.wait_dump("x64", lambda d: pred(log_text(d)), timeout, label, step=1)


# The end of a manual attempt's line: "成功！" and the detail line, or " 失败！".
MANUAL_END = re.compile(r"(%s\r\n {9}\S.*\r\n| %s\r\n)$" % (re.escape(S(119)), re.escape(S(120))))


def sync_ready(d):
    """A visible, enabled sync button: no manual attempt runs and a server answered."""
    return any(w["class"].lower() == "button" and w.get("text") == S(124) and w["visible"] == "1" and
               w["enabled"] == "1" for w in d.children(0))


def manual_sync(s, sync, label, before=None, timeout=90, arch="x64"):
    """Presses the sync button and waits for the attempt's own end: a log that has
    changed and ends with the outcome, and the sync button enabled again. The
    last dump."""
    if before is None:
        before = log_text(s.dump(arch, label=label + "-before"))
    s.driver(arch, [["post", "main", WM_COMMAND, 0, sync["hwnd"]]])
    return s.wait_dump(arch, lambda d: log_text(d) != before and MANUAL_END.search(log_text(d)) is not None and
                       sync_ready(d), timeout, label, step=0.5)


# ---- /CycleSync: hidden in the tray, its attempt, the tray, the question at closing ------
def scenario_cycle(res, art):
    names = ["cycle_hidden_at_start", "cycle_periodic_status", "cycle_first_attempt_line", "cycle_right_button_nothing",
             "cycle_hidden_no_requests_between_attempts", "cycle_tray_click_round_at_once",
             "cycle_tray_click_list_fills", "cycle_left_button_shows", "cycle_minimise_hides", "cycle_second_start_exits_0",
             "cycle_second_start_shows_first", "cycle_second_start_while_visible", "cycle_close_asks",
             "cycle_close_no_keeps_running", "cycle_close_button_yes_closes", "cycle_posted_close_no_question",
             "cycle_failed_candidates_then_good_one", "cycle_slow_servers_line_starts_with_time"]
    res.plan(names)
    arch = "x64"
    with Scenario("cycle", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        # The fastest server of all is 1.5 s off and drops out; the others lie near 0.
        offsets = [-1.5, 0.030, -0.030, 0.002, -0.015, 0.015, 0.040, -0.040, 0.010, -0.010]
        holds = [0, 80, 100, 20, 120, 140, 160, 40, 180, 60]
        order, _ = expected_order(offsets, holds)
        serve_rows(s, offsets, holds)
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"])
        p = s.launch(arch, exe, ["/CycleSync", "10"])
        s.driver(arch, [["wait-exists", 60000]])
        d = s.wait_dump(arch, lambda x: status_text(x) == PERIODIC_STATUS(10), 20, "start", step=0.5)
        res.check("cycle_hidden_at_start", d.main.get("found") == "1" and d.main.get("visible") == "0",
                  "main %s" % d.main)
        res.check("cycle_periodic_status", status_text(d) == PERIODIC_STATUS(10), status_text(d))
        want = NOTE(order[0], ROW_HOSTS[order[0]]) + S(119)
        d = wait_log(s, lambda t: S(119) in t or S(120) in t, 40, "attempt")
        text = log_text(d).strip("\r\n")
        res.check("cycle_first_attempt_line", after_stamp(text) == want,
                  "log %r, want stamp + %r (order %s)" % (text, want, order))
        # Hidden between attempts, the copy asks nobody: its next attempt makes its own round.
        s.sim_cmd("reset")
        time.sleep(60)
        asked = total_requests(s)
        res.check("cycle_hidden_no_requests_between_attempts", asked == 0, "%d requests in 60 s" % asked)
        # The tray's messages, posted as the shell posts them.
        s.driver(arch, [["post", "main", WM_TRAYICON, 0, WM_RBUTTONDOWN], ["sleep", 1500]])
        d = s.dump(arch, label="right-button")
        res.check("cycle_right_button_nothing", d.main.get("visible") == "0", "visible %s" % d.main.get("visible"))
        # Shown from the tray: a round at once, and its answers in the list.
        s.sim_cmd("reset")
        s.driver(arch, [["post", "main", WM_TRAYICON, 0, WM_LBUTTONDOWN]])
        posted = time.time()
        whole = wait_until(lambda: total_requests(s) >= 10, 3, 0.1)
        res.check("cycle_tray_click_round_at_once", whole, "%d requests %.1f s after the click was posted" %
                  (total_requests(s), time.time() - posted))
        d = s.wait_dump(arch, lambda x: all(x.cells.get((r, 3), "").isdigit() for r in range(10)), 15, "tray-list",
                        step=0.5)
        res.check("cycle_tray_click_list_fills", all(d.cells.get((r, 3), "").isdigit() for r in range(10)),
                  "delay cells %s" % [d.cells.get((r, 3)) for r in range(10)])
        d = s.dump(arch, pre=[["wait-visible", 10000]], label="left-button")
        res.check("cycle_left_button_shows", d.main.get("visible") == "1" and d.main.get("minimized") == "0",
                  "main %s" % d.main)
        d = s.dump(arch, pre=[["post", "main", WM_SYSCOMMAND, SC_MINIMIZE], ["wait-hidden", 10000]],
                   label="minimised")
        res.check("cycle_minimise_hides", d.main.get("visible") == "0", "visible %s" % d.main.get("visible"))
        hwnd = d.main.get("hwnd")
        # A second start hands over to the hidden first instance, which shows itself.
        rc = finish(s.launch(arch, exe), 60)
        res.check("cycle_second_start_exits_0", rc == 0, "exit %s" % rc)
        d = s.dump(arch, pre=[["wait-visible", 10000]], label="second-start")
        mains = next((r for r in d.recs if r["kind"] == "mains"), {})
        res.check("cycle_second_start_shows_first", d.main.get("visible") == "1" and d.main.get("hwnd") == hwnd and
                  mains.get("count") == "1" and p.poll() is None, "main %s mains %s" % (d.main, mains))
        rc = finish(s.launch(arch, exe), 60)
        d = s.dump(arch, label="second-start-visible")
        res.check("cycle_second_start_while_visible", rc == 0 and d.main.get("visible") == "1" and
                  d.main.get("hwnd") == hwnd, "exit %s main %s" % (rc, d.main))
        # Closing with the periodic box ticked asks first; posted, since a sent message
        # would return only once the box has closed.
        out = s.driver(arch, [["post", "main", WM_SYSCOMMAND, SC_CLOSE], ["wait-dialog", 15000], ["dialog"]])
        dlg = Dump(out)
        box = next((r for r in dlg.recs if r["kind"] == "dialog"), {})
        items = [r.get("id") for r in dlg.recs if r["kind"] == "dlgitem"]
        question = [r.get("text") for r in dlg.recs if r["kind"] == "dlgitem" and r.get("class", "").lower() == "static"
                    and r.get("text")]
        res.check("cycle_close_asks", box.get("found") == "1" and box.get("text") == S(142) and
                  question == [S(140) + "\r\n" + S(141)] and str(IDYES) in items and str(IDNO) in items,
                  "dialog %s question %r items %s" % (box, question, items))
        s.driver(arch, [["click", "dlgitem:%d" % IDNO], ["wait-no-dialog", 10000]])
        d = s.dump(arch, label="answered-no")
        res.check("cycle_close_no_keeps_running", p.poll() is None and d.main.get("hwnd") == hwnd, "main %s" % d.main)
        close = control(d, "button", S(123))
        s.driver(arch, [["post", "main", WM_COMMAND, 0, close["hwnd"] if close else 0], ["wait-dialog", 15000],
                        ["click", "dlgitem:%d" % IDYES]])
        rc = finish(p, 30)
        res.check("cycle_close_button_yes_closes", rc == 0, "exit %s" % rc)
        # A posted WM_CLOSE closes without asking.
        p = s.launch(arch, exe, ["/CycleSync", "10"])
        s.driver(arch, [["wait-exists", 60000], ["sleep", 2000], ["post", "main", WM_CLOSE]])
        rc = finish(p, 30)
        res.check("cycle_posted_close_no_question", rc == 0, "exit %s" % rc)
        # Five servers 3 s off and faster than five good ones: each is tried and refused
        # by the clock, in delay order, before the fastest good one.
        offsets = [3.0, -0.040, 3.0, -0.020, 3.0, 0.0, 3.0, 0.020, 3.0, 0.040]
        holds = [0, 100, 20, 160, 40, 120, 60, 180, 80, 140]
        order, z = expected_order(offsets, holds)
        serve_rows(s, offsets, holds)
        p = s.launch(arch, exe, ["/CycleSync", "10"])
        want = "".join(NOTE(i, ROW_HOSTS[i]) for i in order if offsets[i] > 1) + \
            NOTE(next(i for i in order if offsets[i] < 1), ROW_HOSTS[next(i for i in order if offsets[i] < 1)]) + S(119)
        d = wait_log(s, lambda t: S(119) in t or S(120) in t, 60, "candidates")
        text = log_text(d).strip("\r\n")
        res.check("cycle_failed_candidates_then_good_one", text[8:] == want,
                  "log %r want stamp + %r (Z %s)" % (text, want, ["%.3f" % v for v in z]))
        s.close(p)
        # Every server holds each request 900 ms: the first attempt cuts the start-up
        # round before any answer is in, and the time of its line comes from the
        # attempt's own round. A logon start meets such slow first answers.
        serve_rows(s, NEAR_ZERO, [900] * 10)
        p = s.launch(arch, exe, ["/CycleSync", "10"])
        d = wait_log(s, lambda t: S(119) in t or S(120) in t, 60, "slow-servers")
        text = log_text(d).strip("\r\n")
        rest = after_stamp(text)
        tried = re.match(r"^ %s #(\d): (\S+)\.\.\.%s$" % (re.escape(S(117)), re.escape(S(119))), rest or "")
        res.check("cycle_slow_servers_line_starts_with_time", tried and ROW_HOSTS[int(tried.group(1))] ==
                  tried.group(2), "log %r" % text)
        s.close(p)


# ---- /AutoSync: success, a deadline, and retrying until closed ---------------------------
def scenario_auto(res, art):
    names = ["auto_success_exits_early", "auto_success_one_request_per_server", "auto_deadline_exit_after_limit",
             "auto_deadline_retries_every_two_seconds", "auto_forever_clears_log_before_eleventh",
             "auto_forever_closed_by_wm_close"]
    res.plan(names)
    arch = "x64"
    with Scenario("auto", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        offsets = NEAR_ZERO
        serve_rows(s, offsets, [20 * i for i in range(10)])
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"])
        s.sim_cmd("reset")
        t = time.time()
        rc = finish(s.launch(arch, exe, ["/AutoSync", "30"]), 60)
        took = time.time() - t
        asked = total_requests(s)
        res.note("/AutoSync 30 against answering servers: exit %s after %.1f s, %d requests" % (rc, took, asked))
        res.check("auto_success_exits_early", rc == 0 and took < 20, "exit %s after %.1f s" % (rc, took))
        # No start-up round in a hidden mode: the attempt's round asks each server once.
        res.check("auto_success_one_request_per_server", asked == 10, "%d requests" % asked)
        # Every server 3 s off: every attempt fails; the loop gives up after the first
        # attempt whose end plus the pause lies 20 s or more after it began.
        serve_rows(s, [3.0] * 10, [0] * 10)
        s.sim_cmd("reset")
        t = time.time()
        rc = finish(s.launch(arch, exe, ["/AutoSync", "20"]), 90)
        took = time.time() - t
        order = s.sim_cmd("order").split(",")
        rounds = sum(1 for a in order if a == ROW_HOSTS[0])
        res.note("/AutoSync 20 against servers 3 s off: exit %s after %.1f s, %d rounds" % (rc, took, rounds))
        res.check("auto_deadline_exit_after_limit", rc == 0 and 20 <= took <= 30, "exit %s after %.1f s" % (rc, took))
        # One round per attempt (no start-up round, and the probe worker stays paused
        # between retries) every 2 s and a little: some eight to ten attempts in 20 s.
        res.check("auto_deadline_retries_every_two_seconds", 8 <= rounds <= 12, "%d rounds" % rounds)
        # No limit: retrying goes on; the log is emptied before the eleventh attempt.
        p = s.launch(arch, exe, ["/AutoSync"])
        s.driver(arch, [["wait-exists", 60000]])
        counts = []
        deadline = time.time() + 60
        while time.time() < deadline and p.poll() is None:
            d = s.dump(arch, label="forever")
            # Every attempt's line ends with a server's note and "失败！" (code -1), which
            # strings 118 and 121 also contain: the whole ending is counted.
            n = len(re.findall(r"\.\.\.%s\r\n" % re.escape(S(120)), log_text(d)))
            counts.append(n)
            if any(c >= 10 for c in counts) and n and n < counts[-2 if len(counts) > 1 else -1]:
                break
            time.sleep(1)
        peak = max(counts) if counts else 0
        res.check("auto_forever_clears_log_before_eleventh", peak == 10 and counts and counts[-1] < 10 and
                  p.poll() is None, "failed lines seen %s" % counts)
        rc = s.close(p)
        res.check("auto_forever_closed_by_wm_close", rc == 0, "exit %s" % rc)


# ---- manual mode and the commands ----------------------------------------------------------
def scenario_manual(res, art):
    names = ["manual_quick_scheme_uses_samples_at_hand", "manual_detail_line", "manual_help_text_gone",
             "manual_regular_scheme_probes_afresh", "manual_clear_box_empties_log",
             "manual_controls_disabled_during_attempt", "manual_controls_restored_after_attempt",
             "manual_auto_entry", "manual_auto_entry_seconds", "manual_periodic_entry", "manual_periodic_item_added",
             "manual_periodic_entry_interval", "manual_auto_unticks_periodic", "manual_entry_removed",
             "manual_query_interval_ten_seconds", "manual_other_server_saved", "manual_other_server_forgotten",
             "manual_typed_host_asked", "manual_minimise_to_tray_and_back", "manual_tray_no_requests"]
    res.plan(names)
    arch = "x64"
    with Scenario("manual", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        offsets = NEAR_ZERO
        holds = [20 * i for i in range(10)]
        serve_rows(s, offsets, holds)
        s.serve("127.0.0.30", "offset=0.001")
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"])
        path = win_path(exe)
        p = s.launch(arch, exe)
        d = s.dump(arch, pre=[["wait-window", 60000], ["wait-button", S(124), 60000]], label="start")
        help_before = "测试用的帮助文字。" in log_text(d)
        sync = control(d, "button", S(124))
        # The quick scheme sets the clock from the samples at hand: right after a round
        # every server moves 3 s off, which only a fresh probe would see.
        base = s.count(ROW_HOSTS[0])
        wait_until(lambda: s.count(ROW_HOSTS[0]) > base, 40, 0.2)
        time.sleep(0.5)
        serve_rows(s, [3.0] * 10, holds)
        d = manual_sync(s, sync, "quick")
        text = log_text(d)
        res.check("manual_quick_scheme_uses_samples_at_hand", S(119) in text, repr(text))
        res.check("manual_detail_line", re.search(r"\r\n {9}%s = \d+; Z_Score = \d+(\.\d{3}|    )\r\n" %
                                                  re.escape(S(106)), text) is not None, repr(text))
        res.check("manual_help_text_gone", help_before and "测试用的帮助文字。" not in text, repr(text))
        scheme = control(d, "combobox", index=1)
        s.driver(arch, [["select", scheme["hwnd"], 1]])
        d = manual_sync(s, sync, "regular", before=log_text(d))
        text = log_text(d)
        res.check("manual_regular_scheme_probes_afresh", text.rstrip("\r\n").endswith(" " + S(120)), repr(text))
        clear = control(d, "button", S(126))
        s.driver(arch, [["click", clear["hwnd"]]])
        d = manual_sync(s, sync, "cleared", before=log_text(d))
        text = log_text(d)
        res.check("manual_clear_box_empties_log", text.count(S(120)) == 1 and S(119) not in text, repr(text))
        s.driver(arch, [["click", clear["hwnd"]]])
        # Servers that hold each request 950 ms: the attempt's round (its servers
        # asked at once) lasts about a second.
        serve_rows(s, [3.0] * 10, [950] * 10)
        before = s.dump(arch, label="before-attempt")
        states = lambda x: {w["i"]: (w["enabled"], w["class"]) for w in x.wins.values()}
        pre = states(before)
        # The attempt has begun once the sync button is disabled; the round then lasts about a second.
        d = s.dump(arch, pre=[["post", "main", WM_COMMAND, 0, sync["hwnd"]], ["wait-enabled", sync["hwnd"], 0, 10000],
                              ["sleep", 100]], label="during")
        during = states(d)
        bad = [(i, c) for i, (e, c) in during.items() if e == "1" and c.lower() not in ("static", "sysheader32")
               and d.wins[int(i)]["visible"] == "1"]
        res.check("manual_controls_disabled_during_attempt", not bad and len(during) == len(pre), "enabled %s" % bad)
        # RestoreControls runs control by control: wait for the whole state to return.
        d = s.wait_dump(arch, lambda x: MANUAL_END.search(log_text(x)) is not None and sync_ready(x) and
                        states(x) == pre, 60, "after-attempt", step=0.5)
        res.check("manual_controls_restored_after_attempt", states(d) == pre,
                  "before %s after %s" % (pre, states(d)))
        serve_rows(s, offsets, holds)
        # The check boxes write the autostart entry.
        auto = control(d, "button", S(131))
        periodic = control(d, "button", S(132))
        seconds, interval = control(d, "combobox", index=2), control(d, "combobox", index=3)
        s.driver(arch, [["click", auto["hwnd"]]])
        v = reg_query(s, RUN_KEY, "Quorlin")
        res.check("manual_auto_entry", v == '"%s" /AutoSync 0' % path, repr(v))
        s.driver(arch, [["select", seconds["hwnd"], 3]])
        v = reg_query(s, RUN_KEY, "Quorlin")
        res.check("manual_auto_entry_seconds", v == '"%s" /AutoSync 30' % path, repr(v))
        s.driver(arch, [["click", periodic["hwnd"]]])
        v = reg_query(s, RUN_KEY, "Quorlin")
        d = s.dump(arch, label="periodic-ticked")
        res.check("manual_periodic_entry", v == '"%s" /CycleSync 60' % path, repr(v))
        items = d.items.get(int(control(d, "combobox", index=1)["i"]), [])
        res.check("manual_periodic_item_added", items == [S(127), S(128), S(137)] and
                  control(d, "button", S(131))["check"] == "0", "items %s" % items)
        s.driver(arch, [["select", interval["hwnd"], 2]])
        v = reg_query(s, RUN_KEY, "Quorlin")
        res.check("manual_periodic_entry_interval", v == '"%s" /CycleSync 30' % path, repr(v))
        s.driver(arch, [["select", control(d, "combobox", index=1)["hwnd"], 2], ["click", auto["hwnd"]]])
        v = reg_query(s, RUN_KEY, "Quorlin")
        d = s.dump(arch, label="auto-over-periodic")
        sch = control(d, "combobox", index=1)
        res.check("manual_auto_unticks_periodic", v == '"%s" /AutoSync 30' % path and
                  control(d, "button", S(132))["check"] == "0" and d.items.get(int(sch["i"])) == [S(127), S(128)] and
                  d.combos[int(sch["i"])]["sel"] == "0", "entry %r combo %s" % (v, d.combos.get(int(sch["i"]))))
        s.driver(arch, [["click", auto["hwnd"]]])
        v = reg_query(s, RUN_KEY, "Quorlin")
        res.check("manual_entry_removed", v is None, repr(v))
        # The query interval: 10 s makes a round at once and then every 10 s.
        query = control(d, "combobox", index=0)
        s.driver(arch, [["select", query["hwnd"], 0]])
        base = s.count(ROW_HOSTS[0])
        time.sleep(21.5)
        rounds = s.count(ROW_HOSTS[0]) - base
        res.check("manual_query_interval_ten_seconds", rounds >= 2, "%d rounds in 21.5 s" % rounds)
        s.driver(arch, [["select", query["hwnd"], 2]])
        # The other-server selector and the save box inside the list.
        lst = control(d, "syslistview32")
        other = control(d, "combobox", parent=int(lst["i"]))
        save = control(d, "button", parent=int(lst["i"]))
        s.driver(arch, [["select", other["hwnd"], 1], ["click", save["hwnd"]]])
        v = reg_query(s, SETTINGS_KEY)
        res.check("manual_other_server_saved", v == EXTRA_HOSTS[1], repr(v))
        s.driver(arch, [["click", save["hwnd"]]])
        v = reg_query(s, SETTINGS_KEY)
        res.check("manual_other_server_forgotten", v is None, repr(v))
        # A host typed into the field becomes row #9's at the next manual attempt.
        # Typing into the field leaves no list item selected (the selector drops its
        # selection when the text changes); then the whole host, then one CBN_EDITCHANGE.
        field = control(d, "edit", parent=int(other["i"]))
        s.driver(arch, [["send", other["hwnd"], CB_SETCURSEL, -1], ["settext", field["hwnd"], "127.0.0.30"],
                        ["notify", other["hwnd"], CBN_EDITCHANGE]])
        before30 = s.count("127.0.0.30")
        s.driver(arch, [["select", scheme["hwnd"], 0]])
        manual_sync(s, sync, "typed-host")
        res.check("manual_typed_host_asked", s.count("127.0.0.30") > before30, "%d requests to 127.0.0.30" %
                  s.count("127.0.0.30"))
        d1 = s.dump(arch, pre=[["post", "main", WM_SYSCOMMAND, SC_MINIMIZE], ["wait-hidden", 10000]], label="tray")
        # Hidden in the tray, nobody sees the list: no background rounds once the one
        # in progress (if any) has ended.
        time.sleep(2)
        s.sim_cmd("reset")
        time.sleep(60)
        asked = total_requests(s)
        res.check("manual_tray_no_requests", asked == 0, "%d requests in 60 s" % asked)
        d2 = s.dump(arch, pre=[["post", "main", WM_TRAYICON, 0, WM_LBUTTONDOWN], ["wait-visible", 10000]],
                    label="tray-back")
        res.check("manual_minimise_to_tray_and_back", d1.main.get("visible") == "0" and d2.main.get("visible") == "1"
                  and status_text(d2) == MANUAL_STATUS, "hidden %s shown %s" % (d1.main.get("visible"),
                                                                               d2.main.get("visible")))
        s.close(p)


SCENARIOS = {"cycle": scenario_cycle, "auto": scenario_auto, "manual": scenario_manual}
