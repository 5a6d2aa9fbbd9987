#!/usr/bin/env python3
"""The peak memory of `qm_mailfilter retrieve` for one large message, by how the message relates
to the size limit and whether the server tells its size.

Usage: bench/large_message_bench.py PATH_TO_QM_MAILFILTER [--big BYTES]

Each case is one retrieval in a fresh working directory from a scripted POP3 server on a
loopback port that makes the message on the fly: a header and lines of
76 letters, plain text or declared base64. The blocklist zones are switched off, so nothing but
fetching, decoding for the link walk and storing is measured. Peak memory is the resident set
high-water mark of the retrieving process (ru_maxrss from wait4); it is reported, never asserted.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import qmtest  # noqa: E402

LIMIT = 100 << 20
PLAIN = b"Subject: large\r\n"
BASE64 = b"Subject: large\r\nContent-Transfer-Encoding: base64\r\n"


class Message:
    """A ScriptedPop3 message: `text`, or `generated` bytes of lines after `header` made on the
    fly, so that hundreds of megabytes cost the test no memory."""
    LINE = b"x" * 76 + b"\r\n"

    def __init__(self, uid, text=None, generated=0, header=b"Subject: generated\r\n"):
        self.uid = uid
        self.text = None if text is None else text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        self.header, self.lines = header + b"\r\n", generated // len(self.LINE)

    def size(self):
        return len(self.text) if self.text is not None else \
            len(self.header) + self.lines * len(self.LINE)

    def wire(self):
        """The reply body of RETR, in pieces of at most about a megabyte."""
        if self.text is not None:
            yield qmtest.stuffed(self.text)
            return
        yield self.header
        for left in range(self.lines, 0, -16384):
            yield self.LINE * min(left, 16384)
        yield b".\r\n"


class ScriptedPop3(qmtest._Listener):
    """A POP3 server serving `messages` to any login, one connection at a time; `tell_sizes`
    False answers LIST n with -ERR; `commands` records every line; DELE takes effect at QUIT."""

    def __init__(self, messages, tell_sizes=True):
        self.messages, self.tell_sizes, self.commands = list(messages), tell_sizes, []
        self._listen()

    def _once(self):
        connection, _ = self.sock.accept()
        connection.settimeout(None)
        with connection:
            try:
                self._session(connection)
            except OSError:
                pass

    def _session(self, connection):
        send = connection.sendall
        send(b"+OK scripted\r\n")
        deleted = set()
        for raw in connection.makefile("rb"):
            command = raw.rstrip(b"\r\n").decode("ascii", "replace")
            self.commands.append(command)
            verb, _, argument = command.partition(" ")
            verb, number = verb.upper(), argument.split(" ")[0]
            index = int(number) - 1 if number.isdigit() else -1
            message = (self.messages[index] if 0 <= index < len(self.messages) and
                       index not in deleted else None)
            live = [m for i, m in enumerate(self.messages) if i not in deleted]
            if verb in ("USER", "PASS", "NOOP", "RSET"):
                send(b"+OK\r\n")
            elif verb == "STAT":
                send(b"+OK %d %d\r\n" % (len(live), sum(m.size() for m in live)))
            elif verb in ("UIDL", "LIST", "RETR", "DELE") and message is None:
                send(b"-ERR no such message\r\n")
            elif verb == "UIDL":
                send(b"+OK %s %s\r\n" % (number.encode(), message.uid.encode()))
            elif verb == "LIST" and self.tell_sizes:
                send(b"+OK %s %d\r\n" % (number.encode(), message.size()))
            elif verb == "RETR":
                send(b"+OK\r\n")
                for piece in message.wire():
                    send(piece)
            elif verb == "DELE":
                deleted.add(index)
                send(b"+OK\r\n")
            elif verb == "QUIT":
                self.messages = live
                send(b"+OK bye\r\n")
                return
            else:
                send(b"-ERR not here\r\n")


def wait_with_peak_memory(process):
    """Waits for a subprocess.Popen; returns (exit status, peak resident memory in MiB)."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_maxrss / 1024


def measure(program, message, tell_sizes):
    """(peak MiB, seconds, messages stored) of one retrieval of `message`."""
    server = ScriptedPop3([message], tell_sizes)
    try:
        with tempfile.TemporaryDirectory(prefix="qm_large_bench_") as workdir:
            with open(os.path.join(workdir, "qm_mailfilter.ini"), "wb") as f:
                f.write(b"[RBL]\r\nZone0=\r\nZone1=\r\nZone2=\r\nZone3=\r\n")

            def run(*args):
                subprocess.run([program, "--workdir", workdir] + list(args), check=True,
                               stdin=subprocess.DEVNULL, capture_output=True)

            run("mailbox", "add", "box")
            run("mailbox", "set", "box", "server=127.0.0.1", "port=%d" % server.port,
                "user=u", "password=p", "serverDeletion=keep")
            started = time.perf_counter()
            process = subprocess.Popen([program, "--workdir", workdir, "retrieve"],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
            status, peak = wait_with_peak_memory(process)
            seconds = time.perf_counter() - started
            if status != 0:
                raise RuntimeError("retrieve exited with %d" % status)
            listed = subprocess.run([program, "--workdir", workdir, "mail", "list", "box"],
                                    check=True, capture_output=True).stdout
            return peak, seconds, len(listed.splitlines())
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--big", type=int, default=200_000_000,
                        help="size of the message over the limit (default 200,000,000)")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    under = LIMIT - (1 << 20)
    cases = [
        ("small message (baseline)", Message("s", generated=10_000, header=PLAIN), True),
        ("over the limit, size told", Message("b", generated=args.big, header=PLAIN),
         True),
        ("over the limit, size not told",
         Message("b", generated=args.big, header=PLAIN), False),
        ("under the limit, plain, size told",
         Message("u", generated=under, header=PLAIN), True),
        ("under the limit, plain, size not told",
         Message("u", generated=under, header=PLAIN), False),
        ("under the limit, base64, size told",
         Message("u", generated=under, header=BASE64), True),
    ]
    print("limit %d bytes (%.0f MiB)" % (LIMIT, LIMIT / 2**20))
    print("%-40s %12s %10s %8s %7s" % ("case", "bytes", "peak MiB", "seconds", "stored"))
    for name, message, tell_sizes in cases:
        peak, seconds, stored = measure(program, message, tell_sizes)
        print("%-40s %12d %10.0f %8.2f %7d" % (name, message.size(), peak, seconds, stored),
              flush=True)


if __name__ == "__main__":
    main()
