#!/usr/bin/env python3
"""Retrieval from a real Dovecot, classification against a real dnsmasq, and what fetchmail
gets from the local POP3 server of `--headless`."""

import collections
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HOST, REMOTE_PASSWORD, REMOTE_USER, ZONES  # noqa: E402

FRIEND_ADDRESS, BAD_ADDRESS = "hanako.friend@friends.test", "promo@bad-sender.test"
# Zone 0 lists these link hosts; every other name in the zones does not exist.
LISTED_HOST, FRIENDS_LISTED_HOST = "spamhost.example", "listed-but-friendly.example"


def compose(sender, subject, message_id, body_lines, extra_headers=()):
    """A message as a mail server delivers it into a maildir: LF line ends."""
    return b"".join(line + b"\n" for line in [
        b"Return-Path: <" + sender.split(b"<")[-1].rstrip(b">") + b">",
        b"Received: from mail.sender.test (mail.sender.test [198.51.100.23])",
        b"\tby mx.example.test (Postfix) with ESMTP id 4VqZx1; Tue, 4 Jun 2024 10:20:30 +0900",
        b"Received: from [192.0.2.77] (helo=client.sender.test)",
        b"\tby mail.sender.test with esmtpa; Tue, 4 Jun 2024 10:20:28 +0900",
        b"Message-ID: " + message_id, b"Date: Tue, 4 Jun 2024 10:20:25 +0900", b"From: " + sender,
        b"To: hanako@example.test", b"Subject: " + subject, b"MIME-Version: 1.0"] +
        list(extra_headers) + [b""] + list(body_lines))


# F friend, B bad, S spam, O other, in the order they lie on the server. Lines that POP3 servers
# must dot-stuff and clients unstuff, a long line, 8-bit text.
MESSAGES = {
    "F": compose(b"Hanako <%s>" % FRIEND_ADDRESS.encode(), b"lunch on friday",
                 b"<friend-1@friends.test>", [b"Hi,", b"", b"see http://www.%s/menu (a friend's "
                                              b"mail is never spam)" % FRIENDS_LISTED_HOST.encode(),
                                              b"", b".", b"..", b".hidden line", b"...three",
                                              b" . ", b"-- ", b"x" * 990,
                                              "終わり。".encode("utf-8"), b"."],
                 [b"Content-Type: text/plain; charset=UTF-8", b"Content-Transfer-Encoding: 8bit"]),
    "B": compose(b"Promotions <%s>" % BAD_ADDRESS.encode(), b"LAST CHANCE",
                 b"<bad-1@bad-sender.test>", [b"Buy now at http://shop.bad-sender.test/", b".",
                                              b"Unsubscribe: none"]),
    "S": compose(b"News <news@clean-sender.test>", b"=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=",
                 b"<spam-1@clean-sender.test>", [b"Cheap watches: http://www.%s/offer?id=1"
                                                 % LISTED_HOST.encode(), b"..and more"]),
    "O": compose(b"\"Someone Else\" <someone@other-sender.test>", b"minutes of the meeting",
                 b"<other-1@other-sender.test>", [b"See https://docs.harmless.test/minutes/2024-06"
                                                  b" for the minutes.", b"", b".signature follows",
                                                  b"-- ", b"someone"])}
ORDER = "FBSO"
SUBJECTS = {"F": "lunch on friday", "B": "LAST CHANCE", "S": "テスト", "O": "minutes of the meeting"}
VERDICTS = dict(zip(ORDER, ("friend", "bad", "spam", "other")))


def new_message(n, lines=(b"message", b".", b"bye"), subject=b"news"):
    return compose(b"Jiro <jiro@other-sender.test>", b"%s %d" % (subject, n),
                   b"<%s-%d@other-sender.test>" % (subject, n), list(lines))


DNS = None


