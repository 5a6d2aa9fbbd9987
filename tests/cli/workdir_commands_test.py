#!/usr/bin/env python3
"""Runs `qm_mailfilter mailbox ...` and `mail ...` in a scratch working directory.

Usage: workdir_commands_test.py PATH_TO_QM_MAILFILTER [unittest options]

The mailbox files are written and checked byte by byte from the file layouts (little-endian
numbers, length-prefixed strings, messages ending in CR LF "." CR LF), encoded here and never
by asking the program.
"""

import calendar
import fcntl
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HIDDEN, OPENED, flags_of, write_flg, write_svm  # noqa: E402

VERDICT = {"other": -1, "friend": 0, "spam": 1, "bad": 2, "unclassified": 3}


def flags(verdict="unclassified", reason=0, hidden=False, opened=False):
    return flags_of(hidden, opened, VERDICT[verdict], reason)


def stored(headers, body_lines):
    """A message as a mailbox keeps it: CR LF lines, dot-stuffed, ending in "." CR LF."""
    return qmtest.stuffed(b"\r\n".join(list(headers) + [b""] + list(body_lines)) + b"\r\n")


class WorkdirCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="qm-workdir-")
        self.addCleanup(self._tmp.cleanup)
        self.dir = self._tmp.name

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def files(self):
        """Every file but the lock and the log, with its bytes."""
        return {name: self.read(name) for name in sorted(os.listdir(self.dir))
                if name not in ("qm_mailfilter.lock", "qm_mailfilter.log")}

    def run_program(self, *args, expect=0):
        done = subprocess.run([qmtest.PROGRAM, "--workdir", self.dir] + list(args),
                              capture_output=True, env=dict(os.environ, TZ="UTC"), timeout=60)
        out, err = done.stdout.decode("utf-8"), done.stderr.decode("utf-8", "replace")
        self.assertEqual(done.returncode, expect, "%s\nstdout: %s\nstderr: %s" % (args, out, err))
        return out, err

    def mailbox_list(self):
        """The Mailboxes key of the [Mailbox] section."""
        text = self.read("qm_mailfilter.ini").decode()
        return re.search(r"(?ms)^\[Mailbox\][^\[]*?^Mailboxes=([^\r\n]*)", text).group(1)


class MailboxCommandsTest(WorkdirCase):
    def test_add_reorder_and_remove_keep_the_list(self):
        self.run_program("mailbox", "add", "alpha")
        self.run_program("mailbox", "add", " beta ")
        self.assertEqual(self.mailbox_list(), "alpha:beta:")
        self.assertEqual(self.read("alpha.mbx"), b"")
        self.assertEqual(self.read("beta_dustbox.mbx"), b"")

        self.run_program("mailbox", "up", "beta")
        self.assertEqual(self.mailbox_list(), "beta:alpha:")
        out, _ = self.run_program("mailbox", "list")
        self.assertEqual(out, "beta\t0\t0\t0\nalpha\t0\t0\t0\n")

        _, err = self.run_program("mailbox", "add", "alpha", expect=1)
        self.assertIn("このメールボックスはすでに使用中です。", err)
        _, err = self.run_program("mailbox", "down", "alpha", expect=1)
        self.assertIn("last", err)
        self.assertEqual(self.mailbox_list(), "beta:alpha:")

        self.write("beta.svm", write_svm([(b"U9", b"<9@example.org>")], []))
        self.run_program("mailbox", "remove", "beta")
        self.assertEqual(self.mailbox_list(), "alpha:")
        self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.startswith("beta")),
                         ["beta.svm"])

    def test_set_writes_the_settings_file_byte_for_byte(self):
        self.run_program("mailbox", "add", "alpha")
        self.run_program("mailbox", "add", "beta")
        long_password = b"p" * 300
        self.run_program("mailbox", "set", "alpha", "server=pop.example.org", "port=995",
                         "user=me", "password=" + long_password.decode(), "localUser=lu",
                         "localPassword=lp", "dustboxAccess=1", "dustboxUser=ld",
                         "dustboxPassword=ldp", "timerInterval=600", "dustboxLimit=42",
                         "hideSpam=1", "notifyOther=0", "openDustboxAtExit=1",
                         "keepFriendOnServer=1", "serverDeletion=purged")
        self.assertEqual(self.read("alpha.cfg"), qmtest.write_cfg(
            localUser="lu", localPassword="lp", dustboxUser="ld", dustboxPassword="ldp",
            timerInterval=600, dustboxLimit=42, hideSpam=1, notifyOther=0, openDustboxAtExit=1,
            keepFriendOnServer=1, dustboxAccess=1, serverDeletion="purged",
            server="pop.example.org", port=995, user="me", password=long_password))

        out, _ = self.run_program("mailbox", "show", "alpha")
        shown = dict(line.split("=", 1) for line in out.splitlines())
        self.assertEqual(shown["password"], "(set)")
        self.assertEqual(shown["serverDeletion"], "purged")
        self.assertEqual(shown["hideSpam"], "1")
        self.assertNotIn("ppp", out)

        # Refused: the dustbox name of alpha, a bad value beside a good one.
        before = self.files()
        _, err = self.run_program("mailbox", "set", "beta", "localUser=ld", expect=1)
        self.assertIn("already used by mailbox alpha", err)
        _, err = self.run_program("mailbox", "set", "beta", "port=2", "timerInterval=10",
                                  expect=1)
        self.assertIn("timerInterval", err)
        self.assertEqual(self.files(), before)

    def test_refuses_while_another_process_holds_the_directory(self):
        self.run_program("mailbox", "add", "alpha")
        before = self.files()
        with open(self.path("qm_mailfilter.lock"), "a+b") as lock:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            for args in (("mailbox", "list"), ("mailbox", "remove", "alpha"),
                         ("mail", "list", "alpha"), ("retrieve", "alpha"), ("retrieve",)):
                out, err = self.run_program(*args, expect=2)
                self.assertEqual(out, "")
                self.assertIn("another instance is running in " + self.dir, err)
            fcntl.flock(lock.fileno(), fcntl.LOCK_UN)
        self.assertEqual(self.files(), before)
        self.run_program("mailbox", "list")


