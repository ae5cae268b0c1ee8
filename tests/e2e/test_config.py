"""Configuration files through the binary: the default file, -config: files,
standard input, the file format and the order of the sources.

A line the dispatcher refuses ends the run with "Unknown option: <line>", so
an unknown keyword planted in a file shows exactly which lines were read, in
which order, and how they were split."""
import email
import email.policy

import pytest

from test_main import MISSING


def test_default_file_from_appdata(ostrel):
    ostrel.write("cfg/ostrel.conf", "bogus-default\n")
    r = ostrel("-subject:x", env={"APPDATA": str(ostrel.path("cfg"))})
    assert r.status == 2
    assert r.stderr == "Unknown option: bogus-default\n"


@pytest.mark.parametrize("env,folder", [
    ({"XDG_CONFIG_HOME": "{d}/xdg"}, "xdg"),
    ({}, ".config"),
    ({"APPDATA": "", "XDG_CONFIG_HOME": "{d}/xdg"}, "xdg"),
])
def test_default_file_fallback_folders(ostrel, env, folder):
    ostrel.write(f"{folder}/ostrel.conf", "bogus-fallback\n")
    env = {k: v.format(d=ostrel.cwd) for k, v in env.items()}
    r = ostrel("-subject:x", env=env)  # HOME is the scratch folder
    assert r.stderr == "Unknown option: bogus-fallback\n"


def test_nodefault_and_missing_default(ostrel):
    # Either way the run goes on to the settings check, with nothing read.
    ostrel.write("cfg/ostrel.conf", "bogus-default\n")
    env = {"APPDATA": str(ostrel.path("cfg"))}
    r = ostrel("-subject:x", "-nodefault", env=env)
    assert r.status == 1
    assert r.stderr.splitlines() == MISSING
    r = ostrel("-subject:x", env={"APPDATA": str(ostrel.path("empty"))})
    assert r.status == 1
    assert r.stderr.splitlines() == MISSING


def test_config_files_come_before_every_option(ostrel):
    ostrel.write("cfg/ostrel.conf", "ign:default\n")
    ostrel.write("a.conf", "bogus-in-a\n")
    r = ostrel("-bogus-on-cmdline", "-config:a.conf",
               env={"APPDATA": str(ostrel.path("cfg"))})
    assert r.status == 2
    assert r.stderr == "Unknown option: bogus-in-a\n"


def test_config_files_in_command_line_order_after_default(ostrel):
    ostrel.write("cfg/ostrel.conf", "bogus-default\n")
    ostrel.write("a.conf", "bogus-in-a\n")
    ostrel.write("b.conf", "ign:b\nbogus-in-b\n")
    env = {"APPDATA": str(ostrel.path("cfg"))}
    assert ostrel("-config:b.conf", "-config:a.conf", env=env).stderr == \
        "Unknown option: bogus-default\n"
    assert ostrel("-config:b.conf", "-config:a.conf", "-nodefault", env=env).stderr == \
        "Unknown option: bogus-in-b\n"


def test_missing_config_file(ostrel):
    r = ostrel("-bogus", "-config:nothere.conf")
    assert r.status == 1
    assert r.stderr == "Unable to open configuration file nothere.conf\n"


def test_config_naming_a_directory(ostrel):
    ostrel.path("confdir").mkdir()
    r = ostrel("-config:confdir", "-bogus")
    assert r.status == 1
    assert r.stderr == "Unable to open configuration file confdir\n"


def test_config_from_standard_input(ostrel):
    r = ostrel("-config:-", stdin=b"# from a pipe\nign:x\nbogus-stdin\n")
    assert r.status == 2
    assert r.stderr == "Unknown option: bogus-stdin\n"


@pytest.mark.parametrize("data", [
    b"ign:a\nbogus-line\n",
    b"ign:a\r\nbogus-line\r\n",
    b"ign:a\rbogus-line\r",
    b"\r\n\n\rign:a\r\r\n\nbogus-line",
    b"\xef\xbb\xbfbogus-line\n",
    b"# comment\n#bogus-commented\nbogus-line\n",
])
def test_line_ends_bom_and_comments(ostrel, data):
    ostrel.write("c.conf", data)
    r = ostrel("-config:c.conf")
    assert r.status == 2
    assert r.stderr == "Unknown option: bogus-line\n"


