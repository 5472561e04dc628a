"""A throw-away Debian container with a real systemd as PID 1, for testing zelkornt as a systemd service.

    c = Container(build_dir)         # build_dir is bound read-only at /opt/zelkor inside
    c.boot()                         # systemd-nspawn --boot on an overlay: cached root file system below,
                                     # a writable layer of this run above
    r = c.run("systemctl", "is-system-running")     # runs inside (nsenter), without CAP_SYS_TIME
    c.poweroff(); c.boot()           # a reboot: the writable layer (enabled units, files) is kept
    c.close()                        # powers off, unmounts, removes the cgroups and the run directory

The root file system (debootstrap --variant=minbase bookworm with systemd, dbus and iproute2, from the
mirror this machine's apt uses) is built once, about a minute, and cached as a tar archive
<cache>/rootfs-<suite>-<recipe>.tar and unpacked beside it (<cache>/rootfs-<suite>-<recipe>/), which
every container uses read-only as its overlay's lower layer; the writable upper layer is the run's own.
The cache folder is ZELKOR_CONTAINER_CACHE, else build/container-cache of this checkout (see
cache_directory). Delete the folder to rebuild.
systemd-container and debootstrap are installed with apt-get when missing.

The container has a private network (only its own lo) and its capability bounding set lacks
CAP_SYS_TIME, as does every command run inside: nothing in it can set this machine's clock. nspawn's own
system call filter is told to let the @clock calls through all the same (the kernel still refuses them
any change without the capability), so a service's own filter is what decides whether they get through. nspawn runs
in a cgroup of its own (zelkor-test-<pid>-<n> under this process's cgroup, in every cgroup hierarchy
systemd uses), so the container's cgroups never land beside this machine's. Everything is undone by
close(), again at exit and on SIGTERM/SIGHUP/SIGALRM; if this process is killed outright, nspawn gets
SIGTERM from the kernel (PR_SET_PDEATHSIG) and powers the container off, `timeout` bounds the
container's life anyway, and the next run removes what a dead run left (mounts, directories, cgroups).
"""

import atexit
import ctypes
import fcntl
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

RECIPE = "v3"  # bump when the root file system's recipe below changes: a new cache file is built
# systemd-timesyncd: the time daemon a Debian system has, which the package must replace; libinih1: what
# the previous release's package needs besides, for the upgrade test (the container has no network).
PACKAGES = ("systemd", "systemd-sysv", "dbus", "iproute2", "systemd-timesyncd", "libinih1")
LIFETIME = 600  # seconds a container may live at most (timeout(1) around nspawn)
RUN_PREFIX = "zelkor-container-"
CGROUP_PREFIX = "zelkor-test-"
INSIDE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def log(message):
    print(f"container: {message}", file=sys.stderr, flush=True)


def _pid_alive(pid):
    return os.path.exists(f"/proc/{pid}")


def _host(*argv, timeout=60, check=True, cwd=None):
    result = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout,
                            stdin=subprocess.DEVNULL, cwd=cwd)
    if check and result.returncode != 0:
        raise RuntimeError(f"{shlex.join(argv)} failed ({result.returncode}): {result.stderr.strip()}")
    return result


# ----------------------------------------------------------------------------------------------- clean-up

_open_containers = []


def close_all():
    while _open_containers:
        c = _open_containers[-1]
        try:
            c.close()
        except Exception as e:  # keep going: the rest must be cleaned too
            log(f"clean-up failed: {e!r}")
            if c in _open_containers:
                _open_containers.remove(c)


_stopping = False


def _on_signal(signum, _frame):
    global _stopping
    if _stopping:
        return
    _stopping = True
    name = "time budget spent (SIGALRM)" if signum == signal.SIGALRM else f"signal {signum}"
    log(f"{name}: powering off and cleaning up")
    close_all()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(128 + signum)


atexit.register(close_all)
for _sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGALRM):
    signal.signal(_sig, _on_signal)


def _mounts():
    """Mount points of this mount namespace (octal escapes decoded)."""
    points = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            point = line.split()[4]
            points.append(re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), point))
    return points


