"""Wildcard attachment sets in File mode, checked with Python's email package."""
import binascii
import email
import os
import re
import urllib.parse
from email import policy

import pytest

from conftest import FILE_ACCESS_CHECKED, require_file_access_checks

FROM = "-from:sender@example.org"
TO = "-to:rcpt@example.org"


def payload(path):
    return f"payload of {path}\n".encode() + bytes(range(256))


def make_tree(root):
    """One tree for every case. Paths are relative to the working folder."""
    files = [
        "top.txt",
        "docs/a.txt", "docs/B.PDF", "docs/b.pdf",
        "docs/notes-1.txt", "docs/notes-2.txt", "docs/notes-10.txt",
        "docs/.secret.txt",
        "docs/.cfg/e.txt",
        "docs/sub/c.txt", "docs/sub/.hidden/h.txt", "docs/sub/deep/d.pdf",
        "img/pic \u00e9&x.png", "img/logo.png",
    ]
    for f in files:
        p = root / f
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(payload(f))
    os.symlink("docs", root / "link-to-docs")
    # Entries whose names match but that are no regular files.
    os.mkfifo(root / "docs/pipe.pdf")
    os.symlink("nowhere.pdf", root / "docs/gone.pdf")
    os.symlink("sub", root / "docs/dirlink.pdf")
    os.symlink(".", root / "docs/sub/loop")  # a loop a walk must not follow
    (root / "page.html").write_text('<html><img src="cid:logo.png"></html>\n')


def decode_uu(data):
    """(name, bytes) of each uuencoded block of the message."""
    lines = data.split(b"\r\n")
    out = []
    for i, line in enumerate(lines):
        if line.startswith(b"begin 644 "):
            end = lines.index(b"end", i)
            body = b"".join(binascii.a2b_uu(x) for x in lines[i + 1:end] if x != b"`")
            out.append((line[len(b"begin 644 "):].decode(), body))
    return out


def attachments(data):
    """(name, decoded bytes, part) of each attachment, in message order; an
    inline part is named by its Content-ID."""
    msg = email.message_from_bytes(data, policy=policy.default)
    found = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        name = part.get_filename()
        if name is None and part["Content-ID"]:
            name = urllib.parse.unquote(part["Content-ID"].strip("<>"))
        if name is not None:
            found.append((name, part.get_payload(decode=True), part))
    return found


def run(ostrel, *args):
    r = ostrel(FROM, TO, "-subject:files", *args, "-file:out.eml", timeout=30)
    return r, ostrel.written(r)


DOCS_ALL = ["docs/a.txt", "docs/B.PDF", "docs/b.pdf", "docs/notes-1.txt", "docs/notes-10.txt",
            "docs/notes-2.txt"]
DOCS_TXT = ["docs/a.txt", "docs/notes-1.txt", "docs/notes-10.txt", "docs/notes-2.txt"]

# (name, awild value or a function of the absolute working folder, extra
# options, expected files in walk order, expected transfer encoding or None)
CASES = [
    ("relative base", ":docs", [], DOCS_ALL, None),
    ("multi-level base", ":docs/sub/*.txt", [], ["docs/sub/c.txt"], None),
    ("absolute base", lambda w: f":{w}/docs/*.pdf", [], ["docs/B.PDF", "docs/b.pdf"], None),
    ("backslash form", ":docs\\sub\\*.txt", [], ["docs/sub/c.txt"], None),
    ("pattern only", ":*.txt", [], ["top.txt"], None),
    ("absolute pattern only", lambda w: f":{w}/top.*", [], ["top.txt"], None),
    ("empty items", ":docs//sub///*.txt/", [], ["docs/sub/c.txt"], None),
    ("base through a link", ":link-to-docs/*.txt", [],
     [p.replace("docs/", "link-to-docs/") for p in DOCS_TXT], None),
    ("negation", ":docs/*.txt/!notes-1*", [], ["docs/a.txt", "docs/notes-2.txt"], None),
    ("set", ":docs/notes-[0-9].txt", [], ["docs/notes-1.txt", "docs/notes-2.txt"], None),
    ("negated set and ?", ":docs/?.[^t]*", [], ["docs/B.PDF", "docs/b.pdf"], None),
    ("case-insensitive", ":docs/*.PDF", [], ["docs/B.PDF", "docs/b.pdf"], None),
    ("C", "C:docs/*.PDF", [], ["docs/B.PDF"], None),
    ("H", "H:docs/*.txt", [], ["docs/.secret.txt"] + DOCS_TXT, None),
    ("R", "R:docs/*.txt", [], DOCS_TXT + ["docs/sub/c.txt"], None),
    ("R without pattern", "R:docs/sub", [], ["docs/sub/c.txt", "docs/sub/deep/d.pdf"], None),
    ("RH", "RH:docs/*.txt", [],
     ["docs/.cfg/e.txt", "docs/.secret.txt"] + DOCS_TXT
     + ["docs/sub/.hidden/h.txt", "docs/sub/c.txt"], None),
    ("A", "A:docs/*.pdf", [], ["docs/B.PDF", "docs/b.pdf"], None),
    ("S", "S:docs/*.pdf", [], ["docs/B.PDF", "docs/b.pdf"], None),
    ("base64", "6:docs/*.txt", [], DOCS_TXT, "base64"),
    ("quoted-printable", "Q:docs/*.pdf", [], ["docs/B.PDF", "docs/b.pdf"], "quoted-printable"),
    ("uuencode", "U:docs/sub/*", [], ["docs/sub/c.txt"], "uuencode"),
    ("inline", "I:img/*.png", ["-body-html:page.html"], ["img/logo.png", "img/pic \u00e9&x.png"],
     "inline"),
]


