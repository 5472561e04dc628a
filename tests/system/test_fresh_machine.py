"""The README's first command on a fresh machine: scripts/run in a bare Debian root (the container tier's
debootstrap tree: no compiler, no CMake, no libraries) installs what the build needs, builds zelkornt
and runs it until it listens.

The checkout is copied into an overlay over the cached tree (which stays pristine), and each step runs
chrooted in a private mount namespace under capsh --drop=cap_sys_time:
  1. `scripts/run usage`, in this machine's network (apt-get needs the archive): installs, builds and
     prints the usage text;
  2. `scripts/run`, in a network namespace of its own (only lo, with a default route through it, so
     port 123 is never bound out here): `zelkornt debug` on a virtual clock, until it listens.

Environment: ZELKOR_CONTAINER_CACHE (where the root file system is kept, see container.py).
"""

import ctypes
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import container  # noqa: E402

BUDGET = 420  # seconds once the root file system is ready (about 30 here, most of it apt-get)
INSTALL_AND_BUILD = 360  # seconds step 1 may take
START = 60  # seconds step 2 may take to listen (nothing to install or build by then)
INSIDE = "/root/zelkor"
INSIDE_CLOCK = "/root/zelkor.clock"
INSIDE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
USAGE_FIRST_LINE = "ZelkorNT add              to install the service"
LISTENING = "Listening for time broadcasts"

_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1
_groups = set()  # process groups of the steps still running (each led by the step's own process)


