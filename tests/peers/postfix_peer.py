#!/usr/bin/python3
"""A private Postfix instance for the SMTP client's tests.

  postfix_peer.py --pki-cert PEM_WITH_KEY [--strict-smtputf8] [--no-dsn]
                  [--limit S]

Runs Postfix's master in the foreground ("master -c DIR -s", what
"postfix -c DIR start-fg" runs, without the shell in between) with a
configuration directory of its own
under /tmp (every parent searchable by the postfix user), on free loopback
ports:

  smtp        127.0.0.1: STARTTLS offered, AUTH in clear too
  smtp6       [::1] on the same service, for the IPv6 address literal
  submission  127.0.0.1: STARTTLS required before anything else
  smtps       127.0.0.1: TLS from the first byte

Mail for example.org goes into Maildirs under DIR/mail/<user>/ for the
users given (default: "me" and "you"); any other recipient there is
refused ("User unknown in virtual mailbox table"). SASL is Cyrus over a
sasldb with PLAIN, LOGIN and CRAM-MD5 for "user@example.org" / "secret".
DSN is on (off with --no-dsn), SMTPUTF8 too, optionally strict; HELO names
are checked with reject_invalid_helo_hostname. Postfix logs to DIR/maillog.

As a program it prints "SMTP p SMTP6 p SUBMISSION p SMTPS p DIR d PID n"
once every port answers, and runs until --limit seconds, SIGTERM or the
end of its parent. From Python, use PostfixPeer (start, stop, the messages
in a Maildir, whether the queue is empty).
"""
import argparse
import ctypes
import os
import pwd
import grp
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PR_SET_PDEATHSIG = 1
DOMAIN = "example.org"
SASL_USER = "user"
SASL_PASSWORD = "secret"

MASTER_CF = """\
{smtp_addr} inet n - n - - smtpd
{smtp6_addr} inet n - n - - smtpd
{submission_addr} inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes
{smtps_addr} inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
"""

MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {dir}/queue
data_directory = {dir}/data
myhostname = postfix.test
mydomain = postfix.test
myorigin = $myhostname
mydestination =
local_recipient_maps =
inet_interfaces = all
inet_protocols = all
mynetworks = 127.0.0.0/8 [::1]/128
relayhost =
maillog_file = {dir}/log/maillog
maillog_file_prefixes = {dir}/log
biff = no
append_dot_mydomain = no
smtpd_banner = $myhostname ESMTP
virtual_mailbox_domains = {domain}
virtual_mailbox_base = {dir}/mail
virtual_mailbox_maps = texthash:{dir}/vmailbox
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
virtual_minimum_uid = 1
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_invalid_helo_hostname
smtpd_relay_restrictions = permit_sasl_authenticated, reject_unauth_destination
smtpd_recipient_restrictions =
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
cyrus_sasl_config_path = {dir}/sasl
smtpd_sasl_security_options = noanonymous
smtpd_sasl_local_domain =
smtpd_tls_security_level = may
smtpd_tls_auth_only = no
smtpd_tls_chain_files = {dir}/tls/chain.pem
smtpd_tls_loglevel = 1
smtputf8_enable = yes
strict_smtputf8 = {strict}
smtpd_discard_ehlo_keywords = {discard}
delay_warning_time = 0
bounce_queue_lifetime = 0
maximal_queue_lifetime = 1h
queue_run_delay = 1s
minimal_backoff_time = 1s
maximal_backoff_time = 2s
smtp_dns_support_level = disabled
disable_dns_lookups = yes
"""

SASL_CONF = """\
pwcheck_method: auxprop
auxprop_plugin: sasldb
mech_list: PLAIN LOGIN CRAM-MD5
sasldb_path: {dir}/sasl/sasldb2
"""


def free_ports(count, family=socket.AF_INET, host="127.0.0.1"):
    """Ports nobody listens on now; Postfix's own bind decides."""
    socks, ports = [], []
    for _ in range(count):
        s = socket.socket(family, socket.SOCK_STREAM)
        s.bind((host, 0))
        socks.append(s)
        ports.append(s.getsockname()[1])
    for s in socks:
        s.close()
    return ports


