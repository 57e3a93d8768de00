"""tempusd-report against a week of logs across a rotation, a soak run of the real service, and Chromium."""

import datetime
import gzip
import html.parser
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

REPORT = os.environ.get("TEMPUSD_REPORT", os.path.join(os.path.dirname(__file__), "tempusd-report"))
SYNC = "Nastapila synchronizacja zegara systemowego. Przesuniecie o  {} s."
SAMPLE = "Przekazano probke czasu serwerowi NTP. Przesuniecie o {:+.3f} s."
START = "Synchronizacja czasu rozpoczeta."
INSTALLED = "Instalacja programu obslugi zegara Horolan zakonczona pomyslnie ({})."
REMOVED = "Deinstalacja programu obslugi zegara Horolan zakonczona pomyslnie.\n"
LOST, BACK = "Utracono polaczenie z zegarem Horolan.", "Przywrocono polaczenie z zegarem Horolan."
NO_TELEGRAM = "Nie mozna odczytac zegara Horolan w przewidywanym momencie."
READ = " w trakcie odczytu informacji z zegara Horolan."
# Single failures: (minute of the week, text).
FAILURES = [(105, "Blad parzystosci" + READ), (205, "Blad synchronizacji" + READ), (305, "Blad" + READ),
            (405, "Nieoczekiwany znak" + READ), (505, "Blad sumy kontrolnej" + READ),
            (515, "Blad sumy kontrolnej" + READ), (605, "Odczytano niepewny czas z zegara Horolan."),
            (705, "Nie mozna ustawic zegara systemowego."), (8105, "Nie mozna przekazac probki czasu serwerowi NTP."),
            (8229, "Niejednoznaczny czas z zegara Horolan. Probka pominieta.")]
GARBAGE = ["line noise\n", "[31/02/2026 10:00:00]:- " + SYNC.format(1) + "\n", "[01/12/2026 10:00:00]:- Cos innego.\n"]
T0 = datetime.datetime(2026, 12, 1, 0, 0, 5)


