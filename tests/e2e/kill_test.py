#!/usr/bin/env python3
"""Kills the program with SIGKILL at random instants while it changes several files at once, and
checks after each kill that its working directory loads as the state before the operation or the
state after it: every message once, each with its own marks, and server lists that agree.

Usage: kill_test.py PATH_TO_QM_MAILFILTER [--kills N] [--retrieve-kills N] [--ops NAME,...]
                    [--seed S] [--budget SECONDS] [--variants N] [--keep DIR] [--dry]

Operations, on a mailbox of 120 messages (a few KB to a few hundred KB) and a dustbox of 60:
`mail delete`, `mail restore`, `mail delete --purge`, `mail delete --dustbox`, a mail client's
DELE and QUIT at `--headless` (killed from just before QUIT to a little after its answer), and
the retrieval of 60 messages from Dovecot into a full dustbox by `retrieve` or `--headless`,
after which one more `retrieve` runs to the end and each message is checked. Each argument set
("variant") first runs twice without a kill, giving "after"; a kill lands at a delay drawn over
the variant's measured duration, chosen by the seed and the kill's number only. Prints per
operation the kills, the faults and how the kills ended; exits 1 on any fault.
"""

import argparse
import math
import os
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))

import qmtest  # noqa: E402
from qmtest import Stored  # noqa: E402

NAME = "box"
LOCAL_USER, LOCAL_PASSWORD = "hanako", "local-secret"
REMOTE_USER, REMOTE_PASSWORD = "taro", "remote-secret"
OTHER_SENDER = "Jiro <jiro@other-sender.test>"
BAD_SENDER = "promo@bad-sender.test"
OPS = ["delete", "restore", "purge", "dustbox-purge", "quit", "retrieve"]
# Per operation: the deletion rule, the box whose numbers are given, the command's arguments.
CLI_OPS = {
    "delete": ("dustboxed", "mailbox", lambda ns: ["mail", "delete", NAME] + ns),
    "restore": ("dustboxed", "dustbox", lambda ns: ["mail", "restore", NAME] + ns),
    "purge": ("keep", "mailbox", lambda ns: ["mail", "delete", NAME] + ns + ["--purge"]),
    "dustbox-purge": ("purged", "dustbox", lambda ns: ["mail", "delete", NAME] + ns +
                      ["--dustbox"]),
}
DUSTBOX_LIMIT = 10  # retrieve: the dustbox starts full
KEEP_FAULTS = 10  # --keep: the directories of the first failing kills of each operation


class Fault(Exception):
    """The program misbehaved where no kill could explain it."""


# ---------------------------------------------------------------------------------------------
# The mail
# ---------------------------------------------------------------------------------------------

