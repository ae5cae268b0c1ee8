"""Every address option takes one mailbox, by the rule the list files and
prepared message files are read with: a value that smuggles in envelope
parameters or a second mailbox, or that is no address at all, ends the run
before anything is written or sent; real mailboxes of every form go out as
they were given."""
import email
import email.policy
import json
import os

from smtp_peers import recorder  # noqa: F401  (fixture)

FROM = "-from:me@example.org"
TO = "-to:you@example.org"

# (option text, the line on standard error)
REFUSED = [
    ("-from:me@example.org> RET=FULL ENVID=x",
     "Invalid address for -from (me@example.org> RET=FULL ENVID=x)"),
    ("-to:you@example.org> NOTIFY=SUCCESS ORCPT=rfc822;boss@example.org",
     "Invalid address for -to (you@example.org> NOTIFY=SUCCESS ORCPT=rfc822;boss@example.org)"),
    ("-to:a@example.org, b@example.org",
     "Invalid address for -to (a@example.org, b@example.org)"),
    ('-reply-to:r@example.org>, "x" <y@evil.example',
     'Invalid address for -reply-to (r@example.org>, "x" <y@evil.example)'),
    ("-return-path:bounce@example.org> RET=FULL",
     "Invalid address for -return-path (bounce@example.org> RET=FULL)"),
    ("-cc:c@example.org d@example.org", "Invalid address for -cc (c@example.org d@example.org)"),
    ("-bcc:a,b@example.org::SF", "Invalid address for -bcc (a,b@example.org)"),
    ("-cc:<c@example.org>:Name", "Invalid address for -cc (<c@example.org>)"),
    ("-to:x(comment)@example.org", "Invalid address for -to (x(comment)@example.org)"),
    ("-reply-to:r@example.org;x", "Invalid address for -reply-to (r@example.org;x)"),
    ("-to:bob", "Invalid address for -to (bob)"),
    ("-cc:bob:Bob Smith", "Invalid address for -cc (bob:Bob Smith)"),
    ("-from:ops", "Invalid address for -from (ops)"),
    ("-return-path:bounce", "Invalid address for -return-path (bounce)"),
    ("-to:a@[IPv6:2001:db8::1", "Invalid address for -to (a@[IPv6:2001:db8::1)"),
    # Code points that show as nothing: the address would not be the one seen.
    ("-to:\ufeffjane@example.com", "Invalid address for -to (\ufeffjane@example.com)"),
    ("-to:jane@example.com\u00a0", "Invalid address for -to (jane@example.com\u00a0)"),
    ("-cc:jane@exa\u200bmple.com", "Invalid address for -cc (jane@exa\u200bmple.com)"),
    ("-bcc:ja\u202ene@example.com", "Invalid address for -bcc (ja\u202ene@example.com)"),
    ("-from:jane\u0085@example.com", "Invalid address for -from (jane\\x85@example.com)"),
    ("-reply-to:jane@example.com\u009b", "Invalid address for -reply-to (jane@example.com\\x9b)"),
    ("-return-path:jane@b\u00fccher\u2028.example",
     "Invalid address for -return-path (jane@b\u00fccher\u2028.example)"),
    ("-to:jane@b\u00fc\u00adcher.example", "Invalid address for -to (jane@b\u00fc\u00adcher.example)"),
    # Domains that IDNA2008 refuses, or whose A-label form is too long.
    ("-to:jane@-b\u00fccher.example", "Invalid address for -to (jane@-b\u00fccher.example)"),
    ("-cc:jane@\u3164.example", "Invalid address for -cc (jane@\u3164.example)"),
    # Full-width punctuation that a lookup's mapping makes "<", "@" or ">".
    ("-to:jane@a\uff1cb.\u00fc", "Invalid address for -to (jane@a\uff1cb.\u00fc)"),
    ("-from:jane@a\uff20b.\u00fc", "Invalid address for -from (jane@a\uff20b.\u00fc)"),
    ("-bcc:jane@\u00fc\uff1e.de", "Invalid address for -bcc (jane@\u00fc\uff1e.de)"),
    ("-to:jane@b" + "\u00fc" * 60 + ".example",
     "Invalid address for -to (jane@b" + "\u00fc" * 60 + ".example)"),
    # A display name whose quote is never closed would drop its address.
    ('-to:lost@example.com:"Doe, John', 'Invalid address for -to (lost@example.com:"Doe, John)'),
    ('-cc:lost@example.com:"Doe, John', 'Invalid address for -cc (lost@example.com:"Doe, John)'),
    ('-bcc:lost@example.com:"', 'Invalid address for -bcc (lost@example.com:")'),
    ('-reply-to:r@example.com:"Doe', 'Invalid address for -reply-to (r@example.com:"Doe)'),
    ('-from:me@example.com:"Me', 'Invalid address for -from (me@example.com:"Me)'),
    # One length for every address option: 255 bytes is one too many.
    ("-from:" + "f" * 243 + "@example.org", "Invalid address for -from (" + "f" * 243 + "@example.org)"),
    ("-reply-to:" + "r" * 245 + "@example.org",
     "Invalid address for -reply-to (" + "r" * 245 + "@example.org)"),
    ("-return-path:" + "b" * 244 + "@example.org",
     "Invalid address for -return-path (" + "b" * 244 + "@example.org)"),
    ("-to:" + "t" * 243 + "@example.org", "Invalid address for -to (" + "t" * 243 + "@example.org)"),
]


