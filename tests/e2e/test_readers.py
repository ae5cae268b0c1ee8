"""Messages read back by independent mail readers: mblaze (mshow), maildrop's
reformime and neomutt, beside Python's email package. Every attachment must
come out equal to its file, under the name it was given."""
import email
import email.policy
import os
import re
import shutil
import subprocess

import pytest

# Names that need no encoding, that need encoded words, and one long enough
# to be continued over several parameter sections.
NAMES = ["plain.txt", "Grüße.txt", "Ünïcødé-" * 8 + ".txt", "résumé final.bin"]
CONTENTS = [b"abc", b"line one\r\nline two\nno end", bytes(range(256)) * 3, b"x" * 200 + b"\xe9"]


def make_files(ostrel):
    files = {}
    for name, data in zip(NAMES, CONTENTS):
        ostrel.write(name, data)
        files[name] = data
    return files


def compose(ostrel, *args):
    r = ostrel("-nodefault", "-from:a@example.org", "-to:b@example.org", "-subject:files",
               *args, "-file:out.eml")
    return ostrel.written(r)


def python_attachments(message: bytes):
    m = email.message_from_bytes(message, policy=email.policy.default)
    return {p.get_filename(): p.get_payload(decode=True) for p in m.walk()
            if p.get_filename() is not None}


def mblaze_attachments(message_path, tmp_path):
    out = tmp_path / "mblaze"
    out.mkdir()
    subprocess.run(["mshow", "-x", str(message_path)], cwd=out, check=True, timeout=30,
                   capture_output=True, env={"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)})
    return {p.name: p.read_bytes() for p in out.iterdir()}


def reformime_attachments(message: bytes):
    info = subprocess.run(["reformime", "-i"], input=message, capture_output=True, check=True,
                          timeout=30).stdout.decode("utf-8")
    found = {}
    for block in info.split("\n\n"):
        section = re.search(r"^section: (\S+)$", block, re.M)
        name = re.search(r"^content-disposition-filename: (.*)$", block, re.M)
        if section and name:
            data = subprocess.run(["reformime", "-e", "-s", section.group(1)], input=message,
                                  capture_output=True, check=True, timeout=30).stdout
            found[name.group(1)] = data
    return found


def neomutt_attachments(message: bytes, tmp_path, count: int):
    """Saves each of the last `count` entries of the attachment menu, where
    the attachments stand, under the name neomutt offers for it. One run per
    entry: a key that fails (moving past an end) flushes the keys after it."""
    home = tmp_path / "neomutt"
    # Mail: neomutt asks to create it on a first run, taking the keys.
    for sub in ("md/cur", "md/new", "md/tmp", "out", "Mail"):
        (home / sub).mkdir(parents=True)
    (home / "md/new/1.eml").write_bytes(message)
    (home / "rc").write_text('set mbox_type=Maildir\nset attach_save_dir="."\n'
                             'set confirmappend=no\nset quit=yes\nset wait_key=no\n'
                             'set charset="utf-8"\nset header_cache=""\n'
                             'set message_cachedir=""\n')
    for k in range(count):
        keys = "<view-attachments>" + ("<last-entry>" if count > 1 else "")
        keys += "<previous-entry>" * k + "<save-entry><enter><exit><quit>"
        cmd = f"neomutt -n -F ../rc -f ../md -e 'push \"{keys}\"'"
        subprocess.run(["script", "-qec", cmd, "/dev/null"], cwd=home / "out", timeout=30,
                       capture_output=True, stdin=subprocess.DEVNULL,
                       env={"PATH": "/usr/bin:/bin", "HOME": str(home), "TERM": "xterm",
                            "LANG": "C.UTF-8"})
    return {p.name: p.read_bytes() for p in (home / "out").iterdir()}


def need(tool):
    if not shutil.which(tool):
        pytest.skip(f"{tool} is not installed on this machine (tools/packages/hostile.txt)")


READERS = ["python", "mblaze", "reformime", "neomutt"]


def read_with(reader, ostrel, message, count):
    path = ostrel.path("out.eml")
    if reader == "python":
        return python_attachments(message)
    if reader == "mblaze":
        need("mshow")
        return mblaze_attachments(path, ostrel.cwd)
    if reader == "reformime":
        need("reformime")
        return reformime_attachments(message)
    need("neomutt")
    need("script")
    return neomutt_attachments(message, ostrel.cwd, count)


@pytest.mark.parametrize("reader", READERS)
def test_every_attachment_comes_out_whole_under_its_name(ostrel, reader):
    files = make_files(ostrel)
    # Each encoding the composer offers, with a text body before them.
    opts = ["-a:" + NAMES[0], "-aqp:" + NAMES[1], "-a64:" + NAMES[2], "-a:" + NAMES[3]]
    message = compose(ostrel, "-body:see the files", *opts)
    got = read_with(reader, ostrel, message, count=len(files))
    for name, data in files.items():
        assert name in got, f"{reader} found {sorted(got)}"
        assert got[name] == data, name


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("option", ["-aqp:", "-a:", "-a64:"])
def test_a_lone_attachment_decodes_to_its_bytes(ostrel, reader, option):
    # No body and one attachment: the part is the whole message, and no
    # delimiter follows it to own its last line end.
    ostrel.write("a.txt", b"abc")
    ostrel.write("Grüße.txt", b"line\r\nend")
    for name, data in (("a.txt", b"abc"), ("Grüße.txt", b"line\r\nend")):
        message = compose(ostrel, option + name)
        got = read_with(reader, ostrel, message, count=1)
        assert got.get(name) == data, (name, got)
        for d in ("mblaze", "neomutt"):
            shutil.rmtree(ostrel.cwd / d, ignore_errors=True)


def test_encoded_word_lines_stay_within_76_characters(ostrel):
    e = "é" * 60
    ostrel.write("Ünïcødé-" * 8 + ".txt", b"x")
    message = compose(ostrel, f"-subject:{e}", f"-from:a@example.org:{e}",
                      f"-to:{'q' * 60}@example.org:{e}", f"-head:X-Word:{'x' * 700}{e}",
                      f"-head:X-Short:{e}", "-a:" + "Ünïcødé-" * 8 + ".txt", "-body:hi")
    for line in message.split(b"\r\n"):
        if b"=?" in line:
            assert len(line) <= 76, line
    m = email.message_from_bytes(message, policy=email.policy.default)
    assert str(m["Subject"]) == e
    assert m["From"].addresses[0].display_name == e
    assert str(m["X-Word"]) == "x" * 700 + e
    assert str(m["X-Short"]) == e
    assert [a.display_name for a in m["To"].addresses] == [e, ""]


def test_content_id_holds_no_blank_and_matches_the_reference(ostrel):
    ostrel.write("a é.png", b"\x89PNG")
    message = compose(ostrel, "-ai:a é.png", '-body--html:<img src="cid:a%20%c3%a9.png">',
                      "-body:hi")
    m = email.message_from_bytes(message, policy=email.policy.default)
    ids = [p["Content-ID"] for p in m.walk() if p["Content-ID"]]
    assert ids == ["<a%20%c3%a9.png>"]
    assert b"cid:a%20%c3%a9.png" in message
