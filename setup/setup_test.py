"""tempusd-setup on fake /sys, /dev and /etc trees, with fake systemctl, udevadm, tempusd, chronyc and
ntpq, probing horolan-emu's lines through the real horolan-check."""

import glob
import importlib.machinery
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import termios
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.environ.get("TEMPUSD_SETUP", os.path.join(HERE, "tempusd-setup"))
CHECK, EMU = os.environ.get("HOROLAN_CHECK"), os.environ.get("HOROLAN_EMU")
SERIAL = {"ID_VENDOR_ID": "0403", "ID_MODEL_ID": "6001", "ID_VENDOR": "FTDI", "ID_MODEL": "FT232R_USB_UART",
          "ID_SERIAL_SHORT": "A50285BI", "ID_USB_INTERFACE_NUM": "00",
          "ID_PATH": "pci-0000:00:04.0-usb-0:1:1.0"}
# One program for every command the tool runs: it logs its arguments and keeps
# the units' states in a file, as far as the tool asks.
FAKE = r'''#!/usr/bin/python3
import json, os, sys
name, args, root = os.path.basename(sys.argv[0]), sys.argv[1:], os.environ["TEMPUSD_SETUP_ROOT"]
with open(os.path.join(root, "commands.log"), "a") as log:
    log.write(" ".join([name] + args) + "\n")
if name == "systemctl":
    path = os.path.join(root, "units.json")
    units = json.load(open(path))
    names = [a for a in args[1:] if a.endswith(".service")]
    if args[0] == "show":
        print("\n\n".join(f"Id={n}\nLoadState={'loaded' if n in units else 'not-found'}\n"
                          f"UnitFileState={units.get(n, ['', ''])[0]}\nActiveState={units.get(n, ['', ''])[1]}"
                          for n in names))
    for n in names:
        enabled, active = units[n]
        if args[0] in ("enable", "disable"):
            enabled = args[0] + "d"
        if args[0] in ("start", "restart"):
            active = "active"
        if args[0] == "stop" or "--now" in args:
            active = "active" if args[0] == "enable" else "inactive"
        units[n] = [enabled, active]
    json.dump(units, open(path, "w"))
elif name == "udevadm" and args[0] == "info":
    print(open(args[-1].split("=", 1)[1] + "/udev").read(), end="")
elif name == "udevadm" and args[0] == "trigger":
    os.makedirs(os.path.join(root, "dev/term"), exist_ok=True)
    os.symlink(os.readlink(os.path.join(root, "dev", os.environ["FAKE_RECEIVER"])),
               os.path.join(root, "dev/term/a.new"))
    os.replace(os.path.join(root, "dev/term/a.new"), os.path.join(root, "dev/term/a"))
    rules, latency = (os.path.join(root, p) for p in ("etc/udev/rules.d/99-horolan.rules",
                                                      f"sys/class/tty/{os.environ['FAKE_RECEIVER']}/device/latency_timer"))
    if os.path.exists(latency) and "latency_timer" in (open(rules).read() if os.path.exists(rules) else ""):
        open(latency, "w").write("1\n")
elif name == "chronyc":
    print("MS Name/IP address  Stratum Poll Reach LastRx Last sample\n#* DCF  0  6  377  35  -12us[ -20us] +/- 1ms")
elif name == "ntpq":
    print("  remote   refid  st t when poll reach delay offset jitter\n*SHM(2)  .DCF.  0 l 35 64 377 0.000 -0.012 0.004")
'''
UNITS = {"tempusd.service": ["disabled", "inactive"], "tempusd-refclock.service": ["disabled", "inactive"],
         "chrony.service": ["enabled", "active"], "ntpsec.service": ["disabled", "inactive"]}
EMU_NEEDED = unittest.skipUnless(CHECK and EMU, "HOROLAN_CHECK and HOROLAN_EMU name the built programs")


def load_tool():
    loader = importlib.machinery.SourceFileLoader("tempusd_setup", TOOL)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


