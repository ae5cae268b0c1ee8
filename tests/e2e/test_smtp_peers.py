"""Delivery to a private Postfix (STARTTLS with SASL, DSN reports, strict
SMTPUTF8, TLS from the first byte, the IPv6 literal) and through SOCKS5 and
HTTP CONNECT proxies."""
import base64
import email
import socket

import pytest

from smtp_peers import http_proxy, postfix, recorder, smtp_pki, socks_proxy  # noqa: F401

SASL_USER = "user@example.org"
SASL_PASS = "secret"


def base(*extra):
    return ["-nodefault", "-from:me@example.org", "-to:you@example.org", "-subject:peers",
            "-body:Hello\n.dot line", *extra]


def test_postfix_starttls_cram_md5_and_dsn_report(ostrel, postfix, smtp_pki):
    pf = postfix()
    you, me = len(pf.messages("you")), len(pf.messages("me"))
    r = ostrel(*base("-requiretls", "-verify", f"-verify-ca-path:{smtp_pki.hashed_dir}",
                     "-authtypes:CRAM-MD5", "-dsn:S", "-dsnid:run+1", "-d"),
               f"-host:{SASL_USER}:{SASL_PASS}@localhost:{pf.submission}")
    assert r.status == 0, r.stderr
    assert "> auth CRAM-MD5" in r.stdout
    got = pf.wait_messages("you", you + 1)
    m = email.message_from_bytes(got[-1])
    assert m["Subject"] == "peers" and "ESMTPSA" in m["Received"]
    assert m.get_payload().replace("\r\n", "\n") == "Hello\n.dot line\n"
    report = pf.wait_messages("me", me + 1)[-1]
    assert b"Original-Envelope-Id: run+1" in report and b"Action: delivered" in report


def test_postfix_strict_smtputf8(ostrel, postfix):
    pf = postfix(strict_smtputf8=True, dsn=False)
    you = len(pf.messages("you"))
    r = ostrel("-nodefault", "-from:j\u00f6rg@example.org", "-to:you@example.org",
               "-subject:utf8", "-body:x", "-dsn:SF", "-to:you@example.org::D",
               f"-host:127.0.0.1:{pf.smtp}")
    assert r.status == 0, r.stderr
    got = pf.wait_messages("you", you + 1)
    assert "j\u00f6rg@example.org".encode() in got[-1]


def test_postfix_tls_from_the_first_byte(ostrel, postfix):
    pf = postfix()
    you = len(pf.messages("you"))
    r = ostrel(*base("-smtps", "-authtypes:PLAIN"),
               f"-host:{SASL_USER}:{SASL_PASS}@127.0.0.1:{pf.smtps}")
    assert r.status == 0, r.stderr
    assert len(pf.wait_messages("you", you + 1)) == you + 1


def test_postfix_refused_recipient_among_accepted(ostrel, postfix):
    pf = postfix()
    you = len(pf.messages("you"))
    r = ostrel(*base("-to:nobody@example.org"), f"-host:127.0.0.1:{pf.smtp}")
    assert r.status == 0
    assert r.stderr.startswith("Recipient nobody@example.org rejected (550 ")
    assert len(pf.wait_messages("you", you + 1)) == you + 1


def test_postfix_ipv6_literal(ostrel, postfix):
    pf = postfix()
    you = len(pf.messages("you"))
    r = ostrel(*base("-6", "-d"), f"-host:[::1]:{pf.smtp6}")
    assert r.status == 0, r.stderr
    assert "> ehlo [IPv6:0:0:0:0:0:0:0:1]" in r.stdout
    assert len(pf.wait_messages("you", you + 1)) == you + 1


def test_socks5_proxy(ostrel, recorder, socks_proxy):
    rec = recorder()
    proxy = socks_proxy()
    r = ostrel(*base(), f"-proxy:127.0.0.1:{proxy.port}", f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    assert len(rec.messages()) == 1


def test_http_proxy_with_and_without_basic_auth(ostrel, recorder, http_proxy):
    rec = recorder()
    locked = http_proxy(user="pu", password="proxy-pass")
    target = f"-host:127.0.0.1:{rec.port}"
    r = ostrel(*base("-proxytype:HTTPS"), f"-proxy:127.0.0.1:{locked.port}", target)
    assert r.status == 50
    assert r.stderr.endswith(f"Message send failed (Could not connect to [127.0.0.1]:{rec.port}"
                             " via HTTPS proxy)\n")
    r = ostrel(*base("-proxytype:HTTPS", "-d"), f"-proxy:pu:proxy-pass@127.0.0.1:{locked.port}",
               target)
    assert r.status == 0, r.stderr
    assert len(rec.messages()) == 1
    assert "CONNECT 127.0.0.1:%d" % rec.port in locked.log()
    for secret in ("proxy-pass", base64.b64encode(b"pu:proxy-pass").decode()):
        assert secret not in r.stdout + r.stderr


@pytest.mark.parametrize("options,text", [
    ([], "Could not connect to SOCKS proxy [127.0.0.1]:1080"),
    (["-proxytype:HTTPS"], "Could not connect to HTTPS proxy [127.0.0.1]:8080"),
])
def test_default_proxy_ports(ostrel, options, text):
    port = int(text.rsplit(":", 1)[1])
    hold = socket.socket()
    try:
        hold.bind(("127.0.0.1", port))  # bound, not listening: connections are refused
    except OSError:
        hold.close()
        pytest.skip(f"port {port} is in use on this machine")
    try:
        r = ostrel(*base(*options), "-proxy:127.0.0.1", "-host:127.0.0.1:25")
    finally:
        hold.close()
    assert r.status == 50
    assert r.stderr.endswith(f"Message send failed ({text})\n")
