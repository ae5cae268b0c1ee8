"""The program's start-up, early pass, order of sources, checks and exits."""
import email
import email.utils
import os
import re
import socket
import subprocess
import time

import pytest

from conftest import BIN, assert_no_sanitizer_report

BANNER = re.compile(r"^Ostrel \S+ amd64 \(.+\), .+$")
HINT_TAIL = '\n\nUse "ostrel /?" for help.\n\n'
MISSING = ["No host or output file specified", "No from address specified",
           "No recipients specified"]


def assert_hint(out: str):
    assert out.endswith(HINT_TAIL), repr(out)
    banner = out[: -len(HINT_TAIL)]
    assert "\n" not in banner and BANNER.match(banner), repr(banner)


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_alone_prints_banner_and_hint(ostrel):
    r = ostrel()
    assert r.status == 1
    assert_hint(r.stdout)
    assert r.stderr == ""


@pytest.mark.parametrize("arg, shown", [
    ("-foo", "foo"),
    ("to:x@example.org", "to:x@example.org"),
    ("-", ""),
    ("-docx", "docx"),
    ("-bindpass", "bindpass"),
])
def test_unknown_options(ostrel, arg, shown):
    r = ostrel("-nodefault", arg)
    assert r.status == 2
    assert r.stderr == f"Unknown option: {shown}\n"


def test_nothing_to_send_lists_every_missing_setting(ostrel):
    r = ostrel("-nodefault")
    assert r.status == 1
    assert_hint(r.stdout)
    assert r.stderr.splitlines() == MISSING


def test_hint_comes_before_the_errors_on_one_stream(ostrel):
    # With 2>&1 the buffered standard output must not trail the error lines.
    p = subprocess.run([BIN, "-nodefault"], cwd=ostrel.cwd, env=ostrel.env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=60)
    assert_no_sanitizer_report(p.stdout)
    assert p.returncode == 1
    text = p.stdout.decode()
    assert text.endswith(HINT_TAIL + "\n".join(MISSING) + "\n"), repr(text)


def test_stdin_prompt_comes_before_the_send_failure_on_one_stream(ostrel):
    r = ostrel.at_terminal("-nodefault", "--", f"-host:127.0.0.1:{closed_port()}",
                           "-from:a@example.org", "-to:b@example.org", typed=b"hi\n",
                           merged=True)
    assert r.status == 50
    assert r.stdout.startswith(
        "Reading body from stdin, enter message and end with ^D\n"
        "Finished reading bodyMessage send failed ("), r.out


def test_only_the_missing_settings_are_named(ostrel):
    r = ostrel("-nodefault", "-host:127.0.0.1", "-from:me@example.org")
    assert r.status == 1
    assert_hint(r.stdout)
    assert r.stderr.splitlines() == ["No recipients specified"]


@pytest.mark.parametrize("arg, status", [
    ("-doc", 0), ("/?", 1), ("-asciidoc", 0), ("-asciidoc-anything", 0)])
def test_help_switches_end_the_run(ostrel, arg, status):
    # The help switch wins over an option the dispatcher would refuse.
    r = ostrel("-nodefault", "-unknown-here", arg)
    assert r.status == status
    assert r.stderr == ""
    # The AsciiDoc help opens with its title, then the banner.
    assert r.stdout.startswith("== Usage\nOstrel " if arg.startswith("-asciidoc") else "Ostrel ")


def test_results_file_that_cannot_be_created(ostrel):
    target = ostrel.path("no-such-dir") / "r.json"
    r = ostrel(f"-results:{target}", "-nodefault")
    assert r.status == 1
    assert r.stderr == f"Unable to open results file {target}\n"
    assert r.stdout == ""


def test_results_file_exists_when_the_run_fails(ostrel):
    r = ostrel("-results:first.json", "-results:second.json", "-nodefault")
    assert r.status == 1
    assert ostrel.path("first.json").exists()
    assert ostrel.path("second.json").exists()


