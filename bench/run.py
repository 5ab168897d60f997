#!/usr/bin/env python3
"""Runs every benchmark program once and prints the README's performance table in Markdown.

  bench/run.py [--quick] BUILD_DIR

Expects what scripts/bench (or scripts/test, for ctest) prepares: the Wine prefix, display
and wine server in the environment (WINEPREFIX, DISPLAY, WINEDLLOVERRIDES, ORVANE_WINE) and
the test server started on BUILD_DIR/bin/httpserver. Each program measures its figures beside
their baselines in the same run; every cell of the table is set against its baseline. The
programs' own lines go to standard error, the table to standard output. --quick runs each
program with a handful of iterations (the figures then mean little: it keeps them working).
Exits non-zero when a program fails or a figure is missing.
"""
import datetime, os, platform, re, subprocess, sys, tempfile, time

FULL = {
    "scardsim_wakeup": ["300"],
    "monitor_latency": ["300", "50"],
    "control_latency": ["300", "200"],
    "removal_latency": ["100"],
    "exchange_bench": ["20", "1000", "100"],
    "shell_shutdown": ["15"],
}
QUICK = {
    "scardsim_wakeup": ["10"],
    "monitor_latency": ["10", "4"],
    "control_latency": ["10", "4"],
    "removal_latency": ["4"],
    "exchange_bench": ["2", "20", "4"],
    "shell_shutdown": ["2"],
}
ORDER = ["scardsim_wakeup", "monitor_latency", "control_latency", "removal_latency", "exchange_bench", "shell_shutdown"]

LATENCY = re.compile(r"^(?P<key>[\w-]+): (?P<what>.*) over (?P<n>\d+) runs: median (?P<med>[\d.]+) us, "
                     r"p95 (?P<p95>[\d.]+) us, max (?P<max>[\d.]+) us$")
VALUE = re.compile(r"^(?P<key>[\w-]+): (?P<text>.*)$")


class Missing(Exception):
    pass


class Figures:
    """One program's report: latencies (key -> (median, p95, max, runs), microseconds) and
    other lines (key -> text)."""

    def __init__(self, program, output):
        self.program = program
        self.latency, self.value = {}, {}
        for line in output.splitlines():
            line = line.strip()
            m = LATENCY.match(line)
            if m:
                self.latency[m["key"]] = (float(m["med"]), float(m["p95"]), float(m["max"]), int(m["n"]))
                continue
            m = VALUE.match(line)
            if m:
                self.value[m["key"]] = m["text"]

    def lat(self, key):
        if key not in self.latency:
            raise Missing("%s printed no figure %r" % (self.program, key))
        return self.latency[key]

    def val(self, key):
        if key not in self.value:
            raise Missing("%s printed no line %r" % (self.program, key))
        return self.value[key]


def ms(us):
    """Microseconds as milliseconds, to a sensible precision."""
    v = us / 1000.0
    if abs(v) >= 100:
        return "%.0f ms" % v
    if abs(v) >= 10:
        return "%.1f ms" % v
    if abs(v) >= 1:
        return "%.2f ms" % v
    return "%.3f ms" % v


def signed(us):
    return ("+" if us >= 0 else "\N{MINUS SIGN}") + ms(abs(us))


def ratio(a, b):
    return "%.2f" % (a / b) if b > 0 else "n/a"


def spread(f):
    return "median %s, p95 %s, max %s" % (ms(f[0]), ms(f[1]), ms(f[2]))


def against(measured, baseline, name):
    """The measured figures beside the baseline's, with the differences (median and p95)."""
    return ("%s; %s, same run: %s; difference %s at the median, %s at p95 (ratio of the medians %s)" %
            (spread(measured), name, spread(baseline), signed(measured[0] - baseline[0]),
             signed(measured[1] - baseline[1]), ratio(measured[0], baseline[0])))


