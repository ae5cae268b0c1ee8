"""Shared fixtures: run the built ostrel binary in a scratch folder."""
import os
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

BIN = os.environ.get("OSTREL_BIN") or str(
    Path(__file__).resolve().parents[2] / "build" / "src" / "ostrel")

# A sanitizer-built binary takes its options from these and reports here.
SANITIZER_VARS = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
SANITIZER_REPORT = re.compile(rb"ERROR: \w+Sanitizer|SUMMARY: \w+Sanitizer|: runtime error: ")


def carries_address_sanitizer(binary: str) -> bool:
    """Whether the program holds the AddressSanitizer runtime, linked in
    (clang) or as a shared library (GCC): either way its dynamic symbols name
    the runtime's entry point. Told by the binary: sanitizer options in the
    environment say nothing about how it was built."""
    nm = subprocess.run(["nm", "-D", binary], capture_output=True)
    return nm.returncode == 0 and re.search(rb"\s__asan_init\n", nm.stdout) is not None


ADDRESS_SANITIZED = carries_address_sanitizer(BIN)


# First: the parallel run reads the groups in a hook of its own.
@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    keep_postfix_on_one_worker(items)
    leave_out_memory_bounded(config, items)


def keep_postfix_on_one_worker(items):
    """Run in parallel (pytest -n with --dist loadgroup), the cases of the
    private Postfix go to one worker: each worker would start instances of
    its own, which take seconds each."""
    for item in items:
        if "postfix" in item.fixturenames:
            item.add_marker(pytest.mark.xdist_group("postfix"))


def leave_out_memory_bounded(config, items):
    """Leaves the out-of-memory cases out of an AddressSanitizer build. Its
    allocator reserves shadow memory far beyond any address-space bound, and
    ends the process itself when a throwing new fails instead of throwing
    std::bad_alloc, so the program's out-of-memory path cannot be reached
    there. Every other build runs them."""
    if not ADDRESS_SANITIZED:
        return
    left_out = [item for item in items if item.get_closest_marker("memory_bounded")]
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = [item for item in items if item not in left_out]


# Runs the program with the permission bits binding even for root, who reads
# every file and folder only through these two capabilities.
FILE_ACCESS_CHECKED = (["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
                       if os.geteuid() == 0 else [])


def require_file_access_checks():
    """Skips the calling case where root cannot give the capabilities up on
    this machine: there the permission bits it tests bind no one. Wherever
    the program runs unprivileged, or root can drop them (here and in CI),
    the case runs."""
    if FILE_ACCESS_CHECKED and subprocess.run([*FILE_ACCESS_CHECKED, "true"],
                                              capture_output=True).returncode != 0:
        pytest.skip("root cannot give up its file-access capabilities on this machine")


def assert_no_sanitizer_report(output: bytes):
    report = SANITIZER_REPORT.search(output)
    assert not report, output[report.start():].decode("utf-8", "replace")


@dataclass
class Result:
    status: int
    out: bytes
    err: bytes

    @property
    def stdout(self) -> str:
        return self.out.decode("utf-8", "replace")

    @property
    def stderr(self) -> str:
        return self.err.decode("utf-8", "replace")


# Marks the environment of every run of the program, so that a run is known
# for one even where OSTREL_BIN is a wrapper that executes something else.
RUN_MARK = ("OSTREL_UNDER_TEST", "1")


class Runner:
    """Runs ostrel with a clean environment in its own temporary folder.

    No APPDATA reaches the program unless a test passes one, so a developer's
    own default configuration never leaks into a run. A sanitizer report on
    standard error fails the run whatever its status.
    """

    def __init__(self, cwd: Path):
        self.cwd = cwd
        self.env = {"PATH": "/usr/bin:/bin", "HOME": str(cwd), "LANG": "C.UTF-8",
                    RUN_MARK[0]: RUN_MARK[1]}
        self.env.update({k: os.environ[k] for k in SANITIZER_VARS if k in os.environ})

    def __call__(self, *args, stdin=b"", env=None, timeout=60, wrapper=()) -> Result:
        """wrapper: a command that runs the program, such as FILE_ACCESS_CHECKED."""
        full_env = dict(self.env)
        full_env.update(env or {})
        p = subprocess.run([*wrapper, BIN, *map(str, args)], cwd=self.cwd, env=full_env,
                           input=stdin, capture_output=True, timeout=timeout)
        assert_no_sanitizer_report(p.stderr)
        return Result(p.returncode, p.stdout, p.stderr)

    def at_terminal(self, *args, typed=b"", merged=False, timeout=60) -> Result:
        """Runs ostrel with a terminal as standard input, on which typed (whole
        lines) and then the end-of-input key ^D are typed. merged: standard
        error goes to standard output."""
        master, slave = os.openpty()
        try:
            p = subprocess.Popen([BIN, *map(str, args)], cwd=self.cwd, env=self.env,
                                 stdin=slave, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT if merged else subprocess.PIPE)
            os.close(slave)
            slave = None
            # ^D ends the input only where it starts a line, and a reader that
            # reads on after a short read meets it once more.
            os.write(master, typed + b"\x04\x04")
            try:
                out, err = p.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()
                raise
        finally:
            if slave is not None:
                os.close(slave)
            os.close(master)
        err = err or b""
        assert_no_sanitizer_report(err + (out if merged else b""))
        return Result(p.returncode, out, err)

    def written(self, r: Result, name: str = "out.eml") -> bytes:
        """The file a File mode run wrote: the run must succeed and write it."""
        assert r.status == 0, f"status {r.status}: {r.stderr!r}"
        out = self.cwd / name
        assert out.exists(), f"{name} not written: {r.stderr!r}"
        return out.read_bytes()

    def path(self, name: str) -> Path:
        return self.cwd / name

    def write(self, name: str, data) -> Path:
        p = self.cwd / name
        p.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(data, str):
            data = data.encode("utf-8")
        p.write_bytes(data)
        return p


@pytest.fixture
def ostrel(tmp_path) -> Runner:
    return Runner(tmp_path)
