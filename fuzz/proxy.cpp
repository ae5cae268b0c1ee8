// The proxy exchanges over a socket pair whose peer has sent the input's
// reply bytes, and the host:port text parser. The first byte chooses:
//   bits 0-1  0 SOCKS5, 1 HTTP CONNECT, 2 HTTP CONNECT with credentials,
//             3 the host:port parser on the rest
//   bit 2     HTTP: a User-Agent; parser: "@" is the password delimiter
//   bits 3-4  the host: a name, an IPv6 literal, a 300-byte name, ""
//   bit 5     HTTP credentials: an empty user
//   bits 6-7  the read buffer: 16, 64, 512 or 10000 bytes
// Each exchange's result must be the one its wire format gives for the
// reply, and the request must be exactly the one the format asks for;
// after an HTTP status line that could not be read the connection is
// closed, after any other failure it stays.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.hpp"
#include "mail/mail.hpp"
#include "net/conn.hpp"
#include "net/io.hpp"
#include "net/proxy.hpp"
#include "platform/number.hpp"

using namespace ostrel;

namespace {

constexpr int port = 2525;

std::string host_of(uint8_t mode) {
    switch ((mode >> 3) & 3) {
        case 0:
            return "mail.example";
        case 1:
            return "2001:db8::1";
        case 2:
            return std::string(300, 'h');
        default:
            return "";
    }
}

// The SOCKS5 result the reply bytes give: a greeting reply 05 00, then a
// reply 05 00 with an address of type 1, 3 or 4 read whole within 261 bytes.
int socks5_expected(const std::string& r) {
    if (r.size() < 2 || r[0] != 5 || r[1] != 0) return 0;
    const std::string reply = r.substr(2);
    if (reply.size() < 5 || reply[0] != 5 || reply[1] != 0) return 0;
    size_t addr = 0;
    switch (reply[3]) {
        case 1:
            addr = 4;
            break;
        case 4:
            addr = 16;
            break;
        case 3:
            addr = static_cast<unsigned char>(reply[4]) + 1u;
            break;
        default:
            return 0;
    }
    return 6 + addr <= 261 && reply.size() >= 6 + addr ? 1 : 0;
}

std::string socks5_request(const std::string& host, bool greeted) {
    std::string out("\x05\x01\x00", 3);
    if (!greeted) return out;
    const std::string name = host.substr(0, 255);
    out += std::string("\x05\x01\x00\x03", 4);
    out += static_cast<char>(name.size());
    out += name;
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xff);
    return out;
}

// The HTTP result: a status line "HTTP/" with code 200 in at least 12
// characters, then header lines up to an empty one, every line ended by
// CR LF (a line reads as a C text: it ends at a NUL byte). -1: the status
// line itself could not be read.
int http_expected(const std::string& r) {
    size_t end = r.find("\r\n");
    if (end == std::string::npos) return -1;
    const std::string status = r.substr(0, end).c_str();
    if (status.size() < 12 || status.compare(0, 5, "HTTP/") != 0 ||
        plat_atoi(status.c_str() + 9) != 200)
        return 0;
    for (size_t start = end + 2;; start = end + 2) {
        end = r.find("\r\n", start);
        if (end == std::string::npos) return 0;
        if (end == start || r[start] == '\0') return 1;
    }
}

std::string http_request(const std::string& host, const char* user, const char* agent) {
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::string out =
        "CONNECT " + name + ":" + std::to_string(port) + " HTTP/1.0\r\nHost: " + name + "\r\n";
    if (agent) out += std::string("User-Agent: ") + agent + "\r\n";
    if (user)
        out += "Proxy-Authorization: Basic " + fuzz::base64(std::string(user) + ":pass") + "\r\n";
    return out + "\r\n";
}

std::string read_all(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

void exchange(uint8_t mode, const std::string& reply) {
    const int kind = mode & 3;
    const std::string host = host_of(mode);
    const char* agent = (mode & 4) ? "fuzz-agent/1.0" : nullptr;
    const char* user = kind == 2 ? ((mode & 32) ? "" : "user") : nullptr;
    static const int sizes[] = {16, 64, 512, 10000};

    int fds[2];
    if (!fuzz::socket_with(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), fds))
        return;
    ip_conn* c = ip_conn_new(ip_stream, sizes[mode >> 6], ip_f_wait);
    c->sock = fds[0];
    fcntl(c->sock, F_SETFL, O_NONBLOCK);
    ip_set_timeout(c, 1);
    int got, want;
    std::string request;
    if (kind == 0) {
        got = proxy_socks5_connect(c, host.c_str(), port);
        want = socks5_expected(reply);
        request = socks5_request(host, reply.size() >= 2 && reply[0] == 5 && reply[1] == 0);
    } else {
        got = proxy_https_connect(c, host.c_str(), port, user, "pass", agent);
        want = http_expected(reply);
        request = http_request(host, user, agent);
        // Only a status line that could not be read closes the connection.
        if ((c->sock == -1) != (want == -1)) __builtin_trap();
        if (want == -1) want = 0;
    }
    if (got != want) __builtin_trap();
    ip_disconnect(c);
    ip_conn_free(c);
    if (read_all(fds[1]) != request) __builtin_trap();
    close(fds[1]);
}

void parse(uint8_t mode, const std::string& text) {
    const char delim = (mode & 4) ? '@' : ':';
    char* host = nullptr;
    char* user = nullptr;
    char* pass = nullptr;
    unsigned p = 99999;  // kept when the text gives no port
    const int rc = ip_parse_hostport(text.c_str(), &host, &p, &user, &pass, delim);
    switch (rc) {
        case ip_parse_ok: {
            if (!host || !user || !pass || (p != 99999 && p > 65535)) __builtin_trap();
            const size_t at = text.rfind('@');
            const std::string info = at == std::string::npos ? "" : text.substr(0, at);
            const size_t d = info.find(delim);
            if (info.substr(0, d) != user) __builtin_trap();
            if ((d == std::string::npos ? "" : info.substr(d + 1)) != pass) __builtin_trap();
            const std::string part = at == std::string::npos ? text : text.substr(at + 1);
            if (part[0] != '[' && std::strchr(host, ':')) __builtin_trap();
            break;
        }
        case ip_parse_bad_bracket:
        case ip_parse_bad_port:
            if (user || pass) __builtin_trap();
            break;
        case ip_parse_no_memory:
            break;
        default:
            __builtin_trap();
    }
    std::free(host);
    std::free(user);
    std::free(pass);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Long enough for every reply the formats allow, short of the line limit.
    if (size == 0 || size > 60000) return 0;
    const uint8_t mode = data[0];
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((mode & 3) == 3)
        parse(mode, rest.c_str());
    else
        exchange(mode, rest);
    return 0;
}
