#!/usr/bin/env python3
"""Retrieval from a real Dovecot, classification against a real dnsmasq, and the mail client's
view of the result through the local POP3 server (fetchmail against `--headless`).

Usage: retrieval_test.py PATH_TO_QM_MAILFILTER [unittest options]

Every test runs a private Dovecot over a maildir of its own and sets the working directory up
through the command line; one dnsmasq serves the blocklist zones for all. What is left on the
server is read from the maildir (a file name up to ":" is Dovecot's unique id here).
"""

import collections
import os
import poplib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HOST, LOCAL_PASSWORD, LOCAL_USER, REMOTE_USER, ZONES  # noqa: E402

FRIEND_ADDRESS = "hanako.friend@friends.test"
BAD_ADDRESS = "promo@bad-sender.test"
# Zone 0 lists these link hosts; every other name in the zones does not exist.
LISTED_HOST = "spamhost.example"
FRIENDS_LISTED_HOST = "listed-but-friendly.example"


def compose(sender, subject, message_id, body_lines, extra_headers=()):
    """A message as a mail server delivers it into a maildir: LF line ends."""
    headers = [
        b"Return-Path: <" + sender.split(b"<")[-1].rstrip(b">") + b">",
        b"Received: from mail.sender.test (mail.sender.test [198.51.100.23])",
        b"\tby mx.example.test (Postfix) with ESMTP id 4VqZx1; Tue, 4 Jun 2024 10:20:30 +0900",
        b"Received: from [192.0.2.77] (helo=client.sender.test)",
        b"\tby mail.sender.test with esmtpa; Tue, 4 Jun 2024 10:20:28 +0900",
        b"Message-ID: " + message_id, b"Date: Tue, 4 Jun 2024 10:20:25 +0900",
        b"From: " + sender, b"To: hanako@example.test", b"Subject: " + subject,
        b"MIME-Version: 1.0"] + list(extra_headers)
    return b"".join(line + b"\n" for line in headers + [b""] + list(body_lines))


# Lines that the POP3 servers must dot-stuff and the clients unstuff, a long line, 8-bit text.
TRICKY_LINES = [b".", b"..", b".hidden line", b"...three", b" . ", b"-- ",
                b"x" * 990, "終わり。".encode("utf-8"), b"."]
FRIEND = compose(b"Hanako <" + FRIEND_ADDRESS.encode() + b">", b"lunch on friday",
                 b"<friend-1@friends.test>",
                 [b"Hi,", b"", b"the place I told you about: http://www." +
                  FRIENDS_LISTED_HOST.encode() + b"/menu (a friend's mail is never spam)",
                  b""] + TRICKY_LINES,
                 [b"Content-Type: text/plain; charset=UTF-8", b"Content-Transfer-Encoding: 8bit"])
BAD = compose(b"Promotions <" + BAD_ADDRESS.encode() + b">", b"LAST CHANCE",
              b"<bad-1@bad-sender.test>",
              [b"Buy now at http://shop.bad-sender.test/", b".", b"Unsubscribe: none"])
SPAM = compose(b"News <news@clean-sender.test>", b"=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=",
               b"<spam-1@clean-sender.test>",
               [b"Cheap watches: http://www." + LISTED_HOST.encode() + b"/offer?id=1",
                b"..and more"])
OTHER = compose(b"\"Someone Else\" <someone@other-sender.test>", b"minutes of the meeting",
                b"<other-1@other-sender.test>",
                [b"See https://docs.harmless.test/minutes/2024-06 for the minutes.", b"",
                 b".signature follows", b"-- ", b"someone"])

# The order in which they lie on the server.
ORDER = "FBSO"
MESSAGES = {"F": FRIEND, "B": BAD, "S": SPAM, "O": OTHER}
SUBJECTS = {"F": "lunch on friday", "B": "LAST CHANCE", "S": "テスト",
            "O": "minutes of the meeting"}
VERDICTS = {"F": "friend", "B": "bad", "S": "spam", "O": "other"}


