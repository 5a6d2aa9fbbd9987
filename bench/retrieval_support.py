"""What the retrieval benchmarks share: sizes as served, the CPU time of child processes, and
the first session that makes Dovecot index a freshly filled maildir before anything is timed."""

import poplib
import resource
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
