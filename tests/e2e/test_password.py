"""Obfuscated passwords: -encryptpass:, -bindpass and "$" texts in -host:.

Every printed text is read back by an independent model of the text format on
python3-cryptography's AES. Other machines are played in private mount
namespaces, with fixture files bound over the machine identity files; the
real files are never touched.
"""
import base64
import os
import pty
import re
import select
import signal
import socket
import subprocess
import time

import pytest
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

from conftest import BIN, Result, assert_no_sanitizer_report
from smtp_peers import accept_from, recorder  # noqa: F401  (fixture)

FIXED_KEY = bytes.fromhex("579b59c449ce1cb6109529d4afdc4839")
TAIL = b"\n\x05\n"
TEXT = re.compile(r"^\$[A-Za-z0-9_-]+\n$")

ID_A = "3f2504e04f8941d39a0c0305e82c3301"
ID_B = "c0ffee00123445678899aabbccddeeff"


def ctr(key: bytes, start: bytes, data: bytes) -> bytes:
    c = Cipher(algorithms.AES(key), modes.CTR(start + bytes(16 - len(start)))).encryptor()
    return c.update(data) + c.finalize()


def read_text(text: str, identity: str = None):
    """(marker, password) of a text; identity is the machine id that bound it."""
    body = text[1:]
    blob = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
    r, plain = blob[:4], ctr(FIXED_KEY, blob[:4], blob[4:])
    marker, inner = plain[:4], plain[4:]
    assert marker[1:] == TAIL, text
    if marker[:1] == b"h":
        inner = ctr(bytes.fromhex(identity), r + marker, inner)
    return marker[:1], inner


def make_text(password: bytes, r: bytes = b"\x00\x01\x02\x03") -> str:
    blob = r + ctr(FIXED_KEY, r, b"e" + TAIL + password)
    return "$" + base64.urlsafe_b64encode(blob).rstrip(b"=").decode()


def printed_text(r: Result) -> str:
    assert r.status == 0, r.stderr
    assert r.stderr == ""
    assert TEXT.match(r.stdout), repr(r.stdout)
    return r.stdout[:-1]


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def send_args(password: str):
    return ["-nodefault", f"-host:user:{password}@127.0.0.1:{closed_port()}",
            "-from:a@example.org", "-to:b@example.org"]


@pytest.mark.parametrize("password", [
    "secret",
    "",
    "x",
    "pässwörd €",
    "$starts:with@dollar",
    "\x01\x1b[31m\x7f\t control",
    ("ü\x02" * 33000),  # 100 KB of UTF-8 and control bytes
], ids=["ascii", "empty", "one", "utf8", "dollar", "control", "100k"])
def test_encryptpass_prints_only_the_text(ostrel, password):
    text = printed_text(ostrel(f"-encryptpass:{password}"))
    pw = password.encode()
    assert len(text) == 1 + (4 * (len(pw) + 8) + 2) // 3
    assert read_text(text) == (b"e", pw)


def test_sizes_of_the_shortest_texts(ostrel):
    assert len(printed_text(ostrel("-encryptpass:"))) == 1 + 11
    assert len(printed_text(ostrel("-encryptpass:1"))) == 1 + 12


def test_two_runs_differ_and_the_first_value_counts(ostrel):
    a = printed_text(ostrel("-encryptpass:first", "-encryptpass:second"))
    b = printed_text(ostrel("-encryptpass:first"))
    assert a != b
    assert read_text(a) == read_text(b) == (b"e", b"first")


def test_no_configuration_is_read_on_this_road(ostrel):
    ostrel.write("cfg/ostrel.conf", "bogus-option\n")
    text = printed_text(ostrel("-encryptpass:pw", "-config:missing.conf",
                               env={"APPDATA": str(ostrel.path("cfg"))}))
    assert read_text(text) == (b"e", b"pw")


def test_obfuscated_empty_password_is_decoded_before_the_checks(ostrel):
    # The text itself is not empty; only its decoded form fails the check.
    r = ostrel(*send_args(make_text(b"")))
    assert r.status == 1
    assert r.stderr == "Incorrectly specified user credentials\n"


@pytest.mark.parametrize("password", [
    make_text(b"s3cret"),
    "$short",
    "$" + "A" * 13,
    "$A=A=A=A=A=A=A=A=",
    "$" + "~!+/-_=" * 600,
])
def test_passwords_reach_the_send_step(ostrel, password):
    r = ostrel(*send_args(password))
    assert r.status == 50, r.stderr
    assert r.stderr.startswith("Message send failed (")


# Other machines, each in a private mount namespace.

def namespace_prefix():
    for cmd in (["unshare", "-m"], ["unshare", "-rm"]):
        try:
            p = subprocess.run(cmd + ["true"], capture_output=True, timeout=30)
        except FileNotFoundError:
            return None
        if p.returncode == 0:
            return cmd
    return None