def test_leading_space_and_inner_hash(ostrel):
    ostrel.write("c.conf", "subject:a # not a comment\n to:a@example.org\n")
    r = ostrel("-config:c.conf")
    assert r.status == 2
    assert r.stderr == "Unknown option:  to:a@example.org\n"


def test_file_only_ignored_keywords(ostrel):
    ostrel.write("inner.conf", "bogus-nested\n")
    ostrel.write("c.conf", "config:inner.conf\nnodefault\nskipnofile\nclutf8\n"
                 "body-literal\nresults:r.json\nign:x\na:missing.bin\n")
    r = ostrel("-config:c.conf")
    # Files do not nest, and skipnofile from a file does not pass the
    # missing attachment over; results: from a file writes nothing.
    assert r.status == 10
    assert r.stderr == "Failed to attach file (missing.bin)\n"
    assert not ostrel.path("r.json").exists()


@pytest.mark.parametrize("line", ["encryptpass:secret", "bindpass", "doc", "asciidoc"])
def test_file_rejected_keywords(ostrel, line):
    ostrel.write("c.conf", line + "\n")
    r = ostrel("-config:c.conf")
    assert r.status == 2
    assert r.stderr == f"Unknown option: {line}\n"


def test_long_line(ostrel):
    big = "y" * 200000
    ostrel.write("c.conf", "ign:" + big + "\nbogus-" + big + "\n")
    r = ostrel("-config:c.conf")
    assert r.status == 2
    assert r.stderr == f"Unknown option: bogus-{big}\n"


def written_message(ostrel, *args, **kw):
    """The message File mode writes for these arguments."""
    r = ostrel(*args, **kw)
    return email.message_from_bytes(ostrel.written(r), policy=email.policy.default)


def test_later_settings_replace_values_and_add_to_lists(ostrel):
    ostrel.write("cfg/ostrel.conf", "subject:default\nto:d@example.org\nfrom:me@example.org\n")
    ostrel.write("a.conf", "subject:from a\ncc:c@example.org\n")
    msg = written_message(ostrel, "-subject:command line", "-to:t@example.org",
                          "-config:a.conf", "-file:out.eml",
                          env={"APPDATA": str(ostrel.path("cfg"))})
    assert msg["Subject"] == "command line"
    assert sorted(a.addr_spec for a in msg["To"].addresses) == ["d@example.org",
                                                               "t@example.org"]
    assert [a.addr_spec for a in msg["Cc"].addresses] == ["c@example.org"]


def test_settings_from_standard_input_and_crlf_file(ostrel):
    ostrel.write("c.conf", b"\xef\xbb\xbfsubject:crlf\r\n#x\r\nto:a@example.org\r\n")
    msg = written_message(ostrel, "-config:-", "-config:c.conf", "-file:out.eml",
                          stdin=b"from:me@example.org\rbody:hello\r")
    assert msg["Subject"] == "crlf"
    assert msg["From"].addresses[0].addr_spec == "me@example.org"
    assert msg.get_content().strip() == "hello"


@pytest.mark.parametrize("switch", [[], ["-clutf8"]])
def test_utf8_arguments_and_file_lines_arrive_intact(ostrel, switch):
    ostrel.write("c.conf", "to:z\u00fc@example.org:J\u00fcrgen \u0141\u00f3d\u017a\n")
    msg = written_message(ostrel, *switch, "-from:me@example.org", "-config:c.conf",
                          "-subject:Gr\u00fc\u00dfe \u20ac \u65e5\u672c", "-file:out.eml")
    assert msg["Subject"] == "Gr\u00fc\u00dfe \u20ac \u65e5\u672c"
    assert msg["To"].addresses[0].display_name == "J\u00fcrgen \u0141\u00f3d\u017a"


def test_config_from_stdin_leaves_nothing_for_the_body(ostrel):
    msg = written_message(ostrel, "-config:-", "--", "-from:me@example.org",
                          "-to:a@example.org", "-file:out.eml",
                          stdin=b"subject:piped\nbody:never the body\n")
    assert msg["Subject"] == "piped"
    assert "never the body" not in msg.get_content()
    assert msg.get_content().strip() == ""
