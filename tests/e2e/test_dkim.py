"""DKIM signatures of composed messages, checked by independent verifiers:
dkimpy, opendkim's offline test mode and Mail::DKIM, each with the test's
own key records instead of DNS."""
import base64
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from conftest import BIN
from smtp_peers import recorder  # noqa: F401  (fixture)

dkim = pytest.importorskip("dkim", reason="python3-dkim is not installed")

FROM = "-from:sender@example.org"
TO = "-to:rcpt@example.org"
ALL = ("-dkim-algo:all", "-dkim-canon:all")

# The twelve fields of -dkim-algo:all -dkim-canon:all, in their order.
CANONS = [("s/s", None), ("s/r", "simple/relaxed"), ("r/r", "relaxed/relaxed"),
          ("r/s", "relaxed")]
ALGOS = ["rsa-sha1", "rsa-sha256", "ed25519-sha256"]
TWELVE = [(c, a) for c, _ in CANONS for a in ALGOS]
C_TAG = dict(CANONS)

MAIL_DKIM = r"""
use strict;
use warnings;
use Mail::DKIM::Verifier;
use Net::DNS;

package TestResolver;
sub new { my ($class, %keys) = @_; return bless {keys => {%keys}}, $class }
sub send {
    my ($self, $name, $type) = @_;
    my $p = Net::DNS::Packet->new($name, $type, 'IN');
    $p->header->qr(1);
    my $txt = $self->{keys}{lc $name};
    if (defined $txt) {
        my @parts = unpack('(A255)*', $txt);
        $p->push(answer => Net::DNS::RR->new(name => $name, type => 'TXT', txtdata => [@parts]));
        $p->header->rcode('NOERROR');
    } else {
        $p->header->rcode('NXDOMAIN');
    }
    return $p;
}
sub errorstring { return 'NOERROR' }

package main;
my ($keyfile, $msgfile) = @ARGV;
my %keys;
open(my $k, '<', $keyfile) or die;
while (<$k>) { chomp; my ($n, $t) = split(/ /, $_, 2); $keys{lc $n} = $t; }
Mail::DKIM::DNS::resolver(TestResolver->new(%keys));
open(my $m, '<:raw', $msgfile) or die;
local $/;
my $data = <$m>;
my $v = Mail::DKIM::Verifier->new();
$v->PRINT($data);
$v->CLOSE;
foreach my $s ($v->signatures) {
    my $b = $s->get_tag('b'); $b =~ s/\s+//g;
    print substr($b, 0, 16), ' ', $s->result, ' ', ($s->result_detail // ''), "\n";
}
"""


def openssl(*args, stdin=None):
    return subprocess.run(["openssl", *args], input=stdin, capture_output=True,
                          check=True, timeout=60).stdout


def rsa_480_pem():
    """An RSA key below the generator's minimum, as PKCS #1 from two primes."""
    e = 65537
    while True:
        p = int(openssl("prime", "-generate", "-bits", "240").strip())
        q = int(openssl("prime", "-generate", "-bits", "240").strip())
        phi = (p - 1) * (q - 1)
        if p != q and phi % e:
            break
    n, d = p * q, pow(e, -1, (p - 1) * (q - 1))
    fields = [("version", 0), ("n", n), ("e", e), ("d", d), ("p", p), ("q", q),
              ("dp", d % (p - 1)), ("dq", d % (q - 1)), ("qinv", pow(q, -1, p))]
    conf = "asn1=SEQUENCE:key\n[key]\n" + "".join(
        f"{name}=INTEGER:0x{value:X}\n" for name, value in fields)
    der = subprocess.run(["openssl", "asn1parse", "-genconf", "/dev/stdin", "-noout",
                          "-out", "/dev/stdout"], input=conf.encode(), capture_output=True,
                         check=True, timeout=60).stdout
    return openssl("rsa", "-inform", "DER", "-traditional", stdin=der)


