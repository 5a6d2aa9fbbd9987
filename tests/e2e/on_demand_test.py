#!/usr/bin/env python3
"""The headless program fetching from a real Dovecot when the mail client logs in, and at start.

Usage: on_demand_test.py PATH_TO_QM_MAILFILTER

A private Dovecot is the remote account, `qm_mailfilter --headless` serves the local mailbox and
Python's poplib plays the mail client; also: SIGTERM ends the program at once while a mail client
stays logged in and holds the mailbox, so that the timer's retrieval waits to store into it.
"""

import os
import poplib
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HOST, LOCAL_PASSWORD, LOCAL_USER  # noqa: E402


def message(name):
    return ("Subject: %s\r\nMessage-ID: <%s@qmtest>\r\n\r\nbody of %s\r\n.dotted line\r\n"
            % (name, name, name)).encode()


class HeadlessRetrievalCase(unittest.TestCase):
    def setUp(self):
        qmtest.skip_unless_installed("dovecot")
        self.dir = tempfile.mkdtemp(prefix="qm_ondemand_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        os.chmod(self.dir, 0o711)
        self.remote = qmtest.Dovecot(self.dir, qmtest.free_port(), qmtest.REMOTE_USER,
                                     qmtest.REMOTE_PASSWORD)
        self.addCleanup(self.remote.stop)

    def start(self, startup_retrieve, **settings):
        """The remote server, a mailbox "inbox" on it (the server keeps every copy, so that what
        stays unstored must be fetched by the next run) and the headless program."""
        self.remote.start()
        self.work = qmtest.Workdir(os.path.join(self.dir, "work"), qmtest.PROGRAM, None,
                                   startup_retrieve=startup_retrieve, zones=("",) * 4)
        self.work.add_mailbox("inbox", self.remote.port, "keep", **settings)
        self.program = qmtest.HeadlessProgram(qmtest.PROGRAM, self.work.path,
                                              self.work.local_port)
        self.addCleanup(self.program.close)

    def client(self):
        pop = poplib.POP3(HOST, self.work.local_port, timeout=30)
        pop.user(LOCAL_USER)
        pop.pass_(LOCAL_PASSWORD)
        return pop

    def client_messages(self):
        pop = self.client()
        texts = [b"\r\n".join(pop.retr(i + 1)[1]) + b"\r\n" for i in range(pop.stat()[0])]
        pop.quit()
        return texts

    def stored(self):
        return [row["subject"] for dustbox in (False, True)
                for row in self.work.rows("inbox", dustbox)]


class OnDemandTest(HeadlessRetrievalCase):
    MESSAGES = [message("first"), message("second")]

    def test_login_fetches_the_new_mail_first(self):
        self.start(0, timerInterval=0, onDemand=1)
        # Delivered after the start, so only the login can have fetched it.
        self.remote.deliver(self.MESSAGES)
        self.assertEqual(self.client_messages(), self.MESSAGES)
        self.remote.deliver([message("third")])
        self.assertEqual(len(self.client_messages()), 3)
        self.assertEqual(self.program.terminate()[0], 0)
        self.assertEqual(self.work.log().count(
            "MSV : Authorization successful. ( %s on %s )" % (qmtest.REMOTE_USER, HOST)), 2)

    def test_without_on_demand_the_login_does_not_fetch(self):
        self.start(0, timerInterval=0, onDemand=0)
        self.remote.deliver(self.MESSAGES)
        self.assertEqual(self.client_messages(), [])

    def test_start_up_retrieves_every_mailbox(self):
        self.remote.deliver(self.MESSAGES)
        self.start(1, timerInterval=0, onDemand=0)
        self.assertTrue(qmtest.wait_for_log(self.work.path, "MSV : Close connection to " + HOST,
                                            timeout=30), "no retrieval at start-up")
        self.assertEqual(self.client_messages(), self.MESSAGES)


class ShutdownTest(HeadlessRetrievalCase):
    BEFORE = ["before-1", "before-2"]
    LATER = ["later-1", "later-2", "later-3"]

    def test_sigterm_with_a_client_logged_in_and_a_retrieval_waiting(self):
        self.remote.deliver([message(name) for name in self.BEFORE])
        self.start(1, timerInterval=30)
        self.assertTrue(qmtest.wait_for_log(self.work.path, "MSV : Close connection"),
                        "no retrieval at start-up")
        client = self.client()
        self.assertEqual(client.stat()[0], len(self.BEFORE))
        client.retr(1)
        client.dele(1)
        self.remote.deliver([message(name) for name in self.LATER])
        # The timer's retrieval (30 s after the first) fetches the first new message and then
        # waits for the mailbox, which the client holds.
        fetching = "MSV : Retrieving message from %s ( %s ). ( %d / %d )" % (
            HOST, qmtest.REMOTE_USER, len(self.BEFORE) + 1, len(self.BEFORE) + len(self.LATER))
        self.assertTrue(qmtest.wait_for_log(self.work.path, fetching, timeout=90),
                        self.work.log()[-2000:])
        time.sleep(1.5)
        self.assertEqual(self.work.log().count("MSV : Close connection"), 1)
        client.noop()

        code, seconds = self.program.terminate()
        self.assertEqual(code, 0, self.program.text())
        self.assertLess(seconds, 5.0)
        # The client was logged out: its connection is gone, and its deletion with it.
        with self.assertRaises((poplib.error_proto, OSError, EOFError)):
            client.noop()
        client.close()
        stored = self.stored()
        for name in self.BEFORE:
            self.assertEqual(stored.count(name), 1, stored)
        for name in self.LATER:
            self.assertLessEqual(stored.count(name), 1, stored)
        # Whatever was not stored is still on the server and fetched by the next run, once.
        self.work.retrieve("inbox")
        self.assertEqual(sorted(self.stored()), sorted(self.BEFORE + self.LATER))


if __name__ == "__main__":
    qmtest.main()
