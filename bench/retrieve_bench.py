#!/usr/bin/env python3
"""How fast `qm_mailfilter retrieve` fetches and classifies a large remote mailbox, next to
fetchmail fetching the same mail from the same Dovecot.

Usage: bench/retrieve_bench.py PATH_TO_QM_MAILFILTER [--messages N] [--size BYTES]
                               [--repetitions R] [--seed S] [--hosts H]

Generates N messages (default 5,000 of about 20 KB: Received chain, ISO-2022-JP headers and
text, some multipart/alternative with a quoted-printable HTML part, some with a base64
attachment, two to five links each, lines that start with "."), delivers them into the maildir of
a private Dovecot on 127.0.0.1 (LF line ends, as delivered) and times, R times each, alternating
who goes first:

  ours       `qm_mailfilter retrieve` of one mailbox in a fresh working directory (server copies
             kept, so that every run finds the same mail): UIDL, RETR of every message,
             classification by the friend and bad lists and the DNS blocklists, storing each
             message with its mark, saving at the end;
  fetchmail  `fetchmail --fetchall --keep --bsmtp FILE` from the same server: every message
             retrieved and written to one file, nothing classified (its options and why:
             retrieval_support.fetchmail_command).

Blocklists: dnsmasq on a loopback port answers for the four test zones from its configuration,
a few link hosts listed and every other name not existing (NXDOMAIN). The answers a retrieval
gets are cached in the memory of the retrieving process (not found: one minute), so an earlier
run cannot warm the cache of the next one; "warm" here means that link hosts, sender domains
and relay addresses come from pools (--hosts), so that after the first few hundred messages
nearly every look-up is answered from the cache (by default about 1,800 queries for 5,000
messages, where every name new costs about 20 a message). The number of queries dnsmasq
received during each run is printed next to the figures; --hosts 0 gives every link host,
sender and relay of its own, which shows the cold case (all of that mail is "other": no sender
is listed, no host either).

MB = 10^6 bytes of mail as the server sends it (CR LF line ends, before dot-stuffing). The time
is the wall-clock time of the whole command, start-up and saving included; CPU is the user and
system time of the command. A first session against Dovecot, not counted, lets it index the new
maildir. After the first run each side's result is checked: every message stored (mailbox and
dustbox) exactly as served, and as many messages in fetchmail's file as on the server; the exit
status is 1 when a check fails.

Speed is only reported here, never asserted. Everything lives in one temporary directory that is
removed at the end; Dovecot and dnsmasq are stopped, also after an error or Ctrl-C.
"""

import argparse
import base64
import collections
import hashlib
import os
import platform
import quopri
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import qmtest  # noqa: E402  (tests/support)
from pop3_serve_bench import MailWriter  # noqa: E402  (words, domains, ISO-2022-JP text)
from retrieval_support import (bsmtp_messages, children_cpu, fetchmail_command,  # noqa: E402
                               index_mailbox, run_fetchmail as fetchmail_run, served_size)
from qmtest import ZONES, Workdir, stuffed  # noqa: E402

USER = "taro"
PASSWORD = "secret"
MAILBOX = "bench"


# --- the mail ------------------------------------------------------------------------------

