"""Peers, working directories and file layouts for the end-to-end tests and benchmarks; every
server listens on a loopback high port and writes only below the directory it is given."""

import contextlib
import grp
import hashlib
import io
import json
import os
import pwd
import random
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from collections import namedtuple

HOST = "127.0.0.1"
PROGRAM = None  # set by main()
ZONES = (".uri.test", ".relay-a.test", ".relay-b.test", ".dbl.test")
REMOTE_USER, REMOTE_PASSWORD = "taro", "remote-secret"
LOCAL_USER, LOCAL_PASSWORD = "hanako", "local-secret"


def main():
    global PROGRAM
    if len(sys.argv) < 2:
        sys.exit("usage: %s PATH_TO_QM_MAILFILTER [unittest options]" % sys.argv[0])
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(module="__main__", verbosity=2)


# Below the kernel's ephemeral range, so that no client socket takes a port between draw and bind.
_draw = random.Random(os.getpid() ^ time.monotonic_ns())


def free_port():
    while True:
        port = _draw.randrange(20000, 32768)
        try:
            for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                with socket.socket(socket.AF_INET, kind) as s:
                    s.bind((HOST, port))
            return port
        except OSError:
            continue


def stuffed(message):
    """A message as POP3 carries it and a mailbox keeps it: CR LF lines, dots doubled, ".\r\n"."""
    lines = message.replace(b"\r\n", b"\n").split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join((b"." + line if line.startswith(b".") else line) + b"\r\n"
                    for line in lines) + b".\r\n"


def _greets(address, process, timeout, secure=False):
    """Whether `address` greets "+OK" (inside TLS if `secure`) in time while `process` runs."""
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    deadline = time.monotonic() + timeout
    while process.poll() is None and time.monotonic() < deadline:
        try:
            with socket.create_connection(address, timeout=2) as raw, \
                    (context.wrap_socket(raw) if secure else raw) as conn:
                if conn.recv(512).startswith(b"+OK"):
                    return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, NotADirectoryError):
        return None


def _text(path):
    return (_read(path) or b"").decode("utf-8", "replace")


def _write(path, data, mode=None):
    with open(path, "wb" if isinstance(data, bytes) else "w") as f:
        f.write(data)
    if mode is not None:
        os.chmod(path, mode)
    return path


class _Listener:
    """A thread serving a loopback socket until stop(); a short time-out lets it see stop()."""

    def _listen(self):
        self.sock = socket.create_server((HOST, 0))
        self.sock.settimeout(0.1)
        self.port = self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self._loop, daemon=True)]
        self.threads[0].start()

    def _loop(self):
        while not self.stopping.is_set():
            try:
                self._once()
            except socket.timeout:
                continue
            except OSError:
                return

    def stop(self):
        self.stopping.set()
        self.sock.close()
        for thread in list(self.threads):
            thread.join(timeout=10)


