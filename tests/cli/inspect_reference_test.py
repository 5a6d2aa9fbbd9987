#!/usr/bin/env python3
"""Checks what `qm_mailfilter inspect` decodes against Python's email package.

Usage: inspect_reference_test.py PATH_TO_QM_MAILFILTER [unittest options]

Two corpora from fixed seeds. Single-part messages: subjects and display names as encoded words
(B and Q, several to a field, folded), short and long bodies in base64, quoted-printable or 8 bit
with a declared charset, none, an unknown one, and bytes that are no text of their charset; the
subject, the sender and the body are compared. Messages with parts: nested multiparts, base64
HTML, attachments with RFC 2231 and encoded-word names, embedded messages, missing or
never-coming boundaries; the shown text (HTML as text through html.parser), the link hosts and
the leaves (walk, sizes, get_filename) are compared.

Left out where the program differs by design (the message tests check those): ISO-2022-JP
characters that code page 932 maps otherwise and the fold an ISO-2022-JP word takes along; text
of no charset that is not UTF-8, and such text is read as UTF-8 where Python reads ASCII; folded
plain subjects are compared unfolded; no body line starts with "."; every embedded message has
text of its own.
"""

import base64
import email
import email.policy
import html.parser
import os
import quopri
import random
import re
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import b_word, q_word, inspect_files  # noqa: E402

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
    ("ISO-8859-5", "iso8859_5", ["Добрый день"], ["Иван Петров"]),
    ("windows-1252", "cp1252", ["“Smart quotes” – €5", "naïve café"], ["Renée Fœhn"]),
    ("Windows-1251", "cp1251", ["Здравствуйте, друзья", "Съешь же ещё"], ["Пётр Иванов"]),
    ("KOI8-R", "koi8_r", ["Съешь же ещё этих булок"], ["Сергей"]),
    ("GB2312", "gb2312", ["你好，世界", "会议通知"], ["王小明"]),
    ("GBK", "gbk", ["简体与繁體", "测试邮件"], ["李四"]),
    ("Big5", "big5", ["繁體中文郵件", "會議通知"], ["陳大文"]),
    ("EUC-KR", "euc_kr", ["안녕하세요", "회의 안내"], ["김철수"]),
]


def message(headers, body):
    return b"".join(h + CRLF for h in headers) + CRLF + body


def word(rng, text, label, codec):
    return (b_word if rng.random() < 0.5 else q_word)(text.encode(codec), label.encode())


def encoded_subject(rng, text, label, codec):
    """`text` as up to three words, cut between characters and kept apart by blanks or folds."""
    cuts = sorted(rng.sample(range(1, len(text)), rng.randint(0, 2)))
    pieces = [text[a:b] for a, b in zip([0] + cuts, cuts + [len(text)])]
    value = word(rng, pieces[0], label, codec)
    for piece in pieces[1:]:
        value += rng.choice([b" ", CRLF + b" ", CRLF + b"\t", b"  "]) + word(rng, piece, label, codec)
    value = (b"Re: " if rng.random() < 0.3 else b"") + value
    return value + (CRLF + b" (plain tail)" if rng.random() < 0.2 and codec != "iso2022_jp" else b"")


def encoded_sender(rng, name, label, codec, serial):
    address = b"user%d@mail%d.example" % (serial, serial % 7)
    named = word(rng, name, label, codec)
    return rng.choice([named + b" <" + address + b">", b'"' + named + b'" <' + address + b">",
                       named + CRLF + b" <" + address + b">", b"Plain Name <" + address + b">",
                       address])


def transfer_encoded(rng, data, encodings=("base64", "quoted-printable", "8bit")):
    """A Content-Transfer-Encoding line and `data` so encoded by Python's own encoders."""
    cte = rng.choice(encodings)
    if cte == "base64":
        data = base64.encodebytes(data).replace(b"\n", CRLF)
    elif cte == "quoted-printable":
        data = quopri.encodestring(data.replace(CRLF, b"\n"), rng.random() < 0.5)
        data = data.replace(b"\n", CRLF)
    return b"Content-Transfer-Encoding: " + cte.encode(), data


