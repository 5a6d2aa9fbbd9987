#!/usr/bin/env python3
"""The headless program fetching from a real Dovecot when the mail client logs in, and at start.

Usage: on_demand_test.py PATH_TO_QM_MAILFILTER

A private Dovecot serves a maildir on a loopback high port; `qm_mailfilter --headless` runs in a
temporary working directory with its local server on another; Python's poplib plays the mail
client. Nothing else on the machine is touched.
"""

import os
import poplib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dovecot  # noqa: E402

PROGRAM = None

MESSAGES = [
    b"Subject: first\r\nMessage-ID: <first@qmtest>\r\n\r\nhello\r\n.dotted line\r\n",
    b"Subject: second\r\nMessage-ID: <second@qmtest>\r\n\r\nworld\r\n",
]


def stuffed(message):
    return b"".join((b"." + line if line.startswith(b".") else line)
                    for line in message.splitlines(keepends=True))


class OnDemandTest(unittest.TestCase):
    def setUp(self):
        if not dovecot.available():
            self.skipTest("dovecot is not installed")
        self.dir = tempfile.mkdtemp(prefix="qm_ondemand_")
        os.chmod(self.dir, 0o711)
        self.work = os.path.join(self.dir, "work")
        os.mkdir(self.work)
        self.maildir = os.path.join(self.dir, "Maildir")
        self.remote = dovecot.Dovecot(self.dir, dovecot.free_port(), "remote", "rpass",
                                      self.maildir)
        self.remote.start()
        self.local_port = dovecot.free_port()
        self.program = None

    def tearDown(self):
        if self.program is not None:
            if self.program.poll() is None:
                self.program.send_signal(signal.SIGTERM)
            self.program.communicate(timeout=30)
        self.remote.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def run_program(self, *args):
        result = subprocess.run([PROGRAM, "--workdir", self.work] + list(args),
                                capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr.decode())

    def configure(self, startup_retrieve, on_demand):
        with open(os.path.join(self.work, "qm_mailfilter.ini"), "wb") as f:
            f.write(b"[Mailbox]\r\nPort=%d\r\nBindAddress=127.0.0.1\r\n"
                    b"[Misc]\r\nStartupRetrieve=%d\r\nServerTimeout=10\r\n"
                    b"[RBL]\r\nZone0=\r\nZone1=\r\nZone2=\r\nZone3=\r\n"
                    % (self.local_port, startup_retrieve))
        self.run_program("mailbox", "add", "inbox")
        self.run_program("mailbox", "set", "inbox", "server=127.0.0.1",
                         "port=%d" % self.remote.port, "user=remote", "password=rpass",
                         "localUser=taro", "localPassword=secret", "timerInterval=0",
                         "serverDeletion=keep", "onDemand=%d" % on_demand)

    def start(self):
        self.program = subprocess.Popen([PROGRAM, "--headless", "--workdir", self.work],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 15
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.local_port), timeout=1).close()
                return
            except OSError:
                if self.program.poll() is not None:
                    raise RuntimeError(self.program.stderr.read().decode())
                time.sleep(0.05)
        raise RuntimeError("the local server never listened")

    def client_messages(self):
        pop = poplib.POP3("127.0.0.1", self.local_port, timeout=30)
        pop.user("taro")
        pop.pass_("secret")
        count, _ = pop.stat()
        texts = [b"\r\n".join(pop.retr(i + 1)[1]) + b"\r\n" for i in range(count)]
        pop.quit()
        return texts

    def log(self):
        with open(os.path.join(self.work, "qm_mailfilter.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def test_login_fetches_the_new_mail_first(self):
        self.configure(startup_retrieve=0, on_demand=1)
        self.start()
        # Delivered after the start, so only the login can have fetched it.
        dovecot.fill_maildir(self.maildir, MESSAGES, owner=self.remote.mail_owner)
        self.assertEqual(self.client_messages(), MESSAGES)
        dovecot.fill_maildir(self.maildir, [b"Subject: third\r\n\r\nagain\r\n"],
                             owner=self.remote.mail_owner, first=len(MESSAGES))
        self.assertEqual(len(self.client_messages()), 3)
        self.program.send_signal(signal.SIGTERM)
        self.assertEqual(self.program.wait(timeout=30), 0)
        self.assertEqual(
            self.log().count("MSV : Authorization successful. ( remote on 127.0.0.1 )"), 2)

    def test_without_on_demand_the_login_does_not_fetch(self):
        self.configure(startup_retrieve=0, on_demand=0)
        self.start()
        dovecot.fill_maildir(self.maildir, MESSAGES, owner=self.remote.mail_owner)
        self.assertEqual(self.client_messages(), [])

    def test_start_up_retrieves_every_mailbox(self):
        dovecot.fill_maildir(self.maildir, MESSAGES, owner=self.remote.mail_owner)
        self.configure(startup_retrieve=1, on_demand=0)
        self.start()
        deadline = time.time() + 30
        while "MSV : Close connection to 127.0.0.1." not in self.log_if_any():
            self.assertLess(time.time(), deadline, "no retrieval at start-up")
            time.sleep(0.1)
        self.assertEqual(self.client_messages(), MESSAGES)

    def log_if_any(self):
        try:
            return self.log()
        except FileNotFoundError:
            return ""


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
