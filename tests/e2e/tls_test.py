#!/usr/bin/env python3
"""POP3S and STLS against a Dovecot with certificates of a test CA and raw peers that stall or cut
the handshake; AUTH XOAUTH2 with a token checked by an introspection endpoint on loopback."""

import http.server
import json
import os
import pathlib
import re
import shutil
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HOST, REMOTE_PASSWORD, REMOTE_USER  # noqa: E402

MAILBOX, SHORT_TIMEOUT, HANG = "secure", 2, 30
FAILED_STATUS = "暗号化接続に失敗しました ( %s )"
# About 600 KB in the third: many TLS records, lines that straddle them, dotted lines.
MESSAGES = [
    b"Subject: first\nMessage-ID: <first@tls.test>\n\nhello\n.dotted line\n",
    b"Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\nMessage-ID: <second@tls.test>\r\n\r\n"
    b"\x1b$B$3$s$K$A$O\x1b(B\r\n..\r\n",
    b"Subject: large report\nMessage-ID: <large@tls.test>\n\n" + b"".join(
        b"%05d %s%s\n%s" % (i, b"abcdefghij" * (i % 11), b"." * (i % 97 == 0),
                            b".starts with a dot %d\n.\n" % i if i % 500 == 0 else b"")
        for i in range(9000)),
    b"Subject: last\nMessage-ID: <last@tls.test>\n\n.\n"]
CERTS = SCRATCH = DNS = None


def setUpModule():
    global CERTS, SCRATCH, DNS
    qmtest.skip_unless_installed("dovecot", "openssl", "dnsmasq")
    SCRATCH = tempfile.mkdtemp(prefix="qm_tls_test_")
    unittest.addModuleCleanup(shutil.rmtree, SCRATCH, ignore_errors=True)
    os.chmod(SCRATCH, 0o711)  # Dovecot's users pass through to their files
    CERTS = qmtest.Certificates(os.path.join(SCRATCH, "certs"))
    DNS = qmtest.Dnsmasq(SCRATCH, qmtest.ZONES, {})  # no zone is asked: nothing leaves loopback
    unittest.addModuleCleanup(DNS.stop)


class Case(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(
            prefix="case_", dir=SCRATCH, ignore_cleanup_errors=True))
        os.chmod(self.dir, 0o711)

    def workdir(self, server_timeout=10, mailbox=None, **settings):
        """A working directory, with the mailbox on (host, port) when given."""
        work = qmtest.Workdir(tempfile.mkdtemp(dir=self.dir), qmtest.PROGRAM, DNS.port,
                              server_timeout=server_timeout, zones=("",) * 4)
        work.retrieve = lambda expect=0: work.run("retrieve", MAILBOX, expect=expect, timeout=HANG)
        if mailbox:
            work.add_mailbox(MAILBOX, mailbox[1], server=mailbox[0],
                             **dict({"caFile": CERTS.ca.cert}, **settings))
        return work

    def dovecot(self, cert=None, ssl="required", **kwargs):
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
        self.addCleanup((server := qmtest.FakePop3(behaviour)).stop)
        return server

    def assertStored(self, work, messages):
        self.assertEqual(work.read(MAILBOX + ".mbx") + work.read(MAILBOX + "_dustbox.mbx"),
                         b"".join(qmtest.stuffed(m) for m in messages))
        self.assertEqual(len(work.rows(MAILBOX) + work.rows(MAILBOX, True)), len(messages))

    def assertRefused(self, work, host, reason=None, server=None):
        """A failed run, nothing stored, no login; with `reason`, said so for `host`."""
        done = work.retrieve(expect=1)
        self.assertStored(work, [])
        self.assertNotIn("Authorization successful", work.log())
        if server is not None:  # neither a login nor an attempt
            self.assertNotIn("user=<%s>" % REMOTE_USER, server.log())
        if reason is not None:
            self.assertIn(FAILED_STATUS % host, done.err)
            lines = re.findall(r"(?m)^[^\t\r\n]*\tMSV : Secure connection to (\S+) failed\. "
                               r"\( (.*) \)\r?$", work.log())
            self.assertEqual([h for h, _ in lines], [host], work.log())
            self.assertRegex(lines[0][1], reason)
        return done.err


