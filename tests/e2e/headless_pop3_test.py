#!/usr/bin/env python3
"""`qm_mailfilter --headless` serving a crafted mailbox to poplib, fetchmail and raw sockets."""

import hashlib
import os
import pathlib
import poplib
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HOST  # noqa: E402

MESSAGES = [b"Subject: one\r\nMessage-ID: <1@x>\r\n\r\nfirst body\r\n..starts with a dot\r\n.\r\n",
            b"Subject: hidden\r\n\r\nnot for the client\r\n.\r\n",
            b"Subject: three\r\n\r\nline a\r\nline b\r\nline c\r\n.\r\n"]
VISIBLE = [MESSAGES[0], MESSAGES[2]]
CAPABILITIES = {"TOP": [], "USER": [], "RESP-CODES": [], "UIDL": [],
                "IMPLEMENTATION": ["Quillmoor-Mail-Filter"]}


class HeadlessTest(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="qm_headless_"))
        self.port = qmtest.free_port()
        qmtest.write_workdir(self.dir, self.port, [{"name": "inbox", "messages": [
            qmtest.Stored(m, qmtest.flags_of(hidden=i == 1), "") for i, m in enumerate(MESSAGES)],
            "settings": {"localUser": "taro", "localPassword": "secret"}}])
        self.start()

    def start(self):
        self.server = qmtest.HeadlessProgram(qmtest.PROGRAM, self.dir, self.port)
        self.addCleanup(self.server.close)

    def mbx(self):
        return pathlib.Path(self.dir, "inbox.mbx").read_bytes()

    def talk(self, conn, sent, expected, pause=0):
        """Sends `sent` (a list: pieces with a pause between) and expects exactly `expected`."""
        for i, piece in enumerate(sent):
            time.sleep(pause * (i > 0))
            conn.sendall(piece)
        data = b""
        while len(data) < len(expected):
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        self.assertEqual(data, expected)

    def raw(self):
        conn = socket.create_connection((HOST, self.port), timeout=10)
        self.addCleanup(conn.close)
        self.talk(conn, [], b"+OK POP3 server ready\r\n")
        return conn

    def test_poplib_gets_visible_messages_with_sizes_digests_and_top(self):
        pop = poplib.POP3(HOST, self.port, timeout=10)
        self.assertEqual(pop.capa(), CAPABILITIES)
        pop.user("taro")
        with self.assertRaises(poplib.error_proto):
            pop.pass_("nope")
        pop.pass_("secret")
        self.assertEqual(pop.capa(), CAPABILITIES)
        self.assertEqual(pop.stat(), (2, sum(len(m) for m in VISIBLE)))
        self.assertEqual(pop.list()[1], [b"1 %d" % len(VISIBLE[0]), b"2 %d" % len(VISIBLE[1])])
        digests = [b"%d " % n + hashlib.md5(m).hexdigest().encode()
                   for n, m in enumerate(VISIBLE, 1)]
        self.assertEqual(pop.uidl()[1], digests)
        self.assertEqual(pop.retr(1)[1], [b"Subject: one", b"Message-ID: <1@x>", b"",
                                          b"first body", b".starts with a dot"])
        self.assertEqual(pop.top(2, 1)[1][:3], [b"Subject: three", b"", b"line a"])
        pop.dele(1)
        self.assertEqual(pop.stat()[0], 1)
        pop.rset()
        self.assertEqual(pop.stat()[0], 2)
        pop.dele(2)
        pop.quit()
        self.assertEqual(self.mbx(), MESSAGES[0] + MESSAGES[1])
        # The digests the program kept follow the rewritten file into the next start.
        self.assertEqual(self.server.terminate()[0], 0)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "inbox.dig")))
        self.start()
        pop = poplib.POP3(HOST, self.port, timeout=10)
        pop.user("taro")
        pop.pass_("secret")
        self.assertEqual(pop.uidl()[1], digests[:1])
        pop.quit()

    @unittest.skipUnless(shutil.which("fetchmail"), "fetchmail is not installed")
    def test_fetchmail_gets_exactly_the_visible_messages(self):
        fetched, dialogue = qmtest.fetchmail(self.dir, self.port, "taro", "secret", auth="any",
                                             verbose=True)  # any: it asks for CAPA first
        self.assertIn("POP3> CAPA\n", dialogue)
        self.assertIn("POP3< IMPLEMENTATION Quillmoor-Mail-Filter\n", dialogue)
        self.assertEqual(fetched, [m[:-3].replace(b"\r\n..", b"\r\n.").replace(b"\r\n", b"\n")
                                   for m in VISIBLE])

    def test_exact_bytes_split_and_joined_segments(self):
        conn = self.raw()
        self.talk(conn, [b"user taro\r", b"\npass secret\r\nstat\r\n"],
                  b"+OK\r\n+OK\r\n+OK 2 %d\r\n" % sum(len(m) for m in VISIBLE), 0.05)
        self.talk(conn, [b"TOP 1 0\r\nLIST 3\r\nDELE 1\r\nQUIT\r\n"],
                  b"+OK\r\nSubject: one\r\nMessage-ID: <1@x>\r\n\r\n\r\n.\r\n"
                  b"-ERR\r\n+OK\r\n+OK\r\n")
        self.assertEqual(conn.recv(10), b"")
        self.assertEqual(self.mbx(), MESSAGES[1] + MESSAGES[2])

    def test_sigterm_during_a_session_ends_cleanly_and_a_second_copy_refuses(self):
        other = subprocess.run([qmtest.PROGRAM, "--headless", "--workdir", self.dir],
                               capture_output=True, timeout=10)
        self.assertEqual(other.returncode, 1)
        self.assertIn("Quillmoor Mail Filterはすでに起動しています。", other.stderr.decode())
        # Nor may a command change the directory while the program works in it.
        busy = qmtest.Workdir.command(qmtest.PROGRAM, self.dir, ["retrieve"], expect=2)
        self.assertIn("another instance is running in " + self.dir, busy.err)
        self.talk(self.raw(), [b"USER taro\r\nPASS secret\r\nDELE 1\r\n"], b"+OK\r\n+OK\r\n+OK\r\n")
        self.assertEqual(self.server.terminate()[0], 0)
        self.assertEqual(self.mbx(), b"".join(MESSAGES))
        log = qmtest.read_log(self.dir)
        for line in ("APL : ------  Quillmoor Mail Filter started. ------", "POP : Server thread "
                     "began.", "APL : ------  Quillmoor Mail Filter will be terminated. ------"):
            self.assertIn("\t%s\r\n" % line, log)

    def test_the_login_time_out_of_the_settings_drops_a_client_silent_before_its_login(self):
        self.server.terminate()
        qmtest.write_settings(self.dir, self.port, ["inbox"], server_keys=("LoginTimeout=1",))
        self.start()
        conn = self.raw()  # a logged-in client's idle time-out (600 s) would outlast this wait
        self.talk(conn, [b"USER taro\r\n"], b"+OK\r\n")
        self.assertEqual(conn.recv(10), b"")
        self.assertTrue(qmtest.wait_for_log(self.dir, "POP : Connection timed out.", timeout=10))


if __name__ == "__main__":
    qmtest.main()