class BenchMail:
    """Mail of about `size` bytes from pools of senders, link hosts and relays."""

    LINK_PATHS = ["/", "/campaign/{w}", "/item/{n}", "/news/{n}.html", "/u/{w}?id={n}",
                  "/img/{w}.png", "/login?next=/{w}"]
    ASCII_LINES = [
        "Please find the details below.",
        "--------------------------------------------------",
        "Order number: {n}",
        "Tel: 03-{n}  Fax: 03-{n}",
        "> {w} wrote:",
        "Best regards,",
    ]
    DOT_LINES = [".", "..", ".hidden", ".net Framework", ". "]

    def __init__(self, seed, size, hosts):
        self.writer = MailWriter(seed)
        w = self.writer
        self.rng = r = w.rng
        self.size = size
        self.unique = hosts == 0
        count = max(hosts, 1)
        self.link_hosts = [r.choice(["www.", "shop.", "mail.", "", "news."]) + w.domain()
                           for _ in range(count)]
        self.sender_domains = [w.domain() for _ in range(max(count * 2 // 3, 1))]
        self.senders = ["%s@%s" % (w.word(3, 9), r.choice(self.sender_domains))
                        for _ in range(max(count * 2, 20))]
        self.relays = [w.address() for _ in range(max(count // 2, 10))]
        self.friends = self.senders[:10]
        self.bad = self.senders[10:15]
        # About one link in 150 goes to a listed host.
        self.listed = [h.split(".", 1)[1] if h.startswith(("www.", "shop.", "mail.", "news."))
                       else h for h in self.link_hosts[-max(count // 150, 1):]]
        # Pools of text, so that 100 MB of mail is assembled quickly and still varied.
        self.jis_lines = [w.jis_run(r.randint(16, 36), full_stop=r.random() < 0.3)
                          for _ in range(4000)]
        self.html_paragraphs = [
            "<p>" + w.jis_run(r.randint(30, 90)).decode("iso-2022-jp", "replace") + "</p>"
            for _ in range(800)]
        self.blobs = [r.randbytes(16384) for _ in range(40)]

    def fill(self, n):
        return {"n": n, "w": self.writer.word(3, 8)}

    def link(self):
        r = self.rng
        host = ("%s.%s" % (self.writer.word(4, 10), self.writer.domain()) if self.unique
                else r.choice(self.link_hosts))
        path = r.choice(self.LINK_PATHS).format(**self.fill(r.randint(1000, 99999)))
        return "%s://%s%s" % (r.choice(["http", "https"]), host, path)

    def text_lines(self, target, links):
        """ISO-2022-JP text lines of about `target` bytes with the links spread in."""
        r = self.rng
        lines = [self.writer.jis_run(r.randint(2, 4)), b""]
        size = 0
        while size < target:
            choice = r.random()
            if choice < 0.78:
                line = r.choice(self.jis_lines)
            elif choice < 0.86:
                line = b""
            elif choice < 0.95:
                line = r.choice(self.ASCII_LINES).format(**self.fill(r.randint(10000, 999999)))
                line = line.encode()
            else:
                line = r.choice(self.DOT_LINES).encode()
            lines.append(line)
            size += len(line) + 1
        for link in links:
            lines.insert(r.randint(2, len(lines)), link.encode())
        return lines + [b"-- ", self.writer.jis_run(r.randint(4, 8))]

    def message(self, index):
        """One message with LF line ends, as a mail server delivers it into a maildir."""
        r = self.rng
        w = self.writer
        if self.unique:
            sender = "%s@%s" % (w.word(3, 9), w.domain())
        else:
            sender = r.choice(self.senders)
        sender_domain = sender.split("@")[1]
        when = 1717000000 + index * 61 + r.randint(0, 50)
        header = [b"Return-Path: <%s>" % sender.encode()]
        by = "mx1.example.jp"
        hops = r.randint(2, 4)
        for hop in range(hops):
            host = ("smtp.%s" % sender_domain if hop == hops - 1
                    else "relay%d.%s" % (hop, w.domain()))
            relay = w.address() if self.unique else r.choice(self.relays)
            field = "Received: from %s (%s [%s])\n\tby %s (Postfix) with ESMTP id %s" % (
                host, host, relay, by, w.word(10, 12).upper())
            if hop == 0:
                field += "\n\tfor <%s@example.jp>" % USER
            field += "; %s" % w.date(when - hop * r.randint(1, 20))
            header.append(field.encode())
            by = host
        header.append(b"Message-ID: <%d.%d.%s@%s>" % (when, index, w.word(8, 12).encode(),
                                                      sender_domain.encode()))
        header.append(b"Date: " + w.date(when - 30).encode())
        header.append(b"From: " + w.encoded_word(r.randint(2, 5)) + b" <" + sender.encode() +
                      b">")
        header.append(b"To: %s@example.jp" % USER.encode())
        header.append(b"Subject: " + w.encoded_word(r.randint(5, 12)))
        header.append(b"MIME-Version: 1.0")

        target = r.randint(int(self.size * 0.75), int(self.size * 1.25))
        # What is left for the body once the header fields below are added.
        target -= sum(len(field) + 1 for field in header) + 120
        links = [self.link() for _ in range(r.randint(2, 5))]
        kind = r.random()
        if kind < 0.5:
            header += [b'Content-Type: text/plain; charset="ISO-2022-JP"',
                       b"Content-Transfer-Encoding: 7bit"]
            body = self.text_lines(target, links)
        elif kind < 0.8:
            boundary = b"=_alt_%d_%s" % (index, w.word(8, 8).encode())
            header.append(b'Content-Type: multipart/alternative; boundary="%s"' % boundary)
            body = [b"This is a multi-part message in MIME format.", b"",
                    b"--" + boundary, b'Content-Type: text/plain; charset="ISO-2022-JP"',
                    b"Content-Transfer-Encoding: 7bit", b""]
            body += self.text_lines(target // 3, links)
            body += [b"", b"--" + boundary, b'Content-Type: text/html; charset="UTF-8"',
                     b"Content-Transfer-Encoding: quoted-printable", b""]
            html = ["<html><body>"] + ['<p><a href="%s">%s</a></p>' % (link, w.word(4, 10))
                                      for link in links]
            size = sum(len(line) + 1 for line in body)
            while size < target:
                html.append(r.choice(self.html_paragraphs))
                size += len(html[-1].encode("utf-8")) * 3
            html.append("</body></html>")
            # Each line encoded on its own: quopri ends a line with a soft break only inside.
            body += [quopri.encodestring(line.encode("utf-8")).rstrip(b"\n") for line in html]
            body += [b"--" + boundary + b"--", b""]
        else:
            boundary = b"=_mix_%d_%s" % (index, w.word(8, 8).encode())
            header.append(b'Content-Type: multipart/mixed; boundary="%s"' % boundary)
            text = self.text_lines(target // 3, links)
            blob = r.choice(self.blobs)
            start = r.randint(0, len(blob) // 2)
            attachment = blob[start:start + max((target - target // 3) * 3 // 4, 1)]
            encoded = base64.b64encode(attachment)
            body = [b"This is a multi-part message in MIME format.", b"",
                    b"--" + boundary, b'Content-Type: text/plain; charset="ISO-2022-JP"',
                    b"Content-Transfer-Encoding: 7bit", b""]
            body += text
            body += [b"", b"--" + boundary,
                     b'Content-Type: application/pdf; name="%s.pdf"' % w.word(5, 10).encode(),
                     b"Content-Transfer-Encoding: base64",
                     b"Content-Disposition: attachment", b""]
            body += [encoded[i:i + 76] for i in range(0, len(encoded), 76)]
            body += [b"", b"--" + boundary + b"--", b""]
        return b"\n".join(header) + b"\n\n" + b"\n".join(body) + b"\n"


# --- the two sides -------------------------------------------------------------------------

def timed(command, **kwargs):
    """Runs a command; returns (finished process, wall seconds, CPU seconds)."""
    cpu = children_cpu()
    started = time.perf_counter()
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, **kwargs)
    wall = time.perf_counter() - started
    return done, wall, children_cpu() - cpu


def run_ours(program, scratch, server_port, dns, mail, check, expected):
    """One `retrieve` in a fresh working directory; returns (wall, CPU, queries, problems,
    details)."""
    work = Workdir(os.path.join(scratch, "work"), program, dns.port, server_timeout=60)
    problems = []
    try:
        for address in mail.friends:
            work.run("friend", "add", address)
        for address in mail.bad:
            work.run("bad", "add", address)
        # The dustbox keeps every message: its default limit (100) would delete the oldest for
        # good once bad mail fills it, and the check would miss them.
        work.add_mailbox(MAILBOX, server_port, "keep", password=PASSWORD, limitDustbox=0)
        before = len(dns.queries())
        done, wall, cpu = timed([program, "--workdir", work.path, "retrieve", MAILBOX],
                                timeout=3600)
        queries = len(dns.queries()) - before
        if done.returncode != 0:
            problems.append("retrieve exited with %d: %s" % (
                done.returncode, done.stderr.decode("utf-8", "replace")[-2000:]))
            return wall, cpu, queries, problems, {}
        details = {}
        if check:
            stored = collections.Counter()
            for name in (MAILBOX + ".mbx", MAILBOX + "_dustbox.mbx"):
                data = work.read(name)
                parts = data.split(b"\r\n.\r\n")
                if parts[-1] != b"":
                    problems.append("%s does not end with a complete message" % name)
                for part in parts[:-1]:
                    stored[hashlib.sha256(part + b"\r\n.\r\n").digest()] += 1
            if stored != expected:
                problems.append("ours: the stored messages differ from the served ones "
                                "(%d stored, %d served)" % (sum(stored.values()),
                                                            sum(expected.values())))
            verdicts = collections.Counter()
            for dustbox in (False, True):
                verdicts.update(row["verdict"] for row in work.rows(MAILBOX, dustbox))
            details["verdicts"] = verdicts
        return wall, cpu, queries, problems, details
    finally:
        shutil.rmtree(work.path, ignore_errors=True)


def run_fetchmail(scratch, server_port, count, check):
    """One fetchmail run into a BSMTP file; returns (wall, CPU, problems)."""
    out = os.path.join(scratch, "fetched.bsmtp")
    idfile = os.path.join(scratch, "fetchids")
    problems = []
    try:
        done, wall, cpu = fetchmail_run(scratch, fetchmail_command(
            scratch, server_port, USER, PASSWORD, out, idfile))
        if done.returncode != 0:
            problems.append("fetchmail exited with %d: %s" % (
                done.returncode, done.stderr.decode("utf-8", "replace")[-2000:]))
        elif check and bsmtp_messages(out) != count:
            problems.append("fetchmail wrote %d messages, not %d" % (bsmtp_messages(out), count))
        return wall, cpu, problems
    finally:
        for path in (out, idfile):
            if os.path.exists(path):
                os.unlink(path)


# --- the run -------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program", help="path to qm_mailfilter")
    parser.add_argument("--messages", type=int, default=5000)
    parser.add_argument("--size", type=int, default=20000,
                        help="average message size in bytes (default 20000)")
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--seed", type=int, default=20240604)
    parser.add_argument("--hosts", type=int, default=300,
                        help="link hosts in the pool (default 300; 0: every one new)")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        parser.error("not an executable: %s" % program)
    missing = [name for name, there in (("dovecot", qmtest.available()),
                                        ("dnsmasq", shutil.which("dnsmasq")),
                                        ("fetchmail", shutil.which("fetchmail"))) if not there]
    if missing:
        parser.error("not installed: " + ", ".join(missing))

    # Ctrl-C and SIGTERM both unwind through the finally below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    scratch = tempfile.mkdtemp(prefix="qm_retrieve_bench_")
    server = dns = None
    try:
        print("generating %d messages of about %d bytes ..." % (args.messages, args.size),
              flush=True)
        mail = BenchMail(args.seed, args.size, args.hosts)
        messages = [mail.message(i) for i in range(args.messages)]
        served_bytes = sum(served_size(m) for m in messages)
        expected = collections.Counter(hashlib.sha256(stuffed(m)).digest()
                                       for m in messages)
        maildir = os.path.join(scratch, "Maildir")
        qmtest.fill_maildir(maildir, messages, lf=True)
        del messages

        dns = qmtest.Dnsmasq(scratch, ZONES, {host + ZONES[0]: "127.0.0.2" for host in mail.listed})
        # Retrieval leaves the maildir as it is: the server copies are kept, and without this
        # Dovecot would mark every retrieved message seen and rename its file at QUIT.
        server = qmtest.Dovecot(scratch, qmtest.free_port(), USER, PASSWORD, maildir,
                                 settings={"pop3_no_flag_updates": "yes"})
        server.start()
        count = index_mailbox(server, USER, PASSWORD, args.messages, served_bytes,
                              args.repetitions)

        results = {"ours": [], "fetchmail": []}
        queries = []
        problems = []
        details = {}
        loads = [os.getloadavg()]
        for rep in range(args.repetitions):
            first = rep == 0
            for side in (("ours", "fetchmail") if rep % 2 == 0 else ("fetchmail", "ours")):
                if side == "ours":
                    wall, cpu, asked, found, info = run_ours(program, scratch, server.port, dns,
                                                             mail, first, expected)
                    queries.append(asked)
                    if first:
                        details = info
                else:
                    wall, cpu, found = run_fetchmail(scratch, server.port, count, first)
                problems += found
                results[side].append((wall, cpu))
            print("  repetition %d: ours %.2f s, fetchmail %.2f s (%d DNS queries)"
                  % (rep + 1, results["ours"][-1][0], results["fetchmail"][-1][0], queries[-1]),
                  flush=True)
            if problems:
                break
        loads.append(os.getloadavg())

        print()
        if problems:
            # Figures of a failed run mean nothing.
            print("CHECK FAILED:\n  " + "\n  ".join(problems))
            return 1
        print("checked: every message stored as served (mailbox and dustbox), and %d "
              "messages in fetchmail's file." % count)
        report(args, results, served_bytes, count, queries, details, mail, loads)
        return 0
    finally:
        if server is not None:
            server.stop()
        if dns is not None:
            dns.stop()
        shutil.rmtree(scratch, ignore_errors=True)


def report(args, results, served_bytes, count, queries, details, mail, loads):
    print()
    print("%d messages, %.1f MB as served (average %.1f KB); %s; medians of %d runs."
          % (count, served_bytes / 1e6, served_bytes / count / 1e3,
             "every link host and sender new" if args.hosts == 0 else
             "%d link hosts, %d sender domains, %d relays in the pools"
             % (len(mail.link_hosts), len(mail.sender_domains), len(mail.relays)),
             len(results["ours"])))
    print()
    header = "%-10s %9s %10s %8s %9s %12s" % ("", "wall s", "messages/s", "MB/s", "CPU s",
                                             "CPU ms/msg")
    print(header)
    print("-" * len(header))
    rates = {}
    for side in ("ours", "fetchmail"):
        wall = statistics.median(w for w, _ in results[side])
        cpu = statistics.median(c for _, c in results[side])
        rates[side] = count / wall
        print("%-10s %9.2f %10.0f %8.1f %9.2f %12.3f"
              % (side, wall, count / wall, served_bytes / wall / 1e6, cpu, cpu / count * 1e3))
    print("-" * len(header))
    print("ratio ours/fetchmail (throughput; above 1 is faster): %.2f"
          % (rates["ours"] / rates["fetchmail"]))
    print()
    print("DNS queries per retrieve run: %s." % " ".join(str(q) for q in queries))
    if details.get("verdicts"):
        print("verdicts of the first run: %s." % ", ".join(
            "%s %d" % item for item in sorted(details["verdicts"].items())))
    print("all runs (wall s / CPU s):")
    for side in ("ours", "fetchmail"):
        print("  %-10s %s" % (side, "  ".join("%.2f/%.2f" % r for r in results[side])))
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %d CPUs; %s; Python %s"
          % (loads[0] + loads[1] + (os.cpu_count() or 0, platform.platform(),
                                    platform.python_version())))


if __name__ == "__main__":
    sys.exit(main())
