"""Hostile input through the command line. Every case ends within its time
limit with a clear line on standard error and a non-zero status, or with
the whole data written: none hangs, spins or drops data silently."""
import email
import email.policy
import os
import resource
import select
import subprocess
import threading
import time

import pytest

from conftest import BIN, assert_no_sanitizer_report
from smtp_peers import recorder  # noqa: F401  (fixture)

FROM = "-from:a@example.org"
TO = "-to:b@example.org"
LIMIT = 20  # seconds; every case here ends in well under one
# The cases that run the program out of memory (conftest.py leaves them out
# of an AddressSanitizer build, which has no such path to test).
memory_bounded = pytest.mark.memory_bounded


def run(ostrel, *args, stdin=None, limit=LIMIT, memory=None, env=None):
    """Runs ostrel with stdin from a file object (or nothing), bounded in
    time and, when given, in address space (bytes)."""
    def bound():
        if memory:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    full_env = dict(ostrel.env)
    full_env.update(env or {})
    p = subprocess.run([BIN, *map(str, args)], cwd=ostrel.cwd, env=full_env,
                       stdin=stdin if stdin is not None else subprocess.DEVNULL,
                       capture_output=True, timeout=limit, preexec_fn=bound)
    assert_no_sanitizer_report(p.stderr)
    return p.returncode, p.stderr.decode("utf-8", "replace")


class Endless:
    """A FIFO fed with one line over and over by a thread until the reader
    goes; the line holds no NUL byte."""

    def __init__(self, path, line=b"endless line without end " * 40 + b"\n"):
        self.path = path
        os.mkfifo(path)
        self.line = line * 64
        self.thread = threading.Thread(target=self.feed, daemon=True)
        self.thread.start()

    def feed(self):
        try:
            with open(self.path, "wb") as f:
                while True:
                    f.write(self.line)
        except (BrokenPipeError, OSError):
            pass

    def close(self):
        # Opening the read end releases a writer still waiting for a reader.
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
            os.close(fd)
        except OSError:
            pass
        self.thread.join(5)


NUL_TEXT = b"abc\0def\nghi\n"


# (name, arguments, stdin file or None, status, stderr text)
def nul_cases(o):
    o.write("nul.txt", NUL_TEXT)
    o.write("nul.list", b"c@example.org\n\0d@example.org\n")
    o.write("nul.conf", b"subject:a\0b\n")
    return [
        ("body file", ["-body-file:nul.txt"], None, 10, "Failed to read body file (nul.txt)"),
        ("body on stdin", ["--"], "nul.txt", 10, "Failed to read body file (-)"),
        ("To list", ["-to:@nul.list"], None, 10, "Failed to set To from file (nul.list)"),
        ("Cc list", ["-cc:@nul.list"], None, 10, "Failed to set Cc from file (nul.list)"),
        ("Bcc list", ["-bcc:@nul.list"], None, 10, "Failed to set Bcc from file (nul.list)"),
        ("configuration", ["-config:nul.conf"], None, 1,
         "Unable to open configuration file nul.conf"),
        ("zeros as body", ["-body-file:/dev/zero"], None, 10,
         "Failed to read body file (/dev/zero)"),
        ("zeros on stdin", ["--"], "/dev/zero", 10, "Failed to read body file (-)"),
        ("zeros as list", ["-to:@/dev/zero"], None, 10, "Failed to set To from file (/dev/zero)"),
        ("zeros as configuration", ["-config:/dev/zero"], None, 1,
         "Unable to open configuration file /dev/zero"),
    ]


def test_nul_bytes_in_text_inputs_are_refused(ostrel):
    for name, args, stdin, status, text in nul_cases(ostrel):
        if stdin:
            with open(stdin if stdin.startswith("/") else ostrel.path(stdin), "rb") as f:
                rc, err = run(ostrel, "-nodefault", FROM, TO, *args, "-file:out.eml", stdin=f)
        else:
            rc, err = run(ostrel, "-nodefault", FROM, TO, *args, "-file:out.eml")
        assert (rc, text in err) == (status, True), (name, rc, err)
        assert not ostrel.path("out.eml").exists(), name


def test_nul_byte_in_the_default_configuration_is_refused(ostrel):
    ostrel.write("appdata/ostrel.conf", b"subject:a\0b\n")
    rc, err = run(ostrel, FROM, TO, "-file:out.eml", env={"APPDATA": str(ostrel.path("appdata"))})
    assert rc == 1
    assert "Unable to open configuration file" in err and "ostrel.conf" in err
    assert not ostrel.path("out.eml").exists()


