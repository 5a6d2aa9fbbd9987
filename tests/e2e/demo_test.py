#!/usr/bin/env python3
"""The demo: `qm_mailfilter demo DIR` headless, then a real POP3 client and the mail list.

Usage: demo_test.py PATH_TO_QM_MAILFILTER

The demo serves its sample mail from the program's own POP3 server to its "demo" mailbox, whose
first retrieval classifies it with the demo's lists and the blocklists its dnsmasq answers.
Python's poplib then fetches the "demo" mailbox as a mail client would. Also: the headless
program without any mailbox says how to set one up.
"""

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

import qmtest  # noqa: E402  (tests/support)


# Each sample's sender and the verdict and reason it must get: 1 friend list, 2 bad list,
# 3 a link host (zone 0), 4 the sender's domain (zone 3), 5 a relay address (zone 1).
EXPECTED = {
    "hanako@mail.example.jp": ("friend", 1),
    "mom@family.example": ("friend", 1),
    # On the friend list by the start of its address, and with a link to a listed host.
    "kenji.sato@work.example": ("friend", 1),
    "deals@shady-outlet.example": ("bad", 2),
    "noreply@lottery-win.example": ("bad", 2),
    "security@bank-notice.example": ("spam", 3),
    "sales@pharma-direct.example": ("spam", 3),
    "info@card-support.example": ("spam", 3),
    "advisor@invest-now.example": ("spam", 3),
    "claims@winner-center.example": ("spam", 3),
    "offers@mailer.spam-sender.example": ("spam", 4),
    "campaign@spam-sender.example": ("spam", 4),
    "mr.williams@mailbox.example": ("spam", 5),
    "loan@cash-fast.example": ("spam", 5),
}
SAMPLES = 26
PASSED = {"friend", "other"}


def verdict_of(address):
    return EXPECTED.get(address, ("other", 0))


class DemoTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qm_demo_")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    @unittest.skipUnless(shutil.which("dnsmasq") or os.path.exists("/usr/sbin/dnsmasq"),
                         "dnsmasq is not installed")
    def test_demo_fetches_classifies_and_serves_its_samples(self):
        workdir = os.path.join(self.dir, "demo")
        output = tempfile.TemporaryFile()
        self.addCleanup(output.close)
        demo = subprocess.Popen([qmtest.PROGRAM, "demo", workdir, "--headless"],
                                stdin=subprocess.DEVNULL, stdout=output, stderr=output)
        self.addCleanup(lambda: demo.poll() is None and (demo.kill(), demo.wait()))
        # The demo reports once its first retrieval has ended.
        deadline = time.monotonic() + 60
        while True:
            output.seek(0)
            intro = output.read().decode()
            report = re.search(r"logging in as demo gets the (\d+) messages", intro)
            if report or demo.poll() is not None or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        self.assertTrue(report, intro + qmtest.read_log(workdir))
        port = int(re.search(r"port (\d+), user demo, password demo", intro).group(1))
        dns_port = int(re.search(r"dnsmasq on 127\.0\.0\.1:(\d+)", intro).group(1))

        client = poplib.POP3(qmtest.HOST, port, timeout=30)
        client.user("demo")
        client.pass_("demo")
        served = []
        for number in range(1, len(client.list()[1]) + 1):
            message = email.message_from_bytes(b"\r\n".join(client.retr(number)[1]))
            served.append(email.utils.parseaddr(message["From"])[1])
        client.quit()
        self.assertEqual(int(report.group(1)), len(served))

        demo.send_signal(signal.SIGTERM)
        self.assertEqual(demo.wait(timeout=30), 0)
        # dnsmasq ended with the demo.
        self.assertEqual(self._dnsmasq_running(workdir), [])

        def rows(*args):
            return [json.loads(line) for line in qmtest.run(
                qmtest.PROGRAM, workdir, "mail", "list", "demo", "--json", *args).splitlines()]
        dustbox = rows("--dustbox")
        rows = rows() + dustbox
        self.assertEqual(len(rows), SAMPLES)
        self.assertEqual({(r["senderAddress"], r["verdict"], r["reason"]) for r in rows},
                         {(r["senderAddress"],) + verdict_of(r["senderAddress"]) for r in rows})
        self.assertEqual(sorted(served), sorted(r["senderAddress"] for r in rows
                                                if verdict_of(r["senderAddress"])[0] in PASSED))
        # Every verdict is there to see, spam in the dustbox.
        self.assertEqual({r["verdict"] for r in rows}, {"friend", "bad", "spam", "other"})
        self.assertEqual(len(dustbox), sum(1 for v, _ in EXPECTED.values() if v == "spam"))
        # The source keeps its samples; the directory is as private as any working directory.
        self.assertIn("demo-source\t%d\t" % SAMPLES,
                      qmtest.run(qmtest.PROGRAM, workdir, "mailbox", "list"))
        for name in [""] + os.listdir(workdir):
            mode = stat.S_IMODE(os.lstat(os.path.join(workdir, name)).st_mode)
            self.assertEqual(mode, 0o700 if name == "" else 0o600, name)
        self.assertNotEqual(dns_port, 53)

    @staticmethod
    def _dnsmasq_running(workdir):
        """The processes whose command line names the demo's dnsmasq configuration."""
        conf = ("--conf-file=" + os.path.join(workdir, "dnsmasq.conf")).encode()
        found = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if conf in f.read().split(b"\0"):
                        found.append(pid)
            except OSError:
                pass
        return found

    def test_headless_without_a_mailbox_says_how_to_begin(self):
        port = qmtest.free_port()
        qmtest.write_settings(self.dir, port, [])
        program = qmtest.HeadlessProgram(qmtest.PROGRAM, self.dir, port)
        try:
            self.assertTrue(qmtest.wait_for_log(self.dir, "no mailbox is set up", timeout=20))
            code, _ = program.terminate()
            self.assertEqual(code, 0)
            for text in (program.text(), qmtest.read_log(self.dir)):
                self.assertIn("qm_mailfilter mailbox add NAME", text)
                self.assertIn("qm_mailfilter demo", text)
        finally:
            program.close()


if __name__ == "__main__":
    qmtest.main()
