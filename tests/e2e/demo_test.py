#!/usr/bin/env python3
"""`qm_mailfilter demo DIR --headless`: its POP3 server feeds its "demo" mailbox, classified with
the demo's lists and its dnsmasq, then fetched by poplib; without a mailbox, how to begin."""

import email
import email.utils
import json
import os
import poplib
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402

# Each listed sender's verdict and reason: 1 friend list (also kenji's, whose link is listed),
# 2 bad list, 3 a link host (zone 0), 4 the sender's domain (zone 3), 5 a relay (zone 1).
EXPECTED = dict(
    [(a, ("friend", 1)) for a in ("hanako@mail.example.jp", "mom@family.example",
                                  "kenji.sato@work.example")] +
    [(a, ("bad", 2)) for a in ("deals@shady-outlet.example", "noreply@lottery-win.example")] +
    [(a, ("spam", 3)) for a in ("security@bank-notice.example", "sales@pharma-direct.example",
                                "info@card-support.example", "advisor@invest-now.example",
                                "claims@winner-center.example")] +
    [(a, ("spam", 4)) for a in ("offers@mailer.spam-sender.example",
                                "campaign@spam-sender.example")] +
    [(a, ("spam", 5)) for a in ("mr.williams@mailbox.example", "loan@cash-fast.example")])
SAMPLES = 26


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="qm_demo_"))

    @unittest.skipUnless(shutil.which("dnsmasq") or os.path.exists("/usr/sbin/dnsmasq"),
                         "dnsmasq is not installed")
    def test_demo_fetches_classifies_and_serves_its_samples(self):
        workdir = os.path.join(self.dir, "demo")
        output = self.enterContext(tempfile.TemporaryFile())
        demo = subprocess.Popen([qmtest.PROGRAM, "demo", workdir, "--headless"],
                                stdin=subprocess.DEVNULL, stdout=output, stderr=output)
        self.addCleanup(lambda: demo.poll() is None and (demo.kill(), demo.wait()))
        deadline, report = time.monotonic() + 60, None  # reported once the first retrieval ended
        while not report and demo.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
            output.seek(0)
            intro = output.read().decode()
            report = re.search(r"logging in as demo gets the (\d+) messages", intro)
        self.assertTrue(report, intro + qmtest.read_log(workdir))
        client = poplib.POP3(qmtest.HOST, int(re.search(r"port (\d+), user demo, password demo",
                                                        intro).group(1)), timeout=30)
        client.user("demo")
        client.pass_("demo")
        served = [email.utils.parseaddr(email.message_from_bytes(b"\r\n".join(
            client.retr(n)[1]))["From"])[1] for n in range(1, len(client.list()[1]) + 1)]
        client.quit()
        self.assertEqual(int(report.group(1)), len(served))
        demo.send_signal(signal.SIGTERM)
        self.assertEqual(demo.wait(timeout=30), 0)
        # dnsmasq ended with the demo, and never listened on port 53.
        self.assertEqual(subprocess.run(["pgrep", "-f", "--", "--conf-file=" + os.path.join(
            workdir, "dnsmasq.conf")], stdout=subprocess.DEVNULL).returncode, 1)
        self.assertNotEqual(int(re.search(r"dnsmasq on 127\.0\.0\.1:(\d+)", intro).group(1)), 53)
        rows = [(r["senderAddress"], r["verdict"], r["reason"], dustbox)
                for dustbox in (False, True) for r in map(json.loads, qmtest.run(
                    qmtest.PROGRAM, workdir, "mail", "list", "demo", "--json",
                    *["--dustbox"] * dustbox).splitlines())]
        # Every verdict; spam, and only spam, in the dustbox; friends and others served.
        self.assertEqual(rows, [(a,) + EXPECTED.get(a, ("other", 0)) + (v == "spam",)
                                for a, v, _, _ in rows])
        self.assertEqual((len(rows), {v for _, v, _, _ in rows}, sum(d for *_, d in rows)),
                         (SAMPLES, {"friend", "bad", "spam", "other"},
                          [v for v, _ in EXPECTED.values()].count("spam")))
        self.assertEqual(sorted(served),
                         sorted(a for a, v, _, _ in rows if v in ("friend", "other")))
        # The source keeps its samples; the directory is as private as any working directory.
        self.assertIn("demo-source\t%d\t" % SAMPLES,
                      qmtest.run(qmtest.PROGRAM, workdir, "mailbox", "list"))
        self.assertEqual({n: stat.S_IMODE(os.lstat(os.path.join(workdir, n)).st_mode)
                          for n in [""] + os.listdir(workdir)},
                         {n: 0o700 if n == "" else 0o600 for n in [""] + os.listdir(workdir)})

    def test_headless_without_a_mailbox_says_how_to_begin(self):
        port = qmtest.free_port()
        qmtest.write_settings(self.dir, port, [])
        program = qmtest.HeadlessProgram(qmtest.PROGRAM, self.dir, port)
        self.addCleanup(program.close)
        self.assertTrue(qmtest.wait_for_log(self.dir, "no mailbox is set up", timeout=20))
        self.assertEqual(program.terminate()[0], 0)
        for text in (program.text(), qmtest.read_log(self.dir)):
            self.assertIn("qm_mailfilter mailbox add NAME", text)
            self.assertIn("qm_mailfilter demo", text)


if __name__ == "__main__":
    qmtest.main()