def setUpModule():
    global DNS
    qmtest.skip_unless_installed("dovecot", "dnsmasq", "fetchmail")
    directory = tempfile.mkdtemp(prefix="qm_retrieval_dns_")
    unittest.addModuleCleanup(shutil.rmtree, directory, ignore_errors=True)
    DNS = qmtest.Dnsmasq(directory, ZONES, {host + ZONES[0]: "127.0.0.2"
                                            for host in (LISTED_HOST, FRIENDS_LISTED_HOST)})
    unittest.addModuleCleanup(DNS.stop)


class RetrievalCase(unittest.TestCase):
    """A fresh Dovecot holding F, B, S, O, and a working directory; spam into the dustbox, bad
    mail kept in the mailbox but hidden."""
    OPTIONS = {"dustboxSpam": 1, "dustboxBad": 0, "hideBad": 1}
    FIRST_RUN = "F Bh O / S"

    def setUp(self):
        self.scratch = self.enterContext(tempfile.TemporaryDirectory(prefix="qm_retrieval_"))
        self.maildir = os.path.join(self.scratch, "Maildir")
        self.uids = dict(zip(ORDER, (name.split(",")[0] for name in qmtest.fill_maildir(
            self.maildir, [MESSAGES[k] for k in ORDER]))))
        self.server = qmtest.Dovecot(self.scratch, qmtest.free_port(), REMOTE_USER,
                                     REMOTE_PASSWORD, self.maildir).start()
        self.addCleanup(self.server.stop)
        self.work = qmtest.Workdir(os.path.join(self.scratch, "work"), qmtest.PROGRAM, DNS.port)
        self.work.run("friend", "add", FRIEND_ADDRESS)
        self.work.run("bad", "add", BAD_ADDRESS)
        self.news = {}

    def mailbox(self, policy, **options):
        self.work.add_mailbox("box", self.server.port, policy, **dict(self.OPTIONS, **options))

    def maildir_file(self, key):
        return glob.glob(os.path.join(self.maildir, "*", self.uids[key] + ",*"))[0]

    def local(self):
        """The mailbox and the dustbox as "F Bh O", "S" (h: hidden; n1: "news 1", other)."""
        names = {(SUBJECTS[k], VERDICTS[k]): k for k in ORDER}
        return tuple(" ".join(names.get((r["subject"], r["verdict"]), "n" + r["subject"][5:]) +
                              "h" * r["hidden"] for r in self.work.rows("box", d))
                     for d in (False, True))

    def act(self, steps):
        """Steps split at ";": "run"; "del K", "ddel K", "purge K" (to the dustbox, from it, from
        the mailbox), "restore N", "new N" (news N); checks "server KEYS" (N: news N), "local
        MAILBOX / DUSTBOX" (as local()), "mbox MAILBOX", "svm" or "no svm"."""
        for step in steps.split(";"):
            verb, _, keys = step.strip().partition(" ")
            if verb == "run":
                self.work.retrieve("box")
            elif verb == "server":
                on_server = {name.split(",")[0] for sub in ("cur", "new")
                             for name in os.listdir(os.path.join(self.maildir, sub))}
                self.assertEqual(on_server, {self.uids.get(k) or self.news[k] for k in keys}, step)
            elif verb in ("local", "mbox"):
                expected = tuple(part.strip() for part in (keys + "/").split("/")[:2])
                self.assertEqual(self.local()[:2 if verb == "local" else 1],
                                 expected[:2 if verb == "local" else 1], step)
            elif verb in ("svm", "no"):
                self.assertEqual(os.path.exists(os.path.join(self.work.path, "box.svm")),
                                 verb == "svm", step)
            elif verb == "new":
                for n in keys:
                    self.news[n] = self.server.deliver([new_message(int(n))])[0].split(",")[0]
            elif verb == "restore":
                self.work.run("mail", "restore", "box", keys)
            else:
                where = {"del": [], "ddel": ["--dustbox"], "purge": ["--purge"]}[verb]
                for k in keys:
                    subjects = [r["subject"] for r in self.work.rows("box", verb == "ddel")]
                    self.work.run("mail", "delete", "box", *where,
                                  str(subjects.index(SUBJECTS[k]) + 1))

    def served(self):
        with qmtest.HeadlessProgram(qmtest.PROGRAM, self.work.path,
                                    self.work.local_port) as headless:
            fetched = qmtest.fetchmail(self.scratch, self.work.local_port)
            self.assertEqual(headless.terminate()[0], 0, headless.text())
        return fetched