def single_part_corpus(rng):
    """(message, reading): "email" compares Python's content, "utf-8" the UTF-8 reading of the
    bytes Python transfer-decodes."""
    out = []

    def add(subject, sender, body, label, reading="email"):
        quoted = rng.choice(['"%s"', "%s"]) % label
        charset = [] if label is None else [b"Content-Type: text/plain; charset=" + quoted.encode()]
        cte, data = transfer_encoded(rng, body)
        out.append((message([b"Subject: " + subject, b"From: " + sender] + charset + [cte], data),
                    reading))

    for label, codec, texts, names in CHARSETS:
        for _ in range(16):
            lines = [rng.choice(texts).encode(codec) for _ in range(rng.choice((1, 3, 60)))]
            add(encoded_subject(rng, rng.choice(texts), label, codec),
                encoded_sender(rng, rng.choice(names), label, codec, len(out)),
                CRLF.join(lines) + CRLF, label)
    utf8 = CHARSETS[0][2]
    for _ in range(24):  # no charset anywhere: UTF-8 bytes in the header and the body
        text = rng.choice(utf8)
        add(b"Re: " + text.encode(), encoded_sender(rng, "Ünver", "UTF-8", "utf-8", len(out)),
            (text + "\r\nsecond line\r\n").encode(), None, "utf-8")
    for _ in range(12):  # a charset that nobody knows is read like none
        text = rng.choice(utf8).encode()
        add(b"=?x-unknown?B?" + base64.b64encode(text) + b"?=", b"a@b.example", text + CRLF,
            "x-unknown-%d" % len(out), "utf-8")
    for _ in range(24):  # bytes that are no UTF-8 in a word and a body that declare UTF-8
        text = rng.choice(utf8).encode()
        cut = rng.randrange(len(text) + 1)
        bad = text[:cut] + rng.choice([b"\xff", b"\xe3\x81", b"\xc0\xaf", b"\xed\xa0\x80",
                                       b"\xf4\x90\x80\x80", b"\x80"]) + text[cut:]
        add(b_word(bad, b"UTF-8"), b"a@b.example", bad + CRLF, "utf-8")
    for _ in range(8):  # bytes that windows-1252 leaves undefined
        bad = "naïve".encode("cp1252") + rng.choice([b"\x81", b"\x8d", b"\x8f", b"\x90", b"\x9d"])
        add(q_word(bad, b"windows-1252"), b"a@b.example", bad + b" caf\xe9" + CRLF, "windows-1252")
    # Words that are not well-formed stay as written and the address is kept.
    for subject, sender in [(b"Sale =?50% off", b"Sale =?50% off <sale@b.example>"),
                            (b"=?UTF-8?X?abc?= rest", b"=?UTF-8?X?abc?= <x@b.example>"),
                            (b"=?UTF-8?Q?unclosed", b"=?UTF-8?B?unclosed <u@b.example>")]:
        out.append((message([b"Subject: " + subject, b"From: " + sender], b"plain\r\n"), "email"))
    return out


URL = re.compile(r"https?://([-_.a-zA-Z0-9]+)")
BLOCKS = set("address article aside blockquote body center dd div dl dt fieldset figure footer "
             "form h1 h2 h3 h4 h5 h6 header hr li main nav ol p pre section table tbody tfoot "
             "thead tr ul".split())


