"""What the retrieval benchmarks share: sizes as served, the CPU time of child processes, the
first session that makes Dovecot index a freshly filled maildir before anything is timed, and
fetchmail set up as the fastest fair peer."""

import os
import poplib
import pwd
import resource
import subprocess
import time


def served_size(message):
    """The size as a POP3 server sends the message: every LF as CR LF."""
    return len(message) + message.count(b"\n") - message.count(b"\r\n")


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def index_mailbox(server, user, password, expected, served_bytes, repetitions):
    """Opens one session so that Dovecot indexes the maildir outside the measurements, checks
    that it offers the expected number of messages, and says what is about to be measured."""
    started = time.perf_counter()
    pop = poplib.POP3(*server.address, timeout=600)
    pop.user(user)
    pop.pass_(password)
    count = pop.stat()[0]
    pop.uidl()
    pop.quit()
    indexing = time.perf_counter() - started
    if count != expected:
        raise RuntimeError("Dovecot offers %d messages, not %d" % (count, expected))
    print("Dovecot serves %d messages, %.1f MB (first session, indexing: %.2f s); "
          "measuring %d repetitions ..." % (count, served_bytes / 1e6, indexing, repetitions),
          flush=True)
    return count


# fetchmail as the peer of a retrieval benchmark: the same work as `qm_mailfilter retrieve` with
# the server copies kept (every message of the mailbox fetched once, the copies left on the
# server), and nothing it need not do. Measured on the 2-core development machine with 2,000
# messages of 4 KB and 1,000 of 20 KB over loopback, per message retrieved:
#
#   - Its CPU time grows with the lines of a message, not with an option: it reads the reply
#     line by line, each line costing two setitimer calls (its time-out), a recvfrom with
#     MSG_PEEK and a read. That is about 0.45 ms a message of 4 KB and 1.35 ms of 20 KB
#     (about 0.07 ms per KB), which is why it was seen spending 0.5 ms in one set-up and over
#     2 ms in another: the messages differed, and a loaded machine adds to the larger figure.
#     No option reads in blocks.
#   - --fetchsizelimit 0: one LIST for the whole mailbox. Its default (100) asks "LIST n"
#     before every RETR, one more round trip per message (a second per 35 messages on a link
#     of 30 ms) and about 5 % more CPU on loopback.
#   - --fetchall without --uidl: no UIDL at all (its "new" is the server's, which --fetchall
#     overrides). With --uidl it also lists UIDL and writes its idfile, which on loopback costs
#     no measurable time for 2,000 messages but one more round trip; left off where fetchmail
#     needs no memory of the mail, used where it does (a run that must skip what it has).
#   - --fastuidl: in a single (not daemon) run, 1 finds the first unseen message by a binary
#     search of "UIDL n" commands (about log2(N) round trips) instead of one UIDL listing;
#     which one wins depends on the link, so callers choose.
#   - --norewrite: it would otherwise rewrite the addresses of To, Cc and friends to qualify
#     local names; our program stores messages as served. --invisible: no Received field of
#     its own. --silent: no progress line per message. --nosyslog: nothing sent to syslog.
#   - --bsmtp FILE: every message appended to one file, no MDA process and no SMTP session per
#     message (both would be work ours does not do). The file is written with stdio and synced
#     once at the end.
#   - --limit 0, --batchlimit 0, --fetchlimit 0: no size limit, no SMTP batches (none are used),
#     no cap on messages per poll: all are fetchmail's defaults, given so that no fetchmailrc
#     can change them.
#   - sslproto "": no STLS attempt (the server offers none; ours runs with security=plain).
#     fetchmail sends no CAPA in this set-up and never pipelines: it sends each command after
#     the reply to the one before, so over a link it pays one round trip per message.
#   - --idfile in the temporary directory, HOME there too, so that no file of the user's is
#     read or written.

def fetchmail_command(scratch, port, user, password, bsmtp, idfile, fetch_all=True,
                      fastuidl=0, host="127.0.0.1"):
    """The command line (and the rc file it names, written now) of one fetchmail run against
    host:port into the BSMTP file `bsmtp`: every message with `fetch_all`, else the messages
    that `idfile` does not list yet (--uidl, with --fastuidl `fastuidl`)."""
    rc = os.path.join(scratch, "fetchmailrc")
    with open(rc, "w") as f:
        f.write('poll %s with proto POP3 port %d auth password\n'
                '  user "%s" there with password "%s" is "%s" here\n'
                '  options sslproto ""\n'
                % (host, port, user, password, pwd.getpwuid(os.getuid()).pw_name))
    os.chmod(rc, 0o600)
    command = ["fetchmail", "-f", rc, "--nodetach", "--nosyslog", "--silent", "--invisible",
               "--norewrite", "--keep", "--fetchsizelimit", "0", "--limit", "0",
               "--batchlimit", "0", "--fetchlimit", "0", "--idfile", idfile, "--bsmtp", bsmtp]
    if fetch_all:
        command.append("--fetchall")
    else:
        command += ["--uidl", "--fastuidl", str(fastuidl)]
    return command


def run_fetchmail(scratch, command, timeout=3600):
    """Runs a fetchmail_command with HOME in `scratch`; returns (finished process, wall
    seconds, CPU seconds)."""
    env = dict(os.environ, HOME=scratch, LC_ALL="C")
    cpu = children_cpu()
    started = time.perf_counter()
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                          timeout=timeout)
    return done, time.perf_counter() - started, children_cpu() - cpu


def bsmtp_messages(path):
    """How many messages a BSMTP file of fetchmail holds (0 when there is none)."""
    try:
        with open(path, "rb") as f:
            return sum(1 for line in f if line.startswith(b"MAIL FROM:"))
    except FileNotFoundError:
        return 0