class ServeAndPolicyTest(RetrievalCase):
    def test_retrieval_classifies_stores_and_serves_the_visible_mail_byte_for_byte(self):
        served = [MESSAGES[k] for k in ORDER]
        self.mailbox("keep")
        lines = self.work.retrieve("box").splitlines()
        self.assertIn("メール受信中 ( box )", lines)
        self.assertEqual([line for line in lines if line.startswith("受信中")][-1],
                         "受信中 ( 127.0.0.1 ) 4 / 4")
        self.assertTrue(any(re.fullmatch(r"通信正常終了 \(\d\d:\d\d:\d\d\)", line)
                            for line in lines), lines)
        self.assertFalse(any("受信エラー発生" in line for line in lines), lines)
        self.act("local " + self.FIRST_RUN + "; server FBSO")
        self.assertEqual(self.work.read("box.mbx"),
                         b"".join(qmtest.stuffed(served[i]) for i in (0, 1, 3)))
        self.assertEqual(self.work.read("box_dustbox.mbx"), qmtest.stuffed(served[2]))
        # Spam by the blocklist; the friend list decided before the friend's listed link was asked.
        queries = DNS.wait_for_query(LISTED_HOST + ZONES[0])
        self.assertIn(LISTED_HOST + ZONES[0], queries)
        self.assertFalse([q for q in queries if FRIENDS_LISTED_HOST in q], queries)
        self.assertEqual(self.served(), [served[0], served[3]])
        self.act("run; local " + self.FIRST_RUN)
        self.assertEqual(self.served(), [served[0], served[3]])

    # What is left on the server under each deletion policy and exemption, across runs, local
    # deletions and new mail. keep: never deleted there; retrieved: in the session that fetched
    # it; dustboxed: at the next run once in the dustbox or deleted here (after TOP n 0 shows the
    # same Message-ID); purged: at the next run once deleted for good. Friend and other
    # exemptions keep those verdicts on the server whatever the policy; bad mail and spam never.
    POLICIES = [
        ("retrieved", {}, "server ; svm; run; no svm; new 1; run; run; server ; "
                          "local F Bh O n1 / S"),
        ("retrieved", {"keepFriendOnServer": 1}, "server F; del F; run; server F; ddel F; run; run;"
                                                 " server F; local Bh O / S"),
        ("retrieved", {"keepOtherOnServer": 1}, "server O; purge O; run; run; server O; mbox F Bh"),
        ("dustboxed", {"keepFriendOnServer": 1, "keepOtherOnServer": 1},
         "server FBO; del OFB; run; server FO; mbox ; ddel OFB; run; run; server FO; local / S"),
        ("dustboxed", {}, "server FBO; del O; server FBO; svm; new 1; run; server FB1; "
                          "local F Bh n1 / S O; run; no svm; run; server FB1; purge B; run; "
                          "server F1; mbox F n1"),
        ("purged", {}, "server FBSO; del O; run; server FBSO; ddel O; run; server FBS; purge F; "
                       "ddel S; run; server B; run; no svm; local Bh"),
        ("keep", {}, "server FBSO; del O; ddel S; purge F; run; local Bh / O; server FBSO; "
                     "restore 1; run; local Bh O; server FBSO; new 12; run; run; server FBSO12; "
                     "local Bh O n1 n2"),
    ]

    def test_deletion_policies_and_exemptions(self):
        for i, (policy, exemptions, steps) in enumerate(self.POLICIES):
            with self.subTest(policy=policy, exemptions=exemptions):
                if i:
                    self.doCleanups()
                    self.setUp()
                self.mailbox(policy, **exemptions)
                self.act("run; local " + self.FIRST_RUN)
                self.act(steps)
        self.assertEqual(self.served(), [MESSAGES["O"], new_message(1), new_message(2)])

    def test_dustboxed_leaves_a_changed_message_alone(self):
        self.mailbox("dustboxed")
        self.act("run; del OF")
        # Another message now lies under O's unique id: same size, another Message-ID. It is not
        # the one deleted here: it stays, and is new mail here, fetched once.
        path = self.maildir_file("O")
        with open(path, "rb") as f:
            changed = f.read().replace(b"<other-1@", b"<other-2@")
        with open(path, "r+b") as f:
            f.write(changed)
        self.act("run; server BO; mbox Bh O; run; server BO; mbox Bh O")
        self.assertTrue(self.work.read("box.mbx").endswith(qmtest.stuffed(changed)))


