#!/usr/bin/env python3
"""`qm_mailfilter retrieve` next to fetchmail over loopback and through a link with 30 ms of
round-trip time, and a second run over a large mailbox that has nothing new.

Usage: bench/link_bench.py PATH_TO_QM_MAILFILTER [--cases loop4k,loop20k,link20k,idle]
                           [--repetitions R] [--delay MS] [--dns off|dnsmasq]
                           [--loop4k N] [--loop20k N] [--link20k N] [--idle N] [--seed S]

Cases (each with its own private Dovecot on 127.0.0.1 over a maildir of generated mail, the
mail of retrieve_bench.py: Japanese text, multipart, attachments, links):

  loop4k    2,000 messages of about 4 KB, straight to Dovecot over loopback;
  loop20k   1,000 messages of about 20 KB, the same;
  link20k   200 messages of about 20 KB through the delaying proxy;
  idle      20,000 messages of about 4 KB kept on the server and already known (a first full
            run over the proxy without delay, not timed), then a second run through the
            delaying proxy that finds nothing new: what a timer-driven retrieval costs.

The first three time, R times each with the order of the two alternating, `qm_mailfilter
retrieve` of one mailbox in a fresh working directory (server copies kept) and fetchmail
fetching every message into a BSMTP file, with the options explained in retrieval_support.py.
The idle case times our second run (the same working directory each repetition) and fetchmail's
second run with its idfile (--uidl) two ways: one UIDL listing (--fastuidl 0) and a binary
search with "UIDL n" (--fastuidl 1).

The proxy listens on a loopback port and forwards each chunk it reads, in order, once the
chunk's arrival time plus the one-way delay (--delay, default 15 ms) has passed; it does not
limit bandwidth. Before the cases it measures the round trip of a CAPA through it and straight
to Dovecot and prints both, and whether Dovecot offers PIPELINING.

Blocklists: with --dns off (the default) the four zones are switched off (the program's DNS
server, dnsmasq on a loopback port, receives no query), so that the figures compare retrieval and
storing, not DNS; --dns dnsmasq asks the four test zones of retrieve_bench.py, answered by that
dnsmasq from pools of hosts (most look-ups hit the cache).

Ratios are ours/fetchmail of the medians of wall-clock time turned into throughput: above 1
means ours is faster. CPU is the user and system time of the command. The first repetition of
every case is checked: every message stored exactly as served, as many in fetchmail's file,
and nothing fetched by a second run; the exit status is 1 when a check fails.

Speed is only reported here, never asserted. Everything lives in one temporary directory that is
removed at the end; Dovecot, dnsmasq and the proxy are stopped, also after an error or Ctrl-C.
"""

import argparse
import collections
import hashlib
import os
import platform
import queue
import shutil
import signal
import socket
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import qmtest  # noqa: E402  (tests/support)
from retrieval_support import (bsmtp_messages, fetchmail_command, index_mailbox,  # noqa: E402
                               run_fetchmail, served_size)
from qmtest import ZONES, Workdir, stuffed  # noqa: E402  (tests/e2e)
from retrieve_bench import MAILBOX, PASSWORD, USER, BenchMail, timed  # noqa: E402

HOST = "127.0.0.1"
CASES = ("loop4k", "loop20k", "link20k", "idle")
# Messages, average size, through the proxy.
DEFAULTS = {"loop4k": (2000, 4000, False), "loop20k": (1000, 20000, False),
            "link20k": (200, 20000, True), "idle": (20000, 4000, True)}


# --- the link ------------------------------------------------------------------------------

class DelayProxy:
    """A TCP proxy from a loopback port to `target`, each chunk forwarded `delay` seconds after
    it arrived, in order, in both directions. `delay` may change between connections."""

    def __init__(self, target, delay):
        self.target = target
        self.delay = delay
        self.listener = socket.create_server((HOST, 0))
        # A short time-out lets the accepting thread see stop().
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.threads = []
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=10)
        self.listener.close()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(None)
            try:
                server = socket.create_connection(self.target)
            except OSError:
                client.close()
                continue
            # What the proxy forwards leaves at once: no coalescing by Nagle's algorithm on top
            # of the delay.
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._connection, args=(client, server, self.delay),
                             daemon=True).start()

    def _connection(self, client, server, delay):
        pumps = []
        for source, sink in ((client, server), (server, client)):
            chunks = queue.SimpleQueue()
            pumps.append(threading.Thread(target=self._read, args=(source, chunks, delay),
                                          daemon=True))
            pumps.append(threading.Thread(target=self._write, args=(sink, chunks),
                                          daemon=True))
        for pump in pumps:
            pump.start()
        for pump in pumps:
            pump.join()
        client.close()
        server.close()

    @staticmethod
    def _read(source, chunks, delay):
        while True:
            try:
                data = source.recv(1 << 18)
            except OSError:
                data = b""
            chunks.put((time.monotonic() + delay, data))
            if not data:
                return

    @staticmethod
    def _write(sink, chunks):
        broken = False
        while True:
            due, data = chunks.get()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            if broken:
                if not data:
                    return
                continue
            try:
                if data:
                    sink.sendall(data)
                else:
                    sink.shutdown(socket.SHUT_WR)
                    return
            except OSError:
                # The peer is gone: the rest is read and dropped until the other end closes.
                broken = True


