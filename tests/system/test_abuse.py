#!/usr/bin/env python3
"""What the network may throw at the listener: a flood of random datagrams against the service-style
daemon (logging off), forged replies by the ten thousand, zero timestamps, requests of every length."""

import os
import random
import re
import subprocess
import sys
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import peer  # noqa: E402

TOOLS = os.environ.get("ZELKOR_TOOLS") or os.path.join(harness.HERE, "..", "..", "build")
FLOOD_COUNT = 1_000_000
RSS_GROWTH_LIMIT_KB = 64


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))


def sanitized(pid):
    with open(f"/proc/{pid}/maps") as f:
        return "libasan" in f.read()


class AbuseTest(unittest.TestCase):
    def setUp(self):
        self.net = harness.Network()
        self.addCleanup(self.net.close)

    def exchange(self, sock, data, timeout=1.0):
        sock.sendto(data, (self.net.DAEMON_ADDR, 123))
        return peer.receive(sock, timeout)

    def test_flood_of_random_datagrams(self):
        daemon, _ = harness.start_service(self, self.net.daemon_ns)
        sock = self.net.peer_socket()
        for i in range(20):
            self.assertIsNotNone(self.exchange(sock, peer.request(bytes([7, i]) + bytes(6))))

        def flood(count, seed):
            return subprocess.run(["ip", "netns", "exec", self.net.peer_ns, os.path.join(TOOLS, "zelkor-loadgen"),
                                   "--target", self.net.DAEMON_ADDR, "--flood", str(count), "--seed", str(seed)],
                                  capture_output=True, text=True, timeout=180)
        # Every path a random datagram can take runs once before measuring (its code's pages count in the
        # resident size the first time): what grows after is what the flood holds on to.
        self.assertEqual(flood(FLOOD_COUNT // 10, 8).returncode, 0)
        peer.drain(sock)
        before = resident_kb(daemon.process.pid)

        flood = flood(FLOOD_COUNT, 7)
        self.assertEqual(flood.returncode, 0, flood.stdout + flood.stderr)
        print(f"\n  {flood.stdout.strip()}", file=sys.stderr)
        self.assertIn(f"flood_sent={FLOOD_COUNT}", flood.stdout)

        self.assertTrue(daemon.alive(), daemon.describe())
        # What the flood left queued is worked off quickly; then a request is answered at once.
        peer.drain(sock)
        answered = None
        for _ in range(50):
            answered = self.exchange(sock, peer.request(b"\xAA" * 8), timeout=0.2)
            if answered is not None:
                break
        self.assertIsNotNone(answered, "no answer after the flood\n" + daemon.describe())
        self.assertEqual(answered[0][24:32], b"\xAA" * 8)
        # Nothing of the flood is left: the next request is answered, not lost behind a backlog.
        self.assertIsNotNone(self.exchange(sock, peer.request(b"\xBB" * 8), timeout=1.0))
        after = resident_kb(daemon.process.pid)
        print(f"  resident before {before} kB, after {after} kB", file=sys.stderr)
        if not sanitized(daemon.process.pid):  # the sanitizers' allocator and quarantine grow by design
            self.assertLessEqual(after - before, RSS_GROWTH_LIMIT_KB)
        self.assertEqual(daemon.output(), "", "the service logs nothing")

    def test_forged_replies_never_change_the_delay(self):
        # A responder at the broadcaster's address measures a real delay first.
        responder = harness.Daemon(self.net.peer_ns).start()
        self.addCleanup(responder.stop)
        responder.wait_bound()
        client = harness.Daemon(self.net.daemon_ns).start()
        self.addCleanup(client.stop)
        client.wait_bound()
        broadcaster = self.net.peer_socket()
        broadcaster.sendto(peer.broadcast(2), ("10.77.0.255", 123))
        measured = client.wait_line(re.compile(r"Offset is -?\d+\.\d{3} seconds"))
        self.assertEqual(len(measured), 1)

        forgers = []
        for k in range(3, 8):
            address = f"10.77.0.{k}"
            self.net.add_address(self.net.peer_ns, address)
            forgers.append(self.net.socket(self.net.peer_ns, address, 0))
        forgers.append(self.net.socket(self.net.peer_ns, self.net.PEER_ADDR, 0))  # right address, wrong port
        rng = random.Random(7)
        now = time.time()
        for i in range(10_000):
            forged = peer.reply(rng.randbytes(8), now - 5 + rng.random() * 10, now + rng.random() * 10)
            forgers[i % len(forgers)].sendto(forged, (self.net.DAEMON_ADDR, 123))
            if i % 100 == 99:  # in bursts the receive buffer holds
                harness.barrier(client, forgers[i % len(forgers)], (self.net.DAEMON_ADDR, 123))
        harness.barrier(client, broadcaster, (self.net.DAEMON_ADDR, 123))
        self.assertEqual(client.count(re.compile(r"NTP message received from 10\.77\.0\.[2-7] mode 4")), 10_001)
        self.assertEqual(client.matching(re.compile(r"Offset is .*")), measured, "a forged reply was taken")

    def test_implausible_replies_to_our_poll_are_refused(self):
        # A reply that matches the poll yet cannot be true: no time sent, or sent before it was received.
        daemon = harness.Daemon(self.net.daemon_ns, clock={"offset_ms": 0}).start()
        self.addCleanup(daemon.stop)
        daemon.wait_bound()
        server = self.net.peer_socket(port=123)
        to = (self.net.DAEMON_ADDR, 123)
        spoiled = [lambda poll, now: peer.message(0x1C, stratum=2, originate=poll, receive=peer.timestamp(now)),
                   lambda poll, now: peer.reply(poll, now, now - 2000)]
        server.sendto(peer.broadcast(2), to)
        poll = peer.receive(server, 2.0)
        self.assertIsNotNone(poll, daemon.describe())
        # A refused reply leaves the request open: each spoiled one answers the same poll.
        for n, spoil in enumerate(spoiled, start=1):
            server.sendto(spoil(peer.field(poll[0], peer.TRANSMIT), time.time()), to)
            daemon.wait_line(f"NTP message received from {self.net.PEER_ADDR} mode 4", count=n)
        server.sendto(peer.broadcast(2), to)
        daemon.wait_line(f"NTP Time broadcast received from {self.net.PEER_ADDR}", count=2)
        self.assertFalse(daemon.matching(re.compile(r"Offset is .*")), daemon.describe())
        self.assertEqual(daemon.clock()["steps"], "0")
        # The delay is still unknown, but the next poll waits its 8 s, whatever arrives.
        self.assertEqual(daemon.count("Poll NTP server"), 1)

    def test_zero_timestamps_change_nothing(self):
        daemon = harness.Daemon(self.net.daemon_ns, clock={"offset_ms": 0}).start()
        self.addCleanup(daemon.stop)
        daemon.wait_bound()
        sock = self.net.peer_socket()
        got = self.exchange(sock, peer.request(bytes(8)))
        self.assertIsNotNone(got)
        self.assertEqual(got[0][24:32], bytes(8), "originate zero, as the request's transmit")
        zero = peer.message(0x1D, stratum=1)  # a broadcast whose transmit time is 0
        for stratum in (1, 2, 15):
            sock.sendto(peer.message(0x1D, stratum=stratum), (self.net.DAEMON_ADDR, 123))
        sock.sendto(zero, ("10.77.0.255", 123))
        daemon.wait_line("NTP Time broadcast received from 10.77.0.2", count=4)
        harness.barrier(daemon, sock, (self.net.DAEMON_ADDR, 123))
        clock = daemon.clock()
        self.assertEqual((clock["steps"], clock["adjustments"]), ("0", "0"))
        self.assertFalse([l for l in daemon.lines() if l.startswith(("Delta", "Poll", "Offset"))], daemon.describe())

    def test_every_reply_is_48_bytes_and_none_is_larger_than_its_request(self):
        daemon = harness.Daemon(self.net.daemon_ns).start()
        self.addCleanup(daemon.stop)
        daemon.wait_bound()
        sock = self.net.peer_socket()
        for length in range(1, 48):  # a 1-byte 0x1b once drew 48 bytes: now nothing
            sock.sendto(peer.request(length.to_bytes(8, "big"))[:length], (self.net.DAEMON_ADDR, 123))
        sizes = set()
        for length in list(range(48, 100)) + list(range(100, 1473, 37)) + [1472]:
            data = peer.request(length.to_bytes(8, "big")) + bytes(length - 48)
            got = self.exchange(sock, data)  # replies leave in order: an answer to a short one comes first
            self.assertIsNotNone(got, f"no reply to a {length}-byte request")
            self.assertEqual(got[0][24:32], length.to_bytes(8, "big"))
            sizes.add(len(got[0]))
        self.assertEqual(sizes, {48})


if __name__ == "__main__":
    harness.main()