class HtmlReading(html.parser.HTMLParser):
    """The text of an HTML document as the viewer shows it, and its href and src links with the
    offset of each value in the source."""

    def __init__(self, source):
        super().__init__(convert_charrefs=True)
        starts = [0] + [m.end() for m in re.finditer("\n", source)]
        self.offset_of = lambda pos: starts[pos[0] - 1] + pos[1]
        self.out, self.links, self.line_start, self.space, self.skip = [], [], True, False, None
        self.feed(source)
        self.close()
        self.end_line()
        self.text = "".join(self.out)

    def end_line(self, always=False):
        if always or not self.line_start:
            self.out.append("\r\n")
        self.line_start, self.space = True, False

    def handle_starttag(self, tag, attrs):
        start, raw, at = self.offset_of(self.getpos()), self.get_starttag_text(), 0
        for name, value in attrs:
            if name in ("href", "src") and value is not None:
                at = re.compile(name + r"\s*=\s*[\"']?", re.I).search(raw, at).end()
                if attribute_host(value):
                    self.links.append((start + at, attribute_host(value)))
        if tag in ("script", "style", "title"):
            self.skip = tag
        elif tag in BLOCKS or tag == "br":
            self.end_line(tag == "br")

    handle_startendtag = handle_starttag

    def handle_endtag(self, tag):
        if tag == self.skip:
            self.skip = None
        elif tag in BLOCKS:
            self.end_line()

    def handle_data(self, data):
        for c in "" if self.skip else data:
            if c in " \t\r\n\f":
                self.space = True
                continue
            if self.space and not self.line_start:
                self.out.append(" ")
            self.space = self.line_start = False
            self.out.append(c)


def attribute_host(value):
    url = "".join(c for c in value if c not in "\t\r\n").strip()
    parts = urllib.parse.urlsplit(url)
    if parts.scheme.lower() not in ("http", "https") and (parts.scheme or url[:2] != "//"):
        return ""
    host = urllib.parse.unquote(parts.netloc.rpartition("@")[2])
    return re.match(r"[-_.a-zA-Z0-9]*", host).group(0)


def part_text(part):
    """A leaf's text: Python's, or the UTF-8 reading of its bytes when it names no charset."""
    if part.get_param("charset") is None:
        return part.get_payload(decode=True).decode("utf-8")
    return part.get_content()


def reference_hosts(message):
    hosts = []
    for part in message.walk() if message.is_multipart() else [message]:
        if part.is_multipart() or (part.get_content_maintype() != "text" and part is not message):
            continue
        text = part_text(part) if part.get_content_maintype() == "text" else part.get_payload()
        found = [(m.start(), m.group(1)) for m in URL.finditer(text)]
        if part.get_content_type() == "text/html":
            found += [link for link in HtmlReading(text).links if link not in found]
        hosts += [host for _, host in sorted(found, key=lambda f: f[0])]
    return hosts


def reference_shown_text(message):
    body = message.get_body(("plain", "html"))
    if body is None:  # a multipart whose boundary never comes is the text it is
        return message.get_payload()
    text = part_text(body)
    return HtmlReading(text).text if body.get_content_type() == "text/html" else text


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


def html_document(rng, text, n):
    links = [b'<a href="https://Bank%d.example/x">https://Bank%d.example/x</a>' % (n, n),
             b"<a HREF='http://quoted%d.test/'>here</a>" % n,
             b'<img src="//cdn%d.evil.test/p.gif" width=1>' % n,
             b'<a href="http&#58;//hidden%d.evil.test/x?a=1&amp;b=2">x</a>' % n,
             b'<a href="mailto:info@shop.example">mail</a> see http://bare%d.example/' % n,
             b'<a href="https://user@host%d.example:8080/">u</a>' % n]
    rng.shuffle(links)
    return (b"<html><head><title>Offer</title><style>p { color: red }</style></head><body>\r\n"
            b"<h1>" + text + b"</h1>\r\n<p>" + text + b"&nbsp;&amp; more<br>\r\n   line two</p>"
            b"<div>" + b"</div><div>".join(links[:rng.randint(1, len(links))]) + b"</div><script>"
            b"var u = 'http://script.test';</script><p>&lt;end&gt;</p></body></html>\r\n")


