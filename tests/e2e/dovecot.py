"""A private Dovecot POP3 server for black-box tests and benchmarks.

    from dovecot import Dovecot, fill_maildir, free_port

    with tempfile.TemporaryDirectory() as scratch:
        maildir = os.path.join(scratch, "Maildir")
        fill_maildir(maildir, [b"Subject: one\\n\\nfirst\\n", b"Subject: two\\n\\nsecond\\n"])
        with Dovecot(scratch, free_port(), "taro", "secret", maildir) as server:
            pop = poplib.POP3(*server.address)
            ...

The server speaks POP3 only, on 127.0.0.1 and the given port, without TLS, and accepts one
user with a plaintext password (USER/PASS and AUTH PLAIN). Its configuration, sockets, state
and log live in a directory of their own below `workdir`; nothing outside that directory and
the maildir is written, and the system's Dovecot configuration is not read.

Started as root, Dovecot keeps its usual privilege separation: the login processes run as
dovenull, the authentication process as dovecot and the mail process as the `mail` user,
because Dovecot refuses to serve mail as uid 0. The maildir is therefore handed to `mail`,
and `workdir` is made traversable for others (o+x, not readable) so that those users can
reach their files; the directories above `workdir` must already be traversable.
Started as any other user, every Dovecot process runs as that user.

UIDL is `pop3_uidl_format = %g`, which for a maildir is the file name without the ":2,..."
flags part, i.e. exactly a name that `fill_maildir` returns. Further settings can be passed as
`settings` (a dict of top-level `name: value` lines), e.g. `{"pop3_no_flag_updates": "yes"}`
to keep RETR from marking messages seen and moving them from new/ to cur/ at QUIT.
"""

import grp
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import qmtest  # noqa: E402  (tests/support)

__all__ = ["Dovecot", "DovecotError", "available", "fill_maildir", "free_port",
           "maildir_names"]

# Never the well-known POP3 ports, whatever a caller passes.
_FORBIDDEN_PORTS = {110, 995}
_HOST = "127.0.0.1"
# The delivery number in a name that `maildir_names` made.
_DELIVERY_NUMBER = re.compile(r"\d+\.M(\d+)P\d+\.")


class DovecotError(RuntimeError):
    """Dovecot could not be started; the message includes the end of its log."""


