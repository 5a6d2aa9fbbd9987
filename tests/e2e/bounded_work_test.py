#!/usr/bin/env python3
"""Bounded work per message: `qm_mailfilter retrieve` against a scripted remote server that offers
a message of 200 MB among small ones, and a message that names thousands of link hosts while the
DNS server stays silent.

Usage: bounded_work_test.py PATH_TO_QM_MAILFILTER [unittest options]

The remote server (tests/support/qmtest.py) makes the large message on the fly and records
every command it receives. The peak memory of each retrieving process is printed, not asserted:
bench/large_message_bench.py measures it.
"""

import json
import os
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import qmtest  # noqa: E402  (tests/support)

PROGRAM = None  # set from argv[1]
LIMIT = 100 << 20
BIG = 200_000_000


def small(n):
    """Nothing in it to ask the (silent) DNS server about."""
    return qmtest.Message("small-%d" % n, b"Subject: small %d\n\nhello\n.dotted line\n" % n)


class BoundedWorkTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(prefix="qm_bounded_")
        self.workdir = self.scratch.name
        self.server = None
        self.dns, dns_port = qmtest.silent_dns_port()
        self.addCleanup(self.dns.close)
        self.addCleanup(self.scratch.cleanup)
        with open(os.path.join(self.workdir, "qm_mailfilter.ini"), "wb") as f:
            f.write(b"[Misc]\r\nServerTimeout=30\r\n"
                    b"[RBL]\r\nDnsServers=127.0.0.1:%d\r\nDnsTimeout=1\r\n"
                    b"Zone0=.uri.test\r\nZone1=.relay-a.test\r\nZone2=.relay-b.test\r\n"
                    b"Zone3=.dbl.test\r\n" % dns_port)

    def start(self, messages, tell_sizes=True):
        self.server = qmtest.ScriptedPop3(messages, tell_sizes)
        self.addCleanup(self.server.stop)
        self.run_program("mailbox", "add", "box")
        self.run_program("mailbox", "set", "box", "server=127.0.0.1", "port=%d" % self.server.port,
                         "user=taro", "password=secret", "localUser=hanako",
                         "localPassword=local", "serverDeletion=retrieved")

    def run_program(self, *args):
        done = subprocess.run([PROGRAM, "--workdir", self.workdir] + list(args),
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr.decode("utf-8", "replace"))
        return done.stdout.decode("utf-8", "replace")

    def retrieve(self):
        """One run; exit status 0, the peak memory printed. Returns the commands it sent."""
        before = len(self.server.commands)
        process = subprocess.Popen([PROGRAM, "--workdir", self.workdir, "retrieve"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        # A guard against a run that never ends, not a measurement.
        guard = threading.Timer(120, process.kill)
        guard.start()
        try:
            status, peak = qmtest.wait_with_peak_memory(process)
        finally:
            guard.cancel()
        print("%s: peak memory of the retrieving process %.0f MiB" % (self.id(), peak),
              file=sys.stderr)
        self.assertEqual(status, 0, self.log()[-2000:])
        return self.server.commands[before:]

    def rows(self):
        return [json.loads(line) for line in self.run_program("mail", "list", "box", "--json")
                .splitlines()]

    def log(self):
        with open(os.path.join(self.workdir, "qm_mailfilter.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def check_left_on_server(self, size):
        """After a run over small 1, big, small 2 (deleted when retrieved): the small ones
        stored and deleted on the server, the big one left there with one log line. Returns the
        commands of that run."""
        commands = self.retrieve()
        self.assertEqual([row["subject"] for row in self.rows()], ["small 1", "small 2"])
        self.assertEqual([m.uid for m in self.server.messages], ["big"])
        line = ("MSV : Message 2 ( big ) on 127.0.0.1 has %d bytes, more than the limit of %d; "
                "it stays on the server." % (size, LIMIT))
        self.assertEqual(self.log().count(line), 1)
        return commands

    def test_a_message_over_the_limit_is_never_downloaded(self):
        big = qmtest.Message("big", generated=BIG)
        self.start([small(1), big, small(2)])
        commands = self.check_left_on_server(big.size())
        self.assertIn("LIST 2", commands)
        self.assertNotIn("RETR 2", commands)
        # A new process asks for its size again and leaves it.
        again = self.retrieve()
        self.assertIn("LIST 1", again)
        self.assertNotIn("RETR 1", again)
        self.assertEqual(len(self.rows()), 2)
        self.assertEqual([m.uid for m in self.server.messages], ["big"])

    def test_a_server_that_does_not_tell_sizes_has_it_read_and_dropped(self):
        big = qmtest.Message("big", generated=BIG)
        self.start([small(1), big, small(2)], tell_sizes=False)
        wire = sum(len(piece) for piece in big.wire())
        self.assertIn("RETR 2", self.check_left_on_server(wire))

    def test_thousands_of_link_hosts_against_a_silent_dns_are_cut_to_the_first(self):
        body = b" ".join(b"http://host%d.example/" % i for i in range(5000))
        self.start([qmtest.Message("links", b"From: a@sender.test\nSubject: links\n"
                                   b"Received: from x ([192.0.2.1])\n\n" + body + b"\n")])
        self.retrieve()
        self.assertEqual([(row["subject"], row["verdict"]) for row in self.rows()],
                         [("links", "other")])
        # Asked at once, the first hosts' look-ups may end inside the budget or run past it;
        # either way only the first hosts are asked and the run ends.
        self.assertIn("RBL : A message names more than 32 link hosts; only the first 32 are "
                      "looked up.", self.log())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: bounded_work_test.py PATH_TO_QM_MAILFILTER [unittest options]")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
