#!/usr/bin/env python3
"""zelkorstat for monitoring: a service following a broadcast, its status as OpenMetrics read by Prometheus'
own parser, and Nagios thresholds on its last offset (the clock started 200 ms behind)."""

import os
import re
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True
import harness  # noqa: E402
import peer  # noqa: E402

try:
    from prometheus_client.openmetrics.parser import text_string_to_metric_families
except ImportError:  # an interpreter of its own (pyenv, a venv) runs the tests beside Debian's package
    sys.path.append("/usr/lib/python3/dist-packages")
    from prometheus_client.openmetrics.parser import text_string_to_metric_families

TOOLS = os.environ.get("ZELKOR_TOOLS") or os.path.join(harness.HERE, "..", "..", "build")
ZELKORSTAT = os.path.join(TOOLS, "zelkorstat")


def zelkorstat(path, *args):
    r = subprocess.run([ZELKORSTAT, "--file", path, *args], capture_output=True, text=True, timeout=10)
    return r.returncode, r.stdout


def samples(text):
    """{name or name{label=value,...}: value} of an OpenMetrics text, through prometheus_client's parser."""
    return {s.name + ("{" + ",".join(f"{k}={v}" for k, v in sorted(s.labels.items())) + "}" if s.labels else ""):
            s.value for family in text_string_to_metric_families(text) for s in family.samples}


class MetricsTest(unittest.TestCase):
    def test_a_following_service_for_prometheus_and_nagios(self):
        net = harness.Network()
        self.addCleanup(net.close)
        daemon, _ = harness.start_service(self, net.daemon_ns, clock={"offset_ms": -200})
        net.peer_socket().sendto(peer.broadcast(2), (net.DAEMON_ADDR, 123))
        harness.wait_until(lambda: harness.read_status(daemon.status_path)["last_action"] == "slew", 5, "a slew")

        status, text = zelkorstat(daemon.status_path, "--openmetrics")
        metrics = samples(text)
        self.assertEqual((status, metrics["zelkor_up"], metrics["zelkor_tracking_stratum"],
                          metrics["zelkor_info{mode=client,server=10.77.0.2,state=following}"]), (0, 1, 2, 1), text)
        self.assertGreaterEqual(metrics["zelkor_broadcasts_accepted_total"], 1)
        self.assertAlmostEqual(metrics["zelkor_tracking_last_offset_seconds"], 0.2, delta=0.02)

        for thresholds, expected in ((("--warn", "0.5", "--crit", "1"), 0), (("--warn", "0.05", "--crit", "1"), 1),
                                     (("--warn", "0.05", "--crit", "0.1"), 2)):
            with self.subTest(thresholds=thresholds):
                status, text = zelkorstat(daemon.status_path, *thresholds)
                self.assertEqual(status, expected, text)
                offset = re.match(r"Zelkor: synchronised to 10\.77\.0\.2(, offset \S+ s beyond \S+ s \(\w+\))? \| "
                                  rf"offset=(0\.\d+)s;{thresholds[1]};{thresholds[3]} delay=\S+ stratum=2 ", text)
                self.assertIsNotNone(offset, text)
                self.assertAlmostEqual(float(offset.group(2)), 0.2, delta=0.02)

        status, text = zelkorstat(os.path.join(harness.workdir(), "none"), "--openmetrics")
        self.assertEqual((status, samples(text)["zelkor_up"]), (2, 0))


if __name__ == "__main__":
    harness.main()