def executable():
    """The path of the dovecot binary, or None."""
    for candidate in (shutil.which("dovecot"), "/usr/sbin/dovecot"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def available():
    """True when a Dovecot binary is installed (for unittest.skipUnless)."""
    return executable() is not None


def free_port():
    """A loopback port that was free a moment ago (drawn as every test draws them)."""
    return qmtest.free_port()


def _virtual_size(data):
    """The size with every bare LF counted as CR LF, as POP3 reports it."""
    return len(data) + data.count(b"\n") - data.count(b"\r\n")


def maildir_names(count, first=0, host="qmtest", stamp=1700000000):
    """The file names `fill_maildir` gives messages first .. first+count-1, without sizes.

    Every name carries its own second: Dovecot numbers new files in the order of the times in
    their names, and so in the order the messages were given.
    """
    return ["%d.M%dP%d.%s" % (stamp + first + i, first + i, os.getpid(), host)
            for i in range(count)]


def fill_maildir(maildir, messages, line_ends=None, owner=None, first=0):
    """Delivers messages into maildir/new and returns their file names in order.

    `messages` are whole messages as bytes in ordinary form (not dot-stuffed, no final "."
    line). `line_ends` "lf" or "crlf" rewrites the line ends; None writes the bytes as they
    are. Each file is written into tmp/ and renamed into new/, as maildir delivery requires,
    and named like a Dovecot delivery, with the physical size (S=) and the size with CR LF
    line ends (W=), so that Dovecot need not read a file to learn its POP3 size. `owner`
    (uid, gid) chowns the directories and files; `first` numbers further deliveries on from
    earlier ones. The cur/, new/ and tmp/ directories are created as needed.
    """
    for sub in ("cur", "new", "tmp"):
        path = os.path.join(maildir, sub)
        os.makedirs(path, exist_ok=True)
        if owner is not None:
            os.chown(path, *owner)
    if owner is not None:
        os.chown(maildir, *owner)
    names = []
    for base, data in zip(maildir_names(len(messages), first), messages):
        if line_ends is not None:
            data = data.replace(b"\r\n", b"\n")
            if line_ends == "crlf":
                data = data.replace(b"\n", b"\r\n")
            elif line_ends != "lf":
                raise ValueError("line_ends must be None, 'lf' or 'crlf'")
        name = "%s,S=%d,W=%d" % (base, len(data), _virtual_size(data))
        scratch = os.path.join(maildir, "tmp", name)
        with open(scratch, "wb") as f:
            f.write(data)
        if owner is not None:
            os.chown(scratch, *owner)
        os.rename(scratch, os.path.join(maildir, "new", name))
        names.append(name)
    return names


class Dovecot:
    """A `dovecot -F` serving one maildir over POP3 on 127.0.0.1:port.

    Use it as a context manager, or call start() and stop(). `workdir` is a directory the
    caller owns (it is left in place); the server's own files go into a fresh subdirectory of
    it, which stop() removes unless keep_files is set. `maildir` defaults to workdir/Maildir
    and is created when missing; it outlives stop(), so a restarted server finds its mail and
    its index again.
    """

    def __init__(self, workdir, port, user, password, maildir=None, settings=None,
                 start_timeout=20.0, keep_files=False):
        if not isinstance(port, int) or port in _FORBIDDEN_PORTS or not 1024 <= port <= 65535:
            raise ValueError("the test server needs a high port other than 110/995: %r" % port)
        for field in (user, password):
            if not field or any(c in field for c in ":\r\n\t ") or field != field.strip():
                raise ValueError("user and password must be plain tokens: %r" % field)
        self.workdir = os.path.abspath(workdir)
        self.port = port
        self.user = user
        self.password = password
        self.settings = dict(settings or {})
        self.start_timeout = start_timeout
        self.keep_files = keep_files
        self.dir = None
        self.maildir = os.path.abspath(maildir or os.path.join(self.workdir, "Maildir"))
        self.process = None
        self._output = None
        self.mail_owner = self._mail_owner()
        # Where deliver() numbers on: above every message delivered or found at start.
        self._next_number = 0

    # --- life -----------------------------------------------------------------------------

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    @property
    def address(self):
        return (_HOST, self.port)

    def start(self):
        binary = executable()
        if binary is None:
            raise DovecotError("dovecot is not installed")
        if self.process is not None:
            raise DovecotError("already started")
        self.dir = tempfile.mkdtemp(prefix="dovecot_", dir=self.workdir)
        self._prepare_files()
        self._next_number = max(self._next_number, self._following_number())
        self._output = open(os.path.join(self.dir, "stdout.log"), "wb")
        # A session of its own, so that a kill after a failed shutdown reaches Dovecot's
        # children through the process group of the master we started.
        self.process = subprocess.Popen(
            [binary, "-F", "-c", self.config_path], stdin=subprocess.DEVNULL,
            stdout=self._output, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            self._wait_until_ready()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self, timeout=10.0):
        """Stops the server (SIGTERM, then SIGKILL after `timeout`); returns its exit status."""
        code = None
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
            try:
                code = self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self._kill_group()
                code = self.process.wait(timeout=timeout)
            self._reap_group(timeout)
            self.process = None
        if self._output is not None:
            self._output.close()
            self._output = None
        if self.dir is not None and not self.keep_files:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None
        return code

    def running(self):
        return self.process is not None and self.process.poll() is None

    # --- files ----------------------------------------------------------------------------

    @property
    def config_path(self):
        return os.path.join(self.dir, "dovecot.conf")

    @property
    def log_path(self):
        return os.path.join(self.dir, "dovecot.log")

    def log(self):
        """Dovecot's log so far (empty when there is none)."""
        text = b""
        for name in ("dovecot.log", "stdout.log"):
            try:
                with open(os.path.join(self.dir, name), "rb") as f:
                    text += f.read()
            except (OSError, TypeError):
                pass
        return text.decode("utf-8", "replace")

    def deliver(self, messages, line_ends=None):
        """Adds messages to the maildir (also while running); returns their file names.

        The new names are numbered on from every message this server has held, so that they
        follow the earlier messages and never repeat the name (the unique id) of one of them,
        also after messages were deleted on the server.
        """
        first = max(self._next_number, self._following_number())
        names = fill_maildir(self.maildir, messages, line_ends, self.mail_owner, first)
        self._next_number = first + len(names)
        return names

    def _following_number(self):
        """The first delivery number above those of the files in the maildir."""
        count, following = 0, 0
        for sub in ("new", "cur"):
            path = os.path.join(self.maildir, sub)
            names = os.listdir(path) if os.path.isdir(path) else []
            count += len(names)
            for name in names:
                match = _DELIVERY_NUMBER.match(name)
                if match:
                    following = max(following, int(match.group(1)) + 1)
        return max(count, following)

    def config(self):
        """The text of the dovecot.conf that start() writes."""
        uid, gid = self.mail_owner or (os.getuid(), os.getgid())
        d = self.dir
        lines = [
            "# Written by tests/e2e/dovecot.py for a private test server.",
            "protocols = pop3",
            "listen = %s" % _HOST,
            "base_dir = %s" % os.path.join(d, "run"),
            "state_dir = %s" % os.path.join(d, "state"),
            "instance_name = qm-test-%d" % self.port,
            "log_path = %s" % self.log_path,
            "info_log_path = %s" % self.log_path,
            "debug_log_path = %s" % self.log_path,
            "ssl = no",
            "disable_plaintext_auth = no",
            "auth_mechanisms = plain",
            "mail_location = maildir:%s" % self.maildir,
            "first_valid_uid = %d" % uid,
            "last_valid_uid = %d" % uid,
            "first_valid_gid = %d" % gid,
            "last_valid_gid = %d" % gid,
            "pop3_uidl_format = %g",
        ]
        if os.geteuid() != 0:
            me = pwd.getpwuid(os.getuid()).pw_name
            group = grp.getgrgid(os.getgid()).gr_name
            lines += ["default_internal_user = %s" % me, "default_internal_group = %s" % group,
                      "default_login_user = %s" % me]
        for name, value in self.settings.items():
            lines.append("%s = %s" % (name, value))
        lines += [
            "passdb {",
            "  driver = passwd-file",
            "  args = scheme=PLAIN username_format=%%u %s" % os.path.join(d, "passwd"),
            "}",
            "userdb {",
            "  driver = static",
            "  args = uid=%d gid=%d home=%s" % (uid, gid, self.maildir),
            "}",
            "service pop3-login {",
            "  inet_listener pop3 {",
            "    address = %s" % _HOST,
            "    port = %d" % self.port,
            "  }",
            "  inet_listener pop3s {",
            "    port = 0",
            "  }",
        ]
        if os.geteuid() != 0:
            lines += ["  chroot =", "}", "service anvil {", "  chroot ="]
        lines += ["}", ""]
        return "\n".join(lines)

    # --- inside ---------------------------------------------------------------------------

    @staticmethod
    def _mail_owner():
        """(uid, gid) the mail process runs as when started as root, else None."""
        if os.geteuid() != 0:
            return None
        for name in ("mail", "nobody"):
            try:
                entry = pwd.getpwnam(name)
            except KeyError:
                continue
            if entry.pw_uid != 0:
                return (entry.pw_uid, entry.pw_gid)
        raise DovecotError("no unprivileged user for the mail process")

    def _prepare_files(self):
        fill_maildir(self.maildir, [], owner=self.mail_owner)
        if self.mail_owner is not None:
            # Messages the caller put there beforehand belong to the caller until now.
            for root, dirs, files in os.walk(self.maildir):
                for name in dirs + files:
                    os.chown(os.path.join(root, name), *self.mail_owner)
            # Dovecot's users must pass through to their sockets, the password file and mail.
            for path in (self.workdir, self.dir):
                os.chmod(path, os.stat(path).st_mode & 0o7777 | 0o011)
            self._check_reachable(self.maildir)
        with open(self.config_path, "w") as f:
            f.write(self.config())
        passwd = os.path.join(self.dir, "passwd")
        with open(passwd, "w") as f:
            f.write("%s:{PLAIN}%s::::::\n" % (self.user, self.password))
        if os.geteuid() == 0:
            # Read by the authentication process, which runs as the internal user.
            try:
                os.chown(passwd, 0, grp.getgrnam("dovecot").gr_gid)
                os.chmod(passwd, 0o640)
            except KeyError:
                os.chmod(passwd, 0o644)
        else:
            os.chmod(passwd, 0o600)

    @staticmethod
    def _check_reachable(path):
        """Fails early when a directory above the maildir shuts other users out."""
        parent = os.path.dirname(os.path.abspath(path))
        while parent and parent != os.path.dirname(parent):
            mode = os.stat(parent).st_mode
            if not mode & 0o001:
                raise DovecotError("the mail user cannot pass through %s (mode %o); "
                                   "chmod o+x it or put the maildir elsewhere"
                                   % (parent, mode & 0o777))
            parent = os.path.dirname(parent)

    def _wait_until_ready(self):
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise DovecotError("dovecot ended with status %d:\n%s"
                                   % (self.process.returncode, self.log()[-3000:]))
            try:
                with socket.create_connection(self.address, timeout=2) as conn:
                    greeting = conn.recv(512)
                if greeting.startswith(b"+OK"):
                    return
            except OSError:
                pass
            time.sleep(0.05)
        raise DovecotError("dovecot did not answer on port %d within %.0f s:\n%s"
                           % (self.port, self.start_timeout, self.log()[-3000:]))

    def _kill_group(self):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def _reap_group(self, timeout):
        """Ends the master's children that outlive it.

        The master leaves behind, for instance, a login process that still holds a client
        and its service processes; they are in the process group of the master we started.
        """
        for sig, wait in ((signal.SIGTERM, min(timeout, 2.0)), (signal.SIGKILL, 2.0)):
            try:
                os.killpg(self.process.pid, sig)
            except (ProcessLookupError, PermissionError):
                return
            deadline = time.monotonic() + wait
            while time.monotonic() < deadline:
                try:
                    os.killpg(self.process.pid, 0)
                except (ProcessLookupError, PermissionError):
                    return
                time.sleep(0.05)
