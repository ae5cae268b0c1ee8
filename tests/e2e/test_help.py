"""Help output: /?, -doc and -asciidoc, checked against the help rows.

The expected texts are rendered here, from this file's own copy of the rows
and its own renderers, never from the program's; asciidoctor then reads the
AsciiDoc as a documentation build would.
"""
import fcntl
import html.parser
import os
import re
import select
import shutil
import struct
import subprocess
import termios
import time
import tty
from collections import namedtuple

import pytest

from conftest import BIN, assert_no_sanitizer_report

Row = namedtuple("Row", "kind option mask text")
HEADING, PARA, TABLE_START, OPTION, TABLE_END = 1, 2, 3, 4, 5


def H(text):
    return Row(HEADING, "", 0, text)


def P(text):
    return Row(PARA, "", 0, text)


def O(option, mask, text):
    return Row(OPTION, option, mask, text)


START = Row(TABLE_START, "", 0, "")
END = Row(TABLE_END, "", 0, "")

# The help rows in table order.
ROWS = [
    H('Configuration'),
    P('Ostrel operates in three modes:'),
    P(''),
    P('(S)MTP mode is the default and is used when Ostrel is both constructing and sending an e-mail.'),
    P('(F)ile mode can be used to construct an e-mail message for subsequent delivery via either Ostrel or another application.'),
    P('(P)reconstructed e-mail mode is used to send e-mails constructed using File mode or another application.'),
    P(''),
    P('Not all settings can be used with each mode. E.g., Settings labelled SF- apply only to SMTP and File modes.'),
    P(''),
    P('Ostrel applies configuration options from a default configuration file, a command line specified configuration file, and from the command line itself, in that order. Settings for which multiple values can be assigned (E.g., -to) are ADDED from each configuration. For settings that can only be specified once, the last occurrence will be used. I.e. You can specify a default configuration in ostrel.conf, and override settings for individual messages by specifying another config file, or via the command line.'),
    P(''),
    P('Command line parameters will undergo code page conversion, unless -clutf8 is specified. Configuration files are assumed to be UTF-8 or ASCII.'),
    P(''),
    P('The default configuration is stored in ostrel.conf in the folder named by $APPDATA, else $XDG_CONFIG_HOME, else $HOME/.config.'),
    P(''),
    P("Configuration files must contain one setting per line, and do not include the '-' prefix. A '#' may be used to comment out a line."),
    H('Mandatory Options / Mode Selection'),
    START,
    O('-host:[user:pass@]host[:port]', 5, 'Specifies the SMTP server to be used to deliver the message. A username and password may optionally be specified for SMTP authentication. If user credentials are supplied, implies -starttls if authentication is not offered prior to STARTTLS. If -oauth is specified, use the OAuth token as the password.'),
    O('-file:file', 2, 'Enables (F)ile mode and specifies a filename to output the e-mail to.'),
    O('-emailfile:file', 4, 'Enables (P)reconstructed e-mail mode and specifies a file containing a preconstructed e-mail for delivery via SMTP.'),
    O('-from:address[:alias]', 7, "Specifies the e-mail address, with optional alias, to appear in the 'From' header of the message. This setting is required for SMTP and File modes. In Preconstructed mode, the 'From' header will be used if this setting is omitted."),
    END,
    H('Recipients'),
    START,
    O('-to:address[:alias[:DSN]]|@file', 7, "Adds a recipient in the 'To' field of the message or specifies the name of a file containing a list of recipients. This setting may be specified multiple times."),
    O('-cc:address[:alias[:DSN]]|@file', 7, 'As above, for CC recipients.'),
    O('-bcc:address[::DSN]|@file', 7, 'As above, for BCC recipients.'),
    O('-reply-to:address[:alias]', 7, 'Specifies the e-mail address to which replies should be sent.'),
    END,
    P('The -to, -cc, and -bcc settings each add either a recipient to the message or a list of recipients from file.'),
    P(''),
    P('For a single recipient, the first field, the e-mail address, is required. The second field is the display name, usually the name of the recipient; it may be enclosed in double quotes, which are only needed when it contains a colon. The last field holds the DSN types for this recipient, written as for -dsn. E.g., -to:john@example.com:"John Smith":DF requests a DSN on delay and failure. Where no display name is wanted, or for BCC recipients where none is possible, the field may be left empty. E.g., -bcc:jane@example.com::SFD.'),
    P(''),
    P('To add the recipients listed in a file, prefix the file name with @. E.g., -to:@recipients.txt. The file holds one recipient per line, either as a display name followed by the address in angle brackets, or as a bare address, both without quotes. E.g., John Smith <john@example.com> or jane@example.com.'),
    P(''),
    P('When -emailfile is used, recipients will be determined by the To, Cc and Bcc header fields of the preconstructed message if a recipient setting is not present. In all other cases, at least one recipient setting is required.'),
    H('Content And Formatting'),
    START,
    O('-subject:subject text', 7, 'Specifies the message subject (literal string).'),
    O('-body:message body', 3, "Specifies the message body. Note: '\\\\','\\r','\\n', and '\\t' are valid escape codes."),
    O('-body-file:file[:charset]', 3, 'Specifies a file containing the message body. Implies -body-qp (-body-64 may also be specified).'),
    O('-body-64', 3, 'Use base64 encoding for the message body.'),
    O('-body-qp', 3, 'Use quoted-printable encoding for the message body.'),
    O('-body-html:file', 3, 'Specifies a file name containing a UTF-8 encoded HTML body. Attached images can be referred to using their Content-ID if attached using -ai.'),
    O('-head:header:value', 7, 'Add the specified header and header value to the message. This option may be specified multiple times. E.g., -head:X-No-Archive:Yes.'),
    O('-delhead:header', 4, 'Remove the specified header. This option may be specified multiple times.'),
    O('-rawhead', 4, 'Preserve original headers. Can be used with -head and -delhead but all other header settings will be ignored. Non-configurable headers such as Date and Message-ID will not be modified.'),
    O('-linelen:length', 3, 'Specifies the line length for the plain text message body. The minimum and default is 78 characters. The maximum is 998 characters.'),
    O('-mime', 3, 'Force use of MIME for the message body in messages without attachments.'),
    O('-dotstuff', 2, "Replace '.' with '..' at the start of lines. Use with third-party tools that do not automatically do this when onsending via SMTP."),
    O('-priority:n', 7, "Set the message priority to 'n', 1 = Highest, 2 = High, 4 = Low, 5 = Lowest."),
    O('--', 3, 'Read message body from stdin.'),
    END,
    H('Attachments'),
    START,
    O('-a:file', 3, 'Attach the specified file. Ostrel will select base64 or quoted-printable encoding automatically. Files containing >85% ASCII text in the first 4kB will be quoted-printable encoded. Attachments of type message/* will use 7-bit transfer encoding for RFC compliance.'),
    O('-a64:file', 3, 'Attach the specified file using base64 encoding. Attachments of type message/* will be identified as text/plain.'),
    O('-aqp:file', 3, 'Attach the specified file using quoted-printable encoding. Attachments of type message/* will be identified as text/plain.'),
    O('-ai:file', 3, 'Attach the specified file as an inline (multipart/related) attachment, usually used for images referenced in a HTML message body. The Content-ID is the file name, URL encoded where applicable. This value is case-sensitive. Requires -body-html.'),
    O('-auu:file', 3, 'Attach the specified file using uuencoding. These attachments are encoded within the message body.'),
    O('-awild:options:pattern[/...]', 3, 'Attach multiple files matching one or more patterns. See below.'),
    END,
    P("Using the -awild option, Ostrel supports adding multiple attachments from a source directory using patterns. Multiple patterns may be specified, separated by '/', and are evaluated from left to right. Patterns may include standard wildcard characters '*' or '?', and character sets and ranges [], and may be prefixed with a logical NOT operator '!'. In addition to the patterns, a number of options are available to modify the behaviour."),
    P(''),
    P('Options (Case sensitive):'),
    P(''),
    P('H - Include hidden files'),
    P('S - Include system files'),
    P('A - Include ONLY files with the Archive attribute set'),
    P('R - Recursive (include files in subdirectories)'),
    P('C - Case sensitive matching'),
    P('U - Use uuencoding'),
    P('6 - Use base64 encoding'),
    P('Q - Use quoted-printable encoding'),
    P('I - Create inline attachments for use with -body-html'),
    P(''),
    P('E.g., To recursively include logs from 1970, but exclude any .tmp files, you could do the following -awild:R:/var/log/1970*/!*.tmp'),
    H('Connection Options'),
    START,
    O('-4', 5, 'Force the use of IPv4.'),
    O('-6', 5, 'Force the use of IPv6.'),
    O('-authtypes:type[,type...]', 5, 'A comma-separated list of authentication types which may be used with the upstream server. Supported values are CRAM-MD5, PLAIN, LOGIN, OAUTHBEARER and XOAUTH2.'),
    O('-helo:hostname', 5, 'Use the specified hostname in HELO/EHLO.'),
    O('-oauth', 5, 'The password is an OAuth token.'),
    O('-return-path:address', 5, 'Specify the return path (envelope) address.'),
    O('-proxy:[user:pass@]host[:port]', 5, 'Connect via a proxy. Authentication is only supported for HTTPS proxies.'),
    O('-proxytype:type', 5, 'Specify the type of proxy being connected to. Supported proxy types are SOCKS (default proxy type, default port 1080), and HTTPS (default port 8080).'),
    O('-requiretls', 5, 'Require TLS be used for mail delivery. Implies -starttls.'),
    O('-starttls', 5, 'Attempt to use TLS if STARTTLS is advertised in response to EHLO.'),
    O('-smtps', 5, 'Specifies that the port being connected to uses SMTPS (SSL/TLS without STARTTLS). This setting changes the default port to 465. This method of securing mail transfer is deprecated, use -starttls if the target server supports that method.'),
    O('-verify', 5, 'Verify certificate when connecting using SMTPS or STARTTLS is used. Note, this setting only verifies certificates when TLS is used. Add -requiretls if TLS is required.'),
    O('-verify-ca-path:path', 5, 'Specifies the CA path to use for certificate validation. Certificates should be in cert.pem or the certs subdirectory. Required if -verify is specified.'),
    O('-tls-ciphers:ciphers', 5, 'Set which ciphers can be used (values from libtls). Values are secure, compat, legacy and all. Default is all.'),
    O('-tls-protocols:proto[,proto...]', 5, 'Comma-separated list of protocols that may be used (values from libtls). Values are tlsv1.0, tlsv1.1, tlsv1.2, tlsv1.3, secure and all. Default is all.'),
    O('-timeout:seconds', 5, 'Sets the socket timeout.'),
    END,
    H('Delivery Status Notification (DSN) / Message Disposition Notification (MDN)'),
    START,
    O('-dsn:options', 5, 'Specifies the default DSN types to request if no DSN settings are specified for the recipient, using the first letter of each DSN type. Acceptable values are (S)uccess, (F)ailure, (D)elay, and (N)ever. E.g., -dsn:SFD will request a DSN for success, failure and delay. If (N)ever is included in the list, it will take precedence over all other values.'),
    O('-dsnid:id', 5, 'Sets the envelope ID for DSN requests. If not set, a random ID will be used.'),
    O('-mdn', 7, 'Request MDN (read receipt).'),
    END,
    H('DomainKeys Identified Mail (DKIM)'),
    P('Ostrel can optionally sign e-mail using DKIM signatures. DKIM is an advanced option requiring the creation of public/private key pairs and editing DNS records. DKIM signing is usually performed by e-mail submission servers. Refer to RFC 6376 for additional information.'),
    START,
    O('-dkim:domain:selector:key', 7, 'Specifies a domain, selector and the associated key file (in PEM format) to allow DKIM signing of e-mail. This setting can be specified multiple times, allowing for dual signing using RSA and Ed25519 keys. When specified multiple times, the last specified selector for the sending (or default) domain and key type will be used.'),
    O('-dkim-default:domain', 7, "The default domain and associated selector will be used if no specific -dkim option matches the sender's from domain."),
    O('-dkim-algo:algorithm', 7, 'Use the specified DKIM signing algorithm. Supported values are ed25519-sha256, rsa-sha256, rsa-sha1, best (default) and all. This setting may be specified multiple times. The best setting follows best practice and will attempt to sign e-mail using both ed25519-sha256 and rsa-sha256, where suitable keys have been provided.'),
    O('-dkim-canon:canon', 7, 'Specifies the DKIM canonical form (simple or relaxed) for the message headers and body. Supported values are s/s (default), s/r, r/s and r/r.'),
    O('-no-dkim', 7, 'Disable DKIM signing of the message. This setting allows you to ignore any DKIM records in the configuration and send via hosts that will alter messages or sign on behalf of your domain.'),
    END,
    H('Debugging'),
    START,
    O('-d', 5, 'Debug mode. Show data to and from the server. Passwords are not logged.'),
    O('-dd', 5, 'Extended debug mode. As above but adds socket and TLS debugging information. Passwords are not logged.'),
    END,
    H('Command Line Only'),
    START,
    O('-body-literal', 3, 'Do not convert line breaks to CRLF on a message body specified using -body-file. The body will be quoted printable encoded (-body-64 may also be specified).'),
    O('-clutf8', 15, 'Assume command line parameters are UTF-8. Disables code page conversion and may be necessary when calling Ostrel from within other applications.'),
    O('-encryptpass:password', 8, 'Output an encrypted version of the specified password and exit. The encrypted password can be used with the -host option. Encryption only provides protection against casual password observation.'),
    O('-bindpass', 8, 'Encrypt password using a host-specific key.'),
    O('-config:file', 15, 'Apply the configuration from the specified file.'),
    O('-nodefault', 15, 'Do not apply settings from the default ostrel.conf.'),
    O('-skipnofile', 11, 'Do not check attachments exist before constructing e-mail.'),
    O('-results:filename', 1, "Output e-mail delivery details to a JSON file. Use '-' to output to stdout."),
    END,
]
MODES = "SFP"
HINT = '{banner}\n\nUse "ostrel /?" for help.\n\n'
BANNER = re.compile(r"Ostrel \S+ amd64 \(.+\), .+")