class Dnsmasq:
    """dnsmasq answering `records` (name: address) in `zones`, NXDOMAIN for other names there."""

    def __init__(self, directory, zones, records):
        self.log_path, conf = (os.path.join(directory, n) for n in ("dnsmasq.log", "dnsmasq.conf"))
        for attempt in range(5):  # another process may take the free port before dnsmasq binds it
            self.port = free_port()
            _write(conf, "port=%d\nlisten-address=%s\nbind-interfaces\nno-resolv\nno-hosts\n"
                   "user=%s\npid-file=%s\nlog-queries\nlog-facility=%s\nlocal=/%s/\n"
                   % (self.port, HOST, pwd.getpwuid(os.getuid()).pw_name,
                      os.path.join(directory, "dnsmasq.pid"), self.log_path,
                      "/".join(zone.strip(".") for zone in zones)) +
                   "".join("host-record=%s,%s\n" % item for item in records.items()))
            self.process = subprocess.Popen(["dnsmasq", "--keep-in-foreground",
                                             "--conf-file=" + conf], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            deadline = time.monotonic() + 10
            while "started" not in _text(self.log_path):
                if self.process.poll() is not None or time.monotonic() > deadline:
                    error = self.stop()
                    if attempt == 4:
                        raise RuntimeError("dnsmasq did not start: %r" % error)
                    break
                time.sleep(0.05)
            else:
                return

    def queries(self):
        return [line.split("query[A] ")[1].split(" ")[0]
                for line in _text(self.log_path).splitlines() if "query[A] " in line]

    def wait_for_query(self, name, timeout=5):
        """The queries so far, once `name` is among them (dnsmasq writes its log late)."""
        deadline = time.monotonic() + timeout
        while name not in self.queries() and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.queries()

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            error, self.process = self.process.communicate(timeout=10)[1], None
            return error


def _dovecot():
    return shutil.which("dovecot") or shutil.which("dovecot", path="/usr/sbin")


available = _dovecot  # a path, or None when Dovecot is not installed


def skip_unless_installed(*tools):
    missing = [t for t in tools if not (available() if t == "dovecot" else shutil.which(t))]
    if missing:
        raise unittest.SkipTest("not installed: %s (scripts/setup installs them)"
                                % ", ".join(missing))


def fill_maildir(maildir, messages, lf=False, owner=None, first=0):
    """Delivers messages into maildir/new as Dovecot would, a second apart (numbered from
    `first`); a name up to "," is the unique id. `lf` turns CR LF into LF."""
    for sub in ("", "cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        if owner is not None:
            os.chown(os.path.join(maildir, sub), *owner)
    names = []
    for n, data in enumerate(messages, first):
        data = data.replace(b"\r\n", b"\n") if lf else data
        name = "%d.M%dP%d.qmtest,S=%d,W=%d" % (1700000000 + n, n, os.getpid(), len(data),
                                                len(data) + data.count(b"\n") -
                                                data.count(b"\r\n"))
        scratch = _write(os.path.join(maildir, "tmp", name), data)
        if owner is not None:
            os.chown(scratch, *owner)
        os.rename(scratch, os.path.join(maildir, "new", name))
        names.append(name)
    return names


_delivered = [10 ** 6]  # numbers of later deliveries, after any fill_maildir's: never reused


class Dovecot:
    """`dovecot -F` serving `maildir` to one user on HOST:port (as the `mail` user when root);
    `ssl` "no", "yes" (STLS) or "required", with a Certificates `cert` and POP3S on `tls_port`;
    `oauth_url`: AUTH XOAUTH2 checked there; `settings`: more lines."""

    def __init__(self, workdir, port, user, password, maildir=None, settings=None,
                 cert=None, tls_port=None, ssl="no", oauth_url=None):
        assert port not in (110, 995) and tls_port not in (110, 995)
        self.workdir = os.path.abspath(workdir)
        self.port, self.user, self.password, self.cert = port, user, password, cert
        self.settings, self.ssl, self.oauth_url = dict(settings or {}), ssl, oauth_url
        self.tls_port = tls_port if ssl != "no" else None
        self.dir = self.process = self._output = None
        self.maildir = os.path.abspath(maildir or os.path.join(self.workdir, "Maildir"))
        self.mail_owner = pwd.getpwnam("mail")[2:4] if os.geteuid() == 0 else None

    @property
    def address(self):
        return (HOST, self.port)

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="dovecot_", dir=self.workdir)
        fill_maildir(self.maildir, [], owner=self.mail_owner)
        if self.mail_owner is not None:
            for root, dirs, files in os.walk(self.maildir):
                for name in dirs + files:
                    os.chown(os.path.join(root, name), *self.mail_owner)
            for path in (self.workdir, self.dir):
                os.chmod(path, os.stat(path).st_mode & 0o7777 | 0o011)
        config = _write(os.path.join(self.dir, "dovecot.conf"), self.config())
        passwd = _write(os.path.join(self.dir, "passwd"),
                        "%s:{PLAIN}%s::::::\n" % (self.user, self.password))
        if os.geteuid() == 0:  # read by the authentication process, as the internal user
            os.chown(passwd, 0, grp.getgrnam("dovecot").gr_gid)
            os.chmod(passwd, 0o640)
        self._output = open(os.path.join(self.dir, "stdout.log"), "wb")
        # A session of its own, so that a kill reaches Dovecot's children through the group.
        self.process = subprocess.Popen([_dovecot(), "-F", "-c", config],
                                        stdin=subprocess.DEVNULL, stdout=self._output,
                                        stderr=subprocess.STDOUT, start_new_session=True)
        try:
            for address, secure in ((self.address, False), ((HOST, self.tls_port), True)):
                if address[1] and not _greets(address, self.process, 20, secure):
                    raise RuntimeError("dovecot did not answer on %s:\n%s"
                                       % (address, self.log()[-3000:]))
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout=10)
            for sig in (signal.SIGTERM, signal.SIGKILL):  # children left behind
                try:
                    os.killpg(self.process.pid, sig)
                    time.sleep(0.2)
                except (ProcessLookupError, PermissionError):
                    break
            self.process.wait(timeout=10)
            self.process = None
        if self._output is not None:
            self._output.close()
        if self.dir is not None:
            shutil.rmtree(self.dir, ignore_errors=True)
        self._output = self.dir = None

    def log(self):
        return "".join(_text(os.path.join(self.dir or "", n))
                       for n in ("dovecot.log", "stdout.log"))

    def logins(self):
        """One line per successful login (", TLS," inside TLS)."""
        return [line for line in self.log().splitlines() if "pop3-login: Info: Login:" in line]

    def mechanisms(self):
        """The SASL mechanism of every login attempt, in order (with oauth_url only)."""
        return re.findall(r"client in: AUTH\t\d+\t(\S+)\t", self.log())

    def deliver(self, messages):
        """Adds messages (also while running) under unique ids never used before."""
        _delivered[0] += len(messages)
        return fill_maildir(self.maildir, messages, False, self.mail_owner,
                            _delivered[0] - len(messages))

    def config(self):
        uid, gid = self.mail_owner or (os.getuid(), os.getgid())
        d, log = self.dir, os.path.join(self.dir, "dovecot.log")
        lines = ["protocols = pop3", "listen = " + HOST, "base_dir = " + os.path.join(d, "run"),
                 "state_dir = " + os.path.join(d, "state"),
                 "instance_name = qm-test-%d" % self.port,
                 "log_path = " + log, "info_log_path = " + log, "debug_log_path = " + log,
                 "ssl = " + self.ssl, "disable_plaintext_auth = no",
                 "mail_location = maildir:" + self.maildir, "first_valid_uid = %d" % uid,
                 "last_valid_uid = %d" % uid, "first_valid_gid = %d" % gid,
                 "last_valid_gid = %d" % gid, "pop3_uidl_format = %g"]
        if self.ssl != "no":
            lines += ["ssl_cert = <" + self.cert.cert, "ssl_key = <" + self.cert.key,
                      "ssl_min_protocol = TLSv1.2"]
        if os.geteuid() != 0:
            me = pwd.getpwuid(os.getuid()).pw_name
            lines += ["default_internal_user = " + me, "default_login_user = " + me,
                      "default_internal_group = " + grp.getgrgid(os.getgid()).gr_name]
        lines += ["%s = %s" % item for item in self.settings.items()]
        if self.oauth_url:
            conf = _write(os.path.join(d, "oauth2.conf.ext"),
                          "introspection_mode = post\nintrospection_url = %s\n"
                          "force_introspection = yes\nusername_attribute = username\n"
                          "active_attribute = active\nactive_value = true\n" % self.oauth_url,
                          0o644)
            lines += ["auth_mechanisms = plain xoauth2", "auth_debug = yes", "passdb {",
                      "  driver = oauth2", "  mechanisms = xoauth2", "  args = " + conf, "}"]
        else:
            lines.append("auth_mechanisms = plain")
        lines += ["passdb {", "  driver = passwd-file",
                  "  args = scheme=PLAIN username_format=%%u %s" % os.path.join(d, "passwd"), "}",
                  "userdb {", "  driver = static",
                  "  args = uid=%d gid=%d home=%s" % (uid, gid, self.maildir), "}",
                  "service pop3-login {", "  inet_listener pop3 {", "    address = " + HOST,
                  "    port = %d" % self.port, "  }", "  inet_listener pop3s {"]
        lines += (["    address = " + HOST, "    port = %d" % self.tls_port, "    ssl = yes"]
                  if self.tls_port else ["    port = 0"]) + ["  }"]
        if os.geteuid() != 0:
            lines += ["  chroot =", "}", "service anvil {", "  chroot ="]
        return "\n".join(lines + ["}", ""])


