"""Delivery over SMTP against the recording server (aiosmtpd): the envelope,
File mode and SMTP agreeing on the message, each AUTH mechanism, DSN,
SMTPUTF8, STARTTLS and TLS from the first byte, prepared message files, and
traces that never show a secret."""
import base64
import email
import email.policy
import re

import pytest

from smtp_peers import recorder, smtp_pki  # noqa: F401  (fixtures)

USER = "me@example.org"
PASSWORD = "Pa55:word-with-length"
TOKEN = "ya29.token-of-some-length"


def host(port, user=None, secret=None):
    cred = f"{user}:{secret}@" if user else ""
    return f"-host:{cred}127.0.0.1:{port}"


def base(*extra):
    return ["-nodefault", "-from:me@example.org", "-to:you@example.org", "-subject:Test",
            "-body:Hello", *extra]


def secrets_absent(text, *secrets):
    for s in secrets:
        forms = {s, base64.b64encode(s.encode()).decode()}
        for f in forms:
            assert f not in text, f"secret {f!r} shown"


def parsed(data: bytes):
    return email.message_from_bytes(data, policy=email.policy.default)


def parts_of(msg):
    out = []
    for part in msg.walk():
        if part.is_multipart():
            out.append(("multipart", part.get_content_type()))
        else:
            out.append((part.get_content_type(), part.get_filename(),
                        part.get_payload(decode=True)))
    return out


