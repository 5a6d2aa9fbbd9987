#!/usr/bin/env python3
"""Checks the charsets that `qm_mailfilter inspect` decodes against Python's email package.

Usage: charset_reference_test.py PATH_TO_QM_MAILFILTER [unittest options]

Two corpora come from fixed seeds. The first: subjects and display names as encoded words (B and
Q, several to a field, folded), single-part bodies in base64, quoted-printable or 8 bit with a
declared charset, none, an unknown one, and bytes that are no text of their charset; Python's
email package (policy default) gives the subject, the sender and the body. The second: messages
with parts (nested multiparts, base64 HTML, attachments with RFC 2231 and encoded-word names,
embedded messages, missing or never-coming boundaries); the shown text (get_body, HTML as text
through html.parser), the link hosts and the leaves (walk, sizes, get_filename) are compared.

Left out on purpose where the program differs by design (inspect_reference_test.py checks those):
ISO-2022-JP characters that code page 932 maps otherwise (wave dash, minus, ...) and the fold an
ISO-2022-JP word takes along; text of no charset that is not UTF-8 (code page 932 here), and
such text is read as UTF-8 where Python reads ASCII; folded plain subjects are compared
unfolded; no body line starts with "."; every embedded message has text of its own.
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
    ("UTF-8", "utf-8", ["来週の会議について", "Grüße aus Köln", "Привет, мир", "中文邮件 ok",
                        "한국어 메일", "emoji 😀 fine"], ["山田 太郎", "José Müller"]),
    ("ISO-2022-JP", "iso2022_jp", ["会議の議事録です", "お知らせ：新製品", "カタカナとひらがな"],
     ["鈴木 花子", "営業部"]),
    ("Shift_JIS", "shift_jis", ["ご確認ください", "東京都港区の天気", "ﾊﾝｶｸｶﾀｶﾅ"],
     ["佐藤 次郎"]),
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


def split_text(rng, text, parts):
    """`text` in up to `parts` pieces, cut between characters."""
    cuts = sorted(rng.sample(range(1, len(text)), min(parts, len(text)) - 1))
    bounds = [0] + cuts + [len(text)]
    return [text[a:b] for a, b in zip(bounds, bounds[1:]) if a < b]


def word(rng, text, label, codec):
    data = text.encode(codec)
    return b_word(data, label.encode()) if rng.random() < 0.5 else q_word(data, label.encode())


def encoded_subject(rng, text, label, codec):
    pieces = split_text(rng, text, rng.randint(1, 3))
    words = [word(rng, piece, label, codec) for piece in pieces]
    value = words[0]
    for w in words[1:]:
        value += rng.choice([b" ", CRLF + b" ", CRLF + b"\t", b"  "]) + w
    if rng.random() < 0.3:
        value = b"Re: " + value
    if rng.random() < 0.2 and label.upper() != "ISO-2022-JP":
        value += CRLF + b" (plain tail)"
    return value


def encoded_sender(rng, name, label, codec, serial):
    address = b"user%d@mail%d.example" % (serial, serial % 7)
    form = rng.randrange(5)
    if form == 0:
        return word(rng, name, label, codec) + b" <" + address + b">"
    if form == 1:
        return b'"' + word(rng, name, label, codec) + b'" <' + address + b">"
    if form == 2:
        return word(rng, name, label, codec) + CRLF + b" <" + address + b">"
    if form == 3:
        return b"Plain Name <" + address + b">"
    return address


def body_part(rng, data, label=None):
    """Content-Type and Content-Transfer-Encoding lines and the encoded body."""
    headers = []
    if label is not None:
        quoted = '"%s"' % label if rng.random() < 0.5 else label
        headers.append(b"Content-Type: text/plain; charset=" + quoted.encode())
    choice = rng.randrange(3)
    if choice == 0:
        headers.append(b"Content-Transfer-Encoding: base64")
        encoded = base64.encodebytes(data).replace(b"\n", CRLF)
    elif choice == 1:
        headers.append(b"Content-Transfer-Encoding: quoted-printable")
        encoded = quopri.encodestring(data.replace(CRLF, b"\n")).replace(b"\n", CRLF)
    else:
        headers.append(b"Content-Transfer-Encoding: 8bit")
        encoded = data
    return headers, encoded


def message(headers, body):
    return b"".join(h + CRLF for h in headers) + CRLF + body


def corpus(rng):
    """(message bytes, how the body is read) pairs; "email" takes Python's decoded content, a
    codec name the UTF-8 reading of Python's transfer-decoded bytes."""
    out = []
    serial = 0
    for label, codec, texts, names in CHARSETS:
        for _ in range(16):
            serial += 1
            subject = encoded_subject(rng, rng.choice(texts), label, codec)
            sender = encoded_sender(rng, rng.choice(names), label, codec, serial)
            lines = [rng.choice(texts) for _ in range(rng.randint(1, 4))]
            body = CRLF.join(line.encode(codec) for line in lines) + CRLF
            headers, encoded = body_part(rng, body, label)
            out.append((message([b"Subject: " + subject, b"From: " + sender] + headers, encoded),
                        "email"))
    utf8_texts = CHARSETS[0][2]
    for _ in range(24):
        # No charset at all, UTF-8 bytes in the header and the body.
        serial += 1
        text = rng.choice(utf8_texts)
        headers, encoded = body_part(rng, (text + "\r\nsecond line\r\n").encode())
        out.append((message([b"Subject: Re: " + text.encode(),
                             b"From: " + encoded_sender(rng, "Ünver", "UTF-8", "utf-8", serial)]
                            + headers, encoded), "utf-8"))
    for _ in range(12):
        # A charset that nobody knows: read like no charset.
        serial += 1
        text = rng.choice(utf8_texts)
        headers, encoded = body_part(rng, (text + "\r\n").encode(), "x-unknown-%d" % serial)
        out.append((message([b"Subject: =?x-unknown?B?" + base64.b64encode(text.encode()) + b"?=",
                             b"From: a@b.example"] + headers, encoded), "utf-8"))
    invalid = [b"\xff", b"\xe3\x81", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\x80"]
    for _ in range(24):
        # Bytes that are not UTF-8 in a word and a body that declare UTF-8.
        serial += 1
        text = rng.choice(utf8_texts).encode()
        cut = rng.randrange(len(text) + 1)
        bad = text[:cut] + rng.choice(invalid) + text[cut:]
        headers, encoded = body_part(rng, bad + CRLF, "utf-8")
        out.append((message([b"Subject: " + b_word(bad, b"UTF-8"), b"From: a@b.example"]
                            + headers, encoded), "email"))
    for _ in range(8):
        # Bytes that windows-1252 does not define.
        serial += 1
        bad = "naïve".encode("cp1252") + rng.choice([b"\x81", b"\x8d", b"\x8f", b"\x90", b"\x9d"])
        headers, encoded = body_part(rng, bad + b" caf\xe9" + CRLF, "windows-1252")
        out.append((message([b"Subject: " + q_word(bad, b"windows-1252"), b"From: a@b.example"]
                            + headers, encoded), "email"))
    # Words that are not well-formed stay as written and the address is kept.
    for value, sender in [(b"Sale =?50% off", b"Sale =?50% off <sale@b.example>"),
                          (b"=?UTF-8?X?abc?= rest", b"=?UTF-8?X?abc?= <x@b.example>"),
                          (b"=?UTF-8?Q?unclosed", b"=?UTF-8?B?unclosed <u@b.example>")]:
        out.append((message([b"Subject: " + value, b"From: " + sender],
                            b"plain\r\n"), "email"))
    return out


# ---------------------------------------------------------------------------------------------
# Messages with parts
# ---------------------------------------------------------------------------------------------

URL = re.compile(r"https?://([-_.a-zA-Z0-9]+)")
BLOCKS = {"address", "article", "aside", "blockquote", "center", "dd", "div", "dl", "dt",
          "fieldset", "figure", "footer", "form", "h1", "h2", "h3", "h4", "h5", "h6", "header",
          "hr", "li", "main", "nav", "ol", "p", "pre", "section", "table", "tbody", "thead",
          "tfoot", "tr", "ul", "body"}


class HtmlReading(html.parser.HTMLParser):
    """The text of an HTML document as the viewer shows it, and its href and src links."""

    def __init__(self, source):
        super().__init__(convert_charrefs=True)
        self.source = source
        line_starts = [0] + [m.end() for m in re.finditer("\n", source)]
        self.position_of = lambda pos: line_starts[pos[0] - 1] + pos[1]
        self.out, self.line_start, self.space, self.skip = [], True, False, None
        self.links = []  # (position of the value, host)
        self.feed(source)
        self.close()
        self.end_line()
        self.text = "".join(self.out)

    def end_line(self):
        if not self.line_start:
            self.out.append("\r\n")
        self.line_start, self.space = True, False

    def handle_starttag(self, tag, attrs):
        start = self.position_of(self.getpos())
        raw = self.get_starttag_text()
        at = 0
        for name, value in attrs:
            if name not in ("href", "src") or value is None:
                continue
            found = re.compile(name + r"\s*=\s*[\"']?", re.I).search(raw, at)
            at = found.end()
            host = attribute_host(value)
            if host:
                self.links.append((start + found.end(), host))
        if tag in ("script", "style", "title"):
            self.skip = tag
        elif tag == "br":
            self.out.append("\r\n")
            self.line_start, self.space = True, False
        elif tag in BLOCKS:
            self.end_line()

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)

    def handle_endtag(self, tag):
        if tag == self.skip:
            self.skip = None
        elif tag in BLOCKS:
            self.end_line()

    def handle_data(self, data):
        if self.skip:
            return
        for c in data:
            if c in " \t\r\n\f":
                self.space = True
                continue
            if self.space and not self.line_start:
                self.out.append(" ")
            self.space, self.line_start = False, False
            self.out.append(c)


