"""zelkornt as a systemd service, in a container booting a real systemd (see container.py).

One container serves every case; the cases run in the order of their numbers and each one first puts the
unit into the state it needs (installed or not, running or not), so a failure does not drag the next
ones down. Inside the container the daemon keeps a virtual clock (a drop-in gives it
ZELKOR_VIRTUAL_CLOCK in its StateDirectory), and neither it nor anything else there has CAP_SYS_TIME.

Environment: ZELKOR_BIN (the daemon; its folder is bound read-only at /opt/zelkor), ZELKOR_TOOLS (the
build folder), ZELKOR_CONTAINER_CACHE (where the root file system archive is kept), ZELKOR_TEST_BUDGET
(seconds the cases may take once the root file system is ready, default 360), ASAN_OPTIONS and
UBSAN_OPTIONS (passed to the daemon).
"""

import os
import pathlib
import platform
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import container  # noqa: E402
import test_package as package  # noqa: E402  (where the Debian package is)

BIN = os.path.abspath(os.environ.get("ZELKOR_BIN") or os.path.join(HERE, "..", "..", "build", "zelkornt"))
INSIDE_BIN = "/opt/zelkor/" + os.path.basename(BIN)
INSIDE_STAT = "/opt/zelkor/zelkorstat"
UNIT = "/etc/systemd/system/zelkor.service"
PACKAGED_UNIT = "/usr/lib/systemd/system/zelkor.service"
WANTS_LINK = "/etc/systemd/system/multi-user.target.wants/zelkor.service"
DROP_IN_DIR = "/etc/systemd/system/zelkor.service.d"
CLOCK_FILE = "/var/lib/zelkor/clock"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                     "LeakSanitizer has encountered a fatal error")


