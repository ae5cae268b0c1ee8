"""The SMTP test peers proven with Python's smtplib, before the client that
the end-to-end tests aim at them: what they offer, refuse and record."""
import base64
import email
import smtplib
import socket
import ssl
import subprocess
import time

import pytest

from smtp_peers import (http_proxy, postfix, recorder, smtp_pki, smtp_sink,  # noqa: F401
                        socks_proxy)

TIMEOUT = 10
MESSAGE = b"From: a@example.org\r\nSubject: peers\r\n\r\n.dot line\r\nbody\r\n"


def xoauth2(user, token):
    return base64.b64encode(("user=%s\x01auth=Bearer %s\x01\x01" % (user, token)).encode())


def oauthbearer(user, token):
    return base64.b64encode(("n,a=%s,\x01auth=Bearer %s\x01\x01" % (user, token)).encode())


def authenticate(s, mechanism, user, secret):
    """One AUTH exchange by smtplib; the final reply."""
    if mechanism in ("PLAIN", "LOGIN", "CRAM-MD5"):
        s.user, s.password = user, secret
        method = {"PLAIN": s.auth_plain, "LOGIN": s.auth_login, "CRAM-MD5": s.auth_cram_md5}
        try:
            return s.auth(mechanism, method[mechanism], initial_response_ok=False)[0]
        except smtplib.SMTPAuthenticationError as e:
            return e.smtp_code
    blob = (xoauth2 if mechanism == "XOAUTH2" else oauthbearer)(user, secret)
    code, _ = s.docmd("AUTH", "%s %s" % (mechanism, blob.decode()))
    if code == 334:  # the error challenge: acknowledged, then the final reply
        code, _ = s.docmd("AQ==")
    return code


def send(s, sender="a@example.org", rcpts=("b@example.org",), mail_opts=(), rcpt_opts=()):
    code, text = s.mail(sender, list(mail_opts))
    assert code == 250, text
    for r in rcpts:
        s.rcpt(r, list(rcpt_opts))
    return s.data(MESSAGE)


# ---- the recording server ---------------------------------------------------

@pytest.mark.parametrize("mechanism", ["PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"])
def test_recorder_auth_mechanisms(recorder, mechanism):
    rec = recorder(user="u@example.org", password="pa ss", token="tok-1")
    secret = "tok-1" if "OAUTH" in mechanism else "pa ss"
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert mechanism in s.esmtp_features["auth"].split()
        assert authenticate(s, mechanism, "u@example.org", "wrong") == 535
        assert authenticate(s, mechanism, "u@example.org", secret) == 235
        send(s)
    attempts = rec.sessions()[0]["auth"]
    assert [(a["mechanism"], a["login"], a["ok"]) for a in attempts] == [
        (mechanism, "u@example.org", False), (mechanism, "u@example.org", True)]
    if mechanism != "CRAM-MD5":  # only a digest travels there
        assert attempts[1]["secret"] == secret
    [m] = rec.messages()
    assert m["auth"]["mechanism"] == mechanism
    assert m["data"] == MESSAGE


def test_recorder_mechanism_names_are_upper_case_and_can_be_limited(recorder):
    rec = recorder(mechanisms="LOGIN,XOAUTH2")
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert s.esmtp_features["auth"].split() == ["LOGIN", "XOAUTH2"]
        assert s.docmd("AUTH", "login")[0] == 504
        assert s.docmd("AUTH", "PLAIN " + base64.b64encode(b"\0user\0secret").decode())[0] == 504


def test_recorder_auth_only_after_tls_when_asked(recorder, smtp_pki):
    rec = recorder(smtp_pki, auth_require_tls=True)
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert "auth" not in s.esmtp_features and "starttls" in s.esmtp_features
        s.starttls(context=ssl.create_default_context(cafile=smtp_pki.ca_pem))
        s.ehlo("client.test")
        assert "auth" in s.esmtp_features and "starttls" not in s.esmtp_features