@pytest.mark.parametrize("name,value,extra,want,encoding", CASES, ids=[c[0] for c in CASES])
def test_awild_table(ostrel, name, value, extra, want, encoding):
    make_tree(ostrel.cwd)
    if callable(value):
        value = value(ostrel.cwd)
    body = [] if extra else ["-body:see files"]
    r, data = run(ostrel, *body, *extra, f"-awild:{value}")
    if encoding == "uuencode":
        got = decode_uu(data)
        assert [n for n, _ in got] == [os.path.basename(p) for p in want]
        for (n, content), path in zip(got, want):
            assert content == payload(path), path
        return
    got = attachments(data)
    assert [n for n, _, _ in got] == [os.path.basename(p) for p in want]
    for (n, content, part), path in zip(got, want):
        assert content == payload(path.replace("link-to-docs/", "docs/")), path
        if encoding == "inline":
            assert part.get_content_disposition() == "inline"
            cid = urllib.parse.quote(os.path.basename(path).encode(), safe="!$'()*+,-.;_")
            # The encoder writes its hex digits in lower case.
            cid = re.sub("%[0-9A-F]{2}", lambda m: m.group().lower(), cid)
            assert part["Content-ID"] == f"<{cid}>"
        else:
            assert part.get_content_disposition() == "attachment"
            if encoding:
                assert part["Content-Transfer-Encoding"] == encoding


def test_nothing_but_regular_files_and_no_hang(ostrel):
    """A FIFO, a dangling link and a link to a folder match *.pdf; a reader
    that opened the FIFO would wait for ever."""
    make_tree(ostrel.cwd)
    r, data = run(ostrel, "-body:x", "-awild:RHSA:docs/*.pdf")
    names = [n for n, _, _ in attachments(data)]
    assert names == ["B.PDF", "b.pdf", "d.pdf"]


def test_long_paths_are_left_out_and_nothing_comes_twice(ostrel):
    base = ostrel.cwd / "long"
    deep = base
    while len(str(deep)) < 1023 - 200:
        deep = deep / ("d" * 150)
    deep.mkdir(parents=True)
    room = 1023 - len(str(deep)) - 1
    fits = deep / ("f" * (room - 4) + ".bin")
    too_long = deep / ("g" * (room - 3) + ".bin")
    assert len(str(fits)) == 1023 and len(str(too_long)) == 1024
    fits.write_bytes(b"fits")
    too_long.write_bytes(b"too long")
    (base / "top.bin").write_bytes(b"top")
    os.symlink(".", base / "again")  # followed, it would list everything twice
    r, data = run(ostrel, "-body:x", f"-awild:R:{base}/*.bin")
    got = attachments(data)
    assert [(n, c) for n, c, _ in got] == [(fits.name, b"fits"), ("top.bin", b"top")]


@pytest.mark.parametrize("value", [":nowhere/*.txt", ":nowhere\\*.txt", "R:/nonexistent-dir/x/*"])
def test_missing_base_attaches_nothing(ostrel, value):
    make_tree(ostrel.cwd)
    r, data = run(ostrel, "-body:x", f"-awild:{value}")
    assert attachments(data) == []


@pytest.mark.parametrize("value", [":///", "R:/", ":" + "/" * 5000])
def test_only_slashes_is_malformed(ostrel, value):
    r = ostrel(FROM, TO, "-body:x", f"-awild:{value}", "-file:out.eml")
    assert r.status == 10
    assert r.stderr == "No file pattern specified for awild setting\n"
    assert not ostrel.path("out.eml").exists()


def test_many_items_and_a_long_value(ostrel):
    make_tree(ostrel.cwd)
    value = ":" + "docs/" * 3000 + "*.txt"
    r, data = run(ostrel, "-body:x", f"-awild:{value}")
    assert attachments(data) == []
    r, data = run(ostrel, "-body:x", "-awild::docs" + "/" * 3000 + "sub" + "/" * 3000)
    assert [n for n, _, _ in attachments(data)] == ["c.txt"]


def test_unreadable_folder_is_passed_over(ostrel):
    require_file_access_checks()
    make_tree(ostrel.cwd)
    locked = ostrel.cwd / "docs/sub"
    locked.chmod(0)
    try:
        r = ostrel(FROM, TO, "-subject:files", "-body:x", "-awild:R:docs/*.txt", "-file:out.eml",
                   timeout=30, wrapper=FILE_ACCESS_CHECKED)
        data = ostrel.written(r)
    finally:
        locked.chmod(0o755)
    assert [n for n, _, _ in attachments(data)] == [os.path.basename(p) for p in DOCS_TXT]
