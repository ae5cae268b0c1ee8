"""Addresses are what they seem: a non-ASCII domain goes out in the form an
IDNA lookup gives it (as libidn2's idn2 tool converts it), one that does
not convert is refused, a server without SMTPUTF8 never gets a byte outside
ASCII, and no reader takes a code point that shows as nothing into an
address (a list file's byte-order mark is the file's own)."""
import email
import email.policy
import random
import shutil
import subprocess

import pytest

from smtp_peers import recorder  # noqa: F401  (fixture)

FROM = "-from:me@example.org"

# Domains as users paste them: capitals, the ideographic and full-width full
# stops, compatibility forms, decomposed accents, and what IDNA2008 refuses.
DOMAINS = [
    "B\u00dcCHER.example",
    "b\u00fccher.example",
    "\u4f8b\u3048\u3002\u30c6\u30b9\u30c8",
    "x\uff0eb\u00fccher\uff61example",
    "fa\u00df.de",
    "\ufb00\u00e9.de",
    "cafe\u0301.example",
    "\u043f\u0440\u0438\u043c\u0435\u0440.\u0440\u0444",
    "\u212b.example",
    "-b\u00fccher.example",
    "ab--\u00fc.de",
    "\u3164.example",
    "\u0661\u0662\u0663.com",
    "a\u05d0.com",
    "\u00fc.xn--zz",
    "caf\u00e9.\U0001f600.example",
    "b" + "\u00fc" * 60 + ".example",
]


def idn2(domain):
    """libidn2's own conversion for a lookup, non-transitional; None when it
    refuses the domain."""
    tool = shutil.which("idn2")
    assert tool, "the idn2 tool is missing (Debian package idn2)"
    p = subprocess.run([tool, "--quiet", "-N", "--", domain], capture_output=True,
                       env={"LC_ALL": "C.UTF-8"}, timeout=30)
    return p.stdout.decode().strip() if p.returncode == 0 else None


def test_conversions_agree_with_idn2(ostrel):
    for domain in DOMAINS:
        want = idn2(domain)
        r = ostrel("-nodefault", FROM, f"-to:jane@{domain}", "-body:x", "-file:out.eml")
        if want is None:
            assert (r.status, r.stderr) == (1, f"Invalid address for -to (jane@{domain})\n"), \
                domain
            assert not ostrel.path("out.eml").exists()
            continue
        msg = email.message_from_bytes(ostrel.written(r), policy=email.policy.default)
        assert [a.addr_spec for a in msg["To"].addresses] == [f"jane@{want}"], domain
        ostrel.path("out.eml").unlink()


def long_a_label_domain():
    """A UTF-8 domain of short labels, each under 63 bytes as an A-label,
    that is over 253 bytes in A-labels while the address is not over 254
    as given."""
    rng = random.Random(5)
    labels = []
    for _ in range(5):
        label = ""
        while len(idn2(label) or "") < 52:
            label += chr(rng.randrange(0x4E00, 0x9FFF))
        labels.append(label)
    domain = ".".join(labels)
    ascii_labels = [idn2(label) for label in labels]
    assert all(len(a) <= 63 for a in ascii_labels) and len(".".join(ascii_labels)) > 253
    assert len(f"jane@{domain}".encode()) <= 254
    return domain