def end_steps():
    for pid in list(_groups):
        try:
            os.killpg(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        _groups.discard(pid)


def _on_signal(signum, _frame):
    name = "time budget spent (SIGALRM)" if signum == signal.SIGALRM else f"signal {signum}"
    print(f"test_fresh_machine: {name}: ending the steps and cleaning up", file=sys.stderr, flush=True)
    end_steps()
    container.close_all()
    sys.stdout.flush()
    os._exit(128 + signum)


def checkout_files():
    """(top, relative paths) of the checkout holding this test, as a clone of it would hold them once
    committed: tracked files and new ones git does not ignore. Without git: all but build folders."""
    top = os.path.abspath(os.path.join(HERE, "..", ".."))
    try:
        top = subprocess.run(["git", "-C", HERE, "rev-parse", "--show-toplevel"], check=True, text=True,
                             capture_output=True, timeout=30).stdout.strip()
        listing = subprocess.run(["git", "-C", top, "ls-files", "-z", "--cached", "--others",
                                  "--exclude-standard"], check=True, text=True, capture_output=True,
                                 timeout=30).stdout
        return top, [p for p in listing.split("\0") if p]
    except (OSError, subprocess.SubprocessError):
        files = []
        for dirpath, dirs, names in os.walk(top):
            rel = os.path.relpath(dirpath, top)
            dirs[:] = [d for d in dirs if d not in (".git", "__pycache__")
                       and not (rel == "." and d.startswith("build"))]
            files += [os.path.normpath(os.path.join(rel, n)) for n in names]
        return top, files


def installed_packages(root):
    packages, name = set(), None
    with open(os.path.join(root, "var/lib/dpkg/status")) as f:
        for line in f:
            if line.startswith("Package: "):
                name = line.split()[1]
            elif line.startswith("Status: ") and line.split()[-1] == "installed":
                packages.add(name)
    return packages


def start_step(root, args, own_network, env=()):
    """Starts scripts/run ARGS chrooted into root (see the module's text); stdout and stderr merged."""
    setup = [f"mount --rbind /dev {shlex.quote(root)}/dev", f"mount -t proc proc {shlex.quote(root)}/proc"]
    if own_network:
        setup = ["ip link set lo up", "ip route add default dev lo"] + setup
    inside = ["env", "-i", f"PATH={INSIDE_PATH}", "HOME=/root", "LANG=C.UTF-8", "TERM=dumb", *env,
              "sh", "-c", f"cd {INSIDE} && exec scripts/run " + shlex.join(args)]
    script = " && ".join(setup) + " && exec chroot " + shlex.quote(root) + " " + shlex.join(inside)
    unshare = ["unshare", "-m", *(["-n"] if own_network else []), "--propagation", "private", "sh", "-c", script]
    # Everything down to zelkornt execs in place: the step's pid is finally the daemon's.
    process = subprocess.Popen(["capsh", "--drop=cap_sys_time", "--", "-c", "exec " + shlex.join(unshare)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, start_new_session=True,
                               preexec_fn=lambda: _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0))
    _groups.add(process.pid)
    return process


def read_until(process, text, timeout):
    """The lines process prints until one starts with text (if given), it ends, or timeout seconds pass."""
    deadline, pending, lines = time.monotonic() + timeout, b"", []
    fd = process.stdout.fileno()
    while time.monotonic() < deadline:
        if not select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
            break
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        *done, pending = (pending + chunk).split(b"\n")
        lines += [line.decode(errors="replace") for line in done]
        if text is not None and any(line.startswith(text) for line in lines):
            break
    return lines


class FreshMachineTest(unittest.TestCase):
    def setUp(self):
        self.c = container.Container(os.path.join(HERE, "..", ".."))
        self.c.prepare()  # the overlay over the cached tree; close() unmounts and removes it
        self.addCleanup(self.c.close)
        self.addCleanup(end_steps)
        root = self.c.root
        top, files = checkout_files()
        for rel in files:
            source, target = os.path.join(top, rel), os.path.join(root + INSIDE, rel)
            if os.path.lexists(source):  # deleted in the work tree: a clone would not have it either
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy2(source, target, follow_symlinks=False)
        resolv = os.path.join(root, "etc/resolv.conf")
        if os.path.lexists(resolv):  # may be a link that would lead out of the root
            os.unlink(resolv)
        shutil.copyfile("/etc/resolv.conf", resolv)
        print(f"copied {len(files)} files of {top} into the bare root", flush=True)

    def test_scripts_run_installs_builds_and_listens(self):
        root = self.c.root
        before = installed_packages(root)
        self.assertNotIn("cmake", before)  # else this root is no fresh machine

        started = time.monotonic()
        step = start_step(root, ["usage"], own_network=False)
        try:
            output, _ = step.communicate(timeout=INSTALL_AND_BUILD)
        except subprocess.TimeoutExpired as e:
            self.fail(f"scripts/run usage took more than {INSTALL_AND_BUILD} s:\n{e.output}")
        _groups.discard(step.pid)
        added = sorted(installed_packages(root) - before)
        print(f"step 1, scripts/run usage: {time.monotonic() - started:.0f} s, exit {step.returncode}, "
              f"{len(added)} packages installed:\n  {' '.join(added)}\noutput:\n  "
              + "\n  ".join(output.splitlines()), flush=True)
        self.assertEqual(step.returncode, 0, output)
        self.assertIn(USAGE_FIRST_LINE + "\n", output)
        self.assertTrue(os.access(root + INSIDE + "/build/zelkornt", os.X_OK))
        # Only what running takes: no GoogleTest, no benchmark programs.
        self.assertNotIn("libgtest-dev", added)
        self.assertFalse(os.path.exists(root + INSIDE + "/build/zelkor-responder"))

        started = time.monotonic()
        step = start_step(root, [], own_network=True, env=[f"ZELKOR_VIRTUAL_CLOCK={INSIDE_CLOCK}"])
        lines = read_until(step, LISTENING, START)
        listening = time.monotonic() - started
        lines += read_until(step, None, 1)  # a failed bind or multicast join is told just after
        print(f"step 2, scripts/run: {listening:.1f} s to listening; output:\n  "
              + "\n  ".join(lines), flush=True)
        self.assertTrue([line for line in lines if line.startswith(LISTENING)], "scripts/run did not listen")
        self.assertEqual([line for line in lines if line.startswith("Couldn't")], [])
        self.assertTrue(os.path.isfile(root + INSIDE_CLOCK), "the daemon kept no virtual clock")
        step.terminate()
        try:
            step.wait(timeout=10)
        except subprocess.TimeoutExpired:
            step.kill()
            step.wait(timeout=10)
        _groups.discard(step.pid)
        step.stdout.close()


def main():
    if os.geteuid() != 0:
        print("test_fresh_machine needs root (mounts, chroot, apt-get inside); run it as root", file=sys.stderr)
        sys.exit(2)
    started = time.monotonic()
    container.sweep_stale()
    container.ensure_rootfs()  # the first run builds it (about a minute); not counted in the budget
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGALRM):
        signal.signal(sig, _on_signal)
    signal.alarm(BUDGET)
    try:
        program = unittest.main(module="__main__", verbosity=2, exit=False)
    finally:
        signal.alarm(0)
        end_steps()
        container.close_all()
    print(f"test_fresh_machine: {time.monotonic() - started:.0f} s in all", file=sys.stderr)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
