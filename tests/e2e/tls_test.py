#!/usr/bin/env python3
"""Retrieval over secure connections: POP3 over TLS from the first byte, and STLS.

Usage: tls_test.py PATH_TO_QM_MAILFILTER [unittest options]

Certificates come from a test CA made with the openssl command. A private Dovecot serves POP3S on
one loopback port and plain POP3 with STLS on another; it logs every login with ", TLS," when it
happened inside TLS. Raw fake servers play the peers Dovecot cannot: one that refuses STLS and
would take any password, one that slips a clear-text answer in behind its STLS answer, and ones
that stop answering or cut the connection in the middle of the handshake. The blocklist look-ups
go to a loopback DNS server that knows no name.
"""

import os
import re
import shutil
import ssl
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HOST, REMOTE_PASSWORD, REMOTE_USER  # noqa: E402

MAILBOX = "secure"
# Seconds a silent server is waited for, in the runs that must give up.
SHORT_TIMEOUT = 2
# A run that takes longer than this hangs.
HANG = 30
FAILED_STATUS = "暗号化接続に失敗しました ( %s )"


def big_message():
    """About 600 KB: many TLS records, lines that straddle them, dotted lines."""
    lines = [b"Subject: large report", b"Message-ID: <large@tls.test>", b""]
    for i in range(9000):
        lines.append(b"%05d " % i + b"abcdefghij" * (i % 11) + (b"." if i % 97 == 0 else b""))
        if i % 500 == 0:
            lines += [b".starts with a dot %d" % i, b"."]
    return b"\n".join(lines) + b"\n"


MESSAGES = [
    b"Subject: first\nMessage-ID: <first@tls.test>\n\nhello\n.dotted line\n",
    b"Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\nMessage-ID: <second@tls.test>\r\n\r\n"
    b"\x1b$B$3$s$K$A$O\x1b(B\r\n..\r\n",
    big_message(),
    b"Subject: last\nMessage-ID: <last@tls.test>\n\n.\n",
]
CERTS = SCRATCH = DNS = None


def setUpModule():
    global CERTS, SCRATCH, DNS
    qmtest.skip_unless_installed("dovecot", "openssl")
    SCRATCH = tempfile.mkdtemp(prefix="qm_tls_test_")
    unittest.addModuleCleanup(shutil.rmtree, SCRATCH, ignore_errors=True)
    # Dovecot's users pass through to their files below it.
    os.chmod(SCRATCH, 0o711)
    CERTS = qmtest.Certificates(os.path.join(SCRATCH, "certs"))
    DNS = qmtest.NxDomainDns()
    unittest.addModuleCleanup(DNS.stop)


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="case_", dir=SCRATCH)
        os.chmod(self.dir, 0o711)
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.works = 0

    def workdir(self, server_timeout=10):
        """A working directory whose look-ups go to DNS; run() fails a run that hangs."""
        self.works += 1
        work = qmtest.Workdir(os.path.join(self.dir, "work%d" % self.works), qmtest.PROGRAM,
                              DNS.port, server_timeout=server_timeout, zones=("",) * 4)
        work.retrieve = lambda expect=0: work.run("retrieve", MAILBOX, expect=expect,
                                                  timeout=HANG)
        return work

    def account(self, work, server, port, **settings):
        work.add_mailbox(MAILBOX, port, server=server, **settings)

    def dovecot(self, cert=None, ssl="required", **kwargs):
        """A started Dovecot serving MESSAGES (stopped at the end of the test)."""
        maildir = os.path.join(self.dir, "Maildir")
        if not os.path.isdir(maildir):
            qmtest.fill_maildir(maildir, MESSAGES)
        server = qmtest.Dovecot(self.dir, qmtest.free_port(), REMOTE_USER, REMOTE_PASSWORD,
                                maildir, settings={"pop3_no_flag_updates": "yes"}, cert=cert,
                                tls_port=qmtest.free_port() if ssl != "no" else None, ssl=ssl,
                                **kwargs)
        self.addCleanup(server.stop)
        return server.start()

    def fake(self, behaviour):
        server = qmtest.FakePop3(behaviour)
        self.addCleanup(server.stop)
        return server

    def stored(self, work):
        return work.read(MAILBOX + ".mbx") + work.read(MAILBOX + "_dustbox.mbx")

    def assertAllStored(self, work):
        self.assertEqual(self.stored(work), b"".join(qmtest.stuffed(m) for m in MESSAGES))
        self.assertEqual(len(work.rows(MAILBOX) + work.rows(MAILBOX, True)), len(MESSAGES))

    def assertNothingStored(self, work):
        self.assertEqual(self.stored(work), b"")
        self.assertEqual(work.rows(MAILBOX) + work.rows(MAILBOX, True), [])

    def assertNoLogin(self, server):
        """Dovecot never saw our user name: no login, and no attempt in clear text."""
        self.assertNotIn("user=<%s>" % REMOTE_USER, server.log())
        self.assertEqual(server.logins(), [])

    def secure_failure(self, work, done, host):
        """The reason in the log line of a failed secure connection to `host`."""
        self.assertIn(FAILED_STATUS % host, done.err)
        lines = re.findall(r"(?m)^[^\t\r\n]*\tMSV : Secure connection to (\S+) failed\. "
                           r"\( (.*) \)\r?$", work.log())
        self.assertEqual([h for h, _ in lines], [host], work.log())
        return lines[0][1]