def _unmount_below(directory, timeout=20):
    """Unmounts everything at or below directory, deepest first. Returns True when nothing is left."""
    directory = os.path.realpath(directory)
    deadline = time.monotonic() + timeout
    while True:
        left = [p for p in _mounts() if p == directory or p.startswith(directory + "/")]
        if not left:
            return True
        if time.monotonic() >= deadline:
            for p in sorted(left, key=len, reverse=True):  # last resort: detach
                _host("umount", "-l", p, check=False)
            return not [p for p in _mounts() if p == directory or p.startswith(directory + "/")]
        for p in sorted(left, key=len, reverse=True):
            _host("umount", p, check=False)
        time.sleep(0.1)


def _remove_run_directory(path):
    if not os.path.isdir(path):
        return
    if not _unmount_below(path):
        log(f"left {path} in place: something below it is still mounted")
        return
    shutil.rmtree(path, ignore_errors=True)


# ------------------------------------------------------------------------------------------------ cgroups

def _cgroup_hierarchies():
    """[(mount point, this process's cgroup path)] for the unified hierarchy and systemd's named one."""
    own = {}
    with open("/proc/self/cgroup") as f:
        for line in f:
            number, controllers, path = line.rstrip("\n").split(":", 2)
            if number == "0" and controllers == "":
                own["unified"] = path
            elif "name=systemd" in controllers.split(","):
                own["named"] = path
    found = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, right = line.split(" - ", 1)
            point, root = left.split()[4], left.split()[3]
            fstype, _source, options = right.split()[:3]
            if root != "/":
                continue
            if fstype == "cgroup2" and "unified" in own:
                found.append((point, own.pop("unified")))
            elif fstype == "cgroup" and "name=systemd" in options.split(",") and "named" in own:
                found.append((point, own.pop("named")))
    if not found:
        raise RuntimeError("no cgroup2 and no name=systemd cgroup hierarchy is mounted")
    return found


def _remove_cgroup_tree(path, timeout=10):
    """rmdir of a cgroup and all below it, deepest first; retried while processes are still leaving."""
    deadline = time.monotonic() + timeout
    while os.path.isdir(path):
        for dirpath, _dirs, _files in sorted(os.walk(path), key=lambda e: len(e[0]), reverse=True):
            try:
                os.rmdir(dirpath)
            except OSError:
                pass
        if not os.path.isdir(path):
            return True
        if time.monotonic() >= deadline:
            log(f"could not remove cgroup {path}")
            return False
        time.sleep(0.1)
    return True


def _cgroup_has_processes(path):
    for dirpath, _dirs, files in os.walk(path):
        if "cgroup.procs" in files:
            try:
                with open(os.path.join(dirpath, "cgroup.procs")) as f:
                    if f.read().strip():
                        return True
            except OSError:
                pass
    return False


def sweep_stale():
    """Removes what a dead run of this module left: run directories (and their mounts) and empty cgroups."""
    tmp = tempfile.gettempdir()
    for name in os.listdir(tmp):
        m = re.fullmatch(re.escape(RUN_PREFIX) + r"(\d+)-.*", name)
        if m and not _pid_alive(int(m.group(1))):
            log(f"removing {os.path.join(tmp, name)}, left by a dead run")
            _remove_run_directory(os.path.join(tmp, name))
    # nspawn's own folder for a container it could not clean up after (it was killed).
    propagate = "/run/systemd/nspawn/propagate"
    if os.path.isdir(propagate):
        for name in os.listdir(propagate):
            m = re.fullmatch(re.escape(CGROUP_PREFIX) + r"(\d+)-\d+", name)
            if m and not _pid_alive(int(m.group(1))):
                shutil.rmtree(os.path.join(propagate, name), ignore_errors=True)
    try:
        hierarchies = _cgroup_hierarchies()
    except RuntimeError:
        return
    for point, own in hierarchies:
        parent = os.path.join(point, own.lstrip("/"))
        for name in os.listdir(parent):
            m = re.fullmatch(re.escape(CGROUP_PREFIX) + r"(\d+)-\d+", name)
            path = os.path.join(parent, name)
            if m and not _pid_alive(int(m.group(1))) and os.path.isdir(path):
                if _cgroup_has_processes(path):
                    log(f"cgroup {path} of a dead run still holds processes; left alone")
                else:
                    _remove_cgroup_tree(path)


# ---------------------------------------------------------------------------------------- root file system

