#!/usr/bin/python3
"""Runs an outside daemon that takes its port from its arguments or its
configuration (microsocks, tinyproxy, Postfix) on 127.0.0.1 for the tests.

  daemon_peer.py [--limit S] [--first-port N] [--tries N] [--ready S]
                 [--file PATH TEXT]... -- PROG ARG...

Every "{port}" in the arguments and in the file texts becomes the chosen
port; the files are written before each start. Once the daemon's own process
(or one of its children) listens on that port, "PORT <port> PID <pid>" is
printed on standard output. When the bind fails (the daemon ends, another
process holds the port, or nothing listens within --ready seconds), the daemon
is started again on another port, so two test runs never race for one.

Nothing outlives the test: the daemon gets SIGKILL when this process ends and
has an alarm of --limit seconds; this process ends (stopping the daemon) when
its parent ends, on SIGTERM, and after --limit seconds. The daemon must stay
in the foreground. Used by the tests as a program, or from Python through
start_daemon().
"""
import argparse
import ctypes
import os
import random
import signal
import socket
import subprocess
import sys
import time

PR_SET_PDEATHSIG = 1
# Below the kernel's default range of ephemeral ports, so outgoing
# connections rarely take the port a daemon is about to bind.
PORT_RANGE = (20000, 32767)


def set_parent_death_signal(sig):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, int(sig), 0, 0, 0)


def choose_port(rng):
    """A port that nobody listens on now; the daemon's own bind decides."""
    while True:
        port = rng.randint(*PORT_RANGE)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue


# Kernel TCP states (include/net/tcp_states.h), as /proc/net/tcp shows them.
LISTEN = "0A"
# A connection its server has not closed yet: accepted or waiting in the
# accept queue (established, or already closed by the client), or still
# being opened.
SERVED = {"01", "03", "08"}  # ESTABLISHED, SYN_RECV, CLOSE_WAIT


def tcp_sockets():
    """(local port, state, inode) of every TCP socket, IPv4 and IPv6."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                rows = [line.split() for line in f]
        except OSError:
            continue
        for cols in rows:
            yield int(cols[1].rsplit(":", 1)[1], 16), cols[3], cols[9]


def listening_inodes(port):
    """Inodes of the TCP sockets that listen on port, any address."""
    return {inode for local, state, inode in tcp_sockets() if local == port and state == LISTEN}


def connections_open(ports):
    """Whether a connection to one of ports waits for its server: taken, or
    queued and not yet taken, and not yet closed by the server. Once none
    does, the servers are done with every connection made to them."""
    ports = set(ports)
    return any(local in ports and state in SERVED for local, state, _ in tcp_sockets())


def process_tree(root):
    """root and every process below it."""
    children = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(name))
    tree, todo = [], [root]
    while todo:
        pid = todo.pop()
        tree.append(pid)
        todo.extend(children.get(pid, []))
    return tree


def socket_inodes(pids):
    found = set()
    for pid in pids:
        fd_dir = "/proc/%d/fd" % pid
        try:
            fds = os.listdir(fd_dir)
        except OSError:
            continue
        for fd in fds:
            try:
                link = os.readlink("%s/%s" % (fd_dir, fd))
            except OSError:
                continue
            if link.startswith("socket:["):
                found.add(link[8:-1])
    return found


def stop(proc, grace=2.0):
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def kill_and_reap(pid, grace=2.0):
    try:
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + grace
        while os.waitpid(pid, os.WNOHANG)[0] == 0:
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                break
            time.sleep(0.01)
    except OSError:
        pass


def bounded(limit):
    def child_setup():
        # Runs in the daemon between fork and exec (this process has no threads).
        set_parent_death_signal(signal.SIGKILL)
        signal.alarm(max(1, int(limit + 0.999)))

    return child_setup


def start_once(argv, files, port, limit, ready, out):
    """The daemon listening on port, or None when its bind failed."""
    for path, text in files:
        with open(path, "w") as f:
            f.write(text.replace("{port}", str(port)))
    cmd = [a.replace("{port}", str(port)) for a in argv]
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                            preexec_fn=bounded(limit))
    deadline = time.monotonic() + ready
    while proc.poll() is None and time.monotonic() < deadline:
        listeners = listening_inodes(port)
        if listeners:
            if listeners & socket_inodes(process_tree(proc.pid)):
                return proc
            # Someone else holds the port: our bind cannot succeed.
            break
        time.sleep(0.02)
    stop(proc)
    return None


def run(argv, files, limit, first_port, tries, ready, out):
    rng = random.Random(os.getpid() ^ time.monotonic_ns())
    for attempt in range(tries):
        port = first_port if attempt == 0 and first_port else choose_port(rng)
        proc = start_once(argv, files, port, limit, ready, out)
        if proc:
            return proc, port
        print("daemon_peer: %s did not take port %d" % (argv[0], port), file=sys.stderr,
              flush=True)
    return None, 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--limit", type=float, default=60.0)
    ap.add_argument("--first-port", type=int, default=0)
    ap.add_argument("--tries", type=int, default=8)
    ap.add_argument("--ready", type=float, default=5.0)
    ap.add_argument("--file", nargs=2, action="append", default=[], metavar=("PATH", "TEXT"))
    ap.add_argument("command", nargs=argparse.REMAINDER)
    args = ap.parse_args()
    argv = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not argv:
        ap.error("no daemon given")

    parent = os.getppid()
    # SIGTERM, not SIGKILL: the daemon must be stopped on the way out.
    set_parent_death_signal(signal.SIGTERM)
    if os.getppid() != parent:
        return 1
    proc = None

    def finish(signum, frame):
        # Plain system calls: the handler may interrupt Popen.wait, whose
        # lock it must not take.
        if proc:
            kill_and_reap(proc.pid)
        os._exit(128 + signum)

    signal.signal(signal.SIGTERM, finish)
    signal.signal(signal.SIGINT, finish)
    signal.signal(signal.SIGHUP, finish)
    signal.signal(signal.SIGALRM, finish)
    signal.alarm(max(1, int(args.limit + 0.999)))

    proc, port = run(argv, args.file, args.limit, args.first_port, args.tries, args.ready,
                     sys.stderr)
    if not proc:
        print("FAILED", flush=True)
        return 1
    print("PORT %d PID %d" % (port, proc.pid), flush=True)
    return proc.wait()


class Daemon:
    """A daemon run by this script as a program, for Python tests."""

    def __init__(self, proc, port, pid):
        self.proc, self.port, self.pid = proc, port, pid

    def stop(self):
        stop(self.proc)


def start_daemon(argv, files=(), limit=60.0, first_port=0, tries=8, ready=5.0):
    """Starts argv through this script; a Daemon, or None when no port took."""
    cmd = [sys.executable, os.path.abspath(__file__), "--limit", str(limit),
           "--first-port", str(first_port), "--tries", str(tries), "--ready", str(ready)]
    for path, text in files:
        cmd += ["--file", path, text]
    proc = subprocess.Popen(cmd + ["--"] + list(argv), stdout=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True)
    line = proc.stdout.readline().split()
    if len(line) != 4 or line[0] != "PORT":
        stop(proc)
        return None
    return Daemon(proc, int(line[1]), int(line[3]))


if __name__ == "__main__":
    sys.exit(main())
