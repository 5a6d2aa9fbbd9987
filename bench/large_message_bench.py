#!/usr/bin/env python3
"""The peak memory of `qm_mailfilter retrieve` for one large message, by how the message relates
to the size limit and whether the server tells its size.

Usage: bench/large_message_bench.py PATH_TO_QM_MAILFILTER [--big BYTES]

Each case is one retrieval in a fresh working directory from a scripted POP3 server on a
loopback port (tests/support/qmtest.py) that makes the message on the fly: a header and lines of
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


def measure(program, message, tell_sizes):
    """(peak MiB, seconds, messages stored) of one retrieval of `message`."""
    server = qmtest.ScriptedPop3([message], tell_sizes)
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
            status, peak = qmtest.wait_with_peak_memory(process)
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
        ("small message (baseline)", qmtest.Message("s", generated=10_000, header=PLAIN), True),
        ("over the limit, size told", qmtest.Message("b", generated=args.big, header=PLAIN),
         True),
        ("over the limit, size not told",
         qmtest.Message("b", generated=args.big, header=PLAIN), False),
        ("under the limit, plain, size told",
         qmtest.Message("u", generated=under, header=PLAIN), True),
        ("under the limit, plain, size not told",
         qmtest.Message("u", generated=under, header=PLAIN), False),
        ("under the limit, base64, size told",
         qmtest.Message("u", generated=under, header=BASE64), True),
    ]
    print("limit %d bytes (%.0f MiB)" % (LIMIT, LIMIT / 2**20))
    print("%-40s %12s %10s %8s %7s" % ("case", "bytes", "peak MiB", "seconds", "stored"))
    for name, message, tell_sizes in cases:
        peak, seconds, stored = measure(program, message, tell_sizes)
        print("%-40s %12d %10.0f %8.2f %7d" % (name, message.size(), peak, seconds, stored),
              flush=True)


if __name__ == "__main__":
    main()