class MailCommandsTest(WorkdirCase):
    # Three messages and a dustbox with one, written as another program would have left them.
    SUBJECT = b"\x83\x65\x83\x58\x83\x67"  # "テスト" in code page 932
    M1 = stored([b"Subject: " + SUBJECT, b"From: Sender One <one@example.org>",
                 b"Message-ID: <m1@example.org>",
                 b"Received: from a by b; Tue, 5 Mar 2024 10:20:30 +0900"],
                [b"first", b".leading dot"])
    M2 = stored([b"Subject: sec\tond", b"From: two@example.org"], [b"body"])
    M3 = stored([b"Subject: third", b"Message-ID: <m3@example.org>"], [b"body"])
    D1 = stored([b"Subject: junk"], [b"buy"])
    F1 = flags("friend", 1, hidden=True, opened=True)
    F2 = flags("spam", 3)
    F3 = flags("other")
    FD = flags("bad", 2, opened=True)

    def setUp(self):
        super().setUp()
        self.write("box.mbx", self.M1 + self.M2 + self.M3)
        self.write("box.flg", write_flg([(self.F1, b"UID1"), (self.F2, b""), (self.F3, b"UID3")]))
        self.write("box_dustbox.mbx", self.D1)
        self.write("box_dustbox.flg", write_flg([(self.FD, b"")]))
        out, _ = self.run_program("mailbox", "add", "box")
        self.assertIn("adopted", out)
        self.assertEqual(self.mailbox_list(), "box:")

    def expected_date(self):
        # The Received time moved to UTC+9 and read as local time (UTC here).
        return time.strftime("%Y %m/%d %H:%M:%S",
                             time.gmtime(calendar.timegm((2024, 3, 5, 10 - 9 + 9, 20, 30))))

    def test_list_shows_the_rows(self):
        out, _ = self.run_program("mail", "list", "box")
        epoch = time.strftime("%Y %m/%d %H:%M:%S", time.gmtime(0))
        self.assertEqual(out.splitlines(), [
            "\t".join(["1", "1", self.SUBJECT.decode("cp932"), "Sender One", "one@example.org",
                       self.expected_date(), "friend", "hidden", "read"]),
            # A tab inside a field would shift the columns.
            "\t".join(["2", "3", "sec ond", "", "two@example.org", epoch, "spam", "visible",
                       "unread"]),
            "\t".join(["3", "0", "third", "", "", epoch, "other", "visible", "unread"]),
        ])
        out, _ = self.run_program("mail", "list", "--json", "--dustbox", "box")
        rows = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(rows, [{
            "number": 1, "reason": 2, "subject": "junk", "senderName": "", "senderAddress": "",
            "date": epoch, "received": 0, "verdict": "bad", "hidden": False, "opened": True}])

    def test_hide_delete_restore_rewrite_the_files(self):
        self.run_program("mail", "hide", "box", "3")
        self.run_program("mail", "unread", "box", "1")
        self.assertEqual(self.read("box.flg"), write_flg(
            [(self.F1 & ~OPENED, b"UID1"), (self.F2, b""), (self.F3 | HIDDEN, b"UID3")]))
        self.assertEqual(self.read("box.mbx"), self.M1 + self.M2 + self.M3)

        # Into the dustbox, highest number first; the mark travels with its message.
        self.run_program("mail", "delete", "box", "3", "1")
        self.assertEqual(self.read("box.mbx"), self.M2)
        self.assertEqual(self.read("box_dustbox.mbx"), self.D1 + self.M3 + self.M1)
        self.assertEqual(self.read("box.flg"), write_flg([(self.F2, b"")]))
        self.assertEqual(self.read("box_dustbox.flg"), write_flg(
            [(self.FD, b""), (self.F3 | HIDDEN, b"UID3"), (self.F1 & ~OPENED, b"UID1")]))

        self.run_program("mail", "restore", "box", "2")
        self.assertEqual(self.read("box.mbx"), self.M2 + self.M3)
        self.assertEqual(self.read("box_dustbox.mbx"), self.D1 + self.M1)

        # Deleted for good from the dustbox; with the server copies kept, its unique id is
        # remembered so that it is never fetched again.
        self.run_program("mailbox", "set", "box", "serverDeletion=keep")
        self.run_program("mail", "delete", "--dustbox", "box", "2")
        self.assertEqual(self.read("box_dustbox.mbx"), self.D1)
        self.assertEqual(self.read("box_dustbox.flg"), write_flg([(self.FD, b"")]))
        self.assertEqual(self.read("box.svm"),
                         write_svm([(b"UID1", b"<m1@example.org>")], []))

        self.run_program("mail", "delete", "--purge", "box", "1")
        self.assertEqual(self.read("box.mbx"), self.M3)
        self.assertFalse(any(name.endswith((".tmp", ".new")) for name in os.listdir(self.dir)))

    def test_bad_numbers_change_nothing(self):
        before = self.files()
        for args in (("hide", "box", "4"), ("delete", "box", "1", "0"), ("read", "box", "one"),
                     ("restore", "box", "2"), ("delete", "--dustbox", "box", "2"),
                     ("hide", "nobox", "1")):
            _, err = self.run_program("mail", *args, expect=1)
            self.assertTrue(err.startswith("qm_mailfilter: "), err)
        self.assertEqual(self.files(), before)


if __name__ == "__main__":
    qmtest.main()
