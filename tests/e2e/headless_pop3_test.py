#!/usr/bin/env python3
"""`qm_mailfilter --headless` serving poplib and raw sockets, as an ordinary user too; fetching
from Dovecot at a login and at start; SIGTERM with a client in; `demo DIR --headless`."""

import email
import email.utils
import hashlib
import json
import os
import pathlib
import poplib
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import HOST, LOCAL_PASSWORD, LOCAL_USER, REMOTE_USER  # noqa: E402

MESSAGES = [b"Subject: one\r\nMessage-ID: <1@x>\r\n\r\nfirst body\r\n..starts with a dot\r\n.\r\n",
            b"Subject: hidden\r\n\r\nnot for the client\r\n.\r\n",
            b"Subject: three\r\n\r\nline a\r\nline b\r\nline c\r\n.\r\n"]
VISIBLE = [MESSAGES[0], MESSAGES[2]]
CAPABILITIES = {"TOP": [], "USER": [], "RESP-CODES": [], "UIDL": [],
                "IMPLEMENTATION": ["Quillmoor-Mail-Filter"]}


class HeadlessTest(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="qm_headless_"))
        self.port = qmtest.free_port()
        qmtest.write_workdir(self.dir, self.port, [{"name": "inbox", "messages": [
            qmtest.Stored(m, qmtest.flags_of(hidden=i == 1), "") for i, m in enumerate(MESSAGES)],
            "settings": {"localUser": "taro", "localPassword": "secret"}}])
        self.start()

    def start(self):
        self.server = self.enterContext(qmtest.HeadlessProgram(qmtest.PROGRAM, self.dir, self.port))

    def mbx(self):
        return pathlib.Path(self.dir, "inbox.mbx").read_bytes()

    def talk(self, conn, sent, expected, pause=0):
        """Sends `sent` (a list: pieces with a pause between) and expects exactly `expected`."""
        for i, piece in enumerate(sent):
            time.sleep(pause * (i > 0))
            conn.sendall(piece)
        data = b""
        while len(data) < len(expected) and (chunk := conn.recv(65536)):
            data += chunk
        self.assertEqual(data, expected)

    def raw(self):
        conn = socket.create_connection((HOST, self.port), timeout=10)
        self.addCleanup(conn.close)
        self.talk(conn, [], b"+OK POP3 server ready\r\n")
        return conn

    def test_poplib_gets_visible_messages_with_sizes_digests_and_top(self):
        pop = poplib.POP3(HOST, self.port, timeout=10)
        self.assertEqual(pop.capa(), CAPABILITIES)
        pop.user("taro")
        with self.assertRaises(poplib.error_proto):
            pop.pass_("nope")
        pop.pass_("secret")
        self.assertEqual(pop.capa(), CAPABILITIES)
        self.assertEqual(pop.stat(), (2, sum(len(m) for m in VISIBLE)))
        self.assertEqual(pop.list()[1], [b"1 %d" % len(VISIBLE[0]), b"2 %d" % len(VISIBLE[1])])
        digests = [b"%d " % n + hashlib.md5(m).hexdigest().encode()
                   for n, m in enumerate(VISIBLE, 1)]
        self.assertEqual(pop.uidl()[1], digests)
        self.assertEqual(pop.retr(1)[1], [b"Subject: one", b"Message-ID: <1@x>", b"",
                                          b"first body", b".starts with a dot"])
        self.assertEqual(pop.top(2, 1)[1][:3], [b"Subject: three", b"", b"line a"])
        pop.dele(1)
        self.assertEqual(pop.stat()[0], 1)
        pop.rset()
        self.assertEqual(pop.stat()[0], 2)
        pop.dele(2)
        pop.quit()
        self.assertEqual(self.mbx(), MESSAGES[0] + MESSAGES[1])
        # The digests the program kept follow the rewritten file into the next start.
        self.assertEqual(self.server.terminate()[0], 0)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "inbox.dig")))
        self.start()
        pop = poplib.POP3(HOST, self.port, timeout=10)
        pop.user("taro")
        pop.pass_("secret")
        self.assertEqual(pop.uidl()[1], digests[:1])
        pop.quit()

    def test_exact_bytes_split_and_joined_segments(self):
        conn = self.raw()
        self.talk(conn, [b"user taro\r", b"\npass secret\r\nstat\r\n"],
                  b"+OK\r\n+OK\r\n+OK 2 %d\r\n" % sum(len(m) for m in VISIBLE), 0.05)
        self.talk(conn, [b"TOP 1 0\r\nLIST 3\r\nDELE 1\r\nQUIT\r\n"],
                  b"+OK\r\nSubject: one\r\nMessage-ID: <1@x>\r\n\r\n\r\n.\r\n"
                  b"-ERR\r\n+OK\r\n+OK\r\n")
        self.assertEqual(conn.recv(10), b"")
        self.assertEqual(self.mbx(), MESSAGES[1] + MESSAGES[2])

    def test_sigterm_during_a_session_ends_cleanly_and_a_second_copy_refuses(self):
        other = subprocess.run([qmtest.PROGRAM, "--headless", "--workdir", self.dir],
                               capture_output=True, timeout=10)
        self.assertEqual(other.returncode, 1)
        self.assertIn("Quillmoor Mail Filterはすでに起動しています。", other.stderr.decode())
        # Nor may a command change the directory while the program works in it.
        busy = qmtest.Workdir.command(qmtest.PROGRAM, self.dir, ["retrieve"], expect=2)
        self.assertIn("another instance is running in " + self.dir, busy.err)
        self.talk(self.raw(), [b"USER taro\r\nPASS secret\r\nDELE 1\r\n"], b"+OK\r\n+OK\r\n+OK\r\n")
        self.assertEqual(self.server.terminate()[0], 0)
        self.assertEqual(self.mbx(), b"".join(MESSAGES))
        log = qmtest.read_log(self.dir)
        for line in ("APL : ------  Quillmoor Mail Filter started. ------", "POP : Server thread "
                     "began.", "APL : ------  Quillmoor Mail Filter will be terminated. ------"):
            self.assertIn("\t%s\r\n" % line, log)

    def test_the_login_time_out_of_the_settings_drops_a_client_silent_before_its_login(self):
        self.server.terminate()
        qmtest.write_settings(self.dir, self.port, ["inbox"], server_keys=("LoginTimeout=1",))
        self.start()
        conn = self.raw()  # a logged-in client's idle time-out (600 s) would outlast this wait
        self.talk(conn, [b"USER taro\r\n"], b"+OK\r\n")
        self.assertEqual(conn.recv(10), b"")
        self.assertTrue(qmtest.wait_for_log(self.dir, "POP : Connection timed out.", timeout=10))


