"""Black-box scenario "english": the program with the shipped English INI file.

The file's two server sections are replaced by loopback hosts (its strings and help
text stay as shipped); the program then shows English everywhere, a status line that
reads as a sentence, and no text wider than its control. Ticking and unticking the
two autostart boxes registers and deletes the logon task "Quorlin_x64U" beside the Run
value (Wine keeps the task as a file in the prefix; its content is not checked here,
since Wine's Task Scheduler drops trigger, principal and action when it stores it).
"""
import os
import re
import shutil

import harness
import modes
from harness import Dump, Scenario, ROW_HOSTS, EXTRA_HOSTS

SHIPPED = os.path.join(harness.ROOT, "translations", "en", "Quorlin.INI")
RESOURCES = os.path.join(harness.ROOT, "src", "res")
CJK = re.compile("[\u3000-\u30ff\u3400-\u9fff\uff00-\uffef]")


def read_utf16(path):
    data = open(path, "rb").read()
    if not data.startswith(b"\xff\xfe"):
        raise ValueError("%s is not UTF-16LE with a byte-order mark" % path)
    return data[2:].decode("utf-16-le")


def content(line):
    """A line as the INI reader sees it: None for a comment or blank line, else the
    text before any "//" without its trailing blanks."""
    if line.startswith("//") or line.startswith(";") or not line.strip():
        return None
    return line.split("//", 1)[0].rstrip(" \t")


def sections(text):
    """{section: [content lines]} of an INI text, in order."""
    out, cur = {}, None
    for line in text.split("\r\n"):
        c = content(line)
        if c is None:
            continue
        if c.startswith("[") and c.rstrip().endswith("]"):
            cur = c.strip()
            out.setdefault(cur, [])
        elif cur:
            out[cur].append(c)
    return out


def strings_of(text):
    return [line.split("=", 1)[1] for line in sections(text)["[STRINGTABLE]"]]


def loopback_ini(text):
    """The shipped text with both server sections on the simulator's addresses."""
    lines, out, skip = text.split("\r\n"), [], False
    names = [line.split(";", 1)[1].strip() for line in sections(text)["[NTP_SERVER_1]"]]
    for line in lines:
        head = line.strip()
        if head in ("[NTP_SERVER_1]", "[NTP_SERVER_2]"):
            skip = True
            out.append(head)
            out += (["%s\t;\t%s" % (h, n) for h, n in zip(ROW_HOSTS, names)] if head == "[NTP_SERVER_1]"
                    else list(EXTRA_HOSTS))
            continue
        if skip and head.startswith("["):
            skip = False
        if not skip:
            out.append(line)
    result = "\r\n".join(out)
    s = sections(result)
    hosts = [l.split(";", 1)[0].strip() for l in s["[NTP_SERVER_1]"]] + [l.strip() for l in s["[NTP_SERVER_2]"]]
    if any(not h.startswith("127.") for h in hosts):
        raise RuntimeError("a public host is left in the test INI: %s" % hosts)
    return ("\ufeff" + result).encode("utf-16-le")


# Room a control's frame takes beside its text (Wine, 96 dpi): a push button's
# edges, a check box's box and gap, a group caption's indents, a selector's drop
# button and edges, a header item's padding.
def needed(f, m):
    w = int(f["w"])
    kind = f["what"]
    if kind == "push":
        return w + 2 * int(m["edge"]) + 2
    if kind == "check":
        return w + int(m["check"]) + 4
    if kind == "group":
        return w + 16
    if kind == "item":
        return w + int(m["vscroll"]) + 4
    if kind == "column":
        return w + 12
    return w


def task_file(s):
    """The prefix's task file of the x64 build (C:\\windows\\system32\\Tasks), or None."""
    d = os.path.join(s.prefix, "drive_c", "windows", "system32")
    for sub in os.listdir(d):
        if sub.lower() == "tasks":
            for f in os.listdir(os.path.join(d, sub)):
                if f == "Quorlin_x64U":
                    return os.path.join(d, sub, f)
    return None