def capa_round_trips(address, count=15):
    """(median seconds of a CAPA round trip to address, the CAPA answer)."""
    with socket.create_connection(address, timeout=30) as conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = conn.makefile("rb")
        reader.readline()
        times = []
        answer = []
        for _ in range(count):
            started = time.perf_counter()
            conn.sendall(b"CAPA\r\n")
            answer = []
            while True:
                line = reader.readline()
                if not line or line == b".\r\n":
                    break
                answer.append(line.rstrip(b"\r\n").decode("ascii", "replace"))
            times.append(time.perf_counter() - started)
        conn.sendall(b"QUIT\r\n")
        reader.readline()
    return statistics.median(times), answer


# --- the two sides -------------------------------------------------------------------------

class Blocklists:
    """What the program's blocklist look-ups go to: dnsmasq, answering the four test zones, all
    switched off when `kind` is `off`."""

    def __init__(self, scratch, kind, mail):
        self.kind = kind
        self.server = qmtest.Dnsmasq(scratch, ZONES, {host + ZONES[0]: "127.0.0.2"
                                                      for host in mail.listed})
        self.port = self.server.port

    def queries(self):
        return len(self.server.queries())

    def set_up(self, work):
        if self.kind == "off":
            for i in range(4):
                work.set_setting("Zone%d" % i, "")

    def stop(self):
        self.server.stop()


def new_workdir(program, path, dns, mail, port):
    work = Workdir(path, program, dns.port, server_timeout=120)
    dns.set_up(work)
    for address in mail.friends:
        work.run("friend", "add", address)
    for address in mail.bad:
        work.run("bad", "add", address)
    # The dustbox keeps every message: its default limit (100) would delete the oldest for
    # good once bad mail fills it, and the check would miss them.
    work.add_mailbox(MAILBOX, port, "keep", password=PASSWORD, limitDustbox=0)
    return work


def stored_digests(work):
    stored = collections.Counter()
    problems = []
    for name in (MAILBOX + ".mbx", MAILBOX + "_dustbox.mbx"):
        messages, tail = qmtest.split_mbx(work.read(name))
        if tail:
            problems.append("%s does not end with a complete message" % name)
        stored.update(hashlib.sha256(m).digest() for m in messages)
    return stored, problems


def ours_once(program, work, dns):
    """One `retrieve` in `work`; returns (wall, CPU, DNS queries, problems)."""
    before = dns.queries()
    done, wall, cpu = timed([program, "--workdir", work.path, "retrieve", MAILBOX],
                            timeout=7200)
    problems = []
    if done.returncode != 0:
        problems.append("retrieve exited with %d: %s" % (
            done.returncode, done.stderr.decode("utf-8", "replace")[-2000:]))
    return wall, cpu, dns.queries() - before, problems


def ours_fresh(program, scratch, dns, mail, port, expected):
    """A retrieve in a fresh working directory; checked against `expected` when given."""
    work = new_workdir(program, os.path.join(scratch, "work"), dns, mail, port)
    try:
        wall, cpu, queries, problems = ours_once(program, work, dns)
        if not problems and expected is not None:
            stored, problems = stored_digests(work)
            if stored != expected:
                problems.append("ours: the stored messages differ from the served ones "
                                "(%d stored, %d served)" % (sum(stored.values()),
                                                            sum(expected.values())))
        return wall, cpu, queries, problems
    finally:
        shutil.rmtree(work.path, ignore_errors=True)


def fetchmail_once(scratch, port, fetch_all, fastuidl=0, expect=None):
    """One fetchmail run; returns (wall, CPU, problems). `expect`: the messages it must write.
    The idfile stays (the idle case needs it), the BSMTP file goes."""
    out = os.path.join(scratch, "fetched.bsmtp")
    done, wall, cpu = run_fetchmail(scratch, fetchmail_command(
        scratch, port, USER, PASSWORD, out, os.path.join(scratch, "fetchids"), fetch_all,
        fastuidl))
    problems = []
    # 1: no new mail, which is what a second run over known mail finds.
    if done.returncode not in ((0,) if fetch_all or expect else (0, 1)):
        problems.append("fetchmail exited with %d: %s" % (
            done.returncode, done.stderr.decode("utf-8", "replace")[-2000:]))
    elif expect is not None and bsmtp_messages(out) != expect:
        problems.append("fetchmail wrote %d messages, not %d" % (bsmtp_messages(out), expect))
    if os.path.exists(out):
        os.unlink(out)
    return wall, cpu, problems


