"""System-test harness for zelkornt: network namespaces, daemon processes, peer sockets, clean-up.

    net = Network()                                  # two namespaces joined by a veth pair
    d = Daemon(net.daemon_ns, clock={"offset_ms": -500}).start()
    d.wait_bound()                                   # the daemon holds UDP port 123
    s = net.peer_socket()                            # a UDP socket living in the peer namespace
    s.sendto(peer.request(b"..."), (net.DAEMON_ADDR, 123))
    d.wait_line("NTP message received from 10.77.0.2 mode 3")
    d.clock()                                        # the virtual clock file as a dict
    d, notify = start_service(test, net.daemon_ns)   # as systemd runs it: READY=1 seen, port 123 held

Every daemon runs as `ip netns exec NS capsh --drop=cap_sys_time -- -c 'exec zelkornt ...'` and with a
virtual clock file unless told otherwise, so no test can touch this machine's clock. Everything started
is registered and torn down by Daemon.stop / Network.close, and again at exit and on SIGTERM, SIGHUP,
SIGINT and SIGALRM (the time budget), and (for processes) by the kernel if this process dies
(PR_SET_PDEATHSIG). Namespace names carry this process's pid (zk<pid>n<k>a/b); names left by a dead run
are removed when the harness starts.

Environment: ZELKOR_BIN (the daemon; default build/zelkornt of this checkout), ASAN_OPTIONS,
UBSAN_OPTIONS, LSAN_OPTIONS (passed to the daemon), ZELKOR_TEST_BUDGET (seconds a test file may run,
default 240), ZELKOR_KEEP_LOGS=1 (keep the temporary directory of logs).
"""

import atexit
import ctypes
import os
import queue
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "tools"))
import peer  # noqa: E402  (the shared packet tool)

NTP_PORT = 123
# A one-way delay measured between two namespaces of this machine: a millisecond or so, tens of them on a
# loaded machine under Wine. One taken from mismatched clocks or units would be seconds off.
DELAY_BOUND_S = 0.050
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "ERROR: UndefinedBehaviorSanitizer",
                     "runtime error:")
PASSED_ENVIRONMENT = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "ASAN_SYMBOLIZER_PATH",
                      "LLVM_SYMBOLIZER_PATH")

_libc = ctypes.CDLL(None, use_errno=True)
_CLONE_NEWNET = 0x40000000
_PR_SET_PDEATHSIG = 1
_CAP_SYS_TIME = 25


def daemon_binary():
    path = os.environ.get("ZELKOR_BIN") or os.path.join(HERE, "..", "..", "build", "zelkornt")
    return os.path.abspath(path)


# ---------------------------------------------------------------------------------------------- clean-up

_cleanups = []  # callables, run last-registered first; each removes itself when done
_workdir = None


def _register(fn):
    _cleanups.append(fn)
    return fn


def _unregister(fn):
    if fn in _cleanups:
        _cleanups.remove(fn)


def cleanup_all():
    """Stops every process and removes every namespace still registered. Safe to call more than once."""
    while _cleanups:
        fn = _cleanups.pop()
        try:
            fn()
        except Exception as e:  # keep going: the rest must be cleaned too
            print(f"harness: clean-up step failed: {e!r}", file=sys.stderr)
    global _workdir
    if _workdir and os.path.isdir(_workdir) and os.environ.get("ZELKOR_KEEP_LOGS") != "1":
        shutil.rmtree(_workdir, ignore_errors=True)
        _workdir = None


_stopping = False


def _on_signal(signum, _frame):
    global _stopping
    if _stopping:
        return
    _stopping = True
    name = "time budget spent (SIGALRM)" if signum == signal.SIGALRM else f"signal {signum}"
    print(f"\nharness: {name}: stopping everything and failing", file=sys.stderr)
    cleanup_all()
    sys.stdout.flush()
    sys.stderr.flush()
    # Not SystemExit: unittest would count it as one test's error and carry on with the next.
    os._exit(128 + signum)


atexit.register(cleanup_all)
for _sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGALRM):
    signal.signal(_sig, _on_signal)