def _sanitized():
    listing = subprocess.run(["ldd", BIN], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
    return "libasan" in listing


SANITIZED = _sanitized()


def _sanitizer_environment(for_service):
    """The sanitizer options of this run, for the daemon inside. In the service LeakSanitizer cannot work:
    it needs ptrace, which the unit's system call filter refuses (it then fails the exit)."""
    env = {}
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if os.environ.get(name):
            env[name] = os.environ[name]
    if for_service and SANITIZED:
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    return env


# The container withholds CAP_SYS_TIME, for which the unit checks; the tests run it all the same.
CONDITION_DROP_IN = "[Unit]\nConditionCapability=\n"
PREVIOUS_RELEASE = "6bfc4ea"  # 1.5.0, whose package wrote the unit with "zelkornt add"


def _test_drop_in():
    lines = ["[Unit]", "ConditionCapability=", "[Service]", "StateDirectory=zelkor", f"Environment=ZELKOR_VIRTUAL_CLOCK={CLOCK_FILE}",
             "Environment=ZELKOR_CONFIG=/nonexistent"]
    lines += [f'Environment="{k}={v}"' for k, v in _sanitizer_environment(True).items()]
    return "\n".join(lines) + "\n"


c = None  # the container

# Perl inside the container (perl-base has sockets): 1440 mode-5 datagrams to 127.0.0.1:123 in seconds,
# stratum 2, each stamped 5 s ahead of the real clock (clock_gettime is system call 228 on x86_64).
BROADCASTS_5_S_AHEAD = r"""
use Socket;
socket(my $s, PF_INET, SOCK_DGRAM, 0) or die "socket: $!";
my $to = sockaddr_in(123, inet_aton("127.0.0.1"));
for my $i (1 .. 1440) {
    my $now = pack("q q", 0, 0);
    syscall(228, 0, $now) == 0 or die "clock_gettime: $!";
    my ($sec, $nsec) = unpack("q q", $now);
    my $transmit = pack("N N", $sec + 5 + 2208988800, int($nsec / 1000000) * 4294967);
    send($s, pack("C4", 0x1d, 2, 6, 0xec) . ("\0" x 36) . $transmit, 0, $to) or die "send: $!";
    select(undef, undef, undef, 0.002);  # what the receive buffer holds, never more
}
"""


def zelkornt(*args, **kwargs):
    kwargs.setdefault("check", False)
    env = dict(_sanitizer_environment(False), **kwargs.pop("env", {}))
    return c.run(INSIDE_BIN, *args, env=env, **kwargs)


def systemctl(*args, **kwargs):
    return c.run("systemctl", *args, **kwargs)


def show(*properties):
    """systemctl show zelkor.service for the properties, as a dict."""
    out = systemctl("show", "zelkor.service", "-p", ",".join(properties)).stdout
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


def exists(path):
    return c.run("test", "-e", path, check=False).returncode == 0


def read(path):
    return c.run("cat", path).stdout


def udp_123_bound():
    return any(re.search(r":123\s", line + " ") for line in c.run("ss", "-Hlun").stdout.splitlines())


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


def journal(*args):
    return c.run("journalctl", "-u", "zelkor.service", "--no-pager", "-o", "cat", *args).stdout


# -------------------------------------------------------------------------------- bringing the unit to a state

def write_drop_in(name, text):
    c.run("mkdir", "-p", DROP_IN_DIR)
    c.run("sh", "-c", f'cat > "{DROP_IN_DIR}/{name}"', input=text)


def write_drop_in_for(unit, text):
    folder = f"/etc/systemd/system/{unit}.d"
    c.run("mkdir", "-p", folder)
    c.run("sh", "-c", f'cat > "{folder}/test.conf"', input=text)
    systemctl("daemon-reload")


def uninstall():
    """No unit, no drop-ins, no service running: the state before any add (not through zelkornt)."""
    systemctl("stop", "zelkor.service", check=False, timeout=30)
    if exists(UNIT):
        systemctl("disable", "--quiet", "zelkor.service")
    c.run("rm", "-rf", UNIT, WANTS_LINK, DROP_IN_DIR)
    systemctl("daemon-reload")
    systemctl("reset-failed", "zelkor.service", check=False)


def install(running=False, extra_drop_in=None):
    """The unit installed by zelkornt add, with the test drop-in (virtual clock), stopped or running."""
    if not exists(UNIT):
        r = zelkornt("add")
        assert (r.stdout, r.returncode) == ("Service installed\n", 0), f"add failed: {r}"
    write_drop_in("test.conf", _test_drop_in())
    if extra_drop_in:
        write_drop_in("extra.conf", extra_drop_in)
    else:
        c.run("rm", "-f", f"{DROP_IN_DIR}/extra.conf")
    systemctl("daemon-reload")
    if running:
        systemctl("start", "zelkor.service", timeout=30)
    else:
        systemctl("stop", "zelkor.service", check=False, timeout=30)
        systemctl("reset-failed", "zelkor.service", check=False)


def sanitizer_reports():
    text = c.run("journalctl", "--no-pager", "-o", "cat", "_COMM=zelkornt", check=False).stdout
    return [line for line in text.splitlines() if any(m in line for m in SANITIZER_MARKERS)]


def fragment():
    """The unit file systemd loaded, links resolved (/lib is /usr/lib in Debian's tree)."""
    return c.run("readlink", "-f", show("FragmentPath")["FragmentPath"]).stdout.strip()


def apt(*args):
    return c.run("apt-get", "-y", *args, env={"DEBIAN_FRONTEND": "noninteractive"}, timeout=180)


def newer_package(deb, out):
    """The same package with the next version, to upgrade to."""
    with tempfile.TemporaryDirectory() as tree:
        for step in (["dpkg-deb", "-R", deb, tree], ["sed", "-i", "s/^Version: .*/&.1/", f"{tree}/DEBIAN/control"],
                     ["dpkg-deb", "-b", tree, out]):
            subprocess.run(step, check=True, timeout=60, capture_output=True)
    return out


# ------------------------------------------------------------------------------------------------------ cases

class ZelkorUnderSystemd(unittest.TestCase):
    maxDiff = None

    def test_01_add_installs_an_enabled_hardened_notify_unit(self):
        uninstall()
        # Run through a relative path: the unit must name the absolute path of the executable.
        r = c.run("sh", "-c", f'cd /opt/zelkor && exec ./{os.path.basename(BIN)} add', check=False,
                  env=_sanitizer_environment(False))
        self.assertEqual((r.stdout, r.returncode), ("Service installed\n", 0), r.stderr)
        self.assertEqual(r.stderr, "")

        unit = read(UNIT)
        for line in ("Description=Zelkor Time Synchronization", "Type=notify", f"ExecStart=\"{INSIDE_BIN}\"",
                     "Wants=network-online.target", "After=network-online.target", "WantedBy=multi-user.target",
                     "CapabilityBoundingSet=CAP_SYS_TIME CAP_NET_BIND_SERVICE", "ProtectSystem=strict",
                     "RuntimeDirectory=zelkor systemd/timesync", "RuntimeDirectoryPreserve=yes", "DynamicUser=yes",
                     "Restart=on-failure", "RestartPreventExitStatus=6",
                     "AmbientCapabilities=CAP_SYS_TIME CAP_NET_BIND_SERVICE",
                     "Conflicts=systemd-timesyncd.service chrony.service ntpsec.service ntp.service "
                     "openntpd.service"):
            self.assertIn(line, unit.splitlines())
        props = show("Type", "UnitFileState", "LoadState", "ActiveState", "FragmentPath")
        self.assertEqual(props, {"Type": "notify", "UnitFileState": "enabled", "LoadState": "loaded",
                                 "ActiveState": "inactive", "FragmentPath": UNIT})
        # The WantedBy link is in place, pointing at the unit.
        self.assertEqual(c.run("readlink", WANTS_LINK).stdout.strip(), UNIT)
        # add installs and enables; it does not start the service.
        self.assertEqual(systemctl("is-active", "zelkor.service", check=False).stdout.strip(), "inactive")

        verify = c.run("systemd-analyze", "verify", "--man=no", UNIT, check=False)
        self.assertEqual((verify.returncode, verify.stderr), (0, ""), verify.stdout)

        security = c.run("systemd-analyze", "security", "--no-pager", "zelkor.service", check=False)
        self.assertEqual(security.returncode, 0, security.stderr)
        overall = [ln for ln in security.stdout.splitlines() if "Overall exposure level" in ln]
        self.assertEqual(len(overall), 1, security.stdout)
        print(f"\n    systemd-analyze security: {overall[0].strip()}", flush=True)
        self.assertLessEqual(float(re.search(r"level for \S+: ([0-9.]+)", overall[0]).group(1)), 2.0)

        # Where the clock may not be set (this container), the unit skips itself.
        systemctl("start", "zelkor.service", timeout=30)
        self.assertEqual(show("ActiveState", "ConditionResult"), {"ActiveState": "inactive", "ConditionResult": "no"})

    def test_02_add_again_leaves_the_unit_as_it_is(self):
        install()
        before = read(UNIT)
        before_stat = c.run("stat", "-c", "%Y.%i.%s", UNIT).stdout
        r = zelkornt("add")
        self.assertEqual((r.stdout, r.returncode),
                         ("The service zelkor.service is already installed. (0x20000002)", 1))
        self.assertEqual(read(UNIT), before)
        self.assertEqual(c.run("stat", "-c", "%Y.%i.%s", UNIT).stdout, before_stat)
        self.assertEqual(show("UnitFileState")["UnitFileState"], "enabled")

    def test_03_start_reports_ready_and_running(self):
        install()
        c.run("rm", "-f", CLOCK_FILE)
        started = time.monotonic()
        systemctl("start", "zelkor.service", timeout=30)  # Type=notify: returns once READY=1 arrived
        elapsed = time.monotonic() - started
        self.assertLess(elapsed, 5, "start took too long: READY=1 late or missing")
        props = show("ActiveState", "SubState", "Result", "NRestarts")
        self.assertEqual(props, {"ActiveState": "active", "SubState": "running", "Result": "success",
                                 "NRestarts": "0"})
        pid = show("MainPID")["MainPID"]
        self.assertNotEqual(pid, "0")
        wait_for(udp_123_bound, 5, "UDP port 123 bound in the container")
        # Not root: a dynamic user with the two capabilities and no others (the container itself withholds
        # CAP_SYS_TIME, so only CAP_NET_BIND_SERVICE shows here).
        status = read(f"/proc/{pid}/status")
        self.assertNotEqual(re.search(r"^Uid:\s+(\d+)", status, re.M).group(1), "0")
        effective = int(re.search(r"^CapEff:\s+([0-9a-f]+)", status, re.M).group(1), 16)
        self.assertEqual(effective & ~((1 << 25) | (1 << 10)), 0)
        self.assertTrue(effective & (1 << 10))
        # The worker's own line replaces "Running"; its status file is in the RuntimeDirectory.
        wait_for(lambda: show("StatusText")["StatusText"] == "Waiting for time broadcasts", 5,
                 "the worker's status line")
        stat = c.run(INSIDE_STAT, check=False)
        self.assertEqual((stat.returncode, stat.stdout.splitlines()[0]),
                         (1, "Zelkor: not synchronised: no broadcast accepted yet"), stat.stderr)
        self.assertIn("-rw-r--r--", c.run("ls", "-l", "/run/zelkor/status").stdout)
        # The daemon took the virtual clock the drop-in gave it, inside its StateDirectory.
        wait_for(lambda: exists(CLOCK_FILE), 5, f"{CLOCK_FILE}")
        self.assertIn("increment=", read(CLOCK_FILE))

    def test_04_sighup_reports_again_and_keeps_running(self):
        install(running=True)
        pid = show("MainPID")["MainPID"]
        systemctl("kill", "--signal=SIGHUP", "zelkor.service")
        time.sleep(0.5)
        props = show("ActiveState", "SubState", "StatusText", "MainPID")
        self.assertEqual(props, {"ActiveState": "active", "SubState": "running",
                                 "StatusText": "Waiting for time broadcasts", "MainPID": pid})
        self.assertTrue(udp_123_bound())

    def test_05_a_reboot_starts_it_at_boot(self):
        install()
        self.assertEqual(show("UnitFileState")["UnitFileState"], "enabled")
        self.assertEqual(sanitizer_reports(), [])
        c.poweroff()
        c.boot()
        # Nobody started it: the WantedBy link brought it up with multi-user.target.
        props = show("ActiveState", "SubState")
        self.assertEqual(props, {"ActiveState": "active", "SubState": "running"})
        wait_for(udp_123_bound, 5, "UDP port 123 bound after the reboot")
        self.assertIn("Started zelkor.service", journal("-b"))

    def test_06_stop_ends_it_cleanly(self):
        install(running=True)
        pid = show("MainPID")["MainPID"]
        started = time.monotonic()
        systemctl("stop", "zelkor.service", timeout=30)
        elapsed = time.monotonic() - started
        self.assertLess(elapsed, 5, "stop took too long: SIGTERM not answered promptly")
        props = show("ActiveState", "SubState", "Result", "ExecMainStatus", "ExecMainCode", "ExecMainPID")
        self.assertEqual(props, {"ActiveState": "inactive", "SubState": "dead", "Result": "success",
                                 "ExecMainStatus": "0", "ExecMainCode": "1", "ExecMainPID": pid})  # 1: exited
        self.assertFalse(udp_123_bound())
        log = journal("-b")
        self.assertIn("Deactivated successfully", log)
        self.assertNotIn("Failed with result", log)
        self.assertNotIn("SIGKILL", log)

    def test_07_remove_while_running_stops_and_removes(self):
        install(running=True)
        started = time.monotonic()
        r = zelkornt("remove", timeout=30)
        elapsed = time.monotonic() - started
        print(f"\n    remove (running) took {elapsed:.2f} s, printed {r.stdout!r}", flush=True)
        self.assertEqual((r.stdout, r.returncode),
                         ("Stopping Zelkor.\nZelkor stopped.\nZelkor removed.\n", 0), r.stderr)
        self.assertFalse(exists(UNIT))
        self.assertFalse(exists(WANTS_LINK))
        self.assertEqual(show("LoadState", "ActiveState"), {"LoadState": "not-found", "ActiveState": "inactive"})
        self.assertFalse(udp_123_bound())
        self.assertNotIn("Failed with result", journal("-b"))

    def test_08_remove_waits_for_a_slow_stop_with_dots(self):
        uninstall()
        # ExecStop runs before SIGTERM is sent: the unit stays "deactivating" for 1.5 s.
        install(running=True, extra_drop_in="[Service]\nExecStop=/bin/sleep 1.5\n")
        r = zelkornt("remove", timeout=30)
        print(f"\n    remove (slow stop) printed {r.stdout!r}", flush=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertRegex(r.stdout, r"\AStopping Zelkor\.\.{1,2}\nZelkor stopped\.\nZelkor removed\.\n\Z")
        self.assertFalse(exists(UNIT))
        self.assertFalse(exists(WANTS_LINK))
        self.assertEqual(show("LoadState")["LoadState"], "not-found")
        uninstall()  # the drop-ins are the administrator's: remove leaves them

    def test_09_remove_when_stopped_or_absent(self):
        install()
        r = zelkornt("remove")
        self.assertEqual((r.stdout, r.returncode), ("Zelkor removed.\n", 0), r.stderr)
        self.assertFalse(exists(UNIT))
        r = zelkornt("remove")
        self.assertEqual((r.stdout, r.returncode), ("The service zelkor.service is not installed. (0x20000003)", 1))
        self.assertFalse(exists(UNIT))
        self.assertFalse(exists(WANTS_LINK))
        uninstall()

    def test_10_without_a_manager(self):
        uninstall()
        # No NOTIFY_SOCKET, no argument: nothing to serve, nothing printed.
        started = time.monotonic()
        r = zelkornt(env={"ZELKOR_VIRTUAL_CLOCK": "/tmp/zelkor-clock"}, timeout=10)
        self.assertEqual((r.stdout, r.stderr, r.returncode), ("", "", 0))
        self.assertLess(time.monotonic() - started, 5)
        self.assertFalse(udp_123_bound())

        # add where /run/systemd/system is missing, in a mount namespace of its own inside the container
        # (tmpfs over /run and over /etc/systemd/system): refused before anything is written.
        script = ("mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /etc/systemd/system && "
                  f"{INSIDE_BIN} add; echo \"<exit $?>\"; ls -A /etc/systemd/system")
        r = c.run("unshare", "--mount", "--propagation=private", "sh", "-c", script, check=False,
                  env=_sanitizer_environment(False))
        self.assertEqual(r.stdout, "This system is not running systemd (there is no /run/systemd/system). "
                                   "(0x20000001)<exit 1>\n", r.stderr)
        self.assertFalse(exists(UNIT))

    # A probe run by the installed unit (ExecStartPre, so under the unit's own sandbox) asks for the two
    # calls the daemon corrects the clock with, in forms that change nothing even with the capability:
    # adjtimex with modes 0 only reads, clock_settime on CLOCK_MONOTONIC is refused by the kernel with
    # EINVAL. A seccomp filter that refuses them answers EPERM instead.
    PROBE = r"""#!/usr/bin/perl
my $out = shift;
open(my $f, ">", $out) or die "$out: $!";
my $timex = "\0" x 208;
my $r = syscall(159, $timex);                      # adjtimex (x86_64)
print $f "adjtimex " . ($r >= 0 ? "ok" : "errno " . ($! + 0)) . "\n";
my $ts = pack("q q", 0, 0);
$r = syscall(227, 1, $ts);                         # clock_settime(CLOCK_MONOTONIC) (x86_64)
print $f "clock_settime " . ($r >= 0 ? "ok" : "errno " . ($! + 0)) . "\n";
close($f);
"""

    @unittest.skipUnless(platform.machine() == "x86_64", "the probe uses x86_64 system call numbers")
    def test_11_the_unit_sandbox_lets_the_clock_calls_through(self):
        uninstall()
        c.run("sh", "-c", "cat > /usr/local/sbin/zelkor-clock-probe && chmod 755 /usr/local/sbin/zelkor-clock-probe",
              input=self.PROBE)
        expected = "adjtimex ok\nclock_settime errno 22\n"
        # In a service without a filter of its own the probe gets the kernel's answers: the container lets
        # the calls through (and its missing CAP_SYS_TIME would refuse any real change).
        c.run("systemd-run", "--wait", "--quiet", "/usr/local/sbin/zelkor-clock-probe", "/tmp/zelkor-probe")
        self.assertEqual(read("/tmp/zelkor-probe"), expected)
        install(running=True,
                extra_drop_in="[Service]\nExecStartPre=-/usr/local/sbin/zelkor-clock-probe /var/lib/zelkor/probe\n")
        try:
            self.assertEqual(read("/var/lib/zelkor/probe"), expected)
        finally:
            uninstall()
            c.run("rm", "-f", "/usr/local/sbin/zelkor-clock-probe", "/var/lib/zelkor/probe", "/tmp/zelkor-probe")

    def test_12_add_from_a_folder_with_a_space_and_a_percent_sign(self):
        uninstall()
        folder = "/usr/local/lib/zelkor 100%"
        program = f"{folder}/{os.path.basename(BIN)}"
        c.run("mkdir", "-p", folder)
        c.run("cp", INSIDE_BIN, program)
        try:
            r = c.run(program, "add", check=False, env=_sanitizer_environment(False))
            self.assertEqual((r.stdout, r.returncode), ("Service installed\n", 0), r.stderr)
            install()  # the test drop-in on the unit just added
            verify = c.run("systemd-analyze", "verify", "--man=no", UNIT, check=False)
            self.assertEqual((verify.returncode, verify.stderr), (0, ""))
            systemctl("start", "zelkor.service", check=False, timeout=30)
            self.assertEqual(show("ActiveState", "SubState"), {"ActiveState": "active", "SubState": "running"})
            self.assertIn(f"path={program} ;", show("ExecStart")["ExecStart"])
        finally:
            uninstall()
            c.run("rm", "-rf", folder)

    def test_13_add_refuses_a_program_others_could_replace_or_the_sandbox_hides(self):
        uninstall()
        name = os.path.basename(BIN)
        writable = ("The program or a folder above it can be changed by users other than root; install it where "
                    "only root can write, such as /usr/local/sbin. (0x20000005)")
        hidden = ("The service cannot run a program under /home, /root, /run/user, /tmp, /var/tmp or /dev, which "
                  "its sandbox hides; install it elsewhere, such as /usr/local/sbin. (0x20000006)")
        cases = [  # (folder, how it is made, what add prints)
            ("/opt/open", "chmod 0777 /opt/open", writable),
            ("/opt/staff", "chgrp staff /opt/staff && chmod 0775 /opt/staff", writable),
            ("/opt/theirs", f"chown nobody /opt/theirs/{name}", writable),
            ("/tmp/zelkor", "true", hidden),
            ("/home/ann", "true", hidden),
        ]
        for folder, make, expected in cases:
            with self.subTest(folder=folder):
                c.sh(f"mkdir -p {folder} && cp {INSIDE_BIN} {folder}/ && {make}")
                try:
                    r = c.run(f"{folder}/{name}", "add", check=False, env=_sanitizer_environment(False))
                    self.assertEqual((r.stdout, r.returncode), (expected, 1), r.stderr)
                    self.assertFalse(exists(UNIT))
                    self.assertFalse(exists(WANTS_LINK))
                finally:
                    c.run("rm", "-rf", folder)
                    if exists(UNIT):
                        uninstall()

    def test_14_add_runs_the_systems_own_systemctl_whatever_the_path(self):
        uninstall()
        c.sh("mkdir -p /opt/decoy && printf '#!/bin/sh\\ntouch /opt/decoy/ran\\n' > /opt/decoy/systemctl && "
             "chmod 755 /opt/decoy/systemctl")
        try:
            r = zelkornt("add", env={"PATH": "/opt/decoy:" + container.INSIDE_PATH})
            self.assertEqual((r.stdout, r.returncode), ("Service installed\n", 0), r.stderr)
            self.assertFalse(exists("/opt/decoy/ran"))
            self.assertEqual(show("UnitFileState")["UnitFileState"], "enabled")
        finally:
            uninstall()
            c.run("rm", "-rf", "/opt/decoy")

    def test_15_the_dynamic_user_gets_roots_keys_file_through_a_credential(self):
        install()
        write_drop_in("zz-config.conf", "[Service]\nEnvironment=ZELKOR_CONFIG=/etc/zelkornt.ini\n")
        systemctl("daemon-reload")
        c.run("sh", "-c", "printf '[Zelkor]\\nKeys=/etc/zelkor/keys\\nTrustedKeys=1\\n' > /etc/zelkornt.ini")
        try:
            c.run("sh", "-c", "mkdir -p /etc/zelkor && printf '1 MD5 one\\n2 SHA1 two\\n' > /etc/zelkor/keys"
                  " && chmod 600 /etc/zelkor/keys")
            systemctl("restart", "zelkor.service", timeout=30)
            wait_for(lambda: "keys=1 2\n" in c.run("cat", "/run/zelkor/status", check=False).stdout, 5, "the keys")
            # A keys file others may read, or none at all, or a site file's MaxStep with a unit, is a setting
            # that cannot be used: no start, and no retry (exit status 6), the reason in the journal and in
            # the status file the stop left.
            for prepare, reason in (("chmod 640 /etc/zelkor/keys", "group or others may read or change it"),
                                    ("mkdir -p /etc/zelkor/conf.d && chmod 600 /etc/zelkor/keys && printf "
                                     "'[Zelkor]\\nMaxStep=10s\\n' > /etc/zelkor/conf.d/site.ini",
                                     'MaxStep "10s" is not a whole number of seconds of at least 3'),
                                    ("rm -rf /etc/zelkor", "it does not exist")):
                with self.subTest(reason=reason):
                    c.run("sh", "-c", prepare)
                    self.assertNotEqual(systemctl("restart", "zelkor.service", check=False, timeout=30).returncode, 0)
                    time.sleep(6)  # past RestartSec, had it restarted
                    self.assertEqual(show("ActiveState", "ExecMainStatus", "NRestarts"),
                                     {"ActiveState": "failed", "ExecMainStatus": "6", "NRestarts": "0"})
                    self.assertIn(reason, journal("-p", "err", "-n", "3"))
                    self.assertIn(reason, c.run(INSIDE_STAT, check=False).stdout)
        finally:
            c.run("rm", "-rf", "/etc/zelkor", "/etc/zelkornt.ini", f"{DROP_IN_DIR}/zz-config.conf")
            systemctl("stop", "zelkor.service", check=False, timeout=30)
            systemctl("reset-failed", "zelkor.service", check=False)
            systemctl("daemon-reload")

    def test_16_a_worker_that_cannot_set_up_fails_says_why_and_is_tried_again(self):
        install()
        # Port 123 held by a socket of systemd's own.
        c.sh("printf '[Socket]\\nListenDatagram=0.0.0.0:123\\n' > /run/systemd/system/holder.socket &&"
             " printf '[Service]\\nExecStart=/bin/sleep 600\\n' > /run/systemd/system/holder.service")
        systemctl("daemon-reload")
        systemctl("start", "holder.socket")
        try:
            started = systemctl("start", "zelkor.service", check=False, timeout=30)
            line = "Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running? [98: Address already in use]"
            self.assertNotEqual(started.returncode, 0, "a start whose worker cannot set up is no start")
            self.assertEqual(show("Result", "ExecMainStatus"), {"Result": "exit-code", "ExecMainStatus": "1"})
            self.assertIn(line, journal("-p", "err").splitlines())
            # The reason outlives the stop, for zelkorstat, as critical.
            stat = c.run(INSIDE_STAT, check=False)
            self.assertEqual(stat.returncode, 2)
            self.assertIn("Couldn't bind NTP socket", stat.stdout)
            # Tried again 5 s later, as a network that came up late would want; running once the port is free.
            systemctl("stop", "holder.socket")
            wait_for(lambda: show("ActiveState")["ActiveState"] == "active", 15, "the restart after the failure")
            self.assertGreaterEqual(int(show("NRestarts")["NRestarts"]), 1)
        finally:
            systemctl("stop", "holder.socket", check=False)
            c.run("rm", "-f", "/run/systemd/system/holder.socket", "/run/systemd/system/holder.service")
            systemctl("reset-failed", check=False)
            systemctl("daemon-reload")

    def test_17_with_service_log_its_events_reach_the_journal_and_a_day_of_broadcasts_few_lines(self):
        c.sh("printf '[Zelkor]\\nServiceLog=yes\\n' > /etc/zelkor-log.ini")
        install()
        write_drop_in("zz-log.conf", "[Service]\nEnvironment=ZELKOR_CONFIG=/etc/zelkor-log.ini\n")
        systemctl("daemon-reload")
        systemctl("start", "zelkor.service", timeout=30)
        try:
            since = c.run("date", "+%Y-%m-%d %H:%M:%S").stdout.strip()
            # 1440 broadcasts (a day at one a minute) at once, from 127.0.0.1, each 5 s ahead of real time:
            # the first steps the virtual clock, the others slew it.
            c.run("perl", "-e", BROADCASTS_5_S_AHEAD, timeout=60)
            wait_for(lambda: "datagrams_mode5=1440\n" in read("/run/zelkor/status"), 10, "every broadcast counted")
            lines = journal("--since", since, "_COMM=zelkornt").splitlines()
            print(f"\n    a day of broadcasts: {len(lines)} journal lines: {lines}", flush=True)
            self.assertLessEqual(len(lines), 36)
            notices = journal("--since", since, "-p", "notice..notice").splitlines()
            self.assertIn("Following 127.0.0.1 (stratum 2)", notices)
            self.assertTrue([l for l in notices if re.fullmatch(r"The time has been corrected by (4\.99\d|5\.00\d) "
                                                                r"seconds", l)], notices)
        finally:
            c.run("rm", "-f", "/etc/zelkor-log.ini", f"{DROP_IN_DIR}/zz-log.conf")
            systemctl("stop", "zelkor.service", check=False, timeout=30)
            systemctl("daemon-reload")

    def test_20_the_package_replaces_timesyncd_and_runs_the_service(self):
        uninstall()
        # systemd-timesyncd running first (its unit skips containers unless told otherwise).
        write_drop_in_for("systemd-timesyncd.service", "[Unit]\nConditionVirtualization=\n")
        systemctl("start", "systemd-timesyncd.service", timeout=30)
        self.assertEqual(systemctl("is-active", "systemd-timesyncd.service", check=False).stdout.strip(), "active")
        write_drop_in("container.conf", CONDITION_DROP_IN)
        shutil.copy(package.deb(), c.path("/root/zelkor.deb"))
        r = apt("install", "/root/zelkor.deb")
        lines = r.stdout.splitlines()
        shown = [l for i, l in enumerate(lines) if "REMOVED" in l or "Setting up zelkor" in l or
                 (i and "REMOVED" in lines[i - 1])]
        print("\n    apt-get install: " + " | ".join(l.strip() for l in shown), flush=True)
        self.assertNotEqual(c.run("dpkg-query", "-W", "-f=${db:Status-Status}", "systemd-timesyncd",
                                  check=False).stdout, "installed")
        self.assertEqual((show("UnitFileState")["UnitFileState"], fragment(), c.run("dpkg", "-S", PACKAGED_UNIT).stdout),
                         ("enabled", PACKAGED_UNIT, f"zelkor: {PACKAGED_UNIT}\n"))
        wait_for(lambda: show("ActiveState")["ActiveState"] == "active", 10, "zelkor.service to run")
        self.assertIn("path=/usr/sbin/zelkornt ;", show("ExecStart")["ExecStart"])
        wait_for(lambda: c.run("zelkorstat", check=False).returncode == 1, 10, "zelkorstat to read the status")
        self.assertEqual(c.run("zelkorstat", check=False).stdout.splitlines()[0],
                         "Zelkor: not synchronised: no broadcast accepted yet")
        # The unit to wait for synchronisation at boot, there for those who enable it.
        self.assertEqual(systemctl("is-enabled", "zelkor-wait-sync.service", check=False).stdout.strip(), "disabled")
        verify = c.run("systemd-analyze", "verify", "--man=no", "zelkor-wait-sync.service", "zelkor.service",
                       check=False)
        self.assertEqual((verify.returncode, verify.stderr), (0, ""), verify.stdout)

        # timedatectl knows it as the NTP service and turns it off and on.
        self.assertIn("NTP service: active", c.run("timedatectl").stdout)
        for ntp, active, enabled in (("false", "inactive", "disabled"), ("true", "active", "enabled")):
            c.run("timedatectl", "set-ntp", ntp)
            wait_for(lambda: show("ActiveState")["ActiveState"] == active, 10, f"set-ntp {ntp} to take effect")
            self.assertEqual(show("UnitFileState")["UnitFileState"], enabled)
        systemctl("mask", "zelkor.service")
        self.assertEqual(show("UnitFileState")["UnitFileState"], "masked")
        systemctl("unmask", "zelkor.service")

        # Removed, the service goes; installed again (its configuration kept), the service comes back.
        apt("remove", "zelkor")
        self.assertEqual(show("LoadState")["LoadState"], "not-found")
        apt("install", "/root/zelkor.deb")
        wait_for(lambda: show("ActiveState")["ActiveState"] == "active", 10, "zelkor.service to run again")

        c.run("rm", "-r", DROP_IN_DIR)
        apt("purge", "zelkor")
        self.assertEqual(show("LoadState")["LoadState"], "not-found")
        self.assertEqual(c.run("find", "/etc", "/var/lib/systemd", "-name", "*zelkor*").stdout, "")

    def test_21_an_upgrade_from_the_previous_release_keeps_the_keys_loading(self):
        uninstall()
        shutil.copy(container.package_of(PREVIOUS_RELEASE), c.path("/root/previous.deb"))
        newer_package(package.deb(), c.path("/root/newer.deb"))
        write_drop_in("container.conf", CONDITION_DROP_IN + "[Service]\nEnvironment=ZELKOR_CONFIG=/etc/zelkor-test.ini\n")
        c.sh("printf '[Zelkor]\\nKeys=/etc/zelkor/keys\\nTrustedKeys=1\\n' > /etc/zelkor-test.ini && mkdir -p /etc/zelkor"
             " && printf '1 MD5 one\\n2 SHA1 two\\n' > /etc/zelkor/keys && chmod 600 /etc/zelkor/keys")
        try:
            for deb, unit in (("/root/previous.deb", UNIT), ("/root/newer.deb", PACKAGED_UNIT)):
                apt("install", deb)
                wait_for(lambda: show("ActiveState")["ActiveState"] == "active", 10, f"{deb} to run the service")
                wait_for(lambda: "keys=1 2\n" in c.run("cat", "/run/zelkor/status", check=False).stdout, 5,
                         f"the keys to load under {deb}")
                self.assertEqual((fragment(), show("UnitFileState")["UnitFileState"]), (unit, "enabled"))
            self.assertFalse(exists(UNIT))
        finally:
            c.run("rm", "-rf", "/etc/zelkor", "/etc/zelkor-test.ini", DROP_IN_DIR)
            apt("purge", "zelkor")

    def test_23_an_upgrade_over_an_edited_file_fails_loudly_until_mended_never_to_a_dead_unit(self):
        uninstall()
        shutil.copy(container.package_of(PREVIOUS_RELEASE), c.path("/root/previous.deb"))
        newer_package(package.deb(), c.path("/root/newer.deb"))
        write_drop_in("container.conf", CONDITION_DROP_IN)
        noninteractive = {"DEBIAN_FRONTEND": "noninteractive"}
        try:
            apt("install", "/root/previous.deb")
            # A line 1.5.0 ignored, as an administrator writes one; this version refuses it.
            c.sh("printf 'MaxStep=10   # seconds\\n' >> /etc/zelkornt.ini")
            steps = []
            # No one to answer dpkg's question about the edited file (stdin is /dev/null); then the old file
            # kept, which this version cannot use; then the line mended.
            for argv in (["apt-get", "-y", "install", "/root/newer.deb"], ["dpkg", "--configure", "-a", "--force-confold"],
                         ["sh", "-c", "sed -i '/^MaxStep=10 /d' /etc/zelkornt.ini && dpkg --configure -a"]):
                r = c.run(*argv, check=False, env=noninteractive, timeout=180)
                steps.append((r.returncode, show("ActiveState")["ActiveState"], r.stdout + r.stderr))
            print("\n    upgrade over an edited file: " + ", ".join(f"exit {code} {state}" for code, state, _ in steps),
                  flush=True)
            (asked, _, asked_out), (refused, _, refused_out), (mended, state, _) = steps
            self.assertNotEqual(asked, 0, asked_out)
            self.assertIn("end of file on stdin at conffile prompt", asked_out)
            self.assertNotEqual(refused, 0, refused_out)
            self.assertIn('MaxStep "10   # seconds" is not a whole number of seconds', refused_out)
            self.assertEqual((mended, state, fragment()), (0, "active", PACKAGED_UNIT))
        finally:
            c.run("rm", "-rf", DROP_IN_DIR)
            apt("purge", "zelkor")

    def test_22_installed_into_an_image_it_runs_from_the_first_boot(self):
        image = container.Container(os.path.dirname(BIN))
        try:
            image.chroot("true")  # the tree, not booted
            add_lo_route_at_boot(image)
            shutil.copy(package.deb(), image.path("/root/zelkor.deb"))
            image.chroot("apt-get", "install", "-y", "/root/zelkor.deb")
            os.makedirs(image.path(DROP_IN_DIR))
            pathlib.Path(image.path(f"{DROP_IN_DIR}/container.conf")).write_text(CONDITION_DROP_IN)
            image.boot()
            state = image.run("systemctl", "show", "zelkor.service", "-p", "UnitFileState,ActiveState").stdout
            self.assertEqual(sorted(state.split()), ["ActiveState=active", "UnitFileState=enabled"])
        finally:
            image.close()

    def test_99_no_sanitizer_reports(self):
        self.assertEqual(sanitizer_reports(), [])


# The container's network is its loopback only: with a default route there the multicast join works (a
# worker whose join fails ends the service). Added at every boot, before Zelkor starts.
LO_ROUTE_UNIT = ("[Unit]\nBefore=zelkor.service\n[Service]\nType=oneshot\n"
                 "ExecStart=/sbin/ip route replace default dev lo\n[Install]\nWantedBy=multi-user.target\n")


def add_lo_route_at_boot(root):
    pathlib.Path(root.path("/etc/systemd/system/lo-route.service")).write_text(LO_ROUTE_UNIT)
    os.makedirs(root.path("/etc/systemd/system/multi-user.target.wants"), exist_ok=True)
    os.symlink("../lo-route.service", root.path("/etc/systemd/system/multi-user.target.wants/lo-route.service"))


def setUpModule():
    global c
    c = container.Container(os.path.dirname(BIN), extra_libraries_from=BIN)
    c.prepare()
    add_lo_route_at_boot(c)
    c.boot()


def tearDownModule():
    if c is not None:
        c.close()


def main():
    if os.geteuid() != 0:
        print("test_systemd needs root (systemd-nspawn, mounts, cgroups); run it as root", file=sys.stderr)
        sys.exit(2)
    if not os.access(BIN, os.X_OK):
        print(f"no daemon at {BIN}: build it or set ZELKOR_BIN", file=sys.stderr)
        sys.exit(2)
    started = time.monotonic()
    container.sweep_stale()
    container.ensure_rootfs()  # the first run builds it (about a minute); not counted in the budget
    signal.alarm(int(os.environ.get("ZELKOR_TEST_BUDGET", "360")))
    try:
        program = unittest.main(module="__main__", verbosity=2, exit=False)
    finally:
        signal.alarm(0)
        container.close_all()
    print(f"test_systemd: {time.monotonic() - started:.0f} s in all", file=sys.stderr)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