def compose(tag, n, size, sender=OTHER_SENDER):
    """A message in ordinary form (LF line ends) of about `size` bytes, with lines the store
    must dot-stuff."""
    head = ("Received: from mail.sender.test (mail.sender.test [198.51.100.23])\n"
            "\tby mx.example.test; Tue, 4 Jun 2024 10:%02d:%02d +0900\n"
            "Message-ID: <%s-%d@kill.test>\nDate: Tue, 4 Jun 2024 10:20:25 +0900\n"
            "From: %s\nTo: hanako@example.test\nSubject: %s %d\n\n"
            % (n // 60 % 60, n % 60, tag, n, sender, tag, n)).encode()
    lines, total, i = [], len(head), 0
    while total < size:
        line = ("%s%s %d line %d " % ("." if i % 17 == 3 else "", tag, n, i)).ljust(72, "x")
        lines.append(line.encode() + b"\n")
        total += len(lines[-1])
        i += 1
    return head + b"".join(lines)


def random_size(rng, low=2000, high=300000):
    return int(math.exp(rng.uniform(math.log(low), math.log(high))))


def random_box(rng, tag, count, uid_share=0.7):
    """`count` stored messages with varied sizes and marks."""
    box = []
    for n in range(count):
        flags = qmtest.flags_of(hidden=rng.random() < 0.2, opened=rng.random() < 0.5,
                                verdict=rng.choice([-1, -1, 0, 1, 2]), reason=rng.randrange(1, 6))
        uidl = "%s-uid-%d" % (tag, n) if rng.random() < uid_share else ""
        box.append(Stored(qmtest.stuffed(compose(tag, n, random_size(rng))), flags, uidl))
    return box


def new_mailbox(rng, rule, main=120, dustbox=60, **settings):
    return {"name": NAME, "messages": random_box(rng, "m", main),
            "dustbox": random_box(rng, "d", dustbox),
            "settings": dict(dict(localUser=LOCAL_USER, localPassword=LOCAL_PASSWORD,
                                  serverDeletion=rule, timerInterval=0, keepFriendOnServer=1,
                                  limitDustbox=0), **settings),
            "deleted_here": [("gone-1", "<gone-1@kill.test>")],
            "pending": [("gone-2", "<gone-2@kill.test>")]}


# ---------------------------------------------------------------------------------------------
# Running and checking
# ---------------------------------------------------------------------------------------------

def sleep_until(instant):
    while True:
        left = instant - time.monotonic()
        if left <= 0:
            return
        time.sleep(min(left, 0.05))


def set_port(work):
    """Gives the copy's local server a port of its own; returns it."""
    port = qmtest.free_port()
    path = os.path.join(work, "qm_mailfilter.ini")
    with open(path, "rb") as f:
        text = f.read()
    with open(path, "wb") as f:
        f.write(re.sub(rb"(?m)^Port=\d+", b"Port=%d" % port, text))
    return port


class PopClient:
    """A mail client speaking POP3 line by line to the local server."""

    def __init__(self, port):
        self.sock = socket.create_connection((qmtest.HOST, port), timeout=30)
        self.file = self.sock.makefile("rb")
        self.expect(self.file.readline())

    def expect(self, line, want=b"+OK"):
        if not line.startswith(want):
            raise Fault("the local server answered %r" % line)

    def command(self, line):
        self.sock.sendall(line.encode() + b"\r\n")
        self.expect(self.file.readline())

    def close(self):
        self.file.close()
        self.sock.close()


class Sweep:
    """The kills of every operation; one Dovecot serves all retrievals.

    An operation's run function takes (work, variant, delay): with delay None it runs the
    variant to the end and returns its duration; otherwise it kills the program `delay`
    seconds after the start and returns whether it was still running then.
    """

    def __init__(self, program, scratch, seed, keep=None, dry=False, variants=8):
        self.program, self.scratch, self.seed = program, scratch, seed
        self.keep, self.dry, self.variants = keep, dry, variants
        self.remote = None

    # --- directories ------------------------------------------------------------------------

    def load(self, work):
        """Loads (and so recovers) every mailbox, then dumps the files."""
        try:
            qmtest.run(self.program, work, "mailbox", "list")
        except AssertionError as failure:
            raise Fault("loading failed: %s" % failure)
        return qmtest.dump_workdir(work)

    def copy(self, initial, label):
        work = os.path.join(self.scratch, label)
        shutil.rmtree(work, ignore_errors=True)
        shutil.copytree(initial, work)
        return work

    def reference(self, initial, run, variant):
        """(longest duration, state after) of two uninterrupted runs, which must agree."""
        durations, afters = [], []
        for _ in range(2):
            work = self.copy(initial, "reference")
            durations.append(run(work, variant, None))
            afters.append(self.load(work))
        if qmtest.logical(afters[0]) != qmtest.logical(afters[1]):
            raise Fault("two uninterrupted runs of %s left different states" % (variant,))
        return max(durations), afters[0]

    def kill(self, initial, run, variant, delay):
        """(work, killed): a fresh copy of `initial` on which the variant ran until killed
        (in a dry sweep: to the end). With --keep, the files as the kill left them are kept
        aside until the verdict."""
        work = self.copy(initial, "killed")
        killed = False
        if self.dry:
            run(work, variant, None)
        else:
            killed = run(work, variant, delay)
        if self.keep:
            shutil.rmtree(work + "-raw", ignore_errors=True)
            shutil.copytree(work, work + "-raw")
        return work, killed

    def record(self, result, label, work, killed, ending, problems):
        result.add(ending, problems, label, killed)
        if problems and self.keep and len(result.faults) <= KEEP_FAULTS:
            target = os.path.join(self.keep, "%s-%d" % (result.op, result.kills - 1))
            shutil.rmtree(target, ignore_errors=True)
            shutil.copytree(work, target)
            shutil.rmtree(target + "-raw", ignore_errors=True)
            shutil.move(work + "-raw", target + "-raw")

    # --- the runs ---------------------------------------------------------------------------

    def run_cli_op(self, work, args, delay):
        start = time.monotonic()
        process = subprocess.Popen([self.program, "--workdir", work] + args,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        if delay is None:
            err = process.communicate()[1]
            if process.returncode != 0:
                raise Fault("%s exited with %d: %s" % (" ".join(args), process.returncode,
                                                       err.decode("utf-8", "replace")))
            return time.monotonic() - start
        sleep_until(start + delay)
        killed = process.poll() is None
        process.kill()
        process.communicate()
        return killed

    def run_quit(self, work, numbers, delay):
        """Login, DELE, QUIT; `delay` counts from QUIT (negative: killed before QUIT). The
        duration is the time QUIT took to be answered."""
        port = set_port(work)
        headless = qmtest.HeadlessProgram(self.program, work, port)
        try:
            client = PopClient(port)
            client.command("USER " + LOCAL_USER)
            client.command("PASS " + LOCAL_PASSWORD)
            for k in numbers:
                client.command("DELE %d" % k)
            start = time.monotonic()
            if delay is None or delay >= 0:
                client.sock.sendall(b"QUIT\r\n")
            if delay is not None:
                sleep_until(start + delay)
                killed = headless.process.poll() is None
                headless.close()
                client.close()
                return killed
            client.expect(client.file.readline())
            answered = time.monotonic() - start
            client.close()
        except BaseException:
            headless.close()
            raise
        self.terminate(headless)
        return answered

    def run_retrieval(self, work, kind, delay):
        """`retrieve`, or `--headless` with StartupRetrieve=1 (run to the end, it gets its idle
        step's second to trim and save, then SIGTERM)."""
        rule, child = kind
        if child == "retrieve":
            return self.run_cli_op(work, ["retrieve", NAME], delay)
        path = os.path.join(work, "qm_mailfilter.ini")
        with open(path, "rb") as f:
            text = f.read()
        with open(path, "wb") as f:
            f.write(text.replace(b"StartupRetrieve=0", b"StartupRetrieve=1"))
        start = time.monotonic()
        sessions = self.remote.sessions_ended()
        headless = qmtest.HeadlessProgram(self.program, work, set_port(work))
        if delay is not None:
            sleep_until(start + delay)
            killed = headless.process.poll() is None
            headless.close()
            return killed
        try:
            self.remote.wait_idle(sessions + 1)
        except BaseException:
            headless.close()
            raise
        ended = time.monotonic() - start
        time.sleep(1.5)
        self.terminate(headless)
        return ended + 1.2

    @staticmethod
    def terminate(headless):
        """Ends an uninterrupted headless run with SIGTERM, which must exit 0."""
        code, _ = headless.terminate()
        text = headless.text()
        headless.close()
        if code != 0:
            raise Fault("the headless program ended with %s after SIGTERM: %s" % (code, text))

    # --- the operations ---------------------------------------------------------------------

    def sweep(self, op, kills, deadline):
        rng = random.Random("%s:%s" % (self.seed, op))
        if op == "retrieve":
            return self.sweep_retrieve(rng, kills, deadline)
        rule = CLI_OPS[op][0] if op in CLI_OPS else "keep"
        initial = os.path.join(self.scratch, op + "-initial")
        qmtest.write_workdir(initial, qmtest.free_port(), [new_mailbox(rng, rule)],
                             StartupRetrieve=0)
        loading = time.monotonic()
        before = self.load(self.copy(initial, "before"))
        loading = time.monotonic() - loading
        own = {m.id: m for _, _, m in places(before)}
        if op == "quit":
            count = sum(1 for m in before["boxes"][NAME]["mailbox"]
                        if not m.flags & qmtest.HIDDEN)
            run = self.run_quit
        else:
            count = len(before["boxes"][NAME][CLI_OPS[op][1]])
            run = lambda work, ns, delay: self.run_cli_op(  # noqa: E731
                work, CLI_OPS[op][2]([str(n) for n in ns]), delay)
        refs = []
        for _ in range(self.variants):
            numbers = tuple(sorted(rng.sample(range(1, count + 1), rng.randint(1, 5))))
            refs.append((numbers,) + self.reference(initial, run, numbers))
            if qmtest.logical(refs[-1][2]) == qmtest.logical(before):
                raise Fault("%s %s changed nothing" % (op, numbers))

        result = Result(op)
        for i in range(kills):
            if time.monotonic() > deadline:
                break
            krng = random.Random("%s:%s:%d" % (self.seed, op, i))
            numbers, duration, after = refs[krng.randrange(len(refs))]
            if op == "quit":
                # From just before QUIT to a while after its answer: the marks are saved once
                # the connection has ended.
                window = 2 * duration + 0.05
                delay = krng.uniform(-0.1 * window, window)
                label = "kill %d: %s at %+.3f s after QUIT (answered in %.3f s)"
            else:
                # The command first loads the mailbox; half of that time cannot reach the
                # commit and is left out.
                delay = krng.uniform(min(loading, duration) / 2, duration)
                label = "kill %d: %s at %.3f s of %.3f s"
            label %= (i, " ".join(map(str, numbers)), delay, duration)
            work, killed = self.kill(initial, run, numbers, delay)
            try:
                state = self.load(work)
                result.notice(state)
                ending, problems = judge(state, before, after, own)
            except Fault as fault:
                ending, problems = None, [str(fault)]
            self.record(result, label, work, killed, ending, problems)
        return result

    def sweep_retrieve(self, rng, kills, deadline):
        if self.remote is None:
            self.remote = Remote(os.path.join(self.scratch, "remote"))
        mail = [compose("new", n, random_size(rng, 2000, 150000),
                        "Promotions <%s>" % BAD_SENDER if n % 3 == 1 else OTHER_SENDER)
                for n in range(60)]
        self.remote.fill(mail)
        uid_of = {"<new-%d@kill.test>" % n: uid for n, uid in enumerate(self.remote.uids)}
        kinds = [(rule, child) for rule in ("retrieved", "keep")
                 for child in ("retrieve", "headless")]
        refs = {}
        for kind in kinds:
            rule = kind[0]
            initial = os.path.join(self.scratch, "retrieve-%s-initial" % rule)
            if not os.path.exists(initial):
                box = new_mailbox(rng, rule, main=10, dustbox=DUSTBOX_LIMIT, hideBad=1,
                                    limitDustbox=1, dustboxLimit=DUSTBOX_LIMIT,
                                    server=qmtest.HOST, port=self.remote.port,
                                    user=REMOTE_USER, password=REMOTE_PASSWORD)
                box["deleted_here"] = box["pending"] = []
                qmtest.write_workdir(initial, qmtest.free_port(), [box], bads=[BAD_SENDER],
                                     StartupRetrieve=0, ServerTimeout=20)
            before = self.load(self.copy(initial, "before"))
            refs[kind] = (initial, before) + self.reference(
                initial, lambda *a: (self.remote.fill(mail), self.run_retrieval(*a))[1], kind)
        # The marks each message should have: from a run that keeps every message, as trimming
        # (which the running program and `retrieve` both do) leaves out different ones each time.
        marks = {}
        for rule in ("retrieved", "keep"):
            work = self.copy(refs[rule, "retrieve"][0], "marks")
            qmtest.run(self.program, work, "mailbox", "set", NAME, "limitDustbox=0")
            self.remote.fill(mail)
            self.run_retrieval(work, (rule, "retrieve"), None)
            self.remote.wait_idle()
            marks[rule] = self.load(work)

        result = Result("retrieve")
        for i in range(kills):
            if time.monotonic() > deadline:
                break
            krng = random.Random("%s:retrieve:%d" % (self.seed, i))
            kind = kinds[i % len(kinds)]
            initial, before, duration, after = refs[kind]
            delay = krng.uniform(0, duration)
            self.remote.fill(mail)
            work, killed = self.kill(initial, self.run_retrieval, kind, delay)
            self.remote.wait_idle()
            try:
                state = self.load(work)
                result.notice(state)
                stage = ("before" if qmtest.logical(state) == qmtest.logical(before) else
                         "after" if qmtest.logical(state) == qmtest.logical(after) else
                         "part stored")
                try:
                    qmtest.run(self.program, work, "retrieve", NAME, timeout=300)
                except AssertionError as failure:
                    raise Fault("the retrieval after the kill failed: %s" % failure)
                finally:
                    self.remote.wait_idle()
                problems = judge_retrieval(self.load(work), before, marks[kind[0]], kind[0], uid_of,
                                           self.remote.on_server())
            except Fault as fault:
                stage, problems = None, [str(fault)]
            self.record(result, "kill %d: %s by %s at %.3f s of %.3f s"
                        % ((i,) + kind + (delay, duration)), work, killed,
                        "%s (%s, %s)" % ((stage,) + kind), problems)
        return result


class Remote:
    """One Dovecot for the whole sweep; its maildir is filled afresh before each run."""

    def __init__(self, scratch):
        os.makedirs(scratch, exist_ok=True)
        os.chmod(scratch, 0o711)
        self.maildir = os.path.join(scratch, "Maildir")
        self.server = qmtest.Dovecot(scratch, qmtest.free_port(), REMOTE_USER,
                                     REMOTE_PASSWORD, self.maildir,
                                     settings={"pop3_no_flag_updates": "yes"})
        self.server.start()
        self.port = self.server.port
        self.uids = []

    def fill(self, messages):
        self.wait_idle()
        shutil.rmtree(self.maildir, ignore_errors=True)
        self.uids = qmtest.fill_maildir(self.maildir, messages, owner=self.server.mail_owner)
        self.uids = [name.split(":")[0] for name in self.uids]

    def sessions_ended(self):
        return len(re.findall(r"pop3\(%s\)[^\n]*Disconnected" % REMOTE_USER, self.server.log()))

    def mail_processes(self):
        """How many of Dovecot's pop3 processes (one per session) are running."""
        count = 0
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open("/proc/%s/stat" % pid) as f:
                    stat = f.read()
            except OSError:
                continue
            name, fields = stat[stat.index("(") + 1:stat.rindex(")")], stat.rsplit(")", 1)[1]
            count += name == "pop3" and int(fields.split()[3]) == self.server.process.pid
        return count

    def wait_idle(self, ended=None, timeout=30.0):
        """Until `ended` sessions (default: every session that logged in) have ended and no
        Dovecot process works on the maildir any more."""
        deadline = time.monotonic() + timeout
        while True:
            log = self.server.log()
            logins = len(re.findall(r"pop3-login: Login: user=<%s>" % REMOTE_USER, log))
            if (self.sessions_ended() >= (logins if ended is None else ended) and
                    not self.mail_processes()):
                return
            if time.monotonic() > deadline:
                raise Fault("Dovecot sessions did not end within %.0f s" % timeout)
            time.sleep(0.01)

    def on_server(self):
        names = set()
        for sub in ("cur", "new"):
            names.update(n.split(":")[0] for n in os.listdir(os.path.join(self.maildir, sub)))
        return names

    def stop(self):
        self.server.stop()


# ---------------------------------------------------------------------------------------------
# Judging a state
# ---------------------------------------------------------------------------------------------

def places(state):
    """(place, number, message) of every stored message, "mailbox" before "dustbox"."""
    box = state["boxes"][NAME]
    return [(place, k, m) for place in ("mailbox", "dustbox")
            for k, m in enumerate(box[place], 1)]


class Problems:
    """What is wrong with a state, by kind, each kind with its count and first example."""

    ORDER = ["stored twice", "lost", "foreign bytes", "lost its marks", "carries other marks",
             "unique id tracked wrongly", "server list disagrees", "neither before nor after"]

    def __init__(self):
        self.kinds = {}

    def add(self, kind, example):
        self.kinds.setdefault(kind, []).append(example)

    def __bool__(self):
        return bool(self.kinds)

    def lines(self):
        return ["%s: %d (%s)" % (kind, len(self.kinds[kind]), self.kinds[kind][0])
                for kind in sorted(self.kinds, key=self.ORDER.index)]


def check_marks(state, own, problems):
    """Messages stored twice, unknown bytes, and marks that are not the message's own; returns
    where each Message-ID is stored."""
    seen, owners = {}, {}
    for mid, m in own.items():
        owners.setdefault((m.flags, m.uidl), []).append(mid)
    for place, k, m in places(state):
        seen.setdefault(m.id, []).append("%s %d" % (place, k))
        mine = own.get(m.id)
        if mine is None or mine.digest != m.digest:
            problems.add("foreign bytes", "%s %d: %s" % (place, k, m.id))
        elif (m.flags, m.uidl) == (qmtest.FRESH_FLAGS, "") != (mine.flags, mine.uidl):
            problems.add("lost its marks", "%s in %s %d" % (m.id, place, k))
        elif m.flags != mine.flags or m.uidl not in (mine.uidl, ""):
            other = owners.get((m.flags, m.uidl), [])
            problems.add("carries other marks", "%s in %s %d has %#x %r%s, its own %#x %r"
                         % (m.id, place, k, m.flags, m.uidl,
                            " like " + other[0] if len(other) == 1 else "", mine.flags,
                            mine.uidl))
    for mid, at in seen.items():
        if len(at) > 1:
            problems.add("stored twice", "%s in %s" % (mid, " and ".join(at)))
    return seen


def tracked_uids(state):
    """Counter of every unique id in a mark or a server list."""
    box = state["boxes"][NAME]
    uids = Counter(m.uidl for _, _, m in places(state) if m.uidl)
    uids.update(uid for uid, _ in box["deleted_here"] + box["pending"])
    return uids


def judge(state, before, after, own):
    """("before" or "after", []) when the state is one of them, else (None, what is wrong)."""
    for name, reference in (("before", before), ("after", after)):
        if qmtest.logical(state) == qmtest.logical(reference):
            return name, []
    problems = Problems()
    seen = check_marks(state, own, problems)
    kept = {m.id for _, _, m in places(before)} & {m.id for _, _, m in places(after)}
    for mid in sorted(kept - set(seen)):
        problems.add("lost", mid)
    tracked = tracked_uids(state)
    for uid in sorted(tracked_uids(before)):
        if tracked[uid] != 1:
            problems.add("unique id tracked wrongly", "%s %d times" % (uid, tracked[uid]))
    if not problems:
        box, was, will = (s["boxes"][NAME] for s in (state, before, after))
        problems.add("neither before nor after", ", ".join(
            "%s %d (before %d, after %d)" % (key, len(box[key]), len(was[key]), len(will[key]))
            for key in ("mailbox", "dustbox", "deleted_here", "pending")))
    return None, problems.lines()


def judge_retrieval(state, before, expected, rule, uid_of, on_server):
    """What is wrong after a killed retrieval and one more to the end: each server message
    stored once with the marks an uninterrupted run gives it, or trimmed out of a full dustbox
    (then its unique id is in a server list or its copy gone from the server); the messages of
    before kept (the dustbox's may be trimmed); no unique id both stored and listed; under
    `retrieved` no server copy left of a message stored."""
    own = {m.id: m for _, _, m in places(before) + places(expected)}
    where = {m.id: place for place, _, m in places(before) + places(expected)}
    problems = Problems()
    seen = check_marks(state, own, problems)
    box = state["boxes"][NAME]
    listed = {uid for uid, _ in box["deleted_here"] + box["pending"]}
    trimmed_ok = len(box["dustbox"]) >= DUSTBOX_LIMIT
    for mid, place in where.items():
        if mid in seen:
            continue
        uid = uid_of.get(mid)
        gone = uid is None or uid in listed or uid not in on_server
        if place != "dustbox" or not trimmed_ok or not gone:
            problems.add("lost", "%s (%s)" % (mid, "on the server, untracked" if not gone else
                                              "not trimmed"))
    # A listed unique id whose copy is gone is harmless: the next run drops it.
    for uid in sorted(listed & {m.uidl for _, _, m in places(state)}):
        problems.add("server list disagrees", "%s both stored and listed" % uid)
    if rule == "retrieved":
        # A complete run deletes the server copy of every message it has stored.
        for mid, uid in uid_of.items():
            if mid in seen and uid in on_server:
                problems.add("server list disagrees", "%s stored, its server copy left" % mid)
    return problems.lines()


class Result:
    """The kills of one operation: how they ended, the faults, what loading left behind."""

    def __init__(self, op):
        self.op, self.kills, self.endings, self.faults = op, 0, Counter(), []
        self.leftovers = Counter()

    def notice(self, state):
        """Files no mailbox owns and cut-off tails, after a load: not faults, but worth a
        look when they pile up."""
        self.leftovers.update(state["stray"])
        self.leftovers.update("tail of " + name for name in state["tails"])

    def add(self, ending, problems, label, killed):
        self.kills += 1
        if problems:
            self.faults.append("%s%s: %s" % (label, "" if killed else " (not killed)",
                                             "; ".join(problems)))
        else:
            self.endings[ending if killed else ending + ", not killed"] += 1

    def report(self):
        endings = ", ".join("%s %d" % item for item in sorted(self.endings.items()))
        print("%-14s %4d kills, %3d faults; %s" % (self.op, self.kills, len(self.faults),
                                                   endings), flush=True)
        if self.leftovers:
            print("    left after loading: " + ", ".join(
                "%s %d" % item for item in sorted(self.leftovers.items())), flush=True)
        for fault in self.faults:
            print("    " + fault, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("program")
    parser.add_argument("--kills", type=int, default=50, help="kills per operation")
    parser.add_argument("--retrieve-kills", type=int,
                        help="kills of the retrieval, which take longest (default: --kills)")
    parser.add_argument("--ops", default=",".join(OPS), help="comma-separated operations")
    parser.add_argument("--seed", default="1")
    parser.add_argument("--budget", type=float, default=None,
                        help="seconds for the whole sweep, shared by the operations")
    parser.add_argument("--variants", type=int, default=8,
                        help="argument sets per operation, each run twice uninterrupted")
    parser.add_argument("--keep", help="keep the directories of the first %d failing kills of "
                        "each operation here (DIR/OP-N checked, DIR/OP-N-raw as the kill left "
                        "it)" % KEEP_FAULTS)
    parser.add_argument("--dry", action="store_true",
                        help="run every operation to its end instead of killing it: checks the "
                        "harness, which must then find no fault")
    args = parser.parse_args()
    ops = args.ops.split(",")
    unknown = [op for op in ops if op not in OPS]
    if unknown:
        parser.error("unknown operation(s): %s" % ", ".join(unknown))
    if "retrieve" in ops and not qmtest.available():
        print("retrieve: skipped, dovecot is not installed (scripts/setup installs it)")
        ops.remove("retrieve")
    scratch = tempfile.mkdtemp(prefix="qm_kill_")
    os.chmod(scratch, 0o711)
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    sweep = Sweep(os.path.abspath(args.program), scratch, args.seed, args.keep, args.dry,
                  args.variants)
    faults = 0
    start = time.monotonic()
    try:
        for i, op in enumerate(ops):
            # A retrieval kill takes several times as long as the others: twice their share.
            weights = [2 if later == "retrieve" else 1 for later in ops[i:]]
            deadline = math.inf if args.budget is None else time.monotonic() + (
                args.budget - (time.monotonic() - start)) * weights[0] / sum(weights)
            try:
                kills = args.retrieve_kills if op == "retrieve" else None
                result = sweep.sweep(op, args.kills if kills is None else kills, deadline)
            except Fault as fault:
                print("%-14s fault without a kill: %s" % (op, fault), flush=True)
                faults += 1
                continue
            result.report()
            faults += len(result.faults)
    finally:
        if sweep.remote is not None:
            sweep.remote.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d faults in %.0f s" % (faults, time.monotonic() - start))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