def workdir():
    """This process's temporary directory (logs, configuration and clock files)."""
    global _workdir
    if _workdir is None:
        _workdir = tempfile.mkdtemp(prefix=f"zelkor-system-{os.getpid()}-")
        if os.environ.get("ZELKOR_KEEP_LOGS") == "1":
            print(f"harness: logs kept in {_workdir}", file=sys.stderr)
    return _workdir


def _run(*argv, check=True):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=20)
    if check and result.returncode != 0:
        raise RuntimeError(f"{shlex.join(argv)} failed ({result.returncode}): {result.stderr.strip()}")
    return result


def _pid_alive(pid):
    return os.path.exists(f"/proc/{pid}")


def sweep_stale_namespaces():
    """Removes what a dead harness run left: namespace names zk<pid>n<k>a/b and log directories
    zelkor-system-<pid>-* whose pid is gone."""
    listing = _run("ip", "netns", "list", check=False).stdout
    for line in listing.splitlines():
        name = line.split()[0] if line.split() else ""
        m = re.fullmatch(r"zk(\d+)n\d+[a-z]", name)
        if m and not _pid_alive(int(m.group(1))):
            _run("ip", "netns", "del", name, check=False)
    parent = tempfile.gettempdir()
    for entry in os.listdir(parent):
        m = re.fullmatch(r"zelkor-system-(\d+)-\w+", entry)
        if m and not _pid_alive(int(m.group(1))):
            shutil.rmtree(os.path.join(parent, entry), ignore_errors=True)


def _set_parent_death_signal():
    # Runs in the child between fork and exec: the daemon dies with this process, whatever kills it.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


# --------------------------------------------------------------------------------------------- waiting