def new_message(n):
    """Further mail from a sender of no list, without links."""
    return compose(b"Jiro <jiro@other-sender.test>", b"news %d" % n,
                   b"<new-%d@other-sender.test>" % n, [b"message %d" % n, b".", b"bye"])


def bulk_message(n):
    """Ordinary mail of about 4 KB, for runs that last long enough to be interrupted."""
    return compose(b"Reports <reports@other-sender.test>", b"report %d" % n,
                   b"<report-%d@other-sender.test>" % n,
                   [b"line %d of a longer report, with nothing in it worth a look-up" % i
                    for i in range(60)])


DNS = None  # one dnsmasq for the module


def setUpModule():
    global DNS
    qmtest.skip_unless_installed("dovecot", "dnsmasq", "fetchmail")
    directory = tempfile.mkdtemp(prefix="qm_retrieval_dns_")
    unittest.addModuleCleanup(shutil.rmtree, directory, ignore_errors=True)
    DNS = qmtest.Dnsmasq(directory, ZONES, {host + ZONES[0]: "127.0.0.2"
                                            for host in (LISTED_HOST, FRIENDS_LISTED_HOST)})
    unittest.addModuleCleanup(DNS.stop)


class RetrievalCase(unittest.TestCase):
    """A fresh Dovecot holding the four messages F, B, S, O, and a working directory."""

    # Spam into the dustbox (the usual setting), bad mail kept in the mailbox but hidden.
    OPTIONS = {"dustboxSpam": 1, "dustboxBad": 0, "hideBad": 1}

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="qm_retrieval_")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.maildir = os.path.join(self.scratch, "Maildir")
        self.uids = dict(zip(ORDER, (name.split(",")[0] for name in qmtest.fill_maildir(
            self.maildir, [MESSAGES[k] for k in ORDER]))))
        self.server = qmtest.Dovecot(self.scratch, qmtest.free_port(), REMOTE_USER,
                                     qmtest.REMOTE_PASSWORD, self.maildir).start()
        self.addCleanup(self.server.stop)
        self.work = qmtest.Workdir(os.path.join(self.scratch, "work"), qmtest.PROGRAM, DNS.port)
        self.work.run("friend", "add", FRIEND_ADDRESS)
        self.work.run("bad", "add", BAD_ADDRESS)

    def mailbox(self, policy, name="box", **options):
        self.work.add_mailbox(name, self.server.port, policy, **dict(self.OPTIONS, **options))

    def on_server(self):
        """The unique ids of the messages in the maildir."""
        return {name.split(",")[0] for sub in ("cur", "new")
                for name in os.listdir(os.path.join(self.maildir, sub))}

    def maildir_file(self, key):
        """The path of a message's file in the maildir (new/ or cur/, flags and all)."""
        for sub in ("cur", "new"):
            for name in os.listdir(os.path.join(self.maildir, sub)):
                if name.split(",")[0] == self.uids[key]:
                    return os.path.join(self.maildir, sub, name)
        raise AssertionError("%s is not on the server" % key)

    def assertOnServer(self, keys, extra=()):
        self.assertEqual(self.on_server(), {self.uids[k] for k in keys} |
                         {name.split(",")[0] for name in extra},
                         "expected on the server: %s" % " ".join(keys))

    def local(self, dustbox=False):
        """(subject, verdict, hidden) of each message, in mailbox order."""
        return [(row["subject"], row["verdict"], row["hidden"])
                for row in self.work.rows("box", dustbox)]

    def row(self, key, hidden=False):
        return (SUBJECTS[key], VERDICTS[key], hidden)

    def number(self, key, dustbox=False):
        """The message number of a message in the mailbox (or its dustbox)."""
        subjects = [row["subject"] for row in self.work.rows("box", dustbox)]
        self.assertEqual(subjects.count(SUBJECTS[key]), 1, subjects)
        return str(subjects.index(SUBJECTS[key]) + 1)

    def act(self, *steps):
        """Runs steps: "run" (a retrieval), "del K" (into the dustbox), "ddel K" (from the
        dustbox for good), "purge K" (from the mailbox for good), "server KEYS" (a check)."""
        for step in steps:
            verb, _, keys = step.partition(" ")
            if verb == "run":
                self.work.retrieve("box")
            elif verb == "server":
                self.assertOnServer(keys, self.extra)
            else:
                where = {"del": [], "ddel": ["--dustbox"], "purge": ["--purge"]}[verb]
                self.work.run("mail", "delete", "box", *where,
                              *(self.number(k, verb == "ddel") for k in keys))

    extra = ()

    def assertLocal(self, mailbox, dustbox=None):
        self.assertEqual(self.local(), mailbox)
        if dustbox is not None:
            self.assertEqual(self.local(dustbox=True), dustbox)

    def assertFirstRun(self):
        """The local state after the first run of the usual options."""
        self.assertLocal([self.row("F"), self.row("B", hidden=True), self.row("O")],
                         [self.row("S")])

    def served(self):
        """The messages a mail client fetches from the local server, with fetchmail."""
        headless = qmtest.HeadlessProgram(qmtest.PROGRAM, self.work.path, self.work.local_port)
        try:
            fetched, _ = qmtest.fetchmail(self.scratch, self.work.local_port, LOCAL_USER,
                                          LOCAL_PASSWORD)
            self.assertEqual(headless.terminate()[0], 0, headless.text())
        finally:
            headless.close()
        return fetched

    def assertAllOnceAfterInterruption(self, bulk):
        self.work.retrieve("box")
        subjects = collections.Counter(
            row["subject"] for dustbox in (False, True) for row in self.work.rows("box", dustbox))
        expected = collections.Counter([SUBJECTS[k] for k in ORDER] +
                                       ["report %d" % n for n in range(bulk)])
        self.assertEqual(subjects - expected, collections.Counter(), "fetched twice")
        self.assertEqual(expected - subjects, collections.Counter(), "missing")
        self.assertOnServer("")