Pair = namedtuple("Pair", "cert key")


class Certificates:
    """A CA, what it signed for localhost and 127.0.0.1 (`good`) and for wrong.example (`wrong`),
    and a CA that signed nothing (`other_ca`)."""

    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.ca = self._make("ca", "qm test CA")
        self.good = self._make("good", "localhost", "DNS:localhost, IP:127.0.0.1")
        self.wrong = self._make("wrong", "wrong.example", "DNS:wrong.example")
        self.other_ca = self._make("other_ca", "qm other CA")

    def _make(self, name, common_name, alt_names=None):
        key, cert = (os.path.join(self.dir, name + end) for end in (".key", ".pem"))
        usage = ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"] \
            if alt_names is None else [
                "basicConstraints=critical,CA:FALSE", "subjectAltName=" + alt_names,
                "keyUsage=critical,digitalSignature,keyEncipherment", "extendedKeyUsage=serverAuth"]
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert,
                        "-subj", "/CN=" + common_name, "-days", "30", "-sha256"] +
                       ([] if alt_names is None else ["-CA", self.ca.cert, "-CAkey", self.ca.key]) +
                       [arg for ext in usage for arg in ("-addext", ext)],
                       capture_output=True, check=True, timeout=60)
        os.chmod(key, 0o600)
        return Pair(cert, key)


