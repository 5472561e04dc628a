"""Installation layout and the Debian package: the program lands in sbin, and installing the package
neither adds nor starts the service."""
import os
import subprocess
import sys
import tempfile
import unittest

BUILD = os.environ.get("ZELKOR_TOOLS", os.path.join(os.path.dirname(__file__), "..", "..", "build"))


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, timeout=120, **kwargs)


class PackageTest(unittest.TestCase):
    def test_cmake_install_puts_the_program_in_sbin(self):
        with tempfile.TemporaryDirectory() as prefix:
            run("cmake", "--install", BUILD, "--prefix", prefix)
            program = os.path.join(prefix, "sbin", "zelkornt")
            self.assertTrue(os.access(program, os.X_OK), program)
            usage = run(program, "help").stdout
            self.assertEqual(usage.splitlines()[0], "ZelkorNT add              to install the service")

    def test_debian_package_holds_the_programs_and_the_readme(self):
        with tempfile.TemporaryDirectory() as out:
            run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out)
            debs = [f for f in os.listdir(out) if f.endswith(".deb")]
            self.assertEqual(len(debs), 1, debs)
            deb = os.path.join(out, debs[0])
            files = sorted(line.split()[-1] for line in run("dpkg-deb", "-c", deb).stdout.splitlines()
                           if not line.startswith("d"))
            self.assertEqual(files, ["./usr/bin/zelkorstat", "./usr/sbin/zelkornt", "./usr/share/doc/zelkor/README.md"])
            control = run("dpkg-deb", "-I", deb).stdout
            self.assertIn("Package: zelkor", control)
            self.assertIn("Version: 1.4.0", control)
            # No maintainer scripts: nothing is added, enabled or started by installing the package.
            for script in ("postinst", "preinst", "prerm", "postrm"):
                self.assertNotIn(script, control)


if __name__ == "__main__":
    result = unittest.main(verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