def multipart_corpus(rng):
    """(message, whether its last boundary never comes) pairs."""
    out = []
    for n in range(72):
        label, codec, texts, _ = rng.choice(CHARSETS[:1] + CHARSETS[2:])
        text = rng.choice(texts)
        plain = leaf(rng, b"text/plain; charset=" + label.encode(),
                     (text + "\r\nhttps://plain%d.example/\r\n" % n).encode(codec))
        page = leaf(rng, b"text/html; charset=" + label.encode(),
                    html_document(rng, text.encode(codec), n))
        pdf = leaf(rng, b"application/pdf", b"%PDF-1.4\x00\x01" + bytes(range(256)),
                   [b"Content-Disposition: attachment;\r\n filename*=UTF-8''%E8%A6%8B%E7%A9%8D"
                    + b"%d.pdf" % n], ("base64",))
        note = leaf(rng, b"text/plain; charset=utf-8", b"attached http://note%d.example/\r\n" % n,
                    [b'Content-Disposition: attachment; filename="=?UTF-8?B?'
                     + base64.b64encode("メモ.txt".encode()) + b'?="'])
        bare = leaf(rng, b"text/plain", ("ü " + text + " http://nocharset.example/").encode())
        bad = leaf(rng, b"text/plain; charset=utf-8",
                   text.encode()[:2] + b"\xff\xc0 http://bad%d.example/" % n)
        outer, inner = b"=_%d_%d" % (n, rng.randrange(10 ** 6)), b"=_inner_%d" % n
        headers = [b"Subject: parts %d" % n, b"From: a@b.example"]
        kind = n % 9
        alternative = mime(b"multipart/alternative", [bare if kind == 7 else plain, page], inner)
        embedded = message([b"Content-Type: message/rfc822"], b"Subject: inner\r\n" + alternative)
        data = [
            lambda: mime(b"multipart/alternative", [plain, page], outer, headers=headers),
            lambda: mime(b"multipart/mixed", [alternative, pdf, note], outer, headers=headers),
            lambda: b"".join(h + CRLF for h in headers) + page,
            lambda: mime(b"multipart/mixed", [note, page, pdf], outer, headers=headers),
            lambda: mime(b"multipart/mixed", [page, embedded], outer, headers=headers),
            lambda: mime(b"multipart/mixed", [plain, page], outer, False, headers),
            lambda: message(headers + [b"Content-Type: multipart/mixed; boundary=never"],
                            b"http://nothing%d.example/\r\n" % n),
            lambda: mime(b"multipart/related", [alternative, pdf], outer, headers=headers),
            lambda: mime(b"multipart/alternative", [bad, page], outer, headers=headers),
        ][kind]()
        out.append((data, kind == 5))
    return out


class ReferenceTest(unittest.TestCase):
    def inspected(self, messages):
        with tempfile.TemporaryDirectory(prefix="qm-corpus-") as folder:
            paths = [os.path.join(folder, "m%04d.eml" % n) for n in range(len(messages))]
            for path, (data, _) in zip(paths, messages):
                with open(path, "wb") as f:
                    f.write(data)
            records, rc, err = inspect_files(qmtest.PROGRAM, paths)
        self.assertEqual((rc, len(records)), (0, len(messages)), err)
        return [(data, how, email.message_from_bytes(data, policy=email.policy.default), record)
                for (data, how), record in zip(messages, records)]

    def test_single_part_messages(self):
        for data, reading, reference, record in self.inspected(single_part_corpus(
                random.Random(20261207))):
            with self.subTest(message=data[:160]):
                sender = reference["from"].addresses[0]
                body = (reference.get_content() if reading == "email"
                        else reference.get_payload(decode=True).decode(reading))
                # Folded plain subjects are compared unfolded.
                subject = record["subject"].replace("\r\n ", " ").replace("\r\n\t", "\t")
                self.assertEqual((subject, record["senderName"], record["senderAddress"],
                                  record["body"]),
                                 (str(reference["subject"] or ""), sender.display_name,
                                  sender.addr_spec, body))

    def test_messages_with_parts(self):
        for data, unclosed, reference, record in self.inspected(multipart_corpus(
                random.Random(20261208))):
            parts = reference_parts(reference)
            if unclosed and parts[-1]["encoding"] != "base64":
                # Without its closing boundary the last part runs to the end of the message,
                # its last line break included; Python drops that line break.
                parts[-1]["size"] += 2
            with self.subTest(message=data[:200]):
                self.assertEqual((record["text"], record["urlHosts"], record["parts"]),
                                 (reference_shown_text(reference), reference_hosts(reference),
                                  parts))


if __name__ == "__main__":
    qmtest.main()