def week():
    """(stamp, message) of a week: /T10 with a 200-min outage and two lost lines, then /N at /T1.

    Every 80 min a telegram 12 h off steps the clock and the next steps it back:
    the lines between bear stamps 12 h early."""
    at = lambda minute, seconds=0: T0 + datetime.timedelta(minutes=minute, seconds=seconds)
    diffs = [1, -3, -43000, 43000, 5, -4, 2, 4]
    log = [(at(0), START), (at(0), INSTALLED.format("/C/dev/ttyUSB0 /S /T10"))]
    for k in range(10, 8001, 10):
        if 3010 <= k < 3200:
            log.append((at(k), NO_TELEGRAM))
        elif not 6010 <= k <= 6060:
            log.append((at(k), SYNC.format(diffs[k // 10 % len(diffs)])))
    log += [(at(6005), LOST), (at(6065), BACK), (at(7005), LOST), (at(7005, 20), BACK), (at(8001), REMOVED),
            (at(8002), START), (at(8002), INSTALLED.format("/C1 /T1 /N/run/chrony.dcf.sock"))]
    log += [(at(k), SAMPLE.format((-1) ** k * 0.012 * (k % 7))) for k in range(8010, 7 * 1440, 20)]
    log += [(at(k), text) for k, text in FAILURES]
    written, moved = [], datetime.timedelta()
    for t, text in sorted(log, key=lambda e: e[0]):
        written.append((t + moved, text))
        step = int(text.split()[-2]) if text.startswith("Nastapila") else 0
        moved += datetime.timedelta(seconds=step if abs(step) > 5 else 0)
    return written


def write_files(folder, parts):
    """Writes {name: [line]}, gzip-compressed where the name says so; the paths, last name first."""
    for name, part in parts.items():
        data = "".join(part).encode()
        with open(os.path.join(folder, name), "wb") as f:
            f.write(gzip.compress(data) if name.endswith(".gz") else data)
    return [os.path.join(folder, n) for n in reversed(parts)]


def write_week(folder):
    """dcf.log, dcf.log.1 and dcf.log.2.gz as logrotate leaves them; their paths, in no order."""
    lines = [f"[{t:%d/%m/%Y %H:%M:%S}]:- {text}\n" for t, text in week()]
    return write_files(folder, {"dcf.log.2.gz": lines[:300] + GARBAGE[:1], "dcf.log.1": lines[300:700] + GARBAGE[1:],
                                "dcf.log": lines[700:]})


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=kw.pop("timeout", 120), **kw)


def summary(test, logs, *options, env=None):
    """The report's summary as {label: value}, failures as {Polish text: count}."""
    done = run([REPORT, *options, *logs], env=env)
    test.assertEqual(done.returncode, 0, done.stderr)
    fields = dict(re.findall(r"^(\S[^ ]*(?: \S+)*) {2,}(.*)$", done.stdout, re.M))
    failures = {text: int(n) for n, text in re.findall(r"^  \S.*? {2,}(\d+)   (.*)$", done.stdout, re.M)}
    return fields, failures


class Dom(html.parser.HTMLParser):
    def __init__(self, text):
        super().__init__()
        self.tags, self.ids, self.links = [], set(), []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        for name, value in attrs:
            self.ids |= {value} if name == "id" else set()
            self.links += [value] if name in ("src", "href", "xlink:href") else []


def browse(test, page):
    """The page as headless Chromium renders it: a PNG must come out; returns the DOM."""
    chromium = shutil.which("chromium")
    if not chromium:
        test.skipTest("chromium is not installed (Debian's chromium package; scripts/test.sh installs it)")
    url = "file://" + os.path.abspath(page)
    results = []
    for action in (["--screenshot=" + page + ".png", "--window-size=1400,1800"], ["--dump-dom"]):
        with tempfile.TemporaryDirectory() as profile:
            done = run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                        "--disable-background-networking", "--disable-component-update", "--disable-sync",
                        "--user-data-dir=" + profile, *action, url])
            test.assertEqual(done.returncode, 0, done.stderr[-2000:])
            results.append(done.stdout)
    with open(page + ".png", "rb") as f:
        test.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
    dom = Dom(results[1])
    test.assertIn("svg", dom.tags)
    test.assertTrue({"plot", "summary"} <= dom.ids, dom.ids)
    test.assertFalse(set(dom.tags) & {"script", "link", "img", "iframe"})
    test.assertEqual([link for link in dom.links if not link.startswith("#")], [])
    return dom


def rows(dom):
    return {i[4:] for i in dom.ids if re.fullmatch(r"row-[a-z_]+", i)}


class LogsTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.logs = write_week(self.folder)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_week_across_a_rotation(self):
        fields, failures = summary(self, self.logs)
        events = week()
        syncs = [int(text.split()[-2]) for _, text in events if text.startswith("Nastapila")]
        slews = sum(1 for d in syncs if abs(d) <= 5)
        self.assertEqual(fields["synchronisations"], f"{len(syncs)}: {slews} slews (|d| <= 5 s), "
                                                     f"{len(syncs) - slews} steps")
        step = next(t for t, text in events if text == SYNC.format(-43000))
        self.assertEqual(fields["largest step"], f"-43000 s (11 h 56 min) at {step:%d/%m/%Y %H:%M:%S}")
        self.assertEqual(fields["NTP samples"], f"{sum(1 for _, t in events if t.startswith('Przekazano'))} logged")
        expected = {}
        for _, text in events:
            expected[text] = expected.get(text, 0) + 1
        self.assertEqual(failures, {text: expected[text] for text in failures})
        self.assertEqual(set(failures), {text for _, text in FAILURES} | {NO_TELEGRAM, LOST})
        self.assertEqual(failures[NO_TELEGRAM], 19)
        self.assertEqual(fields["period"], f"01/12/2026 00:00:05 .. {events[-1][0]:%d/%m/%Y %H:%M:%S} (6 d 23 h)")
        self.assertEqual(fields["longest without synchronisation"],
                         "3 h 20 min (03/12/2026 02:00:05 .. 03/12/2026 05:20:05)")
        self.assertEqual(fields["line lost"], "2 times, 1 h 0 min in all, longest 1 h 0 min")
        self.assertEqual(fields["lines"], f"{len(events) + 3}: {len(events)} understood, 3 not understood "
                                          "(first: dcf.log.2.gz line 301)")
        self.assertEqual(fields["service"], "2 installed, 1 removed, 0 failed installations, 0 other messages")
        self.assertEqual(fields["last event"], f"{events[-1][0]:%d/%m/%Y %H:%M:%S}   {events[-1][1]}")

    def test_order_written_and_state_file(self):
        """The clock stepped back an hour across rotated files, then the counts the log leaves out."""
        line = lambda hhmm, text: f"[15/12/2026 {hhmm}:00]:- {text}\n"
        logs = write_files(self.folder, {
            "dcf.log.10": [line("10:00", START), line("10:00", INSTALLED.format("/C1 /T10")),
                           line("10:10", SYNC.format(1))],
            "dcf.log.2.gz": [line("10:20", SYNC.format(-3600))],
            "dcf.log.1": [line("09:30", SYNC.format(2)), "szum\u2028na linii\n", GARBAGE[0]],
            "dcf.log": [line("09:40", SYNC.format(1)), line("09:50", SYNC.format(1))]})
        start = datetime.datetime(2026, 12, 15, 10).timestamp()
        state = [f"tempusd_start_time_seconds {start:.0f}\n", f"tempusd_state_time_seconds {start + 3000:.0f}\n",
                 'tempusd_synchronisations_total{correction="none"} 2\n',
                 'tempusd_synchronisations_total{correction="slew"} 4\n']
        for prom, expected in [
                (None, {"not in the log": "differences of 0 and steady NTP samples: the figures above leave them out "
                                          "(no tempusd.prom read)"}),
                (state, {"synchronisations since start": "6: 2 with a difference of 0, 4 slews, 0 steps",
                         "last synchronisation": "none since the start"})]:
            if prom:
                write_files(self.folder, {"tempusd.prom": prom})
            fields, _ = summary(self, logs[:2] + logs[:1:-1])
            self.assertEqual({k: fields.get(k) for k in expected}, expected)
        self.assertEqual({k: fields[k] for k in ("files", "lines", "period", "longest without synchronisation")}, {
            "files": "dcf.log.10, dcf.log.2.gz, dcf.log.1, dcf.log", "lines": "9: 7 understood, 2 not understood "
            "(first: dcf.log.1 line 2)", "period": "15/12/2026 10:00:00 .. 15/12/2026 09:50:00 (50 min 0 s)",
            "longest without synchronisation": "10 min 0 s (15/12/2026 10:00:00 .. 15/12/2026 10:10:00)"})
        self.assertTrue(fields["last event"].startswith("15/12/2026 09:50:00 "))

    def test_page_in_chromium(self):
        page = os.path.join(self.folder, "week.html")
        summary(self, self.logs, "-o", page)
        dom = browse(self, page)
        kinds = {"no_telegram", "parity", "break", "read_error", "unexpected", "checksum", "uncertain",
                 "clock_not_set", "line_lost", "not_delivered", "ambiguous", "service"}
        self.assertEqual(rows(dom), kinds)
        self.assertIn("not-logged", dom.ids)
        self.assertEqual(len([i for i in dom.ids if re.fullmatch(r"span-no-telegram-\d+-top", i)]), 2)
        self.assertEqual(len([i for i in dom.ids if re.fullmatch(r"span-line-lost-\d+-top", i)]), 2)

    def test_errors(self):
        empty, garbage, hidden, cut = (os.path.join(self.folder, n) for n in ("empty", "garbage", "hidden", "cut.gz"))
        open(empty, "w").close()
        with open(self.logs[-1], "rb") as whole, open(cut, "wb") as f:
            f.write(whole.read()[:500])
        with open(garbage, "w") as f:
            f.writelines(GARBAGE)
        os.mkdir(hidden)
        with open(os.path.join(hidden, "matplotlib.py"), "w") as f:
            f.write("raise ImportError('hidden by the test')\n")
        without = dict(os.environ, PYTHONPATH=hidden)
        page = os.path.join(self.folder, "page.html")
        for args, env, status, text in [
                ([], None, 1, "usage:"), (["--bogus", self.logs[0]], None, 1, "usage:"),
                (["-h"], None, 0, "Exit status"), ([self.folder + "/missing"], None, 2, "missing"),
                ([empty, cut, self.logs[0]], None, 0, "empty; left out"), ([empty, cut], None, 2, "cut.gz: not a"),
                ([garbage], None, 2, "no line of tempusd's log"),
                (["-o", self.folder + "/none/page.html", *self.logs], None, 3, "no page written"),
                (self.logs, without, 0, "synchronisations"), (["-o", page, *self.logs], without, 3, "matplotlib")]:
            with self.subTest(args=args):
                done = run([REPORT, *args], env=env)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stdout + done.stderr)


