#!/usr/bin/env python3
"""The headless program serving a crafted mailbox to real POP3 clients over loopback.

Usage: headless_pop3_test.py PATH_TO_QM_MAILFILTER

Each test starts `qm_mailfilter --headless` in a temporary working directory on a free loopback
port, talks to it with Python's poplib, fetchmail and raw sockets, and stops it with SIGTERM.
"""

import hashlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import poplib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import qmtest  # noqa: E402  (tests/support)

PROGRAM = None

MESSAGES = [
    b"Subject: one\r\nMessage-ID: <1@x>\r\n\r\nfirst body\r\n..starts with a dot\r\n.\r\n",
    b"Subject: hidden\r\n\r\nnot for the client\r\n.\r\n",
    b"Subject: three\r\n\r\nline a\r\nline b\r\nline c\r\n.\r\n",
]
HIDDEN = 1  # 0-based stored index of the hidden message


def archive_string(data):
    assert len(data) < 255
    return bytes([len(data)]) + data


def mailbox_settings(user, password):
    """The .cfg bytes of a mailbox with the default options and a local account."""
    return (archive_string(user) + archive_string(password) + archive_string(b"") +
            archive_string(b"") + struct.pack("<IIHH", 180, 100, 0x4609, 0x0001) +
            archive_string(b"") + struct.pack("<I", 110) + archive_string(b"") +
            archive_string(b""))


def marks(flags):
    return struct.pack("<I", len(flags)) + b"".join(
        struct.pack("<I", f) + archive_string(b"") for f in flags)


class Headless:
    """A running `qm_mailfilter --headless` in its own working directory."""

    def __init__(self, workdir, port):
        self.workdir = workdir
        self.port = port
        self.process = subprocess.Popen(
            [PROGRAM, "--headless", "--workdir", workdir],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    raise RuntimeError("program ended: " + self.process.stderr.read().decode())
                time.sleep(0.05)
        raise RuntimeError("the local server never listened")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        out, err = self.process.communicate(timeout=20)
        return self.process.returncode, err.decode()

    def log(self):
        path = os.path.join(self.workdir, "qm_mailfilter.log")
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")


CAPABILITIES = {"TOP": [], "USER": [], "RESP-CODES": [], "UIDL": [],
                "IMPLEMENTATION": ["Quillmoor-Mail-Filter"]}


class HeadlessCase(unittest.TestCase):
    # Further lines of the [Mailbox] section.
    SETTINGS = b""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qm_headless_")
        self.port = qmtest.free_port()
        with open(os.path.join(self.dir, "qm_mailfilter.ini"), "wb") as f:
            f.write(b"[Mailbox]\r\nPort=%d\r\nBindAddress=127.0.0.1\r\nMailboxes=inbox:\r\n"
                    % self.port + self.SETTINGS)
        self.write("inbox.mbx", b"".join(MESSAGES))
        self.write("inbox.flg", marks([0x0C, 0x0D, 0x0C]))
        self.write("inbox.cfg", mailbox_settings(b"taro", b"secret"))
        self.server = Headless(self.dir, self.port)

    def tearDown(self):
        self.server.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def raw(self):
        conn = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        self.assertEqual(self.receive(conn, 23), b"+OK POP3 server ready\r\n")
        return conn

    @staticmethod
    def receive(conn, count):
        data = b""
        while len(data) < count:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        return data


class PoplibTest(HeadlessCase):
    def test_visible_messages_with_sizes_digests_and_top(self):
        pop = poplib.POP3("127.0.0.1", self.port, timeout=10)
        self.assertEqual(pop.capa(), CAPABILITIES)
        pop.user("taro")
        pop.pass_("secret")
        self.assertEqual(pop.capa(), CAPABILITIES)
        visible = [m for i, m in enumerate(MESSAGES) if i != HIDDEN]
        self.assertEqual(pop.stat(), (2, sum(len(m) for m in visible)))
        _, listing, _ = pop.list()
        self.assertEqual(listing, [b"1 %d" % len(visible[0]), b"2 %d" % len(visible[1])])
        _, uidls, _ = pop.uidl()
        self.assertEqual(uidls, [b"%d %s" % (i + 1, hashlib.md5(m).hexdigest().encode())
                                 for i, m in enumerate(visible)])
        _, lines, _ = pop.retr(1)
        # poplib removes the line ends and the dot-stuffing.
        self.assertEqual(lines, [b"Subject: one", b"Message-ID: <1@x>", b"", b"first body",
                                 b".starts with a dot"])
        _, top, _ = pop.top(2, 1)
        self.assertEqual(top[:3], [b"Subject: three", b"", b"line a"])
        pop.dele(1)
        self.assertEqual(pop.stat()[0], 1)
        pop.rset()
        self.assertEqual(pop.stat()[0], 2)
        pop.dele(2)
        pop.quit()
        self.assertEqual(self.read("inbox.mbx"), MESSAGES[0] + MESSAGES[1])
        # The digests the program kept (inbox.dig) follow the rewritten file into the next start.
        self.assertEqual(self.server.stop()[0], 0)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "inbox.dig")))
        self.server = Headless(self.dir, self.port)
        pop = poplib.POP3("127.0.0.1", self.port, timeout=10)
        pop.user("taro")
        pop.pass_("secret")
        self.assertEqual(pop.uidl()[1], [b"1 %s" % hashlib.md5(MESSAGES[0]).hexdigest().encode()])
        pop.quit()

    def test_wrong_password(self):
        pop = poplib.POP3("127.0.0.1", self.port, timeout=10)
        pop.user("taro")
        with self.assertRaises(poplib.error_proto):
            pop.pass_("nope")
        pop.pass_("secret")
        pop.quit()


