"""What the Python end-to-end tests and benchmarks share.

Import it after putting tests/support on sys.path.
"""

import json
import os
import signal
import socket
import subprocess
import tempfile
import threading
import time


# ---------------------------------------------------------------------------------------------
# A scripted remote POP3 server
# ---------------------------------------------------------------------------------------------

def stuffed(message):
    """A message (LF or CR LF line ends) as POP3 carries it: CR LF lines, a "." doubled at the
    start of a line, the terminating line."""
    lines = message.replace(b"\r\n", b"\n").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n"
                    for line in lines) + b".\r\n"


class Message:
    """One message of a ScriptedPop3: its unique id and its text, either whole (`text`) or made
    on the fly (`generated` bytes of text lines after `header`), so that a message of hundreds of
    megabytes costs the test no memory."""

    LINE = b"x" * 76 + b"\r\n"

    def __init__(self, uid, text=None, generated=0, header=b"Subject: generated\r\n"):
        self.uid = uid
        self.text = None if text is None else text.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        self.header = header + b"\r\n"
        self.lines = generated // len(self.LINE)

    def size(self):
        """The size LIST tells: CR LF lines, before dot-stuffing."""
        if self.text is not None:
            return len(self.text)
        return len(self.header) + self.lines * len(self.LINE)

    def wire(self):
        """The reply body of RETR, in pieces of at most about a megabyte."""
        if self.text is not None:
            yield stuffed(self.text)
            return
        yield self.header
        block = self.LINE * 16384
        left = self.lines
        while left:
            count = min(left, 16384)
            yield block if count == 16384 else self.LINE * count
            left -= count
        yield b".\r\n"


class ScriptedPop3:
    """A POP3 server on a free loopback port serving `messages` (a list of Message) to any user
    and password, one connection at a time, until stop().

    `tell_sizes` False answers LIST n with -ERR. `commands` records every command line received
    (text), `connections` counts the sessions; DELE takes effect at QUIT, as RFC 1939 says.
    """

    def __init__(self, messages, tell_sizes=True):
        self.messages = list(messages)
        self.tell_sizes = tell_sizes
        self.commands = []
        self.connections = 0
        self._listener = socket.create_server(("127.0.0.1", 0))
        # Closing a listening socket does not wake a thread in accept(); a short time-out does.
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def stop(self):
        self._stopping.set()
        self._thread.join(timeout=10)
        self._listener.close()

    def _serve(self):
        while not self._stopping.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            connection.settimeout(None)
            self.connections += 1
            with connection:
                try:
                    self._session(connection)
                except OSError:
                    pass

    def _session(self, connection):
        reader = connection.makefile("rb")
        connection.sendall(b"+OK scripted\r\n")
        deleted = set()
        for raw in reader:
            command = raw.rstrip(b"\r\n").decode("ascii", "replace")
            self.commands.append(command)
            verb, _, argument = command.partition(" ")
            verb = verb.upper()
            message = self._message(argument.split(" ")[0], deleted)
            if verb in ("USER", "PASS", "NOOP", "RSET"):
                connection.sendall(b"+OK\r\n")
            elif verb == "STAT":
                live = [m for i, m in enumerate(self.messages) if i not in deleted]
                connection.sendall(b"+OK %d %d\r\n" % (len(live), sum(m.size() for m in live)))
            elif verb in ("UIDL", "LIST", "RETR", "DELE") and message is None:
                connection.sendall(b"-ERR no such message\r\n")
            elif verb == "UIDL":
                connection.sendall(b"+OK %s %s\r\n" % (argument.encode(), message.uid.encode()))
            elif verb == "LIST" and self.tell_sizes:
                connection.sendall(b"+OK %s %d\r\n" % (argument.encode(), message.size()))
            elif verb == "RETR":
                connection.sendall(b"+OK\r\n")
                for piece in message.wire():
                    connection.sendall(piece)
            elif verb == "DELE":
                deleted.add(self.messages.index(message))
                connection.sendall(b"+OK\r\n")
            elif verb == "QUIT":
                self.messages = [m for i, m in enumerate(self.messages) if i not in deleted]
                connection.sendall(b"+OK bye\r\n")
                return
            else:
                connection.sendall(b"-ERR not here\r\n")

    def _message(self, number, deleted):
        if not number.isdigit() or not 1 <= int(number) <= len(self.messages):
            return None
        return None if int(number) - 1 in deleted else self.messages[int(number) - 1]


