#!/usr/bin/env python3
"""Checks `qm_mailfilter inspect` against results computed here from first principles.

Usage: inspect_reference_test.py PATH_TO_QM_MAILFILTER [unittest options]

Every expected value is derived in this file (Python's base64/quopri, our own JIS X 0208 to
Shift_JIS arithmetic, time.mktime) and never by asking the program. Code page 932 text is turned
into UTF-8 with glibc's own CP932 table, because that table, not Python's, decides what the
program prints. The other charsets are checked against Python's email package in
charset_reference_test.py.
"""

import base64
import binascii
import ctypes
import os
import quopri
import random
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmtest  # noqa: E402
from qmtest import b_word, q_word, inspect_files  # noqa: E402

CRLF = b"\r\n"
REPLACEMENT = "\ufffd"
_libc = ctypes.CDLL(None, use_errno=True)
_libc.iconv_open.restype = ctypes.c_void_p
_libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
_libc.iconv.restype = ctypes.c_size_t
_libc.iconv.argtypes = [ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_void_p),
                                            ctypes.POINTER(ctypes.c_size_t)] * 2
_cp932 = _libc.iconv_open(b"UTF-8", b"CP932")


def cp932_text(data: bytes) -> str:
    """CP932 -> UTF-8 through glibc iconv (ctypes, so that the byte where a conversion stops is
    known); a byte that does not convert becomes U+FFFD and the next attempt starts after it."""
    inbuf, outbuf = ctypes.create_string_buffer(data, len(data)), ctypes.create_string_buffer(
        4 * len(data) + 16)
    in_ptr, in_left = ctypes.c_void_p(ctypes.addressof(inbuf)), ctypes.c_size_t(len(data))
    pieces = []
    _libc.iconv(_cp932, None, None, None, None)
    while in_left.value > 0:
        out_ptr, out_left = ctypes.c_void_p(ctypes.addressof(outbuf)), ctypes.c_size_t(len(outbuf))
        result = _libc.iconv(_cp932, ctypes.byref(in_ptr), ctypes.byref(in_left),
                             ctypes.byref(out_ptr), ctypes.byref(out_left))
        pieces.append(outbuf.raw[:len(outbuf) - out_left.value])
        if result == ctypes.c_size_t(-1).value:
            pieces.append(REPLACEMENT.encode())
            in_ptr.value += 1
            in_left.value -= 1
            _libc.iconv(_cp932, None, None, None, None)
    return b"".join(pieces).decode("utf-8")


