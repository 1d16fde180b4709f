"""Black-box scenarios of the program under Wine: shared machinery.

A scenario runs inside a network namespace of its own (the caller, tests/blackbox/run,
puts it there), with its own Wine prefix, whose wineserver starts inside that
namespace, its own Xvfb display and the project's simulator as the ten time servers.
The program is copied to a temporary folder with an INI file beside it whose every
host is a loopback address, and started by its absolute path.

Results are TAP-like lines, one per check: "plan NAME" when a scenario starts (a
check that never reports counts as failed), then "ok NAME" or "not ok NAME - why".
"""
import datetime
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import zoneinfo

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The interface strings 101..155 as the program ships them.
DEFAULT_STRINGS = [
    "超时", "时间：", "授时服务器", "正确时间[T4+θ]", "时间偏差(比服务器)", "往返延迟(ms)", "根延迟(ms)",
    "秒", "天", "小时", "分钟", "毫秒", "快了：", "慢了：", "超过", "已同步，等更新", "同步时间服务器",
    "同步时间失败！申请修改时间权限不成功！", "成功！", "失败！", "同步时间失败！无网络或服务器链接不上。",
    "询问服务器时间间隔", "关闭", "同步", "保存", "清空原有的提示信息", "快速同步时间模式", "常规同步时间模式",
    "系统启动时", "当前功能：", "自动同步时间", "定期同步时间", "成功才退出", "秒就退出", "分钟一次",
    "%s定期同步时间(间隔%s分钟)。", "定期同步时间模式", "手动同步时间。", "开始同步时间..",
    "Quorlin正在执行定期同步时间任务，", "你确定要关闭程序？要关闭选择[是]，否则选择[否]。", "提示", "Z_Score", "层级",
    "更新计划任务 %s 失败 (%s)，登录时本程序可能不会按所选方式启动。",
    "程序路径过长，自动启动项写不下，登录时不会自动启动本程序；请把程序放到较短的路径下。",
    "NTS：服务器名格式有误", "NTS：服务器证书不受信任", "NTS：本系统不支持 TLS 1.3", "NTS：密钥交换被拒绝",
    "NTS：密钥交换超时或连不上", "NTS：服务器拒绝了 Cookie（NAK）", "NTS：应答未通过认证",
    "NTS：证书不在有效期内，本机时钟可能有误", "NTS：本机时钟早于本程序的构建日期，证书已按该日期检查",
]
assert len(DEFAULT_STRINGS) == 55

ROW_NAMES = ["#0 阿里云授时服务中心", "#1 腾讯云授时服务中心", "#2 微软公司授时服务器", "#3 国际快速授时服务器",
             "#4 中国科学院授时中心", "#5 中国教育网授时中心", "#6 香港天文台授时中心", "#7 澳门气象局授时中心",
             "#8 苹果亚洲授时服务器", "#9 其它服务器"]

ROW_HOSTS = ["127.0.0.%d" % (11 + i) for i in range(10)]
EXTRA_HOSTS = ["127.0.0.20", "127.0.0.21"]
CONTROL = ("127.0.0.1", 12300)

TITLE = "Quorlin- 时间同步工具"
TAGS = {"x64": " V1.3.2025.1109 x64U", "x86": " V1.3.2025.1109 x86U"}
EXE = {"x64": "Quorlin_x64U.exe", "x86": "Quorlin_x86U.exe"}


def _loaders():
    """The Wine loaders scripts/install-deps named (installed, or the unpacked
    32-bit half's pair) in build/wine-loaders; the installed ones without it."""
    path = os.environ.get("QL_WINE_LOADERS") or os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "wine-loaders")
    named = {"64": "/usr/lib/wine/wine64", "32": "/usr/lib/wine/wine"}
    if os.path.isfile(path):
        named = {"64": "", "32": ""}
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                if key in ("QL_WINE64", "QL_WINE32"):
                    named[key[7:]] = value
    return {"x64": named["64"], "x86": named["32"]}


LOADER = _loaders()


class Results:
    def __init__(self, path):
        self.path = path
        self.file = open(path, "a", encoding="utf-8")

    def _line(self, text):
        print(text, flush=True)
        self.file.write(text + "\n")
        self.file.flush()

    def plan(self, names):
        for n in names:
            self._line("plan " + n)

    def check(self, name, ok, why=""):
        if ok:
            self._line("ok " + name)
        else:
            self._line("not ok %s - %s" % (name, str(why).replace("\n", " ")[:600]))
        return ok

    def note(self, text):
        self._line("# " + text)