def phases(figures, parts):
    """'label m (s %)' for each phase, the share of the sum of the phases' medians."""
    meds = [(label, figures.lat(key)[0]) for key, label in parts]
    whole = sum(m for _, m in meds) or 1.0
    return ", ".join("%s %s (%d %%)" % (label, ms(m), round(100.0 * m / whole)) for label, m in meds)


REQUEST_PHASES = [("arguments", "arguments, PIN copy, URL and site lock"),
                  ("checks", "card checks"),
                  ("acquisition", "card type, provider and its context"),
                  ("pin", "PIN to the card"),
                  ("certificate", "certificate"),
                  ("send", "open and send, to the status"),
                  ("reads", "reads and close"),
                  ("handoff", "hand-off"),
                  ("conversion", "conversion to the page's string")]


def request_phases(figures, key):
    """A request's whole time, its card operations and its phases (medians; a phase that took no
    time is named with 0)."""
    ops = re.match(r"service (\d+)\.\.(\d+), provider (\d+)\.\.(\d+), reads (\d+)", figures.val(key + "-ops"))
    if not ops:
        raise Missing("%s: unreadable line %r" % (figures.program, key + "-ops"))

    def span(low, high):
        return low if low == high else "%s to %s" % (low, high)

    text = "%s; per request %s service calls, %s provider calls, %s reads; phases (medians): " % (
        spread(figures.lat(key + "-whole")), span(ops.group(1), ops.group(2)), span(ops.group(3), ops.group(4)),
        ops.group(5))
    return text + phases(figures, [(key + "-" + phase, label) for phase, label in REQUEST_PHASES])


def counts(text):
    """'handles 47 -> 47, memory 10 KiB -> 12 KiB' as 'handles 47 → 47 (+0), memory 10 → 12 KiB (+2)'."""
    def one(m):
        a, b = int(m.group(1)), int(m.group(3))
        return "%s \N{RIGHTWARDS ARROW} %s%s (%+d)" % (a, b, m.group(4) or "", b - a)
    return re.sub(r"(\d+)( KiB)? -> (\d+)( KiB)?", one, text)


