#include "net_peers.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace ostrel::test {

namespace fs = std::filesystem;

namespace {

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::vector<std::string>& temp_dirs() {
    static std::vector<std::string> dirs;
    return dirs;
}

void remove_temp_dirs() {
    std::error_code ec;
    for (const auto& d : temp_dirs()) fs::remove_all(d, ec);
}

// Runs a shell command bounded in time; true when it exits 0.
bool run(const std::string& cmd) {
    std::string full = "timeout 30 " + cmd + " >/dev/null 2>&1";
    return std::system(full.c_str()) == 0;
}

}  // namespace

bool peer_process::start(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv[0];
        return false;
    }
    fd_ = fds[0];
    return true;
}

bool peer_process::wait_output(const std::string& text, int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    while (out_.find(text) == std::string::npos) {
        long long left = end - now_ms();
        if (left <= 0 || fd_ < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char block[4096];
        ssize_t n = read(fd_, block, sizeof block);
        if (n <= 0) {
            close(fd_);
            fd_ = -1;
            return out_.find(text) != std::string::npos;
        }
        out_.append(block, static_cast<size_t>(n));
    }
    return true;
}

bool peer_process::wait_exit(int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    int status = 0;
    while (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0) {
        if (now_ms() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return true;
}

void peer_process::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const long long end = now_ms() + 2000;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (now_ms() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

std::string need_program(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/", "/usr/local/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    ADD_FAILURE() << name << " is not installed (see tools/packages/net.txt)";
    return "";
}

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

bool wait_listening(int port, int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    while (now_ms() < end) {
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::string make_temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "ostrel-net-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return "";
    if (temp_dirs().empty()) std::atexit(remove_temp_dirs);
    temp_dirs().push_back(pattern);
    return pattern;
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int start_script_peer(peer_process& p, const std::string& script_json, const std::string& log_path,
                      double limit_s) {
    std::string peer =
        fs::path(__FILE__).parent_path().parent_path().parent_path() / "peers" / "net_peer.py";
    std::string python = need_program("python3");
    std::vector<std::string> argv = {python,      peer,      "--script",
                                     script_json, "--limit", std::to_string(limit_s)};
    if (!log_path.empty()) {
        argv.push_back("--log");
        argv.push_back(log_path);
    }
    if (python.empty() || !p.start(argv) || !p.wait_output("\n", 10000)) return 0;
    auto at = p.output().find("PORT ");
    return at == std::string::npos ? 0 : std::atoi(p.output().c_str() + at + 5);
}

const test_pki& pki() {
    static test_pki k;
    static std::once_flag once;
    std::call_once(once, [] {
        std::string d = make_temp_dir();
        std::string ossl = need_program("openssl");
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
        bool ok = run(ossl + " req -x509" + ec + "-keyout " + d + "/ca.key -out " + d +
                      "/ca.pem -days 3 -subj /CN=Net-Test-CA");
        ok = ok && run(ossl + " req" + ec + "-keyout " + d + "/srv.key -out " + d +
                       "/srv.csr -subj /CN=localhost");
        write_file(d + "/ext.cnf",
                   "subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                   "extendedKeyUsage=serverAuth\n");
        ok = ok && run(ossl + " x509 -req -in " + d + "/srv.csr -CA " + d + "/ca.pem -CAkey " + d +
                       "/ca.key -CAcreateserial -out " + d + "/srv.pem -days 2 -extfile " + d +
                       "/ext.cnf");
        ok = ok && run(ossl + " req -x509" + ec + "-keyout " + d + "/self.key -out " + d +
                       "/self.pem -days 2 -subj /CN=localhost" +
                       " -addext subjectAltName=DNS:localhost,IP:127.0.0.1");
        fs::create_directories(d + "/ca");
        fs::copy_file(d + "/ca.pem", d + "/ca/cert.pem");
        fs::create_directories(d + "/hashed/certs");
        fs::copy_file(d + "/ca.pem", d + "/hashed/certs/ca.pem");
        ok = ok && run(ossl + " rehash " + d + "/hashed/certs");
        fs::create_directories(d + "/empty");
        EXPECT_TRUE(ok) << "making the test PKI failed";
        k = {d + "/ca",      d + "/hashed",   d + "/empty",   d + "/srv.pem",
             d + "/srv.key", d + "/self.pem", d + "/self.key"};
    });
    return k;
}

int trace_log::cb(void* ctx, int level, const char* text) {
    static_cast<trace_log*>(ctx)->lines.emplace_back(level, text);
    return 0;
}

void trace_log::attach(ip_conn* c, uint32_t bits) {
    c->trace_fn = cb;
    c->trace_ctx = this;
    c->flags |= bits;
}

std::string trace_log::joined(int level) const {
    std::string all;
    for (const auto& [l, t] : lines)
        if (l == level) all += t;
    return all;
}

bool trace_log::has(int level, const std::string& text) const {
    for (const auto& [l, t] : lines)
        if (l == level && t == text) return true;
    return false;
}

ip_conn_ptr connect_local(int port, int buf_size, int timeout_s) {
    ip_init(1);
    ip_conn_ptr c(ip_conn_new(ip_stream, buf_size, ip_f_wait));
    if (!c) return c;
    ip_conn_set_family(c.get(), 4);
    ip_set_timeout(c.get(), timeout_s);
    EXPECT_NE(ip_connect(c.get(), "127.0.0.1", port), 0) << "connect to port " << port;
    return c;
}

}  // namespace ostrel::test
