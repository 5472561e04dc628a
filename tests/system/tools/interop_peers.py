"""General-purpose NTP software as Zelkor's peers in the interoperability tests: chronyd (broadcaster,
server, one-shot client), ntpdig and `ntpdate -q` (one-shot clients), tshark (the judge of what is on
the wire). Also the guard that this machine's clock was left alone, and the result matrix.

Everything runs inside the harness's network namespaces. chronyd always runs with -x (no clock control)
and under `capsh --drop=cap_sys_time`, as do ntpdig and ntpdate (query modes only). Processes started
here are registered with the harness's clean-up and ended by pid.
"""

import calendar
import contextlib
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time

import harness

PACKAGES = ("chrony", "ntpsec-ntpdig", "ntpsec-ntpdate", "tshark", "libcap2-bin", "adjtimex")
TOOLS = ("chronyd", "ntpdig", "ntpdate", "tshark", "capsh", "adjtimex")
MS_UNIT = 4294967  # a whole millisecond as the daemon writes an NTP fraction
NTP_EPOCH_OFFSET = 2208988800
_CAP_SYS_TIME = 25


# ------------------------------------------------------------------------------------------ packages

def _chronyd_pids_here():
    """Pids of chronyd processes in this process's own network namespace (the machine's)."""
    mine = os.readlink("/proc/self/ns/net")
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/comm") as f:
                if f.read().strip() != "chronyd":
                    continue
            if os.readlink(f"/proc/{name}/ns/net") == mine:
                found.append(int(name))
        except OSError:
            continue
    return found


def ensure_peers():
    """Installs the peers' Debian packages when a tool is missing; then no chronyd may run in the
    machine's own namespace (one there could be steering this machine's clock)."""
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        print(f"interop: installing {' '.join(PACKAGES)} (missing: {' '.join(missing)})", file=sys.stderr)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], env=env, check=True, timeout=600, stdin=subprocess.DEVNULL)
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *PACKAGES], env=env,
                       check=True, timeout=900, stdin=subprocess.DEVNULL)
        still = [t for t in TOOLS if shutil.which(t) is None]
        if still:
            raise RuntimeError(f"still missing after the install: {' '.join(still)}")
    strays = _chronyd_pids_here()
    if strays:
        raise RuntimeError(f"chronyd running in the machine's own namespace (pids {strays}), not started by "
                           "these tests: stop it before running them (it may be controlling the clock)")


def versions():
    """{peer: its version line}."""
    def first(argv):
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30,
                           stdin=subprocess.DEVNULL)
        lines = [l for l in r.stdout.splitlines() if l.strip() and "Running as user" not in l]
        return lines[0].strip() if lines else "?"
    return {"chronyd": first(["chronyd", "--version"]), "ntpdig": first(["ntpdig", "--version"]),
            "tshark": first(["tshark", "--version"])}


# ---------------------------------------------------------------------------------- the machine's clock

def kernel_clock_state():
    """`adjtimex -p` less its raw-time line: what would show any change to this machine's clock
    discipline (offset, frequency, status, tick...)."""
    out = subprocess.run(["adjtimex", "-p"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                         timeout=30, stdin=subprocess.DEVNULL).stdout
    return "\n".join(l for l in out.splitlines() if "raw time" not in l)


# ---------------------------------------------------------------------------------------- processes

def _start(argv, log_path):
    with open(log_path, "wb") as log:
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                start_new_session=True, preexec_fn=harness._set_parent_death_signal)


def _end(process, first=signal.SIGTERM):
    if process is not None and process.poll() is None:
        process.send_signal(first)
        try:
            process.wait(3)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def without_clock_control(ns, argv):
    """argv run in ns with CAP_SYS_TIME out of its bounding set (as the harness runs the daemon)."""
    return ["ip", "netns", "exec", ns, "capsh", "--drop=cap_sys_time", "--", "-c", "exec " + shlex.join(argv)]


def run_in(ns, argv, timeout=20):
    """Runs a one-shot peer (without clock control) in ns; returns the CompletedProcess (text)."""
    return subprocess.run(without_clock_control(ns, argv), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=timeout)