class SettingsTest(Case):
    def test_security_ca_file_and_the_port_that_follows_tls_unless_given(self):
        # Bad values are refused and change nothing, also the valid setting given with them.
        work = self.workdir()
        work.run("mailbox", "add", MAILBOX)
        work.run("mailbox", "set", MAILBOX, "security=starttls", "caFile=" + CERTS.ca.cert)
        for bad in ("ssl", "TLS1.2", "", "starttls "):
            self.assertIn("security", work.run("mailbox", "set", MAILBOX, "security=" + bad,
                                               "caFile=", expect=1).err, bad)
        self.assertEqual([work.show(MAILBOX)[k] for k in ("security", "caFile")],
                         ["starttls", CERTS.ca.cert])
        for sets, port in [("", "110"), ("security=tls", "995"), ("port=110 security=tls", "110"),
                           ("security=tls;security=plain", "110"), ("security=tls;security="
                            "starttls", "110"), ("security=plain port=2110;security=tls", "2110"),
                           ("security=tls;security=plain port=110;security=starttls", "110")]:
            work.run("mailbox", "remove", MAILBOX)
            work.run("mailbox", "add", MAILBOX)
            for line in filter(None, sets.split(";")):
                work.run("mailbox", "set", MAILBOX, *line.split())
            self.assertEqual(work.show(MAILBOX)["port"], port, sets)


class DovecotTest(Case):
    def test_pop3s_and_stls_store_every_message_exactly_as_served(self):
        server = self.dovecot(CERTS.good)
        for security, host in (("tls", "localhost"), ("tls", HOST), ("starttls", "localhost"),
                               ("starttls", HOST), ("plain", HOST)):
            with self.subTest(security=security, host=host):
                before = len(server.logins())
                work = self.workdir(mailbox=(host, server.tls_port if security == "tls" else
                                             server.port), security=security)
                work.retrieve()
                self.assertStored(work, MESSAGES)
                self.assertIn("\tMSV : Authorization successful. ( %s on %s )"
                              % (REMOTE_USER, host), work.log())
                self.assertNotIn("Secure connection", work.log())
                logins = server.logins()[before:]
                # "secured" for a clear-text login from loopback, "TLS" inside TLS.
                self.assertEqual([", TLS, " in line for line in logins], [security != "plain"])
                work.retrieve()  # server copies kept: nothing new, nothing stored twice
                self.assertStored(work, MESSAGES)

    def test_an_unknown_ca_a_bad_ca_file_and_a_wrong_name_are_refused_before_the_login(self):
        good, wrong = self.dovecot(CERTS.good), self.dovecot(CERTS.wrong)
        missing = os.path.join(self.dir, "missing.pem")
        garbage = os.path.join(self.dir, "not-a-certificate.pem")
        pathlib.Path(garbage).write_bytes(MESSAGES[0])
        for server, host, ca_file, reason in [
                (good, "localhost", "", r"(?i)certificate|issuer"),  # the system's trust store
                (good, "localhost", CERTS.other_ca.cert, r"(?i)certificate|issuer"),
                (good, "localhost", missing, re.escape(missing)),
                (good, "localhost", garbage, re.escape(garbage)),
                (wrong, "localhost", CERTS.ca.cert, r"(?i)host ?name|mismatch|IP address"),
                (wrong, HOST, CERTS.ca.cert, r"(?i)host ?name|mismatch|IP address")]:
            for security in ("tls", "starttls"):
                with self.subTest(security=security, host=host, caFile=ca_file):
                    port = server.tls_port if security == "tls" else server.port
                    work = self.workdir()
                    work.run("mailbox", "add", MAILBOX)
                    # A CA file that cannot be read may be refused as a setting already.
                    if work.run("mailbox", "set", MAILBOX, "server=" + host, "port=%d" % port,
                                "user=" + REMOTE_USER, "password=" + REMOTE_PASSWORD,
                                "security=" + security, "caFile=" + ca_file,
                                "serverDeletion=keep", expect=None).returncode == 0:
                        self.assertRefused(work, host, reason)
                    else:
                        self.assertIn(ca_file, (missing, garbage))
        for server in (good, wrong):
            self.assertNotIn("user=<%s>" % REMOTE_USER, server.log())

    def test_dovecot_without_tls_is_refused(self):
        server = self.dovecot(ssl="no")
        work = self.workdir(mailbox=(HOST, server.port), security="starttls")
        self.assertIn(FAILED_STATUS % HOST, self.assertRefused(work, HOST, server=server))
        self.assertIn("\tMSV : %s does not offer STLS.\r\n" % HOST, work.log())
        # A POP3S mailbox against the plain port: the greeting is no handshake.
        self.assertRefused(self.workdir(mailbox=(HOST, server.port), security="tls"), HOST, ".",
                           server)


