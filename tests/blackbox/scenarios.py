"""The black-box scenarios. usage: scenarios.py SCENARIO RESULTS ARTEFACTS

Run by tests/blackbox/run, which gives each scenario a network namespace of its own.
Scenarios: window (x64, the full set), strings (x64, INI-replaced strings),
cross (both builds in one prefix: the i386 window, its screenshot, the handoff),
canary (one check that must fail), those of modes.py: cycle, auto, manual (x64),
and of observe.py: observe (x64).
"""
import datetime
import os
import re
import sys
import time

import english
import harness
import modes
import observe
from harness import parse_deviation, Dump, Scenario, Results, finish, wait_until, ROW_HOSTS, ROW_NAMES, EXTRA_HOSTS, TITLE, TAGS

# Simulated offsets in seconds, row by row: at least 100 ms from 0 and from every
# whole second, so that neither the prefix nor the seconds can flip by jitter.
OFFSETS = [0.25, -0.75, 1.25, -1.75, 2.25, -0.25, 0.75, -1.25, 1.75, -2.25]
# Strata and raw root delay fields (16.16 seconds), distinct row by row, so that a
# row showing another row's values, or a fixed one, is seen.
STRATA = [2, 3, 4, 5, 6, 7, 8, 9, 10, 11]
ROOT_DELAYS = [0x00000042, 0x00010000, 0x0000199A, 0x00003000, 0x00000001, 0x00008000, 0x00000A3D, 0x00020000,
               0x0000FFFF, 0x00001000]


def decimal3(x):
    """A root delay or Z score as the list shows it: three decimals, truncated, or
    four blanks for a whole number."""
    whole = int(x)
    fraction = int(x * 1000 - whole * 1000)
    return "%d.%03d" % (whole, fraction) if fraction else "%d    " % whole


def root_delay_text(raw):
    return decimal3(float(raw) * 1000.0 * 1.52587890625e-05)


def serve_window_rows(s):
    """Rows 0..9 (the extra hosts as row 9) with their offsets, strata and root delays."""
    for i, h in enumerate(ROW_HOSTS):
        s.serve(h, "offset=%.2f stratum=%d rootdelay=%d" % (OFFSETS[i], STRATA[i], ROOT_DELAYS[i]))
    for h in EXTRA_HOSTS:
        s.serve(h, "offset=%.2f stratum=%d rootdelay=%d" % (OFFSETS[9], STRATA[9], ROOT_DELAYS[9]))

SEL_CHILD = 0x50000000   # WS_CHILD | WS_VISIBLE
STYLES = {   # fixed style | extra style of each factory as the window creates them
    "computer": 0x50000000, "query_label": 0x50000002, "clock": 0x50000201, "status": 0x50000201,
    "query": 0x50200243, "scheme": 0x50200243, "seconds": 0x50200243, "interval": 0x50200243, "other": 0x50200242,
    "close": 0x50000F00, "sync": 0x50000F00, "sync2": 0x50000F00, "clear": 0x50000003, "save": 0x50000003,
    "auto": 0x50000003, "periodic": 0x50000003, "group": 0x50000007, "log": 0x50B01904,
    "list": 0x50808005,
}
CREATION_ORDER = ["computer", "query", "query_label", "clock", "list", "close", "sync", "sync2", "clear", "scheme",
                  "group", "status", "auto", "periodic", "seconds", "interval", "log"]


def identify(d):
    """Names the controls of a dump by what they are, not by their order."""
    main_children = d.children(0)
    ctl = {}
    statics = [w for w in main_children if w["class"].lower() == "static"]
    buttons = [w for w in main_children if w["class"].lower() == "button"]
    combos = [w for w in main_children if w["class"].lower() == "combobox"]
    for w in statics:
        t = w.get("text", "")
        s = int(w["style"], 16)
        if t.endswith("时间："):
            ctl["computer"] = w
        elif s & 0xF == 2:
            ctl["query_label"] = w
        elif re.match(r"^\d{4}-\d{2}-\d{2}  \d{2}:\d{2}:\d{2}$", t):
            ctl["clock"] = w
        else:
            ctl.setdefault("status", w)
    names = {"关闭": "close", "清空原有的提示信息": "clear", "系统启动时": "group", "自动同步时间": "auto",
             "定期同步时间": "periodic", "Close": "close"}
    syncs = []
    for w in buttons:
        t = w.get("text", "")
        if t in names:
            ctl[names[t]] = w
        else:
            syncs.append(w)
    if len(syncs) >= 2:
        ctl["sync"], ctl["sync2"] = syncs[0], syncs[1]
    firsts = {"10秒": "query", "快速同步时间模式": "scheme", " 成功才退出": "seconds", " 10分钟一次": "interval"}
    for w in combos:
        items = d.items.get(int(w["i"]), [])
        if items and items[0] in firsts:
            ctl[firsts[items[0]]] = w
    for w in main_children:
        if w["class"].lower() == "syslistview32":
            ctl["list"] = w
        if w["class"].lower() == "edit":
            ctl["log"] = w
    if "list" in ctl:
        for w in d.children(int(ctl["list"]["i"])):
            c = w["class"].lower()
            if c == "sysheader32":
                ctl["header"] = w
            elif c == "combobox":
                ctl["other"] = w
            elif c == "button":
                ctl["save"] = w
    return ctl