def attribute_host(value):
    url = "".join(c for c in value if c not in "\t\r\n").strip()
    parts = urllib.parse.urlsplit(url)
    if parts.scheme.lower() not in ("http", "https") and not (not parts.scheme and
                                                               url.startswith("//")):
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
    leaves = [message] if not message.is_multipart() else message.walk()
    for part in leaves:
        if part.is_multipart() or (part.get_content_maintype() != "text" and
                                   part is not message):
            continue
        text = part_text(part) if part.get_content_maintype() == "text" else part.get_payload()
        found = [(m.start(), m.group(1)) for m in URL.finditer(text)]
        if part.get_content_type() == "text/html":
            bare = set(found)
            found += [link for link in HtmlReading(text).links if link not in bare]
        hosts += [host for _, host in sorted(found, key=lambda f: f[0])]
    return hosts


def reference_shown_text(message):
    body = message.get_body(("plain", "html"))
    if body is None:  # a multipart whose boundary never comes is the text it is
        return message.get_payload()
    text = part_text(body)
    return HtmlReading(text).text if body.get_content_type() == "text/html" else text


def reference_parts(message):
    out = []

    def walk(part, depth):
        if part.is_multipart():
            for sub in part.get_payload():
                walk(sub, depth + 1)
            return
        data = part.get_payload(decode=True)
        leaf_type = part.get_content_type()
        out.append({"type": "text/plain" if leaf_type.startswith("multipart/") else leaf_type,
                    "charset": (part.get_param("charset") or "").lower(),
                    "encoding": str(part.get("content-transfer-encoding", "")).strip().lower(),
                    "size": len(data), "fileName": part.get_filename() or "",
                    "attachment": part.is_attachment(), "depth": depth})
    walk(message, 0)
    return out


