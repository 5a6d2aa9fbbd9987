#!/usr/bin/env python3
"""The program as an ordinary user runs it: no working directory named, default settings.

Usage: unprivileged_test.py PATH_TO_QM_MAILFILTER [unittest options]

Runs as user 65534 (through setpriv; the test itself must run as root) with a scratch home
directory: the working directory appears under ~/.local/share, private; a password is set
through standard input; `--headless` serves a mail client on loopback port 1110; afterwards
every file is the user's alone and no password reached the log. Skipped when port 1110 is taken.
"""

import os
import poplib
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import qmtest  # noqa: E402  (tests/support)

NOBODY = 65534
DEFAULT_PORT = 1110
SECRET = "s3cret-from-stdin"


def port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind((qmtest.HOST, port))
            return True
        except OSError:
            return False


def listening_addresses(port):
    """The local addresses of the sockets that listen on `port`, as /proc/net/tcp shows them."""
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return [row[1].split(":")[0] for row in rows
            if int(row[1].split(":")[1], 16) == port and row[3] == "0A"]


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"),
                     "needs root and setpriv to become another user")
class UnprivilegedUserTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="qm_home_")
        self.addCleanup(shutil.rmtree, self.home, ignore_errors=True)
        os.chown(self.home, NOBODY, NOBODY)
        self.workdir = os.path.join(self.home, ".local", "share", "qm_mailfilter")
        self.env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                    "LANG": "C.UTF-8"}
        self.prefix = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
        # The build tree may lie where the user cannot reach.
        self.program = shutil.copy(qmtest.PROGRAM, os.path.join(self.home, "qm_mailfilter"))

    def run_program(self, *args, stdin=b""):
        return subprocess.run(self.prefix + [self.program] + list(args), input=stdin,
                              capture_output=True, env=self.env, timeout=60)

    def test_default_settings_serve_a_mail_client_on_loopback(self):
        if not port_is_free(DEFAULT_PORT):
            self.skipTest("port %d is taken on this machine" % DEFAULT_PORT)
        for args, stdin in ((("mailbox", "add", "box"), b""),
                            (("mailbox", "set", "box", "localUser=hanako",
                              "--password-stdin", "localPassword"), SECRET.encode() + b"\n")):
            done = self.run_program(*args, stdin=stdin)
            self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("localPassword=(set)",
                      self.run_program("mailbox", "show", "box").stdout.decode())

        program = qmtest.HeadlessProgram(self.program, None, DEFAULT_PORT, prefix=self.prefix,
                                         env=self.env)
        self.addCleanup(program.close)
        # Only the loopback address listens, and the process keeps its memory to itself.
        self.assertEqual(listening_addresses(DEFAULT_PORT), ["0100007F"])
        self.assertEqual(os.stat("/proc/%d/environ" % program.process.pid).st_uid, 0)
        client = poplib.POP3(qmtest.HOST, DEFAULT_PORT, timeout=10)
        client.user("hanako")
        client.pass_(SECRET)
        self.assertEqual(client.stat(), (0, 0))
        client.quit()
        self.assertEqual(program.terminate()[0], 0, program.text())

        modes = {}
        for directory, _, files in os.walk(os.path.join(self.home, ".local")):
            modes[directory] = os.stat(directory).st_mode & 0o777
            for name in files:
                path = os.path.join(directory, name)
                modes[path] = os.stat(path).st_mode & 0o777
        self.assertIn(os.path.join(self.workdir, "box.mbx"), modes)
        self.assertEqual({path: mode for path, mode in modes.items()
                          if mode != (0o700 if os.path.isdir(path) else 0o600)}, {})
        self.assertNotIn(SECRET, qmtest.read_log(self.workdir))

    def test_a_directory_others_can_write_to_is_refused(self):
        os.makedirs(self.workdir)
        os.chmod(self.workdir, 0o777)
        shutil.chown(self.workdir, NOBODY, NOBODY)
        done = self.run_program("mailbox", "list")
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"other users can write to", done.stderr)
        self.assertEqual(os.listdir(self.workdir), [])


if __name__ == "__main__":
    qmtest.main()