def stls_then(after):
    """Greets, offers STLS, answers +OK to every command; after STLS hands over to `after`."""
    def behaviour(conn, fake):
        conn.sendall(b"+OK ready\r\n")
        buffer = bytearray()
        while (line := fake.recv_line(conn, buffer)) is not None:
            verb = line.split(b" ")[0].rstrip(b"\r\n").upper()
            conn.sendall(b"+OK\r\nSTLS\r\nUSER\r\n.\r\n" if verb == b"CAPA" else b"+OK\r\n")
            if verb == b"STLS":
                return after(conn, fake)
    return behaviour


def is_tls(data):
    return data is not None and len(data) >= 3 and data[0] == 0x16 and data[1] == 0x03


def after_hello(then):
    """Reads the client's hello, then `then`: None (silence), b"" (closes), or bytes."""
    def behaviour(conn, fake):
        fake.recv_some(conn, 10)
        if then == b"":
            return conn.close()
        conn.sendall(then or b"")
        fake.wait_quietly(conn)
    return behaviour


class FakePeerTest(Case):
    def test_a_stalled_or_cut_handshake_ends_the_run(self):
        # A partial record: a ServerHello header announcing 512 bytes, and 12 of them.
        partial = b"\x16\x03\x03\x02\x00" + b"\x02\x00\x01\xfc\x03\x03" + b"\x00" * 6
        for security in ("tls", "starttls"):
            for then, broken in ((None, False), (partial, False), (b"+OK no handshake\r\n", True),
                                 (b"", True), ("silent", False)):
                with self.subTest(security=security, then=then):
                    greeting = b"+OK ready\r\n" if security == "starttls" else b""
                    behaviour = (lambda c, f: (c.sendall(greeting), f.wait_quietly(c))) \
                        if then == "silent" else after_hello(then)  # silent from the start
                    fake = self.fake(stls_then(behaviour) if greeting and then != "silent" else
                                     behaviour)
                    work = self.workdir(SHORT_TIMEOUT, (HOST, fake.port), security=security)
                    self.assertRefused(work, HOST, "." if broken else None)
                    fake.stop()
                    sent = fake.all_received()
                    self.assertNotIn(REMOTE_PASSWORD.encode(), sent)
                    # TLS from the very first byte, or right after a clear-text CAPA and STLS.
                    clear, _, rest = sent.partition(b"STLS\r\n")
                    if security == "tls" or then != "silent":
                        self.assertTrue(is_tls(sent) if security == "tls" else
                                        clear in (b"", b"CAPA\r\n") and is_tls(rest), sent[:64])

    def test_the_client_hello_names_the_server_but_never_an_address(self):
        for host, named in (("localhost", True), (HOST, False)):
            with self.subTest(host=host):
                fake = self.fake(after_hello(b""))
                self.workdir(SHORT_TIMEOUT, (host, fake.port), security="tls").retrieve(expect=1)
                fake.stop()
                hello = fake.all_received()
                self.assertTrue(is_tls(hello), hello[:64])
                self.assertEqual(b"\x00\x09localhost" in hello, named)
                self.assertNotIn(HOST.encode(), hello)