def mime(content_type, parts, boundary, close=True, headers=()):
    body = b"preamble\r\n"
    for part in parts:
        body += b"--" + boundary + CRLF + part + CRLF
    if close:
        body += b"--" + boundary + b"--" + CRLF + b"epilogue" + CRLF
    field = b"Content-Type: " + content_type + b'; boundary="' + boundary + b'"'
    return b"".join(h + CRLF for h in headers) + field + CRLF + CRLF + body


def leaf(content_type, data, rng, extra=(), encodings=("base64", "quoted-printable", "8bit")):
    encoding = rng.choice(encodings)
    if encoding == "base64":
        encoded = base64.encodebytes(data).replace(b"\n", CRLF)
    elif encoding == "quoted-printable":
        encoded = quopri.encodestring(data.replace(CRLF, b"\n")).replace(b"\n", CRLF)
    else:
        encoded = data
    return (b"Content-Type: " + content_type + CRLF + b"".join(e + CRLF for e in extra)
            + b"Content-Transfer-Encoding: " + encoding.encode() + CRLF + CRLF + encoded)


def html_document(rng, text, serial):
    links = [
        b'<a href="https://Bank%d.example/x">https://Bank%d.example/x</a>' % (serial, serial),
        b"<a HREF='http://quoted%d.test/'>here</a>" % serial,
        b'<img src="//cdn%d.evil.test/p.gif" width=1>' % serial,
        b'<a href="http&#58;//hidden%d.evil.test/x?a=1&amp;b=2">x</a>' % serial,
        b'<a href="mailto:info@shop.example">mail</a> see http://bare%d.example/' % serial,
        b'<a href="https://user@host%d.example:8080/">u</a>' % serial,
    ]
    rng.shuffle(links)
    body = (b"<html><head><title>Offer</title><style>p { color: red }</style></head><body>\r\n"
            + b"<h1>" + text + b"</h1>\r\n<p>" + text + b"&nbsp;&amp; more<br>\r\n   line two"
            + b"</p><div>" + b"</div><div>".join(links[:rng.randint(1, len(links))])
            + b"</div><script>var u = 'http://script.test';</script><p>&lt;end&gt;</p>"
            + b"</body></html>\r\n")
    return body


