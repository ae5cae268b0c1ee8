// The test peers themselves: outside daemons move to another port when theirs
// is taken, and no peer outlives its time limit or a test process that dies.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net_peers.hpp"

namespace ostrel {
namespace {

using namespace test;

// True when pid no longer runs: gone, or a zombie nobody has reaped yet.
bool has_ended(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return true;
    auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() &&
           (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X');
}

bool ends_within(pid_t pid, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!has_ended(pid)) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string program_of(pid_t pid) {
    std::string comm = read_file("/proc/" + std::to_string(pid) + "/comm");
    if (!comm.empty() && comm.back() == '\n') comm.pop_back();
    return comm;
}

// A socket listening on a port of 127.0.0.1, as another test run's peer would.
struct listener {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = 0;
    listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(sock, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(sock, 4) == 0 &&
            getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~listener() { close(sock); }
};

struct daemon_case {
    const char* program;
    std::vector<std::string> args;  // after the program; "{conf}" is its file
    const char* conf;               // the file's text, or NULL for none
};

const daemon_case daemons[] = {
    {"microsocks", {"-i", "127.0.0.1", "-p", "{port}"}, nullptr},
    {"tinyproxy",
     {"-d", "-c", "{conf}"},
     "Port {port}\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Critical\n"},
};

daemon_started start_case(peer_process& p, const daemon_case& k, int first_port, int limit_s) {
    std::string prog = need_program(k.program);
    if (prog.empty()) return {};
    std::string conf = make_temp_dir() + "/daemon.conf";
    std::vector<std::string> argv = {prog};
    for (const auto& a : k.args) argv.push_back(a == "{conf}" ? conf : a);
    std::vector<daemon_file> files;
    if (k.conf) files.push_back({conf, k.conf});
    return start_daemon(p, argv, files, first_port, limit_s);
}

TEST(TestPeers, DaemonMovesOffATakenPort) {
    listener taken;
    ASSERT_NE(taken.port, 0);
    for (const auto& k : daemons) {
        SCOPED_TRACE(k.program);
        peer_process p;
        daemon_started d = start_case(p, k, taken.port, peer_limit_s);
        ASSERT_NE(d.port, 0);
        EXPECT_NE(d.port, taken.port);
        EXPECT_NE(p.output().find("did not take port " + std::to_string(taken.port)),
                  std::string::npos)
            << p.output();
        EXPECT_EQ(program_of(d.pid), k.program);
        auto c = connect_local(d.port);
        p.stop();
        EXPECT_TRUE(ends_within(d.pid, 3000));
    }
}

TEST(TestPeers, PeersEndAtTheirTimeLimit) {
    // Any program started as a peer.
    {
        peer_process p;
        ASSERT_TRUE(p.start({"/bin/sleep", "30"}, 1));
        EXPECT_TRUE(p.wait_exit(3000));
    }
    // An outside daemon and the process that watches it.
    for (const auto& k : daemons) {
        SCOPED_TRACE(k.program);
        peer_process p;
        daemon_started d = start_case(p, k, 0, 1);
        ASSERT_NE(d.port, 0);
        EXPECT_TRUE(p.wait_exit(3000));
        EXPECT_TRUE(ends_within(d.pid, 3000));
    }
}

// Reads "pid pid ...\n" from fd within the time limit.
std::vector<pid_t> read_pids(int fd, int ms) {
    std::string text;
    char block[256];
    pollfd p{fd, POLLIN, 0};
    while (text.find('\n') == std::string::npos && poll(&p, 1, ms) > 0) {
        ssize_t n = read(fd, block, sizeof block);
        if (n <= 0) break;
        text.append(block, static_cast<size_t>(n));
    }
    std::vector<pid_t> pids;
    std::istringstream in(text);
    for (long pid; in >> pid;) pids.push_back(static_cast<pid_t>(pid));
    return pids;
}

struct death_case {
    const char* name;
    int sig;
    bool from_outside;  // killed by another process, or crashes by itself
};

// A copy of this test process starts every kind of peer and then dies
// without any clean-up: nothing it started may keep running.
TEST(TestPeers, NothingOutlivesAKilledTestProcess) {
    const death_case cases[] = {
        {"killed", SIGKILL, true},
        {"crashes", SIGSEGV, false},
    };
    const std::string openssl = need_program("openssl");
    const std::string microsocks = need_program("microsocks");
    ASSERT_FALSE(openssl.empty() || microsocks.empty());
    const auto& k = pki();
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            // No destructor ever runs here: the process ends by a signal or _exit.
            peer_process script, tls, daemon;
            int script_port = start_script_peer(script, R"([{"hold":30}])", "");
            bool tls_up = tls.start({openssl, "s_server", "-accept", "127.0.0.1:0", "-cert",
                                     k.self_cert, "-key", k.self_key, "-naccept", "1"}) &&
                          tls.wait_output("ACCEPT", 10000);
            daemon_started d =
                start_daemon(daemon, {microsocks, "-i", "127.0.0.1", "-p", "{port}"});
            if (!script_port || !tls_up || !d.port) _exit(1);
            std::string pids = std::to_string(script.pid()) + " " + std::to_string(tls.pid()) +
                               " " + std::to_string(daemon.pid()) + " " + std::to_string(d.pid) +
                               "\n";
            if (write(fds[1], pids.data(), pids.size()) < 0) _exit(1);
            if (!t.from_outside) {
                // A plain crash: no sanitizer report, no core file.
                rlimit no_core{0, 0};
                setrlimit(RLIMIT_CORE, &no_core);
                signal(t.sig, SIG_DFL);
                raise(t.sig);
            }
            for (;;) pause();
        }
        close(fds[1]);
        std::vector<pid_t> pids = read_pids(fds[0], 30000);
        close(fds[0]);
        if (t.from_outside) kill(child, t.sig);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_EQ(pids.size(), 4u) << "the peers did not start";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == t.sig);
        for (pid_t pid : pids) EXPECT_TRUE(ends_within(pid, 5000)) << "pid " << pid << " runs on";
    }
}

}  // namespace
}  // namespace ostrel
