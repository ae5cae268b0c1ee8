"""Text the program did not make reaches the terminal with its controls
escaped: a hostile server's reply in the error lines and in the -d trace,
the lines of a prepared file in the trace, and values quoted back in error
lines. The results document still carries the reply itself, in JSON's own
escapes."""
import json
import os

import pytest

from smtp_peers import recorder  # noqa: F401  (fixture)
from test_smtp_faults import message, opening, reply, run_peer, stop_peer

FROM = "-from:me@example.org"
TO = "-to:you@example.org"
# Sets the window title, rings the bell and clears the screen; then CSI as a
# C1 control in UTF-8 and as a raw byte.
HOSTILE = "550 \x1b]0;TITLE\x07\x1b[2J \xc2\x9b31m \x9b1m"
SHOWN = "550 \\x1b]0;TITLE\\x07\\x1b[2J \\x9b31m \\x9b1m"
# What the results document holds: the reply as received, the raw 0x9B (no
# UTF-8) replaced as the document does for every ill-formed byte.
IN_DOCUMENT = "550 \x1b]0;TITLE\x07\x1b[2J \x9b31m \ufffd1m"


def controls(data: bytes, framing=b"") -> bytes:
    """The terminal controls in data: C0 but TAB and those in framing, DEL,
    and the bytes 0x80-0x9F (raw, or the second byte of a UTF-8 C1)."""
    return bytes(b for b in data
                 if (b < 0x20 and b != 0x09 and b not in framing) or 0x7F <= b <= 0x9F)


def against_peer(ostrel, tmp_path, steps, *args):
    """Runs ostrel with args, "{port}" in them naming the scripted peer's port."""
    proc, port = run_peer(steps, tmp_path / "peer.log")
    try:
        return ostrel(*(a.replace("{port}", str(port)) for a in args), timeout=30)
    finally:
        stop_peer(proc)


def deliver(ostrel, tmp_path, steps, *args):
    return against_peer(ostrel, tmp_path, steps, FROM, TO, "-body:x", "-host:127.0.0.1:{port}",
                        "-results:r.json", *args)


def document(ostrel) -> dict:
    return json.loads(ostrel.path("r.json").read_bytes().decode("utf-8"))


@pytest.mark.parametrize("trace", [[], ["-d"], ["-dd"]], ids=["quiet", "-d", "-dd"])
def test_refused_sender_reply(ostrel, tmp_path, trace):
    r = deliver(ostrel, tmp_path, opening() + reply(HOSTILE) + reply("221 bye"), *trace)
    assert r.status == 550 % 256
    assert controls(r.err, b"\n") == b""
    assert r.stderr.endswith(f"Message send failed ({SHOWN})\n")
    doc = document(ostrel)
    assert doc["error"] == IN_DOCUMENT
    assert doc["smtp response"] == IN_DOCUMENT
    if trace:
        # Only the line ends frame the trace; each received line keeps its shape.
        assert controls(r.out, b"\r\n") == b""
        assert f"< {SHOWN}\r\n".encode() in r.out
        assert b"< 220 mx ready\r\n" in r.out
        assert b"> mail from:<me@example.org>\r\n" in r.out
    else:
        assert r.out == b""


@pytest.mark.parametrize("trace", ["-d", "-dd"])
def test_prepared_file_lines_in_the_trace(ostrel, recorder, trace):
    # A file's lines are no more the program's own than a reply is: escaped
    # in the trace, sent as they are.
    rec = recorder()
    head = b"Subject: \x1b]0;TITLE\x07\r\n"
    body = b"body \x1b[2J \xc2\x9b31m \x9b1m\r\n"
    ostrel.write("msg.eml", head + b"\r\n" + body)
    r = ostrel("-nodefault", FROM, TO, "-emailfile:msg.eml", f"-host:127.0.0.1:{rec.port}", trace)
    assert r.status == 0, r.stderr
    assert controls(r.out, b"\r\n") == b""
    assert b"> Subject: \\x1b]0;TITLE\\x07\r\n" in r.out
    assert b"> body \\x1b[2J \\x9b31m \\x9b1m\r\n" in r.out
    assert b"> mail from:<me@example.org>\r\n" in r.out
    [m] = rec.messages()
    assert head in m["data"] and body in m["data"]


def test_refused_recipient_reply(ostrel, tmp_path):
    steps = (opening() + reply("250 sender ok") + reply(HOSTILE) + reply("250 rcpt ok")
             + reply("354 go") + message("250 queued") + reply("221 bye"))
    r = deliver(ostrel, tmp_path, steps, "-to:bad@example.org")
    assert r.status == 0, r.stderr
    assert r.stderr == f"Recipient bad@example.org rejected ({SHOWN})\n"
    assert controls(r.err, b"\n") == b""
    doc = document(ostrel)
    assert doc["recipients"] == [
        {"e-mail": "bad@example.org", "status": "rejected", "smtp response": IN_DOCUMENT},
        {"e-mail": "you@example.org", "status": "accepted"}]
    # JSON's own escapes, not the terminal's.
    raw = ostrel.path("r.json").read_bytes()
    assert b"\\u001b]0;TITLE\\u0007" in raw and b"\\x1b" not in raw


@pytest.mark.parametrize("args,status,shown", [
    (["-helo:my\x1b]0;TITLE\x07host"], 1, "Invalid HELO setting (my\\x1b]0;TITLE\\x07host)"),
    (["-helo:a\rb\nc"], 1, "Invalid HELO setting (a\\x0db\\x0ac)"),
    (["-a:no\x1b[2Jfile"], 10, "Failed to attach file (no\\x1b[2Jfile)"),
    (["-dkim-algo:\x1b[5m"], 2, "Unknown DKIM signing/verification algorithm: \\x1b[5m"),
    ([os.fsdecode(b"-what\x9b2J")], 2, "Unknown option: what\\x9b2J"),
], ids=["helo", "helo line break", "attachment", "dkim-algo", "unknown option"])
def test_values_quoted_back_in_error_lines(ostrel, args, status, shown):
    r = ostrel("-nodefault", FROM, TO, "-body:x", "-file:out.eml", *args)
    assert r.status == status
    assert r.stderr == shown + "\n"
    assert controls(r.err, b"\n") == b""


def test_value_from_a_configuration_file(ostrel):
    ostrel.write("c.conf", b"helo:bad\x07name\n")
    r = ostrel("-nodefault", "-config:c.conf", FROM, TO, "-body:x", "-file:out.eml")
    assert r.status == 1
    assert r.stderr == "Invalid HELO setting (bad\\x07name)\n"


def test_refusing_proxy_reply_in_the_trace(ostrel, tmp_path):
    steps = [{"read_until": "\r\n\r\n"}, {"send": "HTTP/1.0 403 \x1b]0;TITLE\x07\r\n\r\n"}]
    r = against_peer(ostrel, tmp_path, steps, FROM, TO, "-body:x", "-host:mx.example.org:25",
                     "-proxytype:HTTPS", "-proxy:127.0.0.1:{port}", "-d")
    assert r.status != 0
    assert b"< HTTP/1.0 403 \\x1b]0;TITLE\\x07\r\n" in r.out
    assert controls(r.out, b"\r\n") == b""
    assert controls(r.err, b"\n") == b""