def table(r, args):
    def prog(name):
        return "`%s.exe %s`" % (name, " ".join(args[name]))

    rows = []
    s, m, c, x, e, h = (r["scardsim_wakeup"], r["monitor_latency"], r["control_latency"], r["removal_latency"],
                        r["exchange_bench"], r["shell_shutdown"])
    rows.append(("simulated service: a blocked status-change wait wakes after an insertion or removal",
                 prog("scardsim_wakeup"),
                 against(s.lat("wakeup"), s.lat("handoff"), "a bare event hand-off between two threads")
                 + " (the service's shared state, lock and wake-up over the plain event)"))
    rows.append(("card monitor: insertion or removal to the subclass hook", prog("monitor_latency"),
                 against(m.lat("hook"), m.lat("wakeup"), "the bare wake-up above")))
    rows.append(("card monitor: `RequestStop` to the end of the worker", "same",
                 against(m.lat("stop"), m.lat("cancel"),
                         "`SCardCancel` to the end of a bare thread blocked in the wait")))
    idle = re.match(r".*worker ([\d.]+) ms, bare blocked thread ([\d.]+) ms", m.val("idlecpu"))
    if not idle:
        raise Missing("monitor_latency: unreadable idle line")
    rows.append(("card monitor: worker CPU time while nothing changes", "same",
                 "%s ms over 2 s, a bare thread blocked in the service's wait %s ms in the same 2 s "
                 "(difference %+.1f ms: it blocks in the service's wait)" %
                 (idle.group(1), idle.group(2), float(idle.group(1)) - float(idle.group(2)))))
    rows.append(("control hosted in `AtlAxWin`: insertion or removal to the page sink's `ReportSCardEvent`",
                 prog("control_latency"),
                 against(c.lat("event"), c.lat("wakeup"), "the bare wake-up")
                 + " (the monitor, the posted message and the firing)"))
    rows.append(("control: create-activate-destroy cycles in the container", "same", counts(c.val("cycles"))))
    rows.append(("shell: a card pulled from the recorded reader to `VsmDisconnectAllSessions` in the real "
                 "`Ambrel.exe` (SDK stand-in's counter)", prog("removal_latency"),
                 against(x.lat("shell"), x.lat("wakeup"), "the bare wake-up") + "; phases (medians): "
                 + phases(x, [("shell-attach", "removal to the SDK's `DllMain` (wake-up, registry read, load)"),
                              ("shell-lookup", "rest of the load and 3 `GetProcAddress`"),
                              ("shell-calls", "`VsmInitialize` to `VsmDisconnectAllSessions`")])))
    rows.append(("shell: the same with its monitor in-process (real `LoadLibraryW` path), where the time goes",
                 "same",
                 against(x.lat("inproc"), x.lat("wakeup"), "the bare wake-up") + "; phases (medians): "
                 + phases(x, [("inproc-wake", "wake-up of the monitor's wait"),
                              ("inproc-dispatch", "states compared"),
                              ("inproc-registry", "registry read of the hand-off"),
                              ("inproc-load", "`LoadLibraryW` of the SDK"),
                              ("inproc-lookup", "3 `GetProcAddress`"),
                              ("inproc-calls", "`VsmInitialize` to `VsmDisconnectAllSessions`")])))
    rows.append(("control: a card pulled after a successful request to the end of "
                 "`InternetSetOptionW(INTERNET_OPTION_END_BROWSER_SESSION)`", "same",
                 against(x.lat("tls"), x.lat("wakeup"), "the bare wake-up") + "; phases (medians): "
                 + phases(x, [("tls-wake", "wake-up of the monitor's wait"),
                              ("tls-post", "states compared, event posted"),
                              ("tls-start", "to the call"),
                              ("tls-call", "the call itself")])))
    b1, c1 = e.lat("bare1m"), e.lat("control1m")
    rows.append(("control: `ReadHttpDataFromUrl` of 1 MiB over HTTP beside a bare WinINet read loop of the same "
                 "URL (a card the control used before)", prog("exchange_bench"),
                 "%s against the bare loop's %s: ratio of the medians %s, difference %s" %
                 (spread(c1), spread(b1), ratio(c1[0], b1[0]), signed(c1[0] - b1[0]))))
    rows.append(("control: where the time of that 1 MiB goes, phase by phase, beside the bare loop's", "same",
                 request_phases(e, "phases1m") + "; the bare loop: open and send to the answer's headers %s, "
                 "the reads of 4096 bytes and the close %s; the bare loop keeping the body in a string of its "
                 "length, whole: %s; a new string of 1 M characters (2 MiB) for the page allocated (Wine zeroes "
                 "it): %s" % (ms(e.lat("bare1m-send")[0]), ms(e.lat("bare1m-reads")[0]), ms(e.lat("bare1m-kept")[0]),
                              ms(e.lat("string2m")[0]))))
    for t, name in (("http", "HTTP"), ("https", "HTTPS (TLS)")):
        kept, close, ctl = e.lat(t + "-keepalive"), e.lat(t + "-close"), e.lat(t + "-control")
        rows.append(("small requests over %s: a new connection per request (`Connection: close`, what a rule of "
                     "no pooled connection costs) beside the bare loop that keeps its connection" % name, "same",
                     "%s against %s: %s per request at the median (ratio %s), %s at p95; %s" % (spread(close), spread(kept), signed(close[0] - kept[0]), ratio(close[0], kept[0]),
                             signed(close[1] - kept[1]), e.val(t + "-connections"))))
        rows.append(("control: small `ReadHttpDataFromUrl` over %s (a card used before) beside the bare loop that "
                     "opens a new connection per request, and the one that keeps it" % name, "same",
                     "%s against %s: %s per request at the median (ratio %s); against the keep-alive loop %s" %
                     (spread(ctl), spread(close), signed(ctl[0] - close[0]), ratio(ctl[0], close[0]),
                      signed(ctl[0] - kept[0]))))
    rows.append(("control: where the time of a small request over HTTP goes (a card used before)", "same",
                 request_phases(e, "phases-later")))
    rows.append(("control: the first small request of a card (pulled, put back and its PIN set before each): "
                 "where the time goes", "same", request_phases(e, "phases-first")))
    for key, which in (("slow-first", "the first small request of a card"),
                       ("slow-later", "a small request of a card used before")):
        rows.append(("a card that answers like a real one (30 ms per provider operation, 5 ms per service call, "
                     "the stand-ins' delays): %s" % which, "same", request_phases(e, key)))
    rows.append(("control: many small `ReadHttpDataFromUrl` calls after 50 to warm up", "same",
                 counts(e.val("calls"))))
    rows.append(("shell: end of the browser's last run to the end of `Ambrel.exe`", prog("shell_shutdown"),
                 against(h.lat("shutdown"), h.lat("bare"), "a bare process's end (the stand-in started directly)")
                 + " (the rest of the 500 ms pause after a start, the monitor's stop, process exit; the window keeper "
                   "ends as soon as it is told)"))
    lines = ["| what | program | result |", "|---|---|---|"]
    lines += ["| %s | %s | %s |" % row for row in rows]
    return "\n".join(lines)


