#!/usr/bin/env python3
"""The command line against independent references: what `inspect` decodes against Python's
email package; `mailbox` and `mail` on files written and checked with qmtest's file layouts.
What the program decodes otherwise by design is left to the message tests."""

import base64
import email
import email.policy
import fcntl
import json
import os
import pathlib
import quopri
import random
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import flags_of, stuffed, write_cfg, write_flg, write_svm  # noqa: E402

os.environ["TZ"] = "UTC"

CRLF = b"\r\n"
# Per charset: its name in mail, Python's codec, texts for subjects and bodies, display names.
CHARSETS = [
    ("UTF-8", "utf-8", ["来週の会議について", "Grüße aus Köln", "Привет, мир", "中文邮件 ok", "한국어 메일",
                        "emoji 😀 fine", "a=b, c==d\tand =?x?= = end"], ["山田 太郎", "José Müller"]),
    ("ISO-2022-JP", "iso2022_jp", ["会議の議事録です", "お知らせ：新製品", "カタカナとひらがな"], ["鈴木 花子"]),
    ("Shift_JIS", "shift_jis", ["ご確認ください", "東京都港区の天気", "ﾊﾝｶｸｶﾀｶﾅ"], ["佐藤 次郎"]),
    ("EUC-JP", "euc_jp", ["日本語のメールです", "明日の予定"], ["田中 一郎"]),
    ("ISO-8859-1", "latin-1", ["café déjà vu", "Ångström façade"], ["Zoë Brontë"]),
    ("iso-8859-2", "iso8859_2", ["Zażółć gęślą jaźń", "Příliš žluťoučký kůň"], ["Łukasz Ćwik"]),
    ("windows-1252", "cp1252", ["“Smart quotes” – €5", "naïve café"], ["Renée Fœhn"]),
    ("Windows-1251", "cp1251", ["Здравствуйте, друзья", "Съешь же ещё"], ["Пётр Иванов"]),
    ("KOI8-R", "koi8_r", ["Съешь же ещё этих булок"], ["Сергей"]),
    ("GBK", "gbk", ["简体与繁體", "测试邮件", "你好，世界"], ["李四"]),
    ("Big5", "big5", ["繁體中文郵件", "會議通知"], ["陳大文"]),
    ("EUC-KR", "euc_kr", ["안녕하세요", "회의 안내"], ["김철수"]),
]


def message(headers, body):
    return b"".join(h + CRLF for h in headers) + CRLF + body


def word(rng, text, label, codec):
    data, label = text.encode(codec), label.encode()
    return b"=?" + label + (b"?B?" + base64.b64encode(data) if rng.random() < 0.5 else b"?Q?" +
                            b"".join(b"_" if c == 0x20 else bytes([c]) if 0x21 <= c <= 0x7E and
                                     c not in b"=?_" else b"=%02X" % c for c in data)) + b"?="


def encoded_subject(rng, text, label, codec):
    """`text` as up to three words, cut between characters and kept apart by blanks or folds."""
    cuts = sorted(rng.sample(range(1, len(text)), rng.randint(0, 2)))
    pieces = [text[a:b] for a, b in zip([0] + cuts, cuts + [len(text)])]
    gaps = [b""] + [rng.choice([b" ", CRLF + b" ", CRLF + b"\t", b"  "]) for _ in cuts]
    value = b"".join(gap + word(rng, piece, label, codec) for gap, piece in zip(gaps, pieces))
    tail = rng.random() < 0.2 and codec != "iso2022_jp"
    return b"Re: " * (rng.random() < 0.3) + value + (CRLF + b" (plain tail)") * tail


def encoded_sender(rng, name, label, codec, serial):
    address, named = b"user%d@mail%d.example" % (serial, serial % 7), word(rng, name, label, codec)
    return rng.choice([named + b" <" + address + b">", b'"' + named + b'" <' + address + b">",
                       named + CRLF + b" <" + address + b">", b"Plain Name <" + address + b">",
                       address])