class Keys:
    """Key files and their published records (name -> TXT text)."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.records = {}
        self.rsa = self._make("rsa.pem", "genpkey", "-algorithm", "RSA",
                              "-pkeyopt", "rsa_keygen_bits:2048")
        self.rsa1024 = self._make("rsa1024.pem", "genpkey", "-algorithm", "RSA",
                                  "-pkeyopt", "rsa_keygen_bits:1024")
        self.ed = self._make("ed.pem", "genpkey", "-algorithm", "ED25519")
        self.ec = self._make("ec.pem", "genpkey", "-algorithm", "EC",
                             "-pkeyopt", "ec_paramgen_curve:P-256")
        self.rsa_public = folder / "public.pem"
        self.rsa_public.write_bytes(openssl("pkey", "-in", str(self.rsa), "-pubout"))
        self.encrypted = folder / "encrypted.pem"
        self.encrypted.write_bytes(openssl("pkey", "-in", str(self.rsa), "-aes256",
                                           "-passout", "pass:first-line"))
        self.rsa480 = folder / "rsa480.pem"
        self.rsa480.write_bytes(rsa_480_pem())

    def _make(self, name, *args):
        path = self.folder / name
        openssl(*args, "-out", str(path))
        return path

    def publish(self, selector, domain, key):
        der = openssl("pkey", "-in", str(key), "-pubout", "-outform", "DER")
        if b"\x2b\x65\x70" in der[:16]:  # the Ed25519 OID: the record holds the raw key
            txt = "v=DKIM1; k=ed25519; p=" + base64.b64encode(der[-32:]).decode()
        else:
            txt = "v=DKIM1; k=rsa; p=" + base64.b64encode(der).decode()
        self.records[f"{selector}._domainkey.{domain}".lower()] = txt


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    k = Keys(tmp_path_factory.mktemp("keys"))
    k.publish("sel", "example.org", k.rsa)
    k.publish("ed", "example.org", k.ed)
    k.publish("small", "example.org", k.rsa1024)
    k.publish("tiny", "example.org", k.rsa480)
    k.publish("sel", "default.example", k.rsa)
    k.publish("sel", "xn--bcher-kva.example", k.rsa)
    return k


def sig_fields(msg: bytes):
    """The DKIM-Signature fields at the top of the message, unfolded."""
    out = []
    for m in re.finditer(rb"^DKIM-Signature:.*?\r\n(?=\S)", msg, re.M | re.S):
        out.append(m.group(0))
    return out


def tags(field: bytes):
    value = field.split(b":", 1)[1]
    value = re.sub(rb"\s+", b"", value).decode()
    return dict(t.split("=", 1) for t in value.split(";") if t)


def dkimpy_results(keys, msg: bytes, minkey=1024):
    def dns(name, timeout=5):
        return keys.records.get(name.decode().rstrip(".").lower(), "").encode() or None

    def one(i):
        try:
            return dkim.DKIM(msg, minkey=minkey).verify(idx=i, dnsfunc=dns)
        except dkim.ValidationError:
            return False

    return [one(i) for i in range(len(sig_fields(msg)))]


def opendkim_results(keys, msg: bytes, tmp: Path):
    """pass/fail per signature, matched by the start of its b= value."""
    if not shutil.which("opendkim", path="/usr/sbin:/usr/bin:/sbin"):
        pytest.skip("opendkim is not installed on this machine")
    exe = shutil.which("opendkim", path="/usr/sbin:/usr/bin:/sbin")
    table = tmp / "opendkim.keys"
    table.write_text("".join(f"{n} {t}\n" for n, t in keys.records.items()))
    conf = tmp / "opendkim.conf"
    conf.write_text(f"Mode v\nSyslog no\nTestPublicKeys {table}\n"
                    "MaximumSignaturesToVerify 40\n")
    msg_file = tmp / "opendkim.eml"
    msg_file.write_bytes(msg)
    p = subprocess.run([exe, "-x", str(conf), "-t", str(msg_file), "-vv"],
                       capture_output=True, timeout=60)
    text = (p.stdout + p.stderr).decode("utf-8", "replace")
    verdicts = dict((b, r) for r, b in re.findall(r"dkim=(\w+)[^;]*?header\.b=([^;\s]+)", text))
    return [verdicts.get(tags(f)["b"][:8], "missing") for f in sig_fields(msg)]


def mail_dkim_results(keys, msg: bytes, tmp: Path):
    """Mail::DKIM's result per signature, in header order."""
    if subprocess.run(["perl", "-MMail::DKIM::Verifier", "-e", "1"],
                      capture_output=True, timeout=60).returncode:
        pytest.skip("Mail::DKIM (libmail-dkim-perl) is not installed on this machine")
    script = tmp / "verify.pl"
    script.write_text(MAIL_DKIM)
    table = tmp / "mail-dkim.keys"
    table.write_text("".join(f"{n} {t}\n" for n, t in keys.records.items()))
    msg_file = tmp / "mail-dkim.eml"
    msg_file.write_bytes(msg)
    p = subprocess.run(["perl", str(script), str(table), str(msg_file)],
                       capture_output=True, timeout=60)
    assert p.returncode == 0, p.stderr
    found = {}
    for line in p.stdout.decode().splitlines():
        b, result, *detail = line.split(" ", 2)
        found[b] = (result, detail[0] if detail else "")
    return [found.get(tags(f)["b"][:16], ("missing", "")) for f in sig_fields(msg)]