NAMESPACE = namespace_prefix()
needs_namespace = pytest.mark.skipif(
    NAMESPACE is None, reason="this machine allows no private mount namespace (unshare -m)")

# Inside the namespace: the fixture over /etc/machine-id, or, where the file
# is missing, a copy of /etc that holds it (on a tmpfs that dies with the
# namespace); the second file is covered when it is a file of its own.
BIND_SCRIPT = r"""
set -e
first="$1"; second="$2"; scratch="$3"; shift 3
if [ -e /etc/machine-id ]; then
    mount --bind "$first" "$(realpath /etc/machine-id)"
else
    mount -t tmpfs ostrel-etc "$scratch"
    cp -a /etc/. "$scratch"/ 2>/dev/null || true
    rm -f "$scratch"/machine-id  # a dangling link would lead the copy out
    cp "$first" "$scratch"/machine-id
    mount --bind "$scratch" /etc
fi
if [ -e /var/lib/dbus/machine-id ] && [ "$(realpath /var/lib/dbus/machine-id)" != "$(realpath /etc/machine-id)" ]; then
    mount --bind "$second" "$(realpath /var/lib/dbus/machine-id)"
fi
exec "$@"
"""


class Machine:
    """Runs the binary as if on a machine whose identity files hold first and second."""

    def __init__(self, runner, first: str, second: str = ""):
        self.runner = runner
        name = f"id-{abs(hash((first, second)))}"
        self.first = runner.write(f"{name}-1", first)
        self.second = runner.write(f"{name}-2", second)
        self.scratch = runner.path(f"{name}-etc")
        self.scratch.mkdir(exist_ok=True)

    def __call__(self, *args) -> Result:
        cmd = [*NAMESPACE, "sh", "-c", BIND_SCRIPT, "sh", str(self.first), str(self.second),
               str(self.scratch), BIN, *args]
        p = subprocess.run(cmd, cwd=self.runner.cwd, env=self.runner.env, capture_output=True,
                           timeout=60)
        assert_no_sanitizer_report(p.stderr)
        return Result(p.returncode, p.stdout, p.stderr)


@needs_namespace
def test_host_bound_text_belongs_to_its_machine(ostrel):
    machine_a = Machine(ostrel, ID_A + "\n")
    machine_a_upper = Machine(ostrel, ID_A.upper() + "\n")
    machine_b = Machine(ostrel, ID_B + "\n")
    no_identity = Machine(ostrel, "")

    # Made under A: only A's identity reads it; A in capitals is the same key.
    text = printed_text(machine_a("-encryptpass:pässwort", "-bindpass"))
    assert read_text(text, ID_A) == (b"h", "pässwort".encode())
    assert read_text(text, ID_B)[1] != "pässwort".encode()
    text_upper = printed_text(machine_a_upper("-encryptpass:pässwort", "-bindpass"))
    assert read_text(text_upper, ID_A) == (b"h", "pässwort".encode())
    text_b = printed_text(machine_b("-encryptpass:pässwort", "-bindpass"))
    assert read_text(text_b, ID_B) == (b"h", "pässwort".encode())

    # -host: takes it under A and B alike (B's bytes are wrong, silently),
    # and refuses it where there is no identity.
    for machine in (machine_a_upper, machine_b):
        r = machine(*send_args(text))
        assert r.status == 50, r.stderr
        assert r.stderr.startswith("Message send failed (")
    r = no_identity(*send_args(text))
    assert r.status == 1
    assert r.stderr == "Failed to decrypt password\n"
    assert r.stdout == ""
    # A plain text needs no identity.
    r = no_identity(*send_args(make_text(b"pw")))
    assert r.status == 50, r.stderr


@needs_namespace
@pytest.mark.parametrize("first", ["", "uninitialized\n", ID_A[:31] + "\n", ID_A + "0\n"])
def test_bindpass_without_identity_prints_nothing(ostrel, first):
    machine = Machine(ostrel, first)
    r = machine("-encryptpass:secret", "-bindpass")
    assert (r.status, r.out, r.err) == (1, b"", b"")
    # Only the binding needs the identity: unbound, the text is printed there.
    assert read_text(printed_text(machine("-encryptpass:secret"))) == (b"e", b"secret")


@needs_namespace
@pytest.mark.skipif(not os.path.isfile("/var/lib/dbus/machine-id")
                    or os.path.realpath("/var/lib/dbus/machine-id")
                    == os.path.realpath("/etc/machine-id"),
                    reason="this machine has no separate /var/lib/dbus/machine-id to cover")