def multipart_corpus(rng):
    out = []
    for serial in range(72):
        label, codec, texts, _ = rng.choice(CHARSETS[:1] + CHARSETS[2:])
        text = rng.choice(texts)
        ctype = b"text/plain; charset=" + label.encode()
        htype = b"text/html; charset=" + label.encode()
        plain = leaf(ctype, (text + "\r\nhttps://plain%d.example/\r\n" % serial).encode(codec),
                     rng)
        page = leaf(htype, html_document(rng, text.encode(codec), serial), rng)
        pdf = leaf(b"application/pdf", b"%PDF-1.4\x00\x01" + bytes(range(256)), rng,
                   [b"Content-Disposition: attachment;\r\n filename*=UTF-8''%E8%A6%8B%E7%A9%8D"
                    + b"%d.pdf" % serial], ("base64",))
        note = leaf(b"text/plain; charset=utf-8", b"attached http://note%d.example/\r\n" % serial,
                    rng, [b'Content-Disposition: attachment; filename="=?UTF-8?B?'
                          + base64.b64encode("メモ.txt".encode()) + b'?="'])
        kind = serial % 9
        boundary = b"=_%d_%d" % (serial, rng.randrange(10 ** 6))
        inner = b"=_inner_%d" % serial
        headers = [b"Subject: parts %d" % serial, b"From: a@b.example"]
        if kind == 0:
            data = mime(b"multipart/alternative", [plain, page], boundary, headers=headers)
        elif kind == 1:
            data = mime(b"multipart/mixed", [
                mime(b"multipart/alternative", [plain, page], inner), pdf, note], boundary,
                headers=headers)
        elif kind == 2:
            data = b"".join(h + CRLF for h in headers) + page
        elif kind == 3:
            data = mime(b"multipart/mixed", [note, page, pdf], boundary, headers=headers)
        elif kind == 4:
            embedded = (b"Content-Type: message/rfc822" + CRLF + CRLF + b"Subject: inner" + CRLF
                        + mime(b"multipart/alternative", [plain, page], inner))
            data = mime(b"multipart/mixed", [page, embedded], boundary, headers=headers)
        elif kind == 5:
            data = mime(b"multipart/mixed", [plain, page], boundary, close=False, headers=headers)
        elif kind == 6:
            data = (b"".join(h + CRLF for h in headers) + b"Content-Type: multipart/mixed; "
                    b"boundary=never" + CRLF + CRLF + b"http://nothing%d.example/" % serial + CRLF)
        elif kind == 7:
            # No charset: UTF-8 bytes.
            bare = leaf(b"text/plain", ("ü " + text + " http://nocharset.example/").encode(),
                        rng)
            data = mime(b"multipart/related", [
                mime(b"multipart/alternative", [bare, page], inner), pdf], boundary,
                headers=headers)
        else:
            bad = leaf(b"text/plain; charset=utf-8", text.encode()[:2] + b"\xff\xc0 http://bad"
                       + b"%d.example/" % serial, rng)
            data = mime(b"multipart/alternative", [bad, page], boundary, headers=headers)
        out.append((data, kind == 5))
    return out


