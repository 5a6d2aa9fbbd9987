#!/usr/bin/env python3
"""`qm_mailfilter mailbox ...` and `mail ...` on files written and checked byte by byte from the
file layouts (qmtest encodes them), never by asking the program. Argument: the program's path."""

import fcntl
import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import flags_of, stuffed, write_cfg, write_flg, write_svm  # noqa: E402

os.environ["TZ"] = "UTC"


class WorkdirTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="qm-workdir-")
        self.addCleanup(self._tmp.cleanup)
        self.dir = self._tmp.name

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def write(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def run_program(self, *args, expect=0):
        done = qmtest.Workdir.command(qmtest.PROGRAM, self.dir, args, expect)
        return done.out, done.err

    def listed(self):
        ini = self.read("qm_mailfilter.ini").decode()
        return re.search(r"(?ms)^\[Mailbox\][^\[]*?^Mailboxes=([^\r\n]*)", ini).group(1)

    def test_mailboxes_are_listed_ordered_set_and_removed(self):
        for args in (["add", "alpha"], ["add", " beta "], ["up", "beta"]):
            self.run_program("mailbox", *args)
        self.assertEqual((self.listed(), self.read("alpha.mbx"), self.read("beta_dustbox.mbx")),
                         ("beta:alpha:", b"", b""))
        self.assertEqual(self.run_program("mailbox", "list")[0], "beta\t0\t0\t0\nalpha\t0\t0\t0\n")
        settings = dict(localUser="lu", localPassword="lp", dustboxUser="ld", dustboxPassword="ldp",
                        timerInterval=600, dustboxLimit=42, hideSpam=1, notifyOther=0,
                        openDustboxAtExit=1, keepFriendOnServer=1, dustboxAccess=1,
                        serverDeletion="purged", server="pop.example.org", port=995, user="me",
                        password="p" * 300)
        self.run_program("mailbox", "set", "alpha", *("%s=%s" % kv for kv in settings.items()))
        self.assertEqual(self.read("alpha.cfg"), write_cfg(**dict(settings, password=b"p" * 300)))
        shown = self.run_program("mailbox", "show", "alpha")[0]
        self.assertIn("\npassword=(set)\n", shown)
        self.assertNotIn("ppp", shown)
        # The unique ids of mail deleted here outlive the mailbox.
        self.write("beta.svm", write_svm([(b"U9", b"<9@example.org>")], []))
        self.run_program("mailbox", "remove", "beta")
        self.assertEqual(self.listed(), "alpha:")
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith("beta")], ["beta.svm"])

    def test_mail_deleted_here_when_the_server_deletion_policy_changes(self):
        entry = [(b"U9", b"<9@example.org>")]
        for n, (option, note, svm) in enumerate([
                ([], "deleted on the server at the next retrieval", write_svm([], entry)),
                (["--deleted-here=delete"], "deleted on the server at the next retrieval",
                 write_svm([], entry)),
                (["--deleted-here=keep"], "left on the server", write_svm(entry, [])),
                (["--deleted-here", "refetch"], "fetched again at the next retrieval", None)]):
            name = "a%d" % n
            self.run_program("mailbox", "add", name)
            self.run_program("mailbox", "set", name, "keepFriendOnServer=1")
            self.write(name + ".svm", write_svm(entry, []))
            self.assertEqual(self.run_program("mailbox", "set", name, "serverDeletion=purged",
                                              *option)[0],
                             "%s: mails deleted here but kept on the server will be %s\n"
                             % (name, note))
            self.assertEqual(self.read(name + ".svm") if svm else os.listdir(self.dir).count(
                name + ".svm"), svm or 0)

    def test_every_command_is_refused_while_another_process_holds_the_directory(self):
        self.run_program("mailbox", "add", "alpha")
        before = {name: self.read(name) for name in os.listdir(self.dir)}
        with open(os.path.join(self.dir, "qm_mailfilter.lock"), "a+b") as lock:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            for args in (["mailbox", "list"], ["mailbox", "remove", "alpha"],
                         ["mail", "list", "alpha"], ["retrieve", "alpha"], ["retrieve"]):
                self.assertEqual(self.run_program(*args, expect=2),
                                 ("", "qm_mailfilter: another instance is running in %s; stop it first\n"
                                  % self.dir))
        self.assertEqual({name: self.read(name) for name in before}, before)

    def test_mail_list_of_files_another_program_left(self):
        subject = b"\x83\x65\x83\x58\x83\x67"  # code page 932
        self.write("box.mbx", stuffed(
            b"Subject: " + subject + b"\r\nFrom: Sender One <one@example.org>\r\nReceived: from a "
            b"by b; Tue, 5 Mar 2024 10:20:30 +0900\r\n\r\n.leading dot\r\n") + stuffed(
            b"Subject: sec\tond\r\nFrom: two@example.org\r\n\r\nbody\r\n") + stuffed(b"Subject: x\r\n"))
        self.write("box.flg", write_flg([(flags_of(True, True, 0, 1), b"UID1"),
                                         (flags_of(verdict=1, reason=3), b""),
                                         (flags_of(verdict=-1), b"UID3")]))
        self.assertIn("adopted", self.run_program("mailbox", "add", "box")[0])
        epoch = "1970 01/01 00:00:00"  # a tab inside a field would shift the columns
        self.assertEqual(self.run_program("mail", "list", "box")[0], "".join(
            "\t".join(row) + "\n" for row in [
                ["1", "1", subject.decode("cp932"), "Sender One", "one@example.org",
                 "2024 03/05 10:20:30", "friend", "hidden", "read"],
                ["2", "3", "sec ond", "", "two@example.org", epoch, "spam", "visible", "unread"],
                ["3", "0", "x", "", "", epoch, "other", "visible", "unread"]]))


if __name__ == "__main__":
    qmtest.main()