class Tree:
    """A root with the ports given to it, fake commands on PATH and the units' states."""

    def __init__(self, test, real_proc=False):
        self.root = tempfile.mkdtemp(prefix="tempusd-setup-test.")
        test.addCleanup(shutil.rmtree, self.root, True)
        self.test, self.masters = test, {}
        for d in ("sys/class/tty", "dev", "etc/udev/rules.d", "etc/chrony/conf.d", "etc/ntpsec", "bin",
                  "lib/systemd/system"):
            os.makedirs(os.path.join(self.root, d))
        if real_proc:
            os.symlink("/proc", os.path.join(self.root, "proc"))
        else:
            os.makedirs(os.path.join(self.root, "proc"))
        self.write("bin/fake", FAKE, 0o755)
        for name in ("systemctl", "udevadm", "tempusd", "chronyc", "ntpq"):
            os.symlink("fake", os.path.join(self.root, "bin", name))
        os.symlink(CHECK or "/bin/false", os.path.join(self.root, "bin", "horolan-check"))
        self.write("etc/chrony/chrony.conf", "confdir /etc/chrony/conf.d\npool 2.debian.pool.ntp.org iburst\n")
        self.write("etc/ntpsec/ntp.conf", "pool 0.debian.pool.ntp.org iburst\n")
        self.write("sys/class/tty/console/active", "tty0 ttyS0\n")
        self.write("units.json", json.dumps(UNITS))

    def write(self, path, text, mode=0o644):
        full = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(text)
        os.chmod(full, mode)

    def read(self, path):
        with open(os.path.join(self.root, path)) as f:
            return f.read()

    def port(self, name, line, driver, uart=None, props=None):
        """A port whose /dev node leads to `line`: "emu ARGS..." a receiver, "silent" a quiet line."""
        if line.startswith("emu"):
            emu = subprocess.Popen([EMU, *line.split()[1:]], stdout=subprocess.PIPE, text=True)
            self.test.addCleanup(lambda: (emu.terminate(), emu.wait()))
            line = emu.stdout.readline().strip()
        elif line == "silent":
            master, slave = os.openpty()
            self.test.addCleanup(os.close, master)
            os.set_blocking(master, False)
            self.masters[name], line = master, os.ttyname(slave)
            os.close(slave)
        rdev = os.stat(line).st_rdev
        base = f"sys/class/tty/{name}"
        self.write(base + "/dev", f"{os.major(rdev)}:{os.minor(rdev)}\n")
        self.write(base + "/udev", "".join(f"{k}={v}\n" for k, v in (props or {}).items()))
        if uart is not None:
            self.write(base + "/type", f"{uart}\n")
        os.makedirs(os.path.join(self.root, base, "device"))
        if driver == "ftdi_sio":
            self.write(base + "/device/latency_timer", "16\n")
        os.symlink(f"../../../bus/drivers/{driver}", os.path.join(self.root, base, "device/driver"))
        os.symlink(line, os.path.join(self.root, "dev", name))
        return line

    def run(self, *args, receiver="ttyUSB0"):
        env = dict(os.environ, TEMPUSD_SETUP_ROOT=self.root, FAKE_RECEIVER=receiver,
                   PATH=os.path.join(self.root, "bin") + ":/usr/bin:/bin")
        return subprocess.run([sys.executable, TOOL, "--probe-wait", "2", *args], capture_output=True,
                              text=True, env=env, timeout=120)

    def commands(self):
        try:
            return [c for c in self.read("commands.log").splitlines()
                    if not c.startswith(("systemctl show", "udevadm info"))]
        except FileNotFoundError:
            return []

    def snapshot(self):
        """Every file under etc/ and var/ and the adapters' latency timers with their content, and the units' states."""
        files = {p: open(p).read() for p in glob.glob(self.root + "/sys/class/tty/*/device/latency_timer")}
        for top in ("etc", "var"):
            for d, _, names in os.walk(os.path.join(self.root, top)):
                for n in names:
                    with open(os.path.join(d, n)) as f:
                        files[os.path.relpath(os.path.join(d, n), self.root)] = f.read()
        return files, self.read("units.json")