class SettingsTest(Case):
    def test_security_and_ca_file_are_shown_kept_and_checked(self):
        work = self.workdir()
        work.run("mailbox", "add", MAILBOX)
        shown = work.show(MAILBOX)
        self.assertEqual((shown.get("security"), shown.get("caFile")), ("plain", ""))
        for security in ("tls", "starttls", "plain", "starttls"):
            work.run("mailbox", "set", MAILBOX, "security=" + security, "caFile=" + CERTS.ca.cert)
            shown = work.show(MAILBOX)
            self.assertEqual((shown["security"], shown["caFile"]), (security, CERTS.ca.cert))
        # Bad values are refused and change nothing, also the valid setting given with them.
        for bad in ("ssl", "TLS1.2", "", "starttls "):
            done = work.run("mailbox", "set", MAILBOX, "security=" + bad, "caFile=", expect=1)
            self.assertIn("security", done.err, bad)
            shown = work.show(MAILBOX)
            self.assertEqual((shown["security"], shown["caFile"]), ("starttls", CERTS.ca.cert))
        work.run("mailbox", "set", MAILBOX, "caFile=")
        self.assertEqual(work.show(MAILBOX)["caFile"], "")

    def test_tls_and_the_plain_port_follow_each_other_unless_a_port_is_given(self):
        # (settings given one `set` each, the port then): 110 and 995 move with tls, only.
        cases = [([], "110"), (["security=tls"], "995"),
                 (["security=tls", "security=plain"], "110"),
                 (["security=tls", "security=starttls"], "110"),
                 (["security=tls", "security=plain port=110", "security=starttls"], "110"),
                 (["port=110 security=tls"], "110"),
                 (["security=plain port=2110", "security=tls"], "2110")]
        for sets, port in cases:
            with self.subTest(sets=sets):
                work = self.workdir()
                work.run("mailbox", "add", MAILBOX)
                for line in sets:
                    work.run("mailbox", "set", MAILBOX, *line.split())
                self.assertEqual(work.show(MAILBOX)["port"], port)