def ini_text(strings=None, rows=None, extra=None, names=None):
    """The INI file: both server sections on loopback, all 55 strings, a help text."""
    strings = strings or DEFAULT_STRINGS
    rows = rows or ROW_HOSTS
    extra = extra or EXTRA_HOSTS
    names = names or ROW_NAMES
    lines = ["; Quorlin test configuration: every host is a loopback address", "[NTP_SERVER_1]"]
    lines += ["%s\t;\t%s" % (h, n) for h, n in zip(rows, names)]
    lines += ["[NTP_SERVER_2]"] + list(extra)
    lines += ["[STRINGTABLE]"] + ["%d=%s" % (101 + i, s) for i, s in enumerate(strings)]
    lines += ["[HELP_TEXT]", "测试用的帮助文字。", "第二行。"]
    return ("\ufeff" + "\r\n".join(lines) + "\r\n").encode("utf-16-le")


def parse_records(text):
    recs = []
    for line in text.splitlines():
        if not line.strip():
            continue
        parts = line.split("\t")
        rec = {"kind": parts[0]}
        for i, p in enumerate(parts[1:]):
            if p.startswith("text="):
                rec["text"] = unescape("\t".join(parts[1 + i:])[5:])
                break
            k, _, v = p.partition("=")
            rec[k] = v
        recs.append(rec)
    return recs