def assert_all_verify(keys, msg, tmp, opendkim=True, minkey=1024):
    fields = sig_fields(msg)
    assert fields
    assert dkimpy_results(keys, msg, minkey) == [True] * len(fields)
    if opendkim:
        assert opendkim_results(keys, msg, tmp) == ["pass"] * len(fields)
    for f, (result, detail) in zip(fields, mail_dkim_results(keys, msg, tmp)):
        if tags(f)["a"] == "ed25519-sha256":
            # Debian 12's Mail::DKIM has no Ed25519.
            assert result in ("pass", "invalid"), detail
        else:
            assert result == "pass", detail


def unstuff(data: bytes) -> bytes:
    """What a receiver makes of a dot-stuffed text."""
    lines = data.split(b"\r\n")
    return b"\r\n".join(line[1:] if line.startswith(b".") else line for line in lines)


def sign(ostrel, keys, *args, name="out.eml", stdin=b""):
    r = ostrel(FROM, TO, f"-dkim:example.org:sel:{keys.rsa}", f"-dkim:example.org:ed:{keys.ed}",
               *args, f"-file:{name}", stdin=stdin)
    return ostrel.written(r, name)


def uu_payload():
    # 45 + 14 bytes: the 14-byte line's length character is ".".
    return bytes(range(32, 91)) + bytes(range(14))


def structures(ostrel):
    """(name, arguments, opendkim can check it) for the table of message structures."""
    w = ostrel.write
    w("blob.bin", bytes((i * 7 + 3) & 0xFF for i in range(3000)))
    w("notes.txt", "caf\u00e9 au lait\n.starts with a dot\n" + "x" * 200 + "\n")
    w("inner.eml", b"From: x@example.net\r\nSubject: inner\r\n\r\n.dot line\r\n..two\r\n.\r\n"
      b"end\r\n")
    w("page.html", '<html><body><p>Hi</p><img src="cid:pic.png"></body></html>\n')
    w("pic.png", b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 4)
    w("uu.dat", uu_payload())
    w("long.eml", b"Subject: long\r\n\r\n" + b"a b  c\t" * 300 + b"\r\n" +
      (b"word  " * 350000) + b"  \r\nend\r\n")
    w("nul.eml", b"Subject: nul\r\n\r\nbefore\x00after\r\n.dot\r\n")
    many = [f"-head:Cc:c{i}@example.org" for i in range(40)]
    return [
        ("plain", ["-subject:Blanks  and\ttabs  ",
                   "-body:a  b\t\tc   \\n   lead\\n\\ntrail \\t\\n\\n\\n"], True),
        ("attachments", ["-subject:Files", "-body:see files", "-a64:blob.bin", "-aqp:notes.txt",
                         "-a:inner.eml"], True),
        ("html inline", ["-subject:Page", "-body:text part", "-body-html:page.html",
                         "-ai:pic.png"], True),
        ("utf-8 words", ["-subject:Gr\u00fc\u00dfe aus K\u00f6ln \u2013 caf\u00e9",
                         "-to:zoe@example.org:Zo\u00eb \u00c5ngstr\u00f6m",
                         "-body:caf\u00e9\\n"], True),
        ("repeated fields", ["-subject:First", "-head:To:second@example.org",
                             "-head:Subject:second", "-head:Cc:x@example.org", "-body:hi"], True),
        ("over 32 fields", ["-subject:Many", *many, "-body:hi"], True),
        # A second From among them: both are signed, the one readers show too.
        ("two from fields", ["-subject:Two", *many, "-head:From:other@example.org",
                             "-body:hi"], True),
        ("uuencode", ["-subject:UU", "-body:.dotted body line\\nplain", "-auu:uu.dat"], True),
        ("long lines", ["-subject:Long", "-body:x", "-a:long.eml"], True),
        # opendkim's test mode reads the file as text lines and drops what
        # follows a NUL byte, so it fails any signature over one.
        ("nul byte", ["-subject:Nul", "-body:x", "-a:nul.eml"], False),
    ]


STRUCTURE_NAMES = ["plain", "attachments", "html inline", "utf-8 words", "repeated fields",
                   "over 32 fields", "two from fields", "uuencode", "long lines", "nul byte"]


@pytest.mark.parametrize("structure", STRUCTURE_NAMES)
def test_every_structure_verifies_in_every_form(ostrel, keys, tmp_path, structure):
    name, args, opendkim = next(s for s in structures(ostrel) if s[0] == structure)
    msg = sign(ostrel, keys, *args, *ALL)
    fields = sig_fields(msg)
    got = [(c, tags(f)["a"]) for f in fields
           for c in [next(k for k, v in CANONS if v == tags(f).get("c"))]]
    assert got == TWELVE
    assert_all_verify(keys, msg, tmp_path, opendkim)


