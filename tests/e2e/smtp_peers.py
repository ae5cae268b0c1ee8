"""SMTP peers for the end-to-end tests: a test PKI, the recording server, a
private Postfix, the proxies and the benchmark sink, each started by the
test, stopped by PID and bounded in time.

Import the fixtures into a test module to use them:

    from smtp_peers import smtp_pki, recorder, postfix, socks_proxy, http_proxy
"""
import base64
import json
import os
import select
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

PEERS = Path(__file__).resolve().parents[1] / "peers"
PYTHON = "/usr/bin/python3"
sys.path.insert(0, str(PEERS))

import daemon_peer  # noqa: E402
from conftest import BIN, RUN_MARK  # noqa: E402


def need(program):
    for d in ("/usr/bin", "/usr/sbin", "/bin", "/sbin"):
        p = Path(d) / program
        if os.access(p, os.X_OK):
            return str(p)
    pytest.fail("%s is not installed (see tools/packages/smtp.txt)" % program)


def read_ready_line(proc, limit, what):
    """The first line the peer prints, within limit seconds."""
    deadline = time.monotonic() + limit
    line = b""
    fd = proc.stdout.fileno()
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 1)
        if not chunk:
            break
        line += chunk
    if not line.endswith(b"\n"):
        stop_process(proc)
        pytest.fail("%s did not start" % what)
    return line.decode().split()


def stop_process(proc, grace=3.0):
    if proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


# ---- waiting on a peer for the program --------------------------------------

PROGRAM = os.fsencode(BIN)
MARK = os.fsencode("%s=%s" % RUN_MARK)


def program_running():
    """Whether a run of the program under test that this test started (by the
    runner, by its own Popen, through a wrapper) is still going: a process
    below this one with the program in its command line, or with the mark
    of the runner's environment."""
    for pid in daemon_peer.process_tree(os.getpid())[1:]:
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if PROGRAM in f.read().split(b"\0"):
                    return True
            with open("/proc/%d/environ" % pid, "rb") as f:
                if MARK in f.read().split(b"\0"):
                    return True
        except OSError:
            continue
    return False


def settled(ports, program=None):
    """Whether nothing more from the program can reach the peer on ports: the
    program has exited (program: the Popen of a run the test started itself)
    and the peer is done with every connection made to it."""
    running = program.poll() is None if program is not None else program_running()
    return not running and not daemon_peer.connections_open(ports)


# A peer may write its record a moment after it closed the connection
# (aiosmtpd ends a TLS session one turn of its loop later).
LAST_WRITES = 0.1


def wait_for_peer(look, enough, limit, ports, program=None, idle=None):
    """Calls look() until enough(what it returned), for limit seconds at most,
    and returns the last result. Once the program has exited and the peer is
    done with it (see settled; idle(), when given, says the peer has nothing
    else in hand), nothing more can come: the wait ends there."""
    deadline = time.monotonic() + limit
    while True:
        got = look()
        if enough(got) or time.monotonic() > deadline:
            return got
        if settled(ports, program) and (idle is None or idle()):
            time.sleep(LAST_WRITES)
            return look()
        time.sleep(0.02)


def accept_from(listener, program, limit):
    """The first connection to listener (a listening socket) from program (a
    Popen), within limit seconds; fails as soon as the program has exited
    without one."""
    deadline = time.monotonic() + limit
    while True:
        # Looked at before the queue: a connection made before the exit is there.
        ended = program.poll() is not None
        left = max(0.0, deadline - time.monotonic())
        if select.select([listener], [], [], 0 if ended else min(left, 0.05))[0]:
            return listener.accept()
        if ended:
            pytest.fail("the program ended (status %d) without connecting" % program.returncode)
        if not left:
            pytest.fail("the program did not connect within %g s" % limit)


# ---- test PKI -------------------------------------------------------------

@dataclass
class Pki:
    ca_pem: str      # the CA certificate
    ca_dir: str      # a folder holding only cert.pem (the CA)
    hashed_dir: str  # a folder with certs/ laid out by "openssl rehash"
    cert: str        # server certificate for localhost and 127.0.0.1, ::1
    key: str
    cert_and_key: str  # both in one file (Postfix)


