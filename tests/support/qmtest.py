"""What the Python end-to-end tests and benchmarks share.

Import it after putting tests/support on sys.path:

    sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
    import qmtest

The program is driven from outside only: a working directory is written with the layouts the
program reads, the program runs on it and the files it leaves are read back with an independent
reader (`read_box`, `dump_workdir`). Nothing here links to the program's code, so a fault in its
readers or writers shows up as a difference.
"""

import base64
import hashlib
import json
import os
import pwd
import random
import re
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
from collections import namedtuple

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


# Ports are drawn below the kernel's ephemeral range (32768 and up), so that no client socket of
# a test running alongside can take one between the draw and the server's bind.
_PORTS = range(20000, 32768)
_draw = random.Random(os.getpid() ^ time.monotonic_ns())


def free_port():
    """A loopback port, free for TCP and UDP a moment ago, that no other test is likely to draw."""
    while True:
        port = _draw.choice(_PORTS)
        try:
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                with socket.socket(socket.AF_INET, kind) as s:
                    s.bind((HOST, port))
            return port
        except OSError:
            continue


class Dnsmasq:
    """dnsmasq on a loopback port answering for the given zones only.

    `records` maps names to the address they answer; every other name in `zones` does not exist
    and names outside them are not forwarded anywhere. Queries are logged for `queries`.
    """

    def __init__(self, directory, zones, records, attempts=5):
        self.log_path = os.path.join(directory, "dnsmasq.log")
        self.process = None
        for attempt in range(attempts):
            self.port = free_port()
            conf = os.path.join(directory, "dnsmasq.conf")
            with open(conf, "w") as f:
                f.write("port=%d\nlisten-address=%s\nbind-interfaces\nno-resolv\nno-hosts\n"
                        "user=%s\npid-file=%s\nlog-queries\nlog-facility=%s\n"
                        % (self.port, HOST, pwd.getpwuid(os.getuid()).pw_name,
                           os.path.join(directory, "dnsmasq.pid"), self.log_path))
                f.write("local=/%s/\n" % "/".join(zone.strip(".") for zone in zones))
                for name, address in records.items():
                    f.write("host-record=%s,%s\n" % (name, address))
            if os.path.exists(self.log_path):
                os.remove(self.log_path)
            self.process = subprocess.Popen(
                ["dnsmasq", "--keep-in-foreground", "--conf-file=" + conf],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            error = self._started()
            if error is None:
                return
            self.stop()
            if "in use" not in error or attempt == attempts - 1:
                raise RuntimeError("dnsmasq did not start: " + error)

    def _started(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return self.process.stderr.read().decode() or "it ended"
            try:
                with open(self.log_path) as f:
                    if "started" in f.read():
                        return None
            except OSError:
                pass
            time.sleep(0.05)
        return "no start within 10 s"

    def queries(self):
        """The names asked for (A records), in order."""
        try:
            with open(self.log_path) as f:
                return [line.split("query[A] ")[1].split(" ")[0] for line in f
                        if "query[A] " in line]
        except OSError:
            return []

    def wait_for_query(self, name, timeout=5):
        """The queries so far, once `name` is among them (dnsmasq writes its log late)."""
        deadline = time.monotonic() + timeout
        while True:
            queries = self.queries()
            if name in queries or time.monotonic() > deadline:
                return queries
            time.sleep(0.05)

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()
        self.process = None


def write_settings(workdir, local_port, mailboxes=(), **misc):
    """Writes qm_mailfilter.ini: the local server on HOST:local_port, the names of the mailboxes
    in order, the [Misc] keys given and every blocklist zone switched off, so that classifying
    asks no DNS server."""
    os.makedirs(workdir, exist_ok=True)
    lines = ["[Mailbox]", "Port=%d" % local_port, "BindAddress=" + HOST]
    if mailboxes:
        lines.append("Mailboxes=" + "".join(name + ":" for name in mailboxes))
    lines.append("[Misc]")
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


def inspect_files(program, paths, raw=False, tz="UTC"):
    """`qm_mailfilter inspect` over message files: its records, exit status and standard error."""
    env = dict(os.environ, TZ=tz)
    args = [program, "inspect"] + (["--raw"] if raw else []) + list(paths)
    done = subprocess.run(args, capture_output=True, env=env, timeout=120)
    records = [json.loads(line) for line in done.stdout.decode("utf-8").splitlines()]
    return records, done.returncode, done.stderr.decode("utf-8", "replace")


def b_word(data, charset=b"ISO-2022-JP", enc=b"B"):
    """An encoded word (RFC 2047) of `data` in base64."""
    return b"=?" + charset + b"?" + enc + b"?" + base64.b64encode(data) + b"?="


def q_word(data, charset=b"ISO-2022-JP"):
    """An encoded word of `data` in the "Q" encoding: a blank as "_", and "_" itself escaped."""
    text = bytearray()
    for byte in data:
        if byte == 0x20:
            text += b"_"
        elif 0x21 <= byte <= 0x7E and byte not in b"=?_":
            text.append(byte)
        else:
            text += b"=%02X" % byte
    return b"=?" + charset + b"?Q?" + bytes(text) + b"?="


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

    def __init__(self, program, workdir, port, timeout=20, prefix=(), env=None):
        """workdir None: the program's default; `prefix` runs it through another command (such
        as setpriv) in `env`."""
        # A file, not a pipe: what it writes must never block the program.
        self.output = tempfile.TemporaryFile()
        where = ["--workdir", workdir] if workdir is not None else []
        self.process = subprocess.Popen(list(prefix) + [program, "--headless"] + where,
                                        stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=self.output, env=env)
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


# ---------------------------------------------------------------------------------------------
# Archive items and the .flg, .svm and .cfg layouts
# ---------------------------------------------------------------------------------------------

def pack_string(data):
    """An archive string: its length (1 byte; or 0xFF and a u16 below 0xFFFE; or 0xFF 0xFFFF
    and a u32), then the bytes."""
    if isinstance(data, str):
        data = data.encode()
    n = len(data)
    if n < 0xFF:
        prefix = bytes([n])
    elif n < 0xFFFE:
        prefix = b"\xff" + struct.pack("<H", n)
    else:
        prefix = b"\xff\xff\xff" + struct.pack("<I", n)
    return prefix + data


class ArchiveReader:
    """Reads archive items from bytes; every read raises EOFError when the bytes end early."""

    def __init__(self, data):
        self.data = data
        self.at = 0

    def _take(self, n):
        if len(self.data) - self.at < n:
            raise EOFError
        piece = self.data[self.at:self.at + n]
        self.at += n
        return piece

    def u16(self):
        return struct.unpack("<H", self._take(2))[0]

    def u32(self):
        return struct.unpack("<I", self._take(4))[0]

    def string(self):
        start = self.at
        try:
            n = self._take(1)[0]
            if n == 0xFF:
                n = self.u16()
                if n == 0xFFFF:
                    n = self.u32()
            return self._take(n)
        except EOFError:
            self.at = start
            raise


FRESH_FLAGS = 0x0C  # not hidden, unread, verdict 3 (unclassified), reason 0
HIDDEN = 1 << 0
OPENED = 1 << 1


def flags_of(hidden=False, opened=False, verdict=3, reason=0):
    """A mark's flag word: bit 0 hidden, bit 1 opened, bits 2-4 the verdict (-1 other, 0 friend,
    1 spam, 2 bad, 3 unclassified; signed), bits 5-7 the reason."""
    return (HIDDEN if hidden else 0) | (OPENED if opened else 0) | ((verdict & 7) << 2) | \
        ((reason & 7) << 5)


def write_flg(marks):
    """The .flg bytes of marks [(flags, uidl)]: a u32 count, then per mark u32 flags and the
    uidl string."""
    return struct.pack("<I", len(marks)) + b"".join(
        struct.pack("<I", flags) + pack_string(uidl) for flags, uidl in marks)


def read_flg(data):
    """(marks [(flags, uidl)], whole): the records up to the first damaged one, and whether the
    file held all the records its count announces."""
    reader = ArchiveReader(data)
    marks = []
    try:
        count = reader.u32()
        for _ in range(count):
            marks.append((reader.u32(), reader.string().decode("latin-1")))
    except EOFError:
        return marks, False
    return marks, True


def write_svm(deleted_here, pending):
    """The .svm bytes: two lists of (uidl, Message-ID) pairs, each a u32 count and the pairs."""
    out = b""
    for pairs in (deleted_here, pending):
        out += struct.pack("<I", len(pairs))
        out += b"".join(pack_string(uid) + pack_string(mid) for uid, mid in pairs)
    return out


def read_svm(data):
    """(deletedHere, pendingDeletions, whole), each list as [(uidl, Message-ID)], as text."""
    reader = ArchiveReader(data)
    lists = ([], [])
    try:
        for pairs in lists:
            for _ in range(reader.u32()):
                uid = reader.string()
                pairs.append((uid.decode("latin-1"), reader.string().decode("latin-1")))
    except EOFError:
        return lists[0], lists[1], False
    return lists[0], lists[1], True


# Mailbox settings by the names `mailbox show` uses. The option bits of the two stored words:
# bit i of word A, then bits 2 and up of word B (bits 0-1 hold serverDeletion).
_WORD_A = ["notifyOther", "notifySpam", "notifyBad", "notifyFriend", "hideOther", "hideSpam",
           "hideBad", "hideFriend", "dustboxOther", "dustboxSpam", "dustboxBad",
           "dustboxFriend", "keepOtherOnServer", "keepFriendOnServer", "limitDustbox"]
_WORD_B = ["onDemand", "openDustboxAtExit", "dustboxAccess", "keepOtherOnServer",
           "keepFriendOnServer"]
POLICIES = ["keep", "retrieved", "dustboxed", "purged"]
# The program's defaults for a new mailbox.
DEFAULT_SETTINGS = dict(
    {name: 0 for name in _WORD_A + _WORD_B},
    localUser="", localPassword="", dustboxUser="", dustboxPassword="", timerInterval=180,
    dustboxLimit=100, serverDeletion="retrieved", server="", port=110, user="", password="",
    notifyFriend=1, notifyOther=1, dustboxBad=1, dustboxSpam=1, limitDustbox=1)


def write_cfg(**settings):
    """The .cfg bytes of a main mailbox: DEFAULT_SETTINGS changed by `settings`."""
    unknown = set(settings) - set(DEFAULT_SETTINGS)
    if unknown:
        raise KeyError("unknown settings: %s" % ", ".join(sorted(unknown)))
    s = dict(DEFAULT_SETTINGS, **settings)
    word_a = sum(1 << i for i, name in enumerate(_WORD_A) if s[name])
    word_b = POLICIES.index(s["serverDeletion"]) | sum(
        1 << (i + 2) for i, name in enumerate(_WORD_B) if s[name])
    return (b"".join(pack_string(s[k]) for k in
                     ("localUser", "localPassword", "dustboxUser", "dustboxPassword")) +
            struct.pack("<IIHH", s["timerInterval"], s["dustboxLimit"], word_a, word_b) +
            pack_string(s["server"]) + struct.pack("<I", s["port"]) + pack_string(s["user"]) +
            pack_string(s["password"]))


def read_cfg(data):
    """The settings of a .cfg as a dict like DEFAULT_SETTINGS (strings as text)."""
    r = ArchiveReader(data)
    s = {k: r.string().decode("latin-1") for k in
         ("localUser", "localPassword", "dustboxUser", "dustboxPassword")}
    s["timerInterval"], s["dustboxLimit"] = r.u32(), r.u32()
    word_a, word_b = r.u16(), r.u16()
    for i, name in enumerate(_WORD_A):
        s[name] = (word_a >> i) & 1
    # The keep-on-server bits are stored twice; word B's copy counts.
    for i, name in enumerate(_WORD_B):
        s[name] = (word_b >> (i + 2)) & 1
    s["serverDeletion"] = POLICIES[word_b & 3]
    s["server"] = r.string().decode("latin-1")
    s["port"] = r.u32()
    s["user"] = r.string().decode("latin-1")
    s["password"] = r.string().decode("latin-1")
    return s


# ---------------------------------------------------------------------------------------------
# Message files
# ---------------------------------------------------------------------------------------------

TERMINATOR = b"\r\n.\r\n"


def split_mbx(data):
    """(messages, tail): the stored messages of a .mbx, each ending with CR LF "." CR LF, and
    the bytes after the last terminator (a message cut off)."""
    messages = []
    start = 0
    while True:
        end = data.find(TERMINATOR, start)
        if end < 0:
            return messages, data[start:]
        messages.append(data[start:end + len(TERMINATOR)])
        start = end + len(TERMINATOR)


def header_field(message, name):
    """The value of the first header field `name` (unfolded, stripped), or None."""
    head = message.split(b"\r\n\r\n", 1)[0].replace(b"\r\n", b"\n")
    match = re.search(rb"(?im)^%s:[ \t]*(.*(?:\n[ \t].*)*)" % re.escape(name.encode()), head)
    if not match:
        return None
    return re.sub(rb"\n[ \t]+", b" ", match.group(1)).strip().decode("latin-1")


# ---------------------------------------------------------------------------------------------
# The working-directory builder
# ---------------------------------------------------------------------------------------------

# A message in a mailbox: its stored bytes (`stuffed`) and its mark.
Stored = namedtuple("Stored", "text flags uidl")


def write_sender_list(path, addresses):
    """friend.txt or bad.txt as the program writes them: "0 ADDRESS", NUL, CR CR LF."""
    with open(path, "wb") as f:
        for address in addresses:
            f.write(b"0 " + address.encode() + b"\0\r\r\n")


def write_workdir(path, port, mailboxes, friends=(), bads=(), **misc):
    """Writes a working directory: qm_mailfilter.ini (write_settings, with the [Misc] keys
    given), each mailbox's files and the sender lists.

    `mailboxes` is a list of dicts: name, and optionally messages and dustbox ([Stored]),
    settings (for write_cfg), deleted_here and pending ([(uidl, Message-ID)]).
    """
    write_settings(path, port, [box["name"] for box in mailboxes], **misc)
    for box in mailboxes:
        base = os.path.join(path, box["name"])
        for suffix, messages in (("", box.get("messages", [])),
                                 ("_dustbox", box.get("dustbox", []))):
            with open(base + suffix + ".mbx", "wb") as f:
                f.write(b"".join(m.text for m in messages))
            with open(base + suffix + ".flg", "wb") as f:
                f.write(write_flg([(m.flags, m.uidl) for m in messages]))
        with open(base + ".cfg", "wb") as f:
            f.write(write_cfg(**box.get("settings", {})))
        if box.get("deleted_here") or box.get("pending"):
            with open(base + ".svm", "wb") as f:
                f.write(write_svm(box.get("deleted_here", []), box.get("pending", [])))
    if friends:
        write_sender_list(os.path.join(path, "friend.txt"), friends)
    if bads:
        write_sender_list(os.path.join(path, "bad.txt"), bads)


# ---------------------------------------------------------------------------------------------
# The canonical dump of a working directory
# ---------------------------------------------------------------------------------------------

# One stored message as a load sees it: its Message-ID (or "#" and its digest when it has
# none), a digest of its stored bytes, its mark.
StoredMessage = namedtuple("StoredMessage", "id digest flags uidl")


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def read_box(path, name):
    """(messages [StoredMessage], tail bytes): a mailbox (or dustbox) `name` of the working
    directory `path` as loading it gives: the messages of N.mbx with the marks of N.flg in order; a
    message without a record gets a fresh mark, records beyond the messages are ignored."""
    data = _read(os.path.join(path, name + ".mbx")) or b""
    texts, tail = split_mbx(data)
    marks, _ = read_flg(_read(os.path.join(path, name + ".flg")) or b"")
    messages = []
    for i, text in enumerate(texts):
        digest = hashlib.sha1(text).hexdigest()[:12]
        flags, uidl = marks[i] if i < len(marks) else (FRESH_FLAGS, "")
        messages.append(StoredMessage(header_field(text, "Message-ID") or "#" + digest, digest,
                                flags, uidl))
    return messages, len(tail)


def mailbox_names(path):
    """The mailbox names of qm_mailfilter.ini, in order."""
    text = (_read(os.path.join(path, "qm_mailfilter.ini")) or b"").decode("latin-1")
    match = re.search(r"(?m)^Mailboxes=([^\r\n]*)", text)
    return [n for n in match.group(1).split(":") if n] if match else []


_KNOWN_FILES = {"qm_mailfilter.ini", "qm_mailfilter.log", "qm_mailfilter.lock", "friend.txt",
                "bad.txt"}


def dump_workdir(path):
    """The logical state of a working directory as a comparable dict.

    "boxes": per mailbox name, {"mailbox": [StoredMessage], "dustbox": [StoredMessage], "deleted_here":
    [(uidl, Message-ID)], "pending": [...]}; "tails": per .mbx with bytes after its last
    terminator, their length; "stray": files no mailbox owns (scratch files, cut-off tails).
    `logical(dump)` keeps only what must survive: the messages, their marks and the lists.
    """
    boxes, tails = {}, {}
    known = set(_KNOWN_FILES)
    for name in mailbox_names(path):
        box = {}
        for key, base in (("mailbox", name), ("dustbox", name + "_dustbox")):
            box[key], tail = read_box(path, base)
            if tail:
                tails[base + ".mbx"] = tail
            known.update((base + ".mbx", base + ".flg"))
        svm = _read(os.path.join(path, name + ".svm"))
        box["deleted_here"], box["pending"], _ = read_svm(svm) if svm is not None else ([], [],
                                                                                       True)
        known.update((name + ".cfg", name + ".svm"))
        boxes[name] = box
    stray = sorted(f for f in os.listdir(path) if f not in known)
    return {"boxes": boxes, "tails": tails, "stray": stray}


def logical(dump):
    """The part of a dump two equal states share: messages with marks, and the server lists."""
    return dump["boxes"]