def expected_rects(d, ctl):
    """The control rectangles from the measured unit and the window's client size."""
    m = d.metrics
    u, cw, ch = int(m["unit"]), int(m["cw"]), int(m["ch"])
    ew, eh = int(m["clockw"]), int(m["clockh"])
    _, _, W, H = harness.rect(d.main["client"])
    h2 = u >> 1
    e = {}
    comp = (4 * u, 3 * u, 56 * u, 4 * u + ch)
    e["computer"] = comp
    q = (W - 18 * u, comp[1] - h2 - u, W - 4 * u, comp[3])
    e["query"] = q
    e["query_label"] = (W - 56 * u, comp[1], q[0] - h2 - 1, comp[3])
    cl = (W - ew) // 2
    ct = comp[1] - 2 * u
    clock = (cl, ct, cl + ew, ct + 2 * u + eh)
    e["clock"] = clock
    row = (65 * u) // 11
    lt = clock[3] - clock[1] + 3 * u
    lst = (u, lt, W - u, lt + 11 * (row + 1))
    e["list"] = lst
    close = (W - 2 * u - 10 * cw, H - 6 * u - 2 * ch, W - 2 * u, H - 3 * u)
    e["close"] = close
    cwid = close[2] - close[0]
    sync = (close[0] - cwid - 3 * u, close[1], close[0] - 3 * u, close[3])
    e["sync"] = e["sync2"] = sync
    clear = (sync[0], sync[1] - 8 * u, close[2], close[1] - 4 * u)
    e["clear"] = clear
    dh = clear[3] - clear[1] + 5 * u
    scheme = (clear[0], clear[1] - dh, clear[2], clear[3] - dh)
    e["scheme"] = scheme
    group = (2 * (scheme[0] - 12 * u) - scheme[2], scheme[1] - u, sync[0] - 3 * u, close[3] - 7 * u)
    e["group"] = group
    e["status"] = (group[0], group[3] + 2 * u, group[2], H - 2 * u)
    al = group[0] + 3 * u
    at = group[1] + 6 * u - h2
    auto = (al, at, al + 22 * u, at + 4 * u)
    e["auto"] = auto
    aw, ah = auto[2] - auto[0], auto[3] - auto[1]
    e["periodic"] = (auto[0] + aw + 4 * u, auto[1], auto[2] + aw + 4 * u, auto[3])
    sec = (auto[0], auto[1] + ah + 3 * u, auto[2], auto[3] + ah + 3 * u)
    e["seconds"] = sec
    e["interval"] = (sec[0] + aw + 4 * u, sec[1], sec[2] + aw + 4 * u, sec[3])
    e["log"] = (lst[0], lst[3] + 2 * u, group[0] - 3 * u, H - u)
    R = d.rowrects.get(9)
    if R and "extent9" in m:
        other = (R[0] + int(m["extent9"]) + u, R[1] + 1, R[2] - 12 * u, R[3] + 2)
        e["other"] = other
        e["save"] = (other[2] + u, other[1], R[2] - u, R[3] - 4)
    return e


def check_rects(res, d, ctl, prefix):
    e = expected_rects(d, ctl)
    for name, want in e.items():
        w = ctl.get(name)
        if not w:
            res.check("%s_rect_%s" % (prefix, name), False, "control not found")
            continue
        got = harness.rect(w["rect"])
        if w["class"].lower() == "combobox":
            ok = got[0] == want[0] and got[1] == want[1] and got[2] - got[0] == want[2] - want[0]
        else:
            ok = got == want
        res.check("%s_rect_%s" % (prefix, name), ok, "got %s want %s (u=%s cw=%s ch=%s)" % (
            got, want, d.metrics.get("unit"), d.metrics.get("cw"), d.metrics.get("ch")))