def undeclared_text(data: bytes) -> str:
    """Bytes of no declared charset: UTF-8 when they are, else code page 932."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return cp932_text(data)


def jis_text(jis: bytes) -> str:
    """JIS X 0208 pairs as the program reads them: through Shift_JIS and code page 932, a pair
    without a character becoming one U+FFFD."""
    chars = (cp932_text(jis_to_sjis(jis[i:i + 2])) for i in range(0, len(jis), 2))
    return "".join(REPLACEMENT if REPLACEMENT in c else c for c in chars)


def jis_to_sjis(jis: bytes) -> bytes:
    """JIS X 0208 byte pairs (0x21-0x7E each) to Shift_JIS: two JIS rows share one lead byte;
    the odd row takes trail bytes 0x40-0x9E (0x7F skipped), the even row 0x9F-0xFC."""
    out = bytearray()
    for i in range(0, len(jis), 2):
        row, cell = jis[i] - 0x21, jis[i + 1] - 0x21  # both 0-based
        lead = 0x81 + row // 2
        lead += 0x40 if lead > 0x9F else 0
        trail = 0x9F + cell if row % 2 else 0x40 + cell + (cell >= 0x3F)
        out += bytes((lead, trail))
    return bytes(out)


def row_bytes(row: int) -> bytes:
    """All 94 cells of one JIS X 0208 row (1-94) as 7-bit JIS byte pairs."""
    return b"".join(bytes((0x20 + row, cell)) for cell in range(0x21, 0x7F))


def iso2022_run(jis: bytes, old_style=False) -> bytes:
    return (b"\x1b$@" + jis + b"\x1b(J") if old_style else (b"\x1b$B" + jis + b"\x1b(B")


def jis_of(text: str) -> bytes:
    return text.encode("iso2022_jp")


def message(headers, body: bytes = b"", eol: bytes = CRLF) -> bytes:
    """headers: raw header lines (bytes, may contain CR LF folding)."""
    return b"".join(h + eol for h in headers) + eol + body


def random_ascii_text(rng, length, alphabet=None) -> bytes:
    alphabet = alphabet or ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                            " !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~")
    return b"".join(CRLF if rng.random() < 0.03 else rng.choice(alphabet).encode()
                    for _ in range(length))[:length]


def random_sjis_text(rng, chars) -> bytes:
    """Japanese prose-like Shift_JIS: hiragana, katakana, level 1 kanji, some ASCII."""
    out = bytearray()
    for _ in range(chars):
        pick = rng.random()
        if pick < 0.35:
            out += jis_to_sjis(bytes((0x24, rng.randint(0x21, 0x73))))   # hiragana
        elif pick < 0.5:
            out += jis_to_sjis(bytes((0x25, rng.randint(0x21, 0x76))))   # katakana
        elif pick < 0.85:
            out += jis_to_sjis(bytes((rng.randint(0x30, 0x4E), rng.randint(0x21, 0x7E))))
        else:
            out += bytes([rng.choice(b"abcXYZ0123 ,.")]) if pick < 0.95 else CRLF
    return bytes(out)


class InspectCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="qm-inspect-")
        self.addCleanup(self._tmp.cleanup)
        self.dir = self._tmp.name
        self._serial = 0

    def write(self, data: bytes) -> str:
        self._serial += 1
        path = os.path.join(self.dir, "m%04d.eml" % self._serial)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def inspect_all(self, messages, raw=False, tz="UTC"):
        """One program run over several messages; fails unless it succeeds for all."""
        paths = [self.write(m) for m in messages]
        records, rc, err = inspect_files(qmtest.PROGRAM, paths, raw=raw, tz=tz)
        self.assertEqual(rc, 0, err)
        self.assertEqual([r["file"] for r in records], paths)
        return records

    def inspect(self, data: bytes, raw=False, tz="UTC"):
        return self.inspect_all([data], raw=raw, tz=tz)[0]

    def check(self, cases, make, key, tz="UTC"):
        """One run over make(case) for each (input, expected) case; record[key] == expected."""
        for (given, expected), record in zip(cases, self.inspect_all(
                [make(given) for given, _ in cases], tz=tz)):
            with self.subTest(given=given):
                self.assertEqual(record[key], expected)


def base64_lines(data: bytes) -> bytes:
    # encodebytes gives the usual 76-character lines.
    return base64.encodebytes(data).replace(b"\n", CRLF)


class TransferEncodingTest(InspectCase):
    def test_base64_bodies(self):
        rng = random.Random(20240611)
        originals = [random_ascii_text(rng, n) for n in (1, 2, 3, 56, 57, 58, 1000, 1001, 4099)]
        originals += [random_sjis_text(rng, n) for n in (1, 40, 333, 2000)]
        # A Shift_JIS character straddling the 57-byte line boundary of the encoding.
        originals.append(b"a" * 56 + jis_to_sjis(b"\x30\x21") + b"tail")
        messages = [message([b"Subject: b64 %d" % i, b"Content-Transfer-Encoding: base64"],
                            base64_lines(o)) for i, o in enumerate(originals)]
        records = self.inspect_all(messages)
        for original, record in zip(originals, records):
            with self.subTest(length=len(original), start=original[:16]):
                self.assertEqual(record["body"], undeclared_text(original))

    def test_encoding_name_is_matched_whole_and_case_blind(self):
        payload = b"plain words http://decoded.example/\r\n"
        encoded = base64_lines(payload)
        # Field values are trimmed; a parameter means we do not know the encoding.
        cases = [(value, payload.decode() if decoded else encoded.decode()) for value, decoded in
                 [(b"base64", True), (b"BASE64", True), (b"Base64", True), (b"  base64  ", True),
                  (b"base64; x=y", False), (b"x-base64", False), (b"7bit", False),
                  (b"base6", False)]]
        make = lambda value: message([b"Content-Transfer-Encoding: " + value], encoded)  # noqa
        self.check(cases, make, "body")
        self.check([(v, ["decoded.example"] if b == payload.decode() else []) for v, b in cases],
                   make, "urlHosts")

    def test_escapes(self):
        # (transfer encoding, encoded, decoded): a base64 zero byte ends its group, the
        # following groups still count; quoted-printable hex digits of either case.
        cases = [(b"base64", base64.b64encode(b"ab\x00cdef") + CRLF, b"abcdef"),
                 (b"Quoted-Printable", b"a=3Db\r\n", b"a=b\r\n"),
                 (b"Quoted-Printable", b"=41=42=43\r\n", b"ABC\r\n"),
                 (b"Quoted-Printable", b"soft=\r\nbreak\r\n", b"softbreak\r\n"),
                 (b"Quoted-Printable", b"one=\r\ntwo=\r\nthree\r\n", b"onetwothree\r\n"),
                 (b"Quoted-Printable", b"=82=A0\r\n", b"\x82\xa0\r\n"),
                 (b"Quoted-Printable", b"=82=a0\r\n", b"\x82\xa0\r\n"),
                 (b"Quoted-Printable", b"under_score\r\n", b"under_score\r\n")]
        self.check([((cte, encoded), undeclared_text(decoded)) for cte, encoded, decoded in cases],
                   lambda given: message([b"Content-Transfer-Encoding: " + given[0]], given[1]),
                   "body")

    def test_each_part_has_its_own_encoding(self):
        # A message without parts is decoded as a whole; in a multipart body each part's own
        # header counts, and a body without its boundary is text as it stands.
        part = (b"--b\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                + base64_lines(b"http://hidden.example/") + b"--b--\r\n")
        records = self.inspect_all([
            message([b"Content-Type: multipart/mixed; boundary=b"], part),
            message([b"Content-Type: multipart/mixed; boundary=other"], part),
        ])
        self.assertEqual(records[0]["body"], "http://hidden.example/")
        self.assertEqual(records[0]["urlHosts"], ["hidden.example"])
        self.assertEqual(records[1]["body"], part.decode())
        self.assertEqual(records[1]["urlHosts"], [])

    def test_quoted_printable_bodies(self):
        rng = random.Random(7011)
        # No dots: a soft-broken line starting with "." would be dot-stuffed in the stored form.
        alphabet = ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                    " \t=!\"#$%&'()*+,-/:;<>?@[\\]^_`{|}~")
        originals = [
            b"a=b and c==d\nend with blanks   \nand a tab\t\n",
            b"x" * 200 + b"\n" + b"= " * 60 + b"\n",
            random_sjis_text(rng, 300).replace(CRLF, b"\n").replace(b".", b",") + b"\n",
        ]
        originals += [random_ascii_text(rng, n, alphabet).replace(CRLF, b"\n") + b"\n"
                      for n in (10, 300, 3000)]
        encoded = []
        for i, original in enumerate(originals):
            # Alternate the two stdlib encoders; quotetabs also exercises =20 and =09.
            if i % 2:
                data = quopri.encodestring(original, quotetabs=True)
            else:
                data = binascii.b2a_qp(original, istext=True)
            self.assertFalse(any(line.startswith(b".") for line in data.split(b"\n")))
            encoded.append(data)
        messages = [message([b"Content-Transfer-Encoding: quoted-printable"], e, eol=b"\n")
                    for e in encoded]
        records = self.inspect_all(messages)
        for original, record in zip(originals, records):
            with self.subTest(start=original[:16]):
                # Hard line breaks are CR LF once the message is stored.
                self.assertEqual(record["body"],
                                 undeclared_text(original.replace(b"\n", CRLF)))

class Iso2022JpTest(InspectCase):
    def test_reference_arithmetic_agrees_with_python_codecs(self):
        # Guards our own table: rows 1-8 and 16-84 are the ones both codecs define.
        for row in list(range(1, 9)) + list(range(16, 85)):
            for cell in range(0x21, 0x7F):
                jis = bytes((0x20 + row, cell))
                try:
                    char = iso2022_run(jis).decode("iso2022_jp")
                    expected = char.encode("shift_jis")
                except UnicodeError:
                    continue
                self.assertEqual(jis_to_sjis(jis), expected, (row, hex(cell)))

    def test_every_row_in_a_b_encoded_subject(self):
        messages = [message([b"Subject: " + b_word(iso2022_run(row_bytes(r), old_style=r % 2))])
                    for r in range(1, 95)]
        records = self.inspect_all(messages)
        for row, record in zip(range(1, 95), records):
            with self.subTest(row=row):
                self.assertEqual(record["subject"], jis_text(row_bytes(row)))

    def test_every_row_in_a_q_encoded_subject(self):
        # Cell 0x5F is "_", written "=5F": only a bare "_" is a space.
        messages = [message([b"Subject: " + q_word(iso2022_run(row_bytes(r)))])
                    for r in range(1, 95)]
        records = self.inspect_all(messages)
        for row, record in zip(range(1, 95), records):
            with self.subTest(row=row):
                self.assertEqual(record["subject"], jis_text(row_bytes(row)))

    def test_every_row_in_a_seven_bit_body(self):
        body = bytearray()
        expected = ""
        for row in range(1, 95):
            label = b"row %d: " % row
            body += label + iso2022_run(row_bytes(row), old_style=row % 3 == 0) + b" end" + CRLF
            expected += label.decode() + jis_text(row_bytes(row)) + " end\r\n"
        record = self.inspect(message([b"Subject: rows", b"Content-Type: text/plain; "
                                       b"charset=ISO-2022-JP"], bytes(body)))
        got = record["body"].split("\r\n")
        want = expected.split("\r\n")
        self.assertEqual(len(got), len(want))
        for row, (g, w) in enumerate(zip(got, want), start=1):
            with self.subTest(row=row):
                self.assertEqual(g, w)

    def test_iso2022jp_inside_base64_body(self):
        text = jis_of("こんにちは、世界") + CRLF
        record = self.inspect(message([b"Content-Transfer-Encoding: base64"], base64_lines(text)))
        self.assertEqual(record["body"], "こんにちは、世界\r\n")

    def test_unencoded_iso2022jp_in_subject(self):
        jis = "件名です".encode("iso2022_jp")
        record = self.inspect(message([b"Subject: Re: " + jis]))
        self.assertEqual(record["subject"], "Re: 件名です")


class FoldedWordsTest(InspectCase):
    def test_folded_encoded_words(self):
        utf8_a, utf8_b = "café ".encode(), "über".encode()
        latin_a, latin_b = "caf\xe9".encode("latin-1"), "d\xe9j\xe0".encode("latin-1")

        cases = [
            ("two ISO-2022-JP lines join",
             b_word(jis_of("日本")) + CRLF + b" " + b_word(jis_of("語です")), "日本語です"),
            ("three ISO-2022-JP lines join",
             b_word(jis_of("一")) + CRLF + b" " + q_word(jis_of("二")) + CRLF + b" "
             + b_word(jis_of("三")),
             "一二三"),
            ("lower-case charset joins",
             b_word(jis_of("小文字"), b"iso-2022-jp") + CRLF + b" "
             + b_word(jis_of("も可"), b"iso-2022-jp"),
             "小文字も可"),
            ("lower-case b", b_word(jis_of("小さなb"), b"ISO-2022-JP", b"b"), "小さなb"),
            ("text before the words",
             b"Re: " + b_word(jis_of("返信")) + CRLF + b" " + b_word(jis_of("です")),
             "Re: 返信です"),
            # ISO-2022-JP words take the fold after them along, even before plain text.
            ("ISO-2022-JP word before folded text", b_word(jis_of("件名")) + CRLF + b" (2)",
             "件名(2)"),
            ("UTF-8 lines join", b_word(utf8_a, b"UTF-8") + CRLF + b" " + b_word(utf8_b, b"UTF-8"),
             "café über"),
            ("ISO-8859-1 lines join",
             q_word(latin_a, b"ISO-8859-1") + CRLF + b" " + q_word(latin_b, b"ISO-8859-1"),
             "cafédéjà"),
            ("other words keep the fold before plain text",
             b_word("日本".encode(), b"utf-8") + CRLF + b" (2)", "日本\r\n (2)"),
        ]
        messages = [message([b"Subject: " + value]) for _, value, _ in cases]
        records = self.inspect_all(messages)
        for (name, value, expected), record in zip(cases, records):
            with self.subTest(name):
                self.assertEqual(record["subject"], expected)
                # The field list shows the value as written, folding and all.
                self.assertEqual(record["fields"][0], ["Subject", value.decode("ascii")])


class SenderTest(InspectCase):
    def test_from_field(self):
        cases = [
            # From value, senderName, senderAddress
            (b'"Taro Yamada" <taro@example.com>', "Taro Yamada", "taro@example.com"),
            (b"Taro <taro@example.com>", "Taro", "taro@example.com"),
            (b'\t" Taro "\t <t.y+tag@sub.example.co.jp>', "Taro", "t.y+tag@sub.example.co.jp"),
            (b"taro@example.com", "", "taro@example.com"),
            (b"<taro@example.com>", "", "taro@example.com"),
            (b_word(jis_of("山田太郎")) + b" <yamada@example.jp>", "山田太郎",
             "yamada@example.jp"),
            (b'"' + b_word(jis_of("花子")) + b'" <hanako@example.jp>', "花子",
             "hanako@example.jp"),
        ]
        records = self.inspect_all([message([b"From: " + value, b"Subject: s"])
                                    for value, _, _ in cases])
        for (value, name, address), record in zip(cases, records):
            with self.subTest(value=value):
                self.assertEqual(record["senderName"], name)
                self.assertEqual(record["senderAddress"], address)
                self.assertEqual(record["displaySender"], name or address)

    def test_no_from_field(self):
        record = self.inspect(message([b"Subject: anonymous"]))
        self.assertEqual([record[k] for k in ("from", "senderName", "senderAddress",
                                              "displaySender")], ["", "", "", ""])


MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def expected_received(day, month, year, hh, mm, ss, sign, zone_hours, tz):
    """The program's reading: moved to Japan time, then taken as local time."""
    hour = hh - (zone_hours if sign == "+" else -zone_hours) + 9
    saved = os.environ.get("TZ")
    os.environ["TZ"] = tz
    time.tzset()
    try:
        seconds = int(time.mktime((year, MONTHS.index(month) + 1, day, hour, mm, ss, 0, 0, -1)))
        shown = time.strftime("%Y %m/%d %H:%M:%S", time.localtime(seconds))
    finally:
        if saved is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = saved
        time.tzset()
    return seconds, shown