NOBODY, DEFAULT_PORT, SECRET = 65534, 1110, "s3cret-from-stdin"


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("setpriv"), "needs root and setpriv")
class UnprivilegedUserTest(unittest.TestCase):
    def test_default_settings_serve_a_mail_client_on_loopback(self):
        # As user 65534: a private working directory under ~/.local/share, a password from
        # standard input, loopback port 1110 (skipped when taken), no password in the log.
        with socket.socket() as s:
            if s.connect_ex((HOST, DEFAULT_PORT)) == 0:
                self.skipTest("port %d is taken on this machine" % DEFAULT_PORT)
        home = self.enterContext(tempfile.TemporaryDirectory(prefix="qm_home_"))
        os.chown(home, NOBODY, NOBODY)
        workdir = os.path.join(home, ".local", "share", "qm_mailfilter")
        env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LANG": "C.UTF-8"}
        prefix = ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]
        # The build tree may lie where the user cannot reach.
        program = shutil.copy(qmtest.PROGRAM, os.path.join(home, "qm_mailfilter"))
        for args, stdin in ((["add", "box"], b""), (["set", "box", "localUser=hanako",
                            "--password-stdin", "localPassword"], SECRET.encode() + b"\n"),
                            (["show", "box"], b"")):
            done = subprocess.run(prefix + [program, "mailbox"] + args, input=stdin,
                                  capture_output=True, env=env, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(b"localPassword=(set)", done.stdout)
        server = self.enterContext(qmtest.HeadlessProgram(program, None, DEFAULT_PORT,
                                                          prefix=prefix, env=env))
        # Only loopback listens (as /proc/net/tcp shows it), and the process memory is private.
        with open("/proc/net/tcp") as f:
            rows = [line.split() for line in f.readlines()[1:]]
        self.assertEqual([r[1].split(":")[0] for r in rows
                          if int(r[1].split(":")[1], 16) == DEFAULT_PORT and r[3] == "0A"],
                         ["0100007F"])
        self.assertEqual(os.stat("/proc/%d/environ" % server.process.pid).st_uid, 0)
        client = poplib.POP3(HOST, DEFAULT_PORT, timeout=10)
        client.user("hanako")
        client.pass_(SECRET)
        self.assertEqual(client.stat(), (0, 0))
        client.quit()
        self.assertEqual(server.terminate()[0], 0, server.text())
        modes = {path: os.stat(path).st_mode & 0o777 for folder, _, files in
                 os.walk(os.path.join(home, ".local"))
                 for path in [folder] + [os.path.join(folder, n) for n in files]}
        self.assertIn(os.path.join(workdir, "box.mbx"), modes)
        self.assertEqual({p: m for p, m in modes.items()
                          if m != (0o700 if os.path.isdir(p) else 0o600)}, {})
        self.assertNotIn(SECRET, qmtest.read_log(workdir))


def message(name):
    return ("Subject: %s\r\nMessage-ID: <%s@qmtest>\r\n\r\nbody of %s\r\n.dotted line\r\n"
            % (name, name, name)).encode()


class HeadlessRetrievalTest(unittest.TestCase):
    def setUp(self):
        qmtest.skip_unless_installed("dovecot")
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="qm_ondemand_"))
        os.chmod(self.dir, 0o711)
        self.remote = qmtest.Dovecot(self.dir, qmtest.free_port(), REMOTE_USER,
                                     qmtest.REMOTE_PASSWORD)
        self.addCleanup(self.remote.stop)

    def start(self, startup_retrieve, before=(), **settings):
        """Dovecot holding `before`, a mailbox "inbox" on it that keeps every server copy (what
        stays unstored must be fetched by the next run), the headless program."""
        self.remote.start().deliver([message(name) for name in before])
        self.work = qmtest.Workdir(os.path.join(self.dir, "work"), qmtest.PROGRAM, None,
                                   startup_retrieve=startup_retrieve, zones=("",) * 4)
        self.work.add_mailbox("inbox", self.remote.port, "keep", **settings)
        self.program = self.enterContext(qmtest.HeadlessProgram(qmtest.PROGRAM, self.work.path,
                                                                self.work.local_port))

    def client(self):
        pop = poplib.POP3(HOST, self.work.local_port, timeout=30)
        pop.user(LOCAL_USER)
        pop.pass_(LOCAL_PASSWORD)
        return pop

    def fetched(self):
        pop = self.client()
        texts = [b"\r\n".join(pop.retr(i + 1)[1]) + b"\r\n" for i in range(pop.stat()[0])]
        pop.quit()
        return texts

    def stored(self):
        return sorted(r["subject"] for d in (False, True) for r in self.work.rows("inbox", d))

    def test_each_login_fetches_the_new_mail_first_with_on_demand_only(self):
        for on_demand in (1, 0):
            with self.subTest(on_demand=on_demand):
                if not on_demand:
                    self.doCleanups()
                    self.setUp()
                self.start(0, timerInterval=0, onDemand=on_demand)
                # Delivered after the start: only a login can fetch it.
                got = []
                for names in (["first", "second"], ["third"]):  # a second login fetches again
                    self.remote.deliver([message(name) for name in names])
                    got += names
                    self.assertEqual(self.fetched(), [message(n) for n in got] if on_demand else [])
        self.doCleanups()
        self.setUp()
        self.start(1, ["first", "second"], timerInterval=0, onDemand=0)
        self.assertTrue(qmtest.wait_for_log(self.work.path, "MSV : Close connection to " + HOST,
                                            timeout=30), "no retrieval at start-up")
        self.assertEqual(self.fetched(), [message("first"), message("second")])

    def test_sigterm_with_a_client_logged_in_and_a_retrieval_waiting(self):
        before, later = ["before-1", "before-2"], ["later-1", "later-2", "later-3"]
        self.start(1, before, timerInterval=30)
        self.assertTrue(qmtest.wait_for_log(self.work.path, "MSV : Close connection"),
                        "no retrieval at start-up")
        client = self.client()
        self.assertEqual(client.stat()[0], len(before))
        client.retr(1)
        client.dele(1)
        self.remote.deliver([message(name) for name in later])
        # The timer's retrieval fetches the first new message, then waits for the mailbox.
        fetching = "MSV : Retrieving message from %s ( %s ). ( %d / %d )" % (
            HOST, REMOTE_USER, len(before) + 1, len(before) + len(later))
        self.assertTrue(qmtest.wait_for_log(self.work.path, fetching, timeout=90),
                        self.work.log()[-2000:])
        time.sleep(1.5)
        self.assertEqual(self.work.log().count("MSV : Close connection"), 1)
        client.noop()
        code, seconds = self.program.terminate()
        self.assertEqual(code, 0, self.program.text())
        self.assertLess(seconds, 5.0)
        # The client was logged out, and its deletion is gone with it.
        with self.assertRaises((poplib.error_proto, OSError, EOFError)):
            client.noop()
        client.close()
        stored = self.stored()
        self.assertTrue(set(before) <= set(stored) and len(set(stored)) == len(stored), stored)
        # Whatever was not stored is still on the server and fetched by the next run, once.
        self.work.retrieve("inbox")
        self.assertEqual(self.stored(), sorted(before + later))


