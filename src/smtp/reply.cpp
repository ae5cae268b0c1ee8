// Reading the server's side of the conversation.
#include "model/handle.hpp"
#include "net/io.hpp"
#include "smtp/smtp.hpp"

namespace ostrel {

char* smtp_read_line(mail_handle* h) {
    char* line = h->conn ? ip_readline(h->conn, "\r\n", 2) : nullptr;
    if (!line) h->flags &= ~mail_f_connected;
    return line;
}

const char* smtp_protocol_name(uint32_t flags) {
    const bool tls = flags & 2;
    const bool auth = flags & 8;
    if (flags & 4) return auth ? "SMTPSA" : "SMTPS";
    if (flags & 1) {
        if (tls) return auth ? "ESMTPSA" : "ESMTPS";
        return auth ? "ESMTPA" : "ESMTP";
    }
    return "SMTP";
}

}  // namespace ostrel
