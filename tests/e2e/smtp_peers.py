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
        since a session is written when the client has closed."""
        deadline = time.monotonic() + timeout
        while True:
            found = [r for r in self.records() if r["kind"] == "session"]
            if len(found) >= count or time.monotonic() > deadline:
                return found
            time.sleep(0.02)

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
