#!/usr/bin/env python3
"""Checks what a build installs and packages, and the scripts that set up and package it.

Usage: install_test.py PATH_TO_QM_MAILFILTER BUILD_DIR [unittest options]

The build tree is installed with `cmake --install --prefix /usr` into a scratch DESTDIR and the
files there are checked with the tools a distribution checks them with (desktop-file-validate,
man, dpkg-deb); the Debian package is made from the same tree with CPack into a scratch folder.
A missing tool skips the checks that need it.
"""

import configparser
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROGRAM = None  # set from argv[1]
BUILD = None  # set from argv[2]


def need(*tools):
    for tool in tools:
        if shutil.which(tool) is None:
            raise unittest.SkipTest(tool + " is not installed")


def cache_value(name):
    with open(os.path.join(BUILD, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            key, _, value = line.rstrip("\n").partition("=")
            if key.split(":")[0] == name:
                return value
    raise KeyError(name)


def tree(root):
    """{path relative to root: permission bits} of every file (not folder) below root."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            files[os.path.relpath(path, root)] = stat.S_IMODE(os.lstat(path).st_mode)
    return files


ICON_SIZES = (16, 32, 48, 64, 128, 256)
ICON = "usr/share/icons/hicolor/{0}x{0}/apps/qm_mailfilter.png"


def expected_files(gui):
    data = ["usr/share/man/man1/qm_mailfilter.1.gz"] + [
        "usr/share/doc/qm-mailfilter/" + name for name in ("README.md", "copyright",
                                                           "changelog.gz")] + [
        "usr/lib/systemd/user/qm_mailfilter" + name for name in (
            ".service", "-retrieve.service", "-retrieve.timer")]
    if gui:
        data += ["usr/share/applications/qm_mailfilter.desktop"] + [
            ICON.format(size) for size in ICON_SIZES]
    return dict({path: 0o644 for path in data}, **{"usr/bin/qm_mailfilter": 0o755})


def shell_scripts(folder):
    """The files of `folder` that start with a shell's #! line (it also holds other files)."""
    found = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), errors="replace") as f:
            if re.match(r"#!\S*(/| )(ba)?sh\n", f.readline()):
                found.append(f.name)
    return found


