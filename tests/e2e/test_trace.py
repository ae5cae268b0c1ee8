"""The protocol trace of -d and -dd: every line of the message shows once,
whole and as it went out (dot-stuffed), however the writers cut it, and
under -dd the sends before each line carry exactly that line."""
import re

import pytest

from smtp_peers import recorder  # noqa: F401  (fixture)

LONG = b"." + b"L" * 20000  # longer than any block the writers or the sink use
LINES = [b".", b".x", b"..y", LONG, b"end"]
STAMP = re.compile(rb"\[\d+\.\d{3}\] ")
SENT = re.compile(rb"send\(\) sent (\d+) bytes\n")


def stuffed(data: bytes) -> bytes:
    """The bytes on the wire for what the server took (it unstuffs them)."""
    return re.sub(rb"(?m)^\.", b"..", data)


def split_lines(data: bytes):
    return re.findall(rb"[^\n]*\n|[^\n]+$", data)


def trace_entries(out: bytes, stamped: bool):
    """The trace as (kind, text): ">" sent, "<" received, "-" information."""
    entries = []
    for line in split_lines(out):
        if stamped:
            m = STAMP.match(line)
            assert m, line[:80]
            line = line[m.end():]
        if line.startswith(b"> "):
            entries.append((">", line[2:]))
        elif line.startswith(b"< "):
            entries.append(("<", line[2:]))
        else:
            entries.append(("-", line))
    return entries


def message_part(entries):
    """The entries after the 354 reply up to the final dot (excluded)."""
    start = next(i for i, (k, t) in enumerate(entries) if k == "<" and t.startswith(b"354 "))
    end = entries.index((">", b".\r\n"), start)
    return entries[start + 1:end]


@pytest.mark.parametrize("level", ["-d", "-dd"])
@pytest.mark.parametrize("source", ["composed", "prepared"])
def test_message_lines_are_traced_whole_and_stuffed(ostrel, recorder, source, level):
    rec = recorder(line_limit=len(LONG) + 100)
    body = b"\r\n".join(LINES) + b"\r\n"
    if source == "composed":
        # A text body and a 7bit attachment (message/rfc822) with the same lines.
        ostrel.write("inner.eml", b"Subject: inner\r\n\r\n" + body)
        args = ["-body:.\\n.x\\n..y\\nlast", "-a:inner.eml"]
    else:
        ostrel.write("msg.eml", b"Subject: prepared\r\n\r\n" + body)
        args = ["-emailfile:msg.eml"]
    r = ostrel("-nodefault", "-from:me@example.org", "-to:you@example.org", "-subject:T", *args,
               f"-host:127.0.0.1:{rec.port}", level)
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    wire = stuffed(m["data"])
    assert b"\r\n..\r\n..x\r\n...y\r\n." + LONG + b"\r\nend\r\n" in wire

    part = message_part(trace_entries(r.out, stamped=level == "-dd"))
    traced = [t for k, t in part if k == ">"]
    assert traced == split_lines(wire)
    assert [k for k, _ in part if k not in (">", "-")] == []

    if level == "-dd":
        # The sends since the last traced text carry exactly the line traced
        # next: each short line in one send, the long one in few blocks.
        sends = []
        for kind, text in part:
            if kind == "-":
                m = SENT.fullmatch(text)
                assert m, text
                sends.append(int(m.group(1)))
                continue
            assert sum(sends) == len(text), (text[:60], sends)
            assert len(sends) == 1 or (len(text) > 16384 and len(sends) <= 3), (text[:60], sends)
            sends = []
