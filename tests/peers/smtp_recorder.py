#!/usr/bin/python3
"""Recording SMTP server for the client's end-to-end tests (aiosmtpd).

  smtp_recorder.py --log FILE [--cert PEM --key PEM] [--user U --password P]
                   [--token T] [--mechanisms LIST] [--auth-require-tls]
                   [--dsn on|off|clear-only] [--no-smtputf8]
                   [--refuse ADDR]... [--refuse-reply TEXT] [--line-limit N]
                   [--limit S]

Listens on 127.0.0.1: a plain port (offering STARTTLS when a certificate is
given) and, with a certificate, a port with TLS from the first byte. Prints
"PORT <plain> TLSPORT <tls or 0> PID <pid>" on standard output once both
listen.

It offers AUTH with PLAIN, LOGIN, CRAM-MD5 (user and password), XOAUTH2 and
OAUTHBEARER (user and token); --mechanisms limits the list. AUTH is offered
in clear unless --auth-require-tls. DSN is announced and its parameters
(RET, ENVID on MAIL; NOTIFY, ORCPT on RCPT) accepted and checked ("on"),
never announced and refused with 555 ("off"), or announced in clear only,
so that a client that keeps the capabilities of the clear session after
STARTTLS gets 555 ("clear-only"). Recipients named with --refuse get the
--refuse-reply. Lines (commands, AUTH answers, message lines) are taken up
to --line-limit bytes (1001, as RFC 5321 allows, unless raised).

Every record is one JSON line in the log file:
  {"kind": "session", "session": N, "tls_first": bool, "tls": bool,
   "ehlo": name or null, "helo": name or null, "commands": [[VERB, arg]...],
   "auth": [{"mechanism", "login", "secret", "ok"}...]}
      written when the connection ends; "secret" is the password or token
  {"kind": "message", "session": N, "tls": bool, "ehlo": ..., "auth": the
   accepted AUTH or null, "mail_from": ..., "rcpt_tos": [...],
   "mail_arg": raw MAIL argument text, "rcpt_args": [raw RCPT argument
   texts of accepted recipients], "data_b64": message bytes (unstuffed)}
      written when the final dot is accepted

The process ends after --limit seconds, on SIGTERM, and with its parent.
"""
import argparse
import asyncio
import base64
import ctypes
import hashlib
import hmac
import json
import os
import re
import signal
import socket
import ssl
import sys
import time
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

PR_SET_PDEATHSIG = 1
MECHANISMS = ("PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER")
XTEXT = re.compile(r"^(?:[!-*,-<>-~]|\+[0-9A-F]{2})+$")
NOTIFY = re.compile(r"^(?:NEVER|(?:SUCCESS|FAILURE|DELAY)(?:,(?:SUCCESS|FAILURE|DELAY))*)$",
                    re.IGNORECASE)
DSN_KEYS = {"MAIL": ("RET", "ENVID"), "RCPT": ("NOTIFY", "ORCPT")}


def params_of(arg):
    """The ESMTP parameters after the address of a raw MAIL or RCPT argument."""
    rest = arg.split(">", 1)[1] if ">" in arg else ""
    out = []
    for p in rest.split():
        key, eq, value = p.partition("=")
        out.append((key.upper(), value if eq else None))
    return out


def dsn_error(verb, params):
    """The reply to a malformed DSN parameter, or None."""
    for key, value in params:
        if verb == "MAIL" and key == "RET" and (value or "").upper() not in ("FULL", "HDRS"):
            return "501 5.5.4 Bad RET parameter syntax"
        if verb == "MAIL" and key == "ENVID" and (not value or len(value) > 300
                                                  or not XTEXT.match(value)):
            return "501 5.5.4 Bad ENVID parameter syntax"
        if verb == "RCPT" and key == "NOTIFY" and not NOTIFY.match(value or ""):
            return "501 5.5.4 Bad NOTIFY parameter syntax"
        if verb == "RCPT" and key == "ORCPT" and not re.match(r"^[A-Za-z0-9-]+;.+$", value or ""):
            return "501 5.5.4 Bad ORCPT parameter syntax"
    return None


class Recorder:
    """Shared state of the server: options, the log and the session counter."""

    def __init__(self, args):
        self.args = args
        self.log = open(args.log, "a", buffering=1)
        self.sessions = 0

    def write(self, record):
        self.log.write(json.dumps(record) + "\n")
        self.log.flush()