def transfer_encoded(rng, data, encodings=("base64", "quoted-printable", "8bit")):
    """A Content-Transfer-Encoding line and `data` so encoded by Python's own encoders."""
    cte = rng.choice(encodings)
    if cte != "8bit":
        data = (base64.encodebytes(data) if cte == "base64" else
                quopri.encodestring(data.replace(CRLF, b"\n"), rng.random() < 0.5))
        data = data.replace(b"\n", CRLF)
    return b"Content-Transfer-Encoding: " + cte.encode(), data


def single_part_corpus(rng):
    out = []  # the last two rows: no charset anywhere, UTF-8 bytes in the subject and the body
    for label, codec, texts, names in CHARSETS + [(None, "utf-8", CHARSETS[0][2], ["Ünver"])] * 2:
        for _ in range(16):
            lines = [rng.choice(texts).encode(codec) for _ in range(rng.choice((1, 3, 60)))]
            subject = (encoded_subject(rng, rng.choice(texts), label, codec) if label
                       else b"Re: " + rng.choice(texts).encode())
            sender = encoded_sender(rng, rng.choice(names), label or "UTF-8", codec, len(out))
            charset = [b"Content-Type: text/plain; charset="
                       + (rng.choice(['"%s"', "%s"]) % label).encode()] if label else []
            cte, data = transfer_encoded(rng, CRLF.join(lines) + CRLF)
            out.append((message([b"Subject: " + subject, b"From: " + sender] + charset + [cte],
                                data), None))
    return out


URL = re.compile(r"https?://([-_.a-zA-Z0-9]+)")
# An HTML link: its markup, the text it shows and the link hosts in it in order. Blocks end lines,
# script, style and title show nothing; a host is taken from href and src values as the browser
# reads them, and from any address in the source.
LINKS = [('<a href="https://Bank%d.example/x">https://Bank%d.example/x</a>',
          "https://Bank%d.example/x", ["Bank%d.example", "Bank%d.example"]),
         ("<a HREF='http://quoted%d.test/'>here</a>", "here", ["quoted%d.test"]),
         ('<img src="//cdn%d.evil.test/p.gif" width=1>', "", ["cdn%d.evil.test"]),
         ('<a href="http&#58;//hidden%d.evil.test/x?a=1&amp;b=2">x</a>', "x",
          ["hidden%d.evil.test"]),
         ('<a href="mailto:info@shop.example">mail</a> see http://bare%d.example/',
          "mail see http://bare%d.example/", ["bare%d.example"]),
         ('<a href="https://user@host%d.example:8080/">u</a>', "u", ["user", "host%d.example"])]


def html_document(rng, text, codec, n):
    """An HTML page with some of the links; its bytes, the text it shows and its link hosts."""
    links = rng.sample(LINKS, rng.randint(1, len(LINKS)))
    fill = lambda form: form.replace("%d", str(n))  # noqa: E731
    page = ("<html><head><title>Offer</title><style>p { color: red }</style></head><body>\r\n"
            "<h1>%s</h1>\r\n<p>%s&nbsp;&amp; more<br>\r\n   line two</p><div>%s</div><script>"
            "var u = 'http://script.test';</script><p>&lt;end&gt;</p></body></html>\r\n"
            % (text, text, "</div><div>".join(fill(markup) for markup, _, _ in links)))
    shown = re.sub(r"[ \t]+", " ", text)
    shown = "%s\r\n%s\u00a0& more\r\nline two\r\n%s<end>\r\n" % (
        shown, shown, "".join(fill(words) + "\r\n" for _, words, _ in links if words))
    return page.encode(codec), shown, [fill(h) for _, _, hosts in links for h in hosts] + [
        "script.test"]


def part_text(part):
    """A leaf's text: Python's, or the UTF-8 reading of its bytes when it names no charset."""
    charset = part.get_param("charset")
    return part.get_content() if charset else part.get_payload(decode=True).decode("utf-8")


def reference_hosts(message, page_hosts):
    hosts = []
    for part in message.walk() if message.is_multipart() else [message]:
        if part.get_content_type() == "text/html":
            hosts += page_hosts
        elif not part.is_multipart() and (part.get_content_maintype() == "text" or part is message):
            text = part_text(part) if part.get_content_maintype() == "text" else part.get_payload()
            hosts += URL.findall(text)
    return hosts