@EMU_NEEDED
class ProbeTest(unittest.TestCase):
    def board(self, tree, usb="emu", uart1="silent"):
        """A PC's board: ttyS0 the console, ttyS1 a UART, ttyS2 a name without one, and the FTDI adapter."""
        tree.port("ttyS0", "silent", "serial8250", uart=4)
        tree.port("ttyS1", uart1, "serial8250", uart=4)
        tree.port("ttyS2", "silent", "serial8250", uart=0)
        return tree.port("ttyUSB0", usb, "ftdi_sio", props=SERIAL)

    def test_dry_run_names_every_file_and_command_and_changes_nothing(self):
        tree = Tree(self)
        self.board(tree)
        before = tree.snapshot()
        done = tree.run("--dry-run")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        out = done.stdout
        for expected in [
            "/dev/ttyS0: not asked, the kernel's console",
            "/dev/ttyS1: no answer within 2 s\n",
            "/dev/ttyUSB0: the receiver answers: ",
            "would write /etc/udev/rules.d/99-horolan.rules\n",
            '    | SUBSYSTEM=="tty", ACTION=="add|change", ENV{ID_VENDOR_ID}=="0403", ENV{ID_MODEL_ID}=="6001", '
            'ENV{ID_SERIAL_SHORT}=="A50285BI", SYMLINK+="term/a", OWNER="root", GROUP="root", MODE="0600", '
            'TAG+="systemd", ATTR{device/latency_timer}="1"\n',
            "would run: udevadm control --reload\n"
            "  would run: udevadm trigger --action=change --subsystem-match=tty\n"
            "  would run: udevadm settle --timeout=30\n"
            "  would wait up to 30 s for /dev/term/a to lead to ttyUSB0\n",
            "would run: systemctl disable --now tempusd-refclock.service\n"
            "  would run: systemctl enable tempusd.service\n"
            "  would run: systemctl restart --no-block tempusd.service\n",
            "chrony.service (enabled, active) disciplines the clock too"]:
            self.assertIn(expected, out)
        self.assertRegex(out, r"would wait up to 1[78]\d s for tempusd /Q to exit 0\n")
        self.assertNotIn("ttyS2", out)
        self.assertEqual(tree.commands(), [])
        self.assertEqual(tree.snapshot(), before)

    def test_outcomes_of_the_probes(self):
        cases = [  # (ports: usb line, ttyS1 line), arguments, exit status, expected on stdout+stderr
            (("emu --offset 7200", "silent"), [], 2,
             "The zones differ: the receiver's time is 2 h ahead of the system clock"),
            (("emu --offset 7200", "silent"), ["--accept-offset"], 0, "Going on all the same"),
            (("silent", "emu --silent"), [], 2,
             "no receiver answered (/dev/ttyS1: no answer within 2 s; /dev/ttyUSB0: no answer within 2 s)"),
            (("emu", "emu"), [], 2, "receivers answer on /dev/ttyS1, /dev/ttyUSB0"),
            (("emu", "emu"), ["/dev/ttyS1"], 0, 'KERNEL=="ttyS1", SYMLINK+="term/a"'),
            (("emu --bad-checksum 5", "silent"), [], 2, "a damaged telegram: checksum error"),
            (("emu", "silent"), ["--mode", "chrony"], 0, "would wait up to 29"),
        ]
        for (usb, uart1), args, status, expected in cases:
            with self.subTest(usb=usb, uart1=uart1, args=args):
                tree = Tree(self)
                self.board(tree, usb, uart1)
                done = tree.run("--dry-run", *args)
                self.assertEqual(done.returncode, status, done.stdout + done.stderr)
                self.assertIn(expected, done.stdout + done.stderr)
                self.assertEqual(status == 0, "would write /etc/udev" in done.stdout)

    def test_a_port_held_open_is_neither_probed_nor_changed(self):
        tree = Tree(self, real_proc=True)
        line = tree.port("ttyUSB0", "silent", "ftdi_sio", props=SERIAL)
        fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
        settings = termios.tcgetattr(fd)
        holder = subprocess.Popen(["sleep", "60"], stdin=fd)
        os.close(fd)
        self.addCleanup(lambda: (holder.kill(), holder.wait()))
        for args, expected in [((), "no port could be asked; not asked: /dev/ttyUSB0: held open by sleep (pid"),
                               (("/dev/ttyUSB0",), "/dev/ttyUSB0 cannot be asked: held open by sleep (pid")]:
            with self.subTest(args=args):
                done = tree.run("--dry-run", *args)
                self.assertEqual(done.returncode, 2)
                self.assertIn(expected, done.stdout + done.stderr)
        listed = tree.run("--list")
        self.assertIn("not asked: held open by sleep", listed.stdout)
        self.assertRaises(BlockingIOError, os.read, tree.masters["ttyUSB0"], 16)  # nothing was asked
        fd = os.open(line, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        self.assertEqual(termios.tcgetattr(fd), settings)


@EMU_NEEDED
class ChangeTest(unittest.TestCase):
    def test_each_mode_is_set_up_confirmed_and_undone(self):
        modes = [("clock", {}, ["systemctl enable tempusd.service", "tempusd /Q"]),
                 ("chrony", {"etc/chrony/conf.d/tempusd.conf":
                             "refclock SOCK /run/chrony.dcf.sock refid DCF poll 6 filter 1 precision 1e-3 "
                             "offset 0.0\n"},
                  ["systemctl restart chrony.service", "systemctl enable tempusd-refclock.service",
                   "chronyc -n sources"]),
                 ("ntpsec", {"etc/ntpsec/ntp.conf": "refclock shm unit 2 refid DCF time1 0.000\n",
                             "etc/systemd/system/tempusd-refclock.service.d/tempusd-setup.conf":
                             "ExecStart=/usr/sbin/tempusd /C1 /T1 /N2\n"},
                  ["systemctl daemon-reload", "systemctl restart ntpsec.service", "ntpq -pn"])]
        for mode, written, commands in modes:
            with self.subTest(mode=mode):
                tree = Tree(self)
                tree.port("ttyUSB0", "emu", "ftdi_sio", props=SERIAL)
                tree.write("etc/udev/rules.d/99-horolan.rules", "# the admin's own\n")
                before = tree.snapshot()
                done = tree.run("--mode", mode)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertIn("(the old one kept as 99-horolan.rules.bak)", done.stdout)
                self.assertIn("The clock is kept", done.stdout)
                self.assertEqual(tree.read("etc/udev/rules.d/99-horolan.rules.bak"), "# the admin's own\n")
                self.assertIn('SYMLINK+="term/a"', tree.read("etc/udev/rules.d/99-horolan.rules"))
                for path, line in written.items():
                    self.assertIn(line, tree.read(path))
                for command in commands:
                    self.assertIn(command, tree.commands())
                again = tree.run("--mode", mode)
                self.assertEqual(again.returncode, 1)
                self.assertIn("take that back first: tempusd-setup --undo", again.stderr)

                undone = tree.run("--undo")
                self.assertEqual(undone.returncode, 0, undone.stdout + undone.stderr)
                self.assertEqual(tree.snapshot(), before)

    def test_needs_root_and_says_so_before_touching_anything(self):
        if os.geteuid() != 0:
            self.skipTest("run as root")
        tree = Tree(self)
        tree.port("ttyUSB0", "silent", "ftdi_sio", props=SERIAL)
        env = dict(os.environ, TEMPUSD_SETUP_ROOT=tree.root, PATH=os.path.join(tree.root, "bin") + ":/usr/bin")
        # A copy nobody can read: the clone may lie in a folder nobody cannot enter.
        staged = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, staged)
        os.chmod(staged, 0o755)
        tool = shutil.copy(TOOL, staged)
        os.chmod(tool, 0o755)
        done = subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/python3",
                               tool], capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertIn("needs root", done.stderr)
        self.assertEqual(tree.commands(), [])