def next_kind(i):
    return ROWS[i + 1].kind if i + 1 < len(ROWS) else 0


def mode_string(mask, letters=MODES):
    return "".join(c if mask >> i & 1 else "-" for i, c in enumerate(letters))


# ---- the console text


def wrapped(text, column, indent, width):
    """The words of a text from a column: a word that would reach the width
    starts a new line, and a word is followed by a space while the count is
    below width - 1."""
    out = []
    for word in re.split(r"[ \t\r\n]+", text[:4095]):
        if not word:
            continue
        if len(word) + column >= width:
            out.append("\n" + " " * indent)
            column = indent
        out.append(word)
        column += len(word)
        if column < width - 1:
            out.append(" ")
            column += 1
    return "".join(out)


def console_help(width, first=3):
    """The console text; an option's first line is counted from column
    n + M + first, although its text starts one column before (3)."""
    n = len(MODES)
    m = max(len(r.option) for r in ROWS if r.kind == OPTION)
    out = []
    for i, r in enumerate(ROWS):
        if r.kind == HEADING:
            out.append(f"## {r.text} ##\n\n")
        elif r.kind == PARA:
            out.append(wrapped(r.text, 0, 0, width) + "\n")
            if next_kind(i) != PARA:
                out.append("\n")
        elif r.kind == OPTION:
            pad = " " * max(1, m + 1 - len(r.option))
            out.append(r.option + pad + mode_string(r.mask) + " " +
                       wrapped(r.text, n + m + first, n + m + 2, width) + "\n\n")
    return "".join(out)