def scenario_english(res, art):
    arch = "x64"
    names = ["english_ini_is_utf16_with_55_strings", "english_ini_server_lists_are_the_resources",
             "english_ini_help_text", "english_controls_and_titles", "english_nothing_chinese",
             "english_status_sentence", "english_no_text_clipped", "english_auto_box_registers_task",
             "english_auto_box_untick_deletes_task", "english_periodic_box_registers_task",
             "english_periodic_box_untick_deletes_task", "english_screenshot"]
    res.plan(names)
    text = read_utf16(SHIPPED)
    st = strings_of(text)
    sec = sections(text)
    keys = [line.split("=", 1)[0] for line in sec["[STRINGTABLE]"]]
    res.check("english_ini_is_utf16_with_55_strings",
              len(st) == 55 and keys == [str(101 + i) for i in range(55)] and st[136 - 101].count("%s") == 2 and
              st[145 - 101].count("%s") == 2 and
              all(len(v) < 128 and v for v in st), "keys %s, 136 %r" % (keys, st[35] if len(st) > 35 else None))
    S = lambda i: st[i - 101]
    # The resources are plain lists without section headers: their content lines.
    res_main = [content(l) for l in read_utf16(os.path.join(RESOURCES, "server_list.txt")).split("\r\n")]
    res_main = [l.split(";", 1)[0].strip() for l in res_main if l and ";" in l]
    res_extra = [content(l) for l in read_utf16(os.path.join(RESOURCES, "extra_servers.txt")).split("\r\n")]
    res_extra = [l.strip() for l in res_extra if l]
    ini_main = [l.split(";", 1)[0].strip() for l in sec["[NTP_SERVER_1]"]]
    ini_extra = [l.strip() for l in sec["[NTP_SERVER_2]"]]
    res.check("english_ini_server_lists_are_the_resources",
              ini_main[:9] == res_main[:9] and len(ini_main) == 10 and ini_extra == res_extra,
              "main %s vs %s; extra %d vs %d" % (ini_main, res_main, len(ini_extra), len(res_extra)))
    help_lines = text.split("[HELP_TEXT]\r\n", 1)[1]
    res.check("english_ini_help_text",
              all(w in help_lines for w in ("/AutoSync", "/CycleSync", "/NTP", "administrator", "SNTP", "Task "))
              and not CJK.search(help_lines), help_lines[:200])

    with Scenario("english", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        for h in ROW_HOSTS + EXTRA_HOSTS:
            s.serve(h, "offset=0.25")
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"], ini=loopback_ini(text))
        p = s.launch(arch, exe)
        d = s.dump(arch, pre=[["wait-window", 60000], ["sleep", 3000]], label="start")
        main = d.children(0)
        texts = {w["class"].lower(): [] for w in main}
        for w in main:
            texts[w["class"].lower()].append(w.get("text", ""))
        buttons = texts.get("button", [])
        combos = [d.items.get(int(w["i"]), []) for w in main if w["class"].lower() == "combobox"]
        titles = [c.get("text") for c in d.columns]
        want_buttons = [S(123), S(124), S(126), S(129), S(131), S(132)]
        want_combos = [["%d%s" % (n, S(108)) for n in range(10, 100, 10)], [S(127), S(128)],
                       [" " + S(133)] + [" %d%s" % (n, S(134)) for n in range(10, 100, 10)],
                       [" %d%s" % (n, S(135)) for n in range(10, 100, 10)]]
        res.check("english_controls_and_titles",
                  all(b in buttons for b in want_buttons) and all(c in combos for c in want_combos) and
                  titles == [S(103), S(104), S(105), S(106), S(107), S(143), S(144)] and
                  d.cells.get((0, 0)) == "#0 Alibaba Cloud" and S(125) in [w.get("text") for w in d.wins.values()],
                  "buttons %s combos %s titles %s" % (buttons, combos, titles))
        # Everything the program wrote itself; the computer label starts with the
        # system's own name of the Computer folder, which follows Wine's locale.
        shown = []
        for w in d.wins.values():
            t = w.get("text", "")
            if t.endswith(S(102)) and "[" in t:
                t = t[t.index("["):]
            shown.append(t)
        shown += [t for items in d.items.values() for t in items] + titles + list(d.cells.values())
        chinese = [t for t in shown if CJK.search(t)]
        res.check("english_nothing_chinese", not chinese, chinese[:8])
        status = next((t for t in texts.get("static", []) if t.startswith(S(130))), None)
        res.check("english_status_sentence",
                  status == S(130) + S(138) and re.fullmatch(r"[A-Z][a-z]+( [a-z]+)*: [a-z]+( [a-z]+)*\.", status),
                  repr(status))
        raw = s.driver(arch, [["fits"]])
        with open(os.path.join(art, "english-x64-fits.txt"), "w") as f:
            f.write(raw)
        fits = harness.parse_records(raw)
        m = next((r for r in fits if r["kind"] == "fitmetrics"), {})
        rows = [r for r in fits if r["kind"] == "fit"]
        clipped = ["%s %r needs %d, has %s" % (r["what"], r.get("text"), needed(r, m), r["room"])
                   for r in rows if r.get("text") and needed(r, m) > int(r["room"])]
        tight = min([(int(r["room"]) - needed(r, m), r.get("text")) for r in rows if r.get("text")] or [(0, None)])
        res.note("english: %d texts measured (fonts %s); least room left %d px by %r" % (
            len(rows), sorted({r["font"] for r in rows}), tight[0], tight[1]))
        res.check("english_no_text_clipped", rows and not clipped, "; ".join(clipped))
        shot = s.screenshot("english-x64.png")
        res.check("english_screenshot", shot, "no screenshot")

        # The autostart boxes: Run value and logon task together.
        for box, option, name in ((S(131), "/AutoSync 0", "auto"), (S(132), "/CycleSync 60", "periodic")):
            s.driver(arch, [["click", "button:" + box], ["sleep", 1500]])
            run = modes.reg_query(s, modes.RUN_KEY, "Quorlin")
            f = task_file(s)
            if f:
                shutil.copy(f, os.path.join(art, "english-task-%s.xml" % name))
                res.note("english: task file after ticking %s: %d bytes: %s" % (
                    name, os.path.getsize(f), read_task(f)[:300].replace("\r", "").replace("\n", " ")))
            res.check("english_%s_box_registers_task" % name,
                      f is not None and run is not None and run.endswith('Quorlin_x64U.exe" ' + option),
                      "task file %s, Run value %r" % (f, run))
            s.driver(arch, [["click", "button:" + box], ["sleep", 1500]])
            run = modes.reg_query(s, modes.RUN_KEY, "Quorlin")
            log = next((w.get("text", "") for w in s.dump(arch, label=name).wins.values()
                        if w["class"].lower() == "edit"), "")
            res.check("english_%s_box_untick_deletes_task" % name, task_file(s) is None and run is None,
                      "task file %s, Run value %r, log ends %r" % (task_file(s), run, log[-200:]))
        s.close(p)


def read_task(path):
    data = open(path, "rb").read()
    for bom, enc in ((b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le")):
        if data.startswith(bom):
            return data[len(bom):].decode(enc, "replace")
    return data.decode("utf-8", "replace")


SCENARIOS = {"english": scenario_english}