def answers(host, port, tls=False, timeout=0.5):
    """True when an SMTP greeting arrives (a plain connect for the TLS port)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    try:
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.settimeout(timeout)
            s.connect((host, port))
            return tls or s.recv(4).startswith(b"220")
    except OSError:
        return False


class PostfixPeer:
    def __init__(self, chain_pem, users=("me", "you"), strict_smtputf8=False, dsn=True,
                 limit=120.0):
        self.users = list(users)
        self.strict = strict_smtputf8
        self.dsn = dsn
        self.limit = limit
        self.chain_pem = chain_pem
        self.proc = None
        self.guard = None
        # Postfix's unprivileged processes must reach the folder: no 0700
        # parent on the way (pytest's own folders are 0700).
        self.dir = Path(tempfile.mkdtemp(prefix="ostrel-postfix-", dir="/tmp"))
        os.chmod(self.dir, 0o755)
        # The master changes its credentials, which clears a parent-death
        # signal: a guard process ends the instance, and removes its folder,
        # with the test instead.
        self.guard = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--guard", str(self.dir),
             "--parent", str(os.getpid()), "--limit", str(limit + 5)], stdin=subprocess.DEVNULL)

    # ---- set-up ------------------------------------------------------------

    def configure(self):
        d = self.dir
        pw = pwd.getpwnam("postfix")
        for sub in ("queue", "data", "log", "mail", "sasl", "tls"):
            (d / sub).mkdir(exist_ok=True)
            os.chmod(d / sub, 0o755)
        os.chown(d / "data", pw.pw_uid, pw.pw_gid)
        os.chown(d / "mail", pw.pw_uid, pw.pw_gid)
        shutil.copyfile(self.chain_pem, d / "tls" / "chain.pem")
        os.chmod(d / "tls" / "chain.pem", 0o600)  # read by smtpd before it drops root
        (d / "vmailbox").write_text("".join("%s@%s %s/\n" % (u, DOMAIN, u) for u in self.users))
        (d / "main.cf").write_text(MAIN_CF.format(
            dir=d, domain=DOMAIN, uid=pw.pw_uid, gid=pw.pw_gid,
            strict="yes" if self.strict else "no",
            discard="" if self.dsn else "dsn"))
        (d / "sasl" / "smtpd.conf").write_text(SASL_CONF.format(dir=d))
        subprocess.run(["/usr/sbin/saslpasswd2", "-c", "-p", "-f", str(d / "sasl" / "sasldb2"),
                        "-u", DOMAIN, SASL_USER], input=SASL_PASSWORD.encode(), check=True,
                       capture_output=True, timeout=30)
        os.chown(d / "sasl" / "sasldb2", 0, grp.getgrnam("postfix").gr_gid)
        os.chmod(d / "sasl" / "sasldb2", 0o640)

    def write_master(self):
        self.smtp, self.submission, self.smtps = free_ports(3)
        self.smtp6 = self.smtp
        (self.dir / "master.cf").write_text(MASTER_CF.format(
            smtp_addr="127.0.0.1:%d" % self.smtp, smtp6_addr="[::1]:%d" % self.smtp6,
            submission_addr="127.0.0.1:%d" % self.submission,
            smtps_addr="127.0.0.1:%d" % self.smtps))

    def start(self, ready=20.0, tries=3):
        self.configure()
        daemons = subprocess.run(["/usr/sbin/postconf", "-h", "daemon_directory"],
                                 capture_output=True, text=True, timeout=30).stdout.strip()
        for _ in range(tries):
            self.write_master()
            # Creates the queue folders with their owners.
            subprocess.run(["/usr/sbin/postfix", "-c", str(self.dir), "check"],
                           capture_output=True, timeout=60)
            limit = max(1, int(self.limit + 0.999))

            err = open(self.dir / "log" / "master.err", "ab")
            # The master itself in the foreground (postfix start-fg would put
            # a shell between it and us), ending by itself after the limit.
            # MAIL_CONFIG marks it and its children as this instance's.
            env = dict(os.environ, MAIL_CONFIG=str(self.dir))
            self.proc = subprocess.Popen(
                [daemons + "/master", "-c", str(self.dir), "-s", "-e", str(limit)],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, env=env)
            deadline = time.monotonic() + ready
            while self.proc.poll() is None and time.monotonic() < deadline:
                if (answers("127.0.0.1", self.smtp) and answers("::1", self.smtp6)
                        and answers("127.0.0.1", self.submission)
                        and answers("127.0.0.1", self.smtps, tls=True)):
                    return True
                time.sleep(0.1)
            self.stop(remove=False)
        return False

    # ---- use ---------------------------------------------------------------

    def maildir(self, user):
        return self.dir / "mail" / user

    def messages(self, user):
        """The messages delivered to user's Maildir, oldest first."""
        found = []
        for sub in ("new", "cur"):
            folder = self.maildir(user) / sub
            if folder.is_dir():
                found += [p for p in folder.iterdir() if p.is_file()]
        found.sort(key=lambda p: (p.stat().st_mtime_ns, p.name))
        return [p.read_bytes() for p in found]

    def queue_empty(self):
        """Whether no message waits to be picked up, delivered or retried:
        every message taken has then been delivered or bounced (a bounce or
        a delivery report is queued before its message leaves)."""
        def unreadable(error):
            raise error

        try:
            for sub in ("maildrop", "incoming", "active", "deferred"):
                for _, _, files in os.walk(self.dir / "queue" / sub, onerror=unreadable):
                    if files:
                        return False
        except OSError:
            return False
        return True

    def log(self):
        try:
            return (self.dir / "log" / "maillog").read_text(errors="replace")
        except OSError:
            return ""

    def stop(self, remove=True):
        if remove and self.guard and self.guard.poll() is None:
            self.guard.kill()
            self.guard.wait()
        if self.proc and self.proc.poll() is None:
            # The master stops the processes it started.
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.kill_leftovers()
        if remove:
            shutil.rmtree(self.dir, ignore_errors=True)

    def kill_leftovers(self):
        kill_instance(self.dir, signal.SIGKILL)