def _ensure_host_tools():
    missing = [p for p, tool in (("systemd-container", "systemd-nspawn"), ("debootstrap", "debootstrap"))
               if shutil.which(tool) is None]
    for tool in ("nsenter", "setpriv", "unshare", "tar", "timeout"):
        if shutil.which(tool) is None:
            raise RuntimeError(f"{tool} is missing on this machine")
    if not missing:
        return
    log(f"installing {' '.join(missing)}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, timeout=300, env=env, stdin=subprocess.DEVNULL)
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], check=True,
                   timeout=600, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def _suite():
    with open("/etc/os-release") as f:
        for line in f:
            if line.startswith("VERSION_CODENAME="):
                return line.split("=", 1)[1].strip().strip('"')
    return "bookworm"


def _mirror(suite):
    """The mirror this machine's apt takes `suite` from (deb822 .sources files or one-line lists)."""
    paths = []
    for d in ("/etc/apt/sources.list.d",):
        if os.path.isdir(d):
            paths += [os.path.join(d, n) for n in sorted(os.listdir(d))]
    paths.append("/etc/apt/sources.list")
    for path in paths:
        try:
            with open(path) as f:
                text = f.read()
        except OSError:
            continue
        if path.endswith(".sources"):
            for stanza in re.split(r"\n\s*\n", text):
                fields = {}
                for line in stanza.splitlines():
                    if ":" in line and not line.lstrip().startswith("#"):
                        key, value = line.split(":", 1)
                        fields[key.strip().lower()] = value.split()
                if suite in fields.get("suites", []) and "deb" in fields.get("types", []) and fields.get("uris"):
                    return fields["uris"][0]
        else:
            for line in text.splitlines():
                words = re.sub(r"\[[^\]]*\]", "", line.split("#", 1)[0]).split()
                if len(words) >= 3 and words[0] == "deb" and words[2] == suite:
                    return words[1]
    raise RuntimeError(f"no apt source on this machine names the suite {suite}")


def cache_directory():
    """ZELKOR_CONTAINER_CACHE, else build/container-cache of this checkout (shared by the Release and the
    sanitizer build's runs), else container-cache/ inside the build folder ZELKOR_TOOLS names."""
    explicit = os.environ.get("ZELKOR_CONTAINER_CACHE")
    if explicit:
        return os.path.abspath(explicit)
    checkout_build = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build")
    tools = os.environ.get("ZELKOR_TOOLS")
    if tools and not os.path.isdir(checkout_build):
        return os.path.join(os.path.abspath(tools), "container-cache")
    return os.path.abspath(os.path.join(checkout_build, "container-cache"))


def ensure_rootfs():
    """The cached root file system, unpacked: a directory to use read-only as an overlay's lower layer.
    Built with debootstrap (and kept as an archive too) when missing; unpacked from the archive when only
    that is there."""
    _ensure_host_tools()
    suite = _suite()
    cache = os.path.abspath(cache_directory())
    os.makedirs(cache, exist_ok=True)
    name = f"rootfs-{suite}-{RECIPE}"
    archive, tree = os.path.join(cache, name + ".tar"), os.path.join(cache, name)
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # another run building the same thing: wait for it
        # Half-done work of a run that died: only ever made while holding this lock.
        for entry in os.listdir(cache):
            if entry.startswith(("build-", "unpack-")) or entry.endswith(".part"):
                path = os.path.join(cache, entry)
                shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.unlink(path)
        if not os.path.isfile(archive):
            _build_archive(suite, cache, archive)
        if not os.path.isdir(tree):
            started = time.monotonic()
            unpack = tempfile.mkdtemp(prefix="unpack-", dir=cache)
            try:
                _host("tar", "--numeric-owner", "--xattrs", "--xattrs-include=*", "-C", unpack, "-xpf", archive,
                      timeout=300)
                os.rename(unpack, tree)
            finally:
                shutil.rmtree(unpack, ignore_errors=True)
            log(f"root file system unpacked into {tree} ({time.monotonic() - started:.0f} s)")
        return tree