def check_static_window(res, d, arch, prefix, strings=harness.DEFAULT_STRINGS, full=True):
    """Title, the twenty controls with texts, styles, items, checks and states."""
    S = lambda i: strings[i - 101]
    res.check(prefix + "_title_with_tag", d.main.get("text") == TITLE + TAGS[arch], d.main.get("text"))
    style = int(d.main.get("style", "0"), 16)
    res.check(prefix + "_main_style_no_resize_no_maximize",
              style & 0x00CF0000 == 0x00CA0000 and style & 0x10000000 and d.main.get("class") == "Quorlin",
              "style 0x%x class %s" % (style, d.main.get("class")))
    ctl = identify(d)
    want_names = set(STYLES) | {"header"}
    missing = sorted(want_names - set(ctl))
    count = len(d.children(0)) + (len(d.children(int(ctl["list"]["i"]))) if "list" in ctl else 0)
    res.check(prefix + "_twenty_controls", not missing and count == 20,
              "missing %s; %d controls in the main window and the list" % (missing, count))
    order = [n for w in d.children(0) for n, c in ctl.items() if c is w]
    res.check(prefix + "_creation_order", order == CREATION_ORDER, "z-order %s" % order)
    texts = {"query_label": S(122), "close": S(123), "sync": S(124), "sync2": S(124), "save": S(125),
             "clear": S(126), "group": S(129), "auto": S(131), "periodic": S(132), "status": S(130) + S(138)}
    bad = ["%s=%r" % (n, ctl[n].get("text")) for n, t in texts.items() if n in ctl and ctl[n].get("text") != t]
    res.check(prefix + "_control_texts", not bad, "; ".join(bad))
    comp = ctl.get("computer", {}).get("text", "")
    res.check(prefix + "_computer_label", comp.endswith(S(102)) and "[" in comp, repr(comp))
    res.check(prefix + "_clock_label_date_time", "clock" in ctl, "no label reads YYYY-MM-DD  HH:MM:SS")
    res.check(prefix + "_status_line_manual", ctl.get("status", {}).get("text") == S(130) + S(138),
              ctl.get("status", {}).get("text"))
    bad = []
    for n, want in STYLES.items():
        if n not in ctl:
            continue
        # Visible and disabled come from the state checks; the list's scroll bars from
        # the list check. The system moves a combo box's WS_VSCROLL to its drop-down
        # list, and an edit box trades WS_BORDER for a client edge and adds
        # ES_AUTOHSCROLL/ES_AUTOVSCROLL for its scroll bars.
        ignore = 0x18000000
        if w_class(ctl[n]) == "combobox":
            ignore |= 0x00200000
        if w_class(ctl[n]) == "edit":
            ignore |= 0x008000C0
        if w_class(ctl[n]) == "syslistview32":
            ignore |= 0x00300000
        got = int(ctl[n]["style"], 16) & ~ignore
        if got != want & ~ignore:
            bad.append("%s 0x%08x want 0x%08x" % (n, got, want))
    if "header" in ctl and int(ctl["header"]["style"], 16) & 0x802 != 0x802:
        bad.append("header 0x%s lacks HDS_BUTTONS|HDS_NOSIZING" % ctl["header"]["style"])
    bad += ["%s id %s" % (n, w["id"]) for n, w in ctl.items() if w.get("id") != "0" and n != "header"]
    lst = d.lists.get(int(ctl["list"]["i"])) if "list" in ctl else None
    if lst and int(lst["extstyle"], 16) & 0x10020 != 0x10020:
        bad.append("list extended style %s" % lst["extstyle"])
    res.check(prefix + "_control_styles", not bad, "; ".join(bad))
    items = lambda n: d.items.get(int(ctl[n]["i"]), []) if n in ctl else None
    sel = lambda n: int(d.combos[int(ctl[n]["i"])]["sel"]) if n in ctl else None
    want_items = {
        "query": (["%d%s" % (n, S(108)) for n in range(10, 100, 10)], 2),
        "scheme": ([S(127), S(128)], 0),
        "seconds": ([" " + S(133)] + [" %d%s" % (n, S(134)) for n in range(10, 100, 10)], 0),
        "interval": ([" %d%s" % (n, S(135)) for n in range(10, 100, 10)], 5),
        "other": (EXTRA_HOSTS, 0),
    }
    bad = ["%s items %s sel %s" % (n, items(n), sel(n)) for n, (it, s) in want_items.items()
           if items(n) != it or sel(n) != s]
    res.check(prefix + "_selector_items", not bad, "; ".join(bad))
    bad = ["%s check %s" % (n, ctl[n].get("check")) for n in ("auto", "periodic", "save", "clear")
           if n in ctl and ctl[n].get("check") != "0"]
    res.check(prefix + "_check_boxes_unticked", not bad, "; ".join(bad))
    vis = lambda n: ctl[n]["visible"] == "1" if n in ctl else None
    en = lambda n: ctl[n]["enabled"] == "1" if n in ctl else None
    bad = [n for n in ("seconds", "interval") if en(n)]
    bad += [n + " hidden" for n in ctl if n not in ("sync", "sync2") and not vis(n)]
    res.check(prefix + "_states", not bad and d.main.get("visible") == "1", "enabled or hidden: %s" % bad)
    if lst:
        res.check(prefix + "_list_rows_and_columns", lst["rows"] == "10" and lst["cols"] == "7",
                  "rows %s cols %s" % (lst["rows"], lst["cols"]))
    return ctl


def w_class(w):
    return w["class"].lower()


def sync_buttons(ctl):
    s, s2 = ctl.get("sync"), ctl.get("sync2")
    if not s or not s2:
        return None
    return (s["visible"] == "1", s["enabled"] == "1", s2["visible"] == "1", s2["enabled"] == "1")


