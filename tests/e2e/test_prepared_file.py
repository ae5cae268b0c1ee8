"""Prepared message files against real peers: the recipients read from the
file's header fields, the file's Bcc and Resent-Bcc fields, a file that
holds a NUL byte, a file cut or written over while it is being sent, and
one written over after its recipients were read."""
import email
import email.policy
import json
import os
import re
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


# Header blocks as real mail files hold them. Python's email package reads
# the recipients from the same bytes; the server must see exactly those.
FORMS = {
    "comments": "To: a@example.com\r\nCc: bob@example.com (Bob Smith)\r\n"
                "Bcc: boss@example.com (Boss)\r\n",
    "Bcc without a blank": "To: a@example.org\r\nBcc:h1@example.org\r\n",
    "Bcc with a blank before the colon": "To: a@example.org\r\nBcc : h1@example.org\r\n",
    "Bcc on the folded line": "To: a@example.org\r\nBcc:\r\n h1@example.org\r\n",
    "Bcc group": "To: a@example.org\r\nBcc: Hidden: h1@example.org, h2@example.org;\r\n",
    "underscore in a field name above": "X_Under: y\r\nTo: a@example.org\r\n"
                                        "Cc: c@example.org\r\nBcc: h1@example.org\r\n",
    "no blank after a colon above": "X-A:y\r\nTo: a@example.org\r\nCc: c@example.org\r\n"
                                    "Bcc: h1@example.org\r\n",
    "empty list element": "To: a@example.org,, c@example.org\r\n",
    "fold between name and address": "To: \"John Smith\"\r\n <a@example.org>,\r\n"
                                     " Jane Doe\r\n\t<j@example.org>\r\n",
    "escaped quotes in a name": "To: \"John \\\"JJ\\\" Smith\" <a@example.org>\r\n",
    "raw UTF-8 names": "To: J\u00fcrgen M\u00fcller <j@example.org>\r\n"
                       "Cc: \"Zo\u00eb (Z)\" <z@example.org>\r\n",
    "blanks inside the brackets": "To: < a@example.org >\r\n",
    "route": "To: <@relay.example:a@example.org>\r\n",
    "undisclosed recipients": "To: undisclosed-recipients:;\r\n"
                              "Cc: c@example.org, d@example.org\r\n",
    "LF line ends": "X_Under: y\nTo: a@example.org\nBcc:\n\th1@example.org (H)\n",
}


def python_recipients(text):
    # Python's parser does not know the obsolete blanks between a field name
    # and its colon (RFC 5322 section 4.5): it reads the names without them.
    text = re.sub(r"^([!-9;-~]+)[ \t]+:", r"\1:", text, flags=re.M)
    msg = email.message_from_string(text, policy=email.policy.default)
    found = {}
    for field in ("To", "Cc", "Bcc"):
        found[field] = [a.addr_spec for h in msg.get_all(field, []) for a in h.addresses]
    return found


