"""Wine side of Zelkor's tests: a Wine prefix whose wineserver lives in a network namespace, the Windows
build run in it (console runs, the service under Wine's service manager), and a probe for what Wine's
sc.exe cannot show.

    net = harness.Network()
    wine = Prefix(net.daemon_ns).boot()           # ~11 s: wineboot, persistent wineserver, warm-up
    result = wine.run(wine.exe, "add")             # a finished command: .returncode, .stdout (bytes)
    d = wine.start(wine.exe, "debug")              # a console run, read like harness.Daemon
    d.wait_line("Listening for time broadcasts")

Facts this rests on (Wine 8, found by trying):
  * Wine's sockets live in the wineserver's network namespace, so every step, wineboot included, runs
    under `ip netns exec NS`; one prefix per namespace.
  * A persistent wineserver (`-p60` here) after the first boot keeps the service manager's state between
    commands (with a plain one it dies with the last program and "add" succeeds twice); a warm-up
    command with all standard handles away from pipes keeps later captured commands from hanging (Wine's
    system processes inherit the handles of the process that starts them).
  * Wine's services.exe starts services with an environment block built from the registry (once, at its
    first service start), not from any Unix environment. ZELKOR_VIRTUAL_CLOCK therefore goes into
    HKLM\\...\\Session Manager\\Environment before the warm-up; a registry variable also wins over the
    Unix one for every program started here, so every Windows run in the prefix, service or console,
    uses this prefix's one clock file (clock_path) and none can touch the machine's clock.
  * services.exe passes its own Unix environment and standard error on to the services it starts. The
    warm-up runs with WINEDEBUG=+service,+pid and its standard error in service_trace_path, so every
    SetServiceStatus call and every control a service receives is written there (service_events()).
  * Wine's sc.exe has no qc, sdshow or interrogate; scprobe.c, built with MinGW-w64, asks the service
    control manager directly.

Clean-up: close() (also registered with the harness, so it runs at exit and on its signals) stops the
processes started here by pid, ends this prefix's wineserver with `wineserver -k`, ends by pid anything
still carrying this WINEPREFIX, and removes the temporary directory.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "system"))
import harness  # noqa: E402
import peer  # noqa: E402  (re-exported for the test files)

SERVICE_KEY = r"SYSTEM\CurrentControlSet\Services\Zelkor"
ENVIRONMENT_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"
MINGW_CC = "x86_64-w64-mingw32-gcc"

# Service states and controls, as numbers in traces and probe output.
STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
CONTROL_STOP, CONTROL_INTERROGATE = 1, 4


def windows_binary():
    path = os.environ.get("ZELKOR_WIN_BIN") or os.path.join(HERE, "..", "..", "build-win", "zelkornt.exe")
    return os.path.abspath(path)


def windows_path(unix_path):
    """The Windows name of a Unix path: C: for what lies in a prefix's drive_c, else Wine's Z: drive (/)."""
    path = os.path.abspath(unix_path)
    head, inside, rest = path.partition("/drive_c/")
    if inside and os.path.isdir(os.path.join(head, "dosdevices")):
        return "C:\\" + rest.replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


def text(raw):
    """Console output of a Windows program as text, its CR LF line ends made LF."""
    return raw.decode("utf-8", "replace").replace("\r\n", "\n")


def _own_pids_with(marker):
    """Pids of processes whose environment holds the exact entry `marker` (bytes), this one excluded."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open(f"/proc/{name}/environ", "rb") as f:
                entries = f.read().split(b"\0")
        except OSError:
            continue
        if marker in entries:
            found.append(int(name))
    return found


# -------------------------------------------------------------------------------------- console runs

