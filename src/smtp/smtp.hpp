// The SMTP client: the conversation with a server over one connection.
#pragma once

#include <cstdint>

namespace ostrel {

struct mail_handle;

// The next line of the conversation (inside the connection's buffer, valid
// until the next read); NULL clears the handle's connected flag.
char* smtp_read_line(mail_handle* h);
// The protocol name of the results ("ESMTPSA" and the like) from the bits
// of mail_connection_info: 1 ESMTP, 2 STARTTLS, 4 TLS from the first byte,
// 8 authenticated.
const char* smtp_protocol_name(uint32_t flags);

}  // namespace ostrel