def test_recorder_dsn_parameters_recorded_as_sent(recorder):
    rec = recorder()
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("[127.0.0.1]")
        assert "dsn" in s.esmtp_features
        assert send(s, mail_opts=["RET=HDRS", "ENVID=a+2Bb+20c"],
                    rcpt_opts=["NOTIFY=SUCCESS,FAILURE", "ORCPT=rfc822;b@example.org"])[0] == 250
        # Malformed DSN texts are refused as a strict server refuses them.
        s.rset()
        s.mail("a@example.org")
        for opts, code in ((["NOTIFY=SOMETIMES"], 501), (["NOTIFY=never"], 250)):
            assert s.rcpt("c@example.org", opts)[0] == code, opts
        s.rset()
        # xtext: upper-case hex after "+", no "=" and no blank
        for opts, code in ((["ENVID=a+2bb"], 501), (["ENVID=a=b"], 501),
                           (["ENVID=a", "b"], 555)):
            assert s.mail("a@example.org", opts)[0] == code, opts
    [m] = rec.messages()
    assert m["mail_arg"] == "FROM:<a@example.org> RET=HDRS ENVID=a+2Bb+20c"
    assert m["rcpt_args"] == ["TO:<b@example.org> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;b@example.org"]
    assert m["ehlo"] == "[127.0.0.1]"


@pytest.mark.parametrize("dsn", ["off", "clear-only"])
def test_recorder_refuses_dsn_where_not_announced(recorder, smtp_pki, dsn):
    rec = recorder(smtp_pki, dsn=dsn)
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert ("dsn" in s.esmtp_features) == (dsn == "clear-only")
        if dsn == "clear-only":
            s.starttls(context=ssl.create_default_context(cafile=smtp_pki.ca_pem))
            s.ehlo("client.test")
            assert "dsn" not in s.esmtp_features
        assert s.mail("a@example.org", ["RET=FULL"])[0] == 555
        assert s.mail("a@example.org")[0] == 250
        assert s.rcpt("b@example.org", ["NOTIFY=SUCCESS"])[0] == 555
        assert s.rcpt("b@example.org")[0] == 250


def test_recorder_starttls_and_tls_from_the_first_byte(recorder, smtp_pki):
    rec = recorder(smtp_pki)
    ctx = ssl.create_default_context(cafile=smtp_pki.ca_pem)
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        s.starttls(context=ctx)
        s.ehlo("client.test")
        send(s)
    with smtplib.SMTP_SSL("localhost", rec.tls_port, timeout=TIMEOUT, context=ctx) as s:
        s.ehlo("client.test")
        assert "starttls" not in s.esmtp_features
        send(s)
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        send(s)
    assert [m["tls"] for m in rec.messages()] == [True, True, False]
    assert [(x["tls_first"], x["tls"]) for x in rec.sessions(3)] == [
        (False, True), (True, True), (False, False)]