def test_second_identity_file_stands_in(ostrel):
    text = printed_text(Machine(ostrel, "uninitialized\n", ID_B + "\n")(
        "-encryptpass:pw", "-bindpass"))
    assert read_text(text, ID_B) == (b"h", b"pw")


# Through a real server: the recording server sees what the client sent.

USER = "me@example.org"
SERVER_PASSWORD = "p\u00e4ss:w@rd \u20ac"


def hidden_forms(*secrets: bytes):
    """Each secret and its base64 forms, padded or not."""
    forms = set()
    for s in secrets:
        b64 = base64.b64encode(s)
        forms |= {s, b64, b64.rstrip(b"="), base64.urlsafe_b64encode(s).rstrip(b"=")}
    return forms


@pytest.mark.parametrize("bound", [False, True], ids=["plain text", "host-bound text"])
@pytest.mark.parametrize("mechanism", ["PLAIN", "LOGIN"])
def test_server_gets_the_original_password(ostrel, recorder, mechanism, bound):
    if bound and NAMESPACE is None:
        pytest.skip("this machine allows no private mount namespace (unshare -m)")
    # The identity is a fixture in both cases: CI machines may have none.
    run = Machine(ostrel, ID_A + "\n") if bound else ostrel
    text = printed_text(run(f"-encryptpass:{SERVER_PASSWORD}", *["-bindpass"][:bound]))
    assert read_text(text, ID_A) == (b"h" if bound else b"e", SERVER_PASSWORD.encode())

    rec = recorder(user=USER, password=SERVER_PASSWORD, mechanisms=mechanism)
    pw = SERVER_PASSWORD.encode()
    forbidden = hidden_forms(pw, text.encode(), text[1:].encode(),
                             b"\0" + USER.encode() + b"\0" + pw)
    for trace in ("-d", "-dd"):
        r = run("-nodefault", f"-host:{USER}:{text}@127.0.0.1:{rec.port}",
                f"-authtypes:{mechanism}", "-from:a@example.org", "-to:b@example.org",
                "-subject:Auth", "-body:x", trace)
        assert r.status == 0, r.stderr
        assert f"> auth {mechanism}".encode() in r.out  # the trace is there
        for form in forbidden:
            assert form not in r.out + r.err, f"{trace} shows {form!r}"
    sent = [m["auth"] for m in rec.messages()]
    assert sent == [{"mechanism": mechanism, "login": USER, "secret": SERVER_PASSWORD,
                     "ok": True}] * 2


# Passwords in the process list: any local user reads /proc/PID/cmdline.

