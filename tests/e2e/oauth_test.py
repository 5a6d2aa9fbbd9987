#!/usr/bin/env python3
"""Logging in with an OAuth 2.0 access token (AUTH XOAUTH2) against a real Dovecot, whose oauth2
password database asks an introspection endpoint on loopback (knowing one valid token) about each
token; the program gets its token from a command (`/bin/cat` of a file). Dovecot's debug log names
the mechanism of every login attempt.
"""

import http.server
import json
import os
import re
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tls_test as base  # noqa: E402  (tests/e2e)
from tls_test import HOST, MAILBOX, MESSAGES, REMOTE_USER, SHORT_TIMEOUT, qmtest  # noqa: E402

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

    def log_message(self, *args):
        pass


setUpModule = base.setUpModule


class TokenLoginTest(base.Case):
    def setUp(self):
        super().setUp()
        Introspection.asked = []
        endpoint = http.server.ThreadingHTTPServer((HOST, qmtest.free_port()), Introspection)
        threading.Thread(target=endpoint.serve_forever, daemon=True).start()
        self.addCleanup(endpoint.server_close)
        self.addCleanup(endpoint.shutdown)
        self.server = self.dovecot(base.CERTS.good, oauth_url="http://%s:%d/introspect"
                                   % (HOST, endpoint.server_address[1]))
        self.token_file = os.path.join(self.dir, "token")

    def token_account(self, security, token, **settings):
        """No password anywhere: USER and PASS could not succeed even if they were sent."""
        self.give(token)
        return self.workdir(mailbox=(HOST, self.server.tls_port if security == "tls" else
                                     self.server.port), security=security, password="",
                            auth="xoauth2", tokenCommand="/bin/cat '%s'" % self.token_file,
                            **settings)

    def give(self, token):
        with open(self.token_file, "w") as f:
            f.write(token + "\n")

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
                self.give(VALID_TOKEN)
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
