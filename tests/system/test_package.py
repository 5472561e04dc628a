"""Installation layout and what scripts/package ships: cmake --install puts the programs and man pages in
place; the Debian package is clean under lintian, replaces the time daemon, carries the units, the
conffile, the man pages and the copyright, and its man pages render without a warning. (Installing it under systemd is in
test_systemd.py, the MSI under Wine in tests/wine.)

Environment: ZELKOR_TOOLS (the build folder), ZELKOR_DIST (the folder scripts/package filled; default
dist/ of this checkout)."""
import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("ZELKOR_TOOLS", os.path.join(HERE, "..", "..", "build"))
DIST = os.environ.get("ZELKOR_DIST", os.path.join(HERE, "..", "..", "dist"))


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=300, **kwargs)


def deb():
    found = glob.glob(os.path.join(DIST, "zelkor_*.deb"))
    if len(found) != 1:
        raise AssertionError(f"no one Debian package in {DIST} ({found}): run scripts/package")
    return found[0]


class InstallTest(unittest.TestCase):
    def test_cmake_install_puts_the_programs_and_man_pages_in_place(self):
        with tempfile.TemporaryDirectory() as prefix:
            run("cmake", "--install", BUILD, "--prefix", prefix)
            for path in ("sbin/zelkornt", "bin/zelkorstat"):
                self.assertTrue(os.access(os.path.join(prefix, path), os.X_OK), path)
            for path in ("share/man/man8/zelkornt.8", "share/man/man1/zelkorstat.1"):
                self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)
            usage = run(os.path.join(prefix, "sbin", "zelkornt"), "help").stdout
            self.assertEqual(usage.splitlines()[0], "ZelkorNT add              to install the service")


class DebianPackageTest(unittest.TestCase):
    def test_lintian_finds_no_error_and_no_warning(self):
        out = subprocess.run(["lintian", "--fail-on", "error,warning", deb()], capture_output=True, text=True,
                             timeout=300)
        tags = [line for line in out.stdout.splitlines() if re.match(r"[EW]: ", line)]
        print(f"\n  lintian: {out.stdout.strip() or 'nothing to say'}", file=sys.stderr)
        self.assertEqual((out.returncode, tags), (0, []), out.stdout + out.stderr)

    def test_it_replaces_the_time_daemon_and_carries_its_papers(self):
        control = run("dpkg-deb", "-f", deb()).stdout
        fields = dict(line.split(": ", 1) for line in control.splitlines() if ": " in line and line[0] != " ")
        for field in ("Provides", "Conflicts", "Replaces"):
            self.assertEqual(fields[field], "time-daemon", field)
        self.assertEqual(fields["Section"], "net")
        # dpkg-shlibdeps, and nettle by name: it is loaded only when a key needs it
        self.assertRegex(fields["Depends"], r"^libc6 \(>= [0-9.]+\), libnettle8$")
        self.assertEqual(fields["Recommends"], "libsystemd0")  # loaded when systemd runs the service
        files = sorted(line.split()[-1] for line in run("dpkg-deb", "-c", deb()).stdout.splitlines()
                       if not line.startswith("d"))
        self.assertEqual(files, ["./etc/zelkornt.ini", "./usr/bin/zelkorstat",
                                 "./usr/lib/systemd/ntp-units.d/80-zelkor.list",
                                 "./usr/lib/systemd/system/zelkor-metrics.service",
                                 "./usr/lib/systemd/system/zelkor-metrics.timer",
                                 "./usr/lib/systemd/system/zelkor-wait-sync.service",
                                 "./usr/lib/systemd/system/zelkor.service", "./usr/sbin/zelkornt",
                                 "./usr/share/doc/zelkor/README.md.gz", "./usr/share/doc/zelkor/changelog.gz",
                                 "./usr/share/doc/zelkor/copyright", "./usr/share/man/man1/zelkorstat.1.gz",
                                 "./usr/share/man/man8/zelkornt.8.gz"])
        with tempfile.TemporaryDirectory() as control_dir:
            run("dpkg-deb", "-e", deb(), control_dir)
            with open(os.path.join(control_dir, "conffiles")) as f:
                self.assertEqual(f.read().split(), ["/etc/zelkornt.ini"])
            self.assertTrue(all(os.path.exists(os.path.join(control_dir, s)) for s in ("postinst", "prerm", "postrm")))

    def test_the_configuration_turns_on_what_a_debian_service_is_expected_to(self):
        with tempfile.TemporaryDirectory() as root:
            run("dpkg-deb", "-x", deb(), root)
            with open(os.path.join(root, "etc/zelkornt.ini")) as f:
                settings = [line for line in f if line.strip() and not line.lstrip().startswith((";", "["))]
            self.assertEqual(settings, ["ServiceLog=yes\n", "RtcSync=yes\n", "RateLimit=2 16\n", "PreciseTime=yes\n",
                                        "MaxStep=60\n"])

    def test_the_man_pages_render_without_a_warning(self):
        with tempfile.TemporaryDirectory() as root:
            run("dpkg-deb", "-x", deb(), root)
            for page in ("usr/share/man/man8/zelkornt.8.gz", "usr/share/man/man1/zelkorstat.1.gz"):
                with self.subTest(page=page):
                    out = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z",
                                          os.path.join(root, page)], capture_output=True, text=True, timeout=60,
                                         env=dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ=""))
                    self.assertEqual((out.returncode, out.stderr), (0, ""))


if __name__ == "__main__":
    result = unittest.main(verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