class Handler:
    """aiosmtpd hooks: EHLO keywords, refused recipients, the message record,
    and the three mechanisms aiosmtpd does not have."""

    def __init__(self, rec):
        self.rec = rec

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        server.note_hello("ehlo", hostname)
        if server.dsn_announced():
            responses.insert(len(responses) - 1, "250-DSN")
        return responses

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.lower() in (a.lower() for a in self.rec.args.refuse):
            return self.rec.args.refuse_reply
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(options)
        server.accepted_rcpt_args.append(server.last_rcpt_arg)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        self.rec.write({
            "kind": "message", "session": server.number, "tls": server.tls_on(),
            "ehlo": server.hello.get("ehlo"), "auth": server.accepted_auth,
            "mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
            "mail_arg": server.last_mail_arg, "rcpt_args": list(server.accepted_rcpt_args),
            "data_b64": base64.b64encode(envelope.original_content).decode("ascii"),
        })
        return "250 2.0.0 OK queued as R%d" % server.number

    async def auth_CRAM__MD5(self, server, args):
        challenge = "<%d.%d@recorder.test>" % (os.getpid(), time.monotonic_ns())
        answer = await server.challenge_auth(challenge)
        if not isinstance(answer, bytes):
            return AuthResult(success=False, handled=True)
        login, _, digest = answer.decode("utf-8", "replace").rpartition(" ")
        want = hmac.new(self.rec.args.password.encode(), challenge.encode(),
                        hashlib.md5).hexdigest()
        ok = login == self.rec.args.user and hmac.compare_digest(digest, want)
        return server.note_auth("CRAM-MD5", login, digest, ok)

    async def oauth(self, server, args, mechanism):
        if len(args) > 1:
            try:
                blob = base64.b64decode(args[1], validate=True)
            except ValueError:
                await server.push("501 5.5.2 Can't decode base64")
                return AuthResult(success=False, handled=True)
        else:
            blob = await server.challenge_auth("")
            if not isinstance(blob, bytes):
                return AuthResult(success=False, handled=True)
        text = blob.decode("utf-8", "replace")
        parts = text.split("\x01")
        login, token = "", ""
        for part in parts:
            if part.startswith("user="):
                login = part[5:]
            elif part.startswith("n,") and mechanism == "OAUTHBEARER":
                for item in part.split(","):
                    if item.startswith("a="):
                        login = item[2:]
            elif part.lower().startswith("auth=bearer "):
                token = part[12:]
        wire_ok = (text.endswith("\x01\x01") and (mechanism == "XOAUTH2" or text.startswith("n,")))
        ok = wire_ok and login == self.rec.args.user and token == self.rec.args.token
        if not ok:
            # Both mechanisms answer a failure with an error challenge the
            # client must acknowledge before the final reply.
            err = json.dumps({"status": "invalid_token", "schemes": "bearer"})
            await server.challenge_auth(err)
        return server.note_auth(mechanism, login, token, ok)

    async def auth_XOAUTH2(self, server, args):
        return await self.oauth(server, args, "XOAUTH2")

    async def auth_OAUTHBEARER(self, server, args):
        return await self.oauth(server, args, "OAUTHBEARER")