def test_recorder_refuses_recipients_on_demand_and_keeps_utf8(recorder):
    rec = recorder(refuse=["no@example.org"], refuse_reply="550 5.1.1 <no@example.org>: gone")
    with smtplib.SMTP("127.0.0.1", rec.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert "smtputf8" in s.esmtp_features
        assert s.mail("j\u00f6rg@example.org", ["SMTPUTF8"])[0] == 250
        assert s.rcpt("NO@example.org")[0] == 550
        assert s.rcpt("b\u00fc@example.org")[0] == 250
        assert s.data(MESSAGE)[0] == 250
    [m] = rec.messages()
    assert m["mail_from"] == "j\u00f6rg@example.org"
    assert m["rcpt_tos"] == ["b\u00fc@example.org"]
    assert m["mail_arg"] == "FROM:<j\u00f6rg@example.org> SMTPUTF8"
    assert email.message_from_bytes(m["data"])["Subject"] == "peers"


# ---- the private Postfix ----------------------------------------------------

def test_postfix_delivers_with_sasl_over_starttls_and_reports_dsn(postfix, smtp_pki):
    pf = postfix()
    before_you, before_me = len(pf.messages("you")), len(pf.messages("me"))
    ctx = ssl.create_default_context(cafile=smtp_pki.ca_pem)
    with smtplib.SMTP("127.0.0.1", pf.submission, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert s.mail("me@example.org")[0] == 530  # STARTTLS first on this port
        s.starttls(context=ctx)
        s.ehlo("client.test")
        assert set(s.esmtp_features["auth"].split()) == {"PLAIN", "LOGIN", "CRAM-MD5"}
        assert "dsn" in s.esmtp_features and "smtputf8" in s.esmtp_features
        assert authenticate(s, "CRAM-MD5", "user@example.org", "wrong") == 535
        assert authenticate(s, "CRAM-MD5", "user@example.org", "secret") == 235
        assert s.mail("me@example.org", ["RET=HDRS", "ENVID=run+2B1"])[0] == 250
        assert s.rcpt("you@example.org", ["NOTIFY=SUCCESS"])[0] == 250
        code, text = s.rcpt("nobody@example.org")
        assert code == 550 and b"User unknown" in text
        assert s.data(MESSAGE)[0] == 250
    got = pf.wait_messages("you", before_you + 1)
    assert len(got) == before_you + 1
    m = email.message_from_bytes(got[-1])
    assert m["Subject"] == "peers" and m.get_payload() == ".dot line\nbody\n"
    assert "ESMTPSA" in m["Received"]  # TLS and SASL
    report = pf.wait_messages("me", before_me + 1)[-1]
    assert b"Original-Envelope-Id: run+1" in report and b"Action: delivered" in report


@pytest.mark.parametrize("mechanism", ["PLAIN", "LOGIN"])
def test_postfix_tls_from_the_first_byte(postfix, smtp_pki, mechanism):
    pf = postfix()
    before = len(pf.messages("you"))
    ctx = ssl.create_default_context(cafile=smtp_pki.ca_pem)
    with smtplib.SMTP_SSL("localhost", pf.smtps, timeout=TIMEOUT, context=ctx) as s:
        s.ehlo("client.test")
        assert "starttls" not in s.esmtp_features
        assert authenticate(s, mechanism, "user@example.org", "secret") == 235
        assert send(s, "me@example.org", ["you@example.org"])[0] == 250
    assert len(pf.wait_messages("you", before + 1)) == before + 1


def test_postfix_ipv6_literal_checked_on_helo(postfix):
    pf = postfix()
    with smtplib.SMTP("::1", pf.smtp6, timeout=TIMEOUT) as s:
        s.ehlo("[0:0:0:0:0:0:0:1]")
        assert s.mail("me@example.org")[0] == 250
        code, text = s.rcpt("you@example.org")
        assert code == 501 and b"invalid ip address" in text
    with smtplib.SMTP("::1", pf.smtp6, timeout=TIMEOUT) as s:
        s.ehlo("[IPv6:0:0:0:0:0:0:0:1]")
        assert s.mail("me@example.org")[0] == 250
        assert s.rcpt("you@example.org")[0] == 250


def test_postfix_strict_smtputf8_and_dsn_off(postfix):
    pf = postfix(strict_smtputf8=True, dsn=False)
    before = len(pf.messages("you"))
    with smtplib.SMTP("127.0.0.1", pf.smtp, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert "dsn" not in s.esmtp_features
        assert s.mail("me@example.org", ["RET=HDRS"])[0] == 501
        assert s.mail("me@example.org")[0] == 250
        code, text = s.rcpt("you@example.org", ["NOTIFY=SUCCESS"])
        assert code == 501 and b"DSN support is disabled" in text
        s.rset()
        s.command_encoding = "utf-8"  # the address goes out undeclared
        code, text = s.mail("j\u00f6rg@example.org")
        assert code == 553 and b"Must declare SMTPUTF8" in text
        s.rset()
        assert s.mail("j\u00f6rg@example.org", ["SMTPUTF8"])[0] == 250
        assert s.rcpt("you@example.org")[0] == 250
        assert s.data(MESSAGE)[0] == 250
    got = pf.wait_messages("you", before + 1)
    assert len(got) == before + 1 and "j\u00f6rg@example.org".encode() in got[-1]


# ---- proxies ------------------------------------------------------------------

class TunnelSMTP(smtplib.SMTP):
    """smtplib over a socket that a proxy already connected."""

    def __init__(self, sock):
        self.tunnel = sock
        super().__init__()
        self.sock = sock
        self.file = None
        code, _ = self.getreply()
        assert code == 220

    def _get_socket(self, host, port, timeout):
        return self.tunnel


def recv_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        assert chunk, "the proxy closed"
        data += chunk
    return data


def socks5_connect(proxy_port, port, user=None, password=None):
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=TIMEOUT)
    s.sendall(b"\x05\x01" + (b"\x02" if user else b"\x00"))
    method = recv_exactly(s, 2)
    if method[1] == 0xFF:
        s.close()
        return None
    if user:
        s.sendall(b"\x01" + bytes([len(user)]) + user.encode() + bytes([len(password)])
                  + password.encode())
        if recv_exactly(s, 2)[1] != 0:
            s.close()
            return None
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + port.to_bytes(2, "big"))
    reply = recv_exactly(s, 10)
    assert reply[1] == 0, reply
    return s


def http_connect(proxy_port, port, auth=None):
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=TIMEOUT)
    head = "CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n" % (port, port)
    if auth:
        head += "Proxy-Authorization: Basic %s\r\n" % base64.b64encode(auth.encode()).decode()
    s.sendall((head + "\r\n").encode())
    answer = b""
    while b"\r\n\r\n" not in answer:
        chunk = s.recv(1)
        assert chunk, answer
        answer += chunk
    return int(answer.split()[1]), s


