"""Authenticated time: NTS rows against chronyd serving NTS on loopback (a test CA
made here with openssl, added to the scenario's prefix), beside simulated plain
servers that agree on +5 s."""
import os
import shutil
import socket
import subprocess
import sys
import time

import harness
from harness import Scenario, finish, wait_until, ROW_NAMES
from modes import S, NOTE, log_text, control, manual_sync

MARK = " [NTS]"
PLAIN = ["127.0.0.%d" % (12 + i) for i in range(10)]   # rows 1..8, the extra list's first (row 9) and a spare
GOOD, OTHER = "nts://localhost", "nts://localhost:4461"


FULL_SIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "full-ecdsa-sig")


def make_ca(d):
    """A CA and two server certificates: localhost and another name, each signed
    again until its signature's integers are whole (full-ecdsa-sig). The CA's DER path."""
    def run(*args):
        for _ in range(8):
            subprocess.run(["openssl"] + list(args), check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            out = args[list(args).index("-out") + 1]
            if not out.endswith(".pem") or subprocess.run([sys.executable, FULL_SIG, out]).returncode == 0:
                return
    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj",
        "/CN=Quorlin scenario CA", "-keyout", d + "/ca.key", "-out", d + "/ca.pem", "-addext",
        "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    run("x509", "-in", d + "/ca.pem", "-outform", "DER", "-out", d + "/ca.der")
    for name, cn in (("good", "localhost"), ("other", "elsewhere.test")):
        run("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=" + cn,
            "-keyout", "%s/%s.key" % (d, name), "-out", "%s/%s.csr" % (d, name))
        with open("%s/%s.ext" % (d, name), "w") as f:
            f.write("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n" % cn)
        run("x509", "-req", "-in", "%s/%s.csr" % (d, name), "-CA", d + "/ca.pem", "-CAkey", d + "/ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "%s/%s.ext" % (d, name), "-out", "%s/%s.pem" % (d, name))
    return d + "/ca.der"


def start_chronyd(s, d, name, i):
    """chronyd (never touching the clock) serving NTS-KE on 4460 + i, NTP on 11123 + i."""
    os.makedirs("%s/%s.dump" % (d, name), exist_ok=True)
    conf = "%s/%s.conf" % (d, name)
    with open(conf, "w") as f:
        f.write("local stratum 10\nallow 127.0.0.1\nbindaddress 127.0.0.1\nport %d\nntsport %d\n"
                "ntsserverkey {d}/{n}.key\nntsservercert {d}/{n}.pem\nntsdumpdir {d}/{n}.dump\nntsprocesses 0\n"
                "cmdport 0\nbindcmdaddress /\npidfile {d}/{n}.pid\ndriftfile {d}/{n}.drift\n".format(d=d, n=name)
                % (11123 + i, 4460 + i))
    log = open("%s/chronyd-%s.log" % (d, name), "w")
    s.procs.append(subprocess.Popen([os.environ["QL_CHRONYD"], "-x", "-d", "-u", "root", "-f", conf], stdout=log,
                                    stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL))

    def listening():
        try:
            socket.create_connection(("127.0.0.1", 4460 + i), 0.5).close()
            return True
        except OSError:
            return False
    if not wait_until(listening, 10, 0.1):
        raise RuntimeError("chronyd %s not listening" % name)


def start_nts(s, servers):
    """The test CA trusted in the scenario's prefix, chronyd serving NTS for each
    of servers ("good": localhost on 4460, "other": another name on 4461), the
    key log and GnuTLS's priority file in the environment that starts Wine, and
    the plain servers agreeing on +5 s. The folder of it all."""
    d = os.path.join(s.tmp, "nts")
    os.makedirs(d, mode=0o700)
    ca = make_ca(d)
    for i, name in enumerate(servers):
        start_chronyd(s, d, name, i)
    open(d + "/gnutls-priority", "w").close()
    open(d + "/keylog", "w").close()
    os.chmod(d + "/keylog", 0o600)
    s.env.update(GNUTLS_SYSTEM_PRIORITY_FILE=d + "/gnutls-priority", SSLKEYLOGFILE=d + "/keylog")
    s.driver("x64", [["trust-root", ca]])   # the user's Root store, shared by both builds
    for h in PLAIN:
        s.serve(h, "offset=5")
    return d


def ini(row0, names=ROW_NAMES):
    return harness.ini_text(rows=[row0] + PLAIN[:8] + ["此处的服务器不用填写"], extra=PLAIN[8:], names=names)


def cell(d, r, c):
    return d.cells.get((r, c))


def scenario_nts(res, art):
    names = ["nts_row_marked", "nts_plain_rows_no_zscore", "nts_clock_set_from_nts_row", "nts_wrong_name_not_set",
             "nts_wrong_name_reason_once", "nts_wrong_name_autosync_exits", "nts_stalled_autosync_one_deadline",
             "nts_ntp_option_row9_marked", "nts_ntp_option_row9_used"]
    res.plan(names)
    arch = "x64"
    if not os.environ.get("QL_CHRONYD"):
        res.note("no chronyd (QL_CHRONYD): the NTS scenario cannot run")
        return
    with Scenario("nts", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        start_nts(s, ["good", "other"])

        # Nine plain rows agreeing on +5 s and one NTS row: the NTS row alone counts.
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"], ini(GOOD))
        p = s.launch(arch, exe)
        s.dump(arch, pre=[["wait-window", 60000], ["wait-button", S(124), 60000]], label="start")
        x = s.wait_dump(arch, lambda x: cell(x, 0, 0) == ROW_NAMES[0] + MARK and
                        all((cell(x, r, 3) or "").isdigit() for r in range(1, 10)), 60, "marked")
        res.check("nts_row_marked", cell(x, 0, 0) == ROW_NAMES[0] + MARK, repr(cell(x, 0, 0)))
        zs = [cell(x, r, 5) for r in range(10)]
        res.check("nts_plain_rows_no_zscore", zs[0] and all(z == "" for z in zs[1:]), repr(zs))
        x = manual_sync(s, control(x, "button", S(124)), "sync-good")
        text = log_text(x)
        res.note("authenticated row: %r" % text[-300:])
        res.check("nts_clock_set_from_nts_row", NOTE(0, GOOD) in text and S(119) in text and
                  all(NOTE(r, PLAIN[r - 1]) not in text for r in range(1, 9)), repr(text))
        s.screenshot("nts-window.png")
        s.close(p)

        # A certificate for another name: no clock setting, the reason once.
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"], ini(OTHER), folder="other")
        p = s.launch(arch, exe)
        reason = "#0 %s: %s\r\n" % (OTHER, S(148))
        x = s.wait_dump(arch, lambda x: reason in log_text(x) and control(x, "button", S(124)) is not None, 60,
                        "reason", step=1)
        before = log_text(x)
        sync = control(x, "button", S(124))
        # The first attempt empties the log (the help text goes): the reason, given
        # by the start-up round, must not come back in either attempt.
        x = manual_sync(s, sync, "sync-other")
        x = manual_sync(s, sync, "sync-other-2")
        text = log_text(x)
        res.note("certificate for another name: %r" % text[-400:])
        res.check("nts_wrong_name_not_set", S(119) not in text and text.rstrip("\r\n").endswith(" " + S(120)),
                  repr(text))
        res.check("nts_wrong_name_reason_once", before.count(reason) == 1 and reason not in text,
                  repr(before[-300:] + " | " + text))
        s.close(p)
        t = time.time()
        rc = finish(s.launch(arch, exe, ["/AutoSync", "10"]), 60)
        took = time.time() - t
        res.note("/AutoSync 10 with the other-name server: exit %s after %.1f s" % (rc, took))
        res.check("nts_wrong_name_autosync_exits", rc == 0 and 10 <= took <= 25, "exit %s after %.1f s" % (rc, took))

        # Eight key-exchange servers that take the connection and never answer,
        # ahead of the good one: they cost one key-exchange deadline together.
        stalled = []
        for port in range(4471, 4479):
            listener = socket.socket()
            listener.bind(("127.0.0.1", port))
            listener.listen(8)
            stalled.append(listener)
        rows = ["nts://localhost:%d" % port for port in range(4471, 4479)] + [GOOD, "此处的服务器不用填写"]
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"], harness.ini_text(rows=rows, extra=PLAIN[8:]),
                        folder="stalled")
        t = time.time()
        rc = finish(s.launch(arch, exe, ["/AutoSync", "60"]), 90)
        took = time.time() - t
        for listener in stalled:
            listener.close()
        res.note("/AutoSync 60 with eight stalled NTS rows ahead of the answering one: exit %s after %.1f s" % (rc, took))
        res.check("nts_stalled_autosync_one_deadline", rc == 0 and took < 8 + 10,
                  "exit %s after %.1f s" % (rc, took))

        # "/NTP nts://localhost" puts the NTS server into row #9, and a sync uses it.
        exe = s.install(arch, os.environ["QL_PROGRAM_X64"], ini(PLAIN[9]), folder="ntp")
        p = s.launch(arch, exe, ["/NTP", GOOD])
        s.dump(arch, pre=[["wait-window", 60000], ["wait-button", S(124), 60000]], label="ntp-start")
        x = s.wait_dump(arch, lambda x: cell(x, 9, 0) == ROW_NAMES[9] + MARK, 60, "ntp-marked")
        res.check("nts_ntp_option_row9_marked", cell(x, 9, 0) == ROW_NAMES[9] + MARK, repr(cell(x, 9, 0)))
        x = manual_sync(s, control(x, "button", S(124)), "sync-ntp")
        text = log_text(x)
        res.check("nts_ntp_option_row9_used", NOTE(9, GOOD) in text and S(119) in text, repr(text))
        s.close(p)



NTS_X86_PLAN = ["nts_x86_clock_set_from_nts_row", "nts_x86_autosync_sets_clock_and_exits", "nts_x86_no_crash"]


def scenario_nts_x86(res, art):
    """The i386 build's key exchange and authenticated exchange through the real
    program, read from its log box (list cells of an emulated i386 process read
    back empty), and a hidden /AutoSync that ends by itself."""
    res.plan(NTS_X86_PLAN)
    arch = "x86"
    if not os.environ.get("QL_CHRONYD"):
        res.note("no chronyd (QL_CHRONYD): the NTS scenario cannot run")
        return
    with Scenario("nts_x86", res, os.environ["QL_WINE_TEMPLATE"], art) as s:
        s.start()
        d = start_nts(s, ["good"])

        exe = s.install(arch, os.environ["QL_PROGRAM_X86"], ini(GOOD))
        try:
            p = s.launch(arch, exe)
            x = s.dump(arch, pre=[["wait-window", 120000], ["wait-button", S(124), 120000]], label="start")
            x = manual_sync(s, control(x, "button", S(124)), "sync-good", timeout=180, arch=arch)
            text = log_text(x)
            res.note("i386, authenticated row: %r" % text[-300:])
            res.check("nts_x86_clock_set_from_nts_row", NOTE(0, GOOD) in text and S(119) in text and
                      all(NOTE(r, PLAIN[r - 1]) not in text for r in range(1, 9)), repr(text))
            s.close(p)
        except harness.DriverError as e:   # a crashed program has no window left to drive
            res.check("nts_x86_clock_set_from_nts_row", False, e)
        if finish(p, 60) == "still running":
            s.close(p)

        # Hidden: the attempt's own key exchange (a new key-log line) sets the clock
        # and the program ends long before its deadline.
        logged = open(d + "/keylog").read().count("EXPORTER_SECRET")
        t = time.time()
        p = s.launch(arch, exe, ["/AutoSync", "30"])
        rc = finish(p, 120)
        took = time.time() - t
        exchanges = open(d + "/keylog").read().count("EXPORTER_SECRET") - logged
        res.note("i386 /AutoSync 30 with the NTS row: exit %s after %.1f s, %d key exchanges" % (rc, took, exchanges))
        res.check("nts_x86_autosync_sets_clock_and_exits", rc == 0 and took < 28 and exchanges >= 1,
                  "exit %s after %.1f s, %d key exchanges" % (rc, took, exchanges))
        crashes = []
        shutil.copy("%s/chronyd-good.log" % d, os.path.join(art, "nts_x86-chronyd.log"))
        for name in sorted(os.listdir(s.tmp)):
            if name.startswith("prog-") and name.endswith(".log"):
                shutil.copy(os.path.join(s.tmp, name), os.path.join(art, "nts_x86-" + name))
                with open(os.path.join(s.tmp, name), errors="replace") as f:
                    crashes += [line.strip() for line in f if "Unhandled" in line or "illegal instruction" in line]
        res.check("nts_x86_no_crash", not crashes, "; ".join(crashes[:3]))

SCENARIOS = {"nts": scenario_nts, "nts_x86": scenario_nts_x86}