def wait_until(predicate, timeout, what, interval=0.002):
    """Polls predicate until it returns something true (returned) or timeout seconds pass (AssertionError)."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


class SlowRetry:
    """Runs a case again from scratch when it failed on an attempt that was slow, and so proves nothing.

        retry = SlowRetry(budget=0.005, attempts=8)
        retry(case, *args)                           # case(*args), again while a failed attempt was slow
        retry.note_lag(elapsed)                      # in the case: seconds a step took; over budget is slow

    A failure on an attempt without such a lag is a failure at once; one on the last attempt is too."""

    def __init__(self, budget, attempts):
        self.budget, self.attempts = budget, attempts
        self.slow = None  # why the current attempt may have failed for lack of time, if it may have

    def note_lag(self, elapsed, budget=None):
        budget = self.budget if budget is None else budget
        if elapsed > budget and not self.slow:
            self.slow = f"{elapsed * 1000:.1f} ms > {budget * 1000:.1f} ms"

    def __call__(self, case, *args):
        for attempt in range(1, self.attempts + 1):
            self.slow = None
            try:
                return case(*args)
            except AssertionError as failure:
                if not self.slow:
                    raise
                if attempt == self.attempts:
                    raise AssertionError(f"{failure}\n(every attempt was slow; the last: {self.slow})")
                print(f"[attempt {attempt} failed but was slow ({self.slow}); again]", file=sys.stderr, flush=True)


# ------------------------------------------------------------------------------------------ namespaces

class _InNamespace:
    """with _InNamespace(name): ...  -- this thread works inside the named network namespace."""

    def __init__(self, name):
        self.name = name

    def __enter__(self):
        self.home = open("/proc/thread-self/ns/net", "rb")
        with open(f"/run/netns/{self.name}", "rb") as target:
            if _libc.setns(target.fileno(), _CLONE_NEWNET) != 0:
                err = ctypes.get_errno()
                self.home.close()
                raise OSError(err, f"setns into {self.name}: {os.strerror(err)}")

    def __exit__(self, *exc):
        try:
            if _libc.setns(self.home.fileno(), _CLONE_NEWNET) != 0:
                err = ctypes.get_errno()
                raise OSError(err, f"setns back from {self.name}: {os.strerror(err)}")
        finally:
            self.home.close()
        return False


_network_count = 0


class Network:
    """Two namespaces joined by a veth pair (veth0 on each side), lo up, a default route through the veth.

    daemon_ns holds DAEMON_ADDR, peer_ns holds PEER_ADDR; add_address gives either side more addresses.
    default_route=False leaves the routes out (then a multicast join fails with ENODEV)."""

    DAEMON_ADDR = "10.77.0.1"
    PEER_ADDR = "10.77.0.2"
    PREFIX = 24
    DEVICE = "veth0"

    def __init__(self, default_route=True):
        global _network_count
        tag = f"zk{os.getpid()}n{_network_count}"
        _network_count += 1
        self.daemon_ns, self.peer_ns = tag + "a", tag + "b"
        self._sockets = []
        self._created = []
        self._cleanup = _register(self.close)
        try:
            for ns in (self.daemon_ns, self.peer_ns):
                _run("ip", "netns", "add", ns)
                self._created.append(ns)
            _run("ip", "link", "add", self.DEVICE, "netns", self.daemon_ns, "type", "veth",
                 "peer", "name", self.DEVICE, "netns", self.peer_ns)
            for ns, addr in ((self.daemon_ns, self.DAEMON_ADDR), (self.peer_ns, self.PEER_ADDR)):
                _run("ip", "-n", ns, "link", "set", "lo", "up")
                _run("ip", "-n", ns, "addr", "add", f"{addr}/{self.PREFIX}", "dev", self.DEVICE)
                _run("ip", "-n", ns, "link", "set", self.DEVICE, "up")
                if default_route:
                    _run("ip", "-n", ns, "route", "add", "default", "dev", self.DEVICE)
        except BaseException:
            self.close()
            raise

    def add_address(self, ns, addr):
        _run("ip", "-n", ns, "addr", "add", f"{addr}/{self.PREFIX}", "dev", self.DEVICE)

    def socket(self, ns, address="0.0.0.0", port=0, reuse=False):
        """A UDP socket created inside ns (broadcast allowed), bound to address:port. Closed by close()."""
        with _InNamespace(ns):
            s = peer.udp_socket(address, port, reuse=reuse)
        self._sockets.append(s)
        return s

    def peer_socket(self, address=None, port=0):
        return self.socket(self.peer_ns, address or self.PEER_ADDR, port)

    def raw_socket(self, ns):
        """A raw socket in ns that sends peer.spoofed() datagrams: any source address. Closed by close()."""
        with _InNamespace(ns):
            s = peer.raw_socket()
        self._sockets.append(s)
        return s

    def capture_socket(self, ns):
        """A packet socket in ns that receives every IPv4 packet there, from its IP header on. Closed by close()."""
        with _InNamespace(ns):
            s = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
        self._sockets.append(s)
        return s

    def close(self):
        for s in self._sockets:
            s.close()
        self._sockets = []
        while self._created:
            _run("ip", "netns", "del", self._created.pop(), check=False)
        _unregister(self._cleanup)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


# -------------------------------------------------------------------------------------------- daemons

def secret_file(name, text):
    """A file in the work directory only its owner may read or change, as a keys file must be."""
    path = os.path.join(workdir(), name)
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write(text)
    return path


def _daemon_environment(config_path, clock_path, status_path, extra):
    # Never this machine's /etc/zelkor/conf.d: a folder beside the configuration, made by a test that wants it.
    env = {"PATH": os.environ.get("PATH", "/usr/sbin:/usr/bin:/sbin:/bin"), "ZELKOR_CONFIG": config_path,
           "ZELKOR_CONFDIR": os.path.splitext(config_path)[0] + ".conf.d", "ZELKOR_STATUS": status_path}
    for key in PASSED_ENVIRONMENT:
        if key in os.environ:
            env[key] = os.environ[key]
    if clock_path is not None:
        env["ZELKOR_VIRTUAL_CLOCK"] = clock_path
    env.update(extra or {})
    return env


def _command(ns, args, prelude=None):
    inner = "exec " + shlex.join([daemon_binary(), *args])
    if prelude:
        inner = f"{prelude} && {inner}"
    return ["ip", "netns", "exec", ns, "capsh", "--drop=cap_sys_time", "--", "-c", inner]


def sanitizer_report(text):
    """The sanitizer report in a stderr text, or None."""
    for marker in SANITIZER_MARKERS:
        at = text.find(marker)
        if at >= 0:
            return text[max(0, at - 200):at + 3000]
    return None


_daemon_count = 0


class LogLines:
    """Reading a program's console log as it grows: needs output(), alive(), describe() and process."""

    wait_timeout = 5.0

    def lines(self):
        """Complete stdout lines so far (a line still being written is left out)."""
        text = self.output()
        return text.split("\n")[:-1]

    def count(self, line):
        """Lines equal to a string, or fully matching a compiled pattern."""
        return len(self.matching(line))

    def matching(self, line):
        if isinstance(line, re.Pattern):
            return [l for l in self.lines() if line.fullmatch(l)]
        return [l for l in self.lines() if l == line]

    def wait_line(self, line, count=1, timeout=None):
        """Waits until at least count lines equal `line` (or fully match it, if a pattern); returns them.
        Looks every 0.5 ms for the first 50 ms, then every 2 ms: tests time the daemon by this."""
        start = time.monotonic()
        deadline = start + (self.wait_timeout if timeout is None else timeout)
        while True:
            found = self.matching(line)
            if len(found) >= count:
                return found
            if not self.alive() or time.monotonic() >= deadline:
                what = line.pattern if isinstance(line, re.Pattern) else line
                state = "running" if self.alive() else f"exited ({self.process.poll()})"
                raise AssertionError(f"wanted {count} x {what!r}, have {len(found)} (daemon {state})\n"
                                     + self.describe())
            time.sleep(0.0005 if time.monotonic() - start < 0.05 else 0.002)