def make_pki(d: Path) -> Pki:
    openssl = need("openssl")
    d.mkdir(parents=True, exist_ok=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def run(*args):
        subprocess.run([openssl, *args], cwd=d, check=True, capture_output=True, timeout=30)

    run("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "3",
        "-subj", "/CN=SMTP-Test-CA")
    run("req", *ec, "-keyout", "srv.key", "-out", "srv.csr", "-subj", "/CN=localhost")
    (d / "ext.cnf").write_text("subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1\n"
                               "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n")
    run("x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
        "-CAcreateserial", "-out", "srv.pem", "-days", "2", "-extfile", "ext.cnf")
    (d / "ca").mkdir(exist_ok=True)
    (d / "ca" / "cert.pem").write_bytes((d / "ca.pem").read_bytes())
    (d / "hashed" / "certs").mkdir(parents=True, exist_ok=True)
    (d / "hashed" / "certs" / "ca.pem").write_bytes((d / "ca.pem").read_bytes())
    run("rehash", str(d / "hashed" / "certs"))
    (d / "srv-both.pem").write_bytes((d / "srv.key").read_bytes() + (d / "srv.pem").read_bytes())
    for name in ("srv.key", "srv-both.pem"):
        os.chmod(d / name, 0o644)  # read by Postfix's unprivileged processes
    return Pki(str(d / "ca.pem"), str(d / "ca"), str(d / "hashed"), str(d / "srv.pem"),
               str(d / "srv.key"), str(d / "srv-both.pem"))


@pytest.fixture(scope="session")
def smtp_pki(tmp_path_factory) -> Pki:
    return make_pki(tmp_path_factory.mktemp("smtp-pki"))


# ---- the recording server -------------------------------------------------

class Recorder:
    """tests/peers/smtp_recorder.py as a running process.

    port: plain port (STARTTLS offered when started with a PKI); tls_port:
    TLS from the first byte (0 without a PKI). Options are the script's,
    as keywords: user, password, token, mechanisms ("PLAIN,LOGIN"),
    auth_require_tls=True, dsn ("on", "off", "clear-only"),
    no_smtputf8=True, refuse=[addresses], refuse_reply="550 ...".
    """

    def __init__(self, workdir: Path, pki: Pki = None, limit=60.0, **opts):
        workdir.mkdir(parents=True, exist_ok=True)
        self.log = workdir / ("recorder-%d.jsonl" % time.monotonic_ns())
        cmd = [PYTHON, str(PEERS / "smtp_recorder.py"), "--log", str(self.log),
               "--limit", str(limit)]
        if pki:
            cmd += ["--cert", pki.cert, "--key", pki.key]
        for key, value in opts.items():
            flag = "--" + key.replace("_", "-")
            if value is True:
                cmd.append(flag)
            elif isinstance(value, (list, tuple)):
                for v in value:
                    cmd += [flag, str(v)]
            elif value is not None and value is not False:
                cmd += [flag, str(value)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=open(workdir / "recorder.err", "ab"))
        words = read_ready_line(self.proc, 15, "the recording SMTP server")
        if len(words) != 6 or words[0] != "PORT":
            stop_process(self.proc)
            pytest.fail("the recording SMTP server said %r" % words)
        self.port, self.tls_port, self.pid = int(words[1]), int(words[3]), int(words[5])

    def records(self):
        if not self.log.exists():
            return []
        with open(self.log) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def messages(self):
        """Accepted messages; "data" holds the bytes as the server took them."""
        out = []
        for r in self.records():
            if r["kind"] == "message":
                r["data"] = base64.b64decode(r["data_b64"])
                out.append(r)
        return out

    def sessions(self, count=1, timeout=5.0):
        """Ended connections; waits (bounded) until count of them are logged,
        since a session is written when the client has closed, or until the
        program has gone and every connection it made is logged."""
        return wait_for_peer(
            lambda: [r for r in self.records() if r["kind"] == "session"],
            lambda found: len(found) >= count, timeout, [p for p in (self.port, self.tls_port) if p])

    def stop(self):
        stop_process(self.proc)


@pytest.fixture
def recorder(tmp_path):
    """Factory: recorder(pki=None, **opts) -> Recorder; all stopped at the end."""
    started = []

    def start(pki=None, **opts):
        r = Recorder(tmp_path / "peers", pki, **opts)
        started.append(r)
        return r

    yield start
    for r in started:
        r.stop()


# ---- a private Postfix ----------------------------------------------------

import postfix_peer  # noqa: E402


class Postfix(postfix_peer.PostfixPeer):
    """The private Postfix of the tests: its waits end once the program has
    gone and nothing more can be delivered."""

    def wait_messages(self, user, count=1, timeout=20.0):
        """Delivery is asynchronous: polls the Maildir (bounded), until count
        messages are there, or until the program has gone and Postfix holds
        nothing more (no connection, an empty queue)."""
        return wait_for_peer(lambda: self.messages(user), lambda got: len(got) >= count, timeout,
                             [self.smtp, self.submission, self.smtps], idle=self.queue_empty)


@pytest.fixture(scope="session")
def postfix(smtp_pki):
    """Factory: postfix(strict_smtputf8=False, dsn=True, users=("me", "you"))
    -> a started Postfix (a postfix_peer.PostfixPeer), one per option set,
    shared by the session and stopped at its end. Ports: .smtp (STARTTLS
    offered), .smtp6 (the same service on ::1), .submission (STARTTLS
    required), .smtps (TLS from the first byte). Delivery is asynchronous:
    .wait_messages(user, n)."""
    need("postfix")
    need("saslpasswd2")
    running = {}

    def start(strict_smtputf8=False, dsn=True, users=("me", "you")):
        key = (strict_smtputf8, dsn, tuple(users))
        if key not in running:
            peer = Postfix(smtp_pki.cert_and_key, users=users, strict_smtputf8=strict_smtputf8,
                           dsn=dsn, limit=1800)
            if not peer.start():
                log = peer.log()
                peer.stop()
                pytest.fail("the private Postfix did not start:\n" + log[-3000:])
            running[key] = peer
        return running[key]

    yield start
    for peer in running.values():
        peer.stop()


# ---- proxies ----------------------------------------------------------------

class Daemon:
    """A daemon run through tests/peers/daemon_peer.py: .port, .pid, .log()
    (what it wrote to its standard output and error, and to its log file)."""

    def __init__(self, workdir: Path, argv, files=(), first_port=0, tries=8, limit=300.0,
                 log_file=None):
        workdir.mkdir(parents=True, exist_ok=True)
        self.out = workdir / ("%s-%d.out" % (Path(argv[0]).name, time.monotonic_ns()))
        self.log_file = log_file
        cmd = [PYTHON, str(PEERS / "daemon_peer.py"), "--limit", str(limit),
               "--first-port", str(first_port), "--tries", str(tries)]
        for path, text in files:
            cmd += ["--file", str(path), text]
        self.proc = subprocess.Popen(cmd + ["--"] + list(argv), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=open(self.out, "ab"))
        words = read_ready_line(self.proc, 60, argv[0])
        if len(words) != 4 or words[0] != "PORT":
            stop_process(self.proc)
            pytest.fail("%s did not start: %s" % (argv[0], self.log()))
        self.port, self.pid = int(words[1]), int(words[3])

    def log(self):
        text = self.out.read_text(errors="replace") if self.out.exists() else ""
        if self.log_file and Path(self.log_file).exists():
            text += Path(self.log_file).read_text(errors="replace")
        return text

    def stop(self):
        stop_process(self.proc)


def world_readable_dir(prefix):
    """A folder under /tmp that a daemon running as another user can reach."""
    import tempfile
    d = Path(tempfile.mkdtemp(prefix=prefix, dir="/tmp"))
    os.chmod(d, 0o755)
    return d


@pytest.fixture
def socks_proxy(tmp_path):
    """Factory: socks_proxy(user=None, password=None, first_port=0, tries=8)
    -> microsocks on 127.0.0.1 as a Daemon. first_port=1080 with tries=1
    asks for the default port exactly."""
    started = []

    def start(user=None, password=None, first_port=0, tries=8):
        argv = [need("microsocks"), "-i", "127.0.0.1", "-p", "{port}"]
        if user is not None:
            argv += ["-u", user, "-P", password]
        d = Daemon(tmp_path / "peers", argv, first_port=first_port, tries=tries)
        started.append(d)
        return d

    yield start
    for d in started:
        d.stop()


@pytest.fixture
def http_proxy():
    """Factory: http_proxy(user=None, password=None, first_port=0, tries=8)
    -> tinyproxy (HTTP CONNECT to any port) on 127.0.0.1 as a Daemon; with a
    user it asks for BasicAuth (407 without, 401 with wrong credentials).
    Its log file (LogLevel Info) shows each CONNECT request."""
    started, dirs = [], []

    def start(user=None, password=None, first_port=0, tries=8):
        d = world_readable_dir("ostrel-tinyproxy-")
        dirs.append(d)
        log = d / "tinyproxy.log"
        log.touch()
        os.chmod(log, 0o666)
        conf = ("Port {port}\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Info\n"
                "LogFile \"%s\"\nMaxClients 20\nTimeout 60\n" % log)
        if user is not None:
            conf += "BasicAuth %s %s\n" % (user, password)
        daemon = Daemon(d, [need("tinyproxy"), "-d", "-c", str(d / "tinyproxy.conf")],
                        files=[(d / "tinyproxy.conf", conf)], first_port=first_port,
                        tries=tries, log_file=log)
        started.append(daemon)
        return daemon

    yield start
    for daemon in started:
        daemon.stop()
    import shutil
    for d in dirs:
        shutil.rmtree(d, ignore_errors=True)


# ---- the benchmark sink -------------------------------------------------------

class Sink:
    """tests/peers/smtp_sink.py: .port, .pid, .sizes() (bytes per message)."""

    def __init__(self, workdir: Path, limit=300.0):
        workdir.mkdir(parents=True, exist_ok=True)
        self.log = workdir / ("sink-%d.jsonl" % time.monotonic_ns())
        self.proc = subprocess.Popen(
            [PYTHON, str(PEERS / "smtp_sink.py"), "--log", str(self.log), "--limit", str(limit)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        words = read_ready_line(self.proc, 15, "the SMTP sink")
        self.port, self.pid = int(words[1]), int(words[3])

    def sizes(self):
        if not self.log.exists():
            return []
        return [json.loads(line)["bytes"] for line in open(self.log) if line.endswith("\n")]

    def stop(self):
        stop_process(self.proc)


@pytest.fixture
def smtp_sink(tmp_path):
    s = Sink(tmp_path / "peers")
    yield s
    s.stop()
