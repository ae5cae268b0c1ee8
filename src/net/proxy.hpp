// Tunnels through HTTP CONNECT and SOCKS5 proxies over a connection that is
// connected to the proxy, and the parser of "[user[:pass]@]host[:port]" texts.
#pragma once

#include "net/conn.hpp"

namespace ostrel {

// 1 when the proxy answered 200, else 0. With user given, pass is a text too.
int proxy_https_connect(ip_conn* c, const char* host, int port, const char* user, const char* pass,
                        const char* agent);
// 1 when the proxy reported success, else 0.
int proxy_socks5_connect(ip_conn* c, const char* host, int port);

// Result codes of ip_parse_hostport.
enum : int {
    ip_parse_ok = 0,
    ip_parse_no_text = 1,
    ip_parse_bad_bracket = 3,
    ip_parse_no_memory = 4,
    ip_parse_bad_port = 5,
};

// The texts are new copies (malloc'd) that the caller frees; *port keeps its
// value when the text gives none. After codes 3 and 5 *user and *pass are NULL.
int ip_parse_hostport(const char* text, char** host, unsigned* port, char** user, char** pass,
                      char delim);
int ip_parse_hostport_colon(const char* text, char** host, unsigned* port, char** user,
                            char** pass);

}  // namespace ostrel
