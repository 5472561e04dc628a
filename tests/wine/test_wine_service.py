#!/usr/bin/env python3
"""The Windows build as a service under Wine's own service control manager: add, start, interrogate,
stop, remove, and their texts and exit codes; the status reports the service makes, read from Wine's
service trace (every SetServiceStatus call with all its fields); the DACL "add" applies.

One Wine prefix for the file, its wineserver in the daemon namespace of a harness.Network, so the
service's port 123 is that namespace's and a peer namespace can talk to it. The service runs with this
prefix's virtual clock (winehelper: the variable is a registry environment variable, which is how a
service started by services.exe gets it)."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading
import time
import unittest
import zipfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehelper  # noqa: E402
from winehelper import harness, peer  # noqa: E402

# Full control for SYSTEM and Administrators; authenticated users may only query and interrogate.
DACL = "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;AU)"
OWN_PROCESS, ACCEPT_STOP = 0x10, 0x1
START_PENDING_REPORT = (OWN_PROCESS, winehelper.START_PENDING, 0, 0, 0, 0, 3000)
RUNNING_REPORT = (OWN_PROCESS, winehelper.RUNNING, ACCEPT_STOP, 0, 0, 0, 0)
STOP_PENDING_REPORT = (OWN_PROCESS, winehelper.STOP_PENDING, ACCEPT_STOP, 0, 0, 1, 3000)
ERROR_SERVICE_EXISTS, ERROR_SERVICE_DOES_NOT_EXIST = 1073, 1060
NOT_INSTALLED = f"failed=OpenServiceA error={ERROR_SERVICE_DOES_NOT_EXIST}"  # what the probe says then
PACKAGING = os.path.join(winehelper.HERE, "..", "..", "packaging")

net = wine = probe = None


def setUpModule():
    global net, wine, probe
    if not winehelper.mingw_available():
        raise unittest.SkipTest(f"needs {winehelper.MINGW_CC} for the probe")
    net = harness.Network()
    wine = winehelper.Prefix(net.daemon_ns).boot()
    probe = winehelper.Probe(wine)


def tearDownModule():
    if wine is not None:
        wine.run(wine.exe, "remove")  # an installed auto-start service would start with the next server
        wine.close()
    if net is not None:
        net.close()


def statuses(events):
    return [e[1] for e in events if e[0] == "status"]


class ServiceCase(unittest.TestCase):
    def setUp(self):
        self.addCleanup(lambda: wine.run(wine.exe, "remove"))

    def zelkornt(self, *args, **kw):
        return wine.run(wine.exe, *args, **kw)

    def assertOutput(self, result, stdout, code):
        self.assertEqual((result.stdout, result.returncode), (stdout, code),
                         f"stderr: {winehelper.text(result.stderr)[-1000:]}")

    def error_output(self, code):
        """What a failing command prints: the system's own text for code (as FormatMessageA gives it
        here) without its line end, then the code in hex; no line end after it."""
        message = probe.message(code)
        self.assertIsNotNone(message, f"Wine has no text for {code}")
        return f"{message} (0x{code:x})".encode("latin-1")

    def sc_state(self):
        out = winehelper.text(wine.run("sc", "query", "Zelkor").stdout)
        m = re.search(r"STATE\s*:\s*(\d+)", out)
        return int(m.group(1)) if m else None

    def install(self):
        # The C runtime's text-mode standard output ends lines with CR LF, under Wine as on Windows.
        self.assertOutput(self.zelkornt("add"), b"Service installed\r\n", 0)

    def start_service(self):
        """sc start; returns the status reports the service made while starting."""
        wine.wait_udp_port_free()
        mark = wine.trace_size()
        result = wine.run("sc", "start", "Zelkor")
        self.assertEqual(result.returncode, 0, winehelper.text(result.stdout + result.stderr))
        events = wine.wait_service_events(mark, lambda ev: winehelper.RUNNING in [s[1] for s in statuses(ev)])
        self.assertEqual(len(wine.service_processes()), 1)
        return events


class InstallTest(ServiceCase):
    def test_add_and_remove_texts_codes_and_configuration(self):
        self.install()
        config = probe.config()
        self.assertEqual(config, {
            "type": "0x10",  # own process
            "start": "2",  # automatic
            "error": "1",  # normal
            "binary": winehelper.windows_path(wine.exe),
            # Wine's QueryServiceConfig leaves the dependencies out; the registry value below has them.
            "dependencies": "",
            "display": "Zelkor Time Synchronization",
            "account": "LocalSystem",
        })
        depends = probe.value("DependOnService")
        self.assertEqual(depends, (7, b"Tcpip\0\0"))  # REG_MULTI_SZ: one name
        self.assertEqual(probe.value("Description"),
                         (1, b"Keeps this computer's clock in step with the SNTP time broadcasts on the local network.\0"))
        self.assertEqual(self.sc_state(), winehelper.STOPPED)

        # A second add fails with the system's text and changes nothing.
        self.assertOutput(self.zelkornt("add"), self.error_output(ERROR_SERVICE_EXISTS), 1)
        self.assertEqual(probe.config(), config)
        self.assertEqual(probe.value("DependOnService"), depends)

        self.assertOutput(self.zelkornt("remove"), b"Zelkor removed.\r\n", 0)
        gone = probe("config", "Zelkor")
        self.assertEqual(gone, NOT_INSTALLED)
        self.assertOutput(self.zelkornt("remove"), self.error_output(ERROR_SERVICE_DOES_NOT_EXIST), 1)

    def test_add_refuses_a_program_in_a_folder_ordinary_users_can_write(self):
        # Wine gives a folder of mode 0777 an entry granting Everyone write access.
        folder = os.path.join(wine.path, "drive_c", "open")
        os.mkdir(folder)
        os.chmod(folder, 0o777)
        program = os.path.join(folder, "zelkornt.exe")
        shutil.copy(wine.exe, program)
        result = wine.run(program, "add")
        self.assertOutput(result, b"Users other than administrators can change the program or a folder above it; "
                          b"install it where only administrators can write, such as C:\\Program Files\\Zelkor. "
                          b"(0x20000005)", 1)
        self.assertEqual(probe("config", "Zelkor"), NOT_INSTALLED)

    def test_add_applies_the_dacl(self):
        # Wine's SetServiceObjectSecurity is a stub that keeps nothing, and its QueryServiceObjectSecurity
        # gives a fixed empty DACL: what "add" applies is read from a relay trace of its calls instead.
        result = self.zelkornt("add", env={"WINEDEBUG": "+relay"}, timeout=120)
        self.assertEqual((result.stdout, result.returncode), (b"Service installed\r\n", 0))
        trace = winehelper.text(result.stderr)
        created = re.search(r"Ret  advapi32\.CreateServiceA\(\) retval=([0-9a-f]+)", trace)
        self.assertIsNotNone(created, "no CreateServiceA in the relay trace")
        convert = re.search(r"Call advapi32\.ConvertStringSecurityDescriptorToSecurityDescriptorA\([0-9a-f]+ "
                            r"\"([^\"]*)\",00000001,", trace)
        self.assertIsNotNone(convert, "no ConvertStringSecurityDescriptorToSecurityDescriptorA call")
        self.assertEqual(convert.group(1), DACL)
        self.assertRegex(trace[convert.end():], r"^[^\n]*\n(?:.*\n)*?[0-9a-f]+:Ret  advapi32\."
                         r"ConvertStringSecurityDescriptorToSecurityDescriptorA\(\) retval=00000001")
        applied = re.search(r"Call advapi32\.SetServiceObjectSecurity\(([0-9a-f]+),([0-9a-f]+),[0-9a-f]+\)",
                            trace)
        self.assertIsNotNone(applied, "no SetServiceObjectSecurity call")
        # On the service just created, its DACL (DACL_SECURITY_INFORMATION = 4), after the conversion.
        self.assertEqual((applied.group(1), int(applied.group(2), 16)), (created.group(1), 4))
        self.assertGreater(applied.start(), convert.start())
        self.assertRegex(trace, r"Ret  advapi32\.SetServiceObjectSecurity\(\) retval=00000001")
        # Should this Wine keep descriptors after all, what it keeps must be the one applied.
        kept = probe("security", "Zelkor")
        if kept != "sddl=D:":
            self.assertEqual(kept, "sddl=" + DACL)


class CycleTest(ServiceCase):
    def test_start_interrogate_stop_and_remove_while_running(self):
        self.install()
        wine.set_clock(offset_ms=-5000)

        # Start: one START_PENDING (wait hint 3000, check-point 0, accepting nothing), then RUNNING.
        events = self.start_service()
        self.assertEqual(statuses(events), [START_PENDING_REPORT, RUNNING_REPORT])
        self.assertEqual(self.sc_state(), winehelper.RUNNING)
        self.assertEqual(probe.status(), {"type": 0x10, "state": winehelper.RUNNING, "controls": ACCEPT_STOP,
                                          "exit": 0, "service_exit": 0, "checkpoint": 0, "waithint": 0})
        self.assert_serves_virtual_time(-5.0)

        # Interrogation: the handler gets control 4 and reports the last state again, wait hint 0.
        mark = wine.trace_size()
        self.assertEqual(probe.status("interrogate")["state"], winehelper.RUNNING)
        events = wine.wait_service_events(mark, lambda ev: len(statuses(ev)) >= 1)
        self.assertEqual(events, [("control", winehelper.CONTROL_INTERROGATE), ("status", RUNNING_REPORT)])

        # "add" while it runs: the error, and the running service untouched.
        pid = wine.service_processes()
        mark = wine.trace_size()
        self.assertOutput(self.zelkornt("add"), self.error_output(ERROR_SERVICE_EXISTS), 1)
        self.assertEqual((self.sc_state(), wine.service_processes()), (winehelper.RUNNING, pid))
        self.assertEqual(wine.service_events(mark)[0], [])

        # Stop: control 1, STOP_PENDING (check-point 1, wait hint 3000), then STOPPED, quickly.
        mark = wine.trace_size()
        began = time.monotonic()
        result = wine.run("sc", "stop", "Zelkor")
        self.assertEqual(result.returncode, 0, winehelper.text(result.stdout))
        events = wine.wait_service_events(
            mark, lambda ev: winehelper.STOPPED in [s[1] for s in statuses(ev)], timeout=5)
        stopped_after = time.monotonic() - began
        self.assertEqual(events[:2], [("control", winehelper.CONTROL_STOP), ("status", STOP_PENDING_REPORT)])
        self.assertEqual(len(events), 3, events)
        final = events[2][1]
        self.assertEqual((final[0], final[1], final[3], final[4], final[5], final[6]),
                         (OWN_PROCESS, winehelper.STOPPED, 0, 0, 0, 0))
        self.assertLess(stopped_after, 2.0)
        harness.wait_until(lambda: not wine.service_processes(), 5, "the service process to end")
        self.assertEqual(self.sc_state(), winehelper.STOPPED)

        # Started again and removed while running: stopped first, with no dots (it stops within 1 s).
        self.start_service()
        mark = wine.trace_size()
        self.assertOutput(self.zelkornt("remove"),
                          b"Stopping Zelkor.\r\nZelkor stopped.\r\nZelkor removed.\r\n", 0)
        self.assertEqual(statuses(wine.service_events(mark)[0])[0], STOP_PENDING_REPORT)
        harness.wait_until(lambda: not wine.service_processes(), 5, "the service process to end")
        self.assertEqual(probe("config", "Zelkor"), NOT_INSTALLED)
        # The service ran on the virtual clock all along (nothing asked it to step).
        self.assertEqual(wine.clock()["steps"], "0")

    def test_removed_while_starting_it_is_stopped_not_left_running(self):
        # The start still pending (no control accepted yet) when "remove" asks it to stop: asked again.
        self.install()
        wine.wait_udp_port_free()
        starting = winehelper.WineProcess(wine, ["sc", "start", "Zelkor"], "sc-start")
        time.sleep(0.05)
        removed = self.zelkornt("remove")
        starting.wait_exit(60)
        self.assertEqual((removed.returncode, self.sc_state()), (0, None), winehelper.text(removed.stdout))
        harness.wait_until(lambda: not wine.service_processes(), 5, "the service process to end")

    def assert_serves_virtual_time(self, offset_s):
        """The running service answers a client request from the peer namespace with its virtual time."""
        sock = net.peer_socket()
        sent = peer.timestamp(time.time())
        reply = None
        for _ in range(20):  # the listener may still be binding: up to 20 tries, 0.25 s each
            sock.sendto(peer.request(sent), (harness.Network.DAEMON_ADDR, harness.NTP_PORT))
            got = peer.receive(sock, 0.25)
            if got is not None:
                reply = got[0]
                break
        self.assertIsNotNone(reply, "the service never answered a client request")
        now = time.time()
        self.assertEqual((len(reply), peer.mode(reply), reply[peer.STRATUM]), (48, 4, 15))
        self.assertEqual(peer.field(reply, peer.ORIGINATE), sent)
        self.assertAlmostEqual(peer.unix_time(peer.field(reply, peer.TRANSMIT)) - now, offset_s, delta=0.2)


class StopUnderLoadTest(ServiceCase):
    def test_twenty_stops_while_broadcasts_arrive(self):
        # Every broadcast steps the clock, so a stop can find the worker correcting it or saving the clock
        # file as well as in its receive: it must end there only while it waits, and so never hang.
        self.install()
        wine.set_clock(offset_ms=0)
        sender = net.peer_socket()
        streaming = threading.Event()
        streaming.set()

        def stream():
            for n in range(1_000_000):
                if not streaming.is_set():
                    break
                sender.sendto(peer.broadcast(2, error=3.0 if n % 2 else -3.0),
                              (harness.Network.DAEMON_ADDR, harness.NTP_PORT))
                time.sleep(0.002)

        thread = threading.Thread(target=stream)
        thread.start()
        self.addCleanup(lambda: (streaming.clear(), thread.join()))
        took = []
        for n in range(20):
            steps = int(wine.clock().get("steps", 0))
            self.start_service()
            harness.wait_until(lambda: int(wine.clock()["steps"]) > steps, 10, "a step by the service")
            time.sleep(n % 5 * 0.02)
            mark = wine.trace_size()
            began = time.monotonic()
            self.assertEqual(wine.run("sc", "stop", "Zelkor").returncode, 0)
            wine.wait_service_events(mark, lambda ev: winehelper.STOPPED in [s[1] for s in statuses(ev)],
                                     timeout=3)
            took.append(time.monotonic() - began)
            harness.wait_until(lambda: not wine.service_processes(), 5, "the service process to end")
        print(f"\n    20 stops under broadcasts: {min(took):.2f} .. {max(took):.2f} s", file=sys.stderr)
        self.assertLess(max(took), 3.0)


class EventLogTest(ServiceCase):
    SOURCE = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\Zelkor"

    def test_a_set_up_failure_stops_the_service_with_its_code_and_reaches_the_event_log(self):
        self.install()
        # add made the program the Event Log's source of Zelkor's messages.
        self.assertEqual(probe.value("EventMessageFile", self.SOURCE),
                         (2, winehelper.windows_path(wine.exe).encode() + b"\0"))
        self.assertEqual(probe.value("TypesSupported", self.SOURCE), (4, (7).to_bytes(4, "little")))
        holder = net.socket(net.daemon_ns, "0.0.0.0", harness.NTP_PORT)  # the port held
        mark = wine.trace_size()
        self.assertEqual(wine.run("sc", "start", "Zelkor").returncode, 0)
        events = wine.wait_service_events(mark, lambda ev: winehelper.STOPPED in [s[1] for s in statuses(ev)])
        # Stopped with ERROR_SERVICE_SPECIFIC_ERROR and the code of a network failure, 1.
        self.assertEqual(statuses(events)[-1][1:5], (winehelper.STOPPED, ACCEPT_STOP, 1066, 1))
        self.assertEqual((probe.status()["exit"], probe.status()["service_exit"]), (1066, 1))
        self.assertIn((190, "Couldn't bind NTP socket. (10048)  Is Zelkor or Ombrix running?"),  # a failure's ID
                      wine.reported_events(mark))
        holder.close()
        self.assertOutput(self.zelkornt("remove"), b"Zelkor removed.\r\n", 0)
        self.assertIsNone(probe.value("TypesSupported", self.SOURCE))  # remove took the source away

    def test_a_refused_setting_is_a_failed_start_with_code_6(self):
        # Never reported running: START_PENDING, then STOPPED with 1066 and code 6; the reason as a failure.
        for value, line in (
                ('"10s"', "MaxStep of type 1 and 4 bytes is not a whole number of seconds of at least 3; "
                          "Zelkor does not start"),
                ("dword:00000002", "MaxStep 2 is not a whole number of seconds of at least 3; Zelkor does not start")):
            with self.subTest(value=value):
                self.install()
                wine.import_values(winehelper.SERVICE_KEY, {"MaxStep": value})
                mark = wine.trace_size()
                self.assertEqual(wine.run("sc", "start", "Zelkor").returncode, 0)
                events = wine.wait_service_events(mark, lambda ev: winehelper.STOPPED in [s[1] for s in statuses(ev)])
                harness.wait_until(lambda: not wine.service_processes(), 5, "the service process to end")
                final = probe.status()
                self.assertEqual(([s[1] for s in statuses(events)], final["exit"], final["service_exit"]),
                                 ([winehelper.START_PENDING, winehelper.STOPPED], 1066, 6))
                self.assertIn((190, line), wine.reported_events(mark))
                self.zelkornt("remove")

    def test_start_step_and_stop_are_told_under_their_own_event_ids(self):
        self.install()
        wine.import_values(winehelper.SERVICE_KEY, {"ServiceLog": "dword:00000001"})
        wine.set_clock(offset_ms=0)
        mark = wine.trace_size()
        self.start_service()
        net.peer_socket().sendto(peer.broadcast(2, error=3.0), (harness.Network.DAEMON_ADDR, harness.NTP_PORT))
        harness.wait_until(lambda: wine.clock()["steps"] == "1", 10, "a step by the service")
        self.assertEqual(wine.run("sc", "stop", "Zelkor").returncode, 0)
        wine.wait_service_events(mark, lambda ev: winehelper.STOPPED in [s[1] for s in statuses(ev)])
        told = wine.reported_events(mark)
        # Start, step (by the broadcast's error, give or take the delay), server followed, stop.
        self.assertEqual([i for i, _ in told], [100, 110, 120, 101], told)
        self.assertRegex(told[1][1], r"^The time has been corrected by (2\.9|3\.0)\d\d seconds$")
        self.assertEqual(told[2:], [(120, "Following 10.77.0.2 (stratum 2)"), (101, "Zelkor stops")])


class StatusTest(ServiceCase):
    def test_the_service_keeps_its_status_where_zelkorstat_reads_it(self):
        self.install()
        wine.set_clock(offset_ms=0)
        self.start_service()

        def zelkorstat():
            result = wine.run(wine.stat_exe, "--json")
            return result.returncode, json.loads(winehelper.text(result.stdout))

        harness.wait_until(lambda: os.path.exists(wine.status_path), 10, "the status file under ProgramData")
        harness.wait_until(lambda: zelkorstat()[1]["state"] == "waiting", 10, "the listener to wait")
        status, report = zelkorstat()
        self.assertEqual((status, report["mode"], report["verdict"]),
                         (1, "client", "Zelkor: not synchronised: no broadcast accepted yet"))
        net.peer_socket().sendto(peer.broadcast(2, error=0.3), (harness.Network.DAEMON_ADDR, harness.NTP_PORT))
        harness.wait_until(lambda: zelkorstat()[0] == 0, 10, "zelkorstat to see the server followed")
        status, report = zelkorstat()
        self.assertEqual((report["verdict"], report["stratum"], report["last_action"]),
                         ("Zelkor: synchronised to 10.77.0.2", 2, "slew"))
        self.assertAlmostEqual(report["last_delta_ms"], 300, delta=50)

    def test_precise_time_runs_on_the_virtual_clock_and_is_refused_on_wines_own(self):
        # Wine 8 has GetSystemTimePreciseAsFileTime but neither GetSystemTimeAdjustmentPrecise nor
        # SetSystemTimeAdjustmentPrecise: zelkorstat, which judges on the system's clock, refuses the start.
        # The service runs on the virtual clock, which has every precise call; Winsock 1.1 gives no receive
        # stamps, so its arrivals are reads.
        self.install()
        wine.import_values(winehelper.SERVICE_KEY, {"PreciseTime": "dword:00000001"})
        result = wine.run(wine.stat_exe, "--check-config")
        self.assertEqual(result.returncode, 6)
        self.assertIn("PreciseTime needs the system's precise clock calls (a read in nanoseconds beside a raw clock, "
                      "a rate at full resolution), which it lacks; Zelkor does not start", winehelper.text(result.stdout))
        wine.set_clock(offset_ms=0)
        self.start_service()

        def status():
            return harness.read_clock(wine.status_path) if os.path.exists(wine.status_path) else {}

        harness.wait_until(lambda: status().get("state") == "waiting", 10, "the listener to wait")
        self.assertEqual((status()["discipline"], status()["receive_stamps"]), ("precise", "read"))
        net.peer_socket().sendto(peer.broadcast(2, error=0.3), (harness.Network.DAEMON_ADDR, harness.NTP_PORT))
        harness.wait_until(lambda: status().get("last_action") == "slew", 10, "the precise discipline's slew")
        self.assertEqual(float(wine.clock()["rate_ppm"]), 500.0)  # the phase at the rate's bound


class MsiTest(ServiceCase):
    """The MSI given settings, upgraded, failing, and Windows Time (a stand-in: Wine has none)."""

    def setUp(self):
        super().setUp()
        self.dist = os.environ.get("ZELKOR_DIST") or os.path.join(winehelper.HERE, "..", "..", "dist")
        found = [f for f in os.listdir(self.dist) if f.endswith(".msi")] if os.path.isdir(self.dist) else []
        self.assertEqual(len(found), 1, f"no one MSI in {self.dist}: run scripts/package")
        self.msi, self.version = os.path.join(self.dist, found[0]), found[0].split("-")[1]
        self.folder = os.path.join(wine.path, "drive_c", "Program Files", "Zelkor")
        wine.run("sc", "create", "w32time", "binpath=", "C:\\windows\\notepad.exe", "start=", "demand")

    def msiexec(self, *args):
        self.addCleanup(lambda: wine.run("msiexec", "/x", args[1], "/qn", timeout=180))
        result = wine.run("msiexec", *args, "/qn", timeout=180)
        return result.returncode, winehelper.text(result.stdout + result.stderr)

    def build(self, version, change=lambda wxs: wxs):
        """The MSI of the dist zip's files, built with another version (and the wxs text changed)."""
        with zipfile.ZipFile(os.path.join(self.dist, f"zelkor-{self.version}-windows-x64.zip")) as z:
            z.extractall(wine.dir)
        pathlib.Path(wine.dir, "zelkor.wxs").write_text(change(pathlib.Path(PACKAGING, "zelkor.wxs").read_text()))
        subprocess.run([os.path.join(PACKAGING, "build-msi"), version, f"zelkor-{self.version}", f"{version}.msi",
                        "zelkor.wxs"], cwd=wine.dir, check=True, capture_output=True, timeout=120)
        return os.path.join(wine.dir, f"{version}.msi")

    def state(self):
        # Wine's msiexec may return while the service it started or stopped is still pending.
        harness.wait_until(lambda: self.sc_state() not in (winehelper.START_PENDING, winehelper.STOP_PENDING),
                           30, "the service's state to settle", interval=0.2)
        ini = os.path.join(wine.windows_folder(), "zelkornt.ini")
        return ({n: probe.value(n) for n in ("Offset", "MaxStep", "BroadcastKey", "ServiceLog", "Servers", "Keys",
                                             "TrustedKeys", "RateLimit", "Respond", "PreciseTime")},
                pathlib.Path(ini).read_bytes() if os.path.exists(ini) else b"", self.sc_state(),
                probe.value("Start", key=r"SYSTEM\CurrentControlSet\Services\W32Time")[1][0])

    def test_settings_as_properties_kept_by_an_upgrade_and_windows_time_given_back(self):
        # Settings the service can use, or it would refuse to start: the keys they name exist.
        keys = os.path.join(wine.path, "drive_c", "Zelkor", "keys")
        os.makedirs(os.path.dirname(keys), exist_ok=True)
        pathlib.Path(keys).write_text("1 MD5 one\n2 MD5 two\n7 MD5 seven\n")
        self.addCleanup(shutil.rmtree, os.path.dirname(keys), True)
        code, out = self.msiexec("/i", self.msi, "SERVERS=10.1.2.3,10.9.0.0/16", "MAXSTEP=10", "OFFSET=250",
                                 "KEYS=C:\\Zelkor\\keys", "TRUSTEDKEYS=1,2", "BROADCASTKEY=7", "SERVERMODE=1",
                                 "RATELIMIT=off", "RESPOND=0", "PRECISETIME=0")
        self.assertEqual(code, 0, out)
        settings = {"Offset": (4, b"\xfa\0\0\0"), "MaxStep": (4, b"\x0a\0\0\0"), "BroadcastKey": (4, b"\x07\0\0\0"),
                    "ServiceLog": (4, b"\x01\0\0\0"), "Servers": (1, b"10.1.2.3,10.9.0.0/16\0"),
                    "Keys": (1, b"C:\\Zelkor\\keys\0"), "TrustedKeys": (1, b"1,2\0"), "RateLimit": (1, b"off\0"),
                    "Respond": (4, b"\0\0\0\0"), "PreciseTime": (4, b"\0\0\0\0")}
        ini = b"[ZelkorNT]\r\nserver=1\r\n"
        self.assertEqual(self.state(), (settings, ini, winehelper.RUNNING, 4))  # w32time disabled
        self.assertEqual(sorted(os.listdir(self.folder)), ["LICENSE.txt", "README.txt", "zelkornt.exe", "zelkorstat.exe"])

        # A newer version keeps every setting (MaxStep found, not the default; the one given again changes)
        # and the service runs.
        code, out = self.msiexec("/i", self.build("9.9.9"), "RATELIMIT=4,8")
        self.assertEqual(code, 0, out)
        self.assertEqual(self.state(), (dict(settings, RateLimit=(1, b"4,8\0")), ini, winehelper.RUNNING, 4))

        mark = wine.trace_size()
        code, out = self.msiexec("/x", os.path.join(wine.dir, "9.9.9.msi"))
        self.assertEqual(code, 0, out)
        # What the service was told and reported during the uninstall, should it be left behind.
        self.assertEqual(self.state(), ({n: None for n in settings}, b"[ZelkorNT]\r\n", None, 3),
                         wine.service_events(mark)[0])
        self.assertFalse(os.path.exists(self.folder))

    def test_a_setting_the_service_would_refuse_fails_the_install_before_anything_is_written(self):
        untouched = self.state()
        # Each refused by the package's zelkorstat (which Wine lets print to msiexec's output; PreciseTime on,
        # as Wine lacks the precise rate calls), but values the MSI cannot write as a number (the lenient
        # Offset's, "no" for PreciseTime): by its launch condition (no text here).
        for given, reason in (("MAXSTEP=2", 'MaxStep "2" is not a whole number of seconds of at least 3'),
                              ("SERVERS=10.1.2.3/0", 'Servers entry "0.0.0.0/0" admits most of the Internet'),
                              ("RESPOND=2", 'Respond "2" is not yes or no'),
                              ("PRECISETIME=1", "PreciseTime needs the system's precise clock calls"),
                              ("OFFSET=250ms", ""), ("PRECISETIME=x", ""), ("PRECISETIME=no", "")):
            with self.subTest(given=given):
                code, out = self.msiexec("/i", self.msi, given)
                self.assertNotEqual(code, 0, out)
                self.assertIn(reason, out)
                self.assertEqual(self.state(), untouched)
                self.assertFalse(os.path.exists(os.path.join(self.folder, "zelkornt.exe")))

        # Nothing given: MaxStep 60, RateLimit "2 16", the service log on, Respond left out; the status
        # folder goes with the uninstall.
        code, out = self.msiexec("/i", self.msi)
        self.assertEqual(code, 0, out)
        defaults = dict(untouched[0], MaxStep=(4, b"\x3c\0\0\0"), RateLimit=(1, b"2 16\0"),
                        ServiceLog=(4, b"\x01\0\0\0"))
        self.assertEqual(self.state()[::2], (defaults, winehelper.RUNNING))
        harness.wait_until(lambda: os.path.exists(wine.status_path), 10, "the status file under ProgramData")
        code, out = self.msiexec("/x", self.msi)
        self.assertEqual((code, self.state()[2]), (0, None), out)
        self.assertFalse(os.path.exists(os.path.dirname(wine.status_path)))

    def test_a_failed_install_leaves_no_service_and_windows_time_as_it_was(self):
        # A step after "add" and the change to Windows Time that fails: reg.exe asked for a key not there.
        code, out = self.msiexec("/i", self.build(self.version, lambda wxs: wxs.replace(
            "<InstallExecuteSequence>", '<CustomAction Id="Fail" Property="ZELKOR_REG" ExeCommand="query HKLM\\None" '
            'Execute="deferred" Impersonate="no" Return="check" /><InstallExecuteSequence><Custom Action="Fail" '
            'Sequence="5950" />')))
        self.assertNotEqual(code, 0, out)
        self.assertEqual(self.state()[2:], (None, 3))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "zelkornt.exe")))


