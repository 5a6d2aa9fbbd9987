"""Test certificates, a TLS-capable private Dovecot and raw fake POP3 peers for TLS tests.

    from tls_dovecot import Certificates, TlsDovecot

    certs = Certificates(scratch)            # a test CA and server certificates, made now
    with TlsDovecot(scratch, free_port(), "taro", "secret", maildir,
                    cert=certs.good, tls_port=free_port()) as server:
        server.address       # plain POP3 port, which offers STLS
        server.tls_address   # POP3 over TLS from the first byte

`TlsDovecot` is `dovecot.Dovecot` with `ssl = yes` (or "required", or "no": a server that does
not offer STLS at all), a certificate and key, and a `pop3s` listener on `tls_port` next to the
plain one. Everything else (users, maildir, privilege separation, files below `workdir`) is
as in dovecot.py.

Certificates are made with the `openssl` command from a configuration file of our own, so the
system's openssl.cnf does not matter: EC P-256 keys, a CA with basicConstraints CA:TRUE, and
server certificates signed by it. `good` names DNS:localhost and IP:127.0.0.1; `wrong` names
only DNS:wrong.example. Dovecot reads the certificate and the key through its config process,
which runs as the user that started Dovecot, so the files can stay private (0600).

`FakePop3` is a raw TCP peer on a loopback port that plays a scripted part (a server that refuses
STLS, one that stops in the middle of the handshake) and records every byte it receives.
`NxDomainDns` answers every DNS query "no such name" on a loopback UDP port, for the program's
blocklist look-ups.
"""

import os
import socket
import ssl
import subprocess
import threading
import time

import dovecot

__all__ = ["Certificates", "TlsDovecot", "FakePop3", "NxDomainDns", "openssl_available"]

_HOST = "127.0.0.1"

_OPENSSL_CONFIG = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
"""


def openssl_available():
    try:
        subprocess.run(["openssl", "version"], capture_output=True, check=True, timeout=10)
        return True
    except (OSError, subprocess.SubprocessError):
        return False


class Pair:
    """A certificate and its key, as files."""

    def __init__(self, cert, key):
        self.cert = cert
        self.key = key


class Certificates:
    """A test CA and two server certificates it signed, made in `directory` (created)."""

    def __init__(self, directory, days=30):
        self.dir = os.path.abspath(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.config = os.path.join(self.dir, "openssl.cnf")
        with open(self.config, "w") as f:
            f.write(_OPENSSL_CONFIG)
        self.days = days
        self.ca = self._make_ca("qm test CA")
        self.good = self._make_server("good", "localhost",
                                      "DNS:localhost, IP:127.0.0.1")
        self.wrong = self._make_server("wrong", "wrong.example", "DNS:wrong.example")
        # A second CA that signed nothing here: trusting it alone trusts none of the servers.
        self.other_ca = self._make_ca("qm other CA", "other_ca")

    def path(self, name):
        return os.path.join(self.dir, name)

    def _openssl(self, *args):
        env = dict(os.environ, OPENSSL_CONF=self.config)
        done = subprocess.run(["openssl"] + list(args), capture_output=True, env=env,
                              timeout=60)
        if done.returncode != 0:
            raise RuntimeError("openssl %s failed:\n%s" % (args[0], done.stderr.decode()))

    def _key(self, name):
        key = self.path(name + ".key")
        self._openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                      "-out", key)
        os.chmod(key, 0o600)
        return key

    def _make_ca(self, common_name, name="ca"):
        key = self._key(name)
        cert = self.path(name + ".pem")
        self._openssl("req", "-config", self.config, "-new", "-x509", "-key", key,
                      "-subj", "/CN=" + common_name, "-days", str(self.days),
                      "-extensions", "ca_ext", "-sha256", "-out", cert)
        return Pair(cert, key)

    def _make_server(self, name, common_name, alt_names):
        key = self._key(name)
        request = self.path(name + ".csr")
        cert = self.path(name + ".pem")
        extensions = self.path(name + ".ext")
        with open(extensions, "w") as f:
            f.write("basicConstraints = critical, CA:FALSE\n"
                    "keyUsage = critical, digitalSignature, keyEncipherment\n"
                    "extendedKeyUsage = serverAuth\n"
                    "subjectAltName = %s\n" % alt_names)
        self._openssl("req", "-config", self.config, "-new", "-key", key,
                      "-subj", "/CN=" + common_name, "-out", request)
        self._openssl("x509", "-req", "-in", request, "-CA", self.ca.cert,
                      "-CAkey", self.ca.key, "-CAcreateserial", "-days", str(self.days),
                      "-sha256", "-extfile", extensions, "-out", cert)
        return Pair(cert, key)


class TlsDovecot(dovecot.Dovecot):
    """A private Dovecot that speaks TLS: STLS on the plain port, POP3S on `tls_port`.

    `ssl` is Dovecot's setting: "yes" (STLS offered, plaintext login allowed), "required"
    (login only inside TLS) or "no" (no TLS at all: STLS unknown, no pop3s listener).
    """

    def __init__(self, workdir, port, user, password, maildir=None, settings=None,
                 cert=None, tls_port=None, ssl="yes", **kwargs):
        if ssl not in ("yes", "required", "no"):
            raise ValueError("ssl must be yes, required or no: %r" % ssl)
        if ssl != "no" and (cert is None or tls_port is None):
            raise ValueError("a TLS server needs a certificate and a port for pop3s")
        if tls_port is not None and (tls_port in (110, 995) or not 1024 <= tls_port <= 65535):
            raise ValueError("the test server needs a high port other than 110/995: %r"
                             % tls_port)
        super().__init__(workdir, port, user, password, maildir, settings, **kwargs)
        self.ssl = ssl
        self.cert = cert
        self.tls_port = tls_port if ssl != "no" else None

    @property
    def tls_address(self):
        return (_HOST, self.tls_port)

    def config(self):
        lines = super().config().split("\n")
        if self.ssl == "no":
            return "\n".join(lines)
        try:
            at = lines.index("ssl = no")
        except ValueError:
            raise dovecot.DovecotError("dovecot.py no longer writes 'ssl = no'; "
                                       "tls_dovecot.py needs an update")
        lines[at:at + 1] = [
            "ssl = %s" % self.ssl,
            "ssl_cert = <%s" % self.cert.cert,
            "ssl_key = <%s" % self.cert.key,
            "ssl_min_protocol = TLSv1.2",
        ]
        # The disabled pop3s listener that dovecot.py writes gets our address and port.
        try:
            start = lines.index("  inet_listener pop3s {")
            port_line = lines.index("    port = 0", start)
        except ValueError:
            raise dovecot.DovecotError("dovecot.py no longer writes a pop3s listener; "
                                       "tls_dovecot.py needs an update")
        lines[port_line:port_line + 1] = ["    address = %s" % _HOST,
                                          "    port = %d" % self.tls_port,
                                          "    ssl = yes"]
        return "\n".join(lines)

    def _wait_until_ready(self):
        super()._wait_until_ready()
        if self.tls_port is None:
            return
        # The plain port greets; the TLS one must complete a handshake too.
        context = ssl.create_default_context(cafile=None)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        deadline = time.monotonic() + self.start_timeout
        while True:
            try:
                with socket.create_connection(self.tls_address, timeout=2) as raw:
                    with context.wrap_socket(raw) as conn:
                        if conn.recv(512).startswith(b"+OK"):
                            return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise dovecot.DovecotError("dovecot's pop3s port %d never answered:\n%s"
                                           % (self.tls_port, self.log()[-3000:]))
            time.sleep(0.05)

    def logins(self):
        """Dovecot's "Login:" log lines, one for each successful authentication."""
        return [line for line in self.log().splitlines() if "pop3-login: Info: Login:" in line]


