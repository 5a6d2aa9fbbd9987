#!/usr/bin/env python3
"""Checks the charsets that `qm_mailfilter inspect` decodes against Python's email package.

Usage: charset_reference_test.py PATH_TO_QM_MAILFILTER [unittest options]

A corpus of a few hundred messages is generated here from a fixed seed: subjects and display
names as encoded words (B and Q, several to a field, on folded lines), single-part bodies in
base64, quoted-printable or 8 bit with a declared charset, bodies without a charset, unknown
charsets and bytes that are not text of their charset. Python's email package
(policy=email.policy.default) parses the same files and is the reference for the subject, the
sender's name and address and the body.

Left out on purpose, because the program differs from the reference by design (the ISO-2022-JP
table and the fall-back to code page 932 are checked in inspect_reference_test.py):
- ISO-2022-JP goes through code page 932, where a few characters (the wave dash, the double
  vertical line, the minus sign, ...) are not the ones Python's codec gives: the texts avoid them.
- An ISO-2022-JP word takes a following fold along, even before plain text: no such subject.
- Text of no declared charset that is not UTF-8 is read as code page 932, where Python gives
  U+FFFD; such text is here only in its UTF-8 form, for which the reference is the UTF-8 reading
  of the bytes Python decoded (its own reading would be ASCII).
- The program keeps the line breaks of a folded plain-text subject; the comparison unfolds them.
- Body lines that start with "." are kept stuffed in the decoded body; the texts avoid them.
"""

import base64
import email
import email.policy
import os
import quopri
import random
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from qmtest import b_word, q_word, inspect_files  # noqa: E402  (tests/support)

PROGRAM = None  # set from argv[1]
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


def unfolded(text):
    """A header value with its folds undone: a line break before a blank goes."""
    return text.replace("\r\n ", " ").replace("\r\n\t", "\t")


class CharsetReferenceTest(unittest.TestCase):
    def test_corpus_against_python_email(self):
        rng = random.Random(20261207)
        messages = corpus(rng)
        self.assertGreater(len(messages), 250)
        with tempfile.TemporaryDirectory(prefix="qm-charsets-") as folder:
            paths = []
            for n, (data, _) in enumerate(messages):
                path = os.path.join(folder, "m%04d.eml" % n)
                with open(path, "wb") as f:
                    f.write(data)
                paths.append(path)
            records, rc, err = inspect_files(PROGRAM, paths)
        self.assertEqual(rc, 0, err)
        self.assertEqual(len(records), len(messages))
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


def main():
    global PROGRAM
    if len(sys.argv) < 2:
        sys.exit("usage: charset_reference_test.py PATH_TO_QM_MAILFILTER [unittest options]")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)


if __name__ == "__main__":
    main()
