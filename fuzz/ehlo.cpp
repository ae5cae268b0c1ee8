// The EHLO reply over a server's bytes of any kind: each line scanned for its
// capabilities, read whole through the same reader. A mechanism the handle
// disables is never recorded, nothing without a user is, and no bit outside
// the capabilities changes.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.hpp"
#include "mail/mail.hpp"
#include "net/conn.hpp"
#include "smtp/smtp.hpp"

using namespace ostrel;

namespace {

constexpr uint32_t mechs =
    mail_f_cram_md5 | mail_f_login | mail_f_plain | mail_f_oauthbearer | mail_f_xoauth2;
constexpr uint32_t scan_bits = mechs | mail_f_dsn;

void check(const mail_handle& h, uint32_t before, bool user, uint32_t also = 0) {
    const uint32_t f = h.flags;
    if ((f ^ before) & ~(scan_bits | also)) __builtin_trap();
    if (!user && (f & mechs)) __builtin_trap();
    const uint32_t disabled = before >> 19;
    const struct {
        uint32_t offered, off;
    } pairs[] = {{mail_f_cram_md5, 1},
                 {mail_f_login, 2},
                 {mail_f_plain, 4},
                 {mail_f_oauthbearer, 8},
                 {mail_f_xoauth2, 16}};
    for (const auto& p : pairs)
        if ((disabled & p.off) && (f & p.offered)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const bool user = data[0] & 1;
    const uint32_t disabled = static_cast<uint32_t>((data[0] >> 1) & 31) << 19;
    ++data;
    --size;

    // Line by line, as the scan sees them.
    mail_handle h;
    if (user) h.user = "me";
    h.flags = disabled;
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        bool starttls = false;
        smtp_ehlo_scan_line(&h, line.c_str(), &starttls);
        check(h, disabled, user);
        pos = end + 1;
    }

    // Whole, over a connection, with a HELO name so no address is looked up.
    int fds[2];
    if (!fuzz::socket_with(data, size, fds)) return 0;
    mail_handle g;
    if (user) g.user = "me";
    g.flags = disabled | mail_f_connected;
    g.helo = "fuzz";
    ip_conn* c = ip_conn_new(ip_stream, 64, ip_f_wait);
    c->sock = fds[0];
    fcntl(c->sock, F_SETFL, O_NONBLOCK);
    ip_set_timeout(c, 1);
    g.conn = c;
    char* line = nullptr;
    int code = smtp_hello(&g, 1, &line);
    if (g.conn) {
        if (!line || (std::strlen(line) >= 4 && line[3] == '-')) __builtin_trap();
        (void)code;
        ip_disconnect(g.conn);
        ip_conn_free(g.conn);
    } else if (line || code) {
        __builtin_trap();
    }
    // The reply may also mark EHLO accepted, STARTTLS to do, or the loss.
    check(g, disabled | mail_f_connected, user, mail_f_esmtp | mail_f_starttls | mail_f_connected);
    close(fds[1]);
    return 0;
}
