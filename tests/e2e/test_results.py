"""The results document of -results:, read by Python's json and by jq."""
import email
import email.policy
import json
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import threading

import pytest

from conftest import FILE_ACCESS_CHECKED, require_file_access_checks
from smtp_peers import recorder  # noqa: F401  (fixture)
from test_smtp_faults import greet, message, opening, reply, run_peer, stop_peer

FROM = "-from:me@example.org"
TO = "-to:you@example.org"
ORDER = ["subject", "date", "from", "reply-to", "return-path", "helo", "host", "recipients",
         "message-id", "status", "error", "smtp response"]


def no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    assert len(keys) == len(set(keys)), f"duplicate keys: {keys}"
    return dict(pairs)


def document(raw: bytes) -> dict:
    """The document, checked as every reader must see it."""
    text = raw.decode("utf-8")  # strictly: any ill-formed byte fails here
    doc = json.loads(text, object_pairs_hook=no_duplicates)
    assert isinstance(doc, dict)
    assert text == json.dumps(doc, indent=2, ensure_ascii=False)
    keys = list(doc)
    assert all(k in ORDER for k in keys), keys
    assert keys == sorted(keys, key=ORDER.index), keys
    if not shutil.which("jq"):
        pytest.skip("jq is not installed on this machine")
    p = subprocess.run(["jq", "-c", "."], input=raw, capture_output=True, timeout=30)
    assert p.returncode == 0, p.stderr
    assert json.loads(p.stdout) == doc
    return doc


def arg(raw: bytes) -> str:
    """An argument holding bytes that are not UTF-8, passed through as they are."""
    return os.fsdecode(raw)


def message_date(ostrel, name="out.eml") -> str:
    msg = email.message_from_bytes(ostrel.path(name).read_bytes(), policy=email.policy.compat32)
    return "Date: " + msg["Date"]


def test_success_to_a_file(ostrel):
    r = ostrel(FROM, TO, "-subject:Hello", "-reply-to:back@example.org",
               "-return-path:bounce@example.org", "-body:x", "-file:out.eml", "-results:r.json")
    assert r.status == 0, r.stderr
    assert r.stderr == ""
    doc = document(ostrel.path("r.json").read_bytes())
    assert doc == {"subject": "Hello", "date": message_date(ostrel), "from": "me@example.org",
                   "reply-to": "back@example.org", "return-path": "bounce@example.org",
                   "status": "success"}