def _build_archive(suite, cache, archive):
    mirror = _mirror(suite)
    build = tempfile.mkdtemp(prefix="build-", dir=cache)
    try:
        root = os.path.join(build, "root")
        log(f"building the root file system ({suite} from {mirror}), about a minute, once")
        started = time.monotonic()
        # The archive is fetched over the network: a failed fetch is tried twice more, from scratch.
        for attempt in range(1, 4):
            shutil.rmtree(root, ignore_errors=True)
            result = subprocess.run(
                ["debootstrap", "--variant=minbase", "--include=" + ",".join(PACKAGES), suite, root, mirror],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=420, stdin=subprocess.DEVNULL)
            if result.returncode == 0:
                break
            if attempt == 3:
                raise RuntimeError(f"debootstrap failed ({result.returncode}), three times:\n{result.stdout[-3000:]}")
            log(f"debootstrap failed ({result.returncode}), attempt {attempt} of 3:\n{result.stdout[-1500:]}")
            time.sleep(15)
        # The downloaded packages need not live in every container.
        shutil.rmtree(os.path.join(root, "var/cache/apt/archives"), ignore_errors=True)
        os.makedirs(os.path.join(root, "var/cache/apt/archives/partial"), exist_ok=True)
        _host("tar", "--numeric-owner", "--xattrs", "--xattrs-include=*", "-C", root, "-cf", archive + ".part",
              ".", timeout=300)
        os.rename(archive + ".part", archive)
        log(f"root file system cached in {archive} ({time.monotonic() - started:.0f} s)")
    finally:
        if os.path.exists(archive + ".part"):
            os.unlink(archive + ".part")
        shutil.rmtree(build, ignore_errors=True)