def kill_instance(folder, sig):
    """Signals every process of the instance in folder: they carry it in
    MAIL_CONFIG. True when one was found."""
    mark = ("MAIL_CONFIG=%s" % folder).encode()
    found = False
    for name in os.listdir("/proc"):
        if not name.isdigit() or int(name) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if mark in f.read().split(b"\0"):
                    os.kill(int(name), sig)
                    found = True
        except OSError:
            continue
    return found


def guard(folder, parent, limit):
    """Waits for the end of its parent (the test) or of its limit, then
    stops the instance in folder and removes the folder."""
    def finish(*_):
        if kill_instance(folder, signal.SIGTERM):
            deadline = time.monotonic() + 5
            while kill_instance(folder, 0) and time.monotonic() < deadline:
                time.sleep(0.1)
            kill_instance(folder, signal.SIGKILL)
        shutil.rmtree(folder, ignore_errors=True)
        os._exit(0)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGALRM):
        signal.signal(sig, finish)
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
    if os.getppid() != parent:
        finish()
    signal.alarm(max(1, int(limit + 0.999)))
    while True:
        signal.pause()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pki-cert", help="server key and certificate chain")
    ap.add_argument("--guard", metavar="DIR", help="(internal) stop the instance in DIR "
                    "when the parent ends")
    ap.add_argument("--parent", type=int, default=0, help="(internal) the guard's parent")
    ap.add_argument("--strict-smtputf8", action="store_true")
    ap.add_argument("--no-dsn", action="store_true")
    ap.add_argument("--limit", type=float, default=120.0)
    args = ap.parse_args()
    if args.guard:
        return guard(args.guard, args.parent, args.limit)
    if not args.pki_cert:
        ap.error("--pki-cert is required")
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
    peer = PostfixPeer(args.pki_cert, strict_smtputf8=args.strict_smtputf8, dsn=not args.no_dsn,
                       limit=args.limit)

    def finish(*_):
        peer.stop()
        os._exit(0)

    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGALRM):
        signal.signal(sig, finish)
    signal.alarm(max(1, int(args.limit + 0.999)))
    if not peer.start():
        print("FAILED", flush=True)
        sys.stderr.write(peer.log())
        peer.stop()
        return 1
    print("SMTP %d SMTP6 %d SUBMISSION %d SMTPS %d DIR %s PID %d" % (
        peer.smtp, peer.smtp6, peer.submission, peer.smtps, peer.dir, peer.proc.pid), flush=True)
    peer.proc.wait()
    peer.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