class VersionRecordTest(unittest.TestCase):
    def test_the_executable_carries_its_version_record(self):
        with open(winehelper.windows_binary(), "rb") as f:
            image = f.read()
        # VS_FIXEDFILEINFO: signature, structure version, then file and product version 1.7.0.0.
        fixed = bytes.fromhex("bd04effe00000100") + (bytes.fromhex("07000100") + bytes(4)) * 2
        self.assertIn(fixed, image)
        for key, value in (("FileVersion", "1.7.0.0"), ("ProductVersion", "1.7.0.0"),
                           ("FileDescription", "zelkornt"), ("InternalName", "zelkornt"),
                           ("OriginalFilename", "zelkornt.exe"), ("ProductName", "zelkor time synchronization")):
            with self.subTest(key=key):
                entry = key.encode("utf-16-le") + b"\0\0"
                at = image.find(entry)
                self.assertGreaterEqual(at, 0, key)
                # The value follows the key, aligned to 32 bits.
                rest = image[at + len(entry):at + len(entry) + 4 + 2 * len(value) + 2]
                self.assertIn(value.encode("utf-16-le") + b"\0\0", rest, key)


class ConsoleTest(ServiceCase):
    def test_no_argument_from_a_console_prints_nothing(self):
        # Not started by the service manager: the dispatcher gives up (after ~10 s under Wine), exit 0.
        began = time.monotonic()
        result = self.zelkornt(timeout=60)
        self.assertOutput(result, b"", 0)
        self.assertLess(time.monotonic() - began, 30)


if __name__ == "__main__":
    winehelper.main()
