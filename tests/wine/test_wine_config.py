#!/usr/bin/env python3
"""The Windows build's configuration under Wine: the fixed delay from the registry value
HKLM\\SYSTEM\\CurrentControlSet\\Services\\Zelkor "Offset" (only a 4-byte REG_DWORD counts), and the mode
from key server of section ZelkorNT in zelkornt.ini of the Windows folder.

`zelkornt.exe debug` runs in a Wine prefix whose wineserver lives in the daemon namespace (10.77.0.1);
broadcasts come from, and polls and broadcasts are caught in, the peer namespace (10.77.0.2). Every run
has the prefix's virtual clock."""

import os
import re
import sys
import time
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehelper  # noqa: E402
from winehelper import harness, peer  # noqa: E402

WINDOWS = (harness.Network.DAEMON_ADDR, harness.NTP_PORT)
PEER = harness.Network.PEER_ADDR
DELTA_LINE = re.compile(r"Delta is (-?\d+\.\d{3}) seconds?")
OFFSET_LINE = re.compile(r"Offset is (-?\d+\.\d{3}) seconds")
RECEIVED = f"NTP message received from {PEER} mode 5"
DONE = f"NTP Time broadcast received from {PEER}"

net = wine = probe = None


def setUpModule():
    global net, wine, probe
    net = harness.Network()
    wine = winehelper.Prefix(net.daemon_ns).boot()
    probe = winehelper.Probe(wine) if winehelper.mingw_available() else None


def tearDownModule():
    if wine is not None:
        wine.close()
    if net is not None:
        net.close()


class ConfigCase(unittest.TestCase):
    def peer_socket(self, address, port):
        """A UDP socket in the peer namespace, closed at the end of the test."""
        with harness._InNamespace(net.peer_ns):
            s = peer.udp_socket(address, port)
        self.addCleanup(s.close)
        return s

    def start_debug(self):
        wine.set_clock()  # a fresh virtual clock at offset 0
        wine.wait_udp_port_free()
        d = wine.start(wine.exe, "debug")
        self.addCleanup(d.stop)
        return d

    def handle_broadcast(self, d, sock):
        """Sends a broadcast (real time, stratum 2) from sock to the Windows client; returns the lines it
        logged handling it, from its "NTP message received" line to its "NTP Time broadcast received"."""
        before = len(d.lines())
        sock.sendto(peer.broadcast(2), WINDOWS)
        d.wait_line(DONE)
        lines = d.lines()[before:]
        end = lines.index(DONE)
        return lines[lines.index(RECEIVED):end + 1]

    def assertLines(self, d, lines, expected):
        harness.assert_lines(self, lines, expected, d)


class DelayTest(ConfigCase):
    CASES = [  # (what, .reg data, (type, bytes) as stored, the delay in use, or how an ignored one is shown)
        ("REG_DWORD 250", "dword:000000fa", (4, b"\xfa\0\0\0"), "0.250"),
        ("REG_DWORD 0", "dword:00000000", (4, b"\0\0\0\0"), "0.000"),
        ("REG_SZ 250", '"250"', (1, b"250\0"), "of type 1 and 4 bytes"),
        ("REG_QWORD 250", "hex(b):fa,00,00,00,00,00,00,00", (11, b"\xfa" + bytes(7)),
         "of type 11 and more than 4 bytes"),
        ("REG_BINARY of 4 bytes", "hex:fa,00,00,00", (3, b"\xfa\0\0\0"), "of type 3 and 4 bytes"),
        ("REG_DWORD of 3 bytes", "hex(4):fa,00,00", (4, b"\xfa\0\0"), "of type 4 and 3 bytes"),
    ]

    def test_offset_value(self):
        sock = self.peer_socket(PEER, harness.NTP_PORT)  # the broadcaster, where a poll would go
        for what, data, stored, delay in self.CASES:
            with self.subTest(what):
                wine.import_values(winehelper.SERVICE_KEY, {"Offset": data})
                if probe is not None:
                    self.assertEqual(probe.value("Offset"), stored)
                d = self.start_debug()
                d.wait_line("Listening for time broadcasts")
                d.wait_udp_port()
                # The delay is read before the socket is bound: its line (if any) is there by now.
                offsets = [l for l in d.lines() if l.startswith("Offset")]
                usable = not delay.startswith("of type")
                self.assertEqual(offsets, [f"Offset is {delay} seconds"] if usable else
                                 [f"Offset {delay} is not a count of milliseconds; the delay will be measured"],
                                 d.describe())
                lines = self.handle_broadcast(d, sock)
                if usable:
                    # The delay is added to the error, and it stands where a poll would have been sent.
                    self.assertLines(d, lines, [RECEIVED, DELTA_LINE, "Slew clock",
                                                f"Offset is {delay} seconds", DONE])
                    error = float(DELTA_LINE.fullmatch(lines[1]).group(1))
                    self.assertTrue(float(delay) - 0.015 <= error <= float(delay) + 0.001, lines[1])
                    self.assertIsNone(peer.receive(sock, 0.5), "a poll was sent with a configured delay")
                else:
                    self.assertLines(d, lines, [RECEIVED, DELTA_LINE, "Slew clock", "Poll NTP server", DONE])
                    self.assert_polled_and_measures(d, sock, answer=(what == "REG_SZ 250"))
                d.stop()

    def assert_polled_and_measures(self, d, sock, answer):
        got = peer.receive(sock, 3)
        self.assertIsNotNone(got, f"no poll arrived\n{d.describe()}")
        request, source = got
        self.assertEqual((len(request), peer.mode(request), source), (48, 3, WINDOWS))
        if answer:
            now = time.time()
            sock.sendto(peer.reply(peer.field(request, peer.TRANSMIT), now, now), source)
            measured = float(OFFSET_LINE.fullmatch(d.wait_line(OFFSET_LINE)[0]).group(1))
            self.assertTrue(-0.001 <= measured <= 0.010, measured)