def test_success_to_standard_output_alone(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-file:out.eml", "-results:-")
    assert r.status == 0, r.stderr
    assert r.stderr == ""
    doc = document(r.out)  # the whole of standard output
    assert list(doc) == ["date", "from", "status"]  # no subject without one
    assert doc["date"] == message_date(ostrel)
    assert doc["status"] == "success"


def test_subject_as_stored_for_the_header(ostrel):
    r = ostrel(FROM, TO, "-subject:Grüße", "-body:x", "-file:out.eml", "-results:r.json")
    assert r.status == 0, r.stderr
    doc = document(ostrel.path("r.json").read_bytes())
    assert doc["subject"].startswith("=?utf-8?")
    msg = email.message_from_bytes(ostrel.path("out.eml").read_bytes(),
                                   policy=email.policy.compat32)
    assert doc["subject"] == msg["Subject"]


def test_output_that_cannot_be_opened(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-file:no-such-dir/out.eml", "-results:r.json")
    assert r.status == 3
    assert r.stderr == "Failed to open output file\n"
    doc = document(ostrel.path("r.json").read_bytes())
    assert doc["status"] == "failure"
    assert doc["error"] == "Failed to open output file"


def test_error_naming_a_file_that_is_not_utf8(ostrel):
    name = b"in\xffput.eml"
    ostrel.write(arg(name), b"Subject: x\r\n\r\nbody\r\n")
    r = ostrel(FROM, TO, "-body:x", arg(b"-a:" + name), arg(b"-file:" + name), "-results:r.json")
    assert r.status == 3
    assert r.err == b"Output file is also an input file (" + name + b")\n"
    doc = document(ostrel.path("r.json").read_bytes())
    assert doc["error"] == "Output file is also an input file (in\ufffdput.eml)"
    assert doc["status"] == "failure"


def test_error_text_with_every_control_byte(ostrel):
    # HELO names with control bytes are refused, so a file name carries them
    # into the document: every one must come out escaped.
    name = b"c" + bytes(range(1, 32)) + b"\x7f\"\\caf\xc3\xa9.eml"
    ostrel.write(arg(name), b"Subject: x\r\n\r\nbody\r\n")
    r = ostrel(FROM, TO, "-body:x", arg(b"-a:" + name), arg(b"-file:" + name), "-results:r.json")
    assert r.status == 3
    raw = ostrel.path("r.json").read_bytes()
    assert not any(b < 0x20 and b != 0x0A for b in raw)
    doc = document(raw)
    assert doc["error"] == "Output file is also an input file (" + name.decode() + ")"


def test_unreadable_attachment_reported_once(ostrel):
    ostrel.path("folder").mkdir()  # opens, but reading it fails
    r = ostrel(FROM, TO, "-body:x", "-a:folder", "-file:out.eml", "-results:r.json")
    assert r.status == 10
    assert r.stderr == "folder\n"
    doc = document(ostrel.path("r.json").read_bytes())
    assert doc["error"] == "Could not open attachment (folder)"
    assert doc["status"] == "failure"


# An address must be UTF-8 (test_address_rule.py): only HELO carries such bytes.
@pytest.mark.parametrize("option,value,key", [
    ("-helo:", b"\xff\xfe host \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82", "helo"),
])
def test_options_that_are_not_utf8(ostrel, option, value, key):
    r = ostrel(FROM, TO, arg(option.encode() + value), "-body:x", "-file:out.eml",
               "-results:r.json")
    assert r.status == 0, r.stderr
    doc = document(ostrel.path("r.json").read_bytes())
    assert doc[key] == value.decode("utf-8", "replace")


def test_helo_that_needs_escaping(ostrel):
    # Control bytes would end the EHLO command: such a name is refused.
    helo = "\"\\/ café € 😀 \u2028"
    r = ostrel(FROM, TO, "-helo:" + helo, "-body:x", "-file:out.eml", "-results:r.json")
    assert r.status == 0, r.stderr
    raw = ostrel.path("r.json").read_bytes()
    doc = document(raw)
    assert doc["helo"] == helo
    assert b'\\"\\\\/ caf' in raw


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_delivery_that_cannot_connect(ostrel):
    port = closed_port()  # bound and released: nothing listens there now
    r = ostrel(FROM, TO, "-body:x", f"-host:127.0.0.1:{port}", "-timeout:5", "-results:r.json")
    assert r.status == 50
    failure = f"Could not connect to [127.0.0.1]:{port}"
    assert r.stderr == f"Message send failed ({failure})\n"
    doc = document(ostrel.path("r.json").read_bytes())
    assert not {"host", "recipients", "message-id"} & set(doc)
    assert doc["status"] == "failure"
    assert doc["error"] == failure
    assert doc["from"] == "me@example.org"


def test_after_delivery_with_a_refused_recipient(ostrel, recorder):
    rec = recorder(refuse=["bad@example.org"])
    r = ostrel(FROM, TO, "-to:bad@example.org", "-cc:copy@example.org", "-subject:Sent",
               "-body:x", f"-host:localhost:{rec.port}", "-results:r.json")
    assert r.status == 0, r.stderr
    assert r.stderr == "Recipient bad@example.org rejected (550 5.1.1 Recipient address rejected)\n"
    raw = ostrel.path("r.json").read_bytes()
    doc = document(raw)
    [m] = rec.messages()
    [session] = rec.sessions()
    rcpt_order = [re.fullmatch(r"(?i)to:<(.*)>", arg).group(1)
                  for verb, arg in session["commands"] if verb == "RCPT"]
    assert sorted(rcpt_order) == ["bad@example.org", "copy@example.org", "you@example.org"]

    assert doc["host"] == {"hostname": "localhost", "ip": "127.0.0.1", "port": rec.port,
                           "protocol": "ESMTP"}
    assert b'"port": %d,' % rec.port in raw  # a Number, not a String
    assert doc["recipients"] == [
        {"e-mail": a, "status": "accepted"} if a != "bad@example.org" else
        {"e-mail": a, "status": "rejected",
         "smtp response": "550 5.1.1 Recipient address rejected"}
        for a in rcpt_order]
    delivered = email.message_from_bytes(m["data"], policy=email.policy.compat32)
    assert doc["message-id"] == delivered["Message-ID"]
    assert doc["status"] == "success"
    assert doc["smtp response"] == "250 2.0.0 OK queued as R1"
    assert "error" not in doc


LATIN1_RCPT = "550 m\xe9chant \xff\xfe"
LATIN1_FINAL = "queued \xe0 l'\xe9t\xe9 \xc0\xaf"


@pytest.mark.parametrize("final,status", [("250 " + LATIN1_FINAL, 0),
                                          ("554 " + LATIN1_FINAL, 554 % 256)],
                         ids=["accepted", "refused"])
def test_server_replies_that_are_not_utf8(ostrel, tmp_path, final, status):
    steps = (opening() + reply("250 sender ok") + reply(LATIN1_RCPT) + reply("250 rcpt ok")
             + reply("354 go") + message(final) + reply("221 bye"))
    proc, port = run_peer(steps, tmp_path / "peer.log")
    try:
        r = ostrel(FROM, TO, "-to:bad@example.org", "-body:x", f"-host:127.0.0.1:{port}",
                   "-results:r.json", timeout=30)
    finally:
        stop_peer(proc)
    assert r.status == status, r.stderr
    doc = document(ostrel.path("r.json").read_bytes())  # strict UTF-8 throughout

    def shown(text):
        return text.encode("latin-1").decode("utf-8", "replace")

    assert [x.get("smtp response") for x in doc["recipients"]] == [shown(LATIN1_RCPT), None]
    assert doc["smtp response"] == shown(final)
    assert "\ufffd" in doc["smtp response"]
    if status:
        assert doc["status"] == "failure"
        assert doc["error"] == shown(final)
    else:
        assert doc["status"] == "success" and "error" not in doc


def test_only_the_last_results_argument_is_written(ostrel):
    r = ostrel("-results:first.json", FROM, TO, "-body:x", "-file:out.eml",
               "-results:second.json")
    assert r.status == 0, r.stderr
    assert ostrel.path("first.json").read_bytes() == b""
    assert document(ostrel.path("second.json").read_bytes())["status"] == "success"


@pytest.mark.parametrize("earlier, closed", [
    (None, False), (b'{"status": "success"}', False), (b'{"status": "success"}', True),
], ids=["new", "earlier", "earlier in a folder that takes no new file"])
def test_early_failure_leaves_the_file_empty(ostrel, earlier, closed):
    # Not even an earlier run's document stays to be taken for this run's.
    if closed:
        require_file_access_checks()
    ostrel.path("out").mkdir()
    if earlier is not None:
        ostrel.write("out/r.json", earlier)
    if closed:
        os.chmod(ostrel.path("out"), 0o555)
    try:
        r = ostrel(FROM, "-body:x", "-file:out.eml", "-results:out/r.json",
                   wrapper=FILE_ACCESS_CHECKED if closed else ())
    finally:
        os.chmod(ostrel.path("out"), 0o755)
    assert r.status == 1
    assert ostrel.path("out/r.json").read_bytes() == b""


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="this machine has no /dev/full")
def test_results_that_cannot_be_written(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-file:out.eml", "-results:/dev/full")
    # The message was written: its status stands, and the lost document is said.
    assert r.status == 0
    assert r.stderr == "Unable to write results file /dev/full\n"
    assert ostrel.path("out.eml").exists()


# Runs the program under a file size limit and a umask: past the limit every
# write fails (EFBIG, SIGXFSZ ignored), as on a full disk, without root.
LIMITED = """
import os, resource, signal, sys
size, mask = int(sys.argv[1]), int(sys.argv[2], 8)
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
if size >= 0:
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
os.umask(mask)
os.execv(sys.argv[3], sys.argv[3:])
"""


def limited(size=-1, umask=0o022):
    return ("/usr/bin/python3", "-c", LIMITED, str(size), f"{umask:o}")


EARLIER = b'{\n  "status": "success"\n}'


@pytest.mark.parametrize("earlier", [None, EARLIER], ids=["new", "earlier"])
@pytest.mark.parametrize("delivered", [True, False], ids=["delivered", "not-delivered"])
def test_full_disk_leaves_no_part_of_a_document(ostrel, recorder, earlier, delivered):
    ostrel.path("out").mkdir()
    if earlier is not None:
        ostrel.write("out/r.json", earlier)
    port = recorder().port if delivered else closed_port()
    r = ostrel(FROM, TO, "-body:x", f"-host:127.0.0.1:{port}", "-timeout:5",
               "-results:out/r.json", wrapper=limited(size=64))
    # The message's own status stands; the lost document is said.
    lost = "Unable to write results file out/r.json\n"
    if delivered:
        assert (r.status, r.stderr) == (0, lost)
    else:
        assert r.status == 50
        assert r.stderr == f"Message send failed (Could not connect to [127.0.0.1]:{port})\n" + lost
    # The earlier document as it was, or the file as created: no temporary file.
    assert os.listdir(ostrel.path("out")) == ["r.json"]
    assert ostrel.path("out/r.json").read_bytes() == (earlier or b"")


@pytest.mark.parametrize("earlier_mode", [None, 0o604], ids=["new", "earlier"])
def test_document_replaces_the_file_whole(ostrel, earlier_mode):
    ostrel.path("out").mkdir()
    if earlier_mode is not None:
        ostrel.write("out/r.json", b"{" * 100000)  # longer than the document
        os.chmod(ostrel.path("out/r.json"), earlier_mode)
    r = ostrel(FROM, TO, "-body:x", "-file:out.eml", "-results:out/r.json",
               wrapper=limited(umask=0o027))
    assert r.status == 0, r.stderr
    assert document(ostrel.path("out/r.json").read_bytes())["status"] == "success"
    assert os.listdir(ostrel.path("out")) == ["r.json"]
    # An earlier file keeps its mode; a new one gets what the umask leaves.
    mode = stat.S_IMODE(os.stat(ostrel.path("out/r.json")).st_mode)
    assert mode == (earlier_mode if earlier_mode is not None else 0o640)


def read_fifo(fd, got):
    with open(fd, "rb") as f:
        got.append(f.read())


@pytest.mark.parametrize("kind", ["symlink", "fifo"])
def test_what_is_not_a_regular_file_is_written_through(ostrel, kind):
    target = ostrel.path("target.json")
    got = []
    if kind == "symlink":
        ostrel.write("target.json", EARLIER)
        os.symlink("target.json", ostrel.path("r.json"))
    else:
        os.mkfifo(ostrel.path("r.json"))
        # Both ends open here: the program's open never waits, and the reader
        # meets the end of the file once the program has gone and the test
        # lets go of its own write end, whether the program wrote or not.
        fd = os.open(ostrel.path("r.json"), os.O_RDONLY | os.O_NONBLOCK)
        held = os.open(ostrel.path("r.json"), os.O_WRONLY)
        os.set_blocking(fd, True)
        reader = threading.Thread(target=read_fifo, args=(fd, got), daemon=True)
        reader.start()
    try:
        r = ostrel(FROM, TO, "-body:x", "-file:out.eml", "-results:r.json", timeout=30)
    finally:
        if kind == "fifo":
            os.close(held)
    assert r.status == 0, r.stderr
    if kind == "symlink":
        # The link stays a link, and the file it leads to holds the document.
        assert os.readlink(ostrel.path("r.json")) == "target.json"
        raw = target.read_bytes()
    else:
        reader.join(timeout=30)
        assert stat.S_ISFIFO(os.lstat(ostrel.path("r.json")).st_mode)
        [raw] = got
    assert document(raw)["status"] == "success"
    assert sorted(os.listdir(ostrel.cwd)) == sorted(["out.eml", "r.json"] +
                                                    (["target.json"] if kind == "symlink" else []))


LONGER = EARLIER + b" " * 1000  # longer than the new document


@pytest.mark.parametrize("earlier, limit", [
    (EARLIER, None), (LONGER, None), (EARLIER, 64), (LONGER, 64),
], ids=["grows", "shrinks", "full disk", "full disk while written"])
def test_file_in_a_folder_that_takes_no_new_file(ostrel, recorder, earlier, limit):
    # Written in place: the new document whole, or the old file as it was
    # and the loss said, never a part of either.
    require_file_access_checks()
    ostrel.path("out").mkdir()
    ostrel.write("out/r.json", earlier)
    os.chmod(ostrel.path("out"), 0o555)
    try:
        r = ostrel(FROM, TO, "-body:x", f"-host:127.0.0.1:{recorder().port}",
                   "-results:out/r.json", wrapper=[*FILE_ACCESS_CHECKED, *limited(limit or -1)])
    finally:
        os.chmod(ostrel.path("out"), 0o755)
    assert r.status == 0  # the message's own status stands
    raw = ostrel.path("out/r.json").read_bytes()
    if limit:
        assert r.stderr == "Unable to write results file out/r.json\n"
        assert raw == earlier
    else:
        assert r.stderr == ""
        doc = document(raw)
        # This run's document, not the earlier one left in place.
        assert doc["status"] == "success" and doc["recipients"][0]["e-mail"] == TO[4:], doc
    assert os.listdir(ostrel.path("out")) == ["r.json"]


PROMPT = "Reading body from stdin, enter message and end with ^D\nFinished reading body"


@pytest.mark.parametrize("terminal", [False, True], ids=["pipe", "terminal"])
@pytest.mark.parametrize("results", ["-", "/dev/stdout", "r.json"])
def test_body_prompt_only_at_a_terminal_and_beside_the_document(ostrel, terminal, results):
    args = (FROM, TO, "--", "-file:out.eml", f"-results:{results}")
    r = ostrel.at_terminal(*args, typed=b"hi\n") if terminal else ostrel(*args, stdin=b"hi\n")
    assert r.status == 0, r.stderr
    on_stdout = results != "r.json"
    # The prompt is for a person, and on standard error when the document
    # takes standard output.
    prompt = PROMPT if terminal else ""
    assert r.stderr == (prompt if on_stdout else "")
    doc = document(r.out if on_stdout else ostrel.path("r.json").read_bytes())
    if not on_stdout:
        assert r.stdout == prompt
    assert doc["status"] == "success"
    msg = email.message_from_bytes(ostrel.path("out.eml").read_bytes())
    assert msg.get_payload().startswith("hi\r\n")