class SoakTest(unittest.TestCase):
    def test_summary_agrees_with_a_soak_run(self):
        soak = os.environ.get("SOAK", "")
        if not os.access(soak, os.X_OK):
            self.skipTest("the soak run is not built (TEMPUS_BENCH=OFF or no test build)")
        out = run([soak, "--seconds", "80", "--fault-every", "80", "--keep"], timeout=300).stdout
        folder = re.search(r"logs kept in (\S+)", out).group(1)
        self.addCleanup(shutil.rmtree, folder)
        calls, slews, steps = map(int, re.search(r"clock calls (\d+): matched \d+ \(adjtime (\d+), "
                                                 r"clock_settime (\d+)", out).groups())
        logged = {text: int(n) for n, text in re.findall(r"^ +(\d+)  (\S.*)$", out, re.M)}
        page = os.path.join(folder, "soak.html")
        fields, failures = summary(self, [os.path.join(folder, "dcf.log")], "-o", page,
                                   "-s", os.path.join(folder, "before-stop.prom"))
        self.assertEqual(fields["synchronisations"], f"{calls}: {slews} slews (|d| <= 5 s), {steps} steps")
        self.assertRegex(fields["synchronisations since start"], rf"^\d+: \d+ with a difference of 0, {slews} slews, "
                                                                 rf"{steps} steps$")
        self.assertEqual(failures, {text: logged[text] for text in failures})
        self.assertTrue(failures, out)
        if LOST in logged:
            self.assertRegex(fields["line lost"], "^(once|{} times), ".format(logged[LOST]))
        self.assertEqual(len(rows(browse(self, page)) - {"service"}), len(failures))


if __name__ == "__main__":
    result = unittest.main(exit=False, argv=sys.argv).result
    everything_skipped = result.testsRun and len(result.skipped) == result.testsRun
    sys.exit(1 if not result.wasSuccessful() else 77 if everything_skipped else 0)