class ReceivedDateTest(InspectCase):
    def setUp(self):
        super().setUp()
        # Without zone data every zone silently behaves as UTC and the checks prove nothing.
        one_day = (1, "Jul", 2020, 12, 0, 0, "+", 0)
        if len({expected_received(*one_day, tz=tz)[0]
                for tz in ("Asia/Tokyo", "UTC", "America/New_York")}) != 3:
            self.skipTest("time zone data for Asia/Tokyo or America/New_York is missing")

    DATES = [
        # day, month, year, h, m, s, sign, zone hours, zone minutes
        (3, "Jun", 2008, 11, 5, 30, "+", 0, 0),
        (15, "Jan", 2021, 15, 0, 0, "+", 0, 0),      # 24:00 in Japan: the next day
        (31, "Dec", 2020, 20, 0, 0, "-", 10, 0),     # next year
        (1, "Jan", 2009, 1, 0, 0, "+", 14, 0),       # before 00:00 in Japan: the day before
        (1, "Mar", 2010, 2, 30, 0, "+", 12, 45),     # zone minutes are not used
        (28, "Feb", 2008, 23, 30, 0, "-", 3, 0),     # leap day
        (28, "Feb", 2009, 23, 30, 0, "-", 3, 0),     # no leap day
        (9, "Jul", 2019, 7, 59, 59, "+", 9, 0),
        (21, "Oct", 2015, 16, 29, 0, "-", 7, 0),
    ]

    def test_received_dates(self):
        for tz in ("Asia/Tokyo", "UTC", "America/New_York"):
            messages = []
            for d, mon, y, hh, mm, ss, sign, zh, zm in self.DATES:
                messages.append(message([
                    b"Received: from relay.example (relay.example [192.0.2.7])\r\n"
                    b"\tby mx.example; Mon, %d %s %d %02d:%02d:%02d %s%02d%02d (X)"
                    % (d, mon.encode(), y, hh, mm, ss, sign.encode(), zh, zm),
                    b"Subject: dated"]))
            records = self.inspect_all(messages, tz=tz)
            for date, record in zip(self.DATES, records):
                with self.subTest(tz=tz, date=date):
                    seconds, shown = expected_received(*date[:8], tz=tz)
                    self.assertEqual(record["received"], seconds)
                    self.assertEqual(record["date"], shown)

    def test_japan_time_gives_the_true_instant(self):
        # 11:05:30 +0000 on 3 June 2008 is 1212491130 seconds after the epoch.
        record = self.inspect(message([b"Received: by x; Tue, 3 Jun 2008 11:05:30 +0000"]),
                              tz="Asia/Tokyo")
        self.assertEqual((record["received"], record["date"]),
                         (1212491130, "2008 06/03 20:05:30"))

    def test_only_the_first_received_field_is_read(self):
        later = b"Received: by b; Tue, 3 Jun 2008 11:05:30 +0000"
        cases = [
            ([b"Received: from a by b", later], 0),
            ([b"Subject: no received", b"Date: Tue, 3 Jun 2008 11:05:30 +0000"], 0),
            ([b"Received: by a; 4 Jun 2008 00:00:00 +0900", later],
             expected_received(4, "Jun", 2008, 0, 0, 0, "+", 9, "UTC")[0]),
        ]
        records = self.inspect_all([message(h) for h, _ in cases])
        for (headers, seconds), record in zip(cases, records):
            with self.subTest(headers=headers):
                self.assertEqual(record["received"], seconds)
                self.assertEqual(record["date"] == "", seconds == 0)


