// Test peers for the network tests: child processes on 127.0.0.1 started and
// stopped by PID, each bounded in time and ended with the test process; outside
// daemons on ports that cannot race; a test PKI made with openssl; trace capture.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/conn.hpp"

namespace ostrel::test {

// The longest a peer may run unless its test says otherwise.
inline constexpr int peer_limit_s = 60;

// A child process whose standard output (and error) the test reads. It gets
// SIGKILL when the thread that started it ends (a crashed or killed test
// process leaves nothing running) and SIGALRM after its time limit.
class peer_process {
  public:
    peer_process() = default;
    peer_process(const peer_process&) = delete;
    peer_process& operator=(const peer_process&) = delete;
    ~peer_process() { stop(); }
    // Starts argv; false (with a test failure) when it cannot be started.
    bool start(const std::vector<std::string>& argv, int limit_s = peer_limit_s);
    pid_t pid() const { return pid_; }
    // Waits until the output holds text.
    bool wait_output(const std::string& text, int timeout_ms);
    // Waits until done (output so far) is true.
    bool wait_until(const std::function<bool(const std::string&)>& done, int timeout_ms);
    const std::string& output() const { return out_; }
    // Waits for the process to end by itself; false after the time-out.
    bool wait_exit(int timeout_ms);
    void stop();

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string out_;
};

// The program's path; a missing one is a test failure with its name.
std::string need_program(const std::string& name);

// A port of 127.0.0.1 (or ::1) that refuses connections for as long as this
// object lives: it is bound, so no one else can listen on it, but not listening.
class refused_port {
  public:
    explicit refused_port(int family = 4);
    refused_port(const refused_port&) = delete;
    refused_port& operator=(const refused_port&) = delete;
    ~refused_port();
    int port() const { return port_; }

  private:
    int sock_ = -1;
    int port_ = 0;
};

// A file an outside daemon reads; "{port}" in its text becomes the port.
struct daemon_file {
    std::string path;
    std::string text;
};
struct daemon_started {
    int port = 0;    // 0 when the daemon could not be started on any port
    pid_t pid = -1;  // the daemon itself (p runs its supervisor)
};
// Starts an outside daemon that takes its port from its arguments or its
// files ("{port}" in either becomes the port) through tests/peers/daemon_peer.py:
// on a port of its choosing (first_port first, when given), and on another one
// when the bind fails, so test runs never race for a port.
daemon_started start_daemon(peer_process& p, const std::vector<std::string>& argv,
                            const std::vector<daemon_file>& files = {}, int first_port = 0,
                            int limit_s = peer_limit_s);
// A fresh directory under the temporary folder, removed at process exit.
std::string make_temp_dir();
void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// Starts the scripted peer (tests/peers/net_peer.py); returns its port, 0 on
// failure. The peer ends its script after limit_s seconds.
int start_script_peer(peer_process& p, const std::string& script_json, const std::string& log_path,
                      double limit_s = 20);

// Test CA, a server certificate it signed (localhost, 127.0.0.1), and a
// self-signed certificate; made once per process.
struct test_pki {
    std::string ca_dir;         // holds cert.pem (the CA certificate)
    std::string ca_hashed_dir;  // holds certs/ with hashed names only
    std::string empty_dir;
    std::string server_cert, server_key;
    std::string self_cert, self_key;
};
const test_pki& pki();

// Collects trace texts.
struct trace_log {
    std::vector<std::pair<int, std::string>> lines;
    static int cb(void* ctx, int level, const char* text);
    void attach(ip_conn* c, uint32_t bits);
    std::string joined(int level) const;
    bool has(int level, const std::string& text) const;
};

// A connection to 127.0.0.1:port with a small buffer, connected (asserts).
ip_conn_ptr connect_local(int port, int buf_size = 10000, int timeout_s = 5);

}  // namespace ostrel::test