# Each listed sender's verdict and reason: 1 friend list (also kenji's, whose link is listed),
# 2 bad list, 3 a link host (zone 0), 4 the sender's domain (zone 3), 5 a relay (zone 1).
EXPECTED = {a: (verdict, reason) for verdict, reason, senders in [
    ("friend", 1, "hanako@mail.example.jp mom@family.example kenji.sato@work.example"),
    ("bad", 2, "deals@shady-outlet.example noreply@lottery-win.example"),
    ("spam", 3, "security@bank-notice.example sales@pharma-direct.example info@card-support.example"
                " advisor@invest-now.example claims@winner-center.example"),
    ("spam", 4, "offers@mailer.spam-sender.example campaign@spam-sender.example"),
    ("spam", 5, "mr.williams@mailbox.example loan@cash-fast.example")] for a in senders.split()}
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
        program = self.enterContext(qmtest.HeadlessProgram(qmtest.PROGRAM, self.dir, port))
        self.assertTrue(qmtest.wait_for_log(self.dir, "no mailbox is set up", timeout=20))
        self.assertEqual(program.terminate()[0], 0)
        for text in (program.text(), qmtest.read_log(self.dir)):
            self.assertIn("qm_mailfilter mailbox add NAME", text)
            self.assertIn("qm_mailfilter demo", text)

    def test_the_bare_program_without_a_display_names_the_headless_mode(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        done = subprocess.run([qmtest.PROGRAM], env=dict(env, QM_WORKDIR=self.dir),
                              capture_output=True, timeout=60)
        self.assertEqual((done.returncode, done.stderr), (1, b"qm_mailfilter: no display; run "
                         b"qm_mailfilter --headless for the filter without a window\n"))


if __name__ == "__main__":
    qmtest.main()
