#!/usr/bin/env python3
"""Classification from the command line against a real DNS server.

Usage: classify_cli_test.py PATH_TO_QM_MAILFILTER

Starts dnsmasq on a free loopback port serving test blocklist zones, points the working
directory's settings at it, and checks `inspect --classify` (verdicts, reasons, the order of the
look-ups, the cache) and the friend and bad list commands.
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


class ClassifyCliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        qmtest.skip_unless_installed("dnsmasq")
        cls.dir = tempfile.mkdtemp(prefix="qm_classify_")
        cls.addClassCleanup(shutil.rmtree, cls.dir, ignore_errors=True)
        # Zone 0 lists a link host, zone 3 a sender domain, zone 1 a relay; one answer is a
        # refusal; everything else does not exist.
        cls.dns = qmtest.Dnsmasq(
            cls.dir, qmtest.ZONES,
            {"bad.example.uri.test": "127.0.0.2",
             "sender.example.dbl.test": "127.0.0.2",
             "7.2.0.192.relay-a.test": "127.0.0.2",
             "refusing.example.uri.test": "127.255.255.254",
             "ready.relay-b.test": "127.0.0.9",
             # A policy answer of the first relay zone, and a listed private address.
             "9.2.0.192.relay-a.test": "127.0.0.10",
             "3.2.1.10.relay-a.test": "127.0.0.2"})
        cls.addClassCleanup(cls.dns.stop)
        qmtest.write_settings(cls.dir, qmtest.free_port(), dns_port=cls.dns.port,
                              zones=qmtest.ZONES)

    def run_program(self, *args):
        return subprocess.run([qmtest.PROGRAM, "--workdir", self.dir] + list(args),
                              capture_output=True, timeout=60, cwd=self.dir)

    def classify(self, *messages):
        paths = [os.path.join(self.dir, "m%d.eml" % i) for i in range(len(messages))]
        for path, text in zip(paths, messages):
            with open(path, "w") as f:
                f.write(text)
        result = self.run_program("inspect", "--classify", *paths)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return [json.loads(line) for line in result.stdout.decode().splitlines()]

    def queries(self):
        return self.dns.queries()

    def test_rules_in_order_with_their_reasons(self):
        # The link of a base64 HTML part, behind a character reference in its href.
        page = base64.encodebytes(b'<a href="http&#58;//www.bad.example/">x</a>').decode()
        link, sender, relay, clean, home, html = self.classify(
            "From: a@clean.example\n\nsee http://www.bad.example/x\n",
            "From: Taro <taro@sender.example>\n\nno links\n",
            "From: a@clean.example\nReceived: from x ([127.0.0.1])\n"
            "Received: from y ([192.0.2.7])\n\nbody\n",
            "From: a@clean.example\n\nhttp://refusing.example/\n",
            "From: a@clean.example\nReceived: from p ([10.1.2.3])\n"
            "Received: from home ([192.0.2.9])\n\nbody\n",
            "From: a@clean.example\nContent-Type: multipart/alternative; boundary=b\n\n--b\n"
            "Content-Type: text/plain\n\nno links here\n--b\nContent-Type: text/html\n"
            "Content-Transfer-Encoding: base64\n\n" + page + "--b--\n")
        self.assertEqual((link["verdict"], link["reason"]), (1, 3))
        self.assertEqual([(l["zone"], l["key"], l["result"]) for l in link["lookups"]],
                         [(0, "www.bad.example", 0), (3, "www.bad.example", 0),
                          (0, "bad.example", 1)])
        self.assertEqual((sender["verdict"], sender["reason"]), (1, 4))
        self.assertEqual((relay["verdict"], relay["reason"]), (1, 5))
        # The loopback relay is never asked.
        self.assertNotIn("1.0.0.127", [l["key"] for l in relay["lookups"]])
        # A refusal is an error, not a listing.
        self.assertEqual((clean["verdict"], clean["reason"]), (-1, 0))
        self.assertIn((0, "refusing.example", -1),
                      [(l["zone"], l["key"], l["result"]) for l in clean["lookups"]])
        # A private relay is never asked; a policy answer is no listing.
        self.assertEqual((home["verdict"], home["reason"]), (-1, 0))
        self.assertEqual([(l["zone"], l["key"], l["result"]) for l in home["lookups"]
                          if l["zone"] in (1, 2)], [(1, "9.2.0.192", 0), (2, "9.2.0.192", 0)])
        self.assertNotIn("3.2.1.10.relay-a.test", self.queries())
        self.assertEqual((html["verdict"], html["reason"]), (1, 3))
        self.assertEqual(html["lookups"][-1], {"zone": 0, "key": "bad.example", "result": 1})

    def test_a_cached_key_is_not_asked_again(self):
        before = self.queries().count("cached.example.uri.test")
        self.classify("From: a@b\n\nhttp://cached.example/\n", "From: a@b\n\nhttp://cached.example/\n")
        self.assertEqual(self.queries().count("cached.example.uri.test") - before, 1)

    def test_lists_decide_before_any_look_up(self):
        self.assertEqual(self.run_program("friend", "add", "taro@").returncode, 0)
        self.assertEqual(self.run_program("bad", "add", "spammer@sender.example").returncode, 0)
        friend, bad = self.classify("From: taro@sender.example\n\nhttp://www.bad.example/\n",
                                    "From: spammer@sender.example\n\n")
        self.assertEqual((friend["verdict"], friend["reason"], friend["lookups"]), (0, 1, []))
        self.assertEqual((bad["verdict"], bad["reason"], bad["lookups"]), (2, 2, []))
        # Adding to one list takes the address out of the other.
        self.assertEqual(self.run_program("friend", "add", "spammer@sender.example").returncode, 0)
        self.assertEqual(self.run_program("bad", "list").stdout, b"")
        self.assertEqual(self.run_program("friend", "list").stdout,
                         b"spammer@sender.example\ntaro@\n")
        with open(os.path.join(self.dir, "friend.txt"), "rb") as f:
            self.assertEqual(f.read(), b"0 spammer@sender.example\0\r\r\n0 taro@\0\r\r\n")
        refused = self.run_program("friend", "add", "")
        self.assertEqual(refused.returncode, 1)
        self.assertIn("空のメールアドレスをフレンドリストに追加することは出来ません。",
                      refused.stderr.decode())
        for cleanup in (["friend", "remove", "taro@"],
                        ["friend", "remove", "spammer@sender.example"]):
            self.assertEqual(self.run_program(*cleanup).returncode, 0)


if __name__ == "__main__":
    qmtest.main()
