"""Prepared message files against real peers: the file's Bcc field, a file
that holds a NUL byte, a file cut or written over while it is being sent,
and one written over after its recipients were read."""
import email
import email.policy
import json
import os
import subprocess
import time

import pytest
from conftest import BIN
from smtp_peers import recorder  # noqa: F401  (fixture)
from test_smtp_faults import run_peer

PREPARED = (b"From: Sender <me@example.org>\r\n"
            b"To: you@example.org\r\n"
            b"Cc: copy@example.org\r\n"
            b"bcc: hidden@example.org,\r\n"
            b"\tsecret@example.org\r\n"
            b"Subject: prepared\r\n"
            b"\r\n"
            b"body\r\n")


@pytest.mark.parametrize("given,want_rcpts", [
    ([], {"you@example.org", "copy@example.org", "hidden@example.org", "secret@example.org"}),
    (["-from:me@example.org", "-to:other@example.org"], {"other@example.org"}),
], ids=["recipients from the file", "recipients given"])
def test_bcc_of_the_file_is_never_sent(ostrel, recorder, given, want_rcpts):
    # Blind copies get their RCPT only when the file names the recipients;
    # the field itself reaches no one either way.
    rec = recorder()
    ostrel.write("msg.eml", PREPARED)
    r = ostrel("-nodefault", "-emailfile:msg.eml", *given, f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert set(m["rcpt_tos"]) == want_rcpts
    msg = email.message_from_bytes(m["data"], policy=email.policy.default)
    assert msg["Bcc"] is None
    assert b"hidden@" not in m["data"] and b"secret@" not in m["data"]
    assert msg.get_content() == "body\r\n\r\n"


@pytest.mark.parametrize("given", [
    ["-from:me@example.org", "-to:you@example.org"], [],
], ids=["sender and recipients given", "taken from the file"])
def test_nul_byte_fails_naming_the_file(ostrel, recorder, given):
    rec = recorder()
    ostrel.write("nul.eml", b"From: me@example.org\r\nTo: you@example.org\r\n\r\nab\0cd\r\n")
    r = ostrel("-nodefault", "-emailfile:nul.eml", *given, f"-host:127.0.0.1:{rec.port}",
               "-results:r.json")
    assert r.status == 10, r.stderr
    assert r.stderr == "Message send failed (Message file holds a NUL byte (nul.eml))\n"
    assert "Use \"ostrel /?\"" not in r.stdout
    doc = json.loads(ostrel.path("r.json").read_text())
    assert doc["status"] == "failure" and "nul.eml" in doc["error"], doc
    assert rec.messages() == []


def wait_for(predicate, limit, what):
    deadline = time.monotonic() + limit
    while not predicate():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)


def cut(path, other):
    os.truncate(path, 1000)