def unescape(s):
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            out.append({"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}.get(n, n))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def rect(s):
    return tuple(int(x) for x in s.split(","))


class DriverError(RuntimeError):
    """A driver run that did not end with "end ok": what relied on it cannot pass."""


class Dump:
    """One driver dump, parsed."""

    def __init__(self, text):
        self.raw = text
        self.recs = parse_records(text)
        one = lambda k: next((r for r in self.recs if r["kind"] == k), {})
        self.main = one("main")
        self.metrics = one("metrics")
        self.shm = one("shm")
        self.mutex = one("mutex")
        self.end = one("end")
        self.wins = {int(r["i"]): r for r in self.recs if r["kind"] == "win"}
        self.combos = {int(r["i"]): r for r in self.recs if r["kind"] == "combo"}
        self.items = {}
        for r in self.recs:
            if r["kind"] == "item":
                self.items.setdefault(int(r["i"]), []).append(r.get("text", ""))
        self.lists = {int(r["i"]): r for r in self.recs if r["kind"] == "list"}
        self.columns = [r for r in self.recs if r["kind"] == "column"]
        self.cells = {}
        for r in self.recs:
            if r["kind"] == "cell":
                self.cells[(int(r["r"]), int(r["c"]))] = r.get("text", "")
        self.rowrects = {int(r["r"]): rect(r["rect"]) for r in self.recs if r["kind"] == "rowrect"}

    def children(self, parent):
        return [w for i, w in sorted(self.wins.items()) if int(w["parent"]) == parent]

    def ok(self):
        lines = self.raw.splitlines()
        return bool(lines) and lines[-1] == "end\tok"

    def first(self, kind):
        return next((r for r in self.recs if r["kind"] == kind), {})

    def all(self, kind):
        return [r for r in self.recs if r["kind"] == kind]


class Scenario:
    """Everything one scenario owns: folder, prefix, display, simulator, programs."""

    def __init__(self, name, results, template, artefacts):
        self.name = name
        self.results = results
        self.template = template
        self.artefacts = artefacts
        os.makedirs(artefacts, exist_ok=True)
        self.tmp = tempfile.mkdtemp(prefix="ql-bb-%s." % name)
        self.prefix = os.path.join(self.tmp, "prefix")
        self.procs = []
        self.sim = None
        self.xvfb = None
        self.env = None

    # ---- set-up -------------------------------------------------------------------
    def start(self):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=False)
        self._prefix()
        self._xvfb()
        self._simulator()

    def _prefix(self):
        locale_dir = os.environ.get("QL_LOCALE_DIR", os.path.join(os.path.dirname(self.template), "locale"))
        script = '. "%s/cmake/wine-env.sh"; ql_locale "%s"; ql_wine_prefix "%s" "%s"' % (
            ROOT, locale_dir, self.prefix, self.template)
        subprocess.run(["bash", "-c", script], check=True, stdout=subprocess.DEVNULL)
        env = dict(os.environ)
        # QL_WINEDEBUG: Wine's debug channels for a diagnostic run (+secur32, +seh).
        env.update(WINEPREFIX=self.prefix, WINEDEBUG=os.environ.get("QL_WINEDEBUG", "-all"),
                   LANG="zh_CN.UTF-8", LC_ALL="zh_CN.UTF-8",
                   LOCPATH=os.path.realpath(locale_dir), TZ="Asia/Shanghai", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env = env

    def _xvfb(self):
        r, w = os.pipe()
        log = open(os.path.join(self.tmp, "xvfb.log"), "w")
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1280x1024x24", "-nolisten",
                                      "tcp"], pass_fds=(w,), stdout=log, stderr=log)
        os.close(w)
        number = b""
        deadline = time.time() + 20
        while time.time() < deadline and not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip():
            raise RuntimeError("Xvfb gave no display")
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display

    def _simulator(self):
        ntpsim = os.environ["QL_NTPSIM"]
        self.simlog = os.path.join(self.tmp, "sim.log")
        out = open(os.path.join(self.tmp, "sim.out"), "w")
        self.sim = subprocess.Popen([ntpsim, "--control", "%s:%d" % CONTROL, "--log", self.simlog], stdout=out,
                                    stderr=subprocess.STDOUT)
        for _ in range(100):
            if "ready" in open(os.path.join(self.tmp, "sim.out")).read():
                return
            time.sleep(0.1)
        raise RuntimeError("ntpsim not ready")

    def sim_cmd(self, cmd):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(2)
        try:
            s.sendto(cmd.encode(), CONTROL)
            return s.recv(65000).decode()
        finally:
            s.close()

    def serve(self, addr, options=""):
        reply = self.sim_cmd(("serve %s %s" % (addr, options)).strip())
        if reply != "ok":
            raise RuntimeError("simulator: %s" % reply)

    def count(self, addr):
        return int(self.sim_cmd("count " + addr))

    # ---- programs -----------------------------------------------------------------
    def install(self, arch, exe, ini=None, folder="app"):
        """Copies the program to a folder of its own with the INI file beside it."""
        d = os.path.join(self.tmp, folder)
        os.makedirs(d, exist_ok=True)
        target = os.path.join(d, os.path.basename(exe))
        shutil.copy(exe, target)
        with open(os.path.join(d, "Quorlin.INI"), "wb") as f:
            f.write(ini if ini is not None else ini_text())
        return target

    def launch(self, arch, path, args=()):
        """Starts the program by its absolute path; returns the Popen."""
        assert os.path.isabs(path)
        ini = os.path.join(os.path.dirname(path), "Quorlin.INI")
        if not os.path.exists(ini):
            raise RuntimeError("refusing to start the program without its INI file")
        log = open(os.path.join(self.tmp, "prog-%d.log" % len(self.procs)), "w")
        p = subprocess.Popen([LOADER[arch], path] + list(args), env=self.env, stdout=log, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL, cwd=os.path.dirname(path))
        self.procs.append(p)
        return p

    def driver(self, arch, steps, timeout=600, expect_ok=True):
        """Runs the driver once with the given steps ("--" separated lists). Unless
        expect_ok is False, a run that does not end with "end ok" raises DriverError:
        the scenario stops there and its unreported checks count as failed."""
        exe = os.environ["QL_DRIVER_" + arch.upper()]
        args = []
        for s in steps:
            if args:
                args.append("--")
            args += [str(x) for x in s]
        out = os.path.join(self.tmp, "driver.out")
        with open(out, "w") as f:
            try:
                subprocess.run([LOADER[arch], exe] + args, env=self.env, stdout=f, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL, timeout=timeout)
            except subprocess.TimeoutExpired:
                pass
        text = open(out, encoding="utf-8", errors="replace").read()
        if expect_ok and not Dump(text).ok():
            last = text.splitlines()[-1] if text.strip() else "no output"
            raise DriverError("driver %s: %s" % (" -- ".join(" ".join(str(x) for x in st) for st in steps)[:200],
                                                 last))
        return text

    def dump(self, arch, pre=(), label="last", expect_ok=True):
        """One driver run ending in a dump; the text is kept as an artefact under label."""
        text = self.driver(arch, list(pre) + [["dump"]], expect_ok=False)
        with open(os.path.join(self.artefacts, "%s-%s-%s.txt" % (self.name, arch, label)), "w") as f:
            f.write(text)
        d = Dump(text)
        if expect_ok and not d.ok():
            raise DriverError("dump %s: %s" % (label, text.splitlines()[-1] if text.strip() else "no output"))
        return d

    def screenshot(self, name):
        """The whole screen as an artefact; the path, or None when import failed."""
        path = os.path.join(self.artefacts, name)
        if os.path.exists(path):
            os.remove(path)
        subprocess.run(["import", "-display", self.display, "-window", "root", path], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        return path if os.path.exists(path) else None

    def pixels(self, path, box):
        """Colour counts of the screenshot within box (left, top, right, bottom; screen
        pixels): {(r, g, b): n}, from ImageMagick's histogram."""
        l, t, r, b = box
        out = subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (r - l, b - t, l, t), "+repage", "-depth", "8",
                              "-format", "%c", "histogram:info:-"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             timeout=60).stdout.decode("ascii", "replace")
        counts = {}
        for line in out.splitlines():
            m = re.match(r"^\s*(\d+):\s*\(\s*(\d+),\s*(\d+),\s*(\d+)", line)
            if m:
                counts[(int(m.group(2)), int(m.group(3)), int(m.group(4)))] = int(m.group(1))
        return counts

    def image_size(self, path):
        out = subprocess.run(["identify", "-format", "%w %h", path], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=60).stdout.decode().split()
        return tuple(int(x) for x in out) if len(out) == 2 else None

    def wait_dump(self, arch, pred, timeout, label, step=2):
        """Dumps until pred(dump) holds or timeout seconds have passed; the last dump.
        A dump that fails (no window yet) only counts as not yet; the last one must not
        fail (DriverError)."""
        deadline = time.time() + timeout
        while True:
            d = self.dump(arch, label=label, expect_ok=False)
            if (d.ok() and pred(d)) or time.time() > deadline:
                if not d.ok():
                    raise DriverError("dump %s: %s" % (label, d.raw.splitlines()[-1] if d.raw.strip() else "no output"))
                return d
            time.sleep(step)

    def close(self, p, timeout=30):
        """Posts WM_CLOSE to the main window; p's exit code (finish)."""
        self.driver("x64", [["post", "main", 0x10]], expect_ok=False)
        return finish(p, timeout)

    # ---- tear-down ----------------------------------------------------------------
    # A scenario runs as `with Scenario(...) as s:`; an exception ends it with a
    # note (its unreported checks then count as failed) and everything is stopped.
    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if isinstance(value, Exception):
            self.results.note("scenario %s stopped: %r" % (self.name, value))
        self.stop()
        return isinstance(value, Exception)

    def stop(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
        if self.env:
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for p in self.procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                pass
        for p in (self.sim, self.xvfb):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        for f in ("sim.log",):
            src = os.path.join(self.tmp, f)
            if os.path.exists(src):
                shutil.copy(src, os.path.join(self.artefacts, "%s-%s" % (self.name, f)))
        shutil.rmtree(self.tmp, ignore_errors=True)


SHANGHAI = zoneinfo.ZoneInfo("Asia/Shanghai")


def now_shanghai():
    """The local time of the program's users, as Wine shows it in the tests."""
    return datetime.datetime.now(SHANGHAI).replace(tzinfo=None)


def parse_deviation(text):
    """The deviation cell in seconds (positive: the computer is behind), or None."""
    m = re.match(r"^(慢了：|快了：)(\d+)秒(\d+)毫秒$", text or "")
    if not m:
        return None
    v = int(m.group(2)) + int(m.group(3)) / 1000.0
    return v if m.group(1) == "慢了：" else -v


def finish(p, timeout):
    """The exit code of a started program, or "still running" after timeout seconds."""
    try:
        return p.wait(timeout)
    except subprocess.TimeoutExpired:
        return "still running"


def wait_until(pred, timeout, step=0.5):
    deadline = time.time() + timeout
    while True:
        v = pred()
        if v or time.time() >= deadline:
            return v
        time.sleep(step)
