#!/usr/bin/env python3
"""SIGTERM ends the headless program at once, whatever a logged-in mail client does.

Usage: shutdown_test.py PATH_TO_QM_MAILFILTER

A private Dovecot is the remote account; `qm_mailfilter --headless` runs in a temporary working
directory with its local server on a loopback high port; Python's poplib is the mail client that
stays logged in, which holds the mailbox, so that the timer's retrieval waits to store into it.
"""

import os
import poplib
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import dovecot  # noqa: E402
import qmtest  # noqa: E402

PROGRAM = None


def message(name):
    return ("Subject: %s\r\nMessage-ID: <%s@qmtest>\r\n\r\nbody of %s\r\n"
            % (name, name, name)).encode()


BEFORE = ["before-1", "before-2"]
LATER = ["later-1", "later-2", "later-3"]


class ShutdownTest(unittest.TestCase):
    def setUp(self):
        if not dovecot.available():
            self.skipTest("dovecot is not installed")
        self.dir = tempfile.mkdtemp(prefix="qm_shutdown_")
        os.chmod(self.dir, 0o711)
        self.work = os.path.join(self.dir, "work")
        self.remote = dovecot.Dovecot(self.dir, dovecot.free_port(), "remote", "rpass")
        self.remote.deliver([message(name) for name in BEFORE])
        self.remote.start()
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.addCleanup(self.remote.stop)
        self.port = dovecot.free_port()
        qmtest.write_settings(self.work, self.port, StartupRetrieve=1, ServerTimeout=20)
        self.command("mailbox", "add", "inbox")
        # The server keeps every copy: what stays unstored must be fetched by the next run.
        self.command("mailbox", "set", "inbox", "server=" + qmtest.HOST,
                     "port=%d" % self.remote.port, "user=remote", "password=rpass",
                     "localUser=taro", "localPassword=secret", "timerInterval=30",
                     "serverDeletion=keep")

    def command(self, *args):
        return qmtest.run(PROGRAM, self.work, *args)

    def stored(self):
        return (qmtest.subjects(PROGRAM, self.work, "inbox")
                + qmtest.subjects(PROGRAM, self.work, "inbox", dustbox=True))

    def test_sigterm_with_a_client_logged_in_and_a_retrieval_waiting(self):
        program = qmtest.HeadlessProgram(PROGRAM, self.work, self.port)
        self.addCleanup(program.close)
        self.assertTrue(qmtest.wait_for_log(self.work, "MSV : Close connection"),
                        "no retrieval at start-up")

        client = poplib.POP3(qmtest.HOST, self.port, timeout=30)
        client.user("taro")
        client.pass_("secret")
        self.assertEqual(client.stat()[0], len(BEFORE))
        client.retr(1)
        client.dele(1)
        self.remote.deliver([message(name) for name in LATER])
        # The timer's retrieval (30 s after the first) fetches the first new message and then
        # waits for the mailbox, which the client holds.
        fetching = "MSV : Retrieving message from %s ( remote ). ( %d / %d )" % (
            qmtest.HOST, len(BEFORE) + 1, len(BEFORE) + len(LATER))
        self.assertTrue(qmtest.wait_for_log(self.work, fetching, timeout=90), qmtest.read_log(
            self.work)[-2000:])
        time.sleep(1.5)
        self.assertEqual(qmtest.read_log(self.work).count("MSV : Close connection"), 1)
        client.noop()

        code, seconds = program.terminate()
        self.assertEqual(code, 0, program.text())
        self.assertLess(seconds, 5.0)
        # The client was logged out: its connection is gone, and its deletion with it.
        with self.assertRaises((poplib.error_proto, OSError, EOFError)):
            client.noop()
        client.close()

        stored = self.stored()
        for name in BEFORE:
            self.assertEqual(stored.count(name), 1, stored)
        for name in LATER:
            self.assertLessEqual(stored.count(name), 1, stored)
        # Whatever was not stored is still on the server and fetched by the next run, once.
        self.command("retrieve", "inbox")
        self.assertEqual(sorted(self.stored()), sorted(BEFORE + LATER))


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
