#!/usr/bin/env python3
"""SIGKILLs the program at random instants while it changes several files at once; after each
kill its working directory must load as the state before or after: every message once, with its
own marks, and server lists that agree (after a killed retrieval, once one more has run). The
operations: mail delete, restore, delete --purge, delete --dustbox, a client's DELE and QUIT, and
retrieving 60 messages from Dovecot into a full dustbox by `retrieve` or `--headless`.
"""

import argparse
import math
import os
import pathlib
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from collections import Counter, defaultdict

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import LOCAL_PASSWORD, LOCAL_USER, REMOTE_PASSWORD, REMOTE_USER, Stored  # noqa: E402

NAME, OTHER_SENDER, BAD_SENDER = "box", "Jiro <jiro@other-sender.test>", "promo@bad-sender.test"
# Per operation: the deletion rule, the box whose numbers are given, the verb and its option.
OPS = {"delete": ("dustboxed", "mailbox", "delete", []),
       "restore": ("dustboxed", "dustbox", "restore", []),
       "purge": ("keep", "mailbox", "delete", ["--purge"]),
       "dustbox-purge": ("purged", "dustbox", "delete", ["--dustbox"]),
       "quit": ("keep", "mailbox", None, None), "retrieve": None}
DUSTBOX_LIMIT = 10  # the retrieval starts with a full dustbox
ENDED = r"pop3\(%s\)[^\n]*Disconnected"  # in Dovecot's log


class Fault(Exception):
    pass