class SecureRetrievalTest(Case):
    """Dovecot with `ssl = required` and the certificate of the test CA."""

    def setUp(self):
        super().setUp()
        self.server = self.dovecot(CERTS.good)

    def ports(self):
        return {"tls": self.server.tls_port, "starttls": self.server.port}

    def test_pop3s_and_stls_store_every_message_exactly_as_served(self):
        # Both names are in the certificate: the host name and the address.
        for security, host in (("tls", "localhost"), ("tls", HOST),
                               ("starttls", "localhost"), ("starttls", HOST)):
            with self.subTest(security=security, host=host):
                before = len(self.server.logins())
                work = self.workdir()
                self.account(work, host, self.ports()[security], security=security,
                             caFile=CERTS.ca.cert)
                work.retrieve()
                self.assertAllStored(work)
                self.assertIn("\tMSV : Authorization successful. ( %s on %s )"
                              % (REMOTE_USER, host), work.log())
                self.assertNotIn("Secure connection", work.log())
                logins = self.server.logins()[before:]
                self.assertEqual(len(logins), 1, logins)
                # Dovecot says "secured" for a clear-text login from loopback, "TLS" inside TLS.
                self.assertIn(", TLS, ", logins[0])
                # Server copies kept: the next run finds nothing new and stores nothing twice.
                work.retrieve()
                self.assertAllStored(work)

    def test_an_unknown_ca_is_refused_before_the_login(self):
        # Only the system's trust store, or a CA that did not sign the server's certificate.
        for security in ("tls", "starttls"):
            for ca_file in ("", CERTS.other_ca.cert):
                with self.subTest(security=security, caFile=ca_file):
                    work = self.workdir()
                    self.account(work, "localhost", self.ports()[security], security=security,
                                 caFile=ca_file)
                    done = work.retrieve(expect=1)
                    reason = self.secure_failure(work, done, "localhost")
                    self.assertRegex(reason, r"(?i)certificate|issuer")
                    self.assertNotIn("Authorization successful", work.log())
                    self.assertNothingStored(work)
        self.assertNoLogin(self.server)

    def test_a_ca_file_that_cannot_be_read_is_an_error(self):
        for security in ("tls", "starttls"):
            for ca_file in (os.path.join(self.dir, "missing.pem"), not_a_certificate(self.dir)):
                with self.subTest(security=security, caFile=ca_file):
                    work = self.workdir()
                    work.run("mailbox", "add", MAILBOX)
                    done = work.run("mailbox", "set", MAILBOX, "server=localhost",
                                    "port=%d" % self.ports()[security], "user=" + REMOTE_USER,
                                    "password=" + REMOTE_PASSWORD, "security=" + security,
                                    "caFile=" + ca_file, "serverDeletion=keep", expect=None)
                    if done.returncode == 0:
                        # Accepted as a setting: then the retrieval fails and says which file.
                        done = work.retrieve(expect=1)
                        self.assertIn(ca_file, self.secure_failure(work, done, "localhost"))
                    self.assertNothingStored(work)
        self.assertNoLogin(self.server)

    def test_a_plain_mailbox_still_logs_in_without_tls(self):
        work = self.workdir()
        self.account(work, HOST, self.server.port)
        work.retrieve()
        self.assertAllStored(work)
        logins = self.server.logins()
        self.assertEqual(len(logins), 1, logins)
        self.assertNotIn(", TLS, ", logins[0])


def not_a_certificate(directory):
    """A file that exists but holds no certificate."""
    path = os.path.join(directory, "not-a-certificate.pem")
    with open(path, "wb") as f:
        f.write(MESSAGES[0])
    return path


class WrongNameTest(Case):
    def test_a_certificate_for_another_name_is_refused(self):
        server = self.dovecot(CERTS.wrong)
        for security, port in (("tls", server.tls_port), ("starttls", server.port)):
            for host in ("localhost", HOST):
                with self.subTest(security=security, host=host):
                    work = self.workdir()
                    self.account(work, host, port, security=security, caFile=CERTS.ca.cert)
                    done = work.retrieve(expect=1)
                    reason = self.secure_failure(work, done, host)
                    self.assertRegex(reason, r"(?i)host ?name|mismatch|IP address")
                    self.assertNothingStored(work)
        self.assertNoLogin(server)


