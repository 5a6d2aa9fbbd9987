#!/usr/bin/env python3
"""How fast the local POP3 server serves a large mailbox, next to Dovecot on the same mail.

Usage: bench/pop3_serve_bench.py PATH_TO_QM_MAILFILTER [--client PATH] [--messages N]
                                 [--repetitions R] [--seed S] [--sample K] [--quickack]

Generates N messages (default 10,000, about 4 KB each: Received chain, ISO-2022-JP subject and
sender, plain Japanese and ASCII body with lines that start with "."), stores them once as a
mailbox of `qm_mailfilter --headless` and once as a Dovecot maildir (LF line ends, as delivered),
and times one POP3 client against each server on 127.0.0.1: login, STAT, LIST, UIDL twice, RETR
of every message and QUIT. Each repetition starts both servers afresh, so that the first UIDL
is the first of that server process; who goes first alternates from one repetition to the
next; the figures are medians. A first session against each server, not counted, lets Dovecot
build its index of the new maildir and our server digest the mail it did not store itself
(its digest file keeps them for the next start, as Dovecot's index keeps its unique ids); it
retrieves a sample of messages, which must come back from both servers, once unstuffed, byte
for byte as generated.

The timed sessions use bench/pop3_client_bench (C++, built with the project; --client names
another path), so that the client's own cost stays small beside the servers'. It sends one
command and reads until the reply ends (a line, or "\\r\\n.\\r\\n" for multi-line replies)
before it sends the next, as mail clients do: no pipelining. --quickack makes it acknowledge
every segment at once (TCP_QUICKACK); that is not what mail clients do, it only shows how much
of the RETR time the server loses waiting for delayed acknowledgements.

Speed is only reported here, never asserted. Everything lives in one temporary directory that
is removed at the end, and both servers are stopped, also after an error or Ctrl-C.
"""

import argparse
import base64
import json
import os
import platform
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import qmtest  # noqa: E402  (tests/support)
from qmtest import write_cfg, write_flg  # noqa: E402  (the file layouts)

USER = "taro"
PASSWORD = "secret"
HOST = "127.0.0.1"
VISIBLE = 0x0C  # the mark of a message that is served (see headless_pop3_test.py)

# Targets for a 10,000-message mailbox: times, and speeds relative to Dovecot's.
TARGET_MS = {"STAT": 100.0, "LIST": 100.0, "UIDL (again)": 100.0}
TARGET_RETR_MB_S = 200.0
TARGET_SPEEDUP = {"UIDL (first)": 1.0, "RETR all": 2.0}


# --- the mail ------------------------------------------------------------------------------

