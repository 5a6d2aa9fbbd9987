#!/usr/bin/env python3
"""What TLS costs `qm_mailfilter retrieve`: the same mail over plain POP3, POP3S and STLS.

Usage: bench/retrieve_tls_bench.py PATH_TO_QM_MAILFILTER [--messages N] [--size BYTES]
                                   [--repetitions R] [--seed S]

Generates N messages (default 5,000 of about 20 KB: plain-text lines, lines that start with ".",
some with a base64 attachment), delivers them into the maildir of a private Dovecot on 127.0.0.1
with a certificate from a test CA made here with the `openssl` command, and times R times each,
rotating which mode goes first, `qm_mailfilter retrieve` of one mailbox in a fresh working
directory (server copies kept, so every run finds the same mail) with

  plain     `security=plain`, the plain POP3 port;
  tls       `security=tls`, the POP3S port (TLS from the first byte);
  starttls  `security=starttls`, the plain port, STLS after the greeting;

the last two with `caFile` naming the test CA and `server=localhost`, so the certificate and the
name are checked as for any server. The friend and bad lists are empty; the blocklist look-ups
(the zones left empty) go to a DNS server on a loopback port that answers every name "not found"
at once, so the figures are fetching, classifying and storing, not waiting for DNS; the number
of queries it received per run is printed.

MB = 10^6 bytes of mail as the server sends it (CR LF line ends, before dot-stuffing). The time
is the wall-clock time of the whole command, start-up and saving included; CPU is its user and
system time. A first session, not counted, lets Dovecot index the new maildir. The first run of
each mode is checked: every message stored exactly as served, and Dovecot logged the login with
TLS for the secure modes and without it for plain; the exit status is 1 when a check fails.
The TLS version and cipher come from Dovecot's log.

Speed is only reported here, never asserted. Everything lives in one temporary directory that is
removed at the end; Dovecot is stopped, also after an error or Ctrl-C.
"""

import argparse
import base64
import collections
import hashlib
import os
import platform
import random
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
from retrieval_support import children_cpu, index_mailbox, served_size  # noqa: E402
from qmtest import stuffed  # noqa: E402  (tests/e2e)

USER = "taro"
PASSWORD = "secret"
MAILBOX = "bench"
MODES = ("plain", "tls", "starttls")

WORDS = ("mail report order shipping invoice meeting schedule update account payment notice "
         "summary project review delivery customer service support request confirm").split()