class FakePop3:
    """A raw TCP peer on a loopback port that plays one scripted part and records all bytes.

    `behaviour(conn, fake)` runs for every accepted connection in a thread of its own; it reads
    and writes with fake.recv_some / conn.sendall and appends what it received to
    fake.received (a list of bytes chunks, per connection in order). stop() closes the
    listener and every connection and joins the threads.
    """

    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((_HOST, 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.received = []
        self.events = []
        self.connections = []
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _accept(self):
        # A timeout, because closing the listener does not wake a thread blocked in accept().
        self.listener.settimeout(0.1)
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.connections.append(conn)
                thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
                self.threads.append(thread)
            thread.start()

    def _serve(self, conn):
        try:
            self.behaviour(conn, self)
        except (OSError, ssl.SSLError) as error:
            self.note("error: %r" % error)

    def note(self, event):
        with self.lock:
            self.events.append(event)

    def recv_some(self, conn, timeout=10.0):
        """The next bytes from conn (b"" at its end, or None after `timeout`); recorded."""
        conn.settimeout(timeout)
        try:
            data = conn.recv(65536)
        except socket.timeout:
            return None
        with self.lock:
            self.received.append(data)
        return data

    def recv_line(self, conn, buffer, timeout=10.0):
        """One CR LF line (with its end) from conn, using and updating `buffer` (bytearray)."""
        deadline = time.monotonic() + timeout
        while b"\r\n" not in buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            data = self.recv_some(conn, left)
            if not data:
                return None
            buffer += data
        end = buffer.index(b"\r\n") + 2
        line = bytes(buffer[:end])
        del buffer[:end]
        return line

    def wait_quietly(self, conn, seconds=60.0):
        """Holds the connection open without a word until the peer closes it or stop()."""
        deadline = time.monotonic() + seconds
        while not self.stopping.is_set() and time.monotonic() < deadline:
            data = self.recv_some(conn, 0.2)
            if data == b"":
                self.note("peer closed")
                return

    def all_received(self):
        with self.lock:
            return b"".join(self.received)

    def stop(self):
        self.stopping.set()
        try:
            self.listener.close()
        except OSError:
            pass
        with self.lock:
            connections = list(self.connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()
        for thread in self.threads:
            thread.join(timeout=10)


class NxDomainDns:
    """A DNS server on a loopback UDP port that answers every query "no such name".

    Points the program's blocklist look-ups at loopback, so that no query leaves the machine
    and none waits for a time-out; `queries` counts what it was asked. stop() ends it.
    """

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind((_HOST, 0))
        self.socket.settimeout(0.1)
        self.port = self.socket.getsockname()[1]
        self.queries = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def _serve(self):
        while not self.stopping.is_set():
            try:
                query, peer = self.socket.recvfrom(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            if len(query) < 12:
                continue
            self.queries += 1
            # The question section ends after the name (labels up to the zero byte) and its
            # type and class; everything after it (EDNS) is left out of the answer.
            end = 12
            while end < len(query) and query[end] != 0:
                end += query[end] + 1
            end += 5
            flags = 0x8180 | (query[2] & 0x01) << 8 | 3  # response, RD copied, RA, NXDOMAIN
            answer = (query[:2] + flags.to_bytes(2, "big") + b"\x00\x01" + b"\x00" * 6 +
                      query[12:end])
            try:
                self.socket.sendto(answer, peer)
            except OSError:
                pass

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.socket.close()
