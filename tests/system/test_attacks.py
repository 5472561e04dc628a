#!/usr/bin/env python3
"""What a LAN attacker without the keys can do to a client, rerun against the daemon: a client passed a
poll to vouch for the server, a relay of the server's own signed broadcasts, stale recordings that would
hold the confirmation off, floods of requests that once blocked the worker, slews that walked around
MaxStep, forged steps that drove the journal. The client at 10.77.0.1; the server at 10.77.0.2; the
attacker wherever it claims to be."""

import os
import re
import subprocess
import sys
import threading
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import peer  # noqa: E402

CLIENT, SERVER, ATTACKER = harness.Network.DAEMON_ADDR, harness.Network.PEER_ADDR, "10.77.0.5"
SUBNET_BROADCAST = "10.77.0.255"
UNUSED = "10.77.0.99"  # on the link, and no host's: a reply to it waits for an address that never resolves
KEYS = "1 MD5 HEX:7a656c6b6f722d6d64352d6b6579\n"  # peer.signed's secret, "zelkor-md5-key"
TOOLS = os.environ.get("ZELKOR_TOOLS") or os.path.join(harness.HERE, "..", "..", "build")
DAY = 86400


def status(daemon):
    return harness.read_status(daemon.status_path)


class Server:
    """The genuine server: signed broadcasts from SERVER, and signed answers to the polls sent to it."""

    def __init__(self, net):
        self.sock = net.peer_socket(SERVER, 123)

    def broadcast(self, error=0.0, stratum=2):
        message = peer.signed(peer.broadcast(stratum, error=error))
        self.sock.sendto(message, (CLIENT, 123))
        return message

    def answer(self, timeout=2.0):
        """Answers the next poll with the true time; False when none comes."""
        got = peer.receive(self.sock, timeout)
        if got is None:
            return False
        now = time.time()
        self.sock.sendto(peer.signed(peer.reply(peer.field(got[0], peer.TRANSMIT), now, now)), (CLIENT, 123))
        return True