def unfolded(text):
    """A header value with its folds undone: a line break before a blank goes."""
    return text.replace("\r\n ", " ").replace("\r\n\t", "\t")


def inspected(test, messages):
    """The records `inspect` prints for the messages (pairs of bytes and anything), in order."""
    with tempfile.TemporaryDirectory(prefix="qm-corpus-") as folder:
        paths = []
        for n, (data, _) in enumerate(messages):
            path = os.path.join(folder, "m%04d.eml" % n)
            with open(path, "wb") as f:
                f.write(data)
            paths.append(path)
        records, rc, err = inspect_files(qmtest.PROGRAM, paths)
    test.assertEqual(rc, 0, err)
    test.assertEqual(len(records), len(messages))
    return records


class CharsetReferenceTest(unittest.TestCase):
    def test_corpus_against_python_email(self):
        rng = random.Random(20261207)
        messages = corpus(rng)
        self.assertGreater(len(messages), 250)
        records = inspected(self, messages)
        for (data, body_reading), record in zip(messages, records):
            reference = email.message_from_bytes(data, policy=email.policy.default)
            with self.subTest(message=data[:160]):
                self.assertEqual(unfolded(record["subject"]), str(reference["subject"] or ""))
                addresses = reference["from"].addresses
                self.assertEqual(record["senderName"], addresses[0].display_name)
                self.assertEqual(record["senderAddress"], addresses[0].addr_spec)
                if body_reading == "email":
                    expected = reference.get_content()
                else:
                    expected = reference.get_payload(decode=True).decode(body_reading)
                self.assertEqual(record["body"], expected)


class MultipartReferenceTest(unittest.TestCase):
    def test_parts_against_python_email(self):
        messages = multipart_corpus(random.Random(20261208))
        records = inspected(self, messages)
        for (data, unclosed), record in zip(messages, records):
            reference = email.message_from_bytes(data, policy=email.policy.default)
            expected_parts = reference_parts(reference)
            if unclosed and expected_parts[-1]["encoding"] != "base64":
                # Without its closing boundary the last part runs to the end of the message,
                # its last line break included; Python drops that line break.
                expected_parts[-1]["size"] += 2
            with self.subTest(message=data[:200]):
                self.assertEqual(record["text"], reference_shown_text(reference))
                self.assertEqual(record["urlHosts"], reference_hosts(reference))
                self.assertEqual(record["parts"], expected_parts)


if __name__ == "__main__":
    qmtest.main()
