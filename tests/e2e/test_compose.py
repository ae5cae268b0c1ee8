"""Messages composed in File mode, checked with Python's email package."""
import base64
import binascii
import email
import email.header
import re
from email import policy

import pytest

FROM = "-from:sender@example.org"
TO = "-to:rcpt@example.org"

# The standard fields in the order the header block writes them.
FIELD_ORDER = ["Date", "Subject", "From", "Reply-To", "To", "Cc", "Message-ID",
               "Disposition-Notification-To", "X-Priority", "X-Mailer"]


def binary_bytes(n, seed=7):
    return bytes((i * seed + (i >> 8)) & 0xFF for i in range(n))


def compose(ostrel, *args, name="out.eml", status=0):
    out = ostrel.path(name)
    r = ostrel(FROM, *args, f"-file:{out.name}")
    assert r.status == status, r.stderr
    if status:
        return r
    data = ostrel.written(r, out.name)
    check_wire_form(data)
    return data, email.message_from_bytes(data, policy=policy.default)


def check_wire_form(data):
    """CR LF only, no line over 998 octets, encoded lines within their limits."""
    assert b"\r" not in data.replace(b"\r\n", b""), "bare CR"
    assert b"\n" not in data.replace(b"\r\n", b""), "bare LF"
    lines = data.split(b"\r\n")
    assert max(len(line) for line in lines) <= 998
    msg = email.message_from_bytes(data, policy=policy.default)
    for part in msg.walk():
        if part.is_multipart():
            continue
        cte = part.get("Content-Transfer-Encoding", "").lower()
        raw = part.get_payload(decode=False)
        body_lines = [x for x in raw.split("\r\n") if x] if isinstance(raw, str) else []
        if cte == "base64":
            assert all(len(x) == 76 for x in body_lines[:-1]), "base64 line length"
            assert all(len(x) <= 76 for x in body_lines[-1:])
        elif cte == "quoted-printable":
            assert all(len(x) <= 76 for x in body_lines), "quoted-printable line length"


def field_names(msg):
    return [k for k in msg.keys() if k in FIELD_ORDER]


def tree(msg):
    """The MIME tree as nested content types."""
    if msg.is_multipart():
        return [msg.get_content_type(), [tree(p) for p in msg.get_payload()]]
    return msg.get_content_type()