class ClassifyAndServeTest(RetrievalCase):
    def test_retrieval_classifies_stores_and_serves_the_visible_mail_byte_for_byte(self):
        # What Dovecot serves, unstuffed by poplib, before anything else happens.
        pop = poplib.POP3(*self.server.address, timeout=30)
        pop.user(REMOTE_USER)
        pop.pass_(qmtest.REMOTE_PASSWORD)
        served = [b"".join(line + b"\n" for line in pop.retr(n)[1])
                  for n in range(1, pop.stat()[0] + 1)]
        pop.quit()
        self.assertEqual(served, [MESSAGES[k] for k in ORDER])

        self.mailbox("keep")
        lines = self.work.retrieve("box").splitlines()
        self.assertIn("メール受信中 ( box )", lines)
        progress = [m.groups() for m in (re.fullmatch(r"受信中 \( 127\.0\.0\.1 \) (\d+) / (\d+)",
                                                      line) for line in lines) if m]
        self.assertEqual(progress[-1], ("4", "4"), lines)
        self.assertTrue(any(re.fullmatch(r"通信正常終了 \(\d\d:\d\d:\d\d\)", line)
                            for line in lines), lines)
        self.assertFalse(any("受信エラー発生" in line for line in lines), lines)

        # Classified and filed; stored exactly as served, in the order of the server.
        self.assertFirstRun()
        self.assertEqual(self.work.read("box.mbx"),
                         b"".join(qmtest.stuffed(served[i]) for i in (0, 1, 3)))
        self.assertEqual(self.work.read("box_dustbox.mbx"), qmtest.stuffed(served[2]))
        self.assertOnServer(ORDER)
        # The spam verdict came from the blocklist; the friend list decided before the
        # friend's link, listed as well, was asked about.
        queries = DNS.wait_for_query(LISTED_HOST + ZONES[0])
        self.assertIn(LISTED_HOST + ZONES[0], queries)
        self.assertFalse([q for q in queries if FRIENDS_LISTED_HOST in q], queries)

        # The mail client sees the visible mail only, byte for byte as Dovecot served it; a
        # second run fetches nothing twice.
        self.assertEqual(self.served(), [served[0], served[3]])
        self.work.retrieve("box")
        self.assertFirstRun()
        self.assertEqual(self.served(), [served[0], served[3]])


