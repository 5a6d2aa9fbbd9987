#!/usr/bin/env python3
"""`inspect --classify` against a real dnsmasq serving a test blocklist zone, and the sender
list commands.
"""

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
        cls.dns = qmtest.Dnsmasq(cls.dir, qmtest.ZONES, {"bad.example.uri.test": "127.0.0.2"})
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

    def test_link_hosts_label_by_label_then_the_cache(self):
        # The rules and their order are the classifier's; here the look-ups go over the wire.
        link = self.classify("From: a@clean.example\n\nsee http://www.bad.example/x\n")[0]
        self.assertEqual(((link["verdict"], link["reason"]), [
            (l["zone"], l["key"], l["result"]) for l in link["lookups"]]), ((1, 3), [
                (0, "www.bad.example", 0), (3, "www.bad.example", 0), (0, "bad.example", 1)]))
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