def reference_shown_text(message, page_text):
    body = message.get_body(("plain", "html"))
    if body is None:  # a multipart whose boundary never comes is the text it is
        return message.get_payload()
    return page_text if body.get_content_type() == "text/html" else part_text(body)


def reference_parts(part, depth=0):
    if part.is_multipart():
        return [leaf for sub in part.get_payload() for leaf in reference_parts(sub, depth + 1)]
    leaf_type = part.get_content_type()
    return [{"type": "text/plain" if leaf_type.startswith("multipart/") else leaf_type,
             "charset": (part.get_param("charset") or "").lower(),
             "encoding": str(part.get("content-transfer-encoding", "")).strip().lower(),
             "size": len(part.get_payload(decode=True)), "fileName": part.get_filename() or "",
             "attachment": part.is_attachment(), "depth": depth}]


def mime(content_type, parts, boundary, close=True, headers=()):
    body = b"preamble\r\n" + b"".join(b"--" + boundary + CRLF + part + CRLF for part in parts)
    body += b"--" + boundary + b"--\r\nepilogue\r\n" if close else b""
    return message(list(headers) + [b"Content-Type: " + content_type + b'; boundary="' + boundary
                                    + b'"'], body)


def leaf(rng, content_type, data, extra=(), encodings=("base64", "quoted-printable", "8bit")):
    cte, data = transfer_encoded(rng, data, encodings)
    return message([b"Content-Type: " + content_type] + list(extra) + [cte], data)


def multipart_corpus(rng):
    """(message, whether its last boundary never comes) pairs."""
    out = []
    for n in range(72):
        label, codec, texts, _ = rng.choice(CHARSETS[:1] + CHARSETS[2:])
        text = rng.choice(texts)
        plain = leaf(rng, b"text/plain; charset=" + label.encode(),
                     (text + "\r\nhttps://plain%d.example/\r\n" % n).encode(codec))
        html, shown, hosts = html_document(rng, text, codec, n)
        page = leaf(rng, b"text/html; charset=" + label.encode(), html)
        pdf = leaf(rng, b"application/pdf", b"%PDF-1.4\x00\x01" + bytes(range(256)),
                   [b"Content-Disposition: attachment;\r\n filename*=UTF-8''%E8%A6%8B%E7%A9%8D"
                    + b"%d.pdf" % n], ("base64",))
        note = leaf(rng, b"text/plain; charset=utf-8", b"attached http://note%d.example/\r\n" % n,
                    [b'Content-Disposition: attachment; filename="=?UTF-8?B?'
                     + base64.b64encode("メモ.txt".encode()) + b'?="'])
        bare = leaf(rng, b"text/plain", ("ü " + text + " http://nocharset.example/").encode())
        outer, inner = b"=_%d_%d" % (n, rng.randrange(10 ** 6)), b"=_inner_%d" % n
        headers = [b"Subject: parts %d" % n, b"From: a@b.example"]
        kind = n % 8
        alternative = mime(b"multipart/alternative", [bare if kind == 7 else plain, page], inner)
        embedded = message([b"Content-Type: message/rfc822"], b"Subject: inner\r\n" + alternative)
        out.append(([
            mime(b"multipart/alternative", [plain, page], outer, headers=headers),
            mime(b"multipart/mixed", [alternative, pdf, note], outer, headers=headers),
            b"".join(h + CRLF for h in headers) + page,
            mime(b"multipart/mixed", [note, page, pdf], outer, headers=headers),
            mime(b"multipart/mixed", [page, embedded], outer, headers=headers),
            mime(b"multipart/mixed", [plain, page], outer, False, headers),
            message(headers + [b"Content-Type: multipart/mixed; boundary=never"],
                            b"http://nothing%d.example/\r\n" % n),
            mime(b"multipart/related", [alternative, pdf], outer, headers=headers),
        ][kind], (kind == 5, shown, hosts)))
    return out