def check_list_titles_rows(res, d, ctl, prefix, strings=harness.DEFAULT_STRINGS):
    S = lambda i: strings[i - 101]
    titles = [c.get("text") for c in d.columns]
    want = [S(103), S(104), S(105), S(106), S(107), S(143), S(144)]
    res.check(prefix + "_column_titles", titles == want, titles)
    cw = int(d.metrics["cw"])
    lw = harness.rect(ctl["list"]["rect"])[2] - harness.rect(ctl["list"]["rect"])[0] if "list" in ctl else 0
    widths = [int(c["width"]) for c in d.columns]
    # Column 0 takes what the list's client area leaves (the outer width less the
    # one-pixel border on each side), so that no horizontal scroll bar appears.
    want = [lw - 2 - 92 * cw] + [k * cw for k in (22, 20, 16, 14, 12, 8)]
    res.check(prefix + "_column_widths", widths == want, "got %s want %s" % (widths, want))
    # The header's items are drawn by the list (grey, blue centred titles).
    fmts = [c.get("fmt") for c in d.columns]
    res.check(prefix + "_header_items_owner_drawn", fmts and all(int(f, 16) & 0x8000 for f in fmts),
              "header item formats %s (HDF_OWNERDRAW is 0x8000)" % fmts)
    # Ten rows and the header fit the list: no scroll bar hides row #9.
    st = int(ctl["list"]["style"], 16) if "list" in ctl else 0
    r9 = d.rowrects.get(9)
    lr = harness.rect(ctl["list"]["rect"]) if "list" in ctl else (0, 0, 0, 0)
    res.check(prefix + "_list_shows_ten_rows_without_scroll_bars", st & 0x00300000 == 0,
              "list style 0x%08x (WS_VSCROLL 0x00200000, WS_HSCROLL 0x00100000); row 9 label %s in a list of "
              "outer height %d" % (st, r9, lr[3] - lr[1]))
    names = [d.cells.get((r, 0)) for r in range(10)]
    res.check(prefix + "_row_names", names == ROW_NAMES, names)


def check_cleared(res, d, name, rows=range(10), strings=harness.DEFAULT_STRINGS):
    bad = []
    for r in rows:
        cells = [d.cells.get((r, c)) for c in range(1, 7)]
        if cells != ["", "", strings[0], "", "", ""]:
            bad.append("row %d %s" % (r, cells))
    return res.check(name, not bad, "; ".join(bad))


def check_measured(res, d, prefix, rows, now_local, tolerance=0.05):
    """Cells of answering rows: time, deviation, delay, root delay, Z_Score, stratum
    (served by serve_window_rows)."""
    bad_time, bad_dev, bad_num, bad_served = [], [], [], []
    for r in rows:
        c = [d.cells.get((r, k), "") for k in range(7)]
        try:
            shown = datetime.datetime.strptime(c[1], "%Y-%m-%d %H:%M:%S")
            if abs((shown - now_local).total_seconds() - OFFSETS[r]) > 2.5:
                bad_time.append("row %d %s (now %s, offset %+.2f)" % (r, c[1], now_local, OFFSETS[r]))
        except ValueError:
            bad_time.append("row %d %r" % (r, c[1]))
        dev = parse_deviation(c[2])
        if dev is None or abs(dev - OFFSETS[r]) > tolerance:
            bad_dev.append("row %d %r for %+.2f s" % (r, c[2], OFFSETS[r]))
        if not re.match(r"^\d+$", c[3]) or not re.match(r"^\d+(\.\d{3}|    )$", c[5]):
            bad_num.append("row %d %s" % (r, c[3:]))
        if c[4] != root_delay_text(ROOT_DELAYS[r]) or c[6] != str(STRATA[r]):
            bad_served.append("row %d root delay %r stratum %r, served %r and %d" % (
                r, c[4], c[6], root_delay_text(ROOT_DELAYS[r]), STRATA[r]))
    res.check(prefix + "_column1_server_time_local", not bad_time, "; ".join(bad_time))
    res.check(prefix + "_column2_deviation_within_50ms", not bad_dev, "; ".join(bad_dev))
    res.check(prefix + "_columns3to6_numbers", not bad_num, "; ".join(bad_num))
    res.check(prefix + "_columns4_6_served_root_delay_and_stratum", not bad_served, "; ".join(bad_served))