def test_body_literal_keeps_every_byte(ostrel):
    ostrel.write("nul.txt", NUL_TEXT)
    rc, err = run(ostrel, "-nodefault", FROM, TO, "-body-literal", "-body-file:nul.txt",
                  "-file:out.eml")
    assert rc == 0, err
    m = email.message_from_bytes(ostrel.path("out.eml").read_bytes(), policy=email.policy.default)
    assert m.get_payload(decode=True).rstrip(b"\r\n") == NUL_TEXT.rstrip(b"\n")


@memory_bounded
@pytest.mark.parametrize("where", ["body file", "stdin", "list", "configuration"])
def test_endless_input_without_nul_ends_when_memory_runs_out(ostrel, where):
    fifo = ostrel.path("endless")
    feed = Endless(fifo)
    try:
        args = {"body file": ["-body-file:endless", FROM, TO, "-file:out.eml"],
                "stdin": ["--", FROM, TO, "-file:out.eml"],
                "list": ["-to:@endless", FROM, "-file:out.eml"],
                "configuration": ["-config:endless", FROM, TO, "-file:out.eml"],
                }[where]
        if where == "stdin":
            with open(fifo, "rb") as f:
                rc, err = run(ostrel, "-nodefault", *args, stdin=f, memory=600 << 20)
        else:
            rc, err = run(ostrel, "-nodefault", *args, memory=600 << 20)
    finally:
        feed.close()
    assert rc == 666 % 256, err
    assert not ostrel.path("out.eml").exists()


@pytest.mark.parametrize("where", ["endless", "/dev/zero"])
def test_prepared_file_that_is_no_regular_file_is_never_read(ostrel, recorder, where):
    # A device or FIFO in the prepared file's place is refused unread, with
    # nothing delivered, instead of being read until memory runs out.
    feed = Endless(ostrel.path("endless")) if where == "endless" else None
    rec = recorder()
    try:
        rc, err = run(ostrel, "-nodefault", FROM, TO, f"-emailfile:{where}",
                      f"-host:127.0.0.1:{rec.port}")
    finally:
        if feed:
            feed.close()
    assert rc == 10, err
    assert where in err
    assert rec.messages() == []


@memory_bounded
def test_files_too_large_for_memory_end_as_out_of_memory(ostrel):
    # 20 MB of addresses fit as text, but not as the recipient list they make.
    ostrel.write("big.list", b"".join(b"u%07d@example.org\n" % i for i in range(1_000_000)))
    with open(ostrel.path("huge.txt"), "wb") as f:
        f.truncate(2 << 30)  # sparse: 2 GiB that take no disk
    ostrel.write("nul.txt", NUL_TEXT)
    cases = [
        ("list entries", ["-to:@big.list", "-body:x"], 666, None),
        ("list file", [TO, "-cc:@huge.txt", "-body:x"], 666, None),
        ("body file", [TO, "-body-file:huge.txt"], 666, None),
        ("literal body file", [TO, "-body-literal", "-body-file:huge.txt"], 666, None),
        # Under the same limit, files that cannot be used keep their status and line.
        ("missing list file", [TO, "-bcc:@missing.txt", "-body:x"], 10,
         "Failed to set Bcc from file (missing.txt)\n"),
        ("missing body file", [TO, "-body-file:missing.txt"], 10,
         "Failed to read body file (missing.txt)\n"),
        ("NUL byte in a body file", [TO, "-body-file:nul.txt"], 10,
         "Failed to read body file (nul.txt)\n"),
    ]
    for name, args, status, text in cases:
        rc, err = run(ostrel, "-nodefault", FROM, *args, "-file:out.eml", memory=96 << 20)
        assert rc == status % 256, (name, rc, err)
        if text:
            assert err == text, name
        assert not ostrel.path("out.eml").exists(), name


def test_refused_addresses_fail_the_run(ostrel):
    long_local = "l" * 250 + "@example.org"
    cases = [
        (f"-to:{long_local}", "-to", long_local),
        (f"-cc:{long_local}:Name", "-cc", long_local),
        (f"-bcc:{long_local}", "-bcc", long_local),
        ("-to:bad\x01@example.org", "-to", "bad\\x01@example.org"),
    ]
    for arg, option, shown in cases:
        rc, err = run(ostrel, "-nodefault", FROM, TO, arg, "-body:x", "-file:out.eml")
        assert rc == 1, (arg, err)
        assert err == f"Invalid address for {option} ({shown})\n"
        assert not ostrel.path("out.eml").exists()
    # An address without "@" is refused too: the others get no message without it.
    rc, err = run(ostrel, "-nodefault", FROM, TO, "-to:nobody", "-body:x", "-file:out.eml")
    assert (rc, err) == (1, "Invalid address for -to (nobody)\n")
    assert not ostrel.path("out.eml").exists()