class WireTest(HeadlessCase):
    def test_exact_bytes_split_and_joined_segments(self):
        conn = self.raw()
        conn.sendall(b"user taro\r")
        time.sleep(0.05)
        conn.sendall(b"\npass secret\r\nstat\r\n")
        size = len(MESSAGES[0]) + len(MESSAGES[2])
        expected = b"+OK\r\n+OK\r\n+OK 2 %d\r\n" % size
        self.assertEqual(self.receive(conn, len(expected)), expected)
        conn.sendall(b"TOP 1 0\r\nLIST 3\r\nDELE 1\r\nQUIT\r\n")
        expected = (b"+OK\r\nSubject: one\r\nMessage-ID: <1@x>\r\n\r\n\r\n.\r\n"
                    b"-ERR\r\n+OK\r\n+OK\r\n")
        self.assertEqual(self.receive(conn, len(expected)), expected)
        self.assertEqual(conn.recv(10), b"")
        conn.close()
        self.assertEqual(self.read("inbox.mbx"), MESSAGES[1] + MESSAGES[2])

    def test_disconnect_without_quit_keeps_everything_and_a_waiting_login_proceeds(self):
        first = self.raw()
        first.sendall(b"USER taro\r\nPASS secret\r\nDELE 1\r\n")
        self.assertEqual(self.receive(first, 15), b"+OK\r\n+OK\r\n+OK\r\n")
        second = self.raw()
        second.sendall(b"USER taro\r\nPASS secret\r\n")
        self.assertEqual(self.receive(second, 5), b"+OK\r\n")
        second.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            second.recv(10)
        first.close()
        second.settimeout(10)
        self.assertEqual(self.receive(second, 5), b"+OK\r\n")
        second.sendall(b"STAT\r\nQUIT\r\n")
        self.assertTrue(self.receive(second, 10).startswith(b"+OK 2 "))
        second.close()
        self.assertEqual(self.read("inbox.mbx"), b"".join(MESSAGES))

    def test_sigterm_during_a_session_ends_cleanly(self):
        conn = self.raw()
        conn.sendall(b"USER taro\r\nPASS secret\r\nDELE 1\r\n")
        self.receive(conn, 15)
        code, _ = self.server.stop()
        self.assertEqual(code, 0)
        self.assertEqual(self.read("inbox.mbx"), b"".join(MESSAGES))
        log = self.server.log()
        self.assertIn("\tAPL : ------  Quillmoor Mail Filter started. ------\r\n", log)
        self.assertIn("\tAPL : ------  Quillmoor Mail Filter will be terminated. ------\r\n", log)
        self.assertIn("\tPOP : Server thread began.\r\n", log)
        conn.close()

    def test_a_second_copy_in_the_same_directory_refuses(self):
        other = subprocess.run([PROGRAM, "--headless", "--workdir", self.dir],
                               capture_output=True, timeout=10)
        self.assertEqual(other.returncode, 1)
        self.assertIn("Quillmoor Mail Filterはすでに起動しています。", other.stderr.decode())


class LoginTimeoutTest(HeadlessCase):
    SETTINGS = b"LoginTimeout=1\r\n"

    def test_a_client_silent_before_its_login_is_dropped(self):
        conn = self.raw()
        conn.sendall(b"USER taro\r\n")
        self.assertEqual(self.receive(conn, 5), b"+OK\r\n")
        # The idle time-out of a logged-in client (600 s) would outlast this wait.
        self.assertEqual(conn.recv(10), b"")
        conn.close()
        self.assertTrue(qmtest.wait_for_log(self.dir, "POP : Connection timed out.", timeout=10))


@unittest.skipUnless(shutil.which("fetchmail"), "fetchmail is not installed")
class FetchmailTest(HeadlessCase):
    def test_fetchmail_gets_exactly_the_visible_messages(self):
        out = os.path.join(self.dir, "fetched")
        os.mkdir(out)
        mda = os.path.join(self.dir, "mda.py")
        with open(mda, "w") as f:
            f.write("import os, sys\n"
                    "out = sys.argv[1]\n"
                    "n = len(os.listdir(out))\n"
                    "open(os.path.join(out, '%03d' % n), 'wb').write(sys.stdin.buffer.read())\n")
        rc = os.path.join(self.dir, "fetchmailrc")
        with open(rc, "w") as f:
            # Any authentication, so that it asks for the capabilities first.
            f.write('poll 127.0.0.1 with proto POP3 port %d auth any\n'
                    '  user "taro" there with password "secret" is "root" here\n'
                    '  options fetchall keep sslproto ""\n'
                    '  mda "%s %s %s"\n' % (self.port, sys.executable, mda, out))
        os.chmod(rc, 0o600)
        env = dict(os.environ, HOME=self.dir)
        result = subprocess.run(["fetchmail", "-f", rc, "--nosyslog", "--invisible",
                                 "--nodetach", "-v", "-i", os.path.join(self.dir, "ids")],
                                capture_output=True, env=env, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        # Its verbose dialogue: it asked for the capabilities and read the whole list.
        dialogue = result.stdout.decode()
        self.assertIn("POP3> CAPA\n", dialogue)
        self.assertIn("POP3< IMPLEMENTATION Quillmoor-Mail-Filter\n", dialogue)
        fetched = []
        for name in sorted(os.listdir(out)):
            with open(os.path.join(out, name), "rb") as f:
                fetched.append(f.read())
        expected = []
        for i, stored in enumerate(MESSAGES):
            if i == HIDDEN:
                continue
            lines = stored[:-len(b".\r\n")].split(b"\r\n")[:-1]
            expected.append(b"".join((l[1:] if l.startswith(b".") else l) + b"\n" for l in lines))
        self.assertEqual(fetched, expected)


if __name__ == "__main__":
    PROGRAM = sys.argv.pop(1)
    unittest.main()
