#!/usr/bin/env python3
"""Logging in with an OAuth 2.0 access token (AUTH XOAUTH2) against a real Dovecot.

Usage: oauth_test.py PATH_TO_QM_MAILFILTER [unittest options]

Dovecot checks tokens with its `oauth2` password database, which asks an introspection endpoint
about each one; a small HTTP server on a loopback port plays that endpoint and knows one valid
token. The program gets its token from a token command (`/bin/cat` of a file the test writes).
Dovecot's authentication debug log names the mechanism of every login attempt, which tells
XOAUTH2 from USER and PASS (PLAIN) inside TLS. The working directory, certificates and the
TLS-capable Dovecot come from tls_test.py and tls_dovecot.py.
"""

import http.server
import json
import os
import re
import sys
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dovecot  # noqa: E402  (tests/e2e)
import tls_dovecot  # noqa: E402  (tests/e2e)
import tls_test as base  # noqa: E402  (tests/e2e)

VALID_TOKEN = "ya29.valid-token-Xq7"
REVOKED_TOKEN = "ya29.revoked-token-Zr2"


class Introspection:
    """An OAuth 2.0 introspection endpoint (POST token=...) that knows one valid token."""

    def __init__(self, user):
        self.asked = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                form = urllib.parse.parse_qs(self.rfile.read(length).decode())
                token = form.get("token", [""])[0]
                outer.asked.append(token)
                answer = ({"active": True, "username": user} if token == VALID_TOKEN
                          else {"active": False})
                body = json.dumps(answer).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", dovecot.free_port()),
                                                      Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class OAuthDovecot(tls_dovecot.TlsDovecot):
    """TlsDovecot that also takes XOAUTH2, checking tokens at `introspection_url`."""

    def __init__(self, *args, introspection_url, **kwargs):
        super().__init__(*args, **kwargs)
        self.introspection_url = introspection_url

    def config(self):
        lines = super().config().split("\n")
        at = lines.index("auth_mechanisms = plain")
        lines[at:at + 1] = ["auth_mechanisms = plain xoauth2", "auth_debug = yes"]
        conf = os.path.join(self.dir, "oauth2.conf.ext")
        with open(conf, "w") as f:
            f.write("introspection_mode = post\n"
                    "introspection_url = %s\n"
                    "force_introspection = yes\n"
                    "username_attribute = username\n"
                    "active_attribute = active\n"
                    "active_value = true\n" % self.introspection_url)
        os.chmod(conf, 0o644)
        first = lines.index("passdb {")
        lines[first:first] = ["passdb {", "  driver = oauth2", "  mechanisms = xoauth2",
                              "  args = %s" % conf, "}"]
        return "\n".join(lines)

    def mechanisms(self):
        """The SASL mechanism of every login attempt, in order."""
        return re.findall(r"client in: AUTH\t\d+\t(\S+)\t", self.log())


def setUpModule():
    base.setUpModule()


class TokenLoginTest(base.Case):
    def setUp(self):
        super().setUp()
        self.endpoint = Introspection(base.REMOTE_USER)
        self.addCleanup(self.endpoint.stop)
        self.token_file = os.path.join(self.dir, "token")

    def server(self):
        maildir = os.path.join(self.dir, "Maildir")
        if not os.path.isdir(maildir):
            dovecot.fill_maildir(maildir, base.MESSAGES)
        server = OAuthDovecot(
            self.dir, dovecot.free_port(), base.REMOTE_USER, base.REMOTE_PASSWORD, maildir,
            settings={"pop3_no_flag_updates": "yes"}, cert=base.CERTS.good,
            tls_port=dovecot.free_port(), ssl="required",
            introspection_url="http://127.0.0.1:%d/introspect" % self.endpoint.port)
        server.start()
        self.addCleanup(server.stop)
        return server

    def token_account(self, work, server, security):
        port = server.tls_port if security == "tls" else server.port
        # No password anywhere: USER and PASS could not succeed even if they were sent.
        work.add_mailbox(base.HOST, port, security=security, caFile=base.CERTS.ca.cert,
                         password="", auth="xoauth2",
                         tokenCommand="/bin/cat '%s'" % self.token_file)

    def write_token(self, token):
        with open(self.token_file, "w") as f:
            f.write(token + "\n")

    def test_valid_token_logs_in_and_a_revoked_one_is_refused(self):
        server = self.server()
        for security in ("tls", "starttls"):
            with self.subTest(security=security):
                work = self.workdir()
                self.token_account(work, server, security)
                self.write_token(REVOKED_TOKEN)
                done = work.retrieve(expect=1)
                self.assertIn("XOAUTH2で認証できません ( %s )" % base.HOST, done.err)
                refused = re.findall(r"(?m)\tMSV : Token for (\S+) is refused\. \( (.*) \)\r?$",
                                     work.log())
                self.assertEqual([user for user, _ in refused], [base.REMOTE_USER], work.log())
                # The error Dovecot sends as a challenge was answered and is shown.
                self.assertIn('"status":"401"', refused[0][1])
                self.assertNothingStored(work)

                self.write_token(VALID_TOKEN)
                work.retrieve()
                self.assertAllStored(work)
        self.assertEqual(self.endpoint.asked, [REVOKED_TOKEN, VALID_TOKEN] * 2)
        # Four attempts, every one XOAUTH2: USER and PASS never reached the server.
        self.assertEqual(server.mechanisms(), ["XOAUTH2"] * 4, server.log()[-3000:])

    def test_a_hanging_token_command_is_cut_off(self):
        server = self.server()
        work = self.workdir(server_timeout=base.SHORT_TIMEOUT)
        self.token_account(work, server, "tls")
        work.run("mailbox", "set", base.MAILBOX, "tokenCommand=/bin/sleep 60")
        started = time.monotonic()
        done = work.retrieve(expect=1)
        self.assertLess(time.monotonic() - started, base.SHORT_TIMEOUT + 10)
        self.assertIn("トークンを取得できません ( %s )" % base.HOST, done.err)
        self.assertIn("MSV : The token command for %s ( %s ) did not end within %d seconds and "
                      "was stopped." % (base.REMOTE_USER, base.HOST, base.SHORT_TIMEOUT),
                      work.log())
        self.assertEqual(server.mechanisms(), [])


if __name__ == "__main__":
    base.PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