def test_no_byte_outside_ascii_reaches_a_server_without_smtputf8(ostrel, recorder):
    rec = recorder(no_smtputf8=True)
    ostrel.write("list.txt", "\ufeffl1@B\u00dcCHER.example\nl2@\u4f8b\u3048\u3002\u30c6\u30b9\u30c8\n")
    r = ostrel("-nodefault", "-from:me@M\u00fcnchen.example:Me", "-to:to@b\u00fccher.example",
               "-cc:cc@x\uff0eb\u00fccher\uff61example", "-bcc:bcc@fa\u00df.de",
               "-reply-to:r@B\u00fccher.example", "-bcc:@list.txt", "-body:x",
               f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert m["mail_from"] == "me@" + idn2("M\u00fcnchen.example")
    assert sorted(m["rcpt_tos"]) == sorted([
        "to@" + idn2("b\u00fccher.example"), "cc@" + idn2("x\uff0eb\u00fccher\uff61example"),
        "bcc@" + idn2("fa\u00df.de"), "l1@" + idn2("B\u00dcCHER.example"),
        "l2@" + idn2("\u4f8b\u3048\u3002\u30c6\u30b9\u30c8")])
    header = m["data"].split(b"\r\n\r\n", 1)[0]
    assert header.isascii(), header
    msg = email.message_from_bytes(m["data"], policy=email.policy.default)
    assert msg["Reply-To"].addresses[0].addr_spec == "r@" + idn2("B\u00fccher.example")

    # A domain that has no A-label form within the limits is refused before
    # any connection: it never goes out raw.
    for domain in (long_a_label_domain(), "b" + "\u00fc" * 60 + ".example"):
        for opt in ("-to", "-from", "-bcc"):
            args = [FROM, "-to:you@example.org", f"{opt}:jane@{domain}"]
            r = ostrel("-nodefault", *args, "-body:x", f"-host:127.0.0.1:{rec.port}")
            assert (r.status, r.stderr) == (1, f"Invalid address for {opt} (jane@{domain})\n")
        ostrel.write("long.txt", f"jane@{domain}\n")
        r = ostrel("-nodefault", FROM, "-to:@long.txt", "-body:x", f"-host:127.0.0.1:{rec.port}")
        assert (r.status, r.stderr) == (10, "Failed to set To from file (long.txt)\n")
    for s in rec.sessions(count=1, timeout=5.0):
        for verb, arg in s["commands"]:
            assert arg is None or arg.isascii(), (verb, arg)
    assert len(rec.messages()) == 1


# (list file bytes, the recipients it gives, or None when the file is refused)
LIST_FILES = [
    (b"\xef\xbb\xbfjane@example.com\r\nx@example.org\r\n", ["jane@example.com", "x@example.org"]),
    (b"\xef\xbb\xbf\"Jane\" <jane@example.com>\n", ["jane@example.com"]),
    ("jane@example.com\u00a0\n".encode(), None),
    ("jane@example.com\u00a0x@example.org\n".encode(), None),
    ("jane@exa\u200bmple.com\n".encode(), None),
    ("x@example.org\n\ufeffjane@example.com\n".encode(), None),
    ("jane\u202e@example.com\n".encode(), None),
    ("jane@example.com\u0085\n".encode(), None),
    ("jane@-b\u00fccher.example\n".encode(), None),
]


def test_list_files_hold_nothing_invisible(ostrel):
    for data, want in LIST_FILES:
        ostrel.write("list.txt", data)
        r = ostrel("-nodefault", FROM, "-to:@list.txt", "-body:x", "-file:out.eml")
        if want is None:
            assert (r.status, r.stderr) == (10, "Failed to set To from file (list.txt)\n"), data
            assert not ostrel.path("out.eml").exists()
            continue
        msg = email.message_from_bytes(ostrel.written(r), policy=email.policy.default)
        assert sorted(a.addr_spec for a in msg["To"].addresses) == sorted(want), data
        ostrel.path("out.eml").unlink()


@pytest.mark.parametrize("to", ["jane@exa\u200bmple.com", "\ufeffjane@example.com",
                                "jane@example.com\u00a0", "jane@b\u00fcch\u202eer.example",
                                "jane@-b\u00fccher.example"])
def test_prepared_file_recipient_that_is_not_what_it_seems_is_not_sent(ostrel, recorder, to):
    rec = recorder(no_smtputf8=True)
    ostrel.write("msg.eml", f"From: me@example.org\r\nTo: {to}\r\nSubject: s\r\n\r\nbody\r\n")
    r = ostrel("-nodefault", "-emailfile:msg.eml", f"-host:127.0.0.1:{rec.port}")
    assert r.status != 0, r.stderr
    assert rec.messages() == []
    for s in rec.sessions(count=1, timeout=1.0):
        assert not [arg for verb, arg in s["commands"] if verb == "RCPT"], s


def test_prepared_file_idn_recipient_goes_out_converted(ostrel, recorder):
    rec = recorder(no_smtputf8=True)
    ostrel.write("msg.eml", "From: me@M\u00dcNCHEN.example\r\nTo: jane@B\u00dcCHER.example\r\n"
                            "Subject: s\r\n\r\nbody\r\n")
    r = ostrel("-nodefault", "-emailfile:msg.eml", f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    assert (m["mail_from"], m["rcpt_tos"]) == ("me@" + idn2("M\u00dcNCHEN.example"),
                                               ["jane@" + idn2("B\u00dcCHER.example")])
