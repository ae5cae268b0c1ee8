#!/usr/bin/python3
"""Delivery benchmark: a message with a large attachment sent over loopback
to a sink that reads DATA in large blocks (tests/peers/smtp_sink.py), so the
sink never sets the pace. Prints wall time and peak memory of

  - ostrel composing and delivering the message (-a:FILE -host:...),
  - ostrel composing the same message into a file (File mode),
  - curl uploading that file to the same sink (smtp://... -T),
  - swaks sending the same attachment (--attach),

and, from strace -c, ostrel's send calls per MB beside the message's lines
per MB (output is coalesced into large blocks).

  bench/deliver.py [--ostrel PATH] [--mb 100] [--no-swaks]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SINK = ROOT / "tests" / "peers" / "smtp_sink.py"


def run(argv, **kw):
    """Wall seconds and peak resident memory (MB) of one child process."""
    start = time.monotonic()
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.monotonic() - start
    err = p.stderr.read().decode(errors="replace")
    p.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"{argv[0]} failed with {code}: {err[-2000:]}")
    return wall, usage.ru_maxrss / 1024.0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--ostrel", default=str(ROOT / "build" / "src" / "ostrel"))
    ap.add_argument("--mb", type=int, default=100)
    ap.add_argument("--no-swaks", action="store_true")
    args = ap.parse_args()

    work = Path(tempfile.mkdtemp(prefix="ostrel-bench-deliver-"))
    sink = subprocess.Popen(["/usr/bin/python3", str(SINK), "--limit", "900"],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        words = sink.stdout.readline().decode().split()
        port = int(words[1])
        attachment = work / "payload.bin"
        with open(attachment, "wb") as f:
            for _ in range(args.mb):
                f.write(os.urandom(1 << 20))
        common = ["-nodefault", "-from:me@example.org", "-to:you@example.org",
                  "-subject:Benchmark", "-body:See the attachment.", f"-a:{attachment}"]
        host = f"-host:127.0.0.1:{port}"

        rows = []
        wall, mem = run([args.ostrel, *common, host])
        rows.append(("ostrel deliver", wall, mem))
        eml = work / "msg.eml"
        wall, mem = run([args.ostrel, *common, f"-file:{eml}"])
        rows.append(("ostrel File mode (compose only)", wall, mem))
        size_mb = eml.stat().st_size / 1e6
        lines = eml.read_bytes().count(b"\n")
        if shutil.which("curl"):
            wall, mem = run(["curl", "-s", f"smtp://127.0.0.1:{port}", "--mail-from",
                             "me@example.org", "--mail-rcpt", "you@example.org", "-T", str(eml)])
            rows.append(("curl upload of the File mode message", wall, mem))
        if shutil.which("swaks") and not args.no_swaks:
            wall, mem = run(["swaks", "--server", "127.0.0.1", "--port", str(port), "--from",
                             "me@example.org", "--to", "you@example.org", "--attach",
                             str(attachment), "--suppress-data"])
            rows.append(("swaks --attach", wall, mem))

        sends = None
        if shutil.which("strace"):
            out = work / "strace.txt"
            subprocess.run(["strace", "-f", "-c", "-o", str(out), "-e",
                            "trace=sendto,sendmsg,write,writev", args.ostrel, *common, host],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            sends = 0
            for line in out.read_text().splitlines():
                m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", line)
                if m and m.group(2) in ("sendto", "sendmsg", "write", "writev"):
                    sends += int(m.group(1))

        print(f"message: {size_mb:.1f} MB, {lines} lines ({lines / size_mb:.0f} lines/MB), "
              f"attachment {args.mb} MiB")
        print(f"{'run':40} {'wall s':>8} {'peak MB':>9}")
        for name, wall, mem in rows:
            print(f"{name:40} {wall:8.3f} {mem:9.1f}")
        ours = rows[0][1]
        ref = {name: wall for name, wall, _ in rows}
        curl = ref.get("curl upload of the File mode message")
        if curl:
            print(f"ostrel deliver / curl upload: {ours / curl:.2f}x (aim: at most 1.0x)")
        swaks = ref.get("swaks --attach")
        if swaks:
            print(f"ostrel deliver / swaks: {ours / swaks:.3f}x (aim: at most 0.05x)")
        print(f"ostrel deliver peak memory: {rows[0][2]:.1f} MB (aim: at most 16 MB)")
        if sends is not None:
            print(f"send calls: {sends} ({sends / size_mb:.1f} per MB) "
                  f"beside {lines / size_mb:.0f} lines per MB")
    finally:
        sink.terminate()
        try:
            sink.wait(5)
        except subprocess.TimeoutExpired:
            sink.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
