"""Delivery against a scripted faulty server: dialogues no real server plays
on demand (refusals at every step, drops, stalls, floods, bytes after the
STARTTLS reply), each kept as a row of a table. A failure never reads as a
success, and nothing is ended with the final dot that did not go out whole."""
import json
import subprocess
import time
from pathlib import Path

import pytest

from smtp_peers import wait_for_peer

PEER = Path(__file__).resolve().parents[1] / "peers" / "net_peer.py"

BASE = ["-nodefault", "-from:me@example.org", "-to:you@example.org", "-subject:Faults",
        "-body:Hello"]


def greet(text="220 mx ready"):
    return [{"send": text + "\r\n"}]


def reply(text):
    """Waits for one command line, then answers with text (may be several lines)."""
    return [{"read_until": "\r\n"}, {"send": text + "\r\n"}]


def message(text):
    """Waits for the message and its final dot, then answers."""
    return [{"read_until": "\r\n.\r\n"}, {"send": text + "\r\n"}]


def opening(ehlo="250 mx"):
    return greet() + reply(ehlo)


def accepted(rcpts=1):
    steps = opening() + reply("250 sender ok")
    for _ in range(rcpts):
        steps += reply("250 rcpt ok")
    return steps


def whole(final="250 queued"):
    return accepted() + reply("354 go") + message(final) + reply("221 bye")


CLOSE = [{"close": True}]
DRAIN = [{"drain": 0.5}]

# name, steps, extra options, exit status, text in the failure line (None:
# success with nothing on standard error; "=" and the whole standard error),
# texts the client must have sent, texts it must not have sent.
CASES = [
    ("greeting refused", greet("554 go away") + reply("221 bye"), [], 554 % 256,
     "554 go away", ["quit"], ["ehlo"]),
    ("EHLO 500 then HELO with a multi-line reply",
     greet() + reply("500 what") + reply("250-mx greets you\r\n250 second line")
     + reply("250 ok") + reply("250 ok") + reply("354 go") + message("250 queued")
     + reply("221 bye"), [], 0, None, ["ehlo [127.0.0.1]", "helo [127.0.0.1]", "\r\n.\r\n"], []),
    # EHLO replies are not kept for the result: the status is the generic one.
    ("EHLO 502 gets no HELO", greet() + reply("502 not here") + reply("221 bye"), [], 50,
     "502 not here", ["quit"], ["helo"]),
    ("EHLO 421 gets no HELO", greet() + reply("421 closing") + reply("221 bye"), [], 50,
     "421 closing", [], ["helo"]),
    ("STARTTLS 454 when not required goes on in clear",
     opening("250-mx\r\n250 STARTTLS") + reply("454 TLS not available") + reply("250 ok")
     + reply("250 ok") + reply("354 go") + message("250 queued") + reply("221 bye"),
     ["-starttls"], 0, None, ["starttls", "\r\n.\r\n"], []),
    ("STARTTLS refused when required",
     opening("250-mx\r\n250 STARTTLS") + reply("454 TLS not available") + reply("221 bye"),
     ["-requiretls"], 454 % 256, "454 TLS not available", ["quit"], ["mail from"]),
    ("STARTTLS required but not offered", opening() + reply("221 bye"), ["-requiretls"], 50,
     "Server did not indicate support for STARTTLS in EHLO", ["quit"], ["starttls", "mail from"]),
    ("bytes after the STARTTLS reply", opening("250-mx\r\n250 STARTTLS")
     + [{"read_until": "\r\n"}, {"send": "220 go ahead\r\n250 injected\r\n"}] + DRAIN,
     ["-starttls"], 50, "Unexpected data after STARTTLS reply", [], ["mail from"]),
    ("MAIL refused", opening() + reply("550 5.7.1 sender refused") + reply("221 bye"), [],
     550 % 256, "550 5.7.1 sender refused", ["quit"], ["rcpt to"]),
    ("RCPT 251, 452 and 550 mixed",
     opening() + reply("250 ok") + reply("251 will forward") + reply("452 mailbox full")
     + reply("550 no such user") + reply("354 go") + message("250 queued") + reply("221 bye"),
     ["-to:b@example.org", "-to:c@example.org"], 0,
     "=Recipient b@example.org rejected (452 mailbox full)\n"
     "Recipient you@example.org rejected (550 no such user)\n", ["\r\n.\r\n"], []),
    # The front end answers a refused message with QUIT.
    ("DATA refused", accepted() + reply("554 no data today") + reply("221 bye"), [], 554 % 256,
     "554 no data today", ["quit"], ["\r\n.\r\n", "\r\nrset\r\n"]),
    ("final dot refused", accepted() + reply("354 go") + message("450 try again later")
     + reply("221 bye"), [], 450 % 256, "450 try again later", ["quit"], ["\r\nrset\r\n"]),
    ("drop before the greeting", CLOSE, [], 50, "Disconnected", [], ["ehlo"]),
    ("drop at EHLO", greet() + [{"read_until": "\r\n"}] + CLOSE, [], 50, "Disconnected", [],
     ["mail from"]),
    ("drop at MAIL", opening() + [{"read_until": "\r\n"}] + CLOSE, [], 50, "Disconnected", [],
     ["rcpt to"]),
    ("drop at RCPT", opening() + reply("250 ok") + [{"read_until": "\r\n"}] + CLOSE, [], 50,
     "Disconnected", [], ["data"]),
    ("drop at DATA", accepted() + [{"read_until": "\r\n"}] + CLOSE, [], 50, "Disconnected", [],
     ["\r\n.\r\n"]),
    ("drop after the final dot", accepted() + reply("354 go") + [{"read_until": "\r\n.\r\n"}]
     + CLOSE, [], 50, "Disconnected", [], []),
    ("QUIT lost after acceptance", accepted() + reply("354 go") + message("250 queued")
     + CLOSE, [], 0, None, ["\r\n.\r\n"], []),
    ("a stall at the greeting with a short time-out", [{"hold": 4}], ["-timeout:1"], 50,
     "Timed out", [], []),
    ("a drip slower than the time-out for the whole reply",
     [step for ch in "220 mx" for step in ({"send": ch}, {"sleep": 0.6})], ["-timeout:1"], 50,
     "Timed out", [], []),
    ("a flood of continuation lines", greet() + [{"read_until": "\r\n"},
                                                 {"repeat": ["250-more\r\n", 3000]}] + DRAIN,
     [], 50, "Reply has too many lines", [], ["mail from"]),
    ("an over-long line", greet() + [{"read_until": "\r\n"}, {"flood": 70000}] + DRAIN, [], 50,
     "Received line too long", [], ["mail from"]),
    ("reply text is data, never a format", greet("554 %s%n%d \\n \x01 \xe9") + reply("221 bye"),
     [], 554 % 256, "554 %s%n%d \\n \\x01 \ufffd", [], []),
]


