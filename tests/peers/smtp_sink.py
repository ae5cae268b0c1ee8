#!/usr/bin/python3
"""A fast SMTP sink for the delivery benchmark.

  smtp_sink.py [--port N] [--log FILE] [--limit S] [--block BYTES]

Listens on 127.0.0.1 (a free port unless given), prints "PORT <n> PID <pid>"
and serves one client after another. Commands get fixed replies (EHLO offers
8BITMIME, SMTPUTF8, SIZE and AUTH PLAIN LOGIN, and any AUTH is accepted);
DATA is read in large blocks and only searched for the end mark, so the
sink never sets the pace the way a line-by-line reader does. Each message
appends one JSON line to --log: {"bytes": n} (the count up to and including
the end mark's first CR LF, before unstuffing).
"""
import argparse
import ctypes
import json
import os
import signal
import socket
import sys

PR_SET_PDEATHSIG = 1
END = b"\r\n.\r\n"


def serve_client(conn, block, log):
    conn.sendall(b"220 sink.test ESMTP\r\n")
    pending = b""
    while True:
        while b"\r\n" not in pending:
            chunk = conn.recv(65536)
            if not chunk:
                return
            pending += chunk
            if len(pending) > 65536:  # no command is that long
                return
        line, pending = pending.split(b"\r\n", 1)
        verb = line[:4].upper()
        if verb in (b"EHLO", b"HELO"):
            conn.sendall(b"250-sink.test\r\n250-8BITMIME\r\n250-SMTPUTF8\r\n"
                         b"250-SIZE 0\r\n250 AUTH PLAIN LOGIN\r\n" if verb == b"EHLO"
                         else b"250 sink.test\r\n")
        elif verb == b"AUTH":
            words = line.split()
            if len(words) == 2 and words[1].upper() == b"LOGIN":
                for prompt in (b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n"):
                    conn.sendall(prompt)
                    while b"\r\n" not in pending:
                        chunk = conn.recv(65536)
                        if not chunk:
                            return
                        pending += chunk
                    pending = pending.split(b"\r\n", 1)[1]
            conn.sendall(b"235 2.7.0 OK\r\n")
        elif verb == b"DATA":
            conn.sendall(b"354 go ahead\r\n")
            # The message starts at a line start: a leading "\r\n" lets an
            # empty message's lone "." match too.
            data = b"\r\n" + pending
            total = len(pending)
            while True:
                at = data.find(END)
                if at >= 0:
                    break
                data = data[-(len(END) - 1):]
                chunk = conn.recv(block)
                if not chunk:
                    return
                total += len(chunk)
                data += chunk
            # Bytes after the mark are the next command (a pipelining client).
            pending = data[at + len(END):]
            size = total - len(pending) - 3
            if log:
                log.write(json.dumps({"bytes": size}) + "\n")
                log.flush()
            conn.sendall(b"250 2.0.0 OK\r\n")
        elif verb == b"QUIT":
            conn.sendall(b"221 2.0.0 bye\r\n")
            return
        else:
            conn.sendall(b"250 2.0.0 OK\r\n")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--log")
    ap.add_argument("--limit", type=float, default=300.0)
    ap.add_argument("--block", type=int, default=1 << 20)
    args = ap.parse_args()
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
    signal.signal(signal.SIGALRM, lambda *_: os._exit(0))
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    signal.alarm(max(1, int(args.limit + 0.999)))
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", args.port))
    srv.listen(8)
    print("PORT %d PID %d" % (srv.getsockname()[1], os.getpid()), flush=True)
    log = open(args.log, "a") if args.log else None
    while True:
        conn, _ = srv.accept()
        with conn:
            conn.settimeout(args.limit)
            try:
                serve_client(conn, args.block, log)
            except OSError:
                pass


if __name__ == "__main__":
    sys.exit(main())