class Scripts(unittest.TestCase):
    SCRIPTS = shell_scripts(os.path.join(ROOT, "scripts"))

    def test_shellcheck_finds_nothing(self):
        need("shellcheck")
        result = subprocess.run(["shellcheck", *self.SCRIPTS], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_setup_with_everything_installed_is_silent_and_changes_nothing(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("scripts/setup installs as root only")
        policy = "/usr/sbin/policy-rc.d"
        created = not os.path.exists(policy)
        if created:
            with open(policy, "w", encoding="ascii") as f:
                f.write("#!/bin/sh\nexit 101\n")
            os.chmod(policy, 0o755)
        try:
            with open(policy, "rb") as f:
                policy_before = (f.read(), os.stat(policy).st_mode)
            with tempfile.TemporaryDirectory() as stubs:
                # Packages change only through apt-get: should the script want to install
                # anything, this one refuses and says so.
                stub = os.path.join(stubs, "apt-get")
                with open(stub, "w", encoding="ascii") as f:
                    f.write("#!/bin/sh\necho \"apt-get called: $*\" >&2\nexit 1\n")
                os.chmod(stub, 0o755)
                env = dict(os.environ, PATH=stubs + os.pathsep + os.environ["PATH"])
                result = subprocess.run([os.path.join(ROOT, "scripts", "setup")], env=env,
                                        capture_output=True, text=True, timeout=120)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", ""))
            with open(policy, "rb") as f:
                self.assertEqual((f.read(), os.stat(policy).st_mode), policy_before)
        finally:
            if created:
                os.remove(policy)


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.gui = cache_value("QM_GUI").upper() in ("ON", "1", "TRUE", "YES")
        cls.version = cache_value("CMAKE_PROJECT_VERSION")
        cls.scratch = tempfile.TemporaryDirectory()
        cls.root = os.path.join(cls.scratch.name, "root")
        env = dict(os.environ, DESTDIR=cls.root)
        subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        cls.files = tree(cls.root)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def path(self, relative):
        return os.path.join(self.root, relative)

    def test_installs_exactly_the_program_and_its_data_with_their_modes(self):
        self.assertEqual(self.files, expected_files(self.gui))
        result = subprocess.run([self.path("usr/bin/qm_mailfilter"), "--version"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout), (0, f"qm_mailfilter {self.version}\n"))

    def test_man_page_renders_and_names_every_command_and_mailbox_key(self):
        need("man")
        page = self.path("usr/share/man/man1/qm_mailfilter.1.gz")
        env = dict(os.environ, LC_ALL="C", MANWIDTH="80")
        result = subprocess.run(["man", "--warnings", "-l", page], env=env, capture_output=True,
                                text=True, timeout=60)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        # Unbroken lines, so that every name can be looked for whole.
        env["MANWIDTH"] = "1000"
        text = subprocess.run(["man", "--nh", "--nj", "-l", page], env=env, check=True,
                              capture_output=True, text=True, timeout=60).stdout

        def subcommands(*command):
            usage = subprocess.run([PROGRAM, *command, "--help"], check=True,
                                   capture_output=True, text=True).stdout
            if "Subcommands:" not in usage:
                return []
            return [line.split()[0]
                    for line in usage.split("Subcommands:")[1].strip().splitlines()]

        for command in subcommands():
            self.assertTrue(re.search(rf"\n {{7}}{command} ", text), command + " undocumented")
            for sub in subcommands(command):
                # "mailbox up NAME, mailbox down NAME", "mail hide|unhide|read|unread ..."
                self.assertTrue(re.search(rf"\b{command} (\S*\|)?{sub}[|,\s]", text),
                                f"{command} {sub} undocumented")
        with tempfile.TemporaryDirectory() as workdir:
            subprocess.run([PROGRAM, "--workdir", workdir, "mailbox", "add", "m"], check=True,
                           stdout=subprocess.DEVNULL)
            shown = subprocess.run([PROGRAM, "--workdir", workdir, "mailbox", "show", "m"],
                                   check=True, capture_output=True, text=True).stdout
        for word in [line.split("=")[0] for line in shown.splitlines()] + [
                "--workdir", "--headless", "--version", "--password-stdin", "QM_WORKDIR",
                "XDG_DATA_HOME", "SIGTERM", "EXIT STATUS"]:
            self.assertTrue(re.search(rf"(?<![\w-]){word}\b", text), word + " undocumented")

    def test_systemd_units_start_the_installed_program(self):
        def unit(name):
            parser = configparser.ConfigParser(interpolation=None, strict=True)
            parser.optionxform = str
            parser.read(self.path("usr/lib/systemd/user/" + name), encoding="utf-8")
            return parser

        service = unit("qm_mailfilter.service")
        self.assertEqual(dict(service["Service"]), {
            "Type": "simple", "ExecStart": "/usr/bin/qm_mailfilter --headless",
            "Restart": "on-failure"})
        self.assertEqual(service["Install"]["WantedBy"], "default.target")
        retrieve = unit("qm_mailfilter-retrieve.service")
        self.assertEqual(dict(retrieve["Service"]), {
            "Type": "oneshot", "ExecStart": "/usr/bin/qm_mailfilter retrieve"})
        self.assertNotIn("Install", retrieve)
        timer = unit("qm_mailfilter-retrieve.timer")
        self.assertEqual(set(timer["Timer"]), {"OnBootSec", "OnUnitActiveSec"})
        self.assertEqual(timer["Install"]["WantedBy"], "timers.target")
        for parser in (service, retrieve, timer):
            self.assertTrue(parser["Unit"]["Description"])

    def test_desktop_entry_validates_and_its_icons_have_their_sizes(self):
        if not self.gui:
            raise unittest.SkipTest("built without the desktop")
        need("desktop-file-validate")
        entry = self.path("usr/share/applications/qm_mailfilter.desktop")
        result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        for size in ICON_SIZES:
            with open(self.path(ICON.format(size)), "rb") as f:
                head = f.read(26)
            self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
            # IHDR: width, height, bit depth, colour type 6 (RGBA: the corners are transparent).
            self.assertEqual(struct.unpack(">IIBB", head[16:26]), (size, size, 8, 6))

    def test_debian_package_holds_the_same_files_owned_by_root(self):
        need("cpack", "dpkg-deb", "dpkg-shlibdeps", "readelf")
        out = os.path.join(self.scratch.name, "deb")
        subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB",
                        "-B", out], check=True, capture_output=True, timeout=600)
        arch = subprocess.run(["dpkg", "--print-architecture"], check=True, capture_output=True,
                              text=True).stdout.strip()
        deb = os.path.join(out, f"qm-mailfilter_{self.version}_{arch}.deb")
        fields = {name: subprocess.run(["dpkg-deb", "-f", deb, name], check=True,
                                       capture_output=True, text=True).stdout.strip()
                  for name in ("Package", "Version", "Architecture", "Section", "Maintainer",
                               "Depends")}
        self.assertEqual([fields[n] for n in ("Package", "Version", "Architecture", "Section")],
                         ["qm-mailfilter", self.version, arch, "mail"])
        self.assertTrue(fields["Maintainer"])
        self.assertIn("libc6", fields["Depends"])

        listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                                 text=True).stdout.splitlines()
        self.assertTrue(listing)
        self.assertEqual({line.split()[1] for line in listing}, {"root/root"})
        self.assertEqual({line.split()[0] for line in listing if line.startswith("d")},
                         {"drwxr-xr-x"})
        unpacked = os.path.join(self.scratch.name, "unpacked")
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        self.assertEqual(tree(unpacked), self.files)
        program = os.path.join(unpacked, "usr/bin/qm_mailfilter")
        dynamic = subprocess.run(["readelf", "-d", program], check=True, capture_output=True,
                                 text=True).stdout
        self.assertNotIn("RPATH", dynamic)
        self.assertNotIn("RUNPATH", dynamic)
        with open(os.path.join(unpacked, "usr/lib/systemd/user/qm_mailfilter.service"),
                  encoding="utf-8") as unit:
            self.assertIn("ExecStart=/usr/bin/qm_mailfilter --headless\n", unit.read())


def main():
    global PROGRAM, BUILD
    if len(sys.argv) < 3:
        sys.exit("usage: install_test.py PATH_TO_QM_MAILFILTER BUILD_DIR [unittest options]")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    BUILD = os.path.abspath(sys.argv.pop(1))
    # As scripts/package: the package's folders take their modes from the staged ones.
    os.umask(0o022)
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
