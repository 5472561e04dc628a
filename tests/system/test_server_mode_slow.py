#!/usr/bin/env python3
"""Server mode end to end: a client-mode instance, its virtual clock 5 s behind, follows a server-mode
instance in the other namespace, and keeps polling it, since server mode never answers. The second
broadcast comes the real 64 s after the first, so this file carries the slow label."""

import re
import sys
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402

SERVER = "[ZelkorNT]\nserver=1\n"
INTERVAL_S = 64


class ServerModeTest(unittest.TestCase):
    def setUp(self):
        self.net = harness.Network()
        self.addCleanup(self.net.close)

    def test_client_follows_a_server_mode_instance_and_polls_every_broadcast(self):
        client = harness.Daemon(self.net.peer_ns, clock={"offset_ms": -5000}).start()
        self.addCleanup(client.stop)
        client.wait_bound()
        server = harness.Daemon(self.net.daemon_ns, config=SERVER).start()
        self.addCleanup(server.stop)
        first = time.monotonic()

        client.wait_line(re.compile(r"The time has been corrected by 4\.9\d\d seconds|"
                                    r"The time has been corrected by 5\.0\d\d seconds"), timeout=5)
        client.wait_line("NTP Time broadcast received from 10.77.0.1", timeout=5)
        self.assertLess(abs(client.clock_offset_ms()), 5.0, client.describe())
        self.assertEqual(client.count("Poll NTP server"), 1)

        # No answer ever comes: the delay stays unknown, so the next broadcast polls again.
        client.wait_line("NTP Time broadcast received from 10.77.0.1", count=2, timeout=INTERVAL_S + 10)
        interval = time.monotonic() - first
        self.assertGreaterEqual(interval, INTERVAL_S - 1)
        self.assertLess(interval, INTERVAL_S + 5)
        self.assertEqual(client.count("Poll NTP server"), 2)
        self.assertFalse([line for line in client.lines() if line.startswith("Offset is")], client.describe())
        self.assertEqual(server.lines(), ["Sending time broadcasts"])
        client.assert_no_sanitizer_report()
        server.assert_no_sanitizer_report()


if __name__ == "__main__":
    harness.main()