def package_of(commit):
    """The Debian package of a commit of this checkout (dpkg-buildpackage, under a minute), cached."""
    cache = os.path.abspath(cache_directory())
    os.makedirs(cache, exist_ok=True)
    path = os.path.join(cache, f"zelkor-{commit}.deb")
    with open(os.path.join(cache, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.isfile(path):
            log(f"building the Debian package of {commit}, once")
            build = tempfile.mkdtemp(prefix="build-", dir=cache)  # removed under the lock should this run die
            try:
                top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")  # archive takes all from there
                _host("bash", "-o", "pipefail", "-c", 'git -C "$0" archive --prefix=src/ "$1" | tar -x -C "$2"', top,
                      commit, build)
                _host("dpkg-buildpackage", "-b", "-us", "-uc", "-j2", timeout=900, cwd=os.path.join(build, "src"))
                os.rename(os.path.join(build, [n for n in os.listdir(build) if re.match(r"zelkor_.*\.deb$", n)][0]), path)
            finally:
                shutil.rmtree(build, ignore_errors=True)
    return path


# ------------------------------------------------------------------------------------------------ container

def _child_setup(cgroup_files):
    def setup():
        # Between fork and exec: nspawn and the container die with this process, whatever kills it
        # (timeout(1) passes the SIGTERM on, and nspawn answers it with a clean power-off).
        _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        for procs in cgroup_files:
            with open(procs, "w") as f:
                f.write("0")
    return setup


def _children(pid):
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return found


def _pid_namespace(pid):
    try:
        return os.readlink(f"/proc/{pid}/ns/pid")
    except OSError:
        return None


class Container:
    count = 0

    def __init__(self, build_dir, extra_libraries_from=None):
        """build_dir is bound read-only at /opt/zelkor. Libraries that extra_libraries_from (a program of
        this machine) links against and the container lacks (a sanitizer's runtime) are copied in."""
        self.build_dir = os.path.abspath(build_dir)
        self.extra_libraries_from = extra_libraries_from
        Container.count += 1
        self.name = f"{CGROUP_PREFIX}{os.getpid()}-{Container.count}"  # machine and cgroup name
        self.run_dir = None
        self.root = None
        self.cgroups = []
        self.process = None  # timeout(1), whose child is nspawn
        self.leader = None  # the container's PID 1, as seen from here
        self.boots = 0
        self.console = None
        self.running = set()  # commands run inside that have not ended yet

    # --- setting up

    def prepare(self):
        if self.root:
            return
        sweep_stale()
        lower = ensure_rootfs()
        _open_containers.append(self)
        self.run_dir = tempfile.mkdtemp(prefix=f"{RUN_PREFIX}{os.getpid()}-")
        upper, work = os.path.join(self.run_dir, "upper"), os.path.join(self.run_dir, "work")
        self.root = os.path.join(self.run_dir, "root")
        for d in (upper, work, self.root):
            os.mkdir(d)
        _host("mount", "-t", "overlay", "overlay", "-o", f"lowerdir={lower},upperdir={upper},workdir={work}",
              self.root)
        self._copy_missing_libraries()

    def _copy_missing_libraries(self):
        if not self.extra_libraries_from:
            return
        listing = _host("ldd", self.extra_libraries_from, check=False).stdout
        for path in re.findall(r"=> (/\S+)", listing):
            if os.path.exists(self.root + path):
                continue
            target = self.root + "/usr/lib/x86_64-linux-gnu/" + os.path.basename(path)
            if os.path.isdir(os.path.dirname(target)):
                log(f"copying {path} into the container")
                shutil.copy2(os.path.realpath(path), target)

    def _make_cgroups(self):
        self.cgroups = []
        for point, own in _cgroup_hierarchies():
            path = os.path.join(point, own.lstrip("/"), self.name)
            os.makedirs(path, exist_ok=True)
            self.cgroups.append(path)

    # --- booting and powering off

    def boot(self, timeout=60):
        """Boots the container and waits until its systemd reports running (or degraded)."""
        self.prepare()
        if self.process is not None:
            raise RuntimeError("the container is already running")
        self._make_cgroups()
        self.boots += 1
        self.console_path = os.path.join(self.run_dir, f"console-{self.boots}.log")
        self.console = open(self.console_path, "wb")
        argv = ["timeout", "--kill-after=20", str(LIFETIME),
                "systemd-nspawn", "-D", self.root, "--boot", "--register=no", "--keep-unit",
                f"--machine={self.name}", "--private-network", "--drop-capability=CAP_SYS_TIME",
                "--system-call-filter=@clock", "--console=read-only", "-q",
                f"--bind-ro={self.build_dir}:/opt/zelkor"]
        env = dict(os.environ, SYSTEMD_NSPAWN_UNIFIED_HIERARCHY="1", SYSTEMD_COLORS="0")
        started = time.monotonic()
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.console,
                                        stderr=subprocess.STDOUT, env=env, start_new_session=True,
                                        preexec_fn=_child_setup([os.path.join(c, "cgroup.procs")
                                                                 for c in self.cgroups]))
        deadline = started + timeout
        self.leader = None
        while self.leader is None:
            if self.process.poll() is not None:
                raise RuntimeError(f"systemd-nspawn ended ({self.process.returncode}) before the container "
                                   f"started:\n{self.console_tail()}")
            host_ns = _pid_namespace(os.getpid())
            for nspawn in _children(self.process.pid):
                for child in _children(nspawn):
                    ns = _pid_namespace(child)
                    if ns and ns != host_ns:
                        self.leader = child
            if time.monotonic() >= deadline:
                raise RuntimeError(f"no container started within {timeout} s:\n{self.console_tail()}")
            if self.leader is None:
                time.sleep(0.05)
        state = ""
        while time.monotonic() < deadline:
            r = self.run("systemctl", "is-system-running", "--wait", check=False,
                         timeout=max(1, deadline - time.monotonic()))
            state = r.stdout.strip()
            if state in ("running", "degraded"):
                break
            if self.process.poll() is not None:
                break
            time.sleep(0.1)
        if state not in ("running", "degraded"):
            raise RuntimeError(f"the container's systemd did not come up (state {state!r}):\n"
                               f"{self.console_tail()}")
        if state == "degraded":
            failed = self.run("systemctl", "--failed", "--no-legend", check=False).stdout
            log(f"boot {self.boots}: degraded; failed units:\n{failed}")
        log(f"boot {self.boots}: systemd up in {time.monotonic() - started:.1f} s (leader pid {self.leader})")
        return self

    def console_tail(self, lines=40):
        try:
            with open(self.console_path, "rb") as f:
                text = f.read().decode(errors="replace")
        except (OSError, AttributeError):
            return ""
        return "\n".join(text.splitlines()[-lines:])

    def poweroff(self, timeout=30):
        """Asks the container's systemd to power off (SIGRTMIN+4) and waits for nspawn to end; kills by pid
        what does not end in time. Removes the cgroups; the root file system stays mounted for a reboot."""
        if self.process is None:
            return
        self._end_commands()
        try:
            if self.leader and _pid_alive(self.leader):
                os.kill(self.leader, signal.SIGRTMIN + 4)
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                log("the container did not power off in time; ending it")
                os.kill(self.process.pid, signal.SIGTERM)  # timeout(1) passes it on to nspawn
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    for pid in _children(self.process.pid) + [self.leader, self.process.pid]:
                        if pid and _pid_alive(pid):
                            os.kill(pid, signal.SIGKILL)
                    self.process.wait(timeout=10)
            if self.leader:  # the namespace's init dies last; wait for it to be gone
                deadline = time.monotonic() + 10
                while _pid_alive(self.leader) and time.monotonic() < deadline:
                    time.sleep(0.05)
        finally:
            self.process = None
            self.leader = None
            if self.console:
                self.console.close()
                self.console = None
            for path in self.cgroups:
                _remove_cgroup_tree(path)
            self.cgroups = []
            # nspawn removes it itself unless it was killed.
            shutil.rmtree(f"/run/systemd/nspawn/propagate/{self.name}", ignore_errors=True)

    def _end_commands(self):
        """Ends the commands still running inside (cut short by a signal): they would hold up the power-off.
        The command itself first, so that nsenter reaps it and ends too; an orphan would be adopted by
        this machine's init, and the container's shutdown waits for the zombie to be reaped."""
        for process in list(self.running):
            for child in _children(process.pid):
                try:
                    os.kill(child, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        deadline = time.monotonic() + 5
        for process in list(self.running):
            try:
                process.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.kill()

    def close(self):
        self._end_commands()
        try:
            self.poweroff()
        finally:
            if self.run_dir:
                _remove_run_directory(self.run_dir)
            self.run_dir = None
            self.root = None
            if self in _open_containers:
                _open_containers.remove(self)

    # --- inside

    def run(self, *argv, input=None, timeout=30, check=True, env=None):
        """Runs argv inside the container (all its namespaces, a clean environment, no CAP_SYS_TIME in the
        bounding set). Returns the CompletedProcess with text stdout/stderr."""
        if self.leader is None:
            raise RuntimeError("the container is not running")
        environment = {"PATH": INSIDE_PATH, "LANG": "C.UTF-8", "SYSTEMD_PAGER": "", "SYSTEMD_COLORS": "0",
                       "TERM": "dumb"}
        environment.update(env or {})
        # Both setprivs give a parent-death signal: nsenter dies with this process, and the command inside
        # (nsenter's child, in the container's pid namespace) with nsenter; none outlives the test.
        full = ["setpriv", "--bounding-set=-sys_time", "--pdeathsig=KILL", "--",
                "nsenter", "-t", str(self.leader), "-a", "--",
                "setpriv", "--pdeathsig=KILL", "--",
                "env", "-i", *[f"{k}={v}" for k, v in environment.items()], *argv]
        process = subprocess.Popen(full, stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.running.add(process)
        try:
            stdout, stderr = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise AssertionError(f"in the container: {shlex.join(argv)} did not end within {timeout} s")
        finally:
            self.running.discard(process)
        result = subprocess.CompletedProcess(argv, process.returncode, stdout, stderr)
        if check and result.returncode != 0:
            raise AssertionError(f"in the container: {shlex.join(argv)} failed ({result.returncode}):\n"
                                 f"stdout: {result.stdout}\nstderr: {result.stderr}")
        return result

    def sh(self, script, **kwargs):
        return self.run("sh", "-c", script, **kwargs)

    def path(self, inside):
        """This machine's path of a file inside the container (through the overlay)."""
        return self.root + "/" + inside.lstrip("/")

    def chroot(self, *argv, timeout=300):
        """Runs argv in the tree while the container is not booted, as an image build does: chrooted in a
        private mount namespace with /dev and /proc, without CAP_SYS_TIME, and no systemd running."""
        self.prepare()
        if self.process is not None:
            raise RuntimeError("the container is running")
        script = 'mount --bind /dev "$0/dev" && mount -t proc proc "$0/proc" && exec chroot "$0" "$@"'
        return _host("unshare", "-m", "--propagation", "private", "capsh", "--drop=cap_sys_time", "--", "-c", script,
                     self.root, "env", "-i", f"PATH={INSIDE_PATH}", "LANG=C.UTF-8", "DEBIAN_FRONTEND=noninteractive",
                     *argv, timeout=timeout)