def silent_dns_port():
    """A UDP socket on a loopback port that never answers: a DNS server that has gone silent.
    Returns (socket, port); close the socket when done."""
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    silent.bind(("127.0.0.1", 0))
    return silent, silent.getsockname()[1]


def wait_with_peak_memory(process):
    """Waits for a subprocess.Popen; returns (exit status, peak resident memory in MiB)."""
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, usage.ru_maxrss / 1024


# ---------------------------------------------------------------------------------------------
# The program's working directory, its commands and the headless program in it
# ---------------------------------------------------------------------------------------------

HOST = "127.0.0.1"


def write_settings(workdir, local_port, **misc):
    """Writes qm_mailfilter.ini: the local server on HOST:local_port, the [Misc] keys given and
    every blocklist zone switched off, so that classifying asks no DNS server."""
    os.makedirs(workdir, exist_ok=True)
    lines = ["[Mailbox]", "Port=%d" % local_port, "BindAddress=" + HOST, "[Misc]"]
    lines += ["%s=%s" % item for item in misc.items()]
    lines += ["[RBL]"] + ["Zone%d=" % i for i in range(4)]
    with open(os.path.join(workdir, "qm_mailfilter.ini"), "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode())


def run(program, workdir, *args, expect=0, timeout=120):
    """Runs a command in workdir; returns its standard output as text after checking its status."""
    done = subprocess.run([program, "--workdir", workdir] + list(args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    if expect is not None and done.returncode != expect:
        raise AssertionError("%s exited with %d, not %d: %s"
                             % (" ".join(args), done.returncode, expect,
                                done.stderr.decode("utf-8", "replace")))
    return done.stdout.decode("utf-8", "replace")


def subjects(program, workdir, mailbox, dustbox=False):
    """The subjects of the mail list of a mailbox (or its dustbox), in order."""
    out = run(program, workdir, "mail", "list", "--json", mailbox,
              *(["--dustbox"] if dustbox else []))
    return [json.loads(line)["subject"] for line in out.splitlines()]


def read_log(workdir):
    """The program's log so far (empty before the first line reached the file)."""
    try:
        with open(os.path.join(workdir, "qm_mailfilter.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def wait_for_log(workdir, text, count=1, timeout=60):
    """Waits until the log holds `text` at least `count` times; False when it never did."""
    deadline = time.monotonic() + timeout
    while read_log(workdir).count(text) < count:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


class HeadlessProgram:
    """`qm_mailfilter --headless` in workdir, started once its local server on HOST:port listens.

    terminate() sends SIGTERM and measures how long the program takes to end.
    """

    def __init__(self, program, workdir, port, timeout=20):
        # A file, not a pipe: what it writes must never block the program.
        self.output = tempfile.TemporaryFile()
        self.process = subprocess.Popen([program, "--headless", "--workdir", workdir],
                                        stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=self.output)
        deadline = time.monotonic() + timeout
        while True:
            try:
                socket.create_connection((HOST, port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.kill()
                    raise RuntimeError("the local server never listened: " + self.text())
                time.sleep(0.05)

    def terminate(self, timeout=30):
        """SIGTERM; returns (exit status, seconds until it ended), killing it after `timeout`."""
        start = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            code = None
        return code, time.monotonic() - start

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def close(self):
        """Kills the program if it still runs and lets go of its output."""
        self.kill()
        self.output.close()

    def text(self):
        """What the program wrote to standard output and standard error."""
        self.output.seek(0)
        return self.output.read().decode("utf-8", "replace")