class RuleTest(unittest.TestCase):
    def test_the_rule_goes_by_what_tells_the_port_apart(self):
        tool = load_tool()

        def port(name, **props):
            p = tool.Port(name)
            p.props = dict(SERIAL, **props)
            return p

        second_interface = port("ttyUSB1", ID_USB_INTERFACE_NUM="01", ID_PATH="pci-0000:00:04.0-usb-0:1:1.1")
        cases = [  # the port, the others present, the rule's match keys
            (port("ttyUSB0"), [], 'ENV{ID_SERIAL_SHORT}=="A50285BI"'),
            (port("ttyUSB0"), [second_interface],
             'ENV{ID_SERIAL_SHORT}=="A50285BI", ENV{ID_USB_INTERFACE_NUM}=="00"'),
            (port("ttyUSB0"), [port("ttyUSB1", ID_PATH="pci-0000:00:04.0-usb-0:2:1.0")],
             'ENV{ID_PATH}=="pci-0000:00:04.0-usb-0:1:1.0"'),
            (port("ttyUSB0", ID_SERIAL_SHORT="00000000"), [], 'ENV{ID_PATH}=="pci-0000:00:04.0-usb-0:1:1.0"'),
            (port("ttyUSB0", ID_SERIAL_SHORT='A5"0'), [], 'ENV{ID_PATH}=="pci-0000:00:04.0-usb-0:1:1.0"'),
            (tool.Port("ttyS1"), [], 'KERNEL=="ttyS1"'),
        ]
        for p, others, expected in cases:
            with self.subTest(expected=expected):
                keys, _ = tool.rule_match(p, [p] + others)
                self.assertEqual(", ".join(f'{k}=="{v}"' for k, v in keys).endswith(expected), True, keys)
        with self.assertRaises(tool.Failure):
            tool.rule_match(port("ttyUSB0", ID_SERIAL_SHORT="", ID_PATH=""), [])


if __name__ == "__main__":
    unittest.main()