def compose(tag, n, size, sender=OTHER_SENDER):
    head = ("Received: from mail.sender.test (mail.sender.test [198.51.100.23])\n\tby mx.example."
            "test; Tue, 4 Jun 2024 10:%02d:%02d +0900\nMessage-ID: <%s-%d@kill.test>\nDate: Tue, 4"
            " Jun 2024 10:20:25 +0900\nFrom: %s\nTo: hanako@example.test\nSubject: %s %d\n\n"
            % (n // 60 % 60, n % 60, tag, n, sender, tag, n)).encode()
    lines, total = [], len(head)
    while total < size:
        lines.append(("%s%s %d line %d " % ("." if len(lines) % 17 == 3 else "", tag, n,
                                            len(lines))).ljust(72, "x").encode() + b"\n")
        total += len(lines[-1])
    return head + b"".join(lines)


def random_size(rng, low=2000, high=300000):
    return int(math.exp(rng.uniform(math.log(low), math.log(high))))


def new_mailbox(rng, rule, main=120, dustbox=60, **settings):
    def box(tag, count):
        return [Stored(qmtest.stuffed(compose(tag, n, random_size(rng))), qmtest.flags_of(
            hidden=rng.random() < 0.2, opened=rng.random() < 0.5, verdict=rng.choice(
                [-1, -1, 0, 1, 2]), reason=rng.randrange(1, 6)),
            "%s-uid-%d" % (tag, n) if rng.random() < 0.7 else "") for n in range(count)]
    return {"name": NAME, "messages": box("m", main), "dustbox": box("d", dustbox),
            "settings": dict(dict(localUser=LOCAL_USER, localPassword=LOCAL_PASSWORD,
                                  serverDeletion=rule, timerInterval=0, keepFriendOnServer=1,
                                  limitDustbox=0), **settings),
            "deleted_here": [("gone-1", "<gone-1@kill.test>")],
            "pending": [("gone-2", "<gone-2@kill.test>")]}


def set_key(work, key, value):
    path = pathlib.Path(work, "qm_mailfilter.ini")
    path.write_bytes(re.sub(rb"(?m)^%s=\d+" % key, b"%s=%d" % (key, value), path.read_bytes()))
    return value


def kill_at(process, instant):
    while time.monotonic() < instant:
        time.sleep(max(0.0, min(instant - time.monotonic(), 0.05)))  # the instant may pass meanwhile
    killed = process.poll() is None
    process.kill()
    process.communicate()
    return killed


def terminate(headless):
    code, _ = headless.terminate()
    if code != 0:
        raise Fault("the headless program ended with %s after SIGTERM: %s"
                    % (code, headless.text()))


class Remote:

    def __init__(self, scratch):
        os.makedirs(scratch, exist_ok=True)
        os.chmod(scratch, 0o711)
        self.maildir = os.path.join(scratch, "Maildir")
        self.server = qmtest.Dovecot(scratch, qmtest.free_port(), REMOTE_USER, REMOTE_PASSWORD,
                                     self.maildir, settings={"pop3_no_flag_updates": "yes"}).start()
        self.port, self.uids = self.server.port, []

    def fill(self, messages):
        self.wait_idle()
        shutil.rmtree(self.maildir, ignore_errors=True)
        self.uids = [name.split(":")[0] for name in qmtest.fill_maildir(
            self.maildir, messages, owner=self.server.mail_owner)]

    def count(self, pattern):
        return len(re.findall(pattern % REMOTE_USER, self.server.log()))

    def wait_idle(self, ended=None, timeout=30.0):
        """Until `ended` sessions (default: every one that logged in) have ended and no Dovecot
        process works on the maildir any more."""
        deadline = time.monotonic() + timeout
        while self.count(ENDED) < (ended or self.count(r"pop3-login: Login: user=<%s>")) or \
                subprocess.run(["pgrep", "-x", "-P", str(self.server.process.pid), "pop3"],
                               stdout=subprocess.DEVNULL).returncode == 0:
            if time.monotonic() > deadline:
                raise Fault("Dovecot sessions did not end within %.0f s" % timeout)
            time.sleep(0.01)

    def on_server(self):
        return {n.split(":")[0] for sub in ("cur", "new")
                for n in os.listdir(os.path.join(self.maildir, sub))}


def places(state):
    box = state["boxes"][NAME]
    return [(p, k, m) for p in ("mailbox", "dustbox") for k, m in enumerate(box[p], 1)]


def summary(problems):
    return ["%s: %d (%s)" % (kind, len(found), found[0]) for kind, found in problems.items()]


def check_marks(state, own, problems):
    """Messages stored twice, unknown bytes, marks not the message's own; where each is."""
    seen = {}
    for place, k, m in places(state):
        seen.setdefault(m.id, []).append("%s %d" % (place, k))
        mine = own.get(m.id)
        if mine is None or mine.digest != m.digest:
            problems["foreign bytes"].append("%s %d: %s" % (place, k, m.id))
        elif (m.flags, m.uidl) == (qmtest.FRESH_FLAGS, "") != (mine.flags, mine.uidl):
            problems["lost its marks"].append("%s in %s %d" % (m.id, place, k))
        elif m.flags != mine.flags or m.uidl not in (mine.uidl, ""):
            problems["carries other marks"].append("%s in %s %d has %#x %r, its own %#x %r" % (
                m.id, place, k, m.flags, m.uidl, mine.flags, mine.uidl))
    for mid, at in seen.items():
        if len(at) > 1:
            problems["stored twice"].append("%s in %s" % (mid, " and ".join(at)))
    return seen


def tracked_uids(state):
    box = state["boxes"][NAME]
    return Counter([m.uidl for _, _, m in places(state) if m.uidl] +
                   [uid for uid, _ in box["deleted_here"] + box["pending"]])


def judge(state, before, after, own):
    """("before" or "after", []) when the state is one of them, else (None, what is wrong)."""
    for name, reference in (("before", before), ("after", after)):
        if state["boxes"] == reference["boxes"]:
            return name, []
    problems = defaultdict(list)
    seen = check_marks(state, own, problems)
    for mid in sorted({m.id for _, _, m in places(before)} & {m.id for _, _, m in places(after)}
                      - set(seen)):
        problems["lost"].append(mid)
    tracked = tracked_uids(state)
    for uid in sorted(tracked_uids(before)):
        if tracked[uid] != 1:
            problems["unique id tracked wrongly"].append("%s %d times" % (uid, tracked[uid]))
    box, was, will = (s["boxes"][NAME] for s in (state, before, after))
    problems = problems or {"neither before nor after": [", ".join(
        "%s %d (before %d, after %d)" % (key, len(box[key]), len(was[key]), len(will[key]))
        for key in ("mailbox", "dustbox", "deleted_here", "pending"))]}
    return None, summary(problems)


def judge_retrieval(state, before, expected, rule, uid_of, on_server):
    """After a killed retrieval and one more to the end: each server message stored once with
    the marks an uninterrupted run gives it, or trimmed out of a full dustbox (then its unique id
    listed or its server copy gone); the messages of before kept (the dustbox's may be trimmed);
    no unique id both stored and listed; under `retrieved` no server copy of a stored message."""
    own = {m.id: m for _, _, m in places(before) + places(expected)}
    where = {m.id: place for place, _, m in places(before) + places(expected)}
    problems = defaultdict(list)
    seen = check_marks(state, own, problems)
    box = state["boxes"][NAME]
    listed = {uid for uid, _ in box["deleted_here"] + box["pending"]}
    for mid, place in where.items():
        uid = uid_of.get(mid)
        gone = uid is None or uid in listed or uid not in on_server
        if mid not in seen and (place != "dustbox" or len(box["dustbox"]) < DUSTBOX_LIMIT or
                                not gone):
            problems["lost"].append("%s (%s)" % (mid, "not trimmed" if gone else "untracked"))
    for uid in sorted(listed & {m.uidl for _, _, m in places(state)}):
        problems["server list disagrees"].append("%s both stored and listed" % uid)
    for mid, uid in uid_of.items():
        if rule == "retrieved" and mid in seen and uid in on_server:
            problems["server list disagrees"].append("%s stored, its server copy left" % mid)
    return summary(problems)


class Sweep:
    """A run function takes (work, variant, delay): with delay None it runs to the end and returns
    its duration, else it kills the program `delay` s after the start: whether it still ran."""

    def __init__(self, program, scratch, seed, keep, variants):
        self.program, self.scratch, self.seed = program, scratch, seed
        self.keep, self.variants, self.remote = keep, variants, None

    def load(self, work):
        try:
            qmtest.run(self.program, work, "mailbox", "list")
        except AssertionError as failure:
            raise Fault("loading failed: %s" % failure)
        return qmtest.dump_workdir(work)

    def copy(self, initial, label):
        shutil.rmtree(os.path.join(self.scratch, label), ignore_errors=True)
        return shutil.copytree(initial, os.path.join(self.scratch, label))

    def reference(self, initial, run, variant):
        """(longest duration, state after) of two uninterrupted runs, which must agree."""
        runs = [(run(work, variant, None), self.load(work))
                for work in (self.copy(initial, "reference") for _ in range(2))]
        if runs[0][1]["boxes"] != runs[1][1]["boxes"]:
            raise Fault("two uninterrupted runs of %s left different states" % (variant,))
        return max(runs[0][0], runs[1][0]), runs[0][1]

    def record(self, faults, endings, label, work, killed, ending, problems):
        if not problems:
            endings[ending if killed else ending + ", not killed"] += 1
            return
        faults.append("%s%s: %s" % (label, "" if killed else " (not killed)", "; ".join(problems)))
        if self.keep:
            shutil.copytree(work, os.path.join(self.keep, label.split(":")[0].replace(" ", "-")),
                            dirs_exist_ok=True)

    def run_cli(self, work, args, delay):
        start = time.monotonic()
        process = subprocess.Popen([self.program, "--workdir", work] + args,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
        if delay is not None:
            return kill_at(process, start + delay)
        err = process.communicate()[1]
        if process.returncode != 0:
            raise Fault("%s exited with %d: %s" % (" ".join(args), process.returncode,
                                                   err.decode("utf-8", "replace")))
        return time.monotonic() - start

    def run_quit(self, work, numbers, delay):
        """Login, DELE, QUIT; `delay` counts from QUIT (negative: killed before it). The duration
        is the time QUIT took to be answered."""
        port = set_key(work, b"Port", qmtest.free_port())
        with qmtest.HeadlessProgram(self.program, work, port) as headless, \
                socket.create_connection((qmtest.HOST, port), timeout=30) as sock, \
                sock.makefile("rb") as lines:
            commands = ["USER " + LOCAL_USER, "PASS " + LOCAL_PASSWORD] + [
                "DELE %d" % k for k in numbers]
            sock.sendall("".join(c + "\r\n" for c in commands).encode())
            answers = [lines.readline() for _ in range(len(commands) + 1)]
            start = time.monotonic()
            if delay is None or delay >= 0:
                sock.sendall(b"QUIT\r\n")
            if delay is not None:
                return kill_at(headless.process, start + delay)
            answers.append(lines.readline())
            answered = time.monotonic() - start
            if not all(answer.startswith(b"+OK") for answer in answers):
                raise Fault("the local server answered %r" % answers)
            terminate(headless)
        return answered

    def run_retrieval(self, work, kind, delay):
        """`retrieve`, or `--headless` with StartupRetrieve=1 (run to the end, it gets its idle
        step's second to trim and save, then SIGTERM)."""
        if kind[1] == "retrieve":
            return self.run_cli(work, ["retrieve", NAME], delay)
        set_key(work, b"StartupRetrieve", 1)
        start, sessions = time.monotonic(), self.remote.count(ENDED)
        with qmtest.HeadlessProgram(self.program, work,
                                    set_key(work, b"Port", qmtest.free_port())) as headless:
            if delay is not None:
                return kill_at(headless.process, start + delay)
            self.remote.wait_idle(sessions + 1)
            ended = time.monotonic() - start
            time.sleep(1.5)
            terminate(headless)
        return ended + 1.2

    def sweep(self, op, kills, deadline):
        rng = random.Random("%s:%s" % (self.seed, op))
        if op == "retrieve":
            return self.sweep_retrieve(rng, kills, deadline)
        rule, place, verb, option = OPS[op]
        initial = os.path.join(self.scratch, op + "-initial")
        qmtest.write_workdir(initial, qmtest.free_port(), [new_mailbox(rng, rule)],
                             StartupRetrieve=0)
        loading = time.monotonic()
        before = self.load(self.copy(initial, "before"))
        loading = time.monotonic() - loading
        own = {m.id: m for _, _, m in places(before)}
        if verb is None:
            count = sum(not m.flags & 1 for m in before["boxes"][NAME]["mailbox"])  # visible
            run = self.run_quit
        else:
            count = len(before["boxes"][NAME][place])
            run = lambda work, ns, delay: self.run_cli(  # noqa: E731
                work, ["mail", verb, NAME] + [str(n) for n in ns] + option, delay)
        refs = []
        for _ in range(self.variants):
            numbers = tuple(sorted(rng.sample(range(1, count + 1), rng.randint(1, 5))))
            refs.append((numbers,) + self.reference(initial, run, numbers))
            if refs[-1][2]["boxes"] == before["boxes"]:
                raise Fault("%s %s changed nothing" % (op, numbers))
        faults, endings = [], Counter()
        for i in range(kills):
            if time.monotonic() > deadline:
                break
            krng = random.Random("%s:%s:%d" % (self.seed, op, i))
            numbers, duration, after = refs[krng.randrange(len(refs))]
            # QUIT: from just before it to a while after its answer (the marks are saved once the
            # connection has ended). Else half the load, which cannot reach the commit, is left out.
            window = 2 * duration + 0.05
            delay = krng.uniform(-0.1 * window, window) if verb is None else \
                krng.uniform(min(loading, duration) / 2, duration)
            work = self.copy(initial, "killed")
            killed = run(work, numbers, delay)
            try:
                ending, problems = judge(self.load(work), before, after, own)
            except Fault as fault:
                ending, problems = None, [str(fault)]
            self.record(faults, endings, "kill %d: %s at %.3f s of %.3f s" % (
                i, " ".join(map(str, numbers)), delay, duration), work, killed, ending, problems)
        return faults, endings

    def sweep_retrieve(self, rng, kills, deadline):
        if self.remote is None:
            self.remote = Remote(os.path.join(self.scratch, "remote"))
        mail = [compose("new", n, random_size(rng, 2000, 150000),
                        "Promotions <%s>" % BAD_SENDER if n % 3 == 1 else OTHER_SENDER)
                for n in range(60)]
        self.remote.fill(mail)
        uid_of = {"<new-%d@kill.test>" % n: uid for n, uid in enumerate(self.remote.uids)}
        kinds = [(rule, child) for rule in ("retrieved", "keep") for child in ("retrieve",
                                                                                "headless")]
        refs, marks = {}, {}
        for kind in kinds:
            initial = os.path.join(self.scratch, "retrieve-%s-initial" % kind[0])
            if not os.path.exists(initial):
                box = new_mailbox(rng, kind[0], main=10, dustbox=DUSTBOX_LIMIT, hideBad=1,
                                  limitDustbox=1, dustboxLimit=DUSTBOX_LIMIT, server=qmtest.HOST,
                                  port=self.remote.port, user=REMOTE_USER,
                                  password=REMOTE_PASSWORD)
                box["deleted_here"] = box["pending"] = []
                qmtest.write_workdir(initial, qmtest.free_port(), [box], bads=[BAD_SENDER],
                                     StartupRetrieve=0, ServerTimeout=20)
            before = self.load(self.copy(initial, "before"))
            refs[kind] = (initial, before) + self.reference(
                initial, lambda *a: (self.remote.fill(mail), self.run_retrieval(*a))[1], kind)
        # The marks each message should get, from a run that keeps every message: trimming
        # leaves out different ones each time.
        for rule in ("retrieved", "keep"):
            work = self.copy(refs[rule, "retrieve"][0], "marks")
            qmtest.run(self.program, work, "mailbox", "set", NAME, "limitDustbox=0")
            self.remote.fill(mail)
            self.run_retrieval(work, (rule, "retrieve"), None)
            self.remote.wait_idle()
            marks[rule] = self.load(work)
        faults, endings = [], Counter()
        for i in range(kills):
            if time.monotonic() > deadline:
                break
            kind = kinds[i % len(kinds)]
            initial, before, duration, after = refs[kind]
            delay = random.Random("%s:retrieve:%d" % (self.seed, i)).uniform(0, duration)
            self.remote.fill(mail)
            work = self.copy(initial, "killed")
            killed = self.run_retrieval(work, kind, delay)
            self.remote.wait_idle()
            try:
                state = self.load(work)
                stage = ("before" if state["boxes"] == before["boxes"] else
                         "after" if state["boxes"] == after["boxes"] else
                         "part stored")
                try:
                    qmtest.run(self.program, work, "retrieve", NAME, timeout=300)
                except AssertionError as failure:
                    raise Fault("the retrieval after the kill failed: %s" % failure)
                finally:
                    self.remote.wait_idle()
                problems = judge_retrieval(self.load(work), before, marks[kind[0]], kind[0],
                                           uid_of, self.remote.on_server())
            except Fault as fault:
                stage, problems = None, [str(fault)]
            self.record(faults, endings, "kill %d: %s by %s at %.3f s of %.3f s"
                        % ((i,) + kind + (delay, duration)), work, killed,
                        "%s (%s, %s)" % ((stage,) + kind), problems)
        return faults, endings


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("program")
    parser.add_argument("--kills", type=int, default=50, help="kills per operation")
    parser.add_argument("--retrieve-kills", type=int, help="kills of the retrieval")
    parser.add_argument("--ops", default=",".join(OPS), help="comma-separated operations")
    parser.add_argument("--seed", default="1")
    parser.add_argument("--budget", type=float, help="seconds for the whole sweep")
    parser.add_argument("--variants", type=int, default=8, help="argument sets per operation")
    parser.add_argument("--keep", help="keep the directories of failing kills here")
    args = parser.parse_args()
    ops = args.ops.split(",")
    if set(ops) - set(OPS):
        parser.error("unknown operation(s): %s" % ", ".join(set(ops) - set(OPS)))
    if "retrieve" in ops and not qmtest.available():
        print("retrieve: skipped, dovecot is not installed (scripts/setup installs it)")
        ops.remove("retrieve")
    scratch = tempfile.mkdtemp(prefix="qm_kill_")
    os.chmod(scratch, 0o711)
    sweep = Sweep(os.path.abspath(args.program), scratch, args.seed, args.keep, args.variants)
    faults, start = 0, time.monotonic()
    try:
        for i, op in enumerate(ops):
            # A retrieval kill takes several times as long as the others: twice their share.
            weights = [2 if later == "retrieve" else 1 for later in ops[i:]]
            deadline = math.inf if args.budget is None else time.monotonic() + (
                args.budget - (time.monotonic() - start)) * weights[0] / sum(weights)
            try:
                retrieving = op == "retrieve" and args.retrieve_kills is not None
                found, endings = sweep.sweep(op, args.retrieve_kills if retrieving else args.kills,
                                             deadline)
            except Fault as fault:
                found, endings = ["fault without a kill: %s" % fault], Counter()
            print("%-14s %4d kills, %3d faults; %s" % (op, sum(endings.values()) + len(found),
                                                       len(found), ", ".join(
                "%s %d" % item for item in sorted(endings.items()))), flush=True)
            print("".join("    %s\n" % fault for fault in found), end="", flush=True)
            faults += len(found)
    finally:
        if sweep.remote is not None:
            sweep.remote.server.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    print("%d faults in %.0f s" % (faults, time.monotonic() - start))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
