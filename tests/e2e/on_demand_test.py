#!/usr/bin/env python3
"""`--headless` fetching from a real Dovecot when poplib logs in, and at start; SIGTERM ends it at
once while a client stays logged in and the timer's retrieval waits for the mailbox it holds.
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
from qmtest import HOST, LOCAL_PASSWORD, LOCAL_USER, REMOTE_USER  # noqa: E402


def message(name):
    return ("Subject: %s\r\nMessage-ID: <%s@qmtest>\r\n\r\nbody of %s\r\n.dotted line\r\n"
            % (name, name, name)).encode()


class HeadlessRetrievalTest(unittest.TestCase):
    def setUp(self):
        qmtest.skip_unless_installed("dovecot")
        self.dir = tempfile.mkdtemp(prefix="qm_ondemand_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        os.chmod(self.dir, 0o711)
        self.remote = qmtest.Dovecot(self.dir, qmtest.free_port(), REMOTE_USER,
                                     qmtest.REMOTE_PASSWORD)
        self.addCleanup(self.remote.stop)

    def start(self, startup_retrieve, before=(), **settings):
        """Dovecot holding `before`, a mailbox "inbox" on it that keeps every server copy (what
        stays unstored must be fetched by the next run), the headless program."""
        self.remote.start()
        self.remote.deliver([message(name) for name in before])
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

    def fetched(self):
        pop = self.client()
        texts = [b"\r\n".join(pop.retr(i + 1)[1]) + b"\r\n" for i in range(pop.stat()[0])]
        pop.quit()
        return texts

    def stored(self):
        return sorted(r["subject"] for d in (False, True) for r in self.work.rows("inbox", d))

    def test_login_fetches_the_new_mail_first_with_on_demand_only(self):
        for on_demand in (1, 0):
            with self.subTest(on_demand=on_demand):
                if not on_demand:
                    self.doCleanups()
                    self.setUp()
                self.start(0, timerInterval=0, onDemand=on_demand)
                # Delivered after the start: only the login can fetch it.
                self.remote.deliver([message("first"), message("second")])
                self.assertEqual(self.fetched(),
                                 [message("first"), message("second")] if on_demand else [])
        self.doCleanups()
        self.setUp()
        self.start(1, ["first", "second"], timerInterval=0, onDemand=0)
        self.assertTrue(qmtest.wait_for_log(self.work.path, "MSV : Close connection to " + HOST,
                                            timeout=30), "no retrieval at start-up")
        self.assertEqual(self.fetched(), [message("first"), message("second")])

    def test_a_second_login_fetches_again(self):
        self.start(0, timerInterval=0, onDemand=1)
        for count in (1, 2):
            self.remote.deliver([message("m%d" % count)])
            self.assertEqual(len(self.fetched()), count)
        self.assertEqual(self.program.terminate()[0], 0)
        self.assertEqual(self.work.log().count(
            "MSV : Authorization successful. ( %s on %s )" % (REMOTE_USER, HOST)), 2)

    def test_sigterm_with_a_client_logged_in_and_a_retrieval_waiting(self):
        before, later = ["before-1", "before-2"], ["later-1", "later-2", "later-3"]
        self.start(1, before, timerInterval=30)
        self.assertTrue(qmtest.wait_for_log(self.work.path, "MSV : Close connection"),
                        "no retrieval at start-up")
        client = self.client()
        self.assertEqual(client.stat()[0], len(before))
        client.retr(1)
        client.dele(1)
        self.remote.deliver([message(name) for name in later])
        # The timer's retrieval fetches the first new message, then waits for the mailbox.
        fetching = "MSV : Retrieving message from %s ( %s ). ( %d / %d )" % (
            HOST, REMOTE_USER, len(before) + 1, len(before) + len(later))
        self.assertTrue(qmtest.wait_for_log(self.work.path, fetching, timeout=90),
                        self.work.log()[-2000:])
        time.sleep(1.5)
        self.assertEqual(self.work.log().count("MSV : Close connection"), 1)
        client.noop()
        code, seconds = self.program.terminate()
        self.assertEqual(code, 0, self.program.text())
        self.assertLess(seconds, 5.0)
        # The client was logged out, and its deletion is gone with it.
        with self.assertRaises((poplib.error_proto, OSError, EOFError)):
            client.noop()
        client.close()
        stored = self.stored()
        self.assertTrue(set(before) <= set(stored) and len(set(stored)) == len(stored), stored)
        # Whatever was not stored is still on the server and fetched by the next run, once.
        self.work.retrieve("inbox")
        self.assertEqual(self.stored(), sorted(before + later))


if __name__ == "__main__":
    qmtest.main()