def write_in_place(path, other):
    with open(path, "r+b") as f:
        f.seek(len(other) // 2)
        f.write(other[len(other) // 2:])


def truncate_and_write_back(path, other):
    with open(path, "r+b") as f:
        f.truncate(0)
        f.write(other)


def copy_over(path, other):
    path.with_suffix(".new").write_bytes(other)
    subprocess.run(["cp", str(path.with_suffix(".new")), str(path)], check=True, timeout=30)


def rename_over(path, other):
    path.with_suffix(".new").write_bytes(other)
    os.rename(path.with_suffix(".new"), path)


LINE = b"x" * 76 + b"\r\n"
OTHER_LINE = b"y" * 76 + b"\r\n"


def held_data_steps():
    """A server that stalls once DATA is under way, then reads what comes."""
    steps = [{"send": "220 mx\r\n"}]
    for answer in ("250 mx", "250 sender ok", "250 rcpt ok", "354 go"):
        steps += [{"read_until": "\r\n"}, {"send": answer + "\r\n"}]
    return steps + [{"hold": 3}, {"drain": 2}]


def run_while_changing(ostrel, proc, log, args, ready, change):
    """Runs the program against the scripted peer and calls change() once
    ready() holds for the bytes the peer got: (status, standard error, the
    bytes the peer got)."""
    try:
        run = subprocess.Popen([BIN, "-nodefault", *args, "-results:r.json"],
                               cwd=ostrel.cwd, env=ostrel.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_for(lambda: log.exists() and ready(log.read_bytes().lower()), 15, "peer not reached")
        change()
        _, err = run.communicate(timeout=30)
    finally:
        proc.wait(timeout=30)
    return run.returncode, err.decode(), log.read_bytes()


def assert_failed_as_changed(ostrel, result, name):
    status, err, sent = result
    assert status == 10, (status, err)
    assert err == f"Message send failed (Message file changed while it was read ({name}))\n"
    assert not sent.endswith(b"\r\n.\r\n")
    doc = json.loads(ostrel.path("r.json").read_text())
    assert doc["status"] == "failure" and name in doc["error"], doc


@pytest.mark.parametrize("change", [cut, write_in_place, truncate_and_write_back, copy_over,
                                    rename_over],
                         ids=["cut", "written in place", "truncated and written back",
                              "copied over", "renamed over"])
def test_file_changed_while_it_is_sent(ostrel, tmp_path, change):
    # The server stalls once DATA is under way; the file is cut or written
    # over at the same size meanwhile, as a spool, an editor or log rotation
    # does. The message must fail with the file named and without its final
    # dot, with no line of the new text sent, not end the process.
    log = tmp_path / "peer.log"
    proc, port = run_peer(held_data_steps(), log)
    head = b"Subject: big\r\n\r\n"
    lines = (64 << 20) // len(LINE)
    big = ostrel.write("big.eml", head + LINE * lines)

    def later_change():
        time.sleep(1.0)  # the client is writing the message, the server not reading
        change(big, head + OTHER_LINE * lines)

    result = run_while_changing(
        ostrel, proc, log,
        ["-emailfile:big.eml", "-from:me@example.org", "-to:you@example.org",
         f"-host:127.0.0.1:{port}"], lambda got: b"data\r\n" in got, later_change)
    assert_failed_as_changed(ostrel, result, "big.eml")
    sent = result[2]
    assert b"Subject: big" in sent and OTHER_LINE not in sent


@pytest.mark.parametrize("held", ["220 mx", "250 rcpt ok"],
                         ids=["before the send's check", "after the send's check"])
def test_file_changed_after_its_recipients_were_read(ostrel, tmp_path, held):
    # The recipients come from the file; it is written over at the same size
    # (another recipient) while the server holds a reply. What goes out must
    # be the file whose fields were read, or nothing.
    steps = []
    for answer in ("220 mx", "250 mx", "250 sender ok", "250 rcpt ok", "354 go"):
        if answer == held:
            steps.append({"hold": 2})
        steps.append({"send": answer + "\r\n"})
        steps.append({"read_until": "\r\n"})
    log = tmp_path / "peer.log"
    proc, port = run_peer(steps + [{"drain": 2}], log)
    msg = ostrel.write("msg.eml", b"From: me@example.org\r\nTo: you@example.org\r\n\r\nbody\r\n")
    os.utime(msg, (time.time() - 3600, time.time() - 3600))
    sign = b"" if held == "220 mx" else b"rcpt to:<you@example.org>"
    result = run_while_changing(
        ostrel, proc, log, ["-emailfile:msg.eml", f"-host:127.0.0.1:{port}"],
        lambda got: sign in got,
        lambda: msg.write_bytes(b"From: me@example.org\r\nTo: spy@example.org\r\n\r\nbody\r\n"))
    assert_failed_as_changed(ostrel, result, "msg.eml")
    sent = result[2]
    assert b"spy@" not in sent and b"body" not in sent
    if held == "220 mx":
        assert b"mail from" not in sent.lower()
