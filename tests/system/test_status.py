#!/usr/bin/env python3
"""What a running Zelkor tells: its status file, systemd's status line (STATUS=) and zelkorstat's verdict
and exit status, for a service following a server, a worker that failed at set-up, and a stopped one."""

import json
import os
import re
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import peer  # noqa: E402

TOOLS = os.environ.get("ZELKOR_TOOLS") or os.path.join(harness.HERE, "..", "..", "build")
ZELKORSTAT = os.path.join(TOOLS, "zelkorstat")


def zelkorstat(daemon, *args):
    """(exit status, output) of zelkorstat on the daemon's status file; --json output parsed."""
    r = subprocess.run([ZELKORSTAT, "--file", daemon.status_path, *args], capture_output=True, text=True,
                       timeout=10)
    return r.returncode, json.loads(r.stdout) if "--json" in args else r.stdout


class StatusTest(unittest.TestCase):
    def setUp(self):
        self.net = harness.Network()
        self.addCleanup(self.net.close)

    def test_a_service_following_a_server(self):
        notify = harness.NotifySocket()
        self.addCleanup(notify.close)
        responder = harness.Daemon(self.net.peer_ns).start()  # answers the delay poll at 10.77.0.2
        self.addCleanup(responder.stop)
        responder.wait_bound()
        daemon = harness.Daemon(self.net.daemon_ns, args=(), env={"NOTIFY_SOCKET": notify.path},
                                clock={"offset_ms": 0}).start()
        self.addCleanup(daemon.stop)
        notify.wait_for("READY=1")
        daemon.wait_bound()
        self.assertEqual(zelkorstat(daemon, "--json")[0], 1)  # nothing followed yet
        started = time.monotonic()
        self.assertEqual(zelkorstat(daemon, "--wait", "2")[0], 1)
        self.assertGreaterEqual(time.monotonic() - started, 2)
        waiting = subprocess.Popen([ZELKORSTAT, "--file", daemon.status_path, "--wait", "8"],
                                   stdout=subprocess.DEVNULL)
        self.addCleanup(waiting.kill)

        sock = self.net.peer_socket()
        for n in range(3):
            sock.sendto(peer.request(bytes([n]) * 8), (self.net.DAEMON_ADDR, 123))
            self.assertIsNotNone(peer.receive(sock, 2.0))
        sock.sendto(peer.broadcast(2, error=0.2), (self.net.DAEMON_ADDR, 123))
        harness.wait_until(lambda: zelkorstat(daemon, "--json")[1]["delay_source"] == "measured", 5,
                           "the measured delay in the status")
        self.assertEqual(waiting.wait(timeout=3), 0)  # as soon as it is synchronised
        status, report = zelkorstat(daemon, "--json")
        self.assertEqual(status, 0, report)
        self.assertEqual((report["verdict"], report["server"], report["stratum"], report["last_action"],
                          report["requests_answered"], report["broadcasts_accepted"], report["state"]),
                         ("Zelkor: synchronised to 10.77.0.2", "10.77.0.2", 2, "slew", 3, 1, "following"))
        self.assertAlmostEqual(report["last_delta_ms"], 200, delta=20)
        self.assertLess(report["delay_ms"], harness.DELAY_BOUND_S * 1000)
        status_lines = [m for m in notify.messages(0.5) if m.startswith("STATUS=Following")]
        self.assertRegex(status_lines[-1], r"^STATUS=Following 10\.77\.0\.2 \(stratum 2\); last correction "
                                           r"\d+\.\d\d ms \(slew\) at \d\d:\d\d:\d\d UTC; delay \d+\.\d\d ms measured$")
        print("\n  " + zelkorstat(daemon)[1].replace("\n", "\n  ") + status_lines[-1], file=sys.stderr)

        daemon.stop()
        status, report = zelkorstat(daemon, "--json")
        self.assertEqual((status, report["verdict"]),
                         (2, f"Zelkor: not running (process {report['pid']} has ended)"))

    def test_a_worker_that_failed_at_set_up(self):
        self.net.socket(self.net.daemon_ns, "0.0.0.0", 123)  # holds the port
        daemon = harness.Daemon(self.net.daemon_ns).start()
        self.addCleanup(daemon.stop)
        line = "Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?"
        daemon.wait_line(line)
        status, report = zelkorstat(daemon, "--json")
        self.assertEqual((status, report["state"], report["failure"], report["verdict"]),
                         (2, "failed", line, "Zelkor: failed: " + line))

    def test_a_second_instance_leaves_the_file_to_the_first(self):
        first = harness.Daemon(self.net.daemon_ns).start()
        self.addCleanup(first.stop)
        first.wait_bound()
        second = harness.Daemon(self.net.peer_ns, env={"ZELKOR_STATUS": first.status_path}).start()
        self.addCleanup(second.stop)
        second.wait_line(f'Status file "{first.status_path}" cannot be written: another Zelkor keeps it; '
                         "Zelkor goes on without it")
        self.assertEqual(zelkorstat(first, "--json")[1]["pid"], first.process.pid)

    def test_a_link_planted_at_the_lock_is_told_for_what_it_is(self):
        path = os.path.join(harness.workdir(), "linked-status")
        os.symlink("/etc/passwd", path + ".lock")
        daemon = harness.Daemon(self.net.daemon_ns, env={"ZELKOR_STATUS": path}).start()
        self.addCleanup(daemon.stop)
        daemon.wait_line(f'Status file "{path}" cannot be written: its lock {path}.lock is a symbolic link; '
                         "Zelkor goes on without it")

    def test_no_file_and_a_malformed_one(self):
        path = os.path.join(harness.workdir(), "status")
        cases = [(None, 2, "Zelkor: not running (there is no status file {})"),
                 ("version=2\n", 3, "Zelkor: unknown: the status file {} is malformed: its first line is not "
                                    "version=1"),
                 (b"\x00\xff" * 1000, 3, None),
                 ("x" * (1 << 20), 3, "Zelkor: unknown: the status file {} cannot be read: it is too large")]
        for content, expected, verdict in cases:
            with self.subTest(content=repr(content)[:20]):
                if content is not None:
                    with open(path, "wb") as f:
                        f.write(content.encode() if isinstance(content, str) else content)
                r = subprocess.run([ZELKORSTAT, "--file", path], capture_output=True, text=True, timeout=10)
                self.assertEqual(r.returncode, expected, r.stdout + r.stderr)
                if verdict:
                    self.assertEqual(r.stdout, verdict.format(path) + "\n")
                self.assertTrue(re.match(r"Zelkor: ", r.stdout))


if __name__ == "__main__":
    harness.main()