class RelaysAndHostsTest(InspectCase):
    def test_relays(self):
        cases = [
            ([b"Received: from a ([192.0.2.1]) by b (10.0.0.1)"], ["1.2.0.192", "1.0.0.10"]),
            ([b"Received: from a [198.51.100.23]", b"X-Originating-IP: 172.16.0.9",
              b"Received: from c (203.0.113.200)\r\n\tby d (127.0.0.1)"],
             ["23.100.51.198", "200.113.0.203", "1.0.0.127"]),
            ([b"Received: from odd [999.1.1.1]"], ["1.1.1.999"]),
            ([b"Received: from a [192.0.2.1] x 1.2.3.4567 y [10.0.0.1]",
              b"Received: from b [10.9.8.7]"], ["1.2.0.192", "7.8.9.10"]),
            ([b"Received: from a 1234.5.6.7 [10.0.0.1]"], []),
            ([b"Received: by smtp 2.11.3 with id 42"], []),
            ([b"Subject: 192.0.2.1"], []),
        ]
        self.check(cases, message, "relays")

    def test_url_hosts(self):
        cases = [
            (b"see http://Example.COM/path and https://a-b_c.example.org:8080/x\r\n"
             b"again http://example.com?q=1\r\n",
             ["Example.COM", "a-b_c.example.org", "example.com"]),
            (b"HTTP://upper.example/ ftp://files.example/ mailto:x@y.example\r\n", []),
            (b"xhttps://glued.example/ <http://angle.example>\r\n",
             ["glued.example", "angle.example"]),
            (b"http:// nothing\r\nhttp://10.0.0.1/\r\n", ["10.0.0.1"]),
        ]
        self.check(cases, lambda body: message([b"Subject: http://header.example/"], body),
                   "urlHosts")

    def test_url_hosts_come_from_the_decoded_body(self):
        qp = b"link: http=3A//qp.example/=\r\npath and https://soft=\r\nbroken.example/\r\n"
        b64 = base64_lines(b"go to http://b64.example/x\r\n")
        records = self.inspect_all([
            message([b"Content-Transfer-Encoding: quoted-printable"], qp),
            message([b"Content-Transfer-Encoding: base64"], b64),
        ])
        self.assertEqual(records[0]["urlHosts"], ["qp.example", "softbroken.example"])
        self.assertEqual(records[1]["urlHosts"], ["b64.example"])