def test_dotstuffed_output_verifies_once_unstuffed(ostrel, keys, tmp_path):
    msg = sign(ostrel, keys, "-subject:Dots", "-body:.\\n.x\\n..y\\nend", "-dotstuff", *ALL)
    assert b"\r\n..\r\n..x\r\n...y\r\n" in msg
    received = unstuff(msg)
    assert b"\r\n.\r\n.x\r\n..y\r\n" in received
    assert_all_verify(keys, received, tmp_path)


def test_dot_lines_verify_without_dotstuff(ostrel, keys, tmp_path):
    msg = sign(ostrel, keys, "-subject:Dots", "-body:.hidden\\n..two", *ALL)
    assert b"\r\n.hidden\r\n..two\r\n" in msg
    assert_all_verify(keys, msg, tmp_path)


DOT_LINES = b"\r\n.\r\n.x\r\n..y\r\n"


@pytest.mark.parametrize("source", ["composed", "prepared file"])
def test_dot_lines_verify_as_received_over_smtp(ostrel, keys, tmp_path, recorder, source):
    # The wire needs the dots doubled; the signatures are over the text the
    # server takes back out of it.
    ostrel.write("msg.eml", b"Subject: Prepared dots\r\nX-Kept: yes\r\n\r\nfirst"
                 + DOT_LINES + b"end\r\n")
    source_args = (["-subject:Dots", "-body:first\\n.\\n.x\\n..y\\nend"]
                   if source == "composed" else ["-emailfile:msg.eml"])
    rec = recorder()
    r = ostrel("-nodefault", FROM, TO, *source_args, f"-dkim:example.org:sel:{keys.rsa}",
               f"-dkim:example.org:ed:{keys.ed}", *ALL, f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [m] = rec.messages()
    received = m["data"]
    assert b"\r\n\r\nfirst" + DOT_LINES + b"end\r\n" in received
    assert len(sig_fields(received)) == 12
    assert_all_verify(keys, received, tmp_path)


def test_key_that_cannot_sign_sends_no_message(ostrel, keys, recorder):
    rec = recorder()
    r = ostrel("-nodefault", FROM, TO, "-body:x", f"-dkim:example.org:tiny:{keys.rsa480}",
               f"-host:127.0.0.1:{rec.port}")
    assert r.status == 10
    assert r.stderr == ("Message send failed (DKIM signing failed "
                        "(a=rsa-sha256; d=example.org; s=tiny))\n")
    [session] = rec.sessions()
    # The transaction got as far as DATA, and ended without the final dot.
    assert "DATA" in [verb for verb, _ in session["commands"]]
    assert rec.messages() == []


@pytest.mark.parametrize("canon,algo", TWELVE)
def test_one_form_and_algorithm_gives_one_field(ostrel, keys, canon, algo):
    msg = sign(ostrel, keys, "-subject:One", "-body:one  line \\n", f"-dkim-algo:{algo}",
               f"-dkim-canon:{canon}")
    fields = sig_fields(msg)
    assert len(fields) == 1
    t = tags(fields[0])
    assert (t["a"], t.get("c")) == (algo, C_TAG[canon])
    assert dkimpy_results(keys, msg) == [True]


def retag(msg, old, new):
    head, body = msg.split(b"\r\n\r\n", 1)
    return head.replace(old, new) + b"\r\n\r\n" + body if old in head else None


@pytest.mark.parametrize("change,passing", [
    # A changed body byte or signed field breaks every signature.
    (lambda m: m.replace(b"second line", b"secund line"), set()),
    (lambda m: retag(m, b"Subject: Tamper me", b"Subject: Tamper Me"), set()),
    # Blanks inside and at the end of a body line: only relaxed bodies hold.
    (lambda m: m.replace(b"second line", b"second   line \t"), {"s/r", "r/r"}),
    # Blanks after a signed field's colon and inside its value: only relaxed
    # headers hold.
    (lambda m: retag(m, b"Subject: Tamper me", b"Subject:   Tamper \t me"), {"r/r", "r/s"}),
], ids=["body byte", "signed field", "body blanks", "header blanks"])
def test_tampered_copies(ostrel, keys, change, passing):
    msg = sign(ostrel, keys, "-subject:Tamper me", "-body:first line\\nsecond line\\n", *ALL)
    assert dkimpy_results(keys, msg) == [True] * 12
    changed = change(msg)
    assert changed and changed != msg
    expected = [c in passing for c, _ in TWELVE]
    assert dkimpy_results(keys, changed) == expected


@pytest.mark.parametrize("key,selector,lengths", [
    ("rsa", "sel", [76, 76, 76, 76, 40]),
    ("rsa1024", "small", [76, 76, 20]),
    ("ed", "ed", [76, 12]),
])
def test_field_layout(ostrel, keys, key, selector, lengths):
    algo = "ed25519-sha256" if key == "ed" else "rsa-sha256"
    r = ostrel(FROM, TO, "-subject:Layout", "-body:x", f"-dkim:example.org:{selector}:"
               f"{getattr(keys, key)}", f"-dkim-algo:{algo}", "-dkim-canon:r/r", "-file:out.eml")
    msg = ostrel.written(r)
    lines = msg.split(b"\r\n")
    assert re.fullmatch(rb"DKIM-Signature: v=1; a=" + algo.encode() +
                        rb"; c=relaxed/relaxed; t=\d+;", lines[0])
    assert lines[1] == b"\ts=" + selector.encode() + b"; d=example.org;"
    assert re.fullmatch(rb"\th=Date:Subject:From:To:Message-ID:X-Mailer:Content-Type"
                        rb"(:MIME-Version)?;", lines[2])
    assert re.fullmatch(rb"\tbh=[A-Za-z0-9+/]{43}=;", lines[3])
    assert lines[4].startswith(b"\tb=")
    b_lines = [lines[4][3:]] + [b[1:] for b in lines[5:4 + len(lengths)]]
    assert [len(b.rstrip(b";")) for b in b_lines] == lengths
    assert all(b.startswith(b"\t") and not b.startswith(b"\t ") for b in lines[5:4 + len(lengths)])
    assert b_lines[-1].endswith(b";") and not any(b.endswith(b";") for b in b_lines[:-1])
    assert lines[4 + len(lengths)].startswith(b"Date: ")
    assert dkimpy_results(keys, msg) == [True]


def test_c_tag_only_where_not_simple(ostrel, keys):
    msg = sign(ostrel, keys, "-subject:Tags", "-body:x", "-dkim-algo:rsa-sha256",
               "-dkim-canon:all")
    firsts = [f.split(b"\r\n")[0] for f in sig_fields(msg)]
    assert [re.sub(rb" t=\d+;", b"", f) for f in firsts] == [
        b"DKIM-Signature: v=1; a=rsa-sha256;",
        b"DKIM-Signature: v=1; a=rsa-sha256; c=simple/relaxed;",
        b"DKIM-Signature: v=1; a=rsa-sha256; c=relaxed/relaxed;",
        b"DKIM-Signature: v=1; a=rsa-sha256; c=relaxed;"]


def normalised(msg: bytes) -> bytes:
    msg = re.sub(rb"Date: [^\r]*", b"Date: -", msg)
    msg = re.sub(rb"Message-ID: <[^>]*>", b"Message-ID: -", msg)
    return re.sub(rb"==[A-Za-z0-9_-]{16}==", b"==boundary==", msg)


@pytest.mark.parametrize("structure", ["attachments", "html inline", "nul byte"])
def test_signed_is_unsigned_with_fields_in_front(ostrel, keys, structure):
    _, args, _ = next(s for s in structures(ostrel) if s[0] == structure)
    signed = sign(ostrel, keys, *args, *ALL, name="signed.eml")
    plain = ostrel.written(ostrel(FROM, TO, *args, "-file:plain.eml"), "plain.eml")
    fields = b"".join(sig_fields(signed))
    assert signed.startswith(fields)
    assert signed[len(fields):].startswith(b"Date: ")
    assert normalised(signed[len(fields):]) == normalised(plain)


@pytest.mark.parametrize("args,expected", [
    # The From domain first, in any letter case; the record keeps the text
    # of the first setting for it.
    ([FROM, "-dkim:EXAMPLE.org:sel:{rsa}", "-dkim-default:default.example",
      "-dkim:default.example:sel:{rsa}", "-dkim:example.ORG:sel:{rsa}"],
     [("EXAMPLE.org", "sel", "rsa-sha256")]),
    (["-from:someone@Example.ORG", "-dkim:example.org:sel:{rsa}"],
     [("example.org", "sel", "rsa-sha256")]),
    # Else the default domain.
    (["-from:a@other.example", "-dkim-default:default.example",
      "-dkim:default.example:sel:{rsa}"], [("default.example", "sel", "rsa-sha256")]),
    # Else nothing signs.
    (["-from:a@other.example", "-dkim:example.org:sel:{rsa}"], []),
    # The newest key of the needed type signs.
    ([FROM, "-dkim:example.org:old:{rsa1024}", "-dkim:example.org:sel:{rsa}"],
     [("example.org", "sel", "rsa-sha256")]),
    ([FROM, "-dkim:example.org:sel:{rsa}", "-dkim:example.org:small:{rsa1024}"],
     [("example.org", "small", "rsa-sha256")]),
    # Default masks: one field per key type that has a key.
    ([FROM, "-dkim:example.org:ed:{ed}", "-dkim:example.org:sel:{rsa}"],
     [("example.org", "sel", "rsa-sha256"), ("example.org", "ed", "ed25519-sha256")]),
    # -no-dkim wins wherever it stands.
    ([FROM, "-no-dkim", "-dkim:example.org:sel:{rsa}"], []),
    ([FROM, "-dkim:example.org:sel:{rsa}", "-no-dkim"], []),
    # A UTF-8 domain signs as its A-label, and the From domain finds it.
    (["-from:a@b\u00fccher.example", "-dkim:b\u00fccher.example:sel:{rsa}"],
     [("xn--bcher-kva.example", "sel", "rsa-sha256")]),
    (["-from:a@xn--bcher-kva.example", "-dkim:b\u00fccher.example:sel:{rsa}"],
     [("xn--bcher-kva.example", "sel", "rsa-sha256")]),
    (["-from:a@b\u00fccher.example", "-dkim:xn--bcher-kva.example:sel:{rsa}"],
     [("xn--bcher-kva.example", "sel", "rsa-sha256")]),
    # Either side in capitals maps to the same A-label.
    (["-from:a@B\u00dcCHER.example", "-dkim:b\u00fccher.example:sel:{rsa}"],
     [("xn--bcher-kva.example", "sel", "rsa-sha256")]),
    (["-from:a@b\u00fccher.example", "-dkim:B\u00dccher.EXAMPLE:sel:{rsa}"],
     [("xn--bcher-kva.example", "sel", "rsa-sha256")]),
], ids=["from first", "case", "default", "none", "newest", "newest 2", "two types",
        "no-dkim before", "no-dkim after", "idn", "idn from a-label", "idn key a-label",
        "idn from capitals", "idn key capitals"])
def test_key_lookup(ostrel, keys, args, expected):
    paths = {"rsa": keys.rsa, "rsa1024": keys.rsa1024, "ed": keys.ed}
    r = ostrel(*[a.format(**paths) for a in args], TO, "-subject:Lookup", "-body:x",
               "-file:out.eml")
    msg = ostrel.written(r)
    got = [(tags(f)["d"], tags(f)["s"], tags(f)["a"]) for f in sig_fields(msg)]
    assert got == expected
    assert all(dkimpy_results(keys, msg))


def bad_values(keys, tmp: Path):
    folder = tmp / "a-folder"
    folder.mkdir(exist_ok=True)
    empty = tmp / "empty.pem"
    empty.write_bytes(b"")
    text = tmp / "text.pem"
    text.write_bytes(b"no key in here\n")
    return {
        "two fields": f"example.org:{keys.rsa}",
        "empty domain": f":sel:{keys.rsa}",
        "empty selector": f"example.org::{keys.rsa}",
        "long domain": "d" * 254 + f":sel:{keys.rsa}",
        "long selector": "example.org:" + "s" * 64 + f":{keys.rsa}",
        "missing file": f"example.org:sel:{tmp}/none.pem",
        "directory": f"example.org:sel:{folder}",
        "empty file": f"example.org:sel:{empty}",
        "no pem": f"example.org:sel:{text}",
        "ec key": f"example.org:sel:{keys.ec}",
        "public key": f"example.org:sel:{keys.rsa_public}",
        "crlf in domain": f"example.org\r\nX-Evil: 1:sel:{keys.rsa}",
        "blank in domain": f"example .org:sel:{keys.rsa}",
        "semicolon in selector": f"example.org:rsa; x=1:{keys.rsa}",
        "blank in selector": f"example.org:a b:{keys.rsa}",
        "crlf in selector": f"example.org:a\r\nb:{keys.rsa}",
        "invisible in domain": f"b\u00fc\u200bcher.example:sel:{keys.rsa}",
        "unconvertible domain": f"-b\u00fccher.example:sel:{keys.rsa}",
    }


BAD = ["two fields", "empty domain", "empty selector", "long domain", "long selector",
       "missing file", "directory", "empty file", "no pem", "ec key", "public key",
       "crlf in domain", "blank in domain", "semicolon in selector", "blank in selector",
       "crlf in selector", "invisible in domain", "unconvertible domain"]


@pytest.mark.parametrize("case", BAD)
def test_unusable_key_setting(ostrel, keys, tmp_path, case):
    value = bad_values(keys, tmp_path)[case]
    r = ostrel(FROM, TO, "-body:x", f"-dkim:{value}", "-file:out.eml")
    assert r.status == 10
    shown = value.replace("\r", "\\x0d").replace("\n", "\\x0a")  # escaped for the terminal
    assert r.stderr == f"Error applying DKIM setting: {shown}\n"
    assert not ostrel.path("out.eml").exists()


def test_encrypted_key_never_reads_standard_input(ostrel, keys):
    # Without a controlling terminal the pass phrase must not come from
    # standard input, whose first line here is the very pass phrase.
    value = f"example.org:sel:{keys.encrypted}"
    p = subprocess.run([BIN, FROM, TO, f"-dkim:{value}",
                        "--", "-file:out.eml"], cwd=ostrel.cwd, env=ostrel.env,
                       input=b"first-line\r\nbody\r\n", capture_output=True, timeout=60,
                       start_new_session=True)
    assert p.returncode == 10, p.stderr
    assert p.stderr.decode() == f"Error applying DKIM setting: {value}\n"
    assert not ostrel.path("out.eml").exists()


@pytest.mark.parametrize("existing", [False, True])
def test_key_that_cannot_sign_fails_the_message(ostrel, keys, existing):
    if existing:
        ostrel.write("out.eml", "old content\n")
    r = ostrel(FROM, TO, "-body:x", f"-dkim:example.org:tiny:{keys.rsa480}", "-file:out.eml")
    assert r.status == 10
    assert r.stderr == "DKIM signing failed (a=rsa-sha256; d=example.org; s=tiny)\n"
    assert not ostrel.path("out.eml").exists()


def test_small_key_signs_what_it_can(ostrel, keys, tmp_path):
    r = ostrel(FROM, TO, "-subject:Small", "-body:x", f"-dkim:example.org:tiny:{keys.rsa480}",
               "-dkim-algo:rsa-sha1", "-file:out.eml")
    msg = ostrel.written(r)
    assert [tags(f)["a"] for f in sig_fields(msg)] == ["rsa-sha1"]
    assert dkimpy_results(keys, msg, minkey=256) == [True]


@pytest.mark.parametrize("canon", ["s/r", "r/r"])
def test_long_relaxed_body_line_prints_nothing(ostrel, keys, canon):
    # A long line is no fault: it is hashed like any other, and nothing is said.
    ostrel.write("long.eml", "Subject: long\r\n\r\n" + "y" * 15000 + "\r\n")
    r = ostrel(FROM, TO, "-subject:Long", "-body:x", "-a:long.eml", f"-dkim-canon:{canon}",
               f"-dkim:example.org:sel:{keys.rsa}", "-file:out.eml")
    msg = ostrel.written(r)
    assert (r.out, r.stderr) == (b"", "")
    assert b"y" * 15000 + b"\r\n" in msg
    assert dkimpy_results(keys, msg) == [True]


def send_prepared(ostrel, keys, recorder, data: bytes, *args):
    """Sends a prepared file signed by the RSA and Ed25519 keys in every form,
    to a server that takes long lines: (result, the messages it took)."""
    ostrel.write("msg.eml", data)
    rec = recorder(line_limit=4096)
    r = ostrel("-nodefault", "-emailfile:msg.eml", f"-dkim:example.org:sel:{keys.rsa}",
               f"-dkim:example.org:ed:{keys.ed}", *ALL, *args, f"-host:127.0.0.1:{rec.port}")
    return r, rec.messages()


def signed_names(field: bytes):
    return [n.lower() for n in tags(field)["h"].split(":")]


@pytest.mark.parametrize("head,names", [
    # From last after 40 fields that are signed: it takes the last of the 32
    # places, and the fields before it keep their order.
    ([f"Cc: c{i}@example.org" for i in range(40)] + ["From: sender@example.org"],
     ["date", "message-id"] + ["cc"] * 29 + ["from"]),
    # A field name longer than any line limit is read as a name.
    (["X-" + "n" * 1100 + ": v", "From: sender@example.org", "To: rcpt@example.org",
      "Subject: long name"], ["date", "message-id", "from", "to", "subject"]),
    # Two From fields around 40 signed fields: both keep their places.
    (["From: sender@example.org"] + [f"Cc: c{i}@example.org" for i in range(40)]
     + ["From: other@example.org"], ["date", "message-id", "from"] + ["cc"] * 28 + ["from"]),
], ids=["from after 40 fields", "1100-byte field name", "two from fields"])
def test_prepared_file_is_signed_with_from(ostrel, keys, recorder, head, names):
    data = "\r\n".join(head).encode() + b"\r\n\r\nbody\r\n"
    r, messages = send_prepared(ostrel, keys, recorder, data)
    assert r.status == 0, r.stderr
    [m] = messages
    received = m["data"]
    fields = sig_fields(received)
    assert len(fields) == 12
    assert all(signed_names(f) == names for f in fields)
    assert dkimpy_results(keys, received) == [True] * 12


@pytest.mark.parametrize("data, why", [
    (b" continues nothing\r\nFrom: sender@example.org\r\n\r\nbody\r\n",
     "Malformed header (line 1 continues no field)"),
    (b"Subject: no sender\r\n\r\nbody\r\n", "Malformed header (no From field)"),
], ids=["continuation first", "no from"])
def test_prepared_file_that_cannot_be_signed_whole_is_not_sent(ostrel, keys, recorder, data, why):
    r, messages = send_prepared(ostrel, keys, recorder, data, FROM, TO, "-rawhead")
    assert r.status == 10
    assert r.stderr.startswith("Message send failed (DKIM signing failed (a=rsa-sha1; ")
    assert r.stderr.endswith(f"): {why} (msg.eml))\n")
    assert messages == []


def test_prepared_file_of_header_lines_only_is_signed(ostrel, keys, recorder, tmp_path):
    # No empty line, no body: the empty line the sender puts after it ends
    # the header block, and the body is empty. Signed, the bytes are those
    # it has unsigned with the fields in front.
    data = b"From: sender@example.org\r\nTo: rcpt@example.org\r\nSubject: headers only\r\n"
    r, messages = send_prepared(ostrel, keys, recorder, data, "-rawhead")
    assert r.status == 0, r.stderr
    [m] = messages
    received = m["data"]
    fields = sig_fields(received)
    assert len(fields) == 12
    assert_all_verify(keys, received, tmp_path)
    rec = recorder()
    r = ostrel("-nodefault", "-emailfile:msg.eml", "-rawhead", f"-host:127.0.0.1:{rec.port}")
    assert r.status == 0, r.stderr
    [plain] = rec.messages()
    assert received == b"".join(fields) + plain["data"]
    assert plain["data"] == data + b"\r\n"


@pytest.mark.parametrize("mode", ["file", "smtp", "prepared file"])
def test_no_signature_made_sends_nothing(ostrel, keys, recorder, mode):
    # The record applies, but it holds no key of the one algorithm asked for.
    ostrel.write("msg.eml", b"From: sender@example.org\r\nTo: rcpt@example.org\r\n\r\nbody\r\n")
    why = "DKIM signing failed (d=example.org): no key for rsa-sha256"
    key = (f"-dkim:example.org:ed:{keys.ed}", "-dkim-algo:rsa-sha256")
    if mode == "file":
        r = ostrel(FROM, TO, "-body:x", *key, "-file:out.eml")
        assert (r.status, r.stderr) == (10, why + "\n")
        assert not ostrel.path("out.eml").exists()
        return
    rec = recorder()
    source = ["-body:x"] if mode == "smtp" else ["-emailfile:msg.eml"]
    r = ostrel("-nodefault", FROM, TO, *source, *key, f"-host:127.0.0.1:{rec.port}")
    named = " (msg.eml)" if mode == "prepared file" else ""
    assert (r.status, r.stderr) == (10, f"Message send failed ({why}{named})\n")
    assert rec.messages() == []


def test_encrypted_key_asks_on_the_terminal(ostrel, keys, tmp_path):
    import pty
    import select
    import signal
    import time
    args = [BIN, FROM, TO, "-subject:Pass", "-body:x", f"-dkim:example.org:sel:{keys.encrypted}",
            "-file:out.eml"]
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(ostrel.cwd)
        os.execve(BIN, args, ostrel.env)
    seen = b""
    prompts = 0
    deadline = time.monotonic() + 30
    status = None
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], 1)
            if ready:
                try:
                    chunk = os.read(fd, 1024)
                except OSError:
                    chunk = b""
                seen += chunk
                while seen.count(b"Enter PEM pass phrase:") > prompts:
                    prompts += 1
                    os.write(fd, b"first-line\n")
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
        else:
            os.kill(pid, signal.SIGKILL)
            _, status = os.waitpid(pid, 0)  # killed: not an exit
    finally:
        os.close(fd)
    assert status is not None and os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, seen
    # Asked when the key is read, and again when it signs; never echoed.
    assert prompts == 2
    assert b"first-line" not in seen
    msg = ostrel.path("out.eml").read_bytes()
    assert dkimpy_results(keys, msg) == [True]