class MailWriter:
    """Realistic Japanese mail, reproducible from a seed."""

    ESC_JIS = b"\x1b$B"
    ESC_ASCII = b"\x1b(B"
    TOP_LEVEL = ["co.jp", "ne.jp", "or.jp", "jp", "com", "net", "org", "info"]
    MAILERS = ["Postfix", "Postfix", "Exim 4.96", "Sendmail 8.17.1", "Microsoft SMTP Server"]
    ASCII_LINES = [
        "Please find the details below.",
        "--------------------------------------------------",
        "Order number: {n}",
        "Tel: 03-{a}-{b}  Fax: 03-{b}-{a}",
        "> {w} wrote:",
        "URL: https://www.{d}/info/{w}?id={n}",
        "Unsubscribe: https://mail.{d}/u/{w}{n}",
    ]
    # Lines a dot-stuffing server must double on the wire and a client must undouble.
    DOT_LINES = [".", "..", "...", ".hidden", ".net Framework", "..\t..", ". ", ".=2E"]

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def word(self, low, high):
        r = self.rng
        return "".join(r.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(low, high)))

    def domain(self):
        return "%s.%s" % (self.word(3, 9), self.rng.choice(self.TOP_LEVEL))

    def jis(self, characters):
        """JIS X 0208 text of the given length: kanji with kana endings, now and then katakana."""
        r = self.rng
        out = bytearray()
        while len(out) < 2 * characters:
            kind = r.random()
            if kind < 0.45:  # level 1 kanji, one to three
                for _ in range(r.randint(1, 3)):
                    row = r.randint(0x30, 0x4F)
                    out += bytes([row, r.randint(0x21, 0x53 if row == 0x4F else 0x7E)])
            elif kind < 0.85:  # hiragana
                for _ in range(r.randint(1, 4)):
                    out += bytes([0x24, r.randint(0x21, 0x73)])
            elif kind < 0.95:  # katakana
                for _ in range(r.randint(2, 5)):
                    out += bytes([0x25, r.randint(0x21, 0x76)])
            else:  # ideographic comma
                out += b"\x21\x22"
        return bytes(out[:2 * characters])

    def jis_run(self, characters, full_stop=False):
        text = self.jis(characters) + (b"\x21\x23" if full_stop else b"")
        return self.ESC_JIS + text + self.ESC_ASCII

    def encoded_word(self, characters):
        return b"=?ISO-2022-JP?B?" + base64.b64encode(self.jis_run(characters)) + b"?="

    def address(self):
        r = self.rng
        return "%d.%d.%d.%d" % (r.randint(1, 223), r.randint(0, 255), r.randint(0, 255),
                                r.randint(1, 254))

    def date(self, when):
        return time.strftime("%a, %d %b %Y %H:%M:%S +0900", time.gmtime(when + 9 * 3600))

    def message(self, index):
        """One message with CR LF line ends, as a mail client receives it."""
        r = self.rng
        ours = self.domain()
        sender_domain = self.domain()
        sender = "%s@%s" % (self.word(3, 8), sender_domain)
        recipient = "%s@%s" % (USER, ours)
        when = 1717000000 + index * 97 + r.randint(0, 90)
        header = [b"Return-Path: <%s>" % sender.encode()]
        by = "mx%d.%s" % (r.randint(1, 3), ours)
        hops = r.randint(3, 5)
        for hop in range(hops):
            origin = hop == hops - 1
            host = "smtp.%s" % sender_domain if origin else "%s.%s" % (self.word(3, 6),
                                                                      self.domain())
            ip = self.address()
            field = "Received: from %s (%s [%s])\r\n\tby %s (%s) with ESMTP id %s" % (
                host, host, ip, by, r.choice(self.MAILERS), self.word(10, 12).upper())
            if hop == 0:
                field += "\r\n\tfor <%s>" % recipient
            field += "; %s" % self.date(when - hop * r.randint(1, 20))
            header.append(field.encode())
            by = host
        header.append(b"Message-ID: <%d.%s@%s>" % (when, self.word(8, 12).encode(),
                                                   sender_domain.encode()))
        header.append(b"Date: " + self.date(when - 30).encode())
        if r.random() < 0.6:
            header.append(b"From: " + self.encoded_word(r.randint(2, 5)) +
                          b" <" + sender.encode() + b">")
        else:
            header.append(b'From: "%s %s" <%s>' % (self.word(3, 7).capitalize().encode(),
                                                   self.word(3, 7).capitalize().encode(),
                                                   sender.encode()))
        header.append(b"To: " + recipient.encode())
        subject = self.encoded_word(r.randint(5, 12))
        if r.random() < 0.4:  # folded into a second encoded word
            subject += b"\r\n " + self.encoded_word(r.randint(4, 10))
        header.append(b"Subject: " + (b"Re: " if r.random() < 0.2 else b"") + subject)
        header.append(b"MIME-Version: 1.0")
        header.append(b'Content-Type: text/plain; charset="ISO-2022-JP"')
        header.append(b"Content-Transfer-Encoding: 7bit")
        if r.random() < 0.3:
            header.append(b"X-Mailer: Becky! Ver. 2.81")

        text = b"\r\n".join(header) + b"\r\n\r\n"
        target = r.randint(3300, 4900)
        body = [self.jis_run(r.randint(2, 4)) + b"\x1b$B\x4d\x4d\x1b(B", b""]
        size = len(text)
        while size < target:
            choice = r.random()
            if choice < 0.72:
                line = self.jis_run(r.randint(16, 36), full_stop=r.random() < 0.3)
            elif choice < 0.80:
                line = b""
            elif choice < 0.93:
                line = r.choice(self.ASCII_LINES).format(
                    n=r.randint(10000, 999999), a=r.randint(1000, 9999),
                    b=r.randint(1000, 9999), w=self.word(3, 8), d=self.domain()).encode()
            else:
                line = r.choice(self.DOT_LINES).encode()
            body.append(line)
            size += len(line) + 2
        body += [b"-- ", self.jis_run(r.randint(4, 8)), b"."]  # a signature ending in "."
        return text + b"\r\n".join(body) + b"\r\n"