class PolicyTest(RetrievalCase):
    """What is left on the server under each deletion policy and exemption, across runs, local
    deletions and new mail. keep: never deleted there; retrieved: deleted in the session that
    fetched it; dustboxed: deleted at the next run once in the dustbox or deleted here (after
    TOP n 0 shows the same Message-ID); purged: deleted at the next run once deleted for good.
    The friend and other exemptions keep those verdicts on the server whatever the policy; bad
    mail and spam are never exempt."""

    def test_keep_never_deletes_and_never_fetches_twice(self):
        self.mailbox("keep")
        self.act("run")
        self.assertFirstRun()
        self.act("server " + ORDER, "del O", "ddel S", "purge F", "run")
        self.assertLocal([self.row("B", hidden=True)], [self.row("O")])
        self.act("server " + ORDER)
        self.work.run("mail", "restore", "box", "1")
        self.act("run")
        self.assertLocal([self.row("B", hidden=True), self.row("O")], [])
        self.act("server " + ORDER)
        # New mail is fetched exactly once.
        self.extra = self.server.deliver([new_message(1), new_message(2)])
        self.act("run", "run", "server " + ORDER)
        self.assertEqual([s for s, _, _ in self.local()],
                         [SUBJECTS["B"], SUBJECTS["O"], "news 1", "news 2"])
        # The mail client sees what is left and visible.
        self.assertEqual(self.served(), [OTHER, new_message(1), new_message(2)])

    def test_retrieved_deletes_in_the_same_session(self):
        self.mailbox("retrieved")
        self.act("run", "server ")
        self.assertFirstRun()
        # A deletion stays listed until a run finds the copy gone.
        self.assertTrue(self.work.exists("box.svm"))
        self.act("run")
        self.assertFalse(self.work.exists("box.svm"))
        self.server.deliver([new_message(1)])
        self.act("run", "run", "server ")
        self.assertEqual([s for s, _, _ in self.local()],
                         [SUBJECTS["F"], SUBJECTS["B"], SUBJECTS["O"], "news 1"])

    def exempt(self, policy, exemptions, steps, left, mailbox, dustbox=None):
        self.mailbox(policy, **exemptions)
        self.act("run")
        self.assertFirstRun()
        self.act(*steps, "server " + left)
        self.assertLocal([self.row(k[0], hidden=k[1:] == "h") for k in mailbox.split()],
                         dustbox and [self.row(k) for k in dustbox])

    def test_retrieved_with_the_friend_exemption(self):
        # Exempt also when it is deleted here: never deleted there, never fetched again.
        self.exempt("retrieved", {"keepFriendOnServer": 1},
                    ["server F", "del F", "run", "server F", "ddel F", "run", "run"], "F",
                    "Bh O", "S")

    def test_retrieved_with_the_other_exemption(self):
        self.exempt("retrieved", {"keepOtherOnServer": 1}, ["server O", "purge O", "run", "run"],
                    "O", "F Bh")

    def test_dustboxed_with_both_exemptions(self):
        self.exempt("dustboxed", {"keepFriendOnServer": 1, "keepOtherOnServer": 1},
                    ["server FBO", "del OFB", "run", "server FO"], "FO", "")
        self.work.run("mail", "delete", "--dustbox", "box", "4", "3", "2")
        self.act("run", "run", "server FO")
        self.assertLocal([], [self.row("S")])

    def test_dustboxed_deletes_at_the_next_run(self):
        self.mailbox("dustboxed")
        self.act("run", "server FBO")
        self.assertFirstRun()
        self.act("del O", "server FBO")
        self.assertTrue(self.work.exists("box.svm"))
        self.extra = self.server.deliver([new_message(1)])
        self.act("run", "server FB")
        news = ("news 1", "other", False)
        self.assertLocal([self.row("F"), self.row("B", hidden=True), news],
                         [self.row("S"), self.row("O")])
        self.act("run")
        self.assertFalse(self.work.exists("box.svm"))
        # Nothing more to do, nothing fetched twice; deleted for good: also deleted there.
        self.act("run", "server FB", "purge B", "run", "server F")
        self.assertLocal([self.row("F"), news])

    def test_dustboxed_leaves_a_changed_message_alone(self):
        self.mailbox("dustboxed")
        self.act("run", "del OF")
        # Another message now lies under O's unique id: same size, another Message-ID.
        path = self.maildir_file("O")
        with open(path, "rb") as f:
            changed = f.read().replace(b"<other-1@", b"<other-2@")
        with open(path, "r+b") as f:
            f.write(changed)
        # F was deleted; the message under O's id is not the one deleted here: it stays, and
        # it is new mail here, fetched once.
        self.act("run", "server BO")
        self.assertLocal([self.row("B", hidden=True), self.row("O")])
        self.assertTrue(self.work.read("box.mbx").endswith(qmtest.stuffed(changed)))
        self.act("run", "server BO")
        self.assertEqual(len(self.local()), 2)

    def test_purged_deletes_once_deleted_for_good(self):
        self.mailbox("purged")
        self.act("run", "server " + ORDER)
        self.assertFirstRun()
        self.act("del O", "run", "server " + ORDER, "ddel O", "run", "server FBS",
                 "purge F", "ddel S", "run", "server B", "run")
        self.assertFalse(self.work.exists("box.svm"))
        self.assertLocal([self.row("B", hidden=True)], [])