def crlf(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n")


def test_plain_text_single_part(ostrel):
    data, msg = compose(ostrel, TO, "-subject:Plain", "-body:Hello\\nWorld")
    assert tree(msg) == "text/plain"
    assert msg["MIME-Version"] == "1.0"
    assert msg["Content-Transfer-Encoding"] == "7bit"
    assert msg.get_content_charset() == "us-ascii"
    assert msg.get_payload(decode=True) == b"Hello\r\nWorld\r\n"
    assert field_names(msg) == ["Date", "Subject", "From", "To", "Message-ID", "X-Mailer"]
    assert re.fullmatch(r"<[^@]+@example\.org>", msg["Message-ID"])


@pytest.mark.parametrize("flag,cte", [("-body-64", "base64"), ("-body-qp", "quoted-printable")])
def test_text_body_encodings(ostrel, flag, cte):
    text = "Gr\u00fc\u00dfe = greetings " * 20 + "\r\nend"
    data, msg = compose(ostrel, TO, flag, f"-body:{text}")
    assert msg["Content-Transfer-Encoding"] == cte
    decoded = msg.get_payload(decode=True)
    assert decoded.rstrip(b"\r\n") == text.encode()


def test_html_alone(ostrel):
    data, msg = compose(ostrel, TO, "-body--html:<p>Hi</p>")
    assert tree(msg) == ["multipart/mixed", [["multipart/alternative",
                                              ["text/plain", "text/html"]]]]
    html = msg.get_payload()[0].get_payload()[1]
    assert html.get_content_charset() == "utf-8"
    assert html.get_payload(decode=True).rstrip(b"\r\n") == b"<p>Hi</p>"


def test_html_with_inline_images(ostrel):
    png = binary_bytes(5000, 13)
    ostrel.write("logo.png", png)
    page = '<html><body><img src="cid:logo.png"> caf\u00e9</body></html>\n'
    ostrel.write("page.html", page)
    data, msg = compose(ostrel, TO, "-body:Text version", "-body-html:page.html",
                        "-ai:logo.png")
    assert tree(msg) == ["multipart/mixed", [["multipart/alternative", [
        "text/plain", ["multipart/related", ["text/html", "image/png"]]]]]]
    related = msg.get_payload()[0].get_payload()[1]
    html, image = related.get_payload()
    assert html.get_payload(decode=True) == page.encode()
    assert image.get_payload(decode=True) == png
    assert image["Content-ID"] == "<logo.png>"
    assert image.get_content_disposition() == "inline"


@pytest.mark.parametrize("option,content,cte", [
    ("-a:", binary_bytes(100_000), "base64"),
    ("-a:", ("plain text line\r\n" * 300).encode(), "quoted-printable"),
    ("-a64:", b"short text\r\n", "base64"),
    ("-aqp:", binary_bytes(3000) + b" \t=.\r\n.", "quoted-printable"),
])
def test_mime_attachments(ostrel, option, content, cte):
    ostrel.write("data.bin", content)
    data, msg = compose(ostrel, TO, "-body:See attached", f"{option}data.bin")
    assert tree(msg) == ["multipart/mixed", ["text/plain", "application/octet-stream"]]
    part = msg.get_payload()[1]
    assert part["Content-Transfer-Encoding"] == cte
    assert part.get_filename() == "data.bin"
    assert part.get_content_disposition() == "attachment"
    assert part.get_payload(decode=True) == content


def test_uuencode_layout(ostrel):
    content = binary_bytes(45 * 10 + 14, 5)
    ostrel.write("blob.bin", content)
    data, msg = compose(ostrel, TO, "-body:Caf\u00e9 inside", "-auu:blob.bin")
    assert "Content-Type" not in msg and "MIME-Version" not in msg
    body = data.split(b"\r\n\r\n", 1)[1]
    lines = body.split(b"\r\n")
    assert lines[0] == "Caf\u00e9 inside".encode()  # unencoded: no field would name it
    start = lines.index(b"begin 644 blob.bin")
    end = lines.index(b"end", start)
    decoded = b"".join(binascii.a2b_uu(x) for x in lines[start + 1:end] if x != b"`")
    assert decoded == content


def test_lone_attachment(ostrel):
    content = binary_bytes(2000)
    ostrel.write("only.pdf", content)
    data, msg = compose(ostrel, TO, "-a:only.pdf")
    assert tree(msg) == "application/pdf"
    assert msg["MIME-Version"] == "1.0"
    assert msg.get_filename() == "only.pdf"
    assert msg.get_payload(decode=True) == content


def test_message_attachment(ostrel):
    inner = "From: a@example.org\nSubject: inner\n\n.line\nbody \xe9\n"
    ostrel.write("fwd.eml", inner.encode("latin-1"))
    data, msg = compose(ostrel, TO, "-body:Forwarded", "-a:fwd.eml")
    assert tree(msg)[0] == "multipart/mixed"
    part = msg.get_payload()[1]
    assert part.get_content_type() == "message/rfc822"
    assert part["Content-Transfer-Encoding"] == "8bit"
    assert part.get_payload()[0]["Subject"] == "inner"
    start = data.index(b"Content-Transfer-Encoding: 8bit\r\n\r\n") + 35
    assert data[start:].startswith(crlf(inner).encode("latin-1"))


def test_forced_mime(ostrel):
    data, msg = compose(ostrel, TO, "-mime", "-body:Just text")
    assert tree(msg) == ["multipart/mixed", ["text/plain"]]
    assert msg.get_payload()[0].get_payload(decode=True).rstrip() == b"Just text"


def test_charset_of_a_body_file(ostrel):
    text = "na\xefve caf\xe9\r\nsecond line\r\n".encode("latin-1")
    ostrel.write("body.txt", text)
    data, msg = compose(ostrel, TO, "-body-file:body.txt:iso-8859-1")
    assert msg.get_content_charset() == "iso-8859-1"
    assert msg["Content-Transfer-Encoding"] == "quoted-printable"
    assert msg.get_payload(decode=True).rstrip(b"\r\n") == text.rstrip(b"\r\n")


def test_custom_and_removed_headers(ostrel):
    data, msg = compose(ostrel, TO, "-body:x", "-head:X-First:one", "-head:X-Second:two: 2",
                        "-delhead:X-Other")
    keys = msg.keys()
    assert msg["X-First"] == "one" and msg["X-Second"] == "two: 2"
    assert keys.index("X-First") < keys.index("X-Second") < keys.index("Content-Type")
    assert keys.index("Message-ID") < keys.index("X-First")


@pytest.mark.parametrize("level,text", [("1", "1 (Highest)"), ("2", "2 (High)"),
                                         ("3", None), ("4", "4 (Low)"), ("5", "5 (Lowest)")])
def test_priority(ostrel, level, text):
    data, msg = compose(ostrel, TO, "-body:x", f"-priority:{level}")
    assert msg["X-Priority"] == text


def test_read_receipt_reply_to_and_return_path(ostrel):
    data, msg = compose(ostrel, TO, "-body:x", "-mdn", "-reply-to:answers@example.org",
                        "-return-path:bounces@example.org")
    assert msg["Disposition-Notification-To"] == "sender@example.org"
    assert msg["Reply-To"] == "answers@example.org"
    assert field_names(msg) == ["Date", "From", "Reply-To", "To", "Message-ID",
                                "Disposition-Notification-To", "X-Mailer"]
    # The return path belongs to the envelope; a message file carries none.
    assert "Return-Path" not in msg


def test_idn_domains_as_punycode(ostrel):
    data, msg = compose(ostrel, "-to:user@b\u00fccher.example", "-cc:x@m\u00fcnchen.example",
                        "-body:x")
    assert b"To: user@xn--bcher-kva.example\r\n" in data
    assert b"Cc: x@xn--mnchen-3ya.example\r\n" in data


def test_utf8_subject_and_names(ostrel):
    subject = "Gr\u00fc\u00dfe aus K\u00f6ln"
    data, msg = compose(ostrel, f"-to:rcpt@example.org:J\u00f6rg M\u00fcller",
                        f"-subject:{subject}", "-body:x")
    assert msg["Subject"] == subject
    assert msg["To"].addresses[0].display_name == "J\u00f6rg M\u00fcller"
    assert b"=?utf-8?B?" in data
    for word in re.findall(rb"=\?[^?]+\?[BbQq]\?[^?]*\?=", data):
        assert len(word) <= 75


def test_recipient_order_and_display_name_quoting(ostrel):
    data, msg = compose(ostrel, "-to:z@example.org", "-to:y@example.org",
                        '-to:x@example.org:"Doe, \\"J\\""', "-body:x")
    assert [a.addr_spec for a in msg["To"].addresses] == [
        "x@example.org", "y@example.org", "z@example.org"]


def test_huge_subject_is_folded(ostrel):
    subject = " ".join(f"word{i}" for i in range(600)) + " " + "x" * 3000
    data, msg = compose(ostrel, TO, f"-subject:{subject}", "-body:x")
    assert msg["Subject"].replace(" ", "") == subject.replace(" ", "")


def test_binary_body_file(ostrel):
    ostrel.write("bin.txt", binary_bytes(5000).replace(b"\0", b"\1"))
    data, msg = compose(ostrel, TO, "-body-file:bin.txt")
    assert msg["Content-Transfer-Encoding"] == "quoted-printable"
    assert msg.get_content_charset() == "utf-8"


def test_output_file_that_cannot_be_made(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-file:no/such/dir/out.eml")
    assert r.status == 3
    assert "Failed to open output file" in r.stderr


def test_missing_html_file_leaves_no_message(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-body-html:gone.html", "-file:out.eml")
    assert r.status == 10
    assert not ostrel.path("out.eml").exists()


def test_missing_attachment_is_refused(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-a:nowhere.bin", "-file:out.eml")
    assert r.status == 10
    assert not ostrel.path("out.eml").exists()


def test_malformed_address_gives_no_message(ostrel):
    r = ostrel("-from:nobody", "-to:also-nobody", "-body:x", "-file:out.eml")
    assert r.status == 1
    assert r.stderr == "Invalid address for -from (nobody)\n"
    assert not ostrel.path("out.eml").exists()


@pytest.mark.parametrize("option", ["-a:", "-auu:"])
def test_attachment_that_cannot_be_read_leaves_no_message(ostrel, option):
    ostrel.path("folder").mkdir()  # opens, but reading it fails
    r = ostrel(FROM, TO, "-body:x", f"{option}folder", "-file:out.eml")
    assert r.status == 10
    assert "folder" in r.stderr
    assert not ostrel.path("out.eml").exists()


def test_failed_write_is_reported(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-file:/dev/full")
    assert r.status == 3
    assert "Failed to write output file" in r.stderr


def test_file_name_with_a_quote(ostrel):
    ostrel.write('say "hi".txt', b"hello\r\n")
    data, msg = compose(ostrel, TO, "-body:x", '-a64:say "hi".txt')
    part = msg.get_payload()[1]
    assert part.get_filename() == 'say "hi".txt'
    assert part.get_payload(decode=True) == b"hello\r\n"


@pytest.mark.parametrize("name,content,cte", [
    ("pipe.txt", b"hello world line\r\n" * 1000, "quoted-printable"),
    ("pipe.bin", binary_bytes(70_000), "base64"),
    ("pipe.eml", b"Subject: piped\r\n\r\nbody\r\n", "7bit"),
])
def test_automatic_encoding_of_a_pipe_keeps_every_byte(ostrel, name, content, cte):
    """The sample that decides the encoding must not be lost when the file
    cannot seek back."""
    import os
    import threading
    fifo = ostrel.path(name)
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as f:
            f.write(content)

    t = threading.Thread(target=feed, daemon=True)
    t.start()
    data, msg = compose(ostrel, TO, "-body:x", f"-a:{name}")
    t.join(10)
    part = msg.get_payload()[1]
    assert part["Content-Transfer-Encoding"] == cte
    if cte == "7bit":
        assert data.split(b"Content-Transfer-Encoding: 7bit\r\n\r\n", 1)[1].startswith(content)
    else:
        assert part.get_payload(decode=True) == content


def test_uuencoded_file_with_a_long_encoded_name(ostrel):
    """A name of several encoded words still gives a one-line begin line."""
    name = "\u00dc" * 40 + ".bin"
    content = binary_bytes(100, 3)
    ostrel.write(name, content)
    data, msg = compose(ostrel, TO, "-body:x", f"-auu:{name}")
    lines = data.split(b"\r\n")
    start = next(i for i, x in enumerate(lines) if x.startswith(b"begin 644 "))
    words = lines[start][len(b"begin 644 "):]
    assert str(email.header.make_header(email.header.decode_header(words.decode()))) == name
    end = lines.index(b"end", start)
    decoded = b"".join(binascii.a2b_uu(x) for x in lines[start + 1:end] if x != b"`")
    assert decoded == content


@pytest.mark.parametrize("input_option,output", [
    ("-a:same.bin", "same.bin"),
    ("-a64:same.bin", "./same.bin"),
    ("-auu:same.bin", "same.bin"),
    ("-ai:same.bin", "same.bin"),
    ("-body-html:same.bin", "same.bin"),
    ("-a:link.bin", "same.bin"),
])
def test_output_file_that_is_also_an_input_is_refused(ostrel, input_option, output):
    """Opening the output truncates it: the input would be lost and the message
    would carry it empty."""
    import os
    content = binary_bytes(3000)
    ostrel.write("same.bin", content)
    os.symlink("same.bin", ostrel.path("link.bin"))
    extra = ["-body--html:<p>x</p>"] if input_option.startswith("-ai:") else []
    r = ostrel(FROM, TO, "-body:x", *extra, input_option, f"-file:{output}")
    assert r.status == 3
    assert "Output file is also an input file (" in r.stderr
    assert ostrel.path("same.bin").read_bytes() == content


@pytest.mark.parametrize("charset", ["utf-8\r\nX-Injected=1", "two words", 'say"q', "a\\b"])
def test_charset_that_would_break_the_content_type_is_not_used(ostrel, charset):
    ostrel.write("body.txt", "caf\u00e9\n")
    for layout in ([], ["-mime"]):
        data, msg = compose(ostrel, TO, f"-body-file:body.txt:{charset}", *layout)
        text = next(p for p in msg.walk() if p.get_content_type() == "text/plain")
        assert not msg.defects and not text.defects
        assert "X-Injected" not in msg
        assert text.get_content_charset() == "utf-8"
        assert text.get_content().strip() == "caf\u00e9"


@pytest.mark.parametrize("encoding,cte", [([], "quoted-printable"), (["-body-64"], "base64")])
def test_literal_body_file_with_nul_bytes_keeps_every_byte(ostrel, encoding, cte):
    content = b"\x00starts with NUL\r\nmid\x00dle\r\n" + binary_bytes(600)
    ostrel.write("raw.bin", content)
    out = ostrel.path("out.eml")
    r = ostrel("-body-literal", FROM, TO, "-body-file:raw.bin", *encoding, f"-file:{out.name}")
    assert r.status == 0, r.stderr
    data = ostrel.written(r, out.name)
    check_wire_form(data)
    msg = email.message_from_bytes(data, policy=policy.default)
    assert msg["Content-Transfer-Encoding"] == cte
    got = msg.get_payload(decode=True)
    # Quoted-printable closes the body with one line end of its own.
    assert got == (content + b"\r\n" if cte == "quoted-printable" else content)