class FakePop3(_Listener):
    """A TCP peer running `behaviour(conn, fake)` per connection; recv_* record all_received."""

    def __init__(self, behaviour):
        self.behaviour, self.received, self.connections = behaviour, [], []
        self._listen()

    def _once(self):
        conn, _ = self.sock.accept()
        self.connections.append(conn)
        self.threads.append(threading.Thread(target=self._serve, args=(conn,), daemon=True))
        self.threads[-1].start()

    def _serve(self, conn):
        with contextlib.suppress(OSError):
            self.behaviour(conn, self)

    def recv_some(self, conn, timeout=10.0):
        conn.settimeout(timeout)
        try:
            self.received.append(conn.recv(65536))
        except socket.timeout:
            return None
        return self.received[-1]

    def recv_line(self, conn, buffer):
        while b"\r\n" not in buffer:
            data = self.recv_some(conn)
            if not data:
                return None
            buffer += data
        line = bytes(buffer[:buffer.index(b"\r\n") + 2])
        del buffer[:len(line)]
        return line

    def wait_quietly(self, conn):
        while not self.stopping.is_set() and self.recv_some(conn, 0.2) != b"":
            pass

    def all_received(self):
        return b"".join(self.received)

    def stop(self):
        self.stopping.set()
        for conn in self.connections:
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
            conn.close()
        super().stop()


def fetchmail(scratch, port):
    """The messages fetchmail's MDA gets, in order, in one run as the local user against
    HOST:port (POP3, no TLS, keeping the server copies)."""
    out = os.path.join(scratch, "fetched")
    shutil.rmtree(out, ignore_errors=True)
    os.mkdir(out)
    mda = _write(os.path.join(scratch, "mda.py"),
                 "import os, sys\nout = sys.argv[1]\npath = os.path.join(out, '%05d' % "
                 "len(os.listdir(out)))\nopen(path, 'wb').write(sys.stdin.buffer.read())\n")
    rc = _write(os.path.join(scratch, "fetchmailrc"),
                'poll %s with proto POP3 port %d auth password\n  user "%s" there with '
                'password "%s" is "root" here\n  options fetchall keep sslproto ""\n'
                '  mda "%s %s %s"\n'
                % (HOST, port, LOCAL_USER, LOCAL_PASSWORD, sys.executable, mda, out),
                0o600)
    done = subprocess.run(["fetchmail", "-f", rc, "--nosyslog", "--invisible", "--nodetach",
                           "-i", os.path.join(scratch, "fetchids"),
                           "--pidfile", os.path.join(scratch, "fetchmail.pid")],
                          stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
                          env=dict(os.environ, HOME=scratch))
    if done.returncode not in (0, 1):  # 1: there was no mail
        raise AssertionError("fetchmail exited with %d: %s"
                             % (done.returncode, done.stderr.decode("utf-8", "replace")))
    return [_read(os.path.join(out, name)) for name in sorted(os.listdir(out))]