class RecordingSMTP(SMTP):
    command_size_limit = 4096
    line_length_limit = 1001

    def __init__(self, rec, handler, tls_first, **kw):
        self.rec = rec
        self.tls_first = tls_first
        super().__init__(handler, **kw)
        self.command_size_limits = __import__("collections").defaultdict(lambda: 4096)
        rec.sessions += 1
        self.number = rec.sessions
        self.commands = []
        self.hello = {}
        self.auth_attempts = []
        self.accepted_auth = None
        self.last_mail_arg = None
        self.last_rcpt_arg = None
        self.accepted_rcpt_args = []
        self.written = False
        self.tls_seen = False
        # Every command is noted as it arrived, before aiosmtpd looks at it.
        for verb, method in list(self._smtp_methods.items()):
            self._smtp_methods[verb] = self.noting(verb, method)

    def noting(self, verb, method):
        async def call(arg):
            self.commands.append([verb, arg])
            self.tls_on()
            if verb == "MAIL":
                self.last_mail_arg = arg
                self.accepted_rcpt_args = []
            elif verb == "RCPT":
                self.last_rcpt_arg = arg
            elif verb in ("RSET", "EHLO", "HELO"):
                self.accepted_rcpt_args = []
            if verb in ("MAIL", "RCPT") and arg:
                params = params_of(arg)
                dsn_keys = [k for k, _ in params if k in DSN_KEYS[verb]]
                if dsn_keys and not self.dsn_announced():
                    return await self.push("555 5.5.4 %s parameters not recognized or not "
                                           "implemented" % ("MAIL FROM" if verb == "MAIL"
                                                            else "RCPT TO"))
                err = dsn_error(verb, params)
                if err:
                    return await self.push(err)
            return await method(arg)
        return call

    def _getparams(self, params):
        # The DSN parameters were checked on the raw text; aiosmtpd itself
        # knows none of them.
        result = super()._getparams(params)
        if result is not None and self.dsn_announced():
            for key in ("RET", "ENVID", "NOTIFY", "ORCPT"):
                result.pop(key, None)
        return result

    async def smtp_HELO(self, hostname):
        self.note_hello("helo", hostname)
        return await super().smtp_HELO(hostname)

    def note_hello(self, verb, name):
        self.hello[verb] = name

    def tls_on(self):
        try:
            on = self.transport is not None and \
                self.transport.get_extra_info("ssl_object") is not None
        except AttributeError:  # a TLS transport already torn down
            on = False
        self.tls_seen = self.tls_seen or on
        return on

    def dsn_announced(self):
        mode = self.rec.args.dsn
        return mode == "on" or (mode == "clear-only" and not self.tls_on())

    def note_auth(self, mechanism, login, secret, ok):
        if isinstance(login, bytes):
            login = login.decode("utf-8", "replace")
        if isinstance(secret, bytes):
            secret = secret.decode("utf-8", "replace")
        attempt = {"mechanism": mechanism, "login": login, "secret": secret, "ok": bool(ok)}
        self.auth_attempts.append(attempt)
        if ok:
            self.accepted_auth = attempt
            return AuthResult(success=True, auth_data=LoginPassword(login.encode(), b""))
        return AuthResult(success=False, handled=False,
                          message="535 5.7.8 Authentication credentials invalid")

    def connection_lost(self, error):
        if not self.written:
            self.written = True
            self.rec.write({
                "kind": "session", "session": self.number, "tls_first": self.tls_first,
                "tls": self.tls_seen or self.tls_first, "ehlo": self.hello.get("ehlo"),
                "helo": self.hello.get("helo"), "commands": self.commands,
                "auth": self.auth_attempts,
            })
        super().connection_lost(error)


def password_check(rec):
    """aiosmtpd's authenticator for its own PLAIN and LOGIN."""
    def check(server, session, envelope, mechanism, data):
        ok = (data.login.decode("utf-8", "replace") == rec.args.user
              and data.password.decode("utf-8", "replace") == rec.args.password)
        return server.note_auth(mechanism, data.login, data.password, ok)
    return check


async def serve(args):
    rec = Recorder(args)
    handler = Handler(rec)
    tls = None
    if args.cert:
        tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls.load_cert_chain(args.cert, args.key)
    excluded = [m for m in MECHANISMS if m not in args.mechanisms.split(",")]
    common = dict(hostname="recorder.test", enable_SMTPUTF8=not args.no_smtputf8,
                  auth_require_tls=args.auth_require_tls, auth_exclude_mechanism=excluded,
                  authenticator=password_check(rec), timeout=args.limit)
    loop = asyncio.get_running_loop()
    plain = await loop.create_server(
        lambda: RecordingSMTP(rec, handler, False, tls_context=tls, **common),
        "127.0.0.1", args.port)
    tls_port = 0
    if tls:
        first = await loop.create_server(
            lambda: RecordingSMTP(rec, handler, True, tls_context=None, **common),
            "127.0.0.1", 0, ssl=tls)
        tls_port = first.sockets[0].getsockname()[1]
    print("PORT %d TLSPORT %d PID %d" % (plain.sockets[0].getsockname()[1], tls_port,
                                         os.getpid()), flush=True)
    await asyncio.sleep(args.limit)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--log", required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--user", default="user")
    ap.add_argument("--password", default="secret")
    ap.add_argument("--token", default="token")
    ap.add_argument("--mechanisms", default=",".join(MECHANISMS))
    ap.add_argument("--auth-require-tls", action="store_true")
    ap.add_argument("--dsn", choices=("on", "off", "clear-only"), default="on")
    ap.add_argument("--no-smtputf8", action="store_true")
    ap.add_argument("--refuse", action="append", default=[])
    ap.add_argument("--refuse-reply", default="550 5.1.1 Recipient address rejected")
    ap.add_argument("--line-limit", type=int, default=1001,
                    help="longest command or message line taken, with its CR LF")
    ap.add_argument("--limit", type=float, default=60.0)
    args = ap.parse_args()
    RecordingSMTP.line_length_limit = args.line_limit

    warnings.simplefilter("ignore")
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
    signal.signal(signal.SIGALRM, lambda *_: os._exit(0))
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.alarm(max(1, int(args.limit + 1.999)))
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