# ---- scenario: the x64 window against silent, then answering servers -------------------
def scenario_window(res, art):
    arch = "x64"
    names = ["window_requests_every_row", "window_title_with_tag", "window_main_style_no_resize_no_maximize",
             "window_twenty_controls", "window_creation_order", "window_control_texts", "window_computer_label",
             "window_clock_label_date_time", "window_status_line_manual", "window_control_styles",
             "window_selector_items", "window_check_boxes_unticked", "window_states", "window_list_rows_and_columns",
             "window_clock_label_shows_utc8", "window_column_titles", "window_column_widths",
             "window_header_items_owner_drawn", "window_list_shows_ten_rows_without_scroll_bars", "window_row_names", "window_silent_all_timeout",
             "window_silent_second_sync_button", "window_instance_record", "window_second_start_exits_0",
             "window_second_start_no_window", "window_measured_rows", "window_sync_button_after_answers",
             "window_column1_server_time_local", "window_column2_deviation_within_50ms",
             "window_columns3to6_numbers", "window_columns4_6_served_root_delay_and_stratum",
             "window_screenshot_clock_colours", "window_screenshot_window_size", "window_silent_row_cleared",
             "window_other_rows_keep_updating", "window_close_exit_0", "window_close_objects_gone",
             "window_restart_first_instance"]
    rect_names = ["window_rect_" + n for n in ["computer", "query", "query_label", "clock", "list", "close", "sync",
                                               "sync2", "clear", "scheme", "group", "status", "auto", "periodic",
                                               "seconds", "interval", "log", "other", "save"]]
    res.plan(names + rect_names)
    with Scenario("window", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        for h in ROW_HOSTS + EXTRA_HOSTS:
            s.serve(h, "silent=1")
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"])
        first = s.launch(arch, exe)
        # Every configured row is asked: a test that lost its INI file fails here at once.
        asked = wait_until(lambda: all(s.count(h) > 0 for h in ROW_HOSTS[:9]) and
                           any(s.count(h) > 0 for h in EXTRA_HOSTS + ROW_HOSTS[9:]), 40)
        res.check("window_requests_every_row", asked,
                  "requests: %s" % {h: s.count(h) for h in ROW_HOSTS + EXTRA_HOSTS})
        if not asked:
            return
        d = s.dump(arch, pre=[["wait-window", 30000], ["measure", ROW_NAMES[9]]], label="start")
        ext = next((r for r in d.recs if r["kind"] == "extent"), None)
        if ext:
            d.metrics["extent9"] = ext["w"]
        ctl = check_static_window(res, d, arch, "window")
        # The program's clock label shows the time at UTC+8, where its users are.
        clock = ctl.get("clock", {}).get("text", "")
        try:
            late = abs((datetime.datetime.strptime(clock, "%Y-%m-%d  %H:%M:%S") - harness.now_shanghai())
                       .total_seconds())
        except ValueError:
            late = None
        res.check("window_clock_label_shows_utc8", late is not None and late < 5,
                  "clock label %r, UTC+8 now %s" % (clock, harness.now_shanghai()))
        check_rects(res, d, ctl, "window")
        check_list_titles_rows(res, d, ctl, "window")
        # With every server silent, the first round (2 passes of 10 one-second waits) ends
        # with every row cleared and the disabled second sync button shown.
        d = s.wait_dump(arch, lambda x: all(x.cells.get((r, 3)) == "超时" for r in range(10)), 30, "silent")
        check_cleared(res, d, "window_silent_all_timeout")
        sb = sync_buttons(identify(d))
        res.check("window_silent_second_sync_button", sb == (False, True, True, False) or sb == (False, False, True,
                  False), "sync visible/enabled, second visible/enabled: %s" % (sb,))
        # The instance record holds the first instance's process id and window.
        res.check("window_instance_record", d.shm.get("present") == "1" and d.shm.get("pid") == d.main.get("pid") and
                  int(d.shm.get("window", "0"), 16) == int(d.main.get("hwnd", "0"), 16) and
                  d.shm.get("reserved") == "0" and d.mutex.get("present") == "1",
                  "shm %s main pid %s hwnd %s" % (d.shm, d.main.get("pid"), d.main.get("hwnd")))
        second = s.launch(arch, exe)
        rc = finish(second, 60)
        res.check("window_second_start_exits_0", rc == 0, "exit %s" % rc)
        d2 = s.dump(arch, label="second-start")
        res.check("window_second_start_no_window", d2.recs and next(r for r in d2.recs if r["kind"] == "mains")
                  ["count"] == "1" and first.poll() is None and d2.main.get("hwnd") == d.main.get("hwnd"),
                  "windows %s" % [r for r in d2.recs if r["kind"] == "mains"])
        # Servers switched on; the next round comes 30 s after the first began.
        serve_window_rows(s)
        measured = lambda x: all(x.cells.get((r, 3), "").isdigit() for r in range(10))
        d = s.wait_dump(arch, measured, 75, "measured")
        now = harness.now_shanghai()
        res.check("window_measured_rows", measured(d), "delay cells %s" % [d.cells.get((r, 3)) for r in range(10)])
        sb = sync_buttons(identify(d))
        res.check("window_sync_button_after_answers", sb == (True, True, False, False),
                  "sync visible/enabled, second visible/enabled: %s" % (sb,))
        check_measured(res, d, "window", range(10), now)
        check_screenshot(res, s, d, "window", s.screenshot("window-x64.png"))
        # One server falls silent: cleared after the next round, the others keep updating.
        s.serve(ROW_HOSTS[3], "silent=1")
        before = {r: d.cells.get((r, 1)) for r in range(10)}
        d = s.wait_dump(arch, lambda x: x.cells.get((3, 3)) == "超时", 75, "one-silent")
        check_cleared(res, d, "window_silent_row_cleared", rows=[3])
        others = [r for r in range(10) if r != 3]
        res.check("window_other_rows_keep_updating",
                  all(d.cells.get((r, 3), "").isdigit() and d.cells.get((r, 1)) != before[r] for r in others),
                  "%s" % [(d.cells.get((r, 1)), d.cells.get((r, 3))) for r in others])
        # WM_CLOSE ends the process with 0 and the named objects go with it.
        rc = s.close(first)
        res.check("window_close_exit_0", rc == 0, "exit %s" % rc)
        # No window is left, so this dump ends in an error; its records still count.
        d = Dump(s.driver(arch, [["count-main"], ["dump"]], expect_ok=False))
        res.check("window_close_objects_gone", d.shm.get("present") == "0" and d.mutex.get("present") == "0",
                  "shm %s mutex %s" % (d.shm, d.mutex))
        third = s.launch(arch, exe)
        d = s.dump(arch, pre=[["wait-window", 30000]], label="restart")
        res.check("window_restart_first_instance", d.main.get("found") == "1" and d.shm.get("pid") == d.main.get("pid"),
                  "main %s shm %s" % (d.main.get("found"), d.shm))
        s.close(third)


# ---- scenario: strings replaced by the INI file ---------------------------------------
def scenario_strings(res, art):
    arch = "x64"
    strings = list(harness.DEFAULT_STRINGS)
    strings[123 - 101] = "Close"
    strings[124 - 101] = "Sync now"
    # The INI reader drops trailing blanks of a value and keeps leading ones.
    strings[130 - 101] = "Mode:  "
    strings[138 - 101] = " manual."
    strings[103 - 101] = "Server"
    strings[101 - 101] = "no answer"
    names = ["strings_translated_close_button", "strings_translated_sync_buttons", "strings_status_line",
             "strings_column_title", "strings_timeout_cell"]
    res.plan(names)
    with Scenario("strings", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        for h in ROW_HOSTS + EXTRA_HOSTS:
            s.serve(h, "silent=1")
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"], ini=harness.ini_text(strings=strings))
        p = s.launch(arch, exe)
        d = s.dump(arch, pre=[["wait-window", 40000], ["sleep", 1000]], label="start")
        ctl = identify(d)
        buttons = [w.get("text") for w in d.children(0) if w["class"].lower() == "button"]
        res.check("strings_translated_close_button", "Close" in buttons, buttons)
        res.check("strings_translated_sync_buttons", buttons.count("Sync now") == 2, buttons)
        statics = [w.get("text") for w in d.children(0) if w["class"].lower() == "static"]
        res.check("strings_status_line", "Mode: manual." in statics, statics)
        res.check("strings_column_title", d.columns and d.columns[0].get("text") == "Server",
                  [c.get("text") for c in d.columns])
        res.check("strings_timeout_cell", d.cells.get((0, 3)) == "no answer", d.cells.get((0, 3)))
        s.close(p)


BLUE, YELLOW, BACKGROUND = (0, 0, 255), (255, 255, 0), (244, 244, 244)


def check_screenshot(res, s, d, prefix, shot):
    """The screen as drawn: the clock label yellow on blue within its rectangle, the
    window's client area in its grey background exactly as large as the window says
    (none of that grey in a strip just outside the window)."""
    ctl = identify(d)
    if not shot or "clock" not in ctl or "origin" not in d.main:
        res.check(prefix + "_screenshot_clock_colours", False, "screenshot %s, clock %s" % (shot, "clock" in ctl))
        res.check(prefix + "_screenshot_window_size", False, "screenshot %s" % shot)
        return
    ox, oy = (int(v) for v in d.main["origin"].split(","))
    l, t, r, b = harness.rect(ctl["clock"]["rect"])
    colours = s.pixels(shot, (ox + l, oy + t, ox + r, oy + b))
    total = sum(colours.values()) or 1
    blue, yellow = colours.get(BLUE, 0), colours.get(YELLOW, 0)
    res.check(prefix + "_screenshot_clock_colours", blue > total // 2 and yellow > 30 and blue + yellow > total * 0.7,
              "%d pixels: %d blue, %d yellow; most common %s" % (total, blue, yellow,
                                                               sorted(colours.items(), key=lambda kv: -kv[1])[:4]))
    W, H = harness.rect(d.main["client"])[2:]
    wl, wt, wr, wb = harness.rect(d.main["window"])
    size = s.image_size(shot) or (0, 0)
    inside = s.pixels(shot, (ox, oy, ox + W, oy + H))
    strips = [(wr + 1, wt, min(wr + 9, size[0]), wb), (wl, wb + 1, wr, min(wb + 9, size[1]))]
    outside = sum(s.pixels(shot, box).get(BACKGROUND, 0) for box in strips if box[2] > box[0] and box[3] > box[1])
    grey = inside.get(BACKGROUND, 0)
    # The client area's last two rows and columns lie in the margin: background.
    edges = [s.pixels(shot, (ox, oy + H - 2, ox + W, oy + H)).get(BACKGROUND, 0) * 100 // (2 * W),
             s.pixels(shot, (ox + W - 2, oy, ox + W, oy + H)).get(BACKGROUND, 0) * 100 // (2 * H)]
    res.check(prefix + "_screenshot_window_size", grey > W * H // 8 and min(edges) >= 50 and outside == 0,
              "client %dx%d at %d,%d: %d background pixels inside, %s%% of the bottom and right edges, %d just "
              "outside the window %s" % (W, H, ox, oy, grey, edges, outside, d.main["window"]))


def check_handoff(res, s, second, exe, first, first_proc, first_dump, timeout):
    """A start of the `second` build while the `first` one runs: it hands over and
    ends with 0, no second window appears, the record names the first instance,
    which a posted WM_CLOSE then ends with 0."""
    rc = finish(s.launch(second, exe), timeout)
    res.check("handoff_%s_second_start_exits_0" % second, rc == 0, "exit %s" % rc)
    d = Dump(s.driver("x64", [["dump"]]))
    mains = next((r for r in d.recs if r["kind"] == "mains"), {})
    res.check("handoff_%s_second_no_window" % second, mains.get("count") == "1" and
              d.main.get("hwnd") == first_dump.main.get("hwnd"), "windows %s" % mains)
    res.check("handoff_record_holds_%s" % first, d.shm.get("pid") == first_dump.main.get("pid") and
              int(d.shm.get("window", "0"), 16) == int(first_dump.main.get("hwnd", "0"), 16), "shm %s" % d.shm)
    rc = s.close(first_proc, 120)
    res.check("handoff_%s_close_exit_0" % first, rc == 0, "exit %s" % rc)


# ---- scenario: the i386 window and the handoff between the builds, one prefix ---------
# The checks the cross scenario always makes (scripts/test counts them as skipped
# where 32-bit Wine cannot run).
CROSS_PLAN = ["x86_requests_every_row", "x86_title_with_tag", "x86_main_style_no_resize_no_maximize",
              "x86_twenty_controls", "x86_creation_order", "x86_control_texts", "x86_computer_label",
              "x86_clock_label_date_time", "x86_status_line_manual", "x86_control_styles", "x86_selector_items",
              "x86_check_boxes_unticked", "x86_states", "x86_list_rows_and_columns", "x86_sync_button_after_answers",
              "x86_screenshot_clock_colours", "x86_screenshot_window_size", "handoff_x64_second_start_exits_0",
              "handoff_x64_second_no_window", "handoff_record_holds_x86", "handoff_x86_close_exit_0",
              "handoff_x86_second_start_exits_0", "handoff_x86_second_no_window", "handoff_record_holds_x64",
              "handoff_x64_close_exit_0", "x86_autosync_exits_by_itself", "x86_autosync_one_request_per_server",
              "x86_cycle_hidden", "x86_tray_message_shows", "x86_hidden_shown_by_x64_start",
              "x64_hidden_shown_by_x86_start"]


def scenario_cross(res, art):
    names = list(CROSS_PLAN)
    res.plan(names)
    t0 = time.time()
    with Scenario("cross", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        serve_window_rows(s)
        exe86 = s.install("x86", os.environ["QL_PROGRAM_X86"], folder="x86")
        exe64 = s.install("x64", os.environ["QL_PROGRAM_X64"], folder="x64")
        # The i386 build first; the 64-bit driver watches (quick), the 32-bit one reads once.
        p86 = s.launch("x86", exe86)
        asked = wait_until(lambda: all(s.count(h) > 0 for h in ROW_HOSTS[:9]), 240)
        res.check("x86_requests_every_row", asked, {h: s.count(h) for h in ROW_HOSTS})
        s.driver("x64", [["wait-window", 240000], ["wait-button", harness.DEFAULT_STRINGS[23], 120000]])
        t = time.time()
        # The button shows with the first answer; the rows fill as their replies
        # come in (under qemu the cells read back empty and this wait runs out).
        d = s.wait_dump("x86", lambda x: all(x.cells.get((r, 1)) for r in range(10)), 20, "measured", step=1)
        shot = s.screenshot("window-x86.png")
        check_screenshot(res, s, d, "x86", shot)
        res.note("32-bit driver dump took %.0f s" % (time.time() - t))
        ctl = check_static_window(res, d, "x86", "x86")
        # Under qemu, memory read from the i386 process comes back empty: its list's
        # titles and cells are then checked on the 64-bit build only.
        if any(c.get("text") for c in d.columns):
            res.plan(["x86_column_titles", "x86_column_widths", "x86_header_items_owner_drawn",
                      "x86_list_shows_ten_rows_without_scroll_bars", "x86_row_names", "x86_column1_server_time_local",
                      "x86_column2_deviation_within_50ms", "x86_columns3to6_numbers",
                      "x86_columns4_6_served_root_delay_and_stratum"])
            check_list_titles_rows(res, d, ctl, "x86")
            check_measured(res, d, "x86", range(10), harness.now_shanghai())
        else:
            res.note("the i386 list's titles and cells read back empty (qemu): checked on the 64-bit build only")
        sb = sync_buttons(ctl)
        res.check("x86_sync_button_after_answers", sb == (True, True, False, False), "buttons %s" % (sb,))
        # A 64-bit start while the i386 instance runs hands over and ends; then the
        # other way round.
        check_handoff(res, s, "x64", exe64, "x86", p86, d, timeout=60)
        p64 = s.launch("x64", exe64)
        d = Dump(s.driver("x64", [["wait-window", 60000], ["dump"]]))
        check_handoff(res, s, "x86", exe86, "x64", p64, d, timeout=240)
        # "/AutoSync 30" of the i386 build against servers near the right time: the
        # first attempt sets the clock and the process ends on its own.
        modes.serve_rows(s, modes.NEAR_ZERO, [20 * i for i in range(10)])
        s.sim_cmd("reset")
        t = time.time()
        rc = finish(s.launch("x86", exe86, ["/AutoSync", "30"]), 300)
        asked = modes.total_requests(s)
        res.note("i386 /AutoSync 30: exit %s after %.0f s, %d requests" % (rc, time.time() - t, asked))
        res.check("x86_autosync_exits_by_itself", rc == 0, "exit %s" % rc)
        res.check("x86_autosync_one_request_per_server", asked == 10, "%d requests" % asked)
        # "/CycleSync 10" of the i386 build hides in the tray; the tray's message and a
        # start of the 64-bit build each bring its window back.
        p86c = s.launch("x86", exe86, ["/CycleSync", "10"])
        d = Dump(s.driver("x64", [["wait-exists", 240000], ["sleep", 2000], ["dump"]]))
        res.check("x86_cycle_hidden", d.main.get("found") == "1" and d.main.get("visible") == "0", "main %s" % d.main)
        d = Dump(s.driver("x64", [["post", "main", modes.WM_TRAYICON, 0, modes.WM_LBUTTONDOWN],
                                  ["wait-visible", 60000], ["dump"]]))
        res.check("x86_tray_message_shows", d.main.get("visible") == "1", "main %s" % d.main)
        s.driver("x64", [["post", "main", modes.WM_SYSCOMMAND, modes.SC_MINIMIZE], ["wait-hidden", 30000]])
        rc = finish(s.launch("x64", exe64), 60)
        d = Dump(s.driver("x64", [["wait-visible", 60000], ["dump"]]))
        mains = next((r for r in d.recs if r["kind"] == "mains"), {})
        res.check("x86_hidden_shown_by_x64_start", rc == 0 and d.main.get("visible") == "1" and
                  mains.get("count") == "1" and p86c.poll() is None, "exit %s main %s" % (rc, d.main))
        s.close(p86c, 120)
        # And a start of the i386 build shows a 64-bit instance hidden in the tray.
        p64c = s.launch("x64", exe64, ["/CycleSync", "10"])
        s.driver("x64", [["wait-exists", 60000], ["sleep", 2000]])
        rc = finish(s.launch("x86", exe86), 240)
        d = Dump(s.driver("x64", [["wait-visible", 60000], ["dump"]]))
        res.check("x64_hidden_shown_by_x86_start", rc == 0 and d.main.get("visible") == "1" and
                  p64c.poll() is None, "exit %s main %s" % (rc, d.main))
        s.close(p64c)
    res.note("scenario cross took %.0f s" % (time.time() - t0))


# ---- scenario: the canary, whose one check must fail ----------------------------------
def scenario_canary(res, art):
    """A dump with no program running ends in a driver error; the check that relies
    on it must fail, or a driver error could pass unseen (scripts/test requires
    exactly this one failure)."""
    res.plan(["canary_dump_without_program_fails"])
    with Scenario("canary", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        d = s.dump("x64", label="no-program", expect_ok=False)
        res.check("canary_dump_without_program_fails", d.ok() and d.main.get("found") == "1",
                  "driver: %s" % (d.raw.splitlines()[-1] if d.raw.strip() else "no output"))


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, lambda *a: sys.exit(143))   # so that the clean-up runs
    if sys.argv[1] == "--plan":
        import nts
        print("\n".join({"cross": CROSS_PLAN, "nts_x86": nts.NTS_X86_PLAN}[sys.argv[2]]))
        sys.exit(0)
    name, results, art = sys.argv[1:4]
    res = Results(results)
    scenarios = {"window": scenario_window, "strings": scenario_strings, "cross": scenario_cross,
                 "canary": scenario_canary}
    scenarios.update(modes.SCENARIOS)
    scenarios.update(observe.SCENARIOS)
    scenarios.update(english.SCENARIOS)
    import robust
    scenarios.update(robust.SCENARIOS)
    import nts
    scenarios.update(nts.SCENARIOS)
    scenarios[name](res, art)