def udp_bound(ns, address, port=123):
    out = subprocess.run(["ip", "netns", "exec", ns, "ss", "-Hlun", f"sport = :{port}"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, timeout=10, stdin=subprocess.DEVNULL).stdout
    return any(len(row.split()) > 3 and row.split()[3] in (f"{address}:{port}", f"*:{port}")
               for row in out.splitlines())


_chronyd_count = 0


class Chronyd:
    """chronyd -x -d in a namespace with the given configuration lines (plus its own pid file, no command
    port, no command socket), bound to `address`."""

    def __init__(self, ns, address, lines):
        global _chronyd_count
        _chronyd_count += 1
        base = os.path.join(harness.workdir(), f"chronyd{_chronyd_count}")
        self.ns, self.address = ns, address
        self.conf_path, self.log_path = base + ".conf", base + ".log"
        with open(self.conf_path, "w") as f:
            f.write("\n".join([*lines, f"bindaddress {address}", f"pidfile {base}.pid", "cmdport 0",
                               "bindcmdaddress /"]) + "\n")
        self.process = None
        self._cleanup = None

    def start(self):
        self.process = _start(without_clock_control(self.ns, ["chronyd", "-x", "-d", "-u", "root", "-f",
                                                              self.conf_path]), self.log_path)
        self._cleanup = harness._register(self.stop)
        self._check_cannot_set_clock()
        harness.wait_until(lambda: self._dead_check() or udp_bound(self.ns, self.address), 10,
                           f"chronyd to bind {self.address}:123\n{self.log()}", interval=0.02)
        return self

    def _dead_check(self):
        if self.process.poll() is not None:
            raise AssertionError(f"chronyd exited ({self.process.returncode}):\n{self.log()}")
        return False

    def _check_cannot_set_clock(self):
        binary = os.path.realpath(shutil.which("chronyd"))
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            self._dead_check()
            try:
                if os.readlink(f"/proc/{self.process.pid}/exe") == binary:
                    with open(f"/proc/{self.process.pid}/status") as f:
                        bounding = int(re.search(r"^CapBnd:\s*([0-9a-f]+)", f.read(), re.M).group(1), 16)
                    if bounding & (1 << _CAP_SYS_TIME):
                        self.stop()
                        raise RuntimeError("chronyd kept CAP_SYS_TIME; stopped it")
                    return
            except (FileNotFoundError, ProcessLookupError):
                pass
            time.sleep(0.002)
        self.stop()
        raise RuntimeError("could not see chronyd running to check its capabilities")

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")[-3000:]
        except OSError:
            return ""

    def stop(self):
        _end(self.process)
        if self._cleanup is not None:
            harness._unregister(self._cleanup)
            self._cleanup = None


# ------------------------------------------------------------------------------------ one-shot clients

SNTP_LINE = re.compile(r"\S+ \S+ \(\S+\) ([+-]?\d+\.\d+) \+/- (\d+\.\d+) (\S+) s(\d+) (\S+)")
CHRONY_LINE = re.compile(r"System clock wrong by (-?\d+\.\d+) seconds")


def sntp_offset(result, server):
    """(offset, "sN leap", round trip) ntpdig (or ntpdate -q, which runs it) reports for server, or
    AssertionError. Its "+/-" figure is round trip / 2 + 2^precision of the server (2^-8 for Zelkor)."""
    for line in result.stdout.splitlines():
        m = SNTP_LINE.fullmatch(line.strip())
        if m and m.group(3) == server:
            return float(m.group(1)), f"+/- {m.group(2)} s{m.group(4)} {m.group(5)}", \
                2 * (float(m.group(2)) - 2 ** -8)
    raise AssertionError(f"no answer accepted (exit {result.returncode}): {result.stdout!r} {result.stderr!r}")


def chrony_offset(result):
    m = CHRONY_LINE.search(result.stderr + result.stdout)
    if not m:
        raise AssertionError(f"chronyd -Q took no answer (exit {result.returncode}): {result.stderr[-1500:]!r}")
    return float(m.group(1)), "", None


def chronyd_query_argv(server, version, conf_path):
    return ["chronyd", "-x", "-Q", "-u", "root", "-t", "6", "-f", conf_path,
            f"server {server} iburst minpoll -4 maxpoll -4 version {version}"]


def quiet_chrony_conf(name):
    """A configuration for chronyd -Q: its own pid file, no command port or socket."""
    path = os.path.join(harness.workdir(), name + ".conf")
    with open(path, "w") as f:
        f.write(f"pidfile {path}.pid\ncmdport 0\nbindcmdaddress /\n")
    return path


# -------------------------------------------------------------------------------------------- tshark

FIELDS = ("frame.time_epoch", "ip.src", "udp.srcport", "ip.dst", "udp.dstport", "udp.length", "ntp.flags.li",
          "ntp.flags.vn", "ntp.flags.mode", "ntp.stratum", "ntp.ppoll", "ntp.precision", "ntp.rootdelay",
          "ntp.rootdispersion", "ntp.refid", "ntp.reftime", "ntp.org", "ntp.rec", "ntp.xmt", "udp.payload",
          "_ws.malformed", "_ws.expert.message")
PROBE_PORT = 9  # discard: the capture also takes this port, to see itself running before a test sends
_MONTHS = {m: i for i, m in enumerate(("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct",
                                       "Nov", "Dec"), 1)}


def tshark_time(text):
    """Unix time of a timestamp as tshark prints it ("Dec  7, 2026 07:25:19.333289146 UTC"), None for
    "NULL", the text itself when it reads otherwise."""
    if text == "NULL":
        return None
    m = re.fullmatch(r"(\w{3})\s+(\d+), (\d+) (\d+):(\d+):(\d+)\.(\d+) UTC", text)
    if not m:
        return text
    month, day, year, hh, mm, ss, frac = m.groups()
    whole = calendar.timegm((int(year), _MONTHS[month], int(day), int(hh), int(mm), int(ss), 0, 0, 0))
    return whole + int(frac) / 10 ** len(frac)


class Packet:
    """One captured datagram: tshark's decoding (strings as printed) and the payload bytes."""

    def __init__(self, row):
        values = dict(zip(FIELDS, row + [""] * (len(FIELDS) - len(row))))
        self.expert = [m for m in values["_ws.expert.message"].split("|") if m]
        values = {k: v.split("|")[0] for k, v in values.items()}  # the first of repeated fields
        self.fields = values
        self.time = float(values["frame.time_epoch"])
        self.src, self.dst = values["ip.src"], values["ip.dst"]
        self.sport = int(values["udp.srcport"] or 0)
        self.dport = int(values["udp.dstport"] or 0)
        self.payload = bytes.fromhex(values["udp.payload"]) if values["udp.payload"] else b""
        # Wireshark's UDP dissector calls a datagram to or from ports 33434-33534 a possible traceroute:
        # a guess about the port number a client happened to pick, not about the message.
        traceroute = any(33434 <= port <= 33534 for port in (self.sport, self.dport))
        self.flags = values["_ws.malformed"], [m for m in self.expert
                                               if not (traceroute and m.startswith("Possible traceroute: "))]

    def __getitem__(self, name):
        return self.fields[name]

    def mode(self):
        return int(self["ntp.flags.mode"]) if self["ntp.flags.mode"] else None

    def timestamp(self, offset):
        """Unix time of the payload's timestamp at a byte offset (None when zero)."""
        raw = self.payload[offset:offset + 8]
        if raw == bytes(8):
            return None
        seconds, fraction = int.from_bytes(raw[:4], "big"), int.from_bytes(raw[4:], "big")
        return seconds - NTP_EPOCH_OFFSET + fraction / 2 ** 32

    def describe(self):
        shown = {k: v for k, v in self.fields.items() if v and k != "udp.payload"}
        return f"{shown} expert {self.expert} payload {self.payload.hex()}"


class Capture:
    """tshark on the veth of a namespace, UDP port 123 (and the probe port), decoded to fields.

    "Capturing on" alone proved too early here (a datagram sent right after it was missed), so start()
    also sends probe datagrams to port 9 until tshark shows one."""

    def __init__(self, net, ns):
        self.net, self.ns = net, ns
        base = os.path.join(harness.workdir(), f"tshark{id(self)}")
        self.out_path, self.err_path = base + ".out", base + ".err"
        self.process = None
        self._cleanup = None
        self.rows = []

    def start(self):
        argv = ["ip", "netns", "exec", self.ns, "tshark", "-i", harness.Network.DEVICE, "-n", "-l", "-f",
                f"udp port 123 or udp port {PROBE_PORT}", "-T", "fields", "-E", "separator=/t",
                "-E", "occurrence=a", "-E", "aggregator=|"]
        for name in FIELDS:
            argv += ["-e", name]
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                            start_new_session=True, preexec_fn=harness._set_parent_death_signal)
        self._cleanup = harness._register(self.stop)
        harness.wait_until(lambda: self._alive_check() and "Capturing on" in self._errors(), 30,
                           "tshark to start capturing", interval=0.02)
        other = harness.Network.DAEMON_ADDR if self.ns == self.net.peer_ns else harness.Network.PEER_ADDR
        with harness._InNamespace(self.ns):
            probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            deadline = time.monotonic() + 30
            while not any(p.dport == PROBE_PORT for p in self._read()):
                self._alive_check()
                if time.monotonic() > deadline:
                    raise AssertionError("tshark never showed its probe datagrams\n" + self._errors())
                probe.sendto(b"probe", (other, PROBE_PORT))
                time.sleep(0.05)
        finally:
            probe.close()
        return self

    def _alive_check(self):
        if self.process.poll() is not None:
            raise AssertionError(f"tshark exited ({self.process.returncode}): {self._errors()}")
        return True

    def _errors(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def _read(self):
        with open(self.out_path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        rows = [line.split("\t") for line in text.split("\n")[:-1]]
        return [Packet(r) for r in rows if r and r[0]]

    def packets(self):
        """Captured NTP-port datagrams so far (the probes left out)."""
        return [p for p in self._read() if PROBE_PORT not in (p.sport, p.dport)]

    def wait(self, predicate, timeout, what):
        """Waits until predicate(packets) holds; returns the packets."""
        return harness.wait_until(lambda: self._alive_check() and predicate(self.packets()) and self.packets(),
                                  timeout, what + " in the capture", interval=0.02)

    def stop(self):
        """Ends tshark (SIGINT, as at a terminal) and its dumpcap; returns the packets."""
        if self.process is not None:
            helpers = _children(self.process.pid)
            _end(self.process, signal.SIGINT)
            for pid in helpers:  # dumpcap, started by tshark: ends with it, else ended here by pid
                for _ in range(50):
                    if not os.path.exists(f"/proc/{pid}"):
                        break
                    time.sleep(0.02)
                else:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGKILL)
        if self._cleanup is not None:
            harness._unregister(self._cleanup)
            self._cleanup = None
        self.rows = self.packets() if self.process is not None else []
        return self.rows


# ------------------------------------------------------------------------------------------ the matrix

ROWS = []  # (peer, case, "PASS"/"FAIL", figure)


class _Row:
    def __init__(self, peer, case):
        self.peer, self.case, self.figure = peer, case, ""

    def __enter__(self):
        return self

    def __exit__(self, kind, value, _tb):
        if kind is None:
            ROWS.append((self.peer, self.case, "PASS", self.figure))
        elif issubclass(kind, Exception):
            first = (str(value).strip().splitlines() or [kind.__name__])[0][:90]
            ROWS.append((self.peer, self.case, "FAIL", (self.figure + "; " if self.figure else "") + first))
        return False


def row(peer, case):
    """with row(peer, case) as r: ...  -- a matrix row: PASS unless the block raises; r.figure is shown."""
    return _Row(peer, case)


def print_matrix(title, peer_versions):
    out = [f"\n==== {title} ====", "peers:"]
    out += [f"  {name}: {line}" for name, line in peer_versions.items()]
    widths = [max([len(r[i]) for r in ROWS] + [len(h)]) for i, h in enumerate(("peer", "case", "result"))]
    out.append(f"{'peer':<{widths[0]}}  {'case':<{widths[1]}}  {'result':<{widths[2]}}  measured")
    def group(r):  # Zelkor serving, Zelkor following, tshark's decoding, the rest
        return 0 if r[1].startswith("takes ") else 1 if r[0].startswith("chronyd") else 2 if r[0] == "tshark" else 3
    for peer, case, result, figure in sorted(ROWS, key=group):
        out.append(f"{peer:<{widths[0]}}  {case:<{widths[1]}}  {result:<{widths[2]}}  {figure}")
    passed = sum(r[2] == "PASS" for r in ROWS)
    out.append(f"matrix: {passed} passed, {len(ROWS) - passed} failed")
    print("\n".join(out), flush=True)