def machine(build):
    arch = os.environ.get("ORVANE_ARCH") or ("x86_64" if os.path.basename(os.path.normpath(build)) == "x64" else "i686")
    variant = ("x86_64 (the 64-bit test variant)" if arch == "x86_64" else "i686 (the shipped 32-bit build)")
    cpu = "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        wine = subprocess.run([os.environ.get("ORVANE_WINE", "wine"), "--version"], capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        wine = "Wine"
    try:
        with open("/etc/debian_version") as f:
            debian = "Debian " + f.read().strip()
    except OSError:
        debian = platform.system()
    return variant, "%d cores, %s, %s, %s, %s" % (os.cpu_count() or 0, cpu, platform.machine(), wine, debian)


def main():
    argv = sys.argv[1:]
    quick = "--quick" in argv
    argv = [a for a in argv if a != "--quick"]
    if len(argv) != 1:
        sys.exit(__doc__)
    build = argv[0]
    bindir = os.path.join(build, "bin")
    wine = os.environ.get("ORVANE_WINE", "wine")
    args = QUICK if quick else FULL
    results, failed = {}, []
    started = time.time()
    for name in ORDER:
        t0 = time.time()
        # Files, not pipes: a process the program started (the shell's browser) may outlive it.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                code = subprocess.run([wine, name + ".exe"] + args[name], cwd=bindir, stdin=subprocess.DEVNULL,
                                      stdout=out, stderr=err, timeout=600).returncode
            except subprocess.TimeoutExpired:
                code = "time-out"
            out.seek(0)
            err.seek(0)
            output = out.read().decode(errors="replace").replace("\r", "")
            sys.stderr.write(err.read().decode(errors="replace").replace("\r", ""))
        for line in output.splitlines():
            sys.stderr.write("%s: %s\n" % (name, line))
        sys.stderr.write("%s: exit %s after %.1f s\n" % (name, code, time.time() - t0))
        if code != 0:
            failed.append(name)
        results[name] = Figures(name, output)
    variant, box = machine(build)
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    print("Run of `scripts/bench%s` on %s (UTC), variant %s, on %s; %.0f s in all." %
          (" --quick" if quick else "", date, variant, box, time.time() - started))
    print()
    try:
        print(table(results, args))
    except Missing as e:
        failed.append(str(e))
    if failed:
        sys.stderr.write("bench: failed: %s\n" % ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