@pytest.mark.parametrize("form", FORMS)
def test_recipients_are_what_the_file_names(ostrel, recorder, form):
    headers = FORMS[form]
    eol = "\n" if headers.endswith("\n") and not headers.endswith("\r\n") else "\r\n"
    text = f"From: Sender <me@example.org>{eol}{headers}Subject: s{eol}{eol}body{eol}"
    want = python_recipients(text)
    assert want["To"] + want["Cc"] + want["Bcc"], "Python reads no recipient"
    rec = recorder()
    ostrel.write("msg.eml", text.encode())
    r = ostrel("-nodefault", "-emailfile:msg.eml", f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["mail_from"] == "me@example.org"
    assert sorted(m["rcpt_tos"]) == sorted(want["To"] + want["Cc"] + want["Bcc"])
    # The blind copies stay blind, whatever form their field took.
    sent = email.message_from_bytes(m["data"], policy=email.policy.default)
    assert sent["Bcc"] is None
    for hidden in set(want["Bcc"]) - set(want["To"] + want["Cc"]):
        assert hidden.encode() not in m["data"], hidden


# Nothing is sent when the fields cannot be read whole: the line names the
# file, and the field and its entry, or the header line.
@pytest.mark.parametrize("headers, error", [
    ("From: me@example.org\r\nTo: a@example.org\r\nnot a field\r\n",
     "Malformed header line 3 in message file (bad.eml)"),
    ("From: me@example.org\r\n: a@example.org\r\n",
     "Malformed header line 2 in message file (bad.eml)"),
    (" From: me@example.org\r\nTo: a@example.org\r\n",
     "Malformed header line 1 in message file (bad.eml)"),
    ("From: me@example.org\rTo: a@example.org\rX Y: 1\r",
     "Malformed header line 3 in message file (bad.eml)"),
    ("From: me@example.org\r\nTo: a@example.org\r\nCc: Doe, John <j@example.org>\r\n",
     "Invalid Cc entry in message file (bad.eml): Doe"),
    ("From: me@example.org\r\nBcc: Team: a@example.org,\r\n b@example.org\r\n",
     "Invalid Bcc entry in message file (bad.eml): Team: a@example.org,\\x0d\\x0a b@example.org"),
    ("From: me@example.org\r\nTo: a@example.org (open\r\n",
     "Invalid To entry in message file (bad.eml): a@example.org (open"),
    ("From: a@b_c.example\r\nTo: a@example.org\r\n",
     "Invalid From entry in message file (bad.eml): a@b_c.example"),
    ("From: me@example.org\r\nTo: \"\x1b]0;title\x07\" <a@example.org>\r\n",
     "Invalid To entry in message file (bad.eml): \"\\x1b]0;title\\x07\" <a@example.org>"),
], ids=["no colon", "no name", "continuation first", "lone CR line ends", "phrase alone",
        "group not closed", "comment not closed", "address rule", "control bytes"])
def test_unreadable_header_fails_before_any_mail(ostrel, recorder, headers, error):
    rec = recorder()
    ostrel.write("bad.eml", (headers + "Subject: s\r\n\r\nbody\r\n").encode())
    r = ostrel("-nodefault", "-emailfile:bad.eml", f"-host:127.0.0.1:{rec.port}",
               "-results:r.json")
    assert (r.status, r.stderr) == (10, error + "\n")
    assert rec.messages() == []
    assert not [c for s in rec.sessions(count=1, timeout=1.0) for c in s["commands"]
                if c[0].upper() == "MAIL"]
    assert ostrel.path("r.json").read_bytes() == b""


def test_header_block_is_not_read_when_nothing_is_taken_from_it(ostrel, recorder):
    # Sender and recipients given: the file goes out as before, lines that
    # are no fields included.
    rec = recorder()
    ostrel.write("msg.eml", b"Subject: s\r\nX Y: 1\r\nCc: Doe\r\n\r\nbody\r\n")
    r = ostrel("-nodefault", "-emailfile:msg.eml", "-from:me@example.org", "-to:you@example.org",
               f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["rcpt_tos"] == ["you@example.org"]
    assert b"\r\nX Y: 1\r\n" in m["data"]


# A message sent on: its Resent-Bcc is as blind as a Bcc.
RESENT = (b"Resent-From: fwd@example.org\r\n"
          b"Resent-To: next@example.org\r\n"
          b"Resent-Bcc: hidden@example.org,\r\n"
          b" secret@example.org\r\n"
          b"resent-bcc : quiet@example.org\r\n"
          + PREPARED.replace(b"bcc: hidden@example.org,\r\n\tsecret@example.org\r\n", b""))


def test_resent_bcc_of_the_file_is_never_sent(ostrel, recorder):
    rec = recorder()
    ostrel.write("msg.eml", RESENT)
    r = ostrel("-nodefault", "-emailfile:msg.eml", "-from:fwd@example.org",
               "-to:next@example.org", "-bcc:hidden@example.org", f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert set(m["rcpt_tos"]) == {"next@example.org", "hidden@example.org"}
    msg = email.message_from_bytes(m["data"], policy=email.policy.default)
    assert msg["Resent-Bcc"] is None
    assert (msg["Resent-From"], msg["Resent-To"]) == ("fwd@example.org", "next@example.org")
    assert msg["Subject"] == "prepared"
    for hidden in (b"hidden@", b"secret@", b"quiet@"):
        assert hidden not in m["data"]
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


def run_while_changing(ostrel, proc, port, log, args, ready, change):
    """Runs the program against the scripted peer on port and calls change()
    once ready() holds for the bytes the peer got: (status, standard error,
    the bytes the peer got). The wait for the peer ends with the program."""
    run = None
    try:
        run = subprocess.Popen([BIN, "-nodefault", *args, "-results:r.json"],
                               cwd=ostrel.cwd, env=ostrel.env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reached = wait_for_peer(lambda: log.exists() and ready(log.read_bytes().lower()),
                                bool, 15, [port], program=run)
        assert reached, f"peer not reached (status {run.poll()})"
        change()
        _, err = run.communicate(timeout=30)
    finally:
        if run and run.poll() is None:
            run.kill()
            run.wait()
        stop_peer(proc)
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
        ostrel, proc, port, log,
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
        ostrel, proc, port, log, ["-emailfile:msg.eml", f"-host:127.0.0.1:{port}"],
        lambda got: sign in got,
        lambda: msg.write_bytes(b"From: me@example.org\r\nTo: spy@example.org\r\n\r\nbody\r\n"))
    assert_failed_as_changed(ostrel, result, "msg.eml")
    sent = result[2]
    assert b"spy@" not in sent and b"body" not in sent
    if held == "220 mx":
        assert b"mail from" not in sent.lower()
