"""Custom header fields (-head:): whatever the option's value, the header
block stays one block, checked with Python's email parser."""
import email
import email.policy

import pytest
from smtp_peers import recorder  # noqa: F401  (fixture)

FROM = "-from:me@example.org"
TO = "-to:you@example.org"


def header_and_message(raw: bytes):
    head = raw.split(b"\r\n\r\n", 1)[0]
    return head, email.message_from_bytes(raw, policy=email.policy.default)


def assert_whole_block(raw: bytes):
    """Every line of the header block is a field or a fold of one, no line
    passes 998 octets, and the MIME fields stand in it, not in the body."""
    head, msg = header_and_message(raw)
    for line in head.split(b"\r\n"):
        assert line and len(line) <= 998, line[:60]
    assert not msg.defects
    assert msg["MIME-Version"] == "1.0"
    assert msg["Content-Transfer-Encoding"] == "7bit"
    assert msg["X-Kept"] == "yes"
    assert msg.get_content().rstrip("\r\n") == "x"
    return msg


LONG = "X-" + "a" * 1100


@pytest.mark.parametrize("where", ["file", "smtp", "config"])
def test_name_too_long_for_one_line_is_refused(ostrel, recorder, where):
    rec = recorder()
    target = f"-host:127.0.0.1:{rec.port}" if where == "smtp" else "-file:out.eml"
    if where == "config":
        ostrel.write("head.conf", f"head:{LONG}:v\n")
        option = "-config:head.conf"
    else:
        option = f"-head:{LONG}:v"
    r = ostrel("-nodefault", FROM, TO, "-body:x", option, target)
    assert r.status == 1
    assert r.stderr == "Header field name too long in -head: (1102 bytes, at most 996)\n"
    assert not ostrel.path("out.eml").exists()
    assert rec.sessions(count=1, timeout=0.5) == []


@pytest.mark.parametrize("length,refused", [(996, False), (997, True)])
def test_longest_name_fills_one_line(ostrel, length, refused):
    name = "X-" + "n" * (length - 2)
    r = ostrel(FROM, TO, "-body:x", f"-head:{name}:v", "-head:X-Kept:yes", "-file:out.eml")
    if refused:
        assert r.status == 1
        assert r.stderr == f"Header field name too long in -head: ({length} bytes, at most 996)\n"
        assert not ostrel.path("out.eml").exists()
        return
    msg = assert_whole_block(ostrel.written(r))
    assert msg[name].strip() == "v"


@pytest.mark.parametrize("value,name,expected", [
    # Line breaks in a value become an encoded word, never a line of their own.
    ("X-Breaks:a\r\n\r\nb", "X-Breaks", "a\r\n\r\nb"),
    ("X-Breaks:\r\n", "X-Breaks", "\r\n"),
    ("X-Empty:", "X-Empty", ""),
    ("X-Run:" + "r" * 2000, "X-Run", "r" * 2000),
    # Names that are no names are ignored.
    (":v", None, None),
    ("\r\n:v", None, None),
    ("X-A\r\n\r\nX-B:v", None, None),
], ids=["crlf crlf", "crlf only", "empty value", "long run", "empty name", "crlf name",
        "crlf crlf name"])
def test_no_value_puts_an_empty_line_into_the_header_block(ostrel, value, name, expected):
    r = ostrel(FROM, TO, "-body:x", f"-head:{value}", "-head:X-Kept:yes", "-file:out.eml")
    msg = assert_whole_block(ostrel.written(r))
    if name:
        assert str(msg[name]).replace(" ", "") == expected.replace(" ", "")