# ---- the AsciiDoc text


def adoc_escape(text):
    return "".join("&#42;" if c == "*" else "\\|" if c == "|" else
                   "" if ord(c) < 32 and c not in "\t\r\n" else c for c in text)


def adoc_inline(text):
    out = []
    i = 0
    while i < len(text):
        if text[i] == " ":
            i += 1
            continue
        j, quoted = i, False
        while j < len(text) and (quoted or text[j] != " "):
            quoted ^= text[j] == '"'
            j += 1
        sep = " " if j < len(text) else ""
        e = adoc_escape(text[i:j][:63])
        if len(e) >= 3 and e[0] == "(" and e[2] == ")":
            out.append(f"**{e[:3]}**{e[3:]}{sep}")
        elif e[:1] == "-" and e[-1] in "),.":
            out.append(f"_{e[:-1]}_{e[-1]}{sep}")
        elif e[:1] == "-" and len(e) > 1 and e[1] not in "\t ":
            out.append(f"_{e}_{sep}")
        elif len(e) >= 3 and e[0] == "(" and e[1] == "-":
            out.append(f"(_{e[1:]}_{sep}")
        else:
            out.append(e + sep)
        i = j + 1
    return "".join(out)


def asciidoc_help(banner):
    out = [f"== Usage\n{banner}\n\n"]
    for i, r in enumerate(ROWS):
        if r.kind == HEADING:
            out.append(f"=== {adoc_escape(r.text)}\n")
        elif r.kind == PARA:
            out.append(adoc_inline(r.text) + (" +\n" if next_kind(i) == PARA else "\n\n"))
        elif r.kind == TABLE_START:
            out.append('[cols="90%,10%"]\n|===\n')
        elif r.kind == OPTION:
            out.append(f"|*{adoc_escape(r.option)}* | *{mode_string(r.mask)}*\n"
                       f"2+|{adoc_inline(r.text)}\n")
        elif r.kind == TABLE_END:
            out.append("|===\n")
    return "".join(out)


