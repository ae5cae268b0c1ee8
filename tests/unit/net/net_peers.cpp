#include "net_peers.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

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

std::string peers_dir() {
    return fs::path(__FILE__).parent_path().parent_path().parent_path() / "peers";
}

}  // namespace

bool peer_process::start(const std::vector<std::string>& argv, int limit_s) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    // Reports a failed exec; closed by a successful one.
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls from here to exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        alarm(static_cast<unsigned>(limit_s));
        signal(SIGPIPE, SIG_DFL);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execv(args[0], args.data());
        int e = errno;
        ssize_t ignored = write(err[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    int exec_errno = 0;
    bool exec_failed = pid_ > 0 && read(err[0], &exec_errno, sizeof exec_errno) > 0;
    close(err[0]);
    if (pid_ < 0 || exec_failed) {
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
        close(out[0]);
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(exec_errno);
        return false;
    }
    fd_ = out[0];
    return true;
}

bool peer_process::wait_until(const std::function<bool(const std::string&)>& done, int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    while (!done(out_)) {
        long long left = end - now_ms();
        if (left <= 0 || fd_ < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char block[4096];
        ssize_t n = read(fd_, block, sizeof block);
        if (n <= 0) {
            close(fd_);
            fd_ = -1;
            return done(out_);
        }
        out_.append(block, static_cast<size_t>(n));
    }
    return true;
}

bool peer_process::wait_output(const std::string& text, int timeout_ms) {
    return wait_until([&](const std::string& out) { return out.find(text) != std::string::npos; },
                      timeout_ms);
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

refused_port::refused_port(int family) {
    sock_ = socket(family == 6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == 6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(ss);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        len = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(ss);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof a;
    }
    if (sock_ >= 0 && bind(sock_, reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
        getsockname(sock_, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
        port_ = ntohs(family == 6 ? reinterpret_cast<sockaddr_in6&>(ss).sin6_port
                                  : reinterpret_cast<sockaddr_in&>(ss).sin_port);
}

refused_port::~refused_port() {
    if (sock_ >= 0) close(sock_);
}

daemon_started start_daemon(peer_process& p, const std::vector<std::string>& argv,
                            const std::vector<daemon_file>& files, int first_port, int limit_s) {
    std::string python = need_program("python3");
    if (python.empty()) return {};
    std::vector<std::string> cmd = {python,         peers_dir() + "/daemon_peer.py",
                                    "--limit",      std::to_string(limit_s),
                                    "--first-port", std::to_string(first_port)};
    for (const auto& f : files) cmd.insert(cmd.end(), {"--file", f.path, f.text});
    cmd.push_back("--");
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    if (!p.start(cmd, limit_s)) return {};
    static const std::regex ready(R"((?:^|\n)PORT (\d+) PID (\d+)\n)");
    std::smatch m;
    // Every try that fails waits for the daemon at most a few seconds.
    p.wait_until(
        [&](const std::string& out) {
            return std::regex_search(out, m, ready) || out.find("FAILED\n") != std::string::npos;
        },
        45000);
    if (!std::regex_search(p.output(), m, ready)) {
        ADD_FAILURE() << argv[0] << " did not start: " << p.output();
        return {};
    }
    return {std::stoi(m[1]), static_cast<pid_t>(std::stol(m[2]))};
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
    std::string peer = peers_dir() + "/net_peer.py";
    std::string python = need_program("python3");
    std::vector<std::string> argv = {python,      peer,      "--script",
                                     script_json, "--limit", std::to_string(limit_s)};
    if (!log_path.empty()) {
        argv.push_back("--log");
        argv.push_back(log_path);
    }
    // The script's own limit ends it in order; the hard one is a backstop.
    const int hard_limit = static_cast<int>(limit_s) + 10;
    if (python.empty() || !p.start(argv, hard_limit) || !p.wait_output("\n", 10000)) return 0;
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