class InterruptionTest(RetrievalCase):
    def test_sigterm_during_a_retrieval_loses_nothing_and_duplicates_nothing(self):
        # (SIGTERM while `--headless` retrieves: the on-demand tests.)
        self.mailbox("retrieved")
        # About 4 KB each, so that the run lasts long enough to be interrupted.
        self.server.deliver([new_message(n, [b"line %d of a longer report, with nothing in it "
                                             b"worth a look-up" % i for i in range(60)], b"report")
                             for n in range(400)])
        process = subprocess.Popen([qmtest.PROGRAM, "--workdir", self.work.path, "retrieve",
                                    "box"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        try:
            mark, seen = ("判定中 ( %s ) 30 / " % HOST).encode(), b""
            while mark not in seen and (chunk := process.stderr.read1(65536)):
                seen += chunk
            process.send_signal(signal.SIGTERM)
            seen += process.communicate(timeout=60)[1]
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        # It ends by itself (an interrupted run is an error; one that was quicker is done).
        self.assertIn(process.returncode, (0, 1), seen.decode("utf-8", "replace")[-2000:])
        self.work.retrieve("box")
        subjects = collections.Counter(r["subject"] for d in (False, True)
                                       for r in self.work.rows("box", d))
        self.assertEqual(subjects, collections.Counter(
            [SUBJECTS[k] for k in ORDER] + ["report %d" % n for n in range(400)]))
        self.act("server ")


class FailureTest(RetrievalCase):
    def assertFailed(self, err):
        self.assertTrue(any(re.fullmatch(r"受信エラー発生 \(\d\d:\d\d:\d\d\)", line)
                            for line in err.splitlines()), err)
        self.assertNotIn("通信正常終了", err)

    def test_wrong_password_and_unknown_name(self):
        self.work.add_mailbox("box", self.server.port, "retrieved", password="wrong",
                              **self.OPTIONS)
        self.assertFailed(self.work.retrieve("box", expect=1))
        self.assertIn("\tMSV : Password for %s is not incorrect. ( %s )\r\n"
                      % (REMOTE_USER, HOST), self.work.log())
        self.act("local ; server FBSO")
        self.assertTrue(self.work.run("retrieve", "nobox", expect=1).err
                        .startswith("qm_mailfilter: "))
        self.work.run("mailbox", "set", "box", "password=" + REMOTE_PASSWORD)
        self.act("run; server ; local " + self.FIRST_RUN)

    def test_a_failed_retr_is_an_error_and_loses_nothing(self):
        self.mailbox("retrieved")
        path = self.maildir_file("B")  # Dovecot cannot read it and answers RETR with -ERR
        owner = os.stat(path)
        os.chmod(path, 0)
        if os.geteuid() == 0:
            os.chown(path, 0, 0)
        self.assertFailed(self.work.retrieve("box", expect=1))
        # The others stored, their server copies gone; the refused one stays there, unrecorded.
        self.act("local F O / S; server B")
        path = self.maildir_file("B")
        os.chown(path, owner.st_uid, owner.st_gid)
        os.chmod(path, 0o600)
        self.act("run; server ; mbox F O Bh")


if __name__ == "__main__":
    qmtest.main()
