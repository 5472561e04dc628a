#!/usr/bin/env python3
"""Client mode's listener and responder, over real UDP between two network namespaces.

The daemon runs `zelkornt debug` in one namespace (10.77.0.1); requests come from the other (10.77.0.2)."""

import math
import random
import re
import socket
import sys
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import peer  # noqa: E402

DAEMON = (harness.Network.DAEMON_ADDR, 123)
MS_UNIT = 4294967  # the daemon's wire fraction for one millisecond


def wire_ms(ts):
    """Unix milliseconds of one of the daemon's whole-millisecond timestamps, or fail if it is not one."""
    seconds = int.from_bytes(ts[:4], "big")
    fraction = int.from_bytes(ts[4:], "big")
    if fraction % MS_UNIT or fraction // MS_UNIT > 999:
        raise AssertionError(f"timestamp {ts.hex()} is not whole milliseconds of {MS_UNIT}")
    return (seconds - peer.SECONDS_1900_TO_1970) * 1000 + fraction // MS_UNIT


class ResponderTest(unittest.TestCase):
    """One daemon answers every request in this class; each test matches its replies by originate."""

    @classmethod
    def setUpClass(cls):
        cls.net = harness.Network()
        cls.daemon = harness.Daemon(cls.net.daemon_ns).start().wait_bound()
        cls.sock = cls.net.peer_socket()

    @classmethod
    def tearDownClass(cls):
        try:
            cls.daemon.stop()
        finally:
            cls.net.close()

    def exchange(self, payload, to=DAEMON, sock=None):
        """Sends payload, returns (reply, sender, real time before sending, real time after the reply)."""
        sock = sock or self.sock
        peer.drain(sock)
        before = time.time()
        sock.sendto(payload, to)
        got = peer.receive(sock, 2.0)
        after = time.time()
        self.assertIsNotNone(got, f"no reply to {payload.hex()}\n{self.daemon.describe()}")
        return got[0], got[1], before, after

    def test_reply_fields(self):
        # Every field of the request but flags, poll and transmit is junk the reply must not echo.
        request = bytes.fromhex("23 03 06 ec 11111111 22222222 41424344"
                                "3333333333333333 4444444444444444 5555555555555555"
                                "deadbeef01234567")
        reply, sender, before, after = self.exchange(request)
        self.assertEqual(sender, DAEMON)
        self.assertEqual(len(reply), 48)
        self.assertEqual(reply[:16].hex(), "240f06f8" "00000000" "00000000" "4c4f434c")
        self.assertEqual(reply[24:32].hex(), "deadbeef01234567", "originate = the request's transmit")
        self.assertEqual(reply[16:24], reply[40:48], "reference = transmit")
        receive, transmit = wire_ms(reply[32:40]), wire_ms(reply[40:48])
        self.assertLessEqual(receive, transmit)
        self.assertGreaterEqual(receive, before * 1000 - 50)
        self.assertLessEqual(transmit, after * 1000 + 50)

    def test_answer_leaves_from_the_address_asked(self):
        # A host with several addresses answers from the one the request was sent to, or a client that
        # checks the reply's source (as Zelkor's own delay poll does) would throw the answer away.
        self.net.add_address(self.net.daemon_ns, "10.77.0.3")
        for address in ("10.77.0.3", "10.77.0.1", "10.77.0.3"):
            with self.subTest(address=address):
                reply, sender, _, _ = self.exchange(peer.request(address.encode()[:8].ljust(8, b"-")),
                                                    to=(address, 123))
                self.assertEqual(sender, (address, 123))

    def test_timestamps_never_precede_the_request(self):
        # Receive is read after the request left, transmit before the reply arrived. On the wire a reading
        # keeps its millisecond or loses one (ms x 4294967 read back over 2^32 - 1 truncates low), so in
        # whole milliseconds receive >= floor(sent) - 1 and transmit <= floor(arrived), every time.
        early, late = [], []
        for i in range(200):
            transmit = i.to_bytes(8, "big")
            reply, _, before, after = self.exchange(peer.request(transmit))
            self.assertEqual(reply[24:32], transmit)
            receive_ms, transmit_ms = wire_ms(reply[32:40]), wire_ms(reply[40:48])
            if receive_ms < math.floor(before * 1000) - 1:
                early.append((receive_ms, before * 1000))
            if transmit_ms > math.floor(after * 1000):
                late.append((transmit_ms, after * 1000))
        if early or late:
            self.fail(f"{len(early)}/200 receive timestamps before the request was sent, e.g. (wire ms, real ms) "
                      f"{early[:3]}; {len(late)}/200 transmit timestamps after the reply arrived, e.g. {late[:3]}")

    def test_version_copied_leap_and_mode_set(self):
        cases = [  # (request byte 0, reply byte 0)
            (0x23, 0x24),  # version 4
            (0x1B, 0x1C),  # version 3
            (0x13, 0x14),  # version 2
            (0x0B, 0x0C),  # version 1
            (0x03, 0x04),  # version 0
            (0x3B, 0x3C),  # version 7
            (0xE3, 0x24),  # leap 3 from the client is not echoed
            (0x63, 0x24),  # leap 1
        ]
        for i, (flags, expected) in enumerate(cases):
            with self.subTest(flags=hex(flags)):
                transmit = bytes([0xA0, i]) + bytes(6)
                reply, _, _, _ = self.exchange(peer.request(transmit, flags=flags))
                self.assertEqual(reply[0], expected)
                self.assertEqual(reply[24:32], transmit)

    def test_poll_copied(self):
        for poll in (10, 0, 4, 17, 127, 255):
            with self.subTest(poll=poll):
                reply, _, _, _ = self.exchange(peer.request(bytes([0xB0, poll]) + bytes(6), poll=poll))
                self.assertEqual(reply[2], poll)

    def test_long_datagram_answered_from_first_48_bytes(self):
        request = peer.request(bytes.fromhex("0102030405060708"), poll=10) + bytes.fromhex("ff" * 12)
        self.assertEqual(len(request), 60)
        reply, _, _, _ = self.exchange(request)
        self.assertEqual(len(reply), 48)
        self.assertEqual(reply[:4].hex(), "240f0af8")
        self.assertEqual(reply[24:32].hex(), "0102030405060708")

    def test_only_whole_requests_are_answered(self):
        # A reply must never be larger than what asked for it: 1 to 47 bytes draw nothing, 48 an answer.
        for length in (1, 2, 40, 47):
            self.sock.sendto(bytes([0x23]) + bytes(range(1, length)), DAEMON)
        reply, _, _, _ = self.exchange(bytes([0x23]) + bytes(range(1, 48)))  # answers leave in order
        self.assertEqual((len(reply), reply[0], reply[2], reply[24:32].hex()), (48, 0x24, 2, "28292a2b2c2d2e2f"))

    def test_other_modes_logged_not_answered(self):
        for mode in (0, 1, 2, 4, 6, 7):
            with self.subTest(mode=mode):
                line = f"NTP message received from 10.77.0.2 mode {mode}"
                before = self.daemon.count(line)
                peer.drain(self.sock)
                self.sock.sendto(peer.request(b"\x77" * 8, flags=0x20 | mode), DAEMON)
                self.daemon.wait_line(line, count=before + 1)
                harness.barrier(self.daemon, self.sock, DAEMON)
                self.assertIsNone(peer.receive(self.sock, 0.2), f"mode {mode} was answered")

    def test_requests_to_every_host_are_not_answered(self):
        # One such datagram would draw an answer from every Zelkor on the LAN: a reflector for anyone.
        for to in ("224.0.1.1", "10.77.0.255", "255.255.255.255"):
            self.sock.sendto(peer.request(to.encode()[:8].ljust(8, b"-")), (to, 123))
        reply, _, _, _ = self.exchange(peer.request(b"unicast-"))  # answers leave in order
        self.assertEqual(reply[24:32], b"unicast-")

        harness.wait_until(lambda: int(harness.read_status(self.daemon.status_path)["requests_dropped"]) >= 3, 3,
                           "the three counted as dropped")