@pytest.mark.parametrize("kind", ["to", "cc", "bcc"])
def test_unusable_address_fails_its_list_file(ostrel, kind):
    ostrel.write("list.txt", "ok@example.org\n" + "l" * 260 + "@example.org\nlast@example.org\n")
    rc, err = run(ostrel, "-nodefault", FROM, TO, f"-{kind}:@list.txt", "-body:x", "-file:out.eml")
    assert rc == 10, err
    assert f"Failed to set {kind.capitalize()} from file (list.txt)" in err
    assert not ostrel.path("out.eml").exists()


def read_fifo(path, proc, cut_after, cut, limit=LIMIT):
    """What proc writes to the FIFO at path, read until proc closes it; cut()
    is called once cut_after bytes have come. Never blocks: the read end is
    opened at once and polled, so a program that exits without opening the
    FIFO, or that stalls, cannot hold the test past its limit."""
    got = b""
    deadline = time.monotonic() + limit
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        while True:
            assert time.monotonic() < deadline, f"{path} still open after {limit} s"
            ready = poller.poll(100)
            exited = proc.poll() is not None
            if not (ready or exited):
                continue
            try:
                chunk = os.read(fd, 1 << 16)
            except BlockingIOError:
                continue
            if chunk:
                cut_now = len(got) < cut_after <= len(got) + len(chunk)
                got += chunk
                if cut_now:
                    cut()
            elif got or exited:
                # End of file: the writer closed it, or never opened it and is gone.
                return got
    finally:
        os.close(fd)


def test_attachment_that_shrinks_while_read_is_a_failure(ostrel):
    # The output is a FIFO that this test drains slowly: the program blocks
    # writing early in the attachment, the file is cut, then it reads on.
    big = ostrel.write("big.bin", os.urandom(1 << 16) * 256)  # 16 MiB
    os.mkfifo(ostrel.path("out.fifo"))
    p = subprocess.Popen([BIN, "-nodefault", FROM, TO, "-body:x", "-a64:big.bin",
                          "-file:out.fifo"], cwd=ostrel.cwd, env=ostrel.env,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        got = read_fifo(ostrel.path("out.fifo"), p, 64 << 10, lambda: os.truncate(big, 1 << 20))
        _, err = p.communicate(timeout=LIMIT)
    finally:
        p.kill()
        p.wait()
    assert_no_sanitizer_report(err)
    assert p.returncode == 10, err
    assert b"big.bin" in err
    assert len(got) < 4 << 20


def test_a_long_header_value_is_kept_whole(ostrel):
    # About 1 MB: more than one argument may hold, so it comes from a file.
    words = " ".join(f"word{i}" for i in range(100_000))
    ostrel.write("long.conf", f"head:X-Long:{words}\n")
    rc, err = run(ostrel, "-nodefault", FROM, TO, "-config:long.conf", "-body:x",
                  "-file:out.eml")
    assert rc == 0, err
    data = ostrel.path("out.eml").read_bytes()
    assert max(len(line) for line in data.split(b"\r\n")) <= 998
    m = email.message_from_bytes(data, policy=email.policy.compat32)
    assert " ".join(m["X-Long"].split()) == words


def test_an_over_long_body_file_path_is_refused_not_cut(ostrel):
    # The first 4095 bytes of the path name a real file: a cut path would
    # send that file in place of the one named.
    ostrel.write("b.txt", "the wrong file\n")
    prefix = "./" * 2045 + "b.txt"
    assert len(prefix) == 4095
    rc, err = run(ostrel, "-nodefault", FROM, TO, f"-body-file:{prefix}XX", "-file:out.eml")
    assert rc == 10, err
    assert "Failed to read body file" in err
    assert not ostrel.path("out.eml").exists()


def test_a_long_word_body_is_wrapped_whole(ostrel):
    # One word of 1 MB without blanks: every byte arrives, in lines of the
    # line length.
    ostrel.write("word.txt", b"w" * (1 << 20) + b"\n")
    rc, err = run(ostrel, "-nodefault", FROM, TO, "-body-file:word.txt", "-body-64",
                  "-file:out.eml")
    assert rc == 0, err
    with open(ostrel.path("word.txt"), "rb") as f:
        rc, err = run(ostrel, "-nodefault", FROM, TO, "--", "-file:out7.eml", stdin=f)
    assert rc == 0, err
    body = ostrel.path("out7.eml").read_bytes().split(b"\r\n\r\n", 1)[1]
    lines = body.split(b"\r\n")
    assert b"".join(lines) == b"w" * (1 << 20)
    assert max(len(line) for line in lines) <= 998
