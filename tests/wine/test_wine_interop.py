#!/usr/bin/env python3
"""The Windows build with general-purpose NTP software: the same cases as tests/system/test_interop.py
(tools/interop_cases.py), run against `zelkornt.exe debug` under Wine.

    * it answers ntpdig, `ntpdate -q` and `chronyd -Q` with NTP versions 1 to 4 (its virtual clock at
      offset 0): each takes the reply and reports an offset within 5 ms of the real clock; tshark decodes
      every reply with the values Zelkor should send;
    * it follows chronyd -x broadcasting to the subnet, to 255.255.255.255 and to 224.0.1.1 (a virtual
      clock 5 s behind steps onto it; chronyd answers its delay poll, which tshark decodes), ignores an
      unsynchronised chronyd (stratum 0, leap 3), and moves at once from a stratum-3 chronyd to a
      stratum-2 one.

The Wine prefix's wineserver lives in the daemon namespace (10.77.0.1), so the Windows program's port 123
is there; the peers run at 10.77.0.2 and 10.77.0.3. chronyd runs with -x and without CAP_SYS_TIME, the
Windows program on the prefix's virtual clock; `adjtimex -p` (less its raw time) must read the same after
the file as before. A matrix of peer x case x result with the measured figures ends the output."""

import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehelper  # noqa: E402
from winehelper import harness  # noqa: E402
import interop_cases  # noqa: E402  (tests/system/tools, on the path through harness)
import interop_peers as ip  # noqa: E402
from interop_peers import row  # noqa: E402

net = wine = None
peer_versions = {}
clock_before = None


def setUpModule():
    global net, wine, clock_before
    clock_before = ip.kernel_clock_state()
    net = harness.Network()
    net.add_address(net.peer_ns, interop_cases.SECOND_PEER)
    wine = winehelper.Prefix(net.daemon_ns).boot()


def tearDownModule():
    if wine is not None:
        wine.close()
    if net is not None:
        net.close()
    harness.cleanup_all()  # every process ended before the machine's clock is read again
    after = ip.kernel_clock_state()
    with row("this machine's clock", "adjtimex -p unchanged") as r:
        r.figure = "same as before the file" if after == clock_before else "CHANGED"
    ip.print_matrix("Zelkor (Windows build under Wine) with other NTP software", peer_versions)
    if after != clock_before:
        raise AssertionError(f"adjtimex -p changed during the file:\nbefore:\n{clock_before}\nafter:\n{after}")


class WineInteropTest(interop_cases.InteropCases, unittest.TestCase):
    ZELKOR = "zelkornt.exe"

    @property
    def net(self):
        return net

    def start_zelkor(self, offset_ms):
        if offset_ms:
            wine.set_clock(offset_ms=offset_ms)
        else:
            wine.set_clock()  # no file: the program starts its virtual clock at offset 0
        wine.wait_udp_port_free()
        d = wine.start(wine.exe, "debug")
        self.addCleanup(d.stop)
        d.wait_line("Listening for time broadcasts")
        return d.wait_udp_port()

    def zelkor_clock(self):
        return wine.clock()


class WineAuthTest(unittest.TestCase):
    def test_chronyd_takes_a_reply_signed_by_the_windows_build(self):
        keys = os.path.join(harness.workdir(), "wine.keys")
        with open(keys, "w") as f:
            f.write("1 MD5 HEX:7a656c6b6f722d6d64352d6b6579\n")
        windows_keys = winehelper.windows_path(keys).replace("\\", "\\\\")
        wine.import_values(winehelper.SERVICE_KEY, {"Keys": f'"{windows_keys}"'})
        self.addCleanup(wine.import_values, winehelper.SERVICE_KEY, {"Keys": "-"})
        wine.set_clock()
        wine.wait_udp_port_free()
        d = wine.start(wine.exe, "debug")
        self.addCleanup(d.stop)
        d.wait_line("Keys loaded: 1 (MD5)")
        d.wait_udp_port()
        conf = ip.quiet_chrony_conf("chronyd-wine-auth")
        argv = ["chronyd", "-x", "-Q", "-u", "root", "-t", "6", "-f", conf, f"keyfile {keys}",
                f"server {interop_cases.ZELKOR_ADDR} iburst minpoll -4 maxpoll -4 key 1"]
        with row("chronyd -Q key 1 (MD5)", "takes zelkornt.exe's signed reply") as r:
            offset, _, _ = ip.chrony_offset(ip.run_in(net.peer_ns, argv))
            r.figure = f"offset {offset * 1000:+.3f} ms"
            self.assertLess(abs(offset), 0.005)


if __name__ == "__main__":
    if os.geteuid() == 0:
        ip.ensure_peers()
        peer_versions.update(ip.versions())
        if winehelper.shutil.which("wine"):
            peer_versions["wine"] = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, text=True,
                                                   stderr=subprocess.DEVNULL, timeout=60,
                                                   stdin=subprocess.DEVNULL).stdout.strip()
        for name, line in peer_versions.items():
            print(f"peer {name}: {line}", flush=True)
    winehelper.main()