def test_refused_values_end_the_run_before_anything_is_written(ostrel):
    for arg, line in REFUSED:
        # The good values come first: a refused one must not leave a message
        # that goes to the others.
        r = ostrel("-nodefault", FROM, TO, arg, "-body:x", "-results:res.json", "-file:out.eml")
        assert r.status == 1, (arg, r.stderr)
        assert r.stderr == line + "\n", arg
        assert not ostrel.path("out.eml").exists(), arg
        res = ostrel.path("res.json").read_bytes()  # no "success" anywhere
        assert res == b"" or json.loads(res)["status"] == "failure", arg
    # A bare name in front of a good recipient, as a cron job's typo would be.
    r = ostrel("-nodefault", FROM, "-to:bob", TO, "-body:x", "-file:out.eml")
    assert (r.status, r.stderr) == (1, "Invalid address for -to (bob)\n")
    assert not ostrel.path("out.eml").exists()


def test_address_that_is_not_utf8_is_refused(ostrel):
    value = b"caf\xe9@example.org"
    r = ostrel("-nodefault", os.fsdecode(b"-from:" + value), TO,
               "-body:x", "-file:out.eml")
    assert (r.status, r.err) == (1, b"Invalid address for -from (" + value + b")\n")
    assert not ostrel.path("out.eml").exists()


def test_refused_value_in_a_configuration_file(ostrel):
    ostrel.write("send.conf", "from:me@example.org\nto:bob\nto:you@example.org\n")
    r = ostrel("-nodefault", "-config:send.conf", "-body:x", "-file:out.eml")
    assert (r.status, r.stderr) == (1, "Invalid address for -to (bob)\n")
    assert not ostrel.path("out.eml").exists()


def test_empty_values_and_list_files_keep_their_meaning(ostrel):
    ostrel.write("list.txt", "l1@example.org\n")
    r = ostrel("-nodefault", FROM, "-to:", "-cc:", "-bcc:", "-reply-to:", "-return-path:",
               "-to:@list.txt", "-body:x", "-file:out.eml")
    msg = email.message_from_bytes(ostrel.written(r), policy=email.policy.default)
    assert [a.addr_spec for a in msg["To"].addresses] == ["l1@example.org"]
    assert "Cc" not in msg and "Reply-To" not in msg


def test_injected_parameters_never_reach_the_server(ostrel, recorder):
    rec = recorder()
    for arg, line in REFUSED[:2]:
        r = ostrel("-nodefault", FROM, TO, arg, "-body:x", "-dsn:SF",
                   f"-host:127.0.0.1:{rec.port}")
        assert (r.status, r.stderr) == (1, line + "\n"), arg
    assert rec.sessions(count=1, timeout=1.0) == []  # not even a connection
    assert rec.messages() == []


# Mailboxes of every form the rule allows; each goes out byte for byte.
ACCEPTED = [
    '"john smith"@example.org',
    '"a:b, c"@example.org',
    "j\u00f6rg.m\u00fcller@b\u00fccher.example",
    "u@[192.0.2.1]",
    "u@[IPv6:2001:db8::1]",
    "root@localhost",
]


def test_accepted_mailboxes_go_through_unchanged(ostrel, recorder):
    rec = recorder()  # announces SMTPUTF8: addresses stay as they are
    for addr in ACCEPTED:
        ostrel.write("list.txt", addr + "\n")
        ostrel.write("msg.eml", f"From: {addr}\r\nTo: {addr}\r\nSubject: s\r\n\r\nbody\r\n")
        runs = [
            ("options", ["-body:x", f"-from:{addr}", f"-to:{addr}:Name:SF", f"-bcc:{addr}::N",
                         f"-return-path:{addr}"]),
            ("list file", ["-body:x", f"-from:{addr}", "-cc:@list.txt"]),
            ("prepared file", ["-emailfile:msg.eml"]),
        ]
        for how, args in runs:
            before = len(rec.messages())
            r = ostrel("-nodefault", *args, f"-host:127.0.0.1:{rec.port}")
            assert r.status == 0, (addr, how, r.stderr)
            m = rec.messages()[before]
            assert m["mail_from"] == addr, (how, m)
            assert set(m["rcpt_tos"]) == {addr}, (how, m)


def test_accepted_mailboxes_in_the_header_fields(ostrel):
    for addr in ACCEPTED:
        if not addr.isascii():
            continue  # written as punycode without SMTPUTF8, seen above unchanged
        r = ostrel("-nodefault", f"-from:{addr}", f"-to:{addr}:To Name", f"-cc:{addr}",
                   f"-reply-to:{addr}", "-body:x", "-file:out.eml")
        msg = email.message_from_bytes(ostrel.written(r), policy=email.policy.default)
        for field, name in (("From", ""), ("To", "To Name"), ("Cc", ""), ("Reply-To", "")):
            [a] = msg[field].addresses
            assert (a.display_name, a.addr_spec) == (name, addr), (field, addr)