class DefenceTest(ConfigCase):
    CASES = [  # (Servers .reg data, MaxStep .reg data, start-up lines, whether the broadcast is followed; None:
        # the start is refused)
        ('"10.77.0.9"', "dword:00000002",
         ["Following time broadcasts only from 10.77.0.9",
          "MaxStep 2 is not a whole number of seconds of at least 3; Zelkor does not start"], None),
        ("dword:00000001", "-", ["Servers of type 4 and 4 bytes is not a list of addresses; Zelkor does not start"],
         None),
        ('"10.77.0.9, 10.77.0.0/30"', "dword:0000000a",
         ["Following time broadcasts only from 10.77.0.9 10.77.0.0/30", "MaxStep is 10 seconds"], True),
    ]

    def test_servers_and_max_step_values(self):
        self.addCleanup(wine.import_values, winehelper.SERVICE_KEY, {"Servers": "-", "MaxStep": "-"})
        sock = self.peer_socket(PEER, harness.NTP_PORT)
        for servers, max_step, startup, followed in self.CASES:
            with self.subTest(servers=servers, max_step=max_step):
                wine.import_values(winehelper.SERVICE_KEY, {"Servers": servers, "MaxStep": max_step})
                d = self.start_debug()
                if followed is None:
                    self.assertEqual(d.wait_exit(timeout=30), 1, d.describe())
                    self.assertEqual(d.lines(), startup)
                    continue
                d.wait_line("Listening for time broadcasts")
                d.wait_udp_port()
                said = [l for l in d.lines() if l.startswith(("Servers", "MaxStep", "Following"))]
                self.assertEqual(said, startup, d.describe())
                expected = [RECEIVED, DELTA_LINE, "Slew clock", "Poll NTP server", DONE] if followed else \
                    [RECEIVED, DONE]
                self.assertLines(d, self.handle_broadcast(d, sock), expected)
                peer.drain(sock)
                d.stop()


class ModeTest(ConfigCase):
    def write_ini(self, content):
        path = os.path.join(wine.windows_folder(), "zelkornt.ini")
        with open(path, "w", newline="\r\n") as f:
            f.write(content)
        self.addCleanup(os.remove, path)

    def test_server_mode_broadcasts(self):
        self.write_ini("[ZelkorNT]\nserver=1\n")
        catcher = self.peer_socket("0.0.0.0", harness.NTP_PORT)  # before the start: the first leaves at once
        wine.set_clock(offset_ms=-5000)
        d = wine.start(wine.exe, "debug")
        self.addCleanup(d.stop)
        d.wait_line("Sending time broadcasts")
        got = peer.receive(catcher, 5)
        self.assertIsNotNone(got, f"no broadcast arrived\n{d.describe()}")
        message, (source, port) = got
        now = time.time()
        self.assertEqual(source, harness.Network.DAEMON_ADDR)
        self.assertNotEqual(port, harness.NTP_PORT)  # server mode sends from a port of the system's choice
        # 48 bytes: leap 0, version 3, mode 5, stratum 15, the transmit time, and nothing else.
        transmit = peer.field(message, peer.TRANSMIT)
        self.assertEqual(message, peer.message(0x1D, stratum=15, transmit=transmit))
        self.assertAlmostEqual(peer.unix_time(transmit) - now, -5.0, delta=0.2)
        self.assertEqual(d.count("Listening for time broadcasts"), 0)
        self.assertEqual(wine.clock()["steps"], "0")

    def test_server_zero_is_client_mode(self):
        self.write_ini("[ZelkorNT]\nserver=0\n")
        d = self.start_debug()
        d.wait_line("Listening for time broadcasts")
        d.wait_udp_port()
        self.assertEqual(d.count("Sending time broadcasts"), 0)


if __name__ == "__main__":
    winehelper.main()