class Daemon(LogLines):
    """One zelkornt process in a namespace.

    args: its command line (default "debug"). config: INI text written to a fresh ZELKOR_CONFIG file, or
    None for a path that does not exist. clock: initial virtual-clock keys (dict or text); without them
    the daemon creates the file itself. virtual_clock=False: no ZELKOR_VIRTUAL_CLOCK at all (the daemon
    still runs without CAP_SYS_TIME). env: extra environment. prelude: shell commands run just before the
    daemon, in its own mount namespace (ip netns exec makes one), e.g. a mount only it sees."""

    def __init__(self, ns, args=("debug",), config=None, clock=None, env=None, virtual_clock=True,
                 prelude=None, journal=False):
        global _daemon_count
        _daemon_count += 1
        base = os.path.join(workdir(), f"daemon{_daemon_count}")
        self.ns, self.args = ns, list(args)
        self.log_path, self.err_path = base + ".out", base + ".err"
        self.config_path = base + ".ini"
        if config is not None:
            with open(self.config_path, "w") as f:
                f.write(config)
        self.clock_path = base + ".clock" if virtual_clock else None
        if virtual_clock and clock:
            with open(self.clock_path, "w") as f:
                f.write(clock if isinstance(clock, str) else "".join(f"{k}={v}\n" for k, v in clock.items()))
        self.status_path = base + ".status"  # never this machine's /run/zelkor/status
        self.env = _daemon_environment(self.config_path, self.clock_path, self.status_path, env)
        self.prelude = prelude
        self.journal_stream = journal
        self.process = None
        self._cleanup = None

    # ---- life

    def start(self):
        with open(self.log_path, "wb") as out, open(self.err_path, "wb") as err:
            env = dict(self.env)
            if self.journal_stream:
                info = os.fstat(err.fileno())
                env["JOURNAL_STREAM"] = f"{info.st_dev}:{info.st_ino}"
            self.process = subprocess.Popen(_command(self.ns, self.args, self.prelude), stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, env=env, start_new_session=True,
                                            preexec_fn=_set_parent_death_signal)
        self._cleanup = _register(self.stop)
        self._check_cannot_set_clock()
        return self

    def _check_cannot_set_clock(self):
        # The whole chain (ip, capsh, shell) execs in place: once the pid runs the daemon, its bounding
        # set must lack CAP_SYS_TIME. If it does not, or that cannot be seen, the daemon is stopped at once.
        binary = os.path.realpath(daemon_binary())
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return  # a one-shot run already over
            try:
                # A binary rebuilt meanwhile reads "<path> (deleted)".
                if os.readlink(f"/proc/{self.process.pid}/exe").startswith(binary):
                    with open(f"/proc/{self.process.pid}/status") as f:
                        status = f.read()
                    bounding = int(re.search(r"^CapBnd:\s*([0-9a-f]+)", status, re.M).group(1), 16)
                    if bounding & (1 << _CAP_SYS_TIME):
                        self.stop(check=False)
                        raise RuntimeError("the daemon kept CAP_SYS_TIME; stopped it")
                    return
            except (FileNotFoundError, ProcessLookupError):
                pass
            time.sleep(0.002)
        self.stop(check=False)
        raise RuntimeError(f"could not see {binary} running as pid {self.process.pid} to check its capabilities")

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def stop(self, check=True):
        """SIGTERM, then SIGKILL after 3 s. With check, a sanitizer report on stderr fails (AssertionError)."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        if self._cleanup is not None:
            _unregister(self._cleanup)
            self._cleanup = None
        if check:
            self.assert_no_sanitizer_report()

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"daemon {self.args} still running after {timeout} s\n{self.describe()}")

    # ---- output

    def output(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def errors(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def journal(self):
        """The service log's lines, "<priority>text", of a daemon started with journal=True."""
        return [line for line in self.errors().splitlines() if re.match(r"<\d>", line)]

    def describe(self):
        lines = self.lines()
        tail = "\n".join(lines[-40:])
        return (f"--- stdout of {self.args} in {self.ns} ({len(lines)} lines, last 40):\n{tail}\n"
                f"--- stderr:\n{self.errors()[-3000:]}")

    def assert_no_sanitizer_report(self):
        report = sanitizer_report(self.errors())
        if report:
            raise AssertionError(f"sanitizer report from the daemon {self.args}:\n{report}")

    # ---- sockets

    def udp_ports(self):
        """Local (address, port) of the UDP sockets this process holds."""
        pid = self.process.pid
        inodes = set()
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    target = os.readlink(f"/proc/{pid}/fd/{fd}")
                except OSError:
                    continue
                m = re.fullmatch(r"socket:\[(\d+)\]", target)
                if m:
                    inodes.add(m.group(1))
            with open(f"/proc/{pid}/net/udp") as f:
                table = f.read().splitlines()[1:]
        except (FileNotFoundError, ProcessLookupError):
            return []
        out = []
        for row in table:
            cols = row.split()
            if len(cols) > 9 and cols[9] in inodes:
                addr, port = cols[1].split(":")
                dotted = socket.inet_ntoa(int(addr, 16).to_bytes(4, "little"))
                out.append((dotted, int(port, 16)))
        return out

    def wait_bound(self, port=NTP_PORT, timeout=5.0):
        """Waits until this daemon holds a UDP socket on port."""
        deadline = time.monotonic() + timeout
        while not any(p == port for _, p in self.udp_ports()):
            if not self.alive() or time.monotonic() >= deadline:
                raise AssertionError(f"daemon never bound UDP port {port}\n{self.describe()}")
            time.sleep(0.005)
        return self

    # ---- virtual clock

    def clock(self):
        """The virtual clock file as {key: text}."""
        return read_clock(self.clock_path)

    def clock_offset_ms(self, real=None):
        """Virtual minus real time now (ms), by the clock file's own rule."""
        return clock_offset_ms(self.clock(), real)