def test_results_before_password_obfuscation_creates_the_file(ostrel):
    r = ostrel("-results:r.json", "-encryptpass:secret")
    assert r.status == 0
    assert r.stdout.startswith("$") and r.stderr == ""
    assert ostrel.path("r.json").read_bytes() == b""


def test_help_after_password_obfuscation_still_wins(ostrel):
    r = ostrel("-encryptpass:secret", "/?")
    assert r.status == 1
    assert r.stdout.startswith("Ostrel ")


def test_verify_needs_a_ca_path(ostrel):
    r = ostrel("-nodefault", "-verify", "-host:127.0.0.1", "-from:a@example.org",
               "-to:b@example.org")
    assert r.status == 1
    assert r.stderr == "No certificate verification path provided (-verify-ca-path)\n"


def test_host_and_output_file_together_are_refused(ostrel):
    r = ostrel("-nodefault", "-host:127.0.0.1", "-file:out.eml", "-from:a@example.org",
               "-to:b@example.org")
    assert r.status == 1
    assert r.stderr == "Concurrent e-mail delivery and output to file not supported\n"
    assert not ostrel.path("out.eml").exists()


def test_missing_config_file(ostrel):
    r = ostrel("-nodefault", "-bogus", "-config:nothere.conf")
    assert r.status == 1
    assert r.stderr == "Unable to open configuration file nothere.conf\n"


def test_config_files_come_before_every_command_line_option(ostrel):
    ostrel.write("c.conf", "from-config-bogus\n")
    r = ostrel("-nodefault", "-cmdline-bogus", "-config:c.conf")
    assert r.status == 2
    assert r.stderr == "Unknown option: from-config-bogus\n"


def test_default_config_file_and_nodefault(ostrel):
    appdata = ostrel.path("appdata")
    ostrel.write("appdata/ostrel.conf", "default-bogus\n")
    r = ostrel("-subject:x", env={"APPDATA": str(appdata)})
    assert r.status == 2
    assert r.stderr == "Unknown option: default-bogus\n"
    r = ostrel("-nodefault", env={"APPDATA": str(appdata)})
    assert r.status == 1
    assert r.stderr.splitlines() == MISSING


def test_failed_delivery_without_a_reply_ends_with_50(ostrel):
    port = closed_port()
    r = ostrel("-nodefault", f"-host:127.0.0.1:{port}", "-from:a@example.org",
               "-to:b@example.org")
    assert r.status == 50
    assert r.stderr == f"Message send failed (Could not connect to [127.0.0.1]:{port})\n"


def test_failure_line_is_stamped_with_dd(ostrel):
    r = ostrel("-nodefault", "-dd", f"-host:127.0.0.1:{closed_port()}",
               "-from:a@example.org", "-to:b@example.org")
    assert r.status == 50
    assert re.match(r"^\[\d+\.\d{3}\] Message send failed \(", r.stderr), r.stderr


def test_output_file_that_cannot_be_opened(ostrel):
    target = ostrel.path("no-such-dir") / "out.eml"
    r = ostrel("-nodefault", f"-file:{target}", "-from:a@example.org", "-to:b@example.org")
    assert r.status == 3
    assert r.stderr == "Failed to open output file\n"


def test_body_from_stdin_prompt(ostrel):
    r = ostrel.at_terminal("-nodefault", "--", "-file:out.eml", "-from:a@example.org",
                           "-to:b@example.org", typed=b"line one\nline two\n")
    assert r.stdout == ("Reading body from stdin, enter message and end with ^D\n"
                        "Finished reading body")
    assert r.status == 0
    msg = email.message_from_bytes(ostrel.path("out.eml").read_bytes())
    assert msg.get_payload().startswith("line one\r\nline two\r\n")