class InterruptionTest(RetrievalCase):
    def test_headless_retrieves_at_start_and_serves_the_result(self):
        self.mailbox("retrieved")
        self.work.set_setting("StartupRetrieve", 1)

        def retrieved():
            pop = poplib.POP3(HOST, self.work.local_port, timeout=30)
            pop.user(LOCAL_USER)
            pop.pass_(LOCAL_PASSWORD)
            count = pop.stat()[0]
            pop.quit()
            return count == 2 and not self.on_server()
        headless = qmtest.HeadlessProgram(qmtest.PROGRAM, self.work.path, self.work.local_port)
        try:
            qmtest.wait_until(retrieved, 60, "nothing retrieved at start")
            fetched, _ = qmtest.fetchmail(self.scratch, self.work.local_port, LOCAL_USER,
                                          LOCAL_PASSWORD)
            self.assertEqual(headless.terminate()[0], 0, headless.text())
        finally:
            headless.close()
        self.assertEqual(fetched, [FRIEND, OTHER])
        # Saved when it ended: the next run knows everything.
        self.assertFirstRun()
        self.act("run")
        self.assertFirstRun()

    def test_sigterm_during_a_startup_retrieval_loses_nothing_and_duplicates_nothing(self):
        self.mailbox("retrieved")
        self.server.deliver([bulk_message(n) for n in range(400)])
        self.work.set_setting("StartupRetrieve", 1)
        headless = qmtest.HeadlessProgram(qmtest.PROGRAM, self.work.path, self.work.local_port)
        try:
            # Until about 30 messages are in (stored messages are written at once).
            mbx = os.path.join(self.work.path, "box.mbx")
            deadline = time.monotonic() + 60
            while (os.path.getsize(mbx) < 30 * len(qmtest.stuffed(bulk_message(0))) and
                   time.monotonic() < deadline):
                time.sleep(0.002)
            self.assertEqual(headless.terminate()[0], 0, headless.text())
        finally:
            headless.close()
        self.assertAllOnceAfterInterruption(400)

    def test_sigterm_during_a_run_keeps_what_was_stored_and_fetches_nothing_twice(self):
        self.mailbox("retrieved")
        self.server.deliver([bulk_message(n) for n in range(400)])
        process = subprocess.Popen([qmtest.PROGRAM, "--workdir", self.work.path, "retrieve",
                                    "box"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        try:
            # Once the 30th message is being classified.
            mark, seen = ("判定中 ( %s ) 30 / " % HOST).encode(), b""
            while mark not in seen:
                chunk = process.stderr.read1(65536)
                if not chunk:
                    break
                seen += chunk
            process.send_signal(signal.SIGTERM)
            seen += process.communicate(timeout=60)[1]
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        # It ends by itself (an interrupted run is an error; one that was quicker is done).
        self.assertIn(process.returncode, (0, 1), seen.decode("utf-8", "replace")[-2000:])
        self.assertAllOnceAfterInterruption(400)


class FailureTest(RetrievalCase):
    def assertUntouched(self):
        self.assertLocal([], [])
        self.assertOnServer(ORDER)

    def test_wrong_password_closed_port_silent_server_and_unknown_name(self):
        self.work.add_mailbox("box", self.server.port, "retrieved", password="wrong",
                              **self.OPTIONS)
        err = self.work.retrieve("box", expect=1)
        self.assertTrue(any(re.fullmatch(r"受信エラー発生 \(\d\d:\d\d:\d\d\)", line)
                            for line in err.splitlines()), err)
        self.assertIn("\tMSV : Password for %s is not incorrect. ( %s )\r\n"
                      % (REMOTE_USER, HOST), self.work.log())
        self.assertUntouched()
        self.work.run("mailbox", "set", "box", "password=" + qmtest.REMOTE_PASSWORD,
                      "port=%d" % qmtest.free_port())
        self.work.retrieve("box", expect=1)
        self.assertUntouched()
        # Accepts the connection and never greets: the server timeout ends the run.
        with socket.create_server((HOST, 0)) as silent:
            self.work.run("mailbox", "set", "box", "port=%d" % silent.getsockname()[1])
            self.work.set_setting("ServerTimeout", 2)
            self.work.retrieve("box", expect=1, timeout=60)
        self.work.set_setting("ServerTimeout", 20)
        self.assertUntouched()
        self.assertTrue(self.work.run("retrieve", "nobox", expect=1).err
                        .startswith("qm_mailfilter: "))
        # Put right, the same mailbox retrieves.
        self.work.run("mailbox", "set", "box", "port=%d" % self.server.port)
        self.act("run", "server ")
        self.assertFirstRun()

    def test_a_failed_retr_is_an_error_and_loses_nothing(self):
        self.mailbox("retrieved")
        # Dovecot cannot read B's file and answers its RETR with -ERR.
        path = self.maildir_file("B")
        owner = os.stat(path)
        os.chmod(path, 0)
        if os.geteuid() == 0:
            os.chown(path, 0, 0)
        err = self.work.retrieve("box", expect=1)
        self.assertTrue(any(re.fullmatch(r"受信エラー発生 \(\d\d:\d\d:\d\d\)", line)
                            for line in err.splitlines()), err)
        self.assertNotIn("通信正常終了", err)
        # Every other message is stored, and its server copy is gone as the policy says; the
        # refused one stays on the server, unrecorded.
        self.assertLocal([self.row("F"), self.row("O")], [self.row("S")])
        self.assertOnServer("B")
        path = self.maildir_file("B")
        os.chown(path, owner.st_uid, owner.st_gid)
        os.chmod(path, 0o600)
        self.act("run", "server ")
        self.assertLocal([self.row("F"), self.row("O"), self.row("B", hidden=True)])

    def test_all_mailboxes_from_the_last_to_the_first(self):
        self.mailbox("keep", name="first")
        self.work.add_mailbox("second", self.server.port, "keep", local_user="jiro",
                              **self.OPTIONS)
        order = [line for line in self.work.retrieve().splitlines()
                 if line.startswith("メール受信中")]
        self.assertEqual(order, ["メール受信中 ( second )", "メール受信中 ( first )"])
        for name in ("first", "second"):
            self.assertEqual((len(self.work.rows(name)), len(self.work.rows(name, True))), (3, 1))
        self.assertOnServer(ORDER)


if __name__ == "__main__":
    qmtest.main()