SAMPLE_HEADERS = [
    b"Received: from a (a.example [192.0.2.1])\r\n\tby b; Tue, 3 Jun 2008 11:05:30 +0000",
    b"From: " + b_word(jis_of("送信者")) + b" <sender@example.jp>",
    b"Subject: " + b_word(jis_of("件名")) + b"\r\n " + b_word(jis_of("続き")),
    b"X-Blank:   padded value\t ",
    b"Content-Type: text/plain; charset=ISO-2022-JP",
]
SAMPLE_BODY = (b"first line http://one.example/\r\n.starts with a dot\r\n..two dots\r\n"
               + jis_of("本文") + CRLF + b"\r\nlast\r\n")


def without_file(record):
    return {k: v for k, v in record.items() if k != "file"}


class InputFormTest(InspectCase):
    def test_crlf_lf_and_stored_forms_agree(self):
        crlf = message(SAMPLE_HEADERS, SAMPLE_BODY)
        lf = crlf.replace(CRLF, b"\n")
        plain_crlf, plain_lf = self.inspect_all([crlf, lf])
        stored = self.inspect(qmtest.stuffed(crlf), raw=True)
        self.assertEqual(without_file(plain_lf), without_file(plain_crlf))
        self.assertEqual(without_file(stored), without_file(plain_crlf))

    def test_sample_values(self):
        record = self.inspect(message(SAMPLE_HEADERS, SAMPLE_BODY), tz="Asia/Tokyo")
        head_end = qmtest.stuffed(message(SAMPLE_HEADERS, SAMPLE_BODY)).index(CRLF + CRLF) + 4
        self.assertEqual(record["headerLength"], head_end)
        self.assertEqual(record["fields"], [
            [line.split(b":", 1)[0].decode(),
             line.split(b":", 1)[1].strip(b" \t").decode("ascii")] for line in SAMPLE_HEADERS])
        self.assertEqual(record["subject"], "件名続き")
        self.assertEqual((record["senderName"], record["senderAddress"],
                          record["displaySender"]),
                         ("送信者", "sender@example.jp", "送信者"))
        self.assertEqual(record["relays"], ["1.2.0.192"])
        self.assertEqual(record["urlHosts"], ["one.example"])
        self.assertEqual(record["date"], "2008 06/03 20:05:30")

    def test_header_length_is_counted_in_the_stored_form(self):
        lf = b"Subject: a\n.X-Dotted: b\n\nbody\n"
        record = self.inspect(lf)
        # CR LF added to three lines and one dot doubled.
        self.assertEqual(record["headerLength"], len(b"Subject: a\n.X-Dotted: b\n\n") + 3 + 1)

    def test_unreadable_files_are_reported_and_the_rest_processed(self):
        first = self.write(message([b"Subject: first"]))
        missing = os.path.join(self.dir, "no-such-message.eml")
        folder = os.path.join(self.dir, "a-folder.eml")
        os.mkdir(folder)
        last = self.write(message([b"Subject: last"]))
        records, rc, err = inspect_files(qmtest.PROGRAM, [first, missing, folder, last])
        self.assertEqual(rc, 1)
        self.assertEqual([(r["file"], r["subject"]) for r in records],
                         [(first, "first"), (last, "last")])
        err_lines = err.splitlines()
        self.assertTrue(any(missing in line for line in err_lines), err)
        self.assertTrue(any(folder in line for line in err_lines), err)


if __name__ == "__main__":
    qmtest.main()