def test_empty_stdin_gives_an_empty_body(ostrel):
    r = ostrel("-nodefault", "--", "-file:out.eml", "-from:a@example.org",
               "-to:b@example.org", stdin=b"")
    assert r.status == 0, r.stderr
    assert r.stdout == ""  # no terminal, no prompt
    # An empty body: nothing but the line end that closes it.
    assert ostrel.path("out.eml").read_bytes().split(b"\r\n\r\n", 1)[1] == b"\r\n"


@pytest.mark.parametrize("kind", ["directory", "write-only"])
def test_unreadable_stdin_ends_the_run_instead_of_sending_without_a_body(ostrel, kind):
    if kind == "directory":
        fd = os.open(ostrel.cwd, os.O_RDONLY | os.O_DIRECTORY)
    else:
        fd = os.open(ostrel.write("in.txt", "never read\n"), os.O_WRONLY)
    try:
        p = subprocess.run([BIN, "-nodefault", "--", "-file:out.eml", "-from:a@example.org",
                            "-to:b@example.org"], cwd=ostrel.cwd, env=ostrel.env, stdin=fd,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    finally:
        os.close(fd)
    assert p.returncode == 10
    # The error line alone (no terminal, no prompt), and nothing written.
    assert p.stdout.decode() == "Failed to read body file (-)\n"
    assert not ostrel.path("out.eml").exists()


def test_message_time_is_the_time_of_the_run(ostrel):
    before = time.time()
    r = ostrel("-nodefault", "-file:out.eml", "-from:a@example.org", "-to:b@example.org")
    after = time.time()
    assert r.status == 0, r.stderr
    msg = email.message_from_bytes(ostrel.path("out.eml").read_bytes())
    sent = email.utils.parsedate_to_datetime(msg["Date"]).timestamp()
    # time() reads a coarse clock that may lag a tick behind time.time().
    assert int(before) - 1 <= sent <= after + 1


@pytest.mark.parametrize("headers, args, missing", [
    # Nothing on the command line: both are taken from the file.
    ("From: a@example.org\r\nTo: b@example.org\r\n", [], None),
    # Blind copies are recipients too.
    ("From: a@example.org\r\nBcc: b@example.org\r\n", [], None),
    # A -to: option keeps the file's To out but still asks it for From.
    ("From: a@example.org\r\n", ["-to:c@example.org"], None),
    ("To: b@example.org\r\n", ["-from:a@example.org"], None),
    ("To: b@example.org\r\n", ["-to:c@example.org"], ["No from address specified"]),
    ("Subject: none\r\n", [], MISSING[1:]),
])
def test_preconstructed_mode_takes_what_is_missing_from_the_file(ostrel, headers, args,
                                                                 missing):
    ostrel.write("m.eml", headers + "\r\nbody\r\n")
    r = ostrel("-nodefault", "-emailfile:m.eml", f"-host:127.0.0.1:{closed_port()}", *args)
    if missing is None:
        # The checks passed: the run reached the delivery, which has no server.
        assert r.status == 50
        assert r.stderr.startswith("Message send failed (")
    else:
        assert r.status == 1
        assert_hint(r.stdout)
        assert r.stderr.splitlines() == missing


def test_file_mode_writes_the_message(ostrel):
    r = ostrel("-nodefault", "-file:out.eml", "-from:a@example.org", "-to:b@example.org",
               "-subject:hello")
    assert r.status == 0, r.stderr
    text = ostrel.path("out.eml").read_bytes().decode()
    assert "\r\nX-Mailer: Ostrel " in text
    assert re.search(r"^X-Mailer: Ostrel \S+ amd64 \(.+\)\r$", text, re.M)


def test_addresses_with_line_breaks_are_refused(ostrel):
    # A line break in an address must not reach the header block as a field.
    r = ostrel("-nodefault", "-file:out.eml", "-from:a@example.org\r\nBcc: x@example.org",
               "-to:b@example.org\nX-Evil: 1")
    assert r.status == 1
    assert r.stderr == "Invalid address for -from (a@example.org\\x0d\\x0aBcc)\n"
    assert not ostrel.path("out.eml").exists()