def test_envelope_and_file_mode_agree(ostrel, recorder):
    rec = recorder()
    binary = bytes(range(256)) * 40
    ostrel.write("data.bin", binary)
    ostrel.write("notes.txt", "caf\u00e9 =3D line\n.starts with a dot\n" * 30)
    opts = ["-nodefault", "-from:me@example.org:M\u00e9 Sender", "-return-path:bounce@example.org",
            "-to:x@example.org:X \u00c4rger", "-to:y@example.org", "-cc:c@example.org",
            "-bcc:b@example.org", "-subject:Gr\u00fc\u00dfe f\u00fcr alle",
            "-body:first\n.\n..x\n.x\nlast", "-a64:data.bin", "-aqp:notes.txt"]
    r = ostrel(*opts, host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["mail_from"] == "bounce@example.org"
    assert m["rcpt_tos"] == ["y@example.org", "x@example.org", "c@example.org", "b@example.org"]
    assert m["ehlo"] == "[127.0.0.1]"
    sent = parsed(m["data"])
    assert "Bcc" not in sent
    shown = [a.addr_spec for k in ("From", "To", "Cc") for a in sent[k].addresses]
    assert sorted(shown) == ["c@example.org", "me@example.org", "x@example.org", "y@example.org"]

    filed = parsed(ostrel.written(ostrel(*opts, "-file:out.eml")))
    for name in ("From", "To", "Cc", "Subject", "Reply-To", "MIME-Version", "X-Mailer"):
        assert str(sent.get(name)) == str(filed.get(name)), name
    assert str(sent["Subject"]) == "Gr\u00fc\u00dfe f\u00fcr alle"
    assert parts_of(sent) == parts_of(filed)
    payloads = [p[2] for p in parts_of(sent) if p[0] != "multipart"]
    assert b"first\r\n.\r\n..x\r\n.x\r\nlast" in payloads[0].replace(b"\n", b"\r\n").replace(
        b"\r\r\n", b"\r\n")
    assert binary in payloads


MECHS = ["PLAIN", "LOGIN", "CRAM-MD5"]


@pytest.mark.parametrize("mechanism,options,expected", [
    ("all", [], "CRAM-MD5"),
    *[(m, [f"-authtypes:{m}"], m) for m in MECHS],
    ("oauth", ["-oauth"], "OAUTHBEARER"),
    ("xoauth2", ["-oauth", "-authtypes:XOAUTH2"], "XOAUTH2"),
])
def test_auth_mechanisms(ostrel, recorder, mechanism, options, expected):
    oauth = "-oauth" in options
    rec = recorder(user=USER, password=PASSWORD, token=TOKEN)
    r = ostrel(*base(*options, "-d"), host(rec.port, USER, TOKEN if oauth else PASSWORD))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["auth"]["mechanism"] == expected and m["auth"]["login"] == USER
    secrets_absent(r.stdout + r.stderr, PASSWORD, TOKEN,
                   f"\0{USER}\0{PASSWORD}")
    assert f"> auth {expected}" in r.stdout


def test_refused_password_quits(ostrel, recorder):
    rec = recorder(user=USER, password=PASSWORD)
    r = ostrel(*base("-authtypes:PLAIN"), host(rec.port, USER, "wrong-password"))
    assert r.status == 535 % 256
    assert r.stderr.startswith("AUTH PLAIN failed (535")
    [s] = rec.sessions()
    assert [c[0] for c in s["commands"]][-1] == "QUIT"
    assert "MAIL" not in [c[0] for c in s["commands"]]
    assert rec.messages() == []
    secrets_absent(r.stdout + r.stderr, "wrong-password")


@pytest.mark.parametrize("options,mechanisms,text", [
    (["-oauth"], "PLAIN,LOGIN", "AUTH OAUTHBEARER/XOAUTH2 unavailable"),
    (["-authtypes:LOGIN"], "PLAIN,CRAM-MD5",
     "Server did not offer a supported authentication mechanism"),
])
def test_no_usable_mechanism(ostrel, recorder, options, mechanisms, text):
    rec = recorder(user=USER, password=PASSWORD, token=TOKEN, mechanisms=mechanisms)
    r = ostrel(*base(*options), host(rec.port, USER, PASSWORD))
    assert r.status == 50
    assert r.stderr.startswith(text + "\n")
    assert rec.messages() == []


@pytest.mark.parametrize("options,mail_arg,rcpt_args", [
    (["-dsn:SF", "-dsnid:a+b c=d"], "from:<me@example.org> RET=HDRS ENVID=a+2Bb+20c+3Dd",
     ["to:<you@example.org> NOTIFY=SUCCESS,FAILURE"]),
    (["-to:d@example.org::D", "-dsnid:id1"], "from:<me@example.org> RET=HDRS ENVID=id1",
     ["to:<d@example.org> NOTIFY=DELAY", "to:<you@example.org>"]),
    (["-to:n@example.org::NSF", "-dsnid:id1"], "from:<me@example.org> RET=HDRS ENVID=id1",
     ["to:<n@example.org> NOTIFY=NEVER", "to:<you@example.org>"]),
    ([], "from:<me@example.org>", ["to:<you@example.org>"]),
])
def test_dsn_parameters(ostrel, recorder, options, mail_arg, rcpt_args):
    rec = recorder()
    r = ostrel(*base(*options), host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["mail_arg"] == mail_arg
    assert m["rcpt_args"] == rcpt_args


def test_dsn_default_envid_is_a_token(ostrel, recorder):
    rec = recorder()
    assert ostrel(*base("-dsn:F"), host(rec.port)).status == 0
    [m] = rec.messages()
    assert re.fullmatch(r"from:<me@example.org> RET=HDRS ENVID=[A-Za-z0-9_-]{16}", m["mail_arg"])


def test_server_without_dsn_gets_no_parameters(ostrel, recorder):
    rec = recorder(dsn="off")
    r = ostrel(*base("-dsn:SF", "-dsnid:x", "-to:d@example.org::D"), host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["mail_arg"] == "from:<me@example.org>"
    assert m["rcpt_args"] == ["to:<d@example.org>", "to:<you@example.org>"]


def test_capabilities_in_clear_are_forgotten_after_starttls(ostrel, recorder, smtp_pki):
    rec = recorder(smtp_pki, dsn="clear-only")
    r = ostrel(*base("-dsn:SF", "-starttls"), host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["tls"] and m["mail_arg"] == "from:<me@example.org>"


def test_smtputf8(ostrel, recorder):
    rec = recorder()
    r = ostrel(*base("-to:j\u00f6rg@b\u00fccher.example"), host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["mail_arg"] == "from:<me@example.org> SMTPUTF8"
    assert "j\u00f6rg@b\u00fccher.example" in m["rcpt_tos"]


def test_idn_goes_out_as_ascii_without_smtputf8(ostrel, recorder):
    rec = recorder(no_smtputf8=True)
    r = ostrel(*base("-to:you@b\u00fccher.example"), host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["mail_arg"] == "from:<me@example.org>"
    assert "you@xn--bcher-kva.example" in m["rcpt_tos"]


def test_smtputf8_required(ostrel, recorder):
    rec = recorder(no_smtputf8=True)
    r = ostrel(*base("-to:j\u00f6rg@example.org"), host(rec.port))
    assert r.status == 0, r.stderr
    assert "Recipient j\u00f6rg@example.org rejected (SMTPUTF8 required)" in r.stderr
    [m] = rec.messages()
    assert m["rcpt_tos"] == ["you@example.org"]

    r = ostrel("-nodefault", "-from:m\u00e9@example.org", "-to:you@example.org", "-body:x",
               host(rec.port))
    assert r.status == 50
    assert r.stderr.endswith("Message send failed (SMTPUTF8 required)\n")
    assert len(rec.messages()) == 1


def test_refused_recipient_among_accepted(ostrel, recorder):
    rec = recorder(refuse=["bad@example.org"])
    r = ostrel(*base("-to:bad@example.org"), host(rec.port))
    assert r.status == 0
    assert r.stderr == ("Recipient bad@example.org rejected "
                        "(550 5.1.1 Recipient address rejected)\n")
    [m] = rec.messages()
    assert m["rcpt_tos"] == ["you@example.org"]


def test_starttls_and_tls_from_the_first_byte(ostrel, recorder, smtp_pki):
    rec = recorder(smtp_pki)
    assert ostrel(*base("-starttls"), host(rec.port)).status == 0
    r = ostrel(*base("-requiretls", "-verify", f"-verify-ca-path:{smtp_pki.hashed_dir}"),
               host(rec.port))
    assert r.status == 0, r.stderr
    r = ostrel(*base("-smtps", "-d"), host(rec.tls_port))
    assert r.status == 0, r.stderr
    assert "starttls" not in r.stdout.lower().replace("no authentication", "")
    msgs = rec.messages()
    assert len(msgs) == 3 and all(m["tls"] for m in msgs)


def test_verification_refused_with_the_wrong_ca(ostrel, recorder, smtp_pki, tmp_path):
    rec = recorder(smtp_pki)
    other = tmp_path / "other-ca"
    other.mkdir()
    r = ostrel(*base("-requiretls", "-verify", f"-verify-ca-path:{other}"), host(rec.port))
    assert r.status != 0
    assert r.stderr.startswith("Message send failed (")
    assert rec.messages() == []


def test_automatic_starttls_for_auth(ostrel, recorder, smtp_pki):
    rec = recorder(smtp_pki, user=USER, password=PASSWORD, auth_require_tls=True)
    r = ostrel(*base("-d"), host(rec.port, USER, PASSWORD))
    assert r.status == 0, r.stderr
    assert "No authentication available, trying STARTTLS." in r.stdout
    [m] = rec.messages()
    assert m["tls"] and m["auth"]["mechanism"] == "CRAM-MD5"


def test_trace_lines(ostrel, recorder):
    rec = recorder(user=USER, password=PASSWORD)
    r = ostrel(*base("-dd", "-authtypes:LOGIN"), host(rec.port, USER, PASSWORD))
    assert r.status == 0, r.stderr
    out = r.stdout
    assert "> mail from:<me@example.org>" in out
    assert re.search(r"< 250 ", out)
    assert re.search(r"\[\d+\.\d{3}\] ", out)  # -dd stamps
    assert "> " + "*" * len(base64.b64encode(PASSWORD.encode())) in out
    secrets_absent(out + r.stderr, PASSWORD)


def test_prepared_file(ostrel, recorder):
    rec = recorder()
    ostrel.write("msg.eml", b"Subject: from the file\r\nX-Trace: a\r\n\tfolded\r\n"
                            b"X-Keep: yes\r\n\r\nbody\n.\n..x\rlast")
    r = ostrel("-nodefault", "-emailfile:msg.eml", "-from:me@example.org", "-to:you@example.org",
               "-subject:configured", "-delhead:x-trace", "-head:X-Custom:added", host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    msg = parsed(m["data"])
    assert str(msg["Subject"]) == "configured"
    assert "X-Trace" not in msg and str(msg["X-Keep"]) == "yes"
    assert str(msg["X-Custom"]) == "added"
    assert m["data"].endswith(b"\r\n\r\nbody\r\n.\r\n..x\r\nlast\r\n\r\n")


@pytest.mark.parametrize("make", ["directory", "nul", "attachment"])
def test_unsendable_input_sends_nothing(ostrel, recorder, make):
    rec = recorder()
    if make == "directory":
        (ostrel.path("dir.eml")).mkdir()
        opts = ["-emailfile:dir.eml"]
    elif make == "nul":
        ostrel.write("nul.eml", b"Subject: x\r\n\r\nbefore\0after\r\n")
        opts = ["-emailfile:nul.eml"]
    else:
        # Opens, but cannot be read when the message is being written.
        ostrel.path("gone.bin").mkdir()
        opts = ["-a:gone.bin", "-body:text"]
    r = ostrel("-nodefault", "-from:me@example.org", "-to:you@example.org", *opts,
               host(rec.port))
    assert r.status == 10, r.stderr
    name = opts[0].split(":", 1)[1]
    assert re.search(r"Message send failed \(.*\(" + re.escape(name) + r"\)\)\n$", r.stderr)
    assert rec.messages() == []


@pytest.mark.parametrize("name,text,options,check", [
    ("raw headers keep the file's block", b"Subject: own\r\nX-Trace: t\r\n\r\nbody\r\n",
     ["-rawhead", "-subject:configured", "-delhead:X-Trace", "-head:X-Custom:c"],
     lambda d: d.startswith(b"Subject: own\r\nX-Custom: c\r\n\r\nbody\r\n")),
    ("a file without an empty line", b"Subject: own\nX-A: b",
     ["-rawhead"], lambda d: d == b"Subject: own\r\nX-A: b\r\n\r\n"),
])
def test_prepared_file_forms(ostrel, recorder, name, text, options, check):
    rec = recorder()
    ostrel.write("msg.eml", text)
    r = ostrel("-nodefault", "-emailfile:msg.eml", "-from:me@example.org", "-to:you@example.org",
               *options, host(rec.port))
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert check(m["data"]), m["data"]