# --- the cases -----------------------------------------------------------------------------

class Case:
    """One case's mail on its own Dovecot (and proxy): set up, measured, stopped."""

    def __init__(self, args, name, scratch, dns_kind):
        self.name = name
        self.count, self.size, self.linked = (getattr(args, name), DEFAULTS[name][1],
                                              DEFAULTS[name][2])
        self.dir = os.path.join(scratch, name)
        os.makedirs(self.dir)
        self.server = self.proxy = self.dns = None
        started = time.perf_counter()
        self.mail = BenchMail(args.seed, self.size, args.hosts)
        messages = [self.mail.message(i) for i in range(self.count)]
        self.served_bytes = sum(served_size(m) for m in messages)
        self.expected = collections.Counter(hashlib.sha256(stuffed(m)).digest()
                                            for m in messages)
        maildir = os.path.join(self.dir, "Maildir")
        qmtest.fill_maildir(maildir, messages, lf=True)
        del messages
        print("%s: %d messages generated and delivered in %.1f s"
              % (name, self.count, time.perf_counter() - started), flush=True)
        self.dns = Blocklists(self.dir, dns_kind, self.mail)
        # The server copies are kept; without this Dovecot would mark every retrieved message
        # seen and rename its file at QUIT.
        self.server = qmtest.Dovecot(self.dir, qmtest.free_port(), USER, PASSWORD, maildir,
                                     settings={"pop3_no_flag_updates": "yes"})
        self.server.start()
        index_mailbox(self.server, USER, PASSWORD, self.count, self.served_bytes,
                      args.repetitions)
        self.port = self.server.port
        if self.linked:
            self.proxy = DelayProxy(self.server.address, args.delay / 1000)
            self.port = self.proxy.port

    def stop(self):
        for part in (self.proxy, self.server, self.dns):
            if part is not None:
                part.stop()


def measure_first_runs(args, program, case):
    """Ours and fetchmail each fetching the whole mailbox, alternating who goes first."""
    results = {"ours": [], "fetchmail": []}
    problems = []
    for rep in range(args.repetitions):
        check = rep == 0
        for side in (("ours", "fetchmail") if rep % 2 == 0 else ("fetchmail", "ours")):
            if side == "ours":
                wall, cpu, queries, found = ours_fresh(
                    program, case.dir, case.dns, case.mail, case.port,
                    case.expected if check else None)
            else:
                wall, cpu, found = fetchmail_once(case.dir, case.port, True,
                                                  expect=case.count if check else None)
                queries = None
            problems += found
            results[side].append((wall, cpu, queries))
        print("  repetition %d: ours %.2f s, fetchmail %.2f s"
              % (rep + 1, results["ours"][-1][0], results["fetchmail"][-1][0]), flush=True)
        if problems:
            break
    return results, problems


def measure_second_runs(args, program, case):
    """A first full run of each side without delay (not timed), then their runs over the
    delaying link that find nothing new."""
    delay = case.proxy.delay
    case.proxy.delay = 0
    problems = []
    work = new_workdir(program, os.path.join(case.dir, "work"), case.dns, case.mail, case.port)
    wall, _, _, found = ours_once(program, work, case.dns)
    problems += found
    print("  first runs without delay: ours %.1f s" % wall, end="", flush=True)
    if not found:
        stored, found = stored_digests(work)
        if stored != case.expected:
            found.append("ours: the first run stored %d messages of %d"
                         % (sum(stored.values()), case.count))
        problems += found
    wall, _, found = fetchmail_once(case.dir, case.port, False, expect=case.count)
    print(", fetchmail %.1f s" % wall, flush=True)
    problems += found
    case.proxy.delay = delay
    sides = ("ours", "fetchmail --fastuidl 0", "fetchmail --fastuidl 1")
    results = {side: [] for side in sides}
    for rep in range(args.repetitions if not problems else 0):
        order = sides[rep % 3:] + sides[:rep % 3]
        for side in order:
            if side == "ours":
                mbx = os.path.join(work.path, MAILBOX + ".mbx")
                size = os.path.getsize(mbx)
                wall, cpu, queries, found = ours_once(program, work, case.dns)
                if not found and os.path.getsize(mbx) != size:
                    found.append("ours: a second run over known mail stored something")
            else:
                wall, cpu, found = fetchmail_once(case.dir, case.port, False,
                                                  fastuidl=int(side[-1]), expect=0)
                queries = None
            problems += found
            results[side].append((wall, cpu, queries))
        print("  repetition %d: %s" % (rep + 1, ", ".join(
            "%s %.2f s" % (side, results[side][-1][0]) for side in sides)), flush=True)
        if problems:
            break
    shutil.rmtree(work.path, ignore_errors=True)
    return results, problems


