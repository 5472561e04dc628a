#!/usr/bin/env python3
"""Authenticated time with independent peers: chronyd -Q and ntpdig take Zelkor's signed replies under
MD5, SHA1 and AES-128-CMAC keys (chrony's key file, which Zelkor reads too); a request under a key Zelkor
lacks gets a crypto-NAK; a Zelkor broadcaster signing with BroadcastKey is followed by a Zelkor client
with TrustedKeys, which ignores unsigned broadcasts, ones under an untrusted key and ones with a flipped
digest bit, its clock unmoved. Zelkor at 10.77.0.1, peers at 10.77.0.2."""

import re
import sys
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import interop_peers as ip  # noqa: E402
import peer  # noqa: E402

ZELKOR = harness.Network.DAEMON_ADDR
PEER = harness.Network.PEER_ADDR
KEYS = {1: ("MD5", "HEX:7a656c6b6f722d6d64352d6b6579"),  # "zelkor-md5-key"
        2: ("SHA1", "HEX:00112233445566778899aabbccddeeff00112233"),
        3: ("AES128", "HEX:2b7e151628aed2a6abf7158809cf4f3c")}
NTPSEC_TYPES = {"MD5": "MD5", "SHA1": "SHA1", "AES128": "AES"}
write_secret = harness.secret_file
signed = peer.signed


def status(daemon):
    return harness.read_status(daemon.status_path)


class AuthTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        ip.ensure_peers()
        cls.keyfile = write_secret("chrony.keys", "".join(f"{i} {t} {k}\n" for i, (t, k) in KEYS.items()))
        # ntpsec names AES-CMAC "AES" and reads more than 20 hex digits as hex.
        cls.ntpsec_keys = write_secret("ntpsec.keys", "".join(
            f"{i} {NTPSEC_TYPES[t]} {k[4:]}\n" for i, (t, k) in KEYS.items()))

    def setUp(self):
        self.net = harness.Network()
        self.addCleanup(self.net.close)

    def zelkor(self, ns, config, clock=None):
        d = harness.Daemon(ns, config=f"[Zelkor]\nKeys={self.keyfile}\n" + config, clock=clock or {}).start()
        self.addCleanup(d.stop)
        return d

    def test_peers_take_signed_replies_and_an_unknown_key_gets_a_crypto_nak(self):
        d = self.zelkor(self.net.daemon_ns, "")
        d.wait_line("Keys loaded: 1 (MD5) 2 (SHA1) 3 (AES128)")
        d.wait_bound()
        conf = ip.quiet_chrony_conf("chronyd-auth")
        for key_id, (kind, _) in KEYS.items():
            with self.subTest(peer="chronyd", key=kind):
                # Directives on the command line: chronyd then reads no file.
                argv = ["chronyd", "-x", "-Q", "-u", "root", "-t", "6", "-f", conf, f"keyfile {self.keyfile}",
                        f"server {ZELKOR} iburst minpoll -4 maxpoll -4 key {key_id}"]
                offset, _, _ = ip.chrony_offset(ip.run_in(self.net.peer_ns, argv))
                print(f"\n  chronyd -Q, key {key_id} ({kind}): offset {offset * 1000:+.3f} ms", file=sys.stderr)
                self.assertLess(abs(offset), 0.005)
            with self.subTest(peer="ntpdig", key=kind):
                result = ip.run_in(self.net.peer_ns, ["ntpdig", "-t", "2", "-k", self.ntpsec_keys, "-a",
                                                      str(key_id), ZELKOR])
                offset, about, _ = ip.sntp_offset(result, ZELKOR)
                print(f"  ntpdig -a {key_id} ({kind}): offset {offset * 1000:+.3f} ms {about}", file=sys.stderr)
                self.assertLess(abs(offset), 0.005)
        sock = self.net.peer_socket()
        request = peer.request(b"\x01" * 8)
        for sent, length, what in ((signed(request, 9), 52, "unknown key"), (signed(request, flip=True), 52, "flipped"),
                                   (signed(request), 68, "good"), (request, 48, "unsigned")):
            with self.subTest(request=what):
                sock.sendto(sent, (ZELKOR, 123))
                reply, _ = peer.receive(sock, 2.0)
                self.assertEqual(len(reply), length)
                if length == 52:
                    self.assertEqual(reply[48:], bytes(4))  # crypto-NAK
                if length == 68:
                    self.assertEqual(reply, signed(reply[:48]))
        print(f"  unknown key 9 and a flipped bit: 52-byte crypto-NAKs", file=sys.stderr)

    def test_a_hash_sign_inside_a_key_is_part_of_it_as_chronyd_reads_it(self):
        # (chronyd takes a "#" as a comment only at a line's start, and refuses a line with one after a key.)
        keyfile = write_secret("hash.keys", "# a comment\n4 MD5 ab#cd3456\n")
        d = harness.Daemon(self.net.daemon_ns, config=f"[Zelkor]\nKeys={keyfile}\n").start()
        self.addCleanup(d.stop)
        d.wait_line("Keys loaded: 4 (MD5)")
        d.wait_bound()
        argv = ["chronyd", "-x", "-Q", "-u", "root", "-t", "6", "-f", ip.quiet_chrony_conf("chronyd-hash"),
                f"keyfile {keyfile}", f"server {ZELKOR} iburst minpoll -4 maxpoll -4 key 4"]
        offset, _, _ = ip.chrony_offset(ip.run_in(self.net.peer_ns, argv))
        self.assertLess(abs(offset), 0.005)
        sock = self.net.peer_socket()
        sock.sendto(signed(peer.request(b"\x04" * 8), 4, b"ab#cd3456"), (ZELKOR, 123))
        self.assertEqual(len(peer.receive(sock, 2.0)[0]), 68)  # the nine bytes are the key: a signed answer

    def test_a_signed_broadcaster_is_followed_once_it_confirms_and_forgeries_are_not(self):
        client = self.zelkor(self.net.daemon_ns, "TrustedKeys=1\n", clock={"offset_ms": -5000})
        client.wait_line("Accepting time broadcasts only under keys 1")
        client.wait_bound()
        # With BroadcastKey the broadcaster answers signed polls on port 123: the client's confirmation.
        server = self.zelkor(self.net.peer_ns, "BroadcastKey=1\n[ZelkorNT]\nserver=1\n")
        client.wait_line(re.compile(r"The time has been corrected by (4\.99\d|5\.00\d) seconds"))
        server.wait_line(f"NTP message received from {ZELKOR} mode 3")
        harness.wait_until(lambda: status(client)["broadcasts_unconfirmed"] == "1", 3, "the held broadcast counted")
        server.stop()
        before = client.clock_offset_ms()
        sender = self.net.peer_socket()
        message = peer.broadcast(1, error=3.0)
        forgeries = [(message, "no MAC"), (signed(message, 2, b"x"), "key 2 is not trusted"),
                     (signed(message, flip=True), "a wrong digest under key 1")]
        for datagram, reason in forgeries + [forgeries[-1]]:
            count = client.count(f"NTP Time broadcast received from {PEER}")
            sender.sendto(datagram, (ZELKOR, 123))
            client.wait_line(f"NTP Time broadcast received from {PEER}", count=count + 1)
        self.assertAlmostEqual(client.clock_offset_ms(), before, delta=1)
        self.assertEqual(client.count(re.compile(r"Delta is .*")), 1)
        # The status takes a flood of refusals in at most once a second, and what waits when it is up.
        s = harness.wait_until(lambda: (lambda s: s if s["auth_refused"] == "4" else None)(status(client)), 3,
                               "the status to count every refusal")
        print(f"\n  client: auth={s['auth']} auth_refused={s['auth_refused']} last_auth_refused={s['last_auth_refused']}"
              f" last_auth_refused_sender={s['last_auth_refused_sender']}", file=sys.stderr)
        self.assertEqual((s["auth"], s["auth_refused"], s["last_auth_refused_sender"]), ("1", "4", PEER))
        self.assertEqual(s["last_auth_refused"], "a wrong digest under key 1")

    def test_a_recording_or_a_new_sender_moves_nothing_until_it_answers_a_signed_poll(self):
        client = self.zelkor(self.net.daemon_ns, "TrustedKeys=1\n", clock={"offset_ms": 0})
        client.wait_bound()
        server = self.net.peer_socket(PEER, 123)  # the genuine server, answering with its own clock
        sender = self.net.peer_socket()
        sender.sendto(signed(peer.broadcast(3, error=0.2)), (ZELKOR, 123))
        poll, _ = peer.receive(server, 2.0)
        # Sent back to it, its own signed poll draws no signed answer anyone could pass off as the server's.
        server.sendto(poll, (ZELKOR, 123))
        self.assertIsNone(peer.receive(server, 0.3))
        now = time.time()
        server.sendto(signed(peer.reply(peer.field(poll, peer.TRANSMIT), now, now, stratum=3)), (ZELKOR, 123))
        client.wait_line("Slew clock")
        # A day-old recording from a forged address, and a fresh one at a lower stratum from another
        # address that answers no poll: neither moves the clock or takes over.
        self.net.add_address(self.net.peer_ns, "10.77.0.5")
        forger = self.net.socket(self.net.peer_ns, "10.77.0.5", 0)
        for message in (peer.broadcast(2, error=-86405.0), peer.broadcast(2, error=0.5)):
            forger.sendto(signed(message), (ZELKOR, 123))
        client.wait_line("NTP Time broadcast received from 10.77.0.5", count=2)
        # The status takes what anyone can send in once a second: the second waits for it.
        s = harness.wait_until(lambda: (lambda s: s if s["broadcasts_unconfirmed"] == "2" else None)(status(client)),
                               3, "the status to count both")
        self.assertEqual((s["server"], s["steps"], s["auth_refused"]), (PEER, "0", "1"))
        self.assertEqual(client.count(re.compile(r"Delta is .*")), 1)


if __name__ == "__main__":
    harness.main()