VALID_TOKEN, REVOKED_TOKEN = "ya29.valid-token-Xq7", "ya29.revoked-token-Zr2"


class Introspection(http.server.BaseHTTPRequestHandler):
    asked = []

    def do_POST(self):
        form = urllib.parse.parse_qs(self.rfile.read(int(self.headers["Content-Length"])).decode())
        self.asked.append(form.get("token", [""])[0])
        body = json.dumps({"active": True, "username": REMOTE_USER}
                          if self.asked[-1] == VALID_TOKEN else {"active": False}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    log_message = lambda self, *args: None  # noqa: E731  (quiet)


class TokenLoginTest(Case):
    def setUp(self):
        super().setUp()
        Introspection.asked = []
        endpoint = http.server.ThreadingHTTPServer((HOST, qmtest.free_port()), Introspection)
        threading.Thread(target=endpoint.serve_forever, daemon=True).start()
        self.addCleanup(lambda: (endpoint.shutdown(), endpoint.server_close()))
        self.server = self.dovecot(CERTS.good, oauth_url="http://%s:%d/introspect"
                                   % (HOST, endpoint.server_address[1]))
        self.token = pathlib.Path(self.dir, "token")

    def token_account(self, security, token):
        """No password anywhere: USER and PASS could not succeed even if they were sent."""
        self.token.write_text(token + "\n")
        return self.workdir(mailbox=(HOST, self.server.tls_port if security == "tls" else
                                     self.server.port), security=security, password="",
                            auth="xoauth2", tokenCommand="/bin/cat '%s'" % self.token)

    def test_valid_token_logs_in_and_a_revoked_one_is_refused(self):
        for security in ("tls", "starttls"):
            with self.subTest(security=security):
                work = self.token_account(security, REVOKED_TOKEN)
                self.assertIn("XOAUTH2で認証できません ( %s )" % HOST, self.assertRefused(work, HOST))
                refused = re.findall(r"(?m)\tMSV : Token for (\S+) is refused\. \( (.*) \)\r?$",
                                     work.log())
                self.assertEqual([user for user, _ in refused], [REMOTE_USER], work.log())
                # The error Dovecot sends as a challenge was answered and is shown.
                self.assertIn('"status":"401"', refused[0][1])
                self.token.write_text(VALID_TOKEN + "\n")
                work.retrieve()
                self.assertStored(work, MESSAGES)
        self.assertEqual(Introspection.asked, [REVOKED_TOKEN, VALID_TOKEN] * 2)
        self.assertEqual(self.server.mechanisms(), ["XOAUTH2"] * 4, self.server.log()[-3000:])

    def test_a_hanging_token_command_is_cut_off(self):
        work = self.token_account("tls", VALID_TOKEN)
        work.set_setting("ServerTimeout", SHORT_TIMEOUT)
        work.run("mailbox", "set", MAILBOX, "tokenCommand=/bin/sleep 60")
        started = time.monotonic()
        self.assertIn("トークンを取得できません ( %s )" % HOST, work.retrieve(expect=1).err)
        self.assertLess(time.monotonic() - started, SHORT_TIMEOUT + 10)
        self.assertIn("MSV : The token command for %s ( %s ) did not end within %d seconds and "
                      "was stopped." % (REMOTE_USER, HOST, SHORT_TIMEOUT), work.log())
        self.assertEqual(self.server.mechanisms(), [])


if __name__ == "__main__":
    qmtest.main()