def report(case, results):
    print()
    print("%s: %d messages, %.1f MB as served (average %.1f KB)%s; medians of %d runs"
          % (case.name, case.count, case.served_bytes / 1e6, case.served_bytes / case.count / 1e3,
             ", through the proxy" if case.linked else ", loopback", len(results["ours"])))
    header = "  %-24s %8s %10s %7s %7s %11s %6s" % ("", "wall s", "messages/s", "MB/s", "CPU s",
                                                   "CPU ms/msg", "DNS q")
    print(header)
    idle = case.name == "idle"
    medians = {}
    for side, runs in results.items():
        wall = statistics.median(r[0] for r in runs)
        cpu = statistics.median(r[1] for r in runs)
        medians[side] = wall
        queries = [r[2] for r in runs if r[2] is not None]
        print("  %-24s %8.3f %10s %7s %7.2f %11.3f %6s"
              % (side, wall, "-" if idle else "%.0f" % (case.count / wall),
                 "-" if idle else "%.1f" % (case.served_bytes / wall / 1e6), cpu,
                 cpu / case.count * 1e3, max(queries) if queries else "-"))
    for side in results:
        if side != "ours":
            print("  ratio ours/%s: %.3g (above 1: ours is faster)"
                  % (side, medians[side] / medians["ours"]))
    print("  all runs (wall s / CPU s): " + "; ".join(
        "%s %s" % (side, " ".join("%.2f/%.2f" % r[:2] for r in runs))
        for side, runs in results.items()))
    if idle:
        print("  our second run: %.3f s (target: under 1 s)" % medians["ours"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("program", help="path to qm_mailfilter")
    parser.add_argument("--cases", default=",".join(CASES),
                        help="comma-separated, of %s (default all)" % ", ".join(CASES))
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--delay", type=float, default=15.0,
                        help="one-way delay of the proxy in ms (default 15: 30 ms round trip)")
    parser.add_argument("--dns", choices=("off", "dnsmasq"), default="off")
    parser.add_argument("--hosts", type=int, default=300,
                        help="link hosts in the pool (default 300; 0: every one new)")
    parser.add_argument("--seed", type=int, default=20240604)
    for name in CASES:
        parser.add_argument("--" + name, type=int, default=DEFAULTS[name][0], metavar="N",
                            help="messages of the %s case (default %d)"
                            % (name, DEFAULTS[name][0]))
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        parser.error("not an executable: %s" % program)
    cases = [c for c in args.cases.split(",") if c]
    unknown = [c for c in cases if c not in CASES]
    if unknown or not cases:
        parser.error("unknown case: %s" % ", ".join(unknown))
    missing = [name for name, there in (("dovecot", qmtest.available()),
                                        ("fetchmail", shutil.which("fetchmail")),
                                        ("dnsmasq", shutil.which("dnsmasq"))) if not there]
    if missing:
        parser.error("not installed: " + ", ".join(missing))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    scratch = tempfile.mkdtemp(prefix="qm_link_bench_")
    # Dovecot's users pass through it to their case's directory (see tests/support/qmtest.py).
    os.chmod(scratch, 0o711)
    loads = [os.getloadavg()]
    problems = []
    reports = []
    try:
        for name in cases:
            case = Case(args, name, scratch, args.dns)
            try:
                if case.linked:
                    direct, capa = capa_round_trips(case.server.address)
                    linked, _ = capa_round_trips(("127.0.0.1", case.proxy.port))
                    print("  round trip of a CAPA: %.2f ms through the proxy, %.2f ms straight "
                          "to Dovecot; Dovecot's CAPA: %s"
                          % (linked * 1e3, direct * 1e3, " ".join(capa[1:])), flush=True)
                measure = measure_second_runs if name == "idle" else measure_first_runs
                results, found = measure(args, program, case)
                problems += ["%s: %s" % (name, p) for p in found]
                if not found:
                    reports.append((case, results))
                    report(case, results)
                print(flush=True)
            finally:
                case.stop()
                shutil.rmtree(case.dir, ignore_errors=True)
        loads.append(os.getloadavg())
        if problems:
            print("CHECK FAILED:\n  " + "\n  ".join(problems))
            return 1
        print("checked: every first run stored every message as served, fetchmail wrote them "
              "all, and second runs fetched nothing.")
        print("blocklists: %s" % ("switched off (no DNS in the figures)" if args.dns == "off"
                                  else "four test zones answered by dnsmasq"))
        print("load average before %.2f %.2f %.2f, after %.2f %.2f %.2f; %d CPUs; %s; Python %s"
              % (loads[0] + loads[1] + (os.cpu_count() or 0, platform.platform(),
                                        platform.python_version())))
        return 0
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