class AttackTest(unittest.TestCase):
    def setUp(self):
        self.net = harness.Network()
        self.addCleanup(self.net.close)
        self.keys = harness.secret_file("attack.keys", KEYS)

    def client(self, config="", **options):
        d = harness.Daemon(self.net.daemon_ns, config=f"[Zelkor]\nKeys={self.keys}\n{config}",
                           clock={"offset_ms": 0}, **options).start()
        self.addCleanup(d.stop)
        d.wait_bound()
        return d

    def assertClockWithin(self, daemon, seconds):
        self.assertLess(abs(daemon.clock_offset_ms()) / 1000, seconds, daemon.describe())

    def test_a_client_passed_the_poll_does_not_vouch_for_the_server(self):
        # A: another client holding the broadcaster's key, its clock a day behind, at the address a day-old
        # recording comes from: it answers the poll with a crypto-NAK, not a signed day-old time.
        victim = self.client("TrustedKeys=1\nMaxStep=10\n")
        vouching = harness.Daemon(self.net.peer_ns, config=f"[Zelkor]\nKeys={self.keys}\nTrustedKeys=1\n",
                                  clock={"offset_ms": -DAY * 1000}).start()
        self.addCleanup(vouching.stop)
        vouching.wait_bound()
        sender = self.net.peer_socket()
        sender.sendto(peer.signed(peer.broadcast(15, error=-DAY)), (CLIENT, 123))
        vouching.wait_line(f"NTP message received from {CLIENT} mode 3")
        harness.wait_until(lambda: status(victim)["auth_refused"] == "1", 3, "the crypto-NAK refused")
        self.assertEqual(status(victim)["last_auth_refused"], "a crypto-NAK")
        self.assertClockWithin(victim, 1)

    def test_a_relay_of_the_servers_broadcasts_is_a_replay(self):
        # B: each signed broadcast passed on from another address, at once or later, is spent already.
        victim = self.client("TrustedKeys=1\nMaxStep=10\n")
        server = Server(self.net)
        self.net.add_address(self.net.peer_ns, ATTACKER)
        relay = self.net.socket(self.net.peer_ns, ATTACKER)
        sent = []
        for i in range(3):
            sent.append(server.broadcast())
            relay.sendto(sent[-1], (CLIENT, 123))
            if i == 0:
                self.assertTrue(server.answer(), "the server asked to confirm")
            time.sleep(0.1)
        for message in sent:  # delayed
            relay.sendto(message, (CLIENT, 123))
        victim.wait_line(f"NTP Time broadcast received from {ATTACKER}", count=6)
        # The status takes a flood of refusals in once a second.
        s = harness.wait_until(lambda: (lambda s: s if s["auth_refused"] == "6" else None)(status(victim)), 3,
                               "every copy refused")
        self.assertEqual((s["server"], s["broadcasts_accepted"]), (SERVER, "3"))
        self.assertEqual(s["last_auth_refused"], "a replay of an earlier broadcast")
        self.assertClockWithin(victim, 1)

    def test_stale_recordings_hold_no_confirmation_off(self):
        # C: a day-old recording just before the server's first broadcast, from another address or from
        # the server's own: the server is followed at its first broadcast all the same.
        for spoofed in (False, True):
            with self.subTest(spoofed=spoofed):
                net = harness.Network()
                self.addCleanup(net.close)
                victim = harness.Daemon(net.daemon_ns, config=f"[Zelkor]\nKeys={self.keys}\nTrustedKeys=1\n"
                                        f"Servers={SERVER}{' 10.77.0.5' if not spoofed else ''}\n",
                                        clock={"offset_ms": 0}).start()
                self.addCleanup(victim.stop)
                victim.wait_bound()
                server = Server(net)
                net.add_address(net.peer_ns, ATTACKER)
                replayer = server.sock if spoofed else net.socket(net.peer_ns, ATTACKER)
                replayer.sendto(peer.signed(peer.broadcast(2, error=-DAY)), (CLIENT, 123))
                if spoofed:
                    self.assertTrue(server.answer(), "the server asked about the recording")
                victim.wait_line(f"NTP Time broadcast received from {SERVER if spoofed else ATTACKER}")
                server.broadcast()
                self.assertTrue(server.answer(), "the server asked to confirm its broadcast")
                harness.wait_until(lambda: status(victim)["server"] == SERVER, 3, "the server followed")
                self.assertClockWithin(victim, 1)
                victim.stop()

    def flood_while_broadcasting(self, flood, broadcasts=100, rate=20):
        """Sends broadcasts from SERVER at rate a second (or for as long, none) while flood() runs beside
        them; returns the service-style client's status after, and the oldest the status file got
        meanwhile (s)."""
        victim, _ = harness.start_service(self, self.net.daemon_ns, clock={"offset_ms": 0})
        sender = self.net.peer_socket()
        done = threading.Event()
        flooder = threading.Thread(target=flood, args=(done,))
        flooder.start()
        stalest = 0.0
        try:
            time.sleep(0.5)  # the flood under way
            for _ in range(100):
                if broadcasts:  # to the subnet, as a broadcaster sends them
                    sender.sendto(peer.broadcast(2), (SUBNET_BROADCAST, 123))
                time.sleep(1 / rate)
                stalest = max(stalest, time.time() - float(status(victim)["updated"]))
        finally:
            done.set()
            flooder.join()
        time.sleep(1.5)  # what a status renewal held back is written within a second
        return status(victim), stalest

    def test_a_flood_of_replies_that_answer_nothing_leaves_the_status_renewed(self):
        sock = self.net.peer_socket()
        forged = peer.reply(b"\x01" * 8, time.time(), time.time())

        def flood(done):
            while not done.is_set():
                for _ in range(100):
                    sock.sendto(forged, (CLIENT, 123))

        s, stalest = self.flood_while_broadcasting(flood, broadcasts=0)
        print(f"\n  replies refused {s['replies_refused']}, status at most {stalest:.1f} s old", file=sys.stderr)
        self.assertGreater(int(s["replies_refused"]), 1000)
        self.assertLess(stalest, 3)

    def test_requests_that_wait_on_an_unresolved_address_lose_no_broadcasts(self):
        # D: requests from an unused address on the link, 1000 a second: each reply waits for an address
        # that never resolves, and the socket's buffer fills; the worker never waits with it.
        raw = self.net.raw_socket(self.net.peer_ns)
        request = peer.spoofed(UNUSED, CLIENT, peer.request(b"\x01" * 8))

        def flood(done):
            while not done.is_set():
                for _ in range(10):
                    raw.sendto(request, (CLIENT, 0))
                time.sleep(0.01)

        s, stalest = self.flood_while_broadcasting(flood)
        print(f"\n  broadcasts {s['datagrams_mode5']} of 100, requests {s['datagrams_mode3']}, dropped "
              f"{s['requests_dropped']}, status at most {stalest:.1f} s old", file=sys.stderr)
        self.assertGreaterEqual(int(s["datagrams_mode5"]), 99)
        self.assertGreater(int(s["requests_dropped"]), 0)
        self.assertLess(stalest, 3)

    def test_a_flood_at_the_machines_ceiling_loses_no_broadcasts(self):
        # E: requests as fast as the load generator sends them; the broadcasts have a queue of their own.
        def flood(done):
            subprocess.run(["ip", "netns", "exec", self.net.peer_ns, os.path.join(TOOLS, "zelkor-loadgen"),
                            "--target", CLIENT, "--seconds", "6"], capture_output=True, timeout=60)

        s, stalest = self.flood_while_broadcasting(flood)
        print(f"\n  broadcasts {s['datagrams_mode5']} of 100, requests answered {s['requests_answered']}, "
              f"status at most {stalest:.1f} s old", file=sys.stderr)
        self.assertGreaterEqual(int(s["datagrams_mode5"]), 99)
        self.assertLess(stalest, 3)

    def test_slews_count_toward_max_step_and_the_rate_stays_bounded(self):
        # F: no keys, MaxStep=10: a step of 9 s back, then broadcasts each 1.9 s behind.
        victim = self.client("MaxStep=10\n")
        sender = self.net.peer_socket()
        sender.sendto(peer.broadcast(2, error=0.3), (CLIENT, 123))  # the first correction
        victim.wait_line("Slew clock")
        sender.sendto(peer.broadcast(2, error=-9), (CLIENT, 123))
        victim.wait_line(re.compile(r"The time has been corrected by -(8|9)\.\d{3} seconds"))
        for i in range(60):
            sender.sendto(peer.broadcast(2, error=victim.clock_offset_ms() / 1000 - 1.9), (CLIENT, 123))
        victim.wait_line(f"NTP Time broadcast received from {SERVER}", count=62)
        refused = harness.wait_until(lambda: int(status(victim)["steps_refused"]) == 60 or None, 3, "all refused")
        clock = victim.clock()
        print(f"\n  offset {victim.clock_offset_ms() / 1000:.3f} s, adjustment {clock['adjustment']}, refused "
              f"{status(victim)['steps_refused']}", file=sys.stderr)
        self.assertTrue(refused)
        self.assertLess(abs(victim.clock_offset_ms()) / 1000, 11)
        self.assertLessEqual(abs(int(clock["adjustment"]) - int(clock["increment"])), 50)

    def test_forged_steps_write_a_few_journal_lines(self):
        # Without MaxStep a step a broadcast, twenty of them: the journal takes the first few, the rest go
        # into the minute's count.
        victim, _ = harness.start_service(self, self.net.daemon_ns, journal=True, clock={"offset_ms": 0},
                                          config="[Zelkor]\nServiceLog=yes\n")
        sender = self.net.peer_socket()
        for i in range(20):
            sender.sendto(peer.broadcast(2, error=5 if i % 2 == 0 else -5), (CLIENT, 123))
            # Each one after the step before it, or a slow daemon sees some of them near zero: slews.
            harness.wait_until(lambda: int(victim.clock()["steps"]) > i or None, 30, f"step {i + 1}")
        # Each step writes the virtual clock's file to disk: a loaded machine takes its time.
        harness.wait_until(lambda: status(victim)["steps"] == "20", 120, "twenty steps")
        steps = [line for line in victim.journal() if "The time has been corrected" in line]
        print(f"\n  {len(steps)} journal lines for 20 steps", file=sys.stderr)
        self.assertEqual(len(steps), 3)

    def test_settings_that_would_do_nothing_refuse_the_start(self):
        keys = harness.secret_file("nul.keys", "1 MD5 ab\0cd\n")
        cases = [
            ("MaxStep=10\n[Zelkor]\n", 'Setting "MaxStep" on line 1 is in no section, not in [Zelkor]'),
            ("[ZelkorNT]\nTrustedKeys=1\n", 'Setting "TrustedKeys" on line 2 is in [ZelkorNT], not in [Zelkor]'),
            ("[Zelkor]\nServers=10.1.2.3/0\n", 'Servers entry "0.0.0.0/0" admits most of the Internet'),
            (f"[Zelkor]\nKeys={keys}\n", "line 1: its key holds a control character"),
        ]
        for config, reason in cases:
            with self.subTest(config=config):
                d = harness.Daemon(self.net.daemon_ns, config=config).start()
                self.addCleanup(d.stop)
                self.assertEqual(d.wait_exit(), 1)
                self.assertTrue(any(reason in line and "Zelkor does not start" in line for line in d.lines()),
                                d.describe())


if __name__ == "__main__":
    harness.main()