def cmdline(pid: int) -> list:
    """The process's arguments; none once it has ended."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().decode("utf-8", "replace").split("\0")[:-1]
    except OSError:
        return []


def stalled_run(args, port):
    """Runs a delivery whose peer (a listening socket on port) never answers."""
    return subprocess.Popen([BIN, "-nodefault", "-from:a@example.org", "-to:b@example.org",
                             "-body:x", "-timeout:30", *(a.format(port=port) for a in args)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


OBFUSCATED = make_text(b"s3cret")


@pytest.mark.parametrize("given, shown", [
    (["-host:alice:S3CRET@127.0.0.1:{port}"], ["-host:alice:******@127.0.0.1:{port}"]),
    (["-host:alice:S3CRET@mail.example:25", "-proxytype:HTTPS",
      "-proxy:bob:PS3CRET@127.0.0.1:{port}"],
     ["-host:alice:******@mail.example:25", "-proxytype:HTTPS",
      "-proxy:bob:*******@127.0.0.1:{port}"]),
    # The delimiter in force decides where the password starts.
    (["-passdelim:|", "-host:us:er|pa:ss@127.0.0.1:{port}"],
     ["-passdelim:|", "-host:us:er|*****@127.0.0.1:{port}"]),
    ([f"-host:alice:{OBFUSCATED}@127.0.0.1:{{port}}"],
     ["-host:alice:" + "*" * len(OBFUSCATED) + "@127.0.0.1:{port}"]),
], ids=["host", "proxy", "passdelim", "obfuscated"])
def test_passwords_leave_the_process_list_during_delivery(given, shown):
    with socket.socket() as peer:
        peer.bind(("127.0.0.1", 0))
        peer.listen(1)
        peer.settimeout(20)
        port = peer.getsockname()[1]
        proc = stalled_run(given, port)
        try:
            conn, _ = accept_from(peer, proc, 20)  # the options are applied: it connects
            with conn:
                args = cmdline(proc.pid)
                if "-proxytype:HTTPS" in given:
                    # The proxy still gets the password that left the list.
                    conn.settimeout(20)
                    request = b""
                    while b"\r\n\r\n" not in request:
                        chunk = conn.recv(4096)
                        assert chunk, request
                        request += chunk
                    assert (b"Proxy-Authorization: Basic " + base64.b64encode(b"bob:PS3CRET")
                            in request)
        finally:
            proc.kill()
            proc.wait(timeout=30)
    # User names, hosts and lengths as given; no password byte.
    assert args[1:] == ["-nodefault", "-from:a@example.org", "-to:b@example.org", "-body:x",
                        "-timeout:30", *(a.format(port=port) for a in shown)]


def test_encryptpass_value_leaves_the_process_list():
    # The printed text waits in a full pipe: the process is read meanwhile.
    r, w = os.pipe()
    os.set_blocking(w, False)
    filled = 0
    try:
        while True:
            filled += os.write(w, b"x" * 65536)
    except BlockingIOError:
        pass
    os.set_blocking(w, True)
    proc = subprocess.Popen([BIN, "-encryptpass:S3CRET", "-results:-"], stdin=subprocess.DEVNULL,
                            stdout=w, stderr=subprocess.DEVNULL)
    os.close(w)
    out = b""
    try:
        want = [BIN, "-encryptpass:******", "-results:-"]
        deadline = time.monotonic() + 10
        # The program waits on the full pipe: ended, it never shows the list.
        while ((args := cmdline(proc.pid)) != want and proc.poll() is None
               and time.monotonic() < deadline):
            time.sleep(0.01)
        assert args == want
        while chunk := os.read(r, 65536):
            out += chunk
    finally:
        os.close(r)  # a run still waiting now fails its write and ends
        try:
            proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=30)
    assert proc.returncode == 0
    text = out[filled:].decode()
    assert TEXT.match(text), text
    assert read_text(text[:-1]) == (b"e", b"S3CRET")


def cmdline_at_pass_phrase_prompt(ostrel, args) -> list:
    """The process list entry of a run while its pass phrase prompt waits."""
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(ostrel.cwd)
        os.execve(BIN, [BIN, *args], ostrel.env)
    seen = b""
    try:
        deadline = time.monotonic() + 30
        while b"Enter PEM pass phrase:" not in seen:
            assert time.monotonic() < deadline, seen
            ready, _, _ = select.select([fd], [], [], 1)
            if ready:
                try:
                    seen += os.read(fd, 1024)
                except OSError:  # the program ended: the terminal is gone
                    assert False, seen
        return cmdline(pid)
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(fd)


@pytest.mark.parametrize("config, given, shown", [
    # The key comes before the servers, so its prompt waits before they act.
    ("", ["-nodefault", "-dkim:{key}", "-host:alice:S3CRET@mx.example:25",
          "-proxy:bob:PS3CRET@127.0.0.1:8080", "-passdelim:|"],
     ["-nodefault", "-dkim:{key}", "-host:alice:******@mx.example:25",
      "-proxy:bob:*******@127.0.0.1:8080", "-passdelim:|"]),
    # A -passdelim: before -host: decides, after it none.
    ("", ["-nodefault", "-passdelim:|", "-dkim:{key}", "-host:us:er|pa:ss@mx.example"],
     ["-nodefault", "-passdelim:|", "-dkim:{key}", "-host:us:er|*****@mx.example"]),
    # A configuration file, read after the first pass, may set the delimiter:
    # until it is read, the whole user information is taken for a password.
    ("passdelim:#\n", ["-config:c.conf", "-dkim:{key}", "-host:alice#S3CRET@mx.example"],
     ["-config:c.conf", "-dkim:{key}", "-host:************@mx.example"]),
    ("passdelim:#\ndkim:{key}\n", ["-config:c.conf", "-host:alice#S3CRET@mx.example"],
     ["-config:c.conf", "-host:************@mx.example"]),
    (".config/ostrel.conf", ["-dkim:{key}", "-host:alice#S3CRET@mx.example"],
     ["-dkim:{key}", "-host:************@mx.example"]),
], ids=["host and proxy", "passdelim before", "passdelim in -config:", "key in -config:",
        "default configuration"])
def test_passwords_leave_the_process_list_while_a_prompt_waits(ostrel, config, given, shown):
    key = ostrel.path("key.pem")
    key.write_bytes(subprocess.run(
        ["openssl", "genpkey", "-algorithm", "ED25519", "-aes-128-cbc", "-pass", "pass:phrase"],
        capture_output=True, check=True, timeout=60).stdout)
    if config.startswith(".config/"):
        ostrel.write(config, "passdelim:#\n")
    elif config:
        ostrel.write("c.conf", config.format(key=f"example.org:sel:{key}"))
    common = ["-from:a@example.org", "-to:b@example.org", "-body:x"]
    args = cmdline_at_pass_phrase_prompt(
        ostrel, [*common, *(a.format(key=f"example.org:sel:{key}") for a in given)])
    assert args[1:] == [*common, *(a.format(key=f"example.org:sel:{key}") for a in shown)]