def run_peer(steps, log, limit=20.0):
    proc = subprocess.Popen(["/usr/bin/python3", str(PEER), "--script", json.dumps(steps),
                             "--log", str(log), "--limit", str(limit)],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    line = proc.stdout.readline().decode()
    assert line.startswith("PORT "), line
    proc.port = int(line.split()[1])
    return proc, proc.port


def stop_peer(proc):
    """Waits for the peer to end its script, bounded; kills it past that, or
    as soon as the program has gone and the peer holds no connection from it
    (a connection that has not come by then never will)."""
    wait_for_peer(proc.poll, lambda status: status is not None, 15, [proc.port])
    if proc.poll() is None:
        proc.kill()
    proc.wait()


@pytest.mark.parametrize("name,steps,extra,status,failure,sent,not_sent", CASES,
                         ids=[c[0] for c in CASES])
def test_faulty_server(ostrel, tmp_path, name, steps, extra, status, failure, sent, not_sent):
    log = tmp_path / "peer.log"
    proc, port = run_peer(steps, log)
    try:
        start = time.monotonic()
        r = ostrel(*BASE, f"-host:127.0.0.1:{port}", *extra, timeout=30)
        took = time.monotonic() - start
    finally:
        stop_peer(proc)
    got = log.read_bytes().decode("latin-1") if log.exists() else ""
    assert r.status == status, (r.stderr, got)
    if failure is None:
        assert r.stderr == ""
    elif failure.startswith("="):
        assert r.stderr == failure[1:]
    else:
        assert r.stderr == f"Message send failed ({failure})\n"
    for text in sent:
        assert text in got, got
    for text in not_sent:
        assert text not in got, got
    # Every wait is bounded: nothing here may take much past its time-outs,
    # and a drip of bytes does not stretch the time-out of a whole reply.
    assert took < (3 if "time-out" in name else 12)


# A server that falls silent at any step is given up on after -timeout: and
# the failure is named a time-out; one that closes is still "Disconnected".
# A loss during AUTH is named in the AUTH failure as well.
READ = [{"read_until": "\r\n"}]
STEPS = [
    ("greeting", [], False),
    ("EHLO", greet() + READ, False),
    ("AUTH", opening("250-mx\r\n250 AUTH PLAIN") + READ, True),
    ("MAIL", opening() + READ, False),
    ("RCPT", opening() + reply("250 ok") + READ, False),
    ("DATA", accepted() + READ, False),
    ("the final dot", accepted() + reply("354 go") + [{"read_until": "\r\n.\r\n"}], False),
]
ENDS = [("silent", [{"hold": 6}], "Timed out"), ("closing", CLOSE, "Disconnected")]


def deliver(ostrel, tmp_path, steps, *extra, user="", limit=20.0):
    """Runs one delivery against the scripted peer: result, seconds taken, document."""
    proc, port = run_peer(steps, tmp_path / "peer.log", limit)
    try:
        start = time.monotonic()
        r = ostrel(*BASE, f"-host:{user}127.0.0.1:{port}", "-results:r.json", *extra, timeout=30)
        took = time.monotonic() - start
    finally:
        proc.kill()
        proc.wait()
    return r, took, json.loads(ostrel.path("r.json").read_bytes())


@pytest.mark.parametrize("end,tail,named", ENDS, ids=[e[0] for e in ENDS])
@pytest.mark.parametrize("step,steps,auth", STEPS, ids=[s[0] for s in STEPS])
def test_a_loss_is_named(ostrel, tmp_path, step, steps, auth, end, tail, named):
    r, took, doc = deliver(ostrel, tmp_path, steps + tail, "-timeout:1",
                           user="user:secret@" if auth else "")
    assert r.status == 50, r.stderr
    auth_line = f"AUTH PLAIN failed ({named})\n" if auth else ""
    assert r.stderr == f"{auth_line}Message send failed ({named})\n"
    assert doc["status"] == "failure"
    assert doc["error"] == named
    assert took < 1 + 3


# Peers that drip their part of an exchange a byte at a time, each byte well
# within the time-out: the whole exchange is bounded by -timeout:, which a
# bound on each wait alone would stretch without end.
def trickle(text=None, hexbytes=None, every=0.5):
    return [{"trickle": hexbytes if text is None else text.encode("latin-1").hex(),
             "every": every}]


# A handshake record header that promises 16 KiB, then its bytes, slowly.
TLS_RECORD = "1603034000" + "00" * 200
SOCKS_REPLY = "0500" + "05000003ff" + "61" * 255 + "0019"
HTTP_REPLY = "HTTP/1.0 200 Connection established\r\nProxy-agent: drip\r\nVia: 1.0 drip\r\n\r\n"

TRICKLES = [
    ("TLS handshake from the first byte", trickle(hexbytes=TLS_RECORD), ["-smtps"]),
    ("TLS handshake after STARTTLS",
     opening("250-mx\r\n250 STARTTLS") + reply("220 go ahead") + [{"read": 5}]
     + trickle(hexbytes=TLS_RECORD),
     ["-starttls"]),
    ("SOCKS5 replies", trickle(hexbytes=SOCKS_REPLY), ["-proxytype:SOCKS"]),
    ("HTTP CONNECT status line and headers",
     [{"read_until": "\r\n\r\n"}] + trickle(HTTP_REPLY), ["-proxytype:HTTPS"]),
]


@pytest.mark.parametrize("name,steps,extra", TRICKLES, ids=[t[0] for t in TRICKLES])
def test_a_trickled_exchange_is_bounded_as_a_whole(ostrel, tmp_path, name, steps, extra):
    proxied = any(e.startswith("-proxytype:") for e in extra)
    proc, port = run_peer(steps, tmp_path / "peer.log")
    try:
        target = ["-host:mail.invalid:25", f"-proxy:127.0.0.1:{port}"] if proxied else \
            [f"-host:127.0.0.1:{port}"]
        start = time.monotonic()
        r = ostrel(*BASE, *target, "-timeout:2", "-results:r.json", *extra, timeout=30)
        took = time.monotonic() - start
    finally:
        proc.kill()
        proc.wait()
    doc = json.loads(ostrel.path("r.json").read_bytes())
    assert r.status == 50, r.stderr
    assert r.stderr == "Message send failed (Timed out)\n"
    assert doc["status"] == "failure"
    assert doc["error"] == "Timed out"
    assert 2 - 0.2 < took < 2 + 3