class RefusedStlsTest(Case):
    def test_dovecot_without_tls(self):
        server = self.dovecot(ssl="no")
        work = self.workdir()
        self.account(work, HOST, server.port, security="starttls", caFile=CERTS.ca.cert)
        done = work.retrieve(expect=1)
        self.assertIn("\tMSV : %s does not offer STLS.\r\n" % HOST, work.log())
        self.assertIn(FAILED_STATUS % HOST, done.err)
        self.assertNotIn("Authorization successful", work.log())
        self.assertNothingStored(work)
        self.assertNoLogin(server)
        # A POP3S mailbox against the plain port: the greeting is no handshake.
        work = self.workdir()
        self.account(work, HOST, server.port, security="tls", caFile=CERTS.ca.cert)
        done = work.retrieve(expect=1)
        self.secure_failure(work, done, HOST)
        self.assertNoLogin(server)

    def test_a_server_that_refuses_stls_never_sees_the_user_or_the_password(self):
        # Refuses STLS in two ways; would take any user and password in clear text.
        for refusal in (b"-ERR Unknown command: STLS\r\n", b"-ERR [SYS/TEMP] not now\r\n"):
            behaviour = answering({b"CAPA": b"+OK\r\nUSER\r\nUIDL\r\nTOP\r\n.\r\n",
                                   b"STLS": refusal, b"STAT": b"+OK 0 0\r\n"})
            with self.subTest(refusal=refusal):
                fake = self.fake(behaviour)
                work = self.workdir(SHORT_TIMEOUT)
                self.account(work, HOST, fake.port, security="starttls", caFile=CERTS.ca.cert)
                done = work.retrieve(expect=1)
                self.assertIn("\tMSV : %s does not offer STLS.\r\n" % HOST, work.log())
                self.assertIn(FAILED_STATUS % HOST, done.err)
                fake.stop()
                sent = fake.all_received()
                self.assertNotIn(REMOTE_USER.encode(), sent)
                self.assertNotIn(REMOTE_PASSWORD.encode(), sent)
                # Whole command lines only, STLS among them, nothing that logs in.
                self.assertTrue(sent.endswith(b"\r\n"), sent)
                commands = sent[:-2].split(b"\r\n")
                self.assertIn(b"STLS", commands)
                self.assertLessEqual(set(commands), {b"CAPA", b"STLS", b"QUIT"}, sent)

    def test_plain_text_after_the_stls_answer_is_never_taken_for_an_answer_inside_tls(self):
        # A man in the middle appends an answer of his own to "+OK" in the same segment.
        # The client must drop it (or give up), and then wait for each real answer inside TLS.
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(CERTS.good.cert, CERTS.good.key)
        overlaps = []

        def behaviour(conn, fake):
            conn.sendall(b"+OK fake POP3 ready\r\n")
            buffer = bytearray()
            while True:
                line = fake.recv_line(conn, buffer)
                if line is None:
                    return
                if line.upper().startswith(b"CAPA"):
                    conn.sendall(b"+OK\r\nSTLS\r\nUSER\r\n.\r\n")
                elif line.upper().startswith(b"STLS"):
                    conn.sendall(b"+OK begin TLS\r\n+OK injected\r\n")
                    break
                else:
                    conn.sendall(b"-ERR not in clear text\r\n")
            if buffer:
                fake.note("bytes before the handshake: %r" % bytes(buffer))
            secure = context.wrap_socket(conn, server_side=True)
            with fake.lock:
                fake.connections.append(secure)
            buffer = bytearray()
            while True:
                line = fake.recv_line(secure, buffer)
                if line is None:
                    return
                # No PIPELINING offered: nothing may come before this answer.
                early = bytes(buffer) or fake.recv_some(secure, 0.5)
                if early:
                    overlaps.append((line, early))
                    buffer[:] = early
                command = line.split(b" ")[0].rstrip(b"\r\n").upper()
                secure.sendall({b"CAPA": b"+OK\r\nUSER\r\n.\r\n", b"USER": b"+OK\r\n",
                                b"PASS": b"-ERR [AUTH] invalid password\r\n",
                                b"QUIT": b"+OK bye\r\n"}.get(command, b"-ERR\r\n"))
                if command == b"QUIT":
                    return

        fake = self.fake(behaviour)
        work = self.workdir(SHORT_TIMEOUT)
        self.account(work, "localhost", fake.port, security="starttls", caFile=CERTS.ca.cert)
        work.retrieve(expect=1)
        fake.stop()
        self.assertEqual(overlaps, [], "sent before the previous answer (injected answer "
                         "taken): %r; events %r" % (overlaps, fake.events))
        self.assertNotIn("Authorization successful", work.log())


# --- peers that stop in the middle of the handshake ----------------------------------------

def answering(replies):
    """A peer that greets and answers each command line by its verb from `replies` (else +OK)
    until QUIT."""
    def behaviour(conn, fake):
        conn.sendall(b"+OK fake POP3 ready\r\n")
        buffer = bytearray()
        while True:
            line = fake.recv_line(conn, buffer)
            if line is None:
                return
            verb = line.split(b" ")[0].rstrip(b"\r\n").upper()
            conn.sendall(b"+OK bye\r\n" if verb == b"QUIT" else replies.get(verb, b"+OK\r\n"))
            if verb == b"QUIT":
                return
    return behaviour


def tls_record(data):
    return len(data) >= 3 and data[0] == 0x16 and data[1] == 0x03