class ReferenceTest(unittest.TestCase):
    def inspected(self, messages):
        with tempfile.TemporaryDirectory(prefix="qm-corpus-") as folder:
            paths = [os.path.join(folder, "m%04d.eml" % n) for n in range(len(messages))]
            for path, (data, _) in zip(paths, messages):
                pathlib.Path(path).write_bytes(data)
            done = subprocess.run([qmtest.PROGRAM, "inspect"] + paths, capture_output=True)
        records = [json.loads(line) for line in done.stdout.splitlines()]
        self.assertEqual((done.returncode, len(records)), (0, len(messages)), done.stderr)
        return [(data, how, email.message_from_bytes(data, policy=email.policy.default), record)
                for (data, how), record in zip(messages, records)]

    def test_single_part_messages(self):
        for data, _, reference, record in self.inspected(single_part_corpus(
                random.Random(20261207))):
            sender = reference["from"].addresses[0]
            # Folded plain subjects are compared unfolded.
            subject = record["subject"].replace("\r\n ", " ").replace("\r\n\t", "\t")
            self.assertEqual(
                (subject, record["senderName"], record["senderAddress"], record["body"]),
                (str(reference["subject"]), sender.display_name, sender.addr_spec,
                 part_text(reference)), data[:160])

    def test_messages_with_parts(self):
        for data, (unclosed, shown, hosts), reference, record in self.inspected(
                multipart_corpus(random.Random(20261208))):
            parts = reference_parts(reference)
            if unclosed and parts[-1]["encoding"] != "base64":
                # Without its closing boundary the last part runs to the end of the message,
                # its last line break included; Python drops that line break.
                parts[-1]["size"] += 2
            self.assertEqual((record["text"], record["urlHosts"], record["parts"]),
                             (reference_shown_text(reference, shown),
                              reference_hosts(reference, hosts), parts), data[:200])



