"""The offline demonstration of the program (run by scripts/demo inside a network
namespace of its own): ten simulated time servers on loopback addresses, the
real Quorlin_x64U.exe under Wine in an Xvfb of its own, the sync button pressed
through the window driver, then one "/AutoSync 30" run.

usage: demo.py OUTPUT_DIR    (the screenshot and the simulator's log go there)
"""
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "blackbox"))
import harness  # noqa: E402
import modes  # noqa: E402

# Row by row: offset in seconds, server hold in ms, and what the row shows.
SERVERS = [(0.004, 40, "本地服务器甲"), (-0.006, 60, "本地服务器乙"), (0.010, 80, "本地服务器丙"),
           (3.0, 0, "快三秒的服务器 (离群，最快)"), (None, 0, "不回答的服务器"), (-0.012, 100, "本地服务器丁"),
           (0.002, 20, "本地服务器戊"), (0.008, 120, "本地服务器己"), (-0.003, 140, "本地服务器庚"),
           (0.001, 160, "其它服务器")]


class Printer:
    """Stands in for the test results: the demonstration only reports."""

    def __init__(self, path):
        self.file = open(path, "a", encoding="utf-8")

    def plan(self, names):
        pass

    def check(self, name, ok, why=""):
        return ok

    def note(self, text):
        print(text, flush=True)


def main(out):
    os.makedirs(out, exist_ok=True)
    s = harness.Scenario("demo", Printer(os.path.join(out, "notes.txt")), os.environ["QL_WINE_TEMPLATE"], out)
    try:
        s.start()
        names = []
        for i, (offset, hold, name) in enumerate(SERVERS):
            host = harness.ROW_HOSTS[i]
            s.serve(host, "silent=1" if offset is None else "offset=%.3f delay=%d" % (offset, hold))
            names.append("#%d %s" % (i, name))
        for h in harness.EXTRA_HOSTS:
            s.serve(h, "offset=0.001 delay=160")
        print("ten simulated time servers on %s ... %s (row 3 three seconds ahead, row 4 silent)" %
              (harness.ROW_HOSTS[0], harness.ROW_HOSTS[-1]))
        exe = s.install("x64", os.environ["QL_PROGRAM_X64"], ini=harness.ini_text(names=names))
        print("starting %s under Wine (display %s)" % (exe, s.display))
        p = s.launch("x64", exe)
        filled = lambda d: sum(1 for r in range(10) if d.cells.get((r, 3), "").isdigit()) >= 9
        d = s.dump("x64", pre=[["wait-window", 120000], ["wait-button", harness.DEFAULT_STRINGS[23], 60000]],
                   label="filled")
        deadline = time.time() + 60
        while not filled(d) and time.time() < deadline:
            time.sleep(1)
            d = s.dump("x64", label="filled")
        sync = modes.control(d, "button", harness.DEFAULT_STRINGS[23])
        if not sync:
            print("the sync button did not appear")
            return 1
        print("pressing the sync button ...")
        s.driver("x64", [["post", "main", modes.WM_COMMAND, 0, sync["hwnd"]], ["sleep", 500],
                         ["wait-button", harness.DEFAULT_STRINGS[23], 30000]])
        d = modes.wait_log(s, lambda t: "成功！" in t or "失败！" in t, 30, "synced")
        print("\nthe log box:")
        for line in modes.log_text(d).split("\r\n"):
            if line.strip():
                print("  " + line)
        print("\nthe results list:")
        titles = [c.get("text", "") for c in d.columns]
        print("  " + " | ".join(titles))
        for r in range(10):
            print("  " + " | ".join(d.cells.get((r, c), "") for c in range(7)))
        shot = os.path.join(out, "screenshot.png")
        if s.screenshot("screenshot.png"):
            print("\nscreenshot: %s" % shot)
        print("closed: exit code %s" % s.close(p))

        s.sim_cmd("reset")
        print("\nrunning \"%s /AutoSync 30\" against the same servers ..." % exe)
        t = time.time()
        rc = harness.finish(s.launch("x64", exe, ["/AutoSync", "30"]), 90)
        print("exit code %s after %.1f s; %d requests reached the servers" % (rc, time.time() - t,
                                                                          modes.total_requests(s)))
        return 0
    finally:
        s.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
