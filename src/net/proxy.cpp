#include "net/proxy.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "net/io.hpp"
#include "platform/number.hpp"
#include "support/encode.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

bool is_ipv6_literal(const char* host) {
    return std::strchr(host, ':') != nullptr;
}

int send_connect_request(ip_conn* c, const char* host, int port, const char* user, const char* pass,
                         const char* agent) {
    // An IPv6 literal needs its brackets, or its colons would read as the port's.
    if (is_ipv6_literal(host))
        ip_printf(c, "CONNECT [%s]:%d HTTP/1.0\r\nHost: [%s]\r\n", host, port, host);
    else
        ip_printf(c, "CONNECT %s:%d HTTP/1.0\r\nHost: %s\r\n", host, port, host);
    if (agent) ip_printf(c, "User-Agent: %s\r\n", agent);
    if (user) {
        char cred[256];
        str_copy(cred, user, sizeof cred);
        str_append(cred, ":", sizeof cred);
        str_append(cred, pass ? pass : "", sizeof cred);
        char b64[4 * ((sizeof cred + 2) / 3) + 1];
        int n = b64_encode(cred, static_cast<int>(std::strlen(cred)), b64);
        b64[n] = 0;
        uint8_t mask[4] = {};
        fmt_mask_set_bit(mask, 0, 1);
        ip_printf_masked(c, mask, "Proxy-Authorization: Basic %s\r\n", b64);
    }
    return ip_printf(c, "\r\n");
}

bool status_is_200(const char* line) {
    return std::strlen(line) >= 12 && std::strncmp(line, "HTTP/", 5) == 0 &&
           plat_atoi(line + 9) == 200;
}

// One byte through ip_read; false when none came.
bool read_byte(ip_conn* c, unsigned char* b) {
    char ch;
    if (ip_read(c, &ch, 1) != 1) return false;
    *b = static_cast<unsigned char>(ch);
    return true;
}

int socks5_greet(ip_conn* c) {
    static const char greeting[3] = {5, 1, 0};
    if (!ip_write(c, greeting, 3)) return 0;
    unsigned char reply[2];
    for (unsigned char& b : reply)
        if (!read_byte(c, &b)) return 0;
    return reply[0] == 5 && reply[1] == 0;
}

int socks5_request(ip_conn* c, const char* host, int port) {
    size_t n = std::strlen(host);
    if (n > 255) n = 255;
    char req[7 + 255];
    req[0] = 5;
    req[1] = 1;
    req[2] = 0;
    req[3] = 3;
    req[4] = static_cast<char>(n);
    std::memcpy(req + 5, host, n);
    req[5 + n] = static_cast<char>((port >> 8) & 0xff);
    req[6 + n] = static_cast<char>(port & 0xff);
    return ip_write(c, req, static_cast<int>(7 + n)) ? 1 : 0;
}

// The longest reply read: a name of 254 bytes still fits, one of 255 does not.
constexpr int socks5_reply_max = 261;

int socks5_reply(ip_conn* c) {
    int atyp = 0, addr_len = 0;
    for (int count = 1; count <= socks5_reply_max; ++count) {
        unsigned char b;
        if (!read_byte(c, &b)) return 0;
        if ((count == 1 && b != 5) || (count == 2 && b != 0)) return 0;
        if (count == 4) atyp = b;
        if (count == 5) {
            if (atyp == 1)
                addr_len = 4;
            else if (atyp == 4)
                addr_len = 16;
            else if (atyp == 3)
                addr_len = b + 1;
            else
                return 0;
        }
        if (addr_len && count == 6 + addr_len) return 1;
    }
    return 0;
}

char* dup_text(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

void release(char** p) {
    std::free(*p);
    *p = nullptr;
}

// Port texts outside 0..65535 (or 1..65535 for the plain form) are refused.
bool port_ok(long long v, bool zero_ok) {
    return v <= 65535 && (zero_ok ? v >= 0 : v >= 1);
}

int parse_host(const std::string& part, char** host, unsigned* port, char** user, char** pass) {
    if (!part.empty() && part[0] == '[') {
        size_t rb = part.rfind(']');
        if (rb == std::string::npos) {
            release(user);
            release(pass);
            return ip_parse_bad_bracket;
        }
        *host = dup_text(part.substr(1, rb - 1));
        if (rb + 1 < part.size() && part[rb + 1] == ':') {
            long long v = plat_atoi(part.c_str() + rb + 2);
            if (!port_ok(v, true)) {
                release(user);
                release(pass);
                return ip_parse_bad_port;
            }
            *port = static_cast<unsigned>(v);
        }
    } else {
        size_t colon = part.find(':');
        *host = dup_text(part.substr(0, colon));
        if (colon != std::string::npos) {
            long long v = plat_atoi(part.c_str() + colon + 1);
            if (!port_ok(v, false)) {
                release(user);
                release(pass);
                return ip_parse_bad_port;
            }
            *port = static_cast<unsigned>(v);
        }
    }
    return *host ? ip_parse_ok : ip_parse_no_memory;
}

}  // namespace

int proxy_https_connect(ip_conn* c, const char* host, int port, const char* user, const char* pass,
                        const char* agent) {
    if (!c || c->type != ip_stream || !host) return 0;
    // The status line and the header block are bounded as a whole, not per
    // wait: a proxy that drips its answer cannot hold the caller.
    ip_deadline whole(c);
    send_connect_request(c, host, port, user, pass, agent);
    const char* line = ip_readline(c, "\r\n", 2);
    if (!line) {
        ip_disconnect(c);
        return 0;
    }
    if (!status_is_200(line)) return 0;
    // A proxy that never ends its header block must not hold the caller.
    size_t header_bytes = 0;
    while ((line = ip_readline(c, "\r\n", 2)) != nullptr) {
        if (!*line) return 1;
        header_bytes += std::strlen(line) + 2;
        if (header_bytes > static_cast<size_t>(ip_line_max)) {
            c->error_text = "Proxy reply too long";
            c->error_owned |= 1;
            return 0;
        }
    }
    return 0;
}

int proxy_socks5_connect(ip_conn* c, const char* host, int port) {
    if (!c || c->type != ip_stream || !host) return 0;
    // One bound for the whole exchange: its replies come a byte per read.
    ip_deadline whole(c);
    if (!socks5_greet(c) || !socks5_request(c, host, port)) return 0;
    return socks5_reply(c);
}

int ip_parse_hostport(const char* text, char** host, unsigned* port, char** user, char** pass,
                      char delim) {
    if (!text) return ip_parse_no_text;
    try {
        std::string work(text);
        *user = dup_text("");
        *pass = dup_text("");
        std::string part = work;
        size_t at = work.rfind('@');
        if (at != std::string::npos) {
            std::string info = work.substr(0, at);
            part = work.substr(at + 1);
            size_t d = info.find(delim);
            release(user);
            *user = dup_text(info.substr(0, d));
            if (d != std::string::npos) {
                release(pass);
                *pass = dup_text(info.substr(d + 1));
            }
        }
        return parse_host(part, host, port, user, pass);
    } catch (const std::bad_alloc&) {
        return ip_parse_no_text;
    }
}

int ip_parse_hostport_colon(const char* text, char** host, unsigned* port, char** user,
                            char** pass) {
    return ip_parse_hostport(text, host, port, user, pass, ':');
}

}  // namespace ostrel
