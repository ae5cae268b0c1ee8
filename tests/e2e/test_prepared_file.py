"""Prepared message files against real peers: the file's Bcc field, a file
that holds a NUL byte, and a file cut short while it is being sent."""
import email
import email.policy
import json
import os
import subprocess
import time

import pytest
from conftest import BIN
from smtp_peers import recorder, wait_for_peer  # noqa: F401  (fixture)
from test_smtp_faults import run_peer, stop_peer

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


def test_file_cut_while_it_is_sent(ostrel, tmp_path):
    # The server stalls once DATA is under way; the file is cut meanwhile,
    # as a spool, an editor or log rotation does. The message must fail with
    # the file named and without its final dot, not end the process.
    steps = [{"send": "220 mx\r\n"}]
    for answer in ("250 mx", "250 sender ok", "250 rcpt ok", "354 go"):
        steps += [{"read_until": "\r\n"}, {"send": answer + "\r\n"}]
    steps += [{"hold": 3}, {"drain": 2}]
    log = tmp_path / "peer.log"
    proc, port = run_peer(steps, log)
    line = b"x" * 76 + b"\r\n"
    ostrel.write("big.eml", b"Subject: big\r\n\r\n" + line * ((48 << 20) // len(line)))
    run = None
    try:
        run = subprocess.Popen(
            [BIN, "-nodefault", "-emailfile:big.eml", "-from:me@example.org", "-to:you@example.org",
             f"-host:127.0.0.1:{port}", "-results:r.json"],
            cwd=ostrel.cwd, env=ostrel.env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        at_data = wait_for_peer(lambda: log.exists() and b"data\r\n" in log.read_bytes(),
                                bool, 15, [port], program=run)
        assert at_data, f"no DATA (status {run.poll()})"
        time.sleep(1.0)  # the client is writing the message, the server not reading
        os.truncate(ostrel.path("big.eml"), 1000)
        out, err = run.communicate(timeout=30)
    finally:
        if run and run.poll() is None:
            run.kill()
            run.wait()
        stop_peer(proc)
    assert run.returncode == 10, (run.returncode, err)
    assert err.decode() == ("Message send failed (Message file changed while it was read "
                            "(big.eml))\n")
    assert not log.read_bytes().endswith(b"\r\n.\r\n")
    doc = json.loads(ostrel.path("r.json").read_text())
    assert doc["status"] == "failure" and "big.eml" in doc["error"], doc
