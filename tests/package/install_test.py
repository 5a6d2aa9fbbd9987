#!/usr/bin/env python3
"""What a build installs (`cmake --install --prefix /usr` into a scratch DESTDIR, checked with
desktop-file-validate, man, dpkg-deb), its Debian package, and the scripts that set up and
package it; a missing tool skips what needs it. Arguments: PATH_TO_QM_MAILFILTER BUILD_DIR."""

import configparser
import os
import pathlib
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ICON_SIZES = (16, 32, 48, 64, 128, 256)
ICON = "usr/share/icons/hicolor/{0}x{0}/apps/qm_mailfilter.png"


def need(*tools):
    if not all(map(shutil.which, tools)):
        raise unittest.SkipTest("needs " + ", ".join(tools))


def out(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, timeout=600,
                          **options).stdout


def tree(root):
    """{path relative to root: permission bits} of every file below root."""
    return {os.path.relpath(os.path.join(folder, name), root):
            stat.S_IMODE(os.lstat(os.path.join(folder, name)).st_mode)
            for folder, _, names in os.walk(root) for name in names}


class Scripts(unittest.TestCase):
    def test_shellcheck_finds_nothing(self):
        need("shellcheck")
        scripts = [str(p) for p in sorted(pathlib.Path(ROOT, "scripts").iterdir())
                   if re.match(r"#!\S*(/| )(ba)?sh\n", p.read_text(errors="replace"))]
        result = subprocess.run(["shellcheck", *scripts], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_setup_with_everything_installed_is_silent_and_changes_nothing(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("scripts/setup installs as root only")
        policy = pathlib.Path("/usr/sbin/policy-rc.d")
        if not policy.exists():
            policy.write_text("#!/bin/sh\nexit 101\n")
            policy.chmod(0o755)
            self.addCleanup(policy.unlink)
        before = (policy.read_bytes(), policy.stat().st_mode)
        stubs = self.enterContext(tempfile.TemporaryDirectory())
        # Should the script want to install anything, this apt-get refuses and says so.
        apt = pathlib.Path(stubs, "apt-get")
        apt.write_text("#!/bin/sh\necho \"apt-get called: $*\" >&2\nexit 1\n")
        apt.chmod(0o755)
        result = subprocess.run([os.path.join(ROOT, "scripts", "setup")], env=dict(
            os.environ, PATH=stubs + os.pathsep + os.environ["PATH"]),
            capture_output=True, text=True, timeout=120)
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
        self.assertEqual((policy.read_bytes(), policy.stat().st_mode), before)


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cache = dict(re.findall(r"(?m)^(\w+):\w+=(.*)$",
                                pathlib.Path(BUILD, "CMakeCache.txt").read_text()))
        cls.gui = cache["QM_GUI"].upper() in ("ON", "1", "TRUE", "YES")
        cls.version = cache["CMAKE_PROJECT_VERSION"]
        cls.scratch = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.scratch.cleanup)
        cls.root = os.path.join(cls.scratch.name, "root")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], check=True,
                       env=dict(os.environ, DESTDIR=cls.root), stdout=subprocess.DEVNULL)
        cls.files = tree(cls.root)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def test_installs_exactly_the_program_and_its_data_with_their_modes(self):
        data = ["usr/share/man/man1/qm_mailfilter.1.gz"] + [
            "usr/share/doc/qm-mailfilter/" + n for n in ("README.md", "copyright",
                                                          "changelog.gz")] + [
            "usr/lib/systemd/user/qm_mailfilter" + n for n in (".service", "-retrieve.service",
                                                                "-retrieve.timer")]
        if self.gui:
            data += ["usr/share/applications/qm_mailfilter.desktop"] + [
                ICON.format(size) for size in ICON_SIZES]
        self.assertEqual(self.files, dict({p: 0o644 for p in data},
                                          **{"usr/bin/qm_mailfilter": 0o755}))
        self.assertEqual(out(self.path("usr/bin/qm_mailfilter"), "--version"),
                         f"qm_mailfilter {self.version}\n")

    def test_man_page_renders_and_names_every_command_and_mailbox_key(self):
        need("man")
        page = self.path("usr/share/man/man1/qm_mailfilter.1.gz")
        result = subprocess.run(["man", "--warnings", "-l", page], capture_output=True, text=True,
                                env=dict(os.environ, LC_ALL="C", MANWIDTH="80"), timeout=60)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        # Unbroken lines, so that every name can be looked for whole.
        text = out("man", "--nh", "--nj", "-l", page,
                   env=dict(os.environ, LC_ALL="C", MANWIDTH="1000"))

        def subcommands(*command):
            usage = out(PROGRAM, *command, "--help")
            return [line.split()[0] for line in usage.split("Subcommands:")[1].strip().splitlines()
                    ] if "Subcommands:" in usage else []

        for command in subcommands():
            self.assertRegex(text, rf"\n {{7}}{command} ")
            for sub in subcommands(command):  # "mailbox up NAME, ...", "mail hide|unhide ..."
                self.assertRegex(text, rf"\b{command} (\S*\|)?{sub}[|,\s]")
        with tempfile.TemporaryDirectory() as workdir:
            out(PROGRAM, "--workdir", workdir, "mailbox", "add", "m")
            shown = out(PROGRAM, "--workdir", workdir, "mailbox", "show", "m")
        for word in [line.split("=")[0] for line in shown.splitlines()] + [
                "--workdir", "--headless", "--version", "--password-stdin", "QM_WORKDIR",
                "XDG_DATA_HOME", "SIGTERM", "EXIT STATUS"]:
            self.assertRegex(text, rf"(?<![\w-]){word}\b")

    def test_systemd_units_start_the_installed_program(self):
        units = []
        for name in (".service", "-retrieve.service", "-retrieve.timer"):
            units.append(configparser.ConfigParser(interpolation=None, strict=True))
            units[-1].optionxform = str
            units[-1].read(self.path("usr/lib/systemd/user/qm_mailfilter" + name))
            self.assertTrue(units[-1]["Unit"]["Description"])
        service, retrieve, timer = units
        self.assertEqual((dict(service["Service"]), service["Install"]["WantedBy"]), (
            {"Type": "simple", "ExecStart": "/usr/bin/qm_mailfilter --headless",
             "Restart": "on-failure"}, "default.target"))
        self.assertEqual((dict(retrieve["Service"]), retrieve.has_section("Install")), (
            {"Type": "oneshot", "ExecStart": "/usr/bin/qm_mailfilter retrieve"}, False))
        self.assertEqual((set(timer["Timer"]), timer["Install"]["WantedBy"]),
                         ({"OnBootSec", "OnUnitActiveSec"}, "timers.target"))

    def test_desktop_entry_validates_and_its_icons_have_their_sizes(self):
        if not self.gui:
            raise unittest.SkipTest("built without the desktop")
        need("desktop-file-validate")
        self.assertEqual(out("desktop-file-validate",
                             self.path("usr/share/applications/qm_mailfilter.desktop")), "")
        for size in ICON_SIZES:
            head = pathlib.Path(self.path(ICON.format(size))).read_bytes()[:26]
            # PNG, IHDR: width, height, bit depth, colour type 6 (RGBA: transparent corners).
            self.assertEqual((head[:8], struct.unpack(">IIBB", head[16:26])),
                             (b"\x89PNG\r\n\x1a\n", (size, size, 8, 6)))

    def test_debian_package_holds_the_same_files_owned_by_root(self):
        need("cpack", "dpkg-deb", "dpkg-shlibdeps", "readelf")
        folder = os.path.join(self.scratch.name, "deb")
        out("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB", "-B",
            folder)
        arch = out("dpkg", "--print-architecture").strip()
        deb = os.path.join(folder, f"qm-mailfilter_{self.version}_{arch}.deb")
        fields = {n: out("dpkg-deb", "-f", deb, n).strip() for n in (
            "Package", "Version", "Architecture", "Section", "Maintainer", "Depends")}
        self.assertEqual([fields[n] for n in ("Package", "Version", "Architecture", "Section")],
                         ["qm-mailfilter", self.version, arch, "mail"])
        self.assertTrue(fields["Maintainer"])
        self.assertIn("libc6", fields["Depends"])
        listing = [line.split() for line in out("dpkg-deb", "-c", deb).splitlines()]
        self.assertEqual({line[1] for line in listing}, {"root/root"})
        self.assertEqual({line[0] for line in listing if line[0].startswith("d")}, {"drwxr-xr-x"})
        unpacked = os.path.join(self.scratch.name, "unpacked")
        out("dpkg-deb", "-x", deb, unpacked)
        self.assertEqual(tree(unpacked), self.files)
        self.assertNotRegex(out("readelf", "-d", os.path.join(unpacked, "usr/bin/qm_mailfilter")),
                            "RPATH|RUNPATH")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: install_test.py PATH_TO_QM_MAILFILTER BUILD_DIR [unittest options]")
    PROGRAM, BUILD = os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1))
    os.umask(0o022)  # as scripts/package: the package's folders take the staged folders' modes
    unittest.main(verbosity=2)
