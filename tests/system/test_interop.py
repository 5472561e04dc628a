#!/usr/bin/env python3
"""Zelkor with general-purpose NTP software, over a veth pair between two network namespaces.

    * Zelkor (client mode, virtual clock at offset 0) answers ntpdig, `ntpdate -q` and `chronyd -Q` with
      NTP versions 1 to 4: each takes the reply and reports an offset within 5 ms of the real clock.
    * chronyd -x broadcasting (to the subnet, to 255.255.255.255, to 224.0.1.1) is followed: a virtual
      clock 5 s behind steps onto it, and chronyd answers Zelkor's delay poll; an unsynchronised chronyd
      (stratum 0, leap 3) is ignored; a stratum-2 chronyd takes over from a stratum-3 one at once.
    * tshark decodes every kind of message Zelkor sends (reply, delay poll, server-mode broadcast) with
      no malformed or expert flag and with the field values Zelkor should send.

Zelkor runs at 10.77.0.1; the peers at 10.77.0.2 (and 10.77.0.3). Neither Zelkor nor chronyd (always
-x) holds CAP_SYS_TIME, ntpdig and ntpdate only query, and `adjtimex -p` (less its raw time) must read
the same after the suite as before. The suite prints a matrix of peer x case x result with the measured
offsets and delays, and the peers' versions. Missing peers are installed from Debian's packages.
The shared cases are in tools/interop_cases.py (the Windows build runs them too, under Wine)."""

import os
import sys
import time
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import interop_cases  # noqa: E402
import interop_peers as ip  # noqa: E402
from interop_cases import SECOND_PEER, ZELKOR_ADDR  # noqa: E402
from interop_peers import row  # noqa: E402

SERVER_MODE = "[ZelkorNT]\nserver=1\n"
net = None
peer_versions = {}
clock_before = None


def setUpModule():
    global net, clock_before
    clock_before = ip.kernel_clock_state()
    net = harness.Network()
    net.add_address(net.peer_ns, SECOND_PEER)


def tearDownModule():
    if net is not None:
        net.close()
    harness.cleanup_all()  # every process ended before the machine's clock is read again
    after = ip.kernel_clock_state()
    with row("this machine's clock", "adjtimex -p unchanged") as r:
        r.figure = "same as before the suite" if after == clock_before else "CHANGED"
    ip.print_matrix("Zelkor (Linux build) with other NTP software", peer_versions)
    if after != clock_before:
        raise AssertionError(f"adjtimex -p changed during the suite:\nbefore:\n{clock_before}\nafter:\n{after}")


class LinuxZelkor(unittest.TestCase):
    ZELKOR = "zelkornt"

    @property
    def net(self):
        return net

    def start_zelkor(self, offset_ms):
        self.daemon = harness.Daemon(net.daemon_ns, clock={"offset_ms": offset_ms}).start()
        self.addCleanup(self.daemon.stop)
        self.daemon.wait_line("Listening for time broadcasts")
        return self.daemon.wait_bound()

    def zelkor_clock(self):
        return self.daemon.clock()


class InteropTest(interop_cases.InteropCases, LinuxZelkor):
    pass


class ServerModeTest(interop_cases.InteropChecks, LinuxZelkor):
    def test_server_mode_broadcast_decoded(self):
        cap = self.capture()
        start = time.time()
        d = harness.Daemon(net.daemon_ns, config=SERVER_MODE, clock={"offset_ms": 0}).start()
        self.addCleanup(d.stop)
        with row("tshark", "zelkornt server-mode broadcast") as r:
            d.wait_line("Sending time broadcasts")
            cap.wait(lambda ps: any(p.src == ZELKOR_ADDR for p in ps), 5, "the broadcast")
            time.sleep(0.3)
            sent = [p for p in cap.stop() if p.src == ZELKOR_ADDR]
            b = sent[0]
            xmt = b.timestamp(40)
            r.figure = (f"{b.payload[:4].hex()} from port {b.sport}, {(b.time - start) * 1000:.0f} ms after start, "
                        f"transmit {(b.time - xmt) * 1000:.3f} ms before capture")
            self.assertEqual(len(sent), 1, [p.describe() for p in sent])
            self.assertClean(b)
            self.assertEqual((b.dst, b.dport), ("255.255.255.255", 123))
            self.assertEqual(self.decoded(b),
                             ("0", "3", "5", "15", "0", "0", "0", "0", "00000000"), b.describe())
            self.assertEqual(b.payload[:40], bytes.fromhex("1d0f0000") + bytes(36), "only transmit set")
            self.assertEqual((b["ntp.reftime"], b["ntp.org"], b["ntp.rec"]), ("NULL", "NULL", "NULL"))
            self.assertTrue(interop_cases.whole_ms(b, 40), b.describe())
            self.assertTimestampsDecoded(b)
            # The real clock (virtual offset 0), read before sending: 20 ms of room for a loaded machine.
            self.assertTrue(0 <= b.time - xmt <= 0.020, r.figure)
            self.assertLess(b.time - start, 1.0, "sent at once after start")


if __name__ == "__main__":
    if os.geteuid() == 0:
        ip.ensure_peers()
        peer_versions.update(ip.versions())
        for name, line in peer_versions.items():
            print(f"peer {name}: {line}", flush=True)
    os.environ.setdefault("ZELKOR_TEST_BUDGET", "180")
    harness.main()
