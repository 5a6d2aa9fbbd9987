#!/usr/bin/env python3
"""Bounded work per message: `retrieve` against a scripted server offering a 200 MB message among
small ones, and a message naming thousands of link hosts while the DNS server stays silent. The
peak memory is printed, not asserted (bench/large_message_bench.py measures it).
"""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402

LIMIT, BIG = 100 << 20, 200_000_000


def small(n):
    return qmtest.Message("small-%d" % n, b"Subject: small %d\n\nhello\n.dotted line\n" % n)


class BoundedWorkTest(unittest.TestCase):
    def start(self, messages, tell_sizes=True):
        scratch = tempfile.TemporaryDirectory(prefix="qm_bounded_")
        self.addCleanup(scratch.cleanup)
        dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # gone silent
        dns.bind((qmtest.HOST, 0))
        self.addCleanup(dns.close)
        self.server = qmtest.ScriptedPop3(messages, tell_sizes)
        self.addCleanup(self.server.stop)
        self.work = qmtest.Workdir(scratch.name, qmtest.PROGRAM, dns.getsockname()[1],
                                   server_timeout=30)
        self.work.set_setting("DnsTimeout", 1)
        self.work.add_mailbox("box", self.server.port, "retrieved")

    def retrieve(self):
        """One run, which must succeed; returns the commands it sent."""
        before = len(self.server.commands)
        process = subprocess.Popen([qmtest.PROGRAM, "--workdir", self.work.path, "retrieve"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        guard = threading.Timer(120, process.kill)  # against a run that never ends
        guard.start()
        try:
            status, peak = qmtest.wait_with_peak_memory(process)
        finally:
            guard.cancel()
        print("%s: peak memory %.0f MiB" % (self.id(), peak), file=sys.stderr)
        self.assertEqual(status, 0, self.work.log()[-2000:])
        return self.server.commands[before:]

    def test_a_message_over_the_limit_is_left_on_the_server(self):
        # Told its size, the big one is never downloaded (also by a new process); else it is
        # read and dropped. Either way the small ones are stored and deleted there.
        for tell_sizes in (True, False):
            with self.subTest(tell_sizes=tell_sizes):
                big = qmtest.Message("big", generated=BIG)
                self.start([small(1), big, small(2)], tell_sizes)
                for run, number in enumerate([2, 1] if tell_sizes else [2]):
                    commands = self.retrieve()
                    self.assertEqual([r["subject"] for r in self.work.rows("box")],
                                     ["small 1", "small 2"])
                    self.assertEqual([m.uid for m in self.server.messages], ["big"])
                    self.assertEqual("RETR %d" % number in commands, not tell_sizes)
                    self.assertTrue("LIST %d" % number in commands or not tell_sizes)
                size = big.size() if tell_sizes else sum(len(piece) for piece in big.wire())
                self.assertEqual(self.work.log().count(
                    "MSV : Message 2 ( big ) on 127.0.0.1 has %d bytes, more than the limit of %d;"
                    " it stays on the server." % (size, LIMIT)), 1)

    def test_thousands_of_link_hosts_against_a_silent_dns_are_cut_to_the_first(self):
        body = b" ".join(b"http://host%d.example/" % i for i in range(5000))
        self.start([qmtest.Message("links", b"From: a@sender.test\nSubject: links\n"
                                   b"Received: from x ([192.0.2.1])\n\n" + body + b"\n")])
        self.retrieve()
        self.assertEqual([(r["subject"], r["verdict"]) for r in self.work.rows("box")],
                         [("links", "other")])
        self.assertIn("RBL : A message names more than 32 link hosts; only the first 32 are "
                      "looked up.", self.work.log())


if __name__ == "__main__":
    qmtest.main()
