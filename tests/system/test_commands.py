#!/usr/bin/env python3
"""The command line and the choice of mode: usage text, console mode, client or server mode by the INI file,
and what server mode sends. Every run is inside a network namespace, under capsh without CAP_SYS_TIME."""

import os
import shlex
import struct
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import peer  # noqa: E402

USAGE = ("ZelkorNT add              to install the service\n"
         "ZelkorNT remove           to remove the service\n"
         "ZelkorNT debug            to run as a console application for debugging\n")


class OneShotTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.net = harness.Network()

    @classmethod
    def tearDownClass(cls):
        cls.net.close()

    def test_usage_for_anything_but_the_commands(self):
        for args in (["DEBUG"], ["Debug"], ["frobnicate"], ["--help"], ["debugx"], [""], ["ADD"],
                     ["DEBUG", "debug"]):
            with self.subTest(args=args):
                status, out, _ = harness.run_once(self.net.daemon_ns, args)
                self.assertEqual(status, 0)
                self.assertEqual(out, USAGE)

    def test_no_argument_outside_systemd_prints_nothing(self):
        status, out, _ = harness.run_once(self.net.daemon_ns, [])
        self.assertEqual((status, out), (0, ""))


class AddTest(unittest.TestCase):
    def test_add_refuses_a_folder_whose_access_list_lets_a_user_write(self):
        # Over an access list the group bits show its mask: "root's group may write" may then mean anyone it
        # names. In a mount namespace of its own, with empty /run and /etc/systemd/system, nothing is written.
        entries = [(0x01, 7, 0xFFFFFFFF), (0x02, 7, 65534), (0x04, 5, 0xFFFFFFFF), (0x10, 7, 0xFFFFFFFF),
                   (0x20, 5, 0xFFFFFFFF)]  # owner, user nobody, group, mask, other
        acl = struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)
        script = os.path.join(harness.workdir(), "add-acl.sh")
        with open(script, "w") as f:
            f.write("set -e\n"
                    "for d in /mnt /run /etc/systemd/system; do mount -t tmpfs -o mode=0755 tmpfs $d; done\n"
                    "mkdir -m 0775 /mnt/zk && cp \"$1\" /mnt/zk/zelkornt\n"
                    "python3 -c 'import os, sys; os.setxattr(\"/mnt/zk\", \"system.posix_acl_access\", "
                    "bytes.fromhex(sys.argv[1]))' \"$2\"\n"
                    "set +e\n/mnt/zk/zelkornt add; echo \"<exit $?>\"\n")
        r = subprocess.run(["capsh", "--drop=cap_sys_time", "--", "-c", shlex.join(
            ["exec", "unshare", "-m", "--propagation", "private", "sh", script, harness.daemon_binary(),
             acl.hex()])], capture_output=True, text=True, timeout=30)
        self.assertEqual(r.stdout, "The program or a folder above it can be changed by users other than root; "
                                   "install it where only root can write, such as /usr/local/sbin. (0x20000005)"
                                   "<exit 1>\n", r.stderr)


class ModeTest(unittest.TestCase):
    """Long-running console-mode daemons: which mode the configuration selects."""

    def setUp(self):
        self.net = harness.Network()
        self.addCleanup(self.net.close)

    def start(self, args=("debug",), config=None, clock=None):
        daemon = harness.Daemon(self.net.daemon_ns, args, config=config, clock=clock).start()
        self.addCleanup(daemon.stop)
        return daemon

    def test_second_argument_ignored(self):
        daemon = self.start(["debug", "server"])
        daemon.wait_line("Listening for time broadcasts")
        daemon.wait_bound()

    def test_client_mode(self):
        configs = [  # (name, INI text or None for no file, the line it adds)
            ("no file", None, []),
            ("empty file", "", []),
            ("server=0", "[ZelkorNT]\nserver=0\n", []),
            ("server key in another section", "[Zelkor]\nserver=1\n",
             ['Unknown setting "server" in [Zelkor] on line 2; it is ignored']),
        ]
        for name, config, said in configs:
            with self.subTest(config=name):
                daemon = self.start(config=config)
                daemon.wait_line("Listening for time broadcasts")
                daemon.wait_bound()
                self.assertEqual(daemon.lines(), said + ["Listening for time broadcasts"])
                daemon.stop()

    def test_server_mode_broadcasts_at_once(self):
        configs = [  # (INI text, virtual clock offset in ms)
            ("[ZelkorNT]\nserver=1\n", 0),
            ("[ZelkorNT]\nserver=2\n", 0),
            ("[ZelkorNT]\nserver=1\n", 7000),
        ]
        for config, offset_ms in configs:
            with self.subTest(config=config, offset_ms=offset_ms):
                catcher = self.net.socket(self.net.peer_ns, "0.0.0.0", 123)
                started = time.time()
                daemon = self.start(config=config, clock={"offset_ms": offset_ms})
                got = peer.receive(catcher, 2.0)
                now = time.time()
                self.assertIsNotNone(got, "no broadcast within 2 s\n" + daemon.describe())
                data, (address, port) = got
                self.assertEqual(address, "10.77.0.1")
                self.assertNotEqual(port, 123)
                self.assertEqual(len(data), 48)
                self.assertEqual(data[:40].hex(), "1d0f" + "00" * 38)
                fraction = int.from_bytes(data[44:48], "big")
                self.assertEqual(fraction % 4294967, 0, "whole milliseconds")
                # Stamped between the start and the arrival, by the virtual clock; whole ms (2 ms of slack).
                sent = peer.unix_time(data[40:48]) - offset_ms / 1000
                self.assertTrue(started - 0.002 <= sent <= now, (started, sent, now))
                daemon.wait_line("Sending time broadcasts")
                self.assertEqual(daemon.lines(), ["Sending time broadcasts"])
                self.assertNotIn(123, [p for _, p in daemon.udp_ports()], "server mode must not hold port 123")
                daemon.stop()
                catcher.close()


if __name__ == "__main__":
    harness.main()