def read_status(path):
    """A status file as a dict of its key=value lines."""
    with open(path) as f:
        return dict(line.rstrip("\n").split("=", 1) for line in f)


def assert_lines(test, lines, expected, daemon):
    """Lines equal to the expected strings, or fully matching the expected patterns, one for one."""
    ok = len(lines) == len(expected) and all(
        e.fullmatch(l) if isinstance(e, re.Pattern) else e == l for l, e in zip(lines, expected))
    if not ok:
        shown = [e.pattern if isinstance(e, re.Pattern) else e for e in expected]
        test.fail(f"logged {lines}\nexpected {shown}\n{daemon.describe()}")


def read_clock(path):
    """A virtual clock file as {key: text}."""
    values = {}
    with open(path) as f:
        for line in f:
            key, sep, value = line.strip().partition("=")
            if sep:
                values[key.strip()] = value.strip()
    return values


def clock_offset_ms(c, real=None):
    """Virtual minus real time (ms) of a clock file's values: offset_ms at since, then at adjustment/increment
    and rate_ppm."""
    real = time.time() if real is None else real
    rate = int(c["adjustment"]) / int(c["increment"]) + float(c.get("rate_ppm", 0)) / 1e6
    return float(c["offset_ms"]) + (real - float(c["since"])) * (rate - 1.0) * 1000.0