class WineProcess(harness.LogLines):
    """A Windows program started in a prefix, its standard output in a file (read like harness.Daemon)."""

    wait_timeout = 10.0

    def __init__(self, prefix, argv, name):
        self.prefix, self.argv = prefix, list(argv)
        self.log_path = os.path.join(prefix.dir, name + ".out")
        self.err_path = os.path.join(prefix.dir, name + ".err")
        with open(self.log_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(prefix.command(*argv), stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, env=prefix.env, start_new_session=True,
                                            preexec_fn=harness._set_parent_death_signal)
        self._cleanup = harness._register(self.stop)

    def alive(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=30):
        return self.process.wait(timeout)

    def stop(self):
        """SIGTERM to the process (ip netns exec and wine exec in place: it is the Windows program), then
        SIGKILL after 3 s."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(5)
        harness._unregister(self._cleanup)

    def output(self):
        with open(self.log_path, "rb") as f:
            return text(f.read())

    def wait_udp_port(self, port=harness.NTP_PORT, timeout=10.0):
        """Waits until a UDP socket on port exists in this program's namespace (Wine's sockets are the
        wineserver's, in the same namespace; Prefix.wait_udp_port_free before the start makes it ours)."""
        deadline = time.monotonic() + timeout
        while port not in self.prefix.udp_ports():
            if not self.alive() or time.monotonic() >= deadline:
                raise AssertionError(f"no UDP port {port} in {self.prefix.ns}\n{self.describe()}")
            time.sleep(0.01)
        return self

    def describe(self):
        lines = self.lines()
        with open(self.err_path, "rb") as f:
            errors = text(f.read())[-2000:]
        return (f"--- stdout of wine {self.argv} in {self.prefix.ns} ({len(lines)} lines, last 40):\n"
                + "\n".join(lines[-40:]) + f"\n--- stderr:\n{errors}")


# ---------------------------------------------------------------------------------------------- prefix

class Prefix:
    """A fresh Wine prefix in a temporary directory, its wineserver in network namespace ns."""

    def __init__(self, ns):
        self.ns = ns
        self.dir = tempfile.mkdtemp(prefix=f"zelkor-wine-{os.getpid()}-")
        self.path = os.path.join(self.dir, "prefix")
        self.clock_path = os.path.join(self.dir, "zelkornt.clock")
        self.service_trace_path = os.path.join(self.dir, "services.trace")
        self.exe = windows_binary()
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("WINE", "ZELKOR_", "DISPLAY", "WAYLAND"))}
        env.update(WINEPREFIX=self.path, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                   ZELKOR_VIRTUAL_CLOCK=windows_path(self.clock_path))
        self.env = env
        self._booted = False
        self._count = 0
        self._cleanup = harness._register(self.close)

    # ---- life

    def command(self, *argv):
        return ["ip", "netns", "exec", self.ns, "wine", *argv]

    def _plain(self, argv, timeout, env=None, stderr=subprocess.DEVNULL):
        """A Wine tool run with no pipes at all (see the warm-up above)."""
        subprocess.run(["ip", "netns", "exec", self.ns, *argv], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=stderr, env=env or self.env, timeout=timeout,
                       check=True)

    def boot(self):
        """wineboot, the clock variable, persistent wineserver, warm-up with the service trace (~11 s)."""
        self._plain(["wineboot", "-i"], 180)
        # Run from C:\zelkor, as installed: "add" refuses a program in a folder others may change, and the
        # Z: drive shows this machine's /tmp, which everyone may write.
        installed = os.path.join(self.path, "drive_c", "zelkor")
        os.makedirs(installed, mode=0o755)
        for program in (self.exe, os.path.join(os.path.dirname(self.exe), "zelkorstat.exe")):
            if os.path.exists(program):
                shutil.copy(program, installed)
        self.stat_exe = os.path.join(installed, "zelkorstat.exe")
        self.exe = os.path.join(installed, os.path.basename(self.exe))
        self.status_path = os.path.join(self.path, "drive_c", "ProgramData", "Zelkor", "status")
        self._plain(["wine", "reg", "add", ENVIRONMENT_KEY, "/v", "ZELKOR_VIRTUAL_CLOCK", "/t", "REG_SZ",
                     "/d", windows_path(self.clock_path), "/f"], 60)
        self._plain(["wineserver", "-w"], 60)
        # Persistent, yet ending by itself a minute after the last program of the prefix ended, should
        # this process be killed before close() runs (and sweep_stale_prefixes() finds the rest).
        self._plain(["wineserver", "-p60"], 30)
        self._booted = True
        # eventlog: each ReportEvent's strings, the Event Log's lines (Wine's calls are stubs that keep none);
        # fixme+advapi: the stub's own line before them, with the call's arguments, the Event ID among them.
        trace_env = dict(self.env, WINEDEBUG="-all,+service,+pid,+eventlog,fixme+advapi")
        with open(self.service_trace_path, "ab") as trace:
            self._plain(["wine", "cmd", "/c", "exit"], 60, env=trace_env, stderr=trace)
        return self

    def close(self):
        if self._booted or os.path.isdir(self.path):
            try:
                subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)
            except subprocess.TimeoutExpired:
                pass
            self._booted = False
        marker = ("WINEPREFIX=" + self.path).encode()
        for _ in range(50):  # up to ~5 s for the processes of this prefix to go
            left = _own_pids_with(marker)
            if not left:
                break
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)
        if os.environ.get("ZELKOR_KEEP_LOGS") == "1":
            print(f"winehelper: prefix kept in {self.dir}", file=sys.stderr)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)
        harness._unregister(self._cleanup)

    # ---- programs

    def run(self, *argv, timeout=60, env=None):
        """Runs a Windows program to its end; returns the CompletedProcess (stdout and stderr as bytes).
        env: variables to change for this run (e.g. WINEDEBUG)."""
        return subprocess.run(self.command(*argv), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=dict(self.env, **(env or {})), timeout=timeout)

    def udp_ports(self):
        """Local ports of the UDP sockets in this prefix's namespace."""
        table = subprocess.run(["ip", "netns", "exec", self.ns, "cat", "/proc/net/udp"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, timeout=10,
                               check=True).stdout
        return {int(row.split()[1].rsplit(":", 1)[1], 16) for row in table.splitlines()[1:] if row.split()}

    def wait_udp_port_free(self, port=harness.NTP_PORT, timeout=5.0):
        """Waits until no socket holds port here (a program just ended may leave it a moment)."""
        harness.wait_until(lambda: port not in self.udp_ports(), timeout, f"UDP port {port} to be free",
                           interval=0.02)

    def start(self, *argv):
        self._count += 1
        return WineProcess(self, argv, f"run{self._count}")

    def reg(self, *args):
        result = self.run("reg", *args)
        if result.returncode != 0:
            raise RuntimeError(f"wine reg {args} failed: {text(result.stdout + result.stderr)}")

    def import_values(self, key, values):
        """Sets values under HKLM\\key through a .reg file: {name: '"text"' | 'dword:..' | 'hex(b):..'}."""
        path = os.path.join(self.dir, "values.reg")
        lines = ["Windows Registry Editor Version 5.00", "", f"[HKEY_LOCAL_MACHINE\\{key}]"]
        lines += [f'"{name}"={data}' for name, data in values.items()]
        with open(path, "w", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        self.reg("import", windows_path(path))

    def windows_folder(self):
        return os.path.join(self.path, "drive_c", "windows")

    # ---- virtual clock

    def set_clock(self, **keys):
        """Writes the clock file for the next start (no keys: removes it, so the next start begins at 0)."""
        if not keys:
            if os.path.exists(self.clock_path):
                os.remove(self.clock_path)
            return
        with open(self.clock_path, "w") as f:
            f.write("".join(f"{k}={v}\n" for k, v in keys.items()))

    def clock(self):
        return read_clock(self.clock_path)

    def clock_offset_ms(self):
        return clock_offset_ms(self.clock())

    # ---- service manager

    def service_events(self, start=0):
        """(events, end): what the service trace shows of the Zelkor service processes from byte `start`
        on: ("status", (type, state, controls, exit, service_exit, checkpoint, waithint)) for each
        SetServiceStatus call and ("control", n) for each control delivered, in order; end is where to
        start next time. A process is Zelkor's once the trace shows it register Zelkor's handler."""
        with open(self.service_trace_path, "rb") as f:
            data = f.read()
        end = data.rfind(b"\n") + 1
        zelkor = set()
        events = []
        offset = 0
        for raw in data[:end].split(b"\n")[:-1]:
            at, offset = offset, offset + len(raw) + 1
            m = re.match(r"([0-9a-f]+):[0-9a-f]+:trace:service:(\w+) (.*)$", raw.decode("utf-8", "replace"))
            if not m:
                continue
            pid, function, rest = m.groups()
            if function == "RegisterServiceCtrlHandlerExW" and rest.startswith('L"Zelkor"'):
                zelkor.add(pid)
            elif at < start:
                continue
            elif function == "service_handle_control" and rest.startswith('L"Zelkor"'):
                events.append(("control", int(re.search(r"control (\d+)", rest).group(1))))
            elif function == "SetServiceStatus" and pid in zelkor:
                events.append(("status", tuple(int(x, 0) for x in rest.split()[1:8])))
        return events, end

    def trace_size(self):
        return os.path.getsize(self.service_trace_path)

    def reported_events(self, start):
        """(Event ID, string) of each ReportEventW call in the service trace since start. The ID is the one
        Event Viewer shows (the low 16 bits of the message's), read from the stub's fixme line with the
        call's arguments; the string from the eventlog line the same thread writes next."""
        with open(self.service_trace_path, "rb") as f:
            f.seek(start)
            trace = text(f.read())
        ids, found = {}, []
        for m in re.finditer(r'^(\w+:\w+):(?:fixme:advapi:ReportEventW \(\w+,\w+,\w+,0x(\w+),'
                             r'|\w+:eventlog:ReportEventW L"(.*)"$)', trace, re.M):
            thread, event_id, string = m.groups()
            if event_id is not None:
                ids[thread] = int(event_id, 16) & 0xFFFF
            else:  # Wine's debugstr escapes, undone
                found.append((ids.pop(thread, None), re.sub(r"\\(.)", r"\1", string)))
        return found

    def wait_service_events(self, start, predicate, timeout=10.0):
        """Waits until predicate(events since start) is true; returns those events."""
        deadline = time.monotonic() + timeout
        while True:
            events, _ = self.service_events(start)
            if predicate(events):
                return events
            if time.monotonic() >= deadline:
                raise AssertionError(f"service trace never showed what was wanted; it has {events}")
            time.sleep(0.02)

    def service_processes(self):
        """Pids of running Zelkor service processes of this prefix (image path given by the exe)."""
        marker = ("WINEPREFIX=" + self.path).encode()
        found = []
        for pid in _own_pids_with(marker):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv = f.read().split(b"\0")
                with open(f"/proc/{pid}/stat") as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            if state != "Z" and argv and argv[0].decode("utf-8", "replace") == windows_path(self.exe) \
                    and (len(argv) == 1 or argv[1] == b""):
                found.append(pid)
        return found


# ------------------------------------------------------------------------------------------- the probe

class Probe:
    """scprobe.exe, built once per test file into the prefix's directory."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.exe = os.path.join(prefix.dir, "scprobe.exe")
        subprocess.run([MINGW_CC, "-O1", "-Wall", "-o", self.exe, os.path.join(HERE, "scprobe.c"),
                        "-ladvapi32"], check=True, timeout=120, stdin=subprocess.DEVNULL)

    def __call__(self, *args):
        # Every command prints a line, so a run that prints nothing never reached main (seen once, just
        # after an uninstall, cause unknown). Tried again a few times, and each empty run said.
        for attempt in range(4):
            result = self.prefix.run(self.exe, *args, timeout=30)
            if result.stdout.strip():
                return text(result.stdout).strip()
            sys.stderr.write(f"scprobe {' '.join(args)}: no output (exit {result.returncode}: "
                             f"{text(result.stderr).strip()!r}); attempt {attempt + 1} of 4\n")
            time.sleep(0.5)
        raise RuntimeError(f"scprobe {' '.join(args)} printed nothing, four times")

    def config(self):
        """QueryServiceConfigA of Zelkor as a dict (type, start, error, binary, dependencies, display,
        account), or {"failed": call, "error": code}."""
        return dict(line.partition("=")[::2] for line in self("config", "Zelkor").splitlines())

    def status(self, command="status"):
        """QueryServiceStatus ("status") or the status an interrogation returns ("interrogate") as a dict
        of numbers, or {"failed": call, "error": code}."""
        out = dict(pair.partition("=")[::2] for pair in self(command, "Zelkor").split())
        return {k: (v if k == "failed" else int(v, 0)) for k, v in out.items()}

    def value(self, name, key=SERVICE_KEY):
        """(type, raw bytes) of a registry value under HKLM, or None when it cannot be read."""
        out = dict(pair.partition("=")[::2] for pair in self("value", key, name).split())
        if "failed" in out:
            return None
        return int(out["type"]), bytes.fromhex(out["hex"])

    def message(self, code):
        """FormatMessageA's text for a system error code as the daemon prints it: less its CR LF."""
        out = self("message", str(code))
        if out == "none":
            return None
        raw = bytes.fromhex(out.partition("=")[2])
        assert raw.endswith(b"\r\n"), raw
        return raw[:-2].decode("latin-1")


def sweep_stale_prefixes():
    """Ends the wineservers and processes of prefixes a killed earlier run left, and removes them."""
    base = tempfile.gettempdir()
    for name in os.listdir(base):
        m = re.fullmatch(r"zelkor-wine-(\d+)-\w+", name)
        if not m or os.path.exists(f"/proc/{m.group(1)}"):
            continue
        path = os.path.join(base, name, "prefix")
        if os.path.isdir(path):
            env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all")
            subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=20)
            for pid in _own_pids_with(("WINEPREFIX=" + path).encode()):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        shutil.rmtree(os.path.join(base, name), ignore_errors=True)


def mingw_available():
    return shutil.which(MINGW_CC) is not None


# --------------------------------------------------------------------------------------- virtual clock

read_clock = harness.read_clock
clock_offset_ms = harness.clock_offset_ms


# ------------------------------------------------------------------------------------------ test entry

def main():
    """harness.main plus the Wine checks: wine and the Windows build must be there."""
    for tool in ("wine", "wineserver", "wineboot"):
        if shutil.which(tool) is None:
            print(f"Wine tests need `{tool}` (apt-get install wine64)", file=sys.stderr)
            sys.exit(2)
    if not os.path.isfile(windows_binary()):
        print(f"no Windows build at {windows_binary()}: cross-build it or set ZELKOR_WIN_BIN",
              file=sys.stderr)
        sys.exit(2)
    sweep_stale_prefixes()
    os.environ.setdefault("ZELKOR_TEST_BUDGET", "200")
    harness.main()
