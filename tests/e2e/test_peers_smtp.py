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

from smtp_peers import (recorder, smtp_pki,  # noqa: F401
                        )

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