def make_message(rng, index, size):
    """One message of about `size` bytes with LF line ends, as delivered into a maildir."""
    target = rng.randint(int(size * 0.75), int(size * 1.25))
    header = [
        b"Return-Path: <sender%d@example.net>" % (index % 97),
        b"Received: from mx.example.net (mx.example.net [192.0.2.%d])\n\tby mail.example.jp "
        b"(Postfix) with ESMTP id %08X; Mon, 3 Jun 2024 10:%02d:00 +0900"
        % (index % 250 + 1, index, index % 60),
        b"Message-ID: <%d.bench@example.net>" % index,
        b"Date: Mon, 3 Jun 2024 10:%02d:00 +0900" % (index % 60),
        b"From: Sender %d <sender%d@example.net>" % (index % 97, index % 97),
        b"To: %s@example.jp" % USER.encode(),
        b"Subject: %s %d" % (" ".join(rng.choices(WORDS, k=4)).encode(), index),
        b"MIME-Version: 1.0",
    ]
    body = []
    used = sum(len(field) + 1 for field in header)
    attachment = rng.random() < 0.3
    text_target = target // 3 if attachment else target
    while used < text_target:
        if rng.random() < 0.03:
            line = rng.choice([b".", b"..", b".hidden line", b". "])
        else:
            line = " ".join(rng.choices(WORDS, k=rng.randint(4, 12))).encode()
        body.append(line)
        used += len(line) + 1
    if attachment:
        boundary = b"=_bench_%d" % index
        header.append(b'Content-Type: multipart/mixed; boundary="%s"' % boundary)
        blob = base64.b64encode(rng.randbytes(max((target - used) * 3 // 4, 1)))
        body = ([b"--" + boundary, b"Content-Type: text/plain; charset=us-ascii", b""] + body +
                [b"--" + boundary, b"Content-Type: application/octet-stream",
                 b"Content-Transfer-Encoding: base64", b""] +
                [blob[i:i + 76] for i in range(0, len(blob), 76)] + [b"--" + boundary + b"--"])
    else:
        header.append(b"Content-Type: text/plain; charset=us-ascii")
    return b"\n".join(header) + b"\n\n" + b"\n".join(body) + b"\n"


def run_program(program, work, *args, timeout=120):
    done = subprocess.run([program, "--workdir", work] + list(args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError("%s exited with %d: %s" % (" ".join(args), done.returncode,
                                                      done.stderr.decode("utf-8", "replace")))
    return done


def run_once(program, scratch, server, dns, ca_file, mode, check, expected):
    """One `retrieve` in a fresh working directory; returns (wall, CPU, DNS queries,
    problems)."""
    work = os.path.join(scratch, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    problems = []
    try:
        with open(os.path.join(work, "qm_mailfilter.ini"), "wb") as f:
            f.write(b"[Misc]\r\nServerTimeout=60\r\n"
                    b"[RBL]\r\nDnsServers=127.0.0.1:%d\r\nDnsTimeout=2\r\n"
                    b"Zone0=\r\nZone1=\r\nZone2=\r\nZone3=\r\n" % dns.port)
        run_program(program, work, "mailbox", "add", MAILBOX)
        port = server.tls_port if mode == "tls" else server.port
        run_program(program, work, "mailbox", "set", MAILBOX, "server=localhost",
                    "port=%d" % port, "user=" + USER, "password=" + PASSWORD,
                    "localUser=hanako", "localPassword=local", "serverDeletion=keep",
                    "security=" + mode, "caFile=" + (ca_file if mode != "plain" else ""))
        logins = len(server.logins())
        queries = dns.queries
        cpu = children_cpu()
        started = time.perf_counter()
        done = subprocess.run([program, "--workdir", work, "retrieve", MAILBOX],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=3600)
        wall = time.perf_counter() - started
        cpu = children_cpu() - cpu
        queries = dns.queries - queries
        if done.returncode != 0:
            problems.append("%s: retrieve exited with %d: %s" % (
                mode, done.returncode, done.stderr.decode("utf-8", "replace")[-2000:]))
            return wall, cpu, queries, problems
        if check:
            stored = collections.Counter()
            for name in (MAILBOX + ".mbx", MAILBOX + "_dustbox.mbx"):
                path = os.path.join(work, name)
                data = open(path, "rb").read() if os.path.exists(path) else b""
                parts = data.split(b"\r\n.\r\n")
                if parts[-1] != b"":
                    problems.append("%s: %s does not end with a whole message" % (mode, name))
                for part in parts[:-1]:
                    stored[hashlib.sha256(part + b"\r\n.\r\n").digest()] += 1
            if stored != expected:
                problems.append("%s: the stored messages differ from the served ones "
                                "(%d stored, %d served)" % (mode, sum(stored.values()),
                                                            sum(expected.values())))
            new = server.logins()[logins:]
            secured = [", TLS" in line for line in new]
            if len(new) != 1 or secured[0] != (mode != "plain"):
                problems.append("%s: Dovecot logged these logins: %r" % (mode, new))
        return wall, cpu, queries, problems
    finally:
        shutil.rmtree(work, ignore_errors=True)


def tls_details(server):
    """The TLS version and cipher of the last TLS login that Dovecot logged."""
    for line in reversed(server.logins()):
        if "cipher" in line:
            start = line.index("TLSv")
            return line[start:line.index(")", start) + 1] if ")" in line[start:] else line[start:]
    return "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program", help="path to qm_mailfilter")
    parser.add_argument("--messages", type=int, default=5000)
    parser.add_argument("--size", type=int, default=20000,
                        help="average message size in bytes (default 20000)")
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--seed", type=int, default=20240603)
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        parser.error("not an executable: %s" % program)
    if not qmtest.available():
        parser.error("not installed: dovecot")
    if not shutil.which("openssl"):
        parser.error("not installed: openssl")

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    scratch = tempfile.mkdtemp(prefix="qm_retrieve_tls_bench_")
    os.chmod(scratch, 0o711)
    server = None
    dns = qmtest.NxDomainDns()
    try:
        certs = qmtest.Certificates(os.path.join(scratch, "certs"))
        print("generating %d messages of about %d bytes ..." % (args.messages, args.size),
              flush=True)
        rng = random.Random(args.seed)
        messages = [make_message(rng, i, args.size) for i in range(args.messages)]
        served_bytes = sum(served_size(m) for m in messages)
        expected = collections.Counter(hashlib.sha256(stuffed(m)).digest()
                                       for m in messages)
        maildir = os.path.join(scratch, "Maildir")
        qmtest.fill_maildir(maildir, messages, lf=True)
        del messages

        # Retrieval leaves the maildir as it is; the login lines name the TLS version and cipher.
        server = qmtest.Dovecot(
            scratch, qmtest.free_port(), USER, PASSWORD, maildir, cert=certs.good,
            tls_port=qmtest.free_port(), ssl="yes",
            settings={"pop3_no_flag_updates": "yes",
                      "login_log_format_elements":
                          "user=<%u> method=%m rip=%r lip=%l mpid=%e %c %k"})
        server.start()
        count = index_mailbox(server, USER, PASSWORD, args.messages, served_bytes,
                              args.repetitions)

        results = {mode: [] for mode in MODES}
        queries = {mode: [] for mode in MODES}
        problems = []
        loads = [os.getloadavg()]
        for rep in range(args.repetitions):
            order = MODES[rep % 3:] + MODES[:rep % 3]
            for mode in order:
                wall, cpu, asked, found = run_once(program, scratch, server, dns, certs.ca.cert,
                                            mode, rep == 0, expected)
                problems += found
                results[mode].append((wall, cpu))
                queries[mode].append(asked)
            print("  repetition %d: %s" % (rep + 1, ", ".join(
                "%s %.2f s (%d DNS queries)" % (mode, results[mode][-1][0], queries[mode][-1])
                for mode in MODES)), flush=True)
            if problems:
                break
        loads.append(os.getloadavg())

        print()
        if problems:
            print("CHECK FAILED:\n  " + "\n  ".join(problems))
            return 1
        print("checked: every message stored as served in each mode; Dovecot logged the "
              "secure logins inside TLS (%s)." % tls_details(server))
        report(results, served_bytes, count, loads)
        return 0
    finally:
        if server is not None:
            server.stop()
        dns.stop()
        shutil.rmtree(scratch, ignore_errors=True)


def report(results, served_bytes, count, loads):
    print()
    print("%d messages, %.1f MB as served (average %.1f KB); medians of %d runs."
          % (count, served_bytes / 1e6, served_bytes / count / 1e3, len(results["plain"])))
    print()
    header = "%-10s %9s %10s %8s %9s %12s %10s" % ("", "wall s", "messages/s", "MB/s",
                                                  "CPU s", "CPU ms/msg", "vs plain")
    print(header)
    print("-" * len(header))
    rates = {}
    for mode in MODES:
        wall = statistics.median(w for w, _ in results[mode])
        cpu = statistics.median(c for _, c in results[mode])
        rates[mode] = count / wall
        print("%-10s %9.2f %10.0f %8.1f %9.2f %12.3f %10.2f"
              % (mode, wall, count / wall, served_bytes / wall / 1e6, cpu, cpu / count * 1e3,
                 rates[mode] / rates["plain"]))
    print("-" * len(header))
    print("vs plain: throughput ratio to plain POP3 (1.00 is as fast; below 1 is slower).")
    print("all runs (wall s / CPU s):")
    for mode in MODES:
        print("  %-10s %s" % (mode, "  ".join("%.2f/%.2f" % r for r in results[mode])))
    print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %d CPUs; %s; Python %s"
          % (loads[0] + loads[1] + (os.cpu_count() or 0, platform.platform(),
                                    platform.python_version())))


if __name__ == "__main__":
    sys.exit(main())
