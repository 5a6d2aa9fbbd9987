#!/usr/bin/env python3
"""`inspect --classify` and the sender lists against a real dnsmasq serving test blocklist zones:
verdicts, reasons, the look-ups in order, the cache.

Usage: classify_cli_test.py PATH_TO_QM_MAILFILTER
"""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402

# A link of a base64 HTML part, behind a character reference in its href.
PAGE = base64.encodebytes(b'<a href="http&#58;//www.bad.example/">x</a>').decode()
# (message, (verdict, reason), the look-ups (zone, key, result) of the zones given, or all).
CASES = [
    ("From: a@clean.example\n\nsee http://www.bad.example/x\n", (1, 3), None,
     [(0, "www.bad.example", 0), (3, "www.bad.example", 0), (0, "bad.example", 1)]),
    ("From: Taro <taro@sender.example>\n\nno links\n", (1, 4), (3,), [(3, "sender.example", 1)]),
    # The loopback relay is never asked.
    ("From: a@clean.example\nReceived: from x ([127.0.0.1])\nReceived: from y ([192.0.2.7])\n\n"
     "body\n", (1, 5), (1, 2), [(1, "7.2.0.192", 1)]),
    # A refusal is an error, not a listing.
    ("From: a@clean.example\n\nhttp://refusing.example/\n", (-1, 0), (0,),
     [(0, "refusing.example", -1), (0, "clean.example", 0)]),
    # A private relay is never asked; a policy answer is no listing.
    ("From: a@clean.example\nReceived: from p ([10.1.2.3])\nReceived: from home ([192.0.2.9])\n\n"
     "body\n", (-1, 0), (1, 2), [(1, "9.2.0.192", 0), (2, "9.2.0.192", 0)]),
    ("From: a@clean.example\nContent-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type:"
     " text/plain\n\nno links here\n--b\nContent-Type: text/html\nContent-Transfer-Encoding: "
     "base64\n\n" + PAGE + "--b--\n", (1, 3), (0,), [(0, "www.bad.example", 0), (0, "bad.example", 1)])]


class ClassifyCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        qmtest.skip_unless_installed("dnsmasq")
        cls.dir = tempfile.mkdtemp(prefix="qm_classify_")
        cls.addClassCleanup(shutil.rmtree, cls.dir, ignore_errors=True)
        cls.dns = qmtest.Dnsmasq(cls.dir, qmtest.ZONES, {
            "bad.example.uri.test": "127.0.0.2", "sender.example.dbl.test": "127.0.0.2",
            "7.2.0.192.relay-a.test": "127.0.0.2", "refusing.example.uri.test": "127.255.255.254",
            "ready.relay-b.test": "127.0.0.9", "9.2.0.192.relay-a.test": "127.0.0.10",
            "3.2.1.10.relay-a.test": "127.0.0.2"})
        cls.addClassCleanup(cls.dns.stop)
        qmtest.write_settings(cls.dir, qmtest.free_port(), dns_port=cls.dns.port,
                              zones=qmtest.ZONES)

    def run_program(self, *args, expect=0):
        done = subprocess.run([qmtest.PROGRAM, "--workdir", self.dir] + list(args),
                              capture_output=True, timeout=60, cwd=self.dir)
        self.assertEqual(done.returncode, expect, done.stderr.decode())
        return done

    def classify(self, *messages):
        paths = [os.path.join(self.dir, "m%d.eml" % i) for i in range(len(messages))]
        for path, text in zip(paths, messages):
            with open(path, "w") as f:
                f.write(text)
        return [json.loads(line) for line in
                self.run_program("inspect", "--classify", *paths).stdout.decode().splitlines()]

    def test_rules_in_order_with_their_reasons(self):
        for (_, reason, zones, lookups), got in zip(CASES, self.classify(*[c[0] for c in CASES])):
            self.assertEqual(((got["verdict"], got["reason"]), [
                (l["zone"], l["key"], l["result"]) for l in got["lookups"]
                if zones is None or l["zone"] in zones]), (reason, lookups))
        self.assertNotIn("3.2.1.10.relay-a.test", self.dns.queries())
        # A cached key is not asked again.
        before = self.dns.queries().count("cached.example.uri.test")
        self.classify(*["From: a@b\n\nhttp://cached.example/\n"] * 2)
        self.assertEqual(self.dns.queries().count("cached.example.uri.test") - before, 1)

    def test_lists_decide_before_any_look_up(self):
        self.run_program("friend", "add", "taro@")
        self.run_program("bad", "add", "spammer@sender.example")
        self.assertEqual([(r["verdict"], r["reason"], r["lookups"]) for r in self.classify(
            "From: taro@sender.example\n\nhttp://www.bad.example/\n",
            "From: spammer@sender.example\n\n")], [(0, 1, []), (2, 2, [])])
        # Adding to one list takes the address out of the other.
        self.run_program("friend", "add", "spammer@sender.example")
        self.assertEqual(self.run_program("bad", "list").stdout, b"")
        self.assertEqual(self.run_program("friend", "list").stdout,
                         b"spammer@sender.example\ntaro@\n")
        with open(os.path.join(self.dir, "friend.txt"), "rb") as f:
            self.assertEqual(f.read(), b"0 spammer@sender.example\0\r\r\n0 taro@\0\r\r\n")
        self.assertIn("空のメールアドレスをフレンドリストに追加することは出来ません。",
                      self.run_program("friend", "add", "", expect=1).stderr.decode())
        self.run_program("friend", "remove", "taro@")
        self.run_program("friend", "remove", "spammer@sender.example")


if __name__ == "__main__":
    qmtest.main()