class LogTest(unittest.TestCase):
    def test_exact_log_lines(self):
        with harness.Network() as net:
            daemon = harness.Daemon(net.daemon_ns).start().wait_bound()
            try:
                sock = net.peer_socket()
                sock.sendto(peer.request(b"\x01" * 8), DAEMON)
                self.assertIsNotNone(peer.receive(sock, 2.0))
                sock.sendto(peer.request(b"\x01" * 8, flags=0x26), DAEMON)
                harness.barrier(daemon, sock, DAEMON)
                self.assertEqual(daemon.lines(), [
                    "Listening for time broadcasts",
                    "NTP message received from 10.77.0.2 mode 3",
                    "NTP message received from 10.77.0.2 mode 6",
                    "NTP message received from 10.77.0.2 mode 7",
                ])
            finally:
                daemon.stop()


class SetUpFailureTest(unittest.TestCase):
    BIND_FAILED = "Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?"

    def assert_failed_but_running(self, daemon, line):
        daemon.wait_line(line)
        daemon.wait_line("Listening for time broadcasts")
        time.sleep(0.3)
        self.assertTrue(daemon.alive(), "the process must outlive its worker")
        self.assertEqual(sorted(daemon.lines()), sorted(["Listening for time broadcasts", line]))

    def test_port_already_held(self):
        holders = [  # (how the port is held, address, SO_REUSEADDR on the holder)
            ("any address", "0.0.0.0", False),
            ("the daemon's address", "10.77.0.1", False),
            ("loopback", "127.0.0.1", False),
            ("any address, holder reusing", "0.0.0.0", True),
        ]
        for name, address, reuse in holders:
            with self.subTest(holder=name), harness.Network() as net:
                net.socket(net.daemon_ns, address, 123, reuse=reuse)
                daemon = harness.Daemon(net.daemon_ns).start()
                try:
                    self.assert_failed_but_running(daemon, self.BIND_FAILED)
                    self.assertNotIn(123, [port for _, port in daemon.udp_ports()])
                finally:
                    daemon.stop()

    def test_second_instance(self):
        with harness.Network() as net:
            first = harness.Daemon(net.daemon_ns).start().wait_bound()
            second = harness.Daemon(net.daemon_ns).start()
            try:
                self.assert_failed_but_running(second, self.BIND_FAILED)
                # The first still answers.
                sock = net.peer_socket()
                sock.sendto(peer.request(b"\x02" * 8), DAEMON)
                got = peer.receive(sock, 2.0)
                self.assertIsNotNone(got)
                self.assertEqual(got[0][24:32], b"\x02" * 8)
            finally:
                second.stop()
                first.stop()

    def test_a_lan_without_a_gateway(self):
        # No default route: the group is joined on each interface by its index, which needs none, and the
        # broadcasts to the subnet and to the group are followed.
        with harness.Network(default_route=False) as net:
            daemon = harness.Daemon(net.daemon_ns, clock={"offset_ms": 0}).start().wait_bound()
            try:
                sock = net.peer_socket()
                sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(net.PEER_ADDR))
                for destination in ("10.77.0.255", "224.0.1.1"):
                    sock.sendto(peer.broadcast(2, error=0.2), (destination, 123))
                    daemon.wait_line("NTP Time broadcast received from 10.77.0.2",
                                     count=1 if destination.startswith("10") else 2)
                self.assertEqual(len(daemon.matching(re.compile(r"Delta is 0\.\d{3} seconds"))), 2)
            finally:
                daemon.stop()
        # Where no interface takes multicast, the join on the default one says why.
        with harness.Network(default_route=False) as net:
            harness._run("ip", "-n", net.daemon_ns, "link", "set", net.DEVICE, "multicast", "off")
            daemon = harness.Daemon(net.daemon_ns).start()
            try:
                self.assert_failed_but_running(daemon, "Couldn't add membership of multicast group (19)")
            finally:
                daemon.stop()