def run_once(ns, args, config=None, env=None, timeout=10.0, virtual_clock=True):
    """Runs the daemon to completion in ns; returns (exit status, stdout, stderr). Fails on a sanitizer report."""
    d = Daemon(ns, args, config=config, env=env, virtual_clock=virtual_clock).start()
    try:
        status = d.wait_exit(timeout)
    finally:
        d.stop(check=False)
    d.assert_no_sanitizer_report()
    return status, d.output(), d.errors()


def barrier(daemon, sock, to):
    """Sends a mode-7 datagram from sock to `to` and waits until the daemon has logged it: every datagram
    sent to it from the same socket before has then been handled."""
    pattern = re.compile(r"NTP message received from [0-9.]+ mode 7")
    before = daemon.count(pattern)
    sock.sendto(bytes([0x1F]) + bytes(47), to)
    daemon.wait_line(pattern, count=before + 1, timeout=5)


class NotifySocket:
    """Stands in for systemd: the daemon started with NOTIFY_SOCKET runs as the service (logging off). Like
    systemd it reads the socket all the time: a full queue would block the daemon's sd_notify."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zelkor-notify.")
        self.path = os.path.join(self.dir, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self._arrived = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                return
            if not data:  # shut down by close()
                return
            self._arrived.put(data.decode())

    def messages(self, timeout):
        """The messages not yet taken, and those arriving within timeout seconds."""
        out, deadline = [], time.monotonic() + timeout
        while True:
            try:
                out.append(self._arrived.get(timeout=max(deadline - time.monotonic(), 0.001)))
            except queue.Empty:
                return out
            if time.monotonic() >= deadline:
                return out

    def wait_for(self, text, timeout=5.0):
        deadline = time.monotonic() + timeout
        seen = []
        while time.monotonic() < deadline:
            seen += self.messages(0.05)
            if any(text in m for m in seen):
                return seen
        raise AssertionError(f"no {text!r} from the daemon; got {seen}")

    def close(self):
        self.sock.shutdown(socket.SHUT_RDWR)
        self._reader.join(5)
        self.sock.close()
        os.unlink(self.path)
        os.rmdir(self.dir)


def start_service(test, ns, notify=None, **options):
    """Starts the daemon as systemd does (no arguments, NOTIFY_SOCKET set: the service, logging off) and
    waits for its READY=1 and its UDP port 123. notify: a NotifySocket to share between runs; without one
    a new one is made. Returns (daemon, notify); the test's clean-up stops and closes what was started here.
    options: more Daemon keywords (clock, config, ...)."""
    if notify is None:
        notify = NotifySocket()
        test.addCleanup(notify.close)
    daemon = Daemon(ns, args=(), env={"NOTIFY_SOCKET": notify.path}, **options).start()
    test.addCleanup(daemon.stop)
    notify.wait_for("READY=1")
    daemon.wait_bound()
    return daemon, notify


# ------------------------------------------------------------------------------------------ test entry

def main():
    """unittest main for a system-test file: verbose, non-zero exit on any failure, bounded in time."""
    if os.geteuid() != 0:
        print("system tests need root (network namespaces); run them as root", file=sys.stderr)
        sys.exit(2)
    for tool in ("ip", "capsh"):
        if shutil.which(tool) is None:
            print(f"system tests need `{tool}` (iproute2, libcap2-bin)", file=sys.stderr)
            sys.exit(2)
    if not os.access(daemon_binary(), os.X_OK):
        print(f"no daemon at {daemon_binary()}: build it or set ZELKOR_BIN", file=sys.stderr)
        sys.exit(2)
    sweep_stale_namespaces()
    signal.alarm(int(os.environ.get("ZELKOR_TEST_BUDGET", "240")))
    try:
        program = unittest.main(module="__main__", verbosity=2, exit=False)
    finally:
        signal.alarm(0)
        cleanup_all()
    sys.exit(0 if program.result.wasSuccessful() else 1)
