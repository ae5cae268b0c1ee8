// The checks a configured handle passes before any delivery.
#pragma once

namespace ostrel {

struct mail_handle;

int mail_check_credentials(const mail_handle* h);
// 1 when the attachment set can be composed; else 0 and *error the reason.
int mail_check_attachments(const mail_handle* h, const char** error);

}  // namespace ostrel
