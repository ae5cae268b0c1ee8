// The reply reader over a server's bytes of any kind, split at any point of
// a read buffer of any size: every reply is read whole or the connection is
// lost, the codes and lines kept are those of a last line, and nothing reads
// past the buffer.
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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // The first two bytes choose the read buffer's size and the keep rule.
    const int buf_size = 4 + data[0] * 40;
    const int keep = data[1] % 3;
    data += 2;
    size -= 2;
    int fds[2];
    if (!fuzz::socket_with(data, size, fds)) return 0;
    mail_handle h;
    ip_conn* c = ip_conn_new(ip_stream, buf_size, ip_f_wait);
    c->sock = fds[0];
    fcntl(c->sock, F_SETFL, O_NONBLOCK);
    ip_set_timeout(c, 1);
    h.conn = c;
    h.flags = mail_f_connected;
    for (int i = 0; i < 10000 && (h.flags & mail_f_connected); ++i) {
        char* line = nullptr;
        int r = smtp_read_reply(&h, 250, 1 + i % 10, &line, keep);
        if (!(h.flags & mail_f_connected)) {
            if (line || r) __builtin_trap();
            break;
        }
        // The out-parameter ends at the reply's last line, and that line is
        // the one kept as the reply.
        if (!line || !h.reply_line || *h.reply_line != line) __builtin_trap();
        if (std::strlen(line) >= 4 && line[3] == '-') __builtin_trap();
    }
    ip_disconnect(c);
    ip_conn_free(c);
    close(fds[1]);
    return 0;
}