def stored_form(message):
    """The bytes a qm_mailfilter mailbox keeps: dot-stuffed, with the terminating line."""
    lines = message.split(b"\r\n")
    assert lines[-1] == b""
    stuffed = (b"." + line if line.startswith(b".") else line for line in lines[:-1])
    return b"".join(line + b"\r\n" for line in stuffed) + b".\r\n"


def unstuffed(reply):
    """A multi-line RETR reply (status line included) back to the message it carries."""
    first = reply.index(b"\r\n") + 2
    assert reply.endswith(b"\r\n.\r\n"), reply[-20:]
    lines = reply[first:-3].split(b"\r\n")
    return b"".join((line[1:] if line.startswith(b".") else line) + b"\r\n"
                    for line in lines[:-1])


# --- the servers ---------------------------------------------------------------------------

TICKS = os.sysconf("SC_CLK_TCK")


def group_cpu_seconds(group):
    """User and system CPU time of the live processes of a process group, threads included,
    and of the children they have waited for (Dovecot's pop3 process ends with its session)."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        # After the command: state, ppid, pgrp, ... utime and stime are fields 14 and 15.
        if int(fields[2]) == group:
            total += sum(int(field) for field in fields[11:15])
    return total / TICKS


class Ours:
    """`qm_mailfilter --headless` in its own working directory."""

    name = "ours"

    def __init__(self, program, workdir, stored_messages):
        self.program = program
        self.workdir = workdir
        self.process = None
        self.port = None
        os.makedirs(workdir)
        with open(os.path.join(workdir, "inbox.mbx"), "wb") as f:
            for message in stored_messages:
                f.write(message)
        with open(os.path.join(workdir, "inbox.flg"), "wb") as f:
            f.write(write_flg([(VISIBLE, "")] * len(stored_messages)))
        with open(os.path.join(workdir, "inbox.cfg"), "wb") as f:
            f.write(write_cfg(localUser=USER, localPassword=PASSWORD))

    def start(self):
        self.port = qmtest.free_port()
        with open(os.path.join(self.workdir, "qm_mailfilter.ini"), "wb") as f:
            f.write(b"[Mailbox]\r\nPort=%d\r\nBindAddress=127.0.0.1\r\nMailboxes=inbox:\r\n"
                    % self.port)
        self.output = open(os.path.join(self.workdir, "output.txt"), "ab")
        # A process group of its own, for the CPU accounting.
        self.process = subprocess.Popen(
            [self.program, "--headless", "--workdir", self.workdir],
            stdin=subprocess.DEVNULL, stdout=self.output, stderr=self.output,
            start_new_session=True)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("qm_mailfilter ended with status %d: %s"
                                   % (self.process.returncode, self.tail()))
            try:
                socket.create_connection((HOST, self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.02)
        raise RuntimeError("qm_mailfilter never listened: " + self.tail())

    def stop(self):
        if self.process is None:
            return None
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self.process = None
        self.output.close()
        if code != 0:
            print("warning: qm_mailfilter ended with status %s: %s" % (code, self.tail()),
                  file=sys.stderr)
        return code

    def cpu_seconds(self):
        return group_cpu_seconds(self.process.pid)

    def tail(self):
        try:
            with open(os.path.join(self.workdir, "output.txt"), "rb") as f:
                return f.read()[-2000:].decode("utf-8", "replace")
        except OSError:
            return ""


class TheirServer:
    """Dovecot, started through tests/support/qmtest.py."""

    name = "Dovecot"

    def __init__(self, workdir, maildir):
        self.workdir = workdir
        self.maildir = maildir
        self.server = None
        self.port = None

    def start(self):
        self.port = qmtest.free_port()
        # Retrieval leaves the maildir as it is, as our server leaves its mailbox: without this
        # Dovecot marks every retrieved message seen at QUIT and renames its file.
        self.server = qmtest.Dovecot(self.workdir, self.port, USER, PASSWORD, self.maildir,
                                     settings={"pop3_no_flag_updates": "yes"})
        self.server.start()

    def stop(self):
        if self.server is not None:
            server, self.server = self.server, None
            return server.stop()
        return None

    def cpu_seconds(self):
        # Dovecot's master, login, auth and pop3 processes share the master's process group.
        return group_cpu_seconds(self.server.process.pid)


# --- the client ----------------------------------------------------------------------------

class ProtocolError(RuntimeError):
    pass


class Client:
    """One POP3 connection: a command, then its whole reply, then the next command."""

    def __init__(self, port, quickack=False, timeout=120):
        self.sock = socket.create_connection((HOST, port), timeout=timeout)
        self.quickack = quickack
        self.buffer = bytearray(1 << 20)
        self.view = memoryview(self.buffer)
        self.received = 0

    def close(self):
        self.view.release()
        self.sock.close()

    def _fill(self, filled):
        if filled == len(self.buffer):
            self.view.release()
            self.buffer.extend(bytes(len(self.buffer)))
            self.view = memoryview(self.buffer)
        if self.quickack:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        got = self.sock.recv_into(self.view[filled:])
        if got == 0:
            raise ProtocolError("the server closed the connection")
        return filled + got

    def line(self, command=None):
        """Sends a command (None: nothing) and returns its one-line reply."""
        if command is not None:
            self.sock.sendall(command + b"\r\n")
        n = 0
        while n < 2 or self.buffer[n - 2:n] != b"\r\n":
            n = self._fill(n)
        self.received += n
        reply = bytes(self.buffer[:n])
        if not reply.startswith(b"+OK"):
            raise ProtocolError("%r answered %r" % (command, reply))
        return reply

    def multi(self, command, keep=False):
        """Sends a command with a multi-line reply; returns its size (and bytes with keep)."""
        self.sock.sendall(command + b"\r\n")
        buffer = self.buffer
        n = 0
        while True:
            n = self._fill(n)
            buffer = self.buffer
            if n >= 5 and buffer[n - 5:n] == b"\r\n.\r\n":
                break
            if buffer[0] == 0x2D and buffer[n - 2:n] == b"\r\n":  # "-ERR ...\r\n"
                raise ProtocolError("%r answered %r" % (command, bytes(buffer[:n])))
        self.received += n
        if not buffer.startswith(b"+OK"):
            raise ProtocolError("%r answered %r" % (command, bytes(buffer[:80])))
        return (n, bytes(buffer[:n])) if keep else (n, None)


def session(server, count, sample, quickack, retrieve_all=True):
    """One session; returns (seconds per operation, RETR bytes, checks).

    The replies to RETR of the numbers in `sample` are kept for checking; without
    `retrieve_all` only those messages are retrieved. `checks` also has the CPU seconds the
    client and the server spent on the RETR pass.
    """
    port = server.port
    times = {}
    clock = time.perf_counter
    started = clock()
    client = Client(port, quickack)
    try:
        client.line()
        client.line(b"USER " + USER.encode())
        client.line(b"PASS " + PASSWORD.encode())
        times["login"] = clock() - started

        started = clock()
        stat = client.line(b"STAT")
        times["STAT"] = clock() - started

        started = clock()
        _, listing = client.multi(b"LIST", keep=True)
        times["LIST"] = clock() - started

        started = clock()
        _, uidls = client.multi(b"UIDL", keep=True)
        times["UIDL (first)"] = clock() - started

        started = clock()
        _, again = client.multi(b"UIDL", keep=True)
        times["UIDL (again)"] = clock() - started

        bodies = {}
        retr_bytes = 0
        server_cpu = server.cpu_seconds()
        client_cpu = time.process_time()
        started = clock()
        for number in (range(1, count + 1) if retrieve_all else sorted(sample)):
            size, reply = client.multi(b"RETR %d" % number, keep=number in sample)
            retr_bytes += size
            if reply is not None:
                bodies[number] = reply
        times["RETR all"] = clock() - started
        client_cpu = time.process_time() - client_cpu
        server_cpu = server.cpu_seconds() - server_cpu

        started = clock()
        client.line(b"QUIT")
        times["QUIT"] = clock() - started
    finally:
        client.close()
    checks = {
        "stat_count": int(stat.split()[1]),
        "list_count": listing.count(b"\r\n") - 2,
        "uidl_count": uidls.count(b"\r\n") - 2,
        "uidls_stable": uidls == again,
        "bodies": bodies,
        "retr_cpu": (client_cpu, server_cpu),
    }
    return times, retr_bytes, checks


def timed_session(client_program, server, quickack):
    """One session through the C++ client; returns its record (see pop3_client_bench.cc) with
    the CPU seconds the server spent in it added."""
    command = [client_program, str(server.port), USER, PASSWORD] + (["--quickack"] if quickack
                                                                     else [])
    server_cpu = server.cpu_seconds()
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    server_cpu = server.cpu_seconds() - server_cpu
    if done.returncode != 0:
        raise ProtocolError("%s: %s" % (server.name, done.stderr.decode("utf-8", "replace")))
    record = json.loads(done.stdout)
    record["server_cpu"] = server_cpu
    return record


# --- the report ----------------------------------------------------------------------------

OPERATIONS = ["login", "STAT", "LIST", "UIDL (first)", "UIDL (again)", "RETR all", "QUIT"]


def report(results, records, args, loads, sizes, priming):
    print()
    print("%d messages; our mailbox %.1f MB (stored form), Dovecot maildir %.1f MB (LF)."
          % (args.messages, sizes[0] / 1e6, sizes[1] / 1e6))
    print("%d repetitions, each with both servers started afresh, who goes first alternating; "
          "medians. Client: pop3_client_bench, one command at a time (not pipelined)%s."
          % (args.repetitions, ", TCP_QUICKACK on every read (diagnostic)" if args.quickack
             else ""))
    print()
    header = "%-14s %12s %12s %10s   %s" % ("operation", "ours", "Dovecot", "speed", "target")
    print(header)
    print("-" * len(header))
    retr_bytes = {name: records[name][0]["retr_bytes"] for name in records}
    for op in OPERATIONS:
        a, b = statistics.median(results["ours"][op]), statistics.median(results["Dovecot"][op])
        targets = []
        if op in TARGET_MS:
            limit = TARGET_MS[op]
            targets.append("< %.0f ms: %s" % (limit, "met" if a * 1e3 < limit else "MISSED"))
        if op in TARGET_SPEEDUP:
            want = TARGET_SPEEDUP[op]
            targets.append(">= %.0fx: %s" % (want, "met" if b / a >= want else "MISSED"))
        if op == "RETR all":
            rate = retr_bytes["ours"] / a / 1e6
            targets.append(">= %.0f MB/s: %s (ours %.0f MB/s, Dovecot %.0f MB/s)"
                           % (TARGET_RETR_MB_S, "met" if rate >= TARGET_RETR_MB_S else "MISSED",
                              rate, retr_bytes["Dovecot"] / b / 1e6))
        print("%-14s %9.2f ms %9.2f ms %9.2fx   %s" % (op, a * 1e3, b * 1e3, b / a,
                                                    "; ".join(targets)))
    print()
    print("speed: Dovecot's time over ours (above 1: ours is faster). MB = 10^6 bytes received, "
          "status lines and terminators included.")
    for name in ("ours", "Dovecot"):
        retr = statistics.median(results[name]["RETR all"]) / args.messages * 1e6
        client = statistics.median(r["retr_client_cpu"] for r in records[name])
        server = statistics.median(r["server_cpu"] for r in records[name])
        print("against %-8s RETR %.1f us a message; CPU: client %.1f us a message in the RETR "
              "pass, server %.1f us a message over the whole session"
              % (name, retr, client / args.messages * 1e6, server / args.messages * 1e6))
    print("RETR bytes per pass: ours %d, Dovecot %d." % (retr_bytes["ours"],
                                                         retr_bytes["Dovecot"]))
    print("Unmeasured first session (Python client; Dovecot indexes the new maildir, our server "
          "digests the mail it did not store): login ours %.1f ms, Dovecot %.1f ms; UIDL ours "
          "%.1f ms, Dovecot %.1f ms."
          % tuple(priming[name][op] * 1e3 for op in ("login", "UIDL (first)")
                  for name in ("ours", "Dovecot")))
    print()
    print("all samples (ms):")
    for name in ("ours", "Dovecot"):
        for op in OPERATIONS:
            print("  %-8s %-14s %s" % (name, op, " ".join("%.3f" % (v * 1e3)
                                                         for v in results[name][op])))
    print()
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %d CPUs; %s; Python %s"
          % (loads[0] + loads[1] + (os.cpu_count() or 0, platform.platform(),
                                    platform.python_version())))


# --- the run -------------------------------------------------------------------------------

def check(name, count, checks, expected):
    problems = []
    for key in ("stat_count", "list_count", "uidl_count"):
        if checks[key] != count:
            problems.append("%s %s is %d, not %d" % (name, key, checks[key], count))
    if not checks["uidls_stable"]:
        problems.append("%s gave a different UIDL listing the second time" % name)
    for number, reply in checks["bodies"].items():
        if unstuffed(reply) != expected[number - 1]:
            problems.append("%s RETR %d differs from the message" % (name, number))
    return problems


def check_timed(name, count, record):
    problems = []
    for key in ("messages", "uidl_lines"):
        if record[key] != count:
            problems.append("%s %s is %d, not %d" % (name, key, record[key], count))
    if not record["uidls_stable"]:
        problems.append("%s gave a different UIDL listing the second time" % name)
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program", help="path to qm_mailfilter")
    parser.add_argument("--client", help="path to pop3_client_bench (default: the one in the "
                        "build tree of the program)")
    parser.add_argument("--messages", type=int, default=10000)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--seed", type=int, default=20240603)
    parser.add_argument("--sample", type=int, default=200,
                        help="messages whose RETR bodies are compared (default 200)")
    parser.add_argument("--quickack", action="store_true",
                        help="acknowledge at once on every read (diagnostic, see above)")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        parser.error("not an executable: %s" % program)
    client = os.path.abspath(args.client or os.path.join(
        os.path.dirname(program), "..", "..", "bench", "pop3_client_bench"))
    if not os.access(client, os.X_OK):
        parser.error("not an executable: %s (build the target pop3_client_bench or name it "
                     "with --client)" % client)
    if not qmtest.available():
        parser.error("dovecot is not installed")

    # Ctrl-C and SIGTERM both unwind through the finally below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    scratch = tempfile.mkdtemp(prefix="qm_pop3_bench_")
    servers = []
    try:
        print("generating %d messages ..." % args.messages, flush=True)
        writer = MailWriter(args.seed)
        messages = [writer.message(i) for i in range(args.messages)]
        stored = [stored_form(m) for m in messages]
        ours = Ours(program, os.path.join(scratch, "qm"), stored)
        maildir = os.path.join(scratch, "Maildir")
        qmtest.fill_maildir(maildir, messages, lf=True)
        sizes = (sum(len(s) for s in stored), sum(len(m) - m.count(b"\r\n") for m in messages))
        theirs = TheirServer(scratch, maildir)
        servers = [ours, theirs]

        rng = random.Random(args.seed + 1)
        sample = set(rng.sample(range(1, args.messages + 1), min(args.sample, args.messages)))
        sample |= {1, args.messages}
        results = {s.name: {op: [] for op in OPERATIONS} for s in servers}
        records = {s.name: [] for s in servers}
        priming = {}
        problems = []
        loads = [os.getloadavg()]
        for rep in range(args.repetitions + 1):
            for server in servers:
                server.start()
            # Alternate who goes first, so that neither always meets a cooler machine.
            order = servers if rep % 2 == 0 else servers[::-1]
            for server in order:
                if rep == 0:
                    times, _, checks = session(server, args.messages, sample, args.quickack,
                                               retrieve_all=False)
                    problems += check(server.name, args.messages, checks, messages)
                    priming[server.name] = times
                    continue
                record = timed_session(client, server, args.quickack)
                problems += check_timed(server.name, args.messages, record)
                records[server.name].append(record)
                for op, seconds in record["times"].items():
                    results[server.name][op].append(seconds)
            if rep > 0 and records["ours"][-1]["retr_hash"] != records["Dovecot"][-1]["retr_hash"]:
                problems.append("repetition %d: the servers sent different messages" % rep)
            for server in servers:
                server.stop()
            if rep == 0:
                print("first sessions done; measuring %d repetitions ..." % args.repetitions,
                      flush=True)
            else:
                print("  repetition %d: UIDL (first) ours %.1f ms, Dovecot %.1f ms; RETR all ours "
                      "%.3f s, Dovecot %.3f s"
                      % (rep, results["ours"]["UIDL (first)"][-1] * 1e3,
                         results["Dovecot"]["UIDL (first)"][-1] * 1e3,
                         results["ours"]["RETR all"][-1], results["Dovecot"]["RETR all"][-1]),
                      flush=True)
        loads.append(os.getloadavg())
        if problems:
            print("SANITY CHECK FAILED:\n  " + "\n  ".join(problems))
        else:
            print("sanity: both serve %d messages; %d sampled RETR bodies match the messages "
                  "after unstuffing, on both servers; every timed RETR pass got the same "
                  "messages from both." % (args.messages, len(sample)))
        report(results, records, args, loads, sizes, priming)
        return 1 if problems else 0
    finally:
        for server in servers:
            try:
                server.stop()
            except Exception as error:  # keep stopping the others
                print("warning: stopping %s: %s" % (server.name, error), file=sys.stderr)
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