class WorkdirTest(unittest.TestCase):
    def setUp(self):
        self.dir = self.enterContext(tempfile.TemporaryDirectory(prefix="qm-workdir-"))
        self.read = lambda name: pathlib.Path(self.dir, name).read_bytes()
        self.write = lambda name, data: pathlib.Path(self.dir, name).write_bytes(data)

    def run_program(self, *args, expect=0):
        done = qmtest.Workdir.command(qmtest.PROGRAM, self.dir, args, expect)
        return done.out, done.err

    def listed(self):
        ini = self.read("qm_mailfilter.ini").decode()
        return re.search(r"(?ms)^\[Mailbox\][^\[]*?^Mailboxes=([^\r\n]*)", ini).group(1)

    def test_mailboxes_are_listed_ordered_set_and_removed(self):
        for args in (["add", "alpha"], ["add", " beta "], ["up", "beta"]):
            self.run_program("mailbox", *args)
        self.assertEqual((self.listed(), self.read("alpha.mbx"), self.read("beta_dustbox.mbx")),
                         ("beta:alpha:", b"", b""))
        self.assertEqual(self.run_program("mailbox", "list")[0], "beta\t0\t0\t0\nalpha\t0\t0\t0\n")
        settings = dict(localUser="lu", localPassword="lp", dustboxUser="ld", dustboxPassword="ldp",
                        timerInterval=600, dustboxLimit=42, hideSpam=1, notifyOther=0,
                        openDustboxAtExit=1, keepFriendOnServer=1, dustboxAccess=1,
                        serverDeletion="purged", server="pop.example.org", port=995, user="me",
                        password="p" * 300)
        self.run_program("mailbox", "set", "alpha", *("%s=%s" % kv for kv in settings.items()))
        self.assertEqual(self.read("alpha.cfg"), write_cfg(**dict(settings, password=b"p" * 300)))
        shown = self.run_program("mailbox", "show", "alpha")[0]
        self.assertEqual(("\npassword=(set)\n" in shown, "ppp" in shown), (True, False))
        # The unique ids of mail deleted here outlive the mailbox.
        self.write("beta.svm", write_svm([(b"U9", b"<9@example.org>")], []))
        self.run_program("mailbox", "remove", "beta")
        self.assertEqual(self.listed(), "alpha:")
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith("beta")], ["beta.svm"])

    def test_mail_deleted_here_when_the_server_deletion_policy_changes(self):
        entry = [(b"U9", b"<9@example.org>")]
        pending, kept = write_svm([], entry), write_svm(entry, [])
        for n, (option, note, svm) in enumerate([
                ([], "deleted on the server at the next retrieval", pending),
                (["--deleted-here=delete"], "deleted on the server at the next retrieval", pending),
                (["--deleted-here=keep"], "left on the server", kept),
                (["--deleted-here", "refetch"], "fetched again at the next retrieval", None)]):
            name = "a%d" % n
            self.run_program("mailbox", "add", name)
            self.run_program("mailbox", "set", name, "keepFriendOnServer=1")
            self.write(name + ".svm", kept)
            out = self.run_program("mailbox", "set", name, "serverDeletion=purged", *option)[0]
            left = name + ".svm" in os.listdir(self.dir) and self.read(name + ".svm")
            self.assertEqual((out, left or None), (
                "%s: mails deleted here but kept on the server will be %s\n" % (name, note), svm))

    def test_every_command_is_refused_while_another_process_holds_the_directory(self):
        self.run_program("mailbox", "add", "alpha")
        before = {name: self.read(name) for name in os.listdir(self.dir)}
        with open(os.path.join(self.dir, "qm_mailfilter.lock"), "a+b") as lock:
            fcntl.flock(lock.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
            for args in (["mailbox", "list"], ["mailbox", "remove", "alpha"],
                         ["mail", "list", "alpha"], ["retrieve", "alpha"], ["retrieve"]):
                self.assertEqual(self.run_program(*args, expect=2), ("", "qm_mailfilter: another "
                                 "instance is running in %s; stop it first\n" % self.dir))
        self.assertEqual({name: self.read(name) for name in before}, before)

    def test_sender_lists(self):
        for args in (["friend", "add", "taro@"], ["bad", "add", "spam@x.example"],
                     ["friend", "add", "spam@x.example"]):  # takes it out of the other list
            self.run_program(*args)
        self.assertEqual([self.run_program(k, "list")[0] for k in ("friend", "bad")],
                         ["spam@x.example\ntaro@\n", ""])
        self.assertEqual(self.read("friend.txt"), b"0 spam@x.example\0\r\r\n0 taro@\0\r\r\n")
        self.assertIn("空のメールアドレスをフレンドリストに追加することは出来ません。",
                      self.run_program("friend", "add", "", expect=1)[1])

    def test_mail_list_of_files_another_program_left(self):
        subject = b"\x83\x65\x83\x58\x83\x67"  # code page 932
        self.write("box.mbx", stuffed(
            b"Subject: " + subject + b"\r\nFrom: Sender One <one@example.org>\r\nReceived: from a "
            b"by b; Tue, 5 Mar 2024 10:20:30 +0900\r\n\r\n.leading dot\r\n") + stuffed(
            b"Subject: sec\tond\r\nFrom: two@example.org\r\n\r\nbody\r\n") + stuffed(b"Subject: x"))
        self.write("box.flg", write_flg([(flags_of(True, True, 0, 1), b"UID1"), (flags_of(
            verdict=1, reason=3), b""), (flags_of(verdict=-1), b"UID3")]))
        self.assertIn("adopted", self.run_program("mailbox", "add", "box")[0])
        epoch = "1970 01/01 00:00:00"  # a tab inside a field would shift the columns
        self.assertEqual(self.run_program("mail", "list", "box")[0], "".join(
            "\t".join(row) + "\n" for row in [
                ["1", "1", subject.decode("cp932"), "Sender One", "one@example.org",
                 "2024 03/05 10:20:30", "friend", "hidden", "read"],
                ["2", "3", "sec ond", "", "two@example.org", epoch, "spam", "visible", "unread"],
                ["3", "0", "x", "", "", epoch, "other", "visible", "unread"]]))


if __name__ == "__main__":
    qmtest.main()