def greet_and_accept_stls(conn, fake):
    """The clear-text part of STLS; True when the client asked for it (recorded in fake)."""
    conn.sendall(b"+OK fake POP3 ready\r\n")
    buffer = bytearray()
    while True:
        line = fake.recv_line(conn, buffer)
        if line is None:
            return False
        if line.upper().startswith(b"CAPA"):
            conn.sendall(b"+OK\r\nSTLS\r\nUSER\r\n.\r\n")
        elif line == b"STLS\r\n":
            conn.sendall(b"+OK begin TLS\r\n")
            return True
        else:
            fake.note("in clear text: %r" % line)
            conn.sendall(b"-ERR\r\n")


def read_hello(conn, fake):
    data = fake.recv_some(conn, 10)
    fake.note("hello" if data and tls_record(data) else "no hello: %r" % data)
    return data


def silent(conn, fake):
    fake.wait_quietly(conn)


def hello_then_silent(conn, fake):
    read_hello(conn, fake)
    fake.wait_quietly(conn)


def hello_then_garbage(conn, fake):
    read_hello(conn, fake)
    conn.sendall(b"+OK this is no handshake\r\n")
    fake.wait_quietly(conn)


def hello_then_part_of_a_record(conn, fake):
    # A ServerHello record header announcing 512 bytes, and 12 of them.
    read_hello(conn, fake)
    conn.sendall(b"\x16\x03\x03\x02\x00" + b"\x02\x00\x01\xfc\x03\x03" + b"\x00" * 6)
    fake.wait_quietly(conn)


def hello_then_close(conn, fake):
    read_hello(conn, fake)
    conn.close()


def stls_then(after_hello):
    def behaviour(conn, fake):
        if greet_and_accept_stls(conn, fake):
            after_hello(conn, fake)
    behaviour.__name__ = "stls_then_" + after_hello.__name__
    return behaviour


def greeting_then_silent(conn, fake):
    conn.sendall(b"+OK fake POP3 ready\r\n")
    fake.wait_quietly(conn)


class HandshakeTest(Case):
    """Peers that stop answering or cut the connection: every run ends, with status 1."""

    CASES = [
        # (security, behaviour, the peer cut or spoke nonsense: a secure-connection error)
        ("tls", silent, False),
        ("tls", hello_then_silent, False),
        ("tls", hello_then_part_of_a_record, False),
        ("tls", hello_then_garbage, True),
        ("tls", hello_then_close, True),
        ("starttls", greeting_then_silent, False),
        ("starttls", stls_then(hello_then_silent), False),
        ("starttls", stls_then(hello_then_part_of_a_record), False),
        ("starttls", stls_then(hello_then_garbage), True),
        ("starttls", stls_then(hello_then_close), True),
    ]

    def test_a_stalled_or_cut_handshake_ends_the_run(self):
        for security, behaviour, broken in self.CASES:
            name = getattr(behaviour, "__name__", "")
            with self.subTest(security=security, peer=name):
                fake = self.fake(behaviour)
                work = self.workdir(SHORT_TIMEOUT)
                self.account(work, HOST, fake.port, security=security, caFile=CERTS.ca.cert)
                done = work.retrieve(expect=1)
                if broken:
                    self.secure_failure(work, done, HOST)
                self.assertNotIn("Authorization successful", work.log())
                self.assertNothingStored(work)
                fake.stop()
                sent = fake.all_received()
                self.assertNotIn(REMOTE_PASSWORD.encode(), sent)
                if security == "tls":
                    # A TLS record from the very first byte: nothing in clear text before.
                    self.assertTrue(tls_record(sent), sent[:64])
                if security == "starttls" and behaviour is not greeting_then_silent:
                    clear, _, rest = sent.partition(b"STLS\r\n")
                    self.assertIn(clear, (b"", b"CAPA\r\n"), sent[:64])
                    self.assertTrue(tls_record(rest), sent[:64])

    def test_the_client_hello_names_the_server(self):
        # Servers with several names pick their certificate by it; an address is never sent.
        for host, named in (("localhost", True), (HOST, False)):
            with self.subTest(host=host):
                fake = self.fake(hello_then_close)
                work = self.workdir(SHORT_TIMEOUT)
                self.account(work, host, fake.port, security="tls", caFile=CERTS.ca.cert)
                work.retrieve(expect=1)
                fake.stop()
                hello = fake.all_received()
                self.assertTrue(tls_record(hello), hello[:64])
                self.assertEqual(b"\x00\x09localhost" in hello, named)
                self.assertNotIn(HOST.encode(), hello)


if __name__ == "__main__":
    qmtest.main()