def write_settings(workdir, local_port, mailboxes=(), dns_port=None, zones=("",) * 4,
                   server_keys=(), **misc):
    """qm_mailfilter.ini: the local server on HOST:local_port with further "KEY=VALUE"
    `server_keys`, the mailboxes, the [Misc] keys given, the zones and their DNS server."""
    os.makedirs(workdir, exist_ok=True)
    lines = ["[Mailbox]", "Port=%d" % local_port, "BindAddress=" + HOST] + list(server_keys)
    if mailboxes:
        lines.append("Mailboxes=" + "".join(name + ":" for name in mailboxes))
    lines += ["[Misc]"] + ["%s=%s" % item for item in misc.items()] + ["[RBL]"]
    if dns_port:
        lines += ["DnsServers=%s:%d" % (HOST, dns_port), "DnsTimeout=2"]
    lines += ["Zone%d=%s" % item for item in enumerate(zones)]
    _write(os.path.join(workdir, "qm_mailfilter.ini"), ("\r\n".join(lines) + "\r\n").encode())


def run(program, workdir, *args, expect=0, timeout=120):
    return Workdir.command(program, workdir, args, expect, timeout).out


class Workdir:

    def __init__(self, path, program, dns_port, local_port=None, server_timeout=20,
                 startup_retrieve=0, zones=ZONES):
        self.path, self.program = path, program
        self.local_port = local_port or free_port()
        write_settings(path, self.local_port, dns_port=dns_port, zones=zones,
                       ServerTimeout=server_timeout, StartupRetrieve=startup_retrieve)

    @staticmethod
    def command(program, path, args, expect=0, timeout=120):
        try:
            done = subprocess.run([program, "--workdir", path] + list(args),
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s still ran after %d s (hangs)" % (" ".join(args), timeout))
        done.out = done.stdout.decode("utf-8", "replace")
        done.err = done.stderr.decode("utf-8", "replace")
        if expect is not None and done.returncode != expect:
            raise AssertionError("%s exited with %d, not %d\nstdout: %s\nstderr: %s\nlog: %s"
                                 % (" ".join(args), done.returncode, expect, done.out, done.err,
                                    read_log(path)[-3000:]))
        return done

    def run(self, *args, expect=0, timeout=120):
        return self.command(self.program, self.path, args, expect, timeout)

    def set_setting(self, key, value):
        path = os.path.join(self.path, "qm_mailfilter.ini")
        text, count = re.subn(rb"(?m)^%s=[^\r\n]*" % key.encode(),
                              b"%s=%s" % (key.encode(), str(value).encode()), _read(path))
        assert count == 1, key
        _write(path, text)

    def add_mailbox(self, name, server_port, policy="keep", local_user=LOCAL_USER,
                    password=REMOTE_PASSWORD, server=HOST, **options):
        self.run("mailbox", "add", name)
        settings = dict(server=server, port=server_port, user=REMOTE_USER, password=password,
                        localUser=local_user, localPassword=LOCAL_PASSWORD,
                        serverDeletion=policy, **options)
        self.run("mailbox", "set", name, *("%s=%s" % item for item in settings.items()))

    def show(self, name):
        return dict(line.split("=", 1) for line in self.run("mailbox", "show", name).out
                    .splitlines() if "=" in line)

    def retrieve(self, name=None, expect=0, timeout=120):
        return self.run("retrieve", *([name] if name else []), expect=expect,
                        timeout=timeout).err

    def rows(self, name, dustbox=False):
        out = self.run("mail", "list", "--json", *(["--dustbox"] if dustbox else []), name).out
        return [json.loads(line) for line in out.splitlines()]

    def read(self, name):
        return _read(os.path.join(self.path, name)) or b""

    def log(self):
        return read_log(self.path)


def read_log(workdir):
    return _text(os.path.join(workdir, "qm_mailfilter.log"))


def wait_for_log(workdir, text, timeout=60):
    deadline = time.monotonic() + timeout
    while text not in read_log(workdir) and time.monotonic() < deadline:
        time.sleep(0.1)
    return text in read_log(workdir)


class HeadlessProgram:
    """`--headless` in workdir (None: the default), once it greets on HOST:port."""

    def __init__(self, program, workdir, port, timeout=20, prefix=(), env=None):
        self.output = tempfile.TemporaryFile()  # a file: writing must never block the program
        where = ["--workdir", workdir] if workdir is not None else []
        self.process = subprocess.Popen(list(prefix) + [program, "--headless"] + where,
                                        stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=self.output, env=env)
        if not _greets((HOST, port), self.process, timeout):
            self.kill()
            raise RuntimeError("the local server never greeted: " + self.text())

    def terminate(self, timeout=30):
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

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.kill()
        self.output.close()

    def text(self):
        self.output.seek(0)
        return self.output.read().decode("utf-8", "replace")


# The files of a working directory. An archive string is its length (1 byte; or 0xFF and a u16
# below 0xFFFE; or 0xFF 0xFFFF and a u32), then the bytes.
def pack_string(data):
    data = data.encode() if isinstance(data, str) else data
    n = len(data)
    return bytes([n]) + data if n < 0xFF else b"\xff" + struct.pack("<H", n) + data \
        if n < 0xFFFE else b"\xff\xff\xff" + struct.pack("<I", n) + data


class _Reader(io.BytesIO):
    """Reads archive items; a read past the end raises EOFError."""

    def take(self, n):
        if len(data := self.read(n)) < n:
            raise EOFError
        return data

    def u32(self):
        return struct.unpack("<I", self.take(4))[0]

    def string(self):
        n = self.take(1)[0]
        if n == 0xFF:
            n = struct.unpack("<H", self.take(2))[0]
            n = self.u32() if n == 0xFFFF else n
        return self.take(n).decode("latin-1")


FRESH_FLAGS = 0x0C  # not hidden, unread, verdict 3 (unclassified), reason 0


def flags_of(hidden=False, opened=False, verdict=3, reason=0):
    """A mark's flag word: bit 0 hidden, bit 1 opened, bits 2-4 the verdict (-1 other, 0 friend,
    1 spam, 2 bad, 3 unclassified; signed), bits 5-7 the reason."""
    return hidden | opened << 1 | (verdict & 7) << 2 | (reason & 7) << 5


def write_flg(marks):
    """The .flg bytes of marks [(flags, uidl)]: a u32 count, then u32 flags and uidl each."""
    return struct.pack("<I", len(marks)) + b"".join(
        struct.pack("<I", flags) + pack_string(uidl) for flags, uidl in marks)


def read_flg(data):
    """The marks [(flags, uidl)] up to the first damaged record."""
    reader, marks = _Reader(data), []
    try:
        for _ in range(reader.u32()):
            marks.append((reader.u32(), reader.string()))
    except EOFError:
        pass
    return marks


def write_svm(deleted_here, pending):
    """The .svm bytes: two lists of (uidl, Message-ID) pairs, each a u32 count and the pairs."""
    return b"".join(struct.pack("<I", len(pairs)) +
                    b"".join(pack_string(uid) + pack_string(mid) for uid, mid in pairs)
                    for pairs in (deleted_here, pending))


def read_svm(data):
    """(deletedHere, pendingDeletions) as [(uidl, Message-ID)], up to any damage."""
    reader, lists = _Reader(data), ([], [])
    try:
        for pairs in lists:
            for _ in range(reader.u32()):
                pairs.append((reader.string(), reader.string()))
    except EOFError:
        pass
    return lists


# The option bits of the two stored words by the names `mailbox show` uses: bit i of word A,
# then bits 2 and up of word B (bits 0-1 hold serverDeletion).
_WORD_A = ["notifyOther", "notifySpam", "notifyBad", "notifyFriend", "hideOther", "hideSpam",
           "hideBad", "hideFriend", "dustboxOther", "dustboxSpam", "dustboxBad",
           "dustboxFriend", "keepOtherOnServer", "keepFriendOnServer", "limitDustbox"]
_WORD_B = ["onDemand", "openDustboxAtExit", "dustboxAccess", "keepOtherOnServer",
           "keepFriendOnServer"]
POLICIES = ["keep", "retrieved", "dustboxed", "purged"]
DEFAULT_SETTINGS = dict(
    {name: 0 for name in _WORD_A + _WORD_B},
    localUser="", localPassword="", dustboxUser="", dustboxPassword="", timerInterval=180,
    dustboxLimit=100, serverDeletion="retrieved", server="", port=110, user="", password="",
    notifyFriend=1, notifyOther=1, dustboxBad=1, dustboxSpam=1, limitDustbox=1)


def write_cfg(**settings):
    assert set(settings) <= set(DEFAULT_SETTINGS), set(settings) - set(DEFAULT_SETTINGS)
    s = dict(DEFAULT_SETTINGS, **settings)
    word_a = sum(1 << i for i, name in enumerate(_WORD_A) if s[name])
    word_b = POLICIES.index(s["serverDeletion"]) | sum(
        1 << (i + 2) for i, name in enumerate(_WORD_B) if s[name])
    strings = [pack_string(s[k]) for k in ("localUser", "localPassword", "dustboxUser",
                                           "dustboxPassword", "server", "user", "password")]
    return (b"".join(strings[:4]) + struct.pack("<IIHH", s["timerInterval"], s["dustboxLimit"],
                                                word_a, word_b) +
            strings[4] + struct.pack("<I", s["port"]) + strings[5] + strings[6])


def split_mbx(data):
    """(stored messages, bytes after the last CR LF "." CR LF) of a .mbx."""
    parts = data.split(b"\r\n.\r\n")
    return [p + b"\r\n.\r\n" for p in parts[:-1]], parts[-1]


# A message in a mailbox: its stored bytes (`stuffed`) and its mark.
Stored = namedtuple("Stored", "text flags uidl")


def write_workdir(path, port, mailboxes, friends=(), bads=(), **misc):
    """Settings with the [Misc] keys given, sender lists and `mailboxes`: dicts of name, messages,
    dustbox ([Stored]), settings (for write_cfg), deleted_here, pending ([(uidl, Message-ID)])."""
    write_settings(path, port, [box["name"] for box in mailboxes], **misc)
    files = {}
    for box in mailboxes:
        for suffix, messages in (("", box.get("messages", [])),
                                 ("_dustbox", box.get("dustbox", []))):
            files[box["name"] + suffix + ".mbx"] = b"".join(m.text for m in messages)
            files[box["name"] + suffix + ".flg"] = write_flg([(m.flags, m.uidl) for m in messages])
        files[box["name"] + ".cfg"] = write_cfg(**box.get("settings", {}))
        if box.get("deleted_here") or box.get("pending"):
            files[box["name"] + ".svm"] = write_svm(box.get("deleted_here", []),
                                                    box.get("pending", []))
    for name, addresses in (("friend.txt", friends), ("bad.txt", bads)):
        if addresses:
            files[name] = b"".join(b"0 " + a.encode() + b"\0\r\r\n" for a in addresses)
    for name, data in files.items():
        _write(os.path.join(path, name), data)


# One stored message as a load sees it: its Message-ID (or "#" and its digest), a digest of its
# stored bytes, its mark.
StoredMessage = namedtuple("StoredMessage", "id digest flags uidl")


def _message_id(text):
    head = text.split(b"\r\n\r\n", 1)[0].replace(b"\r\n", b"\n")
    match = re.search(rb"(?im)^Message-ID:[ \t]*(.*(?:\n[ \t].*)*)", head)
    return match and re.sub(rb"\n[ \t]+", b" ", match.group(1)).strip().decode("latin-1")


def read_box(path, name):
    """[StoredMessage] of mailbox (or dustbox) `name` as loading gives it: the messages of N.mbx
    with the marks of N.flg in order; one without a record gets a fresh mark."""
    texts, _ = split_mbx(_read(os.path.join(path, name + ".mbx")) or b"")
    marks = read_flg(_read(os.path.join(path, name + ".flg")) or b"")
    marks += [(FRESH_FLAGS, "")] * (len(texts) - len(marks))
    return [StoredMessage(_message_id(text) or "#" + digest, digest, *mark)
            for text, mark, digest in zip(texts, marks, (hashlib.sha1(t).hexdigest()[:12]
                                                        for t in texts))]


def dump_workdir(path):
    """{"boxes": per mailbox {"mailbox", "dustbox": [StoredMessage], "deleted_here", "pending":
    [(uidl, Message-ID)]}} of a working directory."""
    match = re.search(r"(?m)^Mailboxes=([^\r\n]*)", _text(os.path.join(path, "qm_mailfilter.ini")))
    boxes = {}
    for name in [n for n in match.group(1).split(":") if n] if match else []:
        boxes[name] = {"mailbox": read_box(path, name),
                       "dustbox": read_box(path, name + "_dustbox")}
        boxes[name]["deleted_here"], boxes[name]["pending"] = read_svm(
            _read(os.path.join(path, name + ".svm")) or b"\0" * 8)
    return {"boxes": boxes}
