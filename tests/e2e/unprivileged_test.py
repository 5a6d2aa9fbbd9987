#!/usr/bin/env python3
"""The program as an ordinary user (65534, through setpriv; the test runs as root) runs it with
default settings: a private working directory under ~/.local/share, a password from standard
input, `--headless` serving on loopback port 1110 (skipped when taken), no password in the log.
"""

import os
import poplib
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402

NOBODY, DEFAULT_PORT, SECRET = 65534, 1110, "s3cret-from-stdin"


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
class UnprivilegedUserTest(unittest.TestCase):
    def setUp(self):
        self.home = self.enterContext(tempfile.TemporaryDirectory(prefix="qm_home_"))
        os.chown(self.home, NOBODY, NOBODY)
        self.workdir = os.path.join(self.home, ".local", "share", "qm_mailfilter")
        self.env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                    "LANG": "C.UTF-8"}
        self.prefix = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
        # The build tree may lie where the user cannot reach.
        self.program = shutil.copy(qmtest.PROGRAM, os.path.join(self.home, "qm_mailfilter"))

    def run_program(self, *args, stdin=b"", expect=0):
        done = subprocess.run(self.prefix + [self.program] + list(args), input=stdin,
                              capture_output=True, env=self.env, timeout=60)
        self.assertEqual(done.returncode, expect, done.stderr)
        return done

    def test_default_settings_serve_a_mail_client_on_loopback(self):
        with socket.socket() as s:
            if s.connect_ex((qmtest.HOST, DEFAULT_PORT)) == 0:
                self.skipTest("port %d is taken on this machine" % DEFAULT_PORT)
        self.run_program("mailbox", "add", "box")
        self.run_program("mailbox", "set", "box", "localUser=hanako", "--password-stdin",
                         "localPassword", stdin=SECRET.encode() + b"\n")
        self.assertIn(b"localPassword=(set)", self.run_program("mailbox", "show", "box").stdout)
        program = qmtest.HeadlessProgram(self.program, None, DEFAULT_PORT, prefix=self.prefix,
                                         env=self.env)
        self.addCleanup(program.close)
        # Only loopback listens (as /proc/net/tcp shows it), and the process memory is private.
        with open("/proc/net/tcp") as f:
            rows = [line.split() for line in f.readlines()[1:]]
        self.assertEqual([r[1].split(":")[0] for r in rows
                          if int(r[1].split(":")[1], 16) == DEFAULT_PORT and r[3] == "0A"],
                         ["0100007F"])
        self.assertEqual(os.stat("/proc/%d/environ" % program.process.pid).st_uid, 0)
        client = poplib.POP3(qmtest.HOST, DEFAULT_PORT, timeout=10)
        client.user("hanako")
        client.pass_(SECRET)
        self.assertEqual(client.stat(), (0, 0))
        client.quit()
        self.assertEqual(program.terminate()[0], 0, program.text())
        modes = {path: os.stat(path).st_mode & 0o777 for folder, _, files in
                 os.walk(os.path.join(self.home, ".local"))
                 for path in [folder] + [os.path.join(folder, n) for n in files]}
        self.assertIn(os.path.join(self.workdir, "box.mbx"), modes)
        self.assertEqual({p: m for p, m in modes.items()
                          if m != (0o700 if os.path.isdir(p) else 0o600)}, {})
        self.assertNotIn(SECRET, qmtest.read_log(self.workdir))

    def test_a_directory_others_can_write_to_is_refused(self):
        os.makedirs(self.workdir)
        os.chmod(self.workdir, 0o777)
        shutil.chown(self.workdir, NOBODY, NOBODY)
        self.assertIn(b"other users can write to",
                      self.run_program("mailbox", "list", expect=1).stderr)
        self.assertEqual(os.listdir(self.workdir), [])


if __name__ == "__main__":
    qmtest.main()