def test_socks5_proxy_tunnels_to_the_recorder(recorder, socks_proxy):
    rec = recorder()
    proxy = socks_proxy(user="pu", password="pp")
    assert socks5_connect(proxy.port, rec.port) is None  # no method without credentials
    assert socks5_connect(proxy.port, rec.port, "pu", "bad") is None
    with TunnelSMTP(socks5_connect(proxy.port, rec.port, "pu", "pp")) as s:
        s.ehlo("client.test")
        assert send(s)[0] == 250
    assert len(rec.messages()) == 1
    assert "connected to 127.0.0.1:%d" % rec.port in proxy.log()


def test_http_proxy_tunnels_with_and_without_basic_auth(recorder, http_proxy):
    rec = recorder()
    open_proxy = http_proxy()
    code, sock = http_connect(open_proxy.port, rec.port)
    assert code == 200
    with TunnelSMTP(sock) as s:
        s.ehlo("client.test")
        assert send(s)[0] == 250
    locked = http_proxy(user="pu", password="pp")
    assert http_connect(locked.port, rec.port)[0] == 407
    assert http_connect(locked.port, rec.port, "pu:bad")[0] == 401
    code, sock = http_connect(locked.port, rec.port, "pu:pp")
    assert code == 200
    with TunnelSMTP(sock) as s:
        s.ehlo("client.test")
        assert send(s)[0] == 250
    assert len(rec.messages()) == 2
    assert "CONNECT 127.0.0.1:%d" % rec.port in locked.log()


# ---- the benchmark sink ---------------------------------------------------------

def test_sink_finds_the_end_mark_across_blocks(smtp_sink, tmp_path):
    body = b"".join(b"line %d ..........\r\n" % i for i in range(200000)) + b".x\r\n"
    with smtplib.SMTP("127.0.0.1", smtp_sink.port, timeout=TIMEOUT) as s:
        s.ehlo("client.test")
        assert s.sendmail("a@example.org", ["b@example.org"], body) == {}
        assert s.sendmail("a@example.org", ["b@example.org"], b"") == {}
    msg = tmp_path / "m.eml"
    msg.write_bytes(b"Subject: curl\r\n\r\n" + body)
    subprocess.run(["curl", "-s", "--max-time", "20", "smtp://127.0.0.1:%d" % smtp_sink.port,
                    "--mail-from", "a@example.org", "--mail-rcpt", "b@example.org",
                    "-T", str(msg)], check=True, timeout=30)
    # What went over the wire: stuffed, and ending with a line end.
    assert smtp_sink.sizes() == [len(body) + 1, 2, len(msg.read_bytes()) + 1]