class BadInputTest(unittest.TestCase):
    def test_random_datagrams_of_every_length(self):
        rng = random.Random(0x5EED2024)
        payloads = [rng.randbytes(length) for length in range(0, 1473)]
        rng.shuffle(payloads)
        received = re.compile(r"NTP message received from 10\.77\.0\.2 mode ([0-7])")
        with harness.Network() as net:
            daemon = harness.Daemon(net.daemon_ns).start().wait_bound()
            try:
                sock = net.peer_socket()
                replies = []
                batch = 32
                for start in range(0, len(payloads), batch):
                    for p in payloads[start:start + batch]:
                        sock.sendto(p, DAEMON)
                    # Paced so the daemon's receive queue never overflows: every datagram must be seen.
                    daemon.wait_line(received, count=min(start + batch, len(payloads)), timeout=10)
                    replies += [data for data, _ in peer.drain(sock)]
                modes = [int(received.fullmatch(l).group(1)) for l in daemon.lines() if received.fullmatch(l)]
                self.assertEqual(modes, [p[0] & 7 if p else 0 for p in payloads])
                time.sleep(0.1)
                replies += [data for data, _ in peer.drain(sock)]
                requests = [p[:48] for p in payloads if len(p) >= 48 and p[0] & 7 == 3]
                self.assertEqual([len(r) for r in replies], [48] * len(requests))
                self.assertEqual([r[24:32] for r in replies], [q[40:48] for q in requests])
                # Still answering, still alive, nothing reported.
                sock.sendto(peer.request(bytes.fromhex("c0ffee0000000001")), DAEMON)
                got = peer.receive(sock, 2.0)
                self.assertIsNotNone(got, daemon.describe())
                self.assertEqual(got[0][24:32].hex(), "c0ffee0000000001")
                self.assertTrue(daemon.alive())
                daemon.assert_no_sanitizer_report()
            finally:
                daemon.stop()


if __name__ == "__main__":
    harness.main()
