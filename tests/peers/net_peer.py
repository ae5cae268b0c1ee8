#!/usr/bin/python3
"""Scripted TCP peer for the network tests.

Listens on 127.0.0.1 (port 0 unless given), prints "PORT <n>" on standard
output, accepts one connection and plays a script of steps given as JSON:

  {"send": "text"}        bytes of the text (latin-1), in one segment
  {"sendhex": "0500"}     bytes given in hex
  {"sleep": 0.2}          pause
  {"read_until": "\\r\\n"}  read until the text has arrived (or the peer closed)
  {"read": 3}             read exactly that many bytes
  {"drain": 0.5}          read until nothing came for that many seconds (or
                          the peer closed)
  {"flood": 100000}       send that many "x" bytes without a line end
  {"repeat": ["t", 1000]} send the text that many times
  {"hold": 5}             stay silent, keep the connection open
  {"trickle": "16030340", "every": 0.5}
                          bytes given in hex, one at a time, a pause after
                          each (ends the script when the client has gone)
  {"close": true}         close now
  {"tls": ["cert.pem", "key.pem"]}  TLS server handshake on the connection

Everything received is appended to the log file given with --log. After the
script the peer reads until the client closes, then exits. The whole run is
bounded by --limit seconds; an alarm shortly after ends the process whatever
it is doing.
"""
import argparse
import json
import signal
import socket
import ssl
import sys
import time


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--script", required=True)
    ap.add_argument("--log", default=None)
    ap.add_argument("--limit", type=float, default=20.0)
    args = ap.parse_args()
    steps = json.loads(args.script)
    deadline = time.monotonic() + args.limit
    # A step that blocks (a send to a peer that stopped reading) must not
    # keep the process alive past its limit.
    signal.alarm(int(args.limit) + 5)

    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    print("PORT %d" % srv.getsockname()[1], flush=True)
    srv.settimeout(max(0.1, deadline - time.monotonic()))
    try:
        conn, _ = srv.accept()
    except socket.timeout:
        return 1
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    log = open(args.log, "ab", buffering=0) if args.log else None
    got = bytearray()

    def receive(quiet=None):
        left = deadline - time.monotonic()
        if left <= 0:
            return b""
        conn.settimeout(left if quiet is None else min(left, quiet))
        try:
            data = conn.recv(65536)
        except (socket.timeout, OSError):
            return b""
        if data:
            got.extend(data)
            if log:
                log.write(data)
        return data

    try:
        for step in steps:
            if "send" in step:
                conn.sendall(step["send"].encode("latin-1"))
            elif "sendhex" in step:
                conn.sendall(bytes.fromhex(step["sendhex"]))
            elif "sleep" in step:
                time.sleep(step["sleep"])
            elif "read_until" in step:
                want = step["read_until"].encode("latin-1")
                while want not in got and receive():
                    pass
                i = got.find(want)
                del got[: i + len(want) if i >= 0 else len(got)]
            elif "read" in step:
                while len(got) < step["read"] and receive():
                    pass
                del got[: step["read"]]
            elif "drain" in step:
                while receive(step["drain"]):
                    pass
                got.clear()
            elif "flood" in step:
                conn.sendall(b"x" * step["flood"])
            elif "repeat" in step:
                conn.sendall(step["repeat"][0].encode("latin-1") * step["repeat"][1])
            elif "trickle" in step:
                for b in bytes.fromhex(step["trickle"]):
                    if time.monotonic() >= deadline:
                        break
                    conn.sendall(bytes([b]))
                    time.sleep(step["every"])
            elif "hold" in step:
                time.sleep(min(step["hold"], max(0, deadline - time.monotonic())))
            elif "tls" in step:
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                ctx.load_cert_chain(step["tls"][0], step["tls"][1])
                conn.settimeout(max(0.1, deadline - time.monotonic()))
                conn = ctx.wrap_socket(conn, server_side=True)
            elif "close" in step:
                conn.close()
                return 0
        while receive():
            pass
    except OSError:
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
