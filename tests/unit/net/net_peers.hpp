// Test peers for the network tests: child processes on 127.0.0.1 started and
// stopped by PID, free ports, a test PKI made with openssl, trace capture.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "net/conn.hpp"

namespace ostrel::test {

// A child process whose standard output (and error) the test reads.
class peer_process {
  public:
    peer_process() = default;
    peer_process(const peer_process&) = delete;
    peer_process& operator=(const peer_process&) = delete;
    ~peer_process() { stop(); }
    // Starts argv; false (with a test failure) when it cannot be started.
    bool start(const std::vector<std::string>& argv);
    // Waits until the output holds text; returns the output so far.
    bool wait_output(const std::string& text, int timeout_ms);
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
int free_port();
bool wait_listening(int port, int timeout_ms);
// A fresh directory under the temporary folder, removed at process exit.
std::string make_temp_dir();
void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// Starts the scripted peer; returns its port, 0 on failure.
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