# ---- running the program


def split_hint(out: str):
    """The banner of a hint at the start of out, and the text after it."""
    banner, _, rest = out.partition("\n")
    assert BANNER.fullmatch(banner), repr(banner)
    hint = HINT.format(banner=banner)
    assert out.startswith(hint), repr(out[:200])
    return banner, out[len(hint):]


def run_on_pty(runner, args, columns, timeout=60):
    """Runs ostrel with standard output on a pseudo-terminal of the given
    width; returns the status and what it printed there."""
    master, slave = os.openpty()
    try:
        tty.setraw(slave)  # the bytes as written, without CRLF translation
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        p = subprocess.Popen([BIN, *args], cwd=runner.cwd, env=runner.env,
                             stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE)
    finally:
        os.close(slave)
    data = b""
    deadline = time.monotonic() + timeout
    try:
        while True:
            ready, _, _ = select.select([master], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                p.kill()
                pytest.fail(f"ostrel {args} on a terminal did not finish")
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: the program closed the terminal
                break
            if not chunk:
                break
            data += chunk
        err = p.stderr.read()
        status = p.wait(timeout=timeout)
    finally:
        os.close(master)
        p.stderr.close()
    assert_no_sanitizer_report(err)
    assert err == b""
    return status, data.decode("ascii")


# ---- the tests


def test_rows_as_listed():
    kinds = [r.kind for r in ROWS]
    assert len(ROWS) == 128
    assert [kinds.count(k) for k in (HEADING, OPTION, PARA, TABLE_START, TABLE_END)] == \
        [10, 62, 38, 9, 9]
    assert max(len(r.option) for r in ROWS) == 31
    assert all(r.text.isascii() and r.option.isascii() for r in ROWS)


def test_console_help_is_80_columns_without_a_terminal(ostrel):
    r = ostrel("/?")
    assert r.status == 1
    assert r.stderr == ""
    _, text = split_hint(r.stdout)
    assert text == console_help(80)


def test_doc_is_120_columns(ostrel):
    r = ostrel("-doc")
    assert r.status == 0
    assert r.stderr == ""
    _, text = split_hint(r.stdout)
    assert text == console_help(120)
    # The layout this width gives, spelled out for one row.
    assert ("-dsnid:id                       S-P Sets the envelope ID for DSN requests. If not "
            "set, a random ID will be used. \n\n") in text
    # Counting first lines from where their text starts would print otherwise.
    assert text != console_help(120, first=2)


def test_console_help_takes_the_terminal_width(ostrel):
    status, out = run_on_pty(ostrel, ["/?"], 100)
    assert status == 1
    _, text = split_hint(out)
    assert text == console_help(100)
    assert text != console_help(80)


def test_narrow_terminals(ostrel):
    for columns in range(1, 41):
        status, out = run_on_pty(ostrel, ["/?"], columns)
        assert status == 1
        _, text = split_hint(out)
        assert text == console_help(columns), columns


def asciidoc_run(ostrel, arg="-asciidoc"):
    r = ostrel(arg)
    assert r.status == 0
    assert r.stderr == ""
    lines = r.stdout.split("\n")
    assert lines[0] == "== Usage"
    banner = lines[1]
    assert BANNER.fullmatch(banner)
    return banner, r.stdout


@pytest.mark.parametrize("arg", ["-asciidoc", "-asciidocs", "-asciidoc:x"])
def test_asciidoc_exact(ostrel, arg):
    banner, out = asciidoc_run(ostrel, arg)
    assert out == asciidoc_help(banner)


class Blocks(html.parser.HTMLParser):
    """Headings, paragraphs (as their lines) and table cells, in order."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.blocks = []
        self.current = None

    def handle_starttag(self, tag, attrs):
        if self.current is None and tag in ("h2", "h3", "td", "p"):
            self.current = (tag, [""])
        elif tag == "br" and self.current:
            self.current[1].append("")

    def handle_endtag(self, tag):
        if self.current and tag == self.current[0]:
            self.blocks.append((tag, [line.strip("\n") for line in self.current[1]]))
            self.current = None

    def handle_data(self, data):
        if self.current:
            self.current[1][-1] += data


def typographic(text):
    """asciidoctor's replacements for the characters the rows use."""
    text = re.sub(r"(?<=\w)'(?=\w)", "\u2019", text)
    return text.replace("...", "\u2026\u200b")


def expected_blocks(banner):
    def plain(text):
        return typographic(" ".join(w for w in text.split(" ") if w))
    blocks = [("h2", ["Usage"]), ("p", [banner])]
    run = None
    for r in ROWS:
        if r.kind == PARA:
            if run is None:
                run = ("p", [])
                blocks.append(run)
            run[1].append(plain(r.text))
            continue
        run = None
        if r.kind == HEADING:
            blocks.append(("h3", [plain(r.text)]))
        elif r.kind == OPTION:
            blocks += [("td", [plain(r.option)]), ("td", [mode_string(r.mask)]),
                       ("td", [plain(r.text)])]
    return blocks


@pytest.mark.skipif(not shutil.which("asciidoctor", path="/usr/bin:/bin"),
                    reason="asciidoctor (Debian package asciidoctor) is not installed")
def test_asciidoctor_reads_the_asciidoc(ostrel):
    banner, out = asciidoc_run(ostrel)
    p = subprocess.run(["asciidoctor", "--failure-level=WARN", "-o", "-", "-"],
                       input=out.encode(), capture_output=True, timeout=120,
                       env={"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"})
    assert p.returncode == 0, p.stderr
    assert p.stderr == b""
    parser = Blocks()
    parser.feed(p.stdout.decode("utf-8"))
    assert parser.blocks == expected_blocks(banner)
