"""The results document of -results:, read by Python's json and by jq."""
import email
import email.policy
import json
import os
import shutil
import subprocess

import pytest

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


def test_unreadable_attachment_reported_once(ostrel):
    ostrel.path("folder").mkdir()  # opens, but reading it fails
    r = ostrel(FROM, TO, "-body:x", "-a:folder", "-file:out.eml", "-results:r.json")
    assert r.status == 10
    assert r.stderr == "folder\n"
    doc = document(ostrel.path("r.json").read_bytes())
    assert doc["error"] == "Could not open attachment (folder)"
    assert doc["status"] == "failure"


@pytest.mark.parametrize("option,value,key", [
    ("-from:", b"caf\xe9@example.org", "from"),
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


def test_delivery_that_cannot_connect(ostrel):
    # Port 1 on the loopback address: nothing listens there.
    r = ostrel(FROM, TO, "-body:x", "-host:127.0.0.1:1", "-timeout:5", "-results:r.json")
    assert r.status != 0
    assert "Message send failed (" in r.stderr
    doc = document(ostrel.path("r.json").read_bytes())
    assert not {"host", "recipients", "message-id"} & set(doc)
    assert doc["status"] == "failure"
    assert doc["error"]
    assert doc["from"] == "me@example.org"


def test_only_the_last_results_argument_is_written(ostrel):
    r = ostrel("-results:first.json", FROM, TO, "-body:x", "-file:out.eml",
               "-results:second.json")
    assert r.status == 0, r.stderr
    assert ostrel.path("first.json").read_bytes() == b""
    assert document(ostrel.path("second.json").read_bytes())["status"] == "success"


def test_early_failure_leaves_the_file_empty(ostrel):
    r = ostrel(FROM, "-body:x", "-file:out.eml", "-results:r.json")
    assert r.status == 1
    assert ostrel.path("r.json").read_bytes() == b""


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="this machine has no /dev/full")
def test_results_that_cannot_be_written(ostrel):
    r = ostrel(FROM, TO, "-body:x", "-file:out.eml", "-results:/dev/full")
    # The message was written: its status stands, and the lost document is said.
    assert r.status == 0
    assert r.stderr == "Unable to write results file /dev/full\n"
    assert ostrel.path("out.eml").exists()
